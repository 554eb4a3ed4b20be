"""The fit on a Dask cluster: the driver plans the stages and merges what the
parts report; the points stay on the workers (see docs/distributed.md)."""

import math
import operator
import time
import uuid
from collections import namedtuple

import numpy as np

from ..clustering import cluster_tree
from ..labels import MAX_CLASSES
from ..trees.euclidean import scale_of
from . import part_work as work
from .merge import join_fragments, join_parts
from .partition import Splitter, box_gap

__all__ = ["DaskFit", "fit"]

DaskFit = namedtuple("DaskFit", ["labels", "tree_length", "edges", "lengths", "timings", "parts"])
DaskFit.__doc__ = """Result of :func:`fit`.

labels : dask array of the class id of every point (in the input's row chunks)
tree_length : total length of the exact Euclidean minimum spanning tree
edges, lengths : with ``return_tree=True``, dask arrays of the tree's n - 1 edges (input rows,
    smaller first; parts' edges first, then the edges between parts) and their lengths; else None
timings : seconds per stage
parts : per part, its number of points, its tree's certain and uncertain edges, the border edges
    found to other parts, and the edges on paths between labels it sent to the driver
"""

SAMPLE_ROWS = 20_000  # rows sampled per part to place the splits


class _Run:
    """The futures of one fit: submitted under named keys (the dashboard groups them by stage),
    waited on with an optional progress bar, cancelled together if the fit stops."""

    def __init__(self, client, progress):
        self.client = client
        self.progress = progress
        self.token = uuid.uuid4().hex[:8]
        self.futures = []
        self.timings = {}
        self._count = 0

    def submit(self, stage, fn, *args):
        self._count += 1
        future = self.client.submit(fn, *args, key="brov-%s-%s-%d" % (stage, self.token, self._count))
        self.futures.append(future)
        return future

    def wait(self, futures, stage):
        """Waits for the futures (with a bar under the stage's name with ``progress``); raises
        the first task's error."""
        from distributed import progress, wait

        if self.progress and futures:
            print("brov: %s" % stage, flush=True)
            progress(futures)
            print(flush=True)
        wait(futures)
        for future in futures:
            if future.status == "error":
                future.result()

    def gather(self, futures, stage):
        self.wait(futures, stage)
        return self.client.gather(futures)

    def stage(self, name, started):
        self.timings[name] = time.perf_counter() - started
        return time.perf_counter()

    def release(self, futures):
        """Forgets futures whose results later stages hold: the scheduler frees them once the
        caller drops them too."""
        gone = {future.key for future in futures}
        self.futures = [future for future in self.futures if future.key not in gone]

    def cancel(self):
        self.client.cancel(self.futures)


def _inputs(X, y):
    import dask.array as da

    X = da.asarray(X)
    if X.ndim != 2 or X.shape[0] == 0 or X.shape[1] == 0:
        raise ValueError("X must be a two-dimensional array of points with at least one point and one "
                         "coordinate, got shape %s" % (X.shape,))
    if X.dtype.kind not in "biuf":
        raise TypeError("X must hold real numbers, got dtype %s" % X.dtype)
    y = da.asarray(y)
    if y.ndim != 1 or y.shape[0] != X.shape[0]:
        raise ValueError("y must hold one class id per point (-1 = unlabelled): got shape %s for %d points"
                         % (y.shape, X.shape[0]))
    if y.dtype.kind not in "iu":
        raise TypeError("labels must be integer class ids (-1 = unlabelled), got dtype %s" % y.dtype)
    X = X.rechunk({1: -1})
    return X, y.rechunk((X.chunks[0],))


def _scan(run, X, y, n_parts):
    """Scale, finiteness, classes and a sample of the points, in one pass over the input."""
    import dask.array as da

    stride = max(1, X.shape[0] // (SAMPLE_ROWS * n_parts))
    scanned = run.client.compute([da.max(da.abs(X)), da.isfinite(X).all(), da.unique(y[y != -1]), X[::stride]])
    run.futures += scanned
    top, finite, classes, sample = run.gather(scanned, "scan")
    run.release(scanned)
    if not finite:
        raise ValueError("X holds NaN or infinite coordinates")
    if len(classes) == 0:
        raise ValueError("no labelled point: at least one label must differ from -1")
    if len(classes) > MAX_CLASSES:
        raise ValueError("%d distinct classes: at most %d are supported" % (len(classes), MAX_CLASSES))
    return scale_of(np.array([float(top)])), np.asarray(classes), np.asarray(sample, dtype=np.float64)


def _partition(run, X, y, splitter, scale, classes):
    """The parts as futures, and their boxes; empty parts are left out. The driver lets go of
    each stage's futures once the next stage's are submitted, so that every chunk and piece is
    freed as soon as it is used."""
    xs = run.client.compute(X.to_delayed().ravel().tolist())
    ys = run.client.compute(y.to_delayed().ravel().tolist())
    offsets = np.concatenate([[0], np.cumsum(X.chunks[0])])
    cuts = [run.submit("cut", work.cut_chunk, x, labels, int(offsets[c]), splitter, scale, classes)
            for c, (x, labels) in enumerate(zip(xs, ys))]
    del xs, ys
    pieces = [[run.submit("piece", operator.getitem, cut, k) for k in range(splitter.n_parts)] for cut in cuts]
    run.release(cuts)
    del cuts
    parts = [run.submit("part", work.assemble, *[chunk[k] for chunk in pieces]) for k in range(splitter.n_parts)]
    run.release([piece for chunk in pieces for piece in chunk])
    del pieces
    boxes = run.gather([run.submit("box", work.part_box, part) for part in parts], "partition")
    keep = [k for k, box in enumerate(boxes) if box[0] > 0]
    return [parts[k] for k in keep], [boxes[k] for k in keep], offsets


def _border_edges(run, trees, lows, highs, reach, scale):
    """Edges of length <= reach between every two parts whose boxes lie that close, as one dict of
    arrays; the end ``u`` lies in part ``pu``, ``v`` in ``pv``."""
    found, owners, borders = [], [], []
    for i in range(len(trees)):
        for j in range(i + 1, len(trees)):
            if box_gap(lows[i], highs[i], lows[j], highs[j]) * scale > reach * (1.0 + work.SLACK):
                continue
            a = run.submit("border", work.border, trees[i], lows[j], highs[j], reach, scale)
            b = run.submit("border", work.border, trees[j], lows[i], highs[i], reach, scale)
            found.append(run.submit("pair", work.pair_cross_edges, a, b, reach, scale))
            borders += [a, b]
            owners.append((i, j))
    futures = found
    found = run.gather(futures, "borders")
    run.release(futures + borders)
    edges = {key: np.concatenate([f[key] for f in found] + [np.empty(0, f_dtype)])
             for key, f_dtype in (("u", np.int64), ("v", np.int64), ("w", np.float64), ("fu", np.int64),
                                  ("fv", np.int64))}
    edges["pu"] = np.concatenate([np.full(len(f["w"]), i) for f, (i, _) in zip(found, owners)] + [np.empty(0, int)])
    edges["pv"] = np.concatenate([np.full(len(f["w"]), j) for f, (_, j) in zip(found, owners)] + [np.empty(0, int)])
    return edges


def fit(X, y, *, client=None, n_parts=8, return_tree=False, progress=False):
    """Cluster the points ``X`` (a dask array, n x d) guided by the class ids
    ``y`` (a dask array of n integers, -1 = unlabelled) on a Dask cluster.

    The same fit as ``BrovClustering(method="exact", n_trees=1,
    edge_weight="length", side_discount=0, scale=False)`` on one machine: the same exact
    Euclidean minimum spanning tree, cut the same way, the same labels. Space
    is cut into ``n_parts`` parts by coordinate splits; each part's tree is
    built on a worker, and only the edges between parts, the paths between
    labelled points and small summaries reach the driver (docs/distributed.md).

    ``client`` is a ``distributed.Client`` (default: the current one).
    ``progress`` shows a bar per stage in the driver. Ctrl-C (or any error)
    cancels the fit's tasks. Returns a :class:`DaskFit`.
    """
    from distributed import get_client

    client = client or get_client()
    if isinstance(n_parts, bool) or not isinstance(n_parts, (int, np.integer)) or n_parts < 1:
        raise ValueError("n_parts must be a positive integer, got %r" % (n_parts,))
    X, y = _inputs(X, y)
    run = _Run(client, progress)
    try:
        return _fit(run, X, y, int(n_parts), return_tree, np.dtype(y.dtype) if y.dtype.kind == "i" else np.int64)
    except BaseException:
        run.cancel()
        raise


def _fit(run, X, y, n_parts, return_tree, dtype):
    started = time.perf_counter()
    scale, classes, sample = _scan(run, X, y, n_parts)
    started = run.stage("scan", started)

    parts, boxes, offsets = _partition(run, X, y, Splitter(sample, n_parts), scale, classes)
    lows, highs = [b[1] for b in boxes], [b[2] for b in boxes]
    started = run.stage("partition", started)

    trees = [run.submit("part-tree", work.part_tree, part, lows, highs, k, scale) for k, part in enumerate(parts)]
    run.release(parts)  # each part is freed once its tree holds it
    del parts
    reports = run.gather([run.submit("tree-report", work.tree_report, t) for t in trees], "part trees")
    started = run.stage("part trees", started)

    reach = max(r["reach"] for r in reports)
    border = _border_edges(run, trees, lows, highs, reach, scale)
    started = run.stage("borders", started)

    chosen_inner, chosen_cross, joins = _merge(run, trees, reports, border, lows, highs, scale)
    cross = {key: np.concatenate([border[key][chosen_cross], np.asarray([j[at] for j in joins], kind)])
             for at, (key, kind) in enumerate((("u", np.int64), ("v", np.int64), ("w", np.float64),
                                              ("pu", np.int64), ("pv", np.int64)))}
    started = run.stage("merge", started)

    finished = []
    for k, tree in enumerate(trees):
        ends = np.concatenate([cross["u"][cross["pu"] == k], cross["v"][cross["pv"] == k]])
        finished.append(run.submit("strip", work.finish, tree, chosen_inner[k], np.unique(ends)))
    run.release(trees)
    del trees, tree
    kept = run.gather([run.submit("kept", work.report_of, f) for f in finished], "strip")
    started = run.stage("strip", started)

    cuts, new_codes = _cut(kept, cross)
    started = run.stage("cut", started)

    labels = _labels(run, finished, kept, cuts, new_codes, classes, dtype, offsets)
    started = run.stage("labels", started)

    tree_length = math.fsum([r["length"] for r in kept] + [math.fsum(cross["w"])])
    edges = lengths = None
    if return_tree:
        edges, lengths = _tree_arrays(run, finished, kept, cross)
    parts_info = [{"points": int(b[0]), "certain": r["certain"], "uncertain": len(r["w"]),
                   "border edges": int(np.sum((border["pu"] == k) | (border["pv"] == k))), "kept": len(s["w"])}
                  for k, (b, r, s) in enumerate(zip(boxes, reports, kept))]
    return DaskFit(labels, tree_length, edges, lengths, run.timings, parts_info)


def _merge(run, trees, reports, border, lows, highs, scale):
    """The minimum spanning tree over the fragments: per part a mask over its uncertain edges,
    a mask over the border edges, and the joins between parts that the border edges left apart."""
    keys = ("u", "v", "w", "fu", "fv")
    candidates = {key: np.concatenate([r[key] for r in reports] + [border[key]]) for key in keys}
    chosen, piece = join_fragments(candidates, np.array([r["fragment"] for r in reports]))
    bounds = np.cumsum([0] + [len(r["w"]) for r in reports])
    chosen_inner = [chosen[bounds[k]:bounds[k + 1]] for k in range(len(reports))]
    k = len(trees)
    gaps = [[box_gap(lows[i], highs[i], lows[j], highs[j]) * scale for j in range(k)] for i in range(k)]

    def closest(i, j):
        return run.gather([run.submit("closest", work.closest_pair, trees[i], trees[j], scale)], "closest pair")[0]

    return chosen_inner, chosen[bounds[-1]:], join_parts(piece, gaps, closest)


def _cut(kept, cross):
    """The cuts of the tree reduced to the paths between labels: the cut edges (rows) and the new
    codes of every kept point."""
    nodes = np.concatenate([r["nodes"] for r in kept])
    codes = np.concatenate([r["codes"] for r in kept])
    order = np.argsort(nodes)
    nodes, codes = nodes[order], codes[order]
    u = np.concatenate([r["u"] for r in kept] + [cross["u"]])
    v = np.concatenate([r["v"] for r in kept] + [cross["v"]])
    w = np.concatenate([r["w"] for r in kept] + [cross["w"]])
    edges = np.stack([np.searchsorted(nodes, u), np.searchsorted(nodes, v)], axis=1).astype(np.int64)
    new_codes, cut = cluster_tree(edges, w, codes)
    return (u[cut], v[cut]), (nodes, new_codes)


def _labels(run, finished, kept, cuts, new_codes, classes, dtype, offsets):
    import dask
    import dask.array as da

    nodes, codes = new_codes
    per_part = []
    for f, r in zip(finished, kept):
        at = np.searchsorted(nodes, r["nodes"])
        inside = np.isin(cuts[0], r["nodes"]) & np.isin(cuts[1], r["nodes"])
        per_part.append(run.submit("flood", work.flood, f, cuts[0][inside], cuts[1][inside], r["nodes"], codes[at],
                                   classes, dtype))
    routed = [run.submit("route", _route, p, offsets) for p in per_part]
    chunks, joined_chunks = [], []
    for c in range(len(offsets) - 1):
        pieces = [run.submit("route-piece", operator.getitem, r, c) for r in routed]
        size = int(offsets[c + 1] - offsets[c])
        joined = run.submit("labels", work.join_chunk, int(offsets[c]), size, dtype, *pieces)
        joined_chunks.append(joined)
        chunks.append(da.from_delayed(dask.delayed(joined), shape=(size,), dtype=dtype))
    run.wait(joined_chunks, "labels")
    return da.concatenate(chunks)


def _route(flooded, offsets):
    return work.route_to_chunks(flooded[0], flooded[1], offsets)


def _tree_arrays(run, finished, kept, cross):
    import dask
    import dask.array as da

    edges, lengths = [], []
    for f, r in zip(finished, kept):
        pair = run.submit("tree-edges", work.forest_edges, f)
        edges.append(da.from_delayed(dask.delayed(operator.getitem)(pair, 0), shape=(r["edges"], 2), dtype=np.int64))
        lengths.append(da.from_delayed(dask.delayed(operator.getitem)(pair, 1), shape=(r["edges"],), dtype=np.float64))
    between = np.sort(np.stack([cross["u"], cross["v"]], axis=1), axis=1)
    return (da.concatenate(edges + [da.from_array(between)]),
            da.concatenate(lengths + [da.from_array(cross["w"])]))
