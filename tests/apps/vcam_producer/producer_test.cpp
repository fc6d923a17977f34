// The producer as applications use it: the numbered test pattern read back in every
// format, a video file decoded and converted, and the whole exchange through the encoder
// board's virtual pins, from this process and from a producer process of its own.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "apps/vcam_producer/producer.h"
#include "apps/vcam_producer/sources.h"
#include "driver/streaming/audio_pin.h"
#include "driver/streaming/virtual_camera.h"
#include "tests/driver/streaming/streaming_fixture.h"

namespace {

namespace vc = vorlix::vcam;
namespace fs = std::filesystem;
using namespace streaming_test;

TEST(VcamPattern, NumbersReadBackInEveryFormat) {
  struct Case {
    const char* name;
    vc::VideoFormat f;
  } cases[] = {
      {"YV12 704x480", {vc::FourCC("YV12"), 704, 480, 12, 333667}},
      {"NV12 320x240", {vc::FourCC("NV12"), 320, 240, 12, 333667}},
      {"YUY2 640x360", {vc::FourCC("YUY2"), 640, 360, 16, 333667}},
      {"BGR 352x288", {0, 352, 288, 24, 400000}},
      {"BGRA 64x16", {0, 64, 16, 32, 400000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> frame(c.f.FrameBytes());
    for (uint32_t n : {1u, 2u, 12345678u, 0xFFFFFFFFu}) {
      vc::DrawPattern(c.f, n, frame.data());
      EXPECT_EQ(vc::DecodePatternNumber(c.f, frame.data()), (int64_t)n);
    }
    std::fill(frame.begin(), frame.end(), 128);
    EXPECT_EQ(vc::DecodePatternNumber(c.f, frame.data()), -1) << "grey carries no number";
  }
}

TEST(VcamPattern, SectionNamesFollowTheDriversRule) {
  EXPECT_EQ(vc::SectionLeaf(vc::kVideo, 4), u"DRAV.VCAM.V.SHARE.MEMORY.04");
  EXPECT_EQ(vc::SectionLeaf(vc::kAudio, 0), u"DRAV.VCAM.A.SHARE.MEMORY.00");
  EXPECT_EQ(vc::SectionLeaf(vc::kVideo, 131), u"DRAV.VCAM.V.SHARE.MEMORY.131");
  // Byte for byte the driver's own.
  for (ULONG ch : {0u, 4u, 17u}) {
    WCHAR name[80];
    VcamSectionName(VCAM_AUDIO, ch, name, 80);
    EXPECT_EQ(u"\\BaseNamedObjects\\" + vc::SectionLeaf(vc::kAudio, ch), std::u16string(name));
  }
}

// A short clip made by the ffmpeg program: 12 frames of a test source with a tone.
fs::path MakeClip(const fs::path& dir) {
  fs::create_directories(dir);
  fs::path clip = dir / "clip.mkv";
  std::string cmd =
      "ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=12 -f lavfi -i "
      "sine=frequency=440:sample_rate=44100 -t 1 -c:v mpeg4 -c:a pcm_s16le '" +
      clip.string() + "' 2>&1";
  if (std::system(cmd.c_str()) != 0) return {};
  return clip;
}

TEST(VcamFileSource, DecodesConvertsAndResamples) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg program to make a clip";
  const fs::path dir = fs::temp_directory_path() / ("vorlix-vcam-clip." + std::to_string(::getpid()));
  const fs::path clip = MakeClip(dir);
  ASSERT_FALSE(clip.empty());
  for (vc::VideoFormat f : {vc::VideoFormat{vc::FourCC("YV12"), 320, 240, 12, 333667},
                            vc::VideoFormat{vc::FourCC("YUY2"), 176, 144, 16, 333667}}) {
    vc::FileSource source;
    std::string error;
    ASSERT_TRUE(source.Open(clip.string(), f, vc::AudioFormat{}, &error)) << error;
    EXPECT_TRUE(source.HasAudio());
    std::vector<uint8_t> frame, pcm;
    size_t frames = 0, sound = 0;
    while (source.NextFrame(&frame)) {
      ASSERT_EQ(frame.size(), f.FrameBytes());
      frames++;
      source.TakeAudio(&pcm);
      sound += pcm.size();
    }
    source.TakeAudio(&pcm);
    sound += pcm.size();
    EXPECT_EQ(frames, 12u);
    // One second at 48 kHz stereo, give or take the resampler's edges.
    EXPECT_NEAR((double)sound, 192000.0, 192000.0 * 0.05);
  }
  vc::FileSource bad;
  std::string error;
  EXPECT_FALSE(bad.Open((dir / "missing.mkv").string(), {}, {}, &error));
  EXPECT_NE(error.find("missing.mkv"), std::string::npos);
  fs::remove_all(dir);
}

// The machine with the encoder board's virtual pins running and buffers queued.
class VcamProducerTest : public StreamingTest {
 protected:
  void SetUp() override {
    ns_ = "vorlix.vcamprod." + std::to_string(::getpid()) + ".";
    ::setenv("VORLIX_SECTION_NAMESPACE", ns_.c_str(), 1);
    StreamingTest::SetUp();
    if (HasFatalFailure()) return;
    StartBoard(Kind(BOARD_KIND_ENCODER), {{u"CustomVirtualCaptureDeviceProperty", 1}});
    HoldMonitor();
    producerProcess_ = pk::CreateUserProcess("producer");
    // Video: the virtual video filter (1) with a YV12 704 x 480 pin.
    ASSERT_EQ(Open(KSCATEGORY_VIDEO, 1, &videoFilter_), STATUS_SUCCESS);
    const KSPIN_DESCRIPTOR& pd = client->ListFilters(KSCATEGORY_VIDEO)[1].Descriptor->PinDescriptors[0].PinDescriptor;
    for (ULONG i = 0; i < pd.DataRangesCount && !videoPin_; i++) {
      auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pd.DataRanges[i]);
      const KS_BITMAPINFOHEADER& b = r->VideoInfoHeader.bmiHeader;
      if (b.biCompression != MakeFourCC("YV12") || b.biWidth != 704 || b.biHeight != 480) continue;
      KS_DATAFORMAT_VIDEOINFOHEADER f{};
      std::memcpy(&f.DataFormat, &r->DataRange, sizeof(KSDATAFORMAT));
      f.DataFormat.FormatSize = sizeof(f);
      f.VideoInfoHeader = r->VideoInfoHeader;
      ASSERT_EQ(client->CreatePin(videoFilter_, 0, &f.DataFormat, &videoPin_), STATUS_SUCCESS);
    }
    ASSERT_NE(videoPin_, nullptr);
    // Audio: the virtual audio filter (1), 48 kHz stereo.
    ASSERT_EQ(Open(KSCATEGORY_AUDIO, 1, &audioFilter_), STATUS_SUCCESS);
    const KSDATARANGE* range =
        client->ListFilters(KSCATEGORY_AUDIO)[1].Descriptor->PinDescriptors[0].PinDescriptor.DataRanges[0];
    uint8_t bytes[AUDIO_FORMAT_BYTES] = {};
    KSDATAFORMAT head;
    std::memcpy(&head, range, sizeof(head));
    head.FormatSize = AUDIO_FORMAT_BYTES;
    std::memcpy(bytes, &head, sizeof(head));
    WAVEFORMATEX wave{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    std::memcpy(bytes + sizeof(KSDATAFORMAT), &wave, sizeof(wave));
    ASSERT_EQ(client->CreatePin(audioFilter_, 0, reinterpret_cast<const KSDATAFORMAT*>(bytes), &audioPin_),
              STATUS_SUCCESS);
    ASSERT_EQ(client->SetState(videoPin_, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(client->SetState(audioPin_, KSSTATE_RUN), STATUS_SUCCESS);
  }
  void TearDown() override {
    client.reset();
    if (producerProcess_) pk::EndUserProcess(producerProcess_);
    StreamingTest::TearDown();
    ::unsetenv("VORLIX_SECTION_NAMESPACE");
  }
  void Queue(HANDLE pin, std::deque<std::vector<uint8_t>>& store, int n, ULONG bytes) {
    for (int i = 0; i < n; i++) {
      store.emplace_back(bytes);
      ASSERT_EQ(client->Submit(pin, store.back().data(), bytes, store.size() - 1), STATUS_SUCCESS);
    }
    client->WaitProcessingIdle(pin);
  }
  // Every completed video frame's pattern number, in completion order.
  std::vector<int64_t> Numbers() {
    const vc::VideoFormat f{vc::FourCC("YV12"), 704, 480, 12, 333667};
    std::vector<int64_t> got;
    ks::CompletedFrame frame;
    while (client->Collect(videoPin_, &frame, 0)) {
      EXPECT_EQ(frame.Header.DataUsed, f.FrameBytes());
      got.push_back(vc::DecodePatternNumber(f, static_cast<const uint8_t*>(frame.Data)));
    }
    return got;
  }
  size_t AudioBytes() {
    size_t n = 0;
    ks::CompletedFrame frame;
    while (client->Collect(audioPin_, &frame, 0)) n += frame.Header.DataUsed;
    return n;
  }

  std::string ns_;
  PEPROCESS producerProcess_ = nullptr;
  HANDLE videoFilter_ = nullptr, videoPin_ = nullptr, audioFilter_ = nullptr, audioPin_ = nullptr;
  std::deque<std::vector<uint8_t>> videoBuffers_, audioBuffers_;
};

TEST_F(VcamProducerTest, NumberedPatternArrivesEveryFrameInOrder) {
  Queue(videoPin_, videoBuffers_, 20, 704 * 480 * 3 / 2);
  Queue(audioPin_, audioBuffers_, 40, 3200);
  pk::ScopedProcess in(producerProcess_);
  vc::KsCommandSink sink(*client, videoFilter_, audioFilter_);
  // The virtual video filter's pin exists: its channel index is 4; the audio filter's 0.
  vc::Producer producer(sink, 4, 0);
  const vc::VideoFormat video{vc::FourCC("YV12"), 704, 480, 12, 333667};
  std::string error;
  ASSERT_TRUE(producer.Start(video, vc::AudioFormat{}, 6400, &error)) << error;
  EXPECT_NE(pk::DebugLogText().find("AV_VCAM_INFO( 32315659, 704, 480, 12, 333667, "), std::string::npos)
      << pk::DebugLogText();
  EXPECT_NE(pk::DebugLogText().find("AV_VCAM_INFO( 2, 48000, 16, "), std::string::npos);
  std::vector<uint8_t> frame(video.FrameBytes()), sound(6400);
  uint64_t tone = 0;
  for (uint32_t k = 1; k <= 20; k++) {
    vc::DrawPattern(video, k, frame.data());
    ASSERT_TRUE(producer.PushVideo(frame.data(), frame.size()));
    vc::DrawTone(vc::AudioFormat{}, &tone, sound.data(), sound.size());
    ASSERT_TRUE(producer.PushAudio(sound.data(), sound.size()));
  }
  producer.Stop();
  std::vector<int64_t> expected(20);
  for (int i = 0; i < 20; i++) expected[i] = i + 1;
  EXPECT_EQ(Numbers(), expected);
  EXPECT_EQ(AudioBytes(), 20u * 6400u) << "two whole buffers per push";
  EXPECT_EQ(pk::MappedViewCount(), 0u);
  EXPECT_EQ(pk::LockedMdlCount(), 0u);
}

// The producer front end in a process of its own: it creates and writes the sections; the
// commands come over its pipes and run here, in the stand-in of its process.
TEST_F(VcamProducerTest, SecondProcessAsProducer) {
  Queue(videoPin_, videoBuffers_, 12, 704 * 480 * 3 / 2);
  Queue(audioPin_, audioBuffers_, 24, 3200);
  int toChild[2], fromChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(fromChild), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(toChild[0], 0);
    ::dup2(fromChild[1], 1);
    ::close(toChild[1]);
    ::close(fromChild[0]);
    ::execl(VCAM_PRODUCER_PATH, "vcam-producer", "--relay", "--frames", "12", "--size", "704x480", "--format", "YV12",
            "--fps", "30", "--video-channel", "4", "--audio-channel", "0", (char*)nullptr);
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  std::FILE* in = ::fdopen(fromChild[0], "r");
  std::FILE* out = ::fdopen(toChild[1], "w");
  size_t served;
  bool clean = false;
  {
    pk::ScopedProcess inProducer(producerProcess_);
    vc::KsCommandSink sink(*client, videoFilter_, audioFilter_);
    served = vc::ServeRelay(in, out, sink, nullptr, &clean);
  }
  std::fclose(in);
  std::fclose(out);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(clean);
  EXPECT_EQ(served, 2u + 12u * 2u + 2u) << "attach both, a video and an audio push per frame, detach both";
  std::vector<int64_t> expected(12);
  for (int i = 0; i < 12; i++) expected[i] = i + 1;
  EXPECT_EQ(Numbers(), expected);
  EXPECT_EQ(AudioBytes(), 12u * 6400u);
  EXPECT_EQ(pk::MappedViewCount(), 0u);
  EXPECT_EQ(pk::LockedMdlCount(), 0u);
  // The producer removed its sections when it ended.
  std::string host;
  ASSERT_TRUE(pk::SectionHostName(vc::SectionLeaf(vc::kVideo, 4), &host));
  EXPECT_LT(::shm_open(host.c_str(), O_RDONLY, 0), 0);
}

}  // namespace
