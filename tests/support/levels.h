// Helpers for tests that run every processor level of an image routine against level 0.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <source_location>
#include <string>
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

// The run's seed, from VORLIX_TEST_SEED (decimal, or hex with 0x); 0 when it is unset.
// Seed 0 keeps every test's own fixed contents; any other value varies all of them.
inline uint32_t RunSeed() {
  static const uint32_t seed = [] {
    const char* text = std::getenv("VORLIX_TEST_SEED");
    if (!text || !*text) return 0u;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || value > UINT32_MAX) {
      std::fprintf(stderr, "VORLIX_TEST_SEED=%s is not a 32-bit number\n", text);
      std::abort();
    }
    return uint32_t(value);
  }();
  return seed;
}

// A reproducible source of sizes, steps and contents. `stream` tells a test's sources
// apart; the run's seed varies them all. While the source lives, every failure message
// names its stream and the run's seed, so setting VORLIX_TEST_SEED to the printed value
// repeats the failing contents.
class Random {
 public:
  explicit Random(uint32_t stream = 0x5EEDu, std::source_location where = std::source_location::current())
      : engine_(EngineSeed(stream, RunSeed())),
        trace_(where.file_name(), int(where.line()),
               "random stream " + std::to_string(stream) + ", VORLIX_TEST_SEED=" + std::to_string(RunSeed())) {}
  Random(const Random&) = delete;
  Random& operator=(const Random&) = delete;

  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine_); }
  void Fill(void* p, size_t bytes) {
    auto* b = static_cast<uint8_t*>(p);
    for (size_t i = 0; i < bytes; ++i) b[i] = uint8_t(engine_());
  }
  std::mt19937& Engine() { return engine_; }

 private:
  // Run seed 0 seeds the engine with the stream itself; any other run seed is mixed in.
  static uint32_t EngineSeed(uint32_t stream, uint32_t run) {
    if (run == 0) return stream;
    uint64_t z = (uint64_t(run) << 32 | stream) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return uint32_t(z ^ (z >> 31));
  }

  std::mt19937 engine_;
  ::testing::ScopedTrace trace_;
};

}  // namespace vorlix_test
