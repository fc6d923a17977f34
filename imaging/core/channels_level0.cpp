// Level 0 (and level 1) of the channel reorder and channel copy routines: pixel loops.
#include "imaging/core/channels.h"

ImgStatus ImgReorderU8C3ToC4Level0(const u8* src, int32_t srcStep, u8* dst, int32_t dstStep, ImgSize size,
                                   const ImgChannelOrder* order, u8 value) {
  ImgStatus s = CheckReorderU8C3ToC4(src, dst, size, order);
  if (s != IMG_OK) return s;
  for (s64 i = 0; i < size.height; ++i)
    ReorderPixelsU8C3ToC4(src + i * srcStep, dst + i * dstStep, size.width, order->c, value);
  return IMG_OK;
}

ImgStatus ImgCopyU8C4ToC3Level0(const u8* src, int32_t srcStep, u8* dst, int32_t dstStep, ImgSize size) {
  ImgStatus s = CheckCopyU8C4ToC3(src, dst, size);
  if (s != IMG_OK) return s;
  for (s64 i = 0; i < size.height; ++i) CopyPixelsU8C4ToC3(src + i * srcStep, dst + i * dstStep, size.width);
  return IMG_OK;
}

ImgStatus ImgReorderInPlaceU8C4Level0(u8* srcDst, int32_t step, ImgSize size, const ImgChannelOrder* order) {
  ImgStatus s = CheckReorderInPlaceU8C4(srcDst, step, size, order);
  if (s != IMG_OK) return s;
  for (s64 i = 0; i < size.height; ++i) ReorderPixelsInPlaceU8C4(srcDst + i * step, size.width, order->c);
  return IMG_OK;
}
