// The main job's command line, and one whole run of it on a scratch machine.
#include "apps/capture/capture_job.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/kernel/machine.h"

namespace {

namespace fs = std::filesystem;
using vorlix::capture::Options;

struct ArgCase {
  std::vector<std::string> args;
  bool ok;
  std::string root, out;
  double seconds;
  bool noSignal = false;
};

TEST(CaptureArguments, AreReadOrRefused) {
  const ArgCase cases[] = {
      {{}, true, "vorlix-root", "capture", 5},
      {{"--root", "r", "--out", "o", "--seconds", "0"}, true, "r", "o", 0},
      {{"--seconds", "2.5"}, true, "vorlix-root", "capture", 2.5},
      {{"--no-signal", "--seconds", "1"}, true, "vorlix-root", "capture", 1, true},
      {{"--no-signal=1"}, false, "", "", 0},
      {{"--seconds"}, false, "", "", 0},
      {{"--seconds", "-1"}, false, "", "", 0},
      {{"--seconds", "5x"}, false, "", "", 0},
      {{"--seconds", "nan"}, false, "", "", 0},
      {{"--root", ""}, false, "", "", 0},
      {{"--verbose"}, false, "", "", 0},
      {{"capture"}, false, "", "", 0},
  };
  for (const ArgCase& c : cases) {
    Options options;
    std::string error;
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    ASSERT_EQ(vorlix::capture::ParseArguments(c.args, &options, &error), c.ok) << shown;
    if (c.ok) {
      EXPECT_EQ(options.root, fs::path(c.root)) << shown;
      EXPECT_EQ(options.out, fs::path(c.out)) << shown;
      EXPECT_EQ(options.seconds, c.seconds) << shown;
      EXPECT_EQ(options.noSignal, c.noSignal) << shown;
    } else {
      EXPECT_FALSE(error.empty()) << shown;
    }
  }
}

TEST(CaptureRun, LeavesADebugLogThatStartsWithTheBanner) {
  fs::path dir = fs::temp_directory_path() / ("vorlix_capture_test_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  Options options;
  options.root = dir / "root";
  options.out = dir / "out";
  options.seconds = 0;
  std::ostringstream report;
  int code = vorlix::capture::Run(options, report);
  platform::kernel::ResetMachine();
  EXPECT_EQ(code, 0) << report.str();
  EXPECT_TRUE(fs::is_directory(options.root / "C"));
  EXPECT_TRUE(fs::is_regular_file(options.root / "registry.reg"));
  EXPECT_TRUE(fs::is_regular_file(options.out / "registry.reg"));

  std::ifstream log(options.out / "debug.log", std::ios::binary);
  ASSERT_TRUE(log.good());
  std::string first;
  std::getline(log, first);
  EXPECT_EQ(first, "KORVENT - DriverEntry() 1.1.0.167.0 (2016.08.15) (X64)");
  // PCI start found the memory above 4 GB, and the encoder was brought up.
  std::string rest((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_EQ(rest.rfind("> 4GB (00000001.", 0), 0u) << rest;
  EXPECT_NE(rest.find("(SUCCESS)\n"), std::string::npos) << rest;
  EXPECT_NE(report.str().find("bus resources           none left"), std::string::npos) << report.str();
  fs::remove_all(dir);
}

// The device's own start and stop: the job finds the encoder board's capture filters
// as an application does, the monitor follows the input's change after the capture, and
// the settings the device's stop saved are in the registry file. The machine runs on the
// jumping test clock: on real time a sanitizer build's board cannot make its pictures
// as fast as their rate.
TEST(CaptureRun, FindsTheFiltersFollowsTheSignalAndKeepsTheSettings) {
  fs::path dir = fs::temp_directory_path() / ("vorlix_capture_run_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  Options options;
  options.root = dir / "root";
  options.out = dir / "out";
  options.seconds = 1;
  options.testClock = true;
  std::ostringstream report;
  int code = vorlix::capture::Run(options, report);
  platform::kernel::ResetMachine();
  const std::string r = report.str();
  EXPECT_EQ(code, 0) << r;
  for (const char* line : {"  encoder firmware        downloaded\n",
                           "  filter                  video capture {6F814BE9-9AF6-43CF-9249-C0340100021E}\n",
                           "  filter                  audio capture {6F814BE9-9AF6-43CF-9249-C0340100031E}\n",
                           "  signal change           1920 x 1080 at 30 -> 1280 x 720 at 60, followed by the monitor\n",
                           "  board 0 stop            ok\n"})
    EXPECT_NE(r.find(line), std::string::npos) << line << r;

  // The registry file as the device's stop left it: UTF-16 text with every saved value.
  std::ifstream in(options.root / "registry.reg", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i];
  size_t values = 0;
  for (size_t at = text.find("=dword:"); at != std::string::npos; at = text.find("=dword:", at + 1)) values++;
  EXPECT_GE(values, 1400u);
  fs::remove_all(dir);
}

TEST(CaptureRun, RefusesARegistryFileItCannotRead) {
  fs::path dir = fs::temp_directory_path() / ("vorlix_capture_bad_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "root");
  const std::string damaged = "not a registry file\n";
  std::ofstream(dir / "root" / "registry.reg", std::ios::binary) << damaged;
  Options options;
  options.root = dir / "root";
  options.out = dir / "out";
  options.seconds = 0;
  std::ostringstream report;
  EXPECT_NE(vorlix::capture::Run(options, report), 0);
  platform::kernel::ResetMachine();
  // Left as it was, not replaced by an empty registry.
  std::ifstream in(dir / "root" / "registry.reg", std::ios::binary);
  std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(kept, damaged);
  fs::remove_all(dir);
}

}  // namespace
