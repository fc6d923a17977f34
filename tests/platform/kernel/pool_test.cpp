// Pool accounting, alignment and fault injection.
#include <cstdint>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

using PoolTest = vorlix_test::KernelTest;

constexpr ULONG kA = MakePoolTag("PtA ");
constexpr ULONG kB = MakePoolTag("PtB ");

TEST_F(PoolTest, CountsLiveBlocksAndBytesPerTag) {
  pk::PoolTagStats a0 = pk::PoolStats(kA), b0 = pk::PoolStats(kB);
  void* p = ExAllocatePoolWithTag(NonPagedPool, 100, kA);
  void* q = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 7, kA);
  void* r = ExAllocatePoolWithTag(NonPagedPool, 0, kB);
  ASSERT_TRUE(p && q && r);
  EXPECT_EQ((uintptr_t)p % 16, 0u);
  EXPECT_EQ((uintptr_t)q % 64, 0u);
  pk::PoolTagStats a = pk::PoolStats(kA), b = pk::PoolStats(kB);
  EXPECT_EQ(a.liveBlocks - a0.liveBlocks, 2);
  EXPECT_EQ(a.liveBytes - a0.liveBytes, 107);
  EXPECT_EQ(b.liveBlocks - b0.liveBlocks, 1);
  ExFreePoolWithTag(p, kA);
  ExFreePool(q);
  ExFreePoolWithTag(r, kB | PROTECTED_POOL);  // the protected bit is not part of the tag
  a = pk::PoolStats(kA);
  EXPECT_EQ(a.liveBlocks, a0.liveBlocks);
  EXPECT_EQ(a.liveBytes, a0.liveBytes);
  EXPECT_EQ(a.allocations - a0.allocations, 2u);
  EXPECT_EQ(a.frees - a0.frees, 2u);
  EXPECT_TRUE(pk::VerifierFailures().empty());
}

TEST_F(PoolTest, ContentsAreNotZeroed) {
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 64, kA));
  ASSERT_NE(p, nullptr);
  int zeros = 0;
  for (int i = 0; i < 64; ++i) zeros += p[i] == 0;
  EXPECT_LT(zeros, 64);
  ExFreePoolWithTag(p, kA);
}

TEST_F(PoolTest, FailsTheNthAllocation) {
  struct Case {
    uint64_t n;
    ULONG ruleTag;
    ULONG tags[5];
    bool refused[5];
  } cases[] = {
      {1, 0, {kA, kA, kA, kA, kA}, {true, false, false, false, false}},
      {3, 0, {kA, kB, kA, kB, kA}, {false, false, true, false, false}},
      {2, kB, {kA, kB, kA, kB, kB}, {false, false, false, true, false}},  // counts only kB
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    pk::FailNthAllocation(c.n, c.ruleTag);
    for (int i = 0; i < 5; ++i) {
      void* p = ExAllocatePoolWithTag(NonPagedPool, 16, c.tags[i]);
      EXPECT_EQ(p == nullptr, c.refused[i]) << "allocation " << i + 1;
      if (p) ExFreePoolWithTag(p, c.tags[i]);
    }
  }
}

TEST_F(PoolTest, FailsByTagUntilCleared) {
  uint64_t failed0 = pk::PoolStats(kB).failures;
  pk::FailAllocationsWithTag(kB);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kB), nullptr);
  void* a = ExAllocatePoolWithTag(NonPagedPool, 8, kA);
  EXPECT_NE(a, nullptr);
  ExFreePoolWithTag(a, kA);
  EXPECT_EQ(pk::PoolStats(kB).failures - failed0, 3u);
  pk::ClearPoolFaults();
  void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kB);
  EXPECT_NE(b, nullptr);
  ExFreePoolWithTag(b, kB);

  pk::FailAllocationsWithTag(kB, 2);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kB), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kB), nullptr);
  b = ExAllocatePoolWithTag(NonPagedPool, 8, kB);
  EXPECT_NE(b, nullptr);
  ExFreePoolWithTag(b, kB);
}

TEST_F(PoolTest, CallLogRecordsAddressesAndSizes) {
  pk::EnablePoolCallLog(true);
  void* p = ExAllocatePoolWithTag(NonPagedPool, 24, kA);
  pk::FailNthAllocation(1);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kA), nullptr);
  ExFreePoolWithTag(p, kA);
  auto log = pk::PoolCallLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_FALSE(log[0].free);
  EXPECT_EQ(log[0].size, 24u);
  EXPECT_EQ(log[0].address, p);
  EXPECT_EQ(log[1].address, nullptr);
  EXPECT_TRUE(log[2].free);
  EXPECT_EQ(log[2].address, p);
}

TEST_F(PoolTest, WrongTagFreeIsReportedWithBothTags) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kA);
  ExFreePoolWithTag(p, kB);
  auto failures = pk::TakeVerifierFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].call, "ExFreePoolWithTag");
  EXPECT_NE(failures[0].detail.find("tag 'PtB '"), std::string::npos);
  EXPECT_NE(failures[0].detail.find("allocated with tag 'PtA '"), std::string::npos);
  EXPECT_EQ(failures[0].code, (ULONG)BAD_POOL_CALLER);
}

TEST_F(PoolTest, StringConversionAllocatesFromPoolAndCanFail) {
  ANSI_STRING a;
  RtlInitAnsiString(&a, "Name\xA1\xD1");
  UNICODE_STRING u;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(u.Length, 12);
  EXPECT_EQ(u.Buffer[0], u'N');
  EXPECT_EQ(u.Buffer[4], (WCHAR)0xA1);
  EXPECT_EQ(u.Buffer[6], 0);
  EXPECT_EQ(pk::PoolStats(MakePoolTag("Strg")).liveBlocks, 1);
  RtlFreeUnicodeString(&u);
  EXPECT_EQ(u.Buffer, nullptr);
  pk::FailAllocationsWithTag(MakePoolTag("Strg"), 1);
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_NO_MEMORY);
  EXPECT_EQ(u.Buffer, nullptr);
}

}  // namespace
