// System threads, processes, the handle table and object references.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "platform/kernel/handles.h"
#include "platform/kernel/internal.h"

using namespace platform::kernel;
using namespace platform::kernel::detail;

struct _OBJECT_TYPE {
  const char* name;
};

namespace {

_OBJECT_TYPE g_threadType{"Thread"}, g_processType{"Process"}, g_eventType{"Event"}, g_semaphoreType{"Semaphore"},
    g_sectionType{"Section"}, g_fileType{"File"};
POBJECT_TYPE g_threadTypePtr = &g_threadType, g_processTypePtr = &g_processType, g_eventTypePtr = &g_eventType,
             g_semaphoreTypePtr = &g_semaphoreType, g_sectionTypePtr = &g_sectionType, g_fileTypePtr = &g_fileType;

constexpr ULONG kThreadMagic = 0x54685264;   // "dRhT"
constexpr ULONG kProcessMagic = 0x50724F63;  // "cOrP"

// Reference-counted bodies behind KTHREAD and KPROCESS (which come first).
struct HostThread {
  KTHREAD k;
  ULONG magic = kThreadMagic;
  std::atomic<long> refs{1};
  bool system = false;
  KPRIORITY priority = 8;  // guarded by the dispatcher lock
  PKSTART_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  PEPROCESS process = nullptr;
  ULONG id = 0;
};

struct HostProcess {
  KPROCESS k;
  ULONG magic = kProcessMagic;
  std::atomic<long> refs{1};
  std::string name;
  ULONG id = 0;
};

std::atomic<ULONG> g_nextId{8};

// A system thread's host thread is detached: like a real thread object, its object is
// signalled when the routine ends and lives on by references alone, so the driver's wait
// returns then and never waits for the host thread's own teardown (stack, thread-local
// storage), which takes another trip through the host scheduler.
struct ThreadRegistry {
  std::mutex lock;
  size_t live = 0;    // system threads whose routine has not ended
  size_t ending = 0;  // threads past their routine, still in this file's code
  std::condition_variable cv;
  ~ThreadRegistry() {
    // At exit a thread may still be between signalling its thread object (which let the
    // driver's wait for it return) and leaving this file's code; let it finish before the
    // registry goes away. A thread that never ends is not waited for long.
    std::unique_lock<std::mutex> g(lock);
    cv.wait_for(g, std::chrono::seconds(2), [this] { return live == 0 && ending == 0; });
  }
};
ThreadRegistry& Threads() {
  static ThreadRegistry r;
  return r;
}

void InitHeader(DISPATCHER_HEADER& h, UCHAR type) {
  h.Type = type;
  h.Absolute = 0;
  h.Size = 0;
  h.Inserted = 0;
  h.SignalState = 0;
  InitializeListHead(&h.WaitListHead);
}

HostThread* AsThread(PVOID object) {
  auto* t = reinterpret_cast<HostThread*>(object);
  return t && t->k.Header.Type == ThreadObject && t->magic == kThreadMagic ? t : nullptr;
}

HostProcess* AsProcess(PVOID object) {
  auto* p = reinterpret_cast<HostProcess*>(object);
  return p && p->k.Header.Type == ProcessObject && p->magic == kProcessMagic ? p : nullptr;
}

void ReleaseThread(HostThread* t) {
  if (t->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  t->magic = 0;
  delete t;
}

void ReleaseProcess(HostProcess* p);

// The thread object of a host thread that is not a system thread (a test's thread, an
// application's thread, the DPC thread): created on first use, released at thread exit.
struct ForeignThread {
  HostThread* t = nullptr;
  ~ForeignThread() {
    if (t) ReleaseThread(t);
  }
};

thread_local HostThread* t_current = nullptr;
thread_local PEPROCESS t_process = nullptr;

struct ThreadExit {
  NTSTATUS status;
};

class ThreadHandleObject : public HandleObject {
 public:
  explicit ThreadHandleObject(HostThread* t) : t_(t) { t_->refs.fetch_add(1); }
  ~ThreadHandleObject() override { ReleaseThread(t_); }
  const char* Kind() const override { return "Thread"; }
  HostThread* thread() const { return t_; }

 private:
  HostThread* t_;
};

class ProcessHandleObject : public HandleObject {
 public:
  explicit ProcessHandleObject(HostProcess* p) : p_(p) { p_->refs.fetch_add(1); }
  ~ProcessHandleObject() override { ReleaseProcess(p_); }
  const char* Kind() const override { return "Process"; }
  HostProcess* process() const { return p_; }

 private:
  HostProcess* p_;
};

HostProcess* SystemProcessBody() {
  static HostProcess* p = [] {
    auto* sp = new HostProcess;
    InitHeader(sp->k.Header, ProcessObject);
    sp->name = "System";
    sp->id = 4;
    return sp;
  }();
  return p;
}

void ReleaseProcess(HostProcess* p) {
  if (p == SystemProcessBody()) return;
  if (p->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  p->magic = 0;
  delete p;
}

void ThreadMain(HostThread* t) {
  t_current = t;
  t_process = t->process;
  CurrentIrql() = PASSIVE_LEVEL;
  MarkMachineThread(true);
  try {
    t->routine(t->context);
  } catch (const ThreadExit&) {
  }
  if (HeldSpinLocks() != 0) {
    char d[96];
    std::snprintf(d, sizeof d, "system thread %p ended holding %d spin lock(s)", (void*)t, HeldSpinLocks());
    ReportVerifierFailure("PsTerminateSystemThread", d, DRIVER_VERIFIER_DETECTED_VIOLATION);
  }
  if (CurrentIrql() != PASSIVE_LEVEL) {
    char d[96];
    std::snprintf(d, sizeof d, "system thread %p ended at IRQL %u", (void*)t, CurrentIrql());
    ReportVerifierFailure("PsTerminateSystemThread", d, SYSTEM_THREAD_EXCEPTION_NOT_HANDLED);
  }
  {
    // Counted as ended before the object is signalled: a waiter woken by the signal (a
    // driver's stop, then a test's count of live threads) must find the routine's end
    // counted already.
    std::lock_guard<std::mutex> g(Threads().lock);
    --Threads().live;
    ++Threads().ending;
    Threads().cv.notify_all();
  }
  {
    // The end and the signal in one step: a waiter woken here finds the machine thread
    // gone as well.
    std::lock_guard<std::mutex> g(DispatcherLock());
    t->k.Header.SignalState = 1;
    MachineThreadEndedLocked();
  }
  ReleaseThread(t);
  std::lock_guard<std::mutex> g(Threads().lock);
  --Threads().ending;
  Threads().cv.notify_all();
}

void* HostThreadMain(void* t) {
  ThreadMain(static_cast<HostThread*>(t));
  return nullptr;
}

}  // namespace

POBJECT_TYPE* PsThreadType = &g_threadTypePtr;
POBJECT_TYPE* PsProcessType = &g_processTypePtr;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePtr;
POBJECT_TYPE* ExSemaphoreObjectType = &g_semaphoreTypePtr;
POBJECT_TYPE* MmSectionObjectType = &g_sectionTypePtr;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePtr;

// ---- The handle table ----------------------------------------------------------------------

namespace platform::kernel {
namespace {

struct HandleTable {
  std::mutex lock;
  std::map<ULONG_PTR, std::shared_ptr<HandleObject>> entries;
  ULONG_PTR next = 4;
};
HandleTable& Table() {
  static HandleTable t;
  return t;
}
constexpr ULONG_PTR kKernelHandleBits = 0xFFFFFFFF80000000ULL;

}  // namespace

HANDLE InsertHandle(std::shared_ptr<HandleObject> object) {
  auto& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  ULONG_PTR value = kKernelHandleBits | t.next;
  t.next += 4;
  if (t.next >= 0x80000000ULL) t.next = 4;
  t.entries[value] = std::move(object);
  return (HANDLE)value;
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle) {
  auto& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.entries.find((ULONG_PTR)handle);
  return it == t.entries.end() ? nullptr : it->second;
}

NTSTATUS CloseHandle(HANDLE handle) {
  std::shared_ptr<HandleObject> object;  // released outside the table lock
  {
    auto& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.entries.find((ULONG_PTR)handle);
    if (it != t.entries.end()) {
      object = std::move(it->second);
      t.entries.erase(it);
    }
  }
  if (!object) {
    char d[64];
    std::snprintf(d, sizeof d, "close of handle %p that is not open", handle);
    ReportVerifierFailure("ZwClose", d, 0x00000093 /* INVALID_KERNEL_HANDLE */);
    return STATUS_INVALID_HANDLE;
  }
  return STATUS_SUCCESS;
}

size_t OpenHandleCount(const char* kind) {
  auto& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  if (!kind) return t.entries.size();
  size_t n = 0;
  for (auto& [h, o] : t.entries)
    if (std::string(o->Kind()) == kind) ++n;
  return n;
}

// ---- Processes and threads, host side -------------------------------------------------------

PEPROCESS SystemProcess() { return reinterpret_cast<PEPROCESS>(SystemProcessBody()); }

PEPROCESS CreateUserProcess(const char* name) {
  auto* p = new HostProcess;
  InitHeader(p->k.Header, ProcessObject);
  p->name = name ? name : "";
  p->id = g_nextId.fetch_add(4);
  return reinterpret_cast<PEPROCESS>(p);
}

void EndUserProcess(PEPROCESS process) {
  HostProcess* p = AsProcess(process);
  if (!p || p == SystemProcessBody()) return;
  EndUserProcessViews(process);
  {
    std::lock_guard<std::mutex> g(DispatcherLock());
    p->k.Header.SignalState = 1;
    NotifyDispatcher();
  }
  ReleaseProcess(p);
}

ScopedProcess::ScopedProcess(PEPROCESS process) : previous_(t_process) { t_process = process; }
ScopedProcess::~ScopedProcess() { t_process = previous_; }

size_t LiveSystemThreadCount() {
  std::lock_guard<std::mutex> g(Threads().lock);
  return Threads().live;
}

bool WaitForSystemThreads(int timeoutMs) {
  bool done;
  {
    std::unique_lock<std::mutex> lock(Threads().lock);
    done = Threads().cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return Threads().live == 0; });
  }
  detail::ReapFinishedThreads();
  return done;
}

}  // namespace platform::kernel

namespace platform::kernel::detail {

void ReapFinishedThreads() {
  // Threads whose objects are signalled may still be leaving this file's code; a machine
  // reset waits for them (briefly: nothing is left for them to do).
  std::unique_lock<std::mutex> g(Threads().lock);
  Threads().cv.wait_for(g, std::chrono::seconds(2), [] { return Threads().ending == 0; });
}

PEPROCESS CurrentProcess() { return t_process ? t_process : SystemProcess(); }

PEPROCESS ProcessFromHandle(HANDLE handle) {
  if (handle == nullptr || handle == NtCurrentProcess()) return CurrentProcess();
  auto ph = LookupHandleAs<ProcessHandleObject>(handle);
  return ph ? reinterpret_cast<PEPROCESS>(ph->process()) : nullptr;
}

}  // namespace platform::kernel::detail

// ---- Kernel routines -----------------------------------------------------------------------

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
  CheckIrqlAtMost("PsCreateSystemThread", PASSIVE_LEVEL);
  PEPROCESS process = ProcessHandle ? ProcessFromHandle(ProcessHandle) : SystemProcess();
  if (!process) return STATUS_INVALID_HANDLE;
  auto* t = new HostThread;
  InitHeader(t->k.Header, ThreadObject);
  t->system = true;
  t->routine = StartRoutine;
  t->context = StartContext;
  t->process = process;
  t->id = g_nextId.fetch_add(4);
  {
    std::lock_guard<std::mutex> g(Threads().lock);
    ++Threads().live;
  }
  MachineThreadCreated();
  // One reference for the running thread (the initial one), one for the handle, taken
  // before the thread can run (and end).
  auto handle = std::make_shared<ThreadHandleObject>(t);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t host;
  const int failed = pthread_create(&host, &attributes, HostThreadMain, t);
  pthread_attr_destroy(&attributes);
  if (failed) {
    // The host has no thread to give: the failure a real system reports for it.
    {
      std::lock_guard<std::mutex> g(Threads().lock);
      --Threads().live;
      Threads().cv.notify_all();
    }
    MachineThreadEnded();
    handle.reset();
    ReleaseThread(t);
    *ThreadHandle = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *ThreadHandle = InsertHandle(std::move(handle));
  if (ClientId) {
    ClientId->UniqueProcess = PsGetProcessId(process);
    ClientId->UniqueThread = (HANDLE)(ULONG_PTR)t->id;
  }
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  if (!t_current || !t_current->system) {
    ReportVerifierFailure("PsTerminateSystemThread", "called by a thread that is not a system thread",
                          SYSTEM_THREAD_EXCEPTION_NOT_HANDLED);
    return STATUS_INVALID_PARAMETER;
  }
  // Unwinds to the thread's start wrapper (the system's code never catches it).
  throw ThreadExit{ExitStatus};
}

PKTHREAD KeGetCurrentThread() {
  if (!t_current) {
    thread_local ForeignThread foreign;
    auto* t = new HostThread;
    InitHeader(t->k.Header, ThreadObject);
    t->process = CurrentProcess();
    t->id = g_nextId.fetch_add(4);
    foreign.t = t;
    t_current = t;
  }
  return &t_current->k;
}

PETHREAD PsGetCurrentThread() { return KeGetCurrentThread(); }

HANDLE PsGetCurrentThreadId() {
  KeGetCurrentThread();
  return (HANDLE)(ULONG_PTR)t_current->id;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  HostThread* t = AsThread(Thread);
  if (!t) {
    ReportVerifierFailure("KeSetPriorityThread", "not a thread object", 0x0000001E);
    return 0;
  }
  if (Priority < LOW_PRIORITY + 1 || Priority > HIGH_PRIORITY) {
    char d[64];
    std::snprintf(d, sizeof d, "priority %d outside 1..31", Priority);
    ReportVerifierFailure("KeSetPriorityThread", d, DRIVER_VERIFIER_DETECTED_VIOLATION);
    return 0;
  }
  std::lock_guard<std::mutex> g(DispatcherLock());
  KPRIORITY old = t->priority;
  t->priority = Priority;
  return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
  HostThread* t = AsThread(Thread);
  if (!t) return 0;
  std::lock_guard<std::mutex> g(DispatcherLock());
  return t->priority;
}

BOOLEAN PsIsSystemThread(PETHREAD Thread) {
  HostThread* t = AsThread(Thread);
  return t && t->system ? TRUE : FALSE;
}

PEPROCESS PsGetCurrentProcess() { return CurrentProcess(); }

HANDLE PsGetProcessId(PEPROCESS Process) {
  HostProcess* p = AsProcess(Process);
  return p ? (HANDLE)(ULONG_PTR)p->id : nullptr;
}

HANDLE PsGetCurrentProcessId() { return PsGetProcessId(CurrentProcess()); }

NTSTATUS PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process) {
  if (ProcessId == PsGetProcessId(SystemProcess())) {
    *Process = SystemProcess();
    return STATUS_SUCCESS;
  }
  PEPROCESS cur = CurrentProcess();
  if (ProcessId == PsGetProcessId(cur)) {
    ObfReferenceObject(cur);
    *Process = cur;
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState) {
  ApcState->Process = t_process;  // the process to return to
  t_process = Process;
}

VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState) { t_process = ApcState->Process; }

NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG, PVOID, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE, PHANDLE Handle) {
  if (HostProcess* p = AsProcess(Object)) {
    *Handle = InsertHandle(std::make_shared<ProcessHandleObject>(p));
    return STATUS_SUCCESS;
  }
  if (HostThread* t = AsThread(Object)) {
    *Handle = InsertHandle(std::make_shared<ThreadHandleObject>(t));
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_TYPE_MISMATCH;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
  CheckIrqlAtMost("ObReferenceObjectByHandle", APC_LEVEL);
  if (Handle == NtCurrentProcess() || Handle == NtCurrentThread()) {
    PVOID o = Handle == NtCurrentProcess() ? (PVOID)CurrentProcess() : (PVOID)KeGetCurrentThread();
    if (ObjectType && ObjectType != (Handle == NtCurrentProcess() ? *PsProcessType : *PsThreadType))
      return STATUS_OBJECT_TYPE_MISMATCH;
    ObfReferenceObject(o);
    *Object = o;
  } else {
    auto object = LookupHandle(Handle);
    if (!object) return STATUS_INVALID_HANDLE;
    if (auto* th = dynamic_cast<ThreadHandleObject*>(object.get())) {
      if (ObjectType && ObjectType != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
      th->thread()->refs.fetch_add(1);
      *Object = th->thread();
    } else if (auto* ph = dynamic_cast<ProcessHandleObject*>(object.get())) {
      if (ObjectType && ObjectType != *PsProcessType) return STATUS_OBJECT_TYPE_MISMATCH;
      ph->process()->refs.fetch_add(1);
      *Object = ph->process();
    } else {
      return STATUS_OBJECT_TYPE_MISMATCH;
    }
  }
  if (HandleInformation) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = 0x001FFFFF;
  }
  return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
  if (HostThread* t = AsThread(Object)) return t->refs.fetch_add(1) + 1;
  if (HostProcess* p = AsProcess(Object)) return p->refs.fetch_add(1) + 1;
  ReportVerifierFailure("ObReferenceObject", "not an object this machine counts references of", 0x00000018);
  return 0;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  if (HostThread* t = AsThread(Object)) {
    long left = t->refs.load() - 1;
    if (left < 0) {
      ReportVerifierFailure("ObDereferenceObject", "thread object without references", 0x00000018);
      return 0;
    }
    ReleaseThread(t);
    return left;
  }
  if (HostProcess* p = AsProcess(Object)) {
    long left = p->refs.load() - 1;
    ReleaseProcess(p);
    return left;
  }
  ReportVerifierFailure("ObDereferenceObject", "not an object this machine counts references of", 0x00000018);
  return 0;
}

NTSTATUS ZwClose(HANDLE Handle) {
  CheckIrqlAtMost("ZwClose", PASSIVE_LEVEL);
  return CloseHandle(Handle);
}
