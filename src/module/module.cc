#include <Python.h>

static PyModuleDef veltar_core_def = {PyModuleDef_HEAD_INIT, "veltar_core", "Veltar Core Python module.", 0,
                                      nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_veltar_core() { return PyModule_Create2(&veltar_core_def, 1013); }
