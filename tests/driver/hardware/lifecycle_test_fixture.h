// A board started through the Plug and Play harness with the driver's own entry (the
// device's start, stop and power entries), on the jumping test clock (the machine threaded, delays taking their time on
// the test clock): hardware initialisation, stream power, the monitor thread and the
// frame clocks run as they would, and every wait and delay ends exactly on its deadline.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/driver_entry.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/lifecycle.h"
#include "platform/board/board.h"
#include "platform/board/encoder_core.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"
#include "tests/driver/hardware/encoder_test_fixture.h"

namespace vorlix_test {

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine::ResetMachine();
    machine::RegistryReset();
    pci::Reset();
    machine::SetMode(machine::Mode::Threaded);
    machine::UseJumpingTestClock();
    machine::SetDelayScale(1);
    scope_.emplace();
    WriteFirmware(board::SampleFirmwareImage());
    board_.SetBoardIdentityRecord(0x34, 0x12, 0x78, 0x56);
    board_.encoder().SetSignal(board::InputFormat::k1080p30);
  }
  void TearDown() override {
    if (harness_) {
      if (index_) harness_->RemoveDevice(*index_);
      EXPECT_EQ(harness_->Unload(), STATUS_SUCCESS);  // no pool left behind
      harness_.reset();
    }
    EXPECT_EQ(machine::LiveSystemThreadCount(), 0u);
    if (slot_) pci::Unplug(slot_);
    EXPECT_TRUE(pci::Faults().empty());
    EXPECT_TRUE(board_.Violations().empty()) << board_.Violations().front();
    scope_.reset();
    machine::SetMode(machine::Mode::Manual);
    pci::Reset();
    machine::ResetMachine();
  }
  // Plugs the board in with the identity of `kind` and starts it.
  void Start(BoardKind kind = BOARD_KIND_ENCODER) {
    PCI_IDENTITY id{};
    BoardKindIdentity(kind, &id);
    board_.SetIdentity(board::IdentityFrom(id));
    slot_ = pci::PlugIn(board_, slotOptions_);
    harness_ = std::make_unique<platform::ks::PnpHarness>(driverEntry_);
    ASSERT_EQ(harness_->Load(), STATUS_SUCCESS);
    size_t index = 0;
    ASSERT_EQ(harness_->AddDevice(pci::BusData, slot_, &index, slot_->busNumber()), STATUS_SUCCESS);
    index_ = index;
    resources_ = pci::TranslatedResources(*slot_);
    ASSERT_EQ(harness_->StartDevice(index, resources_.get(), resources_.get()), STATUS_SUCCESS);
  }
  CDevice* Dev() { return DeviceOf(harness_->Device(*index_)); }
  BoardState* State() { return Dev()->m_pBoardState; }
  // Lets `ms` of machine time pass for the threads.
  static void Pass(LONGLONG ms) {
    LARGE_INTEGER d;
    d.QuadPart = -ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &d);
  }
  // A pin acquiring and stopping its stream, as the pin dispatch does it. The mutex is
  // held at passive level (in a critical region): power-up creates system threads.
  void Acquire() {
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&Dev()->m_PinMutex);
    VORLIX_StreamPowerUp(Dev(), FALSE);
    ExReleaseFastMutexUnsafe(&Dev()->m_PinMutex);
    KeLeaveCriticalRegion();
  }
  void Release() {
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&Dev()->m_PinMutex);
    VORLIX_StreamPowerDown(Dev());
    ExReleaseFastMutexUnsafe(&Dev()->m_PinMutex);
    KeLeaveCriticalRegion();
  }

  board::EncoderBoard board_;
  // The driver the harness loads: the product's own, or a test's around it.
  NTSTATUS (*driverEntry_)(PDRIVER_OBJECT, PUNICODE_STRING) = DriverEntry;
  pci::SlotOptions slotOptions_;
  pci::Slot* slot_ = nullptr;
  std::unique_ptr<platform::ks::PnpHarness> harness_;
  std::optional<size_t> index_;
  pci::ResourceList resources_;
  std::optional<machine::MachineThreadScope> scope_;
};

}  // namespace vorlix_test
