#include "firewall/firewall.h"

#include <utility>

#include "firewall/heuristics.h"
#include "firewall/injection_catalogue.h"

namespace veltar::firewall {

std::string_view grade_risk(double score, std::size_t matched) {
  if (score >= 2.0 || matched >= 3) return "critical";
  if (score >= 1.5 || matched == 2) return "high";
  if (score >= 1.0 || matched == 1) return "medium";
  return "low";
}

Firewall::Firewall(bool fast_path, bool deep_path) : fast_path_(fast_path), deep_path_(deep_path) {
  // Built here, not at the first check, so that a catalogue that cannot be
  // built fails the construction.
  INJECTION_PATTERNS();
  PATTERN_NAMES();
}

FirewallOutcome Firewall::check(std::string_view text) {
  ++checks_total_;
  FirewallOutcome outcome;
  if (fast_path_) outcome.matched_patterns = match_injection_patterns(text);
  if (deep_path_) {
    HeuristicReport report = score_heuristics(text);
    outcome.heuristic_score = report.score;
    outcome.heuristic_signals = std::move(report.signals);
  }
  outcome.risk_level = grade_risk(outcome.heuristic_score, outcome.matched_patterns.size());
  outcome.is_injection = outcome.risk_level != "low";
  if (outcome.is_injection) ++injections_detected_;
  return outcome;
}

std::size_t Firewall::pattern_count() { return PATTERN_NAMES().size(); }

}  // namespace veltar::firewall
