// The receiver panel: HDMI/DVI and VGA receiver settings. Every control of its template is
// created hidden and stays so; the panel still reads the driver when it is created and
// refreshes once a second while it exists.
#include "TESSLIN/plugin.h"

namespace {

constexpr UINT_PTR kRefreshTimer = 0;
constexpr ULONG kAutomatic = 0x80000000;
constexpr ULONG kLevelMask = 0x3FFFFFFF;

void EnableOffsetControls(HWND hwnd, BOOL enable) {
  for (int id : {1120, 1121}) EnableWindow(GetDlgItem(hwnd, id), enable);
  for (int id = 1115; id <= 1119; ++id) EnableWindow(GetDlgItem(hwnd, id), enable);
  for (int id = 37001; id <= 37009; ++id) EnableWindow(GetDlgItem(hwnd, id), enable);
}

void ShowOffset(HWND hwnd, ULONG x, ULONG y) {
  char text[32];
  StringCchPrintfA(text, sizeof text, "(%d, %d)", static_cast<int>(x), static_cast<int>(y));
  SetDlgItemTextA(hwnd, 1121, text);
}

void SelectInGroup(HWND hwnd, int first, int count, ULONG value) {
  if (value < static_cast<ULONG>(count))
    CheckRadioButton(hwnd, first, first + count - 1, first + static_cast<int>(value));
}

// Automatic gain or phase: the check box, its trackbar and its number.
void FillLevel(HWND hwnd, ULONG word, int box, int trackbar, int text, int step, int max) {
  if (word & kAutomatic) {
    CheckDlgButton(hwnd, box, BST_CHECKED);
    EnableWindow(GetDlgItem(hwnd, trackbar), FALSE);
    EnableWindow(GetDlgItem(hwnd, text), FALSE);
  }
  SetItemNumber(hwnd, text, "%3d", word & kLevelMask);
  SendDlgItemMessageA(hwnd, trackbar, TBM_SETLINESIZE, 0, step);
  SendDlgItemMessageA(hwnd, trackbar, TBM_SETPAGESIZE, 0, step);
  SendDlgItemMessageA(hwnd, trackbar, TBM_SETRANGE, TRUE, MAKELONG(0, max));
  SendDlgItemMessageA(hwnd, trackbar, TBM_SETPOS, TRUE, static_cast<LPARAM>(word & kLevelMask));
}

void OnInitDialog(HWND hwnd, ICustomProperty* p) {
  SetTimer(hwnd, kRefreshTimer, 1000, nullptr);
  ULONG input = ReadProperty(p, AnalogCrossbarVideoInputProperty);
  ReadProperty(p, AnalogCrossbarVideoInputAutoScanProperty);
  ULONG eq = ReadProperty(p, CustomAnalogVideoInputEqProperty);
  ULONG bandwidth = ReadProperty(p, CustomAnalogVideoInputBandwidthProperty);
  ULONG aspect = ReadProperty(p, CustomAnalogVideoVgaAspectRatioProperty);
  ULONG hActive = ReadProperty(p, CustomAnalogVideoVgaHActiveProperty);
  ReadProperty(p, CustomAnalogVideoColorRangeProperty);
  ULONG gain = ReadProperty(p, AnalogVideoProcAmpGainProperty);
  ULONG phase = ReadProperty(p, CustomAnalogVideoAutoPhaseTypeProperty);
  ULONG camera = ReadProperty(p, CustomSpecialCameraInputProperty);
  ReadProperty(p, CustomAnalogVideoHotPlugEnableProperty);
  ReadProperty(p, CustomAnalogVideoHVSyncDelayProperty);

  SendDlgItemMessageA(hwnd, 37008, EM_LIMITTEXT, 4, 0);
  SetItemNumber(hwnd, 37008, "%d", hActive);
  SelectInGroup(hwnd, 41001, 3, eq);
  SelectInGroup(hwnd, 41005, 6, bandwidth);
  SelectInGroup(hwnd, 37001, 7, aspect);
  if (input != 2 && input != 3) {
    SetDlgItemTextA(hwnd, 1121, "(0, 0)");
    EnableOffsetControls(hwnd, FALSE);
  }
  SendDlgItemMessageA(hwnd, 1122, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("STANDARD"));
  SendDlgItemMessageA(hwnd, 1122, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("TALVEX QRDN"));
  SendDlgItemMessageA(hwnd, 1122, CB_SETCURSEL, camera, 0);
  FillLevel(hwnd, gain, 34000, 34001, 34002, 8, 511);
  FillLevel(hwnd, phase, 34003, 34004, 34005, 4, 63);
}

void OnTick(HWND hwnd, ICustomProperty* p) {
  ULONG automatic = ReadProperty(p, AnalogCrossbarVideoInputAutoScanProperty);
  ULONG input = ReadProperty(p, AnalogCrossbarVideoInputProperty);
  ULONG signal = ReadProperty(p, AnalogVideoDecoderStatusProperty);
  ULONG range = ReadProperty(p, CustomAnalogVideoColorRangeProperty);
  if (signal && (input == 2 || input == 3)) {
    ULONG x = ReadProperty(p, CustomAnalogVideoVgaOffsetXProperty);
    ULONG y = ReadProperty(p, CustomAnalogVideoVgaOffsetYProperty);
    ShowOffset(hwnd, x, y);
    EnableOffsetControls(hwnd, TRUE);
  } else {
    SetDlgItemTextA(hwnd, 1121, "(0, 0)");
    EnableOffsetControls(hwnd, FALSE);
  }
  for (int id = 38001; id <= 38003; ++id) {
    EnableWindow(GetDlgItem(hwnd, id), automatic ? FALSE : TRUE);
    CheckDlgButton(hwnd, id, BST_UNCHECKED);
  }
  if (automatic) return;
  ULONG mode = 0;
  if (input <= 1)
    mode = range & 3;
  else if (input == 2)
    mode = (range >> 12) & 3;
  else if (input == 3)
    mode = (range >> 16) & 3;
  if (mode <= 2) CheckDlgButton(hwnd, 38001 + static_cast<int>(mode), BST_CHECKED);
}

void OnColorRange(ICustomProperty* p, ULONG k) {
  ULONG input = ReadProperty(p, AnalogCrossbarVideoInputProperty);
  ULONG automatic = ReadProperty(p, AnalogCrossbarVideoInputAutoScanProperty);
  ULONG word = ReadProperty(p, CustomAnalogVideoColorRangeProperty);
  if (automatic) return;
  static const ULONG kDigital[3] = {0x000, 0x101, 0x022};
  if (input <= 1)
    word = (word & ~0xFFFu) | kDigital[k];
  else if (input == 2)
    word = (word & ~0xF000u) | (k << 12);
  else if (input == 3)
    word = (word & ~0xF0000u) | (k << 16);
  else
    return;
  WriteProperty(p, CustomAnalogVideoColorRangeProperty, word);
}

void OnAutomatic(HWND hwnd, ICustomProperty* p, ULONG id, int box, int trackbar, int text) {
  ULONG word = ReadProperty(p, id);
  if (IsDlgButtonChecked(hwnd, box) == BST_CHECKED) {
    EnableWindow(GetDlgItem(hwnd, trackbar), FALSE);
    EnableWindow(GetDlgItem(hwnd, text), FALSE);
    WriteProperty(p, id, word | kAutomatic);
  } else {
    EnableWindow(GetDlgItem(hwnd, trackbar), TRUE);
    EnableWindow(GetDlgItem(hwnd, text), TRUE);
    WriteProperty(p, id, word & kLevelMask);
  }
}

void OnOffset(HWND hwnd, ICustomProperty* p, int id) {
  ULONG x = 0, y = 0;
  if (id != 1119) {
    x = ReadProperty(p, CustomAnalogVideoVgaOffsetXProperty);
    y = ReadProperty(p, CustomAnalogVideoVgaOffsetYProperty);
  }
  // Offsets are signed words; the steps wrap as 32-bit values.
  switch (id) {
    case 1115:
      y += 1;
      WriteProperty(p, CustomAnalogVideoVgaOffsetYProperty, y);
      break;
    case 1116:
      y -= 1;
      WriteProperty(p, CustomAnalogVideoVgaOffsetYProperty, y);
      break;
    case 1117:
      x += 1;
      WriteProperty(p, CustomAnalogVideoVgaOffsetXProperty, x);
      break;
    case 1118:
      x -= 1;
      WriteProperty(p, CustomAnalogVideoVgaOffsetXProperty, x);
      break;
    case 1119:
      WriteProperty(p, CustomAnalogVideoVgaOffsetXProperty, 0);
      WriteProperty(p, CustomAnalogVideoVgaOffsetYProperty, 0);
      break;
  }
  ShowOffset(hwnd, x, y);
  SetFocus(hwnd);
}

void OnCommand(HWND hwnd, ICustomProperty* p, int id, int code) {
  if (id == 1122) {
    if (code == CBN_SELCHANGE) {
      LRESULT index = SendDlgItemMessageA(hwnd, 1122, CB_GETCURSEL, 0, 0);
      WriteProperty(p, CustomSpecialCameraInputProperty, static_cast<ULONG>(index));
    }
    return;
  }
  if (code != BN_CLICKED) return;
  if (id >= 41001 && id <= 41003) {
    CheckRadioButton(hwnd, 41001, 41003, id);
    WriteProperty(p, CustomAnalogVideoInputEqProperty, static_cast<ULONG>(id - 41001));
  } else if (id >= 41005 && id <= 41010) {
    WriteProperty(p, CustomAnalogVideoInputBandwidthProperty, static_cast<ULONG>(id - 41005));
  } else if (id >= 37001 && id <= 37007) {
    WriteProperty(p, CustomAnalogVideoVgaAspectRatioProperty, static_cast<ULONG>(id - 37001));
  } else if (id == 37009) {
    char text[16];
    GetDlgItemTextA(hwnd, 37008, text, sizeof text);
    int width = 0;
    if (!StrToIntExA(text, STIF_DEFAULT, &width)) width = 0;
    // A width the edit can hold (four digits); a pasted negative number is no width.
    if (width >= 1 && width <= 9999)
      WriteProperty(p, CustomAnalogVideoVgaHActiveProperty, static_cast<ULONG>(width));
    else
      Beep(523, 100);
  } else if (id >= 1115 && id <= 1119) {
    OnOffset(hwnd, p, id);
  } else if (id >= 38001 && id <= 38003) {
    OnColorRange(p, static_cast<ULONG>(id - 38001));
  } else if (id == 38007 || id == 38008) {
    WriteProperty(p, CustomAnalogVideoHotPlugEnableProperty, IsDlgButtonChecked(hwnd, 38007) == BST_CHECKED ? 1 : 0);
  } else if (id == 38009 || id == 38010) {
    WriteProperty(p, CustomAnalogVideoHVSyncDelayProperty, IsDlgButtonChecked(hwnd, 38009) == BST_CHECKED ? 1 : 0);
  } else if (id == 34000) {
    OnAutomatic(hwnd, p, AnalogVideoProcAmpGainProperty, 34000, 34001, 34002);
  } else if (id == 34003) {
    OnAutomatic(hwnd, p, CustomAnalogVideoAutoPhaseTypeProperty, 34003, 34004, 34005);
  }
}

void OnScroll(HWND hwnd, ICustomProperty* p, WPARAM wParam, HWND control) {
  ULONG id;
  int text;
  ULONG step, max;
  if (control == GetDlgItem(hwnd, 34001)) {
    id = AnalogVideoProcAmpGainProperty, text = 34002, step = 8, max = 511;
  } else if (control == GetDlgItem(hwnd, 34004)) {
    id = CustomAnalogVideoAutoPhaseTypeProperty, text = 34005, step = 4, max = 63;
  } else {
    return;
  }
  // Steps start from the level the trackbar can show: the automatic flag is left out.
  ULONG v;
  if (!TrackbarValue(
          wParam, step, max, [p, id] { return ReadProperty(p, id) & kLevelMask; }, &v))
    return;
  SetItemNumber(hwnd, text, "%3d", v);
  WriteProperty(p, id, v);
}

}  // namespace

INT_PTR CALLBACK ReceiverPropertyDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ICustomProperty* p = LookupPageProperty(hwnd);
  if (!p) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog(hwnd, p);
      return TRUE;
    case WM_TIMER:
      if (wParam == kRefreshTimer) OnTick(hwnd, p);
      return TRUE;
    case WM_COMMAND:
      OnCommand(hwnd, p, LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_HSCROLL:
      OnScroll(hwnd, p, wParam, reinterpret_cast<HWND>(lParam));
      return TRUE;
    case WM_DESTROY:
      KillTimer(hwnd, kRefreshTimer);
      return TRUE;
  }
  return FALSE;
}
