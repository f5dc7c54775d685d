#include "module/convert.h"

#include <cstring>
#include <limits>

namespace veltar::py {
namespace {

// numpy's boolean scalar, recognised by name so that numpy is not needed to
// build or import the module.
bool is_numpy_bool(PyObject* object) {
  const char* name = Py_TYPE(object)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// An owned reference released on scope exit.
class Owned {
 public:
  explicit Owned(PyObject* object) : object_(check(object)) {}
  ~Owned() { Py_DECREF(object_); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  PyObject* get() const { return object_; }

 private:
  PyObject* object_;
};

}  // namespace

std::string_view FromPython<std::string_view>::convert(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_wrong_type(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw PythonError{};
  return {data, static_cast<std::size_t>(size)};
}

bool FromPython<bool>::convert(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) throw PythonError{};
    return truth != 0;
  }
  raise_wrong_type(object, "PyBool");
}

std::uint64_t FromPython<std::uint64_t>::convert(PyObject* object) {
  Owned index(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return value;
}

std::uint32_t FromPython<std::uint32_t>::convert(PyObject* object) {
  Owned index(PyNumber_Index(object));
  const long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw PythonError{};
  }
  return static_cast<std::uint32_t>(value);
}

double FromPython<double>::convert(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
  return value;
}

TextPairs FromPython<TextPairs>::convert(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "a str cannot be taken as a list of (hash, previous_hash) pairs");
    throw PythonError{};
  }
  if (!PySequence_Check(object)) raise_wrong_type(object, "Sequence");

  TextPairs pairs;
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    pairs.reserve(static_cast<std::size_t>(hint));
  }

  Owned iterator(PyObject_GetIter(object));
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    Owned item(raw);
    if (!PyTuple_Check(item.get())) raise_wrong_type(item.get(), "PyTuple");
    const Py_ssize_t size = PyTuple_GET_SIZE(item.get());
    if (size != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
      throw PythonError{};
    }
    const std::string_view hash = FromPython<std::string_view>::convert(PyTuple_GET_ITEM(item.get(), 0));
    const std::string_view previous =
        FromPython<std::string_view>::convert(PyTuple_GET_ITEM(item.get(), 1));
    pairs.emplace_back(std::string(hash), std::string(previous));
  }
  if (PyErr_Occurred()) throw PythonError{};
  return pairs;
}

void rethrow_as_argument_error(const char* name) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (type != PyExc_TypeError) {  // a subclass passes unchanged
    PyErr_Restore(type, value, traceback);
    throw PythonError{};
  }
  PyObject* cause = value != nullptr ? PyException_GetCause(value) : nullptr;
  PyObject* message = value != nullptr ? PyObject_Str(value) : nullptr;
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  if (message == nullptr) {
    Py_XDECREF(cause);
    throw PythonError{};
  }
  PyObject* text = PyUnicode_FromFormat("argument '%s': %U", name, message);
  Py_DECREF(message);
  PyObject* error = text != nullptr ? PyObject_CallOneArg(PyExc_TypeError, text) : nullptr;
  Py_XDECREF(text);
  if (error == nullptr) {
    Py_XDECREF(cause);
    throw PythonError{};
  }
  PyException_SetCause(error, cause);  // steals `cause`; null leaves __cause__ None
  PyErr_SetObject(PyExc_TypeError, error);
  Py_DECREF(error);
  throw PythonError{};
}

PyObject* to_python(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* to_python(bool flag) { return Py_NewRef(flag ? Py_True : Py_False); }

PyObject* to_python(double number) { return check(PyFloat_FromDouble(number)); }

PyObject* to_python(std::uint64_t number) { return check(PyLong_FromUnsignedLongLong(number)); }

PyObject* to_python(std::int64_t number) { return check(PyLong_FromLongLong(number)); }

PyObject* to_python(std::uint32_t number) { return check(PyLong_FromUnsignedLong(number)); }

}  // namespace veltar::py
