// Processor levels, feature and cache queries, and the processor probes behind them.
#pragma once

#include "imaging/core/img_types.h"

// Feature bits of the feature mask (from cpuid leaf 1).
enum : u64 {
  CPU_FEATURE_MMX = 1ull << 0,
  CPU_FEATURE_SSE = 1ull << 1,
  CPU_FEATURE_SSE2 = 1ull << 2,
  CPU_FEATURE_SSE3 = 1ull << 3,
  CPU_FEATURE_SSSE3 = 1ull << 4,
  CPU_FEATURE_MOVBE = 1ull << 5,
  CPU_FEATURE_SSE41 = 1ull << 6,
  CPU_FEATURE_SSE42 = 1ull << 7,
  CPU_FEATURE_AVX = 1ull << 8,
  CPU_FEATURE_AVX_OS = 1ull << 9,
  CPU_FEATURE_AES = 1ull << 10,
  CPU_FEATURE_PCLMULQDQ = 1ull << 11,
};

// "getinfoa" read as one little-endian word: asks CpuQueryFeatures for a chosen cpuid leaf.
constexpr u64 CPU_QUERY_GETINFO_MAGIC = 0x616F666E69746567ull;

typedef int32_t CpuTypeCode;
constexpr CpuTypeCode CPU_TYPE_AVX = 70;

struct CpuIdRegs {
  u32 eax;
  u32 ebx;
  u32 ecx;
  u32 edx;
};
static_assert(sizeof(CpuIdRegs) == 16);

struct CpuCacheDescriptor {
  u32 descriptor;
  u32 bytes;
};

struct CpuSignature {
  int32_t family;
  int32_t stepping;
  int32_t model;
  int32_t processorType;
  int32_t featureEdx;
  int32_t leaf2Eax;
  int32_t leaf2Edx;
  int32_t mmx;
  int32_t flags;  // left as the caller had it
  int32_t sse;
  int32_t sse2;
  int32_t hyperThreading;
  int32_t sse3;
  int32_t longMode;
  int32_t ssse3;
  int32_t coresPerPackage;
  int32_t sse41;
  int32_t sse42;
  int32_t extendedFamily;
  int32_t extendedModel;
  int32_t movbe;
  int32_t avx;
  int32_t osxsave;
};

// The level every dispatch stub reads; 0 until the selection runs.
extern CpuLevel CpuActiveLevel;
// Level 4 is chosen automatically only when this is non-zero; nothing sets it.
extern int32_t CpuAvxPermit;
extern u64 CpuEnabledFeatures;
// cpuid leaf 2 descriptors of caches, largest first, closed by a zero pair.
extern const CpuCacheDescriptor CpuCacheDescriptorTable[56];

ImgStatus CpuSelectProcessorLevel();
ImgStatus CpuSelectProcessorLevelByType(CpuTypeCode code);
ImgStatus CpuQueryFeatures(u64* mask, CpuIdRegs* regs);
int CpuDetectFeatures(u64* out);
int CpuIsLevelPermitted(CpuTypeCode code);
int CpuSetEnabledFeatures(u64 mask);
ImgStatus CpuRestrictFeatures(u64 mask);
void CpuId(CpuIdRegs* regs, int32_t leaf, int32_t subleaf);
ImgStatus CpuGetMaxCacheSize(int32_t* bytes);
int32_t CpuLeaf2CacheSize(const CpuCacheDescriptor* table);

int CpuHasCpuid();
u32 CpuGetMaxLeaf();
int CpuHasTsc();
int CpuHasMmx();
int CpuHasSse();
int CpuHasSse2();
int CpuHasHyperThreading();
int CpuHasSse3();
int CpuHasLongMode();
int CpuHasSsse3();
int CpuHasSse41();
int CpuHasSse42();
int CpuHasMovbe();
int CpuHasAvx();
int CpuGetCoresPerPackage();
void CpuReadSignature(CpuSignature* out);
u64 CpuReadTsc();
int CpuIsExpectedVendor();
int CpuHasDaz();

// Whether this processor can execute the instructions of a level, whatever level is
// active. Forcing a level the processor cannot run is refused with this.
int CpuCanRunLevel(CpuLevel level);

// The processor seam: every probe executes its instruction through this table, so a
// test can script the answers of cpuid, xgetbv, fxsave and rdtsc.
struct CpuProcessor {
  void (*cpuid)(u32 leaf, u32 subleaf, CpuIdRegs* out);
  u64 (*xgetbv)(u32 index);
  void (*fxsave)(void* area512);  // 16-byte aligned 512-byte area
  u64 (*rdtsc)();
};
// Installs a processor (null restores the real one) and forgets the cached feature
// mask and cache size, which otherwise are computed once for the driver's lifetime.
void CpuInstallProcessor(const CpuProcessor* processor);
