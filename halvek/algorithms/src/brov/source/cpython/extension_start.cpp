// The start-up shared by brov_core, _bulk and _tree, and the home of their process state.
#define BROV_NUMPY_API_OWNER
#include "cpython/numpy_api.hpp"

#include "cpython/compat.hpp"
#include "cpython/module_state.hpp"
#include "cpython/py_errors.hpp"

namespace brov {

namespace {

// NumPy's own import_array() prints its error and returns; this one raises ImportError with the
// first error as its cause.
void import_numpy_interface() {
    if (_import_array() >= 0) return;
    PyObject* cause = take_raised_exception();
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    PyObject* failure = take_raised_exception();
    if (cause) PyException_SetCause(failure, cause);  // steals the reference
    restore_raised_exception(failure);
    throw_error_set();
}

PyObject* intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

PyObject* keyword_names(std::initializer_list<const char*> names) {
    Ref tuple = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(names.size()))));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(tuple.get(), i++, intern(name));
    return tuple.release();
}

void intern_names(InternedNames& n) {
#define BROV_INTERN_NAME(name) n.name = intern(#name);
    BROV_ATTRIBUTE_NAMES(BROV_INTERN_NAME)
#undef BROV_INTERN_NAME
    const char* callables[kCallableCount] = {"find_all_paths_with_labels", "explore_graph_recursive",
                                             "find_subgraph_with_labels", "make_labels", "clusterize"};
    for (int i = 0; i < kCallableCount; ++i) n.callables[i] = intern(callables[i]);
    n.dtype_keyword = keyword_names({"dtype"});
    n.bomb_node_keyword = keyword_names({"bomb_node"});
    n.find_keywords = keyword_names({"connections_sparse", "labels", "start", "bomb_node", "path"});
    n.fill_keywords = keyword_names({"visited", "labels"});
}

}  // namespace

ProcessState& process_state() {
    static ProcessState state;
    return state;
}

void start_extension() {
    import_numpy_interface();
    ProcessState& state = process_state();
    if (state.ndarray_type) return;
    intern_names(state.names);
    state.ndarray_type = &PyArray_Type;
    Py_INCREF(&PyArray_Type);
}

}  // namespace brov
