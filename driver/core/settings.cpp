// Registry access of the device object, and the load and save of its settings.
// Every persistent setting is one value under the board's device driver key; the key is
// opened and closed around each single value.

#include "driver/core/device.h"
#include "driver/core/settings_table.h"
#include "platform/kernel/kernel.h"

namespace {

constexpr ULONG kRegistryTag = MakePoolTag("Wdm ");
// The fixed part of a full value-information record, and that plus one 32-bit word.
constexpr ULONG kFullInfoFixedPart = 24;
constexpr ULONG kDwordQuerySize = 28;
// Longer than any name of the settings table plus its channel letter.
constexpr ULONG kChannelNameBytes = 96;

ULONG NameChars(PCWSTR name) {
  ULONG n = 0;
  while (name[n]) ++n;
  return n;
}

// A per-channel value name as the registry knows it: the 8-bit base name and the
// channel's letter, converted to UTF-16 in an allocated string. FALSE when it cannot be
// formed (the caller then treats the value as missing, or skips writing it).
BOOLEAN FormChannelName(PCSTR baseName, CHAR letter, BOOLEAN withLetter, PUNICODE_STRING name) {
  CHAR text[kChannelNameBytes];
  NTSTATUS status = withLetter ? RtlStringCbPrintfA(text, sizeof text, "%s%c", baseName, letter)
                               : RtlStringCbPrintfA(text, sizeof text, "%s", baseName);
  if (status != STATUS_SUCCESS) return FALSE;
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, text);
  if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(name, &ansi, TRUE))) return FALSE;
  // The routines below take a terminated name.
  if (!name->Buffer || name->MaximumLength < name->Length + sizeof(WCHAR) || name->Buffer[name->Length / 2] != 0) {
    RtlFreeUnicodeString(name);
    return FALSE;
  }
  return TRUE;
}

// A member as one aligned 32-bit word: a property handler may change it meanwhile, and
// the save must see either the old or the new value.
ULONG ReadMember32(const UCHAR* base, ULONG offset) {
  return __atomic_load_n(reinterpret_cast<const ULONG*>(base + offset), __ATOMIC_RELAXED);
}

void WriteMember32(UCHAR* base, ULONG offset, ULONG value) {
  __atomic_store_n(reinterpret_cast<ULONG*>(base + offset), value, __ATOMIC_RELAXED);
}

ULONG SavedWord(const SettingsTableEntry& entry, ULONG member) {
  switch (entry.Save) {
    case SETTING_SAVE_FLAG_CLEARED:
      return member & ~SETTINGS_FLAG_SET_BY_APPLICATION;
    case SETTING_SAVE_LOW16:
      return member & 0xFFFF;
    case SETTING_SAVE_LOW8:
      return member & 0xFF;
    default:
      return member;
  }
}

}  // namespace

ULONG CDevice::ReadRegistryDword(PCWSTR name, ULONG defaultValue) {
  PDEVICE_OBJECT pdo = static_cast<PDEVICE_OBJECT>(m_pPhysicalDeviceObject);
  if (!pdo) return 0;
  HANDLE key;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key))) return defaultValue;
  ULONG size = kDwordQuerySize + 2 * (NameChars(name) + 1);
  PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kRegistryTag));
  if (!buffer) {
    ZwClose(key);
    return defaultValue;
  }
  // Zero-filled, so a value shorter than 4 bytes reads zero-extended.
  RtlZeroMemory(buffer, size);
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, buffer, size, &resultLength);
  ULONG value = defaultValue;
  if (status == STATUS_SUCCESS) {
    ULONG dataOffset = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer)->DataOffset;
    if (dataOffset >= kFullInfoFixedPart && dataOffset <= size - sizeof(ULONG))
      RtlCopyMemory(&value, buffer + dataOffset, sizeof(ULONG));
  }
  ExFreePoolWithTag(buffer, kRegistryTag);
  ZwClose(key);
  return value;
}

NTSTATUS CDevice::ReadRegistryBinary(PCWSTR name, PVOID buffer, ULONG length) {
  PDEVICE_OBJECT pdo = static_cast<PDEVICE_OBJECT>(m_pPhysicalDeviceObject);
  if (!pdo) return STATUS_SUCCESS;
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key);
  if (!NT_SUCCESS(status)) return status;
  ULONGLONG wanted = ULONGLONG(kFullInfoFixedPart) + 2 * (ULONGLONG(NameChars(name)) + 1) + length;
  PUCHAR record =
      wanted <= 0xFFFFFFFFull
          ? static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, static_cast<SIZE_T>(wanted), kRegistryTag))
          : nullptr;
  if (!record) {
    ZwClose(key);
    return STATUS_NO_MEMORY;
  }
  ULONG size = static_cast<ULONG>(wanted);
  RtlZeroMemory(record, size);
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG resultLength = 0;
  status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, record, size, &resultLength);
  if (NT_SUCCESS(status)) {
    // Only the value's own bytes are copied; the rest of the caller's buffer is zeroed.
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(record);
    ULONG copy = info->DataLength < length ? info->DataLength : length;
    if (info->DataOffset < kFullInfoFixedPart || info->DataOffset > size || copy > size - info->DataOffset) copy = 0;
    if (copy) RtlCopyMemory(buffer, record + info->DataOffset, copy);
    if (copy < length) RtlZeroMemory(static_cast<PUCHAR>(buffer) + copy, length - copy);
  }
  ExFreePoolWithTag(record, kRegistryTag);
  ZwClose(key);
  return status;
}

NTSTATUS CDevice::WriteRegistryDword(PCWSTR name, ULONG value) {
  PDEVICE_OBJECT pdo = static_cast<PDEVICE_OBJECT>(m_pPhysicalDeviceObject);
  if (!pdo) return STATUS_SUCCESS;
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  status = ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value);
  ZwClose(key);
  return status;
}

BOOLEAN CDevice::PresetSettings() {
  m_nProcessorTechnology = 0x007F0003;
  return TRUE;
}

void CDevice::LoadSettings() {
  PUCHAR base = reinterpret_cast<PUCHAR>(static_cast<CDeviceSettings*>(this));

  // The fixed values, in table order.
  for (const SettingsTableEntry& entry : SettingsTable) {
    if (entry.Scope != SETTING_SCOPE_SINGLE && entry.Scope != SETTING_SCOPE_TUNER) continue;
    switch (entry.Kind) {
      case SETTING_KIND_DWORD:
        WriteMember32(base, entry.Offset, ReadRegistryDword(entry.Name, SettingsTableDefault(this, entry)));
        break;
      case SETTING_KIND_COUNTER64:
        *reinterpret_cast<ULONGLONG*>(base + entry.Offset) =
            ReadRegistryDword(entry.Name, SettingsTableDefault(this, entry));
        break;
      case SETTING_KIND_MERGE_LOW: {
        ULONG current = ReadMember32(base, entry.Offset);
        ULONG value = ReadRegistryDword(entry.Name, current);
        WriteMember32(base, entry.Offset, (current & 0xFFFF0000) | value);
        break;
      }
      default:
        break;
    }
  }

  // The per-channel families, channel by channel: 16-channel families, then 32-channel.
  for (SettingScope scope : {SETTING_SCOPE_CHANNELS16, SETTING_SCOPE_CHANNELS32}) {
    ULONG channels = scope == SETTING_SCOPE_CHANNELS16 ? 16 : 32;
    for (ULONG channel = 0; channel < channels; ++channel) {
      for (const SettingsTableEntry& entry : SettingsTable) {
        if (entry.Scope != scope) continue;
        ULONG value = SettingsTableDefault(this, entry);
        UNICODE_STRING name;
        if (FormChannelName(entry.AnsiName, SettingsChannelLetter(channel), TRUE, &name)) {
          value = ReadRegistryDword(name.Buffer, value);
          RtlFreeUnicodeString(&name);
        }
        WriteMember32(base, entry.Offset + channel * sizeof(ULONG), value);
      }
    }
  }

  // The device-info directory, always left terminated.
  for (const SettingsTableEntry& entry : SettingsTable) {
    if (entry.Scope != SETTING_SCOPE_DIRECTORY) continue;
    if (ReadRegistryBinary(entry.Name, m_szDeviceInfoDirectory, SETTINGS_DEVICE_INFO_DIRECTORY_BYTES) !=
        STATUS_SUCCESS) {
      static_assert(sizeof(SETTINGS_DEVICE_INFO_DIRECTORY_DEFAULT) <= sizeof(m_szDeviceInfoDirectory));
      RtlCopyMemory(m_szDeviceInfoDirectory, SETTINGS_DEVICE_INFO_DIRECTORY_DEFAULT,
                    sizeof(SETTINGS_DEVICE_INFO_DIRECTORY_DEFAULT));
    }
    m_szDeviceInfoDirectory[sizeof(m_szDeviceInfoDirectory) / sizeof(WCHAR) - 1] = 0;
  }
}

NTSTATUS CDevice::SaveSettings() {
  const UCHAR* base = reinterpret_cast<const UCHAR*>(static_cast<CDeviceSettings*>(this));

  for (const SettingsTableEntry& entry : SettingsTable) {
    if ((entry.Scope != SETTING_SCOPE_SINGLE && entry.Scope != SETTING_SCOPE_TUNER) || entry.Save == SETTING_SAVE_NO)
      continue;
    WriteRegistryDword(entry.Name, SavedWord(entry, ReadMember32(base, entry.Offset)));
  }

  // Channel 0 is also written under the bare base name, right after its lettered name.
  for (SettingScope scope : {SETTING_SCOPE_CHANNELS16, SETTING_SCOPE_CHANNELS32}) {
    ULONG channels = scope == SETTING_SCOPE_CHANNELS16 ? 16 : 32;
    for (ULONG channel = 0; channel < channels; ++channel) {
      for (const SettingsTableEntry& entry : SettingsTable) {
        if (entry.Scope != scope || entry.Save == SETTING_SAVE_NO) continue;
        ULONG value = SavedWord(entry, ReadMember32(base, entry.Offset + channel * sizeof(ULONG)));
        for (BOOLEAN withLetter : {TRUE, FALSE}) {
          if (!withLetter && channel != 0) break;
          UNICODE_STRING name;
          if (!FormChannelName(entry.AnsiName, SettingsChannelLetter(channel), withLetter, &name)) continue;
          WriteRegistryDword(name.Buffer, value);
          RtlFreeUnicodeString(&name);
        }
      }
    }
  }
  return STATUS_SUCCESS;
}
