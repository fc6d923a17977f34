// The window manager's controls, for tests and the main job: what a person at the screen
// does (click, type, drag a trackbar, press keys), what they see (texts, states,
// rectangles), the clock that drives window timers, and the logs of calls a test checks.
// Host code only: the system's code never includes this.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

namespace platform::win32 {

// Back to a fresh window manager: every window destroyed (WM_DESTROY sent), timers, hot
// keys, posted messages, the focus, the Beep and debug-output logs and the heap
// counters cleared; base units 7 x 15; operating system version 10.0.
void ResetUser();

// ---- Dialog base units ----------------------------------------------------------------------
void SetDialogBaseUnits(int x, int y);
int DialogBaseUnitX();
int DialogBaseUnitY();
// Dialog units to pixels as MapDialogRect does (x * bx / 4, y * by / 8, rounded).
int DluToPixelsX(int x);
int DluToPixelsY(int y);

// ---- Windows ----------------------------------------------------------------------------
// A top-level window at a screen position, as an application's frame (no border: the
// client area is the window).
HWND CreateFrameWindow(const char* title, int x, int y, int width, int height);
// Live windows, in creation order.
std::vector<HWND> LiveWindows();
std::vector<HWND> Children(HWND hwnd);
std::string ClassOf(HWND hwnd);
DWORD StyleOf(HWND hwnd);
std::string TextOf(HWND hwnd);
// The rectangle relative to the parent's client area (screen for a top-level window).
RECT RectOf(HWND hwnd);
// The window's own visible flag (IsWindowVisible also asks the ancestors).
bool OwnVisible(HWND hwnd);
// Ancestors included.
bool EffectivelyEnabled(HWND hwnd);
// The dialog created from template `id`, the nth (0-based) of those alive; null if none.
HWND FindDialog(WORD templateId, int nth = 0);
WORD DialogTemplateOf(HWND hwnd);
// Control state.
bool Checked(HWND control);
int TrackbarPos(HWND control);
std::vector<std::string> ComboItems(HWND control);
int ComboSelection(HWND control);
int EditLimit(HWND control);

// ---- A person at the screen --------------------------------------------------------------
// Each action refuses (returns false, does nothing) when the control or one of its
// ancestors is hidden or disabled, or is not of a kind the action applies to.
// Click: a button as the mouse would (check boxes toggle, radio buttons select themselves
// in their group, then BN_CLICKED to the parent).
bool Click(HWND control);
bool Click(HWND dialog, int id);
// Type: selects all of an edit's text and types `text` over it, one key at a time
// (ES_NUMBER refuses non-digits, ES_UPPERCASE raises letters, typing stops at the text
// limit); EN_CHANGE to the parent after each accepted key.
bool Type(HWND dialog, int id, const std::string& text);
// Paste: replaces the text from the clipboard (the limit applies, ES_NUMBER does not).
bool Paste(HWND dialog, int id, const std::string& text);
enum class Key { Left, Right, Up, Down, PageUp, PageDown, Home, End };
// A key on a focused trackbar: moves the thumb, sends WM_HSCROLL with the key's code,
// then TB_ENDTRACK.
bool TrackKey(HWND dialog, int id, Key key);
// Drags the thumb through `positions` (TB_THUMBTRACK at each), releases at the last
// (TB_THUMBPOSITION), then TB_ENDTRACK.
bool TrackDrag(HWND dialog, int id, const std::vector<int>& positions);
bool ComboSelect(HWND dialog, int id, int index);
// A key combination pressed anywhere: the window that registered it as a hot key gets
// WM_HOTKEY (posted, then pumped). False when nobody registered it.
bool PressHotKey(UINT modifiers, UINT key);

// ---- Messages and time ------------------------------------------------------------------
// Dispatches posted messages; returns how many.
size_t PumpPosted();
// Test clock: moves the machine clock forward by `ms`, stopping at each window timer's due
// time (earliest first, ties in the order the timers were set) to send its WM_TIMER.
// Real clock: runs the message loop for `ms` of real time.
void RunFor(int64_t ms);
struct TimerInfo {
  HWND hwnd;
  UINT_PTR id;
  UINT period;
};
std::vector<TimerInfo> Timers();
struct HotKeyInfo {
  HWND hwnd;
  int id;
  UINT modifiers;  // the combination (MOD_NOREPEAT left out)
  UINT key;
  UINT requested;  // the modifiers as registered
};
std::vector<HotKeyInfo> HotKeys();

// ---- Logs and settings --------------------------------------------------------------------
struct BeepRecord {
  DWORD frequency;
  DWORD duration;
  bool operator==(const BeepRecord&) const = default;
};
std::vector<BeepRecord> Beeps();
void ClearBeeps();
std::string DebugOutput();
void ClearDebugOutput();
void SetOsVersion(DWORD major, DWORD minor, DWORD build);
// Heap blocks alive now, and failure of the nth allocation from now (1 = the next).
int64_t HeapLiveBlocks();
void FailNthHeapAllocation(uint64_t n);

// ---- Registry under HKEY_CLASSES_ROOT ----------------------------------------------------
// The machine's registry key that HKEY_CLASSES_ROOT names.
extern const char16_t kClassesRootKey[];
// Writes under any key whose path (relative to HKEY_CLASSES_ROOT, case ignored) starts
// with `prefix` fail with `error` until cleared.
void FailRegistryWritesUnder(const std::string& prefix, LSTATUS error);
void ClearRegistryFaults();
// Every key below HKEY_CLASSES_ROOT with its values, one per line, sorted:
// "CLSID\{...}\InprocServer32 | ThreadingModel = Both" ("@" names the default value).
std::vector<std::string> ClassesRootDump();

// ---- Pictures --------------------------------------------------------------------------------
struct RenderOptions {
  bool xray = false;  // draw hidden windows dashed instead of leaving them out
};
// Draws the window and its children as a person sees them to a PNG file.
bool RenderPng(HWND hwnd, const std::string& path, const RenderOptions& options = {});
// The same as a scalable picture.
bool RenderSvg(HWND hwnd, const std::string& path, const RenderOptions& options = {});

}  // namespace platform::win32
