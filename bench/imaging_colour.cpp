// The colour-format conversions and the deinterlacers at every processor level this
// machine runs, on 1080p and 2160p frames, hot (the same buffers every call) and cold
// (buffers rotating over at least twice the last-level cache), beside the peer routines
// that do the same work. Bytes processed counts bytes read plus bytes written; the
// "memcpy" line of the same frame gives the bandwidth bound.
//
// Where the peers differ (the numbers, not the work):
// - libyuv ARGBToYUY2 averages a pair's chroma like ours but rounds differently (pure
//   blue gives U 239 there, 240 here).
// - YUY2/I420 to ARGB: the peers write alpha 255 and round to nearest; our YUY2 path keeps
//   its unrounded offsets (Y 235 gives 254 here, 255 there).
// - YUY2 to I420/NV12: the peers average the chroma of both rows; ours takes the upper
//   row. Same traffic.
// - The studio conversions have no exact peer (limited-range RGB out); the BT.601 or
//   BT.709 routine of the same shape stands in, for speed only.
// - The deinterlacers have no peer; libyuv InterpolatePlane (two planes in, one out) on
//   the same three planes is a lower bound of the work's shape.
// Each libyuv routine runs twice: with its own processor selection ("libyuv") and held to
// the instruction sets of our selected level, SSE4.1 ("libyuv-sse41"). OpenCV runs on one
// thread.
//
// --summary[=FILE] runs every benchmark several times, the repetitions of ours and the
// peers' interleaved in random order, and ends with one table of medians: one line per
// routine, frame, level and hot or cold, with the fastest peer, the peer held to our
// selected level's instruction sets, their ratios, and (cold) the ratio to the memory
// bound, the time the in-run cold "memcpy" bandwidth needs for the routine's traffic. The
// table is also written to FILE.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <functional>
#include <string>
#include <vector>

#include "bench/support/arena.h"
#include "imaging/core/deinterlace.h"
#include "imaging/core/dispatch.h"

#if VORLIX_HAVE_LIBYUV
#include <libyuv.h>
#endif
#if VORLIX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using vorlix_bench::MakeSlots;

using Body = std::function<void(u8** b, int w, int h)>;

struct Work {
  std::string name;
  std::vector<double> bytesPerPixel;  // the buffers of one call
  double traffic;                     // bytes read + written per pixel
  std::function<Body(CpuLevel)> ours;
  std::vector<std::pair<std::string, Body>> peers;
  // Writes the content one call's buffers need before timing, when it matters.
  std::function<void(u8** b, int w, int h)> prepare;

  Work(std::string n, std::vector<double> buffers, double t, std::function<Body(CpuLevel)> o,
       std::vector<std::pair<std::string, Body>> p = {})
      : name(std::move(n)), bytesPerPixel(std::move(buffers)), traffic(t), ours(std::move(o)), peers(std::move(p)) {}
};

void Run(benchmark::State& state, const Work& work, const Body& body, int w, int h, bool cold) {
  std::vector<size_t> sizes;
  for (double b : work.bytesPerPixel) sizes.push_back(size_t(b * w * h) + 64);
  std::vector<std::vector<u8*>> slots = MakeSlots(sizes, cold);
  if (work.prepare)
    for (auto& slot : slots) work.prepare(slot.data(), w, h);
  size_t next = 0;
  for (auto _ : state) {
    body(slots[next].data(), w, h);
    benchmark::ClobberMemory();
    if (++next == slots.size()) next = 0;
  }
  state.SetBytesProcessed(int64_t(double(state.iterations()) * work.traffic * w * h));
  state.counters["slots"] = double(slots.size());
}

// Planar 4:2:0 in one buffer: Y, then the first chroma plane, then the second.
struct Planes420 {
  u8* p[3];
  int s[3];
  Planes420(u8* b, int w, int h)
      : p{b, b + size_t(w) * h, b + size_t(w) * h + size_t(w / 2) * (h / 2)}, s{w, w / 2, w / 2} {}
};

#if VORLIX_HAVE_LIBYUV
// A libyuv call twice: free to pick its own instructions, and held to SSE4.1. The hold is
// set around the whole timed loop (see HoldPeer), not in the body: setting libyuv's
// processor flags reads the processor's identification, which takes microseconds.
template <typename F>
std::vector<std::pair<std::string, Body>> Libyuv(F f) {
  return {{"libyuv", Body(f)}, {"libyuv-sse41", Body(f)}};
}
#endif

// Holds a peer to the instruction sets its name says for as long as it lives.
struct HoldPeer {
  bool held = false;
  explicit HoldPeer(const std::string& name) {
#if VORLIX_HAVE_LIBYUV
    if (name == "libyuv-sse41") {
      libyuv::MaskCpuFlags(libyuv::kCpuHasX86 | libyuv::kCpuHasSSE2 | libyuv::kCpuHasSSSE3 | libyuv::kCpuHasSSE41);
      held = true;
    }
#else
    (void)name;
#endif
  }
  ~HoldPeer() {
#if VORLIX_HAVE_LIBYUV
    if (held) libyuv::MaskCpuFlags(-1);
#endif
  }
};

void Add(std::vector<std::pair<std::string, Body>>& to, std::vector<std::pair<std::string, Body>> more) {
  to.insert(to.end(), more.begin(), more.end());
}

#if VORLIX_HAVE_OPENCV
std::pair<std::string, Body> OpenCv(int srcType, int srcRowsNum, int srcRowsDen, int dstType, int code) {
  return {"opencv", [=](u8** b, int w, int h) {
            cv::Mat src(h * srcRowsNum / srcRowsDen, w, srcType, b[0]);
            cv::Mat dst(h, w, dstType, b[1]);
            cv::cvtColor(src, dst, code);
          }};
}
#endif

std::vector<Work> Works() {
  std::vector<Work> works;
  // The bound: a plain copy of a YUY2 frame.
  works.push_back({"memcpy-yuy2", {2, 2}, 4, nullptr, {{"libc", [](u8** b, int w, int h) {
                                                          std::memcpy(b[1], b[0], size_t(w) * h * 2);
                                                        }}}});

  {
    Work k{"BgrxToYuy2Bt601", {4, 2}, 6, [](CpuLevel l) -> Body {
             return [l](u8** b, int w, int h) { ImgBgrxToYuy2Bt601Table[l](b[0], 4 * w, b[1], 2 * w, {w, h}); };
           }};
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) { libyuv::ARGBToYUY2(b[0], 4 * w, b[1], 2 * w, w, h); }));
#endif
    works.push_back(k);
  }
  {
    Work k{"Yuy2ToBgraBt601", {2, 4}, 6, [](CpuLevel l) -> Body {
             return [l](u8** b, int w, int h) { ImgYuy2ToBgraBt601Table[l](b[0], 2 * w, b[1], 4 * w, {w, h}, 0); };
           }};
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) { libyuv::YUY2ToARGB(b[0], 2 * w, b[1], 4 * w, w, h); }));
#endif
#if VORLIX_HAVE_OPENCV
    k.peers.push_back(OpenCv(CV_8UC2, 1, 1, CV_8UC4, cv::COLOR_YUV2BGRA_YUY2));
#endif
    works.push_back(k);
  }
  {
    Work k{"Yuy2ToBgrBt601", {2, 3}, 5, [](CpuLevel l) -> Body {
             return [l](u8** b, int w, int h) { ImgYuy2ToBgrBt601Table[l](b[0], 2 * w, b[1], 3 * w, {w, h}); };
           }};
#if VORLIX_HAVE_OPENCV
    k.peers.push_back(OpenCv(CV_8UC2, 1, 1, CV_8UC3, cv::COLOR_YUV2BGR_YUY2));
#endif
    works.push_back(k);
  }
  {
    Work k{"Yuy2ToYv12", {2, 1.5}, 3.5, [](CpuLevel l) -> Body {
             return [l](u8** b, int w, int h) {
               Planes420 d(b[1], w, h);
               u8* const planes[3] = {d.p[0], d.p[2], d.p[1]};
               const int steps[3] = {d.s[0], d.s[2], d.s[1]};
               ImgYuy2ToYv12Table[l](b[0], 2 * w, planes, steps, {w, h});
             };
           }};
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) {
          Planes420 d(b[1], w, h);
          libyuv::YUY2ToI420(b[0], 2 * w, d.p[0], d.s[0], d.p[1], d.s[1], d.p[2], d.s[2], w, h);
        }));
#endif
    works.push_back(k);
  }
  {
    Work k{"Yuy2ToNv12", {2, 1.5}, 3.5, [](CpuLevel l) -> Body {
             return [l](u8** b, int w, int h) {
               ImgYuy2ToNv12Table[l](b[0], 2 * w, b[1], w, b[1] + size_t(w) * h, w, {w, h});
             };
           }};
#if VORLIX_HAVE_LIBYUV
    Add(k.peers,
        Libyuv([](u8** b, int w, int h) { libyuv::YUY2ToNV12(b[0], 2 * w, b[1], w, b[1] + size_t(w) * h, w, w, h); }));
#endif
    works.push_back(k);
  }
  for (int yv16 = 0; yv16 < 2; ++yv16) {
    Work k{yv16 ? "Yuy2ToYv16" : "Yuy2ToI422", {2, 2}, 4, [yv16](CpuLevel l) -> Body {
             return [l, yv16](u8** b, int w, int h) {
               u8* const planes[3] = {b[1], b[1] + size_t(w) * h, b[1] + size_t(w) * h * 3 / 2};
               const int steps[3] = {w, w / 2, w / 2};
               (yv16 ? ImgYuy2ToYv16Table : ImgYuy2ToI422Table)[l](b[0], 2 * w, planes, steps, {w, h});
             };
           }};
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) {
          libyuv::YUY2ToI422(b[0], 2 * w, b[1], w, b[1] + size_t(w) * h, w / 2, b[1] + size_t(w) * h * 3 / 2, w / 2, w,
                             h);
        }));
#endif
    works.push_back(k);
  }
  {
    Work k{"Yv12ToNv12", {1.5, 1.5}, 3, [](CpuLevel l) -> Body {
             return [l](u8** b, int w, int h) {
               Planes420 s(b[0], w, h);
               const u8* const planes[3] = {s.p[0], s.p[2], s.p[1]};
               const int steps[3] = {s.s[0], s.s[2], s.s[1]};
               ImgYv12ToNv12Table[l](planes, steps, b[1], w, b[1] + size_t(w) * h, w, {w, h});
             };
           }};
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) {
          Planes420 s(b[0], w, h);
          libyuv::I420ToNV12(s.p[0], s.s[0], s.p[1], s.s[1], s.p[2], s.s[2], b[1], w, b[1] + size_t(w) * h, w, w, h);
        }));
#endif
    works.push_back(k);
  }
  {
    Work k{"Nv12ToI420", {1.5, 1.5}, 3, [](CpuLevel l) -> Body {
             return [l](u8** b, int w, int h) {
               Planes420 d(b[1], w, h);
               ImgNv12ToI420Table[l](b[0], w, b[0] + size_t(w) * h, w, d.p, d.s, {w, h});
             };
           }};
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) {
          Planes420 d(b[1], w, h);
          libyuv::NV12ToI420(b[0], w, b[0] + size_t(w) * h, w, d.p[0], d.s[0], d.p[1], d.s[1], d.p[2], d.s[2], w, h);
        }));
#endif
    works.push_back(k);
  }
  {
    Work k{"Yv12ToYuy2", {1.5, 2}, 3.5, [](CpuLevel l) -> Body {
             return [l](u8** b, int w, int h) {
               Planes420 s(b[0], w, h);
               const u8* const planes[3] = {s.p[0], s.p[2], s.p[1]};
               const int steps[3] = {s.s[0], s.s[2], s.s[1]};
               ImgYv12ToYuy2Table[l](planes, steps, b[1], 2 * w, {w, h});
             };
           }};
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) {
          Planes420 s(b[0], w, h);
          libyuv::I420ToYUY2(s.p[0], s.s[0], s.p[1], s.s[1], s.p[2], s.s[2], b[1], 2 * w, w, h);
        }));
#endif
    works.push_back(k);
  }

  // 4:2:0 to RGB.
  using I420Fn = std::function<void(CpuLevel, const u8* const*, const int*, u8*, int, ImgSize)>;
  auto i420 = [](const char* name, int bpp, I420Fn fn) {
    return Work{name, {1.5, double(bpp)}, 1.5 + bpp, [fn, bpp](CpuLevel l) -> Body {
                  return [fn, l, bpp](u8** b, int w, int h) {
                    Planes420 s(b[0], w, h);
                    const u8* const planes[3] = {s.p[0], s.p[1], s.p[2]};
                    fn(l, planes, s.s, b[1], bpp * w, {w, h});
                  };
                }};
  };
  {
    Work k = i420("I420ToBgraBt601", 4, [](CpuLevel l, auto p, auto s, u8* d, int ds, ImgSize z) {
      ImgI420ToBgraBt601Table[l](p, s, d, ds, z, 0);
    });
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) {
          Planes420 s(b[0], w, h);
          libyuv::I420ToARGB(s.p[0], s.s[0], s.p[1], s.s[1], s.p[2], s.s[2], b[1], 4 * w, w, h);
        }));
#endif
#if VORLIX_HAVE_OPENCV
    k.peers.push_back(OpenCv(CV_8UC1, 3, 2, CV_8UC4, cv::COLOR_YUV2BGRA_I420));
#endif
    works.push_back(k);
  }
  {
    Work k = i420("I420ToBgrBt601", 3, [](CpuLevel l, auto p, auto s, u8* d, int ds, ImgSize z) {
      ImgI420ToBgrBt601Table[l](p, s, d, ds, z);
    });
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) {
          Planes420 s(b[0], w, h);
          libyuv::I420ToRGB24(s.p[0], s.s[0], s.p[1], s.s[1], s.p[2], s.s[2], b[1], 3 * w, w, h);
        }));
#endif
#if VORLIX_HAVE_OPENCV
    k.peers.push_back(OpenCv(CV_8UC1, 3, 2, CV_8UC3, cv::COLOR_YUV2BGR_I420));
#endif
    works.push_back(k);
  }
  {
    Work k = i420("I420ToBgrBt709", 3, [](CpuLevel l, auto p, auto s, u8* d, int ds, ImgSize z) {
      ImgI420ToBgrBt709Table[l](p, s, d, ds, z);
    });
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) {
          Planes420 s(b[0], w, h);
          libyuv::H420ToRGB24(s.p[0], s.s[0], s.p[1], s.s[1], s.p[2], s.s[2], b[1], 3 * w, w, h);
        }));
#endif
    works.push_back(k);
  }
  {
    Work k = i420("I420ToBgraBt709Studio", 4, [](CpuLevel l, auto p, auto s, u8* d, int ds, ImgSize z) {
      ImgI420ToBgraBt709StudioTable[l](p, s, d, ds, z, 0);
    });
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([](u8** b, int w, int h) {
          Planes420 s(b[0], w, h);
          libyuv::H420ToARGB(s.p[0], s.s[0], s.p[1], s.s[1], s.p[2], s.s[2], b[1], 4 * w, w, h);
        }));
#endif
    works.push_back(k);
  }

  // 4:4:4 (three planes, one step) to RGB.
  for (int bpp : {4, 3}) {
    Work k{bpp == 4 ? "Yuv444ToBgraBt709" : "Yuv444ToBgrBt709", {3, double(bpp)}, 3.0 + bpp, [bpp](CpuLevel l) -> Body {
             return [l, bpp](u8** b, int w, int h) {
               const size_t n = size_t(w) * h;
               const u8* const planes[3] = {b[0], b[0] + n, b[0] + 2 * n};
               if (bpp == 4)
                 ImgYuv444ToBgraBt709Table[l](planes, w, b[1], 4 * w, {w, h}, 0);
               else
                 ImgYuv444ToBgrBt709Table[l](planes, w, b[1], 3 * w, {w, h});
             };
           }};
#if VORLIX_HAVE_LIBYUV
    Add(k.peers, Libyuv([bpp](u8** b, int w, int h) {
          const size_t n = size_t(w) * h;
          if (bpp == 4)
            libyuv::H444ToARGB(b[0], w, b[0] + n, w, b[0] + 2 * n, w, b[1], 4 * w, w, h);
          else
            libyuv::I444ToRGB24Matrix(b[0], w, b[0] + n, w, b[0] + 2 * n, w, b[1], 3 * w, &libyuv::kYuvH709Constants, w,
                                      h);
        }));
#endif
    works.push_back(k);
  }

  // UYVY, studio range.
  for (int bpp : {4, 3}) {
    Work k{bpp == 4 ? "UyvyToBgraBt709Studio" : "UyvyToBgrBt709Studio",
           {2, double(bpp)},
           2.0 + bpp,
           [bpp](CpuLevel l) -> Body {
             return [l, bpp](u8** b, int w, int h) {
               if (bpp == 4)
                 ImgUyvyToBgraBt709StudioTable[l](b[0], 2 * w, b[1], 4 * w, {w, h}, 0);
               else
                 ImgUyvyToBgrBt709StudioTable[l](b[0], 2 * w, b[1], 3 * w, {w, h});
             };
           }};
#if VORLIX_HAVE_LIBYUV
    if (bpp == 4)
      Add(k.peers, Libyuv([](u8** b, int w, int h) { libyuv::UYVYToARGB(b[0], 2 * w, b[1], 4 * w, w, h); }));
#endif
#if VORLIX_HAVE_OPENCV
    k.peers.push_back(OpenCv(CV_8UC2, 1, 1, bpp == 4 ? CV_8UC4 : CV_8UC3,
                             bpp == 4 ? cv::COLOR_YUV2BGRA_UYVY : cv::COLOR_YUV2BGR_UYVY));
#endif
    works.push_back(k);
  }

  // The deinterlacers on the three planes of one YUY2 frame (Y, then the two half-width
  // chroma planes), as the software deinterlace runs them. A frame's planes take 2 bytes
  // per pixel; the motion-adaptive method reads at most 3 of them per plane written, the
  // blend about 2.5.
  auto planesOf = [](u8* frame, int w, int h, int plane, u8** p, int* pw) {
    const size_t n = size_t(w) * h;
    *p = frame + (plane == 0 ? 0 : plane == 1 ? n : n + n / 2);
    *pw = plane == 0 ? w : w / 2;
  };
  // Content: "moving" frames are independent noise, so every pixel moves (the most work);
  // "still" frames differ by at most 2 from the first, the common case of real video.
  auto content = [](int frames, bool still) {
    return [frames, still](u8** b, int w, int h) {
      const size_t n = size_t(w) * h * 2;
      u32 x = 0x9E3779B9u;
      for (int f = 1; f < frames; ++f)
        for (size_t i = 0; i < n; ++i) {
          x = x * 1664525u + 1013904223u;
          b[f][i] = still ? u8(std::clamp(int(b[0][i]) + int(x >> 30) - 1, 0, 255)) : u8(x >> 24);
        }
    };
  };
  for (bool still : {false, true}) {
    Work k{std::string("DeinterlaceMotionAdaptive-yuy2-") + (still ? "still" : "moving"),
           {2, 2, 2, 2, 2},
           8,
           [planesOf](CpuLevel l) -> Body {
             return [l, planesOf](u8** b, int w, int h) {
               for (int plane = 0; plane < 3; ++plane) {
                 const u8* frames[4];
                 u8* d;
                 int pw;
                 for (int i = 0; i < 4; ++i) {
                   u8* f;
                   planesOf(b[i], w, h, plane, &f, &pw);
                   frames[i] = f;
                 }
                 planesOf(b[4], w, h, plane, &d, &pw);
                 ImgDeinterlaceMotionAdaptiveTable[l](frames, pw, d, pw, {pw, h}, 12, 0, 0, 1, 0);
               }
             };
           }};
    k.prepare = content(4, still);
    works.push_back(k);
  }
  {
    static u16 weights[IMG_DEINTERLACE_BLEND_WEIGHTS];
    static ImgDeinterlaceBlendState blendState;
    ImgDeinterlaceBlendStateInitLinear(&blendState, weights, 4, -32, 8, 72);
    for (bool still : {false, true}) {
      Work k{std::string("DeinterlaceBlend-yuy2-") + (still ? "still" : "moving"),
             {2, 2, 2, 2},
             7,
             [planesOf](CpuLevel l) -> Body {
               return [l, planesOf](u8** b, int w, int h) {
                 for (int plane = 0; plane < 3; ++plane) {
                   const u8* frames[3];
                   u8* d;
                   int pw;
                   for (int i = 0; i < 3; ++i) {
                     u8* f;
                     planesOf(b[i], w, h, plane, &f, &pw);
                     frames[i] = f;
                   }
                   planesOf(b[3], w, h, plane, &d, &pw);
                   ImgDeinterlaceBlendTable[l](frames, pw, d, pw, {pw, h}, 0, 0, 1, &blendState);
                 }
               };
             }};
      k.prepare = content(3, still);
#if VORLIX_HAVE_LIBYUV
      if (!still)
        k.peers.push_back({"libyuv-InterpolatePlane", [](u8** b, int w, int h) {
                             libyuv::InterpolatePlane(b[0], w, b[1], w, b[3], w, w, h, 128);
                             libyuv::InterpolatePlane(b[0] + size_t(w) * h, w / 2, b[1] + size_t(w) * h, w / 2,
                                                      b[3] + size_t(w) * h, w / 2, w / 2, 2 * h, 128);
                           }});
#endif
      works.push_back(k);
    }
  }
  return works;
}

// Keeps the median of every benchmark's repetitions while the console shows the runs.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        medians[run.run_name.function_name] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;  // microseconds, by name without the aggregate
};

std::string Fixed(double v, int digits) {
  char b[32];
  std::snprintf(b, sizeof b, "%.*f", digits, v);
  return b;
}

// The summary table from the medians: names are work/frame/hot|cold/body.
std::string SummaryTable(const std::vector<Work>& works, const std::map<std::string, double>& medians) {
  const char* frames[] = {"1080p", "2160p"};
  std::string out =
      "routine\tframe\tlevel\ttemp\tours_us\tfastest_peer\tpeer_us\tratio\tsame_isa_peer\tsame_isa_us\t"
      "same_isa_ratio\tmemory_bound_ratio\n";
  auto find = [&](const std::string& name) {
    const auto it = medians.find(name);
    return it == medians.end() ? -1.0 : it->second;
  };
  for (const Work& work : works) {
    if (!work.ours) continue;
    for (const char* frame : frames)
      for (const char* temp : {"hot", "cold"}) {
        const std::string prefix = work.name + "/" + frame + "/" + temp + "/";
        std::string fastest = "-";
        double fastestUs = -1;
        for (const auto& [peer, body] : work.peers) {
          const double us = find(prefix + peer);
          if (us > 0 && (fastestUs < 0 || us < fastestUs)) fastestUs = us, fastest = peer;
        }
        const double sameIsaUs = find(prefix + "libyuv-sse41");
        const double memcpyUs = find(std::string("memcpy-yuy2/") + frame + "/cold/libc");
        for (CpuLevel l = 0; l < CPU_LEVEL_COUNT; ++l) {
          const double us = find(prefix + "level" + std::to_string(l));
          if (us <= 0) continue;
          out += work.name + "\t" + frame + "\t" + std::to_string(l) + "\t" + temp + "\t" + Fixed(us, 1) + "\t";
          out += fastest + "\t" + (fastestUs > 0 ? Fixed(fastestUs, 1) + "\t" + Fixed(us / fastestUs, 2) : "-\t-");
          out += std::string("\t") +
                 (sameIsaUs > 0 ? "libyuv-sse41\t" + Fixed(sameIsaUs, 1) + "\t" + Fixed(us / sameIsaUs, 2) : "-\t-\t-");
          // memcpy moves 4 bytes per pixel (2 read, 2 written).
          const bool bound = std::string(temp) == "cold" && memcpyUs > 0;
          out += "\t" + (bound ? Fixed(us / (memcpyUs * work.traffic / 4), 2) : std::string("-")) + "\n";
        }
      }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  // --summary[=FILE]: repetitions interleaved, then the table of medians.
  bool summary = false;
  std::string summaryFile;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--summary" || a.rfind("--summary=", 0) == 0) {
      summary = true;
      if (a.size() > 10) summaryFile = a.substr(10);
    } else {
      args.push_back(argv[i]);
    }
  }
  static char repetitions[] = "--benchmark_repetitions=5", interleave[] = "--benchmark_enable_random_interleaving=true",
              aggregates[] = "--benchmark_report_aggregates_only=true";
  if (summary) args.insert(args.begin() + 1, {repetitions, interleave, aggregates});
  argc = int(args.size());
  argv = args.data();

  CpuSelectProcessorLevel();
#if VORLIX_HAVE_OPENCV
  cv::setNumThreads(1);
#endif
  static std::vector<Work> works = Works();
  const struct {
    const char* name;
    int w, h;
  } frames[] = {{"1080p", 1920, 1080}, {"2160p", 3840, 2160}};
  std::vector<CpuLevel> levels;
  for (CpuLevel l = 0; l < CPU_LEVEL_COUNT; ++l)
    if (l == 0 || CpuCanRunLevel(l)) levels.push_back(l);

  for (const Work& work : works)
    for (const auto& f : frames)
      for (bool cold : {false, true}) {
        const std::string prefix = work.name + "/" + f.name + (cold ? "/cold/" : "/hot/");
        const int w = f.w, h = f.h;
        std::vector<std::pair<std::string, Body>> bodies;
        if (work.ours)
          for (CpuLevel l : levels) bodies.push_back({"level" + std::to_string(l), work.ours(l)});
        bodies.insert(bodies.end(), work.peers.begin(), work.peers.end());
        for (const auto& [name, body] : bodies)
          benchmark::RegisterBenchmark((prefix + name).c_str(),
                                       [&work, name = name, body = body, w, h, cold](benchmark::State& s) {
                                         const HoldPeer hold(name);
                                         Run(s, work, body, w, h, cold);
                                       })
              ->Unit(benchmark::kMicrosecond)
              ->MinTime(0.2);
      }
  benchmark::Initialize(&argc, argv);
  if (!summary) {
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
  }
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const std::string table = SummaryTable(works, reporter.medians);
  std::printf("\n== summary (medians in microseconds; ratios ours / peer)\n%s", table.c_str());
  if (!summaryFile.empty()) {
    if (FILE* f = std::fopen(summaryFile.c_str(), "w")) {
      std::fputs(table.c_str(), f);
      std::fclose(f);
      std::printf("== summary written to %s\n", summaryFile.c_str());
    } else {
      std::fprintf(stderr, "cannot write %s\n", summaryFile.c_str());
      return 1;
    }
  }
  return 0;
}
