// Level 0 of the resize routines: the reference build, plain scalar loops.
#define RESIZE_LEVEL 0
#include "imaging/resize/resize_entry_impl.h"

void ResizeLanczos3Weights(const float* frac, int32_t n, ResizeTap6Weights* out) {
  Lanczos3WeightsReference(frac, n, out);
}

void ResizeNearestRowsU8C1(const void* src, void* dst, int32_t dstStep, int32_t dstW, int32_t dstH,
                           const int32_t* rowOffsets, const int32_t* colOffsets, int32_t pixelStep) {
  NearestRowsU8C1Entry(src, dst, dstStep, dstW, dstH, rowOffsets, colOffsets, pixelStep);
}

const ResizeRowTableLayout ResizeRowTableLevel0 = {{nullptr, nullptr, nullptr, nullptr, ResizeNearestRowsU8C1},
                                                   {nullptr, nullptr, nullptr, nullptr, LinearRowsU8C1Entry},
                                                   {},
                                                   {},
                                                   {},
                                                   {}};

RESIZE_DEFINE_LEVEL_ENTRIES(ImgResizeU8C1Level0, ImgResizeYuy2Level0, ResizeRowTableLevel0, ResizeLanczos3Weights)

ImgStatus ResizeInterpolateEngineWithTable(const ResizeRowTableLayout& table, const void* src, int32_t srcWidth,
                                           int32_t srcHeight, int32_t srcStep, const ImgRect* srcRoi, void* dst,
                                           int32_t dstStep, ImgSize dstRoiSize, double xFactor, double yFactor,
                                           double xShift, double yShift, int32_t pixelStep, int32_t channels,
                                           int32_t kind, int32_t planar, int32_t interpolation,
                                           int32_t mappingFlag) {
  return InterpolateEngine(table, ResizeLanczos3Weights, src, srcWidth, srcHeight, srcStep, srcRoi, dst, dstStep,
                           dstRoiSize, xFactor, yFactor, xShift, yShift, pixelStep, channels, kind, planar,
                           interpolation, mappingFlag);
}
