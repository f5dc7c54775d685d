// Helpers shared by the fuzzing harnesses.
//
// The engines take valid UTF-8 only (their callers get it from Python's own
// encoder), so raw fuzz bytes are made valid before they reach an engine.
// Several harnesses need more than one text per input; they split the raw
// bytes at 0xFF, a byte that never occurs in UTF-8, so each part can still
// hold every valid text. A property that does not hold prints what was seen
// and aborts, which libFuzzer reports as a crash and saves the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace veltar::fuzz {

// Length of the valid UTF-8 sequence starting at s[i], or 0 if none starts
// there (truncated, overlong, a surrogate, beyond U+10FFFF, a stray
// continuation byte).
inline std::size_t valid_sequence_length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const auto cont = [&](std::size_t k) { return (b(k) & 0xC0) == 0x80; };
  const unsigned b0 = b(0);
  const std::size_t left = s.size() - i;
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) return left >= 2 && cont(1) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3 || !cont(1) || !cont(2)) return 0;
    if (b0 == 0xE0 && b(1) < 0xA0) return 0;   // overlong
    if (b0 == 0xED && b(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
    if (b0 == 0xF0 && b(1) < 0x90) return 0;   // overlong
    if (b0 == 0xF4 && b(1) >= 0x90) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

// Keeps every valid sequence of `bytes` and turns each other byte b into the
// character U+00bb (Latin-1 reading), so 0x85 becomes NEL and 0xA0 a no-break
// space: white space and letters that byte-level mutation reaches easily.
inline std::string to_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = valid_sequence_length(bytes, i);
    if (n > 0) {
      out.append(bytes.substr(i, n));
      i += n;
      continue;
    }
    const auto c = static_cast<unsigned char>(bytes[i]);
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    ++i;
  }
  return out;
}

// The raw input cut at 0xFF bytes into at most `max_parts` pieces; the last
// piece keeps any further 0xFF bytes.
inline std::vector<std::string_view> split_parts(std::string_view bytes, std::size_t max_parts) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < max_parts) {
    const std::size_t cut = bytes.find('\xff');
    if (cut == std::string_view::npos) break;
    parts.push_back(bytes.substr(0, cut));
    bytes.remove_prefix(cut + 1);
  }
  parts.push_back(bytes);
  return parts;
}

// `text` with every byte outside printable ASCII written as \xNN, for
// failure messages.
inline std::string escaped(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(ch);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// Outcome features for libFuzzer. The regular-expression engines are not
// instrumented, so coverage alone cannot tell an input that makes a detector
// match from one that does not; a harness marks such outcomes here and
// libFuzzer keeps the inputs that reach new ones. libFuzzer clears the
// counters before each run.
inline constexpr std::size_t kOutcomeFeatures = 256;
[[gnu::used,
  gnu::section(
      "__libfuzzer_extra_counters")]] inline std::uint8_t g_outcome_counters[kOutcomeFeatures];

inline void note_outcome(std::size_t feature) {
  std::uint8_t& counter = g_outcome_counters[feature % kOutcomeFeatures];
  if (counter < 255) ++counter;
}

[[noreturn]] inline void fail(const char* file, int line, const char* condition,
                              const std::string& detail) {
  std::fprintf(stderr, "\nPROPERTY VIOLATED at %s:%d\n  %s\n  %s\n", file, line, condition,
               detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace veltar::fuzz

// Aborts with `detail` (a std::string expression, evaluated only on failure)
// when `condition` is false.
#define FUZZ_CHECK(condition, detail)                                 \
  do {                                                                \
    if (!(condition)) {                                               \
      ::veltar::fuzz::fail(__FILE__, __LINE__, #condition, (detail)); \
    }                                                                 \
  } while (false)
