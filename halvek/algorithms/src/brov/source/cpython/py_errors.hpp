// Failures travel through the native code as C++ exceptions and become Python exceptions in one
// place: the entry wrappers at the boundary (see `guarded`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace brov {

// Thrown when a Python exception is already set (by the C API or by us).
struct PythonError {};

[[noreturn]] inline void throw_error_set() { throw PythonError{}; }

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

template <typename... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PythonError{};
}

// Checks a C API result: null means a Python exception is set.
inline PyObject* check(PyObject* o) {
    if (!o) throw PythonError{};
    return o;
}
inline int check_status(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

// For a function with a handler of abi::__forced_unwind (a thread ended by the interpreter): that
// unwind carries no C++ object, so the handler binds a null reference, which the
// undefined-behaviour sanitizer would otherwise stop on. Never inlined: inlined into an entry
// point, the handler took that caller's checks back (seen as one exit in six).
#if defined(__GNUC__)
#define BROV_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null"), noinline))
#else
#define BROV_CATCHES_FORCED_UNWIND
#endif

// Runs `body` and turns any escaping C++ exception into the Python error state.
// Returns `failed` in that case. A thread that the interpreter ends at shutdown (while it takes the
// GIL back) unwinds through here, as it would through C code: that unwinding is let through.
//
// The C++ runtime keeps per-thread exception state that it allocates on the thread's first
// throw; when that first throw is bad_alloc there may be no memory left for it and the process
// aborts. Asking for the state on entry (std::uncaught_exceptions reads it) has it allocated
// while memory is still there.
template <typename Result, typename Body>
BROV_CATCHES_FORCED_UNWIND Result guarded(Result failed, Body&& body) {
    volatile int prepared = std::uncaught_exceptions();  // volatile: the call is pure, and must stay
    static_cast<void>(prepared);
    try {
        return body();
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked to grow past what it can address
        PyErr_NoMemory();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native exception in brov_core");
    }
    return failed;
}

}  // namespace brov
