// Test main: runs every test on the simulated machine and fails a test in which the
// kernel's verifier caught a misuse (a wait at dispatch level, a lock released that was
// not held, a wrong-tag free, pool leaked at unload...), naming the offending call.
// A test that provokes a failure on purpose takes it with TakeVerifierFailures().
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/kernel/machine.h"

namespace {

class VerifierListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override { ReportPending("before this test"); }
  // Runs before the result printer's end-of-test line (end events go in reverse
  // order of the listeners), so the failure shows in this test's result.
  void OnTestEnd(const ::testing::TestInfo&) override { ReportPending(nullptr); }

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
