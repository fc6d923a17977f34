// The Plug and Play harness against a recording minidriver: call order, the states
// KS allows each call in, bus data and adapter routing, and the leak check at unload.
#include "platform/ks/harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/machine.h"

namespace {

namespace pk = platform::kernel;
using platform::ks::DeviceState;
using platform::ks::PnpHarness;

constexpr ULONG kLeakTag = MakePoolTag("Tst1");

// What the recording driver saw, and how it should answer.
struct Recorder {
  std::vector<std::string> calls;
  NTSTATUS addStatus = STATUS_SUCCESS;
  NTSTATUS startStatus = STATUS_SUCCESS;
  bool leakAtAdd = false;
  void* leaked = nullptr;
  DEVICE_POWER_STATE lastTo = PowerDeviceUnspecified;
  DEVICE_POWER_STATE lastFrom = PowerDeviceUnspecified;
  std::atomic<int> inFlight{0};
  std::atomic<int> maxInFlight{0};
};
Recorder* g_rec = nullptr;

struct InCall {
  InCall() {
    int now = ++g_rec->inFlight;
    int seen = g_rec->maxInFlight.load();
    while (now > seen && !g_rec->maxInFlight.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::yield();
  }
  ~InCall() { --g_rec->inFlight; }
};

NTSTATUS RecAdd(PKSDEVICE device) {
  InCall c;
  g_rec->calls.push_back("Add");
  if (g_rec->leakAtAdd) g_rec->leaked = ExAllocatePoolWithTag(NonPagedPool, 32, kLeakTag);
  if (NT_SUCCESS(g_rec->addStatus)) device->Context = g_rec;
  return g_rec->addStatus;
}
NTSTATUS RecStart(PKSDEVICE, PIRP irp, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  InCall c;
  g_rec->calls.push_back(irp ? "Start" : "Start(no irp)");
  return g_rec->startStatus;
}
VOID RecStop(PKSDEVICE, PIRP) {
  InCall c;
  g_rec->calls.push_back("Stop");
}
VOID RecRemove(PKSDEVICE device, PIRP) {
  InCall c;
  g_rec->calls.push_back("Remove");
  device->Context = nullptr;
}
NTSTATUS RecCaps(PKSDEVICE, PIRP, PDEVICE_CAPABILITIES caps) {
  g_rec->calls.push_back("QueryCapabilities");
  caps->SurpriseRemovalOK = 1;
  return STATUS_SUCCESS;
}
VOID RecSetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  InCall c;
  g_rec->calls.push_back("SetPower");
  g_rec->lastTo = to;
  g_rec->lastFrom = from;
}

const KSDEVICE_DISPATCH kDispatch = {RecAdd,  RecStart,  nullptr, nullptr, nullptr, RecStop,     nullptr,
                                     nullptr, RecRemove, RecCaps, nullptr, nullptr, RecSetPower, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr};

NTSTATUS RecDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  g_rec->calls.push_back("DriverEntry");
  return KsInitializeDriver(driver, path, &kDescriptor);
}

// A configuration space of 256 bytes per board.
struct FakeConfig {
  UCHAR bytes[256];
  std::vector<std::string> log;
};
ULONG ConfigAccess(PVOID context, ULONG type, PVOID buffer, ULONG offset, ULONG length, BOOLEAN write) {
  auto* cfg = static_cast<FakeConfig*>(context);
  cfg->log.push_back((write ? "w " : "r ") + std::to_string(type) + " " + std::to_string(offset));
  if (type != PCI_WHICHSPACE_CONFIG || offset >= sizeof(cfg->bytes)) return 0;
  ULONG n = std::min<ULONG>(length, sizeof(cfg->bytes) - offset);
  if (write)
    std::memcpy(cfg->bytes + offset, buffer, n);
  else
    std::memcpy(buffer, cfg->bytes + offset, n);
  return n;
}

class PnpHarnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    g_rec = &rec;
  }
  void TearDown() override { g_rec = nullptr; }
  std::vector<std::string> TakeCalls() {
    auto c = rec.calls;
    rec.calls.clear();
    return c;
  }
  Recorder rec;
};

using Calls = std::vector<std::string>;

TEST_F(PnpHarnessTest, LoadRunsTheEntryAndKeepsTheDescriptor) {
  PnpHarness harness(RecDriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  EXPECT_EQ(harness.Descriptor(), &kDescriptor);
  EXPECT_EQ(platform::ks::RegisteredDescriptor(harness.DriverObject()), &kDescriptor);
  EXPECT_EQ(harness.Load(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(harness.Unload(), STATUS_SUCCESS);
  EXPECT_EQ(platform::ks::RegisteredDescriptor(harness.DriverObject()), nullptr);
  EXPECT_EQ(TakeCalls(), (Calls{"DriverEntry"}));
}

TEST_F(PnpHarnessTest, FailedInitializeFailsTheLoad) {
  platform::ks::FailNextInitializeDriver(STATUS_INSUFFICIENT_RESOURCES);
  PnpHarness harness(RecDriverEntry);
  EXPECT_EQ(harness.Load(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(harness.Loaded());
  size_t index;
  EXPECT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_INVALID_DEVICE_STATE);
  // The injection is spent: the next load goes through.
  EXPECT_EQ(harness.Load(), STATUS_SUCCESS);
}

TEST_F(PnpHarnessTest, AddBuildsTheDeviceStackPerBoard) {
  PnpHarness harness(RecDriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  for (size_t expected = 0; expected < 3; expected++) {
    size_t index = 99;
    ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_SUCCESS);
    EXPECT_EQ(index, expected);
    PKSDEVICE ks = harness.Device(index);
    ASSERT_NE(ks, nullptr);
    EXPECT_EQ(ks->Context, &rec);
    EXPECT_EQ(ks->Descriptor, &kDescriptor);
    ASSERT_NE(ks->PhysicalDeviceObject, nullptr);
    ASSERT_NE(ks->FunctionalDeviceObject, nullptr);
    EXPECT_NE(ks->PhysicalDeviceObject, ks->FunctionalDeviceObject);
    EXPECT_EQ(ks->NextDeviceObject, ks->PhysicalDeviceObject);
    EXPECT_EQ(ks->PhysicalDeviceObject->HostInstance, expected);
    EXPECT_EQ(ks->FunctionalDeviceObject->HostInstance, expected);
    EXPECT_EQ(ks->FunctionalDeviceObject->DriverObject, harness.DriverObject());
    EXPECT_EQ(ks->FunctionalDeviceObject->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_FALSE(ks->Started);
  }
}

TEST_F(PnpHarnessTest, FailedAddLeavesNoDevice) {
  PnpHarness harness(RecDriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  rec.addStatus = STATUS_INSUFFICIENT_RESOURCES;
  size_t index;
  EXPECT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(harness.State(index), DeviceState::Removed);
  EXPECT_EQ(harness.Device(index), nullptr);
  EXPECT_EQ(harness.RemoveDevice(index), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(harness.Unload(), STATUS_SUCCESS);
  EXPECT_EQ(TakeCalls(), (Calls{"DriverEntry", "Add"}));
}

// Each row: a sequence of harness calls and what each returns; the driver must see only
// the calls KS would make.
struct OrderCase {
  const char* name;
  NTSTATUS startStatus;
  std::vector<std::pair<std::string, NTSTATUS>> steps;
  Calls driverSees;
  DeviceState finalState;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class PnpOrder : public PnpHarnessTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(PnpOrder, FollowsTheOrderKsGuarantees) {
  const OrderCase& c = GetParam();
  PnpHarness harness(RecDriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  size_t index;
  ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_SUCCESS);
  TakeCalls();
  rec.startStatus = c.startStatus;
  for (const auto& [op, expected] : c.steps) {
    NTSTATUS got = STATUS_SUCCESS;
    if (op == "start")
      got = harness.StartDevice(index, nullptr, nullptr);
    else if (op == "stop")
      got = harness.StopDevice(index);
    else if (op == "remove")
      got = harness.RemoveDevice(index);
    else if (op == "power")
      got = harness.SetDevicePower(index, PowerDeviceD3);
    else if (op == "startok") {
      rec.startStatus = STATUS_SUCCESS;
      continue;
    }
    EXPECT_EQ(got, expected) << op;
  }
  EXPECT_EQ(TakeCalls(), c.driverSees);
  EXPECT_EQ(harness.State(index), c.finalState);
}

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kBad = STATUS_INVALID_DEVICE_STATE;
constexpr NTSTATUS kFail = STATUS_UNSUCCESSFUL;

INSTANTIATE_TEST_SUITE_P(
    Cases, PnpOrder,
    ::testing::Values(
        OrderCase{"AfterAFailedStartOnlyRemove",
                  kFail,
                  {{"start", kFail}, {"stop", kBad}, {"power", kBad}, {"start", kBad}, {"remove", kOk}},
                  {"Start", "Remove"},
                  DeviceState::Removed},
        OrderCase{"FailedStartThenStopIsNotPassedOn",
                  kFail,
                  {{"start", kFail}, {"startok", kOk}, {"start", kBad}, {"stop", kBad}},
                  {"Start"},
                  DeviceState::StartFailed},
        OrderCase{"StopThenStartAgain",
                  kOk,
                  {{"start", kOk}, {"stop", kOk}, {"start", kOk}, {"stop", kOk}, {"remove", kOk}},
                  {"Start", "Stop", "Start", "Stop", "Remove"},
                  DeviceState::Removed},
        OrderCase{"StartTwiceIsRefused", kOk, {{"start", kOk}, {"start", kBad}}, {"Start"}, DeviceState::Started},
        OrderCase{"StopWithoutStartIsRefused", kOk, {{"stop", kBad}, {"power", kBad}}, {}, DeviceState::Added},
        OrderCase{"RemoveOfAStartedDeviceStopsItFirst",
                  kOk,
                  {{"start", kOk}, {"remove", kOk}},
                  {"Start", "Stop", "Remove"},
                  DeviceState::Removed},
        OrderCase{"RemoveWithoutStart",
                  kOk,
                  {{"remove", kOk}, {"remove", kBad}, {"start", kBad}},
                  {"Remove"},
                  DeviceState::Removed},
        OrderCase{"PowerOnlyWhileStarted",
                  kOk,
                  {{"power", kBad}, {"start", kOk}, {"power", kOk}, {"stop", kOk}, {"power", kBad}},
                  {"Start", "SetPower", "Stop"},
                  DeviceState::Added}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.name); });

TEST_F(PnpHarnessTest, SetPowerPassesTheStateItLeaves) {
  PnpHarness harness(RecDriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  size_t index;
  ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_SUCCESS);
  ASSERT_EQ(harness.StartDevice(index, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(harness.Device(index)->DevicePowerState, PowerDeviceD0);
  ASSERT_EQ(harness.SetDevicePower(index, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(rec.lastFrom, PowerDeviceD0);
  EXPECT_EQ(rec.lastTo, PowerDeviceD3);
  ASSERT_EQ(harness.SetDevicePower(index, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(rec.lastFrom, PowerDeviceD3);
  EXPECT_EQ(rec.lastTo, PowerDeviceD0);
  EXPECT_EQ(harness.SetDevicePower(index, PowerDeviceMaximum), STATUS_INVALID_PARAMETER);
}

TEST_F(PnpHarnessTest, CapabilitiesComeFromTheBusThenTheDriver) {
  PnpHarness harness(RecDriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  size_t index;
  ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps;
  std::memset(&caps, 0xCC, sizeof(caps));
  ASSERT_EQ(harness.QueryCapabilities(index, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(caps.Version, 1);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
}

TEST_F(PnpHarnessTest, BusDataAndAdapterArePerDevice) {
  PnpHarness harness(RecDriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  FakeConfig cfg[2];
  for (int b = 0; b < 2; b++)
    for (int i = 0; i < 256; i++) cfg[b].bytes[i] = (UCHAR)(i + 16 * b);
  size_t a, b;
  ASSERT_EQ(harness.AddDevice(ConfigAccess, &cfg[0], &a), STATUS_SUCCESS);
  ASSERT_EQ(harness.AddDevice(ConfigAccess, &cfg[1], &b), STATUS_SUCCESS);

  ULONG dword = 0;
  EXPECT_EQ(KsDeviceGetBusData(harness.Device(b), PCI_WHICHSPACE_CONFIG, &dword, 0x2C, 4), 4u);
  EXPECT_EQ(dword, 0x3F3E3D3Cu);
  EXPECT_EQ(KsDeviceGetBusData(harness.Device(a), PCI_WHICHSPACE_CONFIG, &dword, 0x08, 4), 4u);
  EXPECT_EQ(dword, 0x0B0A0908u);
  // Past the end of the space: only what is there.
  EXPECT_EQ(KsDeviceGetBusData(harness.Device(a), PCI_WHICHSPACE_CONFIG, &dword, 254, 4), 2u);
  dword = 0x11223344;
  EXPECT_EQ(KsDeviceSetBusData(harness.Device(a), PCI_WHICHSPACE_CONFIG, &dword, 0x40, 4), 4u);
  EXPECT_EQ(cfg[0].bytes[0x40], 0x44);
  EXPECT_EQ(cfg[0].log, (std::vector<std::string>{"r 0 8", "r 0 254", "w 0 64"}));
  EXPECT_EQ(cfg[1].log, (std::vector<std::string>{"r 0 44"}));

  int adapter;
  KsDeviceRegisterAdapterObject(harness.Device(b), reinterpret_cast<PADAPTER_OBJECT>(&adapter), 0xFFFFFFF8, 16);
  EXPECT_EQ(harness.Adapter(b).Adapter, reinterpret_cast<PADAPTER_OBJECT>(&adapter));
  EXPECT_EQ(harness.Adapter(b).MaxMappingsByteCount, 0xFFFFFFF8u);
  EXPECT_EQ(harness.Adapter(b).MappingTableStride, 16u);
  EXPECT_EQ(harness.Adapter(a).Adapter, nullptr);

  // A removed device, or one without a bus, reads nothing.
  PKSDEVICE gone = harness.Device(a);
  ASSERT_EQ(harness.RemoveDevice(a), STATUS_SUCCESS);
  EXPECT_EQ(KsDeviceGetBusData(gone, PCI_WHICHSPACE_CONFIG, &dword, 0, 4), 0u);
  size_t c;
  ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &c), STATUS_SUCCESS);
  EXPECT_EQ(KsDeviceGetBusData(harness.Device(c), PCI_WHICHSPACE_CONFIG, &dword, 0, 4), 0u);
}

TEST_F(PnpHarnessTest, UnloadRemovesWhatIsLeftThenChecksThePool) {
  PnpHarness harness(RecDriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  size_t a, b;
  ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &a), STATUS_SUCCESS);
  ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &b), STATUS_SUCCESS);
  ASSERT_EQ(harness.StartDevice(b, nullptr, nullptr), STATUS_SUCCESS);
  TakeCalls();
  EXPECT_EQ(harness.Unload(), STATUS_SUCCESS);
  EXPECT_EQ(TakeCalls(), (Calls{"Remove", "Stop", "Remove"}));
  EXPECT_TRUE(pk::VerifierFailures().empty());
}

TEST_F(PnpHarnessTest, PoolLeftAtUnloadIsAVerifierFailure) {
  PnpHarness harness(RecDriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  rec.leakAtAdd = true;
  size_t index;
  ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_SUCCESS);
  EXPECT_EQ(harness.Unload(), STATUS_UNSUCCESSFUL);
  auto failures = pk::TakeVerifierFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].detail.find("Tst1"), std::string::npos) << failures[0].detail;
  ExFreePoolWithTag(rec.leaked, kLeakTag);
}

TEST_F(PnpHarnessTest, CallsFromManyThreadsReachTheDriverOneAtATime) {
  PnpHarness harness(RecDriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  size_t index[4];
  for (size_t& i : index) ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &i), STATUS_SUCCESS);
  std::vector<std::thread> threads;
  for (size_t i : index) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < 50; n++) {
        harness.StartDevice(i, nullptr, nullptr);
        harness.SetDevicePower(i, PowerDeviceD1);
        harness.StopDevice(i);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(rec.maxInFlight.load(), 1);
}

}  // namespace
