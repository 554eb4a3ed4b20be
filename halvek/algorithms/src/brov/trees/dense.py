"""The exact Euclidean minimum spanning tree in many coordinates, from products of rows.

A k-d tree stops pruning at a few dozen coordinates; there, products of blocks of rows are the
faster exact route. Borůvka's rounds join every component to its nearest other component, and
the nearest points outside a component come from passes over pairs of spatial leaves
(``leaves.py``): the products of two leaves are computed and reduced in native code
(``_tree.tile_lists``: its own vectorised kernel on both cores, GIL released), and a pair of
leaves whose distance bound is beyond what its rows still look for is skipped:

* a pass keeps, for every point, its ``k`` nearest points outside its own component, ranked by
  the product form -|x - y|^2 / 2 = x.y - |x|^2 / 2 - |y|^2 / 2 in float32 (one product of
  rows extended by two columns), and the distances of those ``k`` recomputed directly in
  float64;
* the product form errs by at most ``err`` (a bound from the float32 rounding of every term),
  so every point left out of a list is at least ``reach`` away (squared; the bound of a skipped
  pair of leaves caps it too), and a list entry closer than that is the point's nearest outside
  point for sure;
* a round takes, for every component, the shortest candidate of its points, and adds it to the
  tree only when it is shorter than the ``reach`` of every point whose list could not settle
  its nearest outside point. Equal lengths are ordered by (smaller, larger) point index, so
  the tree is the unique minimum under that order;
* when no component can be settled from the lists, a new pass finds the neighbours outside the
  current components; with few components left, Kruskal over the components ends the tree:
  up to ``LAZY_COMPONENTS`` it settles a pair of components (its closest pair, from their
  products) only when the pair's bound comes up, and up to ``PAIR_COMPONENTS`` one pass over
  all pairs bounds every pair of components first. A pass that settles nothing is redone in
  float64 with twice the neighbours (equal lengths can fill a list), and, past
  ``MAX_NEIGHBOURS``, the native exact tree finishes the job.

Clustered data costs about the products within the clusters plus those of the few pairs of
clusters the tree must compare; points spread evenly cost all pairs, as before.

Every round's lists also give each point its ``k`` nearest neighbours of the first pass,
which callers keep (``DenseTree.neighbours``) instead of searching again.
"""

import heapq
import os

import numpy as np

from ..native import tree
from .duplicates import collapse_duplicates
from .leaves import Leaves

__all__ = ["DenseTree", "dense_mst", "nearest_neighbours"]

TILE = 1 << 22  # entries of one block of products: 16 MiB in float32
# Up to this many components, and (points x components) entries, one pass finds their closest pairs.
PAIR_COMPONENTS = 512
PAIR_ENTRIES = 1 << 26
LAZY_COMPONENTS = 64  # up to this many, pairs of components are settled as their bounds come up
NEIGHBOURS = 10
MAX_NEIGHBOURS = 640  # lists longer than this: the native tree finishes instead


def _extended(X, norms, dtype):
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


def _error_bounds(X, norms, dtype):
    """Per point a bound on |computed - exact| of its products with any other point (in units of
    -|x - y|^2 / 2), covering float rounding of the inputs, the sums, and the float64 distances
    the lists are checked with."""
    d = X.shape[1]
    unit = float(np.finfo(dtype).eps)
    # Each product of d + 2 terms, inputs rounded to dtype: sum |terms| <= |x_i|^2 + |x_j|^2.
    relative = 2.0 * (d + 8) * unit + 4.0 * (d + 4) * float(np.finfo(np.float64).eps)
    tiny = (d + 4) * float(np.finfo(dtype).tiny) * 4  # underflow of tiny terms
    return relative * (norms + norms.max()) + tiny


class _Lists:
    """For each point: up to ``k`` nearest points outside its component (indices, squared float64
    distances, sorted by distance then index; -1 / inf pad) and ``reach``: every point outside
    the component and not in the list is at least that far (squared)."""

    def __init__(self, index, dist, reach):
        self.index, self.dist, self.reach = index, dist, reach


def _squared_distances(P, rows, cols):
    chunk = max(256, (1 << 17) // max(1, P.shape[1]))  # gathered rows that stay in the cache
    out = np.empty(len(rows))
    for s in range(0, len(rows), chunk):
        diff = P[rows[s:s + chunk]] - P[cols[s:s + chunk]]
        out[s:s + chunk] = np.einsum("ij,ij->i", diff, diff)
    return out


class _Sorted:
    """The points in the order of their components, with the extended rows and error bounds."""

    def __init__(self, X, norms, comp, dtype):
        self.order = np.argsort(comp, kind="stable")
        self.comp = comp[self.order]
        self.left, self.right = _extended(X[self.order], norms[self.order], dtype)
        self.err = _error_bounds(X[self.order], norms[self.order], np.dtype(dtype))
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


class _Layout:
    """The points in the order of their leaves (``Leaves``), with their extended rows in ``dtype``
    and the error bounds of their products."""

    def __init__(self, X, norms, leaves, dtype):
        self.leaves, self.dtype = leaves, dtype
        o = leaves.order
        self.left, self.right = _extended(X[o], norms[o], dtype)
        self.err = _error_bounds(X[o], norms[o], np.dtype(dtype))


def _threads():
    return min(os.cpu_count() or 1, 8)


def _reach(last, err):
    """Squared distances that products below ``last`` (a list's last value) cannot come under."""
    with np.errstate(over="ignore"):  # a list that is not full: -inf, nothing left out
        return -2.0 * (last + err)


def _outside_pass(P, layout, comp, k):
    """One pass over the pairs of leaves: the lists (``_Lists``) of the points outside their
    component. Blocks are taken by increasing lower bound; one whose bound is beyond the reach
    of all its rows' lists is skipped, and the bound caps those rows' reach instead."""
    n = len(P)
    leaves = layout.leaves
    order, starts = leaves.order, leaves.starts
    c = np.ascontiguousarray(comp[order], dtype=np.int64)
    values = np.full((n, k), -np.inf)
    index = np.full((n, k), -1, dtype=np.int64)
    heads = starts[:-1]
    one = np.minimum.reduceat(c, heads) == np.maximum.reduceat(c, heads)
    leaf_comp = np.where(one, c[heads], -1)  # -1: a leaf of several components
    need = np.full(len(heads), np.inf)  # per leaf: the largest reach among its rows
    skipped = np.full(len(heads), np.inf)  # per leaf: the smallest bound of a block left out
    lists, threads = tree().tile_lists, _threads()
    for a, b in leaves.pairs.tolist():
        if leaf_comp[a] >= 0 and leaf_comp[a] == leaf_comp[b]:
            continue
        bound = leaves.lower[a, b]
        if bound >= need[a] and bound >= need[b]:
            skipped[a] = min(skipped[a], bound)
            skipped[b] = min(skipped[b], bound)
            continue
        a0, a1, b0, b1 = starts[a], starts[a + 1], starts[b], starts[b + 1]
        lists(layout.left[a0:a1], layout.right[b0:b1], a0, b0, c, values, index, threads)
        need[a] = _reach(values[a0:a1, -1], layout.err[a0:a1]).max()
        need[b] = _reach(values[b0:b1, -1], layout.err[b0:b1]).max()
    reach = np.minimum(_reach(values[:, -1], layout.err), skipped[leaves.leaf_of])

    # The lists in the rows' order, by exact distance, then point index.
    rows = np.repeat(np.arange(n), k)
    cols = index.ravel()
    found = cols >= 0
    u, v = order[rows[found]], order[cols[found]]
    exact = _squared_distances(P, u, v)
    by = np.lexsort((v, exact, u))
    u, v, exact = u[by], v[by], exact[by]
    slot = np.arange(len(u)) - np.searchsorted(u, u)
    out_index = np.full((n, k), -1, dtype=np.int64)
    out_dist = np.full((n, k), np.inf)
    out_index[u, slot] = v
    out_dist[u, slot] = exact
    reach_out = np.empty(n)
    reach_out[order] = reach
    return _Lists(out_index, out_dist, reach_out)


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


def _pair_pass(P, X, norms, comp, dtype):
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


def _pairs_by_bounds(P, layout, comp):
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
    sides = np.repeat(np.arange(2, dtype=np.int64), [m, len(right)])
    values = np.full((len(sides), 1), -np.inf)
    tree().tile_lists(left, right, 0, m, sides, values, np.full((len(sides), 1), -1, dtype=np.int64), _threads())
    best = values[:m, 0]
    top = best.max()
    rows = np.flatnonzero(best >= top - slack)  # the rows of the pairs within the slack
    h = np.einsum("ij,kj->ik", left[rows], right)  # a few rows: no BLAS threads to wake
    i, j = np.nonzero(h >= top - slack)
    a, b = u[rows[i]], v[j]
    lo, hi = np.minimum(a, b), np.maximum(a, b)
    length = _squared_distances(P, lo, hi)
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


def _settled_edges(comp, lists):
    """The shortest edge out of every component whose lists settle it: (lo, hi) pairs."""
    n = len(comp)
    rows = np.arange(n)
    out = (lists.index >= 0) & (comp[np.maximum(lists.index, 0)] != comp[:, None])
    first = np.argmax(out, axis=1)
    has = out[rows, first]
    length = np.where(has, lists.dist[rows, first], np.inf)
    other = np.where(has, lists.index[rows, first], -1)
    resolved = has & (length < lists.reach)
    # Below this, a point whose list did not settle it can have no outside point.
    unsettled = np.where(resolved, np.inf, lists.reach)
    lo, hi = np.minimum(rows, other), np.maximum(rows, other)
    by = np.lexsort((hi, lo, length, comp))
    heads = by[np.r_[True, comp[by][1:] != comp[by][:-1]]]
    floor = np.full(n, np.inf)
    np.minimum.at(floor, comp, unsettled)
    chosen = heads[resolved[heads] & (length[heads] < floor[comp[heads]])]
    pairs = np.stack([lo[chosen], hi[chosen]], axis=1)
    if len(pairs):
        pairs = np.unique(pairs, axis=0)
    return pairs


def _components(n, edges):
    from scipy.sparse.csgraph import connected_components

    from .csgraph import graph_from_edges

    if not len(edges):
        return np.arange(n)
    graph = graph_from_edges(np.ones(len(edges)), edges[:, 0], edges[:, 1], n)
    return connected_components(graph, directed=False)[1]


def _centred(P):
    X = P - P.mean(axis=0)
    return X, np.einsum("ij,ij->i", X, X)


def _precision(X, norms, sample=64):
    """float32 where its error bound stays within 4% of the typical squared distance to the
    nearest neighbour (on a sample of points), float64 otherwise: beyond that, float32 lists
    settle too few points and the passes are wasted (measured on 10 blobs: 2.7% at 128
    coordinates settled nine points in ten, 6.7% at 384 two in five)."""
    n = len(X)
    if n < 3:
        return np.float64
    rows = np.random.default_rng(0).choice(n, min(n, sample), replace=False)
    squared = norms[rows, None] + norms[None, :] - 2 * (X[rows] @ X.T)
    squared[np.arange(len(rows)), rows] = np.inf
    nearest = np.maximum(squared.min(axis=1), 0)
    err = 2 * _error_bounds(X, norms, np.dtype(np.float32))[rows]
    return np.float32 if np.median(err / np.maximum(nearest, 1e-300)) < 0.04 else np.float64


def _native_tree(P):
    return tree().euclidean_mst_edges(np.ascontiguousarray(P))


def nearest_neighbours(P, k):
    """(index, squared distance) arrays (n, k) of every row's k nearest other rows, ranked by
    float32 products (exact but for near ties), distances in float64."""
    X, norms = _centred(P)
    layout = _Layout(X, norms, Leaves(P), np.float32)
    lists = _outside_pass(P, layout, np.arange(len(P)), max(1, min(int(k), len(P) - 1)))
    return lists.index, lists.dist


class DenseTree:
    """``edges`` (n - 1, 2) of the exact tree of the rows of ``P`` and ``neighbours``: the first
    pass's (index, squared distance) arrays of each point's nearest other points (n, k), None
    when ``P`` holds identical rows."""

    def __init__(self, P, k=NEIGHBOURS, native_fallback=None, report=None):
        # Copies are tied to their first row by zero-length edges: more copies than k would leave
        # lists that never reach beyond them.
        keep, copies = collapse_duplicates(P)
        P = P[keep]
        n = len(P)
        k = max(1, min(int(k), n - 1))
        X, norms = _centred(P)
        comp = np.arange(n)
        edges = np.empty((0, 2), dtype=np.int64)
        self.neighbours = None
        self.passes = 0
        dtype = _precision(X, norms)
        leaves = layout = lists = None
        at_pass = n  # components when the last pass of lists started
        while len(edges) < n - 1:
            new = _settled_edges(comp, lists) if lists is not None else np.empty((0, 2), np.int64)
            components = n - len(edges)
            if not len(new) and dtype == np.float32 and lists is not None and components > at_pass / 2:
                # The lists of that pass settled less than half: float32's error bound is too
                # wide against the gaps between neighbours (many coordinates, distances alike).
                dtype = np.float64
            if not len(new) and (layout is None or layout.dtype != dtype):
                leaves = Leaves(P) if leaves is None else leaves
                layout = _Layout(X, norms, leaves, dtype)
            if not len(new) and components <= min(LAZY_COMPONENTS, PAIR_COMPONENTS):
                new = _pairs_by_bounds(P, layout, comp)
                self.passes += 1
            elif not len(new) and components <= PAIR_COMPONENTS and n * components <= PAIR_ENTRIES:
                new = _pair_pass(P, X, norms, comp, dtype)
                self.passes += 1
            elif not len(new):
                at_pass = components
                lists = _outside_pass(P, layout, comp, k)
                self.passes += 1
                if self.neighbours is None:
                    self.neighbours = (lists.index, lists.dist)
                new = _settled_edges(comp, lists)
                if not len(new):
                    # Points float32 cannot tell apart, or equal lengths beyond the k-th neighbour.
                    if k >= min(n - 1, MAX_NEIGHBOURS):
                        break
                    dtype, k, lists = np.float64, min(2 * k, n - 1, MAX_NEIGHBOURS), None
                    continue
            edges = np.concatenate([edges, new])
            comp = _components(n, edges)
            if report is not None:
                report(len(edges) / max(1, n - 1))
        if len(edges) < n - 1:
            edges = (native_fallback or _native_tree)(P)
        edges = np.concatenate([keep[edges].reshape(-1, 2), copies]).astype(np.int64)
        self.edges = np.sort(edges, axis=1)
        if len(copies):  # the lists are those of the distinct points only
            self.neighbours = None


def dense_mst(P, **kwargs):
    """Edges of the exact minimum spanning tree of the rows of ``P`` (see the module notes)."""
    return DenseTree(P, **kwargs).edges
