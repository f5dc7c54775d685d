// A chain of audit records, each hashed together with its predecessor's hash.
//
// The chain keeps only the newest hash and two counters; the records go to
// the caller. A HashChain is not safe for concurrent use: calls that change it
// (record) must not overlap with any other call on the same object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "forensic/rfc3339.h"

namespace veltar::forensic {

// Hash of the chain before its first record.
inline constexpr std::string_view kGenesisHash = "genesis";

// Reads CLOCK_REALTIME: the current UTC instant. Throws veltar::Fault if the
// clock cannot be read.
Instant system_clock_now();

struct ChainRecord {
  std::string hash;           // SHA-256 of the hash input, 64 lowercase hex
  std::string previous_hash;  // last_hash() before this record
  std::uint64_t sequence;     // 1 for the first record of a chain
  std::string timestamp_iso;  // RFC 3339 text of the clock reading
  std::int64_t timestamp_ms;  // the same reading in whole milliseconds
};

class HashChain {
 public:
  using Clock = Instant (*)();

  // A chain at "genesis" with both counters 0. `clock` is read once per
  // record; it must not be null.
  explicit HashChain(Clock clock = &system_clock_now);

  // Advances both counters by one, reads the clock once and returns the
  // record whose hash is the SHA-256 of
  //   "<sequence>:<last_hash>:<event_id>:<data>:<timestamp_ms>"
  // (decimal numbers without leading zeros; event_id and data unescaped, so a
  // ':' inside them is not marked). last_hash() becomes the record's hash.
  // Throws veltar::Fault with a message beginning
  // "system time before Unix epoch" if the clock reads before 1970, and
  // veltar::Fault for any other clock or digest failure; in every failure the
  // counters have already advanced and last_hash() is unchanged.
  ChainRecord record(std::string_view event_id, std::string_view data);

  std::uint64_t total_records() const { return total_records_; }
  std::uint64_t current_sequence() const { return current_sequence_; }

  // The newest record's hash, or "genesis" before the first record.
  const std::string& last_hash() const { return last_hash_; }

 private:
  Clock clock_;
  std::string last_hash_;
  std::uint64_t current_sequence_ = 0;
  std::uint64_t total_records_ = 0;
};

}  // namespace veltar::forensic
