// Fuzzes HashChain::record (the hash input), sha256_hex, sha256_hex_parts and
// verify_chain.
//
// Input, split at 0xFF: the first part is a list of 13-byte clock readings
// (8 bytes of seconds, 4 of nanoseconds, little-endian, and a mode byte:
// bit 0 folds the seconds into 1970 to 9999, bit 1 the nanoseconds below one
// second, bit 2 makes the reading fall before 1970), read in turn by the
// chain's clock; the other parts are (event_id, data) pairs, one record each.
//
// Checked on every record:
// - its hash is the SHA-256, computed here by libcrypto's one-shot digest, of
//   "<sequence>:<previous hash>:<event_id>:<data>:<milliseconds>", written as
//   64 lowercase hex digits; previous_hash is the chain's hash before it
//   ("genesis" first); the sequence and both counters advance by one;
//   timestamp_iso and timestamp_ms are format_rfc3339 and to_millis of the
//   clock reading;
// - a reading before 1970 throws Fault "system time before Unix epoch...",
//   and any reading the formatter refuses throws Fault; in both cases the
//   counters have advanced and the chain's hash is unchanged;
// - sha256_hex and sha256_hex_parts agree with the one-shot digest;
// - the records verify as an intact chain of their number; changing one
//   record's previous hash breaks it exactly there (except the first, which
//   is compared with nothing); verify_chain over the raw input pairs agrees
//   with a plain walk.
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/fault.h"
#include "forensic/chain_verify.h"
#include "forensic/hash_chain.h"
#include "forensic/rfc3339.h"
#include "forensic/sha256.h"
#include "fuzz_support.h"

namespace veltar::fuzz {
namespace {

using forensic::Instant;

std::vector<Instant> g_readings;
std::size_t g_next_reading = 0;

Instant scripted_clock() { return g_readings[g_next_reading++ % g_readings.size()]; }

std::vector<Instant> parse_readings(std::string_view bytes) {
  std::vector<Instant> readings;
  for (; bytes.size() >= 13; bytes.remove_prefix(13)) {
    std::uint64_t raw_seconds;
    std::uint32_t raw_nanos;
    std::memcpy(&raw_seconds, bytes.data(), 8);
    std::memcpy(&raw_nanos, bytes.data() + 8, 4);
    const auto mode = static_cast<unsigned char>(bytes[12]);
    Instant at{static_cast<std::int64_t>(raw_seconds), raw_nanos};
    if (mode & 1) {
      at.seconds = static_cast<std::int64_t>(raw_seconds % (forensic::kLatestSeconds + 1));
    }
    if (mode & 2) at.nanoseconds = raw_nanos % 1000000000u;
    if (mode & 4) at.seconds = -1 - static_cast<std::int64_t>(raw_seconds % 100000);
    readings.push_back(at);
  }
  if (readings.empty()) readings.push_back({1700000000, 123456789});
  return readings;
}

std::string reference_sha256(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  FUZZ_CHECK(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) == 1 &&
                 length == 32,
             "EVP_Digest failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 15]);
  }
  return hex;
}

bool valid_reading(Instant at) {
  return at.nanoseconds < 1000000000u && at.seconds >= forensic::kEarliestSeconds &&
         at.seconds <= forensic::kLatestSeconds;
}

void check_verdict(const std::vector<std::pair<std::string, std::string>>& pairs) {
  const forensic::ChainVerdict got = forensic::verify_chain(pairs);
  std::size_t broken = 0;
  for (std::size_t i = 1; i < pairs.size() && broken == 0; ++i) {
    if (pairs[i].second != pairs[i - 1].first) broken = i;
  }
  const auto context = [&] { return "verify_chain of " + std::to_string(pairs.size()) + " pairs"; };
  if (broken == 0) {
    FUZZ_CHECK(got.valid && got.length == pairs.size(), context() + ": expected intact");
    return;
  }
  FUZZ_CHECK(!got.valid && got.broken_at == broken, context() + ": expected a break at " +
                                                        std::to_string(broken) + ", got " +
                                                        std::to_string(got.broken_at));
  FUZZ_CHECK(got.expected == pairs[broken - 1].first && got.found == pairs[broken].second,
             context() + ": wrong expected/found texts");
}

}  // namespace
}  // namespace veltar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltar;
  using namespace veltar::fuzz;
  const std::vector<std::string_view> parts =
      split_parts(std::string_view(reinterpret_cast<const char*>(data), size), 65);
  g_readings = parse_readings(parts[0]);
  g_next_reading = 0;

  forensic::HashChain chain(&scripted_clock);
  FUZZ_CHECK(chain.last_hash() == forensic::kGenesisHash, "a new chain is not at genesis");
  std::vector<std::pair<std::string, std::string>> records;
  std::vector<std::pair<std::string, std::string>> raw_pairs;

  for (std::size_t i = 1; i < parts.size(); i += 2) {
    const std::string event_id = to_valid_utf8(parts[i]);
    const std::string payload = i + 1 < parts.size() ? to_valid_utf8(parts[i + 1]) : std::string();
    raw_pairs.emplace_back(event_id, payload);

    for (const std::string* text : {&event_id, &payload}) {
      FUZZ_CHECK(forensic::sha256_hex(*text) == reference_sha256(*text),
                 "sha256_hex of '" + escaped(*text) + "'");
    }
    const std::array<std::string_view, 2> halves = {event_id, payload};
    FUZZ_CHECK(forensic::sha256_hex_parts(halves) == reference_sha256(event_id + payload),
               "sha256_hex_parts of '" + escaped(event_id) + "', '" + escaped(payload) + "'");

    const Instant reading = g_readings[g_next_reading % g_readings.size()];
    const std::string before = chain.last_hash();
    const std::uint64_t sequence = chain.current_sequence() + 1;
    const auto context = [&] {
      return "record " + std::to_string(sequence) + " ('" + escaped(event_id) + "', '" +
             escaped(payload) + "') at " + std::to_string(reading.seconds) + " s " +
             std::to_string(reading.nanoseconds) + " ns";
    };
    if (reading.seconds < 0 || !valid_reading(reading)) {
      std::string message;
      try {
        chain.record(event_id, payload);
      } catch (const Fault& fault) {
        message = fault.message();
      }
      FUZZ_CHECK(!message.empty(), context() + ": no fault");
      if (reading.seconds < 0) {
        FUZZ_CHECK(message.starts_with("system time before Unix epoch"),
                   context() + ": " + message);
      }
      FUZZ_CHECK(chain.last_hash() == before, context() + ": the hash moved on a fault");
    } else {
      const forensic::ChainRecord r = chain.record(event_id, payload);
      const std::int64_t millis = forensic::to_millis(reading);
      const std::string input = std::to_string(sequence) + ":" + before + ":" + event_id + ":" +
                                payload + ":" + std::to_string(millis);
      FUZZ_CHECK(r.hash == reference_sha256(input),
                 context() + ": hash " + r.hash + " of input '" + escaped(input) + "'");
      FUZZ_CHECK(r.previous_hash == before, context() + ": previous hash " + r.previous_hash);
      FUZZ_CHECK(r.sequence == sequence, context() + ": sequence " + std::to_string(r.sequence));
      FUZZ_CHECK(r.timestamp_ms == millis,
                 context() + ": millis " + std::to_string(r.timestamp_ms));
      FUZZ_CHECK(r.timestamp_iso == forensic::format_rfc3339(reading),
                 context() + ": " + r.timestamp_iso);
      FUZZ_CHECK(chain.last_hash() == r.hash, context() + ": last_hash not moved");
      records.emplace_back(r.hash, r.previous_hash);
    }
    FUZZ_CHECK(chain.current_sequence() == sequence && chain.total_records() == sequence,
               context() + ": counters " + std::to_string(chain.current_sequence()) + "/" +
                   std::to_string(chain.total_records()));
  }

  // Records that followed a fault still link to the hash before it, so the
  // records verify as one chain whatever faults came in between.
  const forensic::ChainVerdict intact = forensic::verify_chain(records);
  FUZZ_CHECK(intact.valid && intact.length == records.size(), "recorded chain does not verify");
  if (!records.empty()) {
    const std::size_t k = size % records.size();
    records[k].second += "x";
    const forensic::ChainVerdict tampered = forensic::verify_chain(records);
    if (k == 0) {
      FUZZ_CHECK(tampered.valid, "the first record's previous hash was compared");
    } else {
      FUZZ_CHECK(!tampered.valid && tampered.broken_at == k,
                 "tampering with record " + std::to_string(k) + " not found there");
    }
  }
  check_verdict(raw_pairs);
  return 0;
}
