// The values of one registry key, in the order they were created, with an index by
// folded name.

#include "platform/kernel/registry_store.h"

namespace platform::kernel::registry {

RegistryValue* Key::Find(std::u16string_view valueName) {
  auto it = index.find(Fold(valueName));
  return it == index.end() ? nullptr : &*it->second;
}

void Key::Set(std::u16string_view valueName, ULONG type, const uint8_t* data, size_t size) {
  Set(valueName, type, std::vector<uint8_t>(data, data + size));
}

void Key::Set(std::u16string_view valueName, ULONG type, std::vector<uint8_t>&& data) {
  auto [it, inserted] = index.try_emplace(Fold(valueName));
  if (inserted) it->second = values.insert(values.end(), RegistryValue{std::u16string(valueName), REG_NONE, {}});
  RegistryValue& v = *it->second;
  v.type = type;
  v.data = std::move(data);
}

bool Key::Delete(std::u16string_view valueName) {
  auto it = index.find(Fold(valueName));
  if (it == index.end()) return false;
  values.erase(it->second);
  index.erase(it);
  return true;
}

}  // namespace platform::kernel::registry
