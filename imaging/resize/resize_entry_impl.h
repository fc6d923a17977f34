// The bodies of the public resize routines: argument checks, destination sizing and the
// choice of engine. Each processor-level unit binds them to its own engines.
#pragma once

#include <cmath>

#include "imaging/resize/resize_interp_impl.h"
#include "imaging/resize/resize_super_impl.h"
#include "imaging/resize/resize_yuy2_impl.h"

namespace {

inline ImgStatus ResizeU8C1Body(const ResizeRowTableLayout& table, LanczosWeightsFn lanczos, const u8* src,
                                ImgSize srcSize, int32_t srcStep, ImgRect srcRoi, u8* dst, int32_t dstStep,
                                ImgSize dstRoiSize, double xFactor, double yFactor, int32_t interpolation) {
  if (interpolation == IMG_INTERP_SUPERSAMPLE && xFactor <= 1.0 && yFactor <= 1.0)
    return SuperSampleEngine(src, srcSize, srcStep, &srcRoi, dst, dstStep, dstRoiSize, xFactor, yFactor, 1, 1,
                             IMG_ELEM_U8, 0);
  return InterpolateEngine(table, lanczos, src, srcSize.width, srcSize.height, srcStep, &srcRoi, dst, dstStep,
                           dstRoiSize, xFactor, yFactor, 0.0, 0.0, 1, 1, IMG_ELEM_U8, 0, interpolation, 1);
}

inline ImgStatus ResizeYuy2Body(const u8* src, ImgSize srcSize, int32_t srcStep, ImgRect roi, u8* dst,
                                int32_t dstStep, ImgSize dstRoiSize, double xFactor, double yFactor,
                                int32_t interpolation) {
  if (!src || !dst) return IMG_ERR_NULL;
  if (srcSize.width <= 0 || srcSize.height <= 0) return IMG_ERR_SIZE;
  if (roi.x < 0 || roi.y < 0 || roi.width <= 0 || roi.height <= 0) return IMG_ERR_SIZE;
  if (roi.x >= srcSize.width || roi.y >= srcSize.height) return IMG_WARN_ROI_OUTSIDE;
  if (dstRoiSize.width <= 0 || dstRoiSize.height <= 0) return IMG_ERR_SIZE;
  if ((srcSize.width & 1) || (roi.width & 1) || (roi.x & 1) || dstRoiSize.width < 2) return IMG_ERR_SIZE;
  if (!(xFactor > 0.0) || !(yFactor > 0.0)) return IMG_ERR_RESIZE_FACTOR;
  if (interpolation != IMG_INTERP_NEAREST && interpolation != IMG_INTERP_LINEAR &&
      interpolation != IMG_INTERP_CUBIC && interpolation != IMG_INTERP_SUPERSAMPLE)
    return IMG_ERR_INTERPOLATION;

  src += int64_t(roi.y) * srcStep + int64_t(roi.x) * 2;
  if (roi.width > srcSize.width - roi.x) roi.width = srcSize.width - roi.x;
  if (roi.height > srcSize.height - roi.y) roi.height = srcSize.height - roi.y;

  int32_t width, height;
  bool raisedX, raisedY;
  ImgStatus st = SizeByProduct(roi.width, xFactor, dstRoiSize.width, 2, 1.5, &width, &raisedX);
  if (st != IMG_OK) return st;
  st = SizeByProduct(roi.height, yFactor, dstRoiSize.height, 1, 0.5, &height, &raisedY);
  if (st != IMG_OK) return st;
  const int32_t pairs = width / 2;

  if (interpolation == IMG_INTERP_SUPERSAMPLE) {
    if (xFactor > 1.0 || yFactor > 1.0) return IMG_ERR_RESIZE_FACTOR;
    // A raised extent covers the whole clipped region with its one cell (or pair of
    // pixels), so that no cell reaches past the image.
    double sx = raisedX ? double(roi.width) / 2.0 : 1.0 / xFactor;
    double sy = raisedY ? double(roi.height) : 1.0 / yFactor;
    double area = (raisedX ? 1.0 / sx : xFactor) * (raisedY ? 1.0 / sy : yFactor);
    double want = std::trunc(double(float(pairs + 1)) * sx) + 1.0;
    int32_t srcPairs = want >= double(roi.width / 2) ? roi.width / 2 : int32_t(want);
    return Yuy2SuperSampleEngine(src, dst, srcStep, dstStep, srcPairs, pairs, height, roi.height, sx, sy, area);
  }
  return Yuy2InterpolateEngine(src, srcSize, srcStep, &roi, dst, dstStep, pairs, height, xFactor, yFactor,
                               interpolation);
}

}  // namespace

// Defines one level's exported routines over its row table and Lanczos-3 weight builder.
#define RESIZE_DEFINE_LEVEL_ENTRIES(U8C1_NAME, YUY2_NAME, TABLE, LANCZOS)                                        \
  ImgStatus U8C1_NAME(const u8* src, ImgSize srcSize, int32_t srcStep, ImgRect srcRoi, u8* dst, int32_t dstStep, \
                      ImgSize dstRoiSize, double xFactor, double yFactor, int32_t interpolation) {               \
    return ResizeU8C1Body(TABLE, LANCZOS, src, srcSize, srcStep, srcRoi, dst, dstStep, dstRoiSize, xFactor,      \
                          yFactor, interpolation);                                                               \
  }                                                                                                              \
  ImgStatus YUY2_NAME(const u8* src, ImgSize srcSize, int32_t srcStep, ImgRect srcRoi, u8* dst, int32_t dstStep, \
                      ImgSize dstRoiSize, double xFactor, double yFactor, int32_t interpolation) {               \
    return ResizeYuy2Body(src, srcSize, srcStep, srcRoi, dst, dstStep, dstRoiSize, xFactor, yFactor,             \
                          interpolation);                                                                        \
  }                                                                                                              \
  ImgStatus ResizeInterpolateEngine(const void* src, int32_t srcWidth, int32_t srcHeight, int32_t srcStep,       \
                                    const ImgRect* srcRoi, void* dst, int32_t dstStep, ImgSize dstRoiSize,       \
                                    double xFactor, double yFactor, double xShift, double yShift,                \
                                    int32_t pixelStep, int32_t channels, int32_t kind, int32_t planar,           \
                                    int32_t interpolation, int32_t mappingFlag) {                                \
    return InterpolateEngine(TABLE, LANCZOS, src, srcWidth, srcHeight, srcStep, srcRoi, dst, dstStep,            \
                             dstRoiSize, xFactor, yFactor, xShift, yShift, pixelStep, channels, kind, planar,    \
                             interpolation, mappingFlag);                                                        \
  }                                                                                                              \
  ImgStatus ResizeSuperSampleEngine(const void* src, ImgSize srcSize, int32_t srcStep, const ImgRect* srcRoi,    \
                                    void* dst, int32_t dstStep, ImgSize dstRoiSize, double xFactor,              \
                                    double yFactor, int32_t pixelStep, int32_t channels, int32_t kind,           \
                                    int32_t planar) {                                                            \
    return SuperSampleEngine(src, srcSize, srcStep, srcRoi, dst, dstStep, dstRoiSize, xFactor, yFactor,          \
                             pixelStep, channels, kind, planar);                                                 \
  }                                                                                                              \
  ImgStatus ResizeYuy2InterpolateEngine(const u8* src, ImgSize srcSize, int32_t srcStep, const ImgRect* srcRoi,  \
                                        u8* dst, int32_t dstStep, int32_t pairs, int32_t dstH, double xFactor,   \
                                        double yFactor, int32_t interpolation) {                                 \
    return Yuy2InterpolateEngine(src, srcSize, srcStep, srcRoi, dst, dstStep, pairs, dstH, xFactor, yFactor,     \
                                 interpolation);                                                                 \
  }                                                                                                              \
  ImgStatus ResizeYuy2SuperSampleEngine(const u8* src, u8* dst, int32_t srcStep, int32_t dstStep,               \
                                        int32_t srcPairs, int32_t pairs, int32_t dstH, int32_t srcRows,          \
                                        double sx, double sy, double area) {                                     \
    return Yuy2SuperSampleEngine(src, dst, srcStep, dstStep, srcPairs, pairs, dstH, srcRows, sx, sy, area);      \
  }                                                                                                              \
  ImgStatus ResizeSuperSampleRowsU8C1(const u8* src, u8* dst, int32_t srcStep, int32_t dstStep,                 \
                                      int32_t usedWidth, int32_t dstW, int32_t dstH, int32_t srcRows,            \
                                      double xPeriod, double yPeriod, double areaScale, int32_t periodMode) {    \
    return SuperSampleRows<u8>(src, dst, srcStep, dstStep, usedWidth, dstW, dstH, srcRows, xPeriod, yPeriod,     \
                               areaScale, 1, 1, periodMode, nullptr);                                            \
  }

// The slots built so far: nearest and linear for 8-bit one-channel planes. Every other
// slot stays empty (null) until its row routines exist; the engine refuses those kinds.
#define RESIZE_ROW_TABLE_INIT                                                                                   \
  {{nullptr, nullptr, nullptr, nullptr, NearestRowsU8C1Entry},                                                  \
   {nullptr, nullptr, nullptr, nullptr, LinearRowsU8C1Entry},                                                   \
   {},                                                                                                          \
   {},                                                                                                          \
   {},                                                                                                          \
   {}}
