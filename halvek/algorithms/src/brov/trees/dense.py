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

import numpy as np

from ..native import tree
from .component_pairs import pair_pass, pairs_by_bounds
from .duplicates import collapse_duplicates
from .leaves import Leaves
from .products import error_bounds, extended, squared_distances, thread_count

__all__ = ["DenseTree", "dense_mst", "nearest_neighbours"]

# Up to this many components, and (points x components) entries, one pass finds their closest pairs.
PAIR_COMPONENTS = 512
PAIR_ENTRIES = 1 << 26
LAZY_COMPONENTS = 64  # up to this many, pairs of components are settled as their bounds come up
NEIGHBOURS = 10
MAX_NEIGHBOURS = 640  # lists longer than this: the native tree finishes instead


class _Lists:
    """For each point: up to ``k`` nearest points outside its component (indices, squared float64
    distances, sorted by distance then index; -1 / inf pad) and ``reach``: every point outside
    the component and not in the list is at least that far (squared)."""

    def __init__(self, index, dist, reach):
        self.index, self.dist, self.reach = index, dist, reach


class _Layout:
    """The points in the order of their leaves (``Leaves``), with their extended rows in ``dtype``
    and the error bounds of their products."""

    def __init__(self, X, norms, leaves, dtype):
        self.leaves, self.dtype = leaves, dtype
        o = leaves.order
        self.left, self.right = extended(X[o], norms[o], dtype)
        self.err = error_bounds(X[o], norms[o], np.dtype(dtype))


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
    lists, threads = tree().tile_lists, thread_count()
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
    exact = squared_distances(P, u, v)
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
    err = 2 * error_bounds(X, norms, np.dtype(np.float32))[rows]
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
                new = pairs_by_bounds(P, layout, comp)
                self.passes += 1
            elif not len(new) and components <= PAIR_COMPONENTS and n * components <= PAIR_ENTRIES:
                new = pair_pass(P, X, norms, comp, dtype)
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
