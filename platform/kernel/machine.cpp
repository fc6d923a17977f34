// The machine's modes, reset and shutdown.
#include <atomic>

#include "platform/kernel/internal.h"

namespace platform::kernel {
namespace {

std::mutex g_modeLock;
// Read without the lock: a device's own thread asks for the mode while holding its
// locks, and a change of mode joins threads that may be waiting for those locks.
std::atomic<Mode> g_mode{Mode::Manual};

}  // namespace

void SetMode(Mode mode) {
  std::lock_guard<std::mutex> g(g_modeLock);
  if (mode == g_mode.load()) return;
  g_mode.store(mode);
  if (mode == Mode::Threaded) {
    detail::StartDpcThread();
    detail::StartTimerThread();
  } else {
    detail::StopTimerThread();
    detail::StopDpcThread();
  }
}

Mode GetMode() { return g_mode.load(); }

void ResetMachine() {
  SetMode(Mode::Manual);
  detail::ResetDpcQueue();
  {
    std::lock_guard<std::mutex> g(detail::DispatcherLock());
    detail::ResetTimersLocked();
  }
  UseTestClock();
  SetTimeZoneBias(0);
  detail::ResetDelays();
  detail::ResetDebugLog();
  detail::ResetPoolFaults();
  detail::ResetFiles();
  detail::ResetMemoryFaults();
  detail::ReapFinishedThreads();
  // Verifier failures stay: they belong to the test that caused them, which the test
  // main fails at its end.
}

void ShutdownMachine() {
  SetMode(Mode::Manual);
  detail::ReapFinishedThreads();
}

}  // namespace platform::kernel
