#include "forensic/hash_chain.h"

#include <time.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include "common/fault.h"
#include "forensic/sha256.h"

namespace veltar::forensic {
namespace {

// Decimal text of an integer without leading zeros, kept on the stack.
class Decimal {
 public:
  template <typename Integer>
  explicit Decimal(Integer value) {
    const auto result =
        std::to_chars(digits_.data(), digits_.data() + digits_.size(), value);
    length_ = static_cast<std::size_t>(result.ptr - digits_.data());
  }
  std::string_view view() const { return {digits_.data(), length_}; }

 private:
  std::array<char, 24> digits_{};  // 20 digits of a uint64 or sign + 19
  std::size_t length_ = 0;
};

}  // namespace

Instant system_clock_now() {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
    throw Fault(std::string("clock_gettime(CLOCK_REALTIME) failed: ") +
                std::strerror(errno));
  }
  return {static_cast<std::int64_t>(now.tv_sec),
          static_cast<std::uint32_t>(now.tv_nsec)};
}

HashChain::HashChain(Clock clock)
    : clock_(clock), last_hash_(kGenesisHash) {
  if (clock_ == nullptr) {
    throw Fault("hash chain created without a clock");
  }
}

ChainRecord HashChain::record(std::string_view event_id,
                              std::string_view data) {
  ++current_sequence_;
  ++total_records_;
  const std::uint64_t sequence = current_sequence_;

  // One reading serves both the text and the milliseconds, so the two can
  // never name different instants.
  const Instant now = clock_();
  if (now.seconds < 0) {
    throw Fault("system time before Unix epoch: clock reads " +
                std::to_string(now.seconds) + " s");
  }
  const std::int64_t millis = to_millis(now);
  std::string timestamp_iso = format_rfc3339(now);

  const Decimal sequence_text(sequence);
  const Decimal millis_text(millis);
  const std::array<std::string_view, 9> hash_input = {
      sequence_text.view(), ":", last_hash_, ":", event_id, ":",
      data,                 ":", millis_text.view()};
  std::string hash = sha256_hex_parts(hash_input);

  ChainRecord result{
      .hash = hash,
      .previous_hash = {},
      .sequence = sequence,
      .timestamp_iso = std::move(timestamp_iso),
      .timestamp_ms = millis,
  };
  // Nothing below can throw: the chain moves to the new hash only once the
  // whole record exists.
  result.previous_hash = std::exchange(last_hash_, std::move(hash));
  return result;
}

}  // namespace veltar::forensic
