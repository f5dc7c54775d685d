#include "forensic/chain_verify.h"

namespace veltar::forensic {

ChainVerdict verify_chain(
    std::span<const std::pair<std::string, std::string>> pairs) noexcept {
  for (std::size_t i = 1; i < pairs.size(); ++i) {
    const std::string& expected = pairs[i - 1].first;
    const std::string& found = pairs[i].second;
    if (found != expected) {
      return {.valid = false,
              .length = pairs.size(),
              .broken_at = i,
              .expected = expected,
              .found = found};
    }
  }
  return {.valid = true,
          .length = pairs.size(),
          .broken_at = 0,
          .expected = {},
          .found = {}};
}

}  // namespace veltar::forensic
