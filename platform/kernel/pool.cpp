#include "platform/kernel/pool.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

// Placeholder pool: replaced by the full pool with accounting and fault injection.
namespace {
struct alignas(64) Header {
  ULONG tag;
  SIZE_T size;
};
}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T n, ULONG tag) {
  void* raw = std::aligned_alloc(64, (sizeof(Header) + n + 63) / 64 * 64);
  if (!raw) return nullptr;
  auto* h = static_cast<Header*>(raw);
  h->tag = tag;
  h->size = n;
  return h + 1;
}

VOID ExFreePoolWithTag(PVOID p, ULONG) {
  if (p) std::free(static_cast<Header*>(p) - 1);
}

VOID ExFreePool(PVOID p) { ExFreePoolWithTag(p, 0); }
