// The custom set as a whole: its 185 ids, each one's directions and value size through
// the request path, refusals before any handler runs, ids outside the set, and the flag
// and scope rules of the per-channel and device words.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "driver/streaming/templates.h"
#include "tests/driver/properties/custom_property_fixture.h"

namespace vorlix_test {
namespace {

// The ids by the property lists they come from.
std::set<ULONG> Range(ULONG first, ULONG last) {
  std::set<ULONG> s;
  for (ULONG i = first; i <= last; i++) s.insert(i);
  return s;
}
std::set<ULONG> AllIds() {
  std::set<ULONG> ids = {0, 1, 2, 5, 6, 8, 9, 10, 11};
  for (auto part : {Range(700, 710),
                    std::set<ULONG>{200, 201},
                    Range(203, 212),
                    Range(214, 226),
                    Range(230, 242),
                    Range(244, 255),
                    Range(270, 279),
                    std::set<ULONG>{290, 370, 371},
                    Range(300, 304),
                    std::set<ULONG>{310, 350, 351, 360, 361},
                    Range(400, 415),
                    std::set<ULONG>{422, 423, 424, 430, 431, 450, 451, 452, 500, 600, 601, 602, 610, 611, 612, 4, 890},
                    Range(900, 907),
                    Range(910, 913),
                    std::set<ULONG>{915, 916, 917, 929, 930, 931, 940, 941, 942},
                    Range(920, 924),
                    Range(950, 967),
                    Range(970, 974),
                    std::set<ULONG>{980, 981, 982},
                    Range(990, 994),
                    std::set<ULONG>{995, 996}})
    ids.insert(part.begin(), part.end());
  return ids;
}

const std::set<ULONG> kGetOnly = [] {
  std::set<ULONG> s = {0,   2,   4,   5,   6,   8,   9,   11,  211, 223, 230, 239, 241, 271, 274,
                       300, 301, 302, 303, 304, 351, 361, 370, 371, 430, 431, 942, 981, 996};
  for (ULONG i = 701; i <= 710; i++) s.insert(i);
  for (ULONG i = 900; i <= 907; i++) s.insert(i);
  return s;
}();
const std::set<ULONG> kSetOnly = [] {
  std::set<ULONG> s = {406, 601, 602, 700, 915, 916, 917, 929, 930, 931, 950, 951,
                       953, 954, 955, 959, 965, 966, 991, 992, 993, 994, 995};
  for (ULONG i = 920; i <= 924; i++) s.insert(i);
  for (ULONG i = 971; i <= 974; i++) s.insert(i);
  return s;
}();

ULONG ExpectedMinData(ULONG id) {
  static const std::set<ULONG> k16 = {310, 423, 702, 704, 706, 708, 710, 890, 921, 922, 923, 924, 958, 960,
                                      961, 962, 963, 970, 971, 972, 973, 974, 981, 991, 992, 993, 994};
  if (id == 11) return 8;
  if (id == 206 || id == 207) return 12;
  if (k16.count(id)) return 16;
  if (id == 995) return 74;
  if (id == 996) return 8;
  return 4;
}

TEST(CustomTableTest, OneRowPerIdWithTheItemsKsSees) {
  const std::set<ULONG> ids = AllIds();
  ASSERT_EQ(ids.size(), kCustomPropertyCount);
  const KSPROPERTY_SET& set = CustomDevicePropertySet();
  EXPECT_EQ(*set.Set, KSPROPSETID_CustomDevice);
  ASSERT_EQ(set.PropertiesCount, kCustomPropertyCount);
  std::set<ULONG> seen;
  for (ULONG i = 0; i < set.PropertiesCount; i++) {
    const KSPROPERTY_ITEM& item = set.PropertyItem[i];
    SCOPED_TRACE(item.PropertyId);
    EXPECT_TRUE(seen.insert(item.PropertyId).second);
    EXPECT_TRUE(ids.count(item.PropertyId));
    EXPECT_EQ(item.MinData, ExpectedMinData(item.PropertyId));
    ULONG minProperty = item.PropertyId >= 995 ? 24 : ExpectedMinData(item.PropertyId);
    EXPECT_EQ(item.MinProperty, minProperty);
    EXPECT_EQ(item.GetPropertyHandler != nullptr, !kSetOnly.count(item.PropertyId));
    EXPECT_EQ(item.SetPropertyHandler != nullptr, !kGetOnly.count(item.PropertyId));
    EXPECT_EQ(item.Values, nullptr);
    EXPECT_EQ(item.RelationsCount, 0u);
    EXPECT_EQ(item.SupportHandler, nullptr);
    EXPECT_EQ(FindCustomPropertyRow(item.PropertyId)->id, item.PropertyId);
  }
  for (ULONG id : {3u, 7u, 12u, 202u, 213u, 243u, 999u, 1000u, 0xFFFFFFFFu})
    EXPECT_EQ(FindCustomPropertyRow(id), nullptr);
}

TEST(CustomTableTest, TheCaptureFilterTemplatesCarryTheSet) {
  InitializeStreamingTemplates();
  const KSAUTOMATION_TABLE* tables[] = {&VideoFilterAutomation, &AudioFilterAutomation};
  for (const KSAUTOMATION_TABLE* t : tables) {
    ASSERT_GE(t->PropertySetsCount, 1u);
    const KSPROPERTY_SET& last = t->PropertySets[t->PropertySetsCount - 1];
    EXPECT_EQ(*last.Set, KSPROPSETID_CustomDevice);
    EXPECT_EQ(last.PropertiesCount, kCustomPropertyCount);
    EXPECT_EQ(last.PropertyItem, CustomDevicePropertySet().PropertyItem);
  }
  EXPECT_EQ(VideoFilterAutomation.PropertySetsCount, 5u);
  EXPECT_EQ(AudioFilterAutomation.PropertySetsCount, 1u);
}

// Every row through the request path: the directions it has succeed with MinData bytes,
// the others are refused; a buffer one byte short is refused and left as it was; a get
// with no buffer asks for the size.
TEST_F(CustomPropertyTest, EveryRowDirectionsAndSizes) {
  Start();
  for (ULONG id : AllIds()) {
    SCOPED_TRACE(id);
    ULONG minData = ExpectedMinData(id);
    std::vector<UCHAR> buffer(minData + 8, 0xCD), before;
    bool hasGet = !kSetOnly.count(id), hasSet = !kGetOnly.count(id);

    before = buffer;
    ULONG returned = 0;
    EXPECT_EQ(Get(filter_, id, buffer.data(), minData - 1, &returned),
              hasGet ? STATUS_BUFFER_TOO_SMALL : STATUS_NOT_FOUND);
    EXPECT_EQ(buffer, before);
    EXPECT_EQ(Get(filter_, id, nullptr, 0, &returned), hasGet ? STATUS_BUFFER_OVERFLOW : STATUS_NOT_FOUND);
    if (hasGet) {
      EXPECT_EQ(returned, minData);
    }
    if (hasGet) {
      // A get writes nothing beyond MinData, and reports at most what the buffer holds.
      NTSTATUS s = Get(filter_, id, buffer.data(), minData, &returned);
      EXPECT_TRUE(s == STATUS_SUCCESS) << std::hex << s;
      EXPECT_LE(returned, minData);
      EXPECT_TRUE(std::equal(buffer.begin() + minData, buffer.end(), before.begin() + minData));
    }

    std::vector<UCHAR> zero(minData, 0);
    EXPECT_EQ(Set(filter_, id, zero.data(), minData - 1), hasSet ? STATUS_BUFFER_TOO_SMALL : STATUS_NOT_FOUND);
    if (hasSet && id != 957) {
      EXPECT_EQ(Set(filter_, id, zero.data(), minData), STATUS_SUCCESS);
    }
  }
}

TEST_F(CustomPropertyTest, IdsOutsideTheSetAndMalformedRequestsAreRefused) {
  Start();
  for (ULONG id : {3u, 7u, 12u, 202u, 213u, 227u, 243u, 256u, 305u, 603u, 711u, 999u, 1000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(id);
    ULONG v = 0x12345678;
    EXPECT_EQ(Get(filter_, id, &v, 4), STATUS_NOT_FOUND);
    EXPECT_EQ(v, 0x12345678u);
    EXPECT_EQ(Set(filter_, id, &v, 4), STATUS_NOT_FOUND);
  }
  // A request shorter than the property header never reaches a handler.
  KSPROPERTY p = {KSPROPSETID_CustomDevice, 10, KSPROPERTY_TYPE_SET};
  ULONG v = 7, returned = 0;
  EXPECT_EQ(client_->DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &p, sizeof(p) - 1, &v, 4, &returned),
            STATUS_INVALID_BUFFER_SIZE);
  EXPECT_EQ(Dev()->m_nMunaulUsbPipeSelect, 0u);
  // Get and set at once is no request.
  p.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
  EXPECT_EQ(client_->DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &p, sizeof(p), &v, 4, &returned),
            STATUS_INVALID_PARAMETER);
}

// ---- the flag and scope rules ------------------------------------------------------------

enum Rule { kFlagMask, kRawMask, kRawRaw, kFlagClear, kRawClear, kGetRaw };
struct WordCase {
  ULONG id;
  ULONG* (*array)(CDevice*);
  int entries;  // 16, 32, 0 = entry 0 only, -32 = filter channel
  Rule rule;
};
#define ARRAY(m) [](CDevice* d) -> ULONG* { return d->m; }
const WordCase kWordCases[] = {
    {200, ARRAY(m_nAnalogVideoDeinterlaceType), 16, kFlagMask},
    {204, ARRAY(m_nAnalogVideoProcAmpGain), 0, kFlagClear},
    {212, ARRAY(m_nAnalogVideoDemiseType), 16, kFlagMask},
    {217, ARRAY(m_nAnalogVideoDenoiseType), 16, kFlagMask},
    {219, ARRAY(m_nAnalogVideoAutoPhaseType), 0, kRawClear},
    {244, ARRAY(m_nAnalogVideoVerticalMirror), 16, kRawMask},
    {245, ARRAY(m_nAnalogVideoHorizontalMirror), 16, kRawMask},
    {246, ARRAY(m_nAnalogVideoSkipFrameRate), 16, kFlagMask},
    {247, ARRAY(m_nAnalogVideoAvgFrameRate), 16, kFlagMask},
    {249, ARRAY(m_nAnalogVideoRotate), 16, kFlagMask},
    {275, ARRAY(m_nAnalogVideoScaleType), 16, kRawMask},
    {350, ARRAY(m_nPreviewVideoResolution), 32, kFlagMask},
    {351, ARRAY(m_nPreviewVideoFrameCounts), 32, kGetRaw},
    {360, ARRAY(m_nPreviewAudioSampleFrequency), 32, kRawRaw},
    {361, ARRAY(m_nPreviewAudioFrameCounts), 32, kGetRaw},
    {400, ARRAY(m_nEncoderVideoFormat), 32, kFlagMask},
    {401, ARRAY(m_nEncoderVideoResolution), 32, kFlagMask},
    {402, ARRAY(m_nEncoderVideoSkipFrameRate), 32, kFlagMask},
    {403, ARRAY(m_nEncoderVideoBitRate), 32, kFlagMask},
    {404, ARRAY(m_nEncoderVideoQuality), 32, kFlagMask},
    {405, ARRAY(m_nEncoderVideoGop), 32, kFlagMask},
    {407, ARRAY(m_nEncoderVideoBitRateMode), 32, kFlagMask},
    {408, ARRAY(m_nEncoderVideoQPStep), 32, kFlagMask},
    {409, ARRAY(m_nEncoderVideoPeakBitRate), 32, kFlagMask},
    {410, ARRAY(m_nEncoderVideoTroughQuality), 32, kFlagMask},
    {411, ARRAY(m_nEncoderVideoBframesPerKeyframe), 32, kFlagMask},
    {412, ARRAY(m_nEncoderVideoProfile), 32, kFlagMask},
    {413, ARRAY(m_nEncoderVideoAspectRatio), 32, kFlagMask},
    {414, ARRAY(m_nEncoderVideoLevel), 32, kFlagMask},
    {415, ARRAY(m_nEncoderVideoEntropy), 32, kFlagMask},
    {422, ARRAY(m_nEncoderVideoAvgFrameRate), 32, kFlagMask},
    {430, ARRAY(m_nEncoderVideoFrameCounts), 32, kGetRaw},
    {431, ARRAY(m_nEncoderVideoFrameCounts), 32, kGetRaw},
    {450, ARRAY(m_nEncoderAudioFormat), 32, kFlagMask},
    {451, ARRAY(m_nEncoderAudioFrequency), 32, kFlagMask},
    {452, ARRAY(m_nEncoderAudioBitRate), 32, kFlagMask},
    {910, ARRAY(m_nMotionTemporalSensitivity), -32, kFlagMask},
    {911, ARRAY(m_nMotionSpatialSensitivity), -32, kFlagMask},
    {912, ARRAY(m_nMotionLevelSensitivity), -32, kFlagMask},
    {913, ARRAY(m_nMotionSpeed), -32, kFlagMask},
};

// Set 5 and get back through the sub-stream filter of channel 1: per-channel words land
// in entry 5, filter-channel words in entry 1, entry-0 words in entry 0.
TEST_F(CustomPropertyTest, FlagAndScopeRulesOfEveryChannelWord) {
  Start();
  HANDLE sub = Open(1, 8);
  ASSERT_NE(sub, nullptr);
  for (const WordCase& c : kWordCases) {
    SCOPED_TRACE(c.id);
    ULONG* a = c.array(Dev());
    ULONG entry = c.entries == 0 ? 0 : c.entries < 0 ? 1 : 5;
    bool flagged = c.rule == kFlagMask || c.rule == kFlagClear;
    if (c.rule != kGetRaw) {
      Set(c.id, 5, sub);
      EXPECT_EQ(a[entry], flagged ? 0x08000005u : 5u);
      for (ULONG other : {0u, 1u, 4u, 5u})
        if (other != entry) {
          EXPECT_NE(a[other] & 0xFFFF, 5u) << "entry " << other;
        }
    }
    a[entry] = 0x88000005;
    ULONG expected = c.rule == kFlagClear || c.rule == kRawClear ? 0x80000005u
                     : c.rule == kRawRaw || c.rule == kGetRaw    ? 0x88000005u
                                                                 : 5u;
    EXPECT_EQ(Get(c.id, sub), expected);
    a[entry] = 0;
  }
}

// Device scalars store and return the word as given, flag bits included.
TEST_F(CustomPropertyTest, DeviceWordsStoreAndReturnAsGiven) {
  Start();
  struct Case {
    ULONG id;
    ULONG* (*word)(CDevice*);
  };
#define WORD(m) [](CDevice* d) -> ULONG* { return &d->m; }
  const Case cases[] = {
      {10, WORD(m_nMunaulUsbPipeSelect)},
      {205, WORD(m_nAnalogVideoSwitchSpeed)},
      {208, WORD(m_nAnalogVideoFrameRate)},
      {209, WORD(m_nAnalogVideoScaleOutput)},
      {210, WORD(m_nAnalogVideoResolution)},
      {214, WORD(m_nAnalogVideo720Output)},
      {215, WORD(m_nAnalogVideoUStreamPatch)},
      {216, WORD(m_nAnalogVideoQueueBufferSize)},
      {218, WORD(m_nAnalogVideoFlexibleFpsPatch)},
      {220, WORD(m_nAnalogVideoFlexibleResolutionPatch)},
      {224, WORD(m_nAnalogVideoVgaAspectRatio)},
      {225, WORD(m_nAnalogVideoVgaHActive)},
      {226, WORD(m_nAnalogVideoPinTopology)},
      {231, WORD(m_nAnalogVideoColorRange)},
      {232, WORD(m_nAnalogCrossbarVideoInputAutoScan)},
      {234, WORD(m_nAnalogVideoSog)},
      {235, WORD(m_nAnalogVideoDviYCbCr)},
      {236, WORD(m_nAnalogVideoVbiLinesEnable)},
      {237, WORD(m_nAnalogVideoVbiLines)},
      {238, WORD(m_nAnalogVideoSkypePatch)},
      {240, WORD(m_nAnalogVideoInputEq)},
      {248, WORD(m_nAnalogVideoInputBandwidth)},
      {250, WORD(m_nAnalogAudioStereoSystem)},
      {251, WORD(m_nAnalogAudioVolume)},
      {252, WORD(m_nAnalogAudioPinTopology)},
      {253, WORD(m_nAnalogAudioSampleFrequency)},
      {254, WORD(m_nAnalogAudioPassThrough)},
      {272, WORD(m_nAnalogVideoDirectDMA)},
      {273, WORD(m_nAnalogVideoSubEncoderEnable)},
      {276, WORD(m_nCompanyQuorin)},
      {277, WORD(m_nAnalogVideoHotPlugEnable)},
      {278, WORD(m_nAnalogVideoRGBColorConvertColorRange)},
      {279, WORD(m_nAnalogVideoHVSyncDelay)},
      {290, WORD(m_nAnalogActiveSubChannelNumber)},
      {424, WORD(m_nEncoderVideoQueueBufferSize)},
      {500, WORD(m_nCloneFilters)},
      {600, WORD(m_nVirtualCaptureDevice)},
      {610, WORD(m_nAnalogVideoMultiSyncChannels)},
      {611, WORD(m_nAnalogVideoMultiSyncPositionX)},
      {612, WORD(m_nAnalogVideoMultiSyncPositionY)},
      {940, WORD(m_nGpioDirection)},
      {982, WORD(m_nDebugPrints)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ULONG v = c.id == 940 ? 0x88000000u : 0x88000005u;  // 940 drives no user line
    Set(c.id, v);
    EXPECT_EQ(*c.word(Dev()), v);
    EXPECT_EQ(Get(c.id), v);
  }
  // Read-only device words return what the driver holds.
  struct ReadCase {
    ULONG id;
    ULONG* (*word)(CDevice*);
  };
  const ReadCase reads[] = {{6, WORD(m_nSiliconTunerType)},
                            {223, WORD(m_nAnalogVideoInterleaved)},
                            {239, WORD(m_nAnalogVideoConnections)},
                            {271, WORD(m_nAnalogVideoSdiSingalStatus)}};
#undef WORD
  for (const ReadCase& c : reads) {
    *c.word(Dev()) = 0x88000007;
    EXPECT_EQ(Get(c.id), 0x88000007u) << c.id;
  }
}

// A channel index outside the array its row addresses is refused: nothing read or written
// (a clamp would silently change another channel's setting).
TEST_F(CustomPropertyTest, IndexesOutsideTheArraysAreRefused) {
  Start();
  HANDLE ch16 = Open(16, 0);   // outside the 16-entry arrays only
  HANDLE ch28s = Open(28, 9);  // channel index 32: outside the 32-entry arrays
  HANDLE ch40 = Open(40, 0);   // outside every array
  ASSERT_TRUE(ch16 && ch28s && ch40);
  struct Case {
    HANDLE filter;
    ULONG id;
    NTSTATUS status;
  };
  const Case cases[] = {
      {ch16, 200, STATUS_INVALID_PARAMETER},
      {ch16, 275, STATUS_INVALID_PARAMETER},
      {ch16, 403, STATUS_SUCCESS},
      {ch16, 910, STATUS_SUCCESS},
      {ch28s, 403, STATUS_INVALID_PARAMETER},
      {ch28s, 423, STATUS_INVALID_PARAMETER},
      {ch28s, 910, STATUS_SUCCESS},
      {ch40, 910, STATUS_INVALID_PARAMETER},
      {ch40, 890, STATUS_INVALID_PARAMETER},
      {ch40, 921, STATUS_INVALID_PARAMETER},
      {ch40, 900, STATUS_INVALID_PARAMETER},
      {ch40, 970, STATUS_INVALID_PARAMETER},
      {ch40, 10, STATUS_SUCCESS},
      {ch40, 204, STATUS_SUCCESS},
  };
  auto before = std::make_unique<CDeviceSettings>();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ULONG minData = ExpectedMinData(c.id);
    std::vector<UCHAR> value(minData, 0x5A);
    const CustomPropertyRow* row = FindCustomPropertyRow(c.id);
    if (row->get != CustomGet::None) {
      EXPECT_EQ(Get(c.filter, c.id, value.data(), minData), c.status);
      if (c.status != STATUS_SUCCESS) {
        EXPECT_EQ(value, std::vector<UCHAR>(minData, 0x5A));
      }
    }
    if (row->set != CustomSet::None) {
      *before = *static_cast<CDeviceSettings*>(Dev());
      EXPECT_EQ(Set(c.filter, c.id, value.data(), minData), c.status);
      if (c.status != STATUS_SUCCESS) {
        EXPECT_EQ(std::memcmp(before.get(), static_cast<CDeviceSettings*>(Dev()), sizeof(CDeviceSettings)), 0);
      }
    }
  }
}

}  // namespace
}  // namespace vorlix_test
