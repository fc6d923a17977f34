// The VBI capture pin and the two auxiliary pins.
#include "driver/streaming/aux_pins.h"

#include "driver/core/device.h"
#include "driver/streaming/capture_filter.h"
#include "driver/streaming/capture_pin.h"
#include "driver/streaming/encoder_pin.h"
#include "driver/streaming/video_pin.h"

namespace {

constexpr ULONG kVbiPinEntries = 8;
constexpr ULONG kRenderPinEntries = 4;
constexpr ULONG kVbiStreamIndex = 3;
constexpr ULONG kVbiFrames = 8;
constexpr ULONG kVbiStreamHeaderBytes = 144;
constexpr ULONG kVbiSampleSizes[] = {17280, 18720, 23040, 24480, 25920};
constexpr ULONG kStandards525 = 0xA07;
constexpr ULONG kStandards625 = 0x1FF5F0;
constexpr LONGLONG kAuxFrameIntervals[] = {333330, 333333, 333340, 333667, 400000};
constexpr ULONG kAuxStreamFrameBytes = 16;

const KS_DATAFORMAT_VBIINFOHEADER* VbiFormatOf(const KSDATAFORMAT* f) {
  if (!f || f->FormatSize < sizeof(KS_DATAFORMAT_VBIINFOHEADER)) return nullptr;
  return reinterpret_cast<const KS_DATAFORMAT_VBIINFOHEADER*>(f);
}

const KS_DATAFORMAT_VIDEOINFOHEADER* VideoFormatOf(const KSDATAFORMAT* f) {
  if (!f || f->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return nullptr;
  return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(f);
}

BOOLEAN SameFormatGuids(const KSDATARANGE* r, const KSDATAFORMAT* f) {
  return r->MajorFormat == f->MajorFormat && r->SubFormat == f->SubFormat && r->Specifier == f->Specifier;
}

PUCHAR AllocateWorkBuffer(ULONG bytes) {
  return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, bytes, kPinWorkBufferTag));
}

}  // namespace

// ---- VBI capture pin ----------------------------------------------------------------

NTSTATUS CVbiCapturePin::Create(PKSPIN pKsPin, PIRP pIrp) {
  const KSDATAFORMAT* format = pKsPin->ConnectionFormat;
  if (!format) return STATUS_NO_MATCH;
  PinOwner owner;
  if (!NT_SUCCESS(FindPinOwner(pIrp, FALSE, &owner))) return STATUS_DEVICE_NOT_CONNECTED;
  CDevice* dev = owner.pDevice;
  if (PinTableFull(dev->m_pVbiPin, kVbiPinEntries)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* ctx = static_cast<VbiPinContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(VbiPinContext), kPinContextTag));
  if (!ctx) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(ctx, sizeof(*ctx));
  ctx->pKsDeviceCopy = ctx->pKsDevice = owner.pKsDevice;
  ctx->pKsFilterCopy = ctx->pKsFilter = owner.pKsFilter;
  ctx->pKsPinCopy = ctx->pKsPin = pKsPin;
  ctx->nSampleBytes = format->SampleSize;
  ctx->pVbiBuffer[0] = AllocateWorkBuffer(VIDEO_WORK_BUFFER_BYTES);
  ctx->pVbiBuffer[1] = AllocateWorkBuffer(VIDEO_WORK_BUFFER_BYTES);
  ctx->bVbiResync = 1;
  ctx->bResync = 1;
  ctx->nStreamIndex = kVbiStreamIndex;
  pKsPin->Context = ctx;
  PushFrontPin(dev->m_pVbiPin, kVbiPinEntries, pKsPin);
  if (format->SubFormat == KSDATAFORMAT_SUBTYPE_RAW8) pKsPin->StreamHeaderSize = kVbiStreamHeaderBytes;
  for (ULONG size : kVbiSampleSizes)
    if (format->SampleSize == size) ctx->nParam = size;
  // Only the sample sizes of the known line layouts get a sample buffer.
  if (ctx->nParam) ctx->pSampleBuffer = AllocateWorkBuffer(ctx->nParam);
  if ((ctx->nParam && !ctx->pSampleBuffer) || !ctx->pVbiBuffer[0] || !ctx->pVbiBuffer[1]) {
    Close(pKsPin, pIrp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CVbiCapturePin::Close(PKSPIN pKsPin, PIRP pIrp) {
  auto* ctx = static_cast<VbiPinContext*>(pKsPin->Context);
  if (!ctx) return STATUS_SUCCESS;
  for (PUCHAR b : {ctx->pVbiBuffer[0], ctx->pVbiBuffer[1], ctx->pSampleBuffer})
    if (b) ExFreePool(b);
  PopFrontPin(DeviceOf(ctx->pKsDevice)->m_pVbiPin, kVbiPinEntries);
  ExFreePool(ctx);
  pKsPin->Context = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS CVbiCapturePin::SetDataFormat(PKSPIN pKsPin, PKSDATAFORMAT pOldFormat, PKSMULTIPLE_ITEM pOldAttributeList,
                                       const KSDATARANGE* pDataRange, const KSATTRIBUTE_LIST* pAttributeRange) {
  if (pKsPin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  const KS_DATAFORMAT_VBIINFOHEADER* format = VbiFormatOf(pKsPin->ConnectionFormat);
  if (!format || !pDataRange || pDataRange->FormatSize < sizeof(KS_DATARANGE_VIDEO_VBI)) return STATUS_NO_MATCH;
  const KS_VBIINFOHEADER& want = reinterpret_cast<const KS_DATARANGE_VIDEO_VBI*>(pDataRange)->VBIInfoHeader;
  const KS_VBIINFOHEADER& got = format->VBIInfoHeader;
  CDevice* dev = DeviceOf(KsGetDevice(pKsPin));
  const ULONG standard = dev ? dev->m_nAnalogVideoDecoderStandard : 0;
  if (!SameFormatGuids(pDataRange, &format->DataFormat) || want.StartLine != got.StartLine ||
      want.EndLine != got.EndLine || want.SamplingFrequency != got.SamplingFrequency ||
      want.SamplesPerLine != got.SamplesPerLine ||
      ((standard & kStandards525) && !(got.VideoStandard & kStandards525)) ||
      ((standard & kStandards625) && !(got.VideoStandard & kStandards625)))
    return STATUS_NO_MATCH;
  PKS_FRAMING_ITEM item = EditPinFraming(pKsPin);
  if (!item) return STATUS_UNSUCCESSFUL;
  item->Frames = kVbiFrames;
  item->PhysicalRange = {got.BufferSize, got.BufferSize, 0};
  item->FramingRange.Range = {got.BufferSize, got.BufferSize, 0};
  return STATUS_SUCCESS;
}

NTSTATUS CVbiCapturePin::SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState) {
  const NTSTATUS status = CCapturePin::SetDeviceState(pKsPin, ToState, FromState);
  auto* ctx = static_cast<VbiPinContext*>(pKsPin->Context);
  if (!ctx) return status;
  if (ToState != KSSTATE_RUN) {
    RtlZeroMemory(ctx->aTransferState, sizeof(ctx->aTransferState));
    ctx->aVbiTransferState = 0;
    ctx->nTransferFlag = 0;
    ctx->nLastPresentationTime = 0;
    ctx->bResync = 1;
    ctx->bVbiResync = 1;
  }
  if (ToState == KSSTATE_PAUSE && (FromState == KSSTATE_STOP || FromState == KSSTATE_ACQUIRE)) {
    ctx->nVbiFrameCount = 0;
    ctx->nVbiDropCount = 0;
  }
  return status;
}

// ---- auxiliary video pin ------------------------------------------------------------

NTSTATUS CAuxVideoPin::Create(PKSPIN pKsPin, PIRP pIrp) {
  const KS_DATAFORMAT_VIDEOINFOHEADER* format = VideoFormatOf(pKsPin->ConnectionFormat);
  if (!format) return STATUS_NO_MATCH;
  PinOwner owner;
  if (!NT_SUCCESS(FindPinOwner(pIrp, FALSE, &owner))) return STATUS_DEVICE_NOT_CONNECTED;
  CDevice* dev = owner.pDevice;
  if (PinTableFull(dev->m_pRenderPin, kRenderPinEntries)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* ctx =
      static_cast<AuxVideoContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(AuxVideoContext), kPinContextTag));
  if (!ctx) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(ctx, sizeof(*ctx));
  const KS_BITMAPINFOHEADER& bmi = format->VideoInfoHeader.bmiHeader;
  ctx->nFourCC = bmi.biCompression;
  ctx->nWidth = (ULONG)bmi.biWidth;
  ctx->nHeight = (ULONG)bmi.biHeight;
  ctx->nBitCount = bmi.biBitCount;
  ctx->nFrameBytes = ctx->nHeight * ctx->nBitCount * ctx->nWidth / 8;
  ctx->pKsDevice = owner.pKsDevice;
  ctx->pKsFilter = owner.pKsFilter;
  ctx->pKsPin = pKsPin;
  if (bmi.biCompression == MakeFourCC("CXF1"))
    dev->m_nEncoderVideoFormat[0] = 0;
  else if (bmi.biCompression == MakeFourCC("CXF2"))
    dev->m_nEncoderVideoFormat[0] = 1;
  else if (bmi.biCompression == MakeFourCC("NONE"))
    dev->m_nEncoderVideoFormat[0] = 255;
  dev->m_nEncoderVideoResolution[0] = (ULONG)bmi.biWidth;
  pKsPin->Context = ctx;
  PushFrontPin(dev->m_pRenderPin, kRenderPinEntries, pKsPin);
  return STATUS_SUCCESS;
}

NTSTATUS CAuxVideoPin::Close(PKSPIN pKsPin, PIRP pIrp) {
  auto* ctx = static_cast<AuxVideoContext*>(pKsPin->Context);
  if (!ctx) return STATUS_SUCCESS;
  PopFrontPin(DeviceOf(ctx->pKsDevice)->m_pRenderPin, kRenderPinEntries);
  ExFreePool(ctx);
  pKsPin->Context = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS CAuxVideoPin::SetDataFormat(PKSPIN pKsPin, PKSDATAFORMAT pOldFormat, PKSMULTIPLE_ITEM pOldAttributeList,
                                     const KSDATARANGE* pDataRange, const KSATTRIBUTE_LIST* pAttributeRange) {
  if (pKsPin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  const KS_DATAFORMAT_VIDEOINFOHEADER* format = VideoFormatOf(pKsPin->ConnectionFormat);
  if (!format || !pDataRange || pDataRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return STATUS_NO_MATCH;
  const KS_BITMAPINFOHEADER& want = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pDataRange)->VideoInfoHeader.bmiHeader;
  const KS_BITMAPINFOHEADER& got = format->VideoInfoHeader.bmiHeader;
  if (!SameFormatGuids(pDataRange, &format->DataFormat) || want.biWidth != got.biWidth ||
      want.biHeight != got.biHeight || want.biSizeImage != got.biSizeImage || want.biCompression != got.biCompression)
    return STATUS_NO_MATCH;
  for (LONGLONG interval : kAuxFrameIntervals)
    if (format->VideoInfoHeader.AvgTimePerFrame == interval) return STATUS_SUCCESS;
  return STATUS_NO_MATCH;
}

// ---- auxiliary stream pin -----------------------------------------------------------

NTSTATUS CAuxStreamPin::Create(PKSPIN pKsPin, PIRP pIrp) {
  PinOwner owner;
  if (!NT_SUCCESS(FindPinOwner(pIrp, FALSE, &owner))) return STATUS_DEVICE_NOT_CONNECTED;
  auto* ctx =
      static_cast<AuxStreamContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(AuxStreamContext), kPinContextTag));
  if (!ctx) return STATUS_INSUFFICIENT_RESOURCES;
  ctx->pKsDevice = owner.pKsDevice;
  ctx->pKsFilter = owner.pKsFilter;
  ctx->pKsPin = pKsPin;
  pKsPin->Context = ctx;
  return STATUS_SUCCESS;
}

NTSTATUS CAuxStreamPin::Close(PKSPIN pKsPin, PIRP pIrp) {
  if (pKsPin->Context) ExFreePool(pKsPin->Context);
  pKsPin->Context = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS CAuxStreamPin::Process(PKSPIN pKsPin) {
  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pKsPin, KSSTREAM_POINTER_STATE_LOCKED);
  if (!edge) return STATUS_UNSUCCESSFUL;
  const PKSSTREAM_HEADER header = edge->StreamHeader;
  const NTSTATUS status =
      header && header->FrameExtent == kAuxStreamFrameBytes && header->Data ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  KsStreamPointerUnlock(edge, FALSE);
  KsStreamPointerAdvance(edge);
  return status;
}
