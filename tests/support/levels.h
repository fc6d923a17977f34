// Helpers for tests that run every processor level of an image routine against level 0.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "imaging/core/cpu.h"

namespace vorlix_test {

// The levels above 0 whose instructions this processor can execute.
inline std::vector<CpuLevel> RunnableLevels() {
  std::vector<CpuLevel> levels;
  for (CpuLevel l = 1; l < CPU_LEVEL_COUNT; ++l)
    if (CpuCanRunLevel(l)) levels.push_back(l);
  return levels;
}

// A reproducible source of sizes, steps and contents; the seed is printed on failure.
class Random {
 public:
  explicit Random(uint32_t seed = 0x5EEDu) : engine_(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine_); }
  void Fill(void* p, size_t bytes) {
    auto* b = static_cast<uint8_t*>(p);
    for (size_t i = 0; i < bytes; ++i) b[i] = uint8_t(engine_());
  }
  std::mt19937& Engine() { return engine_; }

 private:
  std::mt19937 engine_;
};

}  // namespace vorlix_test
