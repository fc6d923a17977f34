#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "imaging/core/copy.h"
#include "imaging/core/dispatch.h"
#include "tests/imaging/core/image_harness.h"

namespace {

using vorlix_test::GuardedImage;
using vorlix_test::Random;

class CopyLevels : public ::testing::TestWithParam<CpuLevel> {
 protected:
  CpuLevel level() const { return GetParam(); }
};

// Source and destination geometry of one randomised case.
struct Geometry {
  int32_t width, height, srcStep, dstStep;
  bool srcAtEnd, dstAtEnd;
};

Geometry RandomGeometry(Random& rnd, int elementBytes, bool allowNegative) {
  Geometry g;
  g.width = vorlix_test::RandomWidth(rnd);
  g.height = rnd.Int(1, 6);
  g.srcStep = vorlix_test::RandomStep(rnd, int64_t(g.width) * elementBytes, allowNegative);
  g.dstStep = rnd.Int(0, 1) ? g.srcStep : vorlix_test::RandomStep(rnd, int64_t(g.width) * elementBytes, allowNegative);
  g.srcAtEnd = rnd.Int(0, 1);
  g.dstAtEnd = rnd.Int(0, 1);
  return g;
}

template <typename Fn>
void CompareCopy(CpuLevel level, const Fn* table, int elementBytes, int cases, uint32_t seed) {
  Random rnd(seed);
  for (int c = 0; c < cases; ++c) {
    Geometry g = RandomGeometry(rnd, elementBytes, true);
    const int64_t rb = int64_t(g.width) * elementBytes;
    GuardedImage src(rb, g.height, g.srcStep, g.srcAtEnd);
    GuardedImage want(rb, g.height, g.dstStep, g.dstAtEnd), got(rb, g.height, g.dstStep, g.dstAtEnd);
    rnd.Fill(src.buffer.data(), src.buffer.size());
    rnd.Fill(want.buffer.data(), want.buffer.size());
    std::memcpy(got.buffer.data(), want.buffer.data(), want.buffer.size());
    ImgStatus s0, sk;
    if constexpr (std::is_same_v<Fn, ImgCopyU8C1Fn>) {
      s0 = table[0](src.base(), g.srcStep, want.base(), g.dstStep, ImgSize{g.width, g.height});
      sk = table[level](src.base(), g.srcStep, got.base(), g.dstStep, ImgSize{g.width, g.height});
    } else {
      s0 = table[0](reinterpret_cast<const u16*>(src.base()), g.srcStep, reinterpret_cast<u16*>(want.base()), g.dstStep,
                    ImgSize{g.width, g.height});
      sk = table[level](reinterpret_cast<const u16*>(src.base()), g.srcStep, reinterpret_cast<u16*>(got.base()),
                        g.dstStep, ImgSize{g.width, g.height});
    }
    ASSERT_EQ(s0, IMG_OK);
    ASSERT_EQ(sk, s0);
    ASSERT_EQ(got.FirstDifference(want), -1)
        << "case " << c << ": " << g.width << " x " << g.height << " steps " << g.srcStep << ", " << g.dstStep;
    // Level 0 itself must copy every row exactly.
    for (int32_t i = 0; i < g.height; ++i)
      ASSERT_EQ(std::memcmp(want.base() + int64_t(i) * g.dstStep, src.base() + int64_t(i) * g.srcStep, size_t(rb)), 0);
  }
}

TEST_P(CopyLevels, CopyU8C1MatchesLevel0) { CompareCopy(level(), ImgCopyU8C1Table, 1, 400, 11); }
TEST_P(CopyLevels, CopyU16C1MatchesLevel0) { CompareCopy(level(), ImgCopyU16C1Table, 2, 400, 12); }

// One set routine, called with its value for a given level.
enum class SetKind { U8C1, U16C1, U8C3, U8C4 };
ImgStatus CallSet(SetKind kind, CpuLevel level, const u8* value, u8* dst, int32_t step, ImgSize size) {
  switch (kind) {
    case SetKind::U8C1:
      return ImgSetU8C1Table[level](value[0], dst, step, size);
    case SetKind::U16C1: {
      u16 v;
      std::memcpy(&v, value, 2);
      return ImgSetU16C1Table[level](v, reinterpret_cast<u16*>(dst), step, size);
    }
    case SetKind::U8C3:
      return ImgSetU8C3Table[level](value, dst, step, size);
    case SetKind::U8C4:
      return ImgSetU8C4Table[level](value, dst, step, size);
  }
  return IMG_ERR_NULL;
}
int PixelBytes(SetKind kind) {
  return kind == SetKind::U8C1 ? 1 : kind == SetKind::U16C1 ? 2 : kind == SetKind::U8C3 ? 3 : 4;
}

void CompareSet(SetKind kind, CpuLevel level, int cases, uint32_t seed, int maxHeight = 6) {
  Random rnd(seed);
  const int pb = PixelBytes(kind);
  for (int c = 0; c < cases; ++c) {
    const int32_t width = vorlix_test::RandomWidth(rnd), height = rnd.Int(1, maxHeight);
    const int32_t step = vorlix_test::RandomStep(rnd, int64_t(width) * pb, true);
    const bool atEnd = rnd.Int(0, 1);
    u8 value[4];
    rnd.Fill(value, 4);
    GuardedImage want(int64_t(width) * pb, height, step, atEnd), got(int64_t(width) * pb, height, step, atEnd);
    rnd.Fill(want.buffer.data(), want.buffer.size());
    std::memcpy(got.buffer.data(), want.buffer.data(), want.buffer.size());
    ASSERT_EQ(CallSet(kind, 0, value, want.base(), step, ImgSize{width, height}), IMG_OK);
    ASSERT_EQ(CallSet(kind, level, value, got.base(), step, ImgSize{width, height}), IMG_OK);
    ASSERT_EQ(got.FirstDifference(want), -1) << "case " << c << ": " << width << " x " << height << " step " << step;
    for (int32_t i = 0; i < height; ++i)
      for (int32_t x = 0; x < width * pb; ++x)
        ASSERT_EQ(want.base()[int64_t(i) * step + x], value[x % pb]) << "level 0 row " << i << " byte " << x;
  }
}

TEST_P(CopyLevels, SetU8C1MatchesLevel0) { CompareSet(SetKind::U8C1, level(), 300, 21); }
TEST_P(CopyLevels, SetU16C1MatchesLevel0) { CompareSet(SetKind::U16C1, level(), 300, 22); }
TEST_P(CopyLevels, SetU8C3MatchesLevel0) { CompareSet(SetKind::U8C3, level(), 300, 23); }
TEST_P(CopyLevels, SetU8C4MatchesLevel0) { CompareSet(SetKind::U8C4, level(), 300, 24); }

TEST_P(CopyLevels, VectorCopyAndSwapMatchLevel0) {
  Random rnd(31);
  for (int c = 0; c < 400; ++c) {
    const int32_t n = rnd.Int(0, 3) == 0 ? rnd.Int(1, 40) : rnd.Int(1, 3000);
    const bool srcEnd = rnd.Int(0, 1), dstEnd = rnd.Int(0, 1);
    // Byte copy.
    vorlix_test::Guarded src(size_t(n) * 2, srcEnd), want(size_t(n) * 2, dstEnd), got(size_t(n) * 2, dstEnd);
    rnd.Fill(src.data(), src.size());
    rnd.Fill(want.data(), want.size());
    std::memcpy(got.data(), want.data(), want.size());
    ASSERT_EQ(ImgVecCopyU8Table[0](src.data(), want.data(), n), IMG_OK);
    ASSERT_EQ(ImgVecCopyU8Table[level()](src.data(), got.data(), n), IMG_OK);
    ASSERT_EQ(std::memcmp(want.data(), got.data(), want.size()), 0) << "copy of " << n;
    ASSERT_EQ(std::memcmp(want.data(), src.data(), size_t(n)), 0);
    // Byte swap, out of place; an odd start on either side is allowed.
    const int srcOdd = rnd.Int(0, 1) && n > 1, dstOdd = rnd.Int(0, 1) && n > 1;
    const int32_t m = n - (srcOdd || dstOdd ? 1 : 0);
    auto* s16 = reinterpret_cast<const u16*>(src.data() + srcOdd);
    ASSERT_EQ(ImgVecSwapBytesU16Table[0](s16, reinterpret_cast<u16*>(want.data() + dstOdd), m), IMG_OK);
    ASSERT_EQ(ImgVecSwapBytesU16Table[level()](s16, reinterpret_cast<u16*>(got.data() + dstOdd), m), IMG_OK);
    ASSERT_EQ(std::memcmp(want.data(), got.data(), want.size()), 0) << "swap of " << m;
    for (int32_t k = 0; k < m; ++k) {
      ASSERT_EQ(want.data()[dstOdd + 2 * k], src.data()[srcOdd + 2 * k + 1]);
      ASSERT_EQ(want.data()[dstOdd + 2 * k + 1], src.data()[srcOdd + 2 * k]);
    }
    // Byte swap in place.
    std::memcpy(got.data(), src.data(), size_t(2 * m));
    ASSERT_EQ(
        ImgVecSwapBytesU16Table[level()](reinterpret_cast<u16*>(got.data()), reinterpret_cast<u16*>(got.data()), m),
        IMG_OK);
    for (int32_t k = 0; k < m; ++k) ASSERT_EQ(got.data()[2 * k], src.data()[2 * k + 1]);
  }
}

// Large images: rows long enough for the 64-byte loops and the backward copy, and
// both one-run and per-row processing.
TEST_P(CopyLevels, LargeImagesMatchLevel0) {
  Random rnd(41);
  for (int c = 0; c < 12; ++c) {
    const int32_t width = rnd.Int(1000, 5000), height = rnd.Int(2, 40);
    const bool contiguous = c % 2 == 0;
    const int32_t step = contiguous ? width : width + rnd.Int(1, 100);
    GuardedImage src(width, height, step, true), want(width, height, step, c % 3 == 0),
        got(width, height, step, c % 3 == 0);
    rnd.Fill(src.buffer.data(), src.buffer.size());
    ASSERT_EQ(ImgCopyU8C1Table[0](src.base(), step, want.base(), step, ImgSize{width, height}), IMG_OK);
    ASSERT_EQ(ImgCopyU8C1Table[level()](src.base(), step, got.base(), step, ImgSize{width, height}), IMG_OK);
    ASSERT_TRUE(got.SameBytes(want));
  }
}

TEST_P(CopyLevels, RowsThatAliasModuloFourKilobytes) {
  // Source and destination 4,000 bytes apart modulo 4 KB, and 64 bytes apart the other
  // way: the rows are copied from their end.
  for (int64_t delta : {4000, -64, 3936, -160, 100}) {
    SCOPED_TRACE(delta);
    std::vector<u8> arena(3 * 65536 + 64);
    u8* base = arena.data() + (16 - reinterpret_cast<uintptr_t>(arena.data()) % 16) % 16;
    u8* src = base + 65536;
    u8* dst = base + 65536 + 8192 - delta;  // aligned source, destination delta below modulo 4 KB
    for (int i = 0; i < 4096; ++i) src[i] = u8(i * 7 + 3);
    for (int32_t width : {64, 200, 1000, 4096}) {
      std::memset(dst - 16, 0xEE, size_t(width) + 32);
      ASSERT_EQ(ImgCopyU8C1Table[level()](src, width, dst, width, ImgSize{width, 1}), IMG_OK);
      ASSERT_EQ(std::memcmp(dst, src, size_t(width)), 0) << width;
      ASSERT_EQ(dst[-1], 0xEE);
      ASSERT_EQ(dst[width], 0xEE);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, CopyLevels, ::testing::ValuesIn(vorlix_test::LevelsToCompare()),
                         vorlix_test::LevelName);

// ---- Streaming stores ----------------------------------------------------------------

class Streaming : public CopyLevels {
 protected:
  void SetUp() override {
    CpuInstallProcessor(&vorlix_test::kSmallCacheProcessor);
    int32_t cache = 0;
    ASSERT_EQ(CpuGetMaxCacheSize(&cache), IMG_OK);
    ASSERT_EQ(cache, 256 * 1024);
  }
  void TearDown() override {
    CpuInstallProcessor(nullptr);
    CpuSelectProcessorLevel();
  }
};

TEST_P(Streaming, LargeCopiesAndSetsMatchLevel0) {
  Random rnd(51);
  struct Case {
    int32_t width, height, padding;
  } cases[] = {{1024, 1025, 0}, {1024, 1024, 0}, {1000, 1100, 7}, {700, 600, 0}, {333, 3200, 21}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " + " << c.padding);
    for (int pb : {1, 2}) {
      const int32_t step = c.width * pb + c.padding;
      GuardedImage src(int64_t(c.width) * pb, c.height, step, true);
      GuardedImage want(int64_t(c.width) * pb, c.height, step, false),
          got(int64_t(c.width) * pb, c.height, step, false);
      rnd.Fill(src.buffer.data(), src.buffer.size());
      rnd.Fill(want.buffer.data(), want.buffer.size());
      std::memcpy(got.buffer.data(), want.buffer.data(), want.buffer.size());
      const ImgSize size{c.width, c.height};
      if (pb == 1) {
        ASSERT_EQ(ImgCopyU8C1Table[0](src.base(), step, want.base(), step, size), IMG_OK);
        ASSERT_EQ(ImgCopyU8C1Table[level()](src.base(), step, got.base(), step, size), IMG_OK);
      } else {
        auto* s = reinterpret_cast<const u16*>(src.base());
        ASSERT_EQ(ImgCopyU16C1Table[0](s, step, reinterpret_cast<u16*>(want.base()), step, size), IMG_OK);
        ASSERT_EQ(ImgCopyU16C1Table[level()](s, step, reinterpret_cast<u16*>(got.base()), step, size), IMG_OK);
      }
      ASSERT_TRUE(got.SameBytes(want));
    }
    for (SetKind kind : {SetKind::U8C1, SetKind::U8C3, SetKind::U8C4}) {
      const int pb = PixelBytes(kind);
      const int32_t step = c.width * pb + c.padding;
      GuardedImage want(int64_t(c.width) * pb, c.height, step, true), got(int64_t(c.width) * pb, c.height, step, true);
      std::memset(want.buffer.data(), 0x5A, want.buffer.size());
      std::memset(got.buffer.data(), 0x5A, got.buffer.size());
      const u8 value[4] = {1, 2, 3, 4};
      ASSERT_EQ(CallSet(kind, 0, value, want.base(), step, ImgSize{c.width, c.height}), IMG_OK);
      ASSERT_EQ(CallSet(kind, level(), value, got.base(), step, ImgSize{c.width, c.height}), IMG_OK);
      ASSERT_TRUE(got.SameBytes(want)) << "set of " << pb << "-byte pixels";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, Streaming, ::testing::ValuesIn(vorlix_test::LevelsToCompare()),
                         vorlix_test::LevelName);

// ---- Level 0 and helpers ---------------------------------------------------------------

TEST(CopyLevel0, OverlappingRowsCopyTheSource) {
  // Destination one byte before and one byte after the source within the same buffer:
  // either way the row comes out as the source was before the call.
  for (int shift : {-1, 1, -7, 9, 31}) {
    for (int32_t width : {5, 40, 100}) {
      SCOPED_TRACE(testing::Message() << "shift " << shift << ", width " << width);
      std::vector<u8> buf(256);
      for (size_t i = 0; i < buf.size(); ++i) buf[i] = u8(i);
      std::vector<u8> original(buf.begin() + 64, buf.begin() + 64 + width);
      ASSERT_EQ(ImgCopyU8C1Level0(buf.data() + 64, width, buf.data() + 64 + shift, width, ImgSize{width, 1}), IMG_OK);
      EXPECT_EQ(std::vector<u8>(buf.begin() + 64 + shift, buf.begin() + 64 + shift + width), original);
    }
  }
  // 16-bit rows overlapping by an odd number of bytes.
  std::vector<u8> buf(256);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = u8(i);
  std::vector<u8> original(buf.begin() + 64, buf.begin() + 64 + 80);
  ASSERT_EQ(ImgCopyU16C1Level0(reinterpret_cast<u16*>(buf.data() + 64), 80, reinterpret_cast<u16*>(buf.data() + 67), 80,
                               ImgSize{40, 1}),
            IMG_OK);
  EXPECT_EQ(std::vector<u8>(buf.begin() + 67, buf.begin() + 67 + 80), original);
}

TEST(CopyLevel0, BottomUpAndOddAddresses) {
  Random rnd(61);
  std::vector<u8> src(5 * 37), dst(5 * 37 + 1, 0);
  rnd.Fill(src.data(), src.size());
  // Negative steps with pointers to the last rows.
  ASSERT_EQ(ImgCopyU8C1Level0(src.data() + 4 * 37, -37, dst.data() + 4 * 37, -37, ImgSize{37, 5}), IMG_OK);
  EXPECT_EQ(std::memcmp(src.data(), dst.data(), src.size()), 0);
  // A 16-bit copy to an odd address.
  std::fill(dst.begin(), dst.end(), 0);
  ASSERT_EQ(ImgCopyU16C1Level0(reinterpret_cast<const u16*>(src.data()), 36, reinterpret_cast<u16*>(dst.data() + 1), 36,
                               ImgSize{18, 5}),
            IMG_OK);
  EXPECT_EQ(std::memcmp(src.data(), dst.data() + 1, 180), 0);
  EXPECT_EQ(dst[0], 0);
}

TEST(CopyLevel0, SetThreeBytePixelsLeavesTheGap) {
  u8 image[16];
  std::memset(image, 0xAA, sizeof image);
  const u8 value[3] = {1, 2, 3};
  ASSERT_EQ(ImgSetU8C3Level0(value, image, 8, ImgSize{2, 2}), IMG_OK);
  const u8 expected[16] = {1, 2, 3, 1, 2, 3, 0xAA, 0xAA, 1, 2, 3, 1, 2, 3, 0xAA, 0xAA};
  EXPECT_EQ(std::memcmp(image, expected, 16), 0);
}

TEST(CopyLevel0, SwapInPlace) {
  u8 bytes[200];
  for (int i = 0; i < 200; ++i) bytes[i] = u8(i % 2 ? 0x34 : 0x12);
  auto* p = reinterpret_cast<u16*>(bytes);
  ASSERT_EQ(ImgVecSwapBytesU16Level0(p, p, 100), IMG_OK);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(bytes[i], i % 2 ? 0x12 : 0x34);
}

TEST(CopyHelpers, VectorCopyAndZero) {
  u8 src[64], dst[64];
  for (int i = 0; i < 64; ++i) src[i] = u8(i + 1);
  std::memset(dst, 0xEE, sizeof dst);
  EXPECT_EQ(VecCopyU32(src, dst, 3), IMG_OK);
  EXPECT_EQ(std::memcmp(src, dst, 12), 0);
  EXPECT_EQ(dst[12], 0xEE);

  alignas(16) u8 buf[64];
  for (int start = 0; start < 8; ++start) {
    for (int n : {1, 5, 31, 33, 50}) {
      std::memset(buf, 0xEE, sizeof buf);
      ASSERT_EQ(VecZeroU8(buf + start, n), IMG_OK);
      for (int i = 0; i < 64; ++i) ASSERT_EQ(buf[i], (i >= start && i < start + n) ? 0 : 0xEE) << start << " " << n;
    }
  }
  // The byte kernels over every short length and alignment.
  alignas(16) u8 big[160], out[160];
  for (int i = 0; i < 160; ++i) big[i] = u8(i * 13);
  for (int so = 0; so < 4; ++so)
    for (int d = 0; d < 4; ++d)
      for (int n = 0; n < 100; ++n) {
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(CopyKernelU8(big + so, out + d, n), out + d);
        for (int i = 0; i < 160; ++i)
          ASSERT_EQ(out[i], (i >= d && i < d + n) ? big[so + i - d] : 0xEE) << so << " " << d << " " << n;
      }
}

// ---- Argument errors -------------------------------------------------------------------
// Checks run in the order pointers, width, height; the first failing one decides and
// nothing is written.

struct CopyArgs {
  const u8* src;
  u8* dst;
  int32_t n;
  ImgSize size;
};

TEST(CopyArguments, ErrorsInOrderLeaveTheDestinationUntouched) {
  u8 src[64] = {1}, dst[64];
  const u8 value[4] = {9, 9, 9, 9};
  struct Case {
    const char* what;
    bool nullSrc, nullDst;
    int32_t n;
    ImgSize size;
    ImgStatus status;
  } cases[] = {
      {"null source", true, false, 4, {4, 4}, IMG_ERR_NULL},
      {"null destination", false, true, 4, {4, 4}, IMG_ERR_NULL},
      {"null pointer before bad size", true, false, 0, {0, 0}, IMG_ERR_NULL},
      {"zero width", false, false, 0, {0, 4}, IMG_ERR_SIZE},
      {"negative height", false, false, -1, {4, -1}, IMG_ERR_SIZE},
      {"zero height", false, false, -3, {4, 0}, IMG_ERR_SIZE},
  };
  std::vector<CpuLevel> levels{0};
  for (CpuLevel l : vorlix_test::RunnableLevels()) levels.push_back(l);
  for (CpuLevel l : levels) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "level " << l << ": " << c.what);
      const u8* s = c.nullSrc ? nullptr : src;
      u8* d = c.nullDst ? nullptr : dst;
      std::memset(dst, 0xEE, sizeof dst);
      auto untouched = [&] {
        for (u8 b : dst)
          if (b != 0xEE) return false;
        return true;
      };
      EXPECT_EQ(ImgCopyU8C1Table[l](s, 8, d, 8, c.size), c.status);
      EXPECT_EQ(ImgCopyU16C1Table[l](reinterpret_cast<const u16*>(s), 16, reinterpret_cast<u16*>(d), 16, c.size),
                c.status);
      // The sets have only the destination (and the value) to test.
      const ImgStatus setStatus = c.nullDst ? IMG_ERR_NULL : c.nullSrc && c.size.width > 0 ? IMG_OK : c.status;
      if (!c.nullSrc) {
        EXPECT_EQ(ImgSetU8C1Table[l](7, d, 8, c.size), setStatus);
        EXPECT_EQ(ImgSetU16C1Table[l](7, reinterpret_cast<u16*>(d), 16, c.size), setStatus);
        EXPECT_EQ(ImgSetU8C3Table[l](value, d, 12, c.size), setStatus);
        EXPECT_EQ(ImgSetU8C4Table[l](value, d, 16, c.size), setStatus);
      } else {
        // A null value of a 3- or 4-byte set is a null pointer too.
        EXPECT_EQ(ImgSetU8C3Table[l](nullptr, dst, 12, c.size), IMG_ERR_NULL);
        EXPECT_EQ(ImgSetU8C4Table[l](nullptr, dst, 16, c.size), IMG_ERR_NULL);
      }
      EXPECT_EQ(ImgVecCopyU8Table[l](s, d, c.n), c.status);
      EXPECT_EQ(ImgVecSwapBytesU16Table[l](reinterpret_cast<const u16*>(s), reinterpret_cast<u16*>(d), c.n), c.status);
      EXPECT_TRUE(untouched());
    }
  }
  std::memset(dst, 0xEE, sizeof dst);
  EXPECT_EQ(VecZeroU8(nullptr, 0), IMG_ERR_NULL);
  EXPECT_EQ(VecZeroU8(dst, 0), IMG_ERR_SIZE);
  EXPECT_EQ(VecCopyU32(nullptr, dst, 4), IMG_ERR_NULL);
  EXPECT_EQ(VecCopyU32(src, nullptr, 4), IMG_ERR_NULL);
  EXPECT_EQ(VecCopyU32(src, dst, -1), IMG_ERR_SIZE);
  EXPECT_EQ(CopyKernelU16C1(nullptr, 2, reinterpret_cast<u16*>(dst), 2, ImgSize{0, 0}), IMG_ERR_NULL);
  EXPECT_EQ(CopyKernelU16C1(reinterpret_cast<const u16*>(src), 2, reinterpret_cast<u16*>(dst), 2, ImgSize{1, 0}),
            IMG_ERR_SIZE);
  EXPECT_EQ(SetKernelU16C1(1, nullptr, 2, ImgSize{1, 1}), IMG_ERR_NULL);
  EXPECT_EQ(SetKernelU16C1(1, reinterpret_cast<u16*>(dst), 2, ImgSize{0, 1}), IMG_ERR_SIZE);
  for (u8 b : dst) ASSERT_EQ(b, 0xEE);
}

}  // namespace
