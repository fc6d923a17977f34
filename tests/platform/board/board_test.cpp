#include "platform/board/board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/kernel/machine.h"
#include "platform/pci/host.h"

namespace board = platform::board;
namespace machine = platform::kernel;
namespace pci = platform::pci;

namespace {

class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine::ResetMachine();
    pci::Reset();
  }
  void TearDown() override {
    pci::Reset();
    machine::ResetMachine();
  }
};

TEST_F(BoardTest, IdentityFillsConfigurationSpace) {
  board::Identity id;
  id.vendorId = 0x1AB3;
  id.deviceId = 0x7160;
  id.subsystemId = 0x5678;
  id.subsystemVendorIdLow = 0x34;
  id.subsystemVendorIdHigh = 0x12;
  id.revisionId = 1;
  board::GenericBoard b(id);
  EXPECT_EQ(b.ConfigDword(0x00), 0x71601AB3u);
  EXPECT_EQ(b.ConfigDword(0x08) & 0xFF, 1u);
  EXPECT_EQ(b.ConfigDword(0x2C), 0x56781234u);
  EXPECT_EQ(b.WindowLength(0), 0x10000u);
}

TEST_F(BoardTest, InterruptStatusIsWriteOneToClearAndDrivesTheLine) {
  board::EncoderBoard b;
  EXPECT_FALSE(b.InterruptLine());
  b.RaiseStatus(0x00050000);
  EXPECT_TRUE(b.InterruptLine());
  EXPECT_EQ(b.ReadRegister(0, board::reg::kIntStatus, 4), 0x00050000u);
  b.WriteRegister(0, board::reg::kIntStatus, 0x00010000, 4);
  EXPECT_EQ(b.PendingStatus(), 0x00040000u);
  EXPECT_TRUE(b.InterruptLine());
  b.WriteRegister(0, board::reg::kIntStatus, 0x3F, 4);  // the recovery write clears bits 0-5 only
  EXPECT_TRUE(b.InterruptLine());
  b.WriteRegister(0, board::reg::kIntStatus, 0x00040000, 4);
  EXPECT_FALSE(b.InterruptLine());
  // Bits outside 16-21 do not assert the line.
  b.RaiseStatus(0x1);
  EXPECT_FALSE(b.InterruptLine());
}

TEST_F(BoardTest, UnlistedOffsetsArePlainStorageWithByteLanes) {
  board::EncoderBoard b;
  b.WriteRegister(0, 0x3C20, 0xBF00000C, 4);
  EXPECT_EQ(b.ReadRegister(0, 0x3C20, 4), 0xBF00000Cu);
  b.WriteRegister(0, 0x3C21, 0x55, 1);
  EXPECT_EQ(b.ReadRegister(0, 0x3C20, 4), 0xBF00550Cu);
  EXPECT_EQ(b.ReadRegister(0, 0x3C23, 1), 0xBFu);
  EXPECT_EQ(b.ReadRegister(0, board::reg::kSysReady, 4) & 1, 1u);
  auto log = b.AccessLog();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_TRUE(log[2].write);
  EXPECT_EQ(log[2].width, 1u);
  EXPECT_EQ(log[2].offset, 0x3C21u);
  EXPECT_EQ(log[4].value, 0xBFu);
  EXPECT_EQ(b.WritesTo(0x3C20), (std::vector<ULONG>{0xBF00000C}));
}

TEST_F(BoardTest, OpenDrainLinesFollowTheWeakestDriver) {
  board::EncoderBoard b;
  // Nothing driven: every line pulled up, the user lines follow the outside.
  b.SetUserLineLevels(0x5);
  EXPECT_EQ((b.GpioALevels() >> 16) & 0xF, 0x5u);
  // Host drives user lines 16-17 low as outputs; 18-19 stay inputs.
  b.WriteRegister(0, board::reg::kGpioADirection, 0x3u << 16, 4);
  b.WriteRegister(0, board::reg::kGpioAOutput, 0, 4);
  EXPECT_EQ((b.ReadRegister(0, board::reg::kGpioAInput, 4) >> 16) & 0xF, 0x4u);
  // A stuck device holds bus B's data low whatever the host drives.
  b.WriteRegister(0, board::reg::kGpioBDirection, 0xFB, 4);
  b.WriteRegister(0, board::reg::kGpioBOutput, 0xFB, 4);
  EXPECT_TRUE(b.GpioBLevels() & 2);
  b.SetBusStuck(board::EncoderBoard::Bus::B, true);
  EXPECT_FALSE(b.ReadRegister(0, board::reg::kGpioBInput, 4) & 2);
  EXPECT_TRUE(b.GpioBLevels() & 4);  // the receiver's data line idles high
}

// A master that toggles the two lines directly.
struct Master {
  board::I2cBus& bus;
  void Start() {
    bus.Drive(true, true);
    bus.Drive(false, true);
    bus.Drive(false, false);
  }
  void Stop() {
    bus.Drive(false, false);
    bus.Drive(false, true);
    bus.Drive(true, true);
  }
  void Byte(UCHAR v) {
    for (int k = 7; k >= 0; --k) {
      bool bit = (v >> k) & 1;
      bus.Drive(bit, false);
      bus.Drive(bit, true);
      bus.Drive(bit, false);
    }
    bus.Drive(true, false);  // let the receiver answer
    bus.Drive(true, true);
    bus.Drive(true, false);
  }
  void Write(std::initializer_list<UCHAR> bytes) {
    Start();
    for (UCHAR b : bytes) Byte(b);
    Stop();
  }
};

TEST_F(BoardTest, WatchdogExpiresWithoutKicks) {
  machine::UseTestClock();
  board::I2cBus bus;
  board::Microcontroller mcu(0xA2);
  bus.Attach(&mcu);
  Master m{bus};
  m.Write({0xA2, 17, 3});  // 3 seconds
  m.Write({0xA2, 16, 0x5A});
  m.Write({0xA4, 18, 0x5A});  // someone else's address: ignored
  EXPECT_EQ(bus.Transactions(), (std::vector<std::string>{"S A2+ 11+ 03+ P", "S A2+ 10+ 5A+ P", "S A4- 12- 5A- P"}));
  EXPECT_TRUE(mcu.armed);
  machine::AdvanceClock(30000000);
  EXPECT_FALSE(mcu.WatchdogExpired());
  m.Write({0xA2, 18, 0x5A});
  machine::AdvanceClock(30000001);
  EXPECT_TRUE(mcu.WatchdogExpired());
  EXPECT_EQ(mcu.kicks, 1u);
}

TEST_F(BoardTest, EepromPageWriteWrapsAndPointerSurvivesStop) {
  board::I2cBus bus;
  board::Eeprom e(0xA0);
  bus.Attach(&e);
  Master m{bus};
  m.Write({0xA0, 0x06, 1, 2, 3});  // 6, 7, then back to 0 in the same 8-byte page
  EXPECT_EQ(e.bytes[6], 1);
  EXPECT_EQ(e.bytes[7], 2);
  EXPECT_EQ(e.bytes[0], 3);
  EXPECT_EQ(e.bytes[8], 0);
}

TEST_F(BoardTest, AccessLogKeepsTheNewestEntries) {
  board::EncoderBoard b;
  b.SetAccessLogLimit(3);
  for (ULONG k = 0; k < 5; ++k) b.WriteRegister(0, 0x100, k, 4);
  auto log = b.AccessLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].value, 2u);
  EXPECT_EQ(log[2].sequence, 5u);
}

TEST_F(BoardTest, EventsRunAtTheirTimeOnTheTestClock) {
  machine::UseTestClock();
  board::EncoderBoard b;
  b.Post(1000, [&] { b.RaiseStatus(0x40000); });
  b.Post(0, [&] { b.RaiseStatus(0x10000); });
  EXPECT_EQ(b.RunDueEvents(), 1u);
  EXPECT_EQ(b.PendingStatus(), 0x10000u);
  machine::AdvanceClock(999);
  EXPECT_EQ(b.RunDueEvents(), 0u);
  machine::AdvanceClock(1);
  EXPECT_EQ(b.RunDueEvents(), 1u);
  EXPECT_EQ(b.PendingStatus(), 0x50000u);
  EXPECT_EQ(b.PendingEvents(), 0u);
}

TEST_F(BoardTest, TheBoardThreadRunsEventsInThreadedMode) {
  machine::SetMode(machine::Mode::Threaded);
  machine::UseRealClock();
  board::EncoderBoard b;
  b.Post(0, [&] { b.RaiseStatus(0x10000); });
  for (int k = 0; k < 2000 && !b.InterruptLine(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(b.InterruptLine());
}

}  // namespace
