// Frames built from the bounce frame buffers for pins other than the virtual camera's:
// each output format and mirror against the same steps done with the image library, the
// field-to-frame resize, the planar source with its stripe threads, and the stripe
// interleave's vector rows against the byte-by-byte rule.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "imaging/img.h"
#include "imaging/resize/resize.h"
#include "tests/driver/streaming/frame_finishing_fixture.h"

namespace {

using namespace frame_finishing_test;

constexpr ULONG kBufferBytes = 4 * 1024 * 1024;

std::vector<UCHAR> Random(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<UCHAR> v(n);
  for (auto& b : v) b = (UCHAR)rng();
  return v;
}

// A device with six frame buffers in group 0 (four bounce frames, two intermediates), the
// bounce frame `frame` filled with a random picture.
struct BounceDevice : Device {
  std::vector<std::vector<UCHAR>> buffers;
  explicit BounceDevice(BoardKind kind = BOARD_KIND_ENCODER, ULONG bytes = kBufferBytes) {
    SetKind(kind);
    buffers.resize(6);
    for (ULONG i = 0; i < 6; i++) {
      buffers[i] = Random(bytes, 100 + i);
      (*this)->m_pFrameBuffer[0][i] = buffers[i].data();
    }
    (*this)->m_nFrameBufferGroupSize[0] = bytes;
  }
  void Source(ULONG w, ULONG h, ULONG refresh = 60) {
    (*this)->m_SourceTiming.nWidth = w;
    (*this)->m_SourceTiming.nHeight = h;
    (*this)->m_SourceTiming.nRefresh = refresh;
  }
};

ImgSize Sz(ULONG w, ULONG h) { return ImgSize{(int32_t)w, (int32_t)h}; }

ULONG FrameBytes(ULONG w, ULONG h, ULONG bits) { return bits == 12 ? w * h * 3 / 2 : w * h * bits / 8; }

// Builds one frame on stream index 1 from bounce frame 2; returns it.
std::vector<UCHAR> Build(BounceDevice& d, ULONG w, ULONG h, ULONG bits, const char (&fourcc)[5]) {
  VideoPin p(d, 1, w, h, bits, fourcc);
  std::vector<UCHAR> out(FrameBytes(w, h, bits), 0xCD);
  p.Fill(out, 2);
  return out;
}

// What the library makes of a packed source for each output, the mirrors applied on a
// copy of the source the way a reader would: horizontal as 2-byte pixels with the chroma
// put back, vertical by reading the rows bottom-up (RGB: by writing them top-down).
std::vector<UCHAR> Reference(std::vector<UCHAR> src, ULONG sw, ULONG sh, ULONG w, ULONG h, ULONG bits,
                             const char* fourcc, bool hm, bool vm, bool swapChroma = false) {
  const int step = (int)sw * 2;
  if (hm) {
    ImgMirrorInPlaceU16C1(reinterpret_cast<u16*>(src.data()), step, Sz(sw, sh), IMG_MIRROR_LEFT_RIGHT);
    const ImgChannelOrder order = {{0, 3, 2, 1}};
    ImgReorderInPlaceU8C4(src.data(), step, Sz(sw / 2, sh), &order);
  }
  const bool rgb = bits == 24 || bits == 32;
  const u8* first = src.data();
  int firstStep = step;
  if (vm && !rgb) {
    first = src.data() + (sh - 1) * step;
    firstStep = -step;
  }
  std::vector<UCHAR> packed;
  if (sw != w || sh != h) {
    packed.resize(w * 2 * h);
    ImgResizeYuy2(first, Sz(sw, sh), firstStep, ImgRect{0, 0, (int32_t)sw, (int32_t)sh}, packed.data(), (int)w * 2,
                  Sz(w, h), (double)w / sw, (double)h / sh, IMG_INTERP_LINEAR);
    first = packed.data();
    firstStep = (int)w * 2;
  }
  std::vector<UCHAR> out(FrameBytes(w, h, bits), 0xCD);
  if (bits == 16) {
    ImgCopyU16C1(reinterpret_cast<const u16*>(first), firstStep, reinterpret_cast<u16*>(out.data()), (int)w * 2,
                 Sz(w, h));
  } else if (bits == 12 && std::strcmp(fourcc, "NV12") == 0) {
    ImgYuy2ToNv12(first, firstStep, out.data(), (int)w, out.data() + w * h, (int)w, Sz(w, h));
  } else if (bits == 12) {
    u8* planes[3] = {out.data(), out.data() + w * h, out.data() + w * h + (h / 2) * (w / 2)};
    if (swapChroma) std::swap(planes[1], planes[2]);
    const int steps[3] = {(int)w, (int)w / 2, (int)w / 2};
    ImgYuy2ToYv12(first, firstStep, planes, steps, Sz(w, h));
  } else {
    const int row = (int)(w * bits / 8);
    u8* dst = vm ? out.data() : out.data() + (h - 1) * row;
    const int dstStep = vm ? row : -row;
    if (bits == 24)
      ImgYuy2ToBgrBt601(first, firstStep, dst, dstStep, Sz(w, h));
    else
      ImgYuy2ToBgraBt601(first, firstStep, dst, dstStep, Sz(w, h), 0);
  }
  return out;
}

// Every output format, same size and resized, with each mirror, against the reference.
TEST(PackedSource, EveryFormatAndMirrorMatchesTheLibrary) {
  struct Format {
    ULONG bits;
    const char fourcc[5];
  } formats[] = {{16, "YUY2"}, {12, "NV12"}, {12, "YV12"}, {24, "RGB "}, {32, "RGB "}};
  struct Sizes {
    ULONG sw, sh, w, h;
  } sizes[] = {{320, 240, 320, 240}, {320, 240, 176, 144}, {352, 288, 640, 480}};
  for (const Format& f : formats) {
    for (const Sizes& s : sizes) {
      for (int mirrors = 0; mirrors < 4; mirrors++) {
        BounceDevice d;
        d->m_nAnalogVideoFlexibleResolutionPatch = 1;
        d->m_nAnalogVideoHorizontalMirror[1] = mirrors & 1;
        d->m_nAnalogVideoVerticalMirror[1] = mirrors >> 1;
        d.Source(s.sw, s.sh);
        const std::vector<UCHAR> source(d.buffers[2].begin(), d.buffers[2].begin() + s.sw * 2 * s.sh);
        auto expected = Reference(source, s.sw, s.sh, s.w, s.h, f.bits, f.fourcc, mirrors & 1, mirrors >> 1);
        auto out = Build(d, s.w, s.h, f.bits, f.fourcc);
        ASSERT_EQ(out, expected) << f.bits << f.fourcc << " " << s.sw << "x" << s.sh << "->" << s.w << "x" << s.h
                                 << " mirrors " << mirrors;
      }
    }
  }
}

// The virtual camera's pin is never built, whatever the bounce buffers hold.
TEST(PackedSource, TheVirtualPinKeepsItsBytes) {
  BounceDevice d;
  d.Source(64, 48);
  VideoPin p(d, 8, 64, 48, 16);
  auto pushed = Random(64 * 48 * 2, 9);
  auto out = pushed;
  p.Fill(out, 2);
  EXPECT_EQ(out, pushed);
}

// The horizontal mirror keeps each pair's chroma with it: output pair p of a row is source
// pair (pairs - 1 - p) with its two luma bytes exchanged.
TEST(PackedSource, HorizontalMirrorKeepsChromaInPlace) {
  BounceDevice d;
  d->m_nAnalogVideoFlexibleResolutionPatch = 1;
  d->m_nAnalogVideoHorizontalMirror[1] = 1;
  d.Source(64, 8);
  const std::vector<UCHAR> source(d.buffers[2].begin(), d.buffers[2].begin() + 64 * 2 * 8);
  auto out = Build(d, 64, 8, 16, "YUY2");
  for (ULONG y = 0; y < 8; y++) {
    for (ULONG p = 0; p < 32; p++) {
      const UCHAR* s = &source[y * 128 + (31 - p) * 4];
      const UCHAR* o = &out[y * 128 + p * 4];
      ASSERT_EQ(o[0], s[2]);
      ASSERT_EQ(o[1], s[1]);
      ASSERT_EQ(o[2], s[0]);
      ASSERT_EQ(o[3], s[3]);
    }
  }
}

TEST(PackedSource, YV12ChromaPlanesSwappedForTheCustomer) {
  BounceDevice d;
  d->m_nCompanyJorvale = 1;
  d.Source(64, 48);
  const std::vector<UCHAR> source(d.buffers[2].begin(), d.buffers[2].begin() + 64 * 2 * 48);
  EXPECT_EQ(Build(d, 64, 48, 12, "YV12"), Reference(source, 64, 48, 64, 48, 12, "YV12", false, false, true));
}

// Without the flexible-resolution patch a 16-bit frame gets the common top-left area; the
// rest of the frame is left alone.
TEST(PackedSource, WithoutThePatchTheCommonAreaIsCopied) {
  BounceDevice d;
  d.Source(100, 40);
  auto out = Build(d, 64, 48, 16, "YUY2");
  for (ULONG y = 0; y < 48; y++)
    for (ULONG x = 0; x < 128; x++)
      ASSERT_EQ(out[y * 128 + x], y < 40 ? d.buffers[2][y * 200 + x] : 0xCD) << y << "," << x;
}

// A 1,368-pixel source keeps its width but its last two pixels are black.
TEST(PackedSource, PaddedWidthGetsItsLastTwoPixelsBlanked) {
  BounceDevice d;
  d->m_nAnalogVideoFlexibleResolutionPatch = 1;
  d.Source(1368, 4);
  const std::vector<UCHAR> source(d.buffers[2].begin(), d.buffers[2].begin() + 1368 * 2 * 4);
  auto out = Build(d, 1368, 4, 16, "YUY2");
  for (ULONG y = 0; y < 4; y++) {
    EXPECT_EQ(std::memcmp(&out[y * 2736], &source[y * 2736], 2732), 0);
    EXPECT_EQ(out[y * 2736 + 2732], 0x00);
    EXPECT_EQ(out[y * 2736 + 2733], 0x80);
    EXPECT_EQ(out[y * 2736 + 2734], 0x00);
    EXPECT_EQ(out[y * 2736 + 2735], 0x80);
  }
  // Converted formats have the pixels blanked in the source itself.
  BounceDevice e;
  e.Source(1368, 4);
  Build(e, 1368, 4, 32, "RGB ");
  EXPECT_EQ(e.buffers[2][2732], 0x00);
  EXPECT_EQ(e.buffers[2][2733], 0x80);
}

// A field of an interlaced source (720 x 240 stands for a 480-line frame) into a shorter
// frame: one field stretched over every row of the frame, even when the field's height is
// odd.
TEST(PackedSource, FieldResizeWritesEveryRow) {
  struct Case {
    ULONG bufferRows;  // frame rows the buffer holds (odd: the field has a row less)
    ULONG h;
  } cases[] = {{480, 200}, {479, 200}, {479, 239}};
  for (const Case& k : cases) {
    BounceDevice d(BOARD_KIND_ENCODER, 720 * 2 * k.bufferRows);
    d->m_nAnalogVideoFlexibleResolutionPatch = 1;
    d.Source(720, 240);
    const ULONG fieldRows = k.bufferRows / 2;
    std::vector<UCHAR> expected(720 * 2 * k.h, 0xCD);
    ImgResizeYuy2(d.buffers[2].data(), Sz(720, fieldRows), 720 * 4, ImgRect{0, 0, 720, (int32_t)fieldRows},
                  expected.data(), 1440, Sz(720, k.h), 1.0, (double)k.h / fieldRows, IMG_INTERP_LINEAR);
    auto out = Build(d, 720, k.h, 16, "YUY2");
    EXPECT_EQ(out, expected) << k.bufferRows << " " << k.h;
    // No row keeps the buffer's earlier bytes.
    for (ULONG y = 0; y < k.h; y++)
      EXPECT_NE(std::memcmp(&out[y * 1440], std::vector<UCHAR>(1440, 0xCD).data(), 1440), 0);
  }
}

// A source of no size, or a format the buffer cannot hold, blanks the frame within its
// bytes; without bounce buffers nothing is built.
TEST(PackedSource, NoSourceOrNoRoomBlanks) {
  {
    BounceDevice d;
    auto out = Build(d, 64, 48, 16, "YUY2");
    for (size_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i], (i & 1) ? 0 : 0x80);
  }
  {
    BounceDevice d;
    d.Source(64, 48);
    VideoPin p(d, 1, 64, 48, 12, "NV12");
    p.c.nStride = 128;  // the layout is twice the buffer's size
    std::vector<UCHAR> storage(64 * 48 * 3 / 2 + 32, 0xEE);
    VideoHeader h{};
    h.header.Size = sizeof(h);
    CCapturePin::FillVideoFrame(&p.c, storage.data(), 2, 0, storage.data(), 64 * 48 * 3 / 2, 0, 0, &h.header);
    EXPECT_EQ(storage[0], 0);
    EXPECT_EQ(storage[64 * 48 * 3 / 2 - 1], 0x80);
    for (size_t i = 64 * 48 * 3 / 2; i < storage.size(); i++) ASSERT_EQ(storage[i], 0xEE);
  }
  {
    BounceDevice d;
    d.Source(64, 48);
    d->m_nFrameBufferGroupSize[0] = 0;
    auto out = Build(d, 64, 48, 16, "YUY2");
    EXPECT_EQ(out, std::vector<UCHAR>(out.size(), 0xCD));
  }
}

TEST(PlanarSource, TimingsThatTakeThePlanarPath) {
  struct Case {
    ULONG w, h, refresh, flag0, flag1;
    bool planar;
  } cases[] = {
      {1280, 768, 85, 0, 0, true},   {1280, 768, 60, 0, 0, false},  {1280, 1024, 75, 0, 0, true},
      {1400, 1050, 33, 0, 0, true},  {1440, 900, 60, 0, 0, false},  {1920, 1080, 61, 0, 0, true},
      {1920, 1080, 30, 0, 0, false}, {1920, 1080, 120, 0, 0, true}, {3840, 2160, 30, 0, 0, true},
      {4096, 2160, 24, 0, 0, true},  {3840, 1024, 1, 0, 0, true},   {640, 480, 60, 2, 1, true},
      {640, 480, 60, 1, 2, false},   {640, 480, 60, 0, 1, false},
  };
  for (const Case& k : cases) {
    SourceTiming t = {};
    t.nWidth = k.w;
    t.nHeight = k.h;
    t.nRefresh = k.refresh;
    t.nPathFlag[0] = k.flag0;
    t.nPathFlag[1] = k.flag1;
    EXPECT_EQ(IsPlanarSourceTiming(t) != 0, k.planar) << k.w << "x" << k.h << "@" << k.refresh;
  }
}

// The planar source, with its luma plane at the frame buffer's start and its interleaved
// chroma half the buffer on, as a packed picture.
std::vector<UCHAR> PlanarAsPacked(const BounceDevice& d, ULONG frame, ULONG w, ULONG h) {
  const UCHAR* a = d.buffers[frame].data();
  const UCHAR* b = a + d.buffers[frame].size() / 2;
  std::vector<UCHAR> packed(w * 2 * h);
  for (ULONG y = 0; y < h; y++)
    for (ULONG k = 0; k < w; k++) {
      packed[y * w * 2 + 2 * k] = a[y * w + k];
      packed[y * w * 2 + 2 * k + 1] = b[y * w + k];
    }
  return packed;
}

TEST(PlanarSource, EveryFormatAndMirrorMatchesThePackedEquivalent) {
  struct Format {
    ULONG bits;
    const char fourcc[5];
  } formats[] = {{16, "YUY2"}, {12, "NV12"}, {12, "YV12"}, {24, "RGB "}, {32, "RGB "}};
  for (const Format& f : formats) {
    for (ULONG size : {0u, 1u}) {
      for (int mirrors = 0; mirrors < 4; mirrors++) {
        BounceDevice d(BOARD_KIND_V);
        d->m_nAnalogVideoFlexibleResolutionPatch = 1;
        d->m_nAnalogVideoHorizontalMirror[1] = mirrors & 1;
        d->m_nAnalogVideoVerticalMirror[1] = mirrors >> 1;
        d.Source(1280, 768, 85);
        const ULONG w = size ? 640 : 1280, h = size ? 360 : 768;
        auto packed = PlanarAsPacked(d, 2, 1280, 768);
        // Mirroring the planes is mirroring the packed picture before anything else:
        // left-right the luma pixel by pixel and the chroma as U V pairs (in packed terms
        // 2-byte pixels with each pair's chroma put back), top-bottom row by row. RGB
        // output then is written bottom-up as always.
        if (mirrors & 1) {
          ImgMirrorInPlaceU16C1(reinterpret_cast<u16*>(packed.data()), 2560, Sz(1280, 768), IMG_MIRROR_LEFT_RIGHT);
          const ImgChannelOrder order = {{0, 3, 2, 1}};
          ImgReorderInPlaceU8C4(packed.data(), 2560, Sz(640, 768), &order);
        }
        if (mirrors & 2)
          ImgMirrorInPlaceU16C1(reinterpret_cast<u16*>(packed.data()), 2560, Sz(1280, 768), IMG_MIRROR_TOP_BOTTOM);
        auto expected = Reference(packed, 1280, 768, w, h, f.bits, f.fourcc, false, false);
        auto out = Build(d, w, h, f.bits, f.fourcc);
        ASSERT_EQ(out, expected) << f.bits << f.fourcc << " size " << size << " mirrors " << mirrors;
      }
    }
  }
}

// The multi-sync frame: each tile from its card (card number + 2 x tile) at its place, on
// a thread of its own; a tile whose card is missing stays as it was.
TEST(PlanarSource, MultiSyncTilesFromTheirCards) {
  BounceDevice main(BOARD_KIND_V), second(BOARD_KIND_V);
  for (BounceDevice* d : {&main, &second}) {
    (*d)->m_nAnalogVideoMultiSyncChannels = 3;
    d->Source(64, 32, 0);
    (*d)->m_SourceTiming.nPathFlag[0] = 1;
    (*d)->m_SourceTiming.nPathFlag[1] = 1;
  }
  main->m_nDeviceInstanceNumber = 4;
  second->m_nAnalogVideoMultiSyncPositionX = 64;
  second->m_nAnalogVideoMultiSyncPositionY = 16;
  g_pCardDevice[4] = main.get();
  g_pCardDevice[6] = second.get();  // card 8 (the third tile) is missing
  VideoPin p(main, 1, 128, 64, 16);
  std::vector<UCHAR> out(128 * 64 * 2, 0xCD);
  p.Fill(out, 2);
  g_pCardDevice[4] = g_pCardDevice[6] = nullptr;

  auto tileA = PlanarAsPacked(main, 2, 64, 32);
  auto tileB = PlanarAsPacked(second, 2, 64, 32);
  for (ULONG y = 0; y < 64; y++) {
    for (ULONG x = 0; x < 256; x++) {
      UCHAR expected = 0xCD;
      if (y < 32 && x < 128) expected = tileA[y * 128 + x];
      if (y >= 16 && y < 48 && x >= 128) expected = tileB[(y - 16) * 128 + (x - 128)];
      ASSERT_EQ(out[y * 256 + x], expected) << y << "," << x;
    }
  }
}

// A tile placed partly outside the frame is clipped to it; nothing is written past the
// frame's bytes.
TEST(PlanarSource, TilesAreClippedToTheFrame) {
  BounceDevice main(BOARD_KIND_V), second(BOARD_KIND_V);
  main->m_nAnalogVideoMultiSyncChannels = 2;
  main.Source(64, 32, 30);
  main->m_SourceTiming.nPathFlag[0] = main->m_SourceTiming.nPathFlag[1] = 1;
  second.Source(64, 32, 30);
  second->m_nAnalogVideoMultiSyncPositionX = 40;
  second->m_nAnalogVideoMultiSyncPositionY = 20;
  g_pCardDevice[2] = second.get();  // the first tile's card (0) is missing
  VideoPin p(main, 1, 64, 32, 16);
  std::vector<UCHAR> storage(64 * 32 * 2 + 64, 0xEE);
  VideoHeader h{};
  h.header.Size = sizeof(h);
  CCapturePin::FillVideoFrame(&p.c, storage.data(), 2, 0, storage.data(), 64 * 32 * 2, 0, 0, &h.header);
  g_pCardDevice[2] = nullptr;
  auto tileB = PlanarAsPacked(second, 2, 64, 32);
  for (ULONG y = 0; y < 32; y++) {
    for (ULONG x = 0; x < 128; x++) {
      const UCHAR expected = y >= 20 && x >= 80 ? tileB[(y - 20) * 128 + (x - 80)] : 0xEE;
      ASSERT_EQ(storage[y * 128 + x], expected) << y << "," << x;
    }
  }
  for (size_t i = 64 * 32 * 2; i < storage.size(); i++) ASSERT_EQ(storage[i], 0xEE);
}

// The interleave's 16-byte rows give what the byte rule gives, on random sizes, steps and
// alignments of every pointer.
TEST(StripeInterleave, VectorRowsMatchTheByteRule) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; round++) {
    const ULONG rowBytes = (rng() % 8 == 0) ? (ULONG)(rng() % 64) : 16 * (1 + rng() % 24);
    const ULONG rows = rng() % 9;
    const ULONG sourceStep = rowBytes + (rng() % 3) * 16 + (rng() % 2) * (rng() % 16);
    const ULONG outputWidth = rowBytes + (rng() % 3) * 8 + (rng() % 2) * (rng() % 8);
    const ULONG offA = (rng() % 2) ? 0 : rng() % 16, offB = (rng() % 2) ? 0 : rng() % 16,
                offO = (rng() % 2) ? 0 : rng() % 16;
    alignas(16) static UCHAR a[16 * 1024], b[16 * 1024], out[32 * 1024], ref[32 * 1024];
    for (auto& x : a) x = (UCHAR)rng();
    for (auto& x : b) x = (UCHAR)rng();
    std::memset(out, 0x5A, sizeof out);
    std::memset(ref, 0x5A, sizeof ref);
    for (ULONG r = 0; r < rows; r++)
      for (ULONG k = 0; k < rowBytes; k++) {
        ref[offO + r * outputWidth * 2 + 2 * k] = a[offA + r * sourceStep + k];
        ref[offO + r * outputWidth * 2 + 2 * k + 1] = b[offB + r * sourceStep + k];
      }
    StripeJob job = {nullptr, 0,        sourceStep, rows, rowBytes,   outputWidth,
                     rows,    a + offA, b + offB,   out,  out + offO, out + sizeof out};
    InterleaveStripe(&job);
    ASSERT_EQ(std::memcmp(out, ref, sizeof out), 0)
        << "round " << round << " bytes " << rowBytes << " rows " << rows << " offsets " << offA << offB << offO;
  }
  // No frame start, or no rows: nothing written.
  alignas(16) static UCHAR a[64], out[128];
  std::memset(out, 0x5A, sizeof out);
  StripeJob none = {nullptr, 0, 32, 1, 32, 32, 1, a, a, nullptr, out, out + sizeof out};
  InterleaveStripe(&none);
  EXPECT_EQ(out[0], 0x5A);
}

}  // namespace
