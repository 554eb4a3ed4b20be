// The perturbed spanning trees that vote on the labels: random length factors from a generator of
// our own (the same numbers on every machine, whatever the thread count), Kruskal's tree over
// candidate pairs in an order drawn by radix sort, and the labels the cutting rule leaves on it.
// Each tree needs only its own buffers, so trees can be drawn on several threads at once.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "arrays/csr.hpp"
#include "arrays/disjoint_sets.hpp"
#include "arrays/radix_order.hpp"
#include "arrays/refusal_cut.hpp"
#include "arrays/xor_strip.hpp"

namespace brov {

// splitmix64: seeds the stream of each tree from (seed, tree), so a tree's numbers do not depend
// on which trees were drawn before it or on which thread draws it.
inline std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// xoshiro256** drawing nearly normal numbers: the sum of the four 16-bit quarters of one draw,
// centred and scaled to unit variance (bounded by +-3.46). Integer sums and one product, so every
// machine draws the same numbers, at a few nanoseconds each.
class NoiseStream {
public:
    NoiseStream(std::uint64_t seed, std::uint64_t stream) {
        std::uint64_t state = seed ^ splitmix64(stream);
        for (auto& word : s_) word = splitmix64(state);
    }
    double next() {
        const std::uint64_t b = bits();
        const auto sum = static_cast<std::int64_t>((b & 0xFFFF) + ((b >> 16) & 0xFFFF) + ((b >> 32) & 0xFFFF) + (b >> 48));
        return static_cast<double>(sum - 2 * 0xFFFF) * kUnit;
    }

private:
    static constexpr double kUnit = 2.6428997921303014e-05;  // 1 / sd of the sum: sqrt(3 / (2^32 - 1))
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t bits() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    std::uint64_t s_[4];
};

// Kruskal's forest over nodes in [0, n) of the pairs at the positions `sorted` names (items with
// an `id`: pair id joins lo[id] and hi[id]): appends the positions in `sorted` of the pairs taken,
// at most n - 1. Items of eight bytes (key and id) keep the sort's buffers at half the size of
// items that carry the ends, which are then read by id, fetched two steps ahead. Union-find with
// path halving and union by size, in a buffer the caller keeps from forest to forest: parent[x]
// is x's parent, or minus the size of x's set at a root (one array, so a root's size comes with
// the load that finds it).
template <class Item, class Poll>
void kruskal_forest(const std::vector<Item>& sorted, const std::int32_t* lo, const std::int32_t* hi, std::int32_t n,
                    std::vector<std::int32_t>& parent, std::vector<std::int32_t>& chosen, Poll& poll) {
    parent.assign(static_cast<std::size_t>(n), -1);
    chosen.clear();
    const std::size_t most = n > 0 ? static_cast<std::size_t>(n) - 1 : 0;
    constexpr std::size_t kEndsAhead = 16, kParentsAhead = 8;  // the ids and ends lie all over
    for (std::size_t k = 0; k < sorted.size() && chosen.size() < most; ++k) {
        if ((k & 0xFFFF) == 0) poll();
        if (k + kEndsAhead < sorted.size()) {
            __builtin_prefetch(&lo[sorted[k + kEndsAhead].id]);
            __builtin_prefetch(&hi[sorted[k + kEndsAhead].id]);
        }
        if (k + kParentsAhead < sorted.size()) {
            const std::int32_t ahead = sorted[k + kParentsAhead].id;
            __builtin_prefetch(&parent[lo[ahead]]);
            __builtin_prefetch(&parent[hi[ahead]]);
        }
        const std::int32_t e = sorted[k].id;
        const std::int32_t a = find_set(parent, lo[e]), b = find_set(parent, hi[e]);
        if (a == b) continue;
        unite_roots(parent, a, b);
        chosen.push_back(static_cast<std::int32_t>(k));
    }
}

// What every tree of one call shares: the candidate pairs (lo[e] < hi[e]), in logarithms, so that
// a perturbation is one addition and the weights' products are sums.
struct VotingInput {
    std::int32_t n = 0;
    std::vector<std::int32_t> lo, hi;
    std::vector<double> log_lengths;  // -inf for a zero length, +inf for an infinite one
    std::vector<double> log_factors;  // empty: every factor is 1
    std::vector<std::int8_t> labels;  // n codes, -1 unlabelled
    std::vector<std::int32_t> old_of;  // the caller's number of each node (see renumber_by_breadth)
    double noise = 0.0;               // sd of the log-length perturbation
    std::vector<double> log_discounts;  // log(1 - exp(-s / side_discount)) at s; 0 past the end

    // Perturbed log lengths as 22-bit keys: 0 for -inf, kTop for +inf, steps of `step` from `low`
    // between (set_key_range sets them once the lengths and the noise are in).
    static constexpr std::uint32_t kTop = (1u << 22) - 1;
    double low = 0.0, step = 1.0, per_step = 1.0;
    void set_key_range() {
        double least = std::numeric_limits<double>::infinity(), most = -least;
        for (double x : log_lengths)
            if (std::isfinite(x)) least = std::min(least, x), most = std::max(most, x);
        if (!(least <= most)) least = most = 0.0;
        const double reach = 3.47 * noise;  // the noise never leaves +-3.47 sd
        low = least - reach;
        step = std::max((most + reach - low) / (kTop - 2), std::numeric_limits<double>::min());
        per_step = 1.0 / step;  // a product per key, where a quotient costs several
    }
    std::uint32_t key_of(double value) const {
        if (value == -std::numeric_limits<double>::infinity()) return 0;
        if (value == std::numeric_limits<double>::infinity()) return kTop;
        const double at = std::floor((value - low) * per_step);
        return 1 + static_cast<std::uint32_t>(std::min(std::max(at, 0.0), static_cast<double>(kTop - 2)));
    }
    double value_of(std::uint32_t key) const {
        if (key == 0) return -std::numeric_limits<double>::infinity();
        if (key == kTop) return std::numeric_limits<double>::infinity();
        return low + (key - 1) * step;
    }

    double log_discount(std::int64_t side) const {
        return side < static_cast<std::int64_t>(log_discounts.size()) ? log_discounts[side] : 0.0;
    }
    // Numbers the nodes anew in breadth-first order over the pairs (from the lowest old number
    // not yet reached), and orders the pairs by their smaller new end: nodes joined by a pair get
    // near numbers, so each tree's passes over its nodes stay in cache. old_of[new] is the old
    // number; lo, hi, labels, lengths and factors follow.
    template <class Poll>
    void renumber_by_breadth(Poll poll) {
        const auto nodes = static_cast<std::size_t>(n), m = lo.size();
        std::vector<std::int64_t> offsets;
        std::vector<std::int32_t> next;
        bucket_values(
            nodes, 2 * m, [this](std::size_t k) { return static_cast<std::int64_t>(k & 1 ? hi[k / 2] : lo[k / 2]); },
            [this](std::size_t k) { return k & 1 ? lo[k / 2] : hi[k / 2]; }, offsets, next, poll);
        std::vector<std::int32_t> new_of(nodes, -1);
        constexpr std::size_t kOffsetsAhead = 24, kListAhead = 12, kNumbersAhead = 4;
        old_of.clear();
        old_of.reserve(nodes);
        for (std::size_t start = 0; start < nodes; ++start) {
            if (new_of[start] >= 0) continue;
            new_of[start] = static_cast<std::int32_t>(old_of.size());
            old_of.push_back(static_cast<std::int32_t>(start));
            for (std::size_t head = old_of.size() - 1; head < old_of.size(); ++head) {
                poll();
                // The nodes lie all over the lists: the queue's next nodes' lists fetched ahead,
                // their offsets further ahead, their neighbours' numbers just ahead.
                if (head + kOffsetsAhead < old_of.size()) __builtin_prefetch(&offsets[old_of[head + kOffsetsAhead]]);
                if (head + kListAhead < old_of.size()) __builtin_prefetch(&next[offsets[old_of[head + kListAhead]]]);
                if (head + kNumbersAhead < old_of.size()) {
                    const std::int32_t ahead = old_of[head + kNumbersAhead];
                    for (std::int64_t k = offsets[ahead]; k < offsets[ahead + 1]; ++k) __builtin_prefetch(&new_of[next[k]]);
                }
                const std::int32_t x = old_of[head];
                for (std::int64_t k = offsets[x]; k < offsets[x + 1]; ++k) {
                    if (new_of[next[k]] >= 0) continue;
                    new_of[next[k]] = static_cast<std::int32_t>(old_of.size());
                    old_of.push_back(next[k]);
                }
            }
        }
        for (std::size_t e = 0; e < m; ++e) {
            const std::int32_t a = new_of[lo[e]], b = new_of[hi[e]];
            lo[e] = std::min(a, b);
            hi[e] = std::max(a, b);
        }
        std::vector<std::int8_t> old_labels(labels);
        for (std::size_t i = 0; i < nodes; ++i) labels[i] = old_labels[old_of[i]];
        // The pairs by their smaller new end (in their order within one end): a tree's edges taken
        // in pair order then come node after node.
        bucket_values(
            nodes, m, [this](std::size_t e) { return static_cast<std::int64_t>(lo[e]); },
            [](std::size_t e) { return static_cast<std::int32_t>(e); }, offsets, next, poll);
        // Gathered into a second buffer that then changes places with the array, so that the
        // next array of the same type reuses the memory of the one before.
        auto permute = [&next](auto& values, auto& spare) {
            spare.resize(next.size());
            for (std::size_t e = 0; e < next.size(); ++e) spare[e] = values[next[e]];
            values.swap(spare);
        };
        std::vector<std::int32_t> spare_ids;
        std::vector<double> spare_reals;
        permute(lo, spare_ids);
        permute(hi, spare_ids);
        permute(log_lengths, spare_reals);
        if (!log_factors.empty()) permute(log_factors, spare_reals);
    }

    // The table of log_discount for trees of n nodes; a discount of 0 leaves it empty (no discount).
    void set_side_discount(double side_discount) {
        log_discounts.clear();
        if (side_discount <= 0.0) return;
        // Past 40 discounts 1 - exp(-s / d) is 1.0 in float64.
        const double last = std::min(0.5 * n, 40.0 * side_discount);
        for (std::int64_t s = 0; s <= static_cast<std::int64_t>(last) + 1; ++s)
            log_discounts.push_back(std::log(-std::expm1(-static_cast<double>(s) / side_discount)));
    }
};

// One thread's buffers, reused from tree to tree.
class PerturbedTree {
public:
    // Draws tree `tree` of `seed`'s streams (Kruskal's forest of the pairs ordered by their
    // perturbed log lengths, ties in pair order), weighs its edges (perturbed length times factor
    // times side discount, ranked), cuts it and writes the n labels after the cuts into `codes`.
    // poll() runs every few thousand steps and may throw.
    template <class Poll>
    void draw(const VotingInput& in, std::uint64_t seed, std::uint64_t tree, Poll poll, std::int8_t* codes) {
        order_pairs(in, seed, tree, poll);
        kruskal_forest(order_, in.lo.data(), in.hi.data(), in.n, parent_, chosen_, poll);
        take_in_pair_order(in, poll);
        gather_ends(in);
        rank_edges(in, poll);
        cut_by_ranks(in, poll, codes);
    }

private:
    // The pairs in the order of their perturbed log lengths, as 22-bit keys over the range the
    // perturbed values can take (steps far below the noise): the radix sort needs two passes.
    template <class Poll>
    void order_pairs(const VotingInput& in, std::uint64_t seed, std::uint64_t tree, Poll& poll) {
        NoiseStream noise(seed, tree);
        const std::size_t m = in.lo.size();
        order_.resize(m);
        keys_.resize(m);
        // The sort's digit counts are taken as the keys are made: one pass over the pairs less.
        RadixCounts<DrawnPair> counts;
        for (std::size_t e = 0; e < m; ++e) {
            if ((e & 0xFFFF) == 0) poll();
            order_[e] = {in.key_of(in.log_lengths[e] + in.noise * noise.next()), static_cast<std::int32_t>(e)};
            keys_[e] = order_[e].key;
            counts.add(order_[e]);
        }
        radix_sort(order_, pair_scratch_, poll, &counts);
    }

    // The tree's pairs in pair order (Kruskal takes them in key order, all over the nodes).
    template <class Poll>
    void take_in_pair_order(const VotingInput& in, Poll& poll) {
        taken_.assign(in.lo.size(), 0);
        for (std::int32_t j : chosen_) taken_[order_[j].id] = 1;
        tree_pairs_.clear();
        for (std::size_t e = 0; e < taken_.size(); ++e) {
            if ((e & 0xFFFF) == 0) poll();
            if (taken_[e]) tree_pairs_.push_back(static_cast<std::int32_t>(e));
        }
    }

    // The tree's edges by their ends (in pair order).
    void gather_ends(const VotingInput& in) {
        const std::size_t k = tree_pairs_.size();
        ends32_.resize(2 * k);
        for (std::size_t j = 0; j < k; ++j) {
            ends32_[2 * j] = in.lo[tree_pairs_[j]];
            ends32_[2 * j + 1] = in.hi[tree_pairs_[j]];
        }
    }

    // Stripping a leaf x hanging from y by edge e: x's side of e holds the nodes stripped into x.
    // A node whose side passes `reach` is kept: every edge beyond it has more on both sides.
    template <class Poll>
    struct SmallSides {
        PerturbedTree& tree;
        std::int32_t n;
        std::int64_t reach;
        bool spanning;  // else each piece's size from Kruskal's sets
        Poll& caller_poll;
        std::size_t steps = 0;
        void poll() {
            if ((steps++ & 0xFFFF) == 0) caller_poll();
        }
        void prefetch(std::int32_t e) const { __builtin_prefetch(&tree.ends32_[2 * static_cast<std::size_t>(e)]); }
        std::int32_t far_end(std::int32_t x, std::int32_t e) const {
            return tree.ends32_[2 * static_cast<std::size_t>(e)] ^ tree.ends32_[2 * static_cast<std::size_t>(e) + 1] ^ x;
        }
        static std::int32_t far_id(std::int32_t, std::int32_t e) { return e; }
        void stripped(std::int32_t x, std::int32_t y, std::int32_t e) {
            auto& below = tree.below_;
            const std::int64_t total = spanning ? n : -tree.parent_[find_set(tree.parent_, x)];
            tree.sides_[e] = static_cast<std::int32_t>(std::min<std::int64_t>(below[x], total - below[x]));
            below[y] += below[x];
            if (below[y] > reach) tree.links_[y].degree = XorLinks<std::int32_t>::kKept;
        }
    };

    // The smaller side of every edge whose smaller side the discount lowers (at most `reach`
    // nodes; others get reach + 1), by stripping leaves (each node's count of edges left and the
    // XOR of their numbers name its last edge): only the small sides near the leaves are
    // visited, where a walk of the whole tree reaches every node.
    template <class Poll>
    void side_sizes(std::int32_t n, std::int64_t reach, Poll& poll) {
        const auto nodes = static_cast<std::size_t>(n);
        const std::size_t k = tree_pairs_.size();
        links_.assign(nodes, XorLinks<std::int32_t>{0, 0});
        for (std::size_t q = 0; q < 2 * k; ++q) {
            auto& end = links_[static_cast<std::size_t>(ends32_[q])];
            ++end.degree;
            end.ids ^= static_cast<std::int32_t>(q / 2);
        }
        below_.assign(nodes, 1);
        sides_.assign(k, static_cast<std::int32_t>(reach + 1));
        SmallSides<Poll> strip{*this, n, reach, chosen_.size() + 1 == nodes, poll};
        strip_leaves(links_.data(), n, strip);
    }

    // Each tree edge's weight, as a rank from 1 in the order of (log weight as float32, pair order),
    // put beside the edge in the lists: the planner compares ranks, which float32
    // holds exactly.
    template <class Poll>
    void rank_edges(const VotingInput& in, Poll& poll) {
        const std::size_t k = tree_pairs_.size();
        const bool discounted = !in.log_discounts.empty();
        if (discounted) side_sizes(in.n, static_cast<std::int64_t>(in.log_discounts.size()) - 1, poll);
        ranks_.resize(k);
        for (std::size_t j = 0; j < k; ++j) {
            const std::int32_t e = tree_pairs_[j];
            double log_weight = in.value_of(keys_[e]) + (in.log_factors.empty() ? 0.0 : in.log_factors[e]);
            if (discounted) log_weight += in.log_discount(sides_[j]);
            ranks_[j] = {order_bits(static_cast<float>(log_weight)), static_cast<std::int32_t>(j)};
        }
        radix_sort(ranks_, rank_scratch_, poll);
    }

    // The labels after the cutting rule, from the lightest edge up (see labels_by_refusal).
    template <class Poll>
    void cut_by_ranks(const VotingInput& in, Poll& poll, std::int8_t* codes) {
        // Kruskal's sets are spent (the sides are known): their buffer serves the cut's joins.
        labels_by_refusal(in.n, ends32_.data(), ranks_, in.labels.data(), parent_, set_label_, codes, poll);
    }

    using DrawnPair = KeyedId<std::uint32_t>;  // key: VotingInput::key_of the perturbed log length
    std::vector<DrawnPair> order_, pair_scratch_;
    std::vector<std::int32_t> parent_;  // Kruskal's sets (see kruskal_forest)
    std::vector<std::int32_t> chosen_;  // positions in order_, in Kruskal's order
    std::vector<std::uint32_t> keys_;  // each pair's key in this tree
    std::vector<std::uint8_t> taken_;
    std::vector<std::int32_t> tree_pairs_;  // the tree's pairs in pair order
    std::vector<std::int32_t> ends32_, below_;
    std::vector<std::int32_t> sides_;
    std::vector<XorLinks<std::int32_t>> links_;  // each node's edges left while stripping leaves
    std::vector<KeyedId<std::uint32_t>> ranks_, rank_scratch_;  // the tree's edges from the lightest
    std::vector<std::int8_t> set_label_;  // the label of each set of the cuts' joins, at its root
};

}  // namespace brov
