// Live delivery: the worker thread finishes every buffer the board side completed through
// the routine of its stream-index class. Each stamps the buffer from the pin's reference
// clock, sets its flags and byte count, and draws or clears what came without input; the
// H.264 routine also steers the encoder's quantiser in the average-bit-rate mode.
#include "driver/streaming/delivery.h"

#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/firmware.h"
#include "driver/hardware/mailbox.h"
#include "driver/streaming/capture_pin.h"
#include "driver/streaming/timestamps.h"

namespace {

constexpr ULONG kNoInput = 0xFFFFFFFFu;

// Shared by every H.264 stream but the main one: one lock per rate-control slot keeps
// the ring and its sum in step.
KSPIN_LOCK g_RateControlLock[2];

ULONG Load(const ULONG& word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }

SignalTiming SignalOf(CDevice* d) {
  SignalTiming s = {};
  s.nFrameRate = Load(d->m_nAnalogVideoFrameRate);
  s.bInterlaced = Load(d->m_nAnalogVideoInterleaved);
  s.nStandard = Load(d->m_nAnalogVideoDecoderStandard);
  if (const BoardState* b = d->m_pBoardState) {
    s.nWidth = Load(b->nSignalWidth);
    s.nHeight = Load(b->nSignalHeight);
    s.nSignalFrameRate = Load(b->nSignalFrameRate);
    s.bFractional = Load(b->bSignalFractional);
  }
  return s;
}

// Time and duration of a video or H.264 buffer; FALSE without a clock.
BOOLEAN StampVideo(PinContext* c, CDevice* d, LONGLONG* pTime, LONGLONG* pDuration) {
  if (!c->pClock || !d) return FALSE;
  const LONGLONG now = c->pClock->GetTime();
  const ULONGLONG interval = (ULONGLONG)now - (ULONGLONG)c->nLastClockTime;
  const LONGLONG rate = ChooseVideoRate(c, SignalOf(d), interval, LiveVideoTimestampRules);
  StampTime(c, now, rate, LiveVideoTimestampRules, pTime, pDuration);
  return TRUE;
}

}  // namespace

// ---- No-signal picture -----------------------------------------------------------------

VOID DrawNoSignalYv12(PUCHAR pData, ULONG nBytes, ULONG nWidth, ULONG nHeight, ULONG nStride) {
  if (!pData || !nBytes) return;
  const UCHAR* picture = VORLIX_NoSignalPicture();
  const ULONGLONG lumaBytes = (ULONGLONG)nStride * nHeight;
  const ULONGLONG chromaBytes = lumaBytes / 4;
  // A frame whose planes do not fit its buffer (a renderer's pitch taken over while
  // running, a buffer smaller than the format) gets one colour over the bytes it has.
  if (lumaBytes + 2 * chromaBytes > nBytes || nStride < nWidth) {
    RtlFillMemory(pData, nBytes, picture[0]);
    return;
  }
  PUCHAR cr = pData + lumaBytes;
  PUCHAR cb = cr + chromaBytes;
  RtlFillMemory(pData, (SIZE_T)lumaBytes, picture[0]);
  RtlFillMemory(cr, (SIZE_T)chromaBytes, picture[3]);
  RtlFillMemory(cb, (SIZE_T)chromaBytes, picture[1]);
  if (nWidth < NO_SIGNAL_WIDTH || nHeight < NO_SIGNAL_HEIGHT) return;

  const ULONG top = nHeight / 2 - NO_SIGNAL_HEIGHT / 2;
  const ULONG left = (nWidth - NO_SIGNAL_WIDTH) / 2;
  for (ULONG y = 0; y < NO_SIGNAL_HEIGHT; y++) {
    const UCHAR* src = picture + y * NO_SIGNAL_PICTURE_STEP;
    PUCHAR dst = pData + (ULONGLONG)(top + y) * nStride + left;
    for (ULONG i = 0; i < NO_SIGNAL_WIDTH / 2; i++) {
      dst[2 * i] = src[4 * i];
      dst[2 * i + 1] = src[4 * i + 2];
    }
  }
  const ULONG chromaStride = nStride / 2;
  const ULONGLONG chromaStart = ((ULONGLONG)top * chromaStride) / 2 + (nWidth - NO_SIGNAL_WIDTH) / 4;
  for (ULONG k = 0; k < NO_SIGNAL_HEIGHT / 2; k++) {
    const UCHAR* src = picture + 2 * k * NO_SIGNAL_PICTURE_STEP;
    const ULONGLONG row = chromaStart + (ULONGLONG)k * chromaStride;
    if (row + NO_SIGNAL_WIDTH / 2 > chromaBytes) break;
    for (ULONG i = 0; i < NO_SIGNAL_WIDTH / 2; i++) {
      cr[row + i] = src[4 * i + 3];
      cb[row + i] = src[4 * i + 1];
    }
  }
}

// ---- Quantiser adaptation ---------------------------------------------------------------

BOOLEAN AdaptQuantiser(BoardState* s, ULONG slot, ULONG nBytes, BOOLEAN bMarkerZero, ULONG* pQp) {
  if (!s || slot > 1) return FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&g_RateControlLock[slot], &irql);
  BOOLEAN send = FALSE;
  if (s->nEncRateControlMode[slot] >= 2) {
    const ULONG gop = s->nEncGopLength[slot];
    ULONG window, shift;
    if (gop >= 30) {
      window = 256, shift = 8;
    } else if (gop >= 17) {
      window = 128, shift = 7;
    } else if (gop >= 8) {
      window = 64, shift = 6;
    } else if (gop >= 5) {
      window = 32, shift = 5;
    } else {
      window = 16, shift = 4;
    }
    ULONG* ring = s->nEncFrameSizeRing[slot];
    ULONG index = s->nEncRingIndex[slot] & 255;
    s->nEncRingSum[slot] -= ring[index];
    s->nEncRingSum[slot] += nBytes;
    ring[index] = nBytes;
    index = (index + 1) & (window - 1);
    s->nEncRingIndex[slot] = index;

    ULONG average = 0;
    if (bMarkerZero) {
      if (ring[index] != 0)
        average = (ULONG)((s->nEncRingSum[slot] * 8) >> shift);
      else if (index != 0)
        average = (ULONG)(s->nEncRingSum[slot] * 8 / index);
    }
    if (average != 0) {
      const ULONG target = s->nEncTargetFrameBits[slot];
      ULONG& qp = s->nEncQp[slot];
      ULONG& base = s->nEncBaseQp[slot];
      if (target > average + 1024) {
        if ((LONG)qp > (LONG)base - 4)
          qp--;
        else if ((LONG)base - 4 > 8)
          base--;
      }
      if (average > target + 1024) {
        if (qp < base + 4)
          qp++;
        else if (base + 4 < 48)
          base++;
      }
      *pQp = qp;
      send = TRUE;
    }
  }
  KeReleaseSpinLock(&g_RateControlLock[slot], irql);
  return send;
}

// ---- The delivery routines ----------------------------------------------------------------

ULONG CCapturePin::DeliverVideoFrame(PinContext* pContext, PUCHAR pFrame, ULONG nLength, ULONG nParam, PUCHAR pData,
                                     ULONG nFrameExtent, ULONGLONG nPictureNumber, UCHAR nFlush,
                                     PKSSTREAM_HEADER pStreamHeader) {
  if (!pContext || !pStreamHeader) return 0;
  CDevice* d = DeviceOfPin(pContext);
  ULONG flags = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
  if (TakeResync(pContext)) flags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
  LONGLONG time = 0, duration = 0;
  const BOOLEAN clocked = StampVideo(pContext, d, &time, &duration);
  WriteStreamTimes(pStreamHeader, clocked, time, duration, flags);
  WriteFrameInfo(VideoTailOf(pContext), pStreamHeader, nPictureNumber);

  if (nFlush) {
    pContext->bResync = 1;
    pStreamHeader->DataUsed = 0;
    return 0;
  }
  pStreamHeader->DataUsed = nLength ? nFrameExtent : 0;
  if (nLength == kNoInput && pData) {
    if (VideoPinContext* v = VideoTailOf(pContext))
      DrawNoSignalYv12(pData, nFrameExtent, v->nWidth, v->nHeight, v->nStride);
  }
  return 0;
}

ULONG CCapturePin::DeliverH264Frame(PinContext* pContext, PUCHAR pFrame, ULONG nLength, ULONG nParam, PUCHAR pData,
                                    ULONG nFrameExtent, ULONGLONG nPictureNumber, UCHAR nFlush,
                                    PKSSTREAM_HEADER pStreamHeader) {
  if (!pContext || !pStreamHeader) return 0;
  CDevice* d = DeviceOfPin(pContext);
  ULONG flags = 0;
  if (TakeResync(pContext)) flags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
  LONGLONG time = 0, duration = 0;
  const BOOLEAN clocked = StampVideo(pContext, d, &time, &duration);
  WriteStreamTimes(pStreamHeader, clocked, time, duration, flags);
  WriteFrameInfo(VideoTailOf(pContext), pStreamHeader, nPictureNumber);

  if (nFlush) {
    pContext->bResync = 1;
    pStreamHeader->DataUsed = 0;
    return 0;
  }
  // Never more than the buffer holds, whatever the packet's length said.
  const ULONG used = nLength == kNoInput ? 0 : (nLength < nFrameExtent ? nLength : nFrameExtent);
  pStreamHeader->DataUsed = used;

  if (pFrame && pData && used && d) {
    // The frame-type marker sits two bytes past the packet; a packet that filled its
    // buffer has none to read and does not steer the quantiser.
    const BOOLEAN markerZero = (ULONGLONG)nLength + 3 <= nFrameExtent && pData[nLength + 2] == 0;
    const ULONG slot = pContext->nStreamIndex == STREAM_INDEX_FIRST_H264 ? 0 : 1;
    ULONG qp = 0;
    if (AdaptQuantiser(d->m_pBoardState, slot, used, markerZero, &qp)) VORLIX_SetEncoderQp(d, slot == 0, qp);
  }
  return 0;
}

ULONG CCapturePin::DeliverAudioFrame(PinContext* pContext, PUCHAR pFrame, ULONG nLength, ULONG nParam, PUCHAR pData,
                                     ULONG nFrameExtent, ULONGLONG nPictureNumber, UCHAR nFlush,
                                     PKSSTREAM_HEADER pStreamHeader) {
  if (!pContext || !pStreamHeader) return 0;
  CDevice* d = DeviceOfPin(pContext);
  ULONG flags = pStreamHeader->OptionsFlags;
  if (TakeResync(pContext)) flags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
  LONGLONG time = 0, duration = 0;
  BOOLEAN clocked = FALSE;
  if (pContext->pClock && d) {
    const LONGLONG now = pContext->pClock->GetTime();
    const LONGLONG rate = ChooseAudioRate(pContext, Load(d->m_nAnalogAudioSampleFrequency));
    StampTime(pContext, now, rate, LiveAudioTimestampRules, &time, &duration);
    clocked = TRUE;
  }
  WriteStreamTimes(pStreamHeader, clocked, time, duration, flags);

  if (nFlush) {
    pContext->bResync = 1;
    pStreamHeader->DataUsed = 0;
    return 0;
  }
  if (nLength == kNoInput) {
    if (pData) RtlZeroMemory(pData, nFrameExtent);
    pStreamHeader->DataUsed = nFrameExtent < NO_SIGNAL_AUDIO_BYTES ? nFrameExtent : NO_SIGNAL_AUDIO_BYTES;
  } else {
    pStreamHeader->DataUsed = nLength < nFrameExtent ? nLength : nFrameExtent;
  }
  return 0;
}
