// Constants shared by the colour-format conversions.
#pragma once

#include "imaging/core/img_types.h"

// Clamps an intermediate value v (-370 <= v <= 629) to a byte by reading entry v + 370:
// 370 zeros, the values 0 to 255, then 374 bytes of 255.
extern const u8 ImgClampTable[1000];
constexpr int IMG_CLAMP_TABLE_BIAS = 370;

// The YUV-to-RGB formula sets, as the row kernels of every level name them.
enum ColourSet {
  kColourBt709,     // BT.709 video range, rounded
  kColourBt601,     // BT.601 video range, rounded
  kColourBt601Raw,  // BT.601 video range on raw bytes, unrounded offsets
  kColourStudio,    // BT.709 studio, luma unscaled
};

// The fixed point of levels 1 to 4 for the YUV-to-RGB conversions, one scheme per formula
// set. Every value is a signed 16-bit lane with six fraction bits (one unit of output is
// 64):
//   luma  L = (Y * 257 * yFactor) >> 16     (video range; unsigned high product)
//         L = Y << 6                        (studio: luma passes through unscaled)
//   B = (L + ((Cb << 8) * cbToB >> 16) + offsetB) >> 6
//   G = (L - ((Cb << 8) * cbToG >> 16) - ((Cr << 8) * crToG >> 16) + offsetG) >> 6
//   R = (L + ((Cr << 8) * crToR >> 16) + offsetR) >> 6
// The chroma products are unsigned high products of the raw bytes (no centring), each
// coefficient the 16.16 one divided by 4; the offsets fold in the centring at 128, the
// luma offset 16 and the level-0 rounding, and were chosen, with the coefficients, as the
// values that keep every result nearest level 0. The luma sum is added with signed
// saturation, the shift is arithmetic and the pack to bytes is the clamp; a chroma term
// with its offset always fits 16 bits.
//
// maxDeviation is the largest difference of a B, G or R byte from level 0 over every
// (Y, Cb, Cr) input, which an exhaustive test confirms at every level. Y 16 and 235 with
// Cb = Cr = 128 give exactly the level-0 bytes in every set, and the studio set gives
// every luma value back unchanged with neutral chroma.
struct ImgColourVectorScheme {
  int yFactor;  // 0: luma unscaled
  int cbToB, cbToG, crToG, crToR;
  int offsetB, offsetG, offsetR;
  int maxDeviation;
};

constexpr ImgColourVectorScheme ImgColourVectorSchemeOf(ColourSet set) {
  switch (set) {
    case kColourBt709:
      return {18996, 34652, 3490, 8749, 29376, -18485, 4959, -15847, 1};
    case kColourBt601:
      return {18997, 33047, 6423, 13321, 26149, -17683, 8711, -14234, 1};
    case kColourBt601Raw:
      return {18997, 33047, 6423, 13321, 26149, -17715, 8679, -14266, 1};
    case kColourStudio:
      break;
  }
  return {0, 29752, 2999, 7520, 25230, -14844, 5290, -12583, 1};
}
