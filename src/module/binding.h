// The binding layer: the one road by which every Python call reaches an engine.
//
// A Python class is described by tables (methods, attributes, constructor)
// whose entries are made from plain C++ functions taking the engine and native
// arguments. The templates below parse the arguments, borrow the instance,
// convert each parameter, call the function, convert its result and release
// everything on every exit path. No class binding touches argument parsing or
// error handling itself.
//
// This is the only directory of the project that includes Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <new>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/borrow.h"
#include "module/convert.h"
#include "module/errors.h"

namespace veltar::py {

// ---------------------------------------------------------------------------
// Parameter lists

// The parameters of one callable: names in positional order, how many of the
// leading ones are required. `method` is the method name, "__new__" for a
// constructor; with the class name it makes the display name of messages.
template <std::size_t N>
struct ParamList {
  const char* method;
  std::array<const char*, N> names;
  std::size_t required;
};

// Places positional and keyword arguments into `slots` (borrowed references,
// nullptr where absent). Raises the argument-parsing TypeErrors.
struct ParseTarget {
  const char* class_name;  // nullptr for a module function
  const char* method;
  const char* const* names;
  std::size_t count;
  std::size_t required;
};
void parse_fastcall(const ParseTarget& target, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);
void parse_tuple_dict(const ParseTarget& target, PyObject* args, PyObject* kwargs,
                      PyObject** slots);

// ---------------------------------------------------------------------------
// Classes

// Each engine type bound to Python names its class by specialising this.
template <class Engine>
inline constexpr const char* kClassName = nullptr;

// Instance layout: the object header, the engine state, the borrow flag.
template <class Engine>
struct Instance {
  PyObject_HEAD
  Engine engine;
  BorrowFlag borrow;
};

struct MethodEntry {
  const char* name;
  PyCFunction function;
  int flags;
  const char* signature;  // text signature, e.g. "($self, text)"
  const char* body;       // docstring body; "" for none
};

struct AttributeEntry {
  const char* name;
  getter get;
};

// Everything CPython needs to make one heap type.
struct ClassDef {
  const char* name;        // the class name
  const char* signature;   // constructor text signature, nullptr for no constructor
  const char* body;        // class docstring body
  std::span<const MethodEntry> methods;
  std::span<const AttributeEntry> attributes;
  newfunc constructor;     // nullptr: calling the class raises "No constructor defined"
  destructor dealloc;
  Py_ssize_t basic_size;
};

// Creates the heap type "builtins.<name>" (no subclassing, no __dict__).
// Returns a new reference or raises.
PyTypeObject* create_type(const ClassDef& def);

// The process-wide type object of a class, created on first need and kept;
// `ensure_type` raises CPython's error when it cannot be created.
PyTypeObject* ensure_type(PyTypeObject*& slot, const ClassDef& def);

// The same for calls after initialisation: A failure prints CPython's error and raises InternalFault
// "failed to create type object for <name>".
PyTypeObject* type_object(PyTypeObject*& slot, const ClassDef& def);

template <class Engine>
struct TypeSlot {
  static inline PyTypeObject* type = nullptr;
};

template <class Engine>
const ClassDef& class_def();  // defined by each class binding

template <class Engine>
PyTypeObject* type_of() {
  return type_object(TypeSlot<Engine>::type, class_def<Engine>());
}

template <class Engine>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* instance = reinterpret_cast<Instance<Engine>*>(self);
  instance->borrow.~BorrowFlag();
  instance->engine.~Engine();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Allocates an instance of `type` and moves `engine` into it. On allocation
// failure `engine` is left to its owner to destroy and the error is raised.
template <class Engine>
PyObject* new_instance(PyTypeObject* type, Engine&& engine) {
  PyObject* self = check(PyType_GenericAlloc(type, 0));
  auto* instance = reinterpret_cast<Instance<Engine>*>(self);
  new (&instance->engine) Engine(std::move(engine));
  new (&instance->borrow) BorrowFlag();
  return self;
}

// Wraps a native result in a new instance of its result class.
template <class Result>
PyObject* wrap_result(Result&& result) {
  return new_instance<Result>(type_of<Result>(), std::move(result));
}

// ---------------------------------------------------------------------------
// The road of one call

namespace detail {

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Result = R;
  using Args = std::tuple<A...>;
};

template <class Args>
using FirstArg = std::remove_cvref_t<std::tuple_element_t<0, Args>>;

// A held borrow of an instance: checks the type, takes the borrow and a
// reference, and gives both back on destruction.
template <class Engine, Borrow kind>
class Held {
 public:
  explicit Held(PyObject* self) : self_(self) {
    PyTypeObject* type = type_of<Engine>();
    if (!PyObject_TypeCheck(self, type)) raise_wrong_type(self, kClassName<Engine>);
    if (!instance()->borrow.acquire(kind)) raise_borrow_conflict(kind);
    Py_INCREF(self_);
  }
  ~Held() {
    instance()->borrow.release(kind);
    Py_DECREF(self_);
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  Engine& engine() { return instance()->engine; }

 private:
  Instance<Engine>* instance() { return reinterpret_cast<Instance<Engine>*>(self_); }
  PyObject* self_;
};

template <class R>
PyObject* result_to_python(R&& value) {
  if constexpr (std::is_same_v<std::remove_cvref_t<R>, PyObject*>) {
    return check(value);
  } else {
    return to_python(std::forward<R>(value));
  }
}

// Converts slots[I] to the native type of parameter I + Skip of Fn, in
// positional order (braced initialisation is evaluated left to right).
template <auto Fn, std::size_t Skip, const auto& P, std::size_t... I>
auto convert_slots(PyObject* const* slots, std::index_sequence<I...>) {
  using Args = typename FnTraits<decltype(Fn)>::Args;
  using Converted = std::tuple<std::remove_cvref_t<std::tuple_element_t<I + Skip, Args>>...>;
  return Converted{
      convert_argument<std::remove_cvref_t<std::tuple_element_t<I + Skip, Args>>>(P.names[I],
                                                                                 slots[I])...};
}

template <auto Fn>
constexpr std::size_t arity = std::tuple_size_v<typename FnTraits<decltype(Fn)>::Args>;

template <class Engine, const auto& P>
ParseTarget parse_target() {
  return {kClassName<Engine>, P.method, P.names.data(), P.names.size(), P.required};
}

// Methods taking parameters: fast call with keywords.
template <const auto& P, Borrow kind, auto Fn>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  using Engine = FirstArg<typename FnTraits<decltype(Fn)>::Args>;
  constexpr std::size_t n = P.names.size();
  static_assert(arity<Fn> == n + 1, "a method takes the engine and one native value per parameter");
  return guard([&]() -> PyObject* {
    std::array<PyObject*, n> slots{};
    parse_fastcall(parse_target<Engine, P>(), args, nargs, kwnames, slots.data());
    Held<Engine, kind> held(self);
    auto converted = convert_slots<Fn, 1, P>(slots.data(), std::make_index_sequence<n>{});
    return result_to_python(std::apply(
        [&](auto&&... values) { return Fn(held.engine(), std::move(values)...); }, converted));
  });
}

// Static methods: fast call with keywords, no instance.
template <class Engine, const auto& P, auto Fn>
PyObject* fastcall_static(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr std::size_t n = P.names.size();
  static_assert(arity<Fn> == n, "a static method takes one native value per parameter");
  return guard([&]() -> PyObject* {
    std::array<PyObject*, n> slots{};
    parse_fastcall(parse_target<Engine, P>(), args, nargs, kwnames, slots.data());
    auto converted = convert_slots<Fn, 0, P>(slots.data(), std::make_index_sequence<n>{});
    return result_to_python(std::apply(Fn, std::move(converted)));
  });
}

// Methods without parameters: CPython rejects any argument itself.
template <Borrow kind, auto Fn>
PyObject* noargs_method(PyObject* self, PyObject*) {
  using Engine = FirstArg<typename FnTraits<decltype(Fn)>::Args>;
  return guard([&]() -> PyObject* {
    Held<Engine, kind> held(self);
    return result_to_python(Fn(held.engine()));
  });
}

template <auto Member>
struct MemberTraits;
template <class C, class T, T C::*M>
struct MemberTraits<M> {
  using Owner = C;
};

// Attribute getters: a shared borrow and a fresh conversion on every read.
template <auto Member>
PyObject* attribute_getter(PyObject* self, void*) {
  using Engine = typename MemberTraits<Member>::Owner;
  return guard([&]() -> PyObject* {
    Held<Engine, Borrow::kShared> held(self);
    return to_python(held.engine().*Member);
  });
}

// Constructors: parse, convert, build the complete engine, then allocate.
template <const auto& P, auto Make>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  using Engine = std::remove_cvref_t<typename FnTraits<decltype(Make)>::Result>;
  constexpr std::size_t n = P.names.size();
  return guard([&]() -> PyObject* {
    std::array<PyObject*, n> slots{};
    parse_tuple_dict(parse_target<Engine, P>(), args, kwargs, slots.data());
    auto converted = convert_slots<Make, 0, P>(slots.data(), std::make_index_sequence<n>{});
    Engine engine = std::apply(Make, std::move(converted));
    return new_instance<Engine>(type, std::move(engine));
  });
}

template <class Engine>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", kClassName<Engine>);
  return nullptr;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Table entries

inline constexpr ParamList<0> kNoParams{"__new__", {}, 0};

template <const auto& P, Borrow kind, auto Fn>
constexpr MethodEntry method(const char* signature, const char* body) {
  return {P.method,
          reinterpret_cast<PyCFunction>(
              reinterpret_cast<void (*)()>(&detail::fastcall_method<P, kind, Fn>)),
          METH_FASTCALL | METH_KEYWORDS, signature, body};
}

template <class Engine, const auto& P, auto Fn>
constexpr MethodEntry static_method(const char* signature, const char* body) {
  return {P.method,
          reinterpret_cast<PyCFunction>(
              reinterpret_cast<void (*)()>(&detail::fastcall_static<Engine, P, Fn>)),
          METH_FASTCALL | METH_KEYWORDS | METH_STATIC, signature, body};
}

template <Borrow kind, auto Fn>
constexpr MethodEntry method_noargs(const char* name, const char* body) {
  return {name, &detail::noargs_method<kind, Fn>, METH_NOARGS, "($self)", body};
}

template <auto Member>
constexpr AttributeEntry attribute(const char* name) {
  return {name, &detail::attribute_getter<Member>};
}

template <const auto& P, auto Make>
constexpr newfunc constructor() {
  return &detail::construct<P, Make>;
}

template <class Engine>
constexpr newfunc no_constructor() {
  return &detail::no_constructor<Engine>;
}

}  // namespace veltar::py
