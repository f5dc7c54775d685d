#include "pii/pii_catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/fault.h"

namespace veltar::pii {
namespace {

TEST(PiiCatalogue, EntriesHaveTheirCategoriesTokensAndByteLengths) {
  struct Expected {
    const char* category;
    const char* replacement;
    std::size_t pattern_bytes;
    std::size_t replacement_bytes;
  };
  const Expected expected[] = {
      {"email", "[EMAIL_REDACTED]", 48, 16},   {"credit_card", "[CC_REDACTED]", 28, 13},
      {"ssn", "[SSN_REDACTED]", 21, 14},       {"phone", "[PHONE_REDACTED]", 68, 16},
      {"iban", "[IBAN_REDACTED]", 50, 15},     {"ip_address", "[IP_REDACTED]", 75, 13},
  };
  ASSERT_EQ(std::size(expected), kPiiCatalogue.size());
  for (std::size_t i = 0; i < kPiiCatalogue.size(); ++i) {
    EXPECT_EQ(kPiiCatalogue[i].category, expected[i].category) << i;
    EXPECT_EQ(kPiiCatalogue[i].replacement, expected[i].replacement) << i;
    EXPECT_EQ(kPiiCatalogue[i].pattern.size(), expected[i].pattern_bytes) << i;
    EXPECT_EQ(kPiiCatalogue[i].replacement.size(), expected[i].replacement_bytes) << i;
  }
}

TEST(PiiCatalogue, TableIsBuiltOnceInCatalogueOrder) {
  const std::vector<PiiPattern>& table = PII_PATTERNS();
  ASSERT_EQ(table.size(), 6u);
  EXPECT_EQ(&PII_PATTERNS(), &table);
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].category, kPiiCatalogue[i].category);
    EXPECT_EQ(table[i].replacement, kPiiCatalogue[i].replacement);
  }
}

const PiiPattern& detector(std::string_view category) {
  for (const PiiPattern& p : PII_PATTERNS()) {
    if (p.category == category) return p;
  }
  throw Fault("no detector " + std::string(category));
}

// One detector on its own: how many matches, and where (every match
// replaced by "<>").
struct DetectorCase {
  const char* category;
  std::string text;
  std::size_t count;
  std::string marked;
};

const std::vector<DetectorCase>& detector_cases() {
  static const std::vector<DetectorCase> cases = {
      {"credit_card", "4111 1111 1111 1111", 1, "<>"},
      {"credit_card", "4111-1111-1111-1111", 1, "<>"},
      {"credit_card", "4111111111111111", 1, "<>"},
      {"credit_card", "4111 1111-11111111", 1, "<>"},
      {"credit_card", "4111\u00a01111\u00a01111\u00a01111", 1, "<>"},
      {"credit_card", "4111\x1c" "1111\x1c" "1111\x1c" "1111", 0, ""},
      {"credit_card", "4111--1111-1111-1111", 0, ""},
      {"credit_card", "4111-1111-1111-11112", 0, ""},
      {"credit_card", "card 4111111111111111, 5500 0000 0000 0004.", 2, "card <>, <>."},
      {"ssn", "123-45-6789", 1, "<>"},
      {"ssn", "\u0661\u0662\u0663-\u0664\u0665-\u0666\u0667\u0668\u0669", 1, "<>"},
      {"ssn", "123 45 6789", 0, ""},
      {"ssn", "123-45-67890", 0, ""},
      {"ssn", "A123-45-6789", 0, ""},
      {"ssn", "_123-45-6789", 0, ""},
      {"ssn", "\u00e9123-45-6789", 0, ""},
      {"ssn", "123-45-6789\u0301", 0, ""},   // a combining mark is a word character
      {"ssn", "\u200d123-45-6789", 0, ""},   // so is Join_Control
      {"ssn", "#123-45-6789#", 1, "#<>#"},
      {"phone", "555-123-4567", 1, "<>"},
      {"phone", "+1 (555) 123-4567", 1, "<>"},
      {"phone", "(030) 1234 5678", 1, "<>"},
      {"phone", "12345678", 1, "<>"},
      {"phone", "12345678901", 1, "<>"},
      {"phone", "1234567", 0, ""},
      {"phone", "030/1234567", 0, ""},
      {"phone", "4111111111111111", 1, "4<>"},
      {"phone", "tel 0049 30 1234567", 1, "tel 0<>"},
      {"phone", "4111 1111 1111 1111", 1, "<> 1111"},
      {"phone", std::string(40, '7'), 1, std::string(25, '7') + "<>"},
      {"phone", "\u0660\u0661\u0662\u0663\u0664\u0665\u0666\u0667", 1, "<>"},
      {"phone", "555-123-4567 / 555-987-6543", 2, "<> / <>"},
      {"phone", "IBAN DE89370400440532013000 ok", 1, "IBAN DE89370<> ok"},
      {"phone", "Host 192.168.100.200 up", 1, "Host <> up"},
      {"phone", "SSN 123-45-6789 card 4111-1111-1111-1111", 1, "SSN 123-45-6789 card <>-1111"},
      {"iban", "GB82WEST12345698765432", 1, "<>"},
      {"iban", "NL91ABNA0417164300", 1, "<>"},
      {"iban", "FR1420041010050500013M02606", 1, "<>"},
      {"iban", "gb82west12345698765432", 0, ""},
      {"iban", "GB82 WEST 1234 5698 7654 32", 0, ""},
      {"iban", "GB82WEST1234569876543212345678901", 0, ""},  // 33 characters
      {"iban", "Pay to GB82WEST12345698765432.", 1, "Pay to <>."},
      {"iban", "IBAN DE89370400440532013000 ok", 1, "IBAN <> ok"},
      {"ip_address", "192.168.1.1", 1, "<>"},
      {"ip_address", "01.02.03.004", 1, "<>"},
      {"ip_address", "255.255.255.255", 1, "<>"},
      {"ip_address", "10.0.0.256", 0, ""},
      {"ip_address", "999.1.1.1", 0, ""},
      {"ip_address", "192.168.1", 0, ""},
      {"ip_address", "1.2.3.4.5", 1, "<>.5"},
      {"ip_address", "version 1.2.3.4", 1, "version <>"},
      {"ip_address", "10.0.0.1 and 10.0.0.2", 2, "<> and <>"},
      {"ip_address", "\u0661.\u0662.\u0663.\u0664", 1, "<>"},
      {"email", "Mail John.Doe+tag@Example.COM now", 1, "Mail <> now"},
      {"email", "a@b.c", 0, ""},
      {"email", "a@b", 0, ""},
      {"email", "a@b.co.x", 1, "<>.x"},
      {"email", "a@b.co1x", 1, "<>1x"},
      {"email", "x@y.io123-45-6789", 1, "<>123-45-6789"},
      {"email", "first@a.bc second@d.ef", 2, "<> <>"},
      {"email", "a@@b.cd", 0, ""},
      {"email", "caf\u00e9@x.org", 0, ""},
      {"email", "caf\u00e9.x@y.org", 1, "caf\u00e9<>"},
      {"email", "", 0, ""},
  };
  return cases;
}

TEST(PiiDetectors, MatchWhatTheCatalogueDescribes) {
  for (const DetectorCase& dc : detector_cases()) {
    const PiiPattern& p = detector(dc.category);
    EXPECT_EQ(p.pattern.count(dc.text), dc.count) << dc.category << " on " << dc.text;
    const regex::Pcre2Pattern::Replaced replaced = p.pattern.replace_all(dc.text, "<>");
    EXPECT_EQ(replaced.count, dc.count) << dc.category << " on " << dc.text;
    EXPECT_EQ(replaced.text, dc.marked) << dc.category << " on " << dc.text;
  }
}

TEST(PiiDetectors, NothingMatchesATextWithoutDigitOrAt) {
  const std::string texts[] = {"", "plain words only", "[EMAIL_REDACTED] and [CC_REDACTED]",
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZ ..-- () +", "\u00e9\u20ac\u3000"};
  for (const std::string& text : texts) {
    for (const PiiPattern& p : PII_PATTERNS()) {
      EXPECT_EQ(p.pattern.count(text), 0u) << p.category << " on " << text;
    }
  }
}

TEST(BuildPiiPatterns, BrokenPatternIsAFault) {
  const PiiEntry broken[] = {{"ok", "x", "[X]"}, {"bad", "(x", "[B]"}};
  try {
    build_pii_patterns(broken);
    ADD_FAILURE() << "unbalanced pattern compiled";
  } catch (const Fault& fault) {
    EXPECT_TRUE(fault.message().starts_with("Failed to compile PII regex patterns: "))
        << fault.message();
  }
  const PiiEntry good[] = {{"ok", "x", "[X]"}, {"digits", R"(\d+)", "[D]"}};
  const std::vector<PiiPattern> table = build_pii_patterns(good);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[1].pattern.replace_all("a\u0663\u0664b", table[1].replacement).text, "a[D]b");
}

TEST(PiiDetectors, ConcurrentUseGivesTheSameAnswers) {
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        for (const DetectorCase& dc : detector_cases()) {
          if (detector(dc.category).pattern.count(dc.text) != dc.count) {
            ++mismatches[std::size_t(t)];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[std::size_t(t)], 0) << "thread " << t;
}

}  // namespace
}  // namespace veltar::pii
