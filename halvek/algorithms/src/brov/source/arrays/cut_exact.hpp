// The exact cutting planner (see cutting.hpp), and the per-component build of the label subgraph
// that it shares with the in-place subgraph search.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrays/csr.hpp"
#include "arrays/cut_types.hpp"
#include "arrays/max_rule.hpp"

namespace brov {

struct SubgraphEdge {
    i32 a, b;
    i32 pab, pba;  // first position of b in a's list, of a in b's list
};

namespace cut_detail {

// The exact planner: the driver's loop, rebuilding the subgraph of each touched component.
//
// Within a rebuild, every level of the exploration is keyed by its (start node, bomb node) pair,
// whose paths depend on nothing else: a level met again is not searched again (the driver finds
// the same paths, adds nothing new to the subgraph or to the covered nodes, and, with no cycle
// below it, raises nothing). A level met again on its own chain of nested levels is the driver's
// endless recursion. A neighbour listed twice in one list leads to the same paths as its first
// entry, so only first entries are followed.
class Exact {
public:
    // Without weights (in.weights null) it only builds subgraphs.
    Exact(const CutInput& in, StopPoll& poll) : in_(in), poll_(poll), with_weights_(in.weights != nullptr) {}

    CutResult run(CutList& cuts) {
        CutResult res;
        Error first;
        if (!build_all(first, nullptr)) return interrupted(res);
        for (;;) {
            if (first.set()) return first.report(res);
            if (nonempty_ == 0) return res;
            if (by_max_.empty()) {
                res.status = CutStatus::no_qualifying_max;
                return res;
            }
            auto it = by_max_.begin();
            const float top = it->max;
            const Summary& best = summaries_[(it->comp)];
            i64 held = 0;
            for (; it != by_max_.end() && it->max == top && held < 2; ++it)
                held += summaries_[(it->comp)].count;
            if (held < 2) {
                res.status = CutStatus::lone_max;
                return res;
            }
            const i32 a = best.a, b = best.b;
            cut(a, b);
            cuts.emplace_back(a, b);

            drop_summary(component_[a]);
            if (!gather(a)) return interrupted(res);
            Error e1, e2;
            if (!build(e1)) return interrupted(res);
            if (component_[b] != component_[a]) {
                if (!gather(b)) return interrupted(res);
                if (!build(e2)) return interrupted(res);
            }
            first = e2.better_than(e1) ? e2 : e1;
        }
    }

    // The edges of the label subgraph, component by component, each in the order the driver adds
    // them; or the first error the driver would raise while building it.
    // `forest`: the lists form a simple forest, so walks may be remembered across levels.
    CutResult subgraph(std::vector<SubgraphEdge>& edges, bool forest) {
        CutResult res;
        remember_walks_ = forest;
        Error first;
        if (!build_all(first, &edges)) return interrupted(res);
        if (first.set()) first.report(res);
        return res;
    }

private:
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
    // The first error the driver would raise from one rebuild: the search phase (recursion) raises
    // before the copying phase (a missing reverse entry); within a phase, the smaller start node
    // comes first.
    struct Error {
        CutStatus status = CutStatus::ok;
        int phase = 0;
        i32 start = 0;
        i64 a = -1, b = -1;
        bool set() const { return status != CutStatus::ok; }
        bool better_than(const Error& o) const {
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
    using Edge = SubgraphEdge;
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

    // Builds every component once; `edges`, when given, collects their subgraphs.
    bool build_all(Error& first, std::vector<SubgraphEdge>* edges) {
        load();
        for (i32 x = 0; x < n_; ++x) {
            if (component_[x] >= 0) continue;
            if (!gather(x)) return false;
            Error e;
            if (!build(e)) return false;
            if (e.better_than(first)) first = e;
            if (edges && !first.set()) edges->insert(edges->end(), sub_.begin(), sub_.end());
        }
        return true;
    }

    CutResult& interrupted(CutResult& r) {
        r.status = CutStatus::interrupted;
        return r;
    }

    std::size_t at(i32 x, i32 p) const { return csr_.at(x, p); }
    i32 size(i32 x) const { return csr_.sizes[x]; }
    i32 adj(i32 x, i32 p) const { return csr_.target(x, p); }
    std::int8_t lab(i32 x) const { return labels_[x]; }
    float weight(i32 x, i32 p) const { return csr_.weights[at(x, p)]; }

    void load() {
        const ListsView lists{in_.n, in_.adjacency, in_.sizes};
        csr_.load(lists, with_weights_ ? in_.weights : nullptr, poll_);
        csr_.index_reverse(poll_);
        n_ = csr_.node_count();
        labels_.resize(n_);
        listed_by_.resize(n_);
        for (i32 i = 0; i < n_; ++i) {
            labels_[i] = label_at(in_, i);
            listed_by_[i] = static_cast<i32>(csr_.rev_offsets[i + 1] - csr_.rev_offsets[i]);
        }
        component_.assign(n_, -1);
        covered_.assign(n_, 0);
        on_path_.assign(n_, 0);
        first_positions_begin_.assign(n_, 0);
        first_positions_count_.assign(n_, 0);
        is_first_entry_.assign(csr_.targets.size(), 0);
    }

    // Collects the component of x (entries followed both ways) under a new id.
    bool gather(i32 x) {
        const i32 id = static_cast<i32>(summaries_.size());
        summaries_.emplace_back();
        nodes_.assign(1, x);
        component_[x] = id;
        for (std::size_t k = 0; k < nodes_.size(); ++k) {
            if (poll_.tick()) return false;
            const i32 y = nodes_[k];
            for (i32 p = 0; p < size(y); ++p) {
                const i32 z = adj(y, p);
                if (component_[z] != id) {
                    component_[z] = id;
                    nodes_.push_back(z);
                }
            }
            for (i64 k2 = csr_.rev_offsets[y]; k2 < csr_.rev_offsets[y] + listed_by_[y]; ++k2) {
                const i32 z = csr_.rev_sources[k2];
                if (component_[z] != id) {
                    component_[z] = id;
                    nodes_.push_back(z);
                }
            }
        }
        return true;
    }

    // First position of v in x's list (built for the current component), or -1.
    i32 first_pos(i32 x, i32 v) const {
        const auto b = first_positions_.begin() + static_cast<std::ptrdiff_t>(first_positions_begin_[x]);
        const auto e = b + first_positions_count_[x];
        const auto it = std::lower_bound(b, e, std::make_pair(v, std::numeric_limits<i32>::min()));
        return (it != e && it->first == v) ? it->second : -1;
    }

    // Rebuilds the subgraph of the component in nodes_; fills its summary or its first error.
    bool build(Error& err) {
        ++epoch_;
        const i32 id = component_[nodes_[0]];
        first_positions_.clear();
        starts_.clear();
        for (i32 x : nodes_) {
            const std::size_t b = first_positions_.size();
            first_positions_begin_[x] = static_cast<i64>(b);
            for (i32 p = 0; p < size(x); ++p) first_positions_.emplace_back(adj(x, p), p);
            std::sort(first_positions_.begin() + static_cast<std::ptrdiff_t>(b), first_positions_.end());
            first_positions_.erase(std::unique(first_positions_.begin() + static_cast<std::ptrdiff_t>(b), first_positions_.end(),
                                  [](const std::pair<i32, i32>& l, const std::pair<i32, i32>& r) { return l.first == r.first; }),
                      first_positions_.end());
            first_positions_count_[x] = static_cast<i32>(first_positions_.size() - b);
            for (std::size_t k = b; k < first_positions_.size(); ++k) is_first_entry_[at(x, first_positions_[k].second)] = epoch_;
            if (lab(x) != -1) starts_.push_back(x);
        }
        std::sort(starts_.begin(), starts_.end());
        levels_.clear();
        sub_.clear();
        sub_index_.clear();
        copy_error_ = Error{};

        for (i32 s : starts_) {
            if (covered_[s] == epoch_) continue;
            start_ = s;
            bool found = false;
            if (!explore(s, found, err)) return false;
            if (err.set()) return true;
            if (!found) covered_[s] = epoch_;
        }
        if (copy_error_.set()) {
            err = copy_error_;
            return true;
        }
        if (with_weights_) summarize(id);
        return true;
    }

    // The chain of levels from start s, depth first in the driver's order.
    bool explore(i32 s, bool& found, Error& err) {
        std::vector<Level> chain;
        walk_log_.clear();
        chain.push_back({s, -1, children_.size(), children_.size(), 0});
        levels_[key(s, -1)] = 1;
        if (!search(s, -1)) return false;
        chain.back().child_next = chain.back().child_begin;
        found = children_.size() > chain.back().child_begin;
        while (!chain.empty()) {
            Level& lv = chain.back();
            if (lv.child_next == children_.size()) {
                levels_[key(lv.start, lv.bomb)] = 2;
                children_.resize(lv.child_begin);
                remember_walks(lv);
                chain.pop_back();
                continue;
            }
            const std::pair<i32, i32> c = children_[lv.child_next++];
            std::uint8_t& state = levels_[key(c.first, c.second)];
            if (state == 2) continue;
            if (state == 1) {
                err.status = CutStatus::recursion;
                err.phase = 1;
                err.start = s;
                err.a = c.first;
                err.b = c.second;
                children_.clear();
                return true;
            }
            state = 1;
            const std::size_t begin = children_.size();
            const std::size_t log_begin = walk_log_.size();
            if (!search(c.first, c.second)) return false;
            chain.push_back({c.first, c.second, begin, begin, log_begin});
        }
        return true;
    }

    static std::uint64_t key(i32 start, i32 bomb) {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(start)) << 32) | static_cast<std::uint32_t>(bomb + 1);
    }

    // The labelled path search from root r with bomb node bomb: records each path's steps in
    // order and appends (end node, node before it) for every path, in the driver's order.
    bool search(i32 r, i32 bomb) {
        const std::int8_t root_label = lab(r);
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
            const i32 x = top.node;
            if (top.idx == size(x)) {
                on_path_[x] = 0;
                if (remember_walks_ && path_.size() > 1)
                    walk_log_.emplace_back(at(path_[path_.size() - 2].node, top.via), paths_found_ > top.found_before);
                path_.pop_back();
                recorded = std::min(recorded, path_.size());
                continue;
            }
            const i32 p = top.idx++;
            if (is_first_entry_[at(x, p)] != epoch_) continue;  // a repeated entry leads to the same paths
            const i32 v = adj(x, p);
            if (on_path_[v]) continue;
            if (lab(v) == root_label) continue;
            if (v == bomb) continue;
            if (lab(v) > -1) {
                record_route(recorded, x, v, p);
                children_.emplace_back(v, x);
                continue;
            }
            if (remember_walks_) {
                const std::uint8_t walked = walked_table(root_label)[at(x, p)];
                if (walked & kWalked) {
                    // All beyond was found before: only the route up to v can be new.
                    if (walked & kPathsBeyond) record_route(recorded, x, v, p);
                    continue;
                }
            }
            on_path_[v] = 1;
            path_.push_back({v, 0, p, paths_found_});
        }
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
        if (table.empty()) table.assign(csr_.targets.size(), 0);
        return table;
    }

    // A finished level's walks, for later levels with the same root label.
    void remember_walks(const Level& lv) {
        if (!remember_walks_) return;
        std::vector<std::uint8_t>& table = walked_table(lab(lv.start));
        for (std::size_t k = lv.log_begin; k < walk_log_.size(); ++k)
            table[walk_log_[k].first] = walk_log_[k].second ? kWalked | kPathsBeyond : kWalked;
        walk_log_.resize(lv.log_begin);
    }

    // One step a -> b of a collected path, b at position pab of a's list.
    void record(i32 a, i32 b, i32 pab) {
        covered_[a] = epoch_;
        covered_[b] = epoch_;
        const std::uint64_t k = a < b ? key(a, b) : key(b, a);
        if (sub_index_.count(k)) return;
        const i32 pba = first_pos(b, a);
        if (pba < 0) {
            // The copy looks a up in b's list and fails; the first such step raises.
            if (!copy_error_.set()) {
                copy_error_.status = CutStatus::not_in_list;
                copy_error_.phase = 3;
                copy_error_.start = start_;
                copy_error_.a = a;
                copy_error_.b = b;
            }
            return;
        }
        sub_index_.emplace(k, static_cast<i32>(sub_.size()));
        sub_.push_back({a, b, pab, pba});
    }

    void summarize(i32 id) {
        Summary& s = summaries_[id];
        s = Summary{};
        s.nonempty = !sub_.empty();
        RunningMax running;
        for (const Edge& e : sub_) {
            for (float w : {weight(e.a, e.pab), weight(e.b, e.pba)}) {
                const MaxOffer offer = running.offer(w);
                if (offer == MaxOffer::raised) s.count = 1;
                else if (offer == MaxOffer::equal) ++s.count;
            }
        }
        s.has_max = s.count > 0;
        s.max = running.value;
        if (s.has_max) {
            i32 best_pos = 0;
            for (const Edge& e : sub_) {
                if (!(weight(e.a, e.pab) == s.max || weight(e.b, e.pba) == s.max)) continue;
                const i32 lo = std::min(e.a, e.b), hi = std::max(e.a, e.b);
                const i32 pos = lo == e.a ? e.pab : e.pba;
                if (s.a < 0 || lo < s.a || (lo == s.a && pos < best_pos)) {
                    s.a = lo;
                    s.b = hi;
                    best_pos = pos;
                }
            }
            by_max_.insert({s.max, s.a, id});
        }
        if (s.nonempty) ++nonempty_;
    }

    void drop_summary(i32 id) {
        Summary& s = summaries_[id];
        if (s.has_max) by_max_.erase({s.max, s.a, id});
        if (s.nonempty) --nonempty_;
        s = Summary{};
    }

    i32 find_entry(i32 x, i32 v) const {
        for (i32 p = 0; p < size(x); ++p)
            if (adj(x, p) == v) return p;
        return -1;
    }

    void erase_entry(i32 x, i32 p) {
        const auto list = csr_.targets.begin() + csr_.offsets[x];
        std::copy(list + p + 1, list + size(x), list + p);
        if (with_weights_) {
            const auto weights = csr_.weights.begin() + csr_.offsets[x];
            std::copy(weights + p + 1, weights + size(x), weights + p);
        }
        --csr_.sizes[x];
    }

    // x no longer lists v once.
    void erase_incoming(i32 v, i32 x) {
        const i64 b = csr_.rev_offsets[v];
        i32& s = listed_by_[v];
        for (i64 k = b; k < b + s; ++k) {
            if (csr_.rev_sources[k] == x) {
                csr_.rev_sources[k] = csr_.rev_sources[b + s - 1];
                --s;
                return;
            }
        }
    }

    // The driver's four pops: both positions are found before either entry goes.
    void cut(i32 a, i32 b) {
        const i32 pa = find_entry(a, b);
        const i32 pb = find_entry(b, a);
        erase_entry(a, pa);
        erase_entry(b, pb);
        erase_incoming(b, a);
        erase_incoming(a, b);
    }

    const CutInput& in_;
    StopPoll& poll_;
    // In a forest, the paths beyond an entry depend only on the root label: per root label, the
    // entries that a finished level has walked through, and whether paths lay beyond them.
    static constexpr std::uint8_t kWalked = 1, kPathsBeyond = 2;
    bool remember_walks_ = false;
    std::vector<std::vector<std::uint8_t>> walked_;  // by label + 128
    std::vector<std::pair<std::size_t, bool>> walk_log_;  // entries walked by the levels on the chain
    std::size_t paths_found_ = 0;  // by the running search
    bool with_weights_;
    i32 n_ = 0;
    Csr csr_;  // shrinks as edges are cut
    std::vector<std::int8_t> labels_;
    std::vector<i32> listed_by_;  // live reverse entries per node, at the start of its range

    std::vector<i32> component_;
    std::vector<Summary> summaries_;
    std::set<Ranked> by_max_;
    i64 nonempty_ = 0;

    // Scratch of one rebuild.
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
    std::unordered_map<std::uint64_t, std::uint8_t> levels_;  // 1 on the chain, 2 done
    std::vector<Edge> sub_;
    std::unordered_map<std::uint64_t, i32> sub_index_;
    Error copy_error_;
    i32 start_ = 0;
};

}  // namespace cut_detail
}  // namespace brov
