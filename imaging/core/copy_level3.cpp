// Level 3 of the copy, set and byte-swap routines.
#define IMG_LEVEL 3
#include "imaging/core/level.h"

namespace img::level3 {
#include "imaging/core/simd_helpers.inc"
#include "imaging/core/fill_simd.inc"
#include "imaging/core/copy_simd.inc"
}  // namespace img::level3
