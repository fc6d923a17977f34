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
    if (StartsWithFolded(fileName, r.file) && (fileName.size() == r.file.size() || fileName[r.file.size()] == u'\\')) {
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

// Comma-separated hex bytes ("0a,ff, 3"), fed a piece at a time: the pieces of a value
// continued over several lines join as if written on one line. Each character is looked
// at once, so a value costs time in proportion to its text.
class HexList {
 public:
  explicit HexList(std::vector<uint8_t>* out) : out_(out) { out_->clear(); }

  // False on anything but hex bytes, commas and blanks, or past the data limit.
  bool Add(std::u16string_view piece) {
    for (char16_t c : piece) {
      int digit = HexDigit(c);
      switch (state_) {
        case State::Start:
        case State::AfterComma:
          if (IsBlank(c)) break;
          if (digit < 0) return false;
          value_ = digit;
          state_ = State::OneDigit;
          break;
        case State::OneDigit:
          if (digit >= 0) {
            value_ = value_ * 16 + digit;
            state_ = State::TwoDigits;
            break;
          }
          [[fallthrough]];
        case State::TwoDigits:
          if (digit >= 0) return false;  // three digits
          if (!IsBlank(c) && c != u',') return false;
          if (out_->size() >= kMaxValueData) return false;
          out_->push_back(static_cast<uint8_t>(value_));
          state_ = c == u',' ? State::AfterComma : State::AfterByte;
          break;
        case State::AfterByte:
          if (IsBlank(c)) break;
          if (c != u',') return false;
          state_ = State::AfterComma;
          break;
      }
    }
    return true;
  }
  // The end of the value: empty, or a list with at most one trailing comma.
  bool Finish() {
    if (state_ == State::OneDigit || state_ == State::TwoDigits) {
      if (out_->size() >= kMaxValueData) return false;
      out_->push_back(static_cast<uint8_t>(value_));
    }
    return true;
  }

 private:
  enum class State { Start, OneDigit, TwoDigits, AfterByte, AfterComma };
  std::vector<uint8_t>* out_;
  State state_ = State::Start;
  int value_ = 0;
};

// The file's lines as UTF-16, one at a time, from UTF-16LE with its byte-order mark or
// from UTF-8 (with or without one). A line ends at a line feed, with a carriage return
// before it dropped; a final line break ends the last line and does not begin another.
// Lines are decoded as they are read into one buffer, so reading costs time in
// proportion to the file and memory in proportion to its longest line.
class LineReader {
 public:
  LineReader(std::string_view bytes, Parser& p) : bytes_(bytes), p_(p) {
    if (bytes_.size() >= 2 && Byte(0) == 0xFF && Byte(1) == 0xFE) {
      wide_ = true;
      at_ = 2;
    } else if (bytes_.size() >= 3 && Byte(0) == 0xEF && Byte(1) == 0xBB && Byte(2) == 0xBF) {
      at_ = 3;
    }
  }
  // Refuses what no line can be read from.
  bool Check() {
    if (wide_ && (bytes_.size() & 1)) return p_.Fail(1, "UTF-16 text ends in half a character");
    if (bytes_.size() >= 2 && Byte(0) == 0xFE && Byte(1) == 0xFF)
      return p_.Fail(1, "big-endian UTF-16 is not a registry file encoding");
    return true;
  }
  // The next line into *line (valid until the next call); false at the end of the file,
  // or on text that is not UTF-8 (*failed set, the error given).
  bool Next(std::u16string_view* line, bool* failed) {
    *failed = false;
    if (done_) return false;
    ++number_;
    buffer_.clear();
    bool lineFeed = false;
    if (wide_) {
      while (at_ + 1 < bytes_.size()) {
        char16_t c = static_cast<char16_t>(Byte(at_) | (Byte(at_ + 1) << 8));
        at_ += 2;
        if (c == u'\n') {
          lineFeed = true;
          break;
        }
        buffer_.push_back(c);
      }
    } else if (!NextUtf8(&lineFeed)) {
      *failed = done_ = true;
      return false;
    }
    if (!lineFeed || at_ >= bytes_.size()) done_ = true;
    if (!buffer_.empty() && buffer_.back() == u'\r') buffer_.pop_back();
    *line = buffer_;
    return true;
  }
  size_t number() const { return number_; }

 private:
  unsigned Byte(size_t i) const { return static_cast<unsigned char>(bytes_[i]); }

  bool NextUtf8(bool* lineFeed) {
    while (at_ < bytes_.size()) {
      unsigned c = Byte(at_);
      if (c == '\n') {
        ++at_;
        *lineFeed = true;
        return true;
      }
      unsigned need = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
      if (need == 9 || at_ + need > bytes_.size() - 1) return p_.Fail(number_, "text is neither UTF-16 nor UTF-8");
      uint32_t cp = need == 0 ? c : need == 1 ? (c & 0x1F) : need == 2 ? (c & 0x0F) : (c & 0x07);
      for (unsigned k = 1; k <= need; ++k) {
        unsigned cc = Byte(at_ + k);
        if ((cc & 0xC0) != 0x80) return p_.Fail(number_, "text is neither UTF-16 nor UTF-8");
        cp = (cp << 6) | (cc & 0x3F);
      }
      static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
      if (cp < kMin[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return p_.Fail(number_, "text is neither UTF-16 nor UTF-8");
      if (cp >= 0x10000) {
        cp -= 0x10000;
        buffer_.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        buffer_.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
      } else {
        buffer_.push_back(static_cast<char16_t>(cp));
      }
      at_ += need + 1;
    }
    return true;
  }

  std::string_view bytes_;
  Parser& p_;
  bool wide_ = false;
  bool done_ = false;
  size_t at_ = 0;
  size_t number_ = 0;
  std::u16string buffer_;
};

}  // namespace

bool ImportText(std::string_view bytes, Parser& p, Store* store) {
  LineReader lines(bytes, p);
  if (!lines.Check()) return false;
  std::u16string_view raw;
  bool failed = false;
  if (!lines.Next(&raw, &failed)) return false;
  if (Trim(raw) != u"Windows Registry Editor Version 5.00" && Trim(raw) != u"REGEDIT4")
    return p.Fail(1, "not a registry file: the first line must be \"Windows Registry Editor Version 5.00\"");

  Key* key = nullptr;
  while (lines.Next(&raw, &failed)) {
    size_t lineNo = lines.number();
    std::u16string_view line = Trim(raw);
    if (line.find(u'\0') != std::u16string_view::npos) return p.Fail(lineNo, "NUL character in the text");
    if (line.empty() || line.front() == u';') continue;
    if (line.front() == u'[') {
      if (line.back() != u']') return p.Fail(lineNo, "key name without its closing ']'");
      bool remove = line.size() > 1 && line[1] == u'-';
      std::u16string_view fileName = line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2));
      // A line break cannot be written back in a name, so none is read in one either.
      if (fileName.find(u'\r') != std::u16string_view::npos) return p.Fail(lineNo, "carriage return in a key name");
      std::u16string name;
      if (!ToKernelKeyName(fileName, &name))
        return p.Fail(lineNo,
                      "key " + RegistryNarrow(fileName) + " is not a valid key under HKEY_LOCAL_MACHINE or HKEY_USERS");
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
    if (name.find(u'\r') != std::u16string::npos) return p.Fail(lineNo, "carriage return in a value name");
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
        if (close == std::u16string_view::npos || close == 1 || close > 9) return p.Fail(lineNo, "malformed hex(type)");
        type = 0;
        for (size_t k = 1; k < close; ++k) {
          if (HexDigit(t[k]) < 0) return p.Fail(lineNo, "malformed hex(type)");
          type = type * 16 + static_cast<ULONG>(HexDigit(t[k]));
        }
        t.remove_prefix(close + 1);
      }
      if (t.empty() || t.front() != u':') return p.Fail(lineNo, "expected ':' after hex");
      // Continued lines: a trailing backslash joins the next line.
      std::vector<uint8_t> bytes;
      HexList hex(&bytes);
      std::u16string_view piece = Trim(t.substr(1));
      size_t pieceLine = lineNo;
      while (!piece.empty() && piece.back() == u'\\') {
        if (!hex.Add(piece.substr(0, piece.size() - 1)))
          return p.Fail(pieceLine, "malformed hex data (expected bytes like 0a,ff,... of at most 16 MiB)");
        if (!lines.Next(&raw, &failed))
          return failed ? false : p.Fail(lineNo, "hex data continued past the end of the file");
        piece = Trim(raw);
        pieceLine = lines.number();
      }
      if (!hex.Add(piece) || !hex.Finish())
        return p.Fail(pieceLine, "malformed hex data (expected bytes like 0a,ff,... of at most 16 MiB)");
      key->Set(name, type, std::move(bytes));
      continue;
    }
    return p.Fail(lineNo, "unknown data type (expected \"string\", dword:, hex: or hex(n):)");
  }
  return !failed;
}

}  // namespace platform::kernel::registry

namespace platform::kernel {

using namespace registry;

bool RegistryImport(std::string_view bytes, const std::string& source, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  Parser p{source, error};
  if (bytes.size() > kMaxFileBytes) return p.Fail(1, "file too large for a registry file");
  Store fresh;
  if (!ImportText(bytes, p, &fresh)) return false;
  std::lock_guard<std::mutex> g(S().lock);
  S().store = std::move(fresh);
  return true;
}

}  // namespace platform::kernel
