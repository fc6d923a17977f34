// Level 4 (AVX (VEX-encoded 128-bit)) of the deinterlacers.
#include <immintrin.h>

#include "imaging/core/dispatch.h"

namespace img::level4 {

#define DEINT_NAME(name) name
#define DEINT_COPY_IMAGE img::level4::ImgCopyU8C1
#define DEINT_COPY_BYTES img::level4::ImgVecCopyU8
#define DEINT_VECTOR 1
#include "imaging/core/deinterlace_routines.h"
namespace {
#include "imaging/core/deinterlace_vector.h"
}  // namespace

}  // namespace img::level4
