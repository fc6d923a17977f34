// The plug-in's classes and the panels' dialog procedures.
#pragma once

#include <initializer_list>

#include "TESSLIN/custom_property.h"
#include "platform/com/base/baseclasses.h"
#include "platform/com/ksproxy.h"

// The ICustomProperty handler, aggregated by the streaming proxy into a capture filter's
// proxy object: every call is one synchronous property request on the filter's handle.
class CCustomPropertyInterfaceHandler : public CUnknown, public ICustomProperty {
 public:
  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* result);
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP GetSetProperty(ULONG id, ULONG* value, BOOL set) override;
  STDMETHODIMP GetSetPropertyEx(ULONG id, void* data, ULONG size, BOOL set) override;

 private:
  CCustomPropertyInterfaceHandler(LPUNKNOWN outer, HRESULT* result);
  HRESULT SendRequest(ULONG id, void* data, ULONG size, BOOL set);
  HANDLE m_hKsObject = nullptr;
};

// The property page: a status block refreshed once a second and four panels chosen by
// tab buttons.
class CCustomPropertyPage : public CBasePropertyPage {
 public:
  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* result);
  ~CCustomPropertyPage() override = default;

  HRESULT OnConnect(IUnknown* object) override;
  HRESULT OnDisconnect() override;
  HRESULT OnActivate() override;
  HRESULT OnDeactivate() override;
  HRESULT OnApplyChanges() override;
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  explicit CCustomPropertyPage(LPUNKNOWN outer);
  void CreatePanels();
  void RefreshStatus();
  void ShowPanel(int index);
  HWND* PanelSlot(int index);

  ICustomProperty* m_pCustomProperty = nullptr;
  HWND m_hwndDevicePanel = nullptr;
  HWND m_hwndReceiverPanel = nullptr;
  HWND m_hwndDriverPanel = nullptr;
  HWND m_hwndEncoderPanel = nullptr;
  int32_t m_nActivePanel = 0;
};

inline constexpr UINT_PTR TIMER_CREATE_PANELS = 0;
inline constexpr UINT_PTR TIMER_STATUS = 1;

// The process-wide map from a page window to its page's ICustomProperty (no reference
// held: the page owns the interface).
void PagePropertyMapSet(HWND page, ICustomProperty* property);
void PagePropertyMapUpdate(HWND page, ICustomProperty* property);
void PagePropertyMapRemove(HWND page);
void PagePropertyMapDestroy();
// The interface of the page that owns a panel window, or null.
ICustomProperty* LookupPageProperty(HWND panel);

INT_PTR CALLBACK DevicePropertyDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ReceiverPropertyDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DriverPropertyDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK EncoderPropertyDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Helpers of the panels: one read into a value preset to 0 (a failed read gives 0), one
// write, and the text of a control as a number.
ULONG ReadProperty(ICustomProperty* property, ULONG id);
void WriteProperty(ICustomProperty* property, ULONG id, ULONG value);
void SetItemNumber(HWND dialog, int id, const char* format, ULONG value);

// The value a trackbar notification asks for: a page step of `step` from the current
// value (read only for a page step, and first brought into 0 to max, since the driver
// keeps whatever it was given), or the thumb's position. False for notifications that
// change nothing.
template <class ReadCurrent>
bool TrackbarValue(WPARAM wParam, ULONG step, ULONG max, ReadCurrent read, ULONG* value) {
  switch (LOWORD(wParam)) {
    case TB_PAGEUP:
    case TB_PAGEDOWN: {
      ULONG v = read();
      if (v > max) v = max;
      if (LOWORD(wParam) == TB_PAGEUP)
        *value = v >= step ? v - step : 0;
      else
        *value = v <= max - step ? v + step : max;
      return true;
    }
    case TB_THUMBPOSITION:
    case TB_THUMBTRACK:
      *value = HIWORD(wParam);
      return true;
    default:
      return false;
  }
}
