// The resize row kernels and the signed 16-bit downscale beside the peer libraries doing
// comparable work, single-threaded, in the same run. Every case reports destination
// pixels per second (items) and source bytes per second (bytes).
//
// How the peers' kernels differ (speed is compared, not results):
// - Cubic: ours is the 4-point Lagrange cubic, corner-aligned, 4 taps always, in float
//   work rows. OpenCV INTER_CUBIC is the Keys cubic (a = -0.75), centre-aligned, in
//   fixed point for 8-bit data; swscale SWS_BICUBIC widens its filter on reduction.
// - Lanczos-3: ours has 6 taps always (no widening on reduction), table-interpolated
//   weights and edge replication at the image's edge. OpenCV's nearest mode is
//   INTER_LANCZOS4 (8 x 8 taps); swscale SWS_LANCZOS is 3 lobes, widened on reduction.
// - Linear on four channels: ours corner-aligned with 14-bit weights and a 6-bit
//   intermediate; OpenCV INTER_LINEAR centre-aligned with 11-bit coefficients; swscale
//   bilinear widens on reduction.
// - Signed 16-bit area: OpenCV INTER_AREA on CV_16SC1 takes its integer fast path at 2:1
//   and its weighted path at 3:2; swscale has no signed 16-bit grey format.
#include <benchmark/benchmark.h>

#include <vector>

#include "imaging/core/cpu.h"
#include "imaging/core/dispatch.h"
#include "imaging/resize/resize.h"
#include "bench/support/resize_bench.h"
#include "imaging/resize/resize_internal.h"

#if VORLIX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using namespace vorlix_bench;

constexpr int kW = 1920, kH = 1080;

// ---- cubic and Lanczos-3 of an 8-bit 1080p plane to 720p and to 2160p -------------------

void PlaneOurs(benchmark::State& state) {
  const int level = int(state.range(0)), interp = int(state.range(1)), dw = int(state.range(2)),
            dh = int(state.range(3));
  if (!LevelRunnable(state, level)) return;
  auto src = Picture<u8>(size_t(kW) * kH);
  std::vector<u8> dst(size_t(dw) * dh);
  for (auto _ : state) {
    ImgStatus st = ImgResizeU8C1Table[level](src.data(), {kW, kH}, kW, {0, 0, kW, kH}, dst.data(), dw, {dw, dh},
                                             double(dw) / kW, double(dh) / kH, interp);
    benchmark::DoNotOptimize(st);
  }
  Count(state, dw, dh, int64_t(kW) * kH);
}
BENCHMARK(PlaneOurs)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}, {1280}, {720}})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}, {3840}, {2160}})
    ->Unit(benchmark::kMillisecond);

#if VORLIX_HAVE_OPENCV
void PlaneOpenCV(benchmark::State& state) {
  cv::setNumThreads(1);
  const int interp = int(state.range(0)), dw = int(state.range(1)), dh = int(state.range(2));
  auto src = Picture<u8>(size_t(kW) * kH);
  cv::Mat s(kH, kW, CV_8UC1, src.data()), d(dh, dw, CV_8UC1);
  for (auto _ : state)
    cv::resize(s, d, d.size(), 0, 0, interp == IMG_INTERP_CUBIC ? cv::INTER_CUBIC : cv::INTER_LANCZOS4);
  Count(state, dw, dh, int64_t(kW) * kH);
}
BENCHMARK(PlaneOpenCV)
    ->ArgsProduct({{IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}, {1280}, {720}})
    ->ArgsProduct({{IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}, {3840}, {2160}})
    ->Unit(benchmark::kMillisecond);
#endif
#if VORLIX_HAVE_SWSCALE
void PlaneSwscale(benchmark::State& state) {
  const int interp = int(state.range(0));
  SwscaleRun(state, kW, kH, int(state.range(1)), int(state.range(2)), AV_PIX_FMT_GRAY8, 1,
             interp == IMG_INTERP_CUBIC ? SWS_BICUBIC : SWS_LANCZOS);
}
BENCHMARK(PlaneSwscale)
    ->ArgsProduct({{IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}, {1280}, {720}})
    ->ArgsProduct({{IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}, {3840}, {2160}})
    ->Unit(benchmark::kMillisecond);
#endif

// ---- linear on a BGRA 1080p frame to 720p (the engine's four-channel 8-bit rows) ------

void BgraOurs(benchmark::State& state) {
  const int level = int(state.range(0)), dw = 1280, dh = 720;
  if (!LevelRunnable(state, level)) return;
  using EngineFn = decltype(&img::level0::ResizeInterpolateEngine);
  const EngineFn engines[] = {img::level0::ResizeInterpolateEngine, img::level1::ResizeInterpolateEngine,
                              img::level2::ResizeInterpolateEngine, img::level3::ResizeInterpolateEngine,
                              img::level4::ResizeInterpolateEngine};
  auto src = Picture<u8>(size_t(kW) * 4 * kH);
  std::vector<u8> dst(size_t(dw) * 4 * dh);
  const ImgRect roi{0, 0, kW, kH};
  for (auto _ : state) {
    ImgStatus st = engines[level](src.data(), kW, kH, 4 * kW, &roi, dst.data(), 4 * dw, {dw, dh}, double(dw) / kW,
                                  double(dh) / kH, 0.0, 0.0, 4, 4, IMG_ELEM_U8, 0, IMG_INTERP_LINEAR, 1);
    benchmark::DoNotOptimize(st);
  }
  Count(state, dw, dh, int64_t(kW) * 4 * kH);
}
BENCHMARK(BgraOurs)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

#if VORLIX_HAVE_OPENCV
void BgraOpenCV(benchmark::State& state) {
  cv::setNumThreads(1);
  auto src = Picture<u8>(size_t(kW) * 4 * kH);
  cv::Mat s(kH, kW, CV_8UC4, src.data()), d(720, 1280, CV_8UC4);
  for (auto _ : state) cv::resize(s, d, d.size(), 0, 0, cv::INTER_LINEAR);
  Count(state, 1280, 720, int64_t(kW) * 4 * kH);
}
BENCHMARK(BgraOpenCV)->Unit(benchmark::kMillisecond);
#endif
#if VORLIX_HAVE_SWSCALE
void BgraSwscale(benchmark::State& state) { SwscaleRun(state, kW, kH, 1280, 720, AV_PIX_FMT_BGRA, 4, SWS_BILINEAR); }
BENCHMARK(BgraSwscale)->Unit(benchmark::kMillisecond);
#endif

// ---- the signed 16-bit downscale of a 1080p plane, 2:1 and 3:2 ---------------------------

void S16Ours(benchmark::State& state) {
  const int level = int(state.range(0)), dw = int(state.range(1)), dh = int(state.range(2));
  if (!LevelRunnable(state, level)) return;
  auto src = Picture<s16>(size_t(kW) * kH);
  std::vector<s16> dst(size_t(dw) * dh);
  int32_t n = 0;
  ImgSuperSampleS16C1BufferSize({kW, kH}, {dw, dh}, 1, &n);
  std::vector<u8> buffer(static_cast<size_t>(n));
  for (auto _ : state) {
    ImgStatus st =
        ImgSuperSampleS16C1Table[level](src.data(), 2 * kW, {kW, kH}, dst.data(), 2 * dw, {dw, dh}, buffer.data());
    benchmark::DoNotOptimize(st);
  }
  Count(state, dw, dh, int64_t(kW) * 2 * kH);
}
BENCHMARK(S16Ours)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {960}, {540}})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {1280}, {720}})
    ->Unit(benchmark::kMillisecond);

#if VORLIX_HAVE_OPENCV
void S16OpenCV(benchmark::State& state) {
  cv::setNumThreads(1);
  const int dw = int(state.range(0)), dh = int(state.range(1));
  auto src = Picture<s16>(size_t(kW) * kH);
  cv::Mat s(kH, kW, CV_16SC1, src.data()), d(dh, dw, CV_16SC1);
  for (auto _ : state) cv::resize(s, d, d.size(), 0, 0, cv::INTER_AREA);
  Count(state, dw, dh, int64_t(kW) * 2 * kH);
}
BENCHMARK(S16OpenCV)->Args({960, 540})->Args({1280, 720})->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
