// Custom property requests: a plain per-channel word (id 403) and the sibling mailbox's
// reply (id 996), each through the whole request path (application, I/O control, KS
// dispatch, handler and back) and as the driver's part alone (row lookup and handler).
// Counters: pool allocations and host heap allocations per request.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/properties/custom_device.h"
#include "driver/streaming/guids.h"
#include "driver/streaming/pin_context.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"

namespace ks = platform::ks;
namespace pk = platform::kernel;
namespace pci = platform::pci;

// The replaced allocation functions below pair malloc with free; the compiler's check of
// new/delete pairs cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<uint64_t> g_heapAllocations{0};
}  // namespace

void* operator new(size_t n) {
  g_heapAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

constexpr GUID kCategory = {0xBE0C0001, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kReference = {0xBE0C0002, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
const ULONG kTag = MakePoolTag("QZVK");

NTSTATUS FilterCreate(PKSFILTER f, PIRP) {
  auto* fc = static_cast<FilterContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FilterContext), kTag));
  RtlZeroMemory(fc, sizeof(*fc));
  fc->pKsDevice = KsGetDevice(f);
  fc->pKsFilter = f;
  f->Context = fc;
  return STATUS_SUCCESS;
}
NTSTATUS FilterClose(PKSFILTER f, PIRP) {
  ExFreePoolWithTag(f->Context, kTag);
  return STATUS_SUCCESS;
}
const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};
const KSPROPERTY_SET kSets[] = {CustomDevicePropertySet()};
const KSAUTOMATION_TABLE kTable = {1, sizeof(KSPROPERTY_ITEM), kSets, 0, 0, nullptr, 0, 0, nullptr, nullptr};
const KSFILTER_DESCRIPTOR kFilter = [] {
  KSFILTER_DESCRIPTOR d{};
  d.Dispatch = &kFilterDispatch;
  d.AutomationTable = &kTable;
  d.Version = KSFILTER_DESCRIPTOR_VERSION;
  d.ReferenceGuid = &kReference;
  d.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  d.CategoriesCount = 1;
  d.Categories = &kCategory;
  return d;
}();

NTSTATUS Start(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST) {
  CDevice* d = DeviceOf(device);
  NTSTATUS status = d->Initialize(device, irp, translated);
  if (!NT_SUCCESS(status)) return status;
  d->m_pBoardState = static_cast<BoardState*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(BoardState), kTag));
  RtlZeroMemory(d->m_pBoardState, sizeof(BoardState));
  d->m_bHardwareStopped = TRUE;  // no monitor thread: nothing else runs beside the requests
  d->PresetSettings();
  d->LoadSettings();
  return KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, nullptr, nullptr, 0, nullptr, nullptr,
                               nullptr);
}
const KSDEVICE_DISPATCH kDispatch = [] {
  KSDEVICE_DISPATCH d{};
  d.Add = CDevice::Add;
  d.Start = Start;
  d.Remove = CDevice::Remove;
  return d;
}();
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr};
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) { return KsInitializeDriver(driver, path, &kDescriptor); }

struct Machine {
  platform::board::EncoderBoard board;
  pci::ResourceList resources;
  std::unique_ptr<ks::PnpHarness> harness;
  ks::KsClient client;
  HANDLE filter = nullptr;
  CDevice* device = nullptr;
  Machine() {
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    board.SetIdentity(platform::board::IdentityFrom(id));
    pci::Slot* slot = pci::PlugIn(board);
    resources = pci::TranslatedResources(*slot);
    harness = std::make_unique<ks::PnpHarness>(Entry);
    size_t index = 0;
    if (harness->Load() != STATUS_SUCCESS || harness->AddDevice(pci::BusData, slot, &index) != STATUS_SUCCESS ||
        harness->StartDevice(index, resources.get(), resources.get()) != STATUS_SUCCESS)
      std::abort();
    device = DeviceOf(harness->Device(index));
    auto list = client.ListFilters(kCategory);
    if (list.size() != 1 || client.OpenFilter(list[0], &filter) != STATUS_SUCCESS) std::abort();
  }
};
Machine& M() {
  static Machine* m = new Machine();
  return *m;
}

void Count(benchmark::State& state, uint64_t pool0, uint64_t heap0) {
  double n = (double)state.iterations();
  state.counters["pool_allocs_per_request"] = (double)(pk::PoolAllocationCount() - pool0) / n;
  state.counters["heap_allocs_per_request"] = (double)(g_heapAllocations.load() - heap0) / n;
}

void PathGet403(benchmark::State& state) {
  Machine& m = M();
  ULONG v = 0;
  uint64_t pool0 = pk::PoolAllocationCount(), heap0 = g_heapAllocations.load();
  for (auto _ : state) {
    m.client.GetProperty({m.filter}, KSPROPSETID_CustomDevice, 403, &v, 4);
    pk::ClearDebugLog();
    benchmark::DoNotOptimize(v);
  }
  Count(state, pool0, heap0);
}
BENCHMARK(PathGet403);

void PathSet403(benchmark::State& state) {
  Machine& m = M();
  ULONG v = 4000000;
  uint64_t pool0 = pk::PoolAllocationCount(), heap0 = g_heapAllocations.load();
  for (auto _ : state) {
    m.client.SetProperty({m.filter}, KSPROPSETID_CustomDevice, 403, &v, 4);
    pk::ClearDebugLog();
  }
  Count(state, pool0, heap0);
}
BENCHMARK(PathSet403);

// A word that logs nothing (id 409): the path alone.
void PathGet409(benchmark::State& state) {
  Machine& m = M();
  ULONG v = 0;
  uint64_t pool0 = pk::PoolAllocationCount(), heap0 = g_heapAllocations.load();
  for (auto _ : state) {
    m.client.GetProperty({m.filter}, KSPROPSETID_CustomDevice, 409, &v, 4);
    benchmark::DoNotOptimize(v);
  }
  Count(state, pool0, heap0);
}
BENCHMARK(PathGet409);

void EchoPending(Machine& m) {
  UCHAR req[74] = {1, 0x80};
  req[8] = 10;
  m.client.SetProperty({m.filter}, KSPROPSETID_CustomDevice, 995, req, sizeof(req));
}

void PathGet996(benchmark::State& state) {
  Machine& m = M();
  EchoPending(m);
  UCHAR reply[32] = {};
  uint64_t pool0 = pk::PoolAllocationCount(), heap0 = g_heapAllocations.load();
  for (auto _ : state) {
    m.client.GetProperty({m.filter}, KSPROPSETID_CustomDevice, 996, reply, sizeof(reply));
    pk::ClearDebugLog();  // the reply logs a line; keep the log from growing
    benchmark::DoNotOptimize(reply);
  }
  Count(state, pool0, heap0);
}
BENCHMARK(PathGet996);

// The driver's part alone: the request context as the dispatch builds it, then the scope
// check, the row's rule or handler.
template <bool Get, ULONG Id>
void Driver(benchmark::State& state) {
  Machine& m = M();
  if (Id == 996) EchoPending(m);
  IRP irp{};
  KSPROPERTY p = {KSPROPSETID_CustomDevice, Id, Get ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET};
  alignas(8) UCHAR data[32] = {};
  FilterContext fc{};
  uint64_t pool0 = pk::PoolAllocationCount(), heap0 = g_heapAllocations.load();
  for (auto _ : state) {
    CustomRequest r{};
    r.irp = &irp;
    r.property = &p;
    r.data = data;
    r.dataLength = sizeof(data);
    r.row = FindCustomPropertyRow(Id);
    r.device = m.device;
    r.context = &fc;
    r.get = Get;
    NTSTATUS s = RunCustomRequest(r);
    if (Id != 409) pk::ClearDebugLog();  // 403 and 996 log a line per request
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(data);
  }
  Count(state, pool0, heap0);
}
BENCHMARK_TEMPLATE(Driver, true, 409);
BENCHMARK_TEMPLATE(Driver, false, 409);
BENCHMARK_TEMPLATE(Driver, true, 403);
BENCHMARK_TEMPLATE(Driver, false, 403);
BENCHMARK_TEMPLATE(Driver, true, 996);

}  // namespace

BENCHMARK_MAIN();
