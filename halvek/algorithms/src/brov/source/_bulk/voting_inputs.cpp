// The voting trees' inputs, computed without Python objects in the loops: the k-d tree's
// neighbours (GIL released, on threads), the candidate pairs, the smoothed votes and the voted tree.
#include "_bulk/voting_inputs.hpp"

#include "cpython/numpy_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "arrays/csr.hpp"
#include "arrays/nearest_label.hpp"
#include "arrays/nearest_neighbours.hpp"
#include "arrays/perturbed_trees.hpp"
#include "arrays/vote_smoothing.hpp"
#include "cpython/bulk_columns.hpp"

namespace brov {
namespace {

template <typename T>
Ref new_matrix(std::int64_t rows, std::int64_t columns, int type, T*& data) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
    Ref array = Ref::steal(check(PyArray_SimpleNew(2, dims, type)));
    data = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    return array;
}

// A C-contiguous two-dimensional array of `kind` (float64, or int32 or int64), opened in `out`
// (read in place); its shape.
void open_matrix(PyObject* obj, const char* name, char kind, Column& out, std::int64_t& rows, std::int64_t& columns) {
    const char* expected = kind == 'f' ? "float64" : "int32 or int64";
    const Py_buffer& view = open_column(obj, name, "two-dimensional", expected, out.hold);
    char found = 0;
    if (view.ndim != 2 || !classify(view, &found) || found != kind || (kind == 'f' && view.itemsize != 8))
        raise_format(PyExc_TypeError, "%s must be a C-contiguous %s array of shape (n, d)", name, expected);
    rows = view.shape[0];
    columns = view.shape[1];
    out.data = static_cast<const char*>(view.buf);
    out.length = view.shape[0] * view.shape[1];
    out.kind = kind;
    out.size = view.itemsize;
}

// The same, copied (as float64 or int64) into memory of our own.
void copy_matrix(PyObject* obj, const char* name, char kind, Column& out, std::int64_t& rows, std::int64_t& columns) {
    open_matrix(obj, name, kind, out, rows, columns);
    if (kind == 'f') out.copy_reals();
    else out.copy_integers();
}

}  // namespace

PyObject* nearest_neighbours(PyObject*, const Arguments& arguments) {
    Column points;
    std::int64_t n = 0, d = 0;
    copy_matrix(arguments.object(0), "points", 'f', points, n, d);
    const std::int64_t k = arguments.int64(1), threads = std::max<std::int64_t>(1, arguments.int64(2));
    if (d < 1 || d > 1024) raise(PyExc_ValueError, "points must have 1 to 1024 coordinates");
    if (n >= std::numeric_limits<std::int32_t>::max() / 2) raise(PyExc_ValueError, "too many points");
    if (k < 1 || k > 1024) raise(PyExc_ValueError, "k must lie in [1, 1024]");
    for (double x : points.owned_reals)
        if (!std::isfinite(x)) raise(PyExc_ValueError, "points must be finite (no NaN or infinity)");
    std::int64_t* index = nullptr;
    double* squared = nullptr;
    Ref index_array = new_matrix(n, k, NPY_INT64, index);
    Ref squared_array = new_matrix(n, k, NPY_FLOAT64, squared);
    bool interrupted = false;
    {
        // Reads only the copy and writes only the new arrays: other Python threads may run.
        WithoutGil released;
        const NeighbourSearch search(points.owned_reals.data(), n, static_cast<int>(d));
        const auto caller = std::this_thread::get_id();
        std::atomic<bool> stop{false};
        search.all_nearest(static_cast<int>(k), static_cast<int>(std::min<std::int64_t>(threads, 256)), index, squared,
                           [&] {
                               if (std::this_thread::get_id() == caller && released.interrupted()) stop = true;
                               return stop.load();
                           });
        interrupted = stop;
    }
    if (interrupted) throw_error_set();
    return check(PyTuple_Pack(2, index_array.get(), squared_array.get()));
}

PyObject* candidate_pairs(PyObject*, const Arguments& arguments) {
    // The indices are copied (as int32) as they are checked, and only the copies are read: the
    // count and the placing below must see the same pairs, whatever else writes to the caller's
    // arrays. The points are read in place, as values only.
    Column neighbours, edges, points;
    std::int64_t rows = 0, k = 0, n = 0, d = 0;
    open_matrix(arguments.object(0), "neighbours", 'i', neighbours, rows, k);
    acquire_pairs(arguments.object(1), "edges", edges);
    open_matrix(arguments.object(2), "points", 'f', points, n, d);
    if (rows != n) raise_format(PyExc_ValueError, "neighbours has %lld rows for %lld points", (long long)rows, (long long)n);
    if (n >= std::numeric_limits<std::int32_t>::max() / 2) raise(PyExc_ValueError, "too many points");
    const std::int64_t m = edges.length / 2;
    std::vector<std::int32_t> listed(static_cast<std::size_t>(n * k)), joined(static_cast<std::size_t>(2 * m));
    for (std::int64_t q = 0; q < n * k; ++q) {
        const std::int64_t j = neighbours.integer(q);
        if (j < -1 || j >= n) raise_format(PyExc_ValueError, "neighbours holds a point outside [0, %lld)", (long long)n);
        listed[q] = static_cast<std::int32_t>(j);
    }
    for (std::int64_t q = 0; q < 2 * m; ++q) {
        const std::int64_t a = edges.integer(q);
        if (a < 0 || a >= n) raise_format(PyExc_ValueError, "edges holds a point outside [0, %lld)", (long long)n);
        joined[q] = static_cast<std::int32_t>(a);
    }
    // Each pair's larger end listed under its smaller end (a missing neighbour, -1, and a point
    // paired with itself left out): counted per end, then placed from each end's last slot down.
    // The neighbours' pairs come row by row, so no entry's point needs a division.
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(n) + 1, 0);
    // The smaller ends lie all over the points: their counts fetched a few rows ahead.
    constexpr std::int64_t kRowsAhead = 8, kAhead = 16;
    auto each_pair = [&](auto&& take) {
        for (std::int64_t i = 0; i < n; ++i)
            for (std::int64_t c = 0; c < k; ++c) {
                if (i + kRowsAhead < n && listed[(i + kRowsAhead) * k + c] >= 0)
                    __builtin_prefetch(&offsets[listed[(i + kRowsAhead) * k + c]]);
                const std::int64_t j = listed[i * k + c];
                if (j >= 0 && j != i) take(std::min(i, j), std::max(i, j));
            }
        for (std::int64_t e = 0; e < m; ++e) {
            const std::int64_t a = joined[2 * e], b = joined[2 * e + 1];
            if (a != b) take(std::min(a, b), std::max(a, b));
        }
    };
    each_pair([&offsets](std::int64_t lo, std::int64_t) { ++offsets[lo]; });
    for (std::int64_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];  // offsets[i]: end of i's list
    std::vector<std::int32_t> larger(static_cast<std::size_t>(offsets[n]));
    each_pair([&](std::int64_t lo, std::int64_t hi) { larger[--offsets[lo]] = static_cast<std::int32_t>(hi); });
    // Each list sorted and without repeats, moved down over the gaps the repeats leave.
    std::int64_t kept = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        auto first = larger.begin() + offsets[i], last = larger.begin() + offsets[i + 1];
        std::sort(first, last);
        const auto unique_end = std::unique(first, last);
        offsets[i] = kept;
        kept = std::copy(first, unique_end, larger.begin() + kept) - larger.begin();
    }
    offsets[n] = kept;
    std::int32_t* out = nullptr;  // n fits in 31 bits
    double* lengths = nullptr;
    Ref pairs = new_matrix(kept, 2, NPY_INT32, out);
    npy_intp dims[1] = {static_cast<npy_intp>(kept)};
    Ref length_array = Ref::steal(check(PyArray_SimpleNew(1, dims, NPY_FLOAT64)));
    lengths = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(length_array.get())));
    const auto x = [&points](std::int64_t q) { return points.load<double>(q); };
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t at = offsets[i]; at < offsets[i + 1]; ++at) {
            if (at + kAhead < kept) __builtin_prefetch(points.data + larger[at + kAhead] * d * sizeof(double));
            const std::int64_t j = larger[at];
            out[2 * at] = static_cast<std::int32_t>(i);
            out[2 * at + 1] = static_cast<std::int32_t>(j);
            double sum = 0.0;
            for (std::int64_t c = 0; c < d; ++c) sum += (x(i * d + c) - x(j * d + c)) * (x(i * d + c) - x(j * d + c));
            lengths[at] = std::sqrt(sum);
        }
    return check(PyTuple_Pack(2, pairs.get(), length_array.get()));
}

namespace {

// An (n, c) uint8 or uint16 array of vote counts, held in `hold`; `wide` for uint16.
const Py_buffer& open_votes(PyObject* obj, BufferHold& hold, bool& wide) {
    const Py_buffer& votes = open_column(obj, "votes", "two-dimensional", "uint8 or uint16", hold);
    const char* code = type_code(votes);
    wide = std::strcmp(code, "H") == 0 && votes.itemsize == 2;
    if (votes.ndim != 2 || !(wide || (std::strcmp(code, "B") == 0 && votes.itemsize == 1)))
        raise_format(PyExc_TypeError, "votes must be a two-dimensional uint8 or uint16 array, got format '%s' with %d "
                     "dimension(s)", format_of(votes), votes.ndim);
    return votes;
}

// The pairs' two ends as int32 columns of our own, each pair checked to join two distinct points
// of [0, n) (copied and checked with no signal poll between: what is checked is what is used).
void index_pairs(const Column& pairs, std::int64_t n, std::vector<std::int32_t>& lo, std::vector<std::int32_t>& hi) {
    const std::int64_t m = pairs.length / 2;
    lo.resize(static_cast<std::size_t>(m));
    hi.resize(static_cast<std::size_t>(m));
    for (std::int64_t e = 0; e < m; ++e) {
        const std::int64_t a = pairs.integer(2 * e), b = pairs.integer(2 * e + 1);
        if (a < 0 || a >= n || b < 0 || b >= n || a == b)
            raise_format(PyExc_ValueError, "pair %lld joins points %lld and %lld: two distinct points in [0, %lld) are needed",
                         (long long)e, (long long)a, (long long)b, (long long)n);
        lo[e] = static_cast<std::int32_t>(a);
        hi[e] = static_cast<std::int32_t>(b);
    }
}

// The pairs' lengths (copied to owned_reals), each checked to be neither NaN nor negative.
void require_lengths(const Column& lengths) {
    for (std::size_t e = 0; e < lengths.owned_reals.size(); ++e)
        if (std::isnan(lengths.owned_reals[e]) || lengths.owned_reals[e] < 0.0)
            raise_format(PyExc_ValueError, "pair %lld has a length that is NaN or negative", (long long)e);
}

// Total variation between the vote shares of two rows of c counts (1 where either has no vote).
template <class Count>
double shares_apart(const Count* va, const Count* vb, std::int64_t c) {
    std::int64_t ta = 0, tb = 0;
    for (std::int64_t k = 0; k < c; ++k) ta += va[k], tb += vb[k];
    if (ta == 0 || tb == 0) return 1.0;
    std::int64_t apart = 0;
    for (std::int64_t k = 0; k < c; ++k) {
        const std::int64_t d = static_cast<std::int64_t>(va[k]) * tb - static_cast<std::int64_t>(vb[k]) * ta;
        apart += d < 0 ? -d : d;
    }
    return static_cast<double>(apart) / (2.0 * static_cast<double>(ta) * static_cast<double>(tb));
}

// How undecided the votes of two rows of c counts are together: 1 minus the largest share of a
// class in the mean of their shares (1 where either has no vote).
template <class Count>
double shares_undecided(const Count* va, const Count* vb, std::int64_t c) {
    std::int64_t ta = 0, tb = 0;
    for (std::int64_t k = 0; k < c; ++k) ta += va[k], tb += vb[k];
    if (ta == 0 || tb == 0) return 1.0;
    std::int64_t top = 0;  // the largest va[k] * tb + vb[k] * ta: shares over the common denominator
    for (std::int64_t k = 0; k < c; ++k)
        top = std::max(top, static_cast<std::int64_t>(va[k]) * tb + static_cast<std::int64_t>(vb[k]) * ta);
    return 1.0 - static_cast<double>(top) / (2.0 * static_cast<double>(ta) * static_cast<double>(tb));
}

// The tree's edges' values mixed with how undecided their ends' votes are: (1 - undecided) *
// value + undecided * shares_undecided. Taken in pair order, where the smaller ends come in order.
template <class Count>
void mix_undecided(const std::vector<std::int32_t>& lo, const std::vector<std::int32_t>& hi, const Count* votes,
                   std::int64_t c, double undecided, const std::vector<std::uint8_t>& taken,
                   std::vector<double>& values, InterruptPoll& poll) {
    constexpr std::size_t kAhead = 16;  // the larger ends lie all over the votes: fetched ahead
    for (std::size_t e = 0; e < taken.size(); ++e, poll()) {
        if (e + kAhead < taken.size()) __builtin_prefetch(votes + static_cast<std::int64_t>(hi[e + kAhead]) * c);
        if (!taken[e]) continue;
        const double u = shares_undecided(votes + static_cast<std::int64_t>(lo[e]) * c,
                                          votes + static_cast<std::int64_t>(hi[e]) * c, c);
        values[e] = (1.0 - undecided) * values[e] + undecided * u;
    }
}

// The pairs by (value as float32, position) with their values.
template <class Count>
void value_pairs(const std::vector<std::int32_t>& lo, const std::vector<std::int32_t>& hi,
                 const std::vector<double>& lengths, const Count* votes, std::int64_t c, double tie_break,
                 std::vector<KeyedId<std::uint32_t>>& sorted, std::vector<double>& values, InterruptPoll& poll) {
    double longest = 0.0;
    for (double x : lengths)
        if (std::isfinite(x)) longest = std::max(longest, x);
    if (!(longest > 0.0)) longest = 1.0;
    const auto m = static_cast<std::int64_t>(lengths.size());
    constexpr std::int64_t kAhead = 16;  // the larger ends lie all over the votes: fetched ahead
    sorted.resize(static_cast<std::size_t>(m));
    values.resize(static_cast<std::size_t>(m));
    for (std::int64_t e = 0; e < m; ++e, poll()) {
        if (e + kAhead < m) __builtin_prefetch(votes + static_cast<std::int64_t>(hi[e + kAhead]) * c);
        const std::int64_t a = lo[e], b = hi[e];
        values[e] = shares_apart(votes + a * c, votes + b * c, c) + tie_break * (lengths[e] / longest);
        sorted[e] = {order_bits(static_cast<float>(values[e])), static_cast<std::int32_t>(e)};
    }
}

}  // namespace

PyObject* voted_tree(PyObject*, const Arguments& arguments) {
    Column pairs, lengths;
    acquire_pairs(arguments.object(0), "pairs", pairs);
    acquire_column(arguments.object(1), "lengths", 'f', lengths);
    BufferHold hold;
    bool wide = false;
    const Py_buffer& votes = open_votes(arguments.object(2), hold, wide);
    const double tie_break = PyFloat_AsDouble(arguments.object(3));
    if (tie_break == -1.0 && PyErr_Occurred()) throw PythonError{};
    if (!std::isfinite(tie_break) || tie_break < 0.0) raise(PyExc_ValueError, "tie_break must be a finite number >= 0");
    const double undecided = PyFloat_AsDouble(arguments.object(4));
    if (undecided == -1.0 && PyErr_Occurred()) throw PythonError{};
    if (!(undecided >= 0.0 && undecided <= 1.0)) raise(PyExc_ValueError, "undecided must lie in [0, 1]");
    lengths.copy_reals();
    const std::int64_t n = votes.shape[0], c = votes.shape[1], m = pairs.length / 2;
    if (lengths.length != m) raise_format(PyExc_ValueError, "got %zd lengths for %lld pairs", lengths.length, (long long)m);
    if (n >= std::numeric_limits<std::int32_t>::max() / 2 || m >= std::numeric_limits<std::int32_t>::max() / 2)
        raise(PyExc_ValueError, "too many points or pairs: their indices must fit in 30 bits");
    std::vector<std::int32_t> lo, hi;
    index_pairs(pairs, n, lo, hi);
    require_lengths(lengths);
    // Values as float32: three passes of the radix sort where float64 needs six; values closer than
    // float32 tells apart tie, and ties go to the pair given first.
    std::vector<KeyedId<std::uint32_t>> sorted, scratch;
    std::vector<double> values;
    std::vector<std::int32_t> parent;
    std::vector<std::int32_t> chosen;
    std::vector<std::uint8_t> taken;  // per pair: an edge of the tree
    {
        // The votes stay held (pinned) while signal handlers may run; no index is read from them.
        InterruptPoll poll;
        if (wide)
            value_pairs(lo, hi, lengths.owned_reals, static_cast<const std::uint16_t*>(votes.buf), c, tie_break, sorted,
                        values, poll);
        else
            value_pairs(lo, hi, lengths.owned_reals, static_cast<const std::uint8_t*>(votes.buf), c, tie_break, sorted,
                        values, poll);
        radix_sort(sorted, scratch, poll);
        kruskal_forest(sorted, lo.data(), hi.data(), static_cast<std::int32_t>(n), parent, chosen, poll);
        // The edges in pair order from here on: passes in order over the pairs, and a tree whose
        // edges come node after node for the cuts.
        taken.assign(static_cast<std::size_t>(m), 0);
        for (std::int32_t j : chosen) taken[static_cast<std::size_t>(sorted[j].id)] = 1;
        // The tree follows the differences; its cuts also look at how undecided an edge is, so that
        // a labelled point's neighbours whose votes differ a little from its own but still agree
        // with it do not weigh as much as a crossing between majorities.
        if (undecided > 0.0 && wide)
            mix_undecided(lo, hi, static_cast<const std::uint16_t*>(votes.buf), c, undecided, taken, values, poll);
        else if (undecided > 0.0)
            mix_undecided(lo, hi, static_cast<const std::uint8_t*>(votes.buf), c, undecided, taken, values, poll);
    }
    npy_intp dims[1] = {static_cast<npy_intp>(chosen.size())};
    Ref positions = Ref::steal(check(PyArray_SimpleNew(1, dims, NPY_INT64)));
    Ref chosen_values = Ref::steal(check(PyArray_SimpleNew(1, dims, NPY_FLOAT64)));
    auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(positions.get())));
    auto* out_values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(chosen_values.get())));
    std::size_t j = 0;
    for (std::size_t e = 0; e < taken.size(); ++e)
        if (taken[e]) {
            out[j] = static_cast<std::int64_t>(e);
            out_values[j++] = values[e];
        }
    return check(PyTuple_Pack(2, positions.get(), chosen_values.get()));
}

PyObject* smoothed_votes(PyObject*, const Arguments& arguments) {
    Column pairs;
    acquire_pairs(arguments.object(0), "pairs", pairs);
    BufferHold hold, label_hold;
    bool wide = false;
    const Py_buffer& votes = open_votes(arguments.object(1), hold, wide);
    const std::int8_t* label_data = acquire_int8_column(arguments.object(2), "labels", label_hold);
    const double weight = PyFloat_AsDouble(arguments.object(3));
    if (weight == -1.0 && PyErr_Occurred()) throw PythonError{};
    if (!(weight >= 0.0 && weight <= 1.0)) raise(PyExc_ValueError, "weight must lie in [0, 1]");
    const std::int64_t steps = arguments.int64(4), scale = arguments.int64(5);
    if (steps < 0 || steps > 1000) raise(PyExc_ValueError, "steps must lie in [0, 1000]");
    if (scale < 1 || scale > 65535) raise(PyExc_ValueError, "scale must lie in [1, 65535]");
    const std::int64_t n = votes.shape[0], c = votes.shape[1], m = pairs.length / 2;
    if (label_hold.view().shape[0] != n)
        raise_format(PyExc_ValueError, "got %zd labels for %lld points", label_hold.view().shape[0], (long long)n);
    if (n >= std::numeric_limits<std::int32_t>::max() / 2 || m >= std::numeric_limits<std::int32_t>::max() / 2)
        raise(PyExc_ValueError, "too many points or pairs: their indices must fit in 30 bits");
    // Our own copies of what is checked or used as an index: signal handlers may run in the polls.
    const std::vector<std::int8_t> labels(label_data, label_data + n);
    std::vector<std::int8_t> nearest;
    double lean = 0.0;
    if (arguments.object(6) != Py_None) {
        BufferHold nearest_hold;
        const std::int8_t* nearest_data = acquire_int8_column(arguments.object(6), "nearest", nearest_hold);
        if (nearest_hold.view().shape[0] != n)
            raise_format(PyExc_ValueError, "got %zd nearest codes for %lld points", nearest_hold.view().shape[0],
                         (long long)n);
        nearest.assign(nearest_data, nearest_data + n);
        for (std::int8_t code : nearest)
            if (code < -1 || code >= c) raise(PyExc_ValueError, "nearest codes must lie in [-1, number of classes)");
        lean = PyFloat_AsDouble(arguments.object(7));
        if (lean == -1.0 && PyErr_Occurred()) throw PythonError{};
        if (!(lean >= 0.0 && lean <= 1.0)) raise(PyExc_ValueError, "lean must lie in [0, 1]");
    }
    const std::int8_t* leaning = nearest.empty() ? nullptr : nearest.data();
    std::vector<std::int32_t> lo, hi;
    index_pairs(pairs, n, lo, hi);
    std::uint16_t* out = nullptr;
    Ref shares = new_matrix(n, c, NPY_UINT16, out);
    // The votes stay held (pinned) while signal handlers may run; no index is read from them.
    InterruptPoll poll;
    if (wide)
        smooth_vote_shares(lo.data(), hi.data(), m, static_cast<const std::uint16_t*>(votes.buf), labels.data(), leaning,
                           lean, n, c, weight, static_cast<int>(steps), static_cast<double>(scale), out, poll);
    else
        smooth_vote_shares(lo.data(), hi.data(), m, static_cast<const std::uint8_t*>(votes.buf), labels.data(), leaning,
                           lean, n, c, weight, static_cast<int>(steps), static_cast<double>(scale), out, poll);
    return shares.release();
}

PyObject* nearest_labels(PyObject*, const Arguments& arguments) {
    Column pairs, lengths;
    acquire_pairs(arguments.object(0), "pairs", pairs);
    acquire_column(arguments.object(1), "lengths", 'f', lengths);
    BufferHold label_hold;
    const std::int8_t* label_data = acquire_int8_column(arguments.object(2), "labels", label_hold);
    lengths.copy_reals();
    const std::int64_t n = label_hold.view().shape[0], m = pairs.length / 2;
    if (lengths.length != m) raise_format(PyExc_ValueError, "got %zd lengths for %lld pairs", lengths.length, (long long)m);
    if (n >= std::numeric_limits<std::int32_t>::max() / 2 || m >= std::numeric_limits<std::int32_t>::max() / 2)
        raise(PyExc_ValueError, "too many points or pairs: their indices must fit in 30 bits");
    require_lengths(lengths);
    // Our own copies of what is checked or used as an index: signal handlers may run in the polls.
    const std::vector<std::int8_t> labels(label_data, label_data + n);
    std::vector<std::int32_t> lo, hi;
    index_pairs(pairs, n, lo, hi);
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    Ref nearest = Ref::steal(check(PyArray_SimpleNew(1, dims, NPY_INT8)));
    auto* out = static_cast<std::int8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(nearest.get())));
    InterruptPoll poll;
    find_nearest_labels(lo.data(), hi.data(), m, lengths.owned_reals.data(), labels.data(), n, out, poll);
    return nearest.release();
}

}  // namespace brov
