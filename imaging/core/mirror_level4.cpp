// Level 4 of the in-place mirror routines.
#define IMG_LEVEL 4
#include "imaging/core/level.h"

namespace img::level4 {
#include "imaging/core/simd_helpers.inc"
#include "imaging/core/mirror_simd.inc"
}  // namespace img::level4
