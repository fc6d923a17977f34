// Level 4 (AVX) of the copy, set and byte-swap routines.
#define IMG_LEVEL 4
#include "imaging/core/level.h"

namespace img::level4 {
#include "imaging/core/copy_body.inc"
}  // namespace img::level4
