// The video capture pin through KS: the slot and stream index by format group, filter and
// instance rule, the settings words and the frame-interval divider Create writes, the
// format checks and framing of SetDataFormat, the running format change, the state
// resets and the data intersection; client input that must not corrupt memory.
#include <cstring>

#include "driver/streaming/video_pin.h"
#include "tests/driver/streaming/streaming_fixture.h"

namespace {

using namespace streaming_test;

constexpr ULONG kYV12 = MakeFourCC("YV12");
constexpr ULONG kH264 = MakeFourCC("H264");
constexpr ULONG kX264 = MakeFourCC("X264");
constexpr ULONG kFlag = SETTINGS_WORD_SET_BY_APPLICATION;

TEST(VideoPinRules, FormatGroupsAndSwitchWords) {
  EXPECT_EQ(FormatGroupOf(24, kH264), VIDEO_GROUP_H264);
  EXPECT_EQ(FormatGroupOf(24, kX264), VIDEO_GROUP_X264);
  EXPECT_EQ(FormatGroupOf(12, kH264), VIDEO_GROUP_RAW);
  EXPECT_EQ(FormatGroupOf(12, kYV12), VIDEO_GROUP_RAW);
  EXPECT_EQ(FormatGroupOf(24, 0), VIDEO_GROUP_RAW);
  struct Case {
    LONG w, h;
    ULONG word;
  };
  for (const Case& c : {Case{352, 288, 0x02020202}, Case{320, 180, 0x02020202}, Case{360, 240, 0x02020202},
                        Case{704, 480, 0}, Case{720, 576, 0}, Case{640, 360, 0}, Case{960, 540, 0x01010101},
                        Case{1280, 720, 0x01010101}, Case{1920, 1080, 0x01010101}})
    EXPECT_EQ(SwitchResolutionWord(c.w, c.h), c.word) << c.w << "x" << c.h;
}

TEST(VideoPinRules, SkipDivider) {
  struct Case {
    ULONG S, R, word;
  };
  const Case cases[] = {
      {30000, 15000, kFlag | 1},  // 30 fps source, 15 fps asked
      {30000, 30000, kFlag},      // nothing to skip
      {25000, 30000, kFlag},      // asked faster than the source
      {60000, 7500, kFlag | 7},   // (60,000 + 3,750) / 7,500 - 1
      {29970, 10000, kFlag | 2},  // rounds to the nearest divider
      {30000, 0, kFlag},          // no usable rate: no skipping, and no division by zero
      {0xFFFFFFFF, 1, kFlag | 0xFFFFFFFE},
  };
  for (const Case& c : cases) EXPECT_EQ(ComputeSkipDividerWord(c.S, c.R), c.word) << c.S << " / " << c.R;

  struct Rate {
    LONGLONG avg;
    ULONG standard, R;
  };
  const Rate rates[] = {
      {666666, 0, 15000},
      {333333, 0x10, 30000},
      {0, 0x10, 25000},  // 625-line default
      {0, 0x1, 30000},
      {0, 0, 0},
      {20000000000ll, 0, 0},  // R would be 0
      {20000000000ll, 0x1, 30000},
      {-1, 0x10, 25000},  // a negative interval asks for nothing usable
  };
  for (const Rate& r : rates) EXPECT_EQ(RequestedFrameRate(r.avg, r.standard), r.R) << r.avg;
}

class VideoPinTest : public StreamingTest {
 protected:
  void SetUp() override {
    StreamingTest::SetUp();
    if (HasFatalFailure()) return;
    StartBoard(Kind(BOARD_KIND_ENCODER), settings);
    HoldMonitor();
    // A 30 fps progressive 1080-line NTSC signal.
    CDevice* dev = Dev();
    dev->m_nAnalogVideoFrameRate = 30;
    dev->m_nAnalogVideoInterleaved = 0;
    dev->m_nAnalogVideoResolution = 1920u << 16 | 1080;
    dev->m_nAnalogVideoDecoderStandard = 1;
  }
  // The capture pin's range of that code and size, from the opened filter's descriptor.
  const KS_DATARANGE_VIDEO* Range(ULONG fourcc, LONG w, LONG h, USHORT bits = 0) {
    const KSPIN_DESCRIPTOR& pin = client->ListFilters(KSCATEGORY_VIDEO)[0].Descriptor->PinDescriptors[0].PinDescriptor;
    for (ULONG i = 0; i < pin.DataRangesCount; i++) {
      auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pin.DataRanges[i]);
      const KS_BITMAPINFOHEADER& b = r->VideoInfoHeader.bmiHeader;
      if (b.biCompression == fourcc && b.biWidth == w && b.biHeight == h && (!bits || b.biBitCount == bits)) return r;
    }
    ADD_FAILURE() << "no range " << std::hex << fourcc << std::dec << " " << w << "x" << h;
    return nullptr;
  }
  static KS_DATAFORMAT_VIDEOINFOHEADER Format(const KS_DATARANGE_VIDEO* r, LONGLONG avg = 333333) {
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    std::memcpy(&f.DataFormat, &r->DataRange, sizeof(KSDATAFORMAT));
    f.DataFormat.FormatSize = sizeof(f);
    f.VideoInfoHeader = r->VideoInfoHeader;
    f.VideoInfoHeader.AvgTimePerFrame = avg;
    return f;
  }
  // Opens filter n of the video category and creates a pin in the format.
  NTSTATUS Pin(const KS_DATAFORMAT_VIDEOINFOHEADER& f, HANDLE* pin, size_t filter = 0) {
    HANDLE h = nullptr;
    NTSTATUS status = Open(KSCATEGORY_VIDEO, filter, &h);
    if (!NT_SUCCESS(status)) return status;
    return client->CreatePin(h, 0, &f.DataFormat, pin);
  }
  VideoPinContext* Ctx(ULONG slot) {
    PKSPIN p = Dev()->m_pVideoPin[slot];
    return p ? static_cast<VideoPinContext*>(p->Context) : nullptr;
  }

  std::vector<Setting> settings;
};

TEST_F(VideoPinTest, SlotsSettingsWordsAndFraming) {
  struct Case {
    const char* name;
    ULONG fourcc;
    LONG w, h;
    ULONG slot;
    ULONG frames, frameBytes;
  };
  const Case cases[] = {
      {"YV12", kYV12, 704, 480, 0, 10, 506880},
      {"H264", kH264, 704, 480, 4, 16, 506880},
      {"X264", kX264, 720, 480, 8, 16, 518400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CDevice* dev = Dev();
    for (int i = 0; i < 3; i++) dev->m_nAnalogVideoSwitchResolutionTable[i] = 0x55;
    dev->m_nAnalogVideoSplit = dev->m_nAnalogVideoSwitchLockMask = 7;
    const KS_DATARANGE_VIDEO* r = Range(c.fourcc, c.w, c.h);
    ASSERT_NE(r, nullptr);
    HANDLE filter = nullptr, pin = nullptr;
    PKSFILTER f = nullptr;
    ASSERT_EQ(Open(KSCATEGORY_VIDEO, 0, &filter, &f), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER format = Format(r);
    ASSERT_EQ(client->CreatePin(filter, 0, &format.DataFormat, &pin), STATUS_SUCCESS);
    VideoPinContext* ctx = Ctx(c.slot);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->nStreamIndex, c.slot);
    EXPECT_EQ(StreamingTest::Ctx(f)->nStreamIndex, c.slot);
    EXPECT_EQ(ctx->pKsPin->StreamHeaderSize, 128u);
    EXPECT_EQ(ctx->nWidth, (ULONG)c.w);
    EXPECT_EQ(ctx->nStride, (ULONG)c.w);
    EXPECT_EQ(ctx->nMaxFrameBytes, (ULONG)(c.w * c.h * 2));
    EXPECT_EQ(ctx->nParam, (ULONG)(c.w * c.h * 2 + 32));
    EXPECT_EQ(ctx->nFrameBytes, (ULONG)(c.w * c.h * r->VideoInfoHeader.bmiHeader.biBitCount / 8));
    EXPECT_EQ(ctx->bResync, 1);
    EXPECT_NE(ctx->pWorkBuffer, nullptr);
    EXPECT_EQ(dev->m_nAnalogVideoSplit, 1u);
    EXPECT_EQ(dev->m_nAnalogVideoSwitchLockMask, 1u);
    EXPECT_EQ(dev->m_nAnalogVideoSwitchResolutionTable[2], 0u);
    const ULONG sizeWord = (ULONG)c.w << 12 | (ULONG)c.h | kFlag;
    if (c.slot == 0) {
      EXPECT_EQ(dev->m_nPreviewVideoResolution[0], sizeWord);
      EXPECT_EQ(dev->m_nAnalogVideoSkipFrameRate[0], kFlag);
    } else {
      // The sub stream's words sit four entries after the main stream's.
      const ULONG i = c.slot == 8 ? 4 : 0;
      EXPECT_EQ(dev->m_nEncoderVideoResolution[i], sizeWord);
      EXPECT_EQ(dev->m_nEncoderVideoSkipFrameRate[i], kFlag);
    }
    KSALLOCATOR_FRAMING_EX framing{};
    ASSERT_EQ(client->AllocatorFraming(pin, &framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.FramingItem[0].Frames, c.frames);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MinFrameSize, c.frameBytes);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MaxFrameSize, c.frameBytes);
    EXPECT_EQ(framing.FramingItem[0].PhysicalRange.Stepping, 0u);
    // The template's framing is untouched.
    EXPECT_EQ(VideoCaptureFraming.FramingItem[0].Frames, 10u);
    ASSERT_EQ(client->Close(pin), STATUS_SUCCESS);
    EXPECT_EQ(dev->m_pVideoPin[c.slot], nullptr);
    EXPECT_EQ(StreamingTest::Ctx(f)->nStreamIndex, c.slot);  // kept after the pin closed
    ASSERT_EQ(client->Close(filter), STATUS_SUCCESS);
  }
}

TEST_F(VideoPinTest, QueueSizeAndVekSwitchesSetTheFraming) {
  CDevice* dev = Dev();
  dev->m_nAnalogVideoQueueBufferSize = 4;
  dev->m_nEncoderVideoQueueBufferSize = 6;
  dev->m_nCompanyVek = 1;
  HANDLE raw = nullptr, encoded = nullptr;
  ASSERT_EQ(Pin(Format(Range(kYV12, 704, 480)), &raw), STATUS_SUCCESS);
  ASSERT_EQ(Pin(Format(Range(kH264, 704, 480)), &encoded), STATUS_SUCCESS);
  KSALLOCATOR_FRAMING_EX framing{};
  ASSERT_EQ(client->AllocatorFraming(raw, &framing), STATUS_SUCCESS);
  EXPECT_EQ(framing.FramingItem[0].Frames, 4u);
  ASSERT_EQ(client->AllocatorFraming(encoded, &framing), STATUS_SUCCESS);
  EXPECT_EQ(framing.FramingItem[0].Frames, 6u);
  EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MaxFrameSize, 0x80004u);
  EXPECT_EQ(framing.FramingItem[0].PhysicalRange.MaxFrameSize, 0x80004u);
}

TEST_F(VideoPinTest, SlotRules) {
  const KS_DATAFORMAT_VIDEOINFOHEADER yv12 = Format(Range(kYV12, 704, 480));
  HANDLE a = nullptr, b = nullptr, filter = nullptr;
  ASSERT_EQ(Open(KSCATEGORY_VIDEO, 0, &filter), STATUS_SUCCESS);
  ASSERT_EQ(client->CreatePin(filter, 0, &yv12.DataFormat, &a), STATUS_SUCCESS);
  // A second pin on the same filter: KS refuses it before the driver runs.
  EXPECT_EQ(client->CreatePin(filter, 0, &yv12.DataFormat, &b), STATUS_INVALID_DEVICE_REQUEST);
  // On a second instance of the channel's filter: the slot is taken.
  EXPECT_EQ(Pin(yv12, &b), STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(client->Close(a), STATUS_SUCCESS);
  EXPECT_EQ(Pin(yv12, &b), STATUS_SUCCESS);
}

TEST_F(VideoPinTest, InstancesPossibleTakesTheFirstFreeSlots) {
  Dev()->m_nInstancesPossible = 1;
  const KS_DATAFORMAT_VIDEOINFOHEADER yv12 = Format(Range(kYV12, 704, 480));
  const KS_DATAFORMAT_VIDEOINFOHEADER h264 = Format(Range(kH264, 704, 480));
  HANDLE pins[4] = {};
  for (ULONG i = 0; i < 4; i++) {
    ASSERT_EQ(Pin(yv12, &pins[i]), STATUS_SUCCESS) << i;
    ASSERT_NE(Ctx(i), nullptr);
    EXPECT_EQ(Ctx(i)->nStreamIndex, i);
    // Each slot writes its own channel's words.
    EXPECT_EQ(Dev()->m_nPreviewVideoResolution[i], 704u << 12 | 480u | kFlag);
  }
  HANDLE fifth = nullptr;
  EXPECT_EQ(Pin(yv12, &fifth), STATUS_INSUFFICIENT_RESOURCES);
  // The H.264 group has slots of its own.
  HANDLE encoded = nullptr;
  ASSERT_EQ(Pin(h264, &encoded), STATUS_SUCCESS);
  EXPECT_NE(Ctx(4), nullptr);
  ASSERT_EQ(client->Close(pins[2]), STATUS_SUCCESS);
  ASSERT_EQ(Pin(yv12, &fifth), STATUS_SUCCESS);
  EXPECT_EQ(Dev()->m_pVideoPin[2]->Context, Ctx(2));
}

class VirtualVideoPinTest : public VideoPinTest {
 protected:
  void SetUp() override {
    settings = {{u"CustomVirtualCaptureDeviceProperty", 1}};
    VideoPinTest::SetUp();
  }
};

TEST_F(VirtualVideoPinTest, VirtualPinTakesSlotEightAndNoChannelWords) {
  const KS_DATAFORMAT_VIDEOINFOHEADER yv12 = Format(Range(kYV12, 704, 480));
  const KS_DATAFORMAT_VIDEOINFOHEADER x264 = Format(Range(kX264, 720, 480));
  CDevice* dev = Dev();
  HANDLE virt = nullptr, sub = nullptr;
  ASSERT_EQ(Pin(yv12, &virt, 1), STATUS_SUCCESS);  // filter 1: the virtual video filter
  VideoPinContext* ctx = Ctx(8);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->nStreamIndex, 8u);
  EXPECT_TRUE(IsVirtualCapturePin(ctx));
  // Slot 8 is channel 0's sub stream, and channel 8's settings belong to that channel.
  EXPECT_EQ(dev->m_nPreviewVideoResolution[8], 0u);
  EXPECT_EQ(dev->m_nAnalogVideoSkipFrameRate[8], 0u);
  EXPECT_EQ(Pin(x264, &sub, 0), STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(client->Close(virt), STATUS_SUCCESS);
  ASSERT_EQ(Pin(x264, &sub, 0), STATUS_SUCCESS);
  EXPECT_FALSE(IsVirtualCapturePin(Ctx(8)));
  HANDLE again = nullptr;
  EXPECT_EQ(Pin(yv12, &again, 1), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(VideoPinTest, FrameIntervalDivider) {
  struct Case {
    const char* name;
    ULONG rate, interleaved, resolution, standard;
    LONGLONG avg;
    ULONG word;
  };
  const Case cases[] = {
      {"1080p30, 15 fps asked", 30, 0, 1920u << 16 | 1080, 1, 666666, kFlag | 1},
      {"1080p60 halves to 30", 60, 0, 1920u << 16 | 1080, 1, 666666, kFlag | 1},
      {"60 fields, 30 asked", 60, 1, 720u << 16 | 240, 1, 333333, kFlag},
      {"no signal, 625 lines, 12.5 fps", 0, 0, 0, 0x10, 800000, kFlag | 1},
      {"no signal, 625 lines, interval 0", 0, 0, 0, 0x10, 0, kFlag},
      {"no usable interval, no standard", 30, 0, 1920u << 16 | 1080, 0, 20000000000ll, kFlag},
      {"10 fps from 30", 30, 0, 1280u << 16 | 720, 1, 1000000, kFlag | 2},
  };
  const KS_DATARANGE_VIDEO* r = Range(kYV12, 1920, 1080);
  ASSERT_NE(r, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CDevice* dev = Dev();
    dev->m_nAnalogVideoFrameRate = c.rate;
    dev->m_nAnalogVideoInterleaved = c.interleaved;
    dev->m_nAnalogVideoResolution = c.resolution;
    dev->m_nAnalogVideoDecoderStandard = c.standard;
    dev->m_nAnalogVideoSkipFrameRate[0] = 0;
    HANDLE pin = nullptr;
    ASSERT_EQ(Pin(Format(r, c.avg), &pin), STATUS_SUCCESS);
    EXPECT_EQ(dev->m_nAnalogVideoSkipFrameRate[0], c.word);
    EXPECT_EQ(dev->m_nAnalogVideoAvgFrameRate[0], 0u);
    ASSERT_EQ(client->Close(pin), STATUS_SUCCESS);
  }
}

TEST_F(VideoPinTest, FormatFaultsAreRefused) {
  const KS_DATARANGE_VIDEO* r = Range(kYV12, 704, 480);
  ASSERT_NE(r, nullptr);
  struct Case {
    const char* name;
    void (*edit)(KS_DATAFORMAT_VIDEOINFOHEADER*);
    ULONG formatSize;
  };
  const Case cases[] = {
      {"short: the header only", nullptr, sizeof(KSDATAFORMAT)},
      {"short: no bitmap header", nullptr, sizeof(KSDATAFORMAT) + 48},
      {"short by one byte", nullptr, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) - 1},
      {"odd width", [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->VideoInfoHeader.bmiHeader.biWidth = 703; }, 0},
      {"negative height", [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->VideoInfoHeader.bmiHeader.biHeight = -480; }, 0},
      {"huge size",
       [](KS_DATAFORMAT_VIDEOINFOHEADER* f) {
         f->VideoInfoHeader.bmiHeader.biWidth = 0x7FFFFFFF;
         f->VideoInfoHeader.bmiHeader.biHeight = 0x7FFFFFFF;
       },
       0},
      {"image size", [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->VideoInfoHeader.bmiHeader.biSizeImage = 16; }, 0},
      {"compression", [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->VideoInfoHeader.bmiHeader.biCompression = kH264; }, 0},
      {"specifier", [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->DataFormat.Specifier = GUID_NULL; }, 0},
  };
  const int64_t contexts = pk::PoolStats(MakePoolTag("QZVK")).liveBlocks;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The client's buffer is exactly as long as the format says.
    std::vector<uint8_t> bytes(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    KS_DATAFORMAT_VIDEOINFOHEADER f = Format(r);
    if (c.edit) c.edit(&f);
    if (c.formatSize) f.DataFormat.FormatSize = c.formatSize;
    bytes.resize(f.DataFormat.FormatSize);
    std::memcpy(bytes.data(), &f, bytes.size());
    HANDLE filter = nullptr, pin = nullptr;
    ASSERT_EQ(Open(KSCATEGORY_VIDEO, 0, &filter), STATUS_SUCCESS);
    EXPECT_EQ(client->CreatePin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(bytes.data()), &pin), STATUS_NO_MATCH);
    EXPECT_EQ(Dev()->m_pVideoPin[0], nullptr);
    ASSERT_EQ(client->Close(filter), STATUS_SUCCESS);
  }
  EXPECT_EQ(pk::PoolStats(MakePoolTag("QZVK")).liveBlocks, contexts);
  EXPECT_EQ(pk::PoolStats(MakePoolTag("Vamp")).liveBlocks, 0);
}

TEST_F(VideoPinTest, AllocationFailures) {
  const KS_DATAFORMAT_VIDEOINFOHEADER yv12 = Format(Range(kYV12, 704, 480));
  const int64_t contexts = pk::PoolStats(MakePoolTag("QZVK")).liveBlocks;
  HANDLE pin = nullptr;
  // The context: nothing written.
  Dev()->m_nPreviewVideoResolution[0] = 0;
  HANDLE filter = nullptr;
  ASSERT_EQ(Open(KSCATEGORY_VIDEO, 0, &filter), STATUS_SUCCESS);
  pk::FailNthAllocation(1, MakePoolTag("QZVK"));
  EXPECT_EQ(client->CreatePin(filter, 0, &yv12.DataFormat, &pin), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Dev()->m_nPreviewVideoResolution[0], 0u);
  // The work buffer: the pin was set up, its words stay, Close undid slot and context.
  pk::FailNthAllocation(1, MakePoolTag("Wdm "));
  EXPECT_EQ(client->CreatePin(filter, 0, &yv12.DataFormat, &pin), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Dev()->m_nPreviewVideoResolution[0], 704u << 12 | 480u | kFlag);
  EXPECT_EQ(Dev()->m_pVideoPin[0], nullptr);
  EXPECT_EQ(pk::PoolStats(MakePoolTag("QZVK")).liveBlocks, contexts + 1);  // the filter's context only
  // A failing copy of the pin descriptor or its framing refuses the format.
  for (uint64_t n : {1, 2}) {
    ks::FailNthKsEdit(n, MakePoolTag("Vamp"));
    EXPECT_FALSE(NT_SUCCESS(client->CreatePin(filter, 0, &yv12.DataFormat, &pin))) << n;
    ks::ClearKsFaults();
  }
  EXPECT_EQ(pk::PoolStats(MakePoolTag("Vamp")).liveBlocks, 0);
  EXPECT_EQ(client->CreatePin(filter, 0, &yv12.DataFormat, &pin), STATUS_SUCCESS);
}

TEST_F(VideoPinTest, RunningFormatChangeSetsStrideOnly) {
  const KS_DATAFORMAT_VIDEOINFOHEADER full = Format(Range(kYV12, 1920, 1080));
  HANDLE pin = nullptr;
  ASSERT_EQ(Pin(full, &pin), STATUS_SUCCESS);
  VideoPinContext* ctx = Ctx(0);
  // Stopped: an unchanged format is taken again.
  EXPECT_EQ(client->SetDataFormat(pin, &full.DataFormat), STATUS_SUCCESS);
  ReleaseMonitor();
  ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  struct Case {
    const char* name;
    LONG width, height;
    KS_RECT rect;
    ULONG stride;
    UCHAR topDown;
  };
  const Case cases[] = {
      {"wider rows", 2048, 1080, {0, 0, 1920, 1080}, 2048, 0},
      {"flipped", 1920, -1080, {0, 0, 1920, 1080}, 1920, 1},
      {"narrower: ignored", 1280, 1080, {0, 0, 1920, 1080}, 1920, 1},
      {"other source rectangle: ignored", 2048, 1080, {0, 0, 1280, 720}, 1920, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KS_DATAFORMAT_VIDEOINFOHEADER f = full;
    f.VideoInfoHeader.bmiHeader.biWidth = c.width;
    f.VideoInfoHeader.bmiHeader.biHeight = c.height;
    f.VideoInfoHeader.rcSource = f.VideoInfoHeader.rcTarget = c.rect;
    EXPECT_EQ(client->SetDataFormat(pin, &f.DataFormat), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(ctx->nStride, c.stride);
    EXPECT_EQ(ctx->bTopDown, c.topDown);
    EXPECT_EQ(ctx->nWidth, 1920u);
  }
  // A short format while running is not read.
  KS_DATAFORMAT_VIDEOINFOHEADER f = full;
  f.DataFormat.FormatSize = sizeof(KSDATAFORMAT) + 16;
  EXPECT_EQ(client->SetDataFormat(pin, &f.DataFormat), STATUS_NO_MATCH);
  EXPECT_EQ(ctx->nStride, 1920u);
}

TEST_F(VideoPinTest, StateChangesResetTheTimestampAndCounters) {
  HANDLE pin = nullptr;
  ASSERT_EQ(Pin(Format(Range(kYV12, 704, 480)), &pin), STATUS_SUCCESS);
  VideoPinContext* ctx = Ctx(0);
  auto dirty = [&] {
    ctx->nPictureNumber = 5;
    ctx->nDropCount = 2;
    ctx->aTransferState[4] = 9;
    ctx->nTransferFlag = 1;
    ctx->nLastPresentationTime = 100;
    ctx->nLastClockTime = 200;
    ctx->bResync = 0;
  };
  dirty();
  ReleaseMonitor();
  ASSERT_EQ(client->SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);  // STOP -> ACQUIRE -> PAUSE
  EXPECT_EQ(ctx->nPictureNumber, 0);
  EXPECT_EQ(ctx->nDropCount, 0);
  EXPECT_EQ(ctx->aTransferState[4], 0u);
  EXPECT_EQ(ctx->bResync, 1);
  dirty();
  ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  // Into RUN nothing is reset.
  EXPECT_EQ(ctx->nPictureNumber, 5);
  EXPECT_EQ(ctx->nLastClockTime, 200);
  EXPECT_EQ(ctx->bResync, 0);
  ASSERT_EQ(client->SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);  // RUN -> PAUSE: the counters stay
  EXPECT_EQ(ctx->nPictureNumber, 5);
  EXPECT_EQ(ctx->nLastClockTime, 0);
  EXPECT_EQ(ctx->nLastPresentationTime, 0);
  EXPECT_EQ(ctx->nTransferFlag, 0);
  EXPECT_EQ(ctx->bResync, 1);
}

TEST_F(VideoPinTest, Intersection) {
  const KS_DATARANGE_VIDEO* mine = Range(kYV12, 1920, 1080);
  ASSERT_NE(mine, nullptr);
  HANDLE filter = nullptr;
  ASSERT_EQ(Open(KSCATEGORY_VIDEO, 0, &filter), STATUS_SUCCESS);
  std::vector<uint8_t> format;
  ASSERT_EQ(client->Intersect(filter, 0, {&mine->DataRange}, &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), 152u);
  auto* f = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
  EXPECT_EQ(f->DataFormat.FormatSize, 152u);
  EXPECT_EQ(f->VideoInfoHeader.bmiHeader.biSizeImage, 3110400u);
  EXPECT_EQ(f->DataFormat.SampleSize, 3110400u);
  EXPECT_EQ(f->VideoInfoHeader.AvgTimePerFrame, mine->VideoInfoHeader.AvgTimePerFrame);

  // A caller range with a longer bitmap header (masks after it) is copied whole.
  struct Longer {
    KS_DATARANGE_VIDEO range;
    ULONG masks[2];
  } longer{*mine, {0x11223344, 0x55667788}};
  longer.range.DataRange.FormatSize = sizeof(longer);
  longer.range.VideoInfoHeader.bmiHeader.biSize = 48;
  ASSERT_EQ(client->Intersect(filter, 0, {&longer.range.DataRange}, &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), 160u);
  ULONG masks[2];
  std::memcpy(masks, format.data() + 152, sizeof(masks));
  EXPECT_EQ(masks[0], 0x11223344u);
  EXPECT_EQ(masks[1], 0x55667788u);

  // Client input that must not be read past or trusted.
  struct Case {
    const char* name;
    ULONG biSize;
    ULONG formatSize;
    LONGLONG avg;
  };
  const Case cases[] = {
      {"no frame interval", 40, sizeof(KS_DATARANGE_VIDEO), 0},
      {"bitmap header past the range", 48, sizeof(KS_DATARANGE_VIDEO), 333333},
      {"bitmap header too short", 39, sizeof(KS_DATARANGE_VIDEO), 333333},
      {"bitmap header size wraps", 0xFFFFFF90u, sizeof(KS_DATARANGE_VIDEO), 333333},
      {"range shorter than a video range", 40, sizeof(KS_DATARANGE_VIDEO) - 8, 333333},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> caller(sizeof(KS_DATARANGE_VIDEO));
    std::memcpy(caller.data(), mine, caller.size());
    auto* r = reinterpret_cast<KS_DATARANGE_VIDEO*>(caller.data());
    r->VideoInfoHeader.bmiHeader.biSize = c.biSize;
    r->VideoInfoHeader.AvgTimePerFrame = c.avg;
    r->DataRange.FormatSize = c.formatSize;
    caller.resize(c.formatSize);
    EXPECT_EQ(client->Intersect(filter, 0, {reinterpret_cast<const KSDATARANGE*>(caller.data())}, &format),
              STATUS_NO_MATCH);
  }
  // Other sizes and capabilities do not meet this range.
  KS_DATARANGE_VIDEO other = *mine;
  other.ConfigCaps.MaxFrameInterval++;
  EXPECT_EQ(CVideoCapturePin::IntersectHandler(nullptr, nullptr, nullptr, &other.DataRange,
                                               const_cast<PKSDATARANGE>(&mine->DataRange), 0, nullptr, nullptr),
            STATUS_NO_MATCH);

  // The buffer checks, on the handler itself.
  KS_DATARANGE_VIDEO caller = *mine;
  ULONG size = 0;
  uint8_t out[152] = {};
  PKSDATARANGE descriptor = const_cast<PKSDATARANGE>(&mine->DataRange);
  EXPECT_EQ(CVideoCapturePin::IntersectHandler(nullptr, nullptr, nullptr, &caller.DataRange, descriptor, 0, out, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 152u);
  size = 0;
  EXPECT_EQ(
      CVideoCapturePin::IntersectHandler(nullptr, nullptr, nullptr, &caller.DataRange, descriptor, 151, out, &size),
      STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 152u);
}

}  // namespace
