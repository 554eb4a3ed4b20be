"""Graphs in bulk: SciPy sparse matrices to GraphWrapper pairs and back.

The loading, its checks and the export run in ``binaries._bulk``.
"""

import numpy as np

from .native import bulk

__all__ = ["check_square_sparse", "csr_parts", "graph_pair", "graph_to_csr"]


def check_square_sparse(matrix):
    """Refuses anything but a square SciPy sparse matrix or array."""
    import scipy.sparse as sp

    if not sp.issparse(matrix):
        raise TypeError(
            "expected a SciPy sparse matrix or array, got %s" % type(matrix).__name__)
    if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
        raise ValueError("the graph must be a square matrix, got shape %s" % (matrix.shape,))


def csr_parts(matrix):
    """Validated CSR arrays (indptr, indices, data as float64) of a square sparse matrix."""
    check_square_sparse(matrix)
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
    indptr, indices, data, n = csr_parts(graph)
    if not rank_weights:
        _refuse_float32_underflow(indptr, indices, data)
    return bulk().graph_from_csr(indptr, indices, data, n, rank_weights=bool(rank_weights))


def graph_to_csr(connections, weights):
    """The current edges of a GraphWrapper pair as a ``scipy.sparse.csr_array``
    of float32 weights. Parallel entries are kept as stored (not summed)."""
    import scipy.sparse as sp

    indptr, indices, data = bulk().graph_to_csr(connections, weights)
    n = len(indptr) - 1
    return sp.csr_array((data, indices, indptr), shape=(n, n))


