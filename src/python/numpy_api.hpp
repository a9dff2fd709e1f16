// Include point of the NumPy C API for every file of the module boundary. One translation
// unit (arrays.cpp, in the shared native library) owns the API table; the others refer to it.
#pragma once

#include "python/pyref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL spanlet_ARRAY_API
// The table lives in the shared native library and is reached from both extension modules.
#define NPY_API_SYMBOL_ATTRIBUTE __attribute__((visibility("default")))
#ifndef SPANLET_OWNS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
