// The in-process server: what registration writes and removes, the class objects and their
// failures, the exported names, and the request the interface handler sends.
#include <cstdio>
#include <unistd.h>

#include <filesystem>

#include "tests/TESSLIN/plugin_fixture.h"

namespace tesslin_test {
namespace {

class ServerTest : public PluginTest {
 protected:
  typedef HRESULT (*GetClassObject)(REFCLSID, REFIID, void**);
  GetClassObject ClassObject() {
    return reinterpret_cast<GetClassObject>(reinterpret_cast<void (*)()>(GetProcAddress(module_, "DllGetClassObject")));
  }
  std::vector<std::string> ClassKeys() {
    std::vector<std::string> out;
    for (const std::string& line : win32::ClassesRootDump())
      if (line.rfind("CLSID\\", 0) == 0) out.push_back(line);
    return out;
  }
};

const std::vector<std::string> kRegistered = {
    "CLSID\\{15E3F6CE-F3DD-454A-8DEA-E4A380FCCB1E} | @ = CCustomPropertyPage",
    "CLSID\\{15E3F6CE-F3DD-454A-8DEA-E4A380FCCB1E}\\InprocServer32 | @ = " TESSLIN_MODULE_PATH,
    "CLSID\\{15E3F6CE-F3DD-454A-8DEA-E4A380FCCB1E}\\InprocServer32 | ThreadingModel = Both",
    "CLSID\\{D1E5209F-68FD-4529-BEE0-5E7A1F47921E} | @ = ICustomProperty",
    "CLSID\\{D1E5209F-68FD-4529-BEE0-5E7A1F47921E}\\InprocServer32 | @ = " TESSLIN_MODULE_PATH,
    "CLSID\\{D1E5209F-68FD-4529-BEE0-5E7A1F47921E}\\InprocServer32 | ThreadingModel = Both",
};

TEST_F(ServerTest, RegistrationWritesTheTwoClassKeysAndUnregistrationRemovesOnlyThem) {
  EXPECT_EQ(ClassKeys(), kRegistered);
  ASSERT_EQ(Entry("DllRegisterServer")(), S_OK);
  EXPECT_EQ(ClassKeys(), kRegistered);
  EXPECT_EQ(com::CoInitializeDepth(), 0);

  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{D1E5209F-68FD-4529-BEE0-5E7A1F47921F}", 0, nullptr, 0,
                            KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, ".vorlix", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(Entry("DllUnregisterServer")(), S_OK);
  EXPECT_EQ(win32::ClassesRootDump(),
            (std::vector<std::string>{".vorlix", "CLSID\\{D1E5209F-68FD-4529-BEE0-5E7A1F47921F}"}));
  // Created through the registry, the page needs the registration.
  IUnknown* page = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_CustomPropertyPage, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&page)),
            REGDB_E_CLASSNOTREG);
}

TEST_F(ServerTest, RegistrationFailuresAreReportedAndKeepOnlyWholeClasses) {
  ASSERT_EQ(Entry("DllUnregisterServer")(), S_OK);
  win32::FailRegistryWritesUnder("CLSID\\{15E3F6CE", ERROR_ACCESS_DENIED);
  EXPECT_EQ(Entry("DllRegisterServer")(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ClassKeys(), std::vector<std::string>(kRegistered.begin() + 3, kRegistered.end()));
  win32::ClearRegistryFaults();

  // A failure inside a class's keys takes that class back whole; the one before stays.
  for (const char* where : {"CLSID\\{15E3F6CE-F3DD-454A-8DEA-E4A380FCCB1E}\\InprocServer32",
                            "CLSID\\{D1E5209F-68FD-4529-BEE0-5E7A1F47921E}\\InprocServer32"}) {
    ASSERT_EQ(Entry("DllUnregisterServer")(), S_OK);
    win32::FailRegistryWritesUnder(where, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Entry("DllRegisterServer")(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << where;
    bool secondRow = std::string(where).find("15E3F6CE") != std::string::npos;
    EXPECT_EQ(ClassKeys(), secondRow ? std::vector<std::string>(kRegistered.begin() + 3, kRegistered.end())
                                     : std::vector<std::string>{})
        << where;
    win32::ClearRegistryFaults();
  }
  // Registered again over a whole registration, a failure leaves the earlier one alone.
  ASSERT_EQ(Entry("DllRegisterServer")(), S_OK);
  win32::FailRegistryWritesUnder("CLSID\\{15E3F6CE-F3DD-454A-8DEA-E4A380FCCB1E}\\InprocServer32", ERROR_ACCESS_DENIED);
  EXPECT_EQ(Entry("DllRegisterServer")(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ClassKeys(), kRegistered);
  win32::ClearRegistryFaults();

  // Without either filter mapper: the mapper's failure, after the keys are written.
  com::FailSystemClass(CLSID_FilterMapper2, REGDB_E_CLASSNOTREG);
  EXPECT_EQ(Entry("DllRegisterServer")(), S_OK) << "the first mapper stands in for the second";
  com::FailSystemClass(CLSID_FilterMapper, E_OUTOFMEMORY);
  EXPECT_EQ(Entry("DllRegisterServer")(), E_OUTOFMEMORY);
  EXPECT_EQ(ClassKeys(), kRegistered);
  // Unregistration asks for the mapper first and deletes nothing without it.
  EXPECT_EQ(Entry("DllUnregisterServer")(), E_OUTOFMEMORY);
  EXPECT_EQ(ClassKeys(), kRegistered);
  EXPECT_EQ(com::CoInitializeDepth(), 0);
}

TEST_F(ServerTest, AModulePathTooLongToRegisterWritesNothing) {
  ASSERT_EQ(Entry("DllUnregisterServer")(), S_OK);
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("tesslin-" + std::to_string(getpid())) / std::string(150, 'd') /
                 std::string(100, 'e');
  fs::create_directories(dir);
  fs::path copy = dir / "TESSLIN.so";
  fs::copy_file(TESSLIN_MODULE_PATH, copy, fs::copy_options::overwrite_existing);
  ASSERT_GT(copy.string().size(), static_cast<size_t>(MAX_PATH));
  HMODULE far = LoadLibraryA(copy.c_str());
  ASSERT_NE(far, nullptr);
  auto reg = reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(GetProcAddress(far, "DllRegisterServer")));
  EXPECT_EQ(reg(), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(ClassKeys().empty());
  FreeLibrary(far);
  fs::remove_all(fs::temp_directory_path() / ("tesslin-" + std::to_string(getpid())));
}

TEST_F(ServerTest, TheModuleExportsExactlyItsFiveEntryPoints) {
  std::string command = std::string("nm -D --defined-only '") + TESSLIN_MODULE_PATH + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, pipe)) {
    char type;
    char name[400];
    if (sscanf(line, "%*s %c %399s", &type, name) == 2 && (type == 'T' || type == 'D' || type == 'B' || type == 'W'))
      names.push_back(name);
  }
  ASSERT_EQ(pclose(pipe), 0);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllMain", "DllRegisterServer",
                                             "DllUnregisterServer"}));
}

TEST_F(ServerTest, ClassObjectsAndTheirRefusals) {
  auto get = ClassObject();
  void* object = nullptr;
  EXPECT_EQ(get(CLSID_CustomPropertyPage, IID_IPropertyPage, &object), E_NOINTERFACE);
  EXPECT_EQ(get(IID_IKsObject, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(get(CLSID_CustomPropertyPage, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  Filter filter;
  EXPECT_EQ(factory->CreateInstance(filter.Proxy(), IID_IPropertyPage, &object), E_NOINTERFACE);
  IPropertyPage* page = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
  EXPECT_EQ(page->IsPageDirty(), S_FALSE);
  IUnknown* none = nullptr;
  EXPECT_EQ(page->SetObjects(2, &none), E_UNEXPECTED);
  EXPECT_EQ(page->SetObjects(1, &none), E_POINTER);
  RECT r{0, 0, 10, 10};
  EXPECT_EQ(page->Activate(nullptr, &r, FALSE), E_UNEXPECTED) << "no object yet";
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  page->Release();
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  EXPECT_EQ(CanUnloadNow(), S_FALSE) << "the lock";
  ASSERT_EQ(get(CLSID_CustomPropertyPage, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  factory->LockServer(FALSE);
  factory->Release();

  // The handler exists only inside a filter's proxy.
  ASSERT_EQ(get(CLSID_CustomPropertyInterfaceHandler, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object),
            static_cast<HRESULT>(0x80040202));  // VFW_E_NEED_OWNER
  factory->Release();
  EXPECT_EQ(object, nullptr);
}

TEST_F(ServerTest, TheHandlerNeedsItsOwnersKernelHandle) {
  struct Case {
    const char* name;
    com::FilterProxyOptions options;
    bool aggregated;
  } const cases[] = {
      {"no IKsObject", {false, false}, false},
      {"null handle", {true, true}, false},
      {"handle", {false, true}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Filter filter(c.options);
    ICustomProperty* p = filter.Property();
    EXPECT_EQ(p != nullptr, c.aggregated);
    if (p) p->Release();
  }
  // A failed creation leaves no object behind.
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, EachCallIsOneSynchronousPropertyRequestOnTheFiltersHandle) {
  Filter filter;
  ICustomProperty* p = filter.Property();
  ASSERT_NE(p, nullptr);
  filter.driver.Store(251, 77);
  ULONG value = 0;
  ASSERT_EQ(p->GetSetProperty(251, &value, FALSE), S_OK);
  EXPECT_EQ(value, 77u);
  KSPROPERTY seen = filter.driver.lastProperty();
  EXPECT_TRUE(seen.Set == KSPROPSETID_CustomDevice);
  EXPECT_EQ(seen.Id, 251u);
  EXPECT_EQ(seen.Flags, static_cast<ULONG>(KSPROPERTY_TYPE_GET));
  EXPECT_EQ(filter.driver.lastLength(), 4u);
  value = 90;
  ASSERT_EQ(p->GetSetPropertyEx(251, &value, 4, TRUE), S_OK);
  EXPECT_EQ(filter.driver.lastProperty().Flags, static_cast<ULONG>(KSPROPERTY_TYPE_SET));
  EXPECT_EQ(filter.driver.lastLength(), 4u);
  EXPECT_EQ(filter.driver.Stored(251), 90u);
  EXPECT_EQ(filter.driver.TakeLog(), (Requests{Get(251), Set(251, 90)}));

  // Failures come back as the driver gave them, and a failed read leaves the value.
  struct Failure {
    ULONG id;
    BOOL set;
    NTSTATUS status;
  } const failures[] = {
      {7, FALSE, STATUS_NOT_FOUND},
      {0, TRUE, STATUS_INVALID_DEVICE_REQUEST},
      {251, FALSE, STATUS_UNSUCCESSFUL},
      {251, FALSE, STATUS_INVALID_PARAMETER},
  };
  for (const Failure& f : failures) {
    if (f.id == 251) filter.driver.Fail(f.id, f.set, f.status);
    value = 0xDEADBEEF;
    EXPECT_EQ(p->GetSetProperty(f.id, &value, f.set), com::HresultFromStatus(f.status)) << f.id;
    if (!f.set) {
      EXPECT_EQ(value, 0xDEADBEEFu);
    }
  }
  // A null value is refused before any request.
  filter.driver.ClearLog();
  EXPECT_EQ(p->GetSetProperty(251, nullptr, FALSE), E_POINTER);
  EXPECT_EQ(p->GetSetPropertyEx(251, nullptr, 4, TRUE), E_POINTER);
  EXPECT_TRUE(filter.driver.Log().empty());

  // The handler's IUnknown is its owner's.
  IKsObject* ks = nullptr;
  ASSERT_EQ(p->QueryInterface(IID_IKsObject, reinterpret_cast<void**>(&ks)), S_OK);
  EXPECT_NE(ks->KsGetObjectHandle(), nullptr);
  ULONG before = filter.Proxy()->AddRef();
  EXPECT_EQ(p->AddRef(), before + 1);
  EXPECT_EQ(filter.Proxy()->Release(), before);
  p->Release();
  ks->Release();
  p->Release();
}

}  // namespace
}  // namespace tesslin_test
