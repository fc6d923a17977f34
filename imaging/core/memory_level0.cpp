// Memory hooks and the allocators that levels 0 to 3 share.
#include "imaging/core/memory_impl.h"

// The driver's pool routines (tag "Wdm "); declared here because the library does not
// include driver headers.
void* DriverMalloc(u64 size);
void* DriverCalloc(u64 count, u64 size);
void* DriverRealloc(void* block, u64 size);
void DriverFree(void* block);

const ImgMemoryHookTable ImgMemoryHooks = {DriverMalloc, DriverCalloc, DriverRealloc, DriverFree};

namespace {
const ImgMemoryHookTable* g_hooks = &ImgMemoryHooks;
}  // namespace

const ImgMemoryHookTable* ImgCurrentMemoryHooks() { return g_hooks; }

const ImgMemoryHookTable* ImgInstallMemoryHooks(const ImgMemoryHookTable* hooks) {
  const ImgMemoryHookTable* previous = g_hooks;
  g_hooks = hooks ? hooks : &ImgMemoryHooks;
  return previous;
}

void* ImgAlignedAlloc(int32_t n) { return AlignedAllocBody(n); }
void ImgAlignedFree(void* block) { AlignedFreeBody(block); }

void* ImgMallocLevel0(int32_t n) { return n <= 0 ? nullptr : AlignedAllocBody(n); }
void ImgFreeLevel0(void* block) { AlignedFreeBody(block); }
void* ImgMalloc32(int32_t n) { return ElementAllocBody(n, 4); }
void* ImgMalloc16(int32_t n) { return ElementAllocBody(n, 2); }

u8* ImgAllocImage8Level0(int32_t width, int32_t height, int32_t* step) {
  return static_cast<u8*>(ImageAllocBody(width, height, step, 1));
}
u16* ImgAllocImage16Level0(int32_t width, int32_t height, int32_t* step) {
  return static_cast<u16*>(ImageAllocBody(width, height, step, 2));
}
u32* ImgAllocImage32Level0(int32_t width, int32_t height, int32_t* step) {
  return static_cast<u32*>(ImageAllocBody(width, height, step, 4));
}
void ImgFreeImageLevel0(void* image) { AlignedFreeBody(image); }
