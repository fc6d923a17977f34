// Aligned work memory of the image library. Every block comes from the memory hooks,
// which the driver binds to its pool routines; nothing here asks the system directly.
#pragma once

#include "imaging/img.h"

struct ImgMemoryHookTable {
  void* (*Malloc)(u64 size);
  void* (*Calloc)(u64 count, u64 size);
  void* (*Realloc)(void* block, u64 size);
  void (*Free)(void* block);
};

// Bound to the driver's pool routines when the library is built; the library calls
// only Malloc and Free.
extern const ImgMemoryHookTable ImgMemoryHooks;

// A block of n bytes starting on a 32-byte boundary, or null (n <= 0 or no memory).
void* ImgAlignedAlloc(int32_t n);
// Gives back a block of ImgAlignedAlloc; null is ignored.
void ImgAlignedFree(void* block);

// Room for n 4-byte or 2-byte elements; null when n <= 0, when the byte count does not
// fit in 31 bits, or when no memory is available. Free with ImgFree.
void* ImgMalloc32(int32_t n);
void* ImgMalloc16(int32_t n);
namespace img::level4 {
void* ImgMalloc32(int32_t n);
void* ImgMalloc16(int32_t n);
}  // namespace img::level4

// Test seam: routes the library's allocations through other hooks (null restores the
// driver's). Returns the hooks that were in use.
const ImgMemoryHookTable* ImgInstallMemoryHooks(const ImgMemoryHookTable* hooks);
// The hooks allocations currently go through.
const ImgMemoryHookTable* ImgCurrentMemoryHooks();
