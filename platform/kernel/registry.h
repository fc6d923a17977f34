// The registry as the system's code sees it: the device's driver key, keys opened by
// name, value queries with the full-information record, value writes. Handles are
// closed with ZwClose (objects.h). Every call runs at PASSIVE_LEVEL.
// The machine's controls (persistence, fault injection, access log) are in registry_host.h.
#pragma once

#include <cstddef>

#include "platform/kernel/ntdef.h"
#include "platform/kernel/objects.h"

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

// Key access rights.
#ifndef STANDARD_RIGHTS_READ
#define STANDARD_RIGHTS_READ READ_CONTROL
#endif
#ifndef STANDARD_RIGHTS_WRITE
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#endif
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
// The user-mode layer spells the same values as numbers.
#ifndef KEY_READ
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & ~SYNCHRONIZE)
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)
#define KEY_ALL_ACCESS                                                                                                 \
  ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | \
    KEY_CREATE_LINK) &                                                                                                 \
   ~SYNCHRONIZE)
#endif

// IoOpenDeviceRegistryKey key types.
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2

typedef enum _KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

// The full-information record. Its fixed part is 24 bytes; the name (with a terminating
// zero) follows at Name, and the data starts at DataOffset = 24 + 2 x (name characters
// + 1). A buffer of DataOffset + DataLength bytes therefore receives the whole record:
// a 32-bit read needs 28 + 2 x (characters + 1) bytes.
typedef struct _KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;
  ULONG DataLength;
  ULONG NameLength;  // bytes, without the terminator
  WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Type) == 4);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset) == 8);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength) == 12);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength) == 16);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);

// The device's own driver key (PLUGPLAY_REGKEY_DRIVER), created on first use.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey);
// Opens an existing key by its full name (u"\\REGISTRY\\MACHINE\\...") or by a name
// relative to ObjectAttributes->RootDirectory, an open key. Names ignore case.
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
// KeyValueFullInformation only. Missing value: STATUS_OBJECT_NAME_NOT_FOUND. Length
// below the fixed part: STATUS_BUFFER_TOO_SMALL. Record larger than Length:
// STATUS_BUFFER_OVERFLOW with the fixed part filled and no data. *ResultLength always
// receives the size of the whole record.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
                         PULONG ResultLength);
// Stores type and bytes under the name (the key must be open for KEY_SET_VALUE).
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);
