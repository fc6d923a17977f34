// Device properties: the board identity and its remapped family, the board-model lookup,
// the processor technology's low half, the reserved ids, and requests that arrive after
// the device stopped.
#include <gtest/gtest.h>

#include <vector>

#include "tests/driver/properties/custom_property_fixture.h"

namespace vorlix_test {
namespace {

TEST_F(CustomPropertyTest, IdentityAndFamilyRemap) {
  Start();
  // Hardware initialisation took the subsystem fields from the EEPROM record.
  EXPECT_EQ(Get(0), 0x56781234u);
  PPCI_IDENTITY id = Dev()->m_pPciIdentity;
  struct Case {
    USHORT subsystem;
    UCHAR high, low;
    ULONG identity;
  };
  const Case cases[] = {
      {0x7170, BOARD_FAMILY_VENDOR_HIGH, 0x8A, BOARD_FAMILY_VALUE_PRIMARY << 16 | 0x1D8A},
      {0x7177, BOARD_FAMILY_VENDOR_HIGH, 0x01, BOARD_FAMILY_VALUE_PRIMARY << 16 | 0x1D01},
      {0x7173, 0x1C, 0x8A, BOARD_FAMILY_VALUE_SECONDARY << 16 | 0x1C8A},
      {0x7178, BOARD_FAMILY_VENDOR_HIGH, 0x8A, 0x71781D8Au},  // just past the block
      {0x716F, BOARD_FAMILY_VENDOR_HIGH, 0x8A, 0x716F1D8Au},  // just before it
      {0xABCD, 0xEF, 0x01, 0xABCDEF01u},
  };
  for (const Case& c : cases) {
    id->nSubsystemId = c.subsystem;
    id->nSubsystemVendorIdHigh = c.high;
    id->nSubsystemVendorIdLow = c.low;
    EXPECT_EQ(Get(0), c.identity) << std::hex << c.subsystem;
  }
}

TEST_F(CustomPropertyTest, BoardModelLookupFirstMatchWinsAndLogs) {
  Start();
  PPCI_IDENTITY id = Dev()->m_pPciIdentity;
  // The test board's identity 0x56781234 matches its row only.
  EXPECT_EQ(Get(8), 0x17u);
  EXPECT_EQ(Get(9), 0x3u);
  EXPECT_EQ(LogLines("CDevice::OnGetCustomDevice"),
            (std::vector<std::string>{"CDevice::OnGetCustomDeviceVideoInputConfigProperty( 00000017 )",
                                      "CDevice::OnGetCustomDeviceAudioInputConfigProperty( 00000003 )"}));
  // No row: 0.
  id->nSubsystemId = 0x0001;
  id->nSubsystemVendorIdHigh = 0x00;
  id->nSubsystemVendorIdLow = 0x02;
  EXPECT_EQ(Get(8), 0u);
  EXPECT_EQ(Get(9), 0u);
  // 0x72001D8A matches the subsystem-range row and the vendor row after it: the earlier wins.
  id->nSubsystemId = 0x7200;
  id->nSubsystemVendorIdHigh = 0x1D;
  id->nSubsystemVendorIdLow = 0x8A;
  EXPECT_EQ(Get(8), BoardModelTable[kBoardModelCount - 3].videoMask);
  EXPECT_EQ(FindBoardModel(0x72001D8A), &BoardModelTable[kBoardModelCount - 3]);
  // Only the vendor row.
  id->nSubsystemId = 0x1234;
  EXPECT_EQ(FindBoardModel(0x12341D8A), &BoardModelTable[kBoardModelCount - 1]);
  EXPECT_EQ(Get(9), BoardModelTable[kBoardModelCount - 1].audioMask);
  // The family value's row.
  id->nSubsystemId = 0x7171;
  EXPECT_EQ(Get(8), 0x13u);
}

TEST_F(CustomPropertyTest, DeviceWordsOfTheDeviceProperties) {
  Start();
  CDevice* d = Dev();
  d->m_nProcessorTechnology = 0x007F0003;
  Set(1, 0x12345678);
  EXPECT_EQ(d->m_nProcessorTechnology, 0x007F5678u);
  EXPECT_EQ(Get(1), 0x007F5678u);
  d->m_nSiliconTunerType = 0x01020304;
  EXPECT_EQ(Get(6), 0x01020304u);
  EXPECT_EQ(Get(5), 0x01020304u);
  EXPECT_EQ(LogLines("CDevice::OnGetCustomDeviceTopologyProperty"),
            (std::vector<std::string>{"CDevice::OnGetCustomDeviceTopologyProperty( 01020304 )"}));
  EXPECT_EQ(Get(2), d->m_nBoardIndex);
  EXPECT_EQ(Get(4), 255u);
}

// Reserved and log-only gets return the caller's own bytes, never anything else.
TEST_F(CustomPropertyTest, GetsThatWriteNothingReturnTheCallersBytes) {
  Start();
  for (ULONG id : {11u,  211u, 221u, 222u, 701u, 702u, 703u, 704u, 705u, 706u,
                   707u, 708u, 709u, 710u, 958u, 960u, 980u, 300u, 301u, 310u}) {
    SCOPED_TRACE(id);
    std::vector<UCHAR> v(16), before;
    for (size_t i = 0; i < v.size(); i++) v[i] = (UCHAR)(0xA0 + i);
    before = v;
    ULONG returned = 0;
    ULONG size = FindCustomPropertyRow(id)->minData;
    EXPECT_EQ(Get(filter_, id, v.data(), size, &returned), STATUS_SUCCESS);
    EXPECT_EQ(v, before);
    EXPECT_EQ(returned, size);
  }
  // 981 fills its three words and keeps the caller's fourth.
  Dev()->m_nDebugStatus[0] = 1;
  Dev()->m_nDebugStatus[1] = 2;
  Dev()->m_nDebugStatus[2] = 3;
  ULONG status[4] = {9, 9, 9, 0xCAFE};
  EXPECT_EQ(Get(filter_, 981, status, 16), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(status, status + 4), (std::vector<ULONG>{1, 2, 3, 0xCAFE}));
}

// Between Stop and the filter's close the device keeps no identity, state block or
// register window: the handlers answer from what is left and never touch the board.
TEST_F(CustomPropertyTest, RequestsAfterStopReadNoFreedState) {
  Start();
  ReleaseMonitor();  // the stop ends the monitor itself
  ASSERT_EQ(harness_->StopDevice(*index_), STATUS_SUCCESS);
  ASSERT_EQ(Dev()->m_pBoardState, nullptr);
  Dev()->m_nAnalogVideoDecoderStatus = 1;  // a signal as last seen: no state block to read it from
  board_.ClearAccessLog();
  EXPECT_EQ(Get(241), 0u);
  EXPECT_EQ(Get(370), 0u);
  EXPECT_EQ(Get(274), Dev()->m_nAnalogVideoFrameRate);
  Set(940, 0x5);
  EXPECT_EQ(Dev()->m_nGpioDirection, 5u);
  Set(941, 0x3);
  EXPECT_EQ(Get(941), 3u);
  Set(255, 1);
  EXPECT_EQ(Dev()->m_nAnalogCrossbarAudioInput, 1u);
  ULONG v = 0x11111111;
  EXPECT_EQ(Get(filter_, 957, &v, 4), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(v, 0x11111111u);
  EXPECT_EQ(Set(filter_, 957, &v, 4), STATUS_DEVICE_NOT_READY);
  EXPECT_TRUE(board_.AccessLog().empty());
  if (Dev()->m_pPciIdentity == nullptr) {
    EXPECT_EQ(Get(0), 0u);
    EXPECT_EQ(Get(8), 0u);
  }
}

// A board other than the encoder board stores GPIO and audio settings and never sees
// its registers touched; the EEPROM is not reachable.
TEST_F(CustomPropertyTest, OtherBoardKindsAreNotDriven) {
  Start(BOARD_KIND_I);
  board_.ClearAccessLog();
  Set(940, 0xF);
  Set(941, 0x6);
  EXPECT_EQ(Get(941), 6u);
  Set(255, 1);
  ULONG v = 0;
  EXPECT_EQ(Get(filter_, 957, &v, 4), STATUS_DEVICE_NOT_READY);
  EXPECT_TRUE(board_.WritesTo(REG_GPIO_A_DIRECTION).empty());
  EXPECT_TRUE(board_.WritesTo(REG_GPIO_A_OUTPUT).empty());
  EXPECT_TRUE(board_.WritesTo(REG_GPIO_B_OUTPUT).empty());
}

TEST_F(CustomPropertyTest, InstanceAndVirtualDeviceWords) {
  Start();
  Set(600, 1);
  EXPECT_EQ(Get(600), 1u);
  // Clone filters off: the decoder status gives the filter's channel bit at once.
  Dev()->m_nAnalogVideoDecoderStatus = 0x5;
  Set(500, 2);
  EXPECT_EQ(Get(230), 5u);
  Set(500, 0);
  EXPECT_EQ(Get(230), 1u);
  // The virtual capture commands are accepted, set only.
  ULONG cmd = 1;
  EXPECT_EQ(Set(filter_, 601, &cmd, 4), STATUS_SUCCESS);
  EXPECT_EQ(Get(filter_, 602, &cmd, 4), STATUS_NOT_FOUND);
}

}  // namespace
}  // namespace vorlix_test
