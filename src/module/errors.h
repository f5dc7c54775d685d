// Failures on the road of a call, and the guard that turns every one of them
// into a Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <string_view>

#include "common/fault.h"
#include "module/borrow.h"

namespace veltar::py {

// Thrown after a Python exception has been set (or should have been: the
// guard raises SystemError when none is).
struct PythonError {};

// Returns `object`, or throws PythonError when it is null.
inline PyObject* check(PyObject* object) {
  if (object == nullptr) throw PythonError{};
  return object;
}

// Raises TypeError "'<qualname of type(object)>' object cannot be converted to '<expected>'".
[[noreturn]] void raise_wrong_type(PyObject* object, const char* expected);

// Raises RuntimeError "Already borrowed" / "Already mutably borrowed".
[[noreturn]] void raise_borrow_conflict(Borrow wanted);

// Writes the fault's message and location to standard error and sets
// InternalFault with the message ("panic from Tamo code" when it is empty).
void set_internal_fault(std::string_view message, const std::source_location& where);

// Sets the exception that corresponds to the C++ exception being handled.
void set_from_current_exception() noexcept;

// Ensures a failure leaves an exception set.
void ensure_error_set() noexcept;

// Runs `body` and returns its result, or null with the matching Python
// exception set if it failed in any way. Nothing escapes into CPython.
template <class Body>
auto guard(Body&& body) noexcept -> decltype(body()) {
  try {
    auto result = body();
    if (result == nullptr) ensure_error_set();
    return result;
  } catch (...) {
    set_from_current_exception();
    return nullptr;
  }
}

}  // namespace veltar::py
