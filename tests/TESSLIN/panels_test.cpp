// The four panels driven as a person would: what each shows from the driver's values and
// exactly which requests each action sends.
#include "tests/TESSLIN/plugin_fixture.h"

namespace tesslin_test {
namespace {

class PanelTest : public PluginTest {
 protected:
  // Opens the page on `filter` and returns the panel, its requests so far forgotten.
  HWND Open(WORD panel, int tab = 0) {
    OpenPageOn(filter);
    HWND h = Panel(panel);
    if (tab) {
      EXPECT_TRUE(win32::Click(frame.page(), tab));
    }
    filter.driver.ClearLog();
    return h;
  }
  void OpenPageOn(Filter& f) { OpenPage(frame, f); }
  Requests Log() { return filter.driver.TakeLog(); }

  Filter filter;
  com::PropertyFrame frame;
};

// ---- Device panel ------------------------------------------------------------------------------

TEST_F(PanelTest, DevicePanelReadsItsTenValuesThenTheAudioInputAgain) {
  OpenPage(frame, filter, false);
  filter.driver.ClearLog();
  win32::RunFor(100);
  Requests log = filter.driver.TakeLog();
  // Identity, then the device panel's reads (the others follow).
  Requests device(log.begin(), log.begin() + 12);
  EXPECT_EQ(device, (Requests{Get(0), Get(201), Get(255), Get(9), Get(276), Get(232), Get(244), Get(245), Get(275),
                              Get(251), Get(234), Get(255)}));
}

struct DeviceInit {
  ULONG video, autoScan, mask, audio;
  int videoRadio;       // 0: none
  bool audio1, audio2;  // enabled
  bool mixersVisible;
  int audioRadio;  // 0: none
};

TEST_F(PanelTest, DevicePanelShowsInputsAndAudioAvailability) {
  const DeviceInit cases[] = {
      {3, 1, 0x03, 0, 33008, false, false, false, 36001},  // auto selection wins; 3 still blocks audio
      {7, 0, 0x03, 1, 0, true, true, false, 36002},       {5, 0, 0x1F, 4, 33006, true, true, true, 36005},
      {0, 0, 0x1E, 0, 33001, false, true, false, 36001},  {0, 0, 0x03, 2, 33001, true, true, false, 36003},
      {2, 0, 0x03, 5, 33003, false, false, false, 0},     {6, 0, 0x00, 0, 33007, false, false, false, 36001},
  };
  for (const DeviceInit& c : cases) {
    SCOPED_TRACE(::testing::Message() << "video " << c.video << " auto " << c.autoScan << " mask " << c.mask);
    Filter f;
    f.driver.Values({{201, c.video}, {232, c.autoScan}, {9, c.mask}, {255, c.audio}});
    com::PropertyFrame fr;
    OpenPage(fr, f);
    HWND d = Panel(19003);
    for (int id = 33001; id <= 33008; ++id) {
      EXPECT_EQ(Checked(d, id), id == c.videoRadio) << id;
      EXPECT_FALSE(Enabled(d, id)) << id;
    }
    EXPECT_EQ(Enabled(d, 36001), c.audio1);
    EXPECT_EQ(Enabled(d, 36002), c.audio2);
    for (int id = 36003; id <= 36005; ++id) EXPECT_EQ(Visible(d, id), c.mixersVisible) << id;
    for (int id = 36001; id <= 36005; ++id) EXPECT_EQ(Checked(d, id), id == c.audioRadio) << id;
    for (int id = 31050; id <= 31058; ++id) {
      EXPECT_TRUE(Visible(d, id));
      EXPECT_FALSE(Enabled(d, id));
      EXPECT_FALSE(Checked(d, id));
    }
    EXPECT_TRUE(Visible(d, 33020));
    EXPECT_FALSE(Enabled(d, 33020));
    fr.Close();
  }
}

TEST_F(PanelTest, DevicePanelClicksSendOneSetEach) {
  filter.driver.Values({{9, 0x1F}, {275, 0}});
  HWND d = Open(19003);
  struct Click {
    int id;
    Requests sent;
  } const clicks[] = {
      {31066, {Set(275, 1)}}, {31067, {Set(275, 2)}}, {31067, {Set(275, 2)}}, {31065, {Set(275, 0)}},
      {35005, {Set(244, 1)}}, {35005, {Set(244, 0)}}, {35006, {Set(245, 1)}}, {33023, {Set(276, 1)}},
      {33023, {Set(276, 0)}}, {36003, {Set(255, 2)}}, {36005, {Set(255, 4)}}, {36001, {Set(255, 0)}},
  };
  for (const Click& c : clicks) {
    ASSERT_TRUE(win32::Click(d, c.id)) << c.id;
    EXPECT_EQ(Log(), c.sent) << c.id;
  }
  EXPECT_TRUE(Checked(d, 36001));
  EXPECT_FALSE(Checked(d, 36005));
  // Display-only controls take no clicks.
  for (int id : {33001, 33008, 33020, 31050, 31055}) EXPECT_FALSE(win32::Click(d, id)) << id;
  EXPECT_TRUE(Log().empty());
}

TEST_F(PanelTest, VolumeStepsAndDragsStayInRange) {
  struct Step {
    ULONG start;
    win32::Key key;
    Requests sent;
    const char* shown;
  } const steps[] = {
      {2, win32::Key::PageUp, {Get(251), Set(251, 0)}, "0"},
      {250, win32::Key::PageDown, {Get(251), Set(251, 254)}, "254"},
      {251, win32::Key::PageDown, {Get(251), Set(251, 255)}, "255"},
      {253, win32::Key::PageDown, {Get(251), Set(251, 255)}, "255"},
      {300, win32::Key::PageDown, {Get(251), Set(251, 255)}, "255"},
      {300, win32::Key::PageUp, {Get(251), Set(251, 251)}, "251"},
      {100, win32::Key::Left, {}, "100"},
      {100, win32::Key::Down, {}, "100"},
      {100, win32::Key::Home, {}, "100"},
      {100, win32::Key::End, {}, "100"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(::testing::Message() << s.start << " key " << static_cast<int>(s.key));
    Filter f;
    f.driver.Store(251, s.start);
    com::PropertyFrame fr;
    OpenPage(fr, f);
    HWND d = Panel(19003);
    f.driver.ClearLog();
    ASSERT_TRUE(win32::TrackKey(d, 19118, s.key));
    EXPECT_EQ(f.driver.TakeLog(), s.sent);
    EXPECT_EQ(Text(d, 19121), s.shown);
    fr.Close();
  }
}

TEST_F(PanelTest, VolumeShowsTheDriversValueAndDragsSendEveryMove) {
  filter.driver.Store(251, 300);
  HWND d = Open(19003);
  EXPECT_EQ(Text(d, 19121), "300");
  EXPECT_EQ(win32::TrackbarPos(GetDlgItem(d, 19118)), 255);
  ASSERT_TRUE(win32::TrackDrag(d, 19118, {10, 20, 30}));
  EXPECT_EQ(Log(), (Requests{Set(251, 10), Set(251, 20), Set(251, 30), Set(251, 30)}));
  EXPECT_EQ(Text(d, 19121), "30");
  EXPECT_EQ(filter.driver.Stored(251), 30u);
}

TEST_F(PanelTest, CtrlDRevealsTheRegisterDebugGroup) {
  HWND d = Open(19003);
  const int debug[] = {40000, 40001, 40002, 40003, 40004, 40005, 40006, 40007, 40008, 40009};
  for (int id : debug) EXPECT_FALSE(Visible(d, id)) << id;
  EXPECT_FALSE(win32::Click(d, 40006));
  EXPECT_FALSE(win32::Type(d, 40001, "1f"));
  ASSERT_EQ(win32::HotKeys().size(), 1u);
  EXPECT_EQ(win32::HotKeys()[0].hwnd, d);
  ASSERT_TRUE(win32::PressHotKey(MOD_CONTROL, 'D'));
  for (int id : debug) EXPECT_TRUE(Visible(d, id)) << id;
  EXPECT_EQ(win32::EditLimit(GetDlgItem(d, 40001)), 8);
  EXPECT_TRUE(Log().empty());

  struct Action {
    std::map<int, std::string> typed;
    int button;
    Requests sent;
    std::map<int, std::string> shown;
  } const actions[] = {
      {{{40001, "1f"}}, 40008, {Set(950, 31), Get(952)}, {{40001, "0000001F"}, {40002, "00000000"}}},
      {{{40001, "0x1F"}}, 40008, {Set(950, 0), Get(952)}, {{40001, "00000000"}}},
      {{{40001, ""}}, 40008, {Set(950, 0), Get(952)}, {{40001, "00000000"}}},
      {{{40001, "a0"}, {40002, "ffffffff"}},
       40009,
       {Set(950, 160), Set(951, 0xFFFFFFFF), Set(952, 0xFFFFFFFF)},
       {{40001, "000000A0"}, {40002, "FFFFFFFF"}}},
      {{{40003, "a0"}, {40004, "12"}},
       40006,
       {Set(953, 160), Set(954, 18), Get(956)},
       {{40003, "000000A0"}, {40004, "00000012"}, {40005, "00000000"}}},
      {{{40003, "a2"}, {40004, "10"}, {40005, "7"}},
       40007,
       {Set(953, 162), Set(954, 16), Set(955, 7), Set(956, 7)},
       {{40005, "00000007"}}},
  };
  for (const Action& a : actions) {
    SCOPED_TRACE(a.button);
    for (auto& [id, text] : a.typed) ASSERT_TRUE(win32::Type(d, id, text));
    ASSERT_TRUE(win32::Click(d, a.button));
    EXPECT_EQ(Log(), a.sent);
    for (auto& [id, text] : a.shown) EXPECT_EQ(Text(d, id), text) << id;
  }
}

TEST_F(PanelTest, TheHotKeyAsksForNoRepeatOnNewerSystemsOnly) {
  for (DWORD major : {10u, 6u}) {
    win32::ResetUser();
    win32::SetOsVersion(major, major == 6 ? 1 : 0, 7601);
    Filter f;
    com::PropertyFrame fr;
    OpenPage(fr, f);
    ASSERT_EQ(win32::HotKeys().size(), 1u);
    EXPECT_EQ(win32::HotKeys()[0].modifiers, static_cast<UINT>(MOD_CONTROL));
    EXPECT_EQ(win32::HotKeys()[0].requested,
              major > 6 ? static_cast<UINT>(MOD_CONTROL | MOD_NOREPEAT) : static_cast<UINT>(MOD_CONTROL));
    EXPECT_EQ(win32::HotKeys()[0].key, 0x44u);
    fr.Close();
  }
}

// ---- Driver panel ------------------------------------------------------------------------------

TEST_F(PanelTest, DriverPanelShowsOptionsAndSendsItsSwitches) {
  filter.driver.Values({{220, 1}, {209, 1}, {238, 5}, {233, 1280u << 16}, {242, (1920u << 16) | 1080}, {278, 1}});
  HWND d = Open(19005, 19123);
  EXPECT_TRUE(Checked(d, 1114));
  EXPECT_FALSE(Checked(d, 1113));
  EXPECT_TRUE(Checked(d, 35009));
  EXPECT_TRUE(Checked(d, 35011));
  EXPECT_TRUE(Checked(d, 1134));
  EXPECT_EQ(Text(d, 37020), "0");
  EXPECT_EQ(Text(d, 37021), "0");
  EXPECT_EQ(Text(d, 37023), "1920");
  EXPECT_EQ(Text(d, 37024), "1080");
  EXPECT_TRUE(Checked(d, 19129));
  EXPECT_FALSE(Checked(d, 19124));
  EXPECT_TRUE(Enabled(d, 1112));
  for (int id : {1132, 1134, 35009, 35010, 35011, 35012, 35013, 37020, 37021, 37022, 37023, 37024, 37025})
    EXPECT_FALSE(win32::Click(d, id)) << id;

  struct Click {
    int id;
    Requests sent;
  } const clicks[] = {
      {1114, {Set(220, 0)}}, {1114, {Set(220, 1)}}, {1113, {Set(218, 1)}},  {1113, {Set(218, 0)}},
      {1112, {Set(215, 1)}}, {1112, {Set(215, 0)}}, {19124, {Set(278, 0)}}, {19129, {Set(278, 1)}},
  };
  for (const Click& c : clicks) {
    ASSERT_TRUE(win32::Click(d, c.id));
    EXPECT_EQ(Log(), c.sent) << c.id;
  }
}

TEST_F(PanelTest, DriverPanelRangeRadiosFollowTheDriver) {
  for (ULONG range : {0u, 1u, 5u}) {
    Filter f;
    f.driver.Store(278, range);
    com::PropertyFrame fr;
    OpenPage(fr, f);
    HWND d = Panel(19005);
    EXPECT_EQ(Checked(d, 19129), range == 1) << range;
    EXPECT_EQ(Checked(d, 19124), range != 1) << range;
    fr.Close();
  }
}

// ---- Encoder panel -----------------------------------------------------------------------------

TEST_F(PanelTest, EncoderSetButtonsSendOnlyValuesInRange) {
  HWND e = Open(19013, 19130);
  struct Entry {
    int edit, button;
    const char* text;
    bool paste;
    Requests sent;
  } const entries[] = {
      {19058, 19133, "254", false, {Set(402, 254)}},
      {19058, 19133, "255", false, {}},
      {19060, 19135, "85", false, {Set(422, 85)}},
      {19060, 19135, "86", false, {}},
      {19067, 60157, "0", false, {}},
      {19067, 60157, "1", false, {Set(414, 1)}},
      {19067, 60157, "41", false, {Set(414, 41)}},
      {19067, 60157, "42", false, {}},
      {19083, 19139, "60000000", false, {}},  // VBR: the bitrate is not enabled...
  };
  for (const Entry& x : entries) {
    SCOPED_TRACE(::testing::Message() << x.edit << " " << x.text);
    if (!win32::Type(e, x.edit, x.text)) {
      EXPECT_TRUE(x.sent.empty());
      continue;
    }
    ASSERT_TRUE(win32::Click(e, x.button));
    EXPECT_EQ(Log(), x.sent);
  }
  ASSERT_TRUE(win32::Click(e, 19077));  // CBR
  EXPECT_EQ(Log(), (Requests{Set(407, 1)}));
  const Entry more[] = {
      {19083, 19139, "60000000", false, {Set(403, 60000000)}},
      {19083, 19139, "60000001", false, {}},
      {19092, 19142, "255", false, {Set(405, 255)}},
      {19092, 19142, "256", false, {}},
      {19092, 19142, "-1", true, {}},
      {19092, 19142, "12abc", true, {Set(405, 12)}},
      {19092, 19142, "", false, {Set(405, 0)}},
  };
  for (const Entry& x : more) {
    SCOPED_TRACE(::testing::Message() << x.edit << " " << x.text);
    ASSERT_TRUE(x.paste ? win32::Paste(e, x.edit, x.text) : win32::Type(e, x.edit, x.text));
    ASSERT_TRUE(win32::Click(e, x.button));
    EXPECT_EQ(Log(), x.sent);
  }
  ASSERT_TRUE(win32::Click(e, 19078));  // ABR
  ASSERT_TRUE(win32::Type(e, 19086, "8000000"));
  ASSERT_TRUE(win32::Click(e, 19140));
  ASSERT_TRUE(win32::Type(e, 19089, "1000000"));
  ASSERT_TRUE(win32::Click(e, 19141));
  ASSERT_TRUE(win32::Click(e, 19076));  // VBR
  ASSERT_TRUE(win32::Type(e, 19080, "10000"));
  ASSERT_TRUE(win32::Click(e, 19137));
  ASSERT_TRUE(win32::Type(e, 19080, "10001"));
  ASSERT_TRUE(win32::Click(e, 19137));
  EXPECT_EQ(Log(), (Requests{Set(407, 2), Set(409, 8000000), Set(410, 1000000), Set(407, 0), Set(404, 10000)}));
  EXPECT_EQ(filter.driver.Stored(403), 60000000u | FakeCustomDriver::kFlag);
}

TEST_F(PanelTest, EncoderResolutionIsSentReadBackOrRefusedWithABeep) {
  filter.driver.Store(401, (1920u << 12) | 1080);
  HWND e = Open(19013, 19130);
  EXPECT_EQ(Text(e, 19052), "1920");
  EXPECT_EQ(Text(e, 19054), "1080");
  struct Case {
    const char* width;
    const char* height;
    Requests sent;
    bool beep;
  } const cases[] = {
      {"1280", "720", {Set(401, 1280 * 4096 + 720), Get(401)}, false},
      {"0", "720", {}, true},
      {"1280", "", {}, true},
      {"1920", "4100", {}, true},
      {"4096", "1080", {}, true},
      {"4095", "4095", {Set(401, 4095 * 4096 + 4095), Get(401)}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << " x " << c.height);
    win32::ClearBeeps();
    ASSERT_TRUE(win32::Type(e, 19052, c.width));
    ASSERT_TRUE(win32::Type(e, 19054, c.height));
    ASSERT_TRUE(win32::Click(e, 19132));
    EXPECT_EQ(Log(), c.sent);
    std::vector<win32::BeepRecord> beeps;
    if (c.beep) beeps.push_back({523, 100});
    EXPECT_EQ(win32::Beeps(), beeps);
  }
  EXPECT_EQ(Text(e, 19052), "4095");
  EXPECT_EQ(Text(e, 19054), "4095");
}

struct RateModeCase {
  ULONG mode;
  int radio;
  bool quality, bitrate, peak;
};

TEST_F(PanelTest, EncoderRateModeChoosesTheEnabledInputs) {
  const RateModeCase cases[] = {
      {0, 19076, true, false, false},
      {1, 19077, false, true, false},
      {2, 19078, false, true, true},
      {3, 0, true, true, true},  // left as the template has it
  };
  for (const RateModeCase& c : cases) {
    SCOPED_TRACE(c.mode);
    Filter f;
    f.driver.Values({{407, c.mode}, {412, 2}, {415, 1}});
    com::PropertyFrame fr;
    OpenPage(fr, f);
    HWND e = Panel(19013);
    for (int id = 19076; id <= 19078; ++id) EXPECT_EQ(Checked(e, id), id == c.radio) << id;
    EXPECT_EQ(Enabled(e, 19080), c.quality);
    EXPECT_EQ(Enabled(e, 19137), c.quality);
    EXPECT_EQ(Enabled(e, 19083), c.bitrate);
    EXPECT_EQ(Enabled(e, 19139), c.bitrate);
    for (int id : {19086, 19140, 19089, 19141}) EXPECT_EQ(Enabled(e, id), c.peak) << id;
    EXPECT_FALSE(Checked(e, 19064));  // profile 2 presses no profile radio
    EXPECT_TRUE(Checked(e, 19073));
    fr.Close();
  }
}

TEST_F(PanelTest, EncoderHiddenAndDisabledControlsTakeNoInput) {
  HWND e = Open(19013, 19130);
  for (int id : {19063, 19065, 19074}) {
    EXPECT_FALSE(Visible(e, id)) << id;
    EXPECT_FALSE(win32::Click(e, id)) << id;
  }
  EXPECT_FALSE(win32::Type(e, 19070, "1"));
  EXPECT_FALSE(win32::Click(e, 19136));
  EXPECT_FALSE(win32::Type(e, 19095, "16"));
  ASSERT_TRUE(win32::Click(e, 19143));
  ASSERT_TRUE(win32::Click(e, 19144));
  ASSERT_TRUE(win32::Click(e, 19144));
  ASSERT_TRUE(win32::Click(e, 19064));
  ASSERT_TRUE(win32::Click(e, 19073));
  EXPECT_EQ(Log(), (Requests{Set(406, 1), Set(406, 1), Set(412, 1), Set(415, 1)}));
  EXPECT_EQ(filter.driver.Stored(406), 1u);
  // Typing keeps to the edit's limit and to digits.
  ASSERT_TRUE(win32::Type(e, 19058, "1x2345"));
  EXPECT_EQ(Text(e, 19058), "123");
}

// ---- Receiver panel ----------------------------------------------------------------------------

TEST_F(PanelTest, ReceiverPanelReadsOnCreationAndOnEveryTick) {
  OpenPage(frame, filter, false);
  filter.driver.ClearLog();
  win32::RunFor(100);
  Requests log = filter.driver.TakeLog();
  Requests receiver(log.begin() + 12, log.begin() + 24);
  EXPECT_EQ(receiver, (Requests{Get(201), Get(232), Get(240), Get(248), Get(224), Get(225), Get(231), Get(204),
                                Get(219), Get(270), Get(277), Get(279)}));
  HWND r = Panel(19008);
  EXPECT_EQ(win32::ComboItems(GetDlgItem(r, 1122)), (std::vector<std::string>{"STANDARD", "TALVEX QRDN"}));

  struct Tick {
    ULONG input, signal;
    Requests sent;
  } const ticks[] = {
      {2, 1, {Get(232), Get(201), Get(230), Get(231), Get(221), Get(222)}},
      {3, 1, {Get(232), Get(201), Get(230), Get(231), Get(221), Get(222)}},
      {3, 0, {Get(232), Get(201), Get(230), Get(231)}},
      {0, 1, {Get(232), Get(201), Get(230), Get(231)}},
  };
  for (const Tick& t : ticks) {
    filter.driver.Values({{201, t.input}, {230, t.signal}});
    win32::RunFor(900);  // the page's status tick comes first
    filter.driver.ClearLog();
    win32::RunFor(100);
    EXPECT_EQ(filter.driver.TakeLog(), t.sent) << t.input << " " << t.signal;
    EXPECT_EQ(Enabled(r, 1115), t.signal && (t.input == 2 || t.input == 3));
  }
  DestroyWindow(r);
  filter.driver.ClearLog();
  win32::RunFor(100);
  win32::RunFor(2000);
  for (const std::string& req : filter.driver.Log()) EXPECT_NE(req, Get(232));
}

// The receiver's controls are hidden, so its handlers are reached by messages as the
// controls would send them, not by a person.
TEST_F(PanelTest, ReceiverHandlersPackAndStepTheirValues) {
  filter.driver.Values({{201, 2}, {231, 0x12345}, {204, 100}, {219, 62}});
  HWND r = Open(19008, 19119);
  auto clicked = [&](int id) {
    SendMessageA(r, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(r, id)));
  };
  auto scrolled = [&](int id, int code, int pos) {
    SendMessageA(r, WM_HSCROLL, MAKEWPARAM(code, pos), reinterpret_cast<LPARAM>(GetDlgItem(r, id)));
  };
  clicked(38001);  // input 2: bits 12-15
  EXPECT_EQ(Log(), (Requests{Get(201), Get(232), Get(231), Set(231, 0x10345)}));
  filter.driver.Store(201, 0);
  clicked(38002);  // input 0: bits 0-11
  EXPECT_EQ(Log(), (Requests{Get(201), Get(232), Get(231), Set(231, 0x10101)}));
  filter.driver.Store(201, 3);
  clicked(38003);  // input 3: bits 16-19
  EXPECT_EQ(Log(), (Requests{Get(201), Get(232), Get(231), Set(231, 0x20101)}));
  filter.driver.Store(201, 4);
  clicked(38003);  // no colour range for other inputs
  EXPECT_EQ(Log(), (Requests{Get(201), Get(232), Get(231)}));
  filter.driver.Store(232, 1);
  clicked(38003);
  EXPECT_EQ(Log(), (Requests{Get(201), Get(232), Get(231)}));

  CheckDlgButton(r, 34000, BST_CHECKED);
  clicked(34000);
  EXPECT_EQ(Log(), (Requests{Get(204), Set(204, 0x80000000u | 100)}));
  EXPECT_FALSE(Enabled(r, 34001));
  CheckDlgButton(r, 34000, BST_UNCHECKED);
  clicked(34000);
  EXPECT_EQ(Log(), (Requests{Get(204), Set(204, 100)}));

  filter.driver.Store(204, 0x80000000u | 509);
  scrolled(34001, TB_PAGEDOWN, 0);
  EXPECT_EQ(Log(), (Requests{Get(204), Set(204, 511)}));
  scrolled(34004, TB_PAGEDOWN, 0);
  EXPECT_EQ(Log(), (Requests{Get(219), Set(219, 63)}));
  filter.driver.Store(219, 3);
  scrolled(34004, TB_PAGEUP, 0);
  EXPECT_EQ(Log(), (Requests{Get(219), Set(219, 0)}));
  scrolled(34004, TB_THUMBTRACK, 40);
  EXPECT_EQ(Log(), (Requests{Set(219, 40)}));
  EXPECT_EQ(Text(r, 34005), " 40");
  scrolled(34004, TB_LINEDOWN, 0);
  EXPECT_TRUE(Log().empty());

  win32::ClearBeeps();
  SetDlgItemTextA(r, 37008, "0");
  clicked(37009);
  SetDlgItemTextA(r, 37008, "-5");
  clicked(37009);
  EXPECT_EQ(win32::Beeps().size(), 2u);
  SetDlgItemTextA(r, 37008, "1440");
  clicked(37009);
  EXPECT_EQ(Log(), (Requests{Set(225, 1440)}));

  clicked(1115);
  EXPECT_EQ(Log(), (Requests{Get(221), Get(222), Set(222, 1)}));
  EXPECT_EQ(Text(r, 1121), "(0, 1)");
  clicked(1118);
  EXPECT_EQ(Log(), (Requests{Get(221), Get(222), Set(221, 0xFFFFFFFF)}));
  EXPECT_EQ(Text(r, 1121), "(-1, 0)");
  clicked(1119);
  EXPECT_EQ(Log(), (Requests{Set(221, 0), Set(222, 0)}));

  SendDlgItemMessageA(r, 1122, CB_SETCURSEL, 1, 0);
  SendMessageA(r, WM_COMMAND, MAKEWPARAM(1122, CBN_SELCHANGE), reinterpret_cast<LPARAM>(GetDlgItem(r, 1122)));
  EXPECT_EQ(Log(), (Requests{Set(270, 1)}));
  CheckDlgButton(r, 38007, BST_CHECKED);
  clicked(38007);
  CheckDlgButton(r, 38010, BST_CHECKED);
  clicked(38010);
  EXPECT_EQ(Log(), (Requests{Set(277, 1), Set(279, 0)}));
}

}  // namespace
}  // namespace tesslin_test
