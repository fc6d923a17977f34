// Loading the driver and adding and removing its device object through KS.
#include "driver/core/device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <chrono>
#include <string>
#include <thread>

#include "driver/core/driver_entry.h"
#include "imaging/core/cpu.h"
#include "platform/kernel/machine.h"
#include "driver/core/board_kinds.h"
#include "platform/board/board.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"

namespace {

namespace pk = platform::kernel;
using platform::ks::DeviceState;
using platform::ks::PnpHarness;

constexpr ULONG kDeviceTag = MakePoolTag("QZVK");

// The driver is built without run-time type information, so the sanitizer's dynamic
// type check cannot look at its polymorphic classes; these helpers touch them unchecked.
#define NO_VPTR_CHECK __attribute__((no_sanitize("vptr")))
NO_VPTR_CHECK ParamBlock BlockOf(const CChannelParamSet& set, int i) { return set.m_aBlock[i]; }
NO_VPTR_CHECK CChannelParamSet* BuildSet(void* where) { return new (where) CChannelParamSet(); }
NO_VPTR_CHECK void DestroySet(CChannelParamSet* set) { set->~CChannelParamSet(); }
NO_VPTR_CHECK void DeleteSet(CChannelParamSet* set) { delete set; }
const char kBanner[] = "KORVENT - DriverEntry() 1.1.0.167.0 (2016.08.15) (X64)";

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    pk::ClearPoolFaults();
  }
  void TearDown() override {
    pk::ClearPoolFaults();
    EXPECT_EQ(pk::PoolStats(kDeviceTag).liveBlocks, 0);
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
  }

  CDevice* AddOne(PnpHarness& harness, size_t* index) {
    EXPECT_EQ(harness.AddDevice(nullptr, nullptr, index), STATUS_SUCCESS);
    PKSDEVICE ks = harness.Device(*index);
    return ks ? DeviceOf(ks) : nullptr;
  }
};

TEST_F(DeviceTest, LoadPrintsTheBannerSelectsALevelAndRegistersTheDescriptor) {
  CpuActiveLevel = -1;
  PnpHarness harness(DriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);

  auto lines = pk::DebugLogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], kBanner);
  EXPECT_EQ(pk::DebugLogText().rfind(std::string(kBanner) + "\n", 0), 0u);
  size_t index;
  ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_SUCCESS);
  ASSERT_EQ(harness.RemoveDevice(index), STATUS_SUCCESS);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kBanner), 1);
  lines = pk::DebugLogLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kBanner), 1);

  // The automatic choice never goes above level 3.
  EXPECT_GE(CpuActiveLevel, 0);
  EXPECT_LE(CpuActiveLevel, 3);

  const KSDEVICE_DESCRIPTOR* descriptor = platform::ks::RegisteredDescriptor(harness.DriverObject());
  ASSERT_EQ(descriptor, &VorlixDeviceDescriptor);
  EXPECT_EQ(descriptor->FilterDescriptorsCount, 0u);
  EXPECT_EQ(descriptor->FilterDescriptors, nullptr);
  const KSDEVICE_DISPATCH* d = descriptor->Dispatch;
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Add, &CDevice::Add);
  EXPECT_EQ(d->Start, &CDevice::Start);
  EXPECT_EQ(d->Stop, &CDevice::Stop);
  EXPECT_EQ(d->Remove, &CDevice::Remove);
  EXPECT_EQ(d->QueryCapabilities, &CDevice::QueryCapabilities);
  EXPECT_EQ(d->SetPower, &CDevice::SetPower);
  EXPECT_EQ(d->PostStart, nullptr);
  EXPECT_EQ(d->QueryStop, nullptr);
  EXPECT_EQ(d->CancelStop, nullptr);
  EXPECT_EQ(d->QueryRemove, nullptr);
  EXPECT_EQ(d->CancelRemove, nullptr);
  EXPECT_EQ(d->SurpriseRemoval, nullptr);
  EXPECT_EQ(d->QueryPower, nullptr);
  EXPECT_EQ(d->QueryInterface, nullptr);
}

TEST_F(DeviceTest, LoadReturnsTheStatusOfKsInitialization) {
  platform::ks::FailNextInitializeDriver(STATUS_INSUFFICIENT_RESOURCES);
  PnpHarness harness(DriverEntry);
  EXPECT_EQ(harness.Load(), STATUS_INSUFFICIENT_RESOURCES);
  // The banner still went out first.
  EXPECT_EQ(pk::DebugLogLines().at(0), kBanner);
}

TEST_F(DeviceTest, AddLinksTheObjectAndRemoveWithoutStartFreesIt) {
  PnpHarness harness(DriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  size_t index;
  CDevice* device = AddOne(harness, &index);
  ASSERT_NE(device, nullptr);
  PKSDEVICE ks = harness.Device(index);
  EXPECT_EQ(device->m_pKsDevice, ks);
  EXPECT_EQ(pk::PoolStats(kDeviceTag).liveBlocks, 1);
  EXPECT_GE(pk::PoolStats(kDeviceTag).liveBytes, (int64_t)sizeof(CDevice));
  // Zero-filled apart from what the constructor builds.
  EXPECT_EQ(device->m_pMonitorThread, nullptr);
  EXPECT_EQ(device->m_pPhysicalDeviceObject, nullptr);
  EXPECT_EQ(device->m_hVcamSection[VCAM_VIDEO], nullptr);
  EXPECT_EQ(device->m_pVcamMdl[VCAM_AUDIO], nullptr);

  ASSERT_EQ(harness.RemoveDevice(index), STATUS_SUCCESS);
  EXPECT_EQ(ks->Context, nullptr);
  EXPECT_EQ(pk::PoolStats(kDeviceTag).liveBlocks, 0);
  EXPECT_EQ(harness.Unload(), STATUS_SUCCESS);
}

TEST_F(DeviceTest, AddWithoutPoolFailsAndChangesNothing) {
  PnpHarness harness(DriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  pk::FailAllocationsWithTag(kDeviceTag, 1);
  size_t index;
  EXPECT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(harness.State(index), DeviceState::Removed);
  EXPECT_EQ(pk::PoolStats(kDeviceTag).liveBlocks, 0);
  // The next board gets its object.
  size_t next;
  ASSERT_NE(AddOne(harness, &next), nullptr);
  EXPECT_EQ(harness.Unload(), STATUS_SUCCESS);
}

TEST_F(DeviceTest, StartStopAndPowerReachTheDeviceObject) {
  platform::pci::Reset();
  PCI_IDENTITY id{};
  BoardKindIdentity(BOARD_KIND_A, &id);
  platform::board::GenericBoard board(platform::board::IdentityFrom(id));
  platform::pci::Slot* slot = platform::pci::PlugIn(board);
  platform::pci::ResourceList resources = platform::pci::TranslatedResources(*slot);
  PnpHarness harness(DriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  size_t index;
  ASSERT_EQ(harness.AddDevice(platform::pci::BusData, slot, &index), STATUS_SUCCESS);
  CDevice* device = DeviceOf(harness.Device(index));
  ASSERT_NE(device, nullptr);
  // Without resources there is nothing to start.
  EXPECT_NE(harness.StartDevice(index, nullptr, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(harness.RemoveDevice(index), STATUS_SUCCESS);
  ASSERT_EQ(harness.AddDevice(platform::pci::BusData, slot, &index), STATUS_SUCCESS);
  device = DeviceOf(harness.Device(index));
  ASSERT_EQ(harness.StartDevice(index, resources.get(), resources.get()), STATUS_SUCCESS);
  ASSERT_EQ(harness.SetDevicePower(index, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(device->m_nDevicePowerState, (ULONG)PowerDeviceD3);
  ASSERT_EQ(harness.StopDevice(index), STATUS_SUCCESS);
  ASSERT_EQ(harness.StartDevice(index, resources.get(), resources.get()), STATUS_SUCCESS);
  // Capabilities are left as the bus gave them.
  DEVICE_CAPABILITIES caps, bus;
  ASSERT_EQ(harness.QueryCapabilities(index, &caps), STATUS_SUCCESS);
  harness.BusCapabilities(index, &bus);
  EXPECT_EQ(std::memcmp(&bus, &caps, sizeof(caps)), 0);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(harness.Unload(), STATUS_SUCCESS);
  platform::pci::Unplug(slot);
  EXPECT_TRUE(platform::pci::CurrentAccounting().empty());
}

// A stand-in for the board's monitor thread: polls its stop request and marks its end.
std::atomic<bool> g_monitorEnded{false};
VOID FakeMonitorThread(PVOID context) {
  auto* device = static_cast<CDevice*>(context);
  while (!device->m_bMonitorThreadStop) {
    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
  }
  // Give Remove every chance to run ahead if it did not wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  g_monitorEnded = true;
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(DeviceTest, RemoveStopsTheMonitorThreadAndWaitsForIt) {
  PnpHarness harness(DriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  size_t index;
  CDevice* device = AddOne(harness, &index);
  ASSERT_NE(device, nullptr);

  g_monitorEnded = false;
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, FakeMonitorThread, device),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  device->m_pMonitorThread = thread;

  ASSERT_EQ(harness.RemoveDevice(index), STATUS_SUCCESS);
  EXPECT_TRUE(g_monitorEnded.load());
  EXPECT_TRUE(pk::WaitForSystemThreads(5000));
  EXPECT_EQ(harness.Unload(), STATUS_SUCCESS);
}

TEST(ChannelParamSetTest, BothBlocksStartFromTheSameValues) {
  alignas(CChannelParamSet) unsigned char storage[sizeof(CChannelParamSet)];
  std::memset(storage, 0xAB, sizeof(storage));
  CChannelParamSet* set = BuildSet(storage);
  static const USHORT kLevels[10] = {0, 0, 32, 32, 32, 32, 32, 32, 32, 32};
  for (int b = 0; b < 2; b++) {
    ParamBlock block = BlockOf(*set, b);
    EXPECT_EQ(block.nMode, 0x8800u);
    EXPECT_EQ(block.nSize, 544);
    for (USHORT w : block.aReserved) EXPECT_EQ(w, 0);
    for (int i = 0; i < 10; i++) EXPECT_EQ(block.aLevel[i], kLevels[i]) << i;
    EXPECT_EQ(block.bEnabled, 0);
  }
  DestroySet(set);
}

TEST_F(DeviceTest, DeletingASetGivesItsMemoryBackToThePool) {
  constexpr ULONG kTag = MakePoolTag("Tst2");
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CChannelParamSet), kTag);
  ASSERT_NE(block, nullptr);
  CChannelParamSet* set = BuildSet(block);
  EXPECT_EQ(pk::PoolStats(kTag).liveBlocks, 1);
  DeleteSet(set);
  EXPECT_EQ(pk::PoolStats(kTag).liveBlocks, 0);
}

TEST_F(DeviceTest, TheDeviceObjectBuildsEveryParameterSetAndEmptiesTheRings) {
  PnpHarness harness(DriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  size_t index;
  CDevice* device = AddOne(harness, &index);
  ASSERT_NE(device, nullptr);
  for (int i = 0; i < 16; i++) {
    EXPECT_EQ(BlockOf(device->m_aChannelParamSet[i], 0).nMode, 0x8800u) << i;
    EXPECT_EQ(BlockOf(device->m_aChannelParamSet[i], 1).aLevel[9], 32) << i;
  }
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(BlockOf(device->m_aGroupParamSet[i], 1).nSize, 544) << i;
    EXPECT_EQ(BlockOf(device->m_aGroupParamSet[i], 0).aLevel[2], 32) << i;
  }
  for (auto& ring : device->m_DeinterlaceRing)
    for (const FieldSlot& slot : ring) EXPECT_TRUE(!slot.pBuffer && !slot.nRowStep && !slot.bValid && !slot.nReserved);
  for (auto& ring : device->m_DeinterlaceOutput)
    for (const FieldSlot& slot : ring) EXPECT_TRUE(!slot.pBuffer && !slot.nRowStep && !slot.bValid && !slot.nReserved);
  EXPECT_EQ(harness.Unload(), STATUS_SUCCESS);
}

}  // namespace
