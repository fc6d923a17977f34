// The encoder board's per-device state block (non-paged pool, pointed to by
// m_pBoardState), zero-filled when it is allocated.
#pragma once

#include "driver/hardware/mailbox.h"
#include "platform/kernel/ntdef.h"

struct BoardState {
  // What the frame clocks run at: the signal as it was when the encoder was last started.
  ULONG nClockWidth;
  ULONG nClockHeight;     // frame height (twice the field height when interlaced)
  ULONG nClockFrameRate;  // frame rate (half the field rate when interlaced)
  ULONG bClockFractional;
  ULONG bClockHighRate;
  ULONG nClockAudioRate;
  // The input as the monitor thread detected it (per field for field formats).
  ULONG nSignalWidth;
  ULONG nSignalHeight;
  ULONG nSignalFrameRate;
  ULONG bSignalFractional;
  ULONG bSignalInterlaced;
  ULONG nSignalColorimetry;
  ULONG nSignalRange;
  ULONG bFormatChanged;
  ULONG nSignalAudioRate;
  // Shadows of the GPIO output and direction registers, which are never read back.
  ULONG nGpioBDirection;
  ULONG nGpioBOutput;
  ULONG nGpioADirection;
  ULONG nGpioAOutput;
  // Transfer path: the acknowledgement to send when the transfer ends, its progress,
  // and the preview picture description (bring-up clears nChunkWords..nPreviewParity).
  VENDOR_COMMAND PendingAck;
  ULONG nChunkWords;
  ULONG nTotalWords;
  ULONG nRemainingWords;
  ULONG nCurrentChunkWords;
  ULONG nPreviewWidth;
  ULONG nPreviewHeight;
  ULONG bPreviewField;
  ULONG nPreviewParity;
  // Rate-control slots: 0 main stream, 1 sub stream.
  ULONG nEncGopLength[2];
  ULONG nEncRateControlMode[2];
  ULONG nEncInitialQp[2];
  ULONG nEncQp[2];
  ULONG nEncTargetFrameBits[2];
  ULONG nEncFrameSizeRing[2][256];
  ULONG nEncRingIndex[2];
  ULONGLONG nEncRingSum[2];
  ULONG nEncBaseQp[2];
  ULONG nEncQpHoldCount[2];
  // Set while firmware chunks go out (under the DPC lock): the core is held in its boot
  // loader then, so every transfer-done is a chunk's and a response can only be one the
  // core raised before its reset (its status bits survive the reset).
  ULONG bFirmwareDownload;
};
