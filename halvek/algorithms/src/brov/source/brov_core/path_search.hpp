// Shared by the path search, the exploration, the subgraph builder and the clustering driver.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "cpython/binding.hpp"
#include "brov_core/graph_wrapper.hpp"
#include "brov_core/route.hpp"

namespace brov {

// The neighbours of one node: the array exported by name (held as a buffer) or, in place, the
// container's own storage.
struct NeighborList {
    Ref array;
    IndexView view;
    const std::int64_t* storage = nullptr;
    Py_ssize_t length = 0;
    std::int64_t at(Py_ssize_t i) const { return storage ? storage[i] : view.get(i); }
};

// What every search of one call shares. On the in-place route the adjacency is an exact INT64
// GraphWrapper, the labels an exact ndarray and the module functions are the module's own, so
// storage is read in place and no name is looked up. Python code can still run during the search
// (signal handlers at the polls, finalisers at allocations): the busy pin keeps the lists as they
// are, and the labels are read from a copy.
struct SearchContext {
    SearchContext(PyObject* connections_, PyObject* labels_obj_)
        : connections(connections_), labels_obj(labels_obj_), plain_labels(labels_are_plain(labels_obj_)) {}

    PyObject* connections;
    PyObject* labels_obj;
    LabelView labels;
    bool plain_labels;
    Route route = Route::by_name;  // chosen once by the entry call (route.hpp)
    bool in_place() const { return route == Route::in_place; }
    std::vector<std::uint8_t> on_route;  // nodes on the path being extended, by node index
    InterruptPoll poll;                  // shared by every loop of the call
    // Building a subgraph, an exploration level that has already run adds only paths whose edges
    // are stored already (a level depends on its start and bomb node alone), so it is skipped.
    bool skip_repeated_levels = false;
    std::unordered_set<std::uint64_t> completed_levels;

    // An in-place run pins the container's storage and reads the labels from its own copy: signal
    // handlers and finalisers that run during its polls and allocations cannot change either.
    BusyPin storage_pin;
    std::vector<std::int8_t> label_copy;

    static bool labels_are_plain(PyObject* labels);
    void prepare();
    std::int8_t label_of(std::int64_t node) const;
    void load_neighbors(std::int32_t node, NeighborList& out) const;
};

// Appends to `out` the paths that find_all_paths_with_labels(connections, labels, start, bomb, path)
// returns; `path` may be null for None.
void find_paths(SearchContext& ctx, std::int32_t start, std::int32_t bomb, PyObject* path, PyObject* out);

// Appends to `all_paths` what explore_graph_recursive(connections, labels, start) returns.
void explore(SearchContext& ctx, std::int32_t start, PyObject* all_paths);

// find_subgraph_with_labels once its arguments are matched and `labels` type-tested.
Ref build_subgraph(PyObject* connections, PyObject* weights, PyObject* labels);

}  // namespace brov
