// The framework's objects, class factory, module entry points, server registration and
// property page base.
#include "platform/com/base/baseclasses.h"

HINSTANCE g_hInst = nullptr;
LONG CBaseObject::m_cObjects = 0;
static LONG s_cLocks = 0;

// ---- Objects ------------------------------------------------------------------------------------

CBaseObject::CBaseObject(const char*) { __atomic_add_fetch(&m_cObjects, 1, __ATOMIC_SEQ_CST); }
CBaseObject::~CBaseObject() { __atomic_sub_fetch(&m_cObjects, 1, __ATOMIC_SEQ_CST); }
void* CBaseObject::operator new(size_t size) noexcept { return HeapAlloc(GetProcessHeap(), 0, size); }
void CBaseObject::operator delete(void* block) noexcept { HeapFree(GetProcessHeap(), 0, block); }
LONG CBaseObject::ObjectsActive() { return __atomic_load_n(&m_cObjects, __ATOMIC_SEQ_CST); }

CUnknown::CUnknown(const char* name, LPUNKNOWN outer)
    : CBaseObject(name),
      m_pUnknown(outer ? outer : reinterpret_cast<LPUNKNOWN>(static_cast<INonDelegatingUnknown*>(this))) {}

CUnknown::CUnknown(const char* name, LPUNKNOWN outer, HRESULT*) : CUnknown(name, outer) {}

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown)
    return GetInterface(reinterpret_cast<LPUNKNOWN>(static_cast<INonDelegatingUnknown*>(this)), object);
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(__atomic_add_fetch(&m_cRef, 1, __ATOMIC_SEQ_CST)); }

ULONG CUnknown::NonDelegatingRelease() {
  LONG n = __atomic_sub_fetch(&m_cRef, 1, __ATOMIC_SEQ_CST);
  if (n == 0) {
    m_cRef = 1;  // a destructor that queries itself must not delete twice
    delete this;
    return 0;
  }
  return static_cast<ULONG>(n > 0 ? n : 1);
}

HRESULT GetInterface(LPUNKNOWN unknown, void** object) {
  if (!object) return E_POINTER;
  *object = unknown;
  unknown->AddRef();
  return S_OK;
}

// ---- Class factory ---------------------------------------------------------------------------------

namespace {

class CClassFactory : public IClassFactory, public CBaseObject {
 public:
  explicit CClassFactory(const CFactoryTemplate* row) : CBaseObject("Class Factory"), m_row(row) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
  STDMETHODIMP_(ULONG) Release() override {
    LONG n = --m_cRef;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    // An aggregated object hands out only its own (non-delegating) IUnknown.
    if (outer && iid != IID_IUnknown) return E_NOINTERFACE;
    HRESULT hr = S_OK;
    CUnknown* obj = m_row->CreateInstance(outer, &hr);
    if (!obj) return FAILED(hr) ? hr : E_OUTOFMEMORY;
    if (FAILED(hr)) {
      delete obj;
      return hr;
    }
    obj->NonDelegatingAddRef();
    hr = obj->NonDelegatingQueryInterface(iid, object);
    obj->NonDelegatingRelease();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      __atomic_add_fetch(&s_cLocks, 1, __ATOMIC_SEQ_CST);
    else
      __atomic_sub_fetch(&s_cLocks, 1, __ATOMIC_SEQ_CST);
    return S_OK;
  }

 private:
  const CFactoryTemplate* m_row;
  LONG m_cRef = 0;
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  for (int i = 0; i < g_cTemplates; ++i) {
    if (!g_Templates[i].IsClassID(clsid)) continue;
    auto* factory = new CClassFactory(&g_Templates[i]);
    if (!factory) return E_OUTOFMEMORY;
    factory->AddRef();
    *object = static_cast<IClassFactory*>(factory);
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
  return __atomic_load_n(&s_cLocks, __ATOMIC_SEQ_CST) == 0 && CBaseObject::ObjectsActive() == 0 ? S_OK : S_FALSE;
}

BOOL WINAPI DllEntryPoint(HINSTANCE instance, ULONG reason, LPVOID) {
  g_hInst = instance;
  if (reason == DLL_PROCESS_ATTACH)
    RegisterModuleResources(instance, &g_ModuleResources);
  else if (reason == DLL_PROCESS_DETACH)
    UnregisterModuleResources(instance);
  return TRUE;
}

// ---- Server registration ------------------------------------------------------------------------------

namespace {

// "CLSID\{...}" for a class identifier, in a caller's buffer of at least 46 characters.
void ClassKeyName(REFCLSID clsid, char* key) {
  OLECHAR wide[39];
  StringFromGUID2(clsid, wide, 39);
  const char prefix[] = "CLSID\\";
  int n = 0;
  for (const char* p = prefix; *p; ++p) key[n++] = *p;
  for (int i = 0; i < 38; ++i) key[n++] = static_cast<char>(wide[i]);
  key[n] = 0;
}

HRESULT SetString(HKEY key, LPCSTR name, LPCSTR text) {
  DWORD len = 0;
  while (text[len]) ++len;
  LSTATUS st = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), len + 1);
  return HRESULT_FROM_WIN32(static_cast<DWORD>(st));
}

HRESULT RegisterClass(const CFactoryTemplate& row, LPCSTR modulePath) {
  char keyName[64];
  ClassKeyName(*row.m_ClsID, keyName);
  char name[128];
  int n = 0;
  for (const WCHAR* p = row.m_Name; *p && n < 127; ++p) name[n++] = static_cast<char>(*p);
  name[n] = 0;
  HKEY key = nullptr;
  DWORD disposition = 0;
  LSTATUS st = RegCreateKeyExA(HKEY_CLASSES_ROOT, keyName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                               &key, &disposition);
  if (st != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(st));
  HRESULT hr = SetString(key, "", name);
  HKEY server = nullptr;
  if (SUCCEEDED(hr)) {
    st = RegCreateKeyExA(key, "InprocServer32", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &server,
                         nullptr);
    hr = HRESULT_FROM_WIN32(static_cast<DWORD>(st));
  }
  if (SUCCEEDED(hr)) hr = SetString(server, "", modulePath);
  if (SUCCEEDED(hr)) hr = SetString(server, "ThreadingModel", "Both");
  if (server) RegCloseKey(server);
  RegCloseKey(key);
  // A class key this call made but could not finish would name a class without its
  // server: it goes again, so a class is registered whole or not at all.
  if (FAILED(hr) && disposition == REG_CREATED_NEW_KEY) RegDeleteTreeA(HKEY_CLASSES_ROOT, keyName);
  return hr;
}

HRESULT GetFilterMapper(IUnknown** mapper) {
  HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                reinterpret_cast<void**>(mapper));
  if (FAILED(hr))
    hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                          reinterpret_cast<void**>(mapper));
  return hr;
}

}  // namespace

HRESULT AMovieDllRegisterServer2(BOOL doRegister) {
  char path[MAX_PATH];
  DWORD len = GetModuleFileNameA(g_hInst, path, MAX_PATH);
  if (len == 0) return HRESULT_FROM_WIN32(GetLastError());
  // A path that fills the buffer was cut: registering it would name the wrong file.
  if (len >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  HRESULT hr = CoInitialize(nullptr);
  bool uninit = SUCCEEDED(hr);
  hr = S_OK;
  if (doRegister) {
    for (int i = 0; i < g_cTemplates && SUCCEEDED(hr); ++i) hr = RegisterClass(g_Templates[i], path);
  }
  IUnknown* mapper = nullptr;
  if (SUCCEEDED(hr)) hr = GetFilterMapper(&mapper);
  if (SUCCEEDED(hr) && !doRegister) {
    for (int i = 0; i < g_cTemplates; ++i) {
      char keyName[64];
      ClassKeyName(*g_Templates[i].m_ClsID, keyName);
      LSTATUS st = RegDeleteTreeA(HKEY_CLASSES_ROOT, keyName);
      if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND && SUCCEEDED(hr))
        hr = HRESULT_FROM_WIN32(static_cast<DWORD>(st));
    }
  }
  if (mapper) mapper->Release();
  if (uninit) CoUninitialize();
  return hr;
}

// ---- Property page base -----------------------------------------------------------------------------

CBasePropertyPage::CBasePropertyPage(const char* name, LPUNKNOWN outer, int dialogId, int titleId)
    : CUnknown(name, outer), m_DialogId(dialogId), m_TitleId(titleId) {}

HRESULT CBasePropertyPage::NonDelegatingQueryInterface(REFIID iid, void** object) {
  if (iid == IID_IPropertyPage) return GetInterface(static_cast<IPropertyPage*>(this), object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

HRESULT CBasePropertyPage::SetPageSite(IPropertyPageSite* site) {
  if (site) {
    if (m_pPageSite) return E_UNEXPECTED;
    m_pPageSite = site;
    m_pPageSite->AddRef();
  } else {
    if (!m_pPageSite) return E_UNEXPECTED;
    m_pPageSite->Release();
    m_pPageSite = nullptr;
  }
  return S_OK;
}

HRESULT CBasePropertyPage::SetObjects(ULONG count, IUnknown** objects) {
  if (count == 1) {
    if (!objects || !objects[0]) return E_POINTER;
    m_bObjectSet = TRUE;
    return OnConnect(objects[0]);
  }
  if (count == 0) {
    m_bObjectSet = FALSE;
    return OnDisconnect();
  }
  return E_UNEXPECTED;
}

HRESULT CBasePropertyPage::GetPageInfo(PROPPAGEINFO* info) {
  if (!info) return E_POINTER;
  WCHAR title[128];
  int n = LoadStringW(g_hInst, static_cast<UINT>(m_TitleId), title, 128);
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(sizeof(OLECHAR) * static_cast<SIZE_T>(n + 1)));
  if (!copy) return E_OUTOFMEMORY;
  for (int i = 0; i <= n; ++i) copy[i] = title[i];
  // The page's size is its dialog's, in pixels: created once off screen to measure it.
  HWND probe = CreateDialogParamA(g_hInst, MAKEINTRESOURCEA(m_DialogId), nullptr, nullptr, 0);
  if (!probe) {
    CoTaskMemFree(copy);
    return E_FAIL;
  }
  RECT r;
  GetClientRect(probe, &r);
  DestroyWindow(probe);
  info->cb = sizeof(PROPPAGEINFO);
  info->pszTitle = copy;
  info->size = SIZE{r.right - r.left, r.bottom - r.top};
  info->pszDocString = nullptr;
  info->pszHelpFile = nullptr;
  info->dwHelpContext = 0;
  return S_OK;
}

INT_PTR CALLBACK CBasePropertyPage::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CBasePropertyPage* page;
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    page = reinterpret_cast<CBasePropertyPage*>(lParam);
    if (!page) return TRUE;
    page->m_hwnd = hwnd;
  } else {
    page = reinterpret_cast<CBasePropertyPage*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!page) return FALSE;
  }
  return page->OnReceiveMessage(hwnd, message, wParam, lParam);
}

INT_PTR CBasePropertyPage::OnReceiveMessage(HWND, UINT, WPARAM, LPARAM) { return 0; }

HRESULT CBasePropertyPage::Activate(HWND parent, LPCRECT rect, BOOL) {
  if (!rect) return E_POINTER;
  if (!m_bObjectSet || m_hwnd) return E_UNEXPECTED;
  HWND hwnd =
      CreateDialogParamA(g_hInst, MAKEINTRESOURCEA(m_DialogId), parent, DialogProc, reinterpret_cast<LPARAM>(this));
  if (!hwnd) return E_OUTOFMEMORY;
  m_hwnd = hwnd;
  OnActivate();
  Move(rect);
  return Show(SW_SHOWNORMAL);
}

HRESULT CBasePropertyPage::Deactivate() {
  if (!m_hwnd) return E_UNEXPECTED;
  OnDeactivate();
  DestroyWindow(m_hwnd);
  m_hwnd = nullptr;
  return S_OK;
}

HRESULT CBasePropertyPage::Show(UINT command) {
  if (!m_hwnd) return E_UNEXPECTED;
  if (command != SW_SHOW && command != SW_SHOWNORMAL && command != SW_HIDE) return E_INVALIDARG;
  ShowWindow(m_hwnd, static_cast<int>(command));
  InvalidateRect(m_hwnd, nullptr, TRUE);
  return S_OK;
}

HRESULT CBasePropertyPage::Move(LPCRECT rect) {
  if (!rect) return E_POINTER;
  if (!m_hwnd) return E_UNEXPECTED;
  MoveWindow(m_hwnd, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
  return S_OK;
}

HRESULT CBasePropertyPage::Apply() {
  if (!m_bObjectSet || !m_pPageSite) return E_UNEXPECTED;
  if (!m_bDirty) return S_OK;
  HRESULT hr = OnApplyChanges();
  if (SUCCEEDED(hr)) {
    m_bDirty = FALSE;
    m_pPageSite->OnStatusChange(PROPPAGESTATUS_CLEAN);
  }
  return hr;
}
