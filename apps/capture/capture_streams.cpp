#include "apps/capture/capture_streams.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "apps/capture/capture_files.h"
#include "driver/streaming/guids.h"
#include "platform/board/test_pattern.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "platform/ks/client.h"

namespace vorlix::capture {

namespace pk = platform::kernel;
namespace ks = platform::ks;
namespace fs = std::filesystem;

void PassMachineTime(double seconds) {
  if (seconds <= 0) return;
  if (pk::JumpingTestClock()) {
    // Machine time: the clock moves on once every machine thread waits.
    LARGE_INTEGER delay;
    delay.QuadPart = -(LONGLONG)std::llround(seconds * 1e7);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  } else {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
}

namespace {

// The status block of the driver's property page: its sixteen reads of the custom set,
// each into a word preset to 0, and its seven lines.
constexpr ULONG kFirmwareLineIdentity = 0x85010001;  // the one board whose page shows its firmware

std::vector<std::string> StatusLines(ks::KsClient& client, HANDLE filter) {
  auto get = [&](ULONG id) {
    ULONG v = 0;
    if (!NT_SUCCESS(client.GetProperty({filter}, KSPROPSETID_CustomDevice, id, &v, sizeof(v)))) v = 0;
    return v;
  };
  const ULONG firmware = get(6), index = get(2), identity = get(0), resolution = get(210), rate = get(208),
              effective = get(274), interlaced = get(223), status = get(230), fractional = get(241),
              sampleRate = get(253), colorimetry = get(370), colorRange = get(371), videoFrames = get(351),
              audioFrames = get(361), encodedFrames = get(430), debug = get(271);
  std::vector<std::string> lines;
  char line[260];
  if (identity == kFirmwareLineIdentity)
    std::snprintf(line, sizeof(line), "DRIVER VERSION       : 1.1.0.167.0, FIRMWARE : %d.%d.%d.%d, 2016.08.10",
                  (int)(firmware >> 24), (int)((firmware >> 16) & 0xFF), (int)((firmware >> 8) & 0xFF),
                  (int)(firmware & 0xFF));
  else
    std::snprintf(line, sizeof(line), "DRIVER VERSION       : 1.1.0.167.0, 2016.08.10");
  lines.push_back(line);
  std::snprintf(line, sizeof(line), "CARD INFO            : SN%08X, BN%08X", identity, index);
  lines.push_back(line);
  std::snprintf(line, sizeof(line), "STREAM INFO          : PV%08d, PA%08d, EV%08d", (int)videoFrames, (int)audioFrames,
                (int)encodedFrames);
  lines.push_back(line);
  const ULONG width = resolution >> 16;
  const ULONG height = (resolution & 0xFFFF) * (interlaced ? 2 : 1);
  if (width && height && rate && status) {
    double first = rate, second = effective;
    if (fractional == 1) {
      first = first * 1000.0 / 1001.0;
      second = second * 1000.0 / 1001.0;
    }
    std::snprintf(line, sizeof(line), "SIGNAL STATUS        : %d X %d%c @ %2.2fFPS (%2.2fFPS), 2CH X 16BITS @ %dHZ",
                  (int)width, (int)height, interlaced ? 'I' : 'P', first, second, (int)sampleRate);
  } else {
    std::snprintf(line, sizeof(line), "SIGNAL STATUS        : NO SIGNAL");
  }
  lines.push_back(line);
  std::snprintf(line, sizeof(line), "SIGNAL COLORIMETRY   : %s",
                colorimetry == 1   ? "BT601"
                : colorimetry == 2 ? "BT709"
                                   : "UNKNOWN");
  lines.push_back(line);
  std::snprintf(line, sizeof(line), "SIGNAL COLORRANGE    : %s",
                colorRange == 1   ? "LIMITED ( 16 ~ 235 )"
                : colorRange == 2 ? "FULL ( 0 ~ 255 )"
                                  : "UNKNOWN");
  lines.push_back(line);
  std::snprintf(line, sizeof(line), "SIGNAL DEBUG INFO    : 0x%08X", debug);
  lines.push_back(line);
  return lines;
}

// A pin the job runs, its buffers and what came back on it.
struct PinRun {
  std::string name;
  enum class Kind { Preview, Stream, Audio } kind;
  long width = 0, height = 0;
  HANDLE handle = nullptr;
  std::vector<std::vector<uint8_t>> buffers;
  ULONG bufferBytes = 0;
  uint64_t submitted = 0, returned = 0;
  // Completed buffers.
  uint64_t frames = 0, bytes = 0, empty = 0, lost = 0, cancelled = 0, filled = 0, discontinuities = 0;
  // Timestamps.
  uint64_t timed = 0, backwards = 0, durationSteps = 0, otherSteps = 0;
  LONGLONG firstTime = 0, lastTime = 0, lastDuration = 0, minStep = 0, maxStep = 0;
  std::set<LONGLONG> durations;
  // Picture numbers (video) and the test pattern's frame numbers (preview).
  uint64_t picture = 0, pictureGaps = 0;
  bool havePicture = false;
  int64_t lastPattern = -1;
  uint64_t patternGaps = 0, patternDisorder = 0, patternFrames = 0;
  std::vector<uint8_t> lastFrame;  // preview: the last picture
  // H.264: written from the first IDR picture on.
  bool joined = false;
  uint64_t beforeIdr = 0, written = 0;
  std::ofstream file;
};

// True when an Annex B access unit holds a slice of an IDR picture (NAL unit type 5).
bool HasIdrPicture(const uint8_t* p, size_t n) {
  for (size_t i = 0; i + 3 < n; i++)
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && (p[i + 3] & 0x1F) == 5) return true;
  return false;
}

const char* KindName(PinRun::Kind k) {
  return k == PinRun::Kind::Preview ? "YV12" : k == PinRun::Kind::Stream ? "H.264" : "PCM";
}

class Capture {
 public:
  Capture(const CaptureSettings& settings, Summary& summary) : settings_(settings), summary_(summary) {}

  void Run() {
    if (!OpenFilters() || !CreatePins() || !OpenFiles()) {
      CloseAll();
      return;
    }
    Stream();
    CloseAll();
    Report();
  }

 private:
  // The video capture filter's pin factory makes one pin per filter: the preview, main
  // and sub stream pins each take a filter of their own, all on channel 0.
  bool OpenFilters() {
    auto video = client_.ListFilters(KSCATEGORY_VIDEO);
    auto audio = client_.ListFilters(KSCATEGORY_AUDIO);
    if (video.empty() || audio.empty()) {
      summary_.Fail("capture filters", "CHANNEL 0 HAS NO VIDEO AND AUDIO CAPTURE FILTERS");
      return false;
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (HANDLE& filter : videoFilters_)
      if (NT_SUCCESS(status)) status = client_.OpenFilter(video[0], &filter);
    if (NT_SUCCESS(status)) status = client_.OpenFilter(audio[0], &audioFilter_);
    summary_.Step("capture filters open", status);
    return NT_SUCCESS(status);
  }

  bool CreatePin(PinRun& pin, HANDLE filter, const std::vector<uint8_t>& format) {
    NTSTATUS status = client_.CreatePin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin.handle);
    if (NT_SUCCESS(status)) status = client_.SetMasterClock(pin.handle, &clock_);
    KSALLOCATOR_FRAMING_EX framing{};
    if (NT_SUCCESS(status)) status = client_.AllocatorFraming(pin.handle, &framing);
    if (!NT_SUCCESS(status)) {
      summary_.Fail(pin.name + " pin", "FAILED " + StatusText(status));
      return false;
    }
    KSDATAFORMAT head;
    std::memcpy(&head, format.data(), sizeof(head));
    const KS_FRAMING_ITEM& item = framing.FramingItem[0];
    ULONG count = std::clamp<ULONG>(item.Frames, 4, 16);
    ULONG bytes = item.FramingRange.Range.MaxFrameSize;
    if (pin.kind == PinRun::Kind::Preview) {
      // Every buffer holds one whole picture.
      bytes = head.SampleSize;
    } else if (pin.kind == PinRun::Kind::Stream) {
      // Room for an access unit as large as the raw picture, whatever the framing says.
      bytes = std::max<ULONG>(bytes, (ULONG)(pin.width * pin.height * 3 / 2));
    } else {
      bytes = std::max<ULONG>(bytes, 1920);
    }
    if (bytes == 0) {
      summary_.Fail(pin.name + " pin", "NO BUFFER SIZE");
      return false;
    }
    pin.bufferBytes = bytes;
    pin.buffers.assign(count, std::vector<uint8_t>(bytes));
    char text[128];
    if (pin.kind == PinRun::Kind::Audio)
      std::snprintf(text, sizeof(text), "%s %u Hz, %u channels, %u bits; %u buffers of %u bytes", KindName(pin.kind),
                    (unsigned)wave_.nSamplesPerSec, (unsigned)wave_.nChannels, (unsigned)wave_.wBitsPerSample,
                    (unsigned)count, (unsigned)bytes);
    else
      std::snprintf(text, sizeof(text), "%s %ld x %ld at 30; %u buffers of %u bytes", KindName(pin.kind), pin.width,
                    pin.height, (unsigned)count, (unsigned)bytes);
    summary_.Line(pin.name + " pin", text);
    return true;
  }

  bool CreatePins() {
    struct Video {
      const char* name;
      PinRun::Kind kind;
      ULONG compression;
      long w, h;
    };
    const Video videos[] = {{"preview", PinRun::Kind::Preview, FourCC("YV12"), kPreviewWidth, kPreviewHeight},
                            {"main", PinRun::Kind::Stream, FourCC("H264"), kMainWidth, kMainHeight},
                            {"sub", PinRun::Kind::Stream, FourCC("X264"), kSubWidth, kSubHeight}};
    for (size_t i = 0; i < std::size(videos); i++) {
      const Video& v = videos[i];
      auto& pin = *pins_.emplace_back(std::make_unique<PinRun>());
      pin.name = v.name;
      pin.kind = v.kind;
      pin.width = v.w;
      pin.height = v.h;
      std::vector<uint8_t> format;
      if (!VideoFormatFor(client_, videoFilters_[i], v.compression, v.w, v.h, &format)) {
        summary_.Fail(pin.name + " pin", std::string("NO ") + KindName(v.kind) + " FORMAT OF " + std::to_string(v.w) +
                                             " x " + std::to_string(v.h));
        return false;
      }
      if (!CreatePin(pin, videoFilters_[i], format)) return false;
    }
    auto& audio = *pins_.emplace_back(std::make_unique<PinRun>());
    audio.name = "audio";
    audio.kind = PinRun::Kind::Audio;
    std::vector<uint8_t> format;
    if (!AudioFormatFor(client_, audioFilter_, &format, &wave_)) {
      summary_.Fail("audio pin", "NO 48 kHz 16-BIT PCM FORMAT");
      return false;
    }
    return CreatePin(audio, audioFilter_, format);
  }

  bool OpenFiles() {
    const char* names[] = {"preview.yuv", "main.h264", "sub.h264", "audio.wav"};
    for (size_t i = 0; i < pins_.size(); i++) {
      pins_[i]->file.open(settings_.out / names[i], std::ios::binary | std::ios::trunc);
      if (!pins_[i]->file) {
        summary_.Fail("output files", "CANNOT WRITE " + (settings_.out / names[i]).string());
        return false;
      }
    }
    std::vector<uint8_t> header = WaveHeader(wave_, 0);
    pins_[3]->file.write(reinterpret_cast<const char*>(header.data()), (std::streamsize)header.size());
    csv_.open(settings_.out / "frames.csv", std::ios::binary | std::ios::trunc);
    csv_ << "pin,picture,time,duration,flags,bytes\n";
    if (!csv_) {
      summary_.Fail("output files", "CANNOT WRITE " + (settings_.out / "frames.csv").string());
      return false;
    }
    return true;
  }

  // Pause every pin, queue its buffers, then run them all, as a graph starts.
  void Stream() {
    NTSTATUS status = STATUS_SUCCESS;
    for (auto& pin : pins_)
      if (NT_SUCCESS(status)) status = client_.SetState(pin->handle, KSSTATE_PAUSE);
    for (auto& pin : pins_)
      for (size_t i = 0; i < pin->buffers.size() && NT_SUCCESS(status); i++) status = Submit(*pin, i);
    for (auto& pin : pins_)
      if (NT_SUCCESS(status)) status = client_.SetState(pin->handle, KSSTATE_RUN);
    summary_.Step("pins run", status);
    if (NT_SUCCESS(status)) {
      running_ = true;
      const LONGLONG end = pk::InterruptTimeNow() + (LONGLONG)std::llround(settings_.seconds * 1e7);
      while (pk::InterruptTimeNow() < end) {
        Drain();
        PassMachineTime(0.002);
      }
      Drain();
      running_ = false;
      status_ = StatusLines(client_, videoFilters_[0]);
    }
    // Stop every pin: what is still queued comes back cancelled.
    NTSTATUS stop = STATUS_SUCCESS;
    for (auto& pin : pins_) {
      NTSTATUS s = client_.SetState(pin->handle, KSSTATE_STOP);
      if (NT_SUCCESS(stop)) stop = s;
    }
    summary_.Step("pins stop", stop);
    for (int wait = 0; wait < 50 && Outstanding(); wait++) {
      Drain();
      if (Outstanding()) PassMachineTime(0.01);
    }
  }

  uint64_t Outstanding() const {
    uint64_t n = 0;
    for (const auto& pin : pins_) n += pin->submitted - pin->returned;
    return n;
  }

  NTSTATUS Submit(PinRun& pin, size_t index) {
    std::vector<uint8_t>& b = pin.buffers[index];
    NTSTATUS status = client_.Submit(pin.handle, b.data(), (ULONG)b.size(), index);
    if (NT_SUCCESS(status)) pin.submitted++;
    return status;
  }

  void Drain() {
    for (auto& pin : pins_) {
      ks::CompletedFrame f;
      while (client_.Collect(pin->handle, &f, 0)) {
        pin->returned++;
        Completed(*pin, f);
        if (running_ && f.Tag < pin->buffers.size()) Submit(*pin, (size_t)f.Tag);
      }
    }
  }

  void Completed(PinRun& pin, const ks::CompletedFrame& f) {
    if (f.Status == STATUS_CANCELLED && !running_) {
      pin.cancelled++;
      return;
    }
    const KSSTREAM_HEADER& h = f.Header;
    if (!NT_SUCCESS(f.Status)) {
      pin.lost++;
      return;
    }
    const ULONG used = std::min(h.DataUsed, f.FrameExtent);
    if (!running_ && used == 0) {
      // Flushed empty by the stop.
      pin.cancelled++;
      return;
    }
    pin.frames++;
    const bool video = pin.kind != PinRun::Kind::Audio;
    if (video && h.Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
      const uint64_t number = (uint64_t)f.FrameInfo.PictureNumber;
      if (pin.havePicture && number > pin.picture + 1) pin.pictureGaps += number - pin.picture - 1;
      pin.picture = number;
      pin.havePicture = true;
    } else {
      pin.picture = pin.frames;
    }
    if (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) pin.discontinuities++;
    if (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) {
      const LONGLONG t = h.PresentationTime.Time;
      if (pin.timed) {
        const LONGLONG step = t - pin.lastTime;
        if (step < 0) pin.backwards++;
        // Times have their low bits cleared and carry the remainder of the exact rate.
        if (std::llabs(step - pin.lastDuration) <= 4)
          pin.durationSteps++;
        else
          pin.otherSteps++;
        pin.minStep = pin.timed == 1 ? step : std::min(pin.minStep, step);
        pin.maxStep = pin.timed == 1 ? step : std::max(pin.maxStep, step);
      } else {
        pin.firstTime = t;
      }
      pin.timed++;
      pin.lastTime = t;
      pin.lastDuration = h.Duration;
      pin.durations.insert(h.Duration);
    }
    // An empty buffer is a frame the driver could not fill (a picture whose transfer
    // began before the pin ran, or no input for the encoder): dropped, not lost.
    if (used == 0) pin.empty++;
    if (pin.kind == PinRun::Kind::Stream && used == f.FrameExtent) pin.filled++;
    const auto* data = static_cast<const uint8_t*>(f.Data);
    if (pin.kind == PinRun::Kind::Stream && used && data && !pin.joined) {
      // A decoder can start only at an IDR picture, which carries the parameter sets: the
      // access units the pin delivered before its first one are listed, not written.
      pin.joined = HasIdrPicture(data, used);
      if (!pin.joined) pin.beforeIdr++;
    }
    if (pin.kind == PinRun::Kind::Stream && used && pin.joined) pin.written++;
    if (used && data && (pin.kind != PinRun::Kind::Stream || pin.joined)) {
      pin.file.write(reinterpret_cast<const char*>(data), used);
      pin.bytes += used;
      if (pin.kind == PinRun::Kind::Preview) {
        pin.lastFrame.assign(data, data + used);
        if (!settings_.noSignal) {
          int64_t n =
              platform::board::ReadPatternNumber(data, (uint32_t)pin.width, (uint32_t)pin.width, (uint32_t)pin.height);
          if (pin.patternFrames && n <= pin.lastPattern)
            pin.patternDisorder++;
          else if (pin.patternFrames && n > pin.lastPattern + 1)
            pin.patternGaps += (uint64_t)(n - pin.lastPattern - 1);
          pin.lastPattern = n;
          pin.patternFrames++;
        }
      }
    }
    char line[160];
    std::snprintf(line, sizeof(line), "%s,%llu,%lld,%lld,0x%08X,%u\n", pin.name.c_str(),
                  (unsigned long long)pin.picture, (long long)h.PresentationTime.Time, (long long)h.Duration,
                  (unsigned)h.OptionsFlags, (unsigned)used);
    csv_ << line;
  }

  // Pins first, then the filters; the filters' close saves the settings.
  void CloseAll() {
    NTSTATUS status = STATUS_SUCCESS;
    for (auto& pin : pins_)
      if (pin->handle) {
        NTSTATUS s = client_.Close(pin->handle);
        if (NT_SUCCESS(status)) status = s;
        pin->handle = nullptr;
      }
    for (HANDLE* filter : {&videoFilters_[0], &videoFilters_[1], &videoFilters_[2], &audioFilter_})
      if (*filter) {
        NTSTATUS s = client_.Close(*filter);
        if (NT_SUCCESS(status)) status = s;
        *filter = nullptr;
      }
    summary_.Step("capture filters close", status);
  }

  void Report() {
    bool filesOk = true;
    for (auto& pin : pins_) {
      if (pin->kind == PinRun::Kind::Audio) {
        // The header now knows the data's length.
        std::vector<uint8_t> header = WaveHeader(wave_, (uint32_t)std::min<uint64_t>(pin->bytes, 0xFFFFFFD0u));
        pin->file.seekp(0);
        pin->file.write(reinterpret_cast<const char*>(header.data()), (std::streamsize)header.size());
      }
      pin->file.close();
      filesOk = filesOk && !pin->file.fail();
    }
    csv_.close();
    filesOk = filesOk && !csv_.fail();

    for (auto& pin : pins_) {
      PinRun& p = *pin;
      char text[256];
      double fps = p.timed > 1 && p.lastTime > p.firstTime
                       ? (double)(p.timed - 1) * 1e7 / (double)(p.lastTime - p.firstTime)
                       : 0;
      std::snprintf(text, sizeof(text), "%llu buffers, %llu bytes, %.3f a second", (unsigned long long)p.frames,
                    (unsigned long long)p.bytes, fps);
      summary_.Line(p.name + " frames", text);
      std::string durations;
      for (LONGLONG d : p.durations) durations += (durations.empty() ? "" : " ") + std::to_string(d);
      std::snprintf(text, sizeof(text), "%llu steps of the duration, %llu others (%lld to %lld); durations %s",
                    (unsigned long long)p.durationSteps, (unsigned long long)p.otherSteps, (long long)p.minStep,
                    (long long)p.maxStep, durations.empty() ? "none" : durations.c_str());
      if (p.backwards)
        summary_.Fail(p.name + " timestamps", std::to_string(p.backwards) + " GO BACKWARDS; " + text);
      else
        summary_.Line(p.name + " timestamps", text);
      std::string dropped = std::to_string(p.pictureGaps) + " by picture number";
      if (p.kind == PinRun::Kind::Preview && p.patternFrames)
        dropped += ", " + std::to_string(p.patternGaps) + " by the test pattern's frame number";
      dropped += "; " + std::to_string(p.empty) + " came back empty";
      summary_.Line(p.name + " dropped", dropped);
      if (p.kind == PinRun::Kind::Stream)
        summary_.Line(p.name + " written", std::to_string(p.written) + " access units from the first IDR on, " +
                                               std::to_string(p.beforeIdr) + " before it left out");
      if (p.patternDisorder)
        summary_.Fail(p.name + " order", std::to_string(p.patternDisorder) + " PICTURES OUT OF ORDER");
      if (p.lost || p.returned != p.submitted)
        summary_.Fail(p.name + " buffers",
                      std::to_string(p.lost) + " LOST, " + std::to_string(p.submitted - p.returned) + " NOT RETURNED");
      if (p.filled) summary_.Fail(p.name + " buffers", std::to_string(p.filled) + " ACCESS UNITS FILLED THEIR BUFFER");
    }

    if (!pins_.empty() && !pins_[0]->lastFrame.empty()) {
      fs::path png = settings_.out / "preview.png";
      if (WriteYv12Png(pins_[0]->lastFrame, pins_[0]->width, pins_[0]->height, png))
        summary_.Line("preview picture", png.string());
      else
        summary_.Fail("preview picture", "CANNOT WRITE " + png.string());
    } else {
      summary_.Fail("preview picture", "NO PREVIEW PICTURE");
    }
    if (filesOk)
      summary_.Line("output files", (settings_.out / "{preview.yuv,main.h264,sub.h264,audio.wav,frames.csv}").string());
    else
      summary_.Fail("output files", "CANNOT WRITE under " + settings_.out.string());

    summary_.out << "  board status (as the property page shows it):\n";
    for (const std::string& line : status_) summary_.out << "    " << line << "\n";
  }

  const CaptureSettings& settings_;
  Summary& summary_;
  ks::KsClient client_;
  ks::ReferenceClock clock_;
  HANDLE videoFilters_[3] = {}, audioFilter_ = nullptr;
  std::vector<std::unique_ptr<PinRun>> pins_;
  WAVEFORMATEX wave_{};
  std::ofstream csv_;
  bool running_ = false;
  std::vector<std::string> status_;
};

}  // namespace

void CaptureChannel0(const CaptureSettings& settings, Summary& summary) {
  Capture capture(settings, summary);
  capture.Run();
}

}  // namespace vorlix::capture
