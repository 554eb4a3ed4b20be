#include "tree_sides.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace brov {

namespace {

// A node's count of edges not yet stripped and the XOR of their ids: once one edge is left, the
// XOR names it.
struct Ends {
    std::int64_t degree;
    std::int64_t edges_xor;
};

// Leaves are stripped until none is left: a leaf takes with it the nodes stripped into it, which
// is the size of one side of its last edge; the node a tree ends in holds the tree's size. Every
// edge of a forest goes that way; an edge left over lies on a cycle. Memory is linear in n.
bool sides_over_all_nodes(const std::int64_t* edges, std::int64_t m, std::int64_t n, std::int64_t* smaller) {
    const auto nodes = static_cast<std::size_t>(n);
    std::vector<Ends> ends(nodes, Ends{0, 0});
    for (std::int64_t k = 0; k < 2 * m; ++k) {
        Ends& end = ends[static_cast<std::size_t>(edges[k])];
        ++end.degree;
        end.edges_xor ^= k / 2;
    }
    std::vector<std::int64_t> size(nodes, 1);
    struct Step {
        std::int64_t node, into, edge;
    };
    std::vector<Step> steps;
    steps.reserve(static_cast<std::size_t>(m));
    std::vector<std::int64_t> leaves;
    for (std::int64_t v = 0; v < n; ++v)
        if (ends[v].degree == 1) leaves.push_back(v);
    // On a large tree nearly every step lands far from the last: the nodes a few steps ahead are
    // fetched early.
    constexpr std::size_t kAhead = 8;
    for (std::size_t h = 0; h < leaves.size(); ++h) {
        if (h + 2 * kAhead < leaves.size()) __builtin_prefetch(&ends[leaves[h + 2 * kAhead]]);
        if (h + kAhead < leaves.size()) __builtin_prefetch(&edges[2 * ends[leaves[h + kAhead]].edges_xor]);
        const std::int64_t x = leaves[h];
        if (ends[x].degree != 1) continue;  // its last neighbour went first
        const std::int64_t e = ends[x].edges_xor;
        const std::int64_t y = edges[2 * e] ^ edges[2 * e + 1] ^ x;
        ends[x].degree = 0;
        size[y] += size[x];
        steps.push_back(Step{x, y, e});
        ends[y].edges_xor ^= e;
        if (--ends[y].degree == 1) leaves.push_back(y);
    }
    if (static_cast<std::int64_t>(steps.size()) != m) return false;
    // Backwards, each stripped node learns the node its tree ended in from the node it went into.
    std::vector<std::int64_t> root(nodes);
    for (std::int64_t v = 0; v < n; ++v) root[v] = v;
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        root[step->node] = root[step->into];
        const std::int64_t below = size[step->node];
        const std::int64_t other = size[root[step->node]] - below;
        smaller[step->edge] = below < other ? below : other;
    }
    return true;
}

}  // namespace

// n is only a bound on the ids: when it is larger than the ends of the edges can fill, the nodes
// that some edge touches are numbered anew (the others are trees of their own and change no
// side), so that memory follows the edges, not n.
bool smaller_side_sizes(const std::int64_t* edges, std::int64_t m, std::int64_t n, std::int64_t* smaller) {
    if (n <= 2 * m) return sides_over_all_nodes(edges, m, n, smaller);
    std::vector<std::int64_t> touched(edges, edges + 2 * m);
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    std::vector<std::int64_t> renumbered(static_cast<std::size_t>(2 * m));
    for (std::int64_t k = 0; k < 2 * m; ++k)
        renumbered[k] = std::lower_bound(touched.begin(), touched.end(), edges[k]) - touched.begin();
    return sides_over_all_nodes(renumbered.data(), m, static_cast<std::int64_t>(touched.size()), smaller);
}

}  // namespace brov
