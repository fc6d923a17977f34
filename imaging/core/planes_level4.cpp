// Level 4 (AVX) of the plane interleave and deinterleave routines.
#define IMG_LEVEL 4
#include "imaging/core/level.h"
#include "imaging/core/planes.h"

namespace img::level4 {
#include "imaging/core/planes_body.inc"
}  // namespace img::level4
