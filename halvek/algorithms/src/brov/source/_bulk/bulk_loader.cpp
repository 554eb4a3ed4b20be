// _bulk: loads a whole graph into a GraphWrapper pair in one call, and reads a pair back as CSR
// arrays. It sits beside brov_core and uses brov_core's own GraphWrapper type, fetched from that
// module at import: the containers it returns are ordinary GraphWrapper objects, created by calling
// the type, then filled through the storage helpers of graph_wrapper.hpp.
//
// graph_from_csr(indptr, indices, data, n, rank_weights=False) -> (connections, weights)
//     Row i of the CSR arrays becomes adjacency list i (in column order) and weight list i. The
//     graph must be undirected: every entry (i, j, w) needs its mirror (j, i, w). Each list gets
//     room for its edges plus two more, the joining edges that clusterize may append.
// graph_to_csr(connections, weights) -> (indptr, indices, data)
//     The current contents of a pair as int64 / int64 / float32 CSR arrays.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "cpython/numpy_api.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <vector>

#include "cpython/binding.hpp"
#include "cpython/bulk_columns.hpp"
#include "arrays/csr.hpp"
#include "arrays/edge_rank.hpp"
#include "_bulk/edge_clustering.hpp"
#include "_bulk/voting_inputs.hpp"
#include "_bulk/voting_trees.hpp"
#include "cpython/extension_start.hpp"
#include "brov_core/graph_wrapper.hpp"
#include "cpython/py_errors.hpp"
#include "cpython/py_ref.hpp"

namespace brov {
namespace {

// brov_core.GraphWrapper, fetched at start-up.
PyObject* graph_wrapper_type() { return process_state().core_graph_wrapper; }

// Creates GraphWrapper(n, dtype, max_size) through the type object and checks what came back.
Ref make_container(Py_ssize_t n, int dtype, std::int32_t max_size) {
    Ref obj = Ref::steal(check(PyObject_CallFunction(graph_wrapper_type(), "nii", n, dtype, max_size)));
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj.get())) != graph_wrapper_type())
        raise(PyExc_TypeError, "brov_core.GraphWrapper returned an object of another type");
    GraphWrapperObject* g = as_graph(obj.get());
    if (g->_count != static_cast<std::uint64_t>(n) || g->_dtype != static_cast<DataType>(dtype) ||
        g->_max_size != 3 * max_size)
        raise(PyExc_RuntimeError, "brov_core.GraphWrapper does not have the storage layout that _bulk was built for");
    return obj;
}

// The checks that need only one entry: index range, self-loops, weight values.
void check_entry(std::int64_t row, std::int64_t col, double w, std::int64_t n) {
    if (col < 0 || col >= n)
        raise_format(PyExc_ValueError, "column index %lld in row %lld is out of range for a graph of %lld nodes",
                     static_cast<long long>(col), static_cast<long long>(row), static_cast<long long>(n));
    if (col == row)
        raise_format(PyExc_ValueError, "self-loop at node %lld: an edge must join two different nodes",
                     static_cast<long long>(row));
    if (std::isnan(w))
        raise_format(PyExc_ValueError, "edge (%lld, %lld) has a NaN weight", static_cast<long long>(row),
                     static_cast<long long>(col));
    if (w == 0.0)
        raise_format(PyExc_ValueError,
                     "edge (%lld, %lld) is an explicit zero: weights must be positive (drop zero entries "
                     "with eliminate_zeros() if they are not edges)",
                     static_cast<long long>(row), static_cast<long long>(col));
    if (w < 0.0)
        raise_format(PyExc_ValueError, "edge (%lld, %lld) has a negative weight: weights must be positive",
                     static_cast<long long>(row), static_cast<long long>(col));
    if (!std::isfinite(w) || w > static_cast<double>(FLT_MAX))
        raise_format(PyExc_ValueError, "edge (%lld, %lld) has a weight that is infinite or too large for float32",
                     static_cast<long long>(row), static_cast<long long>(col));
}

// Formats a weight for a message (PyErr_Format has no %g).
struct WeightText {
    char text[40];
    explicit WeightText(double w) { PyOS_snprintf(text, sizeof text, "%.17g", w); }
};

// An array of n elements left uninitialised: the passes that fill it poll for signals as they go,
// where zeroing it first would be one long stretch without a poll.
template <typename T>
std::unique_ptr<T[]> uninitialised(std::int64_t n) {
    return std::unique_ptr<T[]>(new T[static_cast<std::size_t>(n)]);
}

// indptr's shape and range; returns the widest row.
std::int64_t check_row_pointers(const Column& indptr, const Column& indices, const Column& data, std::int64_t n) {
    InterruptPoll poll;
    if (indptr.length != n + 1)
        raise_format(PyExc_ValueError, "indptr has length %zd, expected n + 1 = %lld", indptr.length,
                     static_cast<long long>(n + 1));
    if (indices.length != data.length)
        raise_format(PyExc_ValueError, "indices and data differ in length (%zd and %zd)", indices.length, data.length);
    if (indptr.integer(0) != 0)
        raise_format(PyExc_ValueError, "indptr must start at 0, got %lld", static_cast<long long>(indptr.integer(0)));
    const std::int64_t nnz = indices.length;
    std::int64_t widest = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        poll();
        std::int64_t b = indptr.integer(i), e = indptr.integer(i + 1);
        if (e < b) raise_format(PyExc_ValueError, "indptr decreases at row %lld", static_cast<long long>(i));
        if (e > nnz)
            raise_format(PyExc_ValueError, "indptr[%lld] = %lld points past the %lld stored entries",
                         static_cast<long long>(i + 1), static_cast<long long>(e), static_cast<long long>(nnz));
        widest = std::max(widest, e - b);
    }
    if (indptr.integer(n) != nnz)
        raise_format(PyExc_ValueError, "indptr ends at %lld but %lld entries are stored",
                     static_cast<long long>(indptr.integer(n)), static_cast<long long>(nnz));
    return widest;
}

// The transpose: column c lists the entries (r, c), with r ascending.
struct Transpose {
    std::vector<std::int64_t> offsets;    // column c: [offsets[c], offsets[c + 1])
    std::vector<std::int64_t> positions;  // original position of each entry
    std::unique_ptr<std::int64_t[]> rows;  // its row
};

Transpose transpose(const Column& indptr, const Column& indices, std::int64_t n) {
    Transpose t;
    StopPoll stop(interrupt_requested, nullptr);
    try {
        bucket_entries(static_cast<std::size_t>(n), static_cast<std::size_t>(indices.length),
                       [&indices](std::size_t p) { return indices.integer(static_cast<Py_ssize_t>(p)); }, t.offsets,
                       t.positions, stop);
    } catch (const StopPoll::Stopped&) {
        throw_error_set();
    }
    InterruptPoll poll;
    auto row_of = uninitialised<std::int64_t>(indices.length);
    for (std::int64_t i = 0; i < n; ++i, poll())
        for (std::int64_t p = indptr.integer(i), e = indptr.integer(i + 1); p < e; ++p) row_of[p] = i;
    t.rows = uninitialised<std::int64_t>(indices.length);
    for (std::int64_t q = 0; q < indices.length; ++q, poll()) t.rows[q] = row_of[t.positions[q]];
    return t;
}

// The positions of row [b, e) in column order; raises on a column listed twice.
void sorted_row(const Column& indices, std::int64_t row, std::int64_t b, std::int64_t e, std::vector<std::int64_t>& order) {
    order.resize(static_cast<std::size_t>(e - b));
    std::iota(order.begin(), order.end(), b);
    bool sorted = true;
    for (std::int64_t p = b + 1; p < e && sorted; ++p) sorted = indices.integer(p - 1) <= indices.integer(p);
    if (!sorted)
        std::stable_sort(order.begin(), order.end(),
                         [&](std::int64_t x, std::int64_t y) { return indices.integer(x) < indices.integer(y); });
    for (std::size_t k = 1; k < order.size(); ++k) {
        if (indices.integer(order[k]) == indices.integer(order[k - 1]))
            raise_format(PyExc_ValueError, "duplicate entry (%lld, %lld): each edge may be stored only once per row",
                         static_cast<long long>(row), static_cast<long long>(indices.integer(order[k])));
    }
}

[[noreturn]] void raise_missing_mirror(std::int64_t row, std::int64_t col) {
    raise_format(PyExc_ValueError, "graph is not symmetric: entry (%lld, %lld) has no mirror entry (%lld, %lld)",
                 static_cast<long long>(row), static_cast<long long>(col), static_cast<long long>(col),
                 static_cast<long long>(row));
}

// Row i in column order must match column i of the transpose entry for entry, weights included.
void match_mirrors(const Column& indices, const Column& data, const Transpose& t, std::int64_t i,
                   const std::vector<std::int64_t>& order, std::int64_t* mirror) {
    constexpr std::int64_t kPastEnd = std::numeric_limits<std::int64_t>::max();
    std::size_t k = 0;
    std::int64_t q = t.offsets[static_cast<std::size_t>(i)], qe = t.offsets[static_cast<std::size_t>(i) + 1];
    for (; k < order.size() || q < qe; ++k, ++q) {
        std::int64_t col = k < order.size() ? indices.integer(order[k]) : kPastEnd;
        std::int64_t src = q < qe ? t.rows[q] : kPastEnd;
        if (col < src) raise_missing_mirror(i, col);
        if (src < col) raise_missing_mirror(src, i);
        std::int64_t here = order[k], there = t.positions[static_cast<std::size_t>(q)];
        if (data.real(here) != data.real(there)) {
            WeightText a(data.real(here)), c(data.real(there));
            raise_format(PyExc_ValueError, "graph is not symmetric: entry (%lld, %lld) has weight %s but (%lld, %lld) has %s",
                         static_cast<long long>(i), static_cast<long long>(col), a.text, static_cast<long long>(col),
                         static_cast<long long>(i), c.text);
        }
        mirror[here] = there;
    }
}

// Validates the whole CSR structure and returns, for every entry, the position of its mirror entry
// (j, i) for (i, j). Throws with a message naming the first offending entry.
std::unique_ptr<std::int64_t[]> validate(const Column& indptr, const Column& indices, const Column& data, std::int64_t n,
                                   std::int64_t* max_degree) {
    *max_degree = check_row_pointers(indptr, indices, data, n);
    InterruptPoll poll;
    for (std::int64_t i = 0; i < n; ++i) {
        poll();
        for (std::int64_t p = indptr.integer(i), e = indptr.integer(i + 1); p < e; ++p)
            check_entry(i, indices.integer(p), data.real(p), n);
    }
    const Transpose t = transpose(indptr, indices, n);
    auto mirror = uninitialised<std::int64_t>(indices.length);
    std::vector<std::int64_t> order;
    for (std::int64_t i = 0; i < n; ++i) {
        poll();
        sorted_row(indices, i, indptr.integer(i), indptr.integer(i + 1), order);
        match_mirrors(indices, data, t, i, order, mirror.get());
    }
    return mirror;
}

// Replaces every weight by the rank of its edge in the order (weight, smaller node, larger node),
// starting at 1: the same order of cuts, without ties.
std::unique_ptr<float[]> rank_weights(const Column& indptr, const Column& indices, const Column& data, std::int64_t n,
                                const std::int64_t* mirror) {
    InterruptPoll poll;
    std::vector<RankedEdge<std::int64_t>> edges;
    edges.reserve(static_cast<std::size_t>(indices.length / 2));
    for (std::int64_t i = 0; i < n; ++i, poll())
        for (std::int64_t p = indptr.integer(i), e = indptr.integer(i + 1); p < e; ++p)
            if (indices.integer(p) > i) edges.push_back({data.real(p), i, indices.integer(p), p});
    if (static_cast<std::int64_t>(edges.size()) > kMostRankedEdges)
        raise_format(PyExc_ValueError, "rank_weights supports at most %lld edges (float32 holds ranks exactly up to that)",
                     static_cast<long long>(kMostRankedEdges));
    sort_by_rank(edges, poll);
    auto out = uninitialised<float>(indices.length);
    for (std::size_t r = 0; r < edges.size(); ++r) {
        poll();
        float rank = static_cast<float>(r + 1);
        out[static_cast<std::size_t>(edges[r].id)] = rank;
        out[static_cast<std::size_t>(mirror[static_cast<std::size_t>(edges[r].id)])] = rank;
    }
    return out;
}

std::int64_t node_count(std::int64_t n) {
    if (n < 0) raise(PyExc_ValueError, "n must not be negative");
    if (n > INT32_MAX) raise(PyExc_ValueError, "n is too large: node indices must fit in 32 bits");
    return n;
}

// The CSR arrays among the arguments: the first three, each read once into memory of our own.
void acquire_csr(const Arguments& arguments, Column& indptr, Column& indices, Column& data) {
    acquire_column(arguments.object(0), "indptr", 'i', indptr);
    acquire_column(arguments.object(1), "indices", 'i', indices);
    acquire_column(arguments.object(2), "data", 'f', data);
    indptr.copy_integers();
    indices.copy_integers();
    data.copy_reals();
}

const Param kFromCsrParams[] = {{"indptr", Kind::object}, {"indices", Kind::object}, {"data", Kind::object},
                                 {"n", Kind::int64}, {"rank_weights", Kind::flag, true, 0}};
constexpr Signature kFromCsr = signature("graph_from_csr", kFromCsrParams,
    "graph_from_csr(indptr, indices, data, n, rank_weights=False)\n\n"
    "Build the (connections, weights) GraphWrapper pair of an undirected graph given as CSR arrays.\n"
    "indptr and indices are int32 or int64, data float32 or float64; row i becomes list i in column\n"
    "order. Every entry (i, j, w) needs its mirror (j, i, w); weights must be positive and finite;\n"
    "self-loops and duplicate entries are refused. Each list has room for its edges plus two more.\n"
    "With rank_weights, each edge gets the rank of (weight, smaller node, larger node), from 1.");

PyObject* graph_from_csr(PyObject*, const Arguments& arguments) {
    const std::int64_t n = node_count(arguments.int64(3));
    const bool ranked = arguments.flag(4);
    Column indptr, indices, data;
    acquire_csr(arguments, indptr, indices, data);

    std::int64_t max_degree = 0;
    std::unique_ptr<std::int64_t[]> mirror = validate(indptr, indices, data, n, &max_degree);
    std::unique_ptr<float[]> ranks;
    if (ranked) ranks = rank_weights(indptr, indices, data, n, mirror.get());
    mirror.reset();

    // Room per list: 3 * max_size >= max degree + 2 (the joining edges).
    std::int64_t max_size = (max_degree + 2 + 2) / 3;
    if (3 * max_size > INT32_MAX) raise(PyExc_ValueError, "a node has too many neighbours for a GraphWrapper list");
    Ref connections = make_container(static_cast<Py_ssize_t>(n), INT64, static_cast<std::int32_t>(max_size));
    Ref weights = make_container(static_cast<Py_ssize_t>(n), FLOAT32, static_cast<std::int32_t>(max_size));
    GraphWrapperObject* gc = as_graph(connections.get());
    GraphWrapperObject* gw = as_graph(weights.get());
    InterruptPoll poll;
    for (std::int64_t i = 0; i < n; ++i) {
        poll();
        const std::int64_t b = indptr.integer(i), e = indptr.integer(i + 1);
        const auto degree = static_cast<std::int32_t>(e - b);
        if (degree == 0) continue;
        const auto li = static_cast<std::uint64_t>(i);
        if (!reserve_list(gc, li, degree) || !reserve_list(gw, li, degree)) throw std::bad_alloc();
        ITYPE_t* adjacency = int_list(gc, li);
        DTYPE32_t* w = float_list(gw, li);
        for (std::int64_t p = b; p < e; ++p) {
            adjacency[p - b] = indices.integer(p);
            w[p - b] = ranked ? ranks[static_cast<std::size_t>(p)] : static_cast<float>(data.real(p));
        }
        gc->_sizes[li] = degree;
        gw->_sizes[li] = degree;
    }
    return check(PyTuple_Pack(2, connections.get(), weights.get()));
}

const Param kEdgesFromCsrParams[] = {
    {"indptr", Kind::object}, {"indices", Kind::object}, {"data", Kind::object}, {"n", Kind::int64}};
constexpr Signature kEdgesFromCsr = signature("edges_from_csr", kEdgesFromCsrParams,
    "edges_from_csr(indptr, indices, data, n)\n\n"
    "The edges of an undirected graph given as CSR arrays, checked as graph_from_csr checks them:\n"
    "an (m, 2) int64 array (smaller node first, in row order) and the m float64 weights.");

// The edges of a symmetric CSR matrix, checked as graph_from_csr checks them: each edge once,
// smaller node first, in row order.
PyObject* edges_from_csr(PyObject*, const Arguments& arguments) {
    const std::int64_t n = node_count(arguments.int64(3));
    Column indptr, indices, data;
    acquire_csr(arguments, indptr, indices, data);
    std::int64_t max_degree = 0;
    validate(indptr, indices, data, n, &max_degree);
    npy_intp edge_dims[2] = {static_cast<npy_intp>(indices.length / 2), 2};
    npy_intp weight_dims[1] = {edge_dims[0]};
    Ref edges = Ref::steal(check(PyArray_SimpleNew(2, edge_dims, NPY_INT64)));
    Ref weights = Ref::steal(check(PyArray_SimpleNew(1, weight_dims, NPY_FLOAT64)));
    auto* ends = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(edges.get())));
    auto* w = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(weights.get())));
    std::int64_t at = 0;
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t p = indptr.integer(i), e = indptr.integer(i + 1); p < e; ++p)
            if (indices.integer(p) > i) {
                ends[2 * at] = i;
                ends[2 * at + 1] = indices.integer(p);
                w[at++] = data.real(p);
            }
    return check(PyTuple_Pack(2, edges.get(), weights.get()));
}

GraphWrapperObject* require_container(PyObject* obj, const char* name, DataType dtype) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != graph_wrapper_type())
        raise_format(PyExc_TypeError, "%s must be a brov_core.GraphWrapper, got %.200s", name, Py_TYPE(obj)->tp_name);
    GraphWrapperObject* g = as_graph(obj);
    if (g->_dtype != dtype)
        raise_format(PyExc_TypeError, "%s must be a GraphWrapper of dtype %s", name, dtype == INT64 ? "INT64 (0)" : "FLOAT32 (1)");
    return g;
}

const Param kToCsrParams[] = {{"connections", Kind::object}, {"weights", Kind::object}};
constexpr Signature kToCsr = signature("graph_to_csr", kToCsrParams,
    "graph_to_csr(connections, weights)\n\n"
    "Read a GraphWrapper pair back as CSR arrays (indptr int64, indices int64, data float32).");

PyObject* graph_to_csr(PyObject*, const Arguments& arguments) {
    PyObject* connections = arguments.object(0);
    PyObject* weights = arguments.object(1);
    GraphWrapperObject* gc = require_container(connections, "connections", INT64);
    GraphWrapperObject* gw = require_container(weights, "weights", FLOAT32);
    if (gc->_count != gw->_count)
        raise(PyExc_ValueError, "connections and weights hold different numbers of lists");
    // The sizes counted here are the sizes copied below, whatever runs during the polls.
    BusyPin connections_pin, weights_pin;
    connections_pin.hold_graph(connections);
    weights_pin.hold_graph(weights);
    const std::uint64_t n = gc->_count;
    std::int64_t nnz = 0;
    InterruptPoll poll;
    for (std::uint64_t i = 0; i < n; ++i) {
        poll();
        if (gc->_sizes[i] != gw->_sizes[i])
            raise_format(PyExc_ValueError, "list %llu holds %d neighbours but %d weights",
                         static_cast<unsigned long long>(i), gc->_sizes[i], gw->_sizes[i]);
        nnz += gc->_sizes[i];
    }
    npy_intp dims_ptr[1] = {static_cast<npy_intp>(n + 1)};
    npy_intp dims_nnz[1] = {static_cast<npy_intp>(nnz)};
    Ref indptr = Ref::steal(check(PyArray_SimpleNew(1, dims_ptr, NPY_INT64)));
    Ref indices = Ref::steal(check(PyArray_SimpleNew(1, dims_nnz, NPY_INT64)));
    Ref data = Ref::steal(check(PyArray_SimpleNew(1, dims_nnz, NPY_FLOAT32)));
    auto* ptr = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(indptr.get())));
    auto* idx = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(indices.get())));
    auto* val = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(data.get())));
    std::int64_t at = 0;
    ptr[0] = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        poll();
        const std::int32_t size = gc->_sizes[i];
        if (size > 0) {
            std::memcpy(idx + at, int_list(gc, i), static_cast<std::size_t>(size) * sizeof(ITYPE_t));
            std::memcpy(val + at, float_list(gw, i), static_cast<std::size_t>(size) * sizeof(DTYPE32_t));
        }
        at += size;
        ptr[i + 1] = at;
    }
    return check(PyTuple_Pack(3, indptr.get(), indices.get(), data.get()));
}

PyMethodDef methods[] = {
    keywords_method<kFromCsr, graph_from_csr>(),
    keywords_method<kToCsr, graph_to_csr>(),
    keywords_method<kEdgesFromCsr, edges_from_csr>(),
    keywords_method<kClusterEdges, cluster_edges>(),
    keywords_method<kVotingTrees, voting_trees>(),
    keywords_method<kNearest, nearest_neighbours>(),
    keywords_method<kCandidatePairs, candidate_pairs>(),
    keywords_method<kVotedTree, voted_tree>(),
    keywords_method<kSmoothedVotes, smoothed_votes>(),
    keywords_method<kNearestLabels, nearest_labels>(),
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_bulk", "Bulk loading of graphs into brov_core.GraphWrapper pairs.",
                          0, methods};

// _bulk's own start-up step: brov_core's GraphWrapper type, checked against the layout _bulk
// was built for, and kept for the life of the process.
void fetch_graph_wrapper(PyObject*) {
    ProcessState& state = process_state();
    if (state.core_graph_wrapper) return;
    Ref core = Ref::steal(check(PyImport_ImportModule("halvek.algorithms.src.brov.binaries.brov_core")));
    Ref type = Ref::steal(check(PyObject_GetAttrString(core.get(), "GraphWrapper")));
    if (!PyType_Check(type.get())) raise(PyExc_ImportError, "brov_core.GraphWrapper is not a type");
    if (reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize < static_cast<Py_ssize_t>(sizeof(GraphWrapperObject)))
        raise(PyExc_ImportError, "brov_core.GraphWrapper is smaller than the layout _bulk was built for");
    state.core_graph_wrapper = type.release();
}

}  // namespace
}  // namespace brov

extern "C" PyMODINIT_FUNC PyInit__bulk() { return brov::init_extension<brov::fetch_graph_wrapper>(brov::module_def); }
