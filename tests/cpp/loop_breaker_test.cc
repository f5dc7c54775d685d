#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "loop_breaker/loop_breaker.h"

namespace veltar::loop_breaker {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

LoopBreaker make_default() { return LoopBreaker(10, 0.85, 3); }

struct Step {
  const char* content;
  double similarity;
  std::uint32_t consecutive_similar;
  bool is_loop;
  std::uint64_t window_size;
  std::uint64_t loops_after;
};

void run_steps(LoopBreaker& breaker, const char* session, const std::vector<Step>& steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE(testing::Message() << "request " << i + 1 << ": '" << s.content << "'");
    const LoopCheck r = breaker.check(session, s.content);
    EXPECT_EQ(r.similarity, s.similarity);
    EXPECT_EQ(r.consecutive_similar, s.consecutive_similar);
    EXPECT_EQ(r.is_loop, s.is_loop);
    EXPECT_EQ(r.window_size, s.window_size);
    EXPECT_EQ(breaker.loops_detected(), s.loops_after);
  }
}

TEST(LoopBreaker, SevenRequestsWithDefaults) {
  LoopBreaker breaker = make_default();
  const char* same = "retry the same call";
  run_steps(breaker, "agent", {
                                  {same, 0.0, 0, false, 1, 0},
                                  {same, 1.0, 1, false, 2, 0},
                                  {same, 1.0, 2, false, 3, 0},
                                  {same, 1.0, 3, true, 4, 1},
                                  {same, 1.0, 4, true, 5, 2},
                                  {"something else entirely", 0.0, 0, false, 6, 2},
                              });
  const LoopCheck r = breaker.check("agent", "retry the same call please");
  EXPECT_NEAR(r.similarity, 2.0 / std::sqrt(5.0), 1e-15);
  EXPECT_GE(r.similarity, 0.85);
  EXPECT_EQ(r.consecutive_similar, 1u);
  EXPECT_FALSE(r.is_loop);
  EXPECT_EQ(r.window_size, 7u);

  EXPECT_EQ(breaker.total_checks(), 7u);
  EXPECT_EQ(breaker.loops_detected(), 2u);
  EXPECT_EQ(breaker.active_sessions(), 1u);
  EXPECT_EQ(breaker.window_size(), 10u);
  EXPECT_EQ(breaker.similarity_threshold(), 0.85);
}

struct SettingsCase {
  const char* name;
  std::uint64_t window_size;
  double threshold;
  std::uint32_t max_consecutive;
  std::vector<Step> steps;
};

constexpr double kHelloTwice = 0.9999999999999998;

const SettingsCase kSettingsCases[] = {
    {"window 0 never compares",
     0, 0.85, 3,
     {{"same text", 0.0, 0, false, 0, 0},
      {"same text", 0.0, 0, false, 0, 0},
      {"same text", 0.0, 0, false, 0, 0}}},
    {"window 0 with threshold 0 still runs",
     0, 0.0, 2,
     {{"same text", 0.0, 1, false, 0, 0}, {"same text", 0.0, 2, true, 0, 1}}},
    {"window 1 compares with the previous request only",
     1, 0.85, 3,
     {{"alpha beta", 0.0, 0, false, 1, 0},
      {"gamma delta", 0.0, 0, false, 1, 0},
      {"alpha beta", 0.0, 0, false, 1, 0},
      {"alpha beta", kHelloTwice, 1, false, 1, 0}}},
    {"threshold 0 makes every request similar",
     10, 0.0, 3,
     {{"one", 0.0, 1, false, 1, 0},
      {"two", 0.0, 2, false, 2, 0},
      {"three", 0.0, 3, true, 3, 1},
      {"", 0.0, 4, true, 4, 2}}},
    {"negative threshold",
     10, -1.0, 3,
     {{"x", 0.0, 1, false, 1, 0}, {"y", 0.0, 2, false, 2, 0}, {"z", 0.0, 3, true, 3, 1}}},
    {"threshold 1 needs an exact 1.0",
     10, 1.0, 1,
     {{"Hello World", 0.0, 0, false, 1, 0},
      {"Hello World", kHelloTwice, 0, false, 2, 0},
      {"retry the same call", 0.0, 0, false, 3, 0},
      {"retry the same call", 1.0, 1, true, 4, 1}}},
    {"NaN threshold makes nothing similar",
     10, kNaN, 1,
     {{"retry the same call", 0.0, 0, false, 1, 0},
      {"retry the same call", 1.0, 0, false, 2, 0},
      {"retry the same call", 1.0, 0, false, 3, 0}}},
    {"max_consecutive 0 makes every request a loop",
     10, 0.85, 0,
     {{"first", 0.0, 0, true, 1, 1},
      {"second", 0.0, 0, true, 2, 2},
      {"second", 1.0, 1, true, 3, 3}}},
    {"max_consecutive 1 makes the first similar request a loop",
     10, 0.85, 1,
     {{"retry the same call", 0.0, 0, false, 1, 0},
      {"retry the same call", 1.0, 1, true, 2, 1},
      {"other words", 0.0, 0, false, 3, 1}}},
    {"requests without terms take a slot and break the run",
     10, 0.85, 2,
     {{"retry the same call", 0.0, 0, false, 1, 0},
      {"retry the same call", 1.0, 1, false, 2, 0},
      {"", 0.0, 0, false, 3, 0},
      {"a b c", 0.0, 0, false, 4, 0},
      {"...", 0.0, 0, false, 5, 0},
      {"retry the same call", 1.0, 1, false, 6, 0}}},
    {"a match with an older request counts",
     10, 0.85, 3,
     {{"alpha beta", 0.0, 0, false, 1, 0},
      {"gamma delta", 0.0, 0, false, 2, 0},
      {"epsilon zeta", 0.0, 0, false, 3, 0},
      {"beta alpha", kHelloTwice, 1, false, 4, 0}}},
    {"a request leaves the window after window_size more",
     3, 0.85, 3,
     {{"alpha beta", 0.0, 0, false, 1, 0},
      {"gamma delta", 0.0, 0, false, 2, 0},
      {"epsilon zeta", 0.0, 0, false, 3, 0},
      {"eta theta", 0.0, 0, false, 3, 0},
      {"alpha beta", 0.0, 0, false, 3, 0},
      {"epsilon zeta", kHelloTwice, 1, false, 3, 0}}},
    {"the run is not reset by a loop",
     10, 0.85, 2,
     {{"retry the same call", 0.0, 0, false, 1, 0},
      {"retry the same call", 1.0, 1, false, 2, 0},
      {"retry the same call", 1.0, 2, true, 3, 1},
      {"retry the same call", 1.0, 3, true, 4, 2},
      {"unrelated words", 0.0, 0, false, 5, 2},
      {"unrelated words", kHelloTwice, 1, false, 6, 2}}},
};

TEST(LoopBreaker, Settings) {
  for (const SettingsCase& c : kSettingsCases) {
    SCOPED_TRACE(c.name);
    LoopBreaker breaker(c.window_size, c.threshold, c.max_consecutive);
    run_steps(breaker, "s", c.steps);
    EXPECT_EQ(breaker.total_checks(), c.steps.size());
    EXPECT_EQ(breaker.active_sessions(), 1u);
    EXPECT_EQ(breaker.window_size(), c.window_size);
    const double stored = breaker.similarity_threshold();
    EXPECT_TRUE(stored == c.threshold || (std::isnan(stored) && std::isnan(c.threshold)));
    EXPECT_EQ(breaker.max_consecutive(), c.max_consecutive);
  }
}

TEST(LoopBreaker, ResetSession) {
  LoopBreaker breaker = make_default();
  breaker.reset_session("unknown");
  EXPECT_EQ(breaker.active_sessions(), 0u);

  for (int i = 0; i < 4; ++i) breaker.check("s", "retry the same call");
  breaker.check("other", "retry the same call");
  ASSERT_EQ(breaker.loops_detected(), 1u);
  ASSERT_EQ(breaker.active_sessions(), 2u);

  breaker.reset_session("s");
  EXPECT_EQ(breaker.active_sessions(), 1u);
  EXPECT_EQ(breaker.find_session("s"), nullptr);
  EXPECT_EQ(breaker.total_checks(), 5u);
  EXPECT_EQ(breaker.loops_detected(), 1u);

  const LoopCheck r = breaker.check("s", "retry the same call");
  EXPECT_EQ(r.similarity, 0.0);
  EXPECT_EQ(r.consecutive_similar, 0u);
  EXPECT_FALSE(r.is_loop);
  EXPECT_EQ(r.window_size, 1u);
  EXPECT_EQ(breaker.active_sessions(), 2u);

  breaker.reset_session("s");
  breaker.reset_session("s");
  EXPECT_EQ(breaker.active_sessions(), 1u);
  ASSERT_NE(breaker.find_session("other"), nullptr);
  EXPECT_EQ(breaker.find_session("other")->vectors.size(), 1u);
}

TEST(LoopBreaker, SessionsAreIndependentAndExact) {
  LoopBreaker breaker = make_default();
  const char* ids[] = {"S1", "s1", "S1 ", "", "S\u00e91"};
  for (const char* id : ids) {
    const LoopCheck r = breaker.check(id, "retry the same call");
    EXPECT_EQ(r.similarity, 0.0) << "'" << id << "'";
    EXPECT_EQ(r.window_size, 1u);
  }
  EXPECT_EQ(breaker.active_sessions(), std::size(ids));
  const LoopCheck r = breaker.check("S1", "retry the same call");
  EXPECT_EQ(r.similarity, 1.0);
  EXPECT_EQ(r.window_size, 2u);
  EXPECT_EQ(breaker.find_session("s1")->vectors.size(), 1u);
  EXPECT_EQ(breaker.find_session("S1")->consecutive_similar, 1u);
  EXPECT_EQ(breaker.find_session("s1")->consecutive_similar, 0u);
}

// A session id with an embedded NUL is a different id from its prefix.
TEST(LoopBreaker, SessionIdsCompareAllBytes) {
  LoopBreaker breaker = make_default();
  breaker.check(std::string_view("a\0b", 3), "alpha beta");
  breaker.check("a", "alpha beta");
  EXPECT_EQ(breaker.active_sessions(), 2u);
  EXPECT_EQ(breaker.find_session(std::string_view("a\0b", 3))->vectors.size(), 1u);
}

TEST(LoopBreaker, WindowKeepsTheLatestVectorsOldestFirst) {
  LoopBreaker breaker(3, 0.85, 3);
  const char* texts[] = {"aa", "bb", "cc", "dd", "ee"};
  for (const char* t : texts) breaker.check("s", t);
  const SessionWindow* w = breaker.find_session("s");
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(w->vectors.size(), 3u);
  EXPECT_EQ(w->vectors[0].term(0), "cc");
  EXPECT_EQ(w->vectors[1].term(0), "dd");
  EXPECT_EQ(w->vectors[2].term(0), "ee");
}

// Many checks never let a session hold more than window_size vectors, nor
// reserve storage beyond that.
TEST(LoopBreaker, MemoryIsBoundedByTheWindow) {
  const std::uint64_t sizes[] = {1, 2, 5, 10, 17};
  for (const std::uint64_t size : sizes) {
    LoopBreaker breaker(size, 0.85, 3);
    for (int i = 0; i < 500; ++i) {
      std::string text = "request number ";
      text += std::to_string(i % 37);
      const LoopCheck r = breaker.check("s", text);
      ASSERT_EQ(r.window_size, std::min<std::uint64_t>(i + 1, size));
      const SessionWindow* w = breaker.find_session("s");
      ASSERT_EQ(w->vectors.size(), r.window_size);
      ASSERT_LE(w->vectors.capacity(), size);
    }
  }
}

TEST(LoopBreaker, HugeWindowSettingReservesOnlyWhatIsUsed) {
  LoopBreaker breaker(std::numeric_limits<std::uint64_t>::max(), 0.85, 3);
  for (int i = 0; i < 20; ++i) breaker.check("s", "retry the same call");
  const SessionWindow* w = breaker.find_session("s");
  EXPECT_EQ(w->vectors.size(), 20u);
  EXPECT_LE(w->vectors.capacity(), 64u);
  EXPECT_EQ(breaker.window_size(), std::numeric_limits<std::uint64_t>::max());
}

// An obvious model: every session keeps its whole history of texts, and each
// check recomputes the best similarity over the last window_size of them.
TEST(LoopBreaker, AgreesWithHistoryModelOnGeneratedSequences) {
  const char* texts[] = {"alpha beta", "beta alpha", "alpha", "beta gamma", "gamma",
                         "",           "a b",        "alpha beta gamma", "beta beta alpha"};
  const char* sessions[] = {"s1", "s2", "S1"};
  const double thresholds[] = {0.85, 0.5, 0.0, 1.0, kNaN};
  std::mt19937 rng(99);
  for (std::uint64_t window = 0; window <= 4; ++window) {
    for (const double threshold : thresholds) {
      for (std::uint32_t max_run = 0; max_run <= 3; ++max_run) {
        LoopBreaker breaker(window, threshold, max_run);
        std::map<std::string, std::vector<std::string>> history;
        std::map<std::string, std::uint32_t> run;
        std::uint64_t loops = 0;
        for (int i = 0; i < 200; ++i) {
          const std::string id = sessions[rng() % std::size(sessions)];
          if (rng() % 25 == 0) {
            breaker.reset_session(id);
            history.erase(id);
            run.erase(id);
            continue;
          }
          const std::string text = texts[rng() % std::size(texts)];
          std::vector<std::string>& h = history[id];
          const TermVector v = vectorize(text);
          double best = 0.0;
          const std::size_t from = h.size() > window ? h.size() - window : 0;
          for (std::size_t k = from; k < h.size(); ++k) {
            best = std::max(best, cosine_similarity(v, vectorize(h[k])));
          }
          std::uint32_t& r = run[id];
          r = best >= threshold ? r + 1 : 0;
          h.push_back(text);
          const bool is_loop = r >= max_run;
          loops += is_loop;

          const LoopCheck got = breaker.check(id, text);
          ASSERT_EQ(got.similarity, best) << "step " << i;
          ASSERT_EQ(got.consecutive_similar, r) << "step " << i;
          ASSERT_EQ(got.is_loop, is_loop) << "step " << i;
          ASSERT_EQ(got.window_size, std::min<std::uint64_t>(h.size(), window)) << "step " << i;
          ASSERT_EQ(breaker.loops_detected(), loops);
          ASSERT_EQ(breaker.active_sessions(), history.size());
        }
      }
    }
  }
}

}  // namespace
}  // namespace veltar::loop_breaker
