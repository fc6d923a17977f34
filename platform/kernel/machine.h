// The machine's controls, for tests, the Plug and Play harness and the main job.
// Host code only: the system's code never includes this.
//
// Defaults (and the state after ResetMachine): manual mode, test clock standing at
// kTestStartSystemTime, delay scale 0, time-zone bias 0, empty debugger log, no injected
// faults, drive C: = a fresh temporary folder. ResetMachine leaves verifier failures for
// the test main to report.
//
// A run on real time (the main job, end-to-end runs): SetMode(Mode::Threaded);
// UseRealClock(); SetDelayScale(1); UseHostTimeZone(); SetDriveFolder('C', root / "C");
// and at the end CheckPoolLeaksAtUnload, SaveDebugLog, ShutdownMachine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/kernel.h"

namespace platform::kernel {

// ---- Modes ---------------------------------------------------------------------------
// Threaded: DPCs run on the machine's DPC thread and timers expire on their own (real
// clock) - end-to-end tests, the main job, ThreadSanitizer runs.
// Manual: nothing runs in the background; the test drains the DPC queue
// (RunPendingDpcs) and fires timers (AdvanceClock / FireDueTimers).
// System threads run on real threads in both modes.
enum class Mode { Manual, Threaded };
void SetMode(Mode mode);
Mode GetMode();

// Back to the defaults above. Waits for the background threads of threaded mode to stop,
// empties the DPC queue and the timer list. Pool accounting is not reset (blocks may
// outlive a test); take a PoolSnapshot to compare against.
void ResetMachine();
// Stops the background threads (called by the test main and the main job at exit).
void ShutdownMachine();

// ---- The clock -----------------------------------------------------------------------
// 2016-08-15 00:00:00 UTC in system time (100 ns units since 1601).
constexpr LONGLONG kTestStartSystemTime = 131156928000000000LL;

enum class ClockKind { Test, Real };
// The test clock: interrupt time starts at 0, system time at startSystemTime.
void UseTestClock(LONGLONG startSystemTime = kTestStartSystemTime);
void UseRealClock();
ClockKind GetClockKind();
// Test clock only: moves time forward by `hundredNs`, stopping at each timer's due time
// on the way to expire it (its DPC is queued; in threaded mode it then runs), and wakes
// every wait and delay whose time has come.
void AdvanceClock(LONGLONG hundredNs);
inline void AdvanceClockMs(LONGLONG ms) { AdvanceClock(ms * 10000); }
LONGLONG InterruptTimeNow();
LONGLONG SystemTimeNow();
// Local time = system time - bias (100 ns units; UTC+8 is -8 hours).
void SetTimeZoneBias(LONGLONG bias);
// The bias of the host's own time zone at this moment (for the main job).
void UseHostTimeZone();

// The jumping test clock, for threaded runs with many threads: the test clock as above,
// which also moves on its own. Whenever every machine thread is blocked in a wait or a
// delay and nothing is in flight, it jumps to the earliest time anything is due: a
// waiter's time-out, a delay's end, a timer, a deadline source. Machine threads are the
// system threads and the host threads inside a MachineThreadScope (the test thread
// that calls into the driver and lets time pass with machine waits and delays). In
// flight: a queued or running DPC, a hold (HoldClock), a deadline source whose time has
// come. UseTestClock, UseRealClock and ResetMachine end it. Delays still follow the
// delay scale: set it to 1 for delays to take their time.
void UseJumpingTestClock(LONGLONG startSystemTime = kTestStartSystemTime);
bool JumpingTestClock();
class MachineThreadScope {
 public:
  MachineThreadScope();
  ~MachineThreadScope();
  MachineThreadScope(const MachineThreadScope&) = delete;
  MachineThreadScope& operator=(const MachineThreadScope&) = delete;

 private:
  bool previous_;
};
// A part of the machine with events of its own (a simulated board): `nextDue` answers
// the interrupt time of its next event, or -1 for none. It is called with the machine's
// dispatcher lock held, so it may take only its own locks. `moved` (optional) is called
// each time the test clock has moved, with none of the machine's locks held: a part that
// looks for due events on a thread of its own looks at once instead of at its next poll.
int AddClockDeadlineSource(std::function<LONGLONG()> nextDue, std::function<void()> moved = nullptr);
void RemoveClockDeadlineSource(int id);
// A hand-over of work between parts of the machine that the jumping clock watches (an
// event posted, an interrupt line raised, a DPC queued). Call it once the work is
// visible in its new place and before it leaves the old one: the clock then never jumps
// on a look that saw the work in neither place. It also has the clock look again at once
// (a part whose work is done calls it too).
void NoteMachineProgress();
// Work in flight that no wait shows (an interrupt on its way to its service routine).
void HoldClock();
void ReleaseClock();

// Threads blocked now in a wait or delay (for tests that advance the clock once a
// waiter is known to be waiting).
size_t BlockedWaiterCount();
// Returns when at least `count` threads are blocked in waits or delays (real time, up
// to `timeoutMs`); false on time-out.
bool WaitForBlockedWaiters(size_t count, int timeoutMs = 5000);
// How many acquisitions of a fast mutex have had to wait for it so far (a test that holds
// the mutex sees another thread arrive at it).
ULONG FastMutexContention(PFAST_MUTEX mutex);

// ---- Delays (KeDelayExecutionThread) --------------------------------------------------
// A delay lasts interval x scale on the machine clock: 0 returns at once (unit tests),
// 1 is real length (the main job). With the test clock a scaled delay waits for the
// test to advance the clock.
void SetDelayScale(double scale);
double GetDelayScale();
struct DelayRecord {
  LONGLONG interval;  // as passed: negative = relative, 100 ns units
  KIRQL irql;
};
std::vector<DelayRecord> DelayRequests();
void ClearDelayRequests();

// ---- DPCs and timers -------------------------------------------------------------------
// Manual mode: runs queued DPCs on the calling thread, one at a time at DISPATCH_LEVEL,
// until the queue is empty (including DPCs queued meanwhile). Returns how many ran.
size_t RunPendingDpcs();
// Runs the DPC at the head of the queue; false when the queue is empty.
bool RunOneDpc();
size_t PendingDpcCount();
// Expires every timer whose due time has passed (queues their DPCs). Returns how many.
size_t FireDueTimers();
size_t ActiveTimerCount();
// Threaded mode: returns when the DPC queue is empty and no DPC routine runs.
void WaitForDpcsIdle();

// ---- Pool ----------------------------------------------------------------------------
struct PoolTagStats {
  ULONG tag = 0;
  int64_t liveBlocks = 0;
  int64_t liveBytes = 0;
  uint64_t allocations = 0;  // successful
  uint64_t frees = 0;
  uint64_t failures = 0;  // allocations refused (injected)
};
PoolTagStats PoolStats(ULONG tag);
std::vector<PoolTagStats> PoolAllStats();  // tags with any activity
int64_t PoolLiveBlocks();
int64_t PoolLiveBytes();
uint64_t PoolAllocationCount();  // every ExAllocatePoolWithTag call so far

// Live blocks per tag at one moment; Leaked() tells what grew since.
class PoolSnapshot {
 public:
  PoolSnapshot();
  std::vector<PoolTagStats> Leaked() const;  // tags with more live blocks than at the snapshot
 private:
  std::vector<PoolTagStats> at_;
};

// Fault injection. Allocations are counted from the moment of the call, among those
// with `tag` (0 = any tag): FailNthAllocation(1) fails the very next one.
void FailNthAllocation(uint64_t n, ULONG tag = 0);
// Fails the next `count` allocations with `tag` (default: all of them, until cleared).
void FailAllocationsWithTag(ULONG tag, uint64_t count = UINT64_MAX);
void ClearPoolFaults();

// Optional call log of every allocation and free (off by default; costs a lock).
struct PoolCall {
  bool free;  // false = allocation
  ULONG tag;
  SIZE_T size;    // allocations
  void* address;  // returned (null when refused) or freed
};
void EnablePoolCallLog(bool on);
std::vector<PoolCall> PoolCallLog();
void ClearPoolCallLog();

// The leak check at driver unload: every tag with live blocks is reported to the
// verifier as "pool leaked at unload" with tag, block count and bytes. Returns true when
// nothing leaked. `baseline` (optional) excludes blocks that were live before the load.
bool CheckPoolLeaksAtUnload(const char* driverName, const PoolSnapshot* baseline = nullptr);

// ---- Verifier ------------------------------------------------------------------------
struct VerifierFailure {
  std::string call;    // the offending call: "KeWaitForSingleObject", "ExFreePoolWithTag"...
  std::string detail;  // what was wrong, with the values involved
  ULONG code = 0;      // the bug check code a real machine would stop with
};
// Platform layers report misuse here; the test main fails the running test with it.
void ReportVerifierFailure(const std::string& call, const std::string& detail, ULONG code);
std::vector<VerifierFailure> VerifierFailures();
// Returns and clears the list (a test that expects a failure takes it).
std::vector<VerifierFailure> TakeVerifierFailures();
void ClearVerifierFailures();
std::string FormatVerifierFailure(const VerifierFailure& failure);

// ---- Debugger log --------------------------------------------------------------------
std::string DebugLogText();
// Split at '\n'; a final line without its newline is included as it is.
std::vector<std::string> DebugLogLines();
void ClearDebugLog();
bool SaveDebugLog(const std::filesystem::path& path);
// Also copy every DbgPrint to the given stream as it happens (null: off).
void EchoDebugLog(std::FILE* stream);

// ---- Files ---------------------------------------------------------------------------
// The host folder behind a DOS drive letter ('C').
void SetDriveFolder(char drive, const std::filesystem::path& folder);
std::filesystem::path DriveFolder(char drive);
// The host path a kernel file name maps to (empty when the name is not on a mapped drive).
std::filesystem::path HostPathOf(const std::u16string& kernelName);
enum class FileOp { Create, Read, Write, Query };
// The nth call of `op` from now fails with `status` (n = 1: the next one).
void FailNthFileOperation(FileOp op, uint64_t n, NTSTATUS status);
void ClearFileFaults();

// ---- Memory descriptor lists and views -------------------------------------------------
// Fault injection for IoAllocateMdl (by count, through the pool: tag "Mdl ") and for
// MmMapLockedPagesSpecifyCache: the nth call from now returns null.
void FailNthMdlMapping(uint64_t n);
// The nth MmProbeAndLockPages from now fails with `status` (n = 1: the next one).
void FailNthMdlLock(uint64_t n, NTSTATUS status = STATUS_WORKING_SET_QUOTA);
// The host shared-memory object of a named section's leaf name ("NAME" of
// "\BaseNamedObjects\NAME"): "/NAME", or "/<ns>NAME" when the environment variable
// VORLIX_SECTION_NAMESPACE is set, so machines running side by side keep their sections
// apart and a producer process started with that environment finds the same ones.
// False for a name no section can have.
bool SectionHostName(const std::u16string& leaf, std::string* out);
size_t LockedMdlCount();
size_t MappedViewCount();
// Reads of a system mapping of locked section pages that found the pages gone (the
// producer shrank its shared-memory object, which a real section cannot do) and were
// given zero pages in their place instead of a bus error.
uint64_t LostSectionTailFaults();

// ---- Processes -------------------------------------------------------------------------
// A host stand-in for a user process (an application using the driver). Views mapped
// while a thread runs "in" it belong to it.
PEPROCESS SystemProcess();
PEPROCESS CreateUserProcess(const char* name);
// Ends the process: its views are unmapped, then the object is released.
void EndUserProcess(PEPROCESS process);
// Runs the calling thread in `process` for the guard's lifetime.
class ScopedProcess {
 public:
  explicit ScopedProcess(PEPROCESS process);
  ~ScopedProcess();
  ScopedProcess(const ScopedProcess&) = delete;
  ScopedProcess& operator=(const ScopedProcess&) = delete;

 private:
  PEPROCESS previous_;
};

// ---- Threads ---------------------------------------------------------------------------
size_t LiveSystemThreadCount();
// Waits (real time, up to `timeoutMs`) until every system thread has ended.
bool WaitForSystemThreads(int timeoutMs);

// Runs the calling thread at the given IRQL for the guard's lifetime (e.g. to call a
// routine as an interrupt or DPC would).
class ScopedIrql {
 public:
  explicit ScopedIrql(KIRQL irql);
  ~ScopedIrql();
  ScopedIrql(const ScopedIrql&) = delete;
  ScopedIrql& operator=(const ScopedIrql&) = delete;

 private:
  KIRQL previous_;
};

}  // namespace platform::kernel
