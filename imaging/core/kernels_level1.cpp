// Level 1 (SSE3) of the row kernels that no public routine calls.
#define IMG_LEVEL 1
#include "imaging/core/level.h"
#include "imaging/core/kernels.h"

namespace img::level1 {
#include "imaging/core/kernels_body.inc"
}  // namespace img::level1
