// Shared state of the kernel layer's implementation. Not for use outside platform/kernel.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"

namespace platform::kernel::detail {

// The dispatcher lock guards every dispatcher object's state (events, semaphores,
// timers, threads, fast mutexes), the timer list and the test clock. Whoever changes a
// signal state notifies the one condition variable; waiters re-check their condition.
std::mutex& DispatcherLock();
std::condition_variable& DispatcherCv();

// Lock order: dispatcher lock, then the DPC queue lock. Never the other way round.

// The clock. Interrupt time is the domain of every deadline.
LONGLONG InterruptTime();
LONGLONG SystemTime();
bool TestClock();
// A time-out as passed to waits (negative relative, positive absolute system time) as an
// interrupt-time deadline.
LONGLONG DeadlineFromTimeout(LONGLONG timeout);
// Blocks on the dispatcher condition variable until notified or the deadline (interrupt
// time) has passed on the machine clock; `deadline` < 0 means no deadline. The caller
// holds `lock` and re-checks its condition afterwards.
void WaitOnDispatcher(std::unique_lock<std::mutex>& lock, LONGLONG deadline);
// Counts a thread as blocked for its lifetime (dispatcher lock held at construction and
// destruction), until `deadline` (interrupt time; < 0: none). A machine thread's block
// lets the jumping test clock move once every machine thread is blocked.
// A `clockOnly` waiter (a delay) waits for its deadline alone: no change of a signal
// state concerns it, so it is not woken by one and the clock need not wait for it to look.
struct BlockedWaiter {
  explicit BlockedWaiter(LONGLONG deadline = -1, bool clockOnly = false);
  ~BlockedWaiter();
  BlockedWaiter(const BlockedWaiter&) = delete;
  BlockedWaiter& operator=(const BlockedWaiter&) = delete;
  bool machine;
  bool clockOnly;
  LONGLONG deadline;
  BlockedWaiter* previous;  // of this thread (none in practice)
  uint64_t seen = 0;        // the notification its owner last checked its condition after
};
// Wakes every waiter to check its condition again (whoever changed a signal state).
void NotifyDispatcher();
// System threads: counted from their creation to their end, and marked on their own
// thread, as machine threads.
void MachineThreadCreated();
void MachineThreadEnded();
void MachineThreadEndedLocked();  // the same with the dispatcher lock held
void MarkMachineThread(bool on);
// True while a DPC is queued or its routine runs.
bool DpcWorkInFlight();

// Expires due timers; called with the dispatcher lock held. Returns how many expired.
size_t ExpireTimersLocked(LONGLONG now);
// The interrupt time of the earliest set timer, or -1.
LONGLONG EarliestTimerLocked();
void WakeTimerThread();
void ResetTimersLocked();

// DPC queue, for the machine controls.
void StartDpcThread();
void StopDpcThread();
void StartTimerThread();
void StopTimerThread();
void ResetDpcQueue();

// IRQL of the calling thread.
KIRQL& CurrentIrql();
// Reports a verifier failure when the calling thread's IRQL is above `maximum`.
bool CheckIrqlAtMost(const char* call, KIRQL maximum);

// Spin locks the calling thread holds now (a DPC routine or system thread must end
// holding none).
int& HeldSpinLocks();

// A thread token for lock ownership: non-zero and unique per live host thread.
ULONG_PTR ThreadToken();

// Windows-style formatting shared by DbgPrint and the safe string routines.
void FormatWindows(std::string& out, const char* format, va_list args);
void FormatWindowsWide(std::u16string& out, const char16_t* format, va_list args);

// Narrowing of UTF-16 for the log and the ANSI routines.
char NarrowUnit(char16_t unit);

// The process the calling thread runs in, and the process behind a process handle
// (NtCurrentProcess() or null: the current one). Null for a bad handle.
PEPROCESS CurrentProcess();
PEPROCESS ProcessFromHandle(HANDLE handle);
// Unmaps every view a process still has (the process ends).
void EndUserProcessViews(PEPROCESS process);

// Pieces of ResetMachine owned by the other units.
void ResetPoolFaults();
void ResetDebugLog();
void ResetDelays();
void ResetFiles();
void ResetMemoryFaults();
void ReapFinishedThreads();

}  // namespace platform::kernel::detail
