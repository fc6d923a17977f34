// The clock behind every time routine, and the conversions between times and fields.
#include <ctime>
#include <thread>

#include "platform/kernel/kernel.h"
#include "platform/kernel/machine.h"
#include "tests/support/kernel_fixture.h"

namespace pk = platform::kernel;

namespace {

using TimeTest = vorlix_test::KernelTest;

TEST_F(TimeTest, EveryTimeReadsTheTestClock) {
  LARGE_INTEGER st, freq, tick;
  KeQuerySystemTime(&st);
  EXPECT_EQ(st.QuadPart, pk::kTestStartSystemTime);
  EXPECT_EQ(KeQueryInterruptTime(), 0u);
  pk::AdvanceClockMs(1500);
  KeQuerySystemTime(&st);
  EXPECT_EQ(st.QuadPart, pk::kTestStartSystemTime + 15000000);
  EXPECT_EQ(KeQueryInterruptTime(), 15000000u);
  LARGE_INTEGER pc = KeQueryPerformanceCounter(&freq);
  EXPECT_EQ(freq.QuadPart, 10000000);
  EXPECT_GT(pc.QuadPart, 15000000);  // the machine clock plus the counter's own reads
  KeQueryTickCount(&tick);
  EXPECT_EQ(tick.QuadPart, 15000000 / (LONGLONG)KeQueryTimeIncrement());
}

// A busy wait on the performance counter ends under the test clock, and leaves the
// machine clock where the test put it.
TEST_F(TimeTest, PerformanceCounterMovesForABusyWaitOnly) {
  LARGE_INTEGER freq;
  LONGLONG start = KeQueryPerformanceCounter(&freq).QuadPart;
  LONGLONG now = start;
  while (now - start <= 125) now = KeQueryPerformanceCounter(nullptr).QuadPart;
  EXPECT_GT(now - start, 125);
  EXPECT_EQ(KeQueryInterruptTime(), 0u);
  pk::AdvanceClockMs(1);
  EXPECT_GE(KeQueryPerformanceCounter(nullptr).QuadPart, now + 10000);
}

TEST_F(TimeTest, LocalTimeAppliesTheBias) {
  pk::SetTimeZoneBias(-8LL * 3600 * 10000000);  // UTC+8
  LARGE_INTEGER st, lt;
  KeQuerySystemTime(&st);
  ExSystemTimeToLocalTime(&st, &lt);
  EXPECT_EQ(lt.QuadPart - st.QuadPart, 8LL * 3600 * 10000000);
  LARGE_INTEGER back;
  ExLocalTimeToSystemTime(&lt, &back);
  EXPECT_EQ(back.QuadPart, st.QuadPart);
  // The host's zone: local minus system time is the host's UTC offset.
  pk::UseHostTimeZone();
  ExSystemTimeToLocalTime(&st, &lt);
  time_t now = time(nullptr);
  struct tm tmLocal;
  localtime_r(&now, &tmLocal);
  EXPECT_EQ(lt.QuadPart - st.QuadPart, (LONGLONG)tmLocal.tm_gmtoff * 10000000);
}

TEST_F(TimeTest, TimeFieldsRoundTrip) {
  struct Case {
    LONGLONG time;
    TIME_FIELDS fields;
  } cases[] = {
      {0, {1601, 1, 1, 0, 0, 0, 0, 1}},
      {116444736000000000LL, {1970, 1, 1, 0, 0, 0, 0, 4}},
      {pk::kTestStartSystemTime, {2016, 8, 15, 0, 0, 0, 0, 1}},
      {pk::kTestStartSystemTime + 86399999LL * 10000, {2016, 8, 15, 23, 59, 59, 999, 1}},
      {125911584000000000LL + 59 * 864000000000LL, {2000, 2, 29, 0, 0, 0, 0, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.time);
    LARGE_INTEGER t;
    t.QuadPart = c.time;
    TIME_FIELDS f;
    RtlTimeToTimeFields(&t, &f);
    EXPECT_EQ(f.Year, c.fields.Year);
    EXPECT_EQ(f.Month, c.fields.Month);
    EXPECT_EQ(f.Day, c.fields.Day);
    EXPECT_EQ(f.Hour, c.fields.Hour);
    EXPECT_EQ(f.Minute, c.fields.Minute);
    EXPECT_EQ(f.Second, c.fields.Second);
    EXPECT_EQ(f.Milliseconds, c.fields.Milliseconds);
    EXPECT_EQ(f.Weekday, c.fields.Weekday);
    LARGE_INTEGER back;
    ASSERT_TRUE(RtlTimeFieldsToTime(&f, &back));
    EXPECT_EQ(back.QuadPart, c.time);
  }
  TIME_FIELDS bad = {2015, 2, 29, 0, 0, 0, 0, 0};
  LARGE_INTEGER t;
  EXPECT_FALSE(RtlTimeFieldsToTime(&bad, &t));
}

TEST_F(TimeTest, RealClockMovesOnItsOwn) {
  pk::UseRealClock();
  LARGE_INTEGER a, b;
  KeQuerySystemTime(&a);
  ULONGLONG i0 = KeQueryInterruptTime();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  KeQuerySystemTime(&b);
  EXPECT_GT(b.QuadPart, a.QuadPart);
  EXPECT_GT(KeQueryInterruptTime(), i0);
  EXPECT_GT(a.QuadPart, pk::kTestStartSystemTime);
  // A relative wait on the real clock really waits (here 1 ms).
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  LARGE_INTEGER oneMs;
  oneMs.QuadPart = -10000;
  ULONGLONG before = KeQueryInterruptTime();
  EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &oneMs), STATUS_TIMEOUT);
  EXPECT_GE(KeQueryInterruptTime() - before, 10000u);
}

}  // namespace
