// A set of catalogue patterns (regex/syntax.h) that one search answers for
// all members at once.
//
// The members are compiled together into one VectorscanSet, member i at
// position i. Most members are exact: their set program is their own
// translation. A member may instead be confirmed: its set program is only a
// necessary condition of the pattern (translate_necessary_condition), and
// when the set reports it, the pattern's exact PCRE2 translation is searched
// over the text and decides. This is exact because every text the pattern
// matches somewhere contains a match of the condition: the set never misses
// a member that matches, and PCRE2 rejects every report that is only the
// condition. Confirmation pays for a pattern with a long counted gap
// (".{0,40}" after a frequent word): the set engine follows every start of
// the pattern through the gap, tens of nanoseconds a byte of ordinary prose,
// while the condition costs next to nothing and is rarely met. The PCRE2
// search must be linear in its own right: a gap bounds how far each start
// looks ahead, and translate() makes a run before a gap keep what it takes
// (kPossessiveBeforeGap), so that nothing is given back across the run.
// Which members are confirmed changes only speed, never an answer.
//
// A PatternSet is immutable once built and safe for concurrent use by
// several threads (see VectorscanSet and Pcre2Pattern).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "regex/pcre2_pattern.h"
#include "regex/vectorscan_set.h"

namespace veltar::regex {

class PatternSet {
 public:
  struct Member {
    std::string_view pattern;
    // Searched by a necessary condition in the set, decided by PCRE2.
    bool confirmed = false;
  };

  // The Vectorscan programs of the set, in member order: a member's own
  // translation, or its necessary condition when it is confirmed. Throws
  // veltar::Fault when a pattern cannot be translated.
  static std::vector<std::string> set_programs(std::span<const Member> members);

  // Translates and compiles `members`. Throws veltar::Fault with the
  // translator's or the engine's description when a pattern cannot be
  // translated or the set or a confirmation program does not compile.
  explicit PatternSet(std::span<const Member> members);

  // The same, with the set's database taken from `stored` when it fits (see
  // the VectorscanSet constructor that takes a StoredDatabase).
  PatternSet(std::span<const Member> members, const StoredDatabase& stored);

  std::size_t size() const { return set_.size(); }

  // The one-pass set, whose member i is set_programs(...)[i].
  const VectorscanSet& vectorscan() const { return set_; }

  // Which members match somewhere in `text` (valid UTF-8): element i is
  // true when the pattern of member i has a match. Throws veltar::Fault
  // when an engine fails (it cannot allocate its scratch space, say); a
  // text is never taken as clean because matching gave up.
  std::vector<bool> match(std::string_view text) const;

 private:
  PatternSet(std::span<const Member> members, VectorscanSet set);

  VectorscanSet set_;
  // Entry i holds the exact program of member i when it is confirmed.
  std::vector<std::optional<Pcre2Pattern>> confirmations_;
};

}  // namespace veltar::regex
