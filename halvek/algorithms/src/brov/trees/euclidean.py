"""Euclidean minimum spanning trees of point sets.

``euclidean_mst(X)`` returns the tree as an edge list. How it is built:

* the coordinates are first divided by a power of two near the largest
  magnitude (exact), so squared distances neither overflow nor underflow;
* up to ``KD_TREE_EXACT_MAX_DIMENSIONS`` coordinates (``method="auto"`` or
  ``"exact"``): the exact tree, in native code (``binaries._tree``): Boruvka
  rounds over a k-d tree (in the plane over a grid of cells, unless the points
  crowd into few of them), each joining every component to its nearest other
  component. Equal lengths are settled by a fixed order, identical points are
  tied together by zero-length edges;
* above that, a k-d tree prunes less than spatial leaves bounding blocks of
  products: the exact tree comes from those (``dense.py``, route "blocked") for
  ``method="exact"`` (up to ``KD_TREE_MAX_DIMENSIONS`` coordinates, up to
  ``BLOCKED_MAX_POINTS_TO_32`` points: the k-d tree beyond), and for ``"auto"``
  above ``KD_TREE_MAX_DIMENSIONS`` coordinates up to ``BLOCKED_MAX_POINTS_TO_32``
  points in up to 32 coordinates and ``BLOCKED_MAX_POINTS`` in more (or
  wherever faiss is missing), where it is faster than the approximation;
* beyond (or ``method="knn"``): an approximation. Identical points are
  collapsed, each point is joined to its ``n_neighbors`` nearest neighbours
  (a k-d tree up to ``KD_TREE_MAX_DIMENSIONS`` coordinates; above, faiss's HNSW
  graph index, whose neighbours are approximate, or blocked products where faiss
  is missing), and ``scipy.sparse.csgraph.minimum_spanning_tree`` runs on that
  graph. If the k-NN graph falls apart into more than ``max_pieces`` pieces,
  k is doubled and the graph rebuilt; the remaining pieces are then joined by
  the shortest edge between every two of them (one k-d tree per piece; in
  more coordinates a close pair by alternating nearest points, linear in the
  points), through a minimum spanning tree over the pieces. Within a piece the result
  can differ from the exact tree when an exact tree edge is longer than every
  point's k-th neighbour distance; larger ``n_neighbors`` makes that rarer.
"""

from typing import NamedTuple

import numpy as np

from ..native import tree
from ..point_checks import check_points
from .csgraph import graph_from_edges
from .duplicates import collapse_duplicates

__all__ = ["Neighbours", "euclidean_mst"]

DEFAULT_NEIGHBORS = 10
DEFAULT_MAX_PIECES = 32
# Above this many coordinates a k-d tree visits most points (bench/bench_tree.py --crossover): the
# approximate route's neighbours come from HNSW, and "auto" stays exact at any size up to here.
KD_TREE_MAX_DIMENSIONS = 16
# Up to this many coordinates the exact tree comes from the k-d tree; above, blocked products over
# spatial leaves are faster, clustered or not (bench/bench_tree.py --crossover 8 12 16).
KD_TREE_EXACT_MAX_DIMENSIONS = 12
# Up to this many points in more coordinates, the exact tree from blocked products (about n^2 d
# work on spread-out points, much less on clustered ones) is faster than the HNSW approximation
# (bench/bench_tree.py --crossover): up to 32 coordinates the larger limit, measured (100,000
# uniform points in 32 coordinates: 91 s exact against 102 s for HNSW; 10 blobs: 19 s against 93).
BLOCKED_MAX_POINTS = 30000
BLOCKED_MAX_POINTS_TO_32 = 100000
HNSW_LINKS = 32  # graph links per point
HNSW_BUILD_BREADTH = 80  # candidates kept while linking a new point
HNSW_SEARCH_BREADTH = 64  # candidates kept while searching, at least twice the neighbours asked
# The most neighbours the exact "boruvka" route (k-d tree or plane grid) lists per point on the way.
BORUVKA_MAX_LISTED = 64


class Neighbours(NamedTuple):
    """Each point's nearest other points as a tree's route found them: ``index`` (n, columns),
    nearest first (-1 where fewer exist), and ``kth`` (n,) the distance to the ``k``-th nearest
    (inf where fewer exist)."""

    index: np.ndarray
    k: int
    kth: np.ndarray

    @classmethod
    def of_lists(cls, index, lengths):
        """From (n, k) arrays of indices and lengths."""
        return cls(index, lengths.shape[1], lengths[:, -1] if lengths.shape[1] else np.full(len(lengths), np.inf))


def unique_pairs(a, b, m):
    """Distinct unordered pairs (smaller, larger) of the node arrays a and b."""
    lo = np.minimum(a, b).astype(np.int64)
    hi = np.maximum(a, b).astype(np.int64)
    keys = np.sort(lo * m + hi)  # np.unique is many times slower on millions of distinct keys
    if len(keys):
        keys = keys[np.r_[True, keys[1:] != keys[:-1]]]
    return np.stack([keys // m, keys % m], axis=1)


def _without_self(idx, k):
    """The first k columns of each row of a neighbour search that did not return the row itself;
    -1 marks neighbours that were not found."""
    rows = np.arange(len(idx))[:, None]
    last = np.argsort((idx == rows) | (idx < 0), axis=1, kind="stable")[:, :k]
    index = np.take_along_axis(idx, last, axis=1).astype(np.int64)
    index[(index == rows) | (index < 0)] = -1
    return index


def _kd_neighbours(P, k, workers=-1):
    from scipy.spatial import cKDTree

    _, idx = cKDTree(P).query(P, k=k + 1, workers=workers)
    return _without_self(idx.reshape(len(P), -1), k)


def _blocked_neighbours(P, k):
    from .dense import nearest_neighbours

    return nearest_neighbours(P, k)[0]


def _hnsw_searcher(P):
    """k -> (m, k) neighbour indices from an approximate k-NN graph (faiss HNSW index), or None
    when faiss is not installed. The index is built once for every k asked."""
    try:
        import faiss
    except ImportError:
        return None
    m, d = P.shape
    index = faiss.IndexHNSWFlat(d, HNSW_LINKS)
    index.hnsw.efConstruction = HNSW_BUILD_BREADTH
    points = np.ascontiguousarray(P, dtype=np.float32)  # P is scaled to magnitudes <= 1
    index.add(points)

    def neighbours(k):
        index.hnsw.efSearch = max(HNSW_SEARCH_BREADTH, 2 * (k + 1))
        _, idx = index.search(points, k + 1)  # -1: fewer neighbours found than asked
        return _without_self(idx, k)

    return neighbours


def _neighbour_pairs(index):
    m = len(index)
    rows = np.repeat(np.arange(m), index.shape[1])
    cols = index.reshape(-1)
    keep = cols >= 0
    return unique_pairs(rows[keep], cols[keep], m)


def _neighbour_lengths(P, index):
    """Euclidean lengths to the neighbours in ``index`` (inf where -1)."""
    rows = np.repeat(np.arange(len(index)), index.shape[1])
    cols = index.reshape(-1)
    found = cols >= 0
    lengths = np.full(len(cols), np.inf)
    lengths[found] = _lengths(P, np.stack([rows[found], cols[found]], axis=1))
    return lengths.reshape(index.shape)


def _lengths(P, pairs, chunk=1 << 16, unit=None):
    """Euclidean lengths of the pairs, a chunk at a time: gathering every pair's coordinates at
    once would take gigabytes in many coordinates. With ``unit``, of the points P / unit (each
    chunk divided on the way, so that P / unit is never held whole)."""
    out = np.empty(len(pairs))
    if P.shape[1] == 2:  # gathered a coordinate at a time: twice as fast as whole rows
        x, y = P[:, 0], P[:, 1]
        for s in range(0, len(pairs), chunk):
            a, b = pairs[s:s + chunk, 0], pairs[s:s + chunk, 1]
            if unit is None:
                np.hypot(x[a] - x[b], y[a] - y[b], out=out[s:s + chunk])
            else:
                np.hypot(x[a] / unit - x[b] / unit, y[a] / unit - y[b] / unit, out=out[s:s + chunk])
        return out
    for s in range(0, len(pairs), chunk):
        ends = (P[pairs[s:s + chunk, 0]], P[pairs[s:s + chunk, 1]])
        if unit is not None:
            ends = (ends[0] / unit, ends[1] / unit)
        diff = ends[0] - ends[1]
        out[s:s + chunk] = np.linalg.norm(diff, axis=1)
    return out


def _spanning_forest(P, pairs):
    """MST (forest) of the graph given by candidate pairs: (edges, lengths)."""
    from scipy.sparse.csgraph import minimum_spanning_tree

    m = P.shape[0]
    lengths = _lengths(P, pairs)
    positive = lengths > 0  # distinct points can still underflow to 0
    graph = graph_from_edges(lengths[positive], pairs[positive, 0], pairs[positive, 1], m)
    tree = minimum_spanning_tree(graph).tocoo()
    edges = np.stack([np.minimum(tree.row, tree.col), np.maximum(tree.row, tree.col)], axis=1).astype(np.int64)
    return edges, _lengths(P, edges)


def _join_pieces(P, edges):
    """Joins the pieces of a spanning forest by their closest pairs of points."""
    from scipy.sparse.csgraph import connected_components, minimum_spanning_tree
    from scipy.spatial import cKDTree

    m = P.shape[0]
    adjacency = graph_from_edges(np.ones(len(edges)), edges[:, 0], edges[:, 1], m)
    count, piece = connected_components(adjacency, directed=False)
    if count == 1:
        return edges
    members = [np.flatnonzero(piece == c) for c in range(count)]
    low = P.shape[1] <= KD_TREE_MAX_DIMENSIONS
    trees = [cKDTree(P[idx]) for idx in members] if low else None
    best = np.zeros((count, count))
    ends = {}
    for a in range(count):
        for b in range(a + 1, count):
            small, large = (a, b) if len(members[a]) <= len(members[b]) else (b, a)
            if low:
                dist, nearest = trees[large].query(P[members[small]], k=1)
                k = int(np.argmin(dist))
                gap, ends[a, b] = dist[k], (members[small][k], members[large][nearest[k]])
            else:
                gap, i, j = _closest_by_alternation(P[members[small]], P[members[large]])
                ends[a, b] = (members[small][i], members[large][j])
            # Distinct points, but guard the zero that a dense matrix reads as "no edge".
            best[a, b] = max(gap, np.finfo(float).tiny)
    links = minimum_spanning_tree(best).tocoo()
    extra = [ends[min(a, b), max(a, b)] for a, b in zip(links.row, links.col)]
    extra = np.array([(min(u, v), max(u, v)) for u, v in extra], dtype=np.int64)
    return np.concatenate([edges, extra])


def _closest_by_alternation(A, B, rounds=8):
    """(distance, i, j) of a close pair A[i], B[j] in time linear in the points: from A's point
    nearest B's centre, the nearest point of B, then the nearest of A to that, until it settles.
    The closest pair of two convex, separated pieces is found; pieces that wrap around each other
    may get a longer link, as the k-NN route's pieces may anyway."""
    def nearest(points, q):
        return int(np.argmin(np.einsum("ij,ij->i", points - q, points - q)))

    i = nearest(A, B.mean(axis=0))
    j = nearest(B, A[i])
    for _ in range(rounds):
        i_next = nearest(A, B[j])
        if i_next == i:
            break
        i, j = i_next, nearest(B, A[i_next])
    return float(np.linalg.norm(A[i] - B[j])), i, j


def _nearest_by_products(points, queries, block=2048):
    """(distance, index) of each query's nearest point, through matrix products: in many
    dimensions a k-d tree looks at nearly every point anyway. |q - p|^2 = |q|^2 + |p|^2 - 2 q.p
    rounds, so the distances are recomputed directly for the points found."""
    norms = np.einsum("ij,ij->i", points, points)
    nearest = np.empty(len(queries), dtype=np.int64)
    for start in range(0, len(queries), block):
        q = queries[start:start + block]
        nearest[start:start + block] = np.argmin(norms[None, :] - 2 * (q @ points.T), axis=1)
    return np.linalg.norm(queries - points[nearest], axis=1), nearest


def _count_pieces(m, edges):
    from scipy.sparse.csgraph import connected_components

    adjacency = graph_from_edges(np.ones(len(edges)), edges[:, 0], edges[:, 1], m)
    return connected_components(adjacency, directed=False)[0]


def _progress_reporter(progress):
    """``progress`` as a callable of a fraction done, or one that does nothing."""
    if progress is None:
        return lambda fraction: None
    if not callable(progress):
        raise TypeError("progress must be a callable taking the fraction done (0..1), or None")
    return progress


def scale_of(X):
    """A power of two within a factor 2 below the largest coordinate magnitude (1 for all zeros).
    Dividing by it is exact and keeps squared distances away from overflow (coordinates near 1e155
    and up) and underflow (near 1e-155 and down)."""
    top = max(float(X.max()), -float(X.min())) if X.size else 0.0  # no |X| copy
    if top == 0.0:
        return 1.0
    return float(np.ldexp(1.0, int(np.frexp(top)[1]) - 1))


def _knn_tree(P, n_neighbors, max_pieces, report, approximate_neighbours, workers=-1):
    """Approximate tree from k-NN graphs (see the module documentation), over distinct points; the
    route that found the neighbours: "hnsw" (approximate_neighbours asked and faiss installed) or
    "knn" (exact neighbours: from a k-d tree in few coordinates, blocked products in more); and
    the (index, length) arrays of every point's first ``n_neighbors`` neighbours found, None when
    P holds identical rows."""
    keep, dup_edges = collapse_duplicates(P)
    report(0.1)
    Q = P[keep]
    m = Q.shape[0]
    local = np.empty((0, 2), dtype=np.int64)
    route = "knn"
    first = None
    if m > 1:
        search = _hnsw_searcher(Q) if approximate_neighbours else None
        if search is None and Q.shape[1] > KD_TREE_MAX_DIMENSIONS:
            search = lambda k: _blocked_neighbours(Q, k)  # noqa: E731
        elif search is None:
            search = lambda k: _kd_neighbours(Q, k, workers)  # noqa: E731
        else:
            route = "hnsw"
        k = int(n_neighbors)
        while True:
            index = search(min(k, m - 1))
            first = index if first is None else first
            local, _ = _spanning_forest(Q, _neighbour_pairs(index))
            report(0.6)
            if k >= m - 1 or _count_pieces(m, local) <= max_pieces:
                break
            k *= 2
        local = _join_pieces(Q, local)
    edges = keep[local] if len(local) else np.empty((0, 2), dtype=np.int64)
    edges = np.concatenate([edges.astype(np.int64), dup_edges])
    edges = np.stack([edges.min(axis=1), edges.max(axis=1)], axis=1) if len(edges) else edges
    neighbours = (first, _neighbour_lengths(Q, first)) if first is not None and not len(dup_edges) else None
    return edges, route, neighbours


def _faiss_installed():
    try:
        import faiss  # noqa: F401
    except ImportError:
        return False
    return True


def _route(method, n, d):
    """"boruvka", "blocked" or "knn" (the approximate route) for n points in d coordinates."""
    # Beyond the measured sizes the k-d tree keeps its memory linear in the points.
    if method != "knn" and (d <= KD_TREE_EXACT_MAX_DIMENSIONS or (d <= KD_TREE_MAX_DIMENSIONS
                                                                  and n > BLOCKED_MAX_POINTS_TO_32)):
        return "boruvka"
    limit = BLOCKED_MAX_POINTS_TO_32 if d <= 32 else BLOCKED_MAX_POINTS
    if method == "exact" or (method == "auto" and (d <= KD_TREE_MAX_DIMENSIONS or n <= limit or not _faiss_installed())):
        return "blocked"
    return "knn"


def euclidean_mst(X, *, method="auto", n_neighbors=DEFAULT_NEIGHBORS, max_pieces=DEFAULT_MAX_PIECES,
                  progress=None, n_jobs=None):
    """Euclidean minimum spanning tree of the rows of ``X`` (n points, d >= 1
    coordinates, finite), checked as the estimator checks its points.

    ``method``: ``"auto"`` (the exact tree up to ``KD_TREE_MAX_DIMENSIONS``
    coordinates, and above up to ``BLOCKED_MAX_POINTS_TO_32`` points in up to
    32 coordinates and ``BLOCKED_MAX_POINTS`` in more; the k-NN approximation
    beyond; the exact tree comes from a k-d tree up to
    ``KD_TREE_EXACT_MAX_DIMENSIONS`` coordinates, from blocked products
    above), ``"exact"`` (the exact tree in any dimension) or ``"knn"``.
    ``n_neighbors`` is k of the k-NN graph and ``max_pieces`` the number of pieces of that graph above
    which k is doubled (see the module documentation).

    Returns ``(edges, lengths, method_used)``: ``edges`` is an (n - 1, 2)
    int64 array with the smaller node first, ``lengths`` the float64 Euclidean
    lengths (zero between identical points), and ``method_used`` either
    ``"boruvka"`` (exact, k-d tree), ``"blocked"`` (exact, blocked products),
    ``"knn"`` (k-NN graph of exact neighbours) or ``"hnsw"`` (k-NN graph from
    faiss's HNSW index: above ``KD_TREE_MAX_DIMENSIONS`` coordinates, where
    faiss is installed). The edges form one tree over all n points.

    ``progress``, if given, is called with the fraction of the work done, a
    float from 0.0 to 1.0 that never decreases: 0.0 once the inputs are
    checked, 1.0 just before returning, and in between after each round of
    the exact tree or each stage of the k-NN route. It runs in the calling
    thread; an exception it raises stops the build and propagates.

    ``n_jobs``, a positive integer, caps the threads that search neighbours
    (the exact tree's searches, the k-d tree's queries); None lets the exact
    tree use up to 8 threads and the k-d tree all cores. Other Python threads
    run while the exact tree is built.
    """
    edges, lengths, route, _ = euclidean_mst_and_neighbours(
        X, method=method, n_neighbors=n_neighbors, max_pieces=max_pieces, progress=progress, n_jobs=n_jobs)
    return edges, lengths, route


def euclidean_mst_and_neighbours(X, *, method="auto", n_neighbors=DEFAULT_NEIGHBORS,
                                 max_pieces=DEFAULT_MAX_PIECES, progress=None, n_jobs=None, compact_indices=False,
                                 listed=0):
    """``euclidean_mst``'s three results and the neighbours its route found on the way, for the
    callers that would otherwise search again: a ``Neighbours`` of every point's ``n_neighbors``
    nearest other points (the neighbours of the "hnsw" route are approximate), or None (identical
    points are collapsed before any search). The exact "boruvka" route lists them only when
    ``listed`` > 0 asks (and n_neighbors is at most ``BORUVKA_MAX_LISTED``), keeping the first
    ``listed`` indices. ``compact_indices``: the edges as int32 where the exact k-d tree route
    builds them and n allows (half their memory)."""
    report = _progress_reporter(progress)
    X = check_points(X, min_points=0)
    if method not in ("auto", "exact", "knn"):
        raise ValueError("method must be 'auto', 'exact' or 'knn', got %r" % (method,))
    if int(n_neighbors) != n_neighbors or n_neighbors < 1:
        raise ValueError("n_neighbors must be a positive integer, got %r" % (n_neighbors,))
    if int(max_pieces) != max_pieces or max_pieces < 1:
        raise ValueError("max_pieces must be a positive integer, got %r" % (max_pieces,))
    if n_jobs is not None and (isinstance(n_jobs, bool) or int(n_jobs) != n_jobs or n_jobs < 1):
        raise ValueError("n_jobs must be a positive integer or None, got %r" % (n_jobs,))
    report(0.0)
    scale = scale_of(X)
    route = _route(method, *X.shape)
    neighbours = None
    if route == "boruvka":  # the native build scales its own copy by the same power of two
        P, unit = X, scale
        lists = int(n_neighbors) if listed > 0 and n_neighbors <= BORUVKA_MAX_LISTED else 0
        built = tree().euclidean_mst_edges(np.ascontiguousarray(X), progress, threads=int(n_jobs or 0),
                                           int32=bool(compact_indices) and X.shape[0] < 2 ** 31 - 1,
                                           neighbours=lists, kept=min(int(listed), lists))
        edges = built[0] if lists else built
        if lists and built[1] is not None:  # the build's lengths are in X's units already
            neighbours = Neighbours(built[1], lists, built[2])
    else:
        P, unit = np.ascontiguousarray(X / scale), None
    if route == "blocked":
        from .dense import DenseTree

        built = DenseTree(P, k=n_neighbors, native_fallback=tree().euclidean_mst_edges, report=report)
        edges = built.edges
        if built.neighbours is not None:
            with np.errstate(over="ignore"):
                neighbours = Neighbours.of_lists(built.neighbours[0], np.sqrt(built.neighbours[1]) * scale)
    elif route == "knn":
        edges, route, neighbours = _knn_tree(P, n_neighbors, max_pieces, report,
                                             X.shape[1] > KD_TREE_MAX_DIMENSIONS, int(n_jobs or -1))
        if neighbours is not None:
            with np.errstate(over="ignore"):
                neighbours = Neighbours.of_lists(neighbours[0], neighbours[1] * scale)
    with np.errstate(over="ignore"):
        lengths = _lengths(P, edges, unit=unit) * scale if len(edges) else np.empty(0)
    if not np.all(np.isfinite(lengths)):
        raise ValueError("X spans distances beyond the float64 range (about 1.8e308); scale the points down")
    report(1.0)
    return edges, lengths, route, neighbours
