// The translated resource list a driver's Start receives.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/pci/internal.h"

using namespace platform::pci;
using namespace platform::pci::detail;

namespace platform::pci {

ResourceList::ResourceList() = default;

ResourceList& ResourceList::AddInterrupt(KIRQL level, ULONG vector, KAFFINITY affinity, USHORT flags, bool shared) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeInterrupt;
  d.ShareDisposition = shared ? CmResourceShareShared : CmResourceShareDeviceExclusive;
  d.Flags = flags;
  d.u.Interrupt.Level = level;
  d.u.Interrupt.Vector = vector;
  d.u.Interrupt.Affinity = affinity;
  descriptors_.push_back(d);
  return *this;
}

ResourceList& ResourceList::AddMemory(uint64_t start, ULONG length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeMemory;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
  d.u.Memory.Start.QuadPart = (LONGLONG)start;
  d.u.Memory.Length = length;
  descriptors_.push_back(d);
  return *this;
}

ResourceList& ResourceList::AddPort(uint64_t start, ULONG length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypePort;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.Flags = CM_RESOURCE_PORT_IO;
  d.u.Port.Start.QuadPart = (LONGLONG)start;
  d.u.Port.Length = length;
  descriptors_.push_back(d);
  return *this;
}

PCM_RESOURCE_LIST ResourceList::get() {
  size_t head = offsetof(CM_RESOURCE_LIST, List) + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors);
  size_t n = std::max<size_t>(descriptors_.size(), 1);
  bytes_.assign(head + n * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR), 0);
  auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(bytes_.data());
  list->Count = 1;
  list->List[0].InterfaceType = PCIBus;
  list->List[0].BusNumber = 0;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = (ULONG)descriptors_.size();
  if (!descriptors_.empty())
    memcpy(&list->List[0].PartialResourceList.PartialDescriptors[0], descriptors_.data(),
           descriptors_.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  return list;
}

ResourceList TranslatedResources(const Slot& slot) {
  ResourceList r;
  r.AddInterrupt(slot.level(), slot.vector(), slot.affinity(), slot.latched() ? 1 : 0, slot.shared());
  for (unsigned w = 0; w < Device::kMaxWindows; ++w)
    if (slot.windowBase(w)) r.AddMemory(slot.windowBase(w), slot.device().WindowLength(w));
  return r;
}

}  // namespace platform::pci
