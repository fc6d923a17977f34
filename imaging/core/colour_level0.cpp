// Level 0 of the colour-format conversions: the scalar reference every other level
// reproduces bit for bit.
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
    C100(0), C100(100), C100(200), C100(300), C100(400),
    C100(500), C100(600), C100(700), C100(800), C100(900),
#undef C100
#undef C20
#undef C4
};

#define COLOUR_NAME(name) name##Level0
#define COLOUR_VECTOR 0
#include "imaging/core/colour_routines.h"
