// The streaming proxy: one object per opened filter that hands out the filter's kernel
// handle through IKsObject and aggregates the interface handlers installed for the
// property sets the filter serves; KsSynchronousDeviceControl carries a property request
// to whatever stands behind the handle.
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

// The kernel registry header first: its key-access names are the ones in force.
#include "platform/kernel/registry_host.h"
#include "platform/com/com_host.h"

namespace platform::com {
namespace {

constexpr char16_t kMediaInterfaces[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\MediaInterfaces";

struct Handles {
  std::mutex lock;
  std::map<HANDLE, PropertyEndpoint*> endpoints;
  uintptr_t next = 0x4000;
};
Handles& H() {
  static Handles h;
  return h;
}

std::u16string InterfaceKey(REFGUID set) {
  std::string g = GuidString(set);
  return std::u16string(kMediaInterfaces) + u"\\" + std::u16string(g.begin(), g.end());
}

class FilterProxy final : public IKsObject {
 public:
  FilterProxy(PropertyEndpoint* endpoint, const FilterProxyOptions& options) : options_(options) {
    std::lock_guard<std::mutex> g(H().lock);
    handle_ = reinterpret_cast<HANDLE>(H().next);
    H().next += 4;
    H().endpoints[handle_] = endpoint;
  }

  // Aggregates the handlers; the proxy holds one reference meanwhile, since a handler
  // queries (and releases) its owner while it is created.
  void Aggregate(PropertyEndpoint* endpoint) {
    for (const GUID& set : endpoint->PropertySets()) {
      if (!platform::kernel::RegistryKeyExists(InterfaceKey(set))) continue;
      IUnknown* inner = nullptr;
      if (SUCCEEDED(
              CoCreateInstance(set, this, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&inner))) &&
          inner)
        inners_.push_back(inner);
    }
  }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || (iid == IID_IKsObject && options_.offerKsObject)) {
      *object = static_cast<IKsObject*>(this);
      AddRef();
      return S_OK;
    }
    // The inner objects' own (non-delegating) sides answer for them.
    for (IUnknown* inner : inners_)
      if (SUCCEEDED(inner->QueryInterface(iid, object))) return S_OK;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) {
      refs_ = 1;  // guard against re-entry while the inners let go of us
      for (IUnknown* inner : inners_) inner->Release();
      inners_.clear();
      delete this;
    }
    return n;
  }
  HANDLE KsGetObjectHandle() override { return options_.nullHandle ? nullptr : handle_; }

 private:
  ~FilterProxy() {
    std::lock_guard<std::mutex> g(H().lock);
    H().endpoints.erase(handle_);
  }
  FilterProxyOptions options_;
  HANDLE handle_ = nullptr;
  std::atomic<ULONG> refs_{1};
  std::vector<IUnknown*> inners_;
};

}  // namespace

IUnknown* CreateFilterProxy(PropertyEndpoint* endpoint, const FilterProxyOptions& options) {
  auto* proxy = new FilterProxy(endpoint, options);
  proxy->Aggregate(endpoint);
  return proxy;
}

void InstallInterfaceHandler(REFGUID propertySet, REFCLSID handler) {
  std::string clsid = GuidString(handler);
  platform::kernel::RegistrySetString(InterfaceKey(propertySet), u"CLSID", std::u16string(clsid.begin(), clsid.end()));
}

void RemoveInterfaceHandler(REFGUID propertySet) { platform::kernel::RegistryDeleteKey(InterfaceKey(propertySet)); }

HRESULT HresultFromStatus(NTSTATUS status) {
  if (NT_SUCCESS(status)) return S_OK;
  // The KS class driver's own refusals, as the I/O manager translates them.
  constexpr NTSTATUS kPropertySetNotFound = static_cast<NTSTATUS>(0xC0000230L);
  constexpr NTSTATUS kDeviceNotReady = static_cast<NTSTATUS>(0xC00000A3L);
  switch (status) {
    case kPropertySetNotFound:
      return HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);
    case STATUS_NO_MATCH:
      return HRESULT_FROM_WIN32(1169);  // ERROR_NO_MATCH
    case STATUS_INVALID_BUFFER_SIZE:
      return HRESULT_FROM_WIN32(24);  // ERROR_BAD_LENGTH
    case kDeviceNotReady:
      return HRESULT_FROM_WIN32(21);  // ERROR_NOT_READY
    case STATUS_DEVICE_NOT_CONNECTED:
      return HRESULT_FROM_WIN32(1167);  // ERROR_DEVICE_NOT_CONNECTED
    case STATUS_NOT_FOUND:
      return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    case STATUS_BUFFER_TOO_SMALL:
      return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    case STATUS_BUFFER_OVERFLOW:
      return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
    case STATUS_INVALID_PARAMETER:
      return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    case STATUS_NOT_SUPPORTED:
      return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    case STATUS_INVALID_DEVICE_REQUEST:
      return HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION);
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_NO_MEMORY:
      return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
    case STATUS_INVALID_HANDLE:
      return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    case STATUS_ACCESS_DENIED:
      return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    default:
      return HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
  }
}

size_t OpenFilterHandles() {
  std::lock_guard<std::mutex> g(H().lock);
  return H().endpoints.size();
}

}  // namespace platform::com

HRESULT KsSynchronousDeviceControl(HANDLE handle, ULONG ioControl, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                                   PULONG returned) {
  using namespace platform::com;
  PropertyEndpoint* endpoint = nullptr;
  {
    std::lock_guard<std::mutex> g(H().lock);
    auto it = H().endpoints.find(handle);
    if (it != H().endpoints.end()) endpoint = it->second;
  }
  if (returned) *returned = 0;
  if (!endpoint) return E_HANDLE;
  if (ioControl != IOCTL_KS_PROPERTY) return HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION);
  if (!in || inLength < sizeof(KSPROPERTY) || (outLength && !out)) return E_INVALIDARG;
  KSPROPERTY property;
  std::memcpy(&property, in, sizeof property);
  // The driver works on its own copy of the value, as the I/O manager's buffered copy;
  // only a completed request is copied back.
  std::vector<unsigned char> value(outLength);
  if (outLength) std::memcpy(value.data(), out, outLength);
  ULONG count = 0;
  NTSTATUS status = endpoint->Property(property, outLength ? value.data() : nullptr, outLength, &count);
  if (!NT_SUCCESS(status)) return HresultFromStatus(status);
  if (count > outLength) count = outLength;
  if (outLength) std::memcpy(out, value.data(), outLength);
  if (returned) *returned = count;
  return S_OK;
}
