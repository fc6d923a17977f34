// The timestamp engine.
#include "driver/streaming/timestamps.h"

const SnapWindow LiveSnapWindows[LIVE_SNAP_WINDOWS] = {
    {161666, 166750, 0, 60000},  {166750, 171833, 1, 59940}, {195000, 204167, 0, 50000},  {204167, 208438, 0, 48000},
    {208438, 213542, 1, 47952},  {328333, 333500, 0, 30000}, {333501, 338667, 1, 29970},  {395000, 405000, 0, 25000},
    {495000, 500250, 0, 20000},  {500250, 505500, 1, 19980}, {595000, 605000, 0, 16666},  {661666, 667112, 0, 15000},
    {667112, 672557, 1, 14985},  {795000, 805000, 0, 12500}, {1328333, 1334000, 0, 7500}, {1334000, 1339668, 1, 7492},
    {1595000, 1605000, 0, 6250},
};

const TimestampRules LiveVideoTimestampRules = {
    LiveSnapWindows, LIVE_SNAP_WINDOWS, TRUE, 0, 100, TRUE, 0, 10000000000ULL, FALSE,
};

const TimestampRules LiveAudioTimestampRules = {
    nullptr, 0, FALSE, 100000, 5, FALSE, 1200000, 3240000000ULL, FALSE,
};

const SnapWindow VirtualSnapWindows[VIRTUAL_SNAP_WINDOWS] = {
    {161666, 166750, 0, 60000},  {166750, 171833, 1, 59940},  {195000, 204166, 0, 50000},  {204167, 208438, 0, 48000},
    {208438, 213542, 1, 47952},  {328333, 333500, 0, 30000},  {333501, 338667, 1, 29970},  {395000, 405000, 0, 25000},
    {411666, 416874, 0, 24000},  {416875, 422083, 1, 23976},  {495000, 500250, 0, 20000},  {500250, 505500, 1, 19980},
    {595000, 605000, 0, 16666},  {661666, 667112, 0, 15000},  {667112, 672557, 1, 14985},  {795000, 805000, 0, 12500},
    {1328333, 1334000, 0, 7500}, {1334000, 1339668, 1, 7492}, {1595000, 1605000, 0, 6250},
};

const SnapWindow VirtualAudioSnapWindows[VIRTUAL_AUDIO_SNAP_WINDOWS] = {
    {212333, 214333, 0, 48000},
    {231199, 233199, 0, 44100},
    {319000, 321000, 0, 32000},
};

const TimestampRules VirtualVideoTimestampRules = {
    VirtualSnapWindows, VIRTUAL_SNAP_WINDOWS, FALSE, 10000, 5, FALSE, 0, 10000000000ULL, FALSE,
};

const TimestampRules VirtualAudioTimestampRules = {
    VirtualAudioSnapWindows, VIRTUAL_AUDIO_SNAP_WINDOWS, FALSE, 10000, 5, FALSE, 1200000, 10240000000ULL, FALSE,
};

namespace {

constexpr LONGLONG kMaxHold = 5;
constexpr LONGLONG kResyncDrift = 1000000;  // 100 ms
constexpr LONGLONG kStandStep = 10000;      // 1 ms
constexpr LONG kRemainderUnit = 100000000;  // 10^8

bool PixelRateExceeded(const SignalTiming& s) {
  return (ULONG)(s.nWidth * s.nHeight * s.nSignalFrameRate) > PIXEL_RATE_LIMIT;
}

}  // namespace

LONGLONG SignalRate(const SignalTiming& s) {
  LONGLONG rate = (LONGLONG)(s.bInterlaced == 1 ? s.nFrameRate / 2 : s.nFrameRate) * 1000;
  if (PixelRateExceeded(s)) rate >>= 1;
  return rate;
}

namespace {

// The rate of the last window containing the interval (0: none).
LONGLONG SnapCandidate(ULONGLONG interval, ULONG bFractional, const TimestampRules& rules) {
  LONGLONG candidate = 0;
  for (ULONG i = 0; i < rules.nWindows; i++) {
    const SnapWindow& w = rules.pWindows[i];
    if (interval < w.nFrom || interval > w.nTo) continue;
    if (rules.bFractionalFilter && w.bFractional != bFractional) continue;
    candidate = w.nRate;
  }
  return candidate;
}

// The hysteresis over a non-zero candidate: the rate to use.
LONGLONG HoldCandidate(PinContext* c, LONGLONG candidate) {
  if (c->nSnappedRate == 0) {
    c->nSnappedRate = candidate;
    c->nSnapHoldCount = 1;
    return candidate;
  }
  if (candidate == c->nSnappedRate) {
    if (c->nSnapHoldCount < kMaxHold) c->nSnapHoldCount++;
    return candidate;
  }
  if (c->nSnapHoldCount == 1) {
    c->nSnappedRate = candidate;
    return candidate;
  }
  if (c->nSnapHoldCount > 1) c->nSnapHoldCount--;
  return c->nSnappedRate;
}

}  // namespace

LONGLONG ChooseVideoRate(PinContext* c, const SignalTiming& s, ULONGLONG interval, const TimestampRules& rules) {
  LONGLONG candidate = SnapCandidate(interval, s.bFractional, rules);
  const LONGLONG signalRate = SignalRate(s);
  if (signalRate > 0 && candidate > signalRate) candidate = 0;

  if (candidate) return HoldCandidate(c, candidate);
  if (c->nSnapHoldCount >= 2 && c->nSnappedRate) {
    if (c->nSnapHoldCount < kMaxHold) c->nSnapHoldCount++;
    return c->nSnappedRate;
  }

  LONGLONG rate = signalRate;
  if (s.bFractional == 1) rate = rate * 1000 / 1001;
  if (rate == 0) {
    rate = (s.nStandard & STANDARD_525_MASK) ? 60000 : 50000;
    if (s.bInterlaced == 1) rate >>= 1;
    if (PixelRateExceeded(s)) rate >>= 1;
    if (s.bFractional == 1) rate = rate * 1000 / 1001;
  }
  return rate;
}

LONGLONG ChooseAudioRate(PinContext* c, ULONG nSampleFrequency) {
  if (c->nSnapHoldCount >= 2 && c->nSnappedRate) {
    if (c->nSnapHoldCount < kMaxHold) c->nSnapHoldCount++;
    return c->nSnappedRate;
  }
  return nSampleFrequency ? (LONGLONG)nSampleFrequency : 48000;
}

LONGLONG ChooseSnappedAudioRate(PinContext* c, ULONGLONG interval, ULONG nSampleFrequency,
                                const TimestampRules& rules) {
  const LONGLONG candidate = SnapCandidate(interval, 0, rules);
  if (candidate) return HoldCandidate(c, candidate);
  return ChooseAudioRate(c, nSampleFrequency);
}

VOID StampTime(PinContext* c, LONGLONG now, LONGLONG rate, const TimestampRules& rules, LONGLONG* pTime,
               LONGLONG* pDuration) {
  now += rules.nReferenceOffset;
  // A rate of 0 never comes from the choosers; a caller's own rate of 0 stamps with no
  // duration rather than dividing by it.
  const ULONGLONG r = rate > 0 ? (ULONGLONG)rate : 0;
  const LONGLONG duration = r ? (LONGLONG)(rules.nDurationUnits / r) : 0;

  const bool first = c->nLastClockTime == 0;
  LONGLONG increment = 0;
  if (first) {
    c->nLastPresentationTime = now;
    c->nTimeRemainder = 0;
  } else {
    // The fraction of the exact duration, in units of 10^-8 of 100 ns.
    if (r) c->nTimeRemainder += (LONG)(rules.nDurationUnits * 100000000ULL / r - (ULONGLONG)duration * 100000000ULL);
    if (c->nTimeRemainder >= kRemainderUnit) {
      c->nTimeRemainder -= kRemainderUnit;
      increment = duration + 1;
    } else {
      increment = duration;
    }
  }

  LONGLONG time = c->nLastPresentationTime + increment;
  const LONGLONG drift = time > now ? time - now : now - time;
  const LONGLONG limit = rules.nDriftLimit ? rules.nDriftLimit : duration / 2;
  if (drift > limit) {
    if (c->nDriftCount < rules.nMissLimit && drift <= kResyncDrift) {
      c->nDriftCount++;
    } else {
      c->nDriftCount = 0;
      time = now;
      c->nTimeRemainder = 0;
    }
  } else {
    c->nDriftCount = 0;
  }
  if (rules.bFollowClock) {
    time = now;
    c->nTimeRemainder = 0;
    c->nDriftCount = 0;
  }

  if (!first && time <= c->nLastPresentationTime) {
    time = now > c->nLastPresentationTime ? now : c->nLastPresentationTime + kStandStep;
    c->nTimeRemainder = 0;
    c->nDriftCount = 0;
  }

  c->nLastClockTime = now;
  c->nLastPresentationTime = time;
  *pDuration = duration;
  *pTime = rules.bClearLowBits ? (time & ~(LONGLONG)3) : time;
}

void WriteStreamTimes(PKSSTREAM_HEADER h, BOOLEAN clocked, LONGLONG time, LONGLONG duration, ULONG flags) {
  constexpr ULONG kTimeFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
  if (clocked) {
    h->PresentationTime.Time = time;
    h->Duration = duration;
    h->OptionsFlags = flags | kTimeFlags;
  } else {
    h->PresentationTime.Time = 0;
    h->Duration = 0;
    h->OptionsFlags = flags & ~kTimeFlags;
  }
}

VideoPinContext* VideoTailOf(PinContext* c) {
  constexpr ULONG kVideoHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
  return c->pKsPin && c->pKsPin->StreamHeaderSize == kVideoHeaderSize ? static_cast<VideoPinContext*>(c) : nullptr;
}

BOOLEAN TakeResync(PinContext* c) {
  BOOLEAN resync = c->bResync != 0;
  c->bResync = 0;
  return resync;
}

void WriteFrameInfo(VideoPinContext* v, PKSSTREAM_HEADER h, ULONGLONG nPictureNumber) {
  if (!v || h->Size < sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) return;
  auto* info = reinterpret_cast<PKS_FRAME_INFO>(reinterpret_cast<PUCHAR>(h) + sizeof(KSSTREAM_HEADER));
  info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
  info->dwFrameFlags = 0;
  info->PictureNumber = nPictureNumber ? (LONGLONG)nPictureNumber : v->nPictureNumber;
  info->DropCount = 0;
}
