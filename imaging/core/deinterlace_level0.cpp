// Level 0 of the deinterlacers: the scalar reference every other level reproduces.
#include "imaging/img.h"

#define DEINT_NAME(name) name##Level0
#define DEINT_COPY_IMAGE ImgCopyU8C1Level0
#define DEINT_COPY_BYTES ImgVecCopyU8Level0
#define DEINT_VECTOR 0
#include "imaging/core/deinterlace_routines.h"
