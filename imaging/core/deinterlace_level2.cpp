// Level 2 (SSSE3) of the deinterlacers.
#define IMG_LEVEL 2
#include "imaging/core/level.h"
#include "imaging/core/deinterlace.h"
#include "imaging/core/memory.h"

#include <type_traits>

namespace img::level2 {
#include "imaging/core/deinterlace_body.inc"
}  // namespace img::level2
