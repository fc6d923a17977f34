// The COM runtime's controls, the streaming proxy's filter objects and a property frame,
// for tests and the main job. Host code only: the system's code never includes this.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/ksproxy.h"

namespace platform::com {

// Forgets system-class faults and counts; the two filter mappers stay registered.
void ResetCom();
int64_t TaskMemLiveBlocks();
int CoInitializeDepth();
// A system class (the filter mappers are two) fails creation with `hr` until cleared (S_OK).
void FailSystemClass(REFCLSID clsid, HRESULT hr);

std::string GuidString(REFGUID guid);

// ---- The streaming proxy -------------------------------------------------------------------
// What stands behind a filter's kernel handle: today a test's driver, later the KS
// layer's property dispatch of the running driver.
class PropertyEndpoint {
 public:
  virtual ~PropertyEndpoint() = default;
  // The property sets the filter serves (the proxy aggregates the interface handler
  // installed for each).
  virtual std::vector<GUID> PropertySets() = 0;
  // One IOCTL_KS_PROPERTY: `data` holds the value for a set and receives it for a get.
  virtual NTSTATUS Property(const KSPROPERTY& property, void* data, ULONG length, ULONG* returned) = 0;
};

struct FilterProxyOptions {
  bool nullHandle = false;    // the filter's handle reads as null
  bool offerKsObject = true;  // the proxy answers IKsObject
};
// The proxy object of an opened filter (one reference, the caller's). It aggregates the
// handler class installed for each property set the endpoint serves.
IUnknown* CreateFilterProxy(PropertyEndpoint* endpoint, const FilterProxyOptions& options = {});
// The installation entry that makes the proxy aggregate `handler` for filters serving
// `propertySet` (under the machine's MediaInterfaces key), and its removal.
void InstallInterfaceHandler(REFGUID propertySet, REFCLSID handler);
void RemoveInterfaceHandler(REFGUID propertySet);
// The status-to-HRESULT mapping of KsSynchronousDeviceControl.
HRESULT HresultFromStatus(NTSTATUS status);
size_t OpenFilterHandles();

// ---- A property frame -------------------------------------------------------------------------
// Shows one property page on one object as an application's property dialog does: a frame
// window at a screen position, then SetPageSite, SetObjects, GetPageInfo, Activate; Close
// undoes it in the reverse order and releases the page.
class PropertyFrame {
 public:
  PropertyFrame() = default;
  ~PropertyFrame();
  PropertyFrame(const PropertyFrame&) = delete;
  PropertyFrame& operator=(const PropertyFrame&) = delete;

  HRESULT Open(IUnknown* object, REFCLSID pageClass, int x = 120, int y = 80);
  void Close();
  // Deactivate and Activate again, as when the user switches tabs of the frame.
  HRESULT Reactivate();

  HWND frame() const { return frame_; }
  // The page window: the frame's child created by Activate.
  HWND page() const;
  IPropertyPage* pageObject() const { return page_; }
  std::wstring title() const { return title_; }
  SIZE size() const { return size_; }
  // OnStatusChange flags the page reported.
  const std::vector<DWORD>& statusChanges() const;

 private:
  class Site;
  Site* site_ = nullptr;
  IPropertyPage* page_ = nullptr;
  HWND frame_ = nullptr;
  std::wstring title_;
  SIZE size_{};
};

}  // namespace platform::com
