// Row kernels of the colour-format conversions for levels 1 to 4.
//
// Included by each colour_level<k>.cpp inside that level's namespace (after
// <immintrin.h>), so every level gets its own copy compiled with its own instruction set:
// SSE2 everywhere, SSSE3 shuffles and horizontal adds from level 2 on, VEX encoding at
// level 4. Each kernel handles the longest prefix of a row it can do in whole vector
// steps and returns how many pixels, pairs or blocks it did; the scalar code finishes.
//
// The RGB kernels compute exactly the level-0 integers, except the YUY2-to-BGRA one (see
// Yuy2ToBgraApprox), which may differ by one. A channel is
//   (L * Y + C) >> 16,  C = CD * d + CE * e + K,
// with Y the luma byte, d = Cb - 128 and e = Cr - 128. C is formed per chroma sample in
// 32 bits: each coefficient is split into a multiple of 65536 and a 16-bit remainder, the
// remainders go through pmaddwd and the multiples of 65536 are added as shifted copies of
// the inputs. The video-range forms keep a pixel pair per 32-bit lane, even and odd
// pixels' L * Y apart, so a chroma term is added without being spread to its pixels, and
// take the high halves of the sums (far inside 16 bits) in pixel order. The studio forms
// (L = 65536) reduce to Y + (C >> 16) per channel, in 16 bits. The unsigned pack to
// bytes is the clamp.

// ---- Small helpers ----------------------------------------------------------------------

inline __m128i Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline __m128i Load8(const void* p) { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }
inline void Store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

inline __m128i HorizontalAdd32(__m128i a, __m128i b) {
#if defined(__SSSE3__)
  return _mm_hadd_epi32(a, b);
#else
  const __m128 fa = _mm_castsi128_ps(a), fb = _mm_castsi128_ps(b);
  const __m128i even = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm_add_epi32(even, odd);
#endif
}

// ---- YUV to RGB -------------------------------------------------------------------------

struct Coefficients {
  int luma;                 // 76284 or 65536
  int cd[3], ce[3], k[3];   // per channel B, G, R
};

template <ColourSet Set>
constexpr Coefficients CoefficientsOf() {
  // Video range with rounding: 76284 * (Y - 16) + 32768 folded into the constant.
  constexpr int kRounded = -76284 * 16 + 32768;
  if constexpr (Set == kColourBt709)
    return {76284, {138609, -13959, 0}, {0, -34996, 117506}, {kRounded, kRounded, kRounded}};
  if constexpr (Set == kColourBt601)
    return {76284, {132186, -25690, 0}, {0, -53281, 104595}, {kRounded, kRounded, kRounded}};
  if constexpr (Set == kColourBt601Raw)
    // The raw-byte offsets rewritten for centred chroma: offset + coefficient * 128.
    return {76284,
            {132186, -25690, 0},
            {0, -53281, 104595},
            {132186 * 128 - 18140365, -53281 * 128 - 25690 * 128 + 8887730, 104595 * 128 - 14608761}};
  return {65536, {119013, -11993, 0}, {0, -30081, 100925}, {32768, 32768, 32768}};
}

constexpr int HighPart(int c) { return (c + 32768) >> 16; }
constexpr int LowPart(int c) { return c - HighPart(c) * 65536; }

template <int H>
inline __m128i AddTimes(__m128i t, __m128i x) {
  static_assert(H >= -2 && H <= 2, "coefficient out of the split's range");
  if constexpr (H == 1) return _mm_add_epi32(t, x);
  if constexpr (H == 2) return _mm_add_epi32(t, _mm_add_epi32(x, x));
  if constexpr (H == -1) return _mm_sub_epi32(t, x);
  if constexpr (H == -2) return _mm_sub_epi32(t, _mm_add_epi32(x, x));
  return t;
}

// CD * d + CE * e + K for four chroma samples; de holds d in the low and e in the high
// 16 bits of each lane.
template <int CD, int CE, int K>
inline __m128i ChromaTerm(__m128i de, __m128i d16, __m128i e16) {
  constexpr u32 pair = (u32(LowPart(CE)) << 16) | (u32(LowPart(CD)) & 0xFFFFu);
  __m128i t = _mm_madd_epi16(de, _mm_set1_epi32(int(pair)));
  if constexpr (K != 0) t = _mm_add_epi32(t, _mm_set1_epi32(K));
  t = AddTimes<HighPart(CD)>(t, d16);
  return AddTimes<HighPart(CE)>(t, e16);
}

template <ColourSet Set, int Ch>
inline __m128i ChannelTerm(__m128i de) {
  constexpr Coefficients k = CoefficientsOf<Set>();
  const __m128i d16 = _mm_slli_epi32(de, 16);
  const __m128i e16 = _mm_and_si128(de, _mm_set1_epi32(int(0xFFFF0000u)));
  return ChromaTerm<k.cd[Ch], k.ce[Ch], k.k[Ch]>(de, d16, e16);
}

template <ColourSet Set>
constexpr bool LumaUnscaled() {
  return CoefficientsOf<Set>().luma == 65536;
}

// The studio forms' chroma terms of eight samples (d, e pairs of samples 0-3 in de0, 4-7
// in de1), one channel each, as C >> 16 in 16-bit lanes.
template <ColourSet Set>
inline void StudioTerms(__m128i de0, __m128i de1, __m128i high[3]) {
  static_assert(LumaUnscaled<Set>(), "only an unscaled luma reduces to Y + (C >> 16)");
  const __m128i c0[3] = {ChannelTerm<Set, 0>(de0), ChannelTerm<Set, 1>(de0), ChannelTerm<Set, 2>(de0)};
  const __m128i c1[3] = {ChannelTerm<Set, 0>(de1), ChannelTerm<Set, 1>(de1), ChannelTerm<Set, 2>(de1)};
  for (int ch = 0; ch < 3; ++ch) high[ch] = _mm_packs_epi32(_mm_srai_epi32(c0[ch], 16), _mm_srai_epi32(c1[ch], 16));
}

// B, G, R of sixteen pixels (luma of pixels 0-7 in y0, 8-15 in y1, 16-bit lanes) in the
// studio form, each of the eight chroma terms shared by a pixel pair.
inline void StudioChannels(__m128i y0, __m128i y1, const __m128i high[3], __m128i lo[3], __m128i hi[3]) {
  for (int ch = 0; ch < 3; ++ch) {
    lo[ch] = _mm_add_epi16(y0, _mm_unpacklo_epi16(high[ch], high[ch]));
    hi[ch] = _mm_add_epi16(y1, _mm_unpackhi_epi16(high[ch], high[ch]));
  }
}

// Four pixel pairs that share a chroma sample each (4:2:2 and 4:2:0): 32-bit lanes hold
// the pair's luma as Y_even | Y_odd << 16. Their luma products L * Y, even pixels and odd
// pixels apart, so one chroma term per lane serves both pixels of the pair.
struct LumaPairs {
  __m128i even, odd;
};

template <ColourSet Set>
inline LumaPairs LumaPairsOf(__m128i yPairs) {
  constexpr int rest = CoefficientsOf<Set>().luma - 65536;
  static_assert(rest >= 0 && rest < 32768, "luma factor out of the pair form's range");
  // L * Y = R * Y + 65536 * Y: pmaddwd against (R, 0) or (0, R) picks one pixel of the pair.
  const __m128i even = _mm_add_epi32(_mm_madd_epi16(yPairs, _mm_set1_epi32(rest)), _mm_slli_epi32(yPairs, 16));
  const __m128i odd = _mm_add_epi32(_mm_madd_epi16(yPairs, _mm_set1_epi32(rest << 16)),
                                    _mm_and_si128(yPairs, _mm_set1_epi32(int(0xFFFF0000u))));
  return {even, odd};
}

// (L * Y + C) >> 16 of the four pairs as eight 16-bit values in pixel order: the high
// halves of the 32-bit sums, which lie far inside 16 bits, taken without a shift of the
// odd ones.
inline __m128i PairChannel(const LumaPairs& l, __m128i cEven, __m128i cOdd) {
  const __m128i e = _mm_srli_epi32(_mm_add_epi32(l.even, cEven), 16), o = _mm_add_epi32(l.odd, cOdd);
#if defined(__SSE4_1__)
  return _mm_blend_epi16(e, o, 0xAA);
#else
  return _mm_or_si128(e, _mm_and_si128(o, _mm_set1_epi32(int(0xFFFF0000u))));
#endif
}

// B, G, R of four pixel pairs from their luma pairs and chroma terms.
template <ColourSet Set>
inline void PairChannels(__m128i yPairs, const __m128i c[3], __m128i out[3]) {
  const LumaPairs l = LumaPairsOf<Set>(yPairs);
  for (int ch = 0; ch < 3; ++ch) out[ch] = PairChannel(l, c[ch], c[ch]);
}

template <ColourSet Set>
inline void ChannelTerms(__m128i de, __m128i c[3]) {
  c[0] = ChannelTerm<Set, 0>(de);
  c[1] = ChannelTerm<Set, 1>(de);
  c[2] = ChannelTerm<Set, 2>(de);
}

// Four pixels of B, G, R, x bytes to 12 bytes of B, G, R at the bottom of the result.
inline __m128i DropFourthBytes(__m128i v) {
#if defined(__SSSE3__)
  return _mm_shuffle_epi8(v, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
#else
  const __m128i c = _mm_or_si128(_mm_and_si128(v, _mm_set1_epi64x(0xFFFFFF)),
                                 _mm_and_si128(_mm_srli_epi64(v, 8), _mm_set1_epi64x(0xFFFFFF000000ll)));
  return _mm_or_si128(_mm_move_epi64(c), _mm_slli_si128(_mm_srli_si128(c, 8), 6));
#endif
}

// Sixteen pixels of B, G, R bytes (16-bit halves lo/hi per channel) to 64 or 48 bytes.
template <int Bpp>
inline void StoreRgb16(u8* d, const __m128i lo[3], const __m128i hi[3], __m128i alpha) {
  const __m128i b = _mm_packus_epi16(lo[0], hi[0]);
  const __m128i g = _mm_packus_epi16(lo[1], hi[1]);
  const __m128i r = _mm_packus_epi16(lo[2], hi[2]);
  const __m128i bgLo = _mm_unpacklo_epi8(b, g), bgHi = _mm_unpackhi_epi8(b, g);
  const __m128i raLo = _mm_unpacklo_epi8(r, alpha), raHi = _mm_unpackhi_epi8(r, alpha);
  const __m128i p0 = _mm_unpacklo_epi16(bgLo, raLo), p1 = _mm_unpackhi_epi16(bgLo, raLo);
  const __m128i p2 = _mm_unpacklo_epi16(bgHi, raHi), p3 = _mm_unpackhi_epi16(bgHi, raHi);
  if constexpr (Bpp == 4) {
    Store(d, p0);
    Store(d + 16, p1);
    Store(d + 32, p2);
    Store(d + 48, p3);
  } else {
    const __m128i r0 = DropFourthBytes(p0), r1 = DropFourthBytes(p1);
    const __m128i r2 = DropFourthBytes(p2), r3 = DropFourthBytes(p3);
    Store(d, _mm_or_si128(r0, _mm_slli_si128(r1, 12)));
    Store(d + 16, _mm_or_si128(_mm_srli_si128(r1, 4), _mm_slli_si128(r2, 8)));
    Store(d + 32, _mm_or_si128(_mm_srli_si128(r2, 8), _mm_slli_si128(r3, 4)));
  }
}

#if defined(__SSSE3__)
// Sixteen pixels to 48 bytes of B, G, R straight from the three channel vectors: each
// output vector gathers its bytes from every channel with one shuffle apiece.
template <>
inline void StoreRgb16<3>(u8* d, const __m128i lo[3], const __m128i hi[3], __m128i) {
  const __m128i b = _mm_packus_epi16(lo[0], hi[0]);
  const __m128i g = _mm_packus_epi16(lo[1], hi[1]);
  const __m128i r = _mm_packus_epi16(lo[2], hi[2]);
  const char z = -1;
  const __m128i b0 = _mm_setr_epi8(0, z, z, 1, z, z, 2, z, z, 3, z, z, 4, z, z, 5);
  const __m128i g0 = _mm_setr_epi8(z, 0, z, z, 1, z, z, 2, z, z, 3, z, z, 4, z, z);
  const __m128i r0 = _mm_setr_epi8(z, z, 0, z, z, 1, z, z, 2, z, z, 3, z, z, 4, z);
  const __m128i b1 = _mm_setr_epi8(z, z, 6, z, z, 7, z, z, 8, z, z, 9, z, z, 10, z);
  const __m128i g1 = _mm_setr_epi8(5, z, z, 6, z, z, 7, z, z, 8, z, z, 9, z, z, 10);
  const __m128i r1 = _mm_setr_epi8(z, 5, z, z, 6, z, z, 7, z, z, 8, z, z, 9, z, z);
  const __m128i b2 = _mm_setr_epi8(z, 11, z, z, 12, z, z, 13, z, z, 14, z, z, 15, z, z);
  const __m128i g2 = _mm_setr_epi8(z, z, 11, z, z, 12, z, z, 13, z, z, 14, z, z, 15, z);
  const __m128i r2 = _mm_setr_epi8(10, z, z, 11, z, z, 12, z, z, 13, z, z, 14, z, z, 15);
  Store(d, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, b0), _mm_shuffle_epi8(g, g0)), _mm_shuffle_epi8(r, r0)));
  Store(d + 16,
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, b1), _mm_shuffle_epi8(g, g1)), _mm_shuffle_epi8(r, r1)));
  Store(d + 32,
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, b2), _mm_shuffle_epi8(g, g2)), _mm_shuffle_epi8(r, r2)));
}
#endif

// Packed 4:2:2 rows, eight pairs per step. LumaHigh: UYVY (luma in the odd bytes).
template <ColourSet Set, bool LumaHigh, int Bpp>
inline int Packed422ToRgb(const u8* s, u8* d, int pairs, u8 alpha) {
  const __m128i a = _mm_set1_epi8(char(alpha));
  const __m128i low = _mm_set1_epi16(0x00FF), centre = _mm_set1_epi16(128);
  int k = 0;
  for (; k + 8 <= pairs; k += 8) {
    __m128i lo[3], hi[3];
    if constexpr (LumaUnscaled<Set>()) {
      const __m128i v0 = Load(s + 4 * k), v1 = Load(s + 4 * k + 16);
      const __m128i y0 = LumaHigh ? _mm_srli_epi16(v0, 8) : _mm_and_si128(v0, low);
      const __m128i y1 = LumaHigh ? _mm_srli_epi16(v1, 8) : _mm_and_si128(v1, low);
      const __m128i de0 = _mm_sub_epi16(LumaHigh ? _mm_and_si128(v0, low) : _mm_srli_epi16(v0, 8), centre);
      const __m128i de1 = _mm_sub_epi16(LumaHigh ? _mm_and_si128(v1, low) : _mm_srli_epi16(v1, 8), centre);
      __m128i high[3];
      StudioTerms<Set>(de0, de1, high);
      StudioChannels(y0, y1, high, lo, hi);
    } else {
      // Each 32-bit lane is one pair: its two luma values and its (d, e).
      for (int h = 0; h < 2; ++h) {
        const __m128i v = Load(s + 4 * k + 16 * h);
        const __m128i y = LumaHigh ? _mm_srli_epi16(v, 8) : _mm_and_si128(v, low);
        const __m128i de = _mm_sub_epi16(LumaHigh ? _mm_and_si128(v, low) : _mm_srli_epi16(v, 8), centre);
        __m128i c[3];
        ChannelTerms<Set>(de, c);
        PairChannels<Set>(y, c, h ? hi : lo);
      }
    }
    StoreRgb16<Bpp>(d + Bpp * 2 * k, lo, hi, a);
  }
  return k;
}

// YUY2 to BGRA, the virtual camera's busiest conversion, in 16-bit fixed point with six
// fraction bits: luma 76284 / 1024 as (Y * 257 * 18997) >> 16, chroma factors 102, 25,
// 52 and 129, offset -1192. Each channel's sum stays within 20/64 of the exact one, so
// a result is the level-0 byte or one away from it; in exchange the block costs about
// two thirds of the exact 32-bit form.
inline int Yuy2ToBgraApprox(const u8* s, u8* d, int pairs, u8 alpha) {
  const __m128i a = _mm_set1_epi8(char(alpha));
  const __m128i low = _mm_set1_epi16(0x00FF), centre = _mm_set1_epi16(128);
  const __m128i lumaFactor = _mm_set1_epi16(short(18997)), offset = _mm_set1_epi16(-1192);
  const __m128i rCoef = _mm_set1_epi32(102 << 16);                     // e
  const __m128i gCoef = _mm_set1_epi32(int((u32(u16(-52)) << 16) | u16(-25)));  // d, e
  const __m128i bCoef = _mm_set1_epi32(129);                           // d
  int k = 0;
  for (; k + 8 <= pairs; k += 8) {
    const __m128i s0 = Load(s + 4 * k), s1 = Load(s + 4 * k + 16);
    const __m128i de0 = _mm_sub_epi16(_mm_srli_epi16(s0, 8), centre);
    const __m128i de1 = _mm_sub_epi16(_mm_srli_epi16(s1, 8), centre);
    __m128i luma[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i y = _mm_and_si128(h ? s1 : s0, low);
      luma[h] = _mm_add_epi16(_mm_mulhi_epu16(_mm_or_si128(y, _mm_slli_epi16(y, 8)), lumaFactor), offset);
    }
    const __m128i coef[3] = {bCoef, gCoef, rCoef};
    __m128i out[3];
    for (int ch = 0; ch < 3; ++ch) {
      const __m128i c = _mm_packs_epi32(_mm_madd_epi16(de0, coef[ch]), _mm_madd_epi16(de1, coef[ch]));
      const __m128i lo = _mm_srai_epi16(_mm_adds_epi16(luma[0], _mm_unpacklo_epi16(c, c)), 6);
      const __m128i hi = _mm_srai_epi16(_mm_adds_epi16(luma[1], _mm_unpackhi_epi16(c, c)), 6);
      out[ch] = _mm_packus_epi16(lo, hi);
    }
    const __m128i bgLo = _mm_unpacklo_epi8(out[0], out[1]), bgHi = _mm_unpackhi_epi8(out[0], out[1]);
    const __m128i raLo = _mm_unpacklo_epi8(out[2], a), raHi = _mm_unpackhi_epi8(out[2], a);
    u8* o = d + 8 * k;
    Store(o, _mm_unpacklo_epi16(bgLo, raLo));
    Store(o + 16, _mm_unpackhi_epi16(bgLo, raLo));
    Store(o + 32, _mm_unpacklo_epi16(bgHi, raHi));
    Store(o + 48, _mm_unpackhi_epi16(bgHi, raHi));
  }
  return k;
}

template <int Bpp>
inline int VecYuy2ToRgb(const u8* s, u8* d, int pairs, u8 alpha) {
  if constexpr (Bpp == 4) return Yuy2ToBgraApprox(s, d, pairs, alpha);
  return Packed422ToRgb<kColourBt601Raw, false, Bpp>(s, d, pairs, alpha);
}

template <int Bpp>
inline int VecUyvyToRgb(const u8* s, u8* d, int pairs, u8 alpha) {
  return Packed422ToRgb<kColourStudio, true, Bpp>(s, d, pairs, alpha);
}

// 4:4:4 rows, sixteen pixels per step, in the pair form with each pixel's own chroma
// term: even and odd pixels' (d, e) are gathered apart to match the luma pairs. The three
// channels share one constant, so it is added to the luma once instead of to each term.
template <ColourSet Set, int Ch>
inline __m128i ChannelTermWithoutConstant(__m128i de) {
  constexpr Coefficients k = CoefficientsOf<Set>();
  const __m128i d16 = _mm_slli_epi32(de, 16);
  const __m128i e16 = _mm_and_si128(de, _mm_set1_epi32(int(0xFFFF0000u)));
  return ChromaTerm<k.cd[Ch], k.ce[Ch], 0>(de, d16, e16);
}

template <int Bpp>
inline int VecYuv444ToRgb(const u8* py, const u8* pb, const u8* pr, u8* d, int width, u8 alpha) {
  constexpr Coefficients k = CoefficientsOf<kColourBt709>();
  static_assert(k.k[0] == k.k[1] && k.k[1] == k.k[2], "the channels' constants differ");
  const __m128i a = _mm_set1_epi8(char(alpha)), zero = _mm_setzero_si128(), centre = _mm_set1_epi16(128);
  const __m128i low = _mm_set1_epi16(0x00FF), constant = _mm_set1_epi32(k.k[0]);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i y = Load(py + x);
    const __m128i cb = Load(pb + x), cr = Load(pr + x);
    const __m128i cbEven = _mm_and_si128(cb, low), cbOdd = _mm_srli_epi16(cb, 8);
    const __m128i crEven = _mm_and_si128(cr, low), crOdd = _mm_srli_epi16(cr, 8);
    __m128i out[2][3];
    for (int h = 0; h < 2; ++h) {
      const __m128i deEven = _mm_sub_epi16(h ? _mm_unpackhi_epi16(cbEven, crEven) : _mm_unpacklo_epi16(cbEven, crEven),
                                           centre);
      const __m128i deOdd = _mm_sub_epi16(h ? _mm_unpackhi_epi16(cbOdd, crOdd) : _mm_unpacklo_epi16(cbOdd, crOdd),
                                          centre);
      LumaPairs l = LumaPairsOf<kColourBt709>(h ? _mm_unpackhi_epi8(y, zero) : _mm_unpacklo_epi8(y, zero));
      l.even = _mm_add_epi32(l.even, constant);
      l.odd = _mm_add_epi32(l.odd, constant);
      out[h][0] = PairChannel(l, ChannelTermWithoutConstant<kColourBt709, 0>(deEven),
                              ChannelTermWithoutConstant<kColourBt709, 0>(deOdd));
      out[h][1] = PairChannel(l, ChannelTermWithoutConstant<kColourBt709, 1>(deEven),
                              ChannelTermWithoutConstant<kColourBt709, 1>(deOdd));
      out[h][2] = PairChannel(l, ChannelTermWithoutConstant<kColourBt709, 2>(deEven),
                              ChannelTermWithoutConstant<kColourBt709, 2>(deOdd));
    }
    StoreRgb16<Bpp>(d + Bpp * x, out[0], out[1], a);
  }
  return x;
}

// 4:2:0 rows: eight blocks (sixteen pixels of two rows) per step; the chroma terms are
// computed and spread to their pixels once for both rows.
template <ColourSet Set, int Bpp>
inline int VecI420ToRgb(const u8* y0, const u8* y1, const u8* cb, const u8* cr, u8* d0, u8* d1,
                        int blocks, u8 alpha) {
  const __m128i a = _mm_set1_epi8(char(alpha)), zero = _mm_setzero_si128(), centre = _mm_set1_epi16(128);
  int k = 0;
  for (; k + 8 <= blocks; k += 8) {
    const __m128i uv = _mm_unpacklo_epi8(Load8(cb + k), Load8(cr + k));
    const __m128i de0 = _mm_sub_epi16(_mm_unpacklo_epi8(uv, zero), centre);
    const __m128i de1 = _mm_sub_epi16(_mm_unpackhi_epi8(uv, zero), centre);
    if constexpr (LumaUnscaled<Set>()) {
      // Y + (C >> 16) per channel, the terms spread to pixels 0-7 and 8-15 once.
      __m128i high[3];
      StudioTerms<Set>(de0, de1, high);
      __m128i hLo[3], hHi[3];
      for (int ch = 0; ch < 3; ++ch) {
        hLo[ch] = _mm_unpacklo_epi16(high[ch], high[ch]);
        hHi[ch] = _mm_unpackhi_epi16(high[ch], high[ch]);
      }
      for (int row = 0; row < 2; ++row) {
        const __m128i y = Load((row ? y1 : y0) + 2 * k);
        const __m128i yLo = _mm_unpacklo_epi8(y, zero), yHi = _mm_unpackhi_epi8(y, zero);
        __m128i lo[3], hi[3];
        for (int ch = 0; ch < 3; ++ch) {
          lo[ch] = _mm_add_epi16(yLo, hLo[ch]);
          hi[ch] = _mm_add_epi16(yHi, hHi[ch]);
        }
        StoreRgb16<Bpp>((row ? d1 : d0) + Bpp * 2 * k, lo, hi, a);
      }
    } else {
      // One chroma term per block and channel; a block's two pixels of a row share a
      // 32-bit lane.
      __m128i c0[3], c1[3];
      ChannelTerms<Set>(de0, c0);
      ChannelTerms<Set>(de1, c1);
      for (int row = 0; row < 2; ++row) {
        const __m128i y = Load((row ? y1 : y0) + 2 * k);
        __m128i lo[3], hi[3];
        PairChannels<Set>(_mm_unpacklo_epi8(y, zero), c0, lo);
        PairChannels<Set>(_mm_unpackhi_epi8(y, zero), c1, hi);
        StoreRgb16<Bpp>((row ? d1 : d0) + Bpp * 2 * k, lo, hi, a);
      }
    }
  }
  return k;
}

// ---- RGB to YUY2 ------------------------------------------------------------------------

// Four B, G, R, x pixels to four 32-bit lanes holding Y in the low and the pair's U (even
// pixel) or V (odd pixel) in the high 16 bits.
inline __m128i Bgrx4ToYuy2(__m128i v) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
  // 33030 does not fit a signed 16-bit factor: use 16515 on 2G.
  const __m128i gOnly = _mm_set_epi16(0, 0, -1, 0, 0, 0, -1, 0);
  const __m128i yCoef = _mm_set_epi16(0, 16843, 16515, 6423, 0, 16843, 16515, 6423);
  const __m128i lo2 = _mm_add_epi16(lo, _mm_and_si128(lo, gOnly));
  const __m128i hi2 = _mm_add_epi16(hi, _mm_and_si128(hi, gOnly));
  __m128i y = HorizontalAdd32(_mm_madd_epi16(lo2, yCoef), _mm_madd_epi16(hi2, yCoef));
  y = _mm_srai_epi32(_mm_add_epi32(y, _mm_set1_epi32(1081344)), 16);
  // Pair sums of B, G, R.
  const __m128i sums = _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
  const __m128i uCoef = _mm_set_epi16(0, -9699, -19071, 28770, 0, -9699, -19071, 28770);
  const __m128i vCoef = _mm_set_epi16(0, 28770, -24117, -4653, 0, 28770, -24117, -4653);
  __m128i uv = HorizontalAdd32(_mm_madd_epi16(sums, uCoef), _mm_madd_epi16(sums, vCoef));
  uv = _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(uv, _mm_set1_epi32(16384)), 17), _mm_set1_epi32(128));
  // [U01, U23, V01, V23] to [U01, V01, U23, V23].
  const __m128i c = _mm_shuffle_epi32(uv, _MM_SHUFFLE(3, 1, 2, 0));
  return _mm_or_si128(y, _mm_slli_epi32(c, 16));
}

inline int VecBgrxToYuy2(const u8* s, u8* d, int pairs) {
  int k = 0;
  for (; k + 4 <= pairs; k += 4)
    Store(d + 4 * k, _mm_packus_epi16(Bgrx4ToYuy2(Load(s + 8 * k)), Bgrx4ToYuy2(Load(s + 8 * k + 16))));
  return k;
}

// ---- Repacking --------------------------------------------------------------------------

inline int VecYuy2Luma(const u8* s, u8* py, int pairs) {
  const __m128i low = _mm_set1_epi16(0x00FF);
  int k = 0;
  for (; k + 8 <= pairs; k += 8)
    Store(py + 2 * k, _mm_packus_epi16(_mm_and_si128(Load(s + 4 * k), low),
                                       _mm_and_si128(Load(s + 4 * k + 16), low)));
  return k;
}

inline int VecYuy2LumaCbCr(const u8* s, u8* py, u8* cbcr, int pairs) {
  const __m128i low = _mm_set1_epi16(0x00FF);
  int k = 0;
  for (; k + 8 <= pairs; k += 8) {
    const __m128i a = Load(s + 4 * k), b = Load(s + 4 * k + 16);
    Store(py + 2 * k, _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
    Store(cbcr + 2 * k, _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
  }
  return k;
}

inline int VecYuy2Planes(const u8* s, u8* py, u8* cb, u8* cr, int pairs) {
  const __m128i low = _mm_set1_epi16(0x00FF);
  int k = 0;
  for (; k + 16 <= pairs; k += 16) {
    const u8* p = s + 4 * k;
    const __m128i a = Load(p), b = Load(p + 16), c = Load(p + 32), e = Load(p + 48);
    Store(py + 2 * k, _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
    Store(py + 2 * k + 16, _mm_packus_epi16(_mm_and_si128(c, low), _mm_and_si128(e, low)));
    const __m128i uv0 = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    const __m128i uv1 = _mm_packus_epi16(_mm_srli_epi16(c, 8), _mm_srli_epi16(e, 8));
    Store(cb + k, _mm_packus_epi16(_mm_and_si128(uv0, low), _mm_and_si128(uv1, low)));
    Store(cr + k, _mm_packus_epi16(_mm_srli_epi16(uv0, 8), _mm_srli_epi16(uv1, 8)));
  }
  return k;
}

inline int VecCopyRow(const u8* s, u8* d, int n) {
  int x = 0;
  for (; x + 64 <= n; x += 64) {
    const __m128i a = Load(s + x), b = Load(s + x + 16), c = Load(s + x + 32), e = Load(s + x + 48);
    Store(d + x, a);
    Store(d + x + 16, b);
    Store(d + x + 32, c);
    Store(d + x + 48, e);
  }
  for (; x + 16 <= n; x += 16) Store(d + x, Load(s + x));
  return x;
}

inline int VecInterleaveRow(const u8* cb, const u8* cr, u8* d, int n) {
  int k = 0;
  for (; k + 16 <= n; k += 16) {
    const __m128i u = Load(cb + k), v = Load(cr + k);
    Store(d + 2 * k, _mm_unpacklo_epi8(u, v));
    Store(d + 2 * k + 16, _mm_unpackhi_epi8(u, v));
  }
  return k;
}

inline int VecDeinterleaveRow(const u8* s, u8* cb, u8* cr, int n) {
  const __m128i low = _mm_set1_epi16(0x00FF);
  int k = 0;
  for (; k + 16 <= n; k += 16) {
    const __m128i a = Load(s + 2 * k), b = Load(s + 2 * k + 16);
    Store(cb + k, _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
    Store(cr + k, _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
  }
  return k;
}

// Non-temporal stores when every pointer and step is 16-byte aligned and the picture's
// traffic is large enough that keeping it in the cache would only evict other data.
inline bool Yv12ToYuy2ShouldStream(const u8* const planes[3], const int srcSteps[3], const u8* dst,
                                   int dstStep, int height) {
  const uintptr_t bits = uintptr_t(planes[0]) | uintptr_t(planes[1]) | uintptr_t(planes[2]) |
                         uintptr_t(dst) | uintptr_t(srcSteps[0]) | uintptr_t(srcSteps[1]) |
                         uintptr_t(srcSteps[2]) | uintptr_t(dstStep);
  const s64 traffic = s64(height) * (s64(srcSteps[0]) + srcSteps[1] + srcSteps[2] + dstStep);
  return (bits & 15) == 0 && traffic > 524288;
}

inline int VecYv12RowToYuy2(const u8* py, const u8* cb, const u8* cr, u8* d, int pairs, bool stream) {
  int k = 0;
  if (stream) {
    for (; k + 8 <= pairs; k += 8) {
      const __m128i y = Load(py + 2 * k);
      const __m128i uv = _mm_unpacklo_epi8(Load8(cb + k), Load8(cr + k));
      _mm_stream_si128(reinterpret_cast<__m128i*>(d + 4 * k), _mm_unpacklo_epi8(y, uv));
      _mm_stream_si128(reinterpret_cast<__m128i*>(d + 4 * k + 16), _mm_unpackhi_epi8(y, uv));
    }
    return k;
  }
  for (; k + 8 <= pairs; k += 8) {
    const __m128i y = Load(py + 2 * k);
    const __m128i uv = _mm_unpacklo_epi8(Load8(cb + k), Load8(cr + k));
    Store(d + 4 * k, _mm_unpacklo_epi8(y, uv));
    Store(d + 4 * k + 16, _mm_unpackhi_epi8(y, uv));
  }
  return k;
}

inline void StreamFence() { _mm_sfence(); }
