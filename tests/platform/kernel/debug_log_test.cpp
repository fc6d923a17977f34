// DbgPrint's formatting (Windows sizes and conversions) and the byte-exact log.
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

using DebugLogTest = vorlix_test::KernelTest;

std::string Printed(void (*print)()) {
  pk::ClearDebugLog();
  print();
  return pk::DebugLogText();
}

TEST_F(DebugLogTest, FormatsAsTheWindowsKernelDoes) {
  struct Case {
    const char* name;
    void (*print)();
    const char* expected;
  } cases[] = {
      {"separator bytes stay raw", [] { DbgPrint("GV7601_SDI_MODE_DETECT( %d \xA1\xD1 %d )\n", 1, 2); },
       "GV7601_SDI_MODE_DETECT( 1 \xA1\xD1 2 )\n"},
      {"%ld is 32-bit", [] { DbgPrint("%ld %lx %lu", (LONG)-5, (ULONG)0xFFFFFFFF, (ULONG)7); }, "-5 ffffffff 7"},
      {"64-bit prefixes",
       [] { DbgPrint("%I64d %I64X %lld %llx", (LONGLONG)-1, (ULONGLONG)0x1234567890ULL, (LONGLONG)1LL << 40, 255ULL); },
       "-1 1234567890 1099511627776 ff"},
      {"pointer-sized prefix and %p", [] { DbgPrint("%Iu %p", (SIZE_T)123, (void*)0xABCDEF); }, "123 0000000000ABCDEF"},
      {"width, zero padding, upper-case hex", [] { DbgPrint("%04X (%d -> %d)", 0x1F, 3, 12); }, "001F (3 -> 12)"},
      {"%08X of a handle-sized value", [] { DbgPrint("%08X.%08X", 0x1u, 0x80000004u); }, "00000001.80000004"},
      {"UTF-16 strings",
       [] { DbgPrint("ZwOpenSection( \"%ws\", %S, %wc%C )", u"DRAV.VCAM", u"x", (int)u'A', (int)u'B'); },
       "ZwOpenSection( \"DRAV.VCAM\", x, AB )"},
      {"counted strings",
       [] {
         UNICODE_STRING u;
         RtlInitUnicodeString(&u, u"Counted");
         u.Length = 6;  // not terminated at its length
         ANSI_STRING a;
         RtlInitAnsiString(&a, "ansi");
         DbgPrint("[%wZ] [%Z]", &u, &a);
       },
       "[Cou] [ansi]"},
      {"null strings", [] { DbgPrint("%s %ws", (const char*)nullptr, (const char16_t*)nullptr); }, "(null) (null)"},
      {"short and char sizes", [] { DbgPrint("%hd %hhu %c", 70000, 300, 'z'); }, "4464 44 z"},
      {"left alignment and precision", [] { DbgPrint("[%-5s][%.2s][%5d]", "ab", "xyz", 42); }, "[ab   ][xy][   42]"},
      {"percent", [] { DbgPrint("100%%"); }, "100%"},
  };
  for (const Case& c : cases) EXPECT_EQ(Printed(c.print), c.expected) << c.name;
}

TEST_F(DebugLogTest, LinesSplitAtNewlinesAndPartialLinesJoin) {
  DbgPrint("KORVENT - DriverEntry() 1.1.0.167.0 (2016.08.15) (X64)\n");
  DbgPrint("%04X (%d -> %d)", 0x10, 1, 2);
  DbgPrint(" tail\n");
  DbgPrint("last without newline");
  auto lines = pk::DebugLogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "KORVENT - DriverEntry() 1.1.0.167.0 (2016.08.15) (X64)");
  EXPECT_EQ(lines[1], "0010 (1 -> 2) tail");
  EXPECT_EQ(lines[2], "last without newline");
}

TEST_F(DebugLogTest, ConcurrentPrintsKeepWholeCalls) {
  auto work = [](char c) {
    for (int i = 0; i < 500; ++i) DbgPrint("%c%c%c%c\n", c, c, c, c);
  };
  std::thread a(work, 'a'), b(work, 'b');
  a.join();
  b.join();
  auto lines = pk::DebugLogLines();
  ASSERT_EQ(lines.size(), 1000u);
  for (auto& l : lines) EXPECT_TRUE(l == "aaaa" || l == "bbbb") << l;
}

TEST_F(DebugLogTest, SavesTheBytesUnchanged) {
  DbgPrint("one \xA1\xD1 two\n");
  auto path = std::filesystem::temp_directory_path() / ("vorlix-log-" + std::to_string(::getpid()) + ".log");
  ASSERT_TRUE(pk::SaveDebugLog(path));
  std::ifstream f(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "one \xA1\xD1 two\n");
  std::filesystem::remove(path);
}

TEST_F(DebugLogTest, BoundedPrintfTruncatesAndTerminates) {
  char buf[8];
  EXPECT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%s%c", "Name", 'A'), STATUS_SUCCESS);
  EXPECT_STREQ(buf, "NameA");
  EXPECT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%s", "longer than eight"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buf, "longer ");
  EXPECT_EQ(RtlStringCbPrintfA(buf, 0, "x"), STATUS_INVALID_PARAMETER);
  WCHAR path[16];
  EXPECT_EQ(RtlStringCbPrintfW(path, sizeof path, u"%s%s%S%c", u"C:\\FW\\", u"\u2299", "ab", (int)u'!'),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(path), u"C:\\FW\\\u2299ab!") << "UTF-16 arguments pass through unchanged";
  EXPECT_EQ(RtlStringCchPrintfW(path, 4, u"%d-%ls", 12345, u"x"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(path), u"123");
  WCHAR w[6];
  EXPECT_EQ(RtlStringCbCopyW(w, sizeof w, u"abc"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCbCatW(w, sizeof w, u"def"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(w), u"abcde");
}

}  // namespace
