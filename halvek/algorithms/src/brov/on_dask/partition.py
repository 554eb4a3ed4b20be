"""Cutting space into parts: k-d splits at the medians of a sample, and the
distances between points and the parts' bounding boxes that bound which
points of other parts can be near."""

import numpy as np

__all__ = ["Splitter", "box_gap", "point_box_distances"]


class Splitter:
    """A k-d tree of coordinate splits whose leaves are the parts: a point goes
    left where its coordinate is <= the split value, so identical points always
    share a part. Built from a sample: the part with the most sample points is
    split at the median of its widest coordinate until there are ``n_parts``."""

    def __init__(self, sample, n_parts):
        sample = np.asarray(sample, dtype=np.float64)
        # Internal node k splits coordinate dims[k] at values[k]; a child >= 0 is an internal
        # node, a child < 0 is the leaf of part -(child + 1).
        self.dims, self.values, self.children = [], [], []
        self.root = -1
        parent = {0: None}  # part -> (internal node, side) that points at its leaf
        cells = {0: np.arange(len(sample))}  # part -> its sample rows
        while len(cells) < n_parts:
            part = max(cells, key=lambda p: len(cells[p]))
            points = sample[cells[part]]
            if len(points) < 2:
                break
            spread = points.max(axis=0) - points.min(axis=0)
            dim = int(np.argmax(spread))
            if spread[dim] == 0:
                break
            column = points[:, dim]
            value = float(np.median(column))
            if value >= column.max():  # half the rows or more at the top value
                value = float(column[column < value].max())
            node, new = len(self.dims), len(cells)
            self.dims.append(dim)
            self.values.append(value)
            self.children.append([-(part + 1), -(new + 1)])
            if parent[part] is None:
                self.root = node
            else:
                self.children[parent[part][0]][parent[part][1]] = node
            parent[part], parent[new] = (node, 0), (node, 1)
            rows = cells[part]
            cells[part], cells[new] = rows[column <= value], rows[column > value]
        self.n_parts = len(cells)

    def assign(self, X):
        """The part of every row of ``X``."""
        at = np.full(len(X), self.root, dtype=np.int64)
        while True:
            inner = at >= 0
            if not inner.any():
                return -at - 1
            nodes = at[inner]
            rows = np.flatnonzero(inner)
            dims = np.asarray(self.dims)[nodes]
            go_left = X[rows, dims] <= np.asarray(self.values)[nodes]
            children = np.asarray(self.children)[nodes]
            at[rows] = np.where(go_left, children[:, 0], children[:, 1])


def point_box_distances(P, low, high):
    """Euclidean distance from each row of ``P`` to the box [low, high] (0 inside)."""
    gap = np.maximum(low - P, 0.0) + np.maximum(P - high, 0.0)
    return np.sqrt(np.einsum("ij,ij->i", gap, gap))


def box_gap(low_a, high_a, low_b, high_b):
    """Euclidean distance between two boxes (0 when they touch or overlap)."""
    gap = np.maximum(np.maximum(low_a - high_b, low_b - high_a), 0.0)
    return float(np.sqrt(gap @ gap))
