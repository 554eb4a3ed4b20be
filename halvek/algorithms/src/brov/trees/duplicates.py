"""Identical points: the trees are built over distinct points, each copy joined to its group's
first point by a zero-length edge."""

import numpy as np

__all__ = ["collapse_duplicates"]


def _may_repeat(X):
    """False when no two rows are equal for sure: their hashes (exact integer sums over the
    coordinates' bits, -0.0 read as 0.0) all differ. A lexicographic sort of many coordinates
    takes far longer."""
    X = np.asarray(X, dtype=np.float64)
    bits = (X + 0.0).view(np.uint64)  # + 0.0 turns -0.0 into 0.0
    odd = np.uint64(0x9E3779B97F4A7C15) + np.arange(X.shape[1], dtype=np.uint64) * np.uint64(2)
    with np.errstate(over="ignore"):
        keys = np.sort(np.einsum("ij,j->i", bits, odd))
    return bool(np.any(keys[1:] == keys[:-1]))


def collapse_duplicates(X):
    """(unique point indices, duplicate edges) where each duplicate is tied to
    the first point of its group of identical rows."""
    n = X.shape[0]
    if n == 0 or not _may_repeat(X):
        return np.arange(n), np.empty((0, 2), dtype=np.int64)
    order = np.lexsort(X.T[::-1])
    sorted_points = X[order]
    new_group = np.ones(n, dtype=bool)
    if n > 1:
        new_group[1:] = np.any(sorted_points[1:] != sorted_points[:-1], axis=1)
    if new_group.all():
        return np.arange(n), np.empty((0, 2), dtype=np.int64)
    group = np.cumsum(new_group) - 1
    # The smallest original index of each group represents it.
    representative = np.full(group[-1] + 1, n, dtype=np.int64)
    np.minimum.at(representative, group, order)
    rep_of = representative[group]
    copies = order != rep_of
    dup_edges = np.stack([rep_of[copies], order[copies]], axis=1).astype(np.int64)
    return np.sort(representative), dup_edges
