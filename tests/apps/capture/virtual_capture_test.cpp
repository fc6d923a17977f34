// The main job's virtual camera read back from its files: the numbered test pattern and
// its tone pushed through the encoder board's virtual pins come back whole and in order,
// a video file's frames all arrive, and a file that cannot be read fails the run. The
// machine runs on the jumping test clock, so its seconds pass as fast as the work allows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "apps/capture/capture_job.h"
#include "apps/vcam_producer/sources.h"
#include "platform/kernel/machine.h"

namespace {

namespace fs = std::filesystem;
namespace vc = vorlix::vcam;

// What the job asks of the virtual video pin.
const vc::VideoFormat kVirtualVideo{vc::FourCC("YV12"), 704, 480, 12, 0};

std::vector<uint8_t> Bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Le(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; i++) v |= (uint32_t)b[at + i] << (8 * i);
  return v;
}

// The count of the report line "virtual frames  N pushed, M delivered", both numbers.
bool FramesLine(const std::string& report, long* pushed, long* delivered) {
  std::smatch m;
  if (!std::regex_search(report, m, std::regex(R"(virtual frames +(\d+) pushed, (\d+) delivered)"))) return false;
  *pushed = std::stol(m[1]);
  *delivered = std::stol(m[2]);
  return true;
}

class VirtualCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vorlix_virtual_capture_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    platform::kernel::ResetMachine();
    fs::remove_all(dir_);
  }
  // A short run with the virtual camera fed from `file` (empty: the test pattern).
  int Run(double seconds, const std::string& file, std::string* report) {
    vorlix::capture::Options options;
    options.root = dir_ / "root";
    options.out = out();
    options.seconds = seconds;
    options.testClock = true;
    options.virtualCamera = true;
    options.virtualFile = file;
    std::ostringstream text;
    const int code = vorlix::capture::Run(options, text);
    *report = text.str();
    return code;
  }
  fs::path out() const { return dir_ / "out"; }
  fs::path dir_;
};

TEST_F(VirtualCapture, PatternComesBackNumberedInOrderWithItsSound) {
  std::string r;
  ASSERT_EQ(Run(0.25, "", &r), 0) << r;
  EXPECT_NE(r.find("virtual source          the numbered test pattern"), std::string::npos) << r;

  // Every frame pushed, numbered 1, 2, 3, ... in the order they came back.
  const std::vector<uint8_t> yuv = Bytes(out() / "virtual.yuv");
  const size_t frameBytes = kVirtualVideo.FrameBytes();
  ASSERT_GT(yuv.size(), 0u);
  ASSERT_EQ(yuv.size() % frameBytes, 0u);
  const size_t frames = yuv.size() / frameBytes;
  for (size_t i = 0; i < frames; i++)
    ASSERT_EQ(vc::DecodePatternNumber(kVirtualVideo, yuv.data() + i * frameBytes), (int64_t)(i + 1)) << "frame " << i;
  long pushed = 0, delivered = 0;
  ASSERT_TRUE(FramesLine(r, &pushed, &delivered)) << r;
  EXPECT_EQ(pushed, (long)frames);
  EXPECT_EQ(delivered, (long)frames);
  // Every frame carried a time, none going back.
  EXPECT_NE(r.find("virtual video           " + std::to_string(frames) + " buffers, " + std::to_string(yuv.size()) +
                   " bytes, " + std::to_string(frames) + " timed"),
            std::string::npos)
      << r;
  EXPECT_EQ(r.find("GO BACKWARDS"), std::string::npos) << r;

  // A WAV file of 48 kHz 16-bit stereo holding the tone the producer pushed, from its start.
  const std::vector<uint8_t> wav = Bytes(out() / "virtual.wav");
  ASSERT_GE(wav.size(), 44u);
  EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
  EXPECT_EQ(Le(wav, 4, 4), wav.size() - 8);
  EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(Le(wav, 20, 2), 1u);  // PCM
  EXPECT_EQ(Le(wav, 22, 2), 2u);
  EXPECT_EQ(Le(wav, 24, 4), 48000u);
  EXPECT_EQ(Le(wav, 34, 2), 16u);
  EXPECT_EQ(std::string(wav.begin() + 36, wav.begin() + 40), "data");
  const size_t data = Le(wav, 40, 4);
  ASSERT_EQ(data, wav.size() - 44);
  // A frame's share of sound at least per frame, less what the last push left short of a buffer.
  EXPECT_GE(data, frames * 48000 * 4 / 60 - 3200);
  std::vector<uint8_t> tone(data);
  uint64_t position = 0;
  vc::DrawTone(vc::AudioFormat{}, &position, tone.data(), tone.size());
  EXPECT_TRUE(std::equal(tone.begin(), tone.end(), wav.begin() + 44)) << "the pushed tone, byte for byte";

  const std::vector<uint8_t> png = Bytes(out() / "virtual.png");
  ASSERT_GE(png.size(), 8u);
  EXPECT_EQ(std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8), 0);

  // The virtual device's switch served the start only: the saved registry (UTF-16) does not keep it.
  const std::vector<uint8_t> reg = Bytes(out() / "registry.reg");
  auto has = [&reg](const std::string& ascii) {
    std::string wide;
    for (char c : ascii) wide += std::string{c, '\0'};
    return std::string(reg.begin(), reg.end()).find(wide) != std::string::npos;
  };
  EXPECT_TRUE(has("CurrentVersion"));
  EXPECT_FALSE(has("CustomVirtualCaptureDeviceProperty"));
}

// A clip the ffmpeg program makes: 12 frames of a test source with a tone. The run is
// long enough for all of them; the file ends first.
TEST_F(VirtualCapture, FileDeliversItsFrameCount) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg program to make a clip";
  const fs::path clip = dir_ / "clip.mkv";
  const std::string cmd =
      "ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=12 -f lavfi -i sine=frequency=440:sample_rate=44100 "
      "-t 1 -c:v mpeg4 -c:a pcm_s16le '" +
      clip.string() + "' 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::string r;
  ASSERT_EQ(Run(0.5, clip.string(), &r), 0) << r;
  long pushed = 0, delivered = 0;
  ASSERT_TRUE(FramesLine(r, &pushed, &delivered)) << r;
  EXPECT_EQ(pushed, 12);
  EXPECT_EQ(delivered, 12);
  EXPECT_EQ(fs::file_size(out() / "virtual.yuv"), 12 * kVirtualVideo.FrameBytes());
  EXPECT_GT(fs::file_size(out() / "virtual.wav"), 44u);

  // A file that cannot be read fails the run and says why.
  ASSERT_EQ(Run(0.1, (dir_ / "missing.mkv").string(), &r), 1) << r;
  EXPECT_NE(r.find("virtual source          CANNOT READ"), std::string::npos) << r;
  EXPECT_NE(r.find("FAILED: virtual source"), std::string::npos) << r;
}

TEST(VirtualArguments, FileIsOptional) {
  struct Case {
    std::vector<std::string> args;
    bool on;
    std::string file;
    double seconds;
  } cases[] = {
      {{"--virtual"}, true, "", 5},
      {{"--virtual", "clip.mkv"}, true, "clip.mkv", 5},
      {{"--virtual", "--seconds", "2"}, true, "", 2},
      {{"--seconds", "2", "--virtual", "a b.mp4"}, true, "a b.mp4", 2},
      {{"--seconds", "2"}, false, "", 2},
  };
  for (const Case& c : cases) {
    vorlix::capture::Options o;
    std::string error;
    ASSERT_TRUE(vorlix::capture::ParseArguments(c.args, &o, &error)) << error;
    EXPECT_EQ(o.virtualCamera, c.on);
    EXPECT_EQ(o.virtualFile, c.file);
    EXPECT_EQ(o.seconds, c.seconds);
  }
  EXPECT_NE(vorlix::capture::Usage().find("[--virtual [FILE]]"), std::string::npos);
}

}  // namespace
