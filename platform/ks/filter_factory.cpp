// Filter factories and pinless filter declarations, per device.
#include <cstdio>

#include "platform/ks/ks_internal.h"

namespace platform::ks {
namespace {

using detail::DeviceHost;
using detail::Registry;
using detail::TheRegistry;

struct FactoryFaults {
  uint64_t countdown = 0;  // 0: none armed
  NTSTATUS status = STATUS_SUCCESS;
};
FactoryFaults g_factoryFaults;  // under the registry lock

// The device whose functional (or, for Physical, physical) device object this is.
std::pair<PKSDEVICE, DeviceHost*> DeviceOfObject(Registry& r, PDEVICE_OBJECT Object, bool Physical) {
  for (auto& [device, host] : r.devices) {
    if ((Physical ? device->PhysicalDeviceObject : device->FunctionalDeviceObject) == Object) return {device, host};
  }
  return {nullptr, nullptr};
}

bool FactoryFaultFires() {
  if (g_factoryFaults.countdown == 0) return false;
  return --g_factoryFaults.countdown == 0;
}

}  // namespace

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::u16string GuidText16(const GUID& g) {
  std::string text = GuidText(g);
  return std::u16string(text.begin(), text.end());
}

void FailNthFilterFactory(uint64_t n, NTSTATUS Status) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  g_factoryFaults.countdown = n;
  g_factoryFaults.status = Status;
}

namespace detail {
void ClearFactoryFaults() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  g_factoryFaults = FactoryFaults{};
}

void ForgetFactories(PKSDEVICE Device) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.devices.find(Device);
  if (it == r.devices.end()) return;
  it->second->Factories.clear();
  it->second->Pinless.clear();
}
}  // namespace detail

std::vector<FactoryRecord> FactoriesOf(PKSDEVICE Device) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  std::vector<FactoryRecord> list;
  auto it = r.devices.find(Device);
  if (it == r.devices.end()) return list;
  for (const auto& f : it->second->Factories)
    list.push_back(FactoryRecord{f->Public.FilterDescriptor, f->ReferenceString, f->Categories});
  return list;
}

std::vector<PinlessRecord> PinlessFiltersOf(PKSDEVICE Device) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.devices.find(Device);
  return it == r.devices.end() ? std::vector<PinlessRecord>{} : it->second->Pinless;
}

}  // namespace platform::ks

using namespace platform::ks;

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor, PWSTR RefString,
                               PVOID SecurityDescriptor, ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER SleepCallback,
                               PFNKSFILTERFACTORYPOWER WakeCallback, PKSFILTERFACTORY* FilterFactory) {
  if (!DeviceObject || !Descriptor) return STATUS_INVALID_PARAMETER;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto [device, host] = DeviceOfObject(r, DeviceObject, false);
  if (!device) return STATUS_INVALID_PARAMETER;
  if (FactoryFaultFires()) return g_factoryFaults.status;

  auto factory = std::make_unique<detail::Factory>();
  factory->Public.FilterDescriptor = Descriptor;
  if (RefString) {
    for (const char16_t* c = RefString; *c; c++) factory->ReferenceString.push_back(*c);
  } else if (Descriptor->ReferenceGuid) {
    factory->ReferenceString = GuidText16(*Descriptor->ReferenceGuid);
  }
  // One device cannot offer two interfaces with the same reference string: a second
  // one would shadow the first.
  if (!factory->ReferenceString.empty()) {
    for (const auto& other : host->Factories)
      if (other->ReferenceString == factory->ReferenceString) return STATUS_OBJECT_NAME_COLLISION;
  }
  // The interfaces are registered and enabled now, from the categories as they stand.
  for (ULONG i = 0; Descriptor->Categories && i < Descriptor->CategoriesCount; i++)
    factory->Categories.push_back(Descriptor->Categories[i]);
  if (FilterFactory) *FilterFactory = &factory->Public;
  host->Factories.push_back(std::move(factory));
  return STATUS_SUCCESS;
}

NTSTATUS KsDeleteFilterFactory(PKSFILTERFACTORY FilterFactory) {
  if (!FilterFactory) return STATUS_INVALID_PARAMETER;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  for (auto& [device, host] : r.devices) {
    for (auto it = host->Factories.begin(); it != host->Factories.end(); ++it) {
      if (&(*it)->Public != FilterFactory) continue;
      host->Factories.erase(it);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS KsRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject, const GUID* InterfaceClassGUID, ULONG PinCount,
                                      BOOL* PinDirection, KSPIN_MEDIUM* MediumList, GUID* CategoryList) {
  if (!DeviceObject || !InterfaceClassGUID) return STATUS_INVALID_PARAMETER;
  if (PinCount && (!PinDirection || !MediumList)) return STATUS_INVALID_PARAMETER;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto [device, host] = DeviceOfObject(r, DeviceObject, true);
  if (!device) return STATUS_INVALID_PARAMETER;
  PinlessRecord record{*InterfaceClassGUID, {}};
  for (ULONG i = 0; i < PinCount; i++) record.Pins.push_back(PinlessPin{PinDirection[i] != 0, MediumList[i]});
  host->Pinless.push_back(record);
  return STATUS_SUCCESS;
}
