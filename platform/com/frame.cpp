// A property frame: shows one property page on one object as an application's property
// dialog does.
#include <atomic>

#include "platform/com/com_host.h"
#include "platform/win32/win32_host.h"

namespace platform::com {

class PropertyFrame::Site final : public IPropertyPageSite {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPropertyPageSite) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override {
    ULONG n = --refs;
    if (n == 0) delete this;
    return n;
  }
  HRESULT OnStatusChange(DWORD flags) override {
    changes.push_back(flags);
    return S_OK;
  }
  HRESULT GetLocaleID(LCID* locale) override {
    if (!locale) return E_POINTER;
    *locale = 0x0409;
    return S_OK;
  }
  HRESULT GetPageContainer(IUnknown**) override { return E_NOTIMPL; }
  HRESULT TranslateAccelerator(MSG*) override { return S_FALSE; }

  std::atomic<ULONG> refs{1};
  std::vector<DWORD> changes;
};

PropertyFrame::~PropertyFrame() { Close(); }

HRESULT PropertyFrame::Open(IUnknown* object, REFCLSID pageClass, int x, int y) {
  Close();
  HRESULT hr =
      CoCreateInstance(pageClass, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage, reinterpret_cast<void**>(&page_));
  if (FAILED(hr)) {
    page_ = nullptr;
    return hr;
  }
  site_ = new Site;
  hr = page_->SetPageSite(site_);
  if (SUCCEEDED(hr)) hr = page_->SetObjects(1, &object);
  PROPPAGEINFO info{};
  info.cb = sizeof info;
  if (SUCCEEDED(hr)) hr = page_->GetPageInfo(&info);
  if (SUCCEEDED(hr)) {
    title_.clear();
    for (const OLECHAR* p = info.pszTitle; p && *p; ++p) title_.push_back(static_cast<wchar_t>(*p));
    size_ = info.size;
    CoTaskMemFree(info.pszTitle);
    CoTaskMemFree(info.pszDocString);
    CoTaskMemFree(info.pszHelpFile);
    frame_ = platform::win32::CreateFrameWindow("Properties", x, y, size_.cx, size_.cy);
    RECT r{0, 0, size_.cx, size_.cy};
    hr = page_->Activate(frame_, &r, FALSE);
  }
  if (FAILED(hr)) Close();
  return hr;
}

HRESULT PropertyFrame::Reactivate() {
  if (!page_) return E_UNEXPECTED;
  page_->Deactivate();
  RECT r{0, 0, size_.cx, size_.cy};
  return page_->Activate(frame_, &r, FALSE);
}

HWND PropertyFrame::page() const {
  auto kids = platform::win32::Children(frame_);
  return kids.empty() ? nullptr : kids.front();
}

const std::vector<DWORD>& PropertyFrame::statusChanges() const {
  static const std::vector<DWORD> none;
  return site_ ? site_->changes : none;
}

void PropertyFrame::Close() {
  if (page_) {
    page_->Deactivate();
    page_->SetObjects(0, nullptr);
    page_->SetPageSite(nullptr);
    page_->Release();
    page_ = nullptr;
  }
  if (site_) {
    site_->Release();
    site_ = nullptr;
  }
  if (frame_) {
    DestroyWindow(frame_);
    frame_ = nullptr;
  }
}

}  // namespace platform::com
