"""The driver's share of the tree: the minimum spanning tree over the parts'
fragments of the few edges that are not settled inside a part, and the joins
between parts that no border edge reaches."""

import heapq

import numpy as np

__all__ = ["edge_order", "join_fragments", "join_parts"]


def edge_order(u, v, w):
    """Ranks 1..m of edges by (length, smaller row, larger row): the one order every tie is
    settled by."""
    order = np.lexsort((np.maximum(u, v), np.minimum(u, v), w))
    rank = np.empty(len(w), dtype=np.float64)
    rank[order] = np.arange(1, len(w) + 1)
    return rank


def join_fragments(edges, part_fragments):
    """Which of the candidate ``edges`` (dict of arrays u, v, w, fu, fv: rows, length, fragments
    of the ends) the minimum spanning tree over the fragments takes, and the piece of that tree
    holding each part (one fragment of each part given in ``part_fragments``)."""
    import scipy.sparse as sp
    from scipy.sparse.csgraph import connected_components, minimum_spanning_tree

    m = len(edges["w"])
    nodes, at = np.unique(np.concatenate([edges["fu"], edges["fv"], part_fragments]), return_inverse=True)
    a, b = at[:m], at[m:2 * m]
    rank = edge_order(edges["u"], edges["v"], edges["w"])
    # The lightest edge between two fragments stands for all of them (SciPy would add them up).
    by_rank = np.argsort(rank)
    key = np.minimum(a, b) * len(nodes) + np.maximum(a, b)
    lightest = by_rank[np.unique(key[by_rank], return_index=True)[1]]
    shape = (len(nodes), len(nodes))
    graph = sp.csr_matrix((rank[lightest], (a[lightest], b[lightest])), shape=shape)
    chosen_ranks = minimum_spanning_tree(graph).tocoo().data.astype(np.int64)
    chosen = np.zeros(m, dtype=bool)
    chosen[by_rank[chosen_ranks - 1]] = True
    picked = sp.csr_matrix((np.ones(int(chosen.sum())), (a[chosen], b[chosen])), shape=shape)
    piece = connected_components(picked, directed=False)[1]
    return chosen, piece[at[2 * m:]]


def join_parts(piece, gaps, closest):
    """Kruskal over the pieces of parts that the border edges left apart. ``gaps[i][j]`` is a
    lower bound on the distance between parts i and j (their boxes' gap); ``closest(i, j)``
    computes their closest pair (row in i, row in j, length). The bounds are replaced by exact
    distances only while they could still be the lightest join. Returns the joins
    (row, row, length, part, part)."""
    piece = np.array(piece)
    k = len(piece)
    heap = [(gaps[i][j], False, i, j, -1, -1) for i in range(k) for j in range(i + 1, k) if piece[i] != piece[j]]
    heapq.heapify(heap)
    joins = []
    while heap and len(np.unique(piece)) > 1:
        length, exact, i, j, u, v = heapq.heappop(heap)
        if piece[i] == piece[j]:
            continue
        if not exact:
            u, v, length = closest(i, j)
            heapq.heappush(heap, (length, True, i, j, u, v))
            continue
        joins.append((u, v, length, i, j))
        piece[piece == piece[j]] = piece[i]
    return joins
