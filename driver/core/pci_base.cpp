// Interrupt service, the deferred procedure calls and the channel table.
#include "driver/core/pci_base.h"

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/hardware/registers.h"

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

// A holding row: the finished entry joins the done list, and when the oldest held frame
// was already due (decided before the entry joined) it leaves the list and its owner is told.
// With `stamp`, the released frame's data-used count becomes its low 16 bits (the board
// variant that reports its frame length this way).
void HoldAndRelease(CloneNode* entry, PKSPIN_LOCK lock, PLIST_ENTRY doneList, bool due, PVOID owner,
                    const ULONG* stamp = nullptr) {
  if (entry) {
    entry->bDone = 1;
    KeAcquireSpinLockAtDpcLevel(lock);
    RemoveEntryList(&entry->Link);
    InsertTailList(doneList, &entry->Link);
    KeReleaseSpinLockFromDpcLevel(lock);
  }
  if (due) {
    CloneNode* oldest = Oldest(doneList);
    if (stamp && oldest && oldest->pClone && oldest->pClone->StreamHeader)
      oldest->pClone->StreamHeader->DataUsed = *stamp & 0xFFFF;
    RemoveHeadList(doneList);
    ReleaseOwner(owner);
  }
}

ULONG LoadState(const ChannelTable* t, ULONG row) { return __atomic_load_n(&t->nState[row], __ATOMIC_ACQUIRE); }
void StoreState(ChannelTable* t, ULONG row, ULONG s) { __atomic_store_n(&t->nState[row], s, __ATOMIC_RELEASE); }

}  // namespace

CDevice* CPCIBaseDevice::AsDevice() { return static_cast<CDevice*>(this); }

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
        DbgPrint(
            "CPCIBaseDevice::OnInterruptHandle( KeInsertQueueDpc( %04X.%04X.%04X \xA1\xD1 status = 0x%08X ) ) "
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
            ULONG threshold = (row <= 3 && lengths[row] != 0xFFFFFFFFu && (lengths[row] & 0x80000000u)) ? 1 : 2;
            CloneNode* oldest = Oldest(doneList);
            const bool stamp = row == 0 && IsBoardVariant(d->m_pPciIdentity, BOARD_VARIANT_D_LENGTH_STAMP);
            HoldAndRelease(entry, lock, doneList, oldest && oldest->nHoldCount >= threshold, t->pOwner[row],
                           stamp ? &lengths[0] : nullptr);
            break;
          }
          case kOneFrameHold: {
            if (done[row] != 1) break;
            HoldAndRelease(entry, lock, doneList, !IsListEmpty(doneList), t->pOwner[row]);
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
  if (StatusHandler handler = d->m_pfnProcessStatus) {
    // One call with every bit the handler owns, so that each takes effect once (a
    // response taken twice or a chunk counted twice would break the transfer); a frame
    // clock's tick goes as it is, for the handler to recognise.
    const bool tick = (status == TICK_VIDEO && value == TICK_VIDEO) || (status == TICK_AUDIO && value == TICK_AUDIO);
    ULONG owned = INT_MAILBOX_RESPONSE | INT_DMA_DONE_ALT | INT_PCI_RESET_A | INT_PCI_RESET_B;
    if (!callbackRegistered) owned |= INT_DMA_DONE;
    if (tick)
      handler(device, status, value);
    else if (status & owned)
      handler(device, status & owned, value);
  }

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
