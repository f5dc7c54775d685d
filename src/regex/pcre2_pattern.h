// One PCRE2 program, compiled once, matched many times.
//
// The program is compiled in UTF mode without PCRE2_UCP and without
// PCRE2_CASELESS: the programs written by regex::translate spell out every
// class, so PCRE2's own Unicode tables never decide a match. It is
// JIT-compiled when the JIT is available and interpreted otherwise, with the
// same results.
//
// Texts must be valid UTF-8 (they come from Python's encoder); PCRE2's own
// UTF check is skipped.
//
// A Pcre2Pattern is safe for concurrent use by several threads: matching
// uses match data that belongs to the calling thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct pcre2_real_code_8;

namespace veltar::regex {

class Pcre2Pattern {
 public:
  // Compiles `program` (PCRE2 syntax). Throws veltar::Fault with PCRE2's
  // error message when it does not compile.
  explicit Pcre2Pattern(std::string_view program);

  // Whether the program matches somewhere in `text`; stops at the first
  // match. Throws veltar::Fault as count() does.
  bool search(std::string_view text) const;

  // The number of successive non-overlapping matches in `text`: each search
  // resumes where the previous match ended (one character further after an
  // empty match). Throws veltar::Fault on any matching error other than "no
  // match" (a resource limit, say): a text is never taken as clean because
  // matching gave up.
  std::size_t count(std::string_view text) const;

  struct Replaced {
    // The number of matches replaced.
    std::size_t count = 0;
    // The new text when count > 0; left empty (not built) when count is 0,
    // in which case the input is the result.
    std::string text;
  };
  // Replaces every match that count() would find by `token`, taken
  // literally (no "$" references). Throws as count() does.
  Replaced replace_all(std::string_view text, std::string_view token) const;

  // Finds the first match starting at or after `start`; false for none.
  // Look-behind may read text before `start`; nothing after text.size() is
  // read. Throws as count() does.
  bool find(std::string_view text, std::size_t start, std::size_t& match_start,
            std::size_t& match_end) const;

 private:

  struct CodeDeleter {
    void operator()(pcre2_real_code_8* code) const;
  };
  std::unique_ptr<pcre2_real_code_8, CodeDeleter> code_;
};

}  // namespace veltar::regex
