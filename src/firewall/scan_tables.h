// Compile-time tables of the heuristic scan (heuristic_scan.cc and its block
// kernels, scan_kernels.cc), all derived from the tables of heuristics.h,
// with compile-time checks that they stay exact if those tables change.
// Internal to the firewall unit.
//
// Why a few bytes around certain positions are enough:
// - Keywords: the fifteen keywords differ in their first two letters, so the
//   first two lower-cased letters of a word name the only keyword it can be.
// - Phrases: every context-switch phrase has a first non-letter byte, its
//   anchor (U+0020 or ':'), and no character other than U+0020 and ':'
//   lower-cases to a text holding those bytes. So every occurrence in the
//   lower-cased text lies around an anchor in the original text, and only
//   the lower-cased bytes next to that anchor need to be built.
// - Markers: matched byte for byte, found through their first non-letter.
// - Lower-casing one character at a time gives what lower-casing the whole
//   text gives, except for capital sigma, whose two lower-case forms are both
//   non-ASCII and so equally unable to be part of a keyword or phrase.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "firewall/heuristics.h"

namespace veltar::firewall {

using Byte = unsigned char;

constexpr bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_ascii_lower(char c) { return c >= 'a' && c <= 'z'; }
constexpr bool is_ascii_white(Byte b) { return b == ' ' || (b >= 0x09 && b <= 0x0D); }
constexpr bool is_ascii_alphanumeric(Byte b) {
  return is_ascii_letter(char(b)) || (b >= '0' && b <= '9');
}
// False for every byte >= 0x80.
constexpr bool is_ascii_special(Byte b) {
  return b < 0x80 && !is_ascii_white(b) && !is_ascii_alphanumeric(b) &&
         PLAIN_PUNCTUATION.find(char(b)) == std::string_view::npos;
}
constexpr Byte ascii_lower(Byte b) { return b >= 'A' && b <= 'Z' ? Byte(b + ('a' - 'A')) : b; }

constexpr std::size_t longest(const auto& table) {
  std::size_t n = 0;
  for (std::string_view s : table) n = std::max(n, s.size());
  return n;
}

// ---- Imperative words ----

constexpr std::size_t kMaxSuffixBytes = longest(IMPERATIVE_SUFFIXES);
constexpr std::size_t kMaxWordBytes = longest(IMPERATIVE_KEYWORDS) + kMaxSuffixBytes;
static_assert(kMaxSuffixBytes <= 3);

// Bytes alias in groups of four (a letter, its capital and two others); a
// full comparison always follows a lookup.
constexpr std::size_t pair_index(Byte first, Byte second) {
  return (std::size_t(first & 0x1F) << 5) | (second & 0x1F);
}

// Keyword index + 1 by the first two letters, 0 for none.
constexpr std::array<std::uint8_t, 1024> kKeywordByPair = [] {
  std::array<std::uint8_t, 1024> table{};
  for (std::size_t i = 0; i < IMPERATIVE_KEYWORDS.size(); ++i) {
    const std::string_view k = IMPERATIVE_KEYWORDS[i];
    if (k.size() < 2 || !is_ascii_lower(k[0]) || !is_ascii_lower(k[1])) {
      throw "keywords start with two lower-case letters";
    }
    auto& slot = table[pair_index(Byte(k[0]), Byte(k[1]))];
    if (slot != 0) throw "keywords must differ in their first two letters";
    slot = std::uint8_t(i + 1);
  }
  return table;
}();

// A text of at most three bytes packed with its length.
constexpr std::uint32_t pack_suffix(const char* bytes, std::size_t length) {
  std::uint32_t code = std::uint32_t(length) << 24;
  for (std::size_t i = 0; i < length; ++i) code |= std::uint32_t(Byte(bytes[i])) << (8 * i);
  return code;
}

constexpr auto kSuffixCodes = [] {
  std::array<std::uint32_t, IMPERATIVE_SUFFIXES.size()> codes{};
  for (std::size_t i = 0; i < codes.size(); ++i) {
    codes[i] = pack_suffix(IMPERATIVE_SUFFIXES[i].data(), IMPERATIVE_SUFFIXES[i].size());
  }
  return codes;
}();

inline bool is_suffix(const char* bytes, std::size_t length) {
  if (length > kMaxSuffixBytes) return false;
  const std::uint32_t code = pack_suffix(bytes, length);
  return std::find(kSuffixCodes.begin(), kSuffixCodes.end(), code) != kSuffixCodes.end();
}

// Whether a[0, b.size()) equals b.
inline bool same_bytes(const char* a, std::string_view b) {
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Whether a lower-cased word is a keyword followed by a suffix.
inline bool is_imperative_lowered(const char* word, std::size_t length) {
  if (length < 2) return false;
  const unsigned entry = kKeywordByPair[pair_index(Byte(word[0]), Byte(word[1]))];
  if (entry == 0) return false;
  const std::string_view keyword = IMPERATIVE_KEYWORDS[entry - 1];
  return length >= keyword.size() && same_bytes(word, keyword) &&
         is_suffix(word + keyword.size(), length - keyword.size());
}

// ---- Packed texts ----
//
// Up to eight bytes of text as one little-endian word (byte i in bits 8i to
// 8i + 7), so that a short comparison is one mask and one compare.

struct PackedText {
  std::uint64_t bytes = 0;
  std::uint64_t mask = 0;
};

constexpr PackedText pack8(std::string_view s) {
  if (s.size() > 8) throw "at most eight bytes pack into a word";
  PackedText p;
  for (std::size_t i = 0; i < s.size(); ++i) {
    p.bytes |= std::uint64_t(Byte(s[i])) << (8 * i);
    p.mask |= std::uint64_t(0xFF) << (8 * i);
  }
  return p;
}

constexpr auto kPackedKeywords = [] {
  std::array<PackedText, IMPERATIVE_KEYWORDS.size()> packed{};
  for (std::size_t i = 0; i < packed.size(); ++i) packed[i] = pack8(IMPERATIVE_KEYWORDS[i]);
  return packed;
}();

// ---- Anchors ----

constexpr std::size_t first_non_letter(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!is_ascii_letter(s[i])) return i;
  }
  throw "every phrase and marker needs a non-letter byte";
}

template <std::size_t N>
constexpr std::array<std::size_t, N> anchor_positions(const std::array<std::string_view, N>& t) {
  std::array<std::size_t, N> at{};
  for (std::size_t i = 0; i < N; ++i) at[i] = first_non_letter(t[i]);
  return at;
}
constexpr auto kPhraseAnchor = anchor_positions(CONTEXT_SWITCH_PHRASES);
constexpr auto kMarkerAnchor = anchor_positions(ENCODING_MARKERS);

constexpr std::uint32_t kAllPhrases = (1u << CONTEXT_SWITCH_PHRASES.size()) - 1;
constexpr std::uint32_t kAllMarkers = (1u << ENCODING_MARKERS.size()) - 1;

// Lower-cased bytes needed before and after a phrase anchor.
constexpr std::size_t kTailBytes = [] {
  std::size_t n = 0;
  for (std::size_t a : kPhraseAnchor) n = std::max(n, a);
  return n;
}();
constexpr std::size_t kHeadBytes = [] {
  std::size_t n = 0;
  for (std::size_t i = 0; i < kPhraseAnchor.size(); ++i) {
    n = std::max(n, CONTEXT_SWITCH_PHRASES[i].size() - kPhraseAnchor[i] - 1);
  }
  return n;
}();

// Per phrase: its bytes before the anchor, right-aligned in a word (so that
// they compare with the eight bytes before an anchor shifted right), when
// there are at most eight; and its bytes after the anchor.
struct PackedPhrase {
  bool short_tail = false;
  unsigned tail_shift = 0;
  PackedText tail;
  PackedText head;
};

constexpr auto kPackedPhrases = [] {
  std::array<PackedPhrase, CONTEXT_SWITCH_PHRASES.size()> packed{};
  for (std::size_t i = 0; i < packed.size(); ++i) {
    const std::string_view phrase = CONTEXT_SWITCH_PHRASES[i];
    const std::size_t at = kPhraseAnchor[i];
    packed[i].short_tail = at >= 1 && at <= 8;
    if (packed[i].short_tail) {
      packed[i].tail_shift = unsigned(8 * (8 - at));
      packed[i].tail = pack8(phrase.substr(0, at));
    }
    packed[i].head = pack8(phrase.substr(at + 1));
  }
  return packed;
}();

// Anchors checked wherever they stand: the markers' anchors and the phrase
// anchors other than U+0020.
constexpr bool is_plain_anchor(Byte b) {
  for (std::size_t i = 0; i < CONTEXT_SWITCH_PHRASES.size(); ++i) {
    const char c = CONTEXT_SWITCH_PHRASES[i][kPhraseAnchor[i]];
    if (c != ' ' && Byte(c) == b) return true;
  }
  for (std::size_t i = 0; i < ENCODING_MARKERS.size(); ++i) {
    if (Byte(ENCODING_MARKERS[i][kMarkerAnchor[i]]) == b) return true;
  }
  return false;
}

// Bytes that may stand right before a phrase anchor: the last letter of a
// phrase's first word (either case), or any byte >= 0x80.
constexpr std::array<bool, 256> kMayEndFirstWord = [] {
  std::array<bool, 256> table{};
  for (unsigned b = 0x80; b < 256; ++b) table[b] = true;
  for (std::size_t i = 0; i < CONTEXT_SWITCH_PHRASES.size(); ++i) {
    const std::size_t a = kPhraseAnchor[i];
    if (a == 0) throw "a phrase must not start with its anchor";
    const char last = CONTEXT_SWITCH_PHRASES[i][a - 1];
    if (!is_ascii_lower(last)) throw "a phrase's first word must end in a lower-case letter";
    table[Byte(last)] = true;
    table[Byte(last & ~0x20)] = true;  // its capital: phrases are lower-case letters
  }
  return table;
}();

// ---- Nibble tables ----
//
// A byte b belongs to bit k of a table when both low[b & 15] and
// high[b >> 4] hold bit k: a set of bytes per bit that is a product of a set
// of low nibbles and a set of high nibbles. high[8..15] stay empty, so no
// byte >= 0x80 belongs to any bit. This is what a pair of byte shuffles
// computes sixteen or thirty-two bytes at a time.
struct NibbleTable {
  std::array<Byte, 16> low{};
  std::array<Byte, 16> high{};
  unsigned bits_used = 0;

  constexpr Byte lookup(Byte b) const { return Byte(low[b & 0x0F] & high[b >> 4]); }

  // Adds the ASCII bytes for which member(b) holds, one new bit per distinct
  // set of low nibbles; returns the bits added.
  constexpr Byte add(auto member) {
    std::array<std::uint16_t, 8> rows{};
    for (unsigned b = 0; b < 0x80; ++b) {
      if (member(Byte(b))) rows[b >> 4] = std::uint16_t(rows[b >> 4] | (1u << (b & 0x0F)));
    }
    Byte added = 0;
    std::array<bool, 8> done{};
    for (unsigned h = 0; h < 8; ++h) {
      if (rows[h] == 0 || done[h]) continue;
      if (bits_used == 8) throw "a nibble table has eight bits";
      const Byte bit = Byte(1u << bits_used++);
      for (unsigned g = h; g < 8; ++g) {
        if (rows[g] != rows[h]) continue;
        high[g] |= bit;
        done[g] = true;
      }
      for (unsigned l = 0; l < 16; ++l) {
        if ((rows[h] >> l) & 1) low[l] |= bit;
      }
      added |= bit;
    }
    return added;
  }
};

// Per byte: white space other than U+0020, other plain bytes, plain anchors.
struct ClassTable {
  NibbleTable table;
  Byte white = 0;
  Byte other_plain = 0;
  Byte anchor = 0;
};

constexpr ClassTable kClassTable = [] {
  ClassTable c;
  c.white = c.table.add([](Byte b) { return is_ascii_white(b) && b != ' '; });
  c.other_plain = c.table.add([](Byte b) { return !is_ascii_white(b) && !is_ascii_special(b); });
  c.anchor = c.table.add(is_plain_anchor);
  return c;
}();

// Tables for byte sequences: sequence k owns bit k of every table, and
// table j holds the bytes that may stand at position j of the sequence.
// Bytes b0, b1, ... may form a sequence when the lookups of b0 in table 0,
// of b1 in table 1, and so on share a bit.
template <std::size_t Positions>
struct SequenceTables {
  std::array<NibbleTable, Positions> at;
  unsigned sequences = 0;

  // member(j, b): whether byte b may stand at position j.
  constexpr void add(auto member) {
    const Byte bit = Byte(1u << sequences++);
    for (std::size_t j = 0; j < Positions; ++j) {
      if (at[j].add([&](Byte b) { return member(j, b); }) != bit) throw "sequence bits out of step";
    }
  }

  // Whether the tables hold exactly member(j, b) for sequence k.
  constexpr bool holds(unsigned k, auto member) const {
    for (std::size_t j = 0; j < Positions; ++j) {
      for (unsigned b = 0; b < 256; ++b) {
        const bool in = (at[j].lookup(Byte(b)) >> k & 1) != 0;
        if (in != (b < 0x80 && member(j, Byte(b)))) return false;
      }
    }
    return true;
  }
};

// Word starts: the first three bytes of a keyword (any byte past a shorter
// one), eight keywords a table.
constexpr std::size_t kKeywordStartBytes = 3;

constexpr bool keyword_byte(std::size_t keyword, std::size_t position, Byte b) {
  const std::string_view k = IMPERATIVE_KEYWORDS[keyword];
  return position >= k.size() || ascii_lower(b) == Byte(k[position]);
}

using KeywordStartTables = SequenceTables<kKeywordStartBytes>;

constexpr std::array<KeywordStartTables, 2> kKeywordStarts = [] {
  static_assert(IMPERATIVE_KEYWORDS.size() <= 16);
  std::array<KeywordStartTables, 2> tables{};
  for (std::size_t k = 0; k < IMPERATIVE_KEYWORDS.size(); ++k) {
    tables[k / 8].add([k](std::size_t j, Byte b) { return keyword_byte(k, j, b); });
  }
  return tables;
}();

// Phrases anchored at U+0020, around the anchor: the three bytes before it
// and the one after it (any byte where the phrase ends at the anchor).
constexpr std::array<int, 4> kSpacePhraseOffsets = {-3, -2, -1, 1};

constexpr auto kSpacePhrases = [] {
  std::array<std::size_t, 8> list{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < CONTEXT_SWITCH_PHRASES.size(); ++i) {
    if (CONTEXT_SWITCH_PHRASES[i][kPhraseAnchor[i]] != ' ') continue;
    if (count == list.size()) throw "at most eight phrases anchored at U+0020";
    if (kPhraseAnchor[i] < 3) throw "a phrase needs three letters before U+0020";
    list[count++] = i;
  }
  return std::pair{list, count};
}();

constexpr bool space_phrase_byte(std::size_t nth, std::size_t position, Byte b) {
  const std::size_t phrase = kSpacePhrases.first[nth];
  const std::string_view text = CONTEXT_SWITCH_PHRASES[phrase];
  const std::size_t at = std::size_t(int(kPhraseAnchor[phrase]) + kSpacePhraseOffsets[position]);
  return at >= text.size() || ascii_lower(b) == Byte(text[at]);
}

constexpr SequenceTables<4> kSpacePhraseTables = [] {
  SequenceTables<4> tables;
  for (std::size_t n = 0; n < kSpacePhrases.second; ++n) {
    tables.add([n](std::size_t j, Byte b) { return space_phrase_byte(n, j, b); });
  }
  return tables;
}();

// The tables agree with the predicates they stand for, for every byte.
constexpr bool nibble_tables_exact() {
  for (unsigned v = 0; v < 256; ++v) {
    const Byte b = Byte(v);
    const Byte cls = kClassTable.table.lookup(b);
    const bool white = (cls & kClassTable.white) != 0 || b == ' ';
    const bool plain = white || (cls & kClassTable.other_plain) != 0;
    if (white != (b < 0x80 && is_ascii_white(b))) return false;
    if (plain != (b < 0x80 && !is_ascii_special(b))) return false;
    if (((cls & kClassTable.anchor) != 0) != is_plain_anchor(b)) return false;
  }
  for (std::size_t k = 0; k < IMPERATIVE_KEYWORDS.size(); ++k) {
    const auto member = [k](std::size_t j, Byte b) { return keyword_byte(k, j, b); };
    if (!kKeywordStarts[k / 8].holds(unsigned(k % 8), member)) return false;
  }
  for (std::size_t n = 0; n < kSpacePhrases.second; ++n) {
    const auto member = [n](std::size_t j, Byte b) { return space_phrase_byte(n, j, b); };
    if (!kSpacePhraseTables.holds(unsigned(n), member)) return false;
  }
  return true;
}
static_assert(nibble_tables_exact());

}  // namespace veltar::firewall
