// Level 0 of the resize routines: the reference build, plain code on the baseline
// instruction set. Its body is the one every level expands, here with IMG_LEVEL 0; the
// public level-0 variants forward to it.
#define IMG_LEVEL 0
#include <xmmintrin.h>

#include "imaging/resize/resize_internal.h"

namespace img::level0 {
#include "imaging/resize/resize_body.inc"
}  // namespace img::level0

ImgStatus ImgResizeU8C1Level0(const u8* src, ImgSize srcSize, int32_t srcStep, ImgRect srcRoi, u8* dst, int32_t dstStep,
                              ImgSize dstRoiSize, double xFactor, double yFactor, int32_t interpolation) {
  return img::level0::ImgResizeU8C1(src, srcSize, srcStep, srcRoi, dst, dstStep, dstRoiSize, xFactor, yFactor,
                                    interpolation);
}
ImgStatus ImgResizeYuy2Level0(const u8* src, ImgSize srcSize, int32_t srcStep, ImgRect srcRoi, u8* dst, int32_t dstStep,
                              ImgSize dstRoiSize, double xFactor, double yFactor, int32_t interpolation) {
  return img::level0::ImgResizeYuy2(src, srcSize, srcStep, srcRoi, dst, dstStep, dstRoiSize, xFactor, yFactor,
                                    interpolation);
}
ImgStatus ImgSuperSampleS16C1Level0(const s16* src, int32_t srcStep, ImgSize srcSize, s16* dst, int32_t dstStep,
                                    ImgSize dstSize, u8* buffer) {
  return img::level0::ImgSuperSampleS16C1(src, srcStep, srcSize, dst, dstStep, dstSize, buffer);
}
ImgStatus ImgSuperSampleS16C1BufferSizeLevel0(ImgSize srcSize, ImgSize dstSize, int32_t numChannels,
                                              int32_t* bufferSize) {
  return img::level0::ImgSuperSampleS16C1BufferSize(srcSize, dstSize, numChannels, bufferSize);
}
