// Level 3 (SSE4.1) of the deinterlacers.
#define IMG_LEVEL 3
#include "imaging/core/level.h"
#include "imaging/core/deinterlace.h"
#include "imaging/core/memory.h"

#include <type_traits>

namespace img::level3 {
#include "imaging/core/deinterlace_body.inc"
}  // namespace img::level3
