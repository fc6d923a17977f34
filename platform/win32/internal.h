// The window manager's state, shared by its units.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/win32/win32.h"
#include "platform/win32/win32_host.h"

namespace platform::win32::detail {

enum class Kind { Frame, Dialog, Button, Static, Edit, Trackbar, Combo };

struct Window {
  uintptr_t handle = 0;
  Kind kind = Kind::Frame;
  std::string className;
  DWORD style = 0;
  int id = 0;
  std::string text;
  RECT rect{};  // relative to the parent's client area (screen for a top-level window)
  HWND parent = nullptr;
  std::vector<HWND> children;
  DLGPROC dlgProc = nullptr;
  LONG_PTR user = 0;       // DWLP_USER / GWLP_USERDATA
  LONG_PTR msgResult = 0;  // DWLP_MSGRESULT
  WORD templateId = 0;
  uint64_t serial = 0;
  // Control state.
  int check = BST_UNCHECKED;
  int tbMin = 0, tbMax = 100, tbPos = 0, tbLine = 1, tbPage = 20;
  std::vector<std::string> items;
  int selection = CB_ERR;
  int limit = 30000;
};

Window* Find(HWND hwnd);
inline HWND HandleOf(const Window& w) { return reinterpret_cast<HWND>(w.handle); }
std::map<uintptr_t, Window>& Windows();

}  // namespace platform::win32::detail
