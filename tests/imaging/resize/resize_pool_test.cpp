// The driver's two resize calls on the driver's own pool: every allocation the call makes
// is refused in turn by the pool's fault injection; each refusal ends the call with -9,
// leaves the destination as it was and leaves no block behind.
#include <gtest/gtest.h>

#include <vector>

#include "imaging/img.h"
#include "imaging/resize/resize.h"
#include "platform/kernel/machine.h"
#include "tests/support/levels.h"

namespace {

namespace pk = platform::kernel;
constexpr ULONG kImageTag = MakePoolTag("Wdm ");

struct DriverCall {
  const char* what;
  ImgStatus (*run)(const std::vector<u8>& src, std::vector<u8>& dst);
};

const DriverCall kCalls[] = {
    {"field to frame",
     [](const std::vector<u8>& src, std::vector<u8>& dst) {
       return ImgResizeU8C1(src.data(), {64, 20}, 128, {0, 0, 64, 20}, dst.data(), 64, {64, 40}, 1.0, 2.0,
                            IMG_INTERP_LINEAR);
     }},
    {"packed 4:2:2 to the pin's size",
     [](const std::vector<u8>& src, std::vector<u8>& dst) {
       return ImgResizeYuy2(src.data(), {32, 40}, 64, {0, 0, 32, 40}, dst.data(), 40, {20, 30}, 20.0 / 32, 30.0 / 40,
                            IMG_INTERP_LINEAR);
     }},
};

TEST(ResizeOnThePool, EveryRefusedAllocationEndsWithNoMemoryAndNothingWritten) {
  std::vector<u8> src(64 * 40);
  vorlix_test::Random(1).Fill(src.data(), src.size());
  for (const DriverCall& call : kCalls) {
    std::vector<u8> dst(64 * 40, 0x5A);
    const uint64_t before = pk::PoolStats(kImageTag).allocations;
    ASSERT_EQ(call.run(src, dst), IMG_OK) << call.what;
    const uint64_t taken = pk::PoolStats(kImageTag).allocations - before;
    ASSERT_GT(taken, 0u) << call.what;
    for (uint64_t k = 1; k <= taken; ++k) {
      std::vector<u8> untouched(64 * 40, 0x5A);
      pk::PoolSnapshot snapshot;
      pk::FailNthAllocation(k, kImageTag);
      EXPECT_EQ(call.run(src, untouched), IMG_ERR_NO_MEMORY) << call.what << ", allocation " << k;
      pk::ClearPoolFaults();
      EXPECT_TRUE(snapshot.Leaked().empty()) << call.what << ", allocation " << k;
      EXPECT_EQ(untouched, std::vector<u8>(64 * 40, 0x5A)) << call.what << ", allocation " << k;
    }
  }
}

}  // namespace
