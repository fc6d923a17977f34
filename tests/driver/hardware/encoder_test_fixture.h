// A device started on a simulated encoder board through the Plug and Play harness and the
// driver's own entry and start (PCI start, settings with the device-info directory on
// drive C:, state block, hardware initialisation, filter factories), then its hardware
// stopped, for the tests of the mailbox, the firmware download, the receiver and bring-up.
//
// The machine runs threaded (interrupts and DPCs on their own threads) on the real clock;
// delays are scaled to nothing. Tests that need a time-out use the test clock: the
// jumping one where many threads take part.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
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

namespace vorlix_test {

namespace board = platform::board;
namespace machine = platform::kernel;
namespace pci = platform::pci;

inline const ULONG kStateTag = MakePoolTag("Wdm ");

// Stops the hardware of a device the driver's own start brought up (monitor thread ended,
// encoder core reset), as a device leaving full power has it: the test then drives the
// board alone. The device's own stop sees the hardware stopped and only releases the rest.
inline void QuietHardware(CDevice* device) { VORLIX_HwUninitialize(device); }

// Writes a file into the device-info directory (drive C:\WINDOWS\VORLIX).
inline void WriteDeviceInfoFile(const std::string& name, const std::string& bytes) {
  auto dir = machine::DriveFolder('C') / "WINDOWS" / "VORLIX";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary).write(bytes.data(), (std::streamsize)bytes.size());
}
inline void WriteFirmware(const std::vector<ULONG>& words) {
  WriteDeviceInfoFile("VORLIX.HD.HEX", board::FirmwareHexText(words));
}

// Debugger log lines that start with `prefix`.
inline std::vector<std::string> LogLines(const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : machine::DebugLogLines())
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  return out;
}

class EncoderDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine::ResetMachine();
    machine::RegistryReset();
    pci::Reset();
    machine::UseRealClock();
    machine::SetDelayScale(0);
    machine::SetMode(machine::Mode::Threaded);
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    id.nRevisionId = revision_;
    board_.SetIdentity(board::IdentityFrom(id));
    slot_ = pci::PlugIn(board_);
    harness_ = std::make_unique<platform::ks::PnpHarness>(DriverEntry);
    ASSERT_EQ(harness_->Load(), STATUS_SUCCESS);
    size_t index = 0;
    ASSERT_EQ(harness_->AddDevice(pci::BusData, slot_, &index, slot_->busNumber()), STATUS_SUCCESS);
    index_ = index;
    resources_ = pci::TranslatedResources(*slot_);
    ASSERT_EQ(harness_->StartDevice(index, resources_.get(), resources_.get()), STATUS_SUCCESS);
    QuietHardware(Dev());
    board_.ClearAccessLog();
    machine::ClearDebugLog();
  }
  void TearDown() override {
    machine::SetMode(machine::Mode::Manual);
    if (index_) harness_->RemoveDevice(*index_);
    EXPECT_EQ(harness_->Unload(), STATUS_SUCCESS);  // no pool left behind
    harness_.reset();
    if (slot_) pci::Unplug(slot_);
    EXPECT_TRUE(pci::Faults().empty());
    EXPECT_TRUE(board_.Violations().empty()) << board_.Violations().front();
    pci::Reset();
    machine::ResetMachine();
  }
  CDevice* Dev() { return DeviceOf(harness_->Device(*index_)); }
  BoardState* State() { return Dev()->m_pBoardState; }
  board::EncoderCore& Encoder() { return board_.encoder(); }
  // The input as the monitor thread would have stored it.
  void SetSignal(ULONG w, ULONG h, ULONG r, ULONG interlaced = 0) {
    State()->nSignalWidth = w;
    State()->nSignalHeight = h;
    State()->nSignalFrameRate = r;
    State()->bSignalInterlaced = interlaced;
    State()->nSignalAudioRate = 48000;
  }

  UCHAR revision_ = 0;
  board::EncoderBoard board_;
  pci::Slot* slot_ = nullptr;
  std::unique_ptr<platform::ks::PnpHarness> harness_;
  std::optional<size_t> index_;
  pci::ResourceList resources_;
};

}  // namespace vorlix_test
