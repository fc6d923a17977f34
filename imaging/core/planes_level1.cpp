// Level 1 (SSE3) of the plane interleave and deinterleave routines.
#define IMG_LEVEL 1
#include "imaging/core/level.h"
#include "imaging/core/planes.h"

namespace img::level1 {
#include "imaging/core/planes_body.inc"
}  // namespace img::level1
