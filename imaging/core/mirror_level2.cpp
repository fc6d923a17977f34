// Level 2 (SSSE3) of the in-place mirror routines.
#define IMG_LEVEL 2
#include "imaging/core/level.h"

namespace img::level2 {
#include "imaging/core/mirror_body.inc"
}  // namespace img::level2
