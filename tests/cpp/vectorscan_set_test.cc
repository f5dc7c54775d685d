#include "regex/vectorscan_set.h"

#include <gtest/gtest.h>
#include <hs/hs.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/fault.h"
#include "regex/pattern_set.h"
#include "regex/pcre2_pattern.h"
#include "regex/translate.h"

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

// ---------------------------------------------------------------------------
// Stored databases

// Views of `programs`, as a StoredDatabase holds them.
std::vector<std::string_view> views(const std::vector<std::string>& programs) {
  return std::vector<std::string_view>(programs.begin(), programs.end());
}

// A database of `programs` serialized in Vectorscan's block mode: valid
// bytes of the wrong kind.
std::string block_mode_bytes(const std::vector<std::string>& programs) {
  std::vector<const char*> expressions;
  std::vector<unsigned int> flags;
  std::vector<unsigned int> ids;
  for (std::size_t i = 0; i < programs.size(); ++i) {
    expressions.push_back(programs[i].c_str());
    flags.push_back(HS_FLAG_UTF8 | HS_FLAG_SINGLEMATCH);
    ids.push_back(static_cast<unsigned int>(i));
  }
  hs_database_t* database = nullptr;
  hs_compile_error_t* error = nullptr;
  if (hs_compile_multi(expressions.data(), flags.data(), ids.data(),
                       static_cast<unsigned int>(programs.size()), HS_MODE_BLOCK, nullptr,
                       &database, &error) != HS_SUCCESS) {
    hs_free_compile_error(error);
    return "";
  }
  char* bytes = nullptr;
  std::size_t length = 0;
  std::string out;
  if (hs_serialize_database(database, &bytes, &length) == HS_SUCCESS) out.assign(bytes, length);
  std::free(bytes);
  hs_free_database(database);
  return out;
}

TEST(VectorscanSet, LoadsItsSerializedDatabase) {
  const VectorscanSet compiled(kPrograms);
  EXPECT_FALSE(compiled.loaded());
  const std::string bytes = compiled.serialize();
  const std::vector<std::string_view> programs = views(kPrograms);
  const VectorscanSet loaded(kPrograms, StoredDatabase{programs, bytes});
  EXPECT_TRUE(loaded.loaded());
  ASSERT_EQ(loaded.size(), kPrograms.size());
  for (const SetCase& sc : kSetCases) {
    EXPECT_EQ(loaded.match(sc.text), bits(sc.matched)) << sc.text;
  }
}

// Anything but the database of exactly these programs, intact, is refused,
// and the set is compiled instead: same answers, only later.
TEST(VectorscanSet, RefusedStoredDatabaseIsCompiledInstead) {
  const std::string bytes = VectorscanSet(kPrograms).serialize();
  std::vector<std::string> changed = kPrograms;
  changed[1] = "b[0-8]+c";
  std::vector<std::string> fewer(kPrograms.begin(), kPrograms.end() - 1);
  std::string flipped = bytes;
  flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x5A);
  std::string header_flipped = bytes;
  header_flipped[8] = char(header_flipped[8] ^ 0x01);
  struct Refused {
    const char* why;
    std::vector<std::string> stored_programs;
    std::string bytes;
  };
  const Refused refused[] = {
      {"other programs", changed, bytes},
      {"fewer programs", fewer, bytes},
      {"damaged bytecode", kPrograms, flipped},
      {"damaged header", kPrograms, header_flipped},
      {"truncated", kPrograms, bytes.substr(0, bytes.size() - 16)},
      {"no bytes", kPrograms, ""},
      {"not a database", kPrograms, std::string(4096, 'x')},
      {"block mode", kPrograms, block_mode_bytes(kPrograms)},
  };
  for (const Refused& r : refused) {
    const std::vector<std::string_view> stored_programs = views(r.stored_programs);
    const VectorscanSet set(kPrograms, StoredDatabase{stored_programs, r.bytes});
    EXPECT_FALSE(set.loaded()) << r.why;
    for (const SetCase& sc : kSetCases) {
      EXPECT_EQ(set.match(sc.text), bits(sc.matched)) << r.why << " on " << sc.text;
    }
  }
}

TEST(VectorscanSet, RefusedStoredDatabaseOfBadProgramsStillFaults) {
  const std::vector<std::string> bad = {"ok", "("};
  const std::vector<std::string_view> stored = views(bad);
  EXPECT_THROW(VectorscanSet(bad, StoredDatabase{stored, ""}), Fault);
}

// ---------------------------------------------------------------------------
// PatternSet: exact and confirmed members

const PatternSet::Member kMembers[] = {
    {R"((?i)(send|post)\s+.{0,10}to\s+(ext|ftp://))", true},
    {R"((?i)(send|post)\s+.{0,10}to\s+(ext|ftp://))", false},
    {R"(ab+c)", false},
    {R"(x.{0,3}yz)", true},
};

TEST(PatternSet, ConfirmedMembersSearchByTheirNecessaryCondition) {
  const PatternSet set(kMembers);
  const std::vector<std::string> programs = PatternSet::set_programs(kMembers);
  ASSERT_EQ(programs.size(), 4u);
  EXPECT_EQ(programs[0], translate_necessary_condition(kMembers[0].pattern, Engine::kVectorscan));
  EXPECT_EQ(programs[1], translate(kMembers[1].pattern, Engine::kVectorscan));
  EXPECT_EQ(programs[3], translate("yz", Engine::kVectorscan));
  EXPECT_EQ(set.size(), 4u);
}

struct MemberCase {
  std::string text;
  const char* matched;
};

TEST(PatternSet, ConfirmedMembersAnswerExactly) {
  const MemberCase cases[] = {
      {"", "0000"},
      {"send it to ext", "1100"},
      {"POST to\u00a0FTP://", "1100"},
      // The condition alone: the set reports it, PCRE2 refuses it.
      {"to ext", "0000"},
      {"send " + std::string(11, '.') + "to ext", "0000"},
      {"send\nto ext", "1100"},
      {"send x\nto ext", "0000"},
      {"yz abbc", "0010"},
      {"x..yz", "0001"},
      {"x....yz", "0000"},
      {"send to ext x\u00e9\u00e9\u00e9yz abc", "1111"},
  };
  const PatternSet set(kMembers);
  for (const MemberCase& mc : cases) {
    EXPECT_EQ(set.match(mc.text), bits(mc.matched)) << mc.text;
  }
}

// Confirmed or not, a member gives the answers of its pattern compiled on
// its own, on texts shaped like the patterns and damaged at random, so that
// the condition is met far more often than the pattern.
TEST(PatternSet, ConfirmedAndExactMembersAgreeWithPcre2) {
  const PatternSet set(kMembers);
  std::vector<Pcre2Pattern> singles;
  for (const PatternSet::Member& m : kMembers) {
    singles.emplace_back(translate(m.pattern, Engine::kPcre2, kNoRewrites));
  }
  const char* const skeleton[] = {"send", " ", "....", "to", " ", "ext", "x", "..", "yz", "abbc"};
  const char* const pieces[] = {"POST", " ", "  ", "\n", "\t", "\u00a0", "to", "ftp://",
                                "x", "y", "z", ".", "\u00e9", "ab", "c", ""};
  std::mt19937 rng(11);
  auto pick = [&rng](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  std::vector<int> hits(std::size(kMembers), 0);
  std::vector<int> misses(std::size(kMembers), 0);
  std::vector<int> condition_only(std::size(kMembers), 0);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (const char* part : skeleton) {
      const std::size_t roll = pick(8);
      if (roll == 0) continue;
      text += roll == 1 ? pieces[pick(std::size(pieces))] : part;
      if (roll == 2) text += pieces[pick(std::size(pieces))];
    }
    const std::vector<bool> matched = set.match(text);
    const std::vector<bool> reported = set.vectorscan().match(text);
    for (std::size_t m = 0; m < singles.size(); ++m) {
      const bool expected = singles[m].search(text);
      ASSERT_EQ(matched[m], expected) << m << " on " << text;
      ++(expected ? hits : misses)[m];
      if (reported[m] && !expected) ++condition_only[m];
    }
  }
  for (std::size_t m = 0; m < hits.size(); ++m) {
    EXPECT_GT(hits[m], 1000) << m;
    EXPECT_GT(misses[m], 1000) << m;
    if (kMembers[m].confirmed) {
      EXPECT_GT(condition_only[m], 1000) << m;
    }
  }
}

TEST(PatternSet, LoadsAStoredDatabaseOfItsSetPrograms) {
  const std::vector<std::string> programs = PatternSet::set_programs(kMembers);
  const std::string bytes = VectorscanSet(programs).serialize();
  const std::vector<std::string_view> stored = views(programs);
  const PatternSet set(kMembers, StoredDatabase{stored, bytes});
  EXPECT_TRUE(set.vectorscan().loaded());
  EXPECT_EQ(set.match("post it to ext x.yz"), bits("1101"));
  // The programs of the exact translation do not fit a confirmed member.
  std::vector<std::string> exact;
  for (const PatternSet::Member& m : kMembers) {
    exact.push_back(translate(m.pattern, Engine::kVectorscan));
  }
  const std::vector<std::string_view> exact_views = views(exact);
  const PatternSet refused(kMembers, StoredDatabase{exact_views, VectorscanSet(exact).serialize()});
  EXPECT_FALSE(refused.vectorscan().loaded());
  EXPECT_EQ(refused.match("yz to ext"), bits("0000"));
}

TEST(PatternSet, MemberWithoutANecessaryConditionCannotBeConfirmed) {
  const PatternSet::Member members[] = {{"abc", true}};
  EXPECT_THROW(PatternSet set(members), Fault);
  const PatternSet::Member malformed[] = {{"ok", false}, {"(oops", false}};
  EXPECT_THROW(PatternSet set(malformed), Fault);
}

}  // namespace
}  // namespace veltar::regex
