// The timestamp engine as tables of clock readings and the times and durations they are
// stamped with; the no-signal picture; the H.264 quantiser adaptation.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/hardware/board_state.h"
#include "driver/hardware/firmware.h"
#include "driver/streaming/delivery.h"
#include "driver/streaming/timestamps.h"

namespace {

struct Stamp {
  LONGLONG time;
  LONGLONG duration;
};

SignalTiming Signal(ULONG rate, ULONG w = 1920, ULONG h = 1080, ULONG fractional = 0, ULONG interlaced = 0) {
  SignalTiming s = {};
  s.nFrameRate = rate;
  s.bInterlaced = interlaced;
  s.nStandard = 0;
  s.nWidth = w;
  s.nHeight = h;
  s.nSignalFrameRate = interlaced ? rate / 2 : rate;
  s.bFractional = fractional;
  return s;
}

// Stamps one video buffer per clock reading, as the video and H.264 routines do.
std::vector<Stamp> RunVideo(PinContext* c, const SignalTiming& s, const std::vector<LONGLONG>& clock) {
  std::vector<Stamp> out;
  for (LONGLONG now : clock) {
    ULONGLONG interval = (ULONGLONG)now - (ULONGLONG)c->nLastClockTime;
    LONGLONG rate = ChooseVideoRate(c, s, interval, LiveVideoTimestampRules);
    Stamp st{};
    StampTime(c, now, rate, LiveVideoTimestampRules, &st.time, &st.duration);
    out.push_back(st);
  }
  return out;
}

std::vector<LONGLONG> Steady(LONGLONG start, LONGLONG step, int n) {
  std::vector<LONGLONG> v;
  for (int i = 0; i < n; i++) v.push_back(start + step * i);
  return v;
}

TEST(Timestamps, FirstBufferTakesTheClockWithItsLowBitsCleared) {
  PinContext c = {};
  auto s = RunVideo(&c, Signal(30), {1000003});
  EXPECT_EQ(s[0].time, 1000000);
  EXPECT_EQ(s[0].duration, 333333);
  EXPECT_EQ(c.nLastPresentationTime, 1000003);  // the state keeps the full value
  EXPECT_EQ(c.nLastClockTime, 1000003);
}

// Every interval is snapped: the window, the fractional column and the signal cap decide.
TEST(Timestamps, SnapWindowsByIntervalAndFractionalFlag) {
  struct Case {
    LONGLONG interval;
    ULONG fractional;
    ULONG signalRate;
    LONGLONG duration;
  } cases[] = {
      {333400, 0, 30, 333333},   // 30,000
      {333667, 1, 30, 333667},   // 29,970
      {333667, 0, 30, 333333},   // no window without the flag: the signal's 30,000
      {204167, 0, 60, 208333},   // the overlap goes to the later window: 48,000
      {166700, 0, 60, 166666},   // 60,000
      {400000, 0, 25, 400000},   // 25,000
      {1600000, 0, 0, 1600000},  // 6,250 with no signal rate to cap it
      {166700, 0, 30, 333333},   // 60,000 above a 30 fps signal: dropped
  };
  for (const Case& k : cases) {
    PinContext c = {};
    auto s = RunVideo(&c, Signal(k.signalRate, 1280, 720, k.fractional), {10000000, 10000000 + k.interval});
    EXPECT_EQ(s[1].duration, k.duration) << k.interval << " fractional " << k.fractional;
  }
}

// 333,400 between readings snaps to 30,000: the remainder grows by 33,333,333 a frame, so
// the fourth increment and every third after it is one more; the duration stays.
TEST(Timestamps, RemainderCarriesIntoEveryThirdIncrement) {
  // Header times have their low bits cleared; compare the carries through the state.
  PinContext d = {};
  std::vector<LONGLONG> exact;
  LONGLONG previous = 0;
  for (LONGLONG now : Steady(50000000, 333400, 11)) {
    LONGLONG t, dur;
    LONGLONG rate =
        ChooseVideoRate(&d, Signal(30), (ULONGLONG)now - (ULONGLONG)d.nLastClockTime, LiveVideoTimestampRules);
    StampTime(&d, now, rate, LiveVideoTimestampRules, &t, &dur);
    if (previous) exact.push_back(d.nLastPresentationTime - previous);
    previous = d.nLastPresentationTime;
    EXPECT_EQ(dur, 333333);
  }
  EXPECT_EQ(exact,
            (std::vector<LONGLONG>{333333, 333333, 333333, 333334, 333333, 333333, 333334, 333333, 333333, 333334}));
}

// A 1080-line signal at 60 frames a second is delivered at 30: the measured 60,000 is
// dropped and the time advances by 30 fps durations.
TEST(Timestamps, PixelRateCapsTheRate) {
  PinContext c = {};
  auto s = RunVideo(&c, Signal(60), Steady(20000000, 166667, 4));
  for (const Stamp& st : s) EXPECT_EQ(st.duration, 333333);
  EXPECT_EQ(s[1].time - s[0].time, 333332);  // 333,333 with the low bits cleared
}

// The held rate survives a run of other windows until its counter falls back to 1.
TEST(Timestamps, HysteresisHoldsTheRateUntilTheCounterFallsToOne) {
  PinContext c = {};
  std::vector<LONGLONG> clock = {10000000};
  for (LONGLONG step : {333333, 333333, 333333, 400000, 400000, 400000, 400000}) clock.push_back(clock.back() + step);
  auto s = RunVideo(&c, Signal(0, 0, 0), clock);
  std::vector<LONGLONG> durations;
  for (const Stamp& st : s) durations.push_back(st.duration);
  // First buffer: no window, no signal: 50,000 (625 lines). Then 30,000 held with the
  // counter at 1, 2, 3; two 25,000 readings count it down; the third takes over.
  EXPECT_EQ(durations, (std::vector<LONGLONG>{200000, 333333, 333333, 333333, 333333, 333333, 400000, 400000}));
  EXPECT_EQ(c.nSnappedRate, 25000);
}

// A jump above 100 ms resynchronises at once; a steady offset above half a frame only
// after 100 frames.
TEST(Timestamps, DriftResynchronisation) {
  {
    PinContext c = {};
    std::vector<LONGLONG> clock = Steady(30000000, 333333, 5);
    clock.push_back(clock.back() + 333333 + 2000000);
    auto s = RunVideo(&c, Signal(30), clock);
    EXPECT_EQ(s.back().time, clock.back() & ~3LL);
  }
  {
    PinContext c = {};
    std::vector<LONGLONG> clock = Steady(30000000, 333333, 5);
    LONGLONG t = clock.back() + 333333 + 200000;  // 20 ms late, then steady
    for (int i = 0; i < 110; i++) clock.push_back(t + 333333LL * i);
    std::vector<size_t> synced;
    auto s = RunVideo(&c, Signal(30), clock);
    for (size_t i = 5; i < s.size(); i++)
      if (s[i].time == (clock[i] & ~3LL)) synced.push_back(i - 5);
    ASSERT_FALSE(synced.empty());
    EXPECT_EQ(synced.front(), 100u);  // misses 0..99 tolerated, the 101st resyncs
  }
}

// A clock that stands still: the duration while the offset stays below 100 ms, then
// exactly 1 ms a buffer once a resynchronisation would go backwards.
TEST(Timestamps, StandingClock) {
  PinContext d = {};
  std::vector<LONGLONG> exact;
  LONGLONG previous = 0;
  for (int i = 0; i < 7; i++) {
    LONGLONG t, dur;
    LONGLONG rate =
        ChooseVideoRate(&d, Signal(30), (ULONGLONG)40000000 - (ULONGLONG)d.nLastClockTime, LiveVideoTimestampRules);
    StampTime(&d, 40000000, rate, LiveVideoTimestampRules, &t, &dur);
    if (previous) exact.push_back(d.nLastPresentationTime - previous);
    previous = d.nLastPresentationTime;
  }
  EXPECT_EQ(exact, (std::vector<LONGLONG>{333333, 333333, 333333, 10000, 10000, 10000}));
}

std::vector<Stamp> RunAudio(PinContext* c, ULONG frequency, const std::vector<LONGLONG>& clock) {
  std::vector<Stamp> out;
  for (LONGLONG now : clock) {
    Stamp st{};
    StampTime(c, now, ChooseAudioRate(c, frequency), LiveAudioTimestampRules, &st.time, &st.duration);
    out.push_back(st);
  }
  return out;
}

TEST(Timestamps, AudioIs120MsAheadWith324SamplePackets) {
  PinContext c = {};
  auto s = RunAudio(&c, 0, {5000001, 5067501, 5135001});
  EXPECT_EQ(s[0].time, 6200001);  // low bits kept
  EXPECT_EQ(s[0].duration, 67500);
  EXPECT_EQ(s[1].time, 6267501);
  EXPECT_EQ(c.nLastClockTime, 5135001 + 1200000);
  PinContext k = {};
  EXPECT_EQ(RunAudio(&k, 32000, {1000})[0].duration, 101250);

  // A restart keeps the last clock reading but not the time: the next buffer is
  // resynchronised to the reading.
  c.nLastPresentationTime = 0;
  c.nTimeRemainder = 0;
  auto r = RunAudio(&c, 0, {9000000});
  EXPECT_EQ(r[0].time, 10200000);
}

TEST(Timestamps, AudioToleratesFiveMissesThenResyncs) {
  PinContext c = {};
  std::vector<LONGLONG> clock = Steady(5000000, 67500, 3);
  LONGLONG t = clock.back() + 67500 + 200000;  // 20 ms late, then steady
  for (int i = 0; i < 8; i++) clock.push_back(t + 67500LL * i);
  auto s = RunAudio(&c, 48000, clock);
  std::vector<bool> synced;
  for (size_t i = 3; i < s.size(); i++) synced.push_back(s[i].time == clock[i] + 1200000);
  EXPECT_EQ(synced, (std::vector<bool>{false, false, false, false, false, true, true, true}));
}

// ---- No-signal picture ------------------------------------------------------------------

struct Frame {
  std::vector<UCHAR> bytes;
  explicit Frame(size_t n) : bytes(n + 64, 0xEE) {}
  PUCHAR data() { return bytes.data(); }
  bool GuardIntact(size_t n) const {
    for (size_t i = n; i < bytes.size(); i++)
      if (bytes[i] != 0xEE) return false;
    return true;
  }
};

TEST(NoSignalPicture, CentredIn640x480) {
  const ULONG w = 640, h = 480, n = w * h * 3 / 2;
  Frame f(n);
  DrawNoSignalYv12(f.data(), n, w, h, w);
  const UCHAR* pic = VORLIX_NoSignalPicture();
  const UCHAR* y = f.data();
  const UCHAR* cr = y + w * h;
  const UCHAR* cb = cr + w * h / 4;
  for (ULONG row = 0; row < h; row++)
    for (ULONG col = 0; col < w; col++) {
      bool inside = row >= 120 && row < 360 && col >= 160 && col < 480;
      UCHAR want = inside ? pic[(row - 120) * NO_SIGNAL_PICTURE_STEP + (col - 160) * 2] : pic[0];
      ASSERT_EQ(y[row * w + col], want) << row << "," << col;
    }
  for (ULONG row = 0; row < h / 2; row++)
    for (ULONG col = 0; col < w / 2; col++) {
      bool inside = row >= 60 && row < 180 && col >= 80 && col < 240;
      const UCHAR* px = pic + 2 * (row - 60) * NO_SIGNAL_PICTURE_STEP + (col - 80) * 4;
      ASSERT_EQ(cr[row * w / 2 + col], inside ? px[3] : pic[3]) << row << "," << col;
      ASSERT_EQ(cb[row * w / 2 + col], inside ? px[1] : pic[1]) << row << "," << col;
    }
  EXPECT_TRUE(f.GuardIntact(n));
}

TEST(NoSignalPicture, SmallFramesAndShortBuffersGetAFillWithinTheirBytes) {
  struct Case {
    ULONG w, h, stride, bytes;
  } cases[] = {
      {176, 144, 176, 176 * 144 * 3 / 2},       // below 320 x 240: planes filled only
      {1920, 1080, 2048, 1920 * 1080 * 3 / 2},  // a renderer's pitch wider than the buffer
      {640, 480, 640, 100},                     // a buffer smaller than the format
      {640, 480, 320, 640 * 480 * 3 / 2},       // a stride below the width
  };
  const UCHAR* pic = VORLIX_NoSignalPicture();
  for (const Case& k : cases) {
    Frame f(k.bytes);
    DrawNoSignalYv12(f.data(), k.bytes, k.w, k.h, k.stride);
    EXPECT_TRUE(f.GuardIntact(k.bytes)) << k.w << "x" << k.h << " stride " << k.stride;
    EXPECT_EQ(f.bytes[0], pic[0]);
    if (k.w < 320) {
      EXPECT_EQ(f.bytes[k.w * k.h], pic[3]);
      EXPECT_EQ(f.bytes[k.w * k.h * 5 / 4], pic[1]);
    }
  }
}

// ---- Quantiser adaptation -------------------------------------------------------------

TEST(Quantiser, OnlyInTheAverageBitRateMode) {
  BoardState s = {};
  s.nEncRateControlMode[0] = 1;
  s.nEncQp[0] = s.nEncBaseQp[0] = 26;
  ULONG qp = 0;
  EXPECT_FALSE(AdaptQuantiser(&s, 0, 5000, TRUE, &qp));
  EXPECT_EQ(s.nEncRingSum[0], 0u);
  EXPECT_EQ(s.nEncRingIndex[0], 0u);
}

TEST(Quantiser, StepsWithinFourOfABaseBetween12And44) {
  for (bool low : {true, false}) {
    BoardState s = {};
    s.nEncRateControlMode[1] = 2;
    s.nEncGopLength[1] = 30;
    s.nEncQp[1] = s.nEncBaseQp[1] = 26;
    s.nEncTargetFrameBits[1] = 100000;
    std::vector<ULONG> qps;
    for (int i = 0; i < 300; i++) {
      ULONG qp = 0;
      ASSERT_TRUE(AdaptQuantiser(&s, 1, low ? 5000 : 50000, TRUE, &qp));
      qps.push_back(qp);
      ASSERT_LE(qp, s.nEncBaseQp[1] + 4);
      ASSERT_GE(qp + 4, s.nEncBaseQp[1]);
    }
    EXPECT_EQ(s.nEncBaseQp[1], low ? 12u : 44u);
    EXPECT_EQ(qps.back(), low ? 8u : 48u);
    EXPECT_EQ((std::vector<ULONG>(qps.begin(), qps.begin() + 6)),
              low ? (std::vector<ULONG>{25, 24, 23, 22, 22, 21}) : (std::vector<ULONG>{27, 28, 29, 30, 30, 31}));
  }
}

// A GOP of 4 averages over the last 16 frames: after one larger frame the quantiser keeps
// moving until that frame has left the window.
TEST(Quantiser, AverageCoversTheWindowOfTheGop) {
  BoardState s = {};
  s.nEncRateControlMode[0] = 2;
  s.nEncGopLength[0] = 4;
  s.nEncQp[0] = s.nEncBaseQp[0] = 26;
  s.nEncTargetFrameBits[0] = 80000;
  ULONG qp = 0;
  for (int i = 0; i < 16; i++) AdaptQuantiser(&s, 0, 10000, TRUE, &qp);
  EXPECT_EQ(qp, 26u);
  AdaptQuantiser(&s, 0, 30000, TRUE, &qp);
  EXPECT_EQ(qp, 27u);
  // 15 more frames see the larger one (the qp climbs to base + 4, then the base moves
  // with it), the 16th no longer does.
  std::vector<bool> moved;
  for (int i = 0; i < 17; i++) {
    ULONG before = s.nEncQp[0] * 100 + s.nEncBaseQp[0];
    AdaptQuantiser(&s, 0, 10000, TRUE, &qp);
    moved.push_back(s.nEncQp[0] * 100 + s.nEncBaseQp[0] != before);
  }
  EXPECT_EQ(moved, (std::vector<bool>{true, true, true, true, true, true, true, true, true, true, true, true, true,
                                      true, true, false, false}));
}

TEST(Quantiser, AFrameWithATypeMarkerOnlyJoinsTheRing) {
  BoardState s = {};
  s.nEncRateControlMode[0] = 2;
  s.nEncGopLength[0] = 30;
  s.nEncQp[0] = s.nEncBaseQp[0] = 26;
  s.nEncTargetFrameBits[0] = 100000;
  ULONG qp = 0;
  EXPECT_FALSE(AdaptQuantiser(&s, 0, 1000, FALSE, &qp));
  EXPECT_EQ(s.nEncRingSum[0], 1000u);
  EXPECT_EQ(s.nEncRingIndex[0], 1u);
  EXPECT_EQ(s.nEncQp[0], 26u);
  EXPECT_TRUE(AdaptQuantiser(&s, 0, 1000, TRUE, &qp));
  EXPECT_EQ(qp, 25u);
}

}  // namespace
