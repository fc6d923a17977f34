// The encoder board's second half on its own, driven register by register in manual
// mode: the firmware image format, the mailbox's checks and busy window, the firmware
// processor's responses, the firmware DMA's guards and the signal source's registers.
#include "platform/board/encoder_core.h"

#include <gtest/gtest.h>

#include "platform/board/board.h"
#include "platform/kernel/machine.h"

namespace board = platform::board;
namespace machine = platform::kernel;

namespace {

constexpr ULONG kMboxStatus = 0x3920, kIntStatus = 0x3930, kCommand = 0x3A30, kRespType = 0x3A40, kRespAck = 0x3D30;
constexpr ULONG kArgs[8] = {0x3950, 0x3C80, 0x3C90, 0x3CA0, 0x3CB0, 0x3D00, 0x3D10, 0x3D20};

TEST(FirmwareImage, Format) {
  std::vector<ULONG> image = board::MakeFirmwareImage({1, 2, 3});
  ASSERT_EQ(image.size(), 6u);
  EXPECT_EQ(image[0], board::kFirmwareMagic);
  EXPECT_EQ(image[1], 3u);
  std::vector<ULONG> padded = image;
  padded.push_back(0);
  std::vector<ULONG> badMagic = image, badCheck = image, truncated(image.begin(), image.end() - 1);
  badMagic[0] ^= 1;
  badCheck[3] += 1;
  struct Case {
    const char* name;
    std::vector<ULONG> words;
    bool valid;
  };
  const Case cases[] = {{"image", image, true},
                        {"with a pad word", padded, true},
                        {"wrong magic", badMagic, false},
                        {"check fails", badCheck, false},
                        {"truncated", truncated, false},
                        {"empty", {}, false},
                        {"length beyond the words", {board::kFirmwareMagic, 0xFFFFFFFF, 0}, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(board::FirmwareImageValid(c.words), c.valid);
  }
  EXPECT_EQ(board::FirmwareHexText({0x0000AB12, 0xFFFFFFFF}), "0000ab12\r\nffffffff\r\n");
  EXPECT_TRUE(board::FirmwareImageValid(board::SampleFirmwareImage(1000)));
}

class EncoderCoreTest : public ::testing::Test {
 protected:
  void SetUp() override { machine::ResetMachine(); }
  void TearDown() override { machine::ResetMachine(); }
  // Writes a command the way the driver does: arguments, checksum, then the command.
  void Send(ULONG command, ULONG arg1 = 0, ULONG arg2 = 0, ULONG arg7 = 0, ULONG checksumError = 0) {
    ULONG words[9] = {command, arg1, arg2, 0, 0, 0, 0, arg7, 0};
    ULONG sum = 0;
    for (int i = 0; i < 8; ++i) sum += words[i];
    words[8] = 0u - sum + checksumError;
    for (int i = 0; i < 8; ++i) board_.WriteRegister(0, kArgs[i], words[i + 1], 4);
    board_.WriteRegister(0, kCommand, command, 4);
  }
  board::EncoderBoard board_;
  board::EncoderCore& core_ = board_.encoder();
};

TEST_F(EncoderCoreTest, MailboxChecks) {
  core_.SetRunning();
  Send(18, 30, 0, 0, 1);  // bad checksum: dropped
  EXPECT_EQ(core_.state().stream[0].gop, 0u);
  board_.ReadRegister(0, kMboxStatus, 4);  // the busy window after a command
  Send(18, 30, 0, 5);                      // Arg7 on a command other than configure
  board_.ReadRegister(0, kMboxStatus, 4);
  core_.SetBusyReads(3);
  Send(18, 40);  // written while busy
  auto v = board_.Violations();
  ASSERT_EQ(v.size(), 3u);
  EXPECT_NE(v[0].find("bad checksum"), std::string::npos);
  EXPECT_NE(v[1].find("non-zero Arg7"), std::string::npos);
  EXPECT_NE(v[2].find("while busy"), std::string::npos);
  EXPECT_EQ(core_.Commands().size(), 3u);  // every latched record is kept
}

TEST_F(EncoderCoreTest, BusyWindowAfterACommand) {
  core_.SetCommandBusyWindow(2);
  Send(7, 0);
  EXPECT_TRUE(board_.ReadRegister(0, kMboxStatus, 4) & 0x10000);
  EXPECT_TRUE(board_.ReadRegister(0, kMboxStatus, 4) & 0x10000);
  EXPECT_FALSE(board_.ReadRegister(0, kMboxStatus, 4) & 0x10000);
  core_.SetStuckBusy(true);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(board_.ReadRegister(0, kMboxStatus, 4) & 0x10000);
}

TEST_F(EncoderCoreTest, ProcessorWithoutFirmwareIgnoresCommands) {
  Send(257, 1);  // boot before the image was started: nothing
  Send(16, 0x10);
  board_.RunDueEvents();
  EXPECT_FALSE(core_.state().booted);
  EXPECT_TRUE(core_.state().configSelectors.empty());
  EXPECT_EQ(board_.PendingStatus() & 0x10000, 0u);
}

TEST_F(EncoderCoreTest, ConfigureResponsesOneAtATime) {
  core_.SetRunning();
  Send(16, 0x50, 0x80000000);
  board_.ReadRegister(0, kMboxStatus, 4);
  Send(16, 0xFF);
  board_.RunDueEvents();
  EXPECT_EQ(board_.PendingStatus() & 0x10000, 0x10000u);
  EXPECT_EQ(board_.ReadRegister(0, kRespType, 4), 16u);
  // The second waits until the first was taken.
  board_.WriteRegister(0, kIntStatus, 0x10000, 4);
  board_.RunDueEvents();
  EXPECT_EQ(board_.PendingStatus() & 0x10000, 0u);
  board_.WriteRegister(0, kRespAck, 0, 4);
  board_.RunDueEvents();
  EXPECT_EQ(board_.PendingStatus() & 0x10000, 0x10000u);
  EXPECT_EQ(core_.state().configSelectors, (std::vector<ULONG>{0x50, 0xFF}));
  EXPECT_TRUE(core_.state().configEnded);
  // Lost responses never come.
  board_.WriteRegister(0, kIntStatus, 0x10000, 4);
  board_.WriteRegister(0, kRespAck, 0, 4);
  core_.DropResponses(1);
  Send(16, 3, 0x400);
  board_.RunDueEvents();
  EXPECT_EQ(board_.PendingStatus() & 0x10000, 0u);
}

TEST_F(EncoderCoreTest, FirmwareDmaGuards) {
  // Outside the download window (boot holds clear), and from memory that is not the host's.
  board_.WriteRegister(0, 0x39E0, 0x80000001, 4);
  board_.WriteRegister(0, 0x35C0, 1, 4);
  board_.WriteRegister(0, 0x3600, 1, 4);
  board_.WriteRegister(0, 0x3A00, 0x1000, 4);
  board_.WriteRegister(0, 0x3A10, 256, 4);
  board_.WriteRegister(0, 0x39E0, 0x80000001, 4);
  board_.RunDueEvents();
  auto v = board_.Violations();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_NE(v[0].find("outside the download"), std::string::npos);
  EXPECT_NE(v[1].find("not host memory"), std::string::npos);
  EXPECT_EQ(board_.PendingStatus() & 0x40000, 0u);
  EXPECT_TRUE(core_.ChunkLengths().empty());
}

TEST_F(EncoderCoreTest, SystemResetDiscardsTheFirmwareAndWhatWasOnItsWay) {
  core_.SetRunning();
  Send(16, 2, 0x20000000);  // its response is posted, not yet delivered
  board_.WriteRegister(0, 0x5030, 0, 4);
  board_.WriteRegister(0, 0x5030, 1, 4);
  board_.RunDueEvents();
  EXPECT_EQ(board_.PendingStatus() & 0x10000, 0u);
  EXPECT_FALSE(core_.state().booted);
  EXPECT_FALSE(core_.state().started);
}

TEST(SignalSource, ReceiverRegistersPerFormat) {
  struct Case {
    board::InputFormat format;
    bool fractional;
    USHORT reg6, reg31, reg33, reg34;
  };
  const Case cases[] = {
      {board::InputFormat::kNone, false, 0x3F00, 0, 0, 0},
      {board::InputFormat::k480i, true, 0x1600, 960, 525, 0x2000},
      {board::InputFormat::k576iAlt, false, 0x1E00, 960, 625, 0},
      {board::InputFormat::k1080i50, false, 0x2C00, 960, 0, 0},
      {board::InputFormat::k1080p60, true, 0x2B00, 1920, 0, 0x2000},
      {board::InputFormat::k1080p30, false, 0x0B00, 960, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.format));
    board::ReceiverFormatRegisters r = board::RegistersFor(c.format, c.fractional);
    EXPECT_EQ(r.reg6, c.reg6);
    EXPECT_EQ(r.reg31, c.reg31);
    EXPECT_EQ(r.reg33, c.reg33);
    EXPECT_EQ(r.reg34, c.reg34);
  }
}

}  // namespace
