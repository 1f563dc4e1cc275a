// The one place the module includes Python, against the limited API.
#pragma once

#ifndef Py_LIMITED_API
#error "glyphward is built against the stable ABI: define Py_LIMITED_API"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
