#include "pii/pii_catalogue.h"

#include <mutex>

#include "common/fault.h"
#include "regex/translate.h"

namespace veltar::pii {

// Each pattern stands between R"re( and )re" exactly as it is matched.
const std::array<PiiEntry, kPiiPatternCount> kPiiCatalogue = {{
    {"email", R"re([a-zA-Z0-9._%+\-]+@[a-zA-Z0-9.\-]+\.[a-zA-Z]{2,})re", "[EMAIL_REDACTED]"},
    {"credit_card", R"re(\b(?:\d{4}[\s\-]?){3}\d{4}\b)re", "[CC_REDACTED]"},
    {"ssn", R"re(\b\d{3}-\d{2}-\d{4}\b)re", "[SSN_REDACTED]"},
    {"phone", R"re((?:\+?\d{1,3}[\s\-.]?)?\(?\d{2,4}\)?[\s\-.]?\d{3,4}[\s\-.]?\d{3,4}\b)re", "[PHONE_REDACTED]"},
    {"iban", R"re(\b[A-Z]{2}\d{2}[A-Z0-9]{4}\d{7}([A-Z0-9]?){0,16}\b)re", "[IBAN_REDACTED]"},
    {"ip_address", R"re(\b(?:(?:25[0-5]|2[0-4]\d|[01]?\d\d?)\.){3}(?:25[0-5]|2[0-4]\d|[01]?\d\d?)\b)re", "[IP_REDACTED]"},
}};

std::vector<PiiPattern> build_pii_patterns(std::span<const PiiEntry> entries) {
  std::vector<PiiPattern> table;
  table.reserve(entries.size());
  try {
    for (const PiiEntry& entry : entries) {
      table.push_back({entry.category,
                       regex::Pcre2Pattern(regex::translate(entry.pattern, regex::Engine::kPcre2)),
                       entry.replacement});
    }
  } catch (const Fault& fault) {
    throw Fault("Failed to compile PII regex patterns: " + fault.message());
  }
  return table;
}

const std::vector<PiiPattern>& PII_PATTERNS() {
  static std::once_flag once;
  // Never freed: the table outlives every thread's use of it.
  static const std::vector<PiiPattern>* table = nullptr;
  // A build that throws leaves the flag unset, so the next access retries.
  std::call_once(once, [] {
    table = new std::vector<PiiPattern>(build_pii_patterns(kPiiCatalogue));
  });
  return *table;
}

}  // namespace veltar::pii
