// Encoder bring-up and the settings pass, decoded from the simulated board's mailbox:
// the full command sequence of a 1080p30 bring-up with default settings, the
// configuration per input format, failures that send nothing, and the settings pass
// sending exactly the flagged settings.
#include "driver/hardware/encoder.h"

#include <atomic>
#include <cstring>
#include <thread>

#include "driver/hardware/firmware.h"
#include "driver/hardware/mailbox.h"
#include "driver/hardware/registers.h"
#include "tests/driver/hardware/encoder_test_fixture.h"

namespace vorlix_test {
namespace {

struct Cmd {
  ULONG words[8];  // Command, Arg1..Arg7
};

std::vector<Cmd> Decode(const std::vector<board::MailboxRecord>& records) {
  std::vector<Cmd> out;
  for (const auto& r : records) {
    Cmd c;
    memcpy(c.words, r.words, sizeof c.words);
    ULONG sum = 0;
    for (ULONG w : r.words) sum += w;
    EXPECT_EQ(sum, 0u) << "checksum of command " << r.words[0];
    if (r.words[0] != VENDOR_CMD_CONFIGURE) {
      EXPECT_EQ(r.words[7], 0u);
    }
    out.push_back(c);
  }
  return out;
}

std::string Text(const Cmd& c) {
  char b[160];
  snprintf(b, sizeof b, "%u: %08X %08X %08X %08X %08X %08X %08X", c.words[0], c.words[1], c.words[2], c.words[3],
           c.words[4], c.words[5], c.words[6], c.words[7]);
  return b;
}

void ExpectSequence(const std::vector<Cmd>& got, const std::vector<Cmd>& want) {
  std::vector<std::string> g, w;
  for (const Cmd& c : got) g.push_back(Text(c));
  for (const Cmd& c : want) w.push_back(Text(c));
  EXPECT_EQ(g, w);
}

class EncoderTest : public EncoderDeviceTest {
 protected:
  void SetUp() override {
    EncoderDeviceTest::SetUp();
    WriteFirmware(board::SampleFirmwareImage());
  }
  std::vector<Cmd> Commands() { return Decode(Encoder().Commands()); }
};

TEST_F(EncoderTest, FullBringUpAt1080p30WithDefaultSettings) {
  SetSignal(1920, 1080, 30);
  Encoder().SetSignal(board::InputFormat::k1080p30);
  machine::SetTimeZoneBias(-8LL * 3600 * 10000000);  // local time 8 hours ahead
  LONGLONG expectedSeconds = (machine::SystemTimeNow() + 8LL * 3600 * 10000000 - 116444736000000000LL) / 10000000;

  ASSERT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, TRUE));

  const ULONG keep0 = 0x0FFFFFFF, keep1 = 0xFFFFFFFF;
  const ULONG size = 480 | 270u << 16, stream = 0x08181E1E;
  ExpectSequence(Commands(), {
                                 {{VENDOR_CMD_BOOT, 1}},
                                 {{16, CONFIG_BOARD, 0, 0x000303E1}},
                                 {{16, CONFIG_INPUT, 0x21100000, 0x9000E000}},
                                 {{16, CONFIG_SEL_2, 0x20000000}},
                                 {{16, 0x10, 0x8000F400, size, stream, 0, keep0, keep1}},
                                 {{16, 0x11, 0x9000F401, size, stream, 0, keep0, keep1}},
                                 {{16, 0x12, 0xA000F702, size, stream, 0, keep0, keep1}},
                                 {{16, 0x13, 0xB000F703, size, stream, 0, keep0, keep1}},
                                 {{16, CONFIG_SEL_50, 0x80000000}},
                                 {{16, CONFIG_SEL_3, 0x400}},
                                 {{16, CONFIG_SEL_4, 0x400}},
                                 {{16, CONFIG_END}},
                                 {{VENDOR_CMD_PREVIEW, 0x801E9E00, 960 | 540u << 16, keep0, keep1}},
                                 {{VENDOR_CMD_START, 0x80000000}},
                                 {{VENDOR_CMD_FRAME_RATE, 0x001E009E, 0, 0x3FFFFFFF}},
                                 {{VENDOR_CMD_FRAME_RATE, 0x001E029E, 0, 0x3FFFFFFF}},
                                 {{VENDOR_CMD_START, 0}},
                                 {{VENDOR_CMD_START, 0x200}},
                                 {{VENDOR_CMD_OSD_TIME, 0x10001}},
                                 {{VENDOR_CMD_OSD_TEXT, 0x10000, 0, 0, 0, 0, 0}},
                                 {{VENDOR_CMD_OSD_TEXT, 0x10002, 0, 0, 0, 0, 0x200000}},
                                 {{VENDOR_CMD_OSD_TEXT, 0x10004, 0, 0, 0, 0, 0x400000}},
                             });

  // The board took the image, booted it and holds what it was told.
  board::EncoderState st = Encoder().state();
  EXPECT_TRUE(st.imageValid && st.started && st.booted && st.configEnded);
  EXPECT_TRUE(st.previewOn && st.previewStarted && st.stream[0].started && st.stream[1].started);
  EXPECT_EQ(Encoder().DownloadedWords().size(), 304u);  // 303 image words and the pad word
  std::vector<ULONG> image = board::SampleFirmwareImage();
  std::vector<ULONG> got = Encoder().DownloadedWords();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), got.begin()));
  EXPECT_EQ(Encoder().ChunkLengths(), (std::vector<ULONG>{256, 48}));

  // The on-screen clock: local seconds since 1970 (the run may cross a second).
  LONGLONG written = (LONGLONG)((ULONGLONG)board_.Peek(0, REG_TIME_HIGH) << 32 | board_.Peek(0, REG_TIME_LOW));
  EXPECT_GE(written, expectedSeconds);
  EXPECT_LE(written, expectedSeconds + 5);

  // State the transfer path and the H.264 delivery read.
  BoardState* s = State();
  EXPECT_EQ(s->nClockWidth, 1920u);
  EXPECT_EQ(s->nClockHeight, 1080u);
  EXPECT_EQ(s->nClockFrameRate, 30u);
  EXPECT_EQ(s->bClockHighRate, 0u);  // 62,208,000
  EXPECT_EQ(s->nClockAudioRate, 48000u);
  EXPECT_EQ(s->nPreviewWidth, 960u);
  EXPECT_EQ(s->nPreviewHeight, 540u);
  EXPECT_EQ(s->bPreviewField, 0u);
  for (int slot = 0; slot < 2; ++slot) {
    EXPECT_EQ(s->nEncGopLength[slot], 30u);
    EXPECT_EQ(s->nEncRateControlMode[slot], 0u);
    EXPECT_EQ(s->nEncQp[slot], 26u);
    EXPECT_EQ(s->nEncBaseQp[slot], 26u);
    EXPECT_EQ(s->nEncTargetFrameBits[slot], 0u);
  }
  // Lines and shadows as the rest of the driver expects them.
  EXPECT_EQ(board_.Peek(0, REG_GPIO_B_DIRECTION), 0xFBu);
  // The receiver set-up ran last on bank B: its select is high again, clock low.
  EXPECT_EQ(board_.Peek(0, REG_GPIO_B_OUTPUT), s->nGpioBOutput);
  EXPECT_EQ(s->nGpioBOutput & (GPIO_B_RCV_CS | GPIO_B_RCV_CLK | 0x3), GPIO_B_RCV_CS | 0x3u);
  EXPECT_EQ(s->nGpioADirection, 0x70u << 16);
  EXPECT_EQ(board_.Peek(0, REG_GPIO_A_OUTPUT), s->nGpioAOutput);
  EXPECT_EQ(board_.Peek(0, REG_BOOT_HOLD0), 0u);
  EXPECT_EQ(board_.Peek(0, REG_SYS_CONFIG2) & 0xC0300000u, 0xC0300000u);

  const std::vector<std::string> lines = {
      "ENC#00: X = 480, Y = 270, RC = 0, QUALITY = 24, BITRATE = 0, GOP = 30, FPS = 0FFFFFFFFFFFFFFF",
      "ENC#01: X = 480, Y = 270, RC = 0, QUALITY = 24, BITRATE = 0, GOP = 30, FPS = 0FFFFFFFFFFFFFFF",
      "ENC#02: X = 480, Y = 270, RC = 0, QUALITY = 24, BITRATE = 0, GOP = 30, FPS = 0FFFFFFFFFFFFFFF",
      "ENC#03: X = 480, Y = 270, RC = 0, QUALITY = 24, BITRATE = 0, GOP = 30, FPS = 0FFFFFFFFFFFFFFF",
      "ENC#00: FPS = 000000003FFFFFFF",
      "ENC#02: FPS = 000000003FFFFFFF",
      "ENC#00: OSD.TIME = 1",
      "ENC#00: OSD.TEXT = ",
      "ENC#00: OSD.TEXT = ",
      "ENC#00: OSD.TEXT = ",
  };
  EXPECT_EQ(LogLines("ENC#"), lines);
  auto download = LogLines("VORLIX_DownloadFirmware(");
  ASSERT_EQ(download.size(), 1u);
  EXPECT_EQ(download[0], "VORLIX_DownloadFirmware( \"\\??\\C:\\WINDOWS\\VORLIX\\VORLIX.HD.HEX\" )");
  auto total = LogLines("TOTAL DOWNLOAD TIMES = ");
  ASSERT_EQ(total.size(), 1u);
  EXPECT_NE(total[0].find("(3030 BYTES) (SUCCESS)"), std::string::npos) << total[0];
}

// The core reset: its fixed writes in order, and the second pass on a later revision.
TEST_F(EncoderTest, CoreResetSequence) {
  for (UCHAR revision : {0, 1}) {
    SCOPED_TRACE(revision);
    Dev()->m_pPciIdentity->nRevisionId = revision;
    board_.ClearAccessLog();
    VORLIX_CoreResetSequence(Dev());
    std::vector<std::pair<ULONG, ULONG>> pass = {{REG_SYS_RESET, 0},
                                                 {REG_SYS_RESET, 1},
                                                 {REG_SYS_CONFIG0, 0xD8380},
                                                 {REG_SYS_CONFIG1, 0x91AA0AB8},
                                                 {REG_SYS_ENABLE, 1},
                                                 {REG_CORE_CONTROL, 0xBF00000C},
                                                 {REG_CORE_CFG_A0, 0x860060CC},
                                                 {REG_CORE_CFG_A1, 0xA67D1880},
                                                 {REG_CORE_CFG_A2, 0x351209B2},
                                                 {REG_CORE_CFG_B0, 0xC2001331},
                                                 {REG_CORE_CFG_B1, 0x1B2401E1},
                                                 {REG_CORE_CFG_B2, 0x30000},
                                                 {REG_CORE_CFG_C0, 0xA52},
                                                 {REG_CORE_CFG_C1, 0x4403C4},
                                                 {REG_CORE_CONTROL, 0xBF00000E},
                                                 {REG_CORE_CFG_D, 0},
                                                 {REG_INT_STATUS, 0x3F}};
    std::vector<std::pair<ULONG, ULONG>> want = pass;
    if (revision) {
      for (auto w : pass) {
        if (w.first == REG_SYS_CONFIG1) w.second = 0x9F000AB0;
        if (w.first == REG_SYS_ENABLE) w.second = 3;
        if (w.second == 0xBF00000C) w.second = 0xBFC0000C;
        if (w.second == 0xBF00000E) w.second = 0xBFC0000E;
        want.push_back(w);
      }
      want.insert(want.end(), {{REG_CORE_CFG_E0, 0x10},
                               {REG_CORE_CFG_E1, 0xFFFFFFFF},
                               {REG_CORE_CFG_E2, 0xFFFFFFFF},
                               {REG_CORE_CFG_E3, 0x11}});
    }
    EXPECT_EQ(board_.Writes(), want);
  }
}

TEST_F(EncoderTest, BoardConfigurationFollowsTheRevision) {
  SetSignal(1920, 1080, 30);
  for (UCHAR revision : {0, 1, 15}) {
    SCOPED_TRACE(revision);
    Dev()->m_pPciIdentity->nRevisionId = revision;
    ASSERT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, TRUE));
    EXPECT_EQ(Encoder().state().boardArg3, 0x303E0u | ((revision + 1) & 0xF));
    // The second reset pass runs for any revision with a non-zero low nibble.
    EXPECT_EQ(board_.WritesTo(REG_CORE_CFG_E3).empty(), revision == 0);
    board_.ClearAccessLog();
  }
}

struct FormatCase {
  const char* name;
  board::InputFormat format;
  ULONG w, h, r, interlaced;
  // Expected.
  ULONG inputArg2, inputArg3;
  ULONG streamWidth, streamHeight, rate;
  ULONG previewWidth, previewHeight;
  ULONGLONG previewMask, frameMask;
};

TEST_F(EncoderTest, ConfigurationPerInputFormat) {
  const ULONGLONG all = FRAME_KEEP_ALL, odd = FRAME_KEEP_ODD;
  const FormatCase cases[] = {
      {"480i", board::InputFormat::k480i, 720, 480, 30, 0, 0x01100000, 0x90000000, 180, 120, 30, 360, 240, all,
       0x3FFFFFFF},
      {"576i", board::InputFormat::k576i, 720, 576, 25, 0, 0x41100000, 0x90000000, 180, 144, 25, 360, 288, all,
       0x1FFFFFF},
      {"720p60", board::InputFormat::k720p60, 1280, 720, 60, 0, 0x21100000, 0x9000D000, 320, 180, 60, 640, 360, all,
       all},
      {"1080i60 fields", board::InputFormat::k1080i60, 1920, 540, 60, 1, 0xA1900000, 0x90008000, 480, 270, 30, 960, 540,
       all, 0x3FFFFFFF},
      {"1080p60 double rate", board::InputFormat::k1080p60, 1920, 1080, 60, 0, 0x21100000, 0x9000E000, 480, 270, 60,
       960, 540, odd, 0x0555555555555555ull},
      {"no signal", board::InputFormat::kNone, 0, 0, 0, 0, 0x21100000, 0x9000E000, 0, 0, 0, 0, 0, all, 0},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    Encoder().ClearCommands();
    Encoder().SetSignal(c.format);
    SetSignal(c.w, c.h, c.r, c.interlaced);
    ASSERT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, TRUE));
    board::EncoderState st = Encoder().state();
    EXPECT_EQ(st.inputArg2, c.inputArg2);
    EXPECT_EQ(st.inputArg3, c.inputArg3);
    for (int s = 0; s < 2; ++s) {
      EXPECT_EQ(st.stream[s].width, c.streamWidth);
      EXPECT_EQ(st.stream[s].height, c.streamHeight);
      EXPECT_EQ(st.stream[s].frameRate, c.rate);
      EXPECT_EQ(st.stream[s].progressive, 1u);
      EXPECT_EQ(st.stream[s].keepMask, c.frameMask);
    }
    EXPECT_EQ(st.previewWidth, c.previewWidth);
    EXPECT_EQ(st.previewHeight, c.previewHeight);
    EXPECT_EQ(st.previewRate, c.rate);
    EXPECT_EQ(st.previewMask, c.previewMask);
    EXPECT_EQ(Commands().size(), 22u);
  }
}

// A bring-up on a streaming board: the DPC finishing a chunk of the transfer the core
// reset cut short holds the DPC lock while it programs the next one. The bring-up clears
// the transfer state only once it has that lock, so no transfer outlives it to take the
// firmware chunks' transfer-done for its own (and the download with it).
TEST_F(EncoderTest, BringUpClearsTheTransferStateUnderTheDpcLock) {
  SetSignal(1920, 1080, 30);
  Encoder().SetSignal(board::InputFormat::k1080p30);
  std::atomic<bool> held{false};
  std::thread dpc([&] {
    KIRQL irql;
    KeAcquireSpinLock(&Dev()->m_DpcLock, &irql);
    held = true;
    // The bring-up has set up its DMA and comes for the state: the chunk is retired now.
    auto reachedTheState = [&] {
      for (const board::Access& a : board_.AccessLog())
        if (!a.write && a.offset == REG_DMA_STATUS) return true;
      return false;
    };
    while (!reachedTheState()) std::this_thread::yield();
    State()->nChunkWords = State()->nCurrentChunkWords = 0x400;
    State()->nRemainingWords = 0x1000;
    KeReleaseSpinLock(&Dev()->m_DpcLock, irql);
  });
  while (!held) std::this_thread::yield();
  const bool ok = VORLIX_EncoderBringUp(Dev(), FALSE, FALSE);
  dpc.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(State()->nRemainingWords, 0u);
  EXPECT_EQ(State()->nCurrentChunkWords, 0u);
  EXPECT_TRUE(board::FirmwareImageValid(Encoder().DownloadedWords()));  // every chunk arrived
}

TEST(EncoderFrameKeepMask, SkipAndAverageModes) {
  struct Case {
    ULONG n, average, skip;
    BOOLEAN doubleRate;
    ULONGLONG mask;
  };
  const Case cases[] = {
      {30, 0, 1, FALSE, 0x15555555},             // frames 0, 2, ... 28
      {30, 15, 0, FALSE, 0x2AAAAAAA},            // frames 1, 3, ... 29
      {30, 0, 0, FALSE, 0x3FFFFFFF},             // every frame
      {30, 99, 0, FALSE, 0x3FFFFFFF},            // capped at n
      {60, 40, 0, TRUE, 0x0AAAAAAAAAAAAAAAull},  // capped at n / 2: 30 of 60
      {60, 0, 1, TRUE, 0x0111111111111111ull},   // skip 1 becomes 3: frames 0, 4, ... 56
      {60, 0, 0, TRUE, 0x0555555555555555ull},   // skip 0 becomes 1
      {0, 30, 0, FALSE, 0},                      // no input: empty
      {0, 0, 0, FALSE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.n << " " << c.average << " " << c.skip);
    EXPECT_EQ(VORLIX_FrameKeepMask(c.n, c.average, c.skip, c.doubleRate), c.mask);
  }
}

// A failed download sends nothing at all; a later start with a good file recovers.
TEST_F(EncoderTest, MissingFirmwareSendsNoCommandAndALaterStartRecovers) {
  SetSignal(1280, 720, 60);
  Encoder().SetSignal(board::InputFormat::k720p60);
  std::filesystem::remove(machine::DriveFolder('C') / "WINDOWS" / "VORLIX" / "VORLIX.HD.HEX");
  EXPECT_FALSE(VORLIX_EncoderBringUp(Dev(), FALSE, TRUE));
  EXPECT_TRUE(Encoder().Commands().empty());
  EXPECT_TRUE(LogLines("TOTAL DOWNLOAD TIMES").empty());
  EXPECT_EQ(State()->nClockWidth, 1280u);                  // recorded before the result is looked at
  EXPECT_EQ(board_.Peek(0, REG_GPIO_B_DIRECTION), 0xFBu);  // lines set all the same
  EXPECT_FALSE(Encoder().state().started);

  WriteFirmware(board::SampleFirmwareImage(10));
  EXPECT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, TRUE));
  EXPECT_TRUE(Encoder().state().booted);
  EXPECT_EQ(Commands().size(), 22u);
}

TEST_F(EncoderTest, ShortFormDownloadsAndWiresButSendsNothing) {
  Dev()->m_nGpioDirection = 0x5;
  Dev()->m_nGpioData = 0xA;
  for (ULONG input : {0u, 1u, 3u}) {
    SCOPED_TRACE(input);
    Dev()->m_nAnalogCrossbarAudioInput = input;
    board_.ClearAccessLog();
    EXPECT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, FALSE));
    EXPECT_TRUE(Encoder().Commands().empty());
    EXPECT_EQ(board_.Peek(0, REG_GPIO_A_DIRECTION), 0x75u << 16);
    EXPECT_EQ(board_.Peek(0, REG_GPIO_A_OUTPUT), 0x7Au << 16);
    // The audio select pulse: the other level first (shadow untouched), then the kept one.
    std::vector<ULONG> bankB = board_.WritesTo(REG_GPIO_B_OUTPUT);
    ASSERT_FALSE(bankB.empty());
    ULONG last = bankB.back();
    if (input == 0) {
      EXPECT_EQ(bankB[bankB.size() - 2], State()->nGpioBOutput | GPIO_B_AUDIO_SELECT);
      EXPECT_EQ(last & GPIO_B_AUDIO_SELECT, 0u);
    } else if (input == 1) {
      EXPECT_EQ(bankB[bankB.size() - 2] & GPIO_B_AUDIO_SELECT, 0u);
      EXPECT_EQ(last & GPIO_B_AUDIO_SELECT, GPIO_B_AUDIO_SELECT);
    } else {
      EXPECT_EQ(last & GPIO_B_AUDIO_SELECT, GPIO_B_AUDIO_SELECT);  // no pulse: left as initialised
    }
    EXPECT_EQ(last, State()->nGpioBOutput);
  }
}

// ---- settings pass ----------------------------------------------------------------------

class SettingsPassTest : public EncoderTest {
 protected:
  void SetUp() override {
    EncoderTest::SetUp();
    SetSignal(1920, 1080, 30);
    Encoder().SetSignal(board::InputFormat::k1080p30);
    ASSERT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, TRUE));
    Encoder().ClearCommands();
    machine::ClearDebugLog();
  }
};

constexpr ULONG kFlag = 0x08000000;

TEST_F(SettingsPassTest, NothingFlaggedSendsNothing) {
  Dev()->m_nAnalogVideoCompressionKeyframeRate[0] = 15;  // changed without its flag
  Dev()->m_nEncoderVideoBitRate[4] = 1000000;
  VORLIX_ApplySettings(Dev());
  EXPECT_TRUE(Encoder().Commands().empty());
}

TEST_F(SettingsPassTest, ExactlyTheFlaggedSettingsReachTheBoard) {
  CDevice* d = Dev();
  d->m_nPreviewVideoResolution[0] = kFlag | 1920u << 12 | 1080;
  d->m_nEncoderVideoSkipFrameRate[0] = kFlag | 1;
  d->m_nAnalogVideoCompressionKeyframeRate[4] = kFlag | 60;
  d->m_nAnalogVideoCompressionKeyframeRate[0] = 15;  // not flagged: stays unsent
  d->m_nEncoderVideoResolution[4] = kFlag | 960u << 12 | 540;
  d->m_nEncoderVideoBitRateMode[0] = kFlag | 1;
  d->m_nEncoderVideoBitRate[0] = 8000000;
  strcpy(d->m_szOsdText[0][1], "CAMERA 1");
  d->m_bOsdTextChanged[0][1] = 1;
  d->m_bOsdTextChanged[0][2] = 0;

  VORLIX_ApplySettings(d);
  ExpectSequence(Commands(),
                 {
                     {{VENDOR_CMD_PREVIEW, 0x801E9E00, 1920 | 1080u << 16, 0x0FFFFFFF, 0xFFFFFFFF}},
                     {{VENDOR_CMD_FRAME_RATE, 0x001E009E, 0, 0x15555555}},
                     {{VENDOR_CMD_GOP, 60 | 0x200}},
                     {{VENDOR_CMD_RESOLUTION, 2 + 0x200, 960 | 540u << 16}},
                     {{VENDOR_CMD_RATE_CONTROL, 1, 7812 | 24u << 16}},
                     {{VENDOR_CMD_OSD_TEXT, 8 << 3 | 1 << 1 | 1 | 0x10000, 0x454D4143, 0x31204152, 0, 0, 0x200000}},
                 });
  const std::vector<std::string> lines = {
      "PREVIEW: RESOLUTION = 1920 \xA1\xD1 1080",
      "ENC#00: FPS = 0000000015555555",
      "ENC#02: GOP = 60",
      "ENC#02: RESOLUTION = 1920, 1080, 960, 540, PROG = 1",
      "ENC#00: RC = 1, QUALITY = 24, BITRATE = 7812",
      "ENC#00: OSD.TEXT = CAMERA 1",
  };
  auto log = machine::DebugLogLines();
  log.erase(std::remove(log.begin(), log.end(), std::string()), log.end());
  EXPECT_EQ(log, lines);
  // Flags gone, values kept; the state follows.
  EXPECT_EQ(d->m_nPreviewVideoResolution[0], 1920u << 12 | 1080);
  EXPECT_EQ(d->m_nAnalogVideoCompressionKeyframeRate[4], 60u);
  EXPECT_EQ(d->m_bOsdTextChanged[0][1], 0u);
  EXPECT_EQ(State()->nPreviewWidth, 1920u);
  EXPECT_EQ(State()->nEncGopLength[1], 60u);
  EXPECT_EQ(State()->nEncRateControlMode[0], 1u);
  EXPECT_EQ(State()->nEncTargetFrameBits[0], (7812u << 10) / 30);
  board::EncoderState st = Encoder().state();
  EXPECT_EQ(st.stream[1].gop, 60u);
  EXPECT_EQ(st.stream[0].bitRateKbits, 7812u);
  EXPECT_EQ(st.osdText[1], "CAMERA 1");

  // The next pass has nothing left to send.
  Encoder().ClearCommands();
  VORLIX_ApplySettings(d);
  EXPECT_TRUE(Encoder().Commands().empty());
}

TEST_F(SettingsPassTest, RateControlCases) {
  struct Case {
    ULONG mode, quality, bitRate;
    ULONG arg1, arg2, slotMode;
  };
  const Case cases[] = {
      {0, 6000, 4000000, 0, 24u << 16, 0},  // mode 0 sends no bit rate
      {1, 6000, 4000000, 1, 3906 | 24u << 16, 1},
      {2, 6000, 4000000, 0, 3906 | 26u << 16, 2},  // the driver adapts the quantiser itself
      {1, 10000, 4000000, 1, 3906 | 8u << 16, 1},  // quality 10,000 or more gives 8
      {1, 0, 4000000, 1, 3906 | 48u << 16, 1},
      {1, 6000, 100000000, 1, 0xFFFF | 24u << 16, 1},  // too large for its field: clamped, quantiser intact
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mode << " " << c.quality << " " << c.bitRate);
    Encoder().ClearCommands();
    Dev()->m_nEncoderVideoBitRateMode[4] = c.mode;
    Dev()->m_nAnalogVideoCompressionQuality[4] = c.quality;
    Dev()->m_nEncoderVideoBitRate[4] = kFlag | c.bitRate;
    VORLIX_ApplySettings(Dev());
    auto sent = Commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].words[0], (ULONG)VENDOR_CMD_RATE_CONTROL);
    EXPECT_EQ(sent[0].words[1], c.arg1 | 0x200);
    EXPECT_EQ(sent[0].words[2], c.arg2);
    EXPECT_EQ(State()->nEncRateControlMode[1], c.slotMode);
  }
}

TEST_F(SettingsPassTest, GopClampAndOverride) {
  struct Case {
    ULONG setting, override;
    bool sent;
    ULONG gop;
  };
  const Case cases[] = {{kFlag | 0, 0, true, 1}, {kFlag | 300, 0, true, 255}, {45, 1, true, 45}, {45, 0, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    Encoder().ClearCommands();
    Dev()->m_nAnalogVideoCompressionKeyframeRate[0] = c.setting;
    Dev()->m_nAnalogVideoCompressionOverrideKeyframe[0] = c.override;
    VORLIX_ApplySettings(Dev());
    auto sent = Commands();
    ASSERT_EQ(sent.size(), c.sent ? 1u : 0u);
    if (c.sent) {
      EXPECT_EQ(sent[0].words[1], c.gop);
    }
    EXPECT_EQ(Dev()->m_nAnalogVideoCompressionOverrideKeyframe[0], 0u);
  }
}

TEST_F(SettingsPassTest, FlaggedEncoderSizeAtBringUpIsSentOnceMore) {
  Dev()->m_nEncoderVideoResolution[0] = kFlag | 1920u << 12 | 1080;
  SetSignal(1920, 540, 60, 1);  // field input: full size is interlaced
  ASSERT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, TRUE));
  EXPECT_EQ(Encoder().state().stream[0].width, 1920u);
  EXPECT_EQ(Encoder().state().stream[0].height, 1080u);
  EXPECT_EQ(Encoder().state().stream[0].progressive, 0u);
  Encoder().ClearCommands();
  VORLIX_ApplySettings(Dev());
  ExpectSequence(Commands(), {{{VENDOR_CMD_RESOLUTION, 0, 1920 | 1080u << 16}}});
  Encoder().ClearCommands();
  VORLIX_ApplySettings(Dev());
  EXPECT_TRUE(Encoder().Commands().empty());
}

TEST_F(SettingsPassTest, FieldInputPreviewAndEncodedSizes) {
  SetSignal(1920, 540, 60, 1);
  struct Case {
    ULONG requested;
    bool sub;
    ULONG width, height, progressive;
  };
  const Case cases[] = {
      {1920u << 12 | 1080, false, 1920, 1080, 0},  // full size of a field input is interlaced
      {960u << 12 | 540, true, 960, 540, 1},       // a reduced size is always progressive
      {100u << 12 | 100, false, 480, 270, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    Encoder().ClearCommands();
    Dev()->m_nEncoderVideoResolution[c.sub ? 4 : 0] = kFlag | c.requested;
    VORLIX_ApplySettings(Dev());
    auto sent = Commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].words[1], c.progressive * 2 + (c.sub ? 0x200u : 0));
    EXPECT_EQ(sent[0].words[2], c.width | c.height << 16);
  }
  // A full-size preview of a field input comes as field pictures.
  Encoder().ClearCommands();
  Dev()->m_nPreviewVideoResolution[0] = kFlag | 1920u << 12 | 1080;
  VORLIX_ApplySettings(Dev());
  ExpectSequence(Commands(), {{{VENDOR_CMD_PREVIEW, 0x801E9E00, 1920 | 1080u << 16, 0x0FFFFFFF, 0xFFFFFFFF}}});
  EXPECT_EQ(State()->bPreviewField, 1u);
  EXPECT_EQ(State()->nPreviewHeight, 540u);
  EXPECT_EQ(State()->nPreviewWidth, 1920u);
  EXPECT_EQ(LogLines("PREVIEW: ").at(0), "PREVIEW: RESOLUTION = 1920 \xA1\xD1 1080");
}

TEST_F(SettingsPassTest, OsdTimeForAnEmptyFirstLineAndLongTextCut) {
  CDevice* d = Dev();
  memset(d->m_szOsdText[0][2], 'x', 64);  // no terminator inside the 64 bytes
  d->m_szOsdText[0][2][64] = 0;
  d->m_bOsdTextChanged[0][0] = 1;
  d->m_bOsdTextChanged[0][2] = 1;
  VORLIX_ApplySettings(d);
  auto sent = Commands();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].words[0], (ULONG)VENDOR_CMD_OSD_TIME);
  EXPECT_EQ(sent[1].words[1], 0x10000u);
  EXPECT_EQ(sent[2].words[1], 16u << 3 | 2 << 1 | 1 | 0x10000);
  EXPECT_EQ(sent[2].words[2], 0x78787878u);
  EXPECT_EQ(Encoder().state().osdText[2], std::string(16, 'x'));
  EXPECT_EQ(LogLines("ENC#00: OSD.TEXT = x").at(0), "ENC#00: OSD.TEXT = " + std::string(64, 'x'));
  // Disabled: the marks stay for later.
  d->m_nOsdTextEnable = 0;
  d->m_bOsdTextChanged[0][1] = 1;
  Encoder().ClearCommands();
  VORLIX_ApplySettings(d);
  EXPECT_TRUE(Encoder().Commands().empty());
  EXPECT_EQ(d->m_bOsdTextChanged[0][1], 1u);
}

}  // namespace
}  // namespace vorlix_test
