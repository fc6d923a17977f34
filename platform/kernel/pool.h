// Non-paged pool: tagged, counted per tag, and able to fail on request.
#pragma once

#include "platform/kernel/ntdef.h"

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
} POOL_TYPE;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);
