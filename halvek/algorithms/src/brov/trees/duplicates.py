"""Identical points: the trees are built over distinct points, each copy joined to its group's
first point by a zero-length edge."""

import numpy as np

__all__ = ["collapse_duplicates"]


def collapse_duplicates(X):
    """(unique point indices, duplicate edges) where each duplicate is tied to
    the first point of its group of identical rows."""
    n = X.shape[0]
    if n == 0:
        return np.arange(0), np.empty((0, 2), dtype=np.int64)
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
