// The process side of the user-mode layer: last error, modules loaded from shared
// libraries, the process heap, the slim lock, the version, Beep, debug output, string
// helpers and the registry under HKEY_CLASSES_ROOT (kept in the machine's registry).
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/kernel/registry_host.h"
#include "platform/win32/internal.h"

namespace platform::win32 {
void ResetUserWindows();
}

namespace {

thread_local DWORD t_lastError = 0;

struct Module {
  std::string path;
  void* handle = nullptr;
  int loads = 0;
};

struct Process {
  std::mutex lock;
  std::map<HMODULE, Module> modules;
  uintptr_t nextModule = 0x7f0000;
  std::vector<platform::win32::BeepRecord> beeps;
  std::string debugOutput;
  DWORD major = 10, minor = 0, build = 19045;
  std::atomic<int64_t> heapLive{0};
  std::atomic<uint64_t> heapFailAt{0};
  std::atomic<uint64_t> heapCalls{0};
  std::string failPrefix;
  LSTATUS failError = ERROR_SUCCESS;
};
Process& P() {
  static Process p;
  return p;
}

typedef BOOL (*DllMainProc)(HINSTANCE, DWORD, LPVOID);

}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

// ---- Modules ----------------------------------------------------------------------------------

HMODULE LoadLibraryA(LPCSTR path) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HMODULE found = nullptr;
  {
    std::lock_guard<std::mutex> g(P().lock);
    for (auto& [h, m] : P().modules)
      if (m.path == path) {
        ++m.loads;
        found = h;
      }
  }
  if (found) return found;
  void* dl = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  HMODULE h;
  {
    std::lock_guard<std::mutex> g(P().lock);
    h = reinterpret_cast<HMODULE>(P().nextModule);
    P().nextModule += 0x10000;
    P().modules[h] = Module{path, dl, 1};
  }
  if (auto entry = reinterpret_cast<DllMainProc>(dlsym(dl, "DllMain"))) {
    if (!entry(h, DLL_PROCESS_ATTACH, nullptr)) {
      entry(h, DLL_PROCESS_DETACH, nullptr);
      std::lock_guard<std::mutex> g(P().lock);
      P().modules.erase(h);
      dlclose(dl);
      SetLastError(ERROR_GEN_FAILURE);
      return nullptr;
    }
  }
  return h;
}

BOOL FreeLibrary(HMODULE module) {
  void* dl = nullptr;
  {
    std::lock_guard<std::mutex> g(P().lock);
    auto it = P().modules.find(module);
    if (it == P().modules.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (--it->second.loads > 0) return TRUE;
    dl = it->second.handle;
  }
  if (auto entry = reinterpret_cast<DllMainProc>(dlsym(dl, "DllMain"))) entry(module, DLL_PROCESS_DETACH, nullptr);
  {
    std::lock_guard<std::mutex> g(P().lock);
    P().modules.erase(module);
  }
  dlclose(dl);
  return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  void* dl = nullptr;
  {
    std::lock_guard<std::mutex> g(P().lock);
    auto it = P().modules.find(module);
    if (it != P().modules.end()) dl = it->second.handle;
  }
  void* f = dl && name ? dlsym(dl, name) : nullptr;
  if (!f) SetLastError(ERROR_PROC_NOT_FOUND);
  return reinterpret_cast<FARPROC>(f);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  std::string path;
  {
    std::lock_guard<std::mutex> g(P().lock);
    auto it = P().modules.find(module);
    if (it == P().modules.end()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = it->second.path;
  }
  if (!buffer || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= size) {
    std::memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

// ---- Heap --------------------------------------------------------------------------------------

namespace {
// Each block carries its size in front so HeapReAlloc can keep the contents.
constexpr size_t kHeader = 16;
int g_heapTag;
}  // namespace

HANDLE GetProcessHeap() { return &g_heapTag; }

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  uint64_t call = ++P().heapCalls;
  if (heap != &g_heapTag || (P().heapFailAt && call == P().heapFailAt)) return nullptr;
  auto* p = static_cast<unsigned char*>((flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes + kHeader)
                                                                   : std::malloc(bytes + kHeader));
  if (!p) return nullptr;
  std::memcpy(p, &bytes, sizeof bytes);
  ++P().heapLive;
  return p + kHeader;
}

LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  if (!block) return nullptr;
  LPVOID fresh = HeapAlloc(heap, flags, bytes);
  if (!fresh) return nullptr;
  SIZE_T old;
  std::memcpy(&old, static_cast<unsigned char*>(block) - kHeader, sizeof old);
  std::memcpy(fresh, block, std::min(old, bytes));
  HeapFree(heap, 0, block);
  return fresh;
}

BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  if (!block) return TRUE;
  if (heap != &g_heapTag) return FALSE;
  std::free(static_cast<unsigned char*>(block) - kHeader);
  --P().heapLive;
  return TRUE;
}

// ---- Slim lock -----------------------------------------------------------------------------------

// The lock word itself: null when free. Holders keep it for a few instructions only.
void AcquireSRWLockExclusive(PSRWLOCK lock) {
  std::atomic_ref<PVOID> word(lock->Ptr);
  for (;;) {
    PVOID expected = nullptr;
    if (word.compare_exchange_weak(expected, lock, std::memory_order_acquire)) return;
    std::this_thread::yield();
  }
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
  std::atomic_ref<PVOID> word(lock->Ptr);
  word.store(nullptr, std::memory_order_release);
}

// ---- Miscellany ------------------------------------------------------------------------------------

void OutputDebugStringA(LPCSTR text) {
  if (!text) return;
  std::lock_guard<std::mutex> g(P().lock);
  P().debugOutput += text;
}

BOOL Beep(DWORD frequency, DWORD duration) {
  std::lock_guard<std::mutex> g(P().lock);
  P().beeps.push_back({frequency, duration});
  return TRUE;
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  info->dwMajorVersion = P().major;
  info->dwMinorVersion = P().minor;
  info->dwBuildNumber = P().build;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  info->szCSDVersion[0] = 0;
  return TRUE;
}

BOOL StrToIntExA(LPCSTR text, DWORD flags, int* result) {
  if (!text || !result) return FALSE;
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  uint32_t value = 0;
  bool digits = false;
  if ((flags & STIF_SUPPORT_HEX) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    p += 2;
    for (;; ++p) {
      int d;
      if (*p >= '0' && *p <= '9')
        d = *p - '0';
      else if (*p >= 'a' && *p <= 'f')
        d = *p - 'a' + 10;
      else if (*p >= 'A' && *p <= 'F')
        d = *p - 'A' + 10;
      else
        break;
      value = value * 16 + static_cast<uint32_t>(d);
      digits = true;
    }
  } else {
    for (; *p >= '0' && *p <= '9'; ++p) {
      value = value * 10 + static_cast<uint32_t>(*p - '0');
      digits = true;
    }
  }
  if (!digits) {
    *result = 0;
    return FALSE;
  }
  if (negative) value = 0u - value;
  *result = static_cast<int>(value);
  return TRUE;
}

HRESULT StringCchPrintfA(LPSTR buffer, size_t count, LPCSTR format, ...) {
  if (!buffer || count == 0) return E_INVALIDARG;
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(buffer, count, format, ap);
  va_end(ap);
  if (n < 0) {
    buffer[0] = 0;
    return E_INVALIDARG;
  }
  return static_cast<size_t>(n) >= count ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

// ---- Registry under HKEY_CLASSES_ROOT -----------------------------------------------------------------

namespace {

std::u16string Wide(std::string_view s) { return std::u16string(s.begin(), s.end()); }

struct KeyRecord {
  std::string path;  // relative to HKEY_CLASSES_ROOT, '\'-separated, no leading separator
};

// Open keys are records; HKEY_CLASSES_ROOT itself is the empty path.
bool PathOf(HKEY key, std::string* path) {
  if (key == HKEY_CLASSES_ROOT) {
    path->clear();
    return true;
  }
  if (!key) return false;
  *path = reinterpret_cast<KeyRecord*>(key)->path;
  return true;
}

std::string Join(const std::string& base, LPCSTR sub) {
  std::string s = sub ? sub : "";
  while (!s.empty() && s.front() == '\\') s.erase(0, 1);
  if (base.empty()) return s;
  return s.empty() ? base : base + "\\" + s;
}

std::u16string FullName(const std::string& path) {
  std::u16string k = platform::win32::kClassesRootKey;
  if (!path.empty()) k += u"\\" + Wide(path);
  return k;
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  if (prefix.size() > s.size()) return false;
  return strncasecmp(s.c_str(), prefix.c_str(), prefix.size()) == 0;
}

LSTATUS InjectedFailure(const std::string& path) {
  std::lock_guard<std::mutex> g(P().lock);
  if (P().failError != ERROR_SUCCESS && StartsWithNoCase(path, P().failPrefix)) return P().failError;
  return ERROR_SUCCESS;
}

HKEY NewKey(const std::string& path) { return reinterpret_cast<HKEY>(new KeyRecord{path}); }

}  // namespace

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, void*, PHKEY result,
                        LPDWORD disposition) {
  std::string base;
  if (!result || !PathOf(key, &base)) return ERROR_INVALID_HANDLE;
  std::string path = Join(base, subKey);
  if (LSTATUS e = InjectedFailure(path)) return e;
  std::u16string full = FullName(path);
  bool existed = platform::kernel::RegistryKeyExists(full);
  if (!existed) platform::kernel::RegistryCreateKey(full);
  if (disposition) *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *result = NewKey(path);
  return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
  std::string base;
  if (!result || !PathOf(key, &base)) return ERROR_INVALID_HANDLE;
  std::string path = Join(base, subKey);
  if (!platform::kernel::RegistryKeyExists(FullName(path))) return ERROR_FILE_NOT_FOUND;
  *result = NewKey(path);
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD size) {
  std::string path;
  if (!PathOf(key, &path)) return ERROR_INVALID_HANDLE;
  if (LSTATUS e = InjectedFailure(path)) return e;
  std::u16string name = Wide(valueName ? valueName : "");
  if (type == REG_SZ) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (!text.empty() && text.back() == 0) text.pop_back();
    platform::kernel::RegistrySetString(FullName(path), name, Wide(text));
  } else {
    platform::kernel::RegistrySetValue(FullName(path), name, type, data, size);
  }
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, BYTE* data, LPDWORD size) {
  std::string path;
  if (!PathOf(key, &path)) return ERROR_INVALID_HANDLE;
  auto v = platform::kernel::RegistryGetValue(FullName(path), Wide(valueName ? valueName : ""));
  if (!v) return ERROR_FILE_NOT_FOUND;
  std::vector<uint8_t> bytes = v->data;
  if (v->type == REG_SZ) {
    std::string narrow;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      char16_t c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
      if (!c) break;
      narrow.push_back(static_cast<char>(c));
    }
    bytes.assign(narrow.begin(), narrow.end());
    bytes.push_back(0);
  }
  if (type) *type = v->type;
  if (!size) return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  DWORD need = static_cast<DWORD>(bytes.size());
  if (data && *size < need) {
    *size = need;
    return ERROR_MORE_DATA;
  }
  if (data) std::memcpy(data, bytes.data(), need);
  *size = need;
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteTreeA(HKEY key, LPCSTR subKey) {
  std::string base;
  if (!PathOf(key, &base)) return ERROR_INVALID_HANDLE;
  std::string path = Join(base, subKey);
  if (LSTATUS e = InjectedFailure(path)) return e;
  return platform::kernel::RegistryDeleteKey(FullName(path)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS RegCloseKey(HKEY key) {
  if (key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  if (!key) return ERROR_INVALID_HANDLE;
  delete reinterpret_cast<KeyRecord*>(key);
  return ERROR_SUCCESS;
}

// ---- Host side --------------------------------------------------------------------------------------

namespace platform::win32 {

const char16_t kClassesRootKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes";

void ResetUser() {
  ResetUserWindows();
  std::lock_guard<std::mutex> g(P().lock);
  P().beeps.clear();
  P().debugOutput.clear();
  P().major = 10;
  P().minor = 0;
  P().build = 19045;
  P().heapFailAt = 0;
  P().failPrefix.clear();
  P().failError = ERROR_SUCCESS;
}

std::vector<BeepRecord> Beeps() {
  std::lock_guard<std::mutex> g(P().lock);
  return P().beeps;
}
void ClearBeeps() {
  std::lock_guard<std::mutex> g(P().lock);
  P().beeps.clear();
}
std::string DebugOutput() {
  std::lock_guard<std::mutex> g(P().lock);
  return P().debugOutput;
}
void ClearDebugOutput() {
  std::lock_guard<std::mutex> g(P().lock);
  P().debugOutput.clear();
}
void SetOsVersion(DWORD major, DWORD minor, DWORD build) {
  P().major = major;
  P().minor = minor;
  P().build = build;
}
int64_t HeapLiveBlocks() { return P().heapLive.load(); }
void FailNthHeapAllocation(uint64_t n) { P().heapFailAt = n ? P().heapCalls.load() + n : 0; }

void FailRegistryWritesUnder(const std::string& prefix, LSTATUS error) {
  std::lock_guard<std::mutex> g(P().lock);
  P().failPrefix = prefix;
  P().failError = error;
}
void ClearRegistryFaults() {
  std::lock_guard<std::mutex> g(P().lock);
  P().failPrefix.clear();
  P().failError = ERROR_SUCCESS;
}

std::vector<std::string> ClassesRootDump() {
  using namespace platform::kernel;
  std::u16string root = kClassesRootKey;
  std::vector<std::string> out;
  for (const std::u16string& key : RegistryKeys()) {
    if (key.size() <= root.size() ||
        strncasecmp(RegistryNarrow(key).c_str(), RegistryNarrow(root).c_str(), root.size()) != 0 ||
        key[root.size()] != u'\\')
      continue;
    std::string rel = RegistryNarrow(key.substr(root.size() + 1));
    auto values = RegistryValues(key);
    if (values.empty()) out.push_back(rel);
    for (const auto& v : values) {
      std::string data;
      if (v.type == REG_SZ) {
        for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
          char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
          if (!c) break;
          data.push_back(static_cast<char>(c));
        }
      } else {
        data = "(type " + std::to_string(v.type) + ")";
      }
      out.push_back(rel + " | " + (v.name.empty() ? "@" : RegistryNarrow(v.name)) + " = " + data);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace platform::win32
