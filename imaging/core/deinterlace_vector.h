// Row kernels of the deinterlacers for levels 1 to 4, in blocks of 16 pixels.
//
// Included by each deinterlace_level<k>.cpp inside that level's namespace after
// <immintrin.h>. Every kernel computes the level-0 result exactly: byte averages are
// pavgb ((a + b + 1) >> 1), the threshold is applied in full (not just its low byte),
// and the blend weight follows the linear rule of ImgDeinterlaceBlendLinearWeight.

inline __m128i Ld(const u8* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void St(u8* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline __m128i AbsDiffU8(__m128i a, __m128i b) { return _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a)); }

// mask ? a : b
inline __m128i Select(__m128i mask, __m128i a, __m128i b) {
#if defined(__SSE4_1__)
  return _mm_blendv_epi8(b, a, mask);
#else
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
#endif
}

// The largest of the five frame-to-frame differences the still test takes in one kept
// row: F1-F0, F1-F2, F1-F3, F0-F2, F2-F3. They are exactly the pairs within {F0, F1, F2}
// and within {F1, F2, F3}, so their largest is the larger of those two ranges.
inline __m128i KeptRowSpread(__m128i f0, __m128i f1, __m128i f2, __m128i f3) {
  const __m128i hi12 = _mm_max_epu8(f1, f2), lo12 = _mm_min_epu8(f1, f2);
  const __m128i spread012 = _mm_sub_epi8(_mm_max_epu8(hi12, f0), _mm_min_epu8(lo12, f0));
  const __m128i spread123 = _mm_sub_epi8(_mm_max_epu8(hi12, f3), _mm_min_epu8(lo12, f3));
  return _mm_max_epu8(spread012, spread123);
}

// Still: every difference at most limit (the threshold less one).
enum StillRule { kSomeStill, kAllStill, kNoneStill };

// ReferenceIsF1: the reference picture is frames[1] (else frames[2]), so its kept rows
// are already loaded. Cached: the row fits the kept-row cache, which then receives the
// spread of row y + 1 and, when it holds row y - 1's, supplies that one.
template <StillRule Rule, bool ReferenceIsF1, bool Strict, bool Cached>
int MotionAdaptiveBlocks(const u8* const f[4], const u8* r, const u8* c, int srcStep, u8* d, int y, int width,
                         __m128i limit, KeptRowCache* cache, u8* keptDst) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i six = _mm_set1_epi8(6), thirty = _mm_set1_epi8(30), top = _mm_set1_epi8(char(235));
  const s64 up = s64(y - 1) * srcStep, mid = s64(y) * srcStep, down = s64(y + 1) * srcStep;
  const u8 *f0u = f[0] + up, *f1u = f[1] + up, *f2u = f[2] + up, *f3u = f[3] + up;
  const u8 *f0d = f[0] + down, *f1d = f[1] + down, *f2d = f[2] + down, *f3d = f[3] + down;
  const u8 *ry = r + mid, *cy = c + mid;
  u8* spreads = cache->v;
  // The rows the next missing row reads first: fetched a row ahead, so the many streams
  // of one row pair do not wait on memory one after another.
  const s64 ahead = 2 * s64(srcStep);
  // One prefetch per stream and 64 bytes.
  auto fetch = [&](int x) __attribute__((always_inline)) {
    _mm_prefetch(reinterpret_cast<const char*>(f0d + ahead + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(f1d + ahead + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(f2d + ahead + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(f3d + ahead + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(ry + ahead + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(cy + ahead + x), _MM_HINT_T0);
  };
  auto block = [&](int x, bool upCached) __attribute__((always_inline)) {
    const __m128i a = Ld(cy + x);
    const __m128i nu = Ld((ReferenceIsF1 ? f1u : f2u) + x), nd = Ld((ReferenceIsF1 ? f1d : f2d) + x);
    if (keptDst) St(keptDst + x, nd);  // the kept row below, from the reference picture
    __m128i still;
    if constexpr (Rule == kAllStill) {
      still = _mm_set1_epi8(-1);
    } else if constexpr (Rule == kNoneStill) {
      still = zero;
    } else {
      const __m128i f1dv = ReferenceIsF1 ? nd : Ld(f1d + x), f2dv = ReferenceIsF1 ? Ld(f2d + x) : nd;
      const __m128i spreadDown = KeptRowSpread(Ld(f0d + x), f1dv, f2dv, Ld(f3d + x));
      __m128i spreadUp;
      if (upCached) {
        spreadUp = Ld(spreads + x);
      } else {
        const __m128i f1uv = ReferenceIsF1 ? nu : Ld(f1u + x), f2uv = ReferenceIsF1 ? Ld(f2u + x) : nu;
        spreadUp = KeptRowSpread(Ld(f0u + x), f1uv, f2uv, Ld(f3u + x));
      }
      if constexpr (Cached) St(spreads + x, spreadDown);
      const __m128i m = _mm_max_epu8(AbsDiffU8(Ld(ry + x), a), _mm_max_epu8(spreadUp, spreadDown));
      still = _mm_cmpeq_epi8(_mm_subs_epu8(m, limit), zero);
    }
    const __m128i margin = Strict ? Select(still, thirty, six) : six;
    const __m128i lo = _mm_subs_epu8(a, margin);
    const __m128i hi = _mm_min_epu8(_mm_adds_epu8(a, margin), top);
    // Both neighbours below lo: their larger one is; both above hi: their smaller one is.
    const __m128i below = _mm_subs_epu8(lo, _mm_max_epu8(nu, nd));
    const __m128i above = _mm_subs_epu8(_mm_min_epu8(nu, nd), hi);
    __m128i keep = _mm_cmpeq_epi8(_mm_or_si128(below, above), zero);
    if constexpr (!Strict) keep = _mm_or_si128(keep, still);
    St(d + x, Select(keep, a, _mm_avg_epu8(nu, nd)));
  };
  if (width < 16) return 0;
  const bool upCached = Cached && Rule == kSomeStill && cache->row == y - 1;
  // Four blocks per step, so the prefetches need no test per block.
  auto run = [&](bool cached) __attribute__((always_inline)) {
    int x = 0;
    for (; x + 64 <= width; x += 64) {
      fetch(x);
      block(x, cached);
      block(x + 16, cached);
      block(x + 32, cached);
      block(x + 48, cached);
    }
    if (x + 16 <= width) fetch(x);
    for (; x + 16 <= width; x += 16) block(x, cached);
  };
  if (upCached)
    run(true);
  else
    run(false);
  // The last, partial block again as a whole one ending at the row's end: its pixels
  // depend only on the sources, so the overlap rewrites the same values. Its first
  // columns already hold row y + 1 in the cache, so it forms row y - 1's spread itself.
  if (width % 16) block(width - 16, false);
  if constexpr (Rule == kSomeStill) cache->row = Cached ? y + 1 : -1;
  return width;
}

template <StillRule Rule, bool Cached>
int MotionAdaptiveBlocksFor(bool referenceIsF1, int strict, const u8* const f[4], const u8* r, const u8* c,
                            int srcStep, u8* d, int y, int width, __m128i limit, KeptRowCache* cache,
                            u8* keptDst) {
  if (referenceIsF1)
    return strict ? MotionAdaptiveBlocks<Rule, true, true, Cached>(f, r, c, srcStep, d, y, width, limit, cache, keptDst)
                  : MotionAdaptiveBlocks<Rule, true, false, Cached>(f, r, c, srcStep, d, y, width, limit, cache,
                                                                    keptDst);
  return strict ? MotionAdaptiveBlocks<Rule, false, true, Cached>(f, r, c, srcStep, d, y, width, limit, cache, keptDst)
                : MotionAdaptiveBlocks<Rule, false, false, Cached>(f, r, c, srcStep, d, y, width, limit, cache,
                                                                   keptDst);
}

int VecMotionAdaptiveRow(const u8* const f[4], const u8* r, const u8* c, int srcStep, u8* d, int y, int width,
                         int threshold, int strict, KeptRowCache* cache, u8* keptDst) {
  // Differences are bytes: a threshold above 255 makes every pixel still, one of 0 or
  // less none; in between "below threshold" is "at most threshold - 1".
  const bool referenceIsF1 = r == f[1];
  const __m128i none = _mm_setzero_si128();
  if (threshold > 255)
    return MotionAdaptiveBlocksFor<kAllStill, false>(referenceIsF1, strict, f, r, c, srcStep, d, y, width, none, cache, keptDst);
  if (threshold <= 0)
    return MotionAdaptiveBlocksFor<kNoneStill, false>(referenceIsF1, strict, f, r, c, srcStep, d, y, width, none,
                                                      cache, keptDst);
  const __m128i limit = _mm_set1_epi8(char(threshold - 1));
  if (width <= KeptRowCache::kColumns)
    return MotionAdaptiveBlocksFor<kSomeStill, true>(referenceIsF1, strict, f, r, c, srcStep, d, y, width, limit,
                                                     cache, keptDst);
  return MotionAdaptiveBlocksFor<kSomeStill, false>(referenceIsF1, strict, f, r, c, srcStep, d, y, width, limit,
                                                    cache, keptDst);
}

inline __m128i Median3U8(__m128i a, __m128i b, __m128i c) {
  return _mm_max_epu8(_mm_min_epu8(a, b), _mm_min_epu8(_mm_max_epu8(a, b), c));
}

inline int Clamp16(s64 v) { return v < -32768 ? -32768 : v > 32767 ? 32767 : int(v); }

// How the vector blocks form the spatial weight from the state's factor and offset.
enum WeightForm {
  kWeightBytes,  // 4 factor and 4 offset fit signed bytes: one pmaddubsw, no 16-bit saturation
  kWeightSmall,  // factor of at most 128 in size: every product fits 16 bits
  kWeightWide,   // any other factor: the product formed in 32 bits and saturated
};

// Four times the spatial weight of eight motion values (16-bit lanes; m holds them as
// bytes for kWeightBytes): the linear rule in saturating 16-bit arithmetic, limited to
// 0..256. For kWeightBytes factor holds the byte pairs (4 factor, 4 offset); no sum can
// saturate there, so 4 (factor m + offset) limited to 0..1024 is the same value.
template <WeightForm Form>
inline __m128i Weight4Of(__m128i m, __m128i factor, __m128i offset) {
  if constexpr (Form == kWeightBytes) {
#if defined(__SSSE3__)
    const __m128i w4 = _mm_maddubs_epi16(m, factor);
    return _mm_min_epi16(_mm_max_epi16(w4, _mm_setzero_si128()), _mm_set1_epi16(1024));
#endif
  }
  __m128i p;
  if constexpr (Form == kWeightSmall) {
    p = _mm_mullo_epi16(m, factor);
  } else {
    const __m128i zero = _mm_setzero_si128();
    p = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(m, zero), factor),
                        _mm_madd_epi16(_mm_unpackhi_epi16(m, zero), factor));
  }
  const __m128i w = _mm_adds_epi16(p, offset);
  return _mm_slli_epi16(_mm_min_epi16(_mm_max_epi16(w, _mm_setzero_si128()), _mm_set1_epi16(256)), 2);
}

// (med * (256 - w) + k * w) >> 8 for sixteen pixels, four times the weights w (0..256)
// of pixels 0-7 in w4Lo and 8-15 in w4Hi. It equals med + floor((k - med) * w / 256),
// which lies in 0..255 like the blend itself, so its byte is med plus that term modulo
// 256. The term is the high half of 64 (k - med) times 4 w, both within 16 bits.
inline __m128i BlendBytes(__m128i w4Lo, __m128i w4Hi, __m128i med, __m128i k) {
#if defined(__SSSE3__)
  const __m128i plusMinus64 = _mm_set1_epi16(short(0xC040));  // bytes 64, -64
  const __m128i dLo = _mm_maddubs_epi16(_mm_unpacklo_epi8(k, med), plusMinus64);
  const __m128i dHi = _mm_maddubs_epi16(_mm_unpackhi_epi8(k, med), plusMinus64);
#else
  const __m128i zero = _mm_setzero_si128();
  const __m128i dLo = _mm_slli_epi16(_mm_sub_epi16(_mm_unpacklo_epi8(k, zero), _mm_unpacklo_epi8(med, zero)), 6);
  const __m128i dHi = _mm_slli_epi16(_mm_sub_epi16(_mm_unpackhi_epi8(k, zero), _mm_unpackhi_epi8(med, zero)), 6);
#endif
  const __m128i low = _mm_set1_epi16(0x00FF);
  const __m128i qLo = _mm_and_si128(_mm_mulhi_epi16(dLo, w4Lo), low);
  const __m128i qHi = _mm_and_si128(_mm_mulhi_epi16(dHi, w4Hi), low);
  return _mm_add_epi8(med, _mm_packus_epi16(qLo, qHi));
}

// Motion-value limits as byte compares: m < lower is lowerBiased > m ^ 0x80, or always
// when lower is above 255; m > upper likewise, or always when upper is negative.
struct BlendLimits {
  __m128i lowerBiased, allBelow, upperBiased, allAbove;
};

// The motion test's half for one kept row: avg(|P - cur|, |N - cur|) on that row.
inline __m128i MotionHalf(__m128i cur, __m128i p, __m128i n) {
  return _mm_avg_epu8(AbsDiffU8(p, cur), AbsDiffU8(n, cur));
}

// Cached: the row fits the kept-row cache, which receives row y + 1's motion halves and,
// when it holds row y - 1's, supplies those.
template <WeightForm Form, bool Cached>
int BlendBlocks(const BlendRows& r, int y, u8* d, int n, __m128i factor, __m128i offset, const BlendLimits& lim,
                KeptRowCache* cache, u8* keptDst) {
  const __m128i zero = _mm_setzero_si128(), bias = _mm_set1_epi8(char(0x80));
  u8* halves = cache->v;
  // Local copies: the stores through d could alias the records, which would make the
  // compiler reload every pointer and limit in every block.
  const u8 *rowCur = r.cur, *rowUp = r.up, *rowDown = r.down, *rowT = r.t;
  const u8 *rowPu = r.pu, *rowPd = r.pd, *rowNu = r.nu, *rowNd = r.nd;
  const __m128i lowerBiased = lim.lowerBiased, allBelow = lim.allBelow;
  const __m128i upperBiased = lim.upperBiased, allAbove = lim.allAbove;
  // The next missing row's new rows, a row pair ahead, as in the motion-adaptive rows.
  const s64 ahead = 2 * s64(rowCur - rowUp);
  // One prefetch per stream and 64 bytes.
  auto fetch = [&](int i) __attribute__((always_inline)) {
    const int x = 1 + i;
    _mm_prefetch(reinterpret_cast<const char*>(rowCur + ahead + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(rowDown + ahead + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(rowPd + ahead + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(rowNd + ahead + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(rowT + ahead + x), _MM_HINT_T0);
  };
  auto block = [&](int i, bool upCached) __attribute__((always_inline)) {
    const int x = 1 + i;
    const __m128i up = Ld(rowUp + x), down = Ld(rowDown + x), cur = Ld(rowCur + x);
    if (keptDst) St(keptDst + x, down);  // the kept row below
    const __m128i halfDown = MotionHalf(down, Ld(rowPd + x), Ld(rowNd + x));
    const __m128i halfUp = upCached ? Ld(halves + i) : MotionHalf(up, Ld(rowPu + x), Ld(rowNu + x));
    if constexpr (Cached) St(halves + i, halfDown);
    const __m128i m = _mm_max_epu8(_mm_avg_epu8(halfUp, halfDown), AbsDiffU8(cur, Ld(rowT + x)));
    const __m128i med = Median3U8(up, cur, down);
    const __m128i mBiased = _mm_xor_si128(m, bias);
    const __m128i belowLower = _mm_or_si128(_mm_cmpgt_epi8(lowerBiased, mBiased), allBelow);
    if (_mm_movemask_epi8(belowLower) == 0xFFFF) {
      // All still: the median alone.
      St(d + x, med);
      return;
    }
    const __m128i aboveUpper = _mm_or_si128(_mm_cmpgt_epi8(mBiased, upperBiased), allAbove);
    const __m128i upL = Ld(rowUp + x - 1), upR = Ld(rowUp + x + 1);
    const __m128i downL = Ld(rowDown + x - 1), downR = Ld(rowDown + x + 1);
    // The diagonal with the smaller difference (the second one on a tie), then the
    // vertical unless that diagonal's difference is smaller than the vertical one.
    const __m128i dA = AbsDiffU8(upL, downR), dB = AbsDiffU8(upR, downL), dV = AbsDiffU8(up, down);
    const __m128i dDiag = _mm_min_epu8(dA, dB);
    const __m128i kDiag = Select(_mm_cmpeq_epi8(dDiag, dB), _mm_avg_epu8(upR, downL), _mm_avg_epu8(upL, downR));
    const __m128i k = Select(_mm_cmpeq_epi8(_mm_max_epu8(dDiag, dV), dDiag), _mm_avg_epu8(up, down), kDiag);
    __m128i out = k;
    if (_mm_movemask_epi8(_mm_or_si128(belowLower, aboveUpper)) != 0xFFFF) {
      // Some pixels between the limits: the weighted blend.
      // Motion values widened to 16 bits, or paired with a one for the byte form.
      const __m128i pad = Form == kWeightBytes ? _mm_set1_epi8(1) : zero;
      const __m128i mLo = _mm_unpacklo_epi8(m, pad), mHi = _mm_unpackhi_epi8(m, pad);
      const __m128i blend =
          BlendBytes(Weight4Of<Form>(mLo, factor, offset), Weight4Of<Form>(mHi, factor, offset), med, k);
      out = Select(aboveUpper, k, blend);
    }
    St(d + x, Select(belowLower, med, out));
  };
  if (n < 16) return 0;
  const bool upCached = Cached && cache->row == y - 1;
  // Four blocks per step, as in the motion-adaptive rows.
  auto run = [&](bool cached) __attribute__((always_inline)) {
    int i = 0;
    for (; i + 64 <= n; i += 64) {
      fetch(i);
      block(i, cached);
      block(i + 16, cached);
      block(i + 32, cached);
      block(i + 48, cached);
    }
    if (i + 16 <= n) fetch(i);
    for (; i + 16 <= n; i += 16) block(i, cached);
  };
  if (upCached)
    run(true);
  else
    run(false);
  // The overlapping last block, as in the motion-adaptive rows; its first columns already
  // hold row y + 1 in the cache.
  if (n % 16) block(n - 16, false);
  cache->row = Cached ? y + 1 : -1;
  return n;
}

// Interior pixels of a blend row starting at column 1; n is the number of interior
// columns (width - 2). Returns how many it did.
int VecBlendRow(const BlendRows& r, int y, u8* d, int n, const ImgDeinterlaceBlendState* st, KeptRowCache* cache,
                u8* keptDst) {
  const int factor16 = Clamp16(st->vectorWeightFactor), offset16 = Clamp16(st->vectorWeightOffset);
  const __m128i offset = _mm_set1_epi16(short(offset16));
  const int lower = st->lowerLimit, upper = st->upperLimit;
  BlendLimits lim;
  lim.lowerBiased = _mm_set1_epi8(char((lower < 0 ? 0 : lower > 255 ? 255 : lower) - 128));
  lim.allBelow = _mm_set1_epi8(char(lower > 255 ? -1 : 0));
  lim.upperBiased = _mm_set1_epi8(char((upper < 0 ? 0 : upper > 255 ? 255 : upper) - 128));
  lim.allAbove = _mm_set1_epi8(char(upper < 0 ? -1 : 0));
  const bool cached = n <= KeptRowCache::kColumns;
#if defined(__SSSE3__)
  if (factor16 >= -32 && factor16 <= 31 && offset16 >= -32 && offset16 <= 31) {
    const __m128i pairs = _mm_set1_epi16(short((u16(u8(s8(4 * offset16))) << 8) | u8(s8(4 * factor16))));
    return cached ? BlendBlocks<kWeightBytes, true>(r, y, d, n, pairs, offset, lim, cache, keptDst)
                  : BlendBlocks<kWeightBytes, false>(r, y, d, n, pairs, offset, lim, cache, keptDst);
  }
#endif
  if (factor16 >= -128 && factor16 <= 128) {
    const __m128i factor = _mm_set1_epi16(short(factor16));
    return cached ? BlendBlocks<kWeightSmall, true>(r, y, d, n, factor, offset, lim, cache, keptDst)
                  : BlendBlocks<kWeightSmall, false>(r, y, d, n, factor, offset, lim, cache, keptDst);
  }
  const __m128i factor = _mm_set1_epi32(factor16 & 0xFFFF);
  return cached ? BlendBlocks<kWeightWide, true>(r, y, d, n, factor, offset, lim, cache, keptDst)
                : BlendBlocks<kWeightWide, false>(r, y, d, n, factor, offset, lim, cache, keptDst);
}
