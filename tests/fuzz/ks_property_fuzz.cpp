// Property requests from an application on any bytes: any set, id, flags and target
// (filter, pin, node), requests and value buffers of any size, against a filter and a
// running pin with automation tables of their own and the built-in sets, and against the
// driver's custom property set on capture filters of any channel and stream index and a
// digital-tuner filter, on a started encoder board. Every refusal must be a status;
// nothing may be written outside the caller's buffer (each buffer is its own exact-sized
// allocation), and bytes returned never exceed it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/properties/custom_device.h"
#include "driver/streaming/guids.h"
#include "driver/streaming/pin_context.h"
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

constexpr GUID kSet = {0xF0F0F0F0, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
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

// The custom set's filters: capture filters whose context holds the channel and stream
// index the input chose, and a digital-tuner filter with a tuner index of its choosing.
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
const KSFILTER_DESCRIPTOR kTunerFilter = CustomFilter(&kTunerDispatch, &DigitalTunerGuids[0], &kTunerCategory);

// PCI start, the settings and the state block, then the factories. The hardware is left
// as a hardware stop leaves it (no monitor thread, its bracket taken), so the handlers
// that would stop the thread store their settings instead of reaching the board.
NTSTATUS Start(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST) {
  CDevice* d = DeviceOf(device);
  NTSTATUS status = d->Initialize(device, irp, translated);
  if (!NT_SUCCESS(status)) return status;
  d->m_pBoardState = static_cast<BoardState*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(BoardState), kContextTag));
  if (!d->m_pBoardState) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(d->m_pBoardState, sizeof(BoardState));
  d->m_bMonitorThreadStop = 1;
  d->m_bHardwareStopped = TRUE;
  ExInitializeFastMutex(&d->m_PinMutex);
  KeInitializeSemaphore(&d->m_ThreadControlSemaphore, 0, 0x7FFFFFFF);
  KeInitializeSpinLock(&d->m_VendorCommandLock);
  d->PresetSettings();
  d->LoadSettings();
  for (const KSFILTER_DESCRIPTOR* f : {&kFilter, &kCaptureFilter, &kTunerFilter}) {
    status = KsCreateFilterFactory(device->FunctionalDeviceObject, f, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}
const KSDEVICE_DISPATCH kDispatch = [] {
  KSDEVICE_DISPATCH d{};
  d.Add = CDevice::Add;
  d.Start = Start;
  d.Remove = CDevice::Remove;
  return d;
}();
const KSDEVICE_DESCRIPTOR kDevice = {&kDispatch, 0, nullptr};
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) { return KsInitializeDriver(driver, path, &kDevice); }

// The capture filters of the custom set: channel, stream index (tuner index for the last).
struct CustomFilterChoice {
  ULONG channel, streamIndex;
};
const CustomFilterChoice kCustomFilters[] = {{0, 0}, {1, 8}, {15, 9}, {16, 0}, {28, 11}, {31, 0}, {40, 0}};

struct Machine {
  platform::board::EncoderBoard board;
  std::unique_ptr<ks::PnpHarness> harness;
  ks::KsClient client;
  ks::ReferenceClock clock;
  HANDLE filter = nullptr;
  HANDLE pin = nullptr;
  std::vector<HANDLE> custom;  // kCustomFilters, then tuner A of index 0, 1 and 2
  std::vector<uint8_t> frames[2];
  Machine() {
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    board.SetIdentity(platform::board::IdentityFrom(id));
    pci::Slot* slot = pci::PlugIn(board);
    static pci::ResourceList resources = pci::TranslatedResources(*slot);
    harness = std::make_unique<ks::PnpHarness>(Entry);
    size_t index = 0;
    if (harness->Load() != STATUS_SUCCESS || harness->AddDevice(pci::BusData, slot, &index) != STATUS_SUCCESS ||
        harness->StartDevice(index, resources.get(), resources.get()) != STATUS_SUCCESS)
      std::abort();
    auto list = client.ListFilters(KSCATEGORY_CAPTURE);
    if (list.size() != 1 || client.OpenFilter(list[0], &filter) != STATUS_SUCCESS) std::abort();
    KSDATAFORMAT format = MakeRange(0);
    if (client.CreatePin(filter, 0, &format, &pin) != STATUS_SUCCESS) std::abort();
    auto captures = client.ListFilters(kCustomCategory);
    auto tuners = client.ListFilters(kTunerCategory);
    if (captures.size() != 1 || tuners.size() != 1) std::abort();
    for (const CustomFilterChoice& c : kCustomFilters) {
      g_channel = c.channel;
      g_streamIndex = c.streamIndex;
      HANDLE h = nullptr;
      if (client.OpenFilter(captures[0], &h) != STATUS_SUCCESS) std::abort();
      custom.push_back(h);
    }
    for (ULONG t = 0; t < 3; t++) {
      g_tunerIndex = t;
      HANDLE h = nullptr;
      if (client.OpenFilter(tuners[0], &h) != STATUS_SUCCESS) std::abort();
      custom.push_back(h);
    }
  }
};

Machine& TheMachine() {
  static Machine* machine = new Machine();  // lives as long as the process
  return *machine;
}

const GUID* const kKnownSets[] = {&kSet,
                                  &KSPROPSETID_Pin,
                                  &KSPROPSETID_Topology,
                                  &KSPROPSETID_Connection,
                                  &KSPROPSETID_Stream,
                                  &KSPROPSETID_CustomDevice,
                                  &KSPROPSETID_CustomDevice,
                                  &KSPROPSETID_Pin};
const ULONG kKnownFlags[] = {KSPROPERTY_TYPE_GET,
                             KSPROPERTY_TYPE_SET,
                             KSPROPERTY_TYPE_BASICSUPPORT,
                             KSPROPERTY_TYPE_SETSUPPORT,
                             KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
                             KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_TOPOLOGY};

struct Reader {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() { return n ? (n--, *p++) : 0; }
  uint32_t Word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= (uint32_t)Byte() << (8 * i);
    return v;
  }
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "property request: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Machine& m = TheMachine();
  Reader r{data, size};
  uint8_t target = r.Byte() % 3;
  uint8_t setPick = r.Byte();
  GUID set = GUID_NULL;
  if (setPick < 0xF0) {
    set = *kKnownSets[setPick % 8];
  } else {
    std::memcpy(&set, r.p, r.n >= sizeof(GUID) ? sizeof(GUID) : 0);
    if (r.n >= sizeof(GUID)) r.p += sizeof(GUID), r.n -= sizeof(GUID);
  }
  // Ids of the custom set by their row, now and then any id.
  uint8_t idPick = r.Byte();
  ULONG id;
  if (set == KSPROPSETID_CustomDevice && idPick < 0xF0) {
    id = CustomPropertyRows()[(idPick | r.Byte() << 8) % kCustomPropertyCount].id;
  } else {
    id = idPick < 0xF0 ? r.Byte() % 16 : r.Word();
  }
  uint8_t flagPick = r.Byte();
  ULONG flags = flagPick < 0xF0 ? kKnownFlags[flagPick % 6] : r.Word();
  ULONG inputLength = (r.Byte() | (r.Byte() << 8)) % 600;
  ULONG dataLength = (r.Byte() | (r.Byte() << 8)) % 5000;
  uint8_t action = r.Byte();

  // Now and then the pin changes state or gets a frame or the clock, between requests.
  if (action == 1) m.client.SetState(m.pin, (KSSTATE)(r.Byte() % 4));
  if (action == 2) {
    auto& frame = m.frames[r.Byte() & 1];
    frame.assign(64, 0);
    m.client.Submit(m.pin, frame.data(), (ULONG)frame.size());
  }
  if (action == 3) m.client.SetMasterClock(m.pin, &m.clock);
  ks::CompletedFrame done;
  while (m.client.Collect(m.pin, &done)) {
  }

  std::unique_ptr<uint8_t[]> input(new uint8_t[inputLength ? inputLength : 1]);
  std::memset(input.get(), 0, inputLength);
  KSP_NODE head{{set, id, flags}, target == 2 ? (ULONG)r.Byte() % 3 : 0, 0};
  std::memcpy(input.get(), &head, std::min<size_t>(inputLength, sizeof(head)));
  for (ULONG i = sizeof(head); i < inputLength && r.n; i++) input[i] = r.Byte();
  std::unique_ptr<uint8_t[]> value(new uint8_t[dataLength ? dataLength : 1]);
  for (ULONG i = 0; i < dataLength; i++) value[i] = r.n ? r.Byte() : (uint8_t)i;

  HANDLE object = target == 1 ? m.pin : m.filter;
  if (set == KSPROPSETID_CustomDevice && target != 1) object = m.custom[r.Byte() % m.custom.size()];
  ULONG returned = 0;
  NTSTATUS status =
      m.client.DeviceIoControl(object, IOCTL_KS_PROPERTY, input.get(), inputLength, value.get(), dataLength, &returned);
  if (NT_SUCCESS(status) && returned > dataLength) Fail("more bytes returned than the buffer holds");
  LONG hr = m.client.SynchronousDeviceControl(object, IOCTL_KS_PROPERTY, input.get(), inputLength, value.get(),
                                              dataLength, &returned);
  if (hr == 0 && returned > dataLength) Fail("more bytes returned than the buffer holds");
  pk::ClearDebugLog();
  for (const auto& f : pk::TakeVerifierFailures()) {
    std::fprintf(stderr, "%s\n", pk::FormatVerifierFailure(f).c_str());
    Fail("verifier failure");
  }
  return 0;
}
