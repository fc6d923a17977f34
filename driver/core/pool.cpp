// Cache-aligned non-paged pool with the tag "Wdm " for the image library.
//
// The pool does not report a block's size, which DriverRealloc needs, so every block
// carries a 64-byte header (keeping the cache alignment) that records it.
#include "driver/core/pool.h"

#include "platform/kernel/pool.h"

namespace {

constexpr ULONG kTag = MakePoolTag("Wdm ");
constexpr uint64_t kHeader = 64;

struct BlockHeader {
  uint64_t size;
};

}  // namespace

void* DriverMalloc(uint64_t size) {
  if (size > ~uint64_t(0) - kHeader) return nullptr;
  auto* raw = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, size + kHeader, kTag));
  if (!raw) return nullptr;
  reinterpret_cast<BlockHeader*>(raw)->size = size;
  return raw + kHeader;
}

void* DriverCalloc(uint64_t count, uint64_t size) {
  // count x size must not wrap, or a small block would be handed out for a large request.
  if (size != 0 && count > ~uint64_t(0) / size) return nullptr;
  uint64_t bytes = count * size;
  void* block = DriverMalloc(bytes);
  if (block) RtlZeroMemory(block, bytes);
  return block;
}

void* DriverRealloc(void* block, uint64_t size) {
  void* fresh = DriverMalloc(size);
  if (!fresh) return nullptr;
  if (block) {
    uint64_t old = reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(block) - kHeader)->size;
    RtlCopyMemory(fresh, block, old < size ? old : size);
    DriverFree(block);
  }
  return fresh;
}

void DriverFree(void* block) {
  if (!block) return;
  ExFreePoolWithTag(static_cast<unsigned char*>(block) - kHeader, kTag);
}
