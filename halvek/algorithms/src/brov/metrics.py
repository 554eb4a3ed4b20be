"""Agreement between two labellings."""

import numpy as np

__all__ = ["adjusted_rand_score"]


def _pairs(counts):
    counts = counts.astype(np.float64)
    return float(np.sum(counts * (counts - 1) / 2))


def adjusted_rand_score(labels_true, labels_pred):
    """Adjusted Rand index of two labellings of the same points: 1 for
    identical partitions (whatever the ids), about 0 for independent ones.
    Every distinct value, -1 included, counts as one group."""
    a = np.asarray(labels_true).reshape(-1)
    b = np.asarray(labels_pred).reshape(-1)
    if a.shape != b.shape:
        raise ValueError("labellings differ in length (%d and %d)" % (a.size, b.size))
    n = a.size
    if n < 2:
        return 1.0
    _, ia = np.unique(a, return_inverse=True)
    _, ib = np.unique(b, return_inverse=True)
    _, joint = np.unique(ia.astype(np.int64) * (ib.max() + 1) + ib, return_counts=True)
    index = _pairs(joint)
    sum_a = _pairs(np.bincount(ia))
    sum_b = _pairs(np.bincount(ib))
    expected = sum_a * sum_b / (n * (n - 1) / 2)
    maximum = (sum_a + sum_b) / 2
    if maximum == expected:  # both partitions trivial in the same way
        return 1.0
    return (index - expected) / (maximum - expected)
