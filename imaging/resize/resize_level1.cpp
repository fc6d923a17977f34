// Level 1 (SSE3) of the resize routines.
#define IMG_LEVEL 1
#include "imaging/core/level.h"
#include "imaging/resize/resize_internal.h"

namespace img::level1 {
#include "imaging/resize/resize_body.inc"
}  // namespace img::level1
