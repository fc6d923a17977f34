// The shared header of every level 1 to 4 unit. Each such unit defines IMG_LEVEL, includes
// this header, opens namespace img::level<k> and includes its family's <family>_body.inc;
// the bodies keep their helpers in an anonymous namespace there, so no helper compiled
// for one level's instruction set can ever stand in for another level's.
#pragma once

#include <immintrin.h>

#include "imaging/core/cpu.h"
#include "imaging/core/dispatch.h"
