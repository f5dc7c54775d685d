// The binding layer's failure paths, driven from an embedded interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "common/fault.h"
#include "module/binding.h"

extern "C" PyObject* PyInit_veltar_core();

namespace veltar::py {
namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    PyImport_AppendInittab("veltar_core", &PyInit_veltar_core);
    Py_InitializeEx(0);
  }
  void TearDown() override { Py_FinalizeEx(); }
};

const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// The pending exception as (type name, message); clears it.
std::pair<std::string, std::string> take_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::pair<std::string, std::string> result;
  if (type != nullptr) result.first = reinterpret_cast<PyTypeObject*>(type)->tp_name;
  if (value != nullptr) {
    PyObject* text = PyObject_Str(value);
    result.second = PyUnicode_AsUTF8(text);
    Py_DECREF(text);
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return result;
}

TEST(Guard, FaultBecomesInternalFault) {
  testing::internal::CaptureStderr();
  PyObject* result = guard([]() -> PyObject* { throw Fault("invariant broken"); });
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, nullptr);
  ASSERT_TRUE(PyErr_Occurred());
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_BaseException));
  EXPECT_FALSE(PyErr_ExceptionMatches(PyExc_Exception));
  EXPECT_EQ(take_error(), std::make_pair(std::string("InternalFault"),
                                         std::string("invariant broken")));
  EXPECT_NE(report.find("invariant broken"), std::string::npos);
  EXPECT_NE(report.find("binding_test.cc"), std::string::npos);
}

TEST(Guard, FaultWithoutTextAndUnknownExceptions) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(guard([]() -> PyObject* { throw Fault(""); }), nullptr);
  EXPECT_EQ(take_error().second, "panic from Tamo code");
  EXPECT_EQ(guard([]() -> PyObject* { throw 42; }), nullptr);
  EXPECT_EQ(take_error(), std::make_pair(std::string("InternalFault"),
                                         std::string("panic from Tamo code")));
  EXPECT_EQ(guard([]() -> PyObject* { throw std::runtime_error("odd"); }), nullptr);
  EXPECT_EQ(take_error().second, "odd");
  testing::internal::GetCapturedStderr();
}

TEST(Guard, InternalFaultTypeIsCreatedOnceAndDocumented) {
  testing::internal::CaptureStderr();
  guard([]() -> PyObject* { throw Fault("a"); });
  PyObject *type1, *value1, *tb1;
  PyErr_Fetch(&type1, &value1, &tb1);
  guard([]() -> PyObject* { throw Fault("b"); });
  PyObject *type2, *value2, *tb2;
  PyErr_Fetch(&type2, &value2, &tb2);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(type1, type2);
  const char* doc = reinterpret_cast<PyTypeObject*>(type1)->tp_doc;
  ASSERT_NE(doc, nullptr);
  EXPECT_NE(std::string(doc).find("BaseException"), std::string::npos);
  EXPECT_EQ(reinterpret_cast<PyTypeObject*>(type1)->tp_base,
            reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
  for (PyObject* o : {type1, value1, tb1, type2, value2, tb2}) Py_XDECREF(o);
}

TEST(Guard, BadAllocBecomesMemoryError) {
  EXPECT_EQ(guard([]() -> PyObject* { throw std::bad_alloc(); }), nullptr);
  EXPECT_EQ(take_error().first, "MemoryError");
}

TEST(Guard, FailureWithoutExceptionIsSystemError) {
  EXPECT_EQ(guard([]() -> PyObject* { return nullptr; }), nullptr);
  EXPECT_EQ(take_error(), std::make_pair(std::string("SystemError"),
                                         std::string("attempted to fetch exception but none was set")));
  EXPECT_EQ(guard([]() -> PyObject* { throw PythonError{}; }), nullptr);
  EXPECT_EQ(take_error().second, "attempted to fetch exception but none was set");
}

TEST(Guard, PythonErrorKeepsTheSetException) {
  EXPECT_EQ(guard([]() -> PyObject* {
              PyErr_SetString(PyExc_KeyError, "k");
              throw PythonError{};
            }),
            nullptr);
  EXPECT_EQ(take_error().first, "KeyError");
}

TEST(BorrowFlag, SharedAndExclusiveExcludeEachOther) {
  BorrowFlag flag;
  EXPECT_TRUE(flag.acquire(Borrow::kShared));
  EXPECT_TRUE(flag.acquire(Borrow::kShared));
  EXPECT_FALSE(flag.acquire(Borrow::kExclusive));
  flag.release(Borrow::kShared);
  flag.release(Borrow::kShared);
  EXPECT_TRUE(flag.acquire(Borrow::kExclusive));
  EXPECT_FALSE(flag.acquire(Borrow::kShared));
  EXPECT_FALSE(flag.acquire(Borrow::kExclusive));
  flag.release(Borrow::kExclusive);
  EXPECT_TRUE(flag.acquire(Borrow::kShared));
}

TEST(BorrowConflict, Messages) {
  EXPECT_EQ(guard([]() -> PyObject* { raise_borrow_conflict(Borrow::kExclusive); }), nullptr);
  EXPECT_EQ(take_error(), std::make_pair(std::string("RuntimeError"), std::string("Already borrowed")));
  EXPECT_EQ(guard([]() -> PyObject* { raise_borrow_conflict(Borrow::kShared); }), nullptr);
  EXPECT_EQ(take_error(),
            std::make_pair(std::string("RuntimeError"), std::string("Already mutably borrowed")));
}

PyObject* no_getter(PyObject*, void*) { return nullptr; }

TEST(TypeObject, CreationFailureIsInternalFault) {
  // An attribute name that is not UTF-8 makes CPython refuse the type.
  static const AttributeEntry broken[] = {{"\xff", &no_getter}};
  static const ClassDef def{"Unmakeable", nullptr, "", {}, broken, nullptr, nullptr,
                            sizeof(PyObject)};
  PyTypeObject* slot = nullptr;
  testing::internal::CaptureStderr();
  EXPECT_EQ(guard([&]() -> PyObject* {
              return reinterpret_cast<PyObject*>(type_object(slot, def));
            }),
            nullptr);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(take_error(), std::make_pair(std::string("InternalFault"),
                                         std::string("failed to create type object for Unmakeable")));
  EXPECT_EQ(slot, nullptr);
}

TEST(Module, InitialisesOnceAndReturnsTheSameModule) {
  PyObject* first = PyImport_ImportModule("veltar_core");
  ASSERT_NE(first, nullptr);
  PyObject* second = PyInit_veltar_core();
  EXPECT_EQ(first, second);
  Py_XDECREF(first);
  Py_XDECREF(second);
}

}  // namespace
}  // namespace veltar::py
