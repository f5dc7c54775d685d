// Fuzzes format_rfc3339 and to_millis.
//
// Input: 8 bytes of seconds and 4 bytes of nanoseconds (little-endian), then
// one mode byte. Mode bit 0 folds the seconds into the years 0000 to 9999
// and bit 1 the nanoseconds below one second, so most inputs are valid while
// raw values still reach the range checks.
//
// Checked on every input:
// - an instant outside [kEarliestSeconds, kLatestSeconds] or with a second or
//   more of nanoseconds makes both functions throw Fault;
// - otherwise the text is "YYYY-MM-DDTHH:MM:SS", a fraction, "+00:00"; the
//   date and time fields are those of the C library's gmtime_r; the fraction
//   is empty for 0 ns, else 3 digits for whole milliseconds, 6 for whole
//   microseconds, 9 otherwise, zero-padded;
// - to_millis is seconds * 1000 + nanoseconds / 10^6.
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/fault.h"
#include "forensic/rfc3339.h"
#include "fuzz_support.h"

namespace veltar::fuzz {
namespace {

using forensic::Instant;

bool throws_fault(Instant at, bool millis) {
  try {
    if (millis) {
      forensic::to_millis(at);
    } else {
      forensic::format_rfc3339(at);
    }
  } catch (const Fault&) {
    return true;
  }
  return false;
}

std::string two(int value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", value);
  return buf;
}

std::string expected_text(Instant at) {
  const time_t seconds = static_cast<time_t>(at.seconds);
  tm fields{};
  FUZZ_CHECK(gmtime_r(&seconds, &fields) != nullptr,
             "gmtime_r failed for " + std::to_string(at.seconds));
  char year[16];
  std::snprintf(year, sizeof year, "%04ld", static_cast<long>(fields.tm_year) + 1900);
  std::string text = std::string(year) + "-" + two(fields.tm_mon + 1) + "-" + two(fields.tm_mday) +
                     "T" + two(fields.tm_hour) + ":" + two(fields.tm_min) + ":" +
                     two(fields.tm_sec);
  char fraction[16] = "";
  if (at.nanoseconds % 1000000 == 0) {
    if (at.nanoseconds != 0)
      std::snprintf(fraction, sizeof fraction, ".%03u", at.nanoseconds / 1000000);
  } else if (at.nanoseconds % 1000 == 0) {
    std::snprintf(fraction, sizeof fraction, ".%06u", at.nanoseconds / 1000);
  } else {
    std::snprintf(fraction, sizeof fraction, ".%09u", at.nanoseconds);
  }
  return text + fraction + "+00:00";
}

}  // namespace
}  // namespace veltar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltar;
  using namespace veltar::fuzz;
  if (size < 13) return 0;
  std::uint64_t raw_seconds;
  std::uint32_t raw_nanos;
  std::memcpy(&raw_seconds, data, 8);
  std::memcpy(&raw_nanos, data + 8, 4);
  const std::uint8_t mode = data[12];

  forensic::Instant at{static_cast<std::int64_t>(raw_seconds), raw_nanos};
  if (mode & 1) {
    const std::uint64_t span =
        static_cast<std::uint64_t>(forensic::kLatestSeconds - forensic::kEarliestSeconds) + 1;
    at.seconds = forensic::kEarliestSeconds + static_cast<std::int64_t>(raw_seconds % span);
  }
  if (mode & 2) at.nanoseconds = raw_nanos % 1000000000u;

  const auto context = [&] {
    return "instant " + std::to_string(at.seconds) + " s " + std::to_string(at.nanoseconds) + " ns";
  };
  const bool valid = at.nanoseconds < 1000000000u && at.seconds >= forensic::kEarliestSeconds &&
                     at.seconds <= forensic::kLatestSeconds;
  if (!valid) {
    FUZZ_CHECK(throws_fault(at, false), context() + ": format_rfc3339 accepted it");
    FUZZ_CHECK(throws_fault(at, true), context() + ": to_millis accepted it");
    return 0;
  }

  const std::string text = forensic::format_rfc3339(at);
  const std::string expected = expected_text(at);
  FUZZ_CHECK(text == expected,
             context() + ": '" + escaped(text) + "', expected '" + expected + "'");
  const std::int64_t millis = forensic::to_millis(at);
  FUZZ_CHECK(millis == at.seconds * 1000 + static_cast<std::int64_t>(at.nanoseconds / 1000000),
             context() + ": to_millis " + std::to_string(millis));
  return 0;
}
