// The PII scanner against the plain definition: every detector over the whole
// text (scan), and every detector's replace-all applied in turn (redact).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pii/candidate_regions.h"
#include "pii/pii_catalogue.h"
#include "pii/pii_scanner.h"
#include "unicode/unicode.h"

namespace veltar::pii {
namespace {

PiiOutcome plain_scan(std::string_view text) {
  PiiOutcome outcome;
  for (const PiiPattern& detector : PII_PATTERNS()) {
    const std::size_t count = detector.pattern.count(text);
    if (count == 0) continue;
    outcome.categories.push_back(detector.category);
    outcome.details.emplace_back(detector.category, count);
    outcome.count += count;
  }
  outcome.redacted_text = std::string(text);
  return outcome;
}

PiiOutcome plain_redact(std::string_view text) {
  PiiOutcome outcome;
  std::string current(text);
  for (const PiiPattern& detector : PII_PATTERNS()) {
    regex::Pcre2Pattern::Replaced replaced = detector.pattern.replace_all(current, detector.replacement);
    if (replaced.count == 0) continue;
    current = std::move(replaced.text);
    outcome.categories.push_back(detector.category);
    outcome.details.emplace_back(detector.category, replaced.count);
    outcome.count += replaced.count;
  }
  outcome.redacted_text = std::move(current);
  return outcome;
}

void expect_same(const PiiOutcome& actual, const PiiOutcome& expected, const std::string& text) {
  EXPECT_EQ(actual.redacted_text, expected.redacted_text) << text;
  EXPECT_EQ(actual.count, expected.count) << text;
  EXPECT_EQ(actual.categories, expected.categories) << text;
  EXPECT_EQ(actual.details, expected.details) << text;
}

// Pieces that make up PII shapes, near misses and the characters around them.
const std::vector<std::string> kPieces = {
    "0", "1", "4", "5", "9", "12", "255", "256", "4111", "123", "45", "6789", "\u0661\u0662",
    "\u0966", "\U0001D7CE", " ", " ", "-", "-", ".", ".", "(", ")", "+", "\u00a0", "\u2003",
    "\n", "\x1c", "A", "GB", "DE89", "WEST", "x", "_", "\u00e9", ",", "@", "a@b.co", "jane.doe",
    "@example.com", "[CC_REDACTED]", "]", "\u0301", "Z9", "%", "K",
};

std::string generate(std::mt19937& rng, std::size_t pieces) {
  std::string text;
  std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() - 1);
  for (std::size_t i = 0; i < pieces; ++i) text += kPieces[pick(rng)];
  return text;
}

TEST(PiiScanner, AgreesWithPlainDefinitionOnGeneratedTexts) {
  std::mt19937 rng(20261211);
  PiiScanner scanner;
  for (int i = 0; i < 4000; ++i) {
    const std::string text = generate(rng, 1 + rng() % 40);
    expect_same(scanner.scan(text), plain_scan(text), text);
    expect_same(scanner.redact(text), plain_redact(text), text);
    if (HasFailure()) return;
  }
}

TEST(PiiScanner, AgreesAcrossChunkBoundaries) {
  std::mt19937 rng(7);
  PiiScanner scanner;
  for (int i = 0; i < 6; ++i) {
    // Long enough for many chunks, dense enough that matches straddle them.
    std::string text = generate(rng, 40000 + rng() % 20000);
    expect_same(scanner.scan(text), plain_scan(text), "long text");
    expect_same(scanner.redact(text), plain_redact(text), "long text");
  }
  // One unbroken numeric run: the whole text is one chunk.
  const std::string run(200000, '1');
  expect_same(scanner.scan(run), plain_scan(run), "digit run");
  expect_same(scanner.redact(run), plain_redact(run), "digit run");
}

TEST(PiiScanner, CountersFollowRedactOnly) {
  PiiScanner scanner;
  scanner.scan("10.0.0.1 and 10.0.0.2");
  EXPECT_EQ(scanner.total_scans(), 0u);
  EXPECT_EQ(scanner.redact("10.0.0.1 and 10.0.0.2").count, 2u);
  scanner.redact("no pii");
  EXPECT_EQ(scanner.total_scans(), 2u);
  EXPECT_EQ(scanner.total_redactions(), 2u);
  EXPECT_EQ(PiiScanner::pattern_count(), 6u);
}

TEST(CandidateRegions, RegionsAfterReplacementMatchAFreshScan) {
  std::mt19937 rng(99);
  const std::string token = "[PHONE_REDACTED]";
  ASSERT_TRUE(is_inert_token(token));
  for (int i = 0; i < 3000; ++i) {
    const std::string text = generate(rng, 1 + rng() % 30);
    const std::vector<Region> regions = numeric_regions(text);
    // Replace a random choice of digit stretches inside regions.
    std::vector<Span> spans;
    std::string replaced;
    std::size_t copied = 0;
    for (const Region& region : regions) {
      if (rng() % 2 == 0) continue;
      std::size_t begin = region.begin;
      while (begin < region.end && !(text[begin] >= '0' && text[begin] <= '9')) ++begin;
      if (begin == region.end) continue;
      std::size_t end = begin;
      while (end < region.end && text[end] >= '0' && text[end] <= '9') ++end;
      spans.push_back({begin, end});
      replaced += text.substr(copied, begin - copied) + token;
      copied = end;
    }
    replaced += text.substr(copied);
    const std::vector<Region> updated = numeric_regions_after(replaced, regions, spans, token);
    const std::vector<Region> fresh = numeric_regions(replaced);
    ASSERT_EQ(updated.size(), fresh.size()) << text;
    for (std::size_t r = 0; r < fresh.size(); ++r) {
      EXPECT_EQ(updated[r].begin, fresh[r].begin) << text;
      EXPECT_EQ(updated[r].end, fresh[r].end) << text;
      EXPECT_EQ(updated[r].digits, fresh[r].digits) << text;
    }
  }
}

TEST(CandidateRegions, InertTokens) {
  for (const PiiPattern& detector : PII_PATTERNS()) EXPECT_TRUE(is_inert_token(detector.replacement));
  EXPECT_FALSE(is_inert_token("[1]"));
  EXPECT_FALSE(is_inert_token("A]"));
  EXPECT_FALSE(is_inert_token(""));
}

}  // namespace
}  // namespace veltar::pii

namespace veltar::pii {
namespace {

// The definition, one character at a time: maximal runs of members that
// hold a digit.
std::vector<Region> plain_numeric_regions(const std::string& text) {
  std::vector<Region> regions;
  Region current;
  bool inside = false;
  for (std::size_t i = 0; i < text.size();) {
    const unicode::Decoded decoded = unicode::decode_utf8(reinterpret_cast<const unsigned char*>(text.data()) + i);
    const char32_t c = decoded.code_point;
    const bool digit = unicode::is_decimal_number(c);
    const bool member = digit || unicode::is_white_space(c) || (c >= 'A' && c <= 'Z') ||
                        c == '-' || c == '.' || c == '(' || c == ')' || c == '+';
    if (member) {
      if (!inside) current = Region{i, i, 0, 0, 0, 0};
      inside = true;
      current.digits += digit;
      current.dots += c == '.';
      current.hyphens += c == '-';
      current.capitals += c >= 'A' && c <= 'Z';
      current.end = i + decoded.length;
    } else if (inside) {
      if (current.digits > 0) regions.push_back(current);
      inside = false;
    }
    i += decoded.length;
  }
  if (inside && current.digits > 0) regions.push_back(current);
  return regions;
}

TEST(CandidateRegions, NumericRegionsFollowTheDefinition) {
  std::mt19937 rng(31);
  for (int i = 0; i < 5000; ++i) {
    const std::string text = generate(rng, 1 + rng() % 60);
    const std::vector<Region> expected = plain_numeric_regions(text);
    const std::vector<Region> actual = numeric_regions(text);
    ASSERT_EQ(actual.size(), expected.size()) << text;
    for (std::size_t r = 0; r < expected.size(); ++r) {
      EXPECT_EQ(actual[r].begin, expected[r].begin) << text;
      EXPECT_EQ(actual[r].end, expected[r].end) << text;
      EXPECT_EQ(actual[r].digits, expected[r].digits) << text;
      EXPECT_EQ(actual[r].dots, expected[r].dots) << text;
      EXPECT_EQ(actual[r].hyphens, expected[r].hyphens) << text;
      EXPECT_EQ(actual[r].capitals, expected[r].capitals) << text;
    }
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace veltar::pii
