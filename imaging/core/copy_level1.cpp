// Level 1 (SSE3) of the copy, set and byte-swap routines.
#define IMG_LEVEL 1
#include "imaging/core/level.h"

namespace img::level1 {
#include "imaging/core/copy_body.inc"
}  // namespace img::level1
