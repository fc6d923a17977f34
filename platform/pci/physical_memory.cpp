// The physical memory model behind DMA: RAM ranges, first-fit blocks, bus-master lookup,
// and physically contiguous memory for the driver.
#include <sys/mman.h>

#include <algorithm>

#include "platform/pci/internal.h"

using namespace platform::pci;
using namespace platform::pci::detail;

namespace platform::pci {

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

}  // namespace platform::pci

namespace platform::pci::detail {

void* AllocatePhysicalLocked(size_t size, uint64_t lowest, uint64_t highest, uint64_t boundary, Allocation::Kind kind,
                             MEMORY_CACHING_TYPE cache, const void* adapter, uint64_t* physicalOut) {
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

}  // namespace platform::pci::detail

namespace platform::pci {

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

}  // namespace platform::pci

// ---------------------------------------------------------------------------------------
// Contiguous memory.

PVOID MmAllocateContiguousMemorySpecifyCache(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS LowestAcceptableAddress,
                                             PHYSICAL_ADDRESS HighestAcceptableAddress,
                                             PHYSICAL_ADDRESS BoundaryAddressMultiple, MEMORY_CACHING_TYPE CacheType) {
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
  pa.QuadPart =
      (LONGLONG)(it->second.physical + (static_cast<uint8_t*>(BaseAddress) - static_cast<uint8_t*>(it->second.va)));
  return pa;
}
