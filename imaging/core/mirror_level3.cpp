// Level 3 of the in-place mirror routines.
#define IMG_LEVEL 3
#include "imaging/core/level.h"

namespace img::level3 {
#include "imaging/core/simd_helpers.inc"
#include "imaging/core/mirror_simd.inc"
}  // namespace img::level3
