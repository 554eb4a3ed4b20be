// voting_trees: the perturbed trees of the estimator's confidence, drawn and cut without leaving
// native code; every tree's numbers come from its own stream, so the votes do not depend on the
// order the trees are drawn in.
#include "_bulk/voting_trees.hpp"

#include "cpython/numpy_api.hpp"

#include <algorithm>
#include <atomic>
#include <cxxabi.h>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "arrays/perturbed_trees.hpp"
#include "cpython/bulk_columns.hpp"

namespace brov {
namespace {

// Votes are counted in 16 bits, in 8 where the trees and one more vote (the caller's own tree) fit.
constexpr std::uint64_t kMostTrees = 65534;
constexpr std::uint64_t kMostByteTrees = 254;

double real_argument(PyObject* value, const char* name, bool may_be_zero) {
    const double x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) throw PythonError{};
    if (!std::isfinite(x) || x < 0.0 || (x == 0.0 && !may_be_zero))
        raise_format(PyExc_ValueError, "%s must be a finite number %s 0, got %R", name, may_be_zero ? ">=" : ">", value);
    return x;
}

void read_candidates(const Arguments& arguments, VotingInput& out) {
    Column pairs, lengths, factors;
    acquire_pairs(arguments.object(0), "pairs", pairs);
    acquire_column(arguments.object(1), "lengths", 'f', lengths);
    const bool factored = arguments.object(2) != Py_None;  // None: every factor 1
    if (factored) acquire_column(arguments.object(2), "factors", 'f', factors);
    BufferHold hold;
    const std::int8_t* labels = acquire_int8_column(arguments.object(3), "labels", hold);
    const Py_ssize_t n = hold.view().shape[0], m = pairs.length / 2;
    if (n >= std::numeric_limits<std::int32_t>::max() / 2 || m >= std::numeric_limits<std::int32_t>::max() / 2)
        raise(PyExc_ValueError, "too many points or pairs: their indices must fit in 30 bits");
    if (lengths.length != m || (factored && factors.length != m))
        raise_format(PyExc_ValueError, "got %zd lengths and %zd factors for %zd pairs", lengths.length,
                     factored ? factors.length : m, m);
    out.n = static_cast<std::int32_t>(n);
    out.labels.assign(labels, labels + n);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (out.labels[i] < -1)
            raise_format(PyExc_ValueError, "label %d of point %zd is neither -1 nor a class code (>= 0)", out.labels[i], i);
    out.lo.resize(m);
    out.hi.resize(m);
    out.log_lengths.resize(m);
    out.log_factors.resize(factored ? m : 0);
    InterruptPoll poll;
    for (Py_ssize_t e = 0; e < m; ++e) {
        poll();
        const std::int64_t a = pairs.integer(2 * e), b = pairs.integer(2 * e + 1);
        if (a < 0 || a >= n || b < 0 || b >= n || a == b)
            raise_format(PyExc_ValueError, "pair %zd joins points %lld and %lld: two distinct points in [0, %zd) are needed",
                         e, static_cast<long long>(a), static_cast<long long>(b), n);
        const double length = lengths.real(e), factor = factored ? factors.real(e) : 1.0;
        if (std::isnan(length) || length < 0.0)
            raise_format(PyExc_ValueError, "pair %zd has a length that is NaN or negative", e);
        if (!std::isfinite(factor) || factor <= 0.0)
            raise_format(PyExc_ValueError, "pair %zd has a factor that is not positive and finite", e);
        out.lo[e] = static_cast<std::int32_t>(std::min(a, b));
        out.hi[e] = static_cast<std::int32_t>(std::max(a, b));
        out.log_lengths[e] = std::log(length);
        if (factored) out.log_factors[e] = std::log(factor);
    }
}

// The trees that the threads of one call share out: each thread takes the next tree number until
// none is left, and counts its votes apart (sums do not depend on which thread drew which tree).
struct Drawing {
    const VotingInput& in;
    std::uint64_t seed, n_trees;
    std::int64_t n_classes;
    std::atomic<std::uint64_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex failure_lock;
    std::exception_ptr thrown;  // the first exception of a thread (memory)

    // Draws trees until none is left or `stop`; should_stop(context) is asked at every poll and may
    // set `stop` itself.
    template <class Count>
    BROV_CATCHES_FORCED_UNWIND void run(std::vector<Count>& votes, bool (*should_stop)(void*), void* context) {
        struct Stopped {};
        PerturbedTree tree;
        std::vector<std::int8_t> codes(static_cast<std::size_t>(in.n));
        auto poll = [should_stop, context] {
            if (should_stop(context)) throw Stopped{};
        };
        try {
            for (std::uint64_t t = next++; t < n_trees && !stop; t = next++) {
                tree.draw(in, seed, t, poll, codes.data());
                for (std::int32_t i = 0; i < in.n; ++i)
                    if (codes[i] >= 0) ++votes[static_cast<std::size_t>(i) * n_classes + codes[i]];
            }
        } catch (const Stopped&) {
        } catch (const abi::__forced_unwind&) {  // the thread ends (interpreter shutdown): let it
            stop = true;
            throw;
        } catch (...) {
            fail(std::current_exception());
        }
    }

    void fail(std::exception_ptr error) {
        std::lock_guard<std::mutex> hold(failure_lock);
        if (!thrown) thrown = error;
        stop = true;
    }

    static bool stopped(void* self) { return static_cast<Drawing*>(self)->stop.load(std::memory_order_relaxed); }
};

// The calling thread's stop test: the others' stop, or a signal whose handler raised (the GIL is
// taken back for that at most every 20 ms).
struct CallerPoll {
    Drawing& drawing;
    WithoutGil& released;
    bool interrupted = false;

    static bool check(void* self) {
        auto& poll = *static_cast<CallerPoll*>(self);
        if (!poll.interrupted && poll.released.interrupted()) {
            poll.interrupted = true;
            poll.drawing.stop = true;
        }
        return Drawing::stopped(&poll.drawing);
    }
};

// Draws every tree on up to `threads` threads, the calling one included, with the GIL released,
// and writes the summed votes into `out` (n rows of `columns` counts, the caller's numbering).
template <class Count>
void draw_trees(Drawing& drawing, std::int64_t threads, Count* out, std::int64_t columns) {
    const std::size_t cells = static_cast<std::size_t>(drawing.in.n) * drawing.n_classes;
    const auto workers = static_cast<std::size_t>(
        std::max<std::int64_t>(1, std::min<std::int64_t>(threads, static_cast<std::int64_t>(drawing.n_trees))));
    std::vector<std::vector<Count>> votes(workers, std::vector<Count>(cells, 0));
    bool interrupted = false;
    {
        WithoutGil released;
        std::vector<std::thread> helpers;
        // Stops and joins the helpers however this block is left (a thread that is ended while it
        // polls unwinds through here).
        struct Joined {
            Drawing& drawing;
            std::vector<std::thread>& threads;
            ~Joined() {
                if (threads.empty()) return;
                drawing.stop = true;
                for (auto& thread : threads)
                    if (thread.joinable()) thread.join();
            }
        } joined{drawing, helpers};
        for (std::size_t w = 1; w < workers; ++w) {
            try {
                helpers.emplace_back([&drawing, &votes, w] { drawing.run(votes[w], Drawing::stopped, &drawing); });
            } catch (const std::system_error&) {  // no thread to spare: the ones started draw every tree
                break;
            }
        }
        CallerPoll poll{drawing, released};
        drawing.run(votes[0], CallerPoll::check, &poll);
        for (auto& helper : helpers) helper.join();
        helpers.clear();
        interrupted = poll.interrupted;
        if (!interrupted && !drawing.thrown) {
            // Back in the caller's numbering (the array is ours alone until returned).
            const auto c = static_cast<std::size_t>(drawing.n_classes);
            for (std::size_t i = 0; i < drawing.in.old_of.size(); ++i) {
                Count* row = out + static_cast<std::size_t>(drawing.in.old_of[i]) * columns;
                for (const auto& part : votes)
                    for (std::size_t k = 0; k < c; ++k) row[k] = static_cast<Count>(row[k] + part[i * c + k]);
            }
        }
    }
    if (interrupted) throw_error_set();
    if (drawing.thrown) std::rethrow_exception(drawing.thrown);
}

}  // namespace

PyObject* voting_trees(PyObject*, const Arguments& arguments) {
    const auto n_trees = static_cast<std::uint64_t>(arguments.int64(4));
    const auto seed = static_cast<std::uint64_t>(arguments.int64(5));
    if (n_trees > kMostTrees) raise_format(PyExc_ValueError, "n_trees must be at most %d", static_cast<int>(kMostTrees));
    VotingInput in;
    in.noise = real_argument(arguments.object(6), "noise", true);
    const double side_discount = real_argument(arguments.object(7), "side_discount", true);
    read_candidates(arguments, in);
    in.set_side_discount(side_discount);
    in.set_key_range();
    in.renumber_by_breadth(InterruptPoll());
    std::int64_t n_classes = 1;
    for (std::int8_t code : in.labels) n_classes = std::max<std::int64_t>(n_classes, code + 1);

    const std::int64_t columns = std::max<std::int64_t>(n_classes, arguments.int64(9));
    const bool bytes = n_trees <= kMostByteTrees;
    Drawing drawing{in, seed, n_trees, n_classes};
    npy_intp dims[2] = {static_cast<npy_intp>(in.n), static_cast<npy_intp>(columns)};
    Ref array = Ref::steal(check(PyArray_ZEROS(2, dims, bytes ? NPY_UINT8 : NPY_UINT16, 0)));
    void* out = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
    const std::int64_t threads = std::max<std::int64_t>(1, arguments.int64(8));
    if (bytes) draw_trees(drawing, threads, static_cast<std::uint8_t*>(out), columns);
    else draw_trees(drawing, threads, static_cast<std::uint16_t*>(out), columns);
    return array.release();
}

}  // namespace brov
