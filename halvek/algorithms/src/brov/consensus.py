"""Class votes of several perturbed spanning trees, for the estimator's
confidence.

Each extra tree is the minimum spanning tree of the k-nearest-neighbour graph
joined with the exact tree, its edge lengths multiplied by random factors
(log-normal): near a clear gap every such tree still crosses it with a long
edge and the cut falls in the same place, while points near a boundary that
the data does not show switch sides from tree to tree. Every tree is cut by
the same exact rule, so the labelled points vote for their own class in all
of them.
"""

import numpy as np

from .graph import cluster_tree

__all__ = ["most_voted", "perturbed_votes", "random_generator"]

# Spread of the log-normal length factors: large enough to reorder edges of
# similar length, small enough to keep a gap three times as long as its
# surroundings in place in nine trees of ten. Of 0.3, 0.6 and 1.0 on the
# quality benchmark, 0.6 gave the best consensus labels.
LENGTH_NOISE = 0.6
NEIGHBORS = 10


def random_generator(random_state):
    """A NumPy Generator from None, a seed, a Generator or a legacy RandomState."""
    if isinstance(random_state, np.random.RandomState):
        return np.random.default_rng(random_state.randint(2 ** 31))
    if isinstance(random_state, bool):
        raise ValueError("random_state must be None, an integer or a NumPy random generator, got %r"
                         % (random_state,))
    try:
        return np.random.default_rng(random_state)
    except (TypeError, ValueError):
        raise ValueError("random_state must be None, an integer or a NumPy random generator, got %r"
                         % (random_state,)) from None


def most_voted(votes, tree_codes):
    """Each point's most voted class code; a tie keeps the code its own tree gave."""
    rows = np.arange(len(votes))
    best = votes.argmax(axis=1)
    keep = votes[rows, tree_codes] == votes[rows, best]
    return np.where(keep, tree_codes, best).astype(np.int8)


def _candidate_edges(X, tree_edges):
    """The tree's edges and each point's nearest neighbours, once each."""
    from scipy.spatial import cKDTree

    from .mst import _unique_pairs

    n = X.shape[0]
    k = min(NEIGHBORS, n - 1)
    _, neighbours = cKDTree(X).query(X, k=k + 1)
    a = np.concatenate([np.repeat(np.arange(n), k), tree_edges[:, 0]])
    b = np.concatenate([neighbours[:, 1:].ravel(), tree_edges[:, 1]])
    keep = a != b
    return _unique_pairs(a[keep], b[keep], n)


def _perturbed_tree(n, pairs, lengths, rng):
    from scipy.sparse.csgraph import minimum_spanning_tree

    from .estimator import _edge_ranks, _symmetric_csr

    noisy = lengths * np.exp(LENGTH_NOISE * rng.standard_normal(len(lengths)))
    # Ranks are positive and distinct: zero-length pairs stay in and the tree is unique.
    tree = minimum_spanning_tree(_symmetric_csr(pairs, _edge_ranks(pairs, noisy), n)).tocoo()
    edges = np.sort(np.stack([tree.row, tree.col], axis=1), axis=1).astype(np.int64)
    return edges, noisy[_pair_index(pairs, edges, n)]


def _pair_index(pairs, edges, n):
    keys = pairs[:, 0] * n + pairs[:, 1]
    return np.searchsorted(keys, edges[:, 0] * n + edges[:, 1])


def perturbed_votes(X, tree_edges, codes, n_classes, n_trees, weigh, rng):
    """Votes (n_points x n_classes) of ``n_trees`` perturbed trees.

    ``weigh(edges, lengths)`` turns a tree's lengths into the weights the cuts
    compare, as for the main tree; ``codes`` are the int8 label codes.
    """
    n = X.shape[0]
    votes = np.zeros((n, n_classes), dtype=np.int64)
    pairs = _candidate_edges(X, tree_edges)
    lengths = np.sqrt(((X[pairs[:, 0]] - X[pairs[:, 1]]) ** 2).sum(axis=1))
    rows = np.arange(n)
    for _ in range(n_trees):
        edges, noisy = _perturbed_tree(n, pairs, lengths, rng)
        new_codes, _ = cluster_tree(edges, weigh(edges, noisy), codes)
        votes[rows, new_codes] += 1
    return votes
