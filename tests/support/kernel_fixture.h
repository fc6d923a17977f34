// A fixture that starts every test on a freshly reset machine: manual mode, the test
// clock, delay scale 0, an empty debugger log, no injected faults.
#pragma once

#include <gtest/gtest.h>

#include "platform/kernel/machine.h"

namespace vorlix_test {

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::kernel::ResetMachine(); }
  void TearDown() override { platform::kernel::ResetMachine(); }
};

}  // namespace vorlix_test
