// Buffers and geometry for tests that run an image routine at every level against
// level 0. Every buffer sits between two inaccessible pages, so a read or write past
// either end faults at once; destinations start with the same random bytes for both
// runs, and the whole buffer (gaps between rows included) must come out identical.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cpuid.h>
#include <x86intrin.h>

#include <cstring>
#include <memory>
#include <vector>

#include "imaging/core/cpu.h"
#include "tests/support/levels.h"

namespace vorlix_test {

class Guarded {
 public:
  // `bytes` usable bytes, placed against the upper guard page or the lower one.
  Guarded(size_t bytes, bool againstEnd) : bytes_(bytes) {
    page_ = size_t(sysconf(_SC_PAGESIZE));
    size_t inner = (bytes + page_ - 1) / page_ * page_;
    map_size_ = inner + 2 * page_;
    void* m = mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) std::abort();
    map_ = static_cast<uint8_t*>(m);
    mprotect(map_, page_, PROT_NONE);
    mprotect(map_ + page_ + inner, page_, PROT_NONE);
    data_ = againstEnd ? map_ + page_ + inner - bytes : map_ + page_;
  }
  ~Guarded() { munmap(map_, map_size_); }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return bytes_; }

 private:
  size_t bytes_, page_, map_size_;
  uint8_t* map_;
  uint8_t* data_;
};

// An image of `rowBytes` bytes per row at `step` (negative: the first row is the last
// one in memory), in a guarded buffer.
struct GuardedImage {
  GuardedImage(int64_t rowBytes, int32_t height, int32_t step, bool againstEnd)
      : rowBytes(rowBytes),
        height(height),
        step(step),
        buffer(size_t((height - 1) * int64_t(step < 0 ? -step : step) + rowBytes), againstEnd) {}
  uint8_t* base() { return step >= 0 ? buffer.data() : buffer.data() + int64_t(-step) * (height - 1); }
  bool SameBytes(const GuardedImage& other) const {
    return buffer.size() == other.buffer.size() && std::memcmp(buffer.data(), other.buffer.data(), buffer.size()) == 0;
  }
  // The first differing byte's offset in the buffer, or -1.
  int64_t FirstDifference(const GuardedImage& other) const {
    for (size_t i = 0; i < buffer.size(); ++i)
      if (buffer.data()[i] != other.buffer.data()[i]) return int64_t(i);
    return -1;
  }
  int64_t rowBytes;
  int32_t height;
  int32_t step;
  Guarded buffer;
};

// A row step for `rowBytes`-byte rows: contiguous, padded by a small or a large gap,
// and negative when allowed.
inline int32_t RandomStep(Random& rnd, int64_t rowBytes, bool allowNegative) {
  static const int kPads[] = {0, 0, 1, 3, 13, 16, 64, 5, 33};
  int32_t step = int32_t(rowBytes + kPads[rnd.Int(0, 8)]);
  if (allowNegative && rnd.Int(0, 3) == 0) step = -step;
  return step;
}

// Widths that exercise the heads, blocks and tails of 16-, 48- and 64-byte loops.
inline int32_t RandomWidth(Random& rnd) {
  static const int kWidths[] = {1, 2, 3, 5, 7, 8, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 127, 200};
  return rnd.Int(0, 2) == 0 ? rnd.Int(1, 700) : kWidths[rnd.Int(0, 19)];
}

inline std::string LevelName(const ::testing::TestParamInfo<CpuLevel>& info) {
  return "level" + std::to_string(info.param);
}

// The levels to compare with level 0; a machine that runs none of them still runs the
// comparison once at level 0 so the harness itself is exercised.
inline std::vector<CpuLevel> LevelsToCompare() {
  std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) levels.push_back(0);
  return levels;
}

// A processor that answers like this one except that it names a 256 KB cache in leaf 4
// and a 512 KB cache in leaf 2, so large copies, sets and interleaves take their
// streaming paths. Install with CpuInstallProcessor; afterwards restore the real one
// and reselect the level.
inline void SmallCacheCpuid(u32 leaf, u32 sub, CpuIdRegs* out) {
  if (leaf == 0) {
    *out = CpuIdRegs{0xD, 0x756E6547u, 0x6C65746Eu, 0x49656E69u};  // "GenuineIntel"
  } else if (leaf == 2) {
    *out = CpuIdRegs{0x00000001u, 0x00000043u, 0, 0};  // descriptor 43: 512 KB
  } else if (leaf == 4) {
    // sub-leaf 0: unified cache, 4 ways x 1 partition x 64-byte lines x 1024 sets.
    *out = sub == 0 ? CpuIdRegs{0x43, (3u << 22) | 63u, 1023u, 0} : CpuIdRegs{};
  } else {
    __cpuid_count(leaf, sub, out->eax, out->ebx, out->ecx, out->edx);
  }
}
inline u64 RealXgetbv(u32 index) {
  u32 lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(index));
  return (u64(hi) << 32) | lo;
}
inline void RealFxsave(void* area) { __asm__ volatile("fxsave64 %0" : "=m"(*static_cast<char(*)[512]>(area))); }
inline u64 RealRdtsc() { return __rdtsc(); }
inline constexpr CpuProcessor kSmallCacheProcessor = {SmallCacheCpuid, RealXgetbv, RealFxsave, RealRdtsc};

}  // namespace vorlix_test
