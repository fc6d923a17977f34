// Level 0 of the deinterlacers: the scalar reference of every level.
#include "imaging/img.h"

namespace {

inline const u8* Row(const u8* base, int step, int y) { return base + s64(y) * step; }
inline u8* Row(u8* base, int step, int y) { return base + s64(y) * step; }
inline int AbsDiff(int a, int b) { return a > b ? a - b : b - a; }
inline int Avg(int a, int b) { return (a + b + 1) >> 1; }

void CopyOneRow(const u8* src, int srcStep, u8* dst, int dstStep, int width, int y) {
  (void)ImgVecCopyU8Level0(Row(src, srcStep, y), Row(dst, dstStep, y), width);
}

// Copies every second row from row `first` on (the kept rows from there): in one call
// with twice the steps, where twice a step still fits the copy's int step, else a row at
// a time.
void CopyKeptRows(const u8* src, int srcStep, u8* dst, int dstStep, ImgSize size, int first) {
  const int rows = (size.height + 1 - first) / 2;
  if (rows <= 0) return;
  const s64 srcPair = 2 * s64(srcStep), dstPair = 2 * s64(dstStep);
  if (srcPair < INT32_MIN || srcPair > INT32_MAX || dstPair < INT32_MIN || dstPair > INT32_MAX) {
    for (int y = first; y < size.height; y += 2) CopyOneRow(src, srcStep, dst, dstStep, size.width, y);
    return;
  }
  (void)ImgCopyU8C1Level0(Row(src, srcStep, first), int(srcPair), Row(dst, dstStep, first), int(dstPair),
                          ImgSize{size.width, rows});
}

// One missing row of the motion-adaptive method.
void MotionAdaptiveRow(const u8* const f[4], const u8* r, const u8* c, int srcStep, u8* d, int y, int width,
                       int threshold, int strict) {
  const u8 *up = Row(r, srcStep, y - 1), *down = Row(r, srcStep, y + 1), *a = Row(c, srcStep, y);
  const u8* ry = Row(r, srcStep, y);
  const u8 *f0u = Row(f[0], srcStep, y - 1), *f0d = Row(f[0], srcStep, y + 1);
  const u8 *f1u = Row(f[1], srcStep, y - 1), *f1d = Row(f[1], srcStep, y + 1);
  const u8 *f2u = Row(f[2], srcStep, y - 1), *f2d = Row(f[2], srcStep, y + 1);
  const u8 *f3u = Row(f[3], srcStep, y - 1), *f3d = Row(f[3], srcStep, y + 1);
  for (int x = 0; x < width; ++x) {
    const int av = a[x];
    const bool still = AbsDiff(ry[x], av) < threshold && AbsDiff(f1d[x], f0d[x]) < threshold &&
                       AbsDiff(f1u[x], f0u[x]) < threshold && AbsDiff(f1d[x], f2d[x]) < threshold &&
                       AbsDiff(f1u[x], f2u[x]) < threshold && AbsDiff(f1d[x], f3d[x]) < threshold &&
                       AbsDiff(f1u[x], f3u[x]) < threshold && AbsDiff(f0d[x], f2d[x]) < threshold &&
                       AbsDiff(f0u[x], f2u[x]) < threshold && AbsDiff(f2d[x], f3d[x]) < threshold &&
                       AbsDiff(f2u[x], f3u[x]) < threshold;
    if (still && !strict) {
      d[x] = u8(av);
      continue;
    }
    const int m = still ? 30 : 6;
    const int lo = av < m ? 0 : av - m;
    const int hi = av + m > 235 ? 235 : av + m;
    const int u = up[x], w = down[x];
    d[x] = u8((u < lo && w < lo) || (u > hi && w > hi) ? (u + w + 1) >> 1 : av);
  }
}

inline int Median3(int a, int b, int c) {
  const int lo = a < b ? a : b, hi = a < b ? b : a;
  return c < lo ? lo : c > hi ? hi : c;
}

inline u8 SaturateByte(u32 v) { return u8(v > 255 ? 255 : v); }

struct BlendRows {
  const u8 *cur, *up, *down, *pu, *pd, *nu, *nd, *t;
};

inline int MotionOf(const BlendRows& r, int x) {
  const int motion = Avg(Avg(AbsDiff(r.pu[x], r.up[x]), AbsDiff(r.nu[x], r.up[x])),
                         Avg(AbsDiff(r.pd[x], r.down[x]), AbsDiff(r.nd[x], r.down[x])));
  const int still = AbsDiff(r.cur[x], r.t[x]);
  return motion > still ? motion : still;
}

// A first or last column: the table blend of the kept-side neighbour and the median,
// without the limits.
inline u8 BlendEdge(const BlendRows& r, int x, int kept, const u16* w) {
  const int m = MotionOf(r, x);
  const u32 med = u32(Median3(r.up[x], r.cur[x], r.down[x]));
  const u32 s = kept ? r.down[x] : r.up[x];
  // Weight pairs that sum above 256 would overflow a byte: saturate, never wrap.
  return SaturateByte((s * w[m] + med * w[256 + m]) >> 8);
}

inline u8 BlendInterior(const BlendRows& r, int x, const ImgDeinterlaceBlendState* st) {
  const int m = MotionOf(r, x);
  const int med = Median3(r.up[x], r.cur[x], r.down[x]);
  if (m < st->lowerLimit) return u8(med);
  const int dA = AbsDiff(r.up[x - 1], r.down[x + 1]), dB = AbsDiff(r.up[x + 1], r.down[x - 1]);
  const int dV = AbsDiff(r.up[x], r.down[x]);
  int k;
  if (dA < dB)
    k = dA < dV ? Avg(r.up[x - 1], r.down[x + 1]) : Avg(r.up[x], r.down[x]);
  else
    k = dB < dV ? Avg(r.up[x + 1], r.down[x - 1]) : Avg(r.up[x], r.down[x]);
  if (m > st->upperLimit) return u8(k);
  return SaturateByte((u32(med) * st->weights[256 + m] + u32(k) * st->weights[m]) >> 8);
}

}  // namespace

ImgStatus ImgDeinterlaceMotionAdaptiveLevel0(const u8* const frames[4], int srcStep, u8* dst, int dstStep, ImgSize size,
                                             int threshold, int firstParity, int keptParity, int copyKept, int strict) {
  if (!frames || !dst || !frames[0] || !frames[1] || !frames[2] || !frames[3]) return IMG_ERR_NULL;
  if (size.width <= 0 || size.height <= 0) return IMG_ERR_SIZE;
  // Only a parity's lowest bit has meaning; any other value would move the kept rows
  // outside the pictures.
  const int kept = keptParity & 1, first = firstParity & 1;
  const u8* r = first == kept ? frames[1] : frames[2];
  const u8* c = first == kept ? frames[0] : frames[1];
  const int h = size.height;
  if (copyKept) CopyKeptRows(r, srcStep, dst, dstStep, size, kept);
  if (kept == 1) {
    CopyOneRow(r, srcStep, dst, dstStep, size.width, 0);
    if (h & 1) CopyOneRow(r, srcStep, dst, dstStep, size.width, h - 1);
  } else if (!(h & 1)) {
    CopyOneRow(r, srcStep, dst, dstStep, size.width, h - 1);
  }
  for (int y = kept ? 2 : 1; y < h - 1; y += 2)
    MotionAdaptiveRow(frames, r, c, srcStep, Row(dst, dstStep, y), y, size.width, threshold, strict);
  return IMG_OK;
}

ImgStatus ImgDeinterlaceBlendLevel0(const u8* const frames[3], int srcStep, u8* dst, int dstStep, ImgSize size,
                                    int firstParity, int keptParity, int copyKept,
                                    const ImgDeinterlaceBlendState* state) {
  if (!frames || !dst || !state || !frames[0] || !frames[1] || !frames[2] || !state->weights) return IMG_ERR_NULL;
  if (size.width <= 2 || size.height <= 2) return IMG_ERR_SIZE;
  const int kept = keptParity & 1, first = firstParity & 1;
  const u8* cur = frames[1];
  const u8* t = first == kept ? frames[0] : frames[2];
  const int w = size.width, h = size.height;
  if (copyKept) CopyKeptRows(cur, srcStep, dst, dstStep, size, kept);
  // With the odd rows kept, row 0 has no row above to rebuild from.
  if (kept == 1) CopyOneRow(cur, srcStep, dst, dstStep, w, 0);
  for (int y = kept ? 2 : 1; y <= h - 2; y += 2) {
    const BlendRows rows{Row(cur, srcStep, y),           Row(cur, srcStep, y - 1),
                         Row(cur, srcStep, y + 1),       Row(frames[0], srcStep, y - 1),
                         Row(frames[0], srcStep, y + 1), Row(frames[2], srcStep, y - 1),
                         Row(frames[2], srcStep, y + 1), Row(t, srcStep, y)};
    u8* d = Row(dst, dstStep, y);
    d[0] = BlendEdge(rows, 0, kept, state->weights);
    for (int x = 1; x < w - 1; ++x) d[x] = BlendInterior(rows, x, state);
    d[w - 1] = BlendEdge(rows, w - 1, kept, state->weights);
  }
  if (((h - 1) & 1) != kept) CopyOneRow(cur, srcStep, dst, dstStep, w, h - 1);
  return IMG_OK;
}
