// Property requests: the generic dispatch over an object's automation table and the
// built-in sets, with its checks before any handler runs.
#include <algorithm>
#include <cstring>

#include "platform/ks/ks_objects.h"

namespace platform::ks::detail {
namespace {

constexpr ULONG kTypeMask =
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_SETSUPPORT;

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

const KSPIN_DESCRIPTOR_EX* PinDescriptorAt(const KSFILTER_DESCRIPTOR* d, ULONG id) {
  ULONG stride = d->PinDescriptorSize ? d->PinDescriptorSize : (ULONG)sizeof(KSPIN_DESCRIPTOR_EX);
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const uint8_t*>(d->PinDescriptors) +
                                                      (size_t)stride * id);
}

const KSNODE_DESCRIPTOR* NodeDescriptorAt(const KSFILTER_DESCRIPTOR* d, ULONG id) {
  ULONG stride = d->NodeDescriptorSize ? d->NodeDescriptorSize : (ULONG)sizeof(KSNODE_DESCRIPTOR);
  return reinterpret_cast<const KSNODE_DESCRIPTOR*>(reinterpret_cast<const uint8_t*>(d->NodeDescriptors) +
                                                    (size_t)stride * id);
}

bool GuidMatches(const GUID& a, const GUID& b) { return a == GUID_NULL || b == GUID_NULL || a == b; }

// What a built-in item does with a request that passed the generic checks.
struct Call {
  FilterObject* filter;
  PinObject* pin;
  PIRP irp;
  const uint8_t* input;
  ULONG inputLength;
  uint8_t* data;
  ULONG dataLength;
  bool set;
};
typedef NTSTATUS (*BuiltIn)(Call& c);

struct BuiltInItem {
  const GUID* set;
  ULONG id;
  ULONG minProperty;
  ULONG minData;
  BuiltIn get;
  BuiltIn put;
  bool forPin;  // a pin's set (Connection, Stream); otherwise a filter's (Pin, Topology)
};

// A variable-sized answer: the size alone for an empty buffer, too small for a short one.
NTSTATUS SizedAnswer(Call& c, ULONG needed, const std::vector<uint8_t>& bytes) {
  c.irp->IoStatus.Information = needed;
  if (c.dataLength == 0) return STATUS_BUFFER_OVERFLOW;
  if (c.dataLength < needed) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(c.data, bytes.data(), needed);
  return STATUS_SUCCESS;
}

// A KSMULTIPLE_ITEM of Count items, each padded to Stride (or to 8 when Stride is 0).
NTSTATUS MultipleItem(Call& c, const std::vector<std::pair<const void*, ULONG>>& items, bool align) {
  std::vector<uint8_t> out(sizeof(KSMULTIPLE_ITEM));
  for (const auto& [p, n] : items) {
    size_t at = out.size();
    out.resize(at + (align ? Align8(n) : n), 0);
    std::memcpy(out.data() + at, p, n);
  }
  KSMULTIPLE_ITEM head{(ULONG)out.size(), (ULONG)items.size()};
  std::memcpy(out.data(), &head, sizeof(head));
  return SizedAnswer(c, (ULONG)out.size(), out);
}

const KSPIN_DESCRIPTOR_EX* RequestedPin(Call& c) {
  const KSFILTER_DESCRIPTOR* d = c.filter->Public.Descriptor;
  ULONG id = reinterpret_cast<const KSP_PIN*>(c.input)->PinId;
  if (!d || !d->PinDescriptors || id >= d->PinDescriptorsCount) return nullptr;
  return PinDescriptorAt(d, id);
}

NTSTATUS PinCTypes(Call& c) {
  ULONG n = c.filter->Public.Descriptor ? c.filter->Public.Descriptor->PinDescriptorsCount : 0;
  std::memcpy(c.data, &n, sizeof(n));
  return STATUS_SUCCESS;
}

NTSTATUS PinCInstances(Call& c) {
  const KSPIN_DESCRIPTOR_EX* pd = RequestedPin(c);
  if (!pd) return STATUS_INVALID_PARAMETER;
  ULONG id = reinterpret_cast<const KSP_PIN*>(c.input)->PinId;
  KSPIN_CINSTANCES v{pd->InstancesPossible, (ULONG)std::count_if(c.filter->Pins.begin(), c.filter->Pins.end(),
                                                                 [&](PinObject* p) { return p->Public.Id == id; })};
  std::memcpy(c.data, &v, sizeof(v));
  return STATUS_SUCCESS;
}

NTSTATUS PinULong(Call& c, ULONG (*pick)(const KSPIN_DESCRIPTOR_EX*)) {
  const KSPIN_DESCRIPTOR_EX* pd = RequestedPin(c);
  if (!pd) return STATUS_INVALID_PARAMETER;
  ULONG v = pick(pd);
  std::memcpy(c.data, &v, sizeof(v));
  return STATUS_SUCCESS;
}
NTSTATUS PinDataFlow(Call& c) {
  return PinULong(c, [](const KSPIN_DESCRIPTOR_EX* p) { return (ULONG)p->PinDescriptor.DataFlow; });
}
NTSTATUS PinCommunication(Call& c) {
  return PinULong(c, [](const KSPIN_DESCRIPTOR_EX* p) { return (ULONG)p->PinDescriptor.Communication; });
}
NTSTATUS PinNecessary(Call& c) {
  return PinULong(c, [](const KSPIN_DESCRIPTOR_EX* p) { return p->InstancesNecessary; });
}

NTSTATUS PinCategory(Call& c) {
  const KSPIN_DESCRIPTOR_EX* pd = RequestedPin(c);
  if (!pd) return STATUS_INVALID_PARAMETER;
  if (!pd->PinDescriptor.Category) return STATUS_NOT_FOUND;
  std::memcpy(c.data, pd->PinDescriptor.Category, sizeof(GUID));
  return STATUS_SUCCESS;
}

NTSTATUS PinDataRanges(Call& c) {
  const KSPIN_DESCRIPTOR_EX* pd = RequestedPin(c);
  if (!pd) return STATUS_INVALID_PARAMETER;
  std::vector<std::pair<const void*, ULONG>> items;
  for (ULONG i = 0; pd->PinDescriptor.DataRanges && i < pd->PinDescriptor.DataRangesCount; i++)
    items.push_back({pd->PinDescriptor.DataRanges[i], pd->PinDescriptor.DataRanges[i]->FormatSize});
  return MultipleItem(c, items, true);
}

NTSTATUS PinMediums(Call& c) {
  const KSPIN_DESCRIPTOR_EX* pd = RequestedPin(c);
  if (!pd) return STATUS_INVALID_PARAMETER;
  std::vector<std::pair<const void*, ULONG>> items;
  for (ULONG i = 0; pd->PinDescriptor.Mediums && i < pd->PinDescriptor.MediumsCount; i++)
    items.push_back({&pd->PinDescriptor.Mediums[i], (ULONG)sizeof(KSPIN_MEDIUM)});
  return MultipleItem(c, items, false);
}

NTSTATUS PinInterfaces(Call& c) {
  const KSPIN_DESCRIPTOR_EX* pd = RequestedPin(c);
  if (!pd) return STATUS_INVALID_PARAMETER;
  // No interfaces listed: the standard streaming interface.
  static const KSPIN_INTERFACE kStandard = {
      {0x1A8766A0, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}}, 0, 0};
  std::vector<std::pair<const void*, ULONG>> items;
  for (ULONG i = 0; pd->PinDescriptor.Interfaces && i < pd->PinDescriptor.InterfacesCount; i++)
    items.push_back({&pd->PinDescriptor.Interfaces[i], (ULONG)sizeof(KSPIN_INTERFACE)});
  if (items.empty()) items.push_back({&kStandard, (ULONG)sizeof(KSPIN_INTERFACE)});
  return MultipleItem(c, items, false);
}

// The caller's ranges (a KSMULTIPLE_ITEM after the KSP_PIN), each against the pin's
// ranges in order; the first answer other than "no match" ends the query.
NTSTATUS PinDataIntersection(Call& c) {
  const KSPIN_DESCRIPTOR_EX* pd = RequestedPin(c);
  if (!pd) return STATUS_INVALID_PARAMETER;
  if (c.inputLength < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_BUFFER_SIZE;
  KSMULTIPLE_ITEM head;
  std::memcpy(&head, c.input + sizeof(KSP_PIN), sizeof(head));
  ULONG room = c.inputLength - (ULONG)sizeof(KSP_PIN);
  if (head.Size < sizeof(KSMULTIPLE_ITEM) || head.Size > room) return STATUS_INVALID_PARAMETER;
  // Every caller range must lie inside the list before any is looked at.
  std::vector<PKSDATARANGE> ranges;
  ULONG at = sizeof(KSMULTIPLE_ITEM);
  for (ULONG i = 0; i < head.Count; i++) {
    if (head.Size - at < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
    auto* r = reinterpret_cast<PKSDATARANGE>(const_cast<uint8_t*>(c.input + sizeof(KSP_PIN) + at));
    ULONG size = r->FormatSize;
    if (size < sizeof(KSDATARANGE) || size > head.Size - at) return STATUS_INVALID_PARAMETER;
    ranges.push_back(r);
    at += std::min(Align8(size), head.Size - at);
  }
  auto* pinRequest = reinterpret_cast<PKSP_PIN>(const_cast<uint8_t*>(c.input));
  for (PKSDATARANGE caller : ranges) {
    for (ULONG i = 0; pd->PinDescriptor.DataRanges && i < pd->PinDescriptor.DataRangesCount; i++) {
      PKSDATARANGE mine = pd->PinDescriptor.DataRanges[i];
      if (!GuidMatches(caller->MajorFormat, mine->MajorFormat) || !GuidMatches(caller->SubFormat, mine->SubFormat) ||
          !GuidMatches(caller->Specifier, mine->Specifier))
        continue;
      ULONG size = 0;
      NTSTATUS status;
      if (pd->IntersectHandler) {
        status = pd->IntersectHandler(&c.filter->Public, c.irp, pinRequest, caller, mine, c.dataLength, c.data, &size);
      } else {
        // Without a handler the pin's own range is the format.
        size = mine->FormatSize;
        if (c.dataLength == 0) {
          status = STATUS_BUFFER_OVERFLOW;
        } else if (c.dataLength < size) {
          status = STATUS_BUFFER_TOO_SMALL;
        } else {
          std::memcpy(c.data, mine, size);
          status = STATUS_SUCCESS;
        }
      }
      if (status == STATUS_NO_MATCH) continue;
      c.irp->IoStatus.Information = size;
      return status;
    }
  }
  return STATUS_NO_MATCH;
}

NTSTATUS TopologyCategories(Call& c) {
  const KSFILTER_DESCRIPTOR* d = c.filter->Public.Descriptor;
  std::vector<std::pair<const void*, ULONG>> items;
  for (ULONG i = 0; d->Categories && i < d->CategoriesCount; i++) items.push_back({&d->Categories[i], sizeof(GUID)});
  return MultipleItem(c, items, false);
}

NTSTATUS TopologyNodes(Call& c) {
  const KSFILTER_DESCRIPTOR* d = c.filter->Public.Descriptor;
  std::vector<std::pair<const void*, ULONG>> items;
  for (ULONG i = 0; d->NodeDescriptors && i < d->NodeDescriptorsCount; i++) {
    const GUID* type = NodeDescriptorAt(d, i)->Type;
    items.push_back({type ? type : &GUID_NULL, sizeof(GUID)});
  }
  return MultipleItem(c, items, false);
}

NTSTATUS TopologyConnections(Call& c) {
  const KSFILTER_DESCRIPTOR* d = c.filter->Public.Descriptor;
  std::vector<std::pair<const void*, ULONG>> items;
  for (ULONG i = 0; d->Connections && i < d->ConnectionsCount; i++)
    items.push_back({&d->Connections[i], sizeof(KSTOPOLOGY_CONNECTION)});
  return MultipleItem(c, items, false);
}

NTSTATUS ConnectionStateGet(Call& c) {
  KSSTATE s = c.pin->Public.DeviceState;
  std::memcpy(c.data, &s, sizeof(s));
  return STATUS_SUCCESS;
}
NTSTATUS ConnectionStateSet(Call& c) {
  ULONG s;
  std::memcpy(&s, c.data, sizeof(s));
  if (s > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  return SetPinState(c.pin, (KSSTATE)s);
}

NTSTATUS ConnectionFormatGet(Call& c) {
  const KSDATAFORMAT* f = c.pin->Public.ConnectionFormat;
  std::vector<uint8_t> bytes(f->FormatSize);
  std::memcpy(bytes.data(), f, f->FormatSize);
  return SizedAnswer(c, f->FormatSize, bytes);
}
NTSTATUS ConnectionFormatSet(Call& c) {
  return ChangePinFormat(c.pin, reinterpret_cast<const KSDATAFORMAT*>(c.data), c.dataLength);
}

NTSTATUS ConnectionFramingGet(Call& c) {
  const KSALLOCATOR_FRAMING_EX* f = c.pin->Public.Descriptor->AllocatorFraming;
  if (!f || f->CountItems == 0) return STATUS_NOT_FOUND;
  ULONG size = (ULONG)(offsetof(KSALLOCATOR_FRAMING_EX, FramingItem) + sizeof(KS_FRAMING_ITEM) * f->CountItems);
  std::vector<uint8_t> bytes(size);
  std::memcpy(bytes.data(), f, size);
  return SizedAnswer(c, size, bytes);
}

NTSTATUS StreamClockGet(Call& c) {
  std::memcpy(c.data, &c.pin->MasterClockHandle, sizeof(HANDLE));
  return STATUS_SUCCESS;
}
NTSTATUS StreamClockSet(Call& c) {
  HANDLE h;
  std::memcpy(&h, c.data, sizeof(h));
  IKsReferenceClock* clock = nullptr;
  if (h) {
    clock = ClockFromHandle(h);
    if (!clock) return STATUS_INVALID_HANDLE;
  }
  c.pin->MasterClockHandle = h;
  return SetPinMasterClock(c.pin, clock);
}

const BuiltInItem kBuiltIns[] = {
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, sizeof(KSP_PIN), sizeof(KSPIN_CINSTANCES), PinCInstances, nullptr,
     false},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, sizeof(KSPROPERTY), sizeof(ULONG), PinCTypes, nullptr, false},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, sizeof(KSP_PIN), sizeof(ULONG), PinDataFlow, nullptr, false},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, sizeof(KSP_PIN), 0, PinDataRanges, nullptr, false},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), 0,
     PinDataIntersection, nullptr, false},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_INTERFACES, sizeof(KSP_PIN), 0, PinInterfaces, nullptr, false},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, sizeof(KSP_PIN), 0, PinMediums, nullptr, false},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, sizeof(KSP_PIN), sizeof(ULONG), PinCommunication, nullptr, false},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_NECESSARYINSTANCES, sizeof(KSP_PIN), sizeof(ULONG), PinNecessary, nullptr, false},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, sizeof(KSP_PIN), sizeof(GUID), PinCategory, nullptr, false},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, sizeof(KSPROPERTY), 0, TopologyCategories, nullptr, false},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, sizeof(KSPROPERTY), 0, TopologyNodes, nullptr, false},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, sizeof(KSPROPERTY), 0, TopologyConnections, nullptr,
     false},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, sizeof(KSPROPERTY), sizeof(KSSTATE), ConnectionStateGet,
     ConnectionStateSet, true},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, sizeof(KSPROPERTY), 0, ConnectionFormatGet,
     ConnectionFormatSet, true},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, sizeof(KSPROPERTY), 0, ConnectionFramingGet,
     nullptr, true},
    {&KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, sizeof(KSPROPERTY), sizeof(HANDLE), StreamClockGet,
     StreamClockSet, true},
};

// The basic-support answer of an item without a support handler.
NTSTATUS BasicSupport(PIRP irp, ULONG access, const KSPROPERTY_VALUES* values, uint8_t* data, ULONG dataLength) {
  ULONG full = sizeof(KSPROPERTY_DESCRIPTION);
  ULONG lists = 0;
  if (values && values->MembersList) {
    lists = values->MembersListCount;
    for (ULONG i = 0; i < lists; i++) {
      const KSPROPERTY_MEMBERSHEADER& h = values->MembersList[i].MembersHeader;
      full += (ULONG)sizeof(KSPROPERTY_MEMBERSHEADER) + h.MembersSize * h.MembersCount;
    }
  }
  if (dataLength < sizeof(ULONG)) {
    irp->IoStatus.Information = full;
    return dataLength == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
  }
  if (dataLength < sizeof(KSPROPERTY_DESCRIPTION)) {
    std::memcpy(data, &access, sizeof(access));
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  KSPROPERTY_DESCRIPTION d{};
  d.AccessFlags = access;
  d.DescriptionSize = full;
  if (values) {
    d.PropTypeSet = values->PropTypeSet;
  } else {
    d.PropTypeSet.Set = KSPROPTYPESETID_General;
    d.PropTypeSet.Id = VT_ILLEGAL;
  }
  d.MembersListCount = lists;
  std::memcpy(data, &d, sizeof(d));
  irp->IoStatus.Information = sizeof(d);
  if (dataLength < full) return STATUS_SUCCESS;  // the description alone tells the full size
  ULONG at = sizeof(d);
  for (ULONG i = 0; i < lists; i++) {
    const KSPROPERTY_MEMBERSLIST& l = values->MembersList[i];
    std::memcpy(data + at, &l.MembersHeader, sizeof(l.MembersHeader));
    at += sizeof(l.MembersHeader);
    ULONG n = l.MembersHeader.MembersSize * l.MembersHeader.MembersCount;
    if (n) std::memcpy(data + at, l.Members, n);
    at += n;
  }
  irp->IoStatus.Information = full;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PropertyRequest(FilterObject* Filter, PinObject* Pin, const void* Input, ULONG InputLength, void* Data,
                         ULONG DataLength, ULONG* Returned) {
  *Returned = 0;
  if (!Input || InputLength < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
  if (!Data && DataLength) return STATUS_INVALID_PARAMETER;
  // The request and the caller's value bytes are captured, for a get as for a set; only
  // a get's value goes back, and only on success.
  std::vector<uint64_t> inStore((InputLength + 7) / 8, 0);
  std::memcpy(inStore.data(), Input, InputLength);
  auto* input = reinterpret_cast<uint8_t*>(inStore.data());
  std::vector<uint64_t> dataStore((DataLength + 7) / 8, 0);
  uint8_t* data = DataLength ? reinterpret_cast<uint8_t*>(dataStore.data()) : nullptr;
  if (DataLength) std::memcpy(data, Data, DataLength);
  auto* property = reinterpret_cast<PKSPROPERTY>(input);

  std::lock_guard<std::recursive_mutex> hold(Filter->Control);
  const KSFILTER_DESCRIPTOR* fd = Filter->Public.Descriptor;
  const KSAUTOMATION_TABLE* table = Pin ? (Pin->Public.Descriptor ? Pin->Public.Descriptor->AutomationTable : nullptr)
                                        : (fd ? fd->AutomationTable : nullptr);
  ULONG flags = property->Flags;
  bool node = flags & KSPROPERTY_TYPE_TOPOLOGY;
  if (node) {
    if (InputLength < sizeof(KSP_NODE)) return STATUS_INVALID_BUFFER_SIZE;
    ULONG id = reinterpret_cast<PKSP_NODE>(input)->NodeId;
    if (!fd || !fd->NodeDescriptors || id >= fd->NodeDescriptorsCount) return STATUS_INVALID_PARAMETER;
    table = NodeDescriptorAt(fd, id)->AutomationTable;
    flags &= ~(ULONG)KSPROPERTY_TYPE_TOPOLOGY;
  }
  ULONG type = flags & kTypeMask;
  if ((flags & ~(kTypeMask | KSPROPERTY_TYPE_DEFAULTVALUES)) || __builtin_popcount(type) != 1)
    return STATUS_INVALID_PARAMETER;

  // The object's own items first, then the built-in sets of its kind (not for nodes).
  const KSPROPERTY_ITEM* item = nullptr;
  bool setFound = false;
  if (table && table->PropertySets) {
    ULONG itemSize = table->PropertyItemSize ? table->PropertyItemSize : (ULONG)sizeof(KSPROPERTY_ITEM);
    for (ULONG s = 0; s < table->PropertySetsCount && !item; s++) {
      const KSPROPERTY_SET& set = table->PropertySets[s];
      if (!set.Set || *set.Set != property->Set) continue;
      setFound = true;
      for (ULONG i = 0; i < set.PropertiesCount; i++) {
        auto* candidate = reinterpret_cast<const KSPROPERTY_ITEM*>(reinterpret_cast<const uint8_t*>(set.PropertyItem) +
                                                                   (size_t)itemSize * i);
        if (candidate->PropertyId == property->Id) {
          item = candidate;
          break;
        }
      }
    }
  }
  const BuiltInItem* builtIn = nullptr;
  if (!item && !node) {
    for (const BuiltInItem& b : kBuiltIns) {
      if (b.forPin != (Pin != nullptr) || *b.set != property->Set) continue;
      setFound = true;
      if (b.id == property->Id) builtIn = &b;
    }
  }
  if (!setFound) return STATUS_PROPSET_NOT_FOUND;
  if (type == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
  if (!item && !builtIn) return STATUS_NOT_FOUND;

  bool get = type == KSPROPERTY_TYPE_GET, put = type == KSPROPERTY_TYPE_SET;
  bool hasGet = item ? item->GetPropertyHandler != nullptr : builtIn->get != nullptr;
  bool hasSet = item ? item->SetPropertyHandler != nullptr : builtIn->put != nullptr;
  ULONG minProperty = item ? item->MinProperty : builtIn->minProperty;
  ULONG minData = item ? item->MinData : builtIn->minData;
  if ((get && !hasGet) || (put && !hasSet)) return STATUS_NOT_FOUND;
  if (InputLength < std::max<ULONG>(minProperty, sizeof(KSPROPERTY))) return STATUS_INVALID_BUFFER_SIZE;

  IRP irp{};
  irp.Type = 6;
  irp.Size = sizeof(IRP);
  SetRequestObjects(irp, Filter, Pin);
  // The handler learns the sizes of the caller's buffers as a device control tells them.
  IO_STACK_LOCATION stack{};
  stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack.Parameters.DeviceIoControl.OutputBufferLength = DataLength;
  stack.Parameters.DeviceIoControl.InputBufferLength = InputLength;
  stack.Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
  stack.Parameters.DeviceIoControl.Type3InputBuffer = input;
  irp.HostContext[2] = &stack;
  NTSTATUS status;
  if (type == KSPROPERTY_TYPE_BASICSUPPORT) {
    if (item && item->SupportHandler) {
      status = item->SupportHandler(&irp, property, data);
    } else {
      ULONG access =
          KSPROPERTY_TYPE_BASICSUPPORT | (hasGet ? KSPROPERTY_TYPE_GET : 0) | (hasSet ? KSPROPERTY_TYPE_SET : 0);
      status = BasicSupport(&irp, access, item ? item->Values : nullptr, data, DataLength);
    }
  } else {
    if (DataLength < minData) {
      if (get && DataLength == 0) {
        *Returned = minData;
        return STATUS_BUFFER_OVERFLOW;
      }
      return STATUS_BUFFER_TOO_SMALL;
    }
    irp.IoStatus.Information = get ? minData : 0;
    if (item) {
      status = (get ? item->GetPropertyHandler : item->SetPropertyHandler)(&irp, property, data);
    } else {
      Call c{Filter, Pin, &irp, input, InputLength, data, DataLength, put};
      status = (get ? builtIn->get : builtIn->put)(c);
    }
  }
  irp.IoStatus.Status = status;
  ULONG information = (ULONG)std::min<ULONG_PTR>(irp.IoStatus.Information, 0xFFFFFFFFu);
  if (status == STATUS_BUFFER_OVERFLOW) {
    *Returned = information;
  } else if (NT_SUCCESS(status) && !put) {
    ULONG back = std::min(information, DataLength);
    if (back) std::memcpy(Data, data, back);
    *Returned = back;
  }
  return status;
}

}  // namespace platform::ks::detail

