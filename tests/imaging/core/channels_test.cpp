#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "imaging/core/dispatch.h"
#include "tests/imaging/core/image_harness.h"

namespace {

using vorlix_test::GuardedImage;
using vorlix_test::Random;

class ChannelLevels : public ::testing::TestWithParam<CpuLevel> {
 protected:
  CpuLevel level() const { return GetParam(); }
};

struct Pair {
  int32_t width, height, srcStep, dstStep;
  bool srcEnd, dstEnd;
};
Pair RandomPair(Random& rnd, int srcPixel, int dstPixel, bool allowNegative) {
  Pair p;
  p.width = vorlix_test::RandomWidth(rnd);
  p.height = rnd.Int(1, 5);
  const bool contiguous = rnd.Int(0, 2) == 0;
  p.srcStep =
      contiguous ? p.width * srcPixel : vorlix_test::RandomStep(rnd, int64_t(p.width) * srcPixel, allowNegative);
  p.dstStep =
      contiguous ? p.width * dstPixel : vorlix_test::RandomStep(rnd, int64_t(p.width) * dstPixel, allowNegative);
  if (contiguous && allowNegative && rnd.Int(0, 3) == 0) {
    p.srcStep = -p.srcStep;
    p.dstStep = -p.dstStep;
  }
  p.srcEnd = rnd.Int(0, 1);
  p.dstEnd = rnd.Int(0, 1);
  return p;
}

ImgChannelOrder RandomC3ToC4Order(Random& rnd) {
  ImgChannelOrder o;
  // Mostly orders with exactly one special channel (the shuffle kernel's case), and
  // sometimes any mixture of copies, constants and kept bytes.
  const bool oneSpecial = rnd.Int(0, 3) != 0;
  for (int k = 0; k < 4; ++k) o.c[k] = oneSpecial ? rnd.Int(0, 2) : rnd.Int(0, 6);
  if (oneSpecial) o.c[rnd.Int(0, 3)] = rnd.Int(3, 5);
  return o;
}

TEST_P(ChannelLevels, ReorderC3ToC4MatchesLevel0) {
  Random rnd(81);
  for (int c = 0; c < 500; ++c) {
    const Pair p = RandomPair(rnd, 3, 4, true);
    const ImgChannelOrder order = RandomC3ToC4Order(rnd);
    const u8 value = u8(rnd.Int(0, 255));
    GuardedImage src(int64_t(p.width) * 3, p.height, p.srcStep, p.srcEnd);
    GuardedImage want(int64_t(p.width) * 4, p.height, p.dstStep, p.dstEnd),
        got(int64_t(p.width) * 4, p.height, p.dstStep, p.dstEnd);
    rnd.Fill(src.buffer.data(), src.buffer.size());
    rnd.Fill(want.buffer.data(), want.buffer.size());
    std::memcpy(got.buffer.data(), want.buffer.data(), want.buffer.size());
    const ImgSize size{p.width, p.height};
    ASSERT_EQ(ImgReorderU8C3ToC4Table[0](src.base(), p.srcStep, want.base(), p.dstStep, size, &order, value), IMG_OK);
    ASSERT_EQ(ImgReorderU8C3ToC4Table[level()](src.base(), p.srcStep, got.base(), p.dstStep, size, &order, value),
              IMG_OK);
    ASSERT_EQ(got.FirstDifference(want), -1) << "case " << c << ": " << p.width << " x " << p.height << " order "
                                             << order.c[0] << order.c[1] << order.c[2] << order.c[3];
  }
}

TEST_P(ChannelLevels, CopyC4ToC3MatchesLevel0) {
  Random rnd(82);
  for (int c = 0; c < 500; ++c) {
    const Pair p = RandomPair(rnd, 4, 3, true);
    GuardedImage src(int64_t(p.width) * 4, p.height, p.srcStep, p.srcEnd);
    GuardedImage want(int64_t(p.width) * 3, p.height, p.dstStep, p.dstEnd),
        got(int64_t(p.width) * 3, p.height, p.dstStep, p.dstEnd);
    rnd.Fill(src.buffer.data(), src.buffer.size());
    rnd.Fill(want.buffer.data(), want.buffer.size());
    std::memcpy(got.buffer.data(), want.buffer.data(), want.buffer.size());
    const ImgSize size{p.width, p.height};
    ASSERT_EQ(ImgCopyU8C4ToC3Table[0](src.base(), p.srcStep, want.base(), p.dstStep, size), IMG_OK);
    ASSERT_EQ(ImgCopyU8C4ToC3Table[level()](src.base(), p.srcStep, got.base(), p.dstStep, size), IMG_OK);
    ASSERT_EQ(got.FirstDifference(want), -1) << "case " << c;
    for (int32_t i = 0; i < p.height; ++i)
      for (int32_t x = 0; x < p.width; ++x)
        for (int k = 0; k < 3; ++k)
          ASSERT_EQ(want.base()[int64_t(i) * p.dstStep + 3 * x + k], src.base()[int64_t(i) * p.srcStep + 4 * x + k]);
  }
}

TEST_P(ChannelLevels, ReorderInPlaceMatchesLevel0) {
  Random rnd(83);
  for (int c = 0; c < 500; ++c) {
    const int32_t width = vorlix_test::RandomWidth(rnd), height = rnd.Int(1, 5);
    // Steps that are and are not multiples of 4, and gap-free ones.
    const int32_t step = rnd.Int(0, 2) == 0 ? width * 4 : vorlix_test::RandomStep(rnd, int64_t(width) * 4, false);
    ImgChannelOrder order;
    for (int k = 0; k < 4; ++k) order.c[k] = rnd.Int(0, 3);
    const bool atEnd = rnd.Int(0, 1);
    GuardedImage want(int64_t(width) * 4, height, step, atEnd), got(int64_t(width) * 4, height, step, atEnd);
    rnd.Fill(want.buffer.data(), want.buffer.size());
    std::memcpy(got.buffer.data(), want.buffer.data(), want.buffer.size());
    ASSERT_EQ(ImgReorderInPlaceU8C4Table[0](want.base(), step, ImgSize{width, height}, &order), IMG_OK);
    ASSERT_EQ(ImgReorderInPlaceU8C4Table[level()](got.base(), step, ImgSize{width, height}, &order), IMG_OK);
    ASSERT_EQ(got.FirstDifference(want), -1) << "case " << c << ": " << width << " x " << height << " step " << step;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, ChannelLevels, ::testing::ValuesIn(vorlix_test::LevelsToCompare()),
                         vorlix_test::LevelName);

TEST(Channels, Examples) {
  const u8 bgr[3] = {10, 20, 30};
  u8 out[4] = {1, 2, 3, 4};
  ImgChannelOrder swap{{2, 1, 0, 3}};
  ASSERT_EQ(ImgReorderU8C3ToC4Level0(bgr, 3, out, 4, ImgSize{1, 1}, &swap, 255), IMG_OK);
  EXPECT_EQ(std::vector<u8>(out, out + 4), (std::vector<u8>{30, 20, 10, 255}));

  ImgChannelOrder keep{{0, 0, 0, 4}};
  const u8 out0[4] = {1, 2, 3, 77};
  std::memcpy(out, out0, 4);
  ASSERT_EQ(ImgReorderU8C3ToC4Level0(bgr, 3, out, 4, ImgSize{1, 1}, &keep, 255), IMG_OK);
  EXPECT_EQ(std::vector<u8>(out, out + 4), (std::vector<u8>{10, 10, 10, 77}));

  // The common order {4 or more, 0, 1, 2}: input behind an untouched first byte.
  ImgChannelOrder behind{{9, 0, 1, 2}};
  std::memcpy(out, out0, 4);
  ASSERT_EQ(ImgReorderU8C3ToC4Level0(bgr, 3, out, 4, ImgSize{1, 1}, &behind, 255), IMG_OK);
  EXPECT_EQ(std::vector<u8>(out, out + 4), (std::vector<u8>{1, 10, 20, 30}));

  struct InPlace {
    ImgChannelOrder order;
    std::vector<u8> result;
  } inPlace[] = {
      {{{0, 3, 2, 1}}, {10, 40, 30, 20}}, {{{3, 3, 3, 3}}, {40, 40, 40, 40}}, {{{3, 2, 1, 0}}, {40, 30, 20, 10}}};
  for (const InPlace& c : inPlace) {
    u8 px[4] = {10, 20, 30, 40};
    ASSERT_EQ(ImgReorderInPlaceU8C4Level0(px, 4, ImgSize{1, 1}, &c.order), IMG_OK);
    EXPECT_EQ(std::vector<u8>(px, px + 4), c.result);
  }

  const u8 bgra[4] = {1, 2, 3, 4};
  u8 three[4] = {9, 9, 9, 9};
  ASSERT_EQ(ImgCopyU8C4ToC3Level0(bgra, 4, three, 3, ImgSize{1, 1}), IMG_OK);
  EXPECT_EQ(std::vector<u8>(three, three + 4), (std::vector<u8>{1, 2, 3, 9}));
}

TEST(Channels, MirroredPackedPairsGetTheirChromaBack) {
  // A mirrored row of Y0 U Y1 V pairs, read as 4-byte pixels, with {0, 3, 2, 1}.
  u8 row[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(ImgMirrorInPlaceU16C1Level0(reinterpret_cast<u16*>(row), 8, ImgSize{4, 1}, IMG_MIRROR_LEFT_RIGHT), IMG_OK);
  ImgChannelOrder order{{0, 3, 2, 1}};
  ASSERT_EQ(ImgReorderInPlaceU8C4Level0(row, 8, ImgSize{2, 1}, &order), IMG_OK);
  // Y0 U0 Y1 V0 Y2 U1 Y3 V1 becomes Y3 U1 Y2 V1 Y1 U0 Y0 V0.
  EXPECT_EQ(std::vector<u8>(row, row + 8), (std::vector<u8>{7, 6, 5, 8, 3, 2, 1, 4}));
}

TEST(Channels, ArgumentErrorsInOrderWriteNothing) {
  u8 src[64] = {1, 2, 3}, dst[64];
  const ImgChannelOrder ok{{2, 1, 0, 3}};
  std::vector<CpuLevel> levels{0};
  for (CpuLevel l : vorlix_test::RunnableLevels()) levels.push_back(l);
  struct C3ToC4 {
    const char* what;
    bool nullSrc, nullDst, nullOrder;
    ImgSize size;
    ImgChannelOrder order;
    ImgStatus status;
  } c3c4[] = {
      {"null source", true, false, false, {0, 0}, {{-1, 0, 0, 0}}, IMG_ERR_NULL},
      {"null destination", false, true, false, {2, 2}, ok, IMG_ERR_NULL},
      {"null order", false, false, true, {2, 2}, ok, IMG_ERR_NULL},
      {"zero width before order", false, false, false, {0, 2}, {{-1, 0, 0, 0}}, IMG_ERR_SIZE},
      {"negative height", false, false, false, {2, -2}, ok, IMG_ERR_SIZE},
      {"entry 3 below zero", false, false, false, {2, 2}, {{0, 1, 2, -1}}, IMG_ERR_CHANNEL_ORDER},
      {"entry 0 below zero", false, false, false, {2, 2}, {{-5, 1, 2, 3}}, IMG_ERR_CHANNEL_ORDER},
  };
  for (CpuLevel l : levels)
    for (const C3ToC4& c : c3c4) {
      SCOPED_TRACE(testing::Message() << "level " << l << ": " << c.what);
      std::memset(dst, 0xEE, sizeof dst);
      EXPECT_EQ(ImgReorderU8C3ToC4Table[l](c.nullSrc ? nullptr : src, 6, c.nullDst ? nullptr : dst, 8, c.size,
                                           c.nullOrder ? nullptr : &c.order, 255),
                c.status);
      // The 4-to-3 copy has the same pointer and size checks, without an order.
      const ImgStatus copyStatus = c.nullSrc || c.nullDst                    ? IMG_ERR_NULL
                                   : c.size.width <= 0 || c.size.height <= 0 ? IMG_ERR_SIZE
                                                                             : IMG_OK;
      if (copyStatus != IMG_OK) {
        EXPECT_EQ(ImgCopyU8C4ToC3Table[l](c.nullSrc ? nullptr : src, 8, c.nullDst ? nullptr : dst, 6, c.size),
                  copyStatus);
      }
      for (u8 b : dst) ASSERT_EQ(b, 0xEE);
    }

  struct InPlace {
    const char* what;
    bool nullImage, nullOrder;
    int32_t step;
    ImgSize size;
    ImgChannelOrder order;
    ImgStatus status;
  } inPlace[] = {
      {"null image", true, false, 0, {0, 0}, ok, IMG_ERR_NULL},
      {"null order", false, true, 8, {2, 2}, ok, IMG_ERR_NULL},
      {"zero step before the size", false, false, 0, {0, 0}, ok, IMG_ERR_STEP},
      {"negative step", false, false, -8, {2, 2}, ok, IMG_ERR_STEP},
      {"zero width", false, false, 8, {0, 2}, {{4, 0, 0, 0}}, IMG_ERR_SIZE},
      {"zero height", false, false, 8, {2, 0}, ok, IMG_ERR_SIZE},
      {"entry 4", false, false, 8, {2, 2}, {{0, 1, 2, 4}}, IMG_ERR_CHANNEL_ORDER},
      {"entry -1", false, false, 8, {2, 2}, {{0, -1, 2, 3}}, IMG_ERR_CHANNEL_ORDER},
  };
  for (CpuLevel l : levels)
    for (const InPlace& c : inPlace) {
      SCOPED_TRACE(testing::Message() << "level " << l << ": " << c.what);
      std::memset(dst, 0xEE, sizeof dst);
      EXPECT_EQ(
          ImgReorderInPlaceU8C4Table[l](c.nullImage ? nullptr : dst, c.step, c.size, c.nullOrder ? nullptr : &c.order),
          c.status);
      for (u8 b : dst) ASSERT_EQ(b, 0xEE);
    }
}

}  // namespace
