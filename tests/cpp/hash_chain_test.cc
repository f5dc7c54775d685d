#include "forensic/hash_chain.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/fault.h"
#include "forensic/chain_verify.h"
#include "forensic/rfc3339.h"
#include "forensic/sha256.h"

namespace veltar::forensic {
namespace {

// ---- sha256_hex -------------------------------------------------------------

// 1 MiB whose bytes do not repeat with a power-of-two period.
std::string patterned_mebibyte() {
  std::string data(std::size_t{1} << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<char>((i * 131 + 17) % 251);
  }
  return data;
}

struct DigestCase {
  const char* name;
  std::string input;
  const char* digest;
};

TEST(Sha256Hex, KnownDigests) {
  const DigestCase cases[] = {
      {"FIPS empty", "",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"FIPS abc", "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"FIPS two blocks",
       "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"FIPS million a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Computed with Python's hashlib.
      {"patterned MiB", patterned_mebibyte(),
       "3f8a853cfd1416af3ab78fd914f7574dd86045f3f132294cf9ba47717130d3a8"},
      {"UTF-8 record input",
       "1:genesis:\xc3\xa9v\xc3\xa9nement:donn\xc3\xa9" "es \xf0\x9f\x98\x80:0",
       "8c74f49541155a65e6414ec8a95dd5b83a85436e80ecd293a7c25895980b0751"},
  };
  for (const DigestCase& c : cases) {
    const std::string hex = sha256_hex(c.input);
    EXPECT_EQ(hex.size(), kSha256HexLength) << c.name;
    EXPECT_EQ(hex, c.digest) << c.name;
  }
  // A NUL byte is data, not a terminator.
  EXPECT_NE(sha256_hex(std::string("a\0b", 3)), sha256_hex("a"));
}

// Feeding parts must hash exactly their concatenation, whatever the split.
TEST(Sha256Hex, PartsHashTheirConcatenation) {
  std::mt19937 rng(2024);
  std::uniform_int_distribution<int> byte_dist(0, 255);
  std::uniform_int_distribution<std::size_t> length_dist(0, 300);
  for (int round = 0; round < 500; ++round) {
    std::string whole(length_dist(rng), '\0');
    for (char& c : whole) c = static_cast<char>(byte_dist(rng));
    std::vector<std::string_view> parts;
    std::size_t at = 0;
    while (at < whole.size() || parts.size() < 3) {
      std::uniform_int_distribution<std::size_t> cut(0, whole.size() - at);
      const std::size_t take = cut(rng);  // empty parts included
      parts.push_back(std::string_view(whole).substr(at, take));
      at += take;
    }
    ASSERT_EQ(sha256_hex_parts(parts), sha256_hex(whole)) << round;
  }
  EXPECT_EQ(sha256_hex_parts({}), sha256_hex(""));
}

// Each thread owns its digest context; results must not interleave.
TEST(Sha256Hex, ConcurrentCallsAgree) {
  std::vector<std::string> inputs;
  std::vector<std::string> expected;
  for (int i = 0; i < 64; ++i) {
    inputs.push_back(std::string(static_cast<std::size_t>(i) * 97, 'x') +
                     std::to_string(i));
    expected.push_back(sha256_hex(inputs.back()));
  }
  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
          const std::size_t k = (i + static_cast<std::size_t>(t)) % inputs.size();
          if (sha256_hex(inputs[k]) != expected[k]) ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int count : mismatches) EXPECT_EQ(count, 0);
}

// ---- HashChain::record ------------------------------------------------------

// The injected clock reads this; each test sets it before recording.
Instant g_now{1700000000, 123456789};
Instant test_clock() { return g_now; }

// The hash input built the obvious way.
std::string expected_hash(std::uint64_t sequence, const std::string& previous,
                          std::string_view event_id, std::string_view data,
                          std::int64_t millis) {
  return sha256_hex(std::to_string(sequence) + ":" + previous + ":" +
                    std::string(event_id) + ":" + std::string(data) + ":" +
                    std::to_string(millis));
}

TEST(HashChain, NewChainStartsAtGenesis) {
  const HashChain chain(&test_clock);
  EXPECT_EQ(chain.total_records(), 0u);
  EXPECT_EQ(chain.current_sequence(), 0u);
  EXPECT_EQ(chain.last_hash(), "genesis");
}

TEST(HashChain, FirstRecordLinksToGenesis) {
  g_now = {1700000000, 123456789};
  HashChain chain(&test_clock);
  const ChainRecord r = chain.record("e1", "payload");
  EXPECT_EQ(r.sequence, 1u);
  EXPECT_EQ(r.previous_hash, "genesis");
  EXPECT_EQ(r.timestamp_ms, 1700000000123);
  EXPECT_EQ(r.timestamp_iso, "2023-11-14T22:13:20.123456789+00:00");
  EXPECT_EQ(r.hash, sha256_hex("1:genesis:e1:payload:1700000000123"));
  // Computed with Python's hashlib.
  EXPECT_EQ(r.hash,
            "09bcaae519d396113787d5b7d930d9e8d83d6542601bb7ee3291e26d453c96f8");
  EXPECT_EQ(chain.last_hash(), r.hash);
  EXPECT_EQ(chain.total_records(), 1u);
  EXPECT_EQ(chain.current_sequence(), 1u);
}

TEST(HashChain, SecondRecordLinksToFirst) {
  g_now = {1700000000, 5000000};
  HashChain chain(&test_clock);
  const ChainRecord first = chain.record("e1", "payload");
  g_now = {1700000001, 0};
  const ChainRecord second = chain.record("e2", "more");
  EXPECT_EQ(second.sequence, 2u);
  EXPECT_EQ(second.previous_hash, first.hash);
  EXPECT_EQ(second.timestamp_iso, "2023-11-14T22:13:21+00:00");
  EXPECT_EQ(second.hash,
            sha256_hex("2:" + first.hash + ":e2:more:1700000001000"));
  EXPECT_EQ(chain.total_records(), 2u);
  EXPECT_EQ(chain.current_sequence(), 2u);
  EXPECT_EQ(chain.last_hash(), second.hash);
}

TEST(HashChain, EmptyTextsAreValid) {
  g_now = {0, 0};
  HashChain chain(&test_clock);
  const ChainRecord r = chain.record("", "");
  EXPECT_EQ(r.hash, sha256_hex("1:genesis:::0"));
  EXPECT_EQ(r.timestamp_iso, "1970-01-01T00:00:00+00:00");
}

// Fields are joined without escaping, so a ':' can move between them without
// changing the hash.
TEST(HashChain, ColonInFieldsIsNotMarked) {
  g_now = {1700000000, 999999};
  HashChain one(&test_clock);
  HashChain other(&test_clock);
  EXPECT_EQ(one.record("a:b", "c").hash, other.record("a", "b:c").hash);
}

// Many records under a moving clock, against the obvious construction; the
// records then verify as one chain.
TEST(HashChain, LongChainMatchesObviousConstruction) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::uint32_t> nanos_dist(0, 999999999);
  HashChain chain(&test_clock);
  std::string previous = "genesis";
  std::vector<std::pair<std::string, std::string>> pairs;
  for (std::uint64_t n = 1; n <= 2000; ++n) {
    g_now = {static_cast<std::int64_t>(1600000000 + n * 37), nanos_dist(rng)};
    const std::string event_id = "event-" + std::to_string(n % 13);
    const std::string data(n % 50, static_cast<char>('a' + n % 26));
    const ChainRecord r = chain.record(event_id, data);
    ASSERT_EQ(r.sequence, n);
    ASSERT_EQ(r.previous_hash, previous);
    ASSERT_EQ(r.timestamp_ms, to_millis(g_now));
    ASSERT_EQ(r.timestamp_iso, format_rfc3339(g_now));
    ASSERT_EQ(r.hash, expected_hash(n, previous, event_id, data,
                                    r.timestamp_ms));
    previous = r.hash;
    pairs.emplace_back(r.hash, r.previous_hash);
  }
  const ChainVerdict verdict = verify_chain(pairs);
  EXPECT_TRUE(verdict.valid);
  EXPECT_EQ(verdict.length, 2000u);
}

TEST(HashChain, ClockBeforeEpochIsFaultAfterCountersAdvance) {
  g_now = {1700000000, 0};
  HashChain chain(&test_clock);
  const ChainRecord first = chain.record("e1", "x");

  const Instant pre_epoch[] = {{-1, 999999999}, {-86400 * 365, 0}};
  std::uint64_t expected_count = 1;
  for (const Instant& at : pre_epoch) {
    g_now = at;
    try {
      chain.record("e2", "y");
      ADD_FAILURE() << "no fault for " << at.seconds;
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.message().rfind("system time before Unix epoch", 0), 0u)
          << fault.message();
    }
    ++expected_count;
    EXPECT_EQ(chain.total_records(), expected_count);
    EXPECT_EQ(chain.current_sequence(), expected_count);
    EXPECT_EQ(chain.last_hash(), first.hash);
  }

  // The chain goes on from the last good hash; the failed calls used up their
  // sequence numbers.
  g_now = {1700000005, 0};
  const ChainRecord next = chain.record("e3", "z");
  EXPECT_EQ(next.sequence, 4u);
  EXPECT_EQ(next.previous_hash, first.hash);
  EXPECT_EQ(next.hash, sha256_hex("4:" + first.hash + ":e3:z:1700000005000"));
}

TEST(HashChain, UnrepresentableClockReadingIsFault) {
  const Instant bad[] = {{0, 1000000000}, {kLatestSeconds + 1, 0}};
  HashChain chain(&test_clock);
  for (const Instant& at : bad) {
    g_now = at;
    EXPECT_THROW(chain.record("e", "d"), Fault) << at.seconds;
    EXPECT_EQ(chain.last_hash(), "genesis");
  }
  EXPECT_EQ(chain.total_records(), 2u);
}

TEST(HashChain, NullClockIsFault) {
  EXPECT_THROW(HashChain(nullptr), Fault);
}

TEST(HashChain, SystemClockRecordIsConsistent) {
  const Instant before = system_clock_now();
  HashChain chain;
  const ChainRecord r = chain.record("e1", "payload");
  const Instant after = system_clock_now();
  EXPECT_GE(r.timestamp_ms, to_millis(before));
  EXPECT_LE(r.timestamp_ms, to_millis(after));
  EXPECT_EQ(r.hash, expected_hash(1, "genesis", "e1", "payload",
                                  r.timestamp_ms));
  // The text names the same instant: its first 23 characters are the
  // milliseconds' own text (fraction cut to milliseconds).
  const std::int64_t ms = r.timestamp_ms;
  const std::string ms_text = format_rfc3339(
      {ms / 1000, static_cast<std::uint32_t>(ms % 1000) * 1000000 + 1});
  EXPECT_EQ(r.timestamp_iso.substr(0, 19), ms_text.substr(0, 19));
  if (r.timestamp_iso.size() > 25) {
    EXPECT_EQ(r.timestamp_iso.substr(0, 23), ms_text.substr(0, 23));
  } else {
    EXPECT_EQ(ms % 1000, 0);
  }
  EXPECT_EQ(r.timestamp_iso.substr(r.timestamp_iso.size() - 6), "+00:00");
}

// ---- verify_chain -----------------------------------------------------------

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct VerifyCase {
  const char* name;
  Pairs pairs;
  bool valid;
  std::size_t broken_at;
  const char* expected;
  const char* found;
};

TEST(VerifyChain, Table) {
  const VerifyCase cases[] = {
      {"empty", {}, true, 0, "", ""},
      {"one pair, any previous", {{"h1", "anything"}}, true, 0, "", ""},
      {"intact", {{"h1", "genesis"}, {"h2", "h1"}, {"h3", "h2"}}, true, 0, "",
       ""},
      {"cut from the middle", {{"h2", "h1"}, {"h3", "h2"}}, true, 0, "", ""},
      {"break at 2",
       {{"h1", "genesis"}, {"h2", "h1"}, {"h3", "hX"}},
       false, 2, "h2", "hX"},
      {"break at 1", {{"h1", "genesis"}, {"h2", "hY"}}, false, 1, "h1", "hY"},
      {"first of two breaks",
       {{"a", "g"}, {"b", "a"}, {"c", "x"}, {"d", "y"}},
       false, 2, "b", "x"},
      {"case matters", {{"abc", "genesis"}, {"h2", "ABC"}}, false, 1, "abc",
       "ABC"},
      {"prefix is not equal", {{"abc", ""}, {"h2", "ab"}}, false, 1, "abc",
       "ab"},
      {"empty hashes chain", {{"", ""}, {"", ""}}, true, 0, "", ""},
      {"embedded NUL compared",
       {{std::string("a\0b", 3), ""}, {"h", std::string("a\0c", 3)}},
       false, 1, nullptr, nullptr},
  };
  for (const VerifyCase& c : cases) {
    const ChainVerdict v = verify_chain(c.pairs);
    EXPECT_EQ(v.valid, c.valid) << c.name;
    EXPECT_EQ(v.length, c.pairs.size()) << c.name;
    if (!c.valid) {
      EXPECT_EQ(v.broken_at, c.broken_at) << c.name;
      if (c.expected != nullptr) {
        EXPECT_EQ(v.expected, c.expected) << c.name;
        EXPECT_EQ(v.found, c.found) << c.name;
      }
      // The verdict views the caller's texts; nothing is copied.
      EXPECT_EQ(v.expected.data(), c.pairs[v.broken_at - 1].first.data())
          << c.name;
      EXPECT_EQ(v.found.data(), c.pairs[v.broken_at].second.data()) << c.name;
    }
  }
}

// Tampering with a stored record, as the chain's owner would find it.
TEST(VerifyChain, TamperedRecords) {
  g_now = {1700000000, 0};
  HashChain chain(&test_clock);
  Pairs pairs;
  for (const char* event : {"e1", "e2", "e3"}) {
    const ChainRecord r = chain.record(event, "data");
    pairs.emplace_back(r.hash, r.previous_hash);
  }
  EXPECT_TRUE(verify_chain(pairs).valid);
  EXPECT_EQ(verify_chain(pairs).length, 3u);

  Pairs new_hash = pairs;
  new_hash[1].first = "forged";
  const ChainVerdict at_two = verify_chain(new_hash);
  EXPECT_FALSE(at_two.valid);
  EXPECT_EQ(at_two.broken_at, 2u);
  EXPECT_EQ(at_two.expected, "forged");
  EXPECT_EQ(at_two.found, pairs[1].first);

  Pairs new_previous = pairs;
  new_previous[1].second = "forged";
  const ChainVerdict at_one = verify_chain(new_previous);
  EXPECT_FALSE(at_one.valid);
  EXPECT_EQ(at_one.broken_at, 1u);
  EXPECT_EQ(at_one.expected, pairs[0].first);
  EXPECT_EQ(at_one.found, "forged");
}

std::string link_name(std::size_t i) {
  std::string name = "h";
  name += std::to_string(i);
  return name;
}

// Random chains with random damage, against a search for the first break.
TEST(VerifyChain, MatchesObviousSearchOnGeneratedChains) {
  std::mt19937 rng(99);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t n = rng() % 12;
    Pairs pairs;
    for (std::size_t i = 0; i < n; ++i) {
      pairs.emplace_back(link_name(i), i == 0 ? "genesis" : link_name(i - 1));
    }
    const std::size_t damage = n == 0 ? 0 : rng() % 3;
    for (std::size_t k = 0; k < damage; ++k) {
      auto& pair = pairs[rng() % n];
      (rng() % 2 == 0 ? pair.first : pair.second) += "!";
    }
    std::size_t first_break = 0;
    for (std::size_t i = 1; i < n && first_break == 0; ++i) {
      if (pairs[i].second != pairs[i - 1].first) first_break = i;
    }
    const ChainVerdict v = verify_chain(pairs);
    ASSERT_EQ(v.valid, first_break == 0) << round;
    if (!v.valid) {
      ASSERT_EQ(v.broken_at, first_break) << round;
    }
  }
}

}  // namespace
}  // namespace veltar::forensic
