// Level 2 (SSSE3) of the plane interleave and deinterleave routines.
#define IMG_LEVEL 2
#include "imaging/core/level.h"
#include "imaging/core/planes.h"

namespace img::level2 {
#include "imaging/core/planes_body.inc"
}  // namespace img::level2
