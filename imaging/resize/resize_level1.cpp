// Level 1 of the resize routines: the engines built with this level's instructions,
// with vector passes where they give the reference's results.
#define RESIZE_LEVEL 1
#include "imaging/resize/resize_entry_impl.h"

namespace img::level1 {

void ResizeLanczos3WeightsVec(const float* frac, int32_t n, ResizeTap6Weights* out) {
  Lanczos3WeightsVector(frac, n, out);
}

// The nearest slots are level 0's own routines (a copy would be the same code).
const ResizeRowTableLayout ResizeRowTable = {{nullptr, nullptr, nullptr, nullptr, ResizeNearestRowsU8C1},
                                             {nullptr, nullptr, nullptr, nullptr, LinearRowsU8C1Entry},
                                             {},
                                             {},
                                             {},
                                             {}};

RESIZE_DEFINE_LEVEL_ENTRIES(ImgResizeU8C1, ImgResizeYuy2, ResizeRowTable, ResizeLanczos3WeightsVec)

}  // namespace img::level1
