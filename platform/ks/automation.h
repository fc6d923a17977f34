// Automation tables: the property, method and event sets an object answers.
#pragma once

#include "platform/ks/types.h"

typedef struct _IRP IRP, *PIRP;

// A property, method or event handler: the request, its identifier, its data.
typedef NTSTATUS (*PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

typedef struct {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003
#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001

typedef struct {
  KSPROPERTY_MEMBERSHEADER MembersHeader;
  const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;
static_assert(sizeof(KSPROPERTY_VALUES) == 40);

typedef struct {
  ULONG SteppingDelta;
  ULONG Reserved;
  union {
    struct {
      LONG SignedMinimum;
      LONG SignedMaximum;
    };
    struct {
      ULONG UnsignedMinimum;
      ULONG UnsignedMaximum;
    };
  } Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);

// A property item. A null handler means the direction is not supported.
typedef struct {
  ULONG PropertyId;
  union {
    PFNKSHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    PFNKSHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  const KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;
static_assert(sizeof(KSPROPERTY_ITEM) == 72);

typedef struct _KSFASTPROPERTY_ITEM KSFASTPROPERTY_ITEM;
typedef struct _KSMETHOD_SET KSMETHOD_SET;
typedef struct _KSEVENT_SET KSEVENT_SET;

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;
static_assert(sizeof(KSPROPERTY_SET) == 40);

typedef struct _KSAUTOMATION_TABLE_ {
  ULONG PropertySetsCount;
  ULONG PropertyItemSize;
  const KSPROPERTY_SET* PropertySets;
  ULONG MethodSetsCount;
  ULONG MethodItemSize;
  const KSMETHOD_SET* MethodSets;
  ULONG EventSetsCount;
  ULONG EventItemSize;
  const KSEVENT_SET* EventSets;
  PVOID Alignment;
} KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;
static_assert(sizeof(KSAUTOMATION_TABLE) == 56);
