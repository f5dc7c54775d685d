// Fuzzes Firewall::check under all four switch settings, and the two paths
// behind it: match_injection_patterns and the heuristics.
//
// Checked on every input (one text):
// - matched pattern names are catalogue names, unique and in catalogue order;
//   each is reported exactly when a plain PCRE2 translation of the same
//   catalogue pattern, compiled on its own, finds a match (short texts only;
//   skipped where PCRE2 gives up), so the set, with whatever prefilters and
//   rewrites it uses for speed, answers for each pattern as the pattern
//   itself would;
// - the heuristic counts of every scan kernel equal a slow count (decode
//   every character, split at White_Space, lower-case each word, search the
//   lower-cased text for each phrase and the raw text for each marker);
// - the signals are exactly those whose thresholds the slow counts reach, in
//   heuristic order, with values formatted by printf's "%.2f" and "%zu"; the
//   score is the sum, in that order, of the contributions of the listed
//   signals and nothing else;
// - check: fast_path off gives no names and deep_path off score 0.0 and no
//   signals, otherwise the paths' own results; the risk level follows the
//   grading table; is_injection exactly when the level is not "low"; the
//   counters grow by one check and by one injection per verdict;
// - format_two_decimals equals "%.2f" on a double taken from the input.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/fault.h"
#include "firewall/firewall.h"
#include "firewall/heuristic_scan.h"
#include "firewall/heuristics.h"
#include "firewall/injection_catalogue.h"
#include "fuzz_support.h"
#include "regex/pcre2_pattern.h"
#include "regex/translate.h"
#include "unicode/unicode.h"

namespace veltar::fuzz {
namespace {

using firewall::HeuristicCounts;

// Longest text given to the PCRE2 programs, whose backtracking over "\s+.{0,40}"
// grows with the square of a run of white space.
constexpr std::size_t kReferenceLimit = 1024;

std::string join(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const std::string& s : items) out += "'" + escaped(s) + "' ";
  return out + "]";
}

std::string describe(const HeuristicCounts& c) {
  return "words " + std::to_string(c.words) + " imperative " + std::to_string(c.imperative_words) +
         " special " + std::to_string(c.special_chars) + " phrases " + std::to_string(c.phrases) +
         " markers " + std::to_string(c.markers);
}

const std::set<std::string>& imperative_forms() {
  static const std::set<std::string> forms = [] {
    std::set<std::string> all;
    for (const std::string_view keyword : firewall::IMPERATIVE_KEYWORDS) {
      for (const std::string_view suffix : firewall::IMPERATIVE_SUFFIXES) {
        all.insert(std::string(keyword) + std::string(suffix));
      }
    }
    return all;
  }();
  return forms;
}

HeuristicCounts slow_counts(std::string_view text) {
  HeuristicCounts counts;
  std::string word;
  const auto end_word = [&] {
    if (word.empty()) return;
    ++counts.words;
    if (imperative_forms().count(unicode::to_lower(word)) != 0) ++counts.imperative_words;
    word.clear();
  };
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unicode::Decoded d = unicode::decode_utf8(p);
    const char32_t c = d.code_point;
    if (unicode::is_white_space(c)) {
      end_word();
    } else {
      word.append(reinterpret_cast<const char*>(p), d.length);
      const bool plain = c < 0x80 && firewall::PLAIN_PUNCTUATION.find(static_cast<char>(c)) !=
                                         std::string_view::npos;
      if (!unicode::is_alphanumeric(c) && !plain) ++counts.special_chars;
    }
    p += d.length;
  }
  end_word();
  const std::string lowered = unicode::to_lower(text);
  for (std::size_t i = 0; i < firewall::CONTEXT_SWITCH_PHRASES.size(); ++i) {
    if (lowered.find(firewall::CONTEXT_SWITCH_PHRASES[i]) != std::string::npos)
      counts.phrases |= 1u << i;
  }
  for (std::size_t i = 0; i < firewall::ENCODING_MARKERS.size(); ++i) {
    if (text.find(firewall::ENCODING_MARKERS[i]) != std::string_view::npos)
      counts.markers |= 1u << i;
  }
  return counts;
}

std::string printf_format(const char* format, double value) {
  char buf[400];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

std::string printf_format(const char* format, std::size_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

struct Expected {
  std::vector<std::string> signals;
  double score = 0.0;
};

// The signals the counts call for and the score they add up to, each
// contribution one multiplication and one addition, in heuristic order.
Expected expected_report(const HeuristicCounts& counts, std::size_t length) {
  Expected e;
  const double density = static_cast<double>(counts.imperative_words) /
                         static_cast<double>(counts.words > 0 ? counts.words : 1);
  if (counts.words >= 4 && density > 0.15) {
    e.signals.push_back("high_imperative_density:" + printf_format("%.2f", density));
    e.score = e.score + density * 2;
  }
  const double ratio =
      static_cast<double>(counts.special_chars) / static_cast<double>(length > 0 ? length : 1);
  if (ratio > 0.1) {
    e.signals.push_back("high_special_chars:" + printf_format("%.2f", ratio));
    e.score = e.score + ratio * 3.0;
  }
  const std::size_t switches = static_cast<std::size_t>(std::popcount(counts.phrases));
  if (switches >= 2) {
    e.signals.push_back("context_switches:" + printf_format("%zu", switches));
    e.score = e.score + static_cast<double>(switches) * 0.3;
  }
  if (length > 2000) {
    e.signals.push_back("abnormal_length:" + printf_format("%zu", length));
    e.score = e.score + 0.3;
  }
  const std::size_t markers = static_cast<std::size_t>(std::popcount(counts.markers));
  if (markers >= 1) {
    e.signals.push_back("encoding_markers:" + printf_format("%zu", markers));
    e.score = e.score + static_cast<double>(markers) * 0.4;
  }
  return e;
}

std::string_view expected_grade(double score, std::size_t matched) {
  if (score >= 2.0 || matched >= 3) return "critical";
  if (score >= 1.5 || matched == 2) return "high";
  if (score >= 1.0 || matched == 1) return "medium";
  return "low";
}

// Each catalogue pattern compiled on its own for PCRE2, translated plainly
// (none of the rewrites that only serve speed).
const std::vector<regex::Pcre2Pattern>& single_programs() {
  static const std::vector<regex::Pcre2Pattern> programs = [] {
    std::vector<regex::Pcre2Pattern> built;
    for (const firewall::InjectionEntry& entry : firewall::kInjectionCatalogue) {
      built.emplace_back(
          regex::translate(entry.pattern, regex::Engine::kPcre2, regex::kNoRewrites));
    }
    return built;
  }();
  return programs;
}

void check_names(const std::vector<std::string>& names, std::string_view text) {
  const auto context = [&] { return "patterns of '" + escaped(text) + "': " + join(names); };
  std::size_t next = 0;  // names must come in catalogue order, each once
  std::vector<bool> reported(firewall::kInjectionPatternCount, false);
  for (const std::string& name : names) {
    std::size_t index = next;
    while (index < firewall::kInjectionCatalogue.size() &&
           firewall::kInjectionCatalogue[index].name != name) {
      ++index;
    }
    FUZZ_CHECK(index < firewall::kInjectionCatalogue.size(), context());
    reported[index] = true;
    next = index + 1;
  }
  if (text.size() > kReferenceLimit) return;
  const auto& programs = single_programs();
  for (std::size_t i = 0; i < programs.size(); ++i) {
    bool matches;
    try {
      matches = programs[i].count(text) > 0;
    } catch (const Fault&) {
      continue;  // PCRE2 gave up; nothing to compare
    }
    FUZZ_CHECK(matches == reported[i], context() + ": PCRE2 says " +
                                           std::string(firewall::kInjectionCatalogue[i].name) +
                                           (matches ? " matches" : " does not match"));
  }
}

void check_counts(std::string_view text, const HeuristicCounts& slow) {
  for (const firewall::ScanKernel kernel :
       {firewall::ScanKernel::kPortable, firewall::ScanKernel::kAvx2,
        firewall::ScanKernel::kAvx512}) {
    if (!firewall::scan_kernel_available(kernel)) continue;
    const HeuristicCounts got = firewall::scan_text(text, kernel);
    FUZZ_CHECK(got == slow, "kernel " + std::to_string(static_cast<int>(kernel)) + " on '" +
                                escaped(text) + "': " + describe(got) + "; slow count " +
                                describe(slow));
  }
  FUZZ_CHECK(firewall::count_heuristics(text) == slow,
             "count_heuristics on '" + escaped(text) + "'");
}

void check_two_decimals(std::string_view bytes) {
  if (bytes.size() < 8) return;
  double value;
  std::memcpy(&value, bytes.data(), 8);
  if (!std::isfinite(value)) return;
  value = std::fabs(value);
  const std::string got = firewall::format_two_decimals(value);
  const std::string expected = printf_format("%.2f", value);
  FUZZ_CHECK(got == expected, "format_two_decimals(" + printf_format("%.17g", value) +
                                  ") = " + got + ", printf gives " + expected);
}

}  // namespace
}  // namespace veltar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltar;
  using namespace veltar::fuzz;
  static firewall::Firewall firewalls[4] = {
      {true, true}, {true, false}, {false, true}, {false, false}};

  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  check_two_decimals(raw);
  const std::string text = to_valid_utf8(raw);

  const std::vector<std::string> names = firewall::match_injection_patterns(text);
  check_names(names, text);

  const HeuristicCounts slow = slow_counts(text);
  check_counts(text, slow);
  const firewall::HeuristicReport report = firewall::score_heuristics(text);
  const Expected expected = expected_report(slow, text.size());
  const auto heuristics_context = [&] {
    return "heuristics of '" + escaped(text) + "': score " + printf_format("%.17g", report.score) +
           " signals " + join(report.signals) + "; counts " + describe(slow);
  };
  FUZZ_CHECK(report.signals == expected.signals, heuristics_context());
  FUZZ_CHECK(report.score == expected.score,
             heuristics_context() + "; expected " + printf_format("%.17g", expected.score));

  // Which patterns matched, how many, and which signals fired.
  for (const std::string& name : names) {
    for (std::size_t i = 0; i < firewall::kInjectionCatalogue.size(); ++i) {
      if (firewall::kInjectionCatalogue[i].name == name) note_outcome(i);
    }
  }
  note_outcome(16 + std::min<std::size_t>(names.size(), 8));
  for (const std::string& signal : report.signals) {
    note_outcome(32 + std::hash<std::string_view>{}(signal.substr(0, signal.find(':'))) % 32);
  }

  for (firewall::Firewall& fw : firewalls) {
    const std::uint64_t checks = fw.checks_total();
    const std::uint64_t injections = fw.injections_detected();
    const firewall::FirewallOutcome outcome = fw.check(text);
    const auto context = [&] {
      return "check(" + std::to_string(fw.fast_path()) + ", " + std::to_string(fw.deep_path()) +
             ") of '" + escaped(text) + "': " + std::string(outcome.risk_level) + " " +
             join(outcome.matched_patterns) + " " +
             printf_format("%.17g", outcome.heuristic_score) + " " +
             join(outcome.heuristic_signals);
    };
    FUZZ_CHECK(outcome.matched_patterns == (fw.fast_path() ? names : std::vector<std::string>{}),
               context());
    FUZZ_CHECK(outcome.heuristic_score == (fw.deep_path() ? report.score : 0.0), context());
    FUZZ_CHECK(
        outcome.heuristic_signals == (fw.deep_path() ? report.signals : std::vector<std::string>{}),
        context());
    FUZZ_CHECK(outcome.risk_level ==
                   expected_grade(outcome.heuristic_score, outcome.matched_patterns.size()),
               context());
    FUZZ_CHECK(outcome.is_injection == (outcome.risk_level != "low"), context());
    FUZZ_CHECK(fw.checks_total() == checks + 1, context() + ": checks_total");
    FUZZ_CHECK(fw.injections_detected() == injections + (outcome.is_injection ? 1 : 0),
               context() + ": injections_detected");
    FUZZ_CHECK(firewall::Firewall::pattern_count() == firewall::kInjectionPatternCount, context());
  }
  return 0;
}
