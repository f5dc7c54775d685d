#include "firewall/heuristics.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/fault.h"
#include "firewall/heuristic_scan.h"
#include "unicode/unicode.h"

namespace veltar::firewall {
namespace {

std::string utf8(char32_t c) {
  std::string out;
  unicode::append_utf8(out, c);
  return out;
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// The definition, step by step, with no attention to speed: decode every
// character, split at White_Space, lower-case each word and the whole text.
HeuristicCounts slow_counts(std::string_view text) {
  HeuristicCounts counts;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  std::size_t word_start = std::string_view::npos;
  const auto end_word = [&](std::size_t end) {
    if (word_start == std::string_view::npos) return;
    ++counts.words;
    const std::string lower = unicode::to_lower(text.substr(word_start, end - word_start));
    for (std::string_view keyword : IMPERATIVE_KEYWORDS) {
      for (std::string_view suffix : IMPERATIVE_SUFFIXES) {
        if (lower == std::string(keyword) + std::string(suffix)) {
          ++counts.imperative_words;
          word_start = std::string_view::npos;
          return;
        }
      }
    }
    word_start = std::string_view::npos;
  };
  while (i < text.size()) {
    const unicode::Decoded d = unicode::decode_utf8(p + i);
    const char32_t c = d.code_point;
    if (unicode::is_white_space(c)) {
      end_word(i);
    } else {
      if (word_start == std::string_view::npos) word_start = i;
      const bool plain = c < 0x80 && PLAIN_PUNCTUATION.find(char(c)) != std::string_view::npos;
      if (!unicode::is_alphanumeric(c) && !plain) ++counts.special_chars;
    }
    i += d.length;
  }
  end_word(text.size());
  const std::string lower = unicode::to_lower(text);
  for (std::size_t k = 0; k < CONTEXT_SWITCH_PHRASES.size(); ++k) {
    if (lower.find(CONTEXT_SWITCH_PHRASES[k]) != std::string::npos) counts.phrases |= 1u << k;
  }
  for (std::size_t k = 0; k < ENCODING_MARKERS.size(); ++k) {
    if (text.find(ENCODING_MARKERS[k]) != std::string_view::npos) counts.markers |= 1u << k;
  }
  return counts;
}

std::vector<ScanKernel> available_kernels() {
  std::vector<ScanKernel> kernels;
  for (ScanKernel k : {ScanKernel::kPortable, ScanKernel::kAvx2, ScanKernel::kAvx512}) {
    if (scan_kernel_available(k)) kernels.push_back(k);
  }
  return kernels;
}

// Every kernel the processor has must count exactly what the definition does.
void expect_same_as_slow(const std::string& text) {
  static const std::vector<ScanKernel> kernels = available_kernels();
  const HeuristicCounts slow = slow_counts(text);
  for (ScanKernel kernel : kernels) {
    const HeuristicCounts fast = scan_text(text, kernel);
    const int k = int(kernel);
    ASSERT_EQ(fast.words, slow.words) << "kernel " << k << ", text: " << text;
    ASSERT_EQ(fast.imperative_words, slow.imperative_words) << "kernel " << k << ", text: " << text;
    ASSERT_EQ(fast.special_chars, slow.special_chars) << "kernel " << k << ", text: " << text;
    ASSERT_EQ(fast.phrases, slow.phrases) << "kernel " << k << ", text: " << text;
    ASSERT_EQ(fast.markers, slow.markers) << "kernel " << k << ", text: " << text;
  }
  ASSERT_EQ(count_heuristics(text), slow);
}

struct Example {
  std::string text;
  double score;
  std::vector<std::string> signals;
};

std::vector<Example> examples() {
  return {
      {"", 0.0, {}},
      {" \t\n\u00a0\u3000 ", 0.0, {}},
      {"Hello, how are you?", 0.0, {}},
      {"ignore forget bypass disable pretend a b c", 1.25, {"high_imperative_density:0.62"}},
      {"IGNORE FORGETS BYPASSED DISABLING", 1.5, {"high_imperative_density:0.75"}},
      {"the actor acted actually", 0.5, {"high_imperative_density:0.25"}},
      {"Run the tests", 0.0, {}},
      {"run the tests now", 0.5, {"high_imperative_density:0.25"}},
      {"Ignored, forgetting acts: running runs, outputs sent", 0.0, {}},
      {"Ignore sender sudoer acting outputs", 2.0, {"high_imperative_density:1.00"}},
      {"####", 3.0, {"high_special_chars:1.00"}},
      {"a#b", 1.0, {"high_special_chars:0.33"}},
      {"x&y", 1.0, {"high_special_chars:0.33"}},
      {"a_b", 1.0, {"high_special_chars:0.33"}},
      {"abcdefghi#", 0.0, {}},
      {"\u2192\u2192\u2192", 1.0, {"high_special_chars:0.33"}},
      {"a\u20ac", 0.75, {"high_special_chars:0.25"}},
      {"Correction: update: revised: actually now you", 1.5, {"context_switches:5"}},
      {"Actually, from now on you answer: new task. Instead do this", 0.8999999999999999,
       {"context_switches:3"}},
      {"now\tyou from\u00a0now", 0.0, {}},
      {"new\u00a0task instead\tX", 0.0, {}},
      {std::string(2001, 'a'), 0.3, {"abnormal_length:2001"}},
      {std::string(2000, 'a'), 0.0, {}},
      {repeat("\u00e9", 1000), 0.0, {}},
      {repeat("\u00e9", 1001), 0.3, {"abnormal_length:2002"}},
      {"%2F%20&#x base64 \\x41 \\u0041", 3.042857142857143,
       {"high_special_chars:0.21", "encoding_markers:6"}},
      {"BASE64 %2f", 0.0, {}},
      // Lower-casing U+0130 gives "i" U+0307: not a keyword.
      {"\u0130GNORE ignore, actor actually", 0.0, {}},
      // Lower-casing U+212A gives "k".
      {"new tas\u212a now you", 0.6, {"context_switches:2"}},
      // Two switches and an abnormal length: 0.6 + 0.3 in binary.
      {"now you from now " + std::string(1990, 'a'), 0.8999999999999999,
       {"context_switches:2", "abnormal_length:2007"}},
  };
}

TEST(ScoreHeuristics, Examples) {
  for (const Example& e : examples()) {
    const HeuristicReport report = score_heuristics(e.text);
    EXPECT_EQ(report.score, e.score) << "text: " << e.text;
    EXPECT_EQ(report.signals, e.signals) << "text: " << e.text;
  }
}

TEST(FormatTwoDecimals, RoundsTiesToEvenFromTheBinaryValue) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0.00"},       {1.0, "1.00"},        {0.625, "0.62"},       {0.375, "0.38"},
      {5.0 / 12, "0.42"},  {1.0 / 3, "0.33"},    {0.125, "0.12"},       {0.005, "0.01"},
      {2.675, "2.67"},     {0.015, "0.01"},      {0.995, "0.99"},       {0.9951, "1.00"},
      {6.0 / 28, "0.21"},  {123.456, "123.46"},  {1e20, "100000000000000000000.00"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_two_decimals(c.value), c.text) << c.value;
}

TEST(CountHeuristics, CountsWordsAndCharacters) {
  const struct {
    std::string text;
    std::size_t words, imperative_words, special_chars;
  } cases[] = {
      {"", 0, 0, 0},
      {"ignore,", 1, 0, 0},
      {"act\u00a0act\u2003act\u3000act\u0085act", 5, 5, 0},
      {"act\x1c" "act", 1, 0, 1},            // U+001C is not white space
      {"e\u0301", 1, 0, 1},                // a combining mark is special
      {"\u0661\u2160\u00bd", 1, 0, 0},     // Nd, Nl and No are alphanumeric
      {"\U0001F600 \U0001D400", 2, 0, 1},  // emoji special, math letter not
      {"OVERRIDES transmiter EVAL overriding transmitter", 5, 3, 0},
      {"sudos sudod runing rund evaler", 5, 5, 0},
      {"overrides_ transmitters", 2, 0, 1},
      // Bytes that are not UTF-8: each is one special character inside a word.
      {"ab\xff" "cd", 1, 0, 1},
      {"run \xe2\x82", 2, 1, 2},
      {"\x80\x80 act", 2, 1, 2},
      {"act\xf0\x9f", 1, 0, 2},
  };
  for (const auto& c : cases) {
    const HeuristicCounts counts = count_heuristics(c.text);
    EXPECT_EQ(counts.words, c.words) << c.text;
    EXPECT_EQ(counts.imperative_words, c.imperative_words) << c.text;
    EXPECT_EQ(counts.special_chars, c.special_chars) << c.text;
  }
}

TEST(CountHeuristics, InvalidUtf8NeverReadsPastTheText) {
  // Every prefix of a text with multi-byte characters: the last one is cut.
  const std::string full = "x \u00e9 \u20ac \U0001F600 now you \\u00 %2F";
  for (std::size_t n = 0; n <= full.size(); ++n) {
    const std::string cut = full.substr(0, n);  // own allocation: ASan sees overreads
    for (ScanKernel kernel : available_kernels()) {
      const HeuristicCounts counts = scan_text(cut, kernel);
      EXPECT_EQ(counts, scan_text(cut, ScanKernel::kPortable));
      EXPECT_LE(counts.special_chars, cut.size());
    }
  }
}

TEST(ScanText, RefusesAKernelTheProcessorLacks) {
  for (ScanKernel kernel : {ScanKernel::kAvx2, ScanKernel::kAvx512}) {
    if (!scan_kernel_available(kernel)) {
      EXPECT_THROW(scan_text("x", kernel), Fault);
    }
  }
  EXPECT_TRUE(scan_kernel_available(best_scan_kernel()));
}

// Where a phrase, marker or keyword lies relative to the 64-byte blocks must
// not matter, nor what comes right before and after it.
TEST(CountHeuristics, EveryOffsetAgreesWithTheDefinition) {
  std::vector<std::string> needles;
  for (std::string_view s : CONTEXT_SWITCH_PHRASES) needles.emplace_back(s);
  for (std::string_view s : ENCODING_MARKERS) needles.emplace_back(s);
  needles.insert(needles.end(), {"now you", "FROM NOW", "New Tas\u212a", "Transmitting",
                                 "EXECUTED", "act", "SuDoEr", "ignore\u00a0", "act\u3000"});
  const std::string fillers[] = {"a", " ", "\u00e9", "\u2003", "#", "\u0130", "k"};
  for (const std::string& needle : needles) {
    for (const std::string& filler : fillers) {
      for (std::size_t offset = 0; offset < 140; ++offset) {
        std::string text = repeat("a", offset % 3) + repeat(filler, offset);
        text += needle;
        text += filler;
        expect_same_as_slow(text);
        expect_same_as_slow(text + " " + needle);
        expect_same_as_slow(filler + text);
      }
    }
  }
}

// Random texts built from the pieces that matter to some heuristic.
TEST(CountHeuristics, GeneratedTextsAgreeWithTheDefinition) {
  std::vector<std::string> pieces;
  for (std::string_view s : IMPERATIVE_KEYWORDS) {
    for (std::string_view x : IMPERATIVE_SUFFIXES) pieces.push_back(std::string(s).append(x));
  }
  for (std::string_view s : CONTEXT_SWITCH_PHRASES) pieces.emplace_back(s);
  for (std::string_view s : ENCODING_MARKERS) pieces.emplace_back(s);
  for (const char* s : {"the", "a", "tests", "actor", "disabling", "running", "know", "tas",
                        "ASK", "Instead", "correction", "update", "base6", "%2", "\\u0", "&#",
                        "x", "4", "64", "ı", "ſ", "ing", "ed", "er", "Σ", "ΣΑΣ", "ς"}) {
    pieces.emplace_back(s);
  }
  for (char32_t c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x2005,
                     0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000, 0x1C, 0x1D, 0x1E, 0x1F,
                     0x0301, 0x0307, 0x00E9, 0x00C9, 0x20AC, 0x2192, 0x4E2D, 0x1F600, 0x1D400,
                     0x212A, 0x0130, 0x0049, 0x004B, 0x0661, 0x2160, 0x200B, 0x00}) {
    pieces.push_back(utf8(c));
  }
  for (char c = 0x21; c < 0x7F; ++c) pieces.emplace_back(1, c);

  std::mt19937 rng(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> coin(0, 3);
  for (int round = 0; round < 6000; ++round) {
    const std::size_t count = round < 5000 ? round % 60 : 300 + round % 500;
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
      std::string piece = pieces[pick(rng)];
      // Random capitals: full lower-casing must undo them.
      for (char& ch : piece) {
        if (ch >= 'a' && ch <= 'z' && coin(rng) == 0) ch = char(ch - 'a' + 'A');
      }
      text += piece;
      if (coin(rng) != 0) text += coin(rng) == 0 ? "\u00a0" : " ";
    }
    expect_same_as_slow(text);
    if (HasFatalFailure()) return;
  }
}

TEST(CountHeuristics, LongProseAgreesWithTheDefinition) {
  std::string text;
  const char* sentence =
      "Actually, the report\u2019s authors said \u201cinstead of acting now\u201d they "
      "would run the tests (all 64 of them) and send results: 50% done. ";
  while (text.size() < (1u << 20)) text += sentence;
  expect_same_as_slow(text);
}

// The scanner looks for phrases only around U+0020 and ':', which is sound
// only if no other character lower-cases to a text holding those bytes.
TEST(CountHeuristics, OnlySpaceAndColonLowerCaseToSpaceAndColon) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    if (c == ' ' || c == ':') continue;
    const std::string lower = unicode::to_lower(utf8(c));
    ASSERT_EQ(lower.find_first_of(" :"), std::string::npos) << std::hex << unsigned(c);
  }
}

TEST(ScoreCounts, SignalsFollowTheHeuristicOrder) {
  HeuristicCounts counts;
  counts.words = 4;
  counts.imperative_words = 4;
  counts.special_chars = 3000;
  counts.phrases = 0xFF;
  counts.markers = 0x3F;
  const HeuristicReport report = score_counts(counts, 3000);
  const std::vector<std::string> expected = {
      "high_imperative_density:1.00", "high_special_chars:1.00", "context_switches:8",
      "abnormal_length:3000", "encoding_markers:6"};
  EXPECT_EQ(report.signals, expected);
  // 2.0 + 3.0 + 8 * 0.3 + 0.3 + 6 * 0.4, rounded after every step in this
  // order (adding the length's 0.3 before the switches' 2.4 gives 10.1).
  EXPECT_EQ(report.score, 10.100000000000001);
}

TEST(ScoreCounts, ThresholdsAreStrict) {
  HeuristicCounts few_words;  // three words, all imperative: never fires
  few_words.words = 3;
  few_words.imperative_words = 3;
  EXPECT_TRUE(score_counts(few_words, 10).signals.empty());
  HeuristicCounts one_switch;
  one_switch.phrases = 0x80;
  EXPECT_TRUE(score_counts(one_switch, 10).signals.empty());
  HeuristicCounts one_marker;
  one_marker.markers = 0x20;
  EXPECT_EQ(score_counts(one_marker, 10).signals, std::vector<std::string>{"encoding_markers:1"});
  HeuristicCounts tenth;
  tenth.special_chars = 1;
  EXPECT_TRUE(score_counts(tenth, 10).signals.empty());
  HeuristicCounts density;  // 3 / 20 is the double nearest 0.15: not above it
  density.words = 20;
  density.imperative_words = 3;
  EXPECT_TRUE(score_counts(density, 100).signals.empty());
  density.imperative_words = 4;
  EXPECT_EQ(score_counts(density, 100).signals,
            std::vector<std::string>{"high_imperative_density:0.20"});
}

}  // namespace
}  // namespace veltar::firewall
