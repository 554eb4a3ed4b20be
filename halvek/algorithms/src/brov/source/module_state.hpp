// What the module's callables share at run time: the module namespace, through which the module
// functions reach each other by name, and the identity of the functions created at start-up, so
// that a call can tell whether a name still refers to the module's own function.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.hpp"

namespace brov {

enum class Callable { find_all_paths_with_labels, explore_graph_recursive, find_subgraph_with_labels, make_labels, clusterize };

// Looks `name` up as a global of the module (module namespace, then builtins). New reference.
// Raises NameError when neither has it.
Ref module_global(const char* name);

// True when `obj` is the module function created at start-up for `which`.
bool is_module_function(PyObject* obj, Callable which);

// Entry points of the module functions (positional tuple, keyword dict).
PyObject* find_all_paths_with_labels_entry(PyObject* args, PyObject* kwargs);
PyObject* explore_graph_recursive_entry(PyObject* args, PyObject* kwargs);
PyObject* find_subgraph_with_labels_entry(PyObject* args, PyObject* kwargs);
PyObject* make_labels_entry(PyObject* args, PyObject* kwargs);
PyObject* clusterize_entry(PyObject* args, PyObject* kwargs);

// The container type is made ready by graph_wrapper.cpp.
int ready_graph_wrapper_type();

}  // namespace brov
