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
//   edges are cut, so one pass over the edges, heaviest first, decides every cut;
// - the exact planner, for every other input: the literal rebuild-after-every-cut loop, with the
//   rebuild restricted to the components that the last cut touched (exploration never leaves a
//   component, and the start node order restricted to a component is the same). A cut costs a
//   rebuild of its component, so on one big tree this grows with cuts times nodes.
//
// Neither recurses on graph depth: every walk keeps an explicit stack.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brov {

struct CutInput {
    std::int64_t n = 0;                              // nodes = labels length = number of lists
    const std::int64_t* const* adjacency = nullptr;  // adjacency[i]: neighbour indices of node i
    const float* const* weights = nullptr;           // weights[i]: parallel weights
    const std::int32_t* sizes = nullptr;             // entries per list (both containers)
    const std::int8_t* labels = nullptr;             // label of node i at labels[i * label_stride]
    std::ptrdiff_t label_stride = 1;                 // in bytes
};

enum class CutStatus {
    ok,
    no_qualifying_max,  // ValueError "All sub-arrays are empty, cannot pop max"
    lone_max,           // ValueError "Only one entry holds the maximum value, cannot pop max"
    not_in_list,        // ValueError "<detail_a> is not in list": list detail_b lacks detail_a
    recursion,          // RecursionError: exploration from detail_a with bomb node detail_b repeats
    needs_fallback,     // input this planner does not take (detail_a: node, detail_b: bad value)
    interrupted,        // should_stop said so
};

enum class CutMethod {
    automatic,  // the sweep when the input is a simple forest, else the exact planner
    sweep,      // the sweep only; needs_fallback when the input is not a simple forest
    exact,      // the exact planner only
};

struct CutOptions {
    CutMethod method = CutMethod::automatic;
    bool (*should_stop)(void*) = nullptr;  // polled every 2^16 steps or so
    void* stop_context = nullptr;
};

struct CutResult {
    CutStatus status = CutStatus::ok;
    bool swept = false;  // the sweep produced the plan
    std::int64_t detail_a = -1;
    std::int64_t detail_b = -1;
};

using CutList = std::vector<std::pair<std::int32_t, std::int32_t>>;

// On every status but needs_fallback and interrupted, `cuts` holds the edges the driver removes
// before it stops, in order (for an error status: the cuts it made before raising).
inline CutResult plan_cuts(const CutInput& input, CutList& cuts, const CutOptions& options = {});

// Linear-time test for the inputs the sweep covers.
inline bool is_simple_forest(const CutInput& input, const CutOptions& options = {}, bool* stopped = nullptr);

namespace cut_detail {

using i32 = std::int32_t;
using i64 = std::int64_t;

// pop_max starts its running maximum at -1.0 and compares with > and ==: NaN and values below
// -1.0 never take part.
inline bool qualifies(float w) { return w >= -1.0f; }

inline std::int8_t label_at(const CutInput& in, i64 node) { return in.labels[node * in.label_stride]; }

class Poll {
public:
    explicit Poll(const CutOptions& o) : fn_(o.should_stop), ctx_(o.stop_context) {}
    // True once the callback has asked to stop.
    bool tick() {
        if ((++count_ & 0xFFFF) == 0 && fn_ && !stopped_) stopped_ = fn_(ctx_);
        return stopped_;
    }
    bool stopped() const { return stopped_; }
    // For the long linear passes: leaves the planner by exception (caught in plan_cuts).
    struct Stopped {};
    void check() {
        if (tick()) throw Stopped{};
    }

private:
    bool (*fn_)(void*);
    void* ctx_;
    std::uint64_t count_ = 0;
    bool stopped_ = false;
};

// Node count, sizes and every stored neighbour index within range; otherwise the input is left
// to the caller's own route (the driver reads labels there without a range check).
inline bool check_ranges(const CutInput& in, CutResult& res, Poll& poll) {
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
        const std::int64_t* list = in.adjacency[i];
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

struct ForestEdge {
    i32 a, b;  // a < b
    i32 pos;   // position of b in a's list: the tie-break among equal weights
    float w;
};

// Lists up to this long are searched entry by entry; longer ones by bisection when sorted.
constexpr i32 kShortList = 16;

// Collects the edges by looking each entry (i, v), i < v, up in v's list: the input is symmetric
// with no duplicates exactly when every such entry finds v listing i, no pair (i, v) comes twice,
// and there are as many entries (v, i) with v > i (the first mirrors of distinct pairs are then
// all of them). A pair listed twice makes a cycle, which the caller's forest test rejects. On the
// short or sorted lists of trees this reads each list about once. Returns 1 when the entries
// pair up, 0 when they do not, and -1 when a long unsorted list would make the lookups slow (the
// caller then pairs them by counting sort).
inline int collect_by_lookup(const CutInput& in, std::vector<ForestEdge>& edges, Poll& poll) {
    const i64 n = in.n;
    i64 entries = 0;
    for (i64 i = 0; i < n; ++i) {
        poll.check();
        const std::int64_t* list = in.adjacency[i];
        const i32 size = in.sizes[i];
        entries += size;
        if (size <= kShortList) continue;
        for (i32 p = 1; p < size; ++p)
            if (list[p - 1] > list[p]) return -1;
    }
    i64 up = 0, down = 0;
    edges.reserve(static_cast<std::size_t>(entries / 2));
    for (i64 i = 0; i < n; ++i) {
        poll.check();
        const std::int64_t* list = in.adjacency[i];
        for (i32 p = 0; p < in.sizes[i]; ++p) {
            const i64 v = list[p];
            if (v == i) return 0;
            if (v < i) {
                ++down;
                continue;
            }
            ++up;
            const std::int64_t* other = in.adjacency[v];
            const i32 size = in.sizes[v];
            i32 q = 0;
            if (size <= kShortList) {
                while (q < size && other[q] != i) ++q;
            } else {
                q = static_cast<i32>(std::lower_bound(other, other + size, i) - other);
            }
            if (q >= size || other[q] != i) return 0;
            const float w1 = in.weights[i][p];
            const float w2 = in.weights[v][q];
            if (!(w1 == w2 || (!qualifies(w1) && !qualifies(w2)))) return 0;
            edges.push_back({static_cast<i32>(i), static_cast<i32>(v), p, w1});
        }
    }
    return up == down ? 1 : 0;
}

// No cycles: every edge joins two trees.
inline bool acyclic(i64 n, const std::vector<ForestEdge>& edges, Poll& poll) {
    std::vector<i32> parent(static_cast<std::size_t>(n));
    for (i64 i = 0; i < n; ++i) parent[static_cast<std::size_t>(i)] = static_cast<i32>(i);
    auto find = [&](i32 x) {
        while (parent[static_cast<std::size_t>(x)] != x) {
            parent[static_cast<std::size_t>(x)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(x)])];
            x = parent[static_cast<std::size_t>(x)];
        }
        return x;
    };
    for (const ForestEdge& e : edges) {
        poll.check();
        const i32 ra = find(e.a), rb = find(e.b);
        if (ra == rb) return false;
        parent[static_cast<std::size_t>(ra)] = rb;
    }
    return true;
}

// Collects the undirected edges when the input is a simple forest; false otherwise. Assumes
// check_ranges passed.
inline bool collect_forest(const CutInput& in, std::vector<ForestEdge>& edges, Poll& poll) {
    const i64 n = in.n;
    edges.clear();
    for (i64 i = 0; i < n; ++i) {
        poll.check();
        const std::int8_t l = label_at(in, i);
        if (l < -1) return false;
    }
    const int looked_up = collect_by_lookup(in, edges, poll);
    if (looked_up >= 0) return looked_up == 1 && acyclic(n, edges, poll);
    edges.clear();
    // Incoming entries grouped by target, to match each entry with its reverse.
    std::vector<i64> in_off(static_cast<std::size_t>(n) + 1, 0);
    for (i64 i = 0; i < n; ++i) {
        poll.check();
        for (i32 p = 0; p < in.sizes[i]; ++p) {
            const i64 v = in.adjacency[i][p];
            if (v == i) return false;
            ++in_off[static_cast<std::size_t>(v) + 1];
        }
    }
    for (i64 j = 0; j < n; ++j) {
        if (in_off[static_cast<std::size_t>(j) + 1] != in.sizes[j]) return false;
        in_off[static_cast<std::size_t>(j) + 1] += in_off[static_cast<std::size_t>(j)];
    }
    const i64 m = in_off[static_cast<std::size_t>(n)];
    if (m % 2 != 0) return false;
    std::vector<i32> in_src(static_cast<std::size_t>(m)), in_pos(static_cast<std::size_t>(m));
    {
        std::vector<i64> fill(in_off.begin(), in_off.end() - 1);
        for (i64 i = 0; i < n; ++i) {
            poll.check();
            for (i32 p = 0; p < in.sizes[i]; ++p) {
                const std::size_t k = static_cast<std::size_t>(fill[static_cast<std::size_t>(in.adjacency[i][p])]++);
                in_src[k] = static_cast<i32>(i);
                in_pos[k] = p;
            }
        }
    }
    std::vector<i32> stamp(static_cast<std::size_t>(n), -1), where(static_cast<std::size_t>(n), 0);
    edges.reserve(static_cast<std::size_t>(m / 2));
    for (i64 j = 0; j < n; ++j) {
        poll.check();
        for (i32 p = 0; p < in.sizes[j]; ++p) {
            const std::size_t v = static_cast<std::size_t>(in.adjacency[j][p]);
            if (stamp[v] == j) return false;  // duplicate neighbour
            stamp[v] = static_cast<i32>(j);
            where[v] = p;
        }
        // As many incoming entries as outgoing ones, and each comes from an out-neighbour: with no
        // duplicates that pairs every entry with its reverse.
        for (i64 k = in_off[static_cast<std::size_t>(j)]; k < in_off[static_cast<std::size_t>(j) + 1]; ++k) {
            const i32 i = in_src[static_cast<std::size_t>(k)];
            if (stamp[static_cast<std::size_t>(i)] != j) return false;
            if (i < j) {
                const float w1 = in.weights[i][in_pos[static_cast<std::size_t>(k)]];
                const float w2 = in.weights[j][where[static_cast<std::size_t>(i)]];
                if (!(w1 == w2 || (!qualifies(w1) && !qualifies(w2)))) return false;
                edges.push_back({i, static_cast<i32>(j), in_pos[static_cast<std::size_t>(k)], w1});
            }
        }
    }
    return acyclic(n, edges, poll);
}

// The sweep over a simple forest.
//
// A region is a maximal tree of unlabelled nodes together with the labelled nodes on its border;
// paths between labels run inside one region, so each labelled node gets one leaf copy per incident
// edge and regions become separate trees. An edge lies on a path between two different labels
// exactly when both of its sides hold a border leaf and its piece holds at least two distinct
// labels. Unlabelled leaves are pruned as they appear, so every live edge has border leaves on both
// sides, and the test reduces to the piece's distinct label count. A cut splits its piece; the
// smaller side, found by walking both sides in lock step, takes a new piece id.
class Sweep {
public:
    Sweep(const CutInput& in, std::vector<ForestEdge>& edges, Poll& poll) : in_(in), edges_(edges), poll_(poll) {}

    CutStatus run(CutList& cuts) {
        build();
        peel();
        link();
        assign_pieces();

        // Only edges that can still be cut are ordered: live ones in a piece with two labels.
        std::vector<i32> order;
        for (std::size_t e = 0; e < edges_.size(); ++e) {
            poll_.check();
            if (dead_[e] || !qualifies(edges_[e].w)) continue;
            if (counts_[static_cast<std::size_t>(piece_[static_cast<std::size_t>(end_[2 * e])])].size() < 2) continue;
            order.push_back(static_cast<i32>(e));
        }
        const std::vector<ForestEdge>& es = edges_;
        Poll& poll = poll_;
        std::sort(order.begin(), order.end(), [&es, &poll](i32 x, i32 y) {
            poll.check();
            const ForestEdge& ex = es[static_cast<std::size_t>(x)];
            const ForestEdge& ey = es[static_cast<std::size_t>(y)];
            if (ex.w != ey.w) return ex.w > ey.w;  // equal as floats (0.0 and -0.0) is a tie
            if (ex.a != ey.a) return ex.a < ey.a;
            return ex.pos < ey.pos;
        });

        for (i32 e : order) {
            if (poll_.tick()) return CutStatus::interrupted;
            if (dead_[static_cast<std::size_t>(e)]) continue;
            const i32 u = end_[2 * static_cast<std::size_t>(e)];
            const i32 v = end_[2 * static_cast<std::size_t>(e) + 1];
            if (counts_[static_cast<std::size_t>(piece_[static_cast<std::size_t>(u)])].size() < 2) continue;
            cuts.emplace_back(edges_[static_cast<std::size_t>(e)].a, edges_[static_cast<std::size_t>(e)].b);
            kill(e);
            if (!split(u, v)) return CutStatus::interrupted;
            prune_from(u);
            prune_from(v);
        }
        // Whatever still joins two labels now carries only weights that pop_max never takes.
        for (std::size_t e = 0; e < edges_.size(); ++e) {
            poll_.check();
            if (dead_[e]) continue;
            if (counts_[static_cast<std::size_t>(piece_[static_cast<std::size_t>(end_[2 * e])])].size() >= 2)
                return CutStatus::no_qualifying_max;
        }
        return CutStatus::ok;
    }

private:
    using LabelCounts = std::vector<std::pair<std::int8_t, i32>>;  // sorted by label

    void build() {
        const i64 n = in_.n;
        const std::size_t m = edges_.size();
        end_.resize(2 * m);
        rlabel_.assign(static_cast<std::size_t>(n), -1);
        i64 next = n;
        for (std::size_t e = 0; e < m; ++e) {
            poll_.check();
            for (int side = 0; side < 2; ++side) {
                const i32 x = side == 0 ? edges_[e].a : edges_[e].b;
                const std::int8_t l = label_at(in_, x);
                if (l == -1) {
                    end_[2 * e + static_cast<std::size_t>(side)] = x;
                } else {
                    end_[2 * e + static_cast<std::size_t>(side)] = static_cast<i32>(next++);
                    rlabel_.push_back(l);
                }
            }
        }
        dead_.assign(m, 0);
        piece_.assign(rlabel_.size(), -1);
    }

    // Strips the parts that hang off the label-to-label paths, before any live list exists: a
    // node's degree and the XOR of its edge ids name its last edge once one is left.
    void peel() {
        const std::size_t rn = rlabel_.size();
        std::vector<i32> deg(rn, 0), xr(rn, 0);
        for (std::size_t k = 0; k < end_.size(); ++k) {
            poll_.check();
            ++deg[static_cast<std::size_t>(end_[k])];
            xr[static_cast<std::size_t>(end_[k])] ^= static_cast<i32>(k / 2);
        }
        for (std::size_t s = 0; s < rn; ++s) {
            std::size_t x = s;
            poll_.check();
            while (rlabel_[x] == -1 && deg[x] == 1) {
                poll_.check();
                const i32 e = xr[x];
                const std::size_t y = static_cast<std::size_t>(other(e, static_cast<i32>(x)));
                dead_[static_cast<std::size_t>(e)] = 1;
                deg[x] = 0;
                --deg[y];
                xr[y] ^= e;
                x = y;
            }
        }
    }

    // Live adjacency of the edges that survived peeling.
    void link() {
        const std::size_t rn = rlabel_.size();
        const std::size_t m = edges_.size();
        row_.assign(rn + 1, 0);
        for (std::size_t k = 0; k < 2 * m; ++k) {
            poll_.check();
            if (!dead_[k / 2]) ++row_[static_cast<std::size_t>(end_[k]) + 1];
        }
        for (std::size_t r = 0; r < rn; ++r) row_[r + 1] += row_[r];
        live_.assign(rn, 0);
        slot_.resize(static_cast<std::size_t>(row_[rn]));
        epos_.assign(2 * m, -1);
        for (std::size_t k = 0; k < 2 * m; ++k) {
            poll_.check();
            if (dead_[k / 2]) continue;
            const std::size_t x = static_cast<std::size_t>(end_[k]);
            const i64 p = row_[x] + live_[x]++;
            slot_[static_cast<std::size_t>(p)] = static_cast<i32>(k / 2);
            epos_[k] = p;
        }
    }

    i32 other(i32 e, i32 x) const {
        const i32 a = end_[2 * static_cast<std::size_t>(e)];
        return a == x ? end_[2 * static_cast<std::size_t>(e) + 1] : a;
    }

    // Drops edge e from the live list of its end x (swap with the last live entry).
    void unlink(i32 e, i32 x) {
        const std::size_t se = 2 * static_cast<std::size_t>(e) + (end_[2 * static_cast<std::size_t>(e)] == x ? 0 : 1);
        const i64 p = epos_[se];
        const i64 last = row_[static_cast<std::size_t>(x)] + --live_[static_cast<std::size_t>(x)];
        const i32 f = slot_[static_cast<std::size_t>(last)];
        slot_[static_cast<std::size_t>(p)] = f;
        slot_[static_cast<std::size_t>(last)] = e;
        epos_[2 * static_cast<std::size_t>(f) + (end_[2 * static_cast<std::size_t>(f)] == x ? 0 : 1)] = p;
        epos_[se] = last;
    }

    void kill(i32 e) {
        dead_[static_cast<std::size_t>(e)] = 1;
        unlink(e, end_[2 * static_cast<std::size_t>(e)]);
        unlink(e, end_[2 * static_cast<std::size_t>(e) + 1]);
    }

    // An unlabelled node left with one edge has no label behind it: that edge can join no labels.
    void prune_from(i32 x) {
        while (rlabel_[static_cast<std::size_t>(x)] == -1 && live_[static_cast<std::size_t>(x)] == 1) {
            const i32 e = slot_[static_cast<std::size_t>(row_[static_cast<std::size_t>(x)])];
            const i32 y = other(e, x);
            kill(e);
            x = y;
        }
    }

    void assign_pieces() {
        std::vector<i32> stack;
        for (std::size_t s = 0; s < rlabel_.size(); ++s) {
            if (piece_[s] >= 0 || live_[s] == 0) continue;
            const i32 id = static_cast<i32>(counts_.size());
            stack.assign(1, static_cast<i32>(s));
            piece_[s] = id;
            while (!stack.empty()) {
                poll_.check();
                const i32 x = stack.back();
                stack.pop_back();
                tally(x);
                for (i64 p = row_[static_cast<std::size_t>(x)]; p < row_[static_cast<std::size_t>(x)] + live_[static_cast<std::size_t>(x)]; ++p) {
                    const i32 y = other(slot_[static_cast<std::size_t>(p)], x);
                    if (piece_[static_cast<std::size_t>(y)] < 0) {
                        piece_[static_cast<std::size_t>(y)] = id;
                        stack.push_back(y);
                    }
                }
            }
            counts_.push_back(take_tally());
        }
    }

    void tally(i32 x) {
        const std::int8_t l = rlabel_[static_cast<std::size_t>(x)];
        if (l < 0) return;
        if (tally_[static_cast<std::size_t>(l)]++ == 0) touched_.push_back(l);
    }

    LabelCounts take_tally() {
        std::sort(touched_.begin(), touched_.end());
        LabelCounts out;
        out.reserve(touched_.size());
        for (std::int8_t l : touched_) {
            out.emplace_back(l, tally_[static_cast<std::size_t>(l)]);
            tally_[static_cast<std::size_t>(l)] = 0;
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
            if (idx >= s.live_[static_cast<std::size_t>(cur)]) {
                cur = -1;
                return true;
            }
            const i32 e = s.slot_[static_cast<std::size_t>(s.row_[static_cast<std::size_t>(cur)] + idx++)];
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
        const i32 old_id = piece_[static_cast<std::size_t>(u)];
        const i32 id = static_cast<i32>(counts_.size());
        for (i32 x : small->nodes) {
            piece_[static_cast<std::size_t>(x)] = id;
            tally(x);
        }
        LabelCounts moved = take_tally();
        LabelCounts& rest = counts_[static_cast<std::size_t>(old_id)];
        for (const auto& lc : moved) {
            auto it = std::lower_bound(rest.begin(), rest.end(), lc,
                                       [](const std::pair<std::int8_t, i32>& a, const std::pair<std::int8_t, i32>& b) {
                                           return a.first < b.first;
                                       });
            it->second -= lc.second;
            if (it->second == 0) rest.erase(it);
        }
        counts_.push_back(std::move(moved));
        return true;
    }

    const CutInput& in_;
    std::vector<ForestEdge>& edges_;
    Poll& poll_;
    std::vector<i32> end_;             // region end nodes of edge e at 2e, 2e+1
    std::vector<std::int8_t> rlabel_;  // -1 for unlabelled nodes, the label for leaf copies
    std::vector<i64> row_;             // live adjacency: slot_[row_[x] .. row_[x] + live_[x])
    std::vector<i32> live_;
    std::vector<i32> slot_;
    std::vector<i64> epos_;  // position of each edge end in slot_
    std::vector<std::uint8_t> dead_;
    std::vector<i32> piece_;
    std::vector<LabelCounts> counts_;
    i32 tally_[128] = {};
    std::vector<std::int8_t> touched_;
    Walker walk_[2];
};

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
    Exact(const CutInput& in, Poll& poll) : in_(in), poll_(poll) {}

    CutResult run(CutList& cuts) {
        CutResult res;
        load();
        Error first;
        // Every component is built once at the start.
        for (i32 x = 0; x < n_; ++x) {
            if (comp_[static_cast<std::size_t>(x)] >= 0) continue;
            if (!gather(x)) return interrupted(res);
            Error e;
            if (!build(e)) return interrupted(res);
            if (e.better_than(first)) first = e;
        }
        for (;;) {
            if (first.set()) return first.report(res);
            if (nonempty_ == 0) return res;
            if (ranked_.empty()) {
                res.status = CutStatus::no_qualifying_max;
                return res;
            }
            auto it = ranked_.begin();
            const float top = it->max;
            const Summary& best = sums_[static_cast<std::size_t>(it->comp)];
            i64 held = 0;
            for (; it != ranked_.end() && it->max == top && held < 2; ++it)
                held += sums_[static_cast<std::size_t>(it->comp)].count;
            if (held < 2) {
                res.status = CutStatus::lone_max;
                return res;
            }
            const i32 a = best.a, b = best.b;
            cut(a, b);
            cuts.emplace_back(a, b);

            drop_summary(comp_[static_cast<std::size_t>(a)]);
            if (!gather(a)) return interrupted(res);
            Error e1, e2;
            if (!build(e1)) return interrupted(res);
            if (comp_[static_cast<std::size_t>(b)] != comp_[static_cast<std::size_t>(a)]) {
                if (!gather(b)) return interrupted(res);
                if (!build(e2)) return interrupted(res);
            }
            first = e2.better_than(e1) ? e2 : e1;
        }
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
    struct Edge {
        i32 a, b;
        i32 pab, pba;  // first position of b in a's list, of a in b's list
    };
    struct Frame {
        i32 node;
        i32 idx;  // next entry of node's list to look at
        i32 via;  // position, in the previous node's list, of the entry that led here
    };
    struct Level {
        i32 start, bomb;
        std::size_t child_begin, child_next;
    };

    CutResult& interrupted(CutResult& r) {
        r.status = CutStatus::interrupted;
        return r;
    }

    std::size_t at(i32 x, i32 p) const { return static_cast<std::size_t>(off_[static_cast<std::size_t>(x)] + p); }
    i32 size(i32 x) const { return size_[static_cast<std::size_t>(x)]; }
    i32 adj(i32 x, i32 p) const { return adj_[at(x, p)]; }
    std::int8_t lab(i32 x) const { return lab_[static_cast<std::size_t>(x)]; }

    void load() {
        n_ = static_cast<i32>(in_.n);
        const std::size_t n = static_cast<std::size_t>(n_);
        off_.assign(n + 1, 0);
        size_.resize(n);
        lab_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            size_[i] = in_.sizes[i];
            off_[i + 1] = off_[i] + size_[i];
            lab_[i] = label_at(in_, static_cast<i64>(i));
        }
        const std::size_t m = static_cast<std::size_t>(off_[n]);
        adj_.resize(m);
        w_.resize(m);
        std::vector<i32> indeg(n + 1, 0);
        for (std::size_t i = 0; i < n; ++i) {
            poll_.check();
            for (i32 p = 0; p < size_[i]; ++p) {
                adj_[static_cast<std::size_t>(off_[i]) + static_cast<std::size_t>(p)] = static_cast<i32>(in_.adjacency[i][p]);
                w_[static_cast<std::size_t>(off_[i]) + static_cast<std::size_t>(p)] = in_.weights[i][p];
                ++indeg[static_cast<std::size_t>(in_.adjacency[i][p])];
            }
        }
        // Who lists whom (with multiplicity): components follow entries in either direction.
        ioff_.assign(n + 1, 0);
        for (std::size_t i = 0; i < n; ++i) ioff_[i + 1] = ioff_[i] + indeg[i];
        isize_.assign(n, 0);
        isrc_.resize(m);
        for (std::size_t i = 0; i < n; ++i) {
            poll_.check();
            for (i32 p = 0; p < size_[i]; ++p) {
                const std::size_t v = static_cast<std::size_t>(adj(static_cast<i32>(i), p));
                isrc_[static_cast<std::size_t>(ioff_[v] + isize_[v]++)] = static_cast<i32>(i);
            }
        }
        comp_.assign(n, -1);
        covered_.assign(n, 0);
        on_path_.assign(n, 0);
        fpoff_.assign(n, 0);
        fplen_.assign(n, 0);
        first_.assign(m, 0);
    }

    // Collects the component of x (entries followed both ways) under a new id.
    bool gather(i32 x) {
        const i32 id = static_cast<i32>(sums_.size());
        sums_.emplace_back();
        nodes_.assign(1, x);
        comp_[static_cast<std::size_t>(x)] = id;
        for (std::size_t k = 0; k < nodes_.size(); ++k) {
            if (poll_.tick()) return false;
            const i32 y = nodes_[k];
            for (i32 p = 0; p < size(y); ++p) {
                const i32 z = adj(y, p);
                if (comp_[static_cast<std::size_t>(z)] != id) {
                    comp_[static_cast<std::size_t>(z)] = id;
                    nodes_.push_back(z);
                }
            }
            for (i64 k2 = ioff_[static_cast<std::size_t>(y)]; k2 < ioff_[static_cast<std::size_t>(y)] + isize_[static_cast<std::size_t>(y)]; ++k2) {
                const i32 z = isrc_[static_cast<std::size_t>(k2)];
                if (comp_[static_cast<std::size_t>(z)] != id) {
                    comp_[static_cast<std::size_t>(z)] = id;
                    nodes_.push_back(z);
                }
            }
        }
        return true;
    }

    // First position of v in x's list (built for the current component), or -1.
    i32 first_pos(i32 x, i32 v) const {
        const auto b = fp_.begin() + static_cast<std::ptrdiff_t>(fpoff_[static_cast<std::size_t>(x)]);
        const auto e = b + fplen_[static_cast<std::size_t>(x)];
        const auto it = std::lower_bound(b, e, std::make_pair(v, std::numeric_limits<i32>::min()));
        return (it != e && it->first == v) ? it->second : -1;
    }

    // Rebuilds the subgraph of the component in nodes_; fills its summary or its first error.
    bool build(Error& err) {
        ++epoch_;
        const i32 id = comp_[static_cast<std::size_t>(nodes_[0])];
        fp_.clear();
        starts_.clear();
        for (i32 x : nodes_) {
            const std::size_t b = fp_.size();
            fpoff_[static_cast<std::size_t>(x)] = static_cast<i64>(b);
            for (i32 p = 0; p < size(x); ++p) fp_.emplace_back(adj(x, p), p);
            std::sort(fp_.begin() + static_cast<std::ptrdiff_t>(b), fp_.end());
            fp_.erase(std::unique(fp_.begin() + static_cast<std::ptrdiff_t>(b), fp_.end(),
                                  [](const std::pair<i32, i32>& l, const std::pair<i32, i32>& r) { return l.first == r.first; }),
                      fp_.end());
            fplen_[static_cast<std::size_t>(x)] = static_cast<i32>(fp_.size() - b);
            for (std::size_t k = b; k < fp_.size(); ++k) first_[at(x, fp_[k].second)] = epoch_;
            if (lab(x) != -1) starts_.push_back(x);
        }
        std::sort(starts_.begin(), starts_.end());
        levels_.clear();
        sub_.clear();
        sub_index_.clear();
        copy_error_ = Error{};

        for (i32 s : starts_) {
            if (covered_[static_cast<std::size_t>(s)] == epoch_) continue;
            start_ = s;
            bool found = false;
            if (!explore(s, found, err)) return false;
            if (err.set()) return true;
            if (!found) covered_[static_cast<std::size_t>(s)] = epoch_;
        }
        if (copy_error_.set()) {
            err = copy_error_;
            return true;
        }
        summarize(id);
        return true;
    }

    // The chain of levels from start s, depth first in the driver's order.
    bool explore(i32 s, bool& found, Error& err) {
        std::vector<Level> chain;
        chain.push_back({s, -1, children_.size(), children_.size()});
        levels_[key(s, -1)] = 1;
        if (!search(s, -1)) return false;
        chain.back().child_next = chain.back().child_begin;
        found = children_.size() > chain.back().child_begin;
        while (!chain.empty()) {
            Level& lv = chain.back();
            if (lv.child_next == children_.size()) {
                levels_[key(lv.start, lv.bomb)] = 2;
                children_.resize(lv.child_begin);
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
            if (!search(c.first, c.second)) return false;
            chain.push_back({c.first, c.second, begin, begin});
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
        path_.assign(1, {r, 0, -1});
        on_path_[static_cast<std::size_t>(r)] = 1;
        std::size_t recorded = 1;  // path_[1 .. recorded) have had their incoming step recorded
        while (!path_.empty()) {
            if (poll_.tick()) {
                for (const Frame& f : path_) on_path_[static_cast<std::size_t>(f.node)] = 0;
                return false;
            }
            Frame& top = path_.back();
            const i32 x = top.node;
            if (top.idx == size(x)) {
                on_path_[static_cast<std::size_t>(x)] = 0;
                path_.pop_back();
                recorded = std::min(recorded, path_.size());
                continue;
            }
            const i32 p = top.idx++;
            if (first_[at(x, p)] != epoch_) continue;  // a repeated entry leads to the same paths
            const i32 v = adj(x, p);
            if (on_path_[static_cast<std::size_t>(v)]) continue;
            if (lab(v) == root_label) continue;
            if (v == bomb) continue;
            if (lab(v) > -1) {
                for (std::size_t k = std::max<std::size_t>(recorded, 1); k < path_.size(); ++k)
                    record(path_[k - 1].node, path_[k].node, path_[k].via);
                recorded = path_.size();
                record(x, v, p);
                children_.emplace_back(v, x);
                continue;
            }
            on_path_[static_cast<std::size_t>(v)] = 1;
            path_.push_back({v, 0, p});
        }
        return true;
    }

    // One step a -> b of a collected path, b at position pab of a's list.
    void record(i32 a, i32 b, i32 pab) {
        covered_[static_cast<std::size_t>(a)] = epoch_;
        covered_[static_cast<std::size_t>(b)] = epoch_;
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
        Summary& s = sums_[static_cast<std::size_t>(id)];
        s = Summary{};
        s.nonempty = !sub_.empty();
        for (const Edge& e : sub_) {
            for (float w : {w_[at(e.a, e.pab)], w_[at(e.b, e.pba)]}) {
                if (!qualifies(w)) continue;
                if (!s.has_max || w > s.max) {
                    s.has_max = true;
                    s.max = w;
                    s.count = 1;
                } else if (w == s.max) {
                    ++s.count;
                }
            }
        }
        if (s.has_max) {
            i32 best_pos = 0;
            for (const Edge& e : sub_) {
                if (!(w_[at(e.a, e.pab)] == s.max || w_[at(e.b, e.pba)] == s.max)) continue;
                const i32 lo = std::min(e.a, e.b), hi = std::max(e.a, e.b);
                const i32 pos = lo == e.a ? e.pab : e.pba;
                if (s.a < 0 || lo < s.a || (lo == s.a && pos < best_pos)) {
                    s.a = lo;
                    s.b = hi;
                    best_pos = pos;
                }
            }
            ranked_.insert({s.max, s.a, id});
        }
        if (s.nonempty) ++nonempty_;
    }

    void drop_summary(i32 id) {
        Summary& s = sums_[static_cast<std::size_t>(id)];
        if (s.has_max) ranked_.erase({s.max, s.a, id});
        if (s.nonempty) --nonempty_;
        s = Summary{};
    }

    i32 find_entry(i32 x, i32 v) const {
        for (i32 p = 0; p < size(x); ++p)
            if (adj(x, p) == v) return p;
        return -1;
    }

    void erase_entry(i32 x, i32 p) {
        const std::size_t b = at(x, 0);
        const std::size_t s = static_cast<std::size_t>(size(x));
        std::copy(adj_.begin() + static_cast<std::ptrdiff_t>(b + static_cast<std::size_t>(p) + 1),
                  adj_.begin() + static_cast<std::ptrdiff_t>(b + s), adj_.begin() + static_cast<std::ptrdiff_t>(b + static_cast<std::size_t>(p)));
        std::copy(w_.begin() + static_cast<std::ptrdiff_t>(b + static_cast<std::size_t>(p) + 1),
                  w_.begin() + static_cast<std::ptrdiff_t>(b + s), w_.begin() + static_cast<std::ptrdiff_t>(b + static_cast<std::size_t>(p)));
        --size_[static_cast<std::size_t>(x)];
    }

    // x no longer lists v once.
    void erase_incoming(i32 v, i32 x) {
        const std::size_t b = static_cast<std::size_t>(ioff_[static_cast<std::size_t>(v)]);
        i32& s = isize_[static_cast<std::size_t>(v)];
        for (std::size_t k = b; k < b + static_cast<std::size_t>(s); ++k) {
            if (isrc_[k] == x) {
                isrc_[k] = isrc_[b + static_cast<std::size_t>(s) - 1];
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
    Poll& poll_;
    i32 n_ = 0;
    std::vector<i64> off_;
    std::vector<i32> size_;
    std::vector<i32> adj_;
    std::vector<float> w_;
    std::vector<std::int8_t> lab_;
    std::vector<i64> ioff_;
    std::vector<i32> isize_;
    std::vector<i32> isrc_;

    std::vector<i32> comp_;
    std::vector<Summary> sums_;
    std::set<Ranked> ranked_;
    i64 nonempty_ = 0;

    // Scratch of one rebuild.
    std::uint32_t epoch_ = 0;
    std::vector<i32> nodes_;
    std::vector<i32> starts_;
    std::vector<std::uint32_t> covered_;
    std::vector<std::uint32_t> first_;  // entry is its value's first occurrence in its list
    std::vector<std::pair<i32, i32>> fp_;  // per node: (value, first position), sorted
    std::vector<i64> fpoff_;
    std::vector<i32> fplen_;
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

// `stopped`, when given, tells a false answer that came from options.should_stop.
inline bool is_simple_forest(const CutInput& input, const CutOptions& options, bool* stopped) {
    CutResult scratch;
    cut_detail::Poll poll(options);
    try {
        if (!cut_detail::check_ranges(input, scratch, poll)) return false;
        std::vector<cut_detail::ForestEdge> edges;
        return cut_detail::collect_forest(input, edges, poll);
    } catch (const cut_detail::Poll::Stopped&) {
        if (stopped) *stopped = true;
        return false;
    }
}

inline CutResult plan_cuts(const CutInput& input, CutList& cuts, const CutOptions& options) {
    cuts.clear();
    CutResult res;
    cut_detail::Poll poll(options);
    try {
        if (!cut_detail::check_ranges(input, res, poll)) return res;
        if (options.method != CutMethod::exact) {
            std::vector<cut_detail::ForestEdge> edges;
            // Leaf copies of labelled nodes must stay addressable as 32-bit region nodes.
            if (cut_detail::collect_forest(input, edges, poll) &&
                input.n + 2 * static_cast<std::int64_t>(edges.size()) < std::numeric_limits<std::int32_t>::max()) {
                cut_detail::Sweep sweep(input, edges, poll);
                res.status = sweep.run(cuts);
                res.swept = true;
                return res;
            }
            if (options.method == CutMethod::sweep) {
                res.status = CutStatus::needs_fallback;
                return res;
            }
        }
        cut_detail::Exact exact(input, poll);
        return exact.run(cuts);
    } catch (const cut_detail::Poll::Stopped&) {
        cuts.clear();
        res = CutResult{};
        res.status = CutStatus::interrupted;
        return res;
    }
}

}  // namespace brov
