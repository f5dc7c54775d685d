// Candidate regions: the only stretches of a text where a detector can match.
//
// Every match of the five numeric detectors (credit_card, ssn, phone, iban,
// ip_address) is made of Nd digits, White_Space, "-", ".", "(", ")", "+" and
// ASCII capitals only, and holds at least one digit; every e-mail match is
// made of ASCII letters, digits and "._%+-@" and holds an "@". A match can
// therefore never cross a character outside its alphabet, and lies inside one
// maximal run of its alphabet: searching those runs one by one, in order,
// finds exactly the matches a search of the whole text finds. Runs whose
// character counts cannot hold a match (fewer digits than the shortest match
// has, say) are dropped before any regular expression runs.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace veltar::pii {

// A maximal run of one alphabet, with the counts the requirements test.
struct Region {
  std::size_t begin = 0;
  std::size_t end = 0;  // one past the last byte
  std::size_t digits = 0;
  std::size_t dots = 0;
  std::size_t hyphens = 0;
  std::size_t capitals = 0;
};

enum class Alphabet { kEmail, kNumeric };

// What every match of a detector holds at least.
struct Requirement {
  Alphabet alphabet = Alphabet::kNumeric;
  std::size_t digits = 0;
  std::size_t dots = 0;
  std::size_t hyphens = 0;
  std::size_t capitals = 0;

  bool admits(const Region& region) const {
    return region.digits >= digits && region.dots >= dots && region.hyphens >= hyphens &&
           region.capitals >= capitals;
  }
};

// The requirement of the detector of `category`; nullptr for a category this
// unit knows nothing about (its detector then runs over the whole text).
const Requirement* requirement_for(std::string_view category);

// The maximal runs of numeric-detector characters that hold at least one
// digit, in text order. `text` is valid UTF-8.
std::vector<Region> numeric_regions(std::string_view text);

// The same for the bytes [begin, end) of `text`, appended to `out`; the
// characters at begin - 1 and at end must be outside the alphabet (or the
// text's ends).
void append_numeric_regions(std::string_view text, std::size_t begin, std::size_t end,
                            std::vector<Region>& out);

// A replaced stretch [begin, end) of the text before a replacement.
struct Span {
  std::size_t begin;
  std::size_t end;
};

// Whether numeric_regions_after may be used with `token`: an ASCII token
// with no digit whose first and last characters are outside the numeric
// alphabet, so that it neither forms nor joins a region with a digit.
bool is_inert_token(std::string_view token);

// The numeric regions of `replaced_text`, the text whose numeric regions
// were `regions` with every stretch of `spans` (in order, not overlapping,
// each inside one region) replaced by the inert `token`. Rescans only the
// regions that held a replaced stretch.
std::vector<Region> numeric_regions_after(std::string_view replaced_text,
                                          const std::vector<Region>& regions,
                                          const std::vector<Span>& spans, std::string_view token);

// The maximal runs of e-mail characters that hold at least one "@".
std::vector<Region> email_regions(std::string_view text);

// The start of the next chunk of a text cut for region-wise work: the first
// ASCII byte outside the numeric alphabet at or after `from` + `size`, or the
// end of the text. Such a byte lies in no numeric region and no replacement
// ever changes it, so the chunks of a text can be worked on one by one.
std::size_t next_chunk(std::string_view text, std::size_t from, std::size_t size);

// The byte length of the character at `at`, or 0 at the end of the text.
std::size_t char_length_at(std::string_view text, std::size_t at);

}  // namespace veltar::pii
