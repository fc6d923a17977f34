// Formats and ranges from an application on any bytes, against the encoder board's
// capture filters: data intersections with a list of caller ranges, pin creation with a
// format, and a format change on a running pin. Every refusal must be a status; nothing
// may be read past the caller's bytes (each request is its own exact-sized allocation)
// and every pin and its buffers go again with their close.
//
// Input: byte 0 picks the filter (even: video, odd: audio) and the request (bits 1-2:
// intersection, pin creation, running format change); the rest is the range or format,
// whose FormatSize is taken as given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/driver_entry.h"
#include "driver/hardware/lifecycle.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"

namespace ks = platform::ks;
namespace pk = platform::kernel;
namespace pci = platform::pci;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "pin formats: %s\n", what);
  std::abort();
}

struct Machine {
  std::unique_ptr<platform::board::GenericBoard> board;
  pci::Slot* slot = nullptr;
  pci::ResourceList resources;
  ks::PnpHarness* harness = nullptr;
  ks::KsClient client;
  HANDLE filters[2] = {};

  Machine() {
    pk::ResetMachine();
    pk::RegistryReset();
    pci::Reset();
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    board = std::make_unique<platform::board::GenericBoard>(platform::board::IdentityFrom(id), 0x10000, 0x400000);
    slot = pci::PlugIn(*board);
    resources = pci::TranslatedResources(*slot);
    harness = new ks::PnpHarness(DriverEntry);
    size_t index = 0;
    if (harness->Load() != STATUS_SUCCESS || harness->AddDevice(pci::BusData, slot, &index) != STATUS_SUCCESS ||
        harness->StartDevice(index, resources.get(), resources.get()) != STATUS_SUCCESS)
      Fail("the board does not start");
    // The monitor thread's signal passes play no part in formats, and a thread still
    // logging while the process exits would outlive the machine's log.
    VORLIX_StopMonitorThread(DeviceOf(harness->Device(index)));
    const GUID* categories[2] = {&KSCATEGORY_VIDEO, &KSCATEGORY_AUDIO};
    for (int i = 0; i < 2; i++) {
      auto list = client.ListFilters(*categories[i]);
      if (list.empty() || client.OpenFilter(list[0], &filters[i]) != STATUS_SUCCESS) Fail("no capture filter");
    }
  }

  void Check() {
    for (const auto& f : pk::TakeVerifierFailures()) {
      std::fprintf(stderr, "%s\n", pk::FormatVerifierFailure(f).c_str());
      Fail("verifier");
    }
    pk::ClearDebugLog();
  }
};

Machine& M() {
  static Machine* m = new Machine;  // lives for the whole run, as the machine would
  return *m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Machine& m = M();
  if (size < 1 + sizeof(KSDATAFORMAT)) return 0;
  const HANDLE filter = m.filters[data[0] & 1];
  const int request = (data[0] >> 1) % 3;
  std::vector<uint8_t> bytes(data + 1, data + size);  // exactly the caller's bytes
  auto* format = reinterpret_cast<KSDATAFORMAT*>(bytes.data());
  const int64_t before = pk::PoolLiveBlocks();
  if (request == 0) {
    std::vector<uint8_t> result;
    if (format->FormatSize < sizeof(KSDATARANGE) || format->FormatSize > bytes.size()) return 0;
    m.client.Intersect(filter, 0, {format}, &result);
  } else {
    if (format->FormatSize != bytes.size()) return 0;
    HANDLE pin = nullptr;
    if (m.client.CreatePin(filter, 0, format, &pin) == STATUS_SUCCESS) {
      // A format set again on the stopped pin. Running the pin would power the stream up,
      // which takes the monitor bracket this machine holds for the whole run.
      if (request == 2) m.client.SetDataFormat(pin, format);
      m.client.Close(pin);
    }
  }
  if (pk::PoolLiveBlocks() != before) Fail("pool left allocated by one request");
  m.Check();
  return 0;
}
