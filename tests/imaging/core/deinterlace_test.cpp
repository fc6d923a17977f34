#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "imaging/core/deinterlace.h"
#include "imaging/core/dispatch.h"
#include "imaging/core/memory.h"
#include "tests/imaging/core/refusing_hooks.h"
#include "tests/support/levels.h"

namespace {

using vorlix_test::Random;
using vorlix_test::RefusingHooks;
using vorlix_test::RunnableLevels;

// Frames of one plane sharing one step (sometimes negative, base on the last row), and a
// destination with its own step; whole buffers are compared, padding included.
struct Pictures {
  std::vector<std::vector<u8>> frames;
  std::vector<size_t> origins;
  int srcStep = 0;
  std::vector<u8> dst;
  size_t dstOrigin = 0;
  int dstStep = 0;

  std::vector<const u8*> FramePointers() const {
    std::vector<const u8*> p;
    for (size_t i = 0; i < frames.size(); ++i) p.push_back(frames[i].data() + origins[i]);
    return p;
  }
  u8* Dst(std::vector<u8>& bytes) const { return bytes.data() + dstOrigin; }
};

// noise: how far each frame may stray from a shared base, so still and moving pixels
// both occur.
Pictures MakePictures(Random& r, int count, ImgSize size, int noise) {
  Pictures p;
  const int w = std::max(size.width, 1), h = std::max(size.height, 1);
  auto layout = [&](int& step, size_t& origin, size_t& bytes) {
    const int s = w + (r.Int(0, 2) ? r.Int(1, 24) : 0);
    const bool negative = r.Int(0, 3) == 0;
    const size_t front = 16 + r.Int(0, 15);
    bytes = front + size_t(s) * h + 32;
    origin = front + (negative ? size_t(s) * (h - 1) : 0);
    step = negative ? -s : s;
  };
  size_t bytes, origin;
  layout(p.srcStep, origin, bytes);
  std::vector<u8> base(bytes);
  r.Fill(base.data(), base.size());
  for (int i = 0; i < count; ++i) {
    std::vector<u8> f = base;
    for (u8& b : f) b = u8(std::clamp(int(b) + r.Int(-noise, noise), 0, 255));
    p.frames.push_back(f);
    p.origins.push_back(origin);
  }
  size_t dstBytes;
  layout(p.dstStep, p.dstOrigin, dstBytes);
  p.dst.resize(dstBytes);
  r.Fill(p.dst.data(), p.dst.size());
  return p;
}

const int kWidths[] = {1, 2, 3, 4, 5, 15, 16, 17, 18, 19, 31, 33, 34, 35, 64, 65, 127, 200};

TEST(Deinterlace, MotionAdaptiveEveryLevelMatchesLevelZero) {
  const std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) GTEST_SKIP() << "no level above 0 runs here";
  Random r(0xDE1u);
  const int thresholds[] = {-5, 0, 1, 2, 12, 100, 255, 256, 1000};
  const int parities[] = {0, 1, 2, 3, -1, -2};
  const int noises[] = {0, 2, 6, 20, 255};
  for (int iter = 0; iter < 400; ++iter) {
    const ImgSize size{iter < 18 ? kWidths[iter] : r.Int(1, 260), r.Int(1, 11)};
    const Pictures p = MakePictures(r, 4, size, noises[r.Int(0, 4)]);
    const int threshold = thresholds[r.Int(0, 8)];
    const int first = parities[r.Int(0, 5)], kept = parities[r.Int(0, 5)];
    const int copyKept = r.Int(0, 1), strict = r.Int(0, 1);
    const std::vector<const u8*> frames = p.FramePointers();
    std::vector<u8> ref = p.dst;
    const ImgStatus refStatus = ImgDeinterlaceMotionAdaptiveTable[0](frames.data(), p.srcStep, p.Dst(ref), p.dstStep,
                                                                     size, threshold, first, kept, copyKept, strict);
    for (CpuLevel level : levels) {
      std::vector<u8> out = p.dst;
      const ImgStatus status = ImgDeinterlaceMotionAdaptiveTable[level](frames.data(), p.srcStep, p.Dst(out), p.dstStep,
                                                                        size, threshold, first, kept, copyKept, strict);
      ASSERT_EQ(status, refStatus) << "level " << level << " iteration " << iter;
      ASSERT_EQ(out, ref) << "level " << level << " size " << size.width << "x" << size.height << " threshold "
                          << threshold << " parities " << first << "/" << kept << " copy " << copyKept << " strict "
                          << strict << " iteration " << iter;
    }
  }
}

TEST(Deinterlace, BlendEveryLevelMatchesLevelZeroWithLinearWeights) {
  const std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) GTEST_SKIP() << "no level above 0 runs here";
  Random r(0xB1E4Du);
  const int factors[] = {4, 0, 1, -3, 200, 40000, -70000};
  const int offsets[] = {-32, 0, 128, 256, 300, -40000, 70000};
  const int limits[] = {-1000, -1, 0, 8, 72, 255, 256, 1000};
  const int noises[] = {0, 2, 6, 20, 255};
  u16 weights[512];
  for (int iter = 0; iter < 400; ++iter) {
    const ImgSize size{iter < 18 ? kWidths[iter] : r.Int(1, 260), r.Int(1, 11)};
    const Pictures p = MakePictures(r, 3, size, noises[r.Int(0, 4)]);
    ImgDeinterlaceBlendState state;
    ASSERT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, weights, factors[r.Int(0, 6)], offsets[r.Int(0, 6)],
                                                 limits[r.Int(0, 7)], limits[r.Int(0, 7)]),
              IMG_OK);
    const int first = r.Int(-1, 2), kept = r.Int(-1, 2), copyKept = r.Int(0, 1);
    const std::vector<const u8*> frames = p.FramePointers();
    std::vector<u8> ref = p.dst;
    const ImgStatus refStatus = ImgDeinterlaceBlendTable[0](frames.data(), p.srcStep, p.Dst(ref), p.dstStep, size,
                                                            first, kept, copyKept, &state);
    for (CpuLevel level : levels) {
      std::vector<u8> out = p.dst;
      const ImgStatus status = ImgDeinterlaceBlendTable[level](frames.data(), p.srcStep, p.Dst(out), p.dstStep, size,
                                                               first, kept, copyKept, &state);
      ASSERT_EQ(status, refStatus) << "level " << level << " iteration " << iter;
      ASSERT_EQ(out, ref) << "level " << level << " size " << size.width << "x" << size.height << " factor "
                          << state.vectorWeightFactor << " offset " << state.vectorWeightOffset << " limits "
                          << state.lowerLimit << ".." << state.upperLimit << " iteration " << iter;
    }
  }
}

// The blend with `state` on pictures `p` (kept and copied rows picked from `r`): every
// level gives level 0's bytes. `what` names the case in a failure.
void ExpectBlendLevelsMatchLevelZero(Random& r, const Pictures& p, ImgSize size, const ImgDeinterlaceBlendState* state,
                                     const std::vector<CpuLevel>& levels, const std::string& what) {
  const int first = r.Int(0, 1), kept = r.Int(0, 1), copyKept = r.Int(0, 1);
  const std::vector<const u8*> frames = p.FramePointers();
  std::vector<u8> ref = p.dst;
  ImgDeinterlaceBlendTable[0](frames.data(), p.srcStep, p.Dst(ref), p.dstStep, size, first, kept, copyKept, state);
  for (CpuLevel level : levels) {
    std::vector<u8> out = p.dst;
    ImgDeinterlaceBlendTable[level](frames.data(), p.srcStep, p.Dst(out), p.dstStep, size, first, kept, copyKept,
                                    state);
    ASSERT_EQ(out, ref) << "level " << level << " " << what << " size " << size.width << "x" << size.height;
  }
}

// The vector levels form the blend weight three ways by the size of the factor and the
// offset; every boundary between them against level 0.
TEST(Deinterlace, BlendWeightFormsMatchLevelZeroAtTheirBoundaries) {
  const std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) GTEST_SKIP() << "no level above 0 runs here";
  Random r(0x3132u);
  const int factors[] = {-129, -128, -127, -33, -32, -31, 30, 31, 32, 33, 127, 128, 129, 32767, 32768, -32769};
  const int offsets[] = {-32769, -33, -32, -31, -1, 1, 30, 31, 32, 33, 255, 32768};
  u16 weights[512];
  for (int factor : factors)
    for (int offset : offsets) {
      const ImgSize size{r.Int(3, 70), r.Int(3, 8)};
      const Pictures p = MakePictures(r, 3, size, r.Int(0, 1) ? 20 : 255);
      ImgDeinterlaceBlendState state;
      ASSERT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, weights, factor, offset, r.Int(-1, 40), r.Int(60, 256)),
                IMG_OK);
      ExpectBlendLevelsMatchLevelZero(r, p, size, &state, levels,
                                      "factor " + std::to_string(factor) + " offset " + std::to_string(offset));
    }
}

// The vector levels store the plain blend where the weights alone already give the
// median below the lower limit and the spatial estimate above the upper one; each case
// sits on a side of that boundary (one limit a step too far in, a falling weight, a
// constant one), on moving content where every block mixes the three outcomes.
TEST(Deinterlace, BlendLimitsJustInsideAndOutsideTheWeightsMatchLevelZero) {
  const std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) GTEST_SKIP() << "no level above 0 runs here";
  struct Case {
    int factor, offset, lower, upper;
  };
  // 4 m - 32 is 0 up to m 8 and 256 from m 72 on.
  const Case cases[] = {
      {4, -32, 9, 71},   {4, -32, 10, 71}, {4, -32, 9, 70},  {4, -32, 10, 70},    {4, -32, 0, 255}, {4, -32, 256, -1},
      {4, -32, -5, 71},  {-4, 256, 9, 71}, {-4, 31, 9, 255}, {-1, 31, 256, 255},  {-1, 256, 0, 0},  {0, 0, 0, 255},
      {0, 0, 1, 255},    {0, 256, 0, 255}, {0, 256, 0, 254}, {0, 256, 300, -300}, {30, -31, 2, 9},  {200, -60000, 2, 9},
      {100, -250, 3, 5}, {1, 0, 1, 255},   {1, 0, 0, 255},   {1, 0, 255, 254},
  };

  Random r(0x11F17u);
  u16 weights[512];
  for (const Case& c : cases)
    for (int iter = 0; iter < 6; ++iter) {
      // Noise of 80 or so spreads the motion values over the limits; 255 saturates many.
      const int noises[] = {255, 80, 60};
      const ImgSize size{r.Int(20, 300), r.Int(9, 17)};
      const Pictures p = MakePictures(r, 3, size, noises[iter % 3]);
      ImgDeinterlaceBlendState state;
      ASSERT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, weights, c.factor, c.offset, c.lower, c.upper), IMG_OK);
      ExpectBlendLevelsMatchLevelZero(r, p, size, &state, levels,
                                      "factor " + std::to_string(c.factor) + " offset " + std::to_string(c.offset) +
                                          " limits " + std::to_string(c.lower) + ".." + std::to_string(c.upper));
    }
}

// Wide rows, on pictures tall enough for the vector levels' reuse of a kept row's values
// to chain over several missing rows, with the kept rows copied by the row kernels or left
// to the caller: with the work memory those values live in, and with none (every row then
// computes them in full). Either way every level gives what level 0 gives, and every
// block of work memory goes back.
TEST(Deinterlace, EveryLevelMatchesLevelZeroOnWideRows) {
  const std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) GTEST_SKIP() << "no level above 0 runs here";
  Random r(0x4096u);
  const int widths[] = {4094, 4095, 4096, 4097, 4098, 4099, 4111, 4113, 5003};
  u16 weights[512];
  const ImgMemoryHookTable* previous = ImgInstallMemoryHooks(&RefusingHooks::kTable);
  RefusingHooks::asked = RefusingHooks::live = 0;
  for (int iter = 0; iter < 36; ++iter) {
    RefusingHooks::refuse = iter >= 18;
    const ImgSize size{widths[iter % 9], r.Int(3, 9)};
    const int noise = iter % 2 ? 6 : 255;
    const int first = r.Int(0, 1), kept = r.Int(0, 1), copyKept = r.Int(0, 1), strict = r.Int(0, 1);
    {
      const Pictures p = MakePictures(r, 4, size, noise);
      const std::vector<const u8*> frames = p.FramePointers();
      std::vector<u8> ref = p.dst;
      ImgDeinterlaceMotionAdaptiveTable[0](frames.data(), p.srcStep, p.Dst(ref), p.dstStep, size, 12, first, kept,
                                           copyKept, strict);
      for (CpuLevel level : levels) {
        std::vector<u8> out = p.dst;
        ImgDeinterlaceMotionAdaptiveTable[level](frames.data(), p.srcStep, p.Dst(out), p.dstStep, size, 12, first, kept,
                                                 copyKept, strict);
        ASSERT_EQ(out, ref) << "motion-adaptive, level " << level << " size " << size.width << "x" << size.height
                            << (RefusingHooks::refuse ? " without work memory" : "");
      }
    }
    {
      const Pictures p = MakePictures(r, 3, size, noise);
      ImgDeinterlaceBlendState state;
      ASSERT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, weights, 4, -32, 8, 72), IMG_OK);
      const std::vector<const u8*> frames = p.FramePointers();
      std::vector<u8> ref = p.dst;
      ImgDeinterlaceBlendTable[0](frames.data(), p.srcStep, p.Dst(ref), p.dstStep, size, first, kept, copyKept, &state);
      for (CpuLevel level : levels) {
        std::vector<u8> out = p.dst;
        ImgDeinterlaceBlendTable[level](frames.data(), p.srcStep, p.Dst(out), p.dstStep, size, first, kept, copyKept,
                                        &state);
        ASSERT_EQ(out, ref) << "blend, level " << level << " size " << size.width << "x" << size.height
                            << (RefusingHooks::refuse ? " without work memory" : "");
      }
    }
  }
  ImgInstallMemoryHooks(previous);
  EXPECT_GT(RefusingHooks::asked, 0);
  EXPECT_EQ(RefusingHooks::live, 0);
}

// Pictures of half a megabyte and more, whose output rows the vector levels write past
// the caches where a row starts on a cache-line boundary: destinations whose every row is
// line-aligned, whose rows alternate, and whose rows never are, with still and moving
// content. Every level gives what level 0 gives, padding included.
TEST(Deinterlace, LargePicturesMatchLevelZeroWhateverTheRowAlignment) {
  const std::vector<CpuLevel> levels = RunnableLevels();
  if (levels.empty()) GTEST_SKIP() << "no level above 0 runs here";
  Random r(0x5712u);
  u16 weights[512];
  ImgDeinterlaceBlendState state;
  ASSERT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, weights, 4, -32, 8, 72), IMG_OK);
  struct Case {
    int w, h, dstStep, dstShift;  // dstShift: the first row's distance past a line boundary
  } cases[] = {{1024, 520, 1024, 0}, {1027, 530, 1088, 0}, {1000, 560, 1032, 0},
               {1024, 521, 1024, 1}, {1536, 400, 1536, 0}, {730, 800, 768, 0}};
  for (const Case& c : cases) {
    const ImgSize size{c.w, c.h};
    for (int noise : {3, 40, 255}) {
      const int first = r.Int(0, 1), kept = r.Int(0, 1), copyKept = r.Int(0, 1);
      std::vector<std::vector<u8>> frames(4);
      std::vector<u8> base(size_t(c.w) * c.h);
      r.Fill(base.data(), base.size());
      for (auto& f : frames) {
        f = base;
        for (u8& b : f) b = u8(std::clamp(int(b) + r.Int(-noise, noise), 0, 255));
      }
      const u8* const fp[4] = {frames[0].data(), frames[1].data(), frames[2].data(), frames[3].data()};
      std::vector<u8> dst(size_t(c.dstStep) * c.h + 128);
      r.Fill(dst.data(), dst.size());
      const size_t origin = (64 - (reinterpret_cast<uintptr_t>(dst.data()) & 63)) % 64 + size_t(c.dstShift);
      const std::string what = std::to_string(c.w) + "x" + std::to_string(c.h) + " step " + std::to_string(c.dstStep) +
                               " noise " + std::to_string(noise);
      std::vector<u8> ref = dst;
      ImgDeinterlaceMotionAdaptiveTable[0](fp, c.w, ref.data() + origin, c.dstStep, size, 12, first, kept, copyKept, 0);
      for (CpuLevel level : levels) {
        std::vector<u8> out = dst;
        ImgDeinterlaceMotionAdaptiveTable[level](fp, c.w, out.data() + origin, c.dstStep, size, 12, first, kept,
                                                 copyKept, 0);
        ASSERT_TRUE(out == ref) << "motion-adaptive, level " << level << " " << what;
      }
      ref = dst;
      ImgDeinterlaceBlendTable[0](fp, c.w, ref.data() + origin, c.dstStep, size, first, kept, copyKept, &state);
      for (CpuLevel level : levels) {
        std::vector<u8> out = dst;
        ImgDeinterlaceBlendTable[level](fp, c.w, out.data() + origin, c.dstStep, size, first, kept, copyKept, &state);
        ASSERT_TRUE(out == ref) << "blend, level " << level << " " << what;
      }
    }
  }
}

// Steps of 2^30 bytes and more, either sign: twice such a step (the kept rows' step)
// does not fit an int. Every level must give what level 0 gives on the same pictures
// laid out with small steps. The rows live in one reserved stretch of address space;
// only the pages they touch are ever backed.
TEST(Deinterlace, StepsWhoseDoubleExceedsAnInt) {
  constexpr int w = 40, h = 5;
  const s64 big = (s64(1) << 30) + 64;
  const size_t span = size_t((h - 1) * big) + 4096;
  void* mem = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  u8* region = static_cast<u8*>(mem);
  Random r(0x5733u);
  std::vector<u8> compact[4];
  for (auto& f : compact) {
    f.resize(w * h);
    r.Fill(f.data(), f.size());
  }
  const u8* const compactFrames[4] = {compact[0].data(), compact[1].data(), compact[2].data(), compact[3].data()};
  u16 weights[512];
  ImgDeinterlaceBlendState state;
  ASSERT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, weights, 4, -32, 8, 72), IMG_OK);
  std::vector<CpuLevel> levels = RunnableLevels();
  levels.insert(levels.begin(), 0);

  for (int sign : {1, -1}) {
    const int step = int(sign * big);
    // Slot k: a picture whose rows start k x 64 bytes into the rows' stretch.
    auto base = [&](int slot) { return region + slot * 64 + (sign < 0 ? size_t((h - 1) * big) : 0); };
    const u8* frames[4];
    for (int i = 0; i < 4; ++i) {
      for (int y = 0; y < h; ++y) std::memcpy(base(i) + s64(y) * step, compact[i].data() + y * w, w);
      frames[i] = base(i);
    }
    u8* dst = base(4);
    auto rows = [&] {
      std::vector<u8> out(w * h);
      for (int y = 0; y < h; ++y) std::memcpy(out.data() + y * w, dst + s64(y) * step, w);
      return out;
    };
    auto clear = [&] {
      for (int y = 0; y < h; ++y) std::memset(dst + s64(y) * step, 0xEE, w);
    };
    for (int kept = 0; kept < 2; ++kept) {
      for (CpuLevel level : levels) {
        SCOPED_TRACE(testing::Message() << "step " << step << ", kept parity " << kept << ", level " << level);
        std::vector<u8> want(w * h, 0xEE);
        ASSERT_EQ(ImgDeinterlaceMotionAdaptiveTable[0](compactFrames, w, want.data(), w, {w, h}, 12, 0, kept, 1, 0),
                  IMG_OK);
        clear();
        ASSERT_EQ(ImgDeinterlaceMotionAdaptiveTable[level](frames, step, dst, step, {w, h}, 12, 0, kept, 1, 0), IMG_OK);
        EXPECT_EQ(rows(), want) << "motion-adaptive";

        std::fill(want.begin(), want.end(), 0xEE);
        ASSERT_EQ(ImgDeinterlaceBlendTable[0](compactFrames, w, want.data(), w, {w, h}, 0, kept, 1, &state), IMG_OK);
        clear();
        ASSERT_EQ(ImgDeinterlaceBlendTable[level](frames, step, dst, step, {w, h}, 0, kept, 1, &state), IMG_OK);
        EXPECT_EQ(rows(), want) << "blend";
      }
    }
  }
  munmap(mem, span);
}

// ---- Motion-adaptive cases --------------------------------------------------------------

// A 16 + 3 pixel wide, 3-row picture in four frames; row 1 is rebuilt (kept parity 0),
// so every level runs one vector block and a scalar tail over the same values.
struct SmallFrames {
  static constexpr int w = 19, h = 3;
  u8 f[4][h][w];
  u8 dst[h][w];
  void Fill(u8 v) { std::memset(f, v, sizeof f); }
  // Sets column-uniform values: rows 0 and 2 of every frame (the neighbours), row 1 of
  // every frame (the candidate and the still test's R[y]).
  void Set(u8 neighbour, u8 candidate) {
    for (auto& frame : f) {
      std::memset(frame[0], neighbour, w);
      std::memset(frame[1], candidate, w);
      std::memset(frame[2], neighbour, w);
    }
  }
  ImgStatus Run(int level, int threshold, int strict) {
    std::memset(dst, 0xEE, sizeof dst);
    const u8* const frames[4] = {&f[0][0][0], &f[1][0][0], &f[2][0][0], &f[3][0][0]};
    return ImgDeinterlaceMotionAdaptiveTable[level](frames, w, &dst[0][0], w, {w, h}, threshold, 0, 0, 1, strict);
  }
};

TEST(Deinterlace, MotionAdaptiveMarginsAndNeighbours) {
  const struct {
    const char* what;
    bool moving;  // make the frames differ so no pixel is still
    int strict;
    u8 candidate, neighbour, expect;
  } cases[] = {
      {"moving, both neighbours below the margin", true, 0, 100, 50, 50},
      {"still, strict, neighbours below the wide margin", false, 1, 100, 60, 60},
      {"still, strict, neighbours within the wide margin", false, 1, 100, 75, 100},
      {"moving, neighbours above a high capped at 235", true, 0, 232, 237, 237},
      {"still, not strict, woven whatever the neighbours", false, 0, 100, 10, 100},
  };
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " level " + std::to_string(level));
      SmallFrames s;
      s.Set(c.neighbour, c.candidate);
      if (c.moving) std::memset(s.f[3][0], u8(c.neighbour ^ 0x80), SmallFrames::w);  // F3 differs above
      ASSERT_EQ(s.Run(level, 12, c.strict), IMG_OK);
      for (int x = 0; x < SmallFrames::w; ++x) ASSERT_EQ(s.dst[1][x], c.expect) << "column " << x;
    }
  }
}

TEST(Deinterlace, MotionAdaptiveNeighboursAroundTheCandidateKeepIt) {
  // Moving pixel A = 100 with up 90 and down 110: neither both below 94 nor both above 106.
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    SmallFrames s;
    s.Set(0, 100);
    for (auto& frame : s.f) std::memset(frame[0], 90, SmallFrames::w), std::memset(frame[2], 110, SmallFrames::w);
    std::memset(s.f[3][0], 200, SmallFrames::w);
    ASSERT_EQ(s.Run(level, 12, 0), IMG_OK);
    for (int x = 0; x < SmallFrames::w; ++x) EXPECT_EQ(s.dst[1][x], 100) << "level " << level;
  }
}

TEST(Deinterlace, MotionAdaptiveIdenticalFramesGiveTheReference) {
  Random r(7);
  for (int h : {1, 2, 5, 6}) {
    constexpr int w = 37;
    std::vector<u8> frame(w * h);
    r.Fill(frame.data(), frame.size());
    const u8* const frames[4] = {frame.data(), frame.data(), frame.data(), frame.data()};
    for (int kept = 0; kept < 2; ++kept)
      for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
        if (level && !CpuCanRunLevel(level)) continue;
        std::vector<u8> dst(w * h, 0xEE);
        ASSERT_EQ(ImgDeinterlaceMotionAdaptiveTable[level](frames, w, dst.data(), w, {w, h}, 12, 0, kept, 1, 0),
                  IMG_OK);
        EXPECT_EQ(dst, frame) << "height " << h << " kept " << kept << " level " << level;
      }
  }
}

TEST(Deinterlace, MotionAdaptiveRowRolesAndBorders) {
  // Frames whose every byte names the frame (10, 20, 30, 40), so a copied row shows which
  // frame served as the reference.
  constexpr int w = 20;
  const struct {
    int h, first, kept, copyKept;
    const char* rows;  // per row: R = reference copied, '.' = rebuilt, '-' = untouched
  } cases[] = {
      {5, 0, 0, 1, "R.R.R"},  {6, 0, 0, 1, "R.R.RR"}, {5, 0, 1, 1, "RR.RR"}, {6, 0, 1, 1, "RR.R.R"},
      {6, 0, 0, 0, "-.-.-R"}, {5, 1, 1, 0, "R-.-R"},  {1, 0, 0, 1, "R"},     {1, 0, 1, 0, "R"},
      {2, 0, 1, 1, "RR"},     {2, 0, 0, 0, "-R"},
  };
  for (const auto& c : cases)
    for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
      if (level && !CpuCanRunLevel(level)) continue;
      std::vector<u8> f[4];
      for (int i = 0; i < 4; ++i) f[i].assign(w * c.h, u8(10 * (i + 1)));
      const u8* const frames[4] = {f[0].data(), f[1].data(), f[2].data(), f[3].data()};
      std::vector<u8> dst(w * c.h, 0xEE);
      ASSERT_EQ(ImgDeinterlaceMotionAdaptiveTable[level](frames, w, dst.data(), w, {w, c.h}, 12, c.first, c.kept,
                                                         c.copyKept, 0),
                IMG_OK);
      const u8 reference = c.first == c.kept ? 20 : 30;
      for (int y = 0; y < c.h; ++y) {
        SCOPED_TRACE("height " + std::to_string(c.h) + " parities " + std::to_string(c.first) + "/" +
                     std::to_string(c.kept) + " row " + std::to_string(y) + " level " + std::to_string(level));
        const std::vector<u8> row(dst.begin() + y * w, dst.begin() + (y + 1) * w);
        switch (c.rows[y]) {
          case 'R':
            EXPECT_EQ(row, std::vector<u8>(w, reference));
            break;
          case '-':
            EXPECT_EQ(row, std::vector<u8>(w, 0xEE));
            break;
          default:
            EXPECT_EQ(std::count(row.begin(), row.end(), 0xEE), 0);
            break;
        }
      }
    }
}

TEST(Deinterlace, ParitiesBeyondZeroAndOneUseTheirLowestBit) {
  // A kept parity of -1 used as a row index would copy from the row before the pictures.
  Random r(11);
  constexpr int w = 40, h = 7;
  std::vector<u8> f[4];
  for (auto& v : f) v.resize(w * h), r.Fill(v.data(), v.size());
  const u8* const frames4[4] = {f[0].data(), f[1].data(), f[2].data(), f[3].data()};
  u16 weights[512];
  ImgDeinterlaceBlendState state;
  ASSERT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, weights, 4, -32, 8, 72), IMG_OK);
  const struct {
    int first, kept, sameFirst, sameKept;
  } cases[] = {{0, -1, 0, 1}, {0, 2, 0, 0}, {3, 1, 1, 1}, {-2, 5, 0, 1}, {7, -4, 1, 0}};
  for (const auto& c : cases)
    for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
      if (level && !CpuCanRunLevel(level)) continue;
      std::vector<u8> got(w * h, 1), want(w * h, 1);
      ImgDeinterlaceMotionAdaptiveTable[level](frames4, w, got.data(), w, {w, h}, 12, c.first, c.kept, 1, 1);
      ImgDeinterlaceMotionAdaptiveTable[level](frames4, w, want.data(), w, {w, h}, 12, c.sameFirst, c.sameKept, 1, 1);
      EXPECT_EQ(got, want) << "motion adaptive " << c.first << "/" << c.kept << " level " << level;
      std::fill(got.begin(), got.end(), 1), std::fill(want.begin(), want.end(), 1);
      ImgDeinterlaceBlendTable[level](frames4, w, got.data(), w, {w, h}, c.first, c.kept, 1, &state);
      ImgDeinterlaceBlendTable[level](frames4, w, want.data(), w, {w, h}, c.sameFirst, c.sameKept, 1, &state);
      EXPECT_EQ(got, want) << "blend " << c.first << "/" << c.kept << " level " << level;
    }
}

// ---- Blend cases ------------------------------------------------------------------------

TEST(Deinterlace, BlendWithALowerLimitAboveAnyMotionTakesTheMedian) {
  Random r(5);
  constexpr int w = 35, h = 5;
  std::vector<u8> f[3];
  for (auto& v : f) v.resize(w * h), r.Fill(v.data(), v.size());
  const u8* const frames[3] = {f[0].data(), f[1].data(), f[2].data()};
  u16 weights[512];
  ImgDeinterlaceBlendState state;
  ASSERT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, weights, 4, -32, 300, 1000), IMG_OK);
  auto at = [&](int frame, int x, int y) { return int(f[frame][y * w + x]); };
  for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
    if (level && !CpuCanRunLevel(level)) continue;
    std::vector<u8> dst(w * h, 0xEE);
    ASSERT_EQ(ImgDeinterlaceBlendTable[level](frames, w, dst.data(), w, {w, h}, 0, 0, 1, &state), IMG_OK);
    for (int y = 1; y < h - 1; y += 2)
      for (int x = 0; x < w; ++x) {
        const int up = at(1, x, y - 1), cur = at(1, x, y), down = at(1, x, y + 1);
        const int med = std::max(std::min(up, cur), std::min(std::max(up, cur), down));
        if (x > 0 && x < w - 1) {
          ASSERT_EQ(dst[y * w + x], med) << x << "," << y << " level " << level;
        } else {
          // The edge columns still go through the table: the kept-side (upper) neighbour
          // against the median, by motion.
          const auto avg = [](int a, int b) { return (a + b + 1) >> 1; };
          const int motion = avg(avg(std::abs(at(0, x, y - 1) - up), std::abs(at(2, x, y - 1) - up)),
                                 avg(std::abs(at(0, x, y + 1) - down), std::abs(at(2, x, y + 1) - down)));
          const int m = std::max(motion, std::abs(cur - at(0, x, y)));
          ASSERT_EQ(dst[y * w + x], (up * weights[m] + med * weights[256 + m]) >> 8) << x << "," << y;
        }
      }
    // The kept rows come from the current frame.
    for (int y = 0; y < h; y += 2) EXPECT_EQ(0, std::memcmp(&dst[y * w], &f[1][y * w], w)) << "row " << y;
  }
}

TEST(Deinterlace, BlendSaturatesInsteadOfWrapping) {
  // Weights that sum above 256: a white picture blended at 300 + 300 would wrap to a dark
  // byte; it must stay white.
  constexpr int w = 8, h = 3;
  std::vector<u8> f(w * h, 255);
  const u8* const frames[3] = {f.data(), f.data(), f.data()};
  u16 weights[512];
  for (u16& v : weights) v = 300;
  const ImgDeinterlaceBlendState state{weights, 0, 0, 255, 0};
  std::vector<u8> dst(w * h, 0);
  ASSERT_EQ(ImgDeinterlaceBlendTable[0](frames, w, dst.data(), w, {w, h}, 0, 0, 1, &state), IMG_OK);
  for (int x = 0; x < w; ++x) EXPECT_EQ(dst[w + x], 255) << "column " << x;
}

TEST(Deinterlace, BlendStateBuilderFollowsTheLinearRule) {
  u16 weights[512];
  ImgDeinterlaceBlendState state{};
  ASSERT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, weights, 4, -32, 8, 72), IMG_OK);
  EXPECT_EQ(state.weights, weights);
  EXPECT_EQ(state.vectorWeightFactor, 4);
  EXPECT_EQ(state.vectorWeightOffset, -32);
  EXPECT_EQ(state.lowerLimit, 8);
  EXPECT_EQ(state.upperLimit, 72);
  const struct { int m, spatial; } points[] = {{0, 0}, {8, 0}, {9, 4}, {40, 128}, {72, 256}, {200, 256}, {255, 256}};
  for (const auto& p : points) {
    EXPECT_EQ(weights[p.m], p.spatial) << p.m;
    EXPECT_EQ(weights[256 + p.m], 256 - p.spatial) << p.m;
  }
  // Saturating 16-bit steps: a huge factor saturates the product, a huge offset the sum.
  EXPECT_EQ(ImgDeinterlaceBlendLinearWeight(100000, -40000, 1), 0);  // 32767 - 32768 = -1
  EXPECT_EQ(ImgDeinterlaceBlendLinearWeight(-100000, 70000, 255), 0);
  EXPECT_EQ(ImgDeinterlaceBlendLinearWeight(1, 70000, 0), 256);
  EXPECT_EQ(ImgDeinterlaceBlendStateInitLinear(nullptr, weights, 1, 0, 0, 0), IMG_ERR_NULL);
  EXPECT_EQ(ImgDeinterlaceBlendStateInitLinear(&state, nullptr, 1, 0, 0, 0), IMG_ERR_NULL);
}

// ---- Argument checks --------------------------------------------------------------------

TEST(Deinterlace, ArgumentChecksRunInOrderAndLeaveTheDestinationUntouched) {
  constexpr int w = 8, h = 6;
  static u8 frameBytes[4][w * h];
  u16 weights[512];
  ImgDeinterlaceBlendState state;
  ImgDeinterlaceBlendStateInitLinear(&state, weights, 4, -32, 8, 72);
  ImgDeinterlaceBlendState noWeights{};

  struct Args {
    const u8* frames[4];
    bool nullArray = false;
    u8* dst;
    const ImgDeinterlaceBlendState* state;
    ImgSize size{w, h};
  };
  using Mutation = std::function<void(Args&)>;
  struct Case {
    const char* what;
    Mutation mutate;
    ImgStatus motionAdaptive, blend;
  };
  const Case cases[] = {
      {"null array before null dst", [](Args& a) { a.nullArray = true, a.dst = nullptr; }, IMG_ERR_NULL, IMG_ERR_NULL},
      {"null dst before size",
       [](Args& a) {
         a.dst = nullptr, a.size = {0, 0};
       },
       IMG_ERR_NULL, IMG_ERR_NULL},
      {"null state before size",
       [](Args& a) {
         a.state = nullptr, a.size = {0, 0};
       },
       IMG_ERR_SIZE, IMG_ERR_NULL},
      {"null frame 2 before size",
       [](Args& a) {
         a.frames[2] = nullptr, a.size = {0, 0};
       },
       IMG_ERR_NULL, IMG_ERR_NULL},
      {"null frame 3 (the motion-adaptive method's fourth)", [](Args& a) { a.frames[3] = nullptr; }, IMG_ERR_NULL,
       IMG_OK},
      {"null weights before size",
       [&](Args& a) {
         a.state = &noWeights, a.size = {0, 0};
       },
       IMG_ERR_SIZE, IMG_ERR_NULL},
      {"width 0",
       [](Args& a) {
         a.size = {0, h};
       },
       IMG_ERR_SIZE, IMG_ERR_SIZE},
      {"height -1",
       [](Args& a) {
         a.size = {w, -1};
       },
       IMG_ERR_SIZE, IMG_ERR_SIZE},
      {"width 2",
       [](Args& a) {
         a.size = {2, h};
       },
       IMG_OK, IMG_ERR_SIZE},
      {"height 2",
       [](Args& a) {
         a.size = {w, 2};
       },
       IMG_OK, IMG_ERR_SIZE},
      {"height 1",
       [](Args& a) {
         a.size = {w, 1};
       },
       IMG_OK, IMG_ERR_SIZE},
      {"3 x 3",
       [](Args& a) {
         a.size = {3, 3};
       },
       IMG_OK, IMG_OK},
  };
  for (const Case& c : cases)
    for (int method = 0; method < 2; ++method)
      for (int level = 0; level < CPU_LEVEL_COUNT; ++level) {
        if (level && !CpuCanRunLevel(level)) continue;
        const ImgStatus expect = method ? c.blend : c.motionAdaptive;
        SCOPED_TRACE(std::string(c.what) + (method ? " blend" : " motion adaptive") + " level " +
                     std::to_string(level));
        u8 dst[w * h];
        std::memset(dst, 0xA5, sizeof dst);
        Args a{{frameBytes[0], frameBytes[1], frameBytes[2], frameBytes[3]}, false, dst, &state};
        c.mutate(a);
        const u8* const* frames = a.nullArray ? nullptr : a.frames;
        const ImgStatus status =
            method ? ImgDeinterlaceBlendTable[level](frames, w, a.dst, w, a.size, 0, 0, 1, a.state)
                   : ImgDeinterlaceMotionAdaptiveTable[level](frames, w, a.dst, w, a.size, 12, 0, 0, 1, 0);
        ASSERT_EQ(status, expect);
        if (status < 0) {
          for (int i = 0; i < w * h; ++i) ASSERT_EQ(dst[i], 0xA5) << "byte " << i;
        }
      }
}

}  // namespace
