"""What makes ``BrovClustering`` behave as a scikit-learn semi-supervised
classifier (tags, ``predict``, ``score``, fitted checks) without importing
scikit-learn: its classes are used only when it is already loaded, which is
the case whenever scikit-learn itself is calling."""

import sys
import warnings

import numpy as np

__all__ = ["NotFittedError", "DataConversionWarning", "SemiSupervisedMixin", "NearestPoint"]


class NotFittedError(ValueError, AttributeError):
    """A method that needs ``fit`` was called before it (as scikit-learn's)."""


class DataConversionWarning(UserWarning):
    """The input was converted to the form the estimator needs (as scikit-learn's)."""


def _sklearn_class(name, fallback):
    exceptions = sys.modules.get("sklearn.exceptions")
    return getattr(exceptions, name, fallback) if exceptions is not None else fallback


class NearestPoint:
    """``index(queries)``: the index of each query's nearest point, through a k-d tree built at the
    first call and kept for the next ones in few coordinates, and blocked matrix products in
    more, where a k-d tree visits nearly every point anyway."""

    def __init__(self, points):
        self.points = points
        self.tree = None

    def __call__(self, queries):
        from scipy.spatial import cKDTree

        from ..trees.euclidean import KD_TREE_MAX_DIMENSIONS, _nearest_by_products, scale_of

        # Both sides divided by one power of two (exact): squared distances of coordinates near
        # 1e155 and up would overflow, and the search would name a point past the last one.
        unit = scale_of(self.points)
        scale = max(unit, scale_of(queries))
        if self.points.shape[1] > KD_TREE_MAX_DIMENSIONS:
            return _nearest_by_products(self.points / scale, queries / scale)[1]
        if scale != unit:  # queries far beyond the points: a tree of this scale, once
            return cKDTree(self.points / scale).query(queries / scale, k=1)[1]
        if self.tree is None:
            self.tree = cKDTree(self.points / unit)
        return self.tree.query(queries / unit, k=1)[1]


def column_to_labels(y):
    """A column vector of labels flattened with a warning, as scikit-learn does."""
    if y.ndim == 2 and y.shape[1] == 1:
        warnings.warn("A column-vector y was passed when a 1d array was expected. Please change the shape "
                      "of y to (n_samples,), for example using ravel().",
                      _sklearn_class("DataConversionWarning", DataConversionWarning), stacklevel=3)
        return y[:, 0]
    return y


class SemiSupervisedMixin:
    """``predict`` by the nearest fitted point, ``score`` as mean accuracy,
    and the scikit-learn tags of a transductive semi-supervised classifier.

    The host sets ``_fitted_index`` (a ``NearestPoint`` of the fitted points, in the space the tree was
    built in), ``labels_``, ``_distributions(rows)`` (class votes of fitted points) and
    ``n_features_in_`` in ``fit``, and provides ``_check_points(X)`` and
    ``_to_fitted_space(X)``."""

    def __sklearn_tags__(self):
        from sklearn.utils import ClassifierTags, InputTags, Tags, TargetTags

        return Tags(estimator_type="classifier", target_tags=TargetTags(required=True),
                    classifier_tags=ClassifierTags(), input_tags=InputTags(two_d_array=True))

    def _check_fitted(self):
        if not hasattr(self, "labels_"):
            error = _sklearn_class("NotFittedError", NotFittedError)
            raise error("This %s instance is not fitted yet: call fit(X, y) first." % type(self).__name__)

    def predict(self, X):
        """Class id of each row of ``X``: the label of its nearest fitted point
        (Euclidean), as if the tree were extended by one edge to it.

        On the fitted points themselves this gives ``labels_`` (a new point
        that coincides with several fitted points takes the label of one of
        them). ``X`` must have as many coordinates as the fitted points.
        """
        nearest = self._nearest_fitted(X)
        return self.labels_[nearest]

    def predict_proba(self, X):
        """Class probabilities of each row of ``X`` (columns in the order of
        ``classes_``): those of its nearest fitted point, the share of the
        fitted trees' votes for each class.

        The most likely class is the most voted one. Where ``labels_`` do not
        follow the votes point by point (``consensus="tree"`` or ``"none"``, or
        a tie) it may differ from ``labels_`` and ``predict``; such a point has
        ``confidence_`` below 0.5 (at most 0.5 on a tie)."""
        nearest = self._nearest_fitted(X)
        return self._distributions(nearest)

    def _nearest_fitted(self, X):
        self._check_fitted()
        X = self._check_points(X)
        if X.shape[1] != self.n_features_in_:
            raise ValueError("X has %d features, but %s is expecting %d features as input"
                             % (X.shape[1], type(self).__name__, self.n_features_in_))
        with np.errstate(over="ignore"):
            X = self._to_fitted_space(X)
        if not np.isfinite(X).all():
            raise ValueError("X holds points too far from the fitted ones: their coordinates leave the float64 "
                             "range in the space the tree was built in")
        return self._fitted_index(X)

    def score(self, X, y, sample_weight=None):
        """Mean accuracy of ``predict(X)`` against ``y`` (weighted by
        ``sample_weight``), as scikit-learn's classifiers, the semi-supervised
        ones included, score: every entry of ``y`` counts, -1 included."""
        predicted = self.predict(X)
        y = column_to_labels(np.asarray(y))
        if y.shape != predicted.shape:
            raise ValueError("y has shape %s, expected one class id per row of X (%d)"
                             % (y.shape, len(predicted)))
        return float(np.average(predicted == y, weights=sample_weight))
