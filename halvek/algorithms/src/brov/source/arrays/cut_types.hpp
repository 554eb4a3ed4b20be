// What the cutting planner takes and returns (cutting.hpp runs it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace brov {

struct CutInput {
    std::int64_t n = 0;                              // nodes = labels length = number of lists
    const std::int64_t* const* adjacency = nullptr;  // adjacency[i]: neighbour indices of node i
    const float* const* weights = nullptr;           // weights[i]: parallel weights
    const std::int32_t* sizes = nullptr;             // entries per list (both containers)
    const std::int8_t* labels = nullptr;             // label of node i at labels[i * label_stride]
    std::ptrdiff_t label_stride = 1;                 // in bytes
};

enum class CutStatus {
    ok,
    no_qualifying_max,  // ValueError "All sub-arrays are empty, cannot pop max"
    lone_max,           // ValueError "Only one entry holds the maximum value, cannot pop max"
    not_in_list,        // ValueError "<detail_a> is not in list": list detail_b lacks detail_a
    recursion,          // RecursionError: exploration from detail_a with bomb node detail_b repeats
    needs_fallback,     // input this planner does not take (detail_a: node, detail_b: bad value)
    interrupted,        // should_stop said so
};

enum class CutMethod {
    automatic,  // the sweep when the input is a simple forest, else the exact planner
    sweep,      // the sweep only; needs_fallback when the input is not a simple forest
    exact,      // the exact planner only
};

struct CutOptions {
    CutMethod method = CutMethod::automatic;
    bool (*should_stop)(void*) = nullptr;  // polled every 2^16 steps or so
    void* stop_context = nullptr;
};

struct CutResult {
    CutStatus status = CutStatus::ok;
    bool swept = false;     // the sweep produced the plan
    bool labelled = false;  // and the labels after it
    std::int64_t detail_a = -1;
    std::int64_t detail_b = -1;
};

using CutList = std::vector<std::pair<std::int32_t, std::int32_t>>;

namespace cut_detail {

inline std::int8_t label_at(const CutInput& in, std::int64_t node) { return in.labels[node * in.label_stride]; }

}  // namespace cut_detail

}  // namespace brov
