// Sets of Unicode scalar values, the classes of the regex translation.
//
// A CharSet holds sorted, disjoint, non-adjacent ranges and never a surrogate
// (U+D800 to U+DFFF): the texts it is matched against are valid UTF-8, so a
// surrogate can never occur and leaving them out keeps every set expressible
// in the engines' UTF modes. A CharSet is a plain value; it is not
// synchronised, but const access from several threads is safe.
#pragma once

#include <span>
#include <vector>

#include "unicode/unicode.h"

namespace veltar::regex {

class CharSet {
 public:
  CharSet() = default;

  // The set of the single code point `c` (empty for a surrogate).
  static CharSet of(char32_t c);
  // The union of `ranges`, which need not be sorted or disjoint.
  static CharSet of_ranges(std::span<const unicode::Range> ranges);
  // Every scalar value.
  static CharSet all();

  // Adds [first, last] (first <= last <= U+10FFFF), surrogates excepted.
  void add(char32_t first, char32_t last);
  void add(const CharSet& other);

  // Every scalar value not in this set.
  CharSet complement() const;
  CharSet intersection(const CharSet& other) const;
  // The set closed under simple case folding: every member's orbit
  // (unicode::case_fold_orbit) is added. Costs one orbit look-up per member.
  CharSet case_closed() const;

  bool empty() const { return ranges_.empty(); }
  bool contains(char32_t c) const;
  bool intersects(const CharSet& other) const;
  bool subset_of(const CharSet& other) const;
  // The number of members.
  std::size_t size() const;

  std::span<const unicode::Range> ranges() const { return ranges_; }

  friend bool operator==(const CharSet& a, const CharSet& b);

 private:
  // Appends [first, last] without its surrogates; normalize() restores the
  // invariant.
  void push(char32_t first, char32_t last);
  void normalize();

  std::vector<unicode::Range> ranges_;
};

}  // namespace veltar::regex
