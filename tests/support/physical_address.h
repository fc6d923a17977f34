// A physical address from a plain number, for tests that map or compare a board's windows
// and DMA memory.
#pragma once

#include <cstdint>

#include "platform/kernel/ntdef.h"

namespace vorlix_test {

inline PHYSICAL_ADDRESS Pa(uint64_t v) {
  PHYSICAL_ADDRESS p;
  p.QuadPart = (LONGLONG)v;
  return p;
}

}  // namespace vorlix_test
