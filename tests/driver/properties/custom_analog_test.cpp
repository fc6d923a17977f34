// Analog video and audio properties with rules of their own: split and switch tables,
// resolution limits, crossbar inputs by board kind, the decoder status, the signal
// words, the special camera clamp, the effective frame rate and the logging rows.
#include <gtest/gtest.h>

#include <vector>

#include "tests/driver/properties/custom_property_fixture.h"

namespace vorlix_test {
namespace {

TEST_F(CustomPropertyTest, SplitCountRebuildsTheSwitchTables) {
  Start();
  CDevice* d = Dev();
  struct Case {
    ULONG split;
    ULONG a, b, c, mask;
  };
  const Case cases[] = {
      {1, 0, 0, 0, 1},
      {2, 0x01000100, 0x01000100, 0x01000100, 3},
      {3, 0x00020100, 0x01000201, 0x02010002, 7},
      {4, 0x03020100, 0x03020100, 0x03020100, 15},
      {9, 0x03020100, 0x03020100, 0x03020100, 15},
      {0x80000000u, 0x03020100, 0x03020100, 0x03020100, 15},
  };
  d->m_nAnalogVideoDecoderStatus = 0xF;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.split);
    Set(203, c.split);
    EXPECT_EQ(Get(203), c.split);
    ULONG t[3] = {};
    EXPECT_EQ(Get(filter_, 206, t, 12), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(t, t + 3), (std::vector<ULONG>{c.a, c.b, c.c}));
    EXPECT_EQ(d->m_nAnalogVideoSwitchLockMask, c.mask);
  }
  // Split 0 stores the count and leaves the tables; the status is never touched.
  Set(203, 3);
  Set(203, 0);
  EXPECT_EQ(d->m_nAnalogVideoSplit, 0u);
  EXPECT_EQ(d->m_nAnalogVideoSwitchChannelTable[2], 0x02010002u);
  EXPECT_EQ(d->m_nAnalogVideoSwitchLockMask, 7u);
  EXPECT_EQ(d->m_nAnalogVideoDecoderStatus, 0xFu);
}

TEST_F(CustomPropertyTest, SwitchChannelTableSetsTheLockMaskAndMasksTheStatus) {
  Start();
  CDevice* d = Dev();
  struct Case {
    ULONG a, b, c;
    ULONG mask, status;
  };
  const Case cases[] = {
      {0x01010101, 0x01010101, 0x01010101, 0x2, 0x2},
      {0x00000000, 0x00000000, 0x03FF0400, 0x9, 0x9},  // 4 and 0xFF set nothing
      {0xFFFFFFFF, 0x04040404, 0x05050505, 0x0, 0x0},
      {0x03020100, 0x00000000, 0x00000000, 0xF, 0xF},
  };
  for (const Case& c : cases) {
    d->m_nAnalogVideoDecoderStatus = 0xFF;
    ULONG t[3] = {c.a, c.b, c.c};
    EXPECT_EQ(Set(filter_, 206, t, 12), STATUS_SUCCESS);
    EXPECT_EQ(d->m_nAnalogVideoSwitchLockMask, c.mask);
    EXPECT_EQ(d->m_nAnalogVideoDecoderStatus, c.status);
    ULONG back[3] = {};
    EXPECT_EQ(Get(filter_, 206, back, 12), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(back, back + 3), std::vector<ULONG>(t, t + 3));
  }
  // The resolution table is stored as given.
  ULONG r[3] = {0x88000001, 2, 0xFFFFFFFF};
  EXPECT_EQ(Set(filter_, 207, r, 12), STATUS_SUCCESS);
  ULONG back[3] = {};
  EXPECT_EQ(Get(filter_, 207, back, 12), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(back, back + 3), std::vector<ULONG>(r, r + 3));
  EXPECT_EQ(d->m_nAnalogVideoSwitchLockMask, 0xFu);
}

TEST_F(CustomPropertyTest, ResolutionLimitsRoundAndIgnoreZero) {
  Start();
  for (ULONG id : {233u, 242u}) {
    SCOPED_TRACE(id);
    struct Case {
      ULONG in, stored;
    };
    const Case cases[] = {{723u << 16 | 541, 720u << 16 | 540},
                          {7u << 16 | 256, 720u << 16 | 540},   // width rounds to 0: nothing
                          {1920u << 16 | 1, 720u << 16 | 540},  // height rounds to 0: nothing
                          {8u << 16 | 2, 8u << 16 | 2},
                          {0xFFFFFFFF, 0xFFF8FFFE}};
    for (const Case& c : cases) {
      Set(id, c.in);
      EXPECT_EQ(Get(id), c.stored) << std::hex << c.in;
    }
  }
}

TEST_F(CustomPropertyTest, CrossbarVideoInputByBoardKind) {
  struct Case {
    BoardKind kind;
    ULONG set;
    ULONG video, audio;  // audio 99: unchanged
  };
  const Case cases[] = {
      {BOARD_KIND_ENCODER, 0, 0, 3}, {BOARD_KIND_ENCODER, 1, 1, 3},  {BOARD_KIND_ENCODER, 2, 2, 4},
      {BOARD_KIND_ENCODER, 3, 0, 3}, {BOARD_KIND_ENCODER, 4, 4, 99}, {BOARD_KIND_I, 0, 0, 2},
      {BOARD_KIND_I, 1, 1, 2},       {BOARD_KIND_I, 2, 0, 2},        {BOARD_KIND_I, 3, 3, 99},
      {BOARD_KIND_J, 2, 0, 2},       {BOARD_KIND_J, 6, 6, 99},
  };
  Start();
  PPCI_IDENTITY id = Dev()->m_pPciIdentity;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.kind << "/" << c.set);
    PCI_IDENTITY kind{};
    BoardKindIdentity(c.kind, &kind);
    id->nVendorId = kind.nVendorId;
    id->nDeviceId = kind.nDeviceId;
    Dev()->m_nAnalogCrossbarVideoInputAutoScan = 1;
    Dev()->m_nAnalogCrossbarAudioInput = 99;
    Set(201, c.set);
    EXPECT_EQ(Dev()->m_nAnalogCrossbarVideoInputAutoScan, 0u);
    EXPECT_EQ(Dev()->m_nAnalogCrossbarVideoInput, c.video);
    EXPECT_EQ(Dev()->m_nAnalogCrossbarAudioInput, c.audio);
  }
  // The gets clear bit 27 only.
  Dev()->m_nAnalogCrossbarVideoInput = 0x88000002;
  EXPECT_EQ(Get(201), 0x80000002u);
  Dev()->m_nAnalogCrossbarAudioInput = 0x88000001;
  EXPECT_EQ(Get(255), 0x80000001u);
}

TEST_F(CustomPropertyTest, DecoderStatusPerFilterChannel) {
  Start();
  HANDLE ch2 = Open(2, 0), ch2sub = Open(2, 8), ch33 = Open(33, 0);
  ASSERT_TRUE(ch2 && ch2sub && ch33);
  Dev()->m_nCloneFilters = 0;
  Dev()->m_nAnalogVideoDecoderStatus = 0x4;
  EXPECT_EQ(Get(230, ch2), 1u);
  EXPECT_EQ(Get(230, ch2sub), 1u);  // the filter's channel, without the +4
  EXPECT_EQ(Get(230), 0u);
  Dev()->m_nAnalogVideoDecoderStatus = 0x2;
  EXPECT_EQ(Get(230, ch33), 1u);  // the shift is taken modulo 32
  Dev()->m_nCloneFilters = 1;
  EXPECT_EQ(Get(230, ch2), 2u);
}

TEST_F(CustomPropertyTest, SignalWordsOnlyWhileInputZeroAloneHasSignal) {
  Start();
  BoardState* s = State();
  s->bSignalFractional = 1;
  s->nSignalColorimetry = 2;
  s->nSignalRange = 1;
  for (ULONG status : {0u, 1u, 2u, 3u, 0x81u}) {
    Dev()->m_nAnalogVideoDecoderStatus = status;
    bool on = status == 1;
    EXPECT_EQ(Get(241), on ? 1u : 0u) << status;
    EXPECT_EQ(Get(370), on ? 2u : 0u) << status;
    EXPECT_EQ(Get(371), on ? 1u : 0u) << status;
  }
}

TEST_F(CustomPropertyTest, SpecialCameraInputClamps) {
  Start();
  for (auto [in, out] : std::vector<std::pair<ULONG, ULONG>>{{0, 0}, {1, 1}, {7, 1}, {0x80000000u, 1}}) {
    Set(270, in);
    EXPECT_EQ(Dev()->m_nSpecialCameraInput, out);
    EXPECT_EQ(Get(270), out);
  }
  Dev()->m_nSpecialCameraInput = 5;  // from the registry
  EXPECT_EQ(Get(270), 1u);
}

TEST_F(CustomPropertyTest, EffectiveFrameRate) {
  Start();
  CDevice* d = Dev();
  PPCI_IDENTITY id = d->m_pPciIdentity;
  PCI_IDENTITY kindI{};
  BoardKindIdentity(BOARD_KIND_I, &kindI);
  struct Case {
    const char* what;
    USHORT device;  // 0: the encoder board
    UCHAR subsystemLow;
    ULONG pexton;
    ULONG width, height, rate, interlaced;
    ULONG expected;
  };
  const Case cases[] = {
      {"1920x540i60", 0, 0, 0, 1920, 540, 60, 1, 30},
      {"1080p60", 0, 0, 0, 1920, 1080, 60, 0, 30},
      {"1080p30", 0, 0, 0, 1920, 1080, 30, 0, 30},
      {"2160p30", 0, 0, 0, 3840, 2160, 30, 0, 15},
      {"1200p30 at the limit", 0, 0, 0, 1920, 1200, 30, 0, 30},
      {"no signal", 0, 0, 0, 0, 0, 0, 0, 0},
      {"L with switch, 60", kindI.nDeviceId, 0xA0, 1, 1920, 1080, 60, 0, 30},
      {"L with switch, 25", kindI.nDeviceId, 0xA0, 1, 1920, 1080, 25, 0, 25},
      {"L without switch, 60", kindI.nDeviceId, 0xA0, 0, 1920, 1080, 60, 0, 60},
      {"M fixed-rate model", kindI.nDeviceId, 0xB1, 0, 1920, 1080, 60, 0, 60},
      {"M other model", kindI.nDeviceId, 0xB4, 0, 1920, 1080, 60, 0, 30},
      {"M with switch, 50", kindI.nDeviceId, 0xB4, 1, 1920, 1080, 50, 0, 25},
  };
  PCI_IDENTITY original = *id;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    *id = original;
    if (c.device) {
      id->nVendorId = kindI.nVendorId;
      id->nDeviceId = c.device;
      id->nSubsystemVendorIdLow = c.subsystemLow;
    }
    d->m_nCompanyPexton = c.pexton;
    d->m_nAnalogVideoResolution = c.width << 16 | c.height;
    d->m_nAnalogVideoFrameRate = c.rate;
    d->m_nAnalogVideoInterleaved = c.interlaced;
    EXPECT_EQ(Get(274), c.expected);
  }
  *id = original;
}

TEST_F(CustomPropertyTest, LoggingRows) {
  Start();
  Set(209, 1);
  Get(209);
  Set(231, 0x101);
  Get(231);
  Set(251, 200);
  Set(278, 1);
  Get(278);
  Set(279, 0);
  Get(279);
  EXPECT_EQ(LogLines("CDevice::"), (std::vector<std::string>{
                                       "CDevice::OnSetCustomAnalogVideoScaleOutputProperty()",
                                       "CDevice::OnGetCustomAnalogVideoScaleOutputProperty()",
                                       "CDevice::OnSetCustomAnalogVideoColorRangeProperty( 00000101 )",
                                       "CDevice::OnSetCustomAnalogAudioVolumeProperty( 200 )",
                                       "CDevice::OnSetCustomAnalogVideoRGBColorConvertColorRangeProperty( 1 )",
                                       "CDevice::OnGetCustomAnalogVideoRGBColorConvertColorRangeProperty( 1 )",
                                       "CDevice::OnSetCustomAnalogVideoHVSyncDelayProperty( 0 )",
                                       "CDevice::OnGetCustomAnalogVideoHVSyncDelayProperty( 0 )",
                                   }));
}

// Id 255 routes the audio at once: the select line and the encoder's audio-input command.
TEST_F(CustomPropertyTest, CrossbarAudioInputReroutesTheBoard) {
  Start();
  Encoder().ClearCommands();
  Set(255, 1);
  EXPECT_EQ(Dev()->m_nAnalogCrossbarAudioInput, 1u);
  EXPECT_TRUE(board_.GpioBLevels() & GPIO_B_AUDIO_SELECT);
  Set(255, 0);
  EXPECT_FALSE(board_.GpioBLevels() & GPIO_B_AUDIO_SELECT);
  Set(255, 3);  // stored, nothing sent
  EXPECT_EQ(Get(255), 3u);
  ULONG audioCommands = 0;
  for (const auto& c : Encoder().Commands()) audioCommands += c.command() == VENDOR_CMD_AUDIO_INPUT;
  EXPECT_EQ(audioCommands, 2u);
  EXPECT_FALSE(board_.GpioBLevels() & GPIO_B_AUDIO_SELECT);
}

}  // namespace
}  // namespace vorlix_test
