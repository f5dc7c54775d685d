// Internal faults: conditions the native code cannot continue from.
//
// Engines throw `Fault` and nothing else of their own; the binding layer turns
// it into the Python-visible InternalFault after writing the message and the
// source location to standard error. An empty message means "no text".
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace veltar {

class Fault : public std::exception {
 public:
  explicit Fault(std::string message,
                 std::source_location where = std::source_location::current());

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

}  // namespace veltar
