#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "imaging/img.h"

namespace {

// A processor whose cpuid, xgetbv and fxsave answers the test writes.
struct ScriptedProcessor {
  std::map<std::pair<u32, u32>, CpuIdRegs> leaves;
  u64 xcr0 = 0;
  u32 mxcsrMask = 0xFFFF;
  int xgetbvCalls = 0;
  int cpuidCalls = 0;

  static ScriptedProcessor* current;
  static void Cpuid(u32 leaf, u32 sub, CpuIdRegs* out) {
    ++current->cpuidCalls;
    auto it = current->leaves.find({leaf, sub});
    if (it == current->leaves.end()) it = current->leaves.find({leaf, ~0u});  // any sub-leaf
    *out = it == current->leaves.end() ? CpuIdRegs{} : it->second;
  }
  static u64 Xgetbv(u32) {
    ++current->xgetbvCalls;
    return current->xcr0;
  }
  static void Fxsave(void* area) { std::memcpy(static_cast<u8*>(area) + 28, &current->mxcsrMask, 4); }
  static u64 Rdtsc() { return 0x123456789ull; }

  void Vendor(const char* name, u32 maxLeaf) {
    CpuIdRegs r{};
    r.eax = maxLeaf;
    std::memcpy(&r.ebx, name, 4);
    std::memcpy(&r.edx, name + 4, 4);
    std::memcpy(&r.ecx, name + 8, 4);
    leaves[{0, ~0u}] = r;
  }
  void Leaf1(u32 ecx, u32 edx, u32 eax = 0x000206A7, u32 ebx = 0) { leaves[{1, ~0u}] = CpuIdRegs{eax, ebx, ecx, edx}; }
};
ScriptedProcessor* ScriptedProcessor::current = nullptr;

constexpr CpuProcessor kScripted = {ScriptedProcessor::Cpuid, ScriptedProcessor::Xgetbv, ScriptedProcessor::Fxsave,
                                    ScriptedProcessor::Rdtsc};

// Leaf-1 feature words.
constexpr u32 kEdxSse2 = (1u << 23) | (1u << 25) | (1u << 26);
constexpr u32 kSse3 = 1u << 0, kSsse3 = 1u << 9, kSse41 = 1u << 19, kSse42 = 1u << 20, kMovbe = 1u << 22;
constexpr u32 kOsxsave = 1u << 27, kAvx = 1u << 28, kAes = 1u << 25, kPclmul = 1u << 1;

class ScriptedCpu : public ::testing::Test {
 protected:
  ScriptedProcessor cpu;
  void SetUp() override {
    ScriptedProcessor::current = &cpu;
    cpu.Vendor("GenuineIntel", 0xD);
    CpuInstallProcessor(&kScripted);
  }
  void TearDown() override { CpuInstallProcessor(nullptr); }
};

TEST_F(ScriptedCpu, LevelFollowsTheHighestFeature) {
  struct Case {
    const char* name;
    u32 ecx;
    u64 xcr0;
    CpuLevel level;
  } cases[] = {
      {"sse2 only", 0, 0, 0},
      {"sse3", kSse3, 0, 1},
      {"ssse3 with movbe, no sse4.1", kSse3 | kSsse3 | kMovbe, 0, 2},
      {"sse4.1", kSse3 | kSsse3 | kSse41, 0, 3},
      {"avx with OS state stays at level 3", kSse3 | kSsse3 | kSse41 | kSse42 | kOsxsave | kAvx, 6, 3},
      {"sse4.1 alone, no sse3 or ssse3 bits", kSse41, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cpu.Leaf1(c.ecx, kEdxSse2);
    cpu.xcr0 = c.xcr0;
    CpuInstallProcessor(&kScripted);
    EXPECT_EQ(CpuSelectProcessorLevel(), IMG_OK);
    EXPECT_EQ(CpuActiveLevel, c.level);
  }
}

TEST_F(ScriptedCpu, AvxLevelNeedsThePermit) {
  cpu.Leaf1(kSse3 | kSsse3 | kSse41 | kSse42 | kOsxsave | kAvx, kEdxSse2);
  cpu.xcr0 = 6;
  CpuInstallProcessor(&kScripted);
  CpuAvxPermit = 1;
  CpuSelectProcessorLevel();
  EXPECT_EQ(CpuActiveLevel, CPU_LEVEL_AVX);
  // OS not saving the YMM state: no AVX level even with the permit.
  cpu.xcr0 = 2;
  CpuInstallProcessor(&kScripted);
  CpuSelectProcessorLevel();
  EXPECT_EQ(CpuActiveLevel, CPU_LEVEL_SSE41);
  CpuAvxPermit = 0;
}

TEST_F(ScriptedCpu, ForeignVendorKeepsItsLevelAndWarns) {
  cpu.Vendor("AuthenticAMD", 0xD);
  cpu.Leaf1(kSse3 | kSsse3, kEdxSse2);
  CpuInstallProcessor(&kScripted);
  EXPECT_EQ(CpuSelectProcessorLevel(), IMG_WARN_CPU_VENDOR);
  EXPECT_EQ(CpuActiveLevel, CPU_LEVEL_SSSE3);
}

TEST_F(ScriptedCpu, XgetbvOnlyAfterTheOsSupportBit) {
  cpu.Leaf1(kSse3 | kAvx, kEdxSse2);  // AVX without OSXSAVE: xgetbv would fault
  CpuInstallProcessor(&kScripted);
  EXPECT_EQ(CpuHasAvx(), 0);
  u64 mask = 0;
  EXPECT_EQ(CpuQueryFeatures(&mask, nullptr), IMG_OK);
  EXPECT_EQ(cpu.xgetbvCalls, 0);
  EXPECT_TRUE(mask & CPU_FEATURE_AVX);
  EXPECT_FALSE(mask & CPU_FEATURE_AVX_OS);
}

TEST_F(ScriptedCpu, FeatureMaskBitsAndEnabledMask) {
  cpu.Leaf1(kSse3 | kSsse3 | kSse41 | kSse42 | kMovbe | kOsxsave | kAvx | kAes | kPclmul, kEdxSse2);
  cpu.xcr0 = 7;
  CpuInstallProcessor(&kScripted);
  u64 mask = 0;
  ASSERT_EQ(CpuQueryFeatures(&mask, nullptr), IMG_OK);
  EXPECT_EQ(mask, 0xFFFull);

  EXPECT_EQ(CpuSetEnabledFeatures(0), 1);
  ASSERT_EQ(CpuQueryFeatures(&mask, nullptr), IMG_OK);
  EXPECT_EQ(mask, 0u);
  CpuSelectProcessorLevel();
  EXPECT_EQ(CpuActiveLevel, CPU_LEVEL_BASE);

  EXPECT_EQ(CpuRestrictFeatures(CPU_FEATURE_SSE3 | CPU_FEATURE_SSE2), IMG_OK);
  CpuDetectFeatures(&mask);
  EXPECT_EQ(mask, CPU_FEATURE_SSE3 | CPU_FEATURE_SSE2);
}

TEST_F(ScriptedCpu, QueryWithGetinfoMagicRunsTheChosenLeaf) {
  cpu.Leaf1(kSse3, kEdxSse2);
  cpu.leaves[{4, 1}] = CpuIdRegs{0x11, 0x22, 0x33, 0x44};
  CpuInstallProcessor(&kScripted);

  u64 mask = CPU_QUERY_GETINFO_MAGIC;
  CpuIdRegs regs{4, 0, 1, 0};
  ASSERT_EQ(CpuQueryFeatures(&mask, &regs), IMG_OK);
  EXPECT_EQ(regs.eax, 0x11u);
  EXPECT_EQ(regs.edx, 0x44u);
  EXPECT_EQ(mask, CPU_FEATURE_MMX | CPU_FEATURE_SSE | CPU_FEATURE_SSE2 | CPU_FEATURE_SSE3);

  mask = 0;
  regs = CpuIdRegs{4, 0, 1, 0};
  ASSERT_EQ(CpuQueryFeatures(&mask, &regs), IMG_OK);
  EXPECT_EQ(regs.ecx, kSse3);  // leaf 1

  CpuIdRegs untouched{9, 9, 9, 9};
  EXPECT_EQ(CpuQueryFeatures(nullptr, &untouched), IMG_ERR_NULL);
  EXPECT_EQ(untouched.eax, 9u);
}

TEST_F(ScriptedCpu, SelectionByType) {
  cpu.Leaf1(kSse3 | kSsse3 | kSse41 | kSse42 | kOsxsave | kAvx | kAes | kPclmul, kEdxSse2);
  cpu.xcr0 = 6;
  CpuInstallProcessor(&kScripted);
  struct Case {
    CpuTypeCode code;
    ImgStatus status;
    CpuLevel level;
  } cases[] = {{-1, 0, 0}, {0, 0, 0},  {96, 0, 0}, {32, 0, 1}, {66, 0, 1}, {33, 0, 2}, {34, 0, 2}, {36, 0, 2},
               {67, 0, 2}, {38, 0, 3}, {71, 0, 3}, {70, 0, 4}, {35, 0, 3}, {68, 0, 3}, {37, 0, 3}, {69, 0, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(CpuSelectProcessorLevelByType(c.code), c.status);
    EXPECT_EQ(CpuActiveLevel, c.level);
  }
  CpuSelectProcessorLevelByType(38);
  EXPECT_EQ(CpuSelectProcessorLevelByType(1), IMG_WARN_CPU_TYPE);
  EXPECT_EQ(CpuActiveLevel, CPU_LEVEL_SSE41);

  CpuSetEnabledFeatures(~0ull);
  CpuSelectProcessorLevelByType(35);
  u64 mask = 0;
  CpuQueryFeatures(&mask, nullptr);
  EXPECT_FALSE(mask & (CPU_FEATURE_SSE42 | CPU_FEATURE_AES | CPU_FEATURE_PCLMULQDQ));
  EXPECT_TRUE(mask & CPU_FEATURE_SSE41);
  CpuSetEnabledFeatures(~0ull);
  CpuSelectProcessorLevelByType(37);
  CpuQueryFeatures(&mask, nullptr);
  EXPECT_TRUE(mask & CPU_FEATURE_SSE42);
  EXPECT_FALSE(mask & (CPU_FEATURE_AES | CPU_FEATURE_PCLMULQDQ));
}

TEST_F(ScriptedCpu, ForcingALevelTheProcessorCannotRunIsRefused) {
  cpu.Leaf1(kSse3, kEdxSse2);
  CpuInstallProcessor(&kScripted);
  CpuSelectProcessorLevel();
  ASSERT_EQ(CpuActiveLevel, CPU_LEVEL_SSE3);
  for (CpuTypeCode code : {70, 38, 35, 37, 33}) {
    SCOPED_TRACE(code);
    CpuSetEnabledFeatures(0x5A5A);
    EXPECT_EQ(CpuSelectProcessorLevelByType(code), IMG_WARN_CPU_TYPE);
    EXPECT_EQ(CpuActiveLevel, CPU_LEVEL_SSE3);
    EXPECT_EQ(CpuEnabledFeatures, 0x5A5Au);
  }
}

TEST_F(ScriptedCpu, CacheSizeFromLeafFourSkipsInstructionCaches) {
  cpu.Vendor("GenuineIntel", 0xB);
  // ways, partitions, line and sets are stored minus one.
  auto cache = [](u32 type, u32 ways, u32 line, u32 sets) {
    return CpuIdRegs{type, ((ways - 1) << 22) | ((line - 1) & 0xFFF), sets - 1, 0};
  };
  cpu.leaves[{4, 0}] = cache(1, 8, 64, 64);     // 32 KB data
  cpu.leaves[{4, 1}] = cache(2, 64, 64, 1024);  // 4 MB instruction cache: skipped
  cpu.leaves[{4, 2}] = cache(3, 4, 64, 1024);   // 256 KB unified
  cpu.leaves[{4, 3}] = cache(3, 16, 64, 8192);  // 8 MB unified
  cpu.leaves[{4, 4}] = CpuIdRegs{0, 0, 0, 0};
  CpuInstallProcessor(&kScripted);
  int32_t bytes = -1;
  EXPECT_EQ(CpuGetMaxCacheSize(&bytes), IMG_OK);
  EXPECT_EQ(bytes, 8 << 20);
  // Computed once: later answers come from the cache even if the processor changed.
  cpu.leaves[{4, 3}] = cache(3, 16, 64, 16384);
  EXPECT_EQ(CpuGetMaxCacheSize(&bytes), IMG_OK);
  EXPECT_EQ(bytes, 8 << 20);
  EXPECT_EQ(CpuGetMaxCacheSize(nullptr), IMG_ERR_NULL);
}

TEST_F(ScriptedCpu, CacheSizeOnForeignVendorIsFinal) {
  cpu.Vendor("AuthenticAMD", 0xD);
  CpuInstallProcessor(&kScripted);
  int32_t bytes = -1;
  EXPECT_EQ(CpuGetMaxCacheSize(&bytes), IMG_WARN_NO_CPUID);
  EXPECT_EQ(bytes, 0);
  cpu.Vendor("GenuineIntel", 0xD);
  EXPECT_EQ(CpuGetMaxCacheSize(&bytes), IMG_WARN_NO_CPUID);
  EXPECT_EQ(bytes, 0);
}

TEST_F(ScriptedCpu, CacheSizeFromLeafTwoDescriptors) {
  struct Case {
    const char* name;
    CpuIdRegs leaf2;
    ImgStatus status;
    int32_t bytes;
  } cases[] = {
      // Largest listed cache wins whatever the byte order: 0x2C is not listed, 0x49 is 4 MB.
      {"several descriptors", {0x00220001u, 0x2C, 0x49000000u, 0x0}, IMG_OK, 4 << 20},
      {"register with bit 31 carries nothing", {0x00000001u, 0x80000049u, 0x21, 0}, IMG_OK, 256 << 10},
      {"two calls needed", {0x00004902u, 0, 0, 0}, IMG_WARN_NO_CACHE_INFO, 0},
      {"no descriptor known", {0x00000001u, 0x2C2C, 0, 0}, IMG_WARN_NO_CACHE_INFO, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cpu.Vendor("GenuineIntel", 3);
    cpu.leaves[{2, ~0u}] = c.leaf2;
    CpuInstallProcessor(&kScripted);
    int32_t bytes = -1;
    EXPECT_EQ(CpuGetMaxCacheSize(&bytes), c.status);
    EXPECT_EQ(bytes, c.bytes);
  }
}

TEST_F(ScriptedCpu, Probes) {
  cpu.Leaf1(kSse3 | kSsse3 | kMovbe, kEdxSse2 | (1u << 4) | (1u << 28), 0x000306C3, 0x00010000);
  cpu.leaves[{0x80000000u, ~0u}] = CpuIdRegs{0x80000000u, 0, 0, 0};
  cpu.leaves[{4, 0}] = CpuIdRegs{3u << 26 | 1, 0, 0, 0};
  CpuInstallProcessor(&kScripted);
  EXPECT_EQ(CpuHasTsc(), 1);
  EXPECT_EQ(CpuHasHyperThreading(), 0);  // one logical processor per package
  EXPECT_EQ(CpuHasLongMode(), 0);        // highest extended leaf below 0x80000001
  EXPECT_EQ(CpuGetCoresPerPackage(), 4);
  EXPECT_EQ(CpuHasMovbe(), 1);
  EXPECT_EQ(CpuHasSse41(), 0);
  EXPECT_EQ(CpuIsExpectedVendor(), 1);
  EXPECT_EQ(CpuReadTsc(), 0x123456789ull);

  cpu.mxcsrMask = 0xFFBF;
  EXPECT_EQ(CpuHasDaz(), 0);
  cpu.mxcsrMask = 0xFFFF;
  EXPECT_EQ(CpuHasDaz(), 1);

  CpuSignature sig;
  sig.flags = 77;
  CpuReadSignature(&sig);
  EXPECT_EQ(sig.family, 6);
  EXPECT_EQ(sig.model, 0xC);
  EXPECT_EQ(sig.extendedModel, 3);
  EXPECT_EQ(sig.stepping, 3);
  EXPECT_EQ(sig.ssse3, 1);
  EXPECT_EQ(sig.sse41, 0);
  EXPECT_EQ(sig.flags, 77);
  EXPECT_EQ(sig.coresPerPackage, 4);
}

// The level chosen on the processor this runs on. Under the emulator the expected
// level comes from the processor model; otherwise from the compiler's own probe.
TEST(RealProcessor, SelectsTheLevelOfThisProcessor) {
  CpuInstallProcessor(nullptr);
  CpuSelectProcessorLevel();
  CpuLevel expected;
  if (const char* e = std::getenv("VORLIX_EXPECT_LEVEL")) {
    expected = std::atoi(e);
  } else {
    __builtin_cpu_init();
    expected = __builtin_cpu_supports("sse4.1")  ? 3
               : __builtin_cpu_supports("ssse3") ? 2
               : __builtin_cpu_supports("sse3")  ? 1
                                                 : 0;
  }
  EXPECT_EQ(CpuActiveLevel, expected);
  for (CpuLevel l = 0; l <= expected; ++l) EXPECT_EQ(CpuCanRunLevel(l), 1) << l;
  if (expected < 3) {
    EXPECT_EQ(CpuCanRunLevel(expected + 1), 0);
  }
  int32_t bytes = 0;
  ImgStatus s = CpuGetMaxCacheSize(&bytes);
  EXPECT_TRUE(s == IMG_OK || s == IMG_WARN_NO_CPUID || s == IMG_WARN_NO_CACHE_INFO);
  if (s != IMG_OK) {
    EXPECT_EQ(bytes, 0);
  }
}

}  // namespace
