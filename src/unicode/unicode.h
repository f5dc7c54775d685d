// Unicode 16.0 character data and UTF-8 helpers.
//
// Every predicate answers ASCII from a 128-entry table and everything else
// from the generated range tables (unicode_tables.cc, made by
// tools/gen_unicode_tables.py). Input text is always valid UTF-8: it comes
// from Python's own encoder, so no function here validates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace veltar::unicode {

// An inclusive range of code points.
struct Range {
  char32_t first;
  char32_t last;
};

// Bits of kAsciiTable.
enum AsciiBits : std::uint8_t {
  kAsciiWhiteSpace = 1 << 0,    // White_Space: \t \n \v \f \r and space
  kAsciiAlphanumeric = 1 << 1,  // 0-9 A-Z a-z
  kAsciiWord = 1 << 2,          // 0-9 A-Z a-z _
  kAsciiDigit = 1 << 3,         // 0-9
  kAsciiUpper = 1 << 4,         // A-Z
};
extern const std::uint8_t kAsciiTable[128];

// The generated tables, sorted and non-overlapping.
std::span<const Range> white_space_ranges();     // White_Space
std::span<const Range> decimal_number_ranges();  // general category Nd
std::span<const Range> word_ranges();            // Alphabetic, Mark, Nd, Pc, Join_Control
std::span<const Range> alphanumeric_ranges();    // Alphabetic, Nd, Nl, No (plus ASCII letters/digits)

bool is_white_space(char32_t c);
bool is_decimal_number(char32_t c);
bool is_word(char32_t c);
bool is_alphanumeric(char32_t c);
bool is_cased(char32_t c);            // Cased
bool is_case_ignorable(char32_t c);  // Case_Ignorable

// Simple case folding (CaseFolding.txt statuses C and S).
char32_t simple_case_fold(char32_t c);

// Every code point whose simple case folding equals simple_case_fold(c),
// c itself included, in ascending order. For ASCII letters the only partners
// outside ASCII are U+212A (k) and U+017F (s). The span stays valid for the
// life of the process; calling from several threads at once is safe.
std::span<const char32_t> case_fold_orbit(char32_t c);

// Appends the full lower-case form of `text` to `out`: UnicodeData's simple
// lower-case mappings plus the unconditional SpecialCasing entries (U+0130
// gives "i" U+0307), with capital sigma becoming final sigma where the
// Final_Sigma condition holds. Linear in the length of `text`.
void append_lower(std::string& out, std::string_view text);
std::string to_lower(std::string_view text);

// A decoded character and the number of bytes it took.
struct Decoded {
  char32_t code_point;
  std::uint32_t length;
};

// Decodes the character starting at `p`; `p` must point into valid UTF-8
// with at least one byte left.
inline Decoded decode_utf8(const unsigned char* p) {
  const unsigned b0 = p[0];
  if (b0 < 0x80) return {b0, 1};
  if (b0 < 0xE0) return {char32_t(((b0 & 0x1F) << 6) | (p[1] & 0x3F)), 2};
  if (b0 < 0xF0) {
    return {char32_t(((b0 & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F)), 3};
  }
  return {char32_t(((b0 & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) |
                   (p[3] & 0x3F)),
          4};
}

// Appends the UTF-8 form of `c`. Throws Fault for a surrogate or a value
// beyond U+10FFFF, which no valid text contains.
void append_utf8(std::string& out, char32_t c);

}  // namespace veltar::unicode
