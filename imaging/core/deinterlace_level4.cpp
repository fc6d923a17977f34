// Level 4 (AVX) of the deinterlacers.
#define IMG_LEVEL 4
#include "imaging/core/level.h"
#include "imaging/core/deinterlace.h"
#include "imaging/core/memory.h"

#include <type_traits>

namespace img::level4 {
#include "imaging/core/deinterlace_body.inc"
}  // namespace img::level4
