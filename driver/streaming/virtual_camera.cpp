// The virtual camera: attach maps a producer's section into the producer's own process
// and locks it into system space; push copies what it holds into the oldest buffers
// queued on the virtual pin and finishes them; detach gives everything back.
//
// What a producer writes is not trusted: its byte count is read once and bounded by the
// view it mapped and by each buffer, and a producer that unmaps its view or ends leaves
// the locked system view valid until detach. Attach, push and detach of one medium run one
// at a time (the medium's lock, then the pin mutex), and the push holds the pin mutex from
// the slot read until its buffers are completed, so the pin cannot stop, flush or close
// under it.
#include "driver/streaming/virtual_camera.h"

#include "driver/streaming/capture_filter.h"
#include "driver/streaming/capture_pin.h"

namespace {

constexpr ULONG kViewCommitSize = 80;

const AV_VCAM_INFO* InfoOf(const CDevice* d, int medium) {
  return static_cast<const AV_VCAM_INFO*>(d->m_pVcamInfo[medium]);
}

// The producer may rewrite its header at any time: the count is read once.
ULONG ReadDataSize(const AV_VCAM_INFO* info) {
  ULONG count;
  RtlCopyMemory(&count, &info->nDataSize, sizeof(count));
  return count;
}

// The bytes of payload the view holds; 0 when the medium is not wholly attached or its
// view cannot even hold the header.
SIZE_T PayloadRoom(const CDevice* d, int medium) {
  if (!d->m_hVcamSection[medium] || !d->m_pVcamView[medium] || !d->m_pVcamMdl[medium] || !d->m_pVcamInfo[medium])
    return 0;
  const SIZE_T view = d->m_nVcamViewSize[medium];
  return view > VCAM_PAYLOAD_OFFSET ? view - VCAM_PAYLOAD_OFFSET : 0;
}

const UCHAR* PayloadOf(const CDevice* d, int medium) {
  return static_cast<const UCHAR*>(d->m_pVcamInfo[medium]) + VCAM_PAYLOAD_OFFSET;
}

void TakeMediumLock(CDevice* d, int medium) {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&d->m_VcamMutex[medium]);
}
void GiveMediumLock(CDevice* d, int medium) {
  ExReleaseFastMutexUnsafe(&d->m_VcamMutex[medium]);
  KeLeaveCriticalRegion();
}

// The pin mutex at passive level (the copies and the finishing run under it).
void TakePinMutex(CDevice* d) {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&d->m_PinMutex);
}
void GivePinMutex(CDevice* d) {
  ExReleaseFastMutexUnsafe(&d->m_PinMutex);
  KeLeaveCriticalRegion();
}

// The running virtual pin of a medium in slot 8, or null. Slot 8 also serves real
// streams (channel 0's sub stream, the second audio pin): only a pin of a virtual filter
// of that medium is fed. The caller holds the pin mutex.
PinContext* RunningVirtualPin(CDevice* d, int medium) {
  PKSPIN pin = medium == VCAM_VIDEO ? d->m_pVideoPin[VCAM_PIN_SLOT] : d->m_pAudioPin[VCAM_PIN_SLOT];
  if (!pin || !pin->Context) return nullptr;
  auto* c = static_cast<PinContext*>(pin->Context);
  if (!c->pKsFilter || !c->pKsFilter->Context || c->pKsFilter->Context == static_cast<PVOID>(d)) return nullptr;
  const ULONG kind = static_cast<const FilterContext*>(c->pKsFilter->Context)->nKind;
  if (kind != (medium == VCAM_VIDEO ? (ULONG)FILTER_KIND_VIRTUAL_VIDEO : (ULONG)FILTER_KIND_VIRTUAL_AUDIO))
    return nullptr;
  return c->pWorkerThread ? c : nullptr;
}

// The oldest pending entry of the pin, left on the list; null when there is none.
CloneNode* OldestPending(PinContext* c) {
  KIRQL irql;
  KeAcquireSpinLock(&c->Lock, &irql);
  CloneNode* node = nullptr;
  if (!IsListEmpty(&c->PendingList)) node = CONTAINING_RECORD(c->PendingList.Flink, CloneNode, Link);
  KeReleaseSpinLock(&c->Lock, irql);
  return node;
}

// Takes the entry off the list and hands its buffer back to KS.
void Complete(CDevice* d, PinContext* c, CloneNode* node) {
  PKSSTREAM_POINTER clone = node->pClone;
  KIRQL irql;
  KeAcquireSpinLock(&c->Lock, &irql);
  RemoveEntryList(&node->Link);
  KeReleaseSpinLock(&c->Lock, irql);
  irql = KeAcquireSpinLockRaiseToDpc(&d->m_StreamPointerLock);
  KsStreamPointerUnlock(clone, FALSE);
  KsStreamPointerDelete(clone);
  KsPinAttemptProcessing(c->pKsPin, TRUE);
  KeReleaseSpinLock(&d->m_StreamPointerLock, irql);
}

void StartHeader(PKSSTREAM_HEADER h) {
  h->PresentationTime.Numerator = 1;
  h->PresentationTime.Denominator = 1;
  h->OptionsFlags = 0;
}

// Keeps `bytes` of payload for the next push's first buffer. Without room for them the
// count is still carried (the pacing stays as it is) and the buffer gets silence instead.
void StoreCarry(CDevice* d, const UCHAR* bytes, ULONG count) {
  d->m_nVcamCarryStored = 0;
  if (count == 0) return;
  if (count > d->m_nVcamCarryCapacity) {
    if (d->m_pVcamCarry) ExFreePoolWithTag(d->m_pVcamCarry, kVcamCarryTag);
    d->m_pVcamCarry = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, count, kVcamCarryTag));
    d->m_nVcamCarryCapacity = d->m_pVcamCarry ? count : 0;
    if (!d->m_pVcamCarry) return;
  }
  RtlCopyMemory(d->m_pVcamCarry, bytes, count);
  d->m_nVcamCarryStored = count;
}

}  // namespace

ULONG VcamSectionName(int nMedium, ULONG nChannelIndex, PWCHAR pName, ULONG nChars) {
  WCHAR digits[10];
  ULONG n = 0;
  ULONG v = nChannelIndex;
  do {
    digits[n++] = (WCHAR)(u'0' + v % 10);
    v /= 10;
  } while (v);
  if (n < 2) digits[n++] = u'0';
  const WCHAR* prefix = VCAM_SECTION_PREFIX;
  const WCHAR* suffix = VCAM_SECTION_SUFFIX;
  ULONG length = 0;
  auto put = [&](WCHAR c) {
    if (length + 1 < nChars) pName[length] = c;
    length++;
  };
  for (const WCHAR* p = prefix; *p; p++) put(*p);
  put(nMedium == VCAM_VIDEO ? u'V' : u'A');
  for (const WCHAR* p = suffix; *p; p++) put(*p);
  while (n) put(digits[--n]);
  if (length < nChars) pName[length] = 0;
  return length;
}

NTSTATUS LockAndMapView(PVOID pAddress, ULONG nLength, PMDL* ppMdl, PVOID* ppSystemAddress) {
  *ppMdl = nullptr;
  *ppSystemAddress = nullptr;
  PMDL pMdl = IoAllocateMdl(pAddress, nLength, FALSE, FALSE, nullptr);
  if (!pMdl) return STATUS_INSUFFICIENT_RESOURCES;
  // A view that cannot be locked (gone, not the caller's, no resources) is a failed
  // attach, not a fault.
  if (!NT_SUCCESS(MmProbeAndLockPages(pMdl, UserMode, IoModifyAccess))) {
    IoFreeMdl(pMdl);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PVOID pSystem = (pMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
                      ? pMdl->MappedSystemVa
                      : MmMapLockedPagesSpecifyCache(pMdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
  if (!pSystem) {
    MmUnlockPages(pMdl);
    IoFreeMdl(pMdl);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *ppMdl = pMdl;
  *ppSystemAddress = pSystem;
  return STATUS_SUCCESS;
}

VOID VcamInitialize(CDevice* pDevice) {
  for (int m = 0; m < VCAM_MEDIA; m++) ExInitializeFastMutex(&pDevice->m_VcamMutex[m]);
}

VOID VcamAttach(CDevice* d, int medium, ULONG nChannelIndex) {
  // A second attach gives the first one back rather than leaking its view and pages.
  if (d->m_hVcamSection[medium] || d->m_pVcamView[medium] || d->m_pVcamMdl[medium] || d->m_pVcamInfo[medium])
    d->ReleaseVirtualCamera(medium);

  const ULONG length = VcamSectionName(medium, nChannelIndex, nullptr, 0);
  const ULONG bytes = (length + 1) * sizeof(WCHAR);
  auto* pName = static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes, kVcamNameTag));
  if (!pName) return;
  VcamSectionName(medium, nChannelIndex, pName, length + 1);
  UNICODE_STRING name;
  name.Buffer = pName;
  name.Length = (USHORT)(length * sizeof(WCHAR));
  name.MaximumLength = (USHORT)bytes;

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  NTSTATUS status = ZwOpenSection(&d->m_hVcamSection[medium], SECTION_MAP_READ, &attributes);
  DbgPrint("ZwOpenSection( \"%ws\", %08X, %08X )\n", pName, status, (ULONG)(ULONG_PTR)d->m_hVcamSection[medium]);

  if (d->m_hVcamSection[medium]) {
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    SIZE_T viewSize = 0;
    PVOID view = nullptr;
    status = ZwMapViewOfSection(d->m_hVcamSection[medium], ZwCurrentProcess(), &view, 0, kViewCommitSize, &offset,
                                &viewSize, ViewShare, 0, PAGE_READWRITE | PAGE_NOCACHE);
    DbgPrint("ZwMapViewOfSection( %08X, %08X, %d, %d )\n", status, (ULONG)(ULONG_PTR)view, (int)kViewCommitSize,
             (int)viewSize);
    if (NT_SUCCESS(status) && view) {
      d->m_pVcamView[medium] = view;
      d->m_nVcamViewSize[medium] = viewSize;
      // The view can only be unmapped in this process: remember which it is.
      d->m_pVcamProcess[medium] = PsGetCurrentProcess();
      ObReferenceObject(d->m_pVcamProcess[medium]);
    }
  }

  if (d->m_pVcamView[medium] && d->m_nVcamViewSize[medium] <= 0xFFFFFFFFu &&
      NT_SUCCESS(LockAndMapView(d->m_pVcamView[medium], (ULONG)d->m_nVcamViewSize[medium], &d->m_pVcamMdl[medium],
                                &d->m_pVcamInfo[medium]))) {
    const AV_VCAM_INFO* info = InfoOf(d, medium);
    const long long viewBase = (long long)(LONG_PTR)d->m_pVcamView[medium];
    const long long system = (long long)(LONG_PTR)d->m_pVcamInfo[medium];
    if (medium == VCAM_VIDEO)
      DbgPrint("AV_VCAM_INFO( %08X, %d, %d, %d, %lld, %lld, %lld )\n", info->nVideoInfo0, (int)info->nVideoInfo1,
               (int)info->nVideoInfo2, (int)info->nVideoInfo3, (long long)info->nVideoInfo4, viewBase, system);
    else
      DbgPrint("AV_VCAM_INFO( %d, %d, %d, %lld, %lld )\n", (int)info->nAudioInfo0, (int)info->nAudioInfo1,
               (int)info->nAudioInfo2, viewBase, system);
  }
  ExFreePoolWithTag(pName, kVcamNameTag);
}

VOID VcamDetach(CDevice* d, int medium) { d->ReleaseVirtualCamera(medium); }

VOID VcamPushVideo(CDevice* d) {
  const SIZE_T room = PayloadRoom(d, VCAM_VIDEO);
  if (!room) return;
  TakePinMutex(d);
  PinContext* c = RunningVirtualPin(d, VCAM_VIDEO);
  CloneNode* node = c ? OldestPending(c) : nullptr;
  if (!node || !node->pClone || !node->pClone->StreamHeader) {
    GivePinMutex(d);
    return;
  }
  auto* v = static_cast<VideoPinContext*>(c);
  PKSSTREAM_HEADER h = node->pClone->StreamHeader;
  StartHeader(h);
  v->nPictureNumber++;

  SIZE_T count = ReadDataSize(InfoOf(d, VCAM_VIDEO));
  if (count > room) count = room;
  if (count > h->FrameExtent) count = h->FrameExtent;
  if (h->Data && count) RtlCopyMemory(h->Data, PayloadOf(d, VCAM_VIDEO), count);

  CCapturePin::FillVideoFrame(c, node->pData, node->nLength, c->nParam, static_cast<PUCHAR>(h->Data), h->FrameExtent,
                              node->nValue, node->nFlags, h);
  Complete(d, c, node);
  GivePinMutex(d);
}

VOID VcamPushAudio(CDevice* d) {
  const SIZE_T room = PayloadRoom(d, VCAM_AUDIO);
  if (!room) return;
  SIZE_T total = ReadDataSize(InfoOf(d, VCAM_AUDIO));
  if (total > room) total = room;
  if (!total) return;
  TakePinMutex(d);
  PinContext* c = RunningVirtualPin(d, VCAM_AUDIO);
  if (!c) {
    GivePinMutex(d);
    return;
  }
  const UCHAR* payload = PayloadOf(d, VCAM_AUDIO);
  ULONG remaining = (ULONG)total;
  ULONG consumed = 0;  // payload bytes placed so far
  ULONG& carry = c->aTransferState[0];
  do {
    CloneNode* node = OldestPending(c);
    if (!node || !node->pClone || !node->pClone->StreamHeader) break;
    PKSSTREAM_HEADER h = node->pClone->StreamHeader;
    StartHeader(h);

    // The carried bytes open this buffer; a carry larger than the buffer (buffers of
    // mixed sizes) fills it and the rest is dropped rather than wrapping the capacity.
    const ULONG extent = h->FrameExtent;
    const ULONG prefix = carry < extent ? carry : extent;
    const ULONG storedPrefix = prefix < d->m_nVcamCarryStored ? prefix : d->m_nVcamCarryStored;
    const ULONG capacity = extent - prefix;
    carry = 0;
    ULONG placed = 0;  // of this push's bytes, into this buffer
    if (remaining < capacity) {
      carry = remaining;
      remaining = 0;
    } else {
      placed = capacity;
      remaining -= capacity;
      if (remaining < capacity) {
        carry = remaining;
        remaining = 0;
      }
    }

    CCapturePin::FillAudioFrame(c, node->pData, node->nLength, c->nParam, static_cast<PUCHAR>(h->Data), extent,
                                node->nValue, node->nFlags, h);
    // The buffer holds the producer's samples in order: what the last push carried, then
    // this push's next bytes, then silence.
    if (auto* data = static_cast<PUCHAR>(h->Data)) {
      if (storedPrefix) RtlCopyMemory(data, d->m_pVcamCarry, storedPrefix);
      if (prefix > storedPrefix) RtlZeroMemory(data + storedPrefix, prefix - storedPrefix);
      if (placed) RtlCopyMemory(data + prefix, payload + consumed, placed);
      if (extent > prefix + placed) RtlZeroMemory(data + prefix + placed, extent - prefix - placed);
      h->DataUsed = extent;
    }
    consumed += placed;
    d->m_nVcamCarryStored = 0;
    if (carry) StoreCarry(d, payload + consumed, carry);
    Complete(d, c, node);
  } while (remaining);
  GivePinMutex(d);
}

VOID VcamRunCommand(CDevice* d, int medium, ULONG nCommand, ULONG nChannelIndex) {
  if (!d || medium < 0 || medium >= VCAM_MEDIA) return;
  if (!__atomic_load_n(&d->m_nVirtualCaptureDevice, __ATOMIC_RELAXED)) return;
  if (nCommand > VCAM_COMMAND_DETACH) return;
  TakeMediumLock(d, medium);
  switch (nCommand) {
    case VCAM_COMMAND_ATTACH:
      VcamAttach(d, medium, nChannelIndex);
      break;
    case VCAM_COMMAND_PUSH:
      if (medium == VCAM_VIDEO)
        VcamPushVideo(d);
      else
        VcamPushAudio(d);
      break;
    case VCAM_COMMAND_DETACH:
      VcamDetach(d, medium);
      break;
  }
  GiveMediumLock(d, medium);
}
