// Each point's nearest labelled point along the candidate pairs: where labels are dense, the class
// of the nearest one is a good guess on its own (what a 1-nearest-neighbour rule gives), and the
// voted tree leans on it a little. Dijkstra from every labelled point at once, over plain arrays.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <queue>
#include <vector>

namespace brov {

// For the m pairs (lo[e], hi[e]) of lengths[e] (>= 0, not NaN; a pair of length +inf is never
// walked), writes to out[i] the label of the labelled point (labels[j] >= 0) nearest to point i by
// the sum of the lengths along the pairs, -1 where none is reachable. A tie in distance goes to the
// labelled point reached first, so the answer depends on the inputs alone. poll() is called now
// and then and may throw.
template <class Poll>
void find_nearest_labels(const std::int32_t* lo, const std::int32_t* hi, std::int64_t m, const double* lengths,
                         const std::int8_t* labels, std::int64_t n, std::int8_t* out, Poll&& poll) {
    // Both directions of every pair, bucketed by their start; distances in float32, which is
    // plenty for choosing a nearest label and halves what the walk reads.
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(n) + 1, 0);
    for (std::int64_t e = 0; e < m; ++e) ++offsets[lo[e] + 1], ++offsets[hi[e] + 1];
    for (std::int64_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];
    struct Step {
        std::int32_t to;
        float length;
    };
    std::vector<Step> steps(static_cast<std::size_t>(2 * m));
    {
        std::vector<std::int64_t> fill(offsets.begin(), offsets.end() - 1);
        for (std::int64_t e = 0; e < m; ++e, poll()) {
            const auto length = static_cast<float>(lengths[e]);  // beyond float32: +inf, never walked
            steps[fill[lo[e]]++] = {hi[e], length};
            steps[fill[hi[e]]++] = {lo[e], length};
        }
    }
    // Heap entries pack (distance, point) into one integer: the bits of a float >= 0 order as
    // the float does, so the smallest integer is the nearest point, ties to the smaller index.
    const auto entry = [](float d, std::int32_t i) {
        std::uint32_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        return static_cast<std::uint64_t>(bits) << 32 | static_cast<std::uint32_t>(i);
    };
    std::vector<float> distance(static_cast<std::size_t>(n), std::numeric_limits<float>::infinity());
    std::priority_queue<std::uint64_t, std::vector<std::uint64_t>, std::greater<std::uint64_t>> frontier;
    for (std::int64_t i = 0; i < n; ++i) {
        out[i] = labels[i] >= 0 ? labels[i] : static_cast<std::int8_t>(-1);
        if (labels[i] >= 0) {
            distance[i] = 0.0f;
            frontier.push(entry(0.0f, static_cast<std::int32_t>(i)));
        }
    }
    while (!frontier.empty()) {
        poll();
        const std::uint64_t top = frontier.top();
        frontier.pop();
        const auto u = static_cast<std::int32_t>(top & 0xFFFFFFFFu);
        const std::uint32_t bits = static_cast<std::uint32_t>(top >> 32);
        float d;
        std::memcpy(&d, &bits, sizeof d);
        if (d > distance[u]) continue;  // reached since by a shorter way
        for (std::int64_t t = offsets[u]; t < offsets[u + 1]; ++t) {
            const float through = d + steps[t].length;
            const std::int32_t v = steps[t].to;
            if (through < distance[v]) {
                distance[v] = through;
                out[v] = out[u];
                frontier.push(entry(through, v));
            }
        }
    }
}

}  // namespace brov
