#include "platform/board/test_pattern.h"

#include <cmath>
#include <cstring>

namespace platform::board {

namespace {
constexpr uint32_t kBlock = 16;
constexpr uint32_t kCodeColumns = 8;
constexpr uint32_t kCodeRows = 4;
}  // namespace

std::vector<uint8_t> TestPatternI420(uint32_t w, uint32_t h, uint32_t number) {
  const size_t luma = (size_t)w * h;
  const uint32_t cw = w / 2, ch = h / 2;
  std::vector<uint8_t> out(luma + 2 * (size_t)cw * ch);
  if (w == 0 || h == 0) return out;
  uint8_t* y = out.data();
  uint8_t* u = y + luma;
  uint8_t* v = u + (size_t)cw * ch;
  // A horizontal luma ramp and eight vertical chroma bands: stills that compress well.
  // Every row is the same: one is computed, the others copied.
  for (uint32_t x = 0; x < w; ++x) y[x] = (uint8_t)(32 + (x * 192) / w);
  for (uint32_t row = 1; row < h; ++row) std::memcpy(y + (size_t)row * w, y, w);
  for (uint32_t x = 0; x < cw; ++x) {
    uint32_t band = (x * 8) / cw;
    u[x] = (uint8_t)(64 + band * 16);
    v[x] = (uint8_t)(192 - band * 16);
  }
  for (uint32_t row = 1; row < ch; ++row) {
    std::memcpy(u + (size_t)row * cw, u, cw);
    std::memcpy(v + (size_t)row * cw, v, cw);
  }
  // The moving bar: 32 pixels wide, 8 pixels a frame.
  if (w >= 32) {
    uint32_t x0 = (number * 8) % (w - 31);
    for (uint32_t row = 0; row < h; ++row) std::memset(y + (size_t)row * w + x0, 250, 32);
    for (uint32_t row = 0; row < ch; ++row) std::memset(u + (size_t)row * cw + x0 / 2, 90, 16);
  }
  // The frame number.
  if (w >= kBlock * kCodeColumns && h >= kBlock * kCodeRows) {
    for (uint32_t bit = 0; bit < 32; ++bit) {
      uint8_t level = ((number >> bit) & 1) ? 235 : 16;
      uint32_t bx = (bit % kCodeColumns) * kBlock, by = (bit / kCodeColumns) * kBlock;
      for (uint32_t row = 0; row < kBlock; ++row) std::memset(y + (size_t)(by + row) * w + bx, level, kBlock);
      for (uint32_t row = 0; row < kBlock / 2; ++row) {
        std::memset(u + (size_t)(by / 2 + row) * cw + bx / 2, 128, kBlock / 2);
        std::memset(v + (size_t)(by / 2 + row) * cw + bx / 2, 128, kBlock / 2);
      }
    }
  }
  return out;
}

int64_t ReadPatternNumber(const uint8_t* luma, uint32_t stride, uint32_t w, uint32_t h) {
  if (w < kBlock * kCodeColumns || h < kBlock * kCodeRows) return -1;
  uint32_t number = 0;
  for (uint32_t bit = 0; bit < 32; ++bit) {
    uint32_t cx = (bit % kCodeColumns) * kBlock + kBlock / 2, cy = (bit / kCodeColumns) * kBlock + kBlock / 2;
    if (luma[(size_t)cy * stride + cx] >= 128) number |= 1u << bit;
  }
  return number;
}

std::vector<uint32_t> TilePreview(const std::vector<uint8_t>& i420, uint32_t w, uint32_t h) {
  const uint32_t mw = (w + 15) / 16, mh = (h + 15) / 16;
  const uint32_t cw = w / 2, ch = h / 2;
  const uint8_t* y = i420.data();
  const uint8_t* u = y + (size_t)w * h;
  const uint8_t* v = u + (size_t)cw * ch;
  std::vector<uint32_t> words((size_t)mw * mh * 96);
  uint8_t* out = reinterpret_cast<uint8_t*>(words.data());
  for (uint32_t my = 0; my < mh; ++my)
    for (uint32_t mx = 0; mx < mw; ++mx) {
      uint8_t* mb = out + ((size_t)my * mw + mx) * 384;
      for (uint32_t row = 0; row < 16; ++row)
        for (uint32_t x = 0; x < 16; ++x) {
          uint32_t px = mx * 16 + x, py = my * 16 + row;
          mb[row * 16 + x] = (px < w && py < h) ? y[(size_t)py * w + px] : 16;
        }
      for (uint32_t row = 0; row < 8; ++row)
        for (uint32_t x = 0; x < 8; ++x) {
          uint32_t px = mx * 8 + x, py = my * 8 + row;
          bool in = px < cw && py < ch;
          mb[256 + row * 16 + 2 * x] = in ? u[(size_t)py * cw + px] : 128;
          mb[256 + row * 16 + 2 * x + 1] = in ? v[(size_t)py * cw + px] : 128;
        }
    }
  return words;
}

std::vector<uint32_t> ToneMono16(uint64_t first, uint32_t samples) {
  // 1 kHz at 48 kHz: 48 samples a period, so the phase repeats exactly.
  auto sample = [](uint64_t n) {
    return (uint16_t)(int16_t)std::lround(8000.0 * std::sin(2.0 * M_PI * (double)(n % 48) / 48.0));
  };
  std::vector<uint32_t> out(samples / 2);
  for (uint32_t i = 0; i < samples / 2; ++i)
    out[i] = (uint32_t)sample(first + 2 * i) | (uint32_t)sample(first + 2 * i + 1) << 16;
  return out;
}

}  // namespace platform::board
