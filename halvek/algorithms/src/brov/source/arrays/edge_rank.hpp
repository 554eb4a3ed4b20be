// The order in which rank_weights numbers edges: by weight, then smaller node, then larger node.
// Ranks count from 1 and replace the weights, so that no two edges tie.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace brov {

// Largest count of consecutive integers that float32 holds exactly (2^24): the most edges whose
// ranks are the floats themselves (and the most the containers rank).
constexpr std::int64_t kMostRankedEdges = std::int64_t(1) << 24;

// The float that stands for rank r (from 1) among m ranks. The planners only compare weights, so
// any increasing map serves: r itself while float32 holds every rank exactly, and beyond, the
// r-th float above the smallest normal one (floats of one sign order as their bit patterns), which
// counts past 10^9.
inline float rank_as_float(std::int64_t r, std::int64_t m) {
    if (m <= kMostRankedEdges) return static_cast<float>(r);
    const auto bits = static_cast<std::uint32_t>(0x00800000 + r);
    float out;
    std::memcpy(&out, &bits, sizeof out);
    return out;
}

// One edge to rank; `id` is the caller's (where the rank goes).
template <class Index>
struct RankedEdge {
    double w;
    Index lo, hi;  // lo < hi
    Index id;
};

// Sorts `edges` into rank order: the edge at position r gets rank r + 1. poll() runs once per
// comparison and may throw to stop the sort.
template <class Index, class Poll>
void sort_by_rank(std::vector<RankedEdge<Index>>& edges, Poll poll) {
    std::sort(edges.begin(), edges.end(), [&poll](const RankedEdge<Index>& x, const RankedEdge<Index>& y) {
        poll();
        if (x.w != y.w) return x.w < y.w;
        if (x.lo != y.lo) return x.lo < y.lo;
        return x.hi < y.hi;
    });
}

}  // namespace brov
