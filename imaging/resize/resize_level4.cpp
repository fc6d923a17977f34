// Level 4 (AVX) of the resize routines.
#define IMG_LEVEL 4
#include "imaging/core/level.h"
#include "imaging/resize/resize_internal.h"

namespace img::level4 {
#include "imaging/resize/resize_body.inc"
}  // namespace img::level4
