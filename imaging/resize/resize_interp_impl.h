// The interpolating engine (nearest, linear, cubic, Lanczos-3 over every element kind and
// layout) and the 8-bit one-channel nearest and linear rows behind it.
#pragma once

#include <utility>

#include "imaging/resize/resize_common_impl.h"
#include "imaging/resize/resize_lanczos_impl.h"

#if RESIZE_LEVEL >= 2
#include <tmmintrin.h>
#elif RESIZE_LEVEL >= 1
#include <emmintrin.h>
#endif

namespace {

using LanczosWeightsFn = void (*)(const float* frac, int32_t n, ResizeTap6Weights* out);

// ---- 8-bit one-channel rows -------------------------------------------------------

inline void NearestRowsU8C1(const u8* src, u8* dst, int32_t dstStep, int32_t dstW, int32_t dstH,
                            const int32_t* rowOffsets, const int32_t* colOffsets) {
  for (int32_t i = 0; i < dstH; ++i) {
    const u8* row = src + rowOffsets[i];
    for (int32_t x = 0; x < dstW; ++x) dst[x] = row[colOffsets[x]];
    dst += dstStep;
  }
}

// One source row filtered to the destination width, as 64 x the blended sample.
inline void LinearHorzKernelU8C1(const u8* row, int32_t n, const int32_t* colOffsets, const u16* colWeights,
                                 u16* out) {
  for (int32_t i = 0; i < n; ++i) {
    int32_t k = colOffsets[i];
    u32 w0 = colWeights[2 * i], w1 = colWeights[2 * i + 1];
    out[i] = u16((w1 * row[k + 1] + w0 * row[k] + 128u) >> 8);
  }
}

inline int32_t LinearVertKernelU8(u8* dstRow, int32_t n, u32 w, const u16* upper, const u16* lower) {
  for (int32_t i = 0; i < n; ++i) dstRow[i] = u8((w * lower[i] + (16384u - w) * upper[i] + 0x80000u) >> 20);
  return n;
}

#if RESIZE_LEVEL >= 1
// Both operands fit signed 16 bits (work values <= 255 x 64, weights <= 16384) and the
// products' sum stays below 2^31, so the multiply-add gives the exact unsigned result.
inline int32_t LinearVertKernelU8Vec(u8* dstRow, int32_t n, u32 w, const u16* upper, const u16* lower) {
  const __m128i wv = _mm_set1_epi32(int32_t((w << 16) | (16384u - w)));
  const __m128i rnd = _mm_set1_epi32(0x80000);
  int32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(upper + i));
    __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lower + i));
    __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(upper + i + 8));
    __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lower + i + 8));
    __m128i p0 = _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a0, b0), wv), rnd), 20);
    __m128i p1 = _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a0, b0), wv), rnd), 20);
    __m128i p2 = _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a1, b1), wv), rnd), 20);
    __m128i p3 = _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a1, b1), wv), rnd), 20);
    __m128i r = _mm_packus_epi16(_mm_packs_epi32(p0, p1), _mm_packs_epi32(p2, p3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dstRow + i), r);
  }
  for (; i < n; ++i) dstRow[i] = u8((w * lower[i] + (16384u - w) * upper[i] + 0x80000u) >> 20);
  return n;
}

#if RESIZE_LEVEL >= 2
// Blends of a pair of source rows, read as a base row plus a rounded step towards the
// other row. With w below one half the base is the upper row and the step
// floor(((lo - up) * w + 8192) / 16384); above one half the base is the lower row and the
// step floor(((up - lo) * (16384 - w) + 8192) / 16384). Either step lies in -127 .. 127,
// and the rounding multiply by 2w (or -2(16384 - w)) gives it exactly, so the steps are
// packed to bytes and added to the base bytes; the true result is a byte, so the wrapping
// add is exact. The difference lo - up comes from one multiply-add of the interleaved
// bytes, so a pair of rows costs one difference and one multiply per destination row.
struct DirectBlend {
  __m128i mul;
  bool fromLower;
};

inline DirectBlend DirectBlendFor(u32 w) {
  if (w < 8192u) return {_mm_set1_epi16(int16_t(2 * w)), false};
  return {_mm_set1_epi16(int16_t(-2 * int32_t(16384u - w))), true};
}

inline u8 DirectBlendScalar(u32 w, u8 up, u8 lo) { return u8((w * lo + (16384u - w) * up + 8192u) >> 14); }

// kRows destination rows (1 or 2) between the same source rows; kLower<k> tells whether
// row k's base is the lower row. Weights strictly between 0 and 16384, not one half.
template <int kRows, bool kLower0, bool kLower1>
inline void DirectBlendRows(u8* d0, u8* d1, int32_t n, u32 w0, u32 w1, const u8* up, const u8* lo) {
  const __m128i m0 = DirectBlendFor(w0).mul, m1 = kRows == 2 ? DirectBlendFor(w1).mul : m0;
  const __m128i signs = _mm_set1_epi16(0x01FF);  // bytes -1, +1: up * -1 + lo * +1
  auto block = [&](int32_t at) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(up + at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo + at));
    const __m128i dl = _mm_maddubs_epi16(_mm_unpacklo_epi8(a, b), signs);
    const __m128i dh = _mm_maddubs_epi16(_mm_unpackhi_epi8(a, b), signs);
    __m128i s0 = _mm_packs_epi16(_mm_mulhrs_epi16(dl, m0), _mm_mulhrs_epi16(dh, m0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d0 + at), _mm_add_epi8(kLower0 ? b : a, s0));
    if constexpr (kRows == 2) {
      __m128i s1 = _mm_packs_epi16(_mm_mulhrs_epi16(dl, m1), _mm_mulhrs_epi16(dh, m1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d1 + at), _mm_add_epi8(kLower1 ? b : a, s1));
    }
  };
  if (n < 16) {
    for (int32_t i = 0; i < n; ++i) {
      d0[i] = DirectBlendScalar(w0, up[i], lo[i]);
      if constexpr (kRows == 2) d1[i] = DirectBlendScalar(w1, up[i], lo[i]);
    }
    return;
  }
  int32_t i = 0;
  for (; i + 64 <= n; i += 64) {
    block(i);
    block(i + 16);
    block(i + 32);
    block(i + 48);
  }
  for (; i + 16 <= n; i += 16) block(i);
  // The last block overlaps the one before: its bytes are recomputed with the same values.
  if (i < n) block(n - 16);
}

// One destination row: a copy at weight 0 or 16384, the byte average at one half
// (floor((up + lo + 1) / 2) is the blend there), else the base-and-step blend.
inline void LinearVertDirectU8(u8* dstRow, int32_t n, u32 w, const u8* up, const u8* lo) {
  if (w == 0 || w == 16384) {
    __builtin_memcpy(dstRow, w == 0 ? up : lo, size_t(n));
  } else if (w == 8192) {
    int32_t i = 0;
    for (; i + 16 <= n; i += 16)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dstRow + i),
                       _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(up + i)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo + i))));
    for (; i < n; ++i) dstRow[i] = u8((up[i] + lo[i] + 1) >> 1);
  } else if (w < 8192) {
    DirectBlendRows<1, false, false>(dstRow, nullptr, n, w, w, up, lo);
  } else {
    DirectBlendRows<1, true, false>(dstRow, nullptr, n, w, w, up, lo);
  }
}

// Two destination rows between the same source rows share the loads and the difference.
// Returns false, having done nothing, when a weight needs the single-row forms.
inline bool LinearVertDirectU8x2(u8* d0, u8* d1, int32_t n, u32 w0, u32 w1, const u8* up, const u8* lo) {
  auto blendable = [](u32 w) { return w != 0 && w != 8192 && w < 16384; };
  if (!blendable(w0) || !blendable(w1)) return false;
  const bool l0 = w0 > 8192, l1 = w1 > 8192;
  if (!l0 && !l1)
    DirectBlendRows<2, false, false>(d0, d1, n, w0, w1, up, lo);
  else if (!l0)
    DirectBlendRows<2, false, true>(d0, d1, n, w0, w1, up, lo);
  else if (!l1)
    DirectBlendRows<2, true, false>(d0, d1, n, w0, w1, up, lo);
  else
    DirectBlendRows<2, true, true>(d0, d1, n, w0, w1, up, lo);
  return true;
}
#endif

// At a horizontal factor of 1 every column takes its own sample whole, so the pass is
// exactly 64 x the row.
inline bool LinearColumnsAreIdentity(int32_t n, const int32_t* colOffsets, const u16* colWeights) {
  for (int32_t i = 0; i < n; ++i) {
    bool own = colOffsets[i] == i && colWeights[2 * i] == 16384 && colWeights[2 * i + 1] == 0;
    bool left = colOffsets[i] == i - 1 && colWeights[2 * i] == 0 && colWeights[2 * i + 1] == 16384;
    if (!own && !left) return false;
  }
  return true;
}

#if RESIZE_LEVEL == 1
// With the columns an identity the two passes reduce to one blend of source bytes:
// floor(((16384 - w) * up + w * lo) / 16384 + 1/2), exactly what the work rows give.
inline void LinearVertDirectU8(u8* dstRow, int32_t n, u32 w, const u8* up, const u8* lo) {
  if (w == 0 || w == 16384) {
    __builtin_memcpy(dstRow, w == 0 ? up : lo, size_t(n));
    return;
  }
  const __m128i zero = _mm_setzero_si128();
  int32_t i = 0;
  const __m128i wv = _mm_set1_epi32(int32_t((w << 16) | (16384u - w)));
  const __m128i rnd = _mm_set1_epi32(8192);
  for (; i + 16 <= n; i += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(up + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo + i));
    __m128i l = _mm_unpacklo_epi8(a, b), h = _mm_unpackhi_epi8(a, b);
    __m128i p0 = _mm_madd_epi16(_mm_unpacklo_epi8(l, zero), wv);
    __m128i p1 = _mm_madd_epi16(_mm_unpackhi_epi8(l, zero), wv);
    __m128i p2 = _mm_madd_epi16(_mm_unpacklo_epi8(h, zero), wv);
    __m128i p3 = _mm_madd_epi16(_mm_unpackhi_epi8(h, zero), wv);
    p0 = _mm_srli_epi32(_mm_add_epi32(p0, rnd), 14);
    p1 = _mm_srli_epi32(_mm_add_epi32(p1, rnd), 14);
    p2 = _mm_srli_epi32(_mm_add_epi32(p2, rnd), 14);
    p3 = _mm_srli_epi32(_mm_add_epi32(p3, rnd), 14);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dstRow + i),
                     _mm_packus_epi16(_mm_packs_epi32(p0, p1), _mm_packs_epi32(p2, p3)));
  }
  for (; i < n; ++i) dstRow[i] = u8((w * lo[i] + (16384u - w) * up[i] + 8192u) >> 14);
}
#endif

#endif

// Two work rows hold the filtered upper (offset v) and lower (v + srcStep) rows of the
// current pair; a pair that moves by one row keeps its lower row as the new upper one.
inline void LinearRowsU8C1(const u8* src, u8* dst, int32_t srcStep, int32_t dstStep, int32_t dstW, int32_t dstH,
                           const int32_t* rowOffsets, const int32_t* colOffsets, const u16* rowWeights,
                           const u16* colWeights, u16* rowBuf0, u16* rowBuf1) {
#if RESIZE_LEVEL >= 1
  const bool identity = LinearColumnsAreIdentity(dstW, colOffsets, colWeights);
  if (identity) {
    for (int32_t i = 0; i < dstH; ++i, dst += dstStep) {
      const u8* up = src + rowOffsets[i];
#if RESIZE_LEVEL >= 2
      // Two destination rows between the same source rows share the loads.
      if (i + 1 < dstH && rowOffsets[i + 1] == rowOffsets[i] &&
          LinearVertDirectU8x2(dst, dst + dstStep, dstW, rowWeights[i], rowWeights[i + 1], up, up + srcStep)) {
        ++i;
        dst += dstStep;
        continue;
      }
#endif
      LinearVertDirectU8(dst, dstW, rowWeights[i], up, up + srcStep);
    }
    return;
  }
#endif
  auto horz = [&](const u8* row, u16* out) { LinearHorzKernelU8C1(row, dstW, colOffsets, colWeights, out); };
  u16* upper = rowBuf0;
  u16* lower = rowBuf1;
  horz(src + rowOffsets[0], lower);
  int64_t pos = srcStep > 0 ? int64_t(rowOffsets[0]) - 1 : int64_t(rowOffsets[0]) + 1;
  for (int32_t i = 0; i < dstH; ++i) {
    int64_t v = rowOffsets[i];
    bool moved = srcStep > 0 ? v > pos : v < pos;
    if (moved) {
      std::swap(upper, lower);
      horz(src + v + srcStep, lower);
      bool jumped = srcStep > 0 ? v > pos + srcStep : v < pos + srcStep;
      if (jumped) horz(src + v, upper);
      pos = v;
    }
#if RESIZE_LEVEL >= 1
    LinearVertKernelU8Vec(dst, dstW, rowWeights[i], upper, lower);
#else
    LinearVertKernelU8(dst, dstW, rowWeights[i], upper, lower);
#endif
    dst += dstStep;
  }
}

// Table entries: the untyped call forms of the routines above.
inline void NearestRowsU8C1Entry(const void* src, void* dst, int32_t dstStep, int32_t dstW, int32_t dstH,
                                 const int32_t* rowOffsets, const int32_t* colOffsets, int32_t) {
  NearestRowsU8C1(static_cast<const u8*>(src), static_cast<u8*>(dst), dstStep, dstW, dstH, rowOffsets, colOffsets);
}
inline void LinearRowsU8C1Entry(const void* src, void* dst, int32_t srcStep, int32_t dstStep, int32_t dstW,
                                int32_t dstH, const int32_t* rowOffsets, const int32_t* colOffsets,
                                const void* rowWeights, const void* colWeights, void* rowBuf0, void* rowBuf1,
                                int32_t, int32_t) {
  LinearRowsU8C1(static_cast<const u8*>(src), static_cast<u8*>(dst), srcStep, dstStep, dstW, dstH, rowOffsets,
                 colOffsets, static_cast<const u16*>(rowWeights), static_cast<const u16*>(colWeights),
                 static_cast<u16*>(rowBuf0), static_cast<u16*>(rowBuf1));
}

// ---- the engine -------------------------------------------------------------------

// Source index and weight of one destination row or column, before the tables' form.
struct AxisTap {
  int32_t base;
  double frac;
};

// Maps destination positions 0 .. count-1 of one axis onto the source. `first` and
// `last` are the region-relative indexes of the image's first and last sample on this
// axis, so that every tap can be kept inside the image, not only inside the region.
struct AxisPlan {
  double start;
  double step;
  int32_t roiOrigin;
  int32_t first;  // -roiOrigin
  int32_t last;   // image extent - roiOrigin - 1
};

inline AxisPlan PlanAxis(int32_t interp, int32_t mappingFlag, int32_t n, double f, double shift, int32_t origin,
                         int32_t extent) {
  AxisPlan p;
  if (mappingFlag) {
    if (interp == IMG_INTERP_NEAREST) {
      p.step = 1.0 / f;
      p.start = 0.5 / f;
    } else {
      double nf = double(n) * f;
      p.step = nf > 1.0 ? double(n - 1) / (nf - 1.0) : 0.0;
      p.start = 0.0;
    }
  } else {
    p.step = f;
    p.start = interp == IMG_INTERP_NEAREST ? 0.5 * f : 0.0;
  }
  p.start += shift;
  p.roiOrigin = origin;
  p.first = -origin;
  p.last = extent - origin - 1;
  return p;
}

inline ImgStatus SizeByStep(int32_t interp, int32_t n, double f, int32_t limit, int32_t* out) {
  double v = interp == IMG_INTERP_NEAREST ? double(n) / f + kSnap : double(n - 1) / f + kSnap;
  double c = v >= 2147483646.0 ? 2147483646.0 : double(int64_t(v < 0 ? 0 : v));
  if (interp != IMG_INTERP_NEAREST) c += 1.0;
  if (c < 1.0) c = 1.0;
  *out = c >= double(limit) ? limit : int32_t(c);
  return IMG_OK;
}

inline int32_t ElementSize(int32_t kind) {
  switch (kind) {
    case IMG_ELEM_U16:
    case IMG_ELEM_S16:
      return 2;
    case IMG_ELEM_F32:
      return 4;
    default:
      return 1;
  }
}

inline ImgStatus InterpolateEngine(const ResizeRowTableLayout& table, LanczosWeightsFn lanczosWeights,
                                   const void* src, int32_t srcWidth, int32_t srcHeight, int32_t srcStep,
                                   const ImgRect* srcRoi, void* dst, int32_t dstStep, ImgSize dstRoiSize,
                                   double xFactor, double yFactor, double xShift, double yShift,
                                   int32_t pixelStep, int32_t channels, int32_t kind, int32_t planar,
                                   int32_t interpolation, int32_t mappingFlag) {
  // 1. Checks, in the library's order.
  if (!src || !dst || !srcRoi) return IMG_ERR_NULL;
  if (srcWidth <= 0 || srcHeight <= 0) return IMG_ERR_SIZE;
  ImgRect roi = *srcRoi;
  if (roi.x < 0 || roi.y < 0 || roi.width <= 0 || roi.height <= 0) return IMG_ERR_SIZE;
  if (roi.x >= srcWidth || roi.y >= srcHeight) return IMG_WARN_ROI_OUTSIDE;
  if (dstRoiSize.width <= 0 || dstRoiSize.height <= 0) return IMG_ERR_SIZE;
  if (!(xFactor > 0.0) || !(yFactor > 0.0)) return IMG_ERR_RESIZE_FACTOR;
  int32_t interp = interpolation;
  if (interp != IMG_INTERP_NEAREST && interp != IMG_INTERP_LINEAR && interp != IMG_INTERP_CUBIC &&
      interp != IMG_INTERP_LANCZOS3)
    return IMG_ERR_INTERPOLATION;
  if (kind < IMG_ELEM_U8 || kind > IMG_ELEM_S16) return IMG_ERR_INTERPOLATION;

  // 2. Small images cannot feed the wider kernels.
  if ((srcWidth < 8 || srcHeight < 8) && interp == IMG_INTERP_LANCZOS3) interp = IMG_INTERP_CUBIC;
  if ((srcWidth < 4 || srcHeight < 4) && interp == IMG_INTERP_CUBIC) interp = IMG_INTERP_LINEAR;
  if (srcWidth < 2 || srcHeight < 2) interp = IMG_INTERP_NEAREST;
  // Signed 16-bit samples have no cubic or Lanczos-3 rows.
  if (kind == IMG_ELEM_S16 && (interp == IMG_INTERP_CUBIC || interp == IMG_INTERP_LANCZOS3))
    return IMG_ERR_INTERPOLATION;

  // 3. Clip.
  const int32_t n = roi.width < srcWidth - roi.x ? roi.width : srcWidth - roi.x;
  const int32_t m = roi.height < srcHeight - roi.y ? roi.height : srcHeight - roi.y;

  // 4. Destination size, width first.
  int32_t dstW = 0, dstH = 0;
  if (mappingFlag) {
    bool raised;
    ImgStatus st = SizeByProduct(n, xFactor, dstRoiSize.width, 1, 0.5, &dstW, &raised);
    if (st != IMG_OK) return st;
    st = SizeByProduct(m, yFactor, dstRoiSize.height, 1, 0.5, &dstH, &raised);
    if (st != IMG_OK) return st;
  } else {
    SizeByStep(interp, n, xFactor, dstRoiSize.width, &dstW);
    SizeByStep(interp, m, yFactor, dstRoiSize.height, &dstH);
  }

  // 8 (chosen early so that a missing routine costs no memory). Slot = group base + kind.
  const bool oneChannel = channels == 1 || planar;
  ResizeNearestRowsFn nearestFn = nullptr;
  ResizeLinearRowsFn linearFn = nullptr;
  ResizeCubicRowsFn cubicFn = nullptr;
  ResizeLanczosRowsFn lanczosFn = nullptr;
  switch (interp) {
    case IMG_INTERP_NEAREST:
      nearestFn = table.nearest[(oneChannel ? 4 : (channels == 4 ? 8 : 0)) + kind];
      break;
    case IMG_INTERP_LINEAR:
      linearFn = table.linear[(oneChannel ? 4 : 0) + kind];
      break;
    case IMG_INTERP_CUBIC:
      cubicFn = table.cubic[(oneChannel ? 3 : 0) + kind];
      break;
    default:
      lanczosFn = table.lanczos[(oneChannel ? 3 : 0) + kind];
      break;
  }
  if (!nearestFn && !linearFn && !cubicFn && !lanczosFn) return IMG_ERR_INTERPOLATION;

  // Steps in elements; offsets must fit the 32-bit tables.
  const int32_t elemSize = ElementSize(kind);
  const int32_t shift = elemSize == 2 ? 1 : (elemSize == 4 ? 2 : 0);
  const int32_t srcStepE = srcStep >> shift;
  const int32_t dstStepE = dstStep >> shift;
  const int64_t colScale = (oneChannel ? 1 : pixelStep);
  const int64_t absStep = srcStepE < 0 ? -int64_t(srcStepE) : int64_t(srcStepE);
  if (int64_t(srcHeight) * absStep > INT32_MAX || int64_t(srcWidth) * (colScale < 0 ? -colScale : colScale) > INT32_MAX)
    return IMG_ERR_NO_MEMORY;

  // 7. Memory, in order; each table is filled once its memory exists.
  enum { kRowOff, kColOff, kRowW, kColW, kColRec, kRowRec, kBuf0 };
  WorkBlocks<kBuf0 + 6> blocks;
  void** b = blocks.p;
  const bool integerLinear = interp == IMG_INTERP_LINEAR && kind != IMG_ELEM_F32;
  int64_t rowLen;
  if (oneChannel)
    rowLen = int64_t(dstW) + 4;
  else if (channels == 3)
    rowLen = 3 * int64_t(dstW) + 12;
  else
    rowLen = 4 * int64_t(dstW) + 16;
  int32_t nBufs = interp == IMG_INTERP_LINEAR ? 2 : (interp == IMG_INTERP_CUBIC ? 4 : (interp == IMG_INTERP_LANCZOS3 ? 6 : 0));

  if (!(b[kRowOff] = WorkAlloc32(dstH)) || !(b[kColOff] = WorkAlloc32(dstW))) return IMG_ERR_NO_MEMORY;
  if (interp != IMG_INTERP_NEAREST) {
    if (integerLinear) {
      if (!(b[kRowW] = WorkAlloc16(dstH)) || !(b[kColW] = WorkAlloc16(2 * int64_t(dstW)))) return IMG_ERR_NO_MEMORY;
    } else {
      if (!(b[kRowW] = WorkAlloc32(dstH)) || !(b[kColW] = WorkAlloc32(dstW))) return IMG_ERR_NO_MEMORY;
    }
  }
  if (interp == IMG_INTERP_LANCZOS3) {
    if (!(b[kColRec] = WorkAlloc32(6 * int64_t(dstW))) || !(b[kRowRec] = WorkAlloc32(6 * int64_t(dstH))))
      return IMG_ERR_NO_MEMORY;
  }
  for (int32_t k = 0; k < nBufs; ++k) {
    b[kBuf0 + k] = integerLinear ? WorkAlloc16(rowLen) : WorkAlloc32(rowLen);
    if (!b[kBuf0 + k]) return IMG_ERR_NO_MEMORY;
  }

  // 5, 6. Positions by repeated addition; indexes and weights per group.
  int32_t* rowOffsets = static_cast<int32_t*>(b[kRowOff]);
  int32_t* colOffsets = static_cast<int32_t*>(b[kColOff]);
  const AxisPlan py = PlanAxis(interp, mappingFlag, m, yFactor, yShift, roi.y, srcHeight);
  const AxisPlan px = PlanAxis(interp, mappingFlag, n, xFactor, xShift, roi.x, srcWidth);

  // One instance per kind, so that the kind is not decided again for every position.
  auto fill = [&]<int32_t kInterp>(const AxisPlan& p, int32_t count, int32_t* offsets, int64_t scale, void* weights,
                                   bool columns) {
    if constexpr (kInterp == IMG_INTERP_LINEAR) {
      // A factor of 1 on this axis: the positions are whole numbers, so every base is its
      // own index with nothing on its right-hand neighbour, up to the image's last sample,
      // past which the last pair puts everything on the last. The loop below gives the
      // same entries one position at a time.
      if (p.step == 1.0 && p.start == 0.0) {
        const int32_t whole = count < p.last ? count : p.last;
        const u16 w0 = 0, w1 = 16384;
        for (int32_t i = 0; i < count; ++i) {
          const bool full = i >= whole;
          offsets[i] = int32_t(int64_t(full ? p.last - 1 : i) * scale);
          if (kind == IMG_ELEM_F32) {
            static_cast<float*>(weights)[i] = full ? 1.0f : 0.0f;
          } else if (columns) {
            static_cast<u16*>(weights)[2 * i] = full ? w0 : w1;
            static_cast<u16*>(weights)[2 * i + 1] = full ? w1 : w0;
          } else {
            static_cast<u16*>(weights)[i] = full ? w1 : w0;
          }
        }
        return;
      }
    }
    double pos = p.start;
    for (int32_t i = 0; i < count; ++i, pos += p.step) {
      int32_t j = BaseIndex(pos);
      switch (kInterp) {
        case IMG_INTERP_NEAREST:
          j = ClampIndex(j, p.first, p.last);
          break;
        case IMG_INTERP_LINEAR: {
          // A base at or past the image's last sample pairs the one before it with the
          // last, all weight on the last.
          double t = pos - double(j);
          bool full = false;
          if (j >= p.last) {
            j = p.last - 1;
            full = true;
          } else if (j < p.first) {
            j = p.first;
            t = 0.0;
          }
          if (kind == IMG_ELEM_F32) {
            static_cast<float*>(weights)[i] = full ? 1.0f : float(t);
          } else {
            u16 w = full ? u16(16384) : u16(int32_t(t * 16384.0 + kSnap));
            if (columns) {
              static_cast<u16*>(weights)[2 * i] = u16(16384 - w);
              static_cast<u16*>(weights)[2 * i + 1] = w;
            } else {
              static_cast<u16*>(weights)[i] = w;
            }
          }
          break;
        }
        case IMG_INTERP_CUBIC: {
          float t;
          if (j >= p.last) {
            j = p.last - 2;
            t = 2.0f;
          } else if (j <= p.first) {
            j = p.first + 1;
            t = float(pos - double(j));
          } else if (j == p.last - 1) {
            j = j - 1;
            t = float(pos - double(j));
          } else {
            t = float(pos - double(j));
          }
          static_cast<float*>(weights)[i] = t;
          break;
        }
        default:
          j = ClampIndex(j, p.first, p.last);
          static_cast<float*>(weights)[i] = float(pos - double(j));
          break;
      }
      offsets[i] = int32_t(int64_t(j) * scale);
    }
  };
  auto fillBoth = [&]<int32_t kInterp>() {
    fill.template operator()<kInterp>(py, dstH, rowOffsets, srcStepE, b[kRowW], false);
    fill.template operator()<kInterp>(px, dstW, colOffsets, colScale, b[kColW], true);
  };
  switch (interp) {
    case IMG_INTERP_NEAREST:
      fillBoth.template operator()<IMG_INTERP_NEAREST>();
      break;
    case IMG_INTERP_LINEAR:
      fillBoth.template operator()<IMG_INTERP_LINEAR>();
      break;
    case IMG_INTERP_CUBIC:
      fillBoth.template operator()<IMG_INTERP_CUBIC>();
      break;
    default:
      fillBoth.template operator()<IMG_INTERP_LANCZOS3>();
      break;
  }
  if (interp == IMG_INTERP_LANCZOS3) {
    lanczosWeights(static_cast<const float*>(b[kColW]), dstW, static_cast<ResizeTap6Weights*>(b[kColRec]));
    lanczosWeights(static_cast<const float*>(b[kRowW]), dstH, static_cast<ResizeTap6Weights*>(b[kRowRec]));
  }

  // 9. One call, or one per plane with shared tables.
  const int32_t planes = planar ? (channels == 4 ? 4 : 3) : 1;
  const int32_t ps = planar ? 0 : pixelStep;
  const int32_t ch = planar ? 0 : channels;
  auto Buf = [&](int k) { return static_cast<float*>(b[kBuf0 + k]); };
  const int32_t upscale = mappingFlag ? (yFactor >= 1.0) : (yFactor < 1.0);
  for (int32_t plane = 0; plane < planes; ++plane) {
    const u8* s;
    void* d;
    if (planar) {
      s = static_cast<const u8* const*>(src)[plane] + int64_t(roi.y) * srcStep + int64_t(roi.x) * elemSize;
      d = static_cast<void* const*>(dst)[plane];
    } else {
      s = static_cast<const u8*>(src) + int64_t(roi.y) * srcStep + int64_t(roi.x) * pixelStep * elemSize;
      d = dst;
    }
    if (nearestFn) {
      nearestFn(s, d, dstStepE, dstW, dstH, rowOffsets, colOffsets, ps);
    } else if (linearFn) {
      linearFn(s, d, srcStepE, dstStepE, dstW, dstH, rowOffsets, colOffsets, b[kRowW], b[kColW], b[kBuf0],
               b[kBuf0 + 1], ps, ch);
    } else if (cubicFn) {
      cubicFn(s, d, srcStepE, dstStepE, dstW, dstH, rowOffsets, colOffsets, static_cast<const float*>(b[kRowW]),
              static_cast<const float*>(b[kColW]), Buf(0), Buf(1), Buf(2), Buf(3), ps, ch);
    } else {
      lanczosFn(s, d, srcStepE, dstStepE, dstW, dstH, rowOffsets, colOffsets,
                static_cast<const ResizeTap6Weights*>(b[kRowRec]), static_cast<const ResizeTap6Weights*>(b[kColRec]),
                Buf(0), Buf(1), Buf(2), Buf(3), Buf(4), Buf(5), roi.x, roi.y, srcWidth - roi.x, srcHeight - roi.y, upscale, ps,
                ch);
    }
  }
  // 10. Everything is freed by `blocks`.
  return IMG_OK;
}

}  // namespace
