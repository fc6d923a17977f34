// Files on the DOS drives, each drive a folder of the host.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>

#include "platform/kernel/handles.h"
#include "platform/kernel/internal.h"

namespace fs = std::filesystem;
using namespace platform::kernel;
using namespace platform::kernel::detail;

namespace {

struct Drives {
  std::mutex lock;
  std::map<char, fs::path> folders;
  fs::path temporary;  // made on demand when C: was never set
  std::map<FileOp, std::pair<uint64_t, NTSTATUS>> faults;
};
Drives& D() {
  static Drives d;
  return d;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 32) : c; }

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::string ToUtf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (c < 0x80) {
      out += (char)c;
    } else if (c < 0x800) {
      out += (char)(0xC0 | (c >> 6));
      out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += (char)(0xE0 | (c >> 12));
      out += (char)(0x80 | ((c >> 6) & 0x3F));
      out += (char)(0x80 | (c & 0x3F));
    } else {
      out += (char)(0xF0 | (c >> 18));
      out += (char)(0x80 | ((c >> 12) & 0x3F));
      out += (char)(0x80 | ((c >> 6) & 0x3F));
      out += (char)(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool StartsWithNoCase(const std::u16string& s, const char16_t* prefix, size_t& len) {
  len = 0;
  while (prefix[len]) ++len;
  if (s.size() < len) return false;
  for (size_t i = 0; i < len; ++i) {
    char16_t a = s[i], b = prefix[i];
    if (a >= u'a' && a <= u'z') a = (char16_t)(a - 32);
    if (b >= u'a' && b <= u'z') b = (char16_t)(b - 32);
    if (a != b) return false;
  }
  return true;
}

// The nth call of op fails: true with the status to return.
bool Fault(FileOp op, NTSTATUS* status) {
  std::lock_guard<std::mutex> g(D().lock);
  auto it = D().faults.find(op);
  if (it == D().faults.end()) return false;
  if (--it->second.first > 0) return false;
  *status = it->second.second;
  D().faults.erase(it);
  return true;
}

class FileObject : public HandleObject {
 public:
  FileObject(int fd, fs::path path, bool writable, bool directory)
      : fd_(fd), path_(std::move(path)), writable_(writable), directory_(directory) {}
  ~FileObject() override {
    if (fd_ >= 0) ::close(fd_);
  }
  const char* Kind() const override { return "File"; }
  int fd() const { return fd_; }
  bool writable() const { return writable_; }
  bool directory() const { return directory_; }
  std::mutex lock;
  int64_t position = 0;

 private:
  int fd_;
  fs::path path_;
  bool writable_;
  bool directory_;
};

// Every file call reports its outcome twice: in the caller's status block and as its result.
auto Completion(PIO_STATUS_BLOCK block) {
  return [block](NTSTATUS s, ULONG_PTR info) {
    block->Status = s;
    block->Information = info;
    return s;
  };
}

bool UsesFilePointer(PLARGE_INTEGER offset) {
  return !offset || (offset->LowPart == FILE_USE_FILE_POINTER_POSITION && offset->HighPart == -1);
}

}  // namespace

namespace platform::kernel {

void SetDriveFolder(char drive, const fs::path& folder) {
  std::lock_guard<std::mutex> g(D().lock);
  D().folders[Upper(drive)] = folder;
}

fs::path DriveFolder(char drive) {
  std::lock_guard<std::mutex> g(D().lock);
  drive = Upper(drive);
  auto it = D().folders.find(drive);
  if (it != D().folders.end()) return it->second;
  if (drive != 'C') return {};
  if (D().temporary.empty()) {
    static std::atomic<int> counter{0};
    fs::path p =
        fs::temp_directory_path() / ("vorlix-drive-c-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::error_code ec;
    fs::create_directories(p, ec);
    D().temporary = p;
  }
  return D().temporary;
}

fs::path HostPathOf(const std::u16string& name) {
  size_t len = 0;
  std::u16string rest;
  if (StartsWithNoCase(name, u"\\??\\", len) || StartsWithNoCase(name, u"\\DosDevices\\", len) ||
      StartsWithNoCase(name, u"\\GLOBAL??\\", len))
    rest = name.substr(len);
  else
    return {};
  if (rest.size() < 2 || rest[1] != u':' || rest[0] > 0x7F) return {};
  fs::path folder = DriveFolder((char)rest[0]);
  if (folder.empty()) return {};
  rest = rest.substr(2);
  fs::path path = folder;
  size_t pos = 0;
  while (pos < rest.size()) {
    size_t next = rest.find(u'\\', pos);
    if (next == std::u16string::npos) next = rest.size();
    std::string part = ToUtf8(rest.substr(pos, next - pos));
    pos = next + 1;
    if (part.empty() || part == ".") continue;
    if (part == ".." || part.find('/') != std::string::npos || part.find('\0') != std::string::npos) return {};
    // The Windows file system ignores case: find the entry whatever its case.
    fs::path exact = path / part;
    std::error_code ec;
    if (!fs::exists(exact, ec) && fs::is_directory(path, ec)) {
      for (auto& entry : fs::directory_iterator(path, ec)) {
        if (EqualNoCase(entry.path().filename().string(), part)) {
          exact = entry.path();
          break;
        }
      }
    }
    path = exact;
  }
  return path;
}

void FailNthFileOperation(FileOp op, uint64_t n, NTSTATUS status) {
  if (n == 0) return;
  std::lock_guard<std::mutex> g(D().lock);
  D().faults[op] = {n, status};
}

void ClearFileFaults() {
  std::lock_guard<std::mutex> g(D().lock);
  D().faults.clear();
}

}  // namespace platform::kernel

namespace platform::kernel::detail {

void ResetFiles() {
  std::lock_guard<std::mutex> g(D().lock);
  D().faults.clear();
  D().folders.clear();
  if (!D().temporary.empty()) {
    std::error_code ec;
    fs::remove_all(D().temporary, ec);
    D().temporary.clear();
  }
}

}  // namespace platform::kernel::detail

namespace {

// Removes the temporary drive folder when the program ends.
struct TemporaryDriveCleanup {
  TemporaryDriveCleanup() { D(); }  // constructed first, so destroyed after this
  ~TemporaryDriveCleanup() { ResetFiles(); }
} g_cleanup;

}  // namespace

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER, ULONG, ULONG, ULONG CreateDisposition,
                      ULONG CreateOptions, PVOID, ULONG) {
  CheckIrqlAtMost("ZwCreateFile", PASSIVE_LEVEL);
  *FileHandle = nullptr;
  auto finish = Completion(IoStatusBlock);
  NTSTATUS injected;
  if (Fault(FileOp::Create, &injected)) return finish(injected, 0);
  if (!ObjectAttributes || !ObjectAttributes->ObjectName || !ObjectAttributes->ObjectName->Buffer)
    return finish(STATUS_OBJECT_NAME_INVALID, 0);
  if (ObjectAttributes->RootDirectory) return finish(STATUS_NOT_SUPPORTED, 0);
  const UNICODE_STRING* n = ObjectAttributes->ObjectName;
  fs::path path = HostPathOf(std::u16string(n->Buffer, n->Length / sizeof(WCHAR)));
  if (path.empty()) return finish(STATUS_OBJECT_PATH_NOT_FOUND, 0);
  std::error_code ec;
  if (!fs::is_directory(path.parent_path(), ec)) return finish(STATUS_OBJECT_PATH_NOT_FOUND, 0);
  bool exists = fs::exists(path, ec);
  bool isDir = exists && fs::is_directory(path, ec);
  if (isDir && (CreateOptions & FILE_NON_DIRECTORY_FILE)) return finish(STATUS_FILE_IS_A_DIRECTORY, 0);
  bool writable = (DesiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  int flags = O_CLOEXEC;
  ULONG_PTR info = FILE_OPENED;
  switch (CreateDisposition) {
    case FILE_OPEN:
      if (!exists) return finish(STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST);
      break;
    case FILE_CREATE:
      if (exists) return finish(STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS);
      flags |= O_CREAT | O_EXCL;
      info = FILE_CREATED;
      break;
    case FILE_OPEN_IF:
      if (!exists) {
        flags |= O_CREAT;
        info = FILE_CREATED;
      }
      break;
    case FILE_OVERWRITE:
      if (!exists) return finish(STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST);
      flags |= O_TRUNC;
      info = FILE_OVERWRITTEN;
      break;
    case FILE_OVERWRITE_IF:
    case FILE_SUPERSEDE:
      flags |= O_CREAT | O_TRUNC;
      info = exists ? (CreateDisposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN) : FILE_CREATED;
      break;
    default:
      return finish(STATUS_INVALID_PARAMETER, 0);
  }
  if (isDir) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return finish(STATUS_ACCESS_DENIED, 0);
    *FileHandle = InsertHandle(std::make_shared<FileObject>(fd, path, false, true));
    return finish(STATUS_SUCCESS, info);
  }
  if (flags & (O_CREAT | O_TRUNC)) writable = true;
  int fd = ::open(path.c_str(), flags | (writable ? O_RDWR : O_RDONLY), 0644);
  if (fd < 0) return finish(errno == ENOENT ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_ACCESS_DENIED, 0);
  *FileHandle = InsertHandle(std::make_shared<FileObject>(fd, path, writable, false));
  return finish(STATUS_SUCCESS, info);
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions) {
  return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                      OpenOptions, nullptr, 0);
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                    ULONG Length, PLARGE_INTEGER ByteOffset, PULONG) {
  CheckIrqlAtMost("ZwReadFile", PASSIVE_LEVEL);
  auto finish = Completion(IoStatusBlock);
  auto file = LookupHandleAs<FileObject>(FileHandle);
  if (!file) return finish(STATUS_INVALID_HANDLE, 0);
  NTSTATUS injected;
  if (Fault(FileOp::Read, &injected)) return finish(injected, 0);
  if (file->directory()) return finish(STATUS_INVALID_DEVICE_REQUEST, 0);
  std::lock_guard<std::mutex> g(file->lock);
  int64_t offset = UsesFilePointer(ByteOffset) ? file->position : ByteOffset->QuadPart;
  if (offset < 0) return finish(STATUS_INVALID_PARAMETER, 0);
  size_t done = 0;
  while (done < Length) {
    ssize_t r = ::pread(file->fd(), (char*)Buffer + done, Length - done, (off_t)(offset + (int64_t)done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return finish(STATUS_IO_DEVICE_ERROR, 0);
    }
    if (r == 0) break;
    done += (size_t)r;
  }
  if (done == 0 && Length > 0) return finish(STATUS_END_OF_FILE, 0);
  file->position = offset + (int64_t)done;
  return finish(STATUS_SUCCESS, done);
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                     ULONG Length, PLARGE_INTEGER ByteOffset, PULONG) {
  CheckIrqlAtMost("ZwWriteFile", PASSIVE_LEVEL);
  auto finish = Completion(IoStatusBlock);
  auto file = LookupHandleAs<FileObject>(FileHandle);
  if (!file) return finish(STATUS_INVALID_HANDLE, 0);
  NTSTATUS injected;
  if (Fault(FileOp::Write, &injected)) return finish(injected, 0);
  if (!file->writable() || file->directory()) return finish(STATUS_ACCESS_DENIED, 0);
  std::lock_guard<std::mutex> g(file->lock);
  int64_t offset;
  if (ByteOffset && ByteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE && ByteOffset->HighPart == -1) {
    struct stat st;
    if (::fstat(file->fd(), &st) != 0) return finish(STATUS_IO_DEVICE_ERROR, 0);
    offset = st.st_size;
  } else {
    offset = UsesFilePointer(ByteOffset) ? file->position : ByteOffset->QuadPart;
  }
  if (offset < 0) return finish(STATUS_INVALID_PARAMETER, 0);
  size_t done = 0;
  while (done < Length) {
    ssize_t r = ::pwrite(file->fd(), (const char*)Buffer + done, Length - done, (off_t)(offset + (int64_t)done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return finish(errno == ENOSPC ? STATUS_DISK_FULL : STATUS_IO_DEVICE_ERROR, done);
    }
    done += (size_t)r;
  }
  file->position = offset + (int64_t)done;
  return finish(STATUS_SUCCESS, done);
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass) {
  CheckIrqlAtMost("ZwQueryInformationFile", PASSIVE_LEVEL);
  auto finish = Completion(IoStatusBlock);
  auto file = LookupHandleAs<FileObject>(FileHandle);
  if (!file) return finish(STATUS_INVALID_HANDLE, 0);
  NTSTATUS injected;
  if (Fault(FileOp::Query, &injected)) return finish(injected, 0);
  std::lock_guard<std::mutex> g(file->lock);
  switch (FileInformationClass) {
    case FileStandardInformation: {
      if (Length < sizeof(FILE_STANDARD_INFORMATION)) return finish(STATUS_INFO_LENGTH_MISMATCH, 0);
      struct stat st;
      if (::fstat(file->fd(), &st) != 0) return finish(STATUS_IO_DEVICE_ERROR, 0);
      auto* info = static_cast<PFILE_STANDARD_INFORMATION>(FileInformation);
      RtlZeroMemory(info, sizeof *info);
      info->EndOfFile.QuadPart = file->directory() ? 0 : st.st_size;
      info->AllocationSize.QuadPart = (info->EndOfFile.QuadPart + 4095) / 4096 * 4096;
      info->NumberOfLinks = 1;
      info->Directory = file->directory() ? TRUE : FALSE;
      return finish(STATUS_SUCCESS, sizeof *info);
    }
    case FilePositionInformation: {
      if (Length < sizeof(FILE_POSITION_INFORMATION)) return finish(STATUS_INFO_LENGTH_MISMATCH, 0);
      static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset.QuadPart = file->position;
      return finish(STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
    }
    default:
      return finish(STATUS_INVALID_INFO_CLASS, 0);
  }
}

NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass) {
  CheckIrqlAtMost("ZwSetInformationFile", PASSIVE_LEVEL);
  auto finish = Completion(IoStatusBlock);
  auto file = LookupHandleAs<FileObject>(FileHandle);
  if (!file) return finish(STATUS_INVALID_HANDLE, 0);
  std::lock_guard<std::mutex> g(file->lock);
  switch (FileInformationClass) {
    case FilePositionInformation: {
      if (Length < sizeof(FILE_POSITION_INFORMATION)) return finish(STATUS_INFO_LENGTH_MISMATCH, 0);
      LONGLONG p = static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset.QuadPart;
      if (p < 0) return finish(STATUS_INVALID_PARAMETER, 0);
      file->position = p;
      return finish(STATUS_SUCCESS, 0);
    }
    case FileEndOfFileInformation: {
      if (Length < sizeof(FILE_END_OF_FILE_INFORMATION)) return finish(STATUS_INFO_LENGTH_MISMATCH, 0);
      if (!file->writable()) return finish(STATUS_ACCESS_DENIED, 0);
      LONGLONG e = static_cast<PFILE_END_OF_FILE_INFORMATION>(FileInformation)->EndOfFile.QuadPart;
      if (e < 0 || ::ftruncate(file->fd(), (off_t)e) != 0) return finish(STATUS_INVALID_PARAMETER, 0);
      return finish(STATUS_SUCCESS, 0);
    }
    default:
      return finish(STATUS_INVALID_INFO_CLASS, 0);
  }
}
