"""The minimum spanning forest of a precomputed graph, which ``cluster_graph``
clusters in place of the graph."""

import numpy as np

from .csgraph import graph_from_edges, rank_order

__all__ = ["spanning_forest"]

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
    from scipy.sparse.csgraph import connected_components, minimum_spanning_tree

    n = graph.shape[0]
    edges, weights = _upper_edges(graph)
    adjacency = graph_from_edges(np.ones(len(edges)), edges[:, 0], edges[:, 1], n)
    pieces = connected_components(adjacency, directed=False)[0]
    if len(edges) == n - pieces:
        return edges, weights
    by_rank = rank_order(edges, weights, in_pair_order=True)
    ranks = np.empty(len(edges), dtype=np.float64)
    ranks[by_rank] = np.arange(1, len(edges) + 1, dtype=np.float64)
    # Distinct ranks make the tree unique, and it is a minimum tree for the weights too.
    tree = minimum_spanning_tree(graph_from_edges(ranks, edges[:, 0], edges[:, 1], n)).tocoo()
    kept = np.sort(by_rank[tree.data.astype(np.int64) - 1])
    return edges[kept], weights[kept]
