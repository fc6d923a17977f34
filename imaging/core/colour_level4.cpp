// Level 4 (AVX) of the colour-format conversions.
#define IMG_LEVEL 4
#include "imaging/core/level.h"
#include "imaging/core/colour.h"
#include "imaging/core/memory.h"

namespace img::level4 {
#include "imaging/core/colour_body.inc"
}  // namespace img::level4
