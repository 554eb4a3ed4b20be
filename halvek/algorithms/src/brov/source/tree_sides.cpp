#include "tree_sides.hpp"

#include <vector>

namespace brov {

bool smaller_side_sizes(const std::int64_t* edges, std::int64_t m, std::int64_t n, std::int64_t* smaller) {
    // Adjacency as CSR: for each node, the edges that touch it.
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(n) + 1, 0);
    for (std::int64_t k = 0; k < 2 * m; ++k) ++offsets[static_cast<std::size_t>(edges[k]) + 1];
    for (std::int64_t v = 0; v < n; ++v) offsets[v + 1] += offsets[v];
    std::vector<std::int64_t> incident(static_cast<std::size_t>(2 * m));
    {
        std::vector<std::int64_t> fill(offsets.begin(), offsets.end() - 1);
        for (std::int64_t e = 0; e < m; ++e) {
            incident[fill[edges[2 * e]]++] = e;
            incident[fill[edges[2 * e + 1]]++] = e;
        }
    }
    // Breadth-first order per tree; each reached node remembers the edge it was reached by.
    std::vector<std::int64_t> parent_edge(static_cast<std::size_t>(n), -1);
    std::vector<std::int64_t> root_of(static_cast<std::size_t>(n), -1);
    std::vector<std::int64_t> order;
    order.reserve(static_cast<std::size_t>(n));
    std::int64_t reached_edges = 0;
    for (std::int64_t root = 0; root < n; ++root) {
        if (root_of[root] >= 0) continue;
        root_of[root] = root;
        std::size_t head = order.size();
        order.push_back(root);
        for (; head < order.size(); ++head) {
            const std::int64_t v = order[head];
            for (std::int64_t i = offsets[v]; i < offsets[v + 1]; ++i) {
                const std::int64_t e = incident[i];
                if (e == parent_edge[v]) continue;
                const std::int64_t w = edges[2 * e] == v ? edges[2 * e + 1] : edges[2 * e];
                if (root_of[w] >= 0) return false;  // reached twice: a cycle
                root_of[w] = root;
                parent_edge[w] = e;
                order.push_back(w);
                ++reached_edges;
            }
        }
    }
    if (reached_edges != m) return false;
    // Subtree sizes, children before parents.
    std::vector<std::int64_t> size(static_cast<std::size_t>(n), 1);
    for (std::size_t k = order.size(); k-- > 0;) {
        const std::int64_t v = order[k];
        const std::int64_t e = parent_edge[v];
        if (e < 0) continue;
        const std::int64_t parent = edges[2 * e] == v ? edges[2 * e + 1] : edges[2 * e];
        size[parent] += size[v];
    }
    for (std::int64_t v = 0; v < n; ++v) {
        const std::int64_t e = parent_edge[v];
        if (e < 0) continue;
        const std::int64_t below = size[v];
        const std::int64_t other = size[root_of[v]] - below;
        smaller[e] = below < other ? below : other;
    }
    return true;
}

}  // namespace brov
