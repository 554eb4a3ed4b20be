// Multi-phase initialisation of the package's helper modules (_bulk, _tree): the interpreter
// creates the module object, then the exec slot runs the shared start-up (start_extension) and
// the module's own step. The modules keep process-wide state, so they refuse sub-interpreters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "cpython/module_state.hpp"
#include "cpython/py_errors.hpp"

namespace brov {

template <void (*OwnStep)(PyObject* module)>
int execute_extension(PyObject* module) noexcept {
    return guarded<int>(-1, [&] {
        start_extension();
        OwnStep(module);
        return 0;
    });
}

// PyInit_<name> of a helper module: `def` gets m_size 0 and the exec slot running OwnStep.
template <void (*OwnStep)(PyObject* module)>
PyObject* init_extension(PyModuleDef& def) {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(&execute_extension<OwnStep>)},
#ifdef Py_mod_multiple_interpreters
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
        {0, nullptr},
    };
    def.m_size = 0;
    def.m_slots = slots;
    return PyModuleDef_Init(&def);
}

// For a module with no step of its own.
inline void no_own_step(PyObject*) {}

}  // namespace brov
