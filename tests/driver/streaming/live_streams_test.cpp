// The four streams of channel 0 on a started encoder board, end to end: the YV12 preview,
// the H.264 main and sub streams and the audio pin, each with a reference clock, started
// and stopped over and over by client threads of their own while the board streams. The
// board's producers, the interrupt routine, the deferred procedure call, the transfer
// path and the pins' workers all run on their own threads; the stream power-up and
// power-down of one pin meet the others' running streams.
//
// Every buffer a client submits comes back exactly once, in the order it was submitted
// (filled while the pin runs, cancelled by the stop), timestamps never go backwards
// within a run, and closing everything leaves nothing allocated.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/streaming/audio_pin.h"
#include "driver/streaming/templates.h"
#include "platform/board/test_pattern.h"
#include "platform/ks/client.h"
#include "tests/driver/hardware/lifecycle_test_fixture.h"

namespace vorlix_test {
namespace {

namespace ks = platform::ks;

constexpr ULONG kYV12 = MakeFourCC("YV12");
constexpr ULONG kH264 = MakeFourCC("H264");
constexpr ULONG kX264 = MakeFourCC("X264");
constexpr LONG kPreviewWidth = 320, kPreviewHeight = 180;
constexpr int kWaitMs = 60000;  // for one buffer, on a loaded machine under a sanitiser

// One pin and what its client thread saw.
struct Stream {
  const char* name = "";
  HANDLE filter = nullptr;
  HANDLE pin = nullptr;
  std::unique_ptr<ks::ReferenceClock> clock;
  ULONG bufferBytes = 0;
  ULONG buffers = 0;
  bool preview = false;
  // Filled by the client thread.
  uint64_t submitted = 0;
  uint64_t filled = 0;     // completed with data
  uint64_t cancelled = 0;  // returned by a stop
  uint64_t empty = 0;      // completed without data (a lost picture)
  std::vector<std::string> failures;
};

class LiveStreamsTest : public LifecycleTest {
 protected:
  // The real clock: the board streams in real time while the client threads, which are
  // the application's and not the machine's, wait for their buffers. The driver's delays
  // are shortened (its monitor looks every 25 ms instead of every 500).
  void SetUp() override {
    LifecycleTest::SetUp();
    scope_.reset();
    machine::UseRealClock();
    machine::SetDelayScale(1);
  }
  void TearDown() override {
    client_.reset();  // closes whatever a failed test left open
    LifecycleTest::TearDown();
  }

  const KSPIN_DESCRIPTOR& PinOf(const GUID& category) {
    return client_->ListFilters(category)[0].Descriptor->PinDescriptors[0].PinDescriptor;
  }
  // The capture pin's format of that code and size, at 6 frames a second: the board keeps
  // one input frame in five, so that a slow (sanitised, loaded) machine still takes every
  // packet the board makes rather than the board dropping what the host cannot take.
  std::optional<KS_DATAFORMAT_VIDEOINFOHEADER> VideoFormat(ULONG fourcc, LONG w, LONG h) {
    const KSPIN_DESCRIPTOR& pin = PinOf(KSCATEGORY_VIDEO);
    for (ULONG i = 0; i < pin.DataRangesCount; i++) {
      auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pin.DataRanges[i]);
      const KS_BITMAPINFOHEADER& b = r->VideoInfoHeader.bmiHeader;
      if (b.biCompression != fourcc || b.biWidth != w || b.biHeight != h) continue;
      KS_DATAFORMAT_VIDEOINFOHEADER f{};
      std::memcpy(&f.DataFormat, &r->DataRange, sizeof(KSDATAFORMAT));
      f.DataFormat.FormatSize = sizeof(f);
      f.VideoInfoHeader = r->VideoInfoHeader;
      f.VideoInfoHeader.AvgTimePerFrame = 1666667;
      return f;
    }
    return std::nullopt;
  }
  // Channel 0's audio filter takes 48 kHz 16-bit mono.
  std::vector<uint8_t> AudioFormat() {
    const KSDATARANGE* range = PinOf(KSCATEGORY_AUDIO).DataRanges[0];
    std::vector<uint8_t> bytes(AUDIO_FORMAT_BYTES, 0);
    KSDATAFORMAT head;
    std::memcpy(&head, range, sizeof(head));
    head.FormatSize = AUDIO_FORMAT_BYTES;
    std::memcpy(bytes.data(), &head, sizeof(head));
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = 1;
    wave.nSamplesPerSec = 48000;
    wave.wBitsPerSample = 16;
    wave.nBlockAlign = 2;
    wave.nAvgBytesPerSec = 96000;
    std::memcpy(bytes.data() + sizeof(KSDATAFORMAT), &wave, sizeof(wave));
    return bytes;
  }

  // Opens a filter instance of its own for the pin (one capture pin per filter), creates
  // the pin, hands it a master clock and sizes its buffers by its framing.
  void Open(Stream& s, const GUID& category, const KSDATAFORMAT* format, ULONG maxBuffers) {
    auto list = client_->ListFilters(category);
    ASSERT_FALSE(list.empty());
    ASSERT_EQ(client_->OpenFilter(list[0], &s.filter), STATUS_SUCCESS) << s.name;
    ASSERT_EQ(client_->CreatePin(s.filter, 0, format, &s.pin), STATUS_SUCCESS) << s.name;
    s.clock = std::make_unique<ks::ReferenceClock>();
    ASSERT_EQ(client_->SetMasterClock(s.pin, s.clock.get()), STATUS_SUCCESS) << s.name;
    KSALLOCATOR_FRAMING_EX framing{};
    ASSERT_EQ(client_->AllocatorFraming(s.pin, &framing), STATUS_SUCCESS) << s.name;
    s.bufferBytes = framing.FramingItem[0].FramingRange.Range.MaxFrameSize;
    s.buffers = std::min<ULONG>(framing.FramingItem[0].Frames, maxBuffers);
    ASSERT_GT(s.bufferBytes, 0u) << s.name;
    ASSERT_GT(s.buffers, 0u) << s.name;
  }

  // A client thread: `runs` times PAUSE with every buffer queued, RUN until `frames`
  // buffers came back filled (each one queued again at once), STOP; then every buffer
  // still out must come back, cancelled.
  void Client(Stream& s, int runs, uint64_t frames) {
    auto fail = [&s](const std::string& what) { s.failures.push_back(what); };
    std::vector<std::vector<uint8_t>> memory(s.buffers, std::vector<uint8_t>(s.bufferBytes));
    uint64_t nextTag = 1;
    for (int run = 0; run < runs && s.failures.empty(); run++) {
      const std::string at = " (run " + std::to_string(run) + ")";
      std::deque<std::pair<uint64_t, size_t>> out;  // tag, buffer: in submission order
      auto submit = [&](size_t buffer) {
        std::memset(memory[buffer].data(), 0xEE, 64);
        NTSTATUS status = client_->Submit(s.pin, memory[buffer].data(), s.bufferBytes, nextTag);
        if (status != STATUS_SUCCESS) return fail("submit refused" + at);
        out.emplace_back(nextTag++, buffer);
        s.submitted++;
      };
      // Takes the next completion and checks it is the oldest buffer out.
      auto take = [&](ks::CompletedFrame* done, int timeoutMs) {
        if (!client_->Collect(s.pin, done, timeoutMs)) return false;
        if (out.empty()) {
          fail("a buffer came back that was not out: tag " + std::to_string(done->Tag) + at);
          return false;
        }
        if (done->Tag != out.front().first)
          fail("tag " + std::to_string(done->Tag) + " came back before tag " + std::to_string(out.front().first) + at);
        if (done->Data != memory[out.front().second].data()) fail("a buffer came back at another address" + at);
        out.pop_front();
        return true;
      };

      if (client_->SetState(s.pin, KSSTATE_PAUSE) != STATUS_SUCCESS) return fail("PAUSE failed" + at);
      for (size_t b = 0; b < memory.size(); b++) submit(b);
      if (client_->SetState(s.pin, KSSTATE_RUN) != STATUS_SUCCESS) return fail("RUN failed" + at);

      uint64_t filled = 0;
      LONGLONG lastTime = -1;
      int64_t lastPicture = -1;
      while (filled < frames && s.failures.empty()) {
        ks::CompletedFrame done;
        if (!take(&done, kWaitMs)) {
          Snapshot();
          fail("no buffer back within " + std::to_string(kWaitMs / 1000) + " s after " + std::to_string(filled) +
               " filled" + at);
          break;
        }
        if (done.Status != STATUS_SUCCESS) {
          fail("a running pin completed a buffer with status " + std::to_string(done.Status) + at);
          continue;
        }
        if (done.Header.DataUsed > s.bufferBytes) fail("DataUsed beyond the buffer" + at);
        if (done.Header.DataUsed == 0) {
          // A picture whose first chunks went by before this buffer was queued is given
          // back empty with its time (the next one marks the discontinuity); a buffer
          // given back untouched while the pin runs was dropped.
          s.empty++;
          if (!(done.Header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID))
            fail("a running pin gave tag " + std::to_string(done.Tag) + " back untouched" + at);
        } else {
          s.filled++;
          filled++;
          if (!(done.Header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID))
            fail("a filled buffer without a time" + at);
          const LONGLONG t = done.Header.PresentationTime.Time;
          if (t < lastTime) fail("time went back from " + std::to_string(lastTime) + " to " + std::to_string(t) + at);
          lastTime = t;
          if (s.preview) {
            // The test pattern numbers its frames: pictures never go back either.
            int64_t n = platform::board::ReadPatternNumber(static_cast<const uint8_t*>(done.Data), kPreviewWidth,
                                                           kPreviewWidth, kPreviewHeight);
            if (n >= 0 && n < lastPicture)
              fail("picture " + std::to_string(n) + " after " + std::to_string(lastPicture) + at);
            if (n >= 0) lastPicture = n;
          }
        }
        // Queue the buffer again.
        for (size_t b = 0; b < memory.size(); b++)
          if (memory[b].data() == done.Data) submit(b);
      }

      if (client_->SetState(s.pin, KSSTATE_STOP) != STATUS_SUCCESS) fail("STOP failed" + at);
      // Every buffer still out comes back now, cancelled or completed.
      while (!out.empty()) {
        ks::CompletedFrame done;
        if (!take(&done, kWaitMs)) {
          fail(std::to_string(out.size()) + " buffers never came back after the stop" + at);
          break;
        }
        if (done.Status == STATUS_CANCELLED)
          s.cancelled++;
        else if (done.Header.DataUsed)
          s.filled++;
        else
          s.empty++;
      }
      ks::CompletedFrame extra;
      if (client_->Collect(s.pin, &extra, 0)) fail("a buffer came back twice: tag " + std::to_string(extra.Tag) + at);
    }
  }

  // The board's state, the rows' and the board's last register accesses when a pin first
  // starves (the board dropping responses says the host could not keep up with it).
  void Snapshot() {
    std::call_once(snapshotOnce_, [this] {
      char line[256];
      std::snprintf(line, sizeof line, "gate %d, status 0x%X\n", (int)Dev()->m_nIsrGate.load(),
                    (unsigned)board_.PendingStatus());
      snapshot_ = line;
      const board::EncoderState es = board_.encoder().state();
      std::snprintf(
          line, sizeof line,
          "  board: preview %d/%d, streams %d %d, pictures %u, packets %u %u, audio %u, dropped %u, done %u\n",
          es.previewOn, es.previewStarted, es.stream[0].started, es.stream[1].started, (unsigned)es.previewPictures,
          (unsigned)es.streamPackets[0], (unsigned)es.streamPackets[1], (unsigned)es.audioPackets,
          (unsigned)es.droppedResponses, (unsigned)es.doneCommands);
      snapshot_ += line;
      const ChannelTable* t = Dev()->m_pChannelTable;
      for (ULONG row : {0u, 4u, 8u, 12u}) {
        std::snprintf(line, sizeof line, "  row %u: state %u\n", (unsigned)row,
                      (unsigned)__atomic_load_n(&t->nState[row], __ATOMIC_ACQUIRE));
        snapshot_ += line;
      }
      auto all = board_.AccessLog();
      std::vector<platform::board::Access> log;
      for (const auto& a : all)
        if (a.offset < 0x7000) log.push_back(a);  // not the receiver port's bit-banging
      for (size_t i = log.size() > 80 ? log.size() - 80 : 0; i < log.size(); i++) {
        std::snprintf(line, sizeof line, "  %c %04X = %08X\n", log[i].write ? 'W' : 'R', (unsigned)log[i].offset,
                      (unsigned)log[i].value);
        snapshot_ += line;
      }
    });
  }
  std::once_flag snapshotOnce_;
  std::string snapshot_;

  std::unique_ptr<ks::KsClient> client_ = std::make_unique<ks::KsClient>();
};

TEST_F(LiveStreamsTest, FourPinsStartAndStopRepeatedlyFromTheirOwnThreads) {
  board_.encoder().SetSignal(board::InputFormat::k720p30);
  // Each source's room on the board: a machine busy elsewhere for a moment loses no packet
  // a pin waits for (five seconds of each H.264 stream), while a host that keeps falling
  // behind (sanitised, loaded) finds at most four rooms' worth ahead of a new packet, not
  // minutes of old pictures and audio.
  board_.encoder().SetResponseQueueLimit(32);
  Start();
  ASSERT_FALSE(HasFatalFailure());
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // the monitor finds the signal

  const int64_t poolBefore = machine::PoolLiveBlocks();
  Stream streams[4];
  streams[0].name = "preview";
  streams[0].preview = true;
  streams[1].name = "main";
  streams[2].name = "sub";
  streams[3].name = "audio";
  // Small pictures from the 720-line input: the board draws and encodes them under its
  // lock, which a slow (sanitised) build must not turn into the bottleneck.
  auto preview = VideoFormat(kYV12, kPreviewWidth, kPreviewHeight);
  auto main = VideoFormat(kH264, 480, 270);
  auto sub = VideoFormat(kX264, 320, 180);
  ASSERT_TRUE(preview && main && sub);
  std::vector<uint8_t> audio = AudioFormat();
  Open(streams[0], KSCATEGORY_VIDEO, &preview->DataFormat, 4);
  Open(streams[1], KSCATEGORY_VIDEO, &main->DataFormat, 6);
  Open(streams[2], KSCATEGORY_VIDEO, &sub->DataFormat, 6);
  Open(streams[3], KSCATEGORY_AUDIO, reinterpret_cast<const KSDATAFORMAT*>(audio.data()), 8);
  ASSERT_FALSE(HasFatalFailure());

  const int runs[4] = {4, 5, 5, 6};
  const uint64_t frames[4] = {3, 5, 5, 20};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; i++) threads.emplace_back([&, i] { Client(streams[i], runs[i], frames[i]); });
  for (auto& t : threads) t.join();

  for (Stream& s : streams) {
    SCOPED_TRACE(s.name);
    for (const std::string& f : s.failures) ADD_FAILURE() << f;
    EXPECT_EQ(s.filled + s.cancelled + s.empty, s.submitted);
    EXPECT_GT(s.filled, 0u);
    std::printf("%-8s submitted %4llu  filled %4llu  cancelled %3llu  empty %3llu\n", s.name,
                (unsigned long long)s.submitted, (unsigned long long)s.filled, (unsigned long long)s.cancelled,
                (unsigned long long)s.empty);
  }

  if (HasFailure()) {
    // What the driver said, for the failure's story.
    auto lines = machine::DebugLogLines();
    for (size_t i = lines.size() > 60 ? lines.size() - 60 : 0; i < lines.size(); i++)
      std::printf("  log: %s\n", lines[i].c_str());
    const board::EncoderState es = board_.encoder().state();
    std::printf(
        "  board: booted %d, preview on %d started %d, streams %d %d, pictures %u, packets %u %u, audio %u, "
        "dropped %u, done %u, chunks %u\n",
        es.booted, es.previewOn, es.previewStarted, es.stream[0].started, es.stream[1].started,
        (unsigned)es.previewPictures, (unsigned)es.streamPackets[0], (unsigned)es.streamPackets[1],
        (unsigned)es.audioPackets, (unsigned)es.droppedResponses, (unsigned)es.doneCommands, (unsigned)es.chunks);
    std::printf("  at the first starving pin: %s", snapshot_.c_str());
    for (const std::string& v : board_.Violations()) std::printf("  board: %s\n", v.c_str());
  }
  for (Stream& s : streams) {
    EXPECT_EQ(client_->Close(s.pin), STATUS_SUCCESS) << s.name;
    EXPECT_EQ(client_->Close(s.filter), STATUS_SUCCESS) << s.name;
  }
  EXPECT_EQ(machine::PoolLiveBlocks(), poolBefore);
  EXPECT_EQ(Dev()->m_nDigitalCaptureStreamReference.load(), 0);
}

}  // namespace
}  // namespace vorlix_test
