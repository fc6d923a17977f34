// Level 1 of the copy, set and byte-swap routines.
#define IMG_LEVEL 1
#include "imaging/core/level.h"

namespace img::level1 {
#include "imaging/core/simd_helpers.inc"
#include "imaging/core/fill_simd.inc"
#include "imaging/core/copy_simd.inc"
}  // namespace img::level1
