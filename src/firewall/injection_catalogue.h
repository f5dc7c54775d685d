// The catalogue of fifteen named prompt-injection patterns and its one query.
//
// The patterns are written in the catalogue dialect (regex/syntax.h): each
// starts with "(?i)" (Unicode simple case folding), `\s` is White_Space and
// `.` any character but a line feed, counted repetitions count characters.
// They are compiled together, in catalogue order, into one Vectorscan set.
//
// INJECTION_PATTERNS and PATTERN_NAMES are process-wide, built on first
// access under their own thread-safe one-time guards, read-only afterwards
// and never freed. A build that fails throws and leaves nothing behind; the
// next access builds again.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "regex/vectorscan_set.h"

namespace veltar::firewall {

struct InjectionEntry {
  std::string_view name;
  std::string_view pattern;
};

inline constexpr std::size_t kInjectionPatternCount = 15;

// The catalogue, in order; position i of INJECTION_PATTERNS and of
// PATTERN_NAMES is entry i.
extern const std::array<InjectionEntry, kInjectionPatternCount> kInjectionCatalogue;

// Compiles `patterns` (catalogue dialect) into one set, member i being
// patterns[i]. Throws veltar::Fault("Failed to compile injection regex
// patterns: " + description) when a pattern cannot be translated or the set
// does not compile.
regex::VectorscanSet build_injection_patterns(std::span<const std::string_view> patterns);

// The compiled catalogue, built on first access.
const regex::VectorscanSet& INJECTION_PATTERNS();

// The fifteen names in catalogue order, built on first access.
const std::vector<std::string_view>& PATTERN_NAMES();

// The names, in catalogue order and each once, of the entries whose pattern
// matches somewhere in `text` (valid UTF-8). Builds both tables first if
// needed; throws only when that build fails.
std::vector<std::string> match_injection_patterns(std::string_view text);

}  // namespace veltar::firewall
