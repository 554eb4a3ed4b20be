"""Graphs in bulk: SciPy sparse matrices to GraphWrapper pairs and back, and
clustering of a precomputed graph.

The native work is done by ``binaries._bulk`` (loading, checks, export) and
``binaries.brov_core`` (``clusterize``); both are imported on first use, so
importing this package stays cheap.
"""

import numpy as np

__all__ = ["graph_pair", "graph_to_csr", "cluster_graph", "cluster_tree", "encode_labels", "decode_labels"]

#: Number of distinct classes an int8 label array can carry (-1 is reserved).
# The path search takes only the codes 0..127 for labels (negative codes are unlabelled).
MAX_CLASSES = 128


def _bulk():
    from .binaries import _bulk as module
    return module


def _core():
    from .binaries import brov_core as module
    return module


def _csr_parts(matrix):
    """Validated CSR arrays (indptr, indices, data as float64) of a square sparse matrix."""
    import scipy.sparse as sp

    if not sp.issparse(matrix):
        raise TypeError(
            "expected a SciPy sparse matrix or array, got %s" % type(matrix).__name__)
    if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
        raise ValueError("the graph must be a square matrix, got shape %s" % (matrix.shape,))
    kind = matrix.dtype.kind
    if kind not in "iuf":
        raise TypeError(
            "edge weights must be real numbers (integer or float), got dtype %s" % matrix.dtype)
    if matrix.format == "coo":
        _refuse_duplicate_coo_entries(matrix)
    csr = matrix.tocsr()
    indptr = csr.indptr if csr.indptr.dtype in (np.int32, np.int64) else csr.indptr.astype(np.int64)
    indices = csr.indices if csr.indices.dtype in (np.int32, np.int64) else csr.indices.astype(np.int64)
    data = csr.data if csr.data.dtype in (np.float32, np.float64) else csr.data.astype(np.float64)
    return (np.ascontiguousarray(indptr), np.ascontiguousarray(indices),
            np.ascontiguousarray(data), csr.shape[0])


def _refuse_duplicate_coo_entries(coo):
    """COO matrices may store an entry twice, and converting them sums the
    copies; refuse them as the loader refuses duplicates in CSR rows."""
    if coo.nnz < 2:
        return
    keys = coo.row.astype(np.int64) * coo.shape[1] + coo.col
    order = np.argsort(keys, kind="stable")
    repeated = np.flatnonzero(keys[order][1:] == keys[order][:-1])
    if len(repeated):
        first = order[repeated[0]]
        raise ValueError("duplicate entry (%d, %d): each edge may be stored only once per row"
                         % (coo.row[first], coo.col[first]))


def _refuse_float32_underflow(indptr, indices, data):
    """GraphWrapper stores float32 weights: a positive weight below its range
    would turn into 0, which is not a valid weight."""
    if data.dtype != np.float64:
        return
    # Below half the smallest float32 subnormal (2**-150) a weight rounds to 0.
    lost = np.flatnonzero((data > 0) & (data <= 2.0 ** -150))
    if len(lost):
        row = int(np.searchsorted(indptr, lost[0], side="right") - 1)
        raise ValueError(
            "edge (%d, %d) has the weight %.17g, which is 0 in float32 storage: rescale the weights "
            "or pass rank_weights=True (only their order matters)" % (row, indices[lost[0]], data[lost[0]]))


def graph_pair(graph, *, rank_weights=False):
    """Load a symmetric SciPy sparse matrix into a (connections, weights) pair.

    Every stored entry (i, j) with weight w becomes one edge entry in list i;
    the matrix must be symmetric (entry (j, i) with the same weight) and its
    weights positive and finite, without self-loops or explicit zeros. The
    lists keep the column order of each CSR row and have room for the two
    joining edges per node that ``clusterize`` may add.

    With ``rank_weights=True`` each edge's weight becomes the rank of
    (weight, smaller node, larger node), starting at 1: ``clusterize`` only
    compares weights, so the cuts come out the same, and equal weights no
    longer tie.

    Raises TypeError for something that is not a sparse matrix of real
    numbers, ValueError for any other malformed or asymmetric input.
    """
    indptr, indices, data, n = _csr_parts(graph)
    if not rank_weights:
        _refuse_float32_underflow(indptr, indices, data)
    return _bulk().graph_from_csr(indptr, indices, data, n, rank_weights=bool(rank_weights))


def graph_to_csr(connections, weights):
    """The current edges of a GraphWrapper pair as a ``scipy.sparse.csr_array``
    of float32 weights. Parallel entries are kept as stored (not summed)."""
    import scipy.sparse as sp

    indptr, indices, data = _bulk().graph_to_csr(connections, weights)
    n = len(indptr) - 1
    return sp.csr_array((data, indices, indptr), shape=(n, n))


_INT64_LIMIT = 2.0 ** 63


def _integer_ids(y):
    """A one-dimensional label array as int64 class ids, refusing anything
    that is not an integer id or does not fit in int64 exactly."""
    if y.dtype.kind in "iu":
        if y.dtype.kind == "u" and y.dtype.itemsize == 8 and len(y) and y.max() >= 2 ** 63:
            at = int(np.argmax(y >= 2 ** 63))
            raise ValueError("class id %d at position %d does not fit in a 64-bit signed integer" % (y[at], at))
        return y
    if y.dtype.kind == "f":
        bad = ~np.isfinite(y)
        if bad.any():
            at = int(np.argmax(bad))
            raise ValueError("Input y contains NaN or infinity: %r at position %d (labels are integer class "
                             "ids; mark unlabelled points with -1)" % (float(y[at]), at))
        outside = ~(np.abs(y) < _INT64_LIMIT)
        if outside.any():
            at = int(np.argmax(outside))
            raise ValueError("class id %r at position %d does not fit in a 64-bit signed integer"
                             % (float(y[at]), at))
        fractional = y != np.round(y)
        if fractional.any():
            at = int(np.argmax(fractional))
            raise ValueError("Unknown label type: labels must be integer class ids (-1 = unlabelled); "
                             "got %r at position %d" % (float(y[at]), at))
        return y.astype(np.int64)
    if y.dtype.kind == "O":
        plain = [v for v in y.tolist() if isinstance(v, (int, np.integer)) and not isinstance(v, bool)]
        if len(plain) == len(y):
            return _integer_ids(np.array(plain) if len(plain) else np.empty(0, np.int64))
    if y.dtype.kind in "OUS" and len(y):
        at = next(i for i, v in enumerate(y.tolist())
                  if isinstance(v, (str, bytes)) or not isinstance(v, (int, np.integer)) or isinstance(v, bool))
        raise TypeError("labels must be integer class ids (-1 = unlabelled), got %r at position %d"
                        % (y.tolist()[at], at))
    raise TypeError("labels must be integer class ids (-1 = unlabelled), got dtype %s" % y.dtype)


def encode_labels(y, n_samples=None):
    """Turn integer class ids (-1 = unlabelled) into the int8 codes that
    ``clusterize`` takes.

    Returns ``(codes, classes)``: ``classes`` are the distinct labelled ids in
    increasing order and ``codes[i]`` is the position of ``y[i]`` in it, stored
    as int8 (0..127), or -1 where y is -1. Raises TypeError for non-integer
    ids and ValueError for a wrong shape or length, for more than 128 classes,
    or when no point is labelled.
    """
    if y is None:
        raise ValueError("labels are required: one integer class id per point, -1 for unlabelled points")
    y = np.asarray(y)
    if y.ndim != 1:
        raise ValueError("labels must be one-dimensional (one class id per point), got shape %s" % (y.shape,))
    if n_samples is not None and y.shape[0] != n_samples:
        raise ValueError(
            "got %d labels for %d points: there must be one label per point (-1 = unlabelled)"
            % (y.shape[0], n_samples))
    y = _integer_ids(y)
    labelled = y != -1
    if not labelled.any():
        raise ValueError("no labelled point: at least one label must differ from -1")
    classes, inverse = np.unique(y[labelled], return_inverse=True)
    if classes.shape[0] > MAX_CLASSES:
        raise ValueError(
            "%d distinct classes: at most %d are supported" % (classes.shape[0], MAX_CLASSES))
    codes = np.full(y.shape[0], -1, dtype=np.int8)
    codes[labelled] = inverse.astype(np.int8)
    return codes, classes


def decode_labels(codes, classes, dtype=None):
    """Inverse of :func:`encode_labels`: class ids, -1 where a code is -1."""
    codes = np.asarray(codes, dtype=np.int8)
    if dtype is None:
        dtype = classes.dtype
    table = np.full(256, -1, dtype=dtype)
    table[: classes.shape[0]] = classes
    return table[codes.view(np.uint8)]


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
    import scipy.sparse as sp

    from .forest import ClusteredForest, cluster_forest

    if not sp.issparse(graph):
        raise TypeError(
            "expected a SciPy sparse matrix or array, got %s" % type(graph).__name__)
    if graph.ndim != 2 or graph.shape[0] != graph.shape[1]:
        raise ValueError("the graph must be a square matrix, got shape %s" % (graph.shape,))
    codes, classes = encode_labels(labels, graph.shape[0])
    new_codes, edges, weights, cut = cluster_forest(graph, codes, with_cuts=return_forest)
    dtype = np.asarray(labels).dtype
    result = decode_labels(new_codes, classes, dtype if dtype.kind == "i" else np.int64)
    return ClusteredForest(result, edges, weights, cut) if return_forest else result


def cluster_tree(edges, weights, codes):
    """``clusterize`` on the graph of an edge list, without GraphWrapper
    containers: returns the new int8 codes and a boolean mask of the cut edges.

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
    return _bulk().cluster_edges(np.ascontiguousarray(edges), np.ascontiguousarray(weights),
                                 np.ascontiguousarray(codes), rank_weights=True)
