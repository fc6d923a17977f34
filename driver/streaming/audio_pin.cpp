// The audio capture pin's dispatch routines.
#include "driver/streaming/audio_pin.h"

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/streaming/capture_filter.h"
#include "driver/streaming/capture_pin.h"
#include "driver/streaming/video_pin.h"

namespace {

constexpr ULONG kVirtualAudioSlot = 8;
constexpr ULONG kAudioPinSlots = sizeof(CDevice::m_pAudioPin) / sizeof(PKSPIN);
constexpr ULONG kAudioFrames = 25;
constexpr ULONG kAudioFrameBytes = 65536;

// The wave format of a connection format, or null when the format is too short for one.
const WAVEFORMATEX* WaveFormatOf(const KSDATAFORMAT* f) {
  if (!f || f->FormatSize < AUDIO_FORMAT_BYTES) return nullptr;
  return reinterpret_cast<const WAVEFORMATEX*>(reinterpret_cast<const UCHAR*>(f) + sizeof(KSDATAFORMAT));
}

const KSDATARANGE_AUDIO* AudioRangeOf(const KSDATARANGE* r) {
  if (!r || r->FormatSize < sizeof(KSDATARANGE_AUDIO)) return nullptr;
  return reinterpret_cast<const KSDATARANGE_AUDIO*>(r);
}

}  // namespace

NTSTATUS CAudioCapturePin::Create(PKSPIN pKsPin, PIRP pIrp) {
  // KS runs SetDataFormat first, which refuses short formats; this is the second look.
  const WAVEFORMATEX* wave = WaveFormatOf(pKsPin->ConnectionFormat);
  if (!wave) return STATUS_NO_MATCH;
  PinOwner owner;
  if (!NT_SUCCESS(FindPinOwner(pIrp, TRUE, &owner))) return STATUS_DEVICE_NOT_CONNECTED;
  CDevice* dev = owner.pDevice;
  FilterContext* fc = owner.pFilterContext;

  ExAcquireFastMutex(&dev->m_PinMutex);
  ULONG slot =
      fc->nKind == FILTER_KIND_VIRTUAL_AUDIO && dev->m_nVirtualCaptureDevice ? kVirtualAudioSlot : fc->nChannel;
  if (dev->m_nInstancesPossible) {
    slot = 4;
    for (ULONG s = 0; s < 4 && slot == 4; s++)
      if (!dev->m_pAudioPin[s]) slot = s;
    if (slot == 4) {
      ExReleaseFastMutex(&dev->m_PinMutex);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (slot >= kAudioPinSlots || dev->m_pAudioPin[slot]) {
    ExReleaseFastMutex(&dev->m_PinMutex);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* ctx =
      static_cast<AudioPinContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(AudioPinContext), kPinContextTag));
  if (!ctx) {
    ExReleaseFastMutex(&dev->m_PinMutex);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(ctx, sizeof(*ctx));
  if (dev->m_nAnalogAudioDirectSoundPatch)
    DbgPrint("[DIRECTSOUND][ %d, %d, %d ]", wave->nChannels, wave->wBitsPerSample, wave->nSamplesPerSec);
  ctx->pKsDeviceCopy = ctx->pKsDevice = owner.pKsDevice;
  ctx->pKsFilterCopy = ctx->pKsFilter = owner.pKsFilter;
  ctx->pKsPinCopy = ctx->pKsPin = pKsPin;
  ctx->nChannels = wave->nChannels;
  ctx->nBitsPerSample = wave->wBitsPerSample;
  ctx->nSamplesPerSec = wave->nSamplesPerSec;
  ctx->pWorkBuffer =
      static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, AUDIO_WORK_BUFFER_BYTES, kPinWorkBufferTag));
  ctx->bResync = 1;
  pKsPin->Context = ctx;
  dev->m_pAudioPin[slot] = pKsPin;
  ctx->nStreamIndex = slot + STREAM_INDEX_FIRST_AUDIO;

  ctx->nParam = wave->nChannels == 2 ? 1024 : 512;
  if (IsBoardKind(dev->m_pPciIdentity, BOARD_KIND_I) || IsBoardKind(dev->m_pPciIdentity, BOARD_KIND_J)) {
    // 50 ms of audio per block, as the format states its byte rate; a rate that gives no
    // block, or a block no buffer could hold, keeps the default.
    const ULONG block = wave->nAvgBytesPerSec / 20;
    if (block != 0 && block <= kAudioFrameBytes) ctx->nParam = block;
  }
  ExReleaseFastMutex(&dev->m_PinMutex);

  if (!ctx->pWorkBuffer) {
    Close(pKsPin, pIrp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CAudioCapturePin::Close(PKSPIN pKsPin, PIRP pIrp) {
  auto* ctx = static_cast<AudioPinContext*>(pKsPin->Context);
  if (!ctx) return STATUS_SUCCESS;
  CDevice* dev = DeviceOf(ctx->pKsDevice);
  ExAcquireFastMutex(&dev->m_PinMutex);
  if (ctx->pWorkBuffer) ExFreePool(ctx->pWorkBuffer);
  const ULONG slot = ctx->nStreamIndex - STREAM_INDEX_FIRST_AUDIO;
  if (slot < kAudioPinSlots && dev->m_pAudioPin[slot] == pKsPin) dev->m_pAudioPin[slot] = nullptr;
  ExFreePool(ctx);
  pKsPin->Context = nullptr;
  ExReleaseFastMutex(&dev->m_PinMutex);
  return STATUS_SUCCESS;
}

NTSTATUS CAudioCapturePin::SetDataFormat(PKSPIN pKsPin, PKSDATAFORMAT pOldFormat, PKSMULTIPLE_ITEM pOldAttributeList,
                                         const KSDATARANGE* pDataRange, const KSATTRIBUTE_LIST* pAttributeRange) {
  if (pKsPin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  const KSDATAFORMAT* format = pKsPin->ConnectionFormat;
  const WAVEFORMATEX* wave = WaveFormatOf(format);
  const KSDATARANGE_AUDIO* range = AudioRangeOf(pDataRange);
  if (!wave || !range) return STATUS_NO_MATCH;
  if (pDataRange->MajorFormat != format->MajorFormat || pDataRange->SubFormat != format->SubFormat ||
      pDataRange->Specifier != format->Specifier || wave->nChannels != range->MaximumChannels ||
      wave->nSamplesPerSec < range->MinimumSampleFrequency || wave->nSamplesPerSec > range->MaximumSampleFrequency ||
      wave->wBitsPerSample < range->MinimumBitsPerSample || wave->wBitsPerSample > range->MaximumBitsPerSample)
    return STATUS_NO_MATCH;
  PKS_FRAMING_ITEM item = EditPinFraming(pKsPin);
  if (!item) return STATUS_UNSUCCESSFUL;
  item->Frames = kAudioFrames;
  item->PhysicalRange = {kAudioFrameBytes, kAudioFrameBytes, 0};
  item->FramingRange.Range = {kAudioFrameBytes, kAudioFrameBytes, 0};
  return STATUS_SUCCESS;
}

NTSTATUS CAudioCapturePin::SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState) {
  const NTSTATUS status = CCapturePin::SetDeviceState(pKsPin, ToState, FromState);
  auto* ctx = static_cast<AudioPinContext*>(pKsPin->Context);
  if (!ctx) return status;
  if (ToState != KSSTATE_RUN) {
    // The virtual camera's push writes the carry (the first transfer word) and the time
    // state under the pin mutex: they are reset under it.
    CDevice* dev = DeviceOf(ctx->pKsDevice);
    ExAcquireFastMutex(&dev->m_PinMutex);
    RtlZeroMemory(ctx->aTransferState, sizeof(ctx->aTransferState));
    ctx->nTransferFlag = 0;
    ctx->nLastPresentationTime = 0;
    ctx->nTimeRemainder = 0;
    ctx->nSnappedRate = 0;
    ctx->nSnapHoldCount = 0;
    ctx->nDriftCount = 0;
    ctx->bResync = 1;
    ExReleaseFastMutex(&dev->m_PinMutex);
    dev->m_nAnalogVideoTotalOutputFrames = 0;
    dev->m_nAnalogAudioTotalOutputFrames = 0;
    dev->m_nAnalogAudioTotalOutputBytes = 0;
  }
  if (ToState == KSSTATE_PAUSE && (FromState == KSSTATE_STOP || FromState == KSSTATE_ACQUIRE)) {
    ctx->nPacketNumber = 0;
    ctx->nAudioDropCount = 0;
  }
  return status;
}

NTSTATUS CAudioCapturePin::IntersectHandler(PVOID pContext, PIRP pIrp, PKSP_PIN pPin, PKSDATARANGE pCallerRange,
                                            PKSDATARANGE pDescriptorRange, ULONG nBufferSize, PVOID pData,
                                            PULONG pDataSize) {
  const KSDATARANGE_AUDIO* caller = AudioRangeOf(pCallerRange);
  const KSDATARANGE_AUDIO* mine = AudioRangeOf(pDescriptorRange);
  if (!caller || !mine || pCallerRange->FormatSize != pDescriptorRange->FormatSize ||
      pCallerRange->MajorFormat != pDescriptorRange->MajorFormat ||
      pCallerRange->SubFormat != pDescriptorRange->SubFormat ||
      pCallerRange->Specifier != pDescriptorRange->Specifier || caller->MaximumChannels < mine->MaximumChannels ||
      caller->MaximumSampleFrequency < mine->MinimumSampleFrequency ||
      caller->MinimumSampleFrequency > mine->MaximumSampleFrequency ||
      caller->MaximumBitsPerSample < mine->MinimumBitsPerSample ||
      caller->MinimumBitsPerSample > mine->MaximumBitsPerSample)
    return STATUS_NO_MATCH;
  *pDataSize = AUDIO_FORMAT_BYTES;
  if (nBufferSize == 0) return STATUS_BUFFER_OVERFLOW;
  if (nBufferSize < AUDIO_FORMAT_BYTES) return STATUS_BUFFER_TOO_SMALL;

  auto* out = static_cast<PUCHAR>(pData);
  KSDATAFORMAT head;
  RtlCopyMemory(&head, pCallerRange, sizeof(head));
  head.FormatSize = AUDIO_FORMAT_BYTES;
  RtlCopyMemory(out, &head, sizeof(head));
  WAVEFORMATEX wave{};
  wave.wFormatTag = WAVE_FORMAT_PCM;
  wave.nChannels =
      (USHORT)(caller->MaximumChannels < mine->MaximumChannels ? caller->MaximumChannels : mine->MaximumChannels);
  wave.nSamplesPerSec = caller->MaximumSampleFrequency < mine->MaximumSampleFrequency ? caller->MaximumSampleFrequency
                                                                                      : mine->MaximumSampleFrequency;
  wave.wBitsPerSample =
      (USHORT)(caller->MaximumBitsPerSample < mine->MaximumBitsPerSample ? caller->MaximumBitsPerSample
                                                                         : mine->MaximumBitsPerSample);
  wave.cbSize = 0;
  wave.nBlockAlign = (USHORT)(wave.wBitsPerSample * wave.nChannels / 8);
  wave.nAvgBytesPerSec = wave.nBlockAlign * wave.nSamplesPerSec;
  RtlCopyMemory(out + sizeof(KSDATAFORMAT), &wave, sizeof(wave));
  return STATUS_SUCCESS;
}
