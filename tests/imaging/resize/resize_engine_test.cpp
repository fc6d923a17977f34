// The interpolating engine's contract with its row routines, seen through routines that
// record what they are handed: index and weight tables of every kind (edge moves
// included), element steps, layouts and planes, and the Lanczos-3 arguments.
#include <cmath>

#include "tests/imaging/resize/resize_test_support.h"

namespace {

struct Seen {
  int calls = 0;
  std::vector<const void*> src;
  std::vector<void*> dst;
  int srcStep = 0, dstStep = 0, dstW = 0, dstH = 0, pixelStep = -1, channels = -1;
  std::vector<int32_t> rowOff, colOff;
  std::vector<float> rowF, colF;
  std::vector<u16> rowW, colW;
  std::vector<ResizeTap6Weights> rowRec, colRec;
  int roiX = 0, roiY = 0, colsRight = 0, rowsBelow = 0, upscale = -1;
  const char* group = "";
};
Seen g;

void Common(const char* group, const void* src, void* dst, int srcStep, int dstStep, int dstW, int dstH,
            const int32_t* rowOff, const int32_t* colOff) {
  g.calls++;
  g.group = group;
  g.src.push_back(src);
  g.dst.push_back(dst);
  g.srcStep = srcStep, g.dstStep = dstStep, g.dstW = dstW, g.dstH = dstH;
  g.rowOff.assign(rowOff, rowOff + dstH);
  g.colOff.assign(colOff, colOff + dstW);
}
void Nearest(const void* src, void* dst, int32_t dstStep, int32_t dstW, int32_t dstH, const int32_t* rowOff,
             const int32_t* colOff, int32_t pixelStep) {
  Common("nearest", src, dst, 0, dstStep, dstW, dstH, rowOff, colOff);
  g.pixelStep = pixelStep;
}
void LinearInt(const void* src, void* dst, int32_t srcStep, int32_t dstStep, int32_t dstW, int32_t dstH,
               const int32_t* rowOff, const int32_t* colOff, const void* rowW, const void* colW, void*, void*,
               int32_t pixelStep, int32_t channels) {
  Common("linear", src, dst, srcStep, dstStep, dstW, dstH, rowOff, colOff);
  g.rowW.assign(static_cast<const u16*>(rowW), static_cast<const u16*>(rowW) + dstH);
  g.colW.assign(static_cast<const u16*>(colW), static_cast<const u16*>(colW) + 2 * dstW);
  g.pixelStep = pixelStep, g.channels = channels;
}
void LinearFloat(const void* src, void* dst, int32_t srcStep, int32_t dstStep, int32_t dstW, int32_t dstH,
                 const int32_t* rowOff, const int32_t* colOff, const void* rowW, const void* colW, void*, void*,
                 int32_t pixelStep, int32_t channels) {
  Common("linear float", src, dst, srcStep, dstStep, dstW, dstH, rowOff, colOff);
  g.rowF.assign(static_cast<const float*>(rowW), static_cast<const float*>(rowW) + dstH);
  g.colF.assign(static_cast<const float*>(colW), static_cast<const float*>(colW) + dstW);
  g.pixelStep = pixelStep, g.channels = channels;
}
void Cubic(const void* src, void* dst, int32_t srcStep, int32_t dstStep, int32_t dstW, int32_t dstH,
           const int32_t* rowOff, const int32_t* colOff, const float* rowF, const float* colF, float*, float*, float*,
           float*, int32_t pixelStep, int32_t channels) {
  Common("cubic", src, dst, srcStep, dstStep, dstW, dstH, rowOff, colOff);
  g.rowF.assign(rowF, rowF + dstH);
  g.colF.assign(colF, colF + dstW);
  g.pixelStep = pixelStep, g.channels = channels;
}
void Lanczos(const void* src, void* dst, int32_t srcStep, int32_t dstStep, int32_t dstW, int32_t dstH,
             const int32_t* rowOff, const int32_t* colOff, const ResizeTap6Weights* rowRec,
             const ResizeTap6Weights* colRec, float*, float*, float*, float*, float*, float*, int32_t roiX,
             int32_t roiY, int32_t colsRight, int32_t rowsBelow, int32_t upscale, int32_t pixelStep, int32_t channels) {
  Common("lanczos", src, dst, srcStep, dstStep, dstW, dstH, rowOff, colOff);
  g.rowRec.assign(rowRec, rowRec + dstH);
  g.colRec.assign(colRec, colRec + dstW);
  g.roiX = roiX, g.roiY = roiY, g.colsRight = colsRight, g.rowsBelow = rowsBelow, g.upscale = upscale;
  g.pixelStep = pixelStep, g.channels = channels;
}

ResizeRowTableLayout Recorders() {
  ResizeRowTableLayout t{};
  for (auto& f : t.nearest) f = Nearest;
  for (int k = 0; k < 8; ++k) t.linear[k] = (k % 4 == IMG_ELEM_F32) ? LinearFloat : LinearInt;
  for (auto& f : t.cubic) f = Cubic;
  for (auto& f : t.lanczos) f = Lanczos;
  return t;
}
const ResizeRowTableLayout kRecorders = Recorders();

struct Args {
  int w = 10, h = 12, srcStep = 10;
  ImgRect roi{0, 0, 10, 12};
  ImgSize dstSize{100, 100};
  double xf = 1.5, yf = 1.5, xShift = 0, yShift = 0;
  int pixelStep = 1, channels = 1, kind = IMG_ELEM_U8, planar = 0, interp = IMG_INTERP_CUBIC, mapping = 1;
};
std::vector<u8> g_src(4096), g_dst(65536);
ImgStatus RunEngine(const Args& a, const void* src = g_src.data(), void* dst = g_dst.data()) {
  g = Seen{};
  return ResizeInterpolateEngineWithTable(kRecorders, src, a.w, a.h, a.srcStep, &a.roi, dst, 64, a.dstSize, a.xf, a.yf,
                                          a.xShift, a.yShift, a.pixelStep, a.channels, a.kind, a.planar, a.interp,
                                          a.mapping);
}

// Positions by repeated addition, as the engine forms them.
std::vector<double> Positions(double start, double step, int count) {
  std::vector<double> p;
  double pos = start;
  for (int i = 0; i < count; ++i, pos += step) p.push_back(pos);
  return p;
}

TEST(ResizeInterpolateEngineTables, CubicEdgeMovesKeepFourTapsInsideTheImage) {
  struct Case {
    ImgRect roi;
    double f;
  };
  for (const Case& k :
       {Case{{0, 0, 10, 12}, 1.5}, Case{{2, 3, 6, 6}, 2.7}, Case{{0, 0, 10, 12}, 0.45}, Case{{4, 5, 20, 20}, 1.0}}) {
    Args a;
    a.roi = k.roi;
    a.xf = a.yf = k.f;
    ASSERT_EQ(RunEngine(a), IMG_OK);
    ASSERT_STREQ(g.group, "cubic");
    const int n = std::min(k.roi.width, 10 - k.roi.x), m = std::min(k.roi.height, 12 - k.roi.y);
    auto check = [&](const std::vector<int32_t>& off, const std::vector<float>& frac, int scale, int ext, int origin,
                     double nn) {
      auto pos = Positions(0.0, nn * k.f > 1 ? (nn - 1) / (nn * k.f - 1) : 0.0, int(off.size()));
      for (size_t i = 0; i < off.size(); ++i) {
        int j = off[i] / scale, abs = origin + j;
        EXPECT_GE(abs - 1, 0) << i;
        EXPECT_LE(abs + 2, ext - 1) << i;
        EXPECT_NEAR(j + frac[i], pos[i], 1e-5) << i;
        int base = int(pos[i] + 1e-7) + origin;
        if (base == ext - 1) {
          EXPECT_EQ(frac[i], 2.0f) << i;
        } else if (base == 0) {
          EXPECT_TRUE(frac[i] >= -1.0f && frac[i] < 0.0f) << i;
        } else if (base == ext - 2) {
          EXPECT_TRUE(frac[i] >= 1.0f && frac[i] < 2.0f) << i;
        } else {
          // Away from the edges the base is the position's own: the fraction lies in
          // [0, 1), or a hair below 0 where the position falls just short of a whole.
          EXPECT_EQ(abs, base) << i;
          EXPECT_TRUE(frac[i] >= -1e-6f && frac[i] < 1.0f) << i << " " << frac[i];
        }
      }
    };
    check(g.rowOff, g.rowF, 10, 12, k.roi.y, m);
    check(g.colOff, g.colF, 1, 10, k.roi.x, n);
  }
}

TEST(ResizeInterpolateEngineTables, LinearWeightsForEachElementKind) {
  // 16-bit: steps halve into elements; pairs sum to 16384; the region reaches the last
  // column, so the last pair is (0, 16384) on columns 8 and 9.
  Args a;
  a.interp = IMG_INTERP_LINEAR;
  a.kind = IMG_ELEM_U16;
  a.srcStep = 20;
  a.xf = 2.0, a.yf = 1.0;
  ASSERT_EQ(RunEngine(a), IMG_OK);
  EXPECT_STREQ(g.group, "linear");
  EXPECT_EQ(g.srcStep, 10);
  EXPECT_EQ(g.dstStep, 32);
  ASSERT_EQ(g.dstW, 20);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(g.colW[2 * i] + g.colW[2 * i + 1], 16384) << i;
  EXPECT_EQ(g.colOff.back(), 8);
  EXPECT_EQ(g.colW[38], 0);
  EXPECT_EQ(g.colW[39], 16384);
  // Column 1 lies at 9/19: w = trunc(9/19 * 16384 + 1e-7).
  EXPECT_EQ(g.colW[3], u16(9.0 / 19 * 16384 + 1e-7));
  EXPECT_EQ(g.rowW.front(), 0);
  EXPECT_EQ(g.rowOff.back(), 10 * 10);
  EXPECT_EQ(g.rowW.back(), 16384);

  // Float: one fraction per column, 1.0 at the image's last column.
  a.kind = IMG_ELEM_F32;
  a.srcStep = 40;
  ASSERT_EQ(RunEngine(a), IMG_OK);
  EXPECT_STREQ(g.group, "linear float");
  EXPECT_EQ(g.srcStep, 10);
  EXPECT_EQ(g.dstStep, 16);
  EXPECT_EQ(g.colF.back(), 1.0f);
  EXPECT_FLOAT_EQ(g.colF[1], float(9.0 / 19));

  // Signed 16-bit: 2-byte elements as well.
  a.kind = IMG_ELEM_S16;
  a.srcStep = 20;
  ASSERT_EQ(RunEngine(a), IMG_OK);
  EXPECT_STREQ(g.group, "linear");
  EXPECT_EQ(g.srcStep, 10);
}

TEST(ResizeInterpolateEngineTables, LanczosRecordsAndRegionArguments) {
  for (double f : {2.0, 0.5}) {
    Args a;
    a.w = 16, a.h = 16, a.srcStep = 16;
    a.roi = {3, 4, 8, 8};
    a.xf = a.yf = f;
    a.interp = IMG_INTERP_LANCZOS3;
    ASSERT_EQ(RunEngine(a), IMG_OK);
    ASSERT_STREQ(g.group, "lanczos");
    EXPECT_EQ(g.roiX, 3);
    EXPECT_EQ(g.roiY, 4);
    EXPECT_EQ(g.colsRight, 13);
    EXPECT_EQ(g.rowsBelow, 12);
    EXPECT_EQ(g.upscale, f >= 1.0 ? 1 : 0);
    auto pos = Positions(0.0, 8 * f > 1 ? 7.0 / (8 * f - 1) : 0.0, g.dstW);
    for (int i = 0; i < g.dstW; ++i) {
      int j = int(pos[i] + 1e-7);
      EXPECT_EQ(g.colOff[i], j);
      float frac = float(pos[i] - j);
      ResizeTap6Weights want;
      ResizeLanczos3Weights(&frac, 1, &want);
      for (int t = 0; t < 6; ++t) EXPECT_EQ(g.colRec[i].w[t], want.w[t]) << i << " tap " << t;
    }
  }
  // Step mapping: a factor below 1 means enlarging.
  Args a;
  a.w = 16, a.h = 16, a.srcStep = 16, a.roi = {0, 0, 16, 16};
  a.interp = IMG_INTERP_LANCZOS3, a.mapping = 0, a.xf = a.yf = 0.5;
  ASSERT_EQ(RunEngine(a), IMG_OK);
  EXPECT_EQ(g.upscale, 1);
}

TEST(ResizeInterpolateEngineTables, LayoutsPlanesAndSlots) {
  // Three channels in four-element pixels: columns in elements, pixel step and channels
  // passed on; the source origin moves by x pixels of four elements.
  Args a;
  a.interp = IMG_INTERP_LINEAR, a.xf = 0.5, a.yf = 1.0;
  a.w = 8, a.h = 4, a.srcStep = 32, a.roi = {2, 1, 6, 3};
  a.pixelStep = 4, a.channels = 3;
  ASSERT_EQ(RunEngine(a), IMG_OK);
  EXPECT_EQ(g.pixelStep, 4);
  EXPECT_EQ(g.channels, 3);
  EXPECT_EQ(g.src[0], g_src.data() + 32 + 2 * 4);
  for (int32_t c : g.colOff) EXPECT_EQ(c % 4, 0);
  // Nearest picks the three-channel or four-channel group by the channel count.
  a.interp = IMG_INTERP_NEAREST;
  ASSERT_EQ(RunEngine(a), IMG_OK);
  EXPECT_STREQ(g.group, "nearest");
  EXPECT_EQ(g.colOff, (std::vector<int32_t>{4, 12, 20}));

  // Planar, four channels: four calls in plane order with the same tables; the source
  // planes move by y rows and x elements, the destination planes not at all.
  u16 planes[4][64], out[4][64];
  const void* srcPlanes[4] = {planes[0], planes[1], planes[2], planes[3]};
  void* dstPlanes[4] = {out[0], out[1], out[2], out[3]};
  Args p;
  p.interp = IMG_INTERP_CUBIC, p.kind = IMG_ELEM_U16, p.planar = 1, p.channels = 4, p.pixelStep = 4;
  p.w = 8, p.h = 8, p.srcStep = 16, p.roi = {1, 2, 5, 5};
  ASSERT_EQ(RunEngine(p, srcPlanes, dstPlanes), IMG_OK);
  ASSERT_EQ(g.calls, 4);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(g.src[k], reinterpret_cast<const u8*>(planes[k]) + 2 * 16 + 1 * 2) << k;
    EXPECT_EQ(g.dst[k], out[k]) << k;
  }
  EXPECT_EQ(g.pixelStep, 0);
  EXPECT_EQ(g.channels, 0);
  p.channels = 3;
  ASSERT_EQ(RunEngine(p, srcPlanes, dstPlanes), IMG_OK);
  EXPECT_EQ(g.calls, 3);
}

TEST(ResizeInterpolateEngineTables, StepMappingAndShifts) {
  Args a;
  a.interp = IMG_INTERP_NEAREST, a.mapping = 0, a.xf = 2.0, a.yf = 1.0;
  ASSERT_EQ(RunEngine(a), IMG_OK);
  // trunc(10 / 2) = 5 columns, centred: 1, 3, 5, 7, 9.
  EXPECT_EQ(g.colOff, (std::vector<int32_t>{1, 3, 5, 7, 9}));
  a.interp = IMG_INTERP_LINEAR;
  ASSERT_EQ(RunEngine(a), IMG_OK);
  // trunc(9 / 2) + 1 = 5 columns from 0, each whole on its own column.
  EXPECT_EQ(g.colOff, (std::vector<int32_t>{0, 2, 4, 6, 8}));
  EXPECT_EQ(g.colW[8], 16384);
  EXPECT_EQ(g.colW[9], 0);
  a.xShift = 0.5;
  ASSERT_EQ(RunEngine(a), IMG_OK);
  EXPECT_EQ(g.colW[1], 8192);
  // Nearest picks past the image are held on its last row and column.
  a.interp = IMG_INTERP_NEAREST, a.xShift = 100.0, a.yShift = -100.0;
  ASSERT_EQ(RunEngine(a), IMG_OK);
  for (int32_t c : g.colOff) EXPECT_EQ(c, 9);
  for (int32_t r : g.rowOff) EXPECT_EQ(r, 0);
}

}  // namespace
