// Internals of the resize engine shared by its processor-level units and its tests: the
// row-routine table and its slots, the engines and row routines of every level, and the
// Lanczos-3 weights. The level units expand resize_body.inc after this header, so it
// also brings the standard headers that the bodies use.
#pragma once

#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "imaging/core/copy.h"
#include "imaging/core/dispatch.h"
#include "imaging/core/memory.h"
#include "imaging/img.h"
#include "imaging/resize/resize.h"

// Weights of the six taps at -2 .. +3 around a destination position's base sample.
struct ResizeTap6Weights {
  float w[6];
};
static_assert(sizeof(ResizeTap6Weights) == 24);

// Weights of the four taps at -1 .. +2 around a tap origin (the four-tap rows).
struct ResizeTap4Weights {
  float w[4];
};
static_assert(sizeof(ResizeTap4Weights) == 16);

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
                                  const ResizeTap4Weights* rowWeights, const ResizeTap4Weights* colWeights,
                                  float* rowBuf0, float* rowBuf1, float* rowBuf2, float* rowBuf3, int32_t pixelStep,
                                  int32_t channels);
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
                                     float* rowBuf0, float* rowBuf1, float* rowBuf2, float* rowBuf3, float* rowBuf4,
                                     float* rowBuf5, int32_t roiX, int32_t roiY, int32_t colsRight, int32_t rowsBelow,
                                     int32_t upscaleFlag, int32_t pixelStep, int32_t channels);

// The slots of ResizeRowTable: RESIZE_SLOT_<name> = slot number (resize_row_slots.inc).
#define RESIZE_ROW_SLOT(name, slot, group, routine) constexpr int32_t RESIZE_SLOT_##name = slot;
#include "imaging/resize/resize_row_slots.inc"
#undef RESIZE_ROW_SLOT
constexpr int32_t RESIZE_ROW_SLOTS = 48;
// First slot of each call form; slot = group base + index in the group's array.
constexpr int32_t RESIZE_GROUP_BASE_nearest = 0;
constexpr int32_t RESIZE_GROUP_BASE_linear = 12;
constexpr int32_t RESIZE_GROUP_BASE_tap4 = 20;
constexpr int32_t RESIZE_GROUP_BASE_tap6 = 28;
constexpr int32_t RESIZE_GROUP_BASE_cubic = 36;
constexpr int32_t RESIZE_GROUP_BASE_lanczos = 42;

// The 48 slots of one level. The six call forms differ, so each group has its own typed
// array; ResizeRowSlotFilled tells by slot number whether a routine stands there. An
// empty slot is a null entry.
struct ResizeRowTableLayout {
  ResizeNearestRowsFn nearest[RESIZE_GROUP_BASE_linear - RESIZE_GROUP_BASE_nearest];
  ResizeLinearRowsFn linear[RESIZE_GROUP_BASE_tap4 - RESIZE_GROUP_BASE_linear];
  ResizeTap4RowsFn tap4[RESIZE_GROUP_BASE_tap6 - RESIZE_GROUP_BASE_tap4];
  ResizeTap6RowsFn tap6[RESIZE_GROUP_BASE_cubic - RESIZE_GROUP_BASE_tap6];
  ResizeCubicRowsFn cubic[RESIZE_GROUP_BASE_lanczos - RESIZE_GROUP_BASE_cubic];
  ResizeLanczosRowsFn lanczos[RESIZE_ROW_SLOTS - RESIZE_GROUP_BASE_lanczos];
};
bool ResizeRowSlotFilled(const ResizeRowTableLayout& table, int32_t slot);

// The table of every level, indexed by CpuLevel.
extern const ResizeRowTableLayout* const ResizeRowTables[CPU_LEVEL_COUNT];

// Kernel values L(k / 100) of the Lanczos-3 filter, k = 0 .. 300, then three zeros.
extern const float ResizeLanczos3Table[304];

// What every level defines: its engines, its table and the entries behind the table's
// slots that other levels share. The area-average engine and rows take, beyond the
// classic arguments, the clipped source height so that no row below the image is read.
#define RESIZE_LEVEL_DECLARATIONS                                                                                     \
  ImgStatus ImgResizeU8C1(const u8* src, ImgSize srcSize, int32_t srcStep, ImgRect srcRoi, u8* dst, int32_t dstStep,  \
                          ImgSize dstRoiSize, double xFactor, double yFactor, int32_t interpolation);                 \
  ImgStatus ImgResizeYuy2(const u8* src, ImgSize srcSize, int32_t srcStep, ImgRect srcRoi, u8* dst, int32_t dstStep,  \
                          ImgSize dstRoiSize, double xFactor, double yFactor, int32_t interpolation);                 \
  ImgStatus ResizeInterpolateEngine(                                                                                  \
      const void* src, int32_t srcWidth, int32_t srcHeight, int32_t srcStep, const ImgRect* srcRoi, void* dst,        \
      int32_t dstStep, ImgSize dstRoiSize, double xFactor, double yFactor, double xShift, double yShift,              \
      int32_t pixelStep, int32_t channels, int32_t kind, int32_t planar, int32_t interpolation, int32_t mappingFlag); \
  ImgStatus ResizeSuperSampleEngine(const void* src, ImgSize srcSize, int32_t srcStep, const ImgRect* srcRoi,         \
                                    void* dst, int32_t dstStep, ImgSize dstRoiSize, double xFactor, double yFactor,   \
                                    int32_t pixelStep, int32_t channels, int32_t kind, int32_t planar);               \
  ImgStatus ResizeYuy2InterpolateEngine(const u8* src, ImgSize srcSize, int32_t srcStep, const ImgRect* srcRoi,       \
                                        u8* dst, int32_t dstStep, int32_t pairs, int32_t dstH, double xFactor,        \
                                        double yFactor, int32_t interpolation);                                       \
  ImgStatus ResizeYuy2SuperSampleEngine(const u8* src, u8* dst, int32_t srcStep, int32_t dstStep, int32_t srcPairs,   \
                                        int32_t pairs, int32_t dstH, int32_t srcRows, double sx, double sy,           \
                                        double area);                                                                 \
  ImgStatus ResizeSuperSampleRowsU8C1(const u8* src, u8* dst, int32_t srcStep, int32_t dstStep, int32_t usedWidth,    \
                                      int32_t dstW, int32_t dstH, int32_t srcRows, double xPeriod, double yPeriod,    \
                                      double areaScale, int32_t periodMode);                                          \
  extern const ResizeRowTableLayout ResizeRowTable;

// The signed 16-bit column sums, which only the levels 1 to 4 have.
#define RESIZE_ACCUMULATE_S16_DECLARATIONS                                                                  \
  void ResizeAccumulateKernelS16C1(const s16* src, int32_t srcStep, u32 width, int32_t rows, int32_t* acc); \
  void ResizeAccumulateKernelS16C3(const s16* src, int32_t srcStep, u32 width, int32_t rows, int32_t* acc,  \
                                   int32_t pixelStep);                                                      \
  void ResizeAccumulateKernelS16C4(const s16* src, int32_t srcStep, u32 width, int32_t rows, int32_t* acc);

namespace img::level0 {
RESIZE_LEVEL_DECLARATIONS
ImgStatus ImgSuperSampleS16C1(const s16* src, int32_t srcStep, ImgSize srcSize, s16* dst, int32_t dstStep,
                              ImgSize dstSize, u8* buffer);
ImgStatus ImgSuperSampleS16C1BufferSize(ImgSize srcSize, ImgSize dstSize, int32_t numChannels, int32_t* bufferSize);
// The nearest rows, which level 1 shares.
#define RESIZE_NEAREST_ROWS(layout)                                                                       \
  void ResizeNearestRows##layout(const void* src, void* dst, int32_t dstStep, int32_t dstW, int32_t dstH, \
                                 const int32_t* rowOffsets, const int32_t* colOffsets, int32_t pixelStep);
RESIZE_NEAREST_ROWS(U8C3)
RESIZE_NEAREST_ROWS(U16C3)
RESIZE_NEAREST_ROWS(F32C3)
RESIZE_NEAREST_ROWS(U8C1)
RESIZE_NEAREST_ROWS(U16C1)
RESIZE_NEAREST_ROWS(F32C1)
RESIZE_NEAREST_ROWS(U8C4)
RESIZE_NEAREST_ROWS(U16C4)
RESIZE_NEAREST_ROWS(F32C4)
#undef RESIZE_NEAREST_ROWS
// Level 0 weights; the builds of levels 1 to 4 use the vector form.
void ResizeLanczos3Weights(const float* frac, int32_t n, ResizeTap6Weights* out);
// The level-0 engine over a row table of the caller's choosing: lets a test see the
// tables, weights and arguments that the engine hands to each kind of row routine.
ImgStatus ResizeInterpolateEngineWithTable(const ResizeRowTableLayout& table, const void* src, int32_t srcWidth,
                                           int32_t srcHeight, int32_t srcStep, const ImgRect* srcRoi, void* dst,
                                           int32_t dstStep, ImgSize dstRoiSize, double xFactor, double yFactor,
                                           double xShift, double yShift, int32_t pixelStep, int32_t channels,
                                           int32_t kind, int32_t planar, int32_t interpolation, int32_t mappingFlag);
}  // namespace img::level0
namespace img::level1 {
RESIZE_LEVEL_DECLARATIONS
RESIZE_ACCUMULATE_S16_DECLARATIONS
void ResizeLanczos3WeightsVec(const float* frac, int32_t n, ResizeTap6Weights* out);
}  // namespace img::level1
namespace img::level2 {
RESIZE_LEVEL_DECLARATIONS
RESIZE_ACCUMULATE_S16_DECLARATIONS
void ResizeLanczos3WeightsVec(const float* frac, int32_t n, ResizeTap6Weights* out);
}  // namespace img::level2
namespace img::level3 {
RESIZE_LEVEL_DECLARATIONS
RESIZE_ACCUMULATE_S16_DECLARATIONS
void ResizeLanczos3WeightsVec(const float* frac, int32_t n, ResizeTap6Weights* out);
}  // namespace img::level3
namespace img::level4 {
RESIZE_LEVEL_DECLARATIONS
RESIZE_ACCUMULATE_S16_DECLARATIONS
void ResizeLanczos3WeightsVec(const float* frac, int32_t n, ResizeTap6Weights* out);
}  // namespace img::level4
#undef RESIZE_LEVEL_DECLARATIONS
#undef RESIZE_ACCUMULATE_S16_DECLARATIONS

// The reference level under the names the library and its tests know it by.
using img::level0::ResizeInterpolateEngine;
using img::level0::ResizeInterpolateEngineWithTable;
using img::level0::ResizeLanczos3Weights;
using img::level0::ResizeSuperSampleEngine;
using img::level0::ResizeSuperSampleRowsU8C1;
using img::level0::ResizeYuy2InterpolateEngine;
using img::level0::ResizeYuy2SuperSampleEngine;
