// The one place Python.h is included from, so that every unit sees the same
// configuration (clean Py_ssize_t arguments) and version switches.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
