// PCI start and release: resources, identity, the bounce decision, the DMA adapter,
// register windows, the buffer plans of the board kinds, the DPC machinery and the
// interrupt; release gives all of it back, also after a failure at any step.
#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/pci_base.h"
#include "driver/hardware/transfer.h"
#include "driver/hardware/registers.h"

namespace {

const ULONG kPoolTag = MakePoolTag("Wdm ");
constexpr ULONGLONG k4G = 0x100000000ull;

struct BufferPlan {
  ULONG mode;
  ULONG mainSize;
  ULONG secondSize;
  ULONGLONG groups[FRAME_BUFFER_GROUPS];
  ULONG gate;
};

PHYSICAL_ADDRESS Physical(ULONGLONG v) {
  PHYSICAL_ADDRESS p;
  p.QuadPart = (LONGLONG)v;
  return p;
}

PVOID AllocContiguous(ULONG size, ULONGLONG lowest, ULONGLONG highest, ULONGLONG boundary, PHYSICAL_ADDRESS* physical) {
  PVOID va =
      MmAllocateContiguousMemorySpecifyCache(size, Physical(lowest), Physical(highest), Physical(boundary), MmCached);
  if (va) *physical = MmGetPhysicalAddress(va);
  return va;
}

// The first of 32 windows of 128 MB, from the bottom up, that has room.
PVOID AllocWindowed(ULONG size, PHYSICAL_ADDRESS* physical) {
  for (ULONGLONG k = 0; k < 32; ++k) {
    ULONGLONG low = k * 0x8000000ull;
    if (PVOID va = AllocContiguous(size, low, low + 0x7FFFFFFull - size, 0, physical)) return va;
  }
  return nullptr;
}

PVOID AllocBounded(ULONG size, ULONGLONG boundary, PHYSICAL_ADDRESS* physical) {
  return AllocContiguous(size, 0, k4G - size, boundary, physical);
}

// The text begins "6." and its third character is '2' or any character above it.
BOOLEAN OperatingSystemWantsBounce() {
  static const WCHAR kKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  static const WCHAR kValue[] = u"CurrentVersion";
  UNICODE_STRING keyName;
  RtlInitUnicodeString(&keyName, kKey);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa))) return FALSE;
  BOOLEAN wants = FALSE;
  const ULONG length = 256;
  auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, length, kPoolTag));
  if (info) {
    RtlZeroMemory(info, length);
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, kValue);
    ULONG result = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, info, length, &result);
    if (NT_SUCCESS(status) && info->DataLength >= 3 * sizeof(WCHAR) &&
        (ULONGLONG)info->DataOffset + info->DataLength <= length) {
      const WCHAR* text = reinterpret_cast<const WCHAR*>(reinterpret_cast<PUCHAR>(info) + info->DataOffset);
      wants = text[0] == u'6' && text[1] == u'.' && text[2] >= u'2';
    }
    ExFreePoolWithTag(info, kPoolTag);
  }
  ZwClose(key);
  return wants;
}

void Delay100ms() {
  LARGE_INTEGER interval;
  interval.QuadPart = -1000000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace

NTSTATUS CPCIBaseDevice::Initialize(PKSDEVICE pKsDevice, PIRP pIrp, PCM_RESOURCE_LIST pTranslatedResources) {
  // 1. Start from nothing.
  m_pPciIdentity = nullptr;
  m_pDmaAdapter = nullptr;
  m_pInterrupt = nullptr;
  for (int w = 0; w < 4; ++w) {
    m_liBarPhysical[w].QuadPart = 0;
    m_pBar[w] = nullptr;
    m_nBarLength[w] = 0;
  }
  m_nBufferAllocMode = DMA_ALLOC_COMMON;
  m_nMainBufferSize = 0;
  m_pMainBuffer = nullptr;
  m_liMainBufferPhysical.QuadPart = 0;
  m_nDmaBufferSize = 0;
  m_pDmaBuffer = nullptr;
  m_liDmaBufferPhysical.QuadPart = 0;
  RtlZeroMemory(m_nFrameBufferGroupSize, sizeof m_nFrameBufferGroupSize);
  RtlZeroMemory(m_pFrameBuffer, sizeof m_pFrameBuffer);
  RtlZeroMemory(m_aFrameBufferPhysical, sizeof m_aFrameBufferPhysical);
  m_bBounceBuffers = 0;
  m_nIsrGate.store(0);
  RtlZeroMemory(m_nStreamRunState, sizeof m_nStreamRunState);
  m_pChannelTable = nullptr;
  m_nDevicePowerState = PowerDeviceD0;
  m_pPhysicalDeviceObject = pKsDevice->PhysicalDeviceObject;
  m_pFunctionalDeviceObject = pKsDevice->FunctionalDeviceObject;
  m_pNextDeviceObject = pKsDevice->NextDeviceObject;

  // 2. The first interrupt and the first four memory windows.
  const CM_PARTIAL_RESOURCE_DESCRIPTOR* interrupt = nullptr;
  const CM_PARTIAL_RESOURCE_DESCRIPTOR* memory[4] = {};
  ULONG windows = 0;
  if (pTranslatedResources) {
    const CM_FULL_RESOURCE_DESCRIPTOR* full = &pTranslatedResources->List[0];
    for (ULONG f = 0; f < pTranslatedResources->Count; ++f) {
      const CM_PARTIAL_RESOURCE_LIST& partial = full->PartialResourceList;
      for (ULONG k = 0; k < partial.Count; ++k) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR* d = &partial.PartialDescriptors[k];
        if (d->Type == CmResourceTypeInterrupt && !interrupt) interrupt = d;
        if (d->Type == CmResourceTypeMemory && windows < 4) memory[windows++] = d;
      }
      // Full descriptors follow one another, each as long as its partial list.
      full = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(&partial.PartialDescriptors[partial.Count]);
    }
  }
  if (!interrupt || windows == 0) return STATUS_INSUFFICIENT_RESOURCES;

  // 3. Identity from configuration space.
  ULONG ids = 0, subsystem = 0, revision = 0;
  KsDeviceGetBusData(pKsDevice, PCI_WHICHSPACE_CONFIG, &ids, 0x00, 4);
  KsDeviceGetBusData(pKsDevice, PCI_WHICHSPACE_CONFIG, &subsystem, 0x2C, 4);
  KsDeviceGetBusData(pKsDevice, PCI_WHICHSPACE_CONFIG, &revision, 0x08, 4);
  m_pPciIdentity = static_cast<PPCI_IDENTITY>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PCI_IDENTITY), kPoolTag));
  if (!m_pPciIdentity) {
    Uninitialize(pKsDevice, pIrp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  m_pPciIdentity->nVendorId = (USHORT)ids;
  m_pPciIdentity->nDeviceId = (USHORT)(ids >> 16);
  m_pPciIdentity->nSubsystemId = (USHORT)(subsystem >> 16);
  m_pPciIdentity->nSubsystemVendorIdLow = (UCHAR)subsystem;
  m_pPciIdentity->nSubsystemVendorIdHigh = (UCHAR)(subsystem >> 8);
  m_pPciIdentity->nRevisionId = (UCHAR)revision;
  const PCI_IDENTITY* id = m_pPciIdentity;

  // 4. Memory above 4 GB?
  BOOLEAN highMemory = FALSE;
  if (PVOID probe = MmAllocateContiguousMemorySpecifyCache(4096, Physical(k4G), Physical(0x10000000000ull), Physical(0),
                                                           MmNonCached)) {
    PHYSICAL_ADDRESS p = MmGetPhysicalAddress(probe);
    DbgPrint("> 4GB (%08X.%08X)\n", (ULONG)p.HighPart, p.LowPart);
    MmFreeContiguousMemorySpecifyCache(probe, 4096, MmNonCached);
    highMemory = TRUE;
  }

  // 5. Bounce buffers.
  CDevice* device = AsDevice();
  BOOLEAN bounce = highMemory;
  // All three are read, whatever the first ones say.
  ULONG flexibleResolution = device->ReadRegistryDword(u"CustomAnalogVideoFlexibleResolutionPatchProperty", 0);
  ULONG instancesPossible = device->ReadRegistryDword(u"CustomInstancesPossibleProperty", 0);
  ULONG cloneFilters = device->ReadRegistryDword(u"CustomCloneFiltersProperty", 0);
  if (flexibleResolution >= 1 || instancesPossible >= 1 || cloneFilters >= 2) bounce = TRUE;
  if (IsBoardVariant(id, BOARD_VARIANT_D_BOUNCE_FORCED)) bounce = TRUE;
  if (OperatingSystemWantsBounce()) bounce = TRUE;
  if (IsBoardVariant(id, BOARD_VARIANT_D_NEVER_BOUNCE)) bounce = FALSE;
  m_bBounceBuffers = bounce;

  // 6. The DMA adapter.
  DEVICE_DESCRIPTION description;
  RtlZeroMemory(&description, sizeof description);
  description.Version = DEVICE_DESCRIPTION_VERSION;
  description.Master = TRUE;
  description.ScatterGather = TRUE;
  description.Dma32BitAddresses = TRUE;
  description.InterfaceType = PCIBus;
  description.MaximumLength = 0xFFFFFFF8;
  ULONG mapRegisters = 0;
  m_pDmaAdapter = IoGetDmaAdapter(m_pPhysicalDeviceObject, &description, &mapRegisters);
  if (!m_pDmaAdapter) {
    Uninitialize(pKsDevice, pIrp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // 7. Map the windows.
  for (ULONG w = 0; w < windows; ++w) {
    // The resource records are packed to four bytes: the start may be misaligned.
    RtlCopyMemory(&m_liBarPhysical[w], &memory[w]->u.Memory.Start, sizeof(PHYSICAL_ADDRESS));
    m_nBarLength[w] = memory[w]->u.Memory.Length;
    m_pBar[w] = static_cast<PUCHAR>(MmMapIoSpace(m_liBarPhysical[w], m_nBarLength[w], MmNonCached));
    if (!m_pBar[w]) {
      Uninitialize(pKsDevice, pIrp);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  // 8. The board kind's buffer plan.
  BufferPlan plan = {};
  if (IsBoardKind(id, BOARD_KIND_A)) {
    plan = {DMA_ALLOC_COMMON, 0xC040, 0, {}, 0};
    if (bounce) plan.groups[0] = IsBoardVariant(id, BOARD_VARIANT_A_LARGE_FRAME) ? 0xD8000 : 0xCA800;
  } else if (IsBoardKind(id, BOARD_KIND_B)) {
    plan = {DMA_ALLOC_COMMON, 0x40, 0x1E00, {}, 0};
  } else if (IsBoardKind(id, BOARD_KIND_C)) {
    plan = {DMA_ALLOC_COMMON, 0x2C080, 0x7800, {}, 0};
    for (int g = 0; g < 8; ++g) plan.groups[g] = bounce ? 0xCA800 : 0;
  } else if (IsBoardKind(id, BOARD_KIND_D)) {
    plan = {DMA_ALLOC_COMMON, 0x2C080, 0x20000, {}, 0};
    ULONG resolution = device->ReadRegistryDword(u"CustomAnalogVideoMaximalResolutionProperty", 0);
    if (bounce) {
      if (IsBoardVariant(id, BOARD_VARIANT_D_LARGE_SENSOR)) {
        plan.groups[0] = 0x12C0000;
      } else {
        ULONGLONG pixels = (ULONGLONG)(resolution >> 16) * (resolution & 0xFFFF);
        // In 64 bits: the product of two 16-bit sizes, doubled, does not fit 32.
        plan.groups[0] = 2 * (pixels > 2304000 ? pixels : 2304000ull);
      }
    }
  } else if (IsBoardKind(id, BOARD_KIND_E)) {
    plan = {DMA_ALLOC_COMMON, 0x2C080, 0, {}, 0};
  } else if (IsBoardKind(id, BOARD_KIND_F)) {
    plan = {DMA_ALLOC_WINDOWED, 0xC080, 0x20000, {}, 1};
  } else if (IsBoardKind(id, BOARD_KIND_G)) {
    plan = {DMA_ALLOC_COMMON, 0x20000, 0x20000, {}, 1};
    const bool three = IsBoardVariant(id, BOARD_VARIANT_G_THREE_STREAM);
    ULONG g0, g1, g2;
    if (IsBoardVariant(id, BOARD_VARIANT_G_CLASS2_TINY)) {
      g0 = g1 = g2 = 0x1000;
    } else if (IsBoardVariant(id, BOARD_VARIANT_G_CLASS2)) {
      g0 = three ? 0x34BD00 : 0x466000;
      g1 = g2 = three ? 0x34BD00 : 0;
    } else if (IsBoardVariant(id, BOARD_VARIANT_G_CLASS1_SUB_A)) {
      g0 = three ? 0xCA900 : 0x10F000;
      g1 = three ? 0xCA900 : 0;
      g2 = three ? 0x32B00 : 0;
    } else {
      g0 = three ? 0x97F00 : 0xCA900;
      g1 = three ? 0x97F00 : 0;
      g2 = three ? 0x26100 : 0;
    }
    plan.groups[0] = g0;
    plan.groups[1] = g1;
    plan.groups[2] = g2;
  } else if (IsBoardKind(id, BOARD_KIND_H)) {
    plan = {DMA_ALLOC_BOUNDED, 0xC080, 0x20000, {0xC000}, 0};
  } else if (IsBoardKind(id, BOARD_KIND_ENCODER)) {
    plan = {DMA_ALLOC_COMMON, 0xC080, 0x20000, {}, 1};
  }
  for (int g = 0; g < FRAME_BUFFER_GROUPS; ++g) {
    if (plan.groups[g] > 0xFFFFFFFFull) {
      // No frame of that size fits a 32-bit group size, nor memory below 4 GB.
      Uninitialize(pKsDevice, pIrp);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_nFrameBufferGroupSize[g] = (ULONG)plan.groups[g];
  }
  m_nBufferAllocMode = plan.mode;
  m_nIsrGate.store(plan.gate);

  // 9. Main buffer. A size of 0 allocates nothing in every mode.
  m_nMainBufferSize = plan.mainSize;
  if (plan.mainSize) {
    if (plan.mode == DMA_ALLOC_COMMON)
      m_pMainBuffer = m_pDmaAdapter->DmaOperations->AllocateCommonBuffer(m_pDmaAdapter, plan.mainSize,
                                                                         &m_liMainBufferPhysical, TRUE);
    else if (plan.mode == DMA_ALLOC_BOUNDED)
      m_pMainBuffer = AllocBounded(plan.mainSize, 0x400000, &m_liMainBufferPhysical);
    else
      m_pMainBuffer = AllocWindowed(plan.mainSize, &m_liMainBufferPhysical);
    if (!m_pMainBuffer) {
      Uninitialize(pKsDevice, pIrp);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  // 10. Second buffer.
  m_nDmaBufferSize = plan.secondSize;
  if (plan.secondSize) {
    m_pDmaBuffer = plan.mode == DMA_ALLOC_BOUNDED ? AllocBounded(plan.secondSize, 0x100000, &m_liDmaBufferPhysical)
                                                  : AllocWindowed(plan.secondSize, &m_liDmaBufferPhysical);
    if (!m_pDmaBuffer) {
      Uninitialize(pKsDevice, pIrp);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  // 11. Tell KS about the adapter.
  KsDeviceRegisterAdapterObject(pKsDevice, reinterpret_cast<PADAPTER_OBJECT>(m_pDmaAdapter), 0xFFFFFFF8, 16);

  // 12. Frame buffers.
  const BOOLEAN noFrameBuffers = IsBoardVariant(id, BOARD_VARIANT_NO_FRAME_BUFFER);
  for (int g = 0; g < FRAME_BUFFER_GROUPS; ++g) {
    for (int i = 0; i < FRAME_BUFFERS_ALLOCATED; ++i) {
      if (noFrameBuffers) {
        m_nFrameBufferGroupSize[g] = 0;
        continue;
      }
      ULONG size = m_nFrameBufferGroupSize[g];
      if (!size) continue;
      PHYSICAL_ADDRESS physical;
      PVOID va = AllocContiguous(size, 0, k4G - size, plan.mode == DMA_ALLOC_BOUNDED ? 0x400000 : 0, &physical);
      if (!va) {
        Uninitialize(pKsDevice, pIrp);
        return STATUS_INSUFFICIENT_RESOURCES;
      }
      m_pFrameBuffer[g][i] = va;
      m_aFrameBufferPhysical[g][i].nPhysical = (ULONGLONG)physical.QuadPart;
      m_aFrameBufferPhysical[g][i].nSize = size;
    }
  }

  // 13. Channel table.
  m_pChannelTable = static_cast<PChannelTable>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ChannelTable), kPoolTag));
  if (!m_pChannelTable) {
    Uninitialize(pKsDevice, pIrp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(m_pChannelTable, sizeof(ChannelTable));

  // 14. Lock, command semaphore, DPC objects.
  KeInitializeSpinLock(&m_DpcLock);
  KeInitializeSemaphore(&m_CommandSemaphore, 0, 0x7FFFFFFF);
  for (ULONG i = 0; i < DPC_OBJECTS; ++i) KeInitializeDpc(&m_aDpc[i], OnDpcHandle, this);
  m_pfnProcessStatus = VORLIX_ProcessInterruptStatus;

  // 15. The interrupt, last: everything it reaches exists now.
  NTSTATUS status =
      IoConnectInterrupt(&m_pInterrupt, OnInterruptHandle, this, nullptr, interrupt->u.Interrupt.Vector,
                         (KIRQL)interrupt->u.Interrupt.Level, (KIRQL)interrupt->u.Interrupt.Level,
                         interrupt->Flags == CM_RESOURCE_INTERRUPT_LATCHED ? Latched : LevelSensitive,
                         interrupt->ShareDisposition == CmResourceShareShared, interrupt->u.Interrupt.Affinity, FALSE);
  if (!NT_SUCCESS(status)) {
    m_pInterrupt = nullptr;
    Uninitialize(pKsDevice, pIrp);
    return status;
  }
  return STATUS_SUCCESS;
}

VOID CPCIBaseDevice::Uninitialize(PKSDEVICE pKsDevice, PIRP pIrp) {
  // No new DPC may be queued from here on, and none may outlive what it reads: close the
  // gate, take the interrupt away, then let every queued DPC finish before freeing.
  if (m_pChannelTable) {
    KIRQL irql;
    KeAcquireSpinLock(&m_DpcLock, &irql);
    m_nIsrGate.store(0);
    KeReleaseSpinLock(&m_DpcLock, irql);
  }
  // 1.
  if (m_pInterrupt) {
    IoDisconnectInterrupt(m_pInterrupt);
    m_pInterrupt = nullptr;
  }
  if (m_pChannelTable) {
    KeFlushQueuedDpcs();
    m_nIsrGate.store(0);  // a DPC that ran meanwhile opened it again
  }
  // 2.
  for (int w = 0; w < 4; ++w) {
    if (m_pBar[w]) MmUnmapIoSpace(m_pBar[w], m_nBarLength[w]);
    m_pBar[w] = nullptr;
    m_liBarPhysical[w].QuadPart = 0;
    m_nBarLength[w] = 0;
  }
  // 3.
  if (m_pMainBuffer) {
    if (m_nBufferAllocMode == DMA_ALLOC_COMMON)
      m_pDmaAdapter->DmaOperations->FreeCommonBuffer(m_pDmaAdapter, m_nMainBufferSize, m_liMainBufferPhysical,
                                                     m_pMainBuffer, TRUE);
    else
      MmFreeContiguousMemorySpecifyCache(m_pMainBuffer, m_nMainBufferSize, MmCached);
    m_pMainBuffer = nullptr;
    m_liMainBufferPhysical.QuadPart = 0;
  }
  // 4.
  if (m_pDmaBuffer) {
    MmFreeContiguousMemorySpecifyCache(m_pDmaBuffer, m_nDmaBufferSize, MmCached);
    m_pDmaBuffer = nullptr;
    m_liDmaBufferPhysical.QuadPart = 0;
  }
  // 5.
  if (m_pDmaAdapter) {
    m_pDmaAdapter->DmaOperations->PutDmaAdapter(m_pDmaAdapter);
    m_pDmaAdapter = nullptr;
  }
  // 6.
  Delay100ms();
  // 7.
  for (int g = 0; g < FRAME_BUFFER_GROUPS; ++g) {
    for (int i = 0; i < FRAME_BUFFERS_PER_GROUP; ++i) {
      if (m_pFrameBuffer[g][i])
        MmFreeContiguousMemorySpecifyCache(m_pFrameBuffer[g][i], m_aFrameBufferPhysical[g][i].nSize, MmCached);
      m_pFrameBuffer[g][i] = nullptr;
      m_aFrameBufferPhysical[g][i].nPhysical = 0;
      m_aFrameBufferPhysical[g][i].nSize = 0;
    }
    m_nFrameBufferGroupSize[g] = 0;
  }
  // 8.
  Delay100ms();
  // 9.
  if (m_pPciIdentity) {
    ExFreePoolWithTag(m_pPciIdentity, kPoolTag);
    m_pPciIdentity = nullptr;
  }
  if (m_pChannelTable) {
    // Taken away under the DPC lock, which every reader of the table holds (the DPC, a
    // frame clock's queueing, channel start and stop), before the memory goes.
    PChannelTable table = m_pChannelTable;
    KIRQL irql;
    KeAcquireSpinLock(&m_DpcLock, &irql);
    m_pChannelTable = nullptr;
    KeReleaseSpinLock(&m_DpcLock, irql);
    ExFreePoolWithTag(table, kPoolTag);
  }
  // 10.
  m_pPhysicalDeviceObject = nullptr;
  m_pFunctionalDeviceObject = nullptr;
  m_pNextDeviceObject = nullptr;
}
