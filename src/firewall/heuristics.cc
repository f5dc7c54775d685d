#include "firewall/heuristics.h"

#include <algorithm>
#include <bit>
#include <charconv>

#include "common/fault.h"
#include "firewall/heuristic_scan.h"

namespace veltar::firewall {
namespace {

std::string with_integer(std::string_view prefix, std::size_t value) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  if (ec != std::errc()) throw Fault("integer formatting failed");
  std::string out(prefix);
  out.append(digits, end);
  return out;
}

}  // namespace

HeuristicCounts count_heuristics(std::string_view text) {
  return scan_text(text, best_scan_kernel());
}

HeuristicReport score_counts(const HeuristicCounts& counts, std::size_t byte_length) {
  HeuristicReport report;
  const double density =
      double(counts.imperative_words) / double(std::max<std::size_t>(counts.words, 1));
  if (counts.words >= 4 && density > 0.15) {
    report.signals.push_back("high_imperative_density:" + format_two_decimals(density));
    report.score = report.score + density * 2.0;
  }
  const double ratio = double(counts.special_chars) / double(std::max<std::size_t>(byte_length, 1));
  if (ratio > 0.1) {
    report.signals.push_back("high_special_chars:" + format_two_decimals(ratio));
    report.score = report.score + ratio * 3.0;
  }
  const int switches = std::popcount(counts.phrases);
  if (switches >= 2) {
    report.signals.push_back(with_integer("context_switches:", std::size_t(switches)));
    report.score = report.score + double(switches) * 0.3;
  }
  if (byte_length > 2000) {
    report.signals.push_back(with_integer("abnormal_length:", byte_length));
    report.score = report.score + 0.3;
  }
  const int markers = std::popcount(counts.markers);
  if (markers >= 1) {
    report.signals.push_back(with_integer("encoding_markers:", std::size_t(markers)));
    report.score = report.score + double(markers) * 0.4;
  }
  return report;
}

HeuristicReport score_heuristics(std::string_view text) {
  return score_counts(count_heuristics(text), text.size());
}

std::string format_two_decimals(double value) {
  // to_chars is exact and ignores the C locale, which printf does not.
  char digits[352];
  const auto [end, ec] =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 2);
  if (ec != std::errc()) throw Fault("two-decimal formatting failed");
  return std::string(digits, end);
}

}  // namespace veltar::firewall
