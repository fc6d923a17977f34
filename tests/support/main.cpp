// Test main: runs every test on the simulated machine and fails a test in which the
// kernel's verifier caught a misuse (a wait at dispatch level, a lock released that was
// not held, a wrong-tag free, pool leaked at unload...), naming the offending call.
// A test that provokes a failure on purpose takes it with TakeVerifierFailures().
// Programs of an area whose tests start no threads (VORLIX_TEST_SINGLE_THREADED) also
// fail a test that leaves a thread running: ThreadSanitizer would never see it.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/machine.h"

namespace {
std::atomic<int> g_threadsStarted{0};
}  // namespace

// Every thread the program starts, the platform's and the test's own, comes through here
// (the sanitizers' run-times take this call over themselves, so their builds go without).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const Create create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  g_threadsStarted.fetch_add(1);
  return create(thread, attr, start, arg);
}
#endif

namespace {

class VerifierListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override { ReportPending("before this test"); }
  // Runs before the result printer's end-of-test line (end events go in reverse
  // order of the listeners), so the failure shows in this test's result.
  void OnTestEnd(const ::testing::TestInfo&) override {
    ReportPending(nullptr);
    if (std::getenv("VORLIX_TEST_SINGLE_THREADED") && g_threadsStarted.exchange(0) > 0)
      ADD_FAILURE() << "this test started a thread, but its area is not among the areas whose tests start "
                       "threads (VORLIX_THREADED_AREAS in tests/CMakeLists.txt), which ThreadSanitizer runs";
  }

 private:
  static void ReportPending(const char* when) {
    for (const auto& f : platform::kernel::TakeVerifierFailures()) {
      std::string text = platform::kernel::FormatVerifierFailure(f);
      if (when) text += std::string(" [reported ") + when + "]";
      ADD_FAILURE() << text;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
  int result = RUN_ALL_TESTS();
  platform::kernel::ShutdownMachine();
  // Misuse caught after the last test ended (a background thread) still fails the run.
  for (const auto& f : platform::kernel::TakeVerifierFailures()) {
    std::fprintf(stderr, "%s [after the last test]\n", platform::kernel::FormatVerifierFailure(f).c_str());
    result = 1;
  }
  return result;
}
