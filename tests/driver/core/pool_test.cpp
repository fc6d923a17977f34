// The pool routines behind the image library's memory hooks: zero fill, overflow
// refusal, and reallocation that keeps the bytes and leaves the old block alone when it
// cannot grow.
#include "driver/core/pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

constexpr ULONG kTag = MakePoolTag("Wdm ");

class DriverPoolTest : public vorlix_test::KernelTest {
 protected:
  void TearDown() override {
    pk::ClearPoolFaults();
    EXPECT_EQ(pk::PoolStats(kTag).liveBlocks, 0);
    KernelTest::TearDown();
  }
};

TEST_F(DriverPoolTest, CallocZeroFillsAndRefusesOverflow) {
  // A pool that hands out dirty memory: fill a block, free it, take the same size again.
  void* dirty = DriverMalloc(4096);
  ASSERT_NE(dirty, nullptr);
  memset(dirty, 0xA5, 4096);
  DriverFree(dirty);
  auto* block = static_cast<unsigned char*>(DriverCalloc(64, 64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0) << i;
  DriverFree(block);

  struct Case {
    uint64_t count, size;
  };
  // count x size wraps: no block at all, and no allocation asked of the pool.
  for (const Case& c : {Case{~uint64_t(0), 2}, Case{uint64_t(1) << 32, uint64_t(1) << 32}, Case{3, ~uint64_t(0) / 2}}) {
    uint64_t before = pk::PoolAllocationCount();
    EXPECT_EQ(DriverCalloc(c.count, c.size), nullptr);
    EXPECT_EQ(pk::PoolAllocationCount(), before);
  }
  // A size just under the header's room is refused by the malloc too.
  EXPECT_EQ(DriverMalloc(~uint64_t(0) - 10), nullptr);

  // A zero-byte result writes nothing; the block (if any) is freed as usual.
  void* empty = DriverCalloc(0, 16);
  DriverFree(empty);
  empty = DriverCalloc(16, 0);
  DriverFree(empty);
  // No memory: null.
  pk::FailAllocationsWithTag(kTag, 1);
  EXPECT_EQ(DriverCalloc(4, 4), nullptr);
}

TEST_F(DriverPoolTest, ReallocKeepsTheBytesAndTheOldBlockWhenItCannotGrow) {
  auto* block = static_cast<unsigned char*>(DriverMalloc(256));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 256; ++i) block[i] = (unsigned char)i;

  // Shrink: the first 100 bytes stay.
  auto* smaller = static_cast<unsigned char*>(DriverRealloc(block, 100));
  ASSERT_NE(smaller, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(smaller[i], (unsigned char)i);

  // Grow: all old bytes stay.
  auto* larger = static_cast<unsigned char*>(DriverRealloc(smaller, 1000));
  ASSERT_NE(larger, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(larger[i], (unsigned char)i);
  EXPECT_EQ(pk::PoolStats(kTag).liveBlocks, 1);

  // Growing fails: null, and the old block is still valid and still owned.
  pk::FailAllocationsWithTag(kTag, 1);
  EXPECT_EQ(DriverRealloc(larger, 5000), nullptr);
  pk::ClearPoolFaults();
  EXPECT_EQ(pk::PoolStats(kTag).liveBlocks, 1);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(larger[i], (unsigned char)i);

  // A null block is a plain allocation.
  void* fresh = DriverRealloc(nullptr, 32);
  ASSERT_NE(fresh, nullptr);
  DriverFree(fresh);
  DriverFree(larger);
  DriverFree(nullptr);
}

}  // namespace
