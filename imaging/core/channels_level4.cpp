// Level 4 (AVX) of the channel reorder and channel copy routines.
#define IMG_LEVEL 4
#include "imaging/core/level.h"
#include "imaging/core/channels.h"

namespace img::level4 {
#include "imaging/core/channels_body.inc"
}  // namespace img::level4
