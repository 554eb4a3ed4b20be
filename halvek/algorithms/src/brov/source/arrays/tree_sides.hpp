// Sizes of the two sides of every edge of a forest.
#pragma once

#include <cstdint>

namespace brov {

// For each edge (edges[2k], edges[2k + 1]) of a forest over nodes 0..n-1, the number of nodes on
// the smaller of the two sides that removing the edge leaves within its tree. Node ids must lie
// in [0, n); memory is linear in the smaller of n and 2m. Returns false, leaving `smaller` unspecified, when the edges hold a cycle (a repeated
// edge or a self-loop included).
bool smaller_side_sizes(const std::int64_t* edges, std::int64_t m, std::int64_t n, std::int64_t* smaller);
// The same over 32-bit node ids (n below 2^31).
bool smaller_side_sizes(const std::int32_t* edges, std::int64_t m, std::int64_t n, std::int64_t* smaller);

}  // namespace brov
