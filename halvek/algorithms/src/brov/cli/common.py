"""What every command shares: one-line errors, progress lines, the files read
and written (through ``tables`` and ``outputs``), and the estimator as the
commands configure it."""

import argparse
import sys

import numpy as np

from ..estimator import BrovClustering, check_points
from ..estimator.weighting import DEFAULT_SIDE_DISCOUNT
from . import outputs, tables

#: From this many points on, each stage is reported on stderr (unless -q).
PROGRESS_FROM = 50000


class CliError(Exception):
    """A problem with the user's input, reported as one line."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, "%s: error: %s (see %s -h)\n" % (self.prog, message, self.prog))


class Progress:
    def __init__(self, enabled):
        self.enabled = enabled

    def __call__(self, message):
        if self.enabled:
            print("brov: %s" % message, file=sys.stderr, flush=True)


def read_points(path, columns=None):
    try:
        X = tables.read_points(path, columns)
        return check_points(X)
    except tables.TableError as error:
        raise CliError(str(error)) from None
    except (ValueError, TypeError) as error:
        raise CliError("points in %s: %s" % (path, error)) from None


def read_labels(path, n_points=None):
    try:
        return tables.read_labels(path, n_points)
    except tables.TableError as error:
        raise CliError(str(error)) from None


def write_atomically(path, write):
    """Write through a temporary file (or in place for devices and FIFOs); see outputs."""
    try:
        outputs.write_output(path, write)
    except outputs.OutputError as error:
        raise CliError(str(error)) from None


def check_output(path, what, inputs=()):
    try:
        outputs.check_output(path, what, inputs)
    except outputs.OutputError as error:
        raise CliError(str(error)) from None


def save_csv(path, columns, names, formats):
    def write(target):
        # Mixed integer and float columns stay apart: a common float64 would round large class ids.
        mixed = len({np.asarray(c).dtype for c in columns}) > 1
        table = np.column_stack([np.asarray(c, dtype=object) if mixed else c for c in columns])
        np.savetxt(target, table, delimiter=",", header=",".join(names), comments="", fmt=formats)

    write_atomically(path, write)


def fit_estimator(X, y, args, progress, trees):
    consensus = getattr(args, "consensus", None)
    estimator = BrovClustering(method=args.method, n_neighbors=args.n_neighbors, verbose=progress.enabled,
                               n_trees=trees, consensus=consensus or "tree",
                               edge_weight=getattr(args, "edge_weight", "auto"),
                               side_discount=getattr(args, "side_discount", DEFAULT_SIDE_DISCOUNT),
                               scale=getattr(args, "scale", False), random_state=0)
    try:
        estimator.fit(X, y)
    except (ValueError, TypeError) as error:
        raise CliError(str(error)) from None
    return estimator


def summary(estimator, X, y, before=(), after=()):
    labels = estimator.labels_
    found, sizes = np.unique(labels, return_counts=True)
    lines = ["points: %d (%d coordinates), labelled: %d" % (X.shape[0], X.shape[1], int(np.sum(y != -1)))]
    clusters = [(c, s) for c, s in zip(found, sizes) if c != -1]
    lines.append("clusters: %d" % len(clusters))
    for c, s in clusters:
        lines.append("  %8s: %d points" % (c, s))
    if np.any(labels == -1):
        lines.append("  unlabelled: %d points" % int(np.sum(labels == -1)))
    lines.append("tree: %s, %d edges, %d cut" % (estimator.tree_method_, len(estimator.edges_),
                                                 int(estimator.cut_edges_.sum())))
    stages = list(before) + list(estimator.timings_.items()) + list(after)
    lines.append("time: " + ", ".join("%s %.3f s" % (k, v) for k, v in stages))
    return lines
