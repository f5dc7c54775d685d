// Fuzzes tokenize, vectorize, cosine_similarity and max_similarity on up to
// eight texts per input (split at 0xFF bytes).
//
// Checked on every input:
// - tokenize equals a slow tokenizer (lower-case the whole text, decode it
//   character by character, cut at every non-alphanumeric character, keep
//   runs of at least 2 bytes), so the ASCII fast path changes nothing; every
//   term is non-empty, at least 2 bytes, alphanumeric throughout;
// - vectorize has one entry per distinct term in first-occurrence order,
//   each weight exactly count / N, find() returns each weight and nothing for
//   a non-term, and the weights add up to 1 within rounding;
// - cosine_similarity lies in [0, 1 + 1e-12], is 0.0 exactly when either
//   vector is empty, agrees with a long-double computation over ordered maps
//   within 1e-9, is symmetric within 1e-12 and gives 1 within 1e-12 for a
//   vector against itself or a rebuilt copy;
// - max_similarity is the largest cosine_similarity over the list, 0.0 for
//   an empty vector or list.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "loop_breaker/term_vector.h"
#include "unicode/unicode.h"

namespace veltar::fuzz {
namespace {

using loop_breaker::TermVector;

std::vector<std::string> slow_tokenize(std::string_view text) {
  const std::string lowered = unicode::to_lower(text);
  std::vector<std::string> terms;
  std::string run;
  const auto* p = reinterpret_cast<const unsigned char*>(lowered.data());
  const auto* end = p + lowered.size();
  while (p < end) {
    const unicode::Decoded d = unicode::decode_utf8(p);
    if (unicode::is_alphanumeric(d.code_point)) {
      run.append(reinterpret_cast<const char*>(p), d.length);
    } else {
      if (run.size() >= 2) terms.push_back(run);
      run.clear();
    }
    p += d.length;
  }
  if (run.size() >= 2) terms.push_back(run);
  return terms;
}

bool all_alphanumeric(std::string_view term) {
  const auto* p = reinterpret_cast<const unsigned char*>(term.data());
  const auto* end = p + term.size();
  while (p < end) {
    const unicode::Decoded d = unicode::decode_utf8(p);
    if (!unicode::is_alphanumeric(d.code_point)) return false;
    p += d.length;
  }
  return true;
}

std::string join(const std::vector<std::string>& terms) {
  std::string out;
  for (const std::string& t : terms) out += "'" + escaped(t) + "' ";
  return out;
}

struct Reference {
  std::vector<std::string> order;        // distinct terms, first occurrence first
  std::map<std::string, double> counts;  // occurrences
  std::size_t total = 0;
};

Reference reference_counts(const std::vector<std::string>& terms) {
  Reference ref;
  for (const std::string& t : terms) {
    auto [it, inserted] = ref.counts.emplace(t, 0.0);
    if (inserted) ref.order.push_back(t);
    it->second += 1.0;
  }
  ref.total = terms.size();
  return ref;
}

long double reference_cosine(const Reference& a, const Reference& b) {
  if (a.total == 0 || b.total == 0) return 0.0L;
  long double dot = 0, norm_a = 0, norm_b = 0;
  for (const auto& [term, count] : a.counts) {
    const long double wa = count / static_cast<long double>(a.total);
    norm_a += wa * wa;
    const auto it = b.counts.find(term);
    if (it != b.counts.end()) dot += wa * (it->second / static_cast<long double>(b.total));
  }
  for (const auto& [term, count] : b.counts) {
    const long double wb = count / static_cast<long double>(b.total);
    norm_b += wb * wb;
  }
  return dot / (std::sqrt(norm_a) * std::sqrt(norm_b));
}

void check_vector(std::string_view text, const std::vector<std::string>& terms,
                  const Reference& ref, const TermVector& v) {
  const auto context = [&] { return "text '" + escaped(text) + "' terms " + join(terms); };
  FUZZ_CHECK(v.size() == ref.order.size(), context());
  double sum = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    FUZZ_CHECK(v.term(i) == ref.order[i], context() + " entry " + std::to_string(i));
    const double expected = ref.counts.at(ref.order[i]) / static_cast<double>(ref.total);
    FUZZ_CHECK(v.weight(i) == expected, context() + " weight of '" + escaped(ref.order[i]) + "'");
    const double* found = v.find(ref.order[i]);
    FUZZ_CHECK(found != nullptr && *found == expected,
               context() + " find '" + escaped(ref.order[i]) + "'");
    // A separator byte can never be part of a term.
    const std::string longer = ref.order[i] + "\x01";
    FUZZ_CHECK(v.find(longer) == nullptr, context() + " found a non-term");
    sum += v.weight(i);
  }
  FUZZ_CHECK(v.find("") == nullptr, context() + " found the empty term");
  if (!v.empty()) FUZZ_CHECK(std::fabs(sum - 1.0) <= 1e-12, context() + " weights do not sum to 1");
}

}  // namespace
}  // namespace veltar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltar;
  using namespace veltar::fuzz;
  const std::vector<std::string_view> parts =
      split_parts(std::string_view(reinterpret_cast<const char*>(data), size), 8);

  std::vector<std::string> texts;
  std::vector<Reference> refs;
  std::vector<TermVector> vectors;
  for (const std::string_view part : parts) {
    const std::string text = to_valid_utf8(part);
    const std::vector<std::string> terms = loop_breaker::tokenize(text);
    const std::vector<std::string> expected = slow_tokenize(text);
    FUZZ_CHECK(terms == expected, "tokenize '" + escaped(text) + "' gave " + join(terms) +
                                      "expected " + join(expected));
    for (const std::string& t : terms) {
      FUZZ_CHECK(t.size() >= 2 && all_alphanumeric(t), "bad term '" + escaped(t) + "'");
    }
    refs.push_back(reference_counts(terms));
    vectors.push_back(loop_breaker::vectorize(text));
    check_vector(text, terms, refs.back(), vectors.back());
    texts.push_back(text);
  }

  for (std::size_t i = 0; i < vectors.size(); ++i) {
    for (std::size_t j = 0; j < vectors.size(); ++j) {
      const double s = loop_breaker::cosine_similarity(vectors[i], vectors[j]);
      const auto context = [&] {
        return "cosine('" + escaped(texts[i]) + "', '" + escaped(texts[j]) +
               "') = " + std::to_string(s);
      };
      FUZZ_CHECK(!std::isnan(s) && s >= 0.0 && s <= 1.0 + 1e-12, context());
      if (vectors[i].empty() || vectors[j].empty()) {
        FUZZ_CHECK(s == 0.0, context());
        continue;
      }
      const long double expected = reference_cosine(refs[i], refs[j]);
      FUZZ_CHECK(std::fabs(static_cast<long double>(s) - expected) <= 1e-9L,
                 context() + ", reference " + std::to_string(static_cast<double>(expected)));
      const double back = loop_breaker::cosine_similarity(vectors[j], vectors[i]);
      FUZZ_CHECK(std::fabs(s - back) <= 1e-12, context() + ", reversed " + std::to_string(back));
      if (i == j) {
        FUZZ_CHECK(std::fabs(s - 1.0) <= 1e-12, context());
        const TermVector again = loop_breaker::vectorize(texts[i]);
        const double rebuilt = loop_breaker::cosine_similarity(again, vectors[i]);
        FUZZ_CHECK(std::fabs(rebuilt - 1.0) <= 1e-12,
                   context() + ", rebuilt " + std::to_string(rebuilt));
      }
    }
  }

  // Each vector against the list of all the others, oldest first.
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    std::vector<TermVector> stored;
    double best = 0.0;
    for (std::size_t j = 0; j < vectors.size(); ++j) {
      if (j == i) continue;
      stored.push_back(loop_breaker::vectorize(texts[j]));
      const double s = loop_breaker::cosine_similarity(vectors[i], stored.back());
      if (s > best) best = s;
    }
    const double got = loop_breaker::max_similarity(vectors[i], stored);
    FUZZ_CHECK(got == best, "max_similarity of '" + escaped(texts[i]) + "' = " +
                                std::to_string(got) + ", expected " + std::to_string(best));
    FUZZ_CHECK(loop_breaker::max_similarity(vectors[i], {}) == 0.0,
               "max_similarity of an empty list");
  }
  return 0;
}
