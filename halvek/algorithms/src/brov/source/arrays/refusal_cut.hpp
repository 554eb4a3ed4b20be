// The labels the cutting rule leaves on a forest, without planning the cuts: the rule (the
// heaviest edge on a path between two differently labelled nodes goes first, until no such path
// is left) leaves, on a forest of distinct weights (ranks), every node with the label of the
// pieces that Kruskal's joins reach from the lightest edge up, where a join that would put two
// labels together is refused. Both give each node the label it reaches over the path of least
// largest weight. A sort and a union-find, where the planner builds lists and sweeps them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "arrays/disjoint_sets.hpp"

namespace brov {

// Joins the edges in `order` (items whose `id` numbers an edge, lightest first; edge e joins
// ends[2e] and ends[2e + 1]) unless the join would put two labels together, and writes each of
// the n nodes' label after that into `out` (-1 for a piece without a label; every other code is a
// label). `parent` and `set_label` are the caller's buffers, kept from call to call. poll() runs
// every few thousand steps and may throw.
template <class Order, class Poll>
void labels_by_refusal(std::int32_t n, const std::int32_t* ends, const Order& order, const std::int8_t* labels,
                       std::vector<std::int32_t>& parent, std::vector<std::int8_t>& set_label, std::int8_t* out,
                       Poll& poll) {
    parent.assign(static_cast<std::size_t>(n), -1);
    set_label.assign(labels, labels + n);
    // Edges in weight order lie all over the forest: their ends fetched two steps ahead, their
    // ends' parents one step ahead.
    constexpr std::size_t kEnds = 16, kParents = 8;
    const std::size_t k = order.size();
    for (std::size_t r = 0; r < k; ++r) {
        if ((r & 0xFFFF) == 0) poll();
        if (r + kEnds < k) __builtin_prefetch(&ends[2 * static_cast<std::size_t>(order[r + kEnds].id)]);
        if (r + kParents < k) {
            const std::size_t ahead = 2 * static_cast<std::size_t>(order[r + kParents].id);
            __builtin_prefetch(&parent[ends[ahead]]);
            __builtin_prefetch(&parent[ends[ahead + 1]]);
        }
        const auto j = static_cast<std::size_t>(order[r].id);
        const std::int32_t a = find_set(parent, ends[2 * j]), b = find_set(parent, ends[2 * j + 1]);
        const std::int8_t la = set_label[a], lb = set_label[b];
        if (la != -1 && lb != -1 && la != lb) continue;  // cut
        set_label[unite_roots(parent, a, b)] = la != -1 ? la : lb;
    }
    for (std::int32_t i = 0; i < n; ++i) {
        if ((i & 0xFFFF) == 0) poll();
        out[i] = set_label[find_set(parent, i)];
    }
}

}  // namespace brov
