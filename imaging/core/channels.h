// Argument checks and per-pixel loops of the channel routines, shared by level 0 and
// the scalar parts of the vector levels. Internal linkage: each unit has its own copy.
#pragma once

#include "imaging/img.h"

namespace {

inline ImgStatus CheckReorderU8C3ToC4(const u8* src, u8* dst, ImgSize size, const ImgChannelOrder* order) {
  if (!src || !dst || !order) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  for (int k = 0; k < 4; ++k)
    if (order->c[k] < 0) return IMG_ERR_CHANNEL_ORDER;
  return IMG_OK;
}

inline ImgStatus CheckCopyU8C4ToC3(const u8* src, u8* dst, ImgSize size) {
  if (!src || !dst) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  return IMG_OK;
}

inline ImgStatus CheckReorderInPlaceU8C4(u8* srcDst, int32_t step, ImgSize size, const ImgChannelOrder* order) {
  if (!srcDst || !order) return IMG_ERR_NULL;
  if (step <= 0) return IMG_ERR_STEP;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  for (int k = 0; k < 4; ++k)
    if (order->c[k] < 0 || order->c[k] > 3) return IMG_ERR_CHANNEL_ORDER;
  return IMG_OK;
}

// n pixels of one row: entries 0..2 copy that input channel, 3 writes value, 4 or more
// leave the output byte as it was.
inline void ReorderPixelsU8C3ToC4(const u8* s, u8* d, s64 n, const int32_t* order, u8 value) {
  if (order[0] >= 4 && order[1] == 0 && order[2] == 1 && order[3] == 2) {
    // The common order: the three input bytes behind an untouched first byte.
    for (s64 x = 0; x < n; ++x, s += 3, d += 4) {
      d[1] = s[0];
      d[2] = s[1];
      d[3] = s[2];
    }
    return;
  }
  for (s64 x = 0; x < n; ++x, s += 3, d += 4)
    for (int k = 0; k < 4; ++k) {
      if (order[k] <= 2)
        d[k] = s[order[k]];
      else if (order[k] == 3)
        d[k] = value;
    }
}

inline void CopyPixelsU8C4ToC3(const u8* s, u8* d, s64 n) {
  for (s64 x = 0; x < n; ++x, s += 4, d += 3) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
  }
}

// All four old bytes are read before any is written, so repeated channels are safe.
inline void ReorderPixelsInPlaceU8C4(u8* p, s64 n, const int32_t* order) {
  for (s64 x = 0; x < n; ++x, p += 4) {
    const u8 old[4] = {p[0], p[1], p[2], p[3]};
    for (int k = 0; k < 4; ++k) p[k] = old[order[k]];
  }
}

}  // namespace
