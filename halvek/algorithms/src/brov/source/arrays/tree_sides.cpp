#include "arrays/tree_sides.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <vector>

#include "arrays/xor_strip.hpp"

namespace brov {

namespace {

// A link's id is the edge's number; stripping a leaf adds its side to the node it hung from.
// Index: the type of node and edge ids (32 bits where they fit: half the memory traffic).
template <typename Index>
struct EdgeLinks {
    const Index* edges;
    std::vector<Index>& size;
    struct Step {
        Index node, into, edge;
    };
    std::vector<Step> steps;
    static void poll() {}
    void prefetch(Index e) const { __builtin_prefetch(&edges[2 * static_cast<std::size_t>(e)]); }
    Index far_end(Index x, Index e) const {
        return edges[2 * static_cast<std::size_t>(e)] ^ edges[2 * static_cast<std::size_t>(e) + 1] ^ x;
    }
    static Index far_id(Index, Index e) { return e; }
    void stripped(Index x, Index y, Index e) {
        size[y] += size[x];
        steps.push_back(Step{x, y, e});
    }
};

// Leaves are stripped until none is left: a leaf takes with it the nodes stripped into it, which
// is the size of one side of its last edge; the node a tree ends in holds the tree's size. Every
// edge of a forest goes that way; an edge left over lies on a cycle. Memory is linear in n.
template <typename Index>
bool sides_over_all_nodes(const Index* edges, std::int64_t m, std::int64_t n, std::int64_t* smaller) {
    // A node's count of edges not yet stripped and the XOR of their ids: once one edge is left,
    // the XOR names it.
    using Ends = XorLinks<Index>;
    const auto nodes = static_cast<std::size_t>(n);
    std::vector<Ends> ends(nodes, Ends{0, 0});
    for (std::int64_t k = 0; k < 2 * m; ++k) {
        Ends& end = ends[static_cast<std::size_t>(edges[k])];
        ++end.degree;
        end.ids ^= static_cast<Index>(k / 2);
    }
    std::vector<Index> size(nodes, 1);
    EdgeLinks<Index> links{edges, size, {}};
    links.steps.reserve(static_cast<std::size_t>(m));
    const auto& steps = links.steps;
    if (!strip_leaves(ends.data(), static_cast<Index>(n), links) || static_cast<std::int64_t>(steps.size()) != m)
        return false;
    // Backwards, each stripped node learns the node its tree ended in from the node it went into.
    std::vector<Index> root(nodes);
    for (std::size_t v = 0; v < nodes; ++v) root[v] = static_cast<Index>(v);
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        root[step->node] = root[step->into];
        const Index below = size[step->node];
        const Index other = size[root[step->node]] - below;
        smaller[step->edge] = below < other ? below : other;
    }
    return true;
}

}  // namespace

// n is only a bound on the ids: when it is larger than the ends of the edges can fill, the nodes
// that some edge touches are numbered anew (the others are trees of their own and change no
// side), so that memory follows the edges, not n.
bool smaller_side_sizes(const std::int64_t* edges, std::int64_t m, std::int64_t n, std::int64_t* smaller) {
    if (n <= 2 * m) {
        if (n < std::numeric_limits<std::int32_t>::max() && m < std::numeric_limits<std::int32_t>::max()) {
            const std::vector<std::int32_t> narrow(edges, edges + 2 * m);
            return sides_over_all_nodes(narrow.data(), m, n, smaller);
        }
        return sides_over_all_nodes(edges, m, n, smaller);
    }
    std::vector<std::int64_t> touched(edges, edges + 2 * m);
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    std::vector<std::int64_t> renumbered(static_cast<std::size_t>(2 * m));
    for (std::int64_t k = 0; k < 2 * m; ++k)
        renumbered[k] = std::lower_bound(touched.begin(), touched.end(), edges[k]) - touched.begin();
    return sides_over_all_nodes(renumbered.data(), m, static_cast<std::int64_t>(touched.size()), smaller);
}

bool smaller_side_sizes(const std::int32_t* edges, std::int64_t m, std::int64_t n, std::int64_t* smaller) {
    if (n <= 2 * m) return sides_over_all_nodes(edges, m, n, smaller);
    const std::vector<std::int64_t> wide(edges, edges + 2 * m);
    return smaller_side_sizes(wide.data(), m, n, smaller);
}

}  // namespace brov
