// Interrupt service, the deferred procedure calls and the channel table.
#include "driver/core/pci_base.h"

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/hardware/registers.h"

// The transfer path supplies the real handler; until it is linked in, statuses other
// than transfer-done go nowhere.
__attribute__((weak)) ULONG VORLIX_ProcessInterruptStatus(CDevice* Device, ULONG Status, ULONG Value) { return 1; }

namespace {

// The interrupt routine reaches up to REG_SYS_RECOVER in window 0; a shorter window (a
// board kind without the encoder's register file) is never touched.
constexpr ULONG kIsrWindowNeeded = REG_SYS_RECOVER + 4;

void WriteFlushed(CPCIBaseDevice* d, ULONG offset, ULONG value) {
  VORLIX_WriteRegister(d, offset / 4, value, 4);
  VORLIX_ReadRegister(d, offset / 4, 4);
}

void RecoverPulses(CPCIBaseDevice* d) {
  const ULONG pulses[] = {0x30, 0, 0x30, 0};
  for (ULONG v : pulses) WriteFlushed(d, REG_SYS_RECOVER, v);
}

void Recover(CPCIBaseDevice* d) {
  RecoverPulses(d);
  ULONG control = VORLIX_ReadRegister(d, REG_CORE_CONTROL / 4, 4);
  WriteFlushed(d, REG_CORE_CONTROL, control & ~8u);
  WriteFlushed(d, REG_CORE_CONTROL, control | 8u);
  WriteFlushed(d, REG_INT_STATUS, 0x3F);
  RecoverPulses(d);
}

enum CompletionRule { kImmediate, kOneFrameHold, kTwoPassHold };

CompletionRule RuleFor(const PCI_IDENTITY* id, ULONG row) {
  if (IsBoardKind(id, BOARD_KIND_D) && row < 8) return kTwoPassHold;
  if ((IsBoardKind(id, BOARD_KIND_A) && row == 0) || (IsBoardKind(id, BOARD_KIND_C) && row < 8)) return kOneFrameHold;
  return kImmediate;
}

void ReleaseOwner(PVOID owner) {
  // The pin context's first member is its semaphore.
  KeReleaseSemaphore(static_cast<PKSEMAPHORE>(owner), IO_NO_INCREMENT, 1, FALSE);
}

CloneNode* Oldest(PLIST_ENTRY list) {
  return IsListEmpty(list) ? nullptr : CONTAINING_RECORD(list->Flink, CloneNode, Link);
}

ULONG LoadState(const ChannelTable* t, ULONG row) { return __atomic_load_n(&t->nState[row], __ATOMIC_ACQUIRE); }
void StoreState(ChannelTable* t, ULONG row, ULONG s) { __atomic_store_n(&t->nState[row], s, __ATOMIC_RELEASE); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Interrupt service routine.

BOOLEAN CPCIBaseDevice::OnInterruptHandle(PKINTERRUPT pInterrupt, PVOID pContext) {
  auto* d = static_cast<CPCIBaseDevice*>(pContext);
  if (d->m_nIsrGate.load(std::memory_order_acquire) == 0) return FALSE;
  if (!d->m_pBar[0] || d->m_nBarLength[0] < kIsrWindowNeeded) return FALSE;

  ULONG status = VORLIX_ReadRegister(d, REG_INT_STATUS / 4, 4);
  VORLIX_WriteRegister(d, REG_INT_STATUS / 4, status, 4);  // acknowledge (fenced)

  ULONG value;
  if (status & INT_MAILBOX_RESPONSE) {
    value = VORLIX_ReadRegister(d, REG_RESP_TYPE / 4, 4);
  } else if (status & (INT_DMA_DONE | INT_DMA_DONE_ALT)) {
    value = VORLIX_ReadRegister(d, REG_DMA_STATUS / 4, 4);
  } else if (status & (INT_PCI_RESET_A | INT_PCI_RESET_B)) {
    Recover(d);
    value = 0;
  } else {
    return FALSE;
  }

  d->m_nIsrGate.store(0, std::memory_order_release);
  const PCI_IDENTITY none = {};
  const PCI_IDENTITY* id = d->m_pPciIdentity ? d->m_pPciIdentity : &none;
  for (ULONG i = 0; i < DPC_OBJECTS; ++i) {
    if (KeInsertQueueDpc(&d->m_aDpc[i], reinterpret_cast<PVOID>((ULONG_PTR)status),
                         reinterpret_cast<PVOID>((ULONG_PTR)value))) {
      if (i > 0)
        DbgPrint("CPCIBaseDevice::OnInterruptHandle( KeInsertQueueDpc( %04X.%04X.%04X \xA1\xD1 status = 0x%08X ) ) "
                 "WRONG!! (%d)\n",
                 id->nVendorId, id->nDeviceId, id->nSubsystemId, status, (int)i);
      return TRUE;
    }
  }
  d->m_nIsrGate.store(1, std::memory_order_release);
  DbgPrint("CPCIBaseDevice::OnInterruptHandle( KeInsertQueueDpc( %04X.%04X.%04X \xA1\xD1 status = 0x%08X ) ) FAIL!!\n",
           id->nVendorId, id->nDeviceId, id->nSubsystemId, status);
  return TRUE;
}

BOOLEAN CPCIBaseDevice::OnSynchronizeExecution(PVOID pContext) { return TRUE; }

// ---------------------------------------------------------------------------------------
// Deferred procedure call.

VOID CPCIBaseDevice::OnDpcHandle(PKDPC pDpc, PVOID pContext, PVOID pStatus, PVOID pValue) {
  auto* d = static_cast<CPCIBaseDevice*>(pContext);
  const ULONG status = (ULONG)(ULONG_PTR)pStatus;
  const ULONG value = (ULONG)(ULONG_PTR)pValue;

  KeAcquireSpinLockAtDpcLevel(&d->m_DpcLock);
  ChannelTable* t = d->m_pChannelTable;
  if (!t) {
    // Release has begun: nothing left to deliver to, and the gate stays closed.
    KeReleaseSpinLockFromDpcLevel(&d->m_DpcLock);
    return;
  }
  // Register and unregister run under the pin mutex only, not this lock: the callback
  // pointer is read once, atomically, and a row's fields only once it is running (a
  // running row is never re-registered or unregistered).
  FrameDoneCallback callback = __atomic_load_n(&t->pfnFrameDone, __ATOMIC_ACQUIRE);
  const bool callbackRegistered = callback != nullptr;

  if (status & INT_DMA_DONE) {
    struct _KSPIN* pins[CHANNEL_ROWS] = {};
    struct _KSSTREAM_POINTER* clones[CHANNEL_ROWS] = {};
    PUCHAR data[CHANNEL_ROWS] = {};
    ULONG lengths[CHANNEL_ROWS] = {};
    ULONGLONG values[CHANNEL_ROWS] = {};
    UCHAR done[CHANNEL_ROWS] = {};
    UCHAR flags[CHANNEL_ROWS] = {};
    CloneNode* entries[CHANNEL_ROWS] = {};

    for (ULONG row = 0; row < CHANNEL_ROWS; ++row) {
      if (LoadState(t, row) != CHANNEL_RUNNING || !t->pPin[row] || !t->pLock[row]) continue;
      KeAcquireSpinLockAtDpcLevel(t->pLock[row]);
      CloneNode* entry = t->pPendingList[row] ? Oldest(t->pPendingList[row]) : nullptr;
      KeReleaseSpinLockFromDpcLevel(t->pLock[row]);
      pins[row] = t->pPin[row];
      if (entry) {
        clones[row] = entry->pClone;
        data[row] = entry->pData;
        entries[row] = entry;
      }
    }

    if (callback) {
      callback(pins, clones, nullptr, nullptr, data, lengths, values, done, flags, d->AsDevice(), status, value);

      for (ULONG row = 0; row < CHANNEL_ROWS; ++row) {
        if (!pins[row]) continue;  // only gathered rows have lists to complete on
        CloneNode* entry = entries[row];
        if (entry) {
          entry->nLength = lengths[row];
          entry->nValue = values[row];
          entry->nFlags |= flags[row];
        }
        PKSPIN_LOCK lock = t->pLock[row];
        PLIST_ENTRY doneList = t->pDoneList[row];
        CompletionRule rule = RuleFor(d->m_pPciIdentity, row);
        if (rule != kImmediate && !doneList) rule = kImmediate;
        switch (rule) {
          case kTwoPassHold: {
            if (done[row] != 1) break;
            for (PLIST_ENTRY e = doneList->Flink; e != doneList; e = e->Flink)
              CONTAINING_RECORD(e, CloneNode, Link)->nHoldCount++;
            ULONG threshold =
                (row <= 3 && lengths[row] != 0xFFFFFFFFu && (lengths[row] & 0x80000000u)) ? 1 : 2;
            CloneNode* oldest = Oldest(doneList);
            bool due = oldest && oldest->nHoldCount >= threshold;
            if (entry) {
              entry->bDone = 1;
              KeAcquireSpinLockAtDpcLevel(lock);
              RemoveEntryList(&entry->Link);
              InsertTailList(doneList, &entry->Link);
              KeReleaseSpinLockFromDpcLevel(lock);
            }
            if (due) {
              RemoveHeadList(doneList);
              ReleaseOwner(t->pOwner[row]);
            }
            break;
          }
          case kOneFrameHold: {
            if (done[row] != 1) break;
            bool due = !IsListEmpty(doneList);
            if (entry) {
              entry->bDone = 1;
              KeAcquireSpinLockAtDpcLevel(lock);
              RemoveEntryList(&entry->Link);
              InsertTailList(doneList, &entry->Link);
              KeReleaseSpinLockFromDpcLevel(lock);
            }
            if (due) {
              RemoveHeadList(doneList);
              ReleaseOwner(t->pOwner[row]);
            }
            break;
          }
          case kImmediate:
            if (entry && done[row] == 1) {
              entry->bDone = 1;
              KeAcquireSpinLockAtDpcLevel(lock);
              RemoveEntryList(&entry->Link);
              KeReleaseSpinLockFromDpcLevel(lock);
              ReleaseOwner(t->pOwner[row]);
            }
            break;
        }
      }
    }
  }

  CDevice* device = d->AsDevice();
  if (status & INT_MAILBOX_RESPONSE) VORLIX_ProcessInterruptStatus(device, status, value);
  if ((status & INT_DMA_DONE) && !callbackRegistered) VORLIX_ProcessInterruptStatus(device, status, value);
  if (status & INT_DMA_DONE_ALT) VORLIX_ProcessInterruptStatus(device, status, value);
  if (status & INT_PCI_RESET_A) VORLIX_ProcessInterruptStatus(device, status, value);
  if (status & INT_PCI_RESET_B) VORLIX_ProcessInterruptStatus(device, status, value);

  d->m_nIsrGate.store(1, std::memory_order_release);
  KeReleaseSpinLockFromDpcLevel(&d->m_DpcLock);
}

// ---------------------------------------------------------------------------------------
// Channel table.

ULONG CPCIBaseDevice::RegisterChannel(CPCIBaseDevice* pDevice, ULONG nRow, struct _KSPIN* pPin, PKSPIN_LOCK pLock,
                                      PLIST_ENTRY pPendingList, PLIST_ENTRY pDoneList, PVOID pOwner,
                                      FrameDoneCallback pfnFrameDone) {
  ChannelTable* t = pDevice ? pDevice->m_pChannelTable : nullptr;
  if (!t || nRow >= CHANNEL_ROWS) return 0;
  // A row is counted once: registering it again only refreshes it.
  if (!t->pPin[nRow]) t->nRegistered++;
  t->pPin[nRow] = pPin;
  t->pLock[nRow] = pLock;
  t->pPendingList[nRow] = pPendingList;
  t->pDoneList[nRow] = pDoneList;
  t->pOwner[nRow] = pOwner;
  StoreState(t, nRow, CHANNEL_REGISTERED);
  __atomic_store_n(&t->pfnFrameDone, pfnFrameDone, __ATOMIC_RELEASE);
  return 0;
}

ULONG CPCIBaseDevice::UnregisterChannel(CPCIBaseDevice* pDevice, ULONG nRow) {
  ChannelTable* t = pDevice ? pDevice->m_pChannelTable : nullptr;
  if (!t || nRow >= CHANNEL_ROWS) return 0;
  // A row never registered (its stream failed to power up) must not take the callback
  // away from the streams that are registered.
  if (!t->pPin[nRow]) return 0;
  t->pPin[nRow] = nullptr;
  t->pLock[nRow] = nullptr;
  t->pPendingList[nRow] = nullptr;
  t->pDoneList[nRow] = nullptr;
  t->pOwner[nRow] = nullptr;
  StoreState(t, nRow, CHANNEL_FREE);
  if (t->nRegistered <= 1) {
    t->nRegistered = 0;
    __atomic_store_n(&t->pfnFrameDone, (FrameDoneCallback) nullptr, __ATOMIC_RELEASE);
  } else {
    t->nRegistered--;
  }
  return 0;
}

ULONG CPCIBaseDevice::StartChannel(CPCIBaseDevice* pDevice, ULONG nRow) {
  ChannelTable* t = pDevice ? pDevice->m_pChannelTable : nullptr;
  if (!t || nRow >= CHANNEL_ROWS || !t->pPin[nRow]) return 0;
  KIRQL irql;
  KeAcquireSpinLock(&pDevice->m_DpcLock, &irql);
  if (LoadState(t, nRow) != CHANNEL_RUNNING) {
    StoreState(t, nRow, CHANNEL_RUNNING);
    t->nRunning++;
    if (t->nRunning == 1 && pDevice->m_pInterrupt)
      KeSynchronizeExecution(pDevice->m_pInterrupt, OnSynchronizeExecution, pDevice);
  }
  KeReleaseSpinLock(&pDevice->m_DpcLock, irql);
  return 0;
}

ULONG CPCIBaseDevice::StopChannel(CPCIBaseDevice* pDevice, ULONG nRow) {
  ChannelTable* t = pDevice ? pDevice->m_pChannelTable : nullptr;
  if (!t || nRow >= CHANNEL_ROWS) return 0;
  KIRQL irql;
  KeAcquireSpinLock(&pDevice->m_DpcLock, &irql);
  bool wasRunning = LoadState(t, nRow) == CHANNEL_RUNNING;
  StoreState(t, nRow, CHANNEL_STOPPING);
  if (t->nRunning == 1 && pDevice->m_pInterrupt)
    KeSynchronizeExecution(pDevice->m_pInterrupt, OnSynchronizeExecution, pDevice);
  StoreState(t, nRow, CHANNEL_FREE);
  // Only a running row was counted.
  if (wasRunning && t->nRunning > 0) t->nRunning--;
  KeReleaseSpinLock(&pDevice->m_DpcLock, irql);
  return 0;
}

// ---------------------------------------------------------------------------------------
// PCI start and release.

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

PVOID AllocContiguous(ULONG size, ULONGLONG lowest, ULONGLONG highest, ULONGLONG boundary,
                      PHYSICAL_ADDRESS* physical) {
  PVOID va = MmAllocateContiguousMemorySpecifyCache(size, Physical(lowest), Physical(highest), Physical(boundary),
                                                    MmCached);
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

// "6.2" or later (the text begins "6." and its third character is '2' or above).
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
      wants = text[0] == u'6' && text[1] == u'.' && text[2] >= u'2' && text[2] <= u'9';
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
  if (PVOID probe = MmAllocateContiguousMemorySpecifyCache(4096, Physical(k4G), Physical(0x10000000000ull),
                                                           Physical(0), MmNonCached)) {
    PHYSICAL_ADDRESS p = MmGetPhysicalAddress(probe);
    DbgPrint("> 4GB (%08X.%08X)\n", (ULONG)p.HighPart, p.LowPart);
    MmFreeContiguousMemorySpecifyCache(probe, 4096, MmNonCached);
    highMemory = TRUE;
  }

  // 5. Bounce buffers.
  CDevice* device = AsDevice();
  BOOLEAN bounce = highMemory;
  if (device->ReadRegistryDword(u"CustomAnalogVideoFlexibleResolutionPatchProperty", 0) >= 1 ||
      device->ReadRegistryDword(u"CustomInstancesPossibleProperty", 0) >= 1 ||
      device->ReadRegistryDword(u"CustomCloneFiltersProperty", 0) >= 2)
    bounce = TRUE;
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
    if (bounce) {
      if (IsBoardVariant(id, BOARD_VARIANT_D_LARGE_SENSOR)) {
        plan.groups[0] = 0x12C0000;
      } else {
        ULONG resolution = device->ReadRegistryDword(u"CustomAnalogVideoMaximalResolutionProperty", 0);
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
    ExFreePoolWithTag(m_pChannelTable, kPoolTag);
    m_pChannelTable = nullptr;
  }
  // 10.
  m_pPhysicalDeviceObject = nullptr;
  m_pFunctionalDeviceObject = nullptr;
  m_pNextDeviceObject = nullptr;
}
