#include "arrays/emst.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "arrays/disjoint_sets.hpp"
#include "arrays/emst_work.hpp"
#include "arrays/plane_tree.hpp"

namespace brov {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr float kFloatInfinity = std::numeric_limits<float>::infinity();
constexpr std::int64_t kMaxLeaf = 64;  // points of a leaf, unless they are copies of one point

using StackEntry = std::pair<std::int32_t, double>;  // node, its squared box distance

// Per-thread working memory of the neighbour searches.
struct Scratch {
    std::vector<StackEntry> stack;
    std::vector<StackEntry> leaves;  // leaves near the one being searched
    std::vector<double> d2s;         // the listed distances of the leaf's points
};

// Index: the type of point positions and component ids, 32 bits wherever n allows (half the
// memory of the per-point arrays).
template <typename Index>
struct Node {
    Index begin, end;     // range of tree positions
    std::int32_t left, right;  // children, -1 for a leaf
    bool same;                 // a leaf of identical points: only its first one is searched
};

// D > 0: dimension fixed at compile time (unrolled distance loops); D == 0: read from d_.
template <int D, typename Index>
class BoruvkaTree {
    using Node = brov::Node<Index>;
    static constexpr Index kNone = -1;
    static constexpr Index kMixed = -1;  // node_comp_ of a node whose points span components
    // Whether the leaves' distances read a transposed copy of the coordinates (by_leaf_), which
    // pays in many coordinates.
    static constexpr bool kByLeaf = D == 0 || D > 3;

public:
    // The build polls too (4e6 points take about a second): `points` must be memory that the
    // checkpoint's Python code cannot reach.
    BoruvkaTree(const double* points, Index n, int d, const EmstCheckpoint& checkpoint)
        : n_(n), d_(D > 0 ? D : d) {
        SearchPoll poll(checkpoint, kBuildStepsPerPoll);
        build(points, poll);
        copy_by_leaf(poll);
    }

    // Returns the number of edges written: n - 1, unless the rounds stopped joining.
    template <typename Out>
    Index run(Out* edges, const EmstCheckpoint& checkpoint, int max_threads, EmstNeighbours* neighbours) {
        max_threads_ = max_threads;
        asked_ = neighbours ? std::min(neighbours->count, 64) : 0;
        // The passes over every point poll as the build does: at millions of points one pass
        // takes long enough for a Ctrl-C to wait on it.
        SearchPoll poll(checkpoint, kBuildStepsPerPoll);
        const auto n = static_cast<std::size_t>(n_);
        fill_polling(comp_, n, Index(0), poll);
        std::iota(comp_.begin(), comp_.end(), Index(0));
        fill_polling(rank_, n, std::uint8_t(0), poll);
        fill_polling(nearest_, n, kNone, poll);  // no nearest point, the lower bound 0
        fill_polling(best_d2_, n, kInfinity, poll);
        fill_polling(best_from_, n, kNone, poll);
        fill_polling(node_comp_, nodes_.size(), kMixed, poll);
        Index written = join_identical(edges);
        Index components = n_ - written;
        relabel(poll);
        checkpoint(0.0);
        find_neighbours(checkpoint, poll);
        while (components > 1) {
            find_best_edges(checkpoint, poll);
            written = join_components(edges, written, poll);
            const Index before = components;
            components = n_ - written;
            if (components == before) break;  // cannot happen with finite, scaled coordinates
            relabel(poll);
            checkpoint(static_cast<double>(written) / static_cast<double>(n_ - 1));
        }
        free_polling(poll, by_leaf_, nearest_, comp_, best_d2_, best_from_, cursor_);
        if (neighbours) export_lists(*neighbours, poll);
        free_polling(poll, listed_, coords_, order_);
        return written;
    }

private:
    int dim() const { return D > 0 ? D : d_; }

    // The first `kept` of each point's listed neighbours in input rows, and the squared distance
    // (scaled) to the asked-for last one. Copies of a point are left out of every list but one.
    void export_lists(EmstNeighbours& out, SearchPoll& poll) const {
        out.found = false;
        if (asked_ < 1 || std::find(follower_.begin(), follower_.end(), 1) != follower_.end() ||
            static_cast<std::int64_t>(n_) >= std::numeric_limits<std::int32_t>::max())
            return;
        export_neighbour_lists(out, n_, k_, asked_, listed_, order_,
                               [this](Index p, Index q) { return pair_distance2(p, q); }, poll);
    }
    // Offset of row p of `width` entries: 32-bit positions times a width can pass 2^31.
    static std::size_t at(Index p, int width) { return static_cast<std::size_t>(p) * static_cast<std::size_t>(width); }

    // Median splits along the widest side of each node's bounding box, with an explicit stack.
    // With the dimension fixed at compile time the rows themselves are partitioned (sequential
    // memory); otherwise an index array is.
    void build(const double* points, SearchPoll& poll) {
        const int d = dim();
        fill_polling(order_, static_cast<std::size_t>(n_), Index(0), poll);
        std::iota(order_.begin(), order_.end(), Index(0));
        if constexpr (D > 0) {
            struct Row {
                double x[D > 0 ? D : 1];
                Index row;
            };
            std::vector<Row> rows;
            rows.reserve(n_);
            for (Index p = 0; p < n_; ++p) {
                rows.push_back(Row{{}, p});
                std::copy_n(points + at(p, D), D, rows[p].x);
                poll(D);
            }
            split_nodes([&](Index p) { return rows[p].x; },
                        [&](Index begin, Index mid, Index end, int axis) {
                            std::nth_element(rows.begin() + begin, rows.begin() + mid, rows.begin() + end,
                                             [axis, &poll](const Row& a, const Row& b) {
                                                 poll();
                                                 return a.x[axis] < b.x[axis];
                                             });
                        },
                        poll);
            fill_polling(coords_, static_cast<size_t>(n_) * d, 0.0, poll);
            for (Index p = 0; p < n_; ++p, poll(D)) {
                order_[p] = rows[p].row;
                std::copy_n(rows[p].x, D, coords_.data() + at(p, D));
            }
        } else {
            split_nodes([&](Index p) { return points + at(order_[p], d); },
                        [&](Index begin, Index mid, Index end, int axis) {
                            std::nth_element(order_.begin() + begin, order_.begin() + mid, order_.begin() + end,
                                             [&](Index a, Index b) {
                                                 poll();
                                                 return points[at(a, d) + axis] < points[at(b, d) + axis];
                                             });
                        },
                        poll);
            fill_polling(coords_, static_cast<size_t>(n_) * d, 0.0, poll);
            for (Index p = 0; p < n_; ++p, poll(d)) std::copy_n(points + at(order_[p], d), d, coords_.data() + at(p, d));
        }
    }

    template <typename RowAt, typename Partition>
    void split_nodes(RowAt row_at, Partition partition, SearchPoll& poll) {
        const int d = dim();
        const Index leaf_size = d <= 3 ? 16 : d <= 6 ? 24 : kMaxLeaf;
        nodes_.push_back({0, n_, -1, -1, false});
        std::vector<std::int32_t> stack{0};
        while (!stack.empty()) {
            const std::int32_t id = stack.back();
            stack.pop_back();
            const Index begin = nodes_[id].begin, end = nodes_[id].end;
            lo_.resize(nodes_.size() * d);
            hi_.resize(nodes_.size() * d);
            double* lo = &lo_[id * d];
            double* hi = &hi_[id * d];
            std::copy_n(row_at(begin), d, lo);
            std::copy_n(row_at(begin), d, hi);
            for (Index p = begin + 1; p < end; ++p) {
                const double* x = row_at(p);
                for (int k = 0; k < d; ++k) {
                    lo[k] = std::min(lo[k], x[k]);
                    hi[k] = std::max(hi[k], x[k]);
                }
            }
            poll(static_cast<std::int64_t>(end - begin) * d);
            int axis = 0;
            for (int k = 1; k < d; ++k)
                if (hi[k] - lo[k] > hi[axis] - lo[axis]) axis = k;
            if (!(hi[axis] > lo[axis])) {  // identical points stay in one leaf
                nodes_[id].same = true;
                continue;
            }
            if (end - begin <= leaf_size) continue;
            const Index mid = begin + (end - begin) / 2;
            partition(begin, mid, end, axis);
            const auto left = static_cast<std::int32_t>(nodes_.size());
            nodes_.push_back({begin, mid, -1, -1, false});
            nodes_.push_back({mid, end, -1, -1, false});
            nodes_[id].left = left;
            nodes_[id].right = left + 1;
            stack.push_back(left + 1);
            stack.push_back(left);
        }
        lo_.resize(nodes_.size() * d);
        hi_.resize(nodes_.size() * d);
        for (std::size_t id = 0; id < nodes_.size(); ++id)
            if (nodes_[id].left < 0) leaves_.push_back(static_cast<std::int32_t>(id));
    }

    // A second copy of the coordinates, each leaf's block stored coordinate by coordinate.
    void copy_by_leaf(SearchPoll& poll) {
        if (!kByLeaf) return;
        const int d = dim();
        fill_polling(by_leaf_, coords_.size(), 0.0, poll);
        for (const std::int32_t leaf : leaves_) {
            const Index begin = nodes_[leaf].begin, size = nodes_[leaf].end - begin;
            poll(size * d);
            double* block = &by_leaf_[at(begin, d)];
            for (Index j = 0; j < size; ++j)
                for (int k = 0; k < d; ++k) block[k * size + j] = coords_[at(begin + j, d) + k];
        }
    }

    // The squared distance from p to j, as leaf_distances2 sums it for p's query (the same
    // operations in the same order, so the same double): the rounds compare it with those.
    double pair_distance2(Index p, Index j) const {
        const double* q = &coords_[at(p, dim())];
        const double* x = &coords_[at(j, dim())];
        double s = 0.0;
        for (int k = 0; k < dim(); ++k) {
            const double t = x[k] - q[k];
            s += t * t;
        }
        return s;
    }

    // The largest float not above x (a bound that stays a lower bound).
    static float float_below(double x) {
        const float f = static_cast<float>(x);
        return static_cast<double>(f) > x ? std::nextafter(f, -kFloatInfinity) : f;
    }

    // Squared distance between the boxes [lo_a, hi_a] and [lo_b, hi_b] (a point is a box of its own).
    double gap_distance2(const double* lo_a, const double* hi_a, const double* lo_b, const double* hi_b) const {
        double s = 0.0;
        for (int k = 0; k < dim(); ++k) {
            const double t = std::max(std::max(lo_b[k] - hi_a[k], lo_a[k] - hi_b[k]), 0.0);
            s += t * t;
        }
        return s;
    }

    double boxes_distance2(std::int32_t a, std::int32_t b) const {
        return gap_distance2(&lo_[a * dim()], &hi_[a * dim()], &lo_[b * dim()], &hi_[b * dim()]);
    }

    double box_distance2(std::int32_t node, const double* q) const {
        return gap_distance2(&lo_[node * dim()], &hi_[node * dim()], q, q);
    }

    // The other end of the edge that p offers in a round: its list's entry at the cursor while the
    // list lasts, then its nearest point. Neither moves until the round's joins.
    Index partner(Index p) const { return cursor_[p] < k_ ? listed_[at(p, k_) + cursor_[p]] : nearest(p); }

    // (smaller, larger) end of the best edge of component c.
    std::pair<Index, Index> best_edge(Index c) const {
        const Index p = best_from_[c], q = partner(p);
        return {std::min(p, q), std::max(p, q)};
    }

    // Keeps the smaller of the component's best edge and (d2, a, b) in the strict edge order; a is
    // the point of c that offers the edge, b its partner.
    void offer(Index c, double d2, Index a, Index b) {
        if (d2 < best_d2_[c] || (d2 == best_d2_[c] && std::make_pair(std::min(a, b), std::max(a, b)) < best_edge(c))) {
            best_d2_[c] = d2;
            best_from_[c] = a;
        }
    }

    // The k nearest neighbours of every point, sorted by (d2, position). A point's nearest
    // neighbour in another component is the first entry of its list in another component, as long
    // as the list has one; components only grow, so each list is read once from front to back.
    void find_neighbours(const EmstCheckpoint& checkpoint, SearchPoll& poll) {
        // In the plane six search as fast as eight (bench/bench_scale.py), 8 bytes a point less; in
        // 3-D the last two still pay.
        k_ = static_cast<int>(std::min<Index>(std::max(dim() <= 2 ? 6 : dim() <= 3 ? 8 : 4, asked_), n_ - 1));
        fill_polling(listed_, static_cast<size_t>(n_) * k_, kNone, poll);
        fill_polling(cursor_, static_cast<size_t>(n_), std::uint8_t(0), poll);
        for (Index p = 0; p < n_; ++p) cursor_[p] = static_cast<std::uint8_t>(follower_[p] ? k_ : 0);
        // Independent searches over a read-only tree: shared out in chunks between this thread and
        // a few helpers. Only this thread polls, between its chunks.
        constexpr Index kChunk = 4;  // leaves
        std::atomic<Index> next{0};
        std::atomic<bool> stop{false};  // set when this thread's checkpoint throws
        const std::vector<std::int32_t>& leaves = leaves_;
        const auto leaf_count = static_cast<Index>(leaves.size());
        auto work_chunk = [&](Scratch& scratch, const Proceed& proceed) {
            const Index begin = next.fetch_add(kChunk);
            if (begin >= leaf_count || stop.load()) return false;
            for (Index l = begin, end = std::min(begin + kChunk, leaf_count); l < end; ++l)
                search_leaf(leaves[l], scratch, proceed);
            return true;
        };
        share_out<Scratch>(max_threads_, n_, work_chunk, stop, checkpoint);
    }

    // The lists of one leaf's points. Each starts from the leaf itself, which usually fills it;
    // the largest k-th distance in the leaf then bounds which other leaves can hold a nearer
    // point, and those are gathered once for the whole leaf, nearest first.
    void search_leaf(std::int32_t leaf, Scratch& scratch, const Proceed& proceed) {
        const Node& nd = nodes_[leaf];
        // The lists' distances live only while the leaf is searched (the rounds recompute the few
        // they read): n x k of them would be the largest array of the build.
        scratch.d2s.assign(at(nd.end - nd.begin, k_), kInfinity);
        const auto d2s_of = [&](Index p) { return &scratch.d2s[at(p - nd.begin, k_)]; };
        double bound = 0.0;
        for (Index p = nd.begin; p < nd.end; ++p) {
            if (follower_[p]) continue;
            if (!proceed()) return;
            scan_k(nd, p, &coords_[at(p, dim())], &listed_[at(p, k_)], d2s_of(p));
            bound = std::max(bound, d2s_of(p)[k_ - 1]);
        }
        if (!(bound < kInfinity)) {  // some list is not full yet: search the tree point by point
            for (Index p = nd.begin; p < nd.end; ++p)
                if (!follower_[p] && proceed()) search_k(p, leaf, &listed_[at(p, k_)], d2s_of(p), scratch.stack);
            return;
        }
        auto& near = scratch.leaves;
        near_leaves(leaf, bound, [leaf](std::int32_t node) { return node == leaf; }, scratch.stack, near);
        for (Index p = nd.begin; p < nd.end; ++p) {
            if (follower_[p]) continue;
            if (!proceed()) return;
            const double* q = &coords_[at(p, dim())];
            Index* idx = &listed_[at(p, k_)];
            double* d2s = d2s_of(p);
            for (const auto& [other, leaves_d2] : near) {
                if (leaves_d2 > d2s[k_ - 1]) break;
                if (box_distance2(other, q) <= d2s[k_ - 1]) scan_k(nodes_[other], p, q, idx, d2s);
            }
        }
    }

    // The leaves within bound of a leaf's box, nearest first, leaving out the subtrees that skip
    // names.
    template <typename Skip>
    void near_leaves(std::int32_t leaf, double bound, const Skip& skip, std::vector<StackEntry>& stack,
                     std::vector<StackEntry>& near) const {
        near.clear();
        stack.clear();
        stack.push_back({0, 0.0});
        while (!stack.empty()) {
            const auto [node, node_d2] = stack.back();
            stack.pop_back();
            if (skip(node)) continue;
            const Node& other = nodes_[node];
            if (other.left < 0) {
                near.push_back({node, node_d2});
                continue;
            }
            for (const std::int32_t child : {other.left, other.right}) {
                const double d2 = boxes_distance2(leaf, child);
                if (d2 <= bound) stack.push_back({child, d2});
            }
        }
        std::sort(near.begin(), near.end(), [](const StackEntry& a, const StackEntry& b) { return a.second < b.second; });
    }

    // The rest of the tree for a point whose own leaf has been scanned.
    void search_k(Index p, std::int32_t own, Index* idx, double* d2s, std::vector<StackEntry>& stack) const {
        const double* q = &coords_[at(p, dim())];
        stack.clear();
        stack.push_back({0, 0.0});
        while (!stack.empty()) {
            const auto [node, node_d2] = stack.back();
            stack.pop_back();
            if (node_d2 > d2s[k_ - 1] || node == own) continue;
            const Node& nd = nodes_[node];
            if (nd.left < 0)
                scan_k(nd, p, q, idx, d2s);
            else
                push_children(nd, q, d2s[k_ - 1], stack);
        }
    }

    // Squared distances from q to the points of a leaf (to its first point only, for a leaf of
    // copies): the same sums as pair_distance2, taken one coordinate at a time over the whole leaf so
    // that the compiler can vectorise them. Returns how many were written.
    Index leaf_distances2(const Node& nd, const double* q, double* out) const {
        const Index size = nd.end - nd.begin;
        const Index count = nd.same ? 1 : size;
        std::fill_n(out, count, 0.0);
        // In few coordinates the rows themselves serve (measured as fast, and a copy less).
        const double* block = kByLeaf ? &by_leaf_[at(nd.begin, dim())] : &coords_[at(nd.begin, dim())];
        const Index stride = kByLeaf ? 1 : dim();
        for (int k = 0; k < dim(); ++k) {
            const double* column = kByLeaf ? block + k * size : block + k;
            const double qk = q[k];
            for (Index j = 0; j < count; ++j) {
                const double t = column[j * stride] - qk;
                out[j] += t * t;
            }
        }
        return count;
    }

    void scan_k(const Node& nd, Index p, const double* q, Index* idx, double* d2s) const {
        const int k = k_;
        double distances[kMaxLeaf];
        const Index count = leaf_distances2(nd, q, distances);
        for (Index j = nd.begin, last = nd.begin + count; j < last; ++j) {
            if (j == p) continue;
            const double d2 = distances[j - nd.begin];
            if (d2 > d2s[k - 1] || (d2 == d2s[k - 1] && idx[k - 1] != kNone && j > idx[k - 1])) continue;
            int t = k - 1;
            while (t > 0 && (d2 < d2s[t - 1] || (d2 == d2s[t - 1] && j < idx[t - 1]))) {
                d2s[t] = d2s[t - 1];
                idx[t] = idx[t - 1];
                --t;
            }
            d2s[t] = d2;
            idx[t] = j;
        }
    }

    void push_children(const Node& nd, const double* q, double limit, std::vector<StackEntry>& stack) const {
        const double left_d2 = box_distance2(nd.left, q);
        const double right_d2 = box_distance2(nd.right, q);
        // Nearer child on top of the stack, so it is searched first.
        if (left_d2 <= right_d2) {
            if (right_d2 <= limit) stack.push_back({nd.right, right_d2});
            stack.push_back({nd.left, left_d2});
        } else {
            if (left_d2 <= limit) stack.push_back({nd.left, left_d2});
            stack.push_back({nd.right, right_d2});
        }
    }

    void find_best_edges(const EmstCheckpoint& checkpoint, SearchPoll& step_poll) {
        // Listed and remembered neighbours first: they set tight bounds for the searches.
        for (Index p = 0; p < n_; ++p) {
            step_poll();
            std::uint8_t& t = cursor_[p];
            if (t < k_) {
                const Index c = comp_[p];
                const Index* idx = &listed_[at(p, k_)];
                while (t < k_ && idx[t] != kNone && comp_[idx[t]] == c) ++t;
                if (t < k_ && idx[t] != kNone) {
                    offer(c, pair_distance2(p, idx[t]), p, idx[t]);
                    continue;
                }
                t = static_cast<std::uint8_t>(k_);
                set_lower_d2(p, idx[k_ - 1] == kNone ? kFloatInfinity : float_below(pair_distance2(p, idx[k_ - 1])));
            }
            const Index j = nearest(p);
            if (j == kNone) continue;
            if (comp_[j] != comp_[p]) {
                offer(comp_[p], pair_distance2(p, j), p, j);
            } else {
                set_lower_d2(p, float_below(pair_distance2(p, j)));
            }
        }
        SearchPoll poll(checkpoint);
        for (const std::int32_t leaf : leaves_) {
            if (node_comp_[leaf] != kMixed) {
                search_whole_leaf(leaf, poll);
                continue;
            }
            for (Index p = nodes_[leaf].begin; p < nodes_[leaf].end; ++p) {
                if (!needs_search(p)) continue;
                poll();
                search(p);
            }
        }
    }

    // Whether neither p's list nor its remembered neighbour answers for it, and its lower bound
    // does not rule it out.
    bool needs_search(Index p) const {
        return !follower_[p] && cursor_[p] >= k_ && nearest(p) == kNone && lower_d2(p) <= best_d2_[comp_[p]];
    }

    // The searches of a leaf whose points are all in one component share one walk of the tree: the
    // leaves of other components within the component's bound of this leaf's box, nearest first.
    // Far from other components (inside a large one) that walk ends near the root, and every point
    // of the leaf keeps the bound as its lower bound without a search of its own.
    template <typename Poll>
    void search_whole_leaf(std::int32_t leaf, Poll& poll) {
        const Node& nd = nodes_[leaf];
        const Index c = node_comp_[leaf];
        Index p = nd.begin;
        while (p < nd.end && !needs_search(p)) ++p;
        if (p == nd.end) return;
        if (!(best_d2_[c] < kInfinity)) {  // the first search sets a bound for the walk
            poll();
            search(p++);
        }
        const double bound = best_d2_[c];
        near_leaves(leaf, bound, [this, c](std::int32_t node) { return node_comp_[node] == c; }, stack_, near_);
        for (; p < nd.end; ++p) {
            if (!needs_search(p)) continue;
            poll();
            const double* q = &coords_[at(p, dim())];
            const double limit = best_d2_[c];
            double found_d2 = limit;
            Index found = kNone;
            for (const auto& [other, leaves_d2] : near_) {
                if (leaves_d2 > found_d2) break;
                if (box_distance2(other, q) <= found_d2) scan_other(nodes_[other], c, q, found, found_d2);
            }
            settle(p, c, limit, found, found_d2);
        }
    }

    // Nearest point of a component other than c in a leaf, in the order (d2, position), if it is
    // not beyond found_d2.
    void scan_other(const Node& nd, Index c, const double* q, Index& found, double& found_d2) const {
        double distances[kMaxLeaf];
        const Index count = leaf_distances2(nd, q, distances);
        for (Index j = nd.begin, last = nd.begin + count; j < last; ++j) {
            if (comp_[j] == c) continue;
            const double d2 = distances[j - nd.begin];
            if (d2 < found_d2 || (d2 == found_d2 && (found == kNone || j < found))) {
                found_d2 = d2;
                found = j;
            }
        }
    }

    // The outcome of p's search within limit: its nearest other-component point, or a lower bound.
    void settle(Index p, Index c, double limit, Index found, double found_d2) {
        if (found == kNone) {
            set_lower_d2(p, std::max(lower_d2(p), float_below(limit)));
            return;
        }
        nearest_[p] = found;
        offer(c, found_d2, p, found);
    }

    // Nearest point of another component to p, in the order (d2, position), if one lies within
    // the bound of p's component; otherwise that bound becomes p's lower bound.
    void search(Index p) {
        const Index c = comp_[p];
        const double* q = &coords_[at(p, dim())];
        const double bound = best_d2_[c];
        double found_d2 = bound;
        Index found = kNone;
        stack_.clear();
        stack_.push_back({0, 0.0});
        while (!stack_.empty()) {
            const auto [node, node_d2] = stack_.back();
            stack_.pop_back();
            if (node_d2 > found_d2 || node_comp_[node] == c) continue;
            const Node& nd = nodes_[node];
            if (nd.left < 0)
                scan_other(nd, c, q, found, found_d2);
            else
                push_children(nd, q, found_d2, stack_);
        }
        settle(p, c, bound, found, found_d2);
    }

    // comp_ is the union-find forest too: the searches read it only once relabel has made every
    // entry a root, and the joins only follow it.
    Index find(Index x) { return find_root(comp_, x); }

    Index nearest(Index p) const { return nearest_[p] < 0 ? kNone : nearest_[p]; }
    // Only while p has no nearest point.
    float lower_d2(Index p) const {
        const auto bits = static_cast<std::uint32_t>(~nearest_[p]);
        float bound;
        std::memcpy(&bound, &bits, sizeof bound);
        return bound;
    }
    void set_lower_d2(Index p, float bound) {  // bound >= 0: its bits fit 31 bits
        std::uint32_t bits;
        std::memcpy(&bits, &bound, sizeof bits);
        nearest_[p] = ~static_cast<Index>(bits);
    }

    // Copies of one point are tied to the first of their leaf by zero-length edges up front; they
    // take no part in the searches after that.
    template <typename Out>
    Index join_identical(Out* edges) {
        follower_.assign(n_, 0);
        Index written = 0;
        for (const Node& nd : nodes_) {
            if (!nd.same) continue;
            for (Index p = nd.begin + 1; p < nd.end; ++p) {
                follower_[p] = 1;
                comp_[p] = nd.begin;
                const Index u = order_[nd.begin], v = order_[p];
                edges[2 * static_cast<std::size_t>(written)] = static_cast<Out>(std::min(u, v));
                edges[2 * static_cast<std::size_t>(written) + 1] = static_cast<Out>(std::max(u, v));
                ++written;
            }
            if (nd.end - nd.begin > 1) rank_[nd.begin] = 1;
        }
        return written;
    }

    template <typename Out>
    Index join_components(Out* edges, Index written, SearchPoll& poll) {
        for (Index c = 0; c < n_; ++c) {
            poll();
            if (best_from_[c] == kNone) continue;  // c is not a root, or found no edge
            const auto [lo, hi] = best_edge(c);
            Index a = find(lo), b = find(hi);
            if (a != b) {
                if (rank_[a] < rank_[b]) std::swap(a, b);
                comp_[b] = a;
                if (rank_[a] == rank_[b]) ++rank_[a];
                const Index u = order_[lo], v = order_[hi];
                edges[2 * static_cast<std::size_t>(written)] = static_cast<Out>(std::min(u, v));
                edges[2 * static_cast<std::size_t>(written) + 1] = static_cast<Out>(std::max(u, v));
                ++written;
            }
            best_d2_[c] = kInfinity;
            best_from_[c] = kNone;
        }
        return written;
    }

    // New component ids per point, then per node (children come after their parent in nodes_).
    void relabel(SearchPoll& poll) {
        for (Index p = 0; p < n_; ++p, poll()) comp_[p] = find(p);
        for (auto id = static_cast<std::int64_t>(nodes_.size()) - 1; id >= 0; --id) {
            poll();
            const Node& nd = nodes_[id];
            if (nd.left >= 0) {
                const Index l = node_comp_[nd.left];
                node_comp_[id] = l == node_comp_[nd.right] ? l : kMixed;
                continue;
            }
            Index c = comp_[nd.begin];
            for (Index p = nd.begin + 1; p < nd.end && c != kMixed; ++p)
                if (comp_[p] != c) c = kMixed;
            node_comp_[id] = c;
        }
    }

    Index n_;
    int d_;
    std::vector<Index> order_;   // tree position -> row of the input
    std::vector<Node> nodes_;
    std::vector<double> lo_, hi_, coords_;
    std::vector<double> by_leaf_;  // coords_, each leaf's block transposed
    std::vector<Index> comp_, node_comp_;
    std::vector<std::uint8_t> rank_;
    // Per point, its nearest point in another component (>= 0) or, while it has none, a lower
    // bound of its squared distance to other components rounded down to a float (a lower bound
    // still: at worst a point is searched once more), as the complement of the float's bits (< 0).
    // The rounds never want both at once: one word a point instead of two.
    std::vector<Index> nearest_;
    std::vector<double> best_d2_;  // per component root: its shortest outgoing edge so far
    std::vector<Index> best_from_;  // the point of the root's component that offers that edge
    std::vector<StackEntry> stack_;
    std::vector<StackEntry> near_;        // leaves near the one being searched, nearest first
    std::vector<std::int32_t> leaves_;    // in tree order
    int max_threads_ = 0;        // 0: up to 8
    int k_ = 0;                  // neighbours listed per point
    int asked_ = 0;              // neighbours the caller asked to be listed
    std::vector<Index> listed_;  // n x k_ nearest neighbours, nearest first
    std::vector<std::uint8_t> cursor_;  // first listed neighbour that may be in another component
    std::vector<std::uint8_t> follower_;  // a copy of a point searched in its stead
};

template <int D, typename Index, typename Out>
std::int64_t run_fixed(const double* points, Index n, int d, Out* edges, const EmstCheckpoint& checkpoint,
                       int max_threads, std::vector<double>* owned, EmstNeighbours* neighbours) {
    BoruvkaTree<D, Index> tree(points, n, d, checkpoint);
    if (owned) std::vector<double>().swap(*owned);  // the tree holds its own copies now
    return tree.run(edges, checkpoint, max_threads, neighbours);
}

// A power of two within a factor 2 below the largest magnitude (1 for all zeros). Divided by it,
// coordinates lie below 2 in magnitude (exactly: only a power of two), so a squared distance is at
// most 16 d: far from overflow however large the input, and tiny inputs do not underflow.
double power_of_two_scale(const double* x, std::size_t count, SearchPoll& poll) {
    double top = 0.0;
    for (std::size_t k = 0; k < count; ++k, poll()) top = std::max(top, std::fabs(x[k]));
    if (top == 0.0) return 1.0;
    int exponent = 0;
    std::frexp(top, &exponent);
    return std::ldexp(1.0, exponent - 1);
}

template <typename Index, typename Out>
std::int64_t run_dimension(const double* points, Index n, int d, Out* edges, const EmstCheckpoint& checkpoint,
                           int max_threads, std::vector<double>* owned, EmstNeighbours* neighbours) {
    switch (d) {
        case 1: return run_fixed<1>(points, n, d, edges, checkpoint, max_threads, owned, neighbours);
        case 2: {
            const std::int64_t written = plane_mst_edges(points, n, edges, checkpoint, max_threads, owned, neighbours);
            if (written >= 0) return written;
            return run_fixed<2>(points, n, d, edges, checkpoint, max_threads, owned, neighbours);  // crowded points
        }
        case 3: return run_fixed<3>(points, n, d, edges, checkpoint, max_threads, owned, neighbours);
        case 4: return run_fixed<4>(points, n, d, edges, checkpoint, max_threads, owned, neighbours);
        case 5: return run_fixed<5>(points, n, d, edges, checkpoint, max_threads, owned, neighbours);
        case 6: return run_fixed<6>(points, n, d, edges, checkpoint, max_threads, owned, neighbours);
        case 8: return run_fixed<8>(points, n, d, edges, checkpoint, max_threads, owned, neighbours);
        case 10: return run_fixed<10>(points, n, d, edges, checkpoint, max_threads, owned, neighbours);
        default: return run_fixed<0>(points, n, d, edges, checkpoint, max_threads, owned, neighbours);
    }
}

// The build over `points`, scaled first (in `owned` when given, else in a copy), with 32-bit
// positions wherever n allows.
template <typename Out>
std::int64_t build_tree(const double* points, std::int64_t n, int d, Out* edges, const EmstCheckpoint& checkpoint,
                        int max_threads, std::vector<double>* owned, EmstNeighbours* neighbours = nullptr) {
    if (neighbours) neighbours->found = false;
    if (n < 2 || d == 0) {  // nothing to join, or every point is the same point
        for (std::int64_t i = 0; i + 1 < n; ++i) {
            edges[2 * i] = static_cast<Out>(i);
            edges[2 * i + 1] = static_cast<Out>(i + 1);
        }
        checkpoint(1.0);
        return n > 0 ? n - 1 : 0;
    }
    const auto count = static_cast<std::size_t>(n) * static_cast<std::size_t>(d);
    std::vector<double> scaled;  // only where the scale is not 1 and the points are not ours
    SearchPoll poll(checkpoint, kBuildStepsPerPoll);
    const double scale = power_of_two_scale(points, count, poll);
    if (scale != 1.0) {
        if (!owned) {
            fill_polling(scaled, count, 0.0, poll);
            owned = &scaled;
        }
        double* out = owned->data();
        for (std::size_t k = 0; k < count; ++k, poll()) out[k] = points[k] / scale;
        points = out;
    }
    if (n >= std::numeric_limits<std::int32_t>::max())
        return run_dimension(points, n, d, edges, checkpoint, max_threads, owned, nullptr);
    const std::int64_t written =
        run_dimension(points, static_cast<std::int32_t>(n), d, edges, checkpoint, max_threads, owned, neighbours);
    if (neighbours && neighbours->found)
        for (double& x : neighbours->last) x = std::sqrt(x) * scale;  // squared and scaled until here
    return written;
}

}  // namespace

std::int64_t euclidean_mst_edges(const double* points, std::int64_t n, int d, std::int64_t* edges,
                                 const EmstCheckpoint& checkpoint, int max_threads) {
    return build_tree(points, n, d, edges, checkpoint, max_threads, nullptr);
}

std::int64_t euclidean_mst_edges(std::vector<double>& points, std::int64_t n, int d, std::int32_t* edges,
                                 const EmstCheckpoint& checkpoint, int max_threads, EmstNeighbours* neighbours) {
    return build_tree(points.data(), n, d, edges, checkpoint, max_threads, &points, neighbours);
}

std::int64_t euclidean_mst_edges(std::vector<double>& points, std::int64_t n, int d, std::int64_t* edges,
                                 const EmstCheckpoint& checkpoint, int max_threads, EmstNeighbours* neighbours) {
    return build_tree(points.data(), n, d, edges, checkpoint, max_threads, &points, neighbours);
}

}  // namespace brov
