#include "unicode/unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/fault.h"
#include "unicode/unicode_tables.h"

namespace veltar::unicode {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

std::string hex(char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", unsigned(c));
  return buf;
}

std::string utf8(std::u32string_view text) {
  std::string out;
  for (char32_t c : text) append_utf8(out, c);
  return out;
}

std::u32string decode_all(std::string_view text) {
  std::u32string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const Decoded d = decode_utf8(p);
    out.push_back(d.code_point);
    p += d.length;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Character properties

struct PropertyCase {
  char32_t c;
  bool white_space;
  bool decimal_number;
  bool word;
  bool alphanumeric;
  bool cased;
  bool case_ignorable;
  const char* why;
};

constexpr PropertyCase kPropertyCases[] = {
    // c        ws     nd     word   alnum  cased  ci
    {U'a', false, false, true, true, true, false, "ASCII letter"},
    {U'Z', false, false, true, true, true, false, "ASCII capital"},
    {U'7', false, true, true, true, false, false, "ASCII digit"},
    {U'_', false, false, true, false, false, false, "Pc is word, not alphanumeric"},
    {U'\'', false, false, false, false, false, true, "apostrophe is Case_Ignorable"},
    {U'.', false, false, false, false, false, true, "full stop is Case_Ignorable"},
    {U' ', true, false, false, false, false, false, "space"},
    {0x0009, true, false, false, false, false, false, "tab"},
    {0x000D, true, false, false, false, false, false, "carriage return"},
    {0x001C, false, false, false, false, false, false, "file separator is not White_Space"},
    {0x001F, false, false, false, false, false, false, "unit separator is not White_Space"},
    {0x0085, true, false, false, false, false, false, "NEL is White_Space"},
    {0x00A0, true, false, false, false, false, false, "no-break space"},
    {0x180E, false, false, false, false, false, true, "Mongolian vowel separator, WS until 6.2"},
    {0x200B, false, false, false, false, false, true, "zero width space is not White_Space"},
    {0x200A, true, false, false, false, false, false, "hair space"},
    {0x2028, true, false, false, false, false, false, "line separator"},
    {0x202F, true, false, false, false, false, false, "narrow no-break space"},
    {0x205F, true, false, false, false, false, false, "medium mathematical space"},
    {0x3000, true, false, false, false, false, false, "ideographic space"},
    {0xFEFF, false, false, false, false, false, true, "BOM is not White_Space"},
    {0x00B2, false, false, false, true, false, false, "superscript two is No"},
    {0x00BD, false, false, false, true, false, false, "vulgar fraction one half is No"},
    {0x2160, false, false, true, true, true, false, "Roman numeral one is Nl and Alphabetic"},
    {0x0300, false, false, true, false, false, true, "combining grave: Mn, not Alphabetic"},
    {0x20DD, false, false, true, false, false, true, "enclosing circle: Me"},
    {0x0903, false, false, true, true, false, false, "Devanagari visarga: Mc and Alphabetic"},
    {0x0345, false, false, true, true, true, true, "ypogegrammeni: Cased and Case_Ignorable"},
    {0x02B0, false, false, true, true, true, true, "modifier small h: Cased and Case_Ignorable"},
    {0x200C, false, false, true, false, false, true, "ZWNJ is Join_Control"},
    {0x200D, false, false, true, false, false, true, "ZWJ is Join_Control"},
    {0x203F, false, false, true, false, false, false, "undertie is Pc"},
    {0x0660, false, true, true, true, false, false, "Arabic-Indic digit zero"},
    {0xFF10, false, true, true, true, false, false, "fullwidth digit zero"},
    {0x00AA, false, false, true, true, true, false, "feminine ordinal is Lo and Cased"},
    {0x4E00, false, false, true, true, false, false, "CJK ideograph"},
    {0x24B6, false, false, true, true, true, false, "circled capital A is So but Alphabetic"},
    {0x2E80, false, false, false, false, false, false, "CJK radical repeat is So"},
    {0x10400, false, false, true, true, true, false, "Deseret capital, four bytes"},
    {0x10D40, false, true, true, true, false, false, "Garay digit zero is Nd in 16.0"},
    {0x10D4A, false, false, true, true, false, false, "Garay vowel sign A, new in 16.0"},
    {0x10D50, false, false, true, true, true, false, "Garay capital A, new in 16.0"},
    {0x10D6E, false, false, false, false, false, false, "Garay hyphen is Pd"},
    {0x105C0, false, false, true, true, false, false, "Todhri letter A, new in 16.0"},
    {0x11380, false, false, true, true, false, false, "Tulu-Tigalari letter A, new in 16.0"},
    {0x11BC0, false, false, true, true, false, false, "Sunuwar letter, new in 16.0"},
    {0x16D43, false, false, true, true, false, false, "Kirat Rai letter A, new in 16.0"},
    {0x16D70, false, true, true, true, false, false, "Kirat Rai digit zero, new in 16.0"},
    {0x1E5D0, false, false, true, true, false, false, "Ol Onal letter O, new in 16.0"},
    {0x1CCF0, false, true, true, true, false, false, "outlined digit zero, new in 16.0"},
    {0x1C89, false, false, true, true, true, false, "Cyrillic capital TJE, new in 16.0"},
    {0xA7DC, false, false, true, true, true, false, "capital lambda with stroke, new in 16.0"},
    {0x0378, false, false, false, false, false, false, "unassigned"},
    {0xD800, false, false, false, false, false, false, "surrogate"},
    {0xE000, false, false, false, false, false, false, "private use"},
    {kMaxCodePoint, false, false, false, false, false, false, "last code point"},
};

TEST(UnicodeProperties, TableOfCases) {
  for (const PropertyCase& t : kPropertyCases) {
    SCOPED_TRACE(hex(t.c) + " " + t.why);
    EXPECT_EQ(is_white_space(t.c), t.white_space);
    EXPECT_EQ(is_decimal_number(t.c), t.decimal_number);
    EXPECT_EQ(is_word(t.c), t.word);
    EXPECT_EQ(is_alphanumeric(t.c), t.alphanumeric);
    EXPECT_EQ(is_cased(t.c), t.cased);
    EXPECT_EQ(is_case_ignorable(t.c), t.case_ignorable);
  }
}

TEST(UnicodeProperties, WhiteSpaceIsExactlyTheFixedList) {
  const std::vector<Range> expected = {
      {0x0009, 0x000D}, {0x0020, 0x0020}, {0x0085, 0x0085}, {0x00A0, 0x00A0},
      {0x1680, 0x1680}, {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F},
      {0x205F, 0x205F}, {0x3000, 0x3000},
  };
  const auto actual = white_space_ranges();
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i].first, expected[i].first) << i;
    EXPECT_EQ(actual[i].last, expected[i].last) << i;
  }
}

struct NamedRanges {
  const char* name;
  std::span<const Range> ranges;
};

std::vector<NamedRanges> all_range_tables() {
  return {
      {"white_space", white_space_ranges()},
      {"decimal_number", decimal_number_ranges()},
      {"word", word_ranges()},
      {"alphanumeric", alphanumeric_ranges()},
      {"cased", tables::cased_ranges()},
      {"case_ignorable", tables::case_ignorable_ranges()},
  };
}

TEST(UnicodeTables, RangesAreSortedDisjointAndMerged) {
  for (const NamedRanges& table : all_range_tables()) {
    SCOPED_TRACE(table.name);
    ASSERT_FALSE(table.ranges.empty());
    for (std::size_t i = 0; i < table.ranges.size(); ++i) {
      const Range& r = table.ranges[i];
      EXPECT_LE(r.first, r.last) << i;
      EXPECT_LE(r.last, kMaxCodePoint) << i;
      // Adjacent ranges would be one range: a gap of at least one code point.
      if (i > 0) {
        EXPECT_GT(r.first, table.ranges[i - 1].last + 1) << i;
      }
    }
  }
}

// Every predicate, ASCII table included, agrees with its range table on every
// code point. The walk advances through the ranges alongside the code points.
TEST(UnicodeTables, PredicatesMatchTheirRangesEverywhere) {
  struct Checked {
    const char* name;
    std::span<const Range> ranges;
    std::function<bool(char32_t)> predicate;
  };
  const Checked checks[] = {
      {"white_space", white_space_ranges(), is_white_space},
      {"decimal_number", decimal_number_ranges(), is_decimal_number},
      {"word", word_ranges(), is_word},
      {"alphanumeric", alphanumeric_ranges(), is_alphanumeric},
      {"cased", tables::cased_ranges(), is_cased},
      {"case_ignorable", tables::case_ignorable_ranges(), is_case_ignorable},
  };
  for (const Checked& check : checks) {
    SCOPED_TRACE(check.name);
    std::size_t next = 0;
    int mismatches = 0;
    for (char32_t c = 0; c <= kMaxCodePoint && mismatches < 5; ++c) {
      while (next < check.ranges.size() && check.ranges[next].last < c) ++next;
      const bool member = next < check.ranges.size() && check.ranges[next].first <= c;
      if (check.predicate(c) != member) {
        ++mismatches;
        ADD_FAILURE() << hex(c) << " predicate " << !member << " table " << member;
      }
    }
  }
}

TEST(UnicodeTables, AsciiTableBits) {
  for (char32_t c = 0; c < 0x80; ++c) {
    SCOPED_TRACE(hex(c));
    const bool digit = c >= '0' && c <= '9';
    const bool upper = c >= 'A' && c <= 'Z';
    const bool letter = upper || (c >= 'a' && c <= 'z');
    const bool space = c == ' ' || (c >= 0x09 && c <= 0x0D);
    const std::uint8_t bits = kAsciiTable[c];
    EXPECT_EQ((bits & kAsciiDigit) != 0, digit);
    EXPECT_EQ((bits & kAsciiUpper) != 0, upper);
    EXPECT_EQ((bits & kAsciiAlphanumeric) != 0, digit || letter);
    EXPECT_EQ((bits & kAsciiWord) != 0, digit || letter || c == '_');
    EXPECT_EQ((bits & kAsciiWhiteSpace) != 0, space);
  }
}

TEST(UnicodeTables, MappingTablesAreSortedAndDisjoint) {
  for (const auto runs : {tables::simple_fold_runs(), tables::simple_lower_runs()}) {
    ASSERT_FALSE(runs.empty());
    for (std::size_t i = 0; i < runs.size(); ++i) {
      EXPECT_LE(runs[i].first, runs[i].last) << i;
      EXPECT_TRUE(runs[i].stride == 1 || runs[i].stride == 2) << i;
      EXPECT_EQ((runs[i].last - runs[i].first) % runs[i].stride, 0u) << i;
      if (i > 0) {
        EXPECT_GT(runs[i].first, runs[i - 1].last) << i;
      }
    }
  }
  const auto specials = tables::special_lowers();
  for (std::size_t i = 1; i < specials.size(); ++i) {
    EXPECT_LT(specials[i - 1].code_point, specials[i].code_point) << i;
  }
  const auto orbits = tables::orbits();
  const auto members = tables::orbit_members();
  std::size_t expected_offset = 0;
  for (std::size_t i = 0; i < orbits.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(orbits[i - 1].fold, orbits[i].fold) << i;
    }
    EXPECT_EQ(orbits[i].offset, expected_offset) << i;
    EXPECT_GE(orbits[i].length, 2u) << i;
    expected_offset += orbits[i].length;
  }
  EXPECT_EQ(expected_offset, members.size());
}

// ---------------------------------------------------------------------------
// Simple case folding

struct FoldCase {
  char32_t c;
  char32_t fold;
};

constexpr FoldCase kFoldCases[] = {
    {U'A', U'a'},       {U'a', U'a'},       {U'1', U'1'},       {0x212A, U'k'},
    {0x017F, U's'},     {0x00DF, 0x00DF},   {0x1E9E, 0x00DF},   {0x0130, 0x0130},
    {0x0131, 0x0131},   {0x03A3, 0x03C3},   {0x03C2, 0x03C3},   {0x03F4, 0x03B8},
    {0x03D1, 0x03B8},   {0x13A0, 0x13A0},   {0xAB70, 0x13A0},   {0x1C89, 0x1C8A},
    {0xA7DC, 0x019B},   {0x10D50, 0x10D70}, {0x10400, 0x10428}, {0x01C5, 0x01C6},
    {0x1F88, 0x1F80},   {0x2160, 0x2170},   {0x24B6, 0x24D0},   {0x0345, 0x03B9},
};

TEST(SimpleCaseFold, TableOfCases) {
  for (const FoldCase& t : kFoldCases) {
    EXPECT_EQ(simple_case_fold(t.c), t.fold) << hex(t.c);
  }
}

struct OrbitCase {
  char32_t c;
  std::vector<char32_t> orbit;
};

TEST(CaseFoldOrbit, TableOfCases) {
  const OrbitCase cases[] = {
      {U'k', {U'K', U'k', 0x212A}},
      {0x212A, {U'K', U'k', 0x212A}},
      {U'S', {U'S', U's', 0x017F}},
      {U'i', {U'I', U'i'}},  // U+0130 and U+0131 fold only by full or Turkic rules
      {0x03C3, {0x03A3, 0x03C2, 0x03C3}},
      {0x03B8, {0x0398, 0x03B8, 0x03D1, 0x03F4}},
      {0x03B9, {0x0345, 0x0399, 0x03B9, 0x1FBE}},
      {0x00DF, {0x00DF, 0x1E9E}},
      {0x1C8A, {0x1C89, 0x1C8A}},
      {0x10D70, {0x10D50, 0x10D70}},
      {U'5', {U'5'}},
      {0x0130, {0x0130}},
      {0x4E00, {0x4E00}},
      {kMaxCodePoint, {kMaxCodePoint}},
  };
  for (const OrbitCase& t : cases) {
    const auto orbit = case_fold_orbit(t.c);
    EXPECT_EQ(std::vector<char32_t>(orbit.begin(), orbit.end()), t.orbit) << hex(t.c);
  }
}

TEST(CaseFoldOrbit, AsciiLettersHaveOnlyKelvinAndLongSOutsideAscii) {
  for (char32_t c = 0; c < 0x80; ++c) {
    std::vector<char32_t> outside;
    for (char32_t m : case_fold_orbit(c)) {
      if (m >= 0x80) outside.push_back(m);
    }
    std::vector<char32_t> expected;
    if (c == U'k' || c == U'K') expected = {0x212A};
    if (c == U's' || c == U'S') expected = {0x017F};
    EXPECT_EQ(outside, expected) << hex(c);
  }
}

// Over every code point: the orbit holds c, is ascending, holds exactly the
// code points with c's folding, and folding is idempotent.
TEST(CaseFoldOrbit, ConsistentWithFoldingEverywhere) {
  std::map<char32_t, std::size_t> class_sizes;
  int failures = 0;
  for (char32_t c = 0; c <= kMaxCodePoint && failures < 5; ++c) {
    const char32_t fold = simple_case_fold(c);
    const auto orbit = case_fold_orbit(c);
    const bool ok = simple_case_fold(fold) == fold &&
                    std::find(orbit.begin(), orbit.end(), c) != orbit.end() &&
                    std::is_sorted(orbit.begin(), orbit.end()) &&
                    std::adjacent_find(orbit.begin(), orbit.end()) == orbit.end() &&
                    std::all_of(orbit.begin(), orbit.end(),
                                [&](char32_t m) { return simple_case_fold(m) == fold; });
    if (!ok) {
      ++failures;
      ADD_FAILURE() << hex(c);
    }
    if (orbit.size() > 1) {
      ++class_sizes[fold];
    } else if (fold != c) {
      ++failures;
      ADD_FAILURE() << hex(c) << " folds to another code point but has no partners";
    }
  }
  for (const auto& [fold, size] : class_sizes) {
    EXPECT_EQ(case_fold_orbit(fold).size(), size) << hex(fold);
  }
}

TEST(CaseFoldOrbit, SingletonSpansStayValid) {
  const auto first = case_fold_orbit(0x4E01);
  const auto other = case_fold_orbit(0x10FFFE);
  const auto again = case_fold_orbit(0x4E01);
  EXPECT_EQ(first.data(), again.data());
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], char32_t(0x4E01));
  EXPECT_EQ(other[0], char32_t(0x10FFFE));
}

TEST(CaseFoldOrbit, ConcurrentFirstUseGivesCorrectSingletons) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &wrong] {
      for (char32_t c = 0x20000 + t; c < 0x24000; c += 3) {
        const auto orbit = case_fold_orbit(c);
        if (orbit.size() != 1 || orbit[0] != c) ++wrong[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(wrong[t], 0) << t;
}

// ---------------------------------------------------------------------------
// Lower-casing

struct LowerCase {
  std::u32string input;
  std::u32string expected;
  const char* why;
};

TEST(ToLower, TableOfCases) {
  const LowerCase cases[] = {
      {U"", U"", "empty"},
      {U"Hello, World 42!", U"hello, world 42!", "ASCII"},
      {U"\u0130", U"i\u0307", "capital I with dot gives i and combining dot"},
      {U"\u0130STANBUL", U"i\u0307stanbul", "U+0130 at word start"},
      {U"I\u0131", U"i\u0131", "no Turkic tailoring"},
      {U"\u212A", U"k", "Kelvin sign"},
      {U"\u1E9E", U"\u00DF", "capital sharp s"},
      {U"\u00DF", U"\u00DF", "sharp s stays"},
      {U"\u01C5", U"\u01C6", "title-case digraph"},
      {U"\u1F88", U"\u1F80", "Greek with prosgegrammeni"},
      {U"\u13A0", U"\uAB70", "Cherokee"},
      {U"\u2160\u24B6", U"\u2170\u24D0", "Nl and So with mappings"},
      {U"\U00010400", U"\U00010428", "Deseret, four bytes"},
      {U"\u1C89", U"\u1C8A", "Cyrillic TJE, new in 16.0"},
      {U"\uA7DC", U"\u019B", "lambda with stroke, new in 16.0"},
      {U"\U00010D50", U"\U00010D70", "Garay, new in 16.0"},
      {U"\u4E00\u0300", U"\u4E00\u0300", "no mapping"},
      {U"\u03A3", U"\u03C3", "lone sigma"},
      {U"\u039F\u0394\u039F\u03A3", U"\u03BF\u03B4\u03BF\u03C2", "sigma at word end"},
      {U"\u039F\u0394\u039F\u03A3 \u039F\u0394\u039F\u03A3", U"\u03BF\u03B4\u03BF\u03C2 "
                                                             U"\u03BF\u03B4\u03BF\u03C2",
       "two words"},
      {U"\u0391\u03A3\u0391", U"\u03B1\u03C3\u03B1", "sigma inside a word"},
      {U"\u0391\u03A31", U"\u03B1\u03C21", "sigma before a digit"},
      {U"\u03A3\u0391", U"\u03C3\u03B1", "sigma at word start"},
      {U"\u0391\u03A3\u03A3", U"\u03B1\u03C3\u03C2", "double sigma"},
      {U"A\u03A3", U"a\u03C2", "ASCII letter before"},
      {U"A \u03A3", U"a \u03C3", "space before"},
      {U"\u0391\u3000\u03A3", U"\u03B1\u3000\u03C3", "non-ASCII space before"},
      {U"\u0391\u0301\u3000\u0301\u03A3", U"\u03B1\u0301\u3000\u0301\u03C3",
       "Case_Ignorable run broken by a space"},
      {U"A.\u03A3", U"a.\u03C2", "Case_Ignorable ASCII between"},
      {U"A'.:\u03A3", U"a'.:\u03C2", "several Case_Ignorable between"},
      {U"1'\u03A3", U"1'\u03C3", "digit before is not Cased"},
      {U"\u0391\u03A3'", U"\u03B1\u03C2'", "Case_Ignorable then end"},
      {U"\u0391\u03A3'\u0391", U"\u03B1\u03C3'\u03B1", "Case_Ignorable then Cased"},
      {U"\u0391\u03A3\u0301", U"\u03B1\u03C2\u0301", "combining mark then end"},
      {U"\u0391\u0301\u03A3", U"\u03B1\u0301\u03C2", "combining mark before"},
      {U"\u0391\u03A3\u00AD\u00AD.\u0392", U"\u03B1\u03C3\u00AD\u00AD.\u03B2",
       "long Case_Ignorable run then Cased"},
      {U"\u02B0\u03A3", U"\u02B0\u03C2", "Cased and Case_Ignorable before counts as Cased"},
      {U"A\u03A3\u02B0", U"a\u03C3\u02B0", "Cased and Case_Ignorable after counts as Cased"},
      {U"\u0345\u03A3", U"\u0345\u03C2", "ypogegrammeni before"},
      {U"A\u03A3\u0345", U"a\u03C3\u0345", "ypogegrammeni after"},
      {U"\U0001E030\u03A3", U"\U0001E030\u03C2", "four-byte Cased and Case_Ignorable before"},
      {U"\u4E00\u03A3", U"\u4E00\u03C3", "uncased letter before"},
  };
  for (const LowerCase& t : cases) {
    EXPECT_EQ(to_lower(utf8(t.input)), utf8(t.expected)) << t.why;
  }
}

TEST(AppendLower, KeepsWhatIsThereAndUsesOnlyTheTextAsContext) {
  std::string out = "A";
  append_lower(out, utf8(U"\u03A3"));
  EXPECT_EQ(out, utf8(U"A\u03C3"));
  append_lower(out, "XY");
  EXPECT_EQ(out, utf8(U"A\u03C3xy"));
}

// Obvious per-character lower-casing from the tables by linear search.
std::string slow_lower_char(char32_t c) {
  for (const tables::SpecialLower& s : tables::special_lowers()) {
    if (s.code_point == c) return utf8(std::u32string(s.lower, s.length));
  }
  for (const tables::CaseRun& run : tables::simple_lower_runs()) {
    if (c >= run.first && c <= run.last && (c - run.first) % run.stride == 0) {
      return utf8(std::u32string(1, char32_t(std::int32_t(c) + run.delta)));
    }
  }
  return utf8(std::u32string(1, c));
}

bool slow_in(std::span<const Range> ranges, char32_t c) {
  return std::any_of(ranges.begin(), ranges.end(),
                     [c](const Range& r) { return r.first <= c && c <= r.last; });
}

// Final_Sigma by its definition, scanning as far as needed in both directions.
bool slow_final_sigma(const std::u32string& text, std::size_t at) {
  const auto cased = [](char32_t c) { return slow_in(tables::cased_ranges(), c); };
  const auto ignorable = [](char32_t c) { return slow_in(tables::case_ignorable_ranges(), c); };
  bool before = false;
  for (std::size_t i = at; i-- > 0;) {
    if (cased(text[i])) {
      before = true;
      break;
    }
    if (!ignorable(text[i])) break;
  }
  bool cased_after = false;
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (cased(text[i])) {
      cased_after = true;
      break;
    }
    if (!ignorable(text[i])) break;
  }
  return before && !cased_after;
}

std::string slow_lower(const std::u32string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == 0x03A3) {
      out += utf8(slow_final_sigma(text, i) ? U"\u03C2" : U"\u03C3");
    } else {
      out += slow_lower_char(text[i]);
    }
  }
  return out;
}

std::u32string random_text(std::mt19937& rng, const std::u32string& pool, std::size_t max_len) {
  std::uniform_int_distribution<std::size_t> length(0, max_len);
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  std::u32string text(length(rng), U' ');
  for (char32_t& c : text) c = pool[pick(rng)];
  return text;
}

TEST(ToLower, MatchesSlowPerCharacterLowerOnGeneratedTexts) {
  std::u32string pool;
  for (char32_t c = 0; c < 0x80; ++c) pool.push_back(c);
  for (char32_t c : std::u32string_view(U"\u00C0\u00DF\u00E9\u0100\u0101\u0130\u0131\u0178"
                                        U"\u0391\u03C3\u0401\u0430\u10A0\u13A0\u1E9E\u1F88"
                                        U"\u212A\u2160\u24B6\u4E00\uFF21\U00010400\U00010D50"
                                        U"\U0001E900\u0300\u02B0")) {
    pool.push_back(c);
  }
  // Plus code points drawn from the whole range, mapped or not.
  std::mt19937 rng(20240901);
  std::uniform_int_distribution<char32_t> any(0x80, 0x1FFFF);
  while (pool.size() < 400) {
    const char32_t c = any(rng);
    if ((c < 0xD800 || c > 0xDFFF) && c != 0x03A3) pool.push_back(c);
  }
  for (int round = 0; round < 3000; ++round) {
    const std::u32string text = random_text(rng, pool, 40);
    const std::string input = utf8(text);
    ASSERT_EQ(to_lower(input), slow_lower(text)) << "round " << round;
  }
  // Long ASCII runs around non-ASCII characters exercise the run boundaries.
  for (int round = 0; round < 200; ++round) {
    std::u32string text = random_text(rng, pool, 300);
    const std::string input = utf8(text);
    ASSERT_EQ(to_lower(input), slow_lower(text)) << "long round " << round;
  }
}

TEST(ToLower, FinalSigmaMatchesItsDefinitionOnGeneratedTexts) {
  // Sigma among characters of every Final_Sigma kind: Cased (A a Alpha),
  // Case_Ignorable (' . U+0301 U+00AD), both (U+02B0 U+0345 U+1E030), and
  // neither (space, digit, U+4E00).
  const std::u32string pool =
      U"\u03A3\u03A3\u03A3Aa\u0391'.\u0301\u00AD\u02B0\u0345\U0001E030 1\u4E00";
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    const std::u32string text = random_text(rng, pool, 12);
    ASSERT_EQ(to_lower(utf8(text)), slow_lower(text)) << "round " << round;
  }
}

// ---------------------------------------------------------------------------
// UTF-8

TEST(Utf8, RoundTripsEveryScalarValue) {
  int failures = 0;
  for (char32_t c = 0; c <= kMaxCodePoint && failures < 5; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string out = "x";
    append_utf8(out, c);
    const std::size_t expected_length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    const Decoded d = decode_utf8(reinterpret_cast<const unsigned char*>(out.data()) + 1);
    if (out.size() != 1 + expected_length || d.code_point != c || d.length != expected_length) {
      ++failures;
      ADD_FAILURE() << hex(c);
    }
  }
}

TEST(Utf8, KnownEncodings) {
  EXPECT_EQ(utf8(U"\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF"),
            "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(decode_all("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), U"a\u00E9\u20AC\U0001F600");
}

TEST(Utf8, RejectsWhatIsNoScalarValue) {
  for (char32_t c : {char32_t(0xD800), char32_t(0xDFFF), char32_t(0x110000),
                     char32_t(0xFFFFFFFF)}) {
    std::string out;
    EXPECT_THROW(append_utf8(out, c), Fault) << hex(c);
  }
}

}  // namespace
}  // namespace veltar::unicode
