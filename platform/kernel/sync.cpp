// IRQL tracking, spin locks, dispatcher objects, waits and fast mutexes.
#include <cstdio>
#include <optional>
#include <thread>

#include "platform/kernel/internal.h"

namespace platform::kernel::detail {

std::mutex& DispatcherLock() {
  static std::mutex m;
  return m;
}

std::condition_variable& DispatcherCv() {
  static std::condition_variable cv;
  return cv;
}

KIRQL& CurrentIrql() {
  thread_local KIRQL irql = PASSIVE_LEVEL;
  return irql;
}

int& HeldSpinLocks() {
  thread_local int held = 0;
  return held;
}

ULONG_PTR ThreadToken() {
  thread_local char marker;
  return (ULONG_PTR)&marker;
}

bool CheckIrqlAtMost(const char* call, KIRQL maximum) {
  KIRQL irql = CurrentIrql();
  if (irql <= maximum) return true;
  char detail[96];
  std::snprintf(detail, sizeof detail, "called at IRQL %u, above the highest allowed IRQL %u", irql, maximum);
  ReportVerifierFailure(call, detail, IRQL_NOT_LESS_OR_EQUAL);
  return false;
}

}  // namespace platform::kernel::detail

namespace platform::kernel {

ScopedIrql::ScopedIrql(KIRQL irql) : previous_(detail::CurrentIrql()) { detail::CurrentIrql() = irql; }
ScopedIrql::~ScopedIrql() { detail::CurrentIrql() = previous_; }

}  // namespace platform::kernel

using namespace platform::kernel;
using namespace platform::kernel::detail;

namespace {

std::string Hex(const void* p) {
  char b[32];
  std::snprintf(b, sizeof b, "%p", p);
  return b;
}

}  // namespace

// ---- IRQL ----------------------------------------------------------------------------

KIRQL KeGetCurrentIrql() { return CurrentIrql(); }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KIRQL old = CurrentIrql();
  if (NewIrql < old) {
    char d[96];
    std::snprintf(d, sizeof d, "raise to IRQL %u from the higher IRQL %u", NewIrql, old);
    ReportVerifierFailure("KeRaiseIrql", d, IRQL_NOT_GREATER_OR_EQUAL);
  }
  *OldIrql = old;
  CurrentIrql() = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  KIRQL old = CurrentIrql();
  if (NewIrql > old) {
    char d[96];
    std::snprintf(d, sizeof d, "lower to IRQL %u from the lower IRQL %u", NewIrql, old);
    ReportVerifierFailure("KeLowerIrql", d, IRQL_NOT_LESS_OR_EQUAL);
  }
  CurrentIrql() = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

// ---- Spin locks ------------------------------------------------------------------------
// The lock word holds the owner's thread token, so a release by a thread that does not
// hold the lock is caught.

namespace {

bool AcquireLockWord(PKSPIN_LOCK lock, const char* call) {
  ULONG_PTR me = ThreadToken();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
    ReportVerifierFailure(call, "spin lock " + Hex(lock) + " is already held by this thread (deadlock)",
                          SPIN_LOCK_ALREADY_OWNED);
    return false;
  }
  for (unsigned spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      ++HeldSpinLocks();
      return true;
    }
    if (spins > 64) std::this_thread::yield();
  }
}

bool ReleaseLockWord(PKSPIN_LOCK lock, const char* call) {
  ULONG_PTR me = ThreadToken();
  ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (owner != me) {
    ReportVerifierFailure(
        call, "release of spin lock " + Hex(lock) + (owner ? " held by another thread" : " that is not held"),
        SPIN_LOCK_NOT_OWNED);
    return false;
  }
  __atomic_store_n(lock, (ULONG_PTR)0, __ATOMIC_RELEASE);
  --HeldSpinLocks();
  return true;
}

// The AtDpcLevel forms do not raise the IRQL: their caller must already run at DISPATCH_LEVEL.
void CheckAtDispatchLevel(const char* call) {
  if (CurrentIrql() < DISPATCH_LEVEL) {
    char d[64];
    std::snprintf(d, sizeof d, "called at IRQL %u, below DISPATCH_LEVEL", CurrentIrql());
    ReportVerifierFailure(call, d, IRQL_NOT_GREATER_OR_EQUAL);
  }
}

}  // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELAXED); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  CheckIrqlAtMost("KeAcquireSpinLock", DISPATCH_LEVEL);
  KIRQL old = CurrentIrql();
  if (old < DISPATCH_LEVEL) CurrentIrql() = DISPATCH_LEVEL;
  AcquireLockWord(SpinLock, "KeAcquireSpinLock");
  return old;
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) { *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock); }

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ReleaseLockWord(SpinLock, "KeReleaseSpinLock");
  if (NewIrql > CurrentIrql()) {
    char d[96];
    std::snprintf(d, sizeof d, "restores IRQL %u above the current IRQL %u", NewIrql, CurrentIrql());
    ReportVerifierFailure("KeReleaseSpinLock", d, IRQL_NOT_LESS_OR_EQUAL);
  }
  CurrentIrql() = NewIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  CheckAtDispatchLevel("KeAcquireSpinLockAtDpcLevel");
  AcquireLockWord(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  CheckAtDispatchLevel("KeReleaseSpinLockFromDpcLevel");
  ReleaseLockWord(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0; }

// ---- Events and semaphores -----------------------------------------------------------

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::lock_guard<std::mutex> g(DispatcherLock());
  Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
  Event->Header.Absolute = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  CheckIrqlAtMost("KeSetEvent", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> g(DispatcherLock());
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  NotifyDispatcher();
  return old;
}

VOID KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> g(DispatcherLock());
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  CheckIrqlAtMost("KeResetEvent", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> g(DispatcherLock());
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return old;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> g(DispatcherLock());
  return Event->Header.SignalState;
}

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  std::lock_guard<std::mutex> g(DispatcherLock());
  Semaphore->Header.Type = SemaphoreObject;
  Semaphore->Header.Absolute = 0;
  Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
  Semaphore->Header.Inserted = 0;
  Semaphore->Header.SignalState = Count;
  InitializeListHead(&Semaphore->Header.WaitListHead);
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
  CheckIrqlAtMost("KeReleaseSemaphore", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> g(DispatcherLock());
  LONG old = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || old > Semaphore->Limit - Adjustment) {
    char d[128];
    std::snprintf(d, sizeof d, "release of %d would take semaphore %p from %d above its limit %d", Adjustment,
                  (void*)Semaphore, old, Semaphore->Limit);
    ReportVerifierFailure("KeReleaseSemaphore", d, SEMAPHORE_LIMIT_EXCEEDED);
    return old;
  }
  Semaphore->Header.SignalState = old + Adjustment;
  NotifyDispatcher();
  return old;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  std::lock_guard<std::mutex> g(DispatcherLock());
  return Semaphore->Header.SignalState;
}

// ---- Waits -----------------------------------------------------------------------------

namespace {

bool Signalled(const DISPATCHER_HEADER* h) { return h->SignalState > 0; }

// Takes what a satisfied wait consumes: a synchronisation event or timer resets, a
// semaphore counts down.
void Consume(DISPATCHER_HEADER* h) {
  switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      h->SignalState = 0;
      break;
    case SemaphoreObject:
      h->SignalState -= 1;
      break;
    default:
      break;
  }
}

NTSTATUS WaitCore(const char* call, ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout) {
  bool poll = timeout && timeout->QuadPart == 0;
  if (!poll && CurrentIrql() >= DISPATCH_LEVEL) {
    char d[128];
    std::snprintf(d, sizeof d, "wait with %s time-out at IRQL %u (must be below DISPATCH_LEVEL)",
                  timeout ? "a non-zero" : "no", CurrentIrql());
    ReportVerifierFailure(call, d, IRQL_NOT_LESS_OR_EQUAL);
    poll = true;  // a real machine stops here; polling keeps the test alive to report it
  }
  LONGLONG deadline = (timeout && !poll) ? DeadlineFromTimeout(timeout->QuadPart) : -1;
  std::unique_lock<std::mutex> lock(DispatcherLock());
  std::optional<BlockedWaiter> blocked;
  for (;;) {
    if (type == WaitAny) {
      for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (Signalled(h)) {
          Consume(h);
          return STATUS_WAIT_0 + (NTSTATUS)i;
        }
      }
    } else {
      bool all = true;
      for (ULONG i = 0; i < count && all; ++i) all = Signalled(static_cast<DISPATCHER_HEADER*>(objects[i]));
      if (all) {
        for (ULONG i = 0; i < count; ++i) Consume(static_cast<DISPATCHER_HEADER*>(objects[i]));
        return STATUS_WAIT_0;
      }
    }
    if (poll) return STATUS_TIMEOUT;
    if (deadline >= 0 && InterruptTime() >= deadline) return STATUS_TIMEOUT;
    if (!blocked) blocked.emplace(deadline);
    WaitOnDispatcher(lock, deadline);
  }
}

}  // namespace

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
  return WaitCore("KeWaitForSingleObject", 1, &Object, WaitAny, Timeout);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON, KPROCESSOR_MODE,
                                  BOOLEAN, PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) {
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)) {
    ReportVerifierFailure(
        "KeWaitForMultipleObjects",
        "object count " + std::to_string(Count) + " not allowed (without a wait block array at most 3)",
        0x0000000C /* MAXIMUM_WAIT_OBJECTS_EXCEEDED */);
    return STATUS_INVALID_PARAMETER;
  }
  return WaitCore("KeWaitForMultipleObjects", Count, Object, WaitType, Timeout);
}

// ---- Fast mutexes --------------------------------------------------------------------

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  std::lock_guard<std::mutex> g(DispatcherLock());
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  FastMutex->OldIrql = PASSIVE_LEVEL;
  FastMutex->Event.Header.Type = EventSynchronizationObject;
  FastMutex->Event.Header.SignalState = 0;
  InitializeListHead(&FastMutex->Event.Header.WaitListHead);
}

namespace {

bool AcquireFast(PFAST_MUTEX m, const char* call, bool tryOnly) {
  PVOID me = (PVOID)ThreadToken();
  std::unique_lock<std::mutex> lock(DispatcherLock());
  if (m->Owner == me) {
    ReportVerifierFailure(call, "fast mutex " + Hex(m) + " is already held by this thread (deadlock)",
                          DRIVER_VERIFIER_DETECTED_VIOLATION);
    return false;
  }
  if (tryOnly && m->Owner) return false;
  if (m->Owner) {
    ++m->Contention;
    BlockedWaiter blocked;
    while (m->Owner) WaitOnDispatcher(lock, -1);
  }
  m->Owner = me;
  m->Count = 0;
  m->OldIrql = CurrentIrql();
  return true;
}

bool ReleaseFast(PFAST_MUTEX m, const char* call, KIRQL* oldIrql) {
  PVOID me = (PVOID)ThreadToken();
  std::lock_guard<std::mutex> g(DispatcherLock());
  if (m->Owner != me) {
    ReportVerifierFailure(
        call, "release of fast mutex " + Hex(m) + (m->Owner ? " held by another thread" : " that is not held"),
        DRIVER_VERIFIER_DETECTED_VIOLATION);
    return false;
  }
  if (oldIrql) *oldIrql = (KIRQL)m->OldIrql;
  m->Owner = nullptr;
  m->Count = 1;
  NotifyDispatcher();
  return true;
}

}  // namespace

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  CheckIrqlAtMost("ExAcquireFastMutex", APC_LEVEL);
  KIRQL old = CurrentIrql();
  if (!AcquireFast(FastMutex, "ExAcquireFastMutex", false)) return;
  if (old < APC_LEVEL) CurrentIrql() = APC_LEVEL;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  CheckIrqlAtMost("ExTryToAcquireFastMutex", APC_LEVEL);
  KIRQL old = CurrentIrql();
  if (!AcquireFast(FastMutex, "ExTryToAcquireFastMutex", true)) return FALSE;
  if (old < APC_LEVEL) CurrentIrql() = APC_LEVEL;
  return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  KIRQL restore;
  if (ReleaseFast(FastMutex, "ExReleaseFastMutex", &restore)) CurrentIrql() = restore;
}

namespace platform::kernel {

ULONG FastMutexContention(PFAST_MUTEX mutex) {
  std::lock_guard<std::mutex> g(detail::DispatcherLock());
  return mutex->Contention;
}

}  // namespace platform::kernel

VOID ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) { AcquireFast(FastMutex, "ExAcquireFastMutexUnsafe", false); }

VOID ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) { ReleaseFast(FastMutex, "ExReleaseFastMutexUnsafe", nullptr); }
