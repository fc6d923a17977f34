// ImgResizeU8C1 through its dispatch stub: argument checks in order, destination sizing,
// fall-backs, the corner-aligned linear mapping and its fixed-point rounding, nearest
// picks, area averaging, and every level against level 0.
#include <cmath>

#include "tests/imaging/resize/resize_test_support.h"

namespace {

using resize_test::CountingHooks;
using resize_test::FromRows;
using resize_test::Image;

struct Call {
  const u8* src;
  ImgSize srcSize;
  int srcStep;
  ImgRect roi;
  u8* dst;
  int dstStep;
  ImgSize dstSize;
  double xf, yf;
  int interp;
};

ImgStatus RunCall(const Call& c) {
  return ImgResizeU8C1(c.src, c.srcSize, c.srcStep, c.roi, c.dst, c.dstStep, c.dstSize, c.xf, c.yf, c.interp);
}

// The result of a call on a fresh destination of dw x dh filled with 0x5A.
struct Result {
  ImgStatus status;
  Image out;
};
Result Resize(const Image& src, ImgRect roi, int dw, int dh, double xf, double yf, int interp,
              ImgResizeU8C1Fn fn = ImgResizeU8C1) {
  Result r{0, Image(dw, dh)};
  std::fill(r.out.bytes.begin(), r.out.bytes.end(), 0x5A);
  r.status = fn(src.bytes.data(), {src.width, src.height}, src.step, roi, r.out.bytes.data(), r.out.step, {dw, dh}, xf,
                yf, interp);
  return r;
}
Result Resize(const Image& src, int dw, int dh, double xf, double yf, int interp) {
  return Resize(src, {0, 0, src.width, src.height}, dw, dh, xf, yf, interp);
}

std::vector<int> Row(const Image& img, int y) { return std::vector<int>(img.Row(y), img.Row(y) + img.width); }

TEST(ResizeU8C1Checks, StatusesInOrderWithNothingWrittenOrAllocated) {
  Image src(8, 8);
  Image dst(16, 16);
  std::fill(dst.bytes.begin(), dst.bytes.end(), 0x77);
  const Call ok{src.bytes.data(), {8, 8}, 8, {0, 0, 8, 8}, dst.bytes.data(), 16, {16, 16}, 2.0, 2.0, IMG_INTERP_LINEAR};
  struct Case {
    const char* what;
    Call call;
    ImgStatus want;
  };
  auto with = [&](auto edit) {
    Call c = ok;
    edit(c);
    return c;
  };
  const Case cases[] = {
      {"null source", with([](Call& c) { c.src = nullptr; }), IMG_ERR_NULL},
      {"null destination", with([](Call& c) { c.dst = nullptr; }), IMG_ERR_NULL},
      {"null before size", with([](Call& c) { c.dst = nullptr, c.srcSize.width = 0; }), IMG_ERR_NULL},
      {"source width 0", with([](Call& c) { c.srcSize.width = 0; }), IMG_ERR_SIZE},
      {"source height -1", with([](Call& c) { c.srcSize.height = -1; }), IMG_ERR_SIZE},
      {"roi x negative", with([](Call& c) { c.roi.x = -1; }), IMG_ERR_SIZE},
      {"roi y negative", with([](Call& c) { c.roi.y = -1; }), IMG_ERR_SIZE},
      {"roi width 0", with([](Call& c) { c.roi.width = 0; }), IMG_ERR_SIZE},
      {"roi height 0", with([](Call& c) { c.roi.height = 0; }), IMG_ERR_SIZE},
      {"roi x at width", with([](Call& c) { c.roi.x = 8; }), IMG_WARN_ROI_OUTSIDE},
      {"roi y at height", with([](Call& c) { c.roi.y = 8; }), IMG_WARN_ROI_OUTSIDE},
      {"outside before destination size", with([](Call& c) { c.roi.y = 8, c.dstSize.width = 0; }),
       IMG_WARN_ROI_OUTSIDE},
      {"destination width 0", with([](Call& c) { c.dstSize.width = 0; }), IMG_ERR_SIZE},
      {"destination height 0", with([](Call& c) { c.dstSize.height = 0; }), IMG_ERR_SIZE},
      {"x factor 0", with([](Call& c) { c.xf = 0.0; }), IMG_ERR_RESIZE_FACTOR},
      {"y factor -1", with([](Call& c) { c.yf = -1.0; }), IMG_ERR_RESIZE_FACTOR},
      {"factor NaN", with([](Call& c) { c.xf = std::nan(""); }), IMG_ERR_RESIZE_FACTOR},
      {"factor before interpolation", with([](Call& c) { c.xf = 0.0, c.interp = 3; }), IMG_ERR_RESIZE_FACTOR},
      {"interpolation 3", with([](Call& c) { c.interp = 3; }), IMG_ERR_INTERPOLATION},
      {"interpolation 32", with([](Call& c) { c.interp = 32; }), IMG_ERR_INTERPOLATION},
      {"interpolation 0", with([](Call& c) { c.interp = 0; }), IMG_ERR_INTERPOLATION},
      {"area average enlarging", with([](Call& c) { c.interp = IMG_INTERP_SUPERSAMPLE, c.xf = 1.5; }),
       IMG_ERR_INTERPOLATION},
      {"area average, factor 0", with([](Call& c) { c.interp = IMG_INTERP_SUPERSAMPLE, c.xf = 0.0; }),
       IMG_ERR_RESIZE_FACTOR},
      {"empty width", with([](Call& c) { c.roi.width = 1, c.xf = 0.4; }), IMG_ERR_EMPTY_DESTINATION},
      {"empty height", with([](Call& c) { c.roi.height = 1, c.yf = 0.4; }), IMG_ERR_EMPTY_DESTINATION},
      {"interpolation before empty", with([](Call& c) { c.roi.width = 1, c.xf = 0.4, c.interp = 3; }),
       IMG_ERR_INTERPOLATION},
      {"destination size before factor", with([](Call& c) { c.dstSize.height = 0, c.xf = 0.0; }), IMG_ERR_SIZE},
      {"negative region before outside", with([](Call& c) { c.roi.x = -1, c.roi.y = 8; }), IMG_ERR_SIZE},
      {"empty, area average",
       with([](Call& c) { c.roi.width = 1, c.xf = 0.4, c.yf = 1.0, c.interp = IMG_INTERP_SUPERSAMPLE; }),
       IMG_ERR_EMPTY_DESTINATION},
  };
  for (CpuLevel level : resize_test::AllLevels()) {
    for (const Case& k : cases) {
      CountingHooks hooks;
      const Call& c = k.call;
      ImgStatus st = ImgResizeU8C1Table[level](c.src, c.srcSize, c.srcStep, c.roi, c.dst, c.dstStep, c.dstSize, c.xf,
                                               c.yf, c.interp);
      EXPECT_EQ(st, k.want) << k.what << " at level " << level;
      EXPECT_EQ(hooks.Calls(), 0) << k.what;
      for (u8 b : dst.bytes) ASSERT_EQ(b, 0x77) << k.what;
    }
  }
  EXPECT_EQ(RunCall(ok), IMG_OK);
}

TEST(ResizeU8C1Sizing, ProductsAtTheEdges) {
  struct Case {
    int roiW;
    double xf;
    int dstLimit;
    int wantW;  // 0: empty destination
  };
  const Case cases[] = {
      {1, 0.6, 16, 1},               // 0.6000001 raised to 1
      {1, 0.4, 16, 0},               // 0.4000001: nothing to write
      {1, 0.4999999, 16, 1},         // just reaches 0.5 with the snap
      {1, 0.4999998, 16, 0},         // just under 0.5
      {352, 240.0 / 352, 400, 240},  // 239.99999999999997 snaps to 240
      {1400, 720.0 / 1400, 800, 720},
      {10, 1.5, 16, 15},
      {10, 1.5, 12, 12},      // the destination limit wins
      {3, 0.4999999, 16, 1},  // 1.4999997: truncates to 1
  };
  for (const Case& k : cases) {
    Image src(k.roiW, 2);
    for (size_t i = 0; i < src.bytes.size(); ++i) src.bytes[i] = u8(i % 80);
    CountingHooks hooks;
    Result r = Resize(src, k.dstLimit, 2, k.xf, 1.0, IMG_INTERP_NEAREST);
    if (k.wantW == 0) {
      EXPECT_EQ(r.status, IMG_ERR_EMPTY_DESTINATION) << k.roiW << " x " << k.xf;
      EXPECT_EQ(hooks.Calls(), 0);
      continue;
    }
    ASSERT_EQ(r.status, IMG_OK) << k.roiW << " x " << k.xf;
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < k.dstLimit; ++x)
        EXPECT_EQ(r.out.At(x, y) == 0x5A, x >= k.wantW) << "column " << x << " for " << k.roiW << " x " << k.xf;
    EXPECT_EQ(hooks.Live(), 0);
  }
}

TEST(ResizeU8C1Sizing, RegionClippedAtTheImageEdgeAndDestinationLimit) {
  Image src(6, 6);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 6; ++x) src.At(x, y) = u8(10 * y + x);
  // Region (4, 3, 10, 10) is clipped to 2 x 3; factor 2 gives 4 x 6.
  Result r = Resize(src, {4, 3, 10, 10}, 8, 8, 2.0, 2.0, IMG_INTERP_NEAREST);
  ASSERT_EQ(r.status, IMG_OK);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      if (x < 4 && y < 6)
        EXPECT_EQ(r.out.At(x, y), src.At(4 + x / 2, 3 + y / 2)) << x << "," << y;
      else
        EXPECT_EQ(r.out.At(x, y), 0x5A) << x << "," << y;
    }
  // A smaller destination is written only as far as it reaches.
  r = Resize(src, {0, 0, 6, 6}, 3, 2, 2.0, 2.0, IMG_INTERP_NEAREST);
  ASSERT_EQ(r.status, IMG_OK);
  EXPECT_EQ(Row(r.out, 0), (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(Row(r.out, 1), (std::vector<int>{0, 0, 1}));
}

TEST(ResizeU8C1Linear, HandWorkedPicture) {
  // Corner-aligned: 2 columns x 1.5 land at 0, 0.5, 1; 2 rows x 2.5 at 0, .25, .5, .75, 1.
  // Horizontal pass of row 0: 640, (8192*20 + 8192*10 + 128) >> 8 = 960, 1280; of row 1:
  // 1920, 2240, 2560. Row weights 0, 4096, 8192, 12288, then the last row whole:
  // (4096*1920 + 12288*640 + 2^19) >> 20 = 15, and so on.
  Image src = FromRows({{10, 20}, {30, 40}});
  const int want[5][3] = {{10, 15, 20}, {15, 20, 25}, {20, 25, 30}, {25, 30, 35}, {30, 35, 40}};
  for (CpuLevel level : resize_test::AllLevels()) {
    Result r = Resize(src, {0, 0, 2, 2}, 3, 5, 1.5, 2.5, IMG_INTERP_LINEAR, ImgResizeU8C1Table[level]);
    ASSERT_EQ(r.status, IMG_OK);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 3; ++x) EXPECT_EQ(r.out.At(x, y), want[y][x]) << x << "," << y << " level " << level;
  }
}

TEST(ResizeU8C1Linear, FixedPointRoundingHalvesUp) {
  struct Case {
    int a, b, want;
  };
  // The middle column takes both neighbours with weight 8192: (a + b) / 2 rounded half up,
  // through the 1/64 work value.
  const Case cases[] = {{0, 1, 1}, {255, 255, 255}, {254, 255, 255}, {0, 255, 128}, {10, 20, 15}, {3, 4, 4}};
  for (const Case& k : cases) {
    Image src = FromRows({{k.a, k.b}, {k.a, k.b}});
    Result r = Resize(src, 3, 2, 1.5, 1.0, IMG_INTERP_LINEAR);
    ASSERT_EQ(r.status, IMG_OK);
    EXPECT_EQ(Row(r.out, 0), (std::vector<int>{k.a, k.want, k.b})) << k.a << "/" << k.b;
    EXPECT_EQ(Row(r.out, 1), Row(r.out, 0));
  }
}

TEST(ResizeU8C1Linear, CornersLandOnRegionCornersAndEdgeNeighboursGetNoWeight) {
  // Region of 4 columns doubled: step 3/7, destination columns 0 and 7 on source 0 and 3.
  Image src(6, 2);
  const int row[6] = {10, 50, 90, 130, 250, 0};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 6; ++x) src.At(x, y) = u8(row[x]);
  for (int poison : {250, 0}) {
    src.At(4, 0) = src.At(4, 1) = u8(poison);
    Result r = Resize(src, {0, 0, 4, 2}, 8, 2, 2.0, 1.0, IMG_INTERP_LINEAR);
    ASSERT_EQ(r.status, IMG_OK);
    EXPECT_EQ(r.out.At(0, 0), 10);
    EXPECT_EQ(r.out.At(7, 0), 130) << "the column right of the region is read with weight 0";
    // Interior columns: 10 + 40 * (i * 3 / 7), rounded.
    for (int i = 1; i < 7; ++i) EXPECT_NEAR(r.out.At(i, 0), 10 + 40.0 * i * 3 / 7, 0.5 + 1e-9) << "column " << i;
  }
  // The region ending at the image's last column: its last column pairs 4 with 5.
  Result r = Resize(src, {2, 0, 4, 2}, 8, 2, 2.0, 1.0, IMG_INTERP_LINEAR);
  ASSERT_EQ(r.status, IMG_OK);
  EXPECT_EQ(r.out.At(0, 0), 90);
  EXPECT_EQ(r.out.At(7, 0), 0);
}

TEST(ResizeU8C1Nearest, PicksCentresAndClampsRaisedExtents) {
  Image src = FromRows({{0, 10, 20, 30, 40, 50}, {60, 70, 80, 90, 100, 110}});
  Result r = Resize(src, 3, 2, 0.5, 1.0, IMG_INTERP_NEAREST);
  ASSERT_EQ(r.status, IMG_OK);
  EXPECT_EQ(Row(r.out, 0), (std::vector<int>{10, 30, 50}));
  // A region of one column at factor 0.5 raises the width to 1 and would pick column 1
  // of a one-column image; the pick stays on the image's last column.
  Image one = FromRows({{7}, {9}});
  r = Resize(one, 1, 2, 0.5, 1.0, IMG_INTERP_NEAREST);
  ASSERT_EQ(r.status, IMG_OK);
  EXPECT_EQ(Row(r.out, 0), (std::vector<int>{7}));
  EXPECT_EQ(Row(r.out, 1), (std::vector<int>{9}));
}

// The driver's field-to-frame call: factors 1 and 2 on a field of h/2 rows.
TEST(ResizeU8C1Linear, FieldToFrameKeepsFieldRowsAndBlendsBetween) {
  for (int planeH : {8, 9}) {
    const int w = 21;
    Image plane(w, planeH);
    vorlix_test::Random rnd(planeH);
    rnd.Fill(plane.bytes.data(), plane.bytes.size());
    Image frame(w, planeH);
    std::fill(frame.bytes.begin(), frame.bytes.end(), 0x5A);
    // One field: every other row, step doubled.
    ImgStatus st = ImgResizeU8C1(plane.bytes.data(), {w, planeH / 2}, 2 * w, {0, 0, w, planeH / 2}, frame.bytes.data(),
                                 w, {w, planeH}, 1.0, 2.0, IMG_INTERP_LINEAR);
    ASSERT_EQ(st, IMG_OK);
    const int rowsOut = 2 * (planeH / 2);
    EXPECT_EQ(rowsOut, planeH % 2 ? planeH - 1 : planeH);
    for (int x = 0; x < w; ++x) {
      EXPECT_EQ(frame.At(x, 0), plane.At(x, 0));
      EXPECT_EQ(frame.At(x, rowsOut - 1), plane.At(x, 2 * (planeH / 2 - 1)));
      for (int y = rowsOut; y < planeH; ++y) EXPECT_EQ(frame.At(x, y), 0x5A);
    }
  }
}

TEST(ResizeU8C1, ConstantImagesStayConstantAndFactorOneIsIdentity) {
  vorlix_test::Random rnd(7);
  Image src(13, 11);
  rnd.Fill(src.bytes.data(), src.bytes.size());
  for (int interp : {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_SUPERSAMPLE}) {
    Result r = Resize(src, {2, 3, 9, 7}, 9, 7, 1.0, 1.0, interp);
    ASSERT_EQ(r.status, IMG_OK) << interp;
    for (int y = 0; y < 7; ++y)
      for (int x = 0; x < 9; ++x) ASSERT_EQ(r.out.At(x, y), src.At(2 + x, 3 + y)) << interp;
  }
  Image flat(17, 9);
  for (int v : {0, 1, 200, 255}) {
    std::fill(flat.bytes.begin(), flat.bytes.end(), u8(v));
    for (int interp : {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_SUPERSAMPLE})
      for (double f : {0.4, 1.0 / 3, 0.75}) {
        Result r = Resize(flat, 40, 40, f, f * 0.9, interp);
        ASSERT_EQ(r.status, IMG_OK);
        const int dw = std::max(1, int(17 * f + 1e-7)), dh = std::max(1, int(9 * f * 0.9 + 1e-7));
        for (int y = 0; y < dh; ++y) {
          for (int x = 0; x < dw; ++x) ASSERT_EQ(r.out.At(x, y), v) << interp << " " << f;
        }
      }
    for (double f : {1.7, 2.0, 3.3}) {
      Result r = Resize(flat, 60, 40, f, f / 1.5, IMG_INTERP_LINEAR);
      ASSERT_EQ(r.status, IMG_OK);
      for (int y = 0; y < int(9 * f / 1.5 + 1e-7); ++y) {
        for (int x = 0; x < int(17 * f + 1e-7) && x < 60; ++x) ASSERT_EQ(r.out.At(x, y), v);
      }
    }
  }
}

// Model of the linear path without the ring of work rows: both passes per pixel.
Image LinearModel(const Image& src, ImgRect roi, int dw, int dh, double xf, double yf) {
  auto axis = [](int n, double f, int origin, int extent, int count, std::vector<int>& base, std::vector<u32>& w) {
    double nf = n * f, step = nf > 1.0 ? (n - 1) / (nf - 1.0) : 0.0, pos = 0.0;
    for (int i = 0; i < count; ++i, pos += step) {
      int j = int(pos + 1e-7);
      if (origin + j >= extent - 1) {
        base.push_back(extent - 1 - origin - 1);
        w.push_back(16384);
      } else {
        base.push_back(j);
        w.push_back(u32((pos - j) * 16384.0 + 1e-7));
      }
    }
  };
  std::vector<int> bx, by;
  std::vector<u32> wx, wy;
  axis(roi.width, xf, roi.x, src.width, dw, bx, wx);
  axis(roi.height, yf, roi.y, src.height, dh, by, wy);
  Image out(dw, dh);
  for (int y = 0; y < dh; ++y)
    for (int x = 0; x < dw; ++x) {
      auto h = [&](int r) {
        const u8* row = src.Row(roi.y + r) + roi.x;
        return ((16384 - wx[x]) * row[bx[x]] + wx[x] * row[bx[x] + 1] + 128u) >> 8;
      };
      out.At(x, y) = u8((wy[y] * h(by[y] + 1) + (16384 - wy[y]) * h(by[y]) + 0x80000u) >> 20);
    }
  return out;
}

TEST(ResizeU8C1Linear, RingOfWorkRowsMatchesPerPixelModel) {
  vorlix_test::Random rnd(11);
  Image src(37, 41);
  rnd.Fill(src.bytes.data(), src.bytes.size());
  // Row advances of 0/1 (enlarging) and 1..7 (reducing), regions inside and at edges.
  struct Case {
    ImgRect roi;
    double xf, yf;
  };
  const Case cases[] = {{{0, 0, 37, 41}, 2.3, 3.1},  {{0, 0, 37, 41}, 0.5, 0.34}, {{3, 5, 20, 30}, 1.0, 0.2},
                        {{3, 5, 40, 40}, 0.7, 0.15}, {{0, 0, 37, 41}, 1.0, 2.0},  {{36, 40, 5, 5}, 3.0, 3.0}};
  for (const Case& k : cases) {
    int n = std::min(k.roi.width, 37 - k.roi.x), m = std::min(k.roi.height, 41 - k.roi.y);
    int dw = std::max(1, int(n * k.xf + 1e-7)), dh = std::max(1, int(m * k.yf + 1e-7));
    ImgRect clipped{k.roi.x, k.roi.y, n, m};
    Image want = LinearModel(src, clipped, dw, dh, k.xf, k.yf);
    for (CpuLevel level : resize_test::AllLevels()) {
      Result r = Resize(src, k.roi, dw, dh, k.xf, k.yf, IMG_INTERP_LINEAR, ImgResizeU8C1Table[level]);
      ASSERT_EQ(r.status, IMG_OK);
      EXPECT_EQ(r.out.bytes, want.bytes) << k.xf << " x " << k.yf << " level " << level;
    }
  }
}

// Columns at a factor of 1 take the one-pass vertical blend. Its blocks, its overlapping
// last block and its short rows are checked on widths around the vector width, with row
// weights below, at and above one half (pairs of rows between the same source rows with
// either base), at every level, against the per-pixel model and level 0, on upright and
// mirrored sources and on regions ending inside the image.
TEST(ResizeU8C1Linear, IdentityColumnsAtVectorEdgesEveryLevel) {
  vorlix_test::Random rnd(21);
  struct Rows {
    int h;
    double yf;
  };
  const Rows rows[] = {{2, 1.5}, {3, 2.0}, {5, 1.75}, {9, 2.0}, {17, 3.3}, {24, 2.0}, {7, 0.7}, {6, 1.2}};
  for (int w : {1, 2, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 79, 80, 81, 127, 128, 129, 200})
    for (const Rows& k : rows)
      for (int variant = 0; variant < 3; ++variant) {
        const int pad = rnd.Int(0, 5);
        Image src(w + 2, k.h + 1, w + 2 + pad);
        rnd.Fill(src.bytes.data(), src.bytes.size());
        // Variant 0: the whole image; 1: the same picture upside down through a negative
        // step; 2: a region one column and one row in from the top left.
        const bool flip = variant == 1;
        const ImgRect roi = variant == 2 ? ImgRect{1, 1, w, k.h} : ImgRect{0, 0, w + 2, k.h + 1};
        const int n = roi.width, m = roi.height;
        const int dh = std::max(1, int(m * k.yf + 1e-7)), dw = n, dstep = dw + rnd.Int(0, 3);
        const u8* s = flip ? src.Row(src.height - 1) : src.bytes.data();
        const int sstep = flip ? -src.step : src.step;
        auto run = [&](ImgResizeU8C1Fn fn, std::vector<u8>& out) {
          out.assign(size_t(dstep) * dh, 0x5A);
          return fn(s, {src.width, src.height}, sstep, roi, out.data(), dstep, {dw, dh}, 1.0, k.yf, IMG_INTERP_LINEAR);
        };
        std::vector<u8> want, got;
        ASSERT_EQ(run(ImgResizeU8C1Table[0], want), IMG_OK);
        if (!flip) {
          Image model = LinearModel(src, roi, dw, dh, 1.0, k.yf);
          for (int y = 0; y < dh; ++y)
            ASSERT_EQ(0, std::memcmp(model.Row(y), want.data() + size_t(y) * dstep, size_t(dw)))
                << w << " x " << k.h << " row " << y;
        }
        for (CpuLevel level : vorlix_test::RunnableLevels()) {
          ASSERT_EQ(run(ImgResizeU8C1Table[level], got), IMG_OK);
          ASSERT_EQ(got, want) << "level " << level << " width " << w << " rows " << k.h << " factor " << k.yf
                               << " variant " << variant;
        }
      }
}

// Whole power-of-two cells (2 or 4 columns by 1 to 64 rows) take the rows that sum
// neighbouring columns in 16-bit lanes. Output widths around their blocks of 16 and 32,
// full-scale contents (the largest sums the lanes hold), mirrored sources and sources one
// column and row larger than the cells cover, against (sum + half) >> log2(area) and at
// every level against level 0.
TEST(ResizeU8C1SuperSample, PowerOfTwoCellsAtVectorEdgesEveryLevel) {
  vorlix_test::Random rnd(0x2B0);
  for (int cols : {2, 4})
    for (int rows : {1, 2, 4, 8, 64})
      for (int dw : {1, 7, 15, 16, 17, 31, 32, 33, 47, 48, 49, 64, 65})
        for (int variant = 0; variant < 3; ++variant) {
          const int dh = rows == 64 ? 2 : rnd.Int(1, 5);
          const int w = cols * dw + (variant == 2 ? 1 : 0), h = rows * dh + (variant == 2 ? 1 : 0);
          Image src(w, h, w + rnd.Int(0, 3));
          const int content = rnd.Int(0, 2);
          for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
              src.At(x, y) = content == 0 ? 255 : content == 1 ? u8((x + y) & 1 ? 255 : 0) : u8(rnd.Int(0, 255));
          const bool flip = variant == 1;
          const double xf = 1.0 / cols, yf = 1.0 / rows;
          const int dstep = dw + rnd.Int(0, 3);
          const u8* s = flip ? src.Row(h - 1) : src.bytes.data();
          const int sstep = flip ? -src.step : src.step;
          auto run = [&](ImgResizeU8C1Fn fn, std::vector<u8>& out) {
            out.assign(size_t(dstep) * dh, 0x5A);
            return fn(s, {w, h}, sstep, {0, 0, w, h}, out.data(), dstep, {dw, dh}, xf, yf, IMG_INTERP_SUPERSAMPLE);
          };
          std::vector<u8> want, got;
          ASSERT_EQ(run(ImgResizeU8C1Table[0], want), IMG_OK);
          int shift = 0;
          while ((1 << shift) < cols * rows) ++shift;
          for (int y = 0; y < dh; ++y)
            for (int x = 0; x < dw; ++x) {
              u32 sum = 0;
              for (int k = 0; k < rows; ++k)
                for (int c = 0; c < cols; ++c)
                  sum += flip ? src.At(cols * x + c, h - 1 - (rows * y + k)) : src.At(cols * x + c, rows * y + k);
              ASSERT_EQ(want[size_t(y) * dstep + x], u8((sum + (1u << (shift - 1))) >> shift))
                  << cols << "x" << rows << " cells, width " << dw << " at " << x << "," << y;
            }
          for (CpuLevel level : vorlix_test::RunnableLevels()) {
            ASSERT_EQ(run(ImgResizeU8C1Table[level], got), IMG_OK);
            ASSERT_EQ(got, want) << "level " << level << " " << cols << "x" << rows << " cells, width " << dw
                                 << " variant " << variant;
          }
        }
}

TEST(ResizeU8C1, NegativeSourceStepGivesTheMirroredResult) {
  vorlix_test::Random rnd(5);
  Image src(29, 23), flipped(29, 23);
  rnd.Fill(src.bytes.data(), src.bytes.size());
  for (int y = 0; y < 23; ++y) std::memcpy(flipped.Row(y), src.Row(22 - y), 29);
  for (int interp : {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_SUPERSAMPLE})
    for (double f : {0.45, 1.0, 1.8}) {
      if (interp == IMG_INTERP_SUPERSAMPLE && f > 1.0) continue;
      Result a = Resize(flipped, 60, 60, f, f, interp);
      Image out(60, 60);
      std::fill(out.bytes.begin(), out.bytes.end(), 0x5A);
      ImgStatus st =
          ImgResizeU8C1(src.Row(22), {29, 23}, -29, {0, 0, 29, 23}, out.bytes.data(), 60, {60, 60}, f, f, interp);
      ASSERT_EQ(st, IMG_OK);
      EXPECT_EQ(out.bytes, a.out.bytes) << interp << " " << f;
    }
}

TEST(ResizeU8C1, FallBacksBySourceSize) {
  vorlix_test::Random rnd(3);
  // One column: any kind runs nearest.
  Image col(1, 10);
  rnd.Fill(col.bytes.data(), col.bytes.size());
  Result nearest = Resize(col, 3, 20, 3.0, 2.0, IMG_INTERP_NEAREST);
  ASSERT_EQ(nearest.status, IMG_OK);
  for (int interp : {IMG_INTERP_LINEAR, IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}) {
    Result r = Resize(col, 3, 20, 3.0, 2.0, interp);
    EXPECT_EQ(r.status, IMG_OK);
    EXPECT_EQ(r.out.bytes, nearest.out.bytes) << interp;
  }
  // Three columns: cubic and Lanczos-3 run linear.
  Image narrow(3, 10);
  rnd.Fill(narrow.bytes.data(), narrow.bytes.size());
  Result linear = Resize(narrow, 7, 20, 2.5, 2.0, IMG_INTERP_LINEAR);
  ASSERT_EQ(linear.status, IMG_OK);
  for (int interp : {IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}) {
    Result r = Resize(narrow, 7, 20, 2.5, 2.0, interp);
    EXPECT_EQ(r.status, IMG_OK);
    EXPECT_EQ(r.out.bytes, linear.out.bytes) << interp;
  }
}

// Cubic and Lanczos-3 on 8-bit planes at every level: the whole destination written,
// nothing outside it, and a constant plane kept constant.
TEST(ResizeU8C1, CubicAndLanczosRunAtEveryLevel) {
  for (CpuLevel level : resize_test::AllLevels()) {
    SCOPED_TRACE(testing::Message() << "level " << level);
    Image src(12, 12);
    std::fill(src.bytes.begin(), src.bytes.end(), 77);
    for (int interp : {IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}) {
      CountingHooks hooks;
      Result r = Resize(src, {0, 0, 12, 12}, 20, 20, 1.5, 1.5, interp, ImgResizeU8C1Table[level]);
      EXPECT_EQ(r.status, IMG_OK) << interp;
      EXPECT_EQ(hooks.Live(), 0);
      for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) ASSERT_EQ(r.out.At(x, y), x < 18 && y < 18 ? 77 : 0x5A) << interp;
    }
  }
}

TEST(ResizeU8C1, AllocationFailureEndsWithNoMemoryAndNothingWritten) {
  vorlix_test::Random rnd(9);
  Image src(24, 20);
  rnd.Fill(src.bytes.data(), src.bytes.size());
  struct Case {
    int interp;
    int allocations;
  };
  for (const Case& k : {Case{IMG_INTERP_NEAREST, 2}, Case{IMG_INTERP_LINEAR, 6}, Case{IMG_INTERP_SUPERSAMPLE, 1},
                        Case{IMG_INTERP_CUBIC, 8}, Case{IMG_INTERP_LANCZOS3, 12}}) {
    double f = k.interp == IMG_INTERP_SUPERSAMPLE ? 0.5 : 1.5;
    for (CpuLevel level : resize_test::AllLevels()) {
      SCOPED_TRACE(testing::Message() << "level " << level);
      {
        CountingHooks hooks;
        Result r = Resize(src, {0, 0, 24, 20}, 40, 40, f, f, k.interp, ImgResizeU8C1Table[level]);
        ASSERT_EQ(r.status, IMG_OK);
        EXPECT_EQ(hooks.Calls(), k.allocations) << k.interp;
        EXPECT_EQ(hooks.Live(), 0);
      }
      for (int fail = 0; fail < k.allocations; ++fail) {
        CountingHooks hooks;
        hooks.FailAt(fail);
        Result r = Resize(src, {0, 0, 24, 20}, 40, 40, f, f, k.interp, ImgResizeU8C1Table[level]);
        EXPECT_EQ(r.status, IMG_ERR_NO_MEMORY) << k.interp << " allocation " << fail;
        EXPECT_EQ(hooks.Live(), 0);
        for (u8 b : r.out.bytes) ASSERT_EQ(b, 0x5A);
      }
    }
  }
}

TEST(ResizeU8C1, EveryLevelMatchesLevelZero) {
  vorlix_test::Random rnd(0xC0FFEE);
  const auto levels = vorlix_test::RunnableLevels();
  for (int iter = 0; iter < 300; ++iter) {
    const int w = rnd.Int(1, 90), h = rnd.Int(1, 70);
    const int pad = rnd.Int(0, 9);
    const bool flip = rnd.Int(0, 3) == 0;
    Image src(w, h, w + pad);
    rnd.Fill(src.bytes.data(), src.bytes.size());
    ImgRect roi{rnd.Int(0, w - 1), rnd.Int(0, h - 1), rnd.Int(1, w + 3), rnd.Int(1, h + 3)};
    const int interps[] = {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_SUPERSAMPLE, IMG_INTERP_CUBIC,
                           IMG_INTERP_LANCZOS3};
    int interp = interps[rnd.Int(0, 4)];
    double xf = rnd.Int(1, 400) / 100.0, yf = rnd.Int(1, 400) / 100.0;
    if (rnd.Int(0, 3) == 0) xf = 1.0;  // the driver's columns: an identity
    if (interp == IMG_INTERP_SUPERSAMPLE) {
      xf = std::min(xf, 1.0) / rnd.Int(1, 3), yf = std::min(yf, 1.0);
      if (rnd.Int(0, 1)) xf = 1.0 / (1 << rnd.Int(1, 2)), yf = 1.0 / (1 << rnd.Int(0, 4));  // whole powers of two
    }
    const int dw = rnd.Int(1, 120), dh = rnd.Int(1, 120), dstep = dw + rnd.Int(0, 5);
    const u8* s = flip ? src.Row(h - 1) : src.bytes.data();
    const int sstep = flip ? -src.step : src.step;
    auto run = [&](ImgResizeU8C1Fn fn, std::vector<u8>& out) {
      out.assign(size_t(dstep) * dh, 0x5A);
      return fn(s, {w, h}, sstep, roi, out.data(), dstep, {dw, dh}, xf, yf, interp);
    };
    std::vector<u8> want, got;
    ImgStatus st0 = run(ImgResizeU8C1Table[0], want);
    for (CpuLevel level : levels) {
      ImgStatus st = run(ImgResizeU8C1Table[level], got);
      ASSERT_EQ(st, st0) << "level " << level << " iteration " << iter;
      // Lanczos-3 weights of levels 1 to 4 differ from the reference's in their last
      // bits, so a result next to a half may move by one; everything else is exact.
      const int allowed = interp == IMG_INTERP_LANCZOS3 ? 1 : 0;
      for (size_t i = 0; i < want.size(); ++i)
        ASSERT_LE(std::abs(int(got[i]) - int(want[i])), allowed)
            << "level " << level << " iteration " << iter << " interp " << interp << " " << w << "x" << h << " factors "
            << xf << "," << yf << " byte " << i;
    }
  }
}

}  // namespace

namespace {

// A destination limit whose tables would pass the allocators' 32-bit byte counts: -9
// with nothing allocated left over and nothing written. An area-average destination
// larger than the computed size keeps every byte outside that size.
TEST(ResizeU8C1, HugeDestinationsAndBytesOutsideTheComputedSize) {
  Image src(8, 8);
  vorlix_test::Random(4).Fill(src.bytes.data(), src.bytes.size());
  for (CpuLevel level : resize_test::AllLevels()) {
    for (int interp : {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}) {
      CountingHooks hooks;
      std::vector<u8> dst(64, 0x5A);
      ImgStatus st = ImgResizeU8C1Table[level](src.bytes.data(), {8, 8}, 8, {0, 0, 8, 8}, dst.data(), 8, {1 << 30, 8},
                                               1e9, 1.0, interp);
      EXPECT_EQ(st, IMG_ERR_NO_MEMORY) << interp;
      EXPECT_EQ(hooks.Live(), 0);
      for (u8 b : dst) ASSERT_EQ(b, 0x5A);
    }
    Result r = Resize(src, {0, 0, 8, 8}, 16, 16, 0.5, 0.5, IMG_INTERP_SUPERSAMPLE, ImgResizeU8C1Table[level]);
    ASSERT_EQ(r.status, IMG_OK);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        if (x >= 4 || y >= 4) {
          ASSERT_EQ(r.out.At(x, y), 0x5A) << x << "," << y;
        }
      }
  }
}

}  // namespace
