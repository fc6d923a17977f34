// The linear weight rule shared by the blend deinterlacer's table and its vector levels.
#include "imaging/core/deinterlace.h"

namespace {
int32_t Saturate16(int64_t v) { return v < -32768 ? -32768 : v > 32767 ? 32767 : int32_t(v); }
}  // namespace

int ImgDeinterlaceBlendLinearWeight(int32_t factor, int32_t offset, int m) {
  const int32_t product = Saturate16(int64_t(Saturate16(factor)) * m);
  const int32_t w = Saturate16(int64_t(product) + Saturate16(offset));
  return w < 0 ? 0 : w > 256 ? 256 : w;
}

ImgStatus ImgDeinterlaceBlendStateInitLinear(ImgDeinterlaceBlendState* state, u16* weights, int32_t factor,
                                             int32_t offset, int32_t lowerLimit, int32_t upperLimit) {
  if (!state || !weights) return IMG_ERR_NULL;
  for (int m = 0; m < 256; ++m) {
    const int w = ImgDeinterlaceBlendLinearWeight(factor, offset, m);
    weights[m] = u16(w);
    weights[256 + m] = u16(256 - w);
  }
  state->weights = weights;
  state->vectorWeightFactor = factor;
  state->vectorWeightOffset = offset;
  state->upperLimit = upperLimit;
  state->lowerLimit = lowerLimit;
  return IMG_OK;
}
