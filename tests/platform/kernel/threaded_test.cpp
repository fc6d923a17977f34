// Threaded mode: DPCs on the machine's DPC thread, one at a time; timers that expire on
// their own; flushing. Meant for ThreadSanitizer runs as well.
#include <atomic>
#include <thread>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

class ThreadedTest : public vorlix_test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    pk::SetMode(pk::Mode::Threaded);
  }
};

struct Shared {
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> runs{0};
  std::atomic<bool> wrongIrql{false};
  std::thread::id thread;
  KEVENT done;
};

VOID CountingRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  auto* s = static_cast<Shared*>(context);
  if (s->running.fetch_add(1) != 0) s->overlaps.fetch_add(1);
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) s->wrongIrql = true;
  std::this_thread::yield();
  s->running.fetch_sub(1);
  s->runs.fetch_add(1);
  KeSetEvent(&s->done, 0, FALSE);
}

TEST_F(ThreadedTest, DpcsRunOnTheDpcThreadOneAtATime) {
  Shared s;
  KeInitializeEvent(&s.done, SynchronizationEvent, FALSE);
  constexpr int kObjects = 16;
  KDPC dpcs[kObjects];
  for (auto& d : dpcs) KeInitializeDpc(&d, CountingRoutine, &s);
  std::atomic<int> inserted{0};
  auto producer = [&](int first) {
    for (int round = 0; round < 200; ++round)
      for (int i = first; i < kObjects; i += 2)
        if (KeInsertQueueDpc(&dpcs[i], nullptr, nullptr)) inserted.fetch_add(1);
  };
  std::thread a(producer, 0), b(producer, 1);
  a.join();
  b.join();
  KeFlushQueuedDpcs();
  EXPECT_EQ(pk::PendingDpcCount(), 0u);
  EXPECT_EQ(s.runs.load(), inserted.load()) << "every successful insert runs exactly once";
  EXPECT_EQ(s.overlaps.load(), 0);
  EXPECT_FALSE(s.wrongIrql.load());
}

TEST_F(ThreadedTest, TimerOnTheTestClockRunsItsDpcWhenTheClockGetsThere) {
  Shared s;
  KeInitializeEvent(&s.done, NotificationEvent, FALSE);
  KDPC dpc;
  KeInitializeDpc(&dpc, CountingRoutine, &s);
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -30000000;  // 3 s
  KeSetTimer(&timer, due, &dpc);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  pk::AdvanceClockMs(2999);
  KeFlushQueuedDpcs();
  EXPECT_EQ(s.runs.load(), 0);
  pk::AdvanceClockMs(1);
  EXPECT_EQ(KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(s.runs.load(), 1);
}

TEST_F(ThreadedTest, TimerOnTheRealClockExpiresOnItsOwn) {
  pk::UseRealClock();
  Shared s;
  KeInitializeEvent(&s.done, NotificationEvent, FALSE);
  KDPC dpc;
  KeInitializeDpc(&dpc, CountingRoutine, &s);
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due, limit;
  due.QuadPart = -20000;       // 2 ms
  limit.QuadPart = -50000000;  // 5 s at most
  KeSetTimer(&timer, due, &dpc);
  EXPECT_EQ(KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(ThreadedTest, BackToManualLeavesQueuedDpcsForTheTest) {
  Shared s;
  KeInitializeEvent(&s.done, NotificationEvent, FALSE);
  pk::SetMode(pk::Mode::Manual);
  KDPC dpc;
  KeInitializeDpc(&dpc, CountingRoutine, &s);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(s.runs.load(), 0);
  EXPECT_EQ(pk::RunPendingDpcs(), 1u);
  EXPECT_EQ(s.runs.load(), 1);
}

}  // namespace
