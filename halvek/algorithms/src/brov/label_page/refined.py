"""The command line's answer for the page's labels, worked out in the background.

The page answers each click at once from its one loaded tree. ``brov cluster``
(``BrovClustering()`` with the command line's fixed seed) lets 10 to 250 trees vote
up to ``AUTO_MAX_POINTS`` points; that takes seconds at the top of the range,
so a :class:`Refiner` thread fits it for the latest labels only and hands the
result back, with each point's confidence (the share of trees that agree)
and the few points whose label would help most.
"""

import threading

import numpy as np

from ..estimator import BrovClustering
from ..estimator.consensus import AUTO_MAX_POINTS

#: The command line's seed for the voting trees (``brov cluster`` fits with it).
SEED = 0

#: How many points the page offers as the next to label.
SUGGESTED = 5


def votes_differ(n):
    """Whether the default fit of ``n`` points lets several trees vote (else it is the one tree)."""
    return 3 <= n <= AUTO_MAX_POINTS


def default_fit(X, y, tree_options):
    """{"labels", "cut" (point index pairs), "confidence"} of the command line's fit."""
    if not np.any(y != -1):
        return {"labels": np.full(len(X), -1, np.int64), "cut": np.zeros((0, 2), np.int64),
                "confidence": np.ones(len(X))}
    model = BrovClustering(random_state=SEED, **tree_options).fit(X, y)
    return {"labels": model.labels_.astype(np.int64), "cut": model.edges_[model.cut_edges_],
            "confidence": model.confidence_}


def suggestions(shown, confidence, given, count=SUGGESTED):
    """Up to ``count`` unlabelled points of lowest confidence, spread out: each lies at
    least a tenth of the shown extent from those picked before it."""
    doubtful = np.flatnonzero((confidence < 1.0) & (given == -1))
    if not doubtful.size:
        return np.zeros(0, np.int64)
    order = doubtful[np.argsort(confidence[doubtful], kind="stable")][: 50 * count]
    extent = float(np.max(np.ptp(shown, axis=0))) if len(shown) else 0.0
    picked = []
    for i in order:
        if all(np.hypot(*(shown[i] - shown[j])) >= 0.1 * extent for j in picked):
            picked.append(int(i))
            if len(picked) == count:
                break
    return np.array(picked, np.int64)


class Refiner:
    """A thread that fits the default for the latest ``want``-ed labels and
    calls ``publish(revision, result)``; older wishes are dropped unseen."""

    def __init__(self, X, tree_options, publish):
        self.X, self.tree_options, self.publish = X, tree_options, publish
        self._wanted = None
        self._closed = False
        self._ready = threading.Condition()
        self._thread = None

    def want(self, revision, y):
        with self._ready:
            self._wanted = (revision, y.copy())
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="brov-refiner", daemon=True)
                self._thread.start()
            self._ready.notify()

    def close(self, wait=0.0):
        """Let the thread end once its fit is done; True when it has ended within ``wait`` seconds."""
        with self._ready:
            self._closed = True
            self._ready.notify()
            thread = self._thread
        if thread is not None:
            thread.join(wait)
        return thread is None or not thread.is_alive()

    def _run(self):
        while True:
            with self._ready:
                while self._wanted is None and not self._closed:
                    self._ready.wait()
                if self._closed:
                    return
                (revision, y), self._wanted = self._wanted, None
            try:
                result = default_fit(self.X, y, self.tree_options)
            except Exception as error:  # noqa: BLE001 - the page keeps the one-tree answer and says why
                result = {"error": " ".join(str(error).split()) or type(error).__name__}
            self.publish(revision, result)
