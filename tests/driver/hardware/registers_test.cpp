#include "driver/hardware/registers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/hardware/board_state.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/pci/host.h"
#include "tests/support/physical_address.h"

namespace board = platform::board;
namespace machine = platform::kernel;
namespace pci = platform::pci;
using Bus = board::EncoderBoard::Bus;

namespace {

// The PCI half of a device object with its windows mapped onto a simulated board, and a
// state block for the GPIO shadows.
struct TestDevice : CPCIBaseDevice {};

using vorlix_test::Pa;

class BoardFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    machine::ResetMachine();
    // The bus routines busy-wait on the performance counter, which only moves on its own
    // with the real clock.
    machine::UseRealClock();
    pci::Reset();
  }
  void TearDown() override {
    Detach();
    EXPECT_TRUE(pci::Faults().empty());
    pci::Reset();
    machine::ResetMachine();
  }
  void Detach() {
    for (unsigned w = 0; w < 4; ++w)
      if (dev_->m_pBar[w]) MmUnmapIoSpace(dev_->m_pBar[w], dev_->m_nBarLength[w]);
    for (unsigned w = 0; w < 4; ++w) dev_->m_pBar[w] = nullptr;
    if (slot_) pci::Unplug(slot_);
    slot_ = nullptr;
  }
  void Attach(board::Board& b, unsigned windows) {
    slot_ = pci::PlugIn(b);
    for (unsigned w = 0; w < windows; ++w) {
      dev_->m_nBarLength[w] = b.WindowLength(w);
      dev_->m_pBar[w] = static_cast<PUCHAR>(MmMapIoSpace(Pa(slot_->windowBase(w)), b.WindowLength(w), MmNonCached));
      ASSERT_NE(dev_->m_pBar[w], nullptr);
    }
  }
  std::unique_ptr<TestDevice> dev_{new TestDevice()};
  BoardState state_{};
  pci::Slot* slot_ = nullptr;
};

class EncoderBoardFixture : public BoardFixture {
 protected:
  void SetUp() override {
    BoardFixture::SetUp();
    Attach(board_, 1);
    // The lines as bring-up leaves them: bus lines outputs and high.
    // (Levels before directions, so the lines never dip while becoming outputs.)
    state_.nGpioADirection = state_.nGpioAOutput = 0x70u << 16;
    state_.nGpioBDirection = state_.nGpioBOutput = 0xFB;
    VORLIX_WriteRegister(dev_.get(), REG_GPIO_A_OUTPUT / 4, state_.nGpioAOutput, 4);
    VORLIX_WriteRegister(dev_.get(), REG_GPIO_A_DIRECTION / 4, state_.nGpioADirection, 4);
    VORLIX_WriteRegister(dev_.get(), REG_GPIO_B_OUTPUT / 4, state_.nGpioBOutput, 4);
    VORLIX_WriteRegister(dev_.get(), REG_GPIO_B_DIRECTION / 4, state_.nGpioBDirection, 4);
    dev_->m_pBoardState = &state_;
    board_.ClearAccessLog();
  }
  void ExpectDirectionsEqualShadows() {
    EXPECT_EQ(board_.Peek(0, REG_GPIO_A_DIRECTION), state_.nGpioADirection);
    EXPECT_EQ(board_.Peek(0, REG_GPIO_B_DIRECTION), state_.nGpioBDirection);
    EXPECT_EQ(board_.Peek(0, REG_GPIO_A_OUTPUT), state_.nGpioAOutput);
    EXPECT_EQ(board_.Peek(0, REG_GPIO_B_OUTPUT), state_.nGpioBOutput);
  }
  board::EncoderBoard board_;
};

// ---------------------------------------------------------------------------------------
// Register routines.

TEST_F(EncoderBoardFixture, RegisterWidths) {
  TestDevice* d = dev_.get();
  struct Case {
    ULONG width;
    ULONG stored;  // after writing 0xA1B2C3D4 over 0x11223344
    ULONG read;    // reading back with the same width
  };
  const Case cases[] = {{4, 0xA1B2C3D4, 0xA1B2C3D4}, {1, 0x112233D4, 0xD4}, {2, 0x11223344, 0}, {0, 0x11223344, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    board_.Poke(0, 0x1000, 0x11223344);
    EXPECT_TRUE(VORLIX_WriteRegister(d, 0x1000 / 4, 0xA1B2C3D4, c.width));
    EXPECT_EQ(board_.Peek(0, 0x1000), c.stored);
    EXPECT_EQ(VORLIX_ReadRegister(d, 0x1000 / 4, c.width), c.read);
  }
  // Width 1 is the low byte of the register at index x 4.
  board_.ClearAccessLog();
  VORLIX_ReadRegister(d, REG_SYS_RECOVER / 4, 1);
  auto log = board_.AccessLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].offset, (ULONG)REG_SYS_RECOVER);
  EXPECT_EQ(log[0].width, 1u);
}

TEST_F(BoardFixture, AccessesOutsideAMappedWindowAreRefused) {
  board::GenericBoard small(board::Identity{0x1234, 0x5678}, 0x1000);
  Attach(small, 1);
  TestDevice* d = dev_.get();
  small.ClearAccessLog();
  EXPECT_EQ(VORLIX_ReadRegister(d, REG_INT_STATUS / 4, 4), 0u);  // the encoder offset is past this window
  EXPECT_FALSE(VORLIX_WriteRegister(d, REG_SYS_RECOVER / 4, 0x30, 4));
  EXPECT_TRUE(VORLIX_WriteRegister(d, 0x3FF, 1, 4));                    // last word: inside
  EXPECT_FALSE(VORLIX_WriteRegister(d, 0x400, 1, 1));                   // first byte past the end
  EXPECT_FALSE(VORLIX_WriteRegister(d, 0xFFFFFFFF, 1, 4));              // index that would wrap
  EXPECT_FALSE(VORLIX_WriteBarRegister(d, 1, REG_I2C0_COMMAND, 1, 4));  // no window 1
  EXPECT_FALSE(VORLIX_WriteBarRegister(d, 7, 0, 1, 4));
  EXPECT_EQ(VORLIX_ReadI2cDword(d, 0xA0, 0), 0u);
  auto log = small.AccessLog();
  ASSERT_EQ(log.size(), 1u);  // only the in-window write reached the board
  EXPECT_EQ(log[0].offset, 0xFFCu);
  Detach();
}

// ---------------------------------------------------------------------------------------
// Bus A: the identity EEPROM.

TEST_F(EncoderBoardFixture, IdentityReadSequence) {
  board_.SetBoardIdentityRecord(0x34, 0x12, 0x78, 0x56);
  BOARD_ID_RECORD r{};
  EXPECT_TRUE(VORLIX_ReadBoardIdentity(dev_.get(), &r));
  EXPECT_EQ(r.nSubsystemVendorIdLow, 0x34);
  EXPECT_EQ(r.nSubsystemVendorIdHigh, 0x12);
  EXPECT_EQ(r.nSubsystemIdLow, 0x78);
  EXPECT_EQ(r.nSubsystemIdHigh, 0x56);
  EXPECT_EQ(board_.BusTransactions(Bus::A), (std::vector<std::string>{"S A0+ 00+ P", "S A1+ 34+ 12+ 78+ 56- P"}));
  EXPECT_TRUE(board_.BusTransactions(Bus::B).empty());
  ExpectDirectionsEqualShadows();
}

TEST_F(EncoderBoardFixture, ByteIsSentMostSignificantBitFirst) {
  VORLIX_I2cStart(dev_.get(), HALF_PERIOD_STANDARD);
  board_.ClearAccessLog();
  VORLIX_I2cWriteByte(dev_.get(), 0xA0, HALF_PERIOD_STANDARD);
  // The data line's level at each rising clock edge written to the output register.
  std::vector<int> bits;
  for (const auto& [offset, value] : board_.Writes())
    if (offset == REG_GPIO_A_OUTPUT && (value & GPIO_A_SCL)) bits.push_back((value & GPIO_A_SDA) ? 1 : 0);
  ASSERT_EQ(bits.size(), 9u);  // eight data clocks and one acknowledge clock
  EXPECT_EQ(std::vector<int>(bits.begin(), bits.begin() + 8), (std::vector<int>{1, 0, 1, 0, 0, 0, 0, 0}));
  VORLIX_I2cStop(dev_.get(), HALF_PERIOD_STANDARD);
}

TEST_F(EncoderBoardFixture, ReadBitSamplesBeforeTheClockRises) {
  board_.ClearAccessLog();
  VORLIX_I2cReadBit(dev_.get(), HALF_PERIOD_STANDARD);
  auto log = board_.AccessLog();
  std::vector<std::pair<bool, ULONG>> seq;
  for (const auto& a : log) seq.emplace_back(a.write, a.offset);
  const std::vector<std::pair<bool, ULONG>> expected = {{true, REG_GPIO_A_OUTPUT}, {true, REG_GPIO_A_DIRECTION},
                                                        {false, REG_GPIO_A_INPUT}, {true, REG_GPIO_A_OUTPUT},
                                                        {true, REG_GPIO_A_OUTPUT}, {true, REG_GPIO_A_DIRECTION}};
  EXPECT_EQ(seq, expected);
  EXPECT_EQ(log[1].value, state_.nGpioADirection & ~GPIO_A_SDA);  // released, shadow kept
  EXPECT_TRUE(log[2].value & GPIO_A_SDA);                         // nobody pulls the idle bus low
  EXPECT_TRUE(log[3].value & GPIO_A_SCL);
  ExpectDirectionsEqualShadows();
}

TEST_F(EncoderBoardFixture, IdentityWriteThenReadBack) {
  BOARD_ID_RECORD w{0x01, 0x02, 0x03, 0x04};
  EXPECT_TRUE(VORLIX_WriteBoardIdentity(dev_.get(), &w));
  EXPECT_EQ(board_.BusTransactions(Bus::A), (std::vector<std::string>{"S A0+ 00+ 01+ 02+ 03+ 04+ P"}));
  EXPECT_EQ(board_.eeprom().bytes[0], 0x01);
  EXPECT_EQ(board_.eeprom().bytes[3], 0x04);
  BOARD_ID_RECORD r{};
  VORLIX_ReadBoardIdentity(dev_.get(), &r);
  EXPECT_EQ(r.nSubsystemIdHigh, 0x04);
  ExpectDirectionsEqualShadows();
}

TEST_F(EncoderBoardFixture, AbsentOrStuckEeprom) {
  struct Case {
    const char* name;
    bool present;
    bool stuck;
    BOOLEAN acked;
    UCHAR bytes;
    std::vector<std::string> transactions;
  };
  const Case cases[] = {
      {"absent", false, false, FALSE, 0xFF, {"S A0- 00- P", "S A1- FF+ FF+ FF+ FF- P"}},
      // Data held low: every bit reads 0, which also looks like an acknowledge.
      {"stuck low", true, true, TRUE, 0x00, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    board_.SetEepromPresent(c.present);
    board_.SetBusStuck(Bus::A, c.stuck);
    board_.ClearBusTransactions();
    BOARD_ID_RECORD r{};
    EXPECT_EQ(VORLIX_ReadBoardIdentity(dev_.get(), &r), c.acked);
    EXPECT_EQ(r.nSubsystemVendorIdLow, c.bytes);
    EXPECT_EQ(r.nSubsystemIdHigh, c.bytes);
    if (!c.stuck) {
      EXPECT_EQ(board_.BusTransactions(Bus::A), c.transactions);
    }
    ExpectDirectionsEqualShadows();
    board_.SetBusStuck(Bus::A, false);
    board_.SetEepromPresent(true);
  }
}

// ---------------------------------------------------------------------------------------
// Bus B: the microcontroller.

TEST_F(EncoderBoardFixture, WatchdogRegisterWrites) {
  VORLIX_WriteMcuRegister(dev_.get(), MCU_REG_WDT_DURATION, 180);
  VORLIX_WriteMcuRegister(dev_.get(), MCU_REG_WDT_KICK, MCU_WDT_MAGIC);
  EXPECT_FALSE(board_.microcontroller().armed);
  EXPECT_TRUE(VORLIX_WriteMcuRegister(dev_.get(), MCU_REG_WDT_ARM, MCU_WDT_MAGIC));
  EXPECT_EQ(board_.BusTransactions(Bus::B),
            (std::vector<std::string>{"S A2+ 11+ B4+ P", "S A2+ 12+ 5A+ P", "S A2+ 10+ 5A+ P"}));
  auto& mcu = board_.microcontroller();
  EXPECT_EQ(mcu.writes, (std::vector<std::pair<UCHAR, UCHAR>>{{17, 180}, {18, 0x5A}, {16, 0x5A}}));
  EXPECT_TRUE(mcu.armed);
  EXPECT_EQ(mcu.kicks, 1u);
  EXPECT_TRUE(board_.BusTransactions(Bus::A).empty());
  ExpectDirectionsEqualShadows();
}

TEST_F(EncoderBoardFixture, McuAcknowledgeIsSampledWithTheClockHigh) {
  VORLIX_McuStart(dev_.get(), HALF_PERIOD_STANDARD);
  for (int k = 7; k >= 0; --k) VORLIX_McuSendAck(dev_.get(), (0xA2 >> k) & 1, HALF_PERIOD_STANDARD);
  board_.ClearAccessLog();
  EXPECT_TRUE(VORLIX_McuReadAck(dev_.get(), HALF_PERIOD_STANDARD));
  auto log = board_.AccessLog();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].value & (GPIO_B_SCL | GPIO_B_SDA), GPIO_B_SCL | GPIO_B_SDA);
  EXPECT_EQ(log[2].offset, (ULONG)REG_GPIO_B_INPUT);
  EXPECT_EQ(log[2].value & GPIO_B_SDA, 0u);  // pulled low by the acknowledging device
  VORLIX_McuStop(dev_.get(), HALF_PERIOD_STANDARD);
  EXPECT_EQ(board_.BusTransactions(Bus::B), (std::vector<std::string>{"S A2+ P"}));
}

// ---------------------------------------------------------------------------------------
// The hardware I2C controller of window 1.

class I2cControllerFixture : public BoardFixture {
 protected:
  void SetUp() override {
    BoardFixture::SetUp();
    machine::UseTestClock();  // the polls sleep; no bus busy-waits here
    board_.EnableI2cController(0xC0FFEE42);
    Attach(board_, 2);
    board_.Poke(1, REG_I2C_MODE, 0xFFFF);
    board_.ClearAccessLog();
  }
  board::GenericBoard board_{board::Identity{0x1111, 0x2222}, 0x10000, 0x800000};
};

TEST_F(I2cControllerFixture, ReadsTheIdentityWordFirstByteHighest) {
  EXPECT_EQ(VORLIX_ReadI2cDword(dev_.get(), 0xA0, 0), 0xC0FFEE42u);
  auto modes = board_.WritesTo(REG_I2C_MODE, 1);
  EXPECT_EQ(modes, (std::vector<ULONG>{0xF9FF, 0xFFFF}));
  auto commands = board_.WritesTo(REG_I2C0_COMMAND, 1);
  EXPECT_EQ(commands, (std::vector<ULONG>{0x96, 0xA6, 0x96, 0x86, 0x86, 0x86, 0xE6}));
  auto data = board_.WritesTo(REG_I2C0_DATA, 1);
  EXPECT_EQ(data, (std::vector<ULONG>{0xA0, 0x00, 0xA1}));
}

TEST_F(I2cControllerFixture, DeadControllerGivesZeroAfterOneHundredPolls) {
  board_.SetI2cControllerDead(true);
  EXPECT_EQ(VORLIX_ReadI2cDword(dev_.get(), 0xA0, 0), 0u);
  int statusReads = 0;
  for (const auto& a : board_.AccessLog())
    if (!a.write && a.offset == REG_I2C0_STATUS) ++statusReads;
  EXPECT_EQ(statusReads, 100);
  EXPECT_EQ(board_.WritesTo(REG_I2C_MODE, 1).back(), 0xFFFFu);  // restored
  EXPECT_EQ(machine::DelayRequests().size(), 99u);              // a sleep between reads, none after the last
  EXPECT_EQ(machine::DelayRequests()[0].interval, -1);
}

}  // namespace
