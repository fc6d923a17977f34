// Level 4 (AVX) of the row kernels that no public routine calls.
#define IMG_LEVEL 4
#include "imaging/core/level.h"
#include "imaging/core/kernels.h"

namespace img::level4 {
#include "imaging/core/kernels_body.inc"
}  // namespace img::level4
