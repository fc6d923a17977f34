// The encoder filter's output pin. Its pins only count themselves in the device's table;
// any format its intersection accepts is taken unchanged.
#pragma once

#include "driver/streaming/pin_context.h"
#include "platform/ks/ks.h"

class CEncoderPin {
 public:
  static NTSTATUS Create(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS Close(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState);
  static NTSTATUS IntersectHandler(PVOID pContext, PIRP pIrp, PKSP_PIN pPin, PKSDATARANGE pCallerRange,
                                   PKSDATARANGE pDescriptorRange, ULONG nBufferSize, PVOID pData, PULONG pDataSize);
};

// Counting tables of pins that take no slot: a new pin goes in front and the last entry
// drops out; a closing pin takes the front entry out, whichever pin it is.
void PushFrontPin(PKSPIN* pTable, ULONG nEntries, PKSPIN pKsPin);
void PopFrontPin(PKSPIN* pTable, ULONG nEntries);
BOOLEAN PinTableFull(PKSPIN const* pTable, ULONG nEntries);
