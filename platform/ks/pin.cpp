// Filters and pins: opening and closing, pin creation in KS's order, state changes one
// step at a time, the frame queue with its leading edge and clones, pin-centric
// processing on a thread of its own, and reference clocks.
#include <algorithm>
#include <cstring>
#include <map>

#include "platform/kernel/machine.h"
#include "platform/ks/ks_internal.h"
#include "platform/ks/ks_objects.h"

namespace platform::ks {
namespace detail {
namespace {

std::mutex g_objectsLock;
std::map<void*, ObjectKind> g_objects;

struct CloneFaults {
  std::mutex lock;
  uint64_t countdown = 0;
} g_cloneFaults;

bool CloneFaultFires() {
  std::lock_guard<std::mutex> hold(g_cloneFaults.lock);
  if (g_cloneFaults.countdown == 0) return false;
  return --g_cloneFaults.countdown == 0;
}

// A fresh request for one call into the driver.
struct Request {
  IRP irp{};
  Request(FilterObject* filter, PinObject* pin) {
    irp.Type = 6;
    irp.Size = sizeof(IRP);
    irp.StackCount = 1;
    irp.CurrentLocation = 1;
    SetRequestObjects(irp, filter, pin);
  }
};

bool GuidMatches(const GUID& a, const GUID& b) { return a == GUID_NULL || b == GUID_NULL || a == b; }

const KSPIN_DESCRIPTOR_EX* PinDescriptorAt(const KSFILTER_DESCRIPTOR* d, ULONG id) {
  ULONG stride = d->PinDescriptorSize ? d->PinDescriptorSize : (ULONG)sizeof(KSPIN_DESCRIPTOR_EX);
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const uint8_t*>(d->PinDescriptors) +
                                                      (size_t)stride * id);
}

bool ProcessInState(const PinObject* pin, KSSTATE state) {
  ULONG flags = pin->Public.Descriptor ? pin->Public.Descriptor->Flags : 0;
  if (flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) return state == KSSTATE_RUN;
  return state >= KSSTATE_PAUSE;
}

bool FramesRequired(const PinObject* pin) {
  return !(pin->Public.Descriptor && (pin->Public.Descriptor->Flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING));
}

// Queue lock held: is there a frame at the leading edge?
bool EdgeHasFrame(const PinObject* pin) { return pin->EdgeIndex < pin->Queue.size(); }

// What the application gets back for a frame: the stream header (and the frame
// information behind it) as the driver left it.
CompletedFrame Completion(const Frame* f, NTSTATUS status) {
  CompletedFrame c;
  c.Status = status;
  std::memcpy(&c.Header, f->Header.data(), sizeof(KSSTREAM_HEADER));
  if (f->Header.size() >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO))
    std::memcpy(&c.FrameInfo, f->Header.data() + sizeof(KSSTREAM_HEADER), sizeof(KS_FRAME_INFO));
  c.Data = c.Header.Data;
  c.FrameExtent = c.Header.FrameExtent;
  c.Tag = f->Tag;
  return c;
}

// Queue lock held: hands every finished frame at the head of the queue back to the
// client, in queue order; a finished frame waits behind an unfinished older one.
void CompleteReady(PinObject* pin) {
  bool any = false;
  while (!pin->Queue.empty()) {
    Frame* f = pin->Queue.front().get();
    if (!f->PassedEdge || f->References > 0) break;
    pin->Completed.push_back(Completion(f, STATUS_SUCCESS));
    pin->Queue.pop_front();
    if (pin->EdgeIndex > 0) pin->EdgeIndex--;
    any = true;
  }
  if (any) pin->QueueCv.notify_all();
}

// Queue lock held: points the leading edge's public record at its frame.
void RefreshEdge(PinObject* pin) {
  StreamPointer& e = pin->LeadingEdge;
  e.Current = EdgeHasFrame(pin) ? pin->Queue[pin->EdgeIndex].get() : nullptr;
  e.Public.StreamHeader = e.Current ? e.Current->StreamHeader() : nullptr;
  if (e.Current) {
    PKSSTREAM_HEADER h = e.Current->StreamHeader();
    e.Public.OffsetOut = KSSTREAM_POINTER_OFFSET{static_cast<PUCHAR>(h->Data), h->FrameExtent, h->FrameExtent};
    e.Public.OffsetIn = e.Public.OffsetOut;
  } else {
    e.Public.OffsetOut = e.Public.OffsetIn = KSSTREAM_POINTER_OFFSET{};
  }
}

// The host's hold on every processing thread (HoldProcessingThreads).
std::atomic<bool> g_processingHeld{false};

// For the jumping test clock, a request to process is work handed over to a thread the
// clock does not count: from the moment it is made until that thread runs Process as a
// machine thread, the clock must not move, or a busy machine could pass a frame's time
// before the frame was even taken. A request waiting for a state change's turn is that
// change's business (its caller is a machine thread), as is one the state forbids.
// Queue lock held.
bool ProcessingWorkInFlight(const PinObject* pin) {
  if (pin->Exiting || pin->TurnTaken) return false;
  return pin->ProcessHanding || (pin->ProcessRequested && pin->ProcessingAllowed);
}

void ProcessingThread(PinObject* pin) {
  for (;;) {
    {
      std::unique_lock<std::mutex> q(pin->QueueLock);
      pin->QueueCv.wait(q, [&] {
        return pin->Exiting || (pin->ProcessRequested && pin->ProcessingAllowed && !g_processingHeld.load());
      });
      if (pin->Exiting) return;
      pin->ProcessRequested = false;
      pin->ProcessRunning = true;
      pin->ProcessHanding = true;
    }
    NTSTATUS status = STATUS_PENDING;
    {
      std::lock_guard<std::mutex> turn(pin->Processing);
      // Process is the machine's work: while it runs this thread counts as a machine
      // thread, so the jumping clock moves only once it waits on the machine or is done.
      // The hand-over is noted once the thread counts and before the request stops
      // showing: a look of the clock's that began before the count then proves nothing.
      platform::kernel::MachineThreadScope machineWork;
      platform::kernel::NoteMachineProgress();
      bool run;
      {
        std::lock_guard<std::mutex> q(pin->QueueLock);
        pin->ProcessHanding = false;
        run = pin->ProcessingAllowed && (EdgeHasFrame(pin) || !FramesRequired(pin));
      }
      const KSPIN_DISPATCH* dispatch = pin->Public.Descriptor ? pin->Public.Descriptor->Dispatch : nullptr;
      if (run && dispatch && dispatch->Process) {
        bool dispatchLevel = pin->Public.Descriptor->Flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING;
        platform::kernel::ScopedIrql irql(dispatchLevel ? DISPATCH_LEVEL : PASSIVE_LEVEL);
        status = dispatch->Process(&pin->Public);
      }
      // The next request is made while this thread still counts, so the clock never
      // sees the work in neither place.
      std::lock_guard<std::mutex> q(pin->QueueLock);
      pin->ProcessRunning = false;
      if (status == STATUS_SUCCESS && EdgeHasFrame(pin) && pin->ProcessingAllowed) pin->ProcessRequested = true;
      pin->QueueCv.notify_all();
    }
  }
}

// The jumping clock's look at the pins: 0 (a time already come) while any processing
// request is on its way, else -1. Called with the machine's dispatcher lock held; takes
// only the object and queue locks, under which nothing calls into the machine.
LONGLONG ProcessingWorkDue() {
  std::lock_guard<std::mutex> hold(g_objectsLock);
  for (const auto& [object, kind] : g_objects) {
    if (kind != ObjectKind::Pin) continue;
    PinObject* pin = static_cast<PinObject*>(object);
    std::lock_guard<std::mutex> q(pin->QueueLock);
    if (ProcessingWorkInFlight(pin)) return 0;
  }
  return -1;
}

// A state or format change's hold on the processing turn, visible to the jumping clock.
class TurnTaken {
 public:
  explicit TurnTaken(PinObject* pin) : pin_(pin) { Set(true); }
  ~TurnTaken() { Set(false); }
  TurnTaken(const TurnTaken&) = delete;
  TurnTaken& operator=(const TurnTaken&) = delete;

 private:
  void Set(bool taken) {
    std::lock_guard<std::mutex> q(pin_->QueueLock);
    pin_->TurnTaken = taken;
  }
  PinObject* pin_;
};

// Queue lock held.
void RequestProcessing(PinObject* pin) {
  if (!pin->ProcessingAllowed) return;
  if (FramesRequired(pin) && !EdgeHasFrame(pin)) return;
  pin->ProcessRequested = true;
  pin->QueueCv.notify_all();
}

void DestroyPin(PinObject* pin) {
  if (pin->Worker.joinable()) {
    {
      std::lock_guard<std::mutex> q(pin->QueueLock);
      pin->Exiting = true;
      pin->QueueCv.notify_all();
    }
    pin->Worker.join();
  }
  if (pin->MasterClock) pin->MasterClock->Release();
  for (StreamPointer* c : pin->Clones) delete c;
  FreeObjectBag(pin->Public.Bag);
  UnregisterObject(pin);
  delete pin;
}

}  // namespace

void RegisterObject(void* Object, ObjectKind Kind) {
  std::lock_guard<std::mutex> hold(g_objectsLock);
  g_objects[Object] = Kind;
}

void UnregisterObject(void* Object) {
  std::lock_guard<std::mutex> hold(g_objectsLock);
  g_objects.erase(Object);
}

bool FindObject(void* Object, ObjectKind* Kind) {
  std::lock_guard<std::mutex> hold(g_objectsLock);
  auto it = g_objects.find(Object);
  if (it == g_objects.end()) return false;
  if (Kind) *Kind = it->second;
  return true;
}

void SetRequestObjects(IRP& Irp, FilterObject* Filter, PinObject* Pin) {
  Irp.HostContext[0] = Filter;
  Irp.HostContext[1] = Pin;
}

NTSTATUS OpenFilter(PKSDEVICE Device, const KSFILTER_DESCRIPTOR* Descriptor, FilterObject** Filter) {
  if (!Device || !Descriptor || !Filter) return STATUS_INVALID_PARAMETER;
  auto* f = new FilterObject();
  f->Device = Device;
  f->Public.Descriptor = Descriptor;
  f->Public.Context = Device->Context;
  f->Public.Bag = CreateObjectBag();
  RegisterObject(f, ObjectKind::Filter);
  NTSTATUS status = STATUS_SUCCESS;
  if (Descriptor->Dispatch && Descriptor->Dispatch->Create) {
    Request r(f, nullptr);
    status = Descriptor->Dispatch->Create(&f->Public, &r.irp);
  }
  if (!NT_SUCCESS(status)) {
    // A filter whose Create failed is gone without a Close.
    FreeObjectBag(f->Public.Bag);
    UnregisterObject(f);
    delete f;
    return status;
  }
  *Filter = f;
  return STATUS_SUCCESS;
}

namespace {
NTSTATUS FinishFilterClose(FilterObject* f) {
  NTSTATUS status = STATUS_SUCCESS;
  const KSFILTER_DESCRIPTOR* d = f->Public.Descriptor;
  if (d && d->Dispatch && d->Dispatch->Close) {
    Request r(f, nullptr);
    status = d->Dispatch->Close(&f->Public, &r.irp);
  }
  FreeObjectBag(f->Public.Bag);
  UnregisterObject(f);
  delete f;
  return status;
}
}  // namespace

NTSTATUS CloseFilter(FilterObject* Filter) {
  {
    std::lock_guard<std::recursive_mutex> hold(Filter->Control);
    // The filter's handle goes now; the filter itself stays until its last pin closed.
    if (!Filter->Pins.empty()) {
      Filter->CloseWanted = true;
      return STATUS_SUCCESS;
    }
  }
  return FinishFilterClose(Filter);
}

NTSTATUS CreatePin(FilterObject* Filter, ULONG PinId, const KSDATAFORMAT* Format, ULONG FormatLength, PinObject** Pin) {
  if (!Filter || !Pin) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> hold(Filter->Control);
  const KSFILTER_DESCRIPTOR* fd = Filter->Public.Descriptor;
  if (!fd || PinId >= fd->PinDescriptorsCount || !fd->PinDescriptors) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR_EX* pd = PinDescriptorAt(fd, PinId);
  KSPIN_COMMUNICATION comm = pd->PinDescriptor.Communication;
  if (comm == KSPIN_COMMUNICATION_NONE || comm == KSPIN_COMMUNICATION_BRIDGE) return STATUS_INVALID_DEVICE_REQUEST;
  ULONG current = (ULONG)std::count_if(Filter->Pins.begin(), Filter->Pins.end(),
                                       [&](PinObject* p) { return p->Public.Id == PinId; });
  if (current >= pd->InstancesPossible) return STATUS_INVALID_DEVICE_REQUEST;
  if (!Format || FormatLength < sizeof(KSDATAFORMAT) || Format->FormatSize < sizeof(KSDATAFORMAT) ||
      Format->FormatSize > FormatLength)
    return STATUS_INVALID_PARAMETER;
  std::vector<const KSDATARANGE*> matching;
  for (ULONG i = 0; pd->PinDescriptor.DataRanges && i < pd->PinDescriptor.DataRangesCount; i++) {
    const KSDATARANGE* r = pd->PinDescriptor.DataRanges[i];
    if (r && GuidMatches(r->MajorFormat, Format->MajorFormat) && GuidMatches(r->SubFormat, Format->SubFormat) &&
        GuidMatches(r->Specifier, Format->Specifier))
      matching.push_back(r);
  }
  if (matching.empty()) return STATUS_NO_MATCH;

  auto* p = new PinObject();
  p->Filter = Filter;
  p->Public.Descriptor = pd;
  p->Public.Bag = CreateObjectBag();
  p->Public.Context = Filter->Public.Context;
  p->Public.Id = PinId;
  p->Public.Communication = comm;
  p->Public.DataFlow = pd->PinDescriptor.DataFlow;
  p->Public.DeviceState = KSSTATE_STOP;
  p->Public.ClientState = KSSTATE_STOP;
  p->Format.assign((Format->FormatSize + 7) / 8, 0);
  std::memcpy(p->Format.data(), Format, Format->FormatSize);
  p->Public.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(p->Format.data());
  p->LeadingEdge.Public.Pin = &p->Public;
  p->LeadingEdge.Pin = p;
  RegisterObject(p, ObjectKind::Pin);

  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* dispatch = pd->Dispatch;
  if (dispatch && dispatch->SetDataFormat) {
    for (const KSDATARANGE* r : matching) {
      status = dispatch->SetDataFormat(&p->Public, nullptr, nullptr, r, nullptr);
      if (NT_SUCCESS(status)) break;
    }
  }
  if (NT_SUCCESS(status) && dispatch && dispatch->Create) {
    Request r(Filter, p);
    status = dispatch->Create(&p->Public, &r.irp);
  }
  if (!NT_SUCCESS(status)) {
    DestroyPin(p);
    return status;
  }
  static const int processingSource = platform::kernel::AddClockDeadlineSource(ProcessingWorkDue);
  (void)processingSource;
  p->Worker = std::thread(ProcessingThread, p);
  Filter->Pins.push_back(p);
  *Pin = p;
  return STATUS_SUCCESS;
}

NTSTATUS SetPinState(PinObject* Pin, KSSTATE Target) {
  if (Target < KSSTATE_STOP || Target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> turn(Pin->Processing);
  TurnTaken taken(Pin);
  Pin->Public.ClientState = Target;
  const KSPIN_DISPATCH* dispatch = Pin->Public.Descriptor ? Pin->Public.Descriptor->Dispatch : nullptr;
  while (Pin->Public.DeviceState != Target) {
    KSSTATE from = Pin->Public.DeviceState;
    KSSTATE to = (KSSTATE)(from + (Target > from ? 1 : -1));
    {
      // Leaving a state that processes: no new Process call from here on (none is
      // running: this thread holds the processing turn).
      std::lock_guard<std::mutex> q(Pin->QueueLock);
      if (!ProcessInState(Pin, to)) Pin->ProcessingAllowed = false;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch && dispatch->SetDeviceState) status = dispatch->SetDeviceState(&Pin->Public, to, from);
    std::lock_guard<std::mutex> q(Pin->QueueLock);
    if (!NT_SUCCESS(status)) {
      Pin->ProcessingAllowed = ProcessInState(Pin, from);
      return status;
    }
    Pin->Public.DeviceState = to;
    if (to == KSSTATE_STOP) {
      // Stopped: every frame nothing holds goes back cancelled, untouched; the leading
      // edge starts again at the head.
      for (auto it = Pin->Queue.begin(); it != Pin->Queue.end();) {
        Frame* f = it->get();
        if (f->References > 0) {
          f->PassedEdge = true;
          ++it;
          continue;
        }
        Pin->Completed.push_back(Completion(f, STATUS_CANCELLED));
        it = Pin->Queue.erase(it);
      }
      Pin->EdgeIndex = Pin->Queue.size();
      RefreshEdge(Pin);
      Pin->QueueCv.notify_all();
    }
    Pin->ProcessingAllowed = ProcessInState(Pin, to);
    if (Pin->ProcessingAllowed && !ProcessInState(Pin, from)) RequestProcessing(Pin);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ChangePinFormat(PinObject* Pin, const KSDATAFORMAT* Format, ULONG FormatLength) {
  if (!Format || FormatLength < sizeof(KSDATAFORMAT) || Format->FormatSize < sizeof(KSDATAFORMAT) ||
      Format->FormatSize > FormatLength)
    return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> hold(Pin->Filter->Control);
  std::lock_guard<std::mutex> turn(Pin->Processing);
  TurnTaken taken(Pin);
  const KSPIN_DESCRIPTOR_EX* pd = Pin->Public.Descriptor;
  const KSPIN_DISPATCH* dispatch = pd ? pd->Dispatch : nullptr;
  if (!dispatch || !dispatch->SetDataFormat) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<uint64_t> old = Pin->Format;
  std::vector<uint64_t> fresh((Format->FormatSize + 7) / 8, 0);
  std::memcpy(fresh.data(), Format, Format->FormatSize);
  Pin->Format.swap(fresh);
  Pin->Public.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(Pin->Format.data());
  PKSDATAFORMAT oldFormat = reinterpret_cast<PKSDATAFORMAT>(old.data());
  NTSTATUS status = STATUS_NO_MATCH;
  for (ULONG i = 0; pd->PinDescriptor.DataRanges && i < pd->PinDescriptor.DataRangesCount; i++) {
    const KSDATARANGE* r = pd->PinDescriptor.DataRanges[i];
    if (!r || !GuidMatches(r->MajorFormat, Format->MajorFormat) || !GuidMatches(r->SubFormat, Format->SubFormat) ||
        !GuidMatches(r->Specifier, Format->Specifier))
      continue;
    status = dispatch->SetDataFormat(&Pin->Public, oldFormat, nullptr, r, nullptr);
    if (status != STATUS_NO_MATCH) break;
  }
  if (!NT_SUCCESS(status)) {
    Pin->Format.swap(old);
    Pin->Public.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(Pin->Format.data());
  }
  return status;
}

NTSTATUS ClosePin(PinObject* Pin) {
  FilterObject* filter = Pin->Filter;
  bool closeFilter;
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard<std::recursive_mutex> hold(filter->Control);
    SetPinState(Pin, KSSTATE_STOP);
    // The processing thread goes before Close, so nothing calls into the pin after it.
    {
      std::lock_guard<std::mutex> q(Pin->QueueLock);
      Pin->Exiting = true;
      Pin->QueueCv.notify_all();
    }
    if (Pin->Worker.joinable()) Pin->Worker.join();
    const KSPIN_DISPATCH* dispatch = Pin->Public.Descriptor ? Pin->Public.Descriptor->Dispatch : nullptr;
    if (dispatch && dispatch->Close) {
      Request r(filter, Pin);
      status = dispatch->Close(&Pin->Public, &r.irp);
    }
    filter->Pins.erase(std::find(filter->Pins.begin(), filter->Pins.end(), Pin));
    closeFilter = filter->CloseWanted && filter->Pins.empty();
    DestroyPin(Pin);
  }
  if (closeFilter) FinishFilterClose(filter);
  return status;
}

NTSTATUS SetPinMasterClock(PinObject* Pin, IKsReferenceClock* Clock) {
  // Takes over the caller's reference.
  IKsReferenceClock* old;
  {
    std::lock_guard<std::mutex> q(Pin->QueueLock);
    old = Pin->MasterClock;
    Pin->MasterClock = Clock;
  }
  if (old) old->Release();
  return STATUS_SUCCESS;
}

NTSTATUS SubmitFrame(PinObject* Pin, PVOID Data, ULONG FrameExtent, uint64_t Tag) {
  std::lock_guard<std::mutex> q(Pin->QueueLock);
  if (Pin->Public.DeviceState == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  if (!Data && FrameExtent) return STATUS_INVALID_PARAMETER;
  auto f = std::make_unique<Frame>();
  ULONG size = std::max<ULONG>(Pin->Public.StreamHeaderSize, sizeof(KSSTREAM_HEADER));
  f->Header.assign(size, 0);
  PKSSTREAM_HEADER h = f->StreamHeader();
  h->Size = size;
  h->FrameExtent = FrameExtent;
  h->Data = Data;
  h->PresentationTime.Numerator = 1;
  h->PresentationTime.Denominator = 1;
  if (size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
    reinterpret_cast<PKS_FRAME_INFO>(f->Header.data() + sizeof(KSSTREAM_HEADER))->ExtendedHeaderSize =
        sizeof(KS_FRAME_INFO);
  }
  f->Tag = Tag;
  bool wasEmpty = !EdgeHasFrame(Pin);
  Pin->Queue.push_back(std::move(f));
  if (wasEmpty) RequestProcessing(Pin);
  return STATUS_SUCCESS;
}

bool TakeCompleted(PinObject* Pin, CompletedFrame* Out, int TimeoutMs) {
  std::unique_lock<std::mutex> q(Pin->QueueLock);
  if (TimeoutMs > 0)
    Pin->QueueCv.wait_for(q, std::chrono::milliseconds(TimeoutMs), [&] { return !Pin->Completed.empty(); });
  if (Pin->Completed.empty()) return false;
  *Out = Pin->Completed.front();
  Pin->Completed.pop_front();
  return true;
}

void WaitProcessingIdle(PinObject* Pin) {
  std::unique_lock<std::mutex> q(Pin->QueueLock);
  Pin->QueueCv.wait(q, [&] { return !Pin->ProcessRunning && !(Pin->ProcessRequested && Pin->ProcessingAllowed); });
}

}  // namespace detail

void HoldProcessingThreads(bool Hold) {
  detail::g_processingHeld.store(Hold);
  if (Hold) return;
  std::lock_guard<std::mutex> hold(detail::g_objectsLock);
  for (const auto& [object, kind] : detail::g_objects) {
    if (kind != detail::ObjectKind::Pin) continue;
    auto* pin = static_cast<detail::PinObject*>(object);
    std::lock_guard<std::mutex> q(pin->QueueLock);
    pin->QueueCv.notify_all();
  }
}

void FailNthStreamPointerClone(uint64_t n) {
  std::lock_guard<std::mutex> hold(detail::g_cloneFaults.lock);
  detail::g_cloneFaults.countdown = n;
}

// ---- Clocks ---------------------------------------------------------------------------------

namespace detail {
namespace {

// The clock a pin holds: the machine's interrupt time from its base, shared with the
// application's ReferenceClock (which may go before the pin lets go of it).
class ClockObject final : public IKsReferenceClock {
 public:
  explicit ClockObject(std::shared_ptr<std::atomic<LONGLONG>> base) : base_(std::move(base)) {}
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  LONGLONG GetTime() override { return (LONGLONG)KeQueryInterruptTime() - base_->load(); }
  LONGLONG GetPhysicalTime() override { return GetTime(); }

 private:
  std::atomic<ULONG> refs_{1};
  std::shared_ptr<std::atomic<LONGLONG>> base_;
};

std::mutex g_clocksLock;
std::map<HANDLE, std::shared_ptr<std::atomic<LONGLONG>>> g_clocks;
uintptr_t g_nextClock = 0x7C000;

}  // namespace

IKsReferenceClock* ClockFromHandle(HANDLE Handle) {
  std::lock_guard<std::mutex> hold(g_clocksLock);
  auto it = g_clocks.find(Handle);
  return it == g_clocks.end() ? nullptr : new ClockObject(it->second);
}

}  // namespace detail

ReferenceClock::ReferenceClock() : base_(std::make_shared<std::atomic<LONGLONG>>((LONGLONG)KeQueryInterruptTime())) {
  std::lock_guard<std::mutex> hold(detail::g_clocksLock);
  handle_ = reinterpret_cast<HANDLE>(detail::g_nextClock += 4);
  detail::g_clocks[handle_] = base_;
}
ReferenceClock::~ReferenceClock() {
  std::lock_guard<std::mutex> hold(detail::g_clocksLock);
  detail::g_clocks.erase(handle_);
}
LONGLONG ReferenceClock::Time() const { return (LONGLONG)KeQueryInterruptTime() - base_->load(); }
void ReferenceClock::Set(LONGLONG Time) { base_->store((LONGLONG)KeQueryInterruptTime() - Time); }

}  // namespace platform::ks

using namespace platform::ks;
using namespace platform::ks::detail;

namespace {

PinObject* PinOf(PKSPIN Pin) { return reinterpret_cast<PinObject*>(Pin); }
StreamPointer* PointerOf(PKSSTREAM_POINTER p) { return reinterpret_cast<StreamPointer*>(p); }

void ReportMisuse(const char* call, const char* detail) { platform::kernel::ReportVerifierFailure(call, detail, 0xC4); }

}  // namespace

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) {
  if (!Pin) return nullptr;
  PinObject* p = PinOf(Pin);
  std::lock_guard<std::mutex> q(p->QueueLock);
  RefreshEdge(p);
  if (!p->LeadingEdge.Current) return nullptr;
  p->LeadingEdge.Locked = State == KSSTREAM_POINTER_STATE_LOCKED;
  return &p->LeadingEdge.Public;
}

NTSTATUS KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PFNKSSTREAMPOINTER CancelCallback, ULONG ContextSize,
                              PKSSTREAM_POINTER* CloneStreamPointer) {
  if (!StreamPointer || !CloneStreamPointer) return STATUS_INVALID_PARAMETER;
  platform::ks::detail::StreamPointer* src = PointerOf(StreamPointer);
  PinObject* p = src->Pin;
  std::lock_guard<std::mutex> q(p->QueueLock);
  if (!src->Current) return STATUS_INVALID_PARAMETER;
  if (CloneFaultFires()) return STATUS_INSUFFICIENT_RESOURCES;
  auto* c = new platform::ks::detail::StreamPointer();
  c->Pin = p;
  c->Clone = true;
  c->Current = src->Current;
  c->Locked = src->Locked;
  c->Public = src->Public;
  c->Current->References++;
  if (ContextSize) {
    c->ContextArea.assign((ContextSize + 7) / 8, 0);
    c->Public.Context = c->ContextArea.data();
  }
  p->Clones.push_back(c);
  *CloneStreamPointer = &c->Public;
  return STATUS_SUCCESS;
}

NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer) {
  if (!StreamPointer) return STATUS_INVALID_PARAMETER;
  platform::ks::detail::StreamPointer* sp = PointerOf(StreamPointer);
  std::lock_guard<std::mutex> q(sp->Pin->QueueLock);
  if (!sp->Current) return STATUS_DEVICE_NOT_READY;
  sp->Locked = true;
  return STATUS_SUCCESS;
}

NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer) {
  if (!StreamPointer) return STATUS_INVALID_PARAMETER;
  platform::ks::detail::StreamPointer* sp = PointerOf(StreamPointer);
  PinObject* p = sp->Pin;
  std::lock_guard<std::mutex> q(p->QueueLock);
  if (!sp->Current) return STATUS_DEVICE_NOT_READY;
  if (!sp->Clone) {
    p->Queue[p->EdgeIndex]->PassedEdge = true;
    p->EdgeIndex++;
    CompleteReady(p);
    RefreshEdge(p);
    return sp->Current ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
  }
  size_t index = 0;
  while (index < p->Queue.size() && p->Queue[index].get() != sp->Current) index++;
  Frame* next = index + 1 < p->Queue.size() ? p->Queue[index + 1].get() : nullptr;
  sp->Current->References--;
  sp->Current = next;
  if (next) {
    next->References++;
    PKSSTREAM_HEADER h = next->StreamHeader();
    sp->Public.StreamHeader = h;
    sp->Public.OffsetOut = KSSTREAM_POINTER_OFFSET{static_cast<PUCHAR>(h->Data), h->FrameExtent, h->FrameExtent};
    sp->Public.OffsetIn = sp->Public.OffsetOut;
  } else {
    sp->Public.StreamHeader = nullptr;
  }
  CompleteReady(p);
  return next ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

void KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
  if (!StreamPointer) return;
  platform::ks::detail::StreamPointer* sp = PointerOf(StreamPointer);
  {
    std::lock_guard<std::mutex> q(sp->Pin->QueueLock);
    sp->Locked = false;
  }
  if (Eject && !sp->Clone) KsStreamPointerAdvance(StreamPointer);
}

void KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer) {
  if (!StreamPointer) return;
  platform::ks::detail::StreamPointer* sp = PointerOf(StreamPointer);
  if (!sp->Clone) {
    ReportMisuse("KsStreamPointerDelete", "the leading edge cannot be deleted");
    return;
  }
  PinObject* p = sp->Pin;
  {
    std::lock_guard<std::mutex> q(p->QueueLock);
    auto it = std::find(p->Clones.begin(), p->Clones.end(), sp);
    if (it == p->Clones.end()) {
      ReportMisuse("KsStreamPointerDelete", "not a live clone of the pin");
      return;
    }
    p->Clones.erase(it);
    if (sp->Current) sp->Current->References--;
    CompleteReady(p);
  }
  delete sp;
}

PKSSTREAM_POINTER KsPinGetFirstCloneStreamPointer(PKSPIN Pin) {
  if (!Pin) return nullptr;
  PinObject* p = PinOf(Pin);
  std::lock_guard<std::mutex> q(p->QueueLock);
  return p->Clones.empty() ? nullptr : &p->Clones.front()->Public;
}

PKSSTREAM_POINTER KsStreamPointerGetNextClone(PKSSTREAM_POINTER StreamPointer) {
  if (!StreamPointer) return nullptr;
  platform::ks::detail::StreamPointer* sp = PointerOf(StreamPointer);
  PinObject* p = sp->Pin;
  std::lock_guard<std::mutex> q(p->QueueLock);
  auto it = std::find(p->Clones.begin(), p->Clones.end(), sp);
  if (it == p->Clones.end() || ++it == p->Clones.end()) return nullptr;
  return &(*it)->Public;
}

void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {
  if (!Pin) return;
  PinObject* p = PinOf(Pin);
  std::lock_guard<std::mutex> q(p->QueueLock);
  RequestProcessing(p);
}

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
  if (!Pin || !Interface) return STATUS_INVALID_PARAMETER;
  PinObject* p = PinOf(Pin);
  std::lock_guard<std::mutex> q(p->QueueLock);
  *Interface = p->MasterClock;
  if (!p->MasterClock) return STATUS_UNSUCCESSFUL;
  p->MasterClock->AddRef();
  return STATUS_SUCCESS;
}

PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
  if (!Irp) return nullptr;
  auto* f = static_cast<FilterObject*>(Irp->HostContext[0]);
  ObjectKind kind;
  return f && FindObject(f, &kind) && kind == ObjectKind::Filter ? &f->Public : nullptr;
}

PKSPIN KsGetPinFromIrp(PIRP Irp) {
  if (!Irp) return nullptr;
  auto* p = static_cast<PinObject*>(Irp->HostContext[1]);
  ObjectKind kind;
  return p && FindObject(p, &kind) && kind == ObjectKind::Pin ? &p->Public : nullptr;
}

PKSFILTER KsPinGetParentFilter(PKSPIN Pin) { return Pin ? &PinOf(Pin)->Filter->Public : nullptr; }

PKSDEVICE KsGetDevice(PVOID Object) {
  if (!Object) return nullptr;
  ObjectKind kind;
  if (FindObject(Object, &kind))
    return kind == ObjectKind::Filter ? static_cast<FilterObject*>(Object)->Device
                                      : static_cast<PinObject*>(Object)->Filter->Device;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  for (auto& [device, host] : r.devices)
    for (const auto& f : host->Factories)
      if (&f->Public == Object) return device;
  return nullptr;
}
