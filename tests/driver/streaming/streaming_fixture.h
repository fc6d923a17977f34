// A loaded driver with boards started through the Plug and Play harness, and an
// application's KS client to open their filters and create pins, as KS calls the driver.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/core/board_kinds.h"
#include "tests/support/board_identity.h"
#include "driver/core/device.h"
#include "driver/core/device_start.h"
#include "driver/core/driver_entry.h"
#include "driver/hardware/lifecycle.h"
#include "driver/streaming/capture_filter.h"
#include "driver/streaming/templates.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/ks/host.h"
#include "platform/pci/host.h"

namespace streaming_test {

namespace pk = platform::kernel;
namespace pci = platform::pci;
namespace ks = platform::ks;

using test_support::Setting;

using test_support::Kind;
using test_support::Variant;

// The filter the capture filter dispatch last created: KS hands applications handles
// only, the test looks at the filter object the driver saw.
inline PKSFILTER g_lastFilter = nullptr;
inline NTSTATUS RecordingFilterCreate(PKSFILTER pKsFilter, PIRP pIrp) {
  g_lastFilter = pKsFilter;
  return CCaptureFilter::Create(pKsFilter, pIrp);
}

class StreamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    pk::RegistryReset();
    pci::Reset();
    ks::ClearKsFaults();
    harness = std::make_unique<ks::PnpHarness>(DriverEntry);
    ASSERT_EQ(harness->Load(), STATUS_SUCCESS);
    ResetDeviceStartCounters();
    CaptureFilterDispatch.Create = RecordingFilterCreate;
    g_lastFilter = nullptr;
    client = std::make_unique<ks::KsClient>();
  }
  void TearDown() override {
    if (monitorHeld) VORLIX_StartMonitorThread(Dev());
    client.reset();  // closes pins, then filters
    ks::ClearKsFaults();
    pk::ClearPoolFaults();
    EXPECT_EQ(harness->Unload(), STATUS_SUCCESS);  // no pool left
    harness.reset();
    for (auto* s : slots) pci::Unplug(s);
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
    pci::Reset();
  }
  // Plugs a board in with its settings and starts it; returns its index.
  size_t StartBoard(const PCI_IDENTITY& id, std::vector<Setting> settings = {}) {
    boards.push_back(
        std::make_unique<platform::board::GenericBoard>(platform::board::IdentityFrom(id), 0x10000, 0x400000));
    slots.push_back(pci::PlugIn(*boards.back()));
    resources.push_back(pci::TranslatedResources(*slots.back()));
    size_t index = 0;
    EXPECT_EQ(harness->AddDevice(pci::BusData, slots.back(), &index), STATUS_SUCCESS);
    key = pk::RegistryDriverKeyPath(harness->Device(index)->PhysicalDeviceObject->HostInstance);
    pk::RegistryCreateKey(key);
    for (const Setting& s : settings) pk::RegistrySetDword(key, s.name, s.value);
    EXPECT_EQ(harness->StartDevice(index, resources.back().get(), resources.back().get()), STATUS_SUCCESS);
    return index;
  }
  CDevice* Dev(size_t index = 0) { return DeviceOf(harness->Device(index)); }
  // The encoder board's monitor thread writes the signal members the frame-rate rules
  // read; tests that set them hold it stopped (board 0).
  void HoldMonitor() {
    VORLIX_StopMonitorThread(Dev());
    monitorHeld = true;
  }
  // A stream's power-up takes the monitor bracket itself: release it before a state change.
  void ReleaseMonitor() {
    if (monitorHeld) VORLIX_StartMonitorThread(Dev());
    monitorHeld = false;
  }
  // Opens filter n of the category; *filter receives the filter object the driver saw.
  NTSTATUS Open(const GUID& category, size_t n, HANDLE* handle, PKSFILTER* filter = nullptr) {
    auto list = client->ListFilters(category);
    if (n >= list.size()) return STATUS_NOT_FOUND;
    g_lastFilter = nullptr;
    NTSTATUS status = client->OpenFilter(list[n], handle);
    if (filter) *filter = g_lastFilter;
    return status;
  }
  static FilterContext* Ctx(PKSFILTER filter) { return static_cast<FilterContext*>(filter->Context); }

  std::unique_ptr<ks::PnpHarness> harness;
  std::vector<std::unique_ptr<platform::board::GenericBoard>> boards;
  std::vector<pci::Slot*> slots;
  std::vector<pci::ResourceList> resources;
  std::u16string key;  // the last board's driver key
  std::unique_ptr<ks::KsClient> client;
  bool monitorHeld = false;
};

}  // namespace streaming_test
