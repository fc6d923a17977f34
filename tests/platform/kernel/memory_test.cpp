// Named sections (POSIX shared memory), per-process views, and MDLs over a view.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/kernel/handles.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

// A producer's shared memory, as another process would create it.
class SectionTest : public vorlix_test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    leaf_ = "VORLIX.TEST.SECTION." + std::to_string(::getpid());
    int fd = ::shm_open(("/" + leaf_).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kSize), 0);
    void* p = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(p, MAP_FAILED);
    std::memcpy(p, "HEADER", 6);
    ::munmap(p, kSize);
    ::close(fd);
    name_ = u"\\BaseNamedObjects\\" + std::u16string(leaf_.begin(), leaf_.end());
  }
  void TearDown() override {
    ::shm_unlink(("/" + leaf_).c_str());
    KernelTest::TearDown();
  }

  HANDLE OpenSection() {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, name_.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE h = nullptr;
    EXPECT_EQ(ZwOpenSection(&h, SECTION_MAP_READ, &oa), STATUS_SUCCESS);
    return h;
  }

  PVOID MapView(HANDLE section, SIZE_T* size) {
    PVOID base = nullptr;
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    *size = 0;
    EXPECT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 80, &offset, size, ViewShare, 0,
                                 PAGE_READWRITE | PAGE_NOCACHE),
              STATUS_SUCCESS);
    return base;
  }

  static constexpr size_t kSize = 65536;
  std::string leaf_;
  std::u16string name_;
};

TEST_F(SectionTest, ViewShowsTheProducersBytesAndBelongsToItsProcess) {
  PEPROCESS app = pk::CreateUserProcess("app");
  HANDLE section = OpenSection();
  SIZE_T size = 0;
  PVOID view;
  {
    pk::ScopedProcess in(app);
    view = MapView(section, &size);
  }
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(size, kSize);
  EXPECT_EQ(std::memcmp(view, "HEADER", 6), 0);
  EXPECT_EQ(pk::MappedViewCount(), 1u);

  // The system process (the Plug and Play path) cannot unmap the application's view.
  EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), view), STATUS_NOT_MAPPED_VIEW);
  auto failures = pk::TakeVerifierFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].call, "ZwUnmapViewOfSection");

  // Attached to the application's process it can.
  KAPC_STATE apc;
  KeStackAttachProcess(app, &apc);
  EXPECT_EQ(PsGetCurrentProcess(), app);
  EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), view), STATUS_SUCCESS);
  KeUnstackDetachProcess(&apc);
  EXPECT_EQ(PsGetCurrentProcess(), pk::SystemProcess());
  EXPECT_EQ(pk::MappedViewCount(), 0u);
  EXPECT_EQ(ZwClose(section), STATUS_SUCCESS);
  pk::EndUserProcess(app);
}

TEST_F(SectionTest, EndingTheProcessUnmapsItsViews) {
  PEPROCESS app = pk::CreateUserProcess("producer");
  HANDLE section = OpenSection();
  SIZE_T size;
  {
    pk::ScopedProcess in(app);
    MapView(section, &size);
  }
  ZwClose(section);
  EXPECT_EQ(pk::MappedViewCount(), 1u);
  pk::EndUserProcess(app);
  EXPECT_EQ(pk::MappedViewCount(), 0u);
}

TEST_F(SectionTest, MissingSectionAndBadNames) {
  struct Case {
    const char16_t* name;
    NTSTATUS status;
  } cases[] = {
      {u"\\BaseNamedObjects\\VORLIX.NO.SUCH.SECTION", STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\BaseNamedObjects\\a\\b", STATUS_OBJECT_NAME_INVALID},
      {u"\\Device\\Something", STATUS_OBJECT_NAME_INVALID},
  };
  for (const Case& c : cases) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, c.name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &u, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE h = (HANDLE)1;
    EXPECT_EQ(ZwOpenSection(&h, SECTION_MAP_READ, &oa), c.status);
    EXPECT_EQ(h, nullptr);
  }
}

TEST_F(SectionTest, MdlLocksAndMapsTheView) {
  HANDLE section = OpenSection();
  SIZE_T size;
  PVOID view = MapView(section, &size);
  PMDL mdl = IoAllocateMdl(view, (ULONG)size, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  MmProbeAndLockPages(mdl, UserMode, IoModifyAccess);
  EXPECT_EQ(pk::LockedMdlCount(), 1u);
  PVOID system = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  ASSERT_NE(system, nullptr);
  EXPECT_EQ(std::memcmp(system, "HEADER", 6), 0);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), system) << "already mapped";
  MmUnmapLockedPages(system, mdl);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  EXPECT_EQ(pk::LockedMdlCount(), 0u);

  // A failed mapping, and an MDL freed with its pages still locked.
  mdl = IoAllocateMdl(view, (ULONG)size, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(mdl, UserMode, IoModifyAccess);
  pk::FailNthMdlMapping(1);
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
  IoFreeMdl(mdl);
  auto failures = pk::TakeVerifierFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].call, "IoFreeMdl");
  EXPECT_EQ(pk::LockedMdlCount(), 0u);

  // The MDL itself comes from the pool and can fail.
  pk::FailAllocationsWithTag(MakePoolTag("Mdl "), 1);
  EXPECT_EQ(IoAllocateMdl(view, 16, FALSE, FALSE, nullptr), nullptr);

  EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), view), STATUS_SUCCESS);
  ZwClose(section);
}

TEST_F(SectionTest, LockedPagesOutliveTheProducersView) {
  PEPROCESS producer = pk::CreateUserProcess("producer");
  HANDLE section = OpenSection();
  SIZE_T size;
  PVOID view;
  PMDL mdl;
  {
    pk::ScopedProcess in(producer);
    view = MapView(section, &size);
    mdl = IoAllocateMdl(view, (ULONG)size, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    ASSERT_EQ(MmProbeAndLockPages(mdl, UserMode, IoModifyAccess), STATUS_SUCCESS);
  }
  auto* system = static_cast<char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  ASSERT_NE(system, nullptr);
  EXPECT_NE(static_cast<void*>(system), view) << "the system mapping is a mapping of its own";

  // The producer goes away: its view is gone, the driver's pages are not, and they are
  // still the section's pages (a write through another mapping shows through).
  pk::EndUserProcess(producer);
  EXPECT_EQ(pk::MappedViewCount(), 0u);
  EXPECT_EQ(std::memcmp(system, "HEADER", 6), 0);
  int fd = ::shm_open(("/" + leaf_).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  void* other = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  ASSERT_NE(other, MAP_FAILED);
  std::memcpy(static_cast<char*>(other) + kSize - 4, "TAIL", 4);
  EXPECT_EQ(std::memcmp(system + kSize - 4, "TAIL", 4), 0);
  ::munmap(other, kSize);

  MmUnmapLockedPages(system, mdl);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  EXPECT_EQ(pk::LockedMdlCount(), 0u);
  EXPECT_EQ(ZwClose(section), STATUS_SUCCESS);
  EXPECT_TRUE(pk::TakeVerifierFailures().empty());
}

// A section never shrinks; a POSIX object can, under the driver's feet. Nothing is mapped
// or locked beyond what the object holds now, and a system mapping whose pages are taken
// away afterwards keeps its size: the lost tail reads as zeros, never a bus error.
TEST_F(SectionTest, AShrunkObjectIsNeverReadBeyondItsEnd) {
  auto shrink = [&](off_t bytes) {
    int fd = ::shm_open(("/" + leaf_).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, bytes), 0);
    ::close(fd);
  };
  HANDLE section = OpenSection();
  SIZE_T size;
  PVOID view = MapView(section, &size);
  ASSERT_EQ(size, kSize);
  PMDL mdl = IoAllocateMdl(view, (ULONG)size, FALSE, FALSE, nullptr);
  ASSERT_EQ(MmProbeAndLockPages(mdl, UserMode, IoModifyAccess), STATUS_SUCCESS);
  auto* system = static_cast<volatile char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  ASSERT_NE(system, nullptr);

  // The producer keeps one page and a bit: the first two pages still read as written,
  // the rest as zeros, and the mapping is read through to its last byte.
  ASSERT_NO_FATAL_FAILURE(shrink(PAGE_SIZE + 100));
  const uint64_t faultsBefore = pk::LostSectionTailFaults();
  EXPECT_EQ(system[0], 'H');
  size_t nonZero = 0;
  for (size_t i = 2 * PAGE_SIZE; i < kSize; i++) nonZero += system[i] != 0;
  EXPECT_EQ(nonZero, 0u);
  EXPECT_EQ(pk::LostSectionTailFaults(), faultsBefore + 1) << "one fault replaces the whole lost tail";
  system[kSize - 1] = 7;  // and it can be written, as the mapping's protection says
  EXPECT_EQ(system[kSize - 1], 7);
  MmUnmapLockedPages((PVOID)system, mdl);

  // Mapping the locked pages again, locking them again or a new view of the old size:
  // refused, they are not there any more.
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
  MmUnlockPages(mdl);
  EXPECT_EQ(MmProbeAndLockPages(mdl, UserMode, IoModifyAccess), STATUS_ACCESS_VIOLATION);
  IoFreeMdl(mdl);
  PVOID second = nullptr;
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  SIZE_T oldSize = kSize;
  EXPECT_EQ(
      ZwMapViewOfSection(section, NtCurrentProcess(), &second, 0, 0, &offset, &oldSize, ViewShare, 0, PAGE_READWRITE),
      STATUS_INVALID_PARAMETER);
  SIZE_T whole = 0;
  ASSERT_EQ(
      ZwMapViewOfSection(section, NtCurrentProcess(), &second, 0, 0, &offset, &whole, ViewShare, 0, PAGE_READWRITE),
      STATUS_SUCCESS);
  EXPECT_EQ(whole, 2 * PAGE_SIZE) << "a view of what the object holds now";
  EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), second), STATUS_SUCCESS);
  EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), view), STATUS_SUCCESS);
  ZwClose(section);
  EXPECT_EQ(pk::LockedMdlCount(), 0u);
  EXPECT_TRUE(pk::TakeVerifierFailures().empty());
}

TEST_F(SectionTest, PageLockFailuresAreStatuses) {
  PEPROCESS producer = pk::CreateUserProcess("producer");
  HANDLE section = OpenSection();
  SIZE_T size;
  PVOID view;
  {
    pk::ScopedProcess in(producer);
    view = MapView(section, &size);
  }
  struct Case {
    const char* name;
    ULONG_PTR offset;
    ULONG length;
    bool inProducer;
    uint64_t inject;
    NTSTATUS status;
  } cases[] = {
      {"whole view, in its process", 0, (ULONG)kSize, true, 0, STATUS_SUCCESS},
      {"a page inside, in its process", PAGE_SIZE + 8, 100, true, 0, STATUS_SUCCESS},
      {"another process's view", 0, (ULONG)kSize, false, 0, STATUS_ACCESS_VIOLATION},
      {"running past the view", PAGE_SIZE, (ULONG)kSize, true, 0, STATUS_ACCESS_VIOLATION},
      {"nothing to lock", 0, 0, true, 0, STATUS_ACCESS_VIOLATION},
      {"no resources to lock", 0, 64, true, 1, STATUS_WORKING_SET_QUOTA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pk::ScopedProcess in(c.inProducer ? producer : pk::SystemProcess());
    PMDL mdl = IoAllocateMdl(static_cast<PUCHAR>(view) + c.offset, c.length, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    if (c.inject) pk::FailNthMdlLock(c.inject);
    EXPECT_EQ(MmProbeAndLockPages(mdl, UserMode, IoModifyAccess), c.status);
    EXPECT_EQ(pk::LockedMdlCount(), c.status == STATUS_SUCCESS ? 1u : 0u);
    if (c.status == STATUS_SUCCESS) {
      auto* system = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
      ASSERT_NE(system, nullptr);
      EXPECT_EQ(std::memcmp(system, static_cast<PUCHAR>(view) + c.offset, c.length), 0);
      MmUnlockPages(mdl);  // unmaps the system view too
    }
    IoFreeMdl(mdl);
  }
  EXPECT_TRUE(pk::TakeVerifierFailures().empty());
  pk::EndUserProcess(producer);
  ZwClose(section);
}

TEST(SectionNames, HostNamesCarryTheMachinesNamespace) {
  std::string host;
  ::unsetenv("VORLIX_SECTION_NAMESPACE");
  ASSERT_TRUE(pk::SectionHostName(u"DRAV.VCAM.V.SHARE.MEMORY.00", &host));
  EXPECT_EQ(host, "/DRAV.VCAM.V.SHARE.MEMORY.00");
  ::setenv("VORLIX_SECTION_NAMESPACE", "run42.", 1);
  ASSERT_TRUE(pk::SectionHostName(u"DRAV.VCAM.A.SHARE.MEMORY.04", &host));
  EXPECT_EQ(host, "/run42.DRAV.VCAM.A.SHARE.MEMORY.04");
  ::unsetenv("VORLIX_SECTION_NAMESPACE");
  EXPECT_FALSE(pk::SectionHostName(u"", &host));
  EXPECT_FALSE(pk::SectionHostName(u"a/b", &host));
  EXPECT_FALSE(pk::SectionHostName(std::u16string(201, u'x'), &host));
}

}  // namespace
