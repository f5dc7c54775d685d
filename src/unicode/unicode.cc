#include "unicode/unicode.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>

#include "common/fault.h"
#include "unicode/unicode_tables.h"

namespace veltar::unicode {
namespace {

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kSmallFinalSigma = 0x03C2;
constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool in_ranges(std::span<const Range> ranges, char32_t c) {
  // The first range ending at or after c is the only one that can hold it.
  const auto it = std::lower_bound(ranges.begin(), ranges.end(), c,
                                   [](const Range& r, char32_t v) { return r.last < v; });
  return it != ranges.end() && it->first <= c;
}

char32_t apply_runs(std::span<const tables::CaseRun> runs, char32_t c) {
  const auto it =
      std::upper_bound(runs.begin(), runs.end(), c,
                       [](char32_t v, const tables::CaseRun& r) { return v < r.first; });
  if (it == runs.begin()) return c;
  const tables::CaseRun& run = *(it - 1);
  if (c > run.last || (c - run.first) % run.stride != 0) return c;
  return char32_t(std::int32_t(c) + run.delta);
}

bool ascii_has(char32_t c, AsciiBits bit) { return (kAsciiTable[c] & bit) != 0; }

// Cased and Case_Ignorable for ASCII, taken once from the range tables: the
// lower-casing loop asks about the end of every ASCII run.
enum AsciiCaseBits : std::uint8_t { kAsciiCased = 1 << 0, kAsciiCaseIgnorable = 1 << 1 };

const std::array<std::uint8_t, 128>& ascii_case_table() {
  static const std::array<std::uint8_t, 128> table = [] {
    std::array<std::uint8_t, 128> t{};
    for (char32_t c = 0; c < 0x80; ++c) {
      if (in_ranges(tables::cased_ranges(), c)) t[c] |= kAsciiCased;
      if (in_ranges(tables::case_ignorable_ranges(), c)) t[c] |= kAsciiCaseIgnorable;
    }
    return t;
  }();
  return table;
}

// Singleton orbits of code points that fold together with no other. They are
// made on first request, a page at a time, and live as long as the process,
// so every span case_fold_orbit returns stays valid.
class IdentityPages {
 public:
  std::span<const char32_t> one(char32_t c) {
    std::atomic<char32_t*>& slot = pages_[c / kPageSize];
    char32_t* page = slot.load(std::memory_order_acquire);
    if (page == nullptr) {
      auto fresh = std::make_unique<char32_t[]>(kPageSize);
      const char32_t base = c - c % kPageSize;
      for (char32_t i = 0; i < kPageSize; ++i) fresh[i] = base + i;
      if (slot.compare_exchange_strong(page, fresh.get(), std::memory_order_acq_rel)) {
        page = fresh.release();
      }
    }
    return {page + c % kPageSize, 1};
  }

 private:
  static constexpr char32_t kPageSize = 256;
  std::array<std::atomic<char32_t*>, (kMaxCodePoint + 1) / kPageSize> pages_{};
};

// The full lower-case form of `c` other than capital sigma, appended to out.
void append_lower_char(std::string& out, char32_t c) {
  const auto specials = tables::special_lowers();
  if (specials.empty() || c < specials.front().code_point || c > specials.back().code_point) {
    append_utf8(out, apply_runs(tables::simple_lower_runs(), c));
    return;
  }
  const auto it =
      std::lower_bound(specials.begin(), specials.end(), c,
                       [](const tables::SpecialLower& s, char32_t v) { return s.code_point < v; });
  if (it != specials.end() && it->code_point == c) {
    for (std::uint32_t i = 0; i < it->length; ++i) append_utf8(out, it->lower[i]);
    return;
  }
  append_utf8(out, apply_runs(tables::simple_lower_runs(), c));
}

// Final_Sigma, the part after the sigma: no Cased character follows it
// across Case_Ignorable ones. A character that is both counts as Cased. The
// walk stops at the first character that is not Case_Ignorable, which is
// never past the next sigma, so the look-aheads of one text never overlap.
bool nothing_cased_follows(const unsigned char* p, const unsigned char* end) {
  while (p < end) {
    const Decoded d = decode_utf8(p);
    if (is_cased(d.code_point)) return false;
    if (!is_case_ignorable(d.code_point)) return true;
    p += d.length;
  }
  return true;
}

// Whether the Final_Sigma "before" condition holds after `c`: a Cased
// character followed by zero or more Case_Ignorable ones ends here.
bool cased_before(bool previous, char32_t c) {
  if (is_cased(c)) return true;
  return previous && is_case_ignorable(c);
}

}  // namespace

bool is_white_space(char32_t c) {
  if (c < 0x80) return ascii_has(c, kAsciiWhiteSpace);
  return in_ranges(white_space_ranges(), c);
}

bool is_decimal_number(char32_t c) {
  if (c < 0x80) return ascii_has(c, kAsciiDigit);
  return in_ranges(decimal_number_ranges(), c);
}

bool is_word(char32_t c) {
  if (c < 0x80) return ascii_has(c, kAsciiWord);
  return in_ranges(word_ranges(), c);
}

bool is_alphanumeric(char32_t c) {
  if (c < 0x80) return ascii_has(c, kAsciiAlphanumeric);
  return in_ranges(alphanumeric_ranges(), c);
}

bool is_cased(char32_t c) {
  if (c < 0x80) return (ascii_case_table()[c] & kAsciiCased) != 0;
  return in_ranges(tables::cased_ranges(), c);
}

bool is_case_ignorable(char32_t c) {
  if (c < 0x80) return (ascii_case_table()[c] & kAsciiCaseIgnorable) != 0;
  return in_ranges(tables::case_ignorable_ranges(), c);
}

char32_t simple_case_fold(char32_t c) { return apply_runs(tables::simple_fold_runs(), c); }

std::span<const char32_t> case_fold_orbit(char32_t c) {
  const char32_t fold = simple_case_fold(c);
  const auto orbits = tables::orbits();
  const auto it = std::lower_bound(orbits.begin(), orbits.end(), fold,
                                   [](const tables::Orbit& o, char32_t v) { return o.fold < v; });
  if (it != orbits.end() && it->fold == fold) {
    return tables::orbit_members().subspan(it->offset, it->length);
  }
  if (c > kMaxCodePoint) throw Fault("case_fold_orbit: not a code point");
  static IdentityPages singletons;
  return singletons.one(c);
}

void append_lower(std::string& out, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  // Final_Sigma "before" condition at the current position.
  bool after_cased = false;
  while (p < end) {
    if (*p < 0x80) {
      const unsigned char* run_end = p;
      while (run_end < end && *run_end < 0x80) ++run_end;
      const std::size_t start = out.size();
      out.resize(start + std::size_t(run_end - p));
      // In ASCII exactly A-Z have lower-case forms, 0x20 above them (the
      // generator checks this); the branch-free form lets the loop vectorise.
      std::transform(p, run_end, out.begin() + std::ptrdiff_t(start), [](unsigned char b) {
        return char(b | (unsigned(b - 'A') < 26u ? 0x20 : 0));
      });
      // The condition after the run is decided by its last character that
      // is Cased or not Case_Ignorable, the same test cased_before applies
      // forwards; a run of mere Case_Ignorable characters leaves it as it was.
      for (const unsigned char* q = run_end; q > p;) {
        --q;
        if (is_cased(*q) || !is_case_ignorable(*q)) {
          after_cased = is_cased(*q);
          break;
        }
      }
      p = run_end;
      continue;
    }
    const Decoded d = decode_utf8(p);
    p += d.length;
    if (d.code_point == kCapitalSigma) {
      const bool is_final = after_cased && nothing_cased_follows(p, end);
      append_utf8(out, is_final ? kSmallFinalSigma : kSmallSigma);
    } else {
      append_lower_char(out, d.code_point);
    }
    after_cased = cased_before(after_cased, d.code_point);
  }
}

std::string to_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_lower(out, text);
  return out;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(char(c));
  } else if (c < 0x800) {
    const char bytes[] = {char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
    out.append(bytes, 2);
  } else if (c < 0x10000) {
    if (c >= 0xD800 && c <= 0xDFFF) throw Fault("append_utf8: surrogate code point");
    const char bytes[] = {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)),
                          char(0x80 | (c & 0x3F))};
    out.append(bytes, 3);
  } else if (c <= kMaxCodePoint) {
    const char bytes[] = {char(0xF0 | (c >> 18)), char(0x80 | ((c >> 12) & 0x3F)),
                          char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
    out.append(bytes, 4);
  } else {
    throw Fault("append_utf8: code point beyond U+10FFFF");
  }
}

}  // namespace veltar::unicode
