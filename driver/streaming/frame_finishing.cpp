// Finishing of the buffers the virtual camera pushes: time stamps, stream header and
// contents. The video frame of the virtual pin keeps the bytes the push copied in (or is
// blanked); other pins' frames are built from the bounce frame buffers
// (frame_building.cpp). The audio buffer is taken from the board's audio ring, converted
// to the pin's rate and channels.
#include "driver/streaming/frame_finishing.h"

#include "driver/core/board_kinds.h"
#include "driver/hardware/firmware.h"
#include "driver/streaming/capture_pin.h"
#include "driver/streaming/timestamps.h"

namespace {

constexpr ULONG kNoInput = 0xFFFFFFFFu;
constexpr LONGLONG kAudioLead = 1200000;  // 120 ms: audio is stamped this far ahead

// The board's audio ring: 8 slots of 2,048 16-bit samples.
constexpr ULONG kAudioSlots = 8;
constexpr ULONG kAudioSlotBytes = 4096;
// The 8-channel layout: four planes of stereo pairs, 32 KB apart, 1,024 frames a buffer.
constexpr ULONG kEightChannelPlaneStep = 0x8000;
constexpr ULONG kEightChannelFrames = 1024;

ULONG Load(const ULONG& word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }

BOOLEAN IsKind(const CDevice* d, BoardKind kind) { return IsBoardKind(d->m_pPciIdentity, kind); }

// The video frame's time and duration; FALSE without a clock.
BOOLEAN StampVirtualVideo(PinContext* c, CDevice* d, const VideoPinContext* v, LONGLONG* pTime, LONGLONG* pDuration) {
  if (!c->pClock || !d) return FALSE;
  const BOOLEAN kindT = IsKind(d, BOARD_KIND_T);
  TimestampRules rules = VirtualVideoTimestampRules;
  // Those boards stamp every frame with the clock reading itself.
  rules.bFollowClock = kindT;

  const ULONG frameRate = Load(d->m_nAnalogVideoFrameRate);
  const ULONG interlaced = Load(d->m_nAnalogVideoInterleaved);
  SignalTiming signal = {};
  signal.nFrameRate = frameRate;
  signal.bInterlaced = interlaced;
  signal.nStandard = Load(d->m_nAnalogVideoDecoderStandard);
  signal.bFractional = d->m_SourceTiming.bFractional;  // no pixel-rate rule: no signal size

  const LONGLONG now = c->pClock->GetTime();
  const ULONGLONG interval = (ULONGLONG)now - (ULONGLONG)c->nLastClockTime;
  const LONGLONG rate = ChooseVideoRate(c, signal, interval, rules);
  LONGLONG time = 0, duration = 0;
  StampTime(c, now, rate, rules, &time, &duration);

  if (Load(d->m_nCompanyWembric)) {
    time = c->pClock->GetTime();
    if (frameRate == 0)
      duration = v ? v->nAvgTimePerFrame : duration;
    else
      duration = (interlaced ? 20000000LL : 10000000LL) / frameRate;
  }
  if (kindT) time &= ~(LONGLONG)3;
  *pTime = time;
  *pDuration = duration;
  return TRUE;
}

// The audio buffer's time and duration; FALSE without a clock.
BOOLEAN StampVirtualAudio(PinContext* c, CDevice* d, LONGLONG* pTime, LONGLONG* pDuration) {
  if (!c->pClock || !d) return FALSE;
  const ULONG frequency = Load(d->m_nAnalogAudioSampleFrequency);
  const LONGLONG now = c->pClock->GetTime();
  const ULONGLONG interval = (ULONGLONG)(now + kAudioLead) - (ULONGLONG)c->nLastClockTime;
  const LONGLONG rate = ChooseSnappedAudioRate(c, interval, frequency, VirtualAudioTimestampRules);
  StampTime(c, now, rate, VirtualAudioTimestampRules, pTime, pDuration);
  if (Load(d->m_nAnalogAudioDirectSoundPatch)) {
    *pTime = now + kAudioLead;
    *pDuration = 100000;
  }
  if (Load(d->m_nCompanyWembric)) {
    *pTime = now + kAudioLead;
    *pDuration = (LONGLONG)(10240000000ULL / (frequency ? frequency : 48000));
  }
  return TRUE;
}

// Whether this frame is blanked, counting the blanking countdown of the board that keeps
// blanking for a while after the signal comes back.
BOOLEAN TakeBlanking(CDevice* d, ULONG nLength) {
  const BOOLEAN noSignal = Load(d->m_nAnalogVideoDecoderStatus) == 0;
  const ULONG holvane = Load(d->m_nCompanyHolvane);
  BOOLEAN blank = nLength == kNoInput || ((holvane == 3 || holvane == 4) && noSignal) ||
                  (Load(d->m_nCompanyPelgrane) && (noSignal || d->m_nBlankCountdown));
  if (!blank) return FALSE;
  if (d->m_nBlankCountdown == 0)
    d->m_nBlankCountdown = BLANK_COUNTDOWN_FRAMES;
  else
    d->m_nBlankCountdown--;
  return TRUE;
}

// ---- audio contents ----------------------------------------------------------------------

SHORT Sample(const UCHAR* p) {
  SHORT s;
  RtlCopyMemory(&s, p, sizeof(s));
  return s;
}

void PutSample(PUCHAR p, SHORT s) { RtlCopyMemory(p, &s, sizeof(s)); }

// One down-conversion from 48 kHz stereo: each step reads nReadFrames stereo frames and
// writes the ones its kind keeps. Steps stop where the source or the buffer ends.
// Returns the bytes written.
enum Decimation { DECIMATE_PAIR_AVERAGE, DECIMATE_FIRST_AND_THIRD, DECIMATE_FIRST };

ULONG Decimate(Decimation kind, const UCHAR* src, ULONG nReadable, ULONG nOffset, ULONG nSteps, ULONG nReadFrames,
               PUCHAR dst, ULONG nRoom) {
  const ULONG readBytes = nReadFrames * 4;
  const ULONG writeBytes = kind == DECIMATE_FIRST ? 4 : 8;
  ULONG written = 0;
  ULONG at = nOffset;
  for (ULONG step = 0; step < nSteps; step++, at += readBytes) {
    if ((ULONGLONG)at + readBytes > nReadable || written + writeBytes > nRoom) break;
    const UCHAR* f = src + at;
    PUCHAR out = dst + written;
    switch (kind) {
      case DECIMATE_PAIR_AVERAGE: {
        const LONG la = Sample(f), ra = Sample(f + 2), lb = Sample(f + 4), rb = Sample(f + 6), lc = Sample(f + 8),
                   rc = Sample(f + 10);
        PutSample(out, (SHORT)((la + lb) / 2));
        PutSample(out + 2, (SHORT)((ra + rb) / 2));
        PutSample(out + 4, (SHORT)((lb + lc) / 2));
        PutSample(out + 6, (SHORT)((rb + rc) / 2));
        break;
      }
      case DECIMATE_FIRST_AND_THIRD:
        RtlCopyMemory(out, f, 4);
        RtlCopyMemory(out + 4, f + 8, 4);
        break;
      case DECIMATE_FIRST:
        RtlCopyMemory(out, f, 4);
        break;
    }
    written += writeBytes;
  }
  return written;
}

// Fills the buffer from the ring slot; returns DataUsed.
ULONG FillFromRing(CDevice* d, AudioPinContext* a, ULONGLONG nPictureNumber, PUCHAR pData, ULONG nFrameExtent) {
  const ULONG slotOffset = (ULONG)(nPictureNumber % kAudioSlots) * kAudioSlotBytes;
  const UCHAR* src = static_cast<const UCHAR*>(d->m_pDmaBuffer);
  // Every read stays inside the DMA buffer (the conversions read on into the next slot).
  const ULONG readable = src && d->m_nDmaBufferSize > slotOffset ? d->m_nDmaBufferSize - slotOffset : 0;
  if (!readable) return nFrameExtent;
  src += slotOffset;

  if (IsKind(d, BOARD_KIND_U) && Load(d->m_nAnalogCrossbarAudioInput) == 1) {
    // Mono input: the card's own sample of each pair, on both output channels.
    const ULONG side = d->m_nDeviceInstanceNumber & 1;
    const ULONG frames = nFrameExtent / 4;
    ULONG k = 0;
    for (; k < frames && (ULONGLONG)(2 * k + side) * 2 + 2 <= readable; k++) {
      const SHORT s = Sample(src + (2 * k + side) * 2);
      PutSample(pData + 4 * k, s);
      PutSample(pData + 4 * k + 2, s);
    }
    RtlZeroMemory(pData + 4 * k, nFrameExtent - 4 * k);
    return nFrameExtent;
  }

  if (a->nChannels == 8) {
    // Eight channels gathered from four stereo planes: as many 16-byte frames as the
    // buffer holds and every plane can give; the buffer reports what was gathered, not
    // the bytes beyond it that nothing wrote.
    ULONG k = 0;
    for (; k < kEightChannelFrames && (k + 1) * 16 <= nFrameExtent; k++) {
      const ULONG last = 3 * kEightChannelPlaneStep + 4 * k;
      if ((ULONGLONG)last + 4 > readable) break;
      for (ULONG j = 0; j < 4; j++) RtlCopyMemory(pData + 16 * k + 4 * j, src + j * kEightChannelPlaneStep + 4 * k, 4);
    }
    return k * 16;
  }

  const ULONG rate = a->nSamplesPerSec;
  if (Load(d->m_nAnalogAudioSampleFrequency) == 48000 &&
      (rate == 32000 || rate == 24000 || rate == 16000 || rate == 8000)) {
    const ULONG p = a->nResamplePhase % 3;
    a->nResamplePhase++;
    static const ULONG kOffset[3] = {0, 8, 4};
    static const ULONG kOffset8k[3] = {0, 8, 32};
    switch (rate) {
      case 32000:
        return Decimate(DECIMATE_PAIR_AVERAGE, src, readable, kOffset[p], p == 0 ? 342 : 341, 3, pData, nFrameExtent);
      case 24000:
        return Decimate(DECIMATE_FIRST_AND_THIRD, src, readable, 0, 256, 4, pData, nFrameExtent);
      case 16000:
        return Decimate(DECIMATE_FIRST, src, readable, kOffset[p], p == 0 ? 342 : 341, 3, pData, nFrameExtent);
      default:
        return Decimate(DECIMATE_FIRST, src, readable, kOffset8k[p], p == 2 ? 170 : 171, 6, pData, nFrameExtent);
    }
  }

  // The packet as it is; what the ring cannot give is silence.
  const ULONG copied = nFrameExtent < readable ? nFrameExtent : readable;
  RtlCopyMemory(pData, src, copied);
  RtlZeroMemory(pData + copied, nFrameExtent - copied);
  return nFrameExtent;
}

}  // namespace

CDevice* g_pCardDevice[CARD_DEVICE_SLOTS];

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

VOID BlankFrame(CDevice* d, const VideoPinContext* v, PUCHAR pData, ULONG nFrameExtent) {
  const ULONG bitCount = v ? v->nBitCount : 0;
  if (bitCount == 16) {
    d->FillBlankYuy2(pData, nFrameExtent);
    if (Load(d->m_nCompanyPelgrane) || Load(d->m_nCompanyMavrene)) return;
    if (v->nWidth < NO_SIGNAL_WIDTH || v->nHeight < NO_SIGNAL_HEIGHT || v->nStride < v->nWidth) return;
    const ULONGLONG rowStep = (ULONGLONG)v->nStride * 2;
    const ULONGLONG first =
        (ULONGLONG)(v->nHeight / 2 - NO_SIGNAL_HEIGHT / 2) * rowStep + (v->nWidth - NO_SIGNAL_WIDTH);
    // Only a picture whose last row ends inside the buffer is drawn (a format taken over
    // while running can leave a stride the buffer does not have).
    if (first + (NO_SIGNAL_HEIGHT - 1) * rowStep + NO_SIGNAL_PICTURE_STEP > nFrameExtent) return;
    const UCHAR* picture = VORLIX_NoSignalPicture();
    for (ULONG y = 0; y < NO_SIGNAL_HEIGHT; y++)
      d->CopyFrameBytes(pData + first + y * rowStep, picture + y * NO_SIGNAL_PICTURE_STEP, NO_SIGNAL_PICTURE_STEP);
  } else if (bitCount == 12) {
    const ULONGLONG luma = ((ULONGLONG)nFrameExtent * 4 / 3) / 2;
    RtlFillMemory(pData, (SIZE_T)luma, 0);
    RtlFillMemory(pData + luma, (SIZE_T)(nFrameExtent - luma), 0x80);
  } else {
    RtlZeroMemory(pData, nFrameExtent);
  }
}

ULONG CCapturePin::FillVideoFrame(PinContext* pContext, PUCHAR pFrame, ULONG nLength, ULONG nParam, PUCHAR pData,
                                  ULONG nFrameExtent, ULONGLONG nPictureNumber, UCHAR nFlush,
                                  PKSSTREAM_HEADER pStreamHeader) {
  if (!pContext || !pStreamHeader) return 0;
  CDevice* d = DeviceOfPin(pContext);
  VideoPinContext* v = VideoTailOf(pContext);
  ULONG flags = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
  if (TakeResync(pContext)) flags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
  LONGLONG time = 0, duration = 0;
  const BOOLEAN clocked = StampVirtualVideo(pContext, d, v, &time, &duration);
  WriteStreamTimes(pStreamHeader, clocked, time, duration, flags);
  WriteFrameInfo(v, pStreamHeader, nPictureNumber);

  if (nFlush) {
    pContext->bResync = 1;
    pStreamHeader->DataUsed = 0;
    return 0;
  }
  const ULONG arrivedUsed = pStreamHeader->DataUsed;
  pStreamHeader->DataUsed = nFrameExtent;
  if (!pFrame || !pData || !d) {
    pStreamHeader->DataUsed = 0;
    return 0;
  }
  if (IsKind(d, BOARD_KIND_T)) {
    // Those boards carry two bits of the frame's field phase in the time's low bits.
    if (clocked) pStreamHeader->PresentationTime.Time += (arrivedUsed >> 8) & 3;
    // The count is set by a property request on another thread: taken one at a time,
    // never below zero.
    ULONG drops = Load(d->m_nAnalogVideoDropCount);
    while (drops && !__atomic_compare_exchange_n(&d->m_nAnalogVideoDropCount, &drops, drops - 1, FALSE,
                                                 __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
    if (drops) pStreamHeader->DataUsed = 0;
  }
  if (TakeBlanking(d, nLength)) {
    BlankFrame(d, v, pData, nFrameExtent);
    return 0;
  }
  if (pContext->nStreamIndex == VIRTUAL_VIDEO_STREAM_INDEX || !v) return 0;
  BuildFrame(d, v, nLength, pData, nFrameExtent);
  return 0;
}

ULONG CCapturePin::FillAudioFrame(PinContext* pContext, PUCHAR pFrame, ULONG nLength, ULONG nParam, PUCHAR pData,
                                  ULONG nFrameExtent, ULONGLONG nPictureNumber, UCHAR nFlush,
                                  PKSSTREAM_HEADER pStreamHeader) {
  if (!pContext || !pStreamHeader) return 0;
  CDevice* d = DeviceOfPin(pContext);
  pStreamHeader->DataUsed = nFrameExtent;
  ULONG flags = pStreamHeader->OptionsFlags;
  if (TakeResync(pContext)) flags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
  LONGLONG time = 0, duration = 0;
  const BOOLEAN clocked = StampVirtualAudio(pContext, d, &time, &duration);
  WriteStreamTimes(pStreamHeader, clocked, time, duration, flags);

  if (nLength == kNoInput) {
    if (pData) RtlZeroMemory(pData, nFrameExtent);
    return 0;
  }
  if (!pData || !d) return 0;
  // The virtual audio pin (beyond the channel table's rows) has no ring behind it: its
  // buffers hold the producer's samples the push placed in them.
  if (pContext->nStreamIndex > STREAM_INDEX_LAST) return 0;
  if (pContext->nStreamIndex == STREAM_INDEX_FIRST_AUDIO || Load(d->m_nAnalogAudioDirectSoundPatch)) return 0;
  pStreamHeader->DataUsed =
      FillFromRing(d, static_cast<AudioPinContext*>(pContext), nPictureNumber, pData, nFrameExtent);
  return 0;
}
