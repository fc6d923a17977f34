// Level 3 (SSE4.1) of the plane interleave and deinterleave routines.
#define IMG_LEVEL 3
#include "imaging/core/level.h"
#include "imaging/core/planes.h"

namespace img::level3 {
#include "imaging/core/planes_body.inc"
}  // namespace img::level3
