// The COM and property-page framework a filter's plug-in builds on: object and lock
// counts, the aggregation-aware CUnknown, the class factory over the module's class
// table, the module's exported entry points, server registration and the property page
// base. Linked statically into each module, so the counts are the module's own.
// Objects come from the process heap, never from the C++ run-time.
#pragma once

#include <cstddef>

#include "platform/com/com.h"

#define VFW_E_NEED_OWNER ((HRESULT)0x80040202L)
#define NAME(x) (x)

// The module's instance handle (set by the module entry routine).
extern HINSTANCE g_hInst;

class CBaseObject {
 public:
  explicit CBaseObject(const char* name);
  virtual ~CBaseObject();
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;
  // Framework objects live on the process heap; a refused allocation gives null.
  static void* operator new(size_t size) noexcept;
  static void operator delete(void* block) noexcept;
  static LONG ObjectsActive();

 private:
  static LONG m_cObjects;
};

struct INonDelegatingUnknown {
  virtual HRESULT NonDelegatingQueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG NonDelegatingAddRef() = 0;
  virtual ULONG NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  CUnknown(const char* name, LPUNKNOWN outer);
  CUnknown(const char* name, LPUNKNOWN outer, HRESULT* result);
  HRESULT NonDelegatingQueryInterface(REFIID iid, void** object) override;
  ULONG NonDelegatingAddRef() override;
  ULONG NonDelegatingRelease() override;
  LPUNKNOWN GetOwner() const { return m_pUnknown; }

 protected:
  LONG m_cRef = 0;

 private:
  LPUNKNOWN const m_pUnknown;
};

// The three IUnknown methods of a class that may be aggregated go to its owner.
#define DECLARE_IUNKNOWN                                                                                          \
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return GetOwner()->QueryInterface(riid, ppv); } \
  STDMETHODIMP_(ULONG) AddRef() override { return GetOwner()->AddRef(); }                                         \
  STDMETHODIMP_(ULONG) Release() override { return GetOwner()->Release(); }

// Hands out `unknown` (already cast to the interface asked for) with a reference.
HRESULT GetInterface(LPUNKNOWN unknown, void** object);

typedef CUnknown* (*LPFNNewCOMObject)(LPUNKNOWN outer, HRESULT* result);
typedef void (*LPFNInitRoutine)(BOOL loading, const CLSID* clsid);

class CFactoryTemplate {
 public:
  const WCHAR* m_Name;
  const CLSID* m_ClsID;
  LPFNNewCOMObject m_lpfnNew;
  LPFNInitRoutine m_lpfnInit;
  const void* m_pAMovieSetup_Filter;

  BOOL IsClassID(REFCLSID clsid) const { return *m_ClsID == clsid; }
  CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* result) const { return m_lpfnNew(outer, result); }
};

// Provided by the module: its class table and its resources.
extern CFactoryTemplate g_Templates[];
extern int g_cTemplates;
extern const MODULE_RESOURCES g_ModuleResources;

// The framework's module entry routine: keeps the instance handle and hands the module's
// resources to the window manager on attach (takes them back on detach).
BOOL WINAPI DllEntryPoint(HINSTANCE instance, ULONG reason, LPVOID reserved);
// Registers (TRUE) or unregisters (FALSE) every class of the table under
// HKEY_CLASSES_ROOT\CLSID, with the system's filter mapper at hand.
HRESULT AMovieDllRegisterServer2(BOOL doRegister);

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object);
STDAPI DllCanUnloadNow();

// ---- Property pages ---------------------------------------------------------------------------
class CBasePropertyPage : public IPropertyPage, public CUnknown {
 public:
  CBasePropertyPage(const char* name, LPUNKNOWN outer, int dialogId, int titleId);
  ~CBasePropertyPage() override = default;
  DECLARE_IUNKNOWN

  HRESULT NonDelegatingQueryInterface(REFIID iid, void** object) override;

  STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
  STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  STDMETHODIMP Deactivate() override;
  STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
  STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
  STDMETHODIMP Show(UINT command) override;
  STDMETHODIMP Move(LPCRECT rect) override;
  STDMETHODIMP IsPageDirty() override { return m_bDirty ? S_OK : S_FALSE; }
  STDMETHODIMP Apply() override;
  STDMETHODIMP Help(LPCOLESTR) override { return E_NOTIMPL; }
  STDMETHODIMP TranslateAccelerator(MSG*) override { return E_NOTIMPL; }

  virtual HRESULT OnConnect(IUnknown*) { return S_OK; }
  virtual HRESULT OnDisconnect() { return S_OK; }
  virtual HRESULT OnActivate() { return S_OK; }
  virtual HRESULT OnDeactivate() { return S_OK; }
  virtual HRESULT OnApplyChanges() { return S_OK; }
  virtual INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

 protected:
  HWND m_hwnd = nullptr;  // the page window while active
  IPropertyPageSite* m_pPageSite = nullptr;
  BOOL m_bDirty = FALSE;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  int m_DialogId;
  int m_TitleId;
  BOOL m_bObjectSet = FALSE;
};
