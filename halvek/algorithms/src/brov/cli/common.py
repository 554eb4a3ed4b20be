"""What every command shares: one-line errors, progress lines, the files read
and written (through ``tables`` and ``outputs``), and the estimator as the
commands configure it."""

import argparse
import sys
import time
import warnings

import numpy as np

from ..estimator import BrovClustering, check_points
from ..estimator.weighting import AUTO_SCALE_SPREAD, DEFAULT_SIDE_DISCOUNT, SpreadWarning
from ..labels import is_unlabelled
from ..progress import StageProgress
from ..trees.sphere import ANGLE_UNITS, METRICS, check_metric
from . import outputs, tables, writing

#: From this many points on, each stage is reported on stderr (unless -q).
PROGRESS_FROM = 50000
#: Reading and writing show their progress once they take this long (seconds), unless -q.
SLOW_STAGE = 1.0


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


class SlowStage:
    """Reading or writing as a stage of ``StageProgress``: silent for its
    first second, then a bar on a terminal or lines otherwise, and a closing
    line if it took longer; nothing at all when ``quiet``."""

    def __init__(self, name, quiet):
        self.name, self.start = name, time.perf_counter()
        self.stages = None if quiet else StageProgress()
        self.update = self.stages.track(name, after=SLOW_STAGE) if self.stages is not None else None

    def done(self, detail=""):
        seconds = time.perf_counter() - self.start
        if self.stages is not None and seconds >= SLOW_STAGE:
            self.stages.done("brov: %-10s %8.3f s%s" % (self.name, seconds, detail))
        return seconds


def read_table_points(path, columns=None, label_column=None, sep=None, progress=None):
    """(points, labels of ``label_column`` or None, the table) from ``path``."""
    try:
        X, y, table = tables.read_points(path, columns, label_column, sep, progress)
        return check_points(X), y, table
    except tables.TableError as error:
        raise CliError(str(error)) from None
    except (ValueError, TypeError) as error:
        raise CliError("points in %s: %s" % (path, error)) from None


def read_points(path, columns=None):
    return read_table_points(path, columns)[0]


def read_labels(path, n_points=None, sep=None):
    try:
        return tables.read_labels(path, n_points, sep)
    except tables.TableError as error:
        raise CliError(str(error)) from None


def output_format(path):
    """How ``path`` is written (see ``writing.check_format``), refused before any work if impossible."""
    try:
        return writing.check_format(path)
    except ImportError as error:
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


def add_scale_options(parser):
    """--scale and --no-scale; without either, the estimator's default rule."""
    default = BrovClustering().scale
    parser.add_argument("--scale", action="store_const", const=True, default=default,
                        help="standardize every coordinate first, for coordinates in unrelated units (default: "
                             "%s)" % ("when their spreads differ more than %g-fold" % AUTO_SCALE_SPREAD
                                      if default == "auto" else "off"))
    parser.add_argument("--no-scale", dest="scale", action="store_const", const=False,
                        help="use the coordinates as they are")


def add_metric_options(parser):
    """--metric and --angle-unit, as the estimator takes them."""
    parser.add_argument("--metric", choices=METRICS, default="euclidean",
                        help="'euclidean' (default), or 'haversine': two columns, latitude then longitude "
                             "(--columns lat,lon picks them in that order), clustered by great-circle distance")
    parser.add_argument("--angle-unit", choices=ANGLE_UNITS, default="degrees",
                        help="unit of the latitudes and longitudes with --metric haversine (default degrees)")


def check_metric_options(args):
    """--metric against --scale, refused before any file is read."""
    try:
        check_metric(args.metric, args.angle_unit, args.scale)
    except ValueError as error:
        raise CliError(str(error).replace("scale=True", "--scale").replace("metric='haversine'", "--metric haversine")) \
            from None


def warn_spread(ratio):
    """The command line's line for coordinates whose spreads differ too much (see SpreadWarning)."""
    if ratio is not None:
        print("brov: warning: %s" % SpreadWarning(ratio, "--scale standardizes them"), file=sys.stderr, flush=True)


def fit_estimator(X, y, args, progress, trees):
    consensus = getattr(args, "consensus", None)
    estimator = BrovClustering(method=args.method, n_neighbors=args.n_neighbors, verbose=progress.enabled,
                               n_trees=trees, consensus=consensus or "tree",
                               edge_weight=getattr(args, "edge_weight", "auto"),
                               side_discount=getattr(args, "side_discount", DEFAULT_SIDE_DISCOUNT),
                               scale=getattr(args, "scale", "auto"), random_state=0, n_jobs=-1,
                               metric=getattr(args, "metric", "euclidean"),
                               angle_unit=getattr(args, "angle_unit", "degrees"))
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", SpreadWarning)
            estimator.fit(X, y)
    except (ValueError, TypeError) as error:
        raise CliError(str(error)) from None
    for warning in caught:
        if isinstance(warning.message, SpreadWarning):
            warn_spread(warning.message.ratio)
        else:
            warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
    return estimator


def summary(estimator, X, y, before=(), after=()):
    labels = estimator.labels_
    unlabelled = is_unlabelled(labels)
    found, sizes = np.unique(labels[~unlabelled], return_counts=True)
    lines = ["points: %d (%d coordinates), labelled: %d" % (X.shape[0], X.shape[1], int(np.sum(~is_unlabelled(y))))]
    clusters = list(zip(found, sizes))
    lines.append("clusters: %d" % len(clusters))
    for c, s in clusters:
        lines.append("  %8s: %d points" % (c, s))
    if np.any(unlabelled):
        lines.append("  unlabelled: %d points" % int(np.sum(unlabelled)))
    lines.append("tree: %s, %d edges, %d cut" % (estimator.tree_method_, len(estimator.edges_),
                                                 int(estimator.cut_edges_.sum())))
    stages = list(before) + list(estimator.timings_.items()) + list(after)
    lines.append("time: " + ", ".join("%s %.3f s" % (k, v) for k, v in stages))
    return lines
