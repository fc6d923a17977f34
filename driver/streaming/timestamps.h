// The timestamp engine the delivery routines share: the measured interval between two
// buffers is snapped to a standard rate, and the buffer's presentation time advances by
// that rate's duration from the previous one, with the fraction of the duration carried,
// the time kept near the clock and never going backwards. Integer arithmetic only.
//
// The engine is parameterised (snap windows, fractional filter, drift and miss limits,
// low-bit clearing, the reference offset) so the virtual camera's finishing can run it
// with its own rules.
#pragma once

#include "driver/streaming/pin_context.h"
#include "platform/kernel/kernel.h"

// One snap window: intervals from nFrom to nTo (100 ns units, both inclusive) whose
// signal has the fractional flag bFractional snap to nRate (milli-frames per second).
struct SnapWindow {
  ULONGLONG nFrom;
  ULONGLONG nTo;
  ULONG bFractional;
  LONGLONG nRate;
};

#define LIVE_SNAP_WINDOWS 17
extern const SnapWindow LiveSnapWindows[LIVE_SNAP_WINDOWS];

// How one kind of stream is stamped.
struct TimestampRules {
  const SnapWindow* pWindows;  // tested in order, the last match wins
  ULONG nWindows;
  BOOLEAN bFractionalFilter;  // a window matches only a signal with its fractional flag
  LONGLONG nDriftLimit;       // 0: half the duration
  LONGLONG nMissLimit;        // offsets above the limit tolerated in a row before a resync
  BOOLEAN bClearLowBits;      // the header's time has its two lowest bits cleared
  LONGLONG nReferenceOffset;  // added to every clock reading
  ULONGLONG nDurationUnits;   // duration = nDurationUnits / rate (rate in milli-units)
  BOOLEAN bFollowClock;       // after the drift step the time is the clock reading itself
};

// Live video and H.264 (17 windows, half-frame drift limit, 100 misses) and live audio
// (no windows, 10 ms drift limit, 5 misses, readings 120 ms ahead, 324-sample packets).
extern const TimestampRules LiveVideoTimestampRules;
extern const TimestampRules LiveAudioTimestampRules;

// The virtual camera's finishing: video snaps to 19 windows whatever the fractional flag,
// with a 1 ms drift limit and 5 misses (boards that follow the clock and clear the low
// bits get those two switches on a copy); audio snaps 1,024-sample packets to three
// rates, 120 ms ahead, with the same limits.
#define VIRTUAL_SNAP_WINDOWS 19
#define VIRTUAL_AUDIO_SNAP_WINDOWS 3
extern const SnapWindow VirtualSnapWindows[VIRTUAL_SNAP_WINDOWS];
extern const SnapWindow VirtualAudioSnapWindows[VIRTUAL_AUDIO_SNAP_WINDOWS];
extern const TimestampRules VirtualVideoTimestampRules;
extern const TimestampRules VirtualAudioTimestampRules;

// The input signal as the device last detected it.
struct SignalTiming {
  ULONG nFrameRate;   // frames (or fields when interlaced) per second
  ULONG bInterlaced;  // 1: the rate counts fields
  ULONG nStandard;    // KS analog video standard mask
  ULONG nWidth;       // signal width, height and frame rate for the pixel-rate rule
  ULONG nHeight;
  ULONG nSignalFrameRate;
  ULONG bFractional;  // 1: the rate is x 1000 / 1001
};

// Above this many pixels a second the board delivers every second frame only.
#define PIXEL_RATE_LIMIT 69120000u
// Standards with 525 lines (60 fields a second).
#define STANDARD_525_MASK 0xA07u

// The signal's rate in milli-frames per second (fields halved, the pixel-rate rule
// applied), 0 when the signal has none.
LONGLONG SignalRate(const SignalTiming& signal);

// Chooses the video rate for a buffer whose clock reading came `interval` after the
// previous one: the snapped rate with its hysteresis (state in the context), or the
// signal's own rate. Never 0.
LONGLONG ChooseVideoRate(PinContext* pContext, const SignalTiming& signal, ULONGLONG interval,
                         const TimestampRules& rules);

// Chooses the audio rate in hertz: the held rate once the hysteresis holds one, else the
// detected sample frequency, else 48,000. Never 0.
LONGLONG ChooseAudioRate(PinContext* pContext, ULONG nSampleFrequency);

// As ChooseAudioRate, with a candidate from the rules' windows (the last one containing
// `interval`) held through the video hysteresis first.
LONGLONG ChooseSnappedAudioRate(PinContext* pContext, ULONGLONG interval, ULONG nSampleFrequency,
                                const TimestampRules& rules);

// Stamps one buffer at clock reading `now` (the reference offset not yet added) with
// `rate`: updates the context's timestamp state and returns the header's time and
// duration.
VOID StampTime(PinContext* pContext, LONGLONG now, LONGLONG rate, const TimestampRules& rules, LONGLONG* pTime,
               LONGLONG* pDuration);

// The video tail of a pin whose buffers carry the video frame information (the video
// capture pin), or null: other kinds share the finishing routines without it.
VideoPinContext* VideoTailOf(PinContext* c);

// The discontinuity mark of the first buffer after a start or a flush: taken once.
BOOLEAN TakeResync(PinContext* c);

// Fills the frame information behind a video buffer's header (when the pin has the video
// tail and the header has room): the picture number given, else the pin's own count.
void WriteFrameInfo(VideoPinContext* v, PKSSTREAM_HEADER h, ULONGLONG nPictureNumber);

// Writes a buffer's time, duration and the two time flags over `flags`, or, without a
// clock, zeroes the time and duration and clears those flags.
void WriteStreamTimes(PKSSTREAM_HEADER h, BOOLEAN clocked, LONGLONG time, LONGLONG duration, ULONG flags);
