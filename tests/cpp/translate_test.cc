#include "regex/translate.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/fault.h"
#include "pii/pii_catalogue.h"
#include "regex/pcre2_pattern.h"
#include "regex/vectorscan_set.h"
#include "unicode/unicode.h"

namespace veltar::regex {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool is_scalar(char32_t c) { return c < 0xD800 || c > 0xDFFF; }

std::string utf8(char32_t c) {
  std::string out;
  unicode::append_utf8(out, c);
  return out;
}

std::string hex(char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", unsigned(c));
  return buf;
}

Pcre2Pattern pcre2(std::string_view pattern, unsigned rewrites = kAllRewrites) {
  return Pcre2Pattern(translate(pattern, Engine::kPcre2, rewrites));
}

// ---------------------------------------------------------------------------
// Unicode data the translation relies on

TEST(CaseFoldData, OnlyKAndSHaveCasePartnersOutsideAscii) {
  for (char32_t c = 'a'; c <= 'z'; ++c) {
    std::vector<char32_t> outside;
    for (const char32_t p : unicode::case_fold_orbit(c)) {
      if (p >= 0x80) outside.push_back(p);
    }
    if (c == 'k') {
      EXPECT_EQ(outside, std::vector<char32_t>{0x212A});
    } else if (c == 's') {
      EXPECT_EQ(outside, std::vector<char32_t>{0x017F});
    } else {
      EXPECT_TRUE(outside.empty()) << char(c);
    }
  }
}

// ---------------------------------------------------------------------------
// Every class against the Unicode data, code point by code point, on both
// engines. A mismatch means an engine's own tables (or a translation slip)
// decided a match.

struct ClassCase {
  const char* pattern;
  bool (*expected)(char32_t);
};

bool fold_is_k(char32_t c) { return unicode::simple_case_fold(c) == 'k'; }
bool fold_is_s(char32_t c) { return unicode::simple_case_fold(c) == 's'; }
bool fold_is_i(char32_t c) { return unicode::simple_case_fold(c) == 'i'; }
bool not_line_feed(char32_t c) { return c != '\n'; }
bool not_s_caseless(char32_t c) { return !fold_is_s(c); }
bool space_or_digit(char32_t c) {
  return unicode::is_white_space(c) || unicode::is_decimal_number(c);
}
bool ascii_letter_or_dash(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

const ClassCase kClassCases[] = {
    {R"(\s)", unicode::is_white_space},
    {R"(\d)", unicode::is_decimal_number},
    {R"(.)", not_line_feed},
    {R"((?i).)", not_line_feed},
    {R"((?i)k)", fold_is_k},
    {R"((?i)K)", fold_is_k},
    {R"((?i)s)", fold_is_s},
    {R"((?i)i)", fold_is_i},  // U+0130 and U+0131 fold to no ASCII letter
    {R"((?i)[^s])", not_s_caseless},
    {R"([\s\d])", space_or_digit},
    {R"([a-zA-Z\-])", ascii_letter_or_dash},
};

TEST(TranslateClasses, Pcre2MatchesTheUnicodeDataForEveryCodePoint) {
  for (const ClassCase& cc : kClassCases) {
    const Pcre2Pattern pattern = pcre2(cc.pattern);
    for (char32_t c = 0; c <= kMaxCodePoint; ++c) {
      if (!is_scalar(c)) continue;
      const bool matched = pattern.count(utf8(c)) == 1;
      ASSERT_EQ(matched, cc.expected(c)) << cc.pattern << " on " << hex(c);
    }
  }
}

TEST(TranslateClasses, VectorscanMatchesTheUnicodeDataForEveryCodePoint) {
  std::vector<std::string> programs;
  for (const ClassCase& cc : kClassCases) {
    programs.push_back(translate(cc.pattern, Engine::kVectorscan));
  }
  const VectorscanSet set(programs);
  for (char32_t c = 0; c <= kMaxCodePoint; ++c) {
    if (!is_scalar(c)) continue;
    const std::vector<bool> matched = set.match(utf8(c));
    for (std::size_t i = 0; i < std::size(kClassCases); ++i) {
      ASSERT_EQ(matched[i], kClassCases[i].expected(c))
          << kClassCases[i].pattern << " on " << hex(c);
    }
  }
}

// \b in its three translations: before a word atom (look-behind only), after
// one (look-ahead only), and between non-word atoms (both sides).
TEST(TranslateClasses, WordBoundaryFollowsTheWordClassForEveryCodePoint) {
  const Pcre2Pattern after_word = pcre2(R"(a\b)");
  const Pcre2Pattern before_word = pcre2(R"(\ba)");
  const Pcre2Pattern two_sided = pcre2(R"(-\b)");
  for (char32_t c = 0; c <= kMaxCodePoint; ++c) {
    if (!is_scalar(c) || c == 'a' || c == '-') continue;
    const bool word = unicode::is_word(c);
    const std::string ch = utf8(c);
    ASSERT_EQ(after_word.count("a" + ch) == 1, !word) << hex(c);
    ASSERT_EQ(before_word.count(ch + "a") == 1, !word) << hex(c);
    ASSERT_EQ(two_sided.count("-" + ch) == 1, word) << hex(c);
  }
}

TEST(TranslateClasses, RepetitionCountsCharactersNotBytes) {
  // Two, three and four bytes a character.
  for (const char32_t c : {char32_t(0xE9), char32_t(0x20AC), char32_t(0x1F600)}) {
    std::string five;
    for (int i = 0; i < 5; ++i) five += utf8(c);
    std::string six = five + utf8(c);
    const Pcre2Pattern pattern = pcre2(R"(<.{0,5}>)");
    EXPECT_EQ(pattern.count("<" + five + ">"), 1u) << hex(c);
    EXPECT_EQ(pattern.count("<" + six + ">"), 0u) << hex(c);
    const VectorscanSet set(std::vector<std::string>{translate(R"(<.{0,5}>)", Engine::kVectorscan)});
    EXPECT_TRUE(set.match("<" + five + ">")[0]) << hex(c);
    EXPECT_FALSE(set.match("<" + six + ">")[0]) << hex(c);
  }
}

// ---------------------------------------------------------------------------
// The programs themselves

struct ProgramCase {
  const char* pattern;
  Engine engine;
  unsigned rewrites;
  const char* program;
};

const ProgramCase kProgramCases[] = {
    {"(?i)ab", Engine::kVectorscan, kAllRewrites, "[Aa][Bb]"},
    {"(?i)sk", Engine::kPcre2, kAllRewrites, "[Ss\\x{17F}][Kk\\x{212A}]"},
    {"(?i)a-1", Engine::kPcre2, kAllRewrites, "[Aa]\\x{2D}1"},
    {"(a|bc)+d", Engine::kPcre2, kAllRewrites, "(?:a|bc)+d"},
    {"x(a|b)", Engine::kPcre2, kAllRewrites, "x(?:a|b)"},
    {"a{2}b{2,}c{2,3}", Engine::kPcre2, kAllRewrites, "a{2}b{2,}c{2,3}"},
    {".", Engine::kVectorscan, kAllRewrites, "[^\\x{A}]"},
    {"([A-Z]?){0,16}", Engine::kPcre2, kAllRewrites, "[A-Z]{0,16}"},
    {"([A-Z]?){0,16}", Engine::kPcre2, kNoRewrites, "(?:[A-Z]?){0,16}"},
    {"([A-Z]?){0,16}", Engine::kVectorscan, kAllRewrites, "[A-Z]{0,16}"},
    {"[a-c]+@x", Engine::kPcre2, kAllRewrites, "[a-c]++(*SKIP)\\x{40}x"},
    {"[a-c]+@x", Engine::kVectorscan, kAllRewrites, "[a-c]+\\x{40}x"},
    {"[a-c]+@x", Engine::kPcre2, kNoRewrites, "[a-c]+\\x{40}x"},
    // The rest could start on a member of the run: no possessive.
    {"[a-c]+cx", Engine::kPcre2, kAllRewrites, "[a-c]+cx"},
    // The rest may be empty: no possessive.
    {"[a-c]+x?", Engine::kPcre2, kAllRewrites, "[a-c]+x?"},
    // Not the first item: no (*SKIP).
    {"x[a-c]+@", Engine::kPcre2, kAllRewrites, "x[a-c]+\\x{40}"},
    // A run before a gap keeps all it takes when what follows the gap
    // cannot start on a member of the run.
    {"x[ab]+.{0,3}c", Engine::kPcre2, kAllRewrites, "x[ab]++[^\\x{A}]{0,3}c"},
    {"x[ab]*.{0,3}c", Engine::kPcre2, kAllRewrites, "x[ab]*+[^\\x{A}]{0,3}c"},
    {"x[ab]+.{0,3}c", Engine::kVectorscan, kAllRewrites, "x[ab]+[^\\x{A}]{0,3}c"},
    {"x[ab]+.{0,3}c", Engine::kPcre2, kNoRewrites, "x[ab]+[^\\x{A}]{0,3}c"},
    // What follows could start on a member, could be empty, the gap has a
    // minimum, the gap is not one class, the run is bounded: no possessive.
    {"x[ab]+.{0,3}a", Engine::kPcre2, kAllRewrites, "x[ab]+[^\\x{A}]{0,3}a"},
    {"x[ab]+.{0,3}c?", Engine::kPcre2, kAllRewrites, "x[ab]+[^\\x{A}]{0,3}c?"},
    {"x[ab]+.{1,3}c", Engine::kPcre2, kAllRewrites, "x[ab]+[^\\x{A}]{1,3}c"},
    {"x[ab]+(cd){0,3}e", Engine::kPcre2, kAllRewrites, "x[ab]+(?:cd){0,3}e"},
    {"x[ab]{1,9}.{0,3}c", Engine::kPcre2, kAllRewrites, "x[ab]{1,9}[^\\x{A}]{0,3}c"},
};

TEST(TranslateProgram, WritesTheExpectedProgram) {
  for (const ProgramCase& pc : kProgramCases) {
    EXPECT_EQ(translate(pc.pattern, pc.engine, pc.rewrites), pc.program) << pc.pattern;
  }
}

TEST(TranslateProgram, GuardsDigitRunsOnlyWhereItIsExact) {
  const std::string digits = translate(R"(\d)", Engine::kPcre2);
  // At most three digits in a row, then \b: guard against four.
  EXPECT_EQ(translate(R"(x?\d{1,3}\b)", Engine::kPcre2, kDigitRunGuard),
            "(?!" + digits + "{4})x?" + digits + "{1,3}" +
                translate(R"(\b)", Engine::kPcre2, kNoRewrites));
  // Unbounded digit runs, no final \b, a leading \b, or an empty match
  // possible: no guard.
  for (const char* pattern : {R"(\d+\b)", R"(\d{3})", R"(\b\d{3}\b)", R"(\d{0,3}\b)"}) {
    EXPECT_FALSE(translate(pattern, Engine::kPcre2, kDigitRunGuard).starts_with("(?!")) << pattern;
  }
  // The phone number takes at most fifteen digits in a row.
  const std::string phone(pii::kPiiCatalogue[3].pattern);
  EXPECT_TRUE(translate(phone, Engine::kPcre2).starts_with("(?!" + digits + "{16})"));
}

TEST(TranslateProgram, BoundaryBecomesOneSidedOnlyNextToWordAtoms) {
  const std::string word = translate(R"(\b)", Engine::kPcre2).substr(7);  // after "(?:(?<="
  const std::string w = word.substr(0, word.find(")(?!"));
  EXPECT_EQ(translate(R"(\ba)", Engine::kPcre2), "(?<!" + w + ")a");
  EXPECT_EQ(translate(R"(a\b)", Engine::kPcre2), "a(?!" + w + ")");
  EXPECT_EQ(translate(R"(\b\d)", Engine::kPcre2), "(?<!" + w + ")" + translate(R"(\d)", Engine::kPcre2));
  const std::string two_sided = "(?:(?<=" + w + ")(?!" + w + ")|(?<!" + w + ")(?=" + w + "))";
  EXPECT_EQ(translate(R"(-\b)", Engine::kPcre2), "\\x{2D}" + two_sided);
  EXPECT_EQ(translate(R"(a?\b)", Engine::kPcre2), "a?" + two_sided);
  EXPECT_EQ(translate(R"(\ba)", Engine::kPcre2, kNoRewrites), two_sided + "a");
}

// ---------------------------------------------------------------------------
// Necessary conditions

struct ConditionCase {
  const char* pattern;
  // A pattern whose translation the condition must be.
  const char* condition;
};

const ConditionCase kConditionCases[] = {
    // After the last top-level repetition of more than one character,
    // with the copies that repetition must take.
    {R"((?i)(send|post)\s+.{0,40}(to|towards)\s+(https?://|external))",
     R"((?i)\s(https?://|external))"},
    {R"((?i)(oubliez|ignora)\s+.{0,20}(instructions?|istruzioni))",
     R"((?i)(instructions?|istruzioni))"},
    {R"(a.{0,9}b)", R"(b)"},
    {R"(a\s+b)", R"(\sb)"},
    {R"(ab{2,5}(c|d)e)", R"(b{2}(c|d)e)"},
    {R"(a(b+)c)", R"(bc)"},
    {R"(a(bc)+d)", R"(bcd)"},
    {R"(x+y*z)", R"(z)"},
    {R"(a+)", R"(a)"},
    {R"(a(b|c)?d{3}e?)", R"(d{3}e?)"},
};

TEST(TranslateNecessaryCondition, IsTheEndAfterTheLastRepetition) {
  for (const ConditionCase& cc : kConditionCases) {
    for (const Engine engine : {Engine::kVectorscan, Engine::kPcre2}) {
      EXPECT_EQ(translate_necessary_condition(cc.pattern, engine),
                translate(cc.condition, engine))
          << cc.pattern;
    }
  }
}

TEST(TranslateNecessaryCondition, RefusesPatternsWithoutAUsableEnd) {
  const char* const patterns[] = {
      "abc",           // no repetition
      "a?b",           // none of more than one character
      "(a|b+)c",       // none at the top level
      "a.{0,3}",       // nothing after it
      "a.{0,3}b?",     // only what may be empty
      "(",             // malformed
  };
  for (const char* pattern : patterns) {
    EXPECT_THROW(translate_necessary_condition(pattern, Engine::kPcre2), Fault) << pattern;
  }
}

// ---------------------------------------------------------------------------
// Errors

struct BadPattern {
  const char* pattern;
  Engine engine;
  const char* message_part;
};

const BadPattern kBadPatterns[] = {
    {"(", Engine::kPcre2, "missing ')'"},
    {"a)", Engine::kPcre2, "unmatched ')'"},
    {"[a", Engine::kPcre2, "missing ']'"},
    {"[z-a]", Engine::kPcre2, "range out of order"},
    {"[\\s-a]x[a-\\d]", Engine::kPcre2, "cannot end a range"},
    {"a{2,1}", Engine::kPcre2, "out of order"},
    {"a{1", Engine::kPcre2, "malformed counted repetition"},
    {"a{x}", Engine::kPcre2, "malformed counted repetition"},
    {"a{70000}", Engine::kPcre2, "too large"},
    {"*a", Engine::kPcre2, "without an operand"},
    {"a**", Engine::kPcre2, "nested quantifier"},
    {"a*?", Engine::kPcre2, "lazy and possessive"},
    {"a++", Engine::kPcre2, "lazy and possessive"},
    {"\\b*", Engine::kPcre2, "quantified assertion"},
    {"^a", Engine::kPcre2, "anchors"},
    {"a$", Engine::kPcre2, "anchors"},
    {"(?=a)", Engine::kPcre2, "unsupported group kind"},
    {"(?i", Engine::kPcre2, "unsupported group kind"},
    {"a(?i)b", Engine::kPcre2, "unsupported group kind"},
    {"\\w", Engine::kPcre2, "unsupported escape"},
    {"\\1", Engine::kPcre2, "unsupported escape"},
    {"a\\", Engine::kPcre2, "ends with"},
    {"[[:alpha:]]", Engine::kPcre2, "POSIX"},
    {"\xff", Engine::kPcre2, "invalid UTF-8"},
    {"\xc3", Engine::kPcre2, "truncated UTF-8"},
    {"a\\b", Engine::kVectorscan, "Vectorscan does not support word boundary"},
};

TEST(TranslateErrors, RejectsMalformedAndUnsupportedPatterns) {
  for (const BadPattern& bad : kBadPatterns) {
    try {
      const std::string program = translate(bad.pattern, bad.engine);
      ADD_FAILURE() << bad.pattern << " gave " << program;
    } catch (const Fault& fault) {
      EXPECT_NE(fault.message().find(bad.message_part), std::string::npos)
          << bad.pattern << ": " << fault.message();
    }
  }
}

// ---------------------------------------------------------------------------
// Rewrites against the plain translation on generated texts

// Texts built from pieces shaped like what the detectors look for (digit
// groups in several scripts, dotted quads, IBAN-like runs, e-mail-like runs)
// and from letters, separators and other characters, then often damaged by
// a random edit or two so that near misses are as common as matches.
class TextGenerator {
 public:
  explicit TextGenerator(unsigned seed) : rng_(seed) {}

  std::string next() {
    std::u32string text;
    const int pieces = pick(1, 4);
    for (int i = 0; i < pieces; ++i) {
      if (i > 0 && chance(50)) text += one_of(kSeparators);
      append_piece(text);
    }
    for (int edits = pick(-3, 2); edits > 0; --edits) edit(text);
    std::string out;
    for (const char32_t c : text) unicode::append_utf8(out, c);
    return out;
  }

 private:
  // ASCII, Arabic-Indic, extended Arabic-Indic, Devanagari, fullwidth.
  static constexpr char32_t kZeros[] = {U'0', U'0', U'0', 0x0660, 0x06F0, 0x0966, 0xFF10};
  static constexpr char32_t kSeparators[] = {U' ', U' ', U'-', U'-', U'.', U'(', U')', U'+',
                                             U'/', U'\n', 0x00A0, 0x001C, 0x2028, U'_', U','};
  static constexpr std::u32string_view kCardSeparators[] = {U" ", U"-", U"--", U"\u00a0",
                                                            U"\x1c"};
  static constexpr char32_t kOthers[] = {U'@', U'.', U'%', U'_', 0x00E9, 0x0301, 0x200D,
                                         U'x', U'Z', 0x017F, U'#'};

  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  bool chance(int percent) { return pick(0, 99) < percent; }

  template <std::size_t N>
  char32_t one_of(const char32_t (&options)[N]) {
    return options[std::size_t(pick(0, int(N) - 1))];
  }

  char32_t digit(char32_t zero) {
    return (chance(5) ? one_of(kZeros) : zero) + char32_t(pick(0, 9));
  }
  void digits(std::u32string& text, char32_t zero, int count) {
    for (int i = 0; i < count; ++i) text += digit(zero);
  }
  void capitals(std::u32string& text, int count) {
    for (int i = 0; i < count; ++i) text += char32_t('A' + pick(0, 25));
  }
  void run_of(std::u32string& text, std::u32string_view alphabet, int count) {
    for (int i = 0; i < count; ++i) text += alphabet[std::size_t(pick(0, int(alphabet.size()) - 1))];
  }

  void append_piece(std::u32string& text) {
    const char32_t zero = one_of(kZeros);
    switch (pick(0, 11)) {
      case 0:  // a digit run
        digits(text, zero, pick(1, 20));
        return;
      case 1: {  // a card number, more or less
        for (int group = 0; group < 4; ++group) {
          if (group > 0 && chance(70)) text += kCardSeparators[std::size_t(pick(0, 4))];
          digits(text, zero, chance(90) ? 4 : pick(3, 5));
        }
        return;
      }
      case 2: {  // an SSN, more or less
        const char32_t separator = chance(80) ? U'-' : one_of(kSeparators);
        digits(text, zero, chance(90) ? 3 : 2);
        text += separator;
        digits(text, zero, 2);
        text += chance(90) ? separator : one_of(kSeparators);
        digits(text, zero, chance(90) ? 4 : 5);
        return;
      }
      case 10: {  // digit groups: phone shapes
        const char32_t separator = one_of(kSeparators);
        for (int groups = pick(1, 5); groups > 0; --groups) {
          digits(text, zero, chance(50) ? 4 : pick(1, 5));
          if (groups > 1) text += chance(80) ? separator : one_of(kSeparators);
        }
        return;
      }
      case 3: {  // a dotted quad, more or less
        const char32_t zero = chance(70) ? U'0' : one_of(kZeros);
        for (int octets = pick(3, 5); octets > 0; --octets) {
          const int value = pick(0, 2) == 0 ? pick(0, 9) : chance(50) ? pick(0, 99) : pick(0, 299);
          std::u32string number;
          for (int v = value; v > 0 || number.empty(); v /= 10) number.insert(0, 1, zero + v % 10);
          if (chance(15)) number.insert(0, 1, zero);
          text += number;
          if (octets > 1) text += chance(90) ? U'.' : one_of(kSeparators);
        }
        return;
      }
      case 4: {  // an IBAN, more or less
        capitals(text, 2);
        digits(text, zero, 2);
        run_of(text, U"ABCXYZ0123456789", 4);
        digits(text, zero, 7);
        run_of(text, U"ABCXYZ0123456789", pick(0, 18));
        return;
      }
      case 5: {  // an e-mail address, more or less
        run_of(text, U"abcXYZ019._%+-", pick(1, 6));
        text += U'@';
        for (int labels = pick(1, 3); labels > 0; --labels) {
          run_of(text, U"abcXY09-", pick(0, 5));
          if (labels > 1 || chance(80)) text += U'.';
        }
        run_of(text, U"abcXYZ", pick(0, 3));
        return;
      }
      case 6:
        capitals(text, pick(1, 6));
        return;
      case 7:
        run_of(text, U"abcdefghijklmnopqrstuvwxyz", pick(1, 6));
        return;
      case 8:
        text += one_of(kSeparators);
        return;
      case 9:
        text += one_of(kOthers);
        return;
    }
  }

  // Replaces, inserts or deletes one character.
  void edit(std::u32string& text) {
    const char32_t c = chance(50) ? one_of(kOthers) : chance(50) ? one_of(kSeparators)
                                                                 : digit(one_of(kZeros));
    const std::size_t at = std::size_t(pick(0, int(text.size())));
    switch (pick(0, 2)) {
      case 0:
        if (at < text.size()) text[at] = c;
        return;
      case 1:
        text.insert(at, 1, c);
        return;
      default:
        if (at < text.size()) text.erase(at, 1);
        return;
    }
  }

  std::mt19937 rng_;
};

struct Variant {
  const char* name;
  unsigned rewrites;
};

const Variant kVariants[] = {
    {"collapse", kCollapseOptionalRepeat},
    {"guard", kDigitRunGuard},
    {"possessive", kPossessiveSkip},
    {"boundary", kOneSidedBoundary},
    {"gap", kPossessiveBeforeGap},
    {"all", kAllRewrites},
};

void expect_same_matches(std::string_view pattern, int texts, unsigned seed) {
  const Pcre2Pattern plain = pcre2(pattern, kNoRewrites);
  std::vector<Pcre2Pattern> rewritten;
  for (const Variant& v : kVariants) rewritten.push_back(pcre2(pattern, v.rewrites));
  TextGenerator generator(seed);
  int matched = 0;
  for (int i = 0; i < texts; ++i) {
    const std::string text = generator.next();
    const Pcre2Pattern::Replaced want = plain.replace_all(text, "<>");
    if (want.count > 0) ++matched;
    for (std::size_t v = 0; v < rewritten.size(); ++v) {
      const Pcre2Pattern::Replaced got = rewritten[v].replace_all(text, "<>");
      ASSERT_EQ(got.count, want.count) << pattern << " [" << kVariants[v].name << "] on " << text;
      ASSERT_EQ(got.text, want.text) << pattern << " [" << kVariants[v].name << "] on " << text;
      ASSERT_EQ(rewritten[v].count(text), want.count) << pattern << " on " << text;
    }
  }
  // The texts must exercise the pattern, not only miss it.
  EXPECT_GT(matched, texts / 100) << pattern;
}

TEST(TranslateRewrites, CatalogueDetectorsMatchAsTheirPlainTranslation) {
  unsigned seed = 1;
  for (const pii::PiiEntry& entry : pii::kPiiCatalogue) {
    expect_same_matches(entry.pattern, 20000, seed++);
  }
}

// Patterns at the edges of each rewrite's conditions.
TEST(TranslateRewrites, EdgePatternsMatchAsTheirPlainTranslation) {
  const char* const patterns[] = {
      R"(([A-Z0-9]?){0,3}\d)",
      R"(([A-Z]?){0,2}\b)",
      R"(([A-Z]?)*[0-9])",
      R"(\d([A-Z]?){1,3}\b)",
      R"([a-z0-9.]+@[a-z]+)",
      R"([a-z]+[0-9]+\b)",
      R"([A-Z]+(\d|@))",
      R"([a-z@]+@[a-z])",
      R"([A-Z]+[A-Z]\d)",
      R"(\+?\d{1,2}[\s\-]?\d{2}\b)",
      R"((\d|[A-Z]){2,3}\b)",
      R"((\d\d|\.){1,4}\b)",
      R"(\(?\d{2}\)?\d\b)",
      R"(\b\d+\b)",
      R"(\d\b[\d@])",
      R"(\b(\d|\.)\b)",
      R"(@\b\d)",
      R"(\d{2}(\.\d)?\b)",
      R"((\d\d\d@|\d){1,2}\b)",
      R"(\d?(\d{3}\.|x)\b)",
  };
  unsigned seed = 100;
  for (const char* pattern : patterns) expect_same_matches(pattern, 5000, seed++);
}

// Runs before gaps, where the run may or may not be made possessive.
const char* const kGapPatterns[] = {
    R"([a-z\d]\s+.{0,6}[A-Z@])",
    R"(\d[\s\-]+.{0,4}\d\d)",
    R"((\d|x)[\s.]+[^@]{0,5}@)",
    R"(\d\s*.{0,3}[\s,])",
    R"([A-Z][\-.]*.{0,2}[A-Z]+\b)",
    R"((\d+|Z)\s+.{0,8}(\d\d|\.)\s+(\d|[a-c]))",
    // A gap with a minimum, or of more than one class: the run must be
    // able to give back ("1--2", "1--2A").
    R"(\d[\s\-]+.{1,3}[\d@])",
    R"(\d[\s\-]+([\s\-]\d){0,2}[a-cA-Z@])",
};

TEST(TranslateRewrites, GapPatternsMatchAsTheirPlainTranslation) {
  unsigned seed = 200;
  for (const char* pattern : kGapPatterns) expect_same_matches(pattern, 5000, seed++);
}

// Wherever a pattern matches, its necessary condition matches too; and the
// condition alone is met often, or it would be the pattern itself.
TEST(TranslateNecessaryCondition, HoldsWhereverThePatternMatches) {
  unsigned seed = 300;
  for (const char* pattern : kGapPatterns) {
    const Pcre2Pattern full = pcre2(pattern, kNoRewrites);
    const Pcre2Pattern condition(translate_necessary_condition(pattern, Engine::kPcre2));
    TextGenerator generator(seed++);
    int matched = 0;
    int condition_only = 0;
    for (int i = 0; i < 5000; ++i) {
      const std::string text = generator.next();
      const bool holds = condition.search(text);
      if (full.search(text)) {
        ++matched;
        ASSERT_TRUE(holds) << pattern << " on " << text;
      } else if (holds) {
        ++condition_only;
      }
    }
    EXPECT_GT(matched, 50) << pattern;
    EXPECT_GT(condition_only, 50) << pattern;
  }
}

}  // namespace
}  // namespace veltar::regex
