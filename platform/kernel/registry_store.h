// The registry's implementation, shared by its units. Not for use outside platform/kernel.
//
// registry_key.cpp    the values of one key and their name index
// registry_store.cpp  the keys, the machine's one store, its fault plans and access log
// registry_reader.cpp a registry export file's text into a store
// registry_writer.cpp a store as a registry export file's text
// registry_file.cpp   the host files: load, save, the attached file
// registry_calls.cpp  the calls the system makes (IoOpenDeviceRegistryKey, Zw*)
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/kernel/registry_host.h"

namespace platform::kernel::registry {

// Limits of the real registry: a value name has at most 16,383 characters, a key name
// component at most 255. Data is limited so the record size always fits a ULONG.
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxKeyNameChars = 32767;
constexpr size_t kMaxValueData = 16u << 20;
constexpr size_t kMaxFileBytes = 512u << 20;

// Names ignore the case of ASCII letters.
inline char16_t FoldChar(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }
std::u16string Fold(std::u16string_view s);
bool StartsWithFolded(std::u16string_view s, std::u16string_view prefix);

// A full kernel key name: under \REGISTRY\, no empty or over-long component.
bool ValidKeyName(std::u16string_view name);

// The roots a registry file can name, by their kernel and export names.
struct RootName {
  std::u16string_view kernel;
  std::u16string_view file;
};
inline constexpr RootName kRoots[] = {
    {u"\\REGISTRY\\MACHINE", u"HKEY_LOCAL_MACHINE"},
    {u"\\REGISTRY\\USER", u"HKEY_USERS"},
};

// A key's values in the order they were first created. Finding, setting and deleting a
// value cost the same however many values the key holds.
struct Key {
  std::u16string name;
  std::list<RegistryValue> values;
  std::unordered_map<std::u16string, std::list<RegistryValue>::iterator> index;  // by folded name

  RegistryValue* Find(std::u16string_view valueName);
  void Set(std::u16string_view valueName, ULONG type, const uint8_t* data, size_t size);
  void Set(std::u16string_view valueName, ULONG type, std::vector<uint8_t>&& data);
  bool Delete(std::u16string_view valueName);
};

struct Store {
  std::map<std::u16string, Key> keys;  // by folded name

  Key* Find(std::u16string_view name);
  // The root keys (\REGISTRY, MACHINE, USER) exist on every machine, so a new key keeps
  // the case of its own components only: its root is spelt as the machine spells it.
  Key& Create(std::u16string_view name);
  // A key and every key below it; the cost grows with what is removed, not with the store.
  bool DeleteTree(std::u16string_view name);
};

// A fresh store: only the version key with its default value.
Store FreshStore();

struct FaultState {
  bool active = false;
  RegistryFault plan;
  uint64_t calls = 0;
  uint64_t failed = 0;
};

struct State {
  std::mutex lock;  // the store, the attached file and the faults
  Store store = FreshStore();
  std::string attached;
  FaultState faults[3];
  std::mutex logLock;  // the access log only: handle destructors log without the store lock
  std::vector<RegistryAccess> log;
  std::atomic<size_t> openKeys{0};
};

// The machine's registry.
State& S();

void Log(RegistryOperation op, std::u16string_view key, std::u16string_view value, NTSTATUS status);
// Decides, under the store lock, whether this call of `op` fails.
bool InjectedFailure(RegistryOperation op, NTSTATUS* status);

// The file's text. Failures name the line: "<source>:<line>: <what>".
struct Parser {
  const std::string& source;
  std::string* error;

  bool Fail(size_t line, const std::string& what) {
    *error = source + ":" + std::to_string(line) + ": " + what;
    return false;
  }
};
// A registry file's bytes into *store (UTF-16LE with its byte-order mark, or UTF-8).
bool ImportText(std::string_view bytes, Parser& p, Store* store);
bool ExportText(const Store& store, std::u16string* out, std::string* error);

}  // namespace platform::kernel::registry
