// A set of Vectorscan programs compiled into one database and searched in one
// pass.
//
// The programs are compiled in UTF-8 mode (HS_FLAG_UTF8) with
// HS_FLAG_SINGLEMATCH and neither HS_FLAG_UCP nor HS_FLAG_CASELESS: the
// programs written by regex::translate spell out every class, so the
// engine's own Unicode tables never decide a match.
//
// Texts must be valid UTF-8 (they come from Python's encoder).
//
// A database may also be compiled ahead of time, kept as bytes (serialize())
// and loaded at run time instead of compiled, which takes a fraction of a
// millisecond instead of hundreds; see StoredDatabase.
//
// A VectorscanSet is safe for concurrent use by several threads once built.
// Each thread searches with its own scratch space, allocated on the thread's
// first search and kept (and grown for further sets) until the thread ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct hs_database;

namespace veltar::regex {

// A database compiled by VectorscanSet and serialized, with the programs it
// was compiled from, member by member. The bytes are a cache, never a source
// of truth: they are used only for exactly the same programs, and only when
// Vectorscan accepts them on the running processor.
struct StoredDatabase {
  std::span<const std::string_view> programs;
  std::string_view bytes;
};

class VectorscanSet {
 public:
  // Compiles `programs` (Vectorscan syntax) into one database; member i is
  // programs[i]. Throws veltar::Fault with Vectorscan's description of the
  // error when the set does not compile (an empty set included).
  explicit VectorscanSet(std::span<const std::string> programs);

  // The same set, loaded from `stored` when stored.programs equal `programs`
  // member by member and Vectorscan accepts stored.bytes as a database for
  // this library version and processor (a database built for instructions
  // the processor lacks, a damaged or foreign one are refused); compiled as
  // by the constructor above otherwise. Throws as that constructor does.
  VectorscanSet(std::span<const std::string> programs, const StoredDatabase& stored);

  ~VectorscanSet();

  VectorscanSet(VectorscanSet&& other) noexcept;
  VectorscanSet& operator=(VectorscanSet&& other) noexcept;
  VectorscanSet(const VectorscanSet&) = delete;
  VectorscanSet& operator=(const VectorscanSet&) = delete;

  std::size_t size() const { return size_; }

  // Whether the database was loaded from a StoredDatabase rather than
  // compiled.
  bool loaded() const { return loaded_; }

  // The database in Vectorscan's serialized form, for StoredDatabase::bytes.
  // Throws veltar::Fault if Vectorscan cannot serialize it.
  std::string serialize() const;

  // Which members match somewhere in `text`: element i is true when
  // programs[i] has a match. Throws veltar::Fault if the engine fails (it
  // cannot allocate scratch space, say).
  std::vector<bool> match(std::string_view text) const;

 private:
  hs_database* database_ = nullptr;
  std::size_t size_ = 0;
  bool loaded_ = false;
  // Never reused within the process, so a thread's scratch can remember
  // which sets it has been made ready for.
  std::uint64_t id_ = 0;
};

}  // namespace veltar::regex
