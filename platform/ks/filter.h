// Filters as a minidriver describes them: the filter descriptor with its pin factories,
// categories, topology and automation, and the filter object KS creates from it.
#pragma once

#include "platform/ks/automation.h"
#include "platform/ks/pin.h"
#include "platform/ks/types.h"

typedef NTSTATUS (*PFNKSFILTERIRP)(PKSFILTER Filter, PIRP Irp);
typedef NTSTATUS (*PFNKSFILTERPROCESS)(PKSFILTER Filter, PKSPROCESSPIN_INDEXENTRY ProcessPinsIndex);
typedef NTSTATUS (*PFNKSFILTERVOID)(PKSFILTER Filter);

typedef struct _KSFILTER_DISPATCH {
  PFNKSFILTERIRP Create;
  PFNKSFILTERIRP Close;
  PFNKSFILTERPROCESS Process;
  PFNKSFILTERVOID Reset;
} KSFILTER_DISPATCH, *PKSFILTER_DISPATCH;

typedef struct _KSNODE_DESCRIPTOR {
  const KSAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
} KSNODE_DESCRIPTOR, *PKSNODE_DESCRIPTOR;
static_assert(sizeof(KSNODE_DESCRIPTOR) == 24);

// The filter itself, in place of a node number.
#define KSFILTER_NODE ((ULONG)-1)

typedef struct _KSTOPOLOGY_CONNECTION {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;
static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16);

typedef struct _KSCOMPONENTID KSCOMPONENTID;

#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)

struct _KSFILTER_DESCRIPTOR {
  const KSFILTER_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  ULONG Version;
  ULONG Flags;
  const GUID* ReferenceGuid;
  ULONG PinDescriptorsCount;
  ULONG PinDescriptorSize;
  const KSPIN_DESCRIPTOR_EX* PinDescriptors;
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG NodeDescriptorsCount;
  ULONG NodeDescriptorSize;
  const KSNODE_DESCRIPTOR* NodeDescriptors;
  ULONG ConnectionsCount;
  const KSTOPOLOGY_CONNECTION* Connections;
  const KSCOMPONENTID* ComponentId;
};
typedef struct _KSFILTER_DESCRIPTOR KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;
static_assert(sizeof(KSFILTER_DESCRIPTOR) == 104);
static_assert(offsetof(KSFILTER_DESCRIPTOR, ReferenceGuid) == 24);
static_assert(offsetof(KSFILTER_DESCRIPTOR, PinDescriptors) == 40);
static_assert(offsetof(KSFILTER_DESCRIPTOR, Categories) == 56);
static_assert(offsetof(KSFILTER_DESCRIPTOR, Connections) == 88);

// An open filter. Descriptor starts as its factory's and may be replaced by a private
// copy (KsEdit); Context starts as the device's.
struct _KSFILTER {
  const KSFILTER_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};
