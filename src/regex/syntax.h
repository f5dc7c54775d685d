// The syntax tree of a catalogue pattern, and its parser.
//
// The parser reads the dialect the catalogues are written in and resolves
// every character class to explicit code points from the Unicode data of
// src/unicode, so that no engine's own tables decide a match:
//   - `\s` is White_Space, `\d` is general category Nd, `.` is anything but
//     U+000A;
//   - `\b` stays a node of its own (its word class is unicode::word_ranges());
//   - a leading "(?i)" closes every class under simple case folding; the flag
//     is accepted only at the very start and then covers the whole pattern;
//   - groups, capturing or "(?:", become plain structure: captures are never
//     used, so none is kept.
// Anything else (anchors, back-references, lazy or possessive quantifiers,
// other escapes or group kinds) is rejected with a veltar::Fault naming the
// offset, rather than handed to an engine that would read it its own way.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "regex/char_set.h"

namespace veltar::regex {

inline constexpr std::uint32_t kUnbounded = UINT32_MAX;
// The largest count a quantifier may give.
inline constexpr std::uint32_t kMaxRepeatCount = 65535;

struct Node {
  enum class Kind {
    kChars,          // one character of `chars`
    kSequence,       // `children` in order; empty matches the empty string
    kAlternation,    // the first of `children` that leads to a match
    kRepeat,         // children[0], from `min` to `max` times, greedy
    kWordBoundary,   // \b: a word character on exactly one side
    kNotFollowedBy,  // negative look-ahead of children[0]
    kNotPrecededBy,  // negative look-behind of children[0] (one character)
    kSkip,           // PCRE2's (*SKIP): a failing attempt resumes here
  };

  Kind kind = Kind::kSequence;
  CharSet chars;
  std::vector<Node> children;
  std::uint32_t min = 0;
  std::uint32_t max = 0;  // kUnbounded for no upper bound
  bool possessive = false;

  static Node of_chars(CharSet set);
  static Node sequence(std::vector<Node> items);
  static Node repeat(Node child, std::uint32_t min, std::uint32_t max);
  static Node assertion(Kind kind, Node child);
};

// Parses a catalogue pattern. Throws veltar::Fault on any syntax error or
// unsupported construct.
Node parse(std::string_view pattern);

// The class `\b` judges by: Alphabetic, Mark, Nd, Pc and Join_Control.
const CharSet& word_chars();
// `\d`: general category Nd.
const CharSet& digit_chars();
// `\s`: White_Space.
const CharSet& space_chars();

}  // namespace veltar::regex
