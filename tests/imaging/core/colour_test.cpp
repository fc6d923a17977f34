#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "imaging/core/colour.h"
#include "imaging/core/dispatch.h"
#include "imaging/core/memory.h"
#include "tests/imaging/core/refusing_hooks.h"
#include "tests/support/levels.h"

namespace {

using vorlix_test::Random;
using vorlix_test::RefusingHooks;
using vorlix_test::RunnableLevels;

// A picture's bytes with random padding, a random start alignment and, sometimes, a
// negative step (base on the last row). Everything around the rows is part of the
// buffer, so comparing whole buffers also compares the bytes a routine must not touch.
struct Buffer {
  std::vector<u8> bytes;
  size_t origin = 0;
  int step = 0;
  u8* base() { return bytes.data() + origin; }
};

Buffer MakeBuffer(Random& r, int rowBytes, int rows, bool allowNegative = true) {
  rowBytes = std::max(rowBytes, 1);
  rows = std::max(rows, 1);
  const int pad = r.Int(0, 2) == 0 ? 0 : r.Int(1, 40);
  const int step = rowBytes + pad;
  const bool negative = allowNegative && r.Int(0, 3) == 0;
  const size_t front = 16 + r.Int(0, 15);
  Buffer b;
  b.bytes.resize(front + size_t(step) * rows + 48);
  r.Fill(b.bytes.data(), b.bytes.size());
  b.origin = front + (negative ? size_t(step) * (rows - 1) : 0);
  b.step = negative ? -step : step;
  return b;
}

// One conversion under the cross-level test: how to lay out its pictures and call it.
struct Routine {
  const char* name;
  // Adds the source and destination buffers of a picture of this size.
  std::function<void(Random&, ImgSize, std::vector<Buffer>& src, std::vector<Buffer>& dst)> make;
  std::function<ImgStatus(int level, ImgSize, std::vector<Buffer>& src, std::vector<Buffer>& dst, u8 alpha)> run;
  // The YUV-to-RGB routines: the formula set, whose vector scheme's B, G and R bytes may
  // differ from level 0 by its stated deviation, and the bytes per destination pixel.
  // Everything else must match exactly.
  int set = -1;
  int bpp = 0;
};

// Level-0 and vector-level destinations of a picture of bpp bytes per pixel: B, G, R within
// tolerance inside the picture, every other byte equal.
void ExpectWithinTolerance(const Buffer& got, const Buffer& want, ImgSize size, int bpp, int tolerance,
                           const std::string& what) {
  // Colour bytes within tolerance are taken as equal; then the whole buffers must match.
  std::vector<u8> settled = got.bytes;
  int worst = 0;
  for (int y = 0; y < size.height; ++y) {
    const size_t row = size_t(s64(want.origin) + s64(y) * want.step);
    for (int x = 0; x < size.width * bpp; ++x) {
      if (x % bpp == 3) continue;
      const int diff = std::abs(int(settled[row + x]) - int(want.bytes[row + x]));
      worst = std::max(worst, diff);
      settled[row + x] = want.bytes[row + x];
    }
  }
  EXPECT_LE(worst, tolerance) << what;
  EXPECT_TRUE(settled == want.bytes) << what << ": bytes other than B, G, R differ";
}

int Half(int v) { return (v + 1) / 2; }

// Packed source of bytesPerPixel, one packed destination of dstBpp.
auto Packed(int srcBpp, int dstBpp) {
  return [=](Random& r, ImgSize s, std::vector<Buffer>& src, std::vector<Buffer>& dst) {
    src.push_back(MakeBuffer(r, s.width * srcBpp + (srcBpp == 2 ? 2 : 0), s.height));
    dst.push_back(MakeBuffer(r, s.width * dstBpp, s.height));
  };
}

std::vector<Routine> AllRoutines() {
  std::vector<Routine> v;
  v.push_back(
      {"ImgBgrxToYuy2Bt601", Packed(4, 2), [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8) {
         return ImgBgrxToYuy2Bt601Table[l](a[0].base(), a[0].step, d[0].base(), d[0].step, s);
       }});
  v.push_back({"ImgYuy2ToBgraBt601", Packed(2, 4),
               [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8 alpha) {
                 return ImgYuy2ToBgraBt601Table[l](a[0].base(), a[0].step, d[0].base(), d[0].step, s, alpha);
               },
               kColourBt601Raw, 4});
  v.push_back({"ImgYuy2ToBgrBt601", Packed(2, 3),
               [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8) {
                 return ImgYuy2ToBgrBt601Table[l](a[0].base(), a[0].step, d[0].base(), d[0].step, s);
               },
               kColourBt601Raw, 3});
  v.push_back({"ImgUyvyToBgraBt709Studio", Packed(2, 4),
               [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8 alpha) {
                 return ImgUyvyToBgraBt709StudioTable[l](a[0].base(), a[0].step, d[0].base(), d[0].step, s, alpha);
               },
               kColourStudio, 4});
  v.push_back({"ImgUyvyToBgrBt709Studio", Packed(2, 3),
               [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8) {
                 return ImgUyvyToBgrBt709StudioTable[l](a[0].base(), a[0].step, d[0].base(), d[0].step, s);
               },
               kColourStudio, 3});

  // YUY2 to three planes of 4:2:2 or 4:2:0.
  auto yuy2ToPlanes = [](bool half) {
    return [=](Random& r, ImgSize s, std::vector<Buffer>& src, std::vector<Buffer>& dst) {
      src.push_back(MakeBuffer(r, s.width * 2 + 2, s.height));
      dst.push_back(MakeBuffer(r, s.width, s.height));
      for (int i = 0; i < 2; ++i) dst.push_back(MakeBuffer(r, Half(s.width), half ? Half(s.height) : s.height));
    };
  };
  using PlanesFn = ImgStatus (*)(const u8*, int, u8* const*, const int*, ImgSize);
  auto yuy2ToPlanesRun = [](const PlanesFn* table) {
    return [=](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8) {
      u8* const planes[3] = {d[0].base(), d[1].base(), d[2].base()};
      const int steps[3] = {d[0].step, d[1].step, d[2].step};
      return table[l](a[0].base(), a[0].step, planes, steps, s);
    };
  };
  v.push_back({"ImgYuy2ToYv12", yuy2ToPlanes(true), yuy2ToPlanesRun(ImgYuy2ToYv12Table)});
  v.push_back({"ImgYuy2ToYv16", yuy2ToPlanes(false), yuy2ToPlanesRun(ImgYuy2ToYv16Table)});
  v.push_back({"ImgYuy2ToI422", yuy2ToPlanes(false), yuy2ToPlanesRun(ImgYuy2ToI422Table)});

  v.push_back({"ImgYuy2ToNv12",
               [](Random& r, ImgSize s, std::vector<Buffer>& src, std::vector<Buffer>& dst) {
                 src.push_back(MakeBuffer(r, s.width * 2 + 2, s.height));
                 dst.push_back(MakeBuffer(r, s.width, s.height));
                 dst.push_back(MakeBuffer(r, s.width + 1, Half(s.height)));
               },
               [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8) {
                 return ImgYuy2ToNv12Table[l](a[0].base(), a[0].step, d[0].base(), d[0].step, d[1].base(), d[1].step,
                                              s);
               }});

  // Three 4:2:0 planes in.
  auto i420In = [](Random& r, ImgSize s, std::vector<Buffer>& src) {
    src.push_back(MakeBuffer(r, s.width, s.height));
    for (int i = 0; i < 2; ++i) src.push_back(MakeBuffer(r, Half(s.width), Half(s.height)));
  };
  v.push_back({"ImgYv12ToNv12",
               [=](Random& r, ImgSize s, std::vector<Buffer>& src, std::vector<Buffer>& dst) {
                 i420In(r, s, src);
                 dst.push_back(MakeBuffer(r, s.width, s.height));
                 dst.push_back(MakeBuffer(r, s.width + 1, Half(s.height)));
               },
               [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8) {
                 const u8* const planes[3] = {a[0].base(), a[1].base(), a[2].base()};
                 const int steps[3] = {a[0].step, a[1].step, a[2].step};
                 return ImgYv12ToNv12Table[l](planes, steps, d[0].base(), d[0].step, d[1].base(), d[1].step, s);
               }});
  v.push_back({"ImgNv12ToI420",
               [](Random& r, ImgSize s, std::vector<Buffer>& src, std::vector<Buffer>& dst) {
                 src.push_back(MakeBuffer(r, s.width, s.height));
                 src.push_back(MakeBuffer(r, s.width + 1, Half(s.height)));
                 dst.push_back(MakeBuffer(r, s.width, s.height));
                 for (int i = 0; i < 2; ++i) dst.push_back(MakeBuffer(r, Half(s.width), Half(s.height)));
               },
               [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8) {
                 u8* const planes[3] = {d[0].base(), d[1].base(), d[2].base()};
                 const int steps[3] = {d[0].step, d[1].step, d[2].step};
                 return ImgNv12ToI420Table[l](a[0].base(), a[0].step, a[1].base(), a[1].step, planes, steps, s);
               }});
  v.push_back({"ImgYv12ToYuy2",
               [=](Random& r, ImgSize s, std::vector<Buffer>& src, std::vector<Buffer>& dst) {
                 i420In(r, s, src);
                 dst.push_back(MakeBuffer(r, s.width * 2 + 2, s.height));
               },
               [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8) {
                 const u8* const planes[3] = {a[0].base(), a[1].base(), a[2].base()};
                 const int steps[3] = {a[0].step, a[1].step, a[2].step};
                 return ImgYv12ToYuy2Table[l](planes, steps, d[0].base(), d[0].step, s);
               }});

  // 4:2:0 planes to RGB.
  using I420Fn = ImgStatus (*)(const u8* const*, const int*, u8*, int, ImgSize, u8);
  auto i420ToRgb = [=](int bpp) {
    return [=](Random& r, ImgSize s, std::vector<Buffer>& src, std::vector<Buffer>& dst) {
      i420In(r, s, src);
      dst.push_back(MakeBuffer(r, s.width * bpp, s.height));
    };
  };
  auto i420Run = [](std::function<ImgStatus(int, const u8* const*, const int*, u8*, int, ImgSize, u8)> f) {
    return [=](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8 alpha) {
      const u8* const planes[3] = {a[0].base(), a[1].base(), a[2].base()};
      const int steps[3] = {a[0].step, a[1].step, a[2].step};
      return f(l, planes, steps, d[0].base(), d[0].step, s, alpha);
    };
  };
  v.push_back({"ImgI420ToBgrBt709", i420ToRgb(3),
               i420Run([](int l, const u8* const* p, const int* st, u8* d, int ds, ImgSize s, u8) {
                 return ImgI420ToBgrBt709Table[l](p, st, d, ds, s);
               }),
               kColourBt709, 3});
  v.push_back({"ImgI420ToBgrBt601", i420ToRgb(3),
               i420Run([](int l, const u8* const* p, const int* st, u8* d, int ds, ImgSize s, u8) {
                 return ImgI420ToBgrBt601Table[l](p, st, d, ds, s);
               }),
               kColourBt601, 3});
  v.push_back({"ImgI420ToBgraBt601", i420ToRgb(4),
               i420Run([](int l, auto... args) { return ImgI420ToBgraBt601Table[l](args...); }), kColourBt601, 4});
  v.push_back({"ImgI420ToBgraBt709Studio", i420ToRgb(4),
               i420Run([](int l, auto... args) { return ImgI420ToBgraBt709StudioTable[l](args...); }), kColourStudio,
               4});
  (void)sizeof(I420Fn);

  // 4:4:4 planes (one shared step) to RGB.
  auto yuv444 = [](int bpp) {
    return [=](Random& r, ImgSize s, std::vector<Buffer>& src, std::vector<Buffer>& dst) {
      src.push_back(MakeBuffer(r, s.width, s.height));
      // The other planes share the first one's step.
      for (int i = 0; i < 2; ++i) {
        Buffer b = src[0];
        r.Fill(b.bytes.data(), b.bytes.size());
        src.push_back(b);
      }
      dst.push_back(MakeBuffer(r, s.width * bpp, s.height));
    };
  };
  v.push_back({"ImgYuv444ToBgraBt709", yuv444(4),
               [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8 alpha) {
                 const u8* const planes[3] = {a[0].base(), a[1].base(), a[2].base()};
                 return ImgYuv444ToBgraBt709Table[l](planes, a[0].step, d[0].base(), d[0].step, s, alpha);
               },
               kColourBt709, 4});
  v.push_back({"ImgYuv444ToBgrBt709", yuv444(3),
               [](int l, ImgSize s, std::vector<Buffer>& a, std::vector<Buffer>& d, u8) {
                 const u8* const planes[3] = {a[0].base(), a[1].base(), a[2].base()};
                 return ImgYuv444ToBgrBt709Table[l](planes, a[0].step, d[0].base(), d[0].step, s);
               },
               kColourBt709, 3});
  return v;
}

// Every level against level 0: statuses and every byte of every destination buffer,
// including the padding and the bytes around the picture.
TEST(ColourConversion, EveryLevelMatchesLevelZero) {
  const std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) GTEST_SKIP() << "no level above 0 runs here";
  const int widths[] = {1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 34, 63, 64, 65, 127, 200, 333};
  for (const Routine& routine : AllRoutines()) {
    Random r(0xC0105u);
    for (int iter = 0; iter < 60; ++iter) {
      const ImgSize size{iter < 20 ? widths[iter] : r.Int(1, 400), r.Int(1, 9)};
      std::vector<Buffer> src, dst;
      routine.make(r, size, src, dst);
      const u8 alpha = u8(r.Int(0, 255));
      std::vector<Buffer> ref = dst;
      const ImgStatus refStatus = routine.run(0, size, src, ref, alpha);
      for (CpuLevel level : levels) {
        std::vector<Buffer> out = dst;
        const ImgStatus status = routine.run(level, size, src, out, alpha);
        SCOPED_TRACE(std::string(routine.name) + " level " + std::to_string(level) + " size " +
                     std::to_string(size.width) + "x" + std::to_string(size.height) + " iteration " +
                     std::to_string(iter));
        ASSERT_EQ(status, refStatus);
        if (routine.set >= 0 && status >= 0) {
          ExpectWithinTolerance(out[0], ref[0], size, routine.bpp,
                                ImgColourVectorSchemeOf(ColourSet(routine.set)).maxDeviation, "");
        } else {
          for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i].bytes, ref[i].bytes) << "destination " << i;
        }
      }
    }
  }
}

// The vector levels of 4:2:0 to RGB keep an upper row's chroma terms in work memory for
// the row below; without that memory each row forms its own. Both ways give the same
// bytes, on pictures of many whole steps and a partial one, and every block goes back.
TEST(ColourConversion, FourTwoZeroToRgbGivesTheSameBytesWithoutWorkMemory) {
  const std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) GTEST_SKIP() << "no level above 0 runs here";
  const ImgMemoryHookTable* previous = ImgInstallMemoryHooks(&RefusingHooks::kTable);
  RefusingHooks::asked = RefusingHooks::live = 0;
  for (const Routine& routine : AllRoutines()) {
    if (std::string(routine.name).rfind("ImgI420To", 0) != 0) continue;
    Random r(0x420u);
    for (int iter = 0; iter < 12; ++iter) {
      const ImgSize size{r.Int(16, 300), r.Int(2, 9)};
      std::vector<Buffer> src, dst;
      routine.make(r, size, src, dst);
      const u8 alpha = u8(r.Int(0, 255));
      for (CpuLevel level : levels) {
        std::vector<Buffer> kept = dst, formed = dst;
        RefusingHooks::refuse = false;
        const ImgStatus keptStatus = routine.run(level, size, src, kept, alpha);
        RefusingHooks::refuse = true;
        const ImgStatus formedStatus = routine.run(level, size, src, formed, alpha);
        ASSERT_EQ(keptStatus, formedStatus);
        ASSERT_EQ(kept[0].bytes, formed[0].bytes)
            << routine.name << " level " << level << " size " << size.width << "x" << size.height;
      }
    }
  }
  ImgInstallMemoryHooks(previous);
  EXPECT_GT(RefusingHooks::asked, 0);
  EXPECT_EQ(RefusingHooks::live, 0);
}

// A large YV12 picture with every pointer and step 16-byte aligned takes the streaming
// stores; the result must not change.
TEST(ColourConversion, Yv12ToYuy2StreamingMatchesLevelZero) {
  const std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) GTEST_SKIP() << "no level above 0 runs here";
  constexpr int w = 1040, h = 258;  // 258 x (1040 + 2 x 528 + 2096) bytes: over 512 KB
  const int steps[3] = {1040, 528, 528};
  struct Aligned {
    explicit Aligned(size_t n) : p(static_cast<u8*>(std::aligned_alloc(64, (n + 63) & ~size_t(63)))) {}
    ~Aligned() { std::free(p); }
    u8* p;
  };
  Aligned y(size_t(steps[0]) * h), cr(size_t(steps[1]) * h / 2), cb(size_t(steps[2]) * h / 2);
  Aligned ref(size_t(2096) * h), out(size_t(2096) * h);
  Random r(99);
  r.Fill(y.p, size_t(steps[0]) * h);
  r.Fill(cr.p, size_t(steps[1]) * h / 2);
  r.Fill(cb.p, size_t(steps[2]) * h / 2);
  const u8* const planes[3] = {y.p, cr.p, cb.p};
  std::memset(ref.p, 0x11, size_t(2096) * h);
  ASSERT_EQ(ImgYv12ToYuy2Table[0](planes, steps, ref.p, 2096, {w - 3, h}), IMG_OK);
  for (CpuLevel level : levels) {
    std::memset(out.p, 0x11, size_t(2096) * h);
    ASSERT_EQ(ImgYv12ToYuy2Table[level](planes, steps, out.p, 2096, {w - 3, h}), IMG_OK);
    ASSERT_EQ(0, std::memcmp(out.p, ref.p, size_t(2096) * h)) << "level " << level;
  }
}

// ---- The vector levels' YUV-to-RGB arithmetic -------------------------------------------

enum class Layout { kYuy2, kUyvy, kPlanes420, kPlanes444 };

// A YUV-to-RGB routine with its source layout: packed sources come as planes[0] and
// steps[0]; 4:4:4 planes share steps[0].
struct RgbRoutine {
  const char* name;
  ColourSet set;
  int bpp;
  Layout layout;
  std::function<ImgStatus(int level, const u8* const* planes, const int* steps, u8* dst, int dstStep, ImgSize)> run;
};

constexpr u8 kAlpha = 0x5A;

std::vector<RgbRoutine> RgbRoutines() {
  return {
      {"ImgYuy2ToBgraBt601", kColourBt601Raw, 4, Layout::kYuy2,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) {
         return ImgYuy2ToBgraBt601Table[l](p[0], s[0], d, ds, z, kAlpha);
       }},
      {"ImgYuy2ToBgrBt601", kColourBt601Raw, 3, Layout::kYuy2,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) { return ImgYuy2ToBgrBt601Table[l](p[0], s[0], d, ds, z); }},
      {"ImgUyvyToBgraBt709Studio", kColourStudio, 4, Layout::kUyvy,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) {
         return ImgUyvyToBgraBt709StudioTable[l](p[0], s[0], d, ds, z, kAlpha);
       }},
      {"ImgUyvyToBgrBt709Studio", kColourStudio, 3, Layout::kUyvy,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) {
         return ImgUyvyToBgrBt709StudioTable[l](p[0], s[0], d, ds, z);
       }},
      {"ImgI420ToBgrBt709", kColourBt709, 3, Layout::kPlanes420,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) { return ImgI420ToBgrBt709Table[l](p, s, d, ds, z); }},
      {"ImgI420ToBgrBt601", kColourBt601, 3, Layout::kPlanes420,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) { return ImgI420ToBgrBt601Table[l](p, s, d, ds, z); }},
      {"ImgI420ToBgraBt601", kColourBt601, 4, Layout::kPlanes420,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) {
         return ImgI420ToBgraBt601Table[l](p, s, d, ds, z, kAlpha);
       }},
      {"ImgI420ToBgraBt709Studio", kColourStudio, 4, Layout::kPlanes420,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) {
         return ImgI420ToBgraBt709StudioTable[l](p, s, d, ds, z, kAlpha);
       }},
      {"ImgYuv444ToBgraBt709", kColourBt709, 4, Layout::kPlanes444,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) {
         return ImgYuv444ToBgraBt709Table[l](p, s[0], d, ds, z, kAlpha);
       }},
      {"ImgYuv444ToBgrBt709", kColourBt709, 3, Layout::kPlanes444,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) { return ImgYuv444ToBgrBt709Table[l](p, s[0], d, ds, z); }},
  };
}

// The step through the red-difference values of the exhaustive sweeps: every value
// natively; a spread under the sanitizers, or as VORLIX_EXHAUSTIVE_STRIDE says (the
// emulated processor models set it).
int ExhaustiveStride() {
  if (const char* env = std::getenv("VORLIX_EXHAUSTIVE_STRIDE"); env && std::atoi(env) > 0) return std::atoi(env);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 17;
#else
  return 1;
#endif
}

// One picture per red-difference value that holds every (Y, Cb) pair with it: packed rows
// are Cb, their pairs carry Y 2k and 2k + 1; 4:4:4 rows are Cb, columns Y; 4:2:0 block
// (k, i) has Cb k and luma 4i to 4i + 3.
struct SweepPicture {
  std::vector<u8> plane[3];
  const u8* planes[3] = {};
  int steps[3] = {};
  ImgSize size{0, 0};

  SweepPicture(Layout layout, int cr) {
    switch (layout) {
      case Layout::kYuy2:
      case Layout::kUyvy:
        plane[0].resize(256 * 512);
        for (int row = 0; row < 256; ++row)
          for (int k = 0; k < 128; ++k) {
            u8* p = &plane[0][row * 512 + 4 * k];
            if (layout == Layout::kUyvy)
              p[0] = u8(row), p[1] = u8(2 * k), p[2] = u8(cr), p[3] = u8(2 * k + 1);
            else
              p[0] = u8(2 * k), p[1] = u8(row), p[2] = u8(2 * k + 1), p[3] = u8(cr);
          }
        Set({512, 0, 0}, {256, 256});
        break;
      case Layout::kPlanes444:
        for (auto& p : plane) p.resize(256 * 256);
        for (int i = 0; i < 256 * 256; ++i) plane[0][i] = u8(i & 255), plane[1][i] = u8(i >> 8), plane[2][i] = u8(cr);
        Set({256, 256, 256}, {256, 256});
        break;
      case Layout::kPlanes420:
        plane[0].resize(512 * 128);
        plane[1].resize(256 * 64);
        plane[2].assign(256 * 64, u8(cr));
        for (int i = 0; i < 64; ++i)
          for (int k = 0; k < 256; ++k) {
            plane[1][i * 256 + k] = u8(k);
            for (int j = 0; j < 4; ++j) plane[0][(2 * i + j / 2) * 512 + 2 * k + j % 2] = u8(4 * i + j);
          }
        Set({512, 256, 256}, {512, 128});
        break;
    }
  }
  void Set(std::array<int, 3> s, ImgSize z) {
    for (int i = 0; i < 3; ++i) planes[i] = plane[i].empty() ? plane[0].data() : plane[i].data(), steps[i] = s[i];
    size = z;
  }
};

// Levels 1 to 4 convert in a narrower fixed point than level 0; over every (Y, Cb, Cr)
// the largest difference of a B, G or R byte is exactly the deviation stated with the
// scheme, and every other byte (alpha, the bytes past the picture) is level 0's.
TEST(ColourConversion, ExhaustiveDeviationFromLevelZeroIsTheStatedBound) {
  const std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) GTEST_SKIP() << "no level above 0 runs here";
  const int stride = ExhaustiveStride();
  std::vector<int> crs;
  for (int cr = 0; cr < 256; cr += stride) crs.push_back(cr);
  if (stride > 1) crs.insert(crs.end(), {128, 255});
  for (const RgbRoutine& routine : RgbRoutines()) {
    const int bound = ImgColourVectorSchemeOf(routine.set).maxDeviation;
    std::vector<int> worst(CPU_LEVEL_COUNT, 0);
    for (int cr : crs) {
      const SweepPicture pic(routine.layout, cr);
      const int dstStep = pic.size.width * routine.bpp;
      const size_t bytes = size_t(dstStep) * pic.size.height;
      std::vector<u8> ref(bytes + 64, 0xEE), out(bytes + 64);
      ASSERT_EQ(routine.run(0, pic.planes, pic.steps, ref.data(), dstStep, pic.size), IMG_OK);
      for (CpuLevel level : levels) {
        std::fill(out.begin(), out.end(), u8(0xEE));
        ASSERT_EQ(routine.run(level, pic.planes, pic.steps, out.data(), dstStep, pic.size), IMG_OK);
        for (size_t i = 0; i < out.size(); ++i) {
          const int diff = std::abs(int(out[i]) - int(ref[i]));
          if (i < bytes && int(i % routine.bpp) < 3) {
            worst[level] = std::max(worst[level], diff);
          } else {
            ASSERT_EQ(diff, 0) << routine.name << " level " << level << " Cr " << cr << " byte " << i;
          }
        }
        ASSERT_LE(worst[level], bound) << routine.name << " level " << level << " Cr " << cr;
      }
    }
    for (CpuLevel level : levels) {
      SCOPED_TRACE(std::string(routine.name) + " level " + std::to_string(level));
      if (stride == 1) {
        EXPECT_EQ(worst[level], bound) << "the stated deviation is not the largest one";
      }
    }
  }
}

// A row's last pixels, too few for a whole vector step, come out as they would inside
// one: every width's pixels equal the first pixels of a wide row with the same samples
// (for an odd packed width, a wide row whose pair there carries the same three samples).
TEST(ColourConversion, RowTailsComputeAsTheVectorSteps) {
  constexpr int kWide = 64;
  for (const RgbRoutine& routine : RgbRoutines())
    for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
      if (level && !CpuCanRunLevel(level)) continue;
      Random r(0x7A11u + level);
      for (int w = 1; w <= 40; ++w) {
        if (routine.layout == Layout::kYuy2 && w < 2) continue;
        SCOPED_TRACE(std::string(routine.name) + " level " + std::to_string(level) + " width " + std::to_string(w));
        constexpr int h = 2;
        const bool packed = routine.layout == Layout::kYuy2 || routine.layout == Layout::kUyvy;
        const bool half = routine.layout == Layout::kPlanes420;
        // Exactly sized rows, so a read past the picture shows under the sanitizers.
        const int widths[3] = {packed ? 2 * w : w, half ? w / 2 : w, half ? w / 2 : w};
        const int wideWidths[3] = {packed ? 2 * kWide : kWide, half ? kWide / 2 : kWide, half ? kWide / 2 : kWide};
        const int planeRows = half ? 1 : h;
        std::vector<u8> narrow[3], wide[3];
        const u8* np[3];
        const u8* wp[3];
        for (int i = 0; i < (packed ? 1 : 3); ++i) {
          const int rows = i == 0 ? h : planeRows;
          narrow[i].resize(size_t(std::max(widths[i], 1)) * rows);
          r.Fill(narrow[i].data(), narrow[i].size());
          wide[i].resize(size_t(wideWidths[i]) * rows);
          r.Fill(wide[i].data(), wide[i].size());
          for (int row = 0; row < rows; ++row)
            std::memcpy(&wide[i][size_t(row) * wideWidths[i]], &narrow[i][size_t(row) * widths[i]], size_t(widths[i]));
          np[i] = narrow[i].data(), wp[i] = wide[i].data();
        }
        if (packed) {
          for (int i = 1; i < 3; ++i) np[i] = np[0], wp[i] = wp[0];
          if (w & 1) {
            // The lone last pixel's Cr: the previous pair's, or (UYVY) its own Cb alone.
            const int pairs = w / 2;
            for (int row = 0; row < h; ++row) {
              const u8* n = &narrow[0][size_t(row) * widths[0] + 4 * pairs];
              u8* q = &wide[0][size_t(row) * wideWidths[0] + 4 * pairs];
              if (routine.layout == Layout::kYuy2)
                q[3] = n[-1];
              else
                q[2] = pairs ? n[-2] : n[0];
            }
          }
        }
        const int nSteps[3] = {std::max(widths[0], 1), std::max(widths[1], 1), std::max(widths[2], 1)};
        const int wSteps[3] = {wideWidths[0], wideWidths[1], wideWidths[2]};
        std::vector<u8> got(size_t(w) * routine.bpp * h), want(size_t(kWide) * routine.bpp * h);
        ASSERT_GE(routine.run(level, np, nSteps, got.data(), w * routine.bpp, {w, h}), 0);
        ASSERT_GE(routine.run(level, wp, wSteps, want.data(), kWide * routine.bpp, {kWide, h}), 0);
        const int written = half ? w & ~1 : w;
        for (int row = 0; row < h; ++row)
          ASSERT_EQ(0, std::memcmp(&got[size_t(row) * w * routine.bpp], &want[size_t(row) * kWide * routine.bpp],
                                   size_t(written) * routine.bpp))
              << "row " << row;
      }
    }
}

// A flat row, every pixel the same (Y, Cb, Cr), gives one colour at every width from 1
// to 64 and every level: the pixels a row's vector steps cover and the ones its last,
// partial step covers agree with each other and with the first pixel of a 64-wide row.
TEST(ColourConversion, FlatRowsGiveOneColourAtEveryWidth) {
  constexpr int kWide = 64, h = 2;
  const u8 colours[][3] = {{16, 128, 128}, {235, 128, 128}, {81, 90, 240},   {145, 54, 34},
                           {41, 240, 110}, {0, 0, 0},       {255, 255, 255}, {126, 1, 254}};
  for (const RgbRoutine& routine : RgbRoutines())
    for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
      if (level && !CpuCanRunLevel(level)) continue;
      for (const auto& c : colours) {
        // Packed rows of kWide pixels, or three planes of kWide samples a row: every
        // width reads a prefix of the same bytes.
        std::vector<u8> planes[3];
        const bool packed = routine.layout == Layout::kYuy2 || routine.layout == Layout::kUyvy;
        if (packed) {
          planes[0].resize(2 * kWide * h);
          for (size_t i = 0; i < planes[0].size(); i += 4) {
            u8* p = &planes[0][i];
            if (routine.layout == Layout::kYuy2)
              p[0] = c[0], p[1] = c[1], p[2] = c[0], p[3] = c[2];
            else
              p[0] = c[1], p[1] = c[0], p[2] = c[2], p[3] = c[0];
          }
        } else {
          for (int i = 0; i < 3; ++i) planes[i].assign(size_t(kWide) * h, c[i]);
        }
        const u8* p[3] = {planes[0].data(), packed ? planes[0].data() : planes[1].data(),
                          packed ? planes[0].data() : planes[2].data()};
        const int steps[3] = {packed ? 2 * kWide : kWide, kWide, kWide};
        const int bpp = routine.bpp;
        std::vector<u8> wide(size_t(kWide) * bpp * h);
        ASSERT_EQ(routine.run(level, p, steps, wide.data(), kWide * bpp, {kWide, h}), IMG_OK);
        for (int w = 1; w <= kWide; ++w) {
          if (routine.layout == Layout::kYuy2 && w < 2) continue;
          // A lone UYVY pixel takes its Cb for Cr: not the flat colour unless they agree.
          if (routine.layout == Layout::kUyvy && w == 1 && c[1] != c[2]) continue;
          SCOPED_TRACE(std::string(routine.name) + " level " + std::to_string(level) + " width " + std::to_string(w) +
                       " colour " + std::to_string(c[0]) + "," + std::to_string(c[1]) + "," + std::to_string(c[2]));
          std::vector<u8> out(size_t(w) * bpp * h, 0xEE);
          ASSERT_GE(routine.run(level, p, steps, out.data(), w * bpp, {w, h}), 0);
          const int written = routine.layout == Layout::kPlanes420 ? w & ~1 : w;
          for (int row = 0; row < h; ++row)
            for (int x = 0; x < written; ++x)
              ASSERT_EQ(0, std::memcmp(&out[(size_t(row) * w + x) * bpp], wide.data(), size_t(bpp)))
                  << "row " << row << " pixel " << x;
        }
      }
    }
}

// ---- Known colours ----------------------------------------------------------------------

struct ForwardCase {
  const char* colour;
  u8 b, g, r;
  u8 y, u, v;
};

TEST(ColourConversion, BgrxToYuy2GivesLimitedRangeValues) {
  const ForwardCase cases[] = {
      {"white", 255, 255, 255, 235, 128, 128}, {"black", 0, 0, 0, 16, 128, 128}, {"blue", 255, 0, 0, 41, 240, 110},
      {"green", 0, 255, 0, 145, 53, 34},       {"red", 0, 0, 255, 82, 90, 240},
  };
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    for (const ForwardCase& c : cases) {
      // 19 pixels: vector steps, a tail of pairs and a lone last pixel.
      u8 src[19 * 4], dst[40];
      for (int i = 0; i < 19; ++i)
        src[4 * i] = c.b, src[4 * i + 1] = c.g, src[4 * i + 2] = c.r, src[4 * i + 3] = u8(i * 37);
      std::memset(dst, 0xEE, sizeof dst);
      ASSERT_EQ(ImgBgrxToYuy2Bt601Table[level](src, 0, dst, 0, {19, 1}), IMG_OK);
      for (int k = 0; k < 9; ++k) {
        SCOPED_TRACE(std::string(c.colour) + " level " + std::to_string(level) + " pair " + std::to_string(k));
        EXPECT_EQ(dst[4 * k], c.y);
        EXPECT_EQ(dst[4 * k + 1], c.u);
        EXPECT_EQ(dst[4 * k + 2], c.y);
        EXPECT_EQ(dst[4 * k + 3], c.v);
      }
      // The lone pixel's U from itself alone: 128 + ((28770 B - 19071 G - 9699 R + 8192) >> 16).
      EXPECT_EQ(dst[36], c.y) << c.colour;
      EXPECT_EQ(dst[37], u8(128 + ((28770 * c.b - 19071 * c.g - 9699 * c.r + 8192) >> 16))) << c.colour;
      EXPECT_EQ(dst[38], 0xEE);
    }
  }
}

// One YUV sample through a routine of each formula set; the expected B, G, R follow the
// set's arithmetic by hand.
struct InverseCase {
  const char* what;
  u8 y, cb, cr;
  u8 b, g, r;
};

enum class Path { kYuv444Bt709, kI420Bt709, kI420Bt601, kYuy2Raw601, kUyvyStudio, kI420Studio };

// Converts an 18 x 2 picture filled with one sample, checks that every pixel is alike (at
// levels above 0 the first 16 of a row are a vector step and the last two its row's tail)
// and that alpha is kept, and returns the B, G, R of the sample.
void ConvertFlat(Path path, int level, u8 y, u8 cb, u8 cr, u8 bgr[3]) {
  constexpr int w = 18, h = 2;
  std::vector<u8> py(w * h, y), pb(w * h, cb), pr(w * h, cr), packed(w * 2 * h), dst(w * 4 * h, 0xEE);
  for (int i = 0; i < w * h / 2; ++i) {
    u8* p = &packed[4 * i];
    if (path == Path::kUyvyStudio)
      p[0] = cb, p[1] = y, p[2] = cr, p[3] = y;
    else
      p[0] = y, p[1] = cb, p[2] = y, p[3] = cr;
  }
  const u8* const planes[3] = {py.data(), pb.data(), pr.data()};
  const int steps[3] = {w, w, w};
  const u8 alpha = 0x5A;
  int bpp = 4;
  ImgStatus s = IMG_OK;
  switch (path) {
    case Path::kYuv444Bt709:
      s = ImgYuv444ToBgraBt709Table[level](planes, w, dst.data(), w * 4, {w, h}, alpha);
      break;
    case Path::kI420Bt709:
      s = ImgI420ToBgrBt709Table[level](planes, steps, dst.data(), w * 4, {w, h});
      bpp = 3;
      break;
    case Path::kI420Bt601:
      s = ImgI420ToBgraBt601Table[level](planes, steps, dst.data(), w * 4, {w, h}, alpha);
      break;
    case Path::kYuy2Raw601:
      s = ImgYuy2ToBgraBt601Table[level](packed.data(), w * 2, dst.data(), w * 4, {w, h}, alpha);
      break;
    case Path::kUyvyStudio:
      s = ImgUyvyToBgraBt709StudioTable[level](packed.data(), w * 2, dst.data(), w * 4, {w, h}, alpha);
      break;
    case Path::kI420Studio:
      s = ImgI420ToBgraBt709StudioTable[level](planes, steps, dst.data(), w * 4, {w, h}, alpha);
      break;
  }
  ASSERT_EQ(s, IMG_OK);
  for (int row = 0; row < h; ++row)
    for (int x = 0; x < w; ++x) {
      const u8* p = &dst[row * w * 4 + x * bpp];
      ASSERT_EQ(0, std::memcmp(p, dst.data(), 3)) << "pixel " << x << "," << row;
      if (bpp == 4) {
        ASSERT_EQ(p[3], alpha);
      }
    }
  std::memcpy(bgr, dst.data(), 3);
}

TEST(ColourConversion, YuvToRgbGivesTheFormulaSetsValues) {
  struct Set {
    Path path;
    ColourSet set;
    std::vector<InverseCase> cases;
  };
  // Black and white (and, in the studio set, every luma with neutral chroma) are exact at
  // every level; the colours at the vector levels within their scheme's deviation.
  const Set sets[] = {
      {Path::kYuv444Bt709,
       kColourBt709,
       {{"black", 16, 128, 128, 0, 0, 0},
        {"white", 235, 128, 128, 255, 255, 255},
        {"red", 63, 102, 240, 0, 0, 255},
        {"green", 173, 42, 26, 1, 255, 0},
        {"blue", 32, 240, 118, 255, 0, 1}}},
      {Path::kI420Bt709,
       kColourBt709,
       {{"black", 16, 128, 128, 0, 0, 0}, {"white", 235, 128, 128, 255, 255, 255}, {"red", 63, 102, 240, 0, 0, 255}}},
      {Path::kI420Bt601,
       kColourBt601,
       {{"black", 16, 128, 128, 0, 0, 0},
        {"white rounds to 255", 235, 128, 128, 255, 255, 255},
        {"red", 81, 90, 240, 0, 0, 254},
        {"green", 145, 54, 34, 1, 255, 0},
        {"blue", 41, 240, 110, 255, 0, 0}}},
      {Path::kYuy2Raw601,
       kColourBt601Raw,
       {{"black sums fall below zero", 16, 128, 128, 0, 0, 0},
        {"white without rounding", 235, 128, 128, 254, 254, 254},
        {"grey 100", 100, 128, 128, 97, 97, 97},
        {"red", 81, 90, 240, 0, 0, 254},
        {"green", 145, 54, 34, 0, 255, 0},
        {"blue", 41, 240, 110, 255, 0, 0}}},
      {Path::kUyvyStudio, kColourStudio, {{"red", 63, 102, 240, 16, 16, 235}}},
      {Path::kI420Studio, kColourStudio, {{"red", 63, 102, 240, 16, 16, 235}}},
  };
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    for (const Set& set : sets)
      for (const InverseCase& c : set.cases) {
        SCOPED_TRACE(std::string(c.what) + " path " + std::to_string(int(set.path)) + " level " +
                     std::to_string(level));
        const bool edge = c.cb == 128 && c.cr == 128 && (c.y == 16 || c.y == 235);
        const int slack = level > 0 && !edge ? ImgColourVectorSchemeOf(set.set).maxDeviation : 0;
        u8 bgr[3];
        ConvertFlat(set.path, level, c.y, c.cb, c.cr, bgr);
        EXPECT_NEAR(bgr[0], c.b, slack);
        EXPECT_NEAR(bgr[1], c.g, slack);
        EXPECT_NEAR(bgr[2], c.r, slack);
      }
    // The studio set passes luma through unchanged.
    for (Path path : {Path::kUyvyStudio, Path::kI420Studio})
      for (int y = 0; y < 256; ++y) {
        u8 bgr[3];
        ConvertFlat(path, level, u8(y), 128, 128, bgr);
        ASSERT_TRUE(bgr[0] == y && bgr[1] == y && bgr[2] == y) << "luma " << y << " level " << level;
      }
  }
}

// ---- Pixel and chroma selection ---------------------------------------------------------

TEST(ColourConversion, OddWidthPackedRowsTakeTheNeighbouringChroma) {
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    // Three YUY2 pixels: the last one uses the first pair's V.
    const u8 yuy2[6] = {100, 90, 110, 200, 120, 60};
    u8 got[9], want[6];
    ASSERT_EQ(ImgYuy2ToBgrBt601Table[level](yuy2, 6, got, 9, {3, 1}), IMG_OK);
    ASSERT_EQ(ImgYuy2ToBgrBt601Table[level](yuy2, 2, want, 3, {2, 1}), IMG_OK);  // Y 100, U 90, V 200
    u8 ref[6];
    const u8 same[4] = {120, 60, 120, 200};
    ASSERT_EQ(ImgYuy2ToBgrBt601Table[level](same, 4, ref, 6, {2, 1}), IMG_OK);
    EXPECT_EQ(0, std::memcmp(got + 6, ref, 3)) << "level " << level;
    EXPECT_EQ(0, std::memcmp(got, want, 3)) << "level " << level;

    // One UYVY pixel: U serves as V too.
    const u8 uyvy[2] = {200, 150};
    u8 one[4];
    ASSERT_EQ(ImgUyvyToBgraBt709StudioTable[level](uyvy, 2, one, 4, {1, 1}, 1), IMG_OK);
    const u8 pair[4] = {200, 150, 200, 150};
    u8 two[8];
    ASSERT_EQ(ImgUyvyToBgraBt709StudioTable[level](pair, 4, two, 8, {2, 1}, 1), IMG_OK);
    EXPECT_EQ(0, std::memcmp(one, two, 4)) << "level " << level;
  }
}

TEST(ColourConversion, FourTwoZeroTakesTheUpperRowsChroma) {
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    // Two 34-pixel YUY2 rows, chroma 100/50 above and 10/20 below.
    constexpr int w = 34;
    u8 src[2 * w * 2];
    for (int row = 0; row < 2; ++row)
      for (int k = 0; k < w / 2; ++k) {
        u8* p = &src[row * w * 2 + 4 * k];
        p[0] = u8(k), p[1] = row ? 10 : 100, p[2] = u8(k + 1), p[3] = row ? 20 : 50;
      }
    u8 y[2 * w], cr[w / 2], cb[w / 2], cbcr[w];
    u8* const planes[3] = {y, cr, cb};
    const int steps[3] = {w, w / 2, w / 2};
    ASSERT_EQ(ImgYuy2ToYv12Table[level](src, w * 2, planes, steps, {w, 2}), IMG_OK);
    ASSERT_EQ(ImgYuy2ToNv12Table[level](src, w * 2, y, w, cbcr, w, {w, 2}), IMG_OK);
    for (int k = 0; k < w / 2; ++k) {
      EXPECT_EQ(cb[k], 100);
      EXPECT_EQ(cr[k], 50);
      EXPECT_EQ(cbcr[2 * k], 100);
      EXPECT_EQ(cbcr[2 * k + 1], 50);
    }
  }
}

TEST(ColourConversion, Yv12ToYuy2UsesEachChromaRowForTwoRows) {
  constexpr int w = 36, h = 4;
  u8 py[w * h], cr[w / 2 * h / 2], cb[w / 2 * h / 2], out[w * 2 * h];
  for (int i = 0; i < w * h; ++i) py[i] = u8(i);
  for (int i = 0; i < w / 2 * h / 2; ++i) cb[i] = u8(200 + i / (w / 2)), cr[i] = u8(50 + i / (w / 2));
  const u8* const planes[3] = {py, cr, cb};
  const int steps[3] = {w, w / 2, w / 2};
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    ASSERT_EQ(ImgYv12ToYuy2Table[level](planes, steps, out, w * 2, {w, h}), IMG_OK);
    for (int row = 0; row < h; ++row)
      for (int k = 0; k < w / 2; ++k) {
        const u8* p = &out[row * w * 2 + 4 * k];
        EXPECT_EQ(p[0], py[row * w + 2 * k]);
        EXPECT_EQ(p[1], 200 + row / 2);
        EXPECT_EQ(p[2], py[row * w + 2 * k + 1]);
        EXPECT_EQ(p[3], 50 + row / 2);
      }
  }
}

TEST(ColourConversion, NegativeDestinationStepWritesBottomUp) {
  // A 2-row BGRX picture stored top-down becomes YUY2 rows written from the last up.
  constexpr int w = 20;
  u8 src[2 * w * 4];
  for (int i = 0; i < w; ++i) {
    std::memset(&src[4 * i], 255, 4);        // white row
    std::memset(&src[w * 4 + 4 * i], 0, 4);  // black row
  }
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    u8 dst[2 * w * 2];
    ASSERT_EQ(ImgBgrxToYuy2Bt601Table[level](src, w * 4, dst + w * 2, -w * 2, {w, 2}), IMG_OK);
    EXPECT_EQ(dst[0], 16);       // first row in memory: the source's second (black) row
    EXPECT_EQ(dst[w * 2], 235);  // second row: the white one
  }
}

// ---- Odd sizes of the 4:2:0-to-RGB conversions ------------------------------------------

TEST(ColourConversion, OddSizedFourTwoZeroToRgbWarnsAndLeavesTheEdge) {
  using Fn = std::function<ImgStatus(int, const u8* const*, const int*, u8*, int, ImgSize)>;
  const struct {
    const char* name;
    int bpp;
    Fn fn;
  } routines[] = {
      {"ImgI420ToBgrBt709", 3,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) { return ImgI420ToBgrBt709Table[l](p, s, d, ds, z); }},
      {"ImgI420ToBgrBt601", 3,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) { return ImgI420ToBgrBt601Table[l](p, s, d, ds, z); }},
      {"ImgI420ToBgraBt601", 4,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) { return ImgI420ToBgraBt601Table[l](p, s, d, ds, z, 0); }},
      {"ImgI420ToBgraBt709Studio", 4,
       [](int l, auto p, auto s, u8* d, int ds, ImgSize z) {
         return ImgI420ToBgraBt709StudioTable[l](p, s, d, ds, z, 0);
       }},
  };
  const struct {
    ImgSize size;
    ImgStatus status;
    int writtenCols, writtenRows;
  } cases[] = {
      {{5, 3}, IMG_WARN_ODD_SIZE, 4, 2},
      {{1, 1}, IMG_WARN_ODD_SIZE, 0, 0},
      {{4, 3}, IMG_WARN_ODD_SIZE, 4, 2},
      {{5, 2}, IMG_WARN_ODD_SIZE, 4, 2},
      {{4, 2}, IMG_OK, 4, 2},
      {{1, 4}, IMG_WARN_ODD_SIZE, 0, 0},
      {{35, 3}, IMG_WARN_ODD_SIZE, 34, 2},
  };
  constexpr int maxW = 36, maxH = 4;
  u8 py[maxW * maxH], pb[maxW * maxH], pr[maxW * maxH];
  std::memset(py, 200, sizeof py), std::memset(pb, 128, sizeof pb), std::memset(pr, 128, sizeof pr);
  const u8* const planes[3] = {py, pb, pr};
  const int steps[3] = {maxW, maxW, maxW};
  for (const auto& routine : routines)
    for (const auto& c : cases)
      for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
        if (level && !CpuCanRunLevel(level)) continue;
        SCOPED_TRACE(std::string(routine.name) + " " + std::to_string(c.size.width) + "x" +
                     std::to_string(c.size.height) + " level " + std::to_string(level));
        u8 dst[maxW * 4 * maxH];
        std::memset(dst, 0xEE, sizeof dst);
        ASSERT_EQ(routine.fn(level, planes, steps, dst, maxW * 4, c.size), c.status);
        for (int row = 0; row < maxH; ++row)
          for (int x = 0; x < maxW; ++x) {
            const bool written = row < c.writtenRows && x < c.writtenCols;
            const u8* p = &dst[row * maxW * 4 + x * routine.bpp];
            if (written) {
              ASSERT_NE(p[0], 0xEE) << x << "," << row;
            } else {
              ASSERT_EQ(p[0], 0xEE) << x << "," << row;
            }
          }
      }
}

// ---- Argument checks --------------------------------------------------------------------

// Every argument a conversion can take; each routine's adapter reads the ones it has.
struct Args {
  const u8* src;
  u8* dst;
  u8* dst2;
  u8* planes[3];
  const u8** planeArray;  // null to pass a null array
  int steps[3];
  const int* stepArray;
  ImgSize size;
};

using Mutation = std::function<void(Args&)>;
Mutation NullSrc() {
  return [](Args& a) { a.src = nullptr; };
}
Mutation NullDst() {
  return [](Args& a) { a.dst = nullptr; };
}
Mutation NullDst2() {
  return [](Args& a) { a.dst2 = nullptr; };
}
Mutation NullArray() {
  return [](Args& a) { a.planeArray = nullptr; };
}
Mutation NullSteps() {
  return [](Args& a) { a.stepArray = nullptr; };
}
Mutation NullPlane(int i) {
  return [=](Args& a) { a.planes[i] = nullptr; };
}
Mutation Size(int w, int h) {
  return [=](Args& a) { a.size = {w, h}; };
}
Mutation Both(Mutation x, Mutation y) {
  return [=](Args& a) { x(a), y(a); };
}

struct CheckCase {
  const char* what;
  Mutation mutate;
  ImgStatus status;
};

struct CheckedRoutine {
  const char* name;
  std::function<ImgStatus(int level, Args&)> call;
  std::vector<CheckCase> cases;
};

std::vector<CheckedRoutine> CheckTables() {
  auto planes = [](Args& a) {
    static thread_local const u8* arr[3];
    if (!a.planeArray) return static_cast<const u8* const*>(nullptr);
    for (int i = 0; i < 3; ++i) arr[i] = a.planes[i];
    return static_cast<const u8* const*>(arr);
  };
  auto outPlanes = [=](Args& a) { return const_cast<u8* const*>(reinterpret_cast<const u8* const*>(planes(a))); };
  auto ok = [](ImgStatus s) { return s; };
  (void)ok;

  // The shared-in-order tables of the packed routines.
  auto packedCases = [](bool widthOne) {
    std::vector<CheckCase> c = {
        {"null src before null dst", Both(NullSrc(), NullDst()), IMG_ERR_NULL},
        {"null dst before size", Both(NullDst(), Size(0, 0)), IMG_ERR_NULL},
        {"width 0", Size(0, 4), IMG_ERR_SIZE},
        {"height 0", Size(4, 0), IMG_ERR_SIZE},
        {"height -1", Size(4, -1), IMG_ERR_SIZE},
    };
    c.push_back({"width 1", Size(1, 4), widthOne ? IMG_OK : IMG_ERR_SIZE});
    return c;
  };

  std::vector<CheckedRoutine> v;
  v.push_back({"ImgBgrxToYuy2Bt601",
               [](int l, Args& a) { return ImgBgrxToYuy2Bt601Table[l](a.src, 64, a.dst, 64, a.size); },
               packedCases(false)});
  v.push_back({"ImgYuy2ToBgraBt601",
               [](int l, Args& a) { return ImgYuy2ToBgraBt601Table[l](a.src, 64, a.dst, 64, a.size, 0); },
               packedCases(false)});
  v.push_back({"ImgYuy2ToBgrBt601",
               [](int l, Args& a) { return ImgYuy2ToBgrBt601Table[l](a.src, 64, a.dst, 64, a.size); },
               packedCases(false)});
  v.push_back({"ImgUyvyToBgraBt709Studio",
               [](int l, Args& a) { return ImgUyvyToBgraBt709StudioTable[l](a.src, 64, a.dst, 64, a.size, 0); },
               packedCases(true)});
  v.push_back({"ImgUyvyToBgrBt709Studio",
               [](int l, Args& a) { return ImgUyvyToBgrBt709StudioTable[l](a.src, 64, a.dst, 64, a.size); },
               packedCases(true)});

  // Planes (array, steps, entries) first, then src.
  auto yv12Cases = std::vector<CheckCase>{
      {"null array before src", Both(NullArray(), NullSrc()), IMG_ERR_NULL},
      {"null steps", NullSteps(), IMG_ERR_NULL},
      {"null plane 2 before size", Both(NullPlane(2), Size(0, 0)), IMG_ERR_NULL},
      {"null src before size", Both(NullSrc(), Size(0, 0)), IMG_ERR_NULL},
      {"width 1", Size(1, 4), IMG_ERR_SIZE},
      {"height 1", Size(4, 1), IMG_ERR_SIZE},
  };
  v.push_back({"ImgYuy2ToYv12",
               [=](int l, Args& a) { return ImgYuy2ToYv12Table[l](a.src, 64, outPlanes(a), a.stepArray, a.size); },
               yv12Cases});
  v.push_back({"ImgYuy2ToNv12",
               [](int l, Args& a) { return ImgYuy2ToNv12Table[l](a.src, 64, a.dst, 64, a.dst2, 64, a.size); },
               {{"null src", Both(NullSrc(), NullDst()), IMG_ERR_NULL},
                {"null Y", Both(NullDst(), Size(0, 0)), IMG_ERR_NULL},
                {"null CbCr", Both(NullDst2(), Size(0, 0)), IMG_ERR_NULL},
                {"width 1", Size(1, 4), IMG_ERR_SIZE},
                {"height 1", Size(4, 1), IMG_ERR_SIZE}}});
  // Src, then the planes; width before height, and no rows is an error too.
  auto split422Cases = std::vector<CheckCase>{
      {"null src before array", Both(NullSrc(), NullArray()), IMG_ERR_NULL},
      {"null array", Both(NullArray(), Size(0, 0)), IMG_ERR_NULL},
      {"null steps", NullSteps(), IMG_ERR_NULL},
      {"null plane 1", Both(NullPlane(1), Size(0, 0)), IMG_ERR_NULL},
      {"width 1 before height 0", Size(1, 0), IMG_ERR_SIZE},
      {"height 0", Size(4, 0), IMG_ERR_SIZE},
      {"height -3", Size(4, -3), IMG_ERR_SIZE},
      {"height 1", Size(4, 1), IMG_OK},
  };
  v.push_back({"ImgYuy2ToYv16",
               [=](int l, Args& a) { return ImgYuy2ToYv16Table[l](a.src, 64, outPlanes(a), a.stepArray, a.size); },
               split422Cases});
  v.push_back({"ImgYuy2ToI422",
               [=](int l, Args& a) { return ImgYuy2ToI422Table[l](a.src, 64, outPlanes(a), a.stepArray, a.size); },
               split422Cases});
  v.push_back(
      {"ImgYv12ToNv12",
       [=](int l, Args& a) { return ImgYv12ToNv12Table[l](planes(a), a.stepArray, a.dst, 64, a.dst2, 64, a.size); },
       {{"null array before Y", Both(NullArray(), NullDst()), IMG_ERR_NULL},
        {"null steps", NullSteps(), IMG_ERR_NULL},
        {"null plane 0", Both(NullPlane(0), NullDst()), IMG_ERR_NULL},
        {"null Y", Both(NullDst(), Size(0, 0)), IMG_ERR_NULL},
        {"null CbCr", NullDst2(), IMG_ERR_NULL},
        {"width 1", Size(1, 4), IMG_ERR_SIZE},
        {"height 1", Size(4, 1), IMG_ERR_SIZE}}});
  v.push_back({"ImgNv12ToI420",
               [=](int l, Args& a) {
                 return ImgNv12ToI420Table[l](a.src, 64, a.src ? a.src + 1 : nullptr, 64, outPlanes(a), a.stepArray,
                                              a.size);
               },
               {{"null Y and CbCr", NullSrc(), IMG_ERR_NULL},
                {"null array before size", Both(NullArray(), Size(0, 0)), IMG_ERR_NULL},
                {"null steps", NullSteps(), IMG_ERR_NULL},
                {"size before planes", Both(NullPlane(1), Size(0, 4)), IMG_ERR_SIZE},
                {"height 0 before planes", Both(NullPlane(2), Size(4, 0)), IMG_ERR_SIZE},
                {"planes before minimum size", Both(NullPlane(1), Size(1, 4)), IMG_ERR_NULL},
                {"width 1", Size(1, 4), IMG_ERR_SIZE},
                {"height 1", Size(4, 1), IMG_ERR_SIZE}}});
  auto yuv444Cases = std::vector<CheckCase>{
      {"null array before dst", Both(NullArray(), NullDst()), IMG_ERR_NULL},
      {"null dst before planes", Both(NullDst(), NullPlane(0)), IMG_ERR_NULL},
      {"null plane 2 before size", Both(NullPlane(2), Size(0, 0)), IMG_ERR_NULL},
      {"width 0", Size(0, 4), IMG_ERR_SIZE},
      {"height 0", Size(4, 0), IMG_ERR_SIZE},
      {"1 x 1", Size(1, 1), IMG_OK},
  };
  v.push_back({"ImgYuv444ToBgraBt709",
               [=](int l, Args& a) { return ImgYuv444ToBgraBt709Table[l](planes(a), 64, a.dst, 64, a.size, 0); },
               yuv444Cases});
  v.push_back({"ImgYuv444ToBgrBt709",
               [=](int l, Args& a) { return ImgYuv444ToBgrBt709Table[l](planes(a), 64, a.dst, 64, a.size); },
               yuv444Cases});
  auto i420Cases = std::vector<CheckCase>{
      {"null array before dst", Both(NullArray(), NullDst()), IMG_ERR_NULL},
      {"null steps", NullSteps(), IMG_ERR_NULL},
      {"null dst before size", Both(NullDst(), Size(0, 0)), IMG_ERR_NULL},
      {"size before planes", Both(NullPlane(0), Size(0, 4)), IMG_ERR_SIZE},
      {"height -1 before planes", Both(NullPlane(1), Size(4, -1)), IMG_ERR_SIZE},
      {"null plane 2", NullPlane(2), IMG_ERR_NULL},
      {"odd size", Size(3, 3), IMG_WARN_ODD_SIZE},
  };
  v.push_back({"ImgI420ToBgrBt709",
               [=](int l, Args& a) { return ImgI420ToBgrBt709Table[l](planes(a), a.stepArray, a.dst, 64, a.size); },
               i420Cases});
  v.push_back(
      {"ImgI420ToBgraBt709Studio",
       [=](int l, Args& a) { return ImgI420ToBgraBt709StudioTable[l](planes(a), a.stepArray, a.dst, 64, a.size, 0); },
       i420Cases});
  v.push_back({"ImgI420ToBgraBt601",
               [=](int l, Args& a) { return ImgI420ToBgraBt601Table[l](planes(a), a.stepArray, a.dst, 64, a.size, 0); },
               i420Cases});
  v.push_back({"ImgI420ToBgrBt601",
               [=](int l, Args& a) { return ImgI420ToBgrBt601Table[l](planes(a), a.stepArray, a.dst, 64, a.size); },
               i420Cases});
  v.push_back({"ImgYv12ToYuy2",
               [=](int l, Args& a) { return ImgYv12ToYuy2Table[l](planes(a), a.stepArray, a.dst, 64, a.size); },
               {{"null array before dst", Both(NullArray(), NullDst()), IMG_ERR_NULL},
                {"null steps", NullSteps(), IMG_ERR_NULL},
                {"null plane 1 before dst", Both(NullPlane(1), NullDst()), IMG_ERR_NULL},
                {"null dst before size", Both(NullDst(), Size(0, 0)), IMG_ERR_NULL},
                {"width 1", Size(1, 4), IMG_ERR_SIZE},
                {"height 1", Size(4, 1), IMG_ERR_SIZE}}});
  return v;
}

TEST(ColourConversion, ArgumentChecksRunInOrderAndLeaveOutputsUntouched) {
  // Every picture is at most 8 x 4 with steps of 64 bytes; all buffers are filled with a
  // marker that a failed check must leave in place.
  static u8 src[64 * 4 + 64], dst[64 * 4], dst2[64 * 4], p0[64 * 4], p1[64 * 4], p2[64 * 4];
  const int steps[3] = {64, 64, 64};
  static const u8* arrayStorage[3];
  for (const CheckedRoutine& routine : CheckTables())
    for (const CheckCase& c : routine.cases)
      for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
        if (level && !CpuCanRunLevel(level)) continue;
        SCOPED_TRACE(std::string(routine.name) + ": " + c.what + " level " + std::to_string(level));
        std::memset(src, 0x80, sizeof src);
        for (u8* b : {dst, dst2, p0, p1, p2}) std::memset(b, 0xA5, 64 * 4);
        Args a{src, dst, dst2, {p0, p1, p2}, arrayStorage, {64, 64, 64}, steps, {8, 4}};
        c.mutate(a);
        ASSERT_EQ(routine.call(level, a), c.status);
        if (c.status < 0) {
          for (u8* b : {dst, dst2, p0, p1, p2})
            for (int i = 0; i < 64 * 4; ++i) ASSERT_EQ(b[i], 0xA5) << "byte " << i;
        }
      }
}

TEST(ColourConversion, ClampTableClampsItsWholeRange) {
  for (int v = -370; v <= 629; ++v) ASSERT_EQ(ImgClampTable[v + 370], v < 0 ? 0 : v > 255 ? 255 : v) << v;
}

}  // namespace
