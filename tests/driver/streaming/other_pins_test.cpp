// The audio capture pin, the encoder output pin and the three pin types no filter of the
// build lists (VBI, auxiliary video, auxiliary stream), through KS: slots and counting
// tables, format acceptance and framing, intersections, state resets, and client formats
// that must be refused without being read past their end.
#include <cstring>

#include "driver/streaming/audio_pin.h"
#include "driver/streaming/aux_pins.h"
#include "driver/streaming/encoder_pin.h"
#include "tests/driver/streaming/streaming_fixture.h"

namespace {

using namespace streaming_test;

// ---- audio ------------------------------------------------------------------------------

struct WaveFormatBytes {
  uint8_t bytes[AUDIO_FORMAT_BYTES];
  const KSDATAFORMAT* Format() const { return reinterpret_cast<const KSDATAFORMAT*>(bytes); }
};

WaveFormatBytes Wave(const KSDATARANGE* range, USHORT channels, ULONG rate, USHORT bits) {
  WaveFormatBytes w{};
  KSDATAFORMAT head;
  std::memcpy(&head, range, sizeof(head));
  head.FormatSize = AUDIO_FORMAT_BYTES;
  std::memcpy(w.bytes, &head, sizeof(head));
  WAVEFORMATEX wave{};
  wave.wFormatTag = WAVE_FORMAT_PCM;
  wave.nChannels = channels;
  wave.nSamplesPerSec = rate;
  wave.wBitsPerSample = bits;
  wave.nBlockAlign = (USHORT)(channels * bits / 8);
  wave.nAvgBytesPerSec = wave.nBlockAlign * rate;
  std::memcpy(w.bytes + sizeof(KSDATAFORMAT), &wave, sizeof(wave));
  return w;
}

class AudioPinTest : public StreamingTest {
 protected:
  void SetUp() override {
    StreamingTest::SetUp();
    if (HasFatalFailure()) return;
    StartBoard(Kind(BOARD_KIND_ENCODER), {{u"CustomVirtualCaptureDeviceProperty", 1}});
    HoldMonitor();  // its signal detection logs every 500 ms
  }
  // Filter 0: channel 0's (mono) audio filter; filter 1: the virtual (stereo) one.
  const KSDATARANGE* Range(size_t filter) {
    return client->ListFilters(KSCATEGORY_AUDIO)[filter].Descriptor->PinDescriptors[0].PinDescriptor.DataRanges[0];
  }
  NTSTATUS Pin(size_t filter, const KSDATAFORMAT* format, HANDLE* pin) {
    HANDLE h = nullptr;
    NTSTATUS status = Open(KSCATEGORY_AUDIO, filter, &h);
    return NT_SUCCESS(status) ? client->CreatePin(h, 0, format, pin) : status;
  }
  AudioPinContext* Ctx(ULONG slot) {
    PKSPIN p = Dev()->m_pAudioPin[slot];
    return p ? static_cast<AudioPinContext*>(p->Context) : nullptr;
  }
};

TEST_F(AudioPinTest, SlotsBlockSizesAndFraming) {
  struct Case {
    const char* name;
    size_t filter;
    USHORT channels;
    ULONG slot, streamIndex, param;
  };
  const Case cases[] = {
      {"mono, channel 0", 0, 1, 0, 12, 512},
      {"stereo, virtual", 1, 2, 8, 20, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WaveFormatBytes w = Wave(Range(c.filter), c.channels, 48000, 16);
    HANDLE pin = nullptr;
    ASSERT_EQ(Pin(c.filter, w.Format(), &pin), STATUS_SUCCESS);
    AudioPinContext* ctx = Ctx(c.slot);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->nStreamIndex, c.streamIndex);
    EXPECT_EQ(ctx->nParam, c.param);
    EXPECT_EQ(ctx->nChannels, c.channels);
    EXPECT_EQ(ctx->nSamplesPerSec, 48000u);
    EXPECT_EQ(ctx->nBitsPerSample, 16u);
    EXPECT_EQ(ctx->bResync, 1);
    EXPECT_NE(ctx->pWorkBuffer, nullptr);
    KSALLOCATOR_FRAMING_EX framing{};
    ASSERT_EQ(client->AllocatorFraming(pin, &framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.FramingItem[0].Frames, 25u);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MinFrameSize, 65536u);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MaxFrameSize, 65536u);
    EXPECT_EQ(AudioMonoFraming.FramingItem[0].FramingRange.Range.MaxFrameSize, 960u);
    ASSERT_EQ(client->Close(pin), STATUS_SUCCESS);
    EXPECT_EQ(Dev()->m_pAudioPin[c.slot], nullptr);
  }
}

TEST_F(AudioPinTest, SlotRulesAndDirectSoundLine) {
  WaveFormatBytes mono = Wave(Range(0), 1, 48000, 16);
  HANDLE a = nullptr, b = nullptr;
  Dev()->m_nAnalogAudioDirectSoundPatch = 1;
  pk::ClearDebugLog();
  ASSERT_EQ(Pin(0, mono.Format(), &a), STATUS_SUCCESS);
  EXPECT_EQ(pk::DebugLogText(), "[DIRECTSOUND][ 1, 16, 48000 ]");
  EXPECT_EQ(Pin(0, mono.Format(), &b), STATUS_INSUFFICIENT_RESOURCES);
  Dev()->m_nInstancesPossible = 1;
  ASSERT_EQ(Pin(0, mono.Format(), &b), STATUS_SUCCESS);
  EXPECT_EQ(Ctx(1)->nStreamIndex, 13u);
}

TEST_F(AudioPinTest, FormatFaultsAreRefused) {
  struct Case {
    const char* name;
    USHORT channels;
    ULONG rate;
    USHORT bits;
    ULONG formatSize;
  };
  const Case cases[] = {
      {"stereo on the mono range", 2, 48000, 16, AUDIO_FORMAT_BYTES},
      {"no channels", 0, 48000, 16, AUDIO_FORMAT_BYTES},
      {"zero rate", 1, 0, 16, AUDIO_FORMAT_BYTES},
      {"rate above the range", 1, 96000, 16, AUDIO_FORMAT_BYTES},
      {"zero bits", 1, 48000, 0, AUDIO_FORMAT_BYTES},
      {"odd bits", 1, 48000, 17, AUDIO_FORMAT_BYTES},
      {"short: the header only", 1, 48000, 16, sizeof(KSDATAFORMAT)},
      {"short by one byte", 1, 48000, 16, AUDIO_FORMAT_BYTES - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WaveFormatBytes w = Wave(Range(0), c.channels, c.rate, c.bits);
    std::vector<uint8_t> bytes(w.bytes, w.bytes + c.formatSize);
    reinterpret_cast<KSDATAFORMAT*>(bytes.data())->FormatSize = c.formatSize;
    HANDLE pin = nullptr;
    EXPECT_EQ(Pin(0, reinterpret_cast<const KSDATAFORMAT*>(bytes.data()), &pin), STATUS_NO_MATCH);
    EXPECT_EQ(Dev()->m_pAudioPin[0], nullptr);
  }
  EXPECT_EQ(pk::PoolStats(MakePoolTag("Vamp")).liveBlocks, 0);
}

TEST_F(AudioPinTest, FormatChangeWhileRunningIsRefused) {
  WaveFormatBytes mono = Wave(Range(0), 1, 48000, 16);
  HANDLE pin = nullptr;
  ASSERT_EQ(Pin(0, mono.Format(), &pin), STATUS_SUCCESS);
  EXPECT_EQ(client->SetDataFormat(pin, mono.Format()), STATUS_SUCCESS);
  ReleaseMonitor();
  ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(client->SetDataFormat(pin, mono.Format()), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(AudioPinTest, StateChangesResetCountersAndTimestamps) {
  WaveFormatBytes mono = Wave(Range(0), 1, 48000, 16);
  HANDLE pin = nullptr;
  ASSERT_EQ(Pin(0, mono.Format(), &pin), STATUS_SUCCESS);
  AudioPinContext* ctx = Ctx(0);
  CDevice* dev = Dev();
  ctx->nPacketNumber = 7;
  ctx->nAudioDropCount = 1;
  ctx->nSnappedRate = 48000;
  ctx->nTimeRemainder = 5;
  ctx->bResync = 0;
  dev->m_nAnalogAudioTotalOutputBytes = 100;
  dev->m_nAnalogVideoTotalOutputFrames = 3;
  ReleaseMonitor();
  ASSERT_EQ(client->SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(ctx->nPacketNumber, 0);
  EXPECT_EQ(ctx->nAudioDropCount, 0);
  EXPECT_EQ(ctx->nSnappedRate, 0);
  EXPECT_EQ(ctx->nTimeRemainder, 0);
  EXPECT_EQ(ctx->bResync, 1);
  EXPECT_EQ(dev->m_nAnalogAudioTotalOutputBytes, 0u);
  EXPECT_EQ(dev->m_nAnalogVideoTotalOutputFrames, 0u);
}

TEST_F(AudioPinTest, Intersection) {
  HANDLE filter = nullptr;
  ASSERT_EQ(Open(KSCATEGORY_AUDIO, 1, &filter), STATUS_SUCCESS);  // the stereo one
  KSDATARANGE_AUDIO caller{};
  std::memcpy(&caller, Range(1), sizeof(caller));
  caller.MaximumChannels = 8;
  caller.MinimumBitsPerSample = 8;
  caller.MaximumBitsPerSample = 32;
  caller.MinimumSampleFrequency = 8000;
  caller.MaximumSampleFrequency = 96000;
  std::vector<uint8_t> format;
  ASSERT_EQ(client->Intersect(filter, 0, {&caller.DataRange}, &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), 82u);
  KSDATAFORMAT head;
  std::memcpy(&head, format.data(), sizeof(head));
  EXPECT_EQ(head.FormatSize, 82u);
  WAVEFORMATEX wave;
  std::memcpy(&wave, format.data() + sizeof(KSDATAFORMAT), sizeof(wave));
  EXPECT_EQ(wave.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(wave.nChannels, 2);
  EXPECT_EQ(wave.wBitsPerSample, 16);
  EXPECT_EQ(wave.nSamplesPerSec, 48000u);
  EXPECT_EQ(wave.nBlockAlign, 4);
  EXPECT_EQ(wave.nAvgBytesPerSec, 192000u);
  EXPECT_EQ(wave.cbSize, 0);
  // The intersection's result creates a pin.
  HANDLE pin = nullptr;
  EXPECT_EQ(client->CreatePin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin), STATUS_SUCCESS);

  struct Case {
    const char* name;
    void (*edit)(KSDATARANGE_AUDIO*);
  };
  const Case cases[] = {
      {"fewer channels", [](KSDATARANGE_AUDIO* r) { r->MaximumChannels = 1; }},
      {"rates below", [](KSDATARANGE_AUDIO* r) { r->MaximumSampleFrequency = 44100; }},
      {"rates above", [](KSDATARANGE_AUDIO* r) { r->MinimumSampleFrequency = 96000; }},
      {"bits below", [](KSDATARANGE_AUDIO* r) { r->MaximumBitsPerSample = 8; }},
      {"a plain range", [](KSDATARANGE_AUDIO* r) { r->DataRange.FormatSize = sizeof(KSDATARANGE); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KSDATARANGE_AUDIO r = caller;
    c.edit(&r);
    EXPECT_EQ(client->Intersect(filter, 0, {&r.DataRange}, &format), STATUS_NO_MATCH);
  }
  ULONG size = 0;
  uint8_t out[82];
  PKSDATARANGE mine = const_cast<PKSDATARANGE>(Range(1));
  EXPECT_EQ(CAudioCapturePin::IntersectHandler(nullptr, nullptr, nullptr, &caller.DataRange, mine, 0, out, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 82u);
  EXPECT_EQ(CAudioCapturePin::IntersectHandler(nullptr, nullptr, nullptr, &caller.DataRange, mine, 81, out, &size),
            STATUS_BUFFER_TOO_SMALL);
}

// ---- encoder output pin ---------------------------------------------------------------

class EncoderPinTest : public StreamingTest {
 protected:
  void SetUp() override {
    StreamingTest::SetUp();
    if (HasFatalFailure()) return;
    StartBoard(Kind(BOARD_KIND_ENCODER));
    // No board asks for the encoder filter; this one is offered by hand.
    ASSERT_EQ(KsCreateFilterFactory(harness->Device(0)->FunctionalDeviceObject, &EncoderFilterDescriptor, nullptr,
                                    nullptr, 0, nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    range = EncoderFilterDescriptor.PinDescriptors[0].PinDescriptor.DataRanges[0];
  }
  NTSTATUS Pin(HANDLE* pin) {
    HANDLE h = nullptr;
    NTSTATUS status = Open(KSCATEGORY_ENCODER, 0, &h);
    return NT_SUCCESS(status) ? client->CreatePin(h, 0, range, pin) : status;
  }
  const KSDATARANGE* range = nullptr;
};

TEST_F(EncoderPinTest, FourPinsCountedAtTheFront) {
  HANDLE pins[4] = {};
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(Pin(&pins[i]), STATUS_SUCCESS) << i;
    PKSPIN front = Dev()->m_pEncoderPin[0];
    auto* ctx = static_cast<EncoderPinContext*>(front->Context);
    EXPECT_EQ(ctx->nStreamIndex, 4u);
    EXPECT_EQ(ctx->nParam, 0x8000u);
    EXPECT_EQ(front->StreamHeaderSize, 128u);  // the H.264 delivery writes the frame information
    if (i) {
      EXPECT_NE(Dev()->m_pEncoderPin[i], nullptr);
    }
  }
  HANDLE fifth = nullptr;
  EXPECT_EQ(Pin(&fifth), STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(client->Close(pins[1]), STATUS_SUCCESS);
  EXPECT_EQ(Dev()->m_pEncoderPin[3], nullptr);
  EXPECT_EQ(Pin(&fifth), STATUS_SUCCESS);
  // A missing work buffer is tolerated.
  ASSERT_EQ(client->Close(fifth), STATUS_SUCCESS);
  pk::FailNthAllocation(1, MakePoolTag("Wdm "));
  EXPECT_EQ(Pin(&fifth), STATUS_SUCCESS);
  ASSERT_EQ(client->SetState(fifth, KSSTATE_PAUSE), STATUS_SUCCESS);
}

TEST_F(EncoderPinTest, Intersection) {
  HANDLE filter = nullptr;
  ASSERT_EQ(Open(KSCATEGORY_ENCODER, 0, &filter), STATUS_SUCCESS);
  std::vector<uint8_t> format;
  ASSERT_EQ(client->Intersect(filter, 0, {range}, &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), 64u);
  EXPECT_EQ(std::memcmp(format.data(), range, 64), 0);
  uint8_t longer[72] = {};
  std::memcpy(longer, range, sizeof(KSDATARANGE));
  reinterpret_cast<KSDATARANGE*>(longer)->FormatSize = sizeof(longer);
  EXPECT_EQ(client->Intersect(filter, 0, {reinterpret_cast<const KSDATARANGE*>(longer)}, &format), STATUS_NO_MATCH);
  ULONG size = 0;
  EXPECT_EQ(CEncoderPin::IntersectHandler(nullptr, nullptr, nullptr, const_cast<PKSDATARANGE>(range),
                                          const_cast<PKSDATARANGE>(range), 63, format.data(), &size),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 64u);
}

// ---- VBI and auxiliary pins, on a filter made for the test ------------------------------

class AuxPinTest : public StreamingTest {
 protected:
  void SetUp() override {
    StreamingTest::SetUp();
    if (HasFatalFailure()) return;
    StartBoard(Kind(BOARD_KIND_ENCODER));
    HoldMonitor();  // it sets the device's standard from the signal
    vbiRanges[0] = RangeBlocks[RANGE_BLOCK_CAPTURE][RANGE_VBI_625];
    videoRanges[0] = VideoRangeTable[0];
    streamRanges[0] = RangeBlocks[RANGE_BLOCK_CAPTURE][RANGE_ENCODER_OUTPUT_1];
    const ULONG flags = KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
    auto pin = [&](const KSPIN_DISPATCH* d, PKSDATARANGE* ranges, ULONG possible) {
      KSPIN_DESCRIPTOR_EX p{};
      p.Dispatch = d;
      p.PinDescriptor.DataRangesCount = 1;
      p.PinDescriptor.DataRanges = ranges;
      p.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
      p.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
      p.Flags = flags;
      p.InstancesPossible = possible;
      p.AllocatorFraming = &VideoCaptureFraming;
      return p;
    };
    pins[0] = pin(&CVbiCapturePinDispatch[0], vbiRanges, 9);
    pins[1] = pin(&CAuxVideoPinDispatch, videoRanges, 5);
    pins[2] = pin(&CAuxStreamPinDispatch, streamRanges, 1);
    filter = VideoCaptureFilterDescriptor;
    filter.PinDescriptorsCount = 3;
    filter.PinDescriptors = pins;
    filter.ReferenceGuid = &VideoChannelGuids[5];
    ASSERT_EQ(KsCreateFilterFactory(harness->Device(0)->FunctionalDeviceObject, &filter, nullptr, nullptr, 0, nullptr,
                                    nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(Open(KSCATEGORY_VIDEO, 1, &handle), STATUS_SUCCESS);
  }
  KS_DATAFORMAT_VBIINFOHEADER Vbi() {
    auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO_VBI*>(vbiRanges[0]);
    KS_DATAFORMAT_VBIINFOHEADER f{};
    std::memcpy(&f.DataFormat, &r->DataRange, sizeof(KSDATAFORMAT));
    f.DataFormat.FormatSize = sizeof(f);
    f.VBIInfoHeader = r->VBIInfoHeader;
    return f;
  }
  KS_DATAFORMAT_VIDEOINFOHEADER Video(LONGLONG avg) {
    auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(videoRanges[0]);
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    std::memcpy(&f.DataFormat, &r->DataRange, sizeof(KSDATAFORMAT));
    f.DataFormat.FormatSize = sizeof(f);
    f.VideoInfoHeader = r->VideoInfoHeader;
    f.VideoInfoHeader.AvgTimePerFrame = avg;
    return f;
  }

  PKSDATARANGE vbiRanges[1], videoRanges[1], streamRanges[1];
  KSPIN_DESCRIPTOR_EX pins[3];
  KSFILTER_DESCRIPTOR filter;
  HANDLE handle = nullptr;
};

TEST_F(AuxPinTest, VbiPin) {
  CDevice* dev = Dev();
  KS_DATAFORMAT_VBIINFOHEADER f = Vbi();
  HANDLE pin = nullptr;
  // The device's 525-line standard needs a 525-line format.
  dev->m_nAnalogVideoDecoderStandard = 0x1;
  EXPECT_EQ(client->CreatePin(handle, 0, &f.DataFormat, &pin), STATUS_NO_MATCH);
  dev->m_nAnalogVideoDecoderStandard = 0x10;
  KS_DATAFORMAT_VBIINFOHEADER shortFormat = f;
  shortFormat.DataFormat.FormatSize = sizeof(KSDATAFORMAT) + 40;
  EXPECT_EQ(client->CreatePin(handle, 0, &shortFormat.DataFormat, &pin), STATUS_NO_MATCH);
  KS_DATAFORMAT_VBIINFOHEADER otherLines = f;
  otherLines.VBIInfoHeader.EndLine++;
  EXPECT_EQ(client->CreatePin(handle, 0, &otherLines.DataFormat, &pin), STATUS_NO_MATCH);

  HANDLE pins[8] = {};
  for (int i = 0; i < 8; i++) ASSERT_EQ(client->CreatePin(handle, 0, &f.DataFormat, &pins[i]), STATUS_SUCCESS) << i;
  EXPECT_EQ(client->CreatePin(handle, 0, &f.DataFormat, &pin), STATUS_INSUFFICIENT_RESOURCES);
  PKSPIN front = dev->m_pVbiPin[0];
  auto* ctx = static_cast<VbiPinContext*>(front->Context);
  EXPECT_EQ(ctx->nStreamIndex, 3u);
  EXPECT_EQ(ctx->nSampleBytes, f.DataFormat.SampleSize);
  EXPECT_EQ(ctx->bVbiResync, 1);
  EXPECT_EQ(front->StreamHeaderSize, f.DataFormat.SubFormat == KSDATAFORMAT_SUBTYPE_RAW8 ? 144u : 0u);
  KSALLOCATOR_FRAMING_EX framing{};
  ASSERT_EQ(client->AllocatorFraming(pins[0], &framing), STATUS_SUCCESS);
  EXPECT_EQ(framing.FramingItem[0].Frames, 8u);
  EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MaxFrameSize, f.VBIInfoHeader.BufferSize);
  ctx->nVbiFrameCount = 3;
  ReleaseMonitor();
  ASSERT_EQ(client->SetState(pins[7], KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(static_cast<VbiPinContext*>(dev->m_pVbiPin[0]->Context)->nVbiFrameCount, 0);
  ASSERT_EQ(client->Close(pins[7]), STATUS_SUCCESS);
  EXPECT_EQ(dev->m_pVbiPin[7], nullptr);
}

TEST_F(AuxPinTest, AuxVideoPin) {
  CDevice* dev = Dev();
  HANDLE pin = nullptr;
  KS_DATAFORMAT_VIDEOINFOHEADER odd = Video(333334);
  EXPECT_EQ(client->CreatePin(handle, 1, &odd.DataFormat, &pin), STATUS_NO_MATCH);
  dev->m_nEncoderVideoFormat[0] = 7;
  KS_DATAFORMAT_VIDEOINFOHEADER f = Video(333667);
  HANDLE pins[4] = {};
  for (int i = 0; i < 4; i++) ASSERT_EQ(client->CreatePin(handle, 1, &f.DataFormat, &pins[i]), STATUS_SUCCESS) << i;
  EXPECT_EQ(client->CreatePin(handle, 1, &f.DataFormat, &pin), STATUS_INSUFFICIENT_RESOURCES);
  auto* ctx = static_cast<AuxVideoContext*>(dev->m_pRenderPin[0]->Context);
  const KS_BITMAPINFOHEADER& bmi = f.VideoInfoHeader.bmiHeader;
  EXPECT_EQ(ctx->nFourCC, bmi.biCompression);
  EXPECT_EQ(ctx->nFrameBytes, (ULONG)(bmi.biHeight * bmi.biBitCount * bmi.biWidth / 8));
  EXPECT_EQ(dev->m_nEncoderVideoResolution[0], (ULONG)bmi.biWidth);
  EXPECT_EQ(dev->m_nEncoderVideoFormat[0], 7u);  // not one of the three codes
  ASSERT_EQ(client->SetState(pins[0], KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(client->SetDataFormat(pins[0], &f.DataFormat), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(AuxPinTest, AuxStreamPinConsumesFramesUnread) {
  HANDLE pin = nullptr;
  ASSERT_EQ(client->CreatePin(handle, 2, streamRanges[0], &pin), STATUS_SUCCESS);
  ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  uint8_t small[16], large[32];
  std::memset(small, 0xAB, sizeof(small));
  std::memset(large, 0xCD, sizeof(large));
  ASSERT_EQ(client->Submit(pin, small, sizeof(small), 1), STATUS_SUCCESS);
  ASSERT_EQ(client->Submit(pin, large, sizeof(large), 2), STATUS_SUCCESS);
  for (uint64_t tag : {1, 2}) {
    ks::CompletedFrame done;
    ASSERT_TRUE(client->Collect(pin, &done, 2000)) << tag;
    EXPECT_EQ(done.Tag, tag);
    EXPECT_EQ(done.Header.DataUsed, 0u);
  }
  EXPECT_EQ(small[0], 0xAB);
  EXPECT_EQ(large[31], 0xCD);
}

}  // namespace
