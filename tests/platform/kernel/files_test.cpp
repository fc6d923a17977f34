// Files on drive C:, which is a host folder; names ignore case as on Windows.
#include <fstream>

#include "platform/kernel/handles.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace fs = std::filesystem;
namespace pk = platform::kernel;

namespace {

class FilesTest : public vorlix_test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    fs::path dir = pk::DriveFolder('C') / "Windows" / "Vorlix";
    fs::create_directories(dir);
    std::ofstream(dir / "vorlix.hd.hex", std::ios::binary) << "0123456789";
  }

  NTSTATUS Open(const char16_t* name, HANDLE* h, ULONG disposition = FILE_OPEN, ACCESS_MASK access = GENERIC_READ) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    return ZwCreateFile(h, access | SYNCHRONIZE, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, disposition,
                        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  }
};

TEST_F(FilesTest, OpensByKernelNameIgnoringCaseAndReadsToTheEnd) {
  for (const char16_t* name :
       {u"\\??\\C:\\WINDOWS\\VORLIX\\VORLIX.HD.HEX", u"\\DosDevices\\c:\\windows\\vorlix\\Vorlix.Hd.Hex"}) {
    HANDLE h = nullptr;
    ASSERT_EQ(Open(name, &h), STATUS_SUCCESS);
    IO_STATUS_BLOCK io;
    FILE_STANDARD_INFORMATION info;
    ASSERT_EQ(ZwQueryInformationFile(h, &io, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 10);
    char buf[8];
    LARGE_INTEGER at;
    at.QuadPart = 0;
    ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buf, 8, &at, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 8u);
    EXPECT_EQ(std::string(buf, 8), "01234567");
    // From the file pointer: the short rest, then the end.
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buf, 8, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 2u);
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buf, 8, nullptr, nullptr), STATUS_END_OF_FILE);
    EXPECT_EQ(io.Information, 0u);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  }
  EXPECT_EQ(pk::OpenHandleCount("File"), 0u);
}

TEST_F(FilesTest, OpenFailuresAndUnsafeNames) {
  struct Case {
    const char16_t* name;
    NTSTATUS status;
  } cases[] = {
      {u"\\??\\C:\\WINDOWS\\VORLIX\\MISSING.BIN", STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\??\\C:\\NOWHERE\\VORLIX.HD.HEX", STATUS_OBJECT_PATH_NOT_FOUND},
      {u"\\??\\C:\\WINDOWS\\..\\..\\etc\\passwd", STATUS_OBJECT_PATH_NOT_FOUND},
      {u"\\??\\Q:\\FILE", STATUS_OBJECT_PATH_NOT_FOUND},
      {u"C:\\WINDOWS\\VORLIX\\VORLIX.HD.HEX", STATUS_OBJECT_PATH_NOT_FOUND},
      {u"\\??\\C:\\WINDOWS\\VORLIX", STATUS_FILE_IS_A_DIRECTORY},
  };
  for (const Case& c : cases) {
    HANDLE h = (HANDLE)1;
    EXPECT_EQ(Open(c.name, &h), c.status) << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
    EXPECT_EQ(h, nullptr);
  }
}

TEST_F(FilesTest, InjectedFailures) {
  HANDLE h = nullptr;
  pk::FailNthFileOperation(pk::FileOp::Create, 1, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Open(u"\\??\\C:\\WINDOWS\\VORLIX\\VORLIX.HD.HEX", &h), STATUS_ACCESS_DENIED);
  ASSERT_EQ(Open(u"\\??\\C:\\WINDOWS\\VORLIX\\VORLIX.HD.HEX", &h), STATUS_SUCCESS);
  pk::FailNthFileOperation(pk::FileOp::Read, 2, STATUS_IO_DEVICE_ERROR);
  IO_STATUS_BLOCK io;
  char buf[4];
  EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buf, 4, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buf, 4, nullptr, nullptr), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(io.Status, STATUS_IO_DEVICE_ERROR);
  ZwClose(h);
}

TEST_F(FilesTest, CreatesAndWritesFiles) {
  HANDLE h = nullptr;
  const char16_t* name = u"\\??\\C:\\WINDOWS\\VORLIX\\OUT.BIN";
  ASSERT_EQ(Open(name, &h, FILE_CREATE, GENERIC_WRITE), STATUS_SUCCESS);
  IO_STATUS_BLOCK io;
  char data[] = "frame";
  EXPECT_EQ(ZwWriteFile(h, nullptr, nullptr, nullptr, &io, data, 5, nullptr, nullptr), STATUS_SUCCESS);
  ZwClose(h);
  EXPECT_EQ(Open(name, &h, FILE_CREATE, GENERIC_WRITE), STATUS_OBJECT_NAME_COLLISION);
  ASSERT_EQ(Open(name, &h), STATUS_SUCCESS);
  EXPECT_EQ(ZwWriteFile(h, nullptr, nullptr, nullptr, &io, data, 5, nullptr, nullptr), STATUS_ACCESS_DENIED)
      << "opened for reading only";
  ZwClose(h);
  EXPECT_EQ(fs::file_size(pk::DriveFolder('C') / "Windows" / "Vorlix" / "OUT.BIN"), 5u);
}

}  // namespace
