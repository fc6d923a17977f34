// The firmware download and the no-signal picture: records, chunking, malformed and
// missing files, failed reads, long paths, lost chunks, and the picture's conversion.
#include "driver/hardware/firmware.h"

#include <atomic>
#include <cstring>
#include <thread>

#include "driver/hardware/encoder.h"
#include "driver/hardware/registers.h"
#include "tests/driver/hardware/encoder_test_fixture.h"
#include "tests/support/levels.h"

namespace vorlix_test {
namespace {

class FirmwareTest : public EncoderDeviceTest {
 protected:
  // The boot holds bring-up sets around the download.
  void OpenDownload() {
    VORLIX_WriteRegister(Dev(), REG_BOOT_HOLD1 / 4, 1, 4);
    VORLIX_WriteRegister(Dev(), REG_BOOT_HOLD0 / 4, 1, 4);
  }
  void CloseDownload() {
    VORLIX_WriteRegister(Dev(), REG_BOOT_HOLD1 / 4, 0, 4);
    VORLIX_WriteRegister(Dev(), REG_BOOT_HOLD0 / 4, 0, 4);
  }
  BOOLEAN Download() {
    OpenDownload();
    BOOLEAN ok = VORLIX_DownloadFirmware(Dev(), ENCODER_FIRMWARE_FILE, FALSE);
    CloseDownload();
    return ok;
  }
  // Asks the board to start what it received: TRUE when it answers the handshake.
  bool BoardStartsImage() {
    VORLIX_WriteRegister(Dev(), REG_MBOX_ARG2 / 4, 0xF1, 4);
    VORLIX_WriteRegister(Dev(), REG_CORE_CONTROL / 4, 0xBFFFFE3F, 4);
    return VORLIX_ReadRegister(Dev(), REG_MBOX_ARG2 / 4, 4) == 0xE0;
  }
  std::filesystem::path DeviceInfoPath(const char* name) {
    return machine::DriveFolder('C') / "WINDOWS" / "VORLIX" / name;
  }
};

TEST(FirmwareRecord, Decoding) {
  struct Case {
    const char* digits;
    ULONG word;
  };
  const Case cases[] = {
      {"0000ab12", 0x0000AB12},
      {"ffffffff", 0xFFFFFFFF},
      {"00000000", 0},
      {"89abcdef", 0x89ABCDEF},
      // Nothing is validated: other characters give a wrong word, without error.
      {"0000AB12", (17u << 12) + (18u << 8) + 0x12},
      {"0000000g", 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digits);
    EXPECT_EQ(VORLIX_DecodeFirmwareRecord(reinterpret_cast<const UCHAR*>(c.digits)), c.word);
  }
}

TEST_F(FirmwareTest, ChunksByFileSize) {
  struct Case {
    size_t bytes;
    std::vector<ULONG> chunks;
  };
  const Case cases[] = {
      {2570, {256, 2}},                               // 257 words: the last chunk of 1 goes with a pad word
      {2569, {256}},                                  // 256 whole records and 9 stray bytes
      {2575, {256, 2}}, {10, {2}},          {5, {}},  // no whole record: nothing sent, still a success
      {0, {}},          {5120, {256, 256}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::vector<ULONG> words;
    for (ULONG i = 0; i < c.bytes / 10 + 1; ++i) words.push_back(0x01010101u * (i & 0xFF) + 0xA0000000u);
    WriteDeviceInfoFile("VORLIX.HD.HEX", board::FirmwareHexText(words).substr(0, c.bytes));
    machine::ClearDebugLog();
    EXPECT_TRUE(Download());
    EXPECT_EQ(Encoder().ChunkLengths(), c.chunks);
    std::vector<ULONG> got = Encoder().DownloadedWords();
    size_t n = c.bytes / 10;
    ASSERT_EQ(got.size(), (n + 1) & ~size_t{1});
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(got[i], words[i]) << i;
    if (n & 1) {
      EXPECT_EQ(got[n], 0u);  // the pad word
    }
    auto total = LogLines("TOTAL DOWNLOAD TIMES");
    ASSERT_EQ(total.size(), 1u);
    EXPECT_NE(total[0].find("(" + std::to_string(c.bytes) + " BYTES) (SUCCESS)"), std::string::npos) << total[0];
  }
}

// Malformed files: the driver streams whatever a readable file holds and the board
// refuses an image that is not its own; files that cannot be read are refused before
// anything reaches the board. Either way a later download of a good file works.
TEST_F(FirmwareTest, MalformedFiles) {
  std::string valid = board::FirmwareHexText(board::SampleFirmwareImage(40));
  std::string upper = valid;
  for (char& c : upper) c = (char)toupper((unsigned char)c);
  std::string nonHex = valid;
  nonHex[33] = 'z';
  std::string noLineEnds;
  for (size_t i = 0; i < valid.size(); i += 10) noLineEnds += valid.substr(i, 8);
  std::string missingDigit = valid;
  missingDigit.erase(25, 1);
  Random random(7);
  std::string noise(5000, 0);
  random.Fill(noise.data(), noise.size());
  struct Case {
    const char* name;
    std::optional<std::string> content;  // none: no file
    bool directory;
    BOOLEAN downloaded;
    bool boardStarts;
  };
  const Case cases[] = {
      {"valid", valid, false, TRUE, true},
      {"valid with stray bytes after the last record", valid + "0123", false, TRUE, true},
      {"empty", std::string(), false, TRUE, false},
      {"shorter than a record", std::string("0000a"), false, TRUE, false},
      {"uppercase digits", upper, false, TRUE, false},
      {"a character that is not a digit", nonHex, false, TRUE, false},
      {"records without line ends", noLineEnds, false, TRUE, false},
      {"a digit missing mid-file", missingDigit, false, TRUE, false},
      {"noise", noise, false, TRUE, false},
      {"missing", std::nullopt, false, FALSE, false},
      {"a directory of that name", std::nullopt, true, FALSE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(DeviceInfoPath("VORLIX.HD.HEX"));
    if (c.content) WriteDeviceInfoFile("VORLIX.HD.HEX", *c.content);
    if (c.directory) std::filesystem::create_directories(DeviceInfoPath("VORLIX.HD.HEX"));
    machine::ClearDebugLog();
    EXPECT_EQ(VORLIX_EncoderBringUp(Dev(), FALSE, FALSE), c.downloaded);
    EXPECT_EQ(LogLines("TOTAL DOWNLOAD TIMES").size(), c.downloaded ? 1u : 0u);
    if (!c.downloaded) {
      EXPECT_TRUE(Encoder().ChunkLengths().empty());
    }
    EXPECT_EQ(BoardStartsImage(), c.boardStarts);
  }
  std::filesystem::remove_all(DeviceInfoPath("VORLIX.HD.HEX"));
  WriteDeviceInfoFile("VORLIX.HD.HEX", valid);
  EXPECT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, FALSE));
  EXPECT_TRUE(BoardStartsImage());
}

// The interrupt status survives a core reset. A stream response the old core raised just
// before bring-up, and taken only once the download runs (here the interrupt routine is
// held off until the first chunk has gone out), must not set up a transfer that then takes
// the chunk's transfer-done for its own: the chunk's wait would run out and the download
// fail.
TEST_F(FirmwareTest, ResponseLeftFromBeforeTheResetDoesNotTakeAChunksCompletion) {
  WriteFirmware(board::SampleFirmwareImage(300));  // two chunks
  ASSERT_TRUE(Encoder().ChunkLengths().empty());
  Dev()->m_nIsrGate.store(0);
  Encoder().QueueTransfer(1, 0x00000100u, std::vector<ULONG>(64, 0x5A5A5A5Au));
  ASSERT_NE(board_.PendingStatus() & INT_MAILBOX_RESPONSE, 0u);
  std::atomic<bool> over{false};  // a bring-up that sends no chunk must not leave the opener spinning
  std::thread opener([&] {
    while (Encoder().ChunkLengths().empty() && !over) std::this_thread::yield();
    Dev()->m_nIsrGate.store(1);
  });
  EXPECT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, FALSE));
  over = true;
  opener.join();
  auto total = LogLines("TOTAL DOWNLOAD TIMES");
  ASSERT_EQ(total.size(), 1u);
  EXPECT_NE(total[0].find("(SUCCESS)"), std::string::npos) << total[0];
  EXPECT_EQ(Encoder().ChunkLengths(), (std::vector<ULONG>{256, 48}));
  EXPECT_EQ(State()->nRemainingWords, 0u);
  EXPECT_EQ(State()->nCurrentChunkWords, 0u);
  EXPECT_TRUE(BoardStartsImage());
}

// A board that refuses the image never answers the handshake and ignores every command;
// bring-up says so in the log and each configure command waits out its 3 s.
TEST_F(FirmwareTest, RejectedImageFullBringUp) {
  std::vector<ULONG> image = board::SampleFirmwareImage(20);
  image[5] ^= 1;  // the check word no longer balances
  WriteFirmware(image);
  SetSignal(1920, 1080, 30);
  machine::UseJumpingTestClock();
  {
    machine::MachineThreadScope scope;
    EXPECT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, TRUE));
  }
  // Eleven configure commands waited out their 3 s each; the rest took no time but the
  // board's chunk transfers.
  EXPECT_GE(machine::InterruptTimeNow(), 11 * COMMAND_DONE_TIMEOUT);
  EXPECT_LT(machine::InterruptTimeNow(), 12 * COMMAND_DONE_TIMEOUT);
  machine::UseRealClock();
  EXPECT_EQ(LogLines("VORLIX_EncoderBringUp( BOOT HANDSHAKE NOT ANSWERED )").size(), 1u);
  board::EncoderState st = Encoder().state();
  EXPECT_FALSE(st.imageValid);
  EXPECT_FALSE(st.booted);
  EXPECT_TRUE(st.configSelectors.empty());
  EXPECT_EQ(Encoder().Commands().size(), 22u);  // latched, and ignored
}

TEST_F(FirmwareTest, FailedReadsAndOpensAreNotSuccesses) {
  WriteFirmware(board::SampleFirmwareImage());
  struct Case {
    machine::FileOp op;
    NTSTATUS status;
  };
  const Case cases[] = {{machine::FileOp::Read, STATUS_UNSUCCESSFUL},
                        {machine::FileOp::Create, STATUS_OBJECT_NAME_NOT_FOUND},
                        {machine::FileOp::Query, STATUS_UNSUCCESSFUL}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op));
    machine::ClearDebugLog();
    machine::FailNthFileOperation(c.op, 1, c.status);
    EXPECT_FALSE(Download());
    machine::ClearFileFaults();
    EXPECT_TRUE(LogLines("TOTAL DOWNLOAD TIMES").empty());
    EXPECT_TRUE(Encoder().ChunkLengths().empty());
  }
  // Out of memory for the name copy or the file buffer.
  for (uint64_t nth : {1, 2}) {
    SCOPED_TRACE(nth);
    machine::FailNthAllocation(nth, kStateTag);
    EXPECT_FALSE(Download());
    machine::ClearPoolFaults();
  }
  EXPECT_TRUE(Download());
}

TEST_F(FirmwareTest, DirectoryTooLongForThePath) {
  WriteFirmware(board::SampleFirmwareImage());
  CDevice* d = Dev();
  struct Case {
    size_t length;
    bool terminated;
  };
  // 256 - 13 file name characters - 1 terminator: 242 still fits.
  const Case cases[] = {{243, true}, {255, true}, {256, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    for (size_t i = 0; i < 256; ++i) d->m_szDeviceInfoDirectory[i] = i < c.length ? u'a' : 0;
    machine::ClearDebugLog();
    EXPECT_FALSE(Download());
    EXPECT_EQ(LogLines("VORLIX_DownloadFirmware( \"VORLIX.HD.HEX\" ) PATH TOO LONG").size(), 1u);
  }
  // The longest directory that fits reaches the file system (and finds nothing there).
  for (size_t i = 0; i < 256; ++i) d->m_szDeviceInfoDirectory[i] = i < 242 ? u'a' : 0;
  machine::ClearDebugLog();
  EXPECT_FALSE(Download());
  EXPECT_EQ(LogLines("VORLIX_DownloadFirmware( \"aaaa").size(), 1u);
}

// A chunk whose completion never comes ends the download at once (on the test clock).
TEST_F(FirmwareTest, LostChunkEndsTheDownload) {
  std::vector<ULONG> words(600, 0x12345678);
  WriteFirmware(words);
  machine::UseJumpingTestClock();
  Encoder().DropChunkDoneFrom(1);
  BOOLEAN ok = TRUE;
  LONGLONG lost = 0;
  {
    machine::MachineThreadScope scope;
    ok = Download();
    lost = machine::InterruptTimeNow();
  }
  EXPECT_FALSE(ok);
  EXPECT_EQ(Encoder().ChunkLengths(), (std::vector<ULONG>{256, 256}));  // the third never sent
  // The first chunk's completion came at once, the second's wait ended at its 3 s.
  EXPECT_EQ(lost, COMMAND_DONE_TIMEOUT);
  EXPECT_EQ(LogLines("TOTAL DOWNLOAD TIMES"),
            (std::vector<std::string>{"TOTAL DOWNLOAD TIMES = 30000000 (6000 BYTES) (FAIL)"}));
  machine::UseRealClock();
}

// ---- the no-signal picture ------------------------------------------------------------------

std::string PictureFile(size_t bytes, UCHAR firstRow, UCHAR otherRows) {
  std::string f(bytes, 0);
  f[0] = 'B';
  f[1] = 'M';
  for (size_t i = NO_SIGNAL_FILE_HEADER; i < bytes; ++i) {
    size_t row = (i - NO_SIGNAL_FILE_HEADER) / NO_SIGNAL_FILE_STEP;
    f[i] = (char)(row == 0 ? firstRow : otherRows);
  }
  return f;
}

std::vector<UCHAR> Picture() {
  PUCHAR p = VORLIX_NoSignalPicture();
  return std::vector<UCHAR>(p, p + NO_SIGNAL_PICTURE_BYTES);
}

// Runs first: the built-in picture before any file replaced it.
TEST_F(FirmwareTest, BuiltInPicture) {
  std::vector<UCHAR> p = Picture();
  auto luma = [&](int x, int y) { return p[y * NO_SIGNAL_PICTURE_STEP + x * 2]; };
  EXPECT_EQ(luma(0, 0), 16);  // black
  EXPECT_EQ(p[1], 128);
  int spinner = 0, letters = 0;
  for (int y = 30; y < 130; ++y)
    for (int x = 110; x < 210; ++x) spinner += luma(x, y) > 16;
  for (int y = 180; y < 210; ++y)
    for (int x = 0; x < 320; ++x) letters += luma(x, y) >= 200;
  EXPECT_GT(spinner, 200);
  EXPECT_GT(letters, 500);
}

TEST_F(FirmwareTest, PictureFiles) {
  struct Case {
    const char* name;
    std::optional<std::string> content;
    BOOLEAN loaded;
  };
  const Case cases[] = {
      {"missing", std::nullopt, FALSE},
      {"empty", std::string(), FALSE},
      {"one byte short", PictureFile(NO_SIGNAL_PICTURE_FILE_SIZE - 1, 255, 0), FALSE},
      {"header only", PictureFile(54, 255, 0), FALSE},
      {"exact", PictureFile(NO_SIGNAL_PICTURE_FILE_SIZE, 255, 0), TRUE},
      {"longer: only the picture's bytes are used", PictureFile(NO_SIGNAL_PICTURE_FILE_SIZE + 4096, 255, 0), TRUE},
      // The header is not examined: whatever the pixels hold is converted.
      {"not a bitmap header",
       [] {
         std::string f = PictureFile(NO_SIGNAL_PICTURE_FILE_SIZE, 255, 0);
         f[0] = 'X';
         return f;
       }(),
       TRUE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(DeviceInfoPath("NO.SIGNAL.BMP"));
    if (c.content) WriteDeviceInfoFile("NO.SIGNAL.BMP", *c.content);
    // A known picture in place, to see whether it is kept.
    memset(VORLIX_NoSignalPicture(), 0x55, NO_SIGNAL_PICTURE_BYTES);
    machine::ClearDebugLog();
    EXPECT_EQ(VORLIX_DownloadLogoPictures(Dev(), u"NO.SIGNAL.BMP"), c.loaded);
    std::vector<UCHAR> p = Picture();
    auto total = LogLines("TOTAL DOWNLOAD TIMES");
    if (!c.loaded) {
      EXPECT_EQ(p, std::vector<UCHAR>(NO_SIGNAL_PICTURE_BYTES, 0x55));
      EXPECT_TRUE(total.empty());
      continue;
    }
    // The file's first pixel row (white) is the picture's last row; the others are black.
    const UCHAR* last = &p[239 * NO_SIGNAL_PICTURE_STEP];
    const UCHAR* first = &p[0];
    EXPECT_EQ(last[0], 235);
    EXPECT_EQ(last[1], 128);
    EXPECT_EQ(last[NO_SIGNAL_PICTURE_STEP - 2], 235);
    EXPECT_EQ(last[NO_SIGNAL_PICTURE_STEP - 1], 128);
    EXPECT_EQ(first[0], 16);
    EXPECT_EQ(p[238 * NO_SIGNAL_PICTURE_STEP], 16);
    ASSERT_EQ(total.size(), 1u);
    EXPECT_NE(total[0].find("(" + std::to_string(c.content->size()) + " BYTES) (SUCCESS)"), std::string::npos);
    EXPECT_EQ(LogLines("VORLIX_DownloadLogoPictures( \"\\??\\C:\\WINDOWS\\VORLIX\\NO.SIGNAL.BMP\" )").size(), 1u);
  }
}

}  // namespace
}  // namespace vorlix_test
