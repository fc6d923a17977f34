// A library loaded into the process after start (an in-process server) meets the machine
// the process runs: its pool calls show in the process's accounting, and faults the
// process injects reach its calls. A platform linked into each library separately would
// give the module a machine of its own, and both checks would fail.
#include <dlfcn.h>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

using Allocate = PVOID (*)(SIZE_T, ULONG);
using Free = VOID (*)(PVOID, ULONG);

class SharedMachineTest : public vorlix_test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    module_ = dlopen(VORLIX_SHARED_MACHINE_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    allocate_ = reinterpret_cast<Allocate>(dlsym(module_, "SharedMachineModuleAllocate"));
    free_ = reinterpret_cast<Free>(dlsym(module_, "SharedMachineModuleFree"));
    ASSERT_TRUE(allocate_ && free_);
  }
  void TearDown() override {
    if (module_) dlclose(module_);
    KernelTest::TearDown();
  }

  void* module_ = nullptr;
  Allocate allocate_ = nullptr;
  Free free_ = nullptr;
};

constexpr ULONG kTag = MakePoolTag("ShM ");

TEST_F(SharedMachineTest, TheModulesPoolCallsShowInTheProcesssAccounting) {
  pk::PoolTagStats before = pk::PoolStats(kTag);
  PVOID block = allocate_(48, kTag);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(pk::PoolStats(kTag).liveBlocks - before.liveBlocks, 1);
  EXPECT_EQ(pk::PoolStats(kTag).liveBytes - before.liveBytes, 48);
  // A block the process allocated is freed by the module, and the other way round.
  PVOID mine = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  ASSERT_NE(mine, nullptr);
  free_(mine, kTag);
  ExFreePoolWithTag(block, kTag);
  EXPECT_EQ(pk::PoolStats(kTag).liveBlocks, before.liveBlocks);
  EXPECT_EQ(pk::PoolStats(kTag).frees - before.frees, 2u);
  EXPECT_TRUE(pk::VerifierFailures().empty());
}

TEST_F(SharedMachineTest, FaultsTheProcessInjectsReachTheModule) {
  uint64_t failuresBefore = pk::PoolStats(kTag).failures;
  pk::FailAllocationsWithTag(kTag, 1);
  EXPECT_EQ(allocate_(8, kTag), nullptr);
  EXPECT_EQ(pk::PoolStats(kTag).failures - failuresBefore, 1u);
  pk::ClearPoolFaults();
  // The verifier the process reads catches the module's misuse: a wrong-tag free.
  PVOID block = allocate_(8, kTag);
  ASSERT_NE(block, nullptr);
  free_(block, MakePoolTag("Othr"));
  EXPECT_EQ(pk::TakeVerifierFailures().size(), 1u);
}

}  // namespace
