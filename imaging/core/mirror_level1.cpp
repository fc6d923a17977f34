// Level 1 of the in-place mirror routines.
#define IMG_LEVEL 1
#include "imaging/core/level.h"

namespace img::level1 {
#include "imaging/core/simd_helpers.inc"
#include "imaging/core/mirror_simd.inc"
}  // namespace img::level1
