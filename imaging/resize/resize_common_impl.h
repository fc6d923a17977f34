// Helpers shared by the resize engines. Included by each processor-level unit after it
// defines RESIZE_LEVEL; everything here has internal linkage so that no level's copy
// can stand in for another's.
#pragma once

#include <climits>
#include <cmath>
#include <cstddef>

#include "imaging/core/copy.h"
#include "imaging/core/dispatch.h"
#include "imaging/core/memory.h"
#include "imaging/resize/resize_internal.h"

#ifndef RESIZE_LEVEL
#error "RESIZE_LEVEL must name the processor level of the including unit"
#endif

namespace {

// Snap that absorbs the error of positions accumulated by repeated addition.
constexpr double kSnap = 0.0000001;

// The area-average engines' source rows for destination row y when the period is not a
// whole number of rows. Cell 0 takes its whole rows, then its share of the row the cell
// boundary cuts; each later cell takes what that cut row has left, its own whole rows,
// then its share of the next cut row. `cur` (the cut row) and `tail` (the share of it
// already taken) carry from one cell to the next. addRow(row, whole, weight).
template <typename AddRow>
inline void AddCutCellRows(int32_t y, double period, int64_t& cur, double& tail, const AddRow& addRow) {
  if (y == 0) {
    const double whole = std::floor(period);
    for (int64_t r = 0; r < int64_t(whole); ++r) addRow(cur++, true, 1.0);
    tail = period - whole;
    addRow(cur, false, tail);
    return;
  }
  double lead = 1.0 - tail;
  double rest = period - lead;
  double nWhole = std::floor(rest + kSnap);
  tail = rest - nWhole;
  // A cut row whose part in this cell is negligible belonged to the previous cell.
  if (lead > kSnap) addRow(cur, false, lead);
  ++cur;
  for (int64_t r = 0; r < int64_t(nWhole); ++r) addRow(cur++, true, 1.0);
  if (tail > kSnap) addRow(cur, false, tail);
}

// Work memory. Counts are 64-bit so that no size can wrap to a small block; a block
// that would not fit the allocators' 32-bit byte counts is refused like a lack of memory.
inline void* WorkAllocBytes(int64_t bytes) {
  if (bytes <= 0 || bytes > INT32_MAX) return nullptr;
#if RESIZE_LEVEL == 4
  return img::level4::ImgMalloc(int32_t(bytes));
#else
  return ImgMallocLevel0(int32_t(bytes));
#endif
}
inline void* WorkAlloc32(int64_t n) {
  if (n <= 0 || n > INT32_MAX / 4) return nullptr;
#if RESIZE_LEVEL == 4
  return img::level4::ImgMalloc32(int32_t(n));
#else
  return ImgMalloc32(int32_t(n));
#endif
}
inline void* WorkAlloc16(int64_t n) {
  if (n <= 0 || n > INT32_MAX / 2) return nullptr;
#if RESIZE_LEVEL == 4
  return img::level4::ImgMalloc16(int32_t(n));
#else
  return ImgMalloc16(int32_t(n));
#endif
}
inline void WorkFree(void* p) {
  if (!p) return;
#if RESIZE_LEVEL == 4
  img::level4::ImgFree(p);
#else
  ImgFreeLevel0(p);
#endif
}

// Frees every block it was handed when it goes out of scope.
template <int N>
struct WorkBlocks {
  void* p[N] = {};
  ~WorkBlocks() {
    for (int i = N - 1; i >= 0; --i) WorkFree(p[i]);
  }
};

// Base index of a position: trunc(position + snap), kept inside int32 so that a
// position far outside the image still yields an index the caller can clamp.
inline int32_t BaseIndex(double pos) {
  double v = pos + kSnap;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return int32_t(v);
}

inline int32_t ClampIndex(int32_t j, int32_t lo, int32_t hi) { return j < lo ? lo : (j > hi ? hi : j); }

// Destination extent from a region extent and a factor (destination pixels per source
// pixel): min(limit, trunc(n * f + snap)); 0 becomes `raisedTo` when the product
// reaches `raiseAt`, else the destination is empty. `raised` tells the caller that the
// extent was raised, i.e. that its cells reach past the region.
inline ImgStatus SizeByProduct(int32_t n, double f, int32_t limit, int32_t minimum, double raiseAt, int32_t* out,
                               bool* raised) {
  double v = double(n) * f + kSnap;
  *raised = false;
  if (v >= double(limit)) {
    *out = limit;
    return IMG_OK;
  }
  int32_t c = int32_t(v);
  if (c >= minimum) {
    *out = c;
    return IMG_OK;
  }
  if (v >= raiseAt) {
    *out = minimum;
    *raised = true;
    return IMG_OK;
  }
  return IMG_ERR_EMPTY_DESTINATION;
}

inline u8 ClampU8(double v) { return v <= 0.0 ? u8(0) : (v >= 255.0 ? u8(255) : u8(v)); }

}  // namespace
