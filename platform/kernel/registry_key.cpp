// The values of one registry key, in the order they were created, with an index by
// folded name.

#include "platform/kernel/registry_store.h"

namespace platform::kernel::registry {

RegistryValue* Key::Find(std::u16string_view valueName) {
  auto it = index.find(Fold(valueName));
  return it == index.end() ? nullptr : &values[it->second];
}

void Key::Set(std::u16string_view valueName, ULONG type, const uint8_t* data, size_t size) {
  RegistryValue* v = Find(valueName);
  if (!v) {
    index.emplace(Fold(valueName), values.size());
    values.push_back(RegistryValue{std::u16string(valueName), REG_NONE, {}});
    v = &values.back();
  }
  v->type = type;
  v->data.assign(data, data + size);
}

bool Key::Delete(std::u16string_view valueName) {
  auto it = index.find(Fold(valueName));
  if (it == index.end()) return false;
  values.erase(values.begin() + static_cast<std::ptrdiff_t>(it->second));
  index.clear();
  for (size_t i = 0; i < values.size(); ++i) index.emplace(Fold(values[i].name), i);
  return true;
}

}  // namespace platform::kernel::registry
