// The jumping test clock: time moves exactly to the next deadline once every machine
// thread waits, and never while one of them runs or work is in flight.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

class JumpingClockTest : public vorlix_test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    pk::SetMode(pk::Mode::Threaded);
    pk::UseJumpingTestClock();
    pk::SetDelayScale(1);
  }
  void TearDown() override {
    pk::UseTestClock();
    KernelTest::TearDown();
  }
};

struct Sleeper {
  std::atomic<int> passes{0};
  std::vector<LONGLONG> times;  // interrupt time after each delay
  LONGLONG interval;
  int count;
};

VOID SleeperThread(PVOID context) {
  auto* s = static_cast<Sleeper*>(context);
  for (int i = 0; i < s->count; ++i) {
    LARGE_INTEGER d;
    d.QuadPart = -s->interval;
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    s->times.push_back((LONGLONG)KeQueryInterruptTime());
    s->passes++;
  }
}

PVOID StartThread(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE h = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context), STATUS_SUCCESS);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  ZwClose(h);
  return object;
}

void Join(PVOID thread) {
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
}

// Two threads delaying at different periods, and a waiter with a time-out: every
// wake-up lands exactly on its own deadline.
TEST_F(JumpingClockTest, DelaysAndTimeOutsEndExactlyOnTheirDeadlines) {
  pk::MachineThreadScope scope;
  Sleeper a{{}, {}, 1000000, 10};  // 100 ms x 10
  Sleeper b{{}, {}, 3000000, 3};   // 300 ms x 3
  PVOID ta = StartThread(SleeperThread, &a);
  PVOID tb = StartThread(SleeperThread, &b);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -25000000;  // 2.5 s
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(pk::InterruptTimeNow(), 25000000);
  Join(ta);
  Join(tb);
  std::vector<LONGLONG> wantA, wantB;
  for (int i = 1; i <= 10; ++i) wantA.push_back(i * 1000000LL);
  for (int i = 1; i <= 3; ++i) wantB.push_back(i * 3000000LL);
  EXPECT_EQ(a.times, wantA);
  EXPECT_EQ(b.times, wantB);
}

// A timer's DPC runs at its due time; the waiter it wakes sees exactly that time.
VOID SignalRoutine(PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE); }

TEST_F(JumpingClockTest, TimersAreDeadlinesToo) {
  pk::MachineThreadScope scope;
  KEVENT fired;
  KeInitializeEvent(&fired, NotificationEvent, FALSE);
  KDPC dpc;
  KeInitializeDpc(&dpc, SignalRoutine, &fired);
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -700000;  // 70 ms
  KeSetTimer(&timer, due, &dpc);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -50000000;
  EXPECT_EQ(KeWaitForSingleObject(&fired, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(pk::InterruptTimeNow(), 700000);
}

// A machine thread that runs holds time still, however long it takes in real time.
VOID Spinner(PVOID context) {
  auto* go = static_cast<std::atomic<bool>*>(context);
  while (!*go) std::this_thread::yield();
}

TEST_F(JumpingClockTest, ARunningThreadHoldsTheClock) {
  std::atomic<bool> go{false};
  PVOID spinner = StartThread(Spinner, &go);
  {
    pk::MachineThreadScope scope;
    std::thread release([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      go = true;
    });
    LARGE_INTEGER d;
    d.QuadPart = -10000;  // 1 ms; the spinner keeps it from ending for 30 ms of real time
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    EXPECT_TRUE(go.load());
    EXPECT_EQ(pk::InterruptTimeNow(), 10000);
    release.join();
    Join(spinner);
  }
}

// Work in flight holds it too: a hold, and a deadline source whose time has come.
TEST_F(JumpingClockTest, HoldsAndDueSourcesKeepTimeStill) {
  pk::MachineThreadScope scope;
  std::atomic<LONGLONG> sourceDue{-1};
  int id = pk::AddClockDeadlineSource([&] { return sourceDue.load(); });
  pk::HoldClock();
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The source now has an event at 40 ms: the clock stops there before the delay's end.
    sourceDue = 400000;
    pk::ReleaseClock();
  });
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -100000;  // 10 ms
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(pk::InterruptTimeNow(), 100000);
  release.join();
  // The source's event is due at 40 ms; once its time has come it holds the clock until
  // it reports nothing more.
  std::thread settle([&] {
    while (pk::InterruptTimeNow() < 400000) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(pk::InterruptTimeNow(), 400000);
    sourceDue = -1;
  });
  timeout.QuadPart = -1000000;  // to 110 ms
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(pk::InterruptTimeNow(), 1100000);
  settle.join();
  pk::RemoveClockDeadlineSource(id);
}

// A source is told each time the clock has moved, so that it can look at its events at
// once: the clock stops at the source's event and waits for it, then moves on.
TEST_F(JumpingClockTest, SourcesAreToldWhenTheClockHasMoved) {
  pk::MachineThreadScope scope;
  std::atomic<LONGLONG> due{40000};
  std::mutex m;
  std::vector<LONGLONG> told;
  int id = pk::AddClockDeadlineSource([&] { return due.load(); },
                                      [&] {
                                        std::lock_guard<std::mutex> g(m);
                                        told.push_back(pk::InterruptTimeNow());
                                        if (told.back() >= 40000) due = -1;  // its event ran
                                      });
  // A source never told would hold the clock at 4 ms for good: let it go late instead.
  std::thread fallback([&] {
    for (int i = 0; i < 200 && due.load() >= 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    due = -1;
  });
  LARGE_INTEGER d;
  d.QuadPart = -100000;  // 10 ms
  KeDelayExecutionThread(KernelMode, FALSE, &d);
  EXPECT_EQ(pk::InterruptTimeNow(), 100000);
  fallback.join();
  // The delay may end before the source is told of the last move.
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard<std::mutex> g(m);
      if (told.size() >= 2) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pk::RemoveClockDeadlineSource(id);
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(told, (std::vector<LONGLONG>{40000, 100000}));
}

}  // namespace
