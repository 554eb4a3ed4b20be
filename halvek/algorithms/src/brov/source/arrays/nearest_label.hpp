// Each point's nearest labelled point along the candidate pairs: where labels are dense, the class
// of the nearest one is a good guess on its own (what a 1-nearest-neighbour rule gives), and the
// voted tree leans on it a little. Dijkstra from every labelled point at once, over plain arrays.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <queue>
#include <utility>
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
    // Both directions of every pair, bucketed by their start.
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(n) + 1, 0);
    for (std::int64_t e = 0; e < m; ++e) ++offsets[lo[e] + 1], ++offsets[hi[e] + 1];
    for (std::int64_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];
    std::vector<std::int32_t> target(static_cast<std::size_t>(2 * m));
    std::vector<double> step(static_cast<std::size_t>(2 * m));
    {
        std::vector<std::int64_t> fill(offsets.begin(), offsets.end() - 1);
        for (std::int64_t e = 0; e < m; ++e, poll()) {
            target[fill[lo[e]]] = hi[e], step[fill[lo[e]]++] = lengths[e];
            target[fill[hi[e]]] = lo[e], step[fill[hi[e]]++] = lengths[e];
        }
    }
    std::vector<double> distance(static_cast<std::size_t>(n), std::numeric_limits<double>::infinity());
    using Item = std::pair<double, std::int32_t>;
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> frontier;
    for (std::int64_t i = 0; i < n; ++i) {
        out[i] = labels[i] >= 0 ? labels[i] : static_cast<std::int8_t>(-1);
        if (labels[i] >= 0) {
            distance[i] = 0.0;
            frontier.emplace(0.0, static_cast<std::int32_t>(i));
        }
    }
    while (!frontier.empty()) {
        poll();
        const auto [d, u] = frontier.top();
        frontier.pop();
        if (d > distance[u]) continue;  // reached since by a shorter way
        for (std::int64_t t = offsets[u]; t < offsets[u + 1]; ++t) {
            const double through = d + step[t];
            const std::int32_t v = target[t];
            if (through < distance[v]) {
                distance[v] = through;
                out[v] = out[u];
                frontier.emplace(through, v);
            }
        }
    }
}

}  // namespace brov
