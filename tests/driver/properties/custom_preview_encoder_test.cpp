// Preview and encoder properties: the compression arrays beside their own, the crop
// record, the logging rows, and the round trip of a flagged setting through the
// settings pass to the encoder's mailbox.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/hardware/encoder.h"
#include "tests/driver/properties/custom_property_fixture.h"

namespace vorlix_test {
namespace {

const std::string kSep = "\xA1\xD1";

TEST_F(CustomPropertyTest, QualityGopAndKeyFrameFeedTheCompressionArrays) {
  Start();
  HANDLE sub = Open(1, 8);
  CDevice* d = Dev();
  Set(404, 8000);
  EXPECT_EQ(d->m_nEncoderVideoQuality[0], 8000u | 0x08000000u);
  EXPECT_EQ(d->m_nAnalogVideoCompressionQuality[0], 8000u | 0x08000000u);
  EXPECT_EQ(Get(404), 8000u);
  Set(405, 30, sub);
  EXPECT_EQ(d->m_nEncoderVideoGop[5], 30u | 0x08000000u);
  EXPECT_EQ(d->m_nAnalogVideoCompressionKeyframeRate[5], 30u | 0x08000000u);
  Set(406, 1);
  EXPECT_EQ(d->m_nEncoderVideoKeyFrame[0], 1u);
  EXPECT_EQ(d->m_nAnalogVideoCompressionOverrideKeyframe[0], 1u);
  EXPECT_EQ(LogLines("CDevice::"),
            (std::vector<std::string>{"CDevice::OnSetCustomEncoderVideoQualityProperty( 0 " + kSep + " 8000 )",
                                      "CDevice::OnGetCustomEncoderVideoQualityProperty( 0 " + kSep + " 8000 )",
                                      "CDevice::OnSetCustomEncoderVideoGopProperty( 5 " + kSep + " 30 )",
                                      "CDevice::OnSetCustomEncoderVideoKeyFrameProperty( 0 " + kSep + " 1 )"}));
}

TEST_F(CustomPropertyTest, CropRecord) {
  Start();
  HANDLE ch2 = Open(2, 0);
  CDevice* d = Dev();
  ULONG crop[4] = {8, 16, 1904, 1064};
  EXPECT_EQ(Set(ch2, 423, crop, 16), STATUS_SUCCESS);
  EXPECT_EQ(d->m_nEncoderVideoCropX[2], 8u);
  EXPECT_EQ(d->m_nEncoderVideoCropY[2], 16u);
  EXPECT_EQ(d->m_nEncoderVideoCropW[2], 1904u);
  EXPECT_EQ(d->m_nEncoderVideoCropH[2], 1064u | 0x08000000u);
  d->m_nEncoderVideoCropX[2] = 0x88000008;
  ULONG back[4] = {};
  EXPECT_EQ(Get(ch2, 423, back, 16), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(back, back + 4), (std::vector<ULONG>{8, 16, 1904, 1064}));
  EXPECT_EQ(LogLines("CDevice::"),
            (std::vector<std::string>{"CDevice::OnSetCustomEncoderVideoCropProperty( 2 " + kSep + " 8 " + kSep +
                                          " 16 " + kSep + " 1904 " + kSep + " 1064 )",
                                      "CDevice::OnGetCustomEncoderVideoCropProperty( 2 " + kSep + " 8 " + kSep +
                                          " 16 " + kSep + " 1904 " + kSep + " 1064 )"}));
}

TEST_F(CustomPropertyTest, ChannelValueLogLines) {
  Start();
  const ULONG logged[] = {350, 400, 401, 402, 403, 407, 412, 413, 414, 415, 422};
  const char* names[] = {"CustomPreviewVideoResolutionProperty",  "CustomEncoderVideoFormatProperty",
                         "CustomEncoderVideoResolutionProperty",  "CustomEncoderVideoSkipFrameRateProperty",
                         "CustomEncoderVideoBitRateProperty",     "CustomEncoderVideoBitRateModeProperty",
                         "CustomEncoderVideoProfileProperty",     "CustomEncoderVideoAspectRatioProperty",
                         "CustomEncoderVideoLevelProperty",       "CustomEncoderVideoEntropyProperty",
                         "CustomEncoderVideoAvgFrameRateProperty"};
  for (size_t i = 0; i < std::size(logged); i++) {
    machine::ClearDebugLog();
    Set(logged[i], 77);
    Get(logged[i]);
    EXPECT_EQ(LogLines("CDevice::"),
              (std::vector<std::string>{std::string("CDevice::OnSet") + names[i] + "( 0 " + kSep + " 77 )",
                                        std::string("CDevice::OnGet") + names[i] + "( 0 " + kSep + " 77 )"}));
  }
  machine::ClearDebugLog();
  Set(360, 48000);
  EXPECT_EQ(Dev()->m_nPreviewAudioSampleFrequency[0], 48000u);
  EXPECT_EQ(
      LogLines("CDevice::"),
      (std::vector<std::string>{"CDevice::OnSetCustomPreviewAudioSampleFrequencyProperty( 0 " + kSep + " 48000 )"}));
  // Unlogged rows print nothing.
  machine::ClearDebugLog();
  for (ULONG id : {408u, 409u, 410u, 411u, 450u, 451u, 452u, 424u}) Set(id, 1), Get(id);
  EXPECT_TRUE(LogLines("CDevice::").empty());
  // Ids 430 and 431 share one word.
  Dev()->m_nEncoderVideoFrameCounts[0] = 1234;
  EXPECT_EQ(Get(430), 1234u);
  EXPECT_EQ(Get(431), 1234u);
}

// A bit rate set through the property reaches the encoder on the next settings pass and
// keeps reading back unflagged; entry 2 never reaches it.
TEST_F(CustomPropertyTest, EncoderRoundTripThroughTheSettingsPass) {
  Start();
  HANDLE ch2 = Open(2, 0);
  CDevice* d = Dev();
  State()->nSignalWidth = 1920;
  State()->nSignalHeight = 1080;
  State()->nSignalFrameRate = 30;
  Set(407, 1);  // constant bit rate: the rate is sent
  Set(403, 4000000);
  Set(403, 9000000, ch2);
  EXPECT_EQ(d->m_nEncoderVideoBitRate[0], 4000000u | 0x08000000u);
  Encoder().ClearCommands();
  machine::ClearDebugLog();
  VORLIX_ApplySettings(d);  // the monitor's settings pass (the fixture holds the monitor)
  std::vector<board::MailboxRecord> rc;
  for (const auto& c : Encoder().Commands())
    if (c.command() == VENDOR_CMD_RATE_CONTROL) rc.push_back(c);
  ASSERT_EQ(rc.size(), 1u);
  EXPECT_EQ(rc[0].arg(2) & 0xFFFF, 4000000u >> 10);
  EXPECT_EQ(LogLines("ENC#00: RC = ").size(), 1u);
  EXPECT_EQ(d->m_nEncoderVideoBitRate[0], 4000000u);
  EXPECT_EQ(Get(403), 4000000u);
  EXPECT_EQ(d->m_nEncoderVideoBitRate[2], 9000000u | 0x08000000u);

  // A key-frame request sends the GOP again and is cleared.
  Set(406, 1);
  Encoder().ClearCommands();
  VORLIX_ApplySettings(d);  // the monitor's settings pass (the fixture holds the monitor)
  ULONG gops = 0;
  for (const auto& c : Encoder().Commands()) gops += c.command() == VENDOR_CMD_GOP;
  EXPECT_EQ(gops, 1u);
  EXPECT_EQ(d->m_nAnalogVideoCompressionOverrideKeyframe[0], 0u);
}

}  // namespace
}  // namespace vorlix_test
