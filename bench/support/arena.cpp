#include "bench/support/arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>

#include "imaging/core/cpu.h"

namespace vorlix_bench {
namespace {

struct Arena {
  uint8_t* base;
  size_t size;
  Arena() {
    int32_t llc = 0;
    if (CpuGetMaxCacheSize(&llc) != IMG_OK || llc <= 0) llc = 64 << 20;
    size = std::max<size_t>(2 * size_t(llc) + (128u << 20), 768u << 20);
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    base = static_cast<uint8_t*>(p);
    // The routines' speed does not depend on the values, but every page is touched.
    uint32_t x = 0x12345678u;
    for (size_t i = 0; i < size; ++i) {
      x = x * 1664525u + 1013904223u;
      base[i] = uint8_t(x >> 24);
    }
  }
};

const Arena& TheArena() {
  static Arena arena;
  return arena;
}

size_t Round4k(size_t n) { return (n + 4095) & ~size_t(4095); }

}  // namespace

uint8_t* ArenaBase() { return TheArena().base; }
size_t ArenaSize() { return TheArena().size; }

std::vector<Slot> MakeSlots(const std::vector<size_t>& sizes, bool cold) {
  size_t slotBytes = 0;
  for (size_t k = 0; k < sizes.size(); ++k) slotBytes += Round4k(sizes[k] + 320 * (k + 1));
  const size_t count = cold ? std::max<size_t>(ArenaSize() / slotBytes, 1) : 1;
  std::vector<Slot> slots(count);
  for (size_t s = 0; s < count; ++s) {
    uint8_t* p = ArenaBase() + s * slotBytes;
    for (size_t k = 0; k < sizes.size(); ++k) {
      slots[s].push_back(p + 320 * (k + 1));
      p += Round4k(sizes[k] + 320 * (k + 1));
    }
  }
  return slots;
}

}  // namespace vorlix_bench
