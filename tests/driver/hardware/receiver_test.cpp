// The SDI receiver port on the wire, the bring-up set-up, and the mode detection.
#include "driver/hardware/receiver.h"

#include <algorithm>
#include <string>
#include <vector>

#include "driver/hardware/registers.h"
#include "tests/driver/hardware/encoder_test_fixture.h"

namespace vorlix_test {
namespace {

class ReceiverTest : public EncoderDeviceTest {
 protected:
  void SetUp() override {
    EncoderDeviceTest::SetUp();
    // Bank B as bring-up leaves it: every line but the receiver's data-in an output, high.
    State()->nGpioBOutput = State()->nGpioBDirection = 0xFB;
    VORLIX_WriteRegister(Dev(), REG_GPIO_B_OUTPUT / 4, 0xFB, 4);
    VORLIX_WriteRegister(Dev(), REG_GPIO_B_DIRECTION / 4, 0xFB, 4);
    board_.ClearAccessLog();
    seen_ = Encoder().ReceiverTransactions().size();
  }
  // The receiver transactions since set-up (device start's bring-up made its own).
  std::vector<std::string> Transactions() {
    std::vector<std::string> all = Encoder().ReceiverTransactions();
    return std::vector<std::string>(all.begin() + (std::ptrdiff_t)std::min(seen_, all.size()), all.end());
  }
  size_t seen_ = 0;
  // The words the host clocked out: data-out sampled at each rising clock edge.
  std::vector<ULONG> ClockedWords() {
    std::vector<ULONG> words;
    ULONG previous = 0xFB, word = 0;
    int bits = 0;
    for (ULONG out : board_.WritesTo(REG_GPIO_B_OUTPUT)) {
      if (!(out & GPIO_B_RCV_CS) && (out & GPIO_B_RCV_CLK) && !(previous & GPIO_B_RCV_CLK)) {
        word = word << 1 | ((out & GPIO_B_RCV_DOUT) ? 1 : 0);
        if (++bits == 16) {
          words.push_back(word);
          word = 0;
          bits = 0;
        }
      }
      previous = out;
    }
    return words;
  }
};

TEST_F(ReceiverTest, CommandWordsOnTheWire) {
  Encoder().SetSignal(board::InputFormat::k1080p60);
  EXPECT_EQ(VORLIX_ReadReceiverRegister(Dev(), 6, RECEIVER_HALF_PERIOD), 0x2B00u);
  EXPECT_EQ(ClockedWords(), (std::vector<ULONG>{0x8006, 0}));  // the data phase clocks out nothing
  board_.ClearAccessLog();
  EXPECT_EQ(VORLIX_WriteReceiverRegister(Dev(), 57, 0x00F1, RECEIVER_HALF_PERIOD), 1u);
  EXPECT_EQ(ClockedWords(), (std::vector<ULONG>{0x0039, 0x00F1}));
  // Addresses are 12 bits.
  VORLIX_WriteReceiverRegister(Dev(), 0xF123, 0xBEEF, RECEIVER_HALF_PERIOD);
  EXPECT_EQ(Encoder().ReceiverRegister(0x123), 0xBEEF);
  EXPECT_EQ(Transactions(), (std::vector<std::string>{"R 006 = 2B00", "W 039 = 00F1", "W 123 = BEEF"}));
  // Select high again after every transaction, the shadow in step with the register.
  EXPECT_EQ(State()->nGpioBOutput & GPIO_B_RCV_CS, GPIO_B_RCV_CS);
  EXPECT_EQ(board_.Peek(0, REG_GPIO_B_OUTPUT), State()->nGpioBOutput);
}

TEST_F(ReceiverTest, SetUpChangesOnlyItsBits) {
  // Device start's bring-up set the receiver up already: give it back its power-on words.
  Encoder().SetReceiverRegister(57, 0x00F2);
  Encoder().SetReceiverRegister(512, 0x05F0);
  Encoder().SetReceiverRegister(1032, 0x1234);
  VORLIX_SetUpReceiver(Dev());
  EXPECT_EQ(Encoder().ReceiverRegister(57), 0x00F1);    // from 0x00F2
  EXPECT_EQ(Encoder().ReceiverRegister(512), 0x0AF0);   // from 0x05F0
  EXPECT_EQ(Encoder().ReceiverRegister(1032), 0xAA34);  // from 0x1234
  EXPECT_EQ(Transactions(), (std::vector<std::string>{"R 039 = 00F2", "W 039 = 00F1", "R 200 = 05F0", "W 200 = 0AF0",
                                                      "R 408 = 1234", "W 408 = AA34"}));
}

TEST(SdiModeTable, Translation) {
  struct Case {
    ULONG code, reg31, reg33, gorlund;
    ULONG w, h, r;
  };
  const Case cases[] = {
      {0x16, 0, 0, 0, 720, 480, 30},
      {0x1B, 0, 0, 0, 720, 480, 30},
      {0x1A, 0, 0, 0, 720, 576, 25},
      {0x1E, 0, 601, 0, 720, 576, 25},
      {0x1E, 0, 600, 0, 720, 480, 30},
      {0x1E, 0, 0x800 | 601, 0, 720, 576, 25},
      {0x00, 0, 0, 0, 1280, 720, 60},
      {0x24, 0, 0, 0, 1280, 720, 50},
      {0x22, 0, 0, 0, 1280, 720, 30},
      {0x06, 0, 0, 0, 1280, 720, 25},
      {0x28, 0, 0, 0, 1280, 720, 24},
      {0x2A, 0, 0, 0, 1920, 540, 60},
      {0x0C, 0, 0, 0, 1920, 540, 50},
      {0x11, 0, 0, 0, 1920, 540, 48},
      {0x2B, 1920, 0, 0, 1920, 1080, 60},
      {0x2B, 1919, 0, 0, 1920, 1080, 30},
      {0x0B, 1920, 0, 0, 1920, 1080, 30},
      {0x2D, 1920, 0, 0, 1920, 1080, 50},
      {0x2D, 0xC000 | 1920, 0, 0, 1920, 1080, 50},
      {0x0D, 1920, 0, 0, 1920, 1080, 25},
      {0x10, 0, 0, 0, 1920, 1080, 24},
      {0x30, 0, 0, 0, 1920, 1080, 24},
      {0x3F, 0, 0, 0, 0, 0, 0},
      {0x12, 0, 0, 0, 0, 0, 0},
      // The customer switch turns every 480-line code into 576 at 25.
      {0x16, 0, 0, 1, 720, 576, 25},
      {0x1E, 0, 525, 1, 720, 576, 25},
      {0x0B, 0, 0, 1, 1920, 1080, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code << " " << std::dec << c.reg31 << " " << c.reg33);
    SDI_FORMAT f;
    // Bits 14-15 of register 6 are not part of the code.
    VORLIX_TranslateSdiMode(0xC000 | c.code << 8 | 0xFF, c.reg31, c.reg33, 0, c.gorlund, &f);
    EXPECT_EQ(f.nWidth, c.w);
    EXPECT_EQ(f.nHeight, c.h);
    EXPECT_EQ(f.nFrameRate, c.r);
  }
  SDI_FORMAT f;
  VORLIX_TranslateSdiMode(0x2B00, 1920, 0, 0x2000, 0, &f);
  EXPECT_EQ(f.bFractional, 1u);
}

TEST_F(ReceiverTest, DetectionThroughTheBoard) {
  struct Case {
    board::InputFormat format;
    bool fractional;
    ULONG w, h, r;
  };
  const Case cases[] = {
      {board::InputFormat::k480i, true, 720, 480, 30},       {board::InputFormat::k576iAlt, false, 720, 576, 25},
      {board::InputFormat::k480iAlt, false, 720, 480, 30},   {board::InputFormat::k720p50, false, 1280, 720, 50},
      {board::InputFormat::k1080i60, true, 1920, 540, 60},   {board::InputFormat::k1080p30, false, 1920, 1080, 30},
      {board::InputFormat::k1080p50, false, 1920, 1080, 50}, {board::InputFormat::kNone, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.format));
    Encoder().SetSignal(c.format, c.fractional);
    SDI_FORMAT f;
    EXPECT_EQ(VORLIX_DetectSdiMode(Dev(), &f), c.w != 0);
    EXPECT_EQ(f.nWidth, c.w);
    EXPECT_EQ(f.nHeight, c.h);
    EXPECT_EQ(f.nFrameRate, c.r);
    if (c.w) {
      EXPECT_EQ(f.bFractional, c.fractional ? 1u : 0u);
    }
  }
}

TEST_F(ReceiverTest, AbsentReceiverMeansNoSignal) {
  Encoder().SetSignal(board::InputFormat::k1080p30);
  Encoder().SetReceiverPresent(false);
  EXPECT_EQ(VORLIX_ReadReceiverRegister(Dev(), 6, RECEIVER_HALF_PERIOD), 0xFFFFu);
  SDI_FORMAT f;
  EXPECT_FALSE(VORLIX_DetectSdiMode(Dev(), &f));
  // Set-up against nothing leaves no trace and does no harm.
  VORLIX_SetUpReceiver(Dev());
  EXPECT_TRUE(Transactions().empty());
  Encoder().SetReceiverPresent(true);
  EXPECT_TRUE(VORLIX_DetectSdiMode(Dev(), &f));
}

}  // namespace
}  // namespace vorlix_test
