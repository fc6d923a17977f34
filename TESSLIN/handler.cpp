// The ICustomProperty handler: the only bridge from the plug-in to the driver.
#include "TESSLIN/plugin.h"

CUnknown* CCustomPropertyInterfaceHandler::CreateInstance(LPUNKNOWN outer, HRESULT* result) {
  auto* handler = new CCustomPropertyInterfaceHandler(outer, result);
  if (!handler) *result = E_OUTOFMEMORY;
  return handler;
}

CCustomPropertyInterfaceHandler::CCustomPropertyInterfaceHandler(LPUNKNOWN outer, HRESULT* result)
    : CUnknown("ICustomProperty", outer) {
  if (FAILED(*result)) return;
  if (!outer) {
    *result = VFW_E_NEED_OWNER;
    return;
  }
  IKsObject* ksObject = nullptr;
  *result = outer->QueryInterface(IID_IKsObject, reinterpret_cast<void**>(&ksObject));
  if (FAILED(*result)) return;  // nothing was handed out, so nothing to release
  m_hKsObject = ksObject->KsGetObjectHandle();
  if (!m_hKsObject) *result = E_UNEXPECTED;
  ksObject->Release();
}

HRESULT CCustomPropertyInterfaceHandler::NonDelegatingQueryInterface(REFIID iid, void** object) {
  if (iid == IID_ICustomProperty) return GetInterface(static_cast<ICustomProperty*>(this), object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

HRESULT CCustomPropertyInterfaceHandler::GetSetProperty(ULONG id, ULONG* value, BOOL set) {
  if (!value) return E_POINTER;
  return SendRequest(id, value, sizeof(ULONG), set);
}

HRESULT CCustomPropertyInterfaceHandler::GetSetPropertyEx(ULONG id, void* data, ULONG size, BOOL set) {
  if (!data) return E_POINTER;
  return SendRequest(id, data, size, set);
}

HRESULT CCustomPropertyInterfaceHandler::SendRequest(ULONG id, void* data, ULONG size, BOOL set) {
  KSPROPERTY property;
  property.Set = KSPROPSETID_CustomDevice;
  property.Id = id;
  property.Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
  ULONG returned = 0;
  return KsSynchronousDeviceControl(m_hKsObject, IOCTL_KS_PROPERTY, &property, sizeof property, data, size, &returned);
}
