"""Points grouped into spatial leaves, with lower bounds on the distances between leaves.

The blocked exact tree (``dense.py``) computes products leaf by leaf. Where the data is
clustered, most pairs of leaves lie farther apart than any point's nearest candidates, and
their products are never needed: a ball around each leaf bounds every distance between two
leaves from below, and a block whose bound is beyond what its rows still look for is skipped.
"""

import numpy as np

# Products here go through einsum, not a BLAS: these are many small products, for which a BLAS's
# threads spend more time waking each other than working whenever the machine is busy.

__all__ = ["Leaves"]

LEAF_POINTS = 512  # at most this many points per leaf
MAX_LEAVES = 2048  # larger leaves beyond: the bounds between leaves take count^2 memory


def _split(Q, norms):
    """A boolean mask of the rows of Q on one side: two rounds of 2-means from two far-apart
    points (the one farthest from the mean, and the one farthest from that), so that splits
    follow the gaps between clusters; the median along their line where one side would be
    smaller than a sixteenth (an outlier must not peel off alone, level after level). ``norms``
    are the rows' squared norms."""
    a = Q[np.argmax(norms - 2 * np.einsum("ij,j->i", Q, Q.mean(axis=0)))]
    b = Q[np.argmax(norms - 2 * np.einsum("ij,j->i", Q, a))]
    line = b - a
    for _ in range(2):
        # Nearer to b than to a: beyond the middle of the line from a to b.
        side = np.einsum("ij,j->i", Q, b - a) > (b @ b - a @ a) / 2
        count = int(side.sum())
        if count in (0, len(Q)):
            break
        total = np.einsum("ij->j", Q)
        b = np.einsum("i,ij->j", side.astype(Q.dtype), Q) / count
        a = (total - b * count) / (len(Q) - count)
    if min(count, len(Q) - count) >= len(Q) / 16:
        return side
    side = np.zeros(len(Q), dtype=bool)
    side[np.argsort(np.einsum("ij,j->i", Q, line), kind="stable")[len(Q) // 2:]] = True
    return side


def _split_order(P, size):
    """Positions -> rows, in leaves of at most ``size`` rows (``_split``), depth first."""
    order, starts = [], [0]
    norms = np.einsum("ij,ij->i", P, P)
    stack = [np.arange(len(P))]
    while stack:
        rows = stack.pop()
        if len(rows) <= size:
            order.append(rows)
            starts.append(starts[-1] + len(rows))
            continue
        side = _split(P[rows], norms[rows])
        stack.append(rows[side])
        stack.append(rows[~side])
    return np.concatenate(order), np.array(starts)


def _reaches(Q, starts, centre, gap):
    """reach[a, b]: how far the points of leaf a reach from its centre towards leaf b's centre,
    along the line through the two (inf where the centres coincide)."""
    count = len(starts) - 1
    reach = np.full((count, count), np.inf)
    for a in range(count):
        apart = gap[a] > 0
        toward = (centre[apart] - centre[a]) / gap[a][apart, None]
        reach[a, apart] = np.einsum("ij,kj->ik", Q[starts[a]:starts[a + 1]] - centre[a], toward).max(axis=0)
    return reach


class Leaves:
    """``order`` (positions -> rows of P), ``starts`` (leaf l holds positions starts[l]:starts[l+1]),
    ``leaf_of`` (position -> leaf), ``lower`` (squared distances no pair of points of two leaves
    comes below, 0 on the diagonal) and ``pairs``: the pairs (a <= b) of leaves by increasing
    bound."""

    def __init__(self, P):
        n, d = P.shape
        self.order, self.starts = _split_order(P, max(LEAF_POINTS, -(-n // MAX_LEAVES)))
        count = len(self.starts) - 1
        sizes = np.diff(self.starts)
        self.leaf_of = np.repeat(np.arange(count), sizes)
        Q = P[self.order]
        centre = np.add.reduceat(Q, self.starts[:-1], axis=0) / sizes[:, None]
        offset = Q - centre[self.leaf_of]
        radius = np.sqrt(np.maximum.reduceat(np.einsum("ij,ij->i", offset, offset), self.starts[:-1]))
        # Differences, not the product form: that would lose the small gaps to cancellation.
        gap = np.stack([np.linalg.norm(centre - c, axis=1) for c in centre])
        spread = radius[:, None] + radius[None, :]
        reach = _reaches(Q, self.starts, centre, gap)
        # Rounding of the centres, radii, gaps and projections (float64, coordinates of magnitude
        # `top`), with a wide margin: the bounds need only be safe, not tight.
        top = float(np.abs(P).max()) if P.size else 0.0
        margin = 1e-9 * (gap + spread) + 64 * d * np.finfo(float).eps * top
        # Two bounds: the balls around the leaves, and the gap between the leaves' projections on
        # the line through their centres (tighter in many coordinates, where balls are wide).
        bound = np.maximum(gap - np.minimum(spread, reach + reach.T) - margin, 0)
        np.fill_diagonal(bound, 0)
        self.lower = bound * bound
        a, b = np.triu_indices(count)
        by = np.argsort(self.lower[a, b], kind="stable")
        self.pairs = np.stack([a[by], b[by]], axis=1)
