// The machine's one clock and everything that reads it: system, interrupt and
// performance-counter time, local time, time fields, delays.
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "platform/kernel/internal.h"

namespace platform::kernel::detail {
namespace {

constexpr LONGLONG kUnixEpochSystemTime = 116444736000000000LL;  // 1970-01-01 in system time

struct Clock {
  std::atomic<bool> test{true};
  std::atomic<LONGLONG> testInterrupt{0};
  std::atomic<LONGLONG> testSystemBase{kTestStartSystemTime};
  std::chrono::steady_clock::time_point realStart = std::chrono::steady_clock::now();
  std::atomic<LONGLONG> bias{0};
};
Clock& TheClock() {
  static Clock c;
  return c;
}

LONGLONG RealInterruptTime() {
  auto d = std::chrono::steady_clock::now() - TheClock().realStart;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

struct Delays {
  std::mutex lock;
  std::vector<DelayRecord> records;
  std::atomic<double> scale{0.0};
};
Delays& TheDelays() {
  static Delays d;
  return d;
}

}  // namespace

bool TestClock() { return TheClock().test.load(std::memory_order_acquire); }

LONGLONG InterruptTime() {
  return TestClock() ? TheClock().testInterrupt.load(std::memory_order_acquire) : RealInterruptTime();
}

LONGLONG SystemTime() {
  if (TestClock()) return TheClock().testSystemBase.load() + TheClock().testInterrupt.load(std::memory_order_acquire);
  auto since = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochSystemTime + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

LONGLONG DeadlineFromTimeout(LONGLONG timeout) {
  LONGLONG now = InterruptTime();
  if (timeout < 0) return now - timeout;
  LONGLONG rel = timeout - SystemTime();
  return rel > 0 ? now + rel : now;
}

namespace {
// Hand-overs of work between parts of the machine (NoteMachineProgress).
std::atomic<uint64_t> g_progress{0};
// Notifications so far: a blocked machine thread counts as waiting only once it has
// checked its condition after the latest one (else it may be about to run).
std::atomic<uint64_t> g_notifications{0};
thread_local BlockedWaiter* t_waiter = nullptr;
}  // namespace

namespace {
// The jumping clock's own wake-up. It is woken with every notification and also when a
// machine waiter has checked its condition after the latest one: that may be the last
// look it waits for, and the waiter gives no notification of its own.
std::condition_variable& JumperCv() {
  static std::condition_variable cv;
  return cv;
}
// Calls for the jumping clock to look so far. A call made while it is still looking (it
// was not waiting, so the wake-up itself is lost) has it look again at once instead of
// at its next poll.
std::atomic<uint64_t> g_jumperCalls{0};
void WakeJumper() {
  g_jumperCalls.fetch_add(1, std::memory_order_acq_rel);
  JumperCv().notify_one();
}
// Delays wait for the clock alone, each on its own wake-up: a move of the clock wakes the
// delays whose end it reached, not every delay nor every wait.
std::multimap<LONGLONG, std::condition_variable*>& Delays() {  // by end; dispatcher lock
  static std::multimap<LONGLONG, std::condition_variable*> delays;
  return delays;
}
// Wakes the delays that end at `now` or before (all of them for a change of clock).
// Dispatcher lock held.
void WakeDelaysLocked(LONGLONG now) {
  for (auto& delay : Delays()) {
    if (delay.first > now) break;
    delay.second->notify_one();
  }
}
void WakeAllDelaysLocked() {
  for (auto& delay : Delays()) delay.second->notify_one();
}
// Callers of WaitForBlockedWaiters now (dispatcher lock).
size_t g_blockedWatchers = 0;
}  // namespace

void NotifyDispatcher() {
  g_notifications.fetch_add(1, std::memory_order_acq_rel);
  DispatcherCv().notify_all();
  WakeJumper();
}

namespace {
void WaitOn(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, LONGLONG deadline) {
  if (t_waiter && !t_waiter->clockOnly) {
    const uint64_t latest = g_notifications.load(std::memory_order_acquire);
    if (t_waiter->machine && t_waiter->seen != latest) WakeJumper();
    t_waiter->seen = latest;
  }
  // The test clock moves only under the dispatcher lock, with a notification, so a
  // waiter on it needs no timed wake-up; the bounded wait only guards against a switch
  // of clock while waiting.
  if (TestClock() || deadline < 0) {
    cv.wait_for(lock, std::chrono::milliseconds(50));
    return;
  }
  LONGLONG remaining = deadline - RealInterruptTime();
  if (remaining <= 0) return;
  cv.wait_for(lock, std::chrono::nanoseconds(remaining * 100));
}
}  // namespace

void WaitOnDispatcher(std::unique_lock<std::mutex>& lock, LONGLONG deadline) { WaitOn(DispatcherCv(), lock, deadline); }

namespace {
size_t g_blocked = 0;                        // dispatcher lock
size_t g_blockedMachine = 0;                 // of those: machine threads; dispatcher lock
std::multiset<LONGLONG> g_machineDeadlines;  // their deadlines; dispatcher lock
std::set<BlockedWaiter*> g_machineWaiters;   // dispatcher lock
std::multiset<LONGLONG> g_waitDeadlines;     // time-outs of every blocked wait (not delays); dispatcher lock
std::atomic<size_t> g_machineThreads{0};     // system threads alive, and joined host threads
thread_local bool t_machineThread = false;

// The jumping test clock: its thread, and what holds it back besides the waits.
struct Jumper {
  bool on = false;  // dispatcher lock
  bool stop = false;
  std::thread thread;
  std::mutex sourcesLock;
  struct Source {
    std::function<LONGLONG()> nextDue;
    std::function<void()> moved;
  };
  std::map<int, Source> sources;
  int nextSource = 1;
  std::atomic<int> holds{0};
};
Jumper& TheJumper() {
  static Jumper j;
  return j;
}
}  // namespace

BlockedWaiter::BlockedWaiter(LONGLONG deadline, bool clockOnly)
    : machine(t_machineThread), clockOnly(clockOnly), deadline(deadline), previous(t_waiter) {
  ++g_blocked;
  if (machine) {
    ++g_blockedMachine;
    if (deadline >= 0) g_machineDeadlines.insert(deadline);
    g_machineWaiters.insert(this);
  }
  t_waiter = this;
  if (!clockOnly) {
    if (deadline >= 0) g_waitDeadlines.insert(deadline);
    NotifyDispatcher();
    return;
  }
  // Nothing another waiter waits for has changed: only the clock and the counters of
  // blocked threads need to know.
  WakeJumper();
  if (g_blockedWatchers) DispatcherCv().notify_all();
}
BlockedWaiter::~BlockedWaiter() {
  --g_blocked;
  if (machine) {
    --g_blockedMachine;
    if (deadline >= 0) g_machineDeadlines.erase(g_machineDeadlines.find(deadline));
    g_machineWaiters.erase(this);
  }
  if (!clockOnly && deadline >= 0) g_waitDeadlines.erase(g_waitDeadlines.find(deadline));
  t_waiter = previous;
}

void MachineThreadCreated() { g_machineThreads.fetch_add(1); }
void MachineThreadEnded() {
  std::lock_guard<std::mutex> g(DispatcherLock());
  MachineThreadEndedLocked();
}
void MachineThreadEndedLocked() {
  g_machineThreads.fetch_sub(1);
  NotifyDispatcher();
}
void MarkMachineThread(bool on) { t_machineThread = on; }

namespace {

// Moves the test clock to `target`, stopping at each timer's due time on the way so
// periodic timers fire once per period and each expiry sees its own time. Dispatcher
// lock held.
void AdvanceToLocked(LONGLONG target) {
  for (;;) {
    LONGLONG due = EarliestTimerLocked();
    if (due < 0 || due > target) break;
    if (due > TheClock().testInterrupt.load()) TheClock().testInterrupt.store(due, std::memory_order_release);
    ExpireTimersLocked(TheClock().testInterrupt.load());
  }
  if (target > TheClock().testInterrupt.load()) TheClock().testInterrupt.store(target, std::memory_order_release);
  // Expired timers notified their waiters; of the others only a wait whose time-out has
  // come has anything to look at.
  if (!g_waitDeadlines.empty() && *g_waitDeadlines.begin() <= TheClock().testInterrupt.load()) NotifyDispatcher();
  WakeDelaysLocked(TheClock().testInterrupt.load());
}

// The next time anything is due, or -1 when nothing is; `busy` when work is in flight
// now. Dispatcher lock held.
LONGLONG NextDeadlineLocked(bool& busy) {
  LONGLONG now = TheClock().testInterrupt.load();
  busy = TheJumper().holds.load() > 0 || DpcWorkInFlight();
  LONGLONG next = -1;
  auto consider = [&](LONGLONG t) {
    if (t < 0) return;
    if (t <= now) busy = true;
    if (next < 0 || t < next) next = t;
  };
  if (!g_machineDeadlines.empty()) consider(*g_machineDeadlines.begin());
  consider(EarliestTimerLocked());
  std::lock_guard<std::mutex> g(TheJumper().sourcesLock);
  for (auto& source : TheJumper().sources) consider(source.second.nextDue());
  return next;
}

// Tells the parts with events of their own that the clock has moved. No machine lock
// held by the caller.
void TellSourcesClockMoved() {
  std::lock_guard<std::mutex> g(TheJumper().sourcesLock);
  for (auto& source : TheJumper().sources)
    if (source.second.moved) source.second.moved();
}

void JumperMain() {
  Jumper& j = TheJumper();
  std::unique_lock<std::mutex> lock(DispatcherLock());
  uint64_t seen = g_jumperCalls.load(std::memory_order_acquire);
  while (!j.stop) {
    // Notifications come with every change of a wait and every hand-over of work; the
    // poll covers a call that came between the last look and the wait.
    JumperCv().wait_for(lock, std::chrono::milliseconds(1), [&] {
      return j.stop || g_jumperCalls.load(std::memory_order_acquire) != seen;
    });
    seen = g_jumperCalls.load(std::memory_order_acquire);
    if (j.stop || !j.on || !TestClock()) continue;
    // The parts are looked at one after another while work may move between them: a
    // look during which any work changed hands proves nothing. The count of hand-overs
    // is taken before the machine threads are counted, since a thread that starts to
    // count as a machine thread (a host thread taking up the machine's work) notes it.
    uint64_t progress = g_progress.load(std::memory_order_acquire);
    size_t machine = g_machineThreads.load();
    if (machine == 0 || g_blockedMachine < machine) continue;
    // A waiter woken by the latest notification may be about to run.
    uint64_t latest = g_notifications.load(std::memory_order_acquire);
    bool settled = true;
    for (const BlockedWaiter* w : g_machineWaiters) settled = settled && (w->clockOnly || w->seen == latest);
    if (!settled) continue;
    bool busy = false;
    LONGLONG next = NextDeadlineLocked(busy);
    if (busy || next < 0 || g_progress.load(std::memory_order_acquire) != progress) continue;
    AdvanceToLocked(next);
    // The jump expired the timers it passed and woke the waits and delays whose time
    // came; the rest have nothing new to look at.
    lock.unlock();
    TellSourcesClockMoved();
    lock.lock();
  }
}

void StopJumper() {
  Jumper& j = TheJumper();
  {
    std::lock_guard<std::mutex> g(DispatcherLock());
    j.on = false;
    j.stop = true;
    NotifyDispatcher();
  }
  if (j.thread.joinable()) j.thread.join();
  j.stop = false;
}

}  // namespace

void ResetDelays() {
  std::lock_guard<std::mutex> g(TheDelays().lock);
  TheDelays().records.clear();
  TheDelays().scale = 0.0;
}

}  // namespace platform::kernel::detail

namespace platform::kernel {

using namespace detail;

void UseTestClock(LONGLONG startSystemTime) {
  StopJumper();
  std::lock_guard<std::mutex> g(DispatcherLock());
  TheClock().testInterrupt = 0;
  TheClock().testSystemBase = startSystemTime;
  TheClock().test = true;
  NotifyDispatcher();
  WakeAllDelaysLocked();
}

void UseJumpingTestClock(LONGLONG startSystemTime) {
  UseTestClock(startSystemTime);
  std::lock_guard<std::mutex> g(DispatcherLock());
  TheJumper().on = true;
  TheJumper().thread = std::thread(JumperMain);
}

bool JumpingTestClock() {
  std::lock_guard<std::mutex> g(DispatcherLock());
  return TheJumper().on;
}

MachineThreadScope::MachineThreadScope() : previous_(t_machineThread) {
  if (!previous_) {
    MarkMachineThread(true);
    MachineThreadCreated();
  }
}
MachineThreadScope::~MachineThreadScope() {
  if (!previous_) {
    MarkMachineThread(false);
    MachineThreadEnded();
  }
}

int AddClockDeadlineSource(std::function<LONGLONG()> nextDue, std::function<void()> moved) {
  std::lock_guard<std::mutex> g(TheJumper().sourcesLock);
  int id = TheJumper().nextSource++;
  TheJumper().sources[id] = Jumper::Source{std::move(nextDue), std::move(moved)};
  return id;
}

void RemoveClockDeadlineSource(int id) {
  std::lock_guard<std::mutex> g(TheJumper().sourcesLock);
  TheJumper().sources.erase(id);
}

void NoteMachineProgress() {
  g_progress.fetch_add(1, std::memory_order_acq_rel);
  WakeJumper();
}

void HoldClock() { TheJumper().holds.fetch_add(1); }
void ReleaseClock() {
  TheJumper().holds.fetch_sub(1);
  std::lock_guard<std::mutex> g(DispatcherLock());
  NotifyDispatcher();
}

void UseRealClock() {
  StopJumper();
  {
    std::lock_guard<std::mutex> g(DispatcherLock());
    TheClock().test = false;
    NotifyDispatcher();
    WakeAllDelaysLocked();
  }
  WakeTimerThread();
}

ClockKind GetClockKind() { return TestClock() ? ClockKind::Test : ClockKind::Real; }

void AdvanceClock(LONGLONG hundredNs) {
  if (!TestClock()) {
    ReportVerifierFailure("AdvanceClock", "the machine runs on the real clock", 0);
    return;
  }
  if (hundredNs < 0) hundredNs = 0;
  {
    std::lock_guard<std::mutex> g(DispatcherLock());
    AdvanceToLocked(TheClock().testInterrupt.load() + hundredNs);
  }
  WakeTimerThread();
  TellSourcesClockMoved();
}

LONGLONG InterruptTimeNow() { return InterruptTime(); }
LONGLONG SystemTimeNow() { return SystemTime(); }
void SetTimeZoneBias(LONGLONG bias) { TheClock().bias = bias; }

void UseHostTimeZone() {
  time_t now = ::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  SetTimeZoneBias(-(LONGLONG)local.tm_gmtoff * 10000000);
}

size_t BlockedWaiterCount() {
  std::lock_guard<std::mutex> g(DispatcherLock());
  return g_blocked;
}

bool WaitForBlockedWaiters(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(DispatcherLock());
  ++g_blockedWatchers;
  const bool reached =
      DispatcherCv().wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return g_blocked >= count; });
  --g_blockedWatchers;
  return reached;
}

void SetDelayScale(double scale) { TheDelays().scale = scale < 0 ? 0 : scale; }
double GetDelayScale() { return TheDelays().scale; }

std::vector<DelayRecord> DelayRequests() {
  std::lock_guard<std::mutex> g(TheDelays().lock);
  return TheDelays().records;
}

void ClearDelayRequests() {
  std::lock_guard<std::mutex> g(TheDelays().lock);
  TheDelays().records.clear();
}

}  // namespace platform::kernel

using namespace platform::kernel::detail;

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = SystemTime(); }

ULONGLONG KeQueryInterruptTime() { return (ULONGLONG)InterruptTime(); }

namespace {
// Reads of the performance counter under the test clock. A processor that busy-waits on
// the counter must see it move even though the machine clock stands still until the
// test advances it, so every read counts one more tick on top of the machine clock.
// Timers and waits keep reading the machine clock alone.
std::atomic<LONGLONG> g_counterReads{0};
}  // namespace

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER r;
  if (TestClock())
    r.QuadPart = InterruptTime() + g_counterReads.fetch_add(1, std::memory_order_relaxed) + 1;
  else
    r.QuadPart = InterruptTime();
  return r;
}

ULONG KeQueryTimeIncrement() { return 156250; }

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = InterruptTime() / 156250; }

VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime) {
  LocalTime->QuadPart = SystemTime->QuadPart - TheClock().bias.load();
}

VOID ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime) {
  SystemTime->QuadPart = LocalTime->QuadPart + TheClock().bias.load();
}

namespace {

constexpr LONGLONG kTicksPerMs = 10000;
constexpr LONGLONG kTicksPerDay = 864000000000LL;
constexpr LONGLONG kDays1601To1970 = 134774;

// Days since 1970-01-01 <-> civil date (proleptic Gregorian).
void CivilFromDays(LONGLONG z, LONGLONG& y, unsigned& m, unsigned& d) {
  z += 719468;
  LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = (unsigned)(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = (LONGLONG)yoe + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += (m <= 2);
}

LONGLONG DaysFromCivil(LONGLONG y, unsigned m, unsigned d) {
  y -= m <= 2;
  LONGLONG era = (y >= 0 ? y : y - 399) / 400;
  unsigned yoe = (unsigned)(y - era * 400);
  unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + (LONGLONG)doe - 719468;
}

bool IsLeap(LONGLONG y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields) {
  LONGLONG t = Time->QuadPart < 0 ? 0 : Time->QuadPart;
  LONGLONG days = t / kTicksPerDay;
  LONGLONG rest = t % kTicksPerDay;
  LONGLONG y;
  unsigned m, d;
  CivilFromDays(days - kDays1601To1970, y, m, d);
  TimeFields->Year = (CSHORT)y;
  TimeFields->Month = (CSHORT)m;
  TimeFields->Day = (CSHORT)d;
  LONGLONG ms = rest / kTicksPerMs;
  TimeFields->Milliseconds = (CSHORT)(ms % 1000);
  LONGLONG s = ms / 1000;
  TimeFields->Second = (CSHORT)(s % 60);
  TimeFields->Minute = (CSHORT)((s / 60) % 60);
  TimeFields->Hour = (CSHORT)(s / 3600);
  TimeFields->Weekday = (CSHORT)((days + 1) % 7);  // 1601-01-01 was a Monday
}

BOOLEAN RtlTimeFieldsToTime(PTIME_FIELDS F, PLARGE_INTEGER Time) {
  static const int kDaysIn[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (F->Year < 1601 || F->Month < 1 || F->Month > 12 || F->Day < 1 || F->Hour < 0 || F->Hour > 23 || F->Minute < 0 ||
      F->Minute > 59 || F->Second < 0 || F->Second > 59 || F->Milliseconds < 0 || F->Milliseconds > 999)
    return FALSE;
  int dim = kDaysIn[F->Month - 1] + (F->Month == 2 && IsLeap(F->Year) ? 1 : 0);
  if (F->Day > dim) return FALSE;
  LONGLONG days = DaysFromCivil(F->Year, (unsigned)F->Month, (unsigned)F->Day) + kDays1601To1970;
  Time->QuadPart = days * kTicksPerDay + (((LONGLONG)F->Hour * 60 + F->Minute) * 60 + F->Second) * 10000000LL +
                   (LONGLONG)F->Milliseconds * kTicksPerMs;
  return TRUE;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  CheckIrqlAtMost("KeDelayExecutionThread", APC_LEVEL);
  LONGLONG interval = Interval ? Interval->QuadPart : 0;
  {
    std::lock_guard<std::mutex> g(TheDelays().lock);
    TheDelays().records.push_back(platform::kernel::DelayRecord{interval, CurrentIrql()});
  }
  if (CurrentIrql() > APC_LEVEL) return STATUS_SUCCESS;
  LONGLONG length = interval < 0 ? -interval : interval - SystemTime();
  double scaled = std::floor((double)length * TheDelays().scale.load());
  if (scaled <= 0) return STATUS_SUCCESS;
  std::unique_lock<std::mutex> lock(DispatcherLock());
  LONGLONG deadline = InterruptTime() + (LONGLONG)scaled;
  BlockedWaiter blocked(deadline, true);
  std::condition_variable wake;
  const auto delay = Delays().emplace(deadline, &wake);
  while (InterruptTime() < deadline) WaitOn(wake, lock, deadline);
  Delays().erase(delay);
  return STATUS_SUCCESS;
}
