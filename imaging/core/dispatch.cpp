// Dispatch stubs: each public routine passes its arguments unchanged to the variant of
// the active processor level.
#include "imaging/core/dispatch.h"

#define IMG_VARIANT_level0(name) name##Level0
#define IMG_VARIANT_level1(name) img::level1::name
#define IMG_VARIANT_level2(name) img::level2::name
#define IMG_VARIANT_level3(name) img::level3::name
#define IMG_VARIANT_level4(name) img::level4::name
#define IMG_VARIANT(level, name) IMG_VARIANT_##level(name)

#define IMG_ROUTINE(name, ret, params, args, l1, l2, l3, l4)                                                 \
  const name##Fn name##Table[CPU_LEVEL_COUNT] = {name##Level0, IMG_VARIANT(l1, name), IMG_VARIANT(l2, name), \
                                                 IMG_VARIANT(l3, name), IMG_VARIANT(l4, name)};              \
  ret name params { return name##Table[CpuActiveLevel] args; }
#include "imaging/core/img_routines.inc"
#undef IMG_ROUTINE
