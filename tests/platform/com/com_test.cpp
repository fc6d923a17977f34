// The COM runtime and the streaming proxy: class lookup, GUID strings, and the property
// request carried to what stands behind a filter's handle.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/com/com_host.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"

namespace {

namespace com = platform::com;

constexpr GUID kSet = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};

class Endpoint : public com::PropertyEndpoint {
 public:
  std::vector<GUID> PropertySets() override { return {kSet}; }
  NTSTATUS Property(const KSPROPERTY& p, void* data, ULONG length, ULONG* returned) override {
    seen = p;
    seenLength = length;
    if (length >= 4) std::memcpy(&in, data, 4);
    // A failing driver may have scribbled on its buffer before it gave up.
    if (length >= 4) std::memset(data, 0xAB, 4);
    *returned = 4;
    return status;
  }
  KSPROPERTY seen{};
  ULONG seenLength = 0;
  ULONG in = 0;
  NTSTATUS status = STATUS_SUCCESS;
};

TEST(Com, GuidStringsAreBracedUpperCase) {
  EXPECT_EQ(com::GuidString(kSet), "{11223344-5566-7788-99AA-BBCCDDEEFF00}");
  OLECHAR text[39];
  EXPECT_EQ(StringFromGUID2(kSet, text, 38), 0);
  ASSERT_EQ(StringFromGUID2(kSet, text, 39), 39);
  EXPECT_EQ(text[0], u'{');
  EXPECT_EQ(text[37], u'}');
  EXPECT_EQ(text[38], 0);
}

TEST(Com, UnregisteredClassesAndTheSystemsFilterMappers) {
  platform::kernel::RegistryReset();
  com::ResetCom();
  IUnknown* object = nullptr;
  EXPECT_EQ(CoCreateInstance(kSet, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object)),
            REGDB_E_CLASSNOTREG);
  ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                             reinterpret_cast<void**>(&object)),
            S_OK);
  object->Release();
  com::FailSystemClass(CLSID_FilterMapper2, E_OUTOFMEMORY);
  EXPECT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                             reinterpret_cast<void**>(&object)),
            E_OUTOFMEMORY);
  com::ResetCom();
  // A class registered with a module that is not there.
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, ("CLSID\\" + com::GuidString(kSet) + "\\InprocServer32").c_str(), 0,
                            nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char path[] = "/nonexistent/module.so";
  RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof path);
  RegCloseKey(key);
  EXPECT_EQ(CoCreateInstance(kSet, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object)),
            HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
}

TEST(Com, ModulePathsThatDoNotFitAreReportedAsCut) {
  // The test program's own libraries are modules too: load one by path.
  HMODULE module = LoadLibraryA("libc.so.6");
  ASSERT_NE(module, nullptr);
  char small[5];
  EXPECT_EQ(GetModuleFileNameA(module, small, 5), 5u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_STREQ(small, "libc");
  char full[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameA(module, full, MAX_PATH), 9u);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(module));
}

TEST(KsProxy, PropertyRequestsReachTheEndpointAndFailuresLeaveTheBufferAlone) {
  Endpoint endpoint;
  IUnknown* proxy = com::CreateFilterProxy(&endpoint);
  IKsObject* ks = nullptr;
  ASSERT_EQ(proxy->QueryInterface(IID_IKsObject, reinterpret_cast<void**>(&ks)), S_OK);
  HANDLE h = ks->KsGetObjectHandle();
  ASSERT_NE(h, nullptr);
  KSPROPERTY p{kSet, 7, KSPROPERTY_TYPE_SET};
  ULONG value = 5, returned = 0;
  ASSERT_EQ(KsSynchronousDeviceControl(h, IOCTL_KS_PROPERTY, &p, sizeof p, &value, 4, &returned), S_OK);
  EXPECT_EQ(endpoint.in, 5u);
  EXPECT_EQ(endpoint.seen.Id, 7u);
  EXPECT_EQ(endpoint.seenLength, 4u);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(value, 0xABABABABu);

  struct Case {
    NTSTATUS status;
    HRESULT hr;
  } const cases[] = {
      {STATUS_NOT_FOUND, static_cast<HRESULT>(0x80070490)},
      {STATUS_BUFFER_TOO_SMALL, static_cast<HRESULT>(0x8007007A)},
      {STATUS_UNSUCCESSFUL, static_cast<HRESULT>(0x8007001F)},
      {STATUS_INVALID_PARAMETER, static_cast<HRESULT>(0x80070057)},
  };
  for (const Case& c : cases) {
    endpoint.status = c.status;
    value = 0xDEADBEEF;
    EXPECT_EQ(KsSynchronousDeviceControl(h, IOCTL_KS_PROPERTY, &p, sizeof p, &value, 4, &returned), c.hr);
    EXPECT_EQ(value, 0xDEADBEEFu);
    EXPECT_EQ(returned, 0u);
  }
  EXPECT_EQ(KsSynchronousDeviceControl(h, 0x2F0007, &p, sizeof p, &value, 4, &returned),
            HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(KsSynchronousDeviceControl(h, IOCTL_KS_PROPERTY, &p, 8, &value, 4, &returned), E_INVALIDARG);
  ks->Release();
  EXPECT_EQ(proxy->Release(), 0u);
  EXPECT_EQ(KsSynchronousDeviceControl(h, IOCTL_KS_PROPERTY, &p, sizeof p, &value, 4, &returned), E_HANDLE);
  EXPECT_EQ(com::OpenFilterHandles(), 0u);
}

}  // namespace
