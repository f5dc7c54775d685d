#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "loop_breaker/term_vector.h"
#include "unicode/unicode.h"

namespace veltar::loop_breaker {
namespace {

using Terms = std::vector<std::string>;
using WeightMap = std::map<std::string, double>;

WeightMap as_map(const TermVector& v) {
  WeightMap m;
  for (std::size_t i = 0; i < v.size(); ++i) m.emplace(std::string(v.term(i)), v.weight(i));
  return m;
}

// The obvious tokenizer: lower-case the whole text, decode every character,
// classify each one by the Unicode predicate, keep runs of 2 bytes or more.
Terms reference_tokenize(std::string_view text) {
  const std::string lowered = unicode::to_lower(text);
  const auto* p = reinterpret_cast<const unsigned char*>(lowered.data());
  Terms terms;
  std::string run;
  for (std::size_t i = 0; i < lowered.size();) {
    const unicode::Decoded d = unicode::decode_utf8(p + i);
    if (unicode::is_alphanumeric(d.code_point)) {
      run.append(lowered, i, d.length);
    } else {
      if (run.size() >= 2) terms.push_back(run);
      run.clear();
    }
    i += d.length;
  }
  if (run.size() >= 2) terms.push_back(run);
  return terms;
}

WeightMap reference_vectorize(std::string_view text) {
  const Terms terms = reference_tokenize(text);
  WeightMap m;
  for (const std::string& t : terms) m[t] += 1.0;
  for (auto& [term, w] : m) w = w / static_cast<double>(terms.size());
  return m;
}

double reference_cosine(const WeightMap& a, const WeightMap& b) {
  if (a.empty() || b.empty()) return 0.0;
  double aa = 0.0, bb = 0.0, ab = 0.0;
  for (const auto& [t, w] : a) {
    aa += w * w;
    if (const auto it = b.find(t); it != b.end()) ab += w * it->second;
  }
  for (const auto& [t, w] : b) bb += w * w;
  return ab / std::sqrt(aa * bb);
}

struct TokenizeCase {
  const char* text;
  Terms terms;
};

const TokenizeCase kTokenizeCases[] = {
    {"Hello, World! a1 b", {"hello", "world", "a1"}},
    {"e-mail", {"mail"}},
    {"snake_case", {"snake", "case"}},
    {"it's", {"it"}},
    {"über-Größe", {"über", "größe"}},
    {"a b c", {}},
    {"!!!", {}},
    {"", {}},
    {"1 2 3", {}},
    {"go go stop", {"go", "go", "stop"}},
    {"tab\tnew\nline\r\n", {"tab", "new", "line"}},
    {"MiXeD CaSe 42x", {"mixed", "case", "42x"}},
    // One non-ASCII alphanumeric character is 2 to 4 bytes: a term.
    {"é", {"é"}},
    {"e", {}},
    {"ÉCOLE é", {"école", "é"}},
    // A combining acute accent is not Alphabetic: it separates.
    {"e\u0301", {}},
    {"ab\u0301cd", {"ab", "cd"}},
    // No-break space and ideographic space separate.
    {"ab\u00a0cd\u3000ef", {"ab", "cd", "ef"}},
    {"Straße", {"straße"}},
    // Capital sigma: final form at the end of a word, across a
    // case-ignorable apostrophe only when no cased letter follows.
    {"ΟΔΟΣ", {"οδος"}},
    {"ΣΟΣ. ΣΑ", {"σος", "σα"}},
    {"Σ", {"σ"}},
    {"ΑΣ'Α", {"ασ", "α"}},
    {"ΑΣ' 1", {"ας"}},
    {"AΣ", {"aς"}},
    // U+0130 lower-cases to "i" U+0307; the dot is not alphanumeric.
    {"İstanbul", {"stanbul"}},
    {"İİ", {}},
    // U+212A KELVIN SIGN lower-cases to ASCII k.
    {"\u212Am", {"km"}},
    {"漢字", {"漢字"}},
    {"漢 字", {"漢", "字"}},
    {"日本語テキスト、です", {"日本語テキスト", "です"}},
    {"ＡＢ１２", {"ａｂ１２"}},
    // No (other numbers) count as alphanumeric.
    {"½ x² 5", {"½", "x²"}},
    {"Ⅷ", {"ⅷ"}},
    {"emoji😀here", {"emoji", "here"}},
};

TEST(Tokenize, Examples) {
  for (const TokenizeCase& c : kTokenizeCases) {
    EXPECT_EQ(tokenize(c.text), c.terms) << "text: " << c.text;
  }
}

struct VectorizeCase {
  const char* text;
  WeightMap weights;
};

const VectorizeCase kVectorizeCases[] = {
    {"go go stop", {{"go", 2.0 / 3.0}, {"stop", 1.0 / 3.0}}},
    {"Hello World", {{"hello", 0.5}, {"world", 0.5}}},
    {"retry the same call", {{"retry", 0.25}, {"the", 0.25}, {"same", 0.25}, {"call", 0.25}}},
    {"é", {{"é", 1.0}}},
    {"e", {}},
    {"", {}},
    {"a b c", {}},
    {"1 2 3", {}},
    {"?!", {}},
    {"aa bb aa aa cc", {{"aa", 3.0 / 5.0}, {"bb", 1.0 / 5.0}, {"cc", 1.0 / 5.0}}},
    {"Über ÜBER über", {{"über", 1.0}}},
};

TEST(Vectorize, Examples) {
  for (const VectorizeCase& c : kVectorizeCases) {
    const TermVector v = vectorize(c.text);
    EXPECT_EQ(as_map(v), c.weights) << "text: " << c.text;
    EXPECT_EQ(v.empty(), c.weights.empty());
  }
}

TEST(Vectorize, EntriesFollowFirstOccurrence) {
  const TermVector v = vectorize("bb aa bb cc aa dd");
  ASSERT_EQ(v.size(), 4u);
  const char* expected[] = {"bb", "aa", "cc", "dd"};
  for (std::size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v.term(i), expected[i]);
}

TEST(Vectorize, SeparatorsGiveTheSameVector) {
  EXPECT_EQ(as_map(vectorize("snake_case")), as_map(vectorize("snake case")));
  EXPECT_EQ(as_map(vectorize("e-mail")), as_map(vectorize("mail")));
}

TEST(Vectorize, FindAnswersMembership) {
  const TermVector v = vectorize("alpha beta alpha");
  ASSERT_NE(v.find("alpha"), nullptr);
  EXPECT_EQ(*v.find("alpha"), 2.0 / 3.0);
  EXPECT_EQ(*v.find("beta"), 1.0 / 3.0);
  EXPECT_EQ(v.find("gamma"), nullptr);
  EXPECT_EQ(v.find("alph"), nullptr);
  EXPECT_EQ(v.find(""), nullptr);
  EXPECT_EQ(TermVector().find("alpha"), nullptr);
}

std::string numbered_term(int i) {
  std::string term = "t";
  term += std::to_string(i);
  return term;
}

// Thousands of distinct terms force the index through many growths; every
// term must still be found with its own weight.
TEST(Vectorize, ManyDistinctTerms) {
  constexpr int kTerms = 20000;
  std::string text;
  for (int i = 0; i < kTerms; ++i) {
    text += numbered_term(i);
    text += i % 2 ? ' ' : ',';
  }
  text += "t0 t1";  // two repeats
  const TermVector v = vectorize(text);
  ASSERT_EQ(v.size(), static_cast<std::size_t>(kTerms));
  const double n = kTerms + 2;
  for (int i = 0; i < kTerms; ++i) {
    const double* w = v.find(numbered_term(i));
    ASSERT_NE(w, nullptr) << i;
    EXPECT_EQ(*w, (i < 2 ? 2.0 : 1.0) / n) << i;
  }
  EXPECT_EQ(v.find(numbered_term(kTerms)), nullptr);
}

TEST(Vectorize, WeightsAddUpToOne) {
  const char* texts[] = {"go go stop", "one two three four five six seven",
                         "Größe über alles, über 漢字 ½"};
  for (const char* text : texts) {
    const TermVector v = vectorize(text);
    double sum = 0.0;
    for (std::size_t i = 0; i < v.size(); ++i) {
      EXPECT_GT(v.weight(i), 0.0);
      sum += v.weight(i);
    }
    EXPECT_NEAR(sum, 1.0, 1e-15) << text;
  }
}

struct CosineCase {
  const char* a;  // new
  const char* b;  // stored
  double expected;
  bool exact;  // otherwise within a few ulps
};

const CosineCase kCosineCases[] = {
    {"retry the same call", "retry the same call", 1.0, true},
    {"Hello World", "Hello World", 0.9999999999999998, true},
    {"Hello World", "HELLO world", 0.9999999999999998, true},
    {"alpha beta", "beta alpha", 1.0, false},
    {"snake_case", "snake case", 1.0, false},
    {"go go stop", "go stop", 3.0 / std::sqrt(10.0), false},
    {"Please retry the same call", "please RETRY the same call now", std::sqrt(5.0 / 6.0), false},
    {"read file config", "read the file config again", std::sqrt(3.0 / 5.0), false},
    {"retry the same call please", "retry the same call", 2.0 / std::sqrt(5.0), false},
    {"alpha beta", "gamma delta", 0.0, true},
    {"", "alpha", 0.0, true},
    {"alpha", "", 0.0, true},
    {"", "", 0.0, true},
    {"a b c", "a b c", 0.0, true},
    {"?!", "?!", 0.0, true},
    {"é", "e", 0.0, true},
    {"é", "É", 1.0, true},
    {"ΟΔΟΣ", "οδος", 1.0, true},
    {"ΟΔΟΣ", "οδοσ", 0.0, true},
};

TEST(CosineSimilarity, Examples) {
  for (const CosineCase& c : kCosineCases) {
    const double s = cosine_similarity(vectorize(c.a), vectorize(c.b));
    if (c.exact) {
      EXPECT_EQ(s, c.expected) << c.a << " / " << c.b;
    } else {
      EXPECT_NEAR(s, c.expected, 4e-16) << c.a << " / " << c.b;
    }
  }
}

TEST(MaxSimilarity, Examples) {
  const TermVector alpha = vectorize("alpha");
  const TermVector beta = vectorize("beta");
  const TermVector empty = vectorize("");
  const TermVector go_stop = vectorize("go stop");

  EXPECT_EQ(max_similarity(alpha, std::vector<TermVector>{vectorize("alpha"), beta}), 1.0);
  EXPECT_EQ(max_similarity(alpha, std::vector<TermVector>{beta, vectorize("alpha")}), 1.0);
  EXPECT_EQ(max_similarity(alpha, std::vector<TermVector>{}), 0.0);
  EXPECT_EQ(max_similarity(alpha, std::vector<TermVector>{vectorize(""), beta}), 0.0);
  EXPECT_EQ(max_similarity(empty, std::vector<TermVector>{vectorize(""), vectorize("alpha")}), 0.0);

  const std::vector<TermVector> stored = {vectorize("go"), vectorize("stop go go"), beta};
  double best = 0.0;
  for (const TermVector& s : stored) best = std::max(best, cosine_similarity(go_stop, s));
  EXPECT_EQ(max_similarity(go_stop, stored), best);
  EXPECT_GT(best, 0.9);
}

// Pieces chosen to hit both the ASCII fast path and the decoding path:
// cased and uncased letters, separators, sigma in all positions, characters
// whose lower-case form changes length, marks, CJK and numbers.
const char* const kAsciiPieces[] = {"a", "B", "z", "Q", "0", "7", " ", "-", "_", "'", ".",
                                    ":", "\t", "ab", "XY", "go", "Stop"};
const char* const kUnicodePieces[] = {"é", "É", "Σ", "σ", "ς", "İ", "\u0301", "漢", "½", "\u00a0",
                                      "\u212A", "ß", "Ａ", "Ω", "ǅ", "😀", "\u3000", "Ⅷ"};

std::string random_text(std::mt19937& rng, bool ascii_only) {
  std::uniform_int_distribution<int> length(0, 30);
  std::uniform_int_distribution<std::size_t> ascii(0, std::size(kAsciiPieces) - 1);
  std::uniform_int_distribution<std::size_t> other(0, std::size(kUnicodePieces) - 1);
  std::bernoulli_distribution use_unicode(0.3);
  std::string text;
  for (int n = length(rng); n > 0; --n) {
    text += (!ascii_only && use_unicode(rng)) ? kUnicodePieces[other(rng)] : kAsciiPieces[ascii(rng)];
  }
  return text;
}

TEST(Vectorize, AgreesWithReferenceOnGeneratedTexts) {
  std::mt19937 rng(20240607);
  for (int i = 0; i < 4000; ++i) {
    const std::string text = random_text(rng, i % 2 == 0);
    ASSERT_EQ(tokenize(text), reference_tokenize(text)) << "text: " << text;
    ASSERT_EQ(as_map(vectorize(text)), reference_vectorize(text)) << "text: " << text;
  }
}

TEST(CosineSimilarity, AgreesWithReferenceOnGeneratedTexts) {
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    const std::string a = random_text(rng, i % 3 == 0);
    const std::string b = random_text(rng, i % 3 == 1);
    const TermVector va = vectorize(a);
    const TermVector vb = vectorize(b);
    const double s = cosine_similarity(va, vb);
    ASSERT_NEAR(s, reference_cosine(as_map(va), as_map(vb)), 1e-12) << a << " / " << b;
    ASSERT_GE(s, 0.0);
    ASSERT_LE(s, 1.0 + 1e-15);
    // A vector built from the same text: identical visiting order, so the
    // result is 1.0 within rounding unless the vector is empty.
    const double self = cosine_similarity(va, vectorize(a));
    if (va.empty()) {
      ASSERT_EQ(self, 0.0);
    } else {
      ASSERT_NEAR(self, 1.0, 1e-15) << a;
    }
  }
}

}  // namespace
}  // namespace veltar::loop_breaker
