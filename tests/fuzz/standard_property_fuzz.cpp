// Property requests from an application on any bytes, against the standard sets of a
// started device: the video capture filters (a main-stream and a sub-stream one) and a
// capture pin, the crossbar, TV tuner and TV audio filters, the stereo audio filter's
// nodes and the encoder filter. Each input is a run of requests: any target, set (one of
// the standard sets or any identifier), id, flags, node, property and value buffers of
// any size with any bytes. Every refusal must be a status; nothing may be written outside
// the caller's buffer (each value buffer is its own exact-sized allocation); bytes
// returned never exceed the buffer; the verifier stays quiet.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/driver_entry.h"
#include "driver/streaming/pin_context.h"
#include "driver/streaming/templates.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/ks/host.h"
#include "platform/pci/host.h"

namespace ks = platform::ks;
namespace pk = platform::kernel;
namespace pci = platform::pci;

namespace {

// The capture filters' Create is the capture filter's own; here a context of the run's
// choosing stands in for it, and a pin context for the capture pin's.
FilterContext g_next;
VideoPinContext g_pinContext;
NTSTATUS FilterCreate(PKSFILTER filter, PIRP) {
  auto* c = new FilterContext(g_next);
  c->pKsDevice = KsGetDevice(filter);
  c->pKsFilter = filter;
  filter->Context = c;
  return STATUS_SUCCESS;
}
NTSTATUS FilterClose(PKSFILTER filter, PIRP) {
  delete static_cast<FilterContext*>(filter->Context);
  filter->Context = nullptr;
  return STATUS_SUCCESS;
}
NTSTATUS PinCreate(PKSPIN pin, PIRP) {
  pin->Context = &g_pinContext;
  return STATUS_SUCCESS;
}
const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};
KSPIN_DISPATCH g_pinDispatch;

struct Copy {
  GUID reference;
  GUID category = KSCATEGORY_CAPTURE;
  KSFILTER_DESCRIPTOR descriptor;
  KSPIN_DESCRIPTOR_EX pins[2];
};

struct World {
  std::unique_ptr<ks::PnpHarness> harness;
  std::unique_ptr<platform::board::GenericBoard> board;
  pci::Slot* slot = nullptr;
  pci::ResourceList resources;
  ks::KsClient client;
  PKSDEVICE device = nullptr;
  std::vector<std::unique_ptr<Copy>> copies;
  std::vector<HANDLE> targets;

  HANDLE OpenListed(const GUID& category, const GUID* reference = nullptr) {
    for (const auto& f : client.ListFilters(category)) {
      if (f.Device != device || (reference && f.ReferenceGuid != *reference)) continue;
      HANDLE h = nullptr;
      if (client.OpenFilter(f, &h) != STATUS_SUCCESS) break;
      return h;
    }
    fprintf(stderr, "standard_property_fuzz: cannot open a filter\n");
    abort();
  }
  HANDLE OpenCopy(const KSFILTER_DESCRIPTOR& from, const KSFILTER_DISPATCH* dispatch) {
    auto c = std::make_unique<Copy>();
    c->reference = SchemeGuid(0xC0, 0x34, 0x7E, 0x00, (UCHAR)(0x40 + copies.size()), 0x1E);
    c->descriptor = from;
    c->descriptor.Dispatch = dispatch;
    c->descriptor.ReferenceGuid = &c->reference;
    c->descriptor.CategoriesCount = 1;
    c->descriptor.Categories = &c->category;
    for (ULONG i = 0; i < from.PinDescriptorsCount && i < 2; i++) {
      c->pins[i] = from.PinDescriptors[i];
      c->pins[i].Dispatch = &g_pinDispatch;
    }
    c->descriptor.PinDescriptors = c->pins;
    PKSFILTERFACTORY factory = nullptr;
    if (KsCreateFilterFactory(DeviceOf(device)->m_pFunctionalDeviceObject, &c->descriptor, nullptr, nullptr, 0, nullptr,
                              nullptr, &factory) != STATUS_SUCCESS)
      abort();
    const GUID reference = c->reference;
    copies.push_back(std::move(c));
    return OpenListed(KSCATEGORY_CAPTURE, &reference);
  }
};

World* TheWorld() {
  static World* world = [] {
    pk::ResetMachine();
    pk::RegistryReset();
    pci::Reset();
    auto* w = new World();
    g_pinDispatch.Create = PinCreate;
    w->harness = std::make_unique<ks::PnpHarness>(DriverEntry);
    if (w->harness->Load() != STATUS_SUCCESS) abort();
    // A board with the analog front end: video and audio templates, crossbar, tuner and
    // TV audio filters.
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_N, &id);
    w->board = std::make_unique<platform::board::GenericBoard>(platform::board::IdentityFrom(id), 0x10000, 0x400000);
    w->slot = pci::PlugIn(*w->board);
    w->resources = pci::TranslatedResources(*w->slot);
    size_t index = 0;
    if (w->harness->AddDevice(pci::BusData, w->slot, &index) != STATUS_SUCCESS) abort();
    pk::RegistryCreateKey(pk::RegistryDriverKeyPath(w->harness->Device(index)->PhysicalDeviceObject->HostInstance));
    if (w->harness->StartDevice(index, w->resources.get(), w->resources.get()) != STATUS_SUCCESS) abort();
    w->device = w->harness->Device(index);

    const KSFILTER_DESCRIPTOR* video = nullptr;
    for (const auto& f : ks::FactoriesOf(w->device))
      if (f.Descriptor->AutomationTable == &VideoFilterAutomation) video = f.Descriptor;
    if (!video) abort();
    g_next = FilterContext{4, 0, 0, nullptr, nullptr};
    HANDLE main = w->OpenCopy(*video, &kFilterDispatch);
    g_next = FilterContext{8, 0, 1, nullptr, nullptr};
    HANDLE sub = w->OpenCopy(*video, &kFilterDispatch);
    std::vector<uint8_t> format;
    const KSDATARANGE* range = VideoCapturePinDescriptor.PinDescriptor.DataRanges[0];
    HANDLE pin = nullptr;
    if (w->client.Intersect(main, 0, {range}, &format) != STATUS_SUCCESS ||
        w->client.CreatePin(main, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin) != STATUS_SUCCESS)
      abort();
    w->targets = {main,
                  sub,
                  pin,
                  w->OpenListed(KSCATEGORY_CROSSBAR),
                  w->OpenListed(KSCATEGORY_TVTUNER),
                  w->OpenListed(KSCATEGORY_TVAUDIO),
                  w->OpenCopy(AudioCaptureFilterDescriptorStereo, nullptr),
                  w->OpenCopy(EncoderFilterDescriptor, nullptr)};
    // At exit the device goes before the machine's own records do: its threads must not
    // outlive them.
    atexit([] {
      World* w = TheWorld();
      for (auto it = w->targets.rbegin(); it != w->targets.rend(); ++it) w->client.Close(*it);
      w->harness->Unload();
      pk::ShutdownMachine();
    });
    return w;
  }();
  return world;
}

const GUID* const kSets[] = {&PROPSETID_VIDCAP_VIDEOPROCAMP,
                             &PROPSETID_VIDCAP_VIDEOCONTROL,
                             &PROPSETID_VIDCAP_VIDEODECODER,
                             &PROPSETID_VIDCAP_VIDEOCOMPRESSION,
                             &PROPSETID_VIDCAP_DROPPEDFRAMES,
                             &PROPSETID_VIDCAP_CROSSBAR,
                             &PROPSETID_TUNER,
                             &PROPSETID_VIDCAP_TVAUDIO,
                             &KSPROPSETID_Audio,
                             &ENCAPIPARAM_PEAK_BITRATE,
                             &ENCAPIPARAM_BITRATE_MODE,
                             &ENCAPIPARAM_BITRATE,
                             &KSPROPSETID_Pin,
                             &KSPROPSETID_Connection};
constexpr ULONG kFlagChoices[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                                  KSPROPERTY_TYPE_SETSUPPORT};

// Reads the input front to back; past its end every read gives zeros.
struct Reader {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() {
    if (!n) return 0;
    n--;
    return *p++;
  }
  uint32_t Word(int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++) v |= (uint32_t)Byte() << (8 * i);
    return v;
  }
  void Fill(uint8_t* to, size_t len) {
    if (!len) return;
    size_t take = len < n ? len : n;
    if (take) std::memcpy(to, p, take);
    if (len > take) std::memset(to + take, 0, len - take);
    p += take;
    n -= take;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World* w = TheWorld();
  Reader in{data, size};
  for (int request = 0; request < 8 && in.n; request++) {
    const uint8_t target = in.Byte();
    const uint8_t setChoice = in.Byte();
    GUID arbitrary;
    const GUID* set = &arbitrary;
    if (setChoice < 0xF0) {
      set = kSets[setChoice % (sizeof(kSets) / sizeof(kSets[0]))];
    } else {
      in.Fill(reinterpret_cast<uint8_t*>(&arbitrary), sizeof(arbitrary));
    }
    const uint8_t idChoice = in.Byte();
    const ULONG id = idChoice < 0xF0 ? idChoice % 40 : in.Word(4);
    const uint8_t flagChoice = in.Byte();
    const ULONG flags = flagChoice < 0xF0 ? kFlagChoices[flagChoice % 4] : in.Word(4);
    ks::PropertyTarget t{w->targets[target % w->targets.size()]};
    if (target & 0x80) t.NodeId = in.Byte() % 4;
    const ULONG extraLength = in.Word(1) | (in.Byte() & 1) << 8;
    const ULONG dataLength = in.Word(2) % 2048;
    std::vector<uint8_t> extra(extraLength);
    in.Fill(extra.data(), extra.size());
    // The value buffer is an exact-sized allocation of its own: a write past it is caught.
    std::unique_ptr<uint8_t[]> value(dataLength ? new uint8_t[dataLength] : nullptr);
    in.Fill(value.get(), dataLength);
    ULONG returned = 0;
    NTSTATUS status =
        w->client.Property(t, *set, id, flags, extra.data(), extraLength, value.get(), dataLength, &returned);
    if (NT_SUCCESS(status) && returned > dataLength) {
      fprintf(stderr, "returned %u bytes into a buffer of %u\n", returned, dataLength);
      abort();
    }
  }
  // The machine's records of log lines and delays would grow with every input.
  pk::ClearDebugLog();
  pk::ClearDelayRequests();
  auto failures = pk::TakeVerifierFailures();
  if (!failures.empty()) {
    fprintf(stderr, "%s\n", pk::FormatVerifierFailure(failures.front()).c_str());
    abort();
  }
  return 0;
}
