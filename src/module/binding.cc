#include "module/binding.h"

#include <deque>
#include <memory>
#include <string>

namespace veltar::py {
namespace {

std::string display_name(const ParseTarget& target) {
  std::string name;
  if (target.class_name != nullptr) {
    name += target.class_name;
    name += '.';
  }
  name += target.method;
  name += "()";
  return name;
}

[[noreturn]] void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError{};
}

[[noreturn]] void raise_too_many(const ParseTarget& target, Py_ssize_t given) {
  std::string message = display_name(target) + " takes ";
  if (target.required == target.count) {
    message += std::to_string(target.count);
  } else {
    message += "from " + std::to_string(target.required) + " to " + std::to_string(target.count);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
             " given";
  raise_type_error(message);
}

// Places one keyword argument; `name` is a str (CPython guarantees it).
void place_keyword(const ParseTarget& target, PyObject* name, PyObject* value, PyObject** slots) {
  for (std::size_t i = 0; i < target.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, target.names[i]) == 0) {
      if (slots[i] != nullptr) {
        raise_type_error(display_name(target) + " got multiple values for argument '" +
                         target.names[i] + "'");
      }
      slots[i] = value;
      return;
    }
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) throw PythonError{};
  raise_type_error(display_name(target) + " got an unexpected keyword argument '" +
                   std::string(text, static_cast<std::size_t>(size)) + "'");
}

void check_required(const ParseTarget& target, PyObject* const* slots) {
  std::deque<const char*> missing;
  for (std::size_t i = 0; i < target.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(target.names[i]);
  }
  if (missing.empty()) return;
  std::string message = display_name(target) + " missing " + std::to_string(missing.size()) +
                        " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        message += " and ";
      } else {
        message += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    message += '\'';
    message += missing[i];
    message += '\'';
  }
  raise_type_error(message);
}

// Docstrings and method tables handed to CPython must outlive the types.
std::deque<std::string>& kept_strings() {
  static auto* strings = new std::deque<std::string>();
  return *strings;
}

const char* keep(std::string text) { return kept_strings().emplace_back(std::move(text)).c_str(); }

const char* combined_doc(const char* name, const char* signature, const char* body) {
  return keep(std::string(name) + signature + "\n--\n\n" + body);
}

}  // namespace

void parse_fastcall(const ParseTarget& target, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
  const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
  if (static_cast<std::size_t>(positional) > target.count) raise_too_many(target, positional);
  for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      place_keyword(target, PyTuple_GET_ITEM(kwnames, k), args[positional + k], slots);
    }
  }
  check_required(target, slots);
}

void parse_tuple_dict(const ParseTarget& target, PyObject* args, PyObject* kwargs,
                      PyObject** slots) {
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(positional) > target.count) raise_too_many(target, positional);
  for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      place_keyword(target, name, value, slots);
    }
  }
  check_required(target, slots);
}

PyTypeObject* create_type(const ClassDef& def) {
  // Kept for the life of the type once it exists; freed if it cannot be made.
  auto methods = std::make_unique<PyMethodDef[]>(def.methods.size() + 1);
  for (std::size_t i = 0; i < def.methods.size(); ++i) {
    const MethodEntry& entry = def.methods[i];
    methods[i] = {entry.name, entry.function, entry.flags,
                  combined_doc(entry.name, entry.signature, entry.body)};
  }
  auto attributes = std::make_unique<PyGetSetDef[]>(def.attributes.size() + 1);
  for (std::size_t i = 0; i < def.attributes.size(); ++i) {
    attributes[i] = {def.attributes[i].name, def.attributes[i].get, nullptr, nullptr, nullptr};
  }
  const char* doc = def.signature != nullptr ? combined_doc(def.name, def.signature, def.body)
                                             : keep(def.body);
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(def.constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)},
      {Py_tp_methods, methods.get()},
      {Py_tp_getset, attributes.get()},
      {0, nullptr},
  };
  PyType_Spec spec = {keep(std::string("builtins.") + def.name), static_cast<int>(def.basic_size), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  auto* type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
  methods.release();
  attributes.release();
  return type;
}

PyTypeObject* ensure_type(PyTypeObject*& slot, const ClassDef& def) {
  if (slot == nullptr) slot = create_type(def);
  return slot;
}

PyTypeObject* type_object(PyTypeObject*& slot, const ClassDef& def) {
  if (slot != nullptr) return slot;
  try {
    return ensure_type(slot, def);
  } catch (const PythonError&) {
    PyErr_Print();
    throw Fault(std::string("failed to create type object for ") + def.name);
  }
}

}  // namespace veltar::py
