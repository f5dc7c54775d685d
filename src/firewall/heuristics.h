// The firewall's deep path: five heuristics that score the surface marks of
// injected instructions (imperative verbs, unusual symbols, phrases that
// announce a change of task, abnormal length, traces of encodings).
//
// Everything here is plain computation on a string: no state, no regular
// expressions, no errors. All functions are safe for concurrent use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltar::firewall {

// A word is imperative when its full lower-cased form is one of these
// keywords immediately followed by one of the suffixes, and nothing else.
inline constexpr std::array<std::string_view, 15> IMPERATIVE_KEYWORDS = {
    "ignore", "forget", "override", "bypass", "disable", "pretend", "act",  "reveal",
    "output", "execute", "send", "transmit", "run", "eval", "sudo",
};
inline constexpr std::array<std::string_view, 6> IMPERATIVE_SUFFIXES = {
    "", "s", "d", "ed", "er", "ing",
};

// Searched in the fully lower-cased text; each separator is U+0020.
inline constexpr std::array<std::string_view, 8> CONTEXT_SWITCH_PHRASES = {
    "now you", "from now", "new task", "instead ", "actually ", "correction:", "update:",
    "revised:",
};

// Searched byte for byte in the text as given (case-sensitive).
inline constexpr std::array<std::string_view, 6> ENCODING_MARKERS = {
    "base64", "\\x", "\\u00", "%2F", "%20", "&#x",
};

// The punctuation that does not count as a special character.
inline constexpr std::string_view PLAIN_PUNCTUATION = ".,;:!?'-\"()";

// What the heuristics measure in one text, before any threshold applies.
struct HeuristicCounts {
  std::size_t words = 0;             // maximal runs of non-White_Space characters
  std::size_t imperative_words = 0;  // words that are imperative (see above)
  std::size_t special_chars = 0;     // characters neither alphanumeric, white space
                                     // nor PLAIN_PUNCTUATION
  std::uint32_t phrases = 0;         // bit i: CONTEXT_SWITCH_PHRASES[i] occurs
  std::uint32_t markers = 0;         // bit i: ENCODING_MARKERS[i] occurs

  friend bool operator==(const HeuristicCounts&, const HeuristicCounts&) = default;
};

// The score and the signals of the heuristics that fired, in heuristic order:
// "high_imperative_density:", "high_special_chars:", "context_switches:",
// "abnormal_length:", "encoding_markers:", each followed by its value.
struct HeuristicReport {
  double score = 0.0;
  std::vector<std::string> signals;
};

// Measures `text` (UTF-8) in time linear in its length. ASCII stretches are
// classified by byte tables and word-wide bit masks without decoding; only
// non-ASCII characters are decoded. Bytes that are not valid UTF-8 count as
// one special character each and never end a word.
HeuristicCounts count_heuristics(std::string_view text);

// Applies the thresholds and weights to counts measured on a text of
// `byte_length` bytes. Each contribution is one rounded multiplication
// followed by one rounded addition, in heuristic order.
HeuristicReport score_counts(const HeuristicCounts& counts, std::size_t byte_length);

// score_counts(count_heuristics(text), text.size()). Never fails except by
// running out of memory for the signal texts.
HeuristicReport score_heuristics(std::string_view text);

// `value` in fixed-point notation with exactly two decimals, correctly
// rounded from its binary value with ties to even ("0.62" for 0.625), the
// integer part always written. Independent of the C locale.
std::string format_two_decimals(double value);

}  // namespace veltar::firewall
