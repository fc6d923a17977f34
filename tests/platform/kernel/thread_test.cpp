// System threads: thread objects are signalled when the thread ends, handles and
// references, priorities, and PsTerminateSystemThread.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel/handles.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

using ThreadTest = vorlix_test::KernelTest;

struct Control {
  KEVENT go;
  std::atomic<int> stage{0};
  KIRQL irql = HIGH_LEVEL;
  bool system = false;
  bool terminate = false;
};

VOID Routine(PVOID context) {
  auto* c = static_cast<Control*>(context);
  c->irql = KeGetCurrentIrql();
  c->system = PsIsSystemThread(PsGetCurrentThread());
  c->stage = 1;
  KeWaitForSingleObject(&c->go, Executive, KernelMode, FALSE, nullptr);
  if (c->terminate) {
    PsTerminateSystemThread(STATUS_SUCCESS);
    c->stage = 99;  // never reached
  }
  c->stage = 2;
}

// The driver's pattern: create, take a reference from the handle, close the handle,
// later wait on the object and drop the reference.
TEST_F(ThreadTest, ThreadObjectIsSignalledWhenTheThreadEnds) {
  for (bool terminate : {false, true}) {
    SCOPED_TRACE(terminate ? "PsTerminateSystemThread" : "return");
    Control c;
    c.terminate = terminate;
    KeInitializeEvent(&c.go, NotificationEvent, FALSE);
    HANDLE h = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Routine, &c), STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(KeSetPriorityThread(static_cast<PKTHREAD>(thread), LOW_REALTIME_PRIORITY), 8);
    EXPECT_EQ(KeQueryPriorityThread(static_cast<PKTHREAD>(thread)), LOW_REALTIME_PRIORITY);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&c.go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    // A waiter the signal woke finds the routine's end counted (a stop, then a count).
    EXPECT_EQ(pk::LiveSystemThreadCount(), 0u);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS) << "stays signalled";
    EXPECT_EQ(c.stage.load(), terminate ? 1 : 2);
    EXPECT_EQ(c.irql, PASSIVE_LEVEL);
    EXPECT_TRUE(c.system);
    ObDereferenceObject(thread);
  }
  EXPECT_TRUE(pk::WaitForSystemThreads(5000));
  EXPECT_EQ(pk::LiveSystemThreadCount(), 0u);
  EXPECT_EQ(pk::OpenHandleCount("Thread"), 0u);
}

TEST_F(ThreadTest, WrongObjectTypeAndClosedHandleAreRefused) {
  Control c;
  KeInitializeEvent(&c.go, NotificationEvent, TRUE);
  HANDLE h = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Routine, &c), STATUS_SUCCESS);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(h, 0, *PsProcessType, KernelMode, &object, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(ObReferenceObjectByHandle(h, 0, *PsThreadType, KernelMode, &object, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
  EXPECT_EQ(pk::TakeVerifierFailures().size(), 1u);  // the second close
  EXPECT_TRUE(pk::WaitForSystemThreads(5000));
}

TEST_F(ThreadTest, PriorityOutsideTheRangeIsReported) {
  KPRIORITY old = KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
  EXPECT_EQ(KeSetPriorityThread(KeGetCurrentThread(), old), HIGH_PRIORITY);
  KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY + 1);
  EXPECT_EQ(KeQueryPriorityThread(KeGetCurrentThread()), old);
  auto failures = pk::TakeVerifierFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].call, "KeSetPriorityThread");
}

// After its routine, a host thread still tears itself down (thread-local storage, its
// stack) whenever the host schedules it. Like a real thread object, the object is
// signalled when the routine ends, and neither the last reference nor the next thread's
// start waits for that teardown.
std::atomic<bool> g_teardownMayEnd{false};
struct SlowTeardown {
  ~SlowTeardown() {
    while (!g_teardownMayEnd) std::this_thread::yield();
  }
};
VOID EndsWithSlowTeardown(PVOID) {
  thread_local SlowTeardown slow;
  (void)&slow;
}
VOID EndsAtOnce(PVOID) {}

TEST_F(ThreadTest, NoWaiterWaitsForTheHostThreadsTeardown) {
  g_teardownMayEnd = false;
  HANDLE h = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndsWithSlowTeardown, nullptr),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  ZwClose(h);
  std::atomic<bool> done{false};
  std::thread driver([&] {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    HANDLE next = nullptr;
    if (NT_SUCCESS(PsCreateSystemThread(&next, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndsAtOnce, nullptr)))
      ZwClose(next);
    done = true;
  });
  // A guard against the hang the fault is, not a time-out under test.
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done && std::chrono::steady_clock::now() < guard) std::this_thread::yield();
  EXPECT_TRUE(done) << "the wait, the dereference or the next start waited for a host thread's teardown";
  g_teardownMayEnd = true;
  driver.join();
  EXPECT_TRUE(pk::WaitForSystemThreads(5000));
}

}  // namespace
