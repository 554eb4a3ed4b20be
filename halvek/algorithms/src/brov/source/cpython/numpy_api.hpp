// NumPy's C API as every source of the package includes it: one table of NumPy's functions per
// extension module, filled by start_extension (extension_start.cpp, the one source that owns it).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef BROV_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#define PY_ARRAY_UNIQUE_SYMBOL brov_ARRAY_API
#include <numpy/arrayobject.h>
