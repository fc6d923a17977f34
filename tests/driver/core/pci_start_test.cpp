// PCI start and release through the Plug and Play harness: buffer plans per board kind,
// the bounce decision, resources, and a failure at every step unwinding everything.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/core/board_kinds.h"
#include "tests/support/board_identity.h"
#include "driver/core/device.h"
#include "driver/hardware/registers.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"

namespace board = platform::board;
namespace machine = platform::kernel;
namespace pci = platform::pci;

namespace {

// A minimal driver whose start and stop are exactly PCI start and release.
NTSTATUS TestStart(PKSDEVICE d, PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST) {
  return DeviceOf(d)->Initialize(d, irp, translated);
}
VOID TestStop(PKSDEVICE d, PIRP irp) { DeviceOf(d)->Uninitialize(d, irp); }
const KSDEVICE_DISPATCH kDispatch = {CDevice::Add, TestStart,       nullptr, nullptr, nullptr, TestStop, nullptr,
                                     nullptr,      CDevice::Remove, nullptr, nullptr, nullptr, nullptr,  nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr};
NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return KsInitializeDriver(driver, path, &kDescriptor);
}

const ULONG kWdm = MakePoolTag("Wdm ");

using test_support::Kind;
using test_support::Variant;

class PciStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine::ResetMachine();
    machine::RegistryReset();
    pci::Reset();
    harness_ = std::make_unique<platform::ks::PnpHarness>(TestDriverEntry);
    ASSERT_EQ(harness_->Load(), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (index_) harness_->RemoveDevice(*index_);
    EXPECT_EQ(harness_->Unload(), STATUS_SUCCESS);  // no pool left behind
    harness_.reset();
    if (slot_) pci::Unplug(slot_);
    EXPECT_TRUE(pci::CurrentAccounting().empty());
    EXPECT_TRUE(pci::Faults().empty());
    pci::Reset();
    machine::ResetMachine();
  }
  // Plugs a board of this identity in and adds its device.
  void Plug(const PCI_IDENTITY& id, ULONG window0 = 0x10000, ULONG window1 = 0) {
    board_ = std::make_unique<board::GenericBoard>(board::IdentityFrom(id), window0, window1);
    slot_ = pci::PlugIn(*board_);
    size_t index = 0;
    ASSERT_EQ(harness_->AddDevice(pci::BusData, slot_, &index), STATUS_SUCCESS);
    index_ = index;
  }
  std::u16string DriverKey() {
    return machine::RegistryDriverKeyPath(harness_->Device(*index_)->PhysicalDeviceObject->HostInstance);
  }
  NTSTATUS Start() {
    resources_ = pci::TranslatedResources(*slot_);
    return harness_->StartDevice(*index_, resources_.get(), resources_.get());
  }
  CDevice* Dev() { return DeviceOf(harness_->Device(*index_)); }
  size_t ContiguousCalls() { return pci::CallCount(pci::Operation::kContiguousMemory); }

  std::unique_ptr<platform::ks::PnpHarness> harness_;
  std::unique_ptr<board::GenericBoard> board_;
  pci::Slot* slot_ = nullptr;
  std::optional<size_t> index_;
  pci::ResourceList resources_;
};

// ---------------------------------------------------------------------------------------
// Buffer plans.

struct PlanCase {
  const char* name;
  PCI_IDENTITY id;
  bool highMemory = false;
  ULONG flexibleResolution = 0;
  ULONG cloneFilters = 0;
  const char16_t* version = nullptr;  // null: the machine's default, 6.1
  ULONG maximalResolution = 0;
  // Expected.
  UCHAR bounce = 0;
  ULONG mode = DMA_ALLOC_COMMON;
  ULONG main = 0;
  ULONG second = 0;
  std::vector<ULONG> groups = {};  // sizes of groups 0.. (each of 10 buffers)
  ULONG gate = 0;
};

std::vector<PlanCase> PlanCases() {
  std::vector<PlanCase> v;
  auto add = [&](PlanCase c) { v.push_back(c); };
  add({.name = "encoder", .id = Kind(BOARD_KIND_ENCODER), .main = 0xC080, .second = 0x20000, .gate = 1});
  add({.name = "A", .id = Kind(BOARD_KIND_A), .main = 0xC040});
  add({.name = "A large frame, high memory",
       .id = Variant(BOARD_VARIANT_A_LARGE_FRAME),
       .highMemory = true,
       .bounce = 1,
       .main = 0xC040,
       .groups = {0xD8000}});
  add({.name = "A on 6.2",
       .id = Kind(BOARD_KIND_A),
       .version = u"6.2",
       .bounce = 1,
       .main = 0xC040,
       .groups = {0xCA800}});
  add({.name = "A on 6.10", .id = Kind(BOARD_KIND_A), .version = u"6.10", .main = 0xC040});
  add({.name = "B", .id = Kind(BOARD_KIND_B), .flexibleResolution = 1, .bounce = 1, .main = 0x40, .second = 0x1E00});
  add({.name = "C bounce on",
       .id = Kind(BOARD_KIND_C),
       .flexibleResolution = 1,
       .bounce = 1,
       .main = 0x2C080,
       .second = 0x7800,
       .groups = std::vector<ULONG>(8, 0xCA800)});
  add({.name = "C bounce off", .id = Kind(BOARD_KIND_C), .main = 0x2C080, .second = 0x7800});
  add({.name = "C no frame buffers",
       .id = Variant(BOARD_VARIANT_NO_FRAME_BUFFER),
       .cloneFilters = 2,
       .bounce = 1,
       .main = 0x2C080,
       .second = 0x7800});
  add({.name = "C clone 1 changes nothing",
       .id = Kind(BOARD_KIND_C),
       .cloneFilters = 1,
       .main = 0x2C080,
       .second = 0x7800});
  add({.name = "D high memory on 6.3",
       .id = Kind(BOARD_KIND_D),
       .highMemory = true,
       .version = u"6.3",
       .bounce = 1,
       .main = 0x2C080,
       .second = 0x20000,
       .groups = {2 * 2304000}});
  add({.name = "D 4000x3000",
       .id = Kind(BOARD_KIND_D),
       .flexibleResolution = 1,
       .maximalResolution = 4000u << 16 | 3000,
       .bounce = 1,
       .main = 0x2C080,
       .second = 0x20000,
       .groups = {2 * 4000 * 3000}});
  add({.name = "D never bounce beats high memory and 6.3",
       .id = Variant(BOARD_VARIANT_D_NEVER_BOUNCE),
       .highMemory = true,
       .version = u"6.3",
       .main = 0x2C080,
       .second = 0x20000});
  add({.name = "D bounce forced",
       .id = Variant(BOARD_VARIANT_D_BOUNCE_FORCED),
       .bounce = 1,
       .main = 0x2C080,
       .second = 0x20000,
       .groups = {2 * 2304000}});
  add({.name = "D large sensor",
       .id = Variant(BOARD_VARIANT_D_LARGE_SENSOR),
       .flexibleResolution = 3,
       .bounce = 1,
       .main = 0x2C080,
       .second = 0x20000,
       .groups = {0x12C0000}});
  add({.name = "E", .id = Kind(BOARD_KIND_E), .main = 0x2C080});
  add({.name = "F",
       .id = Kind(BOARD_KIND_F),
       .mode = DMA_ALLOC_WINDOWED,
       .main = 0xC080,
       .second = 0x20000,
       .gate = 1});
  add({.name = "G one-stream class 1",
       .id = Kind(BOARD_KIND_G),
       .main = 0x20000,
       .second = 0x20000,
       .groups = {0xCA900},
       .gate = 1});
  PCI_IDENTITY g3 = Variant(BOARD_VARIANT_G_THREE_STREAM);
  PCI_IDENTITY g3c2 = Variant(BOARD_VARIANT_G_CLASS2);
  g3c2.nDeviceId = g3.nDeviceId;
  add({.name = "G three-stream class 2",
       .id = g3c2,
       .main = 0x20000,
       .second = 0x20000,
       .groups = {0x34BD00, 0x34BD00, 0x34BD00},
       .gate = 1});
  add({.name = "G tiny",
       .id = Variant(BOARD_VARIANT_G_CLASS2_TINY),
       .main = 0x20000,
       .second = 0x20000,
       .groups = {0x1000, 0x1000, 0x1000},
       .gate = 1});
  add({.name = "G three-stream class 1 sub-class a",
       .id =
           [] {
             PCI_IDENTITY id = Variant(BOARD_VARIANT_G_CLASS1_SUB_A);
             id.nDeviceId = Variant(BOARD_VARIANT_G_THREE_STREAM).nDeviceId;
             return id;
           }(),
       .main = 0x20000,
       .second = 0x20000,
       .groups = {0xCA900, 0xCA900, 0x32B00},
       .gate = 1});
  add({.name = "H",
       .id = Kind(BOARD_KIND_H),
       .mode = DMA_ALLOC_BOUNDED,
       .main = 0xC080,
       .second = 0x20000,
       .groups = {0xC000}});
  add({.name = "Q: any other identity", .id = Kind(BOARD_KIND_Q)});
  return v;
}

TEST_F(PciStartTest, BufferPlansPerBoardKind) {
  for (const PlanCase& c : PlanCases()) {
    SCOPED_TRACE(c.name);
    pci::SetHighMemoryPresent(c.highMemory);
    machine::RegistryReset();
    machine::ClearDebugLog();
    machine::ClearDelayRequests();
    Plug(c.id);
    std::u16string key = DriverKey();
    if (c.flexibleResolution)
      machine::RegistrySetDword(key, u"CustomAnalogVideoFlexibleResolutionPatchProperty", c.flexibleResolution);
    if (c.cloneFilters) machine::RegistrySetDword(key, u"CustomCloneFiltersProperty", c.cloneFilters);
    if (c.maximalResolution)
      machine::RegistrySetDword(key, u"CustomAnalogVideoMaximalResolutionProperty", c.maximalResolution);
    if (c.version) machine::RegistrySetString(machine::kRegistryVersionKey, machine::kRegistryVersionValue, c.version);

    ASSERT_EQ(Start(), STATUS_SUCCESS);
    CDevice* d = Dev();
    EXPECT_EQ(d->m_bBounceBuffers, c.bounce);
    EXPECT_EQ(d->m_nBufferAllocMode, c.mode);
    EXPECT_EQ(d->m_nMainBufferSize, c.main);
    EXPECT_EQ(d->m_pMainBuffer != nullptr, c.main != 0);
    EXPECT_EQ(d->m_nDmaBufferSize, c.second);
    EXPECT_EQ(d->m_pDmaBuffer != nullptr, c.second != 0);
    EXPECT_EQ(d->m_nIsrGate.load(), c.gate);
    EXPECT_EQ(d->m_nDevicePowerState, (ULONG)PowerDeviceD0);
    if (c.main) {
      EXPECT_LT((ULONGLONG)d->m_liMainBufferPhysical.QuadPart + c.main, 0x100000000ull);
    }
    if (c.second) {
      EXPECT_LT((ULONGLONG)d->m_liDmaBufferPhysical.QuadPart + c.second, 0x100000000ull);
    }
    if (c.mode == DMA_ALLOC_BOUNDED) {
      ULONGLONG m = d->m_liMainBufferPhysical.QuadPart, s = d->m_liDmaBufferPhysical.QuadPart;
      EXPECT_EQ(m / 0x400000, (m + c.main - 1) / 0x400000);
      EXPECT_EQ(s / 0x100000, (s + c.second - 1) / 0x100000);
    }
    size_t buffers = 0;
    for (int g = 0; g < FRAME_BUFFER_GROUPS; ++g) {
      ULONG want = g < (int)c.groups.size() ? c.groups[g] : 0;
      EXPECT_EQ(d->m_nFrameBufferGroupSize[g], want) << "group " << g;
      for (int i = 0; i < FRAME_BUFFERS_PER_GROUP; ++i) {
        if (!d->m_pFrameBuffer[g][i]) continue;
        ++buffers;
        EXPECT_LT(i, FRAME_BUFFERS_ALLOCATED);
        const FrameBufferEntry& e = d->m_aFrameBufferPhysical[g][i];
        EXPECT_EQ(e.nSize, want);
        EXPECT_LE(e.nPhysical + e.nSize, 0x100000000ull);
        if (c.mode == DMA_ALLOC_BOUNDED) {
          EXPECT_EQ(e.nPhysical / 0x400000, (e.nPhysical + e.nSize - 1) / 0x400000);
        }
      }
    }
    size_t wantBuffers = 0;
    for (ULONG g : c.groups) wantBuffers += g ? FRAME_BUFFERS_ALLOCATED : 0;
    EXPECT_EQ(buffers, wantBuffers);
    // "> 4GB" appears exactly when the probe found memory there.
    auto log = machine::DebugLogLines();
    bool probeLine = !log.empty() && log[0].rfind("> 4GB (", 0) == 0;
    EXPECT_EQ(probeLine, c.highMemory);
    // High and low halves of the probe's address: the lowest page above 4 GB.
    if (probeLine) {
      EXPECT_EQ(log[0], "> 4GB (00000001.00000000)");
    }
    EXPECT_EQ(harness_->Adapter(*index_).MaxMappingsByteCount, 0xFFFFFFF8u);
    EXPECT_EQ(harness_->Adapter(*index_).MappingTableStride, 16u);

    harness_->StopDevice(*index_);
    EXPECT_TRUE(pci::CurrentAccounting().empty()) << pci::Outstanding().front();
    EXPECT_EQ(d->m_pPciIdentity, nullptr);
    EXPECT_EQ(d->m_pChannelTable, nullptr);
    EXPECT_EQ(machine::DelayRequests().size(), 2u);
    harness_->RemoveDevice(*index_);
    index_.reset();
    pci::Unplug(slot_);
    slot_ = nullptr;
  }
}

TEST_F(PciStartTest, IdentityAdapterAndInterruptFromTheBoard) {
  PCI_IDENTITY id = Kind(BOARD_KIND_ENCODER);
  id.nSubsystemId = 0xBEEF;
  id.nSubsystemVendorIdLow = 0x34;
  id.nSubsystemVendorIdHigh = 0x12;
  id.nRevisionId = 0x11;
  Plug(id);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  CDevice* d = Dev();
  PKSDEVICE ks = harness_->Device(*index_);
  const PCI_IDENTITY& got = *d->m_pPciIdentity;
  EXPECT_EQ(got.nVendorId, id.nVendorId);
  EXPECT_EQ(got.nDeviceId, id.nDeviceId);
  EXPECT_EQ(got.nSubsystemId, 0xBEEF);
  EXPECT_EQ(got.nSubsystemVendorIdLow, 0x34);
  EXPECT_EQ(got.nSubsystemVendorIdHigh, 0x12);
  EXPECT_EQ(got.nRevisionId, 0x11);
  EXPECT_EQ(d->m_pPhysicalDeviceObject, ks->PhysicalDeviceObject);
  EXPECT_EQ(d->m_pFunctionalDeviceObject, ks->FunctionalDeviceObject);
  EXPECT_EQ(d->m_pNextDeviceObject, ks->NextDeviceObject);
  ASSERT_EQ(pci::AdapterRequests().size(), 1u);
  const DEVICE_DESCRIPTION dd = pci::AdapterRequests()[0].description;
  EXPECT_EQ(dd.Version, 0u);
  EXPECT_TRUE(dd.Master && dd.ScatterGather && dd.Dma32BitAddresses);
  EXPECT_EQ(dd.InterfaceType, PCIBus);
  EXPECT_EQ(dd.MaximumLength, 0xFFFFFFF8u);
  EXPECT_EQ(pci::AdapterRequests()[0].physicalDeviceObject, ks->PhysicalDeviceObject);
  pci::ConnectionRecord r = pci::ConnectionOf(slot_);
  EXPECT_EQ(r.mode, LevelSensitive);
  EXPECT_TRUE(r.shared);
  EXPECT_EQ(r.vector, slot_->vector());
  EXPECT_EQ(r.irql, slot_->level());
  EXPECT_EQ(r.synchronizeIrql, slot_->level());
  EXPECT_FALSE(r.spinLockGiven);
  EXPECT_FALSE(r.floatingSave);
  EXPECT_EQ(d->m_nBarLength[0], 0x10000u);
  EXPECT_EQ((ULONGLONG)d->m_liBarPhysical[0].QuadPart, slot_->windowBase(0));
  EXPECT_EQ(KeReadStateSemaphore(&d->m_CommandSemaphore), 0);
}

TEST_F(PciStartTest, FirstInterruptAndFirstFourWindows) {
  PCI_IDENTITY id = Kind(BOARD_KIND_ENCODER);
  board_ = std::make_unique<board::GenericBoard>(board::IdentityFrom(id), 0x10000, 0x1000);
  for (unsigned w = 2; w < 5; ++w) board_->SetWindowLength(w, 0x1000 * w);
  pci::SlotOptions o;
  o.interruptFlags = CM_RESOURCE_INTERRUPT_LATCHED;
  o.shared = false;
  slot_ = pci::PlugIn(*board_, o);
  size_t index = 0;
  ASSERT_EQ(harness_->AddDevice(pci::BusData, slot_, &index), STATUS_SUCCESS);
  index_ = index;
  pci::ResourceList r;
  r.AddPort(0x300, 8);
  r.AddInterrupt(slot_->level(), slot_->vector(), 1, CM_RESOURCE_INTERRUPT_LATCHED, false);
  for (unsigned w = 0; w < 5; ++w) r.AddMemory(slot_->windowBase(w), board_->WindowLength(w));
  r.AddInterrupt(9, slot_->vector() + 50, 1, 0, true);
  ASSERT_EQ(harness_->StartDevice(index, r.get(), r.get()), STATUS_SUCCESS);
  CDevice* d = Dev();
  for (unsigned w = 0; w < 4; ++w) {
    EXPECT_EQ(d->m_nBarLength[w], board_->WindowLength(w)) << w;
    EXPECT_NE(d->m_pBar[w], nullptr);
  }
  EXPECT_EQ(pci::CurrentAccounting().mappings, 4u);
  pci::ConnectionRecord c = pci::ConnectionOf(slot_);
  EXPECT_EQ(c.mode, Latched);
  EXPECT_FALSE(c.shared);
}

TEST_F(PciStartTest, MissingResourcesFailAtOnce) {
  Plug(Kind(BOARD_KIND_ENCODER));
  pci::ResourceList noInterrupt;
  noInterrupt.AddMemory(slot_->windowBase(0), 0x10000);
  pci::ResourceList noMemory;
  noMemory.AddInterrupt(slot_->level(), slot_->vector(), 1, 0, true);
  for (pci::ResourceList* r : {&noInterrupt, &noMemory}) {
    EXPECT_EQ(harness_->StartDevice(*index_, r->get(), r->get()), STATUS_INSUFFICIENT_RESOURCES);
    harness_->RemoveDevice(*index_);
    size_t index = 0;
    ASSERT_EQ(harness_->AddDevice(pci::BusData, slot_, &index), STATUS_SUCCESS);
    index_ = index;
  }
  EXPECT_EQ(harness_->StartDevice(*index_, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(machine::DelayRequests().empty());  // nothing to undo
  EXPECT_EQ(pci::AdapterRequests().size(), 0u);
}

TEST_F(PciStartTest, OverflowingFrameBufferSizeFails) {
  Plug(Kind(BOARD_KIND_D));
  machine::RegistrySetDword(DriverKey(), u"CustomAnalogVideoFlexibleResolutionPatchProperty", 1);
  machine::RegistrySetDword(DriverKey(), u"CustomAnalogVideoMaximalResolutionProperty", 0xFFFFFFFF);
  EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(pci::CurrentAccounting().empty());
  EXPECT_EQ(machine::DelayRequests().size(), 2u);
}

// ---------------------------------------------------------------------------------------
// A failure at every step: everything allocated so far is given back.

TEST_F(PciStartTest, FailureAtEveryStepUnwindsEverything) {
  // Where the channel table falls among the "Wdm " allocations of a start.
  size_t tableIndex = 0;
  {
    machine::EnablePoolCallLog(true);
    machine::ClearPoolCallLog();
    Plug(Kind(BOARD_KIND_C));
    machine::RegistrySetDword(DriverKey(), u"CustomAnalogVideoFlexibleResolutionPatchProperty", 1);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    size_t n = 0;
    for (const auto& c : machine::PoolCallLog()) {
      if (c.free || c.tag != kWdm) continue;
      ++n;
      if (c.size == sizeof(ChannelTable)) tableIndex = n;
    }
    machine::EnablePoolCallLog(false);
    ASSERT_GT(tableIndex, 0u);
    harness_->StopDevice(*index_);
    harness_->RemoveDevice(*index_);
    index_.reset();
    pci::Unplug(slot_);
    slot_ = nullptr;
  }

  struct Step {
    const char* name;
    std::function<void()> inject;
    NTSTATUS expected;
  };
  const NTSTATUS kConnectFailure = (NTSTATUS)0xC0000182L;
  const std::vector<Step> steps = {
      {"identity record", [&] { machine::FailNthAllocation(1, kWdm); }, STATUS_INSUFFICIENT_RESOURCES},
      {"DMA adapter", [] { pci::InjectFailure(pci::Operation::kDmaAdapter, 1); }, STATUS_INSUFFICIENT_RESOURCES},
      {"window mapping", [] { pci::InjectFailure(pci::Operation::kMapIoSpace, 1); }, STATUS_INSUFFICIENT_RESOURCES},
      {"main buffer", [] { pci::InjectFailure(pci::Operation::kCommonBuffer, 1); }, STATUS_INSUFFICIENT_RESOURCES},
      // Call 1 is the probe above 4 GB; from call 2 on every window of the search fails.
      {"second buffer", [] { pci::InjectFailure(pci::Operation::kContiguousMemory, 2, true); },
       STATUS_INSUFFICIENT_RESOURCES},
      // Probe, second buffer, then the frame buffers: call 10 is the eighth.
      {"eighth frame buffer", [] { pci::InjectFailure(pci::Operation::kContiguousMemory, 10); },
       STATUS_INSUFFICIENT_RESOURCES},
      {"channel table", [&] { machine::FailNthAllocation(tableIndex, kWdm); }, STATUS_INSUFFICIENT_RESOURCES},
      {"interrupt connection",
       [&] { pci::InjectFailure(pci::Operation::kConnectInterrupt, 1, false, kConnectFailure); }, kConnectFailure},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    machine::ClearDelayRequests();
    machine::PoolSnapshot before;
    Plug(Kind(BOARD_KIND_C));
    machine::RegistrySetDword(DriverKey(), u"CustomAnalogVideoFlexibleResolutionPatchProperty", 1);
    s.inject();
    EXPECT_EQ(Start(), s.expected);
    machine::ClearPoolFaults();
    pci::ClearInjectedFailures();
    EXPECT_TRUE(pci::CurrentAccounting().empty()) << pci::Outstanding().front();
    EXPECT_EQ(machine::DelayRequests().size(), 2u);
    CDevice* d = Dev();
    EXPECT_EQ(d->m_pPciIdentity, nullptr);
    EXPECT_EQ(d->m_pChannelTable, nullptr);
    EXPECT_EQ(d->m_pInterrupt, nullptr);
    harness_->RemoveDevice(*index_);
    index_.reset();
    EXPECT_TRUE(before.Leaked().empty());
    pci::Unplug(slot_);
    slot_ = nullptr;
  }
}

TEST_F(PciStartTest, ReleaseRunsAQueuedDpcBeforeFreeing) {
  Plug(Kind(BOARD_KIND_ENCODER));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  CDevice* d = Dev();
  // A late status queued just before stop: it must run against a live table, or not at all.
  KeInsertQueueDpc(&d->m_aDpc[0], reinterpret_cast<PVOID>((ULONG_PTR)INT_DMA_DONE), nullptr);
  harness_->StopDevice(*index_);
  EXPECT_EQ(machine::PendingDpcCount(), 0u);
  EXPECT_EQ(d->m_nIsrGate.load(), 0u);
}

// The encoder board on the threaded machine: statuses raised while the gate is closed
// are not lost, the level line brings them back until the driver takes them.
TEST_F(PciStartTest, ThreadedEncoderBoardServesEveryStatus) {
  machine::SetMode(machine::Mode::Threaded);
  machine::UseRealClock();
  board::EncoderBoard encoder;
  encoder.SetIdentity(board::IdentityFrom(Kind(BOARD_KIND_ENCODER)));
  slot_ = pci::PlugIn(encoder);
  size_t index = 0;
  ASSERT_EQ(harness_->AddDevice(pci::BusData, slot_, &index), STATUS_SUCCESS);
  index_ = index;
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  for (int k = 0; k < 200; ++k) {
    encoder.RaiseStatus(k % 2 ? INT_DMA_DONE : INT_MAILBOX_RESPONSE);
    if (k % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  for (int k = 0; k < 3000 && encoder.InterruptLine(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(encoder.PendingStatus(), 0u);
  EXPECT_GT(pci::Deliveries(slot_), 0u);
  harness_->StopDevice(*index_);
  harness_->RemoveDevice(*index_);
  index_.reset();
  pci::Unplug(slot_);
  slot_ = nullptr;
}

// ---------------------------------------------------------------------------------------
// Registry reads: every switch is read, whatever the ones before it said, and the
// operating system's version text counts from '2' up.

TEST_F(PciStartTest, RegistryReadsAndTheVersionRule) {
  struct Case {
    const char* name;
    PCI_IDENTITY id;
    ULONG flexibleResolution;
    const char16_t* version;
    std::vector<std::u16string> queries;  // value names, in order
    UCHAR bounce;
  };
  const std::vector<std::u16string> switches = {u"CustomAnalogVideoFlexibleResolutionPatchProperty",
                                                u"CustomInstancesPossibleProperty", u"CustomCloneFiltersProperty",
                                                u"CurrentVersion"};
  std::vector<std::u16string> withMaximal = switches;
  withMaximal.push_back(u"CustomAnalogVideoMaximalResolutionProperty");
  const Case cases[] = {
      {"first switch on", Kind(BOARD_KIND_ENCODER), 1, u"6.1.7601", switches, 1},
      {"6.1", Kind(BOARD_KIND_ENCODER), 0, u"6.1.7601", switches, 0},
      {"6.2", Kind(BOARD_KIND_ENCODER), 0, u"6.2", switches, 1},
      {"6.9", Kind(BOARD_KIND_ENCODER), 0, u"6.9", switches, 1},
      {"above '9'", Kind(BOARD_KIND_ENCODER), 0, u"6.A", switches, 1},
      {"5.2", Kind(BOARD_KIND_ENCODER), 0, u"5.2", switches, 0},
      // The maximal resolution is read on this kind even without bounce buffers.
      {"D without bounce", Kind(BOARD_KIND_D), 0, u"6.1", withMaximal, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine::RegistryReset();
    Plug(c.id);
    if (c.flexibleResolution)
      machine::RegistrySetDword(DriverKey(), u"CustomAnalogVideoFlexibleResolutionPatchProperty", c.flexibleResolution);
    machine::RegistrySetString(machine::kRegistryVersionKey, machine::kRegistryVersionValue, c.version);
    machine::RegistryClearAccessLog();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    std::vector<std::u16string> queries;
    for (const auto& a : machine::RegistryAccessLog())
      if (a.op == machine::RegistryOperation::Query) queries.push_back(a.value);
    EXPECT_EQ(queries, c.queries);
    EXPECT_EQ(Dev()->m_bBounceBuffers, c.bounce);
    harness_->StopDevice(*index_);
    harness_->RemoveDevice(*index_);
    index_.reset();
    pci::Unplug(slot_);
    slot_ = nullptr;
  }
}

// The driver's own window search: 32 windows of 128 MB from the bottom, the first with
// room wins.
TEST_F(PciStartTest, WindowSearchTakesTheFirstWindowWithRoom) {
  pci::SetPhysicalRanges({{31 * 0x8000000ull, 0x100000000ull}});
  Plug(Kind(BOARD_KIND_F));
  unsigned before = ContiguousCalls();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  CDevice* d = Dev();
  ASSERT_EQ(d->m_nBufferAllocMode, (ULONG)DMA_ALLOC_WINDOWED);
  for (auto [physical, size] : {std::pair<ULONGLONG, ULONG>{(ULONGLONG)d->m_liMainBufferPhysical.QuadPart, 0xC080},
                                {(ULONGLONG)d->m_liDmaBufferPhysical.QuadPart, 0x20000}}) {
    EXPECT_GE(physical, 31 * 0x8000000ull);
    EXPECT_LE(physical, 0xFFFFFFFFull - size);
  }
  // The high-memory probe, then windows 0 to 31 for each buffer (0 to 30 refused).
  EXPECT_EQ(ContiguousCalls() - before, 1u + 2u * 32u);
}

// Release: the interrupt, windows, DMA buffers and adapter first; the frame buffers only
// after the first 100 ms wait; the identity and the channel table after the second.
TEST_F(PciStartTest, ReleaseFreesFrameBuffersAndTablesOnlyAfterTheWaits) {
  pci::SetHighMemoryPresent(true);  // bounce buffers: kind A gets its frame buffers
  Plug(Kind(BOARD_KIND_A));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  CDevice* d = Dev();
  ASSERT_NE(d->m_pFrameBuffer[0][0], nullptr);
  machine::SetMode(machine::Mode::Threaded);
  machine::UseTestClock();
  machine::SetDelayScale(1);
  const size_t frameBlocks = FRAME_BUFFERS_ALLOCATED;
  std::thread stop([&] { harness_->StopDevice(*index_); });
  // In the first wait: everything but the frame buffers, the identity and the table gone.
  ASSERT_TRUE(machine::WaitForBlockedWaiters(1));
  pci::Accounting a = pci::CurrentAccounting();
  EXPECT_EQ(a.interrupts, 0u);
  EXPECT_EQ(a.mappings, 0u);
  EXPECT_EQ(a.commonBuffers, 0u);
  EXPECT_EQ(a.adapters, 0u);
  EXPECT_EQ(a.contiguousBlocks, frameBlocks);
  EXPECT_NE(d->m_pChannelTable, nullptr);
  EXPECT_NE(d->m_pPciIdentity, nullptr);
  machine::AdvanceClockMs(100);
  // In the second: the frame buffers gone, the identity and the table still there.
  for (int i = 0; i < 5000 && pci::CurrentAccounting().contiguousBlocks != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(machine::WaitForBlockedWaiters(1));
  EXPECT_EQ(pci::CurrentAccounting().contiguousBlocks, 0u);
  EXPECT_NE(d->m_pChannelTable, nullptr);
  EXPECT_NE(d->m_pPciIdentity, nullptr);
  machine::AdvanceClockMs(100);
  stop.join();
  EXPECT_EQ(d->m_pChannelTable, nullptr);
  EXPECT_EQ(d->m_pPciIdentity, nullptr);
  machine::SetMode(machine::Mode::Manual);
}

}  // namespace
