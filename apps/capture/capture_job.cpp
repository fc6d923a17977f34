#include "apps/capture/capture_job.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <system_error>
#include <thread>

#include "driver/core/driver_entry.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/harness.h"

namespace vorlix::capture {

namespace pk = platform::kernel;
namespace fs = std::filesystem;

namespace {

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", (unsigned)status);
  return text;
}

// One line of the summary: a stage and how it went.
struct Summary {
  std::ostream& out;
  bool ok = true;
  void Line(const std::string& stage, const std::string& result) {
    out << "  " << stage;
    for (size_t n = stage.size(); n < 24; n++) out << ' ';
    out << result << "\n";
  }
  void Step(const std::string& stage, NTSTATUS status) {
    Line(stage, NT_SUCCESS(status) ? "ok" : "FAILED " + StatusText(status));
    if (!NT_SUCCESS(status)) ok = false;
  }
};

// What the system does not reach yet; said plainly at the end of every run.
const char* const kNotBuiltYet[] = {
    "PCI start and the simulated encoder board (the board is plugged in without resources)",
    "encoder bring-up, firmware download and the monitor thread",
    "capture filters, pins and streaming (no frames, H.264 or audio are written)",
    "property sets",
    "settings load and save (the registry file is kept, but nothing reads or writes it yet)",
};

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
  pk::UseRealClock();
  pk::SetDelayScale(1.0);
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
    platform::ks::PnpHarness harness(DriverEntry);
    NTSTATUS status = harness.Load();
    summary.Step("driver load", status);
    if (NT_SUCCESS(status)) {
      size_t board = 0;
      status = harness.AddDevice(nullptr, nullptr, &board);
      summary.Step("board 0 add", status);
      if (NT_SUCCESS(status)) {
        // No resources until the PCI layer hands out the board's windows and interrupt.
        CM_RESOURCE_LIST translated{};
        CM_RESOURCE_LIST raw{};
        status = harness.StartDevice(board, &translated, &raw);
        summary.Step("board 0 start", status);
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
          summary.Step("board 0 stop", harness.StopDevice(board));
        }
        summary.Step("board 0 remove", harness.RemoveDevice(board));
      }
      status = harness.Unload();
      summary.Line("driver unload", NT_SUCCESS(status) ? "ok, no pool left" : "POOL LEAKED");
      if (!NT_SUCCESS(status)) summary.ok = false;
    }
  }

  if (pk::RegistryDetachFile(&registryError)) {
    summary.Line("registry", registryFile);
  } else {
    summary.Line("registry", "CANNOT SAVE: " + registryError);
    summary.ok = false;
  }

  pk::ShutdownMachine();
  auto failures = pk::VerifierFailures();
  summary.Line("verifier", failures.empty() ? "no failures" : std::to_string(failures.size()) + " FAILURES");
  for (const auto& failure : failures) report << "    " << pk::FormatVerifierFailure(failure) << "\n";
  if (!failures.empty()) summary.ok = false;

  fs::path log = options.out / "debug.log";
  if (pk::SaveDebugLog(log)) {
    summary.Line("debugger log", log.string() + " (" + std::to_string(pk::DebugLogLines().size()) + " lines)");
  } else {
    summary.Line("debugger log", "CANNOT WRITE " + log.string());
    summary.ok = false;
  }

  report << "not built yet:\n";
  for (const char* stage : kNotBuiltYet) report << "  - " << stage << "\n";
  report << (summary.ok ? "vorlix-capture: done\n" : "vorlix-capture: FAILED\n");
  return summary.ok ? 0 : 1;
}

}  // namespace vorlix::capture
