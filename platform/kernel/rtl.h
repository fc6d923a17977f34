// Counted strings and the safe string helpers.
#pragma once

#include <cstdarg>
#include <type_traits>

#include "platform/kernel/ntdef.h"

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
// AllocateDestinationString TRUE: the buffer comes from non-paged pool (tag "Strg") and
// is released with RtlFreeUnicodeString; the allocation can fail
// (STATUS_NO_MEMORY). Characters are widened one byte to one UTF-16 unit.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
// Units above 0xFF become '?'.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
VOID RtlFreeAnsiString(PANSI_STRING AnsiString);
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
// Case-insensitive comparisons fold ASCII letters only.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);

#define RTL_CONSTANT_STRING(s)                                                         \
  {                                                                                    \
    (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s),                           \
        const_cast<std::remove_const_t<std::remove_reference_t<decltype((s)[0])>>*>(s) \
  }

// The bounded string routines. Results are always terminated (when the size is not 0);
// a result that does not fit is truncated and STATUS_BUFFER_OVERFLOW returned.
// Formatting follows DbgPrint's conversions (Windows sizes: %ld is 32-bit), so the
// compiler's printf checks do not apply.
#define NTSTRSAFE_MAX_CCH 2147483647
NTSTATUS RtlStringCbPrintfA(PCHAR pszDest, SIZE_T cbDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfA(PCHAR pszDest, SIZE_T cbDest, PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfA(PCHAR pszDest, SIZE_T cchDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCbCopyA(PCHAR pszDest, SIZE_T cbDest, PCSTR pszSrc);
NTSTATUS RtlStringCbCatA(PCHAR pszDest, SIZE_T cbDest, PCSTR pszSrc);
NTSTATUS RtlStringCbLengthA(PCSTR psz, SIZE_T cbMax, PSIZE_T pcbLength);
// The wide forms: %s and %c take UTF-16 here, %S and %C (or %hs, %hc) 8-bit text.
NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, SIZE_T cbDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, SIZE_T cbDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, SIZE_T cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbCopyW(PWSTR pszDest, SIZE_T cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCatW(PWSTR pszDest, SIZE_T cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbLengthW(PCWSTR psz, SIZE_T cbMax, PSIZE_T pcbLength);
