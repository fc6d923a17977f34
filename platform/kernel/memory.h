// Memory descriptor lists, named sections and their views.
//
// A named section is a POSIX shared-memory object, so a producer in another host process
// can write into it. A view belongs to the process it was mapped into; unmapping it from
// another process fails (STATUS_NOT_MAPPED_VIEW) and is reported to the verifier.
#pragma once

#include "platform/kernel/thread.h"

typedef enum _MEMORY_CACHING_TYPE {
  MmNonCached = 0,
  MmCached = 1,
  MmWriteCombined = 2,
  MmHardwareCoherentCached,
  MmNonCachedUnordered,
  MmUSWCCached,
  MmMaximumCacheType
} MEMORY_CACHING_TYPE;

typedef enum _LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 } LOCK_OPERATION;

typedef enum _MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12

typedef struct _MDL {
  struct _MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PEPROCESS Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_IO_SPACE 0x0800

// Allocated from non-paged pool (tag "Mdl "); can fail by injection.
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp);
VOID IoFreeMdl(PMDL Mdl);
VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
// Locks the pages of the calling process. Where a kernel raises an exception that the
// caller catches (a range outside the caller's views, an access its view does not allow,
// no resources to lock), this one returns that exception's status; STATUS_SUCCESS
// otherwise. Pages of a section stay locked and mapped for the driver even when the
// process unmaps its view or ends.
NTSTATUS MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
VOID MmUnlockPages(PMDL MemoryDescriptorList);
// BugCheckOnFailure FALSE: null on failure (can be injected).
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                   PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority);
VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

inline PVOID MmGetMdlVirtualAddress(PMDL Mdl) { return (PVOID)((PCHAR)Mdl->StartVa + Mdl->ByteOffset); }
inline ULONG MmGetMdlByteCount(PMDL Mdl) { return Mdl->ByteCount; }
inline PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
  return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE, Priority);
}

// ---- Sections ------------------------------------------------------------------------

#define SECTION_QUERY 0x0001
#define SECTION_MAP_WRITE 0x0002
#define SECTION_MAP_READ 0x0004
#define SECTION_MAP_EXECUTE 0x0008
#define SECTION_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | 0x1F)

#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define PAGE_NOCACHE 0x200
#define PAGE_WRITECOMBINE 0x400

typedef enum _SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 } SECTION_INHERIT;

// Names: u"\\BaseNamedObjects\\<name>" (also "\\Sessions\\<n>\\BaseNamedObjects\\<name>");
// the host object is the shared-memory object "/<name>".
NTSTATUS ZwOpenSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
// ProcessHandle: NtCurrentProcess() or a handle to a process object. *ViewSize 0 maps the
// whole section.
NTSTATUS ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress, ULONG_PTR ZeroBits,
                            SIZE_T CommitSize, PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize,
                            SECTION_INHERIT InheritDisposition, ULONG AllocationType, ULONG Win32Protect);
NTSTATUS ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress);
