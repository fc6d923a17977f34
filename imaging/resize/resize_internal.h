// Internals of the resize engine shared by its processor-level builds and its tests:
// the row-routine table, the engines, the area-average rows and the Lanczos-3 weights.
#pragma once

#include "imaging/img.h"
#include "imaging/resize/resize.h"

// Weights of the six taps at -2 .. +3 around a destination position's base sample.
struct ResizeTap6Weights {
  float w[6];
};
static_assert(sizeof(ResizeTap6Weights) == 24);

// Row routines of the interpolating engine. Steps and offsets are in elements; the
// element type follows the slot's kind, so pointers travel untyped.
using ResizeNearestRowsFn = void (*)(const void* src, void* dst, int32_t dstStep, int32_t dstW, int32_t dstH,
                                     const int32_t* rowOffsets, const int32_t* colOffsets, int32_t pixelStep);
using ResizeLinearRowsFn = void (*)(const void* src, void* dst, int32_t srcStep, int32_t dstStep, int32_t dstW,
                                    int32_t dstH, const int32_t* rowOffsets, const int32_t* colOffsets,
                                    const void* rowWeights, const void* colWeights, void* rowBuf0, void* rowBuf1,
                                    int32_t pixelStep, int32_t channels);
using ResizeTap4RowsFn = void (*)(const void* src, void* dst, int32_t srcStep, int32_t dstStep, int32_t dstW,
                                  int32_t dstH, const int32_t* rowOffsets, const int32_t* colOffsets,
                                  const void* rowWeights, const void* colWeights, void* rowBuf0, void* rowBuf1,
                                  void* rowBuf2, void* rowBuf3, int32_t pixelStep, int32_t channels);
using ResizeTap6RowsFn = void (*)(const void* src, void* dst, int32_t srcStep, int32_t dstStep, int32_t dstW,
                                  int32_t dstH, const int32_t* rowOffsets, const int32_t* colOffsets,
                                  const ResizeTap6Weights* rowWeights, const ResizeTap6Weights* colWeights,
                                  float* rowBuf0, float* rowBuf1, float* rowBuf2, float* rowBuf3, float* rowBuf4,
                                  float* rowBuf5, int32_t pixelStep, int32_t channels);
using ResizeCubicRowsFn = void (*)(const void* src, void* dst, int32_t srcStep, int32_t dstStep, int32_t dstW,
                                   int32_t dstH, const int32_t* rowOffsets, const int32_t* colOffsets,
                                   const float* rowFrac, const float* colFrac, float* rowBuf0, float* rowBuf1,
                                   float* rowBuf2, float* rowBuf3, int32_t pixelStep, int32_t channels);
using ResizeLanczosRowsFn = void (*)(const void* src, void* dst, int32_t srcStep, int32_t dstStep, int32_t dstW,
                                     int32_t dstH, const int32_t* rowOffsets, const int32_t* colOffsets,
                                     const ResizeTap6Weights* rowWeights, const ResizeTap6Weights* colWeights,
                                     float* rowBuf0, float* rowBuf1, float* rowBuf2, float* rowBuf3,
                                     float* rowBuf4, float* rowBuf5, int32_t roiX, int32_t roiY, int32_t colsRight,
                                     int32_t rowsBelow, int32_t upscaleFlag, int32_t pixelStep, int32_t channels);

// The 48 slots of one level: slot = group base + element kind. The six call forms
// differ, so each group has its own typed array; ResizeRowSlotFilled tells by slot
// number whether a routine stands there. An empty slot is a null entry.
struct ResizeRowTableLayout {
  ResizeNearestRowsFn nearest[12];  // slots 0-11: three channels 0, one channel 4, four channels 8
  ResizeLinearRowsFn linear[8];     // slots 12-19: multi-channel 12, one channel 16
  ResizeTap4RowsFn tap4[8];         // slots 20-27
  ResizeTap6RowsFn tap6[8];         // slots 28-35
  ResizeCubicRowsFn cubic[6];       // slots 36-41: multi-channel 36, one channel 39
  ResizeLanczosRowsFn lanczos[6];   // slots 42-47: multi-channel 42, one channel 45
};
constexpr int32_t RESIZE_ROW_SLOTS = 48;
bool ResizeRowSlotFilled(const ResizeRowTableLayout& table, int32_t slot);

extern const ResizeRowTableLayout ResizeRowTableLevel0;
// Level 0's nearest rows for 8-bit planes (slot 4), which level 1 shares.
void ResizeNearestRowsU8C1(const void* src, void* dst, int32_t dstStep, int32_t dstW, int32_t dstH,
                           const int32_t* rowOffsets, const int32_t* colOffsets, int32_t pixelStep);
// The table of every level, indexed by CpuLevel.
extern const ResizeRowTableLayout* const ResizeRowTables[CPU_LEVEL_COUNT];

// Kernel values L(k / 100) of the Lanczos-3 filter, k = 0 .. 300, then three zeros.
extern const float ResizeLanczos3Table[304];
// Level 0 weights; the builds of levels 1 to 4 use the vector form below.
void ResizeLanczos3Weights(const float* frac, int32_t n, ResizeTap6Weights* out);

// The engines of one level. The area-average engine and rows take, beyond the classic
// arguments, the clipped source height so that no row below the image is read.
#define RESIZE_ENGINE_DECLARATIONS                                                                              \
  ImgStatus ResizeInterpolateEngine(const void* src, int32_t srcWidth, int32_t srcHeight, int32_t srcStep,     \
                                    const ImgRect* srcRoi, void* dst, int32_t dstStep, ImgSize dstRoiSize,     \
                                    double xFactor, double yFactor, double xShift, double yShift,              \
                                    int32_t pixelStep, int32_t channels, int32_t kind, int32_t planar,         \
                                    int32_t interpolation, int32_t mappingFlag);                               \
  ImgStatus ResizeSuperSampleEngine(const void* src, ImgSize srcSize, int32_t srcStep, const ImgRect* srcRoi,  \
                                    void* dst, int32_t dstStep, ImgSize dstRoiSize, double xFactor,            \
                                    double yFactor, int32_t pixelStep, int32_t channels, int32_t kind,         \
                                    int32_t planar);                                                           \
  ImgStatus ResizeYuy2InterpolateEngine(const u8* src, ImgSize srcSize, int32_t srcStep, const ImgRect* srcRoi, \
                                        u8* dst, int32_t dstStep, int32_t pairs, int32_t dstH, double xFactor,  \
                                        double yFactor, int32_t interpolation);                                 \
  ImgStatus ResizeYuy2SuperSampleEngine(const u8* src, u8* dst, int32_t srcStep, int32_t dstStep,              \
                                        int32_t srcPairs, int32_t pairs, int32_t dstH, int32_t srcRows,         \
                                        double sx, double sy, double area);                                     \
  ImgStatus ResizeSuperSampleRowsU8C1(const u8* src, u8* dst, int32_t srcStep, int32_t dstStep,                \
                                      int32_t usedWidth, int32_t dstW, int32_t dstH, int32_t srcRows,           \
                                      double xPeriod, double yPeriod, double areaScale, int32_t periodMode);

RESIZE_ENGINE_DECLARATIONS
// The level-0 engine over a row table of the caller's choosing: lets a test see the
// tables, weights and arguments that the engine hands to each kind of row routine.
ImgStatus ResizeInterpolateEngineWithTable(const ResizeRowTableLayout& table, const void* src, int32_t srcWidth,
                                           int32_t srcHeight, int32_t srcStep, const ImgRect* srcRoi, void* dst,
                                           int32_t dstStep, ImgSize dstRoiSize, double xFactor, double yFactor,
                                           double xShift, double yShift, int32_t pixelStep, int32_t channels,
                                           int32_t kind, int32_t planar, int32_t interpolation,
                                           int32_t mappingFlag);
namespace img::level1 {
RESIZE_ENGINE_DECLARATIONS
extern const ResizeRowTableLayout ResizeRowTable;
void ResizeLanczos3WeightsVec(const float* frac, int32_t n, ResizeTap6Weights* out);
}  // namespace img::level1
namespace img::level2 {
RESIZE_ENGINE_DECLARATIONS
extern const ResizeRowTableLayout ResizeRowTable;
void ResizeLanczos3WeightsVec(const float* frac, int32_t n, ResizeTap6Weights* out);
}  // namespace img::level2
namespace img::level3 {
RESIZE_ENGINE_DECLARATIONS
extern const ResizeRowTableLayout ResizeRowTable;
void ResizeLanczos3WeightsVec(const float* frac, int32_t n, ResizeTap6Weights* out);
}  // namespace img::level3
namespace img::level4 {
RESIZE_ENGINE_DECLARATIONS
extern const ResizeRowTableLayout ResizeRowTable;
void ResizeLanczos3WeightsVec(const float* frac, int32_t n, ResizeTap6Weights* out);
}  // namespace img::level4
#undef RESIZE_ENGINE_DECLARATIONS
