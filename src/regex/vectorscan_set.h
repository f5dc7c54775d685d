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

class VectorscanSet {
 public:
  // Compiles `programs` (Vectorscan syntax) into one database; member i is
  // programs[i]. Throws veltar::Fault with Vectorscan's description of the
  // error when the set does not compile (an empty set included).
  explicit VectorscanSet(std::span<const std::string> programs);
  ~VectorscanSet();

  VectorscanSet(VectorscanSet&& other) noexcept;
  VectorscanSet& operator=(VectorscanSet&& other) noexcept;
  VectorscanSet(const VectorscanSet&) = delete;
  VectorscanSet& operator=(const VectorscanSet&) = delete;

  std::size_t size() const { return size_; }

  // Which members match somewhere in `text`: element i is true when
  // programs[i] has a match. Throws veltar::Fault if the engine fails (it
  // cannot allocate scratch space, say).
  std::vector<bool> match(std::string_view text) const;

 private:
  hs_database* database_ = nullptr;
  std::size_t size_ = 0;
  // Never reused within the process, so a thread's scratch can remember
  // which sets it has been made ready for.
  std::uint64_t id_ = 0;
};

}  // namespace veltar::regex
