// Level 2 (SSSE3) of the channel reorder and channel copy routines.
#define IMG_LEVEL 2
#include "imaging/core/level.h"
#include "imaging/core/channels.h"

namespace img::level2 {
#include "imaging/core/channels_body.inc"
}  // namespace img::level2
