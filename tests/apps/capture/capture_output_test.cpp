// The main job's capture read back from its files: ffprobe decodes the H.264 streams and
// the sound, the preview file holds the test pattern's numbered frames in order, and the
// frame list's times rise by the snapped durations. The machine runs on the jumping test
// clock, so its seconds pass as fast as the work allows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "apps/capture/capture_job.h"
#include "apps/capture/capture_streams.h"
#include "driver/streaming/delivery.h"
#include "platform/board/board.h"
#include "platform/board/encoder_core.h"
#include "platform/board/test_pattern.h"
#include "platform/kernel/machine.h"

namespace {

namespace fs = std::filesystem;
using vorlix::capture::kMainHeight;
using vorlix::capture::kMainWidth;
using vorlix::capture::kPreviewHeight;
using vorlix::capture::kPreviewWidth;
using vorlix::capture::kSubHeight;
using vorlix::capture::kSubWidth;

// Two seconds of machine time: more than one GOP of 30. ThreadSanitizer's build runs one.
#if defined(__SANITIZE_THREAD__)
constexpr double kSeconds = 1;
#else
constexpr double kSeconds = 2;
#endif

struct Outcome {
  int code = -1;
  std::string report;
  fs::path out;
};

// What a command prints on its standard output.
std::string Output(const std::string& command) {
  std::string text;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), p)) > 0) text.append(buffer, n);
    ::pclose(p);
  }
  return text;
}

// "key=value" lines of ffprobe's default writer without section wrappers.
std::map<std::string, std::string> Fields(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

struct Stream {
  std::map<std::string, std::string> fields;
  std::vector<int> keyFrames;  // indexes of the decoded frames that are key frames
  int frames = 0;
};

Stream Probe(const fs::path& file) {
  Stream s;
  s.fields =
      Fields(Output("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                    "stream=codec_name,profile,width,height,nb_read_frames -of default=nw=1 " +
                    Quoted(file)));
  std::istringstream frames(
      Output("ffprobe -v error -select_streams v:0 -show_entries frame=key_frame -of csv=p=0 " + Quoted(file)));
  for (std::string line; std::getline(frames, line); s.frames++)
    if (line.rfind("1", 0) == 0) s.keyFrames.push_back(s.frames);
  return s;
}

struct CsvLine {
  std::string pin;
  unsigned long long picture;
  long long time, duration;
  unsigned flags;
  unsigned bytes;
};

std::vector<CsvLine> ReadCsv(const fs::path& file) {
  std::vector<CsvLine> lines;
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "pin,picture,time,duration,flags,bytes");
  while (std::getline(in, line)) {
    CsvLine c{};
    char pin[16] = {};
    if (std::sscanf(line.c_str(), "%15[^,],%llu,%lld,%lld,0x%x,%u", pin, &c.picture, &c.time, &c.duration, &c.flags,
                    &c.bytes) == 6) {
      c.pin = pin;
      lines.push_back(c);
    } else {
      ADD_FAILURE() << "frames.csv: " << line;
    }
  }
  return lines;
}

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The number after `key` in the result column of the summary line of `stage` (the
// column's first number for an empty key); -1 without that line or key.
long SummaryNumber(const std::string& report, const std::string& stage, const std::string& key) {
  size_t at = report.find("\n  " + stage + " ");
  if (at == std::string::npos) return -1;
  std::string result = report.substr(at + 3 + 24, report.find('\n', at + 1) - (at + 3 + 24));
  size_t k = result.find(key);
  if (k == std::string::npos) return -1;
  return std::strtol(result.c_str() + k + key.size(), nullptr, 10);
}

class CaptureOutput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_FALSE(Output("command -v ffprobe").empty()) << "ffprobe is not installed (Debian package ffmpeg)";
  }
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vorlix_capture_output_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override {
    platform::kernel::ResetMachine();
    fs::remove_all(dir_);
  }
  Outcome Capture(bool noSignal, std::function<void(platform::board::EncoderBoard&)> inject = nullptr) {
    vorlix::capture::Options options;
    options.beforeLoad = inject;
    options.root = dir_ / "root";
    options.out = dir_ / "out";
    options.seconds = inject ? 1 : kSeconds;
    options.noSignal = noSignal;
    options.testClock = true;
    std::ostringstream report;
    Outcome r;
    r.code = vorlix::capture::Run(options, report);
    r.report = report.str();
    r.out = options.out;
    return r;
  }
  fs::path dir_;
};

TEST_F(CaptureOutput, StreamsDecodeAndFramesComeInOrder) {
  Outcome run = Capture(false);
  const std::string& r = run.report;
  ASSERT_EQ(run.code, 0) << r;
  for (const char* name :
       {"preview.yuv", "preview.png", "main.h264", "sub.h264", "audio.wav", "frames.csv", "debug.log"})
    EXPECT_TRUE(fs::is_regular_file(run.out / name)) << name;
  const std::vector<CsvLine> csv = ReadCsv(run.out / "frames.csv");
  std::map<std::string, std::vector<CsvLine>> byPin;
  for (const CsvLine& c : csv) byPin[c.pin].push_back(c);
  // A picture whose transfer began before its pin ran comes back empty: on a loaded machine
  // the board can begin one while the job is still starting its pins. Only the start of a
  // run may hold such buffers; every buffer after the first filled one carries its frame.
  std::map<std::string, size_t> leadingEmpty;
  for (const char* pin : {"preview", "main"}) {
    const auto& lines = byPin[pin];
    size_t& n = leadingEmpty[pin];
    while (n < lines.size() && lines[n].bytes == 0) n++;
    EXPECT_LE(n, 1u) << pin;
    for (size_t i = n; i < lines.size(); i++) EXPECT_GT(lines[i].bytes, 0u) << pin << " buffer " << i;
  }

  // The property page's status block, read through the custom set while the pins ran.
  for (const char* line :
       {"    DRIVER VERSION       : 1.1.0.167.0", "    CARD INFO            : SN", "    STREAM INFO          : PV",
        "    SIGNAL STATUS        : 1920 X 1080P @ 30.00FPS",
        "    SIGNAL COLORIMETRY   : ", "    SIGNAL COLORRANGE    : ", "    SIGNAL DEBUG INFO    : 0x"})
    EXPECT_NE(r.find(line), std::string::npos) << line << "\n" << r;

  // Both H.264 streams as the encoder was told: size, profile, GOP, every access unit.
  struct Expect {
    const char* pin;
    const char* stage;
    long w, h;
  } streams[] = {{"main", "main encoder", kMainWidth, kMainHeight}, {"sub", "sub encoder", kSubWidth, kSubHeight}};
  for (const Expect& e : streams) {
    SCOPED_TRACE(e.pin);
    const long gop = SummaryNumber(r, e.stage, "GOP ");
    ASSERT_GT(gop, 0) << r;
    Stream s = Probe(run.out / (std::string(e.pin) + ".h264"));
    EXPECT_EQ(s.fields["codec_name"], "h264");
    EXPECT_EQ(s.fields["profile"], "High");
    EXPECT_EQ(std::atol(s.fields["width"].c_str()), e.w);
    EXPECT_EQ(std::atol(s.fields["height"].c_str()), e.h);
    // Every access unit the pin delivered from its first IDR on, and 30 a second for the
    // run's length, give or take the start and the stop.
    const long written = SummaryNumber(r, std::string(e.pin) + " written", "");
    const long before = SummaryNumber(r, std::string(e.pin) + " written", "on, ");
    long units = 0;
    for (const CsvLine& c : byPin[e.pin]) units += c.bytes > 0;
    EXPECT_EQ(written + before, units) << r;
    EXPECT_EQ(std::atol(s.fields["nb_read_frames"].c_str()), written);
    EXPECT_EQ(s.frames, written);
    EXPECT_NEAR((double)units, kSeconds * 30, 4);
    // An IDR opens the stream and one follows every GOP.
    ASSERT_FALSE(s.keyFrames.empty());
    EXPECT_EQ(s.keyFrames[0], 0);
    for (size_t i = 1; i < s.keyFrames.size(); i++) EXPECT_EQ(s.keyFrames[i] - s.keyFrames[i - 1], gop) << i;
    EXPECT_EQ((long)s.keyFrames.size(), (s.frames + gop - 1) / gop);
  }

  // The sound: 48 kHz, 16 bits, the one channel the pin offers, as long as the run.
  auto audio =
      Fields(Output("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,duration "
                    "-of default=nw=1 " +
                    Quoted(run.out / "audio.wav")));
  EXPECT_EQ(audio["codec_name"], "pcm_s16le");
  EXPECT_EQ(audio["sample_rate"], "48000");
  EXPECT_EQ(audio["channels"], "1");
  EXPECT_NEAR(std::atof(audio["duration"].c_str()), kSeconds, 0.1);

  // The preview: whole YV12 pictures, one per listed buffer, numbered one after another.
  const std::string yuv = Slurp(run.out / "preview.yuv");
  const size_t frameBytes = kPreviewWidth * kPreviewHeight * 3 / 2;
  ASSERT_EQ(yuv.size() % frameBytes, 0u);
  const size_t pictures = yuv.size() / frameBytes;
  EXPECT_EQ(pictures, byPin["preview"].size() - leadingEmpty["preview"]);
  EXPECT_NEAR((double)pictures, kSeconds * 30, 4);
  std::vector<int64_t> numbers;
  for (size_t i = 0; i < pictures; i++)
    numbers.push_back(platform::board::ReadPatternNumber(reinterpret_cast<const uint8_t*>(yuv.data()) + i * frameBytes,
                                                         kPreviewWidth, kPreviewWidth, kPreviewHeight));
  for (size_t i = 1; i < numbers.size(); i++) ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << i;

  // Video times rise by the snapped duration of the buffer before (the low bits of a
  // time are cleared, and the remainder of the exact rate carries into every third step).
  // Audio packets come at the stamped duration's rhythm, so their times rise by exactly it.
  for (const auto& [pin, lines] : byPin) {
    SCOPED_TRACE(pin);
    ASSERT_GE(lines.size(), 10u);
    for (size_t i = 0; i < lines.size(); i++) {
      if (pin == "audio") {
        EXPECT_EQ(lines[i].duration, 67500) << i;
        if (i) {
          EXPECT_EQ(lines[i].time - lines[i - 1].time, 67500) << i;
        }
      } else {
        EXPECT_EQ(lines[i].duration, 333333) << i;
        if (i) {
          EXPECT_NEAR(lines[i].time - lines[i - 1].time, lines[i - 1].duration, 4) << i;
        }
      }
    }
  }
  // The summary says the same.
  for (const std::string& line :
       {"  preview dropped         0 by picture number, 0 by the test pattern's frame number; " +
            std::to_string(leadingEmpty["preview"]) + " came back empty\n",
        "  main dropped            0 by picture number; " + std::to_string(leadingEmpty["main"]) +
            " came back empty\n"})
    EXPECT_NE(r.find(line), std::string::npos) << line << r;
}

// The input unplugged: every preview buffer carries the driver's no-signal picture, the
// H.264 buffers come back empty on time, and the run still ends cleanly.
TEST_F(CaptureOutput, WithoutSignalTheDriversPicture) {
  Outcome run = Capture(true);
  const std::string& r = run.report;
  ASSERT_EQ(run.code, 0) << r;
  EXPECT_NE(r.find("    SIGNAL STATUS        : NO SIGNAL\n"), std::string::npos) << r;
  EXPECT_NE(r.find("  signal change           no signal -> 1280 x 720 at 60, followed by the monitor\n"),
            std::string::npos)
      << r;

  const size_t frameBytes = kPreviewWidth * kPreviewHeight * 3 / 2;
  std::vector<UCHAR> expected(frameBytes);
  DrawNoSignalYv12(expected.data(), (ULONG)frameBytes, kPreviewWidth, kPreviewHeight, kPreviewWidth);
  const std::string yuv = Slurp(run.out / "preview.yuv");
  ASSERT_EQ(yuv.size() % frameBytes, 0u);
  const size_t pictures = yuv.size() / frameBytes;
  EXPECT_GE(pictures, 10u);
  for (size_t i = 0; i < pictures; i++)
    ASSERT_EQ(std::memcmp(yuv.data() + i * frameBytes, expected.data(), frameBytes), 0) << "picture " << i;
  EXPECT_TRUE(fs::is_regular_file(run.out / "preview.png"));

  EXPECT_EQ(fs::file_size(run.out / "main.h264"), 0u);
  EXPECT_EQ(fs::file_size(run.out / "sub.h264"), 0u);
  // The audio frame clock stands in for the board only on input 0; on the default
  // input the pin gets nothing, and whatever it got is silence.
  const std::string wav = Slurp(run.out / "audio.wav");
  ASSERT_GE(wav.size(), 44u);
  EXPECT_EQ(wav.find_first_not_of('\0', 44), std::string::npos);

  // Times still rise.
  std::map<std::string, std::vector<CsvLine>> byPin;
  for (const CsvLine& c : ReadCsv(run.out / "frames.csv")) byPin[c.pin].push_back(c);
  for (const char* pin : {"preview", "main", "sub"}) {
    SCOPED_TRACE(pin);
    const auto& lines = byPin[pin];
    ASSERT_GE(lines.size(), 10u);
    for (size_t i = 1; i < lines.size(); i++) EXPECT_GE(lines[i].time, lines[i - 1].time) << i;
  }
}

// A board whose encoder never sends anything: the pins run and stop with every buffer
// back, the run fails naming what is missing, and nothing is left allocated.
TEST_F(CaptureOutput, ABoardThatSendsNothingFailsTheRunCleanly) {
  Outcome run = Capture(false, [](platform::board::EncoderBoard& b) { b.encoder().SetProducersEnabled(false); });
  const std::string& r = run.report;
  EXPECT_EQ(run.code, 1) << r;
  for (const char* line : {"  pins run                ok\n", "  pins stop               ok\n",
                           "  preview frames          0 buffers, 0 bytes", "  main written            0 access units",
                           "  preview picture         NO PREVIEW PICTURE\n",
                           "  driver unload           ok, no pool left\n", "  verifier                no failures\n"})
    EXPECT_NE(r.find(line), std::string::npos) << line << "\n" << r;
  EXPECT_EQ(r.find(" NOT RETURNED"), std::string::npos) << r;
  std::string last = r.substr(r.rfind('\n', r.size() - 2) + 1);
  EXPECT_EQ(last, "vorlix-capture: FAILED: preview picture\n") << r;
  EXPECT_EQ(platform::kernel::PoolLiveBlocks(), 0);
}

}  // namespace
