// The streaming core every streaming pin shares: the KS Process callback that queues each
// buffer, the state-change core with its four steps, the worker thread that finishes
// completed buffers, and the three delivery routines that stamp and finish them.
#pragma once

#include "driver/streaming/pin_context.h"
#include "platform/kernel/kernel.h"
#include "platform/ks/ks.h"

class CDevice;

// The device a pin belongs to, or null when the pin or its KS device has none.
inline CDevice* DeviceOfPin(const PinContext* c) {
  return c && c->pKsDevice ? static_cast<CDevice*>(c->pKsDevice->Context) : nullptr;
}

class CCapturePin {
 public:
  // KS Process dispatch of every streaming pin: clones the leading edge for each queued
  // buffer and hands it to the board side.
  static NTSTATUS Process(PKSPIN pKsPin);

  // The state-change core the pin kinds' SetDeviceState routines call first; always
  // STATUS_SUCCESS.
  static NTSTATUS SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState);

  static NTSTATUS OnAcquire(PinContext* pContext, PKSPIN pKsPin);
  static NTSTATUS OnRun(PinContext* pContext, PKSPIN pKsPin);
  static NTSTATUS OnPause(PinContext* pContext, PKSPIN pKsPin);
  static NTSTATUS OnStop(PinContext* pContext, PKSPIN pKsPin);

  // Real-time system thread of a running pin: one pass per completed buffer.
  static VOID WorkerThread(PVOID pContext);

  // Delivery routines by stream-index class. Arguments: the pin's context, the frame
  // address the transfer path recorded, its byte count (all ones: completed without
  // input), the pin parameter, the stream header's Data and FrameExtent, the picture
  // number that came with the frame, the flush flag and the stream header. They return 0.
  static ULONG DeliverVideoFrame(PinContext* pContext, PUCHAR pFrame, ULONG nLength, ULONG nParam, PUCHAR pData,
                                 ULONG nFrameExtent, ULONGLONG nPictureNumber, UCHAR nFlush,
                                 PKSSTREAM_HEADER pStreamHeader);
  static ULONG DeliverH264Frame(PinContext* pContext, PUCHAR pFrame, ULONG nLength, ULONG nParam, PUCHAR pData,
                                ULONG nFrameExtent, ULONGLONG nPictureNumber, UCHAR nFlush,
                                PKSSTREAM_HEADER pStreamHeader);
  static ULONG DeliverAudioFrame(PinContext* pContext, PUCHAR pFrame, ULONG nLength, ULONG nParam, PUCHAR pData,
                                 ULONG nFrameExtent, ULONGLONG nPictureNumber, UCHAR nFlush,
                                 PKSSTREAM_HEADER pStreamHeader);

  // Finishing of buffers the virtual camera's push took from the pin's queue, with the
  // delivery routines' arguments: the video frame keeps the bytes the push copied (or is
  // built from the bounce frame buffers for pins other than the virtual one), the audio
  // buffer is filled from the board's audio ring. They return 0.
  static ULONG FillVideoFrame(PinContext* pContext, PUCHAR pFrame, ULONG nLength, ULONG nParam, PUCHAR pData,
                              ULONG nFrameExtent, ULONGLONG nPictureNumber, UCHAR nFlush,
                              PKSSTREAM_HEADER pStreamHeader);
  static ULONG FillAudioFrame(PinContext* pContext, PUCHAR pFrame, ULONG nLength, ULONG nParam, PUCHAR pData,
                              ULONG nFrameExtent, ULONGLONG nPictureNumber, UCHAR nFlush,
                              PKSSTREAM_HEADER pStreamHeader);

  // System thread of one multi-sync tile (a StripeJob, frame_finishing.h): interleaves the
  // tile's planes into its place in the frame, then ends.
  static VOID InterleaveStripeThread(PVOID pJob);
};
