// The registry file reader: a registry export file's text into a store.

#include "platform/kernel/registry_store.h"

namespace platform::kernel::registry {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool ToKernelKeyName(std::u16string_view fileName, std::u16string* out) {
  for (const RootName& r : kRoots) {
    if (StartsWithFolded(fileName, r.file) &&
        (fileName.size() == r.file.size() || fileName[r.file.size()] == u'\\')) {
      *out = std::u16string(r.kernel) + std::u16string(fileName.substr(r.file.size()));
      return ValidKeyName(*out);
    }
  }
  return false;
}

// A quoted string at the start of `s` with \\ and \" escapes; `s` is left after it.
bool ParseQuoted(std::u16string_view* s, std::u16string* out) {
  if (s->empty() || s->front() != u'"') return false;
  size_t i = 1;
  out->clear();
  while (i < s->size()) {
    char16_t c = (*s)[i];
    if (c == u'"') {
      s->remove_prefix(i + 1);
      return true;
    }
    if (c == u'\\') {
      if (i + 1 >= s->size() || ((*s)[i + 1] != u'\\' && (*s)[i + 1] != u'"')) return false;
      c = (*s)[++i];
    }
    out->push_back(c);
    ++i;
  }
  return false;
}

bool ParseHexList(std::u16string_view s, std::vector<uint8_t>* out) {
  s = Trim(s);
  out->clear();
  if (s.empty()) return true;
  while (true) {
    s = Trim(s);
    size_t n = 0;
    int value = 0;
    while (n < s.size() && n < 3 && HexDigit(s[n]) >= 0) value = value * 16 + HexDigit(s[n++]);
    if (n == 0 || n > 2) return false;
    out->push_back(static_cast<uint8_t>(value));
    s = Trim(s.substr(n));
    if (s.empty()) return true;
    if (s.front() != u',') return false;
    s.remove_prefix(1);
    if (Trim(s).empty()) return true;  // a trailing comma
  }
}

}  // namespace

bool DecodeText(std::string_view bytes, Parser& p, std::u16string* text) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
    if (bytes.size() & 1) return p.Fail(1, "UTF-16 text ends in half a character");
    text->resize((bytes.size() - 2) / 2);
    for (size_t i = 0; i < text->size(); ++i)
      (*text)[i] = static_cast<char16_t>(byte(2 + 2 * i) | (byte(3 + 2 * i) << 8));
    return true;
  }
  if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF)
    return p.Fail(1, "big-endian UTF-16 is not a registry file encoding");
  size_t i = (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) ? 3 : 0;
  size_t line = 1;
  while (i < bytes.size()) {
    unsigned c = byte(i);
    unsigned need = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
    if (need == 9 || i + need > bytes.size() - 1)
      return p.Fail(line, "text is neither UTF-16 nor UTF-8");
    uint32_t cp = need == 0 ? c : need == 1 ? (c & 0x1F) : need == 2 ? (c & 0x0F) : (c & 0x07);
    for (unsigned k = 1; k <= need; ++k) {
      unsigned cc = byte(i + k);
      if ((cc & 0xC0) != 0x80) return p.Fail(line, "text is neither UTF-16 nor UTF-8");
      cp = (cp << 6) | (cc & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return p.Fail(line, "text is neither UTF-16 nor UTF-8");
    if (cp >= 0x10000) {
      cp -= 0x10000;
      text->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      text->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      text->push_back(static_cast<char16_t>(cp));
    }
    if (cp == '\n') ++line;
    i += need + 1;
  }
  return true;
}

bool ImportText(std::u16string_view text, Parser& p, Store* store) {
  std::vector<std::u16string_view> lines;
  // A final line break ends the last line; it does not begin an empty one.
  for (size_t start = 0; start < text.size() || (start == 0 && text.empty());) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  if (lines.empty() || (Trim(lines[0]) != u"Windows Registry Editor Version 5.00" && Trim(lines[0]) != u"REGEDIT4"))
    return p.Fail(1, "not a registry file: the first line must be \"Windows Registry Editor Version 5.00\"");

  Key* key = nullptr;
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t lineNo = i + 1;
    std::u16string_view line = Trim(lines[i]);
    if (line.find(u'\0') != std::u16string_view::npos) return p.Fail(lineNo, "NUL character in the text");
    if (line.empty() || line.front() == u';') continue;
    if (line.front() == u'[') {
      if (line.back() != u']') return p.Fail(lineNo, "key name without its closing ']'");
      bool remove = line.size() > 1 && line[1] == u'-';
      std::u16string_view fileName = line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2));
      std::u16string name;
      if (!ToKernelKeyName(fileName, &name))
        return p.Fail(lineNo, "key " + RegistryNarrow(fileName) +
                                  " is not a valid key under HKEY_LOCAL_MACHINE or HKEY_USERS");
      if (remove) {
        store->DeleteTree(name);
        key = nullptr;
      } else {
        key = &store->Create(name);
      }
      continue;
    }
    if (line.front() != u'"' && line.front() != u'@')
      return p.Fail(lineNo, "expected a key in brackets or a value \"name\"=data");
    if (!key) return p.Fail(lineNo, "value outside a key");
    std::u16string name;
    std::u16string_view rest = line;
    if (rest.front() == u'@') {
      rest.remove_prefix(1);
    } else if (!ParseQuoted(&rest, &name)) {
      return p.Fail(lineNo, "malformed value name (quotes and backslashes are written \\\" and \\\\)");
    }
    if (name.size() > kMaxValueNameChars) return p.Fail(lineNo, "value name too long");
    rest = Trim(rest);
    if (rest.empty() || rest.front() != u'=') return p.Fail(lineNo, "expected '=' after the value name");
    rest = Trim(rest.substr(1));

    if (rest == u"-") {
      key->Delete(name);
      continue;
    }
    if (!rest.empty() && rest.front() == u'"') {
      std::u16string str;
      if (!ParseQuoted(&rest, &str) || !Trim(rest).empty()) return p.Fail(lineNo, "malformed string data");
      str.push_back(u'\0');
      key->Set(name, REG_SZ, reinterpret_cast<const uint8_t*>(str.data()), str.size() * 2);
      continue;
    }
    if (StartsWithFolded(rest, u"dword:")) {
      std::u16string_view digits = rest.substr(6);
      if (digits.empty() || digits.size() > 8) return p.Fail(lineNo, "dword data must be 1 to 8 hex digits");
      ULONG d = 0;
      for (char16_t c : digits) {
        if (HexDigit(c) < 0) return p.Fail(lineNo, "dword data must be 1 to 8 hex digits");
        d = d * 16 + static_cast<ULONG>(HexDigit(c));
      }
      key->Set(name, REG_DWORD, reinterpret_cast<const uint8_t*>(&d), 4);
      continue;
    }
    if (StartsWithFolded(rest, u"hex")) {
      ULONG type = REG_BINARY;
      std::u16string_view t = rest.substr(3);
      if (!t.empty() && t.front() == u'(') {
        size_t close = t.find(u')');
        if (close == std::u16string_view::npos || close == 1 || close > 9)
          return p.Fail(lineNo, "malformed hex(type)");
        type = 0;
        for (size_t k = 1; k < close; ++k) {
          if (HexDigit(t[k]) < 0) return p.Fail(lineNo, "malformed hex(type)");
          type = type * 16 + static_cast<ULONG>(HexDigit(t[k]));
        }
        t.remove_prefix(close + 1);
      }
      if (t.empty() || t.front() != u':') return p.Fail(lineNo, "expected ':' after hex");
      std::u16string data(t.substr(1));
      // Continued lines: a trailing backslash joins the next line.
      while (!Trim(data).empty() && Trim(data).back() == u'\\') {
        data = std::u16string(Trim(data));
        data.pop_back();
        if (++i >= lines.size()) return p.Fail(lineNo, "hex data continued past the end of the file");
        data += Trim(lines[i]);
      }
      std::vector<uint8_t> bytes;
      if (!ParseHexList(data, &bytes)) return p.Fail(lineNo, "malformed hex data (expected bytes like 0a,ff,...)");
      if (bytes.size() > kMaxValueData) return p.Fail(lineNo, "value data too large");
      key->Set(name, type, bytes.data(), bytes.size());
      continue;
    }
    return p.Fail(lineNo, "unknown data type (expected \"string\", dword:, hex: or hex(n):)");
  }
  return true;
}

}  // namespace platform::kernel::registry

namespace platform::kernel {

using namespace registry;

bool RegistryImport(std::string_view bytes, const std::string& source, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  Parser p{source, error};
  std::u16string text;
  if (bytes.size() > kMaxFileBytes) return p.Fail(1, "file too large for a registry file");
  if (!DecodeText(bytes, p, &text)) return false;
  Store fresh;
  if (!ImportText(text, p, &fresh)) return false;
  std::lock_guard<std::mutex> g(S().lock);
  S().store = std::move(fresh);
  return true;
}

}  // namespace platform::kernel
