// Pin factories as a filter describes them: the pin descriptor, its extended form with
// dispatch, flags, instance limits, framing and the intersection handler.
#pragma once

#include "platform/ks/automation.h"
#include "platform/ks/types.h"

typedef struct _KSPIN KSPIN, *PKSPIN;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSPROCESSPIN_INDEXENTRY KSPROCESSPIN_INDEXENTRY, *PKSPROCESSPIN_INDEXENTRY;
typedef struct _KSCLOCK_DISPATCH KSCLOCK_DISPATCH;
typedef struct _KSALLOCATOR_DISPATCH KSALLOCATOR_DISPATCH;

typedef NTSTATUS (*PFNKSPINIRP)(PKSPIN Pin, PIRP Irp);
typedef NTSTATUS (*PFNKSPIN)(PKSPIN Pin);
typedef void (*PFNKSPINVOID)(PKSPIN Pin);
typedef NTSTATUS (*PFNKSPINSETDATAFORMAT)(PKSPIN Pin, PKSDATAFORMAT OldFormat, PKSMULTIPLE_ITEM OldAttributeList,
                                          const KSDATARANGE* DataRange, const KSATTRIBUTE_LIST* AttributeRange);
typedef NTSTATUS (*PFNKSPINSETDEVICESTATE)(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);

// Connect, Disconnect, Clock and Allocator stay empty for a pin that uses the standard
// transport.
typedef struct _KSPIN_DISPATCH {
  PFNKSPINIRP Create;
  PFNKSPINIRP Close;
  PFNKSPIN Process;
  PFNKSPINVOID Reset;
  PFNKSPINSETDATAFORMAT SetDataFormat;
  PFNKSPINSETDEVICESTATE SetDeviceState;
  PFNKSPIN Connect;
  PFNKSPINVOID Disconnect;
  const KSCLOCK_DISPATCH* Clock;
  const KSALLOCATOR_DISPATCH* Allocator;
} KSPIN_DISPATCH, *PKSPIN_DISPATCH;
static_assert(sizeof(KSPIN_DISPATCH) == 10 * sizeof(void*));

// Called for each caller range that matches one of the pin's ranges by its GUIDs; writes
// the resulting format (or its size, when DataBufferSize is 0) and returns
// STATUS_NO_MATCH when the two ranges do not meet.
typedef NTSTATUS (*PFNKSINTERSECTHANDLEREX)(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                            PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data,
                                            PULONG DataSize);

typedef struct {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;  // none: the standard streaming interface
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSDATARANGE* ConstrainedDataRanges;
    };
  };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88);
static_assert(offsetof(KSPIN_DESCRIPTOR, DataRangesCount) == 32);
static_assert(offsetof(KSPIN_DESCRIPTOR, DataRanges) == 40);
static_assert(offsetof(KSPIN_DESCRIPTOR, Category) == 56);

typedef struct _KSPIN_DESCRIPTOR_EX {
  const KSPIN_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR PinDescriptor;
  ULONG Flags;
  ULONG InstancesPossible;
  ULONG InstancesNecessary;
  const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
  PFNKSINTERSECTHANDLEREX IntersectHandler;
} KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;
static_assert(sizeof(KSPIN_DESCRIPTOR_EX) == 136);
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, PinDescriptor) == 16);
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, Flags) == 104);
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, AllocatorFraming) == 120);
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, IntersectHandler) == 128);

#define KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING 0x00000002
#define KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING 0x00000008
#define KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT 0x00000020
#define KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY 0x00010000

typedef enum { KSRESET_BEGIN, KSRESET_END } KSRESET;

// An open pin. Descriptor starts as its factory's entry in the filter's descriptor and
// may be replaced by a private copy (KsEdit); Context starts as the filter's.
// ConnectionFormat is the pin's own copy of the format it was created with.
// StreamHeaderSize 0 means a bare KSSTREAM_HEADER; a driver that wants an extended
// header after it sets the whole size in its Create.
struct _KSPIN {
  const KSPIN_DESCRIPTOR_EX* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  ULONG Id;
  KSPIN_COMMUNICATION Communication;
  BOOLEAN ConnectionIsExternal;
  KSPIN_INTERFACE ConnectionInterface;
  KSPIN_MEDIUM ConnectionMedium;
  PKSDATAFORMAT ConnectionFormat;
  PKSMULTIPLE_ITEM AttributeList;
  ULONG StreamHeaderSize;
  KSPIN_DATAFLOW DataFlow;
  KSSTATE DeviceState;
  KSRESET ResetState;
  KSSTATE ClientState;
};
