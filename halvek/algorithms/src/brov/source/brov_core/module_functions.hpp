// The entry points of brov_core's module functions. Each receives its arguments matched,
// converted and tested by the function table in module.cpp; errors leave as C++ exceptions,
// which the function object turns into the Python error state.
#pragma once

#include "cpython/binding.hpp"

namespace brov {

using Entry = PyObject* (*)(const Arguments& arguments);

PyObject* find_all_paths_with_labels_entry(const Arguments& arguments);
PyObject* explore_graph_recursive_entry(const Arguments& arguments);
PyObject* find_subgraph_with_labels_entry(const Arguments& arguments);
PyObject* make_labels_entry(const Arguments& arguments);
PyObject* clusterize_entry(const Arguments& arguments);

}  // namespace brov
