// The application's side of Kernel Streaming: what a program sees of the devices the
// class driver serves. Device interfaces are listed by category, each with its symbolic
// link and its reference string (the text of the filter's reference GUID).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ks/ks.h"

namespace platform::ks {

struct FilterListing {
  std::u16string SymbolicLink;
  GUID Category;
  GUID ReferenceGuid;  // GUID_NULL when the descriptor has none
  std::u16string ReferenceString;
  PKSDEVICE Device;
  const KSFILTER_DESCRIPTOR* Descriptor;
};

struct PinlessListing {
  std::u16string SymbolicLink;
  GUID Category;
  PKSDEVICE Device;
  std::vector<BOOL> PinDirections;  // TRUE: output
  std::vector<KSPIN_MEDIUM> Mediums;
};

// A frame the driver gave back, as the application receives it.
struct CompletedFrame {
  NTSTATUS Status = STATUS_SUCCESS;  // STATUS_CANCELLED: flushed at stop, header untouched
  KSSTREAM_HEADER Header{};
  KS_FRAME_INFO FrameInfo{};  // valid when Header.Size covers it
  PVOID Data = nullptr;
  ULONG FrameExtent = 0;
  uint64_t Tag = 0;
};

// A master clock an application hands to pins: the machine's interrupt time since the
// clock was made (or last set).
class ReferenceClock {
 public:
  ReferenceClock();
  ~ReferenceClock();
  ReferenceClock(const ReferenceClock&) = delete;
  ReferenceClock& operator=(const ReferenceClock&) = delete;
  LONGLONG Time() const;
  void Set(LONGLONG Time);
  // The handle a pin's master-clock property takes.
  HANDLE Handle() const { return handle_; }

 private:
  std::shared_ptr<std::atomic<LONGLONG>> base_;
  HANDLE handle_;
};

// Where a property request goes: a filter or pin, or a node of the filter's topology.
struct PropertyTarget {
  HANDLE Object = nullptr;
  ULONG NodeId = (ULONG)-1;  // (ULONG)-1: the object itself
};

class KsClient {
 public:
  KsClient() = default;
  // Closes whatever the client still has open, pins first.
  ~KsClient();
  KsClient(const KsClient&) = delete;
  KsClient& operator=(const KsClient&) = delete;

  // Opens a filter of a listed interface: the filter's Create runs now.
  NTSTATUS OpenFilter(const FilterListing& Listing, HANDLE* Filter);
  // Closes a pin (stepped down to STOP first) or a filter (its Close runs once its last
  // pin has closed).
  NTSTATUS Close(HANDLE Object);
  // The data intersection of pin factory PinId with the caller's ranges: asks for the
  // size, then for the format.
  NTSTATUS Intersect(HANDLE Filter, ULONG PinId, const std::vector<const KSDATARANGE*>& Ranges,
                     std::vector<uint8_t>* Format);
  NTSTATUS CreatePin(HANDLE Filter, ULONG PinId, const KSDATAFORMAT* Format, HANDLE* Pin);
  NTSTATUS SetMasterClock(HANDLE Pin, ReferenceClock* Clock);
  NTSTATUS SetState(HANDLE Pin, KSSTATE State);
  NTSTATUS GetState(HANDLE Pin, KSSTATE* State);
  // A format change on an open pin.
  NTSTATUS SetDataFormat(HANDLE Pin, const KSDATAFORMAT* Format);
  NTSTATUS AllocatorFraming(HANDLE Pin, KSALLOCATOR_FRAMING_EX* Framing);
  // Queues a buffer of FrameExtent bytes at Data; refused in STOP.
  NTSTATUS Submit(HANDLE Pin, PVOID Data, ULONG FrameExtent, uint64_t Tag = 0);
  // The oldest completed buffer, waiting up to TimeoutMs of real time; false if none.
  bool Collect(HANDLE Pin, CompletedFrame* Frame, int TimeoutMs = 0);
  // Returns once the pin's processing has nothing left to do.
  void WaitProcessingIdle(HANDLE Pin);

  // A property request by set, id and target; Flags as in KSPROPERTY (GET, SET,
  // BASICSUPPORT). Extra follows the identifier (after the node id for a node).
  NTSTATUS Property(const PropertyTarget& Target, const GUID& Set, ULONG Id, ULONG Flags, const void* Extra,
                    ULONG ExtraLength, void* Data, ULONG DataLength, ULONG* Returned);
  NTSTATUS GetProperty(const PropertyTarget& Target, const GUID& Set, ULONG Id, void* Data, ULONG DataLength,
                       ULONG* Returned = nullptr);
  NTSTATUS SetProperty(const PropertyTarget& Target, const GUID& Set, ULONG Id, const void* Data, ULONG DataLength);
  // The I/O control path (IOCTL_KS_PROPERTY) with the kernel's status.
  NTSTATUS DeviceIoControl(HANDLE Object, ULONG IoControlCode, const void* Input, ULONG InputLength, void* Output,
                           ULONG OutputLength, ULONG* Returned);
  // The same as an application sees it: S_OK, HRESULT_FROM_WIN32(ERROR_MORE_DATA) with
  // the needed size in *BytesReturned for a size query, the Win32 error otherwise. The
  // caller's buffer is left alone on failure.
  LONG SynchronousDeviceControl(HANDLE Object, ULONG IoControlCode, const void* Input, ULONG InputLength, void* Output,
                                ULONG OutputLength, ULONG* BytesReturned);

  // Every enabled device interface of the category, device by device in the order the
  // devices were added, factories in creation order.
  std::vector<FilterListing> ListFilters(const GUID& Category) const;
  // The filters declared without KS pins under the category, with their mediums.
  std::vector<PinlessListing> ListPinlessFilters(const GUID& Category) const;

 private:
  std::vector<HANDLE> open_;  // in opening order
};

// HRESULT values of SynchronousDeviceControl.
constexpr LONG kSOk = 0;
constexpr LONG HResultFromWin32(ULONG Error) { return Error ? (LONG)((Error & 0xFFFF) | 0x80070000u) : 0; }
constexpr ULONG kErrorMoreData = 234;
constexpr ULONG kErrorInsufficientBuffer = 122;
constexpr ULONG kErrorNotFound = 1168;
constexpr ULONG kErrorSetNotFound = 1170;
constexpr ULONG kErrorInvalidParameter = 87;
constexpr ULONG kErrorNotSupported = 50;
constexpr ULONG kErrorInvalidHandle = 6;
constexpr ULONG kErrorGenFailure = 31;
constexpr ULONG kErrorNoMatch = 1169;
constexpr ULONG kErrorNotReady = 21;
constexpr ULONG kErrorBadLength = 24;

}  // namespace platform::ks
