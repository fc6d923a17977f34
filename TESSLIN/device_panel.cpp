// The device panel: video input and sync on green (shown), audio input, scaling, mirror,
// video source and volume (changed), and the register-debug group behind Ctrl+D.
#include "TESSLIN/plugin.h"

namespace {

constexpr int kVolumeTrackbar = 19118;
constexpr int kVolumeText = 19121;
constexpr int kDebugControls[10] = {40000, 40003, 40001, 40004, 40002, 40005, 40008, 40006, 40009, 40007};

void ApplyAudioAvailability(HWND hwnd, ULONG videoInput, ULONG mask) {
  if (mask == 0x1F) {
    for (int id = 36001; id <= 36005; ++id) {
      ShowWindow(GetDlgItem(hwnd, id), SW_SHOW);
      EnableWindow(GetDlgItem(hwnd, id), TRUE);
    }
    return;
  }
  for (int id = 36003; id <= 36005; ++id) ShowWindow(GetDlgItem(hwnd, id), SW_HIDE);
  bool analogue = videoInput == 2 || videoInput == 3 || videoInput == 5 || videoInput == 6;
  EnableWindow(GetDlgItem(hwnd, 36001), !analogue && (mask & 1));
  EnableWindow(GetDlgItem(hwnd, 36002), !analogue && (mask & 2));
}

void SelectAudioInput(HWND hwnd, ULONG k) {
  if (k <= 4) CheckRadioButton(hwnd, 36001, 36005, 36001 + static_cast<int>(k));
}

// An edit's text read as hexadecimal digits: "0x" is put in front of what the user typed.
ULONG ReadHexEdit(HWND hwnd, int id) {
  char text[18] = "0x";
  GetDlgItemTextA(hwnd, id, text + 2, 16);
  int value = 0;
  if (!StrToIntExA(text, STIF_SUPPORT_HEX, &value)) value = 0;
  return static_cast<ULONG>(value);
}

void WriteHexEdit(HWND hwnd, int id, ULONG value) { SetItemNumber(hwnd, id, "%08X", value); }

void OnInitDialog(HWND hwnd, ICustomProperty* p) {
  ULONG videoInput = ReadProperty(p, AnalogCrossbarVideoInputProperty);
  ReadProperty(p, AnalogCrossbarAudioInputProperty);
  ULONG mask = ReadProperty(p, CustomDeviceAudioInputConfigProperty);
  ULONG source = ReadProperty(p, CustomCompanyQuorinProperty);
  ULONG autoScan = ReadProperty(p, AnalogCrossbarVideoInputAutoScanProperty);
  ULONG vertical = ReadProperty(p, CustomAnalogVideoVerticalMirrorProperty);
  ULONG horizontal = ReadProperty(p, CustomAnalogVideoHorizontalMirrorProperty);
  ULONG scale = ReadProperty(p, CustomAnalogVideoScaleTypeProperty);
  ULONG volume = ReadProperty(p, CustomAnalogAudioVolumeProperty);
  ULONG sog = ReadProperty(p, CustomAnalogVideoSogProperty);

  if (autoScan)
    CheckRadioButton(hwnd, 33001, 33008, 33008);
  else if (videoInput <= 6)
    CheckRadioButton(hwnd, 33001, 33008, 33001 + static_cast<int>(videoInput));
  if (scale <= 2) CheckRadioButton(hwnd, 31065, 31067, 31065 + static_cast<int>(scale));
  if (source == 1) CheckDlgButton(hwnd, 33023, BST_CHECKED);

  SetItemNumber(hwnd, kVolumeText, "%d", volume);
  SendDlgItemMessageA(hwnd, kVolumeTrackbar, TBM_SETLINESIZE, 0, 4);
  SendDlgItemMessageA(hwnd, kVolumeTrackbar, TBM_SETPAGESIZE, 0, 4);
  SendDlgItemMessageA(hwnd, kVolumeTrackbar, TBM_SETRANGE, TRUE, MAKELONG(0, 255));
  SendDlgItemMessageA(hwnd, kVolumeTrackbar, TBM_SETPOS, TRUE, static_cast<LPARAM>(volume));

  if (vertical) CheckDlgButton(hwnd, 35005, BST_CHECKED);
  if (horizontal) CheckDlgButton(hwnd, 35006, BST_CHECKED);
  if (sog) CheckDlgButton(hwnd, 33020, BST_CHECKED);

  ShowWindow(GetDlgItem(hwnd, 36000), SW_SHOW);
  for (int id = 36001; id <= 36005; ++id) ShowWindow(GetDlgItem(hwnd, id), SW_SHOW);
  for (int id = 31050; id <= 31058; ++id) {
    ShowWindow(GetDlgItem(hwnd, id), SW_SHOW);
    EnableWindow(GetDlgItem(hwnd, id), FALSE);
  }
  ShowWindow(GetDlgItem(hwnd, 33020), SW_SHOW);

  ApplyAudioAvailability(hwnd, videoInput, mask);
  SelectAudioInput(hwnd, ReadProperty(p, AnalogCrossbarAudioInputProperty));

  for (int id = 33001; id <= 33008; ++id) EnableWindow(GetDlgItem(hwnd, id), FALSE);
  EnableWindow(GetDlgItem(hwnd, 33020), FALSE);
  for (int id = 40001; id <= 40005; ++id) SendDlgItemMessageA(hwnd, id, EM_LIMITTEXT, 8, 0);

  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  UINT modifiers = MOD_CONTROL;
  if (GetVersionExA(&version) && version.dwMajorVersion > 6) modifiers |= MOD_NOREPEAT;
  RegisterHotKey(hwnd, 1, modifiers, 0x44);
  SetFocus(hwnd);
}

void OnCommand(HWND hwnd, ICustomProperty* p, int id) {
  auto ticked = [&](int box) { return IsDlgButtonChecked(hwnd, box) == BST_CHECKED ? 1u : 0u; };
  switch (id) {
    case 31065:
    case 31066:
    case 31067:
      WriteProperty(p, CustomAnalogVideoScaleTypeProperty, static_cast<ULONG>(id - 31065));
      break;
    case 35005:
      WriteProperty(p, CustomAnalogVideoVerticalMirrorProperty, ticked(35005));
      break;
    case 35006:
      WriteProperty(p, CustomAnalogVideoHorizontalMirrorProperty, ticked(35006));
      break;
    case 33023:
      WriteProperty(p, CustomCompanyQuorinProperty, ticked(33023));
      break;
    case 36001:
    case 36002:
    case 36003:
    case 36004:
    case 36005: {
      ULONG k = static_cast<ULONG>(id - 36001);
      WriteProperty(p, AnalogCrossbarAudioInputProperty, k);
      SelectAudioInput(hwnd, k);
      break;
    }
    case 40006: {
      ULONG a = ReadHexEdit(hwnd, 40003), s = ReadHexEdit(hwnd, 40004);
      WriteProperty(p, CustomDebugSerialDeviceProperty, a);
      WriteProperty(p, CustomDebugSerialAddressProperty, s);
      ULONG r = ReadProperty(p, CustomDebugSerialAccessProperty);
      WriteHexEdit(hwnd, 40003, a);
      WriteHexEdit(hwnd, 40004, s);
      WriteHexEdit(hwnd, 40005, r);
      break;
    }
    case 40007: {
      ULONG a = ReadHexEdit(hwnd, 40003), s = ReadHexEdit(hwnd, 40004), v = ReadHexEdit(hwnd, 40005);
      WriteProperty(p, CustomDebugSerialDeviceProperty, a);
      WriteProperty(p, CustomDebugSerialAddressProperty, s);
      WriteProperty(p, CustomDebugSerialValueProperty, v);
      WriteProperty(p, CustomDebugSerialAccessProperty, v);
      WriteHexEdit(hwnd, 40003, a);
      WriteHexEdit(hwnd, 40004, s);
      WriteHexEdit(hwnd, 40005, v);
      break;
    }
    case 40008: {
      ULONG a = ReadHexEdit(hwnd, 40001);
      WriteProperty(p, CustomDebugRegisterAddressProperty, a);
      ULONG r = ReadProperty(p, CustomDebugRegisterAccessProperty);
      WriteHexEdit(hwnd, 40001, a);
      WriteHexEdit(hwnd, 40002, r);
      break;
    }
    case 40009: {
      ULONG a = ReadHexEdit(hwnd, 40001), v = ReadHexEdit(hwnd, 40002);
      WriteProperty(p, CustomDebugRegisterAddressProperty, a);
      WriteProperty(p, CustomDebugRegisterValueProperty, v);
      WriteProperty(p, CustomDebugRegisterAccessProperty, v);
      WriteHexEdit(hwnd, 40001, a);
      WriteHexEdit(hwnd, 40002, v);
      break;
    }
  }
}

void OnVolume(HWND hwnd, ICustomProperty* p, WPARAM wParam) {
  ULONG v;
  if (!TrackbarValue(
          wParam, 4, 255, [p] { return ReadProperty(p, CustomAnalogAudioVolumeProperty); }, &v))
    return;
  SetItemNumber(hwnd, kVolumeText, "%d", v);
  WriteProperty(p, CustomAnalogAudioVolumeProperty, v);
}

}  // namespace

INT_PTR CALLBACK DevicePropertyDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ICustomProperty* p = LookupPageProperty(hwnd);
  if (!p) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog(hwnd, p);
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) OnCommand(hwnd, p, LOWORD(wParam));
      return TRUE;
    case WM_HSCROLL:
      if (reinterpret_cast<HWND>(lParam) == GetDlgItem(hwnd, kVolumeTrackbar)) OnVolume(hwnd, p, wParam);
      return TRUE;
    case WM_HOTKEY:
      if (wParam == 1)
        for (int id : kDebugControls) ShowWindow(GetDlgItem(hwnd, id), SW_SHOW);
      return FALSE;
    case WM_TIMER:
    case WM_DESTROY:
      return TRUE;
  }
  return FALSE;
}
