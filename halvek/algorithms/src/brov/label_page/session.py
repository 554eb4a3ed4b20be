"""What the labelling page edits: the points' labels, the classes, their undo
history and the clusters that follow from them.

Every change is on disk before it is acknowledged: under one lock, the
change is made in memory, the points re-clustered, and the change appended
to the session's journal and synced (see ``store``). If that write fails,
the change is taken back and refused. From time to time (when the journal
has grown as large as the session file, at every start and every Save) the
whole session (labels, classes with names and colours, history, outputs)
is written to the session file through a temporary file, fsync and rename,
and a new journal begun. A start reads the session file and replays its
journal up to the first line a kill cut short. A kill at any moment
therefore leaves the session as of the last acknowledged change.

Save (:meth:`LabelSession.save`) writes two files from one version (see
``saved_files``): the labels (each point's class name, as ``brov cluster
--labels`` reads them) and the clusters (``given,cluster``, as ``brov
cluster -o`` writes them). The session file first records the save as under
way; both files are written in full beside their targets, then the labels
file is renamed over its target, then the clusters file; then the save is
recorded as complete. A failure while writing changes neither file. A kill
between the two renames leaves a pair that a reader tells apart (the
clusters file's ``given`` column is the labels file again), and the next
start finishes that save, writing both again before serving. Save never
writes over an input, and replaces an existing file only when this session
wrote it or the user confirms.

On the wire labels travel as compact arrays: point indices as base64 int32
and per-point class codes (position in the class list, -1 = none) as base64
int16, both little-endian.
"""

import copy
import os
import secrets
import threading
import time

import numpy as np

from ..estimator.weighting import standard_scaling
from ..labels import MAX_CLASSES
from ..trees.sphere import SpherePoints
from . import checks, saved_files, store
from .axes import Axes, project_2d
from .checks import BadRequest
from .history import History, Step
from .loaded_tree import LoadedTree
from .refined import Refiner, default_fit, suggestions, votes_differ

__all__ = ["BadRequest", "LabelSession", "MAX_POINTS", "project_2d"]

#: The page draws every point on a canvas; past this it is no longer usable.
MAX_POINTS = 1_000_000

#: Colours given to new classes, in turn (readable on white, distinct from the grey of unlabelled points).
PALETTE = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf",
           "#bcbd22", "#393b79", "#637939", "#843c39", "#7b4173", "#3182bd", "#e6550d", "#31a354"]

ACTIONS = ("label", "add_class", "edit_class", "delete_class", "undo", "redo")

#: A journal shorter than this is never folded into the session file (bytes).
JOURNAL_FLOOR = 1 << 20


def _points(count):
    return "1 point" if count == 1 else "%d points" % count


class LabelSession:
    """Points, their tree and the labels being edited.

    ``given`` holds one class id per point (-1 = unlabelled), ``class_names``
    names some of them ({id: name}; else "class ID"); ``classes`` is the
    ordered list of {"id", "name", "colour"} the page offers. With a
    ``path``, every change is written there (see the module documentation);
    ``restored`` is a document read back from such a file. ``check_output(path,
    what, inputs)`` refuses an output before Save writes it; ``inputs`` are
    the files Save must never write over.
    """

    def __init__(self, X, given=None, tree_options=None, outputs=(None, None), log=None, path=None,
                 restored=None, identity=None, check_output=None, inputs=(), names=None, class_names=None):
        if X.shape[0] > MAX_POINTS:
            raise ValueError("%d points: the labelling page shows at most %d" % (X.shape[0], MAX_POINTS))
        self.X = X
        self.n = X.shape[0]
        self.tree_options = dict(tree_options or {})
        fitted = X
        if self.tree_options.get("scale"):  # the coordinates the clustering sees
            mean, std = standard_scaling(X)
            fitted = (X - mean) / std
        self.shown, self.projection = project_2d(fitted if X.shape[1] > 2 else X)
        if self.tree_options.get("metric") == "haversine":
            self.shown = SpherePoints(X, self.tree_options.get("angle_unit", "degrees")).projected().astype(np.float32)
            self.projection = "longitude (x cos of the mean latitude) and latitude, equirectangular"
        self.axes = Axes(X, names, fitted)
        self.tree = LoadedTree(X, **self.tree_options)
        # Where the command line's default lets trees vote, their answer follows each change.
        self._refiner = Refiner(X, self.tree_options, self._publish) if votes_differ(self.n) else None
        self.refined = None
        self.relabelled = 0  # counts the changes that call for a new answer: of labels, or of the classes' order
        self.labels_path, self.clusters_path = outputs
        self.path, self.identity, self.inputs = path, identity, tuple(p for p in inputs if p)
        self._check_output = check_output or (lambda path, what, inputs: None)
        self._log = log or (lambda message: None)
        self._lock = threading.Lock()
        self.revision, self.saved_revision = 0, None
        self.history = History()
        self.export = {"complete": True, "known": {}}
        self._journal_size = self._snapshot_size = None
        if restored is not None:
            self._restore(restored)
        else:
            self._start(given, class_names or {})
        self._recluster()
        self._persist()  # a new session, or a restored one with its journal folded in
        if restored is not None and not self.export["complete"]:
            try:
                self._export(overwrite=True)
                self._log("finished the save that was interrupted: %s and %s" % (
                    self.labels_path, self.clusters_path))
            except Exception as error:  # the page still serves; Save reports the problem again
                self._log("cannot finish the save that was interrupted: %s" % " ".join(str(error).split()))
        self._refine()

    def _start(self, given, names):
        given = np.full(self.n, -1, dtype=np.int64) if given is None else np.asarray(given, dtype=np.int64)
        if given.shape != (self.n,):
            raise ValueError("got %d labels for %d points: there must be one label per point" % (
                given.size, self.n))
        ids = [int(c) for c in np.unique(given[given != -1])]
        if len(ids) > MAX_CLASSES:
            raise ValueError("%d distinct classes: at most %d are supported" % (len(ids), MAX_CLASSES))
        if ids and max(abs(ids[0]), abs(ids[-1])) >= checks.ID_LIMIT:
            raise ValueError("class ids on the page must lie between -2**53 and 2**53")
        try:
            self.classes = [{"id": c, "name": checks.name(names.get(c, "class %d" % c)),
                             "colour": PALETTE[i % len(PALETTE)]} for i, c in enumerate(ids)]
        except BadRequest as error:
            raise ValueError("the given labels: %s" % error) from None
        if not self.classes:  # something to label with from the start
            self.classes.append({"id": 0, "name": "class 0", "colour": PALETTE[0]})
        self.given = given

    def close(self, wait=0.0):
        """Stops the background fit; True when no fit still runs after ``wait`` seconds."""
        return self._refiner is None or self._refiner.close(wait)

    # -- the default answer -------------------------------------------------------------------

    def _refine(self):
        if self._refiner is None or (self.refined is not None and self.refined["revision"] == self.relabelled):
            return
        places = self._fit_labels()
        if not np.any(places != -1):  # nothing to vote on: answered at once
            self._settle(self.relabelled, default_fit(self.X, places, self.tree_options))
        else:
            self.refined = None
            self._refiner.want(self.relabelled, places)

    def _fit_labels(self):
        """The labels the voting trees are given: each class as its place in ``saved_files.fit_order``
        (kept as ``self._order``), so that they answer as for the labels file Save writes."""
        self._order = np.array(saved_files.fit_order(self.given, self.classes), dtype=np.int64)
        places = np.full(self.n, -1, dtype=np.int64)
        if self._order.size:
            by_id = np.argsort(self._order)
            known = self.given != -1
            places[known] = by_id[np.searchsorted(self._order[by_id], self.given[known])]
        return places

    def _publish(self, revision, result):
        with self._lock:
            if revision == self.relabelled:  # so the classes are still in self._order
                self._settle(revision, result)

    def _settle(self, revision, result):
        if "error" not in result:
            result["labels"] = np.append(self._order, -1)[result["labels"]]  # place -1 picks the -1
            result["suggested"] = suggestions(self.shown, result["confidence"], self.given)
        self.refined = dict(result, revision=revision)

    def _answer(self):
        """(labels, cut edges as point pairs, confidence or None, suggested points, what it is, pending)."""
        if self._refiner is None:
            return self.clusters, self.tree.edges[self.cut], None, [], "the command line's default (one tree)", False
        done = self.refined
        if done is None or "error" in done:
            failed = "" if done is None else " (the voting trees failed: %s)" % done["error"]
            return self.clusters, self.tree.edges[self.cut], None, [], "one tree" + failed, done is None
        return (done["labels"], done["cut"], done["confidence"], done["suggested"],
                "the command line's default (voting trees)", False)

    def _final_labels(self):
        """The clusters Save writes: the command line's default for the current labels."""
        if self._refiner is None:
            return self.clusters
        if self.refined is None or "error" in self.refined:
            self._settle(self.relabelled, default_fit(self.X, self._fit_labels(), self.tree_options))
        return self.refined["labels"]

    # -- the session file ---------------------------------------------------------------------

    def _document(self):
        labelled = np.flatnonzero(self.given != -1)
        return {"points": self.identity, "revision": self.revision, "saved_revision": self.saved_revision,
                "classes": self.classes,
                "labelled": {"indices": store.pack(labelled, "<i4"), "ids": store.pack(self.given[labelled], "<i8")},
                "history": self.history.to_json(),
                "outputs": {"labels": self.labels_path, "clusters": self.clusters_path}, "export": self.export}

    def _persist(self):
        """Write the whole session and begin a new journal."""
        if self.path is None:
            return
        self._journal_size = None  # until the new journal is there, changes write everything
        journal = secrets.token_hex(8)
        self._snapshot_size = store.dump_session(self.path, dict(self._document(), journal=journal))
        store.start_journal(self.path, journal)
        self._journal_size = 0

    def _journal(self, record):
        """Put one change on disk: a journal line, or everything when the journal is out of use."""
        if self.path is None:
            return
        if self._journal_size is None:
            return self._persist()
        line = {"move": record["move"]} if "move" in record else {"step": record["step"].to_json()}
        try:
            self._journal_size = store.append_record(self.path, line)
        except FileNotFoundError:  # the journal was taken away: begin again from the whole session
            return self._persist()
        if self._journal_size > max(JOURNAL_FLOOR, self._snapshot_size):
            try:
                self._persist()
            except OSError as error:  # the change is in the journal: only the folding waits
                self._log("cannot write %s: %s" % (self.path, " ".join(str(error).split())))
        return None

    def _restore(self, document):
        try:
            self.classes = [{"id": checks.class_id(c["id"]), "name": checks.name(c["name"]),
                             "colour": checks.colour(c["colour"])} for c in document["classes"]]
            labelled = document["labelled"]
            indices, ids = store.unpack(labelled["indices"], "<i4"), store.unpack(labelled["ids"], "<i8")
            if indices.size != ids.size or (indices.size and (indices.min() < 0 or indices.max() >= self.n)):
                raise ValueError("its labels do not fit %d points" % self.n)
            if not set(ids.tolist()) <= {c["id"] for c in self.classes}:
                raise ValueError("it labels points with classes it does not list")
            self.given = np.full(self.n, -1, dtype=np.int64)
            self.given[indices] = ids
            self.history = History.from_json(document["history"])
            self.revision = int(document["revision"])
            self.saved_revision = document["saved_revision"]
            self.export = document["export"]
            self.export["known"] = {k: list(v) for k, v in self.export["known"].items()}
            for line in store.read_journal(self.path, document["journal"]):
                record = {"move": line["move"]} if "move" in line else {"step": Step.from_json(line["step"])}
                self._perform(record, recluster=False)
        except (KeyError, TypeError, ValueError, IndexError, BadRequest) as error:
            raise store.SessionFileError("the session %s is damaged: %s" % (self.path, error)) from None

    # -- reading ------------------------------------------------------------------------------

    def points_bytes(self, x=None, y=None):
        """Shown coordinates as little-endian float32, x0 y0 x1 y1 ...: the page's first
        view, or the axes numbered ``x`` and ``y`` in ``state()["axes"]``."""
        if x is None or y is None:
            return self.shown.astype("<f4").tobytes()
        return np.column_stack([self.axes.values(x), self.axes.values(y)]).astype("<f4").tobytes()

    def row(self, i):
        """What the page shows of point ``i`` under the pointer: its coordinates, by name."""
        if not 0 <= i < self.n:
            raise BadRequest("point indices must lie in 0..%d" % (self.n - 1))
        return {"row": i, "values": [[name, float(v)] for name, v in zip(self.axes.names, self.X[i])]}

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

        undo, redo = self.history.undo, self.history.redo
        clusters, cut, confidence, suggested, answer, pending = self._answer()
        return {
            "n": self.n, "dimensions": int(self.X.shape[1]), "projection": self.projection,
            "axes": self.axes.choices(),
            "tree": self.tree.method, "version": self.revision, "saved": self.saved_revision == self.revision,
            "classes": self.classes, "given": store.pack(codes(self.given), "<i2"),
            "clusters": store.pack(codes(clusters), "<i2"), "cut": store.pack(cut, "<i4"),
            "confidence": None if confidence is None else store.pack(np.round(255 * confidence), "u1"),
            "suggested": [int(i) for i in suggested], "answer": answer, "pending": pending,
            "seconds": self.seconds,
            "undo": undo[-1].what if undo else None, "redo": redo[-1].what if redo else None,
            "outputs": {"labels": self.labels_path, "clusters": self.clusters_path, "session": self.path},
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
        """Carry out one request of the page (a dict from JSON) and return the
        new state, with ``message`` saying what changed in the user's words."""
        action = checks.action(request, ACTIONS)
        with self._lock:
            kept = (self.given, self.classes, self.clusters, self.cut, self.seconds, self.history, self.revision,
                    self.relabelled)
            self.given, self.history = self.given.copy(), self.history.copy()
            try:
                message, record = self._change(action, request)
                if record is not None:
                    self._journal(record)
            except BaseException:
                (self.given, self.classes, self.clusters, self.cut, self.seconds, self.history,
                 self.revision, self.relabelled) = kept
                raise
            self._refine()
            return dict(self._state_locked(), message=message)

    def _change(self, action, request):
        """(what changed in the user's words, the record of the change or None when nothing changed)."""
        if action in ("undo", "redo"):
            if not (self.history.redo if action == "redo" else self.history.undo):
                return "nothing to %s" % action, None
            record = {"move": action}
        else:
            step = {"label": self._label, "add_class": self._add_class, "edit_class": self._edit_class,
                    "delete_class": self._delete_class}[action](request)
            if isinstance(step, str):
                return step, None  # nothing to change, and why
            record = {"step": step}
        return self._perform(record), record

    def _perform(self, record, recluster=True):
        """Carry out a new step ({"step": Step}) or a move through the history ({"move": "undo"
        or "redo"}), as a request does and a start replaying the journal does."""
        if "move" in record:
            forward = record["move"] == "redo"
            source, target = (self.history.redo, self.history.undo) if forward else \
                (self.history.undo, self.history.redo)
            step = source.pop()
            target.append(step)
            message = ("redone: " if forward else "undone: ") + step.what
        else:
            step, forward = record["step"], True
            self.history.record(step)
            message = step.what
        order = None if step.indices.size or self._refiner is None else \
            saved_files.fit_order(self.given, self.classes)
        self.classes = step.apply(self.given, self.classes, forward)
        if step.indices.size:
            if recluster:
                self._recluster()
            self.relabelled += 1
        elif order is not None and order != saved_files.fit_order(self.given, self.classes):
            self.relabelled += 1  # the voting trees take the classes in another order
        self.revision += 1
        return message

    def _label(self, request):
        target = request.get("class")
        name = "unlabelled"
        if target is not None:
            name = "labelled %s" % self._find_class(checks.class_id(target))["name"]
        indices = checks.point_indices(request.get("indices"), self.n)
        overwrite = checks.flag(request, "overwrite")
        value = -1 if target is None else target
        current = self.given[indices]
        changing = current != value
        kept = 0
        if target is not None and not overwrite:
            kept = int(np.sum(changing & (current != -1)))
            changing &= current == -1
        changed = int(np.sum(changing))
        note = "; %s of other classes kept" % _points(kept) if kept else ""
        if not changed:
            return "no point changed%s" % note
        return Step("%s %s%s" % (_points(changed), name, note), None, indices[changing], current[changing],
                    np.full(changed, value))

    def _class_step(self, what, after, members=None, value=-1):
        members = np.zeros(0, np.int64) if members is None else members
        return Step(what, [copy.deepcopy(self.classes), after], members, self.given[members],
                    np.full(members.size, value))

    def _add_class(self, request):
        if len(self.classes) >= MAX_CLASSES:
            raise BadRequest("at most %d classes are supported" % MAX_CLASSES, status=409)
        taken = {c["id"] for c in self.classes}
        if "id" in request:
            class_id = checks.class_id(request["id"])
            if class_id in taken:
                raise BadRequest("class id %d is taken" % class_id, status=409)
        else:
            class_id = min(set(range(len(taken) + 1)) - taken)
        name = checks.name(request.get("name", "class %d" % class_id))
        colour = checks.colour(request.get("colour", PALETTE[len(self.classes) % len(PALETTE)]))
        entry = {"id": class_id, "name": name, "colour": colour}
        return self._class_step("added class %s" % name, copy.deepcopy(self.classes) + [entry])

    def _edit_class(self, request):
        entry = self._find_class(checks.class_id(request.get("id")))
        name = checks.name(request["name"]) if "name" in request else entry["name"]
        colour = checks.colour(request["colour"]) if "colour" in request else entry["colour"]
        if (name, colour) == (entry["name"], entry["colour"]):
            return "class %s unchanged" % name
        after = copy.deepcopy(self.classes)
        after[self.classes.index(entry)].update(name=name, colour=colour)
        what = "renamed %s to %s" % (entry["name"], name) if name != entry["name"] else \
            "new colour for %s" % name
        return self._class_step(what, after)

    def _delete_class(self, request):
        entry = self._find_class(checks.class_id(request.get("id")))
        if len(self.classes) == 1:
            raise BadRequest("the last class cannot be deleted: add another first", status=409)
        members = np.flatnonzero(self.given == entry["id"])
        after = [copy.deepcopy(c) for c in self.classes if c is not entry]
        what = "deleted class %s (%s unlabelled)" % (entry["name"], _points(members.size))
        return self._class_step(what, after, members)

    # -- saving -------------------------------------------------------------------------------

    def save(self, overwrite=False):
        """Write the labels and the clusters of the current version; returns {"written": the paths,
        "note": why the labels file holds class ids rather than names, or None}."""
        with self._lock:
            why = self._export(overwrite)
        note = None if why is None else "the labels file holds class ids, not names: %s" % why
        self._log("saved %s and %s%s" % (self.labels_path, self.clusters_path, "" if note is None else "; " + note))
        return {"written": [os.path.abspath(self.labels_path), os.path.abspath(self.clusters_path)], "note": note}

    def _export(self, overwrite):
        targets = ((self.labels_path, "labels"), (self.clusters_path, "output"))
        for path, what in targets:
            self._check_output(path, what, self.inputs)
        known = self.export["known"]
        if not overwrite:
            for path, _ in targets:
                digest = store.file_digest(path)
                if digest is not None and digest not in known.get(os.path.abspath(path), []):
                    raise BadRequest("%s exists and was not written by this session" % path,
                                     status=409, confirm="replace %s?" % path)
        *contents, note = saved_files.files(self.given, self._final_labels(), self.classes)
        for (path, _), content in zip(targets, contents):
            digests = known.setdefault(os.path.abspath(path), [])
            digests[:] = (digests + [store.digest(content)])[-2:]
        self.export["complete"] = False
        self._persist()
        store.write_wholes([(path, content) for (path, _), content in zip(targets, contents)])
        self.export["complete"] = True
        self.saved_revision = self.revision
        self._persist()
        return note
