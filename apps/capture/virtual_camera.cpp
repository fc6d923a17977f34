#include "apps/capture/virtual_camera.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "apps/capture/capture_files.h"
#include "apps/capture/capture_streams.h"
#include "apps/vcam_producer/producer.h"
#include "apps/vcam_producer/sources.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"

namespace vorlix::capture {

namespace pk = platform::kernel;
namespace ks = platform::ks;
namespace vc = vorlix::vcam;
namespace fs = std::filesystem;

namespace {

constexpr char16_t kSwitchName[] = u"CustomVirtualCaptureDeviceProperty";
// The virtual pictures the job asks for: the producer's own default size.
constexpr long kVirtualWidth = 704, kVirtualHeight = 480;
constexpr ULONG kVideoBuffers = 8, kAudioBuffers = 16;
// Audio buffers of 1/60 s at 48 kHz stereo: two to a frame's share of sound.
constexpr ULONG kAudioBufferBytes = 3200;
// The section channel indices of channel 0: its virtual video filter has a pin (4), its
// virtual audio filter is channel 0's.
constexpr uint32_t kVideoIndex = 4, kAudioIndex = 0;

// What came back on one virtual pin.
struct Received {
  HANDLE pin = nullptr;
  std::vector<std::vector<uint8_t>> buffers;
  uint64_t submitted = 0, returned = 0, frames = 0, bytes = 0, lost = 0, empty = 0;
  uint64_t timed = 0, backwards = 0;
  LONGLONG firstTime = 0, lastTime = 0;
  std::ofstream file;
};

class VirtualRun {
 public:
  VirtualRun(const VirtualSettings& settings, Summary& summary) : settings_(settings), summary_(summary) {}

  void Run() {
    // Sections are named host-wide: runs side by side keep theirs apart.
    const std::string ns = "vorlix-capture." + std::to_string(::getpid()) + ".";
    ::setenv("VORLIX_SECTION_NAMESPACE", ns.c_str(), 0);
    process_ = pk::CreateUserProcess("virtual camera producer");
    {
      pk::ScopedProcess in(process_);
      if (OpenFilters() && CreatePins() && OpenSource() && OpenFiles()) Stream();
      CloseAll();
    }
    pk::EndUserProcess(process_);
    Report();
  }

 private:
  // The encoder board lists its virtual filters after channel 0's own.
  bool OpenFilters() {
    auto video = client_.ListFilters(KSCATEGORY_VIDEO);
    auto audio = client_.ListFilters(KSCATEGORY_AUDIO);
    if (video.size() < 2 || audio.size() < 2) {
      summary_.Fail("virtual filters", "NO VIRTUAL CAPTURE FILTERS (is the virtual device on?)");
      return false;
    }
    NTSTATUS status = client_.OpenFilter(video[1], &videoFilter_);
    if (NT_SUCCESS(status)) status = client_.OpenFilter(audio[1], &audioFilter_);
    summary_.Step("virtual filters open", status);
    return NT_SUCCESS(status);
  }

  bool CreatePin(Received& r, HANDLE filter, const std::vector<uint8_t>& format, ULONG count, ULONG bytes,
                 const std::string& stage) {
    NTSTATUS status = client_.CreatePin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &r.pin);
    if (NT_SUCCESS(status)) status = client_.SetMasterClock(r.pin, &clock_);
    if (!NT_SUCCESS(status)) {
      summary_.Fail(stage, "FAILED " + StatusText(status));
      return false;
    }
    r.buffers.assign(count, std::vector<uint8_t>(bytes));
    return true;
  }

  bool CreatePins() {
    std::vector<uint8_t> format;
    if (!VideoFormatFor(client_, videoFilter_, FourCC("YV12"), kVirtualWidth, kVirtualHeight, &format) ||
        format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
      summary_.Fail("virtual video pin", "NO YV12 FORMAT OF 704 x 480");
      return false;
    }
    KS_DATAFORMAT_VIDEOINFOHEADER vih;
    std::memcpy(&vih, format.data(), sizeof(vih));
    video_ = vc::VideoFormat{vc::FourCC("YV12"), (uint32_t)kVirtualWidth, (uint32_t)kVirtualHeight, 12,
                             vih.VideoInfoHeader.AvgTimePerFrame > 0 ? vih.VideoInfoHeader.AvgTimePerFrame : 333333};
    if (!CreatePin(videoIn_, videoFilter_, format, kVideoBuffers, (ULONG)video_.FrameBytes(), "virtual video pin"))
      return false;
    char text[128];
    std::snprintf(text, sizeof(text), "YV12 %ld x %ld at %.3f; %u buffers of %u bytes", kVirtualWidth, kVirtualHeight,
                  1e7 / (double)video_.avgTimePerFrame, (unsigned)kVideoBuffers, (unsigned)video_.FrameBytes());
    summary_.Line("virtual video pin", text);

    if (!AudioFormatFor(client_, audioFilter_, &format, &wave_)) {
      summary_.Fail("virtual audio pin", "NO 48 kHz 16-BIT PCM FORMAT");
      return false;
    }
    audio_ = vc::AudioFormat{wave_.nChannels, wave_.nSamplesPerSec, wave_.wBitsPerSample};
    if (!CreatePin(audioIn_, audioFilter_, format, kAudioBuffers, kAudioBufferBytes, "virtual audio pin")) return false;
    std::snprintf(text, sizeof(text), "PCM %u Hz, %u channels, %u bits; %u buffers of %u bytes",
                  (unsigned)wave_.nSamplesPerSec, (unsigned)wave_.nChannels, (unsigned)wave_.wBitsPerSample,
                  (unsigned)kAudioBuffers, (unsigned)kAudioBufferBytes);
    summary_.Line("virtual audio pin", text);
    return true;
  }

  bool OpenSource() {
    if (settings_.file.empty()) {
      summary_.Line("virtual source", "the numbered test pattern and a 1 kHz tone");
      return true;
    }
    std::string error;
    if (!source_.Open(settings_.file, video_, audio_, &error)) {
      summary_.Fail("virtual source", "CANNOT READ: " + error);
      return false;
    }
    summary_.Line("virtual source", settings_.file + (source_.HasAudio() ? "" : " (no sound)"));
    return true;
  }

  bool OpenFiles() {
    const fs::path names[2] = {settings_.out / "virtual.yuv", settings_.out / "virtual.wav"};
    Received* pins[2] = {&videoIn_, &audioIn_};
    for (int i = 0; i < 2; i++) {
      pins[i]->file.open(names[i], std::ios::binary | std::ios::trunc);
      if (!pins[i]->file) {
        summary_.Fail("virtual files", "CANNOT WRITE " + names[i].string());
        return false;
      }
    }
    std::vector<uint8_t> header = WaveHeader(wave_, 0);
    audioIn_.file.write(reinterpret_cast<const char*>(header.data()), (std::streamsize)header.size());
    return true;
  }

  NTSTATUS Submit(Received& r, size_t index) {
    std::vector<uint8_t>& b = r.buffers[index];
    NTSTATUS status = client_.Submit(r.pin, b.data(), (ULONG)b.size(), index);
    if (NT_SUCCESS(status)) r.submitted++;
    return status;
  }

  // The frames of the run: as many as its length holds, fewer when the file ends first.
  uint64_t FramesToPush() const {
    return (uint64_t)std::floor(settings_.seconds * 1e7 / (double)video_.avgTimePerFrame + 1e-9);
  }

  void Stream() {
    NTSTATUS status = STATUS_SUCCESS;
    for (Received* r : {&videoIn_, &audioIn_})
      if (NT_SUCCESS(status)) status = client_.SetState(r->pin, KSSTATE_PAUSE);
    for (Received* r : {&videoIn_, &audioIn_})
      for (size_t i = 0; i < r->buffers.size() && NT_SUCCESS(status); i++) status = Submit(*r, i);
    for (Received* r : {&videoIn_, &audioIn_})
      if (NT_SUCCESS(status)) status = client_.SetState(r->pin, KSSTATE_RUN);
    summary_.Step("virtual pins run", status);
    if (NT_SUCCESS(status)) {
      // A push finds only buffers the pin has already taken in: the producer starts once
      // both pins have taken every buffer queued before the run, or its first frame and
      // sound could come before them and be dropped.
      for (Received* r : {&videoIn_, &audioIn_}) client_.WaitProcessingIdle(r->pin);
      running_ = true;
      Push();
      Drain();
      running_ = false;
    }
    NTSTATUS stop = STATUS_SUCCESS;
    for (Received* r : {&videoIn_, &audioIn_}) {
      NTSTATUS s = client_.SetState(r->pin, KSSTATE_STOP);
      if (NT_SUCCESS(stop)) stop = s;
    }
    summary_.Step("virtual pins stop", stop);
    for (int wait = 0; wait < 50 && Outstanding(); wait++) {
      Drain();
      if (Outstanding()) PassMachineTime(0.01);
    }
  }

  // A frame and its share of the sound every frame interval of machine time.
  void Push() {
    vc::KsCommandSink sink(client_, videoFilter_, audioFilter_);
    vc::Producer producer(sink, kVideoIndex, kAudioIndex);
    const size_t block = (size_t)audio_.channels * audio_.bitsPerSample / 8;
    const bool sound = settings_.file.empty() || source_.HasAudio();
    // Room for a frame's share and what a file's decoder delivers ahead of it.
    const size_t room = (audio_.BytesPerSecond() * (size_t)video_.avgTimePerFrame / 10000000 / block + 1) * block;
    std::string error;
    if (!producer.Start(video_, audio_, sound ? room * 4 : 0, &error)) {
      summary_.Fail("virtual attach", "FAILED: " + error);
      return;
    }
    summary_.Line("virtual attach", "ok");
    std::vector<uint8_t> frame(video_.FrameBytes()), pcm, pending;
    uint64_t tone = 0;
    const uint64_t frames = FramesToPush();
    bool ok = true;
    while (ok && pushed_ < frames) {
      if (settings_.file.empty())
        vc::DrawPattern(video_, (uint32_t)(pushed_ + 1), frame.data());
      else if (!source_.NextFrame(&frame))
        break;
      ok = producer.PushVideo(frame.data(), frame.size());
      if (ok) pushed_++;
      if (ok && sound) {
        // The sound due by the end of this frame, in whole sample frames.
        const uint64_t due =
            (uint64_t)((double)pushed_ * (double)video_.avgTimePerFrame * audio_.samplesPerSec / 1e7) * block;
        const size_t share = (size_t)(due - std::min(due, audioPushed_));
        if (settings_.file.empty()) {
          pcm.resize(share);
          vc::DrawTone(audio_, &tone, pcm.data(), pcm.size());
        } else {
          source_.TakeAudio(&pcm);
          pending.insert(pending.end(), pcm.begin(), pcm.end());
          const size_t take = std::min(pending.size(), share);
          pcm.assign(pending.begin(), pending.begin() + (long)take);
          pending.erase(pending.begin(), pending.begin() + (long)take);
        }
        if (!pcm.empty()) ok = producer.PushAudio(pcm.data(), pcm.size());
        if (ok) audioPushed_ += pcm.size();
      }
      Drain();
      PassMachineTime((double)video_.avgTimePerFrame / 1e7);
      Drain();
    }
    if (!ok) summary_.Fail("virtual push", "REFUSED after " + std::to_string(pushed_) + " frames");
    producer.Stop();
  }

  uint64_t Outstanding() const {
    return videoIn_.submitted - videoIn_.returned + audioIn_.submitted - audioIn_.returned;
  }

  void Drain() {
    for (Received* r : {&videoIn_, &audioIn_}) {
      ks::CompletedFrame f;
      while (client_.Collect(r->pin, &f, 0)) {
        r->returned++;
        Completed(*r, f);
        if (running_ && f.Tag < r->buffers.size()) Submit(*r, (size_t)f.Tag);
      }
    }
  }

  void Completed(Received& r, const ks::CompletedFrame& f) {
    if (!running_ && (f.Status == STATUS_CANCELLED || (NT_SUCCESS(f.Status) && f.Header.DataUsed == 0))) return;
    if (!NT_SUCCESS(f.Status)) {
      r.lost++;
      return;
    }
    const KSSTREAM_HEADER& h = f.Header;
    const ULONG used = std::min(h.DataUsed, f.FrameExtent);
    const auto* data = static_cast<const uint8_t*>(f.Data);
    if (used == 0 || !data) {
      r.empty++;
      return;
    }
    r.frames++;
    r.bytes += used;
    r.file.write(reinterpret_cast<const char*>(data), used);
    if (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) {
      const LONGLONG t = h.PresentationTime.Time;
      if (r.timed && t < r.lastTime) r.backwards++;
      if (!r.timed) r.firstTime = t;
      r.timed++;
      r.lastTime = t;
    }
    if (&r != &videoIn_) return;
    lastFrame_.assign(data, data + used);
    if (settings_.file.empty()) {
      const int64_t n = vc::DecodePatternNumber(video_, data);
      if (n != lastPattern_ + 1) (n <= lastPattern_ ? disorder_ : gaps_)++;
      lastPattern_ = std::max(lastPattern_, n);
    }
  }

  void CloseAll() {
    NTSTATUS status = STATUS_SUCCESS;
    for (HANDLE* h : {&videoIn_.pin, &audioIn_.pin, &videoFilter_, &audioFilter_})
      if (*h) {
        NTSTATUS s = client_.Close(*h);
        if (NT_SUCCESS(status)) status = s;
        *h = nullptr;
      }
    summary_.Step("virtual filters close", status);
  }

  void Report() {
    if (audioIn_.file.is_open()) {
      std::vector<uint8_t> header = WaveHeader(wave_, (uint32_t)std::min<uint64_t>(audioIn_.bytes, 0xFFFFFFD0u));
      audioIn_.file.seekp(0);
      audioIn_.file.write(reinterpret_cast<const char*>(header.data()), (std::streamsize)header.size());
    }
    bool filesOk = true;
    for (Received* r : {&videoIn_, &audioIn_})
      if (r->file.is_open()) {
        r->file.close();
        filesOk = filesOk && !r->file.fail();
      }
    if (!videoIn_.pin && videoIn_.buffers.empty()) return;  // nothing ran; the failure is listed

    char text[200];
    for (Received* r : {&videoIn_, &audioIn_}) {
      const std::string name = r == &videoIn_ ? "virtual video" : "virtual audio";
      const double rate = r->timed > 1 && r->lastTime > r->firstTime
                              ? (double)(r->timed - 1) * 1e7 / (double)(r->lastTime - r->firstTime)
                              : 0;
      std::snprintf(text, sizeof(text), "%llu buffers, %llu bytes, %llu timed, %.3f a second",
                    (unsigned long long)r->frames, (unsigned long long)r->bytes, (unsigned long long)r->timed, rate);
      summary_.Line(name, text);
      if (r->backwards) summary_.Fail(name + " timestamps", std::to_string(r->backwards) + " GO BACKWARDS");
      if (r->lost || r->empty || r->returned != r->submitted)
        summary_.Fail(name + " buffers", std::to_string(r->lost) + " LOST, " + std::to_string(r->empty) + " EMPTY, " +
                                             std::to_string(r->submitted - r->returned) + " NOT RETURNED");
    }
    std::snprintf(text, sizeof(text), "%llu pushed, %llu delivered", (unsigned long long)pushed_,
                  (unsigned long long)videoIn_.frames);
    if (videoIn_.frames != pushed_ || gaps_)
      summary_.Fail("virtual frames", std::string(text) + "; " + std::to_string(gaps_) + " MISSING BY NUMBER");
    else
      summary_.Line("virtual frames", text);
    if (disorder_) summary_.Fail("virtual order", std::to_string(disorder_) + " FRAMES OUT OF ORDER");
    // What the last push left short of a whole buffer stays with the driver.
    std::snprintf(text, sizeof(text), "%llu bytes pushed, %llu delivered", (unsigned long long)audioPushed_,
                  (unsigned long long)audioIn_.bytes);
    if (audioIn_.bytes > audioPushed_ || audioPushed_ - audioIn_.bytes >= kAudioBufferBytes)
      summary_.Fail("virtual sound", std::string(text) + ", NOT THE SOUND PUSHED");
    else
      summary_.Line("virtual sound", text);

    const fs::path png = settings_.out / "virtual.png";
    if (lastFrame_.empty())
      summary_.Fail("virtual picture", "NO VIRTUAL PICTURE");
    else if (WriteYv12Png(lastFrame_, kVirtualWidth, kVirtualHeight, png))
      summary_.Line("virtual picture", png.string());
    else
      summary_.Fail("virtual picture", "CANNOT WRITE " + png.string());
    if (filesOk)
      summary_.Line("virtual files", (settings_.out / "{virtual.yuv,virtual.wav}").string());
    else
      summary_.Fail("virtual files", "CANNOT WRITE under " + settings_.out.string());
  }

  const VirtualSettings& settings_;
  Summary& summary_;
  ks::KsClient client_;
  ks::ReferenceClock clock_;
  PEPROCESS process_ = nullptr;
  HANDLE videoFilter_ = nullptr, audioFilter_ = nullptr;
  Received videoIn_, audioIn_;
  vc::VideoFormat video_;
  vc::AudioFormat audio_;
  WAVEFORMATEX wave_{};
  vc::FileSource source_;
  bool running_ = false;
  uint64_t pushed_ = 0, audioPushed_ = 0, gaps_ = 0, disorder_ = 0;
  int64_t lastPattern_ = 0;
  std::vector<uint8_t> lastFrame_;
};

}  // namespace

VirtualDeviceSwitch::VirtualDeviceSwitch(ULONG hostInstance) : key_(pk::RegistryDriverKeyPath(hostInstance)) {
  pk::RegistryCreateKey(key_);
  pk::RegistrySetDword(key_, kSwitchName, 1);
}

VirtualDeviceSwitch::~VirtualDeviceSwitch() { pk::RegistryDeleteValue(key_, kSwitchName); }

void RunVirtualCamera(const VirtualSettings& settings, Summary& summary) {
  VirtualRun run(settings, summary);
  run.Run();
}

}  // namespace vorlix::capture
