#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "imaging/core/dispatch.h"
#include "tests/imaging/core/image_harness.h"

namespace {

using vorlix_test::GuardedImage;
using vorlix_test::Random;

// One mirror routine by pixel size, at one level.
ImgStatus CallMirror(int pixelBytes, CpuLevel level, u8* base, int32_t step, ImgSize size, ImgMirrorAxis axis) {
  switch (pixelBytes) {
    case 1:
      return ImgMirrorInPlaceU8C1Table[level](base, step, size, axis);
    case 2:
      return ImgMirrorInPlaceU16C1Table[level](reinterpret_cast<u16*>(base), step, size, axis);
    case 3:
      return ImgMirrorInPlaceU8C3Table[level](base, step, size, axis);
    default:
      return ImgMirrorInPlaceU8C4Table[level](base, step, size, axis);
  }
}

// Pixel (i, j) of the mirror of `in`, computed from the axis' definition.
std::vector<u8> Expected(const std::vector<u8>& in, int pb, int32_t w, int32_t h, ImgMirrorAxis axis) {
  std::vector<u8> out(in.size());
  for (int32_t i = 0; i < h; ++i)
    for (int32_t j = 0; j < w; ++j) {
      int32_t si = axis == IMG_MIRROR_LEFT_RIGHT ? i : h - 1 - i;
      int32_t sj = axis == IMG_MIRROR_TOP_BOTTOM ? j : w - 1 - j;
      std::memcpy(&out[(size_t(i) * w + j) * pb], &in[(size_t(si) * w + sj) * pb], size_t(pb));
    }
  return out;
}

class MirrorLevels : public ::testing::TestWithParam<CpuLevel> {};

TEST_P(MirrorLevels, EveryPixelSizeAndAxisMatchesLevel0) {
  const CpuLevel level = GetParam();
  Random rnd(71);
  for (int c = 0; c < 1200; ++c) {
    const int pb = rnd.Int(1, 4);
    const ImgMirrorAxis axis = rnd.Int(0, 2);
    const int32_t width = rnd.Int(0, 3) == 0 ? rnd.Int(2, 9) : vorlix_test::RandomWidth(rnd) + 1;
    const int32_t height = rnd.Int(2, 7);
    const int32_t step = vorlix_test::RandomStep(rnd, int64_t(width) * pb, true);
    const bool atEnd = rnd.Int(0, 1);
    GuardedImage want(int64_t(width) * pb, height, step, atEnd), got(int64_t(width) * pb, height, step, atEnd);
    rnd.Fill(want.buffer.data(), want.buffer.size());
    std::memcpy(got.buffer.data(), want.buffer.data(), want.buffer.size());

    std::vector<u8> before(size_t(width) * height * pb);
    for (int32_t i = 0; i < height; ++i)
      std::memcpy(&before[size_t(i) * width * pb], want.base() + int64_t(i) * step, size_t(width) * pb);

    const ImgSize size{width, height};
    ASSERT_EQ(CallMirror(pb, 0, want.base(), step, size, axis), IMG_OK);
    ASSERT_EQ(CallMirror(pb, level, got.base(), step, size, axis), IMG_OK);
    ASSERT_EQ(got.FirstDifference(want), -1) << "case " << c << ": " << pb << "-byte pixels, " << width << " x "
                                             << height << ", step " << step << ", axis " << axis;

    std::vector<u8> after(before.size());
    for (int32_t i = 0; i < height; ++i)
      std::memcpy(&after[size_t(i) * width * pb], want.base() + int64_t(i) * step, size_t(width) * pb);
    ASSERT_EQ(after, Expected(before, pb, width, height, axis)) << "level 0, case " << c;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, MirrorLevels, ::testing::ValuesIn(vorlix_test::LevelsToCompare()),
                         vorlix_test::LevelName);

TEST(Mirror, SmallExamples) {
  u8 image[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_EQ(ImgMirrorInPlaceU8C1Level0(image, 3, ImgSize{3, 3}, IMG_MIRROR_BOTH), IMG_OK);
  const u8 both[9] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(std::memcmp(image, both, 9), 0);

  u8 rgb[9] = {11, 12, 13, 21, 22, 23, 31, 32, 33};
  ASSERT_EQ(ImgMirrorInPlaceU8C3Level0(rgb, 9, ImgSize{3, 1}, IMG_MIRROR_LEFT_RIGHT), IMG_OK);
  const u8 reversed[9] = {31, 32, 33, 21, 22, 23, 11, 12, 13};
  EXPECT_EQ(std::memcmp(rgb, reversed, 9), 0);

  u8 row[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(ImgMirrorInPlaceU8C1Level0(row, 5, ImgSize{5, 1}, IMG_MIRROR_TOP_BOTTOM), IMG_ERR_SIZE);
  EXPECT_EQ(ImgMirrorInPlaceU8C1Level0(row, 5, ImgSize{5, 1}, IMG_MIRROR_BOTH), IMG_ERR_SIZE);
  ASSERT_EQ(ImgMirrorInPlaceU8C1Level0(row, 5, ImgSize{5, 1}, IMG_MIRROR_LEFT_RIGHT), IMG_OK);
  const u8 row5[5] = {5, 4, 3, 2, 1};
  EXPECT_EQ(std::memcmp(row, row5, 5), 0);

  u8 column[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(ImgMirrorInPlaceU8C1Level0(column, 1, ImgSize{1, 5}, IMG_MIRROR_LEFT_RIGHT), IMG_ERR_SIZE);
  ASSERT_EQ(ImgMirrorInPlaceU8C1Level0(column, 1, ImgSize{1, 5}, IMG_MIRROR_TOP_BOTTOM), IMG_OK);
  EXPECT_EQ(std::memcmp(column, row5, 5), 0);

  // A negative step mirrors the rows as addressed.
  u8 rows[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(ImgMirrorInPlaceU8C1Level0(rows + 4, -2, ImgSize{2, 3}, IMG_MIRROR_BOTH), IMG_OK);
  const u8 rowsBoth[6] = {6, 5, 4, 3, 2, 1};
  EXPECT_EQ(std::memcmp(rows, rowsBoth, 6), 0);
}

TEST(Mirror, SixteenBitRowsAtAnOddAddress) {
  // 40 elements per row so the row exchange would use blocks if the rows were aligned.
  std::vector<u8> aligned(2 * 80 + 1), odd(2 * 80 + 1);
  for (size_t i = 0; i < aligned.size(); ++i) aligned[i] = odd[i] = u8(i * 5 + 1);
  std::vector<u8> oddCopy(odd.begin() + 1, odd.end());
  ASSERT_EQ(ImgMirrorInPlaceU16C1Level0(reinterpret_cast<u16*>(odd.data() + 1), 80, ImgSize{40, 2}, 0), IMG_OK);
  std::vector<u8> a(oddCopy);
  ASSERT_EQ(ImgMirrorInPlaceU16C1Level0(reinterpret_cast<u16*>(a.data()), 80, ImgSize{40, 2}, 0), IMG_OK);
  EXPECT_EQ(std::vector<u8>(odd.begin() + 1, odd.end()), a);
  EXPECT_EQ(std::memcmp(a.data(), oddCopy.data() + 80, 80), 0);
}

TEST(Mirror, ArgumentErrorsInOrderChangeNothing) {
  struct Case {
    const char* what;
    bool null;
    ImgSize size;
    ImgMirrorAxis axis;
    ImgStatus status;
  } cases[] = {
      {"null image", true, {4, 4}, 0, IMG_ERR_NULL},
      {"null before bad size", true, {0, 0}, 7, IMG_ERR_NULL},
      {"zero width", false, {0, 4}, 0, IMG_ERR_SIZE},
      {"negative height", false, {4, -1}, 0, IMG_ERR_SIZE},
      {"0 x 0 with axis 3: sizes first", false, {0, 0}, 3, IMG_ERR_SIZE},
      {"axis 3", false, {4, 4}, 3, IMG_ERR_MIRROR_AXIS},
      {"axis -1", false, {4, 4}, -1, IMG_ERR_MIRROR_AXIS},
      {"1 x 1 axis 0", false, {1, 1}, 0, IMG_ERR_SIZE},
      {"1 x 1 axis 1", false, {1, 1}, 1, IMG_ERR_SIZE},
      {"1 x 1 axis 2", false, {1, 1}, 2, IMG_ERR_SIZE},
      {"4 x 1 axis 2", false, {4, 1}, 2, IMG_ERR_SIZE},
      {"1 x 4 axis 2", false, {1, 4}, 2, IMG_ERR_SIZE},
  };
  std::vector<CpuLevel> levels{0};
  for (CpuLevel l : vorlix_test::RunnableLevels()) levels.push_back(l);
  u8 image[64];
  for (CpuLevel l : levels)
    for (int pb = 1; pb <= 4; ++pb)
      for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << l << ", " << pb << "-byte pixels: " << c.what);
        for (int i = 0; i < 64; ++i) image[i] = u8(i);
        EXPECT_EQ(CallMirror(pb, l, c.null ? nullptr : image, 16, c.size, c.axis), c.status);
        for (int i = 0; i < 64; ++i) ASSERT_EQ(image[i], u8(i));
      }
}

}  // namespace
