"""Clustering without containers: an edge list (``cluster_tree``) or a
precomputed sparse graph reduced to its minimum spanning forest
(``cluster_graph``).

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

from .graphs import check_square_sparse, csr_parts
from .labels import decode_labels, encode_labels, result_dtype
from .native import bulk
from .trees.forest import spanning_forest

__all__ = ["ClusteredForest", "cluster_forest", "cluster_graph", "cluster_tree"]

ClusteredForest = namedtuple("ClusteredForest", ["labels", "edges", "weights", "cut_edges"])
ClusteredForest.__doc__ = """Result of ``cluster_graph(..., return_forest=True)``.

labels : class id of every node (-1 in pieces without a labelled node)
edges : (m, 2) int64, the edges of the minimum spanning forest that were kept, smaller node first
weights : float64, the given weight of each kept edge
cut_edges : bool mask over ``edges``, True for the edges that the clustering cut
"""


def cluster_tree(edges, weights, codes, cuts=True):
    """``clusterize`` on the graph of an edge list, without GraphWrapper
    containers: returns the new int8 codes and a boolean mask of the cut edges
    (None with ``cuts=False``: the same codes, found faster on a forest).

    ``edges`` is an (m, 2) integer array of node pairs, ``weights`` the m
    positive edge weights and ``codes`` the int8 labels of :func:`encode_labels`
    (one per node). Equal weights are cut in the order of ``cluster_graph``:
    each edge weighs its rank by (weight, smaller node, larger node). The
    labels are those that ``clusterize`` gives on the pair ``graph_pair`` makes
    of the symmetric matrix with these ranks; the mask holds the edges it cut.
    Raises ValueError for nodes out of range, self-loops, edges given twice
    and weights that are not positive and finite.
    """
    edges = np.asarray(edges)
    if edges.dtype not in (np.int32, np.int64):
        edges = edges.astype(np.int64) if edges.dtype.kind in "iu" else edges
    weights = np.asarray(weights)
    if weights.dtype not in (np.float32, np.float64) and weights.dtype.kind in "iu":
        weights = weights.astype(np.float64)
    return bulk().cluster_edges(np.ascontiguousarray(edges), np.ascontiguousarray(weights),
                                 np.ascontiguousarray(codes), rank_weights=True, labels_only=not cuts)


def cluster_forest(graph, codes, with_cuts=True):
    """Check every entry of ``graph``, reduce it to its minimum spanning forest
    and cluster that with the int8 label ``codes``.

    Returns ``(new_codes, edges, weights, cut_edges)``; ``cut_edges`` is None
    unless ``with_cuts``.
    """
    # The loader's checks refuse asymmetric, duplicated, self-looped or badly weighted entries.
    bulk().edges_from_csr(*csr_parts(graph))
    edges, weights = spanning_forest(graph)
    new_codes, cut = cluster_tree(edges, weights, codes)
    return new_codes, edges, weights, cut if with_cuts else None


def cluster_graph(graph, labels, *, return_forest=False):
    """Cluster a precomputed graph: cut the heaviest edges on the paths that
    join differently labelled nodes, then spread each label over its piece.

    ``graph`` is a symmetric SciPy sparse matrix of positive edge weights;
    ``labels`` holds one integer class id per node, -1 for unlabelled nodes.
    Returns an array of class ids with the dtype of ``labels`` (int64 for
    other dtypes); nodes whose piece of the graph holds no labelled node keep
    -1. The inputs are checked before anything is computed.

    The graph is first reduced to its minimum spanning forest
    (``scipy.sparse.csgraph.minimum_spanning_tree``), and only the forest is
    clustered: on a graph with cycles the number of paths between labelled
    nodes explodes, while a forest has one path between two nodes, and it
    keeps for every two connected nodes a path whose heaviest edge is as light
    as in the graph. Among equal weights the forest keeps the edge with the
    smaller (smaller node, larger node). A graph that already is a forest is
    clustered as it is. To run the exhaustive search on a cyclic graph, call
    ``brov_core.clusterize`` on a :func:`graph_pair` yourself.

    Weights are replaced by their ranks before clustering (see
    :func:`graph_pair`), so equal weights are cut in a fixed order: heaviest
    first, and among equal weights the edge with the larger smaller node,
    then the larger other node, first.

    With ``return_forest=True`` the result is a :class:`ClusteredForest`
    ``(labels, edges, weights, cut_edges)``: the kept edges (smaller node
    first), their weights and which of them were cut.
    """
    check_square_sparse(graph)
    codes, classes = encode_labels(labels, graph.shape[0])
    new_codes, edges, weights, cut = cluster_forest(graph, codes, with_cuts=return_forest)
    result = decode_labels(new_codes, classes, result_dtype(labels, classes))
    return ClusteredForest(result, edges, weights, cut) if return_forest else result
