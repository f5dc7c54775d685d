// Instants on the UTC time line and their RFC 3339 text.
//
// An Instant is a count of seconds since 1970-01-01T00:00:00Z (negative
// before it) plus a sub-second part. Leap seconds are not represented, as in
// POSIX time: every day has 86400 seconds.
#pragma once

#include <cstdint>
#include <string>

namespace veltar::forensic {

struct Instant {
  std::int64_t seconds;       // whole seconds since the Unix epoch, floored
  std::uint32_t nanoseconds;  // sub-second part, 0 to 999999999
};

// Range of instants whose year has four digits:
// 0000-01-01T00:00:00Z to 9999-12-31T23:59:59.999999999Z.
inline constexpr std::int64_t kEarliestSeconds = -62167219200;
inline constexpr std::int64_t kLatestSeconds = 253402300799;

// Returns "YYYY-MM-DDTHH:MM:SS" followed by a fraction and "+00:00" (never
// "Z"). The fraction is empty when the sub-second part is zero, otherwise "."
// and 3 digits when it is a whole number of milliseconds, else 6 digits when
// it is a whole number of microseconds, else 9 digits; left zero-padded.
// Throws veltar::Fault if `at` lies outside [kEarliestSeconds, kLatestSeconds]
// or its nanoseconds are 1000000000 or more.
std::string format_rfc3339(Instant at);

// Returns seconds * 1000 + nanoseconds / 1000000 (remainder dropped): the
// instant cut to whole milliseconds since the Unix epoch. Throws veltar::Fault
// on the same invalid instants as format_rfc3339, so the product cannot
// overflow.
std::int64_t to_millis(Instant at);

}  // namespace veltar::forensic
