// The video capture pin's dispatch: the slot and stream index a pin takes in Create, the
// settings words and the frame-interval divider it writes for the board, the format
// checks and allocator framing of SetDataFormat, and the data intersection.
#pragma once

#include "driver/core/device.h"
#include "driver/streaming/pin_context.h"
#include "platform/ks/ks.h"

// Format groups of a video connection format, as offsets from the pin's base slot.
enum VideoFormatGroup : ULONG {
  VIDEO_GROUP_RAW = 0,
  VIDEO_GROUP_H264 = 4,  // H.264 main stream
  VIDEO_GROUP_X264 = 8,  // H.264 sub stream
};
VideoFormatGroup FormatGroupOf(USHORT biBitCount, ULONG biCompression);

// The word the three multi-channel switch resolution settings take for a picture size.
ULONG SwitchResolutionWord(LONG biWidth, LONG biHeight);

// The frame-interval divider word for a source rate S and a requested rate R (both in
// milli-frames per second): the number of frames to skip between kept ones, with the
// set-by-application flag. No skipping when R is 0 or not below S.
ULONG ComputeSkipDividerWord(ULONG S, ULONG R);
// The source rate the board delivers (S) and the rate a pin asks for (R), by the rules
// of the device's board, signal and standard.
ULONG SourceFrameRate(const CDevice* pDevice, BOOLEAN bEncoded);
ULONG RequestedFrameRate(LONGLONG nAvgTimePerFrame, ULONG nStandard);

// The set-by-application flag of the settings words pin create writes.
#define SETTINGS_WORD_SET_BY_APPLICATION 0x08000000u

class CVideoCapturePin {
 public:
  static NTSTATUS Create(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS Close(PKSPIN pKsPin, PIRP pIrp);
  static NTSTATUS SetDataFormat(PKSPIN pKsPin, PKSDATAFORMAT pOldFormat, PKSMULTIPLE_ITEM pOldAttributeList,
                                const KSDATARANGE* pDataRange, const KSATTRIBUTE_LIST* pAttributeRange);
  static NTSTATUS SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState);
  static NTSTATUS IntersectHandler(PVOID pContext, PIRP pIrp, PKSP_PIN pPin, PKSDATARANGE pCallerRange,
                                   PKSDATARANGE pDescriptorRange, ULONG nBufferSize, PVOID pData, PULONG pDataSize);
};

// Shared by the pins' SetDataFormat: makes the pin's descriptor and its allocator framing
// private copies (tag "Vamp") and returns the framing item to fill, or null.
PKS_FRAMING_ITEM EditPinFraming(PKSPIN pKsPin);
