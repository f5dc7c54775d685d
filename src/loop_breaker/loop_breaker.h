// Per-session sliding windows of term vectors and the loop decision.
//
// A LoopBreaker keeps, for every session id it has seen and not reset, the
// term vectors of the session's latest requests and the length of the current
// run of similar requests. A request is similar when its highest cosine
// similarity against the window (before it joins the window) is at least the
// threshold; a request is a loop when the run, including it, has reached
// max_consecutive.
//
// Not safe for concurrent use: callers serialise check() and reset_session()
// against every other call. Const member functions may run concurrently with
// each other.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "loop_breaker/term_vector.h"

namespace veltar::loop_breaker {

// The outcome of one check().
struct LoopCheck {
  bool is_loop;
  double similarity;                  // against the window before this request
  std::uint32_t consecutive_similar;  // the run after this request
  std::uint64_t window_size;          // vectors held after this request
};

// The state of one session.
struct SessionWindow {
  // Oldest first; never more than the breaker's window_size after a check.
  std::vector<TermVector> vectors;
  // Length of the run of similar requests ending with the latest one.
  std::uint32_t consecutive_similar = 0;
};

class LoopBreaker {
 public:
  // Settings are stored as given and never validated:
  // - window_size 0 keeps no vector, so every similarity is 0.0;
  // - a threshold at or below 0.0 makes every request similar, 1.0 only
  //   similarities that come out as 1.0 or more, NaN none;
  // - max_consecutive 0 makes every request a loop.
  LoopBreaker(std::uint64_t window_size, double similarity_threshold,
              std::uint32_t max_consecutive);

  // Counts the check, vectorises `content`, compares it with every vector of
  // the session's window (creating the session if it is new), updates the run
  // and the loop counter, then appends the vector and drops the oldest one if
  // the window is over window_size. `content` must be valid UTF-8. Costs one
  // pass over `content` and at most window_size comparisons. If an allocation
  // fails, only total_checks has changed.
  LoopCheck check(std::string_view session_id, std::string_view content);

  // Forgets the session's window and run; no effect on an unknown id.
  void reset_session(std::string_view session_id);

  // The session's state, or nullptr if it has none. Valid until the next
  // non-const call.
  const SessionWindow* find_session(std::string_view session_id) const;

  std::uint64_t total_checks() const { return total_checks_; }
  std::uint64_t loops_detected() const { return loops_detected_; }
  std::uint64_t active_sessions() const { return sessions_.size(); }
  std::uint64_t window_size() const { return window_size_; }
  double similarity_threshold() const { return similarity_threshold_; }
  std::uint32_t max_consecutive() const { return max_consecutive_; }

 private:
  // Session ids are looked up as string_views without building a key.
  struct IdHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view id) const { return hash_term(id); }
  };
  using SessionMap = std::unordered_map<std::string, SessionWindow, IdHash, std::equal_to<>>;

  SessionMap sessions_;
  std::uint64_t window_size_;
  double similarity_threshold_;
  std::uint32_t max_consecutive_;
  std::uint64_t total_checks_ = 0;
  std::uint64_t loops_detected_ = 0;
};

}  // namespace veltar::loop_breaker
