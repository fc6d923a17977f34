// Level 3 (SSE4.1) of the copy, set and byte-swap routines.
#define IMG_LEVEL 3
#include "imaging/core/level.h"

namespace img::level3 {
#include "imaging/core/copy_body.inc"
}  // namespace img::level3
