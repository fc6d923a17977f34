// The driver's load entry and the device dispatch table KS works from.
#include "driver/core/driver_entry.h"

#include "driver/core/device.h"
#include "driver/core/device_start.h"
#include "driver/streaming/templates.h"
#include "imaging/core/cpu.h"

namespace {

const KSDEVICE_DISPATCH DeviceDispatch = {
    CDevice::Add,                // Add
    CDevice::Start,              // Start
    nullptr,                     // PostStart
    nullptr,                     // QueryStop
    nullptr,                     // CancelStop
    CDevice::Stop,               // Stop
    nullptr,                     // QueryRemove
    nullptr,                     // CancelRemove
    CDevice::Remove,             // Remove
    CDevice::QueryCapabilities,  // QueryCapabilities
    nullptr,                     // SurpriseRemoval
    nullptr,                     // QueryPower
    CDevice::SetPower,           // SetPower
    nullptr,                     // QueryInterface
};

}  // namespace

// Every filter is created by a factory at device start, so none is listed here.
const KSDEVICE_DESCRIPTOR VorlixDeviceDescriptor = {&DeviceDispatch, 0, nullptr};

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DbgPrint("KORVENT - DriverEntry() 1.1.0.167.0 (2016.08.15) (X64)\n");
  // A warning (a processor of another maker) does not stop the load.
  CpuSelectProcessorLevel();
  // The templates and start counters as a fresh image holds them: one process may load
  // the driver more than once.
  InitializeStreamingTemplates();
  ResetDeviceStartCounters();
  return KsInitializeDriver(DriverObject, RegistryPath, &VorlixDeviceDescriptor);
}
