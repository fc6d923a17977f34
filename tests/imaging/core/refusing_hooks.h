// Work-memory hooks for tests of routines that fall back when work memory is refused:
// they refuse every block while told to, and count how many blocks were asked for and
// how many are still out.
#pragma once

#include <cstdlib>

#include "imaging/core/memory.h"

namespace vorlix_test {

struct RefusingHooks {
  static inline int asked = 0, live = 0;
  static inline bool refuse = false;
  static void* Malloc(u64 n) {
    ++asked;
    if (refuse) return nullptr;
    ++live;
    return std::malloc(n);
  }
  static void Free(void* p) {
    if (p) --live;
    std::free(p);
  }
  static constexpr ImgMemoryHookTable kTable{Malloc, nullptr, nullptr, Free};
};

}  // namespace vorlix_test
