// DbgPrint and the debugger log, and the Windows-style formatter behind it.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/kernel/internal.h"

namespace platform::kernel::detail {

char NarrowUnit(char16_t unit) { return unit <= 0xFF ? (char)(unsigned char)unit : '?'; }

namespace {

// Output of the formatter: bytes (DbgPrint, the A routines) or UTF-16 units (the W
// routines). Bytes widen one to one; units narrow through NarrowUnit.
void Put(std::string& out, char c) { out += c; }
void Put(std::u16string& out, char c) { out += (char16_t)(unsigned char)c; }
void PutUnit(std::string& out, char16_t u) { out += NarrowUnit(u); }
void PutUnit(std::u16string& out, char16_t u) { out += u; }

template <class Out>
void PutText(Out& out, const char* s) {
  while (*s) Put(out, *s++);
}

template <class Out>
void AppendNarrow(Out& out, const char* s, int precision) {
  if (!s) s = "(null)";
  for (int i = 0; s[i] && (precision < 0 || i < precision); ++i) Put(out, s[i]);
}

template <class Out>
void AppendWide(Out& out, const char16_t* s, int precision) {
  if (!s) {
    PutText(out, "(null)");
    return;
  }
  for (int i = 0; s[i] && (precision < 0 || i < precision); ++i) PutUnit(out, s[i]);
}

template <class Out>
void Pad(Out& out, size_t start, int width, bool left) {
  size_t len = out.size() - start;
  if (width <= 0 || len >= (size_t)width) return;
  Out pad((size_t)width - len, ' ');
  if (left)
    out += pad;
  else
    out.insert(start, pad);
}

template <class Ch>
size_t Length(const Ch* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// The kernel's printf: sizes follow the LLP64 model (l = 32 bits), with the Microsoft
// prefixes I, I32 and I64, and the counted-string conversions Z and wZ. In the wide
// routines %s and %c take UTF-16 and %S and %C 8-bit text; in the others the reverse.
template <class Ch, class Out>
void Format(Out& out, const Ch* f, va_list args) {
  constexpr bool kWideFormat = sizeof(Ch) == 2;
  va_list ap;
  va_copy(ap, args);
  while (*f) {
    if (*f != '%') {
      if constexpr (kWideFormat)
        PutUnit(out, *f);
      else
        Put(out, *f);
      ++f;
      continue;
    }
    const Ch* specStart = f++;
    if (*f == '%') {
      Put(out, '%');
      ++f;
      continue;
    }
    std::string flags;
    while (*f == '-' || *f == '+' || *f == ' ' || *f == '#' || *f == '0') flags += (char)*f++;
    int width = -1;
    if (*f == '*') {
      width = va_arg(ap, int);
      if (width < 0) {
        flags += '-';
        width = -width;
      }
      ++f;
    } else if (*f >= '0' && *f <= '9') {
      width = 0;
      while (*f >= '0' && *f <= '9') width = width * 10 + (int)(*f++ - '0');
    }
    int precision = -1;
    if (*f == '.') {
      ++f;
      precision = 0;
      if (*f == '*') {
        precision = va_arg(ap, int);
        ++f;
      } else {
        while (*f >= '0' && *f <= '9') precision = precision * 10 + (int)(*f++ - '0');
      }
    }
    // Size prefix: bits of the integer argument, or wide/narrow for characters.
    int bits = 32;
    int wide = -1;  // -1: by conversion letter, 0: narrow, 1: wide
    if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
      bits = 64;
      f += 3;
    } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
      bits = 32;
      f += 3;
    } else if (*f == 'I' || *f == 'z' || *f == 't' || *f == 'j') {
      bits = 64;
      ++f;
    } else if (f[0] == 'l' && f[1] == 'l') {
      bits = 64;
      f += 2;
    } else if (*f == 'l' || *f == 'w') {
      bits = 32;
      wide = 1;
      ++f;
    } else if (f[0] == 'h' && f[1] == 'h') {
      bits = 8;
      wide = 0;
      f += 2;
    } else if (*f == 'h') {
      bits = 16;
      wide = 0;
      ++f;
    } else if (*f == 'L') {
      bits = 64;
      ++f;
    }
    char conv = (*f > 0 && *f < 0x80) ? (char)*f : 0;
    if (!*f) {
      for (const Ch* p = specStart; *p; ++p) PutUnit(out, (char16_t)*p);
      break;
    }
    ++f;
    bool left = flags.find('-') != std::string::npos;
    size_t start = out.size();
    // Which letter means UTF-16 text: lower case in the wide routines, upper case here.
    bool upper = conv == 'S' || conv == 'C';
    bool wideText = wide == 1 || (wide == -1 && (kWideFormat ? !upper : upper));
    switch (conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'o':
      case 'x':
      case 'X': {
        bool isSigned = conv == 'd' || conv == 'i';
        unsigned long long raw = bits == 64 ? va_arg(ap, unsigned long long) : (unsigned long long)va_arg(ap, unsigned);
        long long sv;
        unsigned long long uv;
        switch (bits) {
          case 8:
            sv = (signed char)raw;
            uv = (unsigned char)raw;
            break;
          case 16:
            sv = (short)raw;
            uv = (unsigned short)raw;
            break;
          case 32:
            sv = (int)(unsigned)raw;
            uv = (unsigned)raw;
            break;
          default:
            sv = (long long)raw;
            uv = raw;
            break;
        }
        std::string conversion = "%" + flags;
        if (width >= 0) conversion += std::to_string(width);
        if (precision >= 0) conversion += "." + std::to_string(precision);
        conversion += "ll";
        conversion += conv;
        char buf[128];
        if (isSigned)
          std::snprintf(buf, sizeof buf, conversion.c_str(), sv);
        else
          std::snprintf(buf, sizeof buf, conversion.c_str(), uv);
        PutText(out, buf);
        break;
      }
      case 'p': {
        void* p = va_arg(ap, void*);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%016llX", (unsigned long long)(uintptr_t)p);
        PutText(out, buf);
        Pad(out, start, width, left);
        break;
      }
      case 'c':
      case 'C': {
        int v = va_arg(ap, int);
        if (wideText)
          PutUnit(out, (char16_t)v);
        else
          Put(out, (char)v);
        Pad(out, start, width, left);
        break;
      }
      case 's':
      case 'S': {
        if (wideText)
          AppendWide(out, va_arg(ap, const char16_t*), precision);
        else
          AppendNarrow(out, va_arg(ap, const char*), precision);
        Pad(out, start, width, left);
        break;
      }
      case 'Z': {
        if (wide == 1) {
          const UNICODE_STRING* u = va_arg(ap, const UNICODE_STRING*);
          if (!u || !u->Buffer) {
            PutText(out, "(null)");
          } else {
            for (USHORT i = 0; i < u->Length / 2; ++i) PutUnit(out, u->Buffer[i]);
          }
        } else {
          const ANSI_STRING* a = va_arg(ap, const ANSI_STRING*);
          if (!a || !a->Buffer) {
            PutText(out, "(null)");
          } else {
            for (USHORT i = 0; i < a->Length; ++i) Put(out, a->Buffer[i]);
          }
        }
        Pad(out, start, width, left);
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        double d = va_arg(ap, double);
        std::string conversion = "%" + flags;
        if (width >= 0) conversion += std::to_string(width);
        if (precision >= 0) conversion += "." + std::to_string(precision);
        conversion += conv;
        char buf[512];
        std::snprintf(buf, sizeof buf, conversion.c_str(), d);
        PutText(out, buf);
        break;
      }
      case 'n':
        (void)va_arg(ap, void*);  // never written: the kernel ignores %n
        break;
      default:
        for (const Ch* p = specStart; p < f; ++p) PutUnit(out, (char16_t)*p);
        break;
    }
  }
  va_end(ap);
}

}  // namespace

void FormatWindows(std::string& out, const char* format, va_list args) { Format(out, format, args); }

void FormatWindowsWide(std::u16string& out, const char16_t* format, va_list args) { Format(out, format, args); }

namespace {

struct DebugLog {
  std::mutex lock;
  std::string text;
  std::FILE* echo = nullptr;
};
DebugLog& Log() {
  static DebugLog log;
  return log;
}

}  // namespace

void ResetDebugLog() {
  std::lock_guard<std::mutex> g(Log().lock);
  Log().text.clear();
}

}  // namespace platform::kernel::detail

namespace platform::kernel {

std::string DebugLogText() {
  auto& log = detail::Log();
  std::lock_guard<std::mutex> g(log.lock);
  return log.text;
}

std::vector<std::string> DebugLogLines() {
  std::string text = DebugLogText();
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

void ClearDebugLog() { detail::ResetDebugLog(); }

bool SaveDebugLog(const std::filesystem::path& path) {
  std::string text = DebugLogText();
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f.write(text.data(), (std::streamsize)text.size());
  return (bool)f;
}

void EchoDebugLog(std::FILE* stream) {
  auto& log = detail::Log();
  std::lock_guard<std::mutex> g(log.lock);
  log.echo = stream;
}

}  // namespace platform::kernel

ULONG vDbgPrintEx(ULONG, ULONG, PCSTR Format, va_list arglist) {
  std::string line;
  platform::kernel::detail::FormatWindows(line, Format, arglist);
  auto& log = platform::kernel::detail::Log();
  std::lock_guard<std::mutex> g(log.lock);
  log.text += line;
  if (log.echo) {
    std::fwrite(line.data(), 1, line.size(), log.echo);
    std::fflush(log.echo);
  }
  return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR Format, ...) {
  va_list ap;
  va_start(ap, Format);
  ULONG r = vDbgPrintEx(0, 0, Format, ap);
  va_end(ap);
  return r;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  va_list ap;
  va_start(ap, Format);
  ULONG r = vDbgPrintEx(ComponentId, Level, Format, ap);
  va_end(ap);
  return r;
}
