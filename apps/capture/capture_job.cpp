#include "apps/capture/capture_job.h"
#include "apps/capture/property_pages.h"

#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <ostream>
#include <system_error>

#include "apps/capture/capture_streams.h"
#include "apps/capture/report.h"
#include "apps/capture/virtual_camera.h"
#include "driver/core/board_kinds.h"
#include "driver/core/driver_entry.h"
#include "platform/board/board.h"
#include "platform/board/encoder_core.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"

namespace vorlix::capture {

namespace pk = platform::kernel;
namespace board = platform::board;
namespace fs = std::filesystem;

namespace {

// The encoder board in slot 0: 1080p30 on its SDI input.
struct EncoderSlot {
  board::EncoderBoard board;
  platform::pci::Slot* slot = nullptr;
  platform::pci::ResourceList resources;
  EncoderSlot() {
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    board.SetIdentity(board::IdentityFrom(id));
    board.encoder().SetSignal(board::InputFormat::k1080p30);
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
  std::string text = board::FirmwareHexText(board::SampleFirmwareImage(4096));
  std::ofstream out(dir / "VORLIX.HD.HEX", std::ios::binary);
  out.write(text.data(), (std::streamsize)text.size());
  return !ec && out.good();
}

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)g.Data1,
                (unsigned)g.Data2, (unsigned)g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// What the device's start made of the encoder, as its debugger log tells it: the firmware
// is downloaded at start; the encoder boots with the first stream.
void ReportEncoder(Summary& summary) {
  bool downloaded = false;
  for (const std::string& line : pk::DebugLogLines())
    downloaded =
        downloaded || (line.rfind("TOTAL DOWNLOAD TIMES", 0) == 0 && line.find("(SUCCESS)") != std::string::npos);
  if (downloaded)
    summary.Line("encoder firmware", "downloaded");
  else
    summary.Fail("encoder firmware", "NOT DOWNLOADED");
}

// The capture filters the device offers, as an application finds them.
void ListFilters(Summary& summary) {
  platform::ks::KsClient client;
  auto listed = [&client](const GUID& category, const platform::ks::FilterListing& f) {
    for (const platform::ks::FilterListing& c : client.ListFilters(category))
      if (c.Device == f.Device && c.ReferenceString == f.ReferenceString) return true;
    return false;
  };
  std::vector<platform::ks::FilterListing> capture = client.ListFilters(KSCATEGORY_CAPTURE);
  for (const platform::ks::FilterListing& f : capture) {
    const char* kind = listed(KSCATEGORY_VIDEO, f)   ? "video capture"
                       : listed(KSCATEGORY_AUDIO, f) ? "audio capture"
                                                     : "capture";
    summary.Line("filter", std::string(kind) + " " + GuidText(f.ReferenceGuid));
  }
  if (capture.empty()) summary.Fail("filters", "NONE FOUND");
}

// The receiver's detections the monitor has logged with this width and height.
size_t DetectionsOf(ULONG width, ULONG height) {
  std::string key = " \xA1\xD1 " + std::to_string(width) + " \xA1\xD1 " + std::to_string(height) + " \xA1\xD1 ";
  size_t n = 0;
  for (const std::string& line : pk::DebugLogLines())
    if (line.rfind("GV7601_SDI_MODE_DETECT( ", 0) == 0 && line.find(key) != std::string::npos) n++;
  return n;
}

// After the capture the input changes to 720p60 (from 1080p30, or is plugged in after a
// run without it), and the monitor thread must follow it; it looks every half second, so
// it gets up to two seconds to show it.
void FollowSignalChange(board::EncoderBoard& b, bool noSignal, Summary& summary) {
  size_t before = DetectionsOf(1280, 720);
  b.encoder().SetSignal(board::InputFormat::k720p60);
  for (int waited = 0; DetectionsOf(1280, 720) == before && waited < 20; waited++) PassMachineTime(0.1);
  const std::string change = noSignal ? "no signal" : "1920 x 1080 at 30";
  if (DetectionsOf(1280, 720) > before)
    summary.Line("signal change", change + " -> 1280 x 720 at 60, followed by the monitor");
  else
    summary.Fail("signal change", change + " -> 1280 x 720 at 60 NOT FOLLOWED by the monitor");
}

// What the driver told the board's encoder for the two streams, as the board recorded it:
// the captured streams must say the same.
void ReportEncoderStreams(board::EncoderBoard& b, Summary& summary) {
  const board::EncoderState state = b.encoder().state();
  const char* const names[2] = {"main encoder", "sub encoder"};
  for (int s = 0; s < 2; s++) {
    const board::EncoderStreamState& st = state.stream[s];
    char text[160];
    std::snprintf(
        text, sizeof(text), "%u x %u, GOP %u, %s %u, %u access units", (unsigned)st.width, (unsigned)st.height,
        (unsigned)st.gop, st.mode == 1 && st.bitRateKbits ? "bit rate (kbit/s)" : "quantiser",
        (unsigned)(st.mode == 1 && st.bitRateKbits ? st.bitRateKbits : st.quantiser), (unsigned)state.streamPackets[s]);
    summary.Line(names[s], text);
  }
}

// The run: the machine's threads, DPCs and timers go on by themselves while the job
// captures channel 0.
void RunFor(const Options& options, board::EncoderBoard& b, Summary& summary) {
  if (options.seconds > 0) {
    CaptureSettings settings;
    settings.out = options.out;
    settings.seconds = options.seconds;
    settings.noSignal = options.noSignal;
    CaptureChannel0(settings, summary);
    ReportEncoderStreams(b, summary);
    if (options.virtualCamera) RunVirtualCamera({options.out, options.seconds, options.virtualFile}, summary);
    FollowSignalChange(b, options.noSignal, summary);
  }
  char ran[48];
  std::snprintf(ran, sizeof(ran), "%g s%s", options.seconds, options.noSignal ? ", input unplugged" : "");
  summary.Line("board 0 run", ran);
}

}  // namespace

std::string Usage() {
  return "usage: vorlix-capture [--root DIR] [--out DIR] [--seconds N] [--no-signal] [--virtual [FILE]]\n";
}

bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error) {
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& arg = args[i];
    if (arg == "--no-signal") {
      options->noSignal = true;
      continue;
    }
    if (arg == "--virtual") {
      // The file is optional: a next word that is no option is it.
      options->virtualCamera = true;
      if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') options->virtualFile = args[++i];
      continue;
    }
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
  report << "vorlix-capture: machine under " << options.root.string() << ", output in " << options.out.string() << "\n";

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
  if (options.testClock)
    pk::UseJumpingTestClock();
  else
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
    // On the jumping clock this thread is one of the machine's: time moves on only while
    // it waits too, so the job never falls behind the board.
    std::optional<pk::MachineThreadScope> machineThread;
    if (options.testClock) machineThread.emplace();
    platform::pci::Reset();
    // The machine has RAM above 4 GB, as the boards' hosts do; PCI start probes for it.
    platform::pci::SetHighMemoryPresent(true);
    EncoderSlot encoder;
    if (options.noSignal) encoder.board.encoder().SetSignal(board::InputFormat::kNone);
    if (options.beforeLoad) options.beforeLoad(encoder.board);
    platform::ks::PnpHarness harness(DriverEntry);
    NTSTATUS status = harness.Load();
    summary.Step("driver load", status);
    if (NT_SUCCESS(status)) {
      size_t board = 0;
      status = harness.AddDevice(platform::pci::BusData, encoder.slot, &board, encoder.slot->busNumber());
      summary.Step("board 0 add", status);
      if (NT_SUCCESS(status)) {
        std::optional<VirtualDeviceSwitch> virtualSwitch;
        if (options.virtualCamera) virtualSwitch.emplace(harness.Device(board)->PhysicalDeviceObject->HostInstance);
        status = harness.StartDevice(board, encoder.resources.get(), encoder.resources.get());
        summary.Step("board 0 start", status);
        virtualSwitch.reset();
        if (NT_SUCCESS(status)) {
          ReportEncoder(summary);
          ListFilters(summary);
          ShowPropertyPage(options.out, options.seconds,
                           [&summary](const std::string& s, const std::string& r, bool ok) {
                             ok ? summary.Line(s, r) : summary.Fail(s, r);
                           });
          RunFor(options, encoder.board, summary);
          // The device's stop saves the settings into the registry.
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

  if (summary.ok)
    report << "vorlix-capture: done\n";
  else
    report << "vorlix-capture: FAILED: " << summary.failed << "\n";
  return summary.ok ? 0 : 1;
}

}  // namespace vorlix::capture
