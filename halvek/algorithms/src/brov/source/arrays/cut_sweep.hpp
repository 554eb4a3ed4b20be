// The sweep: the cutting planner for simple forests (see cutting.hpp), one pass over the edges,
// heaviest first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "arrays/csr.hpp"
#include "arrays/cut_types.hpp"
#include "arrays/leaf_peel.hpp"
#include "arrays/max_rule.hpp"

namespace brov {
namespace cut_detail {

// The sweep over a simple forest.
//
// A region is a maximal tree of unlabelled nodes together with the labelled nodes on its border;
// paths between labels run inside one region, so each labelled node gets one leaf copy per incident
// edge and regions become separate trees. An edge lies on a path between two different labels
// exactly when both of its sides hold a border leaf and its piece holds at least two distinct
// labels. Unlabelled leaves are pruned as they appear, so every live edge has border leaves on both
// sides, and the test reduces to the piece's distinct label count. A cut splits its piece; the
// smaller side, found by walking both sides in lock step, takes a new piece id.
//
// `edges` are what is left of the forest once its unlabelled leaves are stripped (leaf_peel.hpp).
class Sweep {
public:
    Sweep(const CutInput& in, std::vector<ForestEdge>& edges, StopPoll& poll) : in_(in), edges_(edges), poll_(poll) {}

    CutStatus run(CutList& cuts) {
        build();
        link();
        assign_pieces();

        // Only edges that can still be cut are ordered: live ones in a piece with two labels.
        std::vector<i32> order;
        for (std::size_t e = 0; e < edges_.size(); ++e) {
            poll_.check();
            if (dead_[e] || !RunningMax::takes_part(edges_[e].w)) continue;
            if (piece_labels_[(piece_[(end_[2 * e])])].size() < 2) continue;
            order.push_back(static_cast<i32>(e));
        }
        const std::vector<ForestEdge>& es = edges_;
        StopPoll& poll = poll_;
        std::sort(order.begin(), order.end(), [&es, &poll](i32 x, i32 y) {
            poll.check();
            const ForestEdge& ex = es[x];
            const ForestEdge& ey = es[y];
            if (ex.w != ey.w) return ex.w > ey.w;  // equal as floats (0.0 and -0.0) is a tie
            if (ex.a != ey.a) return ex.a < ey.a;
            return ex.pos < ey.pos;
        });

        for (i32 e : order) {
            if (poll_.tick()) return CutStatus::interrupted;
            if (dead_[e]) continue;
            const i32 u = end_[2 * e];
            const i32 v = end_[2 * e + 1];
            if (piece_labels_[(piece_[u])].size() < 2) continue;
            cuts.emplace_back(edges_[e].a, edges_[e].b);
            kill(e);
            if (!split(u, v)) return CutStatus::interrupted;
            prune_from(u);
            prune_from(v);
        }
        // Whatever still joins two labels now carries only weights that pop_max never takes.
        for (std::size_t e = 0; e < edges_.size(); ++e) {
            poll_.check();
            if (dead_[e]) continue;
            if (piece_labels_[(piece_[(end_[2 * e])])].size() >= 2)
                return CutStatus::no_qualifying_max;
        }
        return CutStatus::ok;
    }

    // After a run that ended ok, the label each node carries once the driver has joined every
    // label's nodes and flooded each label over its piece: every piece now holds at most one
    // label, which all its nodes take; nodes of pieces without one keep their own. A node that was
    // stripped or pruned went off the piece it hung from, so, read backwards, each takes the label
    // of the node it hung from (whose own label is settled by then).
    void final_labels(const LeafPeel& peel, std::vector<std::int8_t>& out) const {
        const i64 n = in_.n;
        out.resize(static_cast<std::size_t>(n));
        for (i64 x = 0; x < n; ++x) {
            poll_.check();
            out[x] = label_at(in_, x);
        }
        // Labelled nodes live on as copies only: the region nodes below them are unlabelled nodes.
        for (i32 r = 0; r < unlabelled_; ++r)
            if (live_count_[r] > 0 && !piece_labels_[piece_[r]].empty())
                out[node_of_[r]] = piece_labels_[piece_[r]].front().first;
        for (auto step = pruned_.rbegin(); step != pruned_.rend(); ++step)
            out[node_of_[step->node]] = step->from < unlabelled_ ? out[node_of_[step->from]] : region_label_[step->from];
        const std::vector<LeafPeel::Step>& stripped = peel.steps();
        for (auto step = stripped.rbegin(); step != stripped.rend(); ++step) {
            poll_.check();
            out[step->node] = out[step->from];
        }
    }

private:
    using LabelCounts = std::vector<std::pair<std::int8_t, i32>>;  // sorted by label

    // Region nodes are numbered densely, the forest's unlabelled nodes first (in order of first
    // appearance), then the leaf copies: the arrays of the sweep grow with the forest left after
    // the strip, not with the whole graph.
    void build() {
        const std::size_t m = edges_.size();
        end_.resize(2 * m);
        std::vector<i32> region_of(static_cast<std::size_t>(in_.n), -1);
        node_of_.clear();
        for (std::size_t k = 0; k < 2 * m; ++k) {
            poll_.check();
            const i32 x = k % 2 == 0 ? edges_[k / 2].a : edges_[k / 2].b;
            if (label_at(in_, x) != -1) continue;
            if (region_of[x] < 0) {
                region_of[x] = static_cast<i32>(node_of_.size());
                node_of_.push_back(x);
            }
            end_[k] = region_of[x];
        }
        unlabelled_ = static_cast<i32>(node_of_.size());
        region_label_.assign(node_of_.size(), -1);
        for (std::size_t k = 0; k < 2 * m; ++k) {
            poll_.check();
            const std::int8_t l = label_at(in_, k % 2 == 0 ? edges_[k / 2].a : edges_[k / 2].b);
            if (l == -1) continue;
            end_[k] = static_cast<i32>(region_label_.size());
            region_label_.push_back(l);
        }
        dead_.assign(m, 0);
        piece_.assign(region_label_.size(), -1);
    }

    // Live adjacency: every edge end k = 2e + side, grouped by its region node.
    void link() {
        const std::size_t rn = region_label_.size();
        std::vector<i64> ends;
        bucket_entries(rn, end_.size(), [this](std::size_t k) { return i64{end_[k]}; }, live_begin_, ends, poll_);
        live_count_.resize(rn);
        for (std::size_t r = 0; r < rn; ++r) live_count_[r] = static_cast<i32>(live_begin_[r + 1] - live_begin_[r]);
        live_edges_.resize(ends.size());
        slot_of_end_.resize(ends.size());
        for (std::size_t p = 0; p < ends.size(); ++p) {
            live_edges_[p] = static_cast<i32>(ends[p] / 2);
            slot_of_end_[ends[p]] = static_cast<i64>(p);
        }
    }

    i32 other(i32 e, i32 x) const {
        const i32 a = end_[2 * e];
        return a == x ? end_[2 * e + 1] : a;
    }

    // Drops edge e from the live list of its end x (swap with the last live entry).
    void unlink(i32 e, i32 x) {
        const std::size_t se = 2 * e + (end_[2 * e] == x ? 0 : 1);
        const i64 p = slot_of_end_[se];
        const i64 last = live_begin_[x] + --live_count_[x];
        const i32 f = live_edges_[last];
        live_edges_[p] = f;
        live_edges_[last] = e;
        slot_of_end_[2 * f + (end_[2 * f] == x ? 0 : 1)] = p;
        slot_of_end_[se] = last;
    }

    void kill(i32 e) {
        dead_[e] = 1;
        unlink(e, end_[2 * e]);
        unlink(e, end_[2 * e + 1]);
    }

    // An unlabelled node left with one edge has no label behind it: that edge can join no labels.
    void prune_from(i32 x) {
        while (region_label_[x] == -1 && live_count_[x] == 1) {
            const i32 e = live_edges_[(live_begin_[x])];
            const i32 y = other(e, x);
            kill(e);
            pruned_.push_back(LeafPeel::Step{x, y});
            x = y;
        }
    }

    void assign_pieces() {
        std::vector<i32> stack;
        for (std::size_t s = 0; s < region_label_.size(); ++s) {
            if (piece_[s] >= 0 || live_count_[s] == 0) continue;
            const i32 id = static_cast<i32>(piece_labels_.size());
            stack.assign(1, static_cast<i32>(s));
            piece_[s] = id;
            while (!stack.empty()) {
                poll_.check();
                const i32 x = stack.back();
                stack.pop_back();
                tally(x);
                for (i64 p = live_begin_[x]; p < live_begin_[x] + live_count_[x]; ++p) {
                    const i32 y = other(live_edges_[p], x);
                    if (piece_[y] < 0) {
                        piece_[y] = id;
                        stack.push_back(y);
                    }
                }
            }
            piece_labels_.push_back(take_tally());
        }
    }

    void tally(i32 x) {
        const std::int8_t l = region_label_[x];
        if (l < 0) return;
        if (tally_[l]++ == 0) touched_.push_back(l);
    }

    LabelCounts take_tally() {
        std::sort(touched_.begin(), touched_.end());
        LabelCounts out;
        out.reserve(touched_.size());
        for (std::int8_t l : touched_) {
            out.emplace_back(l, tally_[l]);
            tally_[l] = 0;
        }
        touched_.clear();
        return out;
    }

    // Depth-first walk of one side of a cut, one adjacency slot per step.
    struct Walker {
        std::vector<std::pair<i32, i32>> stack;  // (node, edge it was reached by)
        std::vector<i32> nodes;
        i32 cur = -1, from = -1;
        i32 idx = 0;
        void start(i32 x) {
            stack.assign(1, {x, -1});
            nodes.clear();
            cur = -1;
        }
        bool step(const Sweep& s) {
            if (cur < 0) {
                if (stack.empty()) return false;
                cur = stack.back().first;
                from = stack.back().second;
                stack.pop_back();
                idx = 0;
                nodes.push_back(cur);
                return true;
            }
            if (idx >= s.live_count_[cur]) {
                cur = -1;
                return true;
            }
            const i32 e = s.live_edges_[(s.live_begin_[cur] + idx++)];
            if (e != from) stack.emplace_back(s.other(e, cur), e);
            return true;
        }
    };

    // After the edge between u and v is gone: the smaller side takes a new piece id and its labels.
    bool split(i32 u, i32 v) {
        walk_[0].start(u);
        walk_[1].start(v);
        Walker* small = nullptr;
        for (;;) {
            if (poll_.tick()) return false;
            if (!walk_[0].step(*this)) { small = &walk_[0]; break; }
            if (!walk_[1].step(*this)) { small = &walk_[1]; break; }
        }
        const i32 old_id = piece_[u];
        const i32 id = static_cast<i32>(piece_labels_.size());
        for (i32 x : small->nodes) {
            piece_[x] = id;
            tally(x);
        }
        LabelCounts moved = take_tally();
        LabelCounts& rest = piece_labels_[old_id];
        for (const auto& lc : moved) {
            auto it = std::lower_bound(rest.begin(), rest.end(), lc,
                                       [](const std::pair<std::int8_t, i32>& a, const std::pair<std::int8_t, i32>& b) {
                                           return a.first < b.first;
                                       });
            it->second -= lc.second;
            if (it->second == 0) rest.erase(it);
        }
        piece_labels_.push_back(std::move(moved));
        return true;
    }

    const CutInput& in_;
    std::vector<ForestEdge>& edges_;
    StopPoll& poll_;
    std::vector<i32> end_;                   // region end nodes of edge e at 2e, 2e+1
    std::vector<std::int8_t> region_label_;  // -1 for unlabelled nodes, the label for leaf copies
    std::vector<i32> node_of_;               // the node of each unlabelled region node
    i32 unlabelled_ = 0;                     // region nodes below this are unlabelled nodes
    // Live adjacency: node x's live edges are live_edges_[live_begin_[x] .. + live_count_[x]).
    std::vector<i64> live_begin_;
    std::vector<i32> live_count_;
    std::vector<i32> live_edges_;
    std::vector<i64> slot_of_end_;  // position of each edge end in live_edges_
    std::vector<std::uint8_t> dead_;
    std::vector<i32> piece_;
    std::vector<LabelCounts> piece_labels_;
    std::vector<LeafPeel::Step> pruned_;  // unlabelled nodes left with one edge, as they went
    i32 tally_[128] = {};
    std::vector<std::int8_t> touched_;
    Walker walk_[2];
};

}  // namespace cut_detail
}  // namespace brov
