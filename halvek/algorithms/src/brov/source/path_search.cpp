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

#include "binding.hpp"
#include "container_access.hpp"
#include "cutting.hpp"
#include "graph_wrapper.hpp"
#include "module_functions.hpp"
#include "module_state.hpp"
#include "node_set.hpp"
#include "path_search.hpp"

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
    if (direct) {
        storage_pin.hold(connections);
        label_copy.resize(static_cast<std::size_t>(labels.length));
        for (Py_ssize_t i = 0; i < labels.length; ++i) label_copy[static_cast<std::size_t>(i)] = labels.get(i);
        labels.base = reinterpret_cast<char*>(label_copy.data());
        labels.stride = 1;
    }
    on_route.assign(static_cast<std::size_t>(labels.length), 0);
}

bool native_adjacency(PyObject* connections) {
    return is_exact_graph_wrapper(connections) && as_graph(connections)->_dtype == INT64;
}

std::int8_t SearchContext::label_of(std::int64_t node) const {
    if (!labels.in_range(node)) raise_node_out_of_range(node, labels.length);
    return labels.get(node);
}

void SearchContext::load_neighbors(std::int32_t node, NeighborList& out) const {
    out.array = Ref();
    out.direct = nullptr;
    if (direct) {
        GraphWrapperObject* g = as_graph(connections);
        if (node < 0 || static_cast<std::uint64_t>(node) >= g->_count) raise(PyExc_IndexError, "Invalid array index");
        out.direct = int_list(g, node);
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
        if (ctx_.walk_log && ctx_.labels.in_range(start) && ctx_.labels.get(start) >= 0)
            walked_ = &ctx_.walked_table(ctx_.labels.get(start));
        if (!enter(start, /*nested=*/false)) return;
        walk();
    }

private:
    struct Frame {
        std::int32_t node;
        NeighborList neighbors;
        Py_ssize_t next = 0;
        std::int64_t entry = -1;         // the adjacency entry walked to get here (forest builds)
        std::size_t handed_before = 0;  // paths handed over before this frame was entered
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
                if (ctx_.sink) {
                    hand_over(node, true);
                } else if (nested) {
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
        route_.push_back(node);
        if (nested) ctx_.on_route[node] = 1;
        return true;
    }

    void hand_over(std::int32_t last, bool is_end) {
        route_.push_back(last);
        ctx_.sink->on_path(route_, known_, is_end);
        route_.pop_back();
        known_ = route_.size() - 1;
        ++handed_;
    }

    // Enters an unlabelled neighbour in a forest build, unless an earlier level walked that entry
    // already: then only the route up to it can be new.
    void enter_walked(std::int32_t neighbor, std::int64_t entry) {
        std::uint8_t flags = walked_ ? (*walked_)[entry] : 0;
        if (flags & 1) {
            if (flags & 2) hand_over(neighbor, false);
            return;
        }
        if (enter(neighbor, true)) {
            frames_.back().entry = entry;
            frames_.back().handed_before = handed_;
        }
    }

    void leave() {
        if (ctx_.walk_log && frames_.back().entry >= 0)
            ctx_.walk_log->emplace_back(frames_.back().entry, handed_ > frames_.back().handed_before);
        if (frames_.size() > 1) ctx_.on_route[frames_.back().node] = 0;
        frames_.pop_back();
        route_.pop_back();
        if (!route_.empty() && known_ > route_.size() - 1) known_ = route_.size() - 1;
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
            if (ctx_.worth && !ctx_.worth[ctx_.worth_offset[top.node] + entry]) continue;
            if (on_path(neighbor)) continue;
            if (same_as_root_label(ctx_.label_of(neighbor))) continue;
            if (ctx_.direct) {
                if (ctx_.walk_log && neighbor != bomb_ && ctx_.label_of(neighbor) < 0)
                    enter_walked(neighbor, ctx_.worth_offset[top.node] + entry);
                else
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
    std::vector<std::int32_t> route_;  // the frames' nodes, for the sink
    std::size_t known_ = 0;            // leading route edges already handed to the sink
    std::size_t handed_ = 0;           // paths handed to the sink so far
    std::vector<std::uint8_t>* walked_ = nullptr;  // entries walked before for this root label
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
    if (!ctx.direct) search = lookup(Callable::find_all_paths_with_labels);
    *inline_search = ctx.direct || is_module_function(search.get(), Callable::find_all_paths_with_labels);
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

std::uint64_t level_key(std::int32_t start, std::int32_t bomb) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(start)) << 32) | static_cast<std::uint32_t>(bomb);
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
        std::uint64_t key = level_key(node, bomb);
        if (ctx.skip_repeated_levels && ctx.completed_levels.count(key)) return;
        bool inline_search = false;
        bool rebound = !ctx.direct && !untouched(Callable::find_all_paths_with_labels);
        // A rebound search can lead anywhere, so its nesting is bounded as a recursion would be.
        if (rebound && levels.size() >= static_cast<std::size_t>(Py_GetRecursionLimit()))
            raise_format(PyExc_RecursionError,
                         "maximum recursion depth exceeded while exploring: the exploration nests deeper than "
                         "the recursion limit (%d)",
                         Py_GetRecursionLimit());
        if (chain.count(key)) {
            if (!rebound)
                raise_format(PyExc_RecursionError,
                             "maximum recursion depth exceeded while exploring: the exploration returns to node %d "
                             "from node %d without end (a cycle through labelled nodes)",
                             node, bomb);
        }
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
            chain.erase(level_key(level.start, level.bomb));
            if (ctx.skip_repeated_levels) ctx.completed_levels.insert(level_key(level.start, level.bomb));
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
    bool direct = ctx.direct;
    // Which nodes the collected paths cover (paths from a rebound exploration may hold any objects).
    NodeSet covered = direct ? NodeSet::in_place(ctx.labels.length) : NodeSet::by_name(nullptr);
    std::size_t cursor = 0;
    while (cursor < starts.size()) {
        std::int32_t start = starts[cursor];
        Ref new_paths;
        Ref exploration;
        if (!direct) exploration = lookup(Callable::explore_graph_recursive);
        if (direct || is_module_function(exploration.get(), Callable::explore_graph_recursive)) {
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
    InputEdges(PyObject* connections, PyObject* weights)
        : connections_(connections), weights_(weights), connections_access_(connections), weights_access_(weights),
          direct_(native_adjacency(connections) && is_exact_graph_wrapper(weights)) {}

    std::int32_t position(std::int32_t a, std::int32_t b) {
        if (!direct_) {
            Ref array = connections_access_.to_numpy(a);
            Ref items = Ref::steal(check(PySequence_List(array.get())));
            Ref b_obj = int_object(b);
            Ref index = call_method_one(items.get(), names().index, b_obj.get());
            return to_int32(index.get());
        }
        GraphWrapperObject* g = as_graph(connections_);
        check_node(g, a);
        if (scanned_.size() < g->_count) scanned_.assign(g->_count, 0);
        if (!scanned_[a]) {
            // One pass over the list records the first position of every neighbour.
            const std::int64_t* items = int_list(g, a);
            for (std::int32_t k = g->_sizes[a] - 1; k >= 0; --k) first_[key(a, items[k])] = k;
            scanned_[a] = 1;
        }
        auto found = first_.find(key(a, b));
        if (found == first_.end()) raise_format(PyExc_ValueError, "%d is not in list", b);
        return found->second;
    }

    float weight(std::int32_t a, std::int32_t position) {
        if (!direct_) {
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
    static std::uint64_t key(std::int32_t a, std::int64_t b) {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32) ^ static_cast<std::uint64_t>(b);
    }
    static void check_node(GraphWrapperObject* g, std::int32_t a) {
        if (a < 0 || static_cast<std::uint64_t>(a) >= g->_count) raise(PyExc_IndexError, "Invalid array index");
    }

    PyObject* connections_;
    PyObject* weights_;
    ContainerAccess connections_access_;
    ContainerAccess weights_access_;
    bool direct_;
    std::vector<std::uint8_t> scanned_;
    std::unordered_map<std::uint64_t, std::int32_t> first_;
};

}  // namespace

namespace {

// The two result containers and the copying of path edges into them.
class SubgraphBuilder {
public:
    SubgraphBuilder(PyObject* connections, PyObject* weights, std::int32_t n) : input_(connections, weights), n_(n) {
        PyObject* type = reinterpret_cast<PyObject*>(&GraphWrapperType);
        sub_connections_ = Ref::steal(check(PyObject_CallFunction(type, "iii", n, 0, n)));
        sub_weights_ = Ref::steal(check(PyObject_CallFunction(type, "iii", n, 1, n)));
    }

    // Adds the edge a -> b unless the subgraph holds it, with the weight of the first b in a's
    // input list.
    void add_direction(std::int32_t a, std::int32_t b) {
        if (a < 0 || a >= n_) raise(PyExc_IndexError, "Invalid array index");
        std::uint64_t k = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32) | static_cast<std::uint32_t>(b);
        if (!stored_.insert(k).second) return;
        push_int(as_graph(sub_connections_.get()), a, b);
        std::int32_t position = input_.position(a, b);
        push_float(as_graph(sub_weights_.get()), a, input_.weight(a, position));
    }

    void add_edge(std::int32_t a, std::int32_t b) {
        add_direction(a, b);
        add_direction(b, a);
    }

    Ref result() const { return Ref::steal(check(PyTuple_Pack(2, sub_connections_.get(), sub_weights_.get()))); }

private:
    InputEdges input_;
    std::int32_t n_;
    Ref sub_connections_;
    Ref sub_weights_;
    std::unordered_set<std::uint64_t> stored_;  // directed edges already in the subgraph
};

// On a forest whose labels are -1 or 0..127, marks each adjacency entry by whether entering that
// neighbour can lead to a labelled node at all; a search skips the entries that cannot, which
// changes nothing it finds. Returns false for any other graph.
bool build_worth_table(GraphWrapperObject* c, const LabelView& labels, std::vector<std::int64_t>& offset,
                       std::vector<std::uint8_t>& worth) {
    const std::int64_t n = static_cast<std::int64_t>(c->_count);
    if (labels.length != n || n >= INT32_MAX) return false;
    std::int32_t widest = 0;
    for (std::int64_t i = 0; i < n; ++i) widest = std::max(widest, c->_sizes[i]);
    std::vector<float> flat(static_cast<std::size_t>(widest) + 1, 0.0f);  // any equal weights do
    std::vector<const float*> weights(static_cast<std::size_t>(n), flat.data());
    std::vector<std::int8_t> label_copy(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) label_copy[i] = labels.get(i);
    CutInput input;
    input.n = n;
    input.adjacency = reinterpret_cast<const std::int64_t* const*>(c->_data);
    input.weights = weights.data();
    input.sizes = c->_sizes;
    input.labels = label_copy.data();
    CutOptions options;
    options.should_stop = interrupt_requested;
    bool stopped = false;
    if (!is_simple_forest(input, options, &stopped)) {
        if (stopped) throw_error_set();
        return false;
    }
    InterruptPoll poll;

    auto labelled = [&](std::int64_t v) { return label_copy[v] >= 0; };
    offset.assign(static_cast<std::size_t>(n) + 1, 0);
    for (std::int64_t i = 0; i < n; ++i) offset[i + 1] = offset[i] + c->_sizes[i];
    std::vector<std::int32_t> parent(static_cast<std::size_t>(n), -1), order;
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(n), 0);
    order.reserve(static_cast<std::size_t>(n));
    for (std::int64_t root = 0; root < n; ++root) {
        if (seen[root]) continue;
        seen[root] = 1;
        std::size_t head = order.size();
        order.push_back(static_cast<std::int32_t>(root));
        while (head < order.size()) {
            poll();
            std::int32_t x = order[head++];
            const std::int64_t* list = int_list(c, x);
            for (std::int32_t k = 0; k < c->_sizes[x]; ++k) {
                std::int32_t y = static_cast<std::int32_t>(list[k]);
                if (seen[y]) continue;
                seen[y] = 1;
                parent[y] = x;
                order.push_back(y);
            }
        }
    }
    // down[y]: below y (away from its parent) an unlabelled walk reaches a labelled node.
    // up[y]: the same beyond y's parent, seen from y.
    std::vector<std::uint8_t> down(static_cast<std::size_t>(n), 0), up(static_cast<std::size_t>(n), 0);
    std::vector<std::int32_t> labelled_around(static_cast<std::size_t>(n), 0), good_children(static_cast<std::size_t>(n), 0);
    for (std::size_t k = order.size(); k-- > 0;) {
        poll();
        std::int32_t y = order[k];
        std::int32_t p = parent[y];
        if (p < 0) continue;
        if (labelled(y)) ++labelled_around[p];
        if (labelled(p)) ++labelled_around[y];
        bool y_good = !labelled(y) && (down[y] = (labelled_around[y] - (labelled(p) ? 1 : 0) > 0 || good_children[y] > 0));
        if (y_good) ++good_children[p];
    }
    for (std::int32_t y : order) {
        poll();
        std::int32_t p = parent[y];
        if (p < 0 || labelled(p)) continue;
        std::int32_t pp = parent[p];
        up[y] = labelled_around[p] - (labelled(y) ? 1 : 0) > 0 ||
                good_children[p] - (!labelled(y) && down[y] ? 1 : 0) > 0 || (pp >= 0 && !labelled(pp) && up[p]);
    }
    worth.assign(static_cast<std::size_t>(offset[n]), 1);
    for (std::int64_t x = 0; x < n; ++x) {
        poll();
        const std::int64_t* list = int_list(c, x);
        for (std::int32_t k = 0; k < c->_sizes[x]; ++k) {
            std::int32_t y = static_cast<std::int32_t>(list[k]);
            if (labelled(y)) continue;
            worth[offset[x] + k] = y == parent[x] ? up[x] : down[y];
        }
    }
    return true;
}

// Copies each path's edges into the subgraph as the searches find it. Searches run in the order
// in which their paths are collected, so the edges arrive in the same order as when the
// collected paths are walked afterwards.
class StreamingSink : public PathSink {
public:
    StreamingSink(SubgraphBuilder& builder, std::vector<std::uint8_t>& covered) : builder_(builder), covered_(covered) {}

    std::vector<std::pair<std::int32_t, std::int32_t>>* level_ends = nullptr;  // (end, node before it)

    void on_path(const std::vector<std::int32_t>& nodes, std::size_t known, bool is_end) override {
        for (std::size_t j = known; j + 1 < nodes.size(); ++j) builder_.add_edge(nodes[j], nodes[j + 1]);
        for (std::size_t j = known; j < nodes.size(); ++j) covered_[nodes[j]] = 1;
        if (is_end) level_ends->emplace_back(nodes.back(), nodes[nodes.size() - 2]);
    }

private:
    SubgraphBuilder& builder_;
    std::vector<std::uint8_t>& covered_;
};

// The exploration from `start` with every path going to `sink` (forests only: it cannot cycle).
void explore_into(SearchContext& ctx, StreamingSink& sink, std::int32_t start) {
    struct Level {
        std::int32_t start;
        std::int32_t bomb;
        std::vector<std::pair<std::int32_t, std::int32_t>> ends;
        std::vector<std::pair<std::int64_t, bool>> walked;
        std::size_t next = 0;
    };
    std::vector<Level> levels;
    auto enter = [&](std::int32_t node, std::int32_t bomb) {
        if (ctx.completed_levels.count(level_key(node, bomb))) return;
        Level level{node, bomb, {}, {}, 0};
        sink.level_ends = &level.ends;
        ctx.walk_log = &level.walked;
        find_paths(ctx, node, bomb, nullptr, nullptr);
        ctx.walk_log = nullptr;
        levels.push_back(std::move(level));
    };
    enter(start, -1);
    while (!levels.empty()) {
        ctx.poll();
        Level& level = levels.back();
        if (level.next >= level.ends.size()) {
            ctx.completed_levels.insert(level_key(level.start, level.bomb));
            std::vector<std::uint8_t>& table = ctx.walked_table(ctx.labels.get(level.start));
            for (const auto& step : level.walked) table[step.first] = step.second ? 3 : 1;
            levels.pop_back();
            continue;
        }
        auto [end, before] = level.ends[level.next++];
        if (end == level.bomb) continue;
        enter(end, before);
    }
}

Ref build_forest_subgraph(SearchContext& ctx, PyObject* connections, PyObject* weights,
                          const std::vector<std::int32_t>& starts) {
    std::int32_t n = static_cast<std::int32_t>(as_graph(connections)->_count);
    SubgraphBuilder builder(connections, weights, n);
    std::vector<std::uint8_t> covered(static_cast<std::size_t>(n), 0);
    StreamingSink sink(builder, covered);
    ctx.sink = &sink;
    std::size_t cursor = 0;
    while (cursor < starts.size()) {
        explore_into(ctx, sink, starts[cursor]);
        covered[starts[cursor]] = 1;
        while (cursor < starts.size() && covered[starts[cursor]]) ++cursor;
    }
    return builder.result();
}

}  // namespace

Ref build_subgraph(PyObject* connections, PyObject* weights, PyObject* labels_obj) {
    SearchContext ctx(connections, labels_obj);
    if (labels_obj != Py_None) acquire_labels(labels_obj, false, ctx.labels);
    Py_ssize_t length = PyObject_Length(labels_obj);
    if (length < 0) throw_error_set();

    ctx.direct = native_adjacency(connections) && ctx.plain_labels &&
                 untouched(Callable::explore_graph_recursive) && untouched(Callable::find_all_paths_with_labels);
    ctx.skip_repeated_levels = ctx.direct;
    ctx.prepare();  // the start nodes come from the labels the searches read
    std::vector<std::int32_t> starts;
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (!ctx.labels.in_range(i)) raise_node_out_of_range(i, ctx.labels.length);
        if (ctx.labels.get(i) != -1) starts.push_back(static_cast<std::int32_t>(i));
    }

    // A forest read in place: nothing can fail, so the paths go straight into the subgraph.
    std::vector<std::int64_t> worth_offset;
    std::vector<std::uint8_t> worth;
    if (ctx.direct && is_exact_graph_wrapper(weights) &&
        build_worth_table(as_graph(connections), ctx.labels, worth_offset, worth)) {
        ctx.worth = worth.data();
        ctx.worth_offset = worth_offset.data();
        return build_forest_subgraph(ctx, connections, weights, starts);
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
    SubgraphBuilder builder(connections, weights, to_int32(count_obj.get()));
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
    ctx.direct = without_path && native_adjacency(ctx.connections) && ctx.plain_labels &&
                 untouched(Callable::find_all_paths_with_labels);
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
