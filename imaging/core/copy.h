// Copy and fill helpers that other parts of the library (the deinterlacers, the resize
// engine) call directly, without going through a dispatch stub.
#pragma once

#include "imaging/img.h"

// Copies nBytes bytes forward and returns dst; nothing for nBytes <= 0. No checks.
// A destination that starts inside the source after its start is not supported.
void* CopyKernelU8(const void* src, void* dst, int32_t nBytes);
// Sets nBytes bytes to 0 and returns p; nothing for nBytes <= 0.
void* ZeroKernelU8(void* p, int32_t nBytes);
// -8 p null, -6 nBytes <= 0, else zeroes nBytes bytes.
ImgStatus VecZeroU8(void* p, int32_t nBytes);
// Copies n 4-byte elements: -8 src or dst null, -6 n <= 0.
ImgStatus VecCopyU32(const void* src, void* dst, int32_t n);
// The 16-bit image copy and set with their own checks (-8, then -6 width, then height).
ImgStatus CopyKernelU16C1(const u16* src, int32_t srcStep, u16* dst, int32_t dstStep, ImgSize size);
ImgStatus SetKernelU16C1(u16 value, u16* dst, int32_t dstStep, ImgSize size);
