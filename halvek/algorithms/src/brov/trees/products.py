"""Products of extended rows, -|x - y|^2 / 2 = x.y - |x|^2 / 2 - |y|^2 / 2, with a bound on their
rounding, and float64 distances: what the passes of the blocked exact tree (``dense.py``,
``component_pairs.py``) share."""

import os

import numpy as np

__all__ = ["TILE", "error_bounds", "extended", "squared_distances", "thread_count"]

TILE = 1 << 22  # entries of one block of products: 16 MiB in float32


def extended(X, norms, dtype):
    """Rows (x, -|x|^2/2, 1) and (x, 1, -|x|^2/2): their products are -|x - y|^2 / 2."""
    n = len(X)
    left = np.empty((n, X.shape[1] + 2), dtype=dtype)
    right = np.empty_like(left)
    left[:, :-2] = X
    right[:, :-2] = X
    left[:, -2] = -norms / 2
    left[:, -1] = 1
    right[:, -2] = 1
    right[:, -1] = -norms / 2
    return left, right


def error_bounds(X, norms, dtype):
    """Per point a bound on |computed - exact| of its products with any other point (in units of
    -|x - y|^2 / 2), covering float rounding of the inputs, the sums, and the float64 distances
    the lists are checked with."""
    d = X.shape[1]
    unit = float(np.finfo(dtype).eps)
    # Each product of d + 2 terms, inputs rounded to dtype: sum |terms| <= |x_i|^2 + |x_j|^2.
    relative = 2.0 * (d + 8) * unit + 4.0 * (d + 4) * float(np.finfo(np.float64).eps)
    tiny = (d + 4) * float(np.finfo(dtype).tiny) * 4  # underflow of tiny terms
    return relative * (norms + norms.max()) + tiny


def squared_distances(P, rows, cols):
    chunk = max(256, (1 << 17) // max(1, P.shape[1]))  # gathered rows that stay in the cache
    out = np.empty(len(rows))
    for s in range(0, len(rows), chunk):
        diff = P[rows[s:s + chunk]] - P[cols[s:s + chunk]]
        out[s:s + chunk] = np.einsum("ij,ij->i", diff, diff)
    return out


def thread_count():
    return min(os.cpu_count() or 1, 8)
