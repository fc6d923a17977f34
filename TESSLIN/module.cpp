// The in-process server: module entry, class table and registration.
#include "TESSLIN/plugin.h"

CFactoryTemplate g_Templates[] = {
    {u"ICustomProperty", &CLSID_CustomPropertyInterfaceHandler, CCustomPropertyInterfaceHandler::CreateInstance,
     nullptr, nullptr},
    {u"CCustomPropertyPage", &CLSID_CustomPropertyPage, CCustomPropertyPage::CreateInstance, nullptr, nullptr},
};
int g_cTemplates = sizeof g_Templates / sizeof g_Templates[0];

static HINSTANCE s_hModule = nullptr;

STDAPI_(BOOL) DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  s_hModule = instance;
  BOOL result = DllEntryPoint(instance, reason, reserved);
  if (reason == DLL_PROCESS_DETACH) PagePropertyMapDestroy();
  return result;
}

STDAPI DllRegisterServer() { return AMovieDllRegisterServer2(TRUE); }
STDAPI DllUnregisterServer() { return AMovieDllRegisterServer2(FALSE); }
