// Counted strings and the bounded string routines.
#include <cstring>

#include "platform/kernel/internal.h"

using namespace platform::kernel::detail;

namespace {

constexpr ULONG kStringTag = MakePoolTag("Strg");

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

char16_t FoldAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? (char16_t)(c - 32) : c; }

// A formatted text into a buffer of `cch` characters: whole, or cut to fit and terminated.
template <typename Char>
NTSTATUS CopyBounded(Char* dest, size_t cch, const std::basic_string<Char>& out) {
  if (out.size() < cch) {
    memcpy(dest, out.c_str(), (out.size() + 1) * sizeof(Char));
    return STATUS_SUCCESS;
  }
  memcpy(dest, out.data(), (cch - 1) * sizeof(Char));
  dest[cch - 1] = 0;
  return STATUS_BUFFER_OVERFLOW;
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString) {
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  if (SourceString) {
    size_t n = strlen(SourceString);
    if (n > 0xFFFE) n = 0xFFFE;
    DestinationString->Length = (USHORT)n;
    DestinationString->MaximumLength = (USHORT)(n + 1);
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING Dest, PCANSI_STRING Source, BOOLEAN Allocate) {
  size_t units = Source->Length;
  size_t bytes = units * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFE) return STATUS_INVALID_PARAMETER;
  if (Allocate) {
    Dest->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    Dest->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, Dest->MaximumLength, kStringTag));
    if (!Dest->Buffer) {
      Dest->Length = Dest->MaximumLength = 0;
      return STATUS_NO_MEMORY;
    }
  } else if (Dest->MaximumLength < bytes) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < units; ++i) Dest->Buffer[i] = (WCHAR)(unsigned char)Source->Buffer[i];
  Dest->Length = (USHORT)bytes;
  if (Dest->MaximumLength >= bytes + sizeof(WCHAR)) Dest->Buffer[units] = 0;
  return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING Dest, PCUNICODE_STRING Source, BOOLEAN Allocate) {
  size_t units = Source->Length / sizeof(WCHAR);
  if (units + 1 > 0xFFFF) return STATUS_INVALID_PARAMETER;
  if (Allocate) {
    Dest->MaximumLength = (USHORT)(units + 1);
    Dest->Buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(NonPagedPool, Dest->MaximumLength, kStringTag));
    if (!Dest->Buffer) {
      Dest->Length = Dest->MaximumLength = 0;
      return STATUS_NO_MEMORY;
    }
  } else if (Dest->MaximumLength < units) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < units; ++i) Dest->Buffer[i] = NarrowUnit(Source->Buffer[i]);
  Dest->Length = (USHORT)units;
  if (Dest->MaximumLength > units) Dest->Buffer[units] = 0;
  return STATUS_SUCCESS;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer) ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING Dest, PCUNICODE_STRING Source) {
  if (!Source || !Source->Buffer) {
    Dest->Length = 0;
    return;
  }
  USHORT n = Source->Length < Dest->MaximumLength ? Source->Length : Dest->MaximumLength;
  memmove(Dest->Buffer, Source->Buffer, n);
  Dest->Length = n;
  if (Dest->Length + sizeof(WCHAR) <= Dest->MaximumLength) Dest->Buffer[Dest->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Dest, PCUNICODE_STRING Source) {
  if (!Source->Length) return STATUS_SUCCESS;
  if ((size_t)Dest->Length + Source->Length > Dest->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove((char*)Dest->Buffer + Dest->Length, Source->Buffer, Source->Length);
  Dest->Length = (USHORT)(Dest->Length + Source->Length);
  if (Dest->Length + sizeof(WCHAR) <= Dest->MaximumLength) Dest->Buffer[Dest->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Dest, PCWSTR Source) {
  if (!Source) return STATUS_SUCCESS;
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, Source);
  return RtlAppendUnicodeStringToString(Dest, &s);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
  size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; ++i) {
    char16_t a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = FoldAscii(a);
      b = FoldAscii(b);
    }
    if (a != b) return (LONG)a - (LONG)b;
  }
  return (LONG)n1 - (LONG)n2;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

// ---- Bounded string routines --------------------------------------------------------------

NTSTATUS RtlStringCbVPrintfA(PCHAR pszDest, SIZE_T cbDest, PCSTR pszFormat, va_list argList) {
  if (cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  std::string out;
  FormatWindows(out, pszFormat, argList);
  return CopyBounded(pszDest, cbDest, out);
}

NTSTATUS RtlStringCbPrintfA(PCHAR pszDest, SIZE_T cbDest, PCSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = RtlStringCbVPrintfA(pszDest, cbDest, pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCchPrintfA(PCHAR pszDest, SIZE_T cchDest, PCSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = RtlStringCbVPrintfA(pszDest, cchDest, pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, SIZE_T cbDest, PCWSTR pszFormat, va_list argList) {
  size_t cch = cbDest / sizeof(WCHAR);
  if (cch == 0 || cch > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  std::u16string out;
  FormatWindowsWide(out, pszFormat, argList);
  return CopyBounded(pszDest, cch, out);
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, SIZE_T cbDest, PCWSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = RtlStringCbVPrintfW(pszDest, cbDest, pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, SIZE_T cchDest, PCWSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = RtlStringCbVPrintfW(pszDest, cchDest * sizeof(WCHAR), pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCbCopyA(PCHAR pszDest, SIZE_T cbDest, PCSTR pszSrc) {
  if (cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t n = strlen(pszSrc);
  if (n < cbDest) {
    memmove(pszDest, pszSrc, n + 1);
    return STATUS_SUCCESS;
  }
  memmove(pszDest, pszSrc, cbDest - 1);
  pszDest[cbDest - 1] = 0;
  return STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlStringCbCatA(PCHAR pszDest, SIZE_T cbDest, PCSTR pszSrc) {
  if (cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t have = strnlen(pszDest, cbDest);
  if (have == cbDest) return STATUS_INVALID_PARAMETER;
  return RtlStringCbCopyA(pszDest + have, cbDest - have, pszSrc);
}

NTSTATUS RtlStringCbLengthA(PCSTR psz, SIZE_T cbMax, PSIZE_T pcbLength) {
  if (!psz || cbMax == 0 || cbMax > NTSTRSAFE_MAX_CCH) {
    if (pcbLength) *pcbLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = strnlen(psz, cbMax);
  if (n == cbMax) {
    if (pcbLength) *pcbLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (pcbLength) *pcbLength = n;
  return STATUS_SUCCESS;
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, SIZE_T cbDest, PCWSTR pszSrc) {
  size_t cch = cbDest / sizeof(WCHAR);
  if (cch == 0 || cch > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t n = WideLength(pszSrc);
  if (n < cch) {
    memmove(pszDest, pszSrc, (n + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
  }
  memmove(pszDest, pszSrc, (cch - 1) * sizeof(WCHAR));
  pszDest[cch - 1] = 0;
  return STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlStringCbCatW(PWSTR pszDest, SIZE_T cbDest, PCWSTR pszSrc) {
  size_t cch = cbDest / sizeof(WCHAR);
  if (cch == 0 || cch > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t have = 0;
  while (have < cch && pszDest[have]) ++have;
  if (have == cch) return STATUS_INVALID_PARAMETER;
  return RtlStringCbCopyW(pszDest + have, (cch - have) * sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCbLengthW(PCWSTR psz, SIZE_T cbMax, PSIZE_T pcbLength) {
  size_t cch = cbMax / sizeof(WCHAR);
  if (!psz || cch == 0 || cch > NTSTRSAFE_MAX_CCH) {
    if (pcbLength) *pcbLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = 0;
  while (n < cch && psz[n]) ++n;
  if (n == cch) {
    if (pcbLength) *pcbLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (pcbLength) *pcbLength = n * sizeof(WCHAR);
  return STATUS_SUCCESS;
}
