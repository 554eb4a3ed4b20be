// One 64-bit key per ordered pair of 32-bit node ids, for the hash sets and maps keyed by an edge
// direction or by a (start, bomb node) pair. Negative ids (-1 for "no node") keep their own keys.
#pragma once

#include <cstdint>

namespace brov {

inline std::uint64_t pair_key(std::int32_t a, std::int32_t b) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32) | static_cast<std::uint32_t>(b);
}

}  // namespace brov
