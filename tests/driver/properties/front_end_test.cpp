// The analog front end's pinless filters as device start registers them, opened through
// the client: their context and the save at close, the crossbar layouts with pins,
// mediums and routes, the tuner's capabilities, status wait and stereo-system codes, and
// the TV audio set.
#include "driver/properties/front_end.h"

#include <map>
#include <tuple>

#include "driver/hardware/lifecycle.h"
#include "tests/driver/properties/standard_fixture.h"

namespace props_test {
namespace {

constexpr ULONG kQzvk = MakePoolTag("QZVK");

class FrontEndTest : public StandardSetTest {
 protected:
  std::optional<ULONG> Saved(const char16_t* name) {
    auto v = pk::RegistryGetValue(key, name);
    if (!v || v->data.size() != 4) return std::nullopt;
    ULONG value;
    std::memcpy(&value, v->data.data(), 4);
    return value;
  }
};

TEST_F(FrontEndTest, FiltersRegisteredByStartOpenWithAContextAndSaveEverySettingAtClose) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_N));
  const int64_t live = pk::PoolStats(kQzvk).liveBlocks;
  HANDLE crossbar = OpenListed(KSCATEGORY_CROSSBAR);
  HANDLE tuner = OpenListed(KSCATEGORY_TVTUNER);
  HANDLE tvaudio = OpenListed(KSCATEGORY_TVAUDIO);
  ASSERT_TRUE(crossbar && tuner && tvaudio);
  EXPECT_EQ(pk::PoolStats(kQzvk).liveBlocks, live + 3);

  KSPROPERTY_CROSSBAR_ROUTE_S route{};
  route.IndexInputPin = 4;
  route.IndexOutputPin = 1;
  ASSERT_EQ(Set(crossbar, PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, &route), STATUS_SUCCESS);
  KSPROPERTY_TVAUDIO_S mode{};
  mode.Mode = KS_TVAUDIO_MODE_LANG_B;
  ASSERT_EQ(Set(tvaudio, PROPSETID_VIDCAP_TVAUDIO, KSPROPERTY_TVAUDIO_MODE, &mode), STATUS_SUCCESS);
  EXPECT_EQ(Saved(u"AnalogCrossbarAudioInputProperty"), std::nullopt);  // nothing written before a close

  // Closing any one of them saves every setting.
  CloseFilter(tuner);
  EXPECT_EQ(Saved(u"AnalogCrossbarAudioInputProperty"), 4u);
  EXPECT_EQ(Saved(u"AnalogTVAudioModeProperty"), (ULONG)KS_TVAUDIO_MODE_LANG_B);
  EXPECT_EQ(pk::PoolStats(kQzvk).liveBlocks, live + 2);
  d->m_nAnalogTunerCurrentFrequency = 471250000;
  CloseFilter(crossbar);
  EXPECT_EQ(Saved(u"AnalogTunerCurrentFrequencyProperty"), 471250000u);
  CloseFilter(tvaudio);
  EXPECT_EQ(pk::PoolStats(kQzvk).liveBlocks, live);

  // No context: the filter does not open.
  pk::FailNthAllocation(1, kQzvk);
  HANDLE h = nullptr;
  for (const auto& f : client.ListFilters(KSCATEGORY_CROSSBAR)) {
    if (f.Device != ksDevice) continue;
    EXPECT_EQ(client.OpenFilter(f, &h), STATUS_INSUFFICIENT_RESOURCES);
  }
  EXPECT_EQ(h, nullptr);
}

TEST_F(FrontEndTest, ItemsRefuseMissingDirectionsAndShortBuffersBeforeAnyHandler) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_N));
  struct Item {
    const GUID* category;
    const GUID* set;
    ULONG id;
    bool get, put;
    ULONG minData;
  };
  const Item items[] = {
      {&KSCATEGORY_CROSSBAR, &PROPSETID_VIDCAP_CROSSBAR, 0, true, false, 32},
      {&KSCATEGORY_CROSSBAR, &PROPSETID_VIDCAP_CROSSBAR, 1, true, false, 64},
      {&KSCATEGORY_CROSSBAR, &PROPSETID_VIDCAP_CROSSBAR, 2, true, false, 40},
      {&KSCATEGORY_CROSSBAR, &PROPSETID_VIDCAP_CROSSBAR, 3, true, true, 40},
      {&KSCATEGORY_TVTUNER, &PROPSETID_TUNER, 0, true, false, 104},
      {&KSCATEGORY_TVTUNER, &PROPSETID_TUNER, 1, true, false, 56},
      {&KSCATEGORY_TVTUNER, &PROPSETID_TUNER, 2, true, true, 32},
      {&KSCATEGORY_TVTUNER, &PROPSETID_TUNER, 3, true, true, 32},
      {&KSCATEGORY_TVTUNER, &PROPSETID_TUNER, 4, false, true, 56},
      {&KSCATEGORY_TVTUNER, &PROPSETID_TUNER, 5, true, true, 32},
      {&KSCATEGORY_TVTUNER, &PROPSETID_TUNER, 6, true, false, 40},
      {&KSCATEGORY_TVTUNER, &PROPSETID_TUNER, 7, true, false, 48},
      {&KSCATEGORY_TVAUDIO, &PROPSETID_VIDCAP_TVAUDIO, 0, true, false, 80},
      {&KSCATEGORY_TVAUDIO, &PROPSETID_VIDCAP_TVAUDIO, 1, true, true, 32},
      {&KSCATEGORY_TVAUDIO, &PROPSETID_VIDCAP_TVAUDIO, 2, true, false, 32},
  };
  std::map<const GUID*, HANDLE> filters;
  for (const GUID* c : {&KSCATEGORY_CROSSBAR, &KSCATEGORY_TVTUNER, &KSCATEGORY_TVAUDIO}) filters[c] = OpenListed(*c);
  const ULONG mode = d->m_nAnalogTunerMode, input = d->m_nAnalogCrossbarAudioInput;
  auto raw = [&](HANDLE f, const GUID& set, ULONG id, ULONG flags, ULONG propertyLength, ULONG dataLength,
                 ULONG* returned = nullptr) {
    std::vector<uint8_t> extra(propertyLength - sizeof(KSPROPERTY)), data(dataLength + 1);
    ULONG r = 0;
    NTSTATUS s = client.Property({f}, set, id, flags, extra.data(), (ULONG)extra.size(),
                                 dataLength ? data.data() : nullptr, dataLength, &r);
    if (returned) *returned = r;
    return s;
  };
  for (const Item& it : items) {
    SCOPED_TRACE(testing::Message() << ks::GuidText(*it.set) << " id " << it.id);
    HANDLE f = filters[it.category];
    ULONG returned = 0;
    if (!it.get) {
      EXPECT_EQ(raw(f, *it.set, it.id, KSPROPERTY_TYPE_GET, it.minData, it.minData), STATUS_NOT_FOUND);
    }
    if (!it.put) {
      EXPECT_EQ(raw(f, *it.set, it.id, KSPROPERTY_TYPE_SET, it.minData, it.minData), STATUS_NOT_FOUND);
    }
    const ULONG flags = it.get ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET;
    EXPECT_EQ(raw(f, *it.set, it.id, flags, it.minData - 1, it.minData), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(raw(f, *it.set, it.id, flags, it.minData, it.minData - 1), STATUS_BUFFER_TOO_SMALL);
    if (it.get) {
      EXPECT_EQ(raw(f, *it.set, it.id, KSPROPERTY_TYPE_GET, it.minData, 0, &returned), STATUS_BUFFER_OVERFLOW);
      EXPECT_EQ(returned, it.minData);
    }
  }
  EXPECT_EQ(raw(filters[&KSCATEGORY_TVTUNER], PROPSETID_TUNER, 8, KSPROPERTY_TYPE_GET, 32, 32), STATUS_NOT_FOUND);
  EXPECT_EQ(raw(filters[&KSCATEGORY_CROSSBAR], PROPSETID_VIDCAP_CROSSBAR, 4, KSPROPERTY_TYPE_GET, 40, 40),
            STATUS_NOT_FOUND);
  EXPECT_EQ(raw(filters[&KSCATEGORY_CROSSBAR], PROPSETID_TUNER, 0, KSPROPERTY_TYPE_GET, 104, 104),
            STATUS_PROPSET_NOT_FOUND);
  EXPECT_EQ(d->m_nAnalogTunerMode, mode);
  EXPECT_EQ(d->m_nAnalogCrossbarAudioInput, input);
}

// ---- crossbar ------------------------------------------------------------------------------------------

struct PinExpectation {
  KSPIN_DATAFLOW direction;
  ULONG index, type, related;
  int medium;  // -1: the all-zero set
};

TEST_F(FrontEndTest, CrossbarLayoutsByBoardAndSwitch) {
  struct Case {
    const char* name;
    BoardKind kind;
    std::vector<Setting> settings;
    bool switchOnLater;
    ULONG inputs;
  };
  const Case cases[] = {
      {"N: five inputs", BOARD_KIND_N, {}, false, 5},
      {"N, switch turned on: three", BOARD_KIND_N, {}, true, 3},
      {"I: three inputs", BOARD_KIND_I, {}, false, 3},
      {"encoder with the switch: three", BOARD_KIND_ENCODER, {{u"CustomCrossbarEnableProperty", 1}}, false, 3},
  };
  const std::vector<PinExpectation> three = {{KSPIN_DATAFLOW_IN, 0, 2, 2, -1},
                                             {KSPIN_DATAFLOW_IN, 1, 3, 2, -1},
                                             {KSPIN_DATAFLOW_IN, 2, 0x1001, 0, -1},
                                             {KSPIN_DATAFLOW_OUT, 0, 12, 1, 0x00},
                                             {KSPIN_DATAFLOW_OUT, 1, 0x1009, 0, 0x01}};
  const std::vector<PinExpectation> five = {
      {KSPIN_DATAFLOW_IN, 0, 2, 3, -1},        {KSPIN_DATAFLOW_IN, 1, 3, 3, -1},
      {KSPIN_DATAFLOW_IN, 2, 1, 4, 0x02},      {KSPIN_DATAFLOW_IN, 3, 0x1001, 0, -1},
      {KSPIN_DATAFLOW_IN, 4, 0x1000, 2, 0x04}, {KSPIN_DATAFLOW_OUT, 0, 12, 1, 0x00},
      {KSPIN_DATAFLOW_OUT, 1, 0x1009, 0, 0x01}};
  const std::vector<std::pair<ULONG, ULONG>> routes3 = {{0, 0}, {1, 0}, {2, 1}};
  const std::vector<std::pair<ULONG, ULONG>> routes5 = {{0, 0}, {1, 0}, {2, 0}, {3, 1}, {4, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CDevice* d = StartBoard(Kind(c.kind), c.settings);
    if (c.switchOnLater) d->m_nCrossbarEnable = 1;
    HANDLE f = OpenListed(KSCATEGORY_CROSSBAR);
    KSPROPERTY_CROSSBAR_CAPS_S caps{};
    ASSERT_EQ(Get(f, PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_CAPS, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.NumberOfInputs, c.inputs);
    EXPECT_EQ(caps.NumberOfOutputs, 2u);

    for (const PinExpectation& p : c.inputs == 3 ? three : five) {
      SCOPED_TRACE(testing::Message() << "pin " << p.direction << "/" << p.index);
      KSPROPERTY_CROSSBAR_PININFO_S info{};
      info.Direction = p.direction;
      info.Index = p.index;
      ASSERT_EQ(Get(f, PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_PININFO, &info), STATUS_SUCCESS);
      EXPECT_EQ(info.PinType, p.type);
      EXPECT_EQ(info.RelatedPinIndex, p.related);
      EXPECT_EQ(info.Medium.Set, p.medium < 0 ? GUID_NULL : MediumSetGuid((UCHAR)p.medium));
      EXPECT_EQ(info.Medium.Id, d->m_nMediumId);
      EXPECT_EQ(info.Medium.Flags, 0u);
    }
    // A direction word that is no dataflow value (found by fuzzing): compared as a word.
    {
      KSPROPERTY_CROSSBAR_PININFO_S info{};
      const ULONG direction = 0x01000000;
      std::memcpy(&info.Direction, &direction, sizeof(direction));
      info.PinType = 0x55;
      ASSERT_EQ(Get(f, PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_PININFO, &info), STATUS_SUCCESS);
      EXPECT_EQ(info.PinType, 0x55u);
    }
    // A pin the layout does not have: the request comes back as sent.
    for (auto [dir, index] : {std::pair{KSPIN_DATAFLOW_IN, c.inputs}, std::pair{KSPIN_DATAFLOW_OUT, 2u}}) {
      KSPROPERTY_CROSSBAR_PININFO_S info;
      std::memset(&info, 0x3C, sizeof(info));
      info.Direction = dir;
      info.Index = index;
      KSPROPERTY_CROSSBAR_PININFO_S sent = info;
      ASSERT_EQ(Get(f, PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_PININFO, &info), STATUS_SUCCESS);
      sent.Property = info.Property;
      EXPECT_EQ(std::memcmp(&info, &sent, sizeof(info)), 0);
    }
    const auto& routes = c.inputs == 3 ? routes3 : routes5;
    for (ULONG in = 0; in < 6; in++) {
      for (ULONG out = 0; out < 3; out++) {
        KSPROPERTY_CROSSBAR_ROUTE_S r{};
        r.IndexInputPin = in;
        r.IndexOutputPin = out;
        r.CanRoute = 7;
        ASSERT_EQ(Get(f, PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_CAN_ROUTE, &r), STATUS_SUCCESS);
        const bool routable = std::find(routes.begin(), routes.end(), std::pair{in, out}) != routes.end();
        EXPECT_EQ(r.CanRoute, routable ? 1u : 0u) << in << " -> " << out;
        EXPECT_EQ(r.IndexInputPin, in);
      }
    }
    CloseFilter(f);
    ReleaseMonitors();  // the removal stops the monitor itself
    harness->RemoveDevice(harness->DeviceCount() - 1);
  }
}

TEST_F(FrontEndTest, CrossbarRouteStoresAsGivenAndAnswersFromTheSettings) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_N));
  HANDLE f = OpenListed(KSCATEGORY_CROSSBAR);
  auto set = [&](ULONG in, ULONG out) {
    KSPROPERTY_CROSSBAR_ROUTE_S r{};
    r.IndexInputPin = in;
    r.IndexOutputPin = out;
    return Set(f, PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, &r);
  };
  auto get = [&](ULONG out) {
    KSPROPERTY_CROSSBAR_ROUTE_S r{};
    r.IndexInputPin = 9;
    r.IndexOutputPin = out;
    r.CanRoute = 9;
    EXPECT_EQ(Get(f, PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, &r), STATUS_SUCCESS);
    return std::tuple{r.IndexInputPin, r.IndexOutputPin, r.CanRoute};
  };
  d->m_nAnalogCrossbarVideoOutput = 5;
  d->m_nAnalogCrossbarAudioOutput = 6;
  ASSERT_EQ(set(1, 0), STATUS_SUCCESS);
  EXPECT_EQ(d->m_nAnalogCrossbarVideoInput, 1u);
  EXPECT_EQ(d->m_nAnalogCrossbarVideoOutput, 0u);
  // A video input index on the audio output is stored without complaint.
  ASSERT_EQ(set(2, 1), STATUS_SUCCESS);
  EXPECT_EQ(d->m_nAnalogCrossbarAudioInput, 2u);
  EXPECT_EQ(d->m_nAnalogCrossbarAudioOutput, 1u);
  ASSERT_EQ(set(3, 2), STATUS_SUCCESS);  // no such output: nothing stored
  EXPECT_EQ(d->m_nAnalogCrossbarVideoInput, 1u);
  EXPECT_EQ(d->m_nAnalogCrossbarAudioInput, 2u);

  EXPECT_EQ(get(0), std::tuple(1u, 0u, 1u));
  EXPECT_EQ(get(1), std::tuple(2u, 1u, 1u));
  EXPECT_EQ(get(2), std::tuple(9u, 2u, 0u));
  // A stored video output word of 1 is answered with the audio route.
  d->m_nAnalogCrossbarVideoOutput = 1;
  EXPECT_EQ(get(0), std::tuple(2u, 1u, 1u));
  // Unknown set ids are refused.
  KSPROPERTY_CROSSBAR_ROUTE_S r{};
  EXPECT_EQ(Set(f, PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_CAPS, &r), STATUS_NOT_FOUND);
}

// ---- TV tuner ------------------------------------------------------------------------------------------

TEST_F(FrontEndTest, TunerCapsModeCapsAndStoredValues) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_N));
  HANDLE f = OpenListed(KSCATEGORY_TVTUNER);
  KSPROPERTY_TUNER_CAPS_S caps{};
  ASSERT_EQ(Get(f, PROPSETID_TUNER, KSPROPERTY_TUNER_CAPS, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.ModesSupported, 3u);
  EXPECT_EQ(caps.VideoMedium.Set, MediumSetGuid(MEDIUM_TUNER_VIDEO_OUT));
  EXPECT_EQ(caps.TVAudioMedium.Set, MediumSetGuid(MEDIUM_TUNER_AUDIO_OUT));
  EXPECT_EQ(caps.RadioAudioMedium.Set, GUID_NULL);
  for (const KSPIN_MEDIUM& m : {caps.VideoMedium, caps.TVAudioMedium, caps.RadioAudioMedium}) {
    EXPECT_EQ(m.Id, d->m_nMediumId);
    EXPECT_EQ(m.Flags, 0u);
  }

  struct ModeRow {
    ULONG mode;
    NTSTATUS status;
    ULONG standards, minF, maxF, step;
  };
  for (const ModeRow& row :
       {ModeRow{1, STATUS_SUCCESS, 0x1F7773, 11250000, 997250000, 62500},
        ModeRow{2, STATUS_SUCCESS, 0, 76000000, 108000000, 50000}, ModeRow{3, STATUS_INVALID_PARAMETER, 0, 0, 0, 0},
        ModeRow{0, STATUS_INVALID_PARAMETER, 0, 0, 0, 0}}) {
    SCOPED_TRACE(row.mode);
    KSPROPERTY_TUNER_MODE_CAPS_S m{};
    m.Mode = row.mode;
    ASSERT_EQ(Get(f, PROPSETID_TUNER, KSPROPERTY_TUNER_MODE_CAPS, &m), row.status);
    if (row.status != STATUS_SUCCESS) continue;
    EXPECT_EQ(m.Mode, row.mode);
    EXPECT_EQ(m.StandardsSupported, row.standards);
    EXPECT_EQ(m.MinFrequency, row.minF);
    EXPECT_EQ(m.MaxFrequency, row.maxF);
    EXPECT_EQ(m.TuningGranularity, row.step);
    EXPECT_EQ(m.NumberOfInputs, 1u);
    EXPECT_EQ(m.SettlingTime, 100u);
    EXPECT_EQ(m.Strategy, 1u);
  }

  // Mode, standard and input: stored as given (no range check), returned as stored.
  KSPROPERTY_TUNER_MODE_S mode{};
  mode.Mode = 7;
  ASSERT_EQ(Set(f, PROPSETID_TUNER, KSPROPERTY_TUNER_MODE, &mode), STATUS_SUCCESS);
  KSPROPERTY_TUNER_STANDARD_S standard{};
  standard.Standard = KS_AnalogVideo_SECAM_K;
  ASSERT_EQ(Set(f, PROPSETID_TUNER, KSPROPERTY_TUNER_STANDARD, &standard), STATUS_SUCCESS);
  KSPROPERTY_TUNER_INPUT_S input{};
  input.InputIndex = 3;
  ASSERT_EQ(Set(f, PROPSETID_TUNER, KSPROPERTY_TUNER_INPUT, &input), STATUS_SUCCESS);
  EXPECT_EQ(d->m_nAnalogTunerMode, 7u);
  EXPECT_EQ(d->m_nAnalogTunerStandard, (ULONG)KS_AnalogVideo_SECAM_K);
  EXPECT_EQ(d->m_nAnalogTunerInput, 3u);
  mode = {};
  standard = {};
  input = {};
  ASSERT_EQ(Get(f, PROPSETID_TUNER, KSPROPERTY_TUNER_MODE, &mode), STATUS_SUCCESS);
  ASSERT_EQ(Get(f, PROPSETID_TUNER, KSPROPERTY_TUNER_STANDARD, &standard), STATUS_SUCCESS);
  ASSERT_EQ(Get(f, PROPSETID_TUNER, KSPROPERTY_TUNER_INPUT, &input), STATUS_SUCCESS);
  EXPECT_EQ(mode.Mode, 7u);
  EXPECT_EQ(standard.Standard, (ULONG)KS_AnalogVideo_SECAM_K);
  EXPECT_EQ(input.InputIndex, 3u);

  KSPROPERTY_TUNER_IF_MEDIUM_S ifMedium;
  std::memset(&ifMedium, 0x11, sizeof(ifMedium));
  ASSERT_EQ(Get(f, PROPSETID_TUNER, KSPROPERTY_TUNER_IF_MEDIUM, &ifMedium), STATUS_SUCCESS);
  EXPECT_EQ(ifMedium.IFMedium.Set, GUID_NULL);
  EXPECT_EQ(ifMedium.IFMedium.Id, 0u);
  EXPECT_EQ(ifMedium.IFMedium.Flags, 0u);
  // The frequency is set only.
  KSPROPERTY_TUNER_FREQUENCY_S frequency{};
  EXPECT_EQ(Get(f, PROPSETID_TUNER, KSPROPERTY_TUNER_FREQUENCY, &frequency), STATUS_NOT_FOUND);
}

TEST_F(FrontEndTest, TunerStatusWaitsOneHundredMillisecondsInTvModeOnly) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_N));
  HANDLE f = OpenListed(KSCATEGORY_TVTUNER);
  d->m_nAnalogTunerCurrentFrequency = 183250000;
  d->m_nAnalogVideoDecoderStatus = 1;
  // The monitor thread's bus work asks for delays of its own: the fixture holds it.
  for (ULONG mode : {1u, 2u}) {
    SCOPED_TRACE(mode);
    d->m_nAnalogTunerMode = mode;
    pk::ClearDelayRequests();
    KSPROPERTY_TUNER_STATUS_S s;
    std::memset(&s, 0x22, sizeof(s));
    ASSERT_EQ(Get(f, PROPSETID_TUNER, KSPROPERTY_TUNER_STATUS, &s), STATUS_SUCCESS);
    EXPECT_EQ(s.CurrentFrequency, 183250000u);
    EXPECT_EQ(s.PLLOffset, 0u);
    EXPECT_EQ(s.Busy, 0u);
    auto delays = pk::DelayRequests();
    if (mode == 1) {
      EXPECT_EQ(s.SignalStrength, 0u);
      ASSERT_EQ(delays.size(), 1u);
      EXPECT_EQ(delays[0].interval, -1000000);
      EXPECT_EQ(delays[0].irql, PASSIVE_LEVEL);
    } else {
      EXPECT_EQ(s.SignalStrength, 1u);  // the decoder's lock status
      EXPECT_TRUE(delays.empty());
    }
  }
}

TEST_F(FrontEndTest, TuningStoresTheStereoSystemByStandardCountryAndMode) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_N));
  HANDLE f = OpenListed(KSCATEGORY_TVTUNER);
  struct Row {
    ULONG standard, country, mode, code;
  };
  const Row rows[] = {
      {KS_AnalogVideo_PAL_B, 44, 1, 1},
      {KS_AnalogVideo_PAL_B, 1, 1, 0},
      {KS_AnalogVideo_PAL_B, 49, 1, 0},
      {KS_AnalogVideo_PAL_B, 1, 2, 4},
      {KS_AnalogVideo_PAL_I, 44, 2, 4},
      {KS_AnalogVideo_NTSC_M_J, 81, 1, 3},
      {KS_AnalogVideo_NTSC_M, 1, 1, 2},
      {KS_AnalogVideo_PAL_M, 55, 1, 2},
      {KS_AnalogVideo_PAL_N, 595, 1, 2},
      {KS_AnalogVideo_PAL_N_COMBO, 54, 1, 2},
      {KS_AnalogVideo_PAL_I, 886, 1, 1},
      {KS_AnalogVideo_SECAM_L, 999, 1, 1},
      {KS_AnalogVideo_SECAM_L1, 0, 1, 1},
      {KS_AnalogVideo_NTSC_M, 33, 1, 1},
      {KS_AnalogVideo_NTSC_M_J, 61, 1, 0},
      {KS_AnalogVideo_PAL_I, 41, 1, 0},
      {KS_AnalogVideo_NTSC_M | KS_AnalogVideo_PAL_I, 1, 1, 0},
  };
  // Every country code of the two override lists.
  std::vector<Row> all(std::begin(rows), std::end(rows));
  for (ULONG c : {61, 43, 420, 49, 39, 82, 60, 31, 378, 386, 41}) all.push_back({KS_AnalogVideo_NTSC_M, c, 1, 0});
  for (ULONG c : {32, 45, 372, 358, 33, 36, 972, 352, 64, 47, 48, 351, 7, 65, 34, 46, 852, 354, 353, 853, 27, 44})
    all.push_back({KS_AnalogVideo_NTSC_M, c, 1, 1});
  ULONG frequency = 100000000;
  for (const Row& r : all) {
    SCOPED_TRACE(testing::Message() << std::hex << r.standard << std::dec << " country " << r.country << " mode "
                                    << r.mode);
    d->m_nAnalogTunerStandard = r.standard;
    d->m_nAnalogTunerMode = r.mode;
    d->m_nAnalogAudioStereoSystem = 77;
    KSPROPERTY_TUNER_FREQUENCY_S t{};
    t.Frequency = ++frequency;
    t.Country = r.country;
    ASSERT_EQ(Set(f, PROPSETID_TUNER, KSPROPERTY_TUNER_FREQUENCY, &t), STATUS_SUCCESS);
    EXPECT_EQ(d->m_nAnalogAudioStereoSystem, r.code);
    EXPECT_EQ(d->m_nAnalogTunerCurrentFrequency, frequency);
    EXPECT_EQ(d->m_nAnalogTunerCountry, r.country);
  }
}

// ---- TV audio ------------------------------------------------------------------------------------------

TEST_F(FrontEndTest, TvAudioCapsModesAndMode) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_N));
  HANDLE f = OpenListed(KSCATEGORY_TVAUDIO);
  KSPROPERTY_TVAUDIO_CAPS_S caps{};
  ASSERT_EQ(Get(f, PROPSETID_VIDCAP_TVAUDIO, KSPROPERTY_TVAUDIO_CAPS, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.Capabilities, 0x73u);
  EXPECT_EQ(caps.InputMedium.Set, MediumSetGuid(MEDIUM_TUNER_AUDIO_OUT));
  EXPECT_EQ(caps.OutputMedium.Set, MediumSetGuid(MEDIUM_TVAUDIO_OUT));
  EXPECT_EQ(caps.InputMedium.Id, d->m_nMediumId);
  EXPECT_EQ(caps.OutputMedium.Id, d->m_nMediumId);
  KSPROPERTY_TVAUDIO_S m{};
  ASSERT_EQ(Get(f, PROPSETID_VIDCAP_TVAUDIO, KSPROPERTY_TVAUDIO_CURRENTLY_AVAILABLE_MODES, &m), STATUS_SUCCESS);
  EXPECT_EQ(m.Mode, 0x73u);
  m.Mode = 0x12345;  // not checked
  ASSERT_EQ(Set(f, PROPSETID_VIDCAP_TVAUDIO, KSPROPERTY_TVAUDIO_MODE, &m), STATUS_SUCCESS);
  EXPECT_EQ(d->m_nAnalogTVAudioMode, 0x12345u);
  m.Mode = 0;
  ASSERT_EQ(Get(f, PROPSETID_VIDCAP_TVAUDIO, KSPROPERTY_TVAUDIO_MODE, &m), STATUS_SUCCESS);
  EXPECT_EQ(m.Mode, 0x12345u);
  EXPECT_EQ(Set(f, PROPSETID_VIDCAP_TVAUDIO, KSPROPERTY_TVAUDIO_CURRENTLY_AVAILABLE_MODES, &m), STATUS_NOT_FOUND);
  // Each set stands on its own filter only.
  EXPECT_EQ(Get(f, PROPSETID_TUNER, KSPROPERTY_TUNER_MODE, &m), STATUS_PROPSET_NOT_FOUND);
}

}  // namespace
}  // namespace props_test
