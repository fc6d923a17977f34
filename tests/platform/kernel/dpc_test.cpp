// DPC queueing and kernel timers, in manual mode on the test clock.
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

struct Record {
  PKDPC dpc;
  PVOID a1, a2;
  KIRQL irql;
};

struct Recorder {
  std::vector<Record> calls;
  int requeue = 0;  // how many times the routine queues its own object again
};

VOID RecordingRoutine(PKDPC dpc, PVOID context, PVOID a1, PVOID a2) {
  auto* r = static_cast<Recorder*>(context);
  r->calls.push_back({dpc, a1, a2, KeGetCurrentIrql()});
  if (r->requeue > 0) {
    --r->requeue;
    EXPECT_TRUE(KeInsertQueueDpc(dpc, (PVOID)99, nullptr)) << "the object must be free while its routine runs";
  }
}

using DpcTest = vorlix_test::KernelTest;

TEST_F(DpcTest, InsertWhileQueuedReturnsFalseAndKeepsTheFirstArguments) {
  Recorder rec;
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordingRoutine, &rec);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, (PVOID)1, (PVOID)2));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, (PVOID)3, (PVOID)4));
  EXPECT_EQ(pk::PendingDpcCount(), 1u);
  EXPECT_EQ(pk::RunPendingDpcs(), 1u);
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0].a1, (PVOID)1);
  EXPECT_EQ(rec.calls[0].a2, (PVOID)2);
  EXPECT_EQ(rec.calls[0].irql, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  // Free again after running.
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, (PVOID)5, nullptr));
  EXPECT_EQ(pk::RunPendingDpcs(), 1u);
}

TEST_F(DpcTest, RoutineCanQueueItsOwnObjectAgain) {
  Recorder rec;
  rec.requeue = 2;
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordingRoutine, &rec);
  ASSERT_TRUE(KeInsertQueueDpc(&dpc, (PVOID)1, nullptr));
  EXPECT_EQ(pk::RunPendingDpcs(), 3u);  // the drain includes what the routines queued
  ASSERT_EQ(rec.calls.size(), 3u);
  EXPECT_EQ(rec.calls[0].a1, (PVOID)1);
  EXPECT_EQ(rec.calls[1].a1, (PVOID)99);
  EXPECT_EQ(rec.calls[2].a1, (PVOID)99);
}

TEST_F(DpcTest, RunInQueueOrderAndRemoveTakesOneOff) {
  Recorder rec;
  KDPC d[3];
  for (auto& x : d) KeInitializeDpc(&x, RecordingRoutine, &rec);
  for (auto& x : d) ASSERT_TRUE(KeInsertQueueDpc(&x, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&d[1]));
  EXPECT_FALSE(KeRemoveQueueDpc(&d[1]));
  EXPECT_TRUE(pk::RunOneDpc());
  EXPECT_TRUE(pk::RunOneDpc());
  EXPECT_FALSE(pk::RunOneDpc());
  ASSERT_EQ(rec.calls.size(), 2u);
  EXPECT_EQ(rec.calls[0].dpc, &d[0]);
  EXPECT_EQ(rec.calls[1].dpc, &d[2]);
  // A removed object can be queued again.
  EXPECT_TRUE(KeInsertQueueDpc(&d[1], nullptr, nullptr));
  pk::RunPendingDpcs();
}

TEST_F(DpcTest, FlushRunsQueuedDpcsInManualMode) {
  Recorder rec;
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordingRoutine, &rec);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(pk::PendingDpcCount(), 0u);
}

TEST_F(DpcTest, FlushWaitsOnlyForWhatWasQueuedBeforeIt) {
  Recorder rec;
  rec.requeue = 1000;  // keeps queueing itself
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordingRoutine, &rec);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_EQ(rec.calls.size(), 1u);
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
}

TEST_F(DpcTest, TimerQueuesItsDpcAtTheDueTimeAndIsSignalled) {
  Recorder rec;
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, RecordingRoutine, &rec);
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -10 * 10000;  // 10 ms from now
  EXPECT_FALSE(KeSetTimer(&timer, due, &dpc));
  pk::AdvanceClockMs(9);
  EXPECT_EQ(pk::PendingDpcCount(), 0u);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  pk::AdvanceClockMs(1);
  EXPECT_EQ(pk::PendingDpcCount(), 1u);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_EQ(pk::ActiveTimerCount(), 0u);
  pk::RunPendingDpcs();
  ASSERT_EQ(rec.calls.size(), 1u);
  // The arguments carry the expiry's system time.
  LARGE_INTEGER st;
  st.LowPart = (ULONG)(ULONG_PTR)rec.calls[0].a1;
  st.HighPart = (LONG)(ULONG_PTR)rec.calls[0].a2;
  EXPECT_EQ(st.QuadPart, pk::kTestStartSystemTime + 10 * 10000);
}

TEST_F(DpcTest, AbsoluteDueTimeAndCancel) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = pk::SystemTimeNow() + 5 * 10000;
  EXPECT_FALSE(KeSetTimer(&timer, due, nullptr));
  EXPECT_TRUE(KeSetTimer(&timer, due, nullptr)) << "setting a set timer reports it was set";
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  pk::AdvanceClockMs(10);
  EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(DpcTest, PeriodicTimerFiresOncePerPeriod) {
  Recorder rec;
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, RecordingRoutine, &rec);
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  LARGE_INTEGER due;
  due.QuadPart = -20 * 10000;
  KeSetTimerEx(&timer, due, 10, &dpc);
  for (int i = 0; i < 5; ++i) {
    pk::AdvanceClockMs(i == 0 ? 20 : 10);
    EXPECT_EQ(pk::RunPendingDpcs(), 1u) << "period " << i;
  }
  // A synchronisation timer is taken by a wait.
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_EQ(rec.calls.size(), 5u);
}

KSPIN_LOCK g_lock;

VOID LeavesLockHeld(PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&g_lock); }
VOID LowersIrql(PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }

TEST_F(DpcTest, VerifierCatchesDpcRoutinesThatLeaveStateBehind) {
  struct Case {
    const char* name;
    PKDEFERRED_ROUTINE routine;
    const char* detail;
  } cases[] = {
      {"returns holding a spin lock", LeavesLockHeld, "holding 1 spin lock"},
      {"returns at passive level", LowersIrql, "returned at IRQL 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeInitializeSpinLock(&g_lock);
    KDPC dpc;
    KeInitializeDpc(&dpc, c.routine, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    pk::RunPendingDpcs();
    auto failures = pk::TakeVerifierFailures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].detail.find(c.detail), std::string::npos) << failures[0].detail;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    if (!KeTestSpinLock(&g_lock)) {
      pk::ScopedIrql dpcLevel(DISPATCH_LEVEL);
      KeReleaseSpinLockFromDpcLevel(&g_lock);
    }
  }
}

}  // namespace
