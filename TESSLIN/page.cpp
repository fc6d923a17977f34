// The property page: status display, panel creation and the tab buttons, and the map
// through which the panels find the page's interface.
#include "TESSLIN/plugin.h"
#include "TESSLIN/resource.h"
#include "TESSLIN/tesslin_config.h"

// ---- PagePropertyMap ---------------------------------------------------------------------------
// A small array kept sorted by window handle, on the process heap. Pages on several
// user-interface threads share it, so every access takes the lock.

namespace {

struct PagePropertyEntry {
  HWND page;
  ICustomProperty* property;
};

SRWLOCK g_mapLock = SRWLOCK_INIT;
PagePropertyEntry* g_entries = nullptr;
UINT g_count = 0;
UINT g_capacity = 0;

// Index of the first entry not below `page`.
UINT LowerBound(HWND page) {
  UINT lo = 0, hi = g_count;
  while (lo < hi) {
    UINT mid = (lo + hi) / 2;
    if (g_entries[mid].page < page)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

}  // namespace

void PagePropertyMapSet(HWND page, ICustomProperty* property) {
  AcquireSRWLockExclusive(&g_mapLock);
  UINT at = LowerBound(page);
  if (at < g_count && g_entries[at].page == page) {
    g_entries[at].property = property;
  } else {
    bool room = g_count < g_capacity;
    if (!room) {
      UINT capacity = g_capacity ? g_capacity * 2 : 8;
      SIZE_T bytes = sizeof(PagePropertyEntry) * capacity;
      void* grown =
          g_entries ? HeapReAlloc(GetProcessHeap(), 0, g_entries, bytes) : HeapAlloc(GetProcessHeap(), 0, bytes);
      if (grown) {
        g_entries = static_cast<PagePropertyEntry*>(grown);
        g_capacity = capacity;
        room = true;
      }
    }
    // Without memory the page has no entry, and its panels act on nothing.
    if (room) {
      for (UINT i = g_count; i > at; --i) g_entries[i] = g_entries[i - 1];
      g_entries[at] = PagePropertyEntry{page, property};
      ++g_count;
    }
  }
  ReleaseSRWLockExclusive(&g_mapLock);
}

void PagePropertyMapUpdate(HWND page, ICustomProperty* property) {
  AcquireSRWLockExclusive(&g_mapLock);
  UINT at = LowerBound(page);
  if (at < g_count && g_entries[at].page == page) g_entries[at].property = property;
  ReleaseSRWLockExclusive(&g_mapLock);
}

void PagePropertyMapRemove(HWND page) {
  AcquireSRWLockExclusive(&g_mapLock);
  UINT at = LowerBound(page);
  if (at < g_count && g_entries[at].page == page) {
    for (UINT i = at + 1; i < g_count; ++i) g_entries[i - 1] = g_entries[i];
    --g_count;
  }
  ReleaseSRWLockExclusive(&g_mapLock);
}

void PagePropertyMapDestroy() {
  AcquireSRWLockExclusive(&g_mapLock);
  HeapFree(GetProcessHeap(), 0, g_entries);
  g_entries = nullptr;
  g_count = g_capacity = 0;
  ReleaseSRWLockExclusive(&g_mapLock);
}

ICustomProperty* LookupPageProperty(HWND panel) {
  HWND page = GetParent(panel);
  ICustomProperty* property = nullptr;
  AcquireSRWLockExclusive(&g_mapLock);
  UINT at = LowerBound(page);
  if (page && at < g_count && g_entries[at].page == page) property = g_entries[at].property;
  ReleaseSRWLockExclusive(&g_mapLock);
  return property;
}

// ---- Helpers of the page and the panels -----------------------------------------------------------

ULONG ReadProperty(ICustomProperty* property, ULONG id) {
  ULONG value = 0;
  property->GetSetProperty(id, &value, FALSE);
  return value;
}

void WriteProperty(ICustomProperty* property, ULONG id, ULONG value) { property->GetSetProperty(id, &value, TRUE); }

void SetItemNumber(HWND dialog, int id, const char* format, ULONG value) {
  char text[32];
  StringCchPrintfA(text, sizeof text, format, value);
  SetDlgItemTextA(dialog, id, text);
}

// ---- The page ------------------------------------------------------------------------------------------

namespace {

constexpr int kTabs[4] = {IDC_TAB_DEVICE, IDC_TAB_RECEIVER, IDC_TAB_DRIVER, IDC_TAB_ENCODER};

const char* ColorimetryName(ULONG v) { return v == 1 ? "BT601" : v == 2 ? "BT709" : "UNKNOWN"; }
const char* ColorRangeName(ULONG v) {
  return v == 1 ? "LIMITED ( 16 ~ 235 )" : v == 2 ? "FULL ( 0 ~ 255 )" : "UNKNOWN";
}

}  // namespace

CUnknown* CCustomPropertyPage::CreateInstance(LPUNKNOWN outer, HRESULT* result) {
  auto* page = new CCustomPropertyPage(outer);
  if (!page) *result = E_OUTOFMEMORY;
  return page;
}

CCustomPropertyPage::CCustomPropertyPage(LPUNKNOWN outer) : CBasePropertyPage(nullptr, outer, IDD_PAGE, IDS_TITLE) {}

HRESULT CCustomPropertyPage::OnConnect(IUnknown* object) {
  ICustomProperty* property = nullptr;
  HRESULT hr = object->QueryInterface(IID_ICustomProperty, reinterpret_cast<void**>(&property));
  if (FAILED(hr)) return hr;
  // A second connection without a disconnection in between would otherwise keep the
  // first filter's proxy (and its handle) alive.
  if (m_pCustomProperty) m_pCustomProperty->Release();
  m_pCustomProperty = property;
  if (m_hwnd) PagePropertyMapUpdate(m_hwnd, m_pCustomProperty);
  return S_OK;
}

HRESULT CCustomPropertyPage::OnDisconnect() {
  if (m_pCustomProperty) {
    m_pCustomProperty->Release();
    m_pCustomProperty = nullptr;
    if (m_hwnd) PagePropertyMapUpdate(m_hwnd, nullptr);
  }
  return S_OK;
}

HRESULT CCustomPropertyPage::OnActivate() {
  SetTimer(m_hwnd, TIMER_CREATE_PANELS, 100, nullptr);
  SetTimer(m_hwnd, TIMER_STATUS, 1000, nullptr);
  return S_OK;
}

HRESULT CCustomPropertyPage::OnDeactivate() {
  KillTimer(m_hwnd, TIMER_CREATE_PANELS);
  KillTimer(m_hwnd, TIMER_STATUS);
  return S_OK;
}

HRESULT CCustomPropertyPage::OnApplyChanges() {
  KillTimer(m_hwnd, TIMER_CREATE_PANELS);
  return S_OK;
}

HWND* CCustomPropertyPage::PanelSlot(int index) {
  switch (index) {
    case 0:
      return &m_hwndDevicePanel;
    case 1:
      return &m_hwndReceiverPanel;
    case 2:
      return &m_hwndDriverPanel;
    default:
      return &m_hwndEncoderPanel;
  }
}

void CCustomPropertyPage::ShowPanel(int index) {
  for (int i = 0; i < 4; ++i) {
    HWND panel = *PanelSlot(i);
    if (panel) ShowWindow(panel, i == index ? SW_SHOWNORMAL : SW_HIDE);
  }
}

INT_PTR CCustomPropertyPage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      PagePropertyMapSet(hwnd, m_pCustomProperty);
      SendDlgItemMessageA(hwnd, IDC_TAB_DEVICE, BM_SETCHECK, BST_CHECKED, 0);
      SetFocus(hwnd);
      break;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        for (int i = 0; i < 4; ++i)
          if (LOWORD(wParam) == kTabs[i]) {
            m_nActivePanel = i;
            ShowPanel(i);
          }
      }
      break;
    case WM_TIMER:
      if (wParam == TIMER_CREATE_PANELS) {
        // One-shot whatever happens: without an interface it would fire forever.
        KillTimer(hwnd, TIMER_CREATE_PANELS);
        if (m_pCustomProperty) CreatePanels();
      } else if (wParam == TIMER_STATUS && m_pCustomProperty) {
        RefreshStatus();
      }
      break;
    case WM_DESTROY:
      for (int i = 0; i < 4; ++i) {
        HWND* slot = PanelSlot(i);
        if (*slot) DestroyWindow(*slot);
        *slot = nullptr;
      }
      PagePropertyMapRemove(hwnd);
      break;
  }
  return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
}

void CCustomPropertyPage::CreatePanels() {
  ULONG identity = ReadProperty(m_pCustomProperty, CustomDeviceIdentityProperty);
  RECT client;
  GetClientRect(m_hwnd, &client);
  LPARAM self = reinterpret_cast<LPARAM>(this);
  m_hwndDevicePanel =
      CreateDialogParamA(g_hInst, MAKEINTRESOURCEA(IDD_DEVICE_PANEL), m_hwnd, DevicePropertyDlgProc, self);
  m_hwndReceiverPanel =
      CreateDialogParamA(g_hInst, MAKEINTRESOURCEA(IDD_RECEIVER_PANEL), m_hwnd, ReceiverPropertyDlgProc, self);
  m_hwndDriverPanel =
      CreateDialogParamA(g_hInst, MAKEINTRESOURCEA(IDD_DRIVER_PANEL), m_hwnd, DriverPropertyDlgProc, self);
  m_hwndEncoderPanel =
      CreateDialogParamA(g_hInst, MAKEINTRESOURCEA(IDD_ENCODER_PANEL), m_hwnd, EncoderPropertyDlgProc, self);

  RECT tab{};
  GetWindowRect(GetDlgItem(m_hwnd, IDC_TAB_ENCODER), &tab);
  POINT corner{tab.left, tab.bottom};
  ScreenToClient(m_hwnd, &corner);
  int width = client.right - client.left;
  int height = client.bottom - client.top - 230;
  if (height < 0) height = 0;
  for (int i = 0; i < 4; ++i)
    if (HWND panel = *PanelSlot(i)) MoveWindow(panel, 3, corner.y + 5, width, height, TRUE);

  ShowPanel(0);
  // The device panel is the one shown, so its tab is the one pressed, whatever was
  // clicked before the panels existed.
  CheckRadioButton(m_hwnd, IDC_TAB_DEVICE, IDC_TAB_ENCODER, IDC_TAB_DEVICE);

  ULONG family = identity & kBoardFamilyMask;
  if (family == kNoEncoderFamilies[0] || family == kNoEncoderFamilies[1])
    ShowWindow(GetDlgItem(m_hwnd, IDC_TAB_ENCODER), SW_HIDE);

  for (ULONG board : kRememberPanelBoards) {
    if (identity != board) continue;
    for (int i = 0; i < 3; ++i) ShowWindow(GetDlgItem(m_hwnd, kTabs[i]), SW_SHOW);
    if (m_nActivePanel >= 0 && m_nActivePanel <= 2) SendDlgItemMessageA(m_hwnd, kTabs[m_nActivePanel], BM_CLICK, 0, 0);
    break;
  }
}

void CCustomPropertyPage::RefreshStatus() {
  static const ULONG kIds[16] = {
      CustomSiliconTunerTypeProperty,
      CustomDeviceIndexProperty,
      CustomDeviceIdentityProperty,
      CustomAnalogVideoResolutionProperty,
      CustomAnalogVideoFrameRateProperty,
      CustomAnalogVideoEffectiveFrameRateProperty,
      CustomAnalogVideoInterleavedProperty,
      AnalogVideoDecoderStatusProperty,
      CustomAnalogVideoFractionalFrameRateProperty,
      CustomAnalogAudioSampleFrequencyProperty,
      CustomAnalogVideoColorimetryProperty,
      CustomAnalogVideoSignalColorRangeProperty,
      CustomPreviewVideoFrameCountsProperty,
      CustomPreviewAudioFrameCountsProperty,
      CustomEncoderVideoFrameCountsProperty,
      CustomAnalogVideoSdiSingalStatusProperty,
  };
  ULONG v[16];
  for (int i = 0; i < 16; ++i) v[i] = ReadProperty(m_pCustomProperty, kIds[i]);
  const ULONG firmware = v[0], index = v[1], identity = v[2], resolution = v[3], rate = v[4], effective = v[5],
              interlaced = v[6], status = v[7], fractional = v[8], sampleRate = v[9], colorimetry = v[10],
              colorRange = v[11], videoFrames = v[12], audioFrames = v[13], encodedFrames = v[14], debug = v[15];

  char line[260];
  StringCchPrintfA(line, 260, "STREAM INFO          : PV%08d, PA%08d, EV%08d", static_cast<int>(videoFrames),
                   static_cast<int>(audioFrames), static_cast<int>(encodedFrames));
  SetDlgItemTextA(m_hwnd, IDC_STREAM_INFO, line);
  StringCchPrintfA(line, 260, "CARD INFO            : SN%08X, BN%08X", identity, index);
  SetDlgItemTextA(m_hwnd, IDC_CARD_INFO, line);
  StringCchPrintfA(line, 260, "SIGNAL COLORIMETRY   : %s", ColorimetryName(colorimetry));
  SetDlgItemTextA(m_hwnd, IDC_SIGNAL_COLORIMETRY, line);
  StringCchPrintfA(line, 260, "SIGNAL COLORRANGE    : %s", ColorRangeName(colorRange));
  SetDlgItemTextA(m_hwnd, IDC_SIGNAL_COLORRANGE, line);
  StringCchPrintfA(line, 260, "SIGNAL DEBUG INFO    : 0x%08X", debug);
  SetDlgItemTextA(m_hwnd, IDC_SIGNAL_DEBUG, line);

  ULONG width = resolution >> 16;
  ULONG height = resolution & 0xFFFF;
  if (interlaced) height *= 2;
  if (width && height && rate && status) {
    double first = rate, second = effective;
    if (fractional == 1) {
      first = first * 1000.0 / 1001.0;
      second = second * 1000.0 / 1001.0;
    }
    StringCchPrintfA(line, 260, "SIGNAL STATUS        : %d X %d%c @ %2.2fFPS (%2.2fFPS), 2CH X 16BITS @ %dHZ",
                     static_cast<int>(width), static_cast<int>(height), interlaced ? 'I' : 'P', first, second,
                     static_cast<int>(sampleRate));
  } else {
    StringCchPrintfA(line, 260, "SIGNAL STATUS        : NO SIGNAL");
  }
  SetDlgItemTextA(m_hwnd, IDC_SIGNAL_STATUS, line);

  if (identity == kFirmwareBoard) {
    StringCchPrintfA(line, 260, "DRIVER VERSION       : 1.1.0.167.0, FIRMWARE : %d.%d.%d.%d, 2016.08.10",
                     static_cast<int>(firmware >> 24), static_cast<int>((firmware >> 16) & 0xFF),
                     static_cast<int>((firmware >> 8) & 0xFF), static_cast<int>(firmware & 0xFF));
    if (m_hwndDevicePanel) {
      for (int id = 36001; id <= 36005; ++id) EnableWindow(GetDlgItem(m_hwndDevicePanel, id), TRUE);
      ShowWindow(GetDlgItem(m_hwndDevicePanel, 35005), SW_SHOW);
      ShowWindow(GetDlgItem(m_hwndDevicePanel, 35006), SW_SHOW);
    }
  } else {
    StringCchPrintfA(line, 260, "DRIVER VERSION       : 1.1.0.167.0, 2016.08.10");
  }
  SetDlgItemTextA(m_hwnd, IDC_DRIVER_VERSION, line);
}
