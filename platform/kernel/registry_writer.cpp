// The registry file writer: a store as a registry export file's text, as the registry
// editor writes it.

#include <cstdio>
#include <cstring>

#include "platform/kernel/registry_store.h"

namespace platform::kernel::registry {
namespace {

bool ToFileKeyName(std::u16string_view name, std::u16string* out) {
  for (const RootName& r : kRoots) {
    if (StartsWithFolded(name, r.kernel) && (name.size() == r.kernel.size() || name[r.kernel.size()] == u'\\')) {
      *out = std::u16string(r.file) + std::u16string(name.substr(r.kernel.size()));
      return true;
    }
  }
  return false;
}

bool HasLineBreak(std::u16string_view s) {
  return s.find_first_of(u"\r\n") != std::u16string_view::npos || s.find(u'\0') != std::u16string_view::npos;
}

void AppendQuoted(std::u16string* out, std::u16string_view s) {
  out->push_back(u'"');
  for (char16_t c : s) {
    if (c == u'\\' || c == u'"') out->push_back(u'\\');
    out->push_back(c);
  }
  out->push_back(u'"');
}

void AppendAscii(std::u16string* out, std::string_view s) {
  for (char c : s) out->push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
}

// Hex bytes as the registry editor writes them: comma-separated, lines continued with a
// trailing backslash and indented by two spaces, kept within 80 columns.
void AppendHexList(std::u16string* out, size_t column, const std::vector<uint8_t>& data) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    if (column + 3 > 78) {
      AppendAscii(out, "\\\r\n  ");
      column = 2;
    }
    out->push_back(static_cast<char16_t>(kDigits[data[i] >> 4]));
    out->push_back(static_cast<char16_t>(kDigits[data[i] & 15]));
    column += 2;
    if (i + 1 < data.size()) {
      out->push_back(u',');
      ++column;
    }
  }
}

// A REG_SZ that reads back byte for byte from its quoted form: whole UTF-16 units, one
// terminating zero at the end and none before it, no line breaks.
bool PlainString(const RegistryValue& v, std::u16string* text) {
  if (v.data.size() < 2 || (v.data.size() & 1)) return false;
  size_t n = v.data.size() / 2;
  text->resize(n);
  std::memcpy(text->data(), v.data.data(), v.data.size());
  if ((*text)[n - 1] != u'\0') return false;
  text->pop_back();
  return !HasLineBreak(*text);
}

}  // namespace

bool ExportText(const Store& store, std::u16string* out, std::string* error) {
  AppendAscii(out, "Windows Registry Editor Version 5.00\r\n");
  for (const auto& [folded, key] : store.keys) {
    std::u16string fileName;
    if (!ToFileKeyName(key.name, &fileName)) {
      *error = "key " + RegistryNarrow(key.name) + " is under no root a registry file can name";
      return false;
    }
    if (HasLineBreak(fileName)) {
      *error = "key name " + RegistryNarrow(key.name) + " holds a line break";
      return false;
    }
    AppendAscii(out, "\r\n[");
    *out += fileName;
    AppendAscii(out, "]\r\n");
    for (const RegistryValue& v : key.values) {
      if (HasLineBreak(v.name)) {
        *error = "value name " + RegistryNarrow(v.name) + " holds a line break";
        return false;
      }
      size_t lineStart = out->size();
      if (v.name.empty())
        out->push_back(u'@');
      else
        AppendQuoted(out, v.name);
      out->push_back(u'=');
      std::u16string text;
      if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        ULONG d;
        std::memcpy(&d, v.data.data(), 4);
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        AppendAscii(out, buf);
      } else if (v.type == REG_SZ && PlainString(v, &text)) {
        AppendQuoted(out, text);
      } else {
        char buf[24];
        if (v.type == REG_BINARY)
          std::snprintf(buf, sizeof buf, "hex:");
        else
          std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        AppendAscii(out, buf);
        AppendHexList(out, out->size() - lineStart, v.data);
      }
      AppendAscii(out, "\r\n");
    }
  }
  AppendAscii(out, "\r\n");
  return true;
}

}  // namespace platform::kernel::registry

namespace platform::kernel {

using namespace registry;

bool RegistryExport(std::string* bytes, std::string* error) {
  std::u16string text;
  {
    std::lock_guard<std::mutex> g(S().lock);
    if (!ExportText(S().store, &text, error)) return false;
  }
  bytes->clear();
  bytes->reserve(2 + text.size() * 2);
  bytes->push_back(static_cast<char>(0xFF));
  bytes->push_back(static_cast<char>(0xFE));
  for (char16_t c : text) {
    bytes->push_back(static_cast<char>(c & 0xFF));
    bytes->push_back(static_cast<char>(c >> 8));
  }
  return true;
}

}  // namespace platform::kernel
