// A started device on the simulated machine with its filters opened the way an
// application opens them, for the standard property sets. The pinless front-end filters
// are the ones device start registers. The capture filters are opened through filter
// factories of this fixture, made from the driver's templates (same automation tables,
// pins and range lists) but with a Create that hangs a FilterContext of the test's
// choosing on the filter and a pin Create that hangs a VideoPinContext on the pin.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/core/board_kinds.h"
#include "tests/support/board_identity.h"
#include "driver/core/device.h"
#include "driver/core/device_start.h"
#include "driver/core/driver_entry.h"
#include "driver/hardware/lifecycle.h"
#include "driver/streaming/pin_context.h"
#include "driver/streaming/templates.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/ks/host.h"
#include "platform/pci/host.h"

namespace props_test {

namespace pk = platform::kernel;
namespace pci = platform::pci;
namespace ks = platform::ks;

using test_support::Setting;

using test_support::Kind;

// What the test filters' Create and the test pins' Create hang on their objects.
inline FilterContext g_nextFilterContext;
inline VideoPinContext g_pinContext;

inline NTSTATUS TestFilterCreate(PKSFILTER filter, PIRP) {
  auto* c = new FilterContext(g_nextFilterContext);
  c->pKsDevice = KsGetDevice(filter);
  c->pKsFilter = filter;
  filter->Context = c;
  return STATUS_SUCCESS;
}
inline NTSTATUS TestFilterClose(PKSFILTER filter, PIRP) {
  delete static_cast<FilterContext*>(filter->Context);
  filter->Context = nullptr;
  return STATUS_SUCCESS;
}
inline NTSTATUS TestPinCreate(PKSPIN pin, PIRP) {
  pin->Context = &g_pinContext;
  return STATUS_SUCCESS;
}
inline const KSFILTER_DISPATCH kTestFilterDispatch = {TestFilterCreate, TestFilterClose, nullptr, nullptr};
inline const KSPIN_DISPATCH kTestPinDispatch = [] {
  KSPIN_DISPATCH d{};
  d.Create = TestPinCreate;
  return d;
}();

// A test factory's reference GUID: the driver's scheme with a type code no filter uses.
constexpr GUID TestReference(UCHAR n) { return SchemeGuid(0xC0, 0x34, 0x7E, 0x00, n, 0x1E); }

class StandardSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    pk::RegistryReset();
    pci::Reset();
    ks::ClearKsFaults();
    pk::ClearDelayRequests();
    g_nextFilterContext = FilterContext{};
    g_pinContext = VideoPinContext{};
    harness = std::make_unique<ks::PnpHarness>(DriverEntry);
    ASSERT_EQ(harness->Load(), STATUS_SUCCESS);
    ResetDeviceStartCounters();
  }
  void TearDown() override {
    ReleaseMonitors();
    ks::ClearKsFaults();
    pk::ClearPoolFaults();
    for (auto it = opened.rbegin(); it != opened.rend(); ++it) client.Close(*it);
    opened.clear();
    EXPECT_EQ(harness->Unload(), STATUS_SUCCESS);  // no pool left
    harness.reset();
    for (auto* s : slots) pci::Unplug(s);
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
    pci::Reset();
  }

  // Plugs a board in, writes its settings and starts it; returns its device.
  CDevice* StartBoard(const PCI_IDENTITY& id, std::vector<Setting> settings = {}) {
    boards.push_back(
        std::make_unique<platform::board::GenericBoard>(platform::board::IdentityFrom(id), 0x10000, 0x400000));
    slots.push_back(pci::PlugIn(*boards.back()));
    resources.push_back(pci::TranslatedResources(*slots.back()));
    size_t index = 0;
    EXPECT_EQ(harness->AddDevice(pci::BusData, slots.back(), &index), STATUS_SUCCESS);
    key = pk::RegistryDriverKeyPath(harness->Device(index)->PhysicalDeviceObject->HostInstance);
    pk::RegistryCreateKey(key);
    for (const Setting& s : settings) pk::RegistrySetDword(key, s.name, s.value);
    const NTSTATUS started = harness->StartDevice(index, resources[index].get(), resources[index].get());
    EXPECT_EQ(started, STATUS_SUCCESS);
    ksDevice = harness->Device(index);
    if (started == STATUS_SUCCESS) HoldMonitor(DeviceOf(ksDevice));
    return DeviceOf(ksDevice);
  }
  // The tests set and read the device's members directly, which the monitor thread of an
  // encoder board also reads and writes: every started device's monitor is held (its
  // bracket taken, the thread ended) until the test lets it go, as it must before a stop.
  void HoldMonitor(CDevice* d) {
    VORLIX_StopMonitorThread(d);
    held.push_back(d);
  }
  void ReleaseMonitors() {
    for (CDevice* d : held) VORLIX_StartMonitorThread(d);
    held.clear();
  }

  // Opens a filter listed under the category for this device (the first one).
  HANDLE OpenListed(const GUID& category, const GUID* reference = nullptr) {
    for (const auto& f : client.ListFilters(category)) {
      if (f.Device != ksDevice || (reference && f.ReferenceGuid != *reference)) continue;
      HANDLE h = nullptr;
      EXPECT_EQ(client.OpenFilter(f, &h), STATUS_SUCCESS);
      if (h) opened.push_back(h);
      return h;
    }
    ADD_FAILURE() << "no filter of the category";
    return nullptr;
  }
  void CloseFilter(HANDLE h) {
    EXPECT_EQ(client.Close(h), STATUS_SUCCESS);
    opened.erase(std::remove(opened.begin(), opened.end(), h), opened.end());
  }

  // A factory of a copy of `from` with the fixture's dispatch; opens a filter of it.
  HANDLE OpenTestCopy(const KSFILTER_DESCRIPTOR& from, const KSFILTER_DISPATCH* dispatch) {
    auto made = std::make_unique<Made>();
    const UCHAR n = (UCHAR)(0x40 + made_.size());
    made->reference = TestReference(n);
    made->descriptor = from;
    made->descriptor.Dispatch = dispatch;
    made->descriptor.ReferenceGuid = &made->reference;
    made->descriptor.CategoriesCount = 1;
    made->category = KSCATEGORY_CAPTURE;
    made->descriptor.Categories = &made->category;
    for (ULONG i = 0; i < from.PinDescriptorsCount && i < 2; i++) {
      made->pins[i] = from.PinDescriptors[i];
      made->pins[i].Dispatch = &kTestPinDispatch;
    }
    made->descriptor.PinDescriptors = made->pins;
    PKSFILTERFACTORY factory = nullptr;
    EXPECT_EQ(KsCreateFilterFactory(DeviceOf(ksDevice)->m_pFunctionalDeviceObject, &made->descriptor, nullptr, nullptr,
                                    0, nullptr, nullptr, &factory),
              STATUS_SUCCESS);
    const GUID reference = made->reference;
    made_.push_back(std::move(made));
    return OpenListed(KSCATEGORY_CAPTURE, &reference);
  }
  // The video capture filter of the device's first channel, with this context.
  HANDLE OpenVideo(ULONG streamIndex, ULONG channel) {
    g_nextFilterContext = FilterContext{streamIndex, 0, channel, nullptr, nullptr};
    for (const auto& f : ks::FactoriesOf(ksDevice))
      if (f.Descriptor->AutomationTable == &VideoFilterAutomation)
        return OpenTestCopy(*f.Descriptor, &kTestFilterDispatch);
    ADD_FAILURE() << "the device has no video capture filter";
    return nullptr;
  }
  // A pin of the video filter's capture pin factory, in pin 0's first range's format.
  HANDLE CreateCapturePin(HANDLE filter) {
    std::vector<uint8_t> format;
    const KSDATARANGE* range = VideoCapturePinDescriptor.PinDescriptor.DataRanges[0];
    EXPECT_EQ(client.Intersect(filter, 0, {range}, &format), STATUS_SUCCESS);
    HANDLE pin = nullptr;
    EXPECT_EQ(client.CreatePin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin), STATUS_SUCCESS);
    if (pin) opened.push_back(pin);
    return pin;
  }

  // A request whose record is both the property (its fields after the KSPROPERTY) and
  // the value buffer, as applications send the standard sets' records.
  template <typename T>
  NTSTATUS Request(const ks::PropertyTarget& target, const GUID& set, ULONG id, ULONG flags, T* record,
                   ULONG* returned = nullptr, ULONG dataLength = sizeof(T)) {
    record->Property.Set = set;
    record->Property.Id = id;
    record->Property.Flags = flags;
    ULONG r = 0;
    T in = *record;
    NTSTATUS s = client.Property(target, set, id, flags, reinterpret_cast<const uint8_t*>(&in) + sizeof(KSPROPERTY),
                                 sizeof(T) - sizeof(KSPROPERTY), record, dataLength, &r);
    if (returned) *returned = r;
    return s;
  }
  template <typename T>
  NTSTATUS Get(HANDLE h, const GUID& set, ULONG id, T* record, ULONG* returned = nullptr) {
    return Request({h}, set, id, KSPROPERTY_TYPE_GET, record, returned);
  }
  template <typename T>
  NTSTATUS Set(HANDLE h, const GUID& set, ULONG id, T* record) {
    return Request({h}, set, id, KSPROPERTY_TYPE_SET, record);
  }

  std::unique_ptr<ks::PnpHarness> harness;
  std::vector<CDevice*> held;
  std::vector<std::unique_ptr<platform::board::GenericBoard>> boards;
  std::vector<pci::Slot*> slots;
  std::vector<pci::ResourceList> resources;
  ks::KsClient client;
  PKSDEVICE ksDevice = nullptr;
  std::u16string key;
  std::vector<HANDLE> opened;

 private:
  struct Made {
    GUID reference;
    GUID category;
    KSFILTER_DESCRIPTOR descriptor;
    KSPIN_DESCRIPTOR_EX pins[2];
  };
  std::vector<std::unique_ptr<Made>> made_;
};

}  // namespace props_test
