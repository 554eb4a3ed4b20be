"""A tree built once and clustered again for every new set of labels.

Used by ``brov label``: the page changes a few labels at a time, and each
change must give the same result as ``BrovClustering(n_trees=1).fit`` on the
same points and labels (with the same ``scale``), without building the tree again. One tree, so that a
click answers at once: the voting trees depend on the labels and would all be
built and cut again on every change.
"""

import numpy as np

from ..clustering import cluster_tree
from ..estimator.weighting import scaled, scaling_for, tree_weights
from ..labels import decode_labels, encode_labels
from ..trees.euclidean import DEFAULT_MAX_PIECES, DEFAULT_NEIGHBORS, euclidean_mst
from ..trees.sphere import SpherePoints, check_metric


class LoadedTree:
    """The minimum spanning tree of ``X``, ready to be clustered with any labels."""

    def __init__(self, X, method="auto", n_neighbors=DEFAULT_NEIGHBORS, max_pieces=DEFAULT_MAX_PIECES, scale=False,
                 metric="euclidean", angle_unit="degrees"):
        self.n = X.shape[0]
        # As the estimator's ``scale`` and ``metric``; ``spread`` is the spread ratio to warn about, or None.
        check_metric(metric, angle_unit, scale)
        sphere = SpherePoints(X, angle_unit) if metric == "haversine" else None
        scaling, self.spread = scaling_for(X, scale) if sphere is None else (None, None)
        X = scaled(X, scaling) if sphere is None else sphere.unit_vectors
        self.edges, self.lengths, self.method = euclidean_mst(
            X, method=method, n_neighbors=n_neighbors, max_pieces=max_pieces)
        if sphere is not None:
            self.lengths = sphere.lengths(self.edges)
        # The single tree's weights depend on the tree alone: computed once.
        self.weights = tree_weights(X, self.edges, self.lengths)

    def cluster(self, y):
        """Cluster the loaded tree with the class ids ``y`` (-1 = unlabelled).

        Returns ``(labels, cut)``: the class id of every point (-1 everywhere
        when no point is labelled) and a boolean mask of the cut tree edges.
        """
        y = np.asarray(y, dtype=np.int64)
        if not np.any(y != -1):
            return np.full(self.n, -1, dtype=np.int64), np.zeros(len(self.edges), dtype=bool)
        codes, classes = encode_labels(y, self.n)
        if self.n == 1:
            return decode_labels(codes, classes, np.int64), np.zeros(0, dtype=bool)
        new_codes, cut = cluster_tree(self.edges, self.weights, codes)
        return decode_labels(new_codes, classes, np.int64), cut
