// The trees' vote shares averaged over each point's candidate pairs before the voted tree is drawn:
// ten trees give shares in steps of a tenth, so many pairs tie and the lengths alone pick among
// them; averaged with its neighbours, a point's shares say which side of a boundary the points
// around it lean to as well.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace brov {

// `steps` times: s <- (1 - weight) * s0 + weight * (the weighted mean of s over the point's pair
// partners), s0 a point's own shares (counts over their row's total, all 0 when the row has none),
// each pair weighing how much its ends' s0 agree; labelled points (labels[i] >= 0) and points
// whose pairs all weigh 0 keep s0. The result, rounded to counts out of
// `scale` (at most 65535), is written to out (n x c). In float32, serially: the same numbers on
// every run. poll() is called now and then and may throw.
template <class Count, class Poll>
void smooth_vote_shares(const std::int32_t* lo, const std::int32_t* hi, std::int64_t m, const Count* votes,
                        const std::int8_t* labels, std::int64_t n, std::int64_t c, double weight, int steps,
                        double scale, std::uint16_t* out, Poll&& poll) {
    const auto cells = static_cast<std::size_t>(n * c);
    std::vector<float> own(cells), shares, next(cells);
    for (std::int64_t i = 0; i < n; ++i) {
        poll();
        std::int64_t total = 0;
        for (std::int64_t k = 0; k < c; ++k) total += votes[i * c + k];
        if (total > 0)
            for (std::int64_t k = 0; k < c; ++k)
                own[i * c + k] = static_cast<float>(static_cast<double>(votes[i * c + k]) / static_cast<double>(total));
    }
    // Each pair counts as much as its ends' own shares agree (1 - their total variation): a point
    // all of whose trees agree is not pulled towards a neighbour all of whose trees agree otherwise.
    std::vector<float> agree(static_cast<std::size_t>(m)), mass(static_cast<std::size_t>(n), 0.0f);
    for (std::int64_t e = 0; e < m; ++e) {
        poll();
        const float* sa = own.data() + lo[e] * c;
        const float* sb = own.data() + hi[e] * c;
        float apart = 0.0f;
        for (std::int64_t k = 0; k < c; ++k) apart += std::fabs(sa[k] - sb[k]);
        agree[e] = std::max(0.0f, 1.0f - 0.5f * apart);
        mass[lo[e]] += agree[e];
        mass[hi[e]] += agree[e];
    }
    shares = own;
    const auto keep = static_cast<float>(1.0 - weight), blend = static_cast<float>(weight);
    for (int step = 0; step < steps; ++step) {
        std::fill(next.begin(), next.end(), 0.0f);
        for (std::int64_t e = 0; e < m; ++e) {
            poll();
            float* a = next.data() + lo[e] * c;
            float* b = next.data() + hi[e] * c;
            const float* sa = shares.data() + lo[e] * c;
            const float* sb = shares.data() + hi[e] * c;
            const float w = agree[e];
            for (std::int64_t k = 0; k < c; ++k) a[k] += w * sb[k], b[k] += w * sa[k];
        }
        for (std::int64_t i = 0; i < n; ++i) {
            float* row = next.data() + i * c;
            const float* mine = own.data() + i * c;
            if (labels[i] >= 0 || !(mass[i] > 0.0f)) {
                std::copy(mine, mine + c, row);
                continue;
            }
            const float mean = blend / mass[i];
            for (std::int64_t k = 0; k < c; ++k) row[k] = keep * mine[k] + mean * row[k];
        }
        std::swap(shares, next);
    }
    for (std::size_t q = 0; q < cells; ++q)
        out[q] = static_cast<std::uint16_t>(std::lround(static_cast<double>(shares[q]) * scale));
}

}  // namespace brov
