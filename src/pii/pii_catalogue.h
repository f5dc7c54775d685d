// The catalogue of the six PII detectors: category, pattern, token.
//
// The patterns are written in the catalogue dialect (regex/syntax.h): `\d`
// is general category Nd, `\s` White_Space, `\b` a boundary between a word
// character (Alphabetic, Mark, Nd, Pc, Join_Control) and anything else, all
// repetitions greedy, leftmost-first matching. Each is translated for PCRE2
// and compiled once per process.
//
// PII_PATTERNS is process-wide, built on first access under a thread-safe
// one-time guard, read-only afterwards and never freed. A build that fails
// throws and leaves nothing behind; the next access builds again. Its
// entries may be matched from several threads at once.
#pragma once

#include <array>
#include <span>
#include <string_view>
#include <vector>

#include "regex/pcre2_pattern.h"

namespace veltar::pii {

// One detector as the catalogue writes it.
struct PiiEntry {
  std::string_view category;
  std::string_view pattern;
  std::string_view replacement;
};

// One compiled detector.
struct PiiPattern {
  std::string_view category;
  regex::Pcre2Pattern pattern;
  std::string_view replacement;
};

inline constexpr std::size_t kPiiPatternCount = 6;

// The catalogue, in table order.
extern const std::array<PiiEntry, kPiiPatternCount> kPiiCatalogue;

// Compiles `entries` in order into a table of exactly entries.size()
// detectors. Throws veltar::Fault("Failed to compile PII regex patterns: " +
// description) when a pattern cannot be translated or does not compile.
std::vector<PiiPattern> build_pii_patterns(std::span<const PiiEntry> entries);

// The compiled catalogue, built on first access.
const std::vector<PiiPattern>& PII_PATTERNS();

}  // namespace veltar::pii
