"""Bulk loading of graphs into GraphWrapper pairs (binaries._bulk and graph_pair)."""

import numpy as np
import pytest
import scipy.sparse as sp
from scipy.sparse.csgraph import minimum_spanning_tree
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from strategies import build_pair, label_array, removed_edges, trees_and_forests

from halvek.algorithms.src.brov import graph_pair, graph_to_csr
from halvek.algorithms.src.brov.binaries import _bulk
from halvek.algorithms.src.brov.binaries import brov_core as bc
from halvek.algorithms.src.brov.estimator.weighting import smaller_side_sizes

SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def lists(container):
    return [a.tolist() for a in container.to_numpy_all()]


def csr_of(data):
    """CSR arrays whose rows are the drawn adjacency lists, in their (unsorted) drawn order."""
    indptr = np.zeros(data.n + 1, dtype=np.int64)
    indptr[1:] = np.cumsum([len(a) for a in data.adjacency])
    indices = np.array([b for a in data.adjacency for b in a], dtype=np.int64)
    weights = np.array([w for ws in data.weights for w in ws], dtype=np.float64)
    return indptr, indices, weights


def outcome(connections, weights, labels):
    try:
        _, _, new = bc.clusterize(connections, weights, labels)
    except Exception as error:  # the two routes must fail alike, too
        return type(error).__name__, str(error)
    return new.tolist(), lists(connections), lists(weights)


class TestLoadedPair:
    @SETTINGS
    @given(trees_and_forests())
    def test_same_lists_and_same_clustering_as_appending(self, data):
        loaded = _bulk.graph_from_csr(*csr_of(data), data.n)
        appended = build_pair(data, bc.GraphWrapper)
        assert all(type(c) is bc.GraphWrapper for c in loaded)
        assert lists(loaded[0]) == lists(appended[0])
        assert lists(loaded[1]) == lists(appended[1])
        # Room for exactly the joining edges is enough for clusterize, whatever the labels.
        labels = label_array(data)
        assert outcome(*loaded, labels) == outcome(*appended, labels)

    def test_each_list_has_room_for_two_joining_edges(self):
        star = sp.csr_array(([1.0] * 14, ([0] * 7 + list(range(1, 8)), list(range(1, 8)) + [0] * 7)), shape=(8, 8))
        connections, weights = graph_pair(star)
        for node in (0, 3):
            connections.append(node, 99)
            connections.append(node, 98)
            weights.append(node, 1.0)
            weights.append(node, 1.0)
        assert connections.to_numpy(0).tolist()[-2:] == [99, 98]
        assert weights.to_numpy(3).tolist() == [1.0, 1.0, 1.0]

    def test_row_order_int32_float32_and_read_back(self):
        indptr = np.array([0, 2, 3, 4], dtype=np.int32)
        indices = np.array([2, 1, 0, 0], dtype=np.int32)
        data = np.array([0.5, 2.0, 2.0, 0.5], dtype=np.float32)
        connections, weights = _bulk.graph_from_csr(indptr, indices, data, 3)
        assert lists(connections) == [[2, 1], [0], [0]]
        assert lists(weights) == [[0.5, 2.0], [2.0], [0.5]]
        back_ptr, back_idx, back_w = _bulk.graph_to_csr(connections, weights)
        assert back_ptr.tolist() == [0, 2, 3, 4] and back_idx.tolist() == [2, 1, 0, 0]
        assert back_w.dtype == np.float32 and back_w.tolist() == [0.5, 2.0, 2.0, 0.5]
        # Changes made to the pair show in the export.
        connections.pop(0, 0)
        weights.pop(0, 0)
        assert graph_to_csr(connections, weights).toarray().tolist() == [[0, 2, 0], [2, 0, 0], [0.5, 0, 0]]

    def test_unaligned_arrays(self):
        def unaligned(values, dtype):
            raw = np.zeros(len(values) * np.dtype(dtype).itemsize + 1, dtype=np.uint8)
            view = raw[1:].view(dtype)
            view[:] = values
            return view

        for int_type, float_type in ((np.int64, np.float64), (np.int32, np.float32)):
            pair = _bulk.graph_from_csr(unaligned([0, 2, 3, 4], int_type), unaligned([2, 1, 0, 0], int_type),
                                        unaligned([0.5, 2.0, 2.0, 0.5], float_type), 3, rank_weights=True)
            assert lists(pair[0]) == [[2, 1], [0], [0]]
            assert lists(pair[1]) == [[1.0, 2.0], [2.0], [1.0]]

    def test_empty_and_edgeless_graphs(self):
        connections, weights = graph_pair(sp.csr_array((0, 0)))
        assert lists(connections) == [] and lists(weights) == []
        connections, weights = graph_pair(sp.coo_array((3, 3)))
        assert lists(connections) == [[], [], []]
        _, _, new = bc.clusterize(connections, weights, np.array([4, -1, -1], dtype=np.int8))
        assert new.tolist() == [4, -1, -1]

    def test_any_sparse_format_and_integer_weights(self):
        dense = np.array([[0, 3, 0], [3, 0, 1], [0, 1, 0]])
        for matrix in (sp.coo_matrix(dense), sp.csc_array(dense), sp.lil_matrix(dense), sp.dok_array(dense)):
            connections, weights = graph_pair(matrix)
            assert lists(connections) == [[1], [0, 2], [1]]
            assert lists(weights) == [[3.0], [3.0, 1.0], [1.0]]


class TestRankWeights:
    def test_ranks_follow_weights_and_break_ties_by_node(self):
        # Path 0-1-2-3 and edge 1-3: weights 5, 2, 2, 9.
        rows = [0, 1, 1, 2, 2, 3, 1, 3]
        cols = [1, 0, 2, 1, 3, 2, 3, 1]
        vals = [5, 5, 2, 2, 2, 2, 9, 9]
        connections, weights = graph_pair(sp.csr_array((vals, (rows, cols)), shape=(4, 4)), rank_weights=True)
        got = {}
        for a, (nbrs, ws) in enumerate(zip(lists(connections), lists(weights))):
            for b, w in zip(nbrs, ws):
                got[a, b] = w
        assert got[1, 2] == got[2, 1] == 1.0 and got[2, 3] == got[3, 2] == 2.0  # tie: (1, 2) before (2, 3)
        assert got[0, 1] == got[1, 0] == 3.0 and got[1, 3] == got[3, 1] == 4.0

    def test_ranks_cut_like_the_weights(self):
        # Distinct weights: ranked and raw weights must cut the same edges.
        rng = np.random.default_rng(5)
        n = 60
        parent = [int(rng.integers(0, i)) for i in range(1, n)]
        w = rng.permutation(np.arange(1, n)) * 0.37
        tree = sp.coo_array((w, (parent, range(1, n))), shape=(n, n))
        tree = (tree + tree.T).tocsr()
        labels = np.full(n, -1, dtype=np.int8)
        labels[rng.choice(n, 8, replace=False)] = [0, 1, 2, 0, 1, 2, 3, 3]
        raw = outcome(*graph_pair(tree), labels)
        ranked = outcome(*graph_pair(tree, rank_weights=True), labels)
        assert raw[0] == ranked[0] and raw[1] == ranked[1]


class TestClusterEdges:
    """_bulk.cluster_edges against clusterize on the pair that graph_from_csr makes of the same
    graph (rows in column order): same labels, same errors, and the cut mask names the edges that
    clusterize removed."""

    @SETTINGS
    @given(trees_and_forests(), st.booleans(), st.randoms(use_true_random=False))
    def test_same_labels_and_cuts_as_clusterize(self, data, ranked, rnd):
        edges = [(a, b) if rnd.random() < 0.5 else (b, a) for a, b, _ in data.edges()]
        weights = [w for _, _, w in data.edges()]
        order = list(range(len(edges)))
        rnd.shuffle(order)
        edge_array = np.array([edges[k] for k in order], dtype=np.int64).reshape(-1, 2)
        weight_array = np.array([weights[k] for k in order], dtype=np.float64)
        labels = label_array(data)

        rows = [sorted(zip(nbrs, ws)) for nbrs, ws in zip(data.adjacency, data.weights)]
        indptr = np.cumsum([0] + [len(r) for r in rows])
        indices = np.array([b for r in rows for b, _ in r], dtype=np.int64)
        values = np.array([w for r in rows for _, w in r], dtype=np.float64)
        connections, weight_lists = _bulk.graph_from_csr(indptr, indices, values, data.n, rank_weights=ranked)
        before = lists(connections)
        expected = outcome(connections, weight_lists, labels)

        try:
            got, cut = _bulk.cluster_edges(edge_array, weight_array.astype(np.float32), labels,
                                           rank_weights=ranked)
        except Exception as error:
            assert (type(error).__name__, str(error)) == expected
            return
        assert got.dtype == np.int8 and got.tolist() == expected[0]
        assert labels.tolist() == data.labels
        cut_pairs = sorted(tuple(sorted(e)) for e in edge_array[cut].tolist())
        assert cut_pairs == removed_edges(before, expected[1], labels)
        if ranked:  # the labels alone: joins from the lightest rank up on a forest, the planner else
            alone, no_cuts = _bulk.cluster_edges(edge_array, weight_array, labels, rank_weights=True, labels_only=True)
            assert no_cuts is None and alone.tolist() == expected[0]

    def test_ties_follow_the_order_of_the_lists_or_of_the_ranks(self):
        # Path 0-1-2-3 with equal weights, labels at both ends: raw weights cut the tied edge
        # whose smaller end comes first, ranks the one with the larger nodes.
        edges = np.array([[2, 3], [0, 1], [1, 2]], dtype=np.int32)
        labels = np.array([5, -1, -1, 7], dtype=np.int8)
        got, cut = _bulk.cluster_edges(edges, np.ones(3), labels)
        assert got.tolist() == [5, 7, 7, 7] and cut.tolist() == [False, True, False]
        got, cut = _bulk.cluster_edges(edges, np.ones(3), labels, rank_weights=True)
        assert got.tolist() == [5, 5, 5, 7] and cut.tolist() == [True, False, False]
        # The labels alone break ties by the ranks too; -0.0 ties 0.0 as the planner compares them.
        for weights in (np.ones(3), np.array([0.0, -0.0, 0.0])):
            got, _ = _bulk.cluster_edges(edges, weights, labels, rank_weights=True, labels_only=True)
            assert got.tolist() == [5, 5, 5, 7]
        with pytest.raises(ValueError, match="labels_only needs rank_weights=True"):
            _bulk.cluster_edges(edges, np.ones(3), labels, labels_only=True)

    def test_label_chains_and_pieces_without_labels(self):
        # Two pieces hold label 3, a third none; a fourth holds labels 1 and 2 and is cut between.
        edges = np.array([[0, 1], [2, 3], [4, 5], [6, 7], [7, 8]])
        labels = np.array([3, -1, -1, 3, -1, -1, 1, -1, 2], dtype=np.int8)
        got, cut = _bulk.cluster_edges(edges, np.array([1.0, 1.0, 1.0, 2.0, 1.0]), labels)
        assert got.tolist() == [3, 3, 3, 3, -1, -1, 1, 2, 2]
        assert cut.tolist() == [False, False, False, True, False]
        got, cut = _bulk.cluster_edges(np.zeros((0, 2), dtype=np.int64), np.zeros(0), np.array([], dtype=np.int8))
        assert got.tolist() == [] and cut.tolist() == []

    @pytest.mark.parametrize("edges, weights, message", [
        ([[0, 3]], [1.0], r"edge 0 joins nodes 0 and 3: node indices must lie in \[0, 3\)"),
        ([[0, 1], [-1, 2]], [1.0, 1.0], r"edge 1 joins nodes -1 and 2"),
        ([[1, 1]], [1.0], "edge 0 is a self-loop at node 1"),
        ([[0, 1], [1, 2], [1, 0]], [1.0, 2.0, 1.0], "edges 0 and 2 both join nodes 0 and 1"),
        ([[0, 1]], [0.0], "edge 0 has a weight that is not positive"),
        ([[0, 1]], [-2.0], "edge 0 has a weight that is not positive"),
        ([[0, 1]], [np.nan], "edge 0 has a NaN weight"),
        ([[0, 1]], [np.inf], "edge 0 has an infinite weight"),
        ([[0, 1]], [1e39], "edge 0 has a weight too large for float32"),
        # Positive, but 0 once stored as float32: graph_pair's refusal.
        ([[0, 1]], [1e-46], "edge 0 has the weight 1e-46, which is 0 in float32 storage: rescale the weights or "
                            r"pass rank_weights=True \(only their order matters\)"),
        ([[0, 1]], [1.0, 2.0], "got 2 weights for 1 edges"),
    ])
    def test_refuses_bad_edges_and_weights(self, edges, weights, message):
        with pytest.raises(ValueError, match=message):
            _bulk.cluster_edges(np.array(edges, dtype=np.int64).reshape(-1, 2), np.array(weights),
                                np.array([0, -1, 1], dtype=np.int8))

    def test_ranks_take_zero_and_large_weights_but_not_negative_ones(self):
        labels = np.array([0, -1, 1], dtype=np.int8)
        edges = np.array([[0, 1], [1, 2]])
        got, cut = _bulk.cluster_edges(edges, np.array([0.0, 1e300]), labels, rank_weights=True)
        assert got.tolist() == [0, 0, 1] and cut.tolist() == [False, True]
        got, cut = _bulk.cluster_edges(edges, np.array([1e-45, 1e-46]), labels, rank_weights=True)
        assert got.tolist() == [0, 1, 1] and cut.tolist() == [True, False]
        with pytest.raises(ValueError, match="edge 1 has a negative weight: weights must be non-negative"):
            _bulk.cluster_edges(edges, np.array([0.0, -1.0]), labels, rank_weights=True)

    def test_refuses_wrong_array_types(self):
        edges, weights, labels = np.array([[0, 1]]), np.array([1.0]), np.array([0, 1], dtype=np.int8)
        with pytest.raises(ValueError, match=r"edges must have shape \(m, 2\)"):
            _bulk.cluster_edges(edges.ravel(), weights, labels)
        with pytest.raises(ValueError, match=r"edges must have shape \(m, 2\)"):
            _bulk.cluster_edges(np.array([[0, 1, 2]]), weights, labels)
        with pytest.raises(TypeError, match="edges must hold int32 or int64 values"):
            _bulk.cluster_edges(edges.astype(float), weights, labels)
        with pytest.raises(TypeError, match="edges must be a two-column int32 or int64 array, got list"):
            _bulk.cluster_edges([[0, 1]], weights, labels)
        with pytest.raises(TypeError, match="weights must hold float32 or float64 values"):
            _bulk.cluster_edges(edges, np.array([1]), labels)
        with pytest.raises(TypeError, match="labels must be a one-dimensional int8 array"):
            _bulk.cluster_edges(edges, weights, labels.astype(np.int64))
        with pytest.raises(TypeError, match="labels must be a one-dimensional int8 array, got list"):
            _bulk.cluster_edges(edges, weights, [0, 1])
        with pytest.raises(ValueError, match="labels must be a contiguous"):
            _bulk.cluster_edges(edges, weights, np.zeros(4, dtype=np.int8)[::2])
        # The caller's arrays are read, never written.
        assert edges.tolist() == [[0, 1]] and labels.tolist() == [0, 1]


class TestVotingTrees:
    """_bulk.voting_trees: without noise every tree is the minimum spanning tree of the pairs, cut
    as cluster_edges cuts it (its own cut joins from the lightest edge up: the same labels); with
    noise the votes depend on the seed alone."""

    @pytest.mark.parametrize("seed", range(10))
    def test_unperturbed_trees_vote_as_cluster_edges_and_a_seed_repeats(self, seed):
        rng = np.random.default_rng(seed)
        X = rng.normal(size=(60, 2))
        pairs = np.array([(a, b) for a in range(60) for b in range(a + 1, 60) if rng.random() < 0.2] +
                         [(a, a + 1) for a in range(59)])
        pairs = np.unique(pairs, axis=0)
        if seed % 2:  # two pieces: a forest, each piece's sides counted within it
            pairs = pairs[(pairs < 30).all(axis=1) | (pairs >= 30).all(axis=1)]
        lengths = np.hypot(*(X[pairs[:, 0]] - X[pairs[:, 1]]).T)
        factors = rng.uniform(0.5, 2.0, len(pairs))
        labels = np.full(60, -1, dtype=np.int8)
        labels[rng.choice(60, 3 + 2 * seed, replace=False)] = np.arange(3 + 2 * seed) % 3
        mst = minimum_spanning_tree(sp.coo_matrix((lengths, pairs.T), shape=(60, 60))).tocoo()
        tree = np.sort(np.c_[mst.row, mst.col], axis=1)
        at = [np.flatnonzero((pairs == edge).all(axis=1))[0] for edge in tree]
        sides = smaller_side_sizes(tree, 60)
        for discount in (0.0, 2.0):
            weights = lengths[at] * factors[at] * (-np.expm1(-sides / discount) if discount else 1.0)
            expected, _ = _bulk.cluster_edges(tree, weights, labels, rank_weights=True)
            votes = _bulk.voting_trees(pairs, lengths, factors, labels, 3, seed, 0.0, discount)
            assert votes.shape == (60, 3) and np.array_equal(votes[np.arange(60), expected], np.full(60, 3))
        noisy = _bulk.voting_trees(pairs, lengths, factors, labels, 40, seed, 0.6, 2.0)
        # The same votes again, and on any number of threads.
        assert np.array_equal(noisy, _bulk.voting_trees(pairs, lengths, factors, labels, 40, seed, 0.6, 2.0, seed % 4))
        assert np.all(noisy.sum(axis=1) == 40) and np.all(noisy[labels >= 0, labels[labels >= 0]] == 40)
        assert not np.array_equal(noisy, _bulk.voting_trees(pairs, lengths, factors, labels, 40, seed + 9, 0.6, 2.0))
        # No factors weigh as factors of 1.
        assert np.array_equal(_bulk.voting_trees(pairs, lengths, None, labels, 40, seed, 0.6, 2.0),
                              _bulk.voting_trees(pairs, lengths, np.ones(len(pairs)), labels, 40, seed, 0.6, 2.0))

    @pytest.mark.parametrize("n, d, seed", [(2, 1, 0), (11, 2, 1), (300, 2, 2), (400, 5, 3), (200, 16, 4)])
    def test_inputs_neighbours_pairs_and_voted_tree_match_scipy(self, n, d, seed):
        from scipy.spatial import cKDTree

        rng = np.random.default_rng(seed)
        X = np.round(rng.normal(size=(n, d)), 1)  # rounded: ties and identical points
        k = 10
        index, squared = _bulk.nearest_neighbours(X, k, 1)
        assert np.array_equal((index, squared), _bulk.nearest_neighbours(X, k, 3))
        found = min(k, n - 1)
        distances = cKDTree(X).query(X, k=found + 1)[0][:, 1:]
        assert np.allclose(np.sqrt(squared[:, :found]), distances) and np.all(index[:, found:] == -1)
        assert not np.any(index == np.arange(n)[:, None])
        # The pairs: each once, smaller end first, sorted, the tree's edges among them.
        edges = np.c_[np.arange(1, n), rng.integers(0, np.arange(1, n))]  # a random tree
        pairs, lengths = _bulk.candidate_pairs(index, edges, X)
        expected = {tuple(sorted(p)) for p in np.r_[np.c_[np.repeat(np.arange(n), k), index.ravel()], edges]
                    if p[1] >= 0 and p[0] != p[1]}
        assert pairs.tolist() == sorted([int(a), int(b)] for a, b in expected)
        narrow = _bulk.candidate_pairs(index.astype(np.int32), edges.astype(np.int32), X)
        assert np.array_equal(narrow[0], pairs) and np.array_equal(narrow[1], lengths)
        assert np.allclose(lengths, np.hypot.reduce(X[pairs[:, 0]] - X[pairs[:, 1]], axis=1))
        # The voted tree: Kruskal's over the vote shares' total variation plus the tie-break, the
        # first pair taking a tie.
        votes = rng.multinomial(7, [0.5, 0.3, 0.2], size=n).astype(np.uint8)
        shares = votes / 7.0
        values = 0.5 * np.abs(shares[pairs[:, 0]] - shares[pairs[:, 1]]).sum(axis=1) + 0.01 * lengths / lengths.max()
        # The values returned mix in how undecided the chosen edges' votes are; the tree stays the same.
        undecided = 1.0 - ((shares[pairs[:, 0]] + shares[pairs[:, 1]]) / 2).max(axis=1)
        for dtype in (np.uint8, np.uint16):
            chosen, chosen_values = _bulk.voted_tree(pairs, lengths, votes.astype(dtype), 0.01, 0.0)
            mst = minimum_spanning_tree(sp.coo_matrix((values + 1.0, pairs.T), shape=(n, n)))
            assert len(chosen) == n - 1 and np.allclose(chosen_values, values[chosen], rtol=0, atol=1e-15)
            assert (values[chosen] + 1.0).sum() == pytest.approx(mst.sum())
            assert len({tuple(p) for p in pairs[chosen]}) == n - 1 and np.all(np.diff(chosen) > 0)  # in pair order
            mixed, mixed_values = _bulk.voted_tree(pairs, lengths, votes.astype(dtype), 0.01, 0.25)
            assert np.array_equal(mixed, chosen)
            assert np.allclose(mixed_values, 0.75 * values[chosen] + 0.25 * undecided[chosen], rtol=0, atol=1e-12)
        with pytest.raises(TypeError, match="votes must be a two-dimensional uint8 or uint16 array"):
            _bulk.voted_tree(pairs, lengths, votes.astype(np.int64), 0.01, 0.0)
        with pytest.raises(ValueError, match=r"undecided must lie in \[0, 1\]"):
            _bulk.voted_tree(pairs, lengths, votes, 0.01, 1.5)
        # The smoothed shares: each unlabelled point's own shares blended with the mean of its
        # partners', each pair counting as much as its ends' own shares agree; labelled points
        # and points no pair agrees with keep their own.
        labels = np.where(rng.random(n) < 0.2, rng.integers(0, 3, n), -1).astype(np.int8)
        votes[n // 2:] = 0  # rows without votes share nothing
        own = votes / np.maximum(votes.sum(axis=1, keepdims=True), 1)
        agree = np.clip(1 - 0.5 * np.abs(own[pairs[:, 0]] - own[pairs[:, 1]]).sum(axis=1), 0, None)
        near = sp.coo_matrix((np.r_[agree, agree], (np.r_[pairs[:, 0], pairs[:, 1]], np.r_[pairs[:, 1], pairs[:, 0]])),
                             shape=(n, n)).tocsr()
        mass = np.asarray(near.sum(axis=1)).ravel()
        moved = (labels < 0) & (mass > 0)
        shares = own
        for _ in range(3):
            blended = 0.3 * own + 0.7 * (near @ shares) / np.where(mass > 0, mass, 1)[:, None]
            shares = np.where(moved[:, None], blended, own)
        for dtype in (np.uint8, np.uint16):
            smoothed = _bulk.smoothed_votes(pairs, votes.astype(dtype), labels, 0.7, 3, 1000)
            assert smoothed.dtype == np.uint16 and np.abs(smoothed - shares * 1000).max() <= 0.5 + 1e-3
            assert np.array_equal(smoothed[~moved], np.rint(own[~moved] * 1000))
        assert np.array_equal(_bulk.smoothed_votes(pairs, votes, labels, 0.0, 3, 60000), np.rint(own * 60000))
        for weight, steps, scale, message in ((1.5, 3, 1000, r"weight must lie in \[0, 1\]"),
                                              (0.5, 1001, 1000, r"steps must lie in \[0, 1000\]"),
                                              (0.5, 3, 65536, r"scale must lie in \[1, 65535\]")):
            with pytest.raises(ValueError, match=message):
                _bulk.smoothed_votes(pairs, votes, labels, weight, steps, scale)
        with pytest.raises(ValueError, match="got %d labels for %d points" % (n - 1, n)):
            _bulk.smoothed_votes(pairs, votes, labels[1:], 0.5, 3, 1000)
        # Each point's nearest labelled point along the pairs, against SciPy's Dijkstra; the tie
        # rule aside, its distance is the shortest.
        from scipy.sparse.csgraph import dijkstra

        # (SciPy may drop pairs of length 0, between identical points: they weigh a hair more there.)
        graph = sp.coo_matrix((lengths + 1e-9, pairs.T), shape=(n, n)).tocsr()
        nearest = _bulk.nearest_labels(pairs, lengths, labels)
        if (labels >= 0).any():
            to_labels = dijkstra(graph, directed=False, indices=np.flatnonzero(labels >= 0))
            reached = np.isfinite(to_labels.min(axis=0))
            assert np.array_equal(nearest >= 0, reached)
            named = to_labels[:, reached].T  # reached points x labelled points
            ties = np.isclose(named, named.min(axis=1, keepdims=True), rtol=1e-5, atol=1e-6)  # summed in float32
            assert all(nearest[reached][i] in labels[labels >= 0][ties[i]] for i in range(reached.sum()))
        else:
            assert np.all(nearest == -1)
        # Own shares leaning on the nearest labelled class, smoothed no further (weight 0).
        leaning = 0.75 * own + 0.25 * (np.arange(3) == nearest[:, None])
        assert np.abs(_bulk.smoothed_votes(pairs, votes, labels, 0.0, 3, 60000, nearest, 0.25)
                      - leaning * 60000).max() <= 0.5 + 0.01
        for lean, codes, message in ((1.5, nearest, r"lean must lie in \[0, 1\]"),
                                     (0.2, np.full(n, 3, np.int8), r"nearest codes must lie in \[-1,"),
                                     (0.2, nearest[1:], "got %d nearest codes for %d points" % (n - 1, n))):
            with pytest.raises(ValueError, match=message):
                _bulk.smoothed_votes(pairs, votes, labels, 0.5, 3, 1000, codes, lean)

    @pytest.mark.parametrize("neighbours, edges, message", [
        ([[1], [3], [-1]], [[0, 1]], r"neighbours holds a point outside \[0, 3\)"),
        ([[1], [-2], [0]], [[0, 1]], r"neighbours holds a point outside \[0, 3\)"),
        ([[1], [2], [0]], [[0, 3]], r"edges holds a point outside \[0, 3\)"),
        ([[1], [2]], [[0, 1]], "neighbours has 2 rows for 3 points"),
    ])
    def test_candidate_pairs_refuses_points_outside(self, neighbours, edges, message):
        with pytest.raises(ValueError, match=message):
            _bulk.candidate_pairs(np.array(neighbours, dtype=np.int32), np.array(edges), np.zeros((3, 2)))
        with pytest.raises(TypeError, match="neighbours must be a C-contiguous int32 or int64 array"):
            _bulk.candidate_pairs(np.zeros((3, 1)), np.array(edges), np.zeros((3, 2)))

    @pytest.mark.parametrize("pairs, lengths, factors, labels, error, message", [
        ([[0, 3]], [1.0], [1.0], None, ValueError, r"pair 0 joins points 0 and 3: two distinct points in \[0, 3\)"),
        ([[0, 1], [-1, 2]], [1.0, 1.0], [1.0, 1.0], None, ValueError, "pair 1 joins points -1 and 2"),
        ([[1, 1]], [1.0], [1.0], None, ValueError, "pair 0 joins points 1 and 1"),
        ([[0, 1]], [np.nan], [1.0], None, ValueError, "pair 0 has a length that is NaN or negative"),
        ([[0, 1]], [-1.0], [1.0], None, ValueError, "pair 0 has a length that is NaN or negative"),
        ([[0, 1]], [1.0], [0.0], None, ValueError, "pair 0 has a factor that is not positive and finite"),
        ([[0, 1]], [1.0], [np.inf], None, ValueError, "pair 0 has a factor that is not positive and finite"),
        ([[0, 1]], [1.0, 2.0], [1.0], None, ValueError, "got 2 lengths and 1 factors for 1 pairs"),
        ([[0, 1]], [1.0], [1.0], [0, -2, 1], ValueError, "label -2 of point 1 is neither -1 nor a class code"),
        ([0, 1], [1.0], [1.0], None, ValueError, r"pairs must have shape \(m, 2\)"),
        ([[0.0, 1.0]], [1.0], [1.0], None, TypeError, "pairs must hold int32 or int64 values"),
        ([[0, 1]], [1], [1.0], None, TypeError, "lengths must hold float32 or float64 values"),
    ])
    def test_refuses_bad_pairs_lengths_and_labels(self, pairs, lengths, factors, labels, error, message):
        labels = np.array([0, -1, 1] if labels is None else labels, dtype=np.int8)
        pairs = np.array(pairs)
        with pytest.raises(error, match=message):
            _bulk.voting_trees(pairs, np.array(lengths), np.array(factors), labels, 2, 0, 0.6, 2.0)
        for noise, discount in ((np.nan, 2.0), (0.6, -1.0)):
            with pytest.raises(ValueError, match="must be a finite number >= 0"):
                _bulk.voting_trees(np.array([[0, 1]]), np.ones(1), np.ones(1), labels, 2, 0, noise, discount)


class TestRefusals:
    @pytest.mark.parametrize("dense, message", [
        ([[0, 1], [0, 0]], r"not symmetric: entry \(0, 1\) has no mirror entry \(1, 0\)"),
        ([[0, 0], [1, 0]], r"not symmetric: entry \(1, 0\) has no mirror entry \(0, 1\)"),
        ([[0, 1], [2, 0]], r"not symmetric: entry \(0, 1\) has weight 1 but \(1, 0\) has 2"),
        ([[1, 0], [0, 0]], r"self-loop at node 0"),
        ([[0, -1], [-1, 0]], r"edge \(0, 1\) has a negative weight"),
        ([[0, np.nan], [np.nan, 0]], r"edge \(0, 1\) has a NaN weight"),
        ([[0, np.inf], [np.inf, 0]], r"infinite or too large for float32"),
        ([[0, 1e39], [1e39, 0]], r"infinite or too large for float32"),
    ])
    def test_bad_matrices(self, dense, message):
        with pytest.raises(ValueError, match=message):
            graph_pair(sp.csr_array(np.array(dense, dtype=float)))

    def test_explicit_zero(self):
        m = sp.csr_array((np.array([0.0, 0.0]), np.array([1, 0]), np.array([0, 1, 2])), shape=(2, 2))
        with pytest.raises(ValueError, match=r"edge \(0, 1\) is an explicit zero"):
            graph_pair(m)

    def test_duplicate_entries_in_a_row(self):
        m = sp.csr_array((np.ones(4), np.array([1, 1, 0, 0]), np.array([0, 2, 4])), shape=(2, 2))
        with pytest.raises(ValueError, match=r"duplicate entry \(0, 1\)"):
            graph_pair(m)

    @pytest.mark.parametrize("args, error, message", [
        (([0, 1], [5], [1.0], 1), ValueError, "column index 5 in row 0 is out of range"),
        (([0, 1], [-1], [1.0], 1), ValueError, "column index -1 in row 0 is out of range"),
        (([0, 1, 1], [1], [1.0], 3), ValueError, r"indptr has length 3, expected n \+ 1 = 4"),
        (([1, 1], [], [], 1), ValueError, "indptr must start at 0"),
        (([0, 2, 1], [1, 0], [1.0, 1.0], 2), ValueError, "indptr decreases at row 1"),
        (([0, 1, 3], [1, 0], [1.0, 1.0], 2), ValueError, "points past the 2 stored entries"),
        (([0, 1, 1], [1, 0], [1.0, 1.0], 2), ValueError, "indptr ends at 1 but 2 entries are stored"),
        (([0, 1, 2], [1, 0], [1.0], 2), ValueError, r"indices and data differ in length"),
        (([0, 0], [], [], -1), ValueError, "n must not be negative"),
    ])
    def test_malformed_csr_arrays(self, args, error, message):
        indptr, indices, data, n = args
        with pytest.raises(error, match=message):
            _bulk.graph_from_csr(np.array(indptr, dtype=np.int64), np.array(indices, dtype=np.int64),
                                 np.array(data, dtype=np.float64), n)

    def test_wrong_array_types(self):
        ok_ptr, ok_idx, ok_w = np.array([0, 1, 2]), np.array([1, 0]), np.array([1.0, 1.0])
        with pytest.raises(TypeError, match="indices must hold int32 or int64 values"):
            _bulk.graph_from_csr(ok_ptr, ok_idx.astype(float), ok_w, 2)
        with pytest.raises(TypeError, match="data must hold float32 or float64 values"):
            _bulk.graph_from_csr(ok_ptr, ok_idx, ok_w.astype(np.int64), 2)
        with pytest.raises(TypeError, match="indptr must be a one-dimensional int32 or int64 array, got list"):
            _bulk.graph_from_csr([0, 1, 2], ok_idx, ok_w, 2)
        with pytest.raises(ValueError, match="indices must be one-dimensional"):
            _bulk.graph_from_csr(ok_ptr, ok_idx.reshape(1, 2), ok_w, 2)
        with pytest.raises(TypeError, match="graph_from_csr\\(\\) takes at least 4 positional arguments"):
            _bulk.graph_from_csr(ok_ptr, ok_idx, ok_w)

    def test_wrong_python_objects(self):
        with pytest.raises(TypeError, match="expected a SciPy sparse matrix or array, got ndarray"):
            graph_pair(np.eye(2))
        with pytest.raises(ValueError, match="square"):
            graph_pair(sp.csr_array((2, 3)))
        for dtype in (complex, bool):
            with pytest.raises(TypeError, match="edge weights must be real numbers"):
                graph_pair(sp.csr_array(np.array([[0, 1], [1, 0]], dtype=dtype)))
        c, w = graph_pair(sp.csr_array(np.array([[0, 1.0], [1.0, 0]])))
        with pytest.raises(TypeError, match="connections must be a brov_core.GraphWrapper"):
            _bulk.graph_to_csr(w.to_numpy_all(), w)
        with pytest.raises(TypeError, match="weights must be a GraphWrapper of dtype FLOAT32"):
            _bulk.graph_to_csr(c, c)

    def test_arguments_are_matched_by_each_functions_own_parameters(self):
        indptr, indices, data = np.array([0, 1, 2]), np.array([1, 0]), np.array([1.0, 1.0])
        with pytest.raises(TypeError, match=r"^edges_from_csr\(\) got an unexpected keyword argument 'rank_weights'$"):
            _bulk.edges_from_csr(indptr, indices, data, 2, rank_weights=True)
        with pytest.raises(TypeError, match=r"^graph_from_csr\(\) takes at least 4 positional arguments \(3 given\)$"):
            _bulk.graph_from_csr(indptr, indices, data)
        with pytest.raises(TypeError, match=r"^an integer is required$"):
            _bulk.graph_from_csr(indptr, indices, data, "2")
        # Keywords in any order; the flag is converted by its truth value.
        c, w = _bulk.graph_from_csr(n=2, data=data, indices=indices, indptr=indptr, rank_weights=[1])
        assert [a.tolist() for a in w.to_numpy_all()] == [[1.0], [1.0]]
        edges, weights = _bulk.edges_from_csr(indptr=indptr, indices=indices, data=data, n=2)
        assert edges.tolist() == [[0, 1]] and weights.tolist() == [1.0]
        assert _bulk.graph_to_csr.__doc__.startswith("graph_to_csr(connections, weights)\n\n")
