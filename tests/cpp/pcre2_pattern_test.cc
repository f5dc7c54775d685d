#include "regex/pcre2_pattern.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/fault.h"

namespace veltar::regex {
namespace {

struct MatchCase {
  const char* program;
  std::string text;
  std::size_t count;
  std::string replaced;  // every match replaced by "<$1>"
};

const MatchCase kMatchCases[] = {
    {"a", "", 0, ""},
    {"a", "bcd", 0, "bcd"},
    {"a", "banana", 3, "b<$1>n<$1>n<$1>"},
    // Non-overlapping: each search resumes at the end of the previous match.
    {"aa", "aaaaa", 2, "<$1><$1>a"},
    {"aba", "ababa", 1, "<$1>ba"},
    // Leftmost-first, greedy.
    {"a+|b", "baaab", 3, "<$1><$1><$1>"},
    {"\\d{2,3}", "12345678", 3, "<$1><$1><$1>"},
    // Look-behind sees the text before the point where a search resumes.
    {"(?<![a-z])x", "xx ax x", 2, "<$1>x ax <$1>"},
    // Empty matches: one character further, never inside a character.
    {"x*", "axxb", 4, "<$1>a<$1><$1>b<$1>"},
    {"x*", "\u00e9", 2, "<$1>\u00e9<$1>"},
    {"(?=\\x{20AC})", "\u20ac\u20ac", 2, "<$1>\u20ac<$1>\u20ac"},
    // Characters, not bytes.
    {"\\x{E9}.", "\u00e9\u00e9\u00e9", 1, "<$1>\u00e9"},
    {"[^a]", "\xf0\x9f\x98\x80", 1, "<$1>"},
};

TEST(Pcre2Pattern, CountsAndReplacesNonOverlappingMatches) {
  for (const MatchCase& mc : kMatchCases) {
    const Pcre2Pattern pattern(mc.program);
    EXPECT_EQ(pattern.count(mc.text), mc.count) << mc.program << " on " << mc.text;
    const Pcre2Pattern::Replaced replaced = pattern.replace_all(mc.text, "<$1>");
    EXPECT_EQ(replaced.count, mc.count) << mc.program << " on " << mc.text;
    if (mc.count == 0) {
      EXPECT_TRUE(replaced.text.empty()) << mc.program << ": no match builds no text";
    } else {
      EXPECT_EQ(replaced.text, mc.replaced) << mc.program << " on " << mc.text;
    }
  }
}

TEST(Pcre2Pattern, SearchTellsWhetherThereIsAnyMatch) {
  for (const MatchCase& mc : kMatchCases) {
    EXPECT_EQ(Pcre2Pattern(mc.program).search(mc.text), mc.count > 0)
        << mc.program << " on " << mc.text;
  }
}

// The first match ends the search: what follows it is never tried, here a
// stretch that would run into the match limit.
TEST(Pcre2Pattern, SearchStopsAtTheFirstMatch) {
  const Pcre2Pattern pattern("x|(?:a|a)*b");
  const std::string hostile = std::string(40, 'a') + "c";
  EXPECT_TRUE(pattern.search("x" + hostile));
  EXPECT_THROW(pattern.search(hostile), Fault);
  EXPECT_THROW(pattern.count("x" + hostile), Fault);
}

TEST(Pcre2Pattern, ReplacementTokenMayBeEmptyOrLong) {
  const Pcre2Pattern pattern("\\d+");
  EXPECT_EQ(pattern.replace_all("a1b22c", "").text, "abc");
  EXPECT_EQ(pattern.replace_all("1", std::string(1000, 'x')).text, std::string(1000, 'x'));
}

// Without PCRE2_UCP and PCRE2_CASELESS the engine's own Unicode tables play
// no part: \d is ASCII only here, and case matters.
TEST(Pcre2Pattern, UsesNoUnicodeTablesOfItsOwn) {
  EXPECT_EQ(Pcre2Pattern("\\d").count("\u0663"), 0u);
  EXPECT_EQ(Pcre2Pattern("k").count("K\u212a"), 0u);
}

struct BadProgram {
  const char* program;
  const char* message;
};

const BadProgram kBadPrograms[] = {
    {"(", "missing closing parenthesis"},
    {"a)", "unmatched closing parenthesis"},
    {"[a", "missing terminating ] for character class"},
    {"a{2,1}", "numbers out of order in {} quantifier"},
    {"(*UCP)\\d", "using UCP is disabled by the application"},
    {"\\C", "using \\C is disabled by the application"},
};

TEST(Pcre2Pattern, CompileFailureIsAFaultWithPcre2sMessage) {
  for (const BadProgram& bad : kBadPrograms) {
    try {
      Pcre2Pattern pattern(bad.program);
      ADD_FAILURE() << bad.program << " compiled";
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.message(), bad.message) << bad.program;
    }
  }
}

// Exponential backtracking runs into PCRE2's match limit; the error must not
// read as "no match".
TEST(Pcre2Pattern, MatchErrorIsAFaultNotANoMatch) {
  const Pcre2Pattern pattern("(?:a|a)*b");
  const std::string text = std::string(40, 'a') + "xb";
  EXPECT_THROW(pattern.count(text), Fault);
  EXPECT_THROW(pattern.replace_all(text, "T"), Fault);
  EXPECT_THROW(pattern.search(text), Fault);
  try {
    pattern.count(text);
  } catch (const Fault& fault) {
    EXPECT_TRUE(fault.message().starts_with("PCRE2 match error: ")) << fault.message();
  }
  // The pattern stays usable.
  EXPECT_EQ(pattern.count("aab ab"), 2u);
}

TEST(Pcre2Pattern, ConcurrentUseGivesTheSameResults) {
  const Pcre2Pattern pattern("[0-9]+(?:\\.[0-9]+)?");
  std::vector<std::string> texts;
  std::vector<std::size_t> expected;
  for (int i = 0; i < 50; ++i) {
    std::string text;
    for (int j = 0; j <= i; ++j) text += std::to_string(j * 7) + (j % 3 == 0 ? "." : " x ");
    texts.push_back(text);
    expected.push_back(pattern.count(text));
  }
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        for (std::size_t i = 0; i < texts.size(); ++i) {
          if (pattern.count(texts[i]) != expected[i]) ++mismatches[std::size_t(t)];
          if (pattern.replace_all(texts[i], "#").count != expected[i]) ++mismatches[std::size_t(t)];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[std::size_t(t)], 0) << "thread " << t;
}

}  // namespace
}  // namespace veltar::regex
