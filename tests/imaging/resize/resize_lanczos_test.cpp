// Lanczos-3 kernel table and weight records, at level 0 and in the vector builds; and the
// interpolating engine's refusals for kinds without row routines.
#include <cmath>

#include "tests/imaging/resize/resize_test_support.h"

namespace {

using WeightsFn = void (*)(const float*, int32_t, ResizeTap6Weights*);
const WeightsFn kVector[] = {img::level1::ResizeLanczos3WeightsVec, img::level2::ResizeLanczos3WeightsVec,
                             img::level3::ResizeLanczos3WeightsVec, img::level4::ResizeLanczos3WeightsVec};

double Kernel(double x) {
  auto sinc = [](double v) { return v == 0.0 ? 1.0 : std::sin(M_PI * v) / (M_PI * v); };
  return std::fabs(x) >= 3.0 ? 0.0 : sinc(x) * sinc(x / 3.0);
}

TEST(ResizeLanczos3Table, SamplesTheKernel) {
  for (int k = 0; k <= 300; ++k) EXPECT_NEAR(ResizeLanczos3Table[k], Kernel(k / 100.0), 1e-7) << k;
  EXPECT_EQ(ResizeLanczos3Table[0], 1.0f);
  EXPECT_EQ(ResizeLanczos3Table[100], 0.0f);
  EXPECT_TRUE(std::signbit(ResizeLanczos3Table[100]));
  for (int k : {200, 300, 301, 302, 303}) EXPECT_EQ(ResizeLanczos3Table[k], 0.0f) << k;
}

// Double model of a record: table interpolation, normalised.
ResizeTap6Weights Model(float frac) {
  ResizeTap6Weights r;
  double s = 0.0;
  for (int t = 0; t < 6; ++t) {
    double x = -2.0 - frac + t, a = std::fabs(x) * 100.0;
    int k = int(a);
    r.w[t] = std::fabs(x) < 3.0
                 ? float((ResizeLanczos3Table[k + 1] - ResizeLanczos3Table[k]) * (a - k) + ResizeLanczos3Table[k])
                 : 0.0f;
    s += r.w[t];
  }
  for (float& w : r.w) w = float(w / s);
  return r;
}

void ExpectRecord(const ResizeTap6Weights& got, const ResizeTap6Weights& want, const char* what, float frac) {
  for (int t = 0; t < 6; ++t) EXPECT_NEAR(got.w[t], want.w[t], 2e-6) << what << " frac " << frac << " tap " << t;
}

TEST(ResizeLanczos3Weights, EdgeFractionsAtEveryBuild) {
  const float fracs[] = {0.0f, 0.5f, -0.0000001f, 0.25f, 0.999f};
  ResizeTap6Weights out[5];
  std::vector<std::pair<CpuLevel, WeightsFn>> builds{{0, ResizeLanczos3Weights}};
  for (CpuLevel level : vorlix_test::RunnableLevels()) builds.push_back({level, kVector[level - 1]});
  for (auto [level, fn] : builds) {
    SCOPED_TRACE(testing::Message() << "level " << level);
    fn(fracs, 5, out);
    // frac 0: all of the weight on the base pixel (tap 5 is out of range).
    for (int t : {0, 1, 3, 4, 5}) EXPECT_EQ(out[0].w[t] == 0.0f || std::fabs(out[0].w[t]) < 1e-7f, true) << t;
    EXPECT_NEAR(out[0].w[2], 1.0f, 1e-6f);
    // frac 0.5: symmetric up to the last bit.
    for (int t = 0; t < 3; ++t) EXPECT_NEAR(out[1].w[t], out[1].w[5 - t], 1e-6f) << t;
    // Just below 0: tap 5 lies past distance 3.
    EXPECT_EQ(out[2].w[5], 0.0f);
    EXPECT_NEAR(out[2].w[2], 1.0f, 1e-6f);
    for (int i = 0; i < 5; ++i) ExpectRecord(out[i], Model(fracs[i]), "edge", fracs[i]);
  }
  // Nothing is written for n = 0.
  ResizeTap6Weights untouched;
  std::fill(std::begin(untouched.w), std::end(untouched.w), 7.0f);
  ResizeLanczos3Weights(fracs, 0, &untouched);
  for (auto [level, fn] : builds) fn(fracs, 0, &untouched);
  for (float w : untouched.w) EXPECT_EQ(w, 7.0f);
}

TEST(ResizeLanczos3Weights, VectorBuildsAgreeWithTheReference) {
  vorlix_test::Random rnd(12);
  for (CpuLevel level : vorlix_test::RunnableLevels()) {
    SCOPED_TRACE(testing::Message() << "level " << level);
    for (int n : {1, 2, 7, 64}) {
      std::vector<float> frac(n);
      for (float& f : frac) f = float(rnd.Int(0, 999999)) / 1e6f;
      std::vector<ResizeTap6Weights> ref(n), vec(n);
      ResizeLanczos3Weights(frac.data(), n, ref.data());
      kVector[level - 1](frac.data(), n, vec.data());
      for (int i = 0; i < n; ++i) {
        ExpectRecord(vec[i], ref[i], "vector vs reference", frac[i]);
        ExpectRecord(ref[i], Model(frac[i]), "reference vs model", frac[i]);
      }
    }
  }
}

TEST(ResizeInterpolateEngine, RefusesKindsWithoutRows) {
  u8 src[64] = {}, dst[256];
  std::fill(std::begin(dst), std::end(dst), 0x5A);
  ImgRect roi{0, 0, 8, 8};
  struct Case {
    int kind, channels, interp;
  };
  // Signed 16-bit has no cubic or Lanczos-3 rows at all (in one channel or three), and
  // unknown kinds are refused.
  const Case cases[] = {{IMG_ELEM_S16, 1, IMG_INTERP_CUBIC}, {IMG_ELEM_S16, 1, IMG_INTERP_LANCZOS3},
                        {IMG_ELEM_S16, 3, IMG_INTERP_CUBIC}, {IMG_ELEM_S16, 3, IMG_INTERP_LANCZOS3},
                        {4, 1, IMG_INTERP_LINEAR},           {-1, 1, IMG_INTERP_NEAREST}};
  for (const Case& k : cases) {
    resize_test::CountingHooks hooks;
    EXPECT_EQ(ResizeInterpolateEngine(src, 8, 8, 8, &roi, dst, 16, {16, 16}, 1.5, 1.5, 0, 0, k.channels, k.channels,
                                      k.kind, 0, k.interp, 1),
              IMG_ERR_INTERPOLATION)
        << k.kind << " " << k.interp;
    EXPECT_EQ(hooks.Calls(), 0);
  }
  for (u8 b : dst) EXPECT_EQ(b, 0x5A);
  // Every slot is filled at every level, and level 1 shares level 0's nearest rows.
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level)
    for (int slot = 0; slot < RESIZE_ROW_SLOTS; ++slot)
      EXPECT_TRUE(ResizeRowSlotFilled(*ResizeRowTables[level], slot)) << "level " << level << " slot " << slot;
  for (int slot = RESIZE_SLOT_NEAREST_U8C3; slot <= RESIZE_SLOT_NEAREST_S16C4; ++slot)
    EXPECT_EQ(ResizeRowTables[1]->nearest[slot], ResizeRowTables[0]->nearest[slot]) << slot;
  EXPECT_FALSE(ResizeRowSlotFilled(*ResizeRowTables[0], 48));
}

}  // namespace
