// Verification of a stored chain of (hash, previous hash) pairs.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace veltar::forensic {

struct ChainVerdict {
  bool valid;
  std::size_t length;     // number of pairs; meaningful when valid
  std::size_t broken_at;  // first pair whose previous hash does not match
                          // (at least 1); meaningful when !valid
  std::string_view expected;  // pairs[broken_at - 1].first when !valid
  std::string_view found;     // pairs[broken_at].second when !valid
};

// Walks `pairs` (each: a record's hash, then its previous hash) in order and
// compares, for i = 1 .. n-1, pairs[i].second with pairs[i-1].first byte for
// byte. Stops at the first mismatch. Pair 0's previous hash is compared with
// nothing, so an empty or one-pair chain is valid. Copies no text: `expected`
// and `found` view into `pairs` and live as long as it does.
ChainVerdict verify_chain(
    std::span<const std::pair<std::string, std::string>> pairs) noexcept;

}  // namespace veltar::forensic
