#include "module/errors.h"

#include <cstdio>
#include <string>

namespace veltar::py {
namespace {

constexpr const char* kInternalFaultDoc =
    "Raised when the native code called from Python faults.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it is not caught by generic handlers and usually propagates to the\n"
    "top and ends the interpreter. Its one argument is the fault's message.";

// Created on the first fault of the process and kept.
PyObject* internal_fault_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("veltar_core.InternalFault", kInternalFaultDoc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

void raise_wrong_type(PyObject* object, const char* expected) {
  PyObject* name = PyType_GetQualName(Py_TYPE(object));
  if (name != nullptr) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, expected);
    Py_DECREF(name);
  }
  throw PythonError{};
}

void raise_borrow_conflict(Borrow wanted) {
  PyErr_SetString(PyExc_RuntimeError, wanted == Borrow::kExclusive ? "Already borrowed"
                                                                   : "Already mutably borrowed");
  throw PythonError{};
}

void set_internal_fault(std::string_view message, const std::source_location& where) {
  const std::string text = message.empty() ? std::string("panic from Tamo code") : std::string(message);
  std::fprintf(stderr, "veltar_core: internal fault at %s:%u in %s: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), where.function_name(), text.c_str());
  std::fflush(stderr);
  PyObject* type = internal_fault_type();
  if (type == nullptr) return;  // the creation error stays set
  PyObject* value = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (value == nullptr) return;
  PyErr_SetObject(type, value);
  Py_DECREF(value);
}

void set_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    ensure_error_set();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const Fault& fault) {
    set_internal_fault(fault.message(), fault.where());
  } catch (const std::exception& error) {
    set_internal_fault(error.what(), std::source_location::current());
  } catch (...) {
    set_internal_fault("", std::source_location::current());
  }
}

void ensure_error_set() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

}  // namespace veltar::py
