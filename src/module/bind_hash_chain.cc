// TamoHashChain: the forensic hash chain as a Python class.
#include "forensic/chain_verify.h"
#include "forensic/hash_chain.h"
#include "forensic/sha256.h"
#include "module/binding.h"
#include "module/classes.h"

namespace veltar::py {

using forensic::HashChain;

template <>
inline constexpr const char* kClassName<HashChain> = "TamoHashChain";

namespace {

constexpr ParamList<2> kRecordParams{"record", {"event_id", "data"}, 2};
constexpr ParamList<1> kVerifyParams{"verify_chain", {"chain"}, 1};
constexpr ParamList<1> kSha256Params{"sha256", {"data"}, 1};

HashChain make_chain() { return HashChain(); }

PyObject* record(HashChain& chain, Text event_id, Text data) {
  const forensic::ChainRecord made = chain.record(event_id, data);
  DictBuilder dict;
  dict.set("hash", made.hash)
      .set("previous_hash", made.previous_hash)
      .set("sequence", made.sequence)
      .set("event_id", event_id)
      .set("timestamp_iso", made.timestamp_iso)
      .set("timestamp_ms", made.timestamp_ms)
      .set("engine", "tamo");
  return dict.release();
}

PyObject* verify_chain(HashChain&, TextPairs chain) {
  const forensic::ChainVerdict verdict = forensic::verify_chain(chain);
  DictBuilder dict;
  if (verdict.valid) {
    dict.set("valid", true).set("length", std::uint64_t{verdict.length});
  } else {
    dict.set("valid", false)
        .set("broken_at", std::uint64_t{verdict.broken_at})
        .set("expected", verdict.expected)
        .set("found", verdict.found);
  }
  return dict.release();
}

std::string sha256(Text data) { return forensic::sha256_hex(data); }

PyObject* get_stats(const HashChain& chain) {
  DictBuilder dict;
  dict.set("total_records", chain.total_records())
      .set("current_sequence", chain.current_sequence())
      .set("engine", "tamo");
  return dict.release();
}

}  // namespace

template <>
const ClassDef& class_def<HashChain>() {
  static const MethodEntry methods[] = {
      method<kRecordParams, Borrow::kExclusive, &record>(
          "($self, event_id, data)",
          "Create a new hash-chained record.\n"
          "Returns dict with hash, previous_hash, sequence, timestamp."),
      method<kVerifyParams, Borrow::kShared, &verify_chain>(
          "($self, chain)",
          "Verify a chain of records.\n"
          "Takes a list of (hash, previous_hash) tuples, returns (valid, broken_at)."),
      static_method<HashChain, kSha256Params, &sha256>("(data)",
                                                       "Compute SHA-256 hash of arbitrary data."),
      method_noargs<Borrow::kShared, &get_stats>("get_stats", ""),
  };
  static const ClassDef def{
      "TamoHashChain",
      "()",
      "SHA-256 hash chain for forensic black box integrity.",
      methods,
      {},
      constructor<kNoParams, &make_chain>(),
      &dealloc_instance<HashChain>,
      sizeof(Instance<HashChain>),
  };
  return def;
}

PyTypeObject* hash_chain_type() { return ensure_type(TypeSlot<HashChain>::type, class_def<HashChain>()); }

}  // namespace veltar::py
