// Level 3 (SSE4.1) of the in-place mirror routines.
#define IMG_LEVEL 3
#include "imaging/core/level.h"

namespace img::level3 {
#include "imaging/core/mirror_body.inc"
}  // namespace img::level3
