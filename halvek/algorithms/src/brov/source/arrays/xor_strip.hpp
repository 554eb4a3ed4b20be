// Stripping leaves by degree and XOR. Each node keeps the count of its live links and the XOR of
// their ids, which names its last link once one is left: the strip never builds a live list, and
// reads the links only to find a stripped leaf's far end. A link's id is what its two ends XOR in
// (a neighbour's node id in adjacency lists, an edge's number in an edge list).
#pragma once

#include <cstddef>
#include <vector>

namespace brov {

template <class Index>
struct XorLinks {
    // Degree markers of nodes that are not stripped: a marked node keeps whatever links it has.
    static constexpr Index kStripped = -1;
    static constexpr Index kKept = -2;

    Index degree;  // live links, or a marker
    Index ids;     // XOR of the ids of the live links
};

// Strips leaves (degree 1) until none is left: the leaves in index order, then each node as it
// becomes one. `links` tells the rest:
//   poll()                   runs once per leaf taken up, and may throw to stop the strip;
//   prefetch(id)             for a leaf a few steps ahead, whose last link may be `id`;
//   far_end(x, id)           the node at the other end of x's last link; the strip stops, false,
//                            when that lies outside [0, n);
//   far_id(x, id)            the id that far end holds for the link;
//   stripped(x, y, id)       x went, hanging from y by link id (in the order they go).
// On a large graph nearly every step lands far from the last: nodes a few steps ahead are
// fetched early.
template <class Index, class Links>
bool strip_leaves(XorLinks<Index>* nodes, Index n, Links& links) {
    std::vector<Index> leaves;
    for (Index i = 0; i < n; ++i)
        if (nodes[i].degree == 1) leaves.push_back(i);
    constexpr std::size_t kAhead = 8;
    for (std::size_t h = 0; h < leaves.size(); ++h) {
        links.poll();
        if (h + 2 * kAhead < leaves.size()) __builtin_prefetch(&nodes[leaves[h + 2 * kAhead]]);
        if (h + kAhead < leaves.size()) links.prefetch(nodes[leaves[h + kAhead]].ids);
        const Index x = leaves[h];
        if (nodes[x].degree != 1) continue;  // its last neighbour went first
        const Index id = nodes[x].ids;
        const Index y = links.far_end(x, id);
        if (y < 0 || y >= n) return false;
        nodes[x].degree = XorLinks<Index>::kStripped;
        links.stripped(x, y, id);
        if (nodes[y].degree > 0) {
            nodes[y].ids ^= links.far_id(x, id);
            if (--nodes[y].degree == 1) leaves.push_back(y);
        }
    }
    return true;
}

}  // namespace brov
