// Level 1 (SSE3) of the in-place mirror routines.
#define IMG_LEVEL 1
#include "imaging/core/level.h"

namespace img::level1 {
#include "imaging/core/mirror_body.inc"
}  // namespace img::level1
