// Level 4 (AVX) of the in-place mirror routines.
#define IMG_LEVEL 4
#include "imaging/core/level.h"

namespace img::level4 {
#include "imaging/core/mirror_body.inc"
}  // namespace img::level4
