// The sibling-model mailbox: commands and replies, the returned counts, and payload and
// reply lengths that do not fit.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/driver/properties/custom_property_fixture.h"

namespace vorlix_test {
namespace {

class MailboxTest : public CustomPropertyTest {
 protected:
  NTSTATUS Command(UCHAR command, UCHAR flags, const std::vector<UCHAR>& payload, ULONG length = 0) {
    std::vector<UCHAR> req(std::max<size_t>(74, 10 + payload.size()), 0);
    req[0] = command;
    req[1] = flags;
    USHORT n = length ? (USHORT)length : (USHORT)payload.size();
    std::memcpy(&req[8], &n, 2);
    if (!payload.empty()) std::memcpy(&req[10], payload.data(), payload.size());
    return Set(filter_, 995, req.data(), (ULONG)req.size());
  }
  // The reply with a buffer of `length` bytes whose size field is `size`.
  NTSTATUS Reply(ULONG length, ULONG size, std::vector<UCHAR>* out, ULONG* returned) {
    out->assign(length, 0xEE);
    std::memcpy(out->data(), &size, 4);
    return Get(filter_, 996, out->data(), length, returned);
  }
};

TEST_F(MailboxTest, StatusQueryEchoAndNoReply) {
  Start();
  std::vector<UCHAR> r;
  ULONG returned = 0;
  // Before any command: the caller's size field and zeroed bytes.
  ASSERT_EQ(Reply(24, 16, &r, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 23u);
  EXPECT_EQ(std::vector<UCHAR>(r.begin() + 4, r.begin() + 20), std::vector<UCHAR>(16, 0));

  ASSERT_EQ(Command(4, 0, {}), STATUS_SUCCESS);
  ASSERT_EQ(Reply(16, 0, &r, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 11u);
  EXPECT_EQ(std::vector<UCHAR>(r.begin(), r.begin() + 8), (std::vector<UCHAR>{4, 0, 0, 0, 0xAA, 0x55, 0x00, 0xFF}));
  // The reply stays pending; command 2 only logs.
  ASSERT_EQ(Command(2, 0, {}), STATUS_SUCCESS);
  ASSERT_EQ(Reply(16, 0, &r, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 11u);

  std::vector<UCHAR> payload = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(Command(1, 0x80, payload), STATUS_SUCCESS);
  ASSERT_EQ(Reply(32, 0, &r, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 17u);
  EXPECT_EQ(r[0], 10);
  EXPECT_EQ(std::vector<UCHAR>(r.begin() + 4, r.begin() + 14), payload);

  ASSERT_EQ(Command(1, 0, payload), STATUS_SUCCESS);
  ASSERT_EQ(Reply(24, 16, &r, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 23u);
  EXPECT_EQ(std::vector<UCHAR>(r.begin() + 4, r.begin() + 20), std::vector<UCHAR>(16, 0));

  EXPECT_EQ(LogLines("OnSetCustomVQ377Interface()"),
            (std::vector<std::string>{"OnSetCustomVQ377Interface() Get  m_nDigitalCaptureStreamPowerReference = 0 ",
                                      "OnSetCustomVQ377Interface() Start Thread "}));
  auto replies = LogLines("OnGetCustomVQ377Data()");
  ASSERT_EQ(replies.size(), 5u);
  EXPECT_EQ(replies[1], "OnGetCustomVQ377Data(), size = 0x4, structure size 0x8, data 0xee, 0xee");
}

// A payload larger than the mailbox or than the request is refused whole; a reply is
// never written past the caller's buffer, and a count never exceeds it.
TEST_F(MailboxTest, LengthsThatDoNotFit) {
  Start();
  CDevice* d = Dev();
  ASSERT_EQ(Command(4, 0, {}), STATUS_SUCCESS);
  UCHAR mailbox[256];
  std::memcpy(mailbox, d->m_abMailbox, 256);
  EXPECT_EQ(Command(1, 0x80, std::vector<UCHAR>(64, 1), 65), STATUS_INVALID_PARAMETER);    // beyond the request
  EXPECT_EQ(Command(1, 0x80, std::vector<UCHAR>(300, 1), 257), STATUS_INVALID_PARAMETER);  // beyond the mailbox
  EXPECT_EQ(Command(1, 0x80, std::vector<UCHAR>(64, 1), 0xFFFF), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(std::memcmp(mailbox, d->m_abMailbox, 256), 0);
  EXPECT_EQ(d->m_nMailboxReplySize, 4u);
  // The whole mailbox as an echo.
  EXPECT_EQ(Command(0, 0x80, std::vector<UCHAR>(256, 7)), STATUS_SUCCESS);
  std::vector<UCHAR> r;
  ULONG returned = 0;
  EXPECT_EQ(Reply(100, 0, &r, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 263u);                                                            // what the reply needs
  EXPECT_EQ(std::vector<UCHAR>(r.begin() + 4, r.end()), std::vector<UCHAR>(96, 0xEE));  // the caller's own bytes
  EXPECT_EQ(Reply(260, 0, &r, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 260u);
  EXPECT_EQ(std::vector<UCHAR>(r.begin() + 4, r.end()), std::vector<UCHAR>(256, 7));
  // No reply pending and a caller size beyond the buffer: only the buffer is zeroed.
  EXPECT_EQ(Command(0, 0, {}), STATUS_SUCCESS);
  EXPECT_EQ(Reply(12, 0xFFFFFFF0u, &r, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 12u);
  EXPECT_EQ(std::vector<UCHAR>(r.begin() + 4, r.end()), std::vector<UCHAR>(8, 0));
}

}  // namespace
}  // namespace vorlix_test
