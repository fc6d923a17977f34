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

// Unsigned a < b, as a byte mask.
inline __m128i LessU8(__m128i a, __m128i b) {
  const __m128i bias = _mm_set1_epi8(char(0x80));
  return _mm_cmpgt_epi8(_mm_xor_si128(b, bias), _mm_xor_si128(a, bias));
}

int VecMotionAdaptiveRow(const u8* const f[4], const u8* r, const u8* c, int srcStep, u8* d, int y,
                                int width, int threshold, int strict) {
  // Differences are bytes: a threshold above 255 makes every pixel still, one of 0 or
  // less none; in between "below threshold" is "at most threshold - 1".
  const bool allStill = threshold > 255, noneStill = threshold <= 0;
  const __m128i limit = _mm_set1_epi8(char(allStill || noneStill ? 0 : threshold - 1));
  const __m128i zero = _mm_setzero_si128();
  const __m128i six = _mm_set1_epi8(6), thirty = _mm_set1_epi8(30), top = _mm_set1_epi8(char(235));
  const s64 up = s64(y - 1) * srcStep, mid = s64(y) * srcStep, down = s64(y + 1) * srcStep;
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i a = Ld(c + mid + x);
    __m128i still;
    if (allStill) {
      still = _mm_set1_epi8(-1);
    } else if (noneStill) {
      still = zero;
    } else {
      const __m128i f0u = Ld(f[0] + up + x), f0d = Ld(f[0] + down + x);
      const __m128i f1u = Ld(f[1] + up + x), f1d = Ld(f[1] + down + x);
      const __m128i f2u = Ld(f[2] + up + x), f2d = Ld(f[2] + down + x);
      const __m128i f3u = Ld(f[3] + up + x), f3d = Ld(f[3] + down + x);
      __m128i m = AbsDiffU8(Ld(r + mid + x), a);
      m = _mm_max_epu8(m, AbsDiffU8(f1d, f0d));
      m = _mm_max_epu8(m, AbsDiffU8(f1u, f0u));
      m = _mm_max_epu8(m, AbsDiffU8(f1d, f2d));
      m = _mm_max_epu8(m, AbsDiffU8(f1u, f2u));
      m = _mm_max_epu8(m, AbsDiffU8(f1d, f3d));
      m = _mm_max_epu8(m, AbsDiffU8(f1u, f3u));
      m = _mm_max_epu8(m, AbsDiffU8(f0d, f2d));
      m = _mm_max_epu8(m, AbsDiffU8(f0u, f2u));
      m = _mm_max_epu8(m, AbsDiffU8(f2d, f3d));
      m = _mm_max_epu8(m, AbsDiffU8(f2u, f3u));
      still = _mm_cmpeq_epi8(_mm_subs_epu8(m, limit), zero);
    }
    const __m128i nu = Ld(r + up + x), nd = Ld(r + down + x);
    const __m128i margin = strict ? Select(still, thirty, six) : six;
    const __m128i lo = _mm_subs_epu8(a, margin);
    const __m128i hi = _mm_min_epu8(_mm_adds_epu8(a, margin), top);
    // Both neighbours below lo: their larger one is; both above hi: their smaller one is.
    const __m128i below = _mm_subs_epu8(lo, _mm_max_epu8(nu, nd));
    const __m128i above = _mm_subs_epu8(_mm_min_epu8(nu, nd), hi);
    const __m128i keep = _mm_cmpeq_epi8(_mm_or_si128(below, above), zero);
    __m128i out = Select(keep, a, _mm_avg_epu8(nu, nd));
    if (!strict) out = Select(still, a, out);
    St(d + x, out);
  }
  return x;
}

inline __m128i Median3U8(__m128i a, __m128i b, __m128i c) {
  return _mm_max_epu8(_mm_min_epu8(a, b), _mm_min_epu8(_mm_max_epu8(a, b), c));
}

inline int Clamp16(s64 v) { return v < -32768 ? -32768 : v > 32767 ? 32767 : int(v); }

// (med * (256 - w) + k * w) >> 8 for eight pixels widened to 16 bits, w from motion m.
inline __m128i BlendHalf(__m128i m16, __m128i med16, __m128i k16, __m128i factor, __m128i offset) {
  const __m128i zero = _mm_setzero_si128();
  // The product in 32 bits, then saturated to 16 like the rest of the rule.
  const __m128i pLo = _mm_madd_epi16(_mm_unpacklo_epi16(m16, zero), factor);
  const __m128i pHi = _mm_madd_epi16(_mm_unpackhi_epi16(m16, zero), factor);
  __m128i w = _mm_adds_epi16(_mm_packs_epi32(pLo, pHi), offset);
  w = _mm_min_epi16(_mm_max_epi16(w, zero), _mm_set1_epi16(256));
  const __m128i wm = _mm_sub_epi16(_mm_set1_epi16(256), w);
  return _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(med16, wm), _mm_mullo_epi16(k16, w)), 8);
}

// Interior pixels of a blend row starting at column 1; n is the number of interior
// columns (width - 2). Returns how many it did.
int VecBlendRow(const BlendRows& r, u8* d, int n, const ImgDeinterlaceBlendState* st) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i factor = _mm_set1_epi32(Clamp16(st->vectorWeightFactor) & 0xFFFF);
  const __m128i offset = _mm_set1_epi16(short(Clamp16(st->vectorWeightOffset)));
  // Limits brought into 16 bits without changing any comparison with 0..255.
  const int lower = st->lowerLimit < 0 ? 0 : st->lowerLimit > 256 ? 256 : st->lowerLimit;
  const int upper = st->upperLimit < -1 ? -1 : st->upperLimit > 255 ? 255 : st->upperLimit;
  const __m128i lower16 = _mm_set1_epi16(short(lower)), upper16 = _mm_set1_epi16(short(upper));
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    const int x = 1 + i;
    const __m128i up = Ld(r.up + x), down = Ld(r.down + x), cur = Ld(r.cur + x);
    const __m128i motion = _mm_avg_epu8(_mm_avg_epu8(AbsDiffU8(Ld(r.pu + x), up), AbsDiffU8(Ld(r.nu + x), up)),
                                        _mm_avg_epu8(AbsDiffU8(Ld(r.pd + x), down), AbsDiffU8(Ld(r.nd + x), down)));
    const __m128i m = _mm_max_epu8(motion, AbsDiffU8(cur, Ld(r.t + x)));
    const __m128i med = Median3U8(up, cur, down);
    const __m128i upL = Ld(r.up + x - 1), upR = Ld(r.up + x + 1);
    const __m128i downL = Ld(r.down + x - 1), downR = Ld(r.down + x + 1);
    const __m128i dA = AbsDiffU8(upL, downR), dB = AbsDiffU8(upR, downL), dV = AbsDiffU8(up, down);
    const __m128i kV = _mm_avg_epu8(up, down);
    const __m128i kA = Select(LessU8(dA, dV), _mm_avg_epu8(upL, downR), kV);
    const __m128i kB = Select(LessU8(dB, dV), _mm_avg_epu8(upR, downL), kV);
    const __m128i k = Select(LessU8(dA, dB), kA, kB);

    const __m128i mLo = _mm_unpacklo_epi8(m, zero), mHi = _mm_unpackhi_epi8(m, zero);
    const __m128i blend =
        _mm_packus_epi16(BlendHalf(mLo, _mm_unpacklo_epi8(med, zero), _mm_unpacklo_epi8(k, zero), factor, offset),
                         BlendHalf(mHi, _mm_unpackhi_epi8(med, zero), _mm_unpackhi_epi8(k, zero), factor, offset));
    const __m128i belowLower =
        _mm_packs_epi16(_mm_cmplt_epi16(mLo, lower16), _mm_cmplt_epi16(mHi, lower16));
    const __m128i aboveUpper =
        _mm_packs_epi16(_mm_cmpgt_epi16(mLo, upper16), _mm_cmpgt_epi16(mHi, upper16));
    St(d + x, Select(belowLower, med, Select(aboveUpper, k, blend)));
  }
  return i;
}
