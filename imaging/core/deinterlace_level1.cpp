// Level 1 (SSE3) of the deinterlacers.
#include <immintrin.h>

#include "imaging/core/dispatch.h"

namespace img::level1 {

#define DEINT_NAME(name) name
#define DEINT_COPY_IMAGE img::level1::ImgCopyU8C1
#define DEINT_COPY_BYTES img::level1::ImgVecCopyU8
#define DEINT_VECTOR 1
// The kernels use the shared row record, so the scalar part comes first; the kernel
// declarations it calls are below it in the same anonymous namespace.
namespace {
struct BlendRows;
struct KeptRowCache;
int VecMotionAdaptiveRow(const u8* const f[4], const u8* r, const u8* c, int srcStep, u8* d, int y, int width,
                         int threshold, int strict, KeptRowCache* cache, u8* keptDst);
int VecBlendRow(const BlendRows& r, int y, u8* d, int n, const ImgDeinterlaceBlendState* st, KeptRowCache* cache,
                u8* keptDst);
}  // namespace
#include "imaging/core/deinterlace_routines.h"
namespace {
#include "imaging/core/deinterlace_vector.h"
}  // namespace

}  // namespace img::level1
