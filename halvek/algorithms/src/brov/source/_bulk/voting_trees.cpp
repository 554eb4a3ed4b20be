// voting_trees: the perturbed trees of the estimator's confidence, drawn and cut without leaving
// native code; every tree's numbers come from its own stream, so the votes do not depend on the
// order the trees are drawn in.
#include "_bulk/voting_trees.hpp"

#include "cpython/numpy_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "_bulk/edge_list.hpp"
#include "arrays/perturbed_trees.hpp"
#include "arrays/tree_sides.hpp"
#include "cpython/bulk_columns.hpp"

namespace brov {
namespace {

// The candidate pairs, their lengths and factors, copied and checked.
struct Candidates {
    std::int32_t n = 0;
    std::vector<std::int32_t> lo, hi;
    std::vector<double> lengths, factors;
    std::vector<std::int8_t> labels;
};

double real_argument(PyObject* value, const char* name, bool may_be_zero) {
    const double x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) throw PythonError{};
    if (!std::isfinite(x) || x < 0.0 || (x == 0.0 && !may_be_zero))
        raise_format(PyExc_ValueError, "%s must be a finite number %s 0, got %R", name, may_be_zero ? ">=" : ">", value);
    return x;
}

void read_candidates(const Arguments& arguments, Candidates& out) {
    Column pairs, lengths, factors;
    acquire_pairs(arguments.object(0), "pairs", pairs);
    acquire_column(arguments.object(1), "lengths", 'f', lengths);
    acquire_column(arguments.object(2), "factors", 'f', factors);
    BufferHold hold;
    const std::int8_t* labels = acquire_int8_column(arguments.object(3), "labels", hold);
    const Py_ssize_t n = hold.view().shape[0], m = pairs.length / 2;
    if (n >= std::numeric_limits<std::int32_t>::max() / 2 || m >= std::numeric_limits<std::int32_t>::max() / 2)
        raise(PyExc_ValueError, "too many points or pairs: their indices must fit in 30 bits");
    if (lengths.length != m || factors.length != m)
        raise_format(PyExc_ValueError, "got %zd lengths and %zd factors for %zd pairs", lengths.length, factors.length, m);
    out.n = static_cast<std::int32_t>(n);
    out.labels.assign(labels, labels + n);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (out.labels[i] < -1)
            raise_format(PyExc_ValueError, "label %d of point %zd is neither -1 nor a class code (>= 0)", out.labels[i], i);
    out.lo.resize(m);
    out.hi.resize(m);
    out.lengths.resize(m);
    out.factors.resize(m);
    InterruptPoll poll;
    for (Py_ssize_t e = 0; e < m; ++e) {
        poll();
        const std::int64_t a = pairs.integer(2 * e), b = pairs.integer(2 * e + 1);
        if (a < 0 || a >= n || b < 0 || b >= n || a == b)
            raise_format(PyExc_ValueError, "pair %zd joins points %lld and %lld: two distinct points in [0, %zd) are needed",
                         e, static_cast<long long>(a), static_cast<long long>(b), n);
        const double length = lengths.real(e), factor = factors.real(e);
        if (std::isnan(length) || length < 0.0)
            raise_format(PyExc_ValueError, "pair %zd has a length that is NaN or negative", e);
        if (!std::isfinite(factor) || factor <= 0.0)
            raise_format(PyExc_ValueError, "pair %zd has a factor that is not positive and finite", e);
        out.lo[e] = static_cast<std::int32_t>(std::min(a, b));
        out.hi[e] = static_cast<std::int32_t>(std::max(a, b));
        out.lengths[e] = length;
        out.factors[e] = factor;
    }
}

// One perturbed tree, weighed and cut: its class codes added to `votes` (n x n_classes).
void vote_once(const Candidates& c, std::int64_t n_classes, std::uint64_t seed, std::uint64_t tree, double noise,
               double side_discount, std::vector<std::int64_t>& votes) {
    InterruptPoll poll;
    std::vector<double> noisy;
    perturb_lengths(c.lengths, noise, seed, tree, noisy);
    std::vector<std::int32_t> chosen;
    kruskal_forest(c.lo, c.hi, noisy, c.n, chosen, [&poll] { poll(); });

    EdgeList g;
    g.n = c.n;
    g.m = static_cast<std::int64_t>(chosen.size());
    g.labels = c.labels;
    g.ends.resize(2 * chosen.size());
    std::vector<std::int64_t> ends64(2 * chosen.size()), sides(chosen.size());
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        g.ends[2 * k] = c.lo[chosen[k]];
        g.ends[2 * k + 1] = c.hi[chosen[k]];
        ends64[2 * k] = c.lo[chosen[k]];
        ends64[2 * k + 1] = c.hi[chosen[k]];
    }
    if (side_discount > 0.0 && !smaller_side_sizes(ends64.data(), g.m, g.n, sides.data()))
        raise(PyExc_SystemError, "voting_trees: Kruskal's forest holds a cycle");
    g.weights.resize(chosen.size());
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        const double discount = side_discount > 0.0 ? -std::expm1(-static_cast<double>(sides[k]) / side_discount) : 1.0;
        g.weights[k] = noisy[chosen[k]] * c.factors[chosen[k]] * discount;
    }
    std::vector<std::uint8_t> cut;
    std::vector<std::int8_t> codes(static_cast<std::size_t>(c.n));
    cluster_edge_list(g, true, cut, codes.data());
    for (std::int32_t i = 0; i < c.n; ++i)
        if (codes[i] >= 0) ++votes[static_cast<std::size_t>(i) * n_classes + codes[i]];
}

}  // namespace

PyObject* voting_trees(PyObject*, const Arguments& arguments) {
    const auto n_trees = static_cast<std::uint64_t>(arguments.int64(4));
    const auto seed = static_cast<std::uint64_t>(arguments.int64(5));
    const double noise = real_argument(arguments.object(6), "noise", true);
    const double side_discount = real_argument(arguments.object(7), "side_discount", true);
    Candidates c;
    read_candidates(arguments, c);
    std::int64_t n_classes = 1;
    for (std::int8_t code : c.labels) n_classes = std::max<std::int64_t>(n_classes, code + 1);

    std::vector<std::int64_t> votes(static_cast<std::size_t>(c.n) * n_classes, 0);
    for (std::uint64_t t = 0; t < n_trees; ++t) vote_once(c, n_classes, seed, t, noise, side_discount, votes);

    npy_intp dims[2] = {static_cast<npy_intp>(c.n), static_cast<npy_intp>(n_classes)};
    Ref array = Ref::steal(check(PyArray_SimpleNew(2, dims, NPY_INT64)));
    if (!votes.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), votes.data(),
                    votes.size() * sizeof(std::int64_t));
    return array.release();
}

}  // namespace brov
