// What the resize benchmarks share: a pseudo-random picture, the level check, the counts
// every case reports, and the peer scaler's run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/core/cpu.h"

#if VORLIX_HAVE_SWSCALE
extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#endif

namespace vorlix_bench {

// n elements of pseudo-random content, the same in every run.
template <typename T = u8>
std::vector<T> Picture(size_t n) {
  std::vector<T> v(n);
  u32 x = 12345;
  for (auto& e : v) x = x * 1103515245u + 12345u, e = T(x >> 20);
  return v;
}

// False, with the case marked skipped, when this processor cannot run the level.
inline bool LevelRunnable(benchmark::State& state, int level) {
  if (!CpuCanRunLevel(level)) {
    state.SkipWithError("processor lacks this level");
    return false;
  }
  return true;
}

// Destination pixels per second (items) and source bytes per second (bytes).
inline void Count(benchmark::State& state, int dw, int dh, int64_t srcBytes) {
  state.SetItemsProcessed(state.iterations() * int64_t(dw) * dh);
  state.SetBytesProcessed(state.iterations() * srcBytes);
}

#if VORLIX_HAVE_SWSCALE
// One packed plane of bpp bytes a pixel scaled by the peer, with the given filter flags.
inline void SwscaleRun(benchmark::State& state, int sw, int sh, int dw, int dh, AVPixelFormat fmt, int bpp, int flags) {
  auto src = Picture(size_t(sw) * bpp * sh);
  std::vector<u8> dst(size_t(dw) * bpp * dh);
  SwsContext* ctx = sws_getContext(sw, sh, fmt, dw, dh, fmt, flags, nullptr, nullptr, nullptr);
  const u8* sp[1] = {src.data()};
  u8* dp[1] = {dst.data()};
  int ss[1] = {sw * bpp}, ds[1] = {dw * bpp};
  for (auto _ : state) sws_scale(ctx, sp, ss, 0, sh, dp, ds);
  sws_freeContext(ctx);
  Count(state, dw, dh, int64_t(sw) * bpp * sh);
}
#endif

}  // namespace vorlix_bench
