// Types shared by every image-library routine.
#pragma once

#include <cstdint>

typedef uint8_t u8;
typedef int8_t s8;
typedef uint16_t u16;
typedef int16_t s16;
typedef uint32_t u32;
typedef int32_t s32;
typedef uint64_t u64;
typedef int64_t s64;
typedef float f32;
typedef double f64;

// Result of every routine that reports one: 0 success, negative error, positive warning.
// An argument error leaves every output untouched.
typedef int32_t ImgStatus;
enum : ImgStatus {
  IMG_OK = 0,
  IMG_ERR_SIZE = -6,
  IMG_ERR_NULL = -8,
  IMG_ERR_NO_MEMORY = -9,
  IMG_ERR_STEP = -14,
  IMG_ERR_MIRROR_AXIS = -21,
  IMG_ERR_INTERPOLATION = -22,
  IMG_ERR_RESIZE_FACTOR = -23,
  IMG_ERR_CHANNEL_ORDER = -60,
  IMG_ERR_EMPTY_DESTINATION = -201,
  IMG_WARN_CPU_VENDOR = 20,
  IMG_WARN_CPU_TYPE = 21,
  IMG_WARN_ROI_OUTSIDE = 29,
  IMG_WARN_ODD_SIZE = 35,
  IMG_WARN_NO_CPUID = 36,
  IMG_WARN_NO_CACHE_INFO = 37,
};

// Width and height travel together as one 64-bit value, width in the low half.
struct ImgSize {
  int32_t width;
  int32_t height;
};
static_assert(sizeof(ImgSize) == 8);

// A region of interest, passed by value.
struct ImgRect {
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};
static_assert(sizeof(ImgRect) == 16);

// The processor level: which variant of every routine runs.
typedef int32_t CpuLevel;
enum : CpuLevel {
  CPU_LEVEL_BASE = 0,
  CPU_LEVEL_SSE3 = 1,
  CPU_LEVEL_SSSE3 = 2,
  CPU_LEVEL_SSE41 = 3,
  CPU_LEVEL_AVX = 4,
  CPU_LEVEL_COUNT = 5,
};
