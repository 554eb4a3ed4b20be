"""Sparse matrices that every supported SciPy's graph routines accept.

``scipy.sparse.csgraph`` takes only 32-bit indices before SciPy 1.16 (the last
release for Python 3.10 is 1.15), while sparse arrays built from int64
coordinates keep int64 indices. These helpers narrow the indices whenever they
fit.
"""

import numpy as np

_INT32_LIMIT = 2**31


def graph_from_edges(values, rows, cols, n):
    """n x n CSR array with ``values`` at (rows, cols), ready for csgraph."""
    import scipy.sparse as sp

    index = np.int32 if n < _INT32_LIMIT else np.int64
    return sp.csr_array((values, (np.asarray(rows).astype(index), np.asarray(cols).astype(index))), shape=(n, n))


def symmetric_csr(edges, values, n):
    """Both directions of every edge, as a CSR array that csgraph accepts."""
    rows = np.concatenate([edges[:, 0], edges[:, 1]])
    cols = np.concatenate([edges[:, 1], edges[:, 0]])
    return graph_from_edges(np.concatenate([values, values]), rows, cols, n)


def rank_order(edges, values, in_pair_order=False):
    """The edges' positions sorted by (value, smaller node, larger node). With ``in_pair_order``
    the edges are already sorted by (smaller node, larger node), and a stable sort of the values
    alone gives that order."""
    if in_pair_order:
        return np.argsort(values, kind="stable")
    return np.lexsort((edges[:, 1], edges[:, 0], values))


def edge_ranks(edges, values, in_pair_order=False):
    """Rank of each edge by (value, smaller node, larger node), from 1, as float64: distinct
    positive weights that order the edges as the values do and break their ties one fixed way."""
    order = rank_order(edges, values, in_pair_order)
    ranks = np.empty(len(edges), dtype=np.float64)
    ranks[order] = np.arange(1, len(edges) + 1, dtype=np.float64)
    return ranks


def for_csgraph(matrix):
    """``matrix`` as a CSR array whose indices csgraph accepts."""
    import scipy.sparse as sp

    csr = sp.csr_array(matrix)
    if csr.indices.dtype != np.int32 and max(csr.shape) < _INT32_LIMIT and csr.nnz < _INT32_LIMIT:
        csr = sp.csr_array((csr.data, csr.indices.astype(np.int32), csr.indptr.astype(np.int32)), shape=csr.shape)
    return csr
