#include "regex/vectorscan_set.h"

#include <hs/hs.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "common/fault.h"

namespace veltar::regex {
namespace {

std::atomic<std::uint64_t> next_set_id{1};

// The calling thread's scratch space and the sets it is ready for. A scratch
// grown for one database stays valid for every database it was grown for
// before, so one per thread serves all sets.
class ThreadScratch {
 public:
  ~ThreadScratch() { hs_free_scratch(scratch_); }

  hs_scratch_t* ready_for(const hs_database_t* database, std::uint64_t id) {
    if (std::find(ready_.begin(), ready_.end(), id) != ready_.end()) return scratch_;
    if (hs_alloc_scratch(database, &scratch_) != HS_SUCCESS) {
      throw Fault("Vectorscan: cannot allocate scratch space");
    }
    ready_.push_back(id);
    return scratch_;
  }

 private:
  hs_scratch_t* scratch_ = nullptr;
  std::vector<std::uint64_t> ready_;
};

struct MatchState {
  std::vector<bool>* matched;
  std::size_t remaining;
};

int on_match(unsigned int id, unsigned long long /*from*/, unsigned long long /*to*/,
             unsigned int /*flags*/, void* context) {
  auto* state = static_cast<MatchState*>(context);
  if (!(*state->matched)[id]) {
    (*state->matched)[id] = true;
    --state->remaining;
  }
  // Every member has matched: nothing left to learn from the rest.
  return state->remaining == 0 ? 1 : 0;
}

// The largest piece handed to the engine at once; its lengths are 32-bit.
constexpr std::size_t kMaxPiece = std::size_t(1) << 30;

// How every database is compiled; a stored one must have been compiled so.
constexpr unsigned int kFlags = HS_FLAG_UTF8 | HS_FLAG_SINGLEMATCH;
// Vectored mode takes the text in pieces that together count as one block,
// so a text longer than 4 GiB is searched whole as well.
constexpr unsigned int kMode = HS_MODE_VECTORED;

hs_database_t* compile(std::span<const std::string> programs) {
  std::vector<const char*> expressions;
  std::vector<unsigned int> flags;
  std::vector<unsigned int> ids;
  for (std::size_t i = 0; i < programs.size(); ++i) {
    expressions.push_back(programs[i].c_str());
    flags.push_back(kFlags);
    ids.push_back(static_cast<unsigned int>(i));
  }
  hs_database_t* database = nullptr;
  hs_compile_error_t* error = nullptr;
  const hs_error_t rc =
      hs_compile_multi(expressions.data(), flags.data(), ids.data(),
                       static_cast<unsigned int>(programs.size()), kMode, nullptr, &database,
                       &error);
  if (rc != HS_SUCCESS) {
    std::string description = error != nullptr && error->message != nullptr
                                  ? error->message
                                  : "Vectorscan compile error " + std::to_string(rc);
    hs_free_compile_error(error);
    throw Fault(std::move(description));
  }
  return database;
}

// Whether Vectorscan describes the serialized database as one for vectored
// scans: the only other check the library makes of a database's kind comes
// at scan time, too late to compile instead.
bool stored_in_vectored_mode(std::string_view bytes) {
  char* info = nullptr;
  if (hs_serialized_database_info(bytes.data(), bytes.size(), &info) != HS_SUCCESS) return false;
  const bool vectored = std::string_view(info).find("Mode: VECTORED") != std::string_view::npos;
  std::free(info);
  return vectored;
}

// The stored database when it was compiled from `programs` and loads here;
// null otherwise.
hs_database_t* load(std::span<const std::string> programs, const StoredDatabase& stored) {
  if (!std::equal(programs.begin(), programs.end(), stored.programs.begin(),
                  stored.programs.end())) {
    return nullptr;
  }
  if (stored.bytes.empty() || !stored_in_vectored_mode(stored.bytes)) return nullptr;
  // Refused with HS_DB_VERSION_ERROR, HS_DB_PLATFORM_ERROR (instructions
  // this processor lacks) or HS_INVALID (damaged bytes): compiling gives
  // the same set, only later.
  hs_database_t* database = nullptr;
  if (hs_deserialize_database(stored.bytes.data(), stored.bytes.size(), &database) != HS_SUCCESS) {
    return nullptr;
  }
  return database;
}

}  // namespace

VectorscanSet::VectorscanSet(std::span<const std::string> programs)
    : database_(compile(programs)), size_(programs.size()), id_(next_set_id.fetch_add(1)) {}

VectorscanSet::VectorscanSet(std::span<const std::string> programs, const StoredDatabase& stored)
    : database_(load(programs, stored)), size_(programs.size()), id_(next_set_id.fetch_add(1)) {
  loaded_ = database_ != nullptr;
  if (!loaded_) database_ = compile(programs);
}

VectorscanSet::~VectorscanSet() { hs_free_database(database_); }

VectorscanSet::VectorscanSet(VectorscanSet&& other) noexcept
    : database_(std::exchange(other.database_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      loaded_(other.loaded_),
      id_(other.id_) {}

VectorscanSet& VectorscanSet::operator=(VectorscanSet&& other) noexcept {
  if (this != &other) {
    hs_free_database(database_);
    database_ = std::exchange(other.database_, nullptr);
    size_ = std::exchange(other.size_, 0);
    loaded_ = other.loaded_;
    id_ = other.id_;
  }
  return *this;
}

std::string VectorscanSet::serialize() const {
  if (database_ == nullptr) throw Fault("VectorscanSet used after move");
  char* bytes = nullptr;
  std::size_t length = 0;
  if (hs_serialize_database(database_, &bytes, &length) != HS_SUCCESS) {
    throw Fault("Vectorscan: cannot serialize the database");
  }
  std::string out(bytes, length);
  std::free(bytes);
  return out;
}

std::vector<bool> VectorscanSet::match(std::string_view text) const {
  std::vector<bool> matched(size_, false);
  if (database_ == nullptr) throw Fault("VectorscanSet used after move");
  thread_local ThreadScratch scratch;
  hs_scratch_t* space = scratch.ready_for(database_, id_);

  // Pieces end on character boundaries: not needed by the engine, which sees
  // one block, but it keeps every piece valid UTF-8 on its own.
  std::vector<const char*> pieces;
  std::vector<unsigned int> lengths;
  std::size_t at = 0;
  do {
    std::size_t end = std::min(text.size(), at + kMaxPiece);
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    pieces.push_back(text.data() == nullptr ? "" : text.data() + at);
    lengths.push_back(static_cast<unsigned int>(end - at));
    at = end;
  } while (at < text.size());

  MatchState state{&matched, size_};
  const hs_error_t rc =
      hs_scan_vector(database_, pieces.data(), lengths.data(),
                     static_cast<unsigned int>(pieces.size()), 0, space, on_match, &state);
  if (rc != HS_SUCCESS && rc != HS_SCAN_TERMINATED) {
    throw Fault("Vectorscan scan error " + std::to_string(rc));
  }
  return matched;
}

}  // namespace veltar::regex
