// Level 2 (SSSE3) of the row kernels that no public routine calls.
#define IMG_LEVEL 2
#include "imaging/core/level.h"
#include "imaging/core/kernels.h"

namespace img::level2 {
#include "imaging/core/kernels_body.inc"
}  // namespace img::level2
