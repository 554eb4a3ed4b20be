"""The last edges of the blocked exact tree (``dense.py``): Kruskal over the few components left,
from the closest pair of each pair of components that the tree needs."""

import heapq

import numpy as np

from ..native import tree
from .products import TILE, error_bounds, extended, squared_distances, thread_count

__all__ = ["pair_pass", "pairs_by_bounds"]

FEW_PAIRS = 4096  # pairs of points between two components measured in float64 directly


class _Sorted:
    """The points in the order of their components, with the extended rows and error bounds."""

    def __init__(self, X, norms, comp, dtype):
        self.order = np.argsort(comp, kind="stable")
        self.comp = comp[self.order]
        self.left, self.right = extended(X[self.order], norms[self.order], dtype)
        self.err = error_bounds(X[self.order], norms[self.order], np.dtype(dtype))
        self.lowest = np.finfo(dtype).min

    def tiles(self):
        """Blocks (r0, r1, c0, c1, h) of the upper triangle of products, h = -|x - y|^2 / 2
        approximately, with -inf between points of one component; blocks within one component
        are left out."""
        n, c = len(self.comp), self.comp
        block = max(64, int(np.sqrt(TILE)))
        for r0 in range(0, n, block):
            r1 = min(n, r0 + block)
            for c0 in range(r0, n, block):
                c1 = min(n, c0 + block)
                if c[r0] == c[c1 - 1]:
                    continue
                h = self.left[r0:r1] @ self.right[c0:c1].T
                # Components sorted: those on both sides of the block are rectangles of it.
                for x0, x1, y0, y1 in self.shared(r0, r1, c0, c1):
                    h[x0:x1, y0:y1] = -np.inf
                yield r0, r1, c0, c1, h

    def shared(self, r0, r1, c0, c1):
        """Rectangles (rows x0:x1, columns y0:y1, within the block) joining points of one
        component."""
        c = self.comp
        if c[r1 - 1] < c[c0]:
            return []
        labels = np.intersect1d(np.unique(c[r0:r1]), np.unique(c[c0:c1]))
        rows = np.searchsorted(c[r0:r1], labels), np.searchsorted(c[r0:r1], labels, side="right")
        cols = np.searchsorted(c[c0:c1], labels), np.searchsorted(c[c0:c1], labels, side="right")
        return zip(rows[0], rows[1], cols[0], cols[1])


def _segment_maxima(h, ranks, axis):
    """(segment ids, maxima of h over each run of equal sorted ``ranks`` along ``axis``)."""
    ids, first = np.unique(ranks, return_index=True)
    if len(ids) > 64:
        return ids, np.maximum.reduceat(h, first, axis=axis)
    # A few wide segments: slices reduce in SIMD, where reduceat goes element by element.
    bounds = np.append(first, len(ranks))
    if axis == 1:
        return ids, np.stack([h[:, x:y].max(axis=1) for x, y in zip(bounds[:-1], bounds[1:])], axis=1)
    return ids, np.stack([h[x:y].max(axis=0) for x, y in zip(bounds[:-1], bounds[1:])], axis=0)


def pair_pass(P, X, norms, comp, dtype):
    """The exact tree edges between the components (at most ``PAIR_COMPONENTS``): one pass
    finds every point's best product with each other component, the closest pair of every two
    components is settled among the pairs within twice the error of the best, and Kruskal joins
    the components through them."""
    n = len(X)
    s = _Sorted(X, norms, comp, dtype)
    c, order = s.comp, s.order
    labels, starts = np.unique(c, return_index=True)
    m = len(labels)
    rank = np.searchsorted(labels, c)
    best = np.full((n, m), -np.inf, dtype=dtype)
    for r0, r1, c0, c1, h in s.tiles():
        ids, across = _segment_maxima(h, rank[c0:c1], axis=1)
        best[r0:r1, ids] = np.maximum(best[r0:r1, ids], across)
        if c0 != r0:
            ids, down = _segment_maxima(h, rank[r0:r1], axis=0)
            best[c0:c1, ids] = np.maximum(best[c0:c1, ids], down.T)
    ends = np.append(starts[1:], n)
    slack = 2.0 * float(s.err.max())
    top = np.maximum.reduceat(best, starts, axis=0).astype(np.float64)  # (components, components)

    def closest(a, b):
        rows = starts[a] + np.flatnonzero(best[starts[a]:ends[a], b] >= top[a, b] - slack)
        cols = np.arange(starts[b], ends[b])
        return _closest_pair(P, s.left[rows], s.right[cols], order[rows], order[cols], slack)

    # The squared distance of a pair is at least -2 (best product + slack).
    a, b = np.nonzero(np.triu(np.isfinite(top), 1))
    bounds = -2.0 * (top[a, b] + slack)
    by = np.argsort(bounds, kind="stable")
    return _kruskal(m, a[by], b[by], bounds[by], closest)


def pairs_by_bounds(P, layout, comp):
    """The exact tree edges between the components (at most ``LAZY_COMPONENTS``), with no pass
    over all pairs: two components are at least as far apart as the nearest two of their
    leaves, and Kruskal settles a pair of components (from the products of their points) only
    when that bound comes up. Clustered data settles few pairs beyond the tree's own."""
    leaves = layout.leaves
    labels, c = np.unique(comp[leaves.order], return_inverse=True)
    m = len(labels)
    members = np.split(np.argsort(c, kind="stable"), np.cumsum(np.bincount(c, minlength=m))[:-1])
    holds = np.zeros((len(leaves.starts) - 1, m), dtype=bool)
    holds[leaves.leaf_of, c] = True
    # near[l, y]: the bound from leaf l to the nearest leaf holding points of component y.
    near = np.stack([np.where(holds, row[:, None], np.inf).min(axis=0) for row in leaves.lower])
    bound = np.stack([near[holds[:, x]].min(axis=0) for x in range(m)])
    order = leaves.order

    def closest(x, y):
        rows, cols = _facing(P, order[members[x]], order[members[y]])
        rows, cols = members[x][rows], members[y][cols]
        slack = 2.0 * float(layout.err[rows].max())
        return _closest_pair(P, layout.left[rows], layout.right[cols], order[rows], order[cols], slack)

    a, b = np.triu_indices(m, 1)
    by = np.argsort(bound[a, b], kind="stable")
    return _kruskal(m, a[by], b[by], bound[a, b][by], closest)


def _facing(P, u, v):
    """The points of u and of v (indices into them) that can belong to the closest pair between
    them. Along the line through their means, a pair (x, y) is at least D - t(x) - s(y) apart,
    where D is the distance of the means and t, s how far x and y reach from their own mean
    towards the other; a pair of far-reaching points, refined by a nearest-point step each way,
    gives a length the closest pair cannot exceed, and a point that cannot come below it with
    the farthest-reaching point of the other side is left out. Between clusters far apart, that
    leaves the few points on the facing sides."""
    A, B = P[u], P[v]
    ca, cb = A.mean(axis=0), B.mean(axis=0)
    gap = float(np.linalg.norm(cb - ca))
    if not gap > 0:
        return np.arange(len(u)), np.arange(len(v))
    line = (cb - ca) / gap
    t = np.einsum("ij,j->i", A - ca, line)
    s = np.einsum("ij,j->i", cb - B, line)
    i = int(np.argmax(t))
    j = int(np.argmin(np.einsum("ij,ij->i", B - A[i], B - A[i])))
    i = int(np.argmin(np.einsum("ij,ij->i", A - B[j], A - B[j])))
    length = float(np.linalg.norm(A[i] - B[j]))
    # Rounding of the means, projections and length, with a wide margin.
    top = float(max(np.abs(A).max(), np.abs(B).max()))
    margin = 1e-9 * (gap + length + t.max() + s.max()) + 64 * P.shape[1] * np.finfo(float).eps * top
    rows = np.flatnonzero(t >= gap - s.max() - length - margin)
    cols = np.flatnonzero(s >= gap - t.max() - length - margin)
    return rows, cols


def _closest_pair(P, left, right, u, v, slack):
    """(squared length, lo, hi) of the closest pair between points u (extended rows ``left``) and
    points v (``right``), exactly: among the pairs whose products come within ``slack`` (twice
    their error bound) of the best product, the shortest in float64, then by point index."""
    m = len(left)
    if m * len(right) <= FEW_PAIRS:  # cheaper in float64 directly than through the kernel
        return _shortest(P, np.repeat(u, len(v)), np.tile(v, m))
    sides = np.repeat(np.arange(2, dtype=np.int64), [m, len(right)])
    values = np.full((len(sides), 1), -np.inf)
    tree().tile_lists(left, right, 0, m, sides, values, np.full((len(sides), 1), -1, dtype=np.int64), thread_count())
    best = values[:m, 0]
    top = best.max()
    rows = np.flatnonzero(best >= top - slack)  # the rows of the pairs within the slack
    h = np.einsum("ij,kj->ik", left[rows], right)  # a few rows: no BLAS threads to wake
    i, j = np.nonzero(h >= top - slack)
    return _shortest(P, u[rows[i]], v[j])


def _shortest(P, a, b):
    """(squared length, lo, hi) of the shortest of the pairs (a, b) in float64, then by index."""
    lo, hi = np.minimum(a, b), np.maximum(a, b)
    length = squared_distances(P, lo, hi)
    pick = np.lexsort((hi, lo, length))[0]
    return float(length[pick]), int(lo[pick]), int(hi[pick])


def _kruskal(m, a, b, bounds, closest):
    """Edges (lo, hi) joining m components: Kruskal over the pairs (a, b) of components, whose
    squared lengths are at least ``bounds`` (increasing); closest(x, y) -> (squared length, lo,
    hi) settles a pair when its bound comes up, and the settled pairs are taken shortest first."""
    bounds, a, b = list(bounds), list(a), list(b)
    settled = []  # heap of (squared length, lo, hi, a, b)
    parent = list(range(m))

    def root(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    edges = []
    next_bound = 0
    while len(edges) < m - 1:
        if next_bound < len(bounds) and (not settled or bounds[next_bound] <= settled[0][0]):
            x, y = a[next_bound], b[next_bound]
            next_bound += 1
            if root(x) != root(y):  # settle the pair and queue its exact length
                heapq.heappush(settled, closest(x, y) + (x, y))
            continue
        _, lo, hi, x, y = heapq.heappop(settled)
        rx, ry = root(x), root(y)
        if rx != ry:
            parent[rx] = ry
            edges.append((lo, hi))
    return np.array(edges, dtype=np.int64).reshape(-1, 2)
