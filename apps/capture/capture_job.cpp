#include "apps/capture/capture_job.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <system_error>
#include <thread>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/driver_entry.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/encoder.h"
#include "driver/hardware/firmware.h"
#include "driver/hardware/receiver.h"
#include "platform/board/board.h"
#include "platform/board/encoder_core.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"

namespace vorlix::capture {

namespace pk = platform::kernel;
namespace fs = std::filesystem;

namespace {

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", (unsigned)status);
  return text;
}

// One line of the summary: a stage and how it went. Every stage that fails is named
// again in the last line, and fails the run.
struct Summary {
  std::ostream& out;
  bool ok = true;
  std::string failed = {};
  void Line(const std::string& stage, const std::string& result) {
    out << "  " << stage;
    for (size_t n = stage.size(); n < 24; n++) out << ' ';
    out << result << "\n";
  }
  void Fail(const std::string& stage, const std::string& result) {
    Line(stage, result);
    ok = false;
    failed += (failed.empty() ? "" : ", ") + stage;
  }
  void Step(const std::string& stage, NTSTATUS status) {
    if (NT_SUCCESS(status))
      Line(stage, "ok");
    else
      Fail(stage, "FAILED " + StatusText(status));
  }
};

// What the system does not reach yet; said plainly at the end of every run.
const char* const kNotBuiltYet[] = {
    "device start and stop: PCI start, the settings load, hardware initialisation and the monitor thread "
    "(the job does PCI start, loads the settings and brings the encoder up itself; nothing saves the settings yet)",
    "capture filters, pins and streaming (no frames, H.264 or audio are written)",
    "property sets and the property-page plug-in",
};

// The encoder board in slot 0: 1080p30 on its SDI input.
struct EncoderSlot {
  platform::board::EncoderBoard board;
  platform::pci::Slot* slot = nullptr;
  platform::pci::ResourceList resources;
  EncoderSlot() {
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    board.SetIdentity(platform::board::IdentityFrom(id));
    board.encoder().SetSignal(platform::board::InputFormat::k1080p30);
    slot = platform::pci::PlugIn(board);
    resources = platform::pci::TranslatedResources(*slot);
  }
  ~EncoderSlot() { platform::pci::Unplug(slot); }
};

// The firmware image the board accepts, in the device-info directory on drive C:.
bool PlaceFirmware(const fs::path& cDrive) {
  std::error_code ec;
  fs::path dir = cDrive / "WINDOWS" / "VORLIX";
  fs::create_directories(dir, ec);
  std::string text = platform::board::FirmwareHexText(platform::board::SampleFirmwareImage(4096));
  std::ofstream out(dir / "VORLIX.HD.HEX", std::ios::binary);
  out.write(text.data(), (std::streamsize)text.size());
  return !ec && out.good();
}

// What device start does not do yet, done here so the encoder can be brought up: PCI
// start, the settings, the state block. Undone by EncoderTearDown in reverse.
struct EncoderRun {
  bool pciStarted = false;
  bool stateAllocated = false;
};
const ULONG kStateTag = MakePoolTag("Wdm ");

NTSTATUS EncoderBringUp(PKSDEVICE kdev, EncoderSlot& encoder, EncoderRun* run, Summary& summary) {
  CDevice* d = DeviceOf(kdev);
  if (!d->m_pBar[0]) {
    NTSTATUS status = d->Initialize(kdev, nullptr, encoder.resources.get());
    summary.Step("board 0 PCI start", status);
    if (!NT_SUCCESS(status)) return status;
    run->pciStarted = true;
  }
  if (!d->m_szDeviceInfoDirectory[0]) {
    d->PresetSettings();
    d->LoadSettings();
  }
  if (!d->m_pBoardState) {
    d->m_pBoardState = static_cast<BoardState*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(BoardState), kStateTag));
    if (!d->m_pBoardState) {
      summary.Step("board 0 state block", STATUS_INSUFFICIENT_RESOURCES);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(d->m_pBoardState, sizeof(BoardState));
    run->stateAllocated = true;
  }
  // The input as the monitor thread would find it.
  BOOLEAN ok = VORLIX_EncoderBringUp(d, FALSE, FALSE);
  if (ok)
    summary.Line("encoder firmware", "downloaded");
  else
    summary.Fail("encoder firmware", "FAILED");
  BOOLEAN picture = VORLIX_DownloadLogoPictures(d, u"NO.SIGNAL.BMP");
  summary.Line("no-signal picture", picture ? "from NO.SIGNAL.BMP" : "built-in");
  SDI_FORMAT format{};
  if (VORLIX_DetectSdiMode(d, &format)) {
    BoardState* s = d->m_pBoardState;
    s->nSignalWidth = format.nWidth;
    s->nSignalHeight = format.nHeight;
    s->nSignalFrameRate = format.nFrameRate;
    s->bSignalFractional = format.bFractional;
    s->bSignalInterlaced = format.nHeight == 240 || format.nHeight == 288 || format.nHeight == 540;
    s->nSignalAudioRate = 48000;
  }
  summary.Line("encoder input", std::to_string(format.nWidth) + " x " + std::to_string(format.nHeight) + " at " +
                                    std::to_string(format.nFrameRate));
  ok = ok && VORLIX_EncoderBringUp(d, FALSE, TRUE);
  if (ok) VORLIX_ApplySettings(d);
  platform::board::EncoderState state = encoder.board.encoder().state();
  ok = ok && state.booted && state.configEnded;
  if (ok)
    summary.Line("encoder bring-up",
                 "booted, configured, " + std::to_string(encoder.board.encoder().Commands().size()) + " commands");
  else
    summary.Fail("encoder bring-up", "FAILED");
  return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void EncoderTearDown(PKSDEVICE kdev, EncoderRun* run) {
  CDevice* d = DeviceOf(kdev);
  if (run->stateAllocated && d->m_pBoardState) {
    ExFreePoolWithTag(d->m_pBoardState, kStateTag);
    d->m_pBoardState = nullptr;
  }
  if (run->pciStarted) d->Uninitialize(kdev, nullptr);
  *run = EncoderRun{};
}

}  // namespace

std::string Usage() { return "usage: vorlix-capture [--root DIR] [--out DIR] [--seconds N]\n"; }

bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error) {
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& arg = args[i];
    if (arg != "--root" && arg != "--out" && arg != "--seconds") {
      *error = "unknown argument '" + arg + "'";
      return false;
    }
    if (i + 1 >= args.size() || args[i + 1].empty()) {
      *error = arg + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    if (arg == "--root") {
      options->root = value;
    } else if (arg == "--out") {
      options->out = value;
    } else {
      char* end = nullptr;
      double seconds = std::strtod(value.c_str(), &end);
      if (end == value.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 86400) {
        *error = "--seconds takes a number from 0 to 86400, not '" + value + "'";
        return false;
      }
      options->seconds = seconds;
    }
  }
  return true;
}

int Run(const Options& options, std::ostream& report) {
  Summary summary{report};
  report << "vorlix-capture: machine under " << options.root.string() << ", output in " << options.out.string()
         << "\n";

  // The machine: its C: drive is a folder under the root.
  std::error_code ec;
  fs::create_directories(options.root / "C", ec);
  if (ec) {
    report << "vorlix-capture: cannot create " << (options.root / "C").string() << ": " << ec.message() << "\n";
    return 1;
  }
  fs::create_directories(options.out, ec);
  if (ec) {
    report << "vorlix-capture: cannot create " << options.out.string() << ": " << ec.message() << "\n";
    return 1;
  }
  pk::ResetMachine();
  pk::SetDriveFolder('C', options.root / "C");
  if (!PlaceFirmware(options.root / "C")) {
    report << "vorlix-capture: cannot write the firmware image under " << (options.root / "C").string() << "\n";
    return 1;
  }
  pk::UseRealClock();
  pk::SetDelayScale(options.delayScale);
  pk::SetMode(pk::Mode::Threaded);

  // The registry lives in <root>/registry.reg between runs (a missing file is a fresh
  // registry); a file that cannot be read stops the run rather than being overwritten.
  std::string registryError;
  std::string registryFile = (options.root / "registry.reg").string();
  if (!pk::RegistryAttachFile(registryFile, &registryError)) {
    report << "vorlix-capture: " << registryError << "\n";
    pk::ShutdownMachine();
    return 1;
  }

  {
    platform::pci::Reset();
    // The machine has RAM above 4 GB, as the boards' hosts do; PCI start probes for it.
    platform::pci::SetHighMemoryPresent(true);
    EncoderSlot encoder;
    EncoderRun encoderRun;
    if (options.beforeLoad) options.beforeLoad(encoder.board);
    platform::ks::PnpHarness harness(DriverEntry);
    NTSTATUS status = harness.Load();
    summary.Step("driver load", status);
    if (NT_SUCCESS(status)) {
      size_t board = 0;
      status = harness.AddDevice(platform::pci::BusData, encoder.slot, &board, encoder.slot->busNumber());
      summary.Step("board 0 add", status);
      if (NT_SUCCESS(status)) {
        status = harness.StartDevice(board, encoder.resources.get(), encoder.resources.get());
        summary.Step("board 0 start", status);
        if (NT_SUCCESS(status)) {
          // Each stage reports itself; a failure that reached no line still fails the run.
          NTSTATUS bringUp = EncoderBringUp(harness.Device(board), encoder, &encoderRun, summary);
          if (!NT_SUCCESS(bringUp) && summary.ok) summary.Step("encoder bring-up", bringUp);
        }
        if (NT_SUCCESS(status)) {
          // Nothing streams yet: the machine just runs (its threads, DPCs and timers).
          auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(options.seconds));
          while (std::chrono::steady_clock::now() < until) {
            auto left = until - std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(100)));
          }
          char ran[32];
          std::snprintf(ran, sizeof(ran), "%g s", options.seconds);
          summary.Line("board 0 run", ran);
          EncoderTearDown(harness.Device(board), &encoderRun);
          summary.Step("board 0 stop", harness.StopDevice(board));
        }
        summary.Step("board 0 remove", harness.RemoveDevice(board));
      }
      status = harness.Unload();
      if (NT_SUCCESS(status))
        summary.Line("driver unload", "ok, no pool left");
      else
        summary.Fail("driver unload", "POOL LEAKED");
    }
  }

  // The board is unplugged: nothing the driver took from the bus may be left.
  std::vector<std::string> outstanding = platform::pci::Outstanding();
  if (outstanding.empty())
    summary.Line("bus resources", "none left");
  else
    summary.Fail("bus resources", "LEFT ALLOCATED");
  for (const auto& line : outstanding) report << "    " << line << "\n";

  // The saved registry goes with the run's output too, as it stood when the run ended.
  fs::path savedRegistry = options.out / "registry.reg";
  if (!pk::RegistrySaveFile(savedRegistry.string(), &registryError)) {
    summary.Fail("saved registry", "CANNOT WRITE: " + registryError);
  }
  if (pk::RegistryDetachFile(&registryError)) {
    summary.Line("registry", registryFile + ", saved to " + savedRegistry.string());
  } else {
    summary.Fail("registry", "CANNOT SAVE: " + registryError);
  }

  pk::ShutdownMachine();
  auto failures = pk::VerifierFailures();
  if (failures.empty())
    summary.Line("verifier", "no failures");
  else
    summary.Fail("verifier", std::to_string(failures.size()) + " FAILURES");
  for (const auto& failure : failures) report << "    " << pk::FormatVerifierFailure(failure) << "\n";

  fs::path log = options.out / "debug.log";
  if (pk::SaveDebugLog(log)) {
    summary.Line("debugger log", log.string() + " (" + std::to_string(pk::DebugLogLines().size()) + " lines)");
  } else {
    summary.Fail("debugger log", "CANNOT WRITE " + log.string());
  }

  report << "not built yet:\n";
  for (const char* stage : kNotBuiltYet) report << "  - " << stage << "\n";
  if (summary.ok)
    report << "vorlix-capture: done\n";
  else
    report << "vorlix-capture: FAILED: " << summary.failed << "\n";
  return summary.ok ? 0 : 1;
}

}  // namespace vorlix::capture
