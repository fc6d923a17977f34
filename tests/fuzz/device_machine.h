// The machine the device-file fuzz targets run on: one simulated encoder board plugged
// in and its device started once for the whole run by the driver's own entry and start,
// its hardware then stopped so that each input drives the board alone; and the checks every input must pass:
// no pool left allocated, no verifier report, no board protocol violation, no bus fault.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/driver_entry.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/encoder.h"
#include "driver/hardware/firmware.h"
#include "driver/hardware/lifecycle.h"
#include "driver/hardware/registers.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"

namespace pk = platform::kernel;
namespace pci = platform::pci;
namespace fs = std::filesystem;

namespace fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "device files: %s\n", what.c_str());
  std::abort();
}

// One machine for the whole run: a board plugged in and its device started.
struct Machine {
  platform::board::EncoderBoard board;
  pci::Slot* slot = nullptr;
  pci::ResourceList resources;
  platform::ks::PnpHarness* harness = nullptr;
  CDevice* device = nullptr;
  fs::path dir;

  Machine() {
    fs::path root = fs::temp_directory_path() / ("vorlix-fuzz." + std::to_string(::getpid()));
    dir = root / "WINDOWS" / "VORLIX";
    fs::create_directories(dir);
    pk::ResetMachine();
    pk::RegistryReset();
    pk::SetDriveFolder('C', root);
    pci::Reset();
    pk::UseRealClock();
    pk::SetDelayScale(0);
    pk::SetMode(pk::Mode::Threaded);
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    board.SetIdentity(platform::board::IdentityFrom(id));
    slot = pci::PlugIn(board);
    resources = pci::TranslatedResources(*slot);
    harness = new platform::ks::PnpHarness(DriverEntry);
    size_t index = 0;
    if (harness->Load() != STATUS_SUCCESS || harness->AddDevice(pci::BusData, slot, &index) != STATUS_SUCCESS ||
        harness->StartDevice(index, resources.get(), resources.get()) != STATUS_SUCCESS)
      Fail("the board does not start");
    device = DeviceOf(harness->Device(index));
    // The monitor thread would share the buses with every input and allocate behind the
    // pool check: stop the hardware, as leaving full power does.
    VORLIX_HwUninitialize(device);
    Check();
  }

  void Write(const char* name, const uint8_t* data, size_t size) {
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.good()) Fail(std::string("cannot write ") + name);
  }

  // Runs one download and checks what it must leave behind.
  template <typename Download>
  void Run(Download download) {
    int64_t before = pk::PoolLiveBlocks();
    download();
    if (pk::PoolLiveBlocks() != before) Fail("pool left allocated by one download");
    Check();
  }

  void Check() {
    for (const auto& f : pk::TakeVerifierFailures()) Fail("verifier: " + pk::FormatVerifierFailure(f));
    if (!board.Violations().empty()) Fail("board: " + board.Violations().front());
    if (!pci::Faults().empty()) Fail("bus: " + pci::Faults().front());
    pk::ClearDebugLog();
  }
};

inline Machine& M() {
  static Machine* m = new Machine;  // lives for the whole run, as the machine would
  return *m;
}

}  // namespace fuzz
