// Frame finishing of pins built from the bounce frame buffers, per frame: a 1080p packed
// 4:2:2 frame finished into a YV12 and a BGRA pin, and a 2160p planar frame built from two
// cards' tiles on stripe threads into a packed 4:2:2 pin. Each beside the bare conversion
// the driver calls (our image library's routine, or the interleave on one thread) and the
// same conversion done by libyuv, so the driver's own overhead (time stamps, header, the
// path choice, the stripe threads' start and join) reads as the difference.
#include <benchmark/benchmark.h>

#include <cstring>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/streaming/capture_pin.h"
#include "driver/streaming/frame_finishing.h"
#include "imaging/img.h"
#include "platform/ks/media.h"

#if VORLIX_HAVE_LIBYUV
#include <libyuv.h>
#endif

namespace {

struct Clock : IKsReferenceClock {
  LONGLONG now = 10000000;
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  LONGLONG GetTime() override { return now += 333333; }
  LONGLONG GetPhysicalTime() override { return now; }
};

std::vector<UCHAR> Random(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<UCHAR> v(n);
  for (size_t i = 0; i < n; i += 4) {
    const uint32_t r = rng();
    std::memcpy(&v[i], &r, n - i < 4 ? n - i : 4);
  }
  return v;
}

// A device object on a zeroed block with group-0 frame buffers of `bytes` each.
struct Board {
  void* block = ::operator new(sizeof(CDevice), std::align_val_t(64));
  CDevice* d;
  KSDEVICE ks{};
  PCI_IDENTITY identity{};
  std::vector<std::vector<UCHAR>> buffers;

  Board(BoardKind kind, ULONG bytes, ULONG w, ULONG h) {
    std::memset(block, 0, sizeof(CDevice));
    d = ::new (block) CDevice();
    ks.Context = d;
    BoardKindIdentity(kind, &identity);
    d->m_pPciIdentity = &identity;
    d->m_nAnalogVideoDecoderStatus = 1;
    d->m_nAnalogVideoFrameRate = 30;
    // Only the bounce frame the benchmarks finish from (2); the intermediates are not
    // needed at equal sizes.
    buffers.resize(1);
    buffers[0] = Random(bytes, (unsigned)bytes);
    d->m_pFrameBuffer[0][2] = buffers[0].data();
    d->m_nFrameBufferGroupSize[0] = bytes;
    d->m_SourceTiming.nWidth = w;
    d->m_SourceTiming.nHeight = h;
    d->m_SourceTiming.nRefresh = 30;
  }
  ~Board() {
    d->~CDevice();
    ::operator delete(block, std::align_val_t(64));
  }
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;
};

struct Pin {
  VideoPinContext c{};
  KSPIN pin{};
  Clock clock;
  Pin(Board& b, ULONG w, ULONG h, ULONG bits, ULONG fourcc) {
    pin.StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    c.pKsPin = &pin;
    c.pKsDevice = &b.ks;
    c.pClock = &clock;
    c.nStreamIndex = 1;
    c.nWidth = w;
    c.nHeight = h;
    c.nStride = w;
    c.nBitCount = bits;
    c.nCompression = fourcc;
  }
  void Fill(std::vector<UCHAR>& out) {
    struct {
      KSSTREAM_HEADER h;
      KS_FRAME_INFO info;
    } header{};
    header.h.Size = sizeof(header);
    CCapturePin::FillVideoFrame(&c, out.data(), 2, 0, out.data(), (ULONG)out.size(), 0, 0, &header.h);
    benchmark::DoNotOptimize(header);
  }
};

constexpr ULONG kW = 1920, kH = 1080;

// Time per iteration is time per frame; bytes processed counts the source bytes read.
void Frames(benchmark::State& state, size_t bytes) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)bytes);
}

// ---- 1080p packed source into YV12 ------------------------------------------------------

void BM_Driver_Yuy2ToYv12_1080p(benchmark::State& state) {
  Board b(BOARD_KIND_ENCODER, kW * kH * 2, kW, kH);
  Pin p(b, kW, kH, 12, MakeFourCC("YV12"));
  std::vector<UCHAR> out(kW * kH * 3 / 2);
  for (auto _ : state) p.Fill(out);
  Frames(state, kW * kH * 2);
}
BENCHMARK(BM_Driver_Yuy2ToYv12_1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Bare_Yuy2ToYv12_1080p(benchmark::State& state) {
  auto src = Random(kW * kH * 2, 3);
  std::vector<UCHAR> out(kW * kH * 3 / 2);
  u8* planes[3] = {out.data(), out.data() + kW * kH, out.data() + kW * kH + kW * kH / 4};
  const int steps[3] = {(int)kW, (int)kW / 2, (int)kW / 2};
  for (auto _ : state) {
    ImgYuy2ToYv12(src.data(), kW * 2, planes, steps, ImgSize{(int)kW, (int)kH});
    benchmark::DoNotOptimize(out.data());
  }
  Frames(state, kW * kH * 2);
}
BENCHMARK(BM_Bare_Yuy2ToYv12_1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

#if VORLIX_HAVE_LIBYUV
void BM_Libyuv_YUY2ToI420_1080p(benchmark::State& state) {
  auto src = Random(kW * kH * 2, 3);
  std::vector<UCHAR> out(kW * kH * 3 / 2);
  for (auto _ : state) {
    libyuv::YUY2ToI420(src.data(), kW * 2, out.data(), kW, out.data() + kW * kH + kW * kH / 4, kW / 2,
                       out.data() + kW * kH, kW / 2, kW, kH);
    benchmark::DoNotOptimize(out.data());
  }
  Frames(state, kW * kH * 2);
}
BENCHMARK(BM_Libyuv_YUY2ToI420_1080p)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// ---- 1080p packed source into BGRA (bottom-up) -------------------------------------------

void BM_Driver_Yuy2ToBgra_1080p(benchmark::State& state) {
  Board b(BOARD_KIND_ENCODER, kW * kH * 2, kW, kH);
  Pin p(b, kW, kH, 32, 0);
  std::vector<UCHAR> out(kW * kH * 4);
  for (auto _ : state) p.Fill(out);
  Frames(state, kW * kH * 2);
}
BENCHMARK(BM_Driver_Yuy2ToBgra_1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Bare_Yuy2ToBgra_1080p(benchmark::State& state) {
  auto src = Random(kW * kH * 2, 3);
  std::vector<UCHAR> out(kW * kH * 4);
  for (auto _ : state) {
    ImgYuy2ToBgraBt601(src.data(), kW * 2, out.data() + (kH - 1) * kW * 4, -(int)(kW * 4), ImgSize{(int)kW, (int)kH},
                       0);
    benchmark::DoNotOptimize(out.data());
  }
  Frames(state, kW * kH * 2);
}
BENCHMARK(BM_Bare_Yuy2ToBgra_1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

#if VORLIX_HAVE_LIBYUV
void BM_Libyuv_YUY2ToARGB_1080p(benchmark::State& state) {
  auto src = Random(kW * kH * 2, 3);
  std::vector<UCHAR> out(kW * kH * 4);
  for (auto _ : state) {
    // A negative height writes bottom-up, as the driver does.
    libyuv::YUY2ToARGB(src.data(), kW * 2, out.data(), kW * 4, kW, -(int)kH);
    benchmark::DoNotOptimize(out.data());
  }
  Frames(state, kW * kH * 2);
}
BENCHMARK(BM_Libyuv_YUY2ToARGB_1080p)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// ---- 2160p planar source, two tiles on stripe threads, into packed 4:2:2 ----------------

constexpr ULONG k4W = 3840, k4H = 2160, kTileW = 1920;

void BM_Driver_PlanarStripes_2160p(benchmark::State& state) {
  Board main(BOARD_KIND_V, k4W * k4H * 2, k4W, k4H);
  Board left(BOARD_KIND_V, kTileW * k4H * 2, kTileW, k4H), right(BOARD_KIND_V, kTileW * k4H * 2, kTileW, k4H);
  main.d->m_nAnalogVideoMultiSyncChannels = 2;
  right.d->m_nAnalogVideoMultiSyncPositionX = kTileW;
  g_pCardDevice[0] = left.d;
  g_pCardDevice[2] = right.d;
  Pin p(main, k4W, k4H, 16, MakeFourCC("YUY2"));
  std::vector<UCHAR> out(k4W * k4H * 2);
  for (auto _ : state) p.Fill(out);
  g_pCardDevice[0] = g_pCardDevice[2] = nullptr;
  Frames(state, k4W * k4H * 2);
}
BENCHMARK(BM_Driver_PlanarStripes_2160p)->Unit(benchmark::kMillisecond)->UseRealTime();

// The stripe threads alone: two started and joined per frame with nothing to do, the
// part of the striped frame's time the interleave does not account for.
void BM_StripeThreadsStartJoin(benchmark::State& state) {
  Board main(BOARD_KIND_V, k4W * k4H * 2, k4W, k4H);
  Board left(BOARD_KIND_V, 64, 0, 0), right(BOARD_KIND_V, 64, 0, 0);
  main.d->m_nAnalogVideoMultiSyncChannels = 2;
  g_pCardDevice[0] = left.d;
  g_pCardDevice[2] = right.d;
  left.d->m_SourceTiming.nWidth = right.d->m_SourceTiming.nWidth = 16;
  left.d->m_SourceTiming.nHeight = right.d->m_SourceTiming.nHeight = 1;
  right.d->m_nAnalogVideoMultiSyncPositionX = 16;
  Pin p(main, k4W, k4H, 16, MakeFourCC("YUY2"));
  std::vector<UCHAR> out(k4W * k4H * 2);
  for (auto _ : state) p.Fill(out);
  g_pCardDevice[0] = g_pCardDevice[2] = nullptr;
  Frames(state, 0);
}
BENCHMARK(BM_StripeThreadsStartJoin)->Unit(benchmark::kMillisecond)->UseRealTime();

// Two random 2160p tiles (left and right halves of a picture) and the interleave jobs that
// write them into one 4:2:2 frame.
struct TwoTiles {
  std::vector<UCHAR> left = Random(kTileW * k4H * 2, 1), right = Random(kTileW * k4H * 2, 2);
  std::vector<UCHAR> out = std::vector<UCHAR>(k4W * k4H * 2);
  StripeJob jobs[2] = {
      {nullptr, 0, kTileW, k4H, kTileW, k4W, k4H, left.data(), left.data() + kTileW* k4H, out.data(), out.data(),
       out.data() + out.size()},
      {nullptr, 1, kTileW, k4H, kTileW, k4W, k4H, right.data(), right.data() + kTileW* k4H, out.data(),
       out.data() + kTileW * 2, out.data() + out.size()},
  };
};

// The same interleave of both tiles on the calling thread.
void BM_Bare_Interleave_2160p(benchmark::State& state) {
  TwoTiles t;
  StripeJob* jobs = t.jobs;
  const std::vector<UCHAR>& out = t.out;
  for (auto _ : state) {
    InterleaveStripe(&jobs[0]);
    InterleaveStripe(&jobs[1]);
    benchmark::DoNotOptimize(out.data());
  }
  Frames(state, k4W * k4H * 2);
}
BENCHMARK(BM_Bare_Interleave_2160p)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same two interleaves, each on a bare host thread started and joined per frame: the
// striped path's floor on this machine, without the platform's thread layer.
void BM_HostThreads_Interleave_2160p(benchmark::State& state) {
  TwoTiles t;
  StripeJob* jobs = t.jobs;
  const std::vector<UCHAR>& out = t.out;
  for (auto _ : state) {
    std::thread a(InterleaveStripe, &jobs[0]), b(InterleaveStripe, &jobs[1]);
    a.join();
    b.join();
    benchmark::DoNotOptimize(out.data());
  }
  Frames(state, k4W * k4H * 2);
}
BENCHMARK(BM_HostThreads_Interleave_2160p)->Unit(benchmark::kMillisecond)->UseRealTime();

#if VORLIX_HAVE_LIBYUV
void BM_Libyuv_MergeUVPlane_2160p(benchmark::State& state) {
  auto left = Random(kTileW * k4H * 2, 1), right = Random(kTileW * k4H * 2, 2);
  std::vector<UCHAR> out(k4W * k4H * 2);
  const ULONG plane = kTileW * k4H;
  for (auto _ : state) {
    libyuv::MergeUVPlane(left.data(), kTileW, left.data() + plane, kTileW, out.data(), k4W * 2, kTileW, k4H);
    libyuv::MergeUVPlane(right.data(), kTileW, right.data() + plane, kTileW, out.data() + kTileW * 2, k4W * 2, kTileW,
                         k4H);
    benchmark::DoNotOptimize(out.data());
  }
  Frames(state, k4W * k4H * 2);
}
BENCHMARK(BM_Libyuv_MergeUVPlane_2160p)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// ---- The platform's system threads beside bare host threads ------------------------------

// Two host threads started and joined: the floor for what the stripe path's thread start
// and wait can cost.
void BM_HostThreadsStartJoin(benchmark::State& state) {
  for (auto _ : state) {
    std::thread a([] {}), b([] {});
    a.join();
    b.join();
  }
  Frames(state, 0);
}
BENCHMARK(BM_HostThreadsStartJoin)->Unit(benchmark::kMicrosecond)->UseRealTime();

VOID EndAtOnce(PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }
VOID ReturnAtOnce(PVOID) {}

// Two system threads as the stripe path runs them (created, referenced, handle closed,
// waited for, dereferenced), ending by terminating themselves (0) or by returning (1).
void BM_SystemThreadsStartWait(benchmark::State& state) {
  const PKSTART_ROUTINE routine = state.range(0) == 0 ? EndAtOnce : ReturnAtOnce;
  for (auto _ : state) {
    PVOID threads[2] = {};
    for (PVOID& object : threads) {
      HANDLE handle = nullptr;
      if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, nullptr)))
        continue;
      ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr);
      ZwClose(handle);
    }
    for (PVOID object : threads) {
      if (!object) continue;
      KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
      ObDereferenceObject(object);
    }
  }
  Frames(state, 0);
}
BENCHMARK(BM_SystemThreadsStartWait)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

// The driver selects the image library's processor level when it loads; so does this.
int main(int argc, char** argv) {
  CpuSelectProcessorLevel();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
