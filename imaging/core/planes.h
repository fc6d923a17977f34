// Argument checks and byte loops of the plane interleave routines, shared by level 0 and
// the scalar parts of the vector levels. Internal linkage: each unit has its own copy.
#pragma once

#include "imaging/img.h"

namespace {

template <int C>
inline ImgStatus CheckInterleave(const u8* const* planes, const u8* dst, ImgSize size) {
  if (!planes || !dst) return IMG_ERR_NULL;
  for (int c = 0; c < C; ++c)
    if (!planes[c]) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  return IMG_OK;
}

template <int C>
inline ImgStatus CheckDeinterleave(const u8* src, u8* const* planes, ImgSize size) {
  if (!src || !planes) return IMG_ERR_NULL;
  for (int c = 0; c < C; ++c)
    if (!planes[c]) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  return IMG_OK;
}

// Gap-free rows: the planes' step is the width and the interleaved step C times it.
template <int C>
inline bool Contiguous(int32_t planeStep, int32_t pixelStep, ImgSize size) {
  return planeStep == size.width && s64(pixelStep) == s64(size.width) * C;
}

template <int C>
inline void InterleavePixels(const u8* const* p, s64 offset, u8* d, s64 n) {
  for (s64 x = 0; x < n; ++x)
    for (int c = 0; c < C; ++c) d[C * x + c] = p[c][offset + x];
}

// Plane by plane over the row, as the reference does.
template <int C>
inline void DeinterleavePixels(const u8* s, u8* const* p, s64 offset, s64 n) {
  for (int c = 0; c < C; ++c)
    for (s64 x = 0; x < n; ++x) p[c][offset + x] = s[C * x + c];
}

}  // namespace
