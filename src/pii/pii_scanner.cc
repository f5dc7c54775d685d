#include "pii/pii_scanner.h"

#include <cstring>

#include "pii/pii_catalogue.h"
#include "unicode/unicode.h"

namespace veltar::pii {
namespace {

// What a text can possibly hold. Every e-mail address contains "@"; every
// match of the other five detectors contains at least one Nd digit. Tokens
// hold neither, so what redaction leaves can only lose both.
struct Prerequisites {
  bool has_at = false;
  bool has_digit = false;

  explicit Prerequisites(std::string_view text) {
    has_at = text.find('@') != std::string_view::npos;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
      if (*p < 0x80) {
        if (*p - unsigned{'0'} < 10) {
          has_digit = true;
          return;
        }
        ++p;
        continue;
      }
      const unicode::Decoded decoded = unicode::decode_utf8(p);
      if (unicode::is_decimal_number(decoded.code_point)) {
        has_digit = true;
        return;
      }
      p += decoded.length;
    }
  }

  bool may_match(std::size_t detector) const { return detector == 0 ? has_at : has_digit; }
};

void note_match(PiiOutcome& outcome, std::string_view category, std::size_t count) {
  outcome.categories.push_back(category);
  outcome.details.emplace_back(category, count);
  outcome.count += count;
}

}  // namespace

PiiScanner::PiiScanner() { PII_PATTERNS(); }

std::size_t PiiScanner::pattern_count() { return PII_PATTERNS().size(); }

PiiOutcome PiiScanner::scan(std::string_view text) const {
  const std::vector<PiiPattern>& patterns = PII_PATTERNS();
  PiiOutcome outcome;
  const Prerequisites possible(text);
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (!possible.may_match(i)) continue;
    const std::size_t count = patterns[i].pattern.count(text);
    if (count > 0) note_match(outcome, patterns[i].category, count);
  }
  outcome.redacted_text.assign(text);
  return outcome;
}

PiiOutcome PiiScanner::redact(std::string_view text) {
  ++total_scans_;
  const std::vector<PiiPattern>& patterns = PII_PATTERNS();
  PiiOutcome outcome;
  const Prerequisites possible(text);
  std::string current;  // the redacted text once a detector has matched
  bool replaced = false;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (!possible.may_match(i)) continue;
    const std::string_view input = replaced ? std::string_view(current) : text;
    regex::Pcre2Pattern::Replaced result = patterns[i].pattern.replace_all(input, patterns[i].replacement);
    if (result.count == 0) continue;
    current = std::move(result.text);
    replaced = true;
    note_match(outcome, patterns[i].category, result.count);
  }
  total_redactions_ += outcome.count;
  if (replaced) {
    outcome.redacted_text = std::move(current);
  } else {
    outcome.redacted_text.assign(text);
  }
  return outcome;
}

}  // namespace veltar::pii
