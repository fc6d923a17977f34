// The audio capture pin's dispatch: slot and stream index, format acceptance, allocator
// framing and the data intersection of both audio capture filters.
#pragma once

#include "driver/streaming/pin_context.h"
#include "platform/ks/ks.h"

// Bytes of the data-format header and the packed wave format an audio format takes.
#define AUDIO_FORMAT_BYTES (sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
static_assert(AUDIO_FORMAT_BYTES == 82);

class CAudioCapturePin {
 public:
  static NTSTATUS Create(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS Close(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS SetDataFormat(PKSPIN pKsPin, PKSDATAFORMAT pOldFormat, PKSMULTIPLE_ITEM pOldAttributeList,
                                const KSDATARANGE* pDataRange, const KSATTRIBUTE_LIST* pAttributeRange);
  static NTSTATUS SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState);
  static NTSTATUS IntersectHandler(PVOID pContext, PIRP pIrp, PKSP_PIN pPin, PKSDATARANGE pCallerRange,
                                   PKSDATARANGE pDescriptorRange, ULONG nBufferSize, PVOID pData, PULONG pDataSize);
};
