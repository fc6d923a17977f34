// The encoder's H.264 engine in the simulated board: one encoder per stream, fed I420
// pictures, giving one Annex B access unit per picture. Output is deterministic (one
// thread, no scene cuts, no lookahead) and every IDR carries its parameter sets, so a
// consumer may join at any IDR.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace platform::board {

struct H264Settings {
  uint32_t width = 0, height = 0;
  uint32_t fpsNum = 30, fpsDen = 1;
  uint32_t gop = 30;         // IDR period in frames (1 = every frame)
  bool constantQp = true;    // else constant bit rate with filler
  uint32_t qp = 26;          // 1-51
  uint32_t bitRateKbit = 0;  // kbit/s for constant bit rate
  int levelIdc = 0;          // 0: chosen from the size and rate
};

// The level a size and rate need (10 x the level number).
int H264LevelFor(uint32_t width, uint32_t height, double fps);

class H264Model {
 public:
  H264Model();
  ~H264Model();
  H264Model(const H264Model&) = delete;
  H264Model& operator=(const H264Model&) = delete;

  // False when the encoder refuses the settings.
  bool Open(const H264Settings& settings);
  bool IsOpen() const;
  const H264Settings& settings() const { return settings_; }
  // One access unit for an I420 picture of the opened size; frameType 0 = I (IDR), 1 = P,
  // 2 = B. Empty on failure.
  std::vector<uint8_t> Encode(const uint8_t* i420, int* frameType);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  H264Settings settings_;
};

}  // namespace platform::board
