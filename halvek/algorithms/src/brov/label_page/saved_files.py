"""The two files Save writes, as ``brov cluster`` reads and writes them.

The labels file holds one label per point under the header ``label``: the
name the page shows for the point's class, -1 for an unlabelled point, so
that ``brov cluster --labels`` names its clusters as the page does. Where a
name would not read back as that name (a number reads as a class id, a
control character does not survive the table, two classes with one name
would be one class), the class ids are written instead, and Save says why.

The clusters file is ``given,cluster``: byte for byte what ``brov cluster
--short -o`` writes for the labels file (names, or ids; an unlabelled point
named nothing). Its ``given`` column is the labels file again, so the pair is
from one Save exactly when the two agree: the clusters file is replaced last
and alone is always one whole version.
"""

import csv
import io

import numpy as np

__all__ = ["files", "fit_order", "unreadable_names"]


def _is_number(text):
    try:
        float(text)  # the rule of ``brov cluster``: a label that parses as a number is a class id
    except ValueError:
        return False
    return True


def unreadable_names(classes):
    """Why these classes' names cannot stand for them in a labels file, or None."""
    seen = set()
    for entry in classes:
        name = entry["name"]
        if _is_number(name):
            return "class %s is named like a number" % name
        if not name.isprintable():
            return "the name of class %d holds a control character" % entry["id"]
        if name in seen:
            return "two classes are named %s" % name
        seen.add(name)
    return None


def _labelled_classes(given, classes):
    used = set(np.unique(given[given != -1]).tolist())
    return [c for c in classes if c["id"] in used]


def fit_order(given, classes):
    """The ids of the labelled classes in the order ``brov cluster`` sorts the labels file's values:
    by name where Save writes names, else by id (voting trees may break a tie by that order)."""
    named = _labelled_classes(given, classes)
    key = "name" if unreadable_names(named) is None else "id"
    return [c["id"] for c in sorted(named, key=lambda c: c[key])]


def _table(names, columns):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(names)
    writer.writerows(zip(*columns))
    return out.getvalue().encode("utf-8")


def files(given, clusters, classes):
    """(labels file, clusters file, why the ids stand for the names or None): the bytes Save writes
    for ``given`` and ``clusters`` (class ids, -1 = none) of the ``classes`` ({"id", "name"})."""
    named = _labelled_classes(given, classes)
    why = unreadable_names(named)
    if why is not None or not named:
        texts = given.astype(str)
        return _table(["label"], [texts]), _table(["given", "cluster"], [texts, clusters.astype(str)]), why
    ids = np.array([c["id"] for c in named], dtype=np.int64)
    order = np.argsort(ids)
    names = np.array([c["name"] for c in named], dtype=object)[order]

    def texts(values, none):
        out = np.full(len(values), none, dtype=object)
        known = values != -1
        out[known] = names[np.searchsorted(ids[order], values[known])]
        return out

    return (_table(["label"], [texts(given, "-1")]),
            _table(["given", "cluster"], [texts(given, ""), texts(clusters, "")]), None)
