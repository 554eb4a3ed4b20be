// Label-aware path search: the labelled path search, the chained exploration from the ends of
// the paths found, and the subgraph made of all such paths.
//
// The nesting of the searches follows the graph, so it is walked with explicit stacks. Nested
// calls are made through the module's attributes: as long as an attribute still names the
// module's own function the nested level runs inline; a rebound attribute is called like any
// Python callable, with the arguments that the nested call receives.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cpython/binding.hpp"
#include "brov_core/container_access.hpp"
#include "cpython/cut_errors.hpp"
#include "arrays/cutting.hpp"
#include "arrays/pair_key.hpp"
#include "brov_core/graph_wrapper.hpp"
#include "brov_core/module_functions.hpp"
#include "cpython/module_state.hpp"
#include "brov_core/node_set.hpp"
#include "brov_core/path_search.hpp"

namespace brov {

namespace {

const InternedNames& names() { return process_state().names; }

void list_extend(PyObject* list, PyObject* items) {
    if (PyList_CheckExact(items)) {
        check_status(PyList_SetSlice(list, PyList_GET_SIZE(list), PyList_GET_SIZE(list), items));
    } else {
        call_method_one(list, names().extend, items);
    }
}

Ref getitem_index(PyObject* obj, Py_ssize_t i) {
    Ref key = int_object(i);
    return Ref::steal(check(PyObject_GetItem(obj, key.get())));
}

}  // namespace

// ---------------------------------------------------------------------------------------------

bool SearchContext::labels_are_plain(PyObject* labels) { return Py_TYPE(labels) == ndarray_type(); }

void SearchContext::prepare() {
    if (in_place()) {
        storage_pin.hold(connections);
        label_copy.resize(static_cast<std::size_t>(labels.length));
        for (Py_ssize_t i = 0; i < labels.length; ++i) label_copy[static_cast<std::size_t>(i)] = labels.get(i);
        labels.base = reinterpret_cast<char*>(label_copy.data());
        labels.stride = 1;
    }
    on_route.assign(static_cast<std::size_t>(labels.length), 0);
}

std::int8_t SearchContext::label_of(std::int64_t node) const {
    if (!labels.in_range(node)) raise_node_out_of_range(node, labels.length);
    return labels.get(node);
}

void SearchContext::load_neighbors(std::int32_t node, NeighborList& out) const {
    out.array = Ref();
    out.storage = nullptr;
    if (in_place()) {
        GraphWrapperObject* g = as_graph(connections);
        if (node < 0 || static_cast<std::uint64_t>(node) >= g->_count) raise(PyExc_IndexError, "Invalid array index");
        out.storage = int_list(g, node);
        out.length = g->_sizes[node];
        return;
    }
    Ref array = ContainerAccess(connections).to_numpy(node);
    require_ndarray_value(array.get());
    if (array.get() == Py_None) raise(PyExc_TypeError, "object of type 'NoneType' has no len()");
    acquire_indices(array.get(), out.view);
    out.length = out.view.length;
    out.array = std::move(array);
}

// ---------------------------------------------------------------------------------------------
// The labelled path search.

namespace {

// One search: the path that led to the search's start node (`head`, a Python list whose first
// element is the root) and the nodes entered since (`route`), one frame per entered node.
class PathSearch {
public:
    PathSearch(SearchContext& ctx, std::int32_t bomb, PyObject* out) : ctx_(ctx), bomb_(bomb), out_(out) {}

    void run(std::int32_t start, PyObject* path) {
        Ref tail = Ref::steal(check(PyList_New(1)));
        PyList_SET_ITEM(tail.get(), 0, int_object(start).release());
        if (path == nullptr || path == Py_None) {
            head_ = std::move(tail);
        } else {
            head_ = Ref::steal(check(PyNumber_Add(path, tail.get())));
            require_list(head_.get(), /*none_passes=*/false);
        }
        scan_head();
        if (!enter(start, /*nested=*/false)) return;
        walk();
    }

private:
    struct Frame {
        std::int32_t node;
        NeighborList neighbors;
        Py_ssize_t next = 0;
    };

    // Records which plain integers the head holds, so membership needs no Python call.
    void scan_head() {
        Py_ssize_t size = PyList_GET_SIZE(head_.get());
        head_plain_ = true;
        for (Py_ssize_t i = 0; i < size && head_plain_; ++i) {
            PyObject* item = PyList_GET_ITEM(head_.get(), i);
            if (!PyLong_CheckExact(item)) {
                head_plain_ = false;
                break;
            }
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (overflow) head_plain_ = false;
            else head_values_.insert(v);
        }
    }

    PyObject* root() const {
        if (PyList_GET_SIZE(head_.get()) == 0) raise(PyExc_IndexError, "list index out of range");
        return PyList_GET_ITEM(head_.get(), 0);
    }

    bool differs_from_root(std::int32_t node) const {
        PyObject* r = root();
        if (head_plain_) return PyLong_AsLongLong(r) != node;
        Ref value = int_object(node);
        return check_status(PyObject_RichCompareBool(value.get(), r, Py_NE)) != 0;
    }

    bool on_path(std::int32_t node) const {
        if (node >= 0 && node < static_cast<std::int64_t>(ctx_.on_route.size()) && ctx_.on_route[node]) return true;
        if (head_plain_) return head_values_.count(node) > 0;
        Ref value = int_object(node);
        return check_status(PySequence_Contains(head_.get(), value.get())) != 0;
    }

    // The root's label, read once by indexing the label object with the root.
    bool same_as_root_label(std::int8_t label) {
        if (!root_label_known_) {
            PyObject* r = root();
            if (ctx_.plain_labels && head_plain_ && ctx_.labels.in_range(PyLong_AsLongLong(r))) {
                root_label_ = ctx_.labels.get(PyLong_AsLongLong(r));
                root_label_plain_ = true;
            } else {
                root_label_obj_ = Ref::steal(check(PyObject_GetItem(ctx_.labels_obj, r)));
                root_label_plain_ = false;
            }
            root_label_known_ = true;
        }
        if (root_label_plain_) return label == root_label_;
        Ref value = int_object(label);
        return check_status(PyObject_RichCompareBool(value.get(), root_label_obj_.get(), Py_EQ)) != 0;
    }

    Ref current_path() const {
        Py_ssize_t head_size = PyList_GET_SIZE(head_.get());
        Ref path = Ref::steal(check(PyList_New(head_size + static_cast<Py_ssize_t>(frames_.size()) - 1)));
        for (Py_ssize_t i = 0; i < head_size; ++i) {
            PyObject* item = PyList_GET_ITEM(head_.get(), i);
            Py_INCREF(item);
            PyList_SET_ITEM(path.get(), i, item);
        }
        for (std::size_t k = 1; k < frames_.size(); ++k)
            PyList_SET_ITEM(path.get(), head_size + static_cast<Py_ssize_t>(k) - 1,
                            int_object(frames_[k].node).release());
        return path;
    }

    // Steps of one call up to its neighbour loop. Returns true when a frame was pushed.
    bool enter(std::int32_t node, bool nested) {
        if (node == bomb_ && bomb_ != -1) return false;
        if (ctx_.label_of(node) > -1) {
            // A nested node is never on the path, so it differs from the root unless the head
            // holds objects with their own idea of equality.
            bool ends = nested && head_plain_ ? true : differs_from_root(node);
            if (ends) {
                if (nested) {
                    frames_.push_back(Frame{node, {}, 0});
                    Ref path = current_path();
                    frames_.pop_back();
                    check_status(PyList_Append(out_, path.get()));
                } else {
                    check_status(PyList_Append(out_, head_.get()));
                }
                return false;
            }
        }
        Frame frame{node, {}, 0};
        ctx_.load_neighbors(node, frame.neighbors);
        frames_.push_back(std::move(frame));
        if (nested) ctx_.on_route[node] = 1;
        return true;
    }

    void leave() {
        if (frames_.size() > 1) ctx_.on_route[frames_.back().node] = 0;
        frames_.pop_back();
    }

    void walk() {
        while (!frames_.empty()) {
            ctx_.poll();
            Frame& top = frames_.back();
            if (top.next >= top.neighbors.length) {
                leave();
                continue;
            }
            Py_ssize_t entry = top.next++;
            std::int32_t neighbor = narrow_to_int32(top.neighbors.at(entry));
            if (on_path(neighbor)) continue;
            if (same_as_root_label(ctx_.label_of(neighbor))) continue;
            if (ctx_.in_place()) {
                enter(neighbor, true);
                continue;
            }
            Ref search = lookup(Callable::find_all_paths_with_labels);
            if (is_module_function(search.get(), Callable::find_all_paths_with_labels)) {
                enter(neighbor, true);
            } else {
                call_rebound(search.get(), neighbor);
            }
        }
    }

    void call_rebound(PyObject* search, std::int32_t neighbor) {
        Ref path = current_path();
        Ref start = int_object(neighbor);
        Ref bomb = int_object(bomb_);
        PyObject* values[] = {ctx_.connections, ctx_.labels_obj, start.get(), bomb.get(), path.get()};
        Ref found = Ref::steal(check(PyObject_Vectorcall(search, values, 0, names().find_keywords)));
        list_extend(out_, found.get());
    }

    SearchContext& ctx_;
    std::int32_t bomb_;
    PyObject* out_;
    Ref head_;
    bool head_plain_ = true;
    std::unordered_set<long long> head_values_;
    std::vector<Frame> frames_;
    bool root_label_known_ = false;
    bool root_label_plain_ = false;
    std::int8_t root_label_ = 0;
    Ref root_label_obj_;
};

}  // namespace

void find_paths(SearchContext& ctx, std::int32_t start, std::int32_t bomb, PyObject* path, PyObject* out) {
    PathSearch(ctx, bomb, out).run(start, path);
}

// ---------------------------------------------------------------------------------------------
// The chained exploration.

namespace {

// Runs one search of the exploration, inline or through the rebound attribute; returns the list.
Ref exploration_search(SearchContext& ctx, std::int32_t start, std::int32_t bomb, bool* inline_search) {
    Ref search;
    if (!ctx.in_place()) search = lookup(Callable::find_all_paths_with_labels);
    *inline_search = ctx.in_place() || is_module_function(search.get(), Callable::find_all_paths_with_labels);
    if (*inline_search) {
        Ref paths = Ref::steal(check(PyList_New(0)));
        find_paths(ctx, start, bomb, nullptr, paths.get());
        return paths;
    }
    Ref start_obj = int_object(start);
    Ref bomb_obj = int_object(bomb);
    PyObject* values[] = {ctx.connections, ctx.labels_obj, start_obj.get(), bomb_obj.get()};
    Ref paths = Ref::steal(check(PyObject_Vectorcall(search.get(), values, 3, names().bomb_node_keyword)));
    require_list(paths.get());
    return paths;
}

// Raises where the driver's recursion would end: a rebound search can lead anywhere, so its
// nesting is bounded as a recursion would be; the module's own search nests for ever once a
// (start, bomb) pair comes back on the chain.
void check_nesting(std::size_t depth, bool rebound, bool repeated, std::int32_t node, std::int32_t bomb) {
    if (rebound && depth >= static_cast<std::size_t>(Py_GetRecursionLimit()))
        raise_format(PyExc_RecursionError,
                     "maximum recursion depth exceeded while exploring: the exploration nests deeper than "
                     "the recursion limit (%d)",
                     Py_GetRecursionLimit());
    if (repeated && !rebound)
        raise_format(PyExc_RecursionError,
                     "maximum recursion depth exceeded while exploring: the exploration returns to node %d "
                     "from node %d without end (a cycle through labelled nodes)",
                     node, bomb);
}

}  // namespace

void explore(SearchContext& ctx, std::int32_t start, PyObject* all_paths) {
    struct Level {
        std::int32_t start;
        std::int32_t bomb;
        Ref paths;
        Py_ssize_t count;
        Py_ssize_t next;
    };
    std::vector<Level> levels;
    // The (start, bomb) pairs of the levels on the current chain: a level depends on nothing
    // else, so meeting a pair again means the chain would nest for ever.
    std::unordered_set<std::uint64_t> chain;

    auto enter = [&](std::int32_t node, std::int32_t bomb) {
        std::uint64_t key = pair_key(node, bomb);
        if (ctx.skip_repeated_levels && ctx.completed_levels.count(key)) return;
        bool inline_search = false;
        bool rebound = !ctx.in_place() && !untouched(Callable::find_all_paths_with_labels);
        check_nesting(levels.size(), rebound, chain.count(key) > 0, node, bomb);
        Ref paths = exploration_search(ctx, node, bomb, &inline_search);
        list_extend(all_paths, paths.get());
        Py_ssize_t count = PyObject_Length(paths.get());
        if (count < 0) throw_error_set();
        chain.insert(key);
        levels.push_back(Level{node, bomb, std::move(paths), count, 0});
    };

    enter(start, -1);
    while (!levels.empty()) {
        ctx.poll();
        Level& level = levels.back();
        if (level.next >= level.count) {
            chain.erase(pair_key(level.start, level.bomb));
            if (ctx.skip_repeated_levels) ctx.completed_levels.insert(pair_key(level.start, level.bomb));
            levels.pop_back();
            continue;
        }
        Ref path = getitem_index(level.paths.get(), level.next++);
        require_list(path.get());
        std::int32_t end_node = to_int32(getitem_index(path.get(), -1).get());
        if (end_node == level.bomb) continue;
        std::int32_t new_bomb = to_int32(getitem_index(path.get(), -2).get());
        enter(end_node, new_bomb);
    }
}

// ---------------------------------------------------------------------------------------------
// The subgraph of all label-to-label paths.

namespace {

// Phase 1: explore from each labelled node not yet covered, in ascending order.
void collect_paths(SearchContext& ctx, const std::vector<std::int32_t>& starts, PyObject* all_paths) {
    const bool in_place = ctx.in_place();
    // Which nodes the collected paths cover (paths from a rebound exploration may hold any objects).
    NodeSet covered = in_place ? NodeSet::in_place(ctx.labels.length) : NodeSet::by_name(nullptr);
    std::size_t cursor = 0;
    while (cursor < starts.size()) {
        std::int32_t start = starts[cursor];
        Ref new_paths;
        Ref exploration;
        if (!in_place) exploration = lookup(Callable::explore_graph_recursive);
        if (in_place || is_module_function(exploration.get(), Callable::explore_graph_recursive)) {
            new_paths = Ref::steal(check(PyList_New(0)));
            explore(ctx, start, new_paths.get());
        } else {
            Ref start_obj = int_object(start);
            PyObject* values[] = {ctx.connections, ctx.labels_obj, start_obj.get()};
            new_paths = Ref::steal(check(PyObject_Vectorcall(exploration.get(), values, 3, nullptr)));
            require_list(new_paths.get());
        }
        Py_ssize_t found = PyObject_Length(new_paths.get());
        if (found < 0) throw_error_set();
        if (found > 0) {
            list_extend(all_paths, new_paths.get());
            for (Py_ssize_t i = 0; i < found; ++i) covered.add_path(getitem_index(new_paths.get(), i).get());
        }
        // A start node always counts as covered afterwards, so that an exploration whose paths
        // do not begin at it cannot make the loop pick it again for ever.
        covered.add(start);
        while (cursor < starts.size() && covered.contains(starts[cursor])) ++cursor;
    }
}

// Phase 3 helpers: where an edge lies in the input lists, and its weight there.
class InputEdges {
public:
    // `pinned`: the adjacency cannot change during the call, so first positions may be remembered.
    InputEdges(PyObject* connections, PyObject* weights, bool pinned)
        : connections_(connections), weights_(weights), connections_access_(connections), weights_access_(weights),
          on_storage_(native_adjacency(connections) && weights_access_.on_storage()), pinned_(pinned) {}

    std::int32_t position(std::int32_t a, std::int32_t b) {
        if (!on_storage_) {
            Ref array = connections_access_.to_numpy(a);
            Ref items = Ref::steal(check(PySequence_List(array.get())));
            Ref b_obj = int_object(b);
            Ref index = call_method_one(items.get(), names().index, b_obj.get());
            return to_int32(index.get());
        }
        GraphWrapperObject* g = as_graph(connections_);
        check_node(g, a);
        if (!pinned_) {
            // Unpinned lists may change whenever Python code runs between two edges: read them afresh.
            const std::int64_t* items = int_list(g, a);
            for (std::int32_t k = 0; k < g->_sizes[a]; ++k)
                if (items[k] == b) return k;
            raise_format(PyExc_ValueError, "%d is not in list", b);
        }
        if (scanned_.size() < g->_count) scanned_.assign(g->_count, 0);
        if (!scanned_[a]) {
            // One pass over the list records the first position of every neighbour.
            const std::int64_t* items = int_list(g, a);
            for (std::int32_t k = g->_sizes[a] - 1; k >= 0; --k)
                if (items[k] >= INT32_MIN && items[k] <= INT32_MAX)  // b is a 32-bit node
                    first_[pair_key(a, static_cast<std::int32_t>(items[k]))] = k;
            scanned_[a] = 1;
        }
        auto found = first_.find(pair_key(a, b));
        if (found == first_.end()) raise_format(PyExc_ValueError, "%d is not in list", b);
        return found->second;
    }

    float weight(std::int32_t a, std::int32_t position) {
        if (!on_storage_) {
            Ref array = weights_access_.to_numpy(a);
            Ref value = getitem_index(array.get(), position);
            double d = PyFloat_AsDouble(value.get());
            if (d == -1.0 && PyErr_Occurred()) throw_error_set();
            return round_to_float(d);
        }
        GraphWrapperObject* g = as_graph(weights_);
        check_node(g, a);
        if (position >= g->_sizes[a])
            raise_format(PyExc_IndexError, "index %d is out of bounds for axis 0 with size %d", position, g->_sizes[a]);
        if (g->_dtype == INT64) return static_cast<float>(int_list(g, a)[position]);
        return float_list(g, a)[position];
    }

private:
    static void check_node(GraphWrapperObject* g, std::int32_t a) {
        if (a < 0 || static_cast<std::uint64_t>(a) >= g->_count) raise(PyExc_IndexError, "Invalid array index");
    }

    PyObject* connections_;
    PyObject* weights_;
    ContainerAccess connections_access_;
    ContainerAccess weights_access_;
    bool on_storage_;  // both are exact containers read through their storage
    bool pinned_;
    std::vector<std::uint8_t> scanned_;
    std::unordered_map<std::uint64_t, std::int32_t> first_;
};

}  // namespace

namespace {

// The two result containers and the copying of path edges into them.
class SubgraphBuilder {
public:
    SubgraphBuilder(PyObject* connections, PyObject* weights, std::int32_t n, bool pinned)
        : input_(connections, weights, pinned), n_(n) {
        PyObject* type = reinterpret_cast<PyObject*>(&GraphWrapperType);
        sub_connections_ = Ref::steal(check(PyObject_CallFunction(type, "iii", n, 0, n)));
        sub_weights_ = Ref::steal(check(PyObject_CallFunction(type, "iii", n, 1, n)));
    }

    // Adds the edge a -> b unless the subgraph holds it, with the weight of the first b in a's
    // input list.
    void add_direction(std::int32_t a, std::int32_t b) {
        if (a < 0 || a >= n_) raise(PyExc_IndexError, "Invalid array index");
        if (!stored_.insert(pair_key(a, b)).second) return;
        push_int(as_graph(sub_connections_.get()), a, b);
        std::int32_t position = input_.position(a, b);
        push_float(as_graph(sub_weights_.get()), a, input_.weight(a, position));
    }

    void add_edge(std::int32_t a, std::int32_t b) {
        add_direction(a, b);
        add_direction(b, a);
    }

    // Adds an edge known to be new, with the weights of its two directions.
    void add_new_edge(const SubgraphEdge& e, float weight_ab, float weight_ba) {
        push_int(as_graph(sub_connections_.get()), e.a, e.b);
        push_float(as_graph(sub_weights_.get()), e.a, weight_ab);
        push_int(as_graph(sub_connections_.get()), e.b, e.a);
        push_float(as_graph(sub_weights_.get()), e.b, weight_ba);
    }

    Ref result() const { return Ref::steal(check(PyTuple_Pack(2, sub_connections_.get(), sub_weights_.get()))); }

private:
    InputEdges input_;
    std::int32_t n_;
    Ref sub_connections_;
    Ref sub_weights_;
    std::unordered_set<std::uint64_t> stored_;  // directed edges already in the subgraph
};

float stored_weight(GraphWrapperObject* w, std::int32_t node, std::int32_t position) {
    if (w->_dtype == INT64) return static_cast<float>(int_list(w, node)[position]);
    return float_list(w, node)[position];
}

// The subgraph of storage read in place, built component by component as the exact planner
// builds it (component_subgraph.hpp).
// Null when the input is outside the planner's reach: the search on storage then runs instead.
Ref planned_subgraph(SearchContext& ctx, PyObject* weights) {
    GraphWrapperObject* c = as_graph(ctx.connections);
    if (!is_exact_graph_wrapper(weights) || ctx.labels.length != static_cast<Py_ssize_t>(c->_count)) return Ref();
    CutInput input;
    input.n = static_cast<std::int64_t>(c->_count);
    input.adjacency = reinterpret_cast<const std::int64_t* const*>(c->_data);
    input.sizes = c->_sizes;
    input.labels = ctx.label_copy.data();
    CutOptions options;
    options.should_stop = interrupt_requested;
    std::vector<SubgraphEdge> edges;
    CutResult result = plan_subgraph(input, edges, options);
    if (result.status == CutStatus::needs_fallback) return Ref();
    if (result.status != CutStatus::ok) raise_cut_failure(result);
    // Read before the result containers exist: creating them can run Python code.
    GraphWrapperObject* w = as_graph(weights);
    if (!same_list_sizes(c, w)) return Ref();
    std::vector<float> values(2 * edges.size());
    for (std::size_t k = 0; k < edges.size(); ++k) {
        values[2 * k] = stored_weight(w, edges[k].a, edges[k].pab);
        values[2 * k + 1] = stored_weight(w, edges[k].b, edges[k].pba);
    }
    SubgraphBuilder builder(ctx.connections, weights, static_cast<std::int32_t>(input.n), true);
    for (std::size_t k = 0; k < edges.size(); ++k) builder.add_new_edge(edges[k], values[2 * k], values[2 * k + 1]);
    return builder.result();
}

}  // namespace

Ref build_subgraph(PyObject* connections, PyObject* weights, PyObject* labels_obj) {
    SearchContext ctx(connections, labels_obj);
    if (labels_obj != Py_None) acquire_labels(labels_obj, false, ctx.labels);
    Py_ssize_t length = PyObject_Length(labels_obj);
    if (length < 0) throw_error_set();

    ctx.route = choose_route(Callable::find_subgraph_with_labels, connections, labels_obj);
    ctx.skip_repeated_levels = ctx.in_place();
    ctx.prepare();  // the start nodes come from the labels the searches read
    std::vector<std::int32_t> starts;
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (!ctx.labels.in_range(i)) raise_node_out_of_range(i, ctx.labels.length);
        if (ctx.labels.get(i) != -1) starts.push_back(static_cast<std::int32_t>(i));
    }

    if (ctx.in_place()) {
        Ref planned = planned_subgraph(ctx, weights);
        if (planned) return planned;
    }

    Ref all_paths = Ref::steal(check(PyList_New(0)));
    collect_paths(ctx, starts, all_paths.get());

    Py_ssize_t count;
    if (is_exact_graph_wrapper(connections)) {
        count = static_cast<Py_ssize_t>(as_graph(connections)->_count);
    } else {
        Ref lists = ContainerAccess(connections).to_numpy_all();
        count = PyObject_Length(lists.get());
        if (count < 0) throw_error_set();
    }
    Ref count_obj = int_object(count);
    SubgraphBuilder builder(connections, weights, to_int32(count_obj.get()), ctx.in_place());
    for (Py_ssize_t p = 0; p < PyList_GET_SIZE(all_paths.get()); ++p) {
        PyObject* path = PyList_GET_ITEM(all_paths.get(), p);
        require_list(path);
        Py_ssize_t steps = PyObject_Length(path);
        if (steps < 0) throw_error_set();
        for (Py_ssize_t j = 0; j + 1 < steps; ++j) {
            ctx.poll();
            std::int32_t a = to_int32(getitem_index(path, j).get());
            std::int32_t b = to_int32(getitem_index(path, j + 1).get());
            builder.add_edge(a, b);
        }
    }
    return builder.result();
}

// ---------------------------------------------------------------------------------------------
// Entry points.

namespace {

// Acquires the label array of a search call (its type is tested by the binding) and decides
// whether the call can read the containers in place.
void open_search(SearchContext& ctx, bool without_path) {
    acquire_labels(ctx.labels_obj, false, ctx.labels);
    ctx.route = without_path ? choose_route(Callable::find_all_paths_with_labels, ctx.connections, ctx.labels_obj)
                             : Route::by_name;
    ctx.prepare();
}

}  // namespace

PyObject* find_all_paths_with_labels_entry(const Arguments& arguments) {
    PyObject* path = arguments.object(4);
    SearchContext ctx(arguments.object(0), arguments.object(1));
    open_search(ctx, path == Py_None);
    Ref out = Ref::steal(check(PyList_New(0)));
    find_paths(ctx, arguments.int32(2), arguments.int32(3), path, out.get());
    return out.release();
}

PyObject* explore_graph_recursive_entry(const Arguments& arguments) {
    SearchContext ctx(arguments.object(0), arguments.object(1));
    open_search(ctx, true);
    Ref all_paths = Ref::steal(check(PyList_New(0)));
    explore(ctx, arguments.int32(2), all_paths.get());
    return all_paths.release();
}

PyObject* find_subgraph_with_labels_entry(const Arguments& arguments) {
    return build_subgraph(arguments.object(0), arguments.object(1), arguments.object(2)).release();
}

}  // namespace brov
