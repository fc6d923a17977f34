// The row routines behind ResizeRowTable, called through the table of every level with
// tables of their own: each kind against a model of its arithmetic worked in double (or,
// for the integer linear rows, the exact fixed-point formulas per pixel), on random
// images, regions, steps (negative ones included) and row walks; every level against
// level 0; and the check values of the stores and the cubic weights.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "tests/imaging/resize/resize_test_support.h"

namespace {

using vorlix_test::Random;

// ---- images of every element kind ------------------------------------------------------

template <typename T>
T RandomSample(Random& rnd) {
  if constexpr (std::is_same_v<T, float>)
    return float(rnd.Int(-2000, 2000)) / 8.0f;
  else if constexpr (std::is_same_v<T, s16>)
    return s16(rnd.Int(-32768, 32767));
  else if constexpr (std::is_same_v<T, u16>)
    return u16(rnd.Int(0, 65535));
  else
    return u8(rnd.Int(0, 255));
}

// An image of `height` rows of `step` elements, exactly as large as that, stored top-down
// or (flip) bottom-up; pixel (x, y) channel c lies at x * pixelStep + c of logical row y.
template <typename T>
struct Plane {
  int width, height, step, pixelStep;
  bool flip;
  std::vector<T> data;
  Plane(int w, int h, int ps, int pad, bool f, Random& rnd)
      : width(w), height(h), step(w * ps + pad), pixelStep(ps), flip(f), data(size_t(h) * (w * ps + pad)) {
    for (T& v : data) v = RandomSample<T>(rnd);
  }
  const T* Row(int y) const { return data.data() + size_t(flip ? height - 1 - y : y) * step; }
  int SignedStep() const { return flip ? -step : step; }
  double At(int x, int y, int c) const { return double(Row(y)[x * pixelStep + c]); }
};

struct Layout {
  int channels, pixelStep;
  bool cn;
  const char* name;
};
constexpr Layout kLayouts[] = {{1, 1, false, "C1"}, {3, 3, true, "C3"}, {3, 4, true, "AC4"}, {4, 4, true, "C4"}};

// A destination of dh rows of `step` elements, filled with a marker so that elements the
// routine must not write show.
template <typename T>
struct Dest {
  int step;
  std::vector<T> data;
  Dest(int w, int h, int ps, int pad) : step(w * ps + pad), data(size_t(h) * (w * ps + pad)) {
    for (T& v : data) v = T(93);
  }
};

// Row and column walks: base indexes into the region, non-decreasing, with the advances
// each kind's rings must handle (0, 1, 2, 3, 5, 7 rows).
std::vector<int> Walk(Random& rnd, int count, int lo, int hi, int maxStep, bool fromLo = false) {
  std::vector<int> v(count);
  int at = fromLo ? lo : rnd.Int(lo, std::min(hi, lo + 2));
  for (int i = 0; i < count; ++i) {
    v[i] = std::min(at, hi);
    static const int kSteps[] = {0, 1, 1, 2, 3, 5, 7};
    at += std::min(kSteps[rnd.Int(0, 6)], maxStep);
  }
  return v;
}

template <typename T>
double Expected(double v) {
  if constexpr (std::is_same_v<T, float>) {
    return v;
  } else {
    double lo = std::is_same_v<T, s16> ? -32768 : 0;
    double hi = std::is_same_v<T, u8> ? 255 : (std::is_same_v<T, s16> ? 32767 : 65535);
    double r = std::floor(v + 0.5);
    if (std::is_same_v<T, s16> && v < 0) r = -std::floor(-v + 0.5);
    return std::clamp(r, lo, hi);
  }
}

// A filtered result against its double model: within one unit for integer kinds (single
// precision moves sums next to a half), within float rounding of the terms for floats.
template <typename T>
void ExpectNear(T got, double model, double magnitude, const char* what) {
  if constexpr (std::is_same_v<T, float>) {
    ASSERT_NEAR(got, model, 2e-5 * magnitude + 1e-5) << what;
  } else {
    ASSERT_LE(std::abs(double(got) - Expected<T>(model)), 1.0) << what << " model " << model;
  }
}

template <typename T>
constexpr int KindOf() {
  if constexpr (std::is_same_v<T, u8>) return IMG_ELEM_U8;
  if constexpr (std::is_same_v<T, u16>) return IMG_ELEM_U16;
  if constexpr (std::is_same_v<T, float>) return IMG_ELEM_F32;
  return IMG_ELEM_S16;
}

// Everything one random case of a filtered kind needs: image, region, walks and records.
template <typename T>
struct Case {
  Layout lay;
  Plane<T> img;
  int roiX, roiY, dstW, dstH, dstPad;
  std::vector<int> rows, cols;
  Case(Random& rnd, const Layout& l, int margin)
      : lay(l),
        img(rnd.Int(2 * margin + 2, 40), rnd.Int(2 * margin + 2, 30), l.pixelStep, rnd.Int(0, 5), rnd.Int(0, 2) == 0,
            rnd),
        roiX(0),
        roiY(0),
        dstW(rnd.Int(1, 37)),
        dstH(rnd.Int(1, 29)),
        dstPad(rnd.Int(0, 3)) {}
  const T* Origin() const { return img.Row(roiY) + roiX * img.pixelStep; }
  std::vector<int32_t> RowOffsets() const {
    std::vector<int32_t> o;
    for (int r : rows) o.push_back(r * img.SignedStep());
    return o;
  }
  std::vector<int32_t> ColOffsets() const {
    std::vector<int32_t> o;
    for (int c : cols) o.push_back(c * (lay.cn ? lay.pixelStep : 1));
    return o;
  }
  int Written() const { return lay.channels; }
};

// Work rows, each just as long as the engine makes them, so an overrun shows.
template <typename W>
struct WorkRows {
  std::vector<std::vector<W>> rows;
  WorkRows(int n, int dstW, const Layout& l) {
    size_t len = l.channels == 1 ? dstW + 4 : (l.channels == 3 ? 3 * dstW + 12 : 4 * dstW + 16);
    for (int i = 0; i < n; ++i) rows.emplace_back(len, W(-77));
  }
  W* operator[](int i) { return rows[size_t(i)].data(); }
};

// Checks every destination element against `model(x, y, c)` and the elements the routine
// must leave alone against the marker.
template <typename T, typename Model>
void CheckDest(const Dest<T>& d, const Case<T>& k, const Model& model, const char* what) {
  const int ps = k.lay.cn ? k.lay.pixelStep : 1;
  for (int y = 0; y < k.dstH; ++y)
    for (int x = 0; x < d.step; ++x) {
      const T got = d.data[size_t(y) * d.step + x];
      const int px = x / ps, c = x % ps;
      if (px >= k.dstW || c >= k.Written()) {
        ASSERT_EQ(got, T(93)) << what << " untouched element " << x << "," << y;
        continue;
      }
      auto [v, mag] = model(px, y, c);
      ExpectNear<T>(got, v, mag, what);
    }
}

template <typename T>
void ExpectSameDest(const Dest<T>& a, const Dest<T>& b, int allowed, const char* what, int level) {
  ASSERT_EQ(a.data.size(), b.data.size());
  for (size_t i = 0; i < a.data.size(); ++i) {
    if constexpr (std::is_same_v<T, float>) {
      ASSERT_EQ(std::memcmp(&a.data[i], &b.data[i], 4), 0) << what << " level " << level << " element " << i;
    } else {
      ASSERT_LE(std::abs(int(a.data[i]) - int(b.data[i])), allowed) << what << " level " << level << " element " << i;
    }
  }
}

// ---- nearest ------------------------------------------------------------------------

template <typename T>
void NearestCases(Random& rnd) {
  for (const Layout& l : kLayouts) {
    for (int iter = 0; iter < 30; ++iter) {
      Case<T> k(rnd, l, 0);
      k.rows = Walk(rnd, k.dstH, 0, k.img.height - 1, 3);
      k.cols = Walk(rnd, k.dstW, 0, k.img.width - 1, 3);
      const int slot = (l.channels == 1 ? RESIZE_SLOT_NEAREST_U8C1
                                        : (l.channels == 4 ? RESIZE_SLOT_NEAREST_U8C4 : RESIZE_SLOT_NEAREST_U8C3)) +
                       KindOf<T>();
      const auto ro = k.RowOffsets(), co = k.ColOffsets();
      auto run = [&](int level) {
        Dest<T> d(k.dstW, k.dstH, l.pixelStep, k.dstPad);
        ResizeRowTables[level]->nearest[slot](k.Origin(), d.data.data(), d.step, k.dstW, k.dstH, ro.data(), co.data(),
                                              l.cn ? l.pixelStep : 0);
        return d;
      };
      Dest<T> want = run(0);
      CheckDest(
          want, k,
          [&](int x, int y, int c) {
            return std::pair{k.img.At(k.cols[x], k.rows[y], c), 0.0};
          },
          l.name);
      for (CpuLevel level : vorlix_test::RunnableLevels()) ExpectSameDest(run(level), want, 0, l.name, level);
    }
  }
}

TEST(ResizeRows, NearestCopiesEveryKindAndLayout) {
  Random rnd(101);
  NearestCases<u8>(rnd);
  NearestCases<u16>(rnd);
  NearestCases<float>(rnd);
  NearestCases<s16>(rnd);
}

// Float elements arrive bit for bit, NaN patterns included.
TEST(ResizeRows, NearestMovesFloatPatternsUnchanged) {
  const u32 bits[4] = {0x7FC01234u, 0xFF800000u, 0x80000000u, 0x3F800001u};
  float src[4];
  std::memcpy(src, bits, sizeof src);
  float dst[4];
  const int32_t rows[1] = {0}, cols[4] = {3, 2, 1, 0};
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    ResizeRowTables[level]->nearest[RESIZE_SLOT_NEAREST_F32C1](src, dst, 4, 4, 1, rows, cols, 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(std::memcmp(&dst[i], &bits[3 - i], 4), 0) << level;
  }
}

// ---- linear ---------------------------------------------------------------------------

template <typename T>
void LinearCases(Random& rnd) {
  constexpr bool kFloat = std::is_same_v<T, float>;
  for (const Layout& l : kLayouts) {
    if (std::is_same_v<T, u8> && !l.cn) continue;  // the 8-bit plane has tests of its own
    for (int iter = 0; iter < 30; ++iter) {
      Case<T> k(rnd, l, 1);
      k.rows = Walk(rnd, k.dstH, 0, k.img.height - 2, 7);
      k.cols = Walk(rnd, k.dstW, 0, k.img.width - 2, 3);
      std::vector<u16> rw(k.dstH), cw(2 * k.dstW);
      std::vector<float> rf(k.dstH), cf(k.dstW);
      for (int i = 0; i < k.dstH; ++i) {
        int w = rnd.Int(0, 3) == 0 ? 16384 * rnd.Int(0, 1) : rnd.Int(0, 16384);
        rw[i] = u16(w), rf[i] = float(w) / 16384.0f;
      }
      for (int i = 0; i < k.dstW; ++i) {
        int w = rnd.Int(0, 3) == 0 ? 8192 : rnd.Int(0, 16384);
        cw[2 * i] = u16(16384 - w), cw[2 * i + 1] = u16(w), cf[i] = float(w) / 16384.0f;
      }
      const int slot =
          (l.cn ? RESIZE_SLOT_LINEAR_U8CN : RESIZE_SLOT_LINEAR_U8C1) - RESIZE_GROUP_BASE_linear + KindOf<T>();
      const auto ro = k.RowOffsets(), co = k.ColOffsets();
      auto run = [&](int level) {
        Dest<T> d(k.dstW, k.dstH, l.pixelStep, k.dstPad);
        using W = std::conditional_t<kFloat, float, std::conditional_t<std::is_same_v<T, s16>, s16, u16>>;
        WorkRows<W> work(2, k.dstW, l);
        ResizeRowTables[level]->linear[slot](k.Origin(), d.data.data(), k.img.SignedStep(), d.step, k.dstW, k.dstH,
                                             ro.data(), co.data(), kFloat ? (const void*)rf.data() : rw.data(),
                                             kFloat ? (const void*)cf.data() : cw.data(), work[0], work[1],
                                             l.cn ? l.pixelStep : 0, l.cn ? l.channels : 0);
        return d;
      };
      Dest<T> want = run(0);
      // The passes' own formulas, pixel by pixel, with no ring.
      const int right = l.channels == 3 ? l.pixelStep : l.channels;
      auto model = [&](int x, int y, int c) {
        const int r = k.rows[y], col = k.cols[x];
        auto horz = [&](int row) -> double {
          const T* p = k.img.Row(k.roiY + row) + col * l.pixelStep + c;
          if constexpr (kFloat) return double(float(p[0] + (p[right] - p[0]) * cf[x]));
          int32_t a = p[0], b = p[right];
          if constexpr (std::is_same_v<T, u8>) return double((cw[2 * x] * a + cw[2 * x + 1] * b + 128) >> 8);
          return double((cw[2 * x] * a + cw[2 * x + 1] * b + 8192) >> 14);
        };
        double up = horz(r), lo = horz(r + 1);
        if constexpr (kFloat) {
          float t = rf[y];
          return std::pair{double(float(up) * (1.0f - t) + float(lo) * t), 0.0};
        } else {
          int64_t w = rw[y];
          int64_t s = w * int64_t(lo) + (16384 - w) * int64_t(up);
          int64_t v = std::is_same_v<T, u8> ? (s + 0x80000) >> 20 : (s + 8192) >> 14;
          return std::pair{double(v), 0.0};
        }
      };
      // Integer results are exact: compare through a tolerance of zero.
      const int ps = l.cn ? l.pixelStep : 1;
      for (int y = 0; y < k.dstH; ++y)
        for (int x = 0; x < want.step; ++x) {
          const T got = want.data[size_t(y) * want.step + x];
          if (x / ps >= k.dstW || x % ps >= l.channels) {
            ASSERT_EQ(got, T(93)) << l.name;
          } else {
            ASSERT_EQ(double(got), model(x / ps, y, x % ps).first) << l.name << " " << x << "," << y;
          }
        }
      for (CpuLevel level : vorlix_test::RunnableLevels()) ExpectSameDest(run(level), want, 0, l.name, level);
    }
  }
}

TEST(ResizeRows, LinearMatchesTheFixedPointFormulasEveryKindAndLayout) {
  Random rnd(102);
  LinearCases<u8>(rnd);
  LinearCases<u16>(rnd);
  LinearCases<s16>(rnd);
  LinearCases<float>(rnd);
}

// Halves: 8-bit 0/1 gives the work value 32 and then 1; signed 16-bit floors, so 0/-1
// gives 0 and 0/1 gives 1; unsigned 16-bit 0/1 gives 1.
TEST(ResizeRows, LinearHalvesRoundUp) {
  const int32_t rows[1] = {0}, cols[1] = {0};
  const u16 rw[1] = {8192}, cw[2] = {8192, 8192};
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    const ResizeRowTableLayout& t = *ResizeRowTables[level];
    u16 b0[8], b1[8];
    {
      const s16 src[4] = {0, -1, -1, -1};  // horizontal 0/-1 -> 0; vertical 0/-1 -> 0
      s16 dst[1];
      t.linear[RESIZE_SLOT_LINEAR_S16C1 - RESIZE_GROUP_BASE_linear](src, dst, 2, 1, 1, 1, rows, cols, rw, cw, b0, b1, 0,
                                                                    0);
      EXPECT_EQ(dst[0], 0) << level;
      const s16 pos[4] = {0, 1, 1, 1};
      t.linear[RESIZE_SLOT_LINEAR_S16C1 - RESIZE_GROUP_BASE_linear](pos, dst, 2, 1, 1, 1, rows, cols, rw, cw, b0, b1, 0,
                                                                    0);
      EXPECT_EQ(dst[0], 1) << level;
    }
    {
      const u16 src[4] = {0, 1, 1, 1};
      u16 dst[1];
      t.linear[RESIZE_SLOT_LINEAR_U16C1 - RESIZE_GROUP_BASE_linear](src, dst, 2, 1, 1, 1, rows, cols, rw, cw, b0, b1, 0,
                                                                    0);
      EXPECT_EQ(dst[0], 1) << level;
    }
  }
}

// ---- filtered kinds: cubic, four-tap, six-tap, Lanczos-3 -----------------------------

// Weights of the cubic through the samples at -1 .. 2, at fraction x.
void CubicWeights(double x, double w[4]) {
  w[0] = -x * (x - 1) * (x - 2) / 6;
  w[1] = (x + 1) * (x - 1) * (x - 2) / 2;
  w[2] = -(x + 1) * x * (x - 2) / 2;
  w[3] = (x + 1) * x * (x - 1) / 6;
}

// A separable model: value = sum over row taps and column taps; `mag` the sum of the
// terms' magnitudes, the scale of single-precision error.
template <typename T, typename RowTaps, typename ColTaps>
std::pair<double, double> Separable(const Case<T>& k, int x, int y, int c, const RowTaps& rowTaps,
                                    const ColTaps& colTaps) {
  double v = 0, mag = 0;
  int rIdx[6], cIdx[6];
  double rW[6], cW[6];
  const int nr = rowTaps(y, rIdx, rW), nc = colTaps(x, cIdx, cW);
  for (int i = 0; i < nr; ++i)
    for (int j = 0; j < nc; ++j) {
      double s = k.img.At(k.roiX + cIdx[j], k.roiY + rIdx[i], c);
      v += rW[i] * cW[j] * s;
      mag += std::abs(rW[i] * cW[j] * s);
    }
  return {v, mag};
}

enum Filter { kCubic, kTap4, kTap6, kLanczos };

template <typename T>
void FilteredCases(Random& rnd, Filter f, int iterations) {
  const int taps = f == kTap4 || f == kCubic ? 4 : 6;
  const int back = taps == 4 ? 1 : 2;
  for (const Layout& l : kLayouts) {
    for (int iter = 0; iter < iterations; ++iter) {
      // Lanczos-3 reads around a region inside an image of at least 8 x 8; the others
      // need their taps inside the image.
      Case<T> k(rnd, l, f == kLanczos ? 4 : back + 1);
      const int W = k.img.width, H = k.img.height;
      bool upscale = false;
      int colsRight = W, rowsBelow = H;
      if (f == kLanczos) {
        k.roiX = rnd.Int(0, 3) == 0 ? 0 : rnd.Int(0, W - 1);
        k.roiY = rnd.Int(0, 3) == 0 ? 0 : rnd.Int(0, H - 1);
        colsRight = W - k.roiX, rowsBelow = H - k.roiY;
        upscale = rnd.Int(0, 1);
        k.rows = Walk(rnd, k.dstH, 0, rowsBelow - 1, upscale ? 1 : 7, true);
        k.cols = Walk(rnd, k.dstW, 0, colsRight - 1, 3);
      } else {
        k.rows = Walk(rnd, k.dstH, back, H - taps + back, 7);
        k.cols = Walk(rnd, k.dstW, back, W - taps + back, 3);
      }
      std::vector<float> rowRec(size_t(k.dstH) * taps), colRec(size_t(k.dstW) * taps);
      std::vector<float> rowFrac(k.dstH), colFrac(k.dstW);
      auto fillRecords = [&](std::vector<float>& rec, std::vector<float>& frac, int n) {
        for (int i = 0; i < n; ++i) {
          if (f == kCubic) {
            frac[i] = rnd.Int(0, 4) == 0 ? float(rnd.Int(-1, 2)) : float(rnd.Int(-1000, 2000)) / 1000.0f;
          } else if (f == kLanczos) {
            frac[i] = float(rnd.Int(0, 999)) / 1000.0f;
          } else {
            for (int t = 0; t < taps; ++t) rec[size_t(i) * taps + t] = float(rnd.Int(-300, 1300)) / 1024.0f;
          }
        }
        if (f == kLanczos) ResizeLanczos3Weights(frac.data(), n, reinterpret_cast<ResizeTap6Weights*>(rec.data()));
      };
      fillRecords(rowRec, rowFrac, k.dstH);
      fillRecords(colRec, colFrac, k.dstW);
      const auto ro = k.RowOffsets(), co = k.ColOffsets();
      const int kind = KindOf<T>();
      auto run = [&](int level) {
        Dest<T> d(k.dstW, k.dstH, l.pixelStep, k.dstPad);
        WorkRows<float> work(taps, k.dstW, l);
        const ResizeRowTableLayout& t = *ResizeRowTables[level];
        const int ps = l.cn ? l.pixelStep : 0, ch = l.cn ? l.channels : 0;
        const void* s = k.Origin();
        T* dp = d.data.data();
        const int ss = k.img.SignedStep();
        if (f == kCubic) {
          int slot = (l.cn ? RESIZE_SLOT_CUBIC_U8CN : RESIZE_SLOT_CUBIC_U8C1) - RESIZE_GROUP_BASE_cubic + kind;
          t.cubic[slot](s, dp, ss, d.step, k.dstW, k.dstH, ro.data(), co.data(), rowFrac.data(), colFrac.data(),
                        work[0], work[1], work[2], work[3], ps, ch);
        } else if (f == kTap4) {
          int slot = (l.cn ? RESIZE_SLOT_TAP4_U8CN : RESIZE_SLOT_TAP4_U8C1) - RESIZE_GROUP_BASE_tap4 + kind;
          t.tap4[slot](s, dp, ss, d.step, k.dstW, k.dstH, ro.data(), co.data(),
                       reinterpret_cast<const ResizeTap4Weights*>(rowRec.data()),
                       reinterpret_cast<const ResizeTap4Weights*>(colRec.data()), work[0], work[1], work[2], work[3],
                       ps, ch);
        } else if (f == kTap6) {
          int slot = (l.cn ? RESIZE_SLOT_TAP6_U8CN : RESIZE_SLOT_TAP6_U8C1) - RESIZE_GROUP_BASE_tap6 + kind;
          t.tap6[slot](s, dp, ss, d.step, k.dstW, k.dstH, ro.data(), co.data(),
                       reinterpret_cast<const ResizeTap6Weights*>(rowRec.data()),
                       reinterpret_cast<const ResizeTap6Weights*>(colRec.data()), work[0], work[1], work[2], work[3],
                       work[4], work[5], ps, ch);
        } else {
          int slot = (l.cn ? RESIZE_SLOT_LANCZOS_U8CN : RESIZE_SLOT_LANCZOS_U8C1) - RESIZE_GROUP_BASE_lanczos + kind;
          t.lanczos[slot](s, dp, ss, d.step, k.dstW, k.dstH, ro.data(), co.data(),
                          reinterpret_cast<const ResizeTap6Weights*>(rowRec.data()),
                          reinterpret_cast<const ResizeTap6Weights*>(colRec.data()), work[0], work[1], work[2], work[3],
                          work[4], work[5], k.roiX, k.roiY, colsRight, rowsBelow, upscale, ps, ch);
        }
        return d;
      };
      auto tapsOf = [&](const std::vector<int>& base, const std::vector<float>& rec, const std::vector<float>& frac,
                        int lo, int hi) {
        return [&, lo, hi](int i, int* idx, double* w) {
          if (f == kCubic) {
            CubicWeights(frac[i], w);
            for (int t = 0; t < 4; ++t) idx[t] = base[i] - 1 + t;
            return 4;
          }
          for (int t = 0; t < taps; ++t) {
            idx[t] = std::clamp(base[i] - back + t, lo, hi);
            w[t] = rec[size_t(i) * taps + t];
          }
          return taps;
        };
      };
      const auto rowTaps = tapsOf(k.rows, rowRec, rowFrac, -k.roiY, rowsBelow - 1);
      const auto colTaps = tapsOf(k.cols, colRec, colFrac, -k.roiX, colsRight - 1);
      static const char* kNames[] = {"cubic", "four-tap", "six-tap", "Lanczos-3"};
      Dest<T> want = run(0);
      SCOPED_TRACE(testing::Message() << f << " " << l.name << " flip " << k.img.flip << " roi " << k.roiX << ","
                                      << k.roiY << " img " << W << "x" << H << " up " << upscale << " dst " << k.dstW
                                      << "x" << k.dstH);
      CheckDest(
          want, k, [&](int x, int y, int c) { return Separable(k, x, y, c, rowTaps, colTaps); }, kNames[f]);
      // Only the four-tap stores differ between levels (ties to even from level 1 on).
      const int allowed = f == kTap4 && !std::is_same_v<T, float> ? 1 : 0;
      for (CpuLevel level : vorlix_test::RunnableLevels()) ExpectSameDest(run(level), want, allowed, l.name, level);
    }
  }
}

template <typename T>
void FilteredAll(Random& rnd, bool withS16) {
  for (Filter f : {kCubic, kTap4, kTap6, kLanczos}) {
    if (std::is_same_v<T, s16> && (f == kCubic || f == kLanczos)) continue;
    FilteredCases<T>(rnd, f, 12);
  }
}

TEST(ResizeRows, FilteredKindsMatchTheirDoubleModelsAndLevelZero) {
  Random rnd(103);
  FilteredAll<u8>(rnd, false);
  FilteredAll<u16>(rnd, false);
  FilteredAll<float>(rnd, false);
  FilteredAll<s16>(rnd, true);
}

// The cubic is the Lagrange polynomial through four samples: an impulse shows its weights
// at 0.25 (-7, 105, 35, -5)/128 and 0.5 (-1, 9, 9, -1)/16, unrounded in float; integer
// positions (fractions 0, 1, 2) give the samples exactly.
TEST(ResizeRows, CubicWeightsAndExactPositions) {
  const int32_t rows[1] = {1 * 8}, cols[4] = {1, 1, 1, 1};
  for (auto [x, expect] : {std::pair{0.25f, std::array<float, 4>{-7 / 128.f, 105 / 128.f, 35 / 128.f, -5 / 128.f}},
                           std::pair{0.5f, std::array<float, 4>{-1 / 16.f, 9 / 16.f, 9 / 16.f, -1 / 16.f}}}) {
    for (int tap = 0; tap < 4; ++tap) {
      float src[4 * 8] = {};
      for (int r = 0; r < 4; ++r) src[r * 8 + tap] = 128.0f;  // every row the same impulse
      const float rowFrac[1] = {0.0f}, colFrac[4] = {x, x, x, x};
      float b[4][8], dst[4];
      ResizeRowTables[0]->cubic[RESIZE_SLOT_CUBIC_F32C1 - RESIZE_GROUP_BASE_cubic](
          src, dst, 8, 4, 4, 1, rows, cols, rowFrac, colFrac, b[0], b[1], b[2], b[3], 0, 0);
      EXPECT_FLOAT_EQ(dst[0], 128.0f * expect[size_t(tap)]) << x << " tap " << tap;
    }
  }
  // 8-bit samples at fractions 0, 1 and 2 (the last column's edge move) come back exactly.
  const int32_t one[1] = {0}, at1[3] = {1, 1, 1};
  const float zero[1] = {0.0f}, fr[3] = {0.0f, 1.0f, 2.0f};
  float b[4][8];
  u8 dst[3];
  const u8 rows4[4 * 4] = {3, 250, 17, 255, 3, 250, 17, 255, 3, 250, 17, 255, 3, 250, 17, 255};
  ResizeRowTables[0]->cubic[RESIZE_SLOT_CUBIC_U8C1 - RESIZE_GROUP_BASE_cubic](rows4 + 4, dst, 4, 3, 3, 1, one, at1,
                                                                              zero, fr, b[0], b[1], b[2], b[3], 0, 0);
  EXPECT_EQ(dst[0], 250);
  EXPECT_EQ(dst[1], 17);
  EXPECT_EQ(dst[2], 255);
}

// The stores, through the four-tap and six-tap rows: records that pick one sample of 1
// and a row record of the sum give the sum exactly, in a row of 20 pixels so that the
// levels' vector stores and their scalar tails both see it.
TEST(ResizeRows, StoresRoundAndClampByKindAndLevel) {
  struct Store {
    float sum;
    int u8v, u16v, s16v;           // level 0 (and the six-tap rows at every level)
    int u8even, u16even, s16even;  // four-tap rows of levels 1 to 4
  };
  const Store cases[] = {{2.5f, 3, 3, 3, 2, 2, 2},
                         {3.5f, 4, 4, 4, 4, 4, 4},
                         {-2.5f, 0, 0, -3, 0, 0, -2},
                         {2.4f, 2, 2, 2, 2, 2, 2},
                         {-2.4f, 0, 0, -2, 0, 0, -2},
                         {-0.4f, 0, 0, 0, 0, 0, 0},
                         {253.5f, 254, 254, 254, 254, 254, 254},
                         {254.5f, 255, 255, 255, 254, 254, 254},
                         {255.7f, 255, 256, 256, 255, 256, 256},
                         {-3.2f, 0, 0, -3, 0, 0, -3},
                         {40000.0f, 255, 40000, 32767, 255, 40000, 32767},
                         {-40000.0f, 0, 0, -32768, 0, 0, -32768},
                         {70000.0f, 255, 65535, 32767, 255, 65535, 32767},
                         {0.0f, 0, 0, 0, 0, 0, 0},
                         // Just below one half: the 0.5000001 of the store carries it to 1.
                         {0.49999997f, 1, 1, 1, 0, 0, 0},
                         // One unit below 1.5 lies further from the half than the constant reaches.
                         {1.49999988f, 1, 1, 1, 1, 1, 1}};
  constexpr int kW = 20;
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    const ResizeRowTableLayout& t = *ResizeRowTables[level];
    for (const Store& c : cases) {
      const int32_t rows[1] = {2 * 8};
      int32_t cols[kW];
      ResizeTap4Weights c4[kW];
      ResizeTap6Weights c6[kW];
      for (int i = 0; i < kW; ++i) cols[i] = 2, c4[i] = {{0, 1, 0, 0}}, c6[i] = {{0, 0, 1, 0, 0, 0}};
      float b[6][4 * kW];
      auto run = [&](auto sample, int slot4, int slot6, int want6, int want4) {
        using T = decltype(sample);
        T s[8 * 8] = {};
        s[2 * 8 + 2] = T(1);
        const ResizeTap4Weights rs4{{0, c.sum, 0, 0}};
        const ResizeTap6Weights rs6{{0, 0, c.sum, 0, 0, 0}};
        T d4[kW], d6[kW];
        t.tap4[slot4 - RESIZE_GROUP_BASE_tap4](s, d4, 8, kW, kW, 1, rows, cols, &rs4, c4, b[0], b[1], b[2], b[3], 0, 0);
        t.tap6[slot6 - RESIZE_GROUP_BASE_tap6](s, d6, 8, kW, kW, 1, rows, cols, &rs6, c6, b[0], b[1], b[2], b[3], b[4],
                                               b[5], 0, 0);
        for (int i = 0; i < kW; ++i) {
          EXPECT_EQ(int(d6[i]), want6) << "six-tap sum " << c.sum << " level " << level << " pixel " << i;
          EXPECT_EQ(int(d4[i]), level ? want4 : want6) << "four-tap sum " << c.sum << " level " << level;
        }
      };
      run(u8(0), RESIZE_SLOT_TAP4_U8C1, RESIZE_SLOT_TAP6_U8C1, c.u8v, c.u8even);
      run(u16(0), RESIZE_SLOT_TAP4_U16C1, RESIZE_SLOT_TAP6_U16C1, std::min(c.u16v, 65535), std::min(c.u16even, 65535));
      run(s16(0), RESIZE_SLOT_TAP4_S16C1, RESIZE_SLOT_TAP6_S16C1, c.s16v, c.s16even);
    }
  }
}

// The byte store near every rounding edge: sums within a few units in the last place of
// k - 1/2, k + 1/2 and k + 0.4999999 for every k around 0 .. 255, and sums far outside
// the range or not a number, through the six-tap rows (whose stores keep the reference's
// rule at every level) in whole vector steps and a tail, against the rule in double.
TEST(ResizeRows, ByteStoreAtEveryRoundingEdgeAndLevel) {
  std::vector<float> sums = {std::nanf(""), 1e30f, -1e30f, 255.0f, 256.0f, -1.0f, -0.0f};
  for (int k = -2; k <= 258; ++k)
    for (double edge : {k - 0.5, k + 0.5, k + 0.4999999}) {
      float v = float(edge);
      for (int u = 0; u < 12; ++u) v = std::nextafter(v, -1e9f);
      for (int u = 0; u < 24; ++u, v = std::nextafter(v, 1e9f)) sums.push_back(v);
    }
  auto model = [](float s) {
    const double v = double(s) + 0.5000001;
    return v >= 255.0 ? 255 : (!(v >= 1.0) ? 0 : int(v));
  };
  constexpr int kW = 37;  // two steps of sixteen and a tail
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    const ResizeRowTableLayout& t = *ResizeRowTables[level];
    for (size_t first = 0; first < sums.size(); first += kW) {
      u8 s[8 * 8] = {};
      s[2 * 8 + 2] = 1;
      const int32_t rows[1] = {2 * 8};
      int32_t cols[kW];
      ResizeTap6Weights c6[kW];
      for (int i = 0; i < kW; ++i) {
        const float v = sums[std::min(first + size_t(i), sums.size() - 1)];
        cols[i] = 2, c6[i] = {{0, 0, v, 0, 0, 0}};
      }
      const ResizeTap6Weights r6{{0, 0, 1, 0, 0, 0}};
      float b[6][kW];
      u8 d[kW];
      t.tap6[RESIZE_SLOT_TAP6_U8C1 - RESIZE_GROUP_BASE_tap6](s, d, 8, kW, kW, 1, rows, cols, &r6, c6, b[0], b[1], b[2],
                                                             b[3], b[4], b[5], 0, 0);
      for (int i = 0; i < kW; ++i)
        ASSERT_EQ(int(d[i]), model(c6[i].w[2]))
            << "sum " << std::hexfloat << c6[i].w[2] << " level " << level << " pixel " << i;
    }
  }
}

// ---- every slot through the engine -----------------------------------------------------

template <typename T>
void EngineKinds(Random& rnd) {
  for (int interp : {IMG_INTERP_NEAREST, IMG_INTERP_LINEAR, IMG_INTERP_CUBIC, IMG_INTERP_LANCZOS3}) {
    if (std::is_same_v<T, s16> && (interp == IMG_INTERP_CUBIC || interp == IMG_INTERP_LANCZOS3)) continue;
    for (int planar = 0; planar < 2; ++planar)
      for (const Layout& l : kLayouts) {
        if (planar && l.channels == 1) continue;
        const int w = rnd.Int(1, 30), h = rnd.Int(1, 24);
        const int ps = planar ? 1 : l.pixelStep;
        const int planes = planar ? (l.channels == 4 ? 4 : 3) : 1;
        std::vector<Plane<T>> src;
        const int pad = rnd.Int(0, 3);  // one step for every plane
        for (int p = 0; p < planes; ++p) src.emplace_back(w, h, ps, pad, false, rnd);
        ImgRect roi{rnd.Int(0, w - 1), rnd.Int(0, h - 1), rnd.Int(1, w), rnd.Int(1, h)};
        const double xf = rnd.Int(50, 300) / 100.0, yf = rnd.Int(50, 300) / 100.0;
        const int dw = rnd.Int(1, 60), dh = rnd.Int(1, 60);
        const int mapping = rnd.Int(0, 3) ? 1 : 0;
        auto run = [&](auto engine, std::vector<std::vector<T>>& out) {
          out.assign(size_t(planes), std::vector<T>(size_t(dw) * dh * ps, T(93)));
          const void* sp[4];
          void* dp[4];
          for (int p = 0; p < planes; ++p) sp[p] = src[size_t(p)].data.data(), dp[p] = out[size_t(p)].data();
          return engine(planar ? (const void*)sp : sp[0], w, h, src[0].step * int(sizeof(T)), &roi,
                        planar ? (void*)dp : dp[0], dw * ps * int(sizeof(T)), ImgSize{dw, dh}, xf, yf, 0.0, 0.0, ps,
                        l.channels, KindOf<T>(), planar, interp, mapping);
        };
        std::vector<std::vector<T>> want, got;
        ImgStatus st0 = run(img::level0::ResizeInterpolateEngine, want);
        ASSERT_EQ(st0, IMG_OK) << interp << " " << l.name;
        using EngineFn = decltype(&img::level0::ResizeInterpolateEngine);
        const EngineFn engines[] = {img::level0::ResizeInterpolateEngine, img::level1::ResizeInterpolateEngine,
                                    img::level2::ResizeInterpolateEngine, img::level3::ResizeInterpolateEngine,
                                    img::level4::ResizeInterpolateEngine};
        for (CpuLevel level : vorlix_test::RunnableLevels()) {
          ASSERT_EQ(run(engines[level], got), IMG_OK);
          // Lanczos-3 records of levels 1 to 4 come from the vector weights.
          const int allowed = interp == IMG_INTERP_LANCZOS3 ? 1 : 0;
          for (int p = 0; p < planes; ++p)
            for (size_t i = 0; i < want[size_t(p)].size(); ++i) {
              double a = double(want[size_t(p)][i]), b = double(got[size_t(p)][i]);
              if (std::is_same_v<T, float> && allowed)
                ASSERT_NEAR(a, b, 1e-3 * (1 + std::abs(a))) << "level " << level;
              else
                ASSERT_LE(std::abs(a - b), allowed) << "level " << level << " interp " << interp << " " << l.name
                                                    << " kind " << KindOf<T>() << " planar " << planar << " element "
                                                    << i << " of " << want[size_t(p)].size() << " map " << mapping;
            }
        }
      }
  }
}

TEST(ResizeRows, EverySlotThroughTheEngineAtEveryLevel) {
  Random rnd(104);
  for (int i = 0; i < 3; ++i) {
    EngineKinds<u8>(rnd);
    EngineKinds<u16>(rnd);
    EngineKinds<float>(rnd);
    EngineKinds<s16>(rnd);
  }
}

}  // namespace
