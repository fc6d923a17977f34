// The DPC queue and the timer list, and the background threads of threaded mode.
#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/kernel/internal.h"

using namespace platform::kernel;
using namespace platform::kernel::detail;

namespace {

// ---- DPC queue -------------------------------------------------------------------------

struct DpcQueue {
  std::mutex lock;
  std::condition_variable cv;  // queue changed, or a routine finished
  LIST_ENTRY head{&head, &head};
  size_t count = 0;
  uint64_t inserted = 0;  // successful inserts so far
  uint64_t finished = 0;  // of those: routines that have returned, or objects taken off
  bool running = false;   // a DPC routine runs (one at a time)
  bool stop = false;
  std::thread thread;
  bool threaded = false;
  ~DpcQueue() {
    // A program that ends in threaded mode without shutting the machine down.
    if (thread.joinable()) {
      {
        std::lock_guard<std::mutex> g(lock);
        stop = true;
        cv.notify_all();
      }
      thread.join();
    }
  }
};
DpcQueue& Q() {
  static DpcQueue q;
  return q;
}

char g_queuedMarker;  // DpcData of a queued object

// Runs the head of the queue on the calling thread. Called with `lock` held; returns
// with it held. False when the queue is empty.
bool RunHeadLocked(std::unique_lock<std::mutex>& lock) {
  DpcQueue& q = Q();
  while (q.running) q.cv.wait(lock);
  if (q.count == 0) return false;
  PLIST_ENTRY e = RemoveHeadList(&q.head);
  --q.count;
  PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
  // The object is free again before its routine runs: the routine may queue it again.
  dpc->DpcData = nullptr;
  PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
  PVOID context = dpc->DeferredContext;
  PVOID a1 = dpc->SystemArgument1;
  PVOID a2 = dpc->SystemArgument2;
  q.running = true;
  lock.unlock();
  KIRQL saved = CurrentIrql();
  int held = HeldSpinLocks();
  CurrentIrql() = DISPATCH_LEVEL;
  if (routine) routine(dpc, context, a1, a2);
  if (HeldSpinLocks() != held) {
    char d[96];
    std::snprintf(d, sizeof d, "DPC routine %p returned holding %d spin lock(s) it acquired", (void*)routine,
                  HeldSpinLocks() - held);
    ReportVerifierFailure("KeInsertQueueDpc", d, DRIVER_VERIFIER_DETECTED_VIOLATION);
  }
  if (CurrentIrql() != DISPATCH_LEVEL) {
    char d[96];
    std::snprintf(d, sizeof d, "DPC routine %p returned at IRQL %u instead of DISPATCH_LEVEL", (void*)routine,
                  CurrentIrql());
    ReportVerifierFailure("KeInsertQueueDpc", d, IRQL_NOT_LESS_OR_EQUAL);
  }
  CurrentIrql() = saved;
  lock.lock();
  q.running = false;
  ++q.finished;
  q.cv.notify_all();
  // The routine's work is done: the jumping clock, held while it ran, may move on.
  NoteMachineProgress();
  return true;
}

}  // namespace

bool platform::kernel::detail::DpcWorkInFlight() {
  DpcQueue& q = Q();
  std::lock_guard<std::mutex> g(q.lock);
  return q.count > 0 || q.running;
}

namespace {

void DpcThreadMain() {
  DpcQueue& q = Q();
  std::unique_lock<std::mutex> lock(q.lock);
  for (;;) {
    q.cv.wait(lock, [&] { return q.stop || (q.count > 0 && !q.running); });
    if (q.stop) return;
    RunHeadLocked(lock);
  }
}

// ---- Timers ----------------------------------------------------------------------------

LIST_ENTRY g_timers{&g_timers, &g_timers};  // sorted by due time; dispatcher lock

struct TimerThread {
  std::mutex lock;  // guards `thread` and `stop`
  std::thread thread;
  std::atomic<bool> stop{false};
  ~TimerThread() {
    // Its waits are bounded, so it sees the flag without a notification.
    if (thread.joinable()) {
      stop = true;
      thread.join();
    }
  }
};
TimerThread& TT() {
  static TimerThread t;
  return t;
}

void InsertTimerLocked(PKTIMER timer) {
  PLIST_ENTRY e = g_timers.Flink;
  while (e != &g_timers && CONTAINING_RECORD(e, KTIMER, TimerListEntry)->DueTime.QuadPart <= timer->DueTime.QuadPart)
    e = e->Flink;
  InsertTailList(e, &timer->TimerListEntry);  // before e
  timer->Header.Inserted = 1;
}

void TimerThreadMain() {
  std::unique_lock<std::mutex> lock(DispatcherLock());
  while (!TT().stop.load()) {
    ExpireTimersLocked(InterruptTime());
    LONGLONG due = EarliestTimerLocked();
    if (due < 0 || TestClock()) {
      DispatcherCv().wait_for(lock, std::chrono::milliseconds(20));
    } else {
      LONGLONG wait = due - InterruptTime();
      if (wait > 0) DispatcherCv().wait_for(lock, std::chrono::nanoseconds(std::min<LONGLONG>(wait, 200000) * 100));
    }
  }
}

}  // namespace

namespace platform::kernel::detail {

LONGLONG EarliestTimerLocked() {
  if (IsListEmpty(&g_timers)) return -1;
  return (LONGLONG)CONTAINING_RECORD(g_timers.Flink, KTIMER, TimerListEntry)->DueTime.QuadPart;
}

size_t ExpireTimersLocked(LONGLONG now) {
  size_t n = 0;
  while (!IsListEmpty(&g_timers)) {
    PKTIMER t = CONTAINING_RECORD(g_timers.Flink, KTIMER, TimerListEntry);
    if ((LONGLONG)t->DueTime.QuadPart > now) break;
    RemoveEntryList(&t->TimerListEntry);
    t->Header.Inserted = 0;
    t->Header.SignalState = 1;
    LONGLONG expiry = (LONGLONG)t->DueTime.QuadPart;
    if (t->Period > 0) {
      t->DueTime.QuadPart = (ULONGLONG)(expiry + (LONGLONG)t->Period * 10000);
      InsertTimerLocked(t);
    }
    if (t->Dpc) {
      LARGE_INTEGER st;
      st.QuadPart = SystemTime() - (now - expiry);
      KeInsertQueueDpc(t->Dpc, (PVOID)(ULONG_PTR)st.LowPart, (PVOID)(ULONG_PTR)(ULONG)st.HighPart);
    }
    ++n;
  }
  if (n) NotifyDispatcher();
  return n;
}

void WakeTimerThread() {
  std::lock_guard<std::mutex> g(DispatcherLock());
  NotifyDispatcher();
}

void ResetTimersLocked() {
  while (!IsListEmpty(&g_timers)) {
    PKTIMER t = CONTAINING_RECORD(RemoveHeadList(&g_timers), KTIMER, TimerListEntry);
    t->Header.Inserted = 0;
  }
}

void StartDpcThread() {
  DpcQueue& q = Q();
  std::lock_guard<std::mutex> g(q.lock);
  if (q.threaded) return;
  q.stop = false;
  q.threaded = true;
  q.thread = std::thread(DpcThreadMain);
}

void StopDpcThread() {
  DpcQueue& q = Q();
  std::thread t;
  {
    std::lock_guard<std::mutex> g(q.lock);
    if (!q.threaded) return;
    q.stop = true;
    q.threaded = false;
    q.cv.notify_all();
    t = std::move(q.thread);
  }
  t.join();
}

void StartTimerThread() {
  std::lock_guard<std::mutex> g(TT().lock);
  if (TT().thread.joinable()) return;
  TT().stop = false;
  TT().thread = std::thread(TimerThreadMain);
}

void StopTimerThread() {
  std::lock_guard<std::mutex> g(TT().lock);
  if (!TT().thread.joinable()) return;
  {
    std::lock_guard<std::mutex> d(DispatcherLock());
    TT().stop = true;
    NotifyDispatcher();
  }
  TT().thread.join();
}

void ResetDpcQueue() {
  DpcQueue& q = Q();
  std::unique_lock<std::mutex> lock(q.lock);
  while (q.running) q.cv.wait(lock);
  while (!IsListEmpty(&q.head)) {
    PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&q.head), KDPC, DpcListEntry);
    dpc->DpcData = nullptr;
    ++q.finished;
  }
  q.count = 0;
}

}  // namespace platform::kernel::detail

namespace platform::kernel {

size_t RunPendingDpcs() {
  std::unique_lock<std::mutex> lock(Q().lock);
  size_t n = 0;
  while (RunHeadLocked(lock)) ++n;
  return n;
}

bool RunOneDpc() {
  std::unique_lock<std::mutex> lock(Q().lock);
  return RunHeadLocked(lock);
}

size_t PendingDpcCount() {
  std::lock_guard<std::mutex> g(Q().lock);
  return Q().count;
}

void WaitForDpcsIdle() {
  DpcQueue& q = Q();
  std::unique_lock<std::mutex> lock(q.lock);
  if (!q.threaded) {
    while (RunHeadLocked(lock)) {
    }
  }
  q.cv.wait(lock, [&] { return q.count == 0 && !q.running; });
}

size_t FireDueTimers() {
  std::lock_guard<std::mutex> g(DispatcherLock());
  return ExpireTimersLocked(InterruptTime());
}

size_t ActiveTimerCount() {
  std::lock_guard<std::mutex> g(DispatcherLock());
  size_t n = 0;
  for (PLIST_ENTRY e = g_timers.Flink; e != &g_timers; e = e->Flink) ++n;
  return n;
}

}  // namespace platform::kernel

// ---- DPC routines ------------------------------------------------------------------------

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 19;  // DpcObject
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  DpcQueue& q = Q();
  std::lock_guard<std::mutex> g(q.lock);
  if (Dpc->DpcData) return FALSE;
  Dpc->DpcData = &g_queuedMarker;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  if (Dpc->Importance == HighImportance)
    InsertHeadList(&q.head, &Dpc->DpcListEntry);
  else
    InsertTailList(&q.head, &Dpc->DpcListEntry);
  ++q.count;
  ++q.inserted;
  NoteMachineProgress();
  q.cv.notify_all();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  DpcQueue& q = Q();
  std::lock_guard<std::mutex> g(q.lock);
  if (!Dpc->DpcData) return FALSE;
  RemoveEntryList(&Dpc->DpcListEntry);
  --q.count;
  ++q.finished;
  Dpc->DpcData = nullptr;
  q.cv.notify_all();
  return TRUE;
}

// Waits for the DPCs queued before the call (a DPC that keeps queueing itself does not
// hold the caller for ever). In manual mode the caller runs them itself.
VOID KeFlushQueuedDpcs() {
  if (!CheckIrqlAtMost("KeFlushQueuedDpcs", PASSIVE_LEVEL)) return;  // it would wait on itself
  DpcQueue& q = Q();
  std::unique_lock<std::mutex> lock(q.lock);
  uint64_t target = q.inserted;
  if (!q.threaded) {
    while (q.finished < target && RunHeadLocked(lock)) {
    }
  }
  q.cv.wait(lock, [&] { return q.finished >= target; });
}

VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = (UCHAR)Importance; }

VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) { Dpc->Number = (USHORT)(UCHAR)Number; }

// ---- Timer routines ----------------------------------------------------------------------

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  std::lock_guard<std::mutex> g(DispatcherLock());
  Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
  Timer->Header.Absolute = 0;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = 0;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
  Timer->Dpc = nullptr;
  Timer->Processor = 0;
  Timer->Period = 0;
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  CheckIrqlAtMost("KeSetTimerEx", DISPATCH_LEVEL);
  BOOLEAN wasSet;
  {
    std::lock_guard<std::mutex> g(DispatcherLock());
    wasSet = Timer->Header.Inserted ? TRUE : FALSE;
    if (wasSet) RemoveEntryList(&Timer->TimerListEntry);
    Timer->Header.SignalState = 0;
    Timer->Header.Absolute = DueTime.QuadPart > 0;
    Timer->DueTime.QuadPart = (ULONGLONG)DeadlineFromTimeout(DueTime.QuadPart);
    Timer->Period = Period < 0 ? 0 : Period;
    Timer->Dpc = Dpc;
    InsertTimerLocked(Timer);
    NotifyDispatcher();
  }
  return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  CheckIrqlAtMost("KeCancelTimer", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> g(DispatcherLock());
  if (!Timer->Header.Inserted) return FALSE;
  RemoveEntryList(&Timer->TimerListEntry);
  Timer->Header.Inserted = 0;
  return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> g(DispatcherLock());
  return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}
