// Constants shared by the colour-format conversions.
#pragma once

#include "imaging/core/img_types.h"

// Clamps an intermediate value v (-370 <= v <= 629) to a byte by reading entry v + 370:
// 370 zeros, the values 0 to 255, then 374 bytes of 255.
extern const u8 ImgClampTable[1000];
constexpr int IMG_CLAMP_TABLE_BIAS = 370;

// The YUV-to-RGB formula sets, as the row kernels of every level name them.
enum ColourSet {
  kColourBt709,   // BT.709 video range, rounded
  kColourBt601,   // BT.601 video range, rounded
  kColourBt601Raw,  // BT.601 video range on raw bytes, unrounded offsets
  kColourStudio,  // BT.709 studio, luma unscaled
};
