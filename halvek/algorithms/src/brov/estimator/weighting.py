"""How the estimator weighs the edges of a spanning tree before the cuts.

The cuts only compare weights, so a weighting decides which edge of a path
between two differently labelled points goes first; whatever the weights,
every such path still loses an edge, the labelled points keep their labels
and differently labelled points never share a piece.

* ``"length"``: the Euclidean length of the edge.
* ``"local"``: the length divided by the geometric mean of its two ends'
  local scales (distance to the ``n_neighbors``-th nearest neighbour), so a
  gap counts relative to the density around it.
* ``"auto"`` is resolved by the estimator: ``"local"`` where several trees
  vote on the labels, ``"length"`` for a single tree.

``side_discount`` then lowers the weight of edges that would only cut off a
few points: an outlying labelled point is often joined to its class by the
longest edge of the path, and cutting there leaves the class to a neighbour.
"""

import numpy as np

from ..native import bulk, tree
from ..trees.duplicates import collapse_duplicates
from ..trees.euclidean import KD_TREE_MAX_DIMENSIONS, scale_of

__all__ = ["AUTO_SCALE_SPREAD", "EDGE_WEIGHTS", "WARN_SPREAD", "EdgeWeigher", "SpreadWarning", "check_weighting",
           "scaled", "scaling_for", "smaller_side_sizes", "spread_ratio", "standard_scaling", "tree_weights"]

EDGE_WEIGHTS = ("auto", "length", "local")
# Measured on the quality benchmark (bench/bench_quality.py): 2 keeps outliers from taking a cut
# without moving cuts between large pieces; 5 and more started to lose rows with many labels.
DEFAULT_SIDE_DISCOUNT = 2.0


def check_weighting(edge_weight, side_discount):
    if not isinstance(edge_weight, str) or edge_weight not in EDGE_WEIGHTS:
        raise ValueError("edge_weight must be 'auto', 'length' or 'local', got %r" % (edge_weight,))
    if (isinstance(side_discount, bool) or not isinstance(side_discount, (int, float, np.integer, np.floating))
            or not np.isfinite(side_discount) or side_discount < 0):
        raise ValueError("side_discount must be a finite number >= 0, got %r" % (side_discount,))


# scale="auto" standardizes when the widest coordinate spread (standard deviation) is more than this
# many times the narrowest non-zero one. Measured on the quality benchmark
# (bench/bench_quality.py --scale-rule): the tables in mixed units (wine, breast_cancer, penguins)
# lie above 400 and gain up to 0.6 ARI; blobs along a strip 46 times longer than wide lost
# up to 0.1 when scaled (10 and 30 scaled them); digits (one unit, near-constant pixels, 277)
# lose 0.03 to 0.06 when scaled.
AUTO_SCALE_SPREAD = 100.0
# Unscaled coordinates whose spreads differ more than this draw a SpreadWarning.
WARN_SPREAD = 100.0


class SpreadWarning(UserWarning):
    """The coordinates' spreads differ by orders of magnitude and were not standardized."""

    def __init__(self, ratio, remedy="scale=True or scale='auto' standardizes them"):
        super().__init__("the coordinates' spreads differ %.0f-fold and were not standardized: distances follow "
                         "the widest coordinates; %s" % (ratio, remedy))
        self.ratio = ratio


def spread_ratio(X):
    """Largest over smallest non-zero standard deviation of the coordinates (1 when fewer than two
    coordinates vary)."""
    # Divided by a power of two first, as in standard_scaling: far coordinates' squares overflow.
    std = (X / scale_of(X)).std(axis=0) if X.shape[0] else np.zeros(X.shape[1])
    varying = std[std > 0]
    return float(varying.max() / varying.min()) if len(varying) > 1 else 1.0


def scaling_for(X, scale):
    """(standard_scaling(X) or None, the spread ratio to warn about or None) for ``scale`` True,
    False or "auto": unscaled coordinates whose spreads lie more than WARN_SPREAD apart mislead."""
    if isinstance(scale, str):
        if scale != "auto":
            raise ValueError("scale must be True, False or 'auto', got %r" % (scale,))
    elif scale:
        return standard_scaling(X), None
    ratio = spread_ratio(X)
    if scale == "auto" and ratio > AUTO_SCALE_SPREAD:
        return standard_scaling(X), None
    return None, (ratio if ratio > WARN_SPREAD else None)


def scaled(X, scaling):
    """``X`` standardized by ``scaling`` (mean, std), or as it is when that is None."""
    if scaling is None:
        return X
    mean, std = scaling
    return (X - mean) / std


def standard_scaling(X):
    """(mean, std) per coordinate; std is 1 where a coordinate is constant."""
    unit = scale_of(X)  # a power of two: the squares of far coordinates would overflow
    P = X / unit
    mean = P.mean(axis=0) * unit
    with np.errstate(over="ignore"):
        std = P.std(axis=0) * unit
    if not np.isfinite(std).all():
        raise ValueError("X spans coordinates beyond the float64 range (about 1.8e308); scale the points down")
    return mean, np.where(std > 0, std, 1.0)


def _local_scales(X, k, neighbours=None, tree_lengths=None):
    """Each point's distance to its k-th nearest distinct other point (copies of a point count
    once), in units of ``scale_of(X)`` (a power of two: far coordinates would overflow the squared
    distances of the search): from ``neighbours`` (the ``Neighbours`` the tree's route found) where
    they name that k and no two points are equal, else from a search. ``tree_lengths``, the lengths
    of X's spanning tree, tell without a search that no two points are equal (no length is 0)."""
    k = min(k, X.shape[0] - 1)
    if k < 1:
        return np.ones(X.shape[0])
    unit = scale_of(X)
    copies = ()
    if tree_lengths is None or not np.all(tree_lengths > 0):
        keep, copies = collapse_duplicates(X)
    if len(copies):
        # Heaps of identical points (counts, grades, rounded values) would otherwise get a scale of
        # a few copies' distance, 0, and any step out of the heap would weigh as a wide gap.
        position = np.empty(X.shape[0], dtype=np.int64)
        position[keep] = np.arange(len(keep))
        position[copies[:, 1]] = position[copies[:, 0]]
        scales = _distinct_scales(X[keep] / unit, k)[position]
    elif neighbours is not None and neighbours.k == k and np.all(np.isfinite(neighbours.kth)):
        scales = neighbours.kth / unit
    else:
        scales = _distinct_scales(X / unit, k)
    positive = scales[scales > 0]
    # Distances that underflow to 0 leave no scale of their own: give them the smallest one seen.
    floor = positive.min() if len(positive) else 1.0
    return np.maximum(scales, floor)


def _distinct_scales(P, k):
    """Each row's distance to its k-th nearest other row (at most the rows there are), rows all
    distinct: a native k-d tree in up to KD_TREE_MAX_DIMENSIONS coordinates, SciPy's above."""
    k = min(k, P.shape[0] - 1)
    if k < 1:
        return np.ones(P.shape[0])
    if P.shape[1] <= KD_TREE_MAX_DIMENSIONS:
        _, squared = bulk().nearest_neighbours(np.ascontiguousarray(P), int(k), 1)
        return np.sqrt(squared[:, k - 1])
    from scipy.spatial import cKDTree

    return cKDTree(P).query(P, k=k + 1)[0][:, -1]


def smaller_side_sizes(edges, n):
    """For each edge of a spanning forest of ``n`` nodes, the number of nodes on
    the smaller of the two sides that removing it leaves within its tree."""
    edges = np.asarray(edges)
    edges = np.ascontiguousarray(edges.reshape(-1, 2) if edges.dtype == np.int32 else
                                 np.asarray(edges, dtype=np.int64).reshape(-1, 2))  # 32-bit ids as they are
    return tree().smaller_side_sizes(edges, int(n))


class EdgeWeigher:
    """Turns the lengths of any spanning tree of ``X`` into the weights the
    cuts compare; the local scales of the points are found once, for all the
    trees of one fit (from ``neighbours`` where the tree's route found them). ``to_length``, when
    given, turns Euclidean distances in ``X`` into the units of the tree's lengths (the great-circle
    arcs of chords between unit vectors), so that the local scales are measured as the lengths are;
    ``tree_lengths``, those of X's spanning tree, spare the search for identical points when none
    is 0."""

    def __init__(self, X, edge_weight="length", side_discount=DEFAULT_SIDE_DISCOUNT, n_neighbors=10,
                 neighbours=None, to_length=None, tree_lengths=None):
        self.n = X.shape[0]
        self.side_discount = float(side_discount)
        if edge_weight not in ("length", "local"):
            raise ValueError("the edge weighting must be resolved to 'length' or 'local', got %r" % (edge_weight,))
        self.scales = _local_scales(X, n_neighbors, neighbours, tree_lengths) if edge_weight == "local" else None
        self.unit = None if self.scales is None else scale_of(X)  # the scales' unit
        if self.scales is not None and to_length is not None:
            self.scales = to_length(self.scales * self.unit) / self.unit

    def __call__(self, edges, lengths):
        weights = np.asarray(lengths, dtype=np.float64)
        if self.scales is not None:  # lengths in the scales' unit, whose product cannot overflow
            weights = weights / self.unit / np.sqrt(self.scales[edges[:, 0]] * self.scales[edges[:, 1]])
        if self.side_discount > 0:
            sides = smaller_side_sizes(edges, self.n)
            weights = weights * -np.expm1(-sides / self.side_discount)
        return weights


def tree_weights(X, edges, lengths, edge_weight="length", side_discount=DEFAULT_SIDE_DISCOUNT, n_neighbors=10):
    """The weights the cuts compare, one per tree edge (non-negative)."""
    return EdgeWeigher(X, edge_weight, side_discount, n_neighbors)(edges, lengths)
