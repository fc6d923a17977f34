// Finishing of audio buffers: the times of 1,024-sample packets, the overrides, and the
// contents taken from the board's audio ring (slot by picture number, mono duplicate,
// eight-channel gather, the down-conversions from 48 kHz) within the buffers they touch.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/driver/streaming/frame_finishing_fixture.h"

namespace {

using namespace frame_finishing_test;

constexpr ULONG kRingBytes = 8 * 4096;

// A device whose DMA buffer holds the audio ring: 16-bit sample i of the buffer is
// (i * 37 - 30000) wrapped, so neighbouring samples differ and some are negative.
struct RingDevice : Device {
  std::vector<UCHAR> ring;
  explicit RingDevice(ULONG bytes = kRingBytes) : ring(bytes) {
    for (ULONG i = 0; i + 1 < bytes; i += 2) {
      SHORT s = (SHORT)((i / 2) * 37 - 30000);
      std::memcpy(&ring[i], &s, 2);
    }
    (*this)->m_pDmaBuffer = ring.data();
    (*this)->m_nDmaBufferSize = bytes;
    (*this)->m_nAnalogAudioSampleFrequency = 48000;
  }
  SHORT At(ULONG byteOffset) const {
    SHORT s;
    std::memcpy(&s, &ring[byteOffset], 2);
    return s;
  }
};

SHORT SampleOf(const std::vector<UCHAR>& v, size_t byteOffset) {
  SHORT s;
  std::memcpy(&s, &v[byteOffset], 2);
  return s;
}

TEST(FillAudioFrame, FirstPacketIs120MsAheadWith1024SampleDurations) {
  RingDevice d;
  AudioPin p(d, 13);
  std::vector<UCHAR> buffer(4096);
  p.clock.now = 5000001;
  KSSTREAM_HEADER h = p.Fill(buffer);
  EXPECT_EQ(h.PresentationTime.Time, 6200001);  // low bits kept
  EXPECT_EQ(h.Duration, 213333);
  EXPECT_EQ(h.OptionsFlags, (ULONG)KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY | 0x110u);
  EXPECT_EQ(h.DataUsed, 4096u);
  // 213,333.33 a packet: the fourth increment carries.
  std::vector<LONGLONG> increments;
  LONGLONG previous = p.c.nLastPresentationTime;
  for (int i = 0; i < 6; i++) {
    p.clock.now += 213333;
    h = p.Fill(buffer);
    EXPECT_EQ(h.OptionsFlags, 0x110u);
    increments.push_back(p.c.nLastPresentationTime - previous);
    previous = p.c.nLastPresentationTime;
  }
  EXPECT_EQ(increments, (std::vector<LONGLONG>{213333, 213333, 213333, 213334, 213333, 213333}));
}

// The three windows with their hysteresis; without a window the held rate from a count
// of 2, else the detected frequency, else 48 kHz.
TEST(FillAudioFrame, RateWindowsAndFallbacks) {
  struct Case {
    ULONG frequency;
    LONGLONG interval;
    LONGLONG duration;
  } cases[] = {
      {48000, 212333, 213333}, {48000, 214333, 213333}, {48000, 231199, 232199},
      {48000, 233199, 232199}, {44100, 319000, 320000}, {48000, 321000, 320000},
      {44100, 250000, 232199}, {0, 250000, 213333},     {32000, 212332, 320000},
  };
  for (const Case& k : cases) {
    RingDevice d;
    d->m_nAnalogAudioSampleFrequency = k.frequency;
    AudioPin p(d, 13);
    std::vector<UCHAR> buffer(64);
    p.clock.now = 10000000;
    p.Fill(buffer);
    p.clock.now += k.interval;
    KSSTREAM_HEADER h = p.Fill(buffer);
    EXPECT_EQ(h.Duration, k.duration) << k.frequency << " " << k.interval;
  }
  // Held: two 44.1 kHz packets, then intervals matching nothing keep 44.1 kHz although the
  // detected frequency says 48 kHz.
  RingDevice d;
  AudioPin p(d, 13);
  std::vector<UCHAR> buffer(64);
  p.clock.now = 10000000;
  p.Fill(buffer);
  std::vector<LONGLONG> durations;
  for (LONGLONG step : {232199, 232199, 250000, 250000}) {
    p.clock.now += step;
    durations.push_back(p.Fill(buffer).Duration);
  }
  EXPECT_EQ(durations, (std::vector<LONGLONG>{232199, 232199, 232199, 232199}));
}

TEST(FillAudioFrame, OverridesAndNoClock) {
  {
    RingDevice d;
    d->m_nAnalogAudioDirectSoundPatch = 1;
    AudioPin p(d, 13);
    std::vector<UCHAR> buffer(4096, 0xAB);
    p.clock.now = 7000000;
    KSSTREAM_HEADER h = p.Fill(buffer);
    EXPECT_EQ(h.PresentationTime.Time, 8200000);
    EXPECT_EQ(h.Duration, 100000);
    EXPECT_EQ(buffer, std::vector<UCHAR>(4096, 0xAB));  // nothing copied
  }
  for (ULONG frequency : {0u, 32000u}) {
    RingDevice d;
    d->m_nCompanyWembric = 1;
    d->m_nAnalogAudioSampleFrequency = frequency;
    AudioPin p(d, 13);
    std::vector<UCHAR> buffer(16);
    p.clock.now = 7000000;
    p.Fill(buffer);
    p.clock.now += 500000;
    KSSTREAM_HEADER h = p.Fill(buffer);
    EXPECT_EQ(h.PresentationTime.Time, 8700000);
    EXPECT_EQ(h.Duration, frequency ? 320000 : 213333);
  }
  {
    RingDevice d;
    AudioPin p(d, 13, 2, 48000, false);
    std::vector<UCHAR> buffer(64);
    KSSTREAM_HEADER h{};
    h.OptionsFlags = 0x110;
    h.FrameExtent = 64;
    CCapturePin::FillAudioFrame(&p.c, buffer.data(), 0, 0, buffer.data(), 64, 0, 0, &h);
    EXPECT_EQ(h.OptionsFlags, (ULONG)KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY);
    EXPECT_EQ(h.PresentationTime.Time, 0);
    EXPECT_EQ(h.Duration, 0);
    EXPECT_EQ(std::memcmp(buffer.data(), d.ring.data(), 64), 0);
  }
}

// The packet is the slot of its picture number; no input gives silence; pins that take
// nothing from the ring keep their bytes.
TEST(FillAudioFrame, SlotByPictureNumberAndWhatCopiesNothing) {
  RingDevice d;
  {
    AudioPin p(d, 13);
    std::vector<UCHAR> buffer(4096);
    p.Fill(buffer, 9);
    EXPECT_EQ(std::memcmp(buffer.data(), d.ring.data() + 4096, 4096), 0);
    p.Fill(buffer, 0, 0xFFFFFFFF);
    EXPECT_EQ(buffer, std::vector<UCHAR>(4096, 0));
  }
  for (ULONG index : {12u, 20u}) {
    AudioPin p(d, index);
    std::vector<UCHAR> buffer(4096, 0x5A);
    KSSTREAM_HEADER h = p.Fill(buffer, 3);
    EXPECT_EQ(buffer, std::vector<UCHAR>(4096, 0x5A)) << index;
    EXPECT_EQ(h.DataUsed, 4096u);
  }
  {
    AudioPin p(d, 13);
    std::vector<UCHAR> buffer(4096, 0x5A);
    KSSTREAM_HEADER h = p.Fill(buffer, 3, 0, false);
    EXPECT_EQ(h.DataUsed, 4096u);
  }
}

// A packet longer than the ring can give: the ring's bytes, then silence; no DMA buffer:
// nothing copied.
TEST(FillAudioFrame, CopiesStayInsideTheDmaBuffer) {
  RingDevice d;
  AudioPin p(d, 13);
  std::vector<UCHAR> buffer(8192, 0x11);
  p.Fill(buffer, 7);
  EXPECT_EQ(std::memcmp(buffer.data(), d.ring.data() + 7 * 4096, 4096), 0);
  EXPECT_EQ(std::vector<UCHAR>(buffer.begin() + 4096, buffer.end()), std::vector<UCHAR>(4096, 0));

  d->m_pDmaBuffer = nullptr;
  std::vector<UCHAR> untouched(4096, 0x22);
  KSSTREAM_HEADER h = p.Fill(untouched, 1);
  EXPECT_EQ(untouched, std::vector<UCHAR>(4096, 0x22));
  EXPECT_EQ(h.DataUsed, 4096u);
}

// Mono input on the boards with one audio line per card pair: even cards take the left
// sample of each pair, odd cards the right, on both channels.
TEST(FillAudioFrame, MonoInputDuplicatesTheCardsSample) {
  for (ULONG card : {4u, 5u}) {
    RingDevice d;
    d.SetKind(BOARD_KIND_U);
    d->m_nAnalogCrossbarAudioInput = 1;
    d->m_nDeviceInstanceNumber = card;
    AudioPin p(d, 13);
    std::vector<UCHAR> buffer(4096);
    p.Fill(buffer, 2);
    for (ULONG k = 0; k < 1024; k++) {
      const SHORT s = d.At(2 * 4096 + (2 * k + (card & 1)) * 2);
      ASSERT_EQ(SampleOf(buffer, 4 * k), s) << card << " " << k;
      ASSERT_EQ(SampleOf(buffer, 4 * k + 2), s) << card << " " << k;
    }
  }
}

// Eight channels: 1,024 frames of four words from the four planes, the bytes gathered
// reported as used; a smaller buffer gets as many frames as it holds and nothing past
// its end.
TEST(FillAudioFrame, EightChannelGatherBoundedByTheBuffer) {
  RingDevice d(0x20000);
  for (ULONG extent : {65536u, 16384u, 4000u}) {
    AudioPin p(d, 13, 8);
    std::vector<UCHAR> storage(extent + 32, 0xEE);
    KSSTREAM_HEADER h{};
    h.FrameExtent = extent;
    CCapturePin::FillAudioFrame(&p.c, storage.data(), 0, 0, storage.data(), extent, 0, 0, &h);
    const ULONG frames = extent / 16 < 1024 ? extent / 16 : 1024;
    for (ULONG k = 0; k < frames; k++)
      for (ULONG j = 0; j < 4; j++)
        ASSERT_EQ(std::memcmp(&storage[16 * k + 4 * j], &d.ring[j * 0x8000 + 4 * k], 4), 0) << k << " " << j;
    for (size_t i = extent; i < storage.size(); i++) ASSERT_EQ(storage[i], 0xEE) << extent << " " << i;
    EXPECT_EQ(h.DataUsed, frames * 16);
  }
  // A DMA buffer too small for the gather's planes: nothing read beyond it, nothing used.
  RingDevice small;
  AudioPin p(small, 13, 8);
  std::vector<UCHAR> buffer(16384, 0x33);
  EXPECT_EQ(p.Fill(buffer).DataUsed, 0u);
  EXPECT_EQ(buffer, std::vector<UCHAR>(16384, 0x33));
}

// 48 kHz into 32 kHz over three buffers: the phase moves the start by 0, 8 and 4 bytes and
// the count of frame pairs, then starts again; each pair averages neighbours, truncating
// towards zero.
TEST(FillAudioFrame, ThirtyTwoKilohertzPhases) {
  RingDevice d;
  AudioPin p(d, 13, 2, 32000);
  std::vector<ULONG> used;
  for (int i = 0; i < 4; i++) {
    std::vector<UCHAR> buffer(65536, 0x77);
    KSSTREAM_HEADER h = p.Fill(buffer, i);
    used.push_back(h.DataUsed);
    const ULONG start = (ULONG)i * 4096 + (i % 3 == 0 ? 0 : i % 3 == 1 ? 8 : 4);
    for (ULONG step = 0; step < h.DataUsed / 8; step++) {
      const ULONG f = start + step * 12;
      for (ULONG ch = 0; ch < 2; ch++) {
        const LONG a = d.At(f + 2 * ch), b = d.At(f + 4 + 2 * ch), c = d.At(f + 8 + 2 * ch);
        ASSERT_EQ(SampleOf(buffer, step * 8 + 2 * ch), (SHORT)((a + b) / 2)) << i << " " << step;
        ASSERT_EQ(SampleOf(buffer, step * 8 + 4 + 2 * ch), (SHORT)((b + c) / 2)) << i << " " << step;
      }
    }
    EXPECT_EQ(buffer[h.DataUsed], 0x77);
  }
  EXPECT_EQ(used, (std::vector<ULONG>{2736, 2728, 2728, 2736}));
  EXPECT_EQ(p.c.nResamplePhase, 4u);
}

// The other rates' byte counts by phase, and where each keeps its frames.
TEST(FillAudioFrame, TwentyFourSixteenAndEightKilohertz) {
  struct Case {
    ULONG rate;
    ULONG used[3];
    ULONG offset[3];
    ULONG readFrames;
    bool firstAndThird;
  } cases[] = {
      {24000, {2048, 2048, 2048}, {0, 0, 0}, 4, true},
      {16000, {1368, 1364, 1364}, {0, 8, 4}, 3, false},
      {8000, {684, 684, 680}, {0, 8, 32}, 6, false},
  };
  for (const Case& k : cases) {
    RingDevice d;
    AudioPin p(d, 13, 2, k.rate);
    for (ULONG phase = 0; phase < 3; phase++) {
      std::vector<UCHAR> buffer(65536);
      KSSTREAM_HEADER h = p.Fill(buffer, 1);
      EXPECT_EQ(h.DataUsed, k.used[phase]) << k.rate << " phase " << phase;
      const ULONG start = 4096 + k.offset[phase];
      const ULONG perStep = k.firstAndThird ? 8 : 4;
      for (ULONG step = 0; step < h.DataUsed / perStep; step++) {
        const ULONG f = start + step * k.readFrames * 4;
        ASSERT_EQ(std::memcmp(&buffer[step * perStep], &d.ring[f], 4), 0) << k.rate << " " << step;
        if (k.firstAndThird) {
          ASSERT_EQ(std::memcmp(&buffer[step * perStep + 4], &d.ring[f + 8], 4), 0);
        }
      }
    }
  }
  // Only from 48 kHz: a 44.1 kHz ring is copied as it is.
  RingDevice d;
  d->m_nAnalogAudioSampleFrequency = 44100;
  AudioPin p(d, 13, 2, 32000);
  std::vector<UCHAR> buffer(4096);
  EXPECT_EQ(p.Fill(buffer, 0).DataUsed, 4096u);
  EXPECT_EQ(std::memcmp(buffer.data(), d.ring.data(), 4096), 0);
  EXPECT_EQ(p.c.nResamplePhase, 0u);
}

// Conversions stop where the ring or the buffer ends: the last slot's first phase would
// read 8 bytes past the ring, a small buffer holds fewer frames.
TEST(FillAudioFrame, ConversionsStayInsideTheRingAndTheBuffer) {
  {
    RingDevice d;
    AudioPin p(d, 13, 2, 32000);
    std::vector<UCHAR> buffer(4096);
    EXPECT_EQ(p.Fill(buffer, 7).DataUsed, 2728u);
  }
  {
    RingDevice d;
    AudioPin p(d, 13, 2, 32000);
    std::vector<UCHAR> storage(1000 + 16, 0xEE);
    KSSTREAM_HEADER h{};
    CCapturePin::FillAudioFrame(&p.c, storage.data(), 0, 0, storage.data(), 1000, 0, 0, &h);
    EXPECT_EQ(h.DataUsed, 1000u);  // 125 whole frame pairs
    for (size_t i = 1000; i < storage.size(); i++) EXPECT_EQ(storage[i], 0xEE);
  }
}

}  // namespace
