// Level 0 of the resize routines: the reference build, plain scalar loops.
#define RESIZE_LEVEL 0
#include "imaging/resize/resize_entry_impl.h"

void ResizeLanczos3Weights(const float* frac, int32_t n, ResizeTap6Weights* out) {
  Lanczos3WeightsReference(frac, n, out);
}

const ResizeRowTableLayout ResizeRowTableLevel0 = RESIZE_ROW_TABLE_INIT;

RESIZE_DEFINE_LEVEL_ENTRIES(ImgResizeU8C1Level0, ImgResizeYuy2Level0, ResizeRowTableLevel0, ResizeLanczos3Weights)
