#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"

namespace pk = platform::kernel;
namespace fs = std::filesystem;

namespace {

UNICODE_STRING Name(const char16_t* s) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, s);
  return u;
}

// The text of a UTF-16LE export, as UTF-8 with LF line ends, for comparing by eye.
std::string ExportAsText() {
  std::string bytes, error;
  EXPECT_TRUE(pk::RegistryExport(&bytes, &error)) << error;
  EXPECT_GE(bytes.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xFE);
  std::u16string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    text.push_back(
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  std::string out;
  for (char c : pk::RegistryNarrow(text))
    if (c != '\r') out.push_back(c);
  return out;
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::RegistryReset();
    pdo_.HostInstance = 3;
    dir_ = fs::temp_directory_path() / ("registry_test." + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    EXPECT_EQ(pk::RegistryOpenKeyCount(), 0u);
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
    pk::RegistryReset();
    fs::remove_all(dir_);
  }
  HANDLE OpenDriverKey(ACCESS_MASK access = KEY_ALL_ACCESS) {
    HANDLE h = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, access, &h), STATUS_SUCCESS);
    return h;
  }
  std::u16string DriverKey() const { return pk::RegistryDriverKeyPath(pdo_.HostInstance); }

  DEVICE_OBJECT pdo_{};
  fs::path dir_;
};

TEST_F(Registry, DriverKeyFollowsTheBoardInstanceAndIsCreatedOnFirstOpen) {
  EXPECT_EQ(DriverKey(),
            u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
            u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0003");
  EXPECT_FALSE(pk::RegistryKeyExists(DriverKey()));
  HANDLE h = OpenDriverKey();
  EXPECT_TRUE(pk::RegistryKeyExists(DriverKey()));
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

  HANDLE unused;
  EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &unused), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoOpenDeviceRegistryKey(nullptr, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &unused),
            STATUS_INVALID_PARAMETER);
}

TEST_F(Registry, FreshStoreHoldsTheVersionKey) {
  UNICODE_STRING keyName = Name(pk::kRegistryVersionKey);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE h;
  ASSERT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_SUCCESS);
  UNICODE_STRING value = Name(u"currentversion");  // names ignore case
  alignas(8) UCHAR buffer[128];
  ULONG got = 0;
  ASSERT_EQ(ZwQueryValueKey(h, &value, KeyValueFullInformation, buffer, sizeof buffer, &got), STATUS_SUCCESS);
  auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
  EXPECT_EQ(info->Type, ULONG(REG_SZ));
  EXPECT_EQ(info->DataLength, 8u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer + info->DataOffset)), u"6.1");
  // The stored name keeps its own case.
  EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), u"CurrentVersion");
  // A read-only handle cannot write.
  ULONG d = 1;
  EXPECT_EQ(ZwSetValueKey(h, &value, 0, REG_DWORD, &d, 4), (NTSTATUS)0xC0000022L);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

  UNICODE_STRING missing = Name(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Nobody");
  InitializeObjectAttributes(&oa, &missing, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Registry, OpenRelativeToAnOpenKey) {
  pk::RegistryCreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT");
  UNICODE_STRING parent = Name(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &parent, 0, nullptr, nullptr);
  HANDLE root, child;
  ASSERT_EQ(ZwOpenKey(&root, KEY_READ, &oa), STATUS_SUCCESS);
  UNICODE_STRING rel = Name(u"CurrentVersion");
  InitializeObjectAttributes(&oa, &rel, 0, root, nullptr);
  ASSERT_EQ(ZwOpenKey(&child, KEY_READ, &oa), STATUS_SUCCESS);
  ZwClose(child);
  ZwClose(root);
}

// The full-information record: fixed part 24 bytes, name and terminator, data at
// 24 + 2 x (characters + 1); the statuses the driver's buffer arithmetic relies on.
TEST_F(Registry, FullInformationRecordAndBufferSizes) {
  const char16_t* valueName = u"Gop";  // 3 characters: data offset 32
  const ULONG dataOffset = 24 + 2 * (3 + 1);
  struct Case {
    size_t dataBytes;
    ULONG bufferLength;
    NTSTATUS expected;
  } cases[] = {
      {4, 0, STATUS_BUFFER_TOO_SMALL},
      {4, 23, STATUS_BUFFER_TOO_SMALL},
      {4, 24, STATUS_BUFFER_OVERFLOW},
      {4, dataOffset + 3, STATUS_BUFFER_OVERFLOW},
      {4, dataOffset + 4, STATUS_SUCCESS},
      {5, dataOffset + 4, STATUS_BUFFER_OVERFLOW},  // a 32-bit read of a longer value
      {2, dataOffset + 4, STATUS_SUCCESS},
      {0, dataOffset, STATUS_SUCCESS},
      {512, dataOffset + 512, STATUS_SUCCESS},
      {514, dataOffset + 512, STATUS_BUFFER_OVERFLOW},
  };
  HANDLE h = OpenDriverKey();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "data " << c.dataBytes << " buffer " << c.bufferLength);
    std::vector<UCHAR> data(c.dataBytes);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(0xA0 + i);
    UNICODE_STRING name = Name(valueName);
    ASSERT_EQ(ZwSetValueKey(h, &name, 0, REG_BINARY, data.data(), static_cast<ULONG>(data.size())), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(c.bufferLength + 1, 0xEE);
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValueFullInformation, c.bufferLength ? buffer.data() : nullptr,
                              c.bufferLength, &result),
              c.expected);
    EXPECT_EQ(result, dataOffset + c.dataBytes);
    EXPECT_EQ(buffer[c.bufferLength], 0xEE) << "wrote past the buffer";
    if (c.expected == STATUS_BUFFER_TOO_SMALL) continue;
    KEY_VALUE_FULL_INFORMATION info;
    std::memcpy(&info, buffer.data(), 20);
    EXPECT_EQ(info.Type, ULONG(REG_BINARY));
    EXPECT_EQ(info.DataOffset, dataOffset);
    EXPECT_EQ(info.DataLength, c.dataBytes);
    EXPECT_EQ(info.NameLength, 6u);
    if (c.expected == STATUS_BUFFER_OVERFLOW) {
      for (ULONG i = 24; i < c.bufferLength; ++i) ASSERT_EQ(buffer[i], 0xEE) << "data written at " << i;
      continue;
    }
    EXPECT_EQ(std::memcmp(buffer.data() + 20, u"Gop", 8), 0);  // with its terminator
    if (!data.empty()) {
      EXPECT_EQ(std::memcmp(buffer.data() + dataOffset, data.data(), data.size()), 0);
    }
  }
  UNICODE_STRING missing = Name(u"Missing");
  UCHAR buffer[64];
  ULONG result;
  EXPECT_EQ(ZwQueryValueKey(h, &missing, KeyValueFullInformation, buffer, sizeof buffer, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(h);
}

TEST_F(Registry, AccessLogNamesEveryCall) {
  HANDLE h = OpenDriverKey();
  UNICODE_STRING name = Name(u"Value\\");
  ULONG d = 7;
  ZwSetValueKey(h, &name, 0, REG_DWORD, &d, 4);
  UCHAR buffer[64];
  ULONG result;
  ZwQueryValueKey(h, &name, KeyValueFullInformation, buffer, sizeof buffer, &result);
  ZwClose(h);
  auto log = pk::RegistryAccessLog();
  ASSERT_EQ(log.size(), 4u);
  const pk::RegistryOperation ops[] = {pk::RegistryOperation::Open, pk::RegistryOperation::Set,
                                       pk::RegistryOperation::Query, pk::RegistryOperation::Close};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(log[i].op, ops[i]);
    EXPECT_EQ(log[i].key, DriverKey());
    EXPECT_EQ(log[i].status, STATUS_SUCCESS);
  }
  EXPECT_EQ(log[1].value, u"Value\\");
  EXPECT_EQ(log[2].value, u"Value\\");
}

TEST_F(Registry, InjectedFaults) {
  const NTSTATUS kFail = (NTSTATUS)0xC0000022L;
  struct Case {
    const char* what;
    pk::RegistryOperation op;
    pk::RegistryFault fault;
    std::vector<int> failingCalls;  // of calls 1..12
  } cases[] = {
      {"every open", pk::RegistryOperation::Open, {0, 1, 0, kFail}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {"third query once", pk::RegistryOperation::Query, {2, 1, 1, kFail}, {3}},
      {"every 5th set", pk::RegistryOperation::Set, {4, 5, 0, kFail}, {5, 10}},
      {"two sets after the first", pk::RegistryOperation::Set, {1, 1, 2, kFail}, {2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    pk::RegistryReset();
    pk::RegistryInjectFault(c.op, c.fault);
    std::vector<int> failed;
    for (int call = 1; call <= 12; ++call) {
      HANDLE h = nullptr;
      NTSTATUS open = IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h);
      NTSTATUS status = open;
      if (NT_SUCCESS(open)) {
        UNICODE_STRING name = Name(u"V");
        ULONG d = 1;
        if (c.op == pk::RegistryOperation::Set) {
          status = ZwSetValueKey(h, &name, 0, REG_DWORD, &d, 4);
        } else if (c.op == pk::RegistryOperation::Query) {
          pk::RegistrySetDword(DriverKey(), u"V", 1);
          UCHAR buffer[64];
          ULONG result;
          status = ZwQueryValueKey(h, &name, KeyValueFullInformation, buffer, sizeof buffer, &result);
        }
        ZwClose(h);
      }
      if (status == kFail) failed.push_back(call);
    }
    EXPECT_EQ(failed, c.failingCalls);
  }
}

// ---- The registry file ----------------------------------------------------------------

TEST_F(Registry, ExportIsARegistryEditorFile) {
  pk::RegistryReset();
  pk::RegistryDeleteKey(pk::kRegistryVersionKey);
  std::u16string key = DriverKey();
  pk::RegistrySetDword(key, u"CustomEncoderVideoGopPropertyA", 0x3C);
  pk::RegistrySetDword(key, u"CustomEncoderVideoGopProperty\\", 45);  // channel 27
  pk::RegistrySetDword(key, u"CustomEncoderVideoGopProperty[", 46);   // channel 26
  pk::RegistrySetDword(key, u"Say \"hi\"]", 0xFFFFFFFF);
  pk::RegistrySetString(key, u"CustomDeviceInfoDirectoryProperty", u"\\??\\C:\\WINDOWS\\VORLIX\\");
  UCHAR bin[3] = {0x01, 0xAB, 0xFF};
  pk::RegistrySetValue(key, u"Bin", REG_BINARY, bin, 3);
  pk::RegistrySetValue(key, u"", REG_SZ, u"x", 4);
  pk::RegistrySetValue(key, u"Short", REG_DWORD, bin, 2);
  std::vector<UCHAR> longer(40, 0x11);
  pk::RegistrySetValue(key, u"Long", REG_BINARY, longer.data(), longer.size());

  EXPECT_EQ(
      ExportAsText(),
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0003]\n"
      "\"CustomEncoderVideoGopPropertyA\"=dword:0000003c\n"
      "\"CustomEncoderVideoGopProperty\\\\\"=dword:0000002d\n"
      "\"CustomEncoderVideoGopProperty[\"=dword:0000002e\n"
      "\"Say \\\"hi\\\"]\"=dword:ffffffff\n"
      "\"CustomDeviceInfoDirectoryProperty\"=\"\\\\??\\\\C:\\\\WINDOWS\\\\VORLIX\\\\\"\n"
      "\"Bin\"=hex:01,ab,ff\n"
      "@=\"x\"\n"
      "\"Short\"=hex(4):01,ab\n"
      "\"Long\"=hex:11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,\\\n"
      "  11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11\n"
      "\n");
}

TEST_F(Registry, ExportImportRoundTripKeepsEveryValue) {
  std::u16string key = DriverKey();
  // Names the per-channel rule produces past 'Z', and names the format must escape.
  const char16_t* names[] = {u"GopProperty[", u"GopProperty\\", u"GopProperty]",
                             u"GopProperty^", u"GopProperty_",  u"GopProperty`",
                             u"\"quoted\"",   u"\\\\",          u"",
                             u"a=b;c"};
  ULONG n = 1;
  for (const char16_t* name : names) pk::RegistrySetDword(key, name, n++);
  pk::RegistrySetValue(key, u"Unterminated", REG_SZ, u"abc", 6);
  pk::RegistrySetValue(key, u"Odd", REG_SZ, "abc", 3);
  pk::RegistrySetValue(key, u"Text with line", REG_SZ, u"a\r\nb", 10);
  ULONGLONG q = 0x0123456789ABCDEFull;
  pk::RegistrySetValue(key, u"Q", REG_QWORD, &q, 8);
  pk::RegistrySetValue(key, u"Empty", REG_BINARY, nullptr, 0);
  std::vector<UCHAR> big(1000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<UCHAR>(i * 7);
  pk::RegistrySetValue(key, u"Big", REG_BINARY, big.data(), big.size());
  pk::RegistryCreateKey(u"\\REGISTRY\\USER\\Empty Key");

  std::string first, second, error;
  ASSERT_TRUE(pk::RegistryExport(&first, &error)) << error;
  auto before = pk::RegistryValues(key);
  auto keysBefore = pk::RegistryKeys();
  pk::RegistryReset();
  ASSERT_TRUE(pk::RegistryImport(first, "round", &error)) << error;
  EXPECT_EQ(pk::RegistryKeys(), keysBefore);
  auto after = pk::RegistryValues(key);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    SCOPED_TRACE(pk::RegistryNarrow(before[i].name));
    EXPECT_EQ(after[i].name, before[i].name);
    EXPECT_EQ(after[i].type, before[i].type);
    EXPECT_EQ(after[i].data, before[i].data);
  }
  ASSERT_TRUE(pk::RegistryExport(&second, &error)) << error;
  EXPECT_EQ(first, second);
}

TEST_F(Registry, ImportsHandWrittenUtf8WithContinuationsAndComments) {
  std::string text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
      "; a comment\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
      "\"CurrentVersion\"=\"6.3\"\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
      "  \"Split\"=hex:01,02,\\\n"
      "    03,04\n"
      "\"Dword\"=dword:1F\n"
      "\"Gone\"=dword:1\n"
      "\"Gone\"=-\n"
      "\"Caf\xC3\xA9\"=hex(7):41,00,00,00,00,00\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Removed]\n";
  std::string error;
  ASSERT_TRUE(pk::RegistryImport(text, "hand.reg", &error)) << error;
  auto version = pk::RegistryGetValue(pk::kRegistryVersionKey, u"CurrentVersion");
  ASSERT_TRUE(version);
  EXPECT_EQ(version->data.size(), 8u);
  auto split = pk::RegistryGetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test", u"Split");
  ASSERT_TRUE(split);
  EXPECT_EQ(split->data, (std::vector<uint8_t>{1, 2, 3, 4}));
  auto dword = pk::RegistryGetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test", u"dword");
  ASSERT_TRUE(dword);
  EXPECT_EQ(dword->data, (std::vector<uint8_t>{0x1F, 0, 0, 0}));
  EXPECT_FALSE(pk::RegistryGetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test", u"Gone"));
  auto multi = pk::RegistryGetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test", u"Caf\u00e9");
  ASSERT_TRUE(multi);
  EXPECT_EQ(multi->type, ULONG(REG_MULTI_SZ));
}

TEST_F(Registry, MalformedFilesAreRefusedNamingTheLineAndChangeNothing) {
  const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n";
  struct Case {
    std::string text;
    const char* where;
  } cases[] = {
      {"", "bad.reg:1:"},
      {"REGEDIT5\r\n", "bad.reg:1:"},
      {"Windows Registry Editor Version 5.00\r\n\"v\"=dword:1\r\n", "bad.reg:2:"},
      {head + "\"v\"=dword:123456789\r\n", "bad.reg:4:"},
      {head + "\"v\"=dword:12g\r\n", "bad.reg:4:"},
      {head + "\"v\"=dword:\r\n", "bad.reg:4:"},
      {head + "\"v\"=hex:1,2,zz\r\n", "bad.reg:4:"},
      {head + "\"v\"=hex:123\r\n", "bad.reg:4:"},
      {head + "\"v\"=hex(:00\r\n", "bad.reg:4:"},
      {head + "\"v\"=hex:00,\\\r\n", "bad.reg:4:"},
      {head + "\"v\"=hex:00,\\\r\n  ff\r\n\"w\"=qword:1\r\n", "bad.reg:6:"},
      {head + "\"v\"=\"open\r\n", "bad.reg:4:"},
      {head + "\"v\"=\"a\\qb\"\r\n", "bad.reg:4:"},
      {head + "\"v\"=\"a\" trailing\r\n", "bad.reg:4:"},
      {head + "\"v\\\"=dword:1\r\n", "bad.reg:4:"},
      {head + "\"v\" dword:1\r\n", "bad.reg:4:"},
      {head + "v=dword:1\r\n", "bad.reg:4:"},
      {head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\r\n", "bad.reg:4:"},
      {head + "[HKEY_CLASSES_ROOT\\T]\r\n", "bad.reg:4:"},
      {head + "[HKEY_LOCAL_MACHINE\\\\T]\r\n", "bad.reg:4:"},
      {std::string("\xFF\xFEW\0", 5), "bad.reg:1:"},
      {std::string("\xFE\xFF\0W", 4), "bad.reg:1:"},
      {"Windows Registry Editor Version 5.00\r\n\xC3\x28\r\n", "bad.reg:2:"},
      {"Windows Registry Editor Version 5.00\r\n\xE2\x82", "bad.reg:2:"},
      // A fault on a continued line names that line.
      {head + "\"v\"=hex:00,\\\r\n  01,\\\r\n  zz\r\n", "bad.reg:6:"},
      {head + "\"v\"=hex:00,\\\\\r\n  01\r\n", "bad.reg:4:"},
      // Names the writer could not write back.
      {head + "\"a\rb\"=dword:1\r\n", "bad.reg:4:"},
      {head + "\"a\r\"=\"x\"\r\n", "bad.reg:4:"},
      {head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\a\rb]\r\n", "bad.reg:4:"},
      {head + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\T\r]\r\n", "bad.reg:4:"},
  };
  pk::RegistrySetDword(DriverKey(), u"Kept", 5);
  std::string before, error;
  ASSERT_TRUE(pk::RegistryExport(&before, &error));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    error.clear();
    EXPECT_FALSE(pk::RegistryImport(c.text, "bad.reg", &error));
    EXPECT_EQ(error.rfind(c.where, 0), 0u) << error;
    std::string now;
    ASSERT_TRUE(pk::RegistryExport(&now, &error));
    EXPECT_TRUE(now == before) << "the store changed";
  }
}

// Whatever the reader takes, the writer writes back: a carriage return inside a name
// (the one line-break character a line can hold) is refused when read, so a store read
// from a file can always be saved again.
TEST_F(Registry, EveryNameTheReaderTakesTheWriterWrites) {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n"
      "\"carriage\rreturn\"=dword:1\r\n";
  std::string error;
  EXPECT_FALSE(pk::RegistryImport(text, "cr.reg", &error));
  EXPECT_EQ(error, "cr.reg:3: carriage return in a value name");
  text =
      "Windows Registry Editor Version 5.00\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n"
      "\"text\"=\"a\rb\"\r\n"
      "\"tab\tand ]\"=dword:1\r\n"
      "[HKEY_USERS\\x ]y]\r\n";
  ASSERT_TRUE(pk::RegistryImport(text, "ok.reg", &error)) << error;
  std::string saved;
  ASSERT_TRUE(pk::RegistryExport(&saved, &error)) << error;
  ASSERT_TRUE(pk::RegistryImport(saved, "saved.reg", &error)) << error;
  auto v = pk::RegistryGetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\T", u"text");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->type, ULONG(REG_SZ));
  EXPECT_EQ(v->data.size(), 8u);
  EXPECT_TRUE(pk::RegistryGetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\T", u"tab\tand ]"));
  EXPECT_TRUE(pk::RegistryKeyExists(u"\\REGISTRY\\USER\\x ]y"));
}

// A key keeps the case it was created with through a file, its root included: the roots
// are spelt as the machine spells them whatever the caller wrote.
TEST_F(Registry, KeyNameCaseSurvivesTheFile) {
  pk::RegistryCreateKey(u"\\Registry\\Machine\\Software\\MixedCase");
  pk::RegistrySetDword(u"\\registry\\user\\S-1-5\\Lower", u"v", 1);
  UNICODE_STRING name = Name(u"\\registry\\MACHINE\\SYSTEM\\Opened");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, 0, nullptr, nullptr);
  HANDLE h = nullptr;
  // Creation through the driver's own key open.
  ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &h), STATUS_SUCCESS);
  ZwClose(h);
  EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_OBJECT_NAME_NOT_FOUND);
  pk::RegistryCreateKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\Opened");
  ASSERT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_SUCCESS);
  ZwClose(h);
  // Parents are not made up.
  EXPECT_FALSE(pk::RegistryKeyExists(u"\\REGISTRY\\MACHINE\\Software"));

  auto keys = pk::RegistryKeys();
  const std::vector<std::u16string> expected = {
      u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
      u"\\REGISTRY\\MACHINE\\Software\\MixedCase",
      u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0003",
      u"\\REGISTRY\\MACHINE\\SYSTEM\\Opened",
      u"\\REGISTRY\\USER\\S-1-5\\Lower",
  };
  EXPECT_EQ(keys, expected);
  std::string bytes, error;
  ASSERT_TRUE(pk::RegistryExport(&bytes, &error)) << error;
  pk::RegistryReset();
  ASSERT_TRUE(pk::RegistryImport(bytes, "case.reg", &error)) << error;
  EXPECT_EQ(pk::RegistryKeys(), expected);
}

// Removing a key takes the keys below it and no other, however the names sort.
TEST_F(Registry, KeyRemovalTakesExactlyTheSubtree) {
  const char16_t* kept[] = {u"\\REGISTRY\\MACHINE\\A B", u"\\REGISTRY\\MACHINE\\A!",    u"\\REGISTRY\\MACHINE\\AB",
                            u"\\REGISTRY\\MACHINE\\A]",  u"\\REGISTRY\\MACHINE\\a[\\c", u"\\REGISTRY\\MACHINE"};
  for (const char16_t* k : kept) pk::RegistryCreateKey(k);
  for (const char16_t* k : {u"\\REGISTRY\\MACHINE\\A", u"\\REGISTRY\\MACHINE\\A\\B", u"\\REGISTRY\\MACHINE\\a\\b\\c"})
    pk::RegistryCreateKey(k);
  std::string error;
  ASSERT_TRUE(
      pk::RegistryImport("Windows Registry Editor Version 5.00\r\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                         "[HKEY_LOCAL_MACHINE]\r\n[HKEY_LOCAL_MACHINE\\A B]\r\n[HKEY_LOCAL_MACHINE\\A!]\r\n"
                         "[HKEY_LOCAL_MACHINE\\AB]\r\n[HKEY_LOCAL_MACHINE\\A]]\r\n[HKEY_LOCAL_MACHINE\\a[\\c]\r\n"
                         "[HKEY_LOCAL_MACHINE\\A]\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n[HKEY_LOCAL_MACHINE\\a\\b\\c]\r\n"
                         "[-hkey_local_machine\\a]\r\n",
                         "tree.reg", &error))
      << error;
  std::vector<std::u16string> expected(std::begin(kept), std::end(kept));
  expected.push_back(pk::kRegistryVersionKey);
  std::sort(expected.begin(), expected.end(), [](const std::u16string& a, const std::u16string& b) {
    std::u16string fa = a, fb = b;
    for (auto* f : {&fa, &fb})
      for (char16_t& c : *f) c = (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    return fa < fb;
  });
  EXPECT_EQ(pk::RegistryKeys(), expected);
  EXPECT_TRUE(pk::RegistryDeleteKey(u"\\REGISTRY\\MACHINE"));
  EXPECT_EQ(pk::RegistryKeys(), std::vector<std::u16string>{});
  EXPECT_FALSE(pk::RegistryDeleteKey(u"\\REGISTRY\\MACHINE"));
}

// Large files read in time proportional to their size: a value continued over many
// lines and many deletions in one key. Quadratic reading took minutes on these sizes.
TEST_F(Registry, LargeValuesAndManyDeletionsReadInOnePass) {
  std::vector<uint8_t> big(256 << 10);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  pk::RegistrySetValue(DriverKey(), u"Big", REG_BINARY, big.data(), big.size());
  std::string bytes, error;
  ASSERT_TRUE(pk::RegistryExport(&bytes, &error)) << error;
  pk::RegistryReset();
  ASSERT_TRUE(pk::RegistryImport(bytes, "big.reg", &error)) << error;
  auto v = pk::RegistryGetValue(DriverKey(), u"Big");
  ASSERT_TRUE(v);
  EXPECT_TRUE(v->data == big);

  // 20,000 values, then every other one deleted and the rest re-set, in one file.
  constexpr int kValues = 20000;
  std::string text = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many]\n";
  for (int i = 0; i < kValues; ++i) text += "\"v" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
  for (int i = 0; i < kValues; i += 2) text += "\"V" + std::to_string(i) + "\"=-\n";
  for (int i = 0; i < kValues; i += 4) text += "\"v" + std::to_string(i) + "\"=dword:a\n";
  ASSERT_TRUE(pk::RegistryImport(text, "many.reg", &error)) << error;
  auto values = pk::RegistryValues(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Many");
  ASSERT_EQ(values.size(), size_t(kValues / 2 + kValues / 4));
  // The kept values in their order of creation, then the ones created again.
  for (int i = 0; i < kValues / 2; ++i) ASSERT_EQ(pk::RegistryNarrow(values[i].name), "v" + std::to_string(2 * i + 1));
  for (int i = 0; i < kValues / 4; ++i) {
    ASSERT_EQ(pk::RegistryNarrow(values[kValues / 2 + i].name), "v" + std::to_string(4 * i));
    ASSERT_EQ(values[kValues / 2 + i].data, (std::vector<uint8_t>{10, 0, 0, 0}));
  }
}

// Value data is limited to 16 MiB: a file with more is refused at the value's line, and
// the limit itself reads back whole. A byte may be split over a line continuation, as
// the lines join before they are read.
TEST_F(Registry, HexDataUpToTheLimitAndNoFurther) {
  constexpr size_t kLimit = 16u << 20;
  std::string text = "Windows Registry Editor Version 5.00\n[HKEY_USERS\\L]\n\"v\"=hex:";
  std::string line;
  for (int i = 0; i < 32; ++i) line += "5a,";
  line += "\\\n  ";
  static_assert(kLimit % 32 == 0);
  text.reserve(text.size() + kLimit / 32 * line.size() + 8);
  for (size_t i = 0; i < kLimit / 32; ++i) text += line;
  text += "\n";
  std::string error;
  ASSERT_TRUE(pk::RegistryImport(text, "limit.reg", &error)) << error;
  auto v = pk::RegistryGetValue(u"\\REGISTRY\\USER\\L", u"v");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->data.size(), kLimit);
  text.back() = '0';
  text += "0\n";
  EXPECT_FALSE(pk::RegistryImport(text, "limit.reg", &error));
  EXPECT_NE(error.find("limit.reg:"), std::string::npos) << error;
  EXPECT_NE(error.find("16 MiB"), std::string::npos) << error;

  ASSERT_TRUE(pk::RegistryImport("REGEDIT4\n[HKEY_USERS\\L]\n\"v\"=hex:0\\\n1,2\\\n,\\\n \n", "split.reg", &error))
      << error;
  v = pk::RegistryGetValue(u"\\REGISTRY\\USER\\L", u"v");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->data, (std::vector<uint8_t>{1, 2}));
}

TEST_F(Registry, AttachedFileIsWrittenOnlyOnFlushAndAtomically) {
  std::string path = (dir_ / "registry.reg").string();
  std::string error;
  // No file yet: a fresh store.
  ASSERT_TRUE(pk::RegistryAttachFile(path, &error)) << error;
  EXPECT_EQ(pk::RegistryAttachedFile(), path);
  EXPECT_TRUE(pk::RegistryGetValue(pk::kRegistryVersionKey, pk::kRegistryVersionValue));
  HANDLE h = OpenDriverKey();
  UNICODE_STRING name = Name(u"CustomEncoderVideoGopProperty\\");
  ULONG d = 45;
  ASSERT_EQ(ZwSetValueKey(h, &name, 0, REG_DWORD, &d, 4), STATUS_SUCCESS);
  ZwClose(h);
  EXPECT_FALSE(fs::exists(path)) << "a set must not write the file";
  ASSERT_TRUE(pk::RegistryFlush(&error)) << error;
  ASSERT_TRUE(fs::exists(path));
  for (const auto& entry : fs::directory_iterator(dir_))
    EXPECT_EQ(entry.path().filename(), "registry.reg") << "temporary file left behind";

  // The next run loads it back.
  pk::RegistryReset();
  ASSERT_TRUE(pk::RegistryAttachFile(path, &error)) << error;
  auto v = pk::RegistryGetValue(DriverKey(), u"customencodervideogopproperty\\");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->data, (std::vector<uint8_t>{45, 0, 0, 0}));
  ASSERT_TRUE(pk::RegistryDetachFile(&error)) << error;
  EXPECT_EQ(pk::RegistryAttachedFile(), "");
}

// Saves of one file from several threads at once: each writes through its own temporary
// file, so every save succeeds, the file is always one whole export and nothing is left.
TEST_F(Registry, ConcurrentSavesOfOneFileEachWriteAWholeFile) {
  for (int i = 0; i < 26; ++i) pk::RegistrySetDword(DriverKey(), u"value" + std::u16string(1, u'a' + i), i);
  const std::string path = (dir_ / "registry.reg").string();
  std::atomic<int> failures{0};
  std::vector<std::thread> savers;
  for (int t = 0; t < 6; ++t)
    savers.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        std::string error;
        if (!pk::RegistrySaveFile(path, &error)) failures++;
      }
    });
  for (auto& s : savers) s.join();
  EXPECT_EQ(failures.load(), 0);
  std::string error;
  pk::RegistryReset();
  ASSERT_TRUE(pk::RegistryLoadFile(path, &error)) << error;
  EXPECT_TRUE(pk::RegistryGetValue(DriverKey(), u"valuez"));
  for (const auto& entry : fs::directory_iterator(dir_))
    EXPECT_EQ(entry.path().filename(), "registry.reg") << "temporary file left behind";
}

TEST_F(Registry, UnreadableFileIsNeverAttachedNorOverwritten) {
  std::string path = (dir_ / "registry.reg").string();
  const std::string damaged =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\S]\r\n\"a\"=dword:1\r\n\"b\"=";
  { std::ofstream(path, std::ios::binary) << damaged; }
  std::string error;
  EXPECT_FALSE(pk::RegistryAttachFile(path, &error));
  EXPECT_NE(error.find("registry.reg:5:"), std::string::npos) << error;
  EXPECT_EQ(pk::RegistryAttachedFile(), "");
  EXPECT_TRUE(pk::RegistryFlush(&error));  // nothing attached: nothing written
  std::ifstream in(path, std::ios::binary);
  std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(now, damaged);
  EXPECT_FALSE(pk::RegistryLoadFile((dir_ / "missing.reg").string(), &error));
}

TEST_F(Registry, NamesThatTheFormatCannotHoldAreRefusedOnSave) {
  pk::RegistrySetDword(DriverKey(), u"two\nlines", 1);
  std::string path = (dir_ / "registry.reg").string();
  std::string error;
  EXPECT_FALSE(pk::RegistrySaveFile(path, &error));
  EXPECT_NE(error.find("line break"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(Registry, ConcurrentOpenSetQueryClose) {
  constexpr int kThreads = 4, kRounds = 300;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::u16string valueName = u"Thread";
      valueName.push_back(static_cast<char16_t>(u'A' + t));
      for (int i = 0; i < kRounds; ++i) {
        HANDLE h;
        if (IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h) != STATUS_SUCCESS) {
          ++failures;
          continue;
        }
        UNICODE_STRING name = Name(valueName.c_str());
        ULONG d = static_cast<ULONG>(i);
        if (ZwSetValueKey(h, &name, 0, REG_DWORD, &d, 4) != STATUS_SUCCESS) ++failures;
        alignas(8) UCHAR buffer[64];
        ULONG result;
        if (ZwQueryValueKey(h, &name, KeyValueFullInformation, buffer, sizeof buffer, &result) != STATUS_SUCCESS ||
            std::memcmp(buffer + reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer)->DataOffset, &d, 4) != 0)
          ++failures;
        ZwClose(h);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(pk::RegistryValues(DriverKey()).size(), size_t(kThreads));
  EXPECT_EQ(pk::RegistryAccessCount(pk::RegistryOperation::Close), size_t(kThreads * kRounds));
}

// Damaged files (bytes flipped, cut short) are refused or read, never misread into a
// crash; under the sanitizers this also shows no read outside the input.
TEST_F(Registry, DamagedFilesNeverCrashTheReader) {
  std::u16string key = DriverKey();
  pk::RegistrySetDword(key, u"CustomEncoderVideoGopProperty\\", 45);
  pk::RegistrySetString(key, u"Dir", u"D:\\fw\\");
  std::vector<UCHAR> big(100, 0x5A);
  pk::RegistrySetValue(key, u"Big", REG_BINARY, big.data(), big.size());
  std::string good, error;
  ASSERT_TRUE(pk::RegistryExport(&good, &error));
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  int refused = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string bad = good;
    if (round % 3 == 0) {
      bad.resize(next() % bad.size());
    } else {
      for (int k = 0; k < 1 + round % 4; ++k) bad[next() % bad.size()] = static_cast<char>(next() >> 8);
    }
    error.clear();
    if (!pk::RegistryImport(bad, "damaged.reg", &error)) {
      ++refused;
      EXPECT_EQ(error.rfind("damaged.reg:", 0), 0u) << error;
    }
  }
  EXPECT_GT(refused, 0);
}

TEST_F(Registry, CallsAbovePassiveLevelAreReportedToTheVerifier) {
  pk::TakeVerifierFailures();
  HANDLE h = nullptr;
  {
    pk::ScopedIrql dispatch(DISPATCH_LEVEL);
    IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h);
  }
  if (h) ZwClose(h);
  auto failures = pk::TakeVerifierFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].call, "IoOpenDeviceRegistryKey");
}

}  // namespace
