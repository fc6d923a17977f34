// What the objects of the PCI side share: its state and lock, fault injection and
// reporting, the physical memory blocks and the interrupt objects the slots keep. Not for
// use outside platform/pci.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pci/host.h"
#include "platform/pci/machine_link.h"

// The interrupt object IoConnectInterrupt hands out: one connection and its delivery.
struct _KINTERRUPT {
  PKSERVICE_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  platform::pci::Slot* slot = nullptr;
  platform::pci::ConnectionRecord record{};
  std::mutex lock;  // the interrupt lock: service routine and synchronised routines
  std::atomic<unsigned> deliveries{0};
  std::atomic<unsigned> refusals{0};
  std::atomic<unsigned> synchronizations{0};
  // Delivery.
  std::mutex wakeMu;
  std::condition_variable wake;
  bool stop = false;
  bool edgePending = false;  // latched lines
  std::thread thread;
};

namespace platform::pci {

// Takes the slot away with everything that points at its device (a device destroyed
// while still plugged in).
void ForceUnplug(Slot* slot);

}  // namespace platform::pci

namespace platform::pci::detail {

constexpr uint64_t kPage = 4096;
constexpr uint64_t k4G = 0x100000000ull;
constexpr uint64_t kMmioBase = 0xC0000000ull;
constexpr PhysicalRange kDefaultRange{0x100000, 0xC0000000ull};
constexpr PhysicalRange kHighRange{0x100000000ull, 0x200000000ull};

inline uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

struct Block {
  uint64_t physical;
  size_t size;
  size_t rounded;
  void* va;
  Allocation::Kind kind;
  MEMORY_CACHING_TYPE cache;
  const void* adapter;
};

struct Mapping {
  uintptr_t va;
  size_t length;    // bytes the driver mapped
  size_t reserved;  // address space held (with a guard page behind)
  Slot* slot;
  unsigned window;
  ULONG offset;  // of the mapping inside the window
};

struct Injection {
  unsigned calls = 0;
  unsigned failAt = 0;  // 0 = off
  bool persistent = false;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  unsigned total = 0;
};

struct AdapterImpl {
  DMA_ADAPTER adapter;  // first: the driver holds a pointer to it
  DMA_OPERATIONS ops;
  PDEVICE_OBJECT pdo;
};

struct State {
  std::mutex mu;
  std::vector<Slot*> slots;
  uint64_t nextMmio = kMmioBase;
  ULONG nextVector = 0x80;

  std::vector<PhysicalRange> ranges{kDefaultRange};
  bool highMemory = false;
  std::map<uint64_t, Block> blocks;  // by physical address

  std::vector<std::unique_ptr<AdapterImpl>> adapters;
  std::vector<AdapterRecord> adapterRequests;

  Injection injections[5];
  std::vector<std::string> faults;

  std::shared_mutex mapMu;
  std::vector<Mapping> mappings;
};

State& S();
Injection& Inj(Operation op);

// Counts a call; true when it must fail. Caller holds S().mu.
bool ShouldFail(Operation op, NTSTATUS* status = nullptr);

// Records a fault and reports it to the machine's verifier. Caller holds S().mu.
void FaultLocked(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- Physical memory ----------------------------------------------------------------
// First fit over the RAM ranges. Caller holds S().mu.
void* AllocatePhysicalLocked(size_t size, uint64_t lowest, uint64_t highest, uint64_t boundary, Allocation::Kind kind,
                             MEMORY_CACHING_TYPE cache, const void* adapter, uint64_t* physicalOut);
// The block that starts at `va` (or, with `containing`, holds it). Caller holds S().mu.
std::map<uint64_t, Block>::iterator FindBlockByVaLocked(const void* va, bool containing);

// ---- Interrupts -----------------------------------------------------------------------
// What the slots keep about their interrupt. Guarded by S().mu.
struct SlotInterrupt {
  const Slot* slot;
  KINTERRUPT* live;
  ConnectionRecord last;
  unsigned deliveries;
  unsigned refusals;
  unsigned synchronizations;
};
std::vector<SlotInterrupt>& SlotInterrupts();
SlotInterrupt* FindSlotInterrupt(const Slot* slot);
// Wakes the connection's delivery thread (a rising edge latches for latched lines).
void Wake(KINTERRUPT* i, bool risingEdge);
// The PCI side's answer to the jumping test clock: 0 while an interrupt is on its way to
// its service routine or inside it, else -1 (nothing due).
LONGLONG InterruptWorkDue();

}  // namespace platform::pci::detail
