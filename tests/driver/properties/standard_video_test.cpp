// The standard video sets of the video capture filter and its capture pin, sent the way
// an application sends them: the item table's refusals, picture controls with their flag
// and published values, the frame-interval list, the decoder standard with its range
// rewrite, compression on H.264 and raw filters, and the pin's frame counters.
#include "driver/properties/standard_video.h"

#include "driver/hardware/board_state.h"
#include "tests/driver/properties/standard_fixture.h"

namespace props_test {
namespace {

class StandardVideoTest : public StandardSetTest {
 protected:
  // A request of PropertyLength bytes (a zeroed record) with a value buffer of
  // DataLength bytes.
  NTSTATUS Raw(const ks::PropertyTarget& target, const GUID& set, ULONG id, ULONG flags, ULONG propertyLength,
               ULONG dataLength, ULONG* returned = nullptr) {
    std::vector<uint8_t> extra(propertyLength > sizeof(KSPROPERTY) ? propertyLength - sizeof(KSPROPERTY) : 0);
    std::vector<uint8_t> data(dataLength + 1);
    ULONG r = 0;
    NTSTATUS s = client.Property(target, set, id, flags, extra.data(), (ULONG)extra.size(),
                                 dataLength ? data.data() : nullptr, dataLength, &r);
    if (returned) *returned = r;
    return s;
  }
  // Pin 0's ranges as the filter lists them to an application.
  std::vector<KS_DATARANGE_VIDEO> PinRanges(HANDLE filter) {
    ULONG pinId[2] = {0, 0};
    ULONG needed = 0;
    EXPECT_EQ(client.Property({filter}, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, pinId,
                              sizeof(pinId), nullptr, 0, &needed),
              STATUS_BUFFER_OVERFLOW);
    std::vector<uint8_t> bytes(needed);
    ULONG got = 0;
    EXPECT_EQ(client.Property({filter}, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, pinId,
                              sizeof(pinId), bytes.data(), needed, &got),
              STATUS_SUCCESS);
    std::vector<KS_DATARANGE_VIDEO> ranges;
    KSMULTIPLE_ITEM head;
    std::memcpy(&head, bytes.data(), sizeof(head));
    size_t at = sizeof(head);
    for (ULONG i = 0; i < head.Count; i++) {
      KS_DATARANGE_VIDEO r{};
      KSDATARANGE h;
      std::memcpy(&h, bytes.data() + at, sizeof(h));
      std::memcpy(&r, bytes.data() + at, std::min<size_t>(h.FormatSize, sizeof(r)));
      ranges.push_back(r);
      at += (h.FormatSize + 7) & ~7u;
    }
    return ranges;
  }
};

std::string Describe(const KS_DATARANGE_VIDEO& r) {
  char text[64];
  snprintf(text, sizeof(text), "%.4s %dx%d std %X",
           reinterpret_cast<const char*>(&r.VideoInfoHeader.bmiHeader.biCompression),
           (int)r.VideoInfoHeader.bmiHeader.biWidth, (int)r.VideoInfoHeader.bmiHeader.biHeight,
           (unsigned)r.ConfigCaps.VideoStandard);
  return text;
}

// ---- the item table ----------------------------------------------------------------------------

TEST_F(StandardVideoTest, ItemsRefuseMissingDirectionsAndShortBuffersBeforeAnyHandler) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_ENCODER));
  HANDLE f = OpenVideo(4, 0);
  HANDLE pin = CreateCapturePin(f);
  struct Item {
    const GUID* set;
    ULONG id;
    bool get, put;
    ULONG minProperty, minData;
    bool onPin = false;
  };
  const Item items[] = {
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, 0, true, true, 40, 40},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, 4, true, true, 40, 40},
      {&PROPSETID_VIDCAP_VIDEOCONTROL, 0, true, false, 32, 32},
      {&PROPSETID_VIDCAP_VIDEOCONTROL, 1, true, false, 56, 56},
      {&PROPSETID_VIDCAP_VIDEOCONTROL, 2, true, false, 40, 0},
      {&PROPSETID_VIDCAP_VIDEOCONTROL, 3, true, true, 32, 32},
      {&PROPSETID_VIDCAP_VIDEODECODER, 0, true, false, 40, 40},
      {&PROPSETID_VIDCAP_VIDEODECODER, 1, true, true, 32, 32},
      {&PROPSETID_VIDCAP_VIDEODECODER, 2, true, false, 32, 32},
      {&PROPSETID_VIDCAP_VIDEODECODER, 3, true, true, 32, 32},
      {&PROPSETID_VIDCAP_VIDEODECODER, 4, true, true, 32, 32},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, 0, true, false, 48, 48},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, 1, true, true, 32, 32},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, 5, true, true, 32, 32},
      {&PROPSETID_VIDCAP_DROPPEDFRAMES, 0, true, false, 48, 48, true},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, 4, true, true, 32, 32, true},
  };
  const ULONG standard = d->m_nAnalogVideoDecoderStandard;
  for (const Item& it : items) {
    SCOPED_TRACE(testing::Message() << ks::GuidText(*it.set) << " id " << it.id);
    ks::PropertyTarget t{it.onPin ? pin : f};
    ULONG returned = 99;
    if (!it.put) {
      EXPECT_EQ(Raw(t, *it.set, it.id, KSPROPERTY_TYPE_SET, it.minProperty, it.minData), STATUS_NOT_FOUND);
    }
    if (!it.get) {
      EXPECT_EQ(Raw(t, *it.set, it.id, KSPROPERTY_TYPE_GET, it.minProperty, it.minData), STATUS_NOT_FOUND);
    }
    EXPECT_EQ(Raw(t, *it.set, it.id, KSPROPERTY_TYPE_GET, it.minProperty - 1, it.minData), STATUS_INVALID_BUFFER_SIZE);
    if (it.minData) {
      EXPECT_EQ(Raw(t, *it.set, it.id, KSPROPERTY_TYPE_GET, it.minProperty, it.minData - 1), STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(Raw(t, *it.set, it.id, KSPROPERTY_TYPE_GET, it.minProperty, 0, &returned), STATUS_BUFFER_OVERFLOW);
      EXPECT_EQ(returned, it.minData);  // the size query
      if (it.put) {
        EXPECT_EQ(Raw(t, *it.set, it.id, KSPROPERTY_TYPE_SET, it.minProperty, it.minData - 1), STATUS_BUFFER_TOO_SMALL);
      }
    }
  }
  // Ids outside the lists, and the picture controls the set does not offer.
  EXPECT_EQ(Raw({f}, PROPSETID_VIDCAP_VIDEOPROCAMP, 5, KSPROPERTY_TYPE_GET, 40, 40), STATUS_NOT_FOUND);
  EXPECT_EQ(Raw({f}, PROPSETID_VIDCAP_VIDEOCONTROL, 4, KSPROPERTY_TYPE_GET, 40, 40), STATUS_NOT_FOUND);
  EXPECT_EQ(Raw({f}, PROPSETID_VIDCAP_VIDEODECODER, 5, KSPROPERTY_TYPE_GET, 40, 40), STATUS_NOT_FOUND);
  EXPECT_EQ(Raw({f}, PROPSETID_VIDCAP_VIDEOCOMPRESSION, 6, KSPROPERTY_TYPE_GET, 48, 48), STATUS_NOT_FOUND);
  EXPECT_EQ(Raw({f}, PROPSETID_VIDCAP_DROPPEDFRAMES, 0, KSPROPERTY_TYPE_GET, 48, 48), STATUS_PROPSET_NOT_FOUND);
  EXPECT_EQ(Raw({pin}, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, KSPROPERTY_TYPE_GET, 40, 40), STATUS_PROPSET_NOT_FOUND);
  // Id 5 of compression is listed but not served.
  EXPECT_EQ(Raw({f}, PROPSETID_VIDCAP_VIDEOCOMPRESSION, 5, KSPROPERTY_TYPE_SET, 32, 32), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(d->m_nAnalogVideoDecoderStandard, standard);
}

// ---- picture controls --------------------------------------------------------------------------

int g_applyCalls = 0;
NTSTATUS CountApply(CDevice*, ULONG, ULONG) {
  g_applyCalls++;
  return STATUS_SUCCESS;
}

TEST_F(StandardVideoTest, ProcAmpStoresFlaggedPerChannelAndAppliesOnlyChanges) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_ENCODER));
  HANDLE f = OpenVideo(0, 3);
  ULONG* members[5] = {d->m_nAnalogVideoProcAmpBrightness, d->m_nAnalogVideoProcAmpContrast,
                       d->m_nAnalogVideoProcAmpHue, d->m_nAnalogVideoProcAmpSaturation,
                       d->m_nAnalogVideoProcAmpSharpness};
  g_applyCalls = 0;
  VideoProcAmpApplyHook = CountApply;
  for (ULONG id = 0; id < 5; id++) {
    SCOPED_TRACE(id);
    members[id][3] = 0x88000010;  // bit 31 and the flag are never returned
    KSPROPERTY_VIDEOPROCAMP_S v;
    std::memset(&v, 0xEE, sizeof(v));
    ASSERT_EQ(Get(f, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &v), STATUS_SUCCESS);
    EXPECT_EQ(v.Value, 0x10);
    EXPECT_EQ(v.Flags, 0u);
    EXPECT_EQ(v.Capabilities, 0u);
    v.Value = 200 + (LONG)id;
    ASSERT_EQ(Set(f, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &v), STATUS_SUCCESS);
    EXPECT_EQ(members[id][3], (200 + id) | 0x08000000u);
    EXPECT_EQ(members[id][2], members[id][4]);  // other channels untouched
  }
  EXPECT_EQ(g_applyCalls, 5);
  // The same value again: stored with the flag again, not applied.
  d->m_nAnalogVideoProcAmpBrightness[3] = 200;
  KSPROPERTY_VIDEOPROCAMP_S v{};
  v.Value = 200;
  ASSERT_EQ(Set(f, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, &v), STATUS_SUCCESS);
  EXPECT_EQ(d->m_nAnalogVideoProcAmpBrightness[3], 0x080000C8u);
  EXPECT_EQ(g_applyCalls, 5);
  VideoProcAmpApplyHook = VideoProcAmpApplyNothing;

  // A channel outside the 16-entry arrays is refused and nothing moves.
  HANDLE far = OpenVideo(0, 16);
  std::vector<ULONG> before(d->m_nAnalogVideoProcAmpBrightness, d->m_nAnalogVideoProcAmpBrightness + 16);
  v.Value = 77;
  EXPECT_EQ(Set(far, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, &v), STATUS_INVALID_PARAMETER);
  std::memset(&v, 0xEE, sizeof(v));
  EXPECT_EQ(Get(far, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, &v), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(v.Value, (LONG)0xEEEEEEEE);
  EXPECT_EQ(std::vector<ULONG>(d->m_nAnalogVideoProcAmpBrightness, d->m_nAnalogVideoProcAmpBrightness + 16), before);
}

TEST_F(StandardVideoTest, ProcAmpPublishesItsRangeAndTheBoardFamilysDefaults) {
  StartBoard(Kind(BOARD_KIND_I));  // ProcAmp set 1: contrast 105, sharpness 16
  HANDLE f = OpenVideo(0, 0);
  const LONG expected[5] = {128, 105, 128, 128, 16};
  for (ULONG id = 0; id < 5; id++) {
    SCOPED_TRACE(id);
    struct {
      KSPROPERTY_DESCRIPTION d;
      KSPROPERTY_MEMBERSHEADER rangeHeader;
      KSPROPERTY_STEPPING_LONG range;
      KSPROPERTY_MEMBERSHEADER defaultHeader;
      LONG value;
    } answer{};
    static_assert(sizeof(answer) == 92);
    KSPROPERTY_VIDEOPROCAMP_S request{};
    ULONG returned = 0;
    ASSERT_EQ(client.Property({f}, PROPSETID_VIDCAP_VIDEOPROCAMP, id, KSPROPERTY_TYPE_BASICSUPPORT,
                              reinterpret_cast<uint8_t*>(&request) + 24, 16, &answer, sizeof(answer), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 92u);
    EXPECT_EQ(answer.d.AccessFlags, (ULONG)(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
    EXPECT_EQ(answer.d.MembersListCount, 2u);
    EXPECT_EQ(answer.rangeHeader.MembersFlags, (ULONG)KSPROPERTY_MEMBER_STEPPEDRANGES);
    EXPECT_EQ(answer.range.SteppingDelta, 1u);
    EXPECT_EQ(answer.range.Bounds.SignedMinimum, 0);
    EXPECT_EQ(answer.range.Bounds.SignedMaximum, 255);
    EXPECT_EQ(answer.defaultHeader.Flags, (ULONG)KSPROPERTY_MEMBER_FLAG_DEFAULT);
    EXPECT_EQ(answer.value, expected[id]);
  }
}

// The signal members below are the encoder board's monitor's to write: these tests run on
// a board whose monitor only keeps time.

// ---- video control ----------------------------------------------------------------------------------

TEST_F(StandardVideoTest, VideoControlEchoesTheRequestAndAnswersTheStandardsInterval) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_N));
  HANDLE f = OpenVideo(0, 0);
  KSPROPERTY_VIDEOCONTROL_CAPS_S caps{};
  caps.StreamIndex = 3;
  caps.VideoControlCaps = 0xFFFFFFFF;
  ASSERT_EQ(Get(f, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_CAPS, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.StreamIndex, 3u);
  EXPECT_EQ(caps.VideoControlCaps, 0u);

  for (auto [standard, interval] : {std::pair<ULONG, LONGLONG>{KS_AnalogVideo_NTSC_M, 166833},
                                    {KS_AnalogVideo_PAL_M, 166833},
                                    {KS_AnalogVideo_PAL_B, 200000},
                                    {0, 200000}}) {
    d->m_nAnalogVideoDecoderStandard = standard;
    KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S r{};
    r.StreamIndex = 1;
    r.RangeIndex = 5;
    r.Dimensions = {720, 480};
    ASSERT_EQ(Get(f, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.StreamIndex, 1u);
    EXPECT_EQ(r.RangeIndex, 5u);
    EXPECT_EQ(r.Dimensions.cx, 720);
    EXPECT_EQ(r.CurrentActualFrameRate, interval) << standard;
    EXPECT_EQ(r.CurrentMaxAvailableFrameRate, interval);
  }

  KSPROPERTY_VIDEOCONTROL_MODE_S mode{};
  mode.StreamIndex = 2;
  mode.Mode = 7;
  ASSERT_EQ(Get(f, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE, &mode), STATUS_SUCCESS);
  EXPECT_EQ(mode.Mode, 0);
  EXPECT_EQ(mode.StreamIndex, 2u);
  mode.Mode = 5;
  EXPECT_EQ(Set(f, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE, &mode), STATUS_SUCCESS);
  EXPECT_EQ(Get(f, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE, &mode), STATUS_SUCCESS);
  EXPECT_EQ(mode.Mode, 0);  // nothing stored
}

struct RateCase {
  const char* name;
  ULONG rate, interleaved, width, height;
  ULONG standard, status, fractional;
  ULONG vaplet, flexible, pexton;
  UCHAR subsystemLow;  // non-zero: an L (0xA_) or M (0xB_) identity with this byte
  ULONG count;
  std::vector<LONGLONG> head;  // the first entries
  std::vector<LONGLONG> tail;  // the last entries
};

TEST_F(StandardVideoTest, FrameRateListFromTheSignalTheBoardAndTheSwitches) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_N));
  HANDLE f = OpenVideo(0, 0);
  ASSERT_NE(d->m_pBoardState, nullptr);
  // name, rate, interleaved, width, height, standard, locked, fractional, vaplet, flexible, pexton,
  // subsystem byte, count, first entries, last entries
  const RateCase cases[] = {
      {"1080p60 halved", 60, 0, 1920, 1080, 0, 0, 0, 0, 0, 0, 0, 30, {9666666, 9333333}, {333333, 166666}},
      {"1080p30", 30, 0, 1920, 1080, 0, 0, 0, 0, 0, 0, 0, 30, {10000000, 9666666}, {666666, 333333}},
      {"50 fields", 50, 1, 1920, 540, 0, 0, 0, 0, 0, 0, 0, 25, {10000000, 9600000}, {400000}},
      {"25 interlaced", 25, 1, 720, 288, 0, 0, 0, 0, 0, 0, 0, 13, {10400000}, {800000}},
      {"no signal 625", 0, 0, 0, 0, KS_AnalogVideo_PAL_B, 0, 0, 0, 0, 0, 0, 25, {10000000}, {400000}},
      {"no signal 525", 0, 0, 0, 0, KS_AnalogVideo_NTSC_M, 0, 0, 0, 0, 0, 0, 30, {10010010}, {333667}},
      {"both classes: 625 wins",
       0,
       0,
       0,
       0,
       KS_AnalogVideo_NTSC_M | KS_AnalogVideo_PAL_B,
       0,
       0,
       0,
       0,
       0,
       0,
       25,
       {10000000},
       {}},
      {"fractional 720p60", 60, 0, 1280, 720, 0, 1, 1, 0, 0, 0, 0, 60, {10010010}, {166833}},
      {"fraction only while locked", 60, 0, 1280, 720, 0, 0, 1, 0, 0, 0, 0, 60, {}, {166666}},
      {"vaplet", 30, 0, 1920, 1080, 0, 0, 0, 1, 0, 0, 0, 1, {333333}, {}},
      {"flexible", 30, 0, 1920, 1080, 0, 0, 0, 0, 1, 0, 0, 30, {10000000, 5000000}, {333333}},
      {"L: never halved", 60, 0, 1920, 1080, 0, 0, 0, 0, 0, 0, 0xA0, 60, {}, {166666}},
      {"L with the switch", 60, 0, 1920, 1080, 0, 0, 0, 0, 0, 1, 0xA0, 30, {}, {166666}},
      {"L with the switch at 30", 30, 0, 3840, 2160, 0, 0, 0, 0, 0, 1, 0xA0, 30, {}, {333333}},
      {"M fixed-rate model", 60, 0, 1920, 1080, 0, 0, 0, 0, 0, 0, 0xB3, 60, {}, {}},
      {"M other model", 60, 0, 1920, 1080, 0, 0, 0, 0, 0, 0, 0xBC, 30, {}, {}},
      {"standard 0, no signal: empty", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, {}, {}},
  };
  PCI_IDENTITY* own = d->m_pPciIdentity;
  for (const RateCase& c : cases) {
    SCOPED_TRACE(c.name);
    PCI_IDENTITY other{};
    if (c.subsystemLow) {
      BoardKindIdentity((c.subsystemLow >> 4) == 0xA ? BOARD_KIND_L : BOARD_KIND_M, &other);
      other.nSubsystemVendorIdLow = c.subsystemLow;
      d->m_pPciIdentity = &other;
    }
    d->m_nAnalogVideoFrameRate = c.rate;
    d->m_nAnalogVideoInterleaved = c.interleaved;
    d->m_nAnalogVideoResolution = c.width << 16 | c.height;
    d->m_nAnalogVideoDecoderStandard = c.standard;
    d->m_nAnalogVideoDecoderStatus = c.status;
    d->m_pBoardState->bSignalFractional = c.fractional;
    d->m_nCompanyVaplet = c.vaplet;
    d->m_nAnalogVideoFlexibleFpsPatch = c.flexible;
    d->m_nCompanyPexton = c.pexton;

    KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S request{};
    const ULONG size = 8 + 8 * c.count;
    ULONG returned = 0;
    // The size query.
    EXPECT_EQ(
        client.Property({f}, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, KSPROPERTY_TYPE_GET,
                        reinterpret_cast<uint8_t*>(&request) + 24, 16, nullptr, 0, &returned),
        STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, size);
    // A buffer one byte short gets the size and nothing else.
    std::vector<uint8_t> bytes(size + 64, 0xAB);
    EXPECT_EQ(
        client.Property({f}, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, KSPROPERTY_TYPE_GET,
                        reinterpret_cast<uint8_t*>(&request) + 24, 16, bytes.data(), size - 1, &returned),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(bytes, std::vector<uint8_t>(size + 64, 0xAB));
    // The list, and nothing past it.
    ASSERT_EQ(
        client.Property({f}, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, KSPROPERTY_TYPE_GET,
                        reinterpret_cast<uint8_t*>(&request) + 24, 16, bytes.data(), size + 64, &returned),
        STATUS_SUCCESS);
    EXPECT_EQ(returned, size);
    KSMULTIPLE_ITEM head;
    std::memcpy(&head, bytes.data(), 8);
    EXPECT_EQ(head.Size, size);
    ASSERT_EQ(head.Count, c.count);
    std::vector<LONGLONG> list(c.count);
    if (c.count) std::memcpy(list.data(), bytes.data() + 8, 8 * c.count);
    for (size_t i = 0; i < c.head.size(); i++) EXPECT_EQ(list[i], c.head[i]) << "entry " << i;
    for (size_t i = 0; i < c.tail.size(); i++)
      EXPECT_EQ(list[c.count - c.tail.size() + i], c.tail[i]) << "entry " << c.count - c.tail.size() + i;
    for (size_t i = 1; i < list.size(); i++) EXPECT_GE(list[i - 1], list[i]) << "longest interval first";
    EXPECT_EQ(bytes[size], 0xAB);
    d->m_pPciIdentity = own;
  }
}

// ---- video decoder ----------------------------------------------------------------------------------

TEST_F(StandardVideoTest, DecoderCapsStandardRestrictionsAndStatus) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_N));
  HANDLE f = OpenVideo(0, 0);
  PCI_IDENTITY* own = d->m_pPciIdentity;
  PCI_IDENTITY kindR = Kind(BOARD_KIND_R);
  struct Restriction {
    const char* name;
    bool r;
    ULONG ntscOnly, palOnly;
    ULONG supported;
    // STANDARD sets: value -> status, stored
    std::vector<std::tuple<ULONG, NTSTATUS, ULONG>> sets;
  };
  const Restriction cases[] = {
      {"any",
       false,
       0,
       0,
       0x1FFFF7,
       {{0x10, STATUS_SUCCESS, 0x10}, {0x1, STATUS_SUCCESS, 0x1}, {0, STATUS_SUCCESS, 0}, {0x8, STATUS_SUCCESS, 0x8}}},
      {"R",
       true,
       0,
       0,
       0x1FF5F0,
       {{0x1, STATUS_INVALID_PARAMETER, 0x99}, {0, STATUS_SUCCESS, 0x10}, {0x20, STATUS_SUCCESS, 0x20}}},
      {"NTSC only", false, 1, 0, 0xA07, {{0x10, STATUS_INVALID_PARAMETER, 0x99}, {0, STATUS_SUCCESS, 0x1}}},
      {"PAL only", false, 0, 1, 0x1FF5F0, {{0x200, STATUS_INVALID_PARAMETER, 0x99}, {0, STATUS_SUCCESS, 0x10}}},
      // NTSC-only turns 0 into NTSC M, which PAL-only then refuses.
      {"both switches: PAL wins the caps", false, 1, 1, 0x1FF5F0, {{0, STATUS_INVALID_PARAMETER, 0x99}}},
  };
  for (const Restriction& c : cases) {
    SCOPED_TRACE(c.name);
    d->m_pPciIdentity = c.r ? &kindR : own;
    d->m_nAnalogVideoDecoderStandardNtscOnly = c.ntscOnly;
    d->m_nAnalogVideoDecoderStandardPalOnly = c.palOnly;
    KSPROPERTY_VIDEODECODER_CAPS_S caps{};
    ASSERT_EQ(Get(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.StandardsSupported, c.supported);
    EXPECT_EQ(caps.Capabilities, 4u);
    EXPECT_EQ(caps.SettlingTime, 10u);
    EXPECT_EQ(caps.HSyncPerVSync, 6u);
    for (auto [value, status, stored] : c.sets) {
      d->m_nAnalogVideoDecoderStandard = 0x99;
      KSPROPERTY_VIDEODECODER_S v{};
      v.Value = value;
      EXPECT_EQ(Set(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &v), status) << value;
      EXPECT_EQ(d->m_nAnalogVideoDecoderStandard, stored) << value;
    }
  }
  d->m_pPciIdentity = own;
  d->m_nAnalogVideoDecoderStandardNtscOnly = d->m_nAnalogVideoDecoderStandardPalOnly = 0;

  d->m_nAnalogVideoDecoderStatus = 1;
  for (auto [standard, lines] : {std::pair<ULONG, ULONG>{0x1, 525},
                                 {0x2, 525},
                                 {0x800, 525},
                                 {0x200, 525},
                                 {0x10, 625},
                                 {0x400, 625},
                                 {0x40000, 625},
                                 {0x100000, 625},
                                 {0x11, 0},
                                 {0, 0},
                                 {0x8, 0},
                                 {0x200000, 0}}) {
    d->m_nAnalogVideoDecoderStandard = standard;
    KSPROPERTY_VIDEODECODER_STATUS_S s{};
    NTSTATUS status = Get(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS, &s);
    if (lines == 0) {
      EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << standard;
      continue;
    }
    EXPECT_EQ(status, STATUS_SUCCESS) << standard;
    EXPECT_EQ(s.NumberOfLines, lines) << standard;
    EXPECT_EQ(s.SignalLocked, 1u);
  }

  // Output enable and VCR timing: stored and returned as they come.
  for (ULONG id : {KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, KSPROPERTY_VIDEODECODER_VCR_TIMING}) {
    KSPROPERTY_VIDEODECODER_S v{};
    v.Value = 0x88000005;
    ASSERT_EQ(Set(f, PROPSETID_VIDCAP_VIDEODECODER, id, &v), STATUS_SUCCESS);
    v.Value = 0;
    ASSERT_EQ(Get(f, PROPSETID_VIDCAP_VIDEODECODER, id, &v), STATUS_SUCCESS);
    EXPECT_EQ(v.Value, 0x88000005u);
  }
  EXPECT_EQ(d->m_nAnalogVideoDecoderOutputEnable, 0x88000005u);
  EXPECT_EQ(d->m_nAnalogVideoDecoderVCRTiming, 0x88000005u);
}

// On a BOARD_KIND_H card (the encoder board's variants, YV12 704 wide, without its
// monitor writing the standard as it follows the signal).
TEST_F(StandardVideoTest, StandardRewritesPinZerosRangesForEveryFilterOfTheList) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_H));
  HANDLE f = OpenVideo(0, 0);
  HANDLE other = OpenVideo(4, 0);
  const size_t listed = PinRanges(f).size();
  KSPROPERTY_VIDEODECODER_S v{};
  v.Value = KS_AnalogVideo_PAL_B;
  ASSERT_EQ(Set(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &v), STATUS_SUCCESS);
  auto ranges = PinRanges(other);  // the list is shared: the other filter sees it
  ASSERT_EQ(ranges.size(), listed);
  EXPECT_EQ(Describe(ranges[0]), "YV12 704x576 std 1FF5F0");
  EXPECT_EQ(Describe(ranges[1]), "YV12 704x480 std A07");
  EXPECT_EQ(ranges[0].VideoInfoHeader.AvgTimePerFrame, 200000);
  v.Value = KS_AnalogVideo_NTSC_M;
  ASSERT_EQ(Set(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &v), STATUS_SUCCESS);
  ranges = PinRanges(f);
  EXPECT_EQ(Describe(ranges[0]), "YV12 704x480 std A07");
  EXPECT_EQ(Describe(ranges[1]), "YV12 704x576 std 1FF5F0");
  EXPECT_EQ(ranges[0].VideoInfoHeader.AvgTimePerFrame, 166833);
  // A query rewrites too.
  d->m_nAnalogVideoDecoderStandard = KS_AnalogVideo_SECAM_L;
  v.Value = 0;
  ASSERT_EQ(Get(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &v), STATUS_SUCCESS);
  EXPECT_EQ(v.Value, (ULONG)KS_AnalogVideo_SECAM_L);
  EXPECT_EQ(Describe(PinRanges(f)[0]), "YV12 704x576 std 1FF5F0");
  // A standard in neither class leaves the entries.
  v.Value = 0x8;
  ASSERT_EQ(Set(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &v), STATUS_SUCCESS);
  EXPECT_EQ(Describe(PinRanges(f)[0]), "YV12 704x576 std 1FF5F0");
  // The templates themselves were never written: each filter edited its own copies.
  EXPECT_EQ(VideoCapturePinDescriptor.PinDescriptor.DataRangesCount, listed);
}

TEST_F(StandardVideoTest, RangeRewriteStopsWhenAnEditFails) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_H));
  const KSDATARANGE* first = VideoCapturePinDescriptor.PinDescriptor.DataRanges[0];
  for (int failing : {1, 2}) {
    SCOPED_TRACE(failing);
    HANDLE f = OpenVideo(0, 0);
    ks::FailNthKsEdit(failing, MakePoolTag("Vamp"));
    KSPROPERTY_VIDEODECODER_S v{};
    v.Value = KS_AnalogVideo_PAL_B;
    EXPECT_EQ(Set(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &v), STATUS_SUCCESS);
    EXPECT_EQ(d->m_nAnalogVideoDecoderStandard, (ULONG)KS_AnalogVideo_PAL_B);
    EXPECT_EQ(VideoCapturePinDescriptor.PinDescriptor.DataRanges[0], first);
    ks::ClearKsFaults();
    CloseFilter(f);
  }
}

TEST_F(StandardVideoTest, SevenEntryBoardsTakeTheStandardsVariantEverywhere) {
  StartBoard(Kind(BOARD_KIND_I));
  HANDLE f = OpenVideo(0, 0);
  ASSERT_EQ(Describe(PinRanges(f)[0]), "YUY2 720x480 std A07");
  KSPROPERTY_VIDEODECODER_S v{};
  v.Value = KS_AnalogVideo_PAL_I;
  ASSERT_EQ(Set(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &v), STATUS_SUCCESS);
  std::vector<std::string> got;
  for (const auto& r : PinRanges(f)) got.push_back(Describe(r));
  EXPECT_EQ(got,
            (std::vector<std::string>{"YUY2 720x576 std 1FF5F0", "YUY2 704x576 std 1FF5F0", "YUY2 640x576 std 1FF5F0",
                                      "YUY2 360x288 std 1FF5F0", "YUY2 352x288 std 1FF5F0", "YUY2 320x288 std 1FF5F0",
                                      "YUY2 256x288 std 1FF5F0"}));
}

TEST_F(StandardVideoTest, RangeCountBoardsListTenOrFiftyEight) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_D), {{u"CustomCloneFiltersProperty", 3}});
  HANDLE f = OpenVideo(0, 0);
  KSPROPERTY_VIDEODECODER_S v{};
  d->m_nAnalogVideoUStreamPatch = 1;
  ASSERT_EQ(Get(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &v), STATUS_SUCCESS);
  EXPECT_EQ(PinRanges(f).size(), 10u);
  d->m_nAnalogVideoUStreamPatch = 0;
  ASSERT_EQ(Get(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &v), STATUS_SUCCESS);
  EXPECT_EQ(PinRanges(f).size(), 58u);
}

// ---- video compression and dropped frames -----------------------------------------------------------------

TEST_F(StandardVideoTest, CompressionServesH264FiltersByTheirChannelIndex) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_ENCODER));
  HANDLE main1 = OpenVideo(4, 1), sub1 = OpenVideo(8, 1), raw = OpenVideo(0, 1);

  KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S info;
  std::memset(&info, 0x5A, sizeof(info));
  ASSERT_EQ(Get(main1, PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_GETINFO, &info), STATUS_SUCCESS);
  EXPECT_EQ(info.DefaultKeyFrameRate, 15);
  EXPECT_EQ(info.DefaultPFrameRate, 3);
  EXPECT_EQ(info.DefaultQuality, 5000);
  EXPECT_EQ(info.Capabilities, 5);
  EXPECT_EQ(info.NumberOfQualitySettings, 0x5A5A5A5A);  // the caller's own bytes

  struct Case {
    HANDLE filter;
    ULONG index;
  };
  for (Case c : {Case{main1, 1}, Case{sub1, 5}}) {
    SCOPED_TRACE(c.index);
    KSPROPERTY_VIDEOCOMPRESSION_S v{};
    for (ULONG id = 1; id <= 3; id++) {
      v.Value = 30 + (LONG)id;
      ASSERT_EQ(Set(c.filter, PROPSETID_VIDCAP_VIDEOCOMPRESSION, id, &v), STATUS_SUCCESS);
    }
    EXPECT_EQ(d->m_nAnalogVideoCompressionKeyframeRate[c.index], 31u | 0x08000000u);
    EXPECT_EQ(d->m_nAnalogVideoCompressionPfrmesPerKeyframe[c.index], 32u | 0x08000000u);
    EXPECT_EQ(d->m_nAnalogVideoCompressionQuality[c.index], 33u | 0x08000000u);
    v.Value = 0;
    ASSERT_EQ(Get(c.filter, PROPSETID_VIDCAP_VIDEOCOMPRESSION, 1, &v), STATUS_SUCCESS);
    EXPECT_EQ(v.Value, 31);
    // A key-frame rate of 0 is a key-frame request; the rate stays.
    v.Value = 0;
    ASSERT_EQ(Set(c.filter, PROPSETID_VIDCAP_VIDEOCOMPRESSION, 1, &v), STATUS_SUCCESS);
    EXPECT_EQ(d->m_nAnalogVideoCompressionOverrideKeyframe[c.index], 1u);
    EXPECT_EQ(d->m_nAnalogVideoCompressionKeyframeRate[c.index], 31u | 0x08000000u);
    // A pending request stays as it is; the value of the override is ignored.
    d->m_nAnalogVideoCompressionOverrideKeyframe[c.index] = 2;
    v.Value = 9;
    ASSERT_EQ(Set(c.filter, PROPSETID_VIDCAP_VIDEOCOMPRESSION, 4, &v), STATUS_SUCCESS);
    EXPECT_EQ(d->m_nAnalogVideoCompressionOverrideKeyframe[c.index], 2u);
    EXPECT_EQ(Get(c.filter, PROPSETID_VIDCAP_VIDEOCOMPRESSION, 5, &v), STATUS_NOT_SUPPORTED);
  }

  // A raw-video filter: success, nothing written either way.
  std::vector<ULONG> before(d->m_nAnalogVideoCompressionKeyframeRate, d->m_nAnalogVideoCompressionKeyframeRate + 32);
  KSPROPERTY_VIDEOCOMPRESSION_S v;
  std::memset(&v, 0x5A, sizeof(v));
  EXPECT_EQ(Get(raw, PROPSETID_VIDCAP_VIDEOCOMPRESSION, 1, &v), STATUS_SUCCESS);
  EXPECT_EQ(v.Value, 0x5A5A5A5A);
  v.Value = 44;
  EXPECT_EQ(Set(raw, PROPSETID_VIDCAP_VIDEOCOMPRESSION, 1, &v), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(d->m_nAnalogVideoCompressionKeyframeRate, d->m_nAnalogVideoCompressionKeyframeRate + 32),
            before);

  // An index beyond the 32-entry arrays is refused.
  HANDLE far = OpenVideo(8, 28);
  v.Value = 12;
  EXPECT_EQ(Set(far, PROPSETID_VIDCAP_VIDEOCOMPRESSION, 1, &v), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(std::vector<ULONG>(d->m_nAnalogVideoCompressionKeyframeRate, d->m_nAnalogVideoCompressionKeyframeRate + 32),
            before);
}

TEST_F(StandardVideoTest, CapturePinAnswersDroppedFramesAndCompressionOfItsFilter) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_ENCODER));
  HANDLE f = OpenVideo(4, 0);
  HANDLE pin = CreateCapturePin(f);
  g_pinContext.nPictureNumber = 1234;
  g_pinContext.nDropCount = 0;
  g_pinContext.nFrameBytes = 704 * 480 * 12 / 8;
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S frames;
  std::memset(&frames, 0x77, sizeof(frames));
  ASSERT_EQ(Get(pin, PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, &frames), STATUS_SUCCESS);
  EXPECT_EQ(frames.PictureNumber, 1234);
  EXPECT_EQ(frames.DropCount, 0);
  EXPECT_EQ(frames.AverageFrameSize, 506880u);

  KSPROPERTY_VIDEOCOMPRESSION_S v{};
  v.Value = 3;
  ASSERT_EQ(Set(pin, PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_QUALITY, &v), STATUS_SUCCESS);
  EXPECT_EQ(d->m_nAnalogVideoCompressionQuality[0], 3u | 0x08000000u);
}

}  // namespace
}  // namespace props_test

namespace props_test {
namespace {

// Stop frees the identity record and the board state while a filter stays open: the
// handlers read neither afterwards (run under AddressSanitizer to see it).
TEST_F(StandardVideoTest, RequestsAfterStopReadNoFreedState) {
  CDevice* d = StartBoard(Kind(BOARD_KIND_ENCODER));
  HANDLE f = OpenVideo(4, 0);
  const KSDATARANGE* first = VideoCapturePinDescriptor.PinDescriptor.DataRanges[0];
  ReleaseMonitors();  // the stop ends the monitor itself
  ASSERT_EQ(harness->StopDevice(harness->DeviceCount() - 1), STATUS_SUCCESS);
  ASSERT_EQ(d->m_pPciIdentity, nullptr);
  ASSERT_EQ(d->m_pBoardState, nullptr);
  // Set once the monitor thread, which follows the signal into these, has stopped.
  d->m_nAnalogVideoFrameRate = 60;
  d->m_nAnalogVideoResolution = 1920 << 16 | 1080;
  d->m_nAnalogVideoDecoderStatus = 1;

  std::vector<uint8_t> list(8 + 8 * 64);
  KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S request{};
  ULONG returned = 0;
  EXPECT_EQ(
      client.Property({f}, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, KSPROPERTY_TYPE_GET,
                      reinterpret_cast<uint8_t*>(&request) + 24, 16, list.data(), (ULONG)list.size(), &returned),
      STATUS_SUCCESS);
  EXPECT_EQ(returned, 8u + 8 * 30);  // halved by the pixel rule; no fraction without the state
  KSPROPERTY_VIDEODECODER_CAPS_S caps{};
  EXPECT_EQ(Get(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.StandardsSupported, 0x1FFFF7u);
  KSPROPERTY_VIDEODECODER_S v{};
  v.Value = KS_AnalogVideo_PAL_B;
  EXPECT_EQ(Set(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &v), STATUS_SUCCESS);
  EXPECT_EQ(d->m_nAnalogVideoDecoderStandard, (ULONG)KS_AnalogVideo_PAL_B);
  EXPECT_EQ(VideoCapturePinDescriptor.PinDescriptor.DataRanges[0], first);  // no board: no rewrite
}

}  // namespace
}  // namespace props_test
