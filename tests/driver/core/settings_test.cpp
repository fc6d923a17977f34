// The settings table, and the load and save of the device's settings against the
// machine's registry and its file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <optional>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/core/device.h"
#include "driver/core/settings_table.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"

namespace {

namespace pk = platform::kernel;

constexpr ULONG kRegistryTag = MakePoolTag("Wdm ");
constexpr ULONG kStringTag = MakePoolTag("Strg");
constexpr ULONG kFlag = 0x08000000;

const SettingsTableEntry* Find(std::u16string_view name) {
  for (const SettingsTableEntry& e : SettingsTable)
    if (name == e.Name) return &e;
  return nullptr;
}

std::u16string Widen(const char* s) {
  std::u16string out;
  while (*s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s++)));
  return out;
}

std::u16string ChannelName(const SettingsTableEntry& e, ULONG channel) {
  return Widen(e.AnsiName) + static_cast<char16_t>(u'A' + channel);
}

bool IsFixed(const SettingsTableEntry& e) { return e.Scope == SETTING_SCOPE_SINGLE || e.Scope == SETTING_SCOPE_TUNER; }

// ---- The table against the interface ------------------------------------------------

TEST(SettingsTable, CountsAreTheInterfaceWithInstalledSystems) {
  ULONG fixed = 0, fixedSaved = 0, fam16 = 0, fam16Saved = 0, fam32 = 0, fam32Saved = 0, directory = 0;
  for (const SettingsTableEntry& e : SettingsTable) {
    bool saved = e.Save != SETTING_SAVE_NO;
    switch (e.Scope) {
      case SETTING_SCOPE_SINGLE:
      case SETTING_SCOPE_TUNER:
        fixed++, fixedSaved += saved;
        break;
      case SETTING_SCOPE_CHANNELS16:
        fam16++, fam16Saved += saved;
        break;
      case SETTING_SCOPE_CHANNELS32:
        fam32++, fam32Saved += saved;
        break;
      case SETTING_SCOPE_DIRECTORY:
        directory++;
        break;
    }
  }
  EXPECT_EQ(fixed, 197u);
  EXPECT_EQ(fixedSaved, 103u);
  EXPECT_EQ(fam16, 20u);
  EXPECT_EQ(fam16Saved, 20u);
  EXPECT_EQ(fam32, 37u);
  EXPECT_EQ(fam32Saved, 29u);
  EXPECT_EQ(directory, 1u);
  // One load: 197 + 16 x 20 + 32 x 37 + 1 reads; one save: 103 + 17 x 20 + 33 x 29 writes.
  EXPECT_EQ(fixed + 16 * fam16 + 32 * fam32 + directory, 1702u);
  EXPECT_EQ(fixedSaved + 17 * fam16Saved + 33 * fam32Saved, 1400u);
}

TEST(SettingsTable, RowsTypedInFromTheSettingsList) {
  struct Row {
    const char16_t* name;
    SettingScope scope;
    ULONG offset;
    ULONG defaultValue;
    SettingSave save;
  } rows[] = {
      {u"DigitalTunerDemodulationTypePropertyA", SETTING_SCOPE_TUNER,
       offsetof(CDeviceSettings, m_aDigitalTuner[0].DemodulationType), 23, SETTING_SAVE_NO},
      {u"DigitalTunerEncryptKeyB2", SETTING_SCOPE_TUNER, offsetof(CDeviceSettings, m_aDigitalTuner[1].EncryptKey[2]),
       0xA4C8163E, SETTING_SAVE_YES},
      {u"DigitalTunerCurrentFrequencyProperty", SETTING_SCOPE_TUNER,
       offsetof(CDeviceSettings, m_aDigitalTuner[0].CurrentFrequency), 545000, SETTING_SAVE_YES},
      {u"AnalogCameraControlIrisProperty", SETTING_SCOPE_SINGLE, offsetof(CDeviceSettings, m_nAnalogCameraControlIris),
       128, SETTING_SAVE_YES},
      {u"AnalogCrossbarVideoInputAutoScanProperty", SETTING_SCOPE_SINGLE,
       offsetof(CDeviceSettings, m_nAnalogCrossbarVideoInputAutoScan), 0, SETTING_SAVE_FLAG_CLEARED},
      {u"AnalogAudioVolumeLevelProperty1", SETTING_SCOPE_SINGLE,
       offsetof(CDeviceSettings, m_nAnalogAudioVolumeLevel[1]), ULONG(-500000), SETTING_SAVE_YES},
      {u"AnalogTunerCountryProperty", SETTING_SCOPE_SINGLE, offsetof(CDeviceSettings, m_nAnalogTunerCountry), 886,
       SETTING_SAVE_YES},
      {u"CustomAnalogVideoSwitchResolutionTablePropertyC", SETTING_SCOPE_SINGLE,
       offsetof(CDeviceSettings, m_nAnalogVideoSwitchResolutionTable[2]), 0, SETTING_SAVE_YES},
      {u"CustomAnalogVideoColorRangeProperty", SETTING_SCOPE_SINGLE,
       offsetof(CDeviceSettings, m_nAnalogVideoColorRange), 0x10000, SETTING_SAVE_YES},
      {u"CustomAnalogVideoSdiSingalStatusProperty", SETTING_SCOPE_SINGLE,
       offsetof(CDeviceSettings, m_nAnalogVideoSdiSingalStatus), 0, SETTING_SAVE_NO},
      {u"CustomSoftwareWatchdogDurationProperty", SETTING_SCOPE_SINGLE,
       offsetof(CDeviceSettings, m_nSoftwareWatchdogDuration), 180, SETTING_SAVE_LOW8},
      {u"CustomCompanyQuorinProperty", SETTING_SCOPE_SINGLE, offsetof(CDeviceSettings, m_nCompanyQuorin), 0,
       SETTING_SAVE_YES},
      {u"CustomCompanyYuy2Property", SETTING_SCOPE_SINGLE, offsetof(CDeviceSettings, m_nCompanyYuy2), 0,
       SETTING_SAVE_NO},
      {u"CustomAnalogVideoDemiseTypeProperty", SETTING_SCOPE_CHANNELS16,
       offsetof(CDeviceSettings, m_nAnalogVideoDemiseType), 1, SETTING_SAVE_FLAG_CLEARED},
      {u"AnalogVideoProcAmpSharpnessProperty", SETTING_SCOPE_CHANNELS16,
       offsetof(CDeviceSettings, m_nAnalogVideoProcAmpSharpness), 128, SETTING_SAVE_FLAG_CLEARED},
      {u"AnalogVideoCompressionPfrmesPerKeyframeProperty", SETTING_SCOPE_CHANNELS32,
       offsetof(CDeviceSettings, m_nAnalogVideoCompressionPfrmesPerKeyframe), 3, SETTING_SAVE_FLAG_CLEARED},
      {u"CustomEncoderVideoBitRateProperty", SETTING_SCOPE_CHANNELS32,
       offsetof(CDeviceSettings, m_nEncoderVideoBitRate), 4000000, SETTING_SAVE_FLAG_CLEARED},
      {u"CustomEncoderVideoLevelProperty", SETTING_SCOPE_CHANNELS32, offsetof(CDeviceSettings, m_nEncoderVideoLevel),
       41, SETTING_SAVE_FLAG_CLEARED},
      {u"CustomEncoderVideoCropHProperty", SETTING_SCOPE_CHANNELS32, offsetof(CDeviceSettings, m_nEncoderVideoCropH), 0,
       SETTING_SAVE_NO},
      {u"CustomMotionSpeedProperty", SETTING_SCOPE_CHANNELS32, offsetof(CDeviceSettings, m_nMotionSpeed), 0,
       SETTING_SAVE_FLAG_CLEARED},
  };
  CDeviceSettings plain{};
  for (const Row& r : rows) {
    const SettingsTableEntry* e = Find(r.name);
    ASSERT_NE(e, nullptr) << pk::RegistryNarrow(r.name);
    SCOPED_TRACE(pk::RegistryNarrow(r.name));
    EXPECT_EQ(e->Scope, r.scope);
    EXPECT_EQ(e->Offset, r.offset);
    EXPECT_EQ(SettingsTableDefault(&plain, *e), r.defaultValue);
    EXPECT_EQ(e->Save, r.save);
    EXPECT_EQ(Widen(e->AnsiName), std::u16string(e->Name));
  }
  const SettingsTableEntry* tech = Find(u"CustomProcessorTechnologyProperty");
  ASSERT_NE(tech, nullptr);
  EXPECT_EQ(tech->DefaultSource, SETTING_DEFAULT_MEMBER);
  EXPECT_EQ(tech->Save, SETTING_SAVE_LOW16);
  for (const char16_t* counter : {u"CustomAnalogVideoTotalOutputFrames", u"CustomAnalogAudioTotalOutputFrames",
                                  u"CustomAnalogAudioTotalOutputBytes"}) {
    const SettingsTableEntry* e = Find(counter);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Kind, SETTING_KIND_COUNTER64);
    EXPECT_EQ(e->Save, SETTING_SAVE_NO);
  }
  const SettingsTableEntry* dir = Find(u"CustomDeviceInfoDirectoryProperty");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir->Offset, offsetof(CDeviceSettings, m_szDeviceInfoDirectory));
}

// Every registry name is distinct (ignoring case, as the registry does), and every byte
// of the settings is held by exactly one member row, so no member is loaded twice or never.
TEST(SettingsTable, NamesAreDistinctAndEveryMemberHasOneRow) {
  std::set<std::u16string> names;
  auto fold = [](std::u16string s) {
    for (char16_t& c : s)
      if (c >= u'a' && c <= u'z') c -= 32;
    return s;
  };
  std::vector<int> owner(offsetof(CDeviceSettings, m_nProcAmpDefaultSet), 0);
  auto claim = [&](ULONG offset, ULONG bytes) {
    for (ULONG i = 0; i < bytes; ++i) owner.at(offset + i)++;
  };
  std::map<ULONG, int> fixedRows;  // offset -> rows naming it
  for (const SettingsTableEntry& e : SettingsTable) {
    ULONG channels = SettingsChannelCount(e);
    EXPECT_TRUE(names.insert(fold(e.Name)).second) << pk::RegistryNarrow(e.Name);
    for (ULONG c = 0; c < channels; ++c)
      EXPECT_TRUE(names.insert(fold(ChannelName(e, c))).second) << pk::RegistryNarrow(ChannelName(e, c));
    if (e.Scope == SETTING_SCOPE_DIRECTORY)
      claim(e.Offset, 512);
    else if (channels)
      claim(e.Offset, 4 * channels);
    else if (e.Kind == SETTING_KIND_COUNTER64)
      claim(e.Offset, 8);
    else
      fixedRows[e.Offset]++;
  }
  EXPECT_EQ(names.size(), 197u + 57u + 1u + 20u * 16u + 37u * 32u);
  // Tuner 0's words are named twice (bare and "A"); every other member once.
  for (const auto& [offset, rows] : fixedRows) {
    EXPECT_EQ(rows, offset < sizeof(DigitalTunerSettings) ? 2 : 1) << "offset " << offset;
    claim(offset, 4);
  }
  for (size_t i = 0; i < owner.size(); ++i) {
    // Only the alignment gap before a 64-bit counter may be unowned.
    bool padding = owner[i] == 0 && (i | 3) + 1 < owner.size() && ((i | 3) + 1) % 8 == 0 && owner[(i | 3) + 1] == 1;
    if (!padding) {
      EXPECT_EQ(owner[i], 1) << "byte " << i;
    }
  }
}

// ---- Load and save ---------------------------------------------------------------------

// The settings tests construct the object as Add does and return the block without
// running member destructors: nothing here holds a resource, and the parameter sets'
// destructors belong to the driver's own (run-time-type-free) objects.
struct DeviceDeleter {
  void operator()(CDevice* d) const { std::free(d); }
};
using DevicePtr = std::unique_ptr<CDevice, DeviceDeleter>;

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    pk::ClearPoolFaults();
    pk::RegistryReset();
    pdo_.HostInstance = 0;
    key_ = pk::RegistryDriverKeyPath(0);
    dir_ = std::filesystem::temp_directory_path() / ("settings_test." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    pk::ClearPoolFaults();
    EXPECT_EQ(pk::RegistryOpenKeyCount(), 0u);
    EXPECT_EQ(pk::PoolStats(kRegistryTag).liveBlocks, 0);
    EXPECT_EQ(pk::PoolStats(kStringTag).liveBlocks, 0);
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
    pk::RegistryReset();
    std::filesystem::remove_all(dir_);
  }

  // A device object as Add makes it (zero-filled, constructed), with its PDO set.
  DevicePtr NewDevice(bool withPdo = true) {
    void* block = std::aligned_alloc(64, (sizeof(CDevice) + 63) / 64 * 64);
    std::memset(block, 0, sizeof(CDevice));
    DevicePtr d(new (block) CDevice);
    if (withPdo) d->m_pPhysicalDeviceObject = &pdo_;
    return d;
  }
  DevicePtr LoadedDevice() {
    DevicePtr d = NewDevice();
    EXPECT_TRUE(d->PresetSettings());
    d->LoadSettings();
    return d;
  }
  static ULONG& Word(CDevice* d, ULONG offset, ULONG index = 0) {
    return *reinterpret_cast<ULONG*>(reinterpret_cast<UCHAR*>(static_cast<CDeviceSettings*>(d)) + offset + 4 * index);
  }
  static ULONGLONG& Counter(CDevice* d, ULONG offset) {
    return *reinterpret_cast<ULONGLONG*>(reinterpret_cast<UCHAR*>(static_cast<CDeviceSettings*>(d)) + offset);
  }
  std::optional<ULONG> Stored(std::u16string_view name) {
    auto v = pk::RegistryGetValue(key_, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
    ULONG d;
    std::memcpy(&d, v->data.data(), 4);
    return d;
  }
  std::string Export() {
    std::string bytes, error;
    EXPECT_TRUE(pk::RegistryExport(&bytes, &error)) << error;
    return bytes;
  }

  DEVICE_OBJECT pdo_{};
  std::u16string key_;
  std::filesystem::path dir_;
};

TEST_F(Settings, EmptyKeyLoadsEveryDefault) {
  pk::RegistryClearAccessLog();
  DevicePtr d = LoadedDevice();
  EXPECT_EQ(pk::RegistryAccessCount(pk::RegistryOperation::Query), 1702u);
  EXPECT_EQ(pk::RegistryAccessCount(pk::RegistryOperation::Set), 0u);

  for (const SettingsTableEntry& e : SettingsTable) {
    SCOPED_TRACE(pk::RegistryNarrow(e.Name));
    if (e.Kind == SETTING_KIND_COUNTER64) {
      EXPECT_EQ(Counter(d.get(), e.Offset), 0u);
    } else if (e.Kind == SETTING_KIND_DWORD) {
      for (ULONG c = 0; c < std::max(1u, SettingsChannelCount(e)); ++c)
        EXPECT_EQ(Word(d.get(), e.Offset, c), SettingsTableDefault(d.get(), e));
    }
  }
  for (int c = 0; c < 32; ++c) {
    EXPECT_EQ(d->m_nEncoderVideoBitRate[c], 4000000u);
    EXPECT_EQ(d->m_nEncoderVideoGop[c], 30u);
  }
  EXPECT_EQ(d->m_nAnalogCrossbarAudioInput, 3u);
  EXPECT_EQ(d->m_nAnalogAudioSampleFrequency, 48000u);
  EXPECT_EQ(d->m_nAnalogAudioVolumeLevel[1], -500000);
  EXPECT_EQ(d->m_aDigitalTuner[1].EncryptKey[3], 0x7F0259DBu);
  EXPECT_EQ(d->m_nProcessorTechnology, 0x007F0003u);
  EXPECT_EQ(std::u16string(d->m_szDeviceInfoDirectory), u"\\??\\C:\\WINDOWS\\VORLIX\\");
  // Loading creates nothing in the key.
  EXPECT_TRUE(pk::RegistryValues(key_).empty());
}

TEST_F(Settings, SaveWritesExactlyTheSavedSetAndItsFileReloadsToTheSameFile) {
  DevicePtr d = LoadedDevice();
  pk::RegistryClearAccessLog();
  EXPECT_EQ(d->SaveSettings(), STATUS_SUCCESS);
  EXPECT_EQ(pk::RegistryAccessCount(pk::RegistryOperation::Set), 1400u);

  std::set<std::u16string> expected;
  for (const SettingsTableEntry& e : SettingsTable) {
    if (e.Save == SETTING_SAVE_NO) continue;
    if (IsFixed(e)) {
      expected.insert(e.Name);
      continue;
    }
    expected.insert(e.Name);  // channel 0's bare name
    for (ULONG c = 0; c < SettingsChannelCount(e); ++c) expected.insert(ChannelName(e, c));
  }
  auto values = pk::RegistryValues(key_);
  ASSERT_EQ(values.size(), 1400u);
  std::set<std::u16string> written;
  for (const auto& v : values) {
    written.insert(v.name);
    EXPECT_EQ(v.type, ULONG(REG_DWORD));
    EXPECT_EQ(v.data.size(), 4u);
  }
  EXPECT_EQ(written, expected);
  EXPECT_EQ(Stored(u"CustomProcessorTechnologyProperty"), 3u);
  EXPECT_EQ(Stored(u"CustomEncoderVideoBitRateProperty`"), 4000000u);
  EXPECT_FALSE(Stored(u"CustomEncoderVideoCropXPropertyA"));
  EXPECT_FALSE(Stored(u"AnalogVideoProcAmpGainPropertyQ"));

  std::string path = (dir_ / "registry.reg").string(), error;
  ASSERT_TRUE(pk::RegistrySaveFile(path, &error)) << error;
  std::string first = Export();

  pk::RegistryReset();
  ASSERT_TRUE(pk::RegistryLoadFile(path, &error)) << error;
  DevicePtr again = LoadedDevice();
  EXPECT_EQ(again->SaveSettings(), STATUS_SUCCESS);
  EXPECT_EQ(Export(), first);
}

// Every value of the table changed from its default, in the key and then through the
// file: every member receives it. The bare names of tuner 0 and of channel 0 hold
// decoys the load must not take.
TEST_F(Settings, EveryChangedValueReachesItsMember) {
  std::map<ULONG, ULONG> expectedWord;  // offset -> value
  ULONG next = 0x1000;
  const ULONG preset = 0x007F0003;
  for (const SettingsTableEntry& e : SettingsTable) {
    if (e.Scope == SETTING_SCOPE_DIRECTORY) continue;
    ULONG channels = SettingsChannelCount(e);
    if (!channels) {
      ULONG v = next += 7;
      pk::RegistrySetDword(key_, e.Name, v);
      if (e.Kind == SETTING_KIND_MERGE_LOW) v = (preset & 0xFFFF0000) | v;
      expectedWord[e.Offset] = v;  // a later row for the same member ("A" after bare) wins
      continue;
    }
    pk::RegistrySetDword(key_, e.Name, 0xDEC0);
    for (ULONG c = 0; c < channels; ++c) {
      ULONG v = next += 7;
      pk::RegistrySetDword(key_, ChannelName(e, c), v);
      expectedWord[e.Offset + 4 * c] = v;
    }
  }
  pk::RegistrySetDword(key_, u"CustomAnalogAudioTotalOutputBytes", 0xFFFFFFF0);
  pk::RegistrySetString(key_, u"CustomDeviceInfoDirectoryProperty", u"D:\\fw\\");

  auto check = [&](CDevice* d) {
    for (const auto& [offset, value] : expectedWord) {
      const SettingsTableEntry* counter = nullptr;
      for (const SettingsTableEntry& e : SettingsTable)
        if (e.Kind == SETTING_KIND_COUNTER64 && e.Offset == offset) counter = &e;
      if (counter) {
        ULONGLONG want =
            counter->Name == std::u16string_view(u"CustomAnalogAudioTotalOutputBytes") ? 0xFFFFFFF0ull : value;
        EXPECT_EQ(Counter(d, offset), want) << pk::RegistryNarrow(counter->Name);
      } else {
        EXPECT_EQ(Word(d, offset), value) << "member at offset " << offset;
      }
    }
    EXPECT_EQ(std::u16string(d->m_szDeviceInfoDirectory), u"D:\\fw\\");
  };
  {
    SCOPED_TRACE("from the key");
    check(LoadedDevice().get());
  }
  std::string path = (dir_ / "registry.reg").string(), error;
  ASSERT_TRUE(pk::RegistrySaveFile(path, &error)) << error;
  pk::RegistryReset();
  ASSERT_TRUE(pk::RegistryLoadFile(path, &error)) << error;
  {
    SCOPED_TRACE("from the file");
    check(LoadedDevice().get());
  }
}

TEST_F(Settings, SaveRulesSurviveTheFile) {
  DevicePtr d = LoadedDevice();
  d->m_nEncoderVideoGop[27] = kFlag | 45;
  d->m_nEncoderVideoGop[0] = kFlag | 50;
  d->m_nAnalogCrossbarVideoInput = kFlag | 2;
  d->m_nAnalogCrossbarVideoOutput = kFlag | 1;
  d->m_nProcessorTechnology = 0x007F0005;
  d->m_nSoftwareWatchdogDuration = 0x80000000 | 300;
  d->m_nAnalogVideoDecoderStatus = 1;
  d->m_nEncoderVideoCropX[0] = 7;
  d->m_nCompanyLarkmoor = 1;
  d->m_nCompanyQuorin = 9;
  d->m_aDigitalTuner[1].Bandwidth = 8;
  d->m_nAnalogVideoTotalOutputFrames = 77;
  ASSERT_EQ(d->SaveSettings(), STATUS_SUCCESS);

  std::string path = (dir_ / "registry.reg").string(), error;
  ASSERT_TRUE(pk::RegistrySaveFile(path, &error)) << error;
  pk::RegistryReset();
  ASSERT_TRUE(pk::RegistryLoadFile(path, &error)) << error;

  EXPECT_EQ(pk::RegistryValues(key_).size(), 1400u);
  EXPECT_EQ(Stored(u"CustomEncoderVideoGopProperty\\"), 45u);
  EXPECT_EQ(Stored(u"CustomEncoderVideoGopPropertyA"), 50u);
  EXPECT_EQ(Stored(u"CustomEncoderVideoGopProperty"), 50u);
  EXPECT_EQ(Stored(u"AnalogCrossbarVideoInputProperty"), 2u);
  EXPECT_EQ(Stored(u"AnalogCrossbarVideoOutputProperty"), kFlag | 1);
  EXPECT_EQ(Stored(u"CustomProcessorTechnologyProperty"), 5u);
  EXPECT_EQ(Stored(u"CustomSoftwareWatchdogDurationProperty"), 44u);
  EXPECT_EQ(Stored(u"DigitalTunerBandwidthPropertyB"), 8u);
  EXPECT_FALSE(Stored(u"CustomEncoderVideoCropXPropertyA"));
  EXPECT_FALSE(Stored(u"CustomCompanyLarkmoorProperty"));
  EXPECT_FALSE(Stored(u"CustomAnalogVideoTotalOutputFrames"));

  DevicePtr again = LoadedDevice();
  EXPECT_EQ(again->m_nProcessorTechnology, 0x007F0005u);
  EXPECT_EQ(again->m_nSoftwareWatchdogDuration, 44u);
  EXPECT_EQ(again->m_nEncoderVideoGop[27], 45u);
  EXPECT_EQ(again->m_nEncoderVideoGop[0], 50u);
  EXPECT_EQ(again->m_nAnalogCrossbarVideoOutput, kFlag | 1);
  EXPECT_EQ(again->m_nCompanyQuorin, 9u);
  EXPECT_EQ(again->m_aDigitalTuner[1].Bandwidth, 8u);
  EXPECT_EQ(again->m_aDigitalTuner[0].Bandwidth, 6u);
  EXPECT_EQ(again->m_nAnalogVideoDecoderStatus, 0u);
  EXPECT_EQ(again->m_nEncoderVideoCropX[0], 0u);
  EXPECT_EQ(again->m_nCompanyLarkmoor, 0u);
  EXPECT_EQ(again->m_nAnalogVideoTotalOutputFrames, 0u);
}

TEST_F(Settings, WatchdogAndProcessorTechnologyWidths) {
  struct Case {
    ULONG watchdog, savedWatchdog;
    ULONG technology, savedTechnology, reloadedTechnology;
  } cases[] = {
      {180, 180, 0x007F0003, 3, 0x007F0003},
      {256, 0, 0x007F0003, 3, 0x007F0003},
      {300, 44, 0x12345678, 0x5678, 0x007F5678},
  };
  for (const Case& c : cases) {
    pk::RegistryReset();
    DevicePtr d = LoadedDevice();
    d->m_nSoftwareWatchdogDuration = c.watchdog;
    d->m_nProcessorTechnology = c.technology;
    d->SaveSettings();
    EXPECT_EQ(Stored(u"CustomSoftwareWatchdogDurationProperty"), c.savedWatchdog);
    EXPECT_EQ(Stored(u"CustomProcessorTechnologyProperty"), c.savedTechnology);
    EXPECT_EQ(LoadedDevice()->m_nProcessorTechnology, c.reloadedTechnology);
  }
  // A stored value's high half is ORed into the preset's.
  pk::RegistryReset();
  pk::RegistrySetDword(key_, u"CustomProcessorTechnologyProperty", 0x12345678);
  EXPECT_EQ(LoadedDevice()->m_nProcessorTechnology, 0x127F5678u);
}

TEST_F(Settings, ReadRules) {
  struct Case {
    const char* what;
    std::u16string name;
    ULONG type;
    std::vector<UCHAR> data;
    ULONG CDeviceSettings::*member;
    ULONG (CDeviceSettings::*array)[32];
    ULONG index;
    ULONG expected;
  };
  const std::vector<UCHAR> dword60 = {60, 0, 0, 0}, dword90 = {90, 0, 0, 0};
  Case cases[] = {
      {"bare name of channel 0 is not read", u"CustomEncoderVideoGopProperty", REG_DWORD, dword90, nullptr,
       &CDeviceSettings::m_nEncoderVideoGop, 0, 30},
      {"REG_BINARY of 4 bytes",
       u"CustomEncoderVideoGopPropertyB",
       REG_BINARY,
       {0x44, 0x33, 0x22, 0x11},
       nullptr,
       &CDeviceSettings::m_nEncoderVideoGop,
       1,
       0x11223344},
      {"REG_SZ \"12\" is 6 bytes",
       u"CustomEncoderVideoGopPropertyC",
       REG_SZ,
       {'1', 0, '2', 0, 0, 0},
       nullptr,
       &CDeviceSettings::m_nEncoderVideoGop,
       2,
       30},
      {"2 bytes zero-extend",
       u"CustomEncoderVideoGopPropertyD",
       REG_DWORD,
       {0x12, 0x34},
       nullptr,
       &CDeviceSettings::m_nEncoderVideoGop,
       3,
       0x3412},
      {"5 bytes are too long",
       u"CustomEncoderVideoGopPropertyE",
       REG_DWORD,
       {1, 0, 0, 0, 0},
       nullptr,
       &CDeviceSettings::m_nEncoderVideoGop,
       4,
       30},
      {"no bytes",
       u"CustomEncoderVideoGopPropertyF",
       REG_BINARY,
       {},
       nullptr,
       &CDeviceSettings::m_nEncoderVideoGop,
       5,
       0},
      {"channel 26", u"CustomEncoderVideoGopProperty[", REG_DWORD, dword60, nullptr,
       &CDeviceSettings::m_nEncoderVideoGop, 26, 60},
      {"channel 27", u"CustomEncoderVideoGopProperty\\", REG_DWORD, dword60, nullptr,
       &CDeviceSettings::m_nEncoderVideoGop, 27, 60},
      {"channel 28", u"CustomEncoderVideoGopProperty]", REG_DWORD, dword60, nullptr,
       &CDeviceSettings::m_nEncoderVideoGop, 28, 60},
      {"channel 31", u"CustomEncoderVideoGopProperty`", REG_DWORD, dword60, nullptr,
       &CDeviceSettings::m_nEncoderVideoGop, 31, 60},
      {"names ignore case", u"customencodervideogoppropertyg", REG_DWORD, dword60, nullptr,
       &CDeviceSettings::m_nEncoderVideoGop, 6, 60},
      {"a fixed value", u"AnalogTunerCountryProperty", REG_DWORD, dword90, &CDeviceSettings::m_nAnalogTunerCountry,
       nullptr, 0, 90},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    pk::RegistryReset();
    pk::RegistrySetValue(key_, c.name, c.type, c.data.data(), c.data.size());
    DevicePtr d = LoadedDevice();
    ULONG got = c.member ? d.get()->*c.member : (d.get()->*c.array)[c.index];
    EXPECT_EQ(got, c.expected);
  }

  // "A" wins over the bare name for channel 0.
  pk::RegistryReset();
  pk::RegistrySetDword(key_, u"CustomEncoderVideoGopPropertyA", 60);
  pk::RegistrySetDword(key_, u"CustomEncoderVideoGopProperty", 90);
  EXPECT_EQ(LoadedDevice()->m_nEncoderVideoGop[0], 60u);

  // Tuners: the bare name alone never decides; "B" fills tuner 1.
  pk::RegistryReset();
  pk::RegistrySetDword(key_, u"DigitalTunerCurrentFrequencyProperty", 1);
  pk::RegistrySetDword(key_, u"DigitalTunerCurrentFrequencyPropertyB", 2);
  pk::RegistrySetDword(key_, u"DigitalTunerEncryptKeyA1", 3);
  DevicePtr d = LoadedDevice();
  EXPECT_EQ(d->m_aDigitalTuner[0].CurrentFrequency, 545000u);
  EXPECT_EQ(d->m_aDigitalTuner[1].CurrentFrequency, 2u);
  EXPECT_EQ(d->m_aDigitalTuner[0].EncryptKey[1], 3u);
  EXPECT_EQ(d->m_aDigitalTuner[1].EncryptKey[1], 0x2B7D04F6u);

  // The 16-channel families stop at 'P'.
  pk::RegistryClearAccessLog();
  d->LoadSettings();
  for (const auto& a : pk::RegistryAccessLog()) EXPECT_NE(a.value, u"CustomAnalogVideoDeinterlaceTypePropertyQ");

  // A counter reads zero-extended.
  pk::RegistrySetDword(key_, u"CustomAnalogVideoTotalOutputFrames", 0xFFFFFFFF);
  d->LoadSettings();
  EXPECT_EQ(d->m_nAnalogVideoTotalOutputFrames, 0xFFFFFFFFull);
}

TEST_F(Settings, DeviceInfoDirectory) {
  const std::u16string def = u"\\??\\C:\\WINDOWS\\VORLIX\\";
  std::vector<char16_t> full(256, u'x');  // 512 bytes, no terminator
  std::vector<char16_t> over(257, u'y');  // 514 bytes
  struct Case {
    const char* what;
    std::vector<char16_t> data;
    ULONG type;
    std::u16string expected;
  } cases[] = {
      {"a path", {u'D', u':', u'\\', u'f', u'w', u'\\', 0}, REG_SZ, u"D:\\fw\\"},
      {"512 bytes without a terminator", full, REG_SZ, std::u16string(255, u'x')},
      {"longer than 512 bytes", over, REG_SZ, def},
      {"4 bytes of a dword", {u'Q', u'R'}, REG_DWORD, u"QR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    pk::RegistryReset();
    pk::RegistrySetValue(key_, u"CustomDeviceInfoDirectoryProperty", c.type, c.data.data(), c.data.size() * 2);
    DevicePtr d = NewDevice();
    std::fill(std::begin(d->m_szDeviceInfoDirectory), std::end(d->m_szDeviceInfoDirectory), u'#');
    d->PresetSettings();
    d->LoadSettings();
    EXPECT_EQ(std::u16string(d->m_szDeviceInfoDirectory), c.expected);
    EXPECT_EQ(d->m_szDeviceInfoDirectory[255], 0);
  }

  // The key cannot be opened for the directory read (the last of the load's 1,702 opens).
  pk::RegistryReset();
  pk::RegistrySetString(key_, u"CustomDeviceInfoDirectoryProperty", u"D:\\fw\\");
  pk::RegistryInjectFault(pk::RegistryOperation::Open, {1701, 1, 1, (NTSTATUS)0xC0000022L});
  EXPECT_EQ(std::u16string(LoadedDevice()->m_szDeviceInfoDirectory), def);

  // Pool exhausted for the directory's query buffer.
  pk::RegistryClearFaults();
  DevicePtr d = NewDevice();
  pk::FailAllocationsWithTag(kRegistryTag);
  UCHAR raw[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(d->ReadRegistryBinary(u"CustomDeviceInfoDirectoryProperty", raw, sizeof raw), STATUS_NO_MEMORY);
  d->LoadSettings();
  pk::ClearPoolFaults();
  EXPECT_EQ(std::u16string(d->m_szDeviceInfoDirectory), def);

  // A value longer than the buffer does not fit, and nothing is copied.
  EXPECT_EQ(d->ReadRegistryBinary(u"CustomDeviceInfoDirectoryProperty", raw, sizeof raw), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(raw[0], 1);
  EXPECT_EQ(raw[7], 8);
  // A shorter one: its own bytes, then zeros.
  UCHAR big[32];
  std::memset(big, 0xEE, sizeof big);
  EXPECT_EQ(d->ReadRegistryBinary(u"CustomDeviceInfoDirectoryProperty", big, sizeof big), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(big, u"D:\\fw\\", 14), 0);
  for (size_t i = 14; i < sizeof big; ++i) EXPECT_EQ(big[i], 0) << i;
}

TEST_F(Settings, FailuresFallBackToDefaults) {
  // The key cannot be opened at all: defaults (not zero), and the save writes nothing.
  pk::RegistrySetDword(key_, u"CustomEncoderVideoGopPropertyA", 60);
  pk::RegistryInjectFault(pk::RegistryOperation::Open, {0, 1, 0, (NTSTATUS)0xC0000022L});
  DevicePtr d = LoadedDevice();
  EXPECT_EQ(d->m_nEncoderVideoGop[0], 30u);
  EXPECT_EQ(d->m_nAnalogTunerCountry, 886u);
  EXPECT_EQ(d->m_nProcessorTechnology, 0x007F0003u);
  EXPECT_EQ(d->ReadRegistryDword(u"CustomEncoderVideoGopPropertyA", 5), 5u);
  EXPECT_EQ(d->WriteRegistryDword(u"X", 1), (NTSTATUS)0xC0000022L);
  EXPECT_EQ(d->SaveSettings(), STATUS_SUCCESS);
  pk::RegistryClearFaults();
  EXPECT_EQ(pk::RegistryValues(key_).size(), 1u);

  // Every 10th write fails: the other 1,260 are still written.
  pk::RegistryReset();
  pk::RegistryInjectFault(pk::RegistryOperation::Set, {9, 10, 0, (NTSTATUS)0xC0000022L});
  EXPECT_EQ(LoadedDevice()->SaveSettings(), STATUS_SUCCESS);
  EXPECT_EQ(pk::RegistryValues(key_).size(), 1260u);

  // A failing query reads the default.
  pk::RegistryReset();
  pk::RegistrySetDword(key_, u"AnalogTunerCountryProperty", 1);
  pk::RegistryInjectFault(pk::RegistryOperation::Query, {0, 1, 0, STATUS_UNSUCCESSFUL});
  EXPECT_EQ(LoadedDevice()->m_nAnalogTunerCountry, 886u);
  pk::RegistryClearFaults();

  // Pool exhausted for a query buffer: the default.
  d = LoadedDevice();
  pk::FailNthAllocation(1, kRegistryTag);
  EXPECT_EQ(d->ReadRegistryDword(u"AnalogTunerCountryProperty", 7), 7u);
  EXPECT_EQ(d->ReadRegistryDword(u"AnalogTunerCountryProperty", 7), 1u);

  // Per-channel names that cannot be converted: missing on load, skipped on save.
  pk::RegistryReset();
  pk::RegistrySetDword(key_, u"CustomEncoderVideoGopPropertyB", 61);
  d = NewDevice();
  d->PresetSettings();
  pk::FailAllocationsWithTag(kStringTag);
  d->LoadSettings();
  EXPECT_EQ(d->m_nEncoderVideoGop[1], 30u);
  EXPECT_EQ(d->SaveSettings(), STATUS_SUCCESS);
  pk::ClearPoolFaults();
  EXPECT_EQ(pk::RegistryValues(key_).size(), 1u + 103u);
}

TEST_F(Settings, WithoutAPhysicalDeviceObjectNothingTouchesTheRegistry) {
  pk::RegistrySetDword(key_, u"AnalogTunerCountryProperty", 1);
  DevicePtr d = NewDevice(false);
  pk::RegistryClearAccessLog();
  EXPECT_EQ(d->ReadRegistryDword(u"AnalogTunerCountryProperty", 7), 0u);
  UCHAR raw[4] = {9, 9, 9, 9};
  EXPECT_EQ(d->ReadRegistryBinary(u"AnalogTunerCountryProperty", raw, 4), STATUS_SUCCESS);
  EXPECT_EQ(raw[0], 9);
  EXPECT_EQ(d->WriteRegistryDword(u"AnalogTunerCountryProperty", 2), STATUS_SUCCESS);
  d->m_szDeviceInfoDirectory[0] = u'Z';
  d->LoadSettings();
  EXPECT_EQ(d->m_szDeviceInfoDirectory[0], u'Z');
  EXPECT_EQ(d->SaveSettings(), STATUS_SUCCESS);
  EXPECT_TRUE(pk::RegistryAccessLog().empty());
  EXPECT_EQ(Stored(u"AnalogTunerCountryProperty"), 1u);
}

TEST_F(Settings, WriteRegistryDwordStoresOneDword) {
  DevicePtr d = NewDevice();
  EXPECT_EQ(d->WriteRegistryDword(u"CustomDriverTestManagerPlatformProperty",
                                  d->ReadRegistryDword(u"CustomDriverTestManagerPlatformProperty", 0)),
            STATUS_SUCCESS);
  auto v = pk::RegistryGetValue(key_, u"CustomDriverTestManagerPlatformProperty");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->type, ULONG(REG_DWORD));
  EXPECT_EQ(v->data, (std::vector<uint8_t>{0, 0, 0, 0}));
}

// The board family's ProcAmp defaults belong to the device that chose them.
TEST_F(Settings, ProcAmpBoardSets) {
  struct Case {
    ULONG set;
    ULONG brightness, contrast, hue, saturation, sharpness;
  } cases[] = {
      {0, 128, 128, 128, 128, 128}, {1, 128, 105, 128, 128, 16},  {2, 116, 167, 128, 206, 128},
      {3, 120, 113, 128, 206, 128}, {0, 128, 128, 128, 128, 128},  // a plain card after a set-3 card
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set);
    DevicePtr d = NewDevice();
    d->m_nProcAmpDefaultSet = c.set;
    d->PresetSettings();
    d->LoadSettings();
    for (int ch = 0; ch < 16; ++ch) {
      EXPECT_EQ(d->m_nAnalogVideoProcAmpBrightness[ch], c.brightness);
      EXPECT_EQ(d->m_nAnalogVideoProcAmpContrast[ch], c.contrast);
      EXPECT_EQ(d->m_nAnalogVideoProcAmpHue[ch], c.hue);
      EXPECT_EQ(d->m_nAnalogVideoProcAmpSaturation[ch], c.saturation);
      EXPECT_EQ(d->m_nAnalogVideoProcAmpSharpness[ch], c.sharpness);
      EXPECT_EQ(d->m_nAnalogVideoProcAmpGamma[ch], 128u);
      EXPECT_EQ(d->m_nAnalogVideoProcAmpGain[ch], 128u);
    }
    EXPECT_EQ(d->m_nAnalogCameraControlFocus, 128u);
  }
}

// Two filters closing at once save together while a property handler changes a member:
// each written value is the old or the new one, never a mix, and always without the flag.
// The saves begin only once the handler has stored its first value: a loaded machine may
// start the writer's thread after both saves are done, and they would then write the
// loaded default, which says nothing about torn values.
TEST_F(Settings, ConcurrentSavesWriteWholeValues) {
  DevicePtr d = LoadedDevice();
  std::atomic<bool> stop{false};
  std::atomic<bool> writing{false};
  std::thread writer([&] {
    ULONG i = 0;
    while (!stop.load()) {
      __atomic_store_n(&d->m_nEncoderVideoGop[5], (i++ & 1) ? (kFlag | 20u) : 10u, __ATOMIC_RELAXED);
      writing.store(true);
    }
  });
  auto save = [&] {
    while (!writing.load()) std::this_thread::yield();
    for (int i = 0; i < 3; ++i) d->SaveSettings();
  };
  std::thread a(save);
  std::thread b(save);
  a.join();
  b.join();
  stop = true;
  writer.join();
  auto v = Stored(u"CustomEncoderVideoGopPropertyF");
  ASSERT_TRUE(v);
  EXPECT_TRUE(*v == 10u || *v == 20u) << *v;
  EXPECT_EQ(pk::RegistryValues(key_).size(), 1400u);
}

}  // namespace
