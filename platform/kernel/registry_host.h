// The machine's registry: the store behind registry.h, its persistence as a registry
// export file (.reg, "Windows Registry Editor Version 5.00"), fault injection and the
// access log. Host code only: the system's code never includes this.
//
// Key names are full kernel names (u"\\REGISTRY\\MACHINE\\..."); in the file they are
// written with the root's export name (HKEY_LOCAL_MACHINE, HKEY_USERS). Key and value
// names ignore case (ASCII letters) and keep the case they were created with; the roots
// themselves (\REGISTRY\MACHINE, \REGISTRY\USER) are always spelt in capitals, as
// the machine names them and as a file gives them back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/registry.h"

namespace platform::kernel {

// The key that holds the operating system's version, and its value in a fresh store.
inline constexpr char16_t kRegistryVersionKey[] =
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr char16_t kRegistryVersionValue[] = u"CurrentVersion";
inline constexpr char16_t kRegistryDefaultVersion[] = u"6.1";

// The driver key IoOpenDeviceRegistryKey opens for the board with this HostInstance:
// \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4d36e96c-...}\0000, 0001...
std::u16string RegistryDriverKeyPath(ULONG hostInstance);

// ---- The store ---------------------------------------------------------------------------
// A fresh store: only the version key with CurrentVersion = "6.1". Forgets the attached
// file, clears injected faults and the access log.
void RegistryReset();

struct RegistryValue {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};
// Creates the key when missing. Only that key: like the registry file, the store holds
// the keys it was given and does not make up their parents.
void RegistryCreateKey(std::u16string_view key);
bool RegistryKeyExists(std::u16string_view key);
// Deletes a key and everything below it; false when it did not exist.
bool RegistryDeleteKey(std::u16string_view key);
// Creates the key when missing.
void RegistrySetValue(std::u16string_view key, std::u16string_view name, ULONG type, const void* data, size_t size);
void RegistrySetDword(std::u16string_view key, std::u16string_view name, ULONG value);
// REG_SZ with its terminating zero.
void RegistrySetString(std::u16string_view key, std::u16string_view name, std::u16string_view text);
std::optional<RegistryValue> RegistryGetValue(std::u16string_view key, std::u16string_view name);
bool RegistryDeleteValue(std::u16string_view key, std::u16string_view name);
// The values of a key in the order they were first created.
std::vector<RegistryValue> RegistryValues(std::u16string_view key);
// Full names of every key, sorted.
std::vector<std::u16string> RegistryKeys();

// ---- Persistence ---------------------------------------------------------------------------
// The store as a registry export file: UTF-16LE with a byte-order mark and CRLF line
// ends, as the registry editor writes it. False (with *error) when a name cannot be
// written in the format (a line break in it).
bool RegistryExport(std::string* bytes, std::string* error);
// Replaces the store with the file's contents (UTF-16LE with a byte-order mark, or
// UTF-8/ASCII; header "Windows Registry Editor Version 5.00" or "REGEDIT4"). On malformed
// input returns false with *error naming the line ("registry.reg:12: ...") and leaves
// the store as it was. `source` names the input in messages.
bool RegistryImport(std::string_view bytes, const std::string& source, std::string* error);
// The same for a file. Writing goes to a temporary file in the same folder, flushed to
// disk, then renamed over `path`, so a crash never leaves a half-written file.
bool RegistryLoadFile(const std::string& path, std::string* error);
bool RegistrySaveFile(const std::string& path, std::string* error);

// The machine's registry file. Attach loads it (a missing file gives a fresh store) and
// remembers it; a file that cannot be read is refused and not remembered, so a later
// flush never overwrites it. Flush writes the store back to the attached file (nothing
// attached: does nothing and succeeds); Detach flushes and forgets it. Sets never write
// the file by themselves.
bool RegistryAttachFile(const std::string& path, std::string* error);
bool RegistryFlush(std::string* error);
bool RegistryDetachFile(std::string* error);
std::string RegistryAttachedFile();

// ---- Fault injection ----------------------------------------------------------------------
enum class RegistryOperation { Open, Query, Set, Close };
// Calls of `op` are counted from the moment of injection (1, 2, 3...). The first `skip`
// pass; from then on every `period`-th call fails with `status`, `count` times in all
// (0: until cleared). Examples: {0, 1, 0} fails every call; {n - 1, 1, 1} fails the nth
// call once; {9, 10, 0} fails every 10th call. Open covers IoOpenDeviceRegistryKey and
// ZwOpenKey. Close cannot be made to fail.
struct RegistryFault {
  uint64_t skip = 0;
  uint64_t period = 1;
  uint64_t count = 0;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
};
void RegistryInjectFault(RegistryOperation op, const RegistryFault& fault);
void RegistryClearFaults();

// ---- Access log -----------------------------------------------------------------------------
struct RegistryAccess {
  RegistryOperation op;
  std::u16string key;    // full key name
  std::u16string value;  // value name (Query, Set)
  NTSTATUS status;
};
std::vector<RegistryAccess> RegistryAccessLog();
void RegistryClearAccessLog();
size_t RegistryAccessCount(RegistryOperation op);
// Key handles open now.
size_t RegistryOpenKeyCount();

// UTF-16 to UTF-8, for messages and tests.
std::string RegistryNarrow(std::u16string_view text);

}  // namespace platform::kernel
