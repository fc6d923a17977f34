// The image library's public interface.
#pragma once

#include "imaging/core/core_types.h"
#include "imaging/core/cpu.h"
#include "imaging/core/deinterlace.h"
#include "imaging/core/img_types.h"

// The routine lists below hold declarations only: every type their parameters name is
// included above, because the lists are also expanded inside the level namespaces.

#define IMG_ROUTINE(name, ret, params, args, l1, l2, l3, l4) \
  ret name params;                                           \
  ret name##Level0 params;
#include "imaging/core/img_routines.inc"
#undef IMG_ROUTINE
