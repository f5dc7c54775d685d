// The generated tables behind unicode.h (defined in unicode_tables.cc, made by
// tools/gen_unicode_tables.py). Internal to the unicode unit and its tests.
#pragma once

#include <cstdint>
#include <span>

#include "unicode/unicode.h"

namespace veltar::unicode::tables {

// A run of a code point mapping: every `stride`-th code point from `first` to
// `last` inclusive maps to itself plus `delta`. Runs are sorted and their
// [first, last] spans are disjoint; code points in no run map to themselves.
struct CaseRun {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::uint32_t stride;  // 1 or 2
};

// A full lower-case mapping to more than one code point.
struct SpecialLower {
  char32_t code_point;
  char32_t lower[3];
  std::uint32_t length;
};

// The code points whose simple case folding is `fold`: orbit_members()
// [offset, offset + length), ascending, `fold` itself included.
struct Orbit {
  char32_t fold;
  std::uint16_t offset;
  std::uint16_t length;
};

std::span<const Range> cased_ranges();           // Cased
std::span<const Range> case_ignorable_ranges();  // Case_Ignorable
std::span<const CaseRun> simple_fold_runs();     // CaseFolding.txt, statuses C and S
std::span<const CaseRun> simple_lower_runs();    // single-code-point full lower-casing
std::span<const SpecialLower> special_lowers();  // sorted by code_point
std::span<const Orbit> orbits();                 // sorted by fold; only classes of 2 or more
std::span<const char32_t> orbit_members();

}  // namespace veltar::unicode::tables
