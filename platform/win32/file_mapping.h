// Named file mappings backed by the paging file: how an application creates the named
// sections a driver opens by name. "Global\NAME", "Local\NAME" and a bare "NAME" all
// name the one session of this machine, so the driver finds "\BaseNamedObjects\NAME".
// Mapping handles are their own small table here; CloseHandle closes them.
#pragma once

#include "platform/win32/win32.h"

#ifndef PAGE_READONLY
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define FILE_MAP_WRITE 0x0002
#define FILE_MAP_READ 0x0004
#define FILE_MAP_ALL_ACCESS 0x000F001F

#define ERROR_ALREADY_EXISTS 183L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_ACCESS_DENIED 5L

// File must be INVALID_HANDLE_VALUE (no file-backed mappings here); Protect PAGE_READWRITE
// or PAGE_READONLY; the size is MaximumSizeHigh:MaximumSizeLow bytes and must be non-zero.
// An existing mapping of that name is opened instead, with GetLastError()
// ERROR_ALREADY_EXISTS, as long as it is at least that large.
HANDLE CreateFileMappingW(HANDLE File, PVOID Attributes, DWORD Protect, DWORD MaximumSizeHigh, DWORD MaximumSizeLow,
                          LPCWSTR Name);
HANDLE OpenFileMappingW(DWORD DesiredAccess, BOOL InheritHandle, LPCWSTR Name);
// Bytes 0 = the whole mapping from the offset (a multiple of 65,536).
LPVOID MapViewOfFile(HANDLE Mapping, DWORD DesiredAccess, DWORD FileOffsetHigh, DWORD FileOffsetLow,
                     SIZE_T NumberOfBytesToMap);
BOOL UnmapViewOfFile(LPCVOID BaseAddress);
// Closes a mapping handle; the name goes when the last handle to it closes (the views
// keep their memory until they are unmapped).
BOOL CloseHandle(HANDLE Object);
