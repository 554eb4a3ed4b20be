// The process state of an extension module of the package, in one struct built at start-up
// (start_extension, then brov_core's own execute step), and the lookups of brov_core's module
// functions by name: through the module namespace, so that a rebound name is honoured.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "cpython/py_ref.hpp"

namespace brov {

// The module functions of brov_core, in the order of their table.
enum class Callable { find_all_paths_with_labels, explore_graph_recursive, find_subgraph_with_labels, make_labels, clusterize };
constexpr int kCallableCount = 5;

// The attribute names the native code calls or looks up: each is a field of InternedNames holding
// the interned string of its own name.
#define BROV_ATTRIBUTE_NAMES(X)                                                                        \
    X(to_numpy) X(to_numpy_all) X(append) X(pop) X(pop_max) X(copy) X(index) X(extend) X(update) X(np) \
    X(empty) X(int64) X(float32)

// Names the native code calls or looks up, interned once; kept for the life of the process.
struct InternedNames {
#define BROV_NAME_FIELD(name) PyObject* name = nullptr;
    BROV_ATTRIBUTE_NAMES(BROV_NAME_FIELD)
#undef BROV_NAME_FIELD
    PyObject* callables[kCallableCount] = {};  // the module functions' names, by Callable
    // Keyword-name tuples of the nested calls made by keyword.
    PyObject* dtype_keyword = nullptr;      // ("dtype",)
    PyObject* bomb_node_keyword = nullptr;  // ("bomb_node",)
    PyObject* find_keywords = nullptr;      // every parameter of find_all_paths_with_labels
    PyObject* fill_keywords = nullptr;      // ("visited", "labels")
};

// Each extension module has its own copy (the binding library is linked into each);
// core_graph_wrapper is set by _bulk alone, the fields after it by brov_core alone.
struct ProcessState {
    PyTypeObject* ndarray_type = nullptr;  // numpy.ndarray
    InternedNames names;
    PyObject* core_graph_wrapper = nullptr;  // _bulk: brov_core.GraphWrapper
    PyObject* module = nullptr;  // brov_core's module object while a start-up holds or completed it
    PyObject* module_dict = nullptr;
    PyObject* functions[kCallableCount] = {};  // the function objects created at start-up
    std::int64_t interpreter = -1;             // the interpreter that first created the module
};

ProcessState& process_state();

// The steps every extension module of the package runs first at start-up: NumPy's native
// interface (ImportError "numpy.core.multiarray failed to import" with the first error as its
// cause), numpy.ndarray and the interned names. Idempotent.
void start_extension();

// Looks `name` up as a global of brov_core (module namespace, then builtins). New reference.
// Raises NameError when neither has it.
Ref module_global(PyObject* name);

// The global named after `which` (new reference).
Ref lookup(Callable which);

// True when `obj` is the module function created at start-up for `which`.
bool is_module_function(PyObject* obj, Callable which);

// True when the global named after `which` is still the module's own function.
inline bool untouched(Callable which) { return is_module_function(lookup(which).get(), which); }

// The container type is made ready by graph_wrapper.cpp.
int ready_graph_wrapper_type();

}  // namespace brov
