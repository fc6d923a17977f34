// Level 0 of the colour-format conversions: the scalar reference of every level.
#include "imaging/core/colour.h"
#include "imaging/img.h"

// 370 zeros, 0..255, then 374 bytes of 255.
constexpr struct ClampTableBuilder {
  u8 bytes[1000];
  constexpr ClampTableBuilder() : bytes() {
    for (int i = 0; i < 1000; ++i) {
      const int v = i - IMG_CLAMP_TABLE_BIAS;
      bytes[i] = u8(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
} kClampTable;

const u8 ImgClampTable[1000] = {
#define C4(i) kClampTable.bytes[i], kClampTable.bytes[i + 1], kClampTable.bytes[i + 2], kClampTable.bytes[i + 3]
#define C20(i) C4(i), C4(i + 4), C4(i + 8), C4(i + 12), C4(i + 16)
#define C100(i) C20(i), C20(i + 20), C20(i + 40), C20(i + 60), C20(i + 80)
    C100(0), C100(100), C100(200), C100(300), C100(400), C100(500), C100(600), C100(700), C100(800), C100(900),
#undef C100
#undef C20
#undef C4
};

namespace {

inline u8* RowOf(u8* base, int step, int y) { return base + s64(y) * step; }
inline const u8* RowOf(const u8* base, int step, int y) { return base + s64(y) * step; }

inline u8 ClampToByte(int v) { return u8(v < 0 ? 0 : v > 255 ? 255 : v); }

// One pixel of each YUV-to-RGB formula set; out receives B, G, R.

// BT.709 video range, rounded.
inline void Bt709Pixel(int y, int cb, int cr, u8* out) {
  const int l = 76284 * (y - 16), d = cb - 128, e = cr - 128;
  out[0] = ClampToByte((l + 138609 * d + 32768) >> 16);
  out[1] = ClampToByte((l - 13959 * d - 34996 * e + 32768) >> 16);
  out[2] = ClampToByte((l + 117506 * e + 32768) >> 16);
}

// BT.601 video range, rounded.
inline void Bt601Pixel(int y, int cb, int cr, u8* out) {
  const int l = 76284 * (y - 16), d = cb - 128, e = cr - 128;
  out[0] = ClampToByte((l + 132186 * d + 32768) >> 16);
  out[1] = ClampToByte((l - 25690 * d - 53281 * e + 32768) >> 16);
  out[2] = ClampToByte((l + 104595 * e + 32768) >> 16);
}

// BT.601 video range on the raw bytes, with offsets that carry no rounding term.
inline void Bt601RawPixel(int y, int cb, int cr, u8* out) {
  out[0] = ClampToByte((76284 * y + 132186 * cb - 18140365) >> 16);
  out[1] = ClampToByte((76284 * y - 53281 * cr - 25690 * cb + 8887730) >> 16);
  out[2] = ClampToByte((76284 * y + 104595 * cr - 14608761) >> 16);
}

// BT.709 studio: luma passes through unscaled. The intermediate lies within the
// clamp table's range for every byte input.
inline void StudioPixelTable(int y, int cb, int cr, u8* out) {
  const int d = cb - 128, e = cr - 128;
  out[0] = ImgClampTable[IMG_CLAMP_TABLE_BIAS + y + ((119013 * d + 32768) >> 16)];
  out[1] = ImgClampTable[IMG_CLAMP_TABLE_BIAS + y + ((-11993 * d - 30081 * e + 32768) >> 16)];
  out[2] = ImgClampTable[IMG_CLAMP_TABLE_BIAS + y + ((100925 * e + 32768) >> 16)];
}

inline void StudioPixel(int y, int cb, int cr, u8* out) {
  const int d = cb - 128, e = cr - 128;
  out[0] = ClampToByte(y + ((119013 * d + 32768) >> 16));
  out[1] = ClampToByte(y + ((-11993 * d - 30081 * e + 32768) >> 16));
  out[2] = ClampToByte(y + ((100925 * e + 32768) >> 16));
}

using PixelFn = void (*)(int y, int cb, int cr, u8* out);

// Writes one RGB pixel of bpp bytes (3 or 4); the fourth byte is alpha.
template <PixelFn Pixel, int Bpp>
inline void PutPixel(u8* d, int y, int cb, int cr, u8 alpha) {
  Pixel(y, cb, cr, d);
  if constexpr (Bpp == 4) d[3] = alpha;
}

// ---- Packed 4:2:2 to RGB ----------------------------------------------------------------

template <int Bpp>
void Yuy2RowToRgb(const u8* s, u8* d, int width, u8 alpha) {
  const int pairs = width / 2;
  int k = 0;
  for (; k < pairs; ++k) {
    const u8* p = s + 4 * k;
    PutPixel<Bt601RawPixel, Bpp>(d + Bpp * 2 * k, p[0], p[1], p[3], alpha);
    PutPixel<Bt601RawPixel, Bpp>(d + Bpp * (2 * k + 1), p[2], p[1], p[3], alpha);
  }
  if (width & 1) {
    // The partial pair holds Y and U; V comes from the previous pair.
    const u8* p = s + 4 * pairs;
    PutPixel<Bt601RawPixel, Bpp>(d + Bpp * (width - 1), p[0], p[1], p[-1], alpha);
  }
}

template <int Bpp>
ImgStatus Yuy2ToRgb(const u8* src, int srcStep, u8* dst, int dstStep, ImgSize size, u8 alpha) {
  if (!src || !dst) return IMG_ERR_NULL;
  if (size.width < 2 || size.height <= 0) return IMG_ERR_SIZE;
  for (int y = 0; y < size.height; ++y)
    Yuy2RowToRgb<Bpp>(RowOf(src, srcStep, y), RowOf(dst, dstStep, y), size.width, alpha);
  return IMG_OK;
}

template <int Bpp>
void UyvyRowToRgb(const u8* s, u8* d, int width, u8 alpha) {
  const int pairs = width / 2;
  int k = 0;
  for (; k < pairs; ++k) {
    const u8* p = s + 4 * k;
    PutPixel<StudioPixelTable, Bpp>(d + Bpp * 2 * k, p[1], p[0], p[2], alpha);
    PutPixel<StudioPixelTable, Bpp>(d + Bpp * (2 * k + 1), p[3], p[0], p[2], alpha);
  }
  if (width & 1) {
    // The partial pair holds U and Y; V is the previous pair's, or U itself when there
    // is no previous pair.
    const u8* p = s + 4 * pairs;
    const int v = pairs > 0 ? p[-2] : p[0];
    PutPixel<StudioPixelTable, Bpp>(d + Bpp * (width - 1), p[1], p[0], v, alpha);
  }
}

template <int Bpp>
ImgStatus UyvyToRgb(const u8* src, int srcStep, u8* dst, int dstStep, ImgSize size, u8 alpha) {
  if (!src || !dst) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  for (int y = 0; y < size.height; ++y)
    UyvyRowToRgb<Bpp>(RowOf(src, srcStep, y), RowOf(dst, dstStep, y), size.width, alpha);
  return IMG_OK;
}

// ---- Planar to RGB ----------------------------------------------------------------------

template <int Bpp>
ImgStatus Yuv444ToRgb(const u8* const planes[3], int srcStep, u8* dst, int dstStep, ImgSize size, u8 alpha) {
  if (!planes || !dst || !planes[0] || !planes[1] || !planes[2]) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  for (int y = 0; y < size.height; ++y) {
    const u8* py = RowOf(planes[0], srcStep, y);
    const u8* pb = RowOf(planes[1], srcStep, y);
    const u8* pr = RowOf(planes[2], srcStep, y);
    u8* d = RowOf(dst, dstStep, y);
    int x = 0;
    for (; x < size.width; ++x) PutPixel<Bt709Pixel, Bpp>(d + Bpp * x, py[x], pb[x], pr[x], alpha);
  }
  return IMG_OK;
}

template <ColourSet Set>
constexpr PixelFn I420Pixel() {
  if constexpr (Set == kColourBt709) return Bt709Pixel;
  if constexpr (Set == kColourBt601) return Bt601Pixel;
  return StudioPixel;
}

template <ColourSet Set, int Bpp>
ImgStatus I420ToRgb(const u8* const planes[3], const int srcSteps[3], u8* dst, int dstStep, ImgSize size, u8 alpha) {
  if (!planes || !srcSteps || !dst) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  if (!planes[0] || !planes[1] || !planes[2]) return IMG_ERR_NULL;
  constexpr PixelFn Pixel = I420Pixel<Set>();
  const int blocks = size.width / 2;
  for (int i = 0; i < size.height / 2; ++i) {
    const u8* y0 = RowOf(planes[0], srcSteps[0], 2 * i);
    const u8* y1 = RowOf(planes[0], srcSteps[0], 2 * i + 1);
    const u8* cb = RowOf(planes[1], srcSteps[1], i);
    const u8* cr = RowOf(planes[2], srcSteps[2], i);
    u8* d0 = RowOf(dst, dstStep, 2 * i);
    u8* d1 = RowOf(dst, dstStep, 2 * i + 1);
    int k = 0;
    for (; k < blocks; ++k) {
      PutPixel<Pixel, Bpp>(d0 + Bpp * 2 * k, y0[2 * k], cb[k], cr[k], alpha);
      PutPixel<Pixel, Bpp>(d0 + Bpp * (2 * k + 1), y0[2 * k + 1], cb[k], cr[k], alpha);
      PutPixel<Pixel, Bpp>(d1 + Bpp * 2 * k, y1[2 * k], cb[k], cr[k], alpha);
      PutPixel<Pixel, Bpp>(d1 + Bpp * (2 * k + 1), y1[2 * k + 1], cb[k], cr[k], alpha);
    }
  }
  return (size.width | size.height) & 1 ? IMG_WARN_ODD_SIZE : IMG_OK;
}

// ---- RGB to packed 4:2:2 ----------------------------------------------------------------

inline int LumaBt601(int b, int g, int r) { return (16843 * r + 33030 * g + 6423 * b + 1081344) >> 16; }

void BgrxRowToYuy2(const u8* s, u8* d, int width) {
  const int pairs = width / 2;
  int k = 0;
  for (; k < pairs; ++k) {
    const u8* p = s + 8 * k;
    const int b = p[0] + p[4], g = p[1] + p[5], r = p[2] + p[6];
    u8* o = d + 4 * k;
    o[0] = u8(LumaBt601(p[0], p[1], p[2]));
    o[1] = u8(128 + ((28770 * b - 19071 * g - 9699 * r + 16384) >> 17));
    o[2] = u8(LumaBt601(p[4], p[5], p[6]));
    o[3] = u8(128 + ((28770 * r - 24117 * g - 4653 * b + 16384) >> 17));
  }
  if (width & 1) {
    // A lone last pixel stores its Y and a U of its own.
    const u8* p = s + 8 * pairs;
    u8* o = d + 4 * pairs;
    o[0] = u8(LumaBt601(p[0], p[1], p[2]));
    o[1] = u8(128 + ((28770 * p[0] - 19071 * p[1] - 9699 * p[2] + 8192) >> 16));
  }
}

// ---- Repacking --------------------------------------------------------------------------

// The luma of one YUY2 row, and optionally its chroma to two planes (cb, cr) or, when
// cr is null, interleaved Cb, Cr into cb.
void Yuy2RowSplit(const u8* s, u8* py, u8* cb, u8* cr, int pairs) {
  int k = 0;
  for (; k < pairs; ++k) {
    const u8* p = s + 4 * k;
    py[2 * k] = p[0];
    py[2 * k + 1] = p[2];
    if (cb && cr) {
      cb[k] = p[1];
      cr[k] = p[3];
    } else if (cb) {
      cb[2 * k] = p[1];
      cb[2 * k + 1] = p[3];
    }
  }
}

void CopyRow(const u8* s, u8* d, int n) {
  int x = 0;
  for (; x < n; ++x) d[x] = s[x];
}

// I422 and YV16 differ only in which plane receives Cb.
ImgStatus Yuy2To422(const u8* src, int srcStep, u8* const planes[3], const int dstSteps[3], ImgSize size, int cbPlane) {
  if (!src || !planes || !dstSteps || !planes[0] || !planes[1] || !planes[2]) return IMG_ERR_NULL;
  if (size.width < 2) return IMG_ERR_SIZE;
  // A picture of no rows is as much a size error here as in every other conversion.
  if (size.height <= 0) return IMG_ERR_SIZE;
  const int crPlane = 3 - cbPlane;
  for (int y = 0; y < size.height; ++y)
    Yuy2RowSplit(RowOf(src, srcStep, y), RowOf(planes[0], dstSteps[0], y), RowOf(planes[cbPlane], dstSteps[cbPlane], y),
                 RowOf(planes[crPlane], dstSteps[crPlane], y), size.width / 2);
  return IMG_OK;
}

}  // namespace

ImgStatus ImgBgrxToYuy2Bt601Level0(const u8* src, int srcStep, u8* dst, int dstStep, ImgSize size) {
  if (!src || !dst) return IMG_ERR_NULL;
  if (size.width < 2) return IMG_ERR_SIZE;
  if (size.height <= 0) return IMG_ERR_SIZE;
  for (int y = 0; y < size.height; ++y) BgrxRowToYuy2(RowOf(src, srcStep, y), RowOf(dst, dstStep, y), size.width);
  return IMG_OK;
}

ImgStatus ImgYuy2ToBgraBt601Level0(const u8* src, int srcStep, u8* dst, int dstStep, ImgSize size, u8 alpha) {
  return Yuy2ToRgb<4>(src, srcStep, dst, dstStep, size, alpha);
}

ImgStatus ImgYuy2ToBgrBt601Level0(const u8* src, int srcStep, u8* dst, int dstStep, ImgSize size) {
  return Yuy2ToRgb<3>(src, srcStep, dst, dstStep, size, 0);
}

ImgStatus ImgYuy2ToYv12Level0(const u8* src, int srcStep, u8* const planes[3], const int dstSteps[3], ImgSize size) {
  if (!planes || !dstSteps || !planes[0] || !planes[1] || !planes[2] || !src) return IMG_ERR_NULL;
  if (size.width < 2 || size.height < 2) return IMG_ERR_SIZE;
  const int pairs = size.width / 2;
  for (int i = 0; i < size.height / 2; ++i) {
    // Chroma comes from the upper row of each pair; the lower row's is not used.
    Yuy2RowSplit(RowOf(src, srcStep, 2 * i), RowOf(planes[0], dstSteps[0], 2 * i), RowOf(planes[2], dstSteps[2], i),
                 RowOf(planes[1], dstSteps[1], i), pairs);
    Yuy2RowSplit(RowOf(src, srcStep, 2 * i + 1), RowOf(planes[0], dstSteps[0], 2 * i + 1), nullptr, nullptr, pairs);
  }
  return IMG_OK;
}

ImgStatus ImgYuy2ToNv12Level0(const u8* src, int srcStep, u8* dstY, int dstYStep, u8* dstCbCr, int dstCbCrStep,
                              ImgSize size) {
  if (!src || !dstY || !dstCbCr) return IMG_ERR_NULL;
  if (size.width < 2 || size.height < 2) return IMG_ERR_SIZE;
  const int pairs = size.width / 2;
  for (int i = 0; i < size.height / 2; ++i) {
    Yuy2RowSplit(RowOf(src, srcStep, 2 * i), RowOf(dstY, dstYStep, 2 * i), RowOf(dstCbCr, dstCbCrStep, i), nullptr,
                 pairs);
    Yuy2RowSplit(RowOf(src, srcStep, 2 * i + 1), RowOf(dstY, dstYStep, 2 * i + 1), nullptr, nullptr, pairs);
  }
  return IMG_OK;
}

ImgStatus ImgYuy2ToYv16Level0(const u8* src, int srcStep, u8* const planes[3], const int dstSteps[3], ImgSize size) {
  return Yuy2To422(src, srcStep, planes, dstSteps, size, 2);
}

ImgStatus ImgYuy2ToI422Level0(const u8* src, int srcStep, u8* const planes[3], const int dstSteps[3], ImgSize size) {
  return Yuy2To422(src, srcStep, planes, dstSteps, size, 1);
}

ImgStatus ImgYv12ToNv12Level0(const u8* const planes[3], const int srcSteps[3], u8* dstY, int dstYStep, u8* dstCbCr,
                              int dstCbCrStep, ImgSize size) {
  if (!planes || !srcSteps || !planes[0] || !planes[1] || !planes[2] || !dstY || !dstCbCr) return IMG_ERR_NULL;
  if (size.width < 2 || size.height < 2) return IMG_ERR_SIZE;
  const int w = size.width & ~1, h = size.height & ~1;
  for (int y = 0; y < h; ++y) CopyRow(RowOf(planes[0], srcSteps[0], y), RowOf(dstY, dstYStep, y), w);
  for (int i = 0; i < h / 2; ++i) {
    const u8* cb = RowOf(planes[2], srcSteps[2], i);
    const u8* cr = RowOf(planes[1], srcSteps[1], i);
    u8* d = RowOf(dstCbCr, dstCbCrStep, i);
    int k = 0;
    for (; k < w / 2; ++k) {
      d[2 * k] = cb[k];
      d[2 * k + 1] = cr[k];
    }
  }
  return IMG_OK;
}

ImgStatus ImgNv12ToI420Level0(const u8* srcY, int srcYStep, const u8* srcCbCr, int srcCbCrStep, u8* const planes[3],
                              const int dstSteps[3], ImgSize size) {
  if (!srcY || !srcCbCr || !planes || !dstSteps) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  if (!planes[0] || !planes[1] || !planes[2]) return IMG_ERR_NULL;
  if (size.width < 2 || size.height < 2) return IMG_ERR_SIZE;
  const int w = size.width & ~1, h = size.height & ~1;
  for (int y = 0; y < h; ++y) CopyRow(RowOf(srcY, srcYStep, y), RowOf(planes[0], dstSteps[0], y), w);
  for (int i = 0; i < h / 2; ++i) {
    const u8* s = RowOf(srcCbCr, srcCbCrStep, i);
    u8* cb = RowOf(planes[1], dstSteps[1], i);
    u8* cr = RowOf(planes[2], dstSteps[2], i);
    int k = 0;
    for (; k < w / 2; ++k) {
      cb[k] = s[2 * k];
      cr[k] = s[2 * k + 1];
    }
  }
  return IMG_OK;
}

ImgStatus ImgYuv444ToBgraBt709Level0(const u8* const planes[3], int srcStep, u8* dst, int dstStep, ImgSize size,
                                     u8 alpha) {
  return Yuv444ToRgb<4>(planes, srcStep, dst, dstStep, size, alpha);
}

ImgStatus ImgYuv444ToBgrBt709Level0(const u8* const planes[3], int srcStep, u8* dst, int dstStep, ImgSize size) {
  return Yuv444ToRgb<3>(planes, srcStep, dst, dstStep, size, 0);
}

ImgStatus ImgUyvyToBgraBt709StudioLevel0(const u8* src, int srcStep, u8* dst, int dstStep, ImgSize size, u8 alpha) {
  return UyvyToRgb<4>(src, srcStep, dst, dstStep, size, alpha);
}

ImgStatus ImgUyvyToBgrBt709StudioLevel0(const u8* src, int srcStep, u8* dst, int dstStep, ImgSize size) {
  return UyvyToRgb<3>(src, srcStep, dst, dstStep, size, 0);
}

ImgStatus ImgI420ToBgrBt709Level0(const u8* const planes[3], const int srcSteps[3], u8* dst, int dstStep,
                                  ImgSize size) {
  return I420ToRgb<kColourBt709, 3>(planes, srcSteps, dst, dstStep, size, 0);
}

ImgStatus ImgI420ToBgraBt709StudioLevel0(const u8* const planes[3], const int srcSteps[3], u8* dst, int dstStep,
                                         ImgSize size, u8 alpha) {
  return I420ToRgb<kColourStudio, 4>(planes, srcSteps, dst, dstStep, size, alpha);
}

ImgStatus ImgI420ToBgraBt601Level0(const u8* const planes[3], const int srcSteps[3], u8* dst, int dstStep, ImgSize size,
                                   u8 alpha) {
  return I420ToRgb<kColourBt601, 4>(planes, srcSteps, dst, dstStep, size, alpha);
}

ImgStatus ImgI420ToBgrBt601Level0(const u8* const planes[3], const int srcSteps[3], u8* dst, int dstStep,
                                  ImgSize size) {
  return I420ToRgb<kColourBt601, 3>(planes, srcSteps, dst, dstStep, size, 0);
}

ImgStatus ImgYv12ToYuy2Level0(const u8* const planes[3], const int srcSteps[3], u8* dst, int dstStep, ImgSize size) {
  if (!planes || !srcSteps || !planes[0] || !planes[1] || !planes[2] || !dst) return IMG_ERR_NULL;
  if (size.width < 2 || size.height < 2) return IMG_ERR_SIZE;
  const int pairs = size.width / 2, h = size.height & ~1;
  for (int y = 0; y < h; ++y) {
    const u8* py = RowOf(planes[0], srcSteps[0], y);
    const u8* cb = RowOf(planes[2], srcSteps[2], y / 2);
    const u8* cr = RowOf(planes[1], srcSteps[1], y / 2);
    u8* d = RowOf(dst, dstStep, y);
    int k = 0;
    for (; k < pairs; ++k) {
      d[4 * k] = py[2 * k];
      d[4 * k + 1] = cb[k];
      d[4 * k + 2] = py[2 * k + 1];
      d[4 * k + 3] = cr[k];
    }
  }
  return IMG_OK;
}
