// The headless window manager: what the plug-in relies on of controls, dialogs, timers,
// hot keys and the string helpers, and that a person cannot act on what is hidden or
// disabled.
#include <gtest/gtest.h>

#include "platform/kernel/machine.h"
#include "platform/win32/win32_host.h"

namespace {

namespace win32 = platform::win32;

// A dialog of our own, with the message log of its procedure.
std::vector<std::string> g_messages;
INT_PTR CALLBACK LoggingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND)
    g_messages.push_back("command " + std::to_string(LOWORD(wParam)) + " " + std::to_string(HIWORD(wParam)));
  else if (message == WM_TIMER)
    g_messages.push_back("timer " + std::to_string(wParam));
  else if (message == WM_HSCROLL)
    g_messages.push_back("scroll " + std::to_string(LOWORD(wParam)) + " " + std::to_string(HIWORD(wParam)));
  else if (message == WM_INITDIALOG)
    g_messages.push_back("init " + std::to_string(lParam));
  else if (message == WM_DESTROY)
    g_messages.push_back("destroy");
  else if (message == WM_HOTKEY)
    g_messages.push_back("hotkey " + std::to_string(wParam));
  return TRUE;
}

const DLGITEMTEMPLATE_DATA kItems[] = {
    {WC_BUTTONA, "A", 10, BS_AUTORADIOBUTTON | WS_GROUP | WS_VISIBLE, 4, 4, 40, 10},
    {WC_BUTTONA, "B", 11, BS_AUTORADIOBUTTON | WS_VISIBLE, 4, 16, 40, 10},
    {WC_BUTTONA, "C", 12, BS_AUTORADIOBUTTON | WS_GROUP | WS_VISIBLE, 4, 28, 40, 10},
    {WC_BUTTONA, "Box", 13, BS_AUTOCHECKBOX | WS_VISIBLE, 50, 4, 40, 10},
    {WC_BUTTONA, "Off", 14, BS_AUTOCHECKBOX | WS_VISIBLE | WS_DISABLED, 50, 16, 40, 10},
    {WC_BUTTONA, "Hidden", 15, BS_PUSHBUTTON, 50, 28, 40, 10},
    {WC_EDITA, "", 16, ES_NUMBER | WS_VISIBLE | WS_TABSTOP, 4, 40, 40, 12},
    {WC_EDITA, "", 17, ES_UPPERCASE | WS_VISIBLE, 50, 40, 40, 12},
    {TRACKBAR_CLASSA, "", 18, TBS_HORZ | WS_VISIBLE, 4, 56, 100, 10},
    {WC_COMBOBOXA, "", 19, CBS_DROPDOWN | WS_VISIBLE, 4, 70, 60, 30},
};
const DLGTEMPLATE_DATA kDialog[] = {{7, DS_CONTROL | WS_CHILD | WS_VISIBLE, 120, 100, "Consolas", 10, kItems, 10}};
const STRINGTABLE_ENTRY kStrings[] = {{1, u"Title"}};
const MODULE_RESOURCES kResources = {kDialog, 1, kStrings, 1};
HINSTANCE const kModule = reinterpret_cast<HINSTANCE>(0x5000);

class UserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::kernel::ResetMachine();
    win32::ResetUser();
    RegisterModuleResources(kModule, &kResources);
    g_messages.clear();
    frame = win32::CreateFrameWindow("frame", 200, 100, 400, 300);
    dlg = CreateDialogParamA(kModule, MAKEINTRESOURCEA(7), frame, LoggingProc, 42);
    ASSERT_NE(dlg, nullptr);
  }
  void TearDown() override {
    win32::ResetUser();
    UnregisterModuleResources(kModule);
  }
  HWND frame = nullptr, dlg = nullptr;
};

TEST_F(UserTest, DialogsAreLaidOutInPixelsFromDialogUnits) {
  EXPECT_EQ(g_messages, (std::vector<std::string>{"init 42"}));
  RECT r;
  GetClientRect(dlg, &r);
  EXPECT_EQ(r.right, 210);   // 120 x 7 / 4
  EXPECT_EQ(r.bottom, 188);  // 100 x 15 / 8 = 187.5, rounded
  HWND edit = GetDlgItem(dlg, 16);
  RECT w;
  GetWindowRect(edit, &w);
  EXPECT_EQ(w.left, 200 + 7);
  EXPECT_EQ(w.top, 100 + 75);
  POINT p{w.left, w.bottom};
  ScreenToClient(dlg, &p);
  EXPECT_EQ(p.x, 7);
  EXPECT_EQ(p.y, 98);  // (40 + 12) x 15 / 8 = 97.5
  RECT m{4, 8, 8, 16};
  ASSERT_TRUE(MapDialogRect(dlg, &m));
  EXPECT_EQ(m.left, 7);
  EXPECT_EQ(m.bottom, 30);
  wchar_t unused;
  (void)unused;
  WCHAR title[16];
  EXPECT_EQ(LoadStringW(kModule, 1, title, 16), 5);
}

TEST_F(UserTest, APersonActsOnlyOnVisibleEnabledControls) {
  EXPECT_FALSE(win32::Click(dlg, 14));  // disabled
  EXPECT_FALSE(win32::Click(dlg, 15));  // hidden
  ShowWindow(dlg, SW_HIDE);
  EXPECT_FALSE(win32::Click(dlg, 13));  // inside a hidden dialog
  ShowWindow(dlg, SW_SHOW);
  EnableWindow(dlg, FALSE);
  EXPECT_FALSE(win32::Type(dlg, 16, "1"));
  EnableWindow(dlg, TRUE);
  EXPECT_TRUE(g_messages.size() == 1);
  // A program may still click what a person cannot see.
  SendDlgItemMessageA(dlg, 15, BM_CLICK, 0, 0);
  SendDlgItemMessageA(dlg, 14, BM_CLICK, 0, 0);
  EXPECT_EQ(g_messages.back(), "command 15 0");
}

TEST_F(UserTest, ButtonsToggleSelectAndNotify) {
  ASSERT_TRUE(win32::Click(dlg, 11));
  ASSERT_TRUE(win32::Click(dlg, 10));
  ASSERT_TRUE(win32::Click(dlg, 10));
  ASSERT_TRUE(win32::Click(dlg, 12));
  ASSERT_TRUE(win32::Click(dlg, 13));
  EXPECT_TRUE(IsDlgButtonChecked(dlg, 10));  // 12 starts its own group
  EXPECT_FALSE(IsDlgButtonChecked(dlg, 11));
  EXPECT_TRUE(IsDlgButtonChecked(dlg, 12));
  EXPECT_TRUE(IsDlgButtonChecked(dlg, 13));
  EXPECT_EQ(g_messages, (std::vector<std::string>{"init 42", "command 11 0", "command 10 0", "command 10 0",
                                                  "command 12 0", "command 13 0"}));
  // Setting a check from the program notifies no one.
  CheckRadioButton(dlg, 10, 12, 11);
  EXPECT_FALSE(IsDlgButtonChecked(dlg, 10));
  EXPECT_TRUE(IsDlgButtonChecked(dlg, 11));
  EXPECT_EQ(g_messages.size(), 6u);
}

TEST_F(UserTest, EditsFilterTypingAndKeepTheirLimit) {
  SendDlgItemMessageA(dlg, 16, EM_LIMITTEXT, 3, 0);
  ASSERT_TRUE(win32::Type(dlg, 16, "1a2-345"));
  EXPECT_EQ(win32::TextOf(GetDlgItem(dlg, 16)), "123");
  ASSERT_TRUE(win32::Paste(dlg, 16, "-99x"));
  EXPECT_EQ(win32::TextOf(GetDlgItem(dlg, 16)), "-99");
  ASSERT_TRUE(win32::Type(dlg, 17, "ab1"));
  EXPECT_EQ(win32::TextOf(GetDlgItem(dlg, 17)), "AB1");
  char buf[3];
  EXPECT_EQ(GetDlgItemTextA(dlg, 17, buf, 3), 2u);
  EXPECT_STREQ(buf, "AB");
  // The limit binds the user, not the program.
  SetDlgItemTextA(dlg, 16, "123456");
  EXPECT_EQ(win32::TextOf(GetDlgItem(dlg, 16)), "123456");
}

TEST_F(UserTest, TrackbarKeysAndDragsScrollTheParent) {
  SendDlgItemMessageA(dlg, 18, TBM_SETRANGE, TRUE, MAKELONG(0, 255));
  SendDlgItemMessageA(dlg, 18, TBM_SETLINESIZE, 0, 4);
  SendDlgItemMessageA(dlg, 18, TBM_SETPAGESIZE, 0, 16);
  SendDlgItemMessageA(dlg, 18, TBM_SETPOS, TRUE, 300);
  EXPECT_EQ(SendDlgItemMessageA(dlg, 18, TBM_GETPOS, 0, 0), 255);
  g_messages.clear();
  ASSERT_TRUE(win32::TrackKey(dlg, 18, win32::Key::PageUp));
  ASSERT_TRUE(win32::TrackKey(dlg, 18, win32::Key::Left));
  ASSERT_TRUE(win32::TrackDrag(dlg, 18, {10, 500}));
  EXPECT_EQ(g_messages, (std::vector<std::string>{"scroll 2 0", "scroll 8 0", "scroll 0 0", "scroll 8 0", "scroll 5 10",
                                                  "scroll 5 255", "scroll 4 255", "scroll 8 0"}));
}

TEST_F(UserTest, CombosSelectAndNotifyOnlyWhenAPersonChooses) {
  HWND combo = GetDlgItem(dlg, 19);
  EXPECT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("one")), 0);
  EXPECT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("two")), 1);
  EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 5, 0), CB_ERR);
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 1, 0), 1);
  EXPECT_EQ(g_messages.size(), 1u);
  ASSERT_TRUE(win32::ComboSelect(dlg, 19, 0));
  EXPECT_EQ(g_messages.back(), "command 19 1");
  EXPECT_FALSE(win32::ComboSelect(dlg, 19, 2));
}

TEST_F(UserTest, TimersFireOnTheMachineClockInOrderAndStopWithTheirWindow) {
  g_messages.clear();
  SetTimer(dlg, 0, 100, nullptr);
  SetTimer(dlg, 1, 1000, nullptr);
  SetTimer(dlg, 2, 100, nullptr);
  win32::RunFor(99);
  EXPECT_TRUE(g_messages.empty());
  win32::RunFor(1);
  EXPECT_EQ(g_messages, (std::vector<std::string>{"timer 0", "timer 2"}));
  EXPECT_EQ(platform::kernel::InterruptTimeNow(), 100 * 10000);
  KillTimer(dlg, 2);
  EXPECT_FALSE(KillTimer(dlg, 2));
  g_messages.clear();
  win32::RunFor(900);
  EXPECT_EQ(g_messages.size(), 10u);
  EXPECT_EQ(g_messages.back(), "timer 1");
  // Setting a timer again restarts it.
  SetTimer(dlg, 0, 500, nullptr);
  g_messages.clear();
  win32::RunFor(499);
  EXPECT_TRUE(g_messages.empty());
  DestroyWindow(frame);
  EXPECT_EQ(g_messages, (std::vector<std::string>{"destroy"}));
  EXPECT_TRUE(win32::Timers().empty());
  EXPECT_FALSE(IsWindow(dlg));
  EXPECT_TRUE(win32::LiveWindows().empty());
}

TEST_F(UserTest, HotKeysAreSystemWideAndLeaveWithTheirWindow) {
  HWND other = CreateDialogParamA(kModule, MAKEINTRESOURCEA(7), frame, LoggingProc, 1);
  ASSERT_TRUE(RegisterHotKey(dlg, 1, MOD_CONTROL | MOD_NOREPEAT, 'D'));
  EXPECT_FALSE(RegisterHotKey(other, 1, MOD_CONTROL, 'D'));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HOTKEY_ALREADY_REGISTERED));
  g_messages.clear();
  ASSERT_TRUE(win32::PressHotKey(MOD_CONTROL, 'D'));
  EXPECT_EQ(g_messages, (std::vector<std::string>{"hotkey 1"}));
  EXPECT_FALSE(win32::PressHotKey(MOD_CONTROL, 'E'));
  DestroyWindow(dlg);
  EXPECT_TRUE(RegisterHotKey(other, 1, MOD_CONTROL, 'D'));
}

TEST(StrToIntExA, ConvertsAsTheShellDoes) {
  struct Case {
    const char* text;
    DWORD flags;
    BOOL ok;
    int value;
  } const cases[] = {
      {"12abc", STIF_DEFAULT, TRUE, 12},    {"  -7", STIF_DEFAULT, TRUE, -7},
      {"+5", STIF_DEFAULT, TRUE, 5},        {"1f", STIF_DEFAULT, TRUE, 1},
      {"0x1f", STIF_SUPPORT_HEX, TRUE, 31}, {"0x0x1F", STIF_SUPPORT_HEX, TRUE, 0},
      {"0x", STIF_SUPPORT_HEX, FALSE, 0},   {"0xFFFFFFFF", STIF_SUPPORT_HEX, TRUE, -1},
      {"", STIF_DEFAULT, FALSE, 0},         {"abc", STIF_DEFAULT, FALSE, 0},
      {"0x10", STIF_DEFAULT, TRUE, 0},      {"4294967297", STIF_DEFAULT, TRUE, 1},
  };
  for (const Case& c : cases) {
    int v = 99;
    EXPECT_EQ(StrToIntExA(c.text, c.flags, &v), c.ok) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
}

TEST(StringCchPrintfA, CutsWhatDoesNotFit) {
  char buf[8];
  EXPECT_EQ(StringCchPrintfA(buf, sizeof buf, "%d", 1234), S_OK);
  EXPECT_STREQ(buf, "1234");
  EXPECT_EQ(StringCchPrintfA(buf, sizeof buf, "%s", "0123456789"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_STREQ(buf, "0123456");
}

}  // namespace
