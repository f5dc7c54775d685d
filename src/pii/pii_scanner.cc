#include "pii/pii_scanner.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "pii/pii_catalogue.h"
#include "pii/candidate_regions.h"

namespace veltar::pii {
namespace {

// Texts are worked on in chunks of about this many bytes (see next_chunk),
// so that the regions and buffers of one chunk stay small and are reused.
constexpr std::size_t kChunkSize = 32 * 1024;

// Calls on_match(start, end) for every match that a search of the whole of
// `text` resuming at the end of each match would find among `regions`, in
// order. `regions` are regions of `text` (see candidate_regions.h for why
// searching them finds every match).
template <class OnMatch>
void for_each_match_in(const PiiPattern& detector, std::string_view text,
                       const Requirement* requirement, const std::vector<Region>& regions,
                       OnMatch on_match) {
  std::size_t start = 0;
  std::size_t end = 0;
  for (const Region& region : regions) {
    if (requirement != nullptr && !requirement->admits(region)) continue;
    // The character after the region is outside the alphabet, so no match
    // reaches it, but look-ahead at the region's end must still see it.
    const std::string_view subject = text.substr(0, region.end + char_length_at(text, region.end));
    std::size_t from = region.begin;
    while (from <= region.end && detector.pattern.find(subject, from, start, end)) {
      on_match(start, end);
      // No catalogue pattern matches the empty string; step over one
      // character if one ever did, as a whole-text count would.
      from = end > start ? end : end + std::max<std::size_t>(char_length_at(subject, end), 1);
    }
  }
}

// The one region of a detector without a requirement: the whole text.
std::vector<Region> whole(std::string_view text) { return {Region{0, text.size(), 0, 0, 0, 0}}; }

bool is_numeric(const Requirement* requirement) {
  return requirement != nullptr && requirement->alphabet == Alphabet::kNumeric;
}

// Replaces the matches of `detector` in `input` (found among `regions`) by
// its token, writing the result to `output`; returns the number replaced and
// records the replaced stretches in `spans`.
std::size_t replace_in(const PiiPattern& detector, std::string_view input,
                       const Requirement* requirement, const std::vector<Region>& regions,
                       std::string& output, std::vector<Span>& spans) {
  output.clear();
  spans.clear();
  std::size_t copied = 0;
  for_each_match_in(detector, input, requirement, regions, [&](std::size_t start, std::size_t end) {
    output.append(input.substr(copied, start - copied));
    output.append(detector.replacement);
    copied = end;
    spans.push_back({start, end});
  });
  if (!spans.empty()) output.append(input.substr(copied));
  return spans.size();
}

void note_matches(PiiOutcome& outcome, const std::vector<PiiPattern>& patterns,
                  const std::vector<std::size_t>& counts) {
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (counts[i] == 0) continue;
    outcome.categories.push_back(patterns[i].category);
    outcome.details.emplace_back(patterns[i].category, counts[i]);
    outcome.count += counts[i];
  }
}

}  // namespace

PiiScanner::PiiScanner() { PII_PATTERNS(); }

std::size_t PiiScanner::pattern_count() { return PII_PATTERNS().size(); }

PiiOutcome PiiScanner::scan(std::string_view text) const {
  const std::vector<PiiPattern>& patterns = PII_PATTERNS();
  std::vector<std::size_t> counts(patterns.size(), 0);
  bool any_numeric = false;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    const Requirement* requirement = requirement_for(patterns[i].category);
    if (is_numeric(requirement)) {
      any_numeric = true;
      continue;
    }
    const std::vector<Region> regions = requirement == nullptr ? whole(text) : email_regions(text);
    for_each_match_in(patterns[i], text, requirement, regions,
                      [&](std::size_t, std::size_t) { ++counts[i]; });
  }
  // Every numeric detector reads the same text: find each chunk's regions
  // once and let all of them search it.
  std::vector<Region> regions;
  for (std::size_t begin = 0; any_numeric && begin < text.size();) {
    const std::size_t end = next_chunk(text, begin, kChunkSize);
    regions.clear();
    append_numeric_regions(text, begin, end, regions);
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      const Requirement* requirement = requirement_for(patterns[i].category);
      if (!is_numeric(requirement)) continue;
      for_each_match_in(patterns[i], text, requirement, regions,
                        [&](std::size_t, std::size_t) { ++counts[i]; });
    }
    begin = end;
  }
  PiiOutcome outcome;
  note_matches(outcome, patterns, counts);
  outcome.redacted_text.assign(text);
  return outcome;
}

PiiOutcome PiiScanner::redact(std::string_view text) {
  ++total_scans_;
  const std::vector<PiiPattern>& patterns = PII_PATTERNS();
  std::vector<std::size_t> counts(patterns.size(), 0);
  std::string current;  // the redacted text once a detector has matched
  bool replaced = false;
  std::string output;
  std::vector<Span> spans;
  std::vector<Region> regions;
  // Piece buffers of one chunk, reused from chunk to chunk.
  std::string piece;
  std::string next_piece;

  for (std::size_t first = 0; first < patterns.size();) {
    const std::string_view input = replaced ? std::string_view(current) : text;
    if (!is_numeric(requirement_for(patterns[first].category))) {
      const Requirement* requirement = requirement_for(patterns[first].category);
      regions = requirement == nullptr ? whole(input) : email_regions(input);
      counts[first] = replace_in(patterns[first], input, requirement, regions, output, spans);
      if (counts[first] > 0) {
        current.swap(output);
        replaced = true;
      }
      ++first;
      continue;
    }
    // A run of numeric detectors is applied chunk by chunk: each chunk
    // passes through every detector of the run in table order, which gives
    // the text that applying each detector to the whole text in turn gives,
    // since no match and no replacement crosses a chunk's first byte.
    std::size_t last = first;
    while (last < patterns.size() && is_numeric(requirement_for(patterns[last].category))) ++last;
    std::string result;
    bool changed = false;
    for (std::size_t begin = 0; begin < input.size();) {
      const std::size_t end = next_chunk(input, begin, kChunkSize);
      // The piece carries the next chunk's first byte, which look-ahead at
      // the chunk's end must see; it is outside every region.
      piece.assign(input.substr(begin, end - begin + char_length_at(input, end)));
      const std::size_t tail = piece.size() - (end - begin);
      regions.clear();
      append_numeric_regions(piece, 0, end - begin, regions);
      for (std::size_t i = first; i < last; ++i) {
        const Requirement* requirement = requirement_for(patterns[i].category);
        const std::size_t found = replace_in(patterns[i], piece, requirement, regions, next_piece, spans);
        if (found == 0) continue;
        counts[i] += found;
        changed = true;
        if (is_inert_token(patterns[i].replacement)) {
          regions = numeric_regions_after(next_piece, regions, spans, patterns[i].replacement);
        } else {
          regions.clear();
          append_numeric_regions(next_piece, 0, next_piece.size() - tail, regions);
        }
        piece.swap(next_piece);
      }
      if (changed && result.empty()) {
        result.reserve(input.size());
        result.append(input.substr(0, begin));
      }
      if (changed) result.append(std::string_view(piece).substr(0, piece.size() - tail));
      begin = end;
    }
    if (changed) {
      current = std::move(result);
      replaced = true;
    }
    first = last;
  }

  PiiOutcome outcome;
  note_matches(outcome, patterns, counts);
  total_redactions_ += outcome.count;
  if (replaced) {
    outcome.redacted_text = std::move(current);
  } else {
    outcome.redacted_text.assign(text);
  }
  return outcome;
}

}  // namespace veltar::pii
