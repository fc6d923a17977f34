// The blend deinterlacer's weight state and a builder for linear weights.
#pragma once

#include "imaging/core/img_types.h"

// Read-only weights of ImgDeinterlaceBlend, owned by the caller.
struct ImgDeinterlaceBlendState {
  // 512 entries: [M] weights the spatial estimate and [256 + M] the median estimate
  // for motion value M (0..255).
  const u16* weights;
  // The vector levels form the spatial weight inside their blocks as
  // clamp(factor * M + offset, 0, 256) in saturating 16-bit arithmetic, and weight the
  // median with 256 minus it; level 0 reads weights.
  int32_t vectorWeightFactor;
  int32_t vectorWeightOffset;
  // Motion values above upperLimit take the spatial estimate alone, values below
  // lowerLimit the median alone.
  int32_t upperLimit;
  int32_t lowerLimit;
};

// Number of u16 entries a weight table holds.
constexpr int IMG_DEINTERLACE_BLEND_WEIGHTS = 512;

// The spatial weight of motion value m (0..255) under the linear rule, exactly as the
// vector levels compute it: factor and offset saturated to 16 bits, their product with
// m saturated to 16 bits, the offset added with saturation, the result limited to
// 0..256.
int ImgDeinterlaceBlendLinearWeight(int32_t factor, int32_t offset, int m);

// Fills weights (512 entries) by the linear rule, W[m] = the spatial weight and
// W[256 + m] = 256 - W[m], and points state at it with the given factor, offset and
// limits, so that every processor level blends alike. Returns IMG_ERR_NULL when state
// or weights is null (nothing written), IMG_OK otherwise.
ImgStatus ImgDeinterlaceBlendStateInitLinear(ImgDeinterlaceBlendState* state, u16* weights, int32_t factor,
                                             int32_t offset, int32_t lowerLimit, int32_t upperLimit);
