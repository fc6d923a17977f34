// Level 3 (SSE4.1) of the colour-format conversions.
#include <immintrin.h>

#include "imaging/core/colour.h"
#include "imaging/core/dispatch.h"

namespace img::level3 {
namespace {
#include "imaging/core/colour_vector.h"
}  // namespace

#define COLOUR_NAME(name) name
#define COLOUR_VECTOR 1
#include "imaging/core/colour_routines.h"
}  // namespace img::level3
