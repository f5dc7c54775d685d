// The catalogue of fifteen named prompt-injection patterns and its one query.
//
// The patterns are written in the catalogue dialect (regex/syntax.h): each
// starts with "(?i)" (Unicode simple case folding), `\s` is White_Space and
// `.` any character but a line feed, counted repetitions count characters.
// They are compiled together, in catalogue order, into one regex::PatternSet.
//
// INJECTION_PATTERNS and PATTERN_NAMES are process-wide, built on first
// access under their own thread-safe one-time guards, read-only afterwards
// and never freed. A build that fails throws and leaves nothing behind; the
// next access builds again.
//
// The set's Vectorscan database is compiled when the module is built
// (tools/gen_injection_database.cc writes it into a generated source) and
// loaded by INJECTION_PATTERNS(); it is compiled at run time instead when
// the stored one was made from other programs or does not load on the
// running processor.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "regex/pattern_set.h"
#include "regex/vectorscan_set.h"

namespace veltar::firewall {

struct InjectionEntry {
  std::string_view name;
  std::string_view pattern;
  // Searched by a necessary condition in the set and decided by PCRE2 (see
  // regex/pattern_set.h): a matter of speed, never of results. Chosen by
  // measurement, for the entries whose counted gap slows the set down.
  bool confirmed = false;
};

inline constexpr std::size_t kInjectionPatternCount = 15;

// The catalogue, in order; position i of INJECTION_PATTERNS and of
// PATTERN_NAMES is entry i.
extern const std::array<InjectionEntry, kInjectionPatternCount> kInjectionCatalogue;

// The set members of `entries`, in order.
std::vector<regex::PatternSet::Member> injection_set_members(
    std::span<const InjectionEntry> entries);

// Compiles `patterns` into one set, member i being patterns[i], each one
// searched exactly by the set. Throws veltar::Fault("Failed to compile
// injection regex patterns: " + description) when a pattern cannot be
// translated or the set does not compile.
regex::PatternSet build_injection_patterns(std::span<const std::string_view> patterns);

// Compiles the patterns of `entries` into one set as INJECTION_PATTERNS()
// does, confirmed entries included, taking the database from `stored` when
// it fits. Throws as the overload above.
regex::PatternSet build_injection_patterns(std::span<const InjectionEntry> entries,
                                           const regex::StoredDatabase& stored);

// The set database of the catalogue as the build compiled it, with its
// programs (defined in the source written by tools/gen_injection_database.cc).
regex::StoredDatabase stored_injection_patterns();

// The compiled catalogue, built on first access.
const regex::PatternSet& INJECTION_PATTERNS();

// The fifteen names in catalogue order, built on first access.
const std::vector<std::string_view>& PATTERN_NAMES();

// The names, in catalogue order and each once, of the entries whose pattern
// matches somewhere in `text` (valid UTF-8). Builds both tables first if
// needed; throws only when that build fails.
std::vector<std::string> match_injection_patterns(std::string_view text);

}  // namespace veltar::firewall
