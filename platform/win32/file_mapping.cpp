// Named file mappings over POSIX shared memory. The mapping's creator owns the name: it
// is removed when the creator's last handle to it closes, as a Windows name goes with the
// last handle (an opener in another process keeps its own descriptor and views).
#include "platform/win32/file_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>

#include "platform/kernel/machine.h"

namespace {

struct Mapping {
  int fd = -1;
  size_t size = 0;
  bool writable = false;
  bool created = false;  // this process made the name, and removes it
  std::string hostName;
};

struct Table {
  std::mutex lock;
  std::map<uintptr_t, Mapping> mappings;  // by handle value
  std::map<const void*, size_t> views;    // base -> length
  uintptr_t next = 0x1000;
};
Table& T() {
  static Table t;
  return t;
}

// "Global\NAME", "Local\NAME" or "NAME" -> the host object of "\BaseNamedObjects\NAME".
bool HostNameOf(LPCWSTR name, std::string* out) {
  if (!name) return false;
  std::u16string s(name);
  for (const char16_t* prefix : {u"Global\\", u"Local\\"}) {
    std::u16string p(prefix);
    if (s.compare(0, p.size(), p) == 0) {
      s = s.substr(p.size());
      break;
    }
  }
  return platform::kernel::SectionHostName(s, out);
}

HANDLE Insert(Mapping m) {
  std::lock_guard<std::mutex> g(T().lock);
  uintptr_t h = T().next;
  T().next += 4;
  T().mappings[h] = std::move(m);
  return reinterpret_cast<HANDLE>(h);
}

DWORD ErrorOf(int e) {
  switch (e) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case ENOSPC:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace

HANDLE CreateFileMappingW(HANDLE File, PVOID, DWORD Protect, DWORD MaximumSizeHigh, DWORD MaximumSizeLow,
                          LPCWSTR Name) {
  const uint64_t size = (uint64_t)MaximumSizeHigh << 32 | MaximumSizeLow;
  const DWORD prot = Protect & 0xFF;
  std::string host;
  if (File != INVALID_HANDLE_VALUE || size == 0 || (prot != PAGE_READWRITE && prot != PAGE_READONLY) ||
      !HostNameOf(Name, &host)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Mapping m;
  m.hostName = host;
  m.writable = prot == PAGE_READWRITE;
  m.fd = ::shm_open(host.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
  bool existed = false;
  if (m.fd < 0 && errno == EEXIST) {
    existed = true;
    m.fd = ::shm_open(host.c_str(), m.writable ? O_RDWR : O_RDONLY, 0);
  }
  if (m.fd < 0) {
    SetLastError(ErrorOf(errno));
    return nullptr;
  }
  struct stat st;
  if (existed) {
    if (::fstat(m.fd, &st) != 0 || (uint64_t)st.st_size < size) {
      ::close(m.fd);
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    m.size = (size_t)st.st_size;
  } else {
    m.created = true;
    if (::ftruncate(m.fd, (off_t)size) != 0) {
      int e = errno;
      ::close(m.fd);
      ::shm_unlink(host.c_str());
      SetLastError(ErrorOf(e));
      return nullptr;
    }
    m.size = (size_t)size;
  }
  HANDLE h = Insert(std::move(m));
  SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return h;
}

HANDLE OpenFileMappingW(DWORD DesiredAccess, BOOL, LPCWSTR Name) {
  std::string host;
  if (!HostNameOf(Name, &host)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Mapping m;
  m.hostName = host;
  m.writable = (DesiredAccess & FILE_MAP_WRITE) != 0;
  m.fd = ::shm_open(host.c_str(), m.writable ? O_RDWR : O_RDONLY, 0);
  struct stat st;
  if (m.fd < 0 || ::fstat(m.fd, &st) != 0) {
    SetLastError(ErrorOf(errno));
    if (m.fd >= 0) ::close(m.fd);
    return nullptr;
  }
  m.size = (size_t)st.st_size;
  return Insert(std::move(m));
}

LPVOID MapViewOfFile(HANDLE Mapping, DWORD DesiredAccess, DWORD FileOffsetHigh, DWORD FileOffsetLow,
                     SIZE_T NumberOfBytesToMap) {
  std::lock_guard<std::mutex> g(T().lock);
  auto it = T().mappings.find(reinterpret_cast<uintptr_t>(Mapping));
  if (it == T().mappings.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const ::Mapping& m = it->second;
  const uint64_t offset = (uint64_t)FileOffsetHigh << 32 | FileOffsetLow;
  const bool write = (DesiredAccess & FILE_MAP_WRITE) != 0;
  if (offset % 65536 != 0 || offset >= m.size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (write && !m.writable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const size_t length = NumberOfBytesToMap ? NumberOfBytesToMap : m.size - (size_t)offset;
  if (length > m.size - offset) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  void* base = ::mmap(nullptr, length, write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, m.fd, (off_t)offset);
  if (base == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  T().views[base] = length;
  return base;
}

BOOL UnmapViewOfFile(LPCVOID BaseAddress) {
  std::lock_guard<std::mutex> g(T().lock);
  auto it = T().views.find(BaseAddress);
  if (it == T().views.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ::munmap(const_cast<void*>(it->first), it->second);
  T().views.erase(it);
  return TRUE;
}

BOOL CloseHandle(HANDLE Object) {
  Mapping m;
  {
    std::lock_guard<std::mutex> g(T().lock);
    auto it = T().mappings.find(reinterpret_cast<uintptr_t>(Object));
    if (it == T().mappings.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    m = std::move(it->second);
    T().mappings.erase(it);
    if (m.created) {
      // The name stays while another handle of this process still refers to it.
      for (auto& [h, other] : T().mappings) {
        if (other.hostName == m.hostName) {
          other.created = true;
          m.created = false;
          break;
        }
      }
    }
  }
  ::close(m.fd);
  if (m.created) ::shm_unlink(m.hostName.c_str());
  return TRUE;
}
