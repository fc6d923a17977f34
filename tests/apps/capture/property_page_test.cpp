// The main job's property page: the four pictures of the page on the encoder board's
// capture filter, the bit rate set through the encoder panel reaching the driver (and
// the settings it saves), and nothing of the plug-in's installation left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "apps/capture/capture_job.h"
#include "platform/kernel/machine.h"

namespace {

namespace fs = std::filesystem;
using vorlix::capture::Options;

// The registry file's text (UTF-16 read as its low bytes).
std::string RegistryText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i];
  return text;
}

std::string RunJob(const Options& options, int* code) {
  std::ostringstream report;
  *code = vorlix::capture::Run(options, report);
  platform::kernel::ResetMachine();
  return report.str();
}

TEST(CapturePropertyPage, DrawsTheFourTabsAndTheBitRateSetOnThePanelReachesTheDriver) {
  fs::path dir = fs::temp_directory_path() / ("vorlix_capture_page_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  Options options;
  options.root = dir / "root";
  options.out = dir / "out";
  options.seconds = 1;
  // Machine time as fast as the work allows, so a sanitizer build's capture keeps up.
  options.testClock = true;
  int code = 0;
  std::string r = RunJob(options, &code);
  EXPECT_EQ(code, 0) << r;
  EXPECT_NE(r.find("  page status             1920 X 1080P @ 30.00FPS (30.00FPS), 2CH X 16BITS @ 48000HZ\n"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("  page setting            encoder bit rate "), std::string::npos) << r;
  EXPECT_NE(r.find(" -> 8000000 (constant rate) on the encoder panel; the driver holds 8000000\n"), std::string::npos)
      << r;
  EXPECT_NE(r.find("  page pictures           page-device.png, page-receiver.png, page-driver.png, page-encoder.png"),
            std::string::npos)
      << r;
  EXPECT_EQ(r.find("property page in the main job"), std::string::npos) << "no longer among what is not built";
  for (const char* name : {"page-device.png", "page-receiver.png", "page-driver.png", "page-encoder.png"}) {
    fs::path png = options.out / name;
    ASSERT_TRUE(fs::is_regular_file(png)) << name;
    EXPECT_GT(fs::file_size(png), 2000u) << name;
    std::ifstream in(png, std::ios::binary);
    char magic[8] = {};
    in.read(magic, 8);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG") << name;
  }

  // The device's stop saved what the panel set; the plug-in's installation left nothing.
  std::string saved = RegistryText(options.root / "registry.reg");
  EXPECT_EQ(saved.find("CLSID"), std::string::npos);
  EXPECT_EQ(saved.find("MediaInterfaces"), std::string::npos);
  EXPECT_EQ(saved.find("Classes"), std::string::npos);

  // The next run's page starts from the saved bit rate, and the user sets another.
  r = RunJob(options, &code);
  EXPECT_EQ(code, 0) << r;
  EXPECT_NE(r.find("  page setting            encoder bit rate 8000000 -> 6000000 on the encoder panel; the driver "
                   "holds 6000000\n"),
            std::string::npos)
      << r;
  fs::remove_all(dir);
}

TEST(CapturePropertyPage, ARunOfNoTimeLeavesThePageOut) {
  fs::path dir = fs::temp_directory_path() / ("vorlix_capture_nopage_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  Options options;
  options.root = dir / "root";
  options.out = dir / "out";
  options.seconds = 0;
  int code = 0;
  std::string r = RunJob(options, &code);
  EXPECT_EQ(code, 0) << r;
  EXPECT_NE(r.find("  property page           not opened: a run of no time\n"), std::string::npos) << r;
  EXPECT_FALSE(fs::exists(options.out / "page-device.png"));
  fs::remove_all(dir);
}

}  // namespace
