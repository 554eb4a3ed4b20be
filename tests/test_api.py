"""The high-level API: euclidean_mst, BrovClustering, cluster_graph, label codes, ARI."""

import os
import re
import subprocess
import sys
import warnings
from unittest import mock

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy.sparse.csgraph import connected_components, minimum_spanning_tree
from scipy.spatial.distance import pdist, squareform

import halvek.algorithms.src.brov as brov
from halvek.algorithms.src.brov import (BrovClustering, adjusted_rand_score, cluster_graph,
                                        euclidean_mst)
from halvek.algorithms.src.brov.estimator import brov_clustering as estimator_module
from halvek.algorithms.src.brov.estimator import consensus as consensus_module
from halvek.algorithms.src.brov.binaries import _tree, brov_core
from halvek.algorithms.src.brov.trees.csgraph import edge_ranks, for_csgraph, symmetric_csr
from halvek.algorithms.src.brov.trees.euclidean import KD_TREE_EXACT_MAX_DIMENSIONS
from halvek.algorithms.src.brov.clustering import cluster_tree
from halvek.algorithms.src.brov.graphs import graph_pair
from halvek.algorithms.src.brov.labels import decode_labels, encode_labels
from strategies import label_array, removed_edges, trees_and_forests

# The stages of a fit's timings_, in order, with one tree; several trees add their own.
SINGLE_TREE_STAGES = ["checks", "scaling", "tree", "weights", "cuts", "labels"]

def blobs(centers, per_blob, seed=0, spread=0.5):
    rng = np.random.default_rng(seed)
    X = np.concatenate([rng.normal(c, spread, (per_blob, len(c))) for c in centers])
    truth = np.repeat(np.arange(len(centers)), per_blob)
    return X, truth


def is_spanning_tree(edges, n):
    if len(edges) != n - 1:
        return False
    if n == 1:
        return True
    graph = sp.coo_array((np.ones(len(edges)), (edges[:, 0], edges[:, 1])), shape=(n, n))
    return connected_components(graph, directed=False)[0] == 1


def faiss_installed():
    try:
        import faiss  # noqa: F401
    except ImportError:
        return False
    return True


def brute_force_length(X):
    """Total length of the exact tree of distinct points (Prim over the dense distances: SciPy's
    minimum_spanning_tree missed the shortest tree on clumps 10^-8 wide)."""
    D = squareform(pdist(X))
    best = D[0].copy()
    joined = np.zeros(len(X), bool)
    joined[0] = True
    total = 0.0
    for _ in range(len(X) - 1):
        p = int(np.argmin(np.where(joined, np.inf, best)))
        total += best[p]
        joined[p] = True
        best = np.minimum(best, D[p])
    return total


class TestEuclideanMst:
    @settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(hnp.arrays(np.float64, st.tuples(st.integers(2, 60), st.integers(1, 16)),
                      elements=st.integers(-3, 3).map(float)))
    def test_exact_in_1d_to_16d_with_duplicates_and_ties(self, X):
        # Small integer grids give duplicates, collinear sets and many equal lengths.
        edges, lengths, used = euclidean_mst(X)
        assert is_spanning_tree(edges, len(X))
        assert np.all(edges[:, 0] < edges[:, 1])
        assert np.allclose(lengths, np.linalg.norm(X[edges[:, 0]] - X[edges[:, 1]], axis=1))
        distinct = np.unique(X, axis=0)
        assert lengths.sum() == pytest.approx(brute_force_length(distinct) if len(distinct) > 1 else 0.0)
        assert np.sum(lengths == 0) == len(X) - len(distinct)
        assert used == ("boruvka" if X.shape[1] <= KD_TREE_EXACT_MAX_DIMENSIONS else "blocked")
        # The native tree's 32-bit edges (the estimator's) name the same tree as its 64-bit ones.
        compact = _tree.euclidean_mst_edges(np.ascontiguousarray(X), int32=True)
        assert compact.dtype == np.int32 and np.array_equal(compact, _tree.euclidean_mst_edges(np.ascontiguousarray(X)))

    @pytest.mark.parametrize("n, d", [(3000, 2), (2000, 3), (1500, 8), (800, 16)])
    def test_same_tree_as_the_complete_graph(self, n, d):
        # Continuous coordinates: no ties, so the tree is unique, edge for edge. Clumps of very
        # different density make the rounds join components of very different sizes.
        rng = np.random.default_rng(d)
        X = rng.normal(size=(n, d)) * rng.choice([0.01, 1.0, 30.0], size=(n, 1))
        edges, _, _ = euclidean_mst(X)
        reference = minimum_spanning_tree(squareform(pdist(X))).tocoo()
        assert sorted(map(tuple, edges.tolist())) == sorted(
            zip(np.minimum(reference.row, reference.col).tolist(), np.maximum(reference.row, reference.col).tolist()))

    @pytest.mark.parametrize("d", [2, 3, 5, 10])
    def test_ties_and_copies_across_many_leaves(self, d):
        # Many points on a coarse grid: equal lengths and identical points everywhere in the tree.
        X = np.random.default_rng(d).integers(0, 6, size=(1500, d)).astype(float)
        edges, lengths, _ = euclidean_mst(X)
        assert is_spanning_tree(edges, len(X))
        distinct = np.unique(X, axis=0)
        assert np.sum(lengths == 0) == len(X) - len(distinct)
        assert lengths.sum() == pytest.approx(brute_force_length(distinct))

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(st.integers(2, 90), st.integers(1, 48), st.sampled_from(["grid", "clumps", "copies"]),
           st.integers(0, 2**31))
    def test_blocked_tree_is_exact_with_duplicates_and_ties(self, n, d, kind, seed):
        # The blocked products rank pairs in float32: near ties, copies and clumps far apart
        # (norms large against the gaps) must still give the exact tree's length.
        from halvek.algorithms.src.brov.binaries import _tree
        from halvek.algorithms.src.brov.trees import dense, leaves

        rng = np.random.default_rng(seed)
        if kind == "grid":
            X = rng.integers(-2, 3, size=(n, d)).astype(float)
        elif kind == "clumps":
            X = rng.normal(size=(n, d)) * rng.choice([1e-4, 1.0], size=(n, 1)) + 50 * rng.integers(0, 3, (n, 1))
        else:
            X = rng.normal(size=(max(1, n // 12), d))[rng.integers(0, max(1, n // 12), n)]
        # Few components allowed in a pass of closest pairs: the rounds over neighbour lists run.
        # Small leaves: blocks far apart are skipped, and pairs of components settled by bounds.
        with mock.patch.object(dense, "PAIR_COMPONENTS", int(rng.choice([2, 8, 512]))), \
                mock.patch.object(leaves, "LEAF_POINTS", int(rng.choice([3, 16, 512]))):
            edges = dense.dense_mst(X, k=int(rng.integers(1, 12)))
        assert is_spanning_tree(edges, n) and np.all(edges[:, 0] < edges[:, 1])
        lengths = np.linalg.norm(X[edges[:, 0]] - X[edges[:, 1]], axis=1)
        native = _tree.euclidean_mst_edges(np.ascontiguousarray(X))
        distinct = np.unique(X, axis=0)
        assert np.sum(lengths == 0) == n - len(distinct)
        assert lengths.sum() == pytest.approx(np.linalg.norm(X[native[:, 0]] - X[native[:, 1]], axis=1).sum(),
                                              rel=1e-12, abs=1e-12)
        assert lengths.sum() == pytest.approx(brute_force_length(distinct) if len(distinct) > 1 else 0.0, rel=1e-12)

    def test_exact_above_the_automatic_limit_and_knn_when_asked(self):
        X, _ = blobs([(0,) * 40, (9,) * 40], 60, seed=3)
        edges, lengths, used = euclidean_mst(X, method="exact")
        assert used == "blocked" and lengths.sum() == pytest.approx(brute_force_length(X))
        # Few points in many coordinates: the exact tree is the faster one.
        assert euclidean_mst(X)[2] == "blocked"
        assert euclidean_mst(X, method="knn")[2] == ("hnsw" if faiss_installed() else "knn")
        assert euclidean_mst(X[:, :3], method="knn")[2] == "knn"

    def test_graph_index_route_above_the_limit(self):
        pytest.importorskip("faiss")
        X, _ = blobs([(0,) * 48, (9,) * 48, (-9,) * 48], 80, seed=4)
        X = np.concatenate([X, X[:7]])  # copies hang on their originals by zero-length edges
        edges, lengths, used = euclidean_mst(X, method="knn")
        assert used == "hnsw" and is_spanning_tree(edges, len(X))
        assert np.sum(lengths == 0) == 7
        exact = brute_force_length(X[:-7])
        assert exact * (1 - 1e-12) <= lengths.sum() <= exact * 1.02
        # Asking for more neighbours than there are points, and k doubled until one piece.
        for n_neighbors, max_pieces in ((500, 32), (1, 1)):
            edges, _, used = euclidean_mst(X, method="knn", n_neighbors=n_neighbors, max_pieces=max_pieces)
            assert used == "hnsw" and is_spanning_tree(edges, len(X))

    def test_pieces_far_apart_are_joined_by_their_closest_pairs(self):
        # Four blobs in 40-D far apart: the k-NN graph falls into pieces, joined through matrix
        # products; the joining edges must be the exact tree's three longest ones.
        centers = [np.eye(40)[i] * 60 for i in range(4)]
        X, _ = blobs(centers, 50, seed=5)
        edges, lengths, used = euclidean_mst(X, method="knn", n_neighbors=3)
        exact_edges, exact_lengths, _ = euclidean_mst(X, method="exact")
        longest = np.argsort(lengths)[-3:]
        exact_longest = np.argsort(exact_lengths)[-3:]
        assert sorted(map(tuple, edges[longest].tolist())) == sorted(map(tuple, exact_edges[exact_longest].tolist()))
        assert lengths[longest] == pytest.approx(np.sort(exact_lengths)[-3:], rel=1e-12)

    def test_blocked_neighbours_without_faiss(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "faiss", None)  # import faiss now raises ImportError
        X, _ = blobs([(0,) * 40, (9,) * 40], 60, seed=3)
        edges, lengths, used = euclidean_mst(X, method="knn")
        assert used == "knn" and is_spanning_tree(edges, len(X))
        assert lengths.sum() == pytest.approx(brute_force_length(X), rel=0.02)
        # Without an index, any number of points in many coordinates gets the exact tree.
        monkeypatch.setattr("halvek.algorithms.src.brov.trees.euclidean.BLOCKED_MAX_POINTS", 10)
        assert euclidean_mst(X)[2] == "blocked"

    def test_collinear_points_in_2d(self):
        t = np.array([3.0, -1.0, 0.5, 10.0, 2.0])
        edges, lengths, used = euclidean_mst(np.column_stack([t, 2 * t + 1]))
        assert used == "boruvka"
        assert sorted(map(tuple, edges.tolist())) == [(0, 3), (0, 4), (1, 2), (2, 4)]
        assert lengths.sum() == pytest.approx(11 * np.sqrt(5))

    def test_knn_joins_pieces_and_approximates(self):
        X, _ = blobs([(0, 0, 0), (50, 0, 0), (0, 60, 0), (0, 0, -70)], 40, seed=2)
        edges, lengths, used = euclidean_mst(X, method="knn", n_neighbors=3)
        assert used == "knn"
        assert is_spanning_tree(edges, len(X))
        exact = brute_force_length(X)
        # The three joins between blobs are the exact shortest links, so the total stays close.
        assert exact <= lengths.sum() <= exact * 1.02
        # max_pieces=1 doubles k until the k-NN graph is connected on its own.
        edges, _, _ = euclidean_mst(X, method="knn", n_neighbors=2, max_pieces=1)
        assert is_spanning_tree(edges, len(X))

    @pytest.mark.parametrize("method", ["exact", "knn"])
    def test_single_point_and_all_identical(self, method):
        assert euclidean_mst(np.zeros((1, 3)), method=method)[0].shape == (0, 2)
        assert euclidean_mst(np.zeros((0, 3)), method=method)[0].shape == (0, 2)
        edges, lengths, _ = euclidean_mst(np.ones((5, 2)), method=method)
        assert is_spanning_tree(edges, 5) and np.all(lengths == 0)
        edges, lengths, _ = euclidean_mst(np.array([[1.0, 2.0], [4.0, 6.0]]), method=method)
        assert edges.tolist() == [[0, 1]] and lengths.tolist() == [5.0]

    def test_many_copies_of_few_points(self):
        # Large groups of identical points must not make the build quadratic in the group size.
        X = np.repeat(np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 3.0, 0.0]]), 40000, axis=0)
        edges, lengths, _ = euclidean_mst(X)
        assert is_spanning_tree(edges, len(X))
        assert np.sum(lengths == 0) == len(X) - 3 and lengths.sum() == pytest.approx(4.0)

    @pytest.mark.parametrize("factor", [1e200, 1e155, 1e-300, 1e-310])
    def test_extreme_coordinates_give_the_same_tree(self, factor):
        X, _ = blobs([(0, 0, 0), (5, 5, 5)], 50, seed=1)
        edges, lengths, _ = euclidean_mst(X)
        big_edges, big_lengths, _ = euclidean_mst(X * factor)
        assert np.array_equal(big_edges, edges)
        assert np.allclose(big_lengths / factor, lengths, rtol=1e-6 if factor > 1e-308 else 1e-3)

    def test_distances_beyond_float64_are_refused(self):
        with pytest.raises(ValueError, match="beyond the float64 range"):
            euclidean_mst(np.array([[-1.7e308, 0.0], [1.7e308, 0.0]]))

    @pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
    def test_non_finite_coordinates_are_refused(self, bad):
        X = np.zeros((5, 3))
        X[3, 1] = bad
        for method in ("auto", "knn"):
            with pytest.raises(ValueError, match="NaN or infinite coordinates in 1 point\\(s\\), first at row 3"):
                euclidean_mst(X, method=method)

    def test_native_tree_checks_its_input(self):
        from halvek.algorithms.src.brov.binaries import _tree

        # Squared distances that overflow: the same tree as the points divided by a power of two.
        X = np.random.default_rng(4).normal(size=(300, 3))
        assert np.array_equal(_tree.euclidean_mst_edges(X * 2.0 ** 600), _tree.euclidean_mst_edges(X))

        with pytest.raises(TypeError, match="C-contiguous float64 array of shape"):
            _tree.euclidean_mst_edges(np.zeros((4, 2), dtype=np.float32))
        with pytest.raises(TypeError, match="C-contiguous float64 array of shape"):
            _tree.euclidean_mst_edges(np.zeros(4))
        with pytest.raises((TypeError, BufferError, ValueError)):
            _tree.euclidean_mst_edges(np.zeros((4, 4))[:, ::2])
        with pytest.raises(ValueError, match="points must be finite"):
            _tree.euclidean_mst_edges(np.array([[0.0, 1.0], [np.nan, 2.0]]))
        with pytest.raises(TypeError, match="progress must be callable"):
            _tree.euclidean_mst_edges(np.zeros((4, 2)), 3)
        assert _tree.euclidean_mst_edges(np.zeros((3, 0))).tolist() == [[0, 1], [1, 2]]

    def test_progress_reports_fractions_and_can_stop_the_build(self):
        X = np.random.default_rng(0).random((20000, 2))
        seen = []
        euclidean_mst(X, progress=seen.append)
        assert seen[0] == 0.0 and seen[-1] == 1.0 and seen == sorted(seen) and len(seen) > 3

        def stop(fraction):
            if fraction > 0.5:
                raise KeyboardInterrupt
        with pytest.raises(KeyboardInterrupt):
            euclidean_mst(X, progress=stop)
        assert euclidean_mst(X, method="knn", progress=seen.append)[2] == "knn" and seen[-1] == 1.0

    @pytest.mark.parametrize("X, route", [
        (np.arange(10.0).reshape(-1, 1), "boruvka"),
        (np.random.default_rng(1).normal(size=(50, 2)), "boruvka"),
        (np.random.default_rng(1).normal(size=(50, 40)), "blocked"),
        (np.zeros((1, 2)), "boruvka"),
    ])
    def test_progress_runs_from_zero_to_one_on_every_route(self, X, route):
        seen = []
        if route == "hnsw" and not faiss_installed():
            route = "knn"
        assert euclidean_mst(X, progress=seen.append)[2] == route
        assert seen[0] == 0.0 and seen[-1] == 1.0 and len(seen) >= 3
        assert seen == sorted(seen)

    def test_progress_must_be_callable_and_may_stop_the_build(self):
        with pytest.raises(TypeError, match="progress must be a callable"):
            euclidean_mst(np.zeros((3, 2)), progress=0.5)

        def stop(fraction):
            if fraction > 0:
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            euclidean_mst(np.random.default_rng(2).normal(size=(30, 2)), progress=stop)

    @pytest.mark.parametrize("name", ["nan", "1-D X", "3-D X", "no coordinates", "strings", "sparse X",
                                      "complex X", "objects in X", "masked X"])
    def test_points_are_checked_as_the_estimator_checks_them(self, name):
        _, change, error, message = next(bad for bad in BAD_INPUTS if bad[0] == name)
        X, _ = change(np.arange(20, dtype=float).reshape(10, 2), np.zeros(10))
        for method in ("exact", "knn"):
            with pytest.raises(error, match=message):
                euclidean_mst(X, method=method)

    def test_bad_parameters(self):
        with pytest.raises(ValueError, match="method must be"):
            euclidean_mst(np.zeros((3, 2)), method="fast")
        with pytest.raises(ValueError, match="n_neighbors must be a positive integer"):
            euclidean_mst(np.zeros((3, 2)), n_neighbors=0)
        for bad in (0, -1, 1.5, True):
            with pytest.raises(ValueError, match="n_jobs must be a positive integer or None"):
                euclidean_mst(np.zeros((3, 2)), n_jobs=bad)

    def test_same_tree_with_any_thread_count(self):
        # 20,000 points: enough for the searches to be shared out between threads.
        X = np.random.default_rng(8).normal(size=(20000, 3))
        trees = [euclidean_mst(X, n_jobs=jobs)[0] for jobs in (None, 1, 3)]
        assert np.array_equal(trees[0], trees[1]) and np.array_equal(trees[0], trees[2])

    def test_other_python_threads_run_during_a_fit(self):
        # The tree of 300,000 points takes about a second of native work; a thread that holds the
        # GIL through it would leave the other thread a gap as long.
        import threading
        import time

        X = np.random.default_rng(9).normal(size=(300000, 2))
        y = np.r_[0, [-1] * (len(X) - 2), 1]
        longest, stop = [0.0], threading.Event()

        def other_thread():
            last = time.perf_counter()
            while not stop.is_set():
                now = time.perf_counter()
                longest[0], last = max(longest[0], now - last), now

        thread = threading.Thread(target=other_thread)
        thread.start()
        try:
            time.sleep(0.05)
            model = BrovClustering(n_trees=1, n_jobs=1).fit(X, y)
        finally:
            stop.set()
            thread.join()
        assert model.timings_["tree"] > 0.3
        assert longest[0] < model.timings_["tree"] / 3


class TestEstimator:
    @pytest.mark.parametrize("ids, unlabelled", [
        (np.array([1000, -7, 5, 2 ** 40]), -1),
        (np.array(["setosa", "-1", "versicolor", "virginica"]), ""),
        (np.array(["b", "a", "d", "c"], dtype=object), None),
        (np.array([b"b", b"a", b"d", b"c"]), b""),
        (np.array([2.5, 0.5, 1.5, 3.5], dtype=object), float("nan")),
    ], ids=["ints", "strings", "objects", "bytes", "float objects"])
    def test_recovers_blobs_with_any_class_ids(self, ids, unlabelled):
        X, truth = blobs([(0, 0), (8, 0), (0, 8), (8, 8)], 60)
        y = np.full(len(X), unlabelled, dtype=ids.dtype)
        for blob in range(4):
            y[blob * 60: blob * 60 + 2] = ids[blob]
        if ids.dtype.kind == "O":
            y[5] = -1  # the integer -1 is unlabelled among names too
        model = BrovClustering()
        labels = model.fit_predict(X, y)
        assert labels is model.labels_ and model.transduction_ is model.labels_
        assert labels.dtype == (np.int64 if ids.dtype.kind == "i" else ids.dtype)
        assert np.array_equal(labels, ids[truth]) and np.array_equal(model.predict(X[::60]), ids[truth[::60]])
        assert model.classes_.tolist() == sorted(set(ids.tolist()))
        assert model.tree_method_ == "boruvka" and model.n_features_in_ == 2
        # 240 points: ten trees vote and draw the tree that is cut; the exact tree listed the
        # neighbours they need on the way (no search of their own).
        assert set(model.timings_) == set(SINGLE_TREE_STAGES) | {"confidence", "consensus"}
        single = BrovClustering(n_trees=1).fit(X, y)
        assert list(single.timings_) == SINGLE_TREE_STAGES and np.array_equal(single.labels_, labels)

    @pytest.mark.parametrize("method, route", [("auto", "boruvka"), ("knn", "knn")])
    def test_routes_in_higher_dimensions(self, method, route):
        X, truth = blobs([(0, 0, 0, 0), (6, 0, 0, 0), (0, 6, 0, 6)], 50, seed=4)
        y = np.full(len(X), -1)
        y[[0, 50, 100]] = [0, 1, 2]
        model = BrovClustering(method=method, n_neighbors=5).fit(X, y)
        assert model.tree_method_ == route
        assert adjusted_rand_score(truth, model.labels_) == 1.0

    @pytest.mark.parametrize("params", [
        {}, {"side_discount": 0}, {"side_discount": 7.5}, {"edge_weight": "local"},
        {"edge_weight": "local", "side_discount": 0}, {"scale": True}, {"n_trees": 4, "random_state": 1},
        {"n_trees": 5, "consensus": True, "edge_weight": "local", "random_state": 2},
        {"n_trees": 1}, {"n_trees": 1, "edge_weight": "local", "side_discount": 0},
        {"consensus": "points", "random_state": 3}, {"consensus": "none", "n_trees": 3, "random_state": 4},
        {"n_trees": 7, "edge_weight": "length", "side_discount": 0, "random_state": 5},
    ], ids=str)
    def test_pieces_left_after_the_cuts_carry_one_label_each(self, params):
        rng = np.random.default_rng(7)
        X = rng.normal(size=(400, 2)) * [1.0, 30.0]
        X[:40] = X[0]  # copies of one point: zero lengths and no local scale of their own
        y = np.full(400, -1)
        y[rng.choice(400, 12, replace=False)] = np.arange(12) % 4
        model = BrovClustering(**params).fit(X, y)
        labels = model.labels_
        # The cutting rule on the tree and the weights the model shows gives its labels; with
        # votes per point, those of the tree of the data.
        codes, classes = encode_labels(y)
        new_codes, cut = cluster_tree(model.edges_, model.edge_weights_, codes)
        tree_labels = decode_labels(new_codes, classes, np.int64)
        assert np.array_equal(cut, model.cut_edges_)
        if params.get("consensus") not in (True, "points"):
            assert np.array_equal(tree_labels, labels)
        kept = model.edges_[~model.cut_edges_]
        graph = sp.coo_array((np.ones(len(kept)), (kept[:, 0], kept[:, 1])), shape=(400, 400))
        count, piece = connected_components(graph, directed=False)
        assert count == 1 + model.cut_edges_.sum()
        for p in range(count):
            assert len(np.unique(tree_labels[piece == p])) == 1
        # Labelled points keep their own label, in every tree that voted too.
        assert np.array_equal(labels[y != -1], y[y != -1]) and np.array_equal(tree_labels[y != -1], y[y != -1])
        assert np.all(model.confidence_[y != -1] == 1.0)
        proba = model.predict_proba(X)
        assert np.allclose(proba.sum(axis=1), 1.0)
        assert np.array_equal(proba[np.arange(400), np.searchsorted(model.classes_, labels)],
                              model.confidence_)
        assert np.all(model.edge_weights_ >= 0) and np.all(np.isfinite(model.edge_weights_))
        fitted = (X - X.mean(axis=0)) / X.std(axis=0) if params.get("scale") else X
        lengths = np.sqrt(((fitted[model.edges_[:, 0]] - fitted[model.edges_[:, 1]]) ** 2).sum(axis=1))
        assert np.allclose(model.edge_lengths_, lengths) and np.all(model.edges_[:, 0] < model.edges_[:, 1])

    # The default (several trees drawing the tree that is cut, up to 20,000 points) and one tree.
    @pytest.mark.parametrize("params", [{"random_state": 0}, {"n_trees": 1}], ids=str)
    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(hnp.arrays(np.float64, st.tuples(st.integers(1, 40), st.integers(1, 3)),
                      elements=st.integers(0, 3).map(float)), st.data())
    def test_same_labels_and_cuts_as_clusterize_on_its_tree(self, params, X, data):
        # Points on a small grid: duplicates and equal edge lengths everywhere.
        n = X.shape[0]
        y = np.array(data.draw(st.lists(st.sampled_from([-1, -1, -1, 7, 8, 9]), min_size=n, max_size=n)))
        y[data.draw(st.integers(0, n - 1))] = data.draw(st.sampled_from([7, 8, 9]))
        model = BrovClustering(**params).fit(X, y)
        codes, classes = encode_labels(y)
        ranks = edge_ranks(model.edges_, model.edge_weights_)
        connections, weights = graph_pair(symmetric_csr(model.edges_, ranks, n))
        before = [a.tolist() for a in connections.to_numpy_all()]
        _, _, new_codes = brov_core.clusterize(connections, weights, codes)
        assert model.labels_.tolist() == decode_labels(new_codes, classes, np.int64).tolist()
        after = [a.tolist() for a in connections.to_numpy_all()]
        cut = sorted(tuple(e) for e in model.edges_[model.cut_edges_].tolist())
        assert cut == removed_edges(before, after, codes)

    def test_duplicate_points_with_different_labels_are_separated(self):
        X = np.array([[0.0, 0.0], [0.0, 0.0], [1.0, 0.0], [5.0, 5.0], [0.0, 0.0]])
        y = np.array([3, 4, -1, -1, -1])
        labels = BrovClustering().fit_predict(X, y)
        assert labels[0] == 3 and labels[1] == 4
        assert set(labels.tolist()) == {3, 4}

    def test_many_classes_are_remapped_both_ways(self):
        n = 300
        X = np.column_stack([np.arange(n, dtype=float), np.zeros(n)])
        y = np.arange(n) * 3 - 101  # 300 classes would not fit; 128 do
        y[128:] = -1
        for params in ({"n_trees": 1}, {"n_trees": 1, "side_discount": 0}, {"random_state": 0}):
            labels = BrovClustering(**params).fit_predict(X, y)
            assert np.array_equal(labels[:128], y[:128])
            # One tree hands the unlabelled tail to its nearest label; the voting trees may split it.
            assert np.all(labels[128:] == y[127]) if params.get("n_trees") == 1 else set(labels) == set(y[:128])
        # Beyond 128 the path search would take the codes for unlabelled points.
        with pytest.raises(ValueError, match="129 distinct classes: at most 128"):
            BrovClustering().fit(X, np.r_[np.arange(129), [-1] * (n - 129)])
        with pytest.raises(ValueError, match="300 distinct classes: at most 128"):
            BrovClustering().fit(X, np.arange(n))

    def test_params_protocol(self):
        model = BrovClustering(n_neighbors=7)
        params = model.get_params()
        assert params == {"method": "auto", "n_neighbors": 7, "max_pieces": 32, "verbose": False,
                          "edge_weight": "auto", "side_discount": 2.0, "scale": "auto", "n_trees": "auto",
                          "consensus": "tree", "random_state": None, "n_jobs": None, "metric": "euclidean",
                          "angle_unit": "degrees"}
        clone = type(model)(**params)
        assert clone.get_params() == params
        assert model.set_params(method="knn", verbose=True) is model
        assert model.method == "knn" and model.verbose is True
        with pytest.raises(ValueError, match="invalid parameter 'k'"):
            model.set_params(k=3)
        assert repr(model) == "BrovClustering(method='knn', n_neighbors=7, verbose=True)"

    def test_verbose_reports_stages_on_stderr(self, capsys):
        X, _ = blobs([(0, 0), (5, 5)], 20)
        BrovClustering(verbose=True, n_trees=3).fit(X, np.r_[0, [-1] * 38, 1])
        err = capsys.readouterr().err
        for stage in SINGLE_TREE_STAGES + ["confidence"]:
            assert "brov: %s" % stage in err


try:
    from sklearn.utils import Tags  # noqa: F401  (the tags API, scikit-learn 1.6 and later)
    from sklearn.utils.estimator_checks import parametrize_with_checks
except ImportError:  # scikit-learn is optional
    parametrize_with_checks = None



class TestWeightingAndConfidence:
    def test_outlying_labelled_point_keeps_its_class(self):
        # Class 0's only label sits 1.5 away from its blob; the blobs are 1.2 apart. Cutting by
        # length alone leaves the label alone and hands its blob to class 1.
        blob_a = np.c_[np.arange(10) * 0.1, np.zeros(10)]
        blob_b = blob_a + [2.1, 0.0]
        X = np.vstack([[[-1.5, 0.0]], blob_a, blob_b])
        y = np.r_[0, [-1] * 19, 1]
        plain = BrovClustering(side_discount=0, n_trees=1).fit_predict(X, y)
        assert plain[1:11].tolist() == [1] * 10
        for params in ({"n_trees": 1}, {"random_state": 0}):
            labels = BrovClustering(**params).fit_predict(X, y)
            assert labels.tolist() == [0] * 11 + [1] * 10

    def test_smaller_side_sizes_match_removing_each_edge(self):
        from halvek.algorithms.src.brov.estimator.weighting import smaller_side_sizes

        rng = np.random.default_rng(3)
        n = 60
        edges = np.array([[rng.integers(0, v), v] for v in range(1, n)])
        edges = edges[rng.permutation(n - 1)]
        sides = smaller_side_sizes(edges, n)
        for i in range(n - 1):
            rest = np.delete(edges, i, axis=0)
            graph = sp.coo_array((np.ones(n - 2), (rest[:, 0], rest[:, 1])), shape=(n, n))
            _, piece = connected_components(graph, directed=False)
            assert sides[i] == min(np.sum(piece == 0), np.sum(piece != 0))
        # Two trees and a lone node: each edge counts within its own tree only.
        forest = np.array([[0, 1], [1, 2], [2, 3], [5, 4], [6, 5]])
        assert smaller_side_sizes(forest, 8).tolist() == [1, 2, 1, 1, 1]
        # A cycle behind a tail, and one beside a tree that is fine, are found all the same.
        for cycle in ([[0, 1], [1, 2], [2, 0]], [[0, 1], [1, 0]], [[3, 3]], [[3, 0], [0, 1], [1, 2], [2, 0]],
                      [[0, 1], [2, 3], [3, 2]]):
            with pytest.raises(ValueError, match="forest"):
                smaller_side_sizes(np.array(cycle), 4)
        with pytest.raises(ValueError, match=r"\[0, n\)"):
            smaller_side_sizes(np.array([[0, 4]]), 4)
        # A node count far beyond the edges costs memory by the edges (by n, this would be 32 TB).
        assert smaller_side_sizes(forest + 10 ** 12, 2 * 10 ** 12).tolist() == [1, 2, 1, 1, 1]

    @pytest.mark.parametrize("params", [{}, {"consensus": "points"}, {"scale": True}, {"n_trees": 1}], ids=str)
    def test_far_coordinates_fit_and_predict_as_the_points_scaled_down(self, params):
        # Times 2^600 (about 4e180), squared distances overflow; a power of two divides out exactly.
        X, _ = blobs([(0, 0), (3, 0)], 60, seed=5)
        y = np.full(len(X), -1)
        y[[0, 60]] = [0, 1]
        near = BrovClustering(random_state=0, **params).fit(X, y)
        far = BrovClustering(random_state=0, **params).fit(X * 2.0 ** 600, y)
        assert np.array_equal(far.labels_, near.labels_) and np.array_equal(far.confidence_, near.confidence_)
        assert np.array_equal(far.edges_, near.edges_)
        queries = np.vstack([X[::7] + 0.1, [[1e6, 0]]])
        assert np.array_equal(far.predict(queries * 2.0 ** 600), near.predict(queries))
        assert np.array_equal(far.predict_proba(queries * 2.0 ** 600), near.predict_proba(queries))
        assert near.predict([[1e300, -1e300]])[0] in (0, 1)  # far beyond the fitted points

    def test_local_weighting_measures_gaps_against_the_density_around_them(self):
        # A dense row (spacing 0.1), a gap of 0.8, then a sparse row (spacing 1): by length the
        # sparse row's own edges are the longest; relative to the local spacing the gap is.
        X = np.r_[np.arange(20) * 0.1, 1.9 + 0.8 + np.arange(20) * 1.0][:, None]
        y = np.r_[0, [-1] * 38, 1]
        by_length = BrovClustering(side_discount=0, n_trees=1).fit_predict(X, y)
        assert np.any(by_length[20:] == 0)
        local = BrovClustering(edge_weight="local", n_neighbors=2, side_discount=0, n_trees=1).fit_predict(X, y)
        assert local.tolist() == [0] * 20 + [1] * 20
        # The dense row as heaps of three copies (counts, grades): copies count once, or every heap
        # would be denser than any spacing and the sparse row's edges would go first again.
        heaps = np.r_[np.repeat(X[:20], 3, axis=0), X[20:]]
        y = np.r_[0, [-1] * 78, 1]
        local = BrovClustering(edge_weight="local", n_neighbors=2, side_discount=0, n_trees=1).fit_predict(heaps, y)
        assert local.tolist() == [0] * 60 + [1] * 20
        from halvek.algorithms.src.brov.estimator.weighting import EdgeWeigher

        # Each copy gets its point's scale; searched (no tree lengths) or not, the same scales.
        distinct = EdgeWeigher(X, "local", n_neighbors=2).scales
        for lengths in (None, BrovClustering(n_trees=1).fit(heaps, y).edge_lengths_):
            scales = EdgeWeigher(heaps, "local", n_neighbors=2, tree_lengths=lengths).scales
            assert np.allclose(scales, np.r_[np.repeat(distinct[:20], 3), distinct[20:]])

    def test_scaling_puts_coordinates_in_unrelated_units_on_one_footing(self):
        from halvek.algorithms.src.brov.estimator.weighting import SpreadWarning

        rng = np.random.default_rng(5)
        truth = np.repeat([0, 1], 100)
        X = np.c_[truth * 8 + rng.normal(size=200), rng.normal(size=200) * 1000]
        y = np.full(200, -1)
        y[[0, 199]] = [0, 1]
        with pytest.warns(SpreadWarning, match="spreads differ 226-fold and were not standardized"):
            assert adjusted_rand_score(truth, BrovClustering(scale=False).fit_predict(X, y)) < 0.5
        model = BrovClustering(scale=True).fit(X, y)
        assert np.array_equal(model.labels_, truth) and np.allclose(model.scaling_[1], X.std(axis=0))
        assert np.array_equal(BrovClustering().fit(X, y).labels_, truth)  # "auto": scaled above 100x
        # Below 100x "auto" leaves the coordinates alone, and nothing warns.
        for factor in (0.01, 0.2):
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                auto = BrovClustering().fit(X * [1.0, factor], y)
            assert auto.scaling_ is None
            assert np.array_equal(auto.labels_, BrovClustering(scale=False).fit_predict(X * [1.0, factor], y))
        # New points are scaled as the fitted ones were.
        assert model.predict([[8.2, 900.0], [0.3, -1500.0]]).tolist() == [1, 0]
        assert np.array_equal(model.predict(X), model.labels_)
        # A fit that fails on its labels leaves the fitted model, its scaling included, as it was.
        with pytest.raises(ValueError, match="no labelled point"):
            model.fit(X * 50 + 3, np.full(200, -1))
        assert model.predict([[8.2, 900.0], [0.3, -1500.0]]).tolist() == [1, 0]

    def test_confidence_is_lowest_on_a_bridge_between_classes(self):
        # Two dense rows joined by a sparse row of equal gaps: where it is cut is a toss-up.
        x = np.r_[np.arange(31) * 0.1, 3.3 + np.arange(9) * 0.3, 6 + np.arange(31) * 0.1]
        X = np.c_[x, np.zeros(len(x))]
        y = np.full(len(X), -1)
        y[[0, len(X) - 1]] = [0, 1]
        model = BrovClustering(n_trees=20, consensus="none", random_state=0).fit(X, y)
        assert model.confidence_[31:40].mean() < 0.85
        assert np.all(model.confidence_[np.r_[0:25, 46:71]] == 1.0)
        assert set(np.unique(model.confidence_ * 20)) <= set(range(21))
        again = BrovClustering(n_trees=20, consensus="none", random_state=0).fit(X, y)
        assert np.array_equal(again.confidence_, model.confidence_)
        assert "confidence" in model.timings_
        # The tree the votes draw is cut once, on the bridge, and its labels get most votes far from it.
        drawn = BrovClustering(n_trees=20, random_state=0).fit(X, y)
        assert drawn.cut_edges_.sum() == 1 and set(drawn.edges_[drawn.cut_edges_][0]) <= set(range(30, 41))
        assert np.all(drawn.confidence_[np.r_[0:10, 61:71]] >= 0.9) and drawn.confidence_[31:40].mean() < 0.85
        # With consensus every point takes its most voted class: at least half the votes.
        voted = BrovClustering(n_trees=21, consensus=True, random_state=0).fit(X, y)
        proba = voted.predict_proba(X)
        assert np.array_equal(voted.classes_[proba.argmax(axis=1)], voted.labels_)
        assert np.all(voted.confidence_ > 0.5) and np.array_equal(voted.labels_[[0, -1]], [0, 1])
        # Without a seed two fits are the same fit, on any number of threads, and another seed draws
        # other trees.
        first, second = BrovClustering().fit(X, y), BrovClustering(n_jobs=3).fit(X, y)
        for name in ("labels_", "confidence_", "edges_", "edge_weights_"):
            assert np.array_equal(getattr(first, name), getattr(second, name)), name
        assert not np.array_equal(first.confidence_, BrovClustering(random_state=7).fit(X, y).confidence_)
        # Where the most voted class is not the label, the confidence says so (README's promise).
        for fitted in (first, drawn, model):
            differ = fitted.classes_[fitted.predict_proba(X).argmax(axis=1)] != fitted.labels_
            assert np.all(fitted.confidence_[differ] <= 0.5)

    def test_automatic_tree_count_switches_to_one_tree_above_the_threshold(self, monkeypatch):
        monkeypatch.setattr(consensus_module, "AUTO_MAX_POINTS", 40)
        X, _ = blobs([(0, 0), (5, 5)], 20)
        y = np.r_[3, [-1] * 38, 8]
        voting = BrovClustering(random_state=0).fit(X, y)
        assert "consensus" in voting.timings_ and voting.predict_proba(X).sum(axis=0).tolist() == [20, 20]
        # Small sets draw the most trees, and their count falls with the size down to ten.
        assert voting.n_iter_ == consensus_module.AUTO_MAX_AUTO_TREES
        monkeypatch.setattr(consensus_module, "AUTO_TREE_BUDGET", 40 * 12)
        assert BrovClustering(random_state=0).fit(X, y).n_iter_ == 12
        monkeypatch.setattr(consensus_module, "AUTO_TREE_BUDGET", 40)
        assert BrovClustering(random_state=0).fit(X, y).n_iter_ == consensus_module.AUTO_TREES
        bigger = np.vstack([X, [[5.1, 5.1]]])
        alone = BrovClustering(random_state=0).fit(bigger, np.r_[y, -1])
        assert list(alone.timings_) == SINGLE_TREE_STAGES and np.all(alone.confidence_ == 1.0)
        one = BrovClustering(n_trees=1).fit(bigger, np.r_[y, -1])
        assert np.array_equal(alone.edge_weights_, one.edge_weights_)
        # The vote counts (points x classes) have a bound of their own.
        monkeypatch.setattr(consensus_module, "AUTO_MAX_VOTES", 79)
        assert list(BrovClustering(random_state=0).fit(X, y).timings_) == SINGLE_TREE_STAGES
        # A count given explicitly holds at any size, as does consensus="points" with "auto".
        assert "confidence" in BrovClustering(n_trees=3, random_state=0).fit(bigger, np.r_[y, -1]).timings_
        points = BrovClustering(consensus="points").fit(bigger, np.r_[y, -1])
        assert np.array_equal(points.labels_, one.labels_)

    @pytest.mark.parametrize("case", range(6))
    def test_small_overlapping_sets_give_nearly_the_same_labels_with_any_seed(self, case):
        # A compact class inside a widely spread one, one label each: the seed of the perturbed
        # trees must not decide the answer (with ten trees some seeds shrank a class to a sliver).
        rng = np.random.default_rng(case)
        X = np.r_[rng.normal(size=(150, 5)), rng.normal(size=(100, 5)) * 2.5 + 2.0]
        y = np.full(250, -1)
        y[[rng.choice(150), 150 + rng.choice(100)]] = [0, 1]
        fits = [BrovClustering(random_state=seed).fit(X, y).labels_ for seed in range(4)]
        assert min(np.mean(fits[0] == other) for other in fits[1:]) >= 0.85

    def test_dense_labels_lean_towards_the_nearest_labelled_point_where_many_trees_vote(self, monkeypatch):
        # Three overlapping blobs, 10% labelled: the nearest labelled point is a good guide there,
        # and the voted tree leans on it; with ten trees the labels are the votes' alone.
        from scipy.spatial import cKDTree

        gain = 0.0
        for seed in (3, 4, 5):
            rng = np.random.default_rng(seed)
            truth = np.arange(600) % 3
            X = (rng.uniform(-6, 6, size=(3, 2))[truth]
                 + rng.normal(size=(600, 2)) * np.array([1.0, 2.5, 0.5])[truth, None])
            y = np.where(rng.random(600) < 0.1, truth, -1)
            nearest = y[y >= 0][cKDTree(X[y >= 0]).query(X)[1]]
            leaning = [BrovClustering(n_trees=trees, random_state=0).fit(X, y).labels_ for trees in ("auto", 10)]
            with monkeypatch.context() as patch:
                patch.setattr(consensus_module, "NEAREST_LABEL", 0.0)
                plain = [BrovClustering(n_trees=trees, random_state=0).fit(X, y).labels_ for trees in ("auto", 10)]
            assert np.mean(leaning[0] == nearest) >= np.mean(plain[0] == nearest)
            gain += np.mean(leaning[0] == nearest) - np.mean(plain[0] == nearest)
            assert np.array_equal(leaning[1], plain[1])
        assert gain > 0.02

    def test_trees_that_agree_draw_the_tree_of_the_data(self):
        # Well apart blobs: every perturbed tree cuts between them, so the drawn tree keeps each
        # blob's shortest edges and the one shortest edge between them, as the tree of the data.
        X, truth = blobs([(0, 0), (30, 0), (0, 30)], 30, seed=9)
        y = np.full(len(X), -1)
        y[[0, 30, 60]] = [0, 1, 2]
        drawn = BrovClustering(random_state=1).fit(X, y)
        one = BrovClustering(n_trees=1).fit(X, y)
        def as_set(edges):
            return set(map(tuple, edges.tolist()))

        assert as_set(drawn.edges_) == as_set(one.edges_) and drawn.edge_lengths_.sum() == pytest.approx(
            one.edge_lengths_.sum())
        assert as_set(drawn.edges_[drawn.cut_edges_]) == as_set(one.edges_[one.cut_edges_])
        assert np.array_equal(drawn.labels_, truth)
        assert np.all(drawn.confidence_ == 1.0)

    def test_one_tree_gives_certain_probabilities(self):
        X, _ = blobs([(0, 0), (5, 5)], 20)
        model = BrovClustering(n_trees=1).fit(X, np.r_[3, [-1] * 38, 8])
        proba = model.predict_proba(X + 0.01)
        assert proba.shape == (40, 2) and set(np.unique(proba)) == {0.0, 1.0}
        assert np.array_equal(model.classes_[proba.argmax(axis=1)], model.labels_)
        assert np.all(model.confidence_ == 1.0)
        # The distributions are drawn at the first read and dropped by the next fit.
        assert np.array_equal(model.label_distributions_, model.predict_proba(X))
        model.set_params(n_trees=3).fit(X[:21], np.r_[3, [-1] * 19, 5])
        assert model.label_distributions_.shape == (21, 2) and model.label_distributions_[20].tolist() == [0.0, 1.0]


class TestScikitLearnConventions:
    def fitted(self):
        X, truth = blobs([(0, 0), (8, 0)], 30, seed=3)
        y = np.full(len(X), -1)
        y[[0, 30]] = [4, 9]
        return BrovClustering().fit(X, y), X, np.array([4, 9])[truth]

    def test_predict_takes_the_nearest_fitted_point(self):
        model, X, truth = self.fitted()
        assert np.array_equal(model.predict(X), model.labels_)
        new = np.array([[0.1, 0.2], [7.5, -0.3], [3.0, 0.0], [5.0, 0.0]])
        nearest = np.argmin(np.linalg.norm(X[None, :, :] - new[:, None, :], axis=2), axis=1)
        assert np.array_equal(model.predict(new), model.labels_[nearest])
        assert model.predict(new)[:2].tolist() == [4, 9]

    def test_score_is_mean_accuracy(self):
        model, X, truth = self.fitted()
        assert model.score(X, truth) == 1.0
        wrong = truth.copy()
        wrong[:15] = 9
        assert model.score(X, wrong) == pytest.approx(0.75)
        weights = np.r_[np.ones(15), np.zeros(45)]
        assert model.score(X, wrong, sample_weight=weights) == 0.0

    def test_predict_refuses_unfitted_and_mismatched_input(self):
        with pytest.raises(ValueError, match="not fitted yet"):
            BrovClustering().predict(np.zeros((2, 2)))
        model, X, _ = self.fitted()
        with pytest.raises(ValueError, match="X has 3 features, but BrovClustering is expecting 2"):
            model.predict(np.zeros((2, 3)))
        with pytest.raises(ValueError, match="NaN or infinite"):
            model.predict([[np.nan, 0.0]])

    def test_attributes_of_label_spreading_and_n_jobs(self):
        model, X, _ = self.fitted()
        assert model.n_iter_ == 250 and BrovClustering(n_trees=1).fit(X, model.labels_).n_iter_ == 1
        assert np.array_equal(model.label_distributions_, model.predict_proba(X))
        assert np.allclose(model.label_distributions_.sum(axis=1), 1.0)
        assert not hasattr(model, "feature_names_in_")
        from halvek.algorithms.src.brov.estimator.jobs import effective_n_jobs

        joblib = pytest.importorskip("joblib")
        assert effective_n_jobs(None) == 1 and effective_n_jobs(2) == 2 and effective_n_jobs(-1) >= 1
        with joblib.parallel_config(n_jobs=3):
            assert effective_n_jobs(None) == 3

    def test_feature_names_of_a_data_frame(self):
        pd = pytest.importorskip("pandas")
        model, X, _ = self.fitted()
        frame = pd.DataFrame(X, columns=["length_mm", "mass_g"])
        named = BrovClustering().fit(frame, model.labels_)
        assert named.feature_names_in_.tolist() == ["length_mm", "mass_g"] and named.feature_names_in_.dtype == object
        assert np.array_equal(named.predict(frame), model.labels_)
        for columns, message in ((["mass_g", "length_mm"], "same order"), (["length_mm", "mass_kg"],
                                                                          "unseen at fit time:\n- mass_kg")):
            with pytest.raises(ValueError, match="The feature names should match those that were passed during fit"
                                                 ".\n.*" + message):
                named.predict(pd.DataFrame(X, columns=columns))
        with pytest.warns(UserWarning, match="X does not have valid feature names"):
            named.predict(X)
        assert not hasattr(named.fit(X, model.labels_), "feature_names_in_")  # a refit forgets them

    def test_column_vector_y_is_flattened_with_a_warning(self):
        X, _ = blobs([(0, 0), (8, 0)], 10)
        y = np.r_[1, [-1] * 18, 2]
        with pytest.warns(UserWarning, match="A column-vector y was passed"):
            labels = BrovClustering().fit_predict(X, y[:, None])
        assert np.array_equal(labels, BrovClustering().fit_predict(X, y))

    def test_grid_search_uses_score(self):
        model_selection = pytest.importorskip("sklearn.model_selection")
        X, truth = blobs([(0, 0), (8, 0), (0, 8)], 40, seed=6)
        search = model_selection.GridSearchCV(BrovClustering(), {"method": ["exact", "knn"]}, cv=3)
        search.fit(X, truth)
        assert search.best_score_ == 1.0 and search.best_estimator_.method in ("exact", "knn")

    if parametrize_with_checks is not None:
        with warnings.catch_warnings():  # it does not inherit from BaseEstimator, on purpose
            warnings.filterwarnings("ignore", "Estimator BrovClustering does not inherit")
            all_checks = parametrize_with_checks([BrovClustering()])

        @pytest.mark.filterwarnings("ignore:Estimator BrovClustering does not inherit")
        @all_checks
        def test_scikit_learn_estimator_checks(self, estimator, check):
            if check.func.__name__ != "check_classifiers_classes":
                return check(estimator)
            # String and object class names pass; its last problem then gives half the points the
            # integer label -1, unlabelled here as for LabelSpreading, which scikit-learn exempts
            # from that problem by name. Reaching it shows every class-name problem passed.
            with pytest.raises(AssertionError, match="Unexpected classes_ attribute .*expected '-1, 1', got '1'"):
                check(estimator)


BAD_INPUTS = [
    ("nan", lambda X, y: (np.where(np.arange(len(X))[:, None] == 3, np.nan, X), y), ValueError,
     r"NaN or infinite coordinates in 1 point\(s\), first at row 3"),
    ("inf", lambda X, y: (np.vstack([X[:-1], [np.inf, 0]]), y), ValueError, "NaN or infinite"),
    ("1-D X", lambda X, y: (X[:, 0], y), ValueError, r"reshape\(-1, 1\)"),
    ("3-D X", lambda X, y: (X[None], y), ValueError, "two-dimensional"),
    ("no points", lambda X, y: (X[:0], y[:0]), ValueError, "X holds no points"),
    ("no coordinates", lambda X, y: (X[:, :0], y), ValueError, "without coordinates"),
    ("strings", lambda X, y: (X.astype(str), y), TypeError, "real numbers"),
    ("sparse X", lambda X, y: (sp.csr_array(X), y), TypeError, "cluster_graph"),
    ("short y", lambda X, y: (X, y[:-1]), ValueError, "got 9 labels for 10 points"),
    ("2-D y", lambda X, y: (X, np.column_stack([y, y])), ValueError, "one-dimensional"),
    ("no labels", lambda X, y: (X, np.full_like(y, -1)), ValueError, "no labelled point"),
    ("float ids", lambda X, y: (X, y + 0.5), ValueError, "integer class ids"),
    ("mixed names", lambda X, y: (X, np.array(["cat", 3] + [None] * 8, dtype=object)), TypeError,
     "class names that can be sorted together .* got a mix of int, str"),
    ("no named label", lambda X, y: (X, np.array(["", None, np.nan] + [-1] * 7, dtype=object)), ValueError,
     "no labelled point: at least one label must differ from -1, None, NaN and ''"),
    ("no y", lambda X, y: (X, None), ValueError, "requires y to be passed"),
    ("nan ids", lambda X, y: (X, np.r_[0.0, np.nan, [-1.0] * 8]), ValueError, "mark unlabelled points with -1"),
    ("huge float ids", lambda X, y: (X, np.r_[1e19, 2.0, [-1.0] * 8]), ValueError, "does not fit in a 64-bit"),
    ("huge uint64 ids", lambda X, y: (X, np.array([2 ** 64 - 1] + [3] * 9, dtype=np.uint64)), ValueError,
     "18446744073709551615 at position 0 does not fit"),
    ("complex X", lambda X, y: (X + 1j, y), ValueError, "Complex data not supported"),
    ("masked X", lambda X, y: (np.ma.masked_greater(X, 18), y), ValueError, r"masked array with 1 masked coordinate"),
    ("objects in X", lambda X, y: (np.where(np.arange(20).reshape(10, 2) == 5, {"a": 1}, X.astype(object)), y),
     TypeError, "real numbers"),
]


def no_work(*args, **kwargs):
    raise AssertionError("work started on invalid input")


def great_circle_matrix(degrees):
    lat, lon = np.radians(degrees).T
    cos_angle = np.sin(lat)[:, None] * np.sin(lat) + np.cos(lat)[:, None] * np.cos(lat) * np.cos(lon[:, None] - lon)
    return np.arccos(np.clip(cos_angle, -1.0, 1.0))


class TestGreatCircleTree:
    """metric="haversine": the tree, its lengths and predict against brute force on the sphere."""

    @staticmethod
    def points(seed, n=120):
        """Latitude and longitude in degrees: anywhere, around a pole, or across the antimeridian."""
        rng = np.random.default_rng(seed)
        where = seed % 3
        lat = rng.uniform(-90, 90, n) if where == 0 else rng.uniform(84, 90, n) if where == 1 else rng.uniform(-5, 5, n)
        lon = rng.uniform(-180, 180, n) if where < 2 else rng.uniform(175, 185, n)
        lon = np.where(lon > 180, lon - 360, lon)
        return np.column_stack([lat, lon])

    @pytest.mark.parametrize("seed", range(10))
    def test_tree_and_lengths_are_those_of_the_great_circle(self, seed):
        X = self.points(seed)
        y = np.full(len(X), -1)
        y[:3] = [0, 1, 2]
        distances = great_circle_matrix(X)
        expected = minimum_spanning_tree(distances).tocoo()
        expected_edges = np.sort(np.column_stack([expected.row, expected.col]), axis=1)
        model = BrovClustering(metric="haversine", n_trees=1).fit(X, y)
        order = np.lexsort(expected_edges.T[::-1])
        got = np.lexsort(model.edges_.T[::-1])
        assert np.array_equal(model.edges_[got], expected_edges[order])
        assert np.allclose(model.edge_lengths_, distances[model.edges_[:, 0], model.edges_[:, 1]], rtol=1e-9, atol=1e-12)
        in_radians = BrovClustering(metric="haversine", angle_unit="radians", n_trees=1).fit(np.radians(X), y)
        assert np.array_equal(in_radians.edges_, model.edges_) and np.array_equal(in_radians.labels_, model.labels_)

    def test_predict_takes_the_nearest_point_along_the_sphere(self):
        X = np.concatenate([self.points(2), self.points(1), [[0.0, 179.9], [0.0, -175.0]]])
        y = np.full(len(X), -1)
        y[[0, 120, 240, 241]] = [0, 1, 2, 3]
        model = BrovClustering(metric="haversine").fit(X, y)
        queries = np.concatenate([self.points(5, 40), [[0.0, -179.95], [89.0, 0.0]]])
        nearest = great_circle_matrix(np.concatenate([queries, X]))[:len(queries), len(queries):].argmin(axis=1)
        assert np.array_equal(model.predict(queries), model.labels_[nearest])
        assert model.predict(queries[-2:-1])[0] == 2  # across the antimeridian, not the planar neighbour
        with pytest.raises(ValueError, match="latitude must lie within"):
            model.predict([[-90.5, 0.0]])


class TestBadInputs:
    @pytest.mark.parametrize("name, change, error, message", BAD_INPUTS, ids=[b[0] for b in BAD_INPUTS])
    def test_rejected_before_any_work(self, monkeypatch, name, change, error, message):
        monkeypatch.setattr(estimator_module, "euclidean_mst_and_neighbours", no_work)
        monkeypatch.setattr(estimator_module, "cluster_tree", no_work)
        X = np.arange(20, dtype=float).reshape(10, 2)
        y = np.array([0, 1] + [-1] * 8)
        X, y = change(X, y)
        with pytest.raises(error, match=message):
            BrovClustering().fit(X, y)

    @pytest.mark.parametrize("params, message", [
        ({"method": "delaunay"}, "method must be"),
        ({"n_neighbors": 0}, "n_neighbors must be a positive integer"),
        ({"n_neighbors": 2.5}, "n_neighbors must be a positive integer"),
        ({"max_pieces": True}, "max_pieces must be a positive integer"),
        ({"n_trees": 0}, "n_trees must be a positive integer or 'auto'"),
        ({"n_trees": "many"}, "n_trees must be a positive integer or 'auto'"),
        ({"n_trees": 10 ** 11}, "n_trees must be at most 1000"),
        ({"edge_weight": "density"}, "edge_weight must be 'auto', 'length' or 'local'"),
        ({"side_discount": -1}, "side_discount must be a finite number >= 0"),
        ({"side_discount": float("nan")}, "side_discount must be a finite number >= 0"),
        ({"side_discount": "2"}, "side_discount must be a finite number >= 0"),
        ({"scale": "yes"}, "scale must be True, False or 'auto'"),
        ({"n_jobs": 0}, "n_jobs must be None or a non-zero integer"),
        ({"n_jobs": 1.5}, "n_jobs must be None or a non-zero integer"),
        ({"consensus": 1}, "consensus must be 'tree', 'points' or 'none'"),
        ({"consensus": "majority"}, "consensus must be 'tree', 'points' or 'none'"),
        ({"consensus": True, "n_trees": 1}, "consensus=True needs n_trees of 2 or more"),
        ({"consensus": "points", "n_trees": 1}, "consensus='points' needs n_trees of 2 or more"),
        ({"random_state": "seed"}, "random_state must be None, an integer or a NumPy random generator"),
        ({"metric": "cosine"}, "metric must be 'euclidean' or 'haversine'"),
        ({"metric": "haversine", "angle_unit": "grads"}, "angle_unit must be 'degrees' or 'radians'"),
        ({"metric": "haversine", "scale": True}, "scale=True does not apply to metric='haversine'"),
    ])
    def test_bad_parameters(self, monkeypatch, params, message):
        monkeypatch.setattr(estimator_module, "euclidean_mst_and_neighbours", no_work)
        monkeypatch.setattr(estimator_module, "check_points", no_work)
        with pytest.raises(ValueError, match=message):
            BrovClustering(**params).fit(np.zeros((3, 2)), [0, -1, -1])

    @pytest.mark.parametrize("X, unit, message", [
        (np.zeros((4, 3)), "degrees", "two columns, latitude and longitude"),
        ([[91.0, 0.0]] + [[0.0, 0.0]] * 3, "degrees", r"within \+-90 degrees, got 91.0 at row 0 \(1 row"),
        ([[0.0, 0.0]] * 3 + [[-1.6, 0.0]], "radians", r"within \+-1.5708 radians, got -1.6 at row 3"),
        ([[0.0, np.inf]] * 4, "degrees", "NaN or infinite"),
    ], ids=["three columns", "latitude 91", "radians", "infinite"])
    def test_geographic_points_rejected_before_any_work(self, monkeypatch, X, unit, message):
        monkeypatch.setattr(estimator_module, "euclidean_mst_and_neighbours", no_work)
        with pytest.raises(ValueError, match=message):
            BrovClustering(metric="haversine", angle_unit=unit).fit(np.array(X), [0, 1, -1, -1])

    @pytest.mark.parametrize("dims, route", [(20, "blocked"), (2, "boruvka")])
    def test_neighbours_of_the_tree_route_serve_the_weights_and_votes(self, monkeypatch, dims, route):
        # The tree route's neighbour lists stand in for the searches of the local scales and of
        # the voting trees' candidate pairs: same results as searching again.
        X, _ = blobs([(0,) * dims, (4,) * dims, (0,) * (dims // 2) + (4,) * (dims - dims // 2)], 250, seed=8)
        y = np.full(len(X), -1)
        y[[0, 250, 500]] = [0, 1, 2]
        params = dict(n_trees=4, edge_weight="local", random_state=0, n_neighbors=7)
        reused = BrovClustering(**params).fit(X, y)
        found = estimator_module.euclidean_mst_and_neighbours(X, n_neighbors=7, listed=4)
        assert found[2] == route and found[3] is not None and found[3].k == 7
        monkeypatch.setattr(estimator_module, "euclidean_mst_and_neighbours",
                            lambda *a, **k: found[:3] + (None,))
        searched = BrovClustering(**params).fit(X, y)
        assert np.array_equal(reused.labels_, searched.labels_)
        assert np.array_equal(reused.edge_weights_, searched.edge_weights_)
        assert np.array_equal(reused.confidence_, searched.confidence_)
        if route == "boruvka":  # it lists one of identical points only: such lists are not handed out
            assert estimator_module.euclidean_mst_and_neighbours(np.repeat(X, 2, axis=0), listed=4)[3] is None

    def test_exact_method_in_any_dimension(self):
        model = BrovClustering(method="exact").fit(np.eye(20), [0] + [-1] * 18 + [1])
        assert model.tree_method_ == "blocked" and model.edge_lengths_.sum() == pytest.approx(19 * np.sqrt(2))

    def test_float_ids_that_are_integers_are_accepted(self):
        labels = BrovClustering().fit_predict([[0.0], [1.0], [5.0], [6.0]], np.array([1.0, -1, -1, 2.0]))
        assert labels.tolist() == [1, 1, 2, 2] and labels.dtype == np.int64


class TestClusterGraph:
    def path(self, weights):
        n = len(weights) + 1
        rows = np.r_[np.arange(n - 1), np.arange(1, n)]
        cols = np.r_[np.arange(1, n), np.arange(n - 1)]
        return sp.csr_array((np.r_[weights, weights], (rows, cols)), shape=(n, n))

    def test_heaviest_edge_between_labels_is_cut(self):
        labels = cluster_graph(self.path([1.0, 3.0, 2.0, 1.0]), np.array([100, -1, -1, -1, 200]))
        assert labels.tolist() == [100, 100, 200, 200, 200]

    def test_equal_weights_cut_the_edge_with_the_largest_nodes(self):
        assert cluster_graph(self.path([1, 1, 1, 1]), [0, -1, -1, -1, 1]).tolist() == [0, 0, 0, 0, 1]

    def test_component_without_labels_keeps_minus_one(self):
        graph = sp.block_diag([self.path([1.0]), self.path([2.0, 2.5])], format="csr")
        assert cluster_graph(graph, np.array([9, -1, -1, -1, -1])).tolist() == [9, 9, -1, -1, -1]

    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(trees_and_forests(weights="tied"))
    def test_same_labels_as_clusterize_on_ranked_weights(self, data):
        labels = label_array(data)
        if not (labels >= 0).any():
            labels[0] = 0
        edges = data.edges()
        rows = [a for a, b, _ in edges] + [b for a, b, _ in edges]
        cols = [b for a, b, _ in edges] + [a for a, b, _ in edges]
        w = [w for _, _, w in edges] * 2
        graph = sp.csr_array((w, (rows, cols)), shape=(data.n, data.n))
        codes, classes = encode_labels(labels)
        _, _, new_codes = brov_core.clusterize(*graph_pair(graph, rank_weights=True), codes)
        expected = decode_labels(new_codes, classes, np.int8)
        assert cluster_graph(graph, labels).tolist() == expected.tolist()

    def test_checks_labels_and_graph_first(self):
        with pytest.raises(ValueError, match="got 2 labels for 5 points"):
            cluster_graph(self.path([1.0] * 4), [0, 1])
        with pytest.raises(ValueError, match="not symmetric"):
            cluster_graph(sp.csr_array(np.triu(np.ones((3, 3)), 1)), [0, -1, 1])
        with pytest.raises(TypeError, match="sparse"):
            cluster_graph(np.ones((2, 2)), [0, 1])


class TestClusterGraphOnCyclicGraphs:
    """The graph is reduced to its minimum spanning forest before clustering."""

    def knn_graph(self, X, k):
        from scipy.spatial import cKDTree

        distance, index = cKDTree(X).query(X, k=k + 1)
        rows = np.repeat(np.arange(len(X)), k)
        graph = sp.csr_array((distance[:, 1:].ravel(), (rows, index[:, 1:].ravel())), shape=(len(X), len(X)))
        return graph.maximum(graph.T)

    def test_large_knn_graph_is_clustered_through_its_forest(self):
        X, truth = blobs([(0, 0), (6, 0), (0, 6), (6, 6)], 2500, seed=5)
        graph = self.knn_graph(X, 5)
        y = np.full(len(X), -1)
        y[[0, 2500, 5000, 7500]] = [10, 11, 12, 13]
        result = cluster_graph(graph, y, return_forest=True)
        forest = minimum_spanning_tree(for_csgraph(graph))
        pieces = connected_components(for_csgraph(graph), directed=False)[0]
        assert len(result.edges) == len(X) - pieces
        assert result.weights.sum() == pytest.approx(forest.sum())
        assert adjusted_rand_score(truth, result.labels) > 0.99
        # Same labels as clustering the forest itself.
        tree = sp.coo_array((result.weights, (result.edges[:, 0], result.edges[:, 1])), shape=graph.shape)
        assert np.array_equal(cluster_graph((tree + tree.T).tocsr(), y), result.labels)

    def test_cycle_keeps_lightest_edges_and_reports_cuts(self):
        # Square 0-1-2-3-0 plus a chord 0-2; the heaviest cycle edges are dropped.
        rows, cols, w = [0, 1, 2, 3, 0], [1, 2, 3, 0, 2], [1.0, 5.0, 2.0, 4.0, 3.0]
        graph = sp.coo_array((w + w, (rows + cols, cols + rows)), shape=(4, 4))
        result = cluster_graph(graph, [0, 1, -1, -1], return_forest=True)
        assert result.edges.tolist() == [[0, 1], [0, 2], [2, 3]]
        assert result.weights.tolist() == [1.0, 3.0, 2.0]
        assert result.cut_edges.tolist() == [True, False, False]
        assert result.labels.tolist() == [0, 1, 0, 0]

    def test_equal_weights_keep_the_edge_with_smaller_nodes(self):
        triangle = sp.csr_array(np.ones((3, 3)) - np.eye(3))
        result = cluster_graph(triangle, [5, -1, 6], return_forest=True)
        assert result.edges.tolist() == [[0, 1], [0, 2]]
        assert result.labels.tolist() == [5, 5, 6]

    def test_entries_are_checked_before_the_forest(self):
        asymmetric = sp.csr_array(np.array([[0, 1, 2], [1, 0, 1], [1, 1, 0]], dtype=float))
        with pytest.raises(ValueError, match="not symmetric"):
            cluster_graph(asymmetric, [0, -1, 1])
        doubled = sp.coo_array(([1.0, 1.0, 2.0], ([0, 0, 1], [1, 1, 0])), shape=(2, 2))
        with pytest.raises(ValueError, match=r"duplicate entry \(0, 1\)"):
            cluster_graph(doubled, [0, 1])

    def test_weights_below_float32_are_ranked_or_refused(self):
        tiny = sp.csr_array(np.array([[0, 1e-50, 0], [1e-50, 0, 2e-50], [0, 2e-50, 0]]))
        assert cluster_graph(tiny, [0, -1, 1]).tolist() == [0, 0, 1]
        with pytest.raises(ValueError, match=r"edge \(0, 1\) has the weight 1e-50, which is 0 in float32"):
            brov.graph_pair(tiny)
        brov.graph_pair(tiny, rank_weights=True)


class TestLabelsAndScores:
    @given(st.one_of(st.lists(st.one_of(st.just(-1), st.integers(-2 ** 62, 2 ** 62)), min_size=1, max_size=50),
                     st.lists(st.one_of(st.just(""), st.just("-1"),
                                        st.text(st.characters(exclude_characters="\x00"), max_size=3)), min_size=1, max_size=50))
           .filter(lambda ys: any(v not in (-1, "") for v in ys) and len(set(ys) - {-1, ""}) <= 128))
    def test_codes_round_trip(self, ys):
        y = np.array(ys, dtype=np.int64 if isinstance(ys[0], int) else str)
        unlabelled = y == (-1 if y.dtype.kind == "i" else "")  # the string "-1" is a name
        codes, classes = encode_labels(y)
        assert codes.dtype == np.int8 and classes.dtype.kind == y.dtype.kind
        assert np.array_equal(codes == -1, unlabelled)
        assert np.array_equal(decode_labels(codes, classes), y)

    def test_ari_known_values(self):
        assert adjusted_rand_score([0, 0, 1, 1], [1, 1, 0, 0]) == 1.0
        assert adjusted_rand_score([0, 0, 1, 1], [0, 0, 1, 2]) == pytest.approx(0.5714285714285715)
        assert adjusted_rand_score([0, 0, 0, 0], [0, 1, 2, 3]) == 0.0
        assert adjusted_rand_score([0, 0, 1, 2], [0, 0, 1, 1]) == pytest.approx(0.5714285714285715)
        with pytest.raises(ValueError, match="differ in length"):
            adjusted_rand_score([0, 1], [0])


def test_importing_the_package_loads_neither_matplotlib_nor_native_code():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(brov.__file__)))))
    code = ("import sys, halvek.algorithms.src.brov as b; "
            "print(sorted(m for m in sys.modules if m.startswith('matplotlib') or m.endswith(('brov_core', '_bulk'))))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=dict(os.environ, PYTHONPATH=root), cwd=os.path.dirname(root) or "/")
    assert out.stdout.strip() == "[]"


def readme_python_blocks():
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
    if not os.path.exists(path):                # an installed copy without the checkout
        return []
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return [pytest.param(m.group(1), id=f"line {text.count(chr(10), 0, m.start()) + 1}")
            for m in re.finditer(r"^```python\n(.*?)^```", text, re.M | re.S)]


@pytest.mark.parametrize("code", readme_python_blocks())
def test_readme_example_runs_alone(code):
    for optional in ("dask", "distributed", "matplotlib", "pandas", "sklearn", "selenium"):
        if re.search(rf"^\s*(import|from) {optional}\b", code, re.M):
            pytest.importorskip(optional)
    namespace = {"__name__": "__readme__"}
    exec(compile(code, "README.md", "exec"), namespace)
    # A line `expression   # array([...])` shows the reader that value: it must still be the value.
    shown = re.findall(r"^(\S[^=#\n]*?)\s+# (array\(.*\))$", code, re.M)
    for expression, value in shown:
        assert "".join(repr(eval(expression, namespace)).split()) == "".join(value.split()), expression
