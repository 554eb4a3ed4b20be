// _tree: the exact Euclidean minimum spanning tree of a point set, in native code.
//
// euclidean_mst_edges(points, progress=None) -> edges
//     points: a C-contiguous float64 array of shape (n, d), finite. Returns an (n - 1, 2) int64
//     array of row pairs, smaller row first. progress, if given, is called with the fraction of the
//     work done after each round; an exception from it (or Ctrl-C) stops the build.
//
// smaller_side_sizes(edges, n) -> sizes
//     edges: a C-contiguous int64 (m, 2) array forming a forest over nodes 0..n-1. Returns, per edge,
//     the number of nodes on the smaller side that removing it leaves within its tree.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "numpy_api.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "bulk_columns.hpp"
#include "emst.hpp"
#include "extension_start.hpp"
#include "py_errors.hpp"
#include "py_ref.hpp"
#include "tree_sides.hpp"

namespace brov {
namespace {

// Whether the buffer holds 8-byte items of kind 'i' (integers) or 'f' (floats).
bool holds_8_byte(const Py_buffer& view, char want) {
    char kind = 0;
    return classify(view, &kind) && kind == want && view.itemsize == 8;
}

PyObject* tree_edges(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"points", "progress", nullptr};
        PyObject* points = nullptr;
        PyObject* progress = Py_None;
        check_status(PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:euclidean_mst_edges",
                                                 const_cast<char**>(keywords), &points, &progress) ? 0 : -1);
        if (progress != Py_None && !PyCallable_Check(progress))
            raise(PyExc_TypeError, "progress must be callable or None");
        BufferHold hold;
        if (!hold.acquire(points, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) throw_error_set();
        const Py_buffer& view = hold.view();
        if (view.ndim != 2 || !holds_8_byte(view, 'f'))
            raise(PyExc_TypeError, "points must be a C-contiguous float64 array of shape (n, d)");
        const auto n = static_cast<std::int64_t>(view.shape[0]);
        const auto d = static_cast<std::int64_t>(view.shape[1]);
        if (d > 1 << 20) raise(PyExc_ValueError, "points have too many coordinates");
        // Allocated before the values are checked: an allocation can start the collector, whose
        // finalisers may write to the points.
        npy_intp dims[2] = {static_cast<npy_intp>(n > 0 ? n - 1 : 0), 2};
        Ref edges = Ref::steal(check(PyArray_SimpleNew(2, dims, NPY_INT64)));
        const auto* data = static_cast<const double*>(view.buf);
        for (std::int64_t k = 0; k < n * d; ++k)
            if (!std::isfinite(data[k])) raise(PyExc_ValueError, "points must be finite (no NaN or infinity)");
        auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(edges.get())));
        // The buffer stays held (so the array cannot be resized) while the build reads it; the build
        // copies the points before its first checkpoint, and only Python code runs at checkpoints.
        Ref callback = Ref::borrow(progress);
        auto checkpoint = [&](double fraction) {
            if (fraction >= 0.0 && callback.get() != Py_None) {
                Ref value = Ref::steal(check(PyFloat_FromDouble(fraction)));
                Ref result = Ref::steal(check(PyObject_CallOneArg(callback.get(), value.get())));
            }
            check_status(PyErr_CheckSignals());
        };
        euclidean_mst_edges(data, n, static_cast<int>(d), out, checkpoint);
        return edges.release();
    });
}

PyObject* side_sizes(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"edges", "n", nullptr};
        PyObject* edges = nullptr;
        long long n = 0;
        check_status(PyArg_ParseTupleAndKeywords(args, kwargs, "OL:smaller_side_sizes", const_cast<char**>(keywords),
                                                 &edges, &n) ? 0 : -1);
        if (n < 0) raise(PyExc_ValueError, "n must be >= 0");
        BufferHold hold;
        if (!hold.acquire(edges, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) throw_error_set();
        const Py_buffer& view = hold.view();
        if (view.ndim != 2 || view.shape[1] != 2 || !holds_8_byte(view, 'i'))
            raise(PyExc_TypeError, "edges must be a C-contiguous int64 array of shape (m, 2)");
        const auto m = static_cast<std::int64_t>(view.shape[0]);
        // Allocated before the ids are checked: an allocation can start the collector, whose
        // finalisers may write to the edges. No Python code runs after the check.
        npy_intp dims[1] = {static_cast<npy_intp>(m)};
        Ref sizes = Ref::steal(check(PyArray_SimpleNew(1, dims, NPY_INT64)));
        auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(sizes.get())));
        const auto* pairs = static_cast<const std::int64_t*>(view.buf);
        for (std::int64_t k = 0; k < 2 * m; ++k)
            if (pairs[k] < 0 || pairs[k] >= n) raise(PyExc_ValueError, "edges must join nodes in [0, n)");
        if (!smaller_side_sizes(pairs, m, n, out)) raise(PyExc_ValueError, "edges must form a forest (no cycles)");
        return sizes.release();
    });
}

PyMethodDef methods[] = {
    {"euclidean_mst_edges", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tree_edges)),
     METH_VARARGS | METH_KEYWORDS,
     "euclidean_mst_edges(points, progress=None)\n\n"
     "Exact Euclidean minimum spanning tree of the rows of a C-contiguous float64 (n, d) array:\n"
     "an (n - 1, 2) int64 array of row pairs, smaller row first. Equal lengths are broken by the\n"
     "rows' positions in an internal order. progress(fraction) is called after each round."},
    {"smaller_side_sizes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(side_sizes)),
     METH_VARARGS | METH_KEYWORDS,
     "smaller_side_sizes(edges, n)\n\n"
     "For each edge of a forest over nodes 0..n-1 (a C-contiguous int64 (m, 2) array), the number\n"
     "of nodes on the smaller of the two sides that removing it leaves within its tree."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tree",
                          "Exact Euclidean minimum spanning trees (Boruvka over a k-d tree).", 0, methods};

}  // namespace
}  // namespace brov

extern "C" PyMODINIT_FUNC PyInit__tree() { return brov::init_extension<brov::no_own_step>(brov::module_def); }
