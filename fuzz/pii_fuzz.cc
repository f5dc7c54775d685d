// Fuzzes PiiScanner::scan and PiiScanner::redact on one text per input.
//
// Checked on every input:
// - both outcomes: count is the sum of details, every detail count is at
//   least 1, categories are the detail names, unique and in table order;
// - scan returns the input unchanged; redact's output holds exactly as many
//   replacement tokens as the input plus count (tokens are never matched, and
//   one token cannot form part of another);
// - scan and redact agree on the first detector in table order that matches,
//   and on its count (it sees the unchanged input in both), and a text that
//   scan finds clean is returned unchanged by redact;
// - the counters: redact adds 1 to total_scans and count to total_redactions,
//   scan changes neither;
// - the text behind a long filler that moves the scanner's chunk boundary
//   into it gives the same counts and the same redaction after the filler;
// - the scanner (with the catalogue programs' anti-backtracking rewrites and
//   its search of candidate regions only) gives the same counts and the same
//   redacted text as plain translations of the same patterns run over the
//   whole text, which are obviously equivalent but may backtrack (they run
//   on short texts only and are skipped where PCRE2 gives up).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/fault.h"
#include "fuzz_support.h"
#include "pii/pii_catalogue.h"
#include "pii/pii_scanner.h"
#include "regex/pcre2_pattern.h"
#include "regex/translate.h"

namespace veltar::fuzz {
namespace {

// Longest text given to the plain programs, whose backtracking is not bounded.
constexpr std::size_t kReferenceLimit = 2048;

std::size_t table_index(std::string_view category) {
  for (std::size_t i = 0; i < pii::kPiiCatalogue.size(); ++i) {
    if (pii::kPiiCatalogue[i].category == category) return i;
  }
  return pii::kPiiCatalogue.size();
}

std::size_t count_tokens(std::string_view text) {
  std::size_t total = 0;
  for (const pii::PiiEntry& entry : pii::kPiiCatalogue) {
    for (std::size_t at = text.find(entry.replacement); at != std::string_view::npos;
         at = text.find(entry.replacement, at + entry.replacement.size())) {
      ++total;
    }
  }
  return total;
}

std::string describe(const pii::PiiOutcome& outcome) {
  std::string out = "count " + std::to_string(outcome.count) + " details [";
  for (const auto& [category, count] : outcome.details) {
    out += std::string(category) + ":" + std::to_string(count) + " ";
  }
  return out + "] text '" + escaped(outcome.redacted_text) + "'";
}

void check_shape(const pii::PiiOutcome& outcome, std::string_view text, const char* which) {
  const auto context = [&] {
    return std::string(which) + " of '" + escaped(text) + "': " + describe(outcome);
  };
  FUZZ_CHECK(outcome.categories.size() == outcome.details.size(), context());
  std::size_t sum = 0;
  std::size_t previous = 0;
  for (std::size_t i = 0; i < outcome.details.size(); ++i) {
    const auto& [category, count] = outcome.details[i];
    FUZZ_CHECK(outcome.categories[i] == category, context());
    FUZZ_CHECK(count >= 1, context());
    const std::size_t index = table_index(category);
    FUZZ_CHECK(index < pii::kPiiCatalogue.size(), context());
    FUZZ_CHECK(i == 0 || index > previous, context());
    previous = index;
    sum += count;
  }
  FUZZ_CHECK(outcome.count == sum, context());
}

// The catalogue patterns translated without any rewrite.
const std::vector<regex::Pcre2Pattern>& plain_programs() {
  static const std::vector<regex::Pcre2Pattern> programs = [] {
    std::vector<regex::Pcre2Pattern> built;
    for (const pii::PiiEntry& entry : pii::kPiiCatalogue) {
      built.emplace_back(
          regex::translate(entry.pattern, regex::Engine::kPcre2, regex::kNoRewrites));
    }
    return built;
  }();
  return programs;
}

void compare_with_plain_scan(const pii::PiiOutcome& scanned, std::string_view text) {
  const auto& programs = plain_programs();
  for (std::size_t i = 0; i < programs.size(); ++i) {
    std::size_t expected;
    try {
      expected = programs[i].count(text);
    } catch (const Fault&) {
      continue;  // the plain program gave up; nothing to compare
    }
    std::size_t got = 0;
    for (const auto& [category, count] : scanned.details) {
      if (category == pii::kPiiCatalogue[i].category) got = count;
    }
    FUZZ_CHECK(got == expected, "scan of '" + escaped(text) + "': detector " +
                                    std::string(pii::kPiiCatalogue[i].category) + " counted " +
                                    std::to_string(got) + ", plain program " +
                                    std::to_string(expected));
  }
}

void compare_with_plain_redact(const pii::PiiOutcome& redacted, std::string_view text) {
  const auto& programs = plain_programs();
  std::string current(text);
  std::vector<std::pair<std::string_view, std::size_t>> details;
  try {
    for (std::size_t i = 0; i < programs.size(); ++i) {
      regex::Pcre2Pattern::Replaced result =
          programs[i].replace_all(current, pii::kPiiCatalogue[i].replacement);
      if (result.count == 0) continue;
      current = std::move(result.text);
      details.emplace_back(pii::kPiiCatalogue[i].category, result.count);
    }
  } catch (const Fault&) {
    return;  // the plain program gave up; nothing to compare
  }
  const auto context = [&] {
    return "redact of '" + escaped(text) + "': " + describe(redacted) + ", plain programs give '" +
           escaped(current) + "'";
  };
  FUZZ_CHECK(redacted.redacted_text == current, context());
  FUZZ_CHECK(redacted.details == details, context());
}

// The scanner works on long texts in chunks of about this many bytes; the
// filler below puts a chunk boundary inside the fuzzed text.
constexpr std::size_t kScannerChunk = 32 * 1024;

// The text behind a filler of ';' or ' ' (neither a word character nor part
// of any match, like the start of the text) must give the same counts, and
// redact the filler followed by the text's own redaction. The filler's
// length moves the scanner's chunk boundary to a position chosen by `seed`.
void check_behind_filler(pii::PiiScanner& scanner, std::string_view text, std::uint8_t seed,
                         const pii::PiiOutcome& scanned, const pii::PiiOutcome& redacted) {
  const std::size_t into = (std::size_t{seed} * 131 + text.size()) % (text.size() + 1);
  const std::string filler(kScannerChunk - std::min(into, kScannerChunk), seed & 1 ? ' ' : ';');
  const std::string shifted = filler + std::string(text);
  const auto context = [&] {
    return "'" + escaped(text) + "' behind " + std::to_string(filler.size()) + " x '" +
           filler.substr(0, 1) + "'";
  };
  // The outcome with the filler cut off the front of its text, if it is there.
  const auto describe_behind = [](pii::PiiOutcome outcome, const std::string& front) {
    if (outcome.redacted_text.starts_with(front)) {
      outcome.redacted_text.erase(0, front.size());
    } else {
      outcome.redacted_text = "(filler changed) " + outcome.redacted_text.substr(0, 64);
    }
    return describe(outcome);
  };
  const pii::PiiOutcome scanned_behind = scanner.scan(shifted);
  FUZZ_CHECK(scanned_behind.details == scanned.details,
             "scan of " + context() + " gave " + describe_behind(scanned_behind, filler) +
                 " alone " + describe(scanned));
  const pii::PiiOutcome redacted_behind = scanner.redact(shifted);
  FUZZ_CHECK(redacted_behind.details == redacted.details &&
                 redacted_behind.redacted_text == filler + redacted.redacted_text,
             "redact of " + context() + " gave " + describe_behind(redacted_behind, filler) +
                 " alone " + describe(redacted));
}

}  // namespace
}  // namespace veltar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltar;
  using namespace veltar::fuzz;
  static pii::PiiScanner scanner;

  const std::string text =
      to_valid_utf8(std::string_view(reinterpret_cast<const char*>(data), size));

  const std::uint64_t scans_before = scanner.total_scans();
  const std::uint64_t redactions_before = scanner.total_redactions();
  const pii::PiiOutcome scanned = scanner.scan(text);
  FUZZ_CHECK(scanner.total_scans() == scans_before, "scan changed total_scans");
  FUZZ_CHECK(scanner.total_redactions() == redactions_before, "scan changed total_redactions");
  const pii::PiiOutcome redacted = scanner.redact(text);
  FUZZ_CHECK(scanner.total_scans() == scans_before + 1, "redact did not count one scan");
  FUZZ_CHECK(scanner.total_redactions() == redactions_before + redacted.count,
             "redact did not add its count to total_redactions");

  check_shape(scanned, text, "scan");
  check_shape(redacted, text, "redact");
  const auto both = [&] {
    return "'" + escaped(text) + "': scan " + describe(scanned) + "; redact " + describe(redacted);
  };
  FUZZ_CHECK(scanned.redacted_text == text, "scan changed the text " + both());
  FUZZ_CHECK(count_tokens(redacted.redacted_text) == count_tokens(text) + redacted.count,
             "token count of redacted text is not input tokens + count " + both());
  FUZZ_CHECK(scanned.details.empty() == redacted.details.empty(),
             "first detector differs " + both());
  if (!scanned.details.empty()) {
    FUZZ_CHECK(scanned.details.front() == redacted.details.front(),
               "first detector differs " + both());
  } else {
    FUZZ_CHECK(redacted.redacted_text == text, "clean text changed by redact " + both());
  }

  // Which detectors matched how often, in each operation, and whether the
  // two operations disagreed.
  for (const auto& [category, count] : scanned.details) {
    note_outcome(table_index(category) * 4 + std::min<std::size_t>(count, 3));
  }
  for (const auto& [category, count] : redacted.details) {
    note_outcome(32 + table_index(category) * 4 + std::min<std::size_t>(count, 3));
  }
  if (scanned.details != redacted.details) note_outcome(64 + scanned.details.size());

  if (text.size() <= kReferenceLimit) {
    compare_with_plain_scan(scanned, text);
    compare_with_plain_redact(redacted, text);
  }
  if (!text.empty()) check_behind_filler(scanner, text, data[0], scanned, redacted);
  return 0;
}
