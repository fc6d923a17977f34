// The row kernels that no public routine calls, at every level that builds them and
// this machine runs, against plain loops written from their definitions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "imaging/core/kernels.h"
#include "tests/imaging/core/image_harness.h"

namespace {

using vorlix_test::Guarded;
using vorlix_test::Random;

#define LEVELS_1_TO_4(name) \
  { nullptr, img::level1::name, img::level2::name, img::level3::name, img::level4::name }
#define LEVELS_2_TO_4(name) \
  { nullptr, nullptr, img::level2::name, img::level3::name, img::level4::name }
#define LEVEL_1(name) \
  { nullptr, img::level1::name, nullptr, nullptr, nullptr }

template <typename F>
std::vector<std::pair<CpuLevel, F>> Built(const F (&table)[5]) {
  std::vector<std::pair<CpuLevel, F>> out;
  for (CpuLevel l : vorlix_test::RunnableLevels())
    if (table[l]) out.push_back({l, table[l]});
  return out;
}

std::vector<u8> Bytes(Random& rnd, size_t n) {
  std::vector<u8> v(n);
  rnd.Fill(v.data(), n);
  return v;
}

TEST(UncalledKernels, ReverseCopiesAndExchanges) {
  using Copy = void (*)(const void*, void*, u32, u32);
  const Copy copies[3][5] = {LEVELS_1_TO_4(ReverseCopyKernelU32), LEVELS_1_TO_4(ReverseCopyKernelU64),
                             LEVELS_1_TO_4(ReverseCopyKernelU128)};
  using Exchange = void (*)(void*, void*, u32);
  const Exchange exchanges[2][5] = {LEVELS_1_TO_4(ReverseExchangeKernelU64), LEVELS_1_TO_4(ReverseExchangeKernelU128)};
  const int sizes[3] = {4, 8, 16};
  Random rnd(101);
  for (int e = 0; e < 3; ++e)
    for (auto [level, fn] : Built(copies[e]))
      for (int c = 0; c < 60; ++c) {
        const int E = sizes[e];
        const u32 n = u32(rnd.Int(1, 70));
        const u32 streaming = u32(rnd.Int(0, 1));
        const int shift = rnd.Int(0, 15);
        std::vector<u8> src = Bytes(rnd, size_t(n) * E), dst = Bytes(rnd, size_t(n) * E + 32), want = dst;
        for (u32 k = 0; k < n; ++k) std::memcpy(&want[shift + size_t(n - 1 - k) * E], &src[size_t(k) * E], E);
        fn(src.data(), dst.data() + shift + size_t(n) * E, n, streaming);
        ASSERT_EQ(dst, want) << "level " << level << ", " << E << "-byte elements, n " << n;
      }
  for (int e = 0; e < 2; ++e)
    for (auto [level, fn] : Built(exchanges[e]))
      for (int c = 0; c < 60; ++c) {
        const int E = sizes[e + 1];
        const u32 n = u32(rnd.Int(1, 70));
        std::vector<u8> a = Bytes(rnd, size_t(n) * E), b = Bytes(rnd, size_t(n) * E);
        std::vector<u8> wantA = a, wantB = b;
        for (u32 k = 0; k < n; ++k) {
          std::memcpy(&wantA[size_t(k) * E], &b[size_t(n - 1 - k) * E], E);
          std::memcpy(&wantB[size_t(n - 1 - k) * E], &a[size_t(k) * E], E);
        }
        fn(a.data(), b.data() + size_t(n) * E, n);
        ASSERT_EQ(a, wantA) << "level " << level;
        ASSERT_EQ(b, wantB) << "level " << level;
      }
}

TEST(UncalledKernels, PatternFills) {
  using Fill = void (*)(const u8*, u8*, u32, u32);
  const Fill fills[8][5] = {LEVELS_1_TO_4(FillRowKernelU8C1),  LEVELS_1_TO_4(FillRowKernelU16C1),
                            LEVELS_1_TO_4(FillRowKernelU8C3),  LEVELS_1_TO_4(FillRowKernelU8C4),
                            LEVELS_1_TO_4(FillRowKernelU8C6),  LEVELS_1_TO_4(FillRowKernelU8C8),
                            LEVELS_1_TO_4(FillRowKernelU8C12), LEVELS_1_TO_4(FillRowKernelU8C16)};
  const int sizes[8] = {1, 2, 3, 4, 6, 8, 12, 16};
  Random rnd(102);
  for (int e = 0; e < 8; ++e)
    for (auto [level, fn] : Built(fills[e]))
      for (int c = 0; c < 150; ++c) {
        const int E = sizes[e];
        // Whole values mostly; some lengths end inside a value, where the pattern simply
        // continues (a 3-byte value over 100 bytes at 5 past an aligned address).
        const bool edge = c == 0 && E == 3;
        const u32 nBytes = edge ? 100 : rnd.Int(0, 3) == 0 ? u32(rnd.Int(1, 300)) : u32(E * rnd.Int(1, 60));
        const int shift = edge ? 5 : rnd.Int(0, 15);
        std::vector<u8> value = Bytes(rnd, size_t(E)), pattern(64);
        for (size_t k = 0; k < pattern.size(); ++k) pattern[k] = value[k % E];
        std::vector<u8> buffer = Bytes(rnd, nBytes + 48);
        u8* base = buffer.data() + (16 - reinterpret_cast<uintptr_t>(buffer.data()) % 16) % 16;
        std::vector<u8> before(base, base + nBytes + 16 + 16), after;
        std::vector<u8> want = before;
        for (u32 k = 0; k < nBytes; ++k) want[shift + k] = value[k % E];
        fn(pattern.data(), base + shift, nBytes, u32(rnd.Int(0, 1)));
        after.assign(base, base + nBytes + 32);
        ASSERT_EQ(after, want) << "level " << level << ", " << E << "-byte values over " << nBytes << " bytes at +"
                               << shift;
      }
}

TEST(UncalledKernels, MaskedSetsAndCopies) {
  using Masked = void (*)(const void*, void*, u32, const u8*);
  const Masked sets[6][5] = {LEVELS_1_TO_4(MaskedSetKernel1), LEVELS_1_TO_4(MaskedSetKernel2),
                             LEVELS_1_TO_4(MaskedSetKernel3), LEVELS_1_TO_4(MaskedSetKernel4),
                             LEVELS_1_TO_4(MaskedSetKernel6), LEVELS_1_TO_4(MaskedSetKernel12)};
  const Masked copies[6][5] = {LEVELS_1_TO_4(MaskedCopyKernel1), LEVELS_1_TO_4(MaskedCopyKernel2),
                               LEVELS_1_TO_4(MaskedCopyKernel3), LEVELS_1_TO_4(MaskedCopyKernel4),
                               LEVELS_1_TO_4(MaskedCopyKernel6), LEVELS_1_TO_4(MaskedCopyKernel12)};
  const int sizes[6] = {1, 2, 3, 4, 6, 12};
  Random rnd(103);
  for (int e = 0; e < 6; ++e)
    for (int copy = 0; copy < 2; ++copy)
      for (auto [level, fn] : Built(copy ? copies[e] : sets[e]))
        for (int c = 0; c < 80; ++c) {
          const int E = sizes[e];
          const u32 n = u32(rnd.Int(1, 200));
          // Masks of all-zero, all-set and mixed groups, and values other than 0 and 1.
          std::vector<u8> mask(n);
          const int style = rnd.Int(0, 3);
          for (u32 i = 0; i < n; ++i)
            mask[i] = style == 0 ? 0 : style == 1 ? u8(rnd.Int(1, 255)) : rnd.Int(0, 1) ? u8(rnd.Int(1, 255)) : 0;
          if (style == 3)
            for (u32 i = 0; i < n; ++i) mask[i] = (i / 16) % 3 == 0 ? 0 : (i / 16) % 3 == 1 ? 0x80 : mask[i];
          const int shift = rnd.Int(0, 15);
          std::vector<u8> src = Bytes(rnd, size_t(n) * E), value = Bytes(rnd, size_t(E));
          // The mask sits at the end of a guarded buffer: no byte past it may be read.
          Guarded guardedMask(n, true);
          std::memcpy(guardedMask.data(), mask.data(), n);
          std::vector<u8> dst = Bytes(rnd, size_t(n) * E + 32), want = dst;
          for (u32 i = 0; i < n; ++i)
            if (mask[i]) std::memcpy(&want[shift + size_t(i) * E], copy ? &src[size_t(i) * E] : value.data(), E);
          fn(copy ? static_cast<const void*>(src.data()) : value.data(), dst.data() + shift, n, guardedMask.data());
          ASSERT_EQ(dst, want) << "level " << level << (copy ? " copy " : " set ") << E << "-byte elements, n " << n
                               << ", style " << style << ", shift " << shift;
        }
}

TEST(UncalledKernels, ChannelInsertExtractAndThreeOfFour) {
  using Channel = void (*)(const u8*, u8*, u32);
  const Channel insert[5] = LEVELS_1_TO_4(InsertChannelKernelU8);
  const Channel extract[5] = LEVELS_1_TO_4(ExtractChannelKernelU8);
  using Copy = void (*)(const void*, void*, u32);
  const Copy threeOfFour[2][5] = {LEVELS_1_TO_4(Copy3Of4KernelU8), LEVELS_1_TO_4(Copy3Of4KernelU16)};
  Random rnd(104);
  for (int c = 0; c < 100; ++c) {
    const u32 n = u32(rnd.Int(1, 100));
    std::vector<u8> plane = Bytes(rnd, n), pixels = Bytes(rnd, size_t(n) * 4);
    std::vector<u8> wantPixels = pixels, wantPlane(n);
    for (u32 i = 0; i < n; ++i) {
      wantPixels[size_t(i) * 4] = plane[i];
      wantPlane[i] = pixels[size_t(i) * 4];
    }
    for (auto [level, fn] : Built(insert)) {
      std::vector<u8> out = pixels;
      fn(plane.data(), out.data(), n);
      ASSERT_EQ(out, wantPixels) << "insert, level " << level;
    }
    for (auto [level, fn] : Built(extract)) {
      std::vector<u8> out(n);
      fn(pixels.data(), out.data(), n);
      ASSERT_EQ(out, wantPlane) << "extract, level " << level;
    }
    for (int bytes = 1; bytes <= 2; ++bytes)
      for (auto [level, fn] : Built(threeOfFour[bytes - 1])) {
        const u32 samples = 4 * u32(rnd.Int(1, 60));
        std::vector<u8> src = Bytes(rnd, size_t(samples) * bytes), dst = Bytes(rnd, size_t(samples) * bytes),
                        want = dst;
        for (u32 p = 0; p < samples / 4; ++p)
          std::memcpy(&want[size_t(p) * 4 * bytes], &src[size_t(p) * 4 * bytes], 3 * bytes);
        fn(src.data(), dst.data(), samples);
        ASSERT_EQ(dst, want) << bytes << "-byte samples, level " << level;
      }
  }
}

// Pixels of C channels of T, rows `step` bytes apart, compared with a per-pixel rule.
template <typename T>
void CheckReorder(CpuLevel level, int in, int out,
                  const std::function<void(const T*, int32_t, T*, int32_t, int32_t, int32_t)>& run,
                  const std::function<void(const T* s, T* d)>& pixel, Random& rnd, const char* what) {
  SCOPED_TRACE(testing::Message() << "level " << level);
  for (int c = 0; c < 60; ++c) {
    const int32_t width = rnd.Int(1, 40), height = rnd.Int(1, 4);
    const bool contiguous = rnd.Int(0, 1);
    const int32_t srcStep = int32_t(width * in * sizeof(T)) + (contiguous ? 0 : 2 * int32_t(sizeof(T)));
    const int32_t dstStep = int32_t(width * out * sizeof(T)) + (contiguous ? 0 : 3 * int32_t(sizeof(T)));
    std::vector<u8> src = Bytes(rnd, size_t(srcStep) * height), dst = Bytes(rnd, size_t(dstStep) * height), want = dst;
    for (int32_t i = 0; i < height; ++i)
      for (int32_t x = 0; x < width; ++x)
        pixel(reinterpret_cast<const T*>(&src[size_t(i) * srcStep]) + x * in,
              reinterpret_cast<T*>(&want[size_t(i) * dstStep]) + x * out);
    run(reinterpret_cast<const T*>(src.data()), srcStep, reinterpret_cast<T*>(dst.data()), dstStep, width, height);
    ASSERT_EQ(dst, want) << what << ", " << width << " x " << height;
  }
}

TEST(UncalledKernels, ChannelReordersOfWideSamples) {
  Random rnd(105);
  using R8 = void (*)(const u8*, int32_t, u8*, int32_t, int32_t, int32_t, const int32_t*);
  using R16 = void (*)(const u16*, int32_t, u16*, int32_t, int32_t, int32_t, const int32_t*);
  using R32 = void (*)(const u32*, int32_t, u32*, int32_t, int32_t, int32_t, const int32_t*);
  const R8 r8[5] = LEVELS_2_TO_4(ReorderKernelU8C4ToC3);
  const R16 r16[5] = LEVELS_2_TO_4(ReorderKernelU16C4ToC3);
  const R32 r32[5] = LEVELS_2_TO_4(ReorderKernelU32C4ToC3);
  using W16 = void (*)(const u16*, int32_t, u16*, int32_t, int32_t, int32_t, int32_t, int32_t, const int32_t*);
  using W32 = void (*)(const u32*, int32_t, u32*, int32_t, int32_t, int32_t, int32_t, u32, const int32_t*);
  const W16 w16[5] = LEVELS_2_TO_4(ReorderKernelU16C3ToC4);
  const W32 w32[5] = LEVELS_2_TO_4(ReorderKernelU32C3ToC4);
  using C16 = void (*)(const u16*, int32_t, u16*, int32_t, int32_t, int32_t);
  using C8 = void (*)(const u8*, int32_t, u8*, int32_t, int32_t, int32_t);
  const C16 drop16[5] = LEVELS_2_TO_4(CopyKernelU16C4ToC3);
  const C16 widen16[5] = LEVELS_2_TO_4(CopyKernelU16C3ToC4);
  const C8 widen8[5] = LEVELS_2_TO_4(CopyKernelU8C3ToC4);

  for (int rep = 0; rep < 4; ++rep) {
    const int32_t order[4] = {rnd.Int(0, 3), rnd.Int(0, 3), rnd.Int(0, 3), 0};
    for (auto [level, fn] : Built(r8))
      CheckReorder<u8>(
          level, 4, 3, [&](auto... a) { fn(a..., order); },
          [&](const u8* s, u8* d) {
            for (int n = 0; n < 3; ++n) d[n] = s[order[n]];
          },
          rnd, "u8 4 to 3");
    for (auto [level, fn] : Built(r16))
      CheckReorder<u16>(
          level, 4, 3, [&](auto... a) { fn(a..., order); },
          [&](const u16* s, u16* d) {
            for (int n = 0; n < 3; ++n) d[n] = s[order[n]];
          },
          rnd, "u16 4 to 3");
    for (auto [level, fn] : Built(r32))
      CheckReorder<u32>(
          level, 4, 3, [&](auto... a) { fn(a..., order); },
          [&](const u32* s, u32* d) {
            for (int n = 0; n < 3; ++n) d[n] = s[order[n]];
          },
          rnd, "u32 4 to 3");

    const int32_t special = rnd.Int(0, 3);
    int32_t widen[4] = {rnd.Int(0, 2), rnd.Int(0, 2), rnd.Int(0, 2), rnd.Int(0, 2)};
    widen[special] = rnd.Int(3, 4);
    const int32_t constant16 = rnd.Int(0, 1) ? 0x10000 : rnd.Int(0, 0xFFFF);
    for (auto [level, fn] : Built(w16))
      CheckReorder<u16>(
          level, 3, 4, [&](auto... a) { fn(a..., special, constant16, widen); },
          [&](const u16* s, u16* d) {
            for (int n = 0; n < 4; ++n)
              if (n != special)
                d[n] = s[widen[n]];
              else if (constant16 != 0x10000)
                d[n] = u16(constant16);
          },
          rnd, "u16 3 to 4");
    const u32 constant32 = 0xA1B2C3D4u;
    for (auto [level, fn] : Built(w32))
      CheckReorder<u32>(
          level, 3, 4, [&](auto... a) { fn(a..., special, constant32, widen); },
          [&](const u32* s, u32* d) {
            for (int n = 0; n < 4; ++n)
              if (n != special)
                d[n] = s[widen[n]];
              else if (widen[n] == 3)
                d[n] = constant32;
          },
          rnd, "u32 3 to 4");
  }
  for (auto [level, fn] : Built(drop16))
    CheckReorder<u16>(
        level, 4, 3, fn, [](const u16* s, u16* d) { std::memcpy(d, s, 6); }, rnd, "u16 drop");
  for (auto [level, fn] : Built(widen16))
    CheckReorder<u16>(
        level, 3, 4, fn, [](const u16* s, u16* d) { std::memcpy(d, s, 6); }, rnd, "u16 widen");
  for (auto [level, fn] : Built(widen8))
    CheckReorder<u8>(
        level, 3, 4, fn, [](const u8* s, u8* d) { std::memcpy(d, s, 3); }, rnd, "u8 widen");
}

template <typename T, int C>
void CheckWideInterleave(void (*fn)(const T* const*, int32_t, T*, int32_t, int32_t, int32_t, u32), Random& rnd) {
  for (int c = 0; c < 40; ++c) {
    const int32_t width = rnd.Int(1, 50), height = rnd.Int(1, 4);
    const int32_t srcStep = int32_t(width * sizeof(T)) + int32_t(sizeof(T)) * rnd.Int(0, 3);
    const int32_t dstStep = int32_t(width * C * sizeof(T)) + int32_t(sizeof(T)) * rnd.Int(0, 3);
    std::vector<std::vector<u8>> planes;
    const T* p[C];
    for (int k = 0; k < C; ++k) {
      planes.push_back(Bytes(rnd, size_t(srcStep) * height));
      p[k] = reinterpret_cast<const T*>(planes.back().data());
    }
    std::vector<u8> dst = Bytes(rnd, size_t(dstStep) * height), want = dst;
    for (int32_t i = 0; i < height; ++i)
      for (int32_t x = 0; x < width; ++x)
        for (int k = 0; k < C; ++k)
          std::memcpy(&want[size_t(i) * dstStep + (size_t(x) * C + k) * sizeof(T)],
                      &planes[k][size_t(i) * srcStep + x * sizeof(T)], sizeof(T));
    fn(p, srcStep, reinterpret_cast<T*>(dst.data()), dstStep, width, height, u32(rnd.Int(0, 1)));
    ASSERT_EQ(dst, want) << sizeof(T) << "-byte elements, " << C << " planes";
  }
}

template <typename T, int C>
void CheckWideExtract(void (*fn)(const T*, int32_t, T*, u32), Random& rnd) {
  for (int c = 0; c < 40; ++c) {
    const u32 n = u32(rnd.Int(1, 90));
    const int32_t channel = rnd.Int(0, C - 1);
    std::vector<T> src(size_t(n) * C), plane(n + 2), want;
    rnd.Fill(src.data(), src.size() * sizeof(T));
    rnd.Fill(plane.data(), plane.size() * sizeof(T));
    want = plane;
    for (u32 k = 0; k < n; ++k) want[k] = src[size_t(k) * C + channel];
    fn(src.data(), channel, plane.data(), n);
    ASSERT_EQ(plane, want) << sizeof(T) << "-byte elements of " << C << " channels";
  }
}

TEST(UncalledKernels, WideInterleavesAndExtracts) {
  if (!CpuCanRunLevel(1)) GTEST_SKIP() << "level 1 cannot run here";
  SCOPED_TRACE("level 1");
  Random rnd(106);
  CheckWideInterleave<u32, 4>(img::level1::InterleaveKernelU32C4, rnd);
  CheckWideInterleave<u32, 3>(img::level1::InterleaveKernelU32C3, rnd);
  CheckWideInterleave<u16, 4>(img::level1::InterleaveKernelU16C4, rnd);
  CheckWideInterleave<u16, 3>(img::level1::InterleaveKernelU16C3, rnd);
  CheckWideExtract<u32, 3>(img::level1::ExtractChannelKernelU32C3, rnd);
  CheckWideExtract<u32, 3>(img::level1::ExtractChannelKernelU32C3NT, rnd);
  CheckWideExtract<u32, 4>(img::level1::ExtractChannelKernelU32C4, rnd);
  CheckWideExtract<u32, 4>(img::level1::ExtractChannelKernelU32C4NT, rnd);
  CheckWideExtract<u16, 3>(img::level1::ExtractChannelKernelU16C3, rnd);
  CheckWideExtract<u16, 3>(img::level1::ExtractChannelKernelU16C3NT, rnd);
  CheckWideExtract<u16, 4>(img::level1::ExtractChannelKernelU16C4, rnd);
  CheckWideExtract<u16, 4>(img::level1::ExtractChannelKernelU16C4NT, rnd);
}

}  // namespace
