// The PII scanner engine: scan and redact with the six detectors of
// PII_PATTERNS, in table order.
//
// scan counts every detector on the unchanged input; redact runs the
// detectors one after another, each on the text left by the ones before it,
// so the two may disagree (a later detector cannot match what an earlier one
// replaced, and can match across a boundary a token created).
//
// Not safe for concurrent use: redact changes the counters, so callers
// serialise it against every other call on the same scanner. scan is const.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltar::pii {

struct PiiOutcome {
  // After redact, the redacted text; after scan, a copy of the input.
  std::string redacted_text;
  // The sum of the counts in `details`.
  std::size_t count = 0;
  // Categories that matched at least once, in table order.
  std::vector<std::string_view> categories;
  // (category, number of matches), one per entry of `categories`; every
  // number is at least 1.
  std::vector<std::pair<std::string_view, std::size_t>> details;
};

class PiiScanner {
 public:
  // Builds PII_PATTERNS if this is the first use in the process (a failure
  // to build throws veltar::Fault).
  PiiScanner();

  // Counts the non-overlapping matches of every detector in `text`.
  // Changes nothing. `text` must be valid UTF-8.
  PiiOutcome scan(std::string_view text) const;

  // Adds 1 to total_scans, replaces every match of each detector in turn by
  // its token, then adds the total count to total_redactions.
  PiiOutcome redact(std::string_view text);

  std::uint64_t total_scans() const { return total_scans_; }
  std::uint64_t total_redactions() const { return total_redactions_; }

  // The number of detectors in PII_PATTERNS (building it if needed).
  static std::size_t pattern_count();

 private:
  std::uint64_t total_scans_ = 0;
  std::uint64_t total_redactions_ = 0;
};

}  // namespace veltar::pii
