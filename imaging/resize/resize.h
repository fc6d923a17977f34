// Constants of the resize routines (ImgResizeU8C1, ImgResizeYuy2).
#pragma once

#include "imaging/img.h"

// Interpolation kind of the resize routines.
typedef int32_t ImgInterpolation;
enum : ImgInterpolation {
  IMG_INTERP_NEAREST = 1,
  IMG_INTERP_LINEAR = 2,
  IMG_INTERP_CUBIC = 4,
  IMG_INTERP_SUPERSAMPLE = 8,  // area averaging, reductions only
  IMG_INTERP_LANCZOS3 = 16,    // 8-bit planes only
};

// Element kind of the general engines and their row routines.
typedef int32_t ImgElementKind;
enum : ImgElementKind {
  IMG_ELEM_U8 = 0,
  IMG_ELEM_U16 = 1,
  IMG_ELEM_F32 = 2,
  IMG_ELEM_S16 = 3,  // row routines only
};
