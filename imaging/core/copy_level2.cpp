// Level 2 (SSSE3) of the copy, set and byte-swap routines.
#define IMG_LEVEL 2
#include "imaging/core/level.h"

namespace img::level2 {
#include "imaging/core/copy_body.inc"
}  // namespace img::level2
