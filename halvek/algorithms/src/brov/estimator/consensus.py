"""Class votes of several perturbed spanning trees: the estimator's
confidence, and the labels when the trees vote.

Each extra tree is the minimum spanning tree of the k-nearest-neighbour graph
joined with the exact tree, its edge lengths multiplied by random factors
(log-normal): near a clear gap every such tree still crosses it with a long
edge and the cut falls in the same place, while points near a boundary that
the data does not show switch sides from tree to tree. Every tree is cut by
the same exact rule, so the labelled points vote for their own class in all
of them.

The votes then either draw one tree of their own (``voted_tree``), cut by the
same rule, or give each point its most voted class (``most_voted``).
"""

import numpy as np

from ..native import bulk
from ..trees.euclidean import KD_TREE_MAX_DIMENSIONS, Neighbours, scale_of
from .weighting import EdgeWeigher

__all__ = ["AUTO_MAX_AUTO_TREES", "AUTO_MAX_POINTS", "AUTO_MAX_VOTES", "AUTO_TREE_BUDGET", "AUTO_TREES", "auto_trees", "DEFAULT_SEED", "MAX_TREES", "CANDIDATE_NEIGHBORS", "MANY_TREES_NEIGHBORS", "NEAREST_LABEL", "NEAREST_LABEL_MIN_SHARE", "candidate_count",
           "candidate_pairs", "most_voted",
           "perturbed_votes", "random_generator", "searched_neighbours", "smoothed_votes", "voted_tree"]

# Spread of the log-normal length factors: large enough to reorder edges of
# similar length, small enough to keep a gap twice as long as its surroundings
# in place in nearly every tree. With ten trees 0.6 gave the best consensus
# labels of 0.3, 0.6 and 1.0 on the quality benchmark; with the hundreds of
# trees that small sets now draw, 0.3 did (0.2, 0.3, 0.4: 37, 38 and 36 of its 44 rows).
LENGTH_NOISE = 0.3
# How many of each point's nearest neighbours join the tree's edges as the trees' candidate pairs:
# CANDIDATE_NEIGHBORS for up to AUTO_TREES trees, MANY_TREES_NEIGHBORS for more. With ten trees, on
# the quality benchmark 4, 6 and 10 gave mean ARI 0.812, 0.811 and 0.808 (rows moved both ways,
# within the spread of the seeds), and 4 halves the pairs every tree sorts. Hundreds of trees
# spread over more pairs: with 250 (both tables, three seeds of the trees per row) 4, 6, 8 and 10
# won 36, 37, 40 and 38 of the 44 rows (two more seeds: 4 35, 8 37).
CANDIDATE_NEIGHBORS = 4
MANY_TREES_NEIGHBORS = 8
# n_trees="auto": AUTO_TREE_BUDGET / n trees, from AUTO_TREES up to AUTO_MAX_AUTO_TREES, up to
# AUTO_MAX_POINTS points and AUTO_MAX_VOTES votes (points x classes), a single tree beyond. On the
# quality benchmark ten trees drawing one voted tree beat the single tree in most rows; drawn in
# native code they cost about three fits of one tree up to 10^6 points (bench/bench_quality.py
# --cost), but the fit's peak memory grows from about 90 to about 335 bytes per point
# (bench/bench_scale.py --trees 10): at 10^8 points that would be 34 GB. Small sets take more
# trees, which cost little there: with ten, a fit's labels changed with the seed (the breast
# cancer set with one label per class gave ARI 0.01 to 0.84 over six seeds), with 250 they
# settle (0.75 to 0.78); 250 trees over 2,000 points in 4 dimensions took 0.08 s (one
# tree 0.007 s), 100 over 10^4 points 0.19 s (0.04 s). The vote counts take a
# byte per point and class (AUTO_MAX_VOTES: 80 MB; 254 trees fit in a byte).
AUTO_TREES = 10
AUTO_MAX_AUTO_TREES = 250
AUTO_TREE_BUDGET = 1_000_000
AUTO_MAX_POINTS = 1_000_000
AUTO_MAX_VOTES = 80_000_000
# The most trees a fit takes: each costs a fraction of one fit, and a thousand votes already give
# confidences in steps of 0.001.
MAX_TREES = 1000
# The voted tree's cuts discount small sides more than the default: its weights are vote
# differences, and an outlier's edge often carries as much disagreement as a boundary.
# With the smoothed shares below, 10, 12 and 16 won 35, 36 and 36 of the 44 rows of the quality
# benchmark's two tables (8 won 34 without smoothing).
VOTED_SIDE_DISCOUNT = 12.0
# Before the voted tree is drawn, each unlabelled point's vote shares are averaged with those of
# its candidate pairs' other ends, SMOOTHING_STEPS times, keeping SMOOTHING of the neighbours' mean
# (each pair counting as much as its ends' own shares agree): ten trees give shares in tenths, so
# many pairs tie and their lengths alone chose among them. Measured on both tables of the quality
# benchmark: no smoothing 34 of 44 rows within 0.01 of the best peer (mean ARI 0.815 and 0.312);
# (0.5, 3) 36 (0.817 and 0.327); (0.4, 3), (0.6, 3), (0.5, 5) and (0.7, 5) 35 or 36.
SMOOTHING = 0.5
SMOOTHING_STEPS = 3
# The smoothed shares are counts out of this many (uint16) for the voted tree; 10,000 and 60,000
# gave the same rows of both quality tables.
SHARE_SCALE = 1000
# The voted tree's cut weights mix each edge's share difference with how undecided its votes are
# (1 minus the largest class share of its ends' mean), this much of the latter: without it, when a
# few trees in ten cut a labelled point off with its close neighbours, the step from the point's
# own shares to theirs outweighed the gradual change across the true boundary and the class
# shrank to a sliver around it (the breast biopsies with one label per class: ARI -0.03 in a fifth
# of the fits). Measured with 250 trees on both quality tables: 0.3, 0.5 and 0.8 won 36, 38 and 37
# of 44 rows, the differences alone 31.
UNDECIDED = 0.5
# Where at least NEAREST_LABEL_MIN_SHARE of the points are labelled and more than AUTO_TREES trees
# vote (by default, below 10^5 points), each point's own shares lean NEAREST_LABEL on the class of
# its nearest labelled point along the candidate pairs before they are smoothed: with dense labels
# that class alone is a good guess (a 1-nearest-neighbour rule beat every cut on overlapping blobs
# with 5 and 10% labelled), while with few labels it is a poor one.
# Measured on the quality benchmark's main table, pooled over ten seeds of the trees per row: with
# leans 0.17 to 0.26 every row with 5% or 10% labelled came within 0.01 of the best peer (without,
# two rows of overlapping blobs lost by 0.01 to 0.03); leaning at any share of labels lost two rows
# with 1% labelled. Both tables, five other seeds of the trees: 40 of 44 rows (37 to 40 without).
# Only measured with hundreds of trees, and it costs: the search for the nearest labels took 0.85 s
# of a 5 s fit at 10^6 points, where ten trees vote.
NEAREST_LABEL = 0.2
NEAREST_LABEL_MIN_SHARE = 0.03
TIE_BREAK = 0.01
TINY = 1e-12
# random_state=None seeds the perturbations with this, so that a fit repeats without a seed.
DEFAULT_SEED = 0


def auto_trees(n_samples, n_classes):
    """The trees of n_trees="auto" for ``n_samples`` points in ``n_classes`` classes."""
    if not (3 <= n_samples <= AUTO_MAX_POINTS and n_samples * n_classes <= AUTO_MAX_VOTES):
        return 1
    return int(min(AUTO_MAX_AUTO_TREES, max(AUTO_TREES, AUTO_TREE_BUDGET // n_samples)))


def candidate_count(trees):
    """How many nearest neighbours of each point join the candidate pairs of ``trees`` trees."""
    return MANY_TREES_NEIGHBORS if trees > AUTO_TREES else CANDIDATE_NEIGHBORS


def random_generator(random_state):
    """A NumPy Generator from None (``DEFAULT_SEED``), a seed, a Generator or a legacy RandomState."""
    if random_state is None:
        return np.random.default_rng(DEFAULT_SEED)
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


def searched_neighbours(X, k, threads=1, candidates=CANDIDATE_NEIGHBORS):
    """Each point's nearest other points, for the voting trees when the tree's route found none: a
    ``Neighbours`` of the first ``candidates`` indices and the distance to the ``k``-th, from
    a native k-d tree in up to KD_TREE_MAX_DIMENSIONS coordinates, else None (searched later)."""
    k = min(k, X.shape[0] - 1)
    if k < 1 or X.shape[1] > KD_TREE_MAX_DIMENSIONS:
        return None
    # Searched divided by a power of two: squared distances of coordinates near 1e155 and up would
    # overflow.
    scale = scale_of(X)
    found = min(max(k, candidates), X.shape[0] - 1)
    index, squared = bulk().nearest_neighbours(np.ascontiguousarray(X / scale), int(found), int(threads))
    return Neighbours(index[:, :candidates].copy(), k, np.sqrt(squared[:, k - 1]) * scale)


def candidate_pairs(X, tree_edges, neighbours=None, candidates=CANDIDATE_NEIGHBORS):
    """The tree's edges and each point's ``candidates`` nearest neighbours, once each, with
    their Euclidean lengths: the edges every perturbed tree is drawn from. The
    neighbours are the tree route's (``neighbours``: index array, nearest first, -1 where none
    was found) where it found enough of them, else searched here."""
    from scipy.spatial import cKDTree

    n = X.shape[0]
    k = min(candidates, n - 1)
    # Searched as the tree was built, divided by a power of two: squared distances of coordinates
    # near 1e155 and up would overflow, and the search would name neighbours past the last point.
    scale = scale_of(X)
    P = X / scale
    if k < 1:
        nearest = np.empty((n, 0), dtype=np.int64)
    elif neighbours is not None and neighbours.shape[1] >= k:
        nearest = neighbours[:, :k]
    else:
        nearest = cKDTree(P).query(P, k=k + 1)[1][:, 1:]
        nearest = np.where(nearest < n, nearest, -1)
    pairs, lengths = bulk().candidate_pairs(_indices(nearest), _indices(tree_edges), np.ascontiguousarray(P))
    with np.errstate(over="ignore"):  # a pair beyond the float64 range is never a tree's edge
        return pairs, lengths * scale


def _indices(array):
    """Point numbers as a C-contiguous int32 or int64 array (32 bits kept: half the copying)."""
    array = np.asarray(array)
    return np.ascontiguousarray(array, dtype=array.dtype if array.dtype in (np.int32, np.int64) else np.int64)


def perturbed_votes(n, pairs, lengths, codes, n_classes, n_trees, weigh, rng, threads=1):
    """Votes (n_points x n_classes counts, uint8 up to 254 trees, else uint16: room for one more
    vote) of ``n_trees`` perturbed trees drawn from the candidate ``pairs`` and their ``lengths``,
    in native code.

    ``weigh`` is the main tree's ``EdgeWeigher``: each tree's edges weigh as
    it would weigh them; ``codes`` are the int8 label codes. The trees' random
    numbers come from a generator of the native code seeded once from ``rng``,
    so the votes are the same on every machine and with any number of ``threads`` drawing them.
    """
    if weigh.scales is None:
        factors = None  # every factor 1
    else:  # the weigher's division, as one factor per pair
        # In place: one array of m floats where the expression would make five.
        factors = np.take(weigh.scales, pairs[:, 0])
        factors *= np.take(weigh.scales, pairs[:, 1])
        np.sqrt(factors, out=factors)
        np.divide(1.0 / weigh.unit, factors, out=factors)
    seed = int(rng.integers(2 ** 63))
    return bulk().voting_trees(np.ascontiguousarray(pairs), np.ascontiguousarray(lengths, dtype=np.float64),
                               factors, np.ascontiguousarray(codes), int(n_trees), seed, LENGTH_NOISE,
                               weigh.side_discount, int(threads), columns=int(n_classes))


def smoothed_votes(pairs, lengths, votes, codes):
    """The vote shares the voted tree is drawn from: each unlabelled point's shares averaged with
    its pairs' other ends, weighted by how much their own shares agree (SMOOTHING,
    SMOOTHING_STEPS), as uint16 counts out of SHARE_SCALE; where labels are dense and many trees
    vote, each point's own shares first lean on the class of its nearest labelled point along the
    pairs of float64 ``lengths`` (NEAREST_LABEL, NEAREST_LABEL_MIN_SHARE)."""
    codes = np.ascontiguousarray(codes, dtype=np.int8)
    nearest = None
    trees = int(votes[0].sum()) if len(votes) else 0  # every row holds one vote per tree
    if trees > AUTO_TREES and np.count_nonzero(codes >= 0) >= NEAREST_LABEL_MIN_SHARE * len(codes):
        nearest = bulk().nearest_labels(pairs, lengths, codes)
    return bulk().smoothed_votes(pairs, votes, codes, SMOOTHING, SMOOTHING_STEPS, SHARE_SCALE, nearest, NEAREST_LABEL)


def voted_tree(pairs, lengths, votes, codes):
    """The spanning tree the votes draw, and the weights to cut it by.

    Each candidate pair weighs how far apart its two ends' smoothed vote
    shares are (total variation: 0 when every tree put them and their
    neighbours in the same class, 1 when no tree did), lengths breaking ties,
    so the tree keeps together what the trees agree on and crosses between
    classes where they disagree. Its edges are cut by that difference mixed
    with how undecided their votes are (UNDECIDED), so the cuts follow the
    votes' majorities, while every class stays one piece of one tree and the
    cuts stay those of the usual rule on these weights. ``codes`` are the int8 label codes (-1:
    unlabelled): labelled points keep their own votes.

    Returns ``(edges, lengths, weights)`` of the tree.
    """
    n = len(votes)
    lengths = np.ascontiguousarray(lengths, dtype=np.float64)
    shares = smoothed_votes(pairs, lengths, votes, codes)
    # Shares are counts out of about SHARE_SCALE: a tie-break below that step seldom reorders them.
    chosen, values = bulk().voted_tree(pairs, lengths, shares, TIE_BREAK / SHARE_SCALE, UNDECIDED)
    edges = np.take(pairs, chosen, axis=0)  # rows in pair order, smaller ends ascending: the cuts' passes stay local
    # Positive weights for the cuts, and an outlying labelled point rarely cut off alone.
    weights = EdgeWeigher(np.empty((n, 0)), "length", VOTED_SIDE_DISCOUNT)(edges, values + TINY)
    return edges, lengths[chosen], weights
