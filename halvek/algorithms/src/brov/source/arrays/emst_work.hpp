// The working conventions shared by the exact Euclidean tree's routes (emst.cpp, plane_tree.cpp):
// polling the checkpoint while filling, freeing and searching, and sharing independent searches
// out between this thread and a few helpers.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

#include "arrays/emst.hpp"

namespace brov {

constexpr int kSearchesPerPoll = 8;  // a search can take milliseconds in high dimensions
constexpr int kBuildStepsPerPoll = 1 << 15;  // comparisons and coordinates read by a build

// Whether a neighbour search goes on to its next point (this thread polls for Ctrl-C in it).
using Proceed = std::function<bool()>;

// Calls the checkpoint (without a fraction) once every `period` steps (searches by default).
class SearchPoll {
public:
    explicit SearchPoll(const EmstCheckpoint& checkpoint, int period = kSearchesPerPoll)
        : checkpoint_(checkpoint), period_(period), until_poll_(period) {}
    void operator()(std::int64_t steps = 1) {
        until_poll_ -= steps;
        if (until_poll_ <= 0) {
            checkpoint_(-1.0);
            until_poll_ = period_;
        }
    }

private:
    const EmstCheckpoint& checkpoint_;
    int period_;
    std::int64_t until_poll_;
};

// v = n copies of value, written in slices with a poll after each: at millions of points these
// arrays take hundreds of megabytes, and writing them whole would keep a Ctrl-C waiting.
template <typename T>
void fill_polling(std::vector<T>& v, std::size_t n, const T& value, SearchPoll& poll) {
    constexpr std::size_t kSlice = std::size_t(1) << 16;
    v.clear();
    v.reserve(n);
    while (v.size() < n) {
        const std::size_t step = std::min(n - v.size(), kSlice);
        v.insert(v.end(), step, value);
        poll(static_cast<std::int64_t>(step));
    }
}

// Frees each vector, polling after each: at millions of points they hold a gigabyte, and freeing
// it in one stretch (as the destructor would) keeps a Ctrl-C waiting.
template <typename... Vectors>
void free_polling(SearchPoll& poll, Vectors&... vectors) {
    ((std::vector<typename Vectors::value_type>().swap(vectors), poll(kBuildStepsPerPoll)), ...);
}

// Runs work_chunk(scratch, proceed) until it returns false, on this thread and on helpers (one
// per 4096 of the n points, up to max_threads threads in all, 0: up to 8); `stop` tells the
// helpers that this thread has failed. Only this thread polls, every few searches.
template <typename Scratch, typename WorkChunk>
void share_out(int max_threads, std::int64_t n, WorkChunk& work_chunk, std::atomic<bool>& stop,
               const EmstCheckpoint& checkpoint) {
    std::vector<Scratch> stacks;
    std::vector<std::thread> helpers;
    struct Joiner {
        std::vector<std::thread>& threads;
        ~Joiner() {
            for (auto& t : threads) t.join();
        }
    } joiner{helpers};
    const Proceed helper_proceeds = [&stop] { return !stop.load(std::memory_order_relaxed); };
    const unsigned most = max_threads > 0 ? static_cast<unsigned>(max_threads)
                                          : std::min(std::thread::hardware_concurrency(), 8u);
    const std::int64_t wanted = std::min<std::int64_t>(most, n / 4096);
    stacks.resize(wanted > 1 ? wanted - 1 : 0);
    for (auto& stack : stacks) {
        try {
            helpers.emplace_back([&work_chunk, &stack, &helper_proceeds] {
                while (work_chunk(stack, helper_proceeds)) {
                }
            });
        } catch (const std::system_error&) {
            break;  // fewer helpers, same result
        }
    }
    SearchPoll poll(checkpoint);
    const Proceed polls = [&poll] {
        poll();
        return true;
    };
    Scratch own;
    try {
        while (work_chunk(own, polls)) {
        }
    } catch (...) {
        stop.store(true);  // the helpers leave their work half done; nothing reads it
        throw;
    }
}

// Hands out what a route listed: the first out.kept of each point's k listed neighbours (`listed`,
// n x k build positions, nearest first, -1 where fewer) as input rows (`order`: position -> row),
// and the squared distance in the build's units to the asked-th (infinite where fewer are listed).
template <typename Index, typename Distance2>
void export_neighbour_lists(EmstNeighbours& out, Index n, int k, int asked, const std::vector<Index>& listed,
                            const std::vector<Index>& order, const Distance2& distance2, SearchPoll& poll) {
    const int kept = std::max(0, std::min(out.kept, asked));
    const bool reaches = k >= asked;  // fewer listed than asked: n - 1 only
    out.index.assign(static_cast<std::size_t>(n) * static_cast<std::size_t>(kept), -1);
    out.last.assign(static_cast<std::size_t>(n), std::numeric_limits<double>::infinity());
    for (Index p = 0; p < n; ++p, poll()) {
        const Index* idx = &listed[static_cast<std::size_t>(p) * static_cast<std::size_t>(k)];
        const std::size_t row = static_cast<std::size_t>(order[p]);
        for (int t = 0; t < std::min(kept, k); ++t)
            out.index[row * kept + t] = idx[t] < 0 ? -1 : static_cast<std::int32_t>(order[idx[t]]);
        if (reaches && idx[asked - 1] >= 0) out.last[row] = distance2(p, idx[asked - 1]);
    }
    out.found = true;
}

}  // namespace brov
