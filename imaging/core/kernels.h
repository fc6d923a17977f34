// Row kernels of the vector levels that no public routine calls directly: reverse
// copies and exchanges, pattern fills (the set routines run their own copies of these), masked sets and copies, channel
// insert and extract, copies that keep the fourth channel, channel reorders of 16- and 32-bit samples, and interleaves
// and channel extracts of 16- and 32-bit elements. None checks its arguments; counts are at least 1.
#pragma once

#include "imaging/img.h"

// Built at every level from 1 to 4.
#define IMG_KERNELS_LEVELS_1_TO_4                                                                \
  /* Element k of src to the (k + 1)-th element before dstEnd; with the streaming flag every  */ \
  /* store is non-temporal and a store fence ends the call. */                                   \
  void ReverseCopyKernelU32(const void* src, void* dstEnd, u32 n, u32 streaming);                \
  void ReverseCopyKernelU64(const void* src, void* dstEnd, u32 n, u32 streaming);                \
  void ReverseCopyKernelU128(const void* src, void* dstEnd, u32 n, u32 streaming);               \
  /* Element k of rowA exchanged with the (k + 1)-th element before rowBEnd. */                  \
  void ReverseExchangeKernelU64(void* rowA, void* rowBEnd, u32 n);                               \
  void ReverseExchangeKernelU128(void* rowA, void* rowBEnd, u32 n);                              \
  /* nBytes of the value that repeats from the pattern's first byte (the set routines' */        \
  /* kernels, and wider values); a length that ends inside a value ends on its bytes. */         \
  void FillRowKernelU8C1(const u8* pattern, u8* dst, u32 nBytes, u32 streaming);                 \
  void FillRowKernelU16C1(const u8* pattern, u8* dst, u32 nBytes, u32 streaming);                \
  void FillRowKernelU8C3(const u8* pattern, u8* dst, u32 nBytes, u32 streaming);                 \
  void FillRowKernelU8C4(const u8* pattern, u8* dst, u32 nBytes, u32 streaming);                 \
  void FillRowKernelU8C6(const u8* pattern, u8* dst, u32 nBytes, u32 streaming);                 \
  void FillRowKernelU8C8(const u8* pattern, u8* dst, u32 nBytes, u32 streaming);                 \
  void FillRowKernelU8C12(const u8* pattern, u8* dst, u32 nBytes, u32 streaming);                \
  void FillRowKernelU8C16(const u8* pattern, u8* dst, u32 nBytes, u32 streaming);                \
  /* Element i written (from the value, or src element i) when mask byte i is non-zero. */       \
  void MaskedSetKernel1(const void* value, void* dst, u32 n, const u8* mask);                    \
  void MaskedSetKernel2(const void* value, void* dst, u32 n, const u8* mask);                    \
  void MaskedSetKernel3(const void* value, void* dst, u32 n, const u8* mask);                    \
  void MaskedSetKernel4(const void* value, void* dst, u32 n, const u8* mask);                    \
  void MaskedSetKernel6(const void* value, void* dst, u32 n, const u8* mask);                    \
  void MaskedSetKernel12(const void* value, void* dst, u32 n, const u8* mask);                   \
  void MaskedCopyKernel1(const void* src, void* dst, u32 n, const u8* mask);                     \
  void MaskedCopyKernel2(const void* src, void* dst, u32 n, const u8* mask);                     \
  void MaskedCopyKernel3(const void* src, void* dst, u32 n, const u8* mask);                     \
  void MaskedCopyKernel4(const void* src, void* dst, u32 n, const u8* mask);                     \
  void MaskedCopyKernel6(const void* src, void* dst, u32 n, const u8* mask);                     \
  void MaskedCopyKernel12(const void* src, void* dst, u32 n, const u8* mask);                    \
  /* dst[4i] = src[i], and dst[i] = src[4i]. */                                                  \
  void InsertChannelKernelU8(const u8* src, u8* dst, u32 n);                                     \
  void ExtractChannelKernelU8(const u8* src, u8* dst, u32 n);                                    \
  /* The first three samples of every four; the destination's fourth is kept. n counts */        \
  /* bytes (8-bit) or samples (16-bit), a multiple of 4. */                                      \
  void Copy3Of4KernelU8(const void* src, void* dst, u32 n);                                      \
  void Copy3Of4KernelU16(const void* src, void* dst, u32 n);

// Built at levels 2 to 4. Output channel n takes input channel order[n]; the special
// channel of the 3-to-4 reorders gets the constant, or is kept (16-bit: constant
// 0x10000; 32-bit: whenever its order entry is not 3).
#define IMG_KERNELS_LEVELS_2_TO_4                                                                                      \
  void ReorderKernelU8C4ToC3(const u8* src, int32_t srcStep, u8* dst, int32_t dstStep, int32_t width, int32_t height,  \
                             const int32_t* order);                                                                    \
  void ReorderKernelU16C4ToC3(const u16* src, int32_t srcStep, u16* dst, int32_t dstStep, int32_t width,               \
                              int32_t height, const int32_t* order);                                                   \
  void ReorderKernelU32C4ToC3(const u32* src, int32_t srcStep, u32* dst, int32_t dstStep, int32_t width,               \
                              int32_t height, const int32_t* order);                                                   \
  void ReorderKernelU16C3ToC4(const u16* src, int32_t srcStep, u16* dst, int32_t dstStep, int32_t width,               \
                              int32_t height, int32_t special, int32_t constant, const int32_t* order);                \
  void ReorderKernelU32C3ToC4(const u32* src, int32_t srcStep, u32* dst, int32_t dstStep, int32_t width,               \
                              int32_t height, int32_t special, u32 constant, const int32_t* order);                    \
  void CopyKernelU16C4ToC3(const u16* src, int32_t srcStep, u16* dst, int32_t dstStep, int32_t width, int32_t height); \
  void CopyKernelU16C3ToC4(const u16* src, int32_t srcStep, u16* dst, int32_t dstStep, int32_t width, int32_t height); \
  void CopyKernelU8C3ToC4(const u8* src, int32_t srcStep, u8* dst, int32_t dstStep, int32_t width, int32_t height);

// Built at level 1. Planes share one step; the streaming flag selects non-temporal
// stores. The extractors copy channel `channel` of n pixels to a plane; the *NT builds
// store non-temporally and end with a store fence.
#define IMG_KERNELS_LEVEL_1                                                                                       \
  void InterleaveKernelU32C4(const u32* const* planes, int32_t srcStep, u32* dst, int32_t dstStep, int32_t width, \
                             int32_t height, u32 streaming);                                                      \
  void InterleaveKernelU32C3(const u32* const* planes, int32_t srcStep, u32* dst, int32_t dstStep, int32_t width, \
                             int32_t height, u32 streaming);                                                      \
  void InterleaveKernelU16C4(const u16* const* planes, int32_t srcStep, u16* dst, int32_t dstStep, int32_t width, \
                             int32_t height, u32 streaming);                                                      \
  void InterleaveKernelU16C3(const u16* const* planes, int32_t srcStep, u16* dst, int32_t dstStep, int32_t width, \
                             int32_t height, u32 streaming);                                                      \
  void ExtractChannelKernelU32C3(const u32* src, int32_t channel, u32* plane, u32 n);                             \
  void ExtractChannelKernelU32C3NT(const u32* src, int32_t channel, u32* plane, u32 n);                           \
  void ExtractChannelKernelU32C4(const u32* src, int32_t channel, u32* plane, u32 n);                             \
  void ExtractChannelKernelU32C4NT(const u32* src, int32_t channel, u32* plane, u32 n);                           \
  void ExtractChannelKernelU16C3(const u16* src, int32_t channel, u16* plane, u32 n);                             \
  void ExtractChannelKernelU16C3NT(const u16* src, int32_t channel, u16* plane, u32 n);                           \
  void ExtractChannelKernelU16C4(const u16* src, int32_t channel, u16* plane, u32 n);                             \
  void ExtractChannelKernelU16C4NT(const u16* src, int32_t channel, u16* plane, u32 n);

namespace img::level1 {
IMG_KERNELS_LEVELS_1_TO_4
IMG_KERNELS_LEVEL_1
}  // namespace img::level1
namespace img::level2 {
IMG_KERNELS_LEVELS_1_TO_4
IMG_KERNELS_LEVELS_2_TO_4
}  // namespace img::level2
namespace img::level3 {
IMG_KERNELS_LEVELS_1_TO_4
IMG_KERNELS_LEVELS_2_TO_4
}  // namespace img::level3
namespace img::level4 {
IMG_KERNELS_LEVELS_1_TO_4
IMG_KERNELS_LEVELS_2_TO_4
}  // namespace img::level4
