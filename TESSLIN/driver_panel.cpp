// The driver panel: the driver's output options, three of them switchable, and the
// colour range of RGB output.
#include "TESSLIN/plugin.h"

namespace {

void ShowResolution(HWND hwnd, ULONG word, int widthEdit, int heightEdit) {
  ULONG width = word >> 16, height = word & 0xFFFF;
  if (!width || !height) width = height = 0;
  SetItemNumber(hwnd, widthEdit, "%d", width);
  SetItemNumber(hwnd, heightEdit, "%d", height);
}

void OnInitDialog(HWND hwnd, ICustomProperty* p) {
  struct {
    ULONG id;
    int box;
  } const boxes[] = {
      {CustomAnalogVideoFlexibleResolutionPatchProperty, 1114},
      {CustomAnalogVideoFlexibleFpsPatchProperty, 1113},
      {CustomAnalogVideoUStreamPatchProperty, 1112},
      {CustomAnalogVideoCustomizedResolutionProperty, 1132},
      {CustomAnalogVideoMaximalResolutionProperty, 1134},
      {CustomAnalogVideoScaleOutputProperty, 35009},
      {CustomAnalogVideo720OutputProperty, 35010},
      {CustomAnalogVideoSkypePatchProperty, 35011},
      {CustomAnalogVideoDirectDMAProperty, 35012},
      {CustomAnalogVideoSubEncoderEnableProperty, 35013},
  };
  ULONG values[10];
  for (int i = 0; i < 10; ++i) values[i] = ReadProperty(p, boxes[i].id);
  ULONG range = ReadProperty(p, CustomAnalogVideoRGBColorConvertColorRangeProperty);
  for (int i = 0; i < 10; ++i)
    if (values[i]) CheckDlgButton(hwnd, boxes[i].box, BST_CHECKED);
  ShowResolution(hwnd, values[3], 37020, 37021);
  ShowResolution(hwnd, values[4], 37023, 37024);
  EnableWindow(GetDlgItem(hwnd, 1112), TRUE);
  CheckDlgButton(hwnd, 19129, range == 1 ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(hwnd, 19124, range == 1 ? BST_UNCHECKED : BST_CHECKED);
}

}  // namespace

INT_PTR CALLBACK DriverPropertyDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ICustomProperty* p = LookupPageProperty(hwnd);
  if (!p) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog(hwnd, p);
      return TRUE;
    case WM_COMMAND: {
      if (HIWORD(wParam) != BN_CLICKED) return TRUE;
      int id = LOWORD(wParam);
      ULONG ticked = IsDlgButtonChecked(hwnd, id) == BST_CHECKED ? 1 : 0;
      switch (id) {
        case 1114:
          WriteProperty(p, CustomAnalogVideoFlexibleResolutionPatchProperty, ticked);
          break;
        case 1113:
          WriteProperty(p, CustomAnalogVideoFlexibleFpsPatchProperty, ticked);
          break;
        case 1112:
          WriteProperty(p, CustomAnalogVideoUStreamPatchProperty, ticked);
          break;
        case 19124:
          WriteProperty(p, CustomAnalogVideoRGBColorConvertColorRangeProperty, 0);
          break;
        case 19129:
          WriteProperty(p, CustomAnalogVideoRGBColorConvertColorRangeProperty, 1);
          break;
      }
      return TRUE;
    }
    case WM_DESTROY:
    case WM_TIMER:
    case WM_HSCROLL:
      return TRUE;
  }
  return FALSE;
}
