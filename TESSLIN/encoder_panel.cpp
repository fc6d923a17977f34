// The encoder panel: the H.264 settings of the filter's channel, each sent by its own
// button when the typed value lies in the setting's range.
#include "TESSLIN/plugin.h"

namespace {

enum RateMode { kVbr, kCbr, kAbr };

// Radio pressed and which inputs take values in each rate mode.
void ApplyRateMode(HWND hwnd, RateMode mode) {
  CheckRadioButton(hwnd, 19076, 19078, 19076 + mode);
  BOOL quality = mode == kVbr, bitrate = mode != kVbr, peak = mode == kAbr;
  EnableWindow(GetDlgItem(hwnd, 19080), quality);
  EnableWindow(GetDlgItem(hwnd, 19137), quality);
  EnableWindow(GetDlgItem(hwnd, 19083), bitrate);
  EnableWindow(GetDlgItem(hwnd, 19139), bitrate);
  for (int id : {19086, 19140, 19089, 19141}) EnableWindow(GetDlgItem(hwnd, id), peak);
}

// The edit's text as a decimal number; an empty edit or text that is no number gives 0.
ULONG ParseDecimalEdit(HWND hwnd, int id) {
  char text[16];
  GetDlgItemTextA(hwnd, id, text, sizeof text);
  int value = 0;
  if (!StrToIntExA(text, STIF_DEFAULT, &value)) value = 0;
  return static_cast<ULONG>(value);
}

void ShowResolution(HWND hwnd, ULONG word) {
  ULONG width = 0, height = 0;
  if ((word & 0xFFF000) && (word & 0xFFF)) {
    width = (word >> 12) & 0xFFF;
    height = word & 0xFFF;
  }
  SetItemNumber(hwnd, 19052, "%d", width);
  SetItemNumber(hwnd, 19054, "%d", height);
}

struct NumberSetting {
  int button;
  int edit;
  ULONG id;
  ULONG min;
  ULONG max;
  int limit;  // characters; 0 for none
};
const NumberSetting kSettings[] = {
    {19133, 19058, CustomEncoderVideoSkipFrameRateProperty, 0, 254, 3},
    {19135, 19060, CustomEncoderVideoAvgFrameRateProperty, 0, 85, 2},
    {60157, 19067, CustomEncoderVideoLevelProperty, 1, 41, 2},
    {0, 19070, CustomEncoderVideoBFramesProperty, 0, 0, 1},  // shown only: its button sends nothing
    {19137, 19080, CustomEncoderVideoQualityProperty, 0, 10000, 5},
    {19139, 19083, CustomEncoderVideoBitRateProperty, 0, 60000000, 8},
    {19140, 19086, CustomEncoderVideoPeakBitRateProperty, 0, 60000000, 8},
    {19141, 19089, CustomEncoderVideoTroughQualityProperty, 0, 60000000, 8},
    {19142, 19092, CustomEncoderVideoGopProperty, 0, 255, 3},
};

void OnInitDialog(HWND hwnd, ICustomProperty* p) {
  ULONG resolution = ReadProperty(p, CustomEncoderVideoResolutionProperty);
  ULONG skip = ReadProperty(p, CustomEncoderVideoSkipFrameRateProperty);
  ULONG average = ReadProperty(p, CustomEncoderVideoAvgFrameRateProperty);
  ULONG profile = ReadProperty(p, CustomEncoderVideoProfileProperty);
  ULONG level = ReadProperty(p, CustomEncoderVideoLevelProperty);
  ULONG entropy = ReadProperty(p, CustomEncoderVideoEntropyProperty);
  ULONG bframes = ReadProperty(p, CustomEncoderVideoBFramesProperty);
  ULONG mode = ReadProperty(p, CustomEncoderVideoBitRateModeProperty);
  ULONG quality = ReadProperty(p, CustomEncoderVideoQualityProperty);
  ULONG bitrate = ReadProperty(p, CustomEncoderVideoBitRateProperty);
  ULONG peak = ReadProperty(p, CustomEncoderVideoPeakBitRateProperty);
  ULONG trough = ReadProperty(p, CustomEncoderVideoTroughQualityProperty);
  ULONG gop = ReadProperty(p, CustomEncoderVideoGopProperty);
  ULONG aspect = ReadProperty(p, CustomEncoderVideoAspectRatioProperty);

  ShowResolution(hwnd, resolution);
  const ULONG shown[9] = {skip, average, level, bframes, quality, bitrate, peak, trough, gop};
  for (int i = 0; i < 9; ++i) {
    SendDlgItemMessageA(hwnd, kSettings[i].edit, EM_LIMITTEXT, static_cast<WPARAM>(kSettings[i].limit), 0);
    SetItemNumber(hwnd, kSettings[i].edit, "%d", shown[i]);
  }
  ULONG x = aspect >> 16, y = aspect & 0xFFFF;
  if (!x || !y) x = y = 0;
  SetItemNumber(hwnd, 19095, "%d", x);
  SetItemNumber(hwnd, 19055, "%d", y);

  for (int id : {19063, 19065, 19074}) ShowWindow(GetDlgItem(hwnd, id), SW_HIDE);
  if (profile <= 1) CheckDlgButton(hwnd, 19064, BST_CHECKED);
  if (entropy <= 1) CheckDlgButton(hwnd, 19073, BST_CHECKED);
  if (mode <= 2) ApplyRateMode(hwnd, static_cast<RateMode>(mode));
  for (int id : {19070, 19136, 19095, 19055}) EnableWindow(GetDlgItem(hwnd, id), FALSE);
}

void OnCommand(HWND hwnd, ICustomProperty* p, int id) {
  switch (id) {
    case 19064:
      CheckRadioButton(hwnd, 19063, 19065, 19064);
      WriteProperty(p, CustomEncoderVideoProfileProperty, 1);
      return;
    case 19073:
      CheckRadioButton(hwnd, 19073, 19074, 19073);
      WriteProperty(p, CustomEncoderVideoEntropyProperty, 1);
      return;
    case 19076:
    case 19077:
    case 19078:
      ApplyRateMode(hwnd, static_cast<RateMode>(id - 19076));
      WriteProperty(p, CustomEncoderVideoBitRateModeProperty, static_cast<ULONG>(id - 19076));
      return;
    case 19132: {
      // Width and height each have 12 bits in the word; anything wider would spill into
      // the other field, so it is refused like an empty size.
      ULONG width = ParseDecimalEdit(hwnd, 19052), height = ParseDecimalEdit(hwnd, 19054);
      if (width == 0 || height == 0 || width > 0xFFF || height > 0xFFF) {
        Beep(523, 100);
        return;
      }
      WriteProperty(p, CustomEncoderVideoResolutionProperty, width * 4096 + height);
      ShowResolution(hwnd, ReadProperty(p, CustomEncoderVideoResolutionProperty));
      return;
    }
    case 19144:
      WriteProperty(p, CustomEncoderVideoKeyFrameRequestProperty, 1);
      return;
  }
  for (const NumberSetting& s : kSettings) {
    if (s.button != id) continue;
    ULONG value = ParseDecimalEdit(hwnd, s.edit);
    if (value >= s.min && value <= s.max) WriteProperty(p, s.id, value);
    return;
  }
}

}  // namespace

INT_PTR CALLBACK EncoderPropertyDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ICustomProperty* p = LookupPageProperty(hwnd);
  if (!p) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog(hwnd, p);
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) OnCommand(hwnd, p, LOWORD(wParam));
      return TRUE;
    case WM_DESTROY:
    case WM_TIMER:
      return TRUE;
  }
  return FALSE;
}
