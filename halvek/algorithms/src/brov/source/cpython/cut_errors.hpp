// The Python exception that the cutting driver raises for a planner's failure status.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrays/cutting.hpp"
#include "cpython/py_errors.hpp"

namespace brov {

// For every status but ok and needs_fallback; `interrupted` leaves the pending signal's error set.
[[noreturn]] inline void raise_cut_failure(const CutResult& result) {
    switch (result.status) {
        case CutStatus::interrupted: throw_error_set();
        case CutStatus::no_qualifying_max: raise(PyExc_ValueError, "All sub-arrays are empty, cannot pop max");
        case CutStatus::lone_max: raise(PyExc_ValueError, "Only one entry holds the maximum value, cannot pop max");
        case CutStatus::not_in_list:
            raise_format(PyExc_ValueError, "%lld is not in list", static_cast<long long>(result.detail_a));
        case CutStatus::recursion:
            raise_format(PyExc_RecursionError,
                         "maximum recursion depth exceeded while exploring: the exploration returns to node %lld "
                         "from node %lld without end (a cycle through labelled nodes)",
                         static_cast<long long>(result.detail_a), static_cast<long long>(result.detail_b));
        default: raise(PyExc_SystemError, "the cutting planner returned an unexpected status");
    }
}

}  // namespace brov
