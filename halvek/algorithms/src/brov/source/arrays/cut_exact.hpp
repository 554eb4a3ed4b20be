// The exact cutting planner (see cutting.hpp): the driver's loop of cutting the heaviest edge of
// the label subgraph, rebuilding after each cut only the components the cut touched.
#pragma once

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "arrays/component_subgraph.hpp"
#include "arrays/csr.hpp"
#include "arrays/cut_lists.hpp"
#include "arrays/cut_types.hpp"
#include "arrays/max_rule.hpp"

namespace brov {
namespace cut_detail {

class ExactPlanner {
public:
    ExactPlanner(const CutInput& in, StopPoll& poll) : lists_(in, in.weights != nullptr, poll), subgraph_(lists_, poll, false) {}

    CutResult run(CutList& cuts) {
        CutResult res;
        SubgraphError first;
        if (!subgraph_.build_every_component(first, [this](const SubgraphError& e) { summarize_if_built(e); }))
            return interrupted_result();
        for (;;) {
            if (first.set()) return first.report(res);
            if (nonempty_ == 0) return res;
            i32 a = -1, b = -1;
            res.status = heaviest_edge(a, b);
            if (res.status != CutStatus::ok) return res;
            lists_.remove_edge(a, b);
            cuts.emplace_back(a, b);
            drop_summary(subgraph_.component_of(a));
            SubgraphError at_a, at_b;
            if (!rebuild(a, at_a)) return interrupted_result();
            if (subgraph_.component_of(b) != subgraph_.component_of(a) && !rebuild(b, at_b))
                return interrupted_result();
            first = at_b.better_than(at_a) ? at_b : at_a;
        }
    }

private:
    // A component's share of pop_max's choice.
    struct Summary {
        bool nonempty = false;  // the component's subgraph has an edge
        bool has_max = false;   // some entry qualifies
        float max = 0;
        i64 count = 0;  // entries equal to max
        i32 a = -1, b = -1;  // tie-break winner among its maximal edges, a the smaller end
    };
    struct Ranked {
        float max;
        i32 a;
        i32 comp;
        bool operator<(const Ranked& o) const {
            if (max != o.max) return max > o.max;
            return a < o.a;
        }
    };

    // The edge pop_max and the tie-break name next, or why the driver stops.
    CutStatus heaviest_edge(i32& a, i32& b) const {
        if (by_max_.empty()) return CutStatus::no_qualifying_max;
        auto it = by_max_.begin();
        const float top = it->max;
        const Summary& best = summaries_[it->comp];
        i64 held = 0;
        for (; it != by_max_.end() && it->max == top && held < 2; ++it) held += summaries_[it->comp].count;
        if (held < 2) return CutStatus::lone_max;
        a = best.a;
        b = best.b;
        return CutStatus::ok;
    }

    // Gathers and builds the component of x anew.
    bool rebuild(i32 x, SubgraphError& err) {
        if (!subgraph_.gather(x) || !subgraph_.build(err)) return false;
        summarize_if_built(err);
        return true;
    }

    void summarize_if_built(const SubgraphError& err) {
        const i32 id = subgraph_.current_component();
        if (summaries_.size() <= static_cast<std::size_t>(id)) summaries_.resize(static_cast<std::size_t>(id) + 1);
        if (!err.set()) summarize(id);
    }

    void summarize(i32 id) {
        Summary& s = summaries_[id];
        s = Summary{};
        const std::vector<SubgraphEdge>& edges = subgraph_.edges();
        s.nonempty = !edges.empty();
        RunningMax running;
        for (const SubgraphEdge& e : edges) {
            for (float w : {lists_.weight(e.a, e.pab), lists_.weight(e.b, e.pba)}) {
                const MaxOffer offer = running.offer(w);
                if (offer == MaxOffer::raised) s.count = 1;
                else if (offer == MaxOffer::equal) ++s.count;
            }
        }
        s.has_max = s.count > 0;
        s.max = running.value;
        if (s.has_max) {
            pick_tied_edge(s);
            by_max_.insert({s.max, s.a, id});
        }
        if (s.nonempty) ++nonempty_;
    }

    // Among the maximal edges: the smallest smaller end, then the other end first in its list.
    void pick_tied_edge(Summary& s) const {
        i32 best_pos = 0;
        for (const SubgraphEdge& e : subgraph_.edges()) {
            if (!(lists_.weight(e.a, e.pab) == s.max || lists_.weight(e.b, e.pba) == s.max)) continue;
            const i32 lo = std::min(e.a, e.b), hi = std::max(e.a, e.b);
            const i32 pos = lo == e.a ? e.pab : e.pba;
            if (s.a < 0 || lo < s.a || (lo == s.a && pos < best_pos)) {
                s.a = lo;
                s.b = hi;
                best_pos = pos;
            }
        }
    }

    void drop_summary(i32 id) {
        Summary& s = summaries_[id];
        if (s.has_max) by_max_.erase({s.max, s.a, id});
        if (s.nonempty) --nonempty_;
        s = Summary{};
    }

    CutLists lists_;  // shrinks as edges are cut
    ComponentSubgraph subgraph_;
    std::vector<Summary> summaries_;  // by component id
    std::set<Ranked> by_max_;
    i64 nonempty_ = 0;
};

}  // namespace cut_detail
}  // namespace brov
