#include <algorithm>

#include "platform/ks/ks_internal.h"

namespace platform::ks {

namespace detail {

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

std::vector<std::pair<PKSDEVICE, DeviceHost*>> DevicesInOrder(Registry& r) {
  std::vector<std::pair<PKSDEVICE, DeviceHost*>> list(r.devices.begin(), r.devices.end());
  std::sort(list.begin(), list.end(),
            [](const auto& a, const auto& b) { return a.second->Sequence < b.second->Sequence; });
  return list;
}

}  // namespace detail

namespace {

using detail::Registry;
using detail::TheRegistry;

detail::DeviceHost* FindHost(PKSDEVICE Device) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.devices.find(Device);
  return it == r.devices.end() ? nullptr : it->second;
}

ULONG TransferBusData(PKSDEVICE Device, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length, BOOLEAN Write) {
  detail::DeviceHost* host = FindHost(Device);
  if (!host || !host->BusData || !Buffer) return 0;
  ULONG done = host->BusData(host->BusContext, DataType, Buffer, Offset, Length, Write);
  return done > Length ? Length : done;
}

}  // namespace

const KSDEVICE_DESCRIPTOR* RegisteredDescriptor(PDRIVER_OBJECT DriverObject) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.drivers.find(DriverObject);
  return it == r.drivers.end() ? nullptr : it->second;
}

void FailNextInitializeDriver(NTSTATUS Status) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  r.failNextInitialize = Status;
}

namespace detail {

void RegisterDevice(PKSDEVICE Device, DeviceHost* Host) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  Host->Sequence = r.nextSequence++;
  r.devices[Device] = Host;
}

void UnregisterDevice(PKSDEVICE Device) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.devices.find(Device);
  if (it == r.devices.end()) return;
  it->second->Factories.clear();
  it->second->Pinless.clear();
  r.devices.erase(it);
}

void ForgetDriver(PDRIVER_OBJECT DriverObject) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  r.drivers.erase(DriverObject);
}

}  // namespace detail
}  // namespace platform::ks

using namespace platform::ks;

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                            const KSDEVICE_DESCRIPTOR* Descriptor) {
  if (!DriverObject) return STATUS_INVALID_PARAMETER;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  if (r.failNextInitialize != STATUS_SUCCESS) {
    NTSTATUS status = r.failNextInitialize;
    r.failNextInitialize = STATUS_SUCCESS;
    return status;
  }
  // The descriptor is kept by address, not copied: it is the driver's static table.
  r.drivers[DriverObject] = Descriptor;
  return STATUS_SUCCESS;
}

ULONG KsDeviceGetBusData(PKSDEVICE Device, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length) {
  return TransferBusData(Device, DataType, Buffer, Offset, Length, FALSE);
}

ULONG KsDeviceSetBusData(PKSDEVICE Device, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length) {
  return TransferBusData(Device, DataType, Buffer, Offset, Length, TRUE);
}

VOID KsDeviceRegisterAdapterObject(PKSDEVICE Device, PADAPTER_OBJECT AdapterObject, ULONG MaxMappingsByteCount,
                                   ULONG MappingTableStride) {
  detail::DeviceHost* host = FindHost(Device);
  if (!host) return;
  host->Adapter.Adapter = AdapterObject;
  host->Adapter.MaxMappingsByteCount = MaxMappingsByteCount;
  host->Adapter.MappingTableStride = MappingTableStride;
}
