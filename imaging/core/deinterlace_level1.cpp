// Level 1 (SSE3) of the deinterlacers.
#define IMG_LEVEL 1
#include "imaging/core/level.h"
#include "imaging/core/deinterlace.h"
#include "imaging/core/memory.h"

#include <type_traits>

namespace img::level1 {
#include "imaging/core/deinterlace_body.inc"
}  // namespace img::level1
