// Packed 4:2:2 resize (bytes Y0 U Y1 V): interpolating engine (nearest, linear, cubic)
// and area-average engine. Luma is resampled per pixel, chroma per pixel pair.
#pragma once

#include <cmath>
#include <utility>

#include "imaging/resize/resize_common_impl.h"

#if RESIZE_LEVEL >= 2
#include <tmmintrin.h>
#elif RESIZE_LEVEL >= 1
#include <emmintrin.h>
#endif

namespace {

// ---- linear passes ----------------------------------------------------------------

inline void Yuy2LinearHorzKernel(const u8* row, int32_t pairs, const int32_t* lumaOffsets,
                                 const int32_t* chromaOffsets, const u16* lumaWeights, const u16* chromaWeights,
                                 u16* outY, u16* outU, u16* outV) {
  for (int32_t p = 0; p < pairs; ++p) {
    int32_t a = lumaOffsets[2 * p], b = lumaOffsets[2 * p + 1], c = chromaOffsets[p];
    u32 l0 = lumaWeights[4 * p], l1 = lumaWeights[4 * p + 1], l2 = lumaWeights[4 * p + 2],
        l3 = lumaWeights[4 * p + 3];
    u32 c0 = chromaWeights[2 * p], c1 = chromaWeights[2 * p + 1];
    outY[2 * p] = u16((l1 * row[a + 2] + l0 * row[a] + 128u) >> 8);
    outY[2 * p + 1] = u16((l3 * row[b + 2] + l2 * row[b] + 128u) >> 8);
    outU[p] = u16((c1 * row[c + 5] + c0 * row[c + 1] + 128u) >> 8);
    outV[p] = u16((c1 * row[c + 7] + c0 * row[c + 3] + 128u) >> 8);
  }
}

inline void Yuy2LinearVertKernel(u8* dstRow, int32_t pairs, u32 w, const u16* upperY, const u16* lowerY,
                                 const u16* upperU, const u16* lowerU, const u16* upperV, const u16* lowerV) {
  const u32 wu = 16384u - w;
  for (int32_t p = 0; p < pairs; ++p) {
    dstRow[4 * p] = u8((upperY[2 * p] * wu + lowerY[2 * p] * w + 0x80000u) >> 20);
    dstRow[4 * p + 1] = u8((upperU[p] * wu + lowerU[p] * w + 0x80000u) >> 20);
    dstRow[4 * p + 2] = u8((upperY[2 * p + 1] * wu + lowerY[2 * p + 1] * w + 0x80000u) >> 20);
    dstRow[4 * p + 3] = u8((upperV[p] * wu + lowerV[p] * w + 0x80000u) >> 20);
  }
}

#if RESIZE_LEVEL >= 2
// One 96-byte record per four destination pairs. From 16 bytes loaded at the block's first
// offset, byte shuffles pick into 16-bit lanes the left samples (bytes 0-15) and the right
// samples (16-31) of its eight luma outputs, and the left (32-47) and right (48-63)
// samples of its four U then four V outputs; then the right-hand weights of the eight
// luma outputs (64-79) and of the U and V outputs (80-95). A block whose taps do not fit
// those 16 bytes, or whose load would pass the row's end (`rowBytes` from the region's
// origin), is marked 0xFF and gathered instead.
constexpr int32_t kYuy2RecordBytes = 96;

inline void Yuy2BuildShuffles(u8* records, int32_t pairs, const int32_t* lumaOffsets, const int32_t* chromaOffsets,
                              const u16* lumaWeights, const u16* chromaWeights, int32_t rowBytes) {
  auto pick = [](u8* at, int t, int32_t byte) {
    at[2 * t] = u8(byte);
    at[2 * t + 1] = 0x80;
  };
  for (int32_t blk = 0; blk < pairs / 4; ++blk) {
    u8* m = records + kYuy2RecordBytes * blk;
    const int32_t* lo = lumaOffsets + 8 * blk;
    bool fits = lo[0] >= 0 && int64_t(lo[0]) + 16 <= rowBytes;
    for (int t = 0; t < 8 && fits; ++t) fits = lo[t] - lo[0] >= 0 && lo[t] - lo[0] + 2 <= 15;
    if (fits) {
      for (int t = 0; t < 8; ++t) {
        pick(m, t, lo[t] - lo[0]);
        pick(m + 16, t, lo[t] - lo[0] + 2);
        const u16 w = lumaWeights[2 * (8 * blk + t) + 1];
        __builtin_memcpy(m + 64 + 2 * t, &w, 2);
      }
    } else {
      m[0] = 0xFF;
    }
    const int32_t* co = chromaOffsets + 4 * blk;
    fits = co[0] >= 0 && int64_t(co[0]) + 16 <= rowBytes;
    for (int t = 0; t < 4 && fits; ++t) fits = co[t] - co[0] >= 0 && co[t] - co[0] + 7 <= 15;
    if (fits) {
      for (int t = 0; t < 4; ++t) {
        const int32_t rel = co[t] - co[0];
        pick(m + 32, t, rel + 1);      // U left
        pick(m + 32, t + 4, rel + 3);  // V left
        pick(m + 48, t, rel + 5);      // U right
        pick(m + 48, t + 4, rel + 7);  // V right
        const u16 w = chromaWeights[2 * (4 * blk + t) + 1];
        __builtin_memcpy(m + 80 + 2 * t, &w, 2);
        __builtin_memcpy(m + 88 + 2 * t, &w, 2);
      }
    } else {
      m[32] = 0xFF;
    }
  }
}

// Eight horizontal blends from their left (a) and right (b) samples and right-hand
// weights w: (a (16384 - w) + b w + 128) >> 8 equals 64 a + floor(((b - a) w + 128) / 256),
// and the rounding multiply of 128 (b - a) by w gives that floor exactly (both factors
// within 16 bits, the product within 30), so no widening to 32 bits is needed.
inline __m128i Yuy2BlendPicked(__m128i a, __m128i b, __m128i w) {
  return _mm_add_epi16(_mm_slli_epi16(a, 6), _mm_mulhrs_epi16(_mm_slli_epi16(_mm_sub_epi16(b, a), 7), w));
}
#endif

#if RESIZE_LEVEL >= 1
// Four pairs at a time. A 32-bit load at a luma offset holds Y(k), U, Y(k+1), V: masked,
// it is the (left, right) sample pair of one output, ready for the multiply-add with its
// (left, right) weights. An 8-byte load at a chroma offset holds both pairs' U and V.
// Every product and sum is the scalar pass's, so the results are identical.
inline void Yuy2LinearHorzKernelVec(const u8* row, int32_t pairs, const int32_t* lumaOffsets,
                                    const int32_t* chromaOffsets, const u16* lumaWeights,
                                    const u16* chromaWeights, const u8* shuffles, u16* outY, u16* outU,
                                    u16* outV) {
  const __m128i mask = _mm_set1_epi32(0x00FF00FF);
  const __m128i rnd = _mm_set1_epi32(128);
  auto u32At = [&](int32_t off) {
    int32_t v;
    __builtin_memcpy(&v, row + off, 4);
    return v;
  };
  auto lumaPairs = [&](const int32_t* off) {
    return _mm_and_si128(_mm_setr_epi32(u32At(off[0]), u32At(off[1]), u32At(off[2]), u32At(off[3])), mask);
  };
  auto chromaTwo = [&](const int32_t* off, const u16* w) {
    __m128i x = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + off[0])),
                                   _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + off[1])));
    x = _mm_srli_epi16(x, 8);  // U V U' V' of each pair, as 16-bit lanes
    x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, _MM_SHUFFLE(3, 1, 2, 0)), _MM_SHUFFLE(3, 1, 2, 0));
    x = _mm_shuffle_epi32(x, _MM_SHUFFLE(3, 1, 2, 0));  // (U U') p, (U U') p+1, (V V') p, (V V') p+1
    __m128i wv = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(w));
    wv = _mm_unpacklo_epi64(wv, wv);
    return _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(x, wv), rnd), 8);
  };
  auto ldu = [](const void* q) { return _mm_loadu_si128(static_cast<const __m128i*>(q)); };
  int32_t p = 0;
  for (; p + 4 <= pairs; p += 4) {
    const int32_t q = 2 * p;
    __m128i l0, l1;
#if RESIZE_LEVEL >= 2
    const u8* m = shuffles + kYuy2RecordBytes * (p / 4);
    if (m[0] != 0xFF) {
      const __m128i bytes = ldu(row + lumaOffsets[q]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(outY + q),
                       Yuy2BlendPicked(_mm_shuffle_epi8(bytes, ldu(m)), _mm_shuffle_epi8(bytes, ldu(m + 16)),
                                       ldu(m + 64)));
    } else
#endif
    {
      l0 = lumaPairs(lumaOffsets + q);
      l1 = lumaPairs(lumaOffsets + q + 4);
      __m128i y0 = _mm_madd_epi16(l0, ldu(lumaWeights + 2 * q));
      __m128i y1 = _mm_madd_epi16(l1, ldu(lumaWeights + 2 * q + 8));
      y0 = _mm_srli_epi32(_mm_add_epi32(y0, rnd), 8);
      y1 = _mm_srli_epi32(_mm_add_epi32(y1, rnd), 8);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(outY + q), _mm_packs_epi32(y0, y1));
    }
    __m128i uv;
#if RESIZE_LEVEL >= 2
    if (m[32] != 0xFF) {
      const __m128i bytes = ldu(row + chromaOffsets[p]);
      uv = Yuy2BlendPicked(_mm_shuffle_epi8(bytes, ldu(m + 32)), _mm_shuffle_epi8(bytes, ldu(m + 48)), ldu(m + 80));
    } else
#endif
    {
      __m128i c0 = chromaTwo(chromaOffsets + p, chromaWeights + 2 * p);
      __m128i c1 = chromaTwo(chromaOffsets + p + 2, chromaWeights + 2 * p + 4);
      uv = _mm_packs_epi32(_mm_unpacklo_epi64(c0, c1), _mm_unpackhi_epi64(c0, c1));
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(outU + p), uv);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(outV + p), _mm_unpackhi_epi64(uv, uv));
  }
  if (p < pairs)
    Yuy2LinearHorzKernel(row, pairs - p, lumaOffsets + 2 * p, chromaOffsets + p, lumaWeights + 4 * p,
                         chromaWeights + 2 * p, outY + 2 * p, outU + p, outV + p);
}


// The vertical blend of work values (64 x samples, so at most 255 x 64) with a 14-bit
// weight w: (w * lo + (16384 - w) * up + 2^19) >> 20 equals
// (up + 32 + floor(w * (lo - up) / 16384)) >> 6, and the inner floor is the high half of
// the signed product 2 (lo - up) x 2w, both factors within 16 bits for w below 16384.
// So one multiply gives eight blends, with no widening to 32 bits.
struct Yuy2VertTerms {
  __m128i base;   // up + 32
  __m128i diff2;  // 2 (lo - up)
};

inline Yuy2VertTerms Yuy2VertPrepare(__m128i up, __m128i lo) {
  const __m128i d = _mm_sub_epi16(lo, up);
  return {_mm_add_epi16(up, _mm_set1_epi16(32)), _mm_add_epi16(d, d)};
}

inline __m128i Yuy2VertBlend(const Yuy2VertTerms& t, __m128i w2) {
  return _mm_srli_epi16(_mm_add_epi16(t.base, _mm_mulhi_epi16(t.diff2, w2)), 6);
}

// Sixteen luma and eight U and V results (bytes in 16-bit lanes) stored as eight pairs
// Y U Y V: the chroma words become U | V << 8, whose bytes interleave with the luma bytes.
inline void Yuy2StorePairs(u8* d, __m128i y0, __m128i y1, __m128i u, __m128i v) {
  const __m128i yb = _mm_packus_epi16(y0, y1);
  const __m128i uv = _mm_or_si128(u, _mm_slli_epi16(v, 8));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi8(yb, uv));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi8(yb, uv));
}

// Eight pairs at a time. A weight of 16384 (the last row) is the weight 0 blend of the
// rows taken the other way round, which keeps 2w within 16 bits.
inline void Yuy2LinearVertKernelVec(u8* dstRow, int32_t pairs, u32 w, const u16* upperY, const u16* lowerY,
                                    const u16* upperU, const u16* lowerU, const u16* upperV, const u16* lowerV) {
  if (w >= 16384u) {
    std::swap(upperY, lowerY);
    std::swap(upperU, lowerU);
    std::swap(upperV, lowerV);
    w = 0;
  }
  const __m128i w2 = _mm_set1_epi16(int16_t(2 * w));
  auto ld = [](const u16* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  int32_t p = 0;
  for (; p + 8 <= pairs; p += 8) {
    __m128i y0 = Yuy2VertBlend(Yuy2VertPrepare(ld(upperY + 2 * p), ld(lowerY + 2 * p)), w2);
    __m128i y1 = Yuy2VertBlend(Yuy2VertPrepare(ld(upperY + 2 * p + 8), ld(lowerY + 2 * p + 8)), w2);
    __m128i u = Yuy2VertBlend(Yuy2VertPrepare(ld(upperU + p), ld(lowerU + p)), w2);
    __m128i v = Yuy2VertBlend(Yuy2VertPrepare(ld(upperV + p), ld(lowerV + p)), w2);
    Yuy2StorePairs(dstRow + 4 * p, y0, y1, u, v);
  }
  if (p < pairs)
    Yuy2LinearVertKernel(dstRow + 4 * p, pairs - p, w, upperY + 2 * p, lowerY + 2 * p, upperU + p, lowerU + p,
                         upperV + p, lowerV + p);
}

// Two destination rows between the same filtered rows: the differences are formed once
// and blended with each row's weight.
inline void Yuy2LinearVertKernelVec2(u8* d0, u8* d1, int32_t pairs, u32 w0, u32 w1, const u16* upperY,
                                     const u16* lowerY, const u16* upperU, const u16* lowerU, const u16* upperV,
                                     const u16* lowerV) {
  if (w0 >= 16384u || w1 >= 16384u) {
    Yuy2LinearVertKernelVec(d0, pairs, w0, upperY, lowerY, upperU, lowerU, upperV, lowerV);
    Yuy2LinearVertKernelVec(d1, pairs, w1, upperY, lowerY, upperU, lowerU, upperV, lowerV);
    return;
  }
  const __m128i w20 = _mm_set1_epi16(int16_t(2 * w0)), w21 = _mm_set1_epi16(int16_t(2 * w1));
  auto ld = [](const u16* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  int32_t p = 0;
  for (; p + 8 <= pairs; p += 8) {
    const Yuy2VertTerms y0 = Yuy2VertPrepare(ld(upperY + 2 * p), ld(lowerY + 2 * p));
    const Yuy2VertTerms y1 = Yuy2VertPrepare(ld(upperY + 2 * p + 8), ld(lowerY + 2 * p + 8));
    const Yuy2VertTerms u = Yuy2VertPrepare(ld(upperU + p), ld(lowerU + p));
    const Yuy2VertTerms v = Yuy2VertPrepare(ld(upperV + p), ld(lowerV + p));
    Yuy2StorePairs(d0 + 4 * p, Yuy2VertBlend(y0, w20), Yuy2VertBlend(y1, w20), Yuy2VertBlend(u, w20),
                   Yuy2VertBlend(v, w20));
    Yuy2StorePairs(d1 + 4 * p, Yuy2VertBlend(y0, w21), Yuy2VertBlend(y1, w21), Yuy2VertBlend(u, w21),
                   Yuy2VertBlend(v, w21));
  }
  if (p < pairs) {
    Yuy2LinearVertKernel(d0 + 4 * p, pairs - p, w0, upperY + 2 * p, lowerY + 2 * p, upperU + p, lowerU + p,
                         upperV + p, lowerV + p);
    Yuy2LinearVertKernel(d1 + 4 * p, pairs - p, w1, upperY + 2 * p, lowerY + 2 * p, upperU + p, lowerU + p,
                         upperV + p, lowerV + p);
  }
}
#endif

// ---- cubic passes -----------------------------------------------------------------

// The cubic through four samples at base - 1 .. base + 2, evaluated at t.
inline float CubicThrough(float p0, float p1, float p2, float p3, float t) {
  float d1 = p1 - p0;
  float d2 = p2 - 2.0f * p1 + p0;
  float d3 = p3 - 3.0f * p2 + 3.0f * p1 - p0;
  float c2 = t * (1.0f + t) * 0.5f;
  float c3 = (t - 1.0f) * c2 / 3.0f;
  return p0 + (1.0f + t) * d1 + c2 * d2 + c3 * d3;
}

inline void Yuy2CubicKernel(const u8* row, int32_t pairs, const int32_t* lumaOffsets, const int32_t* chromaOffsets,
                            const float* lumaFrac, const float* chromaFrac, float* outY, float* outU, float* outV) {
  for (int32_t q = 0; q < 2 * pairs; ++q) {
    const u8* y = row + lumaOffsets[q];
    outY[q] = CubicThrough(y[-2], y[0], y[2], y[4], lumaFrac[q]);
  }
  for (int32_t p = 0; p < pairs; ++p) {
    const u8* c = row + chromaOffsets[p];
    float t = chromaFrac[p];
    outU[p] = CubicThrough(c[-3], c[1], c[5], c[9], t);
    outV[p] = CubicThrough(c[-1], c[3], c[7], c[11], t);
  }
}

inline u8 CubicStore(float v) {
  double d = std::trunc(double(v) + 0.5000001);
  return d <= 0.0 ? u8(0) : (d >= 255.0 ? u8(255) : u8(d));
}

// ---- the interpolating engine -----------------------------------------------------

struct Yuy2Axis {
  double start, step;
  int32_t origin, first, last;
};

inline Yuy2Axis Yuy2CornerAxis(int32_t n, double f, int32_t origin, int32_t last) {
  double nf = double(n) * f;
  return {0.0, nf > 1.0 ? double(n - 1) / (nf - 1.0) : 0.0, origin, -origin, last};
}

// Linear index and weight: a base at or past the last sample takes the one before it,
// all weight on the last.
inline void Yuy2LinearTap(const Yuy2Axis& a, double pos, int32_t* base, u16* w) {
  int32_t j = BaseIndex(pos);
  if (j >= a.last) {
    *base = a.last - 1;
    *w = 16384;
  } else if (j < a.first) {
    *base = a.first;
    *w = 0;
  } else {
    *base = j;
    *w = u16(int32_t((pos - double(j)) * 16384.0 + kSnap));
  }
}

inline void Yuy2CubicTap(const Yuy2Axis& a, double pos, int32_t* base, float* t) {
  int32_t j = BaseIndex(pos);
  if (j >= a.last) {
    *base = a.last - 2;
    *t = 2.0f;
    return;
  }
  if (j <= a.first)
    j = a.first + 1;
  else if (j == a.last - 1)
    j = j - 1;
  *base = j;
  *t = float(pos - double(j));
}

inline ImgStatus Yuy2InterpolateEngine(const u8* src, ImgSize srcSize, int32_t srcStep, const ImgRect* srcRoi,
                                       u8* dst, int32_t dstStep, int32_t pairs, int32_t dstH, double xFactor,
                                       double yFactor, int32_t interpolation) {
  const ImgRect roi = *srcRoi;
  int32_t interp = interpolation;
  if ((srcSize.width < 8 || srcSize.height < 8) && interp == IMG_INTERP_CUBIC) interp = IMG_INTERP_LINEAR;
  if (srcSize.width < 4 || srcSize.height < 2) interp = IMG_INTERP_NEAREST;
  if (int64_t(srcSize.height) * (srcStep < 0 ? -int64_t(srcStep) : int64_t(srcStep)) > INT32_MAX)
    return IMG_ERR_NO_MEMORY;

  const int32_t rowLast = srcSize.height - roi.y - 1;
  const int32_t lumaLast = srcSize.width - roi.x - 1;
  const int32_t pairLast = (srcSize.width - roi.x) / 2 - 1;
  const int32_t lumaCount = 2 * pairs;

  enum { kRowOff, kLumaOff, kChromaOff, kRowW, kLumaW, kChromaW, kSet0 };
  WorkBlocks<kSet0 + 4> blocks;
  void** b = blocks.p;
  const bool linear = interp == IMG_INTERP_LINEAR, cubic = interp == IMG_INTERP_CUBIC;
  // Levels with byte shuffles keep, behind the luma offsets, one 96-byte shuffle record
  // per four destination pairs (see Yuy2LinearHorzKernelVec).
#if RESIZE_LEVEL >= 2
  const int64_t shuffleWords = interp == IMG_INTERP_LINEAR ? kYuy2RecordBytes / 4 * int64_t(pairs / 4) : 0;
#else
  const int64_t shuffleWords = 0;
#endif
  if (!(b[kRowOff] = WorkAlloc32(dstH)) || !(b[kLumaOff] = WorkAlloc32(lumaCount + shuffleWords)) ||
      !(b[kChromaOff] = WorkAlloc32(pairs)))
    return IMG_ERR_NO_MEMORY;
  if (linear) {
    if (!(b[kRowW] = WorkAlloc16(dstH)) || !(b[kLumaW] = WorkAlloc16(4 * int64_t(pairs))) ||
        !(b[kChromaW] = WorkAlloc16(2 * int64_t(pairs))))
      return IMG_ERR_NO_MEMORY;
  } else if (cubic) {
    if (!(b[kRowW] = WorkAlloc32(dstH)) || !(b[kLumaW] = WorkAlloc32(lumaCount)) ||
        !(b[kChromaW] = WorkAlloc32(pairs)))
      return IMG_ERR_NO_MEMORY;
  }
  // One work-row set per filtered source row: Y (2 x pairs), then U and V (pairs each).
  const int32_t sets = linear ? 2 : (cubic ? 4 : 0);
  for (int32_t k = 0; k < sets; ++k) {
    b[kSet0 + k] = linear ? WorkAlloc16(4 * int64_t(pairs)) : WorkAlloc32(4 * int64_t(pairs));
    if (!b[kSet0 + k]) return IMG_ERR_NO_MEMORY;
  }

  int32_t* rowOff = static_cast<int32_t*>(b[kRowOff]);
  int32_t* lumaOff = static_cast<int32_t*>(b[kLumaOff]);
  int32_t* chromaOff = static_cast<int32_t*>(b[kChromaOff]);

  if (interp == IMG_INTERP_NEAREST) {
    double pos = 0.5 / yFactor, step = 1.0 / yFactor;
    for (int32_t i = 0; i < dstH; ++i, pos += step)
      rowOff[i] = ClampIndex(BaseIndex(pos), -roi.y, rowLast) * srcStep;
    pos = 0.5 / xFactor;
    step = 1.0 / xFactor;
    for (int32_t p = 0; p < lumaCount; ++p, pos += step) {
      int32_t k = BaseIndex(pos);
      lumaOff[p] = 2 * ClampIndex(k, -roi.x, lumaLast);
      if (p < pairs) chromaOff[p] = 4 * ClampIndex(k, -(roi.x / 2), pairLast);
    }
    for (int32_t i = 0; i < dstH; ++i) {
      const u8* row = src + rowOff[i];
      u8* d = dst + int64_t(i) * dstStep;
      for (int32_t p = 0; p < pairs; ++p) {
        d[4 * p] = row[lumaOff[2 * p]];
        d[4 * p + 1] = row[chromaOff[p] + 1];
        d[4 * p + 2] = row[lumaOff[2 * p + 1]];
        d[4 * p + 3] = row[chromaOff[p] + 3];
      }
    }
    return IMG_OK;
  }

  const Yuy2Axis ay = Yuy2CornerAxis(roi.height, yFactor, roi.y, rowLast);
  const Yuy2Axis al = Yuy2CornerAxis(roi.width, xFactor, roi.x, lumaLast);
  const Yuy2Axis ac = Yuy2CornerAxis(roi.width / 2, xFactor, roi.x / 2, pairLast);

  if (linear) {
    u16* rowW = static_cast<u16*>(b[kRowW]);
    u16* lumaW = static_cast<u16*>(b[kLumaW]);
    u16* chromaW = static_cast<u16*>(b[kChromaW]);
    double pos = 0.0;
    for (int32_t i = 0; i < dstH; ++i, pos += ay.step) {
      int32_t j;
      Yuy2LinearTap(ay, pos, &j, &rowW[i]);
      rowOff[i] = j * srcStep;
    }
    pos = 0.0;
    for (int32_t q = 0; q < lumaCount; ++q, pos += al.step) {
      int32_t j;
      u16 w;
      Yuy2LinearTap(al, pos, &j, &w);
      lumaOff[q] = 2 * j;
      lumaW[2 * q] = u16(16384 - w);
      lumaW[2 * q + 1] = w;
    }
    pos = 0.0;
    for (int32_t p = 0; p < pairs; ++p, pos += ac.step) {
      int32_t j;
      u16 w;
      Yuy2LinearTap(ac, pos, &j, &w);
      chromaOff[p] = 4 * j;
      chromaW[2 * p] = u16(16384 - w);
      chromaW[2 * p + 1] = w;
    }
#if RESIZE_LEVEL >= 2
    const u8* shuffles = reinterpret_cast<const u8*>(lumaOff + lumaCount);
    Yuy2BuildShuffles(reinterpret_cast<u8*>(lumaOff + lumaCount), pairs, lumaOff, chromaOff, lumaW, chromaW,
                      2 * (srcSize.width - roi.x));
#else
    const u8* shuffles = nullptr;
#endif
    auto horz = [&](const u8* row, u16* set) {
#if RESIZE_LEVEL >= 1
      Yuy2LinearHorzKernelVec(row, pairs, lumaOff, chromaOff, lumaW, chromaW, shuffles, set, set + lumaCount,
                              set + lumaCount + pairs);
#else
      (void)shuffles;
      Yuy2LinearHorzKernel(row, pairs, lumaOff, chromaOff, lumaW, chromaW, set, set + lumaCount,
                           set + lumaCount + pairs);
#endif
    };
    u16* upper = static_cast<u16*>(b[kSet0]);
    u16* lower = static_cast<u16*>(b[kSet0 + 1]);
    horz(src + rowOff[0], lower);
    int64_t last = srcStep > 0 ? int64_t(rowOff[0]) - 1 : int64_t(rowOff[0]) + 1;
    for (int32_t i = 0; i < dstH; ++i) {
      int64_t v = rowOff[i];
      if (srcStep > 0 ? v > last : v < last) {
        std::swap(upper, lower);
        horz(src + v + srcStep, lower);
        if (srcStep > 0 ? v > last + srcStep : v < last + srcStep) horz(src + v, upper);
        last = v;
      }
      u8* d = dst + int64_t(i) * dstStep;
#if RESIZE_LEVEL >= 1
      if (i + 1 < dstH && rowOff[i + 1] == v) {
        Yuy2LinearVertKernelVec2(d, d + dstStep, pairs, rowW[i], rowW[i + 1], upper, lower, upper + lumaCount,
                                 lower + lumaCount, upper + lumaCount + pairs, lower + lumaCount + pairs);
        ++i;
        continue;
      }
      Yuy2LinearVertKernelVec(d, pairs, rowW[i], upper, lower, upper + lumaCount, lower + lumaCount,
                              upper + lumaCount + pairs, lower + lumaCount + pairs);
#else
      Yuy2LinearVertKernel(d, pairs, rowW[i], upper, lower, upper + lumaCount, lower + lumaCount,
                           upper + lumaCount + pairs, lower + lumaCount + pairs);
#endif
    }
    return IMG_OK;
  }

  // Cubic: a ring of four filtered rows at base - 1 .. base + 2.
  float* rowF = static_cast<float*>(b[kRowW]);
  float* lumaF = static_cast<float*>(b[kLumaW]);
  float* chromaF = static_cast<float*>(b[kChromaW]);
  double pos = 0.0;
  for (int32_t i = 0; i < dstH; ++i, pos += ay.step) {
    int32_t j;
    Yuy2CubicTap(ay, pos, &j, &rowF[i]);
    rowOff[i] = j * srcStep;
  }
  pos = 0.0;
  for (int32_t q = 0; q < lumaCount; ++q, pos += al.step) {
    int32_t j;
    Yuy2CubicTap(al, pos, &j, &lumaF[q]);
    lumaOff[q] = 2 * j;
  }
  pos = 0.0;
  for (int32_t p = 0; p < pairs; ++p, pos += ac.step) {
    int32_t j;
    Yuy2CubicTap(ac, pos, &j, &chromaF[p]);
    chromaOff[p] = 4 * j;
  }
  float* ring[4];
  for (int k = 0; k < 4; ++k) ring[k] = static_cast<float*>(b[kSet0 + k]);
  auto horz = [&](int64_t offset, float* set) {
    Yuy2CubicKernel(src + offset, pairs, lumaOff, chromaOff, lumaF, chromaF, set, set + lumaCount,
                    set + lumaCount + pairs);
  };
  int64_t have = 0;
  bool filled = false;
  for (int32_t i = 0; i < dstH; ++i) {
    int64_t v = rowOff[i];
    int64_t moved = !filled ? 4 : (srcStep == 0 ? 0 : (v - have) / srcStep);
    if (moved < 0 || moved > 4) moved = 4;
    if (moved > 0) {
      for (int64_t r = 0; r < moved; ++r) {
        float* t = ring[0];
        ring[0] = ring[1];
        ring[1] = ring[2];
        ring[2] = ring[3];
        ring[3] = t;
      }
      for (int64_t k = 4 - moved; k < 4; ++k) horz(v + (k - 1) * int64_t(srcStep), ring[k]);
      have = v;
      filled = true;
    }
    const float t = rowF[i];
    u8* d = dst + int64_t(i) * dstStep;
    const float* y[4] = {ring[0], ring[1], ring[2], ring[3]};
    for (int32_t p = 0; p < pairs; ++p) {
      d[4 * p] = CubicStore(CubicThrough(y[0][2 * p], y[1][2 * p], y[2][2 * p], y[3][2 * p], t));
      d[4 * p + 2] = CubicStore(CubicThrough(y[0][2 * p + 1], y[1][2 * p + 1], y[2][2 * p + 1], y[3][2 * p + 1], t));
      const int32_t u = lumaCount + p, vv = lumaCount + pairs + p;
      d[4 * p + 1] = CubicStore(CubicThrough(y[0][u], y[1][u], y[2][u], y[3][u], t));
      d[4 * p + 3] = CubicStore(CubicThrough(y[0][vv], y[1][vv], y[2][vv], y[3][vv], t));
    }
  }
  return IMG_OK;
}

// ---- the area-average engine ------------------------------------------------------

inline bool IsWholeStep(double step) { return step - std::trunc(step) < kSnap; }

// `srcRows` bounds the rows read and `srcPairs` the pairs: a cell never reads past either.
inline ImgStatus Yuy2SuperSampleEngine(const u8* src, u8* dst, int32_t srcStep, int32_t dstStep, int32_t srcPairs,
                                       int32_t pairs, int32_t dstH, int32_t srcRows, double sx, double sy,
                                       double area) {
  const bool wholeX = IsWholeStep(sx), wholeY = IsWholeStep(sy);
  const double sxWholeD = std::floor(sx), syWholeD = std::floor(sy);
  const int64_t sxWhole = int64_t(sxWholeD), syWhole = int64_t(syWholeD);
  const bool intSums = wholeX && wholeY && double(syWhole) * 255.0 < 4294967296.0;
  void* acc = WorkAllocBytes(int64_t(srcPairs) * 16);
  if (!acc) return IMG_ERR_NO_MEMORY;
  u32* ia = static_cast<u32*>(acc);
  float* fa = static_cast<float*>(acc);
  const int32_t count = srcPairs * 4;

  auto addRow = [&](int64_t r, bool whole, double weight) {
    if (r < 0 || r >= srcRows) return;
    const u8* row = src + r * srcStep;
    if (intSums) {
      for (int32_t k = 0; k < count; ++k) ia[k] += row[k];
    } else if (whole) {
      for (int32_t k = 0; k < count; ++k) fa[k] += float(row[k]);
    } else {
      for (int32_t k = 0; k < count; ++k) fa[k] += float(double(row[k]) * weight);
    }
  };
  auto value = [&](int64_t k) { return intSums ? double(ia[k]) : double(fa[k]); };
  auto lumaAt = [&](int64_t i) { return i < 2 * int64_t(srcPairs) ? value((i >> 1) * 4 + (i & 1) * 2) : 0.0; };
  auto chromaAt = [&](int64_t g, int c) { return g < srcPairs ? value(g * 4 + c) : 0.0; };
  auto store = [&](double sum) { return ClampU8(std::trunc(sum * area + 0.5)); };

  int64_t cur = 0;
  double tail = 0.0;
  for (int32_t y = 0; y < dstH; ++y) {
    VecZeroU8(acc, count * 4);
    if (wholeY) {
      for (int64_t r = 0; r < syWhole; ++r) addRow(cur++, true, 1.0);
    } else {
      AddCutCellRows(y, sy, cur, tail, addRow);
    }

    u8* d = dst + int64_t(y) * dstStep;
    // Luma, per destination pixel.
    if (wholeX) {
      for (int64_t q = 0; q < 2 * int64_t(pairs); ++q) {
        if (intSums) {
          u64 s = 0;
          for (int64_t i = q * sxWhole; i < (q + 1) * sxWhole; ++i)
            if (i < 2 * int64_t(srcPairs)) s += ia[(i >> 1) * 4 + (i & 1) * 2];
          d[(q >> 1) * 4 + (q & 1) * 2] = store(double(s));
        } else {
          float s = 0.0f;
          for (int64_t i = q * sxWhole; i < (q + 1) * sxWhole; ++i) s += float(lumaAt(i));
          d[(q >> 1) * 4 + (q & 1) * 2] = store(double(s));
        }
      }
    } else {
      double pos = 0.0;
      for (int64_t q = 0; q < 2 * int64_t(pairs); ++q, pos += sx) {
        int64_t s = int64_t(pos + kSnap);
        double endPos = double(q + 1) * sx;
        int64_t e = int64_t(endPos + kSnap);
        int64_t taps = e - s + (std::fabs(endPos - double(e)) > kSnap ? 1 : 0);
        float sum = 0.0f;
        for (int64_t t = 0; t < taps; ++t) {
          double w;
          if (t == 0) {
            double f = double(q) * sx - double(s);
            w = q == 0 ? 1.0 : (std::floor(f + kSnap) != 0.0 ? 0.0 : 1.0 - f);
          } else {
            double g = endPos - double(s + t);
            w = std::floor(g + kSnap) != 0.0 ? 1.0 : g;
          }
          double v = lumaAt(s + t);
          sum += w == 1.0 ? float(v) : float(v * w);
        }
        d[(q >> 1) * 4 + (q & 1) * 2] = store(double(sum));
      }
    }
    // Chroma, per destination pair.
    for (int c = 1; c <= 3; c += 2) {
      if (wholeX) {
        for (int64_t p = 0; p < pairs; ++p) {
          if (intSums) {
            u64 s = 0;
            for (int64_t g = p * sxWhole; g < (p + 1) * sxWhole && g < srcPairs; ++g) s += ia[g * 4 + c];
            d[p * 4 + c] = store(double(s));
          } else {
            float s = 0.0f;
            for (int64_t g = p * sxWhole; g < (p + 1) * sxWhole; ++g) s += float(chromaAt(g, c));
            d[p * 4 + c] = store(double(s));
          }
        }
        continue;
      }
      // Pair 0 takes the whole pairs and part of the next, which stays pending.
      float sum = 0.0f;
      for (int64_t g = 0; g < sxWhole; ++g) sum += float(chromaAt(g, c));
      int64_t pending = sxWhole;
      double leftover = sx - sxWholeD;
      sum += float(chromaAt(pending, c) * leftover);
      d[c] = store(double(sum));
      for (int64_t p = 1; p < pairs; ++p) {
        double lead = 1.0 - leftover;
        double r = sx - lead;
        double wd = std::floor(r + kSnap);
        int64_t w = int64_t(wd);
        sum = 0.0f;
        // A pending pair whose weight was used up by the previous pair adds nothing more.
        if (lead > kSnap) sum += float(chromaAt(pending, c) * lead);
        for (int64_t g = pending + 1; g <= pending + w; ++g) sum += float(chromaAt(g, c));
        pending += w + 1;
        leftover = r - wd;
        if (leftover > kSnap) sum += float(chromaAt(pending, c) * leftover);
        d[p * 4 + c] = store(double(sum));
      }
    }
  }
  WorkFree(acc);
  return IMG_OK;
}

}  // namespace
