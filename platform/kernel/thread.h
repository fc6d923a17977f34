// System threads and processes.
//
// A system thread runs on a real host thread in every mode. Its thread object is a
// dispatcher object, signalled when the thread ends, so KeWaitForSingleObject on it
// waits for the end. The handle from PsCreateSystemThread is closed with ZwClose; a
// reference from ObReferenceObjectByHandle is dropped with ObDereferenceObject.
#pragma once

#include "platform/kernel/sync.h"

// Thread and process objects start with their dispatcher header; the rest is the
// machine's own.
typedef struct _KTHREAD {
  DISPATCHER_HEADER Header;
} KTHREAD, *PKTHREAD, *PRKTHREAD, ETHREAD, *PETHREAD;

typedef struct _KPROCESS {
  DISPATCHER_HEADER Header;
} KPROCESS, *PKPROCESS, *PRKPROCESS, EPROCESS, *PEPROCESS;

typedef VOID (*PKSTART_ROUTINE)(PVOID StartContext);
typedef VOID KSTART_ROUTINE(PVOID StartContext);

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()

// ProcessHandle null (or NtCurrentProcess()) = the system process. The new thread starts
// at PASSIVE_LEVEL with priority 8.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
// Ends the calling system thread (it never returns). Called by a thread that is not a
// system thread it is reported to the verifier and returns.
NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);

PKTHREAD KeGetCurrentThread();
PETHREAD PsGetCurrentThread();
HANDLE PsGetCurrentThreadId();
// Returns the previous priority.
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
BOOLEAN PsIsSystemThread(PETHREAD Thread);

// The process the calling thread runs in (the system process for system threads,
// DPCs and the Plug and Play path; an application's process for its requests).
PEPROCESS PsGetCurrentProcess();
#define IoGetCurrentProcess PsGetCurrentProcess
HANDLE PsGetCurrentProcessId();
HANDLE PsGetProcessId(PEPROCESS Process);
NTSTATUS PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process);

typedef struct _KAPC_STATE {
  LIST_ENTRY ApcListHead[2];
  PKPROCESS Process;
  UCHAR Reserved[16];
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;

// Runs the calling thread in Process's address space until the matching detach.
VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState);

// A handle to the process object, for ZwMapViewOfSection and ZwUnmapViewOfSection.
NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PVOID PassedAccessState, ACCESS_MASK DesiredAccess,
                               POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode, PHANDLE Handle);
