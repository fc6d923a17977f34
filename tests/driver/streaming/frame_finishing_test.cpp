// Finishing of the virtual camera's video frames: what the frame keeps, when and how it is
// blanked, its times on the boards with their own stamping rules, and the stream header.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/hardware/firmware.h"
#include "driver/streaming/timestamps.h"
#include "tests/driver/streaming/frame_finishing_fixture.h"

namespace {

using namespace frame_finishing_test;

constexpr ULONG kOptionsTime = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;

std::vector<UCHAR> Pattern(size_t n, UCHAR seed) {
  std::vector<UCHAR> v(n);
  for (size_t i = 0; i < n; i++) v[i] = (UCHAR)(i * 7 + seed);
  return v;
}

// A 16-bit frame keeps exactly the pushed bytes, the whole extent is used, and the header
// carries the pin's picture number, the discontinuity on the first frame only and the time.
TEST(FillVideoFrame, VirtualFrameKeepsThePushedBytes) {
  Device d;
  VideoPin p(d, 8, 640, 480, 16);
  p.c.nPictureNumber = 7;
  p.clock.now = 5000000;
  auto pushed = Pattern(640 * 480 * 2, 3);
  auto buffer = pushed;
  VideoHeader h = p.Fill(buffer);
  EXPECT_EQ(buffer, pushed);
  EXPECT_EQ(h.header.DataUsed, buffer.size());
  EXPECT_EQ(h.header.OptionsFlags, 0x115u);
  EXPECT_EQ(h.header.PresentationTime.Time, 5000000);
  EXPECT_EQ(h.info.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
  EXPECT_EQ(h.info.PictureNumber, 7);
  // The picture number that came with the frame wins over the pin's.
  p.clock.now += 333333;
  h = p.Fill(buffer, 0, 0, 0, 12);
  EXPECT_EQ(h.header.OptionsFlags, 0x111u);
  EXPECT_EQ(h.info.PictureNumber, 12);
  EXPECT_EQ(buffer, pushed);
}

TEST(FillVideoFrame, FlushMissingDataAndNoClock) {
  Device d;
  VideoPin p(d, 8, 64, 48, 16, "YUY2", false);
  auto buffer = Pattern(64 * 48 * 2, 1);
  p.c.bResync = 0;
  VideoHeader h = p.Fill(buffer, 0, 1);
  EXPECT_EQ(h.header.DataUsed, 0u);
  EXPECT_EQ(p.c.bResync, 1);
  EXPECT_EQ(h.header.OptionsFlags, KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT);  // no clock: no valid flags
  EXPECT_EQ(h.header.PresentationTime.Time, 0);
  EXPECT_EQ(h.header.Duration, 0);
  // No data: nothing used, nothing blanked even on a no-input byte count.
  VideoHeader g{};
  g.header.Size = sizeof(g);
  CCapturePin::FillVideoFrame(&p.c, buffer.data(), 0xFFFFFFFF, 0, nullptr, (ULONG)buffer.size(), 0, 0, &g.header);
  EXPECT_EQ(g.header.DataUsed, 0u);
  EXPECT_EQ(g.header.OptionsFlags,
            (ULONG)KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT | KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY);
  EXPECT_EQ(buffer, Pattern(64 * 48 * 2, 1));
}

// The blank 4:2:2 fill with the no-signal picture centred: a 640 x 480 frame has it in
// rows 120-359, bytes 320-959.
TEST(FillVideoFrame, NoSignalOnTheBlankingBoardDrawsTheCentredPicture) {
  Device d;
  d->m_nCompanyHolvane = 3;
  d->m_nAnalogVideoDecoderStatus = 0;
  VideoPin p(d, 8, 640, 480, 16);
  auto buffer = Pattern(640 * 480 * 2, 9);
  VideoHeader h = p.Fill(buffer);
  EXPECT_EQ(h.header.DataUsed, buffer.size());
  const UCHAR* picture = VORLIX_NoSignalPicture();
  for (ULONG y = 0; y < 480; y++) {
    for (ULONG x = 0; x < 1280; x++) {
      const UCHAR b = buffer[y * 1280 + x];
      if (y >= 120 && y < 360 && x >= 320 && x < 960) {
        ASSERT_EQ(b, picture[(y - 120) * 640 + (x - 320)]) << y << "," << x;
      } else {
        ASSERT_EQ(b, (x & 1) ? 0x00 : 0x80) << y << "," << x;
      }
    }
  }
  // With the signal back the frame keeps its bytes again.
  d->m_nAnalogVideoDecoderStatus = 1;
  auto pushed = Pattern(640 * 480 * 2, 4);
  buffer = pushed;
  p.Fill(buffer);
  EXPECT_EQ(buffer, pushed);
}

// Which boards blank without a signal, and whether they draw the picture.
TEST(FillVideoFrame, BlankingRulesBySwitch) {
  struct Case {
    ULONG holvane, pelgrane, mavrene, status, length;
    bool blanked, picture;
  } cases[] = {
      {0, 0, 0, 0, 0, false, false},         // no signal alone keeps the frame
      {4, 0, 0, 0, 0, true, true},           // the second blanking value
      {2, 0, 0, 0, 0, false, false},         // other values do not blank
      {3, 0, 0, 1, 0, false, false},         // with a signal
      {0, 0, 0, 1, 0xFFFFFFFF, true, true},  // no input at all
      {0, 1, 0, 0, 0, true, false},          // blanks, without the picture
      {3, 0, 1, 0, 0, true, false},          // picture switched off
  };
  for (const Case& k : cases) {
    Device d;
    d->m_nCompanyHolvane = k.holvane;
    d->m_nCompanyPelgrane = k.pelgrane;
    d->m_nCompanyMavrene = k.mavrene;
    d->m_nAnalogVideoDecoderStatus = k.status;
    VideoPin p(d, 8, 640, 480, 16);
    auto pushed = Pattern(640 * 480 * 2, 5);
    auto buffer = pushed;
    p.Fill(buffer, k.length);
    const size_t centre = 240 * 1280 + 640;
    SCOPED_TRACE(testing::Message() << k.holvane << k.pelgrane << k.mavrene << k.status);
    if (!k.blanked) {
      EXPECT_EQ(buffer, pushed);
      continue;
    }
    EXPECT_EQ(buffer[0], 0x80);
    EXPECT_EQ(buffer[1], 0x00);
    const UCHAR* picture = VORLIX_NoSignalPicture();
    const bool drawn = std::memcmp(&buffer[120 * 1280 + 320], picture, 640) == 0;
    EXPECT_EQ(drawn, k.picture);
    (void)centre;
  }
}

// Blanking by bit count: 12-bit frames get zero luma and 0x80 chroma over the extent,
// others zeros.
TEST(FillVideoFrame, BlankingBy12And24And32Bits) {
  Device d;
  {
    VideoPin p(d, 8, 640, 480, 12, "YV12");
    std::vector<UCHAR> buffer = Pattern(460800, 1);
    p.Fill(buffer, 0xFFFFFFFF);
    std::vector<UCHAR> expected(460800, 0x80);
    std::memset(expected.data(), 0, 307200);
    EXPECT_EQ(buffer, expected);
  }
  for (ULONG bits : {24u, 32u}) {
    VideoPin p(d, 8, 64, 48, bits, "RGB ");
    std::vector<UCHAR> buffer = Pattern(64 * 48 * bits / 8, 1);
    p.Fill(buffer, 0xFFFFFFFF);
    EXPECT_EQ(buffer, std::vector<UCHAR>(buffer.size(), 0));
  }
}

// A stride taken over while running that the buffer does not have: the fill stays inside
// the buffer and the picture is left out.
TEST(FillVideoFrame, BlankFillNeverLeavesTheBuffer) {
  Device d;
  VideoPin p(d, 8, 640, 480, 16);
  p.c.nStride = 1024;
  const size_t extent = 640 * 480 * 2;
  std::vector<UCHAR> storage(extent + 64, 0xEE);
  VideoHeader h{};
  h.header.Size = sizeof(h);
  CCapturePin::FillVideoFrame(&p.c, storage.data(), 0xFFFFFFFF, 0, storage.data(), extent, 0, 0, &h.header);
  for (size_t i = 0; i < extent; i++) ASSERT_EQ(storage[i], (i & 1) ? 0x00 : 0x80) << i;
  for (size_t i = extent; i < storage.size(); i++) ASSERT_EQ(storage[i], 0xEE) << i;
}

// The board that keeps blanking after the signal comes back: 15 more frames, counted
// once per device whichever pin finishes them.
TEST(FillVideoFrame, BlankingCountdownAfterTheSignalReturns) {
  Device d;
  d->m_nCompanyPelgrane = 1;
  d->m_nAnalogVideoDecoderStatus = 0;
  VideoPin a(d, 8, 64, 48, 16), b(d, 9, 64, 48, 16);
  auto pushed = Pattern(64 * 48 * 2, 2);
  auto blanked = [&](VideoPin& p) {
    auto buffer = pushed;
    p.Fill(buffer);
    return buffer != pushed;
  };
  EXPECT_TRUE(blanked(a));
  EXPECT_EQ(d->m_nBlankCountdown, 15u);
  d->m_nAnalogVideoDecoderStatus = 1;
  std::vector<bool> seen;
  for (int i = 0; i < 17; i++) seen.push_back(blanked(i & 1 ? b : a));
  std::vector<bool> expected(17, true);
  expected[15] = expected[16] = false;
  EXPECT_EQ(seen, expected);
}

// The 19 windows, each at both ends, whatever the fractional flag; the later of two
// matching windows wins; no pixel-rate halving of a 1080-line signal.
TEST(VirtualVideoTimestamps, SnapWindowsIgnoreTheFractionalFlag) {
  struct Case {
    ULONGLONG interval;
    LONGLONG rate;
  } cases[] = {
      {161666, 60000}, {166750, 59940}, {171833, 59940}, {195000, 50000}, {204166, 50000}, {204167, 48000},
      {208438, 47952}, {213542, 47952}, {328333, 30000}, {333500, 30000}, {333501, 29970}, {338667, 29970},
      {395000, 25000}, {405000, 25000}, {411666, 24000}, {416874, 24000}, {416875, 23976}, {422083, 23976},
      {495000, 20000}, {500250, 19980}, {505500, 19980}, {595000, 16666}, {605000, 16666}, {661666, 15000},
      {667112, 14985}, {672557, 14985}, {795000, 12500}, {805000, 12500}, {1328333, 7500}, {1334000, 7492},
      {1339668, 7492}, {1595000, 6250}, {1605000, 6250},
  };
  for (ULONG fractional : {0u, 1u}) {
    for (const Case& k : cases) {
      Device d;
      d->m_SourceTiming.bFractional = fractional;
      VideoPin p(d, 8, 64, 48, 16);
      auto buffer = Pattern(64 * 48 * 2, 0);
      p.clock.now = 10000000;
      p.Fill(buffer);
      p.clock.now += (LONGLONG)k.interval;
      VideoHeader h = p.Fill(buffer);
      EXPECT_EQ(h.header.Duration, 10000000000LL / k.rate) << k.interval << " fractional " << fractional;
      EXPECT_EQ(p.c.nSnappedRate, k.rate) << k.interval;
    }
  }
}

// Without a window the rate is the signal's (fields halved first, the fractional flag from
// the source timing), never halved for the pixel rate; a window above the signal's rate
// is dropped.
TEST(VirtualVideoTimestamps, SignalRateWithoutAWindow) {
  struct Case {
    ULONG frameRate, interlaced, fractional;
    ULONGLONG interval;
    LONGLONG duration;
  } cases[] = {
      {60, 0, 0, 100000, 166666},  // 1080p60 stays at 60
      {60, 1, 0, 100000, 333333},  // fields: 30
      {60, 0, 1, 100000, 166833},  // 59.94
      {25, 0, 0, 166700, 400000},  // 60 above 25: dropped, the signal's 25
      {0, 0, 0, 100000, 200000},   // no signal, 625 lines: 50
  };
  for (const Case& k : cases) {
    Device d;
    d->m_nAnalogVideoFrameRate = k.frameRate;
    d->m_nAnalogVideoInterleaved = k.interlaced;
    d->m_SourceTiming.bFractional = k.fractional;
    VideoPin p(d, 8, 1920, 1080, 16);
    std::vector<UCHAR> buffer(16);
    p.clock.now = 10000000;
    p.Fill(buffer);
    p.clock.now += (LONGLONG)k.interval;
    VideoHeader h = p.Fill(buffer);
    EXPECT_EQ(h.header.Duration, k.duration) << k.frameRate << "/" << k.interlaced << "/" << k.fractional;
  }
}

// A steady offset above 1 ms is tolerated for five frames, then the time takes the clock;
// the low bits are kept on ordinary boards.
TEST(VirtualVideoTimestamps, OneMillisecondDriftLimitAndFiveMisses) {
  Device d;
  d->m_nAnalogVideoFrameRate = 30;
  VideoPin p(d, 8, 64, 48, 16);
  std::vector<UCHAR> buffer(16);
  p.clock.now = 10000001;
  std::vector<LONGLONG> times;
  for (int i = 0; i < 8; i++) {
    times.push_back(p.Fill(buffer).header.PresentationTime.Time);
    p.clock.now += i == 0 ? 333333 + 20000 : 333333;  // one 2 ms late reading, then steady
  }
  // Frame 1 is 2 ms off: misses on frames 1-5 (the fourth carries the remainder), the
  // sixth takes the clock.
  EXPECT_EQ(times[0], 10000001);
  for (int i = 1; i <= 5; i++) EXPECT_EQ(times[i], 10000001 + 333333 * i + (i >= 4 ? 1 : 0)) << i;
  EXPECT_EQ(times[6], 10000001 + 333333 * 6 + 20000);
  EXPECT_EQ(p.c.nDriftCount, 0);
}

// The boards that stamp with the clock itself: every time is the reading, its low bits
// cleared and then carrying bits 8-9 of the DataUsed the header arrived with; the drop
// count swallows frames.
TEST(VirtualVideoTimestamps, ClockFollowingBoards) {
  Device d;
  d.SetKind(BOARD_KIND_T);
  d->m_nAnalogVideoFrameRate = 30;
  d->m_nAnalogVideoDropCount = 2;
  VideoPin p(d, 8, 64, 48, 16);
  std::vector<UCHAR> buffer(64 * 48 * 2);
  p.clock.now = 20000003;
  const LONGLONG steps[] = {0, 333333, 340000, 310000};
  const ULONG arrived[] = {0x300, 0x100, 0x200, 0xFF};
  const ULONG used[] = {0, 0, (ULONG)buffer.size(), (ULONG)buffer.size()};
  for (int i = 0; i < 4; i++) {
    p.clock.now += steps[i];
    const LONGLONG reading = p.clock.now;
    VideoHeader h = p.Fill(buffer, 0, 0, arrived[i]);
    EXPECT_EQ(h.header.PresentationTime.Time, (reading & ~3LL) + ((arrived[i] >> 8) & 3)) << i;
    EXPECT_EQ(h.header.DataUsed, used[i]) << i;
    EXPECT_EQ(p.c.nLastPresentationTime, reading) << i;
  }
  EXPECT_EQ(d->m_nAnalogVideoDropCount, 0u);
}

// The override of one customer: a fresh clock reading, and a duration from the signal's
// rate or the pin's frame interval.
TEST(VirtualVideoTimestamps, OverrideTakesAFreshReadingAndTheSignalDuration) {
  struct Case {
    ULONG frameRate, interlaced;
    LONGLONG duration;
  } cases[] = {{0, 0, 417083}, {30, 0, 333333}, {50, 1, 400000}, {60, 0, 166666}};
  for (const Case& k : cases) {
    Device d;
    d->m_nCompanyWembric = 1;
    d->m_nAnalogVideoFrameRate = k.frameRate;
    d->m_nAnalogVideoInterleaved = k.interlaced;
    VideoPin p(d, 8, 64, 48, 16);
    p.c.nAvgTimePerFrame = 417083;
    p.clock.now = 30000001;
    p.clock.step = 7;  // the second reading is later than the first
    std::vector<UCHAR> buffer(16);
    VideoHeader h = p.Fill(buffer);
    EXPECT_EQ(h.header.PresentationTime.Time, 30000008);
    EXPECT_EQ(h.header.Duration, k.duration);
    EXPECT_EQ(p.c.nLastPresentationTime, 30000001);
  }
}

}  // namespace
