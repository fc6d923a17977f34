// The level-4 allocators: the same behaviour as levels 0 to 3, built as their own code.
#include "imaging/core/dispatch.h"
#include "imaging/core/memory_impl.h"

namespace img::level4 {

void* ImgMalloc(int32_t n) { return n <= 0 ? nullptr : AlignedAllocBody(n); }
void ImgFree(void* block) { AlignedFreeBody(block); }
void* ImgMalloc32(int32_t n) { return ElementAllocBody(n, 4); }
void* ImgMalloc16(int32_t n) { return ElementAllocBody(n, 2); }

u8* ImgAllocImage8(int32_t width, int32_t height, int32_t* step) {
  return static_cast<u8*>(ImageAllocBody(width, height, step, 1));
}
u16* ImgAllocImage16(int32_t width, int32_t height, int32_t* step) {
  return static_cast<u16*>(ImageAllocBody(width, height, step, 2));
}
u32* ImgAllocImage32(int32_t width, int32_t height, int32_t* step) {
  return static_cast<u32*>(ImageAllocBody(width, height, step, 4));
}
void ImgFreeImage(void* image) { AlignedFreeBody(image); }

}  // namespace img::level4
