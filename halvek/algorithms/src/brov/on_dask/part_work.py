"""What the workers run: plain functions of NumPy arrays, one part (or one
chunk of the input, or the borders of two parts) at a time. A part is a dict:
``P`` its points divided by the fit's scale, ``ids`` their rows in the input
(increasing) and ``codes`` their int8 label codes; the later stages add the
part's tree and, once the merge is known, its share of the final tree."""

import numpy as np

from ..labels import decode_labels
from ..native import tree
from ..trees.euclidean import _lengths
from .partition import point_box_distances

__all__ = ["assemble", "border", "closest_pair", "cut_chunk", "finish", "flood", "join_chunk", "pair_cross_edges",
           "part_box", "part_tree", "route_to_chunks", "tree_report"]

# Relative slack of the geometric tests against rounding: a point is taken into a border, or an
# edge is left uncertain, whenever rounding could change the answer.
SLACK = 1e-9


def _empty_edges():
    return np.empty((0, 2), dtype=np.int64)


def _graph(n, edges, weights=None):
    import scipy.sparse as sp

    data = np.ones(len(edges)) if weights is None else weights
    return sp.csr_matrix((data, (edges[:, 0], edges[:, 1])), shape=(n, n))


def _components(n, edges):
    from scipy.sparse.csgraph import connected_components

    return connected_components(_graph(n, edges), directed=False)[1]


def cut_chunk(X, y, offset, splitter, scale, classes):
    """One input chunk cut into the parts: per part (points / scale, rows, codes)."""
    X = np.asarray(X, dtype=np.float64)
    bad = ~np.isfinite(X)
    if bad.any():
        row = int(np.flatnonzero(bad.any(axis=1))[0])
        raise ValueError("X holds NaN or infinite coordinates, first at row %d" % (offset + row))
    y = np.asarray(y)
    labelled = y != -1
    codes = np.where(labelled, np.searchsorted(classes, y), -1).astype(np.int8)
    part = splitter.assign(X)
    order = np.argsort(part, kind="stable")
    bounds = np.searchsorted(part[order], np.arange(splitter.n_parts + 1))
    pieces = []
    for k in range(splitter.n_parts):
        rows = order[bounds[k]:bounds[k + 1]]
        pieces.append((X[rows] / scale, offset + rows.astype(np.int64), codes[rows]))
    return pieces


def assemble(*pieces):
    """A part from its pieces of every chunk (chunks in input order, so rows increase)."""
    return {"P": np.concatenate([p[0] for p in pieces]), "ids": np.concatenate([p[1] for p in pieces]),
            "codes": np.concatenate([p[2] for p in pieces])}


def part_box(part):
    """(number of points, lowest and highest coordinates) of a part."""
    P = part["P"]
    if not len(P):
        return 0, None, None
    return len(P), P.min(axis=0), P.max(axis=0)


def _certain_edges(n, edges, lengths, escape):
    """Which edges of a part's tree are edges of the whole tree, whatever the other parts hold.

    ``escape[p]`` is a lower bound on the distance from point p to any point of another part.
    An edge of length w is certain when the points its one end reaches by edges shorter than w
    all have ``escape >= w``: then no path of edges shorter than w leaves the part from there,
    and within the part the tree has no such path to the other end. That is the case exactly
    when the edge belongs to the minimum spanning tree of the part's tree with an extra node
    joined to every point p by an edge of length escape[p]; equal values order tree edges
    first. Returns a boolean mask over ``edges``."""
    from scipy.sparse.csgraph import minimum_spanning_tree

    m = len(edges)
    near = np.flatnonzero(np.isfinite(escape))
    if not m or not len(near):
        return np.ones(m, dtype=bool)
    values = np.concatenate([lengths, escape[near] * (1.0 - SLACK)])
    kinds = np.concatenate([np.zeros(m, np.int8), np.ones(len(near), np.int8)])
    order = np.lexsort((kinds, values))
    rank = np.empty(len(values), dtype=np.float64)
    rank[order] = np.arange(1, len(values) + 1)  # distinct and positive: SciPy reads 0 as no edge
    pairs = np.concatenate([edges, np.stack([near, np.full(len(near), n)], axis=1)])
    chosen = minimum_spanning_tree(_graph(n + 1, pairs, rank)).tocoo().data.astype(np.int64)
    entries = order[chosen - 1]
    certain = np.zeros(m, dtype=bool)
    certain[entries[entries < m]] = True
    return certain


def part_tree(part, lows, highs, me, scale):
    """The exact tree of a part, which of its edges are certain, and each point's fragment (the
    smallest row joined to it by certain edges)."""
    P = part["P"]
    n = len(P)
    edges = tree().euclidean_mst_edges(P, None) if n else _empty_edges()
    lengths = _lengths(P, edges) * scale if len(edges) else np.empty(0)
    escape = np.full(n, np.inf)
    for k in range(len(lows)):
        if k != me and lows[k] is not None:
            escape = np.minimum(escape, point_box_distances(P, lows[k], highs[k]) * scale)
    certain = _certain_edges(n, edges, lengths, escape)
    comp = _components(n, edges[certain])
    first = np.unique(comp, return_index=True)[1]
    return dict(part, edges=edges, lengths=lengths, certain=certain, fragment=part["ids"][first][comp])


def tree_report(part):
    """What the driver needs of a part's tree: its uncertain edges (rows, length, fragments of
    both ends), their longest length, one fragment of the part and the certain edges' count."""
    ids, fragment = part["ids"], part["fragment"]
    uncertain = part["edges"][~part["certain"]]
    lengths = part["lengths"][~part["certain"]]
    return {"u": ids[uncertain[:, 0]], "v": ids[uncertain[:, 1]], "w": lengths,
            "fu": fragment[uncertain[:, 0]], "fv": fragment[uncertain[:, 1]],
            "reach": float(lengths.max()) if len(lengths) else 0.0,
            "fragment": int(fragment[0]) if len(ids) else -1, "certain": int(part["certain"].sum())}


def border(part, low, high, reach, scale):
    """The points of a part within ``reach`` of the box [low, high] of another part."""
    near = point_box_distances(part["P"], low, high) * scale <= reach * (1.0 + SLACK)
    return {"P": part["P"][near], "ids": part["ids"][near], "fragment": part["fragment"][near]}


def pair_cross_edges(a, b, reach, scale):
    """The edges of length <= reach between two borders that their joint exact tree holds."""
    P = np.concatenate([a["P"], b["P"]])
    if len(a["P"]) == 0 or len(b["P"]) == 0:
        return dict({key: np.empty(0, np.int64) for key in ("u", "v", "fu", "fv")}, w=np.empty(0))
    edges = tree().euclidean_mst_edges(np.ascontiguousarray(P), None)
    lengths = _lengths(P, edges) * scale
    side = np.arange(len(P)) >= len(a["P"])
    keep = (side[edges[:, 0]] != side[edges[:, 1]]) & (lengths <= reach)
    edges = np.sort(edges[keep], axis=1)  # the end in a first
    ids = np.concatenate([a["ids"], b["ids"]])
    fragment = np.concatenate([a["fragment"], b["fragment"]])
    return {"u": ids[edges[:, 0]], "v": ids[edges[:, 1]], "w": lengths[keep],
            "fu": fragment[edges[:, 0]], "fv": fragment[edges[:, 1]]}


def closest_pair(a, b, scale):
    """(row in a, row in b, length) of the closest pair of points of two parts."""
    from scipy.spatial import cKDTree

    _, nearest = cKDTree(b["P"]).query(a["P"], k=1)
    pairs = np.stack([np.arange(len(a["P"])), nearest], axis=1)
    lengths = _lengths(np.concatenate([a["P"], b["P"]]), pairs + [0, len(a["P"])]) * scale
    k = int(np.argmin(lengths))
    return int(a["ids"][k]), int(b["ids"][nearest[k]]), float(lengths[k])


def _on_label_paths(n, forest, pinned):
    """Which nodes of a forest lie on a path between two pinned nodes (or are pinned): each tree
    is rooted at a pinned node, and the ancestors of the pinned nodes are marked by pointer
    doubling, without a walk along the trees' depth."""
    from scipy.sparse.csgraph import breadth_first_order

    comp = _components(n, forest)
    anchor = np.where(pinned, np.arange(n), n)
    root = np.full(comp.max() + 1 if n else 0, n, dtype=np.int64)
    np.minimum.at(root, comp, anchor)
    first = np.unique(comp, return_index=True)[1]
    root = np.where(root < n, root, first)
    star = np.stack([np.full(len(root), n), root], axis=1)
    _, parent = breadth_first_order(_graph(n + 1, np.concatenate([forest, star])), n, directed=False,
                                    return_predecessors=True)
    jump = parent[:n].astype(np.int64)
    jump[root] = root
    marked = pinned.copy()
    while True:
        marked[jump[marked]] = True
        further = jump[jump]
        if np.array_equal(further, jump):
            return marked
        jump = further


def finish(part, chosen, cross_rows):
    """A part's share of the final tree: its certain edges and its chosen uncertain ones (mask
    over the report's list). The points on paths between labelled points or ends of edges to
    other parts are kept; what the driver gets (``kept``) is those edges and points only."""
    uncertain = ~part["certain"]
    take = part["certain"].copy()
    take[np.flatnonzero(uncertain)[chosen]] = True
    forest, lengths = part["edges"][take], part["lengths"][take]
    ids, codes = part["ids"], part["codes"]
    pinned = codes >= 0
    pinned[np.searchsorted(ids, cross_rows)] = True
    on_paths = _on_label_paths(len(ids), forest, pinned)
    kept = on_paths[forest[:, 0]] & on_paths[forest[:, 1]]
    report = {"u": ids[forest[kept, 0]], "v": ids[forest[kept, 1]], "w": lengths[kept],
              "nodes": ids[on_paths], "codes": codes[on_paths], "edges": len(forest),
              "length": float(np.sum(lengths))}
    return {"ids": ids, "forest": forest, "lengths": lengths, "report": report}


def report_of(finished):
    return finished["report"]


def forest_edges(finished):
    """A part's edges of the final tree as rows of the input, smaller first, and their lengths."""
    edges = finished["ids"][finished["forest"]]
    return np.sort(edges, axis=1), finished["lengths"]


def flood(finished, cut_u, cut_v, kept_rows, kept_codes, classes, dtype):
    """Labels of a part's points: each piece of its forest, cut where the driver cut, takes the
    class of its kept points. Returns (rows, class ids)."""
    ids, forest = finished["ids"], finished["forest"]
    n = len(ids)
    ends = np.sort(ids[forest], axis=1)
    cut = np.sort(np.stack([cut_u, cut_v], axis=1), axis=1)
    is_cut = np.isin(ends[:, 0] * (ids[-1] + 1) + ends[:, 1], cut[:, 0] * (ids[-1] + 1) + cut[:, 1]) if n else []
    comp = _components(n, forest[~np.asarray(is_cut, dtype=bool)])
    code_of = np.full(comp.max() + 1 if n else 0, -1, dtype=np.int8)
    code_of[comp[np.searchsorted(ids, kept_rows)]] = kept_codes
    return ids, decode_labels(code_of[comp], classes, dtype)


def route_to_chunks(rows, values, bounds):
    """(rows, values) split by the input chunks [bounds[c], bounds[c + 1])."""
    at = np.searchsorted(rows, bounds)
    return [(rows[at[c]:at[c + 1]], values[at[c]:at[c + 1]]) for c in range(len(bounds) - 1)]


def join_chunk(offset, size, dtype, *pieces):
    out = np.empty(size, dtype=dtype)
    for rows, values in pieces:
        out[rows - offset] = values
    return out
