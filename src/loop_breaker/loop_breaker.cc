#include "loop_breaker/loop_breaker.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace veltar::loop_breaker {
namespace {

// Appends `v` to a window that holds fewer than `window_size` vectors. The
// capacity grows geometrically but never past window_size, so a full window
// holds no spare storage.
void append_below_limit(std::vector<TermVector>& vectors, TermVector&& v,
                        std::uint64_t window_size) {
  if (vectors.size() == vectors.capacity()) {
    const std::uint64_t wanted = std::max<std::uint64_t>(4, vectors.capacity() * 2);
    vectors.reserve(static_cast<std::size_t>(std::min(wanted, window_size)));
  }
  vectors.push_back(std::move(v));
}

// Drops the oldest vector of a full window and appends `v`. Moving a
// TermVector moves three buffers' pointers, which is far cheaper than the
// comparison the check just made against each of them.
void rotate_in(std::vector<TermVector>& vectors, TermVector&& v) noexcept {
  std::move(vectors.begin() + 1, vectors.end(), vectors.begin());
  vectors.back() = std::move(v);
}

}  // namespace

LoopBreaker::LoopBreaker(std::uint64_t window_size, double similarity_threshold,
                         std::uint32_t max_consecutive)
    : window_size_(window_size),
      similarity_threshold_(similarity_threshold),
      max_consecutive_(max_consecutive) {}

LoopCheck LoopBreaker::check(std::string_view session_id, std::string_view content) {
  // The check counts as soon as its arguments are accepted. Everything else
  // that can throw comes before the next change of state, or is undone, so a
  // failed allocation leaves only the count behind.
  ++total_checks_;
  TermVector v = vectorize(content);
  auto it = sessions_.find(session_id);
  const bool created = it == sessions_.end();
  if (created) it = sessions_.emplace(std::string(session_id), SessionWindow{}).first;
  SessionWindow& window = it->second;

  const double similarity = max_similarity(v, window.vectors);

  if (window_size_ > 0) {
    if (window.vectors.size() < window_size_) {
      try {
        append_below_limit(window.vectors, std::move(v), window_size_);
      } catch (...) {
        if (created) sessions_.erase(it);
        throw;
      }
    } else {
      rotate_in(window.vectors, std::move(v));
    }
  }

  // NaN on either side compares false: not similar. The run saturates rather
  // than wrapping to 0, which would end a loop that is still going on.
  if (similarity >= similarity_threshold_) {
    if (window.consecutive_similar < std::numeric_limits<std::uint32_t>::max()) {
      ++window.consecutive_similar;
    }
  } else {
    window.consecutive_similar = 0;
  }
  const bool is_loop = window.consecutive_similar >= max_consecutive_;
  if (is_loop) ++loops_detected_;
  return LoopCheck{is_loop, similarity, window.consecutive_similar, window.vectors.size()};
}

void LoopBreaker::reset_session(std::string_view session_id) {
  const auto it = sessions_.find(session_id);
  if (it != sessions_.end()) sessions_.erase(it);
}

const SessionWindow* LoopBreaker::find_session(std::string_view session_id) const {
  const auto it = sessions_.find(session_id);
  return it == sessions_.end() ? nullptr : &it->second;
}

}  // namespace veltar::loop_breaker
