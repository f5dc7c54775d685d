// The Python classes, in registration order. Each function returns the
// class's type object, creating it on first need; it raises CPython's error
// when the type cannot be created.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace veltar::py {

PyTypeObject* firewall_type();
PyTypeObject* firewall_result_type();
PyTypeObject* pii_scanner_type();
PyTypeObject* pii_result_type();
PyTypeObject* loop_breaker_type();
PyTypeObject* hash_chain_type();

}  // namespace veltar::py
