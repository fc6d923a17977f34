// The image library's public interface.
#pragma once

#include "imaging/core/cpu.h"
#include "imaging/core/img_types.h"

#define IMG_ROUTINE(name, ret, params, args, l1, l2, l3, l4) \
  ret name params;                                            \
  ret name##Level0 params;
#include "imaging/core/img_routines.inc"
#undef IMG_ROUTINE
