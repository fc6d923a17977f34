// What the KS entry points and the Plug and Play harness share.
#pragma once

#include "platform/ks/harness.h"

namespace platform::ks::detail {

// The class driver's own record of a device, beside the KSDEVICE it hands out.
struct DeviceHost {
  KSHARNESS_BUS_DATA BusData = nullptr;
  PVOID BusContext = nullptr;
  AdapterRegistration Adapter;
};

void RegisterDevice(PKSDEVICE Device, DeviceHost* Host);
void UnregisterDevice(PKSDEVICE Device);
void ForgetDriver(PDRIVER_OBJECT DriverObject);

}  // namespace platform::ks::detail
