// The plug-in on the simulated machine: the module loaded and registered as an installer
// would, a stand-in driver behind each filter that answers the custom property set as
// the driver does and logs every request, and property frames that open the page.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "TESSLIN/custom_property.h"
#include "platform/com/com_host.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/win32/win32_host.h"

namespace tesslin_test {

namespace win32 = platform::win32;
namespace com = platform::com;

// The custom set as the driver answers it, one filter's channel.
class FakeCustomDriver : public com::PropertyEndpoint {
 public:
  static constexpr ULONG kFlag = 0x08000000;

  FakeCustomDriver() {
    for (ULONG id :
         {0u,   2u,   6u,   9u,   201u, 204u, 208u, 209u, 210u, 214u, 215u, 218u, 219u, 220u, 221u, 222u, 223u, 224u,
          225u, 230u, 231u, 232u, 233u, 234u, 238u, 240u, 241u, 242u, 244u, 245u, 248u, 251u, 253u, 255u, 270u, 271u,
          272u, 273u, 274u, 275u, 276u, 277u, 278u, 279u, 351u, 361u, 370u, 371u, 401u, 402u, 403u, 404u, 405u, 406u,
          407u, 409u, 410u, 411u, 412u, 413u, 414u, 415u, 422u, 430u, 950u, 951u, 952u, 953u, 954u, 955u, 956u})
      listed_.insert(id);
  }

  std::vector<GUID> PropertySets() override { return {KSPROPSETID_CustomDevice}; }

  NTSTATUS Property(const KSPROPERTY& p, void* data, ULONG length, ULONG* returned) override {
    bool set = p.Flags == KSPROPERTY_TYPE_SET;
    ULONG in = 0;
    if (set && data && length >= 4) std::memcpy(&in, data, 4);
    NTSTATUS st = Answer(p, set, data, length);
    std::string line = (set ? "SET " : "GET ") + std::to_string(p.Id);
    if (set) line += "=" + std::to_string(in);
    log_.push_back(line);
    lastProperty_ = p;
    lastLength_ = length;
    if (NT_SUCCESS(st)) *returned = 4;
    return st;
  }

  // Values as the driver holds them (flags included).
  void Store(ULONG id, ULONG value) { values_[id] = value; }
  ULONG Stored(ULONG id) const {
    auto it = values_.find(id);
    return it == values_.end() ? 0 : it->second;
  }
  void Values(std::initializer_list<std::pair<const ULONG, ULONG>> v) {
    for (auto& [id, value] : v) values_[id] = value;
  }
  void Fail(ULONG id, bool set, NTSTATUS status) { faults_[{id, set}] = status; }
  void Unplug() { unplugged_ = true; }

  std::vector<std::string> Log() const { return log_; }
  std::vector<std::string> TakeLog() {
    auto l = log_;
    log_.clear();
    return l;
  }
  void ClearLog() { log_.clear(); }
  KSPROPERTY lastProperty() const { return lastProperty_; }
  ULONG lastLength() const { return lastLength_; }

 private:
  NTSTATUS Answer(const KSPROPERTY& p, bool set, void* data, ULONG length) {
    if (!(p.Set == KSPROPSETID_CustomDevice) || !listed_.count(p.Id)) return STATUS_NOT_FOUND;
    if (unplugged_) return STATUS_DEVICE_NOT_CONNECTED;
    auto f = faults_.find({p.Id, set});
    if (f != faults_.end()) return f->second;
    if (length < 4 || !data) return STATUS_BUFFER_TOO_SMALL;
    ULONG id = p.Id;
    static const std::set<ULONG> getOnly = {0, 2, 6, 9, 223, 230, 241, 271, 274, 351, 361, 370, 371, 430};
    static const std::set<ULONG> setOnly = {406, 950, 951, 953, 954, 955};
    static const std::set<ULONG> flagged = {204, 401, 402, 403, 404, 405, 407, 409, 410, 411, 412, 413, 414, 415, 422};
    static const std::set<ULONG> masked = {244, 245, 275, 351, 361, 430, 401, 402, 403, 404,
                                           405, 407, 409, 410, 411, 412, 413, 414, 415, 422};
    if (set && getOnly.count(id)) return STATUS_INVALID_DEVICE_REQUEST;
    if (!set && setOnly.count(id)) return STATUS_INVALID_DEVICE_REQUEST;
    ULONG v;
    if (set) {
      std::memcpy(&v, data, 4);
      if (id == 221 || id == 222) return STATUS_SUCCESS;
      if (id == 233 || id == 242) {
        ULONG w = (v >> 16) & ~7u, h = (v & 0xFFFF) & ~1u;
        if (w < 8 || h < 2) return STATUS_SUCCESS;
        v = (w << 16) | h;
      }
      if (id == 270 && v > 1) v = 1;
      if (flagged.count(id)) v |= kFlag;
      values_[id] = v;
      return STATUS_SUCCESS;
    }
    if (id == 221 || id == 222) return STATUS_SUCCESS;  // nothing written
    v = (id == 952 || id == 956) ? 0 : Stored(id);
    if (masked.count(id)) v &= 0x77FFFFFF;
    if (id == 204 || id == 219 || id == 201 || id == 255) v &= ~kFlag;
    if (id == 270 && v > 1) v = 1;
    std::memcpy(data, &v, 4);
    return STATUS_SUCCESS;
  }

  std::set<ULONG> listed_;
  std::map<ULONG, ULONG> values_;
  std::map<std::pair<ULONG, bool>, NTSTATUS> faults_;
  bool unplugged_ = false;
  std::vector<std::string> log_;
  KSPROPERTY lastProperty_{};
  ULONG lastLength_ = 0;
};

inline std::string Get(ULONG id) { return "GET " + std::to_string(id); }
inline std::string Set(ULONG id, ULONG v) { return "SET " + std::to_string(id) + "=" + std::to_string(v); }
using Requests = std::vector<std::string>;

// One filter opened by an application: its stand-in driver and its proxy object (made at
// first use, when the application opens the filter).
struct Filter {
  FakeCustomDriver driver;
  IUnknown* proxy = nullptr;
  com::FilterProxyOptions options;
  explicit Filter(const com::FilterProxyOptions& o = {}) : options(o) {}
  ~Filter() {
    if (proxy) proxy->Release();
  }
  IUnknown* Proxy() {
    if (!proxy) proxy = com::CreateFilterProxy(&driver, options);
    return proxy;
  }
  ICustomProperty* Property() {
    ICustomProperty* p = nullptr;
    Proxy()->QueryInterface(IID_ICustomProperty, reinterpret_cast<void**>(&p));
    return p;
  }
};

typedef HRESULT (*EntryPoint)();

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::kernel::ResetMachine();
    platform::kernel::RegistryReset();
    win32::ResetUser();
    com::ResetCom();
    module_ = LoadLibraryA(TESSLIN_MODULE_PATH);
    ASSERT_NE(module_, nullptr);
    ASSERT_EQ(Entry("DllRegisterServer")(), S_OK);
    com::InstallInterfaceHandler(KSPROPSETID_CustomDevice, CLSID_CustomPropertyInterfaceHandler);
  }
  void TearDown() override {
    win32::ResetUser();
    if (module_) FreeLibrary(module_);
    EXPECT_EQ(win32::DebugOutput(), "") << "the plug-in writes no debug output";
  }

  EntryPoint Entry(const char* name) {
    return reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
  }
  HRESULT CanUnloadNow() { return Entry("DllCanUnloadNow")(); }

  // Opens the page on a filter and lets the panel-creation timer fire.
  void OpenPage(com::PropertyFrame& frame, Filter& filter, bool createPanels = true) {
    ASSERT_EQ(frame.Open(filter.Proxy(), CLSID_CustomPropertyPage), S_OK);
    if (createPanels) win32::RunFor(100);
  }
  HWND Panel(WORD templateId, int nth = 0) { return win32::FindDialog(templateId, nth); }
  std::string Text(HWND dialog, int id) { return win32::TextOf(GetDlgItem(dialog, id)); }
  bool Checked(HWND dialog, int id) { return win32::Checked(GetDlgItem(dialog, id)); }
  bool Visible(HWND dialog, int id) { return IsWindowVisible(GetDlgItem(dialog, id)); }
  bool Enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)); }

  HMODULE module_ = nullptr;
};

}  // namespace tesslin_test
