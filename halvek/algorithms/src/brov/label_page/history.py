"""Steps of the labelling page's undo history.

A step holds both sides of one change: the class list before and after (or
None when it kept the classes) and, for the points it relabelled, their
class ids before and after. Undo applies the before side, redo the after
side, so every change (labels, new, renamed, recoloured or deleted classes)
is undone the same way.
"""

import copy

import numpy as np

from .store import pack, unpack

#: How much history is kept: steps, and point entries over all steps (the oldest go first).
MAX_STEPS = 2000
MAX_ENTRIES = 1_000_000


class Step:
    __slots__ = ("what", "classes", "indices", "before", "after", "_json")

    def __init__(self, what, classes=None, indices=None, before=None, after=None):
        self.what = what
        self.classes = classes
        self.indices = np.zeros(0, np.int64) if indices is None else np.asarray(indices, np.int64)
        self.before = np.zeros(0, np.int64) if before is None else np.asarray(before, np.int64)
        self.after = np.zeros(0, np.int64) if after is None else np.asarray(after, np.int64)
        self._json = None  # a step never changes: encoded once, written with every change after it

    def empty(self):
        return self.classes is None and not self.indices.size

    def apply(self, given, classes, forward):
        """The class list after applying this step in one direction; ``given`` changes in place."""
        given[self.indices] = self.after if forward else self.before
        if self.classes is None:
            return classes
        return copy.deepcopy(self.classes[1 if forward else 0])

    def to_json(self):
        if self._json is None:
            self._json = {"what": self.what, "classes": self.classes, "indices": pack(self.indices, "<i4"),
                          "before": pack(self.before, "<i8"), "after": pack(self.after, "<i8")}
        return self._json

    @classmethod
    def from_json(cls, value):
        step = cls(str(value["what"]), value["classes"], unpack(value["indices"], "<i4"),
                   unpack(value["before"], "<i8"), unpack(value["after"], "<i8"))
        if not (step.indices.size == step.before.size == step.after.size):
            raise ValueError("a step of the history has arrays of different lengths")
        return step


class History:
    """Undo and redo stacks of :class:`Step`."""

    def __init__(self, undo=(), redo=()):
        self.undo, self.redo = list(undo), list(redo)

    def record(self, step):
        self.undo.append(step)
        self.redo.clear()
        entries = sum(s.indices.size for s in self.undo)
        while len(self.undo) > MAX_STEPS or (entries > MAX_ENTRIES and len(self.undo) > 1):
            entries -= self.undo.pop(0).indices.size

    def copy(self):
        return History(self.undo, self.redo)

    def to_json(self):
        return {"undo": [s.to_json() for s in self.undo], "redo": [s.to_json() for s in self.redo]}

    @classmethod
    def from_json(cls, value):
        return cls([Step.from_json(s) for s in value["undo"]], [Step.from_json(s) for s in value["redo"]])
