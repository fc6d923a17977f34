// The page on the real driver: encoder boards started through the Plug and Play harness
// with the driver's own entry, on the jumping test clock; an application opens the
// board's video capture filter through the KS layer, the streaming proxy aggregates the
// plug-in's handler, and every request of the page goes through the KS property dispatch
// into the running device. The tests act as a user would and look at the device.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TESSLIN/custom_property.h"
#include "platform/com/ks_filter.h"
#include "platform/win32/win32_host.h"
#include "tests/driver/hardware/lifecycle_test_fixture.h"

namespace vorlix_test {
namespace {

namespace win32 = platform::win32;
namespace com = platform::com;
namespace ks = platform::ks;

constexpr ULONG kFlag = 0x08000000;
// The page's status lines and tabs, and the panels' dialogs.
constexpr int kDriverVersion = 19110, kCardInfo = 19111, kStreamInfo = 19115, kSignalStatus = 19006;
constexpr int kDriverTab = 19123, kEncoderTab = 19130;
constexpr WORD kDevicePanel = 19003, kDriverPanel = 19005, kEncoderPanel = 19013;
typedef HRESULT (*EntryPoint)();

class PageOnDriverTest : public LifecycleTest {
 protected:
  void SetUp() override {
    LifecycleTest::SetUp();
    win32::ResetUser();
    com::ResetCom();
    module_ = LoadLibraryA(TESSLIN_MODULE_PATH);
    ASSERT_NE(module_, nullptr);
    ASSERT_EQ(Entry("DllRegisterServer")(), S_OK);
    com::InstallInterfaceHandler(KSPROPSETID_CustomDevice, CLSID_CustomPropertyInterfaceHandler);
  }
  void TearDown() override {
    frames_.clear();
    for (auto& f : filters_) EXPECT_EQ(f->Close(), 0u) << "the page let go of the filter";
    filters_.clear();
    client_.reset();
    EXPECT_TRUE(win32::Timers().empty());
    win32::ResetUser();
    com::RemoveInterfaceHandler(KSPROPSETID_CustomDevice);
    if (module_) {
      EXPECT_EQ(Entry("DllUnregisterServer")(), S_OK);
      EXPECT_EQ(Entry("DllCanUnloadNow")(), S_OK);
      FreeLibrary(module_);
    }
    EXPECT_EQ(win32::DebugOutput(), "") << "the plug-in writes no debug output";
    if (second_) {
      harness_->RemoveDevice(second_->index);
      pci::Unplug(second_->slot);
      EXPECT_TRUE(second_->board.Violations().empty());
    }
    LifecycleTest::TearDown();
    second_.reset();
  }

  EntryPoint Entry(const char* name) {
    return reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
  }

  void StartBoard() {
    Start();
    if (HasFatalFailure()) return;
    client_ = std::make_unique<ks::KsClient>();
  }
  // A second encoder board beside the first, started the same way.
  struct Second {
    board::EncoderBoard board;
    pci::Slot* slot = nullptr;
    pci::ResourceList resources;
    size_t index = 0;
  };
  void StartSecondBoard() {
    second_ = std::make_unique<Second>();
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    second_->board.SetIdentity(board::IdentityFrom(id));
    second_->board.SetBoardIdentityRecord(0x34, 0x12, 0x78, 0x56);
    second_->board.encoder().SetSignal(board::InputFormat::k720p60);
    pci::SlotOptions options;
    options.busNumber = 2;  // the device takes its board index from its bus
    second_->slot = pci::PlugIn(second_->board, options);
    ASSERT_EQ(harness_->AddDevice(pci::BusData, second_->slot, &second_->index, second_->slot->busNumber()),
              STATUS_SUCCESS);
    second_->resources = pci::TranslatedResources(*second_->slot);
    ASSERT_EQ(harness_->StartDevice(second_->index, second_->resources.get(), second_->resources.get()),
              STATUS_SUCCESS);
  }
  CDevice* DevAt(size_t n) { return DeviceOf(harness_->Device(n == 0 ? *index_ : second_->index)); }

  // The video capture filter of board `n`, opened as an application opens it, with the
  // proxy object in front of it.
  IUnknown* OpenCapture(size_t n = 0) {
    PKSDEVICE device = harness_->Device(n == 0 ? *index_ : second_->index);
    for (const ks::FilterListing& l : client_->ListFilters(KSCATEGORY_VIDEO)) {
      if (l.Device != device) continue;
      auto f = std::make_unique<com::KsFilterProxy>();
      if (f->Open(client_.get(), l) != STATUS_SUCCESS) return nullptr;
      filters_.push_back(std::move(f));
      return filters_.back()->object();
    }
    return nullptr;
  }
  ICustomProperty* Property(IUnknown* filter) {
    ICustomProperty* p = nullptr;
    filter->QueryInterface(IID_ICustomProperty, reinterpret_cast<void**>(&p));
    return p;
  }
  com::PropertyFrame& OpenPage(IUnknown* filter) {
    frames_.push_back(std::make_unique<com::PropertyFrame>());
    EXPECT_EQ(frames_.back()->Open(filter, CLSID_CustomPropertyPage), S_OK);
    return *frames_.back();
  }

  // Lets machine time pass for the device's threads and the page's window timers alike,
  // in steps short enough that each window timer fires on its time.
  void Tick(LONGLONG ms) {
    for (LONGLONG done = 0; done < ms; done += 10) {
      Pass(10);
      win32::RunFor(0);
    }
  }

  HWND Panel(WORD templateId, int nth = 0) { return win32::FindDialog(templateId, nth); }
  std::string Text(HWND dialog, int id) { return win32::TextOf(GetDlgItem(dialog, id)); }

  HMODULE module_ = nullptr;
  std::unique_ptr<ks::KsClient> client_;
  std::vector<std::unique_ptr<com::KsFilterProxy>> filters_;
  std::vector<std::unique_ptr<com::PropertyFrame>> frames_;
  std::unique_ptr<Second> second_;
};

TEST_F(PageOnDriverTest, TheStatusDisplayShowsTheBoardsLiveSignal) {
  StartBoard();
  IUnknown* filter = OpenCapture();
  ASSERT_NE(filter, nullptr);
  com::PropertyFrame& frame = OpenPage(filter);
  Tick(1000);
  HWND page = frame.page();
  EXPECT_EQ(Text(page, kSignalStatus),
            "SIGNAL STATUS        : 1920 X 1080P @ 30.00FPS (30.00FPS), 2CH X 16BITS @ 48000HZ");
  EXPECT_EQ(Text(page, kCardInfo), "CARD INFO            : SN56781234, BN00000001");
  EXPECT_EQ(Text(page, kDriverVersion), "DRIVER VERSION       : 1.1.0.167.0, 2016.08.10");
  EXPECT_EQ(Text(page, kStreamInfo), "STREAM INFO          : PV00000000, PA00000000, EV00000000");

  // The input changes; the monitor follows and so does the next tick.
  board_.encoder().SetSignal(board::InputFormat::k720p60);
  Tick(2000);
  EXPECT_EQ(Text(page, kSignalStatus),
            "SIGNAL STATUS        : 1280 X 720P @ 60.00FPS (60.00FPS), 2CH X 16BITS @ 48000HZ");
  frame.Close();
}

TEST_F(PageOnDriverTest, TheEncodersBitRateSetThroughItsPanelReachesTheDeviceAndComesBack) {
  StartBoard();
  IUnknown* filter = OpenCapture();
  ASSERT_NE(filter, nullptr);
  com::PropertyFrame& frame = OpenPage(filter);
  Tick(100);
  HWND page = frame.page();
  ASSERT_TRUE(win32::Click(page, kEncoderTab));
  HWND encoder = Panel(kEncoderPanel);
  ASSERT_TRUE(IsWindowVisible(encoder));
  // The bit rate takes a value in the constant and average rate modes only.
  EXPECT_FALSE(win32::Type(encoder, 19083, "8000000")) << "the VBR mode leaves the bit rate disabled";
  ASSERT_TRUE(win32::Click(encoder, 19077));
  ASSERT_TRUE(win32::Type(encoder, 19083, "8000000"));
  ASSERT_TRUE(win32::Click(encoder, 19139));
  EXPECT_EQ(Dev()->m_nEncoderVideoBitRateMode[0], 1 | kFlag);
  EXPECT_EQ(Dev()->m_nEncoderVideoBitRate[0], 8000000 | kFlag);
  // Out of range: nothing reaches the device.
  ASSERT_TRUE(win32::Type(encoder, 19083, "60000001"));
  ASSERT_TRUE(win32::Click(encoder, 19139));
  EXPECT_EQ(Dev()->m_nEncoderVideoBitRate[0], 8000000 | kFlag);
  frame.Close();

  // A page opened again reads it back from the device.
  com::PropertyFrame& again = OpenPage(filter);
  Tick(100);
  encoder = Panel(kEncoderPanel);
  EXPECT_EQ(Text(encoder, 19083), "8000000");
  EXPECT_TRUE(win32::Checked(GetDlgItem(encoder, 19077)));
  again.Close();
}

TEST_F(PageOnDriverTest, DeviceAndDriverPanelChangesLandInTheDevice) {
  StartBoard();
  IUnknown* filter = OpenCapture();
  ASSERT_NE(filter, nullptr);
  com::PropertyFrame& frame = OpenPage(filter);
  Tick(100);
  HWND device = Panel(kDevicePanel);
  ASSERT_TRUE(IsWindowVisible(device));
  machine::ClearDebugLog();

  // The volume follows the thumb and is stored as sent; the device logs each.
  ASSERT_TRUE(win32::TrackDrag(device, 19118, {40, 41}));
  EXPECT_EQ(Dev()->m_nAnalogVideoScaleType[0], 0u);
  EXPECT_EQ(Dev()->m_nAnalogAudioVolume, 41u);
  EXPECT_EQ(Text(device, 19121), "41");
  std::vector<std::string> volume;
  for (const std::string& line : machine::DebugLogLines())
    if (line.rfind("CDevice::OnSetCustomAnalogAudioVolumeProperty", 0) == 0) volume.push_back(line);
  EXPECT_EQ(volume, (std::vector<std::string>{"CDevice::OnSetCustomAnalogAudioVolumeProperty( 40 )",
                                              "CDevice::OnSetCustomAnalogAudioVolumeProperty( 41 )",
                                              "CDevice::OnSetCustomAnalogAudioVolumeProperty( 41 )"}));

  // The scaling radio stores its number raw in the filter's channel.
  ASSERT_TRUE(win32::Click(device, 31066));
  EXPECT_EQ(Dev()->m_nAnalogVideoScaleType[0], 1u);
  // The line-in radio re-routes the board's audio input.
  ASSERT_TRUE(win32::Click(device, 36002));
  EXPECT_EQ(Dev()->m_nAnalogCrossbarAudioInput, 1u);

  ASSERT_TRUE(win32::Click(frame.page(), kDriverTab));
  HWND driver = Panel(kDriverPanel);
  ASSERT_TRUE(win32::Click(driver, 1114));
  EXPECT_EQ(Dev()->m_nAnalogVideoFlexibleResolutionPatch, 1u);
  ASSERT_TRUE(win32::Click(driver, 1114));
  EXPECT_EQ(Dev()->m_nAnalogVideoFlexibleResolutionPatch, 0u);
  frame.Close();
}

// The board whose identity the page knows as the firmware board: its status shows the
// firmware word the device reads, and its mirror boxes reach the device's channel.
TEST_F(PageOnDriverTest, OnTheFirmwareBoardTheMirrorBoxesReachTheDevice) {
  board_.SetBoardIdentityRecord(0x01, 0x00, 0x01, 0x85);
  StartBoard();
  IUnknown* filter = OpenCapture();
  ASSERT_NE(filter, nullptr);
  com::PropertyFrame& frame = OpenPage(filter);
  Tick(1000);
  HWND device = Panel(kDevicePanel);
  ULONG firmware = Dev()->m_nSiliconTunerType;
  char version[96];
  std::snprintf(version, sizeof version, "DRIVER VERSION       : 1.1.0.167.0, FIRMWARE : %u.%u.%u.%u, 2016.08.10",
                firmware >> 24, (firmware >> 16) & 0xFF, (firmware >> 8) & 0xFF, firmware & 0xFF);
  EXPECT_EQ(Text(frame.page(), kDriverVersion), version);
  ASSERT_TRUE(win32::Click(device, 35005));
  EXPECT_EQ(Dev()->m_nAnalogVideoVerticalMirror[0], 1u) << "stored as sent, without the flag";
  ASSERT_TRUE(win32::Click(device, 35006));
  EXPECT_EQ(Dev()->m_nAnalogVideoHorizontalMirror[0], 1u);
  ASSERT_TRUE(win32::Click(device, 35005));
  EXPECT_EQ(Dev()->m_nAnalogVideoVerticalMirror[0], 0u);

  // This board's page comes back on the panel chosen last.
  ASSERT_TRUE(win32::Click(frame.page(), kDriverTab));
  ASSERT_EQ(frame.Reactivate(), S_OK);
  Tick(100);
  EXPECT_TRUE(IsWindowVisible(Panel(kDriverPanel)));
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(Panel(kDriverPanel), 1114)));
  frame.Close();
}

// Every id the plug-in sends is one the driver serves in that direction, and a refusal
// comes back as the same HRESULT the application's own device control gets.
TEST_F(PageOnDriverTest, TheDriverServesEveryIdThePluginUsesAndItsRefusalsPassThrough) {
  StartBoard();
  IUnknown* filter = OpenCapture();
  ASSERT_NE(filter, nullptr);
  ICustomProperty* p = Property(filter);
  ASSERT_NE(p, nullptr);
  const ULONG gets[] = {0,   2,   6,   9,   201, 204, 208, 209, 210, 214, 215, 218, 219, 220, 221, 222, 223,
                        224, 225, 230, 231, 232, 233, 234, 238, 240, 241, 242, 244, 245, 248, 251, 253, 255,
                        270, 271, 272, 273, 274, 275, 276, 277, 278, 279, 351, 361, 370, 371, 401, 402, 403,
                        404, 405, 407, 409, 410, 411, 412, 413, 414, 415, 422, 430, 952, 956};
  for (ULONG id : gets) {
    ULONG v = 0;
    EXPECT_EQ(p->GetSetProperty(id, &v, FALSE), S_OK) << "get " << id;
  }
  struct Refused {
    ULONG id;
    BOOL set;
  };
  const Refused refused[] = {{406, FALSE}, {950, FALSE}, {0, TRUE}, {230, TRUE}, {430, TRUE}, {999, FALSE}};
  HANDLE handle = filters_[0]->filter();
  for (const Refused& r : refused) {
    ULONG v = 0xDEADBEEF;
    HRESULT hr = p->GetSetProperty(r.id, &v, r.set);
    EXPECT_TRUE(FAILED(hr)) << r.id;
    if (!r.set) {
      EXPECT_EQ(v, 0xDEADBEEFu) << "a failed get leaves the value alone: " << r.id;
    }
    KSPROPERTY request = {KSPROPSETID_CustomDevice, r.id,
                          static_cast<ULONG>(r.set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET)};
    ULONG w = 0xDEADBEEF, returned = 0;
    EXPECT_EQ(hr,
              client_->SynchronousDeviceControl(handle, IOCTL_KS_PROPERTY, &request, sizeof request, &w, 4, &returned))
        << r.id;
  }
  // A record-sized request through the Ex form is the same request.
  ULONG index = 0xDEADBEEF;
  EXPECT_EQ(p->GetSetPropertyEx(CustomDeviceIndexProperty, &index, 4, FALSE), S_OK);
  EXPECT_EQ(index, Dev()->m_nBoardIndex);
  p->Release();
}

// Two boards, a page on each: what each shows and what each changes stays with its board.
TEST_F(PageOnDriverTest, TwoPagesOnTwoBoardsKeepTheirValuesAndRequestsApart) {
  StartBoard();
  ASSERT_NO_FATAL_FAILURE(StartSecondBoard());
  IUnknown* first = OpenCapture(0);
  IUnknown* second = OpenCapture(1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  com::PropertyFrame& a = OpenPage(first);
  com::PropertyFrame& b = OpenPage(second);
  Tick(1000);
  EXPECT_EQ(Text(a.page(), kCardInfo), "CARD INFO            : SN56781234, BN00000001");
  EXPECT_EQ(Text(b.page(), kCardInfo), "CARD INFO            : SN56781234, BN00000002");
  EXPECT_EQ(Text(a.page(), kSignalStatus),
            "SIGNAL STATUS        : 1920 X 1080P @ 30.00FPS (30.00FPS), 2CH X 16BITS @ 48000HZ");
  EXPECT_EQ(Text(b.page(), kSignalStatus),
            "SIGNAL STATUS        : 1280 X 720P @ 60.00FPS (60.00FPS), 2CH X 16BITS @ 48000HZ");

  size_t before = filters_[0]->endpoint()->requests();
  ASSERT_TRUE(win32::Click(b.page(), kEncoderTab));
  HWND encoder = Panel(kEncoderPanel, 1);
  ASSERT_EQ(GetParent(encoder), b.page());
  ASSERT_TRUE(win32::Click(encoder, 19077));
  ASSERT_TRUE(win32::Type(encoder, 19083, "12000000"));
  ASSERT_TRUE(win32::Click(encoder, 19139));
  EXPECT_EQ(DevAt(1)->m_nEncoderVideoBitRate[0], 12000000 | kFlag);
  EXPECT_NE(DevAt(0)->m_nEncoderVideoBitRate[0], 12000000 | kFlag);
  EXPECT_EQ(filters_[0]->endpoint()->requests(), before) << "the first page's filter saw none of it";

  ASSERT_TRUE(win32::TrackDrag(Panel(kDevicePanel, 0), 19118, {77}));
  EXPECT_EQ(DevAt(0)->m_nAnalogAudioVolume, 77u);
  EXPECT_NE(DevAt(1)->m_nAnalogAudioVolume, 77u);
  b.Close();
  a.Close();
}

}  // namespace
}  // namespace vorlix_test
