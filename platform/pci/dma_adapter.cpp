// The DMA adapter and its common buffers.
#include <sys/mman.h>

#include <algorithm>

#include "platform/pci/internal.h"

using namespace platform::pci;
using namespace platform::pci::detail;

namespace {

AdapterImpl* FindAdapterLocked(PDMA_ADAPTER a) {
  for (auto& p : S().adapters)
    if (&p->adapter == a) return p.get();
  return nullptr;
}

VOID PutDmaAdapterImpl(PDMA_ADAPTER DmaAdapter) {
  std::lock_guard<std::mutex> l(S().mu);
  AdapterImpl* impl = FindAdapterLocked(DmaAdapter);
  if (!impl) {
    FaultLocked("PutDmaAdapter(%p): not a live adapter", (void*)DmaAdapter);
    return;
  }
  for (auto& [p, b] : S().blocks)
    if (b.adapter == impl) FaultLocked("PutDmaAdapter: common buffer at 0x%llx still allocated", (unsigned long long)p);
  auto& v = S().adapters;
  v.erase(std::remove_if(v.begin(), v.end(), [&](const std::unique_ptr<AdapterImpl>& x) { return x.get() == impl; }),
          v.end());
}

PVOID AllocateCommonBufferImpl(PDMA_ADAPTER DmaAdapter, ULONG Length, PPHYSICAL_ADDRESS LogicalAddress,
                               BOOLEAN CacheEnabled) {
  std::lock_guard<std::mutex> l(S().mu);
  AdapterImpl* impl = FindAdapterLocked(DmaAdapter);
  if (!impl) {
    FaultLocked("AllocateCommonBuffer on a dead adapter %p", (void*)DmaAdapter);
    return nullptr;
  }
  if (ShouldFail(Operation::kCommonBuffer)) return nullptr;
  // The adapter is a 32-bit bus master: its buffers lie below 4 GB.
  uint64_t phys = 0;
  void* va = AllocatePhysicalLocked(Length, 0, k4G - 1, 0, Allocation::kCommonBuffer,
                                    CacheEnabled ? MmCached : MmNonCached, impl, &phys);
  if (va && LogicalAddress) LogicalAddress->QuadPart = (LONGLONG)phys;
  return va;
}

VOID FreeCommonBufferImpl(PDMA_ADAPTER DmaAdapter, ULONG Length, PHYSICAL_ADDRESS LogicalAddress, PVOID VirtualAddress,
                          BOOLEAN CacheEnabled) {
  std::lock_guard<std::mutex> l(S().mu);
  AdapterImpl* impl = FindAdapterLocked(DmaAdapter);
  auto it = FindBlockByVaLocked(VirtualAddress, false);
  if (it == S().blocks.end() || it->second.kind != Allocation::kCommonBuffer) {
    FaultLocked("FreeCommonBuffer(%p): not a common buffer", VirtualAddress);
    return;
  }
  if (it->second.adapter != impl) FaultLocked("FreeCommonBuffer(%p): freed through another adapter", VirtualAddress);
  if (it->second.size != Length || it->second.physical != (uint64_t)LogicalAddress.QuadPart ||
      (it->second.cache == MmCached) != (CacheEnabled != FALSE))
    FaultLocked("FreeCommonBuffer(%p, %u, 0x%llx): allocated as %zu bytes at 0x%llx", VirtualAddress, Length,
                (unsigned long long)LogicalAddress.QuadPart, it->second.size, (unsigned long long)it->second.physical);
  munmap(it->second.va, it->second.rounded);
  S().blocks.erase(it);
}

}  // namespace

PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                             PULONG NumberOfMapRegisters) {
  std::lock_guard<std::mutex> l(S().mu);
  if (!PhysicalDeviceObject || !DeviceDescription) {
    FaultLocked("IoGetDmaAdapter without a physical device object or description");
    return nullptr;
  }
  S().adapterRequests.push_back(AdapterRecord{*DeviceDescription, PhysicalDeviceObject});
  if (ShouldFail(Operation::kDmaAdapter)) return nullptr;
  auto impl = std::make_unique<AdapterImpl>();
  impl->ops = DMA_OPERATIONS{};
  impl->ops.Size = sizeof(DMA_OPERATIONS);
  impl->ops.PutDmaAdapter = PutDmaAdapterImpl;
  impl->ops.AllocateCommonBuffer = AllocateCommonBufferImpl;
  impl->ops.FreeCommonBuffer = FreeCommonBufferImpl;
  impl->adapter.Version = 1;
  impl->adapter.Size = sizeof(DMA_ADAPTER);
  impl->adapter.DmaOperations = &impl->ops;
  impl->pdo = PhysicalDeviceObject;
  if (NumberOfMapRegisters)
    *NumberOfMapRegisters = std::min<ULONG>(DeviceDescription->MaximumLength / (ULONG)kPage + 1, 0x10000);
  PDMA_ADAPTER out = &impl->adapter;
  S().adapters.push_back(std::move(impl));
  return out;
}
