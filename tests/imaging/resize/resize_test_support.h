// Shared helpers of the resize tests: counting allocator hooks with fault injection,
// exact-size images and a run of every level.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "imaging/core/dispatch.h"
#include "imaging/core/memory.h"
#include "imaging/resize/resize.h"
#include "imaging/resize/resize_internal.h"
#include "tests/support/levels.h"

namespace resize_test {

// Allocator hooks that count calls and live blocks, fill fresh blocks with 0xCD (work
// memory is not initialised), and can refuse the k-th allocation.
class CountingHooks {
 public:
  CountingHooks() {
    State() = {};
    previous_ = ImgInstallMemoryHooks(&kHooks);
  }
  ~CountingHooks() { ImgInstallMemoryHooks(previous_); }
  void FailAt(int k) { State().failAt = k; }
  int Calls() const { return State().calls; }
  int Live() const { return State().live; }

 private:
  struct Counters {
    int calls = 0;
    int live = 0;
    int failAt = -1;
  };
  static Counters& State() {
    static Counters c;
    return c;
  }
  static void* Malloc(u64 n) {
    Counters& c = State();
    if (c.calls++ == c.failAt) return nullptr;
    void* p = std::malloc(n);
    if (p) {
      std::memset(p, 0xCD, n);
      ++c.live;
    }
    return p;
  }
  static void Free(void* p) {
    if (!p) return;
    --State().live;
    std::free(p);
  }
  static constexpr ImgMemoryHookTable kHooks = {Malloc, nullptr, nullptr, Free};
  const ImgMemoryHookTable* previous_;
};

// An 8-bit image of exactly rows x step bytes, so that a read past its end shows
// under the address sanitizer.
struct Image {
  int width = 0, height = 0, step = 0;
  std::vector<u8> bytes;
  Image() = default;
  Image(int w, int h, int s = 0) : width(w), height(h), step(s ? s : w), bytes(size_t(h) * (s ? s : w)) {}
  u8* Row(int y) { return bytes.data() + size_t(y) * step; }
  const u8* Row(int y) const { return bytes.data() + size_t(y) * step; }
  u8& At(int x, int y) { return Row(y)[x]; }
  u8 At(int x, int y) const { return Row(y)[x]; }
};

inline Image FromRows(std::initializer_list<std::initializer_list<int>> rows) {
  Image img(int(rows.begin()->size()), int(rows.size()));
  int y = 0;
  for (auto& r : rows) {
    // Bounded by the width so that the optimiser can see every store stays in the row.
    int x = 0;
    for (int v : r) {
      if (x >= img.width) break;
      img.At(x++, y) = u8(v);
    }
    ++y;
  }
  return img;
}

// Runs `body` once with the dispatch set to level 0 and once per runnable level, through
// the routine's table.
inline std::vector<CpuLevel> AllLevels() {
  std::vector<CpuLevel> levels{0};
  for (CpuLevel l : vorlix_test::RunnableLevels()) levels.push_back(l);
  return levels;
}

}  // namespace resize_test
