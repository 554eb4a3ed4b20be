"""The axes the page can draw the points on: any coordinate, or one of the
first principal components (which the page starts with when the points
have more than two coordinates). The clustering always uses every
coordinate; the axes only change the picture."""

import numpy as np

#: Principal components offered as axes.
MAX_COMPONENTS = 6


def principal_components(X, count):
    """(scores of the first ``count`` principal components (n, count), share of the variance they hold)."""
    centred = X - X.mean(axis=0)
    # Principal axes from the covariance matrix: cheaper than an SVD of X when n >> d.
    values, vectors = np.linalg.eigh(centred.T @ centred)
    order = np.argsort(values)[::-1][:count]
    total = values.sum()
    share = 100.0 * values[order].sum() / total if total > 0 else 100.0
    return centred @ vectors[:, order], share


def project_2d(X):
    """(coordinates shown on the page as float32 (n, 2), name of the projection)."""
    if X.shape[1] == 1:
        return np.column_stack([X[:, 0], np.zeros(len(X))]).astype(np.float32), "the single coordinate"
    if X.shape[1] == 2:
        return X.astype(np.float32), "the two coordinates as given"
    shown, share = principal_components(X, 2)
    return shown.astype(np.float32), "PCA of the %d coordinates (first two components, %.0f%% of the variance)" % (
        X.shape[1], share)


class Axes:
    """The choices of axis for points ``X`` whose coordinates are called ``names``;
    the principal components are those of ``fitted`` (the standardized points with
    ``--scale``), by default of ``X``."""

    def __init__(self, X, names=None, fitted=None):
        self.X, self.fitted = X, X if fitted is None else fitted
        self.names = list(names) if names is not None else ["column %d" % k for k in range(X.shape[1])]
        self.components = min(X.shape[1], MAX_COMPONENTS) if X.shape[1] > 2 else 0
        self._scores = None

    def choices(self):
        return ["principal component %d" % (k + 1) for k in range(self.components)] + self.names

    def values(self, choice):
        """The points' values along axis number ``choice`` of :meth:`choices`."""
        if choice < self.components:
            if self._scores is None:
                self._scores = principal_components(self.fitted, self.components)[0]
            return self._scores[:, choice]
        return self.X[:, choice - self.components]
