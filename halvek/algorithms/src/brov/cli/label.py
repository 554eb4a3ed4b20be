"""``brov label``: label points on a page in the browser and watch the clusters follow."""

import os
import time
import webbrowser

import numpy as np

from ..label_page.server import LabelServer
from ..label_page.session import LabelSession
from .common import CliError, add_scale_options, check_output, read_labels, read_points, save_csv, warn_spread


def add_parser(sub, common):
    label = sub.add_parser(
        "label", help="label points in the browser and watch the clusters form",
        description="Build the tree of POINTS once and serve a page on 127.0.0.1 where you label points "
                    "by clicking or lassoing them; every change re-clusters. Save writes the labels "
                    "(one integer per point, -1 = unlabelled, as `brov cluster --labels` reads them) "
                    "and the clusters (given,cluster, as `brov cluster -o` writes them).")
    label.add_argument("points", metavar="POINTS", help="points, .csv (optional header) or .npy")
    label.add_argument("--labels", metavar="LABELS", help="start from these labels (.csv or .npy)")
    label.add_argument("--columns", metavar="COLS",
                       help="coordinates to use: header names or 0-based positions, comma-separated "
                            "(e.g. x,y for the demo's labels.csv; needed for a CSV with more than two columns)")
    label.add_argument("--save-labels", metavar="OUT.csv",
                       help="where Save writes the labels (default: LABELS, else POINTS-given.csv)")
    label.add_argument("-o", "--output", metavar="OUT.csv",
                       help="where Save writes the clusters (default: POINTS-clusters.csv)")
    label.add_argument("--port", type=int, default=8765, help="port on 127.0.0.1 (default 8765; 0 = any free)")
    label.add_argument("--open", action="store_true", help="open the page in the web browser")
    add_scale_options(label)
    common(label)
    return label


def read_columns(path, columns):
    """The points of ``path`` restricted to ``columns`` (names from the CSV
    header or 0-based positions)."""
    return read_points(path, columns)


def default_outputs(args):
    stem = os.path.splitext(args.points)[0]
    labels_path = args.save_labels or args.labels or stem + "-given.csv"
    if os.path.splitext(labels_path)[1].lower() != ".csv":
        labels_path = os.path.splitext(labels_path)[0] + "-given.csv"
    clusters_path = args.output or stem + "-clusters.csv"
    same = {os.path.abspath(args.points)} & {os.path.abspath(labels_path), os.path.abspath(clusters_path)}
    if same or os.path.abspath(labels_path) == os.path.abspath(clusters_path):
        raise CliError("the labels file, the clusters file and POINTS must be three different files")
    return labels_path, clusters_path


def write_labels(path, given):
    check_output(path, "labels")
    save_csv(path, [given], ["label"], ["%d"])


def write_clusters(path, given, clusters):
    check_output(path, "output")
    save_csv(path, [given, clusters], ["given", "cluster"], ["%d", "%d"])


def run_label(args, progress, serve=True):
    """Load everything, then serve until interrupted. Returns the exit status
    (or, with ``serve=False``, the ready server, for tests)."""
    if not 0 <= args.port <= 65535:
        raise CliError("--port must lie in 0..65535")
    outputs = default_outputs(args)
    for path, what in zip(outputs, ("labels", "output")):
        check_output(path, what)
    start = time.perf_counter()
    X = read_columns(args.points, args.columns) if args.columns else read_points(args.points)
    given = None
    if args.labels:
        given = read_labels(args.labels)
        if given.shape[0] != X.shape[0]:
            raise CliError("%s holds %d labels for %d points" % (args.labels, given.shape[0], X.shape[0]))
        try:
            given = np.asarray(given).astype(np.int64, casting="safe") if given.dtype.kind != "f" else \
                _integral(given, args.labels)
        except TypeError:
            raise CliError("labels in %s must be integers" % args.labels) from None
    progress("read %d points (%d coordinates)" % X.shape)
    if not args.columns and X.shape[1] > 2:
        progress("every column of %s is a coordinate; --columns picks some (e.g. --columns x,y)" % args.points)
    try:
        session = LabelSession(X, given, {"method": args.method, "n_neighbors": args.n_neighbors, "scale": args.scale},
                               outputs, log=progress)
    except ValueError as error:
        raise CliError(str(error)) from None
    warn_spread(session.tree.spread)
    progress("tree: %s, %d edges, %.3f s" % (session.tree.method, len(session.tree.edges),
                                             time.perf_counter() - start))
    try:
        server = LabelServer(session, args.port, (write_labels, write_clusters), refusals=(CliError,))
    except OSError as error:
        raise CliError("cannot listen on 127.0.0.1:%d (%s); try another --port, or --port 0"
                           % (args.port, error.strerror or error)) from None
    if not serve:
        return server
    print("brov label: %d points; open %s (Ctrl-C to stop)" % (X.shape[0], server.url), flush=True)
    print("brov label: Save writes %s and %s" % outputs, flush=True)
    if args.open:
        webbrowser.open(server.url)
    try:
        server.serve_forever()
    finally:
        server.server_close()
    return 0


def _integral(values, path):
    if not np.all(np.isfinite(values)) or np.any(values != np.round(values)):
        raise CliError("labels in %s must be integers" % path)
    return values.astype(np.int64)
