"""A scikit-learn-style estimator around ``clusterize``."""

import contextlib
import functools
import inspect
import time
import warnings

import numpy as np

from ..clustering import cluster_tree
from ..labels import decode_labels, encode_labels, result_dtype
from ..point_checks import check_points
from ..progress import StageProgress
from ..trees.euclidean import DEFAULT_MAX_PIECES, DEFAULT_NEIGHBORS, euclidean_mst_and_neighbours
from ..trees.sphere import SpherePoints, check_metric
from .conventions import NearestPoint, SemiSupervisedMixin, column_to_labels
from .consensus import (MAX_TREES, auto_trees, candidate_count, candidate_pairs, most_voted, perturbed_votes,
                        random_generator, searched_neighbours, voted_tree)
from .jobs import effective_n_jobs
from .weighting import DEFAULT_SIDE_DISCOUNT, EdgeWeigher, SpreadWarning, check_weighting, scaled, scaling_for

__all__ = ["BrovClustering", "check_points"]

CONSENSUS = ("tree", "points", "none")


def _check_names(names, fitted, estimator):
    """Column names given to ``predict`` against those of ``fit``, in scikit-learn's words."""
    if names is None or fitted is None:
        if (names is None) != (fitted is None):
            warnings.warn("X does not have valid feature names, but %s was fitted with feature names" % estimator
                          if names is None else "X has feature names, but %s was fitted without feature names"
                          % estimator, UserWarning, stacklevel=5)
        return
    if np.array_equal(names, fitted):
        return
    unseen, missing = [n for n in names if n not in set(fitted)], [n for n in fitted if n not in set(names)]
    detail = "".join("%s:\n%s\n" % (what, "\n".join("- %s" % n for n in found)) for what, found in (
        ("Feature names unseen at fit time", unseen), ("Feature names seen at fit time, yet now missing", missing))
        if found) or "Feature names must be in the same order as they were in fit.\n"
    raise ValueError("The feature names should match those that were passed during fit.\n" + detail)


def _feature_names(X):
    """The column names of a DataFrame whose names are all strings, as scikit-learn keeps them, or None."""
    columns = getattr(X, "columns", None)
    if columns is None or not all(isinstance(name, str) for name in columns):
        return None
    return np.asarray(columns, dtype=object)


class BrovClustering(SemiSupervisedMixin):
    """Label-guided clustering of points through their Euclidean (or
    great-circle) minimum spanning tree.

    ``fit(X, y)`` builds the tree of the points, cuts its heaviest edges on
    the paths that join differently labelled points, and spreads each label
    over its piece. ``y`` holds one class per point: integer ids with -1 for
    unlabelled points (as in ``sklearn.semi_supervised``), or any names NumPy
    can sort (strings, objects), where None, NaN, '' and -1 are unlabelled;
    at most 128 distinct classes. ``labels_``, ``classes_`` and ``predict``
    give the same ids or names.

    Parameters
    ----------
    method : {"auto", "exact", "knn"}, default "auto"
        How the tree is built: "auto" is exact up to 16 coordinates (native
        Boruvka over a k-d tree up to 12 and beyond 100,000 points, blocked
        matrix products otherwise) and, above, up to 100,000 points in up to
        32 coordinates and 30,000 in more (blocked matrix products), and uses
        the k-nearest-neighbour graph beyond;
        "exact" is exact in any dimension; "knn" forces the k-NN graph.
    n_neighbors : int, default 10
        k of the k-NN graph (higher: closer to the exact tree, slower).
    max_pieces : int, default 32
        If the k-NN graph has more pieces than this, k is doubled; the pieces
        left are joined by their closest pairs of points.
    edge_weight : {"auto", "length", "local"}, default "auto"
        What the cuts compare: "length" is the Euclidean length of a tree
        edge; "local" divides it by the geometric mean of its ends' distances
        to their ``n_neighbors``-th nearest neighbour, so gaps count relative
        to the density around them. "auto" is "local" where several trees
        vote on the labels (it made their votes better on the quality
        benchmark) and "length" for a single tree (where "local" lost rows).
    side_discount : float, default 2.0
        Edges whose removal cuts off only a few points weigh less: a weight
        is multiplied by ``1 - exp(-s / side_discount)``, s the number of
        points on the smaller side of the edge in the tree. This keeps an
        outlying labelled point from being cut off alone while its class goes
        to a neighbour. 0 compares the plain weights.
    scale : bool or "auto", default "auto"
        Standardize every coordinate (zero mean, unit variance; constant
        coordinates are only centred) before building the tree, for
        coordinates in unrelated units. "auto" does it when the widest
        coordinate spread (standard deviation) is more than 100 times the
        narrowest non-zero one (tables in mixed units gained, points in the
        plane and images in one unit rarely spread that differently).
        Unscaled coordinates whose spreads differ more than 100-fold (with
        ``scale=False``) draw a ``SpreadWarning`` (a ``UserWarning``).
    n_trees : int or "auto", default "auto"
        Trees that vote: the tree of the data and ``n_trees - 1`` trees of
        randomly perturbed edge lengths, all cut by the same rule. They give
        ``predict_proba`` and ``confidence_`` and, through ``consensus``, the
        labels; at most 1000 trees. "auto" is 10 trees up to 10^6 points
        and 8 * 10^7 points times classes, one tree beyond (ten trees take
        about three times the memory of one). The extra trees share the
        exact tree's neighbour lists and are drawn in native code (on
        ``n_jobs`` threads): ten trees cost about three fits of one tree.
    consensus : {"tree", "points", "none"}, default "tree"
        How the votes of several trees give ``labels_``. "tree": the votes
        draw one spanning tree (from the tree of the data and each point's
        nearest neighbours) that keeps together the points the trees agree
        on, and that tree is cut by the usual rule, its weights the vote
        differences with a stronger side discount: ``edges_``,
        ``edge_weights_`` and ``cut_edges_`` are those of that tree and every
        class is one piece of it. "points": every point takes its most voted
        class (ties go to the tree of the data); a class need no longer be
        one piece of a tree and ``edges_`` stays the tree of the data.
        "none": the labels of the tree of the data; the other trees only
        give the confidence. True and False stand for "points" and "none".
        With any of them, labelled points keep their labels and differently
        labelled points never share a class.
    random_state : int, numpy Generator or None, default None
        Seed of the perturbations (used only with several trees). None is
        the fixed seed 0, so that the same input gives the same labels,
        confidence and tree on every run; pass another seed (or a
        Generator) to draw other perturbations.
    n_jobs : int or None, default None
        Threads of the tree's neighbour searches, as scikit-learn counts
        them: None is 1 unless in a ``joblib.parallel_config`` context, -1
        every core, -2 all but one. Other Python threads run while the
        native code builds and cuts the tree.
    verbose : bool, default False
        Report each stage and its time on stderr, with the progress of the
        tree stage (a bar on a terminal, a line every few seconds otherwise).
    metric : {"euclidean", "haversine"}, default "euclidean"
        "haversine": the rows of ``X`` are (latitude, longitude) on a sphere,
        in ``angle_unit``, and the tree is their exact great-circle minimum
        spanning tree (the Euclidean tree of their unit vectors in 3-D, which
        orders pairs as the great circle does); ``edge_lengths_`` are
        great-circle distances in radians (times the radius, 6371 km for the
        Earth, gives distances on the ground) and ``predict`` takes each
        point's nearest fitted point along the sphere. ``scale`` does not
        apply (True is refused). Latitudes beyond +-90 degrees, or other
        than two columns, are refused before any work.
    angle_unit : {"degrees", "radians"}, default "degrees"
        Unit of the latitudes and longitudes with ``metric="haversine"``.

    Attributes
    ----------
    labels_ : ndarray of shape (n_samples,)
        Class (id or name) of every point (``transduction_`` is the same array).
    classes_ : ndarray
        The distinct classes found in ``y``, sorted.
    edges_ : ndarray of shape (n_samples - 1, 2)
        The tree that was cut, smaller point index first (int32 where the
        exact k-d tree route built it or the trees voted it, int64 otherwise): the tree of the
        data, or the voted tree (``consensus="tree"`` with several trees).
    edge_lengths_ : ndarray of shape (n_samples - 1,)
        Euclidean length of each tree edge (great-circle, in radians, with
        ``metric="haversine"``).
    edge_weights_ : ndarray of shape (n_samples - 1,)
        The weight of each tree edge that the cuts compared (see
        ``edge_weight``, ``side_discount`` and ``consensus``); ``labels_``
        are those of the cutting rule on ``edges_`` with these weights,
        except with ``consensus="points"``.
    cut_edges_ : ndarray of bool, shape (n_samples - 1,)
        True for the tree edges that were cut.
    label_distributions_ : ndarray of shape (n_samples, n_classes)
        Each point's share of the trees' votes per class (columns in the
        order of ``classes_``): ``predict_proba`` of the fitted points. Drawn
        from the votes when first read (n x classes floats would outweigh
        the rest of a large fit).
    n_iter_ : int
        The number of trees that were cut (``n_trees`` resolved).
    scaling_ : tuple (mean, std) of ndarrays, or None
        The standardization applied before building the tree (see
        ``scale``); None when the coordinates were used as given.
    feature_names_in_ : ndarray of str
        The column names of a DataFrame given to ``fit`` (only then);
        ``predict`` refuses a DataFrame with other names.
    confidence_ : ndarray of shape (n_samples,)
        Fraction of the ``n_trees`` trees that give each point its class in
        ``labels_`` (1.0 everywhere with a single tree; always 1.0 on the
        labelled points). The voted tree may give a point a class that none
        of the trees gave it: its confidence is then 0.
    tree_method_ : str
        "boruvka" (the exact tree over a k-d tree), "blocked" (the exact tree from blocked
        matrix products), "knn" (the k-NN approximation, exact neighbours) or "hnsw" (the same,
        neighbours from faiss's HNSW index above 16 coordinates).
    timings_ : dict
        Seconds spent per stage, in order: "checks" (of the inputs),
        "scaling", "tree", with several trees "neighbours" (each point's
        nearest neighbours, where the tree's route found none), "weights" and
        "cuts" (of the tree of the data), with several trees "confidence"
        (the perturbed trees) and, for ``consensus="tree"``, "consensus" (the
        voted tree and its cuts), and "labels". Together they make up the fit.
    """

    def __init__(self, method="auto", n_neighbors=DEFAULT_NEIGHBORS, max_pieces=DEFAULT_MAX_PIECES,
                 edge_weight="auto", side_discount=DEFAULT_SIDE_DISCOUNT, scale="auto", n_trees="auto",
                 consensus="tree", random_state=None, n_jobs=None, verbose=False, metric="euclidean",
                 angle_unit="degrees"):
        self.method = method
        self.n_neighbors = n_neighbors
        self.max_pieces = max_pieces
        self.edge_weight = edge_weight
        self.side_discount = side_discount
        self.scale = scale
        self.n_trees = n_trees
        self.consensus = consensus
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.metric = metric
        self.angle_unit = angle_unit

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
            if name == "n_trees" and isinstance(value, str) and value == "auto":
                continue
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
                raise ValueError("%s must be a positive integer%s, got %r"
                                 % (name, " or 'auto'" if name == "n_trees" else "", value))
            if name == "n_trees" and value > MAX_TREES:
                raise ValueError("n_trees must be at most %d (each tree costs about one fit), got %r"
                                 % (MAX_TREES, value))
        check_weighting(self.edge_weight, self.side_discount)
        if not isinstance(self.scale, (bool, np.bool_)) and not (isinstance(self.scale, str) and self.scale == "auto"):
            raise ValueError("scale must be True, False or 'auto', got %r" % (self.scale,))
        effective_n_jobs(self.n_jobs)
        check_metric(self.metric, self.angle_unit, self.scale)
        consensus = self._consensus()
        if consensus == "points" and not isinstance(self.n_trees, str) and self.n_trees < 2:
            raise ValueError("consensus=%r needs n_trees of 2 or more to vote, got %r"
                             % (self.consensus, self.n_trees))

    def _consensus(self):
        """'tree', 'points' or 'none'; True and False stand for 'points' and 'none'."""
        value = self.consensus
        if isinstance(value, (bool, np.bool_)):
            return "points" if value else "none"
        if not isinstance(value, str) or value not in CONSENSUS:
            raise ValueError("consensus must be 'tree', 'points' or 'none' (True and False mean 'points' and "
                             "'none'), got %r" % (value,))
        return value

    def _plan(self, n_samples, n_classes):
        """(trees, consensus, edge weighting) for a fit of ``n_samples`` points in ``n_classes``."""
        trees = self.n_trees
        if isinstance(trees, str):  # "auto": several trees only where they cost little
            trees = auto_trees(n_samples, n_classes)
        consensus = self._consensus() if trees > 1 else "none"
        edge_weight = self.edge_weight
        if edge_weight == "auto":  # measured: the voting trees gain from it, the single tree loses
            edge_weight = "local" if consensus != "none" else "length"
        return int(trees), consensus, edge_weight

    @contextlib.contextmanager
    def _stage(self, name, timings):
        """Times the block as stage ``name`` into ``timings``; with ``verbose``, reports it on stderr
        followed by the detail the block appends to the list it is given."""
        detail = []
        start = time.perf_counter()
        yield detail
        timings[name] = time.perf_counter() - start
        if self.verbose:
            self._stages.done("brov: %-10s %8.3f s%s" % (name, timings[name], "".join(detail)))

    def _check_points(self, X):
        _check_names(_feature_names(X), getattr(self, "feature_names_in_", None), type(self).__name__)
        return check_points(X)

    def fit(self, X, y):
        """Cluster the points of ``X`` (n_samples x n_features) guided by the
        class ids ``y`` (-1 = unlabelled). Inputs are checked before anything
        is computed. Returns self."""
        timings = {}
        self._stages = StageProgress() if self.verbose else None
        with self._stage("checks", timings):
            self._check_params()
            rng = random_generator(self.random_state)
            if y is None:
                raise ValueError("%s requires y to be passed, but the target y is None: give one integer "
                                 "class id per point, -1 for unlabelled points" % type(self).__name__)
            names = _feature_names(X)
            X = check_points(X)
            n_features = X.shape[1]
            threads = effective_n_jobs(self.n_jobs)
            y_array = column_to_labels(np.asarray(y))
            codes, classes = encode_labels(y_array, X.shape[0])
        with self._stage("scaling", timings):
            # Kept aside until the fit succeeds, so a failed fit leaves a fitted model as it was.
            sphere = SpherePoints(X, self.angle_unit) if self.metric == "haversine" else None
            scaling, spread = scaling_for(X, self.scale) if sphere is None else (None, None)
            if spread:
                warnings.warn(SpreadWarning(spread), stacklevel=2)
            X = scaled(X, scaling) if sphere is None else sphere.unit_vectors

        trees, consensus, edge_weight = self._plan(X.shape[0], len(classes))
        candidates = candidate_count(trees)
        with self._stage("tree", timings) as detail:
            # The exact tree (k-d tree or plane grid) lists the neighbours the local scales and the
            # trees' pairs need on the way, when asked.
            edges, lengths, used, neighbours = euclidean_mst_and_neighbours(
                X, method=self.method, n_neighbors=int(self.n_neighbors), max_pieces=int(self.max_pieces),
                progress=self._stages.track("tree") if self.verbose else None, n_jobs=threads,
                compact_indices=True, listed=candidates if trees > 1 or edge_weight == "local" else 0)
            if sphere is not None:
                lengths = sphere.lengths(edges)
            detail.append(" (%s, %d edges)" % (used, len(edges)))

        if trees > 1 and neighbours is None:  # one search for the local scales and the trees' pairs
            with self._stage("neighbours", timings):
                neighbours = searched_neighbours(X, int(self.n_neighbors), threads, candidates)
        with self._stage("weights", timings):
            weigh = EdgeWeigher(X, edge_weight, self.side_discount, int(self.n_neighbors), neighbours,
                                None if sphere is None else sphere.arcs, lengths)
            weights = weigh(edges, lengths)
        with self._stage("cuts", timings) as detail:
            # Where the votes draw the tree that is cut, this tree's labels are one vote: its cuts
            # are not kept.
            new_codes, cut = cluster_tree(edges, weights, codes, cuts=trees == 1 or consensus != "tree")
            if cut is not None:
                detail.append(" (%d cut)" % int(cut.sum()))

        votes = None  # with one tree, the votes are the labels themselves
        if trees > 1:
            with self._stage("confidence", timings) as detail:
                pairs, pair_lengths = candidate_pairs(X, edges, None if neighbours is None else neighbours.index,
                                                      candidates)
                if sphere is not None:
                    pair_lengths = sphere.lengths(pairs)
                votes = perturbed_votes(X.shape[0], pairs, pair_lengths, codes, len(classes), trees - 1, weigh, rng,
                                        threads)
                votes[np.arange(X.shape[0]), new_codes] += 1  # and the tree of the data's
                detail.append(" (%d trees)" % trees)
            if consensus == "tree":
                with self._stage("consensus", timings) as detail:
                    edges, lengths, weights = voted_tree(pairs, pair_lengths, votes, codes)
                    new_codes, cut = cluster_tree(edges, weights, codes)
                    detail.append(" (%d cut)" % int(cut.sum()))
            elif consensus == "points":
                new_codes = most_voted(votes, new_codes)

        with self._stage("labels", timings):
            self.labels_ = decode_labels(new_codes, classes, result_dtype(y_array, classes))
            self._codes, self._votes = new_codes, votes
            self._vote_total = 1.0 if votes is None else float(votes[0].sum())
            self.__dict__.pop("label_distributions_", None)  # drawn from the votes at the first use
            self.confidence_ = (np.ones(X.shape[0]) if votes is None
                                else votes[np.arange(X.shape[0]), new_codes] / self._vote_total)
        self.transduction_ = self.labels_
        self.classes_ = classes
        self.edges_ = edges
        self.edge_lengths_ = lengths
        self.edge_weights_ = weights
        self.cut_edges_ = cut
        self.tree_method_ = used
        self.n_iter_ = trees
        self.timings_ = timings
        self._scaling = self.scaling_ = scaling
        self.n_features_in_ = n_features
        self._sphere_unit = None if sphere is None else self.angle_unit
        if names is not None:
            self.feature_names_in_ = names
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        self._fit_X = X
        self._fitted_index = NearestPoint(X)  # once per fit, for every predict
        return self

    @functools.cached_property
    def label_distributions_(self):
        self._check_fitted()
        return self._distributions(slice(None))

    def _distributions(self, rows):
        """The share of the trees' votes per class of the fitted points ``rows``: one-hot on the
        labels with a single tree (kept as the labels alone: n x classes floats would outweigh
        the rest of the fit)."""
        if self._votes is not None:
            return self._votes[rows] / self._vote_total
        codes = self._codes[rows]
        shares = np.zeros((len(codes), len(self.classes_)))
        shares[np.arange(len(codes)), codes] = 1.0
        return shares

    def _to_fitted_space(self, X):
        if self._sphere_unit is not None:
            return SpherePoints(X, self._sphere_unit).unit_vectors
        return scaled(X, self._scaling)

    def fit_predict(self, X, y):
        """``fit(X, y)``, then return ``labels_``."""
        return self.fit(X, y).labels_
