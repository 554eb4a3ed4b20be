"""A scikit-learn-style estimator around ``clusterize``."""

import inspect
import time

import numpy as np

from .conventions import SemiSupervisedMixin, column_to_labels
from .graph import cluster_tree, decode_labels, encode_labels
from .mst import DEFAULT_MAX_PIECES, DEFAULT_NEIGHBORS, euclidean_mst
from .progress import StageProgress
from .consensus import most_voted, perturbed_votes, random_generator
from .weighting import DEFAULT_SIDE_DISCOUNT, EdgeWeigher, check_weighting, standard_scaling

__all__ = ["BrovClustering", "check_points"]


def check_points(X):
    """``X`` as a finite float64 array of shape (n_samples >= 1, n_features >= 1)."""
    import scipy.sparse as sp

    if sp.issparse(X):
        raise TypeError("X must be a dense array of points, not a sparse matrix; for a precomputed graph "
                        "use cluster_graph")
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
    if X.shape[0] == 0:
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


def _edge_ranks(edges, lengths):
    """Rank of each edge by (length, smaller node, larger node), from 1."""
    order = np.lexsort((edges[:, 1], edges[:, 0], lengths))
    ranks = np.empty(len(edges), dtype=np.float64)
    ranks[order] = np.arange(1, len(edges) + 1, dtype=np.float64)
    return ranks


def _symmetric_csr(edges, values, n):
    """Both directions of every edge, as a CSR array that csgraph accepts."""
    from .csgraph_input import graph_from_edges

    rows = np.concatenate([edges[:, 0], edges[:, 1]])
    cols = np.concatenate([edges[:, 1], edges[:, 0]])
    return graph_from_edges(np.concatenate([values, values]), rows, cols, n)


def _scaled(X, scaling):
    if scaling is None:
        return X
    mean, std = scaling
    return (X - mean) / std


class BrovClustering(SemiSupervisedMixin):
    """Label-guided clustering of points through their Euclidean minimum
    spanning tree.

    ``fit(X, y)`` builds the tree of the points, cuts its heaviest edges on
    the paths that join differently labelled points, and spreads each label
    over its piece. ``y`` holds one integer class id per point, -1 for
    unlabelled points (as in ``sklearn.semi_supervised``); any integer ids
    work, at most 128 distinct ones.

    Parameters
    ----------
    method : {"auto", "exact", "knn"}, default "auto"
        How the tree is built: "auto" is exact up to 32 coordinates (native
        Boruvka over a k-d tree) and uses the k-nearest-neighbour graph
        above; "exact" is exact in any dimension; "knn" forces the k-NN graph.
    n_neighbors : int, default 10
        k of the k-NN graph (higher: closer to the exact tree, slower).
    max_pieces : int, default 32
        If the k-NN graph has more pieces than this, k is doubled; the pieces
        left are joined by their closest pairs of points.
    edge_weight : {"length", "local"}, default "length"
        What the cuts compare: "length" is the Euclidean length of a tree
        edge; "local" divides it by the geometric mean of its ends' distances
        to their ``n_neighbors``-th nearest neighbour, so gaps count relative
        to the density around them (better on some data sets, worse on thin
        shapes such as two moons).
    side_discount : float, default 2.0
        Edges whose removal cuts off only a few points weigh less: a weight
        is multiplied by ``1 - exp(-s / side_discount)``, s the number of
        points on the smaller side of the edge in the tree. This keeps an
        outlying labelled point from being cut off alone while its class goes
        to a neighbour. 0 compares the plain weights.
    scale : bool, default False
        Standardize every coordinate (zero mean, unit variance; constant
        coordinates are only centred) before building the tree. Off by
        default: it changes the geometry, which helps only when coordinates
        come in unrelated units.
    n_trees : int, default 1
        Trees that vote for ``predict_proba`` and ``confidence_``: the tree
        of the data and ``n_trees - 1`` trees of randomly perturbed edge
        lengths, all cut by the same rule. ``labels_`` always comes from the
        tree of the data unless ``consensus``; each extra tree costs about
        one more fit.
    consensus : bool, default False
        Give every point the class most of the ``n_trees`` trees give it
        (ties go to the tree of the data). Labelled points keep their labels
        and differently labelled points never share a class, as with one
        tree, but a class need no longer be one piece of the tree:
        ``cut_edges_`` stays that of the tree of the data. Better on data
        whose classes overlap (see the quality benchmark), at the cost of the
        extra trees.
    random_state : int, numpy Generator or None, default None
        Seed of the perturbations (used only when ``n_trees > 1``).
    verbose : bool, default False
        Report each stage and its time on stderr, with the progress of the
        tree stage (a bar on a terminal, a line every few seconds otherwise).

    Attributes
    ----------
    labels_ : ndarray of shape (n_samples,)
        Class id of every point (``transduction_`` is the same array).
    classes_ : ndarray
        The distinct class ids found in ``y``.
    edges_ : ndarray of shape (n_samples - 1, 2)
        The tree, smaller point index first.
    edge_lengths_ : ndarray of shape (n_samples - 1,)
        Euclidean length of each tree edge.
    edge_weights_ : ndarray of shape (n_samples - 1,)
        The weight of each tree edge that the cuts compared (see
        ``edge_weight`` and ``side_discount``).
    cut_edges_ : ndarray of bool, shape (n_samples - 1,)
        True for the tree edges that were cut.
    confidence_ : ndarray of shape (n_samples,)
        Fraction of the ``n_trees`` trees that give each point its class in
        ``labels_`` (1.0 everywhere with a single tree; always 1.0 on the
        labelled points).
    tree_method_ : str
        "boruvka" (the exact tree), "knn" (the k-NN approximation, neighbours from a k-d tree)
        or "hnsw" (the same, neighbours from faiss's HNSW index above 32 coordinates).
    timings_ : dict
        Seconds spent per stage: "tree", "clusterize" (weights, cuts and
        labels) and, with ``n_trees > 1``, "confidence".
    """

    def __init__(self, method="auto", n_neighbors=DEFAULT_NEIGHBORS, max_pieces=DEFAULT_MAX_PIECES,
                 edge_weight="length", side_discount=DEFAULT_SIDE_DISCOUNT, scale=False, n_trees=1,
                 consensus=False, random_state=None, verbose=False):
        self.method = method
        self.n_neighbors = n_neighbors
        self.max_pieces = max_pieces
        self.edge_weight = edge_weight
        self.side_discount = side_discount
        self.scale = scale
        self.n_trees = n_trees
        self.consensus = consensus
        self.random_state = random_state
        self.verbose = verbose

    # scikit-learn's parameter protocol, without depending on scikit-learn.
    @classmethod
    def _param_names(cls):
        signature = inspect.signature(cls.__init__)
        return sorted(p.name for p in signature.parameters.values() if p.name != "self")

    def get_params(self, deep=True):
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params):
        valid = self._param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(
                    "invalid parameter %r for %s; valid parameters: %s"
                    % (name, type(self).__name__, ", ".join(valid)))
            setattr(self, name, value)
        return self

    def __repr__(self):
        defaults = {p.name: p.default for p in inspect.signature(type(self).__init__).parameters.values()}
        changed = ["%s=%r" % (k, v) for k, v in self.get_params().items() if defaults.get(k) != v]
        return "%s(%s)" % (type(self).__name__, ", ".join(changed))

    def _check_params(self):
        if self.method not in ("auto", "exact", "knn"):
            raise ValueError("method must be 'auto', 'exact' or 'knn', got %r" % (self.method,))
        for name in ("n_neighbors", "max_pieces", "n_trees"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
                raise ValueError("%s must be a positive integer, got %r" % (name, value))
        check_weighting(self.edge_weight, self.side_discount)
        for name in ("scale", "consensus"):
            if not isinstance(getattr(self, name), (bool, np.bool_)):
                raise ValueError("%s must be True or False, got %r" % (name, getattr(self, name)))
        if self.consensus and self.n_trees < 2:
            raise ValueError("consensus=True needs n_trees of 2 or more to vote, got %r" % (self.n_trees,))

    def _report(self, stage, seconds, detail=""):
        if self.verbose:
            self._stages.done("brov: %-10s %8.3f s%s" % (stage, seconds, detail))

    _check_points = staticmethod(check_points)

    def fit(self, X, y):
        """Cluster the points of ``X`` (n_samples x n_features) guided by the
        class ids ``y`` (-1 = unlabelled). Inputs are checked before anything
        is computed. Returns self."""
        self._check_params()
        if y is None:
            raise ValueError("%s requires y to be passed, but the target y is None: give one integer "
                             "class id per point, -1 for unlabelled points" % type(self).__name__)
        X = check_points(X)
        rng = random_generator(self.random_state)
        # Kept aside until the fit succeeds, so a failed fit leaves a fitted model as it was.
        scaling = standard_scaling(X) if self.scale else None
        X = _scaled(X, scaling)
        y_array = column_to_labels(np.asarray(y))
        codes, classes = encode_labels(y_array, X.shape[0])
        timings = {}

        self._stages = StageProgress() if self.verbose else None
        start = time.perf_counter()
        edges, lengths, used = euclidean_mst(
            X, method=self.method, n_neighbors=int(self.n_neighbors), max_pieces=int(self.max_pieces),
            progress=self._stages.track("tree") if self.verbose else None)
        timings["tree"] = time.perf_counter() - start
        self._report("tree", timings["tree"], " (%s, %d edges)" % (used, len(edges)))

        start = time.perf_counter()
        weigh = EdgeWeigher(X, self.edge_weight, self.side_discount, int(self.n_neighbors))
        weights = weigh(edges, lengths)
        new_codes, cut = cluster_tree(edges, weights, codes)
        timings["clusterize"] = time.perf_counter() - start
        self._report("clusterize", timings["clusterize"], " (%d cut)" % int(cut.sum()))

        votes = np.zeros((X.shape[0], len(classes)), dtype=np.int64)
        votes[np.arange(X.shape[0]), new_codes] = 1
        if self.n_trees > 1:
            start = time.perf_counter()
            votes += perturbed_votes(X, edges, codes, len(classes), int(self.n_trees) - 1,
                                     weigh, rng)
            timings["confidence"] = time.perf_counter() - start
            self._report("confidence", timings["confidence"], " (%d trees)" % self.n_trees)
        if self.consensus:
            new_codes = most_voted(votes, new_codes)

        out_dtype = y_array.dtype if y_array.dtype.kind == "i" else np.int64
        self.labels_ = decode_labels(new_codes, classes, out_dtype)
        self.transduction_ = self.labels_
        self.classes_ = classes
        self.edges_ = edges
        self.edge_lengths_ = lengths
        self.edge_weights_ = weights
        self.cut_edges_ = cut
        self.tree_method_ = used
        self._proba = votes / float(votes[0].sum())
        self.confidence_ = self._proba[np.arange(X.shape[0]), new_codes]
        self.timings_ = timings
        self._scaling = scaling
        self.n_features_in_ = X.shape[1]
        self._fit_X = X
        return self

    def _to_fitted_space(self, X):
        return _scaled(X, self._scaling)

    def fit_predict(self, X, y):
        """``fit(X, y)``, then return ``labels_``."""
        return self.fit(X, y).labels_
