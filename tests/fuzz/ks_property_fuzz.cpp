// Property requests from an application on any bytes: any set, id, flags and target
// (filter, pin, node), requests and value buffers of any size, against a filter and a
// running pin with automation tables of their own and the built-in sets. Every refusal
// must be a status; nothing may be written outside the caller's buffer (each buffer is
// its own exact-sized allocation), and bytes returned never exceed it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/kernel/machine.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/ks/host.h"

namespace ks = platform::ks;
namespace pk = platform::kernel;

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

NTSTATUS Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  return KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, nullptr, nullptr, 0, nullptr, nullptr,
                               nullptr);
}
const KSDEVICE_DISPATCH kDispatch = [] {
  KSDEVICE_DISPATCH d{};
  d.Start = Start;
  return d;
}();
const KSDEVICE_DESCRIPTOR kDevice = {&kDispatch, 0, nullptr};
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) { return KsInitializeDriver(driver, path, &kDevice); }

struct Machine {
  ks::PnpHarness harness{Entry};
  ks::KsClient client;
  ks::ReferenceClock clock;
  HANDLE filter = nullptr;
  HANDLE pin = nullptr;
  std::vector<uint8_t> frames[2];
  Machine() {
    size_t index = 0;
    if (harness.Load() != STATUS_SUCCESS || harness.AddDevice(nullptr, nullptr, &index) != STATUS_SUCCESS ||
        harness.StartDevice(index, nullptr, nullptr) != STATUS_SUCCESS)
      std::abort();
    auto list = client.ListFilters(KSCATEGORY_CAPTURE);
    if (list.size() != 1 || client.OpenFilter(list[0], &filter) != STATUS_SUCCESS) std::abort();
    KSDATAFORMAT format = MakeRange(0);
    if (client.CreatePin(filter, 0, &format, &pin) != STATUS_SUCCESS) std::abort();
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
                                  &KSPROPSETID_Connection,
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
    set = *kKnownSets[setPick % 7];
  } else {
    std::memcpy(&set, r.p, r.n >= sizeof(GUID) ? sizeof(GUID) : 0);
    if (r.n >= sizeof(GUID)) r.p += sizeof(GUID), r.n -= sizeof(GUID);
  }
  ULONG id = r.Byte() < 0xF0 ? r.Byte() % 16 : r.Word();
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
  ULONG returned = 0;
  NTSTATUS status =
      m.client.DeviceIoControl(object, IOCTL_KS_PROPERTY, input.get(), inputLength, value.get(), dataLength, &returned);
  if (NT_SUCCESS(status) && returned > dataLength) Fail("more bytes returned than the buffer holds");
  LONG hr = m.client.SynchronousDeviceControl(object, IOCTL_KS_PROPERTY, input.get(), inputLength, value.get(),
                                              dataLength, &returned);
  if (hr == 0 && returned > dataLength) Fail("more bytes returned than the buffer holds");
  for (const auto& f : pk::TakeVerifierFailures()) {
    std::fprintf(stderr, "%s\n", pk::FormatVerifierFailure(f).c_str());
    Fail("verifier failure");
  }
  return 0;
}
