"""The one check of a point set, shared by the estimator and ``euclidean_mst``
(a module of its own, so that both can import it)."""

import numpy as np

__all__ = ["check_points"]


def check_points(X, min_points=1):
    """``X`` as a finite float64 array of shape (n_samples >= min_points, n_features >= 1)."""
    import scipy.sparse as sp

    if sp.issparse(X):
        raise TypeError("X must be a dense array of points, not a sparse matrix; for a precomputed graph "
                        "use cluster_graph")
    if isinstance(X, np.ma.MaskedArray) and np.ma.count_masked(X):
        raise ValueError("X is a masked array with %d masked coordinate(s): fill or drop them first"
                         % np.ma.count_masked(X))
    X = np.asarray(X)
    if X.dtype.kind == "O":
        X = _numbers_from_objects(X)
    if X.dtype.kind == "c":
        raise ValueError("Complex data not supported: X must hold real numbers, got dtype %s" % X.dtype)
    if X.dtype.kind not in "biuf":
        raise TypeError("X must hold real numbers, got dtype %s" % X.dtype)
    if X.ndim != 2:
        hint = ". Reshape your data: X.reshape(-1, 1) for a single coordinate" if X.ndim == 1 else ""
        raise ValueError("X must be two-dimensional (points x coordinates), got shape %s%s" % (X.shape, hint))
    if X.shape[0] < min_points:
        raise ValueError("X holds no points")
    if X.shape[1] == 0:
        raise ValueError("X has points without coordinates: 0 feature(s) (shape=%s) while a minimum of 1 "
                         "is required." % (X.shape,))
    X = X.astype(np.float64, copy=False)
    bad = ~np.isfinite(X)
    if bad.any():
        rows = np.flatnonzero(bad.any(axis=1))
        raise ValueError(
            "X holds NaN or infinite coordinates in %d point(s), first at row %d" % (len(rows), rows[0]))
    return X


def _numbers_from_objects(X):
    try:
        return X.astype(np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError("X must hold real numbers: %s" % error) from None
