// The perturbed spanning trees that vote on the labels: random length factors from a generator of
// our own (the same numbers on every machine, whatever the thread count) and Kruskal's tree over
// candidate pairs.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "arrays/disjoint_sets.hpp"
#include "arrays/edge_rank.hpp"

namespace brov {

// splitmix64: seeds the stream of each tree from (seed, tree), so a tree's numbers do not depend
// on which trees were drawn before it or on which thread draws it.
inline std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// xoshiro256** with standard normal draws by Box-Muller (both values of a pair used).
class NormalStream {
public:
    NormalStream(std::uint64_t seed, std::uint64_t stream) {
        std::uint64_t state = seed ^ splitmix64(stream);
        for (auto& word : s_) word = splitmix64(state);
    }
    double next() {
        if (has_spare_) {
            has_spare_ = false;
            return spare_;
        }
        // u1 in (0, 1] keeps the logarithm finite; u2 in [0, 1).
        const double u1 = (static_cast<double>(bits() >> 11) + 1.0) * 0x1.0p-53;
        const double u2 = static_cast<double>(bits() >> 11) * 0x1.0p-53;
        const double radius = std::sqrt(-2.0 * std::log(u1));
        const double angle = 6.283185307179586 * u2;
        spare_ = radius * std::sin(angle);
        has_spare_ = true;
        return radius * std::cos(angle);
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t bits() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    std::uint64_t s_[4];
    double spare_ = 0.0;
    bool has_spare_ = false;
};

// Each length times exp(noise * z), z standard normal from the stream of (seed, tree).
inline void perturb_lengths(const std::vector<double>& lengths, double noise, std::uint64_t seed, std::uint64_t tree,
                            std::vector<double>& out) {
    NormalStream normal(seed, tree);
    out.resize(lengths.size());
    for (std::size_t e = 0; e < lengths.size(); ++e) out[e] = lengths[e] * std::exp(noise * normal.next());
}

// Kruskal's minimum spanning forest of the pairs (lo[e] < hi[e]) weighted by `values`, ties
// broken by (smaller, larger) node as rank_weights orders them: the positions of its pairs, in
// the order taken. poll() runs once per comparison and pair and may throw.
template <class Poll>
void kruskal_forest(const std::vector<std::int32_t>& lo, const std::vector<std::int32_t>& hi,
                    const std::vector<double>& values, std::int32_t n, std::vector<std::int32_t>& chosen, Poll poll) {
    std::vector<RankedEdge<std::int32_t>> order(values.size());
    for (std::size_t e = 0; e < values.size(); ++e) order[e] = {values[e], lo[e], hi[e], static_cast<std::int32_t>(e)};
    sort_by_rank(order, poll);
    DisjointSets<std::int32_t> sets(static_cast<std::size_t>(n));
    chosen.clear();
    for (const auto& edge : order) {
        if (chosen.size() + 1 >= static_cast<std::size_t>(n)) break;  // a spanning tree already
        poll();
        if (sets.join(edge.lo, edge.hi)) chosen.push_back(edge.id);
    }
}

}  // namespace brov
