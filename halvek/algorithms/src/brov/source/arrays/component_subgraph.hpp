// The label subgraph of one component of the lists, as the driver's find_subgraph_with_labels
// builds it: shared by the exact planner (cut_exact.hpp), which rebuilds the components its cuts
// touch, and by the in-place subgraph search (plan_subgraph, cutting.hpp).
//
// Within a build, every level of the exploration is keyed by its (start node, bomb node) pair,
// whose paths depend on nothing else: a level met again is not searched again (the driver finds
// the same paths, adds nothing new to the subgraph or to the covered nodes, and, with no cycle
// below it, raises nothing). A level met again on its own chain of nested levels is the driver's
// endless recursion. A neighbour listed twice in one list leads to the same paths as its first
// entry, so only first entries are followed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrays/csr.hpp"
#include "arrays/cut_lists.hpp"
#include "arrays/cut_types.hpp"
#include "arrays/pair_key.hpp"

namespace brov {

struct SubgraphEdge {
    i32 a, b;
    i32 pab, pba;  // first position of b in a's list, of a in b's list
};

namespace cut_detail {

// The first error the driver would raise from one build: the search phase (recursion) raises
// before the copying phase (a missing reverse entry); within a phase, the smaller start node
// comes first.
struct SubgraphError {
    enum class Phase { none, search, copy };
    CutStatus status = CutStatus::ok;
    Phase phase = Phase::none;
    i32 start = 0;
    i64 a = -1, b = -1;

    SubgraphError() = default;
    SubgraphError(CutStatus status_, Phase phase_, i32 start_, i64 a_, i64 b_)
        : status(status_), phase(phase_), start(start_), a(a_), b(b_) {}

    bool set() const { return status != CutStatus::ok; }
    bool better_than(const SubgraphError& o) const {
        if (!set()) return false;
        if (!o.set()) return true;
        if (phase != o.phase) return phase < o.phase;
        return start < o.start;
    }
    CutResult report(CutResult& r) const {
        r.status = status;
        r.detail_a = a;
        r.detail_b = b;
        return r;
    }
};

inline CutResult interrupted_result() {
    CutResult r;
    r.status = CutStatus::interrupted;
    return r;
}

class ComponentSubgraph {
public:
    // `forest`: the lists form a simple forest, so walks may be remembered across levels.
    ComponentSubgraph(const CutLists& lists, StopPoll& poll, bool forest)
        : lists_(lists), poll_(poll), remember_walks_(forest) {
        const auto n = static_cast<std::size_t>(lists.node_count());
        component_.assign(n, -1);
        covered_.assign(n, 0);
        on_path_.assign(n, 0);
        first_positions_begin_.assign(n, 0);
        first_positions_count_.assign(n, 0);
        is_first_entry_.assign(lists.entry_count(), 0);
    }

    i32 component_of(i32 x) const { return component_[x]; }
    // The component last gathered.
    i32 current_component() const { return component_[nodes_[0]]; }

    // Collects the component of x (entries followed both ways) under a new id; false when stopped.
    bool gather(i32 x) {
        const i32 id = components_++;
        nodes_.assign(1, x);
        component_[x] = id;
        for (std::size_t k = 0; k < nodes_.size(); ++k) {
            if (poll_.tick()) return false;
            const i32 y = nodes_[k];
            for (i32 p = 0; p < lists_.size(y); ++p) take_into(lists_.neighbor(y, p), id);
            for (const i32* z = lists_.listers_begin(y); z != lists_.listers_end(y); ++z) take_into(*z, id);
        }
        return true;
    }

    // Builds the subgraph of the component last gathered: edges() or, when `err` is set, the first
    // error the driver raises there. False when stopped.
    bool build(SubgraphError& err) {
        ++epoch_;
        index_first_positions();
        levels_.clear();
        sub_.clear();
        sub_index_.clear();
        copy_error_ = SubgraphError{};
        for (i32 s : starts_) {
            if (covered_[s] == epoch_) continue;
            start_ = s;
            bool found = false;
            if (!explore(s, found, err)) return false;
            if (err.set()) return true;
            if (!found) covered_[s] = epoch_;
        }
        if (copy_error_.set()) err = copy_error_;
        return true;
    }

    // The edges of the last build, in the order the driver adds them.
    const std::vector<SubgraphEdge>& edges() const { return sub_; }

    // Gathers and builds every component once, in node order; `first` keeps the first error, and
    // built(error) runs after each build.
    template <class Built>
    bool build_every_component(SubgraphError& first, Built built) {
        for (i32 x = 0; x < lists_.node_count(); ++x) {
            if (component_[x] >= 0) continue;
            SubgraphError e;
            if (!gather(x) || !build(e)) return false;
            if (e.better_than(first)) first = e;
            built(e);
        }
        return true;
    }

private:
    struct Frame {
        i32 node;
        i32 idx;  // next entry of node's list to look at
        i32 via;  // position, in the previous node's list, of the entry that led here
        std::size_t found_before = 0;  // paths the search had found when it entered node
    };
    struct Level {
        i32 start, bomb;
        std::size_t child_begin, child_next;
        std::size_t log_begin = 0;  // its search's entries in walk_log_
    };
    enum class LevelState : std::uint8_t { unseen, on_chain, done };

    void take_into(i32 z, i32 id) {
        if (component_[z] == id) return;
        component_[z] = id;
        nodes_.push_back(z);
    }

    // Per node of the component: its first entry for each neighbour, and the labelled nodes in
    // increasing order (the driver's start nodes).
    void index_first_positions() {
        first_positions_.clear();
        starts_.clear();
        auto same_value = [](const std::pair<i32, i32>& l, const std::pair<i32, i32>& r) { return l.first == r.first; };
        for (i32 x : nodes_) {
            const std::size_t b = first_positions_.size();
            first_positions_begin_[x] = static_cast<i64>(b);
            for (i32 p = 0; p < lists_.size(x); ++p) first_positions_.emplace_back(lists_.neighbor(x, p), p);
            const auto begin = first_positions_.begin() + static_cast<std::ptrdiff_t>(b);
            std::sort(begin, first_positions_.end());
            first_positions_.erase(std::unique(begin, first_positions_.end(), same_value), first_positions_.end());
            first_positions_count_[x] = static_cast<i32>(first_positions_.size() - b);
            for (std::size_t k = b; k < first_positions_.size(); ++k)
                is_first_entry_[lists_.entry(x, first_positions_[k].second)] = epoch_;
            if (lists_.label_of(x) != -1) starts_.push_back(x);
        }
        std::sort(starts_.begin(), starts_.end());
    }

    // First position of v in x's list (indexed for the current component), or -1.
    i32 first_position(i32 x, i32 v) const {
        const auto b = first_positions_.begin() + static_cast<std::ptrdiff_t>(first_positions_begin_[x]);
        const auto e = b + first_positions_count_[x];
        const auto it = std::lower_bound(b, e, std::make_pair(v, std::numeric_limits<i32>::min()));
        return (it != e && it->first == v) ? it->second : -1;
    }

    // The chain of levels from start s, depth first in the driver's order.
    bool explore(i32 s, bool& found, SubgraphError& err) {
        std::vector<Level> chain;
        walk_log_.clear();
        chain.push_back({s, -1, children_.size(), children_.size(), 0});
        levels_[pair_key(s, -1)] = LevelState::on_chain;
        if (!search(s, -1)) return false;
        found = children_.size() > chain.back().child_begin;
        while (!chain.empty()) {
            Level& lv = chain.back();
            if (lv.child_next == children_.size()) {
                levels_[pair_key(lv.start, lv.bomb)] = LevelState::done;
                children_.resize(lv.child_begin);
                remember_walks(lv);
                chain.pop_back();
                continue;
            }
            const std::pair<i32, i32> c = children_[lv.child_next++];
            LevelState& state = levels_[pair_key(c.first, c.second)];
            if (state == LevelState::done) continue;
            if (state == LevelState::on_chain) {
                err = SubgraphError(CutStatus::recursion, SubgraphError::Phase::search, s, c.first, c.second);
                children_.clear();
                return true;
            }
            state = LevelState::on_chain;
            const std::size_t begin = children_.size();
            const std::size_t log_begin = walk_log_.size();
            if (!search(c.first, c.second)) return false;
            chain.push_back({c.first, c.second, begin, begin, log_begin});
        }
        return true;
    }

    // The labelled path search from root r with bomb node bomb: records each path's steps in
    // order and appends (end node, node before it) for every path, in the driver's order.
    bool search(i32 r, i32 bomb) {
        const std::int8_t root_label = lists_.label_of(r);
        path_.assign(1, {r, 0, -1, 0});
        on_path_[r] = 1;
        paths_found_ = 0;
        std::size_t recorded = 1;  // path_[1 .. recorded) have had their incoming step recorded
        while (!path_.empty()) {
            if (poll_.tick()) {
                for (const Frame& f : path_) on_path_[f.node] = 0;
                return false;
            }
            Frame& top = path_.back();
            if (top.idx == lists_.size(top.node)) {
                leave_top(recorded);
                continue;
            }
            const i32 x = top.node;
            const i32 p = top.idx++;
            if (is_first_entry_[lists_.entry(x, p)] != epoch_) continue;  // a repeated entry leads to the same paths
            const i32 v = lists_.neighbor(x, p);
            if (on_path_[v] || lists_.label_of(v) == root_label || v == bomb) continue;
            if (lists_.label_of(v) > -1) {
                record_route(recorded, x, v, p);
                children_.emplace_back(v, x);
                continue;
            }
            if (remember_walks_ && walked_before(root_label, recorded, x, v, p)) continue;
            on_path_[v] = 1;
            path_.push_back({v, 0, p, paths_found_});
        }
        return true;
    }

    // The search is done with the node on top of the path.
    void leave_top(std::size_t& recorded) {
        const Frame& top = path_.back();
        on_path_[top.node] = 0;
        if (remember_walks_ && path_.size() > 1)
            walk_log_.emplace_back(lists_.entry(path_[path_.size() - 2].node, top.via), paths_found_ > top.found_before);
        path_.pop_back();
        recorded = std::min(recorded, path_.size());
    }

    // Whether a finished level with this root label has walked through entry p of x already: all
    // beyond was found then, so only the route up to v can be new.
    bool walked_before(std::int8_t root_label, std::size_t& recorded, i32 x, i32 v, i32 p) {
        const std::uint8_t walked = walked_table(root_label)[lists_.entry(x, p)];
        if (!(walked & kWalked)) return false;
        if (walked & kPathsBeyond) record_route(recorded, x, v, p);
        return true;
    }

    // The steps of the path to x not recorded yet, then x -> v (v at position p of x's list).
    void record_route(std::size_t& recorded, i32 x, i32 v, i32 p) {
        for (std::size_t k = std::max<std::size_t>(recorded, 1); k < path_.size(); ++k)
            record(path_[k - 1].node, path_[k].node, path_[k].via);
        recorded = path_.size();
        record(x, v, p);
        ++paths_found_;
    }

    std::vector<std::uint8_t>& walked_table(std::int8_t label) {
        if (walked_.empty()) walked_.resize(256);
        std::vector<std::uint8_t>& table = walked_[label + 128];
        if (table.empty()) table.assign(lists_.entry_count(), 0);
        return table;
    }

    // A finished level's walks, for later levels with the same root label.
    void remember_walks(const Level& lv) {
        if (!remember_walks_) return;
        std::vector<std::uint8_t>& table = walked_table(lists_.label_of(lv.start));
        for (std::size_t k = lv.log_begin; k < walk_log_.size(); ++k)
            table[walk_log_[k].first] = walk_log_[k].second ? kWalked | kPathsBeyond : kWalked;
        walk_log_.resize(lv.log_begin);
    }

    // One step a -> b of a collected path, b at position pab of a's list.
    void record(i32 a, i32 b, i32 pab) {
        covered_[a] = epoch_;
        covered_[b] = epoch_;
        const std::uint64_t k = a < b ? pair_key(a, b) : pair_key(b, a);
        if (sub_index_.count(k)) return;
        const i32 pba = first_position(b, a);
        if (pba < 0) {
            // The copy looks a up in b's list and fails; the first such step raises.
            if (!copy_error_.set())
                copy_error_ = SubgraphError(CutStatus::not_in_list, SubgraphError::Phase::copy, start_, a, b);
            return;
        }
        sub_index_.emplace(k, static_cast<i32>(sub_.size()));
        sub_.push_back({a, b, pab, pba});
    }

    const CutLists& lists_;
    StopPoll& poll_;
    // In a forest, the paths beyond an entry depend only on the root label: per root label, the
    // entries that a finished level has walked through, and whether paths lay beyond them.
    static constexpr std::uint8_t kWalked = 1, kPathsBeyond = 2;
    bool remember_walks_;
    std::vector<std::vector<std::uint8_t>> walked_;  // by label + 128
    std::vector<std::pair<std::size_t, bool>> walk_log_;  // entries walked by the levels on the chain
    std::size_t paths_found_ = 0;  // by the running search

    std::vector<i32> component_;
    i32 components_ = 0;

    // Scratch of one build.
    std::uint32_t epoch_ = 0;
    std::vector<i32> nodes_;
    std::vector<i32> starts_;
    std::vector<std::uint32_t> covered_;
    std::vector<std::uint32_t> is_first_entry_;  // entry is its value's first occurrence in its list
    std::vector<std::pair<i32, i32>> first_positions_;  // per node: (value, first position), sorted
    std::vector<i64> first_positions_begin_;
    std::vector<i32> first_positions_count_;
    std::vector<std::uint8_t> on_path_;
    std::vector<Frame> path_;
    std::vector<std::pair<i32, i32>> children_;
    std::unordered_map<std::uint64_t, LevelState> levels_;
    std::vector<SubgraphEdge> sub_;
    std::unordered_map<std::uint64_t, i32> sub_index_;
    SubgraphError copy_error_;
    i32 start_ = 0;
};

}  // namespace cut_detail
}  // namespace brov
