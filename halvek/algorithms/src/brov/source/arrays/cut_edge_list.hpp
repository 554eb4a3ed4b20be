// The sweep (cut_sweep.hpp) straight from an edge list, for graphs that are simple forests: the
// forest's edges are drawn from the list in the order, and with the tie-break positions, that the
// planner finds in the sorted adjacency lists of the same graph, so the plan is the one plan_cuts
// makes on those lists. No adjacency lists are built: at 10^8 edges they would hold several
// gigabytes more than the edges themselves.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "arrays/csr.hpp"
#include "arrays/cut_sweep.hpp"
#include "arrays/cut_types.hpp"
#include "arrays/leaf_peel.hpp"

namespace brov {
namespace cut_detail {

// The m edges (ends at ends[2e], ends[2e + 1], each in [0, n), weights w) sorted by (smaller end,
// larger end), as the forest pairing finds them in sorted lists; `pos` counts the larger end among
// the smaller end's larger neighbours, which orders that node's edges as their positions in its
// list do (the sweep compares positions of one node's edges only). False, with `edges` emptied,
// unless they form a simple forest (no self-loop, no edge given twice, no cycle).
inline bool forest_of_edge_list(i64 n, i64 m, const i32* ends, const float* w, std::vector<ForestEdge>& edges,
                                StopPoll& poll) {
    edges.clear();
    std::vector<i32> first(static_cast<std::size_t>(n) + 1, 0);  // by smaller end
    for (i64 e = 0; e < m; ++e) {
        poll.check();
        const i32 a = ends[2 * e], b = ends[2 * e + 1];
        if (a == b) return false;
        ++first[std::min(a, b) + 1];
    }
    for (i64 i = 0; i < n; ++i) first[i + 1] += first[i];
    edges.resize(static_cast<std::size_t>(m));
    for (i64 e = 0; e < m; ++e) {
        poll.check();
        const i32 a = ends[2 * e], b = ends[2 * e + 1];
        edges[first[std::min(a, b)]++] = ForestEdge{std::min(a, b), std::max(a, b), 0, w[e]};
    }
    for (i64 i = n; i > 0; --i) first[i] = first[i - 1];  // the fill moved each start to the next
    first[0] = 0;
    const auto by_larger = [](const ForestEdge& x, const ForestEdge& y) { return x.b < y.b; };
    for (i64 i = 0; i < n; ++i) {
        poll.check();
        const auto begin = edges.begin() + first[i], end = edges.begin() + first[i + 1];
        if (!std::is_sorted(begin, end, by_larger)) std::sort(begin, end, by_larger);
        for (auto e = begin; e != end; ++e) {
            if (e != begin && e->b == (e - 1)->b) {
                edges.clear();
                return false;
            }
            e->pos = static_cast<i32>(e - begin);
        }
    }
    if (!forest_detail::acyclic(n, edges, poll)) {
        edges.clear();
        return false;
    }
    return true;
}

}  // namespace cut_detail

// plan_cuts for the graph of an edge list (m edges, ends in [0, n), labels one per node): the same
// cuts and labels_after as plan_cuts gives on the sorted adjacency lists of that graph with
// `weights` beside each entry, wherever that graph is a simple forest; needs_fallback otherwise,
// with `weights` untouched. On a forest `weights` is freed as soon as the edges hold them.
inline CutResult plan_edge_list_cuts(i64 n, i64 m, const i32* ends, const std::int8_t* labels,
                                     std::vector<float>& weights, CutList& cuts, const CutOptions& options = {},
                                     std::vector<std::int8_t>* labels_after = nullptr) {
    cuts.clear();
    if (labels_after) labels_after->clear();
    CutResult res;
    // Leaf copies of labelled nodes must stay addressable as 32-bit region nodes.
    if (n < 0 || m < 0 || n + 2 * m >= std::numeric_limits<i32>::max()) {
        res.status = CutStatus::needs_fallback;
        return res;
    }
    StopPoll poll(options.should_stop, options.stop_context);
    CutInput input;
    input.n = n;
    input.labels = labels;
    try {
        for (i64 i = 0; i < n; ++i)
            if (labels[i] < -1) {
                res.status = CutStatus::needs_fallback;
                return res;
            }
        std::vector<ForestEdge> edges;
        if (!cut_detail::forest_of_edge_list(n, m, ends, weights.data(), edges, poll)) {
            res.status = CutStatus::needs_fallback;
            return res;
        }
        std::vector<float>().swap(weights);
        LeafPeel peel;
        peel.run(n, edges, [labels](i64 i) { return labels[i] != -1; }, poll);
        edges.erase(std::remove_if(edges.begin(), edges.end(),
                                   [&peel, &poll](const ForestEdge& e) {
                                       poll.check();
                                       return peel.stripped(e.a) || peel.stripped(e.b);
                                   }),
                    edges.end());
        edges.shrink_to_fit();
        cut_detail::Sweep sweep(input, edges, poll);
        res.status = sweep.run(cuts);
        res.swept = true;
        if (res.status == CutStatus::ok && labels_after) {
            sweep.final_labels(peel, *labels_after);
            res.labelled = true;
        }
    } catch (const StopPoll::Stopped&) {
        res = CutResult{};
        res.status = CutStatus::interrupted;
    }
    if (res.status == CutStatus::interrupted) {
        cuts.clear();
        if (labels_after) labels_after->clear();
    }
    return res;
}

}  // namespace brov
