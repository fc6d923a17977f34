// The main stream of a started encoder board, captured through its video filter's H.264
// pin as an application captures it, follows a bit rate and GOP changed through the custom
// set while it runs: the change reaches the encoder as exactly one GOP and one rate-control
// command on the monitor's next settings pass, and the captured stream (read back with
// ffprobe) shows the new key-frame spacing and bit rate from the first key frame after it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "driver/hardware/mailbox.h"
#include "driver/streaming/guids.h"
#include "driver/streaming/ranges.h"
#include "tests/driver/properties/custom_property_fixture.h"
#include "tests/support/ffprobe.h"
#include "tests/support/video_format.h"

namespace vorlix_test {
namespace {

constexpr ULONG kBuffers = 8;
constexpr ULONG kBufferBytes = 1 << 20;

class EncoderStreamTest : public CustomPropertyTest {
 protected:
  void TearDown() override {
    if (!file_.empty()) std::filesystem::remove(file_);
    CustomPropertyTest::TearDown();
  }
  // Opens the board's own video filter (channel 0) and runs its H.264 pin at 1280 x 720.
  void RunMainStream() {
    ReleaseMonitor();  // the stream's power-up takes the bracket, and the monitor runs the settings passes
    std::string sizes;
    for (const auto& f : client_->ListFilters(KSCATEGORY_CAPTURE)) {
      if (f.ReferenceGuid != VideoChannelGuids[0]) continue;
      ASSERT_EQ(client_->OpenFilter(f, &video_), STATUS_SUCCESS);
      const KSPIN_DESCRIPTOR& pin = f.Descriptor->PinDescriptors[0].PinDescriptor;
      for (ULONG i = 0; i < pin.DataRangesCount && !pin_; i++) {
        auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pin.DataRanges[i]);
        const KS_BITMAPINFOHEADER& b = r->VideoInfoHeader.bmiHeader;
        if (b.biCompression == MakeFourCC("H264"))
          sizes += " " + std::to_string(b.biWidth) + "x" + std::to_string(b.biHeight);
        if (b.biCompression != MakeFourCC("H264") || b.biWidth != 1280 || b.biHeight != 720) continue;
        KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormatFromRange(*r, 333333);
        ASSERT_EQ(client_->CreatePin(video_, 0, &format.DataFormat, &pin_), STATUS_SUCCESS);
      }
    }
    ASSERT_NE(pin_, nullptr) << "no H.264 1280 x 720 range on the board's video filter:" << sizes;
    buffers_.assign(kBuffers, std::vector<uint8_t>(kBufferBytes));
    ASSERT_EQ(client_->SetState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
    for (auto& b : buffers_) ASSERT_EQ(client_->Submit(pin_, b.data(), kBufferBytes), STATUS_SUCCESS);
  }
  // Lets machine time pass in steps, keeping every completed access unit and queueing its
  // buffer again.
  void Capture(LONGLONG ms) {
    for (LONGLONG t = 0; t < ms; t += 10) {
      Pass(10);
      Drain();
    }
  }
  void Drain() {
    ks::CompletedFrame f;
    while (client_->Collect(pin_, &f)) {
      if (f.Status == STATUS_SUCCESS && f.Header.DataUsed)
        units_.emplace_back(static_cast<uint8_t*>(f.Data), static_cast<uint8_t*>(f.Data) + f.Header.DataUsed);
      ASSERT_EQ(client_->Submit(pin_, f.Data, kBufferBytes), STATUS_SUCCESS);
    }
  }
  // The commands the encoder received since the last call, main and sub stream alike,
  // but for the data path's acknowledgements of each picture and packet taken.
  std::vector<board::MailboxRecord> TakeCommands() {
    std::vector<board::MailboxRecord> out;
    for (const auto& c : Encoder().Commands())
      if (c.command() != VENDOR_CMD_PREVIEW_DONE && c.command() != VENDOR_CMD_STREAM_DONE) out.push_back(c);
    Encoder().ClearCommands();
    return out;
  }
  // Whether an access unit carries a sequence parameter set (as every IDR does).
  static bool HasSps(const std::vector<uint8_t>& u) {
    for (size_t i = 0; i + 3 < u.size(); i++)
      if (u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 1 && (u[i + 3] & 0x1F) == 7) return true;
    return false;
  }
  // Writes the access units from `first` on into a file.
  std::filesystem::path Dump(size_t first) {
    file_ = std::filesystem::temp_directory_path() / ("vorlix_encoder_stream_" + std::to_string(::getpid()) + ".h264");
    std::ofstream out(file_, std::ios::binary);
    for (size_t i = first; i < units_.size(); i++)
      out.write(reinterpret_cast<const char*>(units_[i].data()), (std::streamsize)units_[i].size());
    return file_;
  }

  HANDLE video_ = nullptr;
  HANDLE pin_ = nullptr;
  std::vector<std::vector<uint8_t>> buffers_;
  std::vector<std::vector<uint8_t>> units_;
  std::filesystem::path file_;
};

struct Probed {
  bool key;
  ULONG size;
};

TEST_F(EncoderStreamTest, BitRateAndGopChangedWhileRunningReachTheCapturedStream) {
  board_.encoder().SetSignal(board::InputFormat::k720p30);
  Start();
  // Constant bit rate at 4,000,000 bit/s, a key frame every 30 frames, set on channel 0
  // before the stream starts.
  Set(407, 1);
  Set(404, 6000);
  Set(403, 4000000);
  Set(405, 30);
  RunMainStream();
  ASSERT_FALSE(HasFatalFailure());
  Capture(4000);
  const size_t before = units_.size();
  ASSERT_GE(before, 60u);
  EXPECT_EQ(Encoder().state().stream[0].gop, 30u);
  EXPECT_EQ(Encoder().state().stream[0].bitRateKbits, 4000000u >> 10);

  // While it runs: 1,000,000 bit/s and a key frame every 10 frames.
  TakeCommands();
  machine::ClearDebugLog();
  Set(403, 1000000, video_);
  Set(405, 10, video_);
  // Nothing reaches the encoder before the monitor's next settings pass.
  EXPECT_TRUE(TakeCommands().empty());
  Capture(150);
  const std::vector<board::MailboxRecord> sent = TakeCommands();
  const size_t changed = units_.size();
  Capture(4000);

  // Exactly the GOP, then the rate control of the main stream: no restart, no resolution
  // or frame-rate command, nothing for the sub stream.
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].command(), (ULONG)VENDOR_CMD_GOP);
  EXPECT_EQ(sent[0].arg(1), 10u);
  EXPECT_EQ(sent[1].command(), (ULONG)VENDOR_CMD_RATE_CONTROL);
  EXPECT_EQ(sent[1].arg(1), 1u);                            // constant bit rate, main stream
  EXPECT_EQ(sent[1].arg(2), (1000000u >> 10) | 24u << 16);  // quality 6000 stays: quantiser 48 - 24
  EXPECT_EQ(LogLines("ENC#"),
            (std::vector<std::string>{"ENC#00: GOP = 10", "ENC#00: RC = 1, QUALITY = 24, BITRATE = 976"}));
  EXPECT_EQ(Encoder().state().stream[0].gop, 10u);
  EXPECT_EQ(Encoder().state().stream[0].bitRateKbits, 1000000u >> 10);
  // The application reads back what it set, the mark of a pending setting gone.
  EXPECT_EQ(Get(403, video_), 1000000u);
  EXPECT_EQ(Get(405, video_), 10u);

  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
  // The capture joins the stream at its first key frame.
  size_t start = 0;
  while (start < units_.size() && !HasSps(units_[start])) start++;
  ASSERT_LT(start, before);
  std::vector<Probed> frames;
  for (const std::string& line :
       ProbeLines("-select_streams v:0 -show_entries packet=flags,size -of csv=p=0", Dump(start))) {
    const size_t comma = line.find(',');
    ASSERT_NE(comma, std::string::npos) << line;
    frames.push_back({line.find('K', comma) != std::string::npos, (ULONG)std::stoul(line.substr(0, comma))});
  }
  ASSERT_EQ(frames.size(), units_.size() - start);

  // Key frames every 30 frames until the change, every 10 from the first key frame after
  // it; the first key frame comes within the frames in flight when the pass ran.
  std::vector<size_t> keys;
  for (size_t i = 0; i < frames.size(); i++)
    if (frames[i].key) keys.push_back(i);
  size_t first = 0;
  while (first < keys.size() && keys[first] < before - start) first++;
  ASSERT_LT(first, keys.size());
  EXPECT_LE(keys[first], changed - start + 2);
  for (size_t k = 1; k < first; k++) EXPECT_EQ(keys[k] - keys[k - 1], 30u) << "key frame " << keys[k];
  for (size_t k = first + 1; k < keys.size(); k++) EXPECT_EQ(keys[k] - keys[k - 1], 10u) << "key frame " << keys[k];
  ASSERT_GE(keys.size() - first, 10u);

  // Bit rate from the sizes over time (30 frames a second), over whole GOPs after the
  // encoder settled: the second GOP of each run up to its last whole one.
  auto rate = [&](size_t from, size_t to) {
    double bytes = 0;
    for (size_t i = from; i < to; i++) bytes += frames[i].size;
    return bytes * 8 * 30 / (double)(to - from);
  };
  ASSERT_GE(first, 3u);
  const double high = rate(keys[1], keys[first - 1]);
  const double low = rate(keys[first + 1], keys[keys.size() - 1]);
  EXPECT_NEAR(high, 4000000.0, 4000000.0 * 0.02) << "before the change";
  EXPECT_NEAR(low, 1000000.0, 1000000.0 * 0.02) << "after the change";
}

}  // namespace
}  // namespace vorlix_test
