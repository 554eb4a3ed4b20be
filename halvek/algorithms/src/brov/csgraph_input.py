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


def for_csgraph(matrix):
    """``matrix`` as a CSR array whose indices csgraph accepts."""
    import scipy.sparse as sp

    csr = sp.csr_array(matrix)
    if csr.indices.dtype != np.int32 and max(csr.shape) < _INT32_LIMIT and csr.nnz < _INT32_LIMIT:
        csr = sp.csr_array((csr.data, csr.indices.astype(np.int32), csr.indptr.astype(np.int32)), shape=csr.shape)
    return csr
