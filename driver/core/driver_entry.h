// The driver's load entry, called once by the system when the driver is loaded.
#pragma once

#include "platform/ks/ks.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// The device descriptor handed to KS at load.
extern const KSDEVICE_DESCRIPTOR VorlixDeviceDescriptor;
