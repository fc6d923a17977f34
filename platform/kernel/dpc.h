// Deferred procedure calls and kernel timers.
//
// KeInsertQueueDpc returns FALSE while that DPC object is queued. The object is free
// again just before its routine runs, so the routine may queue it again. DPC routines
// run one at a time, at DISPATCH_LEVEL: on the machine's DPC thread (threaded mode) or on
// the thread that drains the queue (manual mode).
#pragma once

#include "platform/kernel/sync.h"

struct _KDPC;
typedef VOID (*PKDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                   PVOID SystemArgument2);
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while the object is queued
} KDPC, *PKDPC, *PRKDPC;
static_assert(sizeof(KDPC) == 64);

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance, MediumHighImportance } KDPC_IMPORTANCE;

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
// TRUE when the object was queued (it is then taken off without running).
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
// Returns when every DPC queued before the call has run and no DPC routine is running.
// Call at PASSIVE_LEVEL.
VOID KeFlushQueuedDpcs();
VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number);

// ---- Timers --------------------------------------------------------------------------

typedef enum _TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 } TIMER_TYPE;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;  // interrupt time of the next expiry while set
  LIST_ENTRY TimerListEntry;
  PKDPC Dpc;
  ULONG Processor;
  LONG Period;  // milliseconds; 0 = one-shot
} KTIMER, *PKTIMER, *PRKTIMER;

VOID KeInitializeTimer(PKTIMER Timer);
VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// DueTime as for waits (negative = relative, 100 ns units). At expiry the timer is
// signalled and Dpc (if any) is queued. Returns TRUE when the timer was already set.
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
// TRUE when the timer was set.
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);
