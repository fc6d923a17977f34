// Processor-level selection and the processor queries behind it.
#include "imaging/core/cpu.h"

#include <cpuid.h>
#include <x86intrin.h>

CpuLevel CpuActiveLevel = CPU_LEVEL_BASE;
int32_t CpuAvxPermit = 0;
u64 CpuEnabledFeatures = ~0ull;

const CpuCacheDescriptor CpuCacheDescriptorTable[56] = {
    {0xEC, 24u << 20},  {0xEB, 18u << 20},  {0x4D, 16u << 20},  {0xEA, 12u << 20},
    {0x4C, 12u << 20},  {0xE4, 8u << 20},   {0xDE, 8u << 20},   {0x4B, 8u << 20},
    {0x47, 8u << 20},   {0x4E, 6u << 20},   {0x4A, 6u << 20},   {0xE3, 4u << 20},
    {0xDD, 4u << 20},   {0xD8, 4u << 20},   {0x49, 4u << 20},   {0x29, 4u << 20},
    {0x46, 4u << 20},   {0x48, 3u << 20},   {0xE2, 2u << 20},   {0xDC, 2u << 20},
    {0xD7, 2u << 20},   {0xD2, 2u << 20},   {0x25, 2u << 20},   {0x7D, 2u << 20},
    {0x85, 2u << 20},   {0x45, 2u << 20},   {0xD6, 1u << 20},   {0xD1, 1u << 20},
    {0x23, 1u << 20},   {0x87, 1u << 20},   {0x7C, 1u << 20},   {0x78, 1u << 20},
    {0x84, 1u << 20},   {0x44, 1u << 20},   {0xD0, 512u << 10}, {0x22, 512u << 10},
    {0x7B, 512u << 10}, {0x80, 512u << 10}, {0x86, 512u << 10}, {0x3E, 512u << 10},
    {0x7F, 512u << 10}, {0x83, 512u << 10}, {0x43, 512u << 10}, {0x3D, 384u << 10},
    {0x21, 256u << 10}, {0x7A, 256u << 10}, {0x82, 256u << 10}, {0x3C, 256u << 10},
    {0x3F, 256u << 10}, {0x42, 256u << 10}, {0x3A, 192u << 10}, {0x79, 128u << 10},
    {0x39, 128u << 10}, {0x3B, 128u << 10}, {0x41, 128u << 10}, {0, 0},
};

namespace {

void RealCpuid(u32 leaf, u32 subleaf, CpuIdRegs* out) {
  __cpuid_count(leaf, subleaf, out->eax, out->ebx, out->ecx, out->edx);
}

u64 RealXgetbv(u32 index) {
  u32 lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(index));
  return (u64(hi) << 32) | lo;
}

void RealFxsave(void* area) { __asm__ volatile("fxsave64 %0" : "=m"(*static_cast<char(*)[512]>(area))); }

u64 RealRdtsc() { return __rdtsc(); }

constexpr CpuProcessor kRealProcessor = {RealCpuid, RealXgetbv, RealFxsave, RealRdtsc};
const CpuProcessor* g_processor = &kRealProcessor;

// Computed once and never cleared: racing first calls compute the same values.
struct {
  u64 mask;
  int32_t computed;
} CpuFeatureCache = {0, 0};

struct {
  ImgStatus status;
  int32_t bytes;
} CpuCacheSizeCache = {1, 0};

CpuIdRegs Leaf(u32 leaf, u32 subleaf = 0) {
  CpuIdRegs r;
  g_processor->cpuid(leaf, subleaf, &r);
  return r;
}

inline int Bit(u32 word, int bit) { return (word >> bit) & 1; }

}  // namespace

void CpuInstallProcessor(const CpuProcessor* processor) {
  g_processor = processor ? processor : &kRealProcessor;
  CpuFeatureCache.mask = 0;
  CpuFeatureCache.computed = 0;
  CpuCacheSizeCache.status = 1;
  CpuCacheSizeCache.bytes = 0;
  CpuEnabledFeatures = ~0ull;
  CpuActiveLevel = CPU_LEVEL_BASE;
}

void CpuId(CpuIdRegs* regs, int32_t leaf, int32_t subleaf) { g_processor->cpuid(u32(leaf), u32(subleaf), regs); }

int CpuHasCpuid() { return 1; }
u32 CpuGetMaxLeaf() { return Leaf(0).eax; }
int CpuHasTsc() { return Bit(Leaf(1).edx, 4); }
int CpuHasMmx() { return Bit(Leaf(1).edx, 23); }
int CpuHasSse() { return Bit(Leaf(1).edx, 25); }
int CpuHasSse2() { return Bit(Leaf(1).edx, 26); }
int CpuHasSse3() { return Bit(Leaf(1).ecx, 0); }
int CpuHasSsse3() { return Bit(Leaf(1).ecx, 9); }
int CpuHasSse41() { return Bit(Leaf(1).ecx, 19); }
int CpuHasSse42() { return Bit(Leaf(1).ecx, 20); }
int CpuHasMovbe() { return Bit(Leaf(1).ecx, 22); }

int CpuHasHyperThreading() {
  CpuIdRegs r = Leaf(1);
  return Bit(r.edx, 28) && ((r.ebx >> 16) & 0xFF) > 1;
}

int CpuHasLongMode() {
  if (Leaf(0x80000000u).eax < 0x80000001u) return 0;
  return Bit(Leaf(0x80000001u).edx, 29);
}

// xgetbv is executed only once the processor says the OS saves extended state
// (OSXSAVE); on a processor without it the instruction would fault.
int CpuHasAvx() {
  CpuIdRegs r = Leaf(1);
  if (!Bit(r.ecx, 27) || !Bit(r.ecx, 28)) return 0;
  u64 xcr0 = g_processor->xgetbv(0);
  return (xcr0 & 6) == 6;
}

int CpuGetCoresPerPackage() {
  if (CpuGetMaxLeaf() < 4) return 1;
  return int((Leaf(4, 0).eax >> 26) & 0x3F) + 1;
}

u64 CpuReadTsc() { return g_processor->rdtsc(); }

int CpuIsExpectedVendor() {
  CpuIdRegs r = Leaf(0);
  // "GenuineIntel" in EBX, EDX, ECX.
  return r.ebx == 0x756E6547u && r.edx == 0x49656E69u && r.ecx == 0x6C65746Eu;
}

int CpuHasDaz() {
  alignas(16) u8 area[512] = {};
  g_processor->fxsave(area);
  u32 mxcsrMask = u32(area[28]) | u32(area[29]) << 8 | u32(area[30]) << 16 | u32(area[31]) << 24;
  return mxcsrMask != 0 && (mxcsrMask & 0x40) != 0;
}

void CpuReadSignature(CpuSignature* out) {
  CpuIdRegs r = Leaf(1);
  out->stepping = int32_t(r.eax & 0xF);
  out->model = int32_t((r.eax >> 4) & 0xF);
  out->family = int32_t((r.eax >> 8) & 0xF);
  out->processorType = int32_t((r.eax >> 12) & 0x3);
  out->extendedModel = int32_t((r.eax >> 16) & 0xF);
  out->extendedFamily = int32_t((r.eax >> 20) & 0xFF);
  out->featureEdx = int32_t(r.edx);
  out->mmx = Bit(r.edx, 23);
  out->sse = Bit(r.edx, 25);
  out->sse2 = Bit(r.edx, 26);
  out->sse3 = Bit(r.ecx, 0);
  out->ssse3 = Bit(r.ecx, 9);
  out->sse41 = Bit(r.ecx, 19);
  out->sse42 = Bit(r.ecx, 20);
  out->movbe = Bit(r.ecx, 22);
  out->avx = Bit(r.ecx, 28);
  out->osxsave = Bit(r.ecx, 27);
  out->hyperThreading = CpuHasHyperThreading();
  out->longMode = CpuHasLongMode();
  out->coresPerPackage = CpuGetCoresPerPackage();
  CpuIdRegs l2 = Leaf(2);
  out->leaf2Eax = int32_t(l2.eax);
  out->leaf2Edx = int32_t(l2.edx);
}

int CpuDetectFeatures(u64* out) {
  if (!CpuHasCpuid()) return 0;
  if (!CpuFeatureCache.computed) {
    CpuIdRegs r = Leaf(1);
    u64 m = 0;
    if (Bit(r.edx, 23)) m |= CPU_FEATURE_MMX;
    if (Bit(r.edx, 25)) m |= CPU_FEATURE_SSE;
    if (Bit(r.edx, 26)) m |= CPU_FEATURE_SSE2;
    if (Bit(r.ecx, 0)) m |= CPU_FEATURE_SSE3;
    if (Bit(r.ecx, 9)) m |= CPU_FEATURE_SSSE3;
    if (Bit(r.ecx, 22)) m |= CPU_FEATURE_MOVBE;
    if (Bit(r.ecx, 19)) m |= CPU_FEATURE_SSE41;
    if (Bit(r.ecx, 20)) m |= CPU_FEATURE_SSE42;
    if (Bit(r.ecx, 28)) m |= CPU_FEATURE_AVX;
    if (Bit(r.ecx, 27) && Bit(r.ecx, 28) && CpuHasAvx()) m |= CPU_FEATURE_AVX_OS;
    if (Bit(r.ecx, 25)) m |= CPU_FEATURE_AES;
    if (Bit(r.ecx, 1)) m |= CPU_FEATURE_PCLMULQDQ;
    CpuFeatureCache.mask = m;
    CpuFeatureCache.computed = 1;
  }
  *out = CpuFeatureCache.mask & CpuEnabledFeatures;
  return 1;
}

ImgStatus CpuQueryFeatures(u64* mask, CpuIdRegs* regs) {
  u64 detected;
  if (!CpuDetectFeatures(&detected)) return IMG_WARN_NO_CPUID;
  if (!mask) return IMG_ERR_NULL;
  u64 request = *mask;
  *mask = detected;
  if (!regs) return IMG_OK;
  if (request == CPU_QUERY_GETINFO_MAGIC)
    g_processor->cpuid(regs->eax, regs->ecx, regs);
  else
    g_processor->cpuid(1, 0, regs);
  return IMG_OK;
}

int CpuIsLevelPermitted(CpuTypeCode code) { return (code == CPU_TYPE_AVX && CpuAvxPermit == 0) ? 0 : 1; }

int CpuSetEnabledFeatures(u64 mask) {
  CpuEnabledFeatures = mask;
  return 1;
}

ImgStatus CpuRestrictFeatures(u64 mask) {
  CpuSetEnabledFeatures(mask);
  return IMG_OK;
}

ImgStatus CpuSelectProcessorLevel() {
  u64 mask = 0;
  CpuIdRegs regs = {};
  CpuLevel level = CPU_LEVEL_BASE;
  if (CpuQueryFeatures(&mask, &regs) == IMG_OK) {
    if ((mask & CPU_FEATURE_AVX) && (mask & CPU_FEATURE_AVX_OS) && CpuIsLevelPermitted(CPU_TYPE_AVX) == 1)
      level = CPU_LEVEL_AVX;
    else if (mask & CPU_FEATURE_SSE41)
      level = CPU_LEVEL_SSE41;
    else if (mask & CPU_FEATURE_SSSE3)
      level = CPU_LEVEL_SSSE3;
    else if (mask & CPU_FEATURE_SSE3)
      level = CPU_LEVEL_SSE3;
  }
  CpuActiveLevel = level;
  return (CpuHasCpuid() && CpuIsExpectedVendor()) ? IMG_OK : IMG_WARN_CPU_VENDOR;
}

int CpuCanRunLevel(CpuLevel level) {
  switch (level) {
    case CPU_LEVEL_BASE:
      return 1;
    case CPU_LEVEL_SSE3:
      return CpuHasSse3();
    case CPU_LEVEL_SSSE3:
      return CpuHasSse3() && CpuHasSsse3();
    case CPU_LEVEL_SSE41:
      return CpuHasSse3() && CpuHasSsse3() && CpuHasSse41();
    case CPU_LEVEL_AVX:
      return CpuHasSse3() && CpuHasSsse3() && CpuHasSse41() && CpuHasSse42() && CpuHasAvx();
    default:
      return 0;
  }
}

ImgStatus CpuSelectProcessorLevelByType(CpuTypeCode code) {
  constexpr u64 kAll = ~0ull;
  CpuLevel level;
  bool setMask = false;
  u64 mask = kAll;
  switch (code) {
    case -1:
    case 0:
    case 96:
      level = CPU_LEVEL_BASE;
      break;
    case 32:
    case 66:
      level = CPU_LEVEL_SSE3;
      break;
    case 33:
    case 34:
    case 36:
    case 67:
      level = CPU_LEVEL_SSSE3;
      break;
    case 38:
    case 71:
      level = CPU_LEVEL_SSE41;
      break;
    case 35:
    case 68:
      level = CPU_LEVEL_SSE41;
      setMask = true;
      mask = kAll & ~(CPU_FEATURE_SSE42 | CPU_FEATURE_AES | CPU_FEATURE_PCLMULQDQ);
      break;
    case 37:
    case 69:
      level = CPU_LEVEL_SSE41;
      setMask = true;
      mask = kAll & ~(CPU_FEATURE_AES | CPU_FEATURE_PCLMULQDQ);
      break;
    case 70:
      level = CPU_LEVEL_AVX;
      break;
    default:
      return IMG_WARN_CPU_TYPE;
  }
  // Forcing a level whose instructions the processor lacks would fault in the first
  // routine it reaches: treat it like an unknown code and change nothing.
  if (!CpuCanRunLevel(level)) return IMG_WARN_CPU_TYPE;
  if (setMask) CpuSetEnabledFeatures(mask);
  CpuActiveLevel = level;
  return IMG_OK;
}

int32_t CpuLeaf2CacheSize(const CpuCacheDescriptor* table) {
  CpuIdRegs r = Leaf(2);
  if ((r.eax & 0xFF) != 1) return -1;
  u8 bytes[15];
  int n = 0;
  auto take = [&](u32 reg, int firstByte) {
    if (reg & 0x80000000u) return;  // carries no descriptors
    for (int b = firstByte; b < 4; ++b) {
      u8 d = u8(reg >> (8 * b));
      if (d) bytes[n++] = d;
    }
  };
  take(r.eax, 1);
  take(r.ebx, 0);
  take(r.ecx, 0);
  take(r.edx, 0);
  if (n == 0) return -1;
  for (const CpuCacheDescriptor* e = table; e->descriptor != 0 || e->bytes != 0; ++e)
    for (int i = 0; i < n; ++i)
      if (bytes[i] == e->descriptor) return int32_t(e->bytes);
  return -1;
}

ImgStatus CpuGetMaxCacheSize(int32_t* bytes) {
  if (!bytes) return IMG_ERR_NULL;
  if (CpuCacheSizeCache.status != 1) {
    *bytes = CpuCacheSizeCache.bytes;
    return CpuCacheSizeCache.status;
  }
  ImgStatus status;
  int32_t size = 0;
  if (!CpuHasCpuid() || CpuGetMaxLeaf() < 2 || !CpuIsExpectedVendor()) {
    status = IMG_WARN_NO_CPUID;
  } else if (CpuGetMaxLeaf() < 4) {
    size = CpuLeaf2CacheSize(CpuCacheDescriptorTable);
    if (size >= 0) {
      status = IMG_OK;
    } else {
      status = IMG_WARN_NO_CACHE_INFO;
      size = 0;
    }
  } else {
    u32 largest = 0;
    for (u32 sub = 0; sub < 32; ++sub) {
      CpuIdRegs r = Leaf(4, sub);
      u32 type = r.eax & 0x1F;
      if (type == 0) break;
      if (type == 2) continue;  // instruction cache
      u32 ways = (r.ebx >> 22) + 1, partitions = ((r.ebx >> 12) & 0x3FF) + 1, line = (r.ebx & 0xFFF) + 1;
      u32 total = ways * partitions * line * (r.ecx + 1);
      if (total > largest) largest = total;
    }
    size = int32_t(largest);
    status = largest == 0 ? IMG_WARN_NO_CACHE_INFO : IMG_OK;
  }
  CpuCacheSizeCache.status = status;
  CpuCacheSizeCache.bytes = size;
  *bytes = size;
  return status;
}
