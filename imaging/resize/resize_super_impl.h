// Area-average (super-sampling) reduction: engine and row routines for 8-bit, 16-bit and
// float samples in one-channel, three-channel and four-channel layouts.
#pragma once

#include <cmath>
#include <type_traits>

#include "imaging/resize/resize_common_impl.h"

#if RESIZE_LEVEL >= 2
#include <tmmintrin.h>
#elif RESIZE_LEVEL >= 1
#include <emmintrin.h>
#endif

namespace {

// Column sums of `rows` source rows added into the accumulator (32-bit integers for
// integer samples, floats for float samples), channels 0 .. ch-1 of every pixel.
template <typename T, typename Acc>
inline void AccumulateKernel(const T* src, int32_t srcStep, int32_t width, int32_t rows, Acc* acc, int32_t slots,
                             int32_t ch) {
  for (int32_t r = 0; r < rows; ++r) {
    const T* row = reinterpret_cast<const T*>(reinterpret_cast<const u8*>(src) + int64_t(r) * srcStep);
    if (slots == ch) {
      const int32_t count = width * slots;
      for (int32_t j = 0; j < count; ++j) acc[j] += Acc(row[j]);
    } else {
      for (int32_t j = 0; j < width; ++j)
        for (int32_t c = 0; c < ch; ++c) acc[j * slots + c] += Acc(row[j * slots + c]);
    }
  }
}

#if RESIZE_LEVEL >= 1
// 8-bit rows summed sixteen columns at a time: up to 257 rows fit 16-bit lanes before
// they are widened into the 32-bit accumulator.
inline void AccumulateKernelU8Vec(const u8* src, int32_t srcStep, int32_t count, int32_t rows, u32* acc) {
  const __m128i zero = _mm_setzero_si128();
  int32_t j = 0;
  for (; j + 16 <= count; j += 16) {
    __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + j));
    __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + j + 4));
    __m128i a2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + j + 8));
    __m128i a3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + j + 12));
    for (int32_t r0 = 0; r0 < rows; r0 += 257) {
      int32_t r1 = rows - r0 < 257 ? rows : r0 + 257;
      __m128i lo = zero, hi = zero;
      for (int32_t r = r0; r < r1; ++r) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + int64_t(r) * srcStep + j));
        lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(v, zero));
        hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(v, zero));
      }
      a0 = _mm_add_epi32(a0, _mm_unpacklo_epi16(lo, zero));
      a1 = _mm_add_epi32(a1, _mm_unpackhi_epi16(lo, zero));
      a2 = _mm_add_epi32(a2, _mm_unpacklo_epi16(hi, zero));
      a3 = _mm_add_epi32(a3, _mm_unpackhi_epi16(hi, zero));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(acc + j), a0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(acc + j + 4), a1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(acc + j + 8), a2);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(acc + j + 12), a3);
  }
  for (int32_t r = 0; r < rows; ++r) {
    const u8* row = src + int64_t(r) * srcStep;
    for (int32_t k = j; k < count; ++k) acc[k] += row[k];
  }
}
#endif

#if RESIZE_LEVEL >= 1
// Sums of neighbouring column pairs of 16 bytes, as eight 16-bit lanes.
inline __m128i PairSums16(const u8* r) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r));
#if RESIZE_LEVEL >= 2
  return _mm_maddubs_epi16(v, _mm_set1_epi8(1));
#else
  return _mm_add_epi16(_mm_and_si128(v, _mm_set1_epi16(0x00FF)), _mm_srli_epi16(v, 8));
#endif
}

// One destination row of cells kX columns by kRows rows (kRows 0: `rows` rows), 2^shift
// samples each: (sum + half) >> shift.
template <int kX, int kRows>
inline void Pow2Row(const u8* r, int32_t srcStep, u8* out, int32_t dstW, int32_t rows, int32_t shift) {
  const int32_t n = kRows ? kRows : rows;
  const __m128i cnt = _mm_cvtsi32_si128(shift);
  // With the cell height fixed at compile time the shift is an immediate.
  constexpr int kShift = kRows == 0 ? -1 : (kX * kRows >= 16 ? 4 : kX * kRows >= 8 ? 3 : kX * kRows >= 4 ? 2 : 1);
  auto shiftDown = [&](__m128i v) {
    if constexpr (kShift > 0)
      return _mm_srli_epi16(v, kShift);
    else
      return _mm_srl_epi16(v, cnt);
  };
  auto sums = [&](const u8* at, __m128i* a, __m128i* b) {
    __m128i s0 = PairSums16(at), s1 = PairSums16(at + 16);
    for (int32_t k = 1; k < n; ++k) {
      const u8* q = at + int64_t(k) * srcStep;
      s0 = _mm_add_epi16(s0, PairSums16(q));
      s1 = _mm_add_epi16(s1, PairSums16(q + 16));
    }
    *a = s0;
    *b = s1;
  };
  // The cell's rows are read side by side, one stream each. Asking for the next cell
  // row's lines at the same position keeps a whole cell row of reads in flight ahead of
  // the sums. (A request past the image's last row is only a hint and cannot fault.)
  auto prefetch = [&](int32_t at) {
    for (int32_t k = 0; k < n; ++k)
      _mm_prefetch(reinterpret_cast<const char*>(r + int64_t(k + n) * srcStep + at), _MM_HINT_T0);
  };
  int32_t x = 0;
  if constexpr (kX == 2) {
    const __m128i half = _mm_set1_epi16(int16_t(1 << (shift - 1)));
    auto block = [&](int32_t at) {
      __m128i a, b;
      sums(r + 2 * at, &a, &b);
      a = shiftDown(_mm_add_epi16(a, half));
      b = shiftDown(_mm_add_epi16(b, half));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), _mm_packus_epi16(a, b));
    };
    for (; x + 32 <= dstW; x += 32) {
      prefetch(2 * x);
      block(x);
      block(x + 16);
    }
    for (; x + 16 <= dstW; x += 16) block(x);
  } else {
#if RESIZE_LEVEL >= 2
    // Cells of four columns: the neighbouring pair sums added once more, still in 16 bits
    // (at most 4 x 64 x 255).
    const __m128i half16 = _mm_set1_epi16(int16_t(1 << (shift - 1)));
    for (; x + 16 <= dstW; x += 16) {
      __m128i a, b, c, d;
      prefetch(4 * x);
      sums(r + 4 * x, &a, &b);
      sums(r + 4 * x + 32, &c, &d);
      __m128i lo = shiftDown(_mm_add_epi16(_mm_hadd_epi16(a, b), half16));
      __m128i hi = shiftDown(_mm_add_epi16(_mm_hadd_epi16(c, d), half16));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(lo, hi));
    }
#endif
    const __m128i half = _mm_set1_epi32(1 << (shift - 1));
    const __m128i ones = _mm_set1_epi16(1);
    for (; x + 8 <= dstW; x += 8) {
      __m128i a, b;
      sums(r + 4 * x, &a, &b);
      a = _mm_srl_epi32(_mm_add_epi32(_mm_madd_epi16(a, ones), half), cnt);
      b = _mm_srl_epi32(_mm_add_epi32(_mm_madd_epi16(b, ones), half), cnt);
      __m128i packed = _mm_packs_epi32(a, b);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(packed, packed));
    }
  }
  const u32 h = 1u << (shift - 1);
  for (; x < dstW; ++x) {
    u32 s = 0;
    for (int32_t k = 0; k < n; ++k)
      for (int32_t c = 0; c < kX; ++c) s += r[int64_t(k) * srcStep + x * kX + c];
    out[x] = u8((s + h) >> shift);
  }
}

// Kept out of line: inlined into the general row routine, its loop lost registers to it.
template <int kX>
__attribute__((noinline)) void Pow2Rows(const u8* src, u8* dst, int32_t srcStep, int32_t dstStep, int32_t dstW, int32_t dstH,
                     int32_t yWhole, int32_t shift) {
  for (int32_t y = 0; y < dstH; ++y) {
    const u8* r = src + int64_t(y) * yWhole * srcStep;
    u8* out = dst + int64_t(y) * dstStep;
    switch (yWhole) {
      case 1:
        Pow2Row<kX, 1>(r, srcStep, out, dstW, 1, shift);
        break;
      case 2:
        Pow2Row<kX, 2>(r, srcStep, out, dstW, 2, shift);
        break;
      case 4:
        Pow2Row<kX, 4>(r, srcStep, out, dstW, 4, shift);
        break;
      default:
        Pow2Row<kX, 0>(r, srcStep, out, dstW, yWhole, shift);
        break;
    }
  }
}

// 8-bit one channel, whole periods of 2 or 4 columns by up to 64 rows with an area that
// is a power of two: trunc(sum * 2^-k + 0.5) is exactly (sum + 2^(k-1)) >> k. Neighbouring
// columns are added first, in 16-bit lanes (at most 510 x 64), then the rows; no work
// row is needed. Returns false, having done nothing, for any other case.
inline bool SuperSampleRowsU8C1Pow2(const u8* src, u8* dst, int32_t srcStep, int32_t dstStep, int32_t usedWidth,
                                    int32_t dstW, int32_t dstH, int32_t srcRows, int32_t xWhole, int32_t yWhole,
                                    double areaScale) {
  if ((xWhole != 2 && xWhole != 4) || yWhole < 1 || yWhole > 64 || (yWhole & (yWhole - 1))) return false;
  int32_t shift = 0;
  while ((1 << shift) < xWhole * yWhole) ++shift;
  if (areaScale != 1.0 / double(1 << shift)) return false;
  if (int64_t(dstH) * yWhole > srcRows || int64_t(dstW) * xWhole > usedWidth) return false;
  if (xWhole == 2)
    Pow2Rows<2>(src, dst, srcStep, dstStep, dstW, dstH, yWhole, shift);
  else
    Pow2Rows<4>(src, dst, srcStep, dstStep, dstW, dstH, yWhole, shift);
  return true;
}
#endif

template <typename T>
constexpr double MaxSample() {
  return std::is_same_v<T, u8> ? 255.0 : 65535.0;
}

template <typename T>
inline T StoreMean(double sum, double areaScale) {
  if constexpr (std::is_same_v<T, float>) {
    return float(sum * areaScale);
  } else {
    // Long float cells can round a mean past the top; the store saturates instead of wrapping.
    double v = std::trunc(sum * areaScale + 0.5);
    if (v <= 0.0) return T(0);
    if (v >= MaxSample<T>()) return T(MaxSample<T>());
    return T(v);
  }
}

// One area-average reduction of a whole image. `slots` elements per pixel, channels
// 0 .. ch-1 averaged. `srcRows` bounds the rows read: no cell reads below the image.
// `work`, when given, is a work row lent by the caller (usedWidth x slots x 4 bytes).
template <typename T>
ImgStatus SuperSampleRows(const T* src, T* dst, int32_t srcStep, int32_t dstStep, int32_t usedWidth, int32_t dstW,
                          int32_t dstH, int32_t srcRows, double xPeriod, double yPeriod, double areaScale,
                          int32_t slots, int32_t ch, int32_t periodMode, void* work) {
  if (periodMode < 0 || periodMode > 3) return IMG_ERR_INTERPOLATION;
  const double xWholeD = std::floor(xPeriod), yWholeD = std::floor(yPeriod);
  const int32_t xWhole = int32_t(xWholeD), yWhole = int32_t(yWholeD);
  const double xFrac = xPeriod - xWholeD;
  const bool vertFrac = periodMode & 1, horzFrac = periodMode & 2;
  // Integer column sums are exact while yWhole full-scale samples fit 32 bits; past
  // that the float sums take over.
  const bool intSums = !std::is_same_v<T, float> && periodMode == 0 && double(yWhole) * MaxSample<T>() < 4294967296.0;

  const int64_t workBytes = int64_t(usedWidth) * slots * 4;
  void* own = nullptr;
  if (!work) {
    own = WorkAllocBytes(workBytes);
    if (!own) return IMG_ERR_NO_MEMORY;
    work = own;
  }
#if RESIZE_LEVEL >= 1
  if constexpr (std::is_same_v<T, u8>) {
    if (intSums && slots == 1 &&
        SuperSampleRowsU8C1Pow2(src, dst, srcStep, dstStep, usedWidth, dstW, dstH, srcRows, xWhole, yWhole,
                                areaScale)) {
      WorkFree(own);
      return IMG_OK;
    }
  }
#endif
  u32* iw = static_cast<u32*>(work);
  float* fw = static_cast<float*>(work);
  const int32_t count = usedWidth * slots;

  auto rowAt = [&](int64_t r) {
    return reinterpret_cast<const T*>(reinterpret_cast<const u8*>(src) + r * srcStep);
  };
  // Adds source row r, whole or with a weight, into the float work row.
  auto addRow = [&](int64_t r, bool whole, double weight) {
    if (r < 0 || r >= srcRows) return;
    const T* row = rowAt(r);
    for (int32_t j = 0; j < usedWidth; ++j)
      for (int32_t c = 0; c < ch; ++c) {
        int32_t k = j * slots + c;
        fw[k] += whole ? float(row[k]) : float(double(row[k]) * weight);
      }
  };

  int64_t cur = 0;  // the current source row
  double tail = 0.0;
  for (int32_t y = 0; y < dstH; ++y) {
    // Multi-channel rows clear every slot of every pixel, unused fourth slots included.
    VecZeroU8(work, count * 4);

    // Vertical pass.
    if (!vertFrac) {
      int64_t rows = cur + yWhole <= srcRows ? yWhole : (srcRows > cur ? srcRows - cur : 0);
      if (intSums) {
#if RESIZE_LEVEL >= 1
        if constexpr (std::is_same_v<T, u8>) {
          if (slots == ch)
            AccumulateKernelU8Vec(reinterpret_cast<const u8*>(rowAt(cur)), srcStep, count, int32_t(rows), iw);
          else
            AccumulateKernel(rowAt(cur), srcStep, usedWidth, int32_t(rows), iw, slots, ch);
        } else
#endif
          AccumulateKernel(rowAt(cur), srcStep, usedWidth, int32_t(rows), iw, slots, ch);
      } else if (std::is_same_v<T, float>) {
        AccumulateKernel(rowAt(cur), srcStep, usedWidth, int32_t(rows), fw, slots, ch);
      } else {
        for (int64_t r = 0; r < rows; ++r) addRow(cur + r, true, 1.0);
      }
      cur += yWhole;
    } else {
      AddCutCellRows(y, yPeriod, cur, tail, addRow);
    }

    // Horizontal pass and store.
    T* out = reinterpret_cast<T*>(reinterpret_cast<u8*>(dst) + int64_t(y) * dstStep);
    for (int32_t c = 0; c < ch; ++c) {
      if (!horzFrac) {
        for (int32_t x = 0; x < dstW; ++x) {
          int64_t j0 = int64_t(x) * xWhole;
          int64_t j1 = j0 + xWhole < usedWidth ? j0 + xWhole : usedWidth;
          double sum;
          if (intSums) {
            u64 s = 0;
            for (int64_t j = j0; j < j1; ++j) s += iw[j * slots + c];
            sum = double(s);
          } else {
            float s = 0.0f;
            for (int64_t j = j0; j < j1; ++j) s += fw[j * slots + c];
            sum = double(s);
          }
          out[x * slots + c] = StoreMean<T>(sum, areaScale);
        }
      } else {
        auto col = [&](int64_t j) { return double(fw[j * slots + c]); };
        // Cell 0.
        float s = 0.0f;
        for (int64_t j = 0; j < xWhole && j < usedWidth; ++j) s += fw[j * slots + c];
        if (xWhole < usedWidth) s += float(col(xWhole) * xFrac);
        out[c] = StoreMean<T>(double(s), areaScale);
        int64_t start = xWhole;
        double t = xFrac;
        for (int32_t x = 1; x < dstW; ++x) {
          double lead = 1.0 - t;
          double xr = xPeriod - lead;
          int64_t nWhole = int64_t(std::floor(xr + kSnap));
          t = xr - double(nWhole);
          s = 0.0f;
          if (lead > kSnap && start < usedWidth) s = float(col(start) * lead);
          for (int64_t j = start + 1; j <= start + nWhole && j < usedWidth; ++j) s += fw[j * slots + c];
          if (t > kSnap && start + nWhole + 1 < usedWidth) s += float(col(start + nWhole + 1) * t);
          start += nWhole + 1;
          out[x * slots + c] = StoreMean<T>(double(s), areaScale);
        }
      }
    }
  }
  WorkFree(own);
  return IMG_OK;
}

// The engine: checks, clip, sizing, periods and the choice of row routine.
inline ImgStatus SuperSampleEngine(const void* src, ImgSize srcSize, int32_t srcStep, const ImgRect* srcRoi,
                                   void* dst, int32_t dstStep, ImgSize dstRoiSize, double xFactor, double yFactor,
                                   int32_t pixelStep, int32_t channels, int32_t kind, int32_t planar) {
  if (!src || !dst || !srcRoi) return IMG_ERR_NULL;
  if (srcSize.width <= 0 || srcSize.height <= 0) return IMG_ERR_SIZE;
  const ImgRect roi = *srcRoi;
  if (roi.x < 0 || roi.y < 0 || roi.width <= 0 || roi.height <= 0) return IMG_ERR_SIZE;
  if (roi.x >= srcSize.width || roi.y >= srcSize.height) return IMG_WARN_ROI_OUTSIDE;
  if (dstRoiSize.width <= 0 || dstRoiSize.height <= 0) return IMG_ERR_SIZE;
  if (!(xFactor > 0.0) || !(yFactor > 0.0)) return IMG_ERR_RESIZE_FACTOR;
  // Only three element kinds have area-average rows; anything else is refused rather
  // than reported as done.
  if (kind != IMG_ELEM_U8 && kind != IMG_ELEM_U16 && kind != IMG_ELEM_F32) return IMG_ERR_INTERPOLATION;

  const int32_t w = roi.width < srcSize.width - roi.x ? roi.width : srcSize.width - roi.x;
  const int32_t h = roi.height < srcSize.height - roi.y ? roi.height : srcSize.height - roi.y;

  int32_t dstW, dstH;
  bool raisedX, raisedY;
  ImgStatus st = SizeByProduct(w, xFactor, dstRoiSize.width, 1, 0.5, &dstW, &raisedX);
  if (st != IMG_OK) return st;
  st = SizeByProduct(h, yFactor, dstRoiSize.height, 1, 0.5, &dstH, &raisedY);
  if (st != IMG_OK) return st;

  // A raised extent has one cell that reaches past the image. That cell is clipped to the
  // image and averaged over what it covers: the whole clipped extent, each sample once.
  double xPeriod = raisedX ? double(w) : 1.0 / xFactor;
  double yPeriod = raisedY ? double(h) : 1.0 / yFactor;
  double areaScale = (raisedX ? 1.0 / double(w) : xFactor) * (raisedY ? 1.0 / double(h) : yFactor);
  double used = std::trunc(double(float(dstW + 1)) * xPeriod) + 1.0;
  int32_t usedWidth = used >= double(w) ? w : int32_t(used);

  double fx = xPeriod - std::trunc(xPeriod);
  if (fx < kSnap) fx = 0.0;
  double fy = yPeriod - std::trunc(yPeriod);
  int32_t periodMode = 2 * (fx != 0.0) + (fy >= kSnap);

  const int32_t elemSize = kind == IMG_ELEM_U16 ? 2 : (kind == IMG_ELEM_F32 ? 4 : 1);
  const int32_t slots = planar || channels == 1 ? 1 : (channels == 4 ? 4 : pixelStep);
  const int32_t ch = planar || channels == 1 ? 1 : (channels == 4 ? 4 : 3);
  if (slots < ch) return IMG_ERR_SIZE;

  auto run = [&](const void* s, void* d, void* work) -> ImgStatus {
    switch (kind) {
      case IMG_ELEM_U8:
        return SuperSampleRows<u8>(static_cast<const u8*>(s), static_cast<u8*>(d), srcStep, dstStep, usedWidth,
                                   dstW, dstH, h, xPeriod, yPeriod, areaScale, slots, ch, periodMode, work);
      case IMG_ELEM_U16:
        return SuperSampleRows<u16>(static_cast<const u16*>(s), static_cast<u16*>(d), srcStep, dstStep,
                                    usedWidth, dstW, dstH, h, xPeriod, yPeriod, areaScale, slots, ch, periodMode,
                                    work);
      default:
        return SuperSampleRows<float>(static_cast<const float*>(s), static_cast<float*>(d), srcStep, dstStep,
                                      usedWidth, dstW, dstH, h, xPeriod, yPeriod, areaScale, slots, ch,
                                      periodMode, work);
    }
  };

  if (!planar) {
    const u8* s = static_cast<const u8*>(src) + int64_t(roi.y) * srcStep + int64_t(roi.x) * slots * elemSize;
    return run(s, dst, nullptr);
  }
  // Planes share one work row, taken before the first plane so that a lack of memory
  // leaves every plane untouched.
  void* work = WorkAllocBytes(int64_t(usedWidth) * 4);
  if (!work) return IMG_ERR_NO_MEMORY;
  const int32_t planes = channels == 4 ? 4 : 3;
  const int64_t offset = int64_t(roi.y) * srcStep + int64_t(roi.x) * elemSize;
  ImgStatus result = IMG_OK;
  for (int32_t p = 0; p < planes; ++p) {
    const u8* s = static_cast<const u8* const*>(src)[p] + offset;
    ImgStatus r = run(s, static_cast<void* const*>(dst)[p], work);
    if (r != IMG_OK && result == IMG_OK) result = r;
  }
  WorkFree(work);
  return result;
}

}  // namespace
