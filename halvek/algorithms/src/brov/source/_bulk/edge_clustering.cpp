// cluster_edges: clustering of a graph given as an edge list, without GraphWrapper containers.
//
// The graph is laid out as clusterize would find it after graph_from_csr of the symmetric matrix:
// list i holds the neighbours of node i in increasing order, with the edge's weight (or rank)
// beside each. The cutting planner that clusterize runs on its storage then plans the cuts, and
// the labels are spread over what remains plus the joining chains, as clusterize does: each
// piece takes the label of the first label group (by first appearance) that has a node in it.
#include "_bulk/edge_clustering.hpp"
#include "_bulk/edge_list.hpp"

#include "cpython/numpy_api.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "arrays/csr.hpp"
#include "arrays/cut_edge_list.hpp"
#include "arrays/cutting.hpp"
#include "arrays/disjoint_sets.hpp"
#include "arrays/edge_rank.hpp"
#include "arrays/radix_order.hpp"
#include "arrays/refusal_cut.hpp"
#include "arrays/spread_labels.hpp"
#include "cpython/binding.hpp"
#include "cpython/bulk_columns.hpp"
#include "cpython/cut_errors.hpp"

namespace brov {
namespace {

[[noreturn]] void bad_weight(std::int64_t e, const char* what, bool ranked) {
    raise_format(PyExc_ValueError, "edge %lld has %s: weights must be %s and finite", static_cast<long long>(e), what,
                 ranked ? "non-negative" : "positive");
}

// Edge e joins a and b with weight w: ends in range, no self-loop, a weight the planner takes.
// Weights must be positive and fit float32, as the containers hold them; ranked weights only
// need an order, so zero (identical points) and any finite size will do.
void check_edge(std::int64_t e, std::int64_t a, std::int64_t b, double w, std::int64_t n, bool ranked) {
    if (a < 0 || a >= n || b < 0 || b >= n)
        raise_format(PyExc_ValueError, "edge %lld joins nodes %lld and %lld: node indices must lie in [0, %lld)",
                     static_cast<long long>(e), static_cast<long long>(a), static_cast<long long>(b),
                     static_cast<long long>(n));
    if (a == b)
        raise_format(PyExc_ValueError, "edge %lld is a self-loop at node %lld", static_cast<long long>(e),
                     static_cast<long long>(a));
    if (std::isnan(w)) bad_weight(e, "a NaN weight", ranked);
    if (w < 0.0 || (w == 0.0 && !ranked)) bad_weight(e, ranked ? "a negative weight" : "a weight that is not positive", ranked);
    if (!std::isfinite(w)) bad_weight(e, "an infinite weight", ranked);
    if (!ranked && w > static_cast<double>(FLT_MAX)) bad_weight(e, "a weight too large for float32", ranked);
    if (!ranked && static_cast<float>(w) == 0.0f) {  // graph_pair's refusal, in the same words
        char text[40];
        PyOS_snprintf(text, sizeof text, "%.17g", w);
        raise_format(PyExc_ValueError,
                     "edge %lld has the weight %s, which is 0 in float32 storage: rescale the weights or pass "
                     "rank_weights=True (only their order matters)",
                     static_cast<long long>(e), text);
    }
}

void read_edges(PyObject* edges_obj, PyObject* weights_obj, PyObject* labels_obj, bool ranked, EdgeList& out) {
    Column edges, weights;
    acquire_pairs(edges_obj, "edges", edges);
    acquire_column(weights_obj, "weights", 'f', weights);
    BufferHold labels;
    const std::int8_t* label_bytes = acquire_int8_column(labels_obj, "labels", labels);

    out.m = edges.length / 2;
    out.n = labels.view().shape[0];
    if (weights.length != out.m)
        raise_format(PyExc_ValueError, "got %zd weights for %lld edges", weights.length, static_cast<long long>(out.m));
    if (out.n >= std::numeric_limits<std::int32_t>::max() / 2)
        raise(PyExc_ValueError, "too many nodes: node indices must fit in 30 bits");
    if (out.m >= std::numeric_limits<std::int32_t>::max() / 2)
        raise(PyExc_ValueError, "too many edges: edge indices must fit in 30 bits");

    out.labels.assign(label_bytes, label_bytes + out.n);
    out.ends.resize(static_cast<std::size_t>(2 * out.m));
    out.weights.resize(static_cast<std::size_t>(out.m));
    InterruptPoll poll;
    for (std::int64_t e = 0; e < out.m; ++e) {
        poll();
        const std::int64_t a = edges.integer(2 * e), b = edges.integer(2 * e + 1);
        const double w = weights.real(e);
        check_edge(e, a, b, w, out.n, ranked);
        out.ends[2 * e] = static_cast<std::int32_t>(a);
        out.ends[2 * e + 1] = static_cast<std::int32_t>(b);
        out.weights[e] = w;
    }
}

// The weight each edge carries into the planner: its own (as float32), or its rank in the order
// (weight, smaller node, larger node), from 1, as rank_as_float stands for it.
std::vector<float> planner_weights(const EdgeList& g, bool ranked) {
    std::vector<float> out(static_cast<std::size_t>(g.m));
    if (!ranked) {
        for (std::int64_t e = 0; e < g.m; ++e) out[e] = static_cast<float>(g.weights[e]);
        return out;
    }
    std::vector<RankedEdge<std::int32_t>> edges(static_cast<std::size_t>(g.m));
    for (std::int64_t e = 0; e < g.m; ++e) {
        const std::int32_t a = g.ends[2 * e], b = g.ends[2 * e + 1];
        edges[e] = {g.weights[e], std::min(a, b), std::max(a, b), static_cast<std::int32_t>(e)};
    }
    sort_by_rank(edges, InterruptPoll());
    for (std::size_t r = 0; r < edges.size(); ++r) out[edges[r].id] = rank_as_float(static_cast<std::int64_t>(r + 1), g.m);
    return out;
}

CutOptions stop_options(WithoutGil& released) {
    CutOptions options;
    options.should_stop = WithoutGil::stop_requested;
    options.stop_context = &released;
    return options;
}

// Adjacency lists in the planner's form: neighbours in increasing order, each entry with its
// edge's weight.
struct Adjacency {
    std::vector<std::int64_t> neighbor;  // 2m
    std::vector<float> weight;           // 2m
    std::vector<const std::int64_t*> rows;
    std::vector<const float*> weight_rows;
    std::vector<std::int32_t> sizes;
};

// Sorts one node's list of edge ends (2e or 2e + 1) by neighbour (cheap on the short lists of
// trees, and skipped when sorted already); raises on a neighbour listed twice.
void sort_by_neighbor(const EdgeList& g, std::int32_t* first, std::int32_t* last, std::int64_t node) {
    auto neighbor = [&g](std::int32_t end) { return g.ends[static_cast<std::size_t>(end ^ 1)]; };
    auto by_neighbor = [&neighbor](std::int32_t x, std::int32_t y) { return neighbor(x) < neighbor(y); };
    if (!std::is_sorted(first, last, by_neighbor)) std::sort(first, last, by_neighbor);
    for (std::int32_t* p = first; p + 1 < last; ++p)
        if (neighbor(*p) == neighbor(p[1]))
            raise_format(PyExc_ValueError, "edges %d and %d both join nodes %lld and %lld: each edge may be given once",
                         std::min(*p, p[1]) / 2, std::max(*p, p[1]) / 2, static_cast<long long>(node),
                         static_cast<long long>(neighbor(*p)));
}

void build_adjacency(const EdgeList& g, const std::vector<float>& w, Adjacency& adj) {
    const auto n = static_cast<std::size_t>(g.n);
    // Both ends of every edge, listed under their node in edge order, as positions in g.ends: a
    // quarter of the memory of (neighbour, edge) entries, which matters at 10^8 edges.
    std::vector<std::int32_t> ends;
    std::vector<i64> start;  // n + 1
    InterruptPoll poll;
    bucket_values(
        n, g.ends.size(), [&g](std::size_t k) { return static_cast<i64>(g.ends[k]); },
        [](std::size_t k) { return static_cast<std::int32_t>(k); }, start, ends, [&poll] { poll(); });
    adj.sizes.resize(n);
    adj.rows.resize(n);
    adj.weight_rows.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        poll();
        adj.sizes[i] = static_cast<std::int32_t>(start[i + 1] - start[i]);
        sort_by_neighbor(g, ends.data() + start[i], ends.data() + start[i + 1], static_cast<std::int64_t>(i));
    }
    adj.neighbor.resize(ends.size());
    adj.weight.resize(ends.size());
    for (std::size_t k = 0; k < ends.size(); ++k) {
        adj.neighbor[k] = g.ends[static_cast<std::size_t>(ends[k] ^ 1)];
        adj.weight[k] = w[static_cast<std::size_t>(ends[k] / 2)];
    }
    for (std::size_t i = 0; i < n; ++i) {
        adj.rows[i] = adj.neighbor.data() + start[i];
        adj.weight_rows[i] = adj.weight.data() + start[i];
    }
}

// The mask of the edges whose ends are a pair of `cuts` (a few edges of many: one pass over the
// edges with a sorted list of the pairs, rather than an edge index kept beside every list entry).
void mark_cuts(const EdgeList& g, CutList cuts, std::vector<std::uint8_t>& cut) {
    for (auto& c : cuts) c = {std::min(c.first, c.second), std::max(c.first, c.second)};
    std::sort(cuts.begin(), cuts.end());
    cut.assign(static_cast<std::size_t>(g.m), 0);
    for (std::int64_t e = 0; e < g.m; ++e) {
        const std::int32_t a = g.ends[2 * e], b = g.ends[2 * e + 1];
        cut[e] = std::binary_search(cuts.begin(), cuts.end(), std::make_pair(std::min(a, b), std::max(a, b)));
    }
}

// The planner's cuts over the adjacency lists of g (any graph the edge list may hold).
CutResult plan_over_lists(const EdgeList& g, std::vector<float> w, CutList& cuts,
                          std::vector<std::int8_t>& labels_after) {
    Adjacency adj;
    build_adjacency(g, w, adj);
    std::vector<float>().swap(w);
    CutInput input;
    input.n = g.n;
    input.adjacency = adj.rows.data();
    input.weights = adj.weight_rows.data();
    input.sizes = adj.sizes.data();
    input.labels = g.labels.data();
    input.label_stride = 1;
    // The planner reads only the copies above: other Python threads may run meanwhile.
    WithoutGil released;
    return plan_cuts(input, cuts, stop_options(released), &labels_after);
}

// The edges the planner cuts, as a mask over the edges, and the labels after them when the planner
// gives them (empty otherwise); raises the error the driver would raise. A forest (every tree the
// estimator cuts) goes straight from the edge list to the sweep; other graphs through their lists.
void plan(const EdgeList& g, std::vector<float> w, std::vector<std::uint8_t>& cut,
          std::vector<std::int8_t>& labels_after) {
    CutList cuts;
    CutResult result;
    {
        WithoutGil released;
        result = plan_edge_list_cuts(g.n, g.m, g.ends.data(), g.labels.data(), w, cuts, stop_options(released),
                                     &labels_after);
    }
    if (result.status == CutStatus::needs_fallback) result = plan_over_lists(g, std::move(w), cuts, labels_after);
    if (result.status == CutStatus::needs_fallback)
        raise(PyExc_SystemError, "cluster_edges: the cutting planner refused a checked graph");
    if (result.status != CutStatus::ok) raise_cut_failure(result);
    mark_cuts(g, std::move(cuts), cut);
}

// A new one-dimensional array of `length` elements of `type`, and its data.
template <typename T>
Ref new_array(std::int64_t length, int type, T*& data) {
    npy_intp dims[1] = {static_cast<npy_intp>(length)};
    Ref array = Ref::steal(check(PyArray_SimpleNew(1, dims, type)));
    data = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    return array;
}

// cluster_edge_list with the planner's weights drawn from g already (g.weights is not read).
void cluster_weighted(const EdgeList& g, std::vector<float> w, std::vector<std::uint8_t>& cut, std::int8_t* labels) {
    std::vector<std::int8_t> labels_after;
    plan(g, std::move(w), cut, labels_after);
    if (!labels_after.empty()) std::copy(labels_after.begin(), labels_after.end(), labels);
    else spread_labels(g.n, g.m, g.ends.data(), cut.data(), g.labels.data(), labels, InterruptPoll());
}

// The labels alone, for a forest under ranked weights (labels_by_refusal): the edges ranked by
// (weight, smaller node, larger node) with a radix sort of the weights' bits, the few runs of
// equal weights then sorted by their ends. Returns false, writing nothing, when g is not a forest.
bool forest_labels(const EdgeList& g, std::int8_t* labels) {
    const auto n = static_cast<std::int32_t>(g.n);
    WithoutGil released;  // only our own copies are read from here on
    auto poll = [&released] {
        if (released.interrupted()) throw PythonError{};
    };
    std::vector<std::int32_t> parent(static_cast<std::size_t>(n), -1);
    for (std::int64_t e = 0; e < g.m; ++e) {
        if ((e & 0xFFFF) == 0) poll();
        const std::int32_t a = find_set(parent, g.ends[2 * e]), b = find_set(parent, g.ends[2 * e + 1]);
        if (a == b) return false;  // a cycle, or an edge given twice: the planner's lists say which
        unite_roots(parent, a, b);
    }
    std::vector<KeyedId<std::uint64_t>> order(static_cast<std::size_t>(g.m)), scratch;
    for (std::int64_t e = 0; e < g.m; ++e)
        order[e] = {order_bits(g.weights[e] + 0.0), static_cast<std::int32_t>(e)};  // + 0.0: -0.0 ties 0.0
    radix_sort(order, scratch, poll);
    std::vector<KeyedId<std::uint64_t>>().swap(scratch);
    auto ends_of = [&g](std::int32_t e) {
        const std::int32_t a = g.ends[2 * e], b = g.ends[2 * e + 1];
        return std::make_pair(std::min(a, b), std::max(a, b));
    };
    for (std::size_t first = 0; first < order.size();) {
        std::size_t last = first + 1;
        while (last < order.size() && order[last].key == order[first].key) ++last;
        if (last - first > 1)
            std::sort(order.begin() + first, order.begin() + last,
                      [&ends_of](const auto& x, const auto& y) { return ends_of(x.id) < ends_of(y.id); });
        first = last;
    }
    std::vector<std::int8_t> set_label;
    labels_by_refusal(n, g.ends.data(), order, g.labels.data(), parent, set_label, labels, poll);
    return true;
}

}  // namespace

void cluster_edge_list(const EdgeList& g, bool ranked, std::vector<std::uint8_t>& cut, std::int8_t* labels) {
    cluster_weighted(g, planner_weights(g, ranked), cut, labels);
}

PyObject* cluster_edges(PyObject*, const Arguments& arguments) {
    const bool ranked = arguments.flag(3), labels_only = arguments.flag(4);
    if (labels_only && !ranked) raise(PyExc_ValueError, "labels_only needs rank_weights=True");
    EdgeList g;
    read_edges(arguments.object(0), arguments.object(1), arguments.object(2), ranked, g);
    std::int8_t* label_data = nullptr;
    npy_bool* mask_data = nullptr;
    Ref new_labels = new_array(g.n, NPY_INT8, label_data);
    if (labels_only && forest_labels(g, label_data)) return check(PyTuple_Pack(2, new_labels.get(), Py_None));
    Ref mask = new_array(g.m, NPY_BOOL, mask_data);
    std::vector<std::uint8_t> cut;
    std::vector<float> w = planner_weights(g, ranked);
    std::vector<double>().swap(g.weights);  // read only for w: 8 bytes an edge less while the planner runs
    cluster_weighted(g, std::move(w), cut, label_data);
    for (std::int64_t e = 0; e < g.m; ++e) mask_data[e] = cut[e] ? NPY_TRUE : NPY_FALSE;
    return check(PyTuple_Pack(2, new_labels.get(), labels_only ? Py_None : mask.get()));
}

}  // namespace brov
