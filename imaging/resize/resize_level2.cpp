// Level 2 (SSSE3) of the resize routines.
#define IMG_LEVEL 2
#include "imaging/core/level.h"
#include "imaging/resize/resize_internal.h"

namespace img::level2 {
#include "imaging/resize/resize_body.inc"
}  // namespace img::level2
