// The machine's modes, reset and shutdown.
#include <atomic>

#include "platform/kernel/internal.h"

namespace platform::kernel {
namespace {

std::mutex g_modeLock;
Mode g_mode = Mode::Manual;

}  // namespace

void SetMode(Mode mode) {
  std::lock_guard<std::mutex> g(g_modeLock);
  if (mode == g_mode) return;
  g_mode = mode;
  if (mode == Mode::Threaded) {
    detail::StartDpcThread();
    detail::StartTimerThread();
  } else {
    detail::StopTimerThread();
    detail::StopDpcThread();
  }
}

Mode GetMode() {
  std::lock_guard<std::mutex> g(g_modeLock);
  return g_mode;
}

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
