#define PCRE2_CODE_UNIT_WIDTH 8
#include "regex/pcre2_pattern.h"

#include <pcre2.h>

#include "common/fault.h"

namespace veltar::regex {
namespace {

std::string error_message(int code) {
  PCRE2_UCHAR buffer[256];
  const int length = pcre2_get_error_message(code, buffer, sizeof buffer);
  if (length < 0) return "PCRE2 error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(buffer), std::size_t(length));
}

// Match data for one match at a time on the calling thread. The programs
// have no capturing groups, so one offset pair holds the whole match.
pcre2_match_data* thread_match_data() {
  struct Holder {
    pcre2_match_data* data = nullptr;
    ~Holder() { pcre2_match_data_free(data); }
  };
  thread_local Holder holder;
  if (holder.data == nullptr) {
    holder.data = pcre2_match_data_create(1, nullptr);
    if (holder.data == nullptr) throw Fault("PCRE2: cannot allocate match data");
  }
  return holder.data;
}

// The length of the UTF-8 sequence whose lead byte is `b`.
std::size_t sequence_length(unsigned char b) { return b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4; }

}  // namespace

void Pcre2Pattern::CodeDeleter::operator()(pcre2_real_code_8* code) const { pcre2_code_free(code); }

Pcre2Pattern::Pcre2Pattern(std::string_view program) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  constexpr uint32_t kOptions = PCRE2_UTF | PCRE2_NEVER_UCP | PCRE2_NEVER_BACKSLASH_C;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(program.data()), program.size(),
                                   kOptions, &error, &offset, nullptr);
  if (code == nullptr) throw Fault(error_message(error));
  code_.reset(code);
  // Without the JIT (unsupported platform, no executable memory) the
  // interpreter gives the same matches, so a JIT failure is not an error.
  (void)pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
}

bool Pcre2Pattern::find(std::string_view text, std::size_t start, std::size_t& match_start,
                        std::size_t& match_end) const {
  pcre2_match_data* data = thread_match_data();
  const int rc = pcre2_match(code_.get(), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                             start, PCRE2_NO_UTF_CHECK, data, nullptr);
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (rc < 0) throw Fault("PCRE2 match error: " + error_message(rc));
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
  match_start = ovector[0];
  match_end = ovector[1];
  return true;
}

bool Pcre2Pattern::search(std::string_view text) const {
  std::size_t match_start = 0;
  std::size_t match_end = 0;
  return find(text, 0, match_start, match_end);
}

std::size_t Pcre2Pattern::count(std::string_view text) const {
  std::size_t n = 0;
  std::size_t start = 0;
  std::size_t match_start = 0;
  std::size_t match_end = 0;
  while (start <= text.size() && find(text, start, match_start, match_end)) {
    ++n;
    start = match_end;
    if (match_end == match_start) {
      if (match_end == text.size()) break;
      start += sequence_length(static_cast<unsigned char>(text[match_end]));
    }
  }
  return n;
}

Pcre2Pattern::Replaced Pcre2Pattern::replace_all(std::string_view text,
                                                 std::string_view token) const {
  Replaced out;
  std::size_t copied = 0;  // text before this offset is in out.text
  std::size_t start = 0;
  std::size_t match_start = 0;
  std::size_t match_end = 0;
  while (start <= text.size() && find(text, start, match_start, match_end)) {
    if (out.count == 0) out.text.reserve(text.size());
    ++out.count;
    out.text.append(text, copied, match_start - copied);
    out.text.append(token);
    copied = match_end;
    start = match_end;
    if (match_end == match_start) {
      if (match_end == text.size()) break;
      start += sequence_length(static_cast<unsigned char>(text[match_end]));
    }
  }
  if (out.count > 0) out.text.append(text, copied);
  return out;
}

}  // namespace veltar::regex
