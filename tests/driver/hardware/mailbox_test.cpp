// The command mailbox against the simulated board: the record written, the busy
// handshake, the configure wait and its semaphore.
#include "driver/hardware/mailbox.h"

#include <thread>

#include "driver/hardware/registers.h"
#include "tests/driver/hardware/encoder_test_fixture.h"

namespace vorlix_test {
namespace {

class MailboxTest : public EncoderDeviceTest {
 protected:
  void SetUp() override {
    EncoderDeviceTest::SetUp();
    Encoder().SetRunning();
  }
  std::vector<board::MailboxRecord> Commands() { return Encoder().Commands(); }
};

TEST_F(MailboxTest, RecordChecksumAndArg7) {
  struct Case {
    ULONG command, arg1, arg2, arg3, arg7;
    ULONG sentArg7, checksum;
  };
  const Case cases[] = {
      {4, 0x00010000, 0x100, 5, 0, 0, 0xFFFEFEF7},                  // minus 0x00010109
      {18, 30, 0, 0, 0x1234, 0, 0u - (18 + 30)},                    // Arg7 forced to 0
      {16, 0xFF, 0, 0, 0x1234, 0x1234, 0u - (16 + 0xFF + 0x1234)},  // configure keeps it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Encoder().ClearCommands();
    VENDOR_COMMAND r = {c.command, c.arg1, c.arg2, c.arg3, 0, 0, 0, c.arg7, 0};
    ASSERT_TRUE(VORLIX_SendVendorCommand(Dev(), &r));
    EXPECT_EQ(r.Arg7, c.sentArg7);  // written back into the caller's record
    EXPECT_EQ(r.Checksum, c.checksum);
    auto sent = Commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(0, memcmp(sent[0].words, &r, sizeof r));
  }
  // The firmware checks an acknowledgement against the packet it announced: none here.
  EXPECT_EQ(board_.Violations(), std::vector<std::string>{"mailbox: stream done without a packet taken"});
  board_.ClearViolations();
  // Arguments before the command word, each write on its own.
  board_.ClearAccessLog();
  VENDOR_COMMAND r = {7, 0x200, 0, 0, 0, 0, 0, 0, 0};
  VORLIX_SendVendorCommand(Dev(), &r);
  std::vector<ULONG> offsets;
  for (auto& w : board_.Writes()) offsets.push_back(w.first);
  const std::vector<ULONG> order = {REG_MBOX_ARG1, REG_MBOX_ARG2, REG_MBOX_ARG3,     REG_MBOX_ARG4,   REG_MBOX_ARG5,
                                    REG_MBOX_ARG6, REG_MBOX_ARG7, REG_MBOX_CHECKSUM, REG_MBOX_COMMAND};
  EXPECT_EQ(offsets, order);
}

TEST_F(MailboxTest, BusyMailbox) {
  struct Case {
    ULONG busyReads;
    bool stuck;
    BOOLEAN accepted;
  };
  const Case cases[] = {{0, false, TRUE}, {999, false, TRUE}, {1000, false, FALSE}, {0, true, FALSE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.busyReads);
    Encoder().ClearCommands();
    Encoder().SetBusyReads(c.busyReads);
    Encoder().SetStuckBusy(c.stuck);
    machine::ClearDebugLog();
    VENDOR_COMMAND r = {14, 0x9E, 0, 0x3FFFFFFF, 0, 0, 0, 0, 0};
    EXPECT_EQ(VORLIX_SendVendorCommand(Dev(), &r), c.accepted);
    EXPECT_EQ(Commands().size(), c.accepted ? 1u : 0u);
    auto errors = LogLines("VORLIX_SendVendorCommand(");
    if (c.accepted) {
      EXPECT_TRUE(errors.empty());
    } else {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0],
                "VORLIX_SendVendorCommand( 0000000E \xA1\xD1 0000009E \xA1\xD1 00000000 \xA1\xD1 3FFFFFFF \xA1\xD1 "
                "00000000 \xA1\xD1 00000000 \xA1\xD1 00000000 \xA1\xD1 00000000 \xA1\xD1 BFFFFF55 ) ERROR!!");
    }
  }
  Encoder().SetStuckBusy(false);
  Encoder().SetBusyReads(0);
}

TEST_F(MailboxTest, EncoderQuantiser) {
  VORLIX_SetEncoderQp(Dev(), TRUE, 30);
  VORLIX_SetEncoderQp(Dev(), FALSE, 26);
  auto sent = Commands();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].command(), 17u);
  EXPECT_EQ(sent[0].arg(1), 0u);
  EXPECT_EQ(sent[0].arg(2), 0x001E0000u);
  EXPECT_EQ(sent[1].arg(1), 0x200u);
  EXPECT_EQ(sent[1].arg(2), 0x001A0000u);
  EXPECT_EQ(Encoder().state().stream[0].quantiser, 30u);
}

// Time-outs on the test clock: a helper thread sends, the test moves time.
class MailboxTimeoutTest : public MailboxTest {
 protected:
  void SetUp() override {
    MailboxTest::SetUp();
    machine::UseTestClock();
  }
};

TEST_F(MailboxTimeoutTest, ConfigureWaitsForItsResponse) {
  LONGLONG before = machine::InterruptTimeNow();
  VENDOR_COMMAND r = {VENDOR_CMD_CONFIGURE, CONFIG_SEL_2, 0x20000000, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(VORLIX_SendVendorCommand(Dev(), &r));
  EXPECT_EQ(machine::InterruptTimeNow(), before);  // the response ended the wait, not the clock
  EXPECT_EQ(KeReadStateSemaphore(&Dev()->m_CommandSemaphore), 0);
}

TEST_F(MailboxTimeoutTest, LostResponseCostsThreeSecondsAndAStaleReleaseIsDiscarded) {
  // A release left over from an earlier event must not end the next configure's wait.
  KeReleaseSemaphore(&Dev()->m_CommandSemaphore, 0, 2, FALSE);
  Encoder().DropResponses(1);
  BOOLEAN sent = FALSE;
  std::thread sender([&] {
    VENDOR_COMMAND r = {VENDOR_CMD_CONFIGURE, CONFIG_SEL_3, 0x400, 0, 0, 0, 0, 0, 0};
    sent = VORLIX_SendVendorCommand(Dev(), &r);
  });
  ASSERT_TRUE(machine::WaitForBlockedWaiters(1));
  machine::AdvanceClock(29999999);
  EXPECT_EQ(machine::BlockedWaiterCount(), 1u);
  machine::AdvanceClock(1);
  sender.join();
  EXPECT_TRUE(sent);  // the series goes on as if the response had come
  EXPECT_EQ(Commands().size(), 1u);
}

TEST_F(MailboxTimeoutTest, LateResponseEndsTheWaitWhenItComes) {
  Encoder().SetResponseDelay(10000000);  // 1 s
  LONGLONG start = machine::InterruptTimeNow();
  std::thread sender([&] {
    VENDOR_COMMAND r = {VENDOR_CMD_CONFIGURE, CONFIG_SEL_4, 0x400, 0, 0, 0, 0, 0, 0};
    VORLIX_SendVendorCommand(Dev(), &r);
  });
  ASSERT_TRUE(machine::WaitForBlockedWaiters(1));
  machine::AdvanceClock(10000000);
  sender.join();
  EXPECT_EQ(machine::InterruptTimeNow() - start, 10000000);
  EXPECT_EQ(Encoder().state().configSelectors, (std::vector<ULONG>{CONFIG_SEL_4}));
}

TEST_F(MailboxTimeoutTest, WaitCommandDoneReportsTheTimeOut) {
  BOOLEAN done = TRUE;
  std::thread waiter([&] { done = VORLIX_WaitCommandDone(Dev()); });
  ASSERT_TRUE(machine::WaitForBlockedWaiters(1));
  machine::AdvanceClock(COMMAND_DONE_TIMEOUT);
  waiter.join();
  EXPECT_FALSE(done);
  KeReleaseSemaphore(&Dev()->m_CommandSemaphore, 0, 1, FALSE);
  EXPECT_TRUE(VORLIX_WaitCommandDone(Dev()));
}

}  // namespace
}  // namespace vorlix_test
