// The machine's registry store: its keys by folded name, the one store the machine has,
// fault plans for the system's calls and the access log, and the host's controls on them.

#include <algorithm>

#include "platform/kernel/registry_store.h"

namespace platform::kernel::registry {

std::u16string Fold(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) c = FoldChar(c);
  return out;
}

bool StartsWithFolded(std::u16string_view s, std::u16string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (FoldChar(s[i]) != FoldChar(prefix[i])) return false;
  return true;
}

bool ValidKeyName(std::u16string_view name) {
  if (name.size() > kMaxKeyNameChars || !StartsWithFolded(name, u"\\REGISTRY\\")) return false;
  size_t start = 1;
  while (start <= name.size()) {
    size_t end = name.find(u'\\', start);
    if (end == std::u16string_view::npos) end = name.size();
    if (end == start || end - start > 255) return false;  // empty or over-long component
    start = end + 1;
  }
  return true;
}

Key* Store::Find(std::u16string_view name) {
  auto it = keys.find(Fold(name));
  return it == keys.end() ? nullptr : &it->second;
}

Key& Store::Create(std::u16string_view name) {
  auto [it, inserted] = keys.try_emplace(Fold(name));
  if (inserted) {
    std::u16string& stored = it->second.name;
    stored = std::u16string(name);
    auto under = [name](std::u16string_view root) {
      return StartsWithFolded(name, root) && (name.size() == root.size() || name[root.size()] == u'\\');
    };
    std::u16string_view root = u"\\REGISTRY";
    for (const RootName& r : kRoots)
      if (under(r.kernel)) root = r.kernel;
    if (under(root)) stored.replace(0, root.size(), root);
  }
  return it->second;
}

bool Store::DeleteTree(std::u16string_view name) {
  std::u16string folded = Fold(name);
  bool any = keys.erase(folded) != 0;
  // The keys below sort together: every folded name that starts with "<name>\".
  folded.push_back(u'\\');
  auto it = keys.lower_bound(folded);
  while (it != keys.end() && it->first.compare(0, folded.size(), folded) == 0) {
    it = keys.erase(it);
    any = true;
  }
  return any;
}

Store FreshStore() {
  Store s;
  Key& k = s.Create(kRegistryVersionKey);
  std::u16string v(kRegistryDefaultVersion);
  k.Set(kRegistryVersionValue, REG_SZ, reinterpret_cast<const uint8_t*>(v.c_str()), (v.size() + 1) * 2);
  return s;
}

State& S() {
  static State* s = new State;  // never destroyed: handles may be closed during exit
  return *s;
}

void Log(RegistryOperation op, std::u16string_view key, std::u16string_view value, NTSTATUS status) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.logLock);
  s.log.push_back(RegistryAccess{op, std::u16string(key), std::u16string(value), status});
}

// Decides, under the store lock, whether this call of `op` fails.
bool InjectedFailure(RegistryOperation op, NTSTATUS* status) {
  FaultState& f = S().faults[static_cast<int>(op)];
  if (!f.active) return false;
  uint64_t n = ++f.calls;
  if (n <= f.plan.skip) return false;
  uint64_t period = f.plan.period ? f.plan.period : 1;
  if ((n - f.plan.skip - 1) % period != 0) return false;
  if (f.plan.count && f.failed >= f.plan.count) return false;
  ++f.failed;
  *status = f.plan.status;
  return true;
}

}  // namespace platform::kernel::registry

namespace platform::kernel {

using namespace registry;

void RegistryReset() {
  State& s = S();
  {
    std::lock_guard<std::mutex> g(s.lock);
    s.store = FreshStore();
    s.attached.clear();
    for (FaultState& f : s.faults) f = FaultState{};
  }
  RegistryClearAccessLog();
}

void RegistryCreateKey(std::u16string_view key) {
  std::lock_guard<std::mutex> g(S().lock);
  S().store.Create(key);
}

bool RegistryKeyExists(std::u16string_view key) {
  std::lock_guard<std::mutex> g(S().lock);
  return S().store.Find(key) != nullptr;
}

bool RegistryDeleteKey(std::u16string_view key) {
  std::lock_guard<std::mutex> g(S().lock);
  return S().store.DeleteTree(key);
}

void RegistrySetValue(std::u16string_view key, std::u16string_view name, ULONG type, const void* data, size_t size) {
  std::lock_guard<std::mutex> g(S().lock);
  S().store.Create(key).Set(name, type, static_cast<const uint8_t*>(data), size);
}

void RegistrySetDword(std::u16string_view key, std::u16string_view name, ULONG value) {
  RegistrySetValue(key, name, REG_DWORD, &value, 4);
}

void RegistrySetString(std::u16string_view key, std::u16string_view name, std::u16string_view text) {
  std::u16string s(text);
  RegistrySetValue(key, name, REG_SZ, s.c_str(), (s.size() + 1) * 2);
}

std::optional<RegistryValue> RegistryGetValue(std::u16string_view key, std::u16string_view name) {
  std::lock_guard<std::mutex> g(S().lock);
  Key* k = S().store.Find(key);
  if (!k) return std::nullopt;
  RegistryValue* v = k->Find(name);
  if (!v) return std::nullopt;
  return *v;
}

bool RegistryDeleteValue(std::u16string_view key, std::u16string_view name) {
  std::lock_guard<std::mutex> g(S().lock);
  Key* k = S().store.Find(key);
  return k && k->Delete(name);
}

std::vector<RegistryValue> RegistryValues(std::u16string_view key) {
  std::lock_guard<std::mutex> g(S().lock);
  Key* k = S().store.Find(key);
  return k ? std::vector<RegistryValue>(k->values.begin(), k->values.end()) : std::vector<RegistryValue>{};
}

std::vector<std::u16string> RegistryKeys() {
  std::lock_guard<std::mutex> g(S().lock);
  std::vector<std::u16string> out;
  for (const auto& [folded, key] : S().store.keys) out.push_back(key.name);
  return out;
}

void RegistryInjectFault(RegistryOperation op, const RegistryFault& fault) {
  if (op == RegistryOperation::Close) return;
  std::lock_guard<std::mutex> g(S().lock);
  FaultState& f = S().faults[static_cast<int>(op)];
  f = FaultState{};
  f.active = true;
  f.plan = fault;
}

void RegistryClearFaults() {
  std::lock_guard<std::mutex> g(S().lock);
  for (FaultState& f : S().faults) f = FaultState{};
}

std::vector<RegistryAccess> RegistryAccessLog() {
  std::lock_guard<std::mutex> g(S().logLock);
  return S().log;
}

void RegistryClearAccessLog() {
  std::lock_guard<std::mutex> g(S().logLock);
  S().log.clear();
}

size_t RegistryAccessCount(RegistryOperation op) {
  std::lock_guard<std::mutex> g(S().logLock);
  return static_cast<size_t>(
      std::count_if(S().log.begin(), S().log.end(), [op](const RegistryAccess& a) { return a.op == op; }));
}

size_t RegistryOpenKeyCount() { return S().openKeys.load(); }

std::string RegistryNarrow(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace platform::kernel
