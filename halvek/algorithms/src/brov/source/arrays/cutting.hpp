// Cutting phase of clusterize as plain C++ over arrays: which edge entries the driver removes.
//
// The driver rebuilds the label subgraph after every cut and removes its heaviest edge; ties
// between maximal edges go to the edge whose smaller end node is smallest, then to the other end
// that comes first in that node's current adjacency list. plan_cuts reports the cut edges in the
// driver's order, so removing each one (first occurrence of b in a's list, first occurrence of a in
// b's list, later entries shifting down) gives the driver's final lists.
//
// Two planners:
// - the sweep, for simple forests (symmetric lists, no duplicate neighbours, no self-loops, no
//   cycles, labels -1 or 0..127, the two weights of an edge equal or both below -1.0 or NaN,
//   all node indices in range): there the subgraph is exactly the union of the
//   paths that join two differently labelled nodes through unlabelled ones, and it only shrinks as
//   edges are cut, so one pass over the edges, heaviest first, decides every cut. Only what is
//   left once the unlabelled leaves are stripped (leaf_peel.hpp) can lie on such a path, so the
//   cycle test and the sweep see just that;
// - the exact planner, for every other input: the literal rebuild-after-every-cut loop, with the
//   rebuild restricted to the components that the last cut touched (exploration never leaves a
//   component, and the start node order restricted to a component is the same). A cut costs a
//   rebuild of its component, so on one big tree this grows with cuts times nodes.
//
// Neither recurses on graph depth: every walk keeps an explicit stack.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "arrays/component_subgraph.hpp"
#include "arrays/csr.hpp"
#include "arrays/cut_exact.hpp"
#include "arrays/cut_lists.hpp"
#include "arrays/cut_sweep.hpp"
#include "arrays/cut_types.hpp"
#include "arrays/leaf_peel.hpp"
#include "arrays/max_rule.hpp"

namespace brov {

namespace cut_detail {

// Node count, sizes and every stored neighbour index within range; otherwise the input is left
// to the caller's own route (the driver reads labels there without a range check).
inline bool check_ranges(const CutInput& in, CutResult& res, StopPoll& poll) {
    if (in.n < 0 || in.n >= std::numeric_limits<i32>::max()) {
        res.status = CutStatus::needs_fallback;
        res.detail_a = in.n;
        return false;
    }
    for (i64 i = 0; i < in.n; ++i) {
        poll.check();
        if (in.sizes[i] < 0) {
            res.status = CutStatus::needs_fallback;
            res.detail_a = i;
            res.detail_b = in.sizes[i];
            return false;
        }
        const i64* list = in.adjacency[i];
        for (i32 p = 0; p < in.sizes[i]; ++p) {
            if (list[p] < 0 || list[p] >= in.n) {
                res.status = CutStatus::needs_fallback;
                res.detail_a = i;
                res.detail_b = list[p];
                return false;
            }
        }
    }
    return true;
}

// Fills in the weight of each edge the forest pairing finds, refusing edges whose two weights
// differ where pop_max could take one, and drops the edges of stripped leaves.
struct WeighEdge {
    const CutInput& in;
    const LeafPeel& peel;

    Take operator()(ForestEdge& e, i32 rpos) const {
        const float w1 = in.weights[e.a][e.pos];
        const float w2 = in.weights[e.b][rpos];
        if (!(w1 == w2 || (!RunningMax::takes_part(w1) && !RunningMax::takes_part(w2)))) return Take::refuse;
        e.w = w1;
        return peel.stripped(e.a) || peel.stripped(e.b) ? Take::drop : Take::keep;
    }
    void fetch_ahead(const ForestEdge& e, bool lists) const {
        if (lists) {
            __builtin_prefetch(in.weights[e.b]);
            return;
        }
        __builtin_prefetch(&in.weights[e.b]);
        if (!peel.stripped(e.a)) peel.fetch_ahead(e.b);  // else the edge is dropped unseen
    }
};

// What the sweep needs beyond a forest: labels -1 or 0..127, and the two weights of each edge
// equal or both out of pop_max's reach. Each edge's weight is checked and filled as the forest
// pairing finds it, while both lists are still in cache.
inline bool simple_forest(const CutInput& in, std::vector<ForestEdge>& edges, LeafPeel& peel, StopPoll& poll) {
    for (i64 i = 0; i < in.n; ++i) {
        poll.check();
        if (label_at(in, i) < -1) return false;
    }
    const ListsView lists{in.n, in.adjacency, in.sizes};
    if (!peel.run(lists, [&in](i64 i) { return label_at(in, i) != -1; }, poll)) return false;
    return collect_forest(lists, edges, poll, WeighEdge{in, peel});
}

}  // namespace cut_detail

// Linear-time test for the inputs the sweep covers. `stopped`, when given, tells a false answer
// that came from options.should_stop.
inline bool is_simple_forest(const CutInput& input, const CutOptions& options = {}, bool* stopped = nullptr) {
    CutResult scratch;
    StopPoll poll(options.should_stop, options.stop_context);
    try {
        if (!cut_detail::check_ranges(input, scratch, poll)) return false;
        std::vector<ForestEdge> edges;
        LeafPeel peel;
        return cut_detail::simple_forest(input, edges, peel, poll);
    } catch (const StopPoll::Stopped&) {
        if (stopped) *stopped = true;
        return false;
    }
}

namespace cut_detail {

// The label subgraph of every component, component by component; or the first error.
inline CutResult label_subgraph(const CutInput& lists, bool forest, StopPoll& poll, std::vector<SubgraphEdge>& edges) {
    CutLists cut_lists(lists, false, poll);
    ComponentSubgraph subgraph(cut_lists, poll, forest);
    SubgraphError first;
    auto keep = [&](const SubgraphError&) {
        if (!first.set()) edges.insert(edges.end(), subgraph.edges().begin(), subgraph.edges().end());
    };
    if (!subgraph.build_every_component(first, keep)) return interrupted_result();
    CutResult res;
    if (first.set()) first.report(res);
    return res;
}

// Runs a planner on input whose ranges check out; a stop request ends it as `interrupted`.
template <class Planner>
CutResult run_checked(const CutInput& input, const CutOptions& options, Planner planner) {
    CutResult res;
    StopPoll poll(options.should_stop, options.stop_context);
    try {
        if (!check_ranges(input, res, poll)) return res;
        return planner(poll);
    } catch (const StopPoll::Stopped&) {
        res = CutResult{};
        res.status = CutStatus::interrupted;
        return res;
    }
}

}  // namespace cut_detail

// On every status but needs_fallback and interrupted, `cuts` holds the edges the driver removes
// before it stops, in order (for an error status: the cuts it made before raising). When the sweep
// made a plan that ends ok and `labels_after` is given, it receives the labels that the driver's
// joining and flooding then write (CutResult::labelled tells); otherwise it is left empty.
inline CutResult plan_cuts(const CutInput& input, CutList& cuts, const CutOptions& options = {},
                           std::vector<std::int8_t>* labels_after = nullptr) {
    cuts.clear();
    if (labels_after) labels_after->clear();
    CutResult res = cut_detail::run_checked(input, options, [&](StopPoll& poll) {
        CutResult r;
        if (options.method != CutMethod::exact) {
            std::vector<ForestEdge> edges;
            LeafPeel peel;
            // Leaf copies of labelled nodes must stay addressable as 32-bit region nodes.
            if (cut_detail::simple_forest(input, edges, peel, poll) &&
                input.n + 2 * static_cast<i64>(edges.size()) < std::numeric_limits<i32>::max()) {
                cut_detail::Sweep sweep(input, edges, poll);
                r.status = sweep.run(cuts);
                r.swept = true;
                if (r.status == CutStatus::ok && labels_after) {
                    sweep.final_labels(peel, *labels_after);
                    r.labelled = true;
                }
                return r;
            }
            if (options.method == CutMethod::sweep) {
                r.status = CutStatus::needs_fallback;
                return r;
            }
        }
        return cut_detail::ExactPlanner(input, poll).run(cuts);
    });
    if (res.status == CutStatus::interrupted) {
        cuts.clear();
        if (labels_after) labels_after->clear();
    }
    return res;
}

// The edges of the label subgraph (the driver's find_subgraph_with_labels on these lists), in an
// order that gives each node's list as the driver builds it; or the error the driver raises
// there (recursion, not_in_list). Weights are not read.
inline CutResult plan_subgraph(const CutInput& input, std::vector<SubgraphEdge>& edges, const CutOptions& options = {}) {
    edges.clear();
    CutInput lists = input;
    lists.weights = nullptr;
    return cut_detail::run_checked(lists, options, [&](StopPoll& poll) {
        std::vector<ForestEdge> forest_edges;
        const bool forest = collect_forest(ListsView{lists.n, lists.adjacency, lists.sizes}, forest_edges, poll);
        forest_edges = {};
        return cut_detail::label_subgraph(lists, forest, poll, edges);
    });
}

}  // namespace brov
