// The verifier catches what would stop a checked machine, names the offending call, and
// the test main fails the test in which it happened.
#include <cstdio>
#include <string>
#include <unistd.h>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

using VerifierTest = vorlix_test::KernelTest;

constexpr ULONG kTag = MakePoolTag("Leak");

TEST_F(VerifierTest, CatchesPoolLeakedAtUnload) {
  pk::PoolSnapshot beforeLoad;
  void* kept = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  void* freed = ExAllocatePoolWithTag(NonPagedPool, 50, kTag);
  ExFreePoolWithTag(freed, kTag);
  EXPECT_FALSE(pk::CheckPoolLeaksAtUnload("VORLIX", &beforeLoad));
  auto failures = pk::TakeVerifierFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].call, "DriverUnload");
  EXPECT_NE(failures[0].detail.find("tag 'Leak', 1 block(s), 100 bytes"), std::string::npos) << failures[0].detail;
  EXPECT_EQ(failures[0].code, (ULONG)DRIVER_VERIFIER_DETECTED_VIOLATION);
  ExFreePoolWithTag(kept, kTag);
  EXPECT_TRUE(pk::CheckPoolLeaksAtUnload("VORLIX", &beforeLoad));
  EXPECT_TRUE(pk::VerifierFailures().empty());
}

TEST_F(VerifierTest, CatchesWaitAtDispatchLevel) {
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  // No time-out at dispatch level: reported, and the wait does not block.
  EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
  // A zero time-out (a poll) is allowed there.
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeLowerIrql(old);
  auto failures = pk::TakeVerifierFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].call, "KeWaitForSingleObject");
  EXPECT_NE(failures[0].detail.find("IRQL 2"), std::string::npos) << failures[0].detail;
  EXPECT_EQ(failures[0].code, (ULONG)IRQL_NOT_LESS_OR_EQUAL);
}

TEST_F(VerifierTest, CatchesMisuseAcrossTheKernel) {
  struct Case {
    const char* name;
    void (*misuse)();
    const char* call;
  } cases[] = {
      {"wrong-tag free", [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), MakePoolTag("Othr")); },
       "ExFreePoolWithTag"},
      {"free of an address inside a block",
       [] {
         char* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 256, kTag));
         ExFreePool(p + 128);
         ExFreePool(p);
       },
       "ExFreePool"},
      {"delay at dispatch level",
       [] {
         pk::ScopedIrql dpc(DISPATCH_LEVEL);
         LARGE_INTEGER t;
         t.QuadPart = -10000;
         KeDelayExecutionThread(KernelMode, FALSE, &t);
       },
       "KeDelayExecutionThread"},
      {"close of a handle that is not open", [] { ZwClose((HANDLE)(ULONG_PTR)0xFFFFFFFF8FFFFFF0ULL); }, "ZwClose"},
      {"bug check", [] { KeBugCheckEx(0xDEAD, 1, 2, 3, 4); }, "KeBugCheckEx"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.misuse();
    auto failures = pk::TakeVerifierFailures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].call, c.call);
  }
}

// Run by the test below in a child process; it fails there on purpose.
TEST_F(VerifierTest, DISABLED_LeaksAndWaitsAtDispatchOnPurpose) {
  pk::PoolSnapshot before;
  void* leaked = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
  pk::CheckPoolLeaksAtUnload("VORLIX", &before);
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, TRUE);
  pk::ScopedIrql dpc(DISPATCH_LEVEL);
  KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
  ExFreePoolWithTag(leaked, kTag);  // the process ends with no block left (sanitizer builds)
}

TEST_F(VerifierTest, TestMainFailsTheTestWithTheOffendingCall) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = 0;
  std::string cmd =
      std::string("'") + self +
      "' --gtest_also_run_disabled_tests --gtest_filter=VerifierTest.DISABLED_LeaksAndWaitsAtDispatchOnPurpose 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  int status = pclose(p);
  EXPECT_NE(status, 0) << out;
  EXPECT_NE(out.find("verifier: DriverUnload: pool leaked at unload of VORLIX: tag 'Leak'"), std::string::npos) << out;
  EXPECT_NE(out.find("verifier: KeWaitForSingleObject: wait with no time-out at IRQL 2"), std::string::npos) << out;
  EXPECT_NE(out.find("[  FAILED  ] VerifierTest.DISABLED_LeaksAndWaitsAtDispatchOnPurpose"), std::string::npos) << out;
}

}  // namespace
