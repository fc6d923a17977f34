// The full bring-up as the board saw it, one exact trace per input format that changes
// it: every register write and read-back with its value, and the time that passed
// between them on the test clock (the sleeps). The traces live beside this file; after a
// deliberate change to the sequence, run with VORLIX_UPDATE_TRACES=1 to write them anew
// and review the difference.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <algorithm>
#include <cstring>

#include "driver/hardware/encoder.h"
#include "driver/hardware/registers.h"
#include "tests/driver/hardware/encoder_test_fixture.h"

namespace vorlix_test {
namespace {

// The accesses the calling thread made (the interrupt routine and the deferred calls
// run beside it on their own threads).
std::vector<std::string> Trace(const std::vector<board::Access>& all) {
  std::vector<board::Access> log;
  for (const board::Access& a : all)
    if (a.thread == std::this_thread::get_id()) log.push_back(a);
  std::vector<std::string> out;
  LONGLONG last = log.empty() ? 0 : log.front().time;
  for (const board::Access& a : log) {
    char line[64];
    if (a.time != last) {
      std::snprintf(line, sizeof line, "+ %lld", (long long)(a.time - last));
      out.push_back(line);
      last = a.time;
    }
    std::snprintf(line, sizeof line, "%c %u:%04X %08X", a.write ? 'W' : 'R', a.window, (unsigned)a.offset,
                  (unsigned)a.value);
    out.push_back(line);
  }
  return out;
}

std::filesystem::path TracePath(const std::string& name) {
  return std::filesystem::path(__FILE__).parent_path() / "traces" / ("bringup_" + name + ".txt");
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class BringUpTraceTest : public EncoderDeviceTest {
 protected:
  void SetUp() override {
    EncoderDeviceTest::SetUp();
    WriteFirmware(board::SampleFirmwareImage());
    machine::UseJumpingTestClock();
    machine::SetDelayScale(1);
  }
  void TearDown() override {
    machine::UseRealClock();
    EncoderDeviceTest::TearDown();
  }
};

struct Format {
  const char* name;
  board::InputFormat input;
  ULONG w, h, r, interlaced;
};

// Formats that take different paths: progressive HD, a field format (interlaced, halved
// clock rate, field preview), 720 lines at 60, the 720-wide standard definition (OSD
// arguments, preview shift 0), and the double-rate 1080p60 (every other frame kept).
const Format kFormats[] = {
    {"1080p30", board::InputFormat::k1080p30, 1920, 1080, 30, 0},
    {"1080i60", board::InputFormat::k1080i60, 1920, 540, 60, 1},
    {"720p60", board::InputFormat::k720p60, 1280, 720, 60, 0},
    {"480i", board::InputFormat::k480i, 720, 480, 30, 0},
    {"1080p60", board::InputFormat::k1080p60, 1920, 1080, 60, 0},
};

TEST_F(BringUpTraceTest, OneExactTracePerInputFormat) {
  const bool update = std::getenv("VORLIX_UPDATE_TRACES") != nullptr;
  CDevice* d = Dev();
  // An OSD line, an audio input to pulse and a preview size that is asked for.
  d->m_nOsdTextEnable = 1;
  strcpy(d->m_szOsdText[0][1], "CAMERA 1");
  d->m_nAnalogCrossbarAudioInput = 0;
  for (const Format& f : kFormats) {
    SCOPED_TRACE(f.name);
    Encoder().SetSignal(f.input);
    SetSignal(f.w, f.h, f.r, f.interlaced);
    d->m_nPreviewVideoResolution[0] = 0x08000000u | f.w << 12 | (f.interlaced ? 2 * f.h : f.h);
    board_.ClearAccessLog();
    {
      machine::MachineThreadScope scope;
      ASSERT_TRUE(VORLIX_EncoderBringUp(d, FALSE, TRUE));
    }
    std::vector<std::string> got = Trace(board_.AccessLog());
    std::filesystem::path path = TracePath(f.name);
    if (update) {
      std::ofstream out(path);
      for (const std::string& line : got) out << line << "\n";
      continue;
    }
    std::vector<std::string> want = ReadLines(path);
    ASSERT_FALSE(want.empty()) << "no trace at " << path;
    // The first difference, with its line number, then the whole comparison.
    size_t n = std::min(got.size(), want.size());
    size_t i = 0;
    while (i < n && got[i] == want[i]) ++i;
    EXPECT_TRUE(i == got.size() && i == want.size())
        << "first difference at line " << i + 1 << ": got \"" << (i < got.size() ? got[i] : "(end)") << "\", want \""
        << (i < want.size() ? want[i] : "(end)") << "\"";
  }
}

// The board refuses a firmware start whose holds are still set: the handshake goes
// unanswered.
TEST_F(BringUpTraceTest, BoardHoldsSysReadyBackAndRefusesAStartWithTheHoldsSet) {
  board_.SetSysReadyDelay(5);
  SetSignal(1920, 1080, 30);
  {
    machine::MachineThreadScope scope;
    ASSERT_TRUE(VORLIX_EncoderBringUp(Dev(), FALSE, FALSE));
  }
  // Each reset pass polled SYS_READY until it came up: five zeros, then the one.
  std::vector<ULONG> ready;
  for (const board::Access& a : board_.AccessLog())
    if (!a.write && a.offset == REG_SYS_READY) ready.push_back(a.value);
  EXPECT_EQ(ready, (std::vector<ULONG>{0, 0, 0, 0, 0, 1}));
  // A start with a hold still set is refused.
  VORLIX_WriteRegister(Dev(), REG_BOOT_HOLD0 / 4, 1, 4);
  VORLIX_WriteRegister(Dev(), REG_MBOX_ARG2 / 4, 0xF1, 4);
  VORLIX_WriteRegister(Dev(), REG_CORE_CONTROL / 4, 0xBFFFFE3Fu, 4);
  EXPECT_FALSE(Encoder().state().started);
  EXPECT_EQ(board_.Violations(), (std::vector<std::string>{"firmware start with the boot holds still set"}));
  board_.ClearViolations();

  // Chunks of an odd length or above 256 words spoil the download.
  for (ULONG words : {3u, 258u}) {
    SCOPED_TRACE(words);
    VORLIX_WriteRegister(Dev(), REG_BOOT_HOLD1 / 4, 0, 4);
    VORLIX_WriteRegister(Dev(), REG_BOOT_HOLD1 / 4, 1, 4);  // a new download
    VORLIX_WriteRegister(Dev(), REG_BOOT_HOLD0 / 4, 1, 4);
    VORLIX_WriteRegister(Dev(), REG_DDMA_HOST_ADDRESS / 4, Dev()->m_liDmaBufferPhysical.LowPart, 4);
    VORLIX_WriteRegister(Dev(), REG_DDMA_LENGTH / 4, words, 4);
    VORLIX_WriteRegister(Dev(), REG_DDMA_CONTROL / 4, 0x80000001u, 4);
    ASSERT_EQ(board_.Violations().size(), 1u);
    EXPECT_NE(board_.Violations()[0].find("odd, or above 256"), std::string::npos);
    board_.ClearViolations();
  }
}

}  // namespace
}  // namespace vorlix_test
