// Lanczos-3 weight records: six taps per destination position, from the sampled kernel
// by linear interpolation between entries, normalised to sum to one.
#pragma once

#include <xmmintrin.h>

#include "imaging/resize/resize_common_impl.h"

namespace {

inline float LanczosKernelAt(float a) {
  const float* t = ResizeLanczos3Table;
  int32_t k = int32_t(a);
  return (t[k + 1] - t[k]) * (a - float(k)) + t[k];
}

// Reference form: strict range test, the table position formed in double precision,
// and a reciprocal estimate refined by one Newton step for the first four taps.
inline void Lanczos3WeightsReference(const float* frac, int32_t n, ResizeTap6Weights* out) {
  for (int32_t i = 0; i < n; ++i) {
    float d = -2.0f - frac[i];
    float w[6];
    for (int t = 0; t < 6; ++t) {
      float x = d + float(t);
      if (x > -3.0f && x < 3.0f) {
        float ax = x < 0.0f ? -x : x;
        w[t] = LanczosKernelAt(float(double(ax) * 100.0));
      } else {
        w[t] = 0.0f;
      }
    }
    float s = w[5] + (w[4] + (w[3] + (w[2] + (w[1] + w[0]))));
    float q = _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(s)));
    float r = 2.0f * q - s * q * q;
    for (int t = 0; t < 4; ++t) out[i].w[t] = w[t] * r;
    out[i].w[4] = w[4] / s;
    out[i].w[5] = w[5] / s;
  }
}

#if RESIZE_LEVEL >= 1
// Vector form: distances limited to 3 (where the table is zero), the table position in
// single precision, the sum in the order of the lanes' reduction, and every tap divided.
inline void Lanczos3WeightsOne(float f, int order, ResizeTap6Weights* out) {
  float d = -2.0f - f;
  float w[6];
  for (int t = 0; t < 6; ++t) {
    float x = d + float(t);
    float ax = x < 0.0f ? -x : x;
    if (ax > 3.0f) ax = 3.0f;
    w[t] = LanczosKernelAt(ax * 100.0f);
  }
  static const int kOrder[3][6] = {{1, 2, 3, 0, 5, 4}, {4, 5, 1, 2, 3, 0}, {0, 1, 3, 2, 4, 5}};
  const int* o = kOrder[order];
  float s = w[o[0]];
  for (int t = 1; t < 6; ++t) s = s + w[o[t]];
  for (int t = 0; t < 6; ++t) out->w[t] = w[t] / s;
}

inline void Lanczos3WeightsVector(const float* frac, int32_t n, ResizeTap6Weights* out) {
  int32_t i = 0;
  for (; i + 2 <= n; i += 2) {
    Lanczos3WeightsOne(frac[i], 0, &out[i]);
    Lanczos3WeightsOne(frac[i + 1], 1, &out[i + 1]);
  }
  if (i < n) Lanczos3WeightsOne(frac[i], 2, &out[i]);
}
#endif

}  // namespace
