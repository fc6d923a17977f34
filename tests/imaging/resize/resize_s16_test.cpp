// The signed 16-bit integer-ratio downscale through its dispatch stubs: checks in order
// with nothing written, the work buffer's size and layout (tap tables read back from
// it), the means and their rounding, the ratio kernels of the later levels against the
// reference, and the signed 16-bit column sums.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "tests/imaging/resize/resize_test_support.h"

namespace {

using vorlix_test::Random;

struct S16Image {
  int width, height, step;  // step in bytes
  std::vector<s16> data;
  S16Image(int w, int h, int padElems = 0)
      : width(w), height(h), step(2 * (w + padElems)), data(size_t(h) * (w + padElems)) {}
  s16* Row(int y) { return data.data() + size_t(y) * (step / 2); }
  s16 At(int x, int y) const { return data[size_t(y) * (step / 2) + x]; }
};

int32_t BufferSize(ImgSize s, ImgSize d, int channels = 1) {
  int32_t n = -1;
  EXPECT_EQ(ImgSuperSampleS16C1BufferSize(s, d, channels, &n), IMG_OK);
  return n;
}

// One downscale at `level` with a buffer of exactly the queried size, placed `offset`
// bytes into its block (so the alignment gaps of the layout are exercised).
struct Outcome {
  ImgStatus status;
  S16Image out;
  std::vector<u8> buffer;
};
Outcome Downscale(const S16Image& src, int dw, int dh, CpuLevel level, int offset = 0) {
  Outcome r{0, S16Image(dw, dh, 2), {}};
  std::fill(r.out.data.begin(), r.out.data.end(), s16(0x5A5A));
  const int32_t n = BufferSize({src.width, src.height}, {dw, dh});
  r.buffer.assign(size_t(n) + offset, 0xEE);
  r.status = ImgSuperSampleS16C1Table[level](src.data.data(), src.step, {src.width, src.height}, r.out.data.data(),
                                             r.out.step, {dw, dh}, r.buffer.data() + offset);
  return r;
}

TEST(ImgSuperSampleS16C1, ChecksInOrderWithNothingWritten) {
  S16Image src(8, 8), dst(4, 4);
  std::fill(dst.data.begin(), dst.data.end(), s16(7));
  std::vector<u8> buf(4096, 0xEE);
  struct Case {
    const char* what;
    const s16* s;
    int ss;
    ImgSize sz;
    s16* d;
    int ds;
    ImgSize dz;
    u8* b;
    ImgStatus want;
  };
  s16* d = dst.data.data();
  const s16* s = src.data.data();
  const Case cases[] = {
      {"null source", nullptr, 16, {8, 8}, d, 8, {4, 4}, buf.data(), IMG_ERR_NULL},
      {"null destination", s, 16, {8, 8}, nullptr, 8, {4, 4}, buf.data(), IMG_ERR_NULL},
      {"null buffer", s, 16, {8, 8}, d, 8, {4, 4}, nullptr, IMG_ERR_NULL},
      {"null before step", nullptr, 0, {8, 8}, d, 8, {4, 4}, buf.data(), IMG_ERR_NULL},
      {"source step 0 before sizes", s, 0, {0, 8}, d, 8, {9, 4}, buf.data(), IMG_ERR_STEP},
      {"destination step 0", s, 16, {8, 8}, d, 0, {4, 4}, buf.data(), IMG_ERR_STEP},
      {"negative step", s, -16, {8, 8}, d, 8, {4, 4}, buf.data(), IMG_ERR_STEP},
      {"source width 0", s, 16, {0, 8}, d, 8, {4, 4}, buf.data(), IMG_ERR_SIZE},
      {"destination height 0", s, 16, {8, 8}, d, 8, {4, 0}, buf.data(), IMG_ERR_SIZE},
      {"wider destination", s, 16, {8, 8}, d, 8, {9, 4}, buf.data(), IMG_ERR_SIZE},
      {"taller destination", s, 16, {8, 8}, d, 8, {4, 9}, buf.data(), IMG_ERR_SIZE},
      // A layout past the int32 range: refused, where the query refuses to size it.
      {"buffer beyond int32",
       s,
       16,
       {INT32_MAX, 1 << 20},
       d,
       8,
       {INT32_MAX - 1, (1 << 20) - 1},
       buf.data(),
       IMG_ERR_SIZE},
  };
  for (CpuLevel level : resize_test::AllLevels())
    for (const Case& c : cases) {
      EXPECT_EQ(ImgSuperSampleS16C1Table[level](c.s, c.ss, c.sz, c.d, c.ds, c.dz, c.b), c.want)
          << c.what << " level " << level;
      for (s16 v : dst.data) ASSERT_EQ(v, 7) << c.what;
      for (u8 v : buf) ASSERT_EQ(v, 0xEE) << c.what;
    }
}

TEST(ImgSuperSampleS16C1BufferSize, WorkedSizesAndRefusals) {
  for (CpuLevel level : resize_test::AllLevels()) {
    auto query = [&](ImgSize s, ImgSize d, int ch, int32_t* out) {
      return ImgSuperSampleS16C1BufferSizeTable[level](s, d, ch, out);
    };
    int32_t n = 0;
    ASSERT_EQ(query({640, 480}, {320, 240}, 1, &n), IMG_OK);
    EXPECT_EQ(n, 2728);
    ASSERT_EQ(query({1920, 1080}, {1280, 720}, 1, &n), IMG_OK);
    EXPECT_EQ(n, 15568);
    ASSERT_EQ(query({1920, 1080}, {1280, 720}, 3, &n), IMG_OK);
    EXPECT_EQ(n, 46288);
    n = 99;
    EXPECT_EQ(query({0, 480}, {320, 240}, 1, nullptr), IMG_ERR_SIZE);  // sizes before the pointer
    EXPECT_EQ(query({640, 480}, {320, -1}, 1, &n), IMG_ERR_SIZE);
    EXPECT_EQ(query({640, 480}, {320, 240}, 1, nullptr), IMG_ERR_NULL);
    EXPECT_EQ(query({640, 480}, {320, 240}, 0, &n), IMG_ERR_SIZE);
    // Coprime sizes of a wide image: a size past int32 is refused, not truncated.
    EXPECT_EQ(query({2000000000, 3}, {1999999999, 2}, 1, &n), IMG_ERR_SIZE);
    EXPECT_EQ(n, 99);
  }
}

// The tables read back from the buffer: horizontal indexes at its start, weights at the
// next 16-byte boundary (the vertical axis unchanged, so its table is one entry).
TEST(ImgSuperSampleS16C1, TapTablesOfTheWorkedRatios) {
  struct Entry {
    int idx;
    float w;
  };
  struct Case {
    int s, d, t;
    std::vector<Entry> taps;
  };
  const Case cases[] = {
      {2, 1, 2, {{0, 1}, {1, 1}}},
      {3, 2, 2, {{0, 1}, {1, 0.5f}, {1, 0.5f}, {2, 1}}},
      {5, 2, 3, {{0, 1}, {1, 1}, {2, 0.5f}, {2, 0.5f}, {3, 1}, {4, 1}}},
      {8,
       3,
       4,
       {{0, 1},
        {1, 1},
        {2, 0.6666667f},
        {0, 0},
        {2, 0.3333333f},
        {3, 1},
        {4, 1},
        {5, 0.3333335f},
        {5, 0.6666665f},
        {6, 1},
        {7, 1},
        {0, 0}}},
  };
  for (CpuLevel level : resize_test::AllLevels())
    for (const Case& c : cases) {
      S16Image src(c.s * 2, 1);
      Outcome r = Downscale(src, c.d * 2, 1, level);
      ASSERT_EQ(r.status, IMG_OK);
      const u8* b = r.buffer.data();
      const size_t n = size_t(c.d) * c.t;
      const uintptr_t wAt = (reinterpret_cast<uintptr_t>(b) + 4 * n + 15) & ~uintptr_t(15);
      for (size_t i = 0; i < n; ++i) {
        int32_t idx;
        float w;
        std::memcpy(&idx, b + 4 * i, 4);
        std::memcpy(&w, reinterpret_cast<const u8*>(wAt) + 4 * i, 4);
        EXPECT_EQ(idx, c.taps[i].idx) << c.s << ":" << c.d << " tap " << i;
        EXPECT_FLOAT_EQ(w, c.taps[i].w) << c.s << ":" << c.d << " tap " << i;
      }
    }
}

// A long period: every position's weights add up to s / d, the last one too (its first
// index is exact, not a single-precision product).
TEST(ImgSuperSampleS16C1, LongPeriodsKeepEveryPositionsWeight) {
  const int s = 14173, d = 3543;
  S16Image src(s, 1);
  Outcome r = Downscale(src, d, 1, 0);
  ASSERT_EQ(r.status, IMG_OK);
  const int t = s / d + 1;  // s mod d is 1
  const u8* b = r.buffer.data();
  const uintptr_t wAt = (reinterpret_cast<uintptr_t>(b) + 4 * size_t(d) * t + 15) & ~uintptr_t(15);
  for (int k = 0; k < d; ++k) {
    double sum = 0;
    int32_t first;
    std::memcpy(&first, b + 4 * size_t(k) * t, 4);
    EXPECT_EQ(first, int(int64_t(k) * s / d)) << k;
    for (int q = 0; q < t; ++q) {
      float w;
      std::memcpy(&w, reinterpret_cast<const u8*>(wAt) + 4 * (size_t(k) * t + q), 4);
      sum += w;
    }
    ASSERT_NEAR(sum, double(s) / d, 2e-3) << "position " << k;
  }
}

// Means round to floor(mean + 1/2) at every level: 2.5 -> 3, -2.5 -> -2, -2.25 -> -2,
// -1.5 -> -1, a constant -2 stays -2.
TEST(ImgSuperSampleS16C1, MeansRoundHalfUpOnBothSidesOfZero) {
  struct Case {
    const char* what;
    int w, h, dw, dh;
    std::vector<int> pixels;
    std::vector<int> want;
  };
  std::vector<int> stripes(64), minusTwo(32 * 2, -2);
  for (int i = 0; i < 64; ++i) stripes[size_t(i)] = (i & 1) ? -2 : -1;  // 32 x 2 of -1, -2, ...
  const Case cases[] = {
      {"block 1 2 / 3 4", 2, 2, 1, 1, {1, 2, 3, 4}, {3}},
      {"block -1 -2 / -3 -4", 2, 2, 1, 1, {-1, -2, -3, -4}, {-2}},
      {"block -1 -2 / -3 -3", 2, 2, 1, 1, {-1, -2, -3, -3}, {-2}},
      {"wide -1 -2 stripes", 32, 2, 16, 1, stripes, std::vector<int>(16, -1)},
      {"rows of -1 and -2", 4, 2, 4, 1, {-1, -1, -1, -1, -2, -2, -2, -2}, {-1, -1, -1, -1}},
      {"constant -2", 32, 2, 16, 1, minusTwo, std::vector<int>(16, -2)},
      {"columns halved", 4, 1, 2, 1, {10, 11, -7, -8}, {11, -7}},
  };
  for (CpuLevel level : resize_test::AllLevels())
    for (const Case& c : cases) {
      S16Image src(c.w, c.h);
      for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x) src.Row(y)[x] = s16(c.pixels[size_t(y * c.w + x)]);
      Outcome r = Downscale(src, c.dw, c.dh, level);
      ASSERT_EQ(r.status, IMG_OK);
      for (int y = 0; y < c.dh; ++y)
        for (int x = 0; x < c.dw; ++x)
          EXPECT_EQ(r.out.At(x, y), c.want[size_t(y * c.dw + x)]) << c.what << " level " << level;
      // Elements right of the destination width keep their bytes.
      for (int y = 0; y < c.dh; ++y) EXPECT_EQ(r.out.At(c.dw, y), s16(0x5A5A)) << c.what;
    }
}

// Six to four columns (3:2 per period): (a0 + a1/2) x 2/3 and (a1/2 + a2) x 2/3.
TEST(ImgSuperSampleS16C1, ThreeToTwoWeighsTheSharedColumnByHalves) {
  S16Image src(6, 1);
  const int a[6] = {300, 600, 900, -30, -60, -91};
  for (int i = 0; i < 6; ++i) src.Row(0)[i] = s16(a[i]);
  for (CpuLevel level : resize_test::AllLevels()) {
    Outcome r = Downscale(src, 4, 1, level);
    ASSERT_EQ(r.status, IMG_OK);
    for (int p = 0; p < 2; ++p) {
      const int* q = a + 3 * p;
      EXPECT_NEAR(r.out.At(2 * p, 0), (q[0] + 0.5 * q[1]) * 2 / 3, 0.5 + 1e-6) << level;
      EXPECT_NEAR(r.out.At(2 * p + 1, 0), (0.5 * q[1] + q[2]) * 2 / 3, 0.5 + 1e-6) << level;
    }
  }
}

TEST(ImgSuperSampleS16C1, EqualSizesCopyAndIgnoreTheBuffer) {
  Random rnd(5);
  S16Image src(13, 7, 3);
  rnd.Fill(src.data.data(), src.data.size() * 2);
  for (CpuLevel level : resize_test::AllLevels()) {
    u8 junk[16];
    std::memset(junk, 0xEE, sizeof junk);
    S16Image out(13, 7, 1);
    ASSERT_EQ(
        ImgSuperSampleS16C1Table[level](src.data.data(), src.step, {13, 7}, out.data.data(), out.step, {13, 7}, junk),
        IMG_OK);
    for (int y = 0; y < 7; ++y)
      for (int x = 0; x < 13; ++x) ASSERT_EQ(out.At(x, y), src.At(x, y));
    for (u8 v : junk) EXPECT_EQ(v, 0xEE);
  }
}

// Every reduced horizontal ratio that has a kernel of its own, ratios that take the
// table kernel, and the one-axis kernels, with widths of several periods plus tails:
// level 1 equals level 0; from level 2 on the table, horizontal-only kernels are exact
// and the rest within one (constant weights and the vector rounding next to halves).
TEST(ImgSuperSampleS16C1, EveryKernelAgainstTheReference) {
  struct Ratio {
    int sx, dx;
    bool exact;
  };
  const Ratio ratios[] = {{2, 1, false}, {3, 2, false}, {4, 3, false}, {5, 4, false}, {6, 5, false}, {9, 8, false},
                          {3, 1, false}, {5, 2, false}, {5, 3, false}, {7, 3, false}, {9, 4, false}, {10, 7, false},
                          {4, 1, false}, {7, 2, false}, {8, 3, false}, {8, 1, false}, {7, 6, true},  {8, 7, true},
                          {7, 4, true},  {10, 3, true}, {5, 1, true},  {16, 1, true}, {1, 1, false}};
  Random rnd(0x516);
  for (const Ratio& ratio : ratios)
    for (int iter = 0; iter < 6; ++iter) {
      const int periods = rnd.Int(1, 40);
      const int w = ratio.sx * periods, dw = ratio.dx * periods;
      // Vertical: unchanged (horizontal-only kernel), 2:1 (the fast path for 2:1), or any.
      const int vs[][2] = {{1, 1}, {2, 1}, {3, 2}, {5, 3}, {4, 1}, {7, 5}};
      const auto* v = vs[rnd.Int(0, 5)];
      const int vp = rnd.Int(1, 6);
      const int h = v[0] * vp, dh = v[1] * vp;
      if (w == dw && h == dh) continue;
      S16Image src(w, h, rnd.Int(0, 3));
      for (s16& e : src.data) e = s16(rnd.Int(0, 3) ? rnd.Int(-40, 40) : rnd.Int(-32768, 32767));
      Outcome want = Downscale(src, dw, dh, 0);
      ASSERT_EQ(want.status, IMG_OK);
      for (CpuLevel level : vorlix_test::RunnableLevels()) {
        Outcome got = Downscale(src, dw, dh, level, rnd.Int(0, 15));
        ASSERT_EQ(got.status, IMG_OK);
        const bool exact = level == 1 || ratio.exact || (w != dw && h == dh);
        for (int y = 0; y < dh; ++y)
          for (int x = 0; x < dw + 2; ++x)
            ASSERT_LE(std::abs(int(got.out.At(x, y)) - int(want.out.At(x, y))), exact ? 0 : 1)
                << ratio.sx << ":" << ratio.dx << " by " << v[0] << ":" << v[1] << " width " << w << " level " << level
                << " at " << x << "," << y;
      }
    }
}

// The 2:1 by 2:1 path stores the reference's means exactly: every width (whole vector
// steps and the tail), padded steps, full-range sums that overflow 16 bits, and the
// elements right of the destination width left alone.
TEST(ImgSuperSampleS16C1, HalvingBothAxesMatchesTheReferenceExactly) {
  Random rnd(0x2121);
  for (int iter = 0; iter < 40; ++iter) {
    const int dw = iter < 20 ? iter + 1 : rnd.Int(1, 300), dh = rnd.Int(1, 9);
    S16Image src(2 * dw, 2 * dh, rnd.Int(0, 5));
    const int mode = rnd.Int(0, 2);
    for (s16& e : src.data)
      e = s16(mode == 0 ? rnd.Int(-32768, 32767) : (mode == 1 ? rnd.Int(-6, 6) : (rnd.Int(0, 1) ? 32767 : -32768)));
    Outcome want = Downscale(src, dw, dh, 0);
    ASSERT_EQ(want.status, IMG_OK);
    for (CpuLevel level : vorlix_test::RunnableLevels()) {
      Outcome got = Downscale(src, dw, dh, level, rnd.Int(0, 15));
      ASSERT_EQ(got.status, IMG_OK);
      ASSERT_EQ(got.out.data, want.out.data) << "width " << dw << " height " << dh << " level " << level;
    }
  }
}

// Column sums of signed 16-bit rows at the levels that have them: every group and
// remainder width against a plain loop, the sums stored (not added), the fourth slot of
// four-element pixels left alone, and a bottom-up source.
TEST(ResizeAccumulateKernelS16, SumsEveryWidthAndLayout) {
  using C1Fn = void (*)(const s16*, int32_t, u32, int32_t, int32_t*);
  using C3Fn = void (*)(const s16*, int32_t, u32, int32_t, int32_t*, int32_t);
  struct Level {
    C1Fn c1;
    C3Fn c3;
    C1Fn c4;
  };
  const Level levels[] = {
      {nullptr, nullptr, nullptr},
      {img::level1::ResizeAccumulateKernelS16C1, img::level1::ResizeAccumulateKernelS16C3,
       img::level1::ResizeAccumulateKernelS16C4},
      {img::level2::ResizeAccumulateKernelS16C1, img::level2::ResizeAccumulateKernelS16C3,
       img::level2::ResizeAccumulateKernelS16C4},
      {img::level3::ResizeAccumulateKernelS16C1, img::level3::ResizeAccumulateKernelS16C3,
       img::level3::ResizeAccumulateKernelS16C4},
      {img::level4::ResizeAccumulateKernelS16C1, img::level4::ResizeAccumulateKernelS16C3,
       img::level4::ResizeAccumulateKernelS16C4},
  };
  Random rnd(0xACC);
  for (CpuLevel level : vorlix_test::RunnableLevels()) {
    struct Layout {
      int pixel, summed, maxWidth, pixelStep;
    };
    for (const Layout& l : {Layout{1, 1, 9, 0}, Layout{3, 3, 5, 3}, Layout{4, 3, 5, 4}, Layout{4, 4, 5, 0}})
      for (u32 width = 0; width <= u32(l.maxWidth); ++width)
        for (int rows : {1, 2, 5}) {
          const int elems = int(width) * l.pixel;
          std::vector<s16> src(size_t(rows) * (elems + 3));
          for (s16& e : src) e = s16(rnd.Int(-32768, 32767));
          const bool flip = rnd.Int(0, 1);
          const int step = 2 * (elems + 3);
          const s16* s = flip ? src.data() + size_t(rows - 1) * (elems + 3) : src.data();
          alignas(16) int32_t acc[24];
          std::fill(std::begin(acc), std::end(acc), 0x12345678);
          if (l.pixel == 1)
            levels[level].c1(s, flip ? -step : step, width, rows, acc);
          else if (l.summed == 3)
            levels[level].c3(s, flip ? -step : step, width, rows, acc, l.pixelStep);
          else
            levels[level].c4(s, flip ? -step : step, width, rows, acc);
          for (int i = 0; i < 24; ++i) {
            const int c = i % l.pixel;
            if (i >= elems || c >= l.summed) {
              ASSERT_EQ(acc[i], 0x12345678) << "level " << level << " slot " << i;
              continue;
            }
            int32_t sum = 0;
            for (int r = 0; r < rows; ++r) sum += src[size_t(r) * (elems + 3) + i];
            ASSERT_EQ(acc[i], sum) << "level " << level << " width " << width << " rows " << rows << " slot " << i;
          }
        }
    // Two rows of -32768 sum to -65536.
    const s16 low[2] = {-32768, -32768};
    alignas(16) int32_t one[4] = {};
    levels[level].c1(low, 2, 1, 2, one);
    EXPECT_EQ(one[0], -65536);
  }
}

}  // namespace
