// The virtual camera through KS, as a producer drives it: the section header and names,
// attach with its three log lines, the video push into the virtual pin's buffers in
// order, the audio push's pacing and carry with the producer's samples, detach, and a
// producer that writes garbage, claims more than its section holds, or goes away.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <regex>
#include <thread>

#include "driver/streaming/audio_pin.h"
#include "driver/streaming/virtual_camera.h"
#include "platform/kernel/handles.h"
#include "tests/driver/streaming/streaming_fixture.h"
#include "tests/support/video_format.h"

namespace {

using namespace streaming_test;
using vorlix_test::VideoFormatFromRange;

constexpr ULONG kYV12 = MakeFourCC("YV12");
constexpr ULONG kFrameBytes = 704 * 480 * 3 / 2;

// A producer's section, created under the test's own section namespace.
class Section {
 public:
  Section(const std::u16string& leaf, size_t bytes) : bytes_(bytes) {
    EXPECT_TRUE(pk::SectionHostName(leaf, &host_));
    int fd = ::shm_open(host_.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, (off_t)bytes), 0);
    base_ = static_cast<uint8_t*>(::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ::close(fd);
  }
  ~Section() {
    if (base_) ::munmap(base_, bytes_);
    ::shm_unlink(host_.c_str());
  }
  AV_VCAM_INFO* Info() { return reinterpret_cast<AV_VCAM_INFO*>(base_); }
  uint8_t* Payload() { return base_ + VCAM_PAYLOAD_OFFSET; }
  size_t Room() const { return bytes_ - VCAM_PAYLOAD_OFFSET; }
  // The producer cuts its shared-memory object down to `bytes` (a section never shrinks;
  // the machine's shared memory can).
  void Shrink(size_t bytes) {
    int fd = ::shm_open(host_.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, (off_t)bytes), 0);
    ::close(fd);
  }
  // The producer's process unmaps its own view of the section and removes the name.
  void Vanish() {
    ::munmap(base_, bytes_);
    base_ = nullptr;
    ::shm_unlink(host_.c_str());
  }

 private:
  size_t bytes_;
  std::string host_;
  uint8_t* base_ = nullptr;
};

std::u16string Leaf(int medium, int channel) {
  WCHAR name[80];
  VcamSectionName(medium, (ULONG)channel, name, 80);
  std::u16string s(name);
  return s.substr(std::u16string(u"\\BaseNamedObjects\\").size());
}

// Byte i of frame k.
uint8_t PatternByte(size_t i, uint32_t k) { return (uint8_t)(i * 7 + k); }
void DrawFrame(uint8_t* p, size_t bytes, uint32_t k) {
  for (size_t i = 0; i < bytes; i++) p[i] = PatternByte(i, k);
  std::memcpy(p, &k, 4);
}

class VirtualCameraTest : public StreamingTest {
 protected:
  void SetUp() override {
    ns_ = "vorlix.vcamtest." + std::to_string(::getpid()) + ".";
    ::setenv("VORLIX_SECTION_NAMESPACE", ns_.c_str(), 1);
    StreamingTest::SetUp();
    if (HasFatalFailure()) return;
    StartBoard(Kind(BOARD_KIND_ENCODER), {{u"CustomVirtualCaptureDeviceProperty", 1}});
    HoldMonitor();  // its signal detection logs every 500 ms
    producer_ = pk::CreateUserProcess("producer");
  }
  void TearDown() override {
    client.reset();
    if (producer_) pk::EndUserProcess(producer_);
    StreamingTest::TearDown();
    ::unsetenv("VORLIX_SECTION_NAMESPACE");
  }

  // A command word on a filter, sent from the producer's process.
  void Command(HANDLE filter, ULONG id, ULONG word) {
    pk::ScopedProcess in(producer_);
    ASSERT_EQ(client->SetProperty({filter}, KSPROPSETID_CustomDevice, id, &word, sizeof(word)), STATUS_SUCCESS);
  }
  void Video(ULONG word) { Command(videoFilter_, 601, word); }
  void Audio(ULONG word) { Command(audioFilter_, 602, word); }

  // The virtual video filter with a running YV12 704 x 480 pin and `buffers` queued.
  void StartVideo(int buffers, ks::ReferenceClock* clock = nullptr) {
    PKSFILTER f = nullptr;
    ASSERT_EQ(Open(KSCATEGORY_VIDEO, 1, &videoFilter_, &f), STATUS_SUCCESS);
    ASSERT_EQ(Ctx(f)->nKind, (ULONG)FILTER_KIND_VIRTUAL_VIDEO);
    const KSPIN_DESCRIPTOR& pd = client->ListFilters(KSCATEGORY_VIDEO)[1].Descriptor->PinDescriptors[0].PinDescriptor;
    const KS_DATARANGE_VIDEO* range = nullptr;
    for (ULONG i = 0; i < pd.DataRangesCount && !range; i++) {
      auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pd.DataRanges[i]);
      const KS_BITMAPINFOHEADER& b = r->VideoInfoHeader.bmiHeader;
      if (b.biCompression == kYV12 && b.biWidth == 704 && b.biHeight == 480) range = r;
    }
    ASSERT_NE(range, nullptr);
    KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormatFromRange(*range, 333667);
    ASSERT_EQ(client->CreatePin(videoFilter_, 0, &format.DataFormat, &videoPin_), STATUS_SUCCESS);
    ASSERT_NE(Dev()->m_pVideoPin[VCAM_PIN_SLOT], nullptr);
    if (clock) {
      ASSERT_EQ(client->SetMasterClock(videoPin_, clock), STATUS_SUCCESS);
    }
    ASSERT_EQ(client->SetState(videoPin_, KSSTATE_RUN), STATUS_SUCCESS);
    for (int i = 0; i < buffers; i++) SubmitVideo();
  }
  // Each buffer has a guard area after its FrameExtent that nothing may touch.
  void SubmitVideo(ULONG extent = kFrameBytes) {
    auto& b = videoBuffers_.emplace_back(extent + kGuard, 0xEE);
    ASSERT_EQ(client->Submit(videoPin_, b.data(), extent, videoBuffers_.size() - 1), STATUS_SUCCESS);
    client->WaitProcessingIdle(videoPin_);
  }
  std::vector<ks::CompletedFrame> CollectAll(HANDLE pin) {
    std::vector<ks::CompletedFrame> got;
    ks::CompletedFrame f;
    while (client->Collect(pin, &f, 0)) got.push_back(f);
    return got;
  }
  bool GuardIntact(const ks::CompletedFrame& f, size_t extent) {
    const auto* p = static_cast<const uint8_t*>(f.Data) + extent;
    for (size_t i = 0; i < kGuard; i++)
      if (p[i] != 0xEE) return false;
    return true;
  }

  // The virtual audio filter with a running 48 kHz stereo pin.
  void StartAudio() {
    PKSFILTER f = nullptr;
    ASSERT_EQ(Open(KSCATEGORY_AUDIO, 1, &audioFilter_, &f), STATUS_SUCCESS);
    ASSERT_EQ(Ctx(f)->nKind, (ULONG)FILTER_KIND_VIRTUAL_AUDIO);
    const KSDATARANGE* range =
        client->ListFilters(KSCATEGORY_AUDIO)[1].Descriptor->PinDescriptors[0].PinDescriptor.DataRanges[0];
    uint8_t bytes[AUDIO_FORMAT_BYTES] = {};
    KSDATAFORMAT head;
    std::memcpy(&head, range, sizeof(head));
    head.FormatSize = AUDIO_FORMAT_BYTES;
    std::memcpy(bytes, &head, sizeof(head));
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = 2;
    wave.nSamplesPerSec = 48000;
    wave.wBitsPerSample = 16;
    wave.nBlockAlign = 4;
    wave.nAvgBytesPerSec = 192000;
    std::memcpy(bytes + sizeof(KSDATAFORMAT), &wave, sizeof(wave));
    ASSERT_EQ(client->CreatePin(audioFilter_, 0, reinterpret_cast<const KSDATAFORMAT*>(bytes), &audioPin_),
              STATUS_SUCCESS);
    ASSERT_EQ(client->SetState(audioPin_, KSSTATE_RUN), STATUS_SUCCESS);
  }
  void SubmitAudio(ULONG extent) {
    auto& b = audioBuffers_.emplace_back(extent + kGuard, 0xEE);
    ASSERT_EQ(client->Submit(audioPin_, b.data(), extent, audioBuffers_.size() - 1), STATUS_SUCCESS);
    client->WaitProcessingIdle(audioPin_);
  }
  ULONG Carry() { return static_cast<PinContext*>(Dev()->m_pAudioPin[VCAM_PIN_SLOT]->Context)->aTransferState[0]; }

  static constexpr size_t kGuard = 64;
  std::string ns_;
  PEPROCESS producer_ = nullptr;
  HANDLE videoFilter_ = nullptr, videoPin_ = nullptr, audioFilter_ = nullptr, audioPin_ = nullptr;
  std::deque<std::vector<uint8_t>> videoBuffers_, audioBuffers_;
};

TEST(VirtualCameraLayout, HeaderAndNames) {
  WCHAR name[64];
  EXPECT_EQ(VcamSectionName(VCAM_VIDEO, 0, name, 64), 45u);
  EXPECT_EQ(std::u16string(name), u"\\BaseNamedObjects\\DRAV.VCAM.V.SHARE.MEMORY.00");
  VcamSectionName(VCAM_AUDIO, 7, name, 64);
  EXPECT_EQ(std::u16string(name), u"\\BaseNamedObjects\\DRAV.VCAM.A.SHARE.MEMORY.07");
  VcamSectionName(VCAM_VIDEO, 131, name, 64);
  EXPECT_EQ(std::u16string(name), u"\\BaseNamedObjects\\DRAV.VCAM.V.SHARE.MEMORY.131");
  // Too small a buffer: the length is told and nothing is written past it.
  WCHAR small[8] = {};
  EXPECT_EQ(VcamSectionName(VCAM_VIDEO, 0, small, 4), 45u);
  EXPECT_EQ(small[4], 0);
}

TEST_F(VirtualCameraTest, AttachLogsOpenMapAndHeaderThenPushesFramesInOrder) {
  ks::ReferenceClock clock;
  ASSERT_NO_FATAL_FAILURE(StartVideo(4, &clock));
  // The attach goes to the ordinary video filter, whose channel index is 0.
  HANDLE plain = nullptr;
  ASSERT_EQ(Open(KSCATEGORY_VIDEO, 0, &plain), STATUS_SUCCESS);
  Section s(Leaf(VCAM_VIDEO, 0), VCAM_PAYLOAD_OFFSET + kFrameBytes);
  *s.Info() = AV_VCAM_INFO{};
  s.Info()->nVideoInfo0 = kYV12;
  s.Info()->nVideoInfo1 = 704;
  s.Info()->nVideoInfo2 = 480;
  s.Info()->nVideoInfo3 = 12;
  s.Info()->nVideoInfo4 = 333667;
  pk::ClearDebugLog();
  Command(plain, 601, VCAM_COMMAND_ATTACH);
  const auto lines = pk::DebugLogLines();
  ASSERT_EQ(lines.size(), 3u) << pk::DebugLogText();
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(
          R"(ZwOpenSection\( "\\BaseNamedObjects\\DRAV\.VCAM\.V\.SHARE\.MEMORY\.00", 00000000, [0-9A-F]{8} \))")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(ZwMapViewOfSection\( 00000000, [0-9A-F]{8}, 80, 507904 \))")))
      << lines[1];
  EXPECT_TRUE(
      std::regex_match(lines[2], std::regex(R"(AV_VCAM_INFO\( 32315659, 704, 480, 12, 333667, -?\d+, -?\d+ \))")))
      << lines[2];
  EXPECT_EQ(pk::MappedViewCount(), 1u);
  EXPECT_EQ(pk::LockedMdlCount(), 1u);

  // Ten numbered frames, one push each: every one arrives, in order, whole, stamped on
  // the pin's clock with rising times (the first one marks the discontinuity of the start).
  LONGLONG lastTime = -1;
  for (uint32_t k = 1; k <= 10; k++) {
    DrawFrame(s.Payload(), kFrameBytes, k);
    s.Info()->nDataSize = kFrameBytes;
    pk::AdvanceClock(333667);  // a producer at 29.97 frames a second
    pk::ClearDebugLog();
    Video(VCAM_COMMAND_PUSH);
    EXPECT_EQ(pk::DebugLogText(), "");
    auto got = CollectAll(videoPin_);
    ASSERT_EQ(got.size(), 1u) << "frame " << k;
    const ks::CompletedFrame& f = got[0];
    EXPECT_EQ(f.Tag, k - 1);
    EXPECT_EQ(f.Header.DataUsed, kFrameBytes);
    EXPECT_EQ(std::memcmp(f.Data, s.Payload(), kFrameBytes), 0) << "frame " << k;
    EXPECT_TRUE(GuardIntact(f, kFrameBytes));
    EXPECT_EQ(static_cast<VideoPinContext*>(Dev()->m_pVideoPin[VCAM_PIN_SLOT]->Context)->nPictureNumber, (LONGLONG)k);
    EXPECT_EQ(f.Header.OptionsFlags, k == 1 ? 0x115u : 0x111u) << "frame " << k;
    EXPECT_GT(f.Header.PresentationTime.Time, lastTime) << "frame " << k;
    EXPECT_GT(f.Header.Duration, 0);
    lastTime = f.Header.PresentationTime.Time;
    SubmitVideo();
  }

  Video(VCAM_COMMAND_DETACH);
  EXPECT_EQ(pk::MappedViewCount(), 0u);
  EXPECT_EQ(pk::LockedMdlCount(), 0u);
  EXPECT_EQ(pk::OpenHandleCount("Section"), 0u);
  // Detached: a push completes nothing.
  Video(VCAM_COMMAND_PUSH);
  EXPECT_TRUE(CollectAll(videoPin_).empty());
}

TEST_F(VirtualCameraTest, ChannelIndexOfTheReceivingFilterNamesTheSection) {
  // Before its pin exists the virtual filter's stream-index word is 0: ".00"; with its
  // YV12 pin the word is 8, and the same filter names ".04".
  PKSFILTER f = nullptr;
  ASSERT_EQ(Open(KSCATEGORY_VIDEO, 1, &videoFilter_, &f), STATUS_SUCCESS);
  pk::ClearDebugLog();
  Video(VCAM_COMMAND_ATTACH);
  EXPECT_NE(pk::DebugLogText().find("DRAV.VCAM.V.SHARE.MEMORY.00\", C0000034, 00000000"), std::string::npos)
      << pk::DebugLogText();
  client->Close(videoFilter_);
  ASSERT_NO_FATAL_FAILURE(StartVideo(1));
  pk::ClearDebugLog();
  Video(VCAM_COMMAND_ATTACH);
  EXPECT_NE(pk::DebugLogText().find("DRAV.VCAM.V.SHARE.MEMORY.04\", C0000034"), std::string::npos)
      << pk::DebugLogText();
}

// Requests that must change nothing and complete nothing, whatever the order.
TEST_F(VirtualCameraTest, CommandsThatDoNothing) {
  ASSERT_NO_FATAL_FAILURE(StartVideo(2));
  struct Step {
    const char* what;
    std::function<void()> act;
    const char* log;  // what the log must say (regex), "" for nothing
  };
  Section* section = nullptr;
  const Step steps[] = {
      {"detach, never attached", [&] { Video(VCAM_COMMAND_DETACH); }, ""},
      {"push, never attached", [&] { Video(VCAM_COMMAND_PUSH); }, ""},
      {"attach without a section", [&] { Video(VCAM_COMMAND_ATTACH); },
       R"(ZwOpenSection\( "\\BaseNamedObjects\\DRAV\.VCAM\.V\.SHARE\.MEMORY\.04", C0000034, 00000000 \)
)"},
      {"push after a failed attach", [&] { Video(VCAM_COMMAND_PUSH); }, ""},
      {"unknown command word", [&] { Video(7); }, ""},
      {"device switch off: attach ignored",
       [&] {
         static Section s(Leaf(VCAM_VIDEO, 4), 2 * PAGE_SIZE);
         section = &s;
         ULONG off = 0;
         ASSERT_EQ(client->SetProperty({videoFilter_}, KSPROPSETID_CustomDevice, 600, &off, 4), STATUS_SUCCESS);
         Video(VCAM_COMMAND_ATTACH);
         Video(VCAM_COMMAND_PUSH);
       },
       ""},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    pk::ClearDebugLog();
    s.act();
    EXPECT_TRUE(std::regex_match(pk::DebugLogText(), std::regex(s.log))) << pk::DebugLogText();
    EXPECT_TRUE(CollectAll(videoPin_).empty());
    EXPECT_EQ(pk::MappedViewCount(), 0u);
    EXPECT_EQ(pk::LockedMdlCount(), 0u);
  }
  ULONG on = 0;
  ASSERT_EQ(client->GetProperty({videoFilter_}, KSPROPSETID_CustomDevice, 600, &on, 4), STATUS_SUCCESS);
  EXPECT_EQ(on, 0u);
  (void)section;
}

TEST_F(VirtualCameraTest, PayloadIsBoundedByBufferAndSection) {
  ASSERT_NO_FATAL_FAILURE(StartVideo(0));
  // A section smaller than one frame.
  Section s(Leaf(VCAM_VIDEO, 4), 3 * PAGE_SIZE);
  std::fill(s.Payload(), s.Payload() + s.Room(), 0x5A);
  Video(VCAM_COMMAND_ATTACH);
  struct Case {
    const char* name;
    ULONG extent;
    ULONG dataSize;
    size_t copied;
  } cases[] = {
      {"count larger than the buffer", 1000, 2000, 1000},
      {"count beyond the section", kFrameBytes, 0xFFFFFFFF, 3 * PAGE_SIZE - VCAM_PAYLOAD_OFFSET},
      {"count beyond the section, small buffer", 100, 0x7FFFFFFF, 100},
      {"nothing to copy", 4096, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SubmitVideo(c.extent);
    std::fill(videoBuffers_.back().begin(), videoBuffers_.back().begin() + c.extent, 0x11);
    s.Info()->nDataSize = c.dataSize;
    Video(VCAM_COMMAND_PUSH);
    auto got = CollectAll(videoPin_);
    ASSERT_EQ(got.size(), 1u);
    const auto* p = static_cast<const uint8_t*>(got[0].Data);
    size_t same = 0;
    while (same < c.extent && p[same] == 0x5A) same++;
    EXPECT_EQ(same, c.copied);
    if (c.copied < c.extent) {
      EXPECT_EQ(p[c.copied], 0x11) << "the rest is as the client gave it";
    }
    EXPECT_TRUE(GuardIntact(got[0], c.extent));
  }
}

TEST_F(VirtualCameraTest, SecondAttachGivesTheFirstBack) {
  ASSERT_NO_FATAL_FAILURE(StartVideo(1));
  Section s(Leaf(VCAM_VIDEO, 4), 2 * PAGE_SIZE);
  for (int i = 0; i < 3; i++) Video(VCAM_COMMAND_ATTACH);
  EXPECT_EQ(pk::MappedViewCount(), 1u);
  EXPECT_EQ(pk::LockedMdlCount(), 1u);
  EXPECT_EQ(pk::OpenHandleCount("Section"), 1u);
  Video(VCAM_COMMAND_DETACH);
  EXPECT_EQ(pk::MappedViewCount(), 0u);
  EXPECT_EQ(pk::LockedMdlCount(), 0u);
  EXPECT_EQ(pk::OpenHandleCount("Section"), 0u);
}

TEST_F(VirtualCameraTest, ViewThatCannotBeLockedOrMappedLeavesAPartialAttach) {
  ASSERT_NO_FATAL_FAILURE(StartVideo(1));
  Section s(Leaf(VCAM_VIDEO, 4), 2 * PAGE_SIZE);
  s.Info()->nDataSize = 100;
  for (int fault = 0; fault < 3; fault++) {
    SCOPED_TRACE(fault);
    if (fault == 0) pk::FailNthMdlLock(1);
    if (fault == 1) pk::FailNthMdlMapping(1);
    if (fault == 2) pk::FailAllocationsWithTag(MakePoolTag("Mdl "), 1);
    pk::ClearDebugLog();
    Video(VCAM_COMMAND_ATTACH);
    const auto lines = pk::DebugLogLines();
    ASSERT_EQ(lines.size(), 2u) << pk::DebugLogText();  // opened and mapped, no header
    EXPECT_EQ(lines[1].rfind("ZwMapViewOfSection( 00000000, ", 0), 0u);
    EXPECT_EQ(pk::LockedMdlCount(), 0u);
    EXPECT_EQ(pk::MappedViewCount(), 1u);
    Video(VCAM_COMMAND_PUSH);
    EXPECT_TRUE(CollectAll(videoPin_).empty());
    Video(VCAM_COMMAND_DETACH);
    EXPECT_EQ(pk::MappedViewCount(), 0u);
    EXPECT_EQ(pk::OpenHandleCount("Section"), 0u);
    pk::ClearPoolFaults();
  }
}

// A hostile or vanishing producer: nothing crashes, and every queued buffer comes back.
TEST_F(VirtualCameraTest, HostileProducerTable) {
  ASSERT_NO_FATAL_FAILURE(StartVideo(0));
  std::mt19937 rng(17);
  struct Case {
    const char* name;
    size_t sectionBytes;
    bool garbage;
    ULONG dataSize;
    bool vanish;  // the producer unmaps its view and ends before the push
  } cases[] = {
      {"garbage header", 4 * PAGE_SIZE, true, 0, false},
      {"header only, count huge", VCAM_PAYLOAD_OFFSET, false, 0xFFFFFFF0, false},
      {"shorter than its header", 16, false, 0, false},
      {"count just past the section", 2 * PAGE_SIZE, false, 2 * PAGE_SIZE - VCAM_PAYLOAD_OFFSET + 1, false},
      {"gone before the push", 2 * PAGE_SIZE, false, 5000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Section s(Leaf(VCAM_VIDEO, 4), c.sectionBytes);
    if (c.garbage) {
      auto* b = reinterpret_cast<uint8_t*>(s.Info());
      for (size_t i = 0; i < c.sectionBytes; i++) b[i] = (uint8_t)rng();
    } else if (c.sectionBytes >= sizeof(AV_VCAM_INFO)) {
      s.Info()->nDataSize = c.dataSize;
    }
    Video(VCAM_COMMAND_ATTACH);
    for (int i = 0; i < 3; i++) SubmitVideo();
    PEPROCESS keep = producer_;
    if (c.vanish) {
      s.Payload()[0] = 0xA5;
      s.Vanish();
      pk::EndUserProcess(producer_);
      producer_ = pk::CreateUserProcess("producer");
    }
    for (int i = 0; i < 3; i++) Video(VCAM_COMMAND_PUSH);
    auto got = CollectAll(videoPin_);
    EXPECT_EQ(got.size(), 3u);
    for (const auto& f : got) {
      EXPECT_EQ(f.Status, STATUS_SUCCESS);
      EXPECT_TRUE(GuardIntact(f, kFrameBytes));
    }
    if (c.vanish) {
      // The pages the driver locked stayed the section's: what was written is delivered.
      ASSERT_FALSE(got.empty());
      EXPECT_EQ(static_cast<const uint8_t*>(got[0].Data)[0], 0xA5);
    }
    Video(VCAM_COMMAND_DETACH);
    EXPECT_EQ(pk::MappedViewCount(), 0u);
    EXPECT_EQ(pk::LockedMdlCount(), 0u);
    (void)keep;
  }
}

TEST_F(VirtualCameraTest, AudioPacingCarriesTheRemainderAndDeliversTheProducersSamples) {
  ASSERT_NO_FATAL_FAILURE(StartAudio());
  Section s(Leaf(VCAM_AUDIO, 0), 4 * PAGE_SIZE);
  s.Info()->nAudioInfo0 = 2;
  s.Info()->nAudioInfo1 = 48000;
  s.Info()->nAudioInfo2 = 16;
  pk::ClearDebugLog();
  Audio(VCAM_COMMAND_ATTACH);
  const auto lines = pk::DebugLogLines();
  ASSERT_EQ(lines.size(), 3u) << pk::DebugLogText();
  EXPECT_TRUE(lines[0].find("DRAV.VCAM.A.SHARE.MEMORY.00\", 00000000") != std::string::npos) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(AV_VCAM_INFO\( 2, 48000, 16, -?\d+, -?\d+ \))"))) << lines[2];

  // The producer's byte stream: byte n of the whole stream is (n * 13 + 5) & 0xFF.
  size_t streamAt = 0;
  auto push = [&](ULONG bytes) {
    for (ULONG i = 0; i < bytes; i++) s.Payload()[i] = (uint8_t)((streamAt + i) * 13 + 5);
    streamAt += bytes;
    s.Info()->nDataSize = bytes;
    Audio(VCAM_COMMAND_PUSH);
  };
  auto streamByte = [](size_t n) { return (uint8_t)(n * 13 + 5); };
  for (int i = 0; i < 6; i++) SubmitAudio(4096);

  push(10000);  // two buffers complete, 1,808 bytes carried
  auto got = CollectAll(audioPin_);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Carry(), 1808u);
  for (size_t b = 0; b < 2; b++) {
    EXPECT_EQ(got[b].Header.DataUsed, 4096u);
    const auto* p = static_cast<const uint8_t*>(got[b].Data);
    size_t bad = 0;
    for (size_t i = 0; i < 4096; i++) bad += p[i] != streamByte(b * 4096 + i);
    EXPECT_EQ(bad, 0u) << "buffer " << b;
    EXPECT_TRUE(GuardIntact(got[b], 4096));
  }

  push(3000);  // the carried 1,808 plus 2,288 new bytes fill one buffer; 712 carried
  got = CollectAll(audioPin_);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Carry(), 712u);
  {
    const auto* p = static_cast<const uint8_t*>(got[0].Data);
    size_t bad = 0;
    for (size_t i = 0; i < 4096; i++) bad += p[i] != streamByte(8192 + i);
    EXPECT_EQ(bad, 0u);
  }

  // Less than the room left: the buffer takes the carried bytes and silence, and this
  // push's bytes wait for the next one.
  push(3300);
  got = CollectAll(audioPin_);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Carry(), 3300u);
  {
    const auto* p = static_cast<const uint8_t*>(got[0].Data);
    for (size_t i = 0; i < 712; i++) ASSERT_EQ(p[i], streamByte(12288 + i)) << i;
    for (size_t i = 712; i < 4096; i++) ASSERT_EQ(p[i], 0) << i;
  }
  // 3,300 carried + 796 new fill one buffer; the 1,204 left are fewer than that room
  // again, so the next buffer completes as silence and they are carried.
  push(2000);
  got = CollectAll(audioPin_);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Carry(), 1204u);
  {
    const auto* p = static_cast<const uint8_t*>(got[0].Data);
    size_t bad = 0;
    for (size_t i = 0; i < 4096; i++) bad += p[i] != streamByte(13000 + i);
    EXPECT_EQ(bad, 0u);
    const auto* q = static_cast<const uint8_t*>(got[1].Data);
    EXPECT_EQ(std::count(q, q + 4096, 0), 4096);
  }
  // And they open the next push's first buffer.
  SubmitAudio(4096);
  push(4000);
  got = CollectAll(audioPin_);
  ASSERT_EQ(got.size(), 1u);
  {
    const auto* p = static_cast<const uint8_t*>(got[0].Data);
    size_t bad = 0;
    for (size_t i = 0; i < 4096; i++) bad += p[i] != streamByte(13000 + 4096 + i);
    EXPECT_EQ(bad, 0u);
  }
}

TEST_F(VirtualCameraTest, AudioPushOfLessThanABufferCompletesOneAndCarriesAll) {
  ASSERT_NO_FATAL_FAILURE(StartAudio());
  Section s(Leaf(VCAM_AUDIO, 0), 4 * PAGE_SIZE);
  Audio(VCAM_COMMAND_ATTACH);
  SubmitAudio(4096);
  std::fill(s.Payload(), s.Payload() + 3000, 0x77);
  s.Info()->nDataSize = 1000;
  Audio(VCAM_COMMAND_PUSH);
  auto got = CollectAll(audioPin_);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Carry(), 1000u);
  SubmitAudio(4096);
  s.Info()->nDataSize = 3000;
  Audio(VCAM_COMMAND_PUSH);  // 1,000 carried + 3,000 < 4,096: silence again, 3,000 carried
  ASSERT_EQ(CollectAll(audioPin_).size(), 1u);
  EXPECT_EQ(Carry(), 3000u);

  // A carry larger than the next buffer (buffers of mixed sizes): 3,000 carried into a
  // 2,048-byte buffer fill it with carried bytes; the room left does not wrap around.
  SubmitAudio(2048);
  std::fill(s.Payload(), s.Payload() + 3000, 0x33);
  s.Info()->nDataSize = 10;
  Audio(VCAM_COMMAND_PUSH);
  got = CollectAll(audioPin_);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Carry(), 0u);
  const auto* p = static_cast<const uint8_t*>(got[0].Data);
  for (size_t i = 0; i < 2048; i++) ASSERT_EQ(p[i], 0x77) << i;
  EXPECT_TRUE(GuardIntact(got[0], 2048));

  // Zero bytes: nothing completes.
  SubmitAudio(4096);
  s.Info()->nDataSize = 0;
  Audio(VCAM_COMMAND_PUSH);
  EXPECT_TRUE(CollectAll(audioPin_).empty());
}

// Attach, push and detach of one medium from three threads, while buffers keep coming:
// one at a time, no buffer lost, nothing left locked.
TEST_F(VirtualCameraTest, ConcurrentCommandsOnOneMedium) {
  ASSERT_NO_FATAL_FAILURE(StartVideo(0));
  Section s(Leaf(VCAM_VIDEO, 4), VCAM_PAYLOAD_OFFSET + kFrameBytes);
  s.Info()->nDataSize = kFrameBytes;
  std::atomic<int> running{3};
  auto commands = [&](std::vector<ULONG> words) {
    for (int i = 0; i < 150; i++)
      for (ULONG w : words) {
        pk::ScopedProcess in(producer_);
        client->SetProperty({videoFilter_}, KSPROPSETID_CustomDevice, 601, &w, 4);
      }
    running--;
  };
  for (int i = 0; i < 8; i++) SubmitVideo();
  std::thread a(commands, std::vector<ULONG>{VCAM_COMMAND_ATTACH, VCAM_COMMAND_DETACH});
  std::thread b(commands, std::vector<ULONG>{VCAM_COMMAND_PUSH});
  std::thread c(commands, std::vector<ULONG>{VCAM_COMMAND_PUSH, VCAM_COMMAND_ATTACH});
  size_t completed = 0;
  while (running > 0) {
    ks::CompletedFrame f;
    if (client->Collect(videoPin_, &f, 1)) {
      completed++;
      EXPECT_EQ(f.Status, STATUS_SUCCESS);
      ASSERT_EQ(client->Submit(videoPin_, f.Data, f.FrameExtent, f.Tag), STATUS_SUCCESS);
    }
  }
  a.join();
  b.join();
  c.join();
  EXPECT_GT(completed, 0u);
  Video(VCAM_COMMAND_DETACH);
  EXPECT_EQ(pk::MappedViewCount(), 0u);
  EXPECT_EQ(pk::LockedMdlCount(), 0u);
  // The pin stops with every buffer it still holds given back.
  ASSERT_EQ(client->SetState(videoPin_, KSSTATE_STOP), STATUS_SUCCESS);
  size_t back = 0;
  ks::CompletedFrame f;
  while (client->Collect(videoPin_, &f, 0)) back++;
  EXPECT_EQ(back, 8u) << "every buffer still queued comes back at stop";
}

// A producer that shrinks its shared memory under an attached medium: the driver's reads
// of the pages it lost find zeros, never a bus error, and every buffer comes back; a new
// attach maps only what is left.
TEST_F(VirtualCameraTest, ProducerShrinkingItsSectionUnderAPush) {
  ASSERT_NO_FATAL_FAILURE(StartVideo(0));
  struct Case {
    const char* name;
    size_t keep;        // bytes the producer keeps
    size_t copiedSame;  // leading payload bytes still as written
  } cases[] = {
      {"keeps the header page", PAGE_SIZE, PAGE_SIZE - VCAM_PAYLOAD_OFFSET},
      {"keeps nothing (the header reads as zeros: nothing to copy)", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Section s(Leaf(VCAM_VIDEO, 4), 8 * PAGE_SIZE);
    std::fill(s.Payload(), s.Payload() + s.Room(), 0x5A);
    s.Info()->nDataSize = (ULONG)s.Room();
    Video(VCAM_COMMAND_ATTACH);
    SubmitVideo();
    std::fill(videoBuffers_.back().begin(), videoBuffers_.back().begin() + kFrameBytes, 0x11);
    ASSERT_NO_FATAL_FAILURE(s.Shrink(c.keep));
    Video(VCAM_COMMAND_PUSH);
    auto got = CollectAll(videoPin_);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Status, STATUS_SUCCESS);
    const auto* p = static_cast<const uint8_t*>(got[0].Data);
    size_t same = 0;
    while (same < kFrameBytes && p[same] == 0x5A) same++;
    EXPECT_EQ(same, c.copiedSame);
    if (c.keep) {
      EXPECT_EQ(std::count(p + same, p + s.Room(), 0), (long)(s.Room() - same)) << "the lost pages read as zeros";
    } else {
      EXPECT_EQ(p[0], 0x11) << "the buffer is as the client gave it";
    }
    EXPECT_TRUE(GuardIntact(got[0], kFrameBytes));
    // Attaching again maps what is left (or nothing), and detach gives it all back.
    Video(VCAM_COMMAND_ATTACH);
    SubmitVideo();
    Video(VCAM_COMMAND_PUSH);
    EXPECT_EQ(CollectAll(videoPin_).size(), c.keep ? 1u : 0u);
    Video(VCAM_COMMAND_DETACH);
    EXPECT_EQ(pk::LockedMdlCount(), 0u);
    EXPECT_EQ(pk::MappedViewCount(), 0u);
    CollectAll(videoPin_);
  }
  ASSERT_EQ(client->SetState(videoPin_, KSSTATE_STOP), STATUS_SUCCESS);
  CollectAll(videoPin_);
}

// A push holds the pin mutex from the slot read until its buffers are completed. The state
// steps that take buffers, lists or the clock away from the pin wait for it, whichever
// switches are set: the test holds the mutex as a push in progress would.
TEST_F(VirtualCameraTest, StateStepsWaitForAPushInProgress) {
  struct Case {
    const char* name;
    ULONG directSound;
    ULONG zq4;
    KSSTATE before;  // where the pin is when the push holds the mutex
    KSSTATE step;
  } cases[] = {
      {"pause with the direct-sound switch (flushes)", 1, 0, KSSTATE_RUN, KSSTATE_PAUSE},
      {"pause with both switches", 1, 1, KSSTATE_RUN, KSSTATE_PAUSE},
      {"stop with the customer switch (flushes without the row steps' mutex)", 0, 1, KSSTATE_PAUSE, KSSTATE_STOP},
      {"run publishes the worker", 0, 0, KSSTATE_PAUSE, KSSTATE_RUN},
  };
  ASSERT_NO_FATAL_FAILURE(StartVideo(0));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Dev()->m_nAnalogAudioDirectSoundPatch = 0;
    Dev()->m_nCompanyZq4 = 0;
    ASSERT_EQ(client->SetState(videoPin_, KSSTATE_RUN), STATUS_SUCCESS);
    for (int i = 0; i < 3; i++) SubmitVideo();
    ASSERT_EQ(client->SetState(videoPin_, c.before), STATUS_SUCCESS);
    ASSERT_TRUE(CollectAll(videoPin_).empty());
    Dev()->m_nAnalogAudioDirectSoundPatch = c.directSound;
    Dev()->m_nCompanyZq4 = c.zq4;

    PFAST_MUTEX mutex = &Dev()->m_PinMutex;
    const ULONG waitersBefore = pk::FastMutexContention(mutex);
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(mutex);
    std::atomic<bool> done{false};
    std::thread step([&] {
      client->SetState(videoPin_, c.step);
      done = true;
    });
    while (!done && pk::FastMutexContention(mutex) == waitersBefore) std::this_thread::yield();
    EXPECT_FALSE(done) << "the step ran while a push held the pin mutex";
    EXPECT_TRUE(CollectAll(videoPin_).empty()) << "buffers taken from under a push";
    ExReleaseFastMutexUnsafe(mutex);
    KeLeaveCriticalRegion();
    step.join();

    Dev()->m_nAnalogAudioDirectSoundPatch = 0;
    Dev()->m_nCompanyZq4 = 0;
    ASSERT_EQ(client->SetState(videoPin_, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(CollectAll(videoPin_).size(), 3u) << "every buffer comes back once";
    videoBuffers_.clear();
  }
}

// Audio pushes from one thread while another pauses, runs and stops the pin with both
// switches set, and the client keeps buffers queued: every buffer comes back, none twice,
// and the thread sanitizer sees every step that touches the pin's
// buffers, carry or times ordered against the pushes.
TEST_F(VirtualCameraTest, AudioPushesRaceStateSteps) {
  // The switches are set before the pin runs and cleared after it stops: its processing
  // reads them.
  Dev()->m_nAnalogAudioDirectSoundPatch = 1;
  Dev()->m_nCompanyZq4 = 1;
  ASSERT_NO_FATAL_FAILURE(StartAudio());
  Section s(Leaf(VCAM_AUDIO, 0), 4 * PAGE_SIZE);
  std::fill(s.Payload(), s.Payload() + 6000, 0x42);
  s.Info()->nDataSize = 6000;  // one buffer and a carry each push
  Audio(VCAM_COMMAND_ATTACH);

  constexpr int kBuffers = 6;
  constexpr ULONG kExtent = 4096;
  std::vector<std::vector<uint8_t>> buffers(kBuffers, std::vector<uint8_t>(kExtent + kGuard, 0xEE));
  for (int i = 0; i < kBuffers; i++)
    ASSERT_EQ(client->Submit(audioPin_, buffers[i].data(), kExtent, (uint64_t)i), STATUS_SUCCESS);

  std::atomic<bool> stop{false};
  std::thread pusher([&] {
    ULONG word = VCAM_COMMAND_PUSH;
    while (!stop) {
      pk::ScopedProcess in(producer_);
      client->SetProperty({audioFilter_}, KSPROPSETID_CustomDevice, 602, &word, 4);
    }
  });
  std::thread stepper([&] {
    for (int i = 0; i < 60; i++) {
      client->SetState(audioPin_, i % 5 == 4 ? KSSTATE_STOP : KSSTATE_PAUSE);
      client->SetState(audioPin_, KSSTATE_RUN);
    }
    stop = true;
  });
  // Buffers come back filled, empty (flushed) or cancelled (a stop before KS handed them
  // to the pin); a stopped pin takes none, so they wait for the next run.
  size_t completed = 0;
  std::vector<ks::CompletedFrame> held;
  bool bad = false;
  while (!stop && !bad) {
    ks::CompletedFrame f;
    if (client->Collect(audioPin_, &f, 1)) {
      completed++;
      bad = f.Tag >= (uint64_t)kBuffers || (f.Status != STATUS_SUCCESS && f.Status != STATUS_CANCELLED) ||
            !GuardIntact(f, kExtent);
      EXPECT_FALSE(bad) << "buffer " << f.Tag << " status " << std::hex << f.Status;
      held.push_back(f);
    }
    for (auto it = held.begin(); it != held.end();)
      it = client->Submit(audioPin_, it->Data, kExtent, it->Tag) == STATUS_SUCCESS ? held.erase(it) : it + 1;
  }
  stop = true;
  stepper.join();
  pusher.join();
  ASSERT_EQ(client->SetState(audioPin_, KSSTATE_STOP), STATUS_SUCCESS);
  Dev()->m_nAnalogAudioDirectSoundPatch = 0;
  Dev()->m_nCompanyZq4 = 0;
  size_t back = 0;
  ks::CompletedFrame f;
  while (client->Collect(audioPin_, &f, 0)) back++;
  EXPECT_EQ(back + held.size(), (size_t)kBuffers) << "every buffer still queued comes back at stop, once";
  EXPECT_GT(completed, 0u);
  EXPECT_EQ(Carry(), 0u);
  Audio(VCAM_COMMAND_DETACH);
  EXPECT_EQ(pk::LockedMdlCount(), 0u);
}

}  // namespace
