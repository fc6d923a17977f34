// Filter factories: what a device offers applications. A factory keeps the descriptor
// by address (a later edit of the descriptor is what its next filter sees) and registers
// one device interface per category of the descriptor, with the text of the descriptor's
// reference GUID as the reference string. Pinless filters are declared to graph builders
// by their pins' directions and mediums alone.
#pragma once

#include "platform/ks/filter.h"
#include "platform/kernel/objects.h"

typedef struct _KSFILTERFACTORY {
  const KSFILTER_DESCRIPTOR* FilterDescriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
} KSFILTERFACTORY, *PKSFILTERFACTORY;

typedef void (*PFNKSFILTERFACTORYPOWER)(PKSFILTERFACTORY FilterFactory, DEVICE_POWER_STATE State);

// Creates a factory on the KS device behind DeviceObject (its functional device object).
// STATUS_OBJECT_NAME_COLLISION when the device already has a factory with the same
// reference GUID.
NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor, PWSTR RefString,
                               PVOID SecurityDescriptor, ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER SleepCallback,
                               PFNKSFILTERFACTORYPOWER WakeCallback, PKSFILTERFACTORY* FilterFactory);

// Removes a factory and its device interfaces.
NTSTATUS KsDeleteFilterFactory(PKSFILTERFACTORY FilterFactory);

// Declares a filter without KS pins under InterfaceClassGUID for the device behind
// DeviceObject (its physical device object). PinDirection[i] is TRUE for an output.
NTSTATUS KsRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject, const GUID* InterfaceClassGUID, ULONG PinCount,
                                      BOOL* PinDirection, KSPIN_MEDIUM* MediumList, GUID* CategoryList);
