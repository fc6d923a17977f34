// Level 2 (SSSE3) of the colour-format conversions.
#define IMG_LEVEL 2
#include "imaging/core/level.h"
#include "imaging/core/colour.h"
#include "imaging/core/memory.h"

namespace img::level2 {
#include "imaging/core/colour_body.inc"
}  // namespace img::level2
