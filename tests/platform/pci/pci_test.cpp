#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/kernel/machine.h"
#include "platform/pci/host.h"
#include "tests/support/physical_address.h"

namespace pci = platform::pci;
namespace machine = platform::kernel;

namespace {

// A register file that records what reached it.
class RecordingDevice : public pci::Device {
 public:
  RecordingDevice() {
    SetWindowLength(0, 0x1000);
    SetWindowLength(2, 0x200);
    SetConfigDword(0x00, 0x5678ABCD);
    SetConfigDword(0x08, 0x04000001);
    SetConfigWritable(0x40, 2);
  }
  ULONG ReadRegister(unsigned window, ULONG offset, unsigned width) override {
    log.push_back({false, window, offset, 0, width});
    return window == 0 && offset < 0x1000 ? regs[offset / 4] >> (8 * (offset % 4)) : 0;
  }
  void WriteRegister(unsigned window, ULONG offset, ULONG value, unsigned width) override {
    log.push_back({true, window, offset, value, width});
    if (window == 0 && width == 4) regs[offset / 4] = value;
  }
  struct Access {
    bool write;
    unsigned window;
    ULONG offset;
    ULONG value;
    unsigned width;
  };
  std::vector<Access> log;
  ULONG regs[0x400] = {};
};

using vorlix_test::Pa;

class PciTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine::ResetMachine();
    pci::Reset();
  }
  void TearDown() override {
    if (slot_) pci::Unplug(slot_);
    EXPECT_TRUE(pci::CurrentAccounting().empty());
    EXPECT_TRUE(pci::Faults().empty()) << pci::Faults().front();
    machine::ClearVerifierFailures();
    pci::Reset();
    machine::ResetMachine();
  }
  // Faults the test provoked on purpose: taken so the verifier does not fail the test.
  std::vector<std::string> TakeFaults() {
    auto f = pci::Faults();
    pci::ClearFaults();
    machine::TakeVerifierFailures();
    return f;
  }
  pci::Slot* Plug(pci::Device& d, const pci::SlotOptions& o = {}) { return slot_ = pci::PlugIn(d, o); }
  RecordingDevice& NewDevice() { return *devices_.emplace_back(new RecordingDevice); }
  pci::Slot* slot_ = nullptr;
  std::vector<std::unique_ptr<RecordingDevice>> devices_;  // outlive their slots
};

// ---------------------------------------------------------------------------------------
// Physical memory model.

TEST_F(PciTest, ContiguousBlocksHonourRangeAndBoundary) {
  struct Case {
    const char* name;
    size_t size;
    uint64_t lowest, highest, boundary;
  };
  const Case cases[] = {
      {"below 4 GB", 0x2C080, 0, 0xFFFFFFFFull - 0x2C080, 0},
      {"4 MB boundary", 0xC000, 0, 0xFFFFFFFFull - 0xC000, 0x400000},
      {"1 MB boundary, just under a boundary's worth", 0xFF000, 0, 0xFFFFFFFF, 0x100000},
      {"window k = 5", 0x20000, 5 * 0x8000000ull, 5 * 0x8000000ull + 0x7FFFFFF - 0x20000, 0},
  };
  // Push the first fit against the boundary so the boundary rule has to move it.
  PVOID filler = MmAllocateContiguousMemorySpecifyCache(0x3FF000, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached);
  ASSERT_NE(filler, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PVOID va = MmAllocateContiguousMemorySpecifyCache(c.size, Pa(c.lowest), Pa(c.highest), Pa(c.boundary), MmCached);
    ASSERT_NE(va, nullptr);
    uint64_t p = (uint64_t)MmGetPhysicalAddress(va).QuadPart;
    EXPECT_GE(p, c.lowest);
    EXPECT_LE(p + c.size - 1, c.highest);
    if (c.boundary) {
      EXPECT_EQ(p / c.boundary, (p + c.size - 1) / c.boundary);
    }
    memset(va, 0xA5, c.size);  // backed
    EXPECT_EQ(pci::PhysicalToVirtual(p + 16, 16), static_cast<uint8_t*>(va) + 16);
    MmFreeContiguousMemorySpecifyCache(va, c.size, MmCached);
  }
  MmFreeContiguousMemorySpecifyCache(filler, 0x3FF000, MmCached);
}

TEST_F(PciTest, WindowSearchFindsTheOnlyWindowWithRoom) {
  pci::SetPhysicalRanges({{31 * 0x8000000ull, 0x100000000ull}});
  const size_t size = 0x20000;
  PVOID found = nullptr;
  int k = 0;
  for (; k < 32 && !found; ++k)
    found = MmAllocateContiguousMemorySpecifyCache(size, Pa(k * 0x8000000ull), Pa(k * 0x8000000ull + 0x7FFFFFF - size),
                                                   Pa(0), MmCached);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(k - 1, 31);
  uint64_t p = (uint64_t)MmGetPhysicalAddress(found).QuadPart;
  EXPECT_GE(p, 31 * 0x8000000ull);
  EXPECT_LE(p, 0xFFFFFFFFull - size);
  MmFreeContiguousMemorySpecifyCache(found, size, MmCached);
}

TEST_F(PciTest, HighMemoryExistsOnlyWhenSwitchedOn) {
  EXPECT_EQ(MmAllocateContiguousMemorySpecifyCache(4096, Pa(0x100000000ull), Pa(0x10000000000ull), Pa(0), MmNonCached),
            nullptr);
  pci::SetHighMemoryPresent(true);
  PVOID va = MmAllocateContiguousMemorySpecifyCache(4096, Pa(0x100000000ull), Pa(0x10000000000ull), Pa(0), MmNonCached);
  ASSERT_NE(va, nullptr);
  EXPECT_GE((uint64_t)MmGetPhysicalAddress(va).QuadPart, 0x100000000ull);
  MmFreeContiguousMemorySpecifyCache(va, 4096, MmNonCached);
}

TEST_F(PciTest, NoRoomSizeZeroAndOversizeGiveNull) {
  pci::SetPhysicalRanges({{0x100000, 0x200000}});
  EXPECT_EQ(MmAllocateContiguousMemorySpecifyCache(0x200000, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached), nullptr);
  EXPECT_EQ(MmAllocateContiguousMemorySpecifyCache(0, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached), nullptr);
  EXPECT_EQ(MmAllocateContiguousMemorySpecifyCache(0x2000, Pa(0), Pa(0xFFFFFFFF), Pa(0x1000), MmCached), nullptr);
  // Two blocks side by side, never overlapping.
  PVOID a = MmAllocateContiguousMemorySpecifyCache(0x80000, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached);
  PVOID b = MmAllocateContiguousMemorySpecifyCache(0x80000, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached);
  ASSERT_TRUE(a && b);
  EXPECT_EQ((uint64_t)MmGetPhysicalAddress(b).QuadPart - (uint64_t)MmGetPhysicalAddress(a).QuadPart, 0x80000u);
  EXPECT_EQ(pci::CurrentAccounting().contiguousBlocks, 2u);
  EXPECT_EQ(pci::CurrentAccounting().contiguousBytes, 0x100000u);
  MmFreeContiguousMemorySpecifyCache(a, 0x80000, MmCached);
  MmFreeContiguousMemorySpecifyCache(b, 0x80000, MmCached);
}

TEST_F(PciTest, WrongFreesAreFaults) {
  PVOID a = MmAllocateContiguousMemorySpecifyCache(0x3000, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached);
  ASSERT_NE(a, nullptr);
  MmFreeContiguousMemorySpecifyCache(a, 0x2000, MmCached);  // wrong size: freed, but reported
  int local = 0;
  MmFreeContiguousMemorySpecifyCache(&local, 4, MmCached);
  auto f = TakeFaults();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_NE(f[0].find("0x3000"), std::string::npos);
  EXPECT_EQ(pci::CurrentAccounting().contiguousBlocks, 0u);
}

// ---------------------------------------------------------------------------------------
// DMA adapter.

TEST_F(PciTest, CommonBuffersComeFromTheAdapterBelow4G) {
  pci::SetHighMemoryPresent(true);
  DEVICE_OBJECT pdo{};
  DEVICE_DESCRIPTION dd{};
  dd.Master = TRUE;
  dd.ScatterGather = TRUE;
  dd.Dma32BitAddresses = TRUE;
  dd.InterfaceType = PCIBus;
  dd.MaximumLength = 0xFFFFFFF8;
  ULONG regs = 0;
  PDMA_ADAPTER a = IoGetDmaAdapter(&pdo, &dd, &regs);
  ASSERT_NE(a, nullptr);
  EXPECT_GT(regs, 0u);
  ASSERT_EQ(pci::AdapterRequests().size(), 1u);
  EXPECT_EQ(pci::AdapterRequests()[0].description.MaximumLength, 0xFFFFFFF8u);
  PHYSICAL_ADDRESS phys{};
  PVOID va = a->DmaOperations->AllocateCommonBuffer(a, 0xC080, &phys, TRUE);
  ASSERT_NE(va, nullptr);
  EXPECT_LT((uint64_t)phys.QuadPart + 0xC080, 0x100000000ull);
  EXPECT_EQ(a->DmaOperations->AllocateCommonBuffer(a, 0, &phys, TRUE), nullptr);
  EXPECT_EQ(pci::CurrentAccounting().commonBuffers, 1u);
  EXPECT_EQ(pci::CurrentAccounting().adapters, 1u);
  PHYSICAL_ADDRESS p2 = MmGetPhysicalAddress(va);
  a->DmaOperations->FreeCommonBuffer(a, 0xC080, p2, va, TRUE);
  a->DmaOperations->PutDmaAdapter(a);
}

TEST_F(PciTest, PuttingAnAdapterWithLiveBuffersIsAFault) {
  DEVICE_OBJECT pdo{};
  DEVICE_DESCRIPTION dd{};
  PDMA_ADAPTER a = IoGetDmaAdapter(&pdo, &dd, nullptr);
  PHYSICAL_ADDRESS phys{};
  PVOID va = a->DmaOperations->AllocateCommonBuffer(a, 0x1000, &phys, FALSE);
  ASSERT_NE(va, nullptr);
  a->DmaOperations->PutDmaAdapter(a);
  EXPECT_EQ(TakeFaults().size(), 1u);
  pci::Reset();  // drops the orphaned buffer
}

// ---------------------------------------------------------------------------------------
// Fault injection.

TEST_F(PciTest, InjectedFailuresCountCallsFromTheInjection) {
  pci::InjectFailure(pci::Operation::kContiguousMemory, 2);
  PVOID a = MmAllocateContiguousMemorySpecifyCache(0x1000, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached);
  PVOID b = MmAllocateContiguousMemorySpecifyCache(0x1000, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached);
  PVOID c = MmAllocateContiguousMemorySpecifyCache(0x1000, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  pci::InjectFailure(pci::Operation::kContiguousMemory, 1, /*persistent=*/true);
  EXPECT_EQ(MmAllocateContiguousMemorySpecifyCache(0x1000, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached), nullptr);
  EXPECT_EQ(MmAllocateContiguousMemorySpecifyCache(0x1000, Pa(0), Pa(0xFFFFFFFF), Pa(0), MmCached), nullptr);
  pci::ClearInjectedFailures();
  EXPECT_EQ(pci::CallCount(pci::Operation::kContiguousMemory), 5u);
  MmFreeContiguousMemorySpecifyCache(a, 0x1000, MmCached);
  MmFreeContiguousMemorySpecifyCache(c, 0x1000, MmCached);

  DEVICE_OBJECT pdo{};
  DEVICE_DESCRIPTION dd{};
  pci::InjectFailure(pci::Operation::kDmaAdapter, 1);
  EXPECT_EQ(IoGetDmaAdapter(&pdo, &dd, nullptr), nullptr);
}

// ---------------------------------------------------------------------------------------
// Slots, configuration space, resources and register windows.

TEST_F(PciTest, ResourceListCarriesTheInterruptThenTheWindows) {
  RecordingDevice& d = NewDevice();
  pci::SlotOptions o;
  o.interruptFlags = CM_RESOURCE_INTERRUPT_LATCHED;
  pci::Slot* slot = Plug(d, o);
  pci::ResourceList r = pci::TranslatedResources(*slot);
  PCM_RESOURCE_LIST list = r.get();
  ASSERT_EQ(list->Count, 1u);
  const CM_PARTIAL_RESOURCE_LIST& p = list->List[0].PartialResourceList;
  ASSERT_EQ(p.Count, 3u);
  const CM_PARTIAL_RESOURCE_DESCRIPTOR* d0 = &p.PartialDescriptors[0];
  EXPECT_EQ(d0[0].Type, CmResourceTypeInterrupt);
  EXPECT_EQ(d0[0].Flags, CM_RESOURCE_INTERRUPT_LATCHED);
  EXPECT_EQ(d0[0].ShareDisposition, CmResourceShareShared);
  EXPECT_EQ(d0[0].u.Interrupt.Vector, slot->vector());
  EXPECT_EQ(d0[1].Type, CmResourceTypeMemory);
  EXPECT_EQ((uint64_t)d0[1].u.Memory.Start.QuadPart, slot->windowBase(0));
  EXPECT_EQ(d0[1].u.Memory.Length, 0x1000u);
  EXPECT_EQ(d0[2].u.Memory.Length, 0x200u);
  EXPECT_EQ((uint64_t)d0[2].u.Memory.Start.QuadPart, slot->windowBase(2));
  EXPECT_GE(slot->windowBase(0), 0xC0000000ull);
  EXPECT_LT(slot->windowBase(2), 0x100000000ull);
}

TEST_F(PciTest, ConfigurationSpaceThroughBusData) {
  RecordingDevice& d = NewDevice();
  pci::Slot* slot = Plug(d);
  ULONG v = 0;
  EXPECT_EQ(pci::BusData(slot, 0, &v, 0x00, 4, FALSE), 4u);
  EXPECT_EQ(v, 0x5678ABCDu);
  UCHAR zero = 0, b = 0xEE;
  EXPECT_EQ(pci::BusData(slot, 0, &zero, 0x40, 1, TRUE), 1u);
  EXPECT_EQ(pci::BusData(slot, 0, &b, 0x40, 1, FALSE), 1u);
  EXPECT_EQ(b, 0);
  ULONG ro = 0xFFFFFFFF;
  pci::BusData(slot, 0, &ro, 0x00, 4, TRUE);  // read-only: ignored
  pci::BusData(slot, 0, &v, 0x00, 4, FALSE);
  EXPECT_EQ(v, 0x5678ABCDu);
  EXPECT_EQ(pci::BusData(slot, 0, &v, 0xFE, 4, FALSE), 2u);
  EXPECT_EQ(pci::BusData(slot, 1, &v, 0, 4, FALSE), 0u);
}

TEST_F(PciTest, RegisterAccessReachesTheOwningDevice) {
  RecordingDevice& d = NewDevice();
  pci::Slot* slot = Plug(d);
  auto* bar0 = static_cast<volatile UCHAR*>(MmMapIoSpace(Pa(slot->windowBase(0)), 0x1000, MmNonCached));
  auto* bar2 = static_cast<volatile UCHAR*>(MmMapIoSpace(Pa(slot->windowBase(2) + 0x100), 0x100, MmNonCached));
  ASSERT_TRUE(bar0 && bar2);
  EXPECT_EQ(pci::CurrentAccounting().mappings, 2u);
  WRITE_REGISTER_ULONG((volatile ULONG*)(bar0 + 0x3C), 0x11223344);
  EXPECT_EQ(READ_REGISTER_ULONG((volatile ULONG*)(bar0 + 0x3C)), 0x11223344u);
  EXPECT_EQ(READ_REGISTER_UCHAR(bar0 + 0x3D), 0x33);
  WRITE_REGISTER_UCHAR(bar2 + 4, 0x7F);
  ASSERT_EQ(d.log.size(), 4u);
  EXPECT_EQ(d.log[2].offset, 0x3Du);
  EXPECT_EQ(d.log[2].width, 1u);
  EXPECT_EQ(d.log[3].window, 2u);
  EXPECT_EQ(d.log[3].offset, 0x104u);  // offsets are window offsets, not mapping offsets
  EXPECT_EQ(d.log[3].value, 0x7Fu);

  // Past the mapping: not delivered, reads as nobody answering.
  EXPECT_EQ(READ_REGISTER_ULONG((volatile ULONG*)(bar2 + 0x100)), 0xFFFFFFFFu);
  WRITE_REGISTER_ULONG((volatile ULONG*)(bar2 + 0xFE), 1);
  EXPECT_EQ(d.log.size(), 4u);
  EXPECT_EQ(TakeFaults().size(), 2u);

  // Plain memory stays plain memory.
  ULONG plain = 5;
  WRITE_REGISTER_ULONG(&plain, 9);
  EXPECT_EQ(READ_REGISTER_ULONG(&plain), 9u);

  MmUnmapIoSpace((PVOID)bar0, 0x1000);
  MmUnmapIoSpace((PVOID)bar2, 0x100);
}

TEST_F(PciTest, MappingOutsideAWindowFails) {
  RecordingDevice& d = NewDevice();
  pci::Slot* slot = Plug(d);
  EXPECT_EQ(MmMapIoSpace(Pa(slot->windowBase(0)), 0x1001, MmNonCached), nullptr);
  EXPECT_EQ(TakeFaults().size(), 1u);
  pci::InjectFailure(pci::Operation::kMapIoSpace, 1);
  EXPECT_EQ(MmMapIoSpace(Pa(slot->windowBase(0)), 0x1000, MmNonCached), nullptr);
  EXPECT_TRUE(TakeFaults().empty());
}

TEST_F(PciTest, DestroyingAPluggedDeviceIsAFaultThatLeavesNothingDangling) {
  {
    RecordingDevice d;
    pci::Slot* slot = pci::PlugIn(d);
    EXPECT_NE(MmMapIoSpace(Pa(slot->windowBase(0)), 0x1000, MmNonCached), nullptr);
  }
  EXPECT_EQ(TakeFaults().size(), 1u);
  EXPECT_EQ(pci::CurrentAccounting().mappings, 0u);
}

// ---------------------------------------------------------------------------------------
// Interrupts.

struct IsrState {
  RecordingDevice* device;
  std::atomic<int> calls{0};
  std::atomic<int> refuseFirst{0};
  std::atomic<KIRQL> irql{0};
  pci::Slot* slot = nullptr;  // set: the routine reads the delivery count as it acknowledges
  std::atomic<unsigned> deliveriesAtAcknowledge{0};
};

BOOLEAN TestIsr(PKINTERRUPT, PVOID ctx) {
  auto* s = static_cast<IsrState*>(ctx);
  s->irql = KeGetCurrentIrql();
  int n = ++s->calls;
  if (n <= s->refuseFirst) return FALSE;
  s->device->SetInterruptLine(false);  // acknowledged
  // What a watcher that saw the line go low reads from here on.
  if (s->slot) s->deliveriesAtAcknowledge = pci::Deliveries(s->slot);
  return TRUE;
}

BOOLEAN Nothing(PVOID ctx) {
  ++*static_cast<int*>(ctx);
  return TRUE;
}

TEST_F(PciTest, ManualDeliveryRunsTheRoutineOnlyWhileAsserted) {
  RecordingDevice& d = NewDevice();
  pci::Slot* slot = Plug(d);
  IsrState s{&d};
  PKINTERRUPT obj = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&obj, TestIsr, &s, nullptr, slot->vector(), slot->level(), slot->level(), LevelSensitive,
                               TRUE, 1, FALSE),
            STATUS_SUCCESS);
  pci::ConnectionRecord rec = pci::ConnectionOf(slot);
  EXPECT_EQ(rec.mode, LevelSensitive);
  EXPECT_TRUE(rec.shared);
  EXPECT_EQ(rec.irql, slot->level());
  EXPECT_FALSE(pci::Service(slot));  // line low: nothing delivered
  EXPECT_EQ(s.calls, 0);
  s.refuseFirst = 1;
  d.SetInterruptLine(true);
  EXPECT_FALSE(pci::Service(slot));  // refused, still asserted
  EXPECT_TRUE(pci::Service(slot));
  EXPECT_FALSE(pci::Service(slot));
  EXPECT_EQ(s.calls, 2);
  EXPECT_EQ(s.irql, slot->level());
  EXPECT_EQ(pci::Deliveries(slot), 2u);
  EXPECT_EQ(pci::Refusals(slot), 1u);
  // A delivery is counted before its routine acknowledges the device: a thread that waits
  // for the line to drop and then reads the count never finds the delivery missing.
  s.slot = slot;
  d.SetInterruptLine(true);
  EXPECT_TRUE(pci::Service(slot));
  EXPECT_EQ(s.deliveriesAtAcknowledge.load(), 3u);
  s.slot = nullptr;
  int n = 0;
  EXPECT_TRUE(KeSynchronizeExecution(obj, Nothing, &n));
  EXPECT_EQ(n, 1);
  EXPECT_EQ(pci::SynchronizeCount(slot), 1u);
  IoDisconnectInterrupt(obj);
  EXPECT_FALSE(pci::Connected(slot));
  d.SetInterruptLine(true);
  EXPECT_FALSE(pci::Service(slot));
  EXPECT_EQ(pci::SynchronizeCount(slot), 1u);
}

TEST_F(PciTest, ConnectionFailuresReturnTheirStatus) {
  RecordingDevice& d = NewDevice();
  pci::Slot* slot = Plug(d);
  IsrState s{&d};
  PKINTERRUPT obj = nullptr;
  pci::InjectFailure(pci::Operation::kConnectInterrupt, 1, false, (NTSTATUS)0xC0000182L);
  EXPECT_EQ(IoConnectInterrupt(&obj, TestIsr, &s, nullptr, slot->vector(), 8, 8, LevelSensitive, TRUE, 1, FALSE),
            (NTSTATUS)0xC0000182L);
  EXPECT_EQ(IoConnectInterrupt(&obj, TestIsr, &s, nullptr, slot->vector() + 77, 8, 8, LevelSensitive, TRUE, 1, FALSE),
            STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(pci::Connected(slot));
}

TEST_F(PciTest, LatchedLineDeliversOncePerEdge) {
  RecordingDevice& d = NewDevice();
  pci::SlotOptions o;
  o.interruptFlags = 1;
  pci::Slot* slot = Plug(d, o);
  IsrState s{&d};
  s.refuseFirst = 100;  // never acknowledges
  PKINTERRUPT obj = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&obj, TestIsr, &s, nullptr, slot->vector(), 8, 8, Latched, FALSE, 1, FALSE),
            STATUS_SUCCESS);
  d.SetInterruptLine(true);
  EXPECT_FALSE(pci::Service(slot));
  EXPECT_FALSE(pci::Service(slot));
  EXPECT_EQ(s.calls, 1);
  IoDisconnectInterrupt(obj);
}

TEST_F(PciTest, ThreadedLevelLineIsDeliveredAgainUntilServed) {
  machine::SetMode(machine::Mode::Threaded);
  RecordingDevice& d = NewDevice();
  pci::Slot* slot = Plug(d);
  IsrState s{&d};
  s.refuseFirst = 3;
  PKINTERRUPT obj = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&obj, TestIsr, &s, nullptr, slot->vector(), 8, 8, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  d.SetInterruptLine(true);
  for (int k = 0; k < 2000 && d.InterruptLine(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(d.InterruptLine());
  IoDisconnectInterrupt(obj);
  EXPECT_EQ(s.calls, 4);
  EXPECT_EQ(pci::Refusals(slot), 3u);
}

}  // namespace
