// Term-frequency vectors of texts and their cosine similarity.
//
// A text's terms are the maximal runs of alphanumeric characters of its full
// lower-case form that are at least 2 UTF-8 bytes long; its vector maps each
// distinct term to (occurrences / number of terms). Everything here is plain
// computation: no state, no errors beyond std::bad_alloc, and every function
// is linear in the length of its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltar::loop_breaker {

// Hash of a term or a session id: SipHash-1-3 under a key drawn once per
// process from the kernel's random source, so that a caller cannot choose
// texts whose terms all collide and turn a linear vectorising pass into a
// quadratic one. Equal inputs hash equally within one process.
std::uint64_t hash_term(std::string_view bytes);

// The term-frequency vector of one text: a map from term to weight.
//
// The entries keep the order in which their terms first occur in the text,
// so two vectors built from texts with the same term sequence are visited in
// the same order (see cosine_similarity). Term bytes live in one buffer owned
// by the vector; lookups take a string_view and copy nothing. A vector is
// immutable once vectorize() returns it. Const member functions may be called
// concurrently.
class TermVector {
 public:
  TermVector() = default;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  // The i-th entry in first-occurrence order; requires i < size().
  std::string_view term(std::size_t i) const noexcept { return term_at(entries_[i]); }
  double weight(std::size_t i) const noexcept { return entries_[i].weight; }

  // The weight of `term`, or nullptr when the vector does not contain it.
  // The pointer stays valid as long as the vector is neither moved nor
  // destroyed.
  const double* find(std::string_view term) const noexcept {
    return find(term, hash_term(term));
  }

 private:
  struct Entry {
    std::uint64_t hash;  // hash_term of the term, kept so probes and
                         // cross-vector lookups need not rehash
    std::size_t offset;  // into chars_
    std::size_t length;
    double weight;       // a count while building, count / N afterwards
  };

  friend TermVector vectorize(std::string_view text);
  friend double cosine_similarity(const TermVector& a, const TermVector& b);

  std::string_view term_at(const Entry& e) const noexcept {
    return std::string_view(chars_.data() + e.offset, e.length);
  }
  const double* find(std::string_view term, std::uint64_t hash) const noexcept;
  void add_occurrence(std::string_view term);
  void grow_index();

  std::string chars_;                // every distinct term, back to back
  std::vector<Entry> entries_;       // first-occurrence order
  std::vector<std::size_t> slots_;   // open addressing; entry index + 1, 0 = free
};

// The terms of `text` in text order, repetitions kept. `text` must be valid
// UTF-8.
std::vector<std::string> tokenize(std::string_view text);

// The term-frequency vector of `text` (valid UTF-8). A text without terms
// gives an empty vector. Each weight is its term's count divided by the
// number of terms, both as doubles, one division per distinct term.
TermVector vectorize(std::string_view text);

// Cosine similarity of a new vector `a` and a stored vector `b`: 0.0 when
// either is empty, otherwise D / (sqrt(A) * sqrt(B)) where, walking a's
// entries in order, A sums a(t)*a(t) and D sums a(t)*b(t) over the terms
// shared with b, and B sums b(t)*b(t) over b's entries in order. A and D are
// built from the same products in the same order, so a vector compared with
// one built from the same term sequence gives 1.0 within a few ulps (for
// example 0.9999999999999998 for two terms of weight 0.5, exactly 1.0 for four
// of weight 0.25). No tolerance is applied. Never negative, never NaN.
double cosine_similarity(const TermVector& a, const TermVector& b);

// The highest cosine_similarity(v, s) over `stored`, visited oldest (front)
// first; 0.0 when `v` or `stored` is empty.
double max_similarity(const TermVector& v, std::span<const TermVector> stored);

}  // namespace veltar::loop_breaker
