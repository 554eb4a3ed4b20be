// Each point's best candidates outside its component, from one block of products.
//
// The exact tree in many coordinates ranks pairs by products h = x'.y' of extended rows
// (-|x - y|^2 / 2, see trees/dense.py). Per block of rows x columns, the products are computed
// here (a register-blocked kernel, vectorised for the machine it runs on, on the caller's threads:
// a BLAS's own threads spin against each other on a busy machine) and every row (and, for a block
// off the diagonal, every column) keeps its k largest products with points of other components.
// Pure C++: no Python inside.
#pragma once

#include <cstdint>

namespace brov {

// left: rows x width, right: cols x width, row-major: the extended rows of positions r0.. and
// c0... comp[p]: the component of position p. values / index: n x k lists per position, values
// in decreasing order (-inf / -1 pad): a product enters a position's list when it is larger than
// the list's last value and the two components differ, after the entries of equal value. A block
// with r0 == c0 lies on the diagonal (the same positions on both sides: rows only); otherwise the
// two ranges must not overlap, and columns keep their lists too. Work is split between up to
// `threads` threads (this one included).
template <typename T>
void update_tile_lists(const T* left, const T* right, std::int64_t rows, std::int64_t cols, std::int64_t width,
                       std::int64_t r0, std::int64_t c0, const std::int64_t* comp, double* values,
                       std::int64_t* index, int k, int threads);

}  // namespace brov
