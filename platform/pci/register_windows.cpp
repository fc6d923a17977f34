// Register windows: MmMapIoSpace and register access, which goes to the device that owns
// the address.
#include <sys/mman.h>

#include <algorithm>

#include "platform/pci/internal.h"

using namespace platform::pci;
using namespace platform::pci::detail;

// ---------------------------------------------------------------------------------------
// Windows interfaces: mapping.

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
  State& s = S();
  uint64_t phys = (uint64_t)PhysicalAddress.QuadPart;
  Slot* owner = nullptr;
  unsigned window = 0;
  {
    std::lock_guard<std::mutex> l(s.mu);
    if (ShouldFail(Operation::kMapIoSpace)) return nullptr;
    if (NumberOfBytes == 0) return nullptr;
    for (Slot* slot : s.slots)
      for (unsigned w = 0; w < Device::kMaxWindows; ++w) {
        uint64_t base = slot->windowBase(w);
        ULONG len = slot->device().WindowLength(w);
        if (base && phys >= base && phys + NumberOfBytes <= base + len) {
          owner = slot;
          window = w;
        }
      }
    if (!owner) {
      FaultLocked("MmMapIoSpace(0x%llx, %zu): no device window there", (unsigned long long)phys, (size_t)NumberOfBytes);
      return nullptr;
    }
  }
  // Address space only: touching it directly instead of through READ_REGISTER_* and
  // WRITE_REGISTER_* faults, as the device's reactions would otherwise be bypassed.
  size_t reserved = AlignUp(NumberOfBytes, kPage) + kPage;
  void* va = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (va == MAP_FAILED) return nullptr;
  std::unique_lock<std::shared_mutex> ml(s.mapMu);
  s.mappings.push_back(Mapping{reinterpret_cast<uintptr_t>(va), NumberOfBytes, reserved, owner, window,
                               (ULONG)(phys - owner->windowBase(window))});
  return va;
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  State& s = S();
  std::unique_lock<std::shared_mutex> ml(s.mapMu);
  auto it = std::find_if(s.mappings.begin(), s.mappings.end(),
                         [&](const Mapping& m) { return m.va == reinterpret_cast<uintptr_t>(BaseAddress); });
  if (it == s.mappings.end()) {
    std::lock_guard<std::mutex> l(s.mu);
    FaultLocked("MmUnmapIoSpace(%p): not a mapping", BaseAddress);
    return;
  }
  if (it->length != NumberOfBytes) {
    std::lock_guard<std::mutex> l(s.mu);
    FaultLocked("MmUnmapIoSpace(%p, %zu): mapped with %zu bytes", BaseAddress, (size_t)NumberOfBytes, it->length);
  }
  munmap(BaseAddress, it->reserved);
  s.mappings.erase(it);
}

// ---------------------------------------------------------------------------------------
// Register access.

namespace {

// Returns true when the address is in a register mapping (and then handled it).
template <typename T>
bool RegisterAccess(volatile T* reg, bool write, ULONG* value) {
  State& s = S();
  auto p = reinterpret_cast<uintptr_t>(reg);
  std::shared_lock<std::shared_mutex> ml(s.mapMu);
  for (const Mapping& m : s.mappings) {
    if (p < m.va || p >= m.va + m.reserved) continue;
    if (p + sizeof(T) > m.va + m.length) {
      std::lock_guard<std::mutex> l(s.mu);
      FaultLocked("%s of %zu bytes at offset 0x%llx of window %u, past the %zu mapped bytes", write ? "write" : "read",
                  sizeof(T), (unsigned long long)(p - m.va + m.offset), m.window, m.length);
      if (!write) *value = 0xFFFFFFFFu;  // a read nobody answers
      return true;
    }
    ULONG offset = (ULONG)(p - m.va) + m.offset;
    Device& d = m.slot->device();
    if (write)
      d.WriteRegister(m.window, offset, *value, sizeof(T));
    else
      *value = d.ReadRegister(m.window, offset, sizeof(T));
    return true;
  }
  return false;
}

template <typename T>
T ReadReg(volatile T* reg) {
  ULONG v = 0;
  if (RegisterAccess(reg, false, &v)) return (T)v;
  return *reg;
}

template <typename T>
void WriteReg(volatile T* reg, T value) {
  ULONG v = value;
  if (RegisterAccess(reg, true, &v)) return;
  *reg = value;
}

}  // namespace

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register) { return ReadReg(Register); }
USHORT READ_REGISTER_USHORT(volatile USHORT* Register) { return ReadReg(Register); }
ULONG READ_REGISTER_ULONG(volatile ULONG* Register) { return ReadReg(Register); }
VOID WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) { WriteReg(Register, Value); }
VOID WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value) { WriteReg(Register, Value); }
VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) { WriteReg(Register, Value); }
