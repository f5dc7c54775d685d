#include "forensic/rfc3339.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "common/fault.h"

namespace veltar::forensic {
namespace {

struct FormatCase {
  std::int64_t seconds;
  std::uint32_t nanoseconds;
  const char* expected;
};

constexpr FormatCase kFormatCases[] = {
    // The fraction rule: empty, then the shortest of 3, 6 or 9 digits that is
    // exact.
    {0, 0, "1970-01-01T00:00:00+00:00"},
    {0, 1, "1970-01-01T00:00:00.000000001+00:00"},
    {0, 1000, "1970-01-01T00:00:00.000001+00:00"},
    {0, 1000000, "1970-01-01T00:00:00.001+00:00"},
    {0, 100000000, "1970-01-01T00:00:00.100+00:00"},
    {0, 500000000, "1970-01-01T00:00:00.500+00:00"},
    {0, 120000, "1970-01-01T00:00:00.000120+00:00"},
    {0, 123000000, "1970-01-01T00:00:00.123+00:00"},
    {0, 123456000, "1970-01-01T00:00:00.123456+00:00"},
    {0, 123456789, "1970-01-01T00:00:00.123456789+00:00"},
    {0, 123456780, "1970-01-01T00:00:00.123456780+00:00"},
    {0, 999999999, "1970-01-01T00:00:00.999999999+00:00"},
    {0, 999999000, "1970-01-01T00:00:00.999999+00:00"},
    {0, 999000000, "1970-01-01T00:00:00.999+00:00"},
    {1700000000, 0, "2023-11-14T22:13:20+00:00"},
    {1700000000, 123456789, "2023-11-14T22:13:20.123456789+00:00"},
    // Leap years: divisible by 4, except centuries not divisible by 400.
    {951782399, 0, "2000-02-28T23:59:59+00:00"},
    {951782400, 0, "2000-02-29T00:00:00+00:00"},
    {951868800, 0, "2000-03-01T00:00:00+00:00"},
    {1709212029, 0, "2024-02-29T13:07:09+00:00"},
    {4107499200, 0, "2100-02-28T12:00:00+00:00"},
    {4107542400, 0, "2100-03-01T00:00:00+00:00"},
    {-2203977600, 0, "1900-02-28T00:00:00+00:00"},
    {-2203891200, 0, "1900-03-01T00:00:00+00:00"},
    {-11670912001, 0, "1600-02-29T23:59:59+00:00"},
    // Before the epoch the time of day still counts forward from midnight.
    {-1, 0, "1969-12-31T23:59:59+00:00"},
    {-1, 999000000, "1969-12-31T23:59:59.999+00:00"},
    {-86400, 0, "1969-12-31T00:00:00+00:00"},
    {-86401, 0, "1969-12-30T23:59:59+00:00"},
    // Ends of the four-digit range.
    {kEarliestSeconds, 0, "0000-01-01T00:00:00+00:00"},
    {-62162035200, 0, "0000-03-01T00:00:00+00:00"},
    {-62135596800, 0, "0001-01-01T00:00:00+00:00"},
    {kLatestSeconds, 0, "9999-12-31T23:59:59+00:00"},
    {kLatestSeconds, 999999999, "9999-12-31T23:59:59.999999999+00:00"},
};

TEST(FormatRfc3339, Table) {
  for (const FormatCase& c : kFormatCases) {
    EXPECT_EQ(format_rfc3339({c.seconds, c.nanoseconds}), c.expected)
        << c.seconds << " s " << c.nanoseconds << " ns";
  }
}

bool is_leap(std::int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

std::string two_digits(std::int64_t value) {
  return std::string{static_cast<char>('0' + value / 10),
                     static_cast<char>('0' + value % 10)};
}

// Every day of the four-digit range, against a calendar that counts days one
// by one. The time of day varies with the day so that every field is checked.
TEST(FormatRfc3339, EveryDayMatchesDayByDayCalendar) {
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30,
                                       31, 31, 30, 31, 30, 31};
  std::int64_t year = 0;
  int month = 1;
  int day = 1;
  int failures = 0;
  for (std::int64_t start = kEarliestSeconds; start <= kLatestSeconds;
       start += 86400) {
    const std::int64_t second_of_day = (start / 86400 * 7919) % 86400;
    const std::int64_t abs_second =
        second_of_day < 0 ? second_of_day + 86400 : second_of_day;
    char year_text[5];
    std::snprintf(year_text, sizeof year_text, "%04lld",
                  static_cast<long long>(year));
    const std::string expected =
        std::string(year_text) + "-" + two_digits(month) + "-" +
        two_digits(day) + "T" + two_digits(abs_second / 3600) + ":" +
        two_digits(abs_second / 60 % 60) + ":" + two_digits(abs_second % 60) +
        "+00:00";
    const std::string got = format_rfc3339({start + abs_second, 0});
    if (got != expected && ++failures <= 10) {
      ADD_FAILURE() << "day starting " << start << ": " << got
                    << " != " << expected;
    }

    const int month_length =
        kMonthDays[month - 1] + (month == 2 && is_leap(year) ? 1 : 0);
    if (++day > month_length) {
      day = 1;
      if (++month > 12) {
        month = 1;
        ++year;
      }
    }
  }
  EXPECT_EQ(year, 10000);
  EXPECT_EQ(failures, 0);
}

// The fraction, read back as an integer and scaled, gives the nanoseconds,
// and no shorter allowed width would have been exact.
TEST(FormatRfc3339, FractionIsExactAndShortest) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<std::uint32_t> nanos_dist(1, 999999999);
  std::uniform_int_distribution<int> scale_dist(0, 2);
  for (int i = 0; i < 100000; ++i) {
    std::uint32_t nanos = nanos_dist(rng);
    // Make whole milliseconds and microseconds common.
    const int scale = scale_dist(rng);
    if (scale == 1) nanos = nanos / 1000 * 1000;
    if (scale == 2) nanos = nanos / 1000000 * 1000000;
    const std::string text = format_rfc3339({1234567890, nanos});
    ASSERT_EQ(text.substr(0, 19), "2009-02-13T23:31:30");
    ASSERT_EQ(text.substr(text.size() - 6), "+00:00");
    if (nanos == 0) {
      ASSERT_EQ(text.size(), 25u);
      continue;
    }
    ASSERT_EQ(text[19], '.');
    const std::string fraction = text.substr(20, text.size() - 26);
    ASSERT_TRUE(fraction.size() == 3 || fraction.size() == 6 ||
                fraction.size() == 9)
        << text;
    std::uint64_t scaled = std::stoull(fraction);
    for (std::size_t k = fraction.size(); k < 9; ++k) scaled *= 10;
    ASSERT_EQ(scaled, nanos) << text;
    const std::size_t shortest =
        nanos % 1000000 == 0 ? 3 : (nanos % 1000 == 0 ? 6 : 9);
    ASSERT_EQ(fraction.size(), shortest) << text;
  }
}

struct MillisCase {
  std::int64_t seconds;
  std::uint32_t nanoseconds;
  std::int64_t expected;
};

constexpr MillisCase kMillisCases[] = {
    {0, 0, 0},
    {0, 999999, 0},
    {0, 1000000, 1},
    {0, 999999999, 999},
    {1, 999999999, 1999},
    {1700000000, 123456789, 1700000000123},
    {-1, 500000000, -500},
    {kLatestSeconds, 999999999, 253402300799999},
    {kEarliestSeconds, 0, -62167219200000},
};

TEST(ToMillis, Table) {
  for (const MillisCase& c : kMillisCases) {
    EXPECT_EQ(to_millis({c.seconds, c.nanoseconds}), c.expected)
        << c.seconds << " s " << c.nanoseconds << " ns";
  }
}

constexpr Instant kInvalidInstants[] = {
    {0, 1000000000},
    {0, 4294967295},
    {kLatestSeconds + 1, 0},
    {kEarliestSeconds - 1, 999999999},
    {INT64_MAX, 0},
    {INT64_MIN, 0},
};

TEST(Rfc3339, InvalidInstantsAreFaults) {
  for (const Instant& at : kInvalidInstants) {
    EXPECT_THROW(format_rfc3339(at), Fault) << at.seconds;
    EXPECT_THROW(to_millis(at), Fault) << at.seconds;
  }
}

}  // namespace
}  // namespace veltar::forensic
