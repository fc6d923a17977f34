// Level 1 (SSE3) of the colour-format conversions.
#define IMG_LEVEL 1
#include "imaging/core/level.h"
#include "imaging/core/colour.h"
#include "imaging/core/memory.h"

namespace img::level1 {
#include "imaging/core/colour_body.inc"
}  // namespace img::level1
