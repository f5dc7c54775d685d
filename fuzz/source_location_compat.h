// Forced into every translation unit of the fuzzing build (clang -include).
//
// clang 14 lacks __builtin_source_location, and libstdc++ 12 then declares no
// std::source_location at all, so common/fault.h would not compile. This
// supplies the same interface from the older per-field builtins, which clang
// evaluates at the call site when they appear as default arguments, exactly
// as source_location::current() is specified to. Every translation unit of
// the fuzzing build sees this one definition, so the layout is consistent.
// Compilers that have the builtin get the library's own class untouched.
#pragma once

#if defined(__cplusplus) && defined(__has_builtin)
#if !__has_builtin(__builtin_source_location)

#include <cstdint>

namespace std {

struct source_location {
  static constexpr source_location current(
      const char* file = __builtin_FILE(), const char* function = __builtin_FUNCTION(),
      std::uint_least32_t line = __builtin_LINE(),
      std::uint_least32_t column = __builtin_COLUMN()) noexcept {
    source_location where;
    where.file_ = file;
    where.function_ = function;
    where.line_ = line;
    where.column_ = column;
    return where;
  }

  constexpr source_location() noexcept = default;

  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr std::uint_least32_t column() const noexcept { return column_; }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  std::uint_least32_t line_ = 0;
  std::uint_least32_t column_ = 0;
};

}  // namespace std

#endif
#endif
