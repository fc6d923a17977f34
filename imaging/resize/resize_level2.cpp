// Level 2 of the resize routines: the engines built with this level's instructions,
// with vector passes where they give the reference's results.
#define RESIZE_LEVEL 2
#include "imaging/resize/resize_entry_impl.h"

namespace img::level2 {

void ResizeLanczos3WeightsVec(const float* frac, int32_t n, ResizeTap6Weights* out) {
  Lanczos3WeightsVector(frac, n, out);
}

const ResizeRowTableLayout ResizeRowTable = RESIZE_ROW_TABLE_INIT;

RESIZE_DEFINE_LEVEL_ENTRIES(ImgResizeU8C1, ImgResizeYuy2, ResizeRowTable, ResizeLanczos3WeightsVec)

}  // namespace img::level2
