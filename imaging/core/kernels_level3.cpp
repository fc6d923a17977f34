// Level 3 (SSE4.1) of the row kernels that no public routine calls.
#define IMG_LEVEL 3
#include "imaging/core/level.h"
#include "imaging/core/kernels.h"

namespace img::level3 {
#include "imaging/core/kernels_body.inc"
}  // namespace img::level3
