// Non-paged pool with per-tag accounting, fault injection and checked frees.
//
// Every block has a 64-byte header in front of it (keeping the 64-byte alignment of the
// cache-aligned kinds). Accounting is lock-free: a fixed open-addressed table of tags
// with atomic counters. Only fault injection and the optional call log take a lock.
#include "platform/kernel/pool.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/kernel/internal.h"

using namespace platform::kernel;
using namespace platform::kernel::detail;

namespace {

constexpr size_t kHeader = 64;
constexpr ULONG_PTR kLiveMagic = 0x4C4F4F5042304C56ULL;
constexpr size_t kFillLimit = 4096;  // fresh blocks start with this many bytes of 0xCD

struct BlockHeader {
  SIZE_T size;
  ULONG tag;
  ULONG type;
  unsigned char pad[kHeader - 3 * sizeof(ULONG_PTR)];
  ULONG_PTR check;  // kLiveMagic ^ block address while live; last, next to the block
};
static_assert(sizeof(BlockHeader) == kHeader);

BlockHeader* HeaderOf(void* block) { return reinterpret_cast<BlockHeader*>(static_cast<char*>(block) - kHeader); }

// ---- Per-tag accounting ----------------------------------------------------------------

struct TagSlot {
  std::atomic<ULONG> tag{0};
  std::atomic<bool> used{false};
  std::atomic<int64_t> liveBlocks{0}, liveBytes{0};
  std::atomic<uint64_t> allocations{0}, frees{0}, failures{0};
};

constexpr size_t kSlots = 4096;
TagSlot g_slots[kSlots];
TagSlot g_overflow;  // when the table is full (never expected)
std::atomic<uint64_t> g_calls{0};

TagSlot g_zeroTag;  // tag 0 cannot be told apart from an empty slot

TagSlot& SlotFor(ULONG tag) {
  if (tag == 0) {
    g_zeroTag.used.store(true, std::memory_order_relaxed);
    return g_zeroTag;
  }
  size_t h = (size_t)((tag * 2654435761u) >> 20) & (kSlots - 1);
  for (size_t i = 0; i < kSlots; ++i) {
    TagSlot& s = g_slots[(h + i) & (kSlots - 1)];
    ULONG cur = s.tag.load(std::memory_order_acquire);
    if (cur == tag) return s;
    if (cur == 0) {
      if (s.tag.compare_exchange_strong(cur, tag, std::memory_order_acq_rel) || cur == tag) {
        s.used.store(true, std::memory_order_release);
        return s;
      }
    }
  }
  return g_overflow;
}

template <class Fn>
void ForEachSlot(Fn fn) {
  for (auto& s : g_slots)
    if (s.tag.load(std::memory_order_acquire) != 0) fn(s);
  if (g_zeroTag.used.load()) fn(g_zeroTag);
  fn(g_overflow);
}

// ---- Fault injection and the call log --------------------------------------------------

struct FaultRule {
  ULONG tag;      // 0 = any
  uint64_t skip;  // matching allocations still to let through
  uint64_t fail;  // then this many to refuse
};

struct Faults {
  std::mutex lock;
  std::vector<FaultRule> rules;
  std::atomic<bool> armed{false};
  std::atomic<bool> logOn{false};
  std::vector<PoolCall> log;
};
Faults& F() {
  static Faults f;
  return f;
}

bool SameTag(ULONG a, ULONG b) { return (a & ~PROTECTED_POOL) == (b & ~PROTECTED_POOL); }

bool ShouldFail(ULONG tag) {
  if (!F().armed.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> g(F().lock);
  bool fail = false;
  for (auto& r : F().rules) {
    if (r.tag != 0 && !SameTag(r.tag, tag)) continue;
    if (r.skip > 0) {
      --r.skip;
    } else if (r.fail > 0) {
      --r.fail;
      fail = true;
    }
  }
  std::erase_if(F().rules, [](const FaultRule& r) { return r.skip == 0 && r.fail == 0; });
  if (F().rules.empty()) F().armed = false;
  return fail;
}

void LogCall(bool isFree, ULONG tag, SIZE_T size, void* address) {
  if (!F().logOn.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> g(F().lock);
  F().log.push_back(PoolCall{isFree, tag, size, address});
}

std::string TagText(ULONG tag) {
  char t[5];
  for (int i = 0; i < 4; ++i) {
    char c = (char)((tag >> (8 * i)) & 0xFF);
    t[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  t[4] = 0;
  return std::string("'") + t + "'";
}

PoolTagStats StatsOf(TagSlot& s) {
  PoolTagStats r;
  r.tag = s.tag.load();
  r.liveBlocks = s.liveBlocks.load();
  r.liveBytes = s.liveBytes.load();
  r.allocations = s.allocations.load();
  r.frees = s.frees.load();
  r.failures = s.failures.load();
  return r;
}

void FreeBlock(PVOID p, ULONG tag, bool checkTag, const char* call) {
  if (!p) {
    ReportVerifierFailure(call, "free of a null pointer", BAD_POOL_CALLER);
    return;
  }
  CheckIrqlAtMost(call, DISPATCH_LEVEL);
  BlockHeader* h = HeaderOf(p);
  if (h->check != (kLiveMagic ^ (ULONG_PTR)p)) {
    char d[96];
    std::snprintf(d, sizeof d, "free of %p, which is not a live pool block (freed twice, or a wrong address)", p);
    ReportVerifierFailure(call, d, BAD_POOL_CALLER);
    return;
  }
  if (checkTag && !SameTag(h->tag, tag)) {
    char d[128];
    std::snprintf(d, sizeof d, "free of %p with tag %s; the block was allocated with tag %s", p, TagText(tag).c_str(),
                  TagText(h->tag).c_str());
    ReportVerifierFailure(call, d, BAD_POOL_CALLER);
  }
  TagSlot& s = SlotFor(h->tag);
  s.liveBlocks.fetch_sub(1, std::memory_order_relaxed);
  s.liveBytes.fetch_sub((int64_t)h->size, std::memory_order_relaxed);
  s.frees.fetch_add(1, std::memory_order_relaxed);
  LogCall(true, h->tag, h->size, p);
  h->check = 0;
  std::free(h);
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  bool paged = PoolType == PagedPool || PoolType == PagedPoolCacheAligned;
  CheckIrqlAtMost("ExAllocatePoolWithTag", paged ? APC_LEVEL : DISPATCH_LEVEL);
  g_calls.fetch_add(1, std::memory_order_relaxed);
  TagSlot& s = SlotFor(Tag);
  void* raw = nullptr;
  if (ShouldFail(Tag) || NumberOfBytes > ((SIZE_T)1 << 40) || posix_memalign(&raw, 64, kHeader + NumberOfBytes) != 0) {
    s.failures.fetch_add(1, std::memory_order_relaxed);
    LogCall(false, Tag, NumberOfBytes, nullptr);
    return nullptr;
  }
  auto* h = static_cast<BlockHeader*>(raw);
  void* block = static_cast<char*>(raw) + kHeader;
  h->size = NumberOfBytes;
  h->tag = Tag;
  h->type = (ULONG)PoolType;
  h->check = kLiveMagic ^ (ULONG_PTR)block;
  // Pool memory is not zeroed: make code that forgets to clear a block show it.
  std::memset(block, 0xCD, NumberOfBytes < kFillLimit ? NumberOfBytes : kFillLimit);
  s.liveBlocks.fetch_add(1, std::memory_order_relaxed);
  s.liveBytes.fetch_add((int64_t)NumberOfBytes, std::memory_order_relaxed);
  s.allocations.fetch_add(1, std::memory_order_relaxed);
  LogCall(false, Tag, NumberOfBytes, block);
  return block;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, Tag, true, "ExFreePoolWithTag"); }

VOID ExFreePool(PVOID P) { FreeBlock(P, 0, false, "ExFreePool"); }

namespace platform::kernel {

PoolTagStats PoolStats(ULONG tag) { return StatsOf(SlotFor(tag)); }

std::vector<PoolTagStats> PoolAllStats() {
  std::vector<PoolTagStats> out;
  ForEachSlot([&](TagSlot& s) {
    PoolTagStats st = StatsOf(s);
    if (st.allocations || st.failures || st.frees) out.push_back(st);
  });
  return out;
}

int64_t PoolLiveBlocks() {
  int64_t n = 0;
  ForEachSlot([&](TagSlot& s) { n += s.liveBlocks.load(std::memory_order_relaxed); });
  return n;
}

int64_t PoolLiveBytes() {
  int64_t n = 0;
  ForEachSlot([&](TagSlot& s) { n += s.liveBytes.load(std::memory_order_relaxed); });
  return n;
}

uint64_t PoolAllocationCount() { return g_calls.load(); }

PoolSnapshot::PoolSnapshot() : at_(PoolAllStats()) {}

std::vector<PoolTagStats> PoolSnapshot::Leaked() const {
  std::vector<PoolTagStats> out;
  for (const PoolTagStats& now : PoolAllStats()) {
    PoolTagStats d = now;
    for (const PoolTagStats& before : at_)
      if (before.tag == now.tag) {
        d.liveBlocks -= before.liveBlocks;
        d.liveBytes -= before.liveBytes;
      }
    if (d.liveBlocks > 0) out.push_back(d);
  }
  return out;
}

void FailNthAllocation(uint64_t n, ULONG tag) {
  if (n == 0) return;
  std::lock_guard<std::mutex> g(F().lock);
  F().rules.push_back(FaultRule{tag, n - 1, 1});
  F().armed = true;
}

void FailAllocationsWithTag(ULONG tag, uint64_t count) {
  if (count == 0) return;
  std::lock_guard<std::mutex> g(F().lock);
  F().rules.push_back(FaultRule{tag, 0, count});
  F().armed = true;
}

void ClearPoolFaults() {
  std::lock_guard<std::mutex> g(F().lock);
  F().rules.clear();
  F().armed = false;
}

void EnablePoolCallLog(bool on) { F().logOn = on; }

std::vector<PoolCall> PoolCallLog() {
  std::lock_guard<std::mutex> g(F().lock);
  return F().log;
}

void ClearPoolCallLog() {
  std::lock_guard<std::mutex> g(F().lock);
  F().log.clear();
}

bool CheckPoolLeaksAtUnload(const char* driverName, const PoolSnapshot* baseline) {
  std::vector<PoolTagStats> leaked;
  if (baseline) {
    leaked = baseline->Leaked();
  } else {
    for (const PoolTagStats& s : PoolAllStats())
      if (s.liveBlocks > 0) leaked.push_back(s);
  }
  for (const PoolTagStats& s : leaked) {
    char d[192];
    std::snprintf(d, sizeof d, "pool leaked at unload of %s: tag %s, %lld block(s), %lld bytes",
                  driverName ? driverName : "the driver", TagText(s.tag).c_str(), (long long)s.liveBlocks,
                  (long long)s.liveBytes);
    ReportVerifierFailure("DriverUnload", d, DRIVER_VERIFIER_DETECTED_VIOLATION);
  }
  return leaked.empty();
}

}  // namespace platform::kernel

namespace platform::kernel::detail {

void ResetPoolFaults() {
  ClearPoolFaults();
  F().logOn = false;
  ClearPoolCallLog();
}

}  // namespace platform::kernel::detail
