// Events, semaphores, waits with time-outs on the test clock, spin locks and fast mutexes.
#include <atomic>
#include <thread>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

using SyncTest = vorlix_test::KernelTest;

LARGE_INTEGER Li(LONGLONG v) {
  LARGE_INTEGER l;
  l.QuadPart = v;
  return l;
}

NTSTATUS Poll(PVOID object) {
  LARGE_INTEGER zero = Li(0);
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

TEST_F(SyncTest, SemaphoreCountsUpToItsLimit) {
  KSEMAPHORE sem;
  KeInitializeSemaphore(&sem, 0, 2);
  EXPECT_EQ(KeReadStateSemaphore(&sem), 0);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 0);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 1);
  EXPECT_EQ(KeReadStateSemaphore(&sem), 2);
  EXPECT_TRUE(pk::VerifierFailures().empty());
  // Past the limit: the count stays, and the machine reports what a real one raises.
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 2);
  EXPECT_EQ(KeReadStateSemaphore(&sem), 2);
  auto failures = pk::TakeVerifierFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].call, "KeReleaseSemaphore");
  EXPECT_EQ(failures[0].code, (ULONG)SEMAPHORE_LIMIT_EXCEEDED);
  // Each satisfied wait takes one.
  EXPECT_EQ(Poll(&sem), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&sem), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&sem), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateSemaphore(&sem), 0);
}

TEST_F(SyncTest, NotificationEventStaysSignalledSynchronisationEventIsTaken) {
  struct Case {
    EVENT_TYPE type;
    NTSTATUS secondWait;
    LONG stateAfter;
  } cases[] = {{NotificationEvent, STATUS_SUCCESS, 1}, {SynchronizationEvent, STATUS_TIMEOUT, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    KEVENT ev;
    KeInitializeEvent(&ev, c.type, FALSE);
    EXPECT_EQ(Poll(&ev), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&ev, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&ev, 0, FALSE), 1) << "returns the previous state";
    EXPECT_EQ(Poll(&ev), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&ev), c.secondWait);
    EXPECT_EQ(KeReadStateEvent(&ev), c.stateAfter);
    KeSetEvent(&ev, 0, FALSE);
    EXPECT_EQ(KeResetEvent(&ev), 1);
    EXPECT_EQ(KeReadStateEvent(&ev), 0);
    KeSetEvent(&ev, 0, FALSE);
    KeClearEvent(&ev);
    EXPECT_EQ(KeReadStateEvent(&ev), 0);
  }
}

TEST_F(SyncTest, SynchronisationEventReleasesExactlyOneOfTwoWaiters) {
  KEVENT ev;
  KeInitializeEvent(&ev, SynchronizationEvent, FALSE);
  std::atomic<int> woken{0};
  auto waiter = [&] {
    if (KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) ++woken;
  };
  std::thread a(waiter), b(waiter);
  ASSERT_TRUE(pk::WaitForBlockedWaiters(2));
  KeSetEvent(&ev, 0, FALSE);
  while (woken.load() == 0) std::this_thread::yield();
  EXPECT_EQ(pk::BlockedWaiterCount(), 1u);
  EXPECT_EQ(KeReadStateEvent(&ev), 0);
  KeSetEvent(&ev, 0, FALSE);
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 2);
}

// Time-outs run on the test clock: the waiter returns only when the clock passes its
// deadline, however long real time takes.
TEST_F(SyncTest, WaitTimesOutWhenTheTestClockPassesTheDeadline) {
  struct Case {
    const char* name;
    bool absolute;
  } cases[] = {{"relative", false}, {"absolute", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    const LONGLONG threeSeconds = 3 * 10000000LL;
    LARGE_INTEGER timeout = Li(c.absolute ? pk::SystemTimeNow() + threeSeconds : -threeSeconds);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] { result = KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &timeout); });
    ASSERT_TRUE(pk::WaitForBlockedWaiters(1));
    pk::AdvanceClock(threeSeconds - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(result.load(), STATUS_PENDING) << "woke before its deadline";
    pk::AdvanceClock(1);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
  }
}

TEST_F(SyncTest, WaitForMultipleObjectsAnyAndAll) {
  KEVENT a, b;
  KeInitializeEvent(&a, NotificationEvent, FALSE);
  KeInitializeEvent(&b, SynchronizationEvent, TRUE);
  PVOID objects[2] = {&a, &b};
  LARGE_INTEGER zero = Li(0);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
            STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&b), 1) << "a failed WaitAll takes nothing";
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
            STATUS_WAIT_0 + 1);
  KeSetEvent(&a, 0, FALSE);
  KeSetEvent(&b, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&a), 1);
  EXPECT_EQ(KeReadStateEvent(&b), 0);
}

TEST_F(SyncTest, DelaysAreRecordedAndScaledOnTheTestClock) {
  LARGE_INTEGER hundredMs = Li(-1000000);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &hundredMs), STATUS_SUCCESS);  // scale 0: at once
  pk::SetDelayScale(1.0);
  std::atomic<bool> done{false};
  std::thread t([&] {
    KeDelayExecutionThread(KernelMode, FALSE, &hundredMs);
    done = true;
  });
  ASSERT_TRUE(pk::WaitForBlockedWaiters(1));
  pk::AdvanceClockMs(99);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(done.load());
  pk::AdvanceClockMs(1);
  t.join();
  auto delays = pk::DelayRequests();
  ASSERT_EQ(delays.size(), 2u);
  EXPECT_EQ(delays[0].interval, -1000000);
  EXPECT_EQ(delays[1].interval, -1000000);
}

TEST_F(SyncTest, SpinLockRaisesToDispatchAndExcludes) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_FALSE(KeTestSpinLock(&lock));
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  // Two threads add under the lock; the total is exact.
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      KIRQL o = KeAcquireSpinLockRaiseToDpc(&lock);
      ++counter;
      KeReleaseSpinLock(&lock, o);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

TEST_F(SyncTest, FastMutexExcludesAndRestoresIrql) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      ExAcquireFastMutex(&m);
      EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
      ++counter;
      ExReleaseFastMutex(&m);
      EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 4000);
  EXPECT_TRUE(ExTryToAcquireFastMutex(&m));
  std::thread other([&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&m)); });
  other.join();
  ExReleaseFastMutex(&m);
}

// Misuse the verifier must name: a table of (what is done, the call it reports).
TEST_F(SyncTest, VerifierNamesLockMisuse) {
  struct Case {
    const char* name;
    void (*misuse)();
    const char* call;
    ULONG code;
  } cases[] = {
      {"release of a spin lock not held",
       [] {
         KSPIN_LOCK l;
         KeInitializeSpinLock(&l);
         KeReleaseSpinLock(&l, PASSIVE_LEVEL);
       },
       "KeReleaseSpinLock", SPIN_LOCK_NOT_OWNED},
      {"release from DPC level of a lock another thread holds",
       [] {
         KSPIN_LOCK l;
         KeInitializeSpinLock(&l);
         KIRQL o;
         std::thread([&] { KeAcquireSpinLock(&l, &o); }).join();
         pk::ScopedIrql dpc(DISPATCH_LEVEL);
         KeReleaseSpinLockFromDpcLevel(&l);
       },
       "KeReleaseSpinLockFromDpcLevel", SPIN_LOCK_NOT_OWNED},
      {"acquire at DPC level from passive level",
       [] {
         KSPIN_LOCK l;
         KeInitializeSpinLock(&l);
         KeAcquireSpinLockAtDpcLevel(&l);
         KeReleaseSpinLockFromDpcLevel(&l);
       },
       "KeAcquireSpinLockAtDpcLevel", IRQL_NOT_GREATER_OR_EQUAL},
      {"release of a fast mutex not held",
       [] {
         FAST_MUTEX m;
         ExInitializeFastMutex(&m);
         ExReleaseFastMutex(&m);
       },
       "ExReleaseFastMutex", DRIVER_VERIFIER_DETECTED_VIOLATION},
      {"lowering IRQL upwards",
       [] {
         KeLowerIrql(DISPATCH_LEVEL);
         KeLowerIrql(PASSIVE_LEVEL);
       },
       "KeLowerIrql", IRQL_NOT_LESS_OR_EQUAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.misuse();
    auto failures = pk::TakeVerifierFailures();
    ASSERT_GE(failures.size(), 1u);
    EXPECT_EQ(failures[0].call, c.call);
    EXPECT_EQ(failures[0].code, c.code);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  }
}

}  // namespace
