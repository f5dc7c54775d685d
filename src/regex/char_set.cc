#include "regex/char_set.h"

#include <algorithm>

#include "common/fault.h"

namespace veltar::regex {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kFirstSurrogate = 0xD800;
constexpr char32_t kLastSurrogate = 0xDFFF;
constexpr char32_t kBeforeSurrogates = kFirstSurrogate - 1;
constexpr char32_t kAfterSurrogates = kLastSurrogate + 1;

}  // namespace

CharSet CharSet::of(char32_t c) {
  CharSet set;
  set.add(c, c);
  return set;
}

CharSet CharSet::of_ranges(std::span<const unicode::Range> ranges) {
  CharSet set;
  for (const unicode::Range& r : ranges) set.push(r.first, r.last);
  set.normalize();
  return set;
}

CharSet CharSet::all() {
  CharSet set;
  set.add(0, kMaxCodePoint);
  return set;
}

void CharSet::add(char32_t first, char32_t last) {
  push(first, last);
  normalize();
}

void CharSet::push(char32_t first, char32_t last) {
  if (first > last || last > kMaxCodePoint) throw Fault("CharSet: invalid range");
  if (first < kFirstSurrogate) ranges_.push_back({first, std::min(last, kBeforeSurrogates)});
  if (last > kLastSurrogate) ranges_.push_back({std::max(first, kAfterSurrogates), last});
}

void CharSet::add(const CharSet& other) {
  ranges_.insert(ranges_.end(), other.ranges_.begin(), other.ranges_.end());
  normalize();
}

void CharSet::normalize() {
  std::sort(ranges_.begin(), ranges_.end(),
            [](const unicode::Range& a, const unicode::Range& b) { return a.first < b.first; });
  std::vector<unicode::Range> merged;
  merged.reserve(ranges_.size());
  for (const unicode::Range& r : ranges_) {
    // Ranges that overlap or touch become one; last + 1 cannot overflow.
    if (!merged.empty() && r.first <= merged.back().last + 1) {
      merged.back().last = std::max(merged.back().last, r.last);
    } else {
      merged.push_back(r);
    }
  }
  ranges_ = std::move(merged);
}

CharSet CharSet::complement() const {
  CharSet out;
  char32_t next = 0;
  for (const unicode::Range& r : ranges_) {
    if (r.first > next) out.ranges_.push_back({next, r.first - 1});
    next = r.last + 1;
  }
  if (next <= kMaxCodePoint) out.ranges_.push_back({next, kMaxCodePoint});
  // The gaps include the surrogate block; push() takes it out again.
  CharSet result;
  for (const unicode::Range& r : out.ranges_) result.push(r.first, r.last);
  result.normalize();
  return result;
}

CharSet CharSet::intersection(const CharSet& other) const {
  CharSet out;
  auto a = ranges_.begin();
  auto b = other.ranges_.begin();
  while (a != ranges_.end() && b != other.ranges_.end()) {
    const char32_t first = std::max(a->first, b->first);
    const char32_t last = std::min(a->last, b->last);
    if (first <= last) out.ranges_.push_back({first, last});
    if (a->last < b->last) {
      ++a;
    } else {
      ++b;
    }
  }
  return out;
}

CharSet CharSet::case_closed() const {
  std::vector<unicode::Range> partners;
  for (const unicode::Range& r : ranges_) {
    for (char32_t c = r.first;; ++c) {
      for (const char32_t p : unicode::case_fold_orbit(c)) {
        if (p != c) partners.push_back({p, p});
      }
      if (c == r.last) break;
    }
  }
  CharSet out = *this;
  out.ranges_.insert(out.ranges_.end(), partners.begin(), partners.end());
  out.normalize();
  return out;
}

bool CharSet::contains(char32_t c) const {
  const auto it = std::lower_bound(ranges_.begin(), ranges_.end(), c,
                                   [](const unicode::Range& r, char32_t v) { return r.last < v; });
  return it != ranges_.end() && it->first <= c;
}

bool CharSet::intersects(const CharSet& other) const { return !intersection(other).empty(); }

bool CharSet::subset_of(const CharSet& other) const { return intersection(other) == *this; }

std::size_t CharSet::size() const {
  std::size_t n = 0;
  for (const unicode::Range& r : ranges_) n += std::size_t(r.last - r.first) + 1;
  return n;
}

bool operator==(const CharSet& a, const CharSet& b) {
  return std::equal(a.ranges_.begin(), a.ranges_.end(), b.ranges_.begin(), b.ranges_.end(),
                    [](const unicode::Range& x, const unicode::Range& y) {
                      return x.first == y.first && x.last == y.last;
                    });
}

}  // namespace veltar::regex
