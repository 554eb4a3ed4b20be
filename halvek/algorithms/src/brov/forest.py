"""The minimum spanning forest of a precomputed graph, for ``cluster_graph``.

The labelled path search of ``brov_core`` follows every simple path between
labelled nodes; on a graph with cycles their number grows exponentially with
the size of the graph. On a forest there is exactly one path between two
nodes, so ``cluster_graph`` first reduces any graph to its minimum spanning
forest: the cuts only ever remove the heaviest edge of a path, and the forest
keeps, for every two connected nodes, a path whose heaviest edge is as light
as possible.
"""

from collections import namedtuple

import numpy as np

__all__ = ["ClusteredForest", "spanning_forest"]

ClusteredForest = namedtuple("ClusteredForest", ["labels", "edges", "weights", "cut_edges"])
ClusteredForest.__doc__ = """Result of ``cluster_graph(..., return_forest=True)``.

labels : class id of every node (-1 in pieces without a labelled node)
edges : (m, 2) int64, the edges of the minimum spanning forest that were kept, smaller node first
weights : float64, the given weight of each kept edge
cut_edges : bool mask over ``edges``, True for the edges that the clustering cut
"""


def _upper_edges(graph):
    """Each stored edge of a symmetric matrix once, (smaller node, larger node) in increasing order, and its weight."""
    csr = graph.tocsr(copy=True)
    csr.sort_indices()  # row by row, then column: the order of the pairs
    coo = csr.tocoo()
    upper = coo.row < coo.col
    edges = np.stack([coo.row[upper], coo.col[upper]], axis=1).astype(np.int64)
    return edges, coo.data[upper].astype(np.float64)


def spanning_forest(graph):
    """``(edges, weights)`` of the minimum spanning forest of a symmetric sparse
    graph whose entries have already been checked.

    Equal weights are ordered by (smaller node, larger node), so the forest is
    unique: among equally heavy alternatives the edge with the smaller nodes
    is kept. A graph that already is a forest comes back whole.
    """
    import scipy.sparse as sp
    from scipy.sparse.csgraph import connected_components, minimum_spanning_tree


    n = graph.shape[0]
    edges, weights = _upper_edges(graph)
    adjacency = sp.csr_array((np.ones(len(edges)), (edges[:, 0], edges[:, 1])), shape=(n, n))
    pieces = connected_components(adjacency, directed=False)[0]
    if len(edges) == n - pieces:
        return edges, weights
    # The edges are in (smaller, larger) order, so a stable sort by weight ranks them by
    # (weight, smaller node, larger node).
    by_rank = np.argsort(weights, kind="stable")
    ranks = np.empty(len(edges), dtype=np.float64)
    ranks[by_rank] = np.arange(1, len(edges) + 1, dtype=np.float64)
    # Distinct ranks make the tree unique, and it is a minimum tree for the weights too.
    tree = minimum_spanning_tree(sp.csr_array((ranks, (edges[:, 0], edges[:, 1])), shape=(n, n))).tocoo()
    kept = np.sort(by_rank[tree.data.astype(np.int64) - 1])
    return edges[kept], weights[kept]


def cluster_forest(graph, codes, with_cuts=True):
    """Check every entry of ``graph``, reduce it to its minimum spanning forest
    and cluster that with the int8 label ``codes``.

    Returns ``(new_codes, edges, weights, cut_edges)``; ``cut_edges`` is None
    unless ``with_cuts``.
    """
    from .graph import _bulk, _csr_parts, cluster_tree

    # The loader's checks refuse asymmetric, duplicated, self-looped or badly weighted entries.
    _bulk().edges_from_csr(*_csr_parts(graph))
    edges, weights = spanning_forest(graph)
    new_codes, cut = cluster_tree(edges, weights, codes)
    return new_codes, edges, weights, cut if with_cuts else None
