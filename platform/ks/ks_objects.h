// The class driver's own records behind the filters, pins, frames and stream pointers it
// hands out. Each public object is the first member of its record.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ks/client.h"
#include "platform/ks/ks.h"

namespace platform::ks::detail {

struct PinObject;
struct FilterObject;

struct FilterObject {
  KSFILTER Public{};
  PKSDEVICE Device = nullptr;
  // Serialises the filter's control requests: pin creation and close, property requests.
  std::recursive_mutex Control;
  std::vector<PinObject*> Pins;  // open pins
  bool CloseWanted = false;      // closed by the client while pins were still open
};

struct Frame {
  std::vector<uint8_t> Header;  // KSSTREAM_HEADER and any extended header
  uint64_t Tag = 0;
  int References = 0;       // clones holding it
  bool PassedEdge = false;  // the leading edge went past it
  PKSSTREAM_HEADER StreamHeader() { return reinterpret_cast<PKSSTREAM_HEADER>(Header.data()); }
};

struct StreamPointer {
  KSSTREAM_POINTER Public{};
  PinObject* Pin = nullptr;
  Frame* Current = nullptr;
  bool Locked = false;
  bool Clone = false;
  std::vector<uint64_t> ContextArea;  // 8-byte aligned
};

struct PinObject {
  KSPIN Public{};
  FilterObject* Filter = nullptr;
  std::vector<uint64_t> Format;  // ConnectionFormat's storage

  // Processing: Process and state changes take this in turn, so neither overlaps the other.
  std::mutex Processing;

  // The queue (a leaf lock: no driver code runs under it).
  std::mutex QueueLock;
  std::condition_variable QueueCv;
  std::deque<std::unique_ptr<Frame>> Queue;  // oldest first
  size_t EdgeIndex = 0;                      // index of the leading edge's frame (== size: none)
  StreamPointer LeadingEdge;
  std::list<StreamPointer*> Clones;  // creation order
  std::deque<CompletedFrame> Completed;
  bool ProcessRequested = false;
  bool ProcessingAllowed = false;  // the state allows Process
  bool ProcessRunning = false;
  // A request the processing thread has taken and not yet carried into its Process call
  // (for the jumping test clock, which must not move while it is on its way).
  bool ProcessHanding = false;
  // A state or format change holds the processing turn: a request waits for it.
  bool TurnTaken = false;
  bool Exiting = false;
  std::thread Worker;

  IKsReferenceClock* MasterClock = nullptr;  // referenced
  HANDLE MasterClockHandle = nullptr;
};

// A new reference to the clock behind an application's clock handle, or null.
IKsReferenceClock* ClockFromHandle(HANDLE Handle);

// Live objects, by address (for KsGetDevice and the client's handles).
enum class ObjectKind { Filter, Pin };
void RegisterObject(void* Object, ObjectKind Kind);
void UnregisterObject(void* Object);
bool FindObject(void* Object, ObjectKind* Kind);

// The filter, pin and the request's lengths, carried in the IRP's host slots.
struct RequestSlots {
  FilterObject* Filter;
  PinObject* Pin;
};
void SetRequestObjects(IRP& Irp, FilterObject* Filter, PinObject* Pin);

// Opening and closing objects (client side).
NTSTATUS OpenFilter(PKSDEVICE Device, const KSFILTER_DESCRIPTOR* Descriptor, FilterObject** Filter);
NTSTATUS CloseFilter(FilterObject* Filter);
NTSTATUS CreatePin(FilterObject* Filter, ULONG PinId, const KSDATAFORMAT* Format, ULONG FormatLength, PinObject** Pin);
NTSTATUS ClosePin(PinObject* Pin);
NTSTATUS SetPinState(PinObject* Pin, KSSTATE Target);
NTSTATUS ChangePinFormat(PinObject* Pin, const KSDATAFORMAT* Format, ULONG FormatLength);
NTSTATUS SetPinMasterClock(PinObject* Pin, IKsReferenceClock* Clock);
NTSTATUS SubmitFrame(PinObject* Pin, PVOID Data, ULONG FrameExtent, uint64_t Tag);
bool TakeCompleted(PinObject* Pin, CompletedFrame* Out, int TimeoutMs);
void WaitProcessingIdle(PinObject* Pin);

// Property requests to a filter or pin. Input is the request (KSPROPERTY and what
// follows), Data the caller's value buffer. *Returned: bytes that go back to the caller
// (or the needed size, with STATUS_BUFFER_OVERFLOW).
NTSTATUS PropertyRequest(FilterObject* Filter, PinObject* Pin, const void* Input, ULONG InputLength, void* Data,
                         ULONG DataLength, ULONG* Returned);

}  // namespace platform::ks::detail
