// The labels after the cuts of an edge list, as clusterize's joining and flooding write them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "arrays/disjoint_sets.hpp"

namespace brov {

// Every piece of (uncut edges + each label's chain through its nodes) takes the label of the first
// label group, in order of first appearance, with a node in it. The flood of clusterize writes
// exactly that: a group's flood covers the whole piece of its first node (the chain holds all its
// nodes in that piece), and a later group whose first node an earlier flood reached is skipped.
// ends[2e], ends[2e + 1] are the ends of edge e; cut[e] marks the cut ones. poll() may throw.
template <class Poll>
void spread_labels(std::int64_t n, std::int64_t m, const std::int32_t* ends, const std::uint8_t* cut,
                   const std::int8_t* labels, std::int8_t* out, Poll poll) {
    DisjointSets<std::int32_t> pieces(static_cast<std::size_t>(n));
    for (std::int64_t e = 0; e < m; ++e) {
        poll();
        if (!cut[e]) pieces.join(ends[2 * e], ends[2 * e + 1]);
    }
    // The chain of a label joins its nodes in increasing order; joining each node to the previous
    // one of its label gives the same pieces.
    std::int32_t last_of[256];
    std::fill(std::begin(last_of), std::end(last_of), -1);
    std::vector<std::int32_t> firsts;  // first node of each label, in order of first appearance
    for (std::int64_t i = 0; i < n; ++i) {
        poll();
        if (labels[i] == -1) continue;
        std::int32_t& last = last_of[static_cast<std::uint8_t>(labels[i])];
        if (last < 0) firsts.push_back(static_cast<std::int32_t>(i));
        else pieces.join(last, static_cast<std::int32_t>(i));
        last = static_cast<std::int32_t>(i);
    }
    std::vector<std::int16_t> owner(static_cast<std::size_t>(n), -1);  // label byte of a piece's root
    for (std::int32_t first : firsts) {
        std::int16_t& o = owner[pieces.find(first)];
        if (o < 0) o = static_cast<std::uint8_t>(labels[first]);
    }
    for (std::int64_t i = 0; i < n; ++i) {
        poll();
        const std::int16_t o = owner[pieces.find(static_cast<std::int32_t>(i))];
        out[i] = o < 0 ? labels[i] : static_cast<std::int8_t>(static_cast<std::uint8_t>(o));
    }
}

}  // namespace brov
