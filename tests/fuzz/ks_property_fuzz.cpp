// Property requests from an application on any bytes, against an encoder board started
// by the device's own start through the Plug and Play harness, with its hardware, monitor
// thread and encoder running: the board's video and audio capture filters, its crossbar,
// TV tuner and TV audio filters, digital-tuner filters, capture filters of any channel and
// stream index carrying the custom set, a filter and pin whose automation tables exercise
// the request plumbing alone, and the video filter's H.264 main-stream pin, running and
// fed with buffers. Each input is a run of requests (any set, id, flags, target and node,
// request and value buffers of any size with any bytes) with pin state changes, buffers
// and passing time in between. Every refusal must be a status; nothing may be written
// outside the caller's buffer (each buffer is its own exact-sized allocation) and bytes
// returned never exceed it; the verifier, the board and the bus stay quiet.
//
// The machine runs on the jumping test clock with this thread one of its own: time moves
// only while an input lets it pass, so the monitor thread, the frame clocks and the
// encoder do the same work for the same input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/device_start.h"
#include "driver/hardware/board_state.h"
#include "driver/properties/custom_device.h"
#include "driver/streaming/guids.h"
#include "driver/streaming/pin_context.h"
#include "driver/streaming/templates.h"
#include "imaging/core/cpu.h"
#include "platform/board/board.h"
#include "platform/board/encoder_core.h"
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

constexpr GUID kSet = {0xF0F0F0F0, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kPlumbingReference = {0xF0F0F0F4, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 12}};
constexpr GUID kSub = {0xF0F000A0, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};

// Handlers write exactly what their item's MinData promises, as a careful driver does.
NTSTATUS Get4(PIRP, PKSIDENTIFIER r, PVOID d) {
  std::memcpy(d, &r->Id, 4);
  return STATUS_SUCCESS;
}
NTSTATUS Get16(PIRP irp, PKSIDENTIFIER, PVOID d) {
  std::memset(d, 0x16, 16);
  irp->IoStatus.Information = 16;
  return STATUS_SUCCESS;
}
NTSTATUS Set4(PIRP, PKSIDENTIFIER, PVOID d) {
  ULONG v;
  std::memcpy(&v, d, 4);
  return v == 0xDEAD ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}
NTSTATUS NodeGet(PIRP, PKSIDENTIFIER r, PVOID d) {
  ULONG node = reinterpret_cast<PKSP_NODE>(r)->NodeId;
  std::memcpy(d, &node, 4);
  return STATUS_SUCCESS;
}

const KSPROPERTY_STEPPING_LONG kStep = {1, 0, {{0, 100}}};
const KSPROPERTY_MEMBERSLIST kMembers[] = {{{KSPROPERTY_MEMBER_RANGES, sizeof(kStep), 1, 0}, &kStep}};
const KSPROPERTY_VALUES kValues = {{KSPROPTYPESETID_General, 19, 0}, 1, kMembers};

KSPROPERTY_ITEM Item(ULONG id, PFNKSHANDLER get, PFNKSHANDLER set, ULONG minProperty, ULONG minData,
                     const KSPROPERTY_VALUES* values = nullptr) {
  KSPROPERTY_ITEM i{};
  i.PropertyId = id;
  i.GetPropertyHandler = get;
  i.SetPropertyHandler = set;
  i.MinProperty = minProperty;
  i.MinData = minData;
  i.Values = values;
  return i;
}
const KSPROPERTY_ITEM kItems[] = {Item(0, Get4, Set4, 24, 4, &kValues), Item(1, Get16, nullptr, 24, 16),
                                  Item(2, nullptr, Set4, 40, 4), Item(3, Get4, Set4, 32, 4)};
const KSPROPERTY_SET kSets[] = {{&kSet, 4, kItems, 0, nullptr}};
const KSAUTOMATION_TABLE kTable = {1, sizeof(KSPROPERTY_ITEM), kSets, 0, 0, nullptr, 0, 0, nullptr, nullptr};
const KSPROPERTY_ITEM kNodeItems[] = {Item(0, NodeGet, nullptr, sizeof(KSP_NODE), 4)};
const KSPROPERTY_SET kNodeSets[] = {{&kSet, 1, kNodeItems, 0, nullptr}};
const KSAUTOMATION_TABLE kNodeTable = {1, sizeof(KSPROPERTY_ITEM), kNodeSets, 0, 0, nullptr, 0, 0, nullptr, nullptr};
const KSNODE_DESCRIPTOR kNodes[] = {{&kNodeTable, &KSNODETYPE_ADC, nullptr}, {nullptr, &KSNODETYPE_VOLUME, nullptr}};
const KSTOPOLOGY_CONNECTION kConnections[] = {{KSFILTER_NODE, 1, 0, 0}, {0, 1, KSFILTER_NODE, 0}};

KSDATARANGE MakeRange(ULONG sample) {
  KSDATARANGE r{};
  r.FormatSize = sizeof(KSDATARANGE);
  r.SampleSize = sample;
  r.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  r.SubFormat = kSub;
  r.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  return r;
}
KSDATARANGE g_range0 = MakeRange(0), g_range1 = MakeRange(1);
PKSDATARANGE g_ranges[] = {&g_range0, &g_range1};

// Intersection: a 64-byte format for any caller range whose SampleSize is even.
NTSTATUS Intersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE caller, PKSDATARANGE mine, ULONG size, PVOID data,
                   PULONG dataSize) {
  if (caller->SampleSize & 1) return STATUS_NO_MATCH;
  *dataSize = sizeof(KSDATAFORMAT);
  if (size == 0) return STATUS_BUFFER_OVERFLOW;
  if (size < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(data, mine, sizeof(KSDATAFORMAT));
  return STATUS_SUCCESS;
}

// The pin checks a format's size before reading it, and frames are taken as they come.
NTSTATUS PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT, PKSMULTIPLE_ITEM, const KSDATARANGE*, const KSATTRIBUTE_LIST*) {
  return pin->ConnectionFormat->FormatSize >= sizeof(KSDATAFORMAT) ? STATUS_SUCCESS : STATUS_NO_MATCH;
}
NTSTATUS PinProcess(PKSPIN pin) {
  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (!edge) return STATUS_SUCCESS;
  edge->StreamHeader->DataUsed = edge->StreamHeader->FrameExtent;
  KsStreamPointerAdvance(edge);
  return STATUS_SUCCESS;
}
const KSPIN_DISPATCH kPinDispatch = {nullptr, nullptr, PinProcess, nullptr, PinSetDataFormat,
                                     nullptr, nullptr, nullptr,    nullptr, nullptr};
const KSALLOCATOR_FRAMING_EX kFraming = [] {
  KSALLOCATOR_FRAMING_EX f{};
  f.CountItems = 1;
  f.FramingItem[0].Frames = 2;
  return f;
}();
KSPIN_DESCRIPTOR_EX MakePin(bool bridge) {
  KSPIN_DESCRIPTOR_EX p{};
  p.Dispatch = bridge ? nullptr : &kPinDispatch;
  p.AutomationTable = bridge ? nullptr : &kTable;
  p.PinDescriptor.DataRangesCount = 2;
  p.PinDescriptor.DataRanges = g_ranges;
  p.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  p.PinDescriptor.Communication = bridge ? KSPIN_COMMUNICATION_BRIDGE : KSPIN_COMMUNICATION_BOTH;
  p.PinDescriptor.Category = &PIN_CATEGORY_CAPTURE;
  p.InstancesPossible = 1;
  p.AllocatorFraming = &kFraming;
  p.IntersectHandler = bridge ? nullptr : Intersect;
  return p;
}
KSPIN_DESCRIPTOR_EX g_pins[] = {MakePin(false), MakePin(true)};
const GUID kCategories[] = {KSCATEGORY_CAPTURE};
const KSFILTER_DESCRIPTOR kFilter = [] {
  KSFILTER_DESCRIPTOR d{};
  d.AutomationTable = &kTable;
  d.Version = KSFILTER_DESCRIPTOR_VERSION;
  d.ReferenceGuid = &kPlumbingReference;
  d.PinDescriptorsCount = 2;
  d.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  d.PinDescriptors = g_pins;
  d.CategoriesCount = 1;
  d.Categories = kCategories;
  d.NodeDescriptorsCount = 2;
  d.NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
  d.NodeDescriptors = kNodes;
  d.ConnectionsCount = 2;
  d.Connections = kConnections;
  return d;
}();

// Capture filters carrying the custom set whose context holds the channel and stream
// index the run chooses (the board's own filters are all channel 0), and the digital-tuner
// filters, which the driver leaves to a companion driver: context of a tuner index.
constexpr GUID kCustomCategory = {0xF0F0F0F1, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 9}};
constexpr GUID kTunerCategory = {0xF0F0F0F2, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 10}};
constexpr GUID kCustomReference = {0xF0F0F0F3, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 11}};
const ULONG kContextTag = MakePoolTag("QZVK");
ULONG g_channel = 0, g_streamIndex = 0, g_tunerIndex = 0;

NTSTATUS CaptureCreate(PKSFILTER f, PIRP) {
  auto* fc = static_cast<FilterContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FilterContext), kContextTag));
  if (!fc) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(fc, sizeof(*fc));
  fc->nChannel = g_channel;
  fc->nStreamIndex = g_streamIndex;
  fc->pKsDevice = KsGetDevice(f);
  fc->pKsFilter = f;
  f->Context = fc;
  return STATUS_SUCCESS;
}
NTSTATUS TunerCreate(PKSFILTER f, PIRP) {
  auto* tc =
      static_cast<TunerFilterContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TunerFilterContext), kContextTag));
  if (!tc) return STATUS_INSUFFICIENT_RESOURCES;
  tc->nTunerIndex = g_tunerIndex;
  tc->pKsDevice = KsGetDevice(f);
  f->Context = tc;
  return STATUS_SUCCESS;
}
NTSTATUS ContextClose(PKSFILTER f, PIRP) {
  ExFreePoolWithTag(f->Context, kContextTag);
  f->Context = nullptr;
  return STATUS_SUCCESS;
}
const KSFILTER_DISPATCH kCaptureDispatch = {CaptureCreate, ContextClose, nullptr, nullptr};
const KSFILTER_DISPATCH kTunerDispatch = {TunerCreate, ContextClose, nullptr, nullptr};
const KSPROPERTY_SET kCustomSets[] = {CustomDevicePropertySet()};
const KSAUTOMATION_TABLE kCustomTable = {1,      sizeof(KSPROPERTY_ITEM), kCustomSets, 0, 0, nullptr, 0, 0, nullptr,
                                         nullptr};
KSFILTER_DESCRIPTOR CustomFilter(const KSFILTER_DISPATCH* dispatch, const GUID* reference, const GUID* category) {
  KSFILTER_DESCRIPTOR d{};
  d.Dispatch = dispatch;
  d.AutomationTable = &kCustomTable;
  d.Version = KSFILTER_DESCRIPTOR_VERSION;
  d.ReferenceGuid = reference;
  d.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  d.CategoriesCount = 1;
  d.Categories = category;
  return d;
}
const KSFILTER_DESCRIPTOR kCaptureFilter = CustomFilter(&kCaptureDispatch, &kCustomReference, &kCustomCategory);
const KSFILTER_DESCRIPTOR kTunerFilters[2] = {CustomFilter(&kTunerDispatch, &DigitalTunerGuids[0], &kTunerCategory),
                                              CustomFilter(&kTunerDispatch, &DigitalTunerGuids[1], &kTunerCategory)};

// The device's own start (with the crossbar enabled in its settings), then the factories
// it leaves to other boards or drivers: the TV tuner and TV audio filters, the test's
// capture and tuner filters and the plumbing filter.
NTSTATUS Start(PKSDEVICE d, PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated) {
  NTSTATUS status = CDevice::Start(d, irp, translated, untranslated);
  const KSFILTER_DESCRIPTOR* const added[] = {&TvTunerFilterDescriptor, &TvAudioFilterDescriptor, &kCaptureFilter,
                                              &kTunerFilters[0],        &kTunerFilters[1],        &kFilter};
  for (const KSFILTER_DESCRIPTOR* f : added) {
    if (!NT_SUCCESS(status)) break;
    status = KsCreateFilterFactory(d->FunctionalDeviceObject, f, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
  }
  return status;
}
const KSDEVICE_DISPATCH kDispatch = {
    CDevice::Add,  Start,   nullptr,           nullptr,         nullptr,
    CDevice::Stop, nullptr, nullptr,           CDevice::Remove, CDevice::QueryCapabilities,
    nullptr,       nullptr, CDevice::SetPower, nullptr};
const KSDEVICE_DESCRIPTOR kDevice = {&kDispatch, 0, nullptr};
// The driver's own entry, with this device descriptor.
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  CpuSelectProcessorLevel();
  InitializeStreamingTemplates();
  ResetDeviceStartCounters();
  return KsInitializeDriver(driver, path, &kDevice);
}

// The test capture filters: channel, stream index.
struct CustomFilterChoice {
  ULONG channel, streamIndex;
};
const CustomFilterChoice kCustomFilters[] = {{0, 0}, {1, 8}, {15, 9}, {16, 0}, {28, 11}, {31, 0}, {40, 0}};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "property request: %s\n", what);
  std::abort();
}

constexpr ULONG kBufferCount = 4;
constexpr ULONG kBufferBytes = 128 * 1024;

struct Machine {
  platform::board::EncoderBoard board;
  pci::Slot* slot = nullptr;
  pci::ResourceList resources;
  std::unique_ptr<ks::PnpHarness> harness;
  PKSDEVICE device = nullptr;
  std::unique_ptr<ks::KsClient> clientOwner = std::make_unique<ks::KsClient>();
  ks::KsClient& client = *clientOwner;
  ks::ReferenceClock clock;
  pk::MachineThreadScope* scope = nullptr;
  // Targets: the board's video filter, its H.264 main-stream pin, its audio filter, the
  // crossbar, TV tuner and TV audio filters, the plumbing filter and its pin, then the
  // test capture filters (kCustomFilters) and the digital-tuner filters.
  enum { kVideo, kMainPin, kAudio, kCrossbar, kTvTuner, kTvAudio, kPlumbing, kPlumbingPin, kFirstCustom };
  std::vector<HANDLE> targets;
  std::vector<uint8_t> buffers[kBufferCount];
  bool queued[kBufferCount] = {};
  std::vector<uint8_t> plumbingFrames[2];
  KSSTATE state = KSSTATE_STOP;

  // The filter of the device whose factory carries `reference`, under any of its categories.
  HANDLE Open(const GUID& reference) {
    const GUID categories[] = {KSCATEGORY_CAPTURE, KSCATEGORY_CROSSBAR, KSCATEGORY_TVTUNER,
                               KSCATEGORY_TVAUDIO, kCustomCategory,     kTunerCategory};
    for (const GUID& category : categories) {
      for (const auto& f : client.ListFilters(category)) {
        if (f.Device != device || f.ReferenceGuid != reference) continue;
        HANDLE h = nullptr;
        if (client.OpenFilter(f, &h) != STATUS_SUCCESS) Fail("a filter of the board does not open");
        return h;
      }
    }
    std::fprintf(stderr, "no filter of reference %08X-%04X-%04X-%02X%02X\n", (unsigned)reference.Data1, reference.Data2,
                 reference.Data3, reference.Data4[0], reference.Data4[1]);
    for (const GUID& category : categories)
      for (const auto& f : client.ListFilters(category))
        std::fprintf(stderr, "  listed: %08X-%04X-%04X-%02X%02X %d\n", (unsigned)f.ReferenceGuid.Data1,
                     f.ReferenceGuid.Data2, f.ReferenceGuid.Data3, f.ReferenceGuid.Data4[0], f.ReferenceGuid.Data4[1],
                     f.Device == device);
    Fail("a filter of the board is missing");
  }

  Machine() {
    pk::ResetMachine();
    pk::RegistryReset();
    pci::Reset();
    pk::SetMode(pk::Mode::Threaded);
    pk::UseJumpingTestClock();
    pk::SetDelayScale(1);
    scope = new pk::MachineThreadScope();
    auto dir = pk::DriveFolder('C') / "WINDOWS" / "VORLIX";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "VORLIX.HD.HEX", std::ios::binary)
        << platform::board::FirmwareHexText(platform::board::SampleFirmwareImage());
    board.SetBoardIdentityRecord(0x34, 0x12, 0x78, 0x56);
    board.encoder().SetSignal(platform::board::InputFormat::k480i);
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    board.SetIdentity(platform::board::IdentityFrom(id));
    slot = pci::PlugIn(board);
    resources = pci::TranslatedResources(*slot);
    harness = std::make_unique<ks::PnpHarness>(Entry);
    size_t index = 0;
    if (harness->Load() != STATUS_SUCCESS ||
        harness->AddDevice(pci::BusData, slot, &index, slot->busNumber()) != STATUS_SUCCESS)
      Fail("the driver does not load");
    const auto key = pk::RegistryDriverKeyPath(harness->Device(index)->PhysicalDeviceObject->HostInstance);
    pk::RegistryCreateKey(key);
    pk::RegistrySetDword(key, u"CustomCrossbarEnableProperty", 1);
    if (harness->StartDevice(index, resources.get(), resources.get()) != STATUS_SUCCESS)
      Fail("the board does not start");
    device = harness->Device(index);

    targets.resize(kFirstCustom);
    targets[kVideo] = Open(VideoChannelGuids[0]);
    targets[kAudio] = Open(AudioChannelGuids[0]);
    targets[kCrossbar] = Open(CrossbarTemplateGuid);
    targets[kTvTuner] = Open(TvTunerTemplateGuid);
    targets[kTvAudio] = Open(TvAudioTemplateGuid);
    targets[kPlumbing] = Open(kPlumbingReference);
    KSDATAFORMAT plumbingFormat = MakeRange(0);
    if (client.CreatePin(targets[kPlumbing], 0, &plumbingFormat, &targets[kPlumbingPin]) != STATUS_SUCCESS)
      Fail("the plumbing pin does not open");
    for (const CustomFilterChoice& c : kCustomFilters) {
      g_channel = c.channel;
      g_streamIndex = c.streamIndex;
      targets.push_back(Open(kCustomReference));
    }
    for (ULONG t = 0; t < 3; t++) {
      g_tunerIndex = t;
      targets.push_back(Open(DigitalTunerGuids[0]));
    }
    g_tunerIndex = 1;
    targets.push_back(Open(DigitalTunerGuids[1]));

    // The main stream at the signal's size, running with buffers queued.
    const KSPIN_DESCRIPTOR* pin = nullptr;
    for (const auto& f : client.ListFilters(KSCATEGORY_VIDEO))
      if (f.Device == device && f.ReferenceGuid == VideoChannelGuids[0])
        pin = &f.Descriptor->PinDescriptors[0].PinDescriptor;
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    bool found = false;
    for (ULONG i = 0; pin && i < pin->DataRangesCount && !found; i++) {
      auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pin->DataRanges[i]);
      const KS_BITMAPINFOHEADER& b = r->VideoInfoHeader.bmiHeader;
      if (b.biCompression != MakeFourCC("H264") || b.biWidth != 720 || b.biHeight != 480) continue;
      std::memcpy(&format.DataFormat, &r->DataRange, sizeof(KSDATAFORMAT));
      format.DataFormat.FormatSize = sizeof(format);
      format.VideoInfoHeader = r->VideoInfoHeader;
      format.VideoInfoHeader.AvgTimePerFrame = 333333;
      found = true;
    }
    if (!found || client.CreatePin(targets[kVideo], 0, &format.DataFormat, &targets[kMainPin]) != STATUS_SUCCESS)
      Fail("the main-stream pin does not open");
    for (auto& b : buffers) b.assign(kBufferBytes, 0);
    Run();
    // The board makes its pictures and packets only for the inputs that ask for them:
    // encoding is most of what passing time costs, and most inputs want the requests.
    board.encoder().SetProducersEnabled(false);
    // The board encodes one round of pictures and sends it again after that: what the
    // requests meet is the stream's timing and packets, not new pictures.
    board.encoder().SetReplay(true);
    Check();
    atexit([] {
      Machine& m = The();
      m.clientOwner.reset();  // closes the pins, then the filters
      m.harness->Unload();
      delete m.scope;
      pk::UseTestClock();  // ends the jumping clock's thread
      pk::ShutdownMachine();
    });
  }

  static Machine& The() {
    static Machine* machine = new Machine();  // lives as long as the process
    return *machine;
  }

  // Takes back what the pin completed and queues every free buffer again.
  void Refill() {
    ks::CompletedFrame done;
    while (client.Collect(targets[kMainPin], &done))
      for (ULONG i = 0; i < kBufferCount; i++)
        if (done.Data == buffers[i].data()) queued[i] = false;
    if (state == KSSTATE_STOP) return;
    for (ULONG i = 0; i < kBufferCount; i++)
      if (!queued[i] && client.Submit(targets[kMainPin], buffers[i].data(), kBufferBytes) == STATUS_SUCCESS)
        queued[i] = true;
  }
  void SetState(KSSTATE s) {
    if (client.SetState(targets[kMainPin], s) == STATUS_SUCCESS) state = s;
    Refill();  // a stopped pin gives its buffers back, cancelled
  }
  void Run() {
    if (state != KSSTATE_RUN) SetState(KSSTATE_RUN);
    if (state != KSSTATE_RUN) Fail("the main-stream pin does not run");
  }

  void Check() {
    for (const auto& f : pk::TakeVerifierFailures()) {
      std::fprintf(stderr, "%s\n", pk::FormatVerifierFailure(f).c_str());
      Fail("verifier failure");
    }
    if (!board.Violations().empty()) {
      std::fprintf(stderr, "%s\n", board.Violations().front().c_str());
      Fail("board protocol violation");
    }
    if (!pci::Faults().empty()) {
      std::fprintf(stderr, "%s\n", pci::Faults().front().c_str());
      Fail("bus fault");
    }
    // The machine's and the board's records would grow with every input.
    pk::ClearDebugLog();
    pk::ClearDelayRequests();
    board.ClearAccessLog();
    board.ClearBusTransactions();
    board.encoder().ClearCommands();
  }
};

const GUID* const kKnownSets[] = {&KSPROPSETID_CustomDevice,
                                  &KSPROPSETID_CustomDevice,
                                  &KSPROPSETID_CustomDevice,
                                  &KSPROPSETID_CustomDevice,
                                  &PROPSETID_VIDCAP_VIDEOPROCAMP,
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
                                  &kSet,
                                  &KSPROPSETID_Pin,
                                  &KSPROPSETID_Topology,
                                  &KSPROPSETID_Connection,
                                  &KSPROPSETID_Stream};
constexpr size_t kKnownSetCount = sizeof(kKnownSets) / sizeof(kKnownSets[0]);
const ULONG kKnownFlags[] = {KSPROPERTY_TYPE_GET,
                             KSPROPERTY_TYPE_SET,
                             KSPROPERTY_TYPE_GET,
                             KSPROPERTY_TYPE_SET,
                             KSPROPERTY_TYPE_BASICSUPPORT,
                             KSPROPERTY_TYPE_SETSUPPORT,
                             KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
                             KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_TOPOLOGY};

// Reads the input front to back; past its end every read gives zeros.
struct Reader {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() { return n ? (n--, *p++) : 0; }
  uint32_t Word(int bytes = 4) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++) v |= (uint32_t)Byte() << (8 * i);
    return v;
  }
  void Fill(uint8_t* to, size_t len) {
    size_t take = std::min(len, n);
    if (take) std::memcpy(to, p, take);
    for (size_t i = take; i < len; i++) to[i] = (uint8_t)i;
    p += take;
    n -= take;
  }
};

// One request: as the application's property call makes it (identifier, node, extra
// bytes), or as raw bytes through the I/O control path and the application's
// synchronous call (any request length, the identifier cut short or padded).
void Request(Machine& m, Reader& r) {
  const uint8_t targetPick = r.Byte();
  HANDLE object = m.targets[targetPick % m.targets.size()];
  const uint8_t setPick = r.Byte();
  GUID set = GUID_NULL;
  if (setPick < 0xF0)
    set = *kKnownSets[setPick % kKnownSetCount];
  else
    r.Fill(reinterpret_cast<uint8_t*>(&set), sizeof(set));
  // Ids of the custom set by their row, now and then any id.
  const uint8_t idPick = r.Byte();
  ULONG id;
  if (set == KSPROPSETID_CustomDevice && idPick < 0xF0)
    id = CustomPropertyRows()[(idPick | r.Byte() << 8) % kCustomPropertyCount].id;
  else
    id = idPick < 0xF0 ? idPick % 40 : r.Word();
  const uint8_t flagPick = r.Byte();
  const ULONG flags = flagPick < 0xF0 ? kKnownFlags[flagPick % 8] : r.Word();
  const uint8_t shape = r.Byte();
  const ULONG dataLength = r.Word(2) % 4100;
  // The value buffer is an exact-sized allocation of its own: a write past it is caught.
  std::unique_ptr<uint8_t[]> value(new uint8_t[dataLength ? dataLength : 1]);
  ULONG returned = 0;
  if (!(shape & 0x80)) {
    ks::PropertyTarget t{object};
    if (shape & 0x40) t.NodeId = r.Byte() % 4;
    const ULONG extraLength = (shape & 0x20) ? r.Byte() : 0;
    std::vector<uint8_t> extra(extraLength);
    r.Fill(extra.data(), extraLength);
    r.Fill(value.get(), dataLength);
    const NTSTATUS status =
        m.client.Property(t, set, id, flags, extra.data(), extraLength, value.get(), dataLength, &returned);
    if (NT_SUCCESS(status) && returned > dataLength) Fail("more bytes returned than the buffer holds");
    return;
  }
  const ULONG inputLength = r.Word(2) % 600;
  std::unique_ptr<uint8_t[]> input(new uint8_t[inputLength ? inputLength : 1]);
  KSP_NODE head{{set, id, flags}, r.Byte() % 4u, 0};
  std::memcpy(input.get(), &head, std::min<size_t>(inputLength, sizeof(head)));
  if (inputLength > sizeof(head)) r.Fill(input.get() + sizeof(head), inputLength - sizeof(head));
  r.Fill(value.get(), dataLength);
  if (shape & 1) {
    const NTSTATUS status = m.client.DeviceIoControl(object, IOCTL_KS_PROPERTY, input.get(), inputLength, value.get(),
                                                     dataLength, &returned);
    if (NT_SUCCESS(status) && returned > dataLength) Fail("more bytes returned than the buffer holds");
  } else {
    const LONG hr = m.client.SynchronousDeviceControl(object, IOCTL_KS_PROPERTY, input.get(), inputLength, value.get(),
                                                      dataLength, &returned);
    if (hr == 0 && returned > dataLength) Fail("more bytes returned than the buffer holds");
  }
}

// Between requests: the main-stream pin changes state, the plumbing pin gets a frame or
// a clock, the board starts making pictures and packets, or machine time passes (the
// monitor's settings pass, frames delivered).
void Between(Machine& m, Reader& r) {
  const uint8_t action = r.Byte();
  switch (action) {
    case 1:
      // Acquire, pause or run. Stopping powers the stream down and the next run brings
      // the encoder up again, most of a second of machine time: the tests take that path.
      m.SetState((KSSTATE)(KSSTATE_ACQUIRE + r.Byte() % 3));
      break;
    case 2: {
      auto& frame = m.plumbingFrames[r.Byte() & 1];
      frame.assign(64, 0);
      m.client.Submit(m.targets[Machine::kPlumbingPin], frame.data(), (ULONG)frame.size());
      break;
    }
    case 3:
      m.client.SetMasterClock(m.targets[Machine::kPlumbingPin], &m.clock);
      break;
    case 6:
      // The board makes pictures and packets for the rest of this input.
      m.board.encoder().SetProducersEnabled(true);
      break;
    case 4:
    case 5: {
      LARGE_INTEGER d;
      d.QuadPart = -(LONGLONG)(1 + r.Byte() % 10) * 10000;  // a frame now and then
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      m.Refill();
      break;
    }
    default:
      break;
  }
  ks::CompletedFrame done;
  while (m.client.Collect(m.targets[Machine::kPlumbingPin], &done)) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Machine& m = Machine::The();
  Reader r{data, size};
  for (int request = 0; request < 8 && r.n; request++) {
    Between(m, r);
    Request(m, r);
  }
  // Every input starts on a running pin, the board making nothing.
  m.Run();
  m.board.encoder().SetProducersEnabled(false);
  m.Check();
  return 0;
}
