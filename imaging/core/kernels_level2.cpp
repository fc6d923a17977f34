// Level 2 of the row kernels that no public routine calls.
#define IMG_LEVEL 2
#include "imaging/core/level.h"
#include "imaging/core/kernels.h"

namespace img::level2 {
#include "imaging/core/simd_helpers.inc"
#include "imaging/core/fill_simd.inc"
#include "imaging/core/kernels_simd.inc"
}  // namespace img::level2
