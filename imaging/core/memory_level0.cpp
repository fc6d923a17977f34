// Memory hooks and the allocators that levels 0 to 3 share.
#define IMG_LEVEL 0
#include "imaging/core/memory.h"

// The driver's pool routines (tag "Wdm "); declared here because the library does not
// include driver headers.
void* DriverMalloc(u64 size);
void* DriverCalloc(u64 count, u64 size);
void* DriverRealloc(void* block, u64 size);
void DriverFree(void* block);

const ImgMemoryHookTable ImgMemoryHooks = {DriverMalloc, DriverCalloc, DriverRealloc, DriverFree};

namespace {
const ImgMemoryHookTable* g_hooks = &ImgMemoryHooks;

// The allocator body that level 4 builds too, kept to this unit.
namespace level0 {
#include "imaging/core/memory_body.inc"
}  // namespace level0
}  // namespace

const ImgMemoryHookTable* ImgCurrentMemoryHooks() { return g_hooks; }

const ImgMemoryHookTable* ImgInstallMemoryHooks(const ImgMemoryHookTable* hooks) {
  const ImgMemoryHookTable* previous = g_hooks;
  g_hooks = hooks ? hooks : &ImgMemoryHooks;
  return previous;
}

void* ImgAlignedAlloc(int32_t n) { return level0::AlignedAllocBody(n); }
void ImgAlignedFree(void* block) { level0::AlignedFreeBody(block); }

void* ImgMallocLevel0(int32_t n) { return level0::ImgMalloc(n); }
void ImgFreeLevel0(void* block) { level0::ImgFree(block); }
void* ImgMalloc32(int32_t n) { return level0::ImgMalloc32(n); }
void* ImgMalloc16(int32_t n) { return level0::ImgMalloc16(n); }

u8* ImgAllocImage8Level0(int32_t width, int32_t height, int32_t* step) {
  return level0::ImgAllocImage8(width, height, step);
}
u16* ImgAllocImage16Level0(int32_t width, int32_t height, int32_t* step) {
  return level0::ImgAllocImage16(width, height, step);
}
u32* ImgAllocImage32Level0(int32_t width, int32_t height, int32_t* step) {
  return level0::ImgAllocImage32(width, height, step);
}
void ImgFreeImageLevel0(void* image) { level0::ImgFreeImage(image); }
