// The injection firewall: the pattern catalogue (fast path) and the heuristic
// analyser (deep path) combined into a verdict and a graded risk, with the
// object's counters.
//
// A Firewall is not safe for concurrent use: check() changes its counters.
// Distinct objects are independent; they share only the process-wide
// catalogue, which is read-only once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltar::firewall {

// The outcome of one check. risk_level points at static text.
struct FirewallOutcome {
  bool is_injection = false;
  std::string_view risk_level;
  std::vector<std::string> matched_patterns;  // catalogue order, each once
  double heuristic_score = 0.0;
  std::vector<std::string> heuristic_signals;
};

// The risk level for a heuristic score and a number of matched patterns:
// "critical" when score >= 2.0 or matched >= 3, else "high" when
// score >= 1.5 or matched == 2, else "medium" when score >= 1.0 or
// matched == 1, else "low". Scores compare exactly, without tolerance.
std::string_view grade_risk(double score, std::size_t matched);

class Firewall {
 public:
  // Builds the process-wide catalogue if no one has yet (INJECTION_PATTERNS,
  // then PATTERN_NAMES), whatever the switches; throws Fault if it cannot
  // be built. Both counters start at 0.
  Firewall(bool fast_path, bool deep_path);

  // Counts the check, runs the paths that are switched on (the catalogue
  // over the text as given, the heuristics), decides, and counts an
  // injection. The verdict is an injection exactly when the risk level is
  // not "low". `text` is UTF-8; any text, the empty one included, gives an
  // outcome. Linear in the length of the text.
  FirewallOutcome check(std::string_view text);

  std::uint64_t checks_total() const { return checks_total_; }
  std::uint64_t injections_detected() const { return injections_detected_; }
  bool fast_path() const { return fast_path_; }
  bool deep_path() const { return deep_path_; }

  // The number of catalogue names (PATTERN_NAMES().size()), building the
  // names if needed; independent of any object's switches.
  static std::size_t pattern_count();

 private:
  std::uint64_t checks_total_ = 0;
  std::uint64_t injections_detected_ = 0;
  bool fast_path_;
  bool deep_path_;
};

}  // namespace veltar::firewall
