// Level 3 (SSE4.1) of the resize routines.
#define IMG_LEVEL 3
#include "imaging/core/level.h"
#include "imaging/resize/resize_internal.h"

namespace img::level3 {
#include "imaging/resize/resize_body.inc"
}  // namespace img::level3
