// Stable least-significant-digit radix sort of (key, id) items, for the orders that are drawn again
// for every voting tree: millions of pairs sort in a few passes, where a comparison sort costs
// twenty-odd comparisons per pair.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace brov {

// Unsigned integers whose order is the order of the floating-point values (NaN excluded; -0 sorts
// just below +0).
inline std::uint32_t order_bits(float value) {
    std::uint32_t u;
    std::memcpy(&u, &value, sizeof u);
    return (u & 0x80000000u) ? ~u : (u | 0x80000000u);
}

inline std::uint64_t order_bits(double value) {
    std::uint64_t u;
    std::memcpy(&u, &value, sizeof u);
    return (u & 0x8000000000000000ull) ? ~u : (u | 0x8000000000000000ull);
}

template <class Key>
struct KeyedId {
    Key key;
    std::int32_t id;
};

// Sorts `items` (anything with an unsigned integer member `key`) by key, items of equal keys
// keeping their order, with `scratch` as the second buffer: passes of 11 bits, a pass skipped when
// every key has the same digit there. poll() runs once per pass.
template <class Item, class Poll>
void radix_sort(std::vector<Item>& items, std::vector<Item>& scratch, Poll poll) {
    constexpr int kBits = 11, kDigits = 1 << kBits;
    constexpr int kPasses = (8 * static_cast<int>(sizeof(Item::key)) + kBits - 1) / kBits;
    const std::size_t m = items.size();
    scratch.resize(m);
    std::vector<std::size_t> counts(static_cast<std::size_t>(kDigits) * kPasses, 0);
    auto digit = [](const Item& item, int pass) { return static_cast<std::size_t>((item.key >> (kBits * pass)) & (kDigits - 1)); };
    for (const auto& item : items)
        for (int p = 0; p < kPasses; ++p) ++counts[kDigits * p + digit(item, p)];
    for (int p = 0; p < kPasses; ++p) {
        std::size_t* count = counts.data() + kDigits * p;
        if (m == 0 || count[digit(items[0], p)] == m) continue;  // one digit for all: the pass keeps the order
        poll();
        std::size_t offset = 0;
        for (int d = 0; d < kDigits; ++d) {
            const std::size_t here = count[d];
            count[d] = offset;
            offset += here;
        }
        for (const auto& item : items) scratch[count[digit(item, p)]++] = item;
        items.swap(scratch);
    }
}

}  // namespace brov
