#include "regex/vectorscan_set.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/fault.h"

namespace veltar::regex {
namespace {

std::vector<bool> bits(const char* pattern) {
  std::vector<bool> out;
  for (const char* p = pattern; *p != '\0'; ++p) out.push_back(*p == '1');
  return out;
}

struct SetCase {
  std::string text;
  const char* matched;  // one digit per member, in order
};

const std::vector<std::string> kPrograms = {
    "abc",
    "b[0-9]+c",
    "x\\x{17F}",      // a code point beyond ASCII
    "<[^\\x{A}]{0,3}>",  // counts characters
    "^start",
};

const SetCase kSetCases[] = {
    {"", "00000"},
    {"nothing here", "00000"},
    {"abc", "10000"},
    {"xabcx b12c", "11000"},
    {"b1c abc", "11000"},
    {"x\u017f", "00100"},
    {"xs", "00000"},
    {"<\u00e9\u20ac\xf0\x9f\x98\x80>", "00010"},
    {"<\u00e9\u00e9\u00e9\u00e9>", "00000"},
    {"<\n>", "00000"},
    {"start abc b0c x\u017f <>", "11111"},
    {"not start", "00000"},
};

TEST(VectorscanSet, ReportsEveryMemberThatMatchesAnywhere) {
  const VectorscanSet set(kPrograms);
  ASSERT_EQ(set.size(), kPrograms.size());
  for (const SetCase& sc : kSetCases) {
    EXPECT_EQ(set.match(sc.text), bits(sc.matched)) << sc.text;
  }
}

TEST(VectorscanSet, FindsMatchesFarIntoALongText) {
  const VectorscanSet set(kPrograms);
  std::string text(3 << 20, 'z');
  EXPECT_EQ(set.match(text), bits("00000"));
  text += "b7c";
  EXPECT_EQ(set.match(text), bits("01000"));
  text.replace(1 << 20, 3, "abc");
  EXPECT_EQ(set.match(text), bits("11000"));
}

struct BadSet {
  std::vector<std::string> programs;
  const char* message;
};

TEST(VectorscanSet, CompileFailureIsAFaultWithVectorscansDescription) {
  const BadSet bad_sets[] = {
      {{"a*"}, "Pattern matches empty buffer; use HS_FLAG_ALLOWEMPTY to enable support."},
      {{"ok", "("}, "Missing close parenthesis for group started at index 0."},
      {{"a(?=b)"}, "Zero-width assertions are not supported."},
      {{"a{70000}"}, "Bounded repeat is too large."},
      {{"[z-a]"}, "Range out of order in character class at index 3."},
  };
  for (const BadSet& bad : bad_sets) {
    try {
      VectorscanSet set(bad.programs);
      ADD_FAILURE() << bad.programs.back() << " compiled";
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.message(), bad.message) << bad.programs.back();
    }
  }
  EXPECT_THROW(VectorscanSet(std::vector<std::string>{}), Fault);
}

// One thread's scratch serves several sets, made while it was in use too.
TEST(VectorscanSet, OneThreadUsesSeveralSets) {
  auto first = std::make_unique<VectorscanSet>(std::vector<std::string>{"a", "b"});
  EXPECT_EQ(first->match("b"), bits("01"));
  const VectorscanSet second(std::vector<std::string>{"[a-z]{50}", "c", "d", "e"});
  EXPECT_EQ(second.match(std::string(50, 'q') + "e"), bits("1001"));
  EXPECT_EQ(first->match("ab"), bits("11"));
  first.reset();
  const VectorscanSet third(std::vector<std::string>{"x"});
  EXPECT_EQ(third.match("x"), bits("1"));
  EXPECT_EQ(second.match("c"), bits("0100"));
}

TEST(VectorscanSet, MovedSetKeepsItsDatabase) {
  VectorscanSet original(std::vector<std::string>{"a", "b"});
  VectorscanSet moved(std::move(original));
  EXPECT_EQ(moved.match("ba"), bits("11"));
  VectorscanSet assigned(std::vector<std::string>{"z"});
  assigned = std::move(moved);
  EXPECT_EQ(assigned.size(), 2u);
  EXPECT_EQ(assigned.match("a"), bits("10"));
}

TEST(VectorscanSet, ConcurrentSearchesGiveTheSameResults) {
  const VectorscanSet set(kPrograms);
  const VectorscanSet other(std::vector<std::string>{"abc", "zzz"});
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 500; ++round) {
        for (const SetCase& sc : kSetCases) {
          if (set.match(sc.text) != bits(sc.matched)) ++mismatches[std::size_t(t)];
          const bool has_abc = sc.text.find("abc") != std::string::npos;
          if (other.match(sc.text) != std::vector<bool>{has_abc, false}) {
            ++mismatches[std::size_t(t)];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[std::size_t(t)], 0) << "thread " << t;
}

}  // namespace
}  // namespace veltar::regex
