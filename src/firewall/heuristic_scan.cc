#include "firewall/heuristic_scan.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>

#include "common/fault.h"
#include "firewall/scan_kernels.h"
#include "firewall/scan_tables.h"
#include "unicode/unicode.h"

// How the counting works.
//
// The text is classified 64 bytes at a time into bit masks (BlockMasks). A
// stretch of ASCII bytes is counted from the masks alone: words are the
// non-white bytes that follow a white one, special characters a population
// count. Non-ASCII characters are decoded one by one and classified by the
// Unicode properties.
//
// Per-position work happens only where a mask says it may matter: at a word
// start whose first three bytes begin a keyword, at a U+0020 whose
// neighbours fit a phrase anchored there, at a ':' or an encoding marker's
// anchor byte, and wherever a non-ASCII byte is that close. There the
// lower-cased text is built a few characters each way (scan_tables.h says
// why that suffices), so each position costs a bounded amount of work and
// the scan is linear in the length of the text.

namespace veltar::firewall {
namespace {

// ---- Character properties of non-ASCII code points ----

enum CharFlags : Byte { kCharWhite = 1, kCharAlphanumeric = 2, kCharCased = 4 };

// A byte that does not start a valid UTF-8 sequence counts as U+FFFD, the
// replacement character: special, not white space, not cased.
constexpr char32_t kInvalid = 0xFFFD;

// The flags of every code point, made a page of 256 at a time on first need
// and kept for the life of the process (text in one script hits few pages).
class CharFlagPages {
 public:
  Byte flags(char32_t c) {
    std::atomic<const Byte*>& slot = pages_[c >> 8];
    const Byte* page = slot.load(std::memory_order_acquire);
    if (page == nullptr) page = build(slot, c & ~char32_t(0xFF));
    return page[c & 0xFF];
  }

 private:
  static const Byte* build(std::atomic<const Byte*>& slot, char32_t base) {
    auto fresh = std::make_unique<Byte[]>(256);
    for (char32_t i = 0; i < 256; ++i) {
      const char32_t c = base + i;
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      fresh[i] = Byte((unicode::is_white_space(c) ? kCharWhite : 0) |
                      (unicode::is_alphanumeric(c) ? kCharAlphanumeric : 0) |
                      (unicode::is_cased(c) ? kCharCased : 0));
    }
    const Byte* expected = nullptr;
    if (slot.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) {
      return fresh.release();
    }
    return expected;  // another thread won; its page is identical
  }

  std::array<std::atomic<const Byte*>, (0x10FFFF >> 8) + 1> pages_{};
};

Byte char_flags(char32_t c) {
  static CharFlagPages pages;
  return pages.flags(c);
}

// Decodes the character at p; a byte that does not start a valid sequence
// within [p, end) is the character kInvalid, of length 1.
unicode::Decoded decode_at(const Byte* p, const Byte* end) {
  const Byte b0 = *p;
  if (b0 < 0x80) return {b0, 1};
  const std::uint32_t length = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 ? 2 : 0;
  if (length == 0 || b0 > 0xF4 || std::size_t(end - p) < length) return {kInvalid, 1};
  for (std::uint32_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return {kInvalid, 1};
  }
  const unicode::Decoded d = unicode::decode_utf8(p);
  const char32_t c = d.code_point;
  const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
  if (overlong || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return {kInvalid, 1};
  return d;
}

// The full lower-case form of the decoded non-ASCII character at p, or a
// single non-ASCII byte when that form cannot hold ASCII (the character is
// not cased, so it is its own lower case). `scratch` stays within the
// short-string buffer: one character lower-cases to at most a few bytes.
std::string_view lower_non_ascii(const Byte* p, unicode::Decoded d, std::string& scratch) {
  if ((char_flags(d.code_point) & kCharCased) == 0) return "\x80";
  scratch.clear();
  unicode::append_lower(scratch, {reinterpret_cast<const char*>(p), d.length});
  return scratch;
}

// Whether the ASCII bytes at p lower-case to `s`.
bool lowers_to(const Byte* p, std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (ascii_lower(p[i]) != Byte(s[i])) return false;
  }
  return true;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// The eight bytes at p as a little-endian word.
inline std::uint64_t load8(const Byte* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// Lower-cases eight ASCII bytes at once. No byte is >= 0x80, so adding less
// than 0x80 to one never carries into the next.
inline std::uint64_t lower8(std::uint64_t v) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  const std::uint64_t at_least_a = v + (0x80 - 'A') * kOnes;
  const std::uint64_t above_z = v + (0x80 - 'Z' - 1) * kOnes;
  return v | (((at_least_a & ~above_z) & kHighBits) >> 2);
}

bool is_ascii_bytes(const Byte* p, std::size_t n) {
  Byte any = 0;
  for (std::size_t i = 0; i < n; ++i) any |= p[i];
  return any < 0x80;
}

bool is_ascii_text(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return Byte(c) < 0x80; });
}

// ---- The scan ----

class ScanState {
 public:
  explicit ScanState(std::string_view text)
      : begin_(reinterpret_cast<const Byte*>(text.data())), size_(text.size()) {}

  std::size_t size() const { return size_; }
  const Byte* begin() const { return begin_; }
  const HeuristicCounts& counts() const { return counts_; }

  // Counts the ASCII bytes [from, to) of the block at `base`.
  [[gnu::always_inline]] inline void count_ascii(std::size_t base, unsigned from, unsigned to,
                                                 const BlockMasks& m) {
    const std::uint64_t valid = bit_range(from, to);
    const std::uint64_t white = m.white & valid;
    counts_.special_chars += std::size_t(__builtin_popcountll(m.special & valid));
    const std::uint64_t starts =
        ~white & valid & ((white << 1) | (std::uint64_t(after_white_) << from));
    counts_.words += std::size_t(__builtin_popcountll(starts));
    after_white_ = ((white >> (to - 1)) & 1) != 0;

    for (std::uint64_t s = starts & m.keyword; s != 0; s &= s - 1) {
      check_word(base + unsigned(__builtin_ctzll(s)));
    }
    if (counts_.phrases != kAllPhrases) {
      for (std::uint64_t a = m.phrase_space & valid; a != 0; a &= a - 1) {
        check_phrases(base + unsigned(__builtin_ctzll(a)));
      }
    }
    if (counts_.phrases != kAllPhrases || counts_.markers != kAllMarkers) {
      for (std::uint64_t a = m.plain_anchor & valid; a != 0; a &= a - 1) {
        check_anchor(base + unsigned(__builtin_ctzll(a)));
      }
    }
  }

  // Counts the run of non-ASCII characters starting at p; returns where the
  // run ends (at an ASCII byte or the end of the text).
  std::size_t count_non_ascii(std::size_t p) {
    const Byte* const end = begin_ + size_;
    while (p < size_ && begin_[p] >= 0x80) {
      const unicode::Decoded d = decode_at(begin_ + p, end);
      const Byte flags = char_flags(d.code_point);
      if ((flags & kCharWhite) != 0) {
        after_white_ = true;
      } else {
        if ((flags & kCharAlphanumeric) == 0) ++counts_.special_chars;
        if (after_white_) {
          ++counts_.words;
          if (is_imperative_at(p)) ++counts_.imperative_words;
        }
        after_white_ = false;
      }
      p += d.length;
    }
    return p;
  }

 private:
  // A word starting with an ASCII byte at p.
  void check_word(std::size_t p) {
    const Byte second = p + 1 < size_ ? begin_[p + 1] : Byte(' ');
    bool imperative = false;
    if (second >= 0x80) {
      imperative = is_imperative_at(p);
    } else if (const unsigned entry = kKeywordByPair[pair_index(begin_[p], second)]; entry != 0) {
      imperative = size_ - p >= 16 ? is_imperative_packed(p, entry - 1)
                                   : is_imperative_ascii(p, IMPERATIVE_KEYWORDS[entry - 1]);
    }
    if (imperative) ++counts_.imperative_words;
  }

  // Whether the word starting at p is imperative: lower-cases at most
  // kMaxWordBytes bytes of it, a character at a time.
  bool is_imperative_at(std::size_t p) const {
    char word[kMaxWordBytes];
    std::size_t length = 0;
    std::string scratch;
    const Byte* const end = begin_ + size_;
    while (p < size_) {
      const Byte b = begin_[p];
      if (b < 0x80) {
        if (is_ascii_white(b)) break;
        if (length == kMaxWordBytes) return false;
        word[length++] = char(ascii_lower(b));
        ++p;
        continue;
      }
      const unicode::Decoded d = decode_at(begin_ + p, end);
      if ((char_flags(d.code_point) & kCharWhite) != 0) break;
      const std::string_view lower = lower_non_ascii(begin_ + p, d, scratch);
      if (!is_ascii_text(lower) || lower.size() > kMaxWordBytes - length) return false;
      std::memcpy(word + length, lower.data(), lower.size());
      length += lower.size();
      p += d.length;
    }
    return is_imperative_lowered(word, length);
  }

  // is_imperative_ascii with sixteen bytes readable at p: one comparison
  // rejects a word that does not begin with the keyword.
  bool is_imperative_packed(std::size_t p, std::size_t keyword) const {
    const std::uint64_t first = load8(begin_ + p);
    if (((first | load8(begin_ + p + 8)) & kHighBits) != 0) {
      return is_imperative_ascii(p, IMPERATIVE_KEYWORDS[keyword]);
    }
    const PackedText& k = kPackedKeywords[keyword];
    if ((lower8(first) & k.mask) != k.bytes) return false;
    // All sixteen bytes are ASCII and the word so far is at most eight.
    std::size_t q = p + IMPERATIVE_KEYWORDS[keyword].size();
    char suffix[kMaxSuffixBytes];
    std::size_t length = 0;
    for (; q < size_ && !is_ascii_white(begin_[q]); ++q) {
      if (length == kMaxSuffixBytes) return false;
      suffix[length++] = char(ascii_lower(begin_[q]));
    }
    return is_suffix(suffix, length);
  }

  // is_imperative_at for a word whose first two bytes are ASCII and select
  // `keyword`; falls back on it only at a non-ASCII byte.
  bool is_imperative_ascii(std::size_t p, std::string_view keyword) const {
    std::size_t q = p;
    for (char k : keyword) {
      if (q == size_) return false;
      const Byte b = begin_[q];
      if (b >= 0x80) return is_imperative_at(p);
      if ((b | 0x20) != Byte(k)) return false;  // exact: k is a lower-case letter
      ++q;
    }
    char suffix[kMaxSuffixBytes];
    std::size_t length = 0;
    for (; q < size_; ++q) {
      const Byte b = begin_[q];
      if (b >= 0x80) return is_imperative_at(p);
      if (is_ascii_white(b)) break;
      if (length == kMaxSuffixBytes) return false;
      suffix[length++] = char(ascii_lower(b));
    }
    return is_suffix(suffix, length);
  }

  // A byte that may anchor an encoding marker or a phrase.
  void check_anchor(std::size_t p) {
    const Byte b = begin_[p];
    for (std::size_t i = 0; i < ENCODING_MARKERS.size(); ++i) {
      const std::string_view marker = ENCODING_MARKERS[i];
      const std::size_t at = kMarkerAnchor[i];
      if (Byte(marker[at]) != b || p < at || size_ - (p - at) < marker.size()) continue;
      if (same_bytes(reinterpret_cast<const char*>(begin_) + p - at, marker)) {
        counts_.markers |= 1u << i;
      }
    }
    for (std::size_t i = 0; i < CONTEXT_SWITCH_PHRASES.size(); ++i) {
      if (Byte(CONTEXT_SWITCH_PHRASES[i][kPhraseAnchor[i]]) == b) {
        check_phrases(p);
        return;
      }
    }
  }

  // Finds the phrases whose anchor byte stands at p.
  void check_phrases(std::size_t p) {
    const Byte b = begin_[p];
    if (p == 0 || !kMayEndFirstWord[begin_[p - 1]]) return;
    if (p >= 8 && size_ - p > 8) {
      const std::uint64_t before = load8(begin_ + p - 8);
      const std::uint64_t after = load8(begin_ + p + 1);
      if (((before | after) & kHighBits) == 0) {
        check_phrases_ascii(p, lower8(before), lower8(after));
        return;
      }
    }
    char tail_buffer[kTailBytes + 16];
    const std::string_view tail = lowered_before(p, tail_buffer, sizeof tail_buffer);
    std::uint32_t candidates = 0;
    for (std::size_t i = 0; i < CONTEXT_SWITCH_PHRASES.size(); ++i) {
      const std::string_view phrase = CONTEXT_SWITCH_PHRASES[i];
      const std::size_t at = kPhraseAnchor[i];
      if (Byte(phrase[at]) == b && tail.size() >= at &&
          same_bytes(tail.data() + tail.size() - at, phrase.substr(0, at))) {
        candidates |= 1u << i;
      }
    }
    if (candidates == 0) return;
    char head_buffer[kHeadBytes + 16];
    const std::string_view head = lowered_after(p + 1, head_buffer, sizeof head_buffer);
    for (std::size_t i = 0; i < CONTEXT_SWITCH_PHRASES.size(); ++i) {
      const std::string_view rest = CONTEXT_SWITCH_PHRASES[i].substr(kPhraseAnchor[i] + 1);
      if ((candidates >> i & 1) != 0 && head.size() >= rest.size() &&
          same_bytes(head.data(), rest)) {
        counts_.phrases |= 1u << i;
      }
    }
  }

  // check_phrases where the eight bytes before p and after it are ASCII,
  // given lower-cased.
  void check_phrases_ascii(std::size_t p, std::uint64_t before, std::uint64_t after) {
    const Byte b = begin_[p];
    for (std::size_t i = 0; i < CONTEXT_SWITCH_PHRASES.size(); ++i) {
      const std::size_t at = kPhraseAnchor[i];
      const PackedPhrase& packed = kPackedPhrases[i];
      if (Byte(CONTEXT_SWITCH_PHRASES[i][at]) != b) continue;
      if ((after & packed.head.mask) != packed.head.bytes) continue;
      bool tail = false;
      if (packed.short_tail) {
        tail = (before >> packed.tail_shift) == packed.tail.bytes;
      } else if (p >= at && is_ascii_bytes(begin_ + p - at, at)) {
        tail = lowers_to(begin_ + p - at, CONTEXT_SWITCH_PHRASES[i].substr(0, at));
      }
      if (tail) counts_.phrases |= 1u << i;
    }
  }

  // The ASCII end of the lower-cased text before p: kTailBytes bytes or more
  // unless the start of the text or a non-ASCII lower-case byte comes first.
  // Written right-aligned into `buffer`.
  std::string_view lowered_before(std::size_t p, char* buffer, std::size_t capacity) const {
    char* const buffer_end = buffer + capacity;
    char* out = buffer_end;
    std::string scratch;
    while (p > 0 && std::size_t(buffer_end - out) < kTailBytes) {
      if (begin_[p - 1] < 0x80) {
        *--out = char(ascii_lower(begin_[p - 1]));
        --p;
        continue;
      }
      std::size_t start = p - 1;
      while (start > 0 && p - start < 4 && (begin_[start] & 0xC0) == 0x80) --start;
      const unicode::Decoded d = decode_at(begin_ + start, begin_ + p);
      if (start + d.length != p) break;  // not a whole character
      const std::string_view lower = lower_non_ascii(begin_ + start, d, scratch);
      std::size_t keep = lower.size();
      while (keep > 0 && Byte(lower[keep - 1]) < 0x80) --keep;
      const std::size_t take = std::min(lower.size() - keep, std::size_t(out - buffer));
      out -= take;
      std::memcpy(out, lower.data() + lower.size() - take, take);
      if (keep > 0 || take < lower.size() - keep) break;
      p = start;
    }
    return {out, std::size_t(buffer_end - out)};
  }

  // The ASCII start of the lower-cased text from p: kHeadBytes bytes or more
  // unless the end of the text or a non-ASCII lower-case byte comes first.
  std::string_view lowered_after(std::size_t p, char* buffer, std::size_t capacity) const {
    std::size_t length = 0;
    std::string scratch;
    while (p < size_ && length < kHeadBytes) {
      if (begin_[p] < 0x80) {
        buffer[length++] = char(ascii_lower(begin_[p]));
        ++p;
        continue;
      }
      const unicode::Decoded d = decode_at(begin_ + p, begin_ + size_);
      const std::string_view lower = lower_non_ascii(begin_ + p, d, scratch);
      std::size_t keep = 0;
      while (keep < lower.size() && Byte(lower[keep]) < 0x80) ++keep;
      keep = std::min(keep, capacity - length);
      std::memcpy(buffer + length, lower.data(), keep);
      length += keep;
      if (keep < lower.size()) break;
      p += d.length;
    }
    return {buffer, length};
  }

  const Byte* begin_;
  std::size_t size_;
  HeuristicCounts counts_;
  bool after_white_ = true;  // the previous character is White_Space (or none)
};

// The block loop. Always inlined, so that each kernel's caller compiles it
// for that kernel's instruction set.
template <ClassifyBlock classify>
[[gnu::always_inline]] inline HeuristicCounts scan(std::string_view text) {
  ScanState state(text);
  const std::size_t size = state.size();
  const Byte* const begin = state.begin();
  std::size_t pos = 0;
  while (pos < size) {
    const unsigned available = unsigned(std::min<std::size_t>(64, size - pos));
    const BlockMasks masks = classify(begin, size, pos);
    std::size_t offset = 0;
    while (offset < available) {
      const std::uint64_t high_ahead = masks.high & bit_range(unsigned(offset), available);
      const unsigned ascii_end =
          high_ahead == 0 ? available : unsigned(__builtin_ctzll(high_ahead));
      if (ascii_end > offset) state.count_ascii(pos, unsigned(offset), ascii_end, masks);
      // A non-ASCII run may end beyond this block; the next block starts there.
      offset = ascii_end == available ? available : state.count_non_ascii(pos + ascii_end) - pos;
    }
    pos += offset;
  }
  return state.counts();
}

HeuristicCounts scan_portable(std::string_view text) { return scan<classify_block_portable>(text); }

#if VELTAR_X86_KERNELS
// The block loop compiled with POPCNT and TZCNT; the kernels bring the rest.
[[gnu::target("popcnt,bmi")]] HeuristicCounts scan_avx2(std::string_view text) {
  return scan<classify_block_avx2>(text);
}

[[gnu::target("popcnt,bmi")]] HeuristicCounts scan_avx512(std::string_view text) {
  return scan<classify_block_avx512>(text);
}
#endif

}  // namespace

bool scan_kernel_available(ScanKernel kernel) {
  switch (kernel) {
    case ScanKernel::kPortable:
      return true;
    case ScanKernel::kAvx2: {
#if VELTAR_X86_KERNELS
      static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
               __builtin_cpu_supports("bmi");
      }();
      return supported;
#else
      return false;
#endif
    }
    case ScanKernel::kAvx512: {
#if VELTAR_X86_KERNELS
      static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
      }();
      return supported;
#else
      return false;
#endif
    }
  }
  return false;
}

ScanKernel best_scan_kernel() {
  static const ScanKernel best = scan_kernel_available(ScanKernel::kAvx512) ? ScanKernel::kAvx512
                                 : scan_kernel_available(ScanKernel::kAvx2) ? ScanKernel::kAvx2
                                                                            : ScanKernel::kPortable;
  return best;
}

HeuristicCounts scan_text(std::string_view text, ScanKernel kernel) {
  if (!scan_kernel_available(kernel)) throw Fault("scan kernel not available on this processor");
#if VELTAR_X86_KERNELS
  if (kernel == ScanKernel::kAvx2) return scan_avx2(text);
  if (kernel == ScanKernel::kAvx512) return scan_avx512(text);
#endif
  return scan_portable(text);
}

}  // namespace veltar::firewall
