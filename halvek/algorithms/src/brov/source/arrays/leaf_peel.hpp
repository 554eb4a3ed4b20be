// Stripping the unlabelled leaves of a graph given as adjacency lists, over and over until none
// is left. On a forest what remains is the union of the paths that join labelled nodes: the only
// part of the graph the cutting planners need to look at. Removing a leaf keeps or breaks no cycle,
// so a graph is a forest exactly when what remains is one.
//
// The strip (xor_strip.hpp) runs before the lists are known to be symmetric, so it only has to
// stay in bounds on any lists; its answer means something once they are.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "arrays/csr.hpp"
#include "arrays/xor_strip.hpp"

namespace brov {

class LeafPeel {
public:
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
            node_[i] = Node{labelled(i) ? Node::kKept : in.sizes[i], x};
        }
        Neighbours links{node_.get(), n, steps_, poll};
        return strip_leaves(node_.get(), static_cast<i32>(n), links);
    }

    // The same over the edges of a graph given as a list (ends of edge e at edges[e].a, .b, each
    // in [0, n)): a link's id is the edge's number, and the strip goes as over the lists of that
    // graph.
    template <class Labelled>
    void run(i64 n, const std::vector<ForestEdge>& edges, Labelled labelled, StopPoll& poll) {
        node_.reset(new Node[static_cast<std::size_t>(n)]);
        steps_.clear();
        steps_.reserve(static_cast<std::size_t>(n));
        for (i64 i = 0; i < n; ++i) {
            poll.check();
            node_[i] = Node{labelled(i) ? Node::kKept : 0, 0};
        }
        for (std::size_t e = 0; e < edges.size(); ++e) {
            poll.check();
            for (const i32 x : {edges[e].a, edges[e].b}) {
                if (node_[x].degree != Node::kKept) ++node_[x].degree;
                node_[x].ids ^= static_cast<i32>(e);
            }
        }
        EdgeEnds links{edges.data(), static_cast<i32>(edges.size()), steps_, poll};
        strip_leaves(node_.get(), static_cast<i32>(n), links);
    }

    bool stripped(i64 x) const { return node_[x].degree == Node::kStripped; }
    void fetch_ahead(i64 x) const { __builtin_prefetch(&node_[x]); }

    // Each stripped node and the neighbour it hung from then, in the order they went.
    struct Step {
        i32 node, from;
    };
    const std::vector<Step>& steps() const { return steps_; }

private:
    using Node = XorLinks<i32>;  // the XOR of the neighbours not yet stripped

    // A link's id is the neighbour's own node id.
    struct Neighbours {
        Node* node;
        i64 n;
        std::vector<Step>& steps;
        StopPoll& stop;
        void poll() { stop.check(); }
        void prefetch(i32 ahead) const {
            if (ahead >= 0 && ahead < n) __builtin_prefetch(&node[ahead]);
        }
        static i32 far_end(i32, i32 id) { return id; }
        static i32 far_id(i32 x, i32) { return x; }
        void stripped(i32 x, i32 y, i32) { steps.push_back(Step{x, y}); }
    };

    // A link's id is the edge's number in a list of edges.
    struct EdgeEnds {
        const ForestEdge* edges;
        i32 m;
        std::vector<Step>& steps;
        StopPoll& stop;
        void poll() { stop.check(); }
        void prefetch(i32 ahead) const {
            if (ahead >= 0 && ahead < m) __builtin_prefetch(&edges[ahead]);
        }
        i32 far_end(i32 x, i32 e) const { return edges[e].a ^ edges[e].b ^ x; }
        static i32 far_id(i32, i32 e) { return e; }
        void stripped(i32 x, i32 y, i32) { steps.push_back(Step{x, y}); }
    };

    std::unique_ptr<Node[]> node_;  // every entry is written before it is read
    std::vector<Step> steps_;
};

}  // namespace brov
