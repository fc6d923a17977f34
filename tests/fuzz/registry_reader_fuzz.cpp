// The registry file reader on any bytes. Whatever it accepts must survive the writer:
// the store it read is written, read back into the same store, and written again to the
// same bytes. What it refuses must leave the store as it was and name a line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/registry_host.h"

namespace pk = platform::kernel;

namespace {

struct Snapshot {
  std::vector<std::u16string> keys;
  std::vector<std::vector<pk::RegistryValue>> values;
  bool operator==(const Snapshot& o) const {
    if (keys != o.keys || values.size() != o.values.size()) return false;
    for (size_t k = 0; k < values.size(); ++k) {
      if (values[k].size() != o.values[k].size()) return false;
      for (size_t v = 0; v < values[k].size(); ++v) {
        const pk::RegistryValue &a = values[k][v], &b = o.values[k][v];
        if (a.name != b.name || a.type != b.type || a.data != b.data) return false;
      }
    }
    return true;
  }
};

Snapshot Take() {
  Snapshot s;
  s.keys = pk::RegistryKeys();
  for (const auto& k : s.keys) s.values.push_back(pk::RegistryValues(k));
  return s;
}

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "registry round trip: %s: %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pk::RegistryReset();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string error;
  Snapshot fresh = Take();
  if (!pk::RegistryImport(input, "fuzz.reg", &error)) {
    if (error.rfind("fuzz.reg:", 0) != 0) Fail("a refusal names no line", error);
    if (!(Take() == fresh)) Fail("a refused file changed the store", error);
    return 0;
  }
  Snapshot read = Take();
  std::string first, second;
  if (!pk::RegistryExport(&first, &error)) Fail("what was read cannot be written", error);
  pk::RegistryReset();
  if (!pk::RegistryImport(first, "first.reg", &error)) Fail("what was written cannot be read", error);
  if (!(Take() == read)) Fail("the store changed through the file", "");
  if (!pk::RegistryExport(&second, &error)) Fail("the second write failed", error);
  if (first != second) Fail("the writer's output is not a fixed point", "");
  return 0;
}
