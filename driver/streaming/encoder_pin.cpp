// The encoder output pin's dispatch routines.
#include "driver/streaming/encoder_pin.h"

#include "driver/core/device.h"
#include "driver/streaming/capture_filter.h"
#include "driver/streaming/capture_pin.h"

namespace {

constexpr ULONG kEncoderPinEntries = 4;
constexpr ULONG kEncoderStreamIndex = 4;  // the H.264 main stream of channel index 0
constexpr ULONG kEncoderBlockBytes = 0x8000;

}  // namespace

void PushFrontPin(PKSPIN* pTable, ULONG nEntries, PKSPIN pKsPin) {
  for (ULONG i = nEntries - 1; i > 0; i--) pTable[i] = pTable[i - 1];
  pTable[0] = pKsPin;
}

void PopFrontPin(PKSPIN* pTable, ULONG nEntries) {
  for (ULONG i = 0; i + 1 < nEntries; i++) pTable[i] = pTable[i + 1];
  pTable[nEntries - 1] = nullptr;
}

BOOLEAN PinTableFull(PKSPIN const* pTable, ULONG nEntries) {
  for (ULONG i = 0; i < nEntries; i++)
    if (!pTable[i]) return FALSE;
  return TRUE;
}

NTSTATUS CEncoderPin::Create(PKSPIN pKsPin, PIRP pIrp) {
  PinOwner owner;
  if (!NT_SUCCESS(FindPinOwner(pIrp, FALSE, &owner))) return STATUS_DEVICE_NOT_CONNECTED;
  CDevice* dev = owner.pDevice;
  if (PinTableFull(dev->m_pEncoderPin, kEncoderPinEntries)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* ctx =
      static_cast<EncoderPinContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(EncoderPinContext), kPinContextTag));
  if (!ctx) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(ctx, sizeof(*ctx));
  ctx->pKsDeviceCopy = ctx->pKsDevice = owner.pKsDevice;
  ctx->pKsFilterCopy = ctx->pKsFilter = owner.pKsFilter;
  ctx->pKsPinCopy = ctx->pKsPin = pKsPin;
  // The pin runs on without a work buffer.
  ctx->pWorkBuffer = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPoolCacheAligned, ENCODER_WORK_BUFFER_BYTES, kPinWorkBufferTag));
  ctx->bResync = 1;
  ctx->nStreamIndex = kEncoderStreamIndex;
  ctx->nParam = kEncoderBlockBytes;
  // The H.264 delivery writes the frame information after the stream header.
  pKsPin->StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
  pKsPin->Context = ctx;
  PushFrontPin(dev->m_pEncoderPin, kEncoderPinEntries, pKsPin);
  return STATUS_SUCCESS;
}

NTSTATUS CEncoderPin::Close(PKSPIN pKsPin, PIRP pIrp) {
  auto* ctx = static_cast<EncoderPinContext*>(pKsPin->Context);
  if (!ctx) return STATUS_SUCCESS;
  if (ctx->pWorkBuffer) ExFreePool(ctx->pWorkBuffer);
  PopFrontPin(DeviceOf(ctx->pKsDevice)->m_pEncoderPin, kEncoderPinEntries);
  ExFreePool(ctx);
  pKsPin->Context = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS CEncoderPin::SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState) {
  const NTSTATUS status = CCapturePin::SetDeviceState(pKsPin, ToState, FromState);
  auto* ctx = static_cast<EncoderPinContext*>(pKsPin->Context);
  if (ctx && ToState != KSSTATE_RUN) {
    ctx->bResync = 1;
    // The encoder's transfer state is three words.
    for (int i = 0; i < 3; i++) ctx->aTransferState[i] = 0;
    ctx->nTransferFlag = 0;
    ctx->nLastPresentationTime = 0;
  }
  return status;
}

NTSTATUS CEncoderPin::IntersectHandler(PVOID pContext, PIRP pIrp, PKSP_PIN pPin, PKSDATARANGE pCallerRange,
                                       PKSDATARANGE pDescriptorRange, ULONG nBufferSize, PVOID pData,
                                       PULONG pDataSize) {
  if (!pCallerRange || !pDescriptorRange || pCallerRange->MajorFormat != pDescriptorRange->MajorFormat ||
      pCallerRange->SubFormat != pDescriptorRange->SubFormat ||
      pCallerRange->Specifier != pDescriptorRange->Specifier ||
      pCallerRange->FormatSize != pDescriptorRange->FormatSize)
    return STATUS_NO_MATCH;
  *pDataSize = sizeof(KSDATAFORMAT);
  if (nBufferSize == 0) return STATUS_BUFFER_OVERFLOW;
  if (nBufferSize < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(pData, pCallerRange, sizeof(KSDATAFORMAT));
  return STATUS_SUCCESS;
}
