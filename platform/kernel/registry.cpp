// The machine's registry: an in-memory store of keys and values behind the kernel's
// registry calls, persisted as a registry export file.

#include "platform/kernel/registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/handles.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
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
namespace {

// Limits of the real registry: a value name has at most 16,383 characters, a key name
// component at most 255. Data is limited so the record size always fits a ULONG.
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxKeyNameChars = 32767;
constexpr size_t kMaxValueData = 16u << 20;
constexpr size_t kMaxFileBytes = 512u << 20;
constexpr ULONG kFullInfoFixedPart = sizeof(KEY_VALUE_FULL_INFORMATION);

constexpr char16_t kClassKeyPrefix[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\";

char16_t FoldChar(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

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

struct Key {
  std::u16string name;
  std::vector<RegistryValue> values;
  std::unordered_map<std::u16string, size_t> index;  // folded value name -> position

  RegistryValue* Find(std::u16string_view valueName) {
    auto it = index.find(Fold(valueName));
    return it == index.end() ? nullptr : &values[it->second];
  }
  void Set(std::u16string_view valueName, ULONG type, const uint8_t* data, size_t size) {
    RegistryValue* v = Find(valueName);
    if (!v) {
      index.emplace(Fold(valueName), values.size());
      values.push_back(RegistryValue{std::u16string(valueName), REG_NONE, {}});
      v = &values.back();
    }
    v->type = type;
    v->data.assign(data, data + size);
  }
  bool Delete(std::u16string_view valueName) {
    auto it = index.find(Fold(valueName));
    if (it == index.end()) return false;
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(it->second));
    index.clear();
    for (size_t i = 0; i < values.size(); ++i) index.emplace(Fold(values[i].name), i);
    return true;
  }
};

struct Store {
  std::map<std::u16string, Key> keys;  // by folded name

  Key* Find(std::u16string_view name) {
    auto it = keys.find(Fold(name));
    return it == keys.end() ? nullptr : &it->second;
  }
  Key& Create(std::u16string_view name) {
    auto [it, inserted] = keys.try_emplace(Fold(name));
    if (inserted) it->second.name = std::u16string(name);
    return it->second;
  }
  bool DeleteTree(std::u16string_view name) {
    std::u16string folded = Fold(name);
    bool any = false;
    for (auto it = keys.begin(); it != keys.end();) {
      const std::u16string& k = it->first;
      bool below = k == folded || (k.size() > folded.size() && k.compare(0, folded.size(), folded) == 0 &&
                                   k[folded.size()] == u'\\');
      if (below) {
        it = keys.erase(it);
        any = true;
      } else {
        ++it;
      }
    }
    return any;
  }
};

Store FreshStore() {
  Store s;
  Key& k = s.Create(kRegistryVersionKey);
  std::u16string v(kRegistryDefaultVersion);
  k.Set(kRegistryVersionValue, REG_SZ, reinterpret_cast<const uint8_t*>(v.c_str()), (v.size() + 1) * 2);
  return s;
}

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

class RegKeyObject : public HandleObject {
 public:
  RegKeyObject(std::u16string name, ACCESS_MASK access) : name_(std::move(name)), access_(access) {
    ++S().openKeys;
  }
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
    ReportVerifierFailure(call, "registry call at IRQL " + std::to_string(irql) + " (must be PASSIVE_LEVEL)",
                          0x0A);
}

// A counted string as a name; false when it is malformed.
bool NameOf(PCUNICODE_STRING s, std::u16string* out) {
  if (!s || (s->Length & 1) || (s->Length && !s->Buffer) || s->Length > s->MaximumLength) return false;
  out->assign(s->Buffer ? s->Buffer : u"", s->Length / 2);
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

// ---- Export ----------------------------------------------------------------------------

struct RootName {
  std::u16string_view kernel;
  std::u16string_view file;
};
constexpr RootName kRoots[] = {
    {u"\\REGISTRY\\MACHINE", u"HKEY_LOCAL_MACHINE"},
    {u"\\REGISTRY\\USER", u"HKEY_USERS"},
};

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

// ---- Import ----------------------------------------------------------------------------

struct Parser {
  const std::string& source;
  std::string* error;

  bool Fail(size_t line, const std::string& what) {
    *error = source + ":" + std::to_string(line) + ": " + what;
    return false;
  }
};

// The file's text as UTF-16, from UTF-16LE with its byte-order mark or from UTF-8.
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

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + tmp + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot write " + tmp + ": " + std::strerror(errno);
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    *error = "cannot write " + tmp + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

enum class ReadResult { Ok, Missing, Failed };

ReadResult ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::Missing;
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return ReadResult::Failed;
  }
  bytes->clear();
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return ReadResult::Failed;
    }
    if (n == 0) break;
    bytes->append(buf, static_cast<size_t>(n));
    if (bytes->size() > kMaxFileBytes) {
      *error = path + ": file too large for a registry file";
      ::close(fd);
      return ReadResult::Failed;
    }
  }
  ::close(fd);
  return ReadResult::Ok;
}

}  // namespace

// ---- Host controls ---------------------------------------------------------------------

std::u16string RegistryDriverKeyPath(ULONG hostInstance) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04u", hostInstance);
  std::u16string path(kClassKeyPrefix);
  for (const char* c = buf; *c; ++c) path.push_back(static_cast<char16_t>(*c));
  return path;
}

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
  return k ? k->values : std::vector<RegistryValue>{};
}

std::vector<std::u16string> RegistryKeys() {
  std::lock_guard<std::mutex> g(S().lock);
  std::vector<std::u16string> out;
  for (const auto& [folded, key] : S().store.keys) out.push_back(key.name);
  return out;
}

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

bool RegistryLoadFile(const std::string& path, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  std::string bytes;
  switch (ReadWholeFile(path, &bytes, error)) {
    case ReadResult::Ok:
      return RegistryImport(bytes, path, error);
    case ReadResult::Missing:
      *error = "cannot open " + path + ": no such file";
      return false;
    case ReadResult::Failed:
      break;
  }
  return false;
}

bool RegistrySaveFile(const std::string& path, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  std::string bytes;
  if (!RegistryExport(&bytes, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return WriteFileAtomically(path, bytes, error);
}

bool RegistryAttachFile(const std::string& path, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  std::string bytes;
  switch (ReadWholeFile(path, &bytes, error)) {
    case ReadResult::Ok:
      if (!RegistryImport(bytes, path, error)) return false;
      break;
    case ReadResult::Missing: {
      std::lock_guard<std::mutex> g(S().lock);
      S().store = FreshStore();
      break;
    }
    case ReadResult::Failed:
      return false;
  }
  std::lock_guard<std::mutex> g(S().lock);
  S().attached = path;
  return true;
}

bool RegistryFlush(std::string* error) {
  std::string path = RegistryAttachedFile();
  if (path.empty()) return true;
  return RegistrySaveFile(path, error);
}

bool RegistryDetachFile(std::string* error) {
  bool ok = RegistryFlush(error);
  std::lock_guard<std::mutex> g(S().lock);
  S().attached.clear();
  return ok;
}

std::string RegistryAttachedFile() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().attached;
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
  if (!KeyHandle || !ObjectAttributes || !NameOf(ObjectAttributes->ObjectName, &name))
    return STATUS_INVALID_PARAMETER;
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
