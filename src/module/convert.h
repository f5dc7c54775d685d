// Conversions between Python objects and native values.
//
// Python to native: `convert_argument<T>(name, object)` converts one parsed
// argument; a TypeError of the conversion becomes "argument '<name>': ..."
// (its __cause__ is the conversion error's own cause), every other error
// passes unchanged. An absent optional argument converts to std::nullopt.
//
// Native to Python: `to_python(value)` returns a new reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/errors.h"

namespace veltar::py {

// A str argument, read in place from the object's UTF-8 form.
using Text = std::string_view;

// A list of (str, str) tuples, copied out of the caller's sequence.
using TextPairs = std::vector<std::pair<std::string, std::string>>;

template <class T>
struct FromPython;

template <>
struct FromPython<std::string_view> {
  static std::string_view convert(PyObject* object);
};
template <>
struct FromPython<bool> {
  static bool convert(PyObject* object);
};
template <>
struct FromPython<std::uint64_t> {
  static std::uint64_t convert(PyObject* object);
};
template <>
struct FromPython<std::uint32_t> {
  static std::uint32_t convert(PyObject* object);
};
template <>
struct FromPython<double> {
  static double convert(PyObject* object);
};
template <>
struct FromPython<TextPairs> {
  static TextPairs convert(PyObject* object);
};

// Replaces the pending TypeError (exactly that class) by the argument error
// naming `name`; leaves any other pending error as it is. Always throws.
[[noreturn]] void rethrow_as_argument_error(const char* name);

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
T convert_argument(const char* name, PyObject* object) {
  if constexpr (IsOptional<T>::value) {
    if (object == nullptr) return std::nullopt;
    return convert_argument<typename T::value_type>(name, object);
  } else {
    try {
      return FromPython<T>::convert(object);
    } catch (const PythonError&) {
      rethrow_as_argument_error(name);
    }
  }
}

// ---------------------------------------------------------------------------
// Native to Python

PyObject* to_python(std::string_view text);
inline PyObject* to_python(const std::string& text) { return to_python(std::string_view(text)); }
inline PyObject* to_python(const char* text) { return to_python(std::string_view(text)); }
PyObject* to_python(bool flag);
PyObject* to_python(double number);
PyObject* to_python(std::uint64_t number);
PyObject* to_python(std::int64_t number);
PyObject* to_python(std::uint32_t number);
inline PyObject* to_python(PyObject* object) { return check(object); }

template <class A, class B>
PyObject* to_python(const std::pair<A, B>& pair);

template <class T>
PyObject* to_python(const std::vector<T>& items) {
  PyObject* list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item;
    try {
      item = to_python(items[i]);
    } catch (...) {
      Py_DECREF(list);
      throw;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

template <class A, class B>
PyObject* to_python(const std::pair<A, B>& pair) {
  PyObject* first = to_python(pair.first);
  PyObject* second;
  try {
    second = to_python(pair.second);
  } catch (...) {
    Py_DECREF(first);
    throw;
  }
  PyObject* tuple = PyTuple_New(2);
  if (tuple == nullptr) {
    Py_DECREF(first);
    Py_DECREF(second);
    throw PythonError{};
  }
  PyTuple_SET_ITEM(tuple, 0, first);
  PyTuple_SET_ITEM(tuple, 1, second);
  return tuple;
}

// Builds a dict whose keys keep the order in which they are set.
class DictBuilder {
 public:
  DictBuilder() : dict_(check(PyDict_New())) {}
  ~DictBuilder() { Py_XDECREF(dict_); }
  DictBuilder(const DictBuilder&) = delete;
  DictBuilder& operator=(const DictBuilder&) = delete;

  template <class T>
  DictBuilder& set(const char* key, const T& value) {
    PyObject* object = to_python(value);
    const int status = PyDict_SetItemString(dict_, key, object);
    Py_DECREF(object);
    if (status != 0) throw PythonError{};
    return *this;
  }

  // Gives up ownership of the finished dict.
  PyObject* release() { return std::exchange(dict_, nullptr); }

 private:
  PyObject* dict_;
};

}  // namespace veltar::py
