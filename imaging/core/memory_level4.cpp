// Level 4 (AVX) of the allocators.
#define IMG_LEVEL 4
#include "imaging/core/level.h"
#include "imaging/core/memory.h"

namespace img::level4 {
#include "imaging/core/memory_body.inc"
}  // namespace img::level4
