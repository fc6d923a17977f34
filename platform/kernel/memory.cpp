// Memory descriptor lists, named sections (POSIX shared memory) and per-process views.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/kernel/handles.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/machine.h"

using namespace platform::kernel;
using namespace platform::kernel::detail;

namespace {

constexpr ULONG kMdlTag = MakePoolTag("Mdl ");

std::atomic<int64_t> g_lockedMdls{0};

struct MdlFaults {
  std::mutex lock;
  uint64_t mapFailAt = 0;   // the nth mapping from now fails; 0 = none
  uint64_t lockFailAt = 0;  // the nth page lock from now fails; 0 = none
  NTSTATUS lockFailStatus = STATUS_WORKING_SET_QUOTA;
};
MdlFaults& MF() {
  static MdlFaults f;
  return f;
}

class SectionObject : public HandleObject {
 public:
  SectionObject(int fd, size_t size, bool writable) : fd_(fd), size_(size), writable_(writable) {}
  ~SectionObject() override { ::close(fd_); }
  const char* Kind() const override { return "Section"; }
  int fd() const { return fd_; }
  size_t size() const { return size_; }
  // The object's size now: its creator can shrink (or grow) a POSIX object at any time,
  // a section never; every mapping is checked against this, not the size at open.
  size_t currentSize() const {
    struct stat st;
    return ::fstat(fd_, &st) == 0 && st.st_size > 0 ? (size_t)st.st_size : 0;
  }
  bool writable() const { return writable_; }

 private:
  int fd_;
  size_t size_;
  bool writable_;
};

struct View {
  void* base;
  size_t size;
  PEPROCESS process;
  std::shared_ptr<SectionObject> section;  // a view keeps its section alive
  size_t offset;                           // of the view in its section
};

// Pages of a section locked through an MDL. Locked pages stay resident whatever the
// process does with its view, and their system-space mapping is a mapping of its own, so
// a producer that unmaps its view (or ends) never pulls the pages from under a driver.
struct LockedRange {
  std::shared_ptr<SectionObject> section;
  size_t offset;  // page-aligned offset of the MDL's first page in the section
  size_t length;  // page-rounded
  void* systemBase = nullptr;
};

size_t PageRound(size_t n) { return (n + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE; }

// ---- System mappings kept at their size ----
// A section keeps its size, so pages the driver locked and mapped stay readable until it
// unmaps them. A POSIX object shrunk by its creator takes its tail pages out of every
// mapping instead, and a read there raises SIGBUS. The system-space mappings of locked
// pages are registered here; a fault inside one puts private zero pages in place of the
// lost tail (from the faulting page to the mapping's end), so the driver's read goes on
// and sees zeros, as if the producer had written them. Lock-free: the handler may run
// while any lock is held.
constexpr int kGuardSlots = 256;
struct GuardSlot {
  std::atomic<uintptr_t> base{0};
  std::atomic<size_t> length{0};
};
GuardSlot g_guards[kGuardSlots];
std::atomic<uint64_t> g_lostTailFaults{0};
struct sigaction g_previousBusAction;
std::once_flag g_busHandlerOnce;

void OnBusError(int signal, siginfo_t* info, void* context) {
  const uintptr_t at = (uintptr_t)info->si_addr;
  for (GuardSlot& slot : g_guards) {
    const uintptr_t base = slot.base.load(std::memory_order_acquire);
    const size_t length = slot.length.load(std::memory_order_acquire);
    if (!base || at < base || at >= base + length) continue;
    const uintptr_t page = at & ~(uintptr_t)(PAGE_SIZE - 1);
    void* p = ::mmap((void*)page, base + length - page, PROT_READ | PROT_WRITE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
    if (p == MAP_FAILED) break;
    g_lostTailFaults.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // Not a guarded mapping: whatever would have happened without this handler.
  if (g_previousBusAction.sa_flags & SA_SIGINFO) {
    if (g_previousBusAction.sa_sigaction) return g_previousBusAction.sa_sigaction(signal, info, context);
  } else if (g_previousBusAction.sa_handler != SIG_DFL && g_previousBusAction.sa_handler != SIG_IGN) {
    return g_previousBusAction.sa_handler(signal);
  }
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(SIGBUS, &fallback, nullptr);  // the access faults again, with the default action
}

bool GuardMapping(void* base, size_t length) {
  std::call_once(g_busHandlerOnce, [] {
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previousBusAction);
  });
  // A slot is claimed by its base and only then given its length, and given back length
  // first: a slot's length is never another mapping's, and a slot without one matches no
  // fault.
  for (GuardSlot& slot : g_guards) {
    uintptr_t free = 0;
    if (slot.base.load(std::memory_order_relaxed) != 0) continue;
    if (!slot.base.compare_exchange_strong(free, (uintptr_t)base, std::memory_order_acq_rel)) continue;
    slot.length.store(length, std::memory_order_release);
    return true;
  }
  return false;
}

void UnguardMapping(void* base) {
  for (GuardSlot& slot : g_guards) {
    if (slot.base.load(std::memory_order_acquire) != (uintptr_t)base) continue;
    slot.length.store(0, std::memory_order_release);
    slot.base.store(0, std::memory_order_release);
    return;
  }
}

struct Locks {
  std::mutex lock;
  std::map<PMDL, LockedRange> ranges;
};
Locks& L() {
  static Locks l;
  return l;
}

struct Views {
  std::mutex lock;
  std::vector<View> list;
};
Views& V() {
  static Views v;
  return v;
}

std::string ProcessText(PEPROCESS p) {
  char b[48];
  std::snprintf(b, sizeof b, "process %llu", (unsigned long long)(ULONG_PTR)PsGetProcessId(p));
  return b;
}

// "\BaseNamedObjects\NAME" (optionally under "\Sessions\N") -> "/NAME".
bool ShmNameOf(const UNICODE_STRING* name, std::string& out) {
  if (!name || !name->Buffer) return false;
  std::u16string s(name->Buffer, name->Length / sizeof(WCHAR));
  std::u16string prefix = u"\\BaseNamedObjects\\";
  size_t at = s.find(prefix);
  if (at == std::u16string::npos) return false;
  if (at != 0 && s.compare(0, 10, u"\\Sessions\\") != 0) return false;
  return platform::kernel::SectionHostName(s.substr(at + prefix.size()), &out);
}

}  // namespace

namespace platform::kernel {

bool SectionHostName(const std::u16string& leaf, std::string* out) {
  if (leaf.empty() || leaf.size() > 200) return false;
  std::string name = "/";
  if (const char* ns = std::getenv("VORLIX_SECTION_NAMESPACE")) name += ns;
  for (char16_t c : leaf) {
    if (c == u'\\' || c == u'/' || c == 0 || c > 0x7E) return false;
    name += (char)c;
  }
  if (name.size() > 250) return false;
  *out = name;
  return true;
}

void FailNthMdlLock(uint64_t n, NTSTATUS status) {
  std::lock_guard<std::mutex> g(MF().lock);
  MF().lockFailAt = n;
  MF().lockFailStatus = status;
}

void FailNthMdlMapping(uint64_t n) {
  std::lock_guard<std::mutex> g(MF().lock);
  MF().mapFailAt = n;
}

size_t LockedMdlCount() { return (size_t)g_lockedMdls.load(); }

uint64_t LostSectionTailFaults() { return g_lostTailFaults.load(); }

size_t MappedViewCount() {
  std::lock_guard<std::mutex> g(V().lock);
  return V().list.size();
}

}  // namespace platform::kernel

namespace platform::kernel::detail {

void EndUserProcessViews(PEPROCESS process) {
  std::vector<View> gone;
  {
    std::lock_guard<std::mutex> g(V().lock);
    for (auto it = V().list.begin(); it != V().list.end();) {
      if (it->process == process) {
        gone.push_back(std::move(*it));
        it = V().list.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& v : gone) ::munmap(v.base, v.size);
}

void ResetMemoryFaults() {
  std::lock_guard<std::mutex> g(MF().lock);
  MF().mapFailAt = 0;
  MF().lockFailAt = 0;
}

}  // namespace platform::kernel::detail

// ---- MDLs --------------------------------------------------------------------------------

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN, BOOLEAN, PIRP) {
  CheckIrqlAtMost("IoAllocateMdl", DISPATCH_LEVEL);
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
  if (!mdl) return nullptr;
  RtlZeroMemory(mdl, sizeof(MDL));
  ULONG_PTR va = (ULONG_PTR)VirtualAddress;
  mdl->Size = (CSHORT)sizeof(MDL);
  mdl->StartVa = (PVOID)(va & ~(ULONG_PTR)(PAGE_SIZE - 1));
  mdl->ByteOffset = (ULONG)(va & (PAGE_SIZE - 1));
  mdl->ByteCount = Length;
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
  if (!Mdl) return;
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    ReportVerifierFailure("IoFreeMdl", "MDL freed while its pages are still locked",
                          DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS);
    g_lockedMdls.fetch_sub(1);
  }
  {
    std::lock_guard<std::mutex> g(L().lock);
    auto it = L().ranges.find(Mdl);
    if (it != L().ranges.end()) {
      if (it->second.systemBase) {
        UnguardMapping(it->second.systemBase);
        ::munmap(it->second.systemBase, it->second.length);
      }
      L().ranges.erase(it);
    }
  }
  if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA && !(Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL))
    ReportVerifierFailure("IoFreeMdl", "MDL freed while still mapped into system space",
                          DRIVER_VERIFIER_DETECTED_VIOLATION);
  ExFreePoolWithTag(Mdl, kMdlTag);
}

VOID MmBuildMdlForNonPagedPool(PMDL Mdl) {
  Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
}

NTSTATUS MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  CheckIrqlAtMost("MmProbeAndLockPages", DISPATCH_LEVEL);
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    ReportVerifierFailure("MmProbeAndLockPages", "pages of this MDL are already locked", MEMORY_MANAGEMENT);
    return STATUS_INVALID_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> g(MF().lock);
    if (MF().lockFailAt > 0 && --MF().lockFailAt == 0) return MF().lockFailStatus;
  }
  // A range inside a section view must lie wholly in one view of the calling process and
  // allow the access asked for; anything else is the access violation the probe raises.
  const ULONG_PTR first = (ULONG_PTR)MmGetMdlVirtualAddress(Mdl);
  const ULONG_PTR end = first + Mdl->ByteCount;
  if (Mdl->ByteCount == 0 || end < first) return STATUS_ACCESS_VIOLATION;
  LockedRange range{};
  {
    std::lock_guard<std::mutex> g(V().lock);
    for (const View& v : V().list) {
      const ULONG_PTR base = (ULONG_PTR)v.base;
      const ULONG_PTR top = base + (v.size + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
      if (end <= base || first >= top) continue;
      if (first < base || end > top) return STATUS_ACCESS_VIOLATION;
      if (AccessMode == UserMode && v.process != CurrentProcess()) return STATUS_ACCESS_VIOLATION;
      if (Operation != IoReadAccess && !v.section->writable()) return STATUS_ACCESS_VIOLATION;
      const ULONG_PTR page = (ULONG_PTR)Mdl->StartVa;
      range.section = v.section;
      range.offset = v.offset + (size_t)(page - base);
      range.length = (size_t)((end - page + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE);
      // Pages the object no longer has (its creator shrank it under the view) cannot be
      // locked: the probe's access violation.
      if (range.offset + range.length > PageRound(v.section->currentSize())) return STATUS_ACCESS_VIOLATION;
      break;
    }
  }
  if (range.section) {
    std::lock_guard<std::mutex> g(L().lock);
    L().ranges[Mdl] = std::move(range);
  }
  Mdl->MdlFlags |= MDL_PAGES_LOCKED;
  Mdl->Process = PsGetCurrentProcess();
  g_lockedMdls.fetch_add(1);
  return STATUS_SUCCESS;
}

VOID MmUnlockPages(PMDL Mdl) {
  CheckIrqlAtMost("MmUnlockPages", DISPATCH_LEVEL);
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    ReportVerifierFailure("MmUnlockPages", "unlock of an MDL whose pages are not locked", MEMORY_MANAGEMENT);
    return;
  }
  if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(Mdl->MappedSystemVa, Mdl);
  {
    std::lock_guard<std::mutex> g(L().lock);
    L().ranges.erase(Mdl);
  }
  Mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
  g_lockedMdls.fetch_sub(1);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
  if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
    ReportVerifierFailure("MmMapLockedPagesSpecifyCache", "mapping of an MDL whose pages are not locked",
                          MEMORY_MANAGEMENT);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> g(MF().lock);
    if (MF().mapFailAt > 0 && --MF().mapFailAt == 0) return nullptr;
  }
  PVOID va = MmGetMdlVirtualAddress(Mdl);
  if (AccessMode == KernelMode) {
    // Pages of a section get a system-space mapping of their own, which outlives the
    // process's view; other memory is one address space with the system here.
    std::lock_guard<std::mutex> g(L().lock);
    auto it = L().ranges.find(Mdl);
    if (it != L().ranges.end()) {
      LockedRange& r = it->second;
      if (r.systemBase) {
        ReportVerifierFailure("MmMapLockedPagesSpecifyCache", "MDL already mapped into system space",
                              MEMORY_MANAGEMENT);
        return nullptr;
      }
      // Never a system mapping beyond what the object holds now.
      if (r.offset + r.length > PageRound(r.section->currentSize())) return nullptr;
      const int prot = r.section->writable() ? PROT_READ | PROT_WRITE : PROT_READ;
      void* base = ::mmap(nullptr, r.length, prot, MAP_SHARED, r.section->fd(), (off_t)r.offset);
      if (base == MAP_FAILED) return nullptr;
      if (!GuardMapping(base, r.length)) {
        ::munmap(base, r.length);
        return nullptr;
      }
      r.systemBase = base;
      va = (PUCHAR)base + Mdl->ByteOffset;
    }
  }
  if (AccessMode == KernelMode) {
    Mdl->MappedSystemVa = va;
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  }
  return va;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl) {
  if (!(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != Mdl->MappedSystemVa) {
    ReportVerifierFailure("MmUnmapLockedPages", "unmap of an address this MDL is not mapped at", MEMORY_MANAGEMENT);
    return;
  }
  {
    std::lock_guard<std::mutex> g(L().lock);
    auto it = L().ranges.find(Mdl);
    if (it != L().ranges.end() && it->second.systemBase) {
      UnguardMapping(it->second.systemBase);
      ::munmap(it->second.systemBase, it->second.length);
      it->second.systemBase = nullptr;
    }
  }
  Mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
  Mdl->MappedSystemVa = nullptr;
}

// ---- Sections and views ----------------------------------------------------------------

NTSTATUS ZwOpenSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  CheckIrqlAtMost("ZwOpenSection", PASSIVE_LEVEL);
  *SectionHandle = nullptr;
  std::string name;
  if (!ObjectAttributes || !ShmNameOf(ObjectAttributes->ObjectName, name)) return STATUS_OBJECT_NAME_INVALID;
  // Open for writing when possible: the view's protection decides what is written.
  bool writable = true;
  int fd = ::shm_open(name.c_str(), O_RDWR, 0);
  if (fd < 0 && errno == EACCES) {
    writable = false;
    fd = ::shm_open(name.c_str(), O_RDONLY, 0);
  }
  (void)DesiredAccess;
  if (fd < 0) return errno == ENOENT ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_ACCESS_DENIED;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return STATUS_ACCESS_DENIED;
  }
  *SectionHandle = InsertHandle(std::make_shared<SectionObject>(fd, (size_t)st.st_size, writable));
  return STATUS_SUCCESS;
}

NTSTATUS ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress, ULONG_PTR, SIZE_T,
                            PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize, SECTION_INHERIT, ULONG,
                            ULONG Win32Protect) {
  CheckIrqlAtMost("ZwMapViewOfSection", PASSIVE_LEVEL);
  auto section = LookupHandleAs<SectionObject>(SectionHandle);
  if (!section) return STATUS_INVALID_HANDLE;
  PEPROCESS process = ProcessFromHandle(ProcessHandle);
  if (!process) return STATUS_INVALID_HANDLE;
  if (*BaseAddress) return STATUS_CONFLICTING_ADDRESSES;  // no fixed addresses here
  LONGLONG offset = SectionOffset ? SectionOffset->QuadPart : 0;
  // The object as it is now: its creator may have shrunk it since it was opened.
  const size_t sectionSize = section->currentSize();
  if (offset < 0 || offset % 65536 != 0 || (size_t)offset > sectionSize) return STATUS_INVALID_PARAMETER;
  size_t size = *ViewSize ? *ViewSize : sectionSize - (size_t)offset;
  if (size == 0 || (size_t)offset + size > sectionSize) return STATUS_INVALID_PARAMETER;
  ULONG prot = Win32Protect & 0xFF;
  int mprot = prot == PAGE_READONLY                              ? PROT_READ
              : prot == PAGE_READWRITE || prot == PAGE_WRITECOPY ? PROT_READ | PROT_WRITE
                                                                 : 0;
  if (mprot == 0) return STATUS_INVALID_PAGE_PROTECTION;
  if ((mprot & PROT_WRITE) && !section->writable()) return STATUS_ACCESS_DENIED;
  int flags = prot == PAGE_WRITECOPY ? MAP_PRIVATE : MAP_SHARED;
  void* base = ::mmap(nullptr, size, mprot, flags, section->fd(), (off_t)offset);
  if (base == MAP_FAILED) return STATUS_INSUFFICIENT_RESOURCES;
  {
    std::lock_guard<std::mutex> g(V().lock);
    V().list.push_back(View{base, size, process, section, (size_t)offset});
  }
  *BaseAddress = base;
  *ViewSize = (size + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
  return STATUS_SUCCESS;
}

NTSTATUS ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress) {
  CheckIrqlAtMost("ZwUnmapViewOfSection", PASSIVE_LEVEL);
  PEPROCESS process = ProcessFromHandle(ProcessHandle);
  if (!process) return STATUS_INVALID_HANDLE;
  View view{};
  {
    std::lock_guard<std::mutex> g(V().lock);
    auto it = V().list.begin();
    while (it != V().list.end() && it->base != BaseAddress) ++it;
    if (it == V().list.end()) return STATUS_NOT_MAPPED_VIEW;
    if (it->process != process) {
      ReportVerifierFailure("ZwUnmapViewOfSection",
                            "view mapped in " + ProcessText(it->process) + " unmapped from " + ProcessText(process),
                            DRIVER_VERIFIER_DETECTED_VIOLATION);
      return STATUS_NOT_MAPPED_VIEW;
    }
    view = std::move(*it);
    V().list.erase(it);
  }
  ::munmap(view.base, view.size);
  return STATUS_SUCCESS;
}
