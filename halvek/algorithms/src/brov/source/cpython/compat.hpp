// Small wrappers over interpreter calls whose public form changed between CPython 3.10 and 3.13,
// so the rest of the sources use one spelling on every supported version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brov {

// Takes the exception being raised out of the error state (null when none is set), as one
// normalized exception object with its traceback attached.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Puts an exception taken by take_raised_exception back (steals the reference; null clears).
inline void restore_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (!exception) {
        PyErr_Clear();
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// -1, 0 or 1 for a negative, zero or positive int object; no temporary objects.
inline int int_sign(PyObject* number) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow) return overflow;
    return (v > 0) - (v < 0);
}

}  // namespace brov
