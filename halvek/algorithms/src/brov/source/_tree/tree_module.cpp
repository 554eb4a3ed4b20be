// _tree: the exact Euclidean minimum spanning tree of a point set, in native code.
//
// euclidean_mst_edges(points, progress=None, threads=0, int32=False, neighbours=0, kept=0) -> edges
//     points: a C-contiguous float64 array of shape (n, d), finite (any magnitude: the build works
//     on a copy scaled by a power of two). Returns an (n - 1, 2) int64 array of row pairs, smaller
//     row first (int32 with int32=True, for n below 2^31: half the memory). progress, if given, is called with the fraction of the work done after each round;
//     an exception from it (or Ctrl-C) stops the build. threads caps the threads of the searches
//     (0: up to 8). The GIL is released while the build runs. With neighbours=k > 0, returns
//     (edges, index, last): the build's lists of each point's k nearest others, index (n, kept)
//     int32 of the first kept and last (n,) float64 the distance to the k-th, or (edges, None, None).
//
// smaller_side_sizes(edges, n) -> sizes
//     edges: a C-contiguous int64 or int32 (m, 2) array forming a forest over nodes 0..n-1. Returns, per edge,
//     the number of nodes on the smaller side that removing it leaves within its tree. Memory
//     follows the edges given, however large n is.
//
// tile_lists(left, right, r0, c0, comp, values, index, threads=1)
//     Updates the lists of each point's best products with points of other components from one
//     block of products (trees/dense.py; see arrays/tile_lists.hpp). The GIL is released.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "cpython/numpy_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "cpython/binding.hpp"
#include "cpython/bulk_columns.hpp"
#include "arrays/emst.hpp"
#include "cpython/extension_start.hpp"
#include "cpython/py_errors.hpp"
#include "cpython/py_ref.hpp"
#include "arrays/tile_lists.hpp"
#include "arrays/tree_sides.hpp"

namespace brov {
namespace {

// Whether the buffer holds 8-byte items of kind 'i' (integers) or 'f' (floats).
bool holds_8_byte(const Py_buffer& view, char want) {
    char kind = 0;
    return classify(view, &kind) && kind == want && view.itemsize == 8;
}

const Param kTreeEdgesParams[] = {{"points", Kind::object},
                                  {"progress", Kind::callable, true},
                                  {"threads", Kind::count, true, 0},
                                  {"int32", Kind::flag, true, 0},
                                  {"neighbours", Kind::count, true, 0},
                                  {"kept", Kind::count, true, 0}};
constexpr Signature kTreeEdges = signature("euclidean_mst_edges", kTreeEdgesParams,
    "euclidean_mst_edges(points, progress=None, threads=0, int32=False, neighbours=0, kept=0)\n\n"
    "Exact Euclidean minimum spanning tree of the rows of a C-contiguous float64 (n, d) array:\n"
    "an (n - 1, 2) int64 array (int32 with int32=True) of row pairs, smaller row first. Equal lengths are broken by the\n"
    "rows' positions in an internal order. progress(fraction) is called after each round.\n"
    "threads caps the threads of the searches (0: up to 8). Other Python threads run meanwhile.\n"
    "neighbours=k (1..64) returns (edges, index, last) instead: index (n, kept) int32, each point's\n"
    "kept nearest other rows (nearest first, -1 where fewer exist), and last (n,) float64 the distance\n"
    "to its k-th nearest (inf where fewer), as the build listed them; both None where identical\n"
    "points were merged (the lists then leave copies out).");

// The held buffer's `count` 8-byte items of `kind`, read once into memory of our own (aligned):
// the caller's buffer need not be aligned, and what is checked is what the algorithms use.
void copy_items(Column& items, Py_ssize_t count, char kind) {
    items.data = static_cast<const char*>(items.hold.view().buf);
    items.length = count;
    items.kind = kind;
    items.size = 8;
    if (kind == 'i') items.copy_integers();
    else items.copy_reals();
}

PyObject* tree_edges(const Arguments& arguments) {
    Column points;
    if (!points.hold.acquire(arguments.object(0), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) throw_error_set();
    const Py_buffer& view = points.hold.view();
    if (view.ndim != 2 || !holds_8_byte(view, 'f'))
        raise(PyExc_TypeError, "points must be a C-contiguous float64 array of shape (n, d)");
    const auto n = static_cast<std::int64_t>(view.shape[0]);
    const auto d = static_cast<std::int64_t>(view.shape[1]);
    if (d > 1 << 20) raise(PyExc_ValueError, "points have too many coordinates");
    const std::int64_t threads = arguments.int64(2);
    const bool int32 = arguments.flag(3);
    if (int32 && n >= std::numeric_limits<std::int32_t>::max())
        raise(PyExc_ValueError, "int32 edges hold fewer than 2^31 - 1 points");
    EmstNeighbours lists;
    lists.count = static_cast<int>(arguments.int64(4));
    lists.kept = static_cast<int>(arguments.int64(5));
    if (lists.count > 64 || lists.kept > lists.count) raise(PyExc_ValueError, "neighbours must be at most 64 and kept at most neighbours");
    // Allocated before the values are copied and checked: an allocation can start the collector,
    // whose finalisers may write to the points.
    npy_intp dims[2] = {static_cast<npy_intp>(n > 0 ? n - 1 : 0), 2};
    Ref edges = Ref::steal(check(PyArray_SimpleNew(2, dims, int32 ? NPY_INT32 : NPY_INT64)));
    copy_items(points, static_cast<Py_ssize_t>(n * d), 'f');
    const double* data = points.owned_reals.data();
    InterruptPoll poll;
    for (std::int64_t k = 0; k < n * d; ++k, poll())
        if (!std::isfinite(data[k])) raise(PyExc_ValueError, "points must be finite (no NaN or infinity)");
    void* out = PyArray_DATA(reinterpret_cast<PyArrayObject*>(edges.get()));
    // The build reads only the copy, which no Python code can reach, and writes only into the new
    // array, which no other code has seen yet: other Python threads run while it works, and the
    // checkpoints (the progress callback, signal handlers) cannot change what it reads.
    Ref callback = Ref::borrow(arguments.object(1));
    std::int64_t written = 0;
    {
        WithoutGil released;
        // Rounds report their fraction; the searches' polls (fraction -1) take the GIL only when due.
        auto checkpoint = [&](double fraction) {
            if (fraction < 0.0 && !released.due()) return;
            released.holding([&] {
                if (fraction >= 0.0 && callback.get() != Py_None) {
                    Ref value = Ref::steal(check(PyFloat_FromDouble(fraction)));
                    Ref result = Ref::steal(check(PyObject_CallOneArg(callback.get(), value.get())));
                }
                check_status(PyErr_CheckSignals());
            });
        };
        // The build takes over the copy and frees it once the tree holds its own.
        const int most = static_cast<int>(std::min<std::int64_t>(threads, 1 << 16));
        if (int32)
            written = euclidean_mst_edges(points.owned_reals, n, static_cast<int>(d), static_cast<std::int32_t*>(out),
                                          checkpoint, most, &lists);
        else
            written = euclidean_mst_edges(points.owned_reals, n, static_cast<int>(d), static_cast<std::int64_t*>(out),
                                          checkpoint, most, &lists);
    }
    if (written != (n > 0 ? n - 1 : 0))  // never hand out an array with rows left unwritten
        raise(PyExc_RuntimeError, "euclidean_mst_edges could not join every point");
    if (lists.count < 1) return edges.release();
    if (!lists.found) return check(PyTuple_Pack(3, edges.get(), Py_None, Py_None));
    npy_intp index_dims[2] = {static_cast<npy_intp>(n), lists.kept}, last_dims[1] = {static_cast<npy_intp>(n)};
    Ref index = Ref::steal(check(PyArray_SimpleNew(2, index_dims, NPY_INT32)));
    Ref last = Ref::steal(check(PyArray_SimpleNew(1, last_dims, NPY_FLOAT64)));
    if (!lists.index.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(index.get())), lists.index.data(),
                    lists.index.size() * sizeof(std::int32_t));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(last.get())), lists.last.data(),
                lists.last.size() * sizeof(double));
    return check(PyTuple_Pack(3, edges.get(), index.get(), last.get()));
}

const Param kSideSizesParams[] = {{"edges", Kind::object}, {"n", Kind::count}};
constexpr Signature kSideSizes = signature("smaller_side_sizes", kSideSizesParams,
    "smaller_side_sizes(edges, n)\n\n"
    "For each edge of a forest over nodes 0..n-1 (a C-contiguous int64 or int32 (m, 2) array), the number\n"
    "of nodes on the smaller of the two sides that removing it leaves within its tree.");

template <typename Index>
void check_ids(const std::vector<Index>& pairs, std::int64_t n) {
    for (const Index id : pairs)
        if (id < 0 || id >= n) raise(PyExc_ValueError, "edges must join nodes in [0, n)");
}

PyObject* side_sizes(const Arguments& arguments) {
    const std::int64_t n = arguments.int64(1);
    Column edges;
    if (!edges.hold.acquire(arguments.object(0), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) throw_error_set();
    const Py_buffer& view = edges.hold.view();
    char kind = 0;
    const bool narrow = classify(view, &kind) && kind == 'i' && view.itemsize == 4;
    if (view.ndim != 2 || view.shape[1] != 2 || !(narrow || holds_8_byte(view, 'i')))
        raise(PyExc_TypeError, "edges must be a C-contiguous int64 or int32 array of shape (m, 2)");
    const auto m = static_cast<std::int64_t>(view.shape[0]);
    // Allocated before the ids are copied and checked: an allocation can start the collector,
    // whose finalisers may write to the edges. No Python code runs after the check.
    npy_intp dims[1] = {static_cast<npy_intp>(m)};
    Ref sizes = Ref::steal(check(PyArray_SimpleNew(1, dims, NPY_INT64)));
    auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(sizes.get())));
    bool forest = false;
    if (narrow) {  // 32-bit ids (the estimator's trees): read once, without a 64-bit copy
        std::vector<std::int32_t> pairs(static_cast<std::size_t>(2 * m));
        if (!pairs.empty()) std::memcpy(pairs.data(), view.buf, pairs.size() * sizeof(std::int32_t));
        check_ids(pairs, n);
        forest = smaller_side_sizes(pairs.data(), m, n, out);
    } else {
        copy_items(edges, static_cast<Py_ssize_t>(2 * m), 'i');
        check_ids(edges.owned, n);
        forest = smaller_side_sizes(edges.owned.data(), m, n, out);
    }
    if (!forest) raise(PyExc_ValueError, "edges must form a forest (no cycles)");
    return sizes.release();
}

const Param kTileListsParams[] = {{"left", Kind::object},  {"right", Kind::object}, {"r0", Kind::count},
                                   {"c0", Kind::count},     {"comp", Kind::object},  {"values", Kind::object},
                                   {"index", Kind::object}, {"threads", Kind::count, true, 1}};
constexpr Signature kTileLists = signature("tile_lists", kTileListsParams,
    "tile_lists(left, right, r0, c0, comp, values, index, threads=1)\n\n"
    "Products of the rows of left (positions r0..) with the rows of right (positions c0..), both\n"
    "C-contiguous float32 or float64 arrays of one type and width: every row keeps in its row of\n"
    "values (float64, n x k, decreasing) and index (int64) its k largest products with positions\n"
    "p of another component (comp[p], int64); off the diagonal (r0 != c0, ranges apart) every\n"
    "column too. The arrays must be private to the caller: they are written without the GIL.");

// The C-contiguous two-dimensional buffer of `obj`, of floats (any size) or 8-byte items of kind
// `kind`, writable if asked.
const Py_buffer& typed_view(BufferHold& hold, PyObject* obj, int ndim, char kind, bool writable, const char* what) {
    if (!hold.acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0))) throw_error_set();
    const Py_buffer& view = hold.view();
    char found = 0;
    const bool fits = kind == 'r' ? classify(view, &found) && found == 'f' : holds_8_byte(view, kind);
    if (view.ndim != ndim || !fits) raise(PyExc_TypeError, what);
    return view;
}

PyObject* tile_lists(const Arguments& arguments) {
    BufferHold left_hold, right_hold, comp_hold, values_hold, index_hold;
    const char* rows_type = "left and right must be C-contiguous float32 or float64 arrays of one type and width";
    const Py_buffer& left = typed_view(left_hold, arguments.object(0), 2, 'r', false, rows_type);
    const Py_buffer& right = typed_view(right_hold, arguments.object(1), 2, 'r', false, rows_type);
    if (left.itemsize != right.itemsize || left.shape[1] != right.shape[1]) raise(PyExc_TypeError, rows_type);
    const Py_buffer& comp = typed_view(comp_hold, arguments.object(4), 1, 'i', false, "comp must be a C-contiguous int64 array");
    const Py_buffer& values =
        typed_view(values_hold, arguments.object(5), 2, 'f', true, "values must be a writable C-contiguous float64 (n, k) array");
    const Py_buffer& index =
        typed_view(index_hold, arguments.object(6), 2, 'i', true, "index must be a writable C-contiguous int64 (n, k) array");
    const std::int64_t n = comp.shape[0], rows = left.shape[0], cols = right.shape[0], width = left.shape[1];
    const std::int64_t r0 = arguments.int64(2), c0 = arguments.int64(3);
    if (values.shape[0] != n || index.shape[0] != n || index.shape[1] != values.shape[1] || values.shape[1] < 1 ||
        values.shape[1] > 1 << 20)
        raise(PyExc_ValueError, "values and index must have shape (n, k), n the length of comp");
    const bool apart = r0 >= c0 + cols || c0 >= r0 + rows;
    if (r0 > n - rows || c0 > n - cols || !(apart || (r0 == c0 && rows == cols)))
        raise(PyExc_ValueError, "the rows and columns must be the same positions or apart, within the n positions");
    const int k = static_cast<int>(values.shape[1]);
    const int threads = static_cast<int>(std::min<std::int64_t>(std::max<std::int64_t>(arguments.int64(7), 1), 64));
    {
        // The buffers stay held (pinned) while the GIL is released; no Python code runs meanwhile.
        WithoutGil released;
        auto* v = static_cast<double*>(values.buf);
        auto* x = static_cast<std::int64_t*>(index.buf);
        const auto* c = static_cast<const std::int64_t*>(comp.buf);
        if (left.itemsize == 4)
            update_tile_lists(static_cast<const float*>(left.buf), static_cast<const float*>(right.buf), rows, cols,
                              width, r0, c0, c, v, x, k, threads);
        else
            update_tile_lists(static_cast<const double*>(left.buf), static_cast<const double*>(right.buf), rows, cols,
                              width, r0, c0, c, v, x, k, threads);
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    fastcall_method<kTreeEdges, tree_edges>(),
    fastcall_method<kSideSizes, side_sizes>(),
    fastcall_method<kTileLists, tile_lists>(),
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tree",
                          "Exact Euclidean minimum spanning trees (Boruvka over a k-d tree).", 0, methods};

}  // namespace
}  // namespace brov

extern "C" PyMODINIT_FUNC PyInit__tree() { return brov::init_extension<brov::no_own_step>(brov::module_def); }
