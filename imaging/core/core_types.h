// Argument types of the mirror and channel routines.
#pragma once

#include <cstdint>

// Which way an image is mirrored.
typedef int32_t ImgMirrorAxis;
enum : ImgMirrorAxis {
  IMG_MIRROR_TOP_BOTTOM = 0,  // row i exchanged with row height - 1 - i
  IMG_MIRROR_LEFT_RIGHT = 1,  // each row reversed pixel by pixel
  IMG_MIRROR_BOTH = 2,        // pixel (i, j) exchanged with (height - 1 - i, width - 1 - j)
};

// Entry k describes output channel k (see the channel routines for the meaning).
struct ImgChannelOrder {
  int32_t c[4];
};
static_assert(sizeof(ImgChannelOrder) == 16);
