// ImgResizeYuy2: argument checks, sizing with its raises, separate luma and chroma grids,
// fall-backs, the area-average walks, memory failure, and every level against level 0.
#include <cmath>

#include "tests/imaging/resize/resize_test_support.h"

namespace {

using resize_test::CountingHooks;
using resize_test::Image;

// A packed picture of w pixels (2w bytes) per row.
Image Packed(int w, int h, int pad = 0) { return Image(2 * w, h, 2 * w + pad); }

struct Result {
  ImgStatus status;
  Image out;
};
Result Resize(const Image& src, ImgRect roi, int dw, int dh, double xf, double yf, int interp,
              ImgResizeYuy2Fn fn = ImgResizeYuy2, const u8* base = nullptr, int step = 0) {
  Result r{0, Packed(dw, dh)};
  std::fill(r.out.bytes.begin(), r.out.bytes.end(), 0x5A);
  r.status = fn(base ? base : src.bytes.data(), {src.width / 2, src.height}, step ? step : src.step, roi,
                r.out.bytes.data(), r.out.step, {dw, dh}, xf, yf, interp);
  return r;
}
Result Resize(const Image& src, int dw, int dh, double xf, double yf, int interp) {
  return Resize(src, {0, 0, src.width / 2, src.height}, dw, dh, xf, yf, interp);
}

std::vector<int> Bytes(const Image& img, int y) { return std::vector<int>(img.Row(y), img.Row(y) + img.width); }
std::vector<int> Channel(const Image& img, int y, int offset, int stride) {
  std::vector<int> v;
  for (int x = offset; x < img.width; x += stride) v.push_back(img.At(x, y));
  return v;
}

TEST(ResizeYuy2Checks, StatusesInOrderWithNothingWritten) {
  Image src = Packed(8, 8);
  struct Case {
    const char* what;
    const u8* src;
    ImgSize size;
    ImgRect roi;
    bool nullDst;
    ImgSize dstSize;
    double xf, yf;
    int interp;
    ImgStatus want;
  };
  const u8* s = src.bytes.data();
  const Case cases[] = {
      {"null source", nullptr, {8, 8}, {0, 0, 8, 8}, false, {16, 16}, 2, 2, 2, IMG_ERR_NULL},
      {"null destination", s, {8, 8}, {0, 0, 8, 8}, true, {16, 16}, 2, 2, 2, IMG_ERR_NULL},
      {"source width 0", s, {0, 8}, {0, 0, 8, 8}, false, {16, 16}, 2, 2, 2, IMG_ERR_SIZE},
      {"roi height 0", s, {8, 8}, {0, 0, 8, 0}, false, {16, 16}, 2, 2, 2, IMG_ERR_SIZE},
      {"roi x at width", s, {8, 8}, {8, 0, 2, 8}, false, {16, 16}, 2, 2, 2, IMG_WARN_ROI_OUTSIDE},
      {"roi y at height, odd x", s, {8, 8}, {1, 8, 2, 8}, false, {16, 16}, 2, 2, 2, IMG_WARN_ROI_OUTSIDE},
      {"destination height 0", s, {8, 8}, {0, 0, 8, 8}, false, {16, 0}, 2, 2, 2, IMG_ERR_SIZE},
      {"odd source width", s, {7, 8}, {0, 0, 6, 8}, false, {16, 16}, 2, 2, 2, IMG_ERR_SIZE},
      {"odd roi width", s, {8, 8}, {0, 0, 5, 8}, false, {16, 16}, 2, 2, 2, IMG_ERR_SIZE},
      {"odd roi x", s, {8, 8}, {1, 0, 4, 8}, false, {16, 16}, 2, 2, 2, IMG_ERR_SIZE},
      {"destination width 1", s, {8, 8}, {0, 0, 8, 8}, false, {1, 16}, 2, 2, 2, IMG_ERR_SIZE},
      {"odd width before factor", s, {8, 8}, {0, 0, 5, 8}, false, {16, 16}, 0, 2, 2, IMG_ERR_SIZE},
      {"factor 0", s, {8, 8}, {0, 0, 8, 8}, false, {16, 16}, 0, 2, 2, IMG_ERR_RESIZE_FACTOR},
      {"factor before interpolation", s, {8, 8}, {0, 0, 8, 8}, false, {16, 16}, 2, -1, 16, IMG_ERR_RESIZE_FACTOR},
      {"Lanczos-3", s, {8, 8}, {0, 0, 8, 8}, false, {16, 16}, 2, 2, 16, IMG_ERR_INTERPOLATION},
      {"interpolation 3", s, {8, 8}, {0, 0, 8, 8}, false, {16, 16}, 2, 2, 3, IMG_ERR_INTERPOLATION},
      {"empty width", s, {8, 8}, {0, 0, 2, 8}, false, {16, 16}, 0.7, 2, 2, IMG_ERR_EMPTY_DESTINATION},
      {"empty height", s, {8, 8}, {0, 0, 8, 1}, false, {16, 16}, 1, 0.4, 2, IMG_ERR_EMPTY_DESTINATION},
      {"interpolation before empty", s, {8, 8}, {0, 0, 2, 8}, false, {16, 16}, 0.7, 2, 3, IMG_ERR_INTERPOLATION},
      {"destination size before factor", s, {8, 8}, {0, 0, 8, 8}, false, {16, 0}, 0, 2, 2, IMG_ERR_SIZE},
      {"negative region before outside", s, {8, 8}, {-2, 8, 2, 8}, false, {16, 16}, 2, 2, 2, IMG_ERR_SIZE},
      {"area average enlarging", s, {8, 8}, {0, 0, 8, 8}, false, {16, 16}, 1.5, 1, 8, IMG_ERR_RESIZE_FACTOR},
      {"empty before area factor", s, {8, 8}, {0, 0, 2, 8}, false, {16, 16}, 0.1, 1.5, 8, IMG_ERR_EMPTY_DESTINATION},
  };
  for (CpuLevel level : resize_test::AllLevels())
    for (const Case& k : cases) {
      Image dst = Packed(16, 16);
      std::fill(dst.bytes.begin(), dst.bytes.end(), 0x77);
      CountingHooks hooks;
      ImgStatus st = ImgResizeYuy2Table[level](k.src, k.size, 16, k.roi, k.nullDst ? nullptr : dst.bytes.data(), 32,
                                               k.dstSize, k.xf, k.yf, k.interp);
      EXPECT_EQ(st, k.want) << k.what << " at level " << level;
      EXPECT_EQ(hooks.Calls(), 0) << k.what;
      for (u8 b : dst.bytes) ASSERT_EQ(b, 0x77) << k.what;
    }
}

TEST(ResizeYuy2Sizing, RaisesAndOddWidths) {
  Image src = Packed(8, 8);
  for (size_t i = 0; i < src.bytes.size(); ++i) src.bytes[i] = u8(i % 80);
  struct Case {
    ImgRect roi;
    double xf, yf;
    int dstW, dstH;
    int wantW, wantH;  // 0: empty destination
  };
  const Case cases[] = {
      {{0, 0, 2, 8}, 0.8, 1.0, 8, 8, 2, 8},  // 1.6000001 raised to 2
      {{0, 0, 2, 8}, 0.7, 1.0, 8, 8, 0, 0},  // 1.4000001
      {{0, 0, 2, 8}, 0.7499999, 1.0, 8, 8, 0, 0}, {{0, 0, 2, 8}, 0.75, 1.0, 8, 8, 2, 8},
      {{0, 0, 8, 1}, 1.0, 0.5, 8, 8, 8, 1},      // height 0.5000001 raised to 1
      {{0, 0, 8, 8}, 5.0 / 8, 1.0, 8, 8, 4, 8},  // width 5: two pairs
      {{0, 0, 8, 8}, 2.0, 2.0, 7, 5, 6, 5},      // the limit, odd: three pairs
      {{6, 6, 8, 8}, 2.0, 2.0, 8, 8, 4, 4},      // clipped to 2 x 2
  };
  for (int interp : {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_CUBIC, IMG_INTERP_SUPERSAMPLE})
    for (const Case& k : cases) {
      if (interp == IMG_INTERP_SUPERSAMPLE && (k.xf > 1.0 || k.yf > 1.0)) continue;
      Result r = Resize(src, k.roi, k.dstW, k.dstH, k.xf, k.yf, interp);
      if (k.wantW == 0) {
        EXPECT_EQ(r.status, IMG_ERR_EMPTY_DESTINATION) << k.xf;
        continue;
      }
      ASSERT_EQ(r.status, IMG_OK) << k.xf << " " << interp;
      for (int y = 0; y < k.dstH; ++y)
        for (int x = 0; x < 2 * k.dstW; ++x)
          EXPECT_EQ(r.out.At(x, y) == 0x5A, x >= 2 * k.wantW || y >= k.wantH)
              << "byte " << x << " row " << y << " factor " << k.xf << " interp " << interp;
    }
}

TEST(ResizeYuy2Linear, LumaAndChromaOnTheirOwnCornerAlignedGrids) {
  // Y 0, 64, 128, 192; pairs (U 10, V 100), (U 40, V 220); doubled: luma step 3/7,
  // chroma step 1/3, the last pixel and pair on the last source ones with full weight.
  Image src = Packed(4, 2);
  const int row[8] = {0, 10, 64, 100, 128, 40, 192, 220};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 8; ++x) src.At(x, y) = u8(row[x]);
  for (CpuLevel level : resize_test::AllLevels()) {
    SCOPED_TRACE(testing::Message() << "level " << level);
    Result r = Resize(src, {0, 0, 4, 2}, 8, 2, 2.0, 1.0, IMG_INTERP_LINEAR, ImgResizeYuy2Table[level]);
    ASSERT_EQ(r.status, IMG_OK);
    for (int y = 0; y < 2; ++y) {
      std::vector<int> ys;
      for (int x = 0; x < 16; x += 2) ys.push_back(r.out.At(x, y));
      EXPECT_EQ(ys, (std::vector<int>{0, 27, 55, 82, 110, 137, 165, 192}));
      EXPECT_EQ(Channel(r.out, y, 1, 4), (std::vector<int>{10, 20, 30, 40}));
      EXPECT_EQ(Channel(r.out, y, 3, 4), (std::vector<int>{100, 140, 180, 220}));
    }
  }
}

TEST(ResizeYuy2Nearest, HalvingPicksOddPixelsAndPairs) {
  Image src = Packed(8, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 16; ++x) src.At(x, y) = u8(10 * x + y);
  Result r = Resize(src, 4, 1, 0.5, 0.5, IMG_INTERP_NEAREST);
  ASSERT_EQ(r.status, IMG_OK);
  // Luma of pixels 1, 3, 5, 7 (bytes 2, 6, 10, 14); chroma of pairs 1 and 3; source row 1.
  EXPECT_EQ(Bytes(r.out, 0), (std::vector<int>{21, 51, 61, 71, 101, 131, 141, 151}));
}

TEST(ResizeYuy2, RegionOffsetStartsAtItsByte) {
  Image src = Packed(8, 2);
  for (size_t i = 0; i < src.bytes.size(); ++i) src.bytes[i] = u8(i);
  Result r = Resize(src, {2, 1, 4, 1}, 4, 1, 1.0, 1.0, IMG_INTERP_NEAREST);
  ASSERT_EQ(r.status, IMG_OK);
  EXPECT_EQ(Bytes(r.out, 0), (std::vector<int>{20, 21, 22, 23, 24, 25, 26, 27}));
}

TEST(ResizeYuy2, ConstantColourStaysAndIdentityReproduces) {
  Image flat = Packed(24, 14);
  for (int y = 0; y < 14; ++y)
    for (int x = 0; x < 48; x += 4)
      flat.At(x, y) = 81, flat.At(x + 1, y) = 90, flat.At(x + 2, y) = 81, flat.At(x + 3, y) = 240;
  for (int interp : {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_CUBIC, IMG_INTERP_SUPERSAMPLE})
    for (double f : {0.3, 0.5, 2.0 / 3, 1.0, 1.7, 2.5}) {
      if (interp == IMG_INTERP_SUPERSAMPLE && f > 1.0) continue;
      const int dw = 64, dh = 40;
      Result r = Resize(flat, dw, dh, f, f * 0.9, interp);
      ASSERT_EQ(r.status, IMG_OK);
      const int w = std::min(dw, std::max(2, int(24 * f + 1e-7))) / 2 * 2, h = std::max(1, int(14 * f * 0.9 + 1e-7));
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < 2 * w; x += 4)
          ASSERT_EQ((std::vector<int>{r.out.At(x, y), r.out.At(x + 1, y), r.out.At(x + 2, y), r.out.At(x + 3, y)}),
                    (std::vector<int>{81, 90, 81, 240}))
              << "interp " << interp << " factor " << f << " at " << x << "," << y;
      }
    }
  vorlix_test::Random rnd(2);
  Image src = Packed(24, 14);
  rnd.Fill(src.bytes.data(), src.bytes.size());
  for (int interp : {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_CUBIC, IMG_INTERP_SUPERSAMPLE}) {
    Result r = Resize(src, 24, 14, 1.0, 1.0, interp);
    ASSERT_EQ(r.status, IMG_OK);
    EXPECT_EQ(r.out.bytes, src.bytes) << interp;
  }
}

TEST(ResizeYuy2Cubic, HardEdgesStayInRange) {
  Image src = Packed(16, 10);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 32; ++x) src.At(x, y) = (x < 16) != (y < 5) ? 255 : 0;
  for (double f : {1.3, 2.0, 0.7}) {
    Result r = Resize(src, 64, 40, f, f, IMG_INTERP_CUBIC);
    ASSERT_EQ(r.status, IMG_OK);
    // Overshoot is clamped: both extremes appear, nothing wraps in between.
    bool saw0 = false, saw255 = false;
    for (u8 b : r.out.bytes) saw0 |= b == 0, saw255 |= b == 255;
    EXPECT_TRUE(saw0 && saw255) << f;
  }
  // Wrapping would show as a dark value inside the bright quarter.
  Result r = Resize(src, 32, 20, 2.0, 2.0, IMG_INTERP_CUBIC);
  ASSERT_EQ(r.status, IMG_OK);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 24; ++x) EXPECT_EQ(r.out.At(x, y), 0) << x << "," << y;
}

TEST(ResizeYuy2, FallBacksBySourceSize) {
  vorlix_test::Random rnd(4);
  struct Case {
    int w, h, interp, as;
  };
  for (const Case& k :
       {Case{6, 10, IMG_INTERP_CUBIC, IMG_INTERP_LINEAR}, Case{10, 6, IMG_INTERP_CUBIC, IMG_INTERP_LINEAR},
        Case{2, 10, IMG_INTERP_LINEAR, IMG_INTERP_NEAREST}, Case{2, 10, IMG_INTERP_CUBIC, IMG_INTERP_NEAREST},
        Case{10, 1, IMG_INTERP_LINEAR, IMG_INTERP_NEAREST}}) {
    Image src = Packed(k.w, k.h);
    rnd.Fill(src.bytes.data(), src.bytes.size());
    Result a = Resize(src, 40, 30, 2.3, 1.9, k.interp), b = Resize(src, 40, 30, 2.3, 1.9, k.as);
    ASSERT_EQ(a.status, IMG_OK);
    EXPECT_EQ(a.out.bytes, b.out.bytes) << k.w << "x" << k.h << " " << k.interp;
  }
}

TEST(ResizeYuy2SuperSample, HalvingAndFractionalRowWalk) {
  Image src = Packed(4, 4);
  // Y of pixel x in row y: 10y + x; U 100 + 4y + pair, V 200 + y + 10 pair.
  for (int y = 0; y < 4; ++y)
    for (int p = 0; p < 2; ++p) {
      src.At(4 * p, y) = u8(10 * y + 2 * p);
      src.At(4 * p + 1, y) = u8(100 + 4 * y + p);
      src.At(4 * p + 2, y) = u8(10 * y + 2 * p + 1);
      src.At(4 * p + 3, y) = u8(200 + y + 10 * p);
    }
  Result r = Resize(src, 2, 2, 0.5, 0.5, IMG_INTERP_SUPERSAMPLE);
  ASSERT_EQ(r.status, IMG_OK);
  // Y: mean of (0,1,10,11) = 5.5 -> 6; (2,3,12,13) = 7.5 -> 8. U: mean of 100,101,104,105
  // = 102.5 -> 103. V: 200,210,201,211 -> 205.5 -> 206.
  EXPECT_EQ(Bytes(r.out, 0), (std::vector<int>{6, 103, 8, 206}));
  EXPECT_EQ(Bytes(r.out, 1), (std::vector<int>{26, 111, 28, 208}));

  // Factor 0.6 vertically: rows (0 + 2/3 of 1), (1/3 of 1, 2, 1/3 of 3), (2/3 of 3, 4).
  Image col = Packed(2, 5);
  const int ys[5] = {0, 30, 60, 90, 150};
  for (int y = 0; y < 5; ++y) col.At(0, y) = col.At(2, y) = u8(ys[y]), col.At(1, y) = col.At(3, y) = 128;
  r = Resize(col, 2, 3, 1.0, 0.6, IMG_INTERP_SUPERSAMPLE);
  ASSERT_EQ(r.status, IMG_OK);
  // (0 + 20) * 0.6 = 12; (10 + 60 + 30) * 0.6 = 60; (60 + 150) * 0.6 = 126.
  EXPECT_EQ(Channel(r.out, 0, 0, 2)[0], 12);
  EXPECT_EQ(r.out.At(0, 1), 60);
  EXPECT_EQ(r.out.At(0, 2), 126);
  EXPECT_EQ(r.out.At(1, 2), 128);

  // Factor 2/3 horizontally (1.5 pixels and 1.5 pairs per output): luma cells
  // 0 + .5*30, .5*30 + 60, 90 + .5*120, .5*120 + 150; chroma: pair 0 + half of pair 1,
  // then the other half and pair 2; all times 2/3.
  Image row = Packed(6, 1);
  const int bytes[12] = {0, 30, 30, 200, 60, 60, 90, 100, 120, 90, 150, 50};
  for (int i = 0; i < 12; ++i) row.At(i, 0) = u8(bytes[i]);
  r = Resize(row, 4, 1, 2.0 / 3, 1.0, IMG_INTERP_SUPERSAMPLE);
  ASSERT_EQ(r.status, IMG_OK);
  EXPECT_EQ(Bytes(r.out, 0), (std::vector<int>{10, 40, 50, 167, 100, 80, 140, 67}));
}

// Raised extents: the one pair or row covers the clipped region and nothing past it.
TEST(ResizeYuy2SuperSample, RaisedExtentsReadNothingPastTheRegion) {
  Image src = Packed(2, 1);
  const int px[4] = {10, 20, 30, 40};
  for (int i = 0; i < 4; ++i) src.At(i, 0) = u8(px[i]);
  Result r = Resize(src, 2, 1, 0.8, 0.6, IMG_INTERP_SUPERSAMPLE);
  ASSERT_EQ(r.status, IMG_OK);
  EXPECT_EQ(Bytes(r.out, 0), (std::vector<int>{10, 20, 30, 40}));
  // Four pixels at 0.45 (1.8 raised to 2): each output pixel is the mean of two.
  Image wide = Packed(4, 3);
  const int row[8] = {10, 100, 30, 200, 50, 110, 71, 210};
  for (int y = 0; y < 3; ++y)
    for (int i = 0; i < 8; ++i) wide.At(i, y) = u8(row[i]);
  r = Resize(wide, 2, 1, 0.45, 0.3, IMG_INTERP_SUPERSAMPLE);
  ASSERT_EQ(r.status, IMG_OK);
  EXPECT_EQ(Bytes(r.out, 0), (std::vector<int>{20, 105, 61, 205}));
}

TEST(ResizeYuy2, NegativeSourceStepGivesTheMirroredResult) {
  vorlix_test::Random rnd(6);
  Image src = Packed(22, 17), flipped = Packed(22, 17);
  rnd.Fill(src.bytes.data(), src.bytes.size());
  for (int y = 0; y < 17; ++y) std::memcpy(flipped.Row(y), src.Row(16 - y), 44);
  for (int interp : {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_CUBIC, IMG_INTERP_SUPERSAMPLE})
    for (double f : {0.45, 1.0, 1.8}) {
      if (interp == IMG_INTERP_SUPERSAMPLE && f > 1.0) continue;
      Result want = Resize(flipped, 50, 40, f, f, interp);
      Result got = Resize(src, {0, 0, 22, 17}, 50, 40, f, f, interp, ImgResizeYuy2, src.Row(16), -src.step);
      ASSERT_EQ(got.status, IMG_OK);
      EXPECT_EQ(got.out.bytes, want.out.bytes) << interp << " " << f;
    }
}

TEST(ResizeYuy2, AllocationFailureEndsWithNoMemoryAndNothingWritten) {
  vorlix_test::Random rnd(8);
  Image src = Packed(20, 12);
  rnd.Fill(src.bytes.data(), src.bytes.size());
  struct Case {
    int interp, allocations;
  };
  for (const Case& k : {Case{IMG_INTERP_NEAREST, 3}, Case{IMG_INTERP_LINEAR, 8}, Case{IMG_INTERP_CUBIC, 10},
                        Case{IMG_INTERP_SUPERSAMPLE, 1}}) {
    const double f = k.interp == IMG_INTERP_SUPERSAMPLE ? 0.5 : 1.5;
    for (CpuLevel level : resize_test::AllLevels()) {
      SCOPED_TRACE(testing::Message() << "level " << level);
      {
        CountingHooks hooks;
        ASSERT_EQ(Resize(src, {0, 0, 20, 12}, 30, 18, f, f, k.interp, ImgResizeYuy2Table[level]).status, IMG_OK);
        EXPECT_EQ(hooks.Calls(), k.allocations) << k.interp;
        EXPECT_EQ(hooks.Live(), 0);
      }
      for (int fail = 0; fail < k.allocations; ++fail) {
        CountingHooks hooks;
        hooks.FailAt(fail);
        Result r = Resize(src, {0, 0, 20, 12}, 30, 18, f, f, k.interp, ImgResizeYuy2Table[level]);
        EXPECT_EQ(r.status, IMG_ERR_NO_MEMORY) << k.interp << " allocation " << fail;
        EXPECT_EQ(hooks.Live(), 0);
        for (u8 b : r.out.bytes) ASSERT_EQ(b, 0x5A);
      }
    }
  }
}

// The linear vertical pass blends whole blocks of eight pairs and finishes row ends one
// pair at a time. Destination widths around those blocks, with rows of full-scale
// contrast (0 against 255, the largest differences the blend sees), weights from none to
// all on the lower row, and mirrored sources, give level 0's bytes at every level.
TEST(ResizeYuy2Linear, HardContrastAtVectorEdgesEveryLevel) {
  vorlix_test::Random rnd(0x8E);
  const int widths[] = {7, 8, 9, 15, 16, 17, 24, 33};  // destination pairs
  const double yfs[] = {2.0, 1.5, 0.75, 3.3};
  for (int pairs : widths)
    for (double yf : yfs)
      for (bool flip : {false, true}) {
        const int w = 2 * rnd.Int(4, 30), h = rnd.Int(2, 20);
        Image src = Packed(w, h, rnd.Int(0, 4));
        for (int y = 0; y < h; ++y) {
          const int kind = rnd.Int(0, 3);
          for (int x = 0; x < src.width; ++x)
            src.At(x, y) = kind == 0   ? 0
                           : kind == 1 ? 255
                           : kind == 2 ? u8(((x >> 1) + y) & 1 ? 255 : 0)
                                       : u8(rnd.Int(0, 255));
        }
        const int dw = 2 * pairs, dh = std::max(1, int(h * yf + 1e-7));
        const double xf = double(dw) / w;
        const u8* base = flip ? src.Row(h - 1) : src.bytes.data();
        const int step = flip ? -src.step : src.step;
        Result want = Resize(src, {0, 0, w, h}, dw, dh, xf, yf, IMG_INTERP_LINEAR, ImgResizeYuy2Table[0], base, step);
        ASSERT_EQ(want.status, IMG_OK);
        for (CpuLevel level : vorlix_test::RunnableLevels()) {
          Result got =
              Resize(src, {0, 0, w, h}, dw, dh, xf, yf, IMG_INTERP_LINEAR, ImgResizeYuy2Table[level], base, step);
          ASSERT_EQ(got.status, IMG_OK);
          ASSERT_EQ(got.out.bytes, want.out.bytes)
              << "level " << level << " pairs " << pairs << " from " << w << "x" << h << " factor " << yf;
        }
      }
}

TEST(ResizeYuy2, EveryLevelMatchesLevelZero) {
  vorlix_test::Random rnd(0x422);
  const auto levels = vorlix_test::RunnableLevels();
  const int interps[] = {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_CUBIC, IMG_INTERP_SUPERSAMPLE};
  for (int iter = 0; iter < 300; ++iter) {
    const int w = 2 * rnd.Int(1, 40), h = rnd.Int(1, 40);
    Image src = Packed(w, h, rnd.Int(0, 5));
    rnd.Fill(src.bytes.data(), src.bytes.size());
    ImgRect roi{2 * rnd.Int(0, w / 2 - 1), rnd.Int(0, h - 1), 2 * rnd.Int(1, w / 2 + 1), rnd.Int(1, h + 2)};
    const int interp = interps[rnd.Int(0, 3)];
    double xf = rnd.Int(1, 400) / 100.0, yf = rnd.Int(1, 400) / 100.0;
    if (interp == IMG_INTERP_SUPERSAMPLE) xf = std::min(xf, 1.0), yf = std::min(yf, 1.0);
    const int dw = rnd.Int(2, 100), dh = rnd.Int(1, 100);
    const bool flip = rnd.Int(0, 3) == 0;
    const u8* base = flip ? src.Row(h - 1) : src.bytes.data();
    Result want = Resize(src, roi, dw, dh, xf, yf, interp, ImgResizeYuy2Table[0], base, flip ? -src.step : src.step);
    for (CpuLevel level : levels) {
      Result got =
          Resize(src, roi, dw, dh, xf, yf, interp, ImgResizeYuy2Table[level], base, flip ? -src.step : src.step);
      ASSERT_EQ(got.status, want.status) << "level " << level;
      // The vector cubic passes multiply by a third and add in another order: one apart
      // at most. Everything else is level 0's bytes.
      const int allowed = interp == IMG_INTERP_CUBIC ? 1 : 0;
      for (size_t i = 0; i < want.out.bytes.size(); ++i)
        ASSERT_LE(std::abs(int(got.out.bytes[i]) - int(want.out.bytes[i])), allowed)
            << "level " << level << " iteration " << iter << " interp " << interp << " byte " << i;
    }
  }
}

}  // namespace

namespace {

// Regions against the image's right and bottom edges, enlarged and reduced by every
// kind, in an image with no byte past its last row: every tap index stays inside the
// image (the sanitizers see any read past it), and the last pixels and rows come from
// the image's last pixels and rows.
TEST(ResizeYuy2, RegionsAtTheRightAndBottomEdgeStayInsideTheImage) {
  vorlix_test::Random rnd(0xED6E);
  for (CpuLevel level : resize_test::AllLevels())
    for (int interp : {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_CUBIC}) {
      for (int iter = 0; iter < 20; ++iter) {
        const int w = 2 * rnd.Int(1, 12), h = rnd.Int(1, 12);
        Image src = Packed(w, h);
        rnd.Fill(src.bytes.data(), src.bytes.size());
        const int rw = 2 * rnd.Int(1, w / 2), rh = rnd.Int(1, h);
        const ImgRect roi{w - rw, h - rh, rw + 2 * rnd.Int(0, 3), rh + rnd.Int(0, 3)};  // clipped to the image
        const double xf = rnd.Int(30, 400) / 100.0, yf = rnd.Int(30, 400) / 100.0;
        Result r = Resize(src, roi, 2 * rnd.Int(1, 20), rnd.Int(1, 30), xf, yf, interp, ImgResizeYuy2Table[level]);
        ASSERT_TRUE(r.status == IMG_OK || r.status == IMG_ERR_EMPTY_DESTINATION) << r.status;
      }
      // A constant last column and row: enlarging a region of the bottom-right corner
      // keeps them.
      Image src = Packed(8, 8);
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) src.At(x, y) = u8(x < 12 || y < 6 ? 200 : 40);
      Result r = Resize(src, {6, 6, 2, 2}, 8, 8, 3.0, 3.0, interp, ImgResizeYuy2Table[level]);
      ASSERT_EQ(r.status, IMG_OK);
      EXPECT_EQ(r.out.At(2 * 5, 5), 40) << interp;  // luma of the last pixel of the last row
    }
}

// The area average's steps just above and just below a whole number of pixels take
// their own walks (whole cells and cut cells) and give the same picture within one of
// the whole step's.
TEST(ResizeYuy2SuperSample, StepsNextToAWholeNumber) {
  vorlix_test::Random rnd(0xA2EA);
  Image src = Packed(24, 12);
  rnd.Fill(src.bytes.data(), src.bytes.size());
  for (CpuLevel level : resize_test::AllLevels()) {
    Result whole = Resize(src, {0, 0, 24, 12}, 12, 6, 0.5, 0.5, IMG_INTERP_SUPERSAMPLE, ImgResizeYuy2Table[level]);
    ASSERT_EQ(whole.status, IMG_OK);
    for (double eps : {1e-9, 1e-6, -1e-9, -1e-6}) {
      const double f = 1.0 / (2.0 + eps);
      Result near = Resize(src, {0, 0, 24, 12}, 12, 6, f, f, IMG_INTERP_SUPERSAMPLE, ImgResizeYuy2Table[level]);
      ASSERT_EQ(near.status, IMG_OK) << eps;
      // A step just above 2 sizes the destination one pixel and one row short (11 x 5).
      const int rows = eps > 0 ? 5 : 6, bytes = eps > 0 ? 20 : 24;
      for (int y = 0; y < rows; ++y)
        for (int x = 0; x < bytes; ++x)
          ASSERT_LE(std::abs(int(near.out.At(x, y)) - int(whole.out.At(x, y))), 1) << eps << " at " << x << "," << y;
    }
  }
}

}  // namespace
