// The PCI side of the machine: slots, configuration space, register windows, the
// physical memory model behind DMA, DMA adapters and interrupt connections.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "platform/pci/host.h"
#include "platform/pci/machine_link.h"

namespace platform::pci {
namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t k4G = 0x100000000ull;
constexpr uint64_t kMmioBase = 0xC0000000ull;
constexpr PhysicalRange kDefaultRange{0x100000, 0xC0000000ull};
constexpr PhysicalRange kHighRange{0x100000000ull, 0x200000000ull};

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

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

State& S() {
  static State* s = new State;
  return *s;
}

Injection& Inj(Operation op) { return S().injections[(int)op]; }

// Counts a call; true when it must fail. Caller holds S().mu.
bool ShouldFail(Operation op, NTSTATUS* status = nullptr) {
  Injection& i = Inj(op);
  ++i.total;
  if (i.failAt == 0) return false;
  ++i.calls;
  bool fail = i.persistent ? i.calls >= i.failAt : i.calls == i.failAt;
  if (fail && status) *status = i.status;
  if (!i.persistent && i.calls >= i.failAt) i.failAt = 0;
  return fail;
}

void FaultLocked(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void FaultLocked(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  S().faults.emplace_back(buf);
  machine_link::ReportFault(buf);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Interrupt objects.
}  // namespace platform::pci

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
namespace {

// What the slots keep about their interrupt. Guarded by S().mu.
struct SlotInterrupt {
  const Slot* slot;
  KINTERRUPT* live;
  ConnectionRecord last;
  unsigned deliveries;
  unsigned refusals;
  unsigned synchronizations;
};
std::vector<SlotInterrupt>& SlotInterrupts() {
  static auto* v = new std::vector<SlotInterrupt>;
  return *v;
}
SlotInterrupt* FindSlotInterrupt(const Slot* slot) {
  for (auto& s : SlotInterrupts())
    if (s.slot == slot) return &s;
  return nullptr;
}

bool Pending(KINTERRUPT* i) {
  if (i->record.mode == Latched) return i->edgePending;
  return i->slot->device().InterruptLine();
}

std::atomic<int> g_inService{0};

// Runs the service routine under the interrupt lock at the connection's level.
bool CallServiceRoutine(KINTERRUPT* i) {
  g_inService.fetch_add(1);
  struct Done {
    ~Done() { g_inService.fetch_sub(1); }
  } done;
  std::lock_guard<std::mutex> l(i->lock);
  KIRQL old;
  KeRaiseIrql(i->record.irql, &old);
  BOOLEAN handled = i->routine(i, i->context);
  KeLowerIrql(old);
  i->deliveries++;
  if (!handled) i->refusals++;
  return handled != FALSE;
}

void DeliveryThread(KINTERRUPT* i) {
  machine_link::NameThread("interrupt");
  for (;;) {
    {
      std::unique_lock<std::mutex> l(i->wakeMu);
      i->wake.wait(l, [&] { return i->stop || Pending(i); });
      if (i->stop) return;
      if (i->record.mode == Latched) i->edgePending = false;
    }
    bool handled = CallServiceRoutine(i);
    if (!handled && i->record.mode == LevelSensitive) {
      // Refused while still asserted (the driver's gate is closed until its deferred
      // call ends): a level line fires again, so try again shortly.
      std::unique_lock<std::mutex> l(i->wakeMu);
      i->wake.wait_for(l, std::chrono::microseconds(50), [&] { return i->stop; });
    }
  }
}

// For the jumping test clock: an interrupt on its way to, or inside, its service
// routine is work in flight (answers 0, a time already come), else nothing is due (-1).
LONGLONG InterruptWorkDue() {
  if (g_inService.load()) return 0;
  std::lock_guard<std::mutex> l(S().mu);
  for (auto& si : SlotInterrupts()) {
    KINTERRUPT* i = si.live;
    if (!i || !i->thread.joinable()) continue;  // no delivery without its thread
    std::lock_guard<std::mutex> w(i->wakeMu);
    if (Pending(i)) return 0;
  }
  return -1;
}

void Wake(KINTERRUPT* i, bool risingEdge) {
  {
    std::lock_guard<std::mutex> l(i->wakeMu);
    if (risingEdge) i->edgePending = true;
  }
  i->wake.notify_all();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Devices and slots.

Device::Device() = default;
void ForceUnplug(Slot* slot);

Device::~Device() {
  if (slot_) {
    {
      std::lock_guard<std::mutex> l(S().mu);
      FaultLocked("device destroyed while still plugged in");
    }
    // Take the slot away with everything that points at this device, so nothing is left
    // dangling behind the fault.
    ForceUnplug(slot_);
  }
}

void Device::ReadConfig(ULONG offset, void* buffer, ULONG length) {
  auto* out = static_cast<uint8_t*>(buffer);
  for (ULONG k = 0; k < length; ++k) out[k] = offset + k < 256 ? config_[offset + k] : 0xFF;
}

void Device::WriteConfig(ULONG offset, const void* buffer, ULONG length) {
  auto* in = static_cast<const uint8_t*>(buffer);
  for (ULONG k = 0; k < length && offset + k < 256; ++k)
    if (configWritable_[offset + k]) config_[offset + k] = in[k];
}

void Device::SetConfigDword(ULONG offset, ULONG value) { memcpy(&config_[offset & 0xFC], &value, 4); }
ULONG Device::ConfigDword(ULONG offset) const {
  ULONG v;
  memcpy(&v, &config_[offset & 0xFC], 4);
  return v;
}
void Device::SetConfigWritable(ULONG offset, ULONG length, bool writable) {
  for (ULONG k = 0; k < length && offset + k < 256; ++k) configWritable_[offset + k] = writable;
}

void Device::SetWindowLength(unsigned window, ULONG length) {
  if (window < kMaxWindows) windowLength_[window] = length;
}
ULONG Device::WindowLength(unsigned window) const { return window < kMaxWindows ? windowLength_[window] : 0; }

void Device::SetInterruptLine(bool asserted) {
  bool was = line_.exchange(asserted);
  KINTERRUPT* live = nullptr;
  {
    std::lock_guard<std::mutex> l(S().mu);
    if (SlotInterrupt* si = slot_ ? FindSlotInterrupt(slot_) : nullptr) live = si->live;
  }
  // The interrupt object cannot go away here: disconnecting joins the delivery thread
  // and the driver disconnects only after it stopped touching the device.
  if (live && asserted) Wake(live, !was);
}

bool Device::InterruptLine() const { return line_.load(); }

Slot* PlugIn(Device& device, const SlotOptions& options) {
  // Registered outside the bus lock: the clock calls it holding its own locks.
  static const int clockSource = platform::kernel::AddClockDeadlineSource(InterruptWorkDue);
  (void)clockSource;
  State& s = S();
  std::lock_guard<std::mutex> l(s.mu);
  auto* slot = new Slot;
  slot->device_ = &device;
  slot->options_ = options;
  if (slot->options_.vector == 0) slot->options_.vector = s.nextVector++;
  if (slot->options_.level == 0) slot->options_.level = 8;
  for (unsigned w = 0; w < Device::kMaxWindows; ++w) {
    ULONG len = device.WindowLength(w);
    if (!len) continue;
    uint64_t span = kPage;
    while (span < len) span <<= 1;
    uint64_t base = AlignUp(s.nextMmio, span);
    slot->windowBase_[w] = base;
    s.nextMmio = base + span;
  }
  device.slot_ = slot;
  s.slots.push_back(slot);
  return slot;
}

void Unplug(Slot* slot) {
  if (!slot) return;
  State& s = S();
  {
    std::shared_lock<std::shared_mutex> ml(s.mapMu);
    std::lock_guard<std::mutex> l(s.mu);
    for (auto& m : s.mappings)
      if (m.slot == slot) FaultLocked("slot unplugged with window %u still mapped", m.window);
    if (SlotInterrupt* si = FindSlotInterrupt(slot); si && si->live)
      FaultLocked("slot unplugged with its interrupt still connected");
  }
  std::lock_guard<std::mutex> l(s.mu);
  auto& v = SlotInterrupts();
  v.erase(std::remove_if(v.begin(), v.end(), [&](const SlotInterrupt& x) { return x.slot == slot; }), v.end());
  s.slots.erase(std::remove(s.slots.begin(), s.slots.end(), slot), s.slots.end());
  slot->device_->slot_ = nullptr;
  delete slot;
}

void ForceUnplug(Slot* slot) {
  State& s = S();
  KINTERRUPT* live = nullptr;
  {
    std::lock_guard<std::mutex> l(s.mu);
    if (SlotInterrupt* si = FindSlotInterrupt(slot)) live = si->live;
  }
  if (live) IoDisconnectInterrupt(live);
  {
    std::unique_lock<std::shared_mutex> ml(s.mapMu);
    for (auto it = s.mappings.begin(); it != s.mappings.end();) {
      if (it->slot == slot) {
        munmap(reinterpret_cast<void*>(it->va), it->reserved);
        it = s.mappings.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::lock_guard<std::mutex> l(s.mu);
  auto& v = SlotInterrupts();
  v.erase(std::remove_if(v.begin(), v.end(), [&](const SlotInterrupt& x) { return x.slot == slot; }), v.end());
  s.slots.erase(std::remove(s.slots.begin(), s.slots.end(), slot), s.slots.end());
  slot->device_->slot_ = nullptr;
  delete slot;
}

ULONG BusData(PVOID context, ULONG dataType, PVOID buffer, ULONG offset, ULONG length, BOOLEAN write) {
  auto* slot = static_cast<Slot*>(context);
  if (!slot || dataType != 0 /* PCI_WHICHSPACE_CONFIG */ || offset >= 256) return 0;
  ULONG n = std::min<ULONG>(length, 256 - offset);
  if (write)
    slot->device().WriteConfig(offset, buffer, n);
  else
    slot->device().ReadConfig(offset, buffer, n);
  return n;
}

// ---------------------------------------------------------------------------------------
// Resource lists.

ResourceList::ResourceList() = default;

ResourceList& ResourceList::AddInterrupt(KIRQL level, ULONG vector, KAFFINITY affinity, USHORT flags, bool shared) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeInterrupt;
  d.ShareDisposition = shared ? CmResourceShareShared : CmResourceShareDeviceExclusive;
  d.Flags = flags;
  d.u.Interrupt.Level = level;
  d.u.Interrupt.Vector = vector;
  d.u.Interrupt.Affinity = affinity;
  descriptors_.push_back(d);
  return *this;
}

ResourceList& ResourceList::AddMemory(uint64_t start, ULONG length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeMemory;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
  d.u.Memory.Start.QuadPart = (LONGLONG)start;
  d.u.Memory.Length = length;
  descriptors_.push_back(d);
  return *this;
}

ResourceList& ResourceList::AddPort(uint64_t start, ULONG length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypePort;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.Flags = CM_RESOURCE_PORT_IO;
  d.u.Port.Start.QuadPart = (LONGLONG)start;
  d.u.Port.Length = length;
  descriptors_.push_back(d);
  return *this;
}

PCM_RESOURCE_LIST ResourceList::get() {
  size_t head = offsetof(CM_RESOURCE_LIST, List) + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors);
  size_t n = std::max<size_t>(descriptors_.size(), 1);
  bytes_.assign(head + n * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR), 0);
  auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(bytes_.data());
  list->Count = 1;
  list->List[0].InterfaceType = PCIBus;
  list->List[0].BusNumber = 0;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = (ULONG)descriptors_.size();
  if (!descriptors_.empty())
    memcpy(&list->List[0].PartialResourceList.PartialDescriptors[0], descriptors_.data(),
           descriptors_.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  return list;
}

ResourceList TranslatedResources(const Slot& slot) {
  ResourceList r;
  r.AddInterrupt(slot.level(), slot.vector(), slot.affinity(), slot.latched() ? 1 : 0, slot.shared());
  for (unsigned w = 0; w < Device::kMaxWindows; ++w)
    if (slot.windowBase(w)) r.AddMemory(slot.windowBase(w), slot.device().WindowLength(w));
  return r;
}

// ---------------------------------------------------------------------------------------
// Physical memory.

void SetPhysicalRanges(const std::vector<PhysicalRange>& ranges) {
  std::lock_guard<std::mutex> l(S().mu);
  S().ranges = ranges;
  std::sort(S().ranges.begin(), S().ranges.end(),
            [](const PhysicalRange& a, const PhysicalRange& b) { return a.start < b.start; });
}

void SetHighMemoryPresent(bool present) {
  std::lock_guard<std::mutex> l(S().mu);
  S().highMemory = present;
}

namespace {

// First fit over the RAM ranges. Caller holds S().mu.
void* AllocatePhysicalLocked(size_t size, uint64_t lowest, uint64_t highest, uint64_t boundary,
                             Allocation::Kind kind, MEMORY_CACHING_TYPE cache, const void* adapter,
                             uint64_t* physicalOut) {
  State& s = S();
  if (size == 0 || lowest > highest) return nullptr;
  uint64_t rounded = AlignUp(size, kPage);
  if (boundary && rounded > boundary) return nullptr;
  std::vector<PhysicalRange> ranges = s.ranges;
  if (s.highMemory) ranges.push_back(kHighRange);
  for (const PhysicalRange& r : ranges) {
    uint64_t cand = AlignUp(std::max(r.start, lowest), kPage);
    for (;;) {
      if (cand + rounded > r.end || cand + rounded - 1 > highest) break;
      if (boundary && cand / boundary != (cand + rounded - 1) / boundary) {
        cand = AlignUp(cand + 1, boundary);
        continue;
      }
      auto it = s.blocks.upper_bound(cand);
      if (it != s.blocks.begin()) {
        auto prev = std::prev(it);
        if (prev->second.physical + prev->second.rounded > cand) {
          cand = AlignUp(prev->second.physical + prev->second.rounded, kPage);
          continue;
        }
      }
      if (it != s.blocks.end() && it->second.physical < cand + rounded) {
        cand = AlignUp(it->second.physical + it->second.rounded, kPage);
        continue;
      }
      void* va = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (va == MAP_FAILED) return nullptr;
      s.blocks[cand] = Block{cand, size, rounded, va, kind, cache, adapter};
      *physicalOut = cand;
      return va;
    }
  }
  return nullptr;
}

std::map<uint64_t, Block>::iterator FindBlockByVaLocked(const void* va, bool containing) {
  State& s = S();
  auto p = reinterpret_cast<uintptr_t>(va);
  for (auto it = s.blocks.begin(); it != s.blocks.end(); ++it) {
    auto base = reinterpret_cast<uintptr_t>(it->second.va);
    if (p == base || (containing && p > base && p < base + it->second.rounded)) return it;
  }
  return s.blocks.end();
}

const char* KindName(Allocation::Kind k) { return k == Allocation::kContiguous ? "contiguous" : "common buffer"; }

}  // namespace

std::vector<Allocation> Allocations() {
  std::lock_guard<std::mutex> l(S().mu);
  std::vector<Allocation> out;
  for (auto& [p, b] : S().blocks) out.push_back(Allocation{b.kind, b.physical, b.size, b.va, b.cache});
  return out;
}

void* PhysicalToVirtual(uint64_t physical, size_t length) {
  std::lock_guard<std::mutex> l(S().mu);
  auto it = S().blocks.upper_bound(physical);
  if (it == S().blocks.begin()) return nullptr;
  --it;
  const Block& b = it->second;
  if (physical + length > b.physical + b.rounded) return nullptr;
  return static_cast<uint8_t*>(b.va) + (physical - b.physical);
}

Accounting CurrentAccounting() {
  State& s = S();
  Accounting a;
  {
    std::shared_lock<std::shared_mutex> ml(s.mapMu);
    a.mappings = s.mappings.size();
  }
  std::lock_guard<std::mutex> l(s.mu);
  for (auto& [p, b] : s.blocks) {
    if (b.kind == Allocation::kContiguous) {
      a.contiguousBlocks++;
      a.contiguousBytes += b.size;
    } else {
      a.commonBuffers++;
      a.commonBufferBytes += b.size;
    }
  }
  a.adapters = s.adapters.size();
  for (auto& si : SlotInterrupts())
    if (si.live) a.interrupts++;
  return a;
}

std::vector<std::string> Outstanding() {
  State& s = S();
  std::vector<std::string> out;
  char buf[160];
  {
    std::shared_lock<std::shared_mutex> ml(s.mapMu);
    for (auto& m : s.mappings) {
      snprintf(buf, sizeof buf, "mapping of window %u (%zu bytes)", m.window, m.length);
      out.emplace_back(buf);
    }
  }
  std::lock_guard<std::mutex> l(s.mu);
  for (auto& [p, b] : s.blocks) {
    snprintf(buf, sizeof buf, "%s of %zu bytes at physical 0x%llx", KindName(b.kind), b.size,
             (unsigned long long)b.physical);
    out.emplace_back(buf);
  }
  for (size_t k = 0; k < s.adapters.size(); ++k) out.emplace_back("DMA adapter");
  for (auto& si : SlotInterrupts())
    if (si.live) out.emplace_back("connected interrupt");
  return out;
}

// ---------------------------------------------------------------------------------------
// Fault injection and records.

void InjectFailure(Operation op, unsigned nth, bool persistent, NTSTATUS status) {
  std::lock_guard<std::mutex> l(S().mu);
  Injection& i = Inj(op);
  i.calls = 0;
  i.failAt = nth;
  i.persistent = persistent;
  i.status = status;
}

void ClearInjectedFailures() {
  std::lock_guard<std::mutex> l(S().mu);
  for (auto& i : S().injections) {
    i.failAt = 0;
    i.calls = 0;
  }
}

unsigned CallCount(Operation op) {
  std::lock_guard<std::mutex> l(S().mu);
  return Inj(op).total;
}

std::vector<AdapterRecord> AdapterRequests() {
  std::lock_guard<std::mutex> l(S().mu);
  return S().adapterRequests;
}

ConnectionRecord ConnectionOf(const Slot* slot) {
  std::lock_guard<std::mutex> l(S().mu);
  SlotInterrupt* si = FindSlotInterrupt(slot);
  return si ? si->last : ConnectionRecord{};
}

bool Connected(const Slot* slot) {
  std::lock_guard<std::mutex> l(S().mu);
  SlotInterrupt* si = FindSlotInterrupt(slot);
  return si && si->live;
}

unsigned SynchronizeCount(const Slot* slot) {
  std::lock_guard<std::mutex> l(S().mu);
  SlotInterrupt* si = FindSlotInterrupt(slot);
  if (!si) return 0;
  return si->live ? si->live->synchronizations.load() : si->synchronizations;
}

unsigned Deliveries(const Slot* slot) {
  std::lock_guard<std::mutex> l(S().mu);
  SlotInterrupt* si = FindSlotInterrupt(slot);
  if (!si) return 0;
  return si->live ? si->live->deliveries.load() : si->deliveries;
}

unsigned Refusals(const Slot* slot) {
  std::lock_guard<std::mutex> l(S().mu);
  SlotInterrupt* si = FindSlotInterrupt(slot);
  if (!si) return 0;
  return si->live ? si->live->refusals.load() : si->refusals;
}

bool Service(Slot* slot) {
  KINTERRUPT* live = nullptr;
  {
    std::lock_guard<std::mutex> l(S().mu);
    if (SlotInterrupt* si = FindSlotInterrupt(slot)) live = si->live;
  }
  if (!live) return false;
  {
    std::lock_guard<std::mutex> l(live->wakeMu);
    if (!Pending(live)) return false;
    if (live->record.mode == Latched) live->edgePending = false;
  }
  return CallServiceRoutine(live);
}

std::vector<std::string> Faults() {
  std::lock_guard<std::mutex> l(S().mu);
  return S().faults;
}

void ClearFaults() {
  std::lock_guard<std::mutex> l(S().mu);
  S().faults.clear();
}

void Reset() {
  State& s = S();
  std::vector<KINTERRUPT*> live;
  {
    std::lock_guard<std::mutex> l(s.mu);
    for (auto& si : SlotInterrupts())
      if (si.live) live.push_back(si.live);
  }
  for (KINTERRUPT* i : live) IoDisconnectInterrupt(i);
  {
    std::unique_lock<std::shared_mutex> ml(s.mapMu);
    for (auto& m : s.mappings) munmap(reinterpret_cast<void*>(m.va), m.reserved);
    s.mappings.clear();
  }
  std::lock_guard<std::mutex> l(s.mu);
  for (auto& [p, b] : s.blocks) munmap(b.va, b.rounded);
  s.blocks.clear();
  s.adapters.clear();
  s.adapterRequests.clear();
  for (auto& i : s.injections) i = Injection{};
  s.ranges = {kDefaultRange};
  s.highMemory = false;
  s.faults.clear();
  SlotInterrupts().clear();
  for (Slot* slot : s.slots) {
    slot->device_->slot_ = nullptr;
    delete slot;
  }
  s.slots.clear();
  s.nextMmio = kMmioBase;
  s.nextVector = 0x80;
}

}  // namespace platform::pci

using namespace platform::pci;

// ---------------------------------------------------------------------------------------
// Windows interfaces: mapping.

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
  State& s = S();
  uint64_t phys = (uint64_t)PhysicalAddress.QuadPart;
  Slot* owner = nullptr;
  unsigned window = 0;
  {
    std::lock_guard<std::mutex> l(s.mu);
    if (ShouldFail(Operation::kMapIoSpace)) return nullptr;
    if (NumberOfBytes == 0) return nullptr;
    for (Slot* slot : s.slots)
      for (unsigned w = 0; w < Device::kMaxWindows; ++w) {
        uint64_t base = slot->windowBase(w);
        ULONG len = slot->device().WindowLength(w);
        if (base && phys >= base && phys + NumberOfBytes <= base + len) {
          owner = slot;
          window = w;
        }
      }
    if (!owner) {
      FaultLocked("MmMapIoSpace(0x%llx, %zu): no device window there", (unsigned long long)phys,
                  (size_t)NumberOfBytes);
      return nullptr;
    }
  }
  // Address space only: touching it directly instead of through READ_REGISTER_* and
  // WRITE_REGISTER_* faults, as the device's reactions would otherwise be bypassed.
  size_t reserved = AlignUp(NumberOfBytes, kPage) + kPage;
  void* va = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (va == MAP_FAILED) return nullptr;
  std::unique_lock<std::shared_mutex> ml(s.mapMu);
  s.mappings.push_back(Mapping{reinterpret_cast<uintptr_t>(va), NumberOfBytes, reserved, owner, window,
                               (ULONG)(phys - owner->windowBase(window))});
  return va;
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  State& s = S();
  std::unique_lock<std::shared_mutex> ml(s.mapMu);
  auto it = std::find_if(s.mappings.begin(), s.mappings.end(),
                         [&](const Mapping& m) { return m.va == reinterpret_cast<uintptr_t>(BaseAddress); });
  if (it == s.mappings.end()) {
    std::lock_guard<std::mutex> l(s.mu);
    FaultLocked("MmUnmapIoSpace(%p): not a mapping", BaseAddress);
    return;
  }
  if (it->length != NumberOfBytes) {
    std::lock_guard<std::mutex> l(s.mu);
    FaultLocked("MmUnmapIoSpace(%p, %zu): mapped with %zu bytes", BaseAddress, (size_t)NumberOfBytes, it->length);
  }
  munmap(BaseAddress, it->reserved);
  s.mappings.erase(it);
}

// ---------------------------------------------------------------------------------------
// Register access.

namespace {

// Returns true when the address is in a register mapping (and then handled it).
template <typename T>
bool RegisterAccess(volatile T* reg, bool write, ULONG* value) {
  State& s = S();
  auto p = reinterpret_cast<uintptr_t>(reg);
  std::shared_lock<std::shared_mutex> ml(s.mapMu);
  for (const Mapping& m : s.mappings) {
    if (p < m.va || p >= m.va + m.reserved) continue;
    if (p + sizeof(T) > m.va + m.length) {
      std::lock_guard<std::mutex> l(s.mu);
      FaultLocked("%s of %zu bytes at offset 0x%llx of window %u, past the %zu mapped bytes",
                  write ? "write" : "read", sizeof(T), (unsigned long long)(p - m.va + m.offset), m.window,
                  m.length);
      if (!write) *value = 0xFFFFFFFFu;  // a read nobody answers
      return true;
    }
    ULONG offset = (ULONG)(p - m.va) + m.offset;
    Device& d = m.slot->device();
    if (write)
      d.WriteRegister(m.window, offset, *value, sizeof(T));
    else
      *value = d.ReadRegister(m.window, offset, sizeof(T));
    return true;
  }
  return false;
}

template <typename T>
T ReadReg(volatile T* reg) {
  ULONG v = 0;
  if (RegisterAccess(reg, false, &v)) return (T)v;
  return *reg;
}

template <typename T>
void WriteReg(volatile T* reg, T value) {
  ULONG v = value;
  if (RegisterAccess(reg, true, &v)) return;
  *reg = value;
}

}  // namespace

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register) { return ReadReg(Register); }
USHORT READ_REGISTER_USHORT(volatile USHORT* Register) { return ReadReg(Register); }
ULONG READ_REGISTER_ULONG(volatile ULONG* Register) { return ReadReg(Register); }
VOID WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) { WriteReg(Register, Value); }
VOID WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value) { WriteReg(Register, Value); }
VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) { WriteReg(Register, Value); }

// ---------------------------------------------------------------------------------------
// Contiguous memory.

PVOID MmAllocateContiguousMemorySpecifyCache(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS LowestAcceptableAddress,
                                             PHYSICAL_ADDRESS HighestAcceptableAddress,
                                             PHYSICAL_ADDRESS BoundaryAddressMultiple,
                                             MEMORY_CACHING_TYPE CacheType) {
  std::lock_guard<std::mutex> l(S().mu);
  if (ShouldFail(Operation::kContiguousMemory)) return nullptr;
  uint64_t boundary = (uint64_t)BoundaryAddressMultiple.QuadPart;
  if (boundary & (boundary - 1)) {
    FaultLocked("MmAllocateContiguousMemorySpecifyCache: boundary 0x%llx is not a power of two",
                (unsigned long long)boundary);
    return nullptr;
  }
  uint64_t phys = 0;
  return AllocatePhysicalLocked(NumberOfBytes, (uint64_t)LowestAcceptableAddress.QuadPart,
                                (uint64_t)HighestAcceptableAddress.QuadPart, boundary, Allocation::kContiguous,
                                CacheType, nullptr, &phys);
}

VOID MmFreeContiguousMemorySpecifyCache(PVOID BaseAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
  std::lock_guard<std::mutex> l(S().mu);
  auto it = FindBlockByVaLocked(BaseAddress, false);
  if (it == S().blocks.end() || it->second.kind != Allocation::kContiguous) {
    FaultLocked("MmFreeContiguousMemorySpecifyCache(%p): not contiguous memory", BaseAddress);
    return;
  }
  if (it->second.size != NumberOfBytes || it->second.cache != CacheType)
    FaultLocked("MmFreeContiguousMemorySpecifyCache(%p, 0x%zx, %d): allocated as 0x%zx bytes, caching %d", BaseAddress,
                (size_t)NumberOfBytes, (int)CacheType, it->second.size, (int)it->second.cache);
  munmap(it->second.va, it->second.rounded);
  S().blocks.erase(it);
}

PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress) {
  PHYSICAL_ADDRESS pa;
  pa.QuadPart = 0;
  std::lock_guard<std::mutex> l(S().mu);
  auto it = FindBlockByVaLocked(BaseAddress, true);
  if (it == S().blocks.end()) {
    FaultLocked("MmGetPhysicalAddress(%p): not physically contiguous memory of this machine", BaseAddress);
    return pa;
  }
  pa.QuadPart = (LONGLONG)(it->second.physical + (static_cast<uint8_t*>(BaseAddress) -
                                                  static_cast<uint8_t*>(it->second.va)));
  return pa;
}

// ---------------------------------------------------------------------------------------
// DMA adapters.

namespace {

AdapterImpl* FindAdapterLocked(PDMA_ADAPTER a) {
  for (auto& p : S().adapters)
    if (&p->adapter == a) return p.get();
  return nullptr;
}

VOID PutDmaAdapterImpl(PDMA_ADAPTER DmaAdapter) {
  std::lock_guard<std::mutex> l(S().mu);
  AdapterImpl* impl = FindAdapterLocked(DmaAdapter);
  if (!impl) {
    FaultLocked("PutDmaAdapter(%p): not a live adapter", (void*)DmaAdapter);
    return;
  }
  for (auto& [p, b] : S().blocks)
    if (b.adapter == impl) FaultLocked("PutDmaAdapter: common buffer at 0x%llx still allocated", (unsigned long long)p);
  auto& v = S().adapters;
  v.erase(std::remove_if(v.begin(), v.end(), [&](const std::unique_ptr<AdapterImpl>& x) { return x.get() == impl; }),
          v.end());
}

PVOID AllocateCommonBufferImpl(PDMA_ADAPTER DmaAdapter, ULONG Length, PPHYSICAL_ADDRESS LogicalAddress,
                               BOOLEAN CacheEnabled) {
  std::lock_guard<std::mutex> l(S().mu);
  AdapterImpl* impl = FindAdapterLocked(DmaAdapter);
  if (!impl) {
    FaultLocked("AllocateCommonBuffer on a dead adapter %p", (void*)DmaAdapter);
    return nullptr;
  }
  if (ShouldFail(Operation::kCommonBuffer)) return nullptr;
  // The adapter is a 32-bit bus master: its buffers lie below 4 GB.
  uint64_t phys = 0;
  void* va = AllocatePhysicalLocked(Length, 0, k4G - 1, 0, Allocation::kCommonBuffer,
                                    CacheEnabled ? MmCached : MmNonCached, impl, &phys);
  if (va && LogicalAddress) LogicalAddress->QuadPart = (LONGLONG)phys;
  return va;
}

VOID FreeCommonBufferImpl(PDMA_ADAPTER DmaAdapter, ULONG Length, PHYSICAL_ADDRESS LogicalAddress,
                          PVOID VirtualAddress, BOOLEAN CacheEnabled) {
  std::lock_guard<std::mutex> l(S().mu);
  AdapterImpl* impl = FindAdapterLocked(DmaAdapter);
  auto it = FindBlockByVaLocked(VirtualAddress, false);
  if (it == S().blocks.end() || it->second.kind != Allocation::kCommonBuffer) {
    FaultLocked("FreeCommonBuffer(%p): not a common buffer", VirtualAddress);
    return;
  }
  if (it->second.adapter != impl)
    FaultLocked("FreeCommonBuffer(%p): freed through another adapter", VirtualAddress);
  if (it->second.size != Length || it->second.physical != (uint64_t)LogicalAddress.QuadPart ||
      (it->second.cache == MmCached) != (CacheEnabled != FALSE))
    FaultLocked("FreeCommonBuffer(%p, %u, 0x%llx): allocated as %zu bytes at 0x%llx", VirtualAddress, Length,
                (unsigned long long)LogicalAddress.QuadPart, it->second.size,
                (unsigned long long)it->second.physical);
  munmap(it->second.va, it->second.rounded);
  S().blocks.erase(it);
}

}  // namespace

PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                             PULONG NumberOfMapRegisters) {
  std::lock_guard<std::mutex> l(S().mu);
  if (!PhysicalDeviceObject || !DeviceDescription) {
    FaultLocked("IoGetDmaAdapter without a physical device object or description");
    return nullptr;
  }
  S().adapterRequests.push_back(AdapterRecord{*DeviceDescription, PhysicalDeviceObject});
  if (ShouldFail(Operation::kDmaAdapter)) return nullptr;
  auto impl = std::make_unique<AdapterImpl>();
  impl->ops = DMA_OPERATIONS{};
  impl->ops.Size = sizeof(DMA_OPERATIONS);
  impl->ops.PutDmaAdapter = PutDmaAdapterImpl;
  impl->ops.AllocateCommonBuffer = AllocateCommonBufferImpl;
  impl->ops.FreeCommonBuffer = FreeCommonBufferImpl;
  impl->adapter.Version = 1;
  impl->adapter.Size = sizeof(DMA_ADAPTER);
  impl->adapter.DmaOperations = &impl->ops;
  impl->pdo = PhysicalDeviceObject;
  if (NumberOfMapRegisters)
    *NumberOfMapRegisters = std::min<ULONG>(DeviceDescription->MaximumLength / (ULONG)kPage + 1, 0x10000);
  PDMA_ADAPTER out = &impl->adapter;
  S().adapters.push_back(std::move(impl));
  return out;
}

// ---------------------------------------------------------------------------------------
// Interrupts.

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave) {
  State& s = S();
  KINTERRUPT* i = nullptr;
  {
    std::lock_guard<std::mutex> l(s.mu);
    NTSTATUS failure = STATUS_SUCCESS;
    if (ShouldFail(Operation::kConnectInterrupt, &failure)) return failure;
    if (!InterruptObject || !ServiceRoutine) return STATUS_INVALID_PARAMETER;
    Slot* slot = nullptr;
    for (Slot* x : s.slots)
      if (x->vector() == Vector) slot = x;
    if (!slot) return STATUS_INVALID_PARAMETER;
    SlotInterrupt* si = FindSlotInterrupt(slot);
    if (si && si->live) return STATUS_INVALID_PARAMETER;
    if (!si) {
      SlotInterrupts().push_back(SlotInterrupt{slot, nullptr, {}, 0, 0, 0});
      si = &SlotInterrupts().back();
    }
    i = new KINTERRUPT;
    i->routine = ServiceRoutine;
    i->context = ServiceContext;
    i->slot = slot;
    i->record = ConnectionRecord{slot,         Vector,           Irql, SynchronizeIrql, InterruptMode,
                                 ShareVector != FALSE, ProcessorEnableMask, FloatingSave != FALSE,
                                 SpinLock != nullptr};
    // A latched line that is already up counts as one edge.
    i->edgePending = slot->device().InterruptLine();
    si->live = i;
    si->last = i->record;
  }
  if (machine_link::Threaded()) i->thread = std::thread(DeliveryThread, i);
  *InterruptObject = i;
  return STATUS_SUCCESS;
}

VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
  State& s = S();
  if (!InterruptObject) return;
  {
    std::lock_guard<std::mutex> l(s.mu);
    SlotInterrupt* si = nullptr;
    for (auto& x : SlotInterrupts())
      if (x.live == InterruptObject) si = &x;
    if (!si) {
      FaultLocked("IoDisconnectInterrupt(%p): not connected", (void*)InterruptObject);
      return;
    }
    si->live = nullptr;
    si->deliveries = InterruptObject->deliveries;
    si->refusals = InterruptObject->refusals;
    si->synchronizations = InterruptObject->synchronizations;
  }
  {
    std::lock_guard<std::mutex> l(InterruptObject->wakeMu);
    InterruptObject->stop = true;
  }
  InterruptObject->wake.notify_all();
  if (InterruptObject->thread.joinable()) InterruptObject->thread.join();
  // Wait out a service routine another thread may be running by hand.
  { std::lock_guard<std::mutex> l(InterruptObject->lock); }
  delete InterruptObject;
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext) {
  std::lock_guard<std::mutex> l(Interrupt->lock);
  Interrupt->synchronizations++;
  KIRQL old;
  KeRaiseIrql(Interrupt->record.synchronizeIrql, &old);
  BOOLEAN r = SynchronizeRoutine(SynchronizeContext);
  KeLowerIrql(old);
  return r;
}
