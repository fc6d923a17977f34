// The image library's core routines at every processor level this machine runs, on
// 1080p and 2160p frames, hot (the same buffers every call) and cold (buffers rotating
// over at least twice the last-level cache, so every call reads and writes memory),
// beside the peer library routine that does the same work. Bytes processed counts the
// bytes read plus the bytes written; "memcpy" and "memset" give the bandwidth bound.
//
// With VORLIX_BENCH_CACHE_MB=<n> in the environment the processor reports an n MB last-
// level cache (leaf 4, and leaf 2 with the nearest descriptor), as emulated processors
// do, so the large-buffer streaming paths run where this machine's own answers would
// never choose them.
#include <benchmark/benchmark.h>
#include <cpuid.h>
#include <x86intrin.h>

#include <cstdlib>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/support/arena.h"
#include "imaging/core/dispatch.h"

#if VORLIX_HAVE_LIBYUV
#include <libyuv.h>
#endif
#if VORLIX_HAVE_OPENCV
// The peer's headers predate C++20's rules on mixing enumerations.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-enum-enum-conversion"
#include <opencv2/core.hpp>
#pragma GCC diagnostic pop
#endif

namespace {

using vorlix_bench::MakeSlots;
using vorlix_bench::Slot;

using Body = std::function<void(u8** b, int w, int h)>;

struct Work {
  std::string name;
  std::function<std::vector<size_t>(int w, int h)> sizes;  // buffers of one call
  std::function<int64_t(int w, int h)> bytes;              // read + written
  std::function<Body(CpuLevel)> ours;
  std::vector<std::pair<std::string, Body>> peers;
};

void Run(benchmark::State& state, const Work& work, const Body& body, int w, int h, bool cold) {
  std::vector<Slot> slots = MakeSlots(work.sizes(w, h), cold);
  size_t next = 0;
  for (auto _ : state) {
    body(slots[next].data(), w, h);
    benchmark::ClobberMemory();
    if (++next == slots.size()) next = 0;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * work.bytes(w, h));
  state.counters["slots"] = double(slots.size());
}

const u8 kValue4[4] = {1, 2, 3, 4};

std::vector<Work> Works() {
  std::vector<Work> works;
  auto px = [](std::initializer_list<int64_t> perPixel) {
    std::vector<int64_t> v(perPixel);
    return [v](int w, int h) {
      std::vector<size_t> out;
      for (int64_t b : v) out.push_back(size_t(b * w * h));
      return out;
    };
  };
  auto traffic = [](int64_t perPixel) { return [perPixel](int w, int h) { return perPixel * w * h; }; };

  // Bandwidth bounds: what the memory system does for a plain copy and a plain fill.
  works.push_back({"memcpy", px({1, 1}), traffic(2), nullptr, {{"libc", [](u8** b, int w, int h) {
                                                                  std::memcpy(b[1], b[0], size_t(w) * h);
                                                                }}}});
  works.push_back({"memset", px({1}), traffic(1), nullptr, {{"libc", [](u8** b, int w, int h) {
                                                               std::memset(b[0], 7, size_t(w) * h);
                                                             }}}});

  works.push_back({"CopyU8C1",
                   px({1, 1}),
                   traffic(2),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) { ImgCopyU8C1Table[l](b[0], w, b[1], w, ImgSize{w, h}); };
                   },
                   {
#if VORLIX_HAVE_LIBYUV
                       {"libyuv", [](u8** b, int w, int h) { libyuv::CopyPlane(b[0], w, b[1], w, w, h); }},
#endif
                   }});
  works.push_back({"CopyU16C1",
                   px({2, 2}),
                   traffic(4),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) {
                       ImgCopyU16C1Table[l](reinterpret_cast<u16*>(b[0]), 2 * w, reinterpret_cast<u16*>(b[1]), 2 * w,
                                            ImgSize{w, h});
                     };
                   },
                   {
#if VORLIX_HAVE_LIBYUV
                       {"libyuv",
                        [](u8** b, int w, int h) {
                          libyuv::CopyPlane_16(reinterpret_cast<u16*>(b[0]), w, reinterpret_cast<u16*>(b[1]), w, w, h);
                        }},
#endif
                   }});
  works.push_back({"SetU8C1",
                   px({1}),
                   traffic(1),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) { ImgSetU8C1Table[l](7, b[0], w, ImgSize{w, h}); };
                   },
                   {
#if VORLIX_HAVE_LIBYUV
                       {"libyuv", [](u8** b, int w, int h) { libyuv::SetPlane(b[0], w, w, h, 7); }},
#endif
                   }});
  works.push_back({"SetU16C1",
                   px({2}),
                   traffic(2),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) {
                       ImgSetU16C1Table[l](0x1234, reinterpret_cast<u16*>(b[0]), 2 * w, ImgSize{w, h});
                     };
                   },
                   {
#if VORLIX_HAVE_OPENCV
                       {"opencv", [](u8** b, int w, int h) { cv::Mat(h, w, CV_16UC1, b[0], 2 * w).setTo(0x1234); }},
#endif
                   }});
  works.push_back(
      {"SetU8C3",
       px({3}),
       traffic(3),
       [](CpuLevel l) -> Body {
         return [l](u8** b, int w, int h) { ImgSetU8C3Table[l](kValue4, b[0], 3 * w, ImgSize{w, h}); };
       },
       {
#if VORLIX_HAVE_OPENCV
           {"opencv", [](u8** b, int w, int h) { cv::Mat(h, w, CV_8UC3, b[0], 3 * w).setTo(cv::Scalar(1, 2, 3)); }},
#endif
       }});
  works.push_back({"SetU8C4",
                   px({4}),
                   traffic(4),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) { ImgSetU8C4Table[l](kValue4, b[0], 4 * w, ImgSize{w, h}); };
                   },
                   {
#if VORLIX_HAVE_LIBYUV
                       {"libyuv", [](u8** b, int w, int h) { libyuv::ARGBRect(b[0], 4 * w, 0, 0, w, h, 0x04030201u); }},
#endif
                   }});
  works.push_back(
      {"VecSwapBytesU16",
       px({2, 2}),
       traffic(4),
       [](CpuLevel l) -> Body {
         return [l](u8** b, int w, int h) {
           ImgVecSwapBytesU16Table[l](reinterpret_cast<u16*>(b[0]), reinterpret_cast<u16*>(b[1]), w * h);
         };
       },
       {
#if VORLIX_HAVE_LIBYUV
           {"libyuv", [](u8** b, int w, int h) { libyuv::SwapUVPlane(b[0], 2 * w * h, b[1], 2 * w * h, w * h, 1); }},
#endif
       }});
  // The horizontal mirror of a packed 4:2:2 frame: 16-bit units mirrored in place.
  works.push_back({"MirrorInPlaceU16C1/axis1",
                   px({2, 2}),
                   traffic(4),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) {
                       ImgMirrorInPlaceU16C1Table[l](reinterpret_cast<u16*>(b[0]), 2 * w, ImgSize{w, h}, 1);
                     };
                   },
                   {
#if VORLIX_HAVE_OPENCV
                       {"opencv",
                        [](u8** b, int w, int h) {
                          cv::Mat m(h, w, CV_16UC1, b[0], 2 * w);
                          cv::flip(m, m, 1);
                        }},
#endif
#if VORLIX_HAVE_LIBYUV
                       // Out of place only (in place it corrupts the row): same traffic.
                       {"libyuv", [](u8** b, int w, int h) { libyuv::MirrorUVPlane(b[0], 2 * w, b[1], 2 * w, w, h); }},
#endif
                   }});
  works.push_back({"MirrorInPlaceU8C1/axis0",
                   px({1, 1}),
                   traffic(2),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) { ImgMirrorInPlaceU8C1Table[l](b[0], w, ImgSize{w, h}, 0); };
                   },
                   {
#if VORLIX_HAVE_OPENCV
                       {"opencv",
                        [](u8** b, int w, int h) {
                          cv::Mat m(h, w, CV_8UC1, b[0], w);
                          cv::flip(m, m, 0);
                        }},
#endif
#if VORLIX_HAVE_LIBYUV
                       // A copy with a negative height flips top to bottom, out of place.
                       {"libyuv", [](u8** b, int w, int h) { libyuv::CopyPlane(b[0], w, b[1], w, w, -h); }},
#endif
                   }});
  works.push_back({"MirrorInPlaceU8C4/axis2",
                   px({4, 4}),
                   traffic(8),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) { ImgMirrorInPlaceU8C4Table[l](b[0], 4 * w, ImgSize{w, h}, 2); };
                   },
                   {
#if VORLIX_HAVE_OPENCV
                       {"opencv",
                        [](u8** b, int w, int h) {
                          cv::Mat m(h, w, CV_8UC4, b[0], 4 * w);
                          cv::flip(m, m, -1);
                        }},
#endif
#if VORLIX_HAVE_LIBYUV
                       // Mirror with a negative height turns the picture over as well.
                       {"libyuv", [](u8** b, int w, int h) { libyuv::ARGBMirror(b[0], 4 * w, b[1], 4 * w, w, -h); }},
#endif
                   }});
  // The chroma fix-up after that mirror: {0, 3, 2, 1} over w / 2 four-byte pixels.
  works.push_back({"ReorderInPlaceU8C4/yuy2",
                   px({2}),
                   traffic(4),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) {
                       static const ImgChannelOrder order{{0, 3, 2, 1}};
                       ImgReorderInPlaceU8C4Table[l](b[0], 2 * w, ImgSize{w / 2, h}, &order);
                     };
                   },
                   {
#if VORLIX_HAVE_LIBYUV
                       {"libyuv",
                        [](u8** b, int w, int h) {
                          static const u8 shuffle[16] = {0, 3, 2, 1, 4, 7, 6, 5, 8, 11, 10, 9, 12, 15, 14, 13};
                          libyuv::ARGBShuffle(b[0], 2 * w, b[0], 2 * w, shuffle, w / 2, h);
                        }},
#endif
                   }});
  works.push_back({"ReorderU8C3ToC4",
                   px({3, 4}),
                   traffic(7),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) {
                       static const ImgChannelOrder order{{0, 1, 2, 3}};
                       ImgReorderU8C3ToC4Table[l](b[0], 3 * w, b[1], 4 * w, ImgSize{w, h}, &order, 255);
                     };
                   },
                   {
#if VORLIX_HAVE_LIBYUV
                       {"libyuv", [](u8** b, int w, int h) { libyuv::RGB24ToARGB(b[0], 3 * w, b[1], 4 * w, w, h); }},
#endif
                   }});
  works.push_back({"CopyU8C4ToC3",
                   px({4, 3}),
                   traffic(7),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) {
                       ImgCopyU8C4ToC3Table[l](b[0], 4 * w, b[1], 3 * w, ImgSize{w, h});
                     };
                   },
                   {
#if VORLIX_HAVE_LIBYUV
                       {"libyuv", [](u8** b, int w, int h) { libyuv::ARGBToRGB24(b[0], 4 * w, b[1], 3 * w, w, h); }},
#endif
                   }});
  works.push_back({"InterleaveU8C3",
                   px({1, 1, 1, 3}),
                   traffic(6),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) {
                       const u8* planes[3] = {b[0], b[1], b[2]};
                       ImgInterleaveU8C3Table[l](planes, w, b[3], 3 * w, ImgSize{w, h});
                     };
                   },
                   {
#if VORLIX_HAVE_LIBYUV
                       {"libyuv", [](u8** b, int w,
                                     int h) { libyuv::MergeRGBPlane(b[0], w, b[1], w, b[2], w, b[3], 3 * w, w, h); }},
#endif
                   }});
  works.push_back({"DeinterleaveU8C3",
                   px({3, 1, 1, 1}),
                   traffic(6),
                   [](CpuLevel l) -> Body {
                     return [l](u8** b, int w, int h) {
                       u8* planes[3] = {b[1], b[2], b[3]};
                       ImgDeinterleaveU8C3Table[l](b[0], 3 * w, planes, w, ImgSize{w, h});
                     };
                   },
                   {
#if VORLIX_HAVE_LIBYUV
                       {"libyuv", [](u8** b, int w,
                                     int h) { libyuv::SplitRGBPlane(b[0], 3 * w, b[1], w, b[2], w, b[3], w, w, h); }},
#endif
                   }});
  works.push_back(
      {"InterleaveU8C4",
       px({1, 1, 1, 1, 4}),
       traffic(8),
       [](CpuLevel l) -> Body {
         return [l](u8** b, int w, int h) {
           const u8* planes[4] = {b[0], b[1], b[2], b[3]};
           ImgInterleaveU8C4Table[l](planes, w, b[4], 4 * w, ImgSize{w, h});
         };
       },
       {
#if VORLIX_HAVE_LIBYUV
           // Writes b, g, r, a in memory order: planes 0, 1, 2 go in as b, g, r.
           {"libyuv", [](u8** b, int w,
                         int h) { libyuv::MergeARGBPlane(b[2], w, b[1], w, b[0], w, b[3], w, b[4], 4 * w, w, h); }},
#endif
       }});
  works.push_back(
      {"DeinterleaveU8C4",
       px({4, 1, 1, 1, 1}),
       traffic(8),
       [](CpuLevel l) -> Body {
         return [l](u8** b, int w, int h) {
           u8* planes[4] = {b[1], b[2], b[3], b[4]};
           ImgDeinterleaveU8C4Table[l](b[0], 4 * w, planes, w, ImgSize{w, h});
         };
       },
       {
#if VORLIX_HAVE_LIBYUV
           {"libyuv", [](u8** b, int w,
                         int h) { libyuv::SplitARGBPlane(b[0], 4 * w, b[3], w, b[2], w, b[1], w, b[4], w, w, h); }},
#endif
       }});
  return works;
}

}  // namespace

// The processor's own answers except for the vendor and the cache: the cache queries
// answer only for "GenuineIntel", leaf 4 names one unified cache of g_cacheMb MB and
// leaf 2 the largest descriptor not above it.
u32 g_cacheMb = 0;
void CacheCpuid(u32 leaf, u32 sub, CpuIdRegs* out) {
  __cpuid_count(leaf, sub, out->eax, out->ebx, out->ecx, out->edx);
  if (leaf == 0) {
    out->eax = out->eax < 4 ? 4 : out->eax;
    out->ebx = 0x756E6547u;  // "Genu"
    out->edx = 0x49656E69u;  // "ineI"
    out->ecx = 0x6C65746Eu;  // "ntel"
  } else if (leaf == 2) {
    const u32 descriptor = g_cacheMb >= 16  ? 0x4D
                           : g_cacheMb >= 8 ? 0x4B
                           : g_cacheMb >= 4 ? 0x49
                           : g_cacheMb >= 2 ? 0x45
                                            : 0x44;
    *out = CpuIdRegs{1, descriptor, 0, 0};
  } else if (leaf == 4) {
    // 16 ways x 1 partition x 64-byte lines x sets.
    const u32 sets = (g_cacheMb << 20) / (16 * 64);
    *out = sub == 0 ? CpuIdRegs{0x63, (15u << 22) | 63u, sets - 1, 0} : CpuIdRegs{};
  }
}
u64 Xgetbv(u32 index) {
  u32 lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(index));
  return (u64(hi) << 32) | lo;
}
void Fxsave(void* area) { __asm__ volatile("fxsave64 %0" : "=m"(*static_cast<char(*)[512]>(area))); }
u64 Rdtsc() { return __rdtsc(); }
const CpuProcessor kCacheProcessor = {CacheCpuid, Xgetbv, Fxsave, Rdtsc};

int main(int argc, char** argv) {
  if (const char* mb = std::getenv("VORLIX_BENCH_CACHE_MB")) {
    g_cacheMb = u32(std::atoi(mb));
    if (g_cacheMb > 0) CpuInstallProcessor(&kCacheProcessor);
  }
  CpuSelectProcessorLevel();
  int32_t cache = 0;
  const ImgStatus cacheStatus = CpuGetMaxCacheSize(&cache);
  benchmark::AddCustomContext("largest cache reported to the library",
                              cacheStatus == IMG_OK ? std::to_string(cache >> 10) + " KiB" : "unknown");
  static std::vector<Work> works = Works();
  const struct {
    const char* name;
    int w, h;
  } frames[] = {{"1080p", 1920, 1080}, {"2160p", 3840, 2160}};
  std::vector<CpuLevel> levels;
  for (CpuLevel l = 0; l < CPU_LEVEL_COUNT; ++l)
    if (CpuCanRunLevel(l)) levels.push_back(l);

  for (const Work& work : works)
    for (const auto& f : frames)
      for (bool cold : {false, true}) {
        const std::string prefix = work.name + "/" + f.name + (cold ? "/cold/" : "/hot/");
        const int w = f.w, h = f.h;
        if (work.ours)
          for (CpuLevel l : levels) {
            Body body = work.ours(l);
            benchmark::RegisterBenchmark(
                (prefix + "level" + std::to_string(l)).c_str(),
                [&work, body, w, h, cold](benchmark::State& s) { Run(s, work, body, w, h, cold); })
                ->Unit(benchmark::kMicrosecond)
                ->MinTime(0.2);
          }
        for (const auto& peer : work.peers) {
          Body body = peer.second;
          benchmark::RegisterBenchmark(
              (prefix + peer.first).c_str(),
              [&work, body, w, h, cold](benchmark::State& s) { Run(s, work, body, w, h, cold); })
              ->Unit(benchmark::kMicrosecond)
              ->MinTime(0.2);
        }
      }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
