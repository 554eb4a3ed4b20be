"""``brov label``: label points on a page in the browser and watch the clusters follow.

Every change is kept in a session file next to the points (see
``label_page.session``); starting again on the same points continues it.
"""

import fcntl
import os
import sys
import time
import webbrowser

import numpy as np

from ..label_page import store
from ..label_page.server import LabelServer
from ..label_page.session import LabelSession
from .common import (CliError, add_metric_options, add_scale_options, check_metric_options, check_output,
                     read_labels, read_points, warn_spread)

#: How long a stop waits for the background fit to finish before the process ends without it.
STOP_WAIT = 0.5


def add_parser(sub, common):
    label = sub.add_parser(
        "label", help="label points in the browser and watch the clusters form",
        description="Build the tree of POINTS once and serve a page on 127.0.0.1 where you label points "
                    "by clicking or lassoing them; every change re-clusters and is kept in a session file "
                    "(POINTS-session.json) before the page shows it, so starting again continues the "
                    "work. Save writes the labels (each point's class name, -1 = unlabelled, as "
                    "`brov cluster --labels` reads them) and the clusters (given,cluster, as "
                    "`brov cluster --short -o` writes them).")
    label.add_argument("points", metavar="POINTS", help="points, .csv (optional header) or .npy")
    label.add_argument("--labels", metavar="LABELS",
                       help="start from these labels: class ids or names, as Save writes them (.csv or .npy)")
    label.add_argument("--columns", metavar="COLS",
                       help="coordinates to use: header names or 0-based positions, comma-separated "
                            "(e.g. x,y for the demo's labels.csv; needed for a CSV with more than two columns)")
    label.add_argument("--save-labels", metavar="OUT.csv",
                       help="where Save writes the labels (default: POINTS-given.csv; never LABELS)")
    label.add_argument("-o", "--output", metavar="OUT.csv",
                       help="where Save writes the clusters (default: POINTS-clusters.csv)")
    label.add_argument("--session", metavar="FILE.json",
                       help="where every change is kept (default: POINTS-session.json)")
    label.add_argument("--fresh", action="store_true",
                       help="start over even when the session holds earlier work (it is kept as "
                            "FILE.json.previous)")
    label.add_argument("--port", type=int, default=8765, help="port on 127.0.0.1 (default 8765; 0 = any free)")
    label.add_argument("--open", action="store_true", help="open the page in the web browser")
    add_scale_options(label)
    add_metric_options(label)
    common(label)
    return label


def _stem(args):
    return os.path.splitext(args.points)[0]


def default_outputs(args, previous=None):
    """(labels, clusters) paths Save writes: the options, else those of the restored session, else beside POINTS."""
    previous = previous or {}
    labels_path = args.save_labels or previous.get("labels") or _stem(args) + "-given.csv"
    if os.path.splitext(labels_path)[1].lower() != ".csv":
        labels_path = os.path.splitext(labels_path)[0] + "-given.csv"
    clusters_path = args.output or previous.get("clusters") or _stem(args) + "-clusters.csv"
    paths = [os.path.abspath(p) for p in (args.points, labels_path, clusters_path, args.session)]
    if len(set(paths)) < 4:
        raise CliError("POINTS, the labels file, the clusters file and the session must be four different files")
    if args.labels and os.path.abspath(args.labels) in paths[1:]:
        raise CliError("Save would write over the input %s: name another file with --save-labels" % args.labels)
    return labels_path, clusters_path


def lock_points(path):
    """Hold a lock on POINTS for as long as the page runs: one page per points file and session."""
    handle = open(path, "rb")  # noqa: SIM115 - held until the server closes
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        handle.close()
        raise CliError("another brov label is working on %s; stop it first" % path) from None
    return handle


def read_start(args, n):
    """(class ids (int64), {id: class name}) of the labels given with --labels; (None, {}) without.
    Class names (as Save writes them) become the ids 0, 1, ... in their sorted order."""
    if not args.labels:
        return None, {}
    given = read_labels(args.labels, n)
    if given.shape[0] != n:
        raise CliError("%s holds %d labels for %d points" % (args.labels, given.shape[0], n))
    if given.dtype.kind == "O":
        labelled = np.array([v is not None for v in given.tolist()], dtype=bool)
        names, codes = np.unique(given[labelled].astype(str), return_inverse=True)
        ids = np.full(n, -1, dtype=np.int64)
        ids[labelled] = codes
        return ids, dict(enumerate(names.tolist()))
    try:
        return (np.asarray(given).astype(np.int64, casting="safe") if given.dtype.kind != "f" else
                _integral(given, args.labels)), {}
    except TypeError:
        raise CliError("labels in %s must be integers" % args.labels) from None


def earlier_session(args, identity):
    """The saved session to continue, or None to start a new one."""
    try:
        document = store.load_session(args.session)
    except store.SessionFileError as error:
        if not args.fresh:
            raise CliError("%s; --fresh starts over (keeping it as %s.previous)" % (error, args.session)) from None
        document = True
    if document is None or args.fresh:
        return None
    if args.labels:
        raise CliError("%s holds earlier work: start without --labels to continue it, or add --fresh to "
                       "start over from %s" % (args.session, args.labels))
    known = document.get("points") or {}
    if known.get("n") != identity["n"] or known.get("sha256") != identity["sha256"]:
        raise CliError("%s was made for other points than %s (they changed since?); --fresh starts over, "
                       "--session picks another file" % (args.session, args.points))
    return document


def run_label(args, progress, serve=True):
    """Load everything, then serve until interrupted. Returns the exit status
    (or, with ``serve=False``, the ready server, for tests)."""
    if not 0 <= args.port <= 65535:
        raise CliError("--port must lie in 0..65535")
    check_metric_options(args)
    args.session = args.session or _stem(args) + "-session.json"
    start = time.perf_counter()
    X = read_points(args.points, args.columns)
    start_labels = read_start(args, X.shape[0])
    try:
        server = LabelServer(None, args.port, refusals=(CliError,))
    except OSError as error:
        raise CliError("cannot listen on 127.0.0.1:%d (%s); try another --port, or --port 0"
                       % (args.port, error.strerror or error)) from None
    try:
        server.lock = lock_points(args.points)
        server.session = _session(args, X, start_labels, progress, start)
    except BaseException:
        server.server_close()
        raise
    if not serve:
        return server
    print("brov label: %d points; open %s (Ctrl-C to stop)" % (X.shape[0], server.url), flush=True)
    print("brov label: every change is kept in %s; Save writes %s and %s"
          % (args.session, server.session.labels_path, server.session.clusters_path), flush=True)
    if args.open:
        webbrowser.open(server.url)
    status = 0
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("brov label: stopped; every change is kept in %s (start again to continue)" % args.session,
              file=sys.stderr, flush=True)
        status = 130
    finally:
        server.server_close()
    if not server.session.close(wait=STOP_WAIT):
        # The background fit is still in native code: an interpreter shutting down around it may
        # end the process mid-way (or crash it). Every change is in the journal already, so the
        # process ends here, as a kill would end it.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    return status


def _session(args, X, start_labels, progress, start):
    identity = {"path": os.path.abspath(args.points), "columns": args.columns, "n": int(X.shape[0]),
                "sha256": store.file_digest(args.points)}
    document = earlier_session(args, identity)
    outputs = default_outputs(args, document and document.get("outputs"))
    inputs = (args.points, args.labels)
    for path, what in zip(outputs, ("labels", "output")):
        check_output(path, what, inputs)
    check_output(args.session, "session", inputs)
    for leftover in store.remove_leftovers([args.session, store.journal_path(args.session), *outputs]):
        progress("removed %s, left by a write that was stopped" % leftover)
    if args.fresh and os.path.exists(args.session):
        os.replace(args.session, args.session + ".previous")
        if os.path.exists(store.journal_path(args.session)):
            os.replace(store.journal_path(args.session), store.journal_path(args.session + ".previous"))
    progress("read %d points (%d coordinates)" % X.shape)
    if not args.columns and X.shape[1] > 2:
        progress("every column of %s is a coordinate; --columns picks some (e.g. --columns x,y)" % args.points)
    try:
        session = LabelSession(X, start_labels[0], {"method": args.method, "n_neighbors": args.n_neighbors,
                                                    "scale": args.scale, "metric": args.metric,
                                                    "angle_unit": args.angle_unit}, outputs,
                               log=progress, path=args.session, restored=document, identity=identity,
                               check_output=check_output, inputs=inputs, names=_names(args.columns, X.shape[1]),
                               class_names=start_labels[1])
    except ValueError as error:  # also a damaged session file
        raise CliError(str(error)) from None
    warn_spread(session.tree.spread)
    if document is not None:
        progress("continuing %s: %d labelled points, %d classes" % (
            args.session, int(np.sum(session.given != -1)), len(session.classes)))
    progress("tree: %s, %d edges, %.3f s" % (session.tree.method, len(session.tree.edges),
                                             time.perf_counter() - start))
    return session


def _names(columns, width):
    """What the page calls the coordinates: the --columns items (positions as "column K")."""
    if not columns:
        return ["column %d" % k for k in range(width)]
    return ["column %s" % item if item.isdigit() else item for item in (i.strip() for i in columns.split(","))]


def _integral(values, path):
    if not np.all(np.isfinite(values)) or np.any(values != np.round(values)):
        raise CliError("labels in %s must be integers" % path)
    return values.astype(np.int64)

