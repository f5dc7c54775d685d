// Fuzzes LoopBreaker::check and reset_session against a plain model of the
// session windows.
//
// Input: three setting bytes (window size, similarity threshold, run length,
// each picking from a small table that includes the odd settings: 0, huge,
// NaN, thresholds at or below 0.0 and at 1.0), then requests separated by
// 0xFF. A request's first byte picks one of four session ids (two differing
// only in case) and, when its bits 2 to 4 are all set, makes it a reset;
// the rest is the content.
//
// The model keeps, per session, the list of stored vectors and the run
// counter, and applies the documented rules literally: similarity is the
// highest cosine against the vectors held before the request, a similar
// request (similarity >= threshold, false for NaN) extends the run and any
// other ends it, a loop is a run of at least max_consecutive, the vector is
// appended and the oldest dropped beyond window_size. Every answer, both
// counters, the number of sessions and every stored window must agree with
// the model exactly; similarities lie in [0, 1 + 1e-12].
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "loop_breaker/loop_breaker.h"
#include "loop_breaker/term_vector.h"

namespace veltar::fuzz {
namespace {

using loop_breaker::LoopBreaker;
using loop_breaker::LoopCheck;
using loop_breaker::TermVector;

constexpr std::uint64_t kWindowSizes[] = {
    10, 0, 1, 2, 3, 4, std::numeric_limits<std::uint64_t>::max()};
constexpr double kThresholds[] = {
    0.85,  0.0, -1.0, 0.5, 1.0, std::numeric_limits<double>::quiet_NaN(), 0.9999999999999998,
    1e-300};
constexpr std::uint32_t kRunLengths[] = {3, 0, 1, 2, std::numeric_limits<std::uint32_t>::max()};
const std::string_view kSessionIds[] = {"S1", "s1", "", "session \xc3\xa9"};

struct ModelSession {
  std::vector<TermVector> vectors;
  std::uint32_t run = 0;
};

bool same_vector(const TermVector& a, const TermVector& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a.term(i) != b.term(i) || a.weight(i) != b.weight(i)) return false;
  }
  return true;
}

std::string describe(const LoopCheck& c) {
  return "is_loop " + std::to_string(c.is_loop) + " similarity " + std::to_string(c.similarity) +
         " run " + std::to_string(c.consecutive_similar) + " window " +
         std::to_string(c.window_size);
}

}  // namespace
}  // namespace veltar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltar;
  using namespace veltar::fuzz;
  if (size < 3) return 0;
  const std::uint64_t window_size = kWindowSizes[data[0] % std::size(kWindowSizes)];
  const double threshold = kThresholds[data[1] % std::size(kThresholds)];
  const std::uint32_t max_run = kRunLengths[data[2] % std::size(kRunLengths)];
  LoopBreaker breaker(window_size, threshold, max_run);
  FUZZ_CHECK(breaker.window_size() == window_size && breaker.max_consecutive() == max_run &&
                 (breaker.similarity_threshold() == threshold ||
                  (std::isnan(threshold) && std::isnan(breaker.similarity_threshold()))),
             "settings not stored as given");

  std::map<std::string, ModelSession, std::less<>> model;
  std::uint64_t checks = 0;
  std::uint64_t loops = 0;
  const std::vector<std::string_view> requests =
      split_parts(std::string_view(reinterpret_cast<const char*>(data) + 3, size - 3), 64);
  for (const std::string_view request : requests) {
    const unsigned selector = request.empty() ? 0 : static_cast<unsigned char>(request[0]);
    const std::string_view id = kSessionIds[selector % 4];
    const std::string content = to_valid_utf8(request.empty() ? request : request.substr(1));

    if (((selector >> 2) & 7) == 7) {
      breaker.reset_session(id);
      model.erase(std::string(id));
      FUZZ_CHECK(breaker.find_session(id) == nullptr, "session survived its reset");
    } else {
      const LoopCheck got = breaker.check(id, content);
      ++checks;
      ModelSession& session = model[std::string(id)];
      const TermVector v = loop_breaker::vectorize(content);
      const double similarity = loop_breaker::max_similarity(v, session.vectors);
      if (similarity >= threshold) {
        if (session.run < std::numeric_limits<std::uint32_t>::max()) ++session.run;
      } else {
        session.run = 0;
      }
      const bool is_loop = session.run >= max_run;
      if (is_loop) ++loops;
      session.vectors.push_back(loop_breaker::vectorize(content));
      if (session.vectors.size() > window_size) session.vectors.erase(session.vectors.begin());

      const auto context = [&] {
        return "check('" + escaped(id) + "', '" + escaped(content) + "') gave " + describe(got) +
               "; model similarity " + std::to_string(similarity) + " run " +
               std::to_string(session.run) + " window " + std::to_string(session.vectors.size());
      };
      FUZZ_CHECK(got.similarity == similarity, context());
      FUZZ_CHECK(got.similarity >= 0.0 && got.similarity <= 1.0 + 1e-12, context());
      FUZZ_CHECK(got.consecutive_similar == session.run, context());
      FUZZ_CHECK(got.is_loop == is_loop, context());
      FUZZ_CHECK(got.window_size == session.vectors.size(), context());
      FUZZ_CHECK(got.window_size <= window_size, context());
    }

    FUZZ_CHECK(breaker.total_checks() == checks,
               "total_checks " + std::to_string(breaker.total_checks()));
    FUZZ_CHECK(breaker.loops_detected() == loops,
               "loops_detected " + std::to_string(breaker.loops_detected()));
    FUZZ_CHECK(breaker.active_sessions() == model.size(),
               "active_sessions " + std::to_string(breaker.active_sessions()));
    for (const std::string_view other : kSessionIds) {
      const loop_breaker::SessionWindow* window = breaker.find_session(other);
      const auto it = model.find(other);
      FUZZ_CHECK((window == nullptr) == (it == model.end()),
                 "session presence of '" + escaped(other) + "'");
      if (window == nullptr) continue;
      FUZZ_CHECK(window->consecutive_similar == it->second.run,
                 "stored run of '" + escaped(other) + "'");
      FUZZ_CHECK(window->vectors.size() == it->second.vectors.size(),
                 "stored window of '" + escaped(other) + "'");
      for (std::size_t i = 0; i < window->vectors.size(); ++i) {
        FUZZ_CHECK(same_vector(window->vectors[i], it->second.vectors[i]),
                   "stored vector " + std::to_string(i) + " of '" + escaped(other) + "'");
      }
    }
  }
  return 0;
}
