"""``brov cluster``: points and labels from files, the clusters to a file."""

import argparse
import os
import time

import numpy as np

from ..estimator.consensus import MAX_TREES, auto_trees
from ..estimator.weighting import DEFAULT_SIDE_DISCOUNT, check_weighting, scaled
from ..trees.sphere import SpherePoints
from . import common, writing
from .common import (CliError, SlowStage, check_output, fit_estimator, output_format, read_labels, read_table_points,
                     summary, write_atomically)

def _check_cluster_outputs(args):
    """Everything about -o and --plot that can be refused before any work; returns the output's form."""
    inputs = (args.points, args.labels)
    check_output(args.output, "output", inputs)
    form = output_format(args.output)
    if args.plot:
        check_output(args.plot, "plot", inputs)
        if os.path.realpath(args.plot) == os.path.realpath(args.output):
            raise CliError("--plot and -o name the same file %s" % args.output)
        from .plot import picture_format, require_matplotlib

        try:
            require_matplotlib()
            picture_format(args.plot)
        except (ImportError, ValueError) as error:
            raise CliError(str(error)) from None
    return form


def _read_inputs(args):
    """Points, labels and the points' table, with the progress of reading."""
    reading = SlowStage("reading", args.quiet)
    X, y, table = read_table_points(args.points, args.columns, args.label_column, args.sep, reading.update)
    if y is None:
        y = read_labels(args.labels, X.shape[0], args.sep)
    reading.done(" (%d points)" % X.shape[0])
    return X, y, table


def _output_columns(args, table, y, estimator):
    """Names and columns of the output: the input's columns, the given labels when they came from
    their own file, the clusters and the confidence (a column of the same name is replaced), or
    only the last three with --short."""
    given = y.astype(np.int64) if y.dtype.kind in "fu" else y  # integral: the estimator took them as class ids
    added = [("given", given), ("cluster", estimator.labels_)]
    if args.confidence is not None:
        added.append(("confidence", np.char.mod("%.4g", estimator.confidence_)))
    if args.short:
        return [name for name, _ in added], [column for _, column in added]
    if args.label_column is not None:
        added = added[1:]
    names = list(table.names) if table.names is not None else ["x%d" % j for j in range(table.width)]
    columns = list(table.columns)
    for name, column in added:
        if name in names:
            columns[names.index(name)] = column
        else:
            names.append(name)
            columns.append(column)
    return names, columns


def run_cluster(args, progress):
    if isinstance(args.confidence, int) and args.confidence < 2:
        raise CliError("--confidence needs at least 2 trees to compare, got %d" % args.confidence)
    if isinstance(args.confidence, int) and args.trees is not None and args.trees != args.confidence:
        raise CliError("--trees %s and --confidence %d ask for different numbers of trees" % (args.trees, args.confidence))
    if args.confidence is not None and args.trees in ("auto", 1):
        raise CliError("--confidence needs trees to compare: leave out --trees %s" % args.trees)
    common.check_metric_options(args)
    form = _check_cluster_outputs(args)
    start = time.perf_counter()
    progress("reading %s" % args.points + (" and %s" % args.labels if args.labels else ""))
    X, y, table = _read_inputs(args)
    before = [("read", time.perf_counter() - start)]
    extra = []
    progress.enabled = progress.enabled or (not args.quiet and X.shape[0] >= common.PROGRESS_FROM)
    progress("read %d points and %d labels" % (X.shape[0], len(y)))
    trees = _tree_count(args.trees, args.confidence, args.consensus, X.shape[0])
    estimator = fit_estimator(X, y, args, progress, trees)

    if args.plot:
        from .plot import picture_format, plot_clusters

        start = time.perf_counter()
        # The coordinates the tree was built on, or the plane's picture of latitudes and longitudes.
        clustered = scaled(X, estimator.scaling_) if args.metric == "euclidean" else \
            SpherePoints(X, args.angle_unit).projected()
        write_atomically(args.plot, lambda target: plot_clusters(
            target, clustered, estimator.labels_, np.asarray(y), estimator.edges_, estimator.cut_edges_,
            format=picture_format(args.plot)))
        extra.append(("plot", time.perf_counter() - start))
    stage = SlowStage("writing", args.quiet)
    names, columns = _output_columns(args, table, y, estimator)
    write_atomically(args.output, lambda target: writing.write_table(target, names, columns, form, stage.update))
    extra.append(("write", stage.done()))
    lines = summary(estimator, X, np.asarray(y), before, extra)
    lines.append("wrote %s" % args.output + (" and %s" % args.plot if args.plot else ""))
    print("\n".join(lines))
    return 0


VOTING_TREES = 10
CONFIDENCE_ASKED = object()  # --confidence without a number: the trees come from --trees or the default


def _trees(text):
    if text == "auto":
        return text
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("must be a positive integer or 'auto', got %r" % text)
    if value > MAX_TREES:
        raise argparse.ArgumentTypeError("must be at most %d, got %r" % (MAX_TREES, text))
    return value


def _tree_count(trees, confidence, consensus, n):
    """The estimator's n_trees for ``n`` points: a confidence or explicit votes ask for trees at any
    size, as many as the default draws where it votes, else VOTING_TREES."""
    if isinstance(confidence, int):
        return confidence
    if trees is not None:
        return trees
    return max(VOTING_TREES, auto_trees(n, 1)) if confidence is not None or consensus else "auto"


def _side_discount(text):
    try:
        value = float(text)
        check_weighting("auto", value)  # the estimator's own rule for the value
    except ValueError:
        raise argparse.ArgumentTypeError("must be a finite number >= 0, got %r" % text) from None
    return value


def add_parser(sub, shared_options):
    cluster = sub.add_parser("cluster", help="cluster points from a file",
                             description="Cluster the points of POINTS (.csv, .tsv, .parquet or .npy, one point "
                                         "per row) guided by labels (class ids or names; empty, NaN or -1 = "
                                         "unlabelled) from LABELS or from a column of POINTS.")
    cluster.add_argument("points", metavar="POINTS", help="points: .csv or .tsv (optional header line), .parquet or .npy")
    given = cluster.add_mutually_exclusive_group(required=True)
    given.add_argument("--labels", metavar="LABELS", help="labels file, one per point (.csv, .tsv, .parquet or .npy)")
    given.add_argument("--label-column", metavar="NAME",
                       help="read the labels from this column of POINTS (header name or 0-based position)")
    cluster.add_argument("-o", "--output", required=True, metavar="OUT.csv",
                         help="where to write the input's columns plus cluster (.parquet: Parquet, needs "
                              "pyarrow; .tsv: tabs; else commas)")
    cluster.add_argument("--short", action="store_true", help="write only given,cluster[,confidence]")
    cluster.add_argument("--sep", metavar="SEP", help="field separator of the input text files (default: "
                                                      "by extension, .tsv tabs, else commas; '\\t' or tab for tabs)")
    cluster.add_argument("--plot", metavar="OUT.png",
                         help="also draw the clusters, in the format the extension names (needs matplotlib)")
    cluster.add_argument("--columns", metavar="LIST",
                         help="coordinates to use, comma-separated: header names or 0-based positions, "
                              "ranges a:d or 2:5 (ends included), globs pixel_*, exclusions ^id (needed for a "
                              "text table with more than two columns besides the label column)")
    cluster.add_argument("--trees", type=_trees, metavar="N",
                         help="trees that vote (at most %d), or 'auto' (the default: 10 to 250 trees up to "
                              "10^6 points, the fewer the more points; one tree beyond)" % MAX_TREES)
    cluster.add_argument("--confidence", type=int, nargs="?", const=CONFIDENCE_ASKED, metavar="TREES",
                         help="add a confidence column: the share of TREES trees (default: --trees, else those of "
                              "'auto', at least %d) that agree with the cluster; costs a fraction of a fit per "
                              "tree" % VOTING_TREES)
    cluster.add_argument("--consensus", nargs="?", const="points", choices=["tree", "points", "none"],
                         help="how the trees' votes give the clusters: 'tree' (the default) cuts the tree they "
                              "draw, 'points' (alone: --consensus) gives each point its most voted class, "
                              "'none' keeps the tree of the data; given, the trees of 'auto' (at least %d) vote "
                              "unless --trees or --confidence say otherwise" % VOTING_TREES)
    cluster.add_argument("--edge-weight", choices=["auto", "length", "local"], default="auto",
                         help="what the cuts compare: edge 'length', or length against the 'local' density; "
                              "'auto' (default): 'local' where trees vote, 'length' for one tree")
    cluster.add_argument("--side-discount", type=_side_discount, default=DEFAULT_SIDE_DISCOUNT, metavar="S",
                         help="weigh down edges that cut off few points: weight x (1 - exp(-side / S)); 0 turns "
                              "it off (default %g)" % DEFAULT_SIDE_DISCOUNT)
    common.add_scale_options(cluster)
    common.add_metric_options(cluster)
    shared_options(cluster)
    return cluster
