// Property requests as KS makes them: the request records, the built-in Pin, Topology,
// Connection and Stream sets, basic-support answers, and the objects a request is for.
#pragma once

#include "platform/ks/automation.h"
#include "platform/ks/types.h"

typedef struct _KSPIN KSPIN, *PKSPIN;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;

#ifndef STATUS_PROPSET_NOT_FOUND
#define STATUS_PROPSET_NOT_FOUND ((NTSTATUS)0xC0000230L)
#endif

// The I/O control of property requests (device type KS, function 0, method neither).
#define IOCTL_KS_PROPERTY 0x002F0003UL

#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

// A property addressed to a node of the filter's topology (with KSPROPERTY_TYPE_TOPOLOGY).
typedef struct {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
} KSP_NODE, *PKSP_NODE;
static_assert(sizeof(KSP_NODE) == 32);

// The answer to a basic-support query; member lists follow when the buffer holds them.
typedef struct {
  ULONG AccessFlags;
  ULONG DescriptionSize;
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40);

inline constexpr GUID KSPROPTYPESETID_General = {
    0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
#define VT_ILLEGAL 0xFFFF

// ---- KSPROPSETID_Pin: the pin factories of a filter (requests carry a KSP_PIN) ----------
inline constexpr GUID KSPROPSETID_Pin = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
enum {
  KSPROPERTY_PIN_CINSTANCES = 0,
  KSPROPERTY_PIN_CTYPES = 1,
  KSPROPERTY_PIN_DATAFLOW = 2,
  KSPROPERTY_PIN_DATARANGES = 3,
  KSPROPERTY_PIN_DATAINTERSECTION = 4,
  KSPROPERTY_PIN_INTERFACES = 5,
  KSPROPERTY_PIN_MEDIUMS = 6,
  KSPROPERTY_PIN_COMMUNICATION = 7,
  KSPROPERTY_PIN_NECESSARYINSTANCES = 9,
  KSPROPERTY_PIN_CATEGORY = 11,
  KSPROPERTY_PIN_NAME = 12,
};

typedef struct {
  ULONG PossibleCount;
  ULONG CurrentCount;
} KSPIN_CINSTANCES, *PKSPIN_CINSTANCES;

// ---- KSPROPSETID_Topology: the filter's nodes and connections ---------------------------
inline constexpr GUID KSPROPSETID_Topology = {
    0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
enum { KSPROPERTY_TOPOLOGY_CATEGORIES = 0, KSPROPERTY_TOPOLOGY_NODES = 1, KSPROPERTY_TOPOLOGY_CONNECTIONS = 2 };

// ---- KSPROPSETID_Connection: a pin's state, format and framing --------------------------
inline constexpr GUID KSPROPSETID_Connection = {
    0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
enum {
  KSPROPERTY_CONNECTION_STATE = 0,
  KSPROPERTY_CONNECTION_DATAFORMAT = 2,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX = 6,
};

// ---- KSPROPSETID_Stream: a pin's master clock ---------------------------------------------
inline constexpr GUID KSPROPSETID_Stream = {
    0x65AABA60, 0x98AE, 0x11CF, {0xA1, 0x0D, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
enum { KSPROPERTY_STREAM_MASTERCLOCK = 3 };

// The objects a request is for: the filter being created, or the filter a pin or
// property request belongs to; the pin being created or addressed (null for a filter).
PKSFILTER KsGetFilterFromIrp(PIRP Irp);
PKSPIN KsGetPinFromIrp(PIRP Irp);
// The KS device of a filter factory, filter or pin.
PKSDEVICE KsGetDevice(PVOID Object);
// The filter a pin belongs to.
PKSFILTER KsPinGetParentFilter(PKSPIN Pin);
