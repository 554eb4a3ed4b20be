"""Command line: ``brov demo`` and ``brov cluster`` (also ``python -m halvek.algorithms.src.brov``).

Errors are reported on one line, ``brov: error: ...``, with exit status 1
(2 for a bad command line); output files appear whole or not at all.
"""

import argparse
import os
import sys
import time

import numpy as np

from . import outputs, tables
from .estimator import BrovClustering, check_points
from .metrics import adjusted_rand_score
from .consensus import AUTO_MAX_POINTS, AUTO_TREES, MAX_TREES
from .weighting import DEFAULT_SIDE_DISCOUNT, check_weighting

#: From this many points on, each stage is reported on stderr (unless -q).
PROGRESS_FROM = 50000


class CliError(Exception):
    """A problem with the user's input, reported as one line."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, "%s: error: %s (see %s -h)\n" % (self.prog, message, self.prog))


class _Progress:
    def __init__(self, enabled):
        self.enabled = enabled

    def __call__(self, message):
        if self.enabled:
            print("brov: %s" % message, file=sys.stderr, flush=True)


# ------------------------------------------------------------------------------------------------
# Input and output files


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


def _write_atomically(path, write):
    """Write through a temporary file (or in place for devices and FIFOs); see outputs."""
    try:
        outputs.write_output(path, write)
    except outputs.OutputError as error:
        raise CliError(str(error)) from None


def _check_output(path, what, inputs=()):
    try:
        outputs.check_output(path, what, inputs)
    except outputs.OutputError as error:
        raise CliError(str(error)) from None


def _save_csv(path, columns, names, formats):
    def write(target):
        # Mixed integer and float columns stay apart: a common float64 would round large class ids.
        mixed = len({np.asarray(c).dtype for c in columns}) > 1
        table = np.column_stack([np.asarray(c, dtype=object) if mixed else c for c in columns])
        np.savetxt(target, table, delimiter=",", header=",".join(names), comments="", fmt=formats)

    _write_atomically(path, write)


# ------------------------------------------------------------------------------------------------
# Demo data


def make_blobs(n, centers, seed, spread=1.0):
    """n points in `centers` Gaussian blobs in the plane, centres at least
    five spreads apart. Returns (points, blob index of each point)."""
    rng = np.random.default_rng(seed)
    chosen = []
    while len(chosen) < centers:
        candidate = rng.uniform(-4.0 * centers ** 0.5, 4.0 * centers ** 0.5, size=2) * spread * 1.5
        if all(np.hypot(*(candidate - c)) >= 5.0 * spread for c in chosen):
            chosen.append(candidate)
    truth = np.arange(n) % centers
    rng.shuffle(truth)
    points = np.array(chosen)[truth] + rng.normal(scale=spread, size=(n, 2))
    return points, truth


def pick_labelled(truth, per_class, seed):
    """-1 everywhere but `per_class` random points of each class, which keep their class."""
    rng = np.random.default_rng(seed + 1)
    given = np.full(len(truth), -1, dtype=np.int64)
    for c in np.unique(truth):
        members = np.flatnonzero(truth == c)
        chosen = rng.choice(members, size=min(per_class, len(members)), replace=False)
        given[chosen] = c
    return given


# ------------------------------------------------------------------------------------------------
# Commands


def _cluster(X, y, args, progress):
    consensus = getattr(args, "consensus", None)
    trees = _tree_count(getattr(args, "trees", None), getattr(args, "confidence", None), consensus)
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


def _summary(estimator, X, y, before=(), after=()):
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


def run_demo(args, progress):
    if args.n < 2:
        raise CliError("--n must be at least 2")
    if args.centers < 1 or args.labelled < 1:
        raise CliError("--centers and --labelled must be at least 1")
    try:
        from .plot import require_matplotlib

        require_matplotlib()
        can_plot = True
    except ImportError as error:
        can_plot = False
        plot_note = str(error)
    out = args.out
    if os.path.exists(out) and not os.path.isdir(out):
        raise CliError("--out %s exists and is not a folder" % out)
    os.makedirs(out, exist_ok=True)

    start = time.perf_counter()
    X, truth = make_blobs(args.n, args.centers, args.seed)
    given = pick_labelled(truth, args.labelled, args.seed)
    before = [("data", time.perf_counter() - start)]
    extra = []
    progress("generated %d points in %d blobs" % (args.n, args.centers))
    estimator = _cluster(X, given, args, progress)

    csv_path = os.path.join(out, "labels.csv")
    png_path = os.path.join(out, "clusters.png")
    if can_plot:
        from .plot import plot_clusters

        start = time.perf_counter()
        _write_atomically(png_path, lambda target: plot_clusters(
            target, X, estimator.labels_, given, estimator.edges_, estimator.cut_edges_,
            title="brov demo: %d points, %d blobs, %d labelled" % (args.n, args.centers, int(np.sum(given != -1)))))
        extra.append(("plot", time.perf_counter() - start))
    _save_csv(csv_path, [X[:, 0], X[:, 1], truth, given, estimator.labels_],
              ["x", "y", "blob", "given", "cluster"], ["%.6f", "%.6f", "%d", "%d", "%d"])

    lines = ["brov demo: %d blobs, %d labelled point(s) per blob" % (args.centers, args.labelled)]
    lines += _summary(estimator, X, given, before, extra)
    lines.append("agreement with the true blobs (adjusted Rand index): %.4f"
                 % adjusted_rand_score(truth, estimator.labels_))
    lines.append("wrote %s" % csv_path)
    if can_plot:
        lines.append("wrote %s" % png_path)
    else:
        lines.append("skipped clusters.png: %s" % plot_note)
    print("\n".join(lines))
    return 0


def _check_cluster_outputs(args):
    """Everything about -o and --plot that can be refused before any work."""
    inputs = (args.points, args.labels)
    _check_output(args.output, "output", inputs)
    if args.plot:
        _check_output(args.plot, "plot", inputs)
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
    progress.enabled = progress.enabled or (not args.quiet and X.shape[0] >= PROGRESS_FROM)
    progress("read %d points and %d labels" % (X.shape[0], len(y)))
    estimator = _cluster(X, y, args, progress)

    if args.plot:
        from .plot import picture_format, plot_clusters

        start = time.perf_counter()
        _write_atomically(args.plot, lambda target: plot_clusters(
            target, X, estimator.labels_, np.asarray(y), estimator.edges_, estimator.cut_edges_,
            format=picture_format(args.plot)))
        extra.append(("plot", time.perf_counter() - start))
    start = time.perf_counter()
    columns, names, formats = [np.asarray(y).astype(np.int64), estimator.labels_.astype(np.int64)], \
        ["given", "cluster"], ["%d", "%d"]
    if args.confidence is not None:
        columns, names, formats = columns + [estimator.confidence_], names + ["confidence"], formats + ["%.4g"]
    _save_csv(args.output, columns, names, formats)
    extra.append(("write", time.perf_counter() - start))
    lines = _summary(estimator, X, np.asarray(y), before, extra)
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


def build_parser():
    parser = _Parser(prog="brov", description="Label-guided clustering of points through their minimum spanning tree.")
    sub = parser.add_subparsers(dest="command", metavar="{demo,cluster,label}")
    sub.required = True

    def common(p):
        p.add_argument("-q", "--quiet", action="store_true", help="no progress on stderr")
        p.add_argument("--method", choices=["auto", "exact", "knn"], default="auto",
                       help="tree: 'auto' is exact up to 32 coordinates and a k-NN graph above; 'exact' in any dimension")
        p.add_argument("--n-neighbors", type=int, default=10, help="k of the k-NN graph (default 10)")

    demo = sub.add_parser("demo", help="cluster generated blobs and draw them",
                          description="Generate Gaussian blobs, label a few points per blob, cluster them, "
                                      "write labels.csv and clusters.png into --out and print a summary.")
    demo.add_argument("--n", type=int, default=1000, help="number of points (default 1000)")
    demo.add_argument("--centers", type=int, default=4, help="number of blobs (default 4)")
    demo.add_argument("--labelled", type=int, default=2, help="labelled points per blob (default 2)")
    demo.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    demo.add_argument("--out", default="brov-demo", help="output folder (default ./brov-demo)")
    common(demo)

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
                         help="trees that vote (at most %d), or 'auto' (default: %d up to %d points, one above)"
                              % (MAX_TREES, AUTO_TREES, AUTO_MAX_POINTS))
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
    common(cluster)

    from .label_command import add_parser as add_label_parser

    add_label_parser(sub, common)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        with outputs.termination_as_exception():
            return _run(args)
    except outputs.Terminated as stop:
        print("brov: terminated", file=sys.stderr)
        return 128 + stop.signum


def _run(args):
    try:
        if args.command == "demo":
            progress = _Progress(not args.quiet and args.n >= PROGRESS_FROM)
            return run_demo(args, progress)
        if args.command == "label":
            from .label_command import run_label

            return run_label(args, _Progress(not args.quiet))
        progress = _Progress(not args.quiet and _looks_large(args.points))
        return run_cluster(args, progress)
    except CliError as error:
        message = " ".join(str(error).split())
        print("brov: error: %s" % message, file=sys.stderr)
        return 1
    except (OSError, MemoryError) as error:
        print("brov: error: %s" % (" ".join(str(error).split()) or type(error).__name__), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("brov: interrupted", file=sys.stderr)
        return 130


def _looks_large(path):
    """Whether the points file is big enough to report progress (about PROGRESS_FROM rows)."""
    try:
        return os.path.getsize(path) > PROGRESS_FROM * 24
    except OSError:
        return False


if __name__ == "__main__":
    sys.exit(main())
