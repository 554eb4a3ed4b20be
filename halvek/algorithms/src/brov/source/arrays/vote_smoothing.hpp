// The trees' vote shares averaged over each point's candidate pairs before the voted tree is drawn:
// ten trees give shares in steps of a tenth, so many pairs tie and the lengths alone pick among
// them; averaged with its neighbours, a point's shares say which side of a boundary the points
// around it lean to as well.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace brov {

// `steps` times: s <- (1 - weight) * s0 + weight * (the weighted mean of s over the point's pair
// partners), s0 a point's own shares (counts over their row's total, all 0 when the row has none),
// each pair weighing how much its ends' s0 agree; labelled points (labels[i] >= 0) and points
// whose pairs all weigh 0 keep s0. With `nearest` (n codes, -1 = none; may be null), a point's s0
// leans on the class nearest[i] names: (1 - lean) * its shares + lean on that class. The result,
// rounded to counts out of `scale` (at most 65535), is written to out (n x c). In float32,
// serially: the same numbers on every run. poll() is called now and then and may throw.
template <class Count, class Poll>
void smooth_vote_shares(const std::int32_t* lo, const std::int32_t* hi, std::int64_t m, const Count* votes,
                        const std::int8_t* labels, const std::int8_t* nearest, double lean, std::int64_t n,
                        std::int64_t c, double weight, int steps, double scale, std::uint16_t* out, Poll&& poll) {
    if (!nearest) lean = 0.0;
    const auto cells = static_cast<std::size_t>(n * c);
    std::vector<float> shares(cells, 0.0f);
    std::vector<std::int64_t> totals(static_cast<std::size_t>(n), 0);
    for (std::int64_t i = 0; i < n; ++i) {
        poll();
        std::int64_t total = 0;
        for (std::int64_t k = 0; k < c; ++k) total += votes[i * c + k];
        totals[i] = total;
        if (total > 0)
            for (std::int64_t k = 0; k < c; ++k)
                shares[i * c + k] = static_cast<float>((1.0 - lean) * static_cast<double>(votes[i * c + k]) /
                                                       static_cast<double>(total));
        if (lean > 0.0 && nearest[i] >= 0 && nearest[i] < c) shares[i * c + nearest[i]] += static_cast<float>(lean);
    }
    // Only points within `steps` pairs of a pair whose ends' shares differ can move: on most data
    // that is a band along the boundaries, so the passes below read the pairs' ends from the small
    // counts, not the shares, and the blending visits only the pairs that touch the band and
    // writes only the band's rows. reach[i]: 0 = cannot move, r = reached in pass r.
    const auto same_shares = [&](std::int64_t a, std::int64_t b) {
        if ((totals[a] == 0) != (totals[b] == 0)) return false;  // no votes shares nothing
        if (lean > 0.0 && nearest[a] != nearest[b]) return false;
        for (std::int64_t k = 0; k < c; ++k)
            if (static_cast<std::int64_t>(votes[a * c + k]) * totals[b] != static_cast<std::int64_t>(votes[b * c + k]) * totals[a])
                return false;
        return true;
    };
    std::vector<std::uint8_t> reach(static_cast<std::size_t>(n), 0);
    if (steps > 0)
        for (std::int64_t e = 0; e < m; ++e) {
            poll();
            if (same_shares(lo[e], hi[e])) continue;
            if (labels[lo[e]] < 0) reach[lo[e]] = 1;
            if (labels[hi[e]] < 0) reach[hi[e]] = 1;
        }
    for (int pass = 1; pass < steps && pass < 255; ++pass)
        for (std::int64_t e = 0; e < m; ++e) {
            poll();
            const std::int32_t a = lo[e], b = hi[e];
            if (reach[a] && reach[a] <= pass && !reach[b] && labels[b] < 0) reach[b] = static_cast<std::uint8_t>(pass + 1);
            else if (reach[b] && reach[b] <= pass && !reach[a] && labels[a] < 0) reach[a] = static_cast<std::uint8_t>(pass + 1);
        }
    std::vector<std::int64_t> touching;  // the pairs with an end that may move, in pair order
    std::vector<std::int32_t> moving;
    for (std::int64_t e = 0; e < m; ++e)
        if (reach[lo[e]] || reach[hi[e]]) touching.push_back(e);
    for (std::int64_t i = 0; i < n; ++i)
        if (reach[i]) moving.push_back(static_cast<std::int32_t>(i));
    // Rows of moving points only: their own shares, and (indexed by point, left uninitialised and
    // touched only there) their pairs' weights and weighted sums.
    std::vector<float> own(moving.size() * static_cast<std::size_t>(c));
    for (std::size_t t = 0; t < moving.size(); ++t)
        std::copy(shares.begin() + moving[t] * c, shares.begin() + (moving[t] + 1) * c, own.begin() + t * c);
    const std::unique_ptr<float[]> mass(new float[static_cast<std::size_t>(n)]);
    const std::unique_ptr<float[]> sums(new float[cells]);
    for (std::int32_t i : moving) mass[i] = 0.0f;
    // Each pair counts as much as its ends' own shares agree (1 - their total variation): a point
    // all of whose trees agree is not pulled towards a neighbour all of whose trees agree otherwise.
    std::vector<float> agree(touching.size());
    for (std::size_t t = 0; t < agree.size(); ++t) {
        poll();
        const std::int64_t a = lo[touching[t]], b = hi[touching[t]];
        float apart = 0.0f;
        for (std::int64_t k = 0; k < c; ++k) apart += std::fabs(shares[a * c + k] - shares[b * c + k]);
        agree[t] = std::max(0.0f, 1.0f - 0.5f * apart);
        if (reach[a]) mass[a] += agree[t];
        if (reach[b]) mass[b] += agree[t];
    }
    const auto keep = static_cast<float>(1.0 - weight), blend = static_cast<float>(weight);
    for (int step = 0; step < steps; ++step) {
        for (std::int32_t i : moving) std::fill(sums.get() + i * c, sums.get() + (i + 1) * c, 0.0f);
        for (std::size_t t = 0; t < touching.size(); ++t) {
            poll();
            const std::int64_t a = lo[touching[t]], b = hi[touching[t]];
            const float w = agree[t];
            if (reach[a])
                for (std::int64_t k = 0; k < c; ++k) sums[a * c + k] += w * shares[b * c + k];
            if (reach[b])
                for (std::int64_t k = 0; k < c; ++k) sums[b * c + k] += w * shares[a * c + k];
        }
        // Every read of this step is done: the moving rows are rewritten in place.
        for (std::size_t t = 0; t < moving.size(); ++t) {
            const std::int32_t i = moving[t];
            if (!(mass[i] > 0.0f)) continue;
            const float mean = blend / mass[i];
            for (std::int64_t k = 0; k < c; ++k) shares[i * c + k] = keep * own[t * c + k] + mean * sums[i * c + k];
        }
    }
    // Clamped: float sums over a point with very many pairs can stray a little past 1.
    for (std::size_t q = 0; q < cells; ++q)
        out[q] = static_cast<std::uint16_t>(std::lround(std::clamp(static_cast<double>(shares[q]), 0.0, 1.0) * scale));
}

}  // namespace brov
