// The encoder filter's encoder-API parameters (channel 0's rate-control words and the
// peak rule, with their published ranges) and the stereo audio capture filter's nodes
// (fixed answers and their log lines).
#include "driver/properties/audio_encoder_api.h"

#include "tests/driver/properties/standard_fixture.h"

namespace props_test {
namespace {

class AudioEncoderApiTest : public StandardSetTest {
 protected:
  NTSTATUS SetWord(HANDLE f, const GUID& set, ULONG value) {
    return client.SetProperty({f}, set, 0, &value, sizeof(value));
  }
  ULONG GetWord(HANDLE f, const GUID& set) {
    ULONG value = 0xDEADBEEF, returned = 0;
    EXPECT_EQ(client.GetProperty({f}, set, 0, &value, sizeof(value), &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    return value;
  }
  // The audio nodes' log lines since the last call.
  std::vector<std::string> NewLog() {
    auto lines = pk::DebugLogLines();
    std::vector<std::string> fresh;
    for (size_t i = std::min(seen_, lines.size()); i < lines.size(); i++)
      if (lines[i].rfind("CAnalogWaveInFilter::", 0) == 0) fresh.push_back(lines[i]);
    seen_ = lines.size();
    return fresh;
  }

 private:
  size_t seen_ = 0;
};

TEST_F(AudioEncoderApiTest, PeakRuleFollowsBitRateAndMode) {
  struct Row {
    ULONG bitRate, mode, peak, expected;
  };
  const Row rows[] = {
      {4000000, 1, 1, 6000000},
      {8000000, 1, 1, 8800000},
      {6000000, 1, 0, 9000000},
      {6000001, 1, 0, 6600001},
      {4000000, 2, 5000000, 5000000},
      {4000000, 2, 7000000, 6000000},
      {4000000, 2, 4000000, 6000000},
      {4000000, 2, 4400000, 4400000},
      {4000000, 2, 6000000, 6000000},
      {8000000, 2, 13000000, 8800000},
      {8000000, 0, 1, 1},
      {8000000, 3, 1, 1},
      {4000000, 0x08000001, 1, 1},
      {2000000000, 1, 0, 2200000000u},
      {1000000000, 2, 0, 1100000000},
      {1000000000, 2, 1200000000, 1200000000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.bitRate << " mode " << r.mode << " peak " << r.peak);
    EXPECT_EQ(PeakBitRateFor(r.bitRate, r.mode, r.peak), r.expected);
  }
}

TEST_F(AudioEncoderApiTest, ParametersAreChannelZerosWordsStoredWithoutTheFlag) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_ENCODER));
  HANDLE f = OpenTestCopy(EncoderFilterDescriptor, nullptr);
  d->m_nEncoderVideoBitRate[1] = 111;
  ASSERT_EQ(SetWord(f, ENCAPIPARAM_BITRATE_MODE, 1), STATUS_SUCCESS);
  ASSERT_EQ(SetWord(f, ENCAPIPARAM_BITRATE, 4000000), STATUS_SUCCESS);
  EXPECT_EQ(d->m_nEncoderVideoBitRate[0], 4000000u);  // no set-by-application flag
  EXPECT_EQ(d->m_nEncoderVideoBitRateMode[0], 1u);
  EXPECT_EQ(d->m_nEncoderVideoPeakBitRate[0], 6000000u);
  EXPECT_EQ(GetWord(f, ENCAPIPARAM_PEAK_BITRATE), 6000000u);
  ASSERT_EQ(SetWord(f, ENCAPIPARAM_BITRATE, 8000000), STATUS_SUCCESS);
  EXPECT_EQ(GetWord(f, ENCAPIPARAM_PEAK_BITRATE), 8800000u);
  // In mode 1 a peak set by itself is put back by the rule at once.
  ASSERT_EQ(SetWord(f, ENCAPIPARAM_PEAK_BITRATE, 9500000), STATUS_SUCCESS);
  EXPECT_EQ(GetWord(f, ENCAPIPARAM_PEAK_BITRATE), 8800000u);
  // In mode 2 it stays while it lies inside the band.
  ASSERT_EQ(SetWord(f, ENCAPIPARAM_BITRATE_MODE, 2), STATUS_SUCCESS);
  ASSERT_EQ(SetWord(f, ENCAPIPARAM_PEAK_BITRATE, 9500000), STATUS_SUCCESS);
  EXPECT_EQ(GetWord(f, ENCAPIPARAM_PEAK_BITRATE), 9500000u);
  ASSERT_EQ(SetWord(f, ENCAPIPARAM_PEAK_BITRATE, 12000001), STATUS_SUCCESS);
  EXPECT_EQ(GetWord(f, ENCAPIPARAM_PEAK_BITRATE), 8800000u);
  // A mode word a custom set left flagged is returned as stored and is no mode to the rule.
  d->m_nEncoderVideoBitRateMode[0] = 0x08000001;
  EXPECT_EQ(GetWord(f, ENCAPIPARAM_BITRATE_MODE), 0x08000001u);
  ASSERT_EQ(SetWord(f, ENCAPIPARAM_PEAK_BITRATE, 1), STATUS_SUCCESS);
  EXPECT_EQ(GetWord(f, ENCAPIPARAM_PEAK_BITRATE), 1u);
  d->m_nEncoderVideoBitRate[0] = 0x08000000 | 3000000;
  EXPECT_EQ(GetWord(f, ENCAPIPARAM_BITRATE), 0x08000000u | 3000000);
  EXPECT_EQ(d->m_nEncoderVideoBitRate[1], 111u);
  // Short buffers never reach the handlers.
  ULONG value = 0;
  EXPECT_EQ(client.SetProperty({f}, ENCAPIPARAM_BITRATE, 0, &value, 3), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(client.SetProperty({f}, ENCAPIPARAM_BITRATE, 1, &value, 4), STATUS_NOT_FOUND);
}

TEST_F(AudioEncoderApiTest, ParametersPublishTheirRangesAndDefaults) {
  StartBoard(Kind(BOARD_KIND_ENCODER));
  HANDLE f = OpenTestCopy(EncoderFilterDescriptor, nullptr);
  struct Answer {
    KSPROPERTY_DESCRIPTION d;
    KSPROPERTY_MEMBERSHEADER first;
    uint8_t members[16];
    KSPROPERTY_MEMBERSHEADER second;
    ULONG value;
  };
  for (const GUID* set : {&ENCAPIPARAM_PEAK_BITRATE, &ENCAPIPARAM_BITRATE}) {
    Answer a{};
    ULONG returned = 0;
    ASSERT_EQ(client.Property({f}, *set, 0, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, &a, sizeof(a), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 92u);
    EXPECT_EQ(a.d.PropTypeSet.Id, 19u);  // unsigned 32-bit
    EXPECT_EQ(a.first.MembersFlags, (ULONG)KSPROPERTY_MEMBER_STEPPEDRANGES);
    KSPROPERTY_STEPPING_LONG range;
    std::memcpy(&range, a.members, sizeof(range));
    EXPECT_EQ(range.SteppingDelta, 1u);
    EXPECT_EQ(range.Bounds.UnsignedMinimum, 100000u);
    EXPECT_EQ(range.Bounds.UnsignedMaximum, 12000000u);
    EXPECT_EQ(a.second.Flags, (ULONG)KSPROPERTY_MEMBER_FLAG_DEFAULT);
    EXPECT_EQ(a.value, set == &ENCAPIPARAM_PEAK_BITRATE ? 6000000u : 4000000u);
  }
  struct {
    KSPROPERTY_DESCRIPTION d;
    KSPROPERTY_MEMBERSHEADER valuesHeader;
    LONG values[3];
    KSPROPERTY_MEMBERSHEADER defaultHeader;
    LONG value;
  } mode{};
  ULONG returned = 0;
  ASSERT_EQ(client.Property({f}, ENCAPIPARAM_BITRATE_MODE, 0, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, &mode,
                            sizeof(mode), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(mode));
  EXPECT_EQ(mode.d.PropTypeSet.Id, 3u);  // signed 32-bit
  EXPECT_EQ(mode.valuesHeader.MembersFlags, (ULONG)KSPROPERTY_MEMBER_VALUES);
  EXPECT_EQ(mode.valuesHeader.MembersCount, 3u);
  EXPECT_EQ(std::vector<LONG>(mode.values, mode.values + 3), (std::vector<LONG>{0, 1, 2}));
  EXPECT_EQ(mode.value, 0);
}

TEST_F(AudioEncoderApiTest, AudioNodesAnswerFixedValuesAndLog) {
  StartBoard(Kind(BOARD_KIND_N));
  HANDLE stereo = OpenTestCopy(AudioCaptureFilterDescriptorStereo, nullptr);
  NewLog();
  for (ULONG node : {0u, 1u}) {
    SCOPED_TRACE(node);
    LONG channel[2] = {1, 0};
    LONG level = 55;
    ULONG returned = 0;
    ASSERT_EQ(client.Property({stereo, node}, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET,
                              channel, sizeof(channel), &level, sizeof(level), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(returned, 4u);
    level = 9;
    ASSERT_EQ(client.Property({stereo, node}, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET,
                              channel, sizeof(channel), &level, sizeof(level), &returned),
              STATUS_SUCCESS);
    ULONG cpu = 7;
    ASSERT_EQ(client.Property({stereo, node}, KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_GET,
                              nullptr, 0, &cpu, sizeof(cpu), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(cpu, 0u);
    ASSERT_EQ(client.Property({stereo, node}, KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_SET,
                              nullptr, 0, &cpu, sizeof(cpu), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(NewLog(), (std::vector<std::string>{
                            "CAnalogWaveInFilter::OnGetWaveInProperty( ID = 4 )",
                            "CAnalogWaveInFilter::OnGetWaveInProperty( KSPROPERTY_AUDIO_VOLUMELEVEL (1) )",
                            "CAnalogWaveInFilter::OnSetWaveInProperty( ID = 4 )",
                            "CAnalogWaveInFilter::OnSetWaveInProperty( KSPROPERTY_AUDIO_VOLUMELEVEL (1) (9) )",
                            "CAnalogWaveInFilter::OnGetWaveInProperty( ID = 33 )",
                            "CAnalogWaveInFilter::OnGetWaveInProperty( KSPROPERTY_AUDIO_CPU_RESOURCES () )",
                            "CAnalogWaveInFilter::OnSetWaveInProperty( ID = 33 )",
                        }));
  }
  // The volume item needs the channel: a node request without it is refused unseen.
  LONG level = 0;
  EXPECT_EQ(client.Property({stereo, 0}, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, nullptr,
                            0, &level, sizeof(level), nullptr),
            STATUS_INVALID_BUFFER_SIZE);
  EXPECT_TRUE(NewLog().empty());
  // The set stands on the nodes only; the mono filter has none.
  EXPECT_EQ(client.GetProperty({stereo}, KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, &level, sizeof(level)),
            STATUS_PROPSET_NOT_FOUND);
  HANDLE mono = OpenTestCopy(AudioCaptureFilterDescriptorMono, nullptr);
  EXPECT_EQ(client.GetProperty({mono, 0}, KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, &level, sizeof(level)),
            STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace props_test
