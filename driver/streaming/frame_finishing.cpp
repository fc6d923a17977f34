// Finishing of the buffers the virtual camera pushes: time stamps, stream header and, for
// pins other than the virtual one, the frame built from the bounce frame buffers.
#include "driver/core/device.h"
#include "driver/streaming/capture_pin.h"

VOID CDevice::CopyFrameBytes(PVOID pDestination, const VOID* pSource, SIZE_T nLength) {
  RtlMoveMemory(pDestination, pSource, nLength);
}

VOID CDevice::FillBlankYuy2(PVOID pDestination, SIZE_T nLength) {
  auto* p = static_cast<PUCHAR>(pDestination);
  for (SIZE_T i = 0; i + 1 < nLength; i += 2) {
    p[i] = 0x80;
    p[i + 1] = 0x00;
  }
}

// Interim: the buffer keeps what the push wrote.
ULONG CCapturePin::FillVideoFrame(PinContext*, PUCHAR, ULONG, ULONG, PUCHAR pData, ULONG nFrameExtent, ULONGLONG,
                                  UCHAR, PKSSTREAM_HEADER pStreamHeader) {
  if (pStreamHeader) pStreamHeader->DataUsed = pData ? nFrameExtent : 0;
  return 0;
}

// Interim: the buffer keeps what the push wrote.
ULONG CCapturePin::FillAudioFrame(PinContext*, PUCHAR, ULONG, ULONG, PUCHAR pData, ULONG nFrameExtent, ULONGLONG,
                                  UCHAR, PKSSTREAM_HEADER pStreamHeader) {
  if (pStreamHeader) pStreamHeader->DataUsed = pData ? nFrameExtent : 0;
  return 0;
}
