// An application's named mappings as the kernel sees them: the driver opens and maps by
// its "\BaseNamedObjects\" name what the application created, and the name goes with the
// creator's last handle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "platform/win32/file_mapping.h"

namespace {

namespace pk = platform::kernel;

class FileMappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    ns_ = "vorlix.win32test." + std::to_string(::getpid()) + ".";
    ::setenv("VORLIX_SECTION_NAMESPACE", ns_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VORLIX_SECTION_NAMESPACE");
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
  }
  static NTSTATUS KernelOpen(const char16_t* name, HANDLE* h) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenSection(h, SECTION_MAP_READ, &oa);
  }
  std::string ns_;
};

TEST_F(FileMappingTest, TheDriverSeesWhatTheApplicationWrote) {
  HANDLE m = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 10000, u"Global\\VORLIX.MAP.A");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  auto* p = static_cast<char*>(MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(p, nullptr);
  std::memcpy(p + 9990, "0123456789", 10);

  HANDLE section = nullptr;
  ASSERT_EQ(KernelOpen(u"\\BaseNamedObjects\\VORLIX.MAP.A", &section), STATUS_SUCCESS);
  PVOID view = nullptr;
  SIZE_T size = 0;
  LARGE_INTEGER offset{};
  ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &view, 0, 80, &offset, &size, ViewShare, 0, PAGE_READWRITE),
            STATUS_SUCCESS);
  EXPECT_EQ(size, 3u * PAGE_SIZE);
  EXPECT_EQ(std::memcmp(static_cast<char*>(view) + 9990, "0123456789", 10), 0);
  EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), view), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(section), STATUS_SUCCESS);

  // The same name again opens the mapping; a larger size than it has is refused.
  HANDLE again = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100, u"VORLIX.MAP.A");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 20000, u"Local\\VORLIX.MAP.A"),
            nullptr);
  EXPECT_TRUE(CloseHandle(m));
  // Still named while the second handle is open.
  ASSERT_EQ(KernelOpen(u"\\BaseNamedObjects\\VORLIX.MAP.A", &section), STATUS_SUCCESS);
  ZwClose(section);
  EXPECT_TRUE(CloseHandle(again));
  EXPECT_EQ(KernelOpen(u"\\BaseNamedObjects\\VORLIX.MAP.A", &section), STATUS_OBJECT_NAME_NOT_FOUND);
  // The view keeps its memory until it is unmapped.
  EXPECT_EQ(std::memcmp(p + 9990, "0123456789", 10), 0);
  EXPECT_TRUE(UnmapViewOfFile(p));
  EXPECT_FALSE(UnmapViewOfFile(p));
}

TEST_F(FileMappingTest, BadRequests) {
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, u"VORLIX.MAP.B"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64, u"a\\b"), nullptr);
  EXPECT_EQ(CreateFileMappingW((HANDLE)8, nullptr, PAGE_READWRITE, 0, 64, u"VORLIX.MAP.B"), nullptr);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, u"VORLIX.MAP.NONE"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  HANDLE ro = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 64, u"VORLIX.MAP.B");
  ASSERT_NE(ro, nullptr);
  EXPECT_EQ(MapViewOfFile(ro, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(MapViewOfFile(ro, FILE_MAP_READ, 0, 4096, 0), nullptr) << "offset not on 64 KB";
  EXPECT_EQ(MapViewOfFile(ro, FILE_MAP_READ, 0, 0, 65), nullptr) << "beyond the mapping";
  void* v = MapViewOfFile(ro, FILE_MAP_READ, 0, 0, 0);
  EXPECT_NE(v, nullptr);
  EXPECT_TRUE(UnmapViewOfFile(v));
  EXPECT_TRUE(CloseHandle(ro));
  EXPECT_FALSE(CloseHandle(ro));
}

}  // namespace
