// Interrupt request levels, spin locks, fast mutexes, the dispatcher objects (events,
// semaphores) and waits on them.
//
// Every wait and delay reads the machine's one clock (real, or advanced by the test).
// Time-outs are in 100 ns units: negative = relative, positive = absolute system time,
// zero = poll. A null time-out waits for ever.
#pragma once

#include "platform/kernel/ntdef.h"
#include "platform/kernel/objects.h"

// ---- IRQL (tracked per thread) -----------------------------------------------------

KIRQL KeGetCurrentIrql();
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel();

// ---- Spin locks (raise to DISPATCH_LEVEL while held) ------------------------------

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
// For callers already at DISPATCH_LEVEL (DPC routines).
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);

// ---- Dispatcher objects ------------------------------------------------------------

// Type codes of DISPATCHER_HEADER.Type.
enum {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ProcessObject = 3,
  QueueObject = 4,
  SemaphoreObject = 5,
  ThreadObject = 6,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
};

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;
static_assert(sizeof(DISPATCHER_HEADER) == 24);

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

#define EVENT_INCREMENT 1
#define IO_NO_INCREMENT 0
#define SEMAPHORE_INCREMENT 1

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// Returns the previous signal state.
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
// Adds Adjustment to the count and returns the previous count. A release that would
// take the count above the limit (or Adjustment <= 0) leaves the count unchanged and is
// reported to the verifier: the real kernel raises STATUS_SEMAPHORE_LIMIT_EXCEEDED.
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// ---- Waits -------------------------------------------------------------------------

typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  PVOID Thread;
  PVOID Object;
  PVOID NextWaitBlock;
  USHORT WaitKey;
  UCHAR WaitType;
  UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK;

// Object: any dispatcher object (event, semaphore, timer, thread). Returns
// STATUS_SUCCESS (the object was signalled and, for synchronisation objects, taken) or
// STATUS_TIMEOUT. Waiting with a non-zero time-out at DISPATCH_LEVEL or above is reported
// to the verifier; the wait is then only a poll.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout);
// Returns STATUS_WAIT_0 + index (WaitAny) or STATUS_WAIT_0 (WaitAll), or STATUS_TIMEOUT.
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject

// Every delay is recorded on the machine; it then lasts Interval x the machine's delay
// scale (0 in unit tests: recorded, returns at once).
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// ---- Fast mutexes (non-recursive, raise to APC_LEVEL while held) -------------------

typedef struct _FAST_MUTEX {
  LONG Count;
  PVOID Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex);
VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex);
VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
VOID ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
VOID ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);

// Normal kernel APCs are not delivered on this machine, so critical regions have
// nothing to hold off.
inline VOID KeEnterCriticalRegion() {}
inline VOID KeLeaveCriticalRegion() {}
inline ULONG KeGetCurrentProcessorNumber() { return 0; }

// ---- Memory barriers and interlocked operations -----------------------------------

// A locked read-modify-write is a full barrier on x64 (and, unlike a bare fence, is
// understood by ThreadSanitizer).
inline LONG KiBarrierWord;
inline VOID KeMemoryBarrier() { __atomic_fetch_add(&KiBarrierWord, 0, __ATOMIC_SEQ_CST); }
#define KeMemoryBarrierWithoutFence() __atomic_signal_fence(__ATOMIC_SEQ_CST)

inline LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
inline LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedIncrement64(LONG64 volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
