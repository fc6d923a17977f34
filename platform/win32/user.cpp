// The headless window manager: windows, dialogs from module resources, the controls the
// plug-in uses, messages, window timers on the machine clock, hot keys and focus, and
// the actions of a person at the screen.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>

#include "platform/kernel/machine.h"
#include "platform/win32/internal.h"

namespace platform::win32::detail {
namespace {

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  UINT period;
  LONGLONG due;  // interrupt time, 100 ns
  uint64_t order;
};
struct HotKey {
  HWND hwnd;
  int id;
  UINT modifiers;
  UINT key;
  UINT requested;
};

struct State {
  std::map<uintptr_t, Window> windows;
  uintptr_t nextHandle = 0x10010;
  uint64_t nextSerial = 1;
  std::vector<Timer> timers;
  uint64_t nextTimerOrder = 1;
  std::vector<HotKey> hotKeys;
  std::deque<MSG> posted;
  HWND focus = nullptr;
  int baseX = 7, baseY = 15;
  std::map<HINSTANCE, const MODULE_RESOURCES*> resources;
};
State& S() {
  static State s;
  return s;
}

Kind KindOf(const std::string& cls) {
  auto eq = [&](const char* n) { return strcasecmp(cls.c_str(), n) == 0; };
  if (eq(WC_BUTTONA)) return Kind::Button;
  if (eq(WC_STATICA)) return Kind::Static;
  if (eq(WC_EDITA)) return Kind::Edit;
  if (eq(TRACKBAR_CLASSA)) return Kind::Trackbar;
  if (eq(WC_COMBOBOXA)) return Kind::Combo;
  if (eq("#32770")) return Kind::Dialog;
  return Kind::Frame;
}

HWND NewWindow(Kind kind, const std::string& cls, DWORD style, int id, const std::string& text, RECT rect,
               HWND parent) {
  State& s = S();
  Window w;
  w.handle = s.nextHandle;
  s.nextHandle += 0x10;  // handles are never reused
  w.kind = kind;
  w.className = cls;
  w.style = style;
  w.id = id;
  w.text = text;
  w.rect = rect;
  w.parent = parent;
  w.serial = s.nextSerial++;
  HWND h = HandleOf(w);
  s.windows.emplace(w.handle, std::move(w));
  if (Window* p = Find(parent)) p->children.push_back(h);
  return h;
}

UINT ButtonType(const Window& w) { return w.style & BS_TYPEMASK; }
bool IsRadio(const Window& w) {
  return w.kind == Kind::Button && (ButtonType(w) == BS_AUTORADIOBUTTON || ButtonType(w) == BS_RADIOBUTTON);
}

// The radio buttons of a button's group: from the nearest sibling at or before it that
// starts a group (WS_GROUP) up to the next one that starts a group.
std::vector<HWND> GroupOf(HWND button) {
  Window* w = Find(button);
  Window* p = w ? Find(w->parent) : nullptr;
  if (!p) return {button};
  auto& sib = p->children;
  auto it = std::find(sib.begin(), sib.end(), button);
  size_t at = static_cast<size_t>(it - sib.begin());
  size_t first = at;
  while (first > 0 && !(Find(sib[first])->style & WS_GROUP)) --first;
  std::vector<HWND> group;
  for (size_t i = first; i < sib.size(); ++i) {
    if (i > first && (Find(sib[i])->style & WS_GROUP)) break;
    group.push_back(sib[i]);
  }
  return group;
}

void Notify(Window& control, WORD code) {
  HWND self = HandleOf(control);
  HWND parent = control.parent;
  SendMessageA(parent, WM_COMMAND, MAKEWPARAM(control.id, code), reinterpret_cast<LPARAM>(self));
}

// A button pressed with the mouse or by BM_CLICK.
void PressButton(HWND hwnd) {
  Window* w = Find(hwnd);
  if (!w) return;
  UINT type = ButtonType(*w);
  if (type == BS_AUTOCHECKBOX) {
    w->check = w->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
  } else if (type == BS_AUTORADIOBUTTON) {
    for (HWND other : GroupOf(hwnd)) {
      Window* o = Find(other);
      if (o && o != w && IsRadio(*o)) o->check = BST_UNCHECKED;
    }
    w->check = BST_CHECKED;
  }
  Notify(*w, BN_CLICKED);
}

int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

LRESULT ControlProc(Window& w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SETTEXT:
      w.text = lp ? reinterpret_cast<const char*>(lp) : "";
      return TRUE;
    case WM_GETTEXT: {
      if (wp == 0) return 0;
      size_t n = std::min<size_t>(w.text.size(), wp - 1);
      std::memcpy(reinterpret_cast<char*>(lp), w.text.data(), n);
      reinterpret_cast<char*>(lp)[n] = 0;
      return static_cast<LRESULT>(n);
    }
  }
  switch (w.kind) {
    case Kind::Button:
      if (msg == BM_GETCHECK) return w.check;
      if (msg == BM_SETCHECK) {
        if (ButtonType(w) != BS_GROUPBOX && ButtonType(w) != BS_PUSHBUTTON && ButtonType(w) != BS_DEFPUSHBUTTON)
          w.check = static_cast<int>(wp);
        return 0;
      }
      if (msg == BM_CLICK) {
        if (IsWindowEnabled(HandleOf(w))) PressButton(HandleOf(w));
        return 0;
      }
      break;
    case Kind::Edit:
      if (msg == EM_SETLIMITTEXT) {
        w.limit = wp == 0 ? 0x7FFFFFFE : static_cast<int>(wp);
        return 0;
      }
      if (msg == EM_GETLIMITTEXT) return w.limit;
      break;
    case Kind::Trackbar:
      switch (msg) {
        case TBM_GETPOS:
          return w.tbPos;
        case TBM_GETRANGEMIN:
          return w.tbMin;
        case TBM_GETRANGEMAX:
          return w.tbMax;
        case TBM_SETRANGE:
          w.tbMin = static_cast<int16_t>(LOWORD(lp));
          w.tbMax = static_cast<int16_t>(HIWORD(lp));
          w.tbPos = Clamp(w.tbPos, w.tbMin, w.tbMax);
          return 0;
        case TBM_SETPOS:
          w.tbPos = Clamp(static_cast<int>(lp), w.tbMin, w.tbMax);
          return 0;
        case TBM_SETLINESIZE: {
          int old = w.tbLine;
          w.tbLine = static_cast<int>(lp);
          return old;
        }
        case TBM_SETPAGESIZE: {
          int old = w.tbPage;
          w.tbPage = static_cast<int>(lp);
          return old;
        }
        case TBM_GETLINESIZE:
          return w.tbLine;
        case TBM_GETPAGESIZE:
          return w.tbPage;
      }
      break;
    case Kind::Combo:
      switch (msg) {
        case CB_ADDSTRING:
          w.items.emplace_back(reinterpret_cast<const char*>(lp));
          return static_cast<LRESULT>(w.items.size() - 1);
        case CB_GETCOUNT:
          return static_cast<LRESULT>(w.items.size());
        case CB_GETCURSEL:
          return w.selection;
        case CB_SETCURSEL: {
          int i = static_cast<int>(static_cast<int64_t>(wp));
          if (i < 0 || i >= static_cast<int>(w.items.size())) {
            w.selection = CB_ERR;
            w.text.clear();
            return CB_ERR;
          }
          w.selection = i;
          w.text = w.items[static_cast<size_t>(i)];
          return i;
        }
        case CB_GETLBTEXT: {
          size_t i = wp;
          if (i >= w.items.size()) return CB_ERR;
          std::strcpy(reinterpret_cast<char*>(lp), w.items[i].c_str());
          return static_cast<LRESULT>(w.items[i].size());
        }
      }
      break;
    default:
      break;
  }
  return 0;
}

void DropWindowState(HWND h) {
  State& s = S();
  std::erase_if(s.timers, [&](const Timer& t) { return t.hwnd == h; });
  std::erase_if(s.hotKeys, [&](const HotKey& k) { return k.hwnd == h; });
  std::erase_if(s.posted, [&](const MSG& m) { return m.hwnd == h; });
  if (s.focus == h) s.focus = nullptr;
}

void DestroyTree(HWND h) {
  Window* w = Find(h);
  if (!w) return;
  SendMessageA(h, WM_DESTROY, 0, 0);
  // The procedure may have destroyed children (or the window itself) already.
  w = Find(h);
  if (!w) return;
  std::vector<HWND> kids = w->children;
  for (HWND c : kids) DestroyTree(c);
  w = Find(h);
  if (!w) return;
  HWND parent = w->parent;
  DropWindowState(h);
  S().windows.erase(reinterpret_cast<uintptr_t>(h));
  if (Window* p = Find(parent)) std::erase(p->children, h);
}

POINT ScreenOrigin(HWND h) {
  POINT pt{0, 0};
  for (Window* w = Find(h); w; w = Find(w->parent)) {
    pt.x += w->rect.left;
    pt.y += w->rect.top;
  }
  return pt;
}

bool Reachable(HWND h) { return IsWindowVisible(h) && EffectivelyEnabled(h); }

void DispatchPosted(const MSG& m) {
  if (Find(m.hwnd)) SendMessageA(m.hwnd, m.message, m.wParam, m.lParam);
}

// Sends WM_TIMER for the earliest timer due at or before `limit`; false when none is.
bool FireOneTimer(LONGLONG limit, bool moveClock) {
  State& s = S();
  Timer* next = nullptr;
  for (auto& t : s.timers)
    if (t.due <= limit && (!next || t.due < next->due || (t.due == next->due && t.order < next->order))) next = &t;
  if (!next) return false;
  LONGLONG now = platform::kernel::InterruptTimeNow();
  if (moveClock && next->due > now) platform::kernel::AdvanceClock(next->due - now);
  HWND h = next->hwnd;
  UINT_PTR id = next->id;
  next->due += static_cast<LONGLONG>(next->period) * 10000;
  if (next->period == 0) next->due += 1;
  SendMessageA(h, WM_TIMER, id, 0);
  return true;
}

}  // namespace

std::map<uintptr_t, Window>& Windows() { return S().windows; }

Window* Find(HWND hwnd) {
  auto& m = S().windows;
  auto it = m.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == m.end() ? nullptr : &it->second;
}

}  // namespace platform::win32::detail

using namespace platform::win32::detail;

// ---- Windows --------------------------------------------------------------------------------

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, UINT_PTR id, HINSTANCE instance, LPVOID param) {
  if (parent && !Find(parent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  std::string cls = className ? className : "";
  RECT r{x, y, x + std::max(width, 0), y + std::max(height, 0)};
  return NewWindow(KindOf(cls), cls, style, static_cast<int>(id), windowName ? windowName : "", r, parent);
}

BOOL DestroyWindow(HWND hwnd) {
  if (!Find(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  DestroyTree(hwnd);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) { return Find(hwnd) != nullptr; }

HWND GetParent(HWND hwnd) {
  Window* w = Find(hwnd);
  return w && (w->style & WS_CHILD) ? w->parent : nullptr;
}

HWND GetDlgItem(HWND dialog, int id) {
  Window* d = Find(dialog);
  if (!d) return nullptr;
  for (HWND c : d->children)
    if (Find(c)->id == id) return c;
  return nullptr;
}

int GetDlgCtrlID(HWND hwnd) {
  Window* w = Find(hwnd);
  return w ? w->id : 0;
}

BOOL ShowWindow(HWND hwnd, int command) {
  Window* w = Find(hwnd);
  if (!w) return FALSE;
  BOOL was = (w->style & WS_VISIBLE) != 0;
  if (command == SW_HIDE)
    w->style &= ~static_cast<DWORD>(WS_VISIBLE);
  else
    w->style |= WS_VISIBLE;
  return was;
}

BOOL IsWindowVisible(HWND hwnd) {
  Window* w = Find(hwnd);
  if (!w) return FALSE;
  for (; w; w = Find(w->parent))
    if (!(w->style & WS_VISIBLE)) return FALSE;
  return TRUE;
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
  Window* w = Find(hwnd);
  if (!w) return FALSE;
  BOOL wasDisabled = (w->style & WS_DISABLED) != 0;
  if (enable)
    w->style &= ~static_cast<DWORD>(WS_DISABLED);
  else
    w->style |= WS_DISABLED;
  return wasDisabled;
}

BOOL IsWindowEnabled(HWND hwnd) {
  Window* w = Find(hwnd);
  return w && !(w->style & WS_DISABLED);
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint) {
  Window* w = Find(hwnd);
  if (!w) return FALSE;
  w->rect = RECT{x, y, x + std::max(width, 0), y + std::max(height, 0)};
  return TRUE;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect) {
  Window* w = Find(hwnd);
  if (!w || !rect) return FALSE;
  *rect = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
  return TRUE;
}

BOOL GetWindowRect(HWND hwnd, LPRECT rect) {
  Window* w = Find(hwnd);
  if (!w || !rect) return FALSE;
  POINT o = ScreenOrigin(hwnd);
  *rect = RECT{o.x, o.y, o.x + (w->rect.right - w->rect.left), o.y + (w->rect.bottom - w->rect.top)};
  return TRUE;
}

BOOL ScreenToClient(HWND hwnd, LPPOINT point) {
  if (!Find(hwnd) || !point) return FALSE;
  POINT o = ScreenOrigin(hwnd);
  point->x -= o.x;
  point->y -= o.y;
  return TRUE;
}

BOOL ClientToScreen(HWND hwnd, LPPOINT point) {
  if (!Find(hwnd) || !point) return FALSE;
  POINT o = ScreenOrigin(hwnd);
  point->x += o.x;
  point->y += o.y;
  return TRUE;
}

BOOL MapDialogRect(HWND dialog, LPRECT rect) {
  if (!Find(dialog) || !rect) return FALSE;
  using namespace platform::win32;
  *rect =
      RECT{DluToPixelsX(rect->left), DluToPixelsY(rect->top), DluToPixelsX(rect->right), DluToPixelsY(rect->bottom)};
  return TRUE;
}

HWND SetFocus(HWND hwnd) {
  if (hwnd && !Find(hwnd)) return nullptr;
  HWND old = S().focus;
  S().focus = hwnd;
  return old;
}

HWND GetFocus() { return S().focus; }

BOOL SetWindowTextA(HWND hwnd, LPCSTR text) {
  if (!Find(hwnd)) return FALSE;
  SendMessageA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  return TRUE;
}

int GetWindowTextA(HWND hwnd, LPSTR buffer, int size) {
  Window* w = Find(hwnd);
  if (!w || !buffer || size <= 0) return 0;
  size_t n = std::min<size_t>(w->text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, w->text.data(), n);
  buffer[n] = 0;
  return static_cast<int>(n);
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) { return SetWindowTextA(GetDlgItem(dialog, id), text); }

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size) {
  HWND c = GetDlgItem(dialog, id);
  if (!c) {
    if (buffer && size > 0) buffer[0] = 0;
    return 0;
  }
  return static_cast<UINT>(GetWindowTextA(c, buffer, size));
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
  Window* w = Find(hwnd);
  if (!w) return 0;
  LONG_PTR* slot = index == DWLP_MSGRESULT && w->kind == Kind::Dialog ? &w->msgResult : &w->user;
  LONG_PTR old = *slot;
  *slot = value;
  return old;
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
  Window* w = Find(hwnd);
  if (!w) return 0;
  return index == DWLP_MSGRESULT && w->kind == Kind::Dialog ? w->msgResult : w->user;
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* w = Find(hwnd);
  if (!w) return 0;
  if (w->kind == Kind::Dialog) {
    if (message == WM_SETTEXT || message == WM_GETTEXT) return ControlProc(*w, message, wParam, lParam);
    DLGPROC proc = w->dlgProc;
    return proc ? proc(hwnd, message, wParam, lParam) : 0;
  }
  if (w->kind == Kind::Frame) {
    if (message == WM_SETTEXT || message == WM_GETTEXT) return ControlProc(*w, message, wParam, lParam);
    return 0;
  }
  return ControlProc(*w, message, wParam, lParam);
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
  return SendMessageA(GetDlgItem(dialog, id), message, wParam, lParam);
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!Find(hwnd)) return FALSE;
  S().posted.push_back(MSG{hwnd, message, wParam, lParam, 0, {0, 0}});
  return TRUE;
}

BOOL InvalidateRect(HWND hwnd, const RECT*, BOOL) { return Find(hwnd) != nullptr; }
BOOL UpdateWindow(HWND hwnd) { return Find(hwnd) != nullptr; }

// ---- Dialogs ---------------------------------------------------------------------------------

BOOL RegisterModuleResources(HINSTANCE instance, const MODULE_RESOURCES* resources) {
  if (!instance || !resources) return FALSE;
  S().resources[instance] = resources;
  return TRUE;
}

BOOL UnregisterModuleResources(HINSTANCE instance) { return S().resources.erase(instance) ? TRUE : FALSE; }

HWND CreateDialogParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC proc, LPARAM param) {
  using namespace platform::win32;
  auto it = S().resources.find(instance);
  if (it == S().resources.end() || !IS_INTRESOURCE(templateName)) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  WORD id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(templateName));
  const DLGTEMPLATE_DATA* t = nullptr;
  for (UINT i = 0; i < it->second->dialogCount; ++i)
    if (it->second->dialogs[i].id == id) t = &it->second->dialogs[i];
  if (!t || (parent && !Find(parent))) {
    SetLastError(t ? ERROR_INVALID_WINDOW_HANDLE : ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  RECT r{0, 0, DluToPixelsX(t->cx), DluToPixelsY(t->cy)};
  HWND dlg = NewWindow(Kind::Dialog, "#32770", t->style, 0, "", r, parent);
  Find(dlg)->templateId = id;
  HWND firstTab = nullptr;
  for (UINT i = 0; i < t->itemCount; ++i) {
    const DLGITEMTEMPLATE_DATA& it2 = t->items[i];
    RECT cr{DluToPixelsX(it2.x), DluToPixelsY(it2.y), DluToPixelsX(it2.x + it2.cx), DluToPixelsY(it2.y + it2.cy)};
    std::string cls = it2.className;
    HWND c = NewWindow(KindOf(cls), cls, it2.style | WS_CHILD, it2.id, it2.text ? it2.text : "", cr, dlg);
    if (!firstTab && (it2.style & WS_TABSTOP)) firstTab = c;
  }
  Window* d = Find(dlg);
  d->dlgProc = proc;
  SendMessageA(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTab), param);
  return Find(dlg) ? dlg : nullptr;
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  HWND c = GetDlgItem(dialog, id);
  if (!c) return FALSE;
  SendMessageA(c, BM_SETCHECK, check, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
  return static_cast<UINT>(SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0));
}

BOOL CheckRadioButton(HWND dialog, int first, int last, int check) {
  if (!Find(dialog)) return FALSE;
  for (int id = first; id <= last; ++id)
    if (HWND c = GetDlgItem(dialog, id)) SendMessageA(c, BM_SETCHECK, id == check ? BST_CHECKED : BST_UNCHECKED, 0);
  return TRUE;
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int size) {
  auto it = S().resources.find(instance);
  if (it == S().resources.end() || !buffer || size <= 0) return 0;
  for (UINT i = 0; i < it->second->stringCount; ++i) {
    const STRINGTABLE_ENTRY& e = it->second->strings[i];
    if (e.id != id) continue;
    int n = 0;
    while (e.text[n] && n < size - 1) {
      buffer[n] = e.text[n];
      ++n;
    }
    buffer[n] = 0;
    return n;
  }
  buffer[0] = 0;
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return 0;
}

BOOL InitCommonControls() { return TRUE; }

// ---- Timers and hot keys -------------------------------------------------------------------

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  if (!Find(hwnd) || proc) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  State& s = S();
  std::erase_if(s.timers, [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  LONGLONG due = platform::kernel::InterruptTimeNow() + static_cast<LONGLONG>(elapse) * 10000;
  s.timers.push_back(Timer{hwnd, id, elapse, due, s.nextTimerOrder++});
  return id ? id : 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  size_t n = std::erase_if(S().timers, [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  return n ? TRUE : FALSE;
}

BOOL RegisterHotKey(HWND hwnd, int id, UINT modifiers, UINT key) {
  if (!Find(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  UINT mods = modifiers & ~static_cast<UINT>(MOD_NOREPEAT);
  for (const HotKey& k : S().hotKeys)
    if ((k.modifiers == mods && k.key == key) || (k.hwnd == hwnd && k.id == id)) {
      SetLastError(ERROR_HOTKEY_ALREADY_REGISTERED);
      return FALSE;
    }
  S().hotKeys.push_back(HotKey{hwnd, id, mods, key, modifiers});
  return TRUE;
}

BOOL UnregisterHotKey(HWND hwnd, int id) {
  size_t n = std::erase_if(S().hotKeys, [&](const HotKey& k) { return k.hwnd == hwnd && k.id == id; });
  if (!n) SetLastError(ERROR_HOTKEY_NOT_REGISTERED);
  return n ? TRUE : FALSE;
}

// ---- Host side ----------------------------------------------------------------------------------

namespace platform::win32 {

void ResetUserWindows() {
  std::vector<HWND> tops;
  for (auto& [h, w] : S().windows)
    if (!Find(w.parent)) tops.push_back(HandleOf(w));
  for (HWND h : tops) DestroyWindow(h);
  State& s = S();
  s.windows.clear();
  s.timers.clear();
  s.hotKeys.clear();
  s.posted.clear();
  s.focus = nullptr;
  s.baseX = 7;
  s.baseY = 15;
}

void SetDialogBaseUnits(int x, int y) {
  S().baseX = x;
  S().baseY = y;
}
int DialogBaseUnitX() { return S().baseX; }
int DialogBaseUnitY() { return S().baseY; }
static int MulDivRound(int v, int mul, int div) {
  int64_t p = static_cast<int64_t>(v) * mul;
  return static_cast<int>(p >= 0 ? (p + div / 2) / div : -((-p + div / 2) / div));
}
int DluToPixelsX(int x) { return MulDivRound(x, S().baseX, 4); }
int DluToPixelsY(int y) { return MulDivRound(y, S().baseY, 8); }

HWND CreateFrameWindow(const char* title, int x, int y, int width, int height) {
  return CreateWindowExA(0, "VorlixFrame", title, WS_OVERLAPPED | WS_VISIBLE, x, y, width, height, nullptr, 0, nullptr,
                         nullptr);
}

std::vector<HWND> LiveWindows() {
  std::vector<std::pair<uint64_t, HWND>> v;
  for (auto& [h, w] : S().windows) v.emplace_back(w.serial, HandleOf(w));
  std::sort(v.begin(), v.end());
  std::vector<HWND> out;
  for (auto& p : v) out.push_back(p.second);
  return out;
}
std::vector<HWND> Children(HWND hwnd) {
  Window* w = Find(hwnd);
  return w ? w->children : std::vector<HWND>{};
}
std::string ClassOf(HWND hwnd) {
  Window* w = Find(hwnd);
  return w ? w->className : "";
}
DWORD StyleOf(HWND hwnd) {
  Window* w = Find(hwnd);
  return w ? w->style : 0;
}
std::string TextOf(HWND hwnd) {
  Window* w = Find(hwnd);
  return w ? w->text : "";
}
RECT RectOf(HWND hwnd) {
  Window* w = Find(hwnd);
  return w ? w->rect : RECT{};
}
bool OwnVisible(HWND hwnd) { return StyleOf(hwnd) & WS_VISIBLE; }
bool EffectivelyEnabled(HWND hwnd) {
  Window* w = Find(hwnd);
  if (!w) return false;
  for (; w; w = Find(w->parent))
    if (w->style & WS_DISABLED) return false;
  return true;
}
HWND FindDialog(WORD templateId, int nth) {
  for (HWND h : LiveWindows()) {
    Window* w = Find(h);
    if (w->kind == Kind::Dialog && w->templateId == templateId && nth-- == 0) return h;
  }
  return nullptr;
}
WORD DialogTemplateOf(HWND hwnd) {
  Window* w = Find(hwnd);
  return w ? w->templateId : 0;
}
bool Checked(HWND control) {
  Window* w = Find(control);
  return w && w->check == BST_CHECKED;
}
int TrackbarPos(HWND control) {
  Window* w = Find(control);
  return w ? w->tbPos : 0;
}
std::vector<std::string> ComboItems(HWND control) {
  Window* w = Find(control);
  return w ? w->items : std::vector<std::string>{};
}
int ComboSelection(HWND control) {
  Window* w = Find(control);
  return w ? w->selection : CB_ERR;
}
int EditLimit(HWND control) {
  Window* w = Find(control);
  return w ? w->limit : 0;
}

bool Click(HWND control) {
  Window* w = Find(control);
  if (!w || w->kind != Kind::Button || ButtonType(*w) == BS_GROUPBOX || !Reachable(control)) return false;
  SetFocus(control);
  PressButton(control);
  return true;
}
bool Click(HWND dialog, int id) { return Click(GetDlgItem(dialog, id)); }

static bool Enter(HWND dialog, int id, const std::string& text, bool typed) {
  HWND c = GetDlgItem(dialog, id);
  Window* w = Find(c);
  if (!w || w->kind != Kind::Edit || !Reachable(c)) return false;
  SetFocus(c);
  bool hadText = !w->text.empty();
  w->text.clear();
  if (hadText) Notify(*w, EN_CHANGE);
  if (!typed) {
    if (!(w = Find(c))) return true;
    w->text = text.substr(0, static_cast<size_t>(std::max(w->limit, 0)));
    Notify(*w, EN_CHANGE);
    return true;
  }
  for (char ch : text) {
    if (!(w = Find(c))) return true;
    if ((w->style & ES_NUMBER) && (ch < '0' || ch > '9')) continue;  // refused, as the edit beeps
    if (static_cast<int>(w->text.size()) >= w->limit) break;
    if ((w->style & ES_UPPERCASE) && ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    w->text.push_back(ch);
    Notify(*w, EN_CHANGE);
  }
  return true;
}
bool Type(HWND dialog, int id, const std::string& text) { return Enter(dialog, id, text, true); }
bool Paste(HWND dialog, int id, const std::string& text) { return Enter(dialog, id, text, false); }

static void Scroll(HWND c, int code, int pos) {
  Window* w = Find(c);
  if (!w) return;
  UINT msg = (w->style & 0x0002 /* TBS_VERT */) ? WM_VSCROLL : WM_HSCROLL;
  SendMessageA(w->parent, msg, MAKEWPARAM(code, pos), reinterpret_cast<LPARAM>(c));
}

bool TrackKey(HWND dialog, int id, Key key) {
  HWND c = GetDlgItem(dialog, id);
  Window* w = Find(c);
  if (!w || w->kind != Kind::Trackbar || !Reachable(c)) return false;
  SetFocus(c);
  int pos = w->tbPos, code = TB_LINEUP;
  switch (key) {
    case Key::Left:
    case Key::Up:
      pos -= w->tbLine;
      code = TB_LINEUP;
      break;
    case Key::Right:
    case Key::Down:
      pos += w->tbLine;
      code = TB_LINEDOWN;
      break;
    case Key::PageUp:
      pos -= w->tbPage;
      code = TB_PAGEUP;
      break;
    case Key::PageDown:
      pos += w->tbPage;
      code = TB_PAGEDOWN;
      break;
    case Key::Home:
      pos = w->tbMin;
      code = TB_TOP;
      break;
    case Key::End:
      pos = w->tbMax;
      code = TB_BOTTOM;
      break;
  }
  w->tbPos = Clamp(pos, w->tbMin, w->tbMax);
  Scroll(c, code, 0);
  Scroll(c, TB_ENDTRACK, 0);
  return true;
}

bool TrackDrag(HWND dialog, int id, const std::vector<int>& positions) {
  HWND c = GetDlgItem(dialog, id);
  Window* w = Find(c);
  if (!w || w->kind != Kind::Trackbar || !Reachable(c) || positions.empty()) return false;
  SetFocus(c);
  int last = 0;
  for (int p : positions) {
    if (!(w = Find(c))) return true;
    w->tbPos = last = Clamp(p, w->tbMin, w->tbMax);
    Scroll(c, TB_THUMBTRACK, last);
  }
  Scroll(c, TB_THUMBPOSITION, last);
  Scroll(c, TB_ENDTRACK, 0);
  return true;
}

bool ComboSelect(HWND dialog, int id, int index) {
  HWND c = GetDlgItem(dialog, id);
  Window* w = Find(c);
  if (!w || w->kind != Kind::Combo || !Reachable(c) || index < 0 || index >= static_cast<int>(w->items.size()))
    return false;
  SetFocus(c);
  w->selection = index;
  w->text = w->items[static_cast<size_t>(index)];
  Notify(*w, CBN_SELCHANGE);
  return true;
}

bool PressHotKey(UINT modifiers, UINT key) {
  UINT mods = modifiers & ~static_cast<UINT>(MOD_NOREPEAT);
  for (const HotKey& k : S().hotKeys)
    if (k.modifiers == mods && k.key == key) {
      PostMessageA(k.hwnd, WM_HOTKEY, static_cast<WPARAM>(k.id), MAKELPARAM(mods, key));
      PumpPosted();
      return true;
    }
  return false;
}

size_t PumpPosted() {
  size_t n = 0;
  while (!S().posted.empty()) {
    MSG m = S().posted.front();
    S().posted.pop_front();
    DispatchPosted(m);
    ++n;
  }
  return n;
}

void RunFor(int64_t ms) {
  using namespace platform::kernel;
  PumpPosted();
  if (GetClockKind() == ClockKind::Test) {
    LONGLONG target = InterruptTimeNow() + ms * 10000;
    while (FireOneTimer(target, true)) PumpPosted();
    LONGLONG now = InterruptTimeNow();
    if (target > now) AdvanceClock(target - now);
    return;
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    while (FireOneTimer(InterruptTimeNow(), false)) PumpPosted();
    PumpPosted();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::vector<TimerInfo> Timers() {
  std::vector<TimerInfo> out;
  for (const Timer& t : S().timers) out.push_back(TimerInfo{t.hwnd, t.id, t.period});
  return out;
}

std::vector<HotKeyInfo> HotKeys() {
  std::vector<HotKeyInfo> out;
  for (const HotKey& k : S().hotKeys) out.push_back(HotKeyInfo{k.hwnd, k.id, k.modifiers, k.key, k.requested});
  return out;
}

}  // namespace platform::win32
