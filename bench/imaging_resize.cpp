// The resize routines on the driver's own calls and on area-average reductions, beside
// the peer libraries doing the same work where they are installed. Every case reports
// destination pixels per second (items) and source bytes per second (bytes).
//
// How the peers differ (results are not compared here, only speed):
// - Linear: ours maps corners to corners (step (n-1)/(n*f-1)) with 14-bit weights and a
//   6-bit intermediate. libyuv's vertical-only bilinear scaler (equal widths) is also
//   corner-aligned, with 8-bit fractions; OpenCV INTER_LINEAR and swscale bilinear map
//   pixel centres, with 11-bit and 14-bit coefficients.
// - Packed 4:2:2: ours never unpacks. libyuv needs unpack, scale per plane and repack;
//   OpenCV resizes the luma plane and the interleaved chroma plane separately; swscale
//   converts through its own planar intermediate and places chroma by its own siting.
// - Area average: at 2:1 and 4:1 ours stores (sum + half) >> log2(area), as libyuv's box
//   filter does; OpenCV INTER_AREA takes its integer fast path at 2:1 and its general
//   weighted path at 4:1; swscale SWS_AREA is a weighted filter of its own.
// - libyuv picks its widest instructions at run time (256-bit where the processor has
//   them); ours stay within each level's 128-bit instructions.
//
// On a shared machine compare ours with a peer within one run, with the runs interleaved:
//   --benchmark_enable_random_interleaving=true --benchmark_repetitions=15
//   --benchmark_min_time=0.1 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "imaging/core/cpu.h"
#include "imaging/core/dispatch.h"
#include "imaging/resize/resize.h"
#include "bench/support/resize_bench.h"

#if VORLIX_HAVE_LIBYUV
#include <libyuv.h>
#endif
#if VORLIX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using namespace vorlix_bench;

// ---- the driver's field-to-frame call: 1920x540 -> 1920x1080, linear -----------------

constexpr int kFw = 1920, kFh = 540;

void FieldToFrameOurs(benchmark::State& state) {
  const int level = int(state.range(0));
  if (!LevelRunnable(state, level)) return;
  auto src = Picture(size_t(kFw) * kFh);
  std::vector<u8> dst(size_t(kFw) * kFh * 2);
  for (auto _ : state) {
    ImgStatus st = ImgResizeU8C1Table[level](src.data(), {kFw, kFh}, kFw, {0, 0, kFw, kFh}, dst.data(), kFw,
                                             {kFw, 2 * kFh}, 1.0, 2.0, IMG_INTERP_LINEAR);
    benchmark::DoNotOptimize(st);
  }
  Count(state, kFw, 2 * kFh, int64_t(kFw) * kFh);
}
BENCHMARK(FieldToFrameOurs)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

#if VORLIX_HAVE_LIBYUV
void FieldToFrameLibyuv(benchmark::State& state) {
  auto src = Picture(size_t(kFw) * kFh);
  std::vector<u8> dst(size_t(kFw) * kFh * 2);
  for (auto _ : state)
    libyuv::ScalePlane(src.data(), kFw, kFw, kFh, dst.data(), kFw, kFw, 2 * kFh, libyuv::kFilterBilinear);
  Count(state, kFw, 2 * kFh, int64_t(kFw) * kFh);
}
BENCHMARK(FieldToFrameLibyuv)->Unit(benchmark::kMicrosecond);
#endif
#if VORLIX_HAVE_OPENCV
void FieldToFrameOpenCV(benchmark::State& state) {
  cv::setNumThreads(1);
  auto src = Picture(size_t(kFw) * kFh);
  cv::Mat s(kFh, kFw, CV_8UC1, src.data()), d(2 * kFh, kFw, CV_8UC1);
  for (auto _ : state) cv::resize(s, d, d.size(), 0, 0, cv::INTER_LINEAR);
  Count(state, kFw, 2 * kFh, int64_t(kFw) * kFh);
}
BENCHMARK(FieldToFrameOpenCV)->Unit(benchmark::kMicrosecond);
#endif
#if VORLIX_HAVE_SWSCALE
void FieldToFrameSwscale(benchmark::State& state) {
  SwscaleRun(state, kFw, kFh, kFw, 2 * kFh, AV_PIX_FMT_GRAY8, 1, SWS_BILINEAR);
}
BENCHMARK(FieldToFrameSwscale)->Unit(benchmark::kMicrosecond);
#endif

// ---- packed 4:2:2 frame to the pin's size, linear -------------------------------------

constexpr int kPw = 1920, kPh = 1080;

void Yuy2Ours(benchmark::State& state) {
  const int level = int(state.range(0)), dw = int(state.range(1)), dh = int(state.range(2));
  if (!LevelRunnable(state, level)) return;
  auto src = Picture(size_t(2 * kPw) * kPh);
  std::vector<u8> dst(size_t(dw) * 2 * dh);
  for (auto _ : state) {
    ImgStatus st = ImgResizeYuy2Table[level](src.data(), {kPw, kPh}, 2 * kPw, {0, 0, kPw, kPh}, dst.data(), 2 * dw,
                                             {dw, dh}, double(dw) / kPw, double(dh) / kPh, IMG_INTERP_LINEAR);
    benchmark::DoNotOptimize(st);
  }
  Count(state, dw, dh, int64_t(2) * kPw * kPh);
}
BENCHMARK(Yuy2Ours)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {1280}, {720}})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {3840}, {2160}})
    ->Unit(benchmark::kMicrosecond);

#if VORLIX_HAVE_LIBYUV
void Yuy2Libyuv(benchmark::State& state) {
  const int dw = int(state.range(0)), dh = int(state.range(1));
  auto src = Picture(size_t(2 * kPw) * kPh);
  std::vector<u8> dst(size_t(dw) * 2 * dh);
  std::vector<u8> y(size_t(kPw) * kPh), u(size_t(kPw / 2) * kPh), v(size_t(kPw / 2) * kPh);
  std::vector<u8> y2(size_t(dw) * dh), u2(size_t(dw / 2) * dh), v2(size_t(dw / 2) * dh);
  for (auto _ : state) {
    libyuv::YUY2ToI422(src.data(), 2 * kPw, y.data(), kPw, u.data(), kPw / 2, v.data(), kPw / 2, kPw, kPh);
    libyuv::I422Scale(y.data(), kPw, u.data(), kPw / 2, v.data(), kPw / 2, kPw, kPh, y2.data(), dw, u2.data(), dw / 2,
                      v2.data(), dw / 2, dw, dh, libyuv::kFilterBilinear);
    libyuv::I422ToYUY2(y2.data(), dw, u2.data(), dw / 2, v2.data(), dw / 2, dst.data(), 2 * dw, dw, dh);
  }
  Count(state, dw, dh, int64_t(2) * kPw * kPh);
}
BENCHMARK(Yuy2Libyuv)->Args({1280, 720})->Args({3840, 2160})->Unit(benchmark::kMicrosecond);
#endif
#if VORLIX_HAVE_OPENCV
void Yuy2OpenCV(benchmark::State& state) {
  cv::setNumThreads(1);
  const int dw = int(state.range(0)), dh = int(state.range(1));
  auto src = Picture(size_t(2 * kPw) * kPh);
  cv::Mat s(kPh, kPw, CV_8UC2, src.data()), d(dh, dw, CV_8UC2);
  cv::Mat planes[2], scaled[2] = {cv::Mat(dh, dw, CV_8UC1), cv::Mat(dh, dw, CV_8UC1)};
  for (auto _ : state) {
    cv::split(s, planes);
    cv::resize(planes[0], scaled[0], scaled[0].size(), 0, 0, cv::INTER_LINEAR);
    cv::Mat uv(kPh, kPw / 2, CV_8UC2, planes[1].data), uv2(dh, dw / 2, CV_8UC2, scaled[1].data);
    cv::resize(uv, uv2, uv2.size(), 0, 0, cv::INTER_LINEAR);
    cv::merge(scaled, 2, d);
  }
  Count(state, dw, dh, int64_t(2) * kPw * kPh);
}
BENCHMARK(Yuy2OpenCV)->Args({1280, 720})->Args({3840, 2160})->Unit(benchmark::kMicrosecond);
#endif
#if VORLIX_HAVE_SWSCALE
void Yuy2Swscale(benchmark::State& state) {
  SwscaleRun(state, kPw, kPh, int(state.range(0)), int(state.range(1)), AV_PIX_FMT_YUYV422, 2, SWS_BILINEAR);
}
BENCHMARK(Yuy2Swscale)->Args({1280, 720})->Args({3840, 2160})->Unit(benchmark::kMicrosecond);
#endif

// ---- area-average reductions of a 1920x1080 plane by 2 and by 4 -----------------------

void AreaOurs(benchmark::State& state) {
  const int level = int(state.range(0)), div = int(state.range(1));
  if (!LevelRunnable(state, level)) return;
  auto src = Picture(size_t(kPw) * kPh);
  const int dw = kPw / div, dh = kPh / div;
  std::vector<u8> dst(size_t(dw) * dh);
  for (auto _ : state) {
    ImgStatus st = ImgResizeU8C1Table[level](src.data(), {kPw, kPh}, kPw, {0, 0, kPw, kPh}, dst.data(), dw, {dw, dh},
                                             1.0 / div, 1.0 / div, IMG_INTERP_SUPERSAMPLE);
    benchmark::DoNotOptimize(st);
  }
  Count(state, dw, dh, int64_t(kPw) * kPh);
}
BENCHMARK(AreaOurs)->ArgsProduct({{0, 1, 2, 3, 4}, {2, 4}})->Unit(benchmark::kMicrosecond);

#if VORLIX_HAVE_LIBYUV
void AreaLibyuv(benchmark::State& state) {
  const int div = int(state.range(0)), dw = kPw / div, dh = kPh / div;
  auto src = Picture(size_t(kPw) * kPh);
  std::vector<u8> dst(size_t(dw) * dh);
  for (auto _ : state) libyuv::ScalePlane(src.data(), kPw, kPw, kPh, dst.data(), dw, dw, dh, libyuv::kFilterBox);
  Count(state, dw, dh, int64_t(kPw) * kPh);
}
BENCHMARK(AreaLibyuv)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);
#endif
#if VORLIX_HAVE_OPENCV
void AreaOpenCV(benchmark::State& state) {
  cv::setNumThreads(1);
  const int div = int(state.range(0)), dw = kPw / div, dh = kPh / div;
  auto src = Picture(size_t(kPw) * kPh);
  cv::Mat s(kPh, kPw, CV_8UC1, src.data()), d(dh, dw, CV_8UC1);
  for (auto _ : state) cv::resize(s, d, d.size(), 0, 0, cv::INTER_AREA);
  Count(state, dw, dh, int64_t(kPw) * kPh);
}
BENCHMARK(AreaOpenCV)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);
#endif
#if VORLIX_HAVE_SWSCALE
void AreaSwscale(benchmark::State& state) {
  const int div = int(state.range(0));
  SwscaleRun(state, kPw, kPh, kPw / div, kPh / div, AV_PIX_FMT_GRAY8, 1, SWS_AREA);
}
BENCHMARK(AreaSwscale)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

BENCHMARK_MAIN();
