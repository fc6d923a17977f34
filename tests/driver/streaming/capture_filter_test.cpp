// Capture filter create and close: what a reference GUID names, the channel-index mapping
// by board, the descriptor edits of the edit-list boards, and the settings save at close.
#include <cstring>

#include "tests/driver/streaming/streaming_fixture.h"

namespace {

using namespace streaming_test;

TEST(CaptureFilterIdentity, ReferenceGuids) {
  struct Case {
    const char* name;
    GUID guid;
    BOOLEAN virtualDevice;
    ULONG channel, kind;
    BOOLEAN audio;
  };
  const Case cases[] = {
      {"video template", VideoTemplateGuid, FALSE, 1, 0, FALSE},
      {"video channel 10", VideoChannelGuids[9], FALSE, 10, 0, FALSE},
      {"video channel 128", VideoChannelGuids[127], FALSE, 128, 0, FALSE},
      {"audio template", AudioTemplateGuid, FALSE, 1, 0, TRUE},
      {"audio channel 100", AudioChannelGuids[99], FALSE, 100, 0, TRUE},
      {"encoder: nothing", EncoderTemplateGuid, TRUE, 0, 0, FALSE},
      {"crossbar: nothing", CrossbarTemplateGuid, TRUE, 0, 0, FALSE},
      {"virtual video 3", VirtualCaptureGuids[2], TRUE, 3, 10, FALSE},
      {"virtual video 3, device off", VirtualCaptureGuids[2], FALSE, 0, 0, FALSE},
      {"virtual audio 2", VirtualCaptureGuids[5], TRUE, 2, 11, TRUE},
      {"virtual video template", TemplateReferenceGuid(FILTER_TYPE_VIRTUAL_VIDEO), TRUE, 1, 10, FALSE},
      {"virtual audio template", TemplateReferenceGuid(FILTER_TYPE_VIRTUAL_AUDIO), TRUE, 1, 11, TRUE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CCaptureFilter::Identity id = CCaptureFilter::IdentifyReference(&c.guid, c.virtualDevice);
    EXPECT_EQ(id.nChannelNumber, c.channel);
    EXPECT_EQ(id.nKind, c.kind);
    EXPECT_EQ(id.bAudio, c.audio);
  }
  EXPECT_EQ(CCaptureFilter::IdentifyReference(nullptr, TRUE).nChannelNumber, 0u);
}

// The tests set the device's members directly (its identity, clone count, tuner type),
// which the monitor thread reads on its passes: the fixture holds the monitor of the board
// it starts for the whole test.
class CaptureFilterTest : public StreamingTest {
 protected:
  size_t StartBoard(const PCI_IDENTITY& id, std::vector<Setting> settings = {}) {
    const size_t index = StreamingTest::StartBoard(id, std::move(settings));
    if (index == 0) HoldMonitor();
    return index;
  }
};

TEST_F(CaptureFilterTest, ChannelIndexByBoard) {
  StartBoard(Kind(BOARD_KIND_ENCODER));
  CDevice* dev = Dev();
  PPCI_IDENTITY own = dev->m_pPciIdentity;
  struct Case {
    const char* name;
    PCI_IDENTITY id;
    ULONG clones, tuner;
    BOOLEAN audio;
    std::vector<ULONG> channels, indexes;
    BOOLEAN edit;
  };
  const Case cases[] = {
      {"encoder", Kind(BOARD_KIND_ENCODER), 0, 0, FALSE, {1, 2, 0}, {0, 0, 0}, FALSE},
      {"D clones 3", Kind(BOARD_KIND_D), 3, 0, FALSE, {1, 2, 3, 4}, {0, 1, 2, 0}, TRUE},
      {"D clones 9", Kind(BOARD_KIND_D), 9, 0, FALSE, {1, 2, 3, 4, 5}, {0, 1, 2, 3, 0}, TRUE},
      {"D no clones", Kind(BOARD_KIND_D), 1, 0, FALSE, {1, 2}, {0, 0}, TRUE},
      {"F five", Variant(BOARD_VARIANT_F_FIVE_CHANNEL), 0, 0, FALSE, {3, 6, 0}, {2, 0, 0}, TRUE},
      {"F eight-channel class, clones", Kind(BOARD_KIND_F), 2, 0, FALSE, {8, 9}, {7, 0}, TRUE},
      {"F eight-channel class", Kind(BOARD_KIND_F), 0, 0, FALSE, {6, 4}, {1, 3}, TRUE},
      {"F single input, clones 3", Variant(BOARD_VARIANT_F_SINGLE_INPUT), 3, 0, FALSE, {3, 4}, {2, 0}, TRUE},
      {"F single input", Variant(BOARD_VARIANT_F_SINGLE_INPUT), 0, 0, FALSE, {3}, {0}, TRUE},
      {"G class 1", Kind(BOARD_KIND_G), 0, 0, FALSE, {0, 9, 8}, {7, 0, 7}, TRUE},
      {"G class 1 four channels", Variant(BOARD_VARIANT_G_CLASS1_FOUR_CHANNEL), 0, 0, FALSE, {6}, {1}, TRUE},
      {"G class 2", Variant(BOARD_VARIANT_G_CLASS2), 0, 0, FALSE, {2}, {0}, TRUE},
      {"G class 2, clones 2", Variant(BOARD_VARIANT_G_CLASS2), 2, 0, FALSE, {2, 3}, {1, 0}, TRUE},
      {"H eight", Variant(BOARD_VARIANT_H_EIGHT_CHANNEL), 0, 0, FALSE, {10}, {1}, FALSE},
      {"H", Kind(BOARD_KIND_H), 0, 0, FALSE, {10}, {0}, FALSE},
      {"E second, tuner bit 1, audio", Variant(BOARD_VARIANT_E_SECOND), 0, 2, TRUE, {16, 17}, {15, 0}, FALSE},
      {"E second, tuner bit 1, video", Variant(BOARD_VARIANT_E_SECOND), 0, 2, FALSE, {16}, {0}, FALSE},
      {"C four", Variant(BOARD_VARIANT_C_FOUR_CHANNEL), 0, 0, TRUE, {6}, {1}, FALSE},
      {"P clone-following, clones 2", Variant(BOARD_VARIANT_P_CLONE_FOLLOWING), 2, 0, FALSE, {3, 2}, {0, 1}, TRUE},
      {"P clone-following", Variant(BOARD_VARIANT_P_CLONE_FOLLOWING), 0, 0, FALSE, {3}, {0}, TRUE},
      {"W", Kind(BOARD_KIND_W), 0, 0, FALSE, {5}, {0}, TRUE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PCI_IDENTITY id = c.id;
    dev->m_pPciIdentity = &id;
    dev->m_nCloneFilters = c.clones;
    dev->m_nSiliconTunerType = c.tuner;
    for (size_t i = 0; i < c.channels.size(); i++) {
      BOOLEAN edit = 2;
      EXPECT_EQ(CCaptureFilter::MapChannelIndex(dev, c.channels[i], c.audio, &edit), c.indexes[i]) << c.channels[i];
      EXPECT_EQ(edit, c.edit);
    }
  }
  dev->m_pPciIdentity = own;
}

TEST_F(CaptureFilterTest, EncoderBoardFiltersAndSettingsSaveAtClose) {
  StartBoard(Kind(BOARD_KIND_ENCODER), {{u"CustomVirtualCaptureDeviceProperty", 1}});
  struct Case {
    const GUID* category;
    size_t n;
    ULONG kind;
  };
  // Video, virtual video; audio, virtual audio.
  const Case cases[] = {
      {&KSCATEGORY_VIDEO, 0, 0}, {&KSCATEGORY_VIDEO, 1, 10}, {&KSCATEGORY_AUDIO, 0, 0}, {&KSCATEGORY_AUDIO, 1, 11}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    HANDLE h = nullptr;
    PKSFILTER f = nullptr;
    ASSERT_EQ(Open(*c.category, c.n, &h, &f), STATUS_SUCCESS);
    ASSERT_NE(f, nullptr);
    FilterContext* ctx = Ctx(f);
    EXPECT_EQ(ctx->nChannel, 0u);
    EXPECT_EQ(ctx->nKind, c.kind);
    EXPECT_EQ(ctx->nStreamIndex, 0u);
    EXPECT_EQ(ctx->pKsFilter, f);
    EXPECT_EQ(ctx->pKsDevice, harness->Device(0));
    // The encoder board is not on the edit list: the filter keeps the factory's descriptor.
    EXPECT_EQ(f->Descriptor, client->ListFilters(*c.category)[c.n].Descriptor);

    // Close writes the settings back.
    pk::RegistryDeleteValue(key, u"CustomCloneFiltersProperty");
    Dev()->m_nCloneFilters = 7;
    const int64_t contexts = pk::PoolStats(MakePoolTag("QZVK")).liveBlocks;
    ASSERT_EQ(client->Close(h), STATUS_SUCCESS);
    auto saved = pk::RegistryGetValue(key, u"CustomCloneFiltersProperty");
    ASSERT_TRUE(saved.has_value());
    ULONG word = 0;
    std::memcpy(&word, saved->data.data(), sizeof(word));
    EXPECT_EQ(word, 7u);
    EXPECT_EQ(pk::PoolStats(MakePoolTag("QZVK")).liveBlocks, contexts - 1);
  }
}

TEST_F(CaptureFilterTest, CreateFailures) {
  StartBoard(Kind(BOARD_KIND_ENCODER));
  const int64_t contexts = pk::PoolStats(MakePoolTag("QZVK")).liveBlocks;
  HANDLE h = nullptr;
  pk::FailNthAllocation(1, MakePoolTag("QZVK"));
  EXPECT_EQ(Open(KSCATEGORY_VIDEO, 0, &h), STATUS_INSUFFICIENT_RESOURCES);
  // A KS device without a device object.
  PKSDEVICE ksDevice = harness->Device(0);
  PVOID own = ksDevice->Context;
  ksDevice->Context = nullptr;
  EXPECT_EQ(Open(KSCATEGORY_VIDEO, 0, &h), STATUS_DEVICE_NOT_CONNECTED);
  ksDevice->Context = own;
  EXPECT_EQ(pk::PoolStats(MakePoolTag("QZVK")).liveBlocks, contexts);
}

TEST_F(CaptureFilterTest, EditListBoardsEditTheirCopies) {
  // BOARD_KIND_D with two clone filters: channels 1 and 2 are indexes 0 and 1.
  StartBoard(Kind(BOARD_KIND_D), {{u"CustomCloneFiltersProperty", 2}, {u"CustomCompanyBantrelProperty", 1}});
  const ULONG templateCount = VideoCapturePinDescriptor.PinDescriptor.DataRangesCount;
  HANDLE v0 = nullptr, v1 = nullptr;
  PKSFILTER f0 = nullptr, f1 = nullptr;
  ASSERT_EQ(Open(KSCATEGORY_VIDEO, 0, &v0, &f0), STATUS_SUCCESS);
  ASSERT_EQ(Open(KSCATEGORY_VIDEO, 1, &v1, &f1), STATUS_SUCCESS);
  EXPECT_EQ(Ctx(f0)->nChannel, 0u);
  EXPECT_EQ(Ctx(f1)->nChannel, 1u);
  for (PKSFILTER f : {f0, f1}) {
    EXPECT_TRUE(ks::ObjectBagContains(f->Bag, f->Descriptor));
    EXPECT_TRUE(ks::ObjectBagContains(f->Bag, f->Descriptor->PinDescriptors));
    EXPECT_EQ(f->Descriptor->PinDescriptors[0].PinDescriptor.DataRangesCount, 58u);
  }
  EXPECT_EQ(VideoCapturePinDescriptor.PinDescriptor.DataRangesCount, templateCount);
  EXPECT_GT(pk::PoolStats(MakePoolTag("Vamp")).liveBlocks, 0);

  // Audio: the first range of the shared list becomes the 44.1 kHz one, one range offered.
  HANDLE a0 = nullptr;
  PKSFILTER fa = nullptr;
  ASSERT_EQ(Open(KSCATEGORY_AUDIO, 0, &a0, &fa), STATUS_SUCCESS);
  EXPECT_TRUE(ks::ObjectBagContains(fa->Bag, fa->Descriptor));
  const KSPIN_DESCRIPTOR& pin = fa->Descriptor->PinDescriptors[0].PinDescriptor;
  EXPECT_EQ(pin.DataRangesCount, 1u);
  EXPECT_EQ(pin.DataRanges[0], &AudioRange44100.DataRange);
  EXPECT_EQ(AudioCapturePinDescriptorMono.PinDescriptor.DataRanges[0], &AudioRange44100.DataRange);
  EXPECT_GT(pk::PoolStats(MakePoolTag("Aamp")).liveBlocks, 0);
  client.reset();
  EXPECT_EQ(pk::PoolStats(MakePoolTag("Vamp")).liveBlocks, 0);
  EXPECT_EQ(pk::PoolStats(MakePoolTag("Aamp")).liveBlocks, 0);
}

TEST_F(CaptureFilterTest, UStreamPatchOffersTenRanges) {
  StartBoard(Variant(BOARD_VARIANT_G_CLASS2), {{u"CustomAnalogVideoUStreamPatchProperty", 1}});
  HANDLE h = nullptr;
  PKSFILTER f = nullptr;
  ASSERT_EQ(Open(KSCATEGORY_VIDEO, 0, &h, &f), STATUS_SUCCESS);
  EXPECT_EQ(f->Descriptor->PinDescriptors[0].PinDescriptor.DataRangesCount, 10u);
}

TEST_F(CaptureFilterTest, FailedEditStopsTheEditsButNotCreate) {
  StartBoard(Kind(BOARD_KIND_D), {{u"CustomCloneFiltersProperty", 2}});
  const KSFILTER_DESCRIPTOR* factory = client->ListFilters(KSCATEGORY_VIDEO)[0].Descriptor;
  struct Case {
    uint64_t failing;  // which edit of the filter fails
    bool filterCopied;
  };
  for (const Case& c : {Case{1, false}, Case{2, true}}) {
    SCOPED_TRACE(c.failing);
    ks::FailNthKsEdit(c.failing);
    HANDLE h = nullptr;
    PKSFILTER f = nullptr;
    ASSERT_EQ(Open(KSCATEGORY_VIDEO, 0, &h, &f), STATUS_SUCCESS);
    EXPECT_EQ(f->Descriptor != factory, c.filterCopied);
    // The pins stayed the template's, and nothing was written into it.
    EXPECT_EQ(f->Descriptor->PinDescriptors, factory->PinDescriptors);
    EXPECT_FALSE(ks::ObjectBagContains(f->Bag, f->Descriptor->PinDescriptors));
    ASSERT_EQ(client->Close(h), STATUS_SUCCESS);
    ks::ClearKsFaults();
  }
}

}  // namespace
