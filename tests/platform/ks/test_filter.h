// A small filter of the tests' own, with a trace of every dispatch call, a device that
// offers it, and a client that opens it.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/machine.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/ks/host.h"

namespace ks_test {

namespace pk = platform::kernel;
namespace ks = platform::ks;

inline std::mutex g_traceLock;
inline std::vector<std::string> g_trace;
inline void Trace(const std::string& line) {
  std::lock_guard<std::mutex> hold(g_traceLock);
  g_trace.push_back(line);
}
inline std::vector<std::string> TakeTrace() {
  std::lock_guard<std::mutex> hold(g_traceLock);
  std::vector<std::string> t;
  t.swap(g_trace);
  return t;
}

inline constexpr GUID kRef = {0x5E5E0001, 0x1111, 0x2222, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0x00}};
inline constexpr GUID kSubA = {0x5E5E00A0, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};
inline constexpr GUID kSubB = {0x5E5E00B0, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};

inline KSDATARANGE MakeRange(const GUID& sub, ULONG sampleSize) {
  KSDATARANGE r{};
  r.FormatSize = sizeof(KSDATARANGE);
  r.SampleSize = sampleSize;
  r.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  r.SubFormat = sub;
  r.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  return r;
}

// Ranges: 0 = sub-format B, 1 and 2 = sub-format A (told apart by SampleSize 1 and 2).
inline KSDATARANGE g_range0 = MakeRange(kSubB, 0);
inline KSDATARANGE g_range1 = MakeRange(kSubA, 1);
inline KSDATARANGE g_range2 = MakeRange(kSubA, 2);
inline PKSDATARANGE g_ranges[] = {&g_range0, &g_range1, &g_range2};

// What the test's pin routines do beyond tracing.
struct PinBehaviour {
  std::function<NTSTATUS(PKSPIN, const KSDATARANGE*)> setDataFormat;
  std::function<NTSTATUS(PKSPIN, PIRP)> create;
  std::function<NTSTATUS(PKSPIN)> process;
  std::function<NTSTATUS(PKSPIN, KSSTATE, KSSTATE)> setDeviceState;
  std::function<NTSTATUS(PKSFILTER, PIRP)> filterCreate;
};
inline PinBehaviour g_behaviour;
inline PKSDEVICE g_device = nullptr;

inline NTSTATUS FilterCreate(PKSFILTER f, PIRP irp) {
  Trace("filter Create");
  EXPECT_EQ(KsGetFilterFromIrp(irp), f);
  EXPECT_EQ(KsGetPinFromIrp(irp), nullptr);
  EXPECT_EQ(KsGetDevice(f), g_device);
  return g_behaviour.filterCreate ? g_behaviour.filterCreate(f, irp) : STATUS_SUCCESS;
}
inline NTSTATUS FilterClose(PKSFILTER f, PIRP irp) {
  Trace("filter Close");
  EXPECT_EQ(KsGetFilterFromIrp(irp), f);
  return STATUS_SUCCESS;
}
inline NTSTATUS PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT old, PKSMULTIPLE_ITEM, const KSDATARANGE* range,
                                 const KSATTRIBUTE_LIST*) {
  Trace("pin SetDataFormat range " + std::to_string(range->SampleSize) + (old ? " (running)" : ""));
  return g_behaviour.setDataFormat ? g_behaviour.setDataFormat(pin, range) : STATUS_SUCCESS;
}
inline NTSTATUS PinCreate(PKSPIN pin, PIRP irp) {
  Trace("pin Create");
  EXPECT_EQ(KsGetPinFromIrp(irp), pin);
  EXPECT_EQ(KsGetFilterFromIrp(irp), KsPinGetParentFilter(pin));
  EXPECT_EQ(KsGetDevice(pin), g_device);
  return g_behaviour.create ? g_behaviour.create(pin, irp) : STATUS_SUCCESS;
}
inline NTSTATUS PinClose(PKSPIN pin, PIRP irp) {
  Trace("pin Close");
  EXPECT_EQ(KsGetPinFromIrp(irp), pin);
  return STATUS_SUCCESS;
}
inline NTSTATUS PinProcess(PKSPIN pin) { return g_behaviour.process ? g_behaviour.process(pin) : STATUS_PENDING; }
inline NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  Trace("pin SetDeviceState " + std::to_string(from) + "->" + std::to_string(to));
  return g_behaviour.setDeviceState ? g_behaviour.setDeviceState(pin, to, from) : STATUS_SUCCESS;
}

inline const KSPIN_DISPATCH kPinDispatch = {PinCreate,         PinClose, PinProcess, nullptr, PinSetDataFormat,
                                            PinSetDeviceState, nullptr,  nullptr,    nullptr, nullptr};
inline const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};

inline KSALLOCATOR_FRAMING_EX MakeFraming() {
  KSALLOCATOR_FRAMING_EX f{};
  f.CountItems = 1;
  f.FramingItem[0].MemoryType = KSMEMORY_TYPE_KERNEL_NONPAGED;
  f.FramingItem[0].Frames = 4;
  f.FramingItem[0].FramingRange.Range.MinFrameSize = 4096;
  f.FramingItem[0].FramingRange.Range.MaxFrameSize = 4096;
  return f;
}
inline const KSALLOCATOR_FRAMING_EX kFraming = MakeFraming();

// Pin 0: the capture pin (one instance); pin 1: a bridge pin.
inline KSPIN_DESCRIPTOR_EX MakePin(bool bridge) {
  KSPIN_DESCRIPTOR_EX p{};
  p.Dispatch = bridge ? nullptr : &kPinDispatch;
  p.PinDescriptor.DataRangesCount = bridge ? 1 : 3;
  p.PinDescriptor.DataRanges = bridge ? &g_ranges[1] : g_ranges;
  p.PinDescriptor.DataFlow = bridge ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
  p.PinDescriptor.Communication = bridge ? KSPIN_COMMUNICATION_BRIDGE : KSPIN_COMMUNICATION_BOTH;
  p.PinDescriptor.Category = bridge ? nullptr : &PIN_CATEGORY_CAPTURE;
  p.Flags = bridge ? 0 : KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
  p.InstancesPossible = bridge ? 0 : 1;
  p.AllocatorFraming = bridge ? nullptr : &kFraming;
  return p;
}
inline KSPIN_DESCRIPTOR_EX g_pins[2] = {MakePin(false), MakePin(true)};
inline const GUID kCategories[] = {KSCATEGORY_CAPTURE};
inline KSFILTER_DESCRIPTOR g_filter{};

inline NTSTATUS DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  return KsCreateFilterFactory(device->FunctionalDeviceObject, &g_filter, nullptr, nullptr, 0, nullptr, nullptr,
                               nullptr);
}
inline const KSDEVICE_DISPATCH kDeviceDispatch = [] {
  KSDEVICE_DISPATCH d{};
  d.Start = DeviceStart;
  return d;
}();
inline const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr};
inline NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return KsInitializeDriver(driver, path, &kDeviceDescriptor);
}

inline KSDATAFORMAT FormatOf(const GUID& sub) {
  KSDATAFORMAT f = MakeRange(sub, 0);
  return f;
}

class KsFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    ks::ClearKsFaults();
    g_behaviour = PinBehaviour{};
    g_pins[0] = MakePin(false);
    g_pins[1] = MakePin(true);
    g_filter = KSFILTER_DESCRIPTOR{};
    g_filter.Dispatch = &kFilterDispatch;
    g_filter.Version = KSFILTER_DESCRIPTOR_VERSION;
    g_filter.ReferenceGuid = &kRef;
    g_filter.PinDescriptorsCount = 2;
    g_filter.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
    g_filter.PinDescriptors = g_pins;
    g_filter.CategoriesCount = 1;
    g_filter.Categories = kCategories;
    ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
    size_t index = 0;
    ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_SUCCESS);
    ASSERT_EQ(harness.StartDevice(index, nullptr, nullptr), STATUS_SUCCESS);
    g_device = harness.Device(index);
    auto list = client->ListFilters(KSCATEGORY_CAPTURE);
    ASSERT_EQ(list.size(), 1u);
    listing = list[0];
    TakeTrace();
  }
  void TearDown() override {
    // The behaviours capture the test's locals, which are gone by now.
    g_behaviour = PinBehaviour{};
    client.reset();
    ks::ClearKsFaults();
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
    TakeTrace();
  }
  HANDLE OpenFilter() {
    HANDLE h = nullptr;
    EXPECT_EQ(client->OpenFilter(listing, &h), STATUS_SUCCESS);
    return h;
  }
  HANDLE OpenPin(HANDLE filter, const GUID& sub = kSubA) {
    HANDLE h = nullptr;
    KSDATAFORMAT f = FormatOf(sub);
    EXPECT_EQ(client->CreatePin(filter, 0, &f, &h), STATUS_SUCCESS);
    return h;
  }

  ks::PnpHarness harness{Entry};
  std::unique_ptr<ks::KsClient> client = std::make_unique<ks::KsClient>();
  ks::FilterListing listing{};
};

}  // namespace ks_test
