// Area-average reduction: worked cells of every period mode, element kinds and layouts,
// raised extents, sums beyond 32 bits, and every level against level 0.
#include <cmath>

#include "tests/imaging/resize/resize_test_support.h"

namespace {

using resize_test::CountingHooks;
using resize_test::FromRows;
using resize_test::Image;

using EngineFn = ImgStatus (*)(const void*, ImgSize, int32_t, const ImgRect*, void*, int32_t, ImgSize, double, double,
                               int32_t, int32_t, int32_t, int32_t);
const EngineFn kEngines[CPU_LEVEL_COUNT] = {ResizeSuperSampleEngine, img::level1::ResizeSuperSampleEngine,
                                            img::level2::ResizeSuperSampleEngine, img::level3::ResizeSuperSampleEngine,
                                            img::level4::ResizeSuperSampleEngine};

std::vector<int> AreaU8(const Image& src, double xf, double yf, int dw, int dh, ImgRect roi = {0, 0, 0, 0}) {
  if (roi.width == 0) roi = {0, 0, src.width, src.height};
  Image out(dw, dh);
  std::fill(out.bytes.begin(), out.bytes.end(), 0x5A);
  ImgStatus st = ImgResizeU8C1(src.bytes.data(), {src.width, src.height}, src.step, roi, out.bytes.data(), dw, {dw, dh},
                               xf, yf, IMG_INTERP_SUPERSAMPLE);
  EXPECT_EQ(st, IMG_OK);
  return std::vector<int>(out.bytes.begin(), out.bytes.end());
}

TEST(ResizeSuperSample, WorkedCellsOfEveryPeriodMode) {
  struct Case {
    const char* what;
    Image src;
    double xf, yf;
    int dw, dh;
    std::vector<int> want;
  };
  const Case cases[] = {
      {"whole periods, a mean of 3.5 stores 4",
       FromRows({{10, 20, 30, 40}, {41, 50, 60, 70}, {1, 2, 3, 4}, {5, 6, 7, 8}}),
       0.5,
       0.5,
       2,
       2,
       {30, 50, 4, 6}},
      {"horizontal period 1.5", FromRows({{0, 90, 180}}), 2.0 / 3, 1.0, 2, 1, {30, 150}},
      {"horizontal period 2.5", FromRows({{10, 20, 30, 40, 50}}), 0.4, 1.0, 2, 1, {18, 42}},
      {"vertical period 1.5", FromRows({{0}, {90}, {180}}), 1.0, 2.0 / 3, 1, 2, {30, 150}},
      {"both periods 1.5",
       FromRows({{0, 90, 180}, {90, 180, 0}, {180, 0, 90}}),
       2.0 / 3,
       2.0 / 3,
       2,
       2,
       {60, 120, 120, 60}},
      {"factor one is the region", FromRows({{1, 2, 3}, {4, 5, 6}}), 1.0, 1.0, 3, 2, {1, 2, 3, 4, 5, 6}},
  };
  for (const Case& k : cases) EXPECT_EQ(AreaU8(k.src, k.xf, k.yf, k.dw, k.dh), k.want) << k.what;
}

TEST(ResizeSuperSample, ConstantImagesStayConstant) {
  struct Case {
    int value;
    double xf, yf;
  };
  // Periods 2.5, 3 (1/3 is exactly 3 in double), 2.99999995 (fractional, a lead close
  // to 1) and 2.00000005 (counted whole).
  for (const Case& k : {Case{200, 0.4, 0.4}, Case{255, 1.0 / 3, 1.0 / 3}, Case{255, 1 / 2.99999995, 1 / 2.99999995},
                        Case{17, 1 / 2.00000005, 0.4}, Case{255, 0.37, 0.29}}) {
    Image src(61, 47);
    std::fill(src.bytes.begin(), src.bytes.end(), u8(k.value));
    int dw = int(61 * k.xf + 1e-7), dh = int(47 * k.yf + 1e-7);
    for (int v : AreaU8(src, k.xf, k.yf, dw, dh)) ASSERT_EQ(v, k.value) << k.xf << " x " << k.yf;
  }
}

// A raised extent's one cell reaches past the image; it averages what exists.
TEST(ResizeSuperSample, RaisedExtentsAverageTheWholeClippedRegion) {
  EXPECT_EQ(AreaU8(FromRows({{200}}), 0.6, 1.0, 1, 1), std::vector<int>{200});
  EXPECT_EQ(AreaU8(FromRows({{200}}), 0.6, 0.6, 1, 1), std::vector<int>{200});
  // Three columns at 0.3 (0.9 raised to 1): the mean of 10, 20, 60.
  EXPECT_EQ(AreaU8(FromRows({{10, 20, 60}, {10, 20, 60}}), 0.3, 1.0, 1, 2), (std::vector<int>{30, 30}));
  // Two rows at 0.4 at the bottom of a larger image: rows below the region are not read.
  Image src = FromRows({{9, 9}, {9, 9}, {100, 100}, {50, 50}});
  EXPECT_EQ(AreaU8(src, 1.0, 0.4, 2, 1, {0, 2, 2, 2}), (std::vector<int>{75, 75}));
}

TEST(ResizeSuperSample, SumsPastThirtyTwoBitsAndUnsupportedKinds) {
  // 20000 x 1000 samples of 255 in one cell sum to 5.1e9.
  Image big(20000, 1000);
  std::fill(big.bytes.begin(), big.bytes.end(), 255);
  EXPECT_EQ(AreaU8(big, 1.0 / 20000, 1.0 / 1000, 1, 1), std::vector<int>{255});

  u8 src[16] = {}, dst[16] = {};
  ImgRect roi{0, 0, 4, 4};
  for (int kind : {int(IMG_ELEM_S16), 7, -1})
    EXPECT_EQ(ResizeSuperSampleEngine(src, {4, 4}, 4, &roi, dst, 4, {2, 2}, 0.5, 0.5, 1, 1, kind, 0),
              IMG_ERR_INTERPOLATION);
}

TEST(ResizeSuperSample, OtherKindsAndLayouts) {
  // 16-bit: four full-scale samples stay full scale.
  {
    u16 src[4] = {65535, 65535, 65535, 65535}, dst[1] = {0};
    ImgRect roi{0, 0, 2, 2};
    ASSERT_EQ(ResizeSuperSampleEngine(src, {2, 2}, 4, &roi, dst, 2, {1, 1}, 0.5, 0.5, 1, 1, IMG_ELEM_U16, 0), 0);
    EXPECT_EQ(dst[0], 65535);
  }
  // Float: the mean is stored unrounded.
  {
    float src[4] = {1.0f, 2.0f, 3.0f, 4.5f}, dst[1] = {0};
    ImgRect roi{0, 0, 2, 2};
    ASSERT_EQ(ResizeSuperSampleEngine(src, {2, 2}, 8, &roi, dst, 4, {1, 1}, 0.5, 0.5, 1, 1, IMG_ELEM_F32, 0), 0);
    EXPECT_EQ(dst[0], 2.625f);
  }
  // Three channels in four-byte pixels: the fourth byte keeps its value.
  {
    Image src(8, 2);  // 2 x 2 pixels of 4 bytes
    const int px[4][4] = {{10, 20, 30, 1}, {30, 40, 50, 2}, {50, 60, 70, 3}, {70, 80, 90, 4}};
    for (int p = 0; p < 4; ++p)
      for (int c = 0; c < 4; ++c) src.At((p % 2) * 4 + c, p / 2) = u8(px[p][c]);
    u8 dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ImgRect roi{0, 0, 2, 2};
    ASSERT_EQ(
        ResizeSuperSampleEngine(src.bytes.data(), {2, 2}, 8, &roi, dst, 4, {1, 1}, 0.5, 0.5, 4, 3, IMG_ELEM_U8, 0), 0);
    EXPECT_EQ(std::vector<int>(dst, dst + 4), (std::vector<int>{40, 50, 60, 0xEE}));
    // Four channels average all four.
    ASSERT_EQ(
        ResizeSuperSampleEngine(src.bytes.data(), {2, 2}, 8, &roi, dst, 4, {1, 1}, 0.5, 0.5, 4, 4, IMG_ELEM_U8, 0), 0);
    EXPECT_EQ(std::vector<int>(dst, dst + 4), (std::vector<int>{40, 50, 60, 3}));
  }
}

TEST(ResizeSuperSample, PlanarImagesAreReducedPlaneByPlaneOrNotAtAll) {
  Image planes[4] = {Image(6, 4), Image(6, 4), Image(6, 4), Image(6, 4)};
  vorlix_test::Random rnd(21);
  for (auto& p : planes) rnd.Fill(p.bytes.data(), p.bytes.size());
  ImgRect roi{0, 0, 6, 4};
  for (int channels : {3, 4}) {
    const void* src[4] = {planes[0].bytes.data(), planes[1].bytes.data(), planes[2].bytes.data(),
                          planes[3].bytes.data()};
    std::vector<u8> out[4];
    void* dst[4];
    for (int p = 0; p < 4; ++p) out[p].assign(6, 0x5A), dst[p] = out[p].data();
    {
      CountingHooks hooks;
      ASSERT_EQ(ResizeSuperSampleEngine(src, {6, 4}, 6, &roi, dst, 3, {3, 2}, 0.5, 0.5, 0, channels, IMG_ELEM_U8, 1),
                0);
      EXPECT_EQ(hooks.Live(), 0);
    }
    for (int p = 0; p < 4; ++p) {
      std::vector<int> want = p < channels ? AreaU8(planes[p], 0.5, 0.5, 3, 2) : std::vector<int>(6, 0x5A);
      EXPECT_EQ(std::vector<int>(out[p].begin(), out[p].end()), want) << "plane " << p;
    }
    // No memory: no plane is touched.
    for (int p = 0; p < 4; ++p) out[p].assign(6, 0x5A);
    CountingHooks hooks;
    hooks.FailAt(0);
    EXPECT_EQ(ResizeSuperSampleEngine(src, {6, 4}, 6, &roi, dst, 3, {3, 2}, 0.5, 0.5, 0, channels, IMG_ELEM_U8, 1),
              IMG_ERR_NO_MEMORY);
    for (int p = 0; p < 4; ++p) EXPECT_EQ(out[p], std::vector<u8>(6, 0x5A));
  }
}

TEST(ResizeSuperSample, EveryLevelMatchesLevelZeroForEveryKindAndLayout) {
  vorlix_test::Random rnd(0xA4EA);
  const auto levels = vorlix_test::RunnableLevels();
  for (int iter = 0; iter < 300; ++iter) {
    const int kind = rnd.Int(0, 2);
    const int elem = kind == IMG_ELEM_U8 ? 1 : (kind == IMG_ELEM_U16 ? 2 : 4);
    const int layout = rnd.Int(0, 3);  // C1, C3 in 3, C3 in 4, C4
    const int channels = layout == 0 ? 1 : (layout == 3 ? 4 : 3);
    const int pixelStep = layout == 0 ? 1 : (layout == 1 ? 3 : 4);
    const int w = rnd.Int(1, 90), h = rnd.Int(1, 40);
    const int srcStep = (w * pixelStep + rnd.Int(0, 3)) * elem;
    std::vector<u8> src(size_t(srcStep) * h);
    rnd.Fill(src.data(), src.size());
    if (kind == IMG_ELEM_F32)
      for (size_t i = 0; i + 4 <= src.size(); i += 4) {
        float v = float(rnd.Int(-100000, 100000)) / 7.0f;
        std::memcpy(&src[i], &v, 4);
      }
    ImgRect roi{rnd.Int(0, w - 1), rnd.Int(0, h - 1), rnd.Int(1, w + 2), rnd.Int(1, h + 2)};
    const double xf = rnd.Int(1, 100) / 100.0, yf = rnd.Int(1, 100) / 100.0;
    const int dw = rnd.Int(1, 60), dh = rnd.Int(1, 40), dstStep = dw * pixelStep * elem + rnd.Int(0, 2) * elem;
    const bool flip = rnd.Int(0, 3) == 0;
    const u8* s = flip ? src.data() + size_t(srcStep) * (h - 1) : src.data();
    auto run = [&](EngineFn fn, std::vector<u8>& out) {
      out.assign(size_t(dstStep) * dh, 0x5A);
      return fn(s, {w, h}, flip ? -srcStep : srcStep, &roi, out.data(), dstStep, {dw, dh}, xf, yf, pixelStep, channels,
                kind, 0);
    };
    std::vector<u8> want, got;
    ImgStatus st0 = run(kEngines[0], want);
    for (CpuLevel level : levels) {
      ASSERT_EQ(run(kEngines[level], got), st0) << "level " << level;
      ASSERT_EQ(got, want) << "level " << level << " iteration " << iter << " kind " << kind << " layout " << layout;
    }
  }
}

}  // namespace
