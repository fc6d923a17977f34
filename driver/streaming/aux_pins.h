// Three pin types whose dispatch tables no filter of this build lists: the VBI capture
// pin, the auxiliary video pin and the auxiliary stream pin.
#pragma once

#include "driver/streaming/pin_context.h"
#include "platform/ks/ks.h"

// A VBI format: the data-format header and the VBI information header.
typedef struct tagKS_DATAFORMAT_VBIINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VBIINFOHEADER VBIInfoHeader;
} KS_DATAFORMAT_VBIINFOHEADER, *PKS_DATAFORMAT_VBIINFOHEADER;
static_assert(sizeof(KS_DATAFORMAT_VBIINFOHEADER) == 112);

class CVbiCapturePin {
 public:
  static NTSTATUS Create(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS Close(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS SetDataFormat(PKSPIN pKsPin, PKSDATAFORMAT pOldFormat, PKSMULTIPLE_ITEM pOldAttributeList,
                                const KSDATARANGE* pDataRange, const KSATTRIBUTE_LIST* pAttributeRange);
  static NTSTATUS SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState);
};

class CAuxVideoPin {
 public:
  static NTSTATUS Create(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS Close(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS SetDataFormat(PKSPIN pKsPin, PKSDATAFORMAT pOldFormat, PKSMULTIPLE_ITEM pOldAttributeList,
                                const KSDATARANGE* pDataRange, const KSATTRIBUTE_LIST* pAttributeRange);
};

class CAuxStreamPin {
 public:
  static NTSTATUS Create(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS Close(PKSPIN pKsPin, PIRP pIrp);
  // Consumes the frame at the leading edge unread; STATUS_SUCCESS when it was a 16-byte
  // buffer with data.
  static NTSTATUS Process(PKSPIN pKsPin);
};
