// The dispatch tables and the variants behind them, for the library's own units and
// for tests that run one level against another.
#pragma once

#include "imaging/img.h"

#define IMG_ROUTINE(name, ret, params, args, l1, l2, l3, l4) ret name params;
namespace img::level1 {
#include "imaging/core/img_routines.inc"
}
namespace img::level2 {
#include "imaging/core/img_routines.inc"
}
namespace img::level3 {
#include "imaging/core/img_routines.inc"
}
namespace img::level4 {
#include "imaging/core/img_routines.inc"
}
#undef IMG_ROUTINE

// name##Table[level] is the variant that serves that level.
#define IMG_ROUTINE(name, ret, params, args, l1, l2, l3, l4) \
  using name##Fn = ret(*) params;                            \
  extern const name##Fn name##Table[CPU_LEVEL_COUNT];
#include "imaging/core/img_routines.inc"
#undef IMG_ROUTINE
