// Level 1 of the plane interleave and deinterleave routines.
#define IMG_LEVEL 1
#include "imaging/core/level.h"
#include "imaging/core/planes.h"

namespace img::level1 {
#include "imaging/core/simd_helpers.inc"
#include "imaging/core/planes_simd.inc"
}  // namespace img::level1
