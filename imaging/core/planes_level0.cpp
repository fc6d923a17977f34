// Level 0 of the plane interleave and deinterleave routines: byte loops, with gap-free
// pictures processed as one long row.
#include "imaging/core/planes.h"

namespace {

template <int C>
ImgStatus Interleave(const u8* const* planes, int32_t srcStep, u8* dst, int32_t dstStep, ImgSize size) {
  ImgStatus s = CheckInterleave<C>(planes, dst, size);
  if (s != IMG_OK) return s;
  if (Contiguous<C>(srcStep, dstStep, size)) {
    InterleavePixels<C>(planes, 0, dst, s64(size.width) * size.height);
    return IMG_OK;
  }
  for (s64 i = 0; i < size.height; ++i) InterleavePixels<C>(planes, i * srcStep, dst + i * dstStep, size.width);
  return IMG_OK;
}

template <int C>
ImgStatus Deinterleave(const u8* src, int32_t srcStep, u8* const* planes, int32_t dstStep, ImgSize size) {
  ImgStatus s = CheckDeinterleave<C>(src, planes, size);
  if (s != IMG_OK) return s;
  // Only small pictures are merged into one row: large ones stay row by row so each
  // plane's row is still in the cache when the next plane reads the same source row.
  if (Contiguous<C>(dstStep, srcStep, size) && s64(srcStep) * size.height < 160000) {
    DeinterleavePixels<C>(src, planes, 0, s64(size.width) * size.height);
    return IMG_OK;
  }
  for (s64 i = 0; i < size.height; ++i) DeinterleavePixels<C>(src + i * srcStep, planes, i * dstStep, size.width);
  return IMG_OK;
}

}  // namespace

ImgStatus ImgInterleaveU8C3Level0(const u8* const planes[3], int32_t srcStep, u8* dst, int32_t dstStep, ImgSize size) {
  return Interleave<3>(planes, srcStep, dst, dstStep, size);
}
ImgStatus ImgInterleaveU8C4Level0(const u8* const planes[4], int32_t srcStep, u8* dst, int32_t dstStep, ImgSize size) {
  return Interleave<4>(planes, srcStep, dst, dstStep, size);
}
ImgStatus ImgDeinterleaveU8C3Level0(const u8* src, int32_t srcStep, u8* const planes[3], int32_t dstStep,
                                    ImgSize size) {
  return Deinterleave<3>(src, srcStep, planes, dstStep, size);
}
ImgStatus ImgDeinterleaveU8C4Level0(const u8* src, int32_t srcStep, u8* const planes[4], int32_t dstStep,
                                    ImgSize size) {
  return Deinterleave<4>(src, srcStep, planes, dstStep, size);
}
