// The machine's handle table, for the platform layers that hand out handles (files,
// sections, processes, threads, registry keys). ZwClose closes any of them.
// Host code only.
#pragma once

#include <memory>

#include "platform/kernel/ntdef.h"

namespace platform::kernel {

// An object a handle refers to. The handle table keeps one shared reference per handle;
// the object is destroyed when the last handle is closed and no one else holds it.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
  // A short name of the kind ("File", "Key", "Section", "Thread", "Process").
  virtual const char* Kind() const = 0;
};

// A new kernel handle (values look like kernel handles: 0xFFFFFFFF8000xxxx, multiples of 4).
HANDLE InsertHandle(std::shared_ptr<HandleObject> object);
// The object behind a handle, or null for a handle that is not open.
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// STATUS_SUCCESS, or STATUS_INVALID_HANDLE (also reported to the verifier).
NTSTATUS CloseHandle(HANDLE handle);
// Handles open now, of one kind or (kind null) of all kinds.
size_t OpenHandleCount(const char* kind = nullptr);

}  // namespace platform::kernel
