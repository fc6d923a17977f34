// The COM core as the plug-in sees it: IUnknown, class factories, creation of classes
// from in-process servers registered under HKEY_CLASSES_ROOT, task memory, GUID strings,
// and the OLE property-page interfaces. Declared from the platform's public documentation;
// only what the system calls is here.
#pragma once

#include "platform/win32/win32.h"

#define STDMETHODCALLTYPE
#define STDMETHOD(m) virtual HRESULT m
#define STDMETHOD_(t, m) virtual t m
#define PURE = 0
#define STDMETHODIMP HRESULT
#define STDMETHODIMP_(t) t
// Exported from a module (everything else in a module is hidden).
#define STDAPI extern "C" __attribute__((visibility("default"))) HRESULT
#define STDAPI_(t) extern "C" __attribute__((visibility("default"))) t

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC CLSCTX_INPROC_SERVER

// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000001-0000-0000-C000-000000000046}
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {B196B28D-BAB4-101A-B69C-00AA00341D07}
inline constexpr IID IID_IPropertyPage = {0xB196B28D, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// {B196B28C-BAB4-101A-B69C-00AA00341D07}
inline constexpr IID IID_IPropertyPageSite = {
    0xB196B28C, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// The system's filter mappers: {CDA42200-BD88-11D0-BD4E-00A0C911CE86} and {E436EBB2-524F-11CE-9F53-0020AF0BA770}.
inline constexpr CLSID CLSID_FilterMapper2 = {
    0xCDA42200, 0xBD88, 0x11D0, {0xBD, 0x4E, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr CLSID CLSID_FilterMapper = {
    0xE436EBB2, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// {B79BB0B0-33C1-11D1-ABE1-00A0C905F375} and {56A868A3-0AD4-11CE-B03A-0020AF0BA770}
inline constexpr IID IID_IFilterMapper2 = {
    0xB79BB0B0, 0x33C1, 0x11D1, {0xAB, 0xE1, 0x00, 0xA0, 0xC9, 0x05, 0xF3, 0x75}};
inline constexpr IID IID_IFilterMapper = {0x56A868A3, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID iid, void** object) PURE;
  STDMETHOD_(ULONG, AddRef)() PURE;
  STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
  STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** object) PURE;
  STDMETHOD(LockServer)(BOOL lock) PURE;
};

HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
// A class registered with the system, else the in-process server that HKEY_CLASSES_ROOT
// names under CLSID\{...}\InprocServer32 (loaded once; its DllGetClassObject gives the
// factory).
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object);
LPVOID CoTaskMemAlloc(SIZE_T bytes);
void CoTaskMemFree(LPVOID block);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case; returns 39 (characters with
// the terminator), or 0 when the buffer is shorter.
int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int size);

// ---- OLE property pages ---------------------------------------------------------------------
typedef struct tagPROPPAGEINFO {
  ULONG cb;
  LPOLESTR pszTitle;
  SIZE size;
  LPOLESTR pszDocString;
  LPOLESTR pszHelpFile;
  DWORD dwHelpContext;
} PROPPAGEINFO;

#define PROPPAGESTATUS_DIRTY 0x1
#define PROPPAGESTATUS_VALIDATE 0x2
#define PROPPAGESTATUS_CLEAN 0x4

struct IPropertyPageSite : public IUnknown {
  STDMETHOD(OnStatusChange)(DWORD flags) PURE;
  STDMETHOD(GetLocaleID)(LCID* locale) PURE;
  STDMETHOD(GetPageContainer)(IUnknown** container) PURE;
  STDMETHOD(TranslateAccelerator)(MSG* msg) PURE;
};

struct IPropertyPage : public IUnknown {
  STDMETHOD(SetPageSite)(IPropertyPageSite* site) PURE;
  STDMETHOD(Activate)(HWND parent, LPCRECT rect, BOOL modal) PURE;
  STDMETHOD(Deactivate)() PURE;
  STDMETHOD(GetPageInfo)(PROPPAGEINFO* info) PURE;
  STDMETHOD(SetObjects)(ULONG count, IUnknown** objects) PURE;
  STDMETHOD(Show)(UINT command) PURE;
  STDMETHOD(Move)(LPCRECT rect) PURE;
  STDMETHOD(IsPageDirty)() PURE;
  STDMETHOD(Apply)() PURE;
  STDMETHOD(Help)(LPCOLESTR helpDir) PURE;
  STDMETHOD(TranslateAccelerator)(MSG* msg) PURE;
};
