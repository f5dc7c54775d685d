#include "loop_breaker/term_vector.h"

#include <sys/random.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include "unicode/unicode.h"

namespace veltar::loop_breaker {
namespace {

using SipKey = std::array<std::uint64_t, 2>;

// The kernel's random source is a system call, not a file. Should it be
// unavailable, the key falls back to values an outside caller cannot read
// (addresses under ASLR and the clock), which still defeats precomputed
// collision sets.
SipKey make_key() {
  SipKey key{};
  if (getrandom(key.data(), sizeof key, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof key)) {
    return key;
  }
  const auto now = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  key[0] ^= now ^ reinterpret_cast<std::uintptr_t>(&key);
  key[1] ^= (now * 0x9E3779B97F4A7C15ULL) ^ reinterpret_cast<std::uintptr_t>(&make_key);
  return key;
}

const SipKey& process_key() {
  static const SipKey key = make_key();
  return key;
}

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

// SipHash-1-3: one compression round per 8-byte word, three finalisation
// rounds. Words are read in host byte order; the hash only has to be
// consistent within one process.
std::uint64_t siphash13(const SipKey& key, std::string_view bytes) {
  SipState s{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
             key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  for (; left >= 8; p += 8, left -= 8) {
    std::uint64_t m;
    std::memcpy(&m, p, 8);
    s.absorb(m);
  }
  std::uint64_t last = static_cast<std::uint64_t>(bytes.size()) << 56;
  for (std::size_t i = 0; i < left; ++i) {
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  }
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

bool is_ascii(std::string_view text) {
  const char* p = text.data();
  std::size_t left = text.size();
  std::uint64_t high = 0;
  for (; left >= 8; p += 8, left -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    high |= w;
  }
  for (; left > 0; ++p, --left) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080ULL) == 0;
}

std::uint8_t ascii_bits(unsigned char c) { return unicode::kAsciiTable[c]; }

// ASCII text: lower-cases byte by byte into `buf` (which must hold
// text.size() bytes) while cutting terms, in one pass and without decoding.
// Terms passed to `sink` point into `buf`.
template <class Sink>
void scan_ascii(std::string_view text, char* buf, Sink& sink) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t bits = ascii_bits(p[i]);
    buf[i] = static_cast<char>(p[i] | ((bits & unicode::kAsciiUpper) ? 0x20 : 0));
    if (!(bits & unicode::kAsciiAlphanumeric)) {
      if (i - run_start >= 2) sink(std::string_view(buf + run_start, i - run_start));
      run_start = i + 1;
    }
  }
  if (n - run_start >= 2) sink(std::string_view(buf + run_start, n - run_start));
}

std::size_t utf8_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// Cuts the already lower-cased `lowered` into terms: maximal alphanumeric
// runs of at least 2 bytes. ASCII bytes are classified by table; only other
// characters are decoded. A truncated final sequence is a separator.
template <class Sink>
void scan_lowered(std::string_view lowered, Sink& sink) {
  const auto* p = reinterpret_cast<const unsigned char*>(lowered.data());
  const std::size_t n = lowered.size();
  std::size_t run_start = 0;
  std::size_t i = 0;
  while (i < n) {
    std::size_t len = 1;
    bool alnum;
    if (p[i] < 0x80) {
      alnum = ascii_bits(p[i]) & unicode::kAsciiAlphanumeric;
    } else {
      len = utf8_length(p[i]);
      if (len > n - i) {
        len = n - i;
        alnum = false;
      } else {
        alnum = unicode::is_alphanumeric(unicode::decode_utf8(p + i).code_point);
      }
    }
    if (!alnum) {
      if (i - run_start >= 2) sink(lowered.substr(run_start, i - run_start));
      run_start = i + len;
    }
    i += len;
  }
  if (n - run_start >= 2) sink(lowered.substr(run_start, n - run_start));
}

// Calls sink(term) for every term of `text` in text order. The views are
// valid only during the call.
template <class Sink>
void for_each_term(std::string_view text, Sink&& sink) {
  if (is_ascii(text)) {
    const auto buf = std::make_unique_for_overwrite<char[]>(text.size());
    scan_ascii(text, buf.get(), sink);
    return;
  }
  // Final_Sigma looks across the whole text, ASCII neighbours included, so a
  // text with any non-ASCII byte is lower-cased as a whole.
  std::string lowered;
  lowered.reserve(text.size() + text.size() / 4);
  unicode::append_lower(lowered, text);
  scan_lowered(lowered, sink);
}

constexpr std::size_t kMinSlots = 16;

// Terms are short and a matching 64-bit hash almost always means equal
// bytes, so an inline loop beats a library call.
bool same_bytes(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

std::uint64_t hash_term(std::string_view bytes) { return siphash13(process_key(), bytes); }

const double* TermVector::find(std::string_view term, std::uint64_t hash) const noexcept {
  if (slots_.empty()) return nullptr;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const std::size_t slot = slots_[i];
    if (slot == 0) return nullptr;
    const Entry& e = entries_[slot - 1];
    if (e.hash == hash && e.length == term.size() &&
        same_bytes(chars_.data() + e.offset, term.data(), term.size())) {
      return &e.weight;
    }
  }
}

// The index is kept at most half full, so probes stay short and always end
// at a free slot.
void TermVector::grow_index() {
  const std::size_t size = slots_.empty() ? kMinSlots : slots_.size() * 2;
  slots_.assign(size, 0);
  const std::size_t mask = size - 1;
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    std::size_t i = entries_[k].hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = k + 1;
  }
}

void TermVector::add_occurrence(std::string_view term) {
  if ((entries_.size() + 1) * 2 > slots_.size()) grow_index();
  const std::uint64_t hash = hash_term(term);
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  for (; slots_[i] != 0; i = (i + 1) & mask) {
    Entry& e = entries_[slots_[i] - 1];
    if (e.hash == hash && e.length == term.size() &&
        same_bytes(chars_.data() + e.offset, term.data(), term.size())) {
      e.weight += 1.0;
      return;
    }
  }
  entries_.push_back(Entry{hash, chars_.size(), term.size(), 1.0});
  chars_.append(term);
  slots_[i] = entries_.size();
}

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> terms;
  for_each_term(text, [&terms](std::string_view t) { terms.emplace_back(t); });
  return terms;
}

TermVector vectorize(std::string_view text) {
  TermVector v;
  std::size_t count = 0;
  for_each_term(text, [&](std::string_view t) {
    v.add_occurrence(t);
    ++count;
  });
  if (count > 0) {
    const double n = static_cast<double>(count);
    for (TermVector::Entry& e : v.entries_) e.weight = e.weight / n;
  }
  return v;
}

double cosine_similarity(const TermVector& a, const TermVector& b) {
  if (a.empty() || b.empty()) return 0.0;
  double sum_a = 0.0;
  double dot = 0.0;
  for (const TermVector::Entry& e : a.entries_) {
    sum_a += e.weight * e.weight;
    if (const double* wb = b.find(a.term_at(e), e.hash)) dot += e.weight * *wb;
  }
  double sum_b = 0.0;
  for (const TermVector::Entry& e : b.entries_) sum_b += e.weight * e.weight;
  const double denominator = std::sqrt(sum_a) * std::sqrt(sum_b);
  if (denominator == 0.0) return 0.0;
  return dot / denominator;
}

double max_similarity(const TermVector& v, std::span<const TermVector> stored) {
  double best = 0.0;
  if (v.empty()) return best;
  for (const TermVector& s : stored) {
    const double similarity = cosine_similarity(v, s);
    if (similarity > best) best = similarity;
  }
  return best;
}

}  // namespace veltar::loop_breaker
