// Non-paged pool: tagged, counted per tag, and able to fail on request.
// Blocks are at least 16-byte aligned; the cache-aligned kinds are 64-byte aligned.
// Contents are not zeroed: callers clear what they need.
#pragma once

#include "platform/kernel/ntdef.h"

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

// The bit a tag may carry to ask that frees name the tag; it is ignored in comparisons.
#define PROTECTED_POOL 0x80000000

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);
