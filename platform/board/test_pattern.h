// The simulated signal's pictures and sound: a test pattern whose every frame carries its
// number in a block code (readable back from the luma of a delivered or decoded frame)
// and a bar that moves with the frame number; the preview path's tiled macroblock layout;
// and a stereo tone.
#pragma once

#include <cstdint>
#include <vector>

namespace platform::board {

// Planar I420 (Y, then U, then V; chroma (w / 2) x (h / 2)) of frame `number` at w x h.
// The code occupies a 128 x 64 luma block at the top left: 32 bits, 8 to a row, 16 x 16
// pixels each (235 for 1, 16 for 0), least significant bit first.
std::vector<uint8_t> TestPatternI420(uint32_t w, uint32_t h, uint32_t number);
// The number a luma plane's code carries (each block judged at its centre); -1 when the
// picture is too small for the code.
int64_t ReadPatternNumber(const uint8_t* luma, uint32_t stride, uint32_t w, uint32_t h);

// The preview layout of an I420 picture: macroblocks in raster order, ceil16(w) / 16 to a
// row, each 256 luma bytes (16 rows of 16) then 128 chroma bytes (8 rows of 8 pairs, U
// first); padding outside the picture is black. Returned as 32-bit words.
std::vector<uint32_t> TilePreview(const std::vector<uint8_t>& i420, uint32_t w, uint32_t h);

// `samples` 16-bit samples (an even count) of a 1 kHz tone at 48 kHz on one channel,
// starting at sample `first`, two to a word, the earlier in the low half.
std::vector<uint32_t> ToneMono16(uint64_t first, uint32_t samples);

}  // namespace platform::board
