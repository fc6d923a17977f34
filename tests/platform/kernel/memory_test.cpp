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

}  // namespace
