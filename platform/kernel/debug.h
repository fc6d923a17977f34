// The debugger log and bug checks.
//
// DbgPrint formats as the Windows kernel does and appends the bytes to the machine's
// debugger log unchanged (bytes above 0x7F stay as they are). Safe from any thread, any
// IRQL. Conversions: the usual printf ones with Windows sizes (%ld and %lx are 32-bit;
// %lld, %I64d, %I64x are 64-bit; %Id, %Iu, %Ix pointer-sized), %p (16 upper-case hex
// digits), %s / %c (8-bit), %ws / %S / %wc / %C (UTF-16, char16_t), %Z (ANSI_STRING*),
// %wZ (UNICODE_STRING*). (No printf format attribute: the sizes differ from the host's.)
#pragma once

#include <cstdarg>

#include "platform/kernel/ntdef.h"

ULONG DbgPrint(PCSTR Format, ...);
ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);

#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3

// The machine stops: the bug check is recorded as a verifier failure (code and
// parameters) and, unlike a real machine, the call returns so the test can report it.
VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4);

// Bug check codes the verifier uses.
#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define SPIN_LOCK_NOT_OWNED 0x00000010
#define SPIN_LOCK_ALREADY_OWNED 0x0000000F
#define SEMAPHORE_LIMIT_EXCEEDED 0x00000092
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4
#define BAD_POOL_CALLER 0x000000C2
#define DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS 0x000000CB
#define DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS 0x000000CE
#define MEMORY_MANAGEMENT 0x0000001A
#define PROCESS_HAS_LOCKED_PAGES 0x00000076
#define INVALID_PROCESS_ATTACH_ATTEMPT 0x00000005
#define SYSTEM_THREAD_EXCEPTION_NOT_HANDLED 0x0000007E
