// What the KS entry points and the Plug and Play harness share.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ks/harness.h"
#include "platform/ks/host.h"

namespace platform::ks::detail {

struct Factory {
  KSFILTERFACTORY Public{};
  std::u16string ReferenceString;
  std::vector<GUID> Categories;
};

// The class driver's own record of a device, beside the KSDEVICE it hands out.
struct DeviceHost {
  KSHARNESS_BUS_DATA BusData = nullptr;
  PVOID BusContext = nullptr;
  AdapterRegistration Adapter;
  uint64_t Sequence = 0;  // order of addition
  std::vector<std::unique_ptr<Factory>> Factories;
  std::vector<PinlessRecord> Pinless;
};

// Every device the class driver serves, under one lock.
struct Registry {
  std::mutex lock;
  std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*> drivers;
  std::map<PKSDEVICE, DeviceHost*> devices;
  uint64_t nextSequence = 0;
  NTSTATUS failNextInitialize = STATUS_SUCCESS;
};
Registry& TheRegistry();
// The registered devices in the order they were added (call with the lock held).
std::vector<std::pair<PKSDEVICE, DeviceHost*>> DevicesInOrder(Registry& r);

void RegisterDevice(PKSDEVICE Device, DeviceHost* Host);
void UnregisterDevice(PKSDEVICE Device);
void ForgetDriver(PDRIVER_OBJECT DriverObject);
// A stopped or removed device's factories and pinless declarations go away.
void ForgetFactories(PKSDEVICE Device);

}  // namespace platform::ks::detail
