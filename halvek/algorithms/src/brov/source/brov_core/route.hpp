// Which route an entry call of brov_core takes, chosen once at its start (see README.md here):
// by name through the containers' methods and the module's names, in place on the storage, or
// planned over arrays by the cutting planner.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "cpython/module_state.hpp"

namespace brov {

enum class Route { by_name, in_place, planned };

// An exact GraphWrapper of INT64 lists.
bool native_adjacency(PyObject* connections);

// The route of one call of `entry`; `weights` is looked at by clusterize only. In place needs an
// exact INT64 adjacency, the module's own versions of the functions the call would reach by
// name and, for the searches, an exact ndarray of labels; planned (clusterize) needs all of that
// and exact FLOAT32 weights of the same length. make_labels' own condition on its fence (plain
// ints) is checked by the fill. Everything else goes by name.
Route choose_route(Callable entry, PyObject* connections, PyObject* labels, PyObject* weights = nullptr);

}  // namespace brov
