"""``brov cluster``: points and labels from files, the clusters to a file."""

import argparse
import os
import time

import numpy as np

from ..estimator.consensus import AUTO_MAX_POINTS, AUTO_TREES
from ..estimator.weighting import DEFAULT_SIDE_DISCOUNT, check_weighting
from . import common
from .common import CliError, check_output, fit_estimator, read_labels, read_points, save_csv, summary, write_atomically

def _check_cluster_outputs(args):
    """Everything about -o and --plot that can be refused before any work."""
    inputs = (args.points, args.labels)
    check_output(args.output, "output", inputs)
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


def run_cluster(args, progress):
    if isinstance(args.confidence, int) and args.confidence < 2:
        raise CliError("--confidence needs at least 2 trees to compare, got %d" % args.confidence)
    if isinstance(args.confidence, int) and args.trees is not None and args.trees != args.confidence:
        raise CliError("--trees %s and --confidence %d ask for different numbers of trees" % (args.trees, args.confidence))
    if args.confidence is not None and args.trees in ("auto", 1):
        raise CliError("--confidence needs trees to compare: leave out --trees %s" % args.trees)
    _check_cluster_outputs(args)
    start = time.perf_counter()
    progress("reading %s and %s" % (args.points, args.labels))
    X = read_points(args.points, args.columns)
    y = read_labels(args.labels, X.shape[0])
    before = [("read", time.perf_counter() - start)]
    extra = []
    progress.enabled = progress.enabled or (not args.quiet and X.shape[0] >= common.PROGRESS_FROM)
    progress("read %d points and %d labels" % (X.shape[0], len(y)))
    trees = _tree_count(args.trees, args.confidence, args.consensus)
    estimator = fit_estimator(X, y, args, progress, trees)

    if args.plot:
        from .plot import picture_format, plot_clusters

        start = time.perf_counter()
        write_atomically(args.plot, lambda target: plot_clusters(
            target, X, estimator.labels_, np.asarray(y), estimator.edges_, estimator.cut_edges_,
            format=picture_format(args.plot)))
        extra.append(("plot", time.perf_counter() - start))
    start = time.perf_counter()
    columns, names, formats = [np.asarray(y).astype(np.int64), estimator.labels_.astype(np.int64)], \
        ["given", "cluster"], ["%d", "%d"]
    if args.confidence is not None:
        columns, names, formats = columns + [estimator.confidence_], names + ["confidence"], formats + ["%.4g"]
    save_csv(args.output, columns, names, formats)
    extra.append(("write", time.perf_counter() - start))
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
    return value


def _tree_count(trees, confidence, consensus):
    """The estimator's n_trees: a confidence or explicit votes ask for trees at any size."""
    if isinstance(confidence, int):
        return confidence
    if trees is not None:
        return trees
    return VOTING_TREES if confidence is not None or consensus else "auto"


def _side_discount(text):
    try:
        value = float(text)
        check_weighting("auto", value)  # the estimator's own rule for the value
    except ValueError:
        raise argparse.ArgumentTypeError("must be a finite number >= 0, got %r" % text) from None
    return value


def add_parser(sub, shared_options):
    cluster = sub.add_parser("cluster", help="cluster points from a file",
                             description="Cluster the points of POINTS (.csv or .npy, one point per row) guided "
                                         "by LABELS (one integer per point, -1 = unlabelled).")
    cluster.add_argument("points", metavar="POINTS", help="points, .csv (optional header line) or .npy")
    cluster.add_argument("--labels", required=True, metavar="LABELS", help="labels, .csv or .npy, -1 = unlabelled")
    cluster.add_argument("-o", "--output", required=True, metavar="OUT.csv", help="where to write the clusters")
    cluster.add_argument("--plot", metavar="OUT.png",
                         help="also draw the clusters, in the format the extension names (needs matplotlib)")
    cluster.add_argument("--columns", metavar="LIST",
                         help="coordinates to use: header names or 0-based positions, comma-separated "
                              "(needed for a CSV file with more than two columns)")
    cluster.add_argument("--trees", type=_trees, metavar="N",
                         help="trees that vote, or 'auto' (default: %d up to %d points, one above)"
                              % (AUTO_TREES, AUTO_MAX_POINTS))
    cluster.add_argument("--confidence", type=int, nargs="?", const=CONFIDENCE_ASKED, metavar="TREES",
                         help="add a confidence column: the share of TREES trees (default: --trees, else %d) "
                              "that agree with the cluster; costs about one fit per tree" % VOTING_TREES)
    cluster.add_argument("--consensus", nargs="?", const="points", choices=["tree", "points", "none"],
                         help="how the trees' votes give the clusters: 'tree' (the default) cuts the tree they "
                              "draw, 'points' (alone: --consensus) gives each point its most voted class, "
                              "'none' keeps the tree of the data; given, %d trees vote unless --trees or "
                              "--confidence say otherwise" % VOTING_TREES)
    cluster.add_argument("--edge-weight", choices=["auto", "length", "local"], default="auto",
                         help="what the cuts compare: edge 'length', or length against the 'local' density; "
                              "'auto' (default): 'local' where trees vote, 'length' for one tree")
    cluster.add_argument("--side-discount", type=_side_discount, default=DEFAULT_SIDE_DISCOUNT, metavar="S",
                         help="weigh down edges that cut off few points: weight x (1 - exp(-side / S)); 0 turns "
                              "it off (default %g)" % DEFAULT_SIDE_DISCOUNT)
    cluster.add_argument("--scale", action="store_true",
                         help="standardize every coordinate first, for coordinates in unrelated units")
    shared_options(cluster)
    return cluster
