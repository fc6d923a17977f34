#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "imaging/core/dispatch.h"
#include "tests/imaging/core/image_harness.h"

namespace {

using vorlix_test::GuardedImage;
using vorlix_test::Random;

// C planes sharing one step, and the interleaved picture with its own.
struct Planar {
  Planar(int channels, int32_t width, int32_t height, int32_t planeStep, int32_t pixelStep, Random& rnd)
      : channels(channels),
        size{width, height},
        planeStep(planeStep),
        pixelStep(pixelStep),
        pixels(int64_t(width) * channels, height, pixelStep, rnd.Int(0, 1)) {
    for (int c = 0; c < channels; ++c) {
      planes.emplace_back(std::make_unique<GuardedImage>(width, height, planeStep, rnd.Int(0, 1)));
      rnd.Fill(planes.back()->buffer.data(), planes.back()->buffer.size());
    }
    rnd.Fill(pixels.buffer.data(), pixels.buffer.size());
  }
  // A second picture with the same geometry and the same bytes.
  void CopyFrom(const Planar& other) {
    for (int c = 0; c < channels; ++c)
      std::memcpy(planes[c]->buffer.data(), other.planes[c]->buffer.data(), planes[c]->buffer.size());
    std::memcpy(pixels.buffer.data(), other.pixels.buffer.data(), pixels.buffer.size());
  }
  bool Same(const Planar& other) const {
    for (int c = 0; c < channels; ++c)
      if (!planes[c]->SameBytes(*other.planes[c])) return false;
    return pixels.SameBytes(other.pixels);
  }
  ImgStatus Interleave(CpuLevel level) {
    const u8* p[4] = {};
    for (int c = 0; c < channels; ++c) p[c] = planes[c]->base();
    return channels == 3 ? ImgInterleaveU8C3Table[level](p, planeStep, pixels.base(), pixelStep, size)
                         : ImgInterleaveU8C4Table[level](p, planeStep, pixels.base(), pixelStep, size);
  }
  ImgStatus Deinterleave(CpuLevel level) {
    u8* p[4] = {};
    for (int c = 0; c < channels; ++c) p[c] = planes[c]->base();
    return channels == 3 ? ImgDeinterleaveU8C3Table[level](pixels.base(), pixelStep, p, planeStep, size)
                         : ImgDeinterleaveU8C4Table[level](pixels.base(), pixelStep, p, planeStep, size);
  }
  // Every byte of the picture's rows agrees with the planes.
  bool Consistent() {
    for (int32_t i = 0; i < size.height; ++i)
      for (int32_t x = 0; x < size.width; ++x)
        for (int c = 0; c < channels; ++c)
          if (pixels.base()[int64_t(i) * pixelStep + channels * x + c] != planes[c]->base()[int64_t(i) * planeStep + x])
            return false;
    return true;
  }

  int channels;
  ImgSize size;
  int32_t planeStep, pixelStep;
  GuardedImage pixels;
  std::vector<std::unique_ptr<GuardedImage>> planes;
};

void ComparePlanes(CpuLevel level, bool interleave, int cases, uint32_t seed, int32_t minWidth = 1,
                   int32_t maxHeight = 5) {
  Random rnd(seed);
  for (int c = 0; c < cases; ++c) {
    const int channels = rnd.Int(3, 4);
    const int32_t width = std::max(minWidth, vorlix_test::RandomWidth(rnd)), height = rnd.Int(1, maxHeight);
    const bool contiguous = rnd.Int(0, 2) == 0;
    int32_t planeStep = contiguous ? width : vorlix_test::RandomStep(rnd, width, true);
    int32_t pixelStep = contiguous ? width * channels : vorlix_test::RandomStep(rnd, int64_t(width) * channels, true);
    Planar want(channels, width, height, planeStep, pixelStep, rnd);
    Planar got(channels, width, height, planeStep, pixelStep, rnd);
    got.CopyFrom(want);
    if (interleave) {
      ASSERT_EQ(want.Interleave(0), IMG_OK);
      ASSERT_EQ(got.Interleave(level), IMG_OK);
    } else {
      ASSERT_EQ(want.Deinterleave(0), IMG_OK);
      ASSERT_EQ(got.Deinterleave(level), IMG_OK);
    }
    ASSERT_TRUE(got.Same(want)) << "case " << c << ": " << channels << " channels, " << width << " x " << height
                                << ", steps " << planeStep << ", " << pixelStep;
    ASSERT_TRUE(want.Consistent()) << "level 0, case " << c;
  }
}

class PlaneLevels : public ::testing::TestWithParam<CpuLevel> {
 protected:
  CpuLevel level() const { return GetParam(); }
};

TEST_P(PlaneLevels, InterleaveMatchesLevel0) { ComparePlanes(level(), true, 500, 91); }
TEST_P(PlaneLevels, DeinterleaveMatchesLevel0) { ComparePlanes(level(), false, 500, 92); }

TEST_P(PlaneLevels, ContiguousPicturesEitherSideOfTheMergeLimit) {
  Random rnd(93);
  for (int channels : {3, 4})
    for (int32_t side : {200, 400}) {
      SCOPED_TRACE(testing::Message() << channels << " channels, " << side << " x " << side);
      Planar want(channels, side, side, side, side * channels, rnd),
          got(channels, side, side, side, side * channels, rnd);
      got.CopyFrom(want);
      ASSERT_EQ(want.Deinterleave(0), IMG_OK);
      ASSERT_EQ(got.Deinterleave(level()), IMG_OK);
      ASSERT_TRUE(got.Same(want));
      ASSERT_TRUE(want.Consistent());
    }
}

TEST_P(PlaneLevels, ThreePlaneInterleaveAboveOneMegabyte) {
  // Level 1 streams its output past 1 MB whatever the cache; gap-free and padded rows.
  Random rnd(95);
  for (int32_t pad : {0, 5}) {
    Planar want(3, 1000, 350, 1000 + pad, 3000 + 3 * pad, rnd), got(3, 1000, 350, 1000 + pad, 3000 + 3 * pad, rnd);
    got.CopyFrom(want);
    ASSERT_EQ(want.Interleave(0), IMG_OK);
    ASSERT_EQ(got.Interleave(level()), IMG_OK);
    ASSERT_TRUE(got.Same(want)) << "padding " << pad;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, PlaneLevels, ::testing::ValuesIn(vorlix_test::LevelsToCompare()),
                         vorlix_test::LevelName);

// With a 256 KB cache the wide interleaves write with streaming stores.
class PlaneStreaming : public PlaneLevels {
 protected:
  void SetUp() override { CpuInstallProcessor(&vorlix_test::kSmallCacheProcessor); }
  void TearDown() override {
    CpuInstallProcessor(nullptr);
    CpuSelectProcessorLevel();
  }
};

TEST_P(PlaneStreaming, WideInterleavesMatchLevel0) { ComparePlanes(level(), true, 12, 94, 600, 300); }

INSTANTIATE_TEST_SUITE_P(Levels, PlaneStreaming, ::testing::ValuesIn(vorlix_test::LevelsToCompare()),
                         vorlix_test::LevelName);

TEST(Planes, ThreePixelExampleAndItsInverse) {
  const u8 p0[3] = {1, 2, 3}, p1[3] = {4, 5, 6}, p2[3] = {7, 8, 9};
  const u8* planes[3] = {p0, p1, p2};
  u8 out[9];
  ASSERT_EQ(ImgInterleaveU8C3Level0(planes, 3, out, 9, ImgSize{3, 1}), IMG_OK);
  EXPECT_EQ(std::vector<u8>(out, out + 9), (std::vector<u8>{1, 4, 7, 2, 5, 8, 3, 6, 9}));
  u8 q0[3], q1[3], q2[3];
  u8* back[3] = {q0, q1, q2};
  ASSERT_EQ(ImgDeinterleaveU8C3Level0(out, 9, back, 3, ImgSize{3, 1}), IMG_OK);
  EXPECT_EQ(std::memcmp(q0, p0, 3) | std::memcmp(q1, p1, 3) | std::memcmp(q2, p2, 3), 0);
}

TEST(Planes, DeinterleaveKeepsTheGapsBetweenPlaneRows) {
  u8 src[2 * 8];
  for (int i = 0; i < 16; ++i) src[i] = u8(i);
  u8 a[2 * 5], b[2 * 5], c[2 * 5], d[2 * 5];
  for (u8* p : {a, b, c, d}) std::memset(p, 0xEE, 10);
  u8* planes[4] = {a, b, c, d};
  ASSERT_EQ(ImgDeinterleaveU8C4Level0(src, 8, planes, 5, ImgSize{2, 2}), IMG_OK);
  const u8 wantA[10] = {0, 4, 0xEE, 0xEE, 0xEE, 8, 12, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(a, wantA, 10), 0);
  EXPECT_EQ(d[1], 7);
  EXPECT_EQ(d[6], 15);
}

TEST(Planes, ArgumentErrorsInOrderWriteNothing) {
  u8 bytes[4][16], pixels[64];
  std::vector<CpuLevel> levels{0};
  for (CpuLevel l : vorlix_test::RunnableLevels()) levels.push_back(l);
  struct Case {
    const char* what;
    int nullPlane;  // -1 none, 4 the array itself, else that entry
    bool nullPixels;
    ImgSize size;
    ImgStatus status;
  } cases[] = {
      {"null plane array", 4, false, {2, 2}, IMG_ERR_NULL},
      {"null picture", -1, true, {0, 0}, IMG_ERR_NULL},
      {"null first plane", 0, false, {2, 2}, IMG_ERR_NULL},
      {"null third plane", 2, false, {2, 2}, IMG_ERR_NULL},
      {"null plane before bad size", 1, false, {0, 0}, IMG_ERR_NULL},
      {"zero width", -1, false, {0, 2}, IMG_ERR_SIZE},
      {"negative height", -1, false, {2, -1}, IMG_ERR_SIZE},
  };
  for (CpuLevel l : levels)
    for (int channels : {3, 4})
      for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << l << ", " << channels << " channels: " << c.what);
        std::memset(bytes, 0xEE, sizeof bytes);
        std::memset(pixels, 0xEE, sizeof pixels);
        u8* p[4] = {bytes[0], bytes[1], bytes[2], bytes[3]};
        if (c.nullPlane >= 0 && c.nullPlane < 4) p[c.nullPlane] = nullptr;
        const u8* cp[4] = {p[0], p[1], p[2], p[3]};
        u8* const* planes = c.nullPlane == 4 ? nullptr : p;
        const u8* const* cplanes = c.nullPlane == 4 ? nullptr : cp;
        u8* px = c.nullPixels ? nullptr : pixels;
        if (channels == 3) {
          EXPECT_EQ(ImgInterleaveU8C3Table[l](cplanes, 8, px, 24, c.size), c.status);
          EXPECT_EQ(ImgDeinterleaveU8C3Table[l](px, 24, planes, 8, c.size), c.status);
        } else {
          EXPECT_EQ(ImgInterleaveU8C4Table[l](cplanes, 8, px, 32, c.size), c.status);
          EXPECT_EQ(ImgDeinterleaveU8C4Table[l](px, 32, planes, 8, c.size), c.status);
        }
        for (int k = 0; k < 4; ++k)
          for (u8 b : bytes[k]) ASSERT_EQ(b, 0xEE);
        for (u8 b : pixels) ASSERT_EQ(b, 0xEE);
      }
}

}  // namespace
