// The application's view of the devices: their interfaces by category.
#include "platform/ks/client.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/ks/ks_internal.h"
#include "platform/ks/ks_objects.h"

namespace platform::ks {
namespace {

// "\\?\ks#device<n>#{category}\<reference>", n the board's host instance.
std::u16string LinkOf(PKSDEVICE device, const GUID& category, const std::u16string& reference) {
  std::string head = "\\\\?\\ks#device" + std::to_string(device->FunctionalDeviceObject->HostInstance) + "#";
  std::u16string link(head.begin(), head.end());
  link += GuidText16(category);
  if (!reference.empty()) link += u"\\" + reference;
  return link;
}

GUID ParseGuid(const std::u16string& text) {
  GUID g = GUID_NULL;
  if (text.size() != 38 || text[0] != u'{') return g;
  std::string s(text.begin(), text.end());
  unsigned d1, d2, d3, b[8];
  if (std::sscanf(s.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7]) != 11)
    return g;
  g.Data1 = d1;
  g.Data2 = (USHORT)d2;
  g.Data3 = (USHORT)d3;
  for (int i = 0; i < 8; i++) g.Data4[i] = (UCHAR)b[i];
  return g;
}

}  // namespace

std::vector<FilterListing> KsClient::ListFilters(const GUID& Category) const {
  detail::Registry& r = detail::TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  std::vector<FilterListing> list;
  for (auto& [device, host] : detail::DevicesInOrder(r)) {
    for (const auto& f : host->Factories) {
      for (const GUID& c : f->Categories) {
        if (c != Category) continue;
        list.push_back(FilterListing{LinkOf(device, c, f->ReferenceString), c, ParseGuid(f->ReferenceString),
                                     f->ReferenceString, device, f->Public.FilterDescriptor});
      }
    }
  }
  return list;
}

std::vector<PinlessListing> KsClient::ListPinlessFilters(const GUID& Category) const {
  detail::Registry& r = detail::TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  std::vector<PinlessListing> list;
  for (auto& [device, host] : detail::DevicesInOrder(r)) {
    for (const PinlessRecord& p : host->Pinless) {
      if (p.Category != Category) continue;
      PinlessListing l{LinkOf(device, Category, u""), Category, device, {}, {}};
      for (const PinlessPin& pin : p.Pins) {
        l.PinDirections.push_back(pin.Output ? TRUE : FALSE);
        l.Mediums.push_back(pin.Medium);
      }
      list.push_back(l);
    }
  }
  return list;
}

// ---- Handles --------------------------------------------------------------------------

namespace {

struct HandleEntry {
  detail::ObjectKind kind;
  void* object;
};
std::mutex g_handlesLock;
std::map<HANDLE, HandleEntry> g_handles;
uintptr_t g_nextHandle = 0x1000;

HANDLE NewHandle(detail::ObjectKind kind, void* object) {
  std::lock_guard<std::mutex> hold(g_handlesLock);
  HANDLE h = reinterpret_cast<HANDLE>(g_nextHandle += 4);
  g_handles[h] = HandleEntry{kind, object};
  return h;
}

bool Lookup(HANDLE h, HandleEntry* entry) {
  std::lock_guard<std::mutex> hold(g_handlesLock);
  auto it = g_handles.find(h);
  if (it == g_handles.end()) return false;
  *entry = it->second;
  return true;
}

detail::PinObject* PinHandle(HANDLE h) {
  HandleEntry e;
  return Lookup(h, &e) && e.kind == detail::ObjectKind::Pin ? static_cast<detail::PinObject*>(e.object) : nullptr;
}

detail::FilterObject* FilterHandle(HANDLE h) {
  HandleEntry e;
  return Lookup(h, &e) && e.kind == detail::ObjectKind::Filter ? static_cast<detail::FilterObject*>(e.object) : nullptr;
}

ULONG Win32ErrorOf(NTSTATUS status) {
  switch (status) {
    case STATUS_BUFFER_OVERFLOW:
      return kErrorMoreData;
    case STATUS_BUFFER_TOO_SMALL:
      return kErrorInsufficientBuffer;
    case STATUS_NOT_FOUND:
      return kErrorNotFound;
    case STATUS_PROPSET_NOT_FOUND:
      return kErrorSetNotFound;
    case STATUS_INVALID_PARAMETER:
      return kErrorInvalidParameter;
    case STATUS_NOT_SUPPORTED:
      return kErrorNotSupported;
    case STATUS_INVALID_HANDLE:
      return kErrorInvalidHandle;
    case STATUS_NO_MATCH:
      return kErrorNoMatch;
    case STATUS_INVALID_BUFFER_SIZE:
      return kErrorBadLength;
    case STATUS_DEVICE_NOT_READY:
      return kErrorNotReady;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace

KsClient::~KsClient() {
  // Pins were opened after their filters: closing in reverse closes pins first.
  while (!open_.empty()) Close(open_.back());
}

NTSTATUS KsClient::OpenFilter(const FilterListing& Listing, HANDLE* Filter) {
  if (!Filter) return STATUS_INVALID_PARAMETER;
  const KSFILTER_DESCRIPTOR* descriptor = nullptr;
  {
    detail::Registry& r = detail::TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto it = r.devices.find(Listing.Device);
    if (it == r.devices.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    for (const auto& f : it->second->Factories) {
      for (const GUID& c : f->Categories)
        if (c == Listing.Category && f->ReferenceString == Listing.ReferenceString)
          descriptor = f->Public.FilterDescriptor;
    }
  }
  if (!descriptor) return STATUS_OBJECT_NAME_NOT_FOUND;
  detail::FilterObject* f = nullptr;
  NTSTATUS status = detail::OpenFilter(Listing.Device, descriptor, &f);
  if (!NT_SUCCESS(status)) return status;
  *Filter = NewHandle(detail::ObjectKind::Filter, f);
  open_.push_back(*Filter);
  return STATUS_SUCCESS;
}

NTSTATUS KsClient::Close(HANDLE Object) {
  HandleEntry e;
  if (!Lookup(Object, &e)) return STATUS_INVALID_HANDLE;
  {
    std::lock_guard<std::mutex> hold(g_handlesLock);
    g_handles.erase(Object);
  }
  open_.erase(std::remove(open_.begin(), open_.end(), Object), open_.end());
  if (e.kind == detail::ObjectKind::Pin) return detail::ClosePin(static_cast<detail::PinObject*>(e.object));
  return detail::CloseFilter(static_cast<detail::FilterObject*>(e.object));
}

NTSTATUS KsClient::CreatePin(HANDLE Filter, ULONG PinId, const KSDATAFORMAT* Format, HANDLE* Pin) {
  detail::FilterObject* f = FilterHandle(Filter);
  if (!f || !Pin) return STATUS_INVALID_HANDLE;
  if (!Format) return STATUS_INVALID_PARAMETER;
  detail::PinObject* p = nullptr;
  NTSTATUS status = detail::CreatePin(f, PinId, Format, Format->FormatSize, &p);
  if (!NT_SUCCESS(status)) return status;
  *Pin = NewHandle(detail::ObjectKind::Pin, p);
  open_.push_back(*Pin);
  return STATUS_SUCCESS;
}

NTSTATUS KsClient::Property(const PropertyTarget& Target, const GUID& Set, ULONG Id, ULONG Flags, const void* Extra,
                            ULONG ExtraLength, void* Data, ULONG DataLength, ULONG* Returned) {
  std::vector<uint8_t> request(sizeof(KSPROPERTY));
  KSPROPERTY p{Set, Id, Flags};
  if (Target.NodeId != (ULONG)-1) {
    p.Flags |= KSPROPERTY_TYPE_TOPOLOGY;
    KSP_NODE n{p, Target.NodeId, 0};
    request.resize(sizeof(n));
    std::memcpy(request.data(), &n, sizeof(n));
  } else {
    std::memcpy(request.data(), &p, sizeof(p));
  }
  if (ExtraLength) request.insert(request.end(), (const uint8_t*)Extra, (const uint8_t*)Extra + ExtraLength);
  ULONG returned = 0;
  NTSTATUS status = DeviceIoControl(Target.Object, IOCTL_KS_PROPERTY, request.data(), (ULONG)request.size(), Data,
                                    DataLength, &returned);
  if (Returned) *Returned = returned;
  return status;
}

NTSTATUS KsClient::GetProperty(const PropertyTarget& Target, const GUID& Set, ULONG Id, void* Data, ULONG DataLength,
                               ULONG* Returned) {
  return Property(Target, Set, Id, KSPROPERTY_TYPE_GET, nullptr, 0, Data, DataLength, Returned);
}

NTSTATUS KsClient::SetProperty(const PropertyTarget& Target, const GUID& Set, ULONG Id, const void* Data,
                               ULONG DataLength) {
  return Property(Target, Set, Id, KSPROPERTY_TYPE_SET, nullptr, 0, const_cast<void*>(Data), DataLength, nullptr);
}

NTSTATUS KsClient::DeviceIoControl(HANDLE Object, ULONG IoControlCode, const void* Input, ULONG InputLength,
                                   void* Output, ULONG OutputLength, ULONG* Returned) {
  ULONG returned = 0;
  if (Returned) *Returned = 0;
  HandleEntry e;
  if (!Lookup(Object, &e)) return STATUS_INVALID_HANDLE;
  if (IoControlCode != IOCTL_KS_PROPERTY) return STATUS_INVALID_DEVICE_REQUEST;
  detail::PinObject* pin = e.kind == detail::ObjectKind::Pin ? static_cast<detail::PinObject*>(e.object) : nullptr;
  detail::FilterObject* filter = pin ? pin->Filter : static_cast<detail::FilterObject*>(e.object);
  NTSTATUS status = detail::PropertyRequest(filter, pin, Input, InputLength, Output, OutputLength, &returned);
  if (Returned) *Returned = returned;
  return status;
}

LONG KsClient::SynchronousDeviceControl(HANDLE Object, ULONG IoControlCode, const void* Input, ULONG InputLength,
                                        void* Output, ULONG OutputLength, ULONG* BytesReturned) {
  ULONG returned = 0;
  NTSTATUS status = DeviceIoControl(Object, IoControlCode, Input, InputLength, Output, OutputLength, &returned);
  if (BytesReturned) *BytesReturned = (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) ? returned : 0;
  if (status == STATUS_SUCCESS) return kSOk;
  return HResultFromWin32(Win32ErrorOf(status));
}

NTSTATUS KsClient::Intersect(HANDLE Filter, ULONG PinId, const std::vector<const KSDATARANGE*>& Ranges,
                             std::vector<uint8_t>* Format) {
  if (!Format) return STATUS_INVALID_PARAMETER;
  std::vector<uint8_t> extra(sizeof(ULONG) * 2 + sizeof(KSMULTIPLE_ITEM));
  KSMULTIPLE_ITEM head{sizeof(KSMULTIPLE_ITEM), (ULONG)Ranges.size()};
  for (const KSDATARANGE* r : Ranges) {
    size_t at = extra.size();
    extra.resize(at + ((r->FormatSize + 7) & ~7u), 0);
    std::memcpy(extra.data() + at, r, r->FormatSize);
  }
  head.Size = (ULONG)(extra.size() - sizeof(ULONG) * 2);
  std::memcpy(extra.data(), &PinId, sizeof(ULONG));
  std::memcpy(extra.data() + sizeof(ULONG) * 2, &head, sizeof(head));
  ULONG size = 0;
  NTSTATUS status = Property(PropertyTarget{Filter}, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION,
                             KSPROPERTY_TYPE_GET, extra.data(), (ULONG)extra.size(), nullptr, 0, &size);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  Format->assign(size, 0);
  ULONG got = 0;
  status = Property(PropertyTarget{Filter}, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET,
                    extra.data(), (ULONG)extra.size(), Format->data(), size, &got);
  if (NT_SUCCESS(status)) Format->resize(got);
  return status;
}

NTSTATUS KsClient::SetMasterClock(HANDLE Pin, ReferenceClock* Clock) {
  HANDLE h = Clock ? Clock->Handle() : nullptr;
  return SetProperty(PropertyTarget{Pin}, KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, &h, sizeof(h));
}

NTSTATUS KsClient::SetState(HANDLE Pin, KSSTATE State) {
  return SetProperty(PropertyTarget{Pin}, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &State, sizeof(State));
}

NTSTATUS KsClient::GetState(HANDLE Pin, KSSTATE* State) {
  return GetProperty(PropertyTarget{Pin}, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, State, sizeof(*State));
}

NTSTATUS KsClient::SetDataFormat(HANDLE Pin, const KSDATAFORMAT* Format) {
  if (!Format) return STATUS_INVALID_PARAMETER;
  return SetProperty(PropertyTarget{Pin}, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, Format,
                     Format->FormatSize);
}

NTSTATUS KsClient::AllocatorFraming(HANDLE Pin, KSALLOCATOR_FRAMING_EX* Framing) {
  return GetProperty(PropertyTarget{Pin}, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, Framing,
                     sizeof(*Framing));
}

NTSTATUS KsClient::Submit(HANDLE Pin, PVOID Data, ULONG FrameExtent, uint64_t Tag) {
  detail::PinObject* p = PinHandle(Pin);
  if (!p) return STATUS_INVALID_HANDLE;
  return detail::SubmitFrame(p, Data, FrameExtent, Tag);
}

bool KsClient::Collect(HANDLE Pin, CompletedFrame* Frame, int TimeoutMs) {
  detail::PinObject* p = PinHandle(Pin);
  return p && Frame && detail::TakeCompleted(p, Frame, TimeoutMs);
}

void KsClient::WaitProcessingIdle(HANDLE Pin) {
  if (detail::PinObject* p = PinHandle(Pin)) detail::WaitProcessingIdle(p);
}

}  // namespace platform::ks
