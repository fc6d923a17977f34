#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "imaging/core/dispatch.h"
#include "imaging/core/memory.h"
#include "tests/support/levels.h"

namespace {

// Hooks that log every request and can refuse them, so a test sees exactly what the
// library asked of the pool.
struct PoolLog {
  std::vector<u64> mallocSizes;
  std::vector<void*> mallocResults;
  std::vector<void*> freed;
  bool fail = false;
};
PoolLog* g_log = nullptr;

void* LogMalloc(u64 size) {
  g_log->mallocSizes.push_back(size);
  void* p = g_log->fail ? nullptr : std::malloc(size);
  g_log->mallocResults.push_back(p);
  return p;
}
void* NoCalloc(u64, u64) {
  ADD_FAILURE() << "the library never calls Calloc";
  return nullptr;
}
void* NoRealloc(void*, u64) {
  ADD_FAILURE() << "the library never calls Realloc";
  return nullptr;
}
void LogFree(void* p) {
  g_log->freed.push_back(p);
  std::free(p);
}
constexpr ImgMemoryHookTable kLoggingHooks = {LogMalloc, NoCalloc, NoRealloc, LogFree};

class Memory : public ::testing::TestWithParam<CpuLevel> {
 protected:
  PoolLog log;
  void SetUp() override {
    g_log = &log;
    ImgInstallMemoryHooks(&kLoggingHooks);
  }
  void TearDown() override {
    ImgInstallMemoryHooks(nullptr);
    g_log = nullptr;
  }
  CpuLevel level() const { return GetParam(); }
  void* Malloc(int32_t n) { return ImgMallocTable[level()](n); }
  void Free(void* p) { ImgFreeTable[level()](p); }
};

std::vector<CpuLevel> AllRunnable() {
  std::vector<CpuLevel> levels{0};
  for (CpuLevel l : vorlix_test::RunnableLevels()) levels.push_back(l);
  return levels;
}

TEST_P(Memory, MallocAlignsAndRemembersTheRawBlock) {
  void* block = Malloc(1);
  ASSERT_NE(block, nullptr);
  ASSERT_EQ(log.mallocSizes, std::vector<u64>{41});
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 32, 0u);
  EXPECT_EQ(static_cast<void**>(block)[-1], log.mallocResults[0]);
  Free(block);
  EXPECT_EQ(log.freed, std::vector<void*>{log.mallocResults[0]});
}

TEST_P(Memory, NonPositiveSizesNeverReachThePool) {
  EXPECT_EQ(Malloc(0), nullptr);
  EXPECT_EQ(Malloc(-5), nullptr);
  EXPECT_EQ(Malloc(INT32_MIN), nullptr);
  Free(nullptr);
  EXPECT_TRUE(log.mallocSizes.empty());
  EXPECT_TRUE(log.freed.empty());
}

TEST_P(Memory, PoolFailureGivesNull) {
  log.fail = true;
  EXPECT_EQ(Malloc(100), nullptr);
  int32_t step = -1;
  EXPECT_EQ(ImgAllocImage8Table[level()](10, 10, &step), nullptr);
  EXPECT_EQ(step, 32);
  EXPECT_TRUE(log.freed.empty());
}

TEST_P(Memory, ImageRowsRoundUpToThirtyTwoBytes) {
  struct Case {
    int bytesPerPixel;
    int32_t width, height;
    int32_t step;
  } cases[] = {
      {1, 33, 2, 64}, {1, 32, 1, 32}, {1, 1, 7, 32}, {2, 1, 1, 32},
      {2, 17, 2, 64}, {4, 8, 3, 32},  {4, 9, 3, 64}, {4, 1920, 1080, 7680},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bytesPerPixel << " bytes, " << c.width << " x " << c.height);
    log.mallocSizes.clear();
    int32_t step = -1;
    void* image = c.bytesPerPixel == 1   ? static_cast<void*>(ImgAllocImage8Table[level()](c.width, c.height, &step))
                  : c.bytesPerPixel == 2 ? static_cast<void*>(ImgAllocImage16Table[level()](c.width, c.height, &step))
                                         : static_cast<void*>(ImgAllocImage32Table[level()](c.width, c.height, &step));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(step, c.step);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(image) % 32, 0u);
    ASSERT_EQ(log.mallocSizes.size(), 1u);
    EXPECT_EQ(log.mallocSizes[0], u64(c.step) * u64(c.height) + 40);
    ImgFreeImageTable[level()](image);
    EXPECT_EQ(log.freed.back(), log.mallocResults.back());
  }
}

TEST_P(Memory, ImageRefusals) {
  struct Case {
    const char* what;
    int32_t width, height;
    int bytesPerPixel;
    int32_t expectedStep;  // what *step holds afterwards (-1: untouched)
  } cases[] = {
      {"zero width", 0, 5, 1, 0},
      {"negative height", 5, -1, 1, 0},
      {"step beyond 31 bits", INT32_MAX, 1, 4, 0},
      {"step x height beyond 31 bits", 65536, 32768, 1, 0},
      {"2 GiB of 16-bit pixels wraps in 32 bits", 32768, 65536, 2, 0},
      // Products that do not fit in 64 bits either: refused before they are formed.
      {"widest and tallest 8-bit image", INT32_MAX, INT32_MAX, 1, 0},
      {"widest and tallest 32-bit image", INT32_MAX, INT32_MAX, 4, 0},
      {"one row short of 2 GiB, tallest", 65536, INT32_MAX, 1, 0},
      {"narrowest, tallest", 1, INT32_MAX, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int32_t step = -1;
    void* image = c.bytesPerPixel == 1   ? static_cast<void*>(ImgAllocImage8Table[level()](c.width, c.height, &step))
                  : c.bytesPerPixel == 2 ? static_cast<void*>(ImgAllocImage16Table[level()](c.width, c.height, &step))
                                         : static_cast<void*>(ImgAllocImage32Table[level()](c.width, c.height, &step));
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(step, c.expectedStep);
  }
  EXPECT_EQ(ImgAllocImage8Table[level()](4, 4, nullptr), nullptr);
  EXPECT_TRUE(log.mallocSizes.empty());
}

INSTANTIATE_TEST_SUITE_P(Levels, Memory, ::testing::ValuesIn(AllRunnable()),
                         [](const ::testing::TestParamInfo<CpuLevel>& i) { return "level" + std::to_string(i.param); });

class ElementAlloc : public Memory {};

TEST_P(ElementAlloc, ElementCountsScaleInSixtyFourBits) {
  if (!CpuCanRunLevel(level())) GTEST_SKIP() << "this processor cannot run level " << level();
  using Fn = void* (*)(int32_t);
  Fn alloc32 = level() == 4 ? img::level4::ImgMalloc32 : ImgMalloc32;
  Fn alloc16 = level() == 4 ? img::level4::ImgMalloc16 : ImgMalloc16;

  void* a = alloc32(10);
  void* b = alloc16(10);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(log.mallocSizes, (std::vector<u64>{40 + 40, 20 + 40}));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 32, 0u);
  ImgFreeLevel0(a);
  ImgFreeLevel0(b);
  EXPECT_EQ(log.freed, log.mallocResults);

  log.mallocSizes.clear();
  // 4 x 0x40000001 is 4 in 32-bit arithmetic: a tiny block for a 4 GiB request.
  EXPECT_EQ(alloc32(0x40000001), nullptr);
  EXPECT_EQ(alloc32(0x20000000), nullptr);  // exactly 2 GiB: one past the largest size
  EXPECT_EQ(alloc16(0x40000000), nullptr);
  EXPECT_EQ(alloc32(0), nullptr);
  EXPECT_EQ(alloc16(-1), nullptr);
  EXPECT_TRUE(log.mallocSizes.empty());
}

INSTANTIATE_TEST_SUITE_P(Levels, ElementAlloc, ::testing::Values(0, 4),
                         [](const ::testing::TestParamInfo<CpuLevel>& i) { return "level" + std::to_string(i.param); });

TEST(MemoryHooks, BoundToTheDriverPool) {
  // The library's own hooks go to the driver's pool: a block round-trips through them.
  ASSERT_EQ(ImgCurrentMemoryHooks(), &ImgMemoryHooks);
  void* block = ImgMalloc(1000);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 32, 0u);
  static_cast<u8*>(block)[999] = 1;
  ImgFree(block);
  ImgFree(nullptr);
}

}  // namespace
