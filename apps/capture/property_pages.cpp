#include "apps/capture/property_pages.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <system_error>
#include <vector>

#include "TESSLIN/custom_property.h"
#include "platform/com/ks_filter.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/win32/win32_host.h"

namespace vorlix::capture {

namespace pk = platform::kernel;
namespace ks = platform::ks;
namespace com = platform::com;
namespace win32 = platform::win32;
namespace fs = std::filesystem;

namespace {

// The page's tabs, the encoder panel and what the bit rate takes there.
constexpr int kTabDevice = 19114, kTabReceiver = 19119, kTabDriver = 19123, kTabEncoder = 19130;
constexpr WORD kEncoderPanel = 19013;
constexpr int kConstantRate = 19077, kBitRateEdit = 19083, kBitRateButton = 19139;
constexpr ULONG kReadMask = 0x77FFFFFF;

typedef HRESULT (*EntryPoint)();

std::string Hex(long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value) & 0xFFFFFFFFul);
  return text;
}

// The plug-in as a setup program installs it: the module registers its classes, and the
// proxy's entry binds its handler to the custom set. Removal takes back every key the
// installation made, so the saved registry holds the device's settings only.
class Installation {
 public:
  bool Install(std::string* error) {
    before_ = pk::RegistryKeys();
    module_ = LoadLibraryA(TESSLIN_MODULE_PATH);
    if (!module_) {
      *error = "cannot load " + std::string(TESSLIN_MODULE_PATH);
      return false;
    }
    HRESULT hr = Entry("DllRegisterServer")();
    if (FAILED(hr)) {
      *error = "DllRegisterServer " + Hex(hr);
      return false;
    }
    com::InstallInterfaceHandler(KSPROPSETID_CustomDevice, CLSID_CustomPropertyInterfaceHandler);
    return true;
  }
  // False when the module would not let go or a key would not go.
  bool Remove(std::string* error) {
    bool ok = true;
    com::RemoveInterfaceHandler(KSPROPSETID_CustomDevice);
    if (module_) {
      HRESULT hr = Entry("DllUnregisterServer")();
      if (FAILED(hr)) {
        *error = "DllUnregisterServer " + Hex(hr);
        ok = false;
      }
      if (Entry("DllCanUnloadNow")() != S_OK) {
        *error = "the plug-in still holds objects";
        ok = false;
      }
      FreeLibrary(module_);
      module_ = nullptr;
    }
    std::set<std::u16string> kept(before_.begin(), before_.end());
    std::vector<std::u16string> made;
    for (const std::u16string& key : pk::RegistryKeys())
      if (!kept.count(key)) made.push_back(key);
    // Deepest first: a key's parent goes after it.
    std::sort(made.begin(), made.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    for (const std::u16string& key : made) pk::RegistryDeleteKey(key);
    return ok;
  }

 private:
  EntryPoint Entry(const char* name) {
    return reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
  }
  HMODULE module_ = nullptr;
  std::vector<std::u16string> before_;
};

// Lets machine time pass for the page's window timers. On the test clock this thread
// waits as the machine's other threads do, in short steps, so the clock moves on only
// once the device has caught up (the monitor reads the input on its own time).
void LetTimePass(int64_t ms) {
  if (pk::GetClockKind() == pk::ClockKind::Real) {
    win32::RunFor(ms);
    return;
  }
  for (int64_t done = 0; done < ms; done += 10) {
    LONGLONG before = pk::InterruptTimeNow();
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    // Delays that take no time (a scale of 0) leave the clock to the page.
    win32::RunFor(pk::InterruptTimeNow() == before ? 10 : 0);
  }
}

bool ServesCustomSet(const ks::FilterListing& listing) {
  const KSAUTOMATION_TABLE* table = listing.Descriptor ? listing.Descriptor->AutomationTable : nullptr;
  if (!table) return false;
  for (ULONG i = 0; i < table->PropertySetsCount; ++i)
    if (table->PropertySets[i].Set && *table->PropertySets[i].Set == KSPROPSETID_CustomDevice) return true;
  return false;
}

// The page open on one filter: pictures and the bit rate.
void UsePage(com::PropertyFrame& frame, ks::KsClient& client, HANDLE filter, const fs::path& out,
             const SummaryLine& line) {
  // The panels come after 100 ms, the status display after a second.
  LetTimePass(1100);
  HWND page = frame.page();
  std::string status = win32::TextOf(GetDlgItem(page, 19006));
  line("page status", status.substr(std::min<size_t>(status.size(), 23)), true);

  const struct {
    int tab;
    const char* file;
  } tabs[] = {{kTabDevice, "page-device.png"},
              {kTabReceiver, "page-receiver.png"},
              {kTabDriver, "page-driver.png"},
              {kTabEncoder, "page-encoder.png"}};
  std::string pictures;
  bool drawn = true;
  for (const auto& t : tabs) {
    if (!win32::Click(page, t.tab)) {
      line("page tab", std::string("CANNOT OPEN the tab for ") + t.file, false);
      return;
    }
    if (t.tab == kTabEncoder) {
      // A person sets the bit rate: the constant-rate mode first if the box takes no
      // value yet, then the number, then its button.
      HWND encoder = win32::FindDialog(kEncoderPanel);
      std::string before = win32::TextOf(GetDlgItem(encoder, kBitRateEdit));
      ULONG wanted = before == "8000000" ? 6000000 : 8000000;
      std::string typed = std::to_string(wanted);
      bool modeChanged = false;
      if (!IsWindowEnabled(GetDlgItem(encoder, kBitRateEdit))) {
        modeChanged = win32::Click(encoder, kConstantRate);
      }
      if (!win32::Type(encoder, kBitRateEdit, typed) || !win32::Click(encoder, kBitRateButton)) {
        line("page setting", "CANNOT TYPE the encoder's bit rate", false);
        return;
      }
      ULONG held = 0;
      NTSTATUS st =
          client.GetProperty({filter}, KSPROPSETID_CustomDevice, CustomEncoderVideoBitRateProperty, &held, sizeof held);
      held &= kReadMask;
      std::string what = "encoder bit rate " + before + " -> " + typed + (modeChanged ? " (constant rate)" : "") +
                         " on the encoder panel; the driver holds ";
      if (!NT_SUCCESS(st))
        line("page setting", what + "NOTHING: read back failed " + Hex(st), false);
      else if (held != wanted)
        line("page setting", what + std::to_string(held) + ", NOT THE VALUE SET", false);
      else
        line("page setting", what + std::to_string(held), true);
    }
    fs::path file = out / t.file;
    if (!win32::RenderPng(frame.frame(), file.string())) drawn = false;
    pictures += (pictures.empty() ? "" : ", ") + std::string(t.file);
  }
  if (drawn)
    line("page pictures", pictures + " in " + out.string(), true);
  else
    line("page pictures", "CANNOT WRITE under " + out.string(), false);
}

}  // namespace

void ShowPropertyPage(const fs::path& out, double seconds, const SummaryLine& line) {
  if (seconds <= 0) {
    line("property page", "not opened: a run of no time", true);
    return;
  }
  win32::ResetUser();
  Installation installation;
  std::string error;
  if (!installation.Install(&error)) {
    line("property page", "CANNOT INSTALL the plug-in: " + error, false);
    installation.Remove(&error);
    return;
  }
  {
    ks::KsClient client;
    const ks::FilterListing* capture = nullptr;
    std::vector<ks::FilterListing> listed = client.ListFilters(KSCATEGORY_VIDEO);
    for (const ks::FilterListing& l : listed)
      if (!capture && ServesCustomSet(l)) capture = &l;
    com::KsFilterProxy filter;
    NTSTATUS status = capture ? filter.Open(&client, *capture) : STATUS_NOT_FOUND;
    if (!NT_SUCCESS(status)) {
      line("property page", "CANNOT OPEN the video capture filter " + Hex(status), false);
    } else {
      com::PropertyFrame frame;
      HRESULT hr = frame.Open(filter.object(), CLSID_CustomPropertyPage);
      if (FAILED(hr)) {
        line("property page", "CANNOT OPEN the page " + Hex(hr), false);
      } else {
        UsePage(frame, client, filter.filter(), out, line);
      }
      frame.Close();
      size_t requests = filter.endpoint()->requests();
      bool windowsLeft = !win32::LiveWindows().empty();
      ULONG held = filter.Close();
      if (held || !win32::Timers().empty())
        line("property page",
             "CLOSED WITH " + std::to_string(held) + " references and " + std::to_string(win32::Timers().size()) +
                 " timers left",
             false);
      else if (!win32::DebugOutput().empty())
        line("property page", "WROTE DEBUG OUTPUT: " + win32::DebugOutput(), false);
      else
        line("property page",
             std::to_string(requests) + " requests to the driver, closed" + (windowsLeft ? " (windows left)" : ""),
             !windowsLeft);
    }
  }
  if (!installation.Remove(&error)) line("plug-in removal", "FAILED: " + error, false);
  win32::ResetUser();
}

}  // namespace vorlix::capture
