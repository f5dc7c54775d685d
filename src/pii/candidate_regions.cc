#include "pii/candidate_regions.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "unicode/unicode.h"

namespace veltar::pii {
namespace {

enum : std::uint8_t {
  kNumericMember = 1 << 0,
  kDigit = 1 << 1,
  kDot = 1 << 2,
  kHyphen = 1 << 3,
  kCapital = 1 << 4,
  kEmailMember = 1 << 5,
};

constexpr std::array<std::uint8_t, 128> make_ascii_classes() {
  std::array<std::uint8_t, 128> table{};
  for (char c : std::string_view("\t\n\v\f\r ()+")) table[static_cast<unsigned char>(c)] |= kNumericMember;
  for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] |= kNumericMember | kDigit | kEmailMember;
  for (char c = 'A'; c <= 'Z'; ++c) table[static_cast<unsigned char>(c)] |= kNumericMember | kCapital | kEmailMember;
  for (char c = 'a'; c <= 'z'; ++c) table[static_cast<unsigned char>(c)] |= kEmailMember;
  table['.'] |= kNumericMember | kDot | kEmailMember;
  table['-'] |= kNumericMember | kHyphen | kEmailMember;
  for (char c : std::string_view("_%+@")) table[static_cast<unsigned char>(c)] |= kEmailMember;
  return table;
}

constexpr std::array<std::uint8_t, 128> kAsciiClasses = make_ascii_classes();

// Shortest matches: credit_card 16 digits; ssn 9 digits and 2 "-"; phone
// 2 + 3 + 3 digits; iban 2 capitals and 2 + 7 digits; ip_address 4 digits
// and 3 ".".
struct Known {
  std::string_view category;
  Requirement requirement;
};
constexpr Known kKnown[] = {
    {"email", {Alphabet::kEmail, 0, 0, 0, 0}},
    {"credit_card", {Alphabet::kNumeric, 16, 0, 0, 0}},
    {"ssn", {Alphabet::kNumeric, 9, 0, 2, 0}},
    {"phone", {Alphabet::kNumeric, 8, 0, 0, 0}},
    {"iban", {Alphabet::kNumeric, 9, 0, 0, 2}},
    {"ip_address", {Alphabet::kNumeric, 4, 3, 0, 0}},
};

bool is_email_member(unsigned char byte) {
  return byte < 0x80 && (kAsciiClasses[byte] & kEmailMember) != 0;
}

}  // namespace

const Requirement* requirement_for(std::string_view category) {
  for (const Known& known : kKnown) {
    if (known.category == category) return &known.requirement;
  }
  return nullptr;
}

std::vector<Region> numeric_regions(std::string_view text) {
  std::vector<Region> regions;
  append_numeric_regions(text, 0, text.size(), regions);
  return regions;
}

namespace {

// The numeric classes of the character at `at` and its length.
struct Classified {
  std::uint8_t classes;
  std::size_t length;
};

Classified classify(const unsigned char* bytes, std::size_t at) {
  if (bytes[at] < 0x80) return {kAsciiClasses[bytes[at]], 1};
  const unicode::Decoded decoded = unicode::decode_utf8(bytes + at);
  if (unicode::is_decimal_number(decoded.code_point)) {
    return {static_cast<std::uint8_t>(kNumericMember | kDigit), decoded.length};
  }
  return {static_cast<std::uint8_t>(unicode::is_white_space(decoded.code_point) ? kNumericMember : 0),
          decoded.length};
}

void count_into(Region& region, std::uint8_t classes) {
  region.digits += (classes & kDigit) != 0;
  region.dots += (classes & kDot) != 0;
  region.hyphens += (classes & kHyphen) != 0;
  region.capitals += (classes & kCapital) != 0;
}

// The first byte at or after `at` (before `end`) that is an ASCII digit or
// not ASCII: the only places a region with a digit can be seen from.
std::size_t next_seed(const unsigned char* bytes, std::size_t at, std::size_t end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  while (at + 8 <= end) {
    std::uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    // A byte b is flagged when b >= 0x80, or when b - '0' < 10 as a 7-bit
    // value: ((b | 0x80) - '0') keeps the high bit exactly when b >= '0' for
    // 7-bit b, and ((b | 0x80) - ':') clears it exactly when b < ':'.
    const std::uint64_t low = word & ~kHigh;
    const std::uint64_t at_least_0 = ((low | kHigh) - '0' * kOnes) & kHigh;
    const std::uint64_t below_colon = ~((low | kHigh) - ':' * kOnes) & kHigh;
    const std::uint64_t flagged = (word & kHigh) | (at_least_0 & below_colon);
    if (flagged != 0) return at + static_cast<std::size_t>(__builtin_ctzll(flagged) / 8);
    at += 8;
  }
  while (at < end && !(bytes[at] >= 0x80 || (bytes[at] >= '0' && bytes[at] <= '9'))) ++at;
  return at;
}

}  // namespace

void append_numeric_regions(std::string_view text, std::size_t begin, std::size_t end,
                            std::vector<Region>& regions) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  // Regions are found from their digits: the search skips to the next byte
  // that can start a digit, then grows the region both ways. Everything
  // before `done` belongs to a region already found or to none.
  std::size_t done = begin;
  std::size_t at = begin;
  while ((at = next_seed(bytes, at, end)) < end) {
    const Classified seed = classify(bytes, at);
    if (!(seed.classes & kDigit)) {
      at += seed.length;
      continue;
    }
    Region region{at, at, 0, 0, 0, 0};
    // Grow to the left over members, one character at a time.
    while (region.begin > done) {
      std::size_t previous = region.begin - 1;
      while (previous > done && (bytes[previous] & 0xC0) == 0x80) --previous;
      const Classified before = classify(bytes, previous);
      if (!(before.classes & kNumericMember)) break;
      count_into(region, before.classes);
      region.begin = previous;
    }
    // Grow to the right from the seed.
    std::size_t i = at;
    while (i < end) {
      const Classified here = classify(bytes, i);
      if (!(here.classes & kNumericMember)) break;
      count_into(region, here.classes);
      i += here.length;
    }
    region.end = i;
    regions.push_back(region);
    done = at = i;
  }
}

bool is_inert_token(std::string_view token) {
  if (token.empty()) return false;
  for (char c : token) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 || (kAsciiClasses[byte] & kDigit) != 0) return false;
  }
  const auto first = static_cast<unsigned char>(token.front());
  const auto last = static_cast<unsigned char>(token.back());
  return (kAsciiClasses[first] & kNumericMember) == 0 && (kAsciiClasses[last] & kNumericMember) == 0;
}

std::vector<Region> numeric_regions_after(std::string_view replaced_text,
                                          const std::vector<Region>& regions,
                                          const std::vector<Span>& spans, std::string_view token) {
  std::vector<Region> result;
  result.reserve(regions.size());
  // Old positions map to new ones by the growth of the stretches before them.
  std::ptrdiff_t shift = 0;
  const auto growth = static_cast<std::ptrdiff_t>(token.size());
  std::size_t next = 0;
  for (const Region& region : regions) {
    if (next == spans.size() || spans[next].begin >= region.end) {
      Region moved = region;
      moved.begin = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(region.begin) + shift);
      moved.end = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(region.end) + shift);
      result.push_back(moved);
      continue;
    }
    // The pieces of the region between its tokens are rescanned; the tokens
    // themselves hold no region with a digit and separate the pieces.
    std::size_t piece = region.begin;
    while (next < spans.size() && spans[next].begin < region.end) {
      const Span& span = spans[next];
      append_numeric_regions(replaced_text, static_cast<std::size_t>(static_cast<std::ptrdiff_t>(piece) + shift),
                             static_cast<std::size_t>(static_cast<std::ptrdiff_t>(span.begin) + shift), result);
      shift += growth - static_cast<std::ptrdiff_t>(span.end - span.begin);
      piece = span.end;
      ++next;
    }
    append_numeric_regions(replaced_text, static_cast<std::size_t>(static_cast<std::ptrdiff_t>(piece) + shift),
                           static_cast<std::size_t>(static_cast<std::ptrdiff_t>(region.end) + shift), result);
  }
  return result;
}

std::vector<Region> email_regions(std::string_view text) {
  std::vector<Region> regions;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t from = 0;  // nothing before this belongs to a later region
  while (from < text.size()) {
    const void* found = std::memchr(bytes + from, '@', text.size() - from);
    if (found == nullptr) break;
    std::size_t begin = static_cast<const unsigned char*>(found) - bytes;
    std::size_t end = begin + 1;
    while (begin > from && is_email_member(bytes[begin - 1])) --begin;
    while (end < text.size() && is_email_member(bytes[end])) ++end;
    regions.push_back(Region{begin, end, 0, 0, 0, 0});
    from = end;
  }
  return regions;
}

std::size_t next_chunk(std::string_view text, std::size_t from, std::size_t size) {
  std::size_t at = from + size;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80 && (kAsciiClasses[byte] & kNumericMember) == 0) return at;
    ++at;
  }
  return text.size();
}

std::size_t char_length_at(std::string_view text, std::size_t at) {
  if (at >= text.size()) return 0;
  return unicode::decode_utf8(reinterpret_cast<const unsigned char*>(text.data()) + at).length;
}

}  // namespace veltar::pii
