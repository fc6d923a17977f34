// The registry calls the system makes: the device's driver key, keys opened by name,
// value queries and writes, on key handles.

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/kernel/handles.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/registry_store.h"
#include "platform/kernel/sync.h"

#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#endif
#ifndef STATUS_INVALID_HANDLE
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#endif
#ifndef STATUS_OBJECT_PATH_SYNTAX_BAD
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#endif
#ifndef STATUS_KEY_DELETED
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#endif
#ifndef STATUS_INVALID_INFO_CLASS
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#endif

namespace platform::kernel {

using namespace registry;

namespace {

constexpr ULONG kFullInfoFixedPart = sizeof(KEY_VALUE_FULL_INFORMATION);

constexpr char16_t kClassKeyPrefix[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\";

class RegKeyObject : public HandleObject {
 public:
  RegKeyObject(std::u16string name, ACCESS_MASK access) : name_(std::move(name)), access_(access) { ++S().openKeys; }
  ~RegKeyObject() override {
    --S().openKeys;
    Log(RegistryOperation::Close, name_, {}, STATUS_SUCCESS);
  }
  const char* Kind() const override { return "Key"; }
  const std::u16string& name() const { return name_; }
  ACCESS_MASK access() const { return access_; }

 private:
  std::u16string name_;
  ACCESS_MASK access_;
};

void CheckPassive(const char* call) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL)
    ReportVerifierFailure(call, "registry call at IRQL " + std::to_string(irql) + " (must be PASSIVE_LEVEL)", 0x0A);
}

// A counted string as a name; false when it is malformed.
bool NameOf(PCUNICODE_STRING s, std::u16string* out) {
  if (!s || (s->Length & 1) || (s->Length && !s->Buffer) || s->Length > s->MaximumLength) return false;
  out->assign(s->Buffer ? s->Buffer : u"", s->Length / 2);
  return true;
}

NTSTATUS OpenByName(const std::u16string& name, ACCESS_MASK access, bool create, PHANDLE handle) {
  State& s = S();
  NTSTATUS status = STATUS_SUCCESS;
  std::u16string stored = name;
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (InjectedFailure(RegistryOperation::Open, &status)) {
    } else if (!ValidKeyName(name)) {
      status = STATUS_OBJECT_PATH_SYNTAX_BAD;
    } else if (Key* k = s.store.Find(name)) {
      stored = k->name;
    } else if (create) {
      s.store.Create(name);
    } else {
      status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
  }
  if (NT_SUCCESS(status)) *handle = InsertHandle(std::make_shared<RegKeyObject>(stored, access));
  Log(RegistryOperation::Open, stored, {}, status);
  return status;
}

}  // namespace

std::u16string RegistryDriverKeyPath(ULONG hostInstance) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04u", hostInstance);
  std::u16string path(kClassKeyPrefix);
  for (const char* c = buf; *c; ++c) path.push_back(static_cast<char16_t>(*c));
  return path;
}

}  // namespace platform::kernel

// ---- The kernel's registry calls ------------------------------------------------------------

using namespace platform::kernel;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey) {
  CheckPassive("IoOpenDeviceRegistryKey");
  if (!DeviceObject || !DeviceRegKey || DevInstKeyType != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
  return OpenByName(RegistryDriverKeyPath(DeviceObject->HostInstance), DesiredAccess, true, DeviceRegKey);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  CheckPassive("ZwOpenKey");
  std::u16string name;
  if (!KeyHandle || !ObjectAttributes || !NameOf(ObjectAttributes->ObjectName, &name)) return STATUS_INVALID_PARAMETER;
  if (ObjectAttributes->RootDirectory) {
    auto root = LookupHandleAs<RegKeyObject>(ObjectAttributes->RootDirectory);
    if (!root) return STATUS_INVALID_HANDLE;
    name = name.empty() ? root->name() : root->name() + u"\\" + name;
  }
  return OpenByName(name, DesiredAccess, false, KeyHandle);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
                         PULONG ResultLength) {
  CheckPassive("ZwQueryValueKey");
  auto handle = LookupHandleAs<RegKeyObject>(KeyHandle);
  if (!handle) return STATUS_INVALID_HANDLE;
  std::u16string name;
  if (!NameOf(ValueName, &name) || !ResultLength || (Length && !KeyValueInformation)) {
    Log(RegistryOperation::Query, handle->name(), name, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = STATUS_SUCCESS;
  {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    Key* key = nullptr;
    RegistryValue* value = nullptr;
    if (InjectedFailure(RegistryOperation::Query, &status)) {
    } else if (KeyValueInformationClass != KeyValueFullInformation) {
      status = STATUS_INVALID_INFO_CLASS;
    } else if (!(handle->access() & KEY_QUERY_VALUE)) {
      status = STATUS_ACCESS_DENIED;
    } else if (!(key = s.store.Find(handle->name()))) {
      status = STATUS_KEY_DELETED;
    } else if (!(value = key->Find(name))) {
      status = STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
      ULONG nameBytes = static_cast<ULONG>(value->name.size() * 2);
      ULONG dataOffset = kFullInfoFixedPart + nameBytes + 2;
      ULONG dataLength = static_cast<ULONG>(value->data.size());
      ULONG required = dataOffset + dataLength;
      *ResultLength = required;
      if (Length < kFullInfoFixedPart) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(KeyValueInformation);
        info->TitleIndex = 0;
        info->Type = value->type;
        info->DataOffset = dataOffset;
        info->DataLength = dataLength;
        info->NameLength = nameBytes;
        if (Length < required) {
          status = STATUS_BUFFER_OVERFLOW;
        } else {
          auto* base = static_cast<uint8_t*>(KeyValueInformation);
          std::memcpy(base + offsetof(KEY_VALUE_FULL_INFORMATION, Name), value->name.data(), nameBytes);
          // The terminator and the padding up to the data.
          std::memset(base + offsetof(KEY_VALUE_FULL_INFORMATION, Name) + nameBytes, 0,
                      dataOffset - offsetof(KEY_VALUE_FULL_INFORMATION, Name) - nameBytes);
          if (dataLength) std::memcpy(base + dataOffset, value->data.data(), dataLength);
        }
      }
    }
  }
  Log(RegistryOperation::Query, handle->name(), name, status);
  return status;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
  CheckPassive("ZwSetValueKey");
  (void)TitleIndex;  // title indices are not kept
  auto handle = LookupHandleAs<RegKeyObject>(KeyHandle);
  if (!handle) return STATUS_INVALID_HANDLE;
  std::u16string name;
  NTSTATUS status = STATUS_SUCCESS;
  if (!NameOf(ValueName, &name) || name.size() > kMaxValueNameChars || (DataSize && !Data) ||
      DataSize > kMaxValueData) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    Key* key = nullptr;
    if (InjectedFailure(RegistryOperation::Set, &status)) {
    } else if (!(handle->access() & KEY_SET_VALUE)) {
      status = STATUS_ACCESS_DENIED;
    } else if (!(key = s.store.Find(handle->name()))) {
      status = STATUS_KEY_DELETED;
    } else {
      key->Set(name, Type, static_cast<const uint8_t*>(Data), DataSize);
    }
  }
  Log(RegistryOperation::Set, handle->name(), name, status);
  return status;
}
