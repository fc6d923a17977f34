// The property page as a capture application shows it: activation, the panels created
// 100 ms later, the tab buttons, the status display once a second, and what remains after
// the page is closed.
#include "tests/TESSLIN/plugin_fixture.h"

#include "TESSLIN/tesslin_config.h"

namespace tesslin_test {
namespace {

constexpr WORD kPanels[4] = {19003, 19008, 19005, 19013};
constexpr int kTabs[4] = {19114, 19119, 19123, 19130};

class PageTest : public PluginTest {};

TEST_F(PageTest, ActivationCreatesPanelsAfter100MsAndClosingLeavesNothing) {
  com::PropertyFrame frame;
  {
    Filter filter;
    ASSERT_EQ(frame.Open(filter.Proxy(), CLSID_CustomPropertyPage), S_OK);
    EXPECT_EQ(frame.title(), L"Custom Properties");
    EXPECT_EQ(frame.size().cx, win32::DluToPixelsX(382));
    EXPECT_EQ(frame.size().cy, win32::DluToPixelsY(349));
    HWND page = frame.page();
    ASSERT_NE(page, nullptr);
    for (WORD id : kPanels) EXPECT_EQ(Panel(id), nullptr);
    auto timers = win32::Timers();
    ASSERT_EQ(timers.size(), 2u);
    EXPECT_EQ(timers[0].hwnd, page);
    EXPECT_EQ(timers[0].id, 0u);
    EXPECT_EQ(timers[0].period, 100u);
    EXPECT_EQ(timers[1].id, 1u);
    EXPECT_EQ(timers[1].period, 1000u);
    EXPECT_TRUE(Checked(page, 19114));
    EXPECT_EQ(GetFocus(), page);

    win32::RunFor(99);
    EXPECT_EQ(Panel(19003), nullptr);
    win32::RunFor(1);
    RECT client;
    GetClientRect(page, &client);
    RECT tab;
    GetWindowRect(GetDlgItem(page, 19130), &tab);
    POINT corner{tab.left, tab.bottom};
    ScreenToClient(page, &corner);
    for (int i = 0; i < 4; ++i) {
      HWND panel = Panel(kPanels[i]);
      ASSERT_NE(panel, nullptr) << kPanels[i];
      EXPECT_EQ(GetParent(panel), page);
      EXPECT_EQ(win32::OwnVisible(panel), i == 0) << kPanels[i];
      RECT r = win32::RectOf(panel);
      EXPECT_EQ(r.left, 3);
      EXPECT_EQ(r.top, corner.y + 5);
      EXPECT_EQ(r.right - r.left, client.right);
      EXPECT_EQ(r.bottom - r.top, client.bottom - 230);
    }
    // The tab bottom is in page coordinates although the frame sits away from the origin.
    EXPECT_EQ(corner.y, win32::DluToPixelsY(93 + 16));
    // Timer 0 is gone; the status timer and the receiver panel's timer run.
    auto after = win32::Timers();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].id, 1u);
    EXPECT_EQ(after[1].hwnd, Panel(19008));

    frame.Close();
    EXPECT_TRUE(win32::LiveWindows().empty());
    EXPECT_TRUE(win32::Timers().empty());
    EXPECT_TRUE(win32::HotKeys().empty());
    EXPECT_EQ(com::TaskMemLiveBlocks(), 0);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "the handler lives in the filter's proxy";
    // The page asked nothing of its site: it is never dirty.
  }
  EXPECT_EQ(com::OpenFilterHandles(), 0u);
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(PageTest, EveryStatusTickReadsTheSixteenPropertiesInOrder) {
  Filter filter;
  com::PropertyFrame frame;
  OpenPage(frame, filter);
  win32::RunFor(899);
  filter.driver.ClearLog();
  win32::RunFor(1);
  EXPECT_EQ(filter.driver.TakeLog(),
            (Requests{Get(6), Get(2), Get(0), Get(210), Get(208), Get(274), Get(223), Get(230), Get(241), Get(253),
                      Get(370), Get(371), Get(351), Get(361), Get(430), Get(271)}));
  win32::RunFor(999);
  // Only the receiver panel's own tick in between (it runs while hidden).
  EXPECT_EQ(filter.driver.TakeLog(), (Requests{Get(232), Get(201), Get(230), Get(231)}));
}

struct StatusCase {
  const char* name;
  std::map<ULONG, ULONG> values;
  const char* signal;
  const char* colorimetry;
  const char* range;
};

TEST_F(PageTest, StatusLinesFromTheDriversValues) {
  const StatusCase cases[] = {
      {"interlaced fractional",
       {{210, (1920u << 16) | 540},
        {208, 60},
        {223, 1},
        {230, 1},
        {241, 1},
        {274, 30},
        {253, 48000},
        {370, 2},
        {371, 1}},
       "SIGNAL STATUS        : 1920 X 1080I @ 59.94FPS (29.97FPS), 2CH X 16BITS @ 48000HZ",
       "SIGNAL COLORIMETRY   : BT709",
       "SIGNAL COLORRANGE    : LIMITED ( 16 ~ 235 )"},
      {"progressive",
       {{210, (1280u << 16) | 720}, {208, 50}, {230, 1}, {274, 50}, {253, 44100}, {370, 1}, {371, 2}},
       "SIGNAL STATUS        : 1280 X 720P @ 50.00FPS (50.00FPS), 2CH X 16BITS @ 44100HZ",
       "SIGNAL COLORIMETRY   : BT601",
       "SIGNAL COLORRANGE    : FULL ( 0 ~ 255 )"},
      {"zero width",
       {{210, 1080}, {208, 60}, {230, 1}, {370, 3}, {371, 7}},
       "SIGNAL STATUS        : NO SIGNAL",
       "SIGNAL COLORIMETRY   : UNKNOWN",
       "SIGNAL COLORRANGE    : UNKNOWN"},
      {"zero height",
       {{210, 1920u << 16}, {208, 60}, {230, 1}},
       "SIGNAL STATUS        : NO SIGNAL",
       "SIGNAL COLORIMETRY   : UNKNOWN",
       "SIGNAL COLORRANGE    : UNKNOWN"},
      {"zero rate",
       {{210, (1920u << 16) | 1080}, {230, 1}},
       "SIGNAL STATUS        : NO SIGNAL",
       "SIGNAL COLORIMETRY   : UNKNOWN",
       "SIGNAL COLORRANGE    : UNKNOWN"},
      {"no signal status",
       {{210, (1920u << 16) | 1080}, {208, 60}},
       "SIGNAL STATUS        : NO SIGNAL",
       "SIGNAL COLORIMETRY   : UNKNOWN",
       "SIGNAL COLORRANGE    : UNKNOWN"},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    Filter filter;
    for (auto& [id, v] : c.values) filter.driver.Store(id, v);
    filter.driver.Values({{0, 0x12345678}, {2, 3}, {351, 17}, {361, 4}, {430, 99}, {271, 0xBEEF}});
    com::PropertyFrame frame;
    OpenPage(frame, filter);
    win32::RunFor(900);
    HWND page = frame.page();
    EXPECT_EQ(Text(page, 19006), c.signal);
    EXPECT_EQ(Text(page, 19011), c.colorimetry);
    EXPECT_EQ(Text(page, 19014), c.range);
    EXPECT_EQ(Text(page, 19115), "STREAM INFO          : PV00000017, PA00000004, EV00000099");
    EXPECT_EQ(Text(page, 19111), "CARD INFO            : SN12345678, BN00000003");
    EXPECT_EQ(Text(page, 19117), "SIGNAL DEBUG INFO    : 0x0000BEEF");
    EXPECT_EQ(Text(page, 19110), "DRIVER VERSION       : 1.1.0.167.0, 2016.08.10");
    frame.Close();
  }
}

TEST_F(PageTest, ADriverThatAnswersNothingShowsZerosAndNoSignal) {
  Filter filter;
  filter.driver.Values({{210, (1920u << 16) | 1080}, {208, 60}, {230, 1}, {351, 5}});
  filter.driver.Unplug();
  com::PropertyFrame frame;
  OpenPage(frame, filter);
  win32::RunFor(900);
  HWND page = frame.page();
  EXPECT_EQ(Text(page, 19006), "SIGNAL STATUS        : NO SIGNAL");
  EXPECT_EQ(Text(page, 19115), "STREAM INFO          : PV00000000, PA00000000, EV00000000");
  EXPECT_EQ(Text(page, 19011), "SIGNAL COLORIMETRY   : UNKNOWN");
  EXPECT_EQ(Text(page, 19111), "CARD INFO            : SN00000000, BN00000000");
}

TEST_F(PageTest, TheFirmwareBoardShowsItsFirmwareAndOffersEveryAudioInput) {
  Filter filter;
  filter.driver.Values({{0, kFirmwareBoard}, {6, 0x01020304}, {9, 0x03}});
  com::PropertyFrame frame;
  OpenPage(frame, filter);
  HWND device = Panel(19003);
  ASSERT_NE(device, nullptr);
  EXPECT_FALSE(Visible(device, 36003));
  win32::RunFor(900);
  EXPECT_EQ(Text(frame.page(), 19110), "DRIVER VERSION       : 1.1.0.167.0, FIRMWARE : 1.2.3.4, 2016.08.10");
  for (int id = 36001; id <= 36005; ++id) EXPECT_TRUE(Enabled(device, id)) << id;
  // Enabled but still hidden: the tick enables the inputs and shows only the mirror boxes.
  EXPECT_FALSE(Visible(device, 36003));
  EXPECT_TRUE(Visible(device, 35005));
}

TEST_F(PageTest, TabsShowExactlyOnePanelAndDoNothingBeforeThePanelsExist) {
  Filter filter;
  com::PropertyFrame frame;
  OpenPage(frame, filter, false);
  HWND page = frame.page();
  ASSERT_TRUE(win32::Click(page, 19123));
  EXPECT_EQ(Panel(19005), nullptr);
  win32::RunFor(100);
  // The device panel is shown, and its tab is the one pressed.
  EXPECT_TRUE(IsWindowVisible(Panel(19003)));
  EXPECT_TRUE(Checked(page, 19114));
  EXPECT_FALSE(Checked(page, 19123));
  for (int t = 0; t < 4; ++t) {
    ASSERT_TRUE(win32::Click(page, kTabs[t]));
    for (int p = 0; p < 4; ++p) EXPECT_EQ(IsWindowVisible(Panel(kPanels[p])), p == t) << t << " " << p;
    for (int b = 0; b < 4; ++b) EXPECT_EQ(Checked(page, kTabs[b]), b == t);
  }
  // The receiver panel is blank: every control hidden.
  ASSERT_TRUE(win32::Click(page, 19119));
  for (HWND c : win32::Children(Panel(19008))) EXPECT_FALSE(IsWindowVisible(c)) << GetDlgCtrlID(c);
}

TEST_F(PageTest, ActivatingAgainCreatesNewPanelsThatStillReachTheDriver) {
  Filter filter;
  com::PropertyFrame frame;
  OpenPage(frame, filter);
  HWND firstPage = frame.page();
  HWND firstDevice = Panel(19003);
  ASSERT_EQ(frame.Reactivate(), S_OK);
  EXPECT_FALSE(IsWindow(firstPage));
  EXPECT_FALSE(IsWindow(firstDevice));
  EXPECT_EQ(win32::Timers().size(), 2u);
  win32::RunFor(100);
  HWND device = Panel(19003);
  ASSERT_NE(device, nullptr);
  EXPECT_NE(device, firstDevice);
  EXPECT_EQ(Panel(19003, 1), nullptr);
  filter.driver.ClearLog();
  ASSERT_TRUE(win32::Click(device, 31066));
  EXPECT_EQ(filter.driver.TakeLog(), (Requests{Set(275, 1)}));
}

TEST_F(PageTest, BoardFamiliesWithoutEncoderHideItsTab) {
  for (ULONG identity : {kNoEncoderFamilies[0] | 0xF00F, kNoEncoderFamilies[1], 0x11112222u}) {
    Filter filter;
    filter.driver.Store(0, identity);
    com::PropertyFrame frame;
    OpenPage(frame, filter);
    bool hidden = (identity & kBoardFamilyMask) == kNoEncoderFamilies[0] ||
                  (identity & kBoardFamilyMask) == kNoEncoderFamilies[1];
    EXPECT_EQ(Visible(frame.page(), 19130), !hidden) << std::hex << identity;
    frame.Close();
  }
}

TEST_F(PageTest, SomeBoardsReturnToThePanelChosenLast) {
  Filter filter;
  filter.driver.Store(0, kRememberPanelBoards[2]);
  com::PropertyFrame frame;
  OpenPage(frame, filter);
  ASSERT_TRUE(win32::Click(frame.page(), 19123));
  ASSERT_EQ(frame.Reactivate(), S_OK);
  win32::RunFor(100);
  EXPECT_TRUE(IsWindowVisible(Panel(19005)));
  EXPECT_FALSE(IsWindowVisible(Panel(19003)));
  EXPECT_TRUE(Checked(frame.page(), 19123));

  // Elsewhere the page starts on the device panel again.
  Filter other;
  com::PropertyFrame second;
  OpenPage(second, other);
  ASSERT_TRUE(win32::Click(second.page(), 19123));
  ASSERT_EQ(second.Reactivate(), S_OK);
  win32::RunFor(100);
  HWND device = nullptr;
  for (HWND h : win32::Children(second.page()))
    if (win32::DialogTemplateOf(h) == 19003) device = h;
  EXPECT_TRUE(IsWindowVisible(device));
}

TEST_F(PageTest, TwoPagesOnTwoFiltersKeepTheirValuesAndRequestsApart) {
  Filter a, b;
  a.driver.Values({{275, 1}, {251, 10}});
  b.driver.Values({{275, 2}, {251, 200}});
  com::PropertyFrame fa, fb;
  OpenPage(fa, a);
  OpenPage(fb, b);
  HWND da = Panel(19003, 0), db = Panel(19003, 1);
  ASSERT_EQ(GetParent(da), fa.page());
  EXPECT_TRUE(Checked(da, 31066));
  EXPECT_TRUE(Checked(db, 31067));
  EXPECT_EQ(Text(da, 19121), "10");
  EXPECT_EQ(Text(db, 19121), "200");
  a.driver.ClearLog();
  b.driver.ClearLog();
  ASSERT_TRUE(win32::Click(db, 35005));
  EXPECT_TRUE(a.driver.Log().empty());
  EXPECT_EQ(b.driver.TakeLog(), (Requests{Set(244, 1)}));
  // Ctrl+D belongs to the device panel that registered it first.
  ASSERT_TRUE(win32::PressHotKey(MOD_CONTROL, 'D'));
  EXPECT_TRUE(Visible(da, 40000));
  EXPECT_FALSE(Visible(db, 40000));
  // Once the first page is closed, a page opened anew can take it.
  fa.Close();
  com::PropertyFrame fc;
  OpenPage(fc, a);
  HWND dc = nullptr;
  for (HWND h : win32::Children(fc.page()))
    if (win32::DialogTemplateOf(h) == 19003) dc = h;
  ASSERT_TRUE(win32::PressHotKey(MOD_CONTROL, 'D'));
  EXPECT_TRUE(Visible(dc, 40000));
  EXPECT_FALSE(Visible(db, 40000));
}

TEST_F(PageTest, AnObjectWithoutTheInterfaceLeavesThePageSilent) {
  com::RemoveInterfaceHandler(KSPROPSETID_CustomDevice);
  Filter bare;  // no handler aggregated into its proxy
  com::PropertyFrame frame;
  EXPECT_EQ(frame.Open(bare.Proxy(), CLSID_CustomPropertyPage), E_NOINTERFACE);
  EXPECT_TRUE(win32::LiveWindows().empty());
  EXPECT_TRUE(bare.driver.Log().empty());
}

TEST_F(PageTest, ConnectingTwiceKeepsNoReferenceToTheFirstFilter) {
  auto* a = new Filter;
  Filter b;
  com::PropertyFrame frame;
  OpenPage(frame, *a);
  IUnknown* bp = b.Proxy();
  ASSERT_EQ(frame.pageObject()->SetObjects(1, &bp), S_OK);
  // The page now talks to the second filter...
  b.driver.ClearLog();
  win32::RunFor(1000);
  EXPECT_FALSE(b.driver.Log().empty());
  // ...and the first filter's proxy goes away when its application lets it go.
  delete a;
  EXPECT_EQ(com::OpenFilterHandles(), 1u);
}

TEST_F(PageTest, TheStatusTimerStopsWithThePage) {
  Filter filter;
  com::PropertyFrame frame;
  OpenPage(frame, filter);
  frame.Close();
  filter.driver.ClearLog();
  win32::RunFor(5000);
  EXPECT_TRUE(filter.driver.Log().empty());
}

}  // namespace
}  // namespace tesslin_test
