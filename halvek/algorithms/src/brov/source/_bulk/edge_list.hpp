// A checked edge list and its clustering, shared by cluster_edges and the voting trees.
#pragma once

#include <cstdint>
#include <vector>

namespace brov {

// The graph, copied out of the caller's buffers and checked: nothing below reads them again, so
// whatever Python code runs at a poll cannot change what was checked.
struct EdgeList {
    std::int64_t n = 0;
    std::int64_t m = 0;
    std::vector<std::int32_t> ends;   // 2m: the two ends of edge e at 2e, 2e + 1
    std::vector<double> weights;      // m
    std::vector<std::int8_t> labels;  // n
};

// The cutting planner's cuts on `g` (a mask over its edges) and the n labels after them, as
// cluster_edges gives them; raises the planner's failures as Python errors.
void cluster_edge_list(const EdgeList& g, bool ranked, std::vector<std::uint8_t>& cut, std::int8_t* labels);

}  // namespace brov
