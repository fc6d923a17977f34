// The streaming core of every streaming pin. A buffer lives in three steps: Process
// clones the leading edge and queues the clone's node on the pin's pending list; the
// board side (the deferred procedure call and the frame-done callback) fills the oldest
// pending entries and releases the pin's semaphore once per completed buffer; the worker
// thread wakes once per release, finishes the oldest clone through the delivery routine
// of the pin's stream index and deletes it, which hands the buffer back.
#include "driver/streaming/capture_pin.h"

#include "driver/core/device.h"
#include "driver/hardware/lifecycle.h"
#include "driver/hardware/transfer.h"

namespace {

// Filter kinds whose pins the virtual camera's push feeds instead of the board.
constexpr ULONG kVirtualVideoFilter = 10;
constexpr ULONG kVirtualAudioFilter = 11;

constexpr KPRIORITY kWorkerPriority = 31;

typedef ULONG (*DeliverRoutine)(PinContext*, PUCHAR, ULONG, ULONG, PUCHAR, ULONG, ULONGLONG, UCHAR, PKSSTREAM_HEADER);

// A pin has a channel-table row, stream power and a delivery routine when its stream
// index names a row and it is no virtual-camera pin: those share slot numbers with the
// real streams (slot 8 is channel 0's sub stream, 12 its audio) and must not take over
// their rows.
bool HasChannelRow(const PinContext* c) {
  if (c->nStreamIndex > STREAM_INDEX_LAST) return false;
  const PKSFILTER filter = c->pKsFilter;
  if (!filter || !filter->Context || filter->Context == DeviceOfPin(c)) return true;
  const ULONG kind = static_cast<const FilterContext*>(filter->Context)->nKind;
  return kind != kVirtualVideoFilter && kind != kVirtualAudioFilter;
}

DeliverRoutine DeliveryOf(const PinContext* c) {
  if (!HasChannelRow(c)) return nullptr;
  if (IsVideoStreamIndex(c->nStreamIndex)) return CCapturePin::DeliverVideoFrame;
  if (IsH264StreamIndex(c->nStreamIndex)) return CCapturePin::DeliverH264Frame;
  return CCapturePin::DeliverAudioFrame;
}

// The pin mutex at passive level. Stream power-up reads files and creates threads, which
// must happen at passive level: the mutex is held in a critical region instead of at
// raised level.
void TakePinMutex(CDevice* d) {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&d->m_PinMutex);
}
void GivePinMutex(CDevice* d) {
  ExReleaseFastMutexUnsafe(&d->m_PinMutex);
  KeLeaveCriticalRegion();
}

// Acquire and stop hold the mutex throughout unless the customer switch keeps it off their
// stream power and channel-row steps. Read once per step, so a switch set meanwhile
// cannot leave the mutex taken and not given back.
bool StepHoldsPinMutex(const CDevice* d) { return __atomic_load_n(&d->m_nCompanyZq4, __ATOMIC_RELAXED) == 0; }

UCHAR StopRequested(PinContext* c) { return __atomic_load_n(&c->bStopWorker, __ATOMIC_ACQUIRE); }

// Unlocks and deletes a clone under the stream-pointer lock.
void DropClone(CDevice* d, PKSSTREAM_POINTER clone) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&d->m_StreamPointerLock);
  KsStreamPointerUnlock(clone, FALSE);
  KsStreamPointerDelete(clone);
  KeReleaseSpinLock(&d->m_StreamPointerLock, irql);
}

// Gives every clone of the pin back empty, oldest first.
void Flush(PinContext* c, CDevice* d) {
  const DeliverRoutine deliver = DeliveryOf(c);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&d->m_StreamPointerLock);
  PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(c->pKsPin);
  KeReleaseSpinLock(&d->m_StreamPointerLock, irql);
  while (clone) {
    irql = KeAcquireSpinLockRaiseToDpc(&d->m_StreamPointerLock);
    PKSSTREAM_POINTER next = KsStreamPointerGetNextClone(clone);
    PKSSTREAM_HEADER h = clone->StreamHeader;
    if (h) {
      h->PresentationTime.Numerator = 1;
      h->PresentationTime.Denominator = 1;
      h->PresentationTime.Time = 0;
      h->Duration = 0;
      h->DataUsed = 0;
    }
    KeReleaseSpinLock(&d->m_StreamPointerLock, irql);
    const CloneNode* node = static_cast<const CloneNode*>(clone->Context);
    if (deliver && h) deliver(c, node ? node->pData : nullptr, 0, 0, nullptr, 0, 0, 1, h);
    DropClone(d, clone);
    clone = next;
  }
}

}  // namespace

// ---- State-change core --------------------------------------------------------------------

NTSTATUS CCapturePin::SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState) {
  PinContext* c = pKsPin ? static_cast<PinContext*>(pKsPin->Context) : nullptr;
  if (!c || ToState == FromState) return STATUS_SUCCESS;
  switch (ToState) {
    case KSSTATE_STOP:
      if (FromState == KSSTATE_RUN) OnPause(c, pKsPin);
      OnStop(c, pKsPin);
      break;
    case KSSTATE_ACQUIRE:
    case KSSTATE_PAUSE:
      if (FromState == KSSTATE_STOP)
        OnAcquire(c, pKsPin);
      else if (FromState == KSSTATE_RUN)
        OnPause(c, pKsPin);
      break;
    case KSSTATE_RUN:
      if (FromState == KSSTATE_STOP) OnAcquire(c, pKsPin);
      OnRun(c, pKsPin);
      break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CCapturePin::OnAcquire(PinContext* pContext, PKSPIN pKsPin) {
  CDevice* d = DeviceOfPin(pContext);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  KeInitializeSemaphore(&pContext->Semaphore, 0, 0x7FFFFFFF);
  KeInitializeSpinLock(&pContext->Lock);
  pContext->pClock = nullptr;
  if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pKsPin, &pContext->pClock))) pContext->pClock = nullptr;
  InitializeListHead(&pContext->PendingList);
  InitializeListHead(&pContext->DoneList);

  const bool held = StepHoldsPinMutex(d);
  if (held) TakePinMutex(d);
  if (HasChannelRow(pContext)) {
    if (VORLIX_StreamPowerUp(d, FALSE) == 0)
      CPCIBaseDevice::RegisterChannel(d, pContext->nStreamIndex, pKsPin, &pContext->Lock, &pContext->PendingList,
                                      &pContext->DoneList, pContext, VORLIX_DeliverBitstream);
  }
  if (held) GivePinMutex(d);
  return STATUS_SUCCESS;
}

NTSTATUS CCapturePin::OnRun(PinContext* pContext, PKSPIN pKsPin) {
  CDevice* d = DeviceOfPin(pContext);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  __atomic_store_n(&pContext->bStopWorker, (UCHAR)0, __ATOMIC_RELEASE);
  HANDLE handle = nullptr;
  PKTHREAD worker = nullptr;
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, CCapturePin::WorkerThread, pContext);
  if (NT_SUCCESS(status)) {
    PVOID object = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr)))
      worker = static_cast<PKTHREAD>(object);
    ZwClose(handle);
  }
  // The virtual camera's push takes a pin with a worker for a running one, reading it
  // under the pin mutex: the worker is published under it.
  TakePinMutex(d);
  pContext->pWorkerThread = worker;
  GivePinMutex(d);
  if (HasChannelRow(pContext)) CPCIBaseDevice::StartChannel(d, pContext->nStreamIndex);
  return status;
}

NTSTATUS CCapturePin::OnPause(PinContext* pContext, PKSPIN pKsPin) {
  CDevice* d = DeviceOfPin(pContext);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  if (HasChannelRow(pContext)) CPCIBaseDevice::StopChannel(d, pContext->nStreamIndex);
  // Taking the worker away under the pin mutex waits for a push in progress, and no push
  // feeds the pin after it.
  TakePinMutex(d);
  const PKTHREAD worker = pContext->pWorkerThread;
  pContext->pWorkerThread = nullptr;
  GivePinMutex(d);
  if (worker) {
    __atomic_store_n(&pContext->bStopWorker, (UCHAR)1, __ATOMIC_RELEASE);
    KeReleaseSemaphore(&pContext->Semaphore, IO_NO_INCREMENT, 1, FALSE);
    KeWaitForSingleObject(worker, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(worker);
  }
  if (d->m_nAnalogAudioDirectSoundPatch) {
    // The clones and lists are what a push completes and walks under the mutex.
    TakePinMutex(d);
    Flush(pContext, d);
    InitializeListHead(&pContext->PendingList);
    InitializeListHead(&pContext->DoneList);
    GivePinMutex(d);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CCapturePin::OnStop(PinContext* pContext, PKSPIN pKsPin) {
  CDevice* d = DeviceOfPin(pContext);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  const bool held = StepHoldsPinMutex(d);
  if (held) TakePinMutex(d);
  const bool row = HasChannelRow(pContext);
  if (row) CPCIBaseDevice::UnregisterChannel(d, pContext->nStreamIndex);
  // The clones, lists and clock are what a push works on under the mutex: the customer
  // switch keeps the mutex off the row and power steps only, never off these.
  if (!held) TakePinMutex(d);
  Flush(pContext, d);
  InitializeListHead(&pContext->PendingList);
  InitializeListHead(&pContext->DoneList);
  if (pContext->pClock) {
    pContext->pClock->Release();
    pContext->pClock = nullptr;
  }
  if (!held) GivePinMutex(d);
  if (row) VORLIX_StreamPowerDown(d);
  if (held) GivePinMutex(d);
  return STATUS_SUCCESS;
}

// ---- Process ------------------------------------------------------------------------------

NTSTATUS CCapturePin::Process(PKSPIN pKsPin) {
  PinContext* c = pKsPin ? static_cast<PinContext*>(pKsPin->Context) : nullptr;
  CDevice* d = DeviceOfPin(c);
  if (!d) return STATUS_UNSUCCESSFUL;
  if (d->m_nAnalogAudioDirectSoundPatch && !c->pWorkerThread) return STATUS_UNSUCCESSFUL;

  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&d->m_StreamPointerLock);
  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pKsPin, KSSTREAM_POINTER_STATE_LOCKED);
  if (!edge) {
    KeReleaseSpinLock(&d->m_StreamPointerLock, irql);
    return STATUS_UNSUCCESSFUL;
  }
  PKSSTREAM_POINTER clone = nullptr;
  NTSTATUS status = KsStreamPointerClone(edge, nullptr, sizeof(CloneNode), &clone);
  KeReleaseSpinLock(&d->m_StreamPointerLock, irql);

  if (!NT_SUCCESS(status) || !clone || !clone->Context) {
    irql = KeAcquireSpinLockRaiseToDpc(&d->m_StreamPointerLock);
    if (clone) {
      KsStreamPointerUnlock(clone, FALSE);
      KsStreamPointerDelete(clone);
    }
    KsStreamPointerUnlock(edge, FALSE);
    KeReleaseSpinLock(&d->m_StreamPointerLock, irql);
    return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
  }

  CloneNode* node = static_cast<CloneNode*>(clone->Context);
  node->Link.Flink = node->Link.Blink = &node->Link;
  node->pClone = clone;
  node->nHoldCount = 0;
  node->pData = clone->StreamHeader ? static_cast<PUCHAR>(clone->StreamHeader->Data) : nullptr;
  node->nLength = 0;
  node->nValue = 0;
  node->bDone = 0;
  node->nFlags = 0;

  irql = KeAcquireSpinLockRaiseToDpc(&d->m_StreamPointerLock);
  KsStreamPointerUnlock(edge, FALSE);
  status = KsStreamPointerAdvance(edge);
  KeReleaseSpinLock(&d->m_StreamPointerLock, irql);
  // The edge moving past the last queued buffer is no failure: that buffer is kept like
  // every other, or the last one queued would go back unfilled.
  if (status == STATUS_DEVICE_NOT_READY) status = STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) {
    DropClone(d, clone);
    return status;
  }

  KeAcquireSpinLock(&c->Lock, &irql);
  InsertTailList(&c->PendingList, &node->Link);
  KeReleaseSpinLock(&c->Lock, irql);
  return status;
}

// ---- Worker thread ------------------------------------------------------------------------

VOID CCapturePin::WorkerThread(PVOID pContext) {
  auto* c = static_cast<PinContext*>(pContext);
  CDevice* d = DeviceOfPin(c);
  const DeliverRoutine deliver = DeliveryOf(c);
  KeSetPriorityThread(KeGetCurrentThread(), kWorkerPriority);
  KeWaitForSingleObject(&c->Semaphore, Executive, KernelMode, FALSE, nullptr);
  while (!StopRequested(c)) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&d->m_StreamPointerLock);
    PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(c->pKsPin);
    KeReleaseSpinLock(&d->m_StreamPointerLock, irql);
    if (clone) {
      PKSSTREAM_HEADER h = clone->StreamHeader;
      CloneNode* node = static_cast<CloneNode*>(clone->Context);
      if (h) {
        h->PresentationTime.Numerator = 1;
        h->PresentationTime.Denominator = 1;
        h->OptionsFlags = 0;
        if (deliver && node)
          deliver(c, node->pData, node->nLength, c->nParam, static_cast<PUCHAR>(h->Data), h->FrameExtent, node->nValue,
                  node->nFlags, h);
      }
      if (node) node->pData = nullptr;
      irql = KeAcquireSpinLockRaiseToDpc(&d->m_StreamPointerLock);
      KsStreamPointerUnlock(clone, FALSE);
      KsStreamPointerDelete(clone);
      KsPinAttemptProcessing(c->pKsPin, TRUE);
      KeReleaseSpinLock(&d->m_StreamPointerLock, irql);
    }
    KeWaitForSingleObject(&c->Semaphore, Executive, KernelMode, FALSE, nullptr);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}
