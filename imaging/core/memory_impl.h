// The allocator bodies, compiled into the level-0 unit and again into the level-4 unit
// so that each level's variant is its own code. Internal linkage keeps the copies apart.
#pragma once

#include <climits>

#include "imaging/core/memory.h"

namespace {

// The raw block is this much longer than the request: up to 31 bytes to reach the
// 32-byte boundary plus the 8-byte slot just below it that remembers the raw address.
constexpr u64 kAlignedOverhead = 40;

inline void* AlignedAllocBody(s64 n) {
  // Sizes are computed in 64 bits by every caller; anything beyond 31 bits is refused
  // here rather than handed out as a short block.
  if (n <= 0 || n > INT32_MAX) return nullptr;
  u8* raw = static_cast<u8*>(ImgCurrentMemoryHooks()->Malloc(u64(n) + kAlignedOverhead));
  if (!raw) return nullptr;
  u8* block = reinterpret_cast<u8*>((reinterpret_cast<uintptr_t>(raw) + 39) & ~uintptr_t(31));
  reinterpret_cast<u8**>(block)[-1] = raw;
  return block;
}

inline void AlignedFreeBody(void* block) {
  if (!block) return;
  ImgCurrentMemoryHooks()->Free(static_cast<u8**>(block)[-1]);
}

inline void* ElementAllocBody(int32_t n, s64 elementBytes) {
  if (n <= 0) return nullptr;
  return AlignedAllocBody(s64(n) * elementBytes);
}

inline void* ImageAllocBody(int32_t width, int32_t height, int32_t* step, s64 pixelBytes) {
  if (!step) return nullptr;
  if (width <= 0 || height <= 0) {
    *step = 0;
    return nullptr;
  }
  s64 rowBytes = (s64(width) * pixelBytes + 31) & ~s64(31);
  s64 total = rowBytes * height;
  if (rowBytes > INT32_MAX || total > INT32_MAX) {
    // A step or image size the caller's 32-bit arithmetic cannot hold: refuse.
    *step = 0;
    return nullptr;
  }
  *step = int32_t(rowBytes);
  return AlignedAllocBody(total);
}

}  // namespace
