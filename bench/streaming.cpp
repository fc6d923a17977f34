// The whole live path, from the simulated board to the application's buffers: encoder
// boards on 1080p30 inputs, each streaming its channel's 1920 x 1080 YV12 preview, its
// H.264 main stream and its audio, through the interrupt routine, the deferred procedure
// call, the transfer path, the pins' workers and KS, into buffers an application thread
// queues again as they come back.
//
// The board's work (test pattern, tiling, the H.264 engine, the DMA engine's copies) is the
// simulator's cost, not the driver's: the time is taken per thread, the boards' threads
// apart from the machine's (interrupt, deferred procedure calls, timers, the driver's
// system threads), and the DMA copies the board makes on the machine's threads taken off
// them. What is left is the driver's share, with the simulated bus it reads and writes.
//
// Counters (per run of `seconds` of streaming once every pin runs):
//   driver_us_per_frame   driver processor time per delivered video frame (preview or H.264)
//   driver_us_per_buffer  the same per delivered buffer of any pin (audio included)
//   realtime_x            how many times the channels' real time one core sustains for
//                         the driver: channel-seconds delivered per driver second / channels
//   channels_per_core     the same in channels of 1080p30 preview + H.264 + audio
//   board_cpu_share       the boards' threads' processor time per wall second (cores)
//   client_us_per_buffer  the application threads' time (KS submit and collect) per buffer
//   interrupt_thread_ms   part of driver_ms: the interrupt delivery thread (the interrupt
//                         routine and the simulated level line's re-delivery)
#include <benchmark/benchmark.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/driver_entry.h"
#include "driver/streaming/audio_pin.h"
#include "driver/streaming/templates.h"
#include "platform/board/board.h"
#include "platform/board/encoder_core.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"

namespace board = platform::board;
namespace machine = platform::kernel;
namespace pci = platform::pci;
namespace ks = platform::ks;
namespace fs = std::filesystem;

namespace {

constexpr ULONG kYV12 = MakeFourCC("YV12");
constexpr ULONG kH264 = MakeFourCC("H264");

pid_t ThisThread() { return (pid_t)syscall(SYS_gettid); }

// Processor time of every thread of the process (ns) and its name.
struct ThreadTime {
  std::string name;
  uint64_t ns = 0;
};
std::map<pid_t, ThreadTime> ThreadTimes() {
  std::map<pid_t, ThreadTime> out;
  for (const auto& e : fs::directory_iterator("/proc/self/task")) {
    pid_t tid = (pid_t)std::stol(e.path().filename().string());
    ThreadTime t;
    std::ifstream(e.path() / "comm") >> t.name;
    std::ifstream(e.path() / "schedstat") >> t.ns;
    out[tid] = t;
  }
  return out;
}

struct Pin {
  HANDLE filter = nullptr, pin = nullptr;
  std::unique_ptr<ks::ReferenceClock> clock;
  std::vector<std::vector<uint8_t>> buffers;
  bool video = false;
};

struct Channel {
  std::unique_ptr<board::EncoderBoard> board;
  pci::Slot* slot = nullptr;
  pci::ResourceList resources;
  size_t index = 0;
  Pin pins[3];  // preview, H.264 main, audio
};

KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(const KSPIN_DESCRIPTOR& pin, ULONG fourcc, LONG w, LONG h) {
  KS_DATAFORMAT_VIDEOINFOHEADER f{};
  for (ULONG i = 0; i < pin.DataRangesCount; i++) {
    auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pin.DataRanges[i]);
    const KS_BITMAPINFOHEADER& b = r->VideoInfoHeader.bmiHeader;
    if (b.biCompression != fourcc || b.biWidth != w || b.biHeight != h) continue;
    std::memcpy(&f.DataFormat, &r->DataRange, sizeof(KSDATAFORMAT));
    f.DataFormat.FormatSize = sizeof(f);
    f.VideoInfoHeader = r->VideoInfoHeader;
    f.VideoInfoHeader.AvgTimePerFrame = 333333;
    return f;
  }
  return f;
}

std::vector<uint8_t> MonoFormat(const KSPIN_DESCRIPTOR& pin) {
  std::vector<uint8_t> bytes(AUDIO_FORMAT_BYTES, 0);
  KSDATAFORMAT head;
  std::memcpy(&head, pin.DataRanges[0], sizeof(head));
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

void BM_LiveChannels(benchmark::State& state) {
  const int channels = (int)state.range(0);
  const double seconds = (double)state.range(1);
  const bool replay = state.range(2) != 0;
  fs::path root = fs::temp_directory_path() / ("vorlix-bench-streaming." + std::to_string(::getpid()));
  for (auto _ : state) {
    machine::ResetMachine();
    machine::RegistryReset();
    pci::Reset();
    fs::create_directories(root / "C" / "WINDOWS" / "VORLIX");
    machine::SetDriveFolder('C', root / "C");
    {
      std::string text = board::FirmwareHexText(board::SampleFirmwareImage(4096));
      std::ofstream(root / "C" / "WINDOWS" / "VORLIX" / "VORLIX.HD.HEX", std::ios::binary) << text;
    }
    machine::UseRealClock();
    machine::SetDelayScale(1);
    machine::SetMode(machine::Mode::Threaded);
    pci::SetHighMemoryPresent(true);

    std::vector<Channel> boards(channels);
    auto harness = std::make_unique<ks::PnpHarness>(DriverEntry);
    if (harness->Load() != STATUS_SUCCESS) return state.SkipWithError("the driver does not load");
    for (Channel& c : boards) {
      c.board = std::make_unique<board::EncoderBoard>();
      PCI_IDENTITY id{};
      BoardKindIdentity(BOARD_KIND_ENCODER, &id);
      c.board->SetIdentity(board::IdentityFrom(id));
      c.board->encoder().SetSignal(board::InputFormat::k1080p30);
      c.board->encoder().SetReplay(replay);
      c.slot = pci::PlugIn(*c.board);
      c.resources = pci::TranslatedResources(*c.slot);
      if (harness->AddDevice(pci::BusData, c.slot, &c.index, c.slot->busNumber()) != STATUS_SUCCESS ||
          harness->StartDevice(c.index, c.resources.get(), c.resources.get()) != STATUS_SUCCESS)
        return state.SkipWithError("a board does not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // the monitors find the signal

    auto client = std::make_unique<ks::KsClient>();
    for (Channel& c : boards) {
      PKSDEVICE device = harness->Device(c.index);
      const GUID* categories[3] = {&KSCATEGORY_VIDEO, &KSCATEGORY_VIDEO, &KSCATEGORY_AUDIO};
      for (int p = 0; p < 3; p++) {
        Pin& pin = c.pins[p];
        const ks::FilterListing* listing = nullptr;
        auto list = client->ListFilters(*categories[p]);
        for (const auto& l : list)
          if (l.Device == device) {
            listing = &l;
            break;
          }
        if (!listing || client->OpenFilter(*listing, &pin.filter) != STATUS_SUCCESS)
          return state.SkipWithError("no capture filter");
        const KSPIN_DESCRIPTOR& d = listing->Descriptor->PinDescriptors[0].PinDescriptor;
        KS_DATAFORMAT_VIDEOINFOHEADER video = VideoFormat(d, p == 0 ? kYV12 : kH264, 1920, 1080);
        std::vector<uint8_t> audio = MonoFormat(d);
        const KSDATAFORMAT* format = p < 2 ? &video.DataFormat : reinterpret_cast<const KSDATAFORMAT*>(audio.data());
        pin.video = p < 2;
        if (client->CreatePin(pin.filter, 0, format, &pin.pin) != STATUS_SUCCESS)
          return state.SkipWithError("a pin is not created");
        pin.clock = std::make_unique<ks::ReferenceClock>();
        client->SetMasterClock(pin.pin, pin.clock.get());
        KSALLOCATOR_FRAMING_EX framing{};
        client->AllocatorFraming(pin.pin, &framing);
        const ULONG count = std::min<ULONG>(framing.FramingItem[0].Frames, 8);
        pin.buffers.assign(count, std::vector<uint8_t>(framing.FramingItem[0].FramingRange.Range.MaxFrameSize));
        client->SetState(pin.pin, KSSTATE_PAUSE);
        for (size_t b = 0; b < pin.buffers.size(); b++)
          client->Submit(pin.pin, pin.buffers[b].data(), (ULONG)pin.buffers[b].size(), b);
      }
    }
    for (Channel& c : boards)
      for (Pin& p : c.pins) client->SetState(p.pin, KSSTATE_RUN);

    // One application thread a board: every buffer that comes back is counted and queued
    // again.
    std::atomic<bool> stop{false}, counting{false};
    std::atomic<uint64_t> videoFrames{0}, buffers{0};
    std::mutex tidsMu;
    std::set<pid_t> clientThreads;
    std::vector<std::thread> threads;
    for (Channel& c : boards)
      threads.emplace_back([&, ch = &c] {
        {
          std::lock_guard<std::mutex> l(tidsMu);
          clientThreads.insert(ThisThread());
        }
        while (!stop) {
          bool any = false;
          for (Pin& p : ch->pins) {
            ks::CompletedFrame done;
            while (client->Collect(p.pin, &done, 0)) {
              any = true;
              if (counting && done.Status == STATUS_SUCCESS && done.Header.DataUsed) {
                buffers++;
                if (p.video) videoFrames++;
              }
              client->Submit(p.pin, done.Data, done.FrameExtent, done.Tag);
            }
          }
          if (!any) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // every stream under way

    auto dmaCopies = [&] {
      uint64_t ns = 0;
      for (Channel& c : boards) ns += c.board->encoder().DmaCopyNanoseconds();
      return ns;
    };
    const pid_t self = ThisThread();
    auto before = ThreadTimes();
    const uint64_t dmaBefore = dmaCopies();
    const auto wallBefore = std::chrono::steady_clock::now();
    counting = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    counting = false;
    const auto wallAfter = std::chrono::steady_clock::now();
    auto after = ThreadTimes();
    const uint64_t dmaNs = dmaCopies() - dmaBefore;

    uint64_t machineNs = 0, boardNs = 0, clientNs = 0, interruptNs = 0;
    {
      std::lock_guard<std::mutex> l(tidsMu);
      for (const auto& [tid, t] : after) {
        if (tid == self) continue;
        auto b = before.find(tid);
        const uint64_t used = t.ns - (b == before.end() ? 0 : b->second.ns);
        if (t.name == "board")
          boardNs += used;
        else if (clientThreads.count(tid))
          clientNs += used;
        else
          machineNs += used;
        if (t.name == "interrupt") interruptNs += used;
      }
    }
    const uint64_t driverNs = machineNs > dmaNs ? machineNs - dmaNs : 0;
    const double wall = std::chrono::duration<double>(wallAfter - wallBefore).count();
    // Each channel's preview frames are a thirtieth of a second of its input.
    const double channelSeconds = (double)videoFrames / 2 / 30;

    stop = true;
    for (auto& t : threads) t.join();
    if (const char* path = std::getenv("VORLIX_BENCH_LOG")) machine::SaveDebugLog(path);
    client.reset();  // every pin stopped and closed, then the filters
    for (Channel& c : boards) {
      harness->StopDevice(c.index);
      harness->RemoveDevice(c.index);
    }
    harness->Unload();
    harness.reset();
    for (Channel& c : boards) pci::Unplug(c.slot);
    boards.clear();
    machine::ShutdownMachine();

    state.counters["video_frames"] = (double)videoFrames;
    state.counters["buffers"] = (double)buffers;
    state.counters["driver_ms"] = driverNs / 1e6;
    state.counters["dma_copy_ms"] = dmaNs / 1e6;
    // Of the driver's time, the interrupt delivery thread's: the interrupt routine, and the
    // simulated line's re-delivery while the routine's gate is shut.
    state.counters["interrupt_thread_ms"] = interruptNs / 1e6;
    state.counters["driver_us_per_frame"] = videoFrames ? driverNs / 1e3 / videoFrames : 0;
    state.counters["driver_us_per_buffer"] = buffers ? driverNs / 1e3 / buffers : 0;
    state.counters["realtime_x"] = driverNs ? channelSeconds / (driverNs / 1e9) / channels : 0;
    state.counters["channels_per_core"] = driverNs ? channelSeconds / (driverNs / 1e9) : 0;
    state.counters["delivered_fps_per_channel"] = wall > 0 ? videoFrames / 2.0 / wall / channels : 0;
    state.counters["board_cpu_share"] = wall > 0 ? boardNs / 1e9 / wall : 0;
    state.counters["client_us_per_buffer"] = buffers ? clientNs / 1e3 / buffers : 0;
  }
  std::error_code ec;
  fs::remove_all(root, ec);
}
// channels x seconds of streaming x replay (the board sends one GOP's pictures and
// packets round again instead of drawing and encoding every frame)
BENCHMARK(BM_LiveChannels)
    ->ArgNames({"channels", "seconds", "replay"})
    ->Args({1, 5, 0})
    ->Args({1, 5, 1})
    ->Args({4, 5, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
