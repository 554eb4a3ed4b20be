// Stripping the unlabelled leaves of a graph given as adjacency lists, over and over until none
// is left. On a forest what remains is the union of the paths that join labelled nodes: the only
// part of the graph the cutting planners need to look at. Removing a leaf keeps or breaks no cycle,
// so a graph is a forest exactly when what remains is one.
//
// Each node keeps its degree and the XOR of its neighbours, which names its last neighbour once one
// is left: the strip never builds a live list and reads every list once, in order. It runs before
// the lists are known to be symmetric, so it only has to stay in bounds on any lists; its answer
// means something once they are.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "arrays/csr.hpp"

namespace brov {

class LeafPeel {
public:
    // Degree markers of nodes that are never stripped.
    static constexpr i32 kStripped = -1;
    static constexpr i32 kLabelled = -2;

    // `labelled(i)` tells the nodes that stay. Returns false when a list names a node out of range
    // of the XOR's reach (lists that cannot be symmetric).
    template <class Labelled>
    bool run(const ListsView& in, Labelled labelled, StopPoll& poll) {
        const i64 n = in.n;
        node_.reset(new Node[static_cast<std::size_t>(n)]);
        steps_.clear();
        steps_.reserve(static_cast<std::size_t>(n));
        for (i64 i = 0; i < n; ++i) {
            poll.check();
            i32 x = 0;
            for (i32 p = 0; p < in.sizes[i]; ++p) x ^= static_cast<i32>(in.adjacency[i][p]);
            node_[i] = Node{labelled(i) ? kLabelled : in.sizes[i], x};
        }
        // The leaves in index order, then each node as it becomes one. On a large graph nearly
        // every step lands far from the last, so the nodes a few steps ahead are fetched early.
        std::vector<i32> leaves;
        for (i64 i = 0; i < n; ++i)
            if (node_[i].degree == 1) leaves.push_back(static_cast<i32>(i));
        constexpr std::size_t kAhead = 8;
        for (std::size_t h = 0; h < leaves.size(); ++h) {
            poll.check();
            if (h + 2 * kAhead < leaves.size()) __builtin_prefetch(&node_[leaves[h + 2 * kAhead]]);
            if (h + kAhead < leaves.size()) {
                const i32 ahead = node_[leaves[h + kAhead]].others;
                if (ahead >= 0 && ahead < n) __builtin_prefetch(&node_[ahead]);
            }
            const i32 x = leaves[h];
            if (node_[x].degree != 1) continue;  // its last neighbour went first
            const i32 y = node_[x].others;
            if (y < 0 || y >= n) return false;
            node_[x].degree = kStripped;
            steps_.push_back(Step{x, y});
            if (node_[y].degree > 0) {
                node_[y].others ^= x;
                if (--node_[y].degree == 1) leaves.push_back(y);
            }
        }
        return true;
    }

    bool stripped(i64 x) const { return node_[x].degree == kStripped; }

    // Each stripped node and the neighbour it hung from then, in the order they went.
    struct Step {
        i32 node, from;
    };
    const std::vector<Step>& steps() const { return steps_; }

private:
    struct Node {
        i32 degree;  // or a marker
        i32 others;  // XOR of the neighbours not yet stripped
    };
    std::unique_ptr<Node[]> node_;  // every entry is written before it is read
    std::vector<Step> steps_;
};

}  // namespace brov
