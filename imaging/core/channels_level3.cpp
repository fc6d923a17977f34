// Level 3 (SSE4.1) of the channel reorder and channel copy routines.
#define IMG_LEVEL 3
#include "imaging/core/level.h"
#include "imaging/core/channels.h"

namespace img::level3 {
#include "imaging/core/channels_body.inc"
}  // namespace img::level3
