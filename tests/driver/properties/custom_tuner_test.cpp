// Digital-tuner properties: the tuner record of a tuner filter, and the caller's own bytes
// back on every other filter.
#include <gtest/gtest.h>

#include <vector>

#include "tests/driver/properties/custom_property_fixture.h"

namespace vorlix_test {
namespace {

TEST_F(CustomPropertyTest, TunerRecordsOnATunerFilter) {
  Start();
  DigitalTunerSettings& b = Dev()->m_aDigitalTuner[1];
  b.Bandwidth = 8;
  b.CurrentFrequency = 545000;
  b.FrequencyMultiplier = 1000;
  b.SignalSnr = 30;
  b.SignalBer = 4;
  b.SignalPer = 5;
  HANDLE tuner = OpenTuner(1);
  ASSERT_NE(tuner, nullptr);
  EXPECT_EQ(Get(300, tuner), 8u);
  EXPECT_EQ(Get(301, tuner), 545000000u);
  EXPECT_EQ(Get(302, tuner), 30u);
  EXPECT_EQ(Get(303, tuner), 4u);
  EXPECT_EQ(Get(304, tuner), 5u);
  // The product keeps its low 32 bits.
  b.CurrentFrequency = 0x10000;
  b.FrequencyMultiplier = 0x10001;
  EXPECT_EQ(Get(301, tuner), 0x10000u);
  ULONG key[4] = {1, 2, 3, 0x88000004};
  EXPECT_EQ(Set(tuner, 310, key, 16), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(b.EncryptKey, b.EncryptKey + 4), std::vector<ULONG>(key, key + 4));
  ULONG back[4] = {};
  EXPECT_EQ(Get(tuner, 310, back, 16), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(back, back + 4), std::vector<ULONG>(key, key + 4));
  // Tuner A's record is a different one.
  HANDLE a = OpenTuner(0);
  Dev()->m_aDigitalTuner[0].Bandwidth = 6;
  EXPECT_EQ(Get(300, a), 6u);
}

TEST_F(CustomPropertyTest, TunerIdsElsewhereLeaveTheBufferAlone) {
  Start();
  HANDLE bad = OpenTuner(2);  // a tuner index outside the two records
  ASSERT_NE(bad, nullptr);
  for (HANDLE f : {filter_, bad}) {
    for (ULONG id : {300u, 301u, 302u, 303u, 304u}) {
      ULONG v = 0xA5A5A5A5;
      EXPECT_EQ(Get(f, id, &v, 4), STATUS_SUCCESS);
      EXPECT_EQ(v, 0xA5A5A5A5u) << id;
    }
    ULONG key[4] = {9, 8, 7, 6};
    EXPECT_EQ(Get(f, 310, key, 16), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(key, key + 4), (std::vector<ULONG>{9, 8, 7, 6}));
    EXPECT_EQ(Set(f, 310, key, 16), STATUS_SUCCESS);
  }
  for (const auto& t : Dev()->m_aDigitalTuner) EXPECT_NE(t.EncryptKey[0], 9u);
}

}  // namespace
}  // namespace vorlix_test
