// An encoder board started through the Plug and Play harness by the device's own start,
// on the jumping test clock, with two filter factories of the test's beside its own: a capture filter carrying the
// custom property set whose context is a FilterContext of the channel and stream index the test chooses, and a
// digital-tuner-B filter with a TunerFilterContext. Requests go through the application's
// side of KS (KsClient), as a program makes them.
//
// The tests set and read the device's members directly, which the monitor thread also
// reads and writes: the fixture holds the monitor (its bracket taken, the thread ended)
// from the start on, so that nothing runs beside the test. Tests of what the monitor does,
// and of the requests that take the bracket themselves (GPIO lines, the EEPROM) or stop
// the hardware, let it go first.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/device_start.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/lifecycle.h"
#include "driver/hardware/registers.h"
#include "driver/properties/custom_device.h"
#include "driver/streaming/guids.h"
#include "driver/streaming/pin_context.h"
#include "driver/streaming/templates.h"
#include "imaging/core/cpu.h"
#include "platform/board/board.h"
#include "platform/board/encoder_core.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"
#include "tests/driver/hardware/lifecycle_test_fixture.h"

namespace vorlix_test {

namespace ks = platform::ks;

inline constexpr GUID kCustomTestCategory = {
    0x5EC0FFEE, 0x0001, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
inline constexpr GUID kTunerTestCategory = {
    0x5EC0FFEE, 0x0002, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}};
inline constexpr GUID kCaptureTestReference = {
    0x5EC0FFEE, 0x0003, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}};

// What the next capture filter's context holds.
struct NextFilter {
  ULONG channel = 0;
  ULONG streamIndex = 0;
  ULONG tunerIndex = 1;
};
inline NextFilter g_nextFilter;

inline NTSTATUS CustomTestFilterCreate(PKSFILTER f, PIRP) {
  auto* fc = static_cast<FilterContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FilterContext), kPinContextTag));
  if (!fc) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(fc, sizeof(*fc));
  fc->nChannel = g_nextFilter.channel;
  fc->nStreamIndex = g_nextFilter.streamIndex;
  fc->pKsDevice = KsGetDevice(f);
  fc->pKsFilter = f;
  f->Context = fc;
  return STATUS_SUCCESS;
}
inline NTSTATUS CustomTestTunerCreate(PKSFILTER f, PIRP) {
  auto* tc =
      static_cast<TunerFilterContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TunerFilterContext), kPinContextTag));
  if (!tc) return STATUS_INSUFFICIENT_RESOURCES;
  tc->nTunerIndex = g_nextFilter.tunerIndex;
  tc->pKsDevice = KsGetDevice(f);
  f->Context = tc;
  return STATUS_SUCCESS;
}
inline NTSTATUS CustomTestFilterClose(PKSFILTER f, PIRP) {
  ExFreePoolWithTag(f->Context, kPinContextTag);
  f->Context = nullptr;
  return STATUS_SUCCESS;
}

inline const KSFILTER_DISPATCH kCaptureTestDispatch = {CustomTestFilterCreate, CustomTestFilterClose, nullptr, nullptr};
inline const KSFILTER_DISPATCH kTunerTestDispatch = {CustomTestTunerCreate, CustomTestFilterClose, nullptr, nullptr};
inline const KSPROPERTY_SET kCustomTestSets[] = {CustomDevicePropertySet()};
inline const KSAUTOMATION_TABLE kCustomTestAutomation = {
    1, sizeof(KSPROPERTY_ITEM), kCustomTestSets, 0, 0, nullptr, 0, 0, nullptr, nullptr};

inline KSFILTER_DESCRIPTOR CustomTestDescriptor(const KSFILTER_DISPATCH* dispatch, const GUID* reference,
                                                const GUID* category) {
  KSFILTER_DESCRIPTOR d{};
  d.Dispatch = dispatch;
  d.AutomationTable = &kCustomTestAutomation;
  d.Version = KSFILTER_DESCRIPTOR_VERSION;
  d.ReferenceGuid = reference;
  d.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  d.CategoriesCount = 1;
  d.Categories = category;
  return d;
}
inline const KSFILTER_DESCRIPTOR kCaptureTestFilter =
    CustomTestDescriptor(&kCaptureTestDispatch, &kCaptureTestReference, &kCustomTestCategory);
inline const KSFILTER_DESCRIPTOR kTunerTestFilter =
    CustomTestDescriptor(&kTunerTestDispatch, &DigitalTunerGuids[1], &kTunerTestCategory);

// The device's own start, then the two test factories beside the ones it creates.
inline NTSTATUS CustomTestStart(PKSDEVICE d, PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated) {
  NTSTATUS status = CDevice::Start(d, irp, translated, untranslated);
  if (NT_SUCCESS(status))
    status = KsCreateFilterFactory(d->FunctionalDeviceObject, &kCaptureTestFilter, nullptr, nullptr, 0, nullptr,
                                   nullptr, nullptr);
  if (NT_SUCCESS(status))
    status = KsCreateFilterFactory(d->FunctionalDeviceObject, &kTunerTestFilter, nullptr, nullptr, 0, nullptr, nullptr,
                                   nullptr);
  return status;
}
inline const KSDEVICE_DISPATCH kCustomTestDispatch = {
    CDevice::Add, CustomTestStart, nullptr, nullptr, nullptr, CDevice::Stop,     nullptr,
    nullptr,      CDevice::Remove, nullptr, nullptr, nullptr, CDevice::SetPower, nullptr};
inline const KSDEVICE_DESCRIPTOR kCustomTestDescriptor = {&kCustomTestDispatch, 0, nullptr};
// The driver's own entry with this device descriptor: the templates and start counters
// as a fresh image holds them.
inline NTSTATUS CustomTestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  CpuSelectProcessorLevel();
  InitializeStreamingTemplates();
  ResetDeviceStartCounters();
  return KsInitializeDriver(driver, path, &kCustomTestDescriptor);
}

class CustomPropertyTest : public LifecycleTest {
 protected:
  void SetUp() override {
    LifecycleTest::SetUp();
    driverEntry_ = CustomTestDriverEntry;
    g_nextFilter = NextFilter{};
  }
  void TearDown() override {
    ReleaseMonitor();
    client_.reset();  // closes every filter still open
    LifecycleTest::TearDown();
  }
  // Plugs the board in with the identity of `kind`, starts it and opens the capture
  // filter of channel 0.
  void Start(BoardKind kind = BOARD_KIND_ENCODER) {
    LifecycleTest::Start(kind);
    if (HasFatalFailure()) return;
    client_ = std::make_unique<ks::KsClient>();
    filter_ = Open(0, 0);
    ASSERT_NE(filter_, nullptr);
    HoldMonitor();
    machine::ClearDebugLog();
    board_.ClearAccessLog();
  }
  // Takes the monitor bracket (the thread ends after its pass) and keeps it.
  void HoldMonitor() {
    if (monitorHeld_) return;
    VORLIX_StopMonitorThread(Dev());
    monitorHeld_ = true;
  }
  // Gives the bracket back: the monitor runs again.
  void ReleaseMonitor() {
    if (!monitorHeld_) return;
    VORLIX_StartMonitorThread(Dev());
    monitorHeld_ = false;
  }
  // A request that takes the bracket itself (the GPIO lines, the EEPROM, the crossbar
  // audio input) would wait for it for good: a held monitor is let go around it and held
  // again after.
  template <typename Request>
  auto AroundBracket(ULONG id, Request request) {
    const bool bracket = monitorHeld_ && (id == 940 || id == 941 || id == 957 || id == 255);
    if (bracket) ReleaseMonitor();
    auto result = request();
    if (bracket) HoldMonitor();
    return result;
  }
  // A capture filter whose context holds `channel` and `streamIndex`.
  HANDLE Open(ULONG channel, ULONG streamIndex) {
    g_nextFilter.channel = channel;
    g_nextFilter.streamIndex = streamIndex;
    auto list = client_->ListFilters(kCustomTestCategory);
    if (list.size() != 1) return nullptr;
    HANDLE h = nullptr;
    return client_->OpenFilter(list[0], &h) == STATUS_SUCCESS ? h : nullptr;
  }
  HANDLE OpenTuner(ULONG tunerIndex) {
    g_nextFilter.tunerIndex = tunerIndex;
    auto list = client_->ListFilters(kTunerTestCategory);
    if (list.size() != 1) return nullptr;
    HANDLE h = nullptr;
    return client_->OpenFilter(list[0], &h) == STATUS_SUCCESS ? h : nullptr;
  }

  NTSTATUS Get(HANDLE f, ULONG id, void* data, ULONG length, ULONG* returned = nullptr) {
    return AroundBracket(
        id, [&] { return client_->GetProperty({f}, KSPROPSETID_CustomDevice, id, data, length, returned); });
  }
  NTSTATUS Set(HANDLE f, ULONG id, const void* data, ULONG length) {
    return AroundBracket(id, [&] { return client_->SetProperty({f}, KSPROPSETID_CustomDevice, id, data, length); });
  }
  // A 4-byte get through the filter of channel 0 (0xDEADBEEF if it fails).
  ULONG Get(ULONG id, HANDLE f = nullptr) {
    ULONG v = 0xDEADBEEF;
    EXPECT_EQ(Get(f ? f : filter_, id, &v, 4), STATUS_SUCCESS) << "get of id " << id;
    return v;
  }
  void Set(ULONG id, ULONG v, HANDLE f = nullptr) {
    EXPECT_EQ(Set(f ? f : filter_, id, &v, 4), STATUS_SUCCESS) << "set of id " << id;
  }

  board::EncoderCore& Encoder() { return board_.encoder(); }

  std::unique_ptr<ks::KsClient> client_;
  HANDLE filter_ = nullptr;
  bool monitorHeld_ = false;
};

}  // namespace vorlix_test
