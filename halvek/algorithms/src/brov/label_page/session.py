"""What the labelling page edits: the points' labels, the classes, and the
clusters that follow from them. Thread-safe; every change re-clusters.

On the wire labels travel as compact arrays: point indices as base64 int32
and per-point class codes (position in the class list, -1 = none) as base64
int16, both little-endian.
"""

import base64
import os
import threading
import time

import numpy as np

from ..labels import MAX_CLASSES
from .loaded_tree import LoadedTree

#: The page draws every point on a canvas; past this it is no longer usable.
MAX_POINTS = 1_000_000

#: Colours given to new classes, in turn (readable on white, distinct from the grey of unlabelled points).
PALETTE = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf",
           "#bcbd22", "#393b79", "#637939", "#843c39", "#7b4173", "#3182bd", "#e6550d", "#31a354"]


class BadRequest(Exception):
    """A request the session refuses; it changes nothing. ``status`` is the HTTP code."""

    def __init__(self, message, status=400):
        super().__init__(message)
        self.status = status


def project_2d(X):
    """(coordinates shown on the page as float32 (n, 2), name of the projection)."""
    if X.shape[1] == 1:
        return np.column_stack([X[:, 0], np.zeros(len(X))]).astype(np.float32), "the single coordinate"
    if X.shape[1] == 2:
        return X.astype(np.float32), "the two coordinates as given"
    centred = X - X.mean(axis=0)
    # Principal axes from the covariance matrix: cheaper than an SVD of X when n >> d.
    values, vectors = np.linalg.eigh(centred.T @ centred)
    order = np.argsort(values)[::-1]
    shown = centred @ vectors[:, order[:2]]
    total = values.sum()
    share = 100.0 * values[order[:2]].sum() / total if total > 0 else 100.0
    return shown.astype(np.float32), "PCA of the %d coordinates (first two components, %.0f%% of the variance)" % (
        X.shape[1], share)


def _b64(array, dtype):
    return base64.b64encode(np.ascontiguousarray(array, dtype=dtype).tobytes()).decode("ascii")


def _colour(value):
    if not (isinstance(value, str) and len(value) == 7 and value[0] == "#"):
        raise BadRequest("colour must look like #rrggbb")
    try:
        int(value[1:], 16)
    except ValueError:
        raise BadRequest("colour must look like #rrggbb") from None
    return value.lower()


def _name(value):
    if not isinstance(value, str) or not value.strip() or len(value) > 80:
        raise BadRequest("a class name must be a non-empty string of at most 80 characters")
    return value.strip()


def _class_id(value):
    if isinstance(value, bool) or not isinstance(value, int) or value == -1 or abs(value) >= 2 ** 62:
        raise BadRequest("a class id must be an integer other than -1")
    return value


class LabelSession:
    """Points, their tree and the labels being edited.

    ``given`` holds one class id per point (-1 = unlabelled); ``classes`` is
    the ordered list of {"id", "name", "colour"} the page offers.
    """

    def __init__(self, X, given=None, tree_options=None, outputs=(None, None), log=None):
        if X.shape[0] > MAX_POINTS:
            raise ValueError("%d points: the labelling page shows at most %d" % (X.shape[0], MAX_POINTS))
        self.X = X
        self.n = X.shape[0]
        self.shown, self.projection = project_2d(X)
        self.tree = LoadedTree(X, **(tree_options or {}))
        self.labels_path, self.clusters_path = outputs
        self._log = log or (lambda message: None)
        self._lock = threading.Lock()
        self.version = 0
        self.saved_version = None
        given = np.full(self.n, -1, dtype=np.int64) if given is None else np.asarray(given, dtype=np.int64)
        if given.shape != (self.n,):
            raise ValueError("got %d labels for %d points: there must be one label per point" % (
                given.size, self.n))
        ids = [int(c) for c in np.unique(given[given != -1])]
        if len(ids) > MAX_CLASSES:
            raise ValueError("%d distinct classes: at most %d are supported" % (len(ids), MAX_CLASSES))
        self.classes = [{"id": c, "name": "class %d" % c, "colour": PALETTE[i % len(PALETTE)]}
                        for i, c in enumerate(ids)]
        if not self.classes:  # something to label with from the start
            self.classes.append({"id": 0, "name": "class 0", "colour": PALETTE[0]})
        self.given = given
        self._recluster()

    # -- reading ------------------------------------------------------------------------------

    def points_bytes(self):
        """Shown coordinates as little-endian float32, x0 y0 x1 y1 ..."""
        return self.shown.astype("<f4").tobytes()

    def edges_bytes(self):
        """Tree edges as little-endian int32 pairs, in the order of the cut mask."""
        return self.tree.edges.astype("<i4").tobytes()

    def state(self):
        with self._lock:
            return self._state_locked()

    def _state_locked(self):
        ids = np.array([c["id"] for c in self.classes], dtype=np.int64)
        order = np.argsort(ids, kind="stable")

        def codes(values):
            """Position of each value's class in the class list, -1 for none."""
            out = np.full(self.n, -1, dtype=np.int16)
            if len(ids):
                at = np.minimum(np.searchsorted(ids[order], values), len(ids) - 1)
                known = ids[order][at] == values
                out[known] = order[at[known]]
            return out

        return {
            "n": self.n, "dimensions": int(self.X.shape[1]), "projection": self.projection,
            "tree": self.tree.method, "version": self.version, "saved": self.saved_version == self.version,
            "classes": self.classes, "given": _b64(codes(self.given), "<i2"),
            "clusters": _b64(codes(self.clusters), "<i2"),
            "cut": _b64(np.flatnonzero(self.cut), "<i4"), "seconds": self.seconds,
            "outputs": {"labels": self.labels_path, "clusters": self.clusters_path},
        }

    # -- changing -----------------------------------------------------------------------------

    def _recluster(self):
        start = time.perf_counter()
        self.clusters, self.cut = self.tree.cluster(self.given)
        self.seconds = time.perf_counter() - start

    def _find_class(self, class_id):
        for entry in self.classes:
            if entry["id"] == class_id:
                return entry
        raise BadRequest("no class with id %r" % (class_id,))

    def apply(self, request):
        """Carry out one request of the page (a dict from JSON) and return the new state."""
        if not isinstance(request, dict):
            raise BadRequest("the request must be a JSON object")
        action = request.get("action")
        handler = {"label": self._label, "add_class": self._add_class, "edit_class": self._edit_class}.get(action)
        if handler is None:
            raise BadRequest("unknown action %r; expected label, add_class or edit_class" % (action,))
        with self._lock:
            handler(request)
            self.version += 1
            return self._state_locked()

    def _label(self, request):
        target = request.get("class")
        if target is not None:
            self._find_class(_class_id(target))
        encoded = request.get("indices")
        if not isinstance(encoded, str):
            raise BadRequest("indices must be a base64 string of little-endian int32")
        try:
            raw = base64.b64decode(encoded, validate=True)
        except ValueError:
            raise BadRequest("indices are not valid base64") from None
        if len(raw) % 4:
            raise BadRequest("indices must be a whole number of int32 values")
        indices = np.frombuffer(raw, dtype="<i4")
        if indices.size and (indices.min() < 0 or indices.max() >= self.n):
            raise BadRequest("point indices must lie in 0..%d" % (self.n - 1))
        previous = self.given[indices].copy()
        self.given[indices] = -1 if target is None else target
        try:
            self._recluster()
        except Exception:
            self.given[indices] = previous
            raise

    def _add_class(self, request):
        if len(self.classes) >= MAX_CLASSES:
            raise BadRequest("at most %d classes are supported" % MAX_CLASSES, status=409)
        if "id" in request:
            class_id = _class_id(request["id"])
            if any(c["id"] == class_id for c in self.classes):
                raise BadRequest("class id %d is taken" % class_id, status=409)
        else:
            class_id = max([c["id"] for c in self.classes] + [-1]) + 1
        name = _name(request.get("name", "class %d" % class_id))
        colour = _colour(request.get("colour", PALETTE[len(self.classes) % len(PALETTE)]))
        self.classes.append({"id": class_id, "name": name, "colour": colour})

    def _edit_class(self, request):
        entry = self._find_class(_class_id(request.get("id")))
        name = _name(request["name"]) if "name" in request else entry["name"]
        colour = _colour(request["colour"]) if "colour" in request else entry["colour"]
        entry.update(name=name, colour=colour)

    # -- saving -------------------------------------------------------------------------------

    def save(self, write_labels, write_clusters):
        """Write the labels and the clusters through the given writers (each
        takes a path and an int64 array); returns the paths written."""
        with self._lock:
            given, clusters = self.given.copy(), self.clusters.copy()
            version = self.version
        write_labels(self.labels_path, given)
        write_clusters(self.clusters_path, given, clusters)
        with self._lock:
            self.saved_version = version
        self._log("saved %s and %s" % (self.labels_path, self.clusters_path))
        return [os.path.abspath(self.labels_path), os.path.abspath(self.clusters_path)]
