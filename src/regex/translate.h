// Translation of catalogue patterns into the programs the engines compile.
//
// A catalogue pattern is written in a small Perl-like dialect (see
// regex/syntax.h for what it accepts and how its classes resolve). The
// program written for an engine spells every class out as explicit code
// points (`\s` as White_Space, `\d` as the Nd ranges, `.` as [^\n], `\b` as
// look-around on the explicit word class, "(?i)" as the simple case-folding
// orbit of each letter), so the engine needs no Unicode tables of its own:
//   - kVectorscan: for a database compiled with HS_FLAG_UTF8 and neither
//     HS_FLAG_UCP nor HS_FLAG_CASELESS. A pattern with `\b` is rejected: the
//     engine has no look-around.
//   - kPcre2: for a pattern compiled with PCRE2_UTF and without PCRE2_UCP or
//     PCRE2_CASELESS.
// Each program matches exactly the texts its pattern matches, and for PCRE2
// with the same leftmost-first match, so match positions, counts and
// replacements are the pattern's own.
//
// The rewrites below change no result; they remove the backtracking that
// would make a plain translation super-linear. Each can be switched off, so
// that tests can compare the rewritten program with the plain one.
#pragma once

#include <string>
#include <string_view>

namespace veltar::regex {

enum class Engine { kVectorscan, kPcre2 };

enum Rewrite : unsigned {
  kNoRewrites = 0,
  // "(X?){0,n}" with X one character becomes "X{0,n}".
  kCollapseOptionalRepeat = 1u << 0,
  // A pattern that ends with \b and can take at most N digits in a row gets
  // the leading guard "(?!\d{N+1})" (PCRE2 only).
  kDigitRunGuard = 1u << 1,
  // A leading "X+" that cannot give characters back becomes "X++(*SKIP)"
  // (PCRE2 only).
  kPossessiveSkip = 1u << 2,
  // \b next to an atom of word characters becomes a one-sided look-around
  // (PCRE2 only).
  kOneSidedBoundary = 1u << 3,
  // "X+" followed by a gap "Y{0,n}" and by something that must start with a
  // character outside X becomes "X++" (PCRE2 only).
  kPossessiveBeforeGap = 1u << 4,
  kAllRewrites = (1u << 5) - 1,
};

// The program for `engine` equivalent to the catalogue pattern `pattern`.
// Throws veltar::Fault when the pattern is malformed, uses a construct the
// dialect lacks, or needs a construct `engine` lacks.
std::string translate(std::string_view pattern, Engine engine,
                      unsigned rewrites = kAllRewrites);

// A program for `engine` that matches somewhere in every text in which the
// catalogue pattern `pattern` matches: a necessary condition, not a
// sufficient one. It is the end of the pattern: the top-level items after
// its last top-level repetition of more than one character, preceded by the
// copies that repetition must take ("a\s+b" gives "\sb", "a.{0,9}b" gives
// "b"). Every match of the pattern ends with a match of that part, so the
// program is implied; it holds no top-level repetition, which keeps a
// set engine on its literal search instead of an automaton that follows
// every frequent prefix through a long gap.
// Throws veltar::Fault as translate() does, and when the pattern has no
// top-level repetition of more than one character or the part after it
// could match the empty string.
std::string translate_necessary_condition(std::string_view pattern, Engine engine,
                                          unsigned rewrites = kAllRewrites);

}  // namespace veltar::regex
