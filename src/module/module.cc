// The module entry: initialisation, the two module functions and the
// registration of the classes.
#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "module/binding.h"
#include "module/classes.h"

namespace veltar::py {
namespace {

constexpr const char* kVersion = "0.9.0";

// The interpreter that first initialised the module (-1: none yet), and the
// module object once an initialisation has completed. Both live for the
// process.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* initialised_module = nullptr;

PyObject* version(PyObject*, PyObject*) {
  return guard([]() -> PyObject* { return to_python(kVersion); });
}

PyObject* engine_info(PyObject*, PyObject*) {
  return guard([]() -> PyObject* {
    static const std::vector<std::string_view> modules = {"firewall", "pii", "loop_breaker",
                                                          "forensic"};
    DictBuilder dict;
    dict.set("engine", "tamo").set("version", kVersion).set("modules", modules);
    return dict.release();
  });
}

PyMethodDef version_def = {"version", &version, METH_NOARGS,
                           "version()\n--\n\nReturns the version of the Tamo core engine."};
PyMethodDef engine_info_def = {"engine_info", &engine_info, METH_NOARGS,
                               "engine_info()\n--\n\nReturns engine info for diagnostics."};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "veltar_core", "Veltar Core Python module.", 0, nullptr,
    nullptr,               nullptr,       nullptr,                      nullptr,
};

// Appends `name` to the module's __all__ (creating the list if the module
// has none) and sets the attribute. Steals `value`.
void add_under_name(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (all == nullptr) {
    all = PyList_New(0);
    if (all == nullptr || PyDict_SetItemString(dict, "__all__", all) != 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      throw PythonError{};
    }
    Py_DECREF(all);  // the module's dict holds it
  }
  const bool ok = PyList_Append(all, name) == 0 && PyObject_SetAttr(module, name, value) == 0;
  Py_DECREF(value);
  if (!ok) throw PythonError{};
}

void add_function(PyObject* module, PyMethodDef* def) {
  PyObject* module_name = check(PyModule_GetNameObject(module));
  PyObject* function = PyCFunction_NewEx(def, module, module_name);
  Py_DECREF(module_name);
  check(function);
  PyObject* name = PyObject_GetAttrString(function, "__name__");
  if (name == nullptr || !PyUnicode_Check(name)) {
    if (name != nullptr) PyErr_SetString(PyExc_TypeError, "__name__ must be a str");
    Py_XDECREF(name);
    Py_DECREF(function);
    throw PythonError{};
  }
  try {
    add_under_name(module, name, function);
  } catch (...) {
    Py_DECREF(name);
    throw;
  }
  Py_DECREF(name);
}

void add_class(PyObject* module, PyTypeObject* type) {
  PyObject* name = check(PyType_GetName(type));
  Py_INCREF(type);
  try {
    add_under_name(module, name, reinterpret_cast<PyObject*>(type));
  } catch (...) {
    Py_DECREF(name);
    throw;
  }
  Py_DECREF(name);
}

void fill(PyObject* module) {
  add_function(module, &version_def);
  add_function(module, &engine_info_def);
  add_class(module, firewall_type());
  add_class(module, firewall_result_type());
  add_class(module, pii_scanner_type());
  add_class(module, pii_result_type());
  add_class(module, loop_breaker_type());
  add_class(module, hash_chain_type());
}

PyObject* initialise() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) throw PythonError{};
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "veltar_core does not support sub-interpreters: it is already loaded in "
                    "another interpreter of this process");
    throw PythonError{};
  }
  if (initialised_module != nullptr) return Py_NewRef(initialised_module);

  PyObject* module = check(PyModule_Create2(&module_def, 1013));
  try {
    fill(module);
  } catch (...) {
    Py_DECREF(module);
    throw;
  }
  initialised_module = Py_NewRef(module);
  return module;
}

}  // namespace
}  // namespace veltar::py

PyMODINIT_FUNC PyInit_veltar_core() {
  return veltar::py::guard([]() -> PyObject* { return veltar::py::initialise(); });
}
