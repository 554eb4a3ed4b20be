// Disjoint sets over the ids 0..n-1, found with path halving.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace brov {

// The root of x's set in a parent array (a root is its own parent), halving the path on the way.
template <class Index>
Index find_root(std::vector<Index>& parent, Index x) {
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

// The root of x's set in a union-find whose roots hold minus their set's size (one array, so a
// root's size comes with the load that finds it); halves the path.
inline std::int32_t find_set(std::vector<std::int32_t>& parent, std::int32_t x) {
    for (;;) {
        const std::int32_t up = parent[x];
        if (up < 0) return x;
        const std::int32_t above = parent[up];
        if (above < 0) return up;
        parent[x] = above;
        x = above;
    }
}

// Joins the sets of roots a and b (a != b) of such a union-find, the smaller under the larger;
// returns the root of the joined set.
inline std::int32_t unite_roots(std::vector<std::int32_t>& parent, std::int32_t a, std::int32_t b) {
    if (parent[a] > parent[b]) std::swap(a, b);  // a's set is the larger
    parent[a] += parent[b];
    parent[b] = a;
    return a;
}

template <class Index>
class DisjointSets {
public:
    explicit DisjointSets(std::size_t n) : parent_(n) {
        for (std::size_t i = 0; i < n; ++i) parent_[i] = static_cast<Index>(i);
    }
    Index find(Index x) { return find_root(parent_, x); }
    // Joins the sets of a and b under the smaller root; false when they were one set already.
    bool join(Index a, Index b) {
        a = find(a);
        b = find(b);
        if (a == b) return false;
        parent_[std::max(a, b)] = std::min(a, b);
        return true;
    }

private:
    std::vector<Index> parent_;
};

}  // namespace brov
