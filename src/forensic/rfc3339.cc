#include "forensic/rfc3339.h"

#include <array>
#include <string_view>

#include "common/fault.h"

namespace veltar::forensic {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::uint32_t kNanosPerSecond = 1000000000;

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1 to 12
  unsigned day;    // 1 to 31
};

void check_instant(Instant at) {
  if (at.nanoseconds >= kNanosPerSecond) {
    throw Fault("instant has " + std::to_string(at.nanoseconds) +
                " nanoseconds, more than a second");
  }
  if (at.seconds < kEarliestSeconds || at.seconds > kLatestSeconds) {
    throw Fault("instant " + std::to_string(at.seconds) +
                " s lies outside the years 0000 to 9999");
  }
}

// Proleptic Gregorian date of a day count since 1970-01-01. The count is
// shifted to start at 0000-03-01 so that the leap day falls last in each
// computed year, and split into 400-year eras of 146097 days each.
CivilDate civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 -
       day_of_era / 146096) /
      365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned march_month = (5 * day_of_year + 2) / 153;  // March is 0
  const unsigned day = day_of_year - (153 * march_month + 2) / 5 + 1;
  const unsigned month = march_month < 10 ? march_month + 3 : march_month - 9;
  const std::int64_t year =
      static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

// Writes `value` as exactly `width` decimal digits, zero-padded on the left;
// `value` must be below 10^width.
char* put_digits(char* out, std::uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

}  // namespace

std::string format_rfc3339(Instant at) {
  check_instant(at);
  // Floored division: the time of day is never negative.
  std::int64_t days = at.seconds / kSecondsPerDay;
  std::int64_t second_of_day = at.seconds % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --days;
  }
  const CivilDate date = civil_from_days(days);

  // "YYYY-MM-DDTHH:MM:SS.nnnnnnnnn+00:00" is the longest form: 35 characters.
  std::array<char, 35> text{};
  char* out = text.data();
  out = put_digits(out, static_cast<std::uint64_t>(date.year), 4);
  *out++ = '-';
  out = put_digits(out, date.month, 2);
  *out++ = '-';
  out = put_digits(out, date.day, 2);
  *out++ = 'T';
  out = put_digits(out, static_cast<std::uint64_t>(second_of_day / 3600), 2);
  *out++ = ':';
  out = put_digits(out, static_cast<std::uint64_t>(second_of_day / 60 % 60), 2);
  *out++ = ':';
  out = put_digits(out, static_cast<std::uint64_t>(second_of_day % 60), 2);

  const std::uint32_t nanos = at.nanoseconds;
  if (nanos != 0) {
    *out++ = '.';
    if (nanos % 1000000 == 0) {
      out = put_digits(out, nanos / 1000000, 3);
    } else if (nanos % 1000 == 0) {
      out = put_digits(out, nanos / 1000, 6);
    } else {
      out = put_digits(out, nanos, 9);
    }
  }
  for (char c : std::string_view("+00:00")) {
    *out++ = c;
  }
  return std::string(text.data(), out);
}

std::int64_t to_millis(Instant at) {
  check_instant(at);
  return at.seconds * 1000 + static_cast<std::int64_t>(at.nanoseconds / 1000000);
}

}  // namespace veltar::forensic
