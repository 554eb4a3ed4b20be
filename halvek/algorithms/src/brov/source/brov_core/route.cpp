#include "brov_core/route.hpp"

#include "cpython/binding.hpp"
#include "brov_core/graph_wrapper.hpp"

namespace brov {

namespace {

// The module functions that a call of `entry` reaches by name.
bool callees_untouched(Callable entry) {
    switch (entry) {
        case Callable::find_all_paths_with_labels:
        case Callable::explore_graph_recursive: return untouched(Callable::find_all_paths_with_labels);
        case Callable::find_subgraph_with_labels:
            return untouched(Callable::explore_graph_recursive) && untouched(Callable::find_all_paths_with_labels);
        case Callable::make_labels: return untouched(Callable::make_labels);
        case Callable::clusterize:
            for (Callable which : {Callable::find_subgraph_with_labels, Callable::explore_graph_recursive,
                                   Callable::find_all_paths_with_labels, Callable::make_labels})
                if (!untouched(which)) return false;
            return true;
    }
    return false;
}

bool weights_fit(PyObject* connections, PyObject* weights) {
    return is_exact_graph_wrapper(weights) && as_graph(weights)->_dtype == FLOAT32 &&
           as_graph(weights)->_count == as_graph(connections)->_count;
}

}  // namespace

bool native_adjacency(PyObject* connections) {
    return is_exact_graph_wrapper(connections) && as_graph(connections)->_dtype == INT64;
}

Route choose_route(Callable entry, PyObject* connections, PyObject* labels, PyObject* weights) {
    if (!native_adjacency(connections)) return Route::by_name;
    if (entry == Callable::clusterize && !weights_fit(connections, weights)) return Route::by_name;
    if (entry != Callable::make_labels && Py_TYPE(labels) != ndarray_type()) return Route::by_name;
    if (!callees_untouched(entry)) return Route::by_name;
    return entry == Callable::clusterize ? Route::planned : Route::in_place;
}

}  // namespace brov
