// Device start through the Plug and Play harness: which filters a card gets by kind,
// variant and switches, the board-kind template edits (cumulative across cards), a start
// failing at each step with nothing left, and stop and start again.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/core/board_kinds.h"
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

struct Setting {
  const char16_t* name;
  ULONG value;
};

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

PCI_IDENTITY Kind(BoardKind k) {
  PCI_IDENTITY id{};
  BoardKindIdentity(k, &id);
  return id;
}
PCI_IDENTITY Variant(BoardVariant v) {
  PCI_IDENTITY id{};
  BoardVariantIdentity(v, &id);
  return id;
}
std::string V(int channel) { return GuidText(VideoChannelGuids[channel]); }
std::string A(int channel) { return GuidText(AudioChannelGuids[channel]); }
std::string T(UCHAR type) { return GuidText(TemplateReferenceGuid(type)); }

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
