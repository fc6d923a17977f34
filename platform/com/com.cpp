// The COM runtime: system classes, in-process servers found through HKEY_CLASSES_ROOT,
// task memory and GUID strings.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/com/com_host.h"

namespace {

struct Runtime {
  std::mutex lock;
  std::atomic<int64_t> taskLive{0};
  std::atomic<int> depth{0};
  std::vector<std::pair<CLSID, HRESULT>> faults;
};
Runtime& R() {
  static Runtime r;
  return r;
}

// The filter mappers: nothing is registered with them in this system, so they answer
// only the identity queries.
class FilterMapper final : public IUnknown {
 public:
  explicit FilterMapper(const IID& iid) : iid_(iid) {}
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == iid_) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 private:
  IID iid_;
  std::atomic<ULONG> refs_{0};
};

HRESULT SystemClass(REFCLSID clsid, LPUNKNOWN outer, REFIID iid, LPVOID* object, bool* known) {
  const IID* mapperIid = clsid == CLSID_FilterMapper2  ? &IID_IFilterMapper2
                         : clsid == CLSID_FilterMapper ? &IID_IFilterMapper
                                                       : nullptr;
  *known = mapperIid != nullptr;
  if (!*known) return REGDB_E_CLASSNOTREG;
  {
    std::lock_guard<std::mutex> g(R().lock);
    for (auto& [c, hr] : R().faults)
      if (c == clsid) return hr;
  }
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* m = new FilterMapper(*mapperIid);
  m->AddRef();
  HRESULT hr = m->QueryInterface(iid, object);
  m->Release();
  return hr;
}

typedef HRESULT (*GetClassObjectProc)(REFCLSID, REFIID, LPVOID*);

}  // namespace

HRESULT CoInitialize(LPVOID) { return R().depth++ == 0 ? S_OK : S_FALSE; }
void CoUninitialize() {
  if (R().depth > 0) --R().depth;
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer && iid != IID_IUnknown) return E_INVALIDARG;
  bool known = false;
  HRESULT hr = SystemClass(clsid, outer, iid, object, &known);
  if (known) return hr;
  if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  std::string key = "CLSID\\" + platform::com::GuidString(clsid) + "\\InprocServer32";
  HKEY hkey;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &hkey) != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;
  char path[MAX_PATH + 1];
  DWORD size = sizeof path;
  LSTATUS st = RegQueryValueExA(hkey, "", nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
  RegCloseKey(hkey);
  if (st != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;
  // The module stays loaded for the life of the process, as the runtime keeps servers
  // until the application asks it to free unused ones.
  HMODULE module = LoadLibraryA(path);
  if (!module) return HRESULT_FROM_WIN32(GetLastError());
  auto get =
      reinterpret_cast<GetClassObjectProc>(reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
  if (!get) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  IClassFactory* factory = nullptr;
  hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(outer, iid, object);
  factory->Release();
  return hr;
}

LPVOID CoTaskMemAlloc(SIZE_T bytes) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (p) ++R().taskLive;
  return p;
}

void CoTaskMemFree(LPVOID block) {
  if (!block) return;
  std::free(block);
  --R().taskLive;
}

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int size) {
  if (!buffer || size < 39) return 0;
  std::string s = platform::com::GuidString(guid);
  for (int i = 0; i < 38; ++i) buffer[i] = static_cast<OLECHAR>(s[static_cast<size_t>(i)]);
  buffer[38] = 0;
  return 39;
}

namespace platform::com {

void ResetCom() {
  std::lock_guard<std::mutex> g(R().lock);
  R().faults.clear();
  R().depth = 0;
}
int64_t TaskMemLiveBlocks() { return R().taskLive.load(); }
int CoInitializeDepth() { return R().depth.load(); }
void FailSystemClass(REFCLSID clsid, HRESULT hr) {
  std::lock_guard<std::mutex> g(R().lock);
  std::erase_if(R().faults, [&](auto& f) { return f.first == clsid; });
  if (hr != S_OK) R().faults.emplace_back(clsid, hr);
}

std::string GuidString(REFGUID g) {
  char s[40];
  std::snprintf(s, sizeof s, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return s;
}

}  // namespace platform::com
