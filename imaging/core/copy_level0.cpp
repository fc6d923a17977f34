// Level 0 of the copy, set and byte-swap routines, and the helpers other parts of the
// library call directly. Plain loops on the x86-64 baseline; 16-byte blocks stored
// aligned on the destination carry the long rows.
#include <emmintrin.h>

#include "imaging/core/copy.h"

namespace {

inline const u8* Row(const void* base, int32_t step, int32_t i) { return static_cast<const u8*>(base) + s64(i) * step; }
inline u8* Row(void* base, int32_t step, int32_t i) { return static_cast<u8*>(base) + s64(i) * step; }

inline size_t ToAligned16(const void* p) { return size_t(-reinterpret_cast<uintptr_t>(p)) & 15; }

// One element of E bytes, read completely before it is written.
template <int E>
inline void CopyElement(const u8* p, u8* q) {
  if constexpr (E == 1) {
    *q = *p;
  } else {
    u16 v;
    __builtin_memcpy(&v, p, 2);
    __builtin_memcpy(q, &v, 2);
  }
}

// Element by element. When the destination lies inside the source after its start the
// row is walked from its end, so overlapping rows come out as a true copy of the source
// instead of a smear of its first elements.
template <int E>
void CopyElements(const u8* p, u8* q, s64 w) {
  if (q > p && q < p + w * E) {
    for (s64 k = w - 1; k >= 0; --k) CopyElement<E>(p + k * E, q + k * E);
  } else {
    for (s64 k = 0; k < w; ++k) CopyElement<E>(p + k * E, q + k * E);
  }
}

template <int E>
void CopyImageRow(const u8* p, u8* q, s64 w) {
  const s64 B = w * E;
  const bool overlap = !(p > q + B || q > p + B);
  if (w <= 6 || overlap || (E == 2 && (reinterpret_cast<uintptr_t>(q) & 1))) {
    CopyElements<E>(p, q, w);
    return;
  }
  const s64 head = s64(ToAligned16(q)) / E;
  if (w < head + 16 / E) {
    CopyElements<E>(p, q, w);
    return;
  }
  CopyElements<E>(p, q, head);
  s64 k = head * E;
  const bool sameAlignment = ((reinterpret_cast<uintptr_t>(p + k)) & 15) == 0;
  if (sameAlignment) {
    for (; k + 16 <= B; k += 16)
      _mm_store_si128(reinterpret_cast<__m128i*>(q + k), _mm_load_si128(reinterpret_cast<const __m128i*>(p + k)));
  } else {
    for (; k + 16 <= B; k += 16)
      _mm_store_si128(reinterpret_cast<__m128i*>(q + k), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k)));
  }
  CopyElements<E>(p + k, q + k, (B - k) / E);
}

template <int E>
ImgStatus CopyImage(const void* src, int32_t srcStep, void* dst, int32_t dstStep, ImgSize size) {
  if (!src || !dst) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  for (int32_t i = 0; i < size.height; ++i) CopyImageRow<E>(Row(src, srcStep, i), Row(dst, dstStep, i), size.width);
  return IMG_OK;
}

// Bytes up to the next aligned address, 16-byte blocks of the value stored aligned, the
// tail; a row shorter than the head plus one block is set byte by byte.
void SetRowU8(u8* q, s64 n, u8 value) {
  s64 head = s64(ToAligned16(q));
  if (n < head + 16) {
    for (s64 k = 0; k < n; ++k) q[k] = value;
    return;
  }
  const __m128i v = _mm_set1_epi8(char(value));
  s64 k = 0;
  for (; k < head; ++k) q[k] = value;
  for (; k + 16 <= n; k += 16) _mm_store_si128(reinterpret_cast<__m128i*>(q + k), v);
  for (; k < n; ++k) q[k] = value;
}

void SetRowU16(u8* q, s64 w, u16 value) {
  auto one = [&](s64 k) { __builtin_memcpy(q + 2 * k, &value, 2); };
  s64 head = s64(ToAligned16(q)) / 2;
  if ((reinterpret_cast<uintptr_t>(q) & 1) || w < head + 8) {
    for (s64 k = 0; k < w; ++k) one(k);
    return;
  }
  const __m128i v = _mm_set1_epi16(short(value));
  s64 k = 0;
  for (; k < head; ++k) one(k);
  for (; k + 8 <= w; k += 8) _mm_store_si128(reinterpret_cast<__m128i*>(q + 2 * k), v);
  for (; k < w; ++k) one(k);
}

}  // namespace

void* CopyKernelU8(const void* src, void* dst, int32_t nBytes) {
  const u8* p = static_cast<const u8*>(src);
  u8* q = static_cast<u8*>(dst);
  s64 n = nBytes;
  if (n <= 0) return dst;
  while (n > 0 && (reinterpret_cast<uintptr_t>(q) & 3)) {
    *q++ = *p++;
    --n;
  }
  // 32 bytes per step; both halves are loaded before either is stored.
  for (; n >= 32; n -= 32, p += 32, q += 32) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 16), b);
  }
  const s64 apart = p > q ? p - q : q - p;
  if (n <= 6 || apart <= n) {
    for (s64 k = 0; k < n; ++k) q[k] = p[k];
    return dst;
  }
  s64 head = s64(ToAligned16(q));
  if (n >= head + 16) {
    for (s64 k = 0; k < head; ++k) q[k] = p[k];
    _mm_store_si128(reinterpret_cast<__m128i*>(q + head), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + head)));
    for (s64 k = head + 16; k < n; ++k) q[k] = p[k];
  } else {
    for (s64 k = 0; k < n; ++k) q[k] = p[k];
  }
  return dst;
}

void* ZeroKernelU8(void* p, int32_t nBytes) {
  u8* q = static_cast<u8*>(p);
  s64 n = nBytes;
  if (n <= 0) return p;
  while (n > 0 && (reinterpret_cast<uintptr_t>(q) & 3)) {
    *q++ = 0;
    --n;
  }
  const __m128i z = _mm_setzero_si128();
  for (; n >= 32; n -= 32, q += 32) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q), z);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 16), z);
  }
  SetRowU8(q, n, 0);
  return p;
}

ImgStatus VecZeroU8(void* p, int32_t nBytes) {
  if (!p) return IMG_ERR_NULL;
  if (nBytes <= 0) return IMG_ERR_SIZE;
  ZeroKernelU8(p, nBytes);
  return IMG_OK;
}

ImgStatus VecCopyU32(const void* src, void* dst, int32_t n) {
  if (!src || !dst) return IMG_ERR_NULL;
  if (n <= 0) return IMG_ERR_SIZE;
  // 4 x n bytes may exceed 31 bits: copy in pieces the byte kernel can take.
  const u8* p = static_cast<const u8*>(src);
  u8* q = static_cast<u8*>(dst);
  s64 bytes = s64(n) * 4;
  constexpr s64 kPiece = s64(1) << 30;
  for (; bytes > 0; bytes -= kPiece, p += kPiece, q += kPiece)
    CopyKernelU8(p, q, int32_t(bytes < kPiece ? bytes : kPiece));
  return IMG_OK;
}

ImgStatus CopyKernelU16C1(const u16* src, int32_t srcStep, u16* dst, int32_t dstStep, ImgSize size) {
  return CopyImage<2>(src, srcStep, dst, dstStep, size);
}

ImgStatus SetKernelU16C1(u16 value, u16* dst, int32_t dstStep, ImgSize size) {
  if (!dst) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  for (int32_t i = 0; i < size.height; ++i) SetRowU16(Row(dst, dstStep, i), size.width, value);
  return IMG_OK;
}

ImgStatus ImgVecSwapBytesU16Level0(const u16* src, u16* dst, int32_t n) {
  if (!src || !dst) return IMG_ERR_NULL;
  if (n <= 0) return IMG_ERR_SIZE;
  const u8* p = reinterpret_cast<const u8*>(src);
  u8* q = reinterpret_cast<u8*>(dst);
  auto one = [&](s64 k) {
    u16 v;
    __builtin_memcpy(&v, p + 2 * k, 2);
    v = u16(v << 8 | v >> 8);
    __builtin_memcpy(q + 2 * k, &v, 2);
  };
  const s64 apart = p > q ? p - q : q - p;
  const s64 head = s64(ToAligned16(p)) / 2;
  if (n <= 6 || apart <= 2 * s64(n) || (reinterpret_cast<uintptr_t>(p) & 1) || n < head + 8) {
    for (s64 k = 0; k < n; ++k) one(k);
    return IMG_OK;
  }
  s64 k = 0;
  for (; k < head; ++k) one(k);
  for (; k + 8 <= n; k += 8) {
    __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(p + 2 * k));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 2 * k), _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)));
  }
  for (; k < n; ++k) one(k);
  return IMG_OK;
}

ImgStatus ImgVecCopyU8Level0(const u8* src, u8* dst, int32_t n) {
  if (!src || !dst) return IMG_ERR_NULL;
  if (n <= 0) return IMG_ERR_SIZE;
  CopyKernelU8(src, dst, n);
  return IMG_OK;
}

ImgStatus ImgCopyU8C1Level0(const u8* src, int32_t srcStep, u8* dst, int32_t dstStep, ImgSize size) {
  return CopyImage<1>(src, srcStep, dst, dstStep, size);
}

ImgStatus ImgCopyU16C1Level0(const u16* src, int32_t srcStep, u16* dst, int32_t dstStep, ImgSize size) {
  return CopyKernelU16C1(src, srcStep, dst, dstStep, size);
}

ImgStatus ImgSetU8C1Level0(u8 value, u8* dst, int32_t dstStep, ImgSize size) {
  if (!dst) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  for (int32_t i = 0; i < size.height; ++i) SetRowU8(Row(dst, dstStep, i), size.width, value);
  return IMG_OK;
}

ImgStatus ImgSetU16C1Level0(u16 value, u16* dst, int32_t dstStep, ImgSize size) {
  return SetKernelU16C1(value, dst, dstStep, size);
}

ImgStatus ImgSetU8C3Level0(const u8* value, u8* dst, int32_t dstStep, ImgSize size) {
  if (!dst || !value) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  const u8 a = value[0], b = value[1], c = value[2];
  for (int32_t i = 0; i < size.height; ++i) {
    u8* q = Row(dst, dstStep, i);
    for (int32_t x = 0; x < size.width; ++x, q += 3) {
      q[0] = a;
      q[1] = b;
      q[2] = c;
    }
  }
  return IMG_OK;
}

ImgStatus ImgSetU8C4Level0(const u8* value, u8* dst, int32_t dstStep, ImgSize size) {
  if (!dst || !value) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  u32 v;
  __builtin_memcpy(&v, value, 4);
  for (int32_t i = 0; i < size.height; ++i) {
    u8* q = Row(dst, dstStep, i);
    for (int32_t x = 0; x < size.width; ++x) __builtin_memcpy(q + 4 * s64(x), &v, 4);
  }
  return IMG_OK;
}
