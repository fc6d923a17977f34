// The registry's host files: loading and saving a registry file, and the machine's
// attached file.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/kernel/registry_store.h"

namespace platform::kernel {

using namespace registry;

namespace {

// Each write has a temporary file of its own (process and sequence number), so two threads
// or processes saving the same file at once never write into, or rename away, each other's.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
  static std::atomic<uint64_t> sequence{0};
  std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(sequence.fetch_add(1));
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + tmp + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot write " + tmp + ": " + std::strerror(errno);
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    *error = "cannot write " + tmp + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

enum class ReadResult { Ok, Missing, Failed };

ReadResult ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::Missing;
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return ReadResult::Failed;
  }
  bytes->clear();
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return ReadResult::Failed;
    }
    if (n == 0) break;
    bytes->append(buf, static_cast<size_t>(n));
    if (bytes->size() > kMaxFileBytes) {
      *error = path + ": file too large for a registry file";
      ::close(fd);
      return ReadResult::Failed;
    }
  }
  ::close(fd);
  return ReadResult::Ok;
}

}  // namespace

bool RegistryLoadFile(const std::string& path, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  std::string bytes;
  switch (ReadWholeFile(path, &bytes, error)) {
    case ReadResult::Ok:
      return RegistryImport(bytes, path, error);
    case ReadResult::Missing:
      *error = "cannot open " + path + ": no such file";
      return false;
    case ReadResult::Failed:
      break;
  }
  return false;
}

bool RegistrySaveFile(const std::string& path, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  std::string bytes;
  if (!RegistryExport(&bytes, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return WriteFileAtomically(path, bytes, error);
}

bool RegistryAttachFile(const std::string& path, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  std::string bytes;
  switch (ReadWholeFile(path, &bytes, error)) {
    case ReadResult::Ok:
      if (!RegistryImport(bytes, path, error)) return false;
      break;
    case ReadResult::Missing: {
      std::lock_guard<std::mutex> g(S().lock);
      S().store = FreshStore();
      break;
    }
    case ReadResult::Failed:
      return false;
  }
  std::lock_guard<std::mutex> g(S().lock);
  S().attached = path;
  return true;
}

bool RegistryFlush(std::string* error) {
  std::string path = RegistryAttachedFile();
  if (path.empty()) return true;
  return RegistrySaveFile(path, error);
}

bool RegistryDetachFile(std::string* error) {
  bool ok = RegistryFlush(error);
  std::lock_guard<std::mutex> g(S().lock);
  S().attached.clear();
  return ok;
}

std::string RegistryAttachedFile() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().attached;
}

}  // namespace platform::kernel
