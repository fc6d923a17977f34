// The device's software deinterlacers: each frame format through its split, the
// channel's field ring, the method its setting selects and the pack, against a model
// built from the image library's own routines.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "driver/core/device.h"
#include "driver/core/driver_entry.h"
#include "imaging/img.h"
#include "imaging/resize/resize.h"
#include "platform/kernel/machine.h"
#include "platform/ks/harness.h"

namespace {

namespace pk = platform::kernel;
using platform::ks::PnpHarness;

constexpr ULONG kDeinterlaceTag = MakePoolTag("QZVD");
constexpr u8 kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;

struct Plane {
  int w = 0, h = 0;
  std::vector<u8> px;
  u8* data() { return px.data(); }
};
using Planes = std::vector<Plane>;

Plane MakePlane(ImgSize s) { return Plane{s.width, s.height, std::vector<u8>(size_t(s.width) * s.height)}; }

using Deinterlacer = ULONG (CDevice::*)(ULONG, ULONG, ULONG, PUCHAR, ULONG);

// One frame format: the routine, the frame's row step for a width (plus padding), its
// extent, and the model's split and pack, written with the library routines the frame
// layout calls for.
struct Format {
  const char* name;
  Deinterlacer routine;
  int bytesPerPixelTimes2;  // row bytes of the frame per pixel, doubled (luma only for 4:2:0)
  bool twelveBit;
  Planes (*split)(const u8* frame, int s, int w, int h);
  void (*pack)(Planes& out, u8* frame, int s, int w, int h);
};

Planes SplitYuy2(const u8* f, int s, int w, int h) {
  Planes p{MakePlane({w & ~1, h}), MakePlane({w / 2, h}), MakePlane({w / 2, h})};
  u8* d[3] = {p[0].data(), p[1].data(), p[2].data()};
  const int steps[3] = {p[0].w, p[1].w, p[2].w};
  EXPECT_EQ(ImgYuy2ToYv16(f, s, d, steps, {w, h}), IMG_OK);
  return p;
}
void PackYuy2(Planes& o, u8* f, int s, int w, int h) {
  for (int y = 0; y < h; ++y)
    for (int i = 0; i < w / 2; ++i) {
      u8* d = f + size_t(y) * s + 4 * i;
      d[0] = o[0].px[size_t(y) * o[0].w + 2 * i];
      d[1] = o[2].px[size_t(y) * o[2].w + i];
      d[2] = o[0].px[size_t(y) * o[0].w + 2 * i + 1];
      d[3] = o[1].px[size_t(y) * o[1].w + i];
    }
}
Planes SplitNv12(const u8* f, int s, int w, int h) {
  Planes p{MakePlane({w & ~1, h & ~1}), MakePlane({w / 2, h / 2}), MakePlane({w / 2, h / 2})};
  u8* d[3] = {p[0].data(), p[1].data(), p[2].data()};
  const int steps[3] = {p[0].w, p[1].w, p[2].w};
  EXPECT_EQ(ImgNv12ToI420(f, s, f + size_t(s) * h, s, d, steps, {w, h}), IMG_OK);
  return p;
}
void PackNv12(Planes& o, u8* f, int s, int w, int h) {
  const u8* planes[3] = {o[0].data(), o[2].data(), o[1].data()};
  const int steps[3] = {o[0].w, o[2].w, o[1].w};
  EXPECT_EQ(ImgYv12ToNv12(planes, steps, f, s, f + size_t(s) * h, s, {w, h}), IMG_OK);
}
// Luma, then two chroma planes at half the step and height.
size_t Yv12Offset(int p, int s, int h) { return p == 0 ? 0 : size_t(s) * h + (p == 2 ? size_t(s / 2) * (h / 2) : 0); }
Planes SplitYv12(const u8* f, int s, int w, int h) {
  Planes p{MakePlane({w, h}), MakePlane({w / 2, h / 2}), MakePlane({w / 2, h / 2})};
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(ImgCopyU8C1(f + Yv12Offset(i, s, h), i ? s / 2 : s, p[i].data(), p[i].w, {p[i].w, p[i].h}), IMG_OK);
  return p;
}
void PackYv12(Planes& o, u8* f, int s, int, int h) {
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(ImgCopyU8C1(o[i].data(), o[i].w, f + Yv12Offset(i, s, h), i ? s / 2 : s, {o[i].w, o[i].h}), IMG_OK);
}
Planes SplitRgb24(const u8* f, int s, int w, int h) {
  Planes p{MakePlane({w, h}), MakePlane({w, h}), MakePlane({w, h})};
  u8* d[3] = {p[0].data(), p[1].data(), p[2].data()};
  EXPECT_EQ(ImgDeinterleaveU8C3(f, s, d, w, {w, h}), IMG_OK);
  return p;
}
void PackRgb24(Planes& o, u8* f, int s, int w, int h) {
  const u8* planes[3] = {o[0].data(), o[1].data(), o[2].data()};
  EXPECT_EQ(ImgInterleaveU8C3(planes, w, f, s, {w, h}), IMG_OK);
}
// The fourth channel is the model's fourth plane, packed back as it came.
Planes SplitRgb32(const u8* f, int s, int w, int h) {
  Planes p{MakePlane({w, h}), MakePlane({w, h}), MakePlane({w, h}), MakePlane({w, h})};
  u8* d[4] = {p[0].data(), p[1].data(), p[2].data(), p[3].data()};
  EXPECT_EQ(ImgDeinterleaveU8C4(f, s, d, w, {w, h}), IMG_OK);
  return p;
}
void PackRgb32(Planes& o, u8* f, int s, int w, int h) {
  const u8* planes[4] = {o[0].data(), o[1].data(), o[2].data(), o[3].data()};
  EXPECT_EQ(ImgInterleaveU8C4(planes, w, f, s, {w, h}), IMG_OK);
}

const Format kFormats[] = {
    {"Yuy2", &CDevice::DeinterlaceYuy2, 4, false, SplitYuy2, PackYuy2},
    {"Nv12", &CDevice::DeinterlaceNv12, 2, true, SplitNv12, PackNv12},
    {"Yv12", &CDevice::DeinterlaceYv12, 2, true, SplitYv12, PackYv12},
    {"Rgb24", &CDevice::DeinterlaceRgb24, 6, false, SplitRgb24, PackRgb24},
    {"Rgb32", &CDevice::DeinterlaceRgb32, 8, false, SplitRgb32, PackRgb32},
};

// A frame of the format: its row step (the luma's for 4:2:0) and extent.
struct Geometry {
  int w, h, s;
  ULONG extent;
};
Geometry GeometryOf(const Format& f, int w, int h, int pad) {
  const int s = f.bytesPerPixelTimes2 * w / 2 + pad;
  // 4:2:0 frames: the luma rows and half as many bytes again.
  const ULONG extent = f.twelveBit ? ULONG(s) * h * 3 / 2 : ULONG(s) * h;
  return {w, h, s, extent};
}

// Frame n of a pattern with a still left quarter, a combed second quarter whose
// brightness steps by exactly the motion threshold from frame to frame, and a right half
// that moves sideways frame by frame, its two fields apart like an interlaced camera's.
std::vector<u8> PatternFrame(const Geometry& g, int n) {
  std::vector<u8> f(g.extent + kGuardBytes, kGuard);
  const int rows = int(g.extent / ULONG(g.s));
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < g.s; ++x) {
      u8 v;
      if (x >= g.s / 2)
        v = u8(((x + n * 9 + (y & 1) * 5) / 3 * 37 + y * 11) & 0xFF);
      else if (x >= g.s / 4)
        v = u8((y & 1 ? 60 : 110) + (n & 1) * 12 + (x & 4));
      else
        v = u8((x / 3 * 37 + y * 11) & 0xFF);
      f[size_t(y) * g.s + x] = v;
    }
  return f;
}

// The channel's method applied to one plane with the library's routines; a plane the
// method refuses keeps the current picture.
void ModelMethod(ULONG method, const std::vector<const Plane*>& back, const Plane& cur, Plane& out,
                 const ImgDeinterlaceBlendState* state) {
  const ImgSize size{cur.w, cur.h};
  ImgStatus st;
  if (method > 2) {
    const u8* const frames[3] = {back[1]->px.data(), back[0]->px.data(), cur.px.data()};
    st = ImgDeinterlaceBlend(frames, cur.w, out.data(), out.w, size, 0, 0, 1, state);
  } else if (method == 2) {
    const u8* const frames[4] = {back[2]->px.data(), back[1]->px.data(), back[0]->px.data(), cur.px.data()};
    st = ImgDeinterlaceMotionAdaptive(frames, cur.w, out.data(), out.w, size, 12, 0, 0, 1, 0);
  } else {
    // Field to frame: the even rows stretched by two; an odd height takes its last even
    // row too, stretched to exactly the height (its rows are checked on their own below).
    const int rows = cur.h & 1 ? (cur.h + 1) / 2 : cur.h / 2;
    st = ImgResizeU8C1(cur.px.data(), {cur.w, rows}, 2 * cur.w, {0, 0, cur.w, rows}, out.data(), out.w, size, 1.0,
                       cur.h & 1 ? double(cur.h) / rows : 2.0, IMG_INTERP_LINEAR);
  }
  if (st != IMG_OK) out.px = cur.px;
}

// The channel as the model sees it: its last pictures, newest last.
struct Model {
  std::deque<Planes> history;
  void Run(const Format& f, const Geometry& g, ULONG method, const ImgDeinterlaceBlendState* state,
           std::vector<u8>& frame) {
    Planes cur = f.split(frame.data(), g.s, g.w, g.h);
    Planes out = cur;
    for (int p = 0; p < 3; ++p) {
      std::vector<const Plane*> back;
      const Plane* newer = &cur[p];
      for (int k = 1; k <= 3; ++k) {
        // A ring still filling repeats its newest picture.
        if (int(history.size()) >= k) newer = &history[history.size() - k][p];
        back.push_back(newer);
      }
      ModelMethod(method, back, cur[p], out[p], state);
    }
    f.pack(out, frame.data(), g.s, g.w, g.h);
    history.push_back(cur);
    if (history.size() > 3) history.pop_front();
  }
};

class DeinterlaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    pk::ClearPoolFaults();
    harness = std::make_unique<PnpHarness>(DriverEntry);
    ASSERT_EQ(harness->Load(), STATUS_SUCCESS);
    ASSERT_EQ(harness->AddDevice(nullptr, nullptr, &index), STATUS_SUCCESS);
    dev = DeviceOf(harness->Device(index));
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, weights, 4, -16, 8, 64), IMG_OK);
  }
  void TearDown() override {
    pk::ClearPoolFaults();
    if (dev) {
      EXPECT_EQ(harness->RemoveDevice(index), STATUS_SUCCESS);
    }
    EXPECT_EQ(pk::PoolStats(kDeinterlaceTag).liveBlocks, 0);
    EXPECT_EQ(harness->Unload(), STATUS_SUCCESS);
    harness.reset();
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
  }
  void SetBlendStates(ULONG ch) {
    for (int p = 0; p < 3; ++p) dev->m_pDeinterlaceBlendState[ch + 16 * p] = &state;
  }
  ULONG Call(const Format& f, ULONG ch, const Geometry& g, std::vector<u8>& frame) {
    return (dev->*f.routine)(ch, ULONG(g.w), ULONG(g.h), frame.data(), g.extent);
  }
  static void ExpectGuardIntact(const std::vector<u8>& frame, ULONG extent) {
    for (size_t i = extent; i < frame.size(); ++i) ASSERT_EQ(frame[i], kGuard) << "byte " << i << " past the frame";
  }

  std::unique_ptr<PnpHarness> harness;
  size_t index = 0;
  CDevice* dev = nullptr;
  u16 weights[IMG_DEINTERLACE_BLEND_WEIGHTS];
  ImgDeinterlaceBlendState state{};
};

// Every format and method on a moving pattern over more frames than the ring holds, at
// even and odd sizes and with padded rows: the frame equals the model's, and nothing
// past the frame's extent is written.
TEST_F(DeinterlaceTest, EveryFormatAndMethodMatchesTheLibraryModelOnAMovingPattern) {
  struct Size {
    int w, h, pad;
  };
  const Size sizes[] = {{64, 36, 0}, {48, 20, 12}, {37, 22, 3}, {40, 17, 0}};
  const ULONG methods[] = {0, 2, 3};
  for (const Format& f : kFormats) {
    for (const Size& sz : sizes) {
      for (ULONG method : methods) {
        SCOPED_TRACE(std::string(f.name) + " " + std::to_string(sz.w) + "x" + std::to_string(sz.h) + " pad " +
                     std::to_string(sz.pad) + " method " + std::to_string(method));
        const ULONG ch = 5;
        dev->m_nAnalogVideoDeinterlaceType[ch] = method | 0x08000000;
        SetBlendStates(ch);
        const Geometry g = GeometryOf(f, sz.w, sz.h, sz.pad);
        Model model;
        // A new geometry or format starts the channel's ring afresh, as the model does.
        dev->ReleaseDeinterlaceBuffers();
        for (int n = 0; n < 7; ++n) {
          std::vector<u8> frame = PatternFrame(g, n);
          std::vector<u8> expected = frame;
          model.Run(f, g, method, &state, expected);
          EXPECT_EQ(Call(f, ch, g, frame), 1u);
          ASSERT_EQ(frame, expected) << "frame " << n;
          ExpectGuardIntact(frame, g.extent);
          if (n == 3 && method == 2) {
            // The moving part really changed: a method that did nothing would pass
            // the comparison only if the model did nothing too.
            ASSERT_NE(frame, PatternFrame(g, n));
          }
        }
      }
    }
  }
}

// The first frame of a channel finds its earlier slots empty: all four pictures are the
// frame itself, the motion-adaptive method sees no motion and the frame comes back as it
// went in. The second frame repeats the first as its two and three pictures back.
TEST_F(DeinterlaceTest, ARingStillFillingRepeatsItsNewestPicture) {
  const Format& f = kFormats[0];
  const Geometry g = GeometryOf(f, 64, 24, 0);
  const ULONG ch = 2;
  dev->m_nAnalogVideoDeinterlaceType[ch] = 2;
  std::vector<u8> first = PatternFrame(g, 0);
  std::vector<u8> frame = first;
  Call(f, ch, g, frame);
  EXPECT_EQ(frame, first);
  EXPECT_EQ(dev->m_nDeinterlaceRingIndex[ch], 1);
  for (int t = 1; t <= 3; ++t) {
    EXPECT_EQ(dev->m_DeinterlaceRing[t][ch * 4].bValid, 1u);
    EXPECT_EQ(dev->m_DeinterlaceRing[t][ch * 4 + 1].bValid, 0u);
  }

  // Second frame: the library with {first, first, first, second}.
  std::vector<u8> second = PatternFrame(g, 1);
  Planes a = f.split(first.data(), g.s, g.w, g.h), b = f.split(second.data(), g.s, g.w, g.h);
  Planes out = b;
  for (int p = 0; p < 3; ++p) {
    const u8* const frames[4] = {a[p].data(), a[p].data(), a[p].data(), b[p].data()};
    ASSERT_EQ(ImgDeinterlaceMotionAdaptive(frames, b[p].w, out[p].data(), out[p].w, {b[p].w, b[p].h}, 12, 0, 0, 1, 0),
              IMG_OK);
  }
  std::vector<u8> expected = second;
  f.pack(out, expected.data(), g.s, g.w, g.h);
  frame = second;
  Call(f, ch, g, frame);
  EXPECT_EQ(frame, expected);
  EXPECT_NE(frame, second);
  EXPECT_EQ(dev->m_nDeinterlaceRingIndex[ch], 2);

  // The ring wraps after four frames; another channel's ring is its own.
  for (int n = 2; n < 6; ++n) {
    frame = PatternFrame(g, n);
    Call(f, ch, g, frame);
  }
  EXPECT_EQ(dev->m_nDeinterlaceRingIndex[ch], 2);
  EXPECT_EQ(dev->m_nDeinterlaceRingIndex[ch + 1], 0);
  frame = PatternFrame(g, 9);
  dev->m_nAnalogVideoDeinterlaceType[ch + 1] = 2;
  Call(f, ch + 1, g, frame);
  EXPECT_EQ(frame, PatternFrame(g, 9));
}

// The method comes from the setting with the set-by-application flag and bit 31
// removed; "off" and a blend without its weights leave the frame alone and allocate
// nothing.
TEST_F(DeinterlaceTest, TheMethodIsTheSettingMaskedWith77FFFFFF) {
  const Format& f = kFormats[0];
  const Geometry g = GeometryOf(f, 32, 16, 0);
  struct Case {
    ULONG setting;
    bool states;
    int method;  // -1: frame unchanged
  } cases[] = {
      {0x00000000, false, 0}, {0x80000000, false, 0},  {0x08000000, false, 0},  {0x00000002, false, 2},
      {0x88000002, false, 2}, {0x00000001, false, -1}, {0x88000001, false, -1}, {0x00000003, false, -1},
      {0x00000003, true, 3},  {0x08000007, true, 3},   {0x70000000, true, 3},   {0x0800000F, false, -1},
  };
  ULONG ch = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.setting << " states " << c.states);
    ++ch;
    dev->m_nAnalogVideoDeinterlaceType[ch] = c.setting;
    if (c.states) SetBlendStates(ch);
    // A second frame, so the ring holds a different earlier picture.
    std::vector<u8> frame0 = PatternFrame(g, 0), frame = PatternFrame(g, 1);
    const int64_t blocks = pk::PoolStats(kDeinterlaceTag).liveBlocks;
    Call(f, ch, g, frame0);
    Call(f, ch, g, frame);
    if (c.method < 0) {
      EXPECT_EQ(frame, PatternFrame(g, 1));
      EXPECT_EQ(pk::PoolStats(kDeinterlaceTag).liveBlocks, blocks);
      continue;
    }
    Model model;
    std::vector<u8> e0 = PatternFrame(g, 0), e1 = PatternFrame(g, 1);
    model.Run(f, g, ULONG(c.method), &state, e0);
    model.Run(f, g, ULONG(c.method), &state, e1);
    EXPECT_EQ(frame, e1);
    // The three methods give three different frames here, none of them the input.
    EXPECT_NE(frame, PatternFrame(g, 1));
  }
  // One block per channel that ran.
  EXPECT_EQ(pk::PoolStats(kDeinterlaceTag).liveBlocks, 8);
}

// Field to frame on an odd height writes every row: the even rows are the input's own
// rows, each odd row the rounded mean of the rows around it.
TEST_F(DeinterlaceTest, FieldToFrameOnAnOddHeightWritesEveryRowFromTheEvenRows) {
  const Format& f = kFormats[3];  // 24-bit: three full-size planes
  const Geometry g = GeometryOf(f, 20, 9, 0);
  dev->m_nAnalogVideoDeinterlaceType[0] = 0;
  std::vector<u8> in = PatternFrame(g, 4), frame = in;
  Call(f, 0, g, frame);
  for (int y = 0; y < g.h; ++y)
    for (int x = 0; x < g.s; ++x) {
      const u8 got = frame[size_t(y) * g.s + x];
      if (y % 2 == 0) {
        ASSERT_EQ(got, in[size_t(y) * g.s + x]) << y << "," << x;
      } else {
        const int mean = (in[size_t(y - 1) * g.s + x] + in[size_t(y + 1) * g.s + x] + 1) / 2;
        ASSERT_NEAR(got, mean, 1) << y << "," << x;
      }
    }
  // The 720 x 480 case of an even height: the rows come from the even rows, stretched.
  const Geometry sd = GeometryOf(f, 720, 480, 0);
  std::vector<u8> big = PatternFrame(sd, 1), expected = big;
  Model().Run(f, sd, 0, nullptr, expected);
  Call(f, 0, sd, big);
  EXPECT_EQ(big, expected);
  EXPECT_EQ(big[0], PatternFrame(sd, 1)[0]);
}

// A frame whose extent cannot hold its rows, sizes below two rows or columns, a channel
// beyond 15 and a null frame are left as they are, nothing written past them.
TEST_F(DeinterlaceTest, FramesTooSmallForTheirSizeAreLeftAlone) {
  for (const Format& f : kFormats) {
    SCOPED_TRACE(f.name);
    const Geometry g = GeometryOf(f, 32, 16, 0);
    dev->m_nAnalogVideoDeinterlaceType[1] = 2;
    dev->m_nAnalogVideoDeinterlaceType[15] = 2;
    struct Case {
      ULONG ch, w, h, extent;
    } cases[] = {
        {1, 32, 16, g.extent - 1}, {1, 32, 16, g.extent / 2}, {1, 33, 16, g.extent},  {1, 32, 16, 0},
        {1, 1, 16, g.extent},      {1, 32, 1, g.extent},      {16, 32, 16, g.extent}, {1, 0x80000000u, 2, g.extent},
    };
    for (const Case& c : cases) {
      std::vector<u8> frame = PatternFrame(g, 2);
      EXPECT_EQ((dev->*f.routine)(c.ch, c.w, c.h, frame.data(), c.extent), 1u);
      EXPECT_EQ(frame, PatternFrame(g, 2)) << c.ch << " " << c.w << "x" << c.h << " extent " << c.extent;
    }
    EXPECT_EQ((dev->*f.routine)(15, 32, 16, nullptr, g.extent), 1u);
  }
  EXPECT_EQ(pk::PoolStats(kDeinterlaceTag).liveBlocks, 0);
}

// No memory for a channel's planes: the frame passes unchanged; the next frame that gets
// memory starts the ring. A new size replaces the channel's block; stop frees them all.
TEST_F(DeinterlaceTest, NoMemoryLeavesTheFrameAndANewSizeReplacesTheBlock) {
  const Format& f = kFormats[4];
  const Geometry g = GeometryOf(f, 32, 16, 0);
  dev->m_nAnalogVideoDeinterlaceType[3] = 2;
  pk::FailAllocationsWithTag(kDeinterlaceTag);
  std::vector<u8> frame = PatternFrame(g, 1);
  EXPECT_EQ(Call(f, 3, g, frame), 1u);
  EXPECT_EQ(frame, PatternFrame(g, 1));
  EXPECT_EQ(dev->m_nDeinterlaceRingIndex[3], 0);
  pk::ClearPoolFaults();

  Model model;
  for (int n = 0; n < 3; ++n) {
    frame = PatternFrame(g, n);
    std::vector<u8> expected = frame;
    model.Run(f, g, 2, nullptr, expected);
    Call(f, 3, g, frame);
    ASSERT_EQ(frame, expected);
    // The fourth channel passes through unchanged.
    for (size_t i = 3; i < g.extent; i += 4) ASSERT_EQ(frame[i], PatternFrame(g, n)[i]);
  }
  EXPECT_EQ(pk::PoolStats(kDeinterlaceTag).liveBlocks, 1);

  // Another size: the old pictures are no earlier pictures of it.
  const Geometry g2 = GeometryOf(f, 48, 20, 0);
  std::vector<u8> other = PatternFrame(g2, 5);
  Call(f, 3, g2, other);
  EXPECT_EQ(other, PatternFrame(g2, 5));
  EXPECT_EQ(pk::PoolStats(kDeinterlaceTag).liveBlocks, 1);
  EXPECT_EQ(dev->m_nDeinterlaceRingIndex[3], 1);

  // Out of memory for the new size: the old block is gone, the frame unchanged.
  pk::FailAllocationsWithTag(kDeinterlaceTag);
  other = PatternFrame(g, 6);
  Call(f, 3, g, other);
  EXPECT_EQ(other, PatternFrame(g, 6));
  EXPECT_EQ(pk::PoolStats(kDeinterlaceTag).liveBlocks, 0);
  pk::ClearPoolFaults();
  Call(f, 3, g2, other = PatternFrame(g2, 1));
  EXPECT_EQ(pk::PoolStats(kDeinterlaceTag).liveBlocks, 1);
  // Remove (in TearDown) gives the block back.
}

}  // namespace
