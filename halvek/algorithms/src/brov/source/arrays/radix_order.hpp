// Stable least-significant-digit radix sort of (key, id) items, for the orders that are drawn again
// for every voting tree: millions of pairs sort in a few passes, where a comparison sort costs
// twenty-odd comparisons per pair.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
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

// The digit counts of a radix sort of Items (anything with an unsigned integer member `key`):
// passes of kBits bits, a count per digit and pass.
template <class Item>
struct RadixCounts {
    static constexpr int kBits = 11, kDigits = 1 << kBits;
    static constexpr int kPasses = (8 * static_cast<int>(sizeof(Item::key)) + kBits - 1) / kBits;
    static std::size_t digit(const Item& item, int pass) {
        return static_cast<std::size_t>((item.key >> (kBits * pass)) & (kDigits - 1));
    }
    std::vector<std::size_t> counts = std::vector<std::size_t>(static_cast<std::size_t>(kDigits) * kPasses, 0);
    void add(const Item& item) {
        for (int p = 0; p < kPasses; ++p) ++counts[kDigits * p + digit(item, p)];
    }
};

// Sorts `items` by key, items of equal keys keeping their order, with `scratch` as the second
// buffer: a pass skipped when every key has the same digit there. `counted`, when given, holds the
// counts of exactly these items (taken as they were made), else they are counted here. poll() runs
// once per pass.
template <class Item, class Poll>
void radix_sort(std::vector<Item>& items, std::vector<Item>& scratch, Poll poll, RadixCounts<Item>* counted = nullptr) {
    using Counts = RadixCounts<Item>;
    const std::size_t m = items.size();
    scratch.resize(m);
    std::optional<Counts> own;  // counted here only when the caller did not
    if (!counted) {
        own.emplace();
        for (const auto& item : items) own->add(item);
    }
    std::vector<std::size_t>& counts = counted ? counted->counts : own->counts;
    for (int p = 0; p < Counts::kPasses; ++p) {
        std::size_t* count = counts.data() + Counts::kDigits * p;
        if (m == 0 || count[Counts::digit(items[0], p)] == m) continue;  // one digit for all: the pass keeps the order
        poll();
        std::size_t offset = 0;
        for (int d = 0; d < Counts::kDigits; ++d) {
            const std::size_t here = count[d];
            count[d] = offset;
            offset += here;
        }
        for (const auto& item : items) scratch[count[Counts::digit(item, p)]++] = item;
        items.swap(scratch);
    }
}

}  // namespace brov
