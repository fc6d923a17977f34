// Level 0 of the in-place mirror routines: plain pixel exchanges, with the row exchange
// of the 1- and 2-byte forms done in 16-byte blocks.
#include <emmintrin.h>

#include "imaging/img.h"

namespace {

inline u8* Row(u8* base, int32_t step, s64 i) { return base + i * step; }

template <int P>
inline void SwapPixel(u8* a, u8* b) {
  for (int k = 0; k < P; ++k) {
    u8 t = a[k];
    a[k] = b[k];
    b[k] = t;
  }
}

template <int P>
void SwapRowsPixelwise(u8* a, u8* b, s64 width) {
  for (s64 j = 0; j < width; ++j) SwapPixel<P>(a + j * P, b + j * P);
}

// Rows of 1- and 2-byte pixels: 16-byte blocks aligned on the top row when the rows do
// not overlap and the row holds at least the head and one block.
template <int P>
void SwapRowsBlocked(u8* top, u8* bottom, s64 width) {
  const s64 bytes = width * P;
  const bool overlap = !(top > bottom + bytes || bottom > top + bytes);
  const s64 head = s64(size_t(-reinterpret_cast<uintptr_t>(top)) & 15) / P;
  if (overlap || (P == 2 && (reinterpret_cast<uintptr_t>(top) & 1)) || width < head + 16 / P) {
    SwapRowsPixelwise<P>(top, bottom, width);
    return;
  }
  SwapRowsPixelwise<P>(top, bottom, head);
  s64 k = head * P;
  for (; k + 16 <= bytes; k += 16) {
    __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(top + k));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + k));
    _mm_store_si128(reinterpret_cast<__m128i*>(top + k), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bottom + k), a);
  }
  SwapRowsPixelwise<P>(top + k, bottom + k, (bytes - k) / P);
}

template <int P>
void ReverseRow(u8* row, s64 width) {
  for (s64 j = 0; j < width / 2; ++j) SwapPixel<P>(row + j * P, row + (width - 1 - j) * P);
}

template <int P>
ImgStatus Mirror(u8* base, int32_t step, ImgSize size, ImgMirrorAxis axis) {
  if (!base) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  if (axis < 0 || axis > 2) return IMG_ERR_MIRROR_AXIS;
  if ((axis == IMG_MIRROR_TOP_BOTTOM || axis == IMG_MIRROR_BOTH) && size.height < 2) return IMG_ERR_SIZE;
  if ((axis == IMG_MIRROR_LEFT_RIGHT || axis == IMG_MIRROR_BOTH) && size.width < 2) return IMG_ERR_SIZE;
  const s64 w = size.width, h = size.height;
  if (axis == IMG_MIRROR_TOP_BOTTOM) {
    for (s64 i = 0; i < h / 2; ++i) {
      if constexpr (P <= 2)
        SwapRowsBlocked<P>(Row(base, step, i), Row(base, step, h - 1 - i), w);
      else
        SwapRowsPixelwise<P>(Row(base, step, i), Row(base, step, h - 1 - i), w);
    }
  } else if (axis == IMG_MIRROR_LEFT_RIGHT) {
    for (s64 i = 0; i < h; ++i) ReverseRow<P>(Row(base, step, i), w);
  } else {
    for (s64 i = 0; i < h / 2; ++i) {
      u8* top = Row(base, step, i);
      u8* bottom = Row(base, step, h - 1 - i);
      for (s64 j = 0; j < w; ++j) SwapPixel<P>(top + j * P, bottom + (w - 1 - j) * P);
    }
    if (h & 1) ReverseRow<P>(Row(base, step, h / 2), w);
  }
  return IMG_OK;
}

}  // namespace

ImgStatus ImgMirrorInPlaceU8C1Level0(u8* srcDst, int32_t step, ImgSize size, ImgMirrorAxis axis) {
  return Mirror<1>(srcDst, step, size, axis);
}
ImgStatus ImgMirrorInPlaceU16C1Level0(u16* srcDst, int32_t step, ImgSize size, ImgMirrorAxis axis) {
  return Mirror<2>(reinterpret_cast<u8*>(srcDst), step, size, axis);
}
ImgStatus ImgMirrorInPlaceU8C3Level0(u8* srcDst, int32_t step, ImgSize size, ImgMirrorAxis axis) {
  return Mirror<3>(srcDst, step, size, axis);
}
ImgStatus ImgMirrorInPlaceU8C4Level0(u8* srcDst, int32_t step, ImgSize size, ImgMirrorAxis axis) {
  return Mirror<4>(srcDst, step, size, axis);
}
