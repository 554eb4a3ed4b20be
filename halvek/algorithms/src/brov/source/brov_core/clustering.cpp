// Clustering: the label flood fill and the driver that cuts, joins and labels.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "cpython/binding.hpp"
#include "brov_core/container_access.hpp"
#include "cpython/cut_errors.hpp"
#include "arrays/cutting.hpp"
#include "brov_core/graph_wrapper.hpp"
#include "arrays/max_rule.hpp"
#include "brov_core/module_functions.hpp"
#include "cpython/module_state.hpp"
#include "brov_core/node_set.hpp"
#include "brov_core/path_search.hpp"

namespace brov {

namespace {

const InternedNames& names() { return process_state().names; }

// ---------------------------------------------------------------------------------------------
// Flood fill.

class FloodFill {
public:
    // The fill reads the storage in place when its fence is kept in place, by name otherwise.
    FloodFill(PyObject* connections, const LabelView& labels, NodeSet& fence, std::int32_t label)
        : connections_(connections), labels_(labels), fence_(fence), label_(label) {}

    void run(std::int32_t node) {
        enter(node);
        while (!frames_.empty()) {
            poll_();
            Frame& top = frames_.back();
            if (top.next >= top.length) {
                frames_.pop_back();
                continue;
            }
            std::int32_t neighbor = next_neighbor(top);
            if (fence_.contains(neighbor)) continue;
            if (fence_.in_place()) {
                enter(neighbor);
                continue;
            }
            Ref fill = lookup(Callable::make_labels);
            if (is_module_function(fill.get(), Callable::make_labels)) {
                enter(neighbor);
            } else {
                Ref node_obj = int_object(neighbor);
                Ref label_obj = int_object(label_);
                PyObject* values[] = {connections_, node_obj.get(), label_obj.get(), fence_.python_set(), labels_obj_};
                Ref done = Ref::steal(check(PyObject_Vectorcall(fill.get(), values, 5, nullptr)));
            }
        }
    }

    void set_labels_object(PyObject* labels_obj) { labels_obj_ = labels_obj; }

private:
    struct Frame {
        std::int32_t node;
        Ref list;                               // the neighbour sequence exported by name
        const std::int64_t* storage = nullptr;  // the container's storage, read in place
        Py_ssize_t length = 0;
        Py_ssize_t next = 0;
    };

    void enter(std::int32_t node) {
        fence_.add(node);
        if (!labels_.in_range(node)) raise_node_out_of_range(node, labels_.length);
        labels_.set(node, static_cast<std::int8_t>(static_cast<std::uint8_t>(label_ & 0xFF)));
        Frame frame{node, Ref(), nullptr, 0, 0};
        if (fence_.in_place()) {
            GraphWrapperObject* g = as_graph(connections_);
            if (static_cast<std::uint64_t>(node) >= g->_count) raise(PyExc_IndexError, "Invalid array index");
            frame.storage = int_list(g, node);
            frame.length = g->_sizes[node];
        } else {
            frame.list = ContainerAccess(connections_).to_numpy(node);
            frame.length = PyObject_Length(frame.list.get());
            if (frame.length < 0) throw_error_set();
        }
        frames_.push_back(std::move(frame));
    }

    std::int32_t next_neighbor(Frame& top) {
        Py_ssize_t i = top.next++;
        if (top.storage) {
            std::int64_t v = top.storage[i];
            return narrow_to_int32(v);
        }
        Ref key = int_object(i);
        Ref item = Ref::steal(check(PyObject_GetItem(top.list.get(), key.get())));
        return to_int32(item.get());
    }

    PyObject* connections_;
    PyObject* labels_obj_ = Py_None;
    const LabelView& labels_;
    NodeSet& fence_;
    std::int32_t label_;
    std::vector<Frame> frames_;
    InterruptPoll poll_;
};

// make_labels once its arguments are converted; `visited` is the caller's set (or None).
void fill_component(PyObject* connections, std::int32_t node, std::int32_t label, PyObject* visited,
                    PyObject* labels_obj, const LabelView& labels) {
    if (visited == Py_None) raise(PyExc_AttributeError, "'NoneType' object has no attribute 'add'");
    // The route: in place on an exact INT64 container with the module's own make_labels and a
    // fence of plain ints; by name otherwise.
    NodeSet fence = NodeSet::by_name(visited);
    bool in_place = choose_route(Callable::make_labels, connections, labels_obj) == Route::in_place &&
                    fence.go_in_place(labels.length);
    BusyPin storage_pin;  // an in-place fill keeps pointers into the lists across its polls
    if (in_place) storage_pin.hold(connections);
    FloodFill fill(connections, labels, fence, label);
    fill.set_labels_object(labels_obj);
    fill.run(node);
}

// ---------------------------------------------------------------------------------------------
// Clustering driver.

Ref new_empty_set() { return Ref::steal(check(PySet_New(nullptr))); }

// Unpacks an iterable of exactly two items.
std::array<Ref, 2> unpack_pair(PyObject* obj) {
    Ref iterator = Ref::steal(check(PyObject_GetIter(obj)));
    std::array<Ref, 2> items;
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iterator.get());
        if (!item) {
            if (PyErr_Occurred()) throw_error_set();
            raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
        }
        items[i] = Ref::steal(item);
    }
    PyObject* extra = PyIter_Next(iterator.get());
    if (extra) {
        Py_DECREF(extra);
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
    }
    if (PyErr_Occurred()) throw_error_set();
    return items;
}

void require_graph_wrapper(PyObject* obj) {
    if (obj != Py_None && !PyObject_TypeCheck(obj, &GraphWrapperType))
        raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, GraphWrapperType.tp_name);
}

// True when the subgraph has no edge left (every adjacency list empty).
bool subgraph_is_empty(PyObject* sub_connections) {
    if (is_exact_graph_wrapper(sub_connections)) {
        GraphWrapperObject* g = as_graph(sub_connections);
        for (std::uint64_t i = 0; i < g->_count; ++i)
            if (g->_sizes[i] > 0) return false;
        return true;
    }
    Ref lists = ContainerAccess(sub_connections).to_numpy_all();
    Py_ssize_t count = PyObject_Length(lists.get());
    if (count < 0) throw_error_set();
    bool empty = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = Ref::steal(check(PySequence_GetItem(lists.get(), i)));
        Py_ssize_t size = PyObject_Length(item.get());
        if (size < 0) throw_error_set();
        if (size > 0) empty = false;
    }
    return empty;
}

// When the maximal weight of the subgraph is held by entries of more than one edge, the edge to
// cut is the maximal edge whose smaller end has the smallest index, and among that node's maximal
// edges the one met first in its input adjacency list. An edge is maximal when either of its two
// entries holds the maximum: the two need not agree. Returns false when one entry holds the
// maximum, or the two entries of one edge (pop_max's pair then names the edge or raises), or when
// the subgraph cannot be read in place.
struct TieChoice {
    std::int32_t node = -1;
    std::vector<std::int64_t> candidates;  // other ends of that node's maximal edges
};

bool find_tie(PyObject* sub_connections, PyObject* sub_weights, TieChoice& choice) {
    if (!sub_connections || sub_connections == Py_None || sub_weights == Py_None) return false;
    GraphWrapperObject* c = as_graph(sub_connections);
    GraphWrapperObject* w = as_graph(sub_weights);
    if (w->_dtype != FLOAT32 || c->_dtype != INT64 || !same_list_sizes(c, w)) return false;
    RunningMax running;
    std::vector<std::pair<std::int64_t, std::int64_t>> maximal;  // (smaller end, larger end) per entry
    for (std::uint64_t i = 0; i < w->_count; ++i) {
        const float* values = float_list(w, i);
        const std::int64_t* ends = int_list(c, i);
        for (std::int32_t j = 0; j < w->_sizes[i]; ++j) {
            const MaxOffer offer = running.offer(values[j]);
            if (offer == MaxOffer::ignored) continue;
            if (offer == MaxOffer::raised) maximal.clear();
            std::int64_t a = static_cast<std::int64_t>(i), b = ends[j];
            maximal.emplace_back(std::min(a, b), std::max(a, b));
        }
    }
    if (maximal.size() < 2) return false;
    bool one_edge = std::all_of(maximal.begin(), maximal.end(), [&](const auto& e) { return e == maximal.front(); });
    if (one_edge) return false;
    std::int64_t node = std::min_element(maximal.begin(), maximal.end())->first;
    if (node < 0 || node > INT32_MAX) return false;
    choice.node = static_cast<std::int32_t>(node);
    for (const auto& e : maximal)
        if (e.first == node) choice.candidates.push_back(e.second);
    return true;
}

// Position of `target` in the list made of connections.to_numpy(node).
Ref position_in_list(const ContainerAccess& connections, PyObject* node, PyObject* target) {
    Ref array = connections.to_numpy(node);
    Ref items = Ref::steal(check(PySequence_List(array.get())));
    return call_method_one(items.get(), names().index, target);
}

// The subgraph of the current lists through the module attribute (built in place when it is the
// module's own function); empty when it has no edge left.
std::array<Ref, 2> fetch_subgraph(PyObject* connections, PyObject* weights, PyObject* labels_obj) {
    Ref finder = lookup(Callable::find_subgraph_with_labels);
    PyObject* values[] = {connections, weights, labels_obj};
    Ref subgraph = is_module_function(finder.get(), Callable::find_subgraph_with_labels)
                       ? build_subgraph(connections, weights, labels_obj)
                       : Ref::steal(check(PyObject_Vectorcall(finder.get(), values, 3, nullptr)));
    std::array<Ref, 2> parts = unpack_pair(subgraph.get());
    require_graph_wrapper(parts[0].get());
    require_graph_wrapper(parts[1].get());
    if (parts[0].get() == Py_None) raise(PyExc_AttributeError, "'NoneType' object has no attribute 'to_numpy_all'");
    if (subgraph_is_empty(parts[0].get())) return {};
    if (parts[1].get() == Py_None) raise(PyExc_AttributeError, "'NoneType' object has no attribute 'pop_max'");
    return parts;
}

// The edge to remove, as its two end node objects; `first_position`, when set, is the position
// of `second` in first's input list.
struct EdgeChoice {
    Ref first, second, first_position;
};

// Among tied maximal edges: the first candidate in the input list of the tie's node.
void pick_tied_edge(ContainerAccess& connections, const TieChoice& tie, EdgeChoice& edge) {
    edge.first = int_object(tie.node);
    Ref array = connections.to_numpy(tie.node);
    Ref items = Ref::steal(check(PySequence_List(array.get())));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k) {
        PyObject* item = PyList_GET_ITEM(items.get(), k);
        for (std::int64_t candidate : tie.candidates) {
            Ref candidate_obj = int_object(candidate);
            if (check_status(PyObject_RichCompareBool(item, candidate_obj.get(), Py_EQ))) {
                edge.second = std::move(candidate_obj);
                edge.first_position = int_object(k);
                return;
            }
        }
    }
    edge.second = int_object(*std::min_element(tie.candidates.begin(), tie.candidates.end()));
}

// pop_max on the subgraph's weights names the edge, unless maximal edges tie.
EdgeChoice choose_edge(ContainerAccess& connections, PyObject* sub_connections, PyObject* sub_weights) {
    ContainerAccess sub_weights_access(sub_weights);
    TieChoice tie;
    bool tied = !sub_weights_access.overrides_pop_max() && find_tie(sub_connections, sub_weights, tie);
    Ref pair = sub_weights_access.pop_max();
    if (pair.get() == Py_None) raise(PyExc_TypeError, "'NoneType' object is not iterable");
    std::array<Ref, 2> ends = unpack_pair(pair.get());
    EdgeChoice edge{std::move(ends[0]), std::move(ends[1]), Ref()};
    if (tied) pick_tied_edge(connections, tie, edge);
    return edge;
}

// The driver's four pops: both positions are found before either entry goes.
void remove_edge(ContainerAccess& connections, PyObject* weights, EdgeChoice& edge) {
    if (!edge.first_position) edge.first_position = position_in_list(connections, edge.first.get(), edge.second.get());
    Ref second_position = position_in_list(connections, edge.second.get(), edge.first.get());
    ContainerAccess weights_access(weights);
    connections.pop(edge.first.get(), edge.first_position.get());
    connections.pop(edge.second.get(), second_position.get());
    weights_access.pop(edge.first.get(), edge.first_position.get());
    weights_access.pop(edge.second.get(), second_position.get());
}

// One pass of the cutting phase. Returns false when the subgraph has no edge left.
bool cut_heaviest_edge(PyObject* connections, PyObject* weights, PyObject* labels_obj) {
    ContainerAccess connections_access(connections);
    std::array<Ref, 2> subgraph = fetch_subgraph(connections, weights, labels_obj);
    if (!subgraph[0]) return false;
    EdgeChoice edge = choose_edge(connections_access, subgraph[0].get(), subgraph[1].get());
    remove_edge(connections_access, weights, edge);
    return true;
}

// Labelled nodes grouped by label, groups in order of first appearance, nodes ascending.
std::vector<std::vector<std::int32_t>> group_labels(const LabelView& labels, Py_ssize_t n) {
    std::vector<std::vector<std::int32_t>> groups;
    int slot[256];
    for (int& s : slot) s = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!labels.in_range(i)) raise_node_out_of_range(i, labels.length);
        std::int8_t label = labels.get(i);
        if (label == -1) continue;
        int& index = slot[static_cast<std::uint8_t>(label)];
        if (index < 0) {
            index = static_cast<int>(groups.size());
            groups.emplace_back();
        }
        groups[index].push_back(static_cast<std::int32_t>(i));
    }
    return groups;
}

void join_groups(PyObject* connections, PyObject* weights, const std::vector<std::vector<std::int32_t>>& groups) {
    ContainerAccess c(connections), w(weights);
    Ref one = int_object(1);
    for (const auto& group : groups) {
        for (std::size_t k = 0; k + 1 < group.size(); ++k) {
            Ref start = int_object(group[k]);
            Ref end = int_object(group[k + 1]);
            c.append(start.get(), end.get());
            c.append(end.get(), start.get());
            w.append(start.get(), one.get());
            w.append(end.get(), one.get());
        }
    }
}

void label_components(PyObject* connections, const std::vector<std::vector<std::int32_t>>& groups,
                      PyObject* new_labels) {
    for (const auto& group : groups) {
        std::int32_t node = group.front();
        Ref node_obj = int_object(node);
        Ref label_obj = Ref::steal(check(PyObject_GetItem(new_labels, node_obj.get())));
        Ref fill = lookup(Callable::make_labels);
        Ref visited = new_empty_set();
        if (!is_module_function(fill.get(), Callable::make_labels)) {
            PyObject* values[] = {connections, node_obj.get(), label_obj.get(), visited.get(), new_labels};
            Ref done = Ref::steal(check(PyObject_Vectorcall(fill.get(), values, 3, names().fill_keywords)));
            continue;
        }
        std::int32_t label = to_int32(label_obj.get());
        require_ndarray(new_labels, "labels");
        require_labels_array(new_labels, "labels");
        LabelView view;
        acquire_labels(new_labels, true, view);
        fill_component(connections, node, label, visited.get(), new_labels, view);
    }
}


// ---------------------------------------------------------------------------------------------
// The planned route of the driver: exact containers, an exact label array and the module's own
// functions. The cut edges are planned in one sweep where the graph allows it, and removed from
// both containers in one pass per touched list; the labelling then runs on the storage.

// Removes, for every cut edge {a, b}, the first b of a's list and the first a of b's list from
// both containers, keeping the order of what remains. Removals commute, so one compaction per
// touched list gives what one pop per entry would.
void apply_cuts(GraphWrapperObject* c, GraphWrapperObject* w, const std::vector<std::pair<std::int32_t, std::int32_t>>& cuts) {
    std::vector<std::pair<std::int32_t, std::int32_t>> directed;
    directed.reserve(cuts.size() * 2);
    for (const auto& cut : cuts) {
        directed.emplace_back(cut.first, cut.second);
        directed.emplace_back(cut.second, cut.first);
    }
    InterruptPoll poll;  // nothing is removed before the sort is done
    std::sort(directed.begin(), directed.end(), [&poll](const auto& x, const auto& y) {
        poll();
        return x < y;
    });
    std::unordered_map<std::int64_t, int> pending;
    for (std::size_t start = 0; start < directed.size();) {
        std::int32_t node = directed[start].first;
        std::size_t end = start;
        pending.clear();
        while (end < directed.size() && directed[end].first == node) ++pending[directed[end++].second];
        std::int64_t* ends = int_list(c, node);
        float* values = float_list(w, node);
        std::int32_t kept = 0;
        for (std::int32_t k = 0; k < c->_sizes[node]; ++k) {
            auto found = pending.find(ends[k]);
            if (found != pending.end() && found->second > 0) {
                --found->second;
                continue;
            }
            ends[kept] = ends[k];
            values[kept] = values[k];
            ++kept;
        }
        c->_sizes[node] = kept;
        w->_sizes[node] = kept;
        start = end;
    }
}

// Plans the cutting phase on the storage: in one sweep on simple forests, by an exact
// per-component rebuild otherwise. Returns false when the planner does not take the input (the
// pass-by-pass rebuild through the module's own functions then runs instead). An error that the
// driver would raise is raised after the cuts it would have made before it.
bool plan_native_cuts(GraphWrapperObject* c, GraphWrapperObject* w, const LabelView& labels, CutList& cuts,
                      std::vector<std::int8_t>& labels_after) {
    if (labels.length != static_cast<Py_ssize_t>(c->_count) || c->_count >= static_cast<std::uint64_t>(INT32_MAX))
        return false;
    if (!same_list_sizes(c, w)) return false;
    CutInput input;
    input.n = static_cast<std::int64_t>(c->_count);
    input.adjacency = reinterpret_cast<const std::int64_t* const*>(c->_data);
    input.weights = reinterpret_cast<const float* const*>(w->_data);
    input.sizes = c->_sizes;
    input.labels = reinterpret_cast<const std::int8_t*>(labels.base);
    input.label_stride = labels.stride;
    CutOptions options;
    options.should_stop = interrupt_requested;
    CutResult result = plan_cuts(input, cuts, options, &labels_after);
    switch (result.status) {
        case CutStatus::ok: return true;
        case CutStatus::needs_fallback: return false;
        case CutStatus::interrupted: throw_error_set();
        default: break;
    }
    apply_cuts(c, w, cuts);
    raise_cut_failure(result);
}

// The same outcome on a graph whose neighbour indices are all known to lie within the label array,
// breadth first so that the lists can be fetched ahead. A representative that an earlier fill
// reached lies in that fill's component, and its own fill would write that same label again, so
// it is skipped: every node is visited once.
void label_components_in_range(GraphWrapperObject* c, const std::vector<std::vector<std::int32_t>>& groups,
                               const LabelView& labels) {
    std::vector<std::uint8_t> reached(static_cast<std::size_t>(labels.length), 0);
    std::vector<std::int32_t> queue;
    InterruptPoll poll;
    constexpr std::size_t kAhead = 8;
    for (const auto& group : groups) {
        std::int32_t root = group.front();
        if (reached[root]) continue;
        std::int8_t label = labels.get(root);
        queue.clear();
        queue.push_back(root);
        reached[root] = 1;
        labels.set(root, label);
        for (std::size_t head = 0; head < queue.size(); ++head) {
            poll();
            if (head + kAhead < queue.size()) __builtin_prefetch(int_list(c, queue[head + kAhead]));
            std::int32_t node = queue[head];
            const std::int64_t* list = int_list(c, node);
            for (std::int32_t k = 0; k < c->_sizes[node]; ++k) {
                std::int32_t neighbor = static_cast<std::int32_t>(list[k]);
                if (reached[neighbor]) continue;
                reached[neighbor] = 1;
                labels.set(neighbor, label);
                queue.push_back(neighbor);
                __builtin_prefetch(&c->_data[neighbor]);
                __builtin_prefetch(&c->_sizes[neighbor]);
            }
        }
    }
}

// The labels a plan was made with, and those it says the labelling ends with (empty when the
// planner does not say).
struct StoragePlan {
    std::vector<std::int8_t> labels_before;
    std::vector<std::int8_t> labels_after;

    // The planned labels hold while the array still holds the labels the plan was made with
    // (a signal handler may have written to it since).
    bool labels_hold(const LabelView& labels) const {
        if (labels_after.empty() || labels.length != static_cast<Py_ssize_t>(labels_before.size())) return false;
        for (Py_ssize_t i = 0; i < labels.length; ++i)
            if (labels.get(i) != labels_before[static_cast<std::size_t>(i)]) return false;
        return true;
    }
};

// Plans and removes the cut edges on the storage when the planned route applies. Returns false
// when it does not, or when the planner leaves the input to the pass-by-pass rebuild.
bool cut_on_storage(PyObject* connections, PyObject* weights, const LabelView& labels, StoragePlan& plan) {
    GraphWrapperObject* c = as_graph(connections);
    GraphWrapperObject* w = as_graph(weights);
    // The planner polls for signals; it reads labels from a copy that no handler can write.
    std::vector<std::int8_t>& label_copy = plan.labels_before;
    label_copy.resize(static_cast<std::size_t>(labels.length));
    for (Py_ssize_t i = 0; i < labels.length; ++i) label_copy[static_cast<std::size_t>(i)] = labels.get(i);
    LabelView copied;
    copied.base = reinterpret_cast<char*>(label_copy.data());
    copied.stride = 1;
    copied.length = labels.length;
    CutList cuts;
    if (!plan_native_cuts(c, w, copied, cuts, plan.labels_after)) return false;
    apply_cuts(c, w, cuts);
    return true;
}

}  // namespace

PyObject* make_labels_entry(const Arguments& arguments) {
    PyObject* labels_obj = arguments.object(4);
    LabelView labels;
    acquire_labels(labels_obj, true, labels);
    fill_component(arguments.object(0), arguments.int32(1), arguments.int32(2), arguments.object(3), labels_obj, labels);
    return Py_NewRef(Py_None);
}

PyObject* clusterize_entry(const Arguments& arguments) {
    PyObject* connections = arguments.object(0);
    PyObject* weights = arguments.object(1);
    PyObject* labels_obj = arguments.object(2);
    LabelView labels;
    if (labels_obj != Py_None) acquire_labels(labels_obj, false, labels);
    Py_ssize_t n = PyObject_Length(labels_obj);
    if (n < 0) throw_error_set();
    // A plan made on the storage has checked that every neighbour index lies within the labels;
    // the pins keep it so (no list can grow or shrink) until the labelling is done.
    BusyPin connections_pin, weights_pin;
    StoragePlan plan;
    bool planned = false;
    if (choose_route(Callable::clusterize, connections, labels_obj, weights) == Route::planned) {
        connections_pin.hold(connections);
        weights_pin.hold(weights);
        planned = cut_on_storage(connections, weights, labels, plan);
        if (!planned) {
            connections_pin.release();
            weights_pin.release();
        }
    }
    if (!planned)
        while (cut_heaviest_edge(connections, weights, labels_obj)) check_status(PyErr_CheckSignals());

    std::vector<std::vector<std::int32_t>> groups = group_labels(labels, n);
    const bool labels_planned = planned && plan.labels_hold(labels);
    join_groups(connections, weights, groups);
    Ref new_labels = Ref::steal(check(PyObject_CallMethodNoArgs(labels_obj, names().copy)));
    if (planned) {
        require_ndarray(new_labels.get(), "labels");
        require_labels_array(new_labels.get(), "labels");
        LabelView view;
        acquire_labels(new_labels.get(), true, view);
        if (labels_planned && plan.labels_hold(view)) {
            for (Py_ssize_t i = 0; i < view.length; ++i) view.set(i, plan.labels_after[static_cast<std::size_t>(i)]);
        } else {
            label_components_in_range(as_graph(connections), groups, view);
        }
    } else {
        label_components(connections, groups, new_labels.get());
    }
    return PyTuple_Pack(3, connections, weights, new_labels.get());
}

}  // namespace brov
