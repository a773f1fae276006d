// 64-bit time: the clock and its test seam, local-time conversion, time zone.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Crt.h"

namespace {

using namespace std::chrono;

// Seconds since 1970 of a UTC calendar time, from the standard library's
// calendar rather than from mktime.
__time64_t UtcSeconds(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0) {
  const sys_days date = year{y} / month{m} / day{d};
  return date.time_since_epoch().count() * 86400LL + hh * 3600LL + mm * 60LL + ss;
}

std::tm Fields(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0) {
  std::tm fields = {};
  fields.tm_year = y - 1900;
  fields.tm_mon = m - 1;
  fields.tm_mday = d;
  fields.tm_hour = hh;
  fields.tm_min = mm;
  fields.tm_sec = ss;
  fields.tm_isdst = 0;
  return fields;
}

// Restores the system clock after a test that replaced it.
class TimeSeamTest : public ::testing::Test {
 protected:
  void TearDown() override { SetTimeSourceForTesting({}); }
};

TEST_F(TimeSeamTest, SystemClockByDefault) {
  const std::time_t before = std::time(nullptr);
  __time64_t stored = 0;
  const __time64_t now = _time64(&stored);
  const std::time_t after = std::time(nullptr);
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
  EXPECT_EQ(stored, now);
}

TEST_F(TimeSeamTest, ReplacedAndRestored) {
  __time64_t fake = 1'000'000'000'000LL;
  SetTimeSourceForTesting([&fake] { return fake; });
  __time64_t stored = 0;
  EXPECT_EQ(_time64(&stored), fake);
  EXPECT_EQ(stored, fake);
  fake += 601;
  EXPECT_EQ(_time64(nullptr), fake);

  SetTimeSourceForTesting({});
  const std::time_t before = std::time(nullptr);
  const __time64_t now = _time64(nullptr);
  EXPECT_GE(now, before);
  EXPECT_LE(now, std::time(nullptr));
}

// A reader thread (the watchdog's role) sees only whole clocks while the
// test thread swaps them.
TEST_F(TimeSeamTest, SwappedWhileAnotherThreadReads) {
  SetTimeSourceForTesting([] { return __time64_t{111}; });
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::atomic<long> unexpected{0};
  std::thread reader([&] {
    while (!stop) {
      const __time64_t t = _time64(nullptr);
      if (t != 111 && t != 222) unexpected.fetch_add(1);
      reads.fetch_add(1);
    }
  });
  for (int i = 0; i < 2000 || reads < 100; ++i)
    SetTimeSourceForTesting([v = (i % 2 ? 222 : 111)] { return __time64_t{v}; });
  stop = true;
  reader.join();
  EXPECT_EQ(unexpected.load(), 0);
}

// Sets TZ for one test and restores it afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* previous = std::getenv("TZ")) m_previous = previous;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (m_previous)
      ::setenv("TZ", m_previous->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> m_previous;
};

// Zones as POSIX TZ rules, so that no time-zone database is needed.
constexpr const char* kUtc = "UTC0";
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kUsEastern = "EST5EDT,M3.2.0,M11.1.0";
constexpr const char* kIndia = "IST-5:30";

TEST(TimezoneTest, SecondsWestOfUtcForStandardTime) {
  struct Case {
    const char* zone;
    long expected;
  } const cases[] = {{kUtc, 0}, {kCentralEurope, -3600}, {kUsEastern, 5 * 3600}, {kIndia, -(5 * 3600 + 1800)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(GetTimezoneSeconds(), c.expected);
  }
}

TEST(Mktime64Test, ReadsFieldsAsLocalStandardTime) {
  struct Case {
    const char* name;
    const char* zone;
    std::tm fields;
    __time64_t expectedUtc;
  } const cases[] = {
      {"epoch", kUtc, Fields(1970, 1, 1), 0},
      {"2049 end", kUtc, Fields(2049, 12, 31, 23, 59), UtcSeconds(2049, 12, 31, 23, 59)},
      {"past 2038", kUtc, Fields(2038, 1, 19, 3, 14, 8), UtcSeconds(2038, 1, 19, 3, 14, 8)},
      {"last second of 3000", kUtc, Fields(3000, 12, 31, 23, 59, 59), UtcSeconds(3000, 12, 31, 23, 59, 59)},
      {"month 13 carries", kUtc, Fields(2020, 13, 1), UtcSeconds(2021, 1, 1)},
      {"day 0 is the day before", kUtc, Fields(2020, 3, 0), UtcSeconds(2020, 2, 29)},
      {"second 60 carries", kUtc, Fields(2020, 1, 1, 0, 0, 60), UtcSeconds(2020, 1, 1, 0, 1)},
      {"east of UTC, winter", kCentralEurope, Fields(2020, 1, 1), UtcSeconds(2019, 12, 31, 23)},
      {"east of UTC, summer, standard", kCentralEurope, Fields(2020, 7, 1, 12), UtcSeconds(2020, 7, 1, 11)},
      {"west of UTC", kUsEastern, Fields(2020, 1, 1), UtcSeconds(2020, 1, 1, 5)},
      {"half-hour zone", kIndia, Fields(2020, 1, 1), UtcSeconds(2019, 12, 31, 18, 30)},
      {"local epoch west of UTC", kUsEastern, Fields(1970, 1, 1), UtcSeconds(1970, 1, 1, 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTimeZone zone(c.zone);
    std::tm fields = c.fields;
    EXPECT_EQ(_mktime64(&fields), c.expectedUtc);
  }
}

// Less the zone's standard offset, the result reads the fields as UTC in
// every zone, summer or winter: the way validity times are converted.
TEST(Mktime64Test, MinusTimezoneReadsFieldsAsUtc) {
  for (const char* name : {kUtc, kCentralEurope, kUsEastern, kIndia}) {
    ScopedTimeZone zone(name);
    for (int monthNumber : {1, 7}) {
      SCOPED_TRACE(std::string(name) + " month " + std::to_string(monthNumber));
      std::tm fields = Fields(2020, monthNumber, 1, 12, 34, 56);
      EXPECT_EQ(_mktime64(&fields) - GetTimezoneSeconds(),
                UtcSeconds(2020, static_cast<unsigned>(monthNumber), 1, 12, 34, 56));
    }
  }
}

TEST(Mktime64Test, NormalisesFieldsAndSetsDaylightFlag) {
  ScopedTimeZone zone(kCentralEurope);
  std::tm summer = Fields(2020, 7, 1, 12);
  ASSERT_NE(_mktime64(&summer), -1);
  EXPECT_EQ(summer.tm_isdst, 1);
  EXPECT_EQ(summer.tm_hour, 13);  // 11:00 UTC is 13:00 summer time

  std::tm carried = Fields(2020, 13, 1);
  ASSERT_NE(_mktime64(&carried), -1);
  EXPECT_EQ(carried.tm_isdst, 0);
  EXPECT_EQ(carried.tm_year, 121);
  EXPECT_EQ(carried.tm_mon, 0);
  EXPECT_EQ(carried.tm_wday, 5);  // 2021-01-01 was a Friday
}

TEST(Mktime64Test, RefusesInstantsOutsideTheRuntimeRange) {
  struct Case {
    const char* name;
    const char* zone;
    std::tm fields;
  } const cases[] = {
      {"second before the epoch", kUtc, Fields(1969, 12, 31, 23, 59, 59)},
      {"UTCTime year 1950", kUtc, Fields(1950, 1, 1)},
      {"UTCTime year 1968", kUtc, Fields(1968, 12, 31, 23, 59, 59)},
      {"first second of 3001", kUtc, Fields(3001, 1, 1)},
      {"year 9999", kUtc, Fields(9999, 12, 31, 23, 59, 59)},
      {"local epoch east of UTC", kCentralEurope, Fields(1970, 1, 1)},
      {"end of 3000 west of UTC", kUsEastern, Fields(3000, 12, 31, 23)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTimeZone zone(c.zone);
    std::tm fields = c.fields;
    errno = 0;
    EXPECT_EQ(_mktime64(&fields), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(fields.tm_year, c.fields.tm_year);  // left as it was
    EXPECT_EQ(fields.tm_mday, c.fields.tm_mday);
  }
  errno = 0;
  EXPECT_EQ(_mktime64(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
