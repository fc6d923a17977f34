// Device start through the Plug and Play harness: which filters a card gets by kind,
// variant and switches, the board-kind template edits (cumulative across cards), a start
// failing at each step with nothing left, and stop and start again.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/core/board_kinds.h"
#include "tests/support/board_identity.h"
#include "driver/core/device.h"
#include "driver/core/device_start.h"
#include "driver/core/driver_entry.h"
#include "driver/streaming/templates.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/ks/host.h"
#include "platform/pci/host.h"

namespace {

namespace pk = platform::kernel;
namespace pci = platform::pci;
namespace ks = platform::ks;
using ks::GuidText;

using test_support::Setting;

class DeviceStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    pk::RegistryReset();
    pci::Reset();
    ks::ClearKsFaults();
    harness = std::make_unique<ks::PnpHarness>(DriverEntry);
    ASSERT_EQ(harness->Load(), STATUS_SUCCESS);
  }
  void TearDown() override {
    ks::ClearKsFaults();
    pk::ClearPoolFaults();
    EXPECT_EQ(harness->Unload(), STATUS_SUCCESS);  // no pool left
    harness.reset();
    for (auto* s : slots) pci::Unplug(s);
    EXPECT_TRUE(pci::CurrentAccounting().empty());
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
    pci::Reset();
  }
  // Plugs a board in, adds it and writes its settings; returns its index.
  size_t Plug(const PCI_IDENTITY& id, std::vector<Setting> settings = {}) {
    boards.push_back(
        std::make_unique<platform::board::GenericBoard>(platform::board::IdentityFrom(id), 0x10000, 0x400000));
    slots.push_back(pci::PlugIn(*boards.back()));
    resources.push_back(pci::TranslatedResources(*slots.back()));
    size_t index = 0;
    EXPECT_EQ(harness->AddDevice(pci::BusData, slots.back(), &index), STATUS_SUCCESS);
    std::u16string key = pk::RegistryDriverKeyPath(harness->Device(index)->PhysicalDeviceObject->HostInstance);
    pk::RegistryCreateKey(key);
    for (const Setting& s : settings) pk::RegistrySetDword(key, s.name, s.value);
    return index;
  }
  NTSTATUS Start(size_t index) { return harness->StartDevice(index, resources[index].get(), resources[index].get()); }
  std::vector<std::string> References(size_t index) {
    std::vector<std::string> refs;
    for (const auto& f : ks::FactoriesOf(harness->Device(index)))
      refs.push_back(std::string(f.ReferenceString.begin(), f.ReferenceString.end()));
    return refs;
  }

  std::unique_ptr<ks::PnpHarness> harness;
  std::vector<std::unique_ptr<platform::board::GenericBoard>> boards;
  std::vector<pci::Slot*> slots;
  std::vector<pci::ResourceList> resources;
  ks::KsClient client;
};

using test_support::Kind;
using test_support::Variant;
// The variant's subsystem bytes on the first pair of `kind` (a variant listed for several kinds).
PCI_IDENTITY Variant(BoardVariant v, BoardKind kind) {
  PCI_IDENTITY id = Variant(v);
  id.nDeviceId = Kind(kind).nDeviceId;
  return id;
}
PCI_IDENTITY WithDevice(PCI_IDENTITY id, USHORT deviceId) {
  id.nDeviceId = deviceId;
  return id;
}
PCI_IDENTITY WithBytes(PCI_IDENTITY id, UCHAR low, UCHAR high) {
  id.nSubsystemVendorIdLow = low;
  id.nSubsystemVendorIdHigh = high;
  return id;
}
std::string V(int channel) { return GuidText(VideoChannelGuids[channel]); }
std::string A(int channel) { return GuidText(AudioChannelGuids[channel]); }
std::string T(UCHAR type) { return GuidText(TemplateReferenceGuid(type)); }
std::vector<std::string> Video(int count) {
  std::vector<std::string> refs;
  for (int c = 0; c < count; c++) refs.push_back(V(c));
  return refs;
}
std::vector<std::string> Audio(int count) {
  std::vector<std::string> refs;
  for (int c = 0; c < count; c++) refs.push_back(A(c));
  return refs;
}
std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(DeviceStartTest, FiltersByKindVariantAndSwitches) {
  struct Case {
    const char* name;
    PCI_IDENTITY id;
    std::vector<Setting> settings;
    std::vector<std::string> refs;  // in creation order
    NTSTATUS status = STATUS_SUCCESS;
  };
  const std::string v1 = V(0), a1 = A(0);
  const std::string vv1 = GuidText(VirtualCaptureGuids[0]), va1 = GuidText(VirtualCaptureGuids[4]);
  const Case cases[] = {
      {"encoder", Kind(BOARD_KIND_ENCODER), {}, {v1, a1}},
      {"encoder, virtual", Kind(BOARD_KIND_ENCODER), {{u"CustomVirtualCaptureDeviceProperty", 1}}, {v1, vv1, a1, va1}},
      {"encoder, crossbar", Kind(BOARD_KIND_ENCODER), {{u"CustomCrossbarEnableProperty", 1}}, {v1, a1, T(0x04)}},
      {"encoder, no audio", Kind(BOARD_KIND_ENCODER), {{u"CustomCompanyMarplinProperty", 1}}, {v1}},
      {"A", Kind(BOARD_KIND_A), {}, {v1}},
      {"B", Kind(BOARD_KIND_B), {}, {a1}},
      {"C no frame buffer: no audio",
       Variant(BOARD_VARIANT_NO_FRAME_BUFFER),
       {},
       {V(0), V(1), V(2), V(3), V(4), V(5), V(6), V(7)}},
      {"C four channels", Variant(BOARD_VARIANT_C_FOUR_CHANNEL), {}, {V(0), V(1), V(2), V(3), A(0), A(1), A(2), A(3)}},
      {"D clones 3", Kind(BOARD_KIND_D), {{u"CustomCloneFiltersProperty", 3}}, {V(0), V(1), V(2), A(0), A(1), A(2)}},
      {"D clones 9",
       Kind(BOARD_KIND_D),
       {{u"CustomCloneFiltersProperty", 9}},
       {V(0), V(1), V(2), V(3), A(0), A(1), A(2), A(3)}},
      {"D never bounce",
       Variant(BOARD_VARIANT_D_NEVER_BOUNCE),
       {{u"CustomCloneFiltersProperty", 3}},
       {},
       STATUS_UNSUCCESSFUL},
      {"F five", Variant(BOARD_VARIANT_F_FIVE_CHANNEL), {}, {V(0), V(1), V(2), V(3), V(4), A(0), A(1), A(2), A(3)}},
      {"I: templates, crossbar", Kind(BOARD_KIND_I), {}, {T(0x02), T(0x03), T(0x04)}},
      {"N: tuner front end", Kind(BOARD_KIND_N), {}, {T(0x02), T(0x03), T(0x04), T(0x05), T(0x06)}},
      {"N without audio", Variant(BOARD_VARIANT_N_NO_AUDIO), {}, {T(0x02), T(0x04), T(0x05), T(0x06)}},
      {"Q", Kind(BOARD_KIND_Q), {}, {}, STATUS_UNSUCCESSFUL},
      // Rows that tell identities and subsystem classes of one kind apart.
      {"B no frame buffer: no audio",
       Variant(BOARD_VARIANT_NO_FRAME_BUFFER, BOARD_KIND_B),
       {},
       {},
       STATUS_UNSUCCESSFUL},
      {"C, another identity, four-channel bytes: eight",
       WithDevice(Variant(BOARD_VARIANT_C_FOUR_CHANNEL), 0x0C01),
       {},
       {V(0), V(1), V(2), V(3), V(4), V(5), V(6), V(7), A(0), A(1), A(2), A(3), A(4), A(5), A(6), A(7)}},
      {"E first identity", Kind(BOARD_KIND_E), {}, {V(0), V(1), V(2), V(3), A(0), A(1), A(2), A(3)}},
      {"E second identity: no audio", Variant(BOARD_VARIANT_E_SECOND), {}, {V(0), V(1), V(2), V(3)}},
      {"E second identity, tuner bit 1",
       Variant(BOARD_VARIANT_E_SECOND),
       {{u"CustomSiliconTunerTypeProperty", 0x02}},
       Concat({V(0), V(1), V(2), V(3)}, Audio(16))},
      {"E second identity, tuner bits 1 and 5",
       Variant(BOARD_VARIANT_E_SECOND),
       {{u"CustomSiliconTunerTypeProperty", 0x22}},
       {V(0), V(1), V(2), V(3), A(0), A(1), A(2), A(3)}},
      {"E first identity, tuner bit 1: unchanged",
       Kind(BOARD_KIND_E),
       {{u"CustomSiliconTunerTypeProperty", 0x02}},
       {V(0), V(1), V(2), V(3), A(0), A(1), A(2), A(3)}},
      {"F single input", Variant(BOARD_VARIANT_F_SINGLE_INPUT), {}, {V(0), A(0)}},
      {"F single input, second class, clones 3",
       WithBytes(Kind(BOARD_KIND_F), 0x00, 0x72),
       {{u"CustomCloneFiltersProperty", 3}},
       {V(0), V(1), V(2), A(0), A(1), A(2)}},
      {"F, clones 2", Kind(BOARD_KIND_F), {{u"CustomCloneFiltersProperty", 2}}, Concat(Video(8), Audio(8))},
      {"G class 1", Kind(BOARD_KIND_G), {}, Concat(Video(8), Audio(8))},
      {"G class 1, four channels",
       Variant(BOARD_VARIANT_G_CLASS1_FOUR_CHANNEL),
       {},
       {V(0), V(1), V(2), V(3), A(0), A(1), A(2), A(3)}},
      {"G class 2, clones 7",
       Variant(BOARD_VARIANT_G_CLASS2),
       {{u"CustomCloneFiltersProperty", 7}},
       Concat(Video(4), Audio(4))},
      {"G tiny, one-stream identity: no audio", Variant(BOARD_VARIANT_G_CLASS2_TINY), {}, {V(0)}},
      {"G tiny, first three-stream identity: no audio",
       WithDevice(Variant(BOARD_VARIANT_G_CLASS2_TINY), Variant(BOARD_VARIANT_G_THREE_STREAM).nDeviceId),
       {},
       {V(0)}},
      {"G tiny, second three-stream identity: audio",
       WithDevice(Variant(BOARD_VARIANT_G_CLASS2_TINY), Variant(BOARD_VARIANT_G_TINY_KEEPS_AUDIO).nDeviceId),
       {},
       {V(0), A(0)}},
      {"H", Kind(BOARD_KIND_H), {}, {V(0), V(1), V(2), V(3), A(0), A(1), A(2), A(3)}},
      {"H eight", Variant(BOARD_VARIANT_H_EIGHT_CHANNEL), {}, Concat(Video(8), Audio(8))},
      {"J: templates, crossbar", Kind(BOARD_KIND_J), {}, {T(0x02), T(0x03), T(0x04)}},
      {"K", Kind(BOARD_KIND_K), {}, {v1, a1}},
      {"P", Kind(BOARD_KIND_P), {{u"CustomCloneFiltersProperty", 3}}, {v1, a1}},
      {"P clone-following, clones 3",
       Variant(BOARD_VARIANT_P_CLONE_FOLLOWING),
       {{u"CustomCloneFiltersProperty", 3}},
       {V(0), V(1), V(2), A(0), A(1), A(2)}},
      {"P without audio", Variant(BOARD_VARIANT_P_NO_AUDIO), {}, {v1}},
      {"an unknown identity", WithDevice(Kind(BOARD_KIND_A), 0x0999), {}, {}, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetDeviceStartCounters();
    size_t index = Plug(c.id, c.settings);
    EXPECT_EQ(Start(index), c.status);
    EXPECT_EQ(References(index), c.refs);
    harness->RemoveDevice(index);
  }
}

TEST_F(DeviceStartTest, ChannelsContinueAcrossCardsAndRestartsAndShowThroughTheClient) {
  size_t c0 = Plug(Kind(BOARD_KIND_C)), c1 = Plug(Kind(BOARD_KIND_C));
  ASSERT_EQ(Start(c0), STATUS_SUCCESS);
  ASSERT_EQ(Start(c1), STATUS_SUCCESS);
  EXPECT_EQ(References(c0).front(), V(0));
  EXPECT_EQ(References(c1).front(), V(8));
  EXPECT_EQ(References(c1)[8], A(8));
  auto video = client.ListFilters(KSCATEGORY_VIDEO);
  ASSERT_EQ(video.size(), 16u);
  EXPECT_EQ(GuidText(video[15].ReferenceGuid), V(15));
  EXPECT_EQ(video[15].Descriptor, &VideoFilterCopies[15]);
  EXPECT_EQ(client.ListFilters(KSCATEGORY_AUDIO).size(), 16u);
  EXPECT_EQ(client.ListFilters(KSCATEGORY_CAPTURE).size(), 32u);
  CDevice* d1 = DeviceOf(harness->Device(c1));
  EXPECT_EQ(d1->m_nDeviceInstanceNumber, 1u);
  EXPECT_EQ(d1->m_nMediumId, (ULONG)(ULONG_PTR)harness->Device(c1)->FunctionalDeviceObject);

  // Stop and start again: the factories go and come back with new numbers.
  ASSERT_EQ(harness->StopDevice(c0), STATUS_SUCCESS);
  EXPECT_TRUE(References(c0).empty());
  EXPECT_EQ(DeviceOf(harness->Device(c0))->m_pBoardState, nullptr);
  ASSERT_EQ(Start(c0), STATUS_SUCCESS);
  EXPECT_EQ(References(c0).front(), V(16));
  EXPECT_EQ(DeviceOf(harness->Device(c0))->m_nDeviceInstance, 2u);
  EXPECT_EQ(NextVideoChannel, 24u);
}

// What a start finds left by the last run (or by nothing) and clears, record by record; a
// stop and a new start clear them again.
TEST_F(DeviceStartTest, StartClearsTheRunTimeRecords) {
  size_t index = Plug(Kind(BOARD_KIND_A));
  CDevice* d = DeviceOf(harness->Device(index));
  auto scribble = [d] {
    d->m_nDigitalCaptureStreamReference = 3;
    d->m_nDigitalCaptureStreamPowerReference = 3;
    d->m_nWatchdogControl = 0x80000001;
    d->m_nBoardIndex = 7;
    d->m_bMonitorThreadStop = 0;
    d->m_bFrameClockStop[0] = d->m_bFrameClockStop[1] = 0;
    std::memset(d->m_pVideoPin, 0x5A, sizeof d->m_pVideoPin);
    std::memset(d->m_pEncoderPin, 0x5A, sizeof d->m_pEncoderPin);
    std::memset(d->m_szOsdText, 'x', sizeof d->m_szOsdText);
    std::memset(d->m_bOsdTextChanged, 1, sizeof d->m_bOsdTextChanged);
    std::memset(d->m_nOsdTextSlot, 0x0F, sizeof d->m_nOsdTextSlot);
    std::memset(d->m_nOsdPictureSlot, 0x03, sizeof d->m_nOsdPictureSlot);
    std::memset(d->m_nOsdTextParam, 0x11, sizeof d->m_nOsdTextParam);
    std::memset(d->m_aOsdPicture, 0x22, sizeof d->m_aOsdPicture);
    std::memset(d->m_szOsdPicture, 'y', sizeof d->m_szOsdPicture);
    std::memset(d->m_bOsdPictureChanged, 1, sizeof d->m_bOsdPictureChanged);
    std::memset(d->m_aChannelAuxRecord, 0x33, sizeof d->m_aChannelAuxRecord);
    std::memset(d->m_aChannelStatus, 0x44, sizeof d->m_aChannelStatus);
    std::memset(d->m_nDeinterlaceRingIndex, 0x55, sizeof d->m_nDeinterlaceRingIndex);
    d->m_DeinterlaceRing[3][63].bValid = 1;
    d->m_DeinterlaceOutput[3][15].pBuffer = reinterpret_cast<PUCHAR>(d);
    std::memset(d->m_nDebugStatus, 0x66, sizeof d->m_nDebugStatus);
    d->m_nDebugOptions = 0x77;
    std::memset(d->m_aDebugAddress, 0x88, sizeof d->m_aDebugAddress);
  };
  auto bytesAre = [](const void* p, size_t size, int value) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < size; i++)
      if (b[i] != value) return false;
    return true;
  };
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round ? "started again" : "first start");
    if (round) {
      ASSERT_EQ(harness->StopDevice(index), STATUS_SUCCESS);
    }
    scribble();
    ASSERT_EQ(Start(index), STATUS_SUCCESS);
    EXPECT_EQ(d->m_nDigitalCaptureStreamReference.load(), 0u);
    EXPECT_EQ(d->m_nDigitalCaptureStreamPowerReference, 0u);
    EXPECT_EQ(d->m_nWatchdogControl.load(), 0u);
    EXPECT_EQ(d->m_nBoardIndex, 0u);
    EXPECT_EQ(d->m_bFrameClockStop[0].load(), 1u);
    EXPECT_EQ(d->m_bFrameClockStop[1].load(), 1u);
    EXPECT_TRUE(bytesAre(d->m_pVideoPin, sizeof d->m_pVideoPin, 0));
    EXPECT_TRUE(bytesAre(d->m_pEncoderPin, sizeof d->m_pEncoderPin, 0));
    EXPECT_TRUE(bytesAre(d->m_szOsdText, sizeof d->m_szOsdText, 0));
    EXPECT_TRUE(bytesAre(d->m_bOsdTextChanged, sizeof d->m_bOsdTextChanged, 0));
    EXPECT_TRUE(bytesAre(d->m_nOsdTextSlot, sizeof d->m_nOsdTextSlot, 0));
    EXPECT_TRUE(bytesAre(d->m_nOsdPictureSlot, sizeof d->m_nOsdPictureSlot, 0));
    // Parameter A of every text slot 0, B, C and D all ones.
    EXPECT_TRUE(bytesAre(d->m_nOsdTextParam[0], sizeof d->m_nOsdTextParam[0], 0));
    for (int p = 1; p < 4; p++)
      EXPECT_TRUE(bytesAre(d->m_nOsdTextParam[p], sizeof d->m_nOsdTextParam[p], 0xFF)) << "parameter " << p;
    EXPECT_TRUE(bytesAre(d->m_aOsdPicture, sizeof d->m_aOsdPicture, 0));
    EXPECT_TRUE(bytesAre(d->m_szOsdPicture, sizeof d->m_szOsdPicture, 0));
    EXPECT_TRUE(bytesAre(d->m_bOsdPictureChanged, sizeof d->m_bOsdPictureChanged, 0));
    EXPECT_TRUE(bytesAre(d->m_aChannelAuxRecord, sizeof d->m_aChannelAuxRecord, 0));
    EXPECT_TRUE(bytesAre(d->m_aChannelStatus, sizeof d->m_aChannelStatus, 0));
    EXPECT_TRUE(bytesAre(d->m_nDeinterlaceRingIndex, sizeof d->m_nDeinterlaceRingIndex, 0));
    EXPECT_TRUE(bytesAre(d->m_DeinterlaceRing, sizeof d->m_DeinterlaceRing, 0));
    EXPECT_TRUE(bytesAre(d->m_DeinterlaceOutput, sizeof d->m_DeinterlaceOutput, 0));
    EXPECT_TRUE(bytesAre(d->m_nDebugStatus, sizeof d->m_nDebugStatus, 0));
    EXPECT_EQ(d->m_nDebugOptions, 0u);
    EXPECT_TRUE(bytesAre(d->m_aDebugAddress, sizeof d->m_aDebugAddress, 0));
  }
}

TEST_F(DeviceStartTest, PinlessFrontEndPinsAndMediums) {
  size_t n = Plug(Kind(BOARD_KIND_N));
  ASSERT_EQ(Start(n), STATUS_SUCCESS);
  const ULONG medium = DeviceOf(harness->Device(n))->m_nMediumId;
  auto crossbar = client.ListPinlessFilters(KSCATEGORY_CROSSBAR);
  ASSERT_EQ(crossbar.size(), 1u);
  ASSERT_EQ(crossbar[0].Mediums.size(), 7u);
  EXPECT_EQ(crossbar[0].PinDirections, (std::vector<BOOL>{FALSE, FALSE, FALSE, FALSE, FALSE, TRUE, TRUE}));
  EXPECT_EQ(crossbar[0].Mediums[0].Set, GUID_NULL);
  EXPECT_EQ(crossbar[0].Mediums[2].Set, MediumSetGuid(MEDIUM_TUNER_VIDEO_OUT));
  EXPECT_EQ(crossbar[0].Mediums[4].Set, MediumSetGuid(MEDIUM_TVAUDIO_OUT));
  EXPECT_EQ(crossbar[0].Mediums[6].Set, MediumSetGuid(MEDIUM_CROSSBAR_AUDIO_OUT));
  for (const auto& m : crossbar[0].Mediums) EXPECT_EQ(m.Id, medium);
  auto tuner = client.ListPinlessFilters(KSCATEGORY_TVTUNER);
  ASSERT_EQ(tuner.size(), 1u);
  EXPECT_EQ(tuner[0].Mediums[1].Set, MediumSetGuid(MEDIUM_TUNER_AUDIO_OUT));
  auto tvaudio = client.ListPinlessFilters(KSCATEGORY_TVAUDIO);
  ASSERT_EQ(tvaudio.size(), 1u);
  EXPECT_EQ(tvaudio[0].PinDirections, (std::vector<BOOL>{FALSE, TRUE}));
  // Per-channel copies with the direct-sound patch carry their own bridge pin.
  size_t e = Plug(Kind(BOARD_KIND_ENCODER), {{u"CustomAnalogAudioDirectSoundPatchProperty", 1}});
  ASSERT_EQ(Start(e), STATUS_SUCCESS);
  const ULONG c = DeviceOf(harness->Device(e))->m_nFirstAudioChannel;
  EXPECT_EQ(c, 1u);  // after the N card's one audio channel
  const KSFILTER_DESCRIPTOR& audio = AudioFilterCopies[c];
  ASSERT_EQ(audio.PinDescriptors, AudioPinCopies[c]);
  EXPECT_EQ(*audio.PinDescriptors[1].PinDescriptor.Category, BridgePinChannelGuids[c]);
  EXPECT_EQ(GuidText(*audio.PinDescriptors[1].PinDescriptor.Name), "{6F814BE9-9AF6-43CF-9249-C0340201021E}");
  EXPECT_EQ(audio.ConnectionsCount, 3u);
  EXPECT_EQ(audio.NodeDescriptors, AudioNodes);
}

TEST_F(DeviceStartTest, TemplateEditsAccumulateAcrossCardsOfDifferentKinds) {
  // The encoder board changes nothing.
  size_t enc = Plug(Kind(BOARD_KIND_ENCODER));
  ASSERT_EQ(Start(enc), STATUS_SUCCESS);
  EXPECT_EQ(VideoCapturePinDescriptor.PinDescriptor.DataRangesCount, 58u);
  EXPECT_EQ(VideoCapturePinDescriptor.PinDescriptor.DataRanges, RangeBlocks[RANGE_BLOCK_CAPTURE]);
  EXPECT_EQ(AudioCapturePinDescriptorMono.PinDescriptor.DataRanges[0], RangeBlocks[RANGE_BLOCK_AUDIO][RANGE_PCM_MONO]);
  const KSFILTER_DESCRIPTOR* encoderVideo = client.ListFilters(KSCATEGORY_VIDEO)[0].Descriptor;

  // H with the test-manager switch: one range, YV12 704 x 480 -- and the encoder card's
  // factory, on a copy of the same pin template, sees it too.
  size_t h = Plug(Kind(BOARD_KIND_H), {{u"CustomDriverTestManagerPlatformProperty", 1}});
  ASSERT_EQ(Start(h), STATUS_SUCCESS);
  const KSPIN_DESCRIPTOR& pin = VideoCapturePinDescriptor.PinDescriptor;
  EXPECT_EQ(pin.DataRanges, AltVideoRangeList);
  EXPECT_EQ(pin.DataRangesCount, 1u);
  EXPECT_EQ(pin.DataRanges[0], FindVideoRange(VF_YV12, 704, 480, LINES_525, IC_FULL));
  EXPECT_EQ(pin.DataRanges[11], FindVideoRange(VF_X264, 352, 288, LINES_625, IC_FULL));
  // The encoder card's filter copy points at the same pin template: it offers one range now.
  EXPECT_EQ(encoderVideo->PinDescriptors[0].PinDescriptor.DataRangesCount, 1u);
  EXPECT_EQ(VideoCapturePinDescriptorTwin.PinDescriptor.DataRangesCount, 1u);
  // The value read is written back to the registry.
  std::u16string key = pk::RegistryDriverKeyPath(harness->Device(h)->PhysicalDeviceObject->HostInstance);
  ASSERT_TRUE(pk::RegistryGetValue(key, u"CustomDriverTestManagerPlatformProperty").has_value());

  // E (Castwell): the customer list replaces the kind's list, count 12.
  size_t e = Plug(Kind(BOARD_KIND_E), {{u"CustomCompanyCastwellProperty", 1}});
  ASSERT_EQ(Start(e), STATUS_SUCCESS);
  EXPECT_EQ(pin.DataRangesCount, 12u);
  EXPECT_EQ(pin.DataRanges[0], FindVideoRange(VF_YUY2, 720, 480, LINES_525, IC_FULL));
  EXPECT_EQ(pin.DataRanges[11], FindVideoRange(VF_YUY2, 320, 288, LINES_625, IC_FULL));

  // A (not large-frame): 52 entries of the alternative list, whose head E left edited.
  size_t a = Plug(Kind(BOARD_KIND_A));
  ASSERT_EQ(Start(a), STATUS_SUCCESS);
  EXPECT_EQ(pin.DataRangesCount, 52u);
  EXPECT_EQ(pin.DataRanges[0], FindVideoRange(VF_YUY2, 720, 480, LINES_525, IC_FULL));
  EXPECT_EQ(pin.DataRanges[12], VideoRangeTable[12]);

  // K: its second pin, 8 kHz mono on the audio pin, ProcAmp set 1; the large-frame A
  // after it keeps whatever list K installed.
  size_t k = Plug(Kind(BOARD_KIND_K));
  ASSERT_EQ(Start(k), STATUS_SUCCESS);
  EXPECT_EQ(VideoCaptureFilterDescriptor.PinDescriptorsCount, 2u);
  EXPECT_EQ(pin.DataRangesCount, 7u);
  EXPECT_EQ(pin.DataRanges[6], FindVideoRange(VF_YUY2, 256, 240, LINES_525, IC_FULL));
  EXPECT_EQ(AudioCapturePinDescriptorMono.PinDescriptor.DataRanges[0], &AudioRangeMono8Bit8k.DataRange);
  EXPECT_EQ(DeviceOf(harness->Device(k))->m_nProcAmpDefaultSet, 1u);
  size_t large = Plug(Variant(BOARD_VARIANT_A_LARGE_FRAME));
  ASSERT_EQ(Start(large), STATUS_SUCCESS);
  EXPECT_EQ(pin.DataRangesCount, 7u);

  // J: stereo 48 kHz back in entry 0 of the audio list, ProcAmp set 2.
  size_t j = Plug(Kind(BOARD_KIND_J));
  ASSERT_EQ(Start(j), STATUS_SUCCESS);
  auto* stereo = reinterpret_cast<KSDATARANGE_AUDIO*>(AltAudioRangeList[0]);
  EXPECT_EQ(stereo->MaximumChannels, 2u);
  EXPECT_EQ(stereo->MaximumSampleFrequency, 48000u);
  EXPECT_EQ(DeviceOf(harness->Device(j))->m_nProcAmpDefaultSet, 2u);
}

TEST_F(DeviceStartTest, CategoryRulesAndTheirLogLines) {
  struct Case {
    std::vector<Setting> settings;
    ULONG videoCategories, audioCategories;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{}, 2, 3, {}},
      {{{u"CustomCompanyDovrickProperty", 1}}, 1, 1, {}},
      {{{u"CustomCompanyHembrookProperty", 1}},
       1,
       3,
       {"--------------------------------------> [HEMBROOK.VIDEO]",
        "--------------------------------------> [HEMBROOK.AUDIO]"}},
      {{{u"CustomCompanyOstravelProperty", 1}, {u"CustomCompanyHembrookProperty", 1}},
       1,
       3,
       {"--------------------------------------> [OSTRAVEL.VIDEO]",
        "--------------------------------------> [OSTRAVEL.AUDIO]"}},
      {{{u"CustomCompanyOstravelProperty", 1}},
       2,
       3,
       {"--------------------------------------> [OSTRAVEL.VIDEO]",
        "--------------------------------------> [OSTRAVEL.AUDIO]"}},
  };
  for (const Case& c : cases) {
    size_t index = Plug(Kind(BOARD_KIND_ENCODER), c.settings);
    pk::ClearDebugLog();
    ASSERT_EQ(Start(index), STATUS_SUCCESS);
    auto factories = ks::FactoriesOf(harness->Device(index));
    ASSERT_EQ(factories.size(), 2u);
    EXPECT_EQ(factories[0].Categories.size(), c.videoCategories);
    EXPECT_EQ(factories[1].Categories.size(), c.audioCategories);
    std::vector<std::string> marked;
    for (const auto& line : pk::DebugLogLines())
      if (line.rfind("-----", 0) == 0) marked.push_back(line);
    EXPECT_EQ(marked, c.lines);
    harness->RemoveDevice(index);
  }
}

TEST_F(DeviceStartTest, AFailedStartLeavesNothingAndKeepsTheChannelNumbers) {
  struct Case {
    const char* name;
    std::function<void()> arm;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"state block", [] { pk::FailAllocationsWithTag(MakePoolTag("Wdm "), 1); }, STATUS_INSUFFICIENT_RESOURCES},
      {"first factory", [] { ks::FailNthFilterFactory(1); }, STATUS_INSUFFICIENT_RESOURCES},
      {"third factory", [] { ks::FailNthFilterFactory(3); }, STATUS_INSUFFICIENT_RESOURCES},
      {"last factory", [] { ks::FailNthFilterFactory(8, STATUS_UNSUCCESSFUL); }, STATUS_UNSUCCESSFUL},
      {"PCI start pool", [] { pk::FailNthAllocation(1); }, STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetDeviceStartCounters();
    size_t index = Plug(Variant(BOARD_VARIANT_C_FOUR_CHANNEL));
    auto pool = pk::PoolStats(0);
    c.arm();
    EXPECT_EQ(Start(index), c.status);
    ks::ClearKsFaults();
    pk::ClearPoolFaults();
    EXPECT_TRUE(References(index).empty());
    EXPECT_TRUE(pci::CurrentAccounting().empty());
    EXPECT_EQ(pk::PoolStats(0).liveBlocks, pool.liveBlocks);
    EXPECT_EQ(DeviceOf(harness->Device(index))->m_pBoardState, nullptr);
    EXPECT_EQ(NextVideoChannel, 0u);
    EXPECT_EQ(NextAudioChannel, 0u);
    harness->RemoveDevice(index);
  }
}

TEST_F(DeviceStartTest, ChannelIndexesPast127AreRefused) {
  NextVideoChannel = 126;
  size_t index = Plug(Kind(BOARD_KIND_C));
  EXPECT_EQ(Start(index), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(References(index).empty());
  EXPECT_EQ(NextVideoChannel, 126u);
  // The copies next door are untouched.
  EXPECT_EQ(VirtualCaptureFilterCopies[0][0].ReferenceGuid, nullptr);
}

}  // namespace
