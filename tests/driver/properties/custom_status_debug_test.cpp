// Region records, channel status, OSD text and pictures, the watchdog, GPIO lines, the
// EEPROM and the debug words.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/hardware/encoder.h"
#include "tests/driver/properties/custom_property_fixture.h"

namespace vorlix_test {
namespace {

TEST_F(CustomPropertyTest, ChannelRecordsAndStatusByFilterChannel) {
  Start();
  HANDLE sub = Open(3, 8);  // filter channel 3 (channel index 7)
  ULONG rec[4] = {5, 1, 2, 3};
  EXPECT_EQ(Set(sub, 890, rec, 16), STATUS_SUCCESS);
  ULONG* stored = Dev()->m_aChannelAuxRecord[3][1];
  EXPECT_EQ(std::vector<ULONG>(stored, stored + 4), (std::vector<ULONG>{0x80000005u, 1, 2, 3}));
  ULONG q[4] = {1, 0, 0, 0};
  EXPECT_EQ(Get(sub, 890, q, 16), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(q, q + 4), (std::vector<ULONG>{5, 1, 2, 3}));
  ULONG q0[4] = {0, 9, 9, 9};
  EXPECT_EQ(Get(sub, 890, q0, 16), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(q0, q0 + 4), (std::vector<ULONG>{0, 0, 0, 0}));
  for (ULONG k = 0; k < 8; k++) Dev()->m_aChannelStatus[3][k] = 100 + k;
  for (ULONG k = 0; k < 8; k++) EXPECT_EQ(Get(900 + k, sub), 100 + k);
  EXPECT_EQ(Get(907), 0u);  // channel 0's row
}

TEST_F(CustomPropertyTest, OsdTextSlotsAndTheSettingsPass) {
  Start();
  CDevice* d = Dev();
  Set(920, 0x13);
  EXPECT_EQ(d->m_nOsdTextSlot[0], 3u);
  Set(920, 1);
  const char text[65] = "CAMERA 1 ON THE NORTH GATE, RECORDING SINCE MIDNIGHT -- ALL OK.";
  for (ULONG k = 0; k < 3; k++) EXPECT_EQ(Set(filter_, 921 + k, text + 16 * k, 16), STATUS_SUCCESS);
  EXPECT_EQ(d->m_bOsdTextChanged[0][1], 0u);
  EXPECT_EQ(std::memcmp(d->m_szOsdText[0][1], text, 48), 0);
  EXPECT_EQ(Set(filter_, 924, text + 48, 16), STATUS_SUCCESS);
  EXPECT_EQ(d->m_bOsdTextChanged[0][1], 1u);
  EXPECT_EQ(std::string(d->m_szOsdText[0][1]), text);
  // Parameters A, B, C, D of the selected slot mark it changed too.
  Set(920, 5);
  const std::pair<ULONG, ULONG> params[] = {{929, 0}, {917, 1}, {915, 2}, {916, 3}};
  for (auto [id, k] : params) {
    d->m_bOsdTextChanged[0][5] = 0;
    Set(id, 40 + k);
    EXPECT_EQ(d->m_nOsdTextParam[k][0][5], 40 + k);
    EXPECT_EQ(d->m_bOsdTextChanged[0][5], 1u);
  }
  // The next settings pass sends the marked slot 1 of channel 0 and clears its mark.
  State()->nSignalWidth = 1920;
  State()->nSignalHeight = 1080;
  State()->nSignalFrameRate = 30;
  d->m_nOsdTextEnable = 1;
  Encoder().ClearCommands();
  VORLIX_ApplySettings(d);  // as the monitor's pass runs it (the fixture holds the monitor)
  ULONG osd = 0;
  for (const auto& c : Encoder().Commands()) osd += c.command() == VENDOR_CMD_OSD_TEXT;
  EXPECT_EQ(osd, 1u);
  EXPECT_EQ(d->m_bOsdTextChanged[0][1], 0u);
  EXPECT_EQ(d->m_bOsdTextChanged[0][5], 1u);  // slots past 2 are never sent
}

TEST_F(CustomPropertyTest, OsdPictureSlots) {
  Start();
  CDevice* d = Dev();
  HANDLE ch1 = Open(1, 8);
  ULONG rec[4] = {6, 10, 20, 30};
  EXPECT_EQ(Set(ch1, 970, rec, 16), STATUS_SUCCESS);
  EXPECT_EQ(d->m_nOsdPictureSlot[1], 2u);
  EXPECT_EQ(d->m_bOsdPictureChanged[1][2], 1u);
  EXPECT_EQ(std::vector<ULONG>(d->m_aOsdPicture[1][2], d->m_aOsdPicture[1][2] + 4), std::vector<ULONG>(rec, rec + 4));
  d->m_bOsdPictureChanged[1][2] = 0;
  const char name[65] = "LOGO.BMP";
  for (ULONG k = 0; k < 4; k++) EXPECT_EQ(Set(ch1, 971 + k, name + 16 * k, 16), STATUS_SUCCESS);
  EXPECT_EQ(std::string(d->m_szOsdPicture[1][2]), "LOGO.BMP");
  EXPECT_EQ(d->m_bOsdPictureChanged[1][2], 1u);
  ULONG q[4] = {2, 0, 0, 0};
  EXPECT_EQ(Get(ch1, 970, q, 16), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(q, q + 4), std::vector<ULONG>(rec, rec + 4));
}

TEST_F(CustomPropertyTest, WatchdogWordsReachTheMicrocontrollerLater) {
  Start();
  CDevice* d = Dev();
  Set(930, 0);
  EXPECT_EQ(d->m_nWatchdogControl.load(), 0u);
  Set(930, 5);
  EXPECT_EQ(d->m_nWatchdogControl.load(), 0x80000005u);
  Set(931, 7);
  EXPECT_EQ(d->m_nSoftwareWatchdogDuration, 0x80000007u);
  board_.microcontroller().writes.clear();
  ReleaseMonitor();
  Pass(300);
  HoldMonitor();
  auto writes = board_.microcontroller().writes;
  EXPECT_NE(std::find(writes.begin(), writes.end(), std::pair<UCHAR, UCHAR>{MCU_REG_WDT_DURATION, 7}), writes.end());
  EXPECT_NE(std::find(writes.begin(), writes.end(), std::pair<UCHAR, UCHAR>{MCU_REG_WDT_KICK, MCU_WDT_MAGIC}),
            writes.end());
  EXPECT_EQ(d->m_nSoftwareWatchdogDuration, 7u);
  EXPECT_EQ(d->m_nWatchdogControl.load(), 1u);
}

TEST_F(CustomPropertyTest, GpioLinesThroughTheMonitorBracket) {
  Start();
  ReleaseMonitor();  // the requests take the bracket themselves
  CDevice* d = Dev();
  State()->nGpioADirection = 0x00600000;  // the bus lines' shadow stays as it is
  Set(940, 0x1F);
  EXPECT_EQ(board_.WritesTo(REG_GPIO_A_DIRECTION), (std::vector<ULONG>{0x006F0000}));
  EXPECT_EQ(State()->nGpioADirection, 0x006F0000u);
  EXPECT_EQ(d->m_nGpioDirection, 0x1Fu);
  EXPECT_EQ(KeReadStateSemaphore(&d->m_ThreadControlSemaphore), 1);  // the bracket is open again
  EXPECT_NE(d->m_pMonitorThread, nullptr);
  EXPECT_EQ(Get(940), 0x1Fu);

  Set(940, 0x3);  // lines 0 and 1 out, 2 and 3 in
  board_.SetUserLineLevels(0x4);
  Set(941, 0x1F);
  EXPECT_EQ(board_.WritesTo(REG_GPIO_A_OUTPUT).back() & GPIO_A_USER, 0x000F0000u);
  EXPECT_EQ(d->m_nGpioData, 0x1Fu);
  EXPECT_EQ(Get(941), 0x7u);
  EXPECT_EQ(d->m_nGpioData, 0x7u);  // the read becomes the saved setting
  EXPECT_EQ(KeReadStateSemaphore(&d->m_ThreadControlSemaphore), 1);

  d->m_nGpioSupport = 0xA;
  EXPECT_EQ(Get(942), 0xAu);
  EXPECT_EQ(Get(942, Open(0, 8)), 0u);  // channel index 4
}

// Powered down, the bracket is the hardware stop's: a GPIO set only stores, the EEPROM is
// not ready, and nothing waits for good.
TEST_F(CustomPropertyTest, LowPowerNeverBlocksTheBracket) {
  Start();
  CDevice* d = Dev();
  ReleaseMonitor();  // leaving full power stops the monitor itself
  ASSERT_EQ(harness_->SetDevicePower(*index_, PowerDeviceD3), STATUS_SUCCESS);
  board_.ClearAccessLog();
  Set(940, 0x5);
  Set(941, 0x2);
  EXPECT_EQ(d->m_nGpioDirection, 5u);
  EXPECT_EQ(d->m_nGpioData, 2u);
  ULONG v = 0xABCD;
  EXPECT_EQ(Get(filter_, 957, &v, 4), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(v, 0xABCDu);
  Set(255, 1);
  EXPECT_TRUE(board_.WritesTo(REG_GPIO_A_DIRECTION).empty());
  EXPECT_TRUE(board_.WritesTo(REG_GPIO_B_OUTPUT).empty());
  ASSERT_EQ(harness_->SetDevicePower(*index_, PowerDeviceD0), STATUS_SUCCESS);
  Set(940, 0x1);
  EXPECT_FALSE(board_.WritesTo(REG_GPIO_A_DIRECTION).empty());
}

TEST_F(CustomPropertyTest, EepromReadAndWriteOverBusA) {
  Start();
  ReleaseMonitor();  // the requests take the bracket themselves
  CDevice* d = Dev();
  EXPECT_EQ(Get(957), 0x56781234u);
  EXPECT_EQ(LogLines("CDevice::"), (std::vector<std::string>{"CDevice::OnGetCustomDebugEepromProperty( 56781234 )"}));
  machine::ClearDebugLog();
  Set(957, 0xAABBCCDD);
  EXPECT_EQ(LogLines("CDevice::"),
            (std::vector<std::string>{"CDevice::OnSetCustomDebugEepromProperty( " +
                                      std::to_string(d->m_nDeviceInstanceNumber) + ", AABBCCDD )"}));
  const UCHAR* bytes = board_.eeprom().bytes;
  EXPECT_EQ(std::vector<UCHAR>(bytes, bytes + 4), (std::vector<UCHAR>{0xDD, 0xCC, 0xBB, 0xAA}));
  EXPECT_EQ(Get(957), 0xAABBCCDDu);
  EXPECT_EQ(KeReadStateSemaphore(&d->m_ThreadControlSemaphore), 1);
  // An EEPROM that does not answer is an error, and the caller's buffer stays.
  board_.SetEepromPresent(false);
  ULONG v = 0x1111;
  EXPECT_EQ(Get(filter_, 957, &v, 4), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(v, 0x1111u);
  EXPECT_EQ(Set(filter_, 957, &v, 4), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(KeReadStateSemaphore(&d->m_ThreadControlSemaphore), 1);
}

TEST_F(CustomPropertyTest, DebugWords) {
  Start();
  CDevice* d = Dev();
  Set(990, 0xFFFFFFFF);
  EXPECT_EQ(d->m_nDebugOptions, 0xFFF00CFFu);
  EXPECT_EQ(Get(990), 0xFFF00CFFu);
  ULONGLONG addr[2] = {0x1122334455667788ull, 0x99AABBCCDDEEFF00ull};
  EXPECT_EQ(Set(filter_, 993, addr, 16), STATUS_SUCCESS);
  EXPECT_EQ(d->m_aDebugAddress[2][0], addr[0]);
  EXPECT_EQ(d->m_aDebugAddress[2][1], addr[1]);
  for (ULONG id : {952u, 956u, 964u, 967u}) {
    EXPECT_EQ(Get(id), 0u);
    Set(id, 5);
  }
  auto settings = std::make_unique<CDeviceSettings>(*static_cast<CDeviceSettings*>(d));
  for (ULONG id : {950u, 951u, 953u, 954u, 955u, 959u, 966u}) Set(id, 0x12345678);
  EXPECT_EQ(std::memcmp(settings.get(), static_cast<CDeviceSettings*>(d), sizeof(CDeviceSettings)), 0);
  machine::ClearDebugLog();
  UCHAR block[16] = {};
  for (ULONG id : {958u, 960u, 963u}) {
    EXPECT_EQ(Get(filter_, id, block, 16), STATUS_SUCCESS);
    EXPECT_EQ(Set(filter_, id, block, 16), STATUS_SUCCESS);
  }
  Set(965, 0xABCD);
  Get(980);
  Set(980, 1);
  EXPECT_EQ(LogLines("CDevice::"), (std::vector<std::string>{
                                       "CDevice::OnGetCustomDebugBoardMemroyProperty( 0 )",
                                       "CDevice::OnSetCustomDebugBoardMemroyProperty()",
                                       "CDevice::OnGetCustomDebugBoardMemroyProperty( 1 )",
                                       "CDevice::OnSetCustomDebugBoardMemroyProperty()",
                                       "CDevice::OnGetCustomDebugBoardMemroyProperty( 4 )",
                                       "CDevice::OnSetCustomDebugBoardMemroyProperty()",
                                       "CDevice::OnSetCustomDebugEdidAccessEnableProperty( 0000ABCD )",
                                       "CDevice::OnGetCustomDebugEepromPidVidProperty()",
                                       "CDevice::OnSetCustomDebugEepromPidVidProperty()",
                                   }));
}

}  // namespace
}  // namespace vorlix_test
