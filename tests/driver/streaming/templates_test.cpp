// The filter and pin templates: the GUID scheme, the range rule and its tables, the
// range blocks, and the descriptors as applications and KS read them.
#include "driver/streaming/templates.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "platform/ks/host.h"

namespace {

using platform::ks::GuidText;

class TemplatesTest : public ::testing::Test {
 protected:
  void SetUp() override { InitializeStreamingTemplates(); }
};

const KS_DATARANGE_VIDEO* Video(PKSDATARANGE r) { return reinterpret_cast<const KS_DATARANGE_VIDEO*>(r); }

TEST(GuidSchemeTest, ChannelDigitsTypeCodesAndTables) {
  struct Case {
    GUID guid;
    const char* text;
  };
  const Case cases[] = {
      {TemplateReferenceGuid(FILTER_TYPE_VIDEO), "{6F814BE9-9AF6-43CF-9249-C0345A00021E}"},
      {VideoChannelGuids[0], "{6F814BE9-9AF6-43CF-9249-C0340100021E}"},
      {VideoChannelGuids[9], "{6F814BE9-9AF6-43CF-9249-C0341000021E}"},
      {AudioChannelGuids[98], "{6F814BE9-9AF6-43CF-9249-C0349900031E}"},
      {VideoChannelGuids[99], "{6F814BE9-9AF6-43CF-9249-C0350000021E}"},
      {AudioChannelGuids[127], "{6F814BE9-9AF6-43CF-9249-C0352800031E}"},
      {VirtualCaptureGuids[0], "{6F814BE9-9AF6-43CF-9249-C03401000A1E}"},
      {VirtualCaptureGuids[7], "{6F814BE9-9AF6-43CF-9249-C03404000B1E}"},
      {BridgePinChannelGuids[0], "{6F814BE9-9AF6-43CF-9249-C0340101021E}"},
      {BridgePinChannelGuids[127], "{6F814BE9-9AF6-43CF-9249-C0352801021E}"},
      {PinGuid(PIN_CODE_ENCODER_INPUT), "{6F814BE9-9AF6-43CF-9249-C0345A01041E}"},
      {NodeNameGuid(), "{6F814BE9-9AF6-43CF-9249-C0345A01101E}"},
      {MediumSetGuid(MEDIUM_ENCODER_INPUT), "{6F814BE9-9AF6-43CF-9249-C0345A02071E}"},
      {DigitalTunerGuids[1], "{6F814BE9-9AF6-43CF-9249-C0345A00801E}"},
  };
  for (const Case& c : cases) EXPECT_EQ(GuidText(c.guid), c.text);
  // Mono and stereo audio filters carry the same type code.
  EXPECT_EQ(AudioChannelGuids[4], ChannelReferenceGuid(5, FILTER_TYPE_AUDIO));
  std::set<std::string> distinct;
  for (const GUID& g : VideoChannelGuids) distinct.insert(GuidText(g));
  for (const GUID& g : AudioChannelGuids) distinct.insert(GuidText(g));
  EXPECT_EQ(distinct.size(), 256u);
}

TEST(VideoRangeRuleTest, WorkedExamplesAndEdges) {
  struct Case {
    VideoRangeInputs in;
    ULONG sampleSize, minBits, maxBits, bitRate;
    LONGLONG minInterval, maxInterval, avgTime;
    ULONG standard, compression;
    USHORT bitCount;
  };
  const Case cases[] = {
      {{VF_YV12, 704, 480, LINES_525, IC_FULL},
       506880,
       121529548,
       243059097,
       243059097,
       166833,
       333667,
       166833,
       0xA07,
       MakeFourCC("YV12"),
       12},
      {{VF_X264, 640, 360, LINES_525, IC_60_ONLY},
       691200,
       331444224,
       331444224,
       331444224,
       166833,
       166833,
       166833,
       0xA07,
       MakeFourCC("X264"),
       24},
      {{VF_H264, 720, 576, LINES_625, IC_30_ONLY},
       1244160,
       248832000,
       248832000,
       497664000,
       400000,
       400000,
       200000,
       0x1FF5F0,
       MakeFourCC("H264"),
       24},
      {{VF_RGB32, 320, 240, LINES_625, IC_FULL},
       307200,
       61440000,
       122880000,
       122880000,
       200000,
       400000,
       200000,
       0x1FF5F0,
       0,
       32},
      // Rates past 32 bits are advertised as the largest value, not wrapped below the minimum.
      {{VF_YUY2, 3840, 2160, LINES_525, IC_FULL},
       16588800,
       3977330688u,
       0xFFFFFFFF,
       0xFFFFFFFF,
       166833,
       333667,
       166833,
       0xA07,
       MakeFourCC("YUY2"),
       16},
  };
  for (const Case& c : cases) {
    KS_DATARANGE_VIDEO r;
    std::memset(&r, 0xCC, sizeof(r));
    BuildVideoRange(c.in, &r);
    SCOPED_TRACE(c.in.width);
    EXPECT_EQ(r.DataRange.FormatSize, 296u);
    EXPECT_EQ(r.DataRange.SampleSize, c.sampleSize);
    EXPECT_EQ((ULONG)r.ConfigCaps.MinBitsPerSecond, c.minBits);
    EXPECT_EQ((ULONG)r.ConfigCaps.MaxBitsPerSecond, c.maxBits);
    EXPECT_EQ(r.VideoInfoHeader.dwBitRate, c.bitRate);
    EXPECT_EQ(r.ConfigCaps.MinFrameInterval, c.minInterval);
    EXPECT_EQ(r.ConfigCaps.MaxFrameInterval, c.maxInterval);
    EXPECT_EQ(r.VideoInfoHeader.AvgTimePerFrame, c.avgTime);
    EXPECT_EQ(r.ConfigCaps.VideoStandard, c.standard);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biCompression, c.compression);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biBitCount, c.bitCount);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, c.sampleSize);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biHeight, (LONG)c.in.height);
    EXPECT_EQ(r.ConfigCaps.MaxOutputSize.cx, (LONG)c.in.width);
    EXPECT_EQ(r.ConfigCaps.ShrinkTapsY, 0);
    EXPECT_EQ(r.DataRange.SubFormat, c.compression ? FourCCSubtype(c.compression) : MEDIASUBTYPE_RGB32);
    // Every byte is the rule's: padding too (ranges are compared byte for byte).
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&r);
    for (size_t i = 180; i < 184; i++) EXPECT_EQ(bytes[i], 0) << i;
  }
}

// Decodes a record back to its inputs.
std::string Describe(PKSDATARANGE range) {
  const KS_DATARANGE_VIDEO* r = Video(range);
  ULONG c = r->VideoInfoHeader.bmiHeader.biCompression;
  std::string f = c ? std::string(reinterpret_cast<const char*>(&c), 4)
                    : (r->VideoInfoHeader.bmiHeader.biBitCount == 24 ? "RGB24" : "RGB32");
  bool l525 = r->ConfigCaps.VideoStandard == 0xA07;
  LONGLONG lo = r->ConfigCaps.MinFrameInterval, hi = r->ConfigCaps.MaxFrameInterval;
  const char* cls = lo != hi ? "full" : (lo == 333667 || lo == 400000 ? "30" : "60");
  return f + " " + std::to_string(r->VideoInfoHeader.bmiHeader.biWidth) + "x" +
         std::to_string(r->VideoInfoHeader.bmiHeader.biHeight) + (l525 ? " 525 " : " 625 ") + cls;
}

TEST_F(TemplatesTest, VideoRangeTableEntriesAtTheListBoundaries) {
  struct Case {
    int entry;
    const char* record;
  };
  const Case cases[] = {
      {0, "YV12 704x480 525 full"},     {1, "YV12 704x576 625 full"},     {19, "YV12 1920x1080 625 full"},
      {20, "H264 704x480 525 30"},      {22, "H264 180x120 525 full"},    {39, "H264 1920x1080 625 30"},
      {40, "X264 352x240 525 full"},    {52, "X264 640x360 525 60"},      {57, "X264 1280x720 625 30"},
      {58, "YUY2 1920x1080 525 full"},  {65, "RGB24 1920x1080 625 full"}, {66, "RGB32 1920x1080 525 full"},
      {69, "H264 1920x1080 625 full"},  {82, "YUY2 160x120 525 full"},    {94, "YUY2 720x240 525 60"},
      {129, "YUY2 1920x1080 625 full"}, {132, "YV12 320x180 525 full"},   {154, "NV12 320x240 525 full"},
      {168, "RGB32 320x240 525 full"},  {182, "RGB24 320x240 525 full"},  {196, "H264 704x480 525 30"},
      {203, "H264 1920x1080 625 30"},   {209, "H264 720x576 625 30"},
  };
  for (const Case& c : cases) EXPECT_EQ(Describe(VideoRangeTable[c.entry]), c.record) << c.entry;
  // The tails reuse the 1920 x 1080 records of entries 58-69; 70-81 are records of their own.
  const int reuse[][2] = {{130, 58}, {152, 60}, {166, 62}, {180, 66}, {194, 64}, {204, 68}};
  for (const auto& r : reuse) {
    EXPECT_EQ(VideoRangeTable[r[0]], VideoRangeTable[r[1]]);
    EXPECT_EQ(VideoRangeTable[r[0] + 1], VideoRangeTable[r[1] + 1]);
  }
  for (int i = 70; i < 82; i++) {
    EXPECT_NE(VideoRangeTable[i], VideoRangeTable[i - 12]);
    EXPECT_EQ(std::memcmp(VideoRangeTable[i], VideoRangeTable[i - 12], 296), 0);
  }
  EXPECT_EQ(Describe(EncoderRangeTable[0]), "XVID 704x480 525 30");
  EXPECT_EQ(Describe(EncoderRangeTable[11]), "H264 704x288 625 60");
  // Code-only records are found by their inputs; the tables come first.
  EXPECT_EQ(FindVideoRange(VF_YUY2, 1920, 1080, LINES_525, IC_FULL), VideoRangeTable[58]);
  PKSDATARANGE uyvy = FindVideoRange(VF_UYVY, 704, 480, LINES_525, IC_FULL);
  ASSERT_NE(uyvy, nullptr);
  EXPECT_EQ(Describe(uyvy), "UYVY 704x480 525 full");
  EXPECT_EQ(FindVideoRange(VF_UYVY, 703, 480, LINES_525, IC_FULL), nullptr);
  EXPECT_NE(FindVideoRange(VF_Y41P, 3840, 2160, LINES_625, IC_FULL), nullptr);
}

TEST_F(TemplatesTest, RangeBlocksShareVideoAndKeepTheirOwnMiddleRecords) {
  for (int b = 0; b < RANGE_BLOCKS; b++) {
    for (int i = 0; i < VIDEO_RANGE_TABLE_ENTRIES; i++) ASSERT_EQ(RangeBlocks[b][i], VideoRangeTable[i]);
    for (int i = 0; i < ENCODER_RANGE_TABLE_ENTRIES; i++)
      ASSERT_EQ(RangeBlocks[b][RANGE_ENCODER_TABLE + i], EncoderRangeTable[i]);
    for (int m = RANGE_PCM_MONO; m < RANGE_ENCODER_TABLE; m++)
      for (int other = 0; other < b; other++) EXPECT_NE(RangeBlocks[b][m], RangeBlocks[other][m]);
  }
  EXPECT_EQ(AltVideoRangeList, &RangeBlocks[3][0]);
  EXPECT_EQ(AltAudioRangeList, &RangeBlocks[3][210]);
  auto* mono = reinterpret_cast<KSDATARANGE_AUDIO*>(AltAudioRangeList[0]);
  EXPECT_EQ(mono->DataRange.FormatSize, 88u);
  EXPECT_EQ(mono->MaximumChannels, 1u);
  EXPECT_EQ(mono->MaximumSampleFrequency, 48000u);
  auto* vbi = reinterpret_cast<KS_DATARANGE_VIDEO_VBI*>(AltAudioRangeList[2]);
  EXPECT_EQ(vbi->DataRange.SampleSize, 25920u);
  EXPECT_EQ(vbi->VBIInfoHeader.StartLine, 6u);
  EXPECT_EQ(vbi->ConfigCaps.MinBitsPerSecond, 10368000);
  EXPECT_EQ(reinterpret_cast<KS_DATARANGE_VIDEO_VBI*>(AltAudioRangeList[3])->DataRange.SampleSize, 17280u);
  EXPECT_EQ(AltAudioRangeList[4]->SubFormat, KSDATAFORMAT_SUBTYPE_MPEG2_PROGRAM);
  EXPECT_EQ(AltAudioRangeList[5]->Specifier, GUID_NULL);
  EXPECT_EQ(Describe(AltAudioRangeList[6]), "XVID 704x480 525 30");
  EXPECT_EQ(AudioRange44100.MaximumSampleFrequency, 44100u);
}

TEST_F(TemplatesTest, PinTemplates) {
  struct Case {
    const char* name;
    const KSPIN_DESCRIPTOR_EX* pin;
    const KSPIN_DISPATCH* dispatch;
    ULONG ranges;
    PKSDATARANGE firstRange;
    KSPIN_DATAFLOW flow;
    KSPIN_COMMUNICATION communication;
    GUID category, name_;
    ULONG mediums, flags, possible, necessary;
    const KSALLOCATOR_FRAMING_EX* framing;
  };
  const ULONG streaming = KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
  const Case cases[] = {
      {"video", &VideoCapturePinDescriptor, &CVideoCapturePinDispatch, 58, VideoRangeTable[0], KSPIN_DATAFLOW_OUT,
       KSPIN_COMMUNICATION_BOTH, PIN_CATEGORY_CAPTURE, PinGuid(0), 0, streaming, 1, 0, &VideoCaptureFraming},
      {"mono", &AudioCapturePinDescriptorMono, &CAudioCapturePinDispatch, 1, RangeBlocks[1][RANGE_PCM_MONO],
       KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, PIN_CATEGORY_CAPTURE, PinGuid(1), 0, streaming, 1, 0,
       &AudioMonoFraming},
      {"stereo", &AudioCapturePinDescriptorStereo, &CAudioCapturePinDispatch, 1, RangeBlocks[1][RANGE_PCM_STEREO],
       KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, PIN_CATEGORY_CAPTURE, PinGuid(1), 0, streaming, 1, 0,
       &AudioStereoFraming},
      {"bridge", &AnalogAudioBridgePinDescriptor, nullptr, 1, &AnalogAudioRange, KSPIN_DATAFLOW_IN,
       KSPIN_COMMUNICATION_NONE, PinGuid(2), PinGuid(2), 1, 0, 1, 0, nullptr},
      {"stereo bridge", &AudioStereoPins[1], nullptr, 1, &AnalogAudioRange, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE,
       StereoBridgePinCategory, PinGuid(2), 1, 0, 1, 0, nullptr},
      {"encoder out", &EncoderOutputPinDescriptor, &CEncoderPinDispatch, 2, RangeBlocks[2][RANGE_ENCODER_OUTPUT_1],
       KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, PIN_CATEGORY_CAPTURE, PinGuid(3), 0, streaming, 1, 0,
       &EncoderOutputFraming},
      {"encoder in", &EncoderInputPinDescriptor, nullptr, 4, VideoRangeTable[206], KSPIN_DATAFLOW_IN,
       KSPIN_COMMUNICATION_BOTH, PinGuid(4), PinGuid(4), 1,
       KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING | KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT, 1, 1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const KSPIN_DESCRIPTOR& d = c.pin->PinDescriptor;
    EXPECT_EQ(c.pin->Dispatch, c.dispatch);
    EXPECT_EQ(d.DataRangesCount, c.ranges);
    EXPECT_EQ(d.DataRanges[0], c.firstRange);
    EXPECT_EQ(d.DataFlow, c.flow);
    EXPECT_EQ(d.Communication, c.communication);
    EXPECT_EQ(*d.Category, c.category);
    EXPECT_EQ(*d.Name, c.name_);
    EXPECT_EQ(d.InterfacesCount, 0u);
    EXPECT_EQ(d.MediumsCount, c.mediums);
    EXPECT_EQ(c.pin->Flags, c.flags);
    EXPECT_EQ(c.pin->InstancesPossible, c.possible);
    EXPECT_EQ(c.pin->InstancesNecessary, c.necessary);
    EXPECT_EQ(c.pin->AllocatorFraming, c.framing);
  }
  EXPECT_EQ(AnalogAudioBridgePinDescriptor.PinDescriptor.Mediums[0].Set, MediumSetGuid(1));
  EXPECT_EQ(EncoderInputPinDescriptor.PinDescriptor.Mediums[0].Set, MediumSetGuid(7));
  EXPECT_EQ(EncoderInputPinDescriptor.PinDescriptor.DataRanges, &RangeBlocks[2][206]);
  EXPECT_EQ(std::memcmp(&VideoCapturePinDescriptorTwin, &VideoCapturePinDescriptor, sizeof(KSPIN_DESCRIPTOR_EX)), 0);

  struct FramingCase {
    const KSALLOCATOR_FRAMING_EX* f;
    ULONG frames, min, max;
  };
  for (const FramingCase& f :
       {FramingCase{&VideoCaptureFraming, 10, 829440, 829440}, FramingCase{&AudioMonoFraming, 25, 80, 960},
        FramingCase{&AudioStereoFraming, 25, 1920, 1920}, FramingCase{&EncoderOutputFraming, 8, 32768, 32768}}) {
    const KS_FRAMING_ITEM& item = f.f->FramingItem[0];
    EXPECT_EQ(f.f->CountItems, 1u);
    EXPECT_EQ(f.f->OutputCompression.RatioNumerator, 1u);
    EXPECT_EQ(item.Flags, 0x80000007u);
    EXPECT_EQ(item.MemoryType, KSMEMORY_TYPE_KERNEL_NONPAGED);
    EXPECT_EQ(item.Frames, f.frames);
    EXPECT_EQ(item.FramingRange.Range.MinFrameSize, f.min);
    EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, f.max);
    EXPECT_EQ(item.PhysicalRange.MaxFrameSize, 0xFFFFFFFFu);
  }
}

TEST_F(TemplatesTest, FilterTemplatesTopologyAndAutomation) {
  struct Case {
    const KSFILTER_DESCRIPTOR* d;
    UCHAR type;
    ULONG pins;
    std::vector<GUID> categories;
    std::vector<GUID> sets;
  };
  const Case cases[] = {
      {&VideoCaptureFilterDescriptor,
       0x02,
       1,
       {KSCATEGORY_CAPTURE, KSCATEGORY_VIDEO},
       {PROPSETID_VIDCAP_VIDEOPROCAMP, PROPSETID_VIDCAP_VIDEOCONTROL, PROPSETID_VIDCAP_VIDEODECODER,
        PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPSETID_CustomDevice}},
      {&AudioCaptureFilterDescriptorMono,
       0x03,
       2,
       {KSCATEGORY_CAPTURE, CLSID_AudioInputDeviceCategory, KSCATEGORY_AUDIO},
       {KSPROPSETID_CustomDevice}},
      {&AudioCaptureFilterDescriptorStereo,
       0x03,
       2,
       {KSCATEGORY_CAPTURE, CLSID_AudioInputDeviceCategory, KSCATEGORY_AUDIO},
       {KSPROPSETID_CustomDevice}},
      {&EncoderFilterDescriptor,
       0x07,
       2,
       {KSCATEGORY_ENCODER, KSCATEGORY_MULTIPLEXER},
       {ENCAPIPARAM_PEAK_BITRATE, ENCAPIPARAM_BITRATE_MODE, ENCAPIPARAM_BITRATE}},
      {&CrossbarFilterDescriptor, 0x04, 0, {KSCATEGORY_CROSSBAR}, {PROPSETID_VIDCAP_CROSSBAR}},
      {&TvTunerFilterDescriptor, 0x05, 0, {KSCATEGORY_TVTUNER}, {PROPSETID_TUNER}},
      {&TvAudioFilterDescriptor, 0x06, 0, {KSCATEGORY_TVAUDIO}, {PROPSETID_VIDCAP_TVAUDIO}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((int)c.type);
    EXPECT_EQ(c.d->Version, 0xFFFFFFFFu);
    EXPECT_EQ(c.d->Flags, 0u);
    EXPECT_EQ(c.d->ComponentId, nullptr);
    EXPECT_EQ(*c.d->ReferenceGuid, TemplateReferenceGuid(c.type));
    EXPECT_EQ(c.d->PinDescriptorsCount, c.pins);
    EXPECT_EQ(c.d->PinDescriptorSize, 136u);
    EXPECT_EQ(c.d->NodeDescriptorSize, 24u);
    EXPECT_EQ(c.d->Dispatch, c.pins || c.type == 0x07 ? &CaptureFilterDispatch : &PinlessFilterDispatch);
    ASSERT_EQ(c.d->CategoriesCount, c.categories.size());
    for (size_t i = 0; i < c.categories.size(); i++) EXPECT_EQ(c.d->Categories[i], c.categories[i]);
    ASSERT_EQ(c.d->AutomationTable->PropertySetsCount, c.sets.size());
    EXPECT_EQ(c.d->AutomationTable->PropertyItemSize, sizeof(KSPROPERTY_ITEM));
    for (size_t i = 0; i < c.sets.size(); i++) EXPECT_EQ(*c.d->AutomationTable->PropertySets[i].Set, c.sets[i]);
  }
  EXPECT_EQ(VideoCaptureFilterDescriptor.PinDescriptors, &VideoCapturePinDescriptor);
  EXPECT_EQ(&AudioCaptureFilterDescriptorMono.PinDescriptors[1], &AnalogAudioBridgePinDescriptor);

  // Items in their order, with their sizes (the video decoder's 2 comes before 1).
  const KSPROPERTY_SET& decoder = VideoFilterAutomation.PropertySets[2];
  const ULONG decoderIds[] = {0, 2, 1, 3, 4};
  ASSERT_EQ(decoder.PropertiesCount, 5u);
  for (int i = 0; i < 5; i++) EXPECT_EQ(decoder.PropertyItem[i].PropertyId, decoderIds[i]);
  const KSPROPERTY_SET& tuner = TvTunerFilterAutomation.PropertySets[0];
  const ULONG tunerIds[] = {0, 4, 5, 2, 1, 3, 6, 7};
  const ULONG tunerMin[] = {104, 56, 32, 32, 56, 32, 40, 48};
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(tuner.PropertyItem[i].PropertyId, tunerIds[i]);
    EXPECT_EQ(tuner.PropertyItem[i].MinProperty, tunerMin[i]);
    EXPECT_EQ(tuner.PropertyItem[i].MinData, tunerMin[i]);
  }
  EXPECT_EQ(VideoFilterAutomation.PropertySets[1].PropertyItem[2].MinData, 0u);  // video control 2: 40/0
  const KSPROPERTY_ITEM& bitrate = EncoderFilterAutomation.PropertySets[2].PropertyItem[0];
  EXPECT_EQ(bitrate.MinProperty, 24u);
  EXPECT_EQ(bitrate.MinData, 4u);
  EXPECT_EQ(bitrate.SerializedSize, 4u);
  EXPECT_EQ(*CapturePinAutomation.PropertySets[0].Set, PROPSETID_VIDCAP_DROPPEDFRAMES);
  EXPECT_EQ(CapturePinAutomation.PropertySets[1].PropertyItem, VideoFilterAutomation.PropertySets[3].PropertyItem);
  EXPECT_EQ(VideoCapturePinDescriptor.AutomationTable, &CapturePinAutomation);

  // Stereo topology: bridge input -> ADC -> volume -> capture output.
  const KSFILTER_DESCRIPTOR& stereo = AudioCaptureFilterDescriptorStereo;
  ASSERT_EQ(stereo.NodeDescriptorsCount, 2u);
  EXPECT_EQ(*stereo.NodeDescriptors[0].Type, KSNODETYPE_ADC);
  EXPECT_EQ(*stereo.NodeDescriptors[1].Type, KSNODETYPE_VOLUME);
  EXPECT_EQ(*stereo.NodeDescriptors[1].Name, NodeNameGuid());
  const KSPROPERTY_SET& audio = stereo.NodeDescriptors[0].AutomationTable->PropertySets[0];
  EXPECT_EQ(*audio.Set, KSPROPSETID_Audio);
  ASSERT_EQ(audio.PropertiesCount, 2u);
  EXPECT_EQ(audio.PropertyItem[0].PropertyId, 4u);
  ASSERT_NE(audio.PropertyItem[0].Values, nullptr);
  const KSPROPERTY_MEMBERSLIST& steps = audio.PropertyItem[0].Values->MembersList[0];
  EXPECT_EQ(steps.MembersHeader.MembersFlags, (ULONG)KSPROPERTY_MEMBER_STEPPEDRANGES);
  EXPECT_EQ(static_cast<const KSPROPERTY_STEPPING_LONG*>(steps.Members)->SteppingDelta, 1u);
  EXPECT_EQ(audio.PropertyItem[1].PropertyId, 33u);
  EXPECT_EQ(audio.PropertyItem[1].MinData, 4u);
  ASSERT_EQ(stereo.ConnectionsCount, 3u);
  const KSTOPOLOGY_CONNECTION expected[] = {{KSFILTER_NODE, 1, 0, 0}, {0, 1, 1, 0}, {1, 1, KSFILTER_NODE, 0}};
  EXPECT_EQ(std::memcmp(stereo.Connections, expected, sizeof(expected)), 0);
  EXPECT_EQ(AudioCaptureFilterDescriptorMono.NodeDescriptorsCount, 0u);
  EXPECT_EQ(AudioCaptureFilterDescriptorMono.ConnectionsCount, 0u);
}

TEST_F(TemplatesTest, PinlessPinsAndMediums) {
  auto codes = [](const PinlessPinTemplate* pins, int n) {
    std::string s;
    for (int i = 0; i < n; i++)
      s += std::string(pins[i].bOutput ? "out:" : "in:") + std::to_string(pins[i].nMediumCode) + " ";
    return s;
  };
  EXPECT_EQ(codes(CrossbarPins5, 5), "in:-1 in:-1 in:-1 out:0 out:1 ");
  EXPECT_EQ(codes(CrossbarPins7, 7), "in:-1 in:-1 in:2 in:-1 in:4 out:0 out:1 ");
  EXPECT_EQ(codes(TvTunerPins, 2), "out:2 out:3 ");
  EXPECT_EQ(codes(TvAudioPins, 2), "in:3 out:4 ");
  KSPIN_MEDIUM m = MediumOf(MEDIUM_TVAUDIO_OUT, 0x1234);
  EXPECT_EQ(GuidText(m.Set), "{6F814BE9-9AF6-43CF-9249-C0345A02041E}");
  EXPECT_EQ(m.Id, 0x1234u);
  EXPECT_EQ(m.Flags, 0u);
  EXPECT_EQ(MediumOf(-1, 5).Set, GUID_NULL);
}

}  // namespace
