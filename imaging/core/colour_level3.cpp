// Level 3 (SSE4.1) of the colour-format conversions.
#define IMG_LEVEL 3
#include "imaging/core/level.h"
#include "imaging/core/colour.h"
#include "imaging/core/memory.h"

namespace img::level3 {
#include "imaging/core/colour_body.inc"
}  // namespace img::level3
