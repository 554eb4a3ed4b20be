"""The Euclidean minimum spanning tree and BrovClustering.fit, against other ways to get there.

One process, one table. For each data set (fixed seeds):

* tree alone: this project's exact tree (euclidean_mst, method="auto"), SciPy's route (Qhull
  Delaunay triangulation + scipy.sparse.csgraph.minimum_spanning_tree, 2-D only) and the k-NN
  approximation (euclidean_mst, method="knn"), with the total length of each tree;
* fit end to end: BrovClustering.fit with 1% of each class labelled, scikit-learn's
  LabelSpreading (kNN kernel, k=7, default alpha) and fast_hdbscan's semi-supervised HDBSCAN, the
  last two only where installed (neither is a dependency); the ARI is against the true classes.

Every figure is from one run. Seconds are wall-clock; memory is the peak resident set during the
call minus the resident set before it (Linux).

    python bench/bench_tree.py              # full run (several minutes)
    python bench/bench_tree.py --scale 0.01 # the same sets, 100 times smaller
    python bench/bench_tree.py --crossover 16 32 64 128 384 784 --sizes 10000 20000 40000
    python bench/bench_tree.py --embeddings  # the embedding case against LabelSpreading and 1-NN
    python bench/bench_tree.py --threads 1 2 -1       # BrovClustering(n_trees=1, n_jobs=J).fit
    python bench/bench_tree.py --plane 5  # 10^6 uniform points in the plane, best of 5 each side
    python bench/bench_tree.py --plane-jobs 3  # the plane's tree alone, n_jobs 1 and 2 (--scale 10: 10^7)
    python bench/bench_tree.py --dense 3  # 20,000 x 128, 10 blobs: the blocked exact tree, best of 3
"""

import argparse
import time

import numpy as np
from bench_clusterize import peak_bytes, release_free_memory, reset_peak, rss_bytes

from halvek.algorithms.src.brov import BrovClustering, adjusted_rand_score, euclidean_mst
from halvek.algorithms.src.brov.trees.csgraph import graph_from_edges


def uniform(n, d, rng):
    X = rng.random((n, d))
    # Four quadrants as classes: the tree has no gaps to find, fit just has to run.
    return X, (X[:, 0] > 0.5).astype(int) * 2 + (X[:, 1] > 0.5)


def separated_blobs(n, d, blobs, rng):
    centers = rng.uniform(-30, 30, size=(blobs, d))
    truth = rng.integers(0, blobs, n)
    return centers[truth] + rng.normal(size=(n, d)), truth


def some_labels(truth, fraction, rng):
    """A random `fraction` of each class labelled (at least two points of each)."""
    y = np.full(len(truth), -1)
    for c in np.unique(truth):
        members = np.flatnonzero(truth == c)
        y[rng.choice(members, max(2, int(fraction * len(members))), replace=False)] = c
    return y


def measured(function, *args, **kwargs):
    """(result, seconds, extra MiB) of one call."""
    release_free_memory()
    before = rss_bytes()
    known = reset_peak()
    start = time.perf_counter()
    result = function(*args, **kwargs)
    seconds = time.perf_counter() - start
    extra = (peak_bytes() - before) / 2**20 if known else float("nan")
    return result, seconds, max(extra, 0.0)


def scipy_delaunay_tree(X):
    """The exact 2-D tree through Qhull: triangulate (points in Z-order, which Qhull handles
    markedly faster), take the triangle sides, minimum_spanning_tree over them."""
    from scipy.sparse.csgraph import minimum_spanning_tree
    from scipy.spatial import Delaunay

    lo, span = X.min(axis=0), np.ptp(X, axis=0)
    q = ((X - lo) / np.where(span > 0, span, 1) * 65535).astype(np.uint64)

    def spread(v):
        for shift, mask in ((8, 0x00FF00FF), (4, 0x0F0F0F0F), (2, 0x33333333), (1, 0x55555555)):
            v = (v | (v << np.uint64(shift))) & np.uint64(mask)
        return v

    order = np.argsort(spread(q[:, 0]) | (spread(q[:, 1]) << np.uint64(1)), kind="stable")
    s = order[Delaunay(X[order]).simplices]
    a = np.concatenate([s[:, 0], s[:, 1], s[:, 0]])
    b = np.concatenate([s[:, 1], s[:, 2], s[:, 2]])
    n = len(X)
    keys = np.sort(np.minimum(a, b).astype(np.int64) * n + np.maximum(a, b))  # each side once
    keys = keys[np.r_[True, keys[1:] != keys[:-1]]]
    a, b = keys // n, keys % n
    lengths = np.hypot(*(X[a] - X[b]).T)
    tree = minimum_spanning_tree(graph_from_edges(lengths, a, b, len(X)))
    return tree.sum()


def label_spreading(X, y):
    from sklearn.semi_supervised import LabelSpreading

    return LabelSpreading(kernel="knn", n_neighbors=7).fit(X, y).transduction_


def fast_hdbscan_semi_supervised(X, y):
    import fast_hdbscan

    return fast_hdbscan.HDBSCAN(semi_supervised=True).fit(X, y).labels_


def installed(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def row(data, task, route, seconds, memory, detail):
    print(f"| {data} | {task} | {route} | {seconds:.2f} | {memory:.0f} | {detail} |", flush=True)


def run_set(name, X, truth, args, rng):
    d = X.shape[1]
    (edges, lengths, used), ours, memory = measured(euclidean_mst, X)
    row(name, "tree", f"brov ({used})", ours, memory, f"length {lengths.sum():.6g}")
    if d == 2:
        total, seconds, memory = measured(scipy_delaunay_tree, X)
        row(name, "tree", "SciPy Delaunay + MST", seconds, memory,
            f"length {total:.6g}; {seconds / ours:.1f} x brov")
    if not args.skip_knn:
        (_, lengths, _), seconds, memory = measured(euclidean_mst, X, method="knn")
        row(name, "tree", "k-NN route (k=10)", seconds, memory,
            f"length {lengths.sum():.6g}; {seconds / ours:.1f} x brov")

    y = some_labels(truth, args.labelled, rng)
    model, ours, memory = measured(BrovClustering().fit, X, y)
    row(name, "fit", "BrovClustering", ours, memory, f"ARI {adjusted_rand_score(truth, model.labels_):.3f}")
    others = [("LabelSpreading (kNN, k=7)", "sklearn", label_spreading),
              ("fast_hdbscan semi-supervised", "fast_hdbscan", fast_hdbscan_semi_supervised)]
    for label, module, function in others:
        if module in args.skip or not installed(module):
            continue
        try:
            labels, seconds, memory = measured(function, X, y)
        except Exception as error:  # a competitor's failure is a result too
            print(f"| {name} | fit | {label} | - | - | failed: {type(error).__name__} |", flush=True)
            continue
        row(name, "fit", label, seconds, memory,
            f"ARI {adjusted_rand_score(truth, labels):.3f}; {seconds / ours:.1f} x brov")


def timed(function, *args):
    """(result, wall-clock seconds, CPU seconds of every thread of this process) of one call: on a
    shared machine the CPU seconds show the work whatever else runs."""
    cpu = time.process_time()
    result, seconds, _ = measured(function, *args)
    return result, seconds, time.process_time() - cpu


def crossover(args, rng):
    """The routes by dimension and size on 10 blobs and uniform points: the k-d tree's exact tree
    (up to 64 coordinates), the exact tree from blocked products, the approximate route (HNSW
    where faiss is installed; not with --skip-knn) and its excess length, and what "auto" picks."""
    from halvek.algorithms.src.brov.native import tree
    from halvek.algorithms.src.brov.trees.dense import dense_mst
    from halvek.algorithms.src.brov.trees.euclidean import _route

    print("| data | coordinates | points | k-d tree exact s (CPU s) | blocked exact s (CPU s) | approximate s | "
          "approximate length / exact | auto |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- |")
    for d, n, data in ((d, n, data) for d in args.crossover for n in args.sizes for data in args.data):
        n = max(200, int(n * args.scale))
        X = separated_blobs(n, d, 10, rng)[0] if data == "blobs" else rng.random((n, d))
        P = np.ascontiguousarray(X / np.abs(X).max())
        kd = "-"
        if d <= 64 and not args.skip_kd_tree:  # beyond, the k-d tree only gets slower
            _, seconds, cpu = timed(tree().euclidean_mst_edges, P)
            kd = f"{seconds:.2f} ({cpu:.2f})"
        edges, seconds, cpu = timed(dense_mst, P)
        blocked = f"{seconds:.2f} ({cpu:.2f})"
        exact_length = np.linalg.norm(X[edges[:, 0]] - X[edges[:, 1]], axis=1).sum()
        approximate = excess = "-"
        if not args.skip_knn:
            (_, lengths, route), seconds, _ = measured(euclidean_mst, X, method="knn")
            approximate, excess = f"{seconds:.2f} ({route})", f"{lengths.sum() / exact_length:.4f}"
        auto = _route("auto", n, d)
        print(f"| {data} | {d} | {n:,} | {kd} | {blocked} | {approximate} | {excess} | {auto} |", flush=True)


def embeddings(args, rng):
    """Embedding-like sets: 20,000 points in 10 Gaussian blobs in 128 coordinates with one label per
    blob, BrovClustering (default and one tree) against LabelSpreading's defaults and 1-NN on
    the labelled points, in one run; then a fit of 100,000 points in 384 coordinates."""
    from sklearn.neighbors import KNeighborsClassifier
    from sklearn.semi_supervised import LabelSpreading

    def one_nn(X, y):
        return KNeighborsClassifier(n_neighbors=1).fit(X[y >= 0], y[y >= 0]).predict(X)

    def spreading(X, y):
        return LabelSpreading().fit(X, y).transduction_

    print("| data | method | seconds | peak MiB | ARI | route |")
    print("| --- | --- | --- | --- | --- | --- |")
    for n, d, others in ((int(20000 * args.scale), 128, True), (int(100000 * args.scale), 384, False)):
        X, truth = separated_blobs(n, d, 10, rng)
        y = np.full(n, -1)
        y[[np.flatnonzero(truth == c)[0] for c in range(10)]] = range(10)
        name = f"{n:,} x {d}, 10 blobs, 10 labels"
        runs = [("BrovClustering()", lambda: BrovClustering(random_state=0).fit(X, y))]
        if others:  # above 20,000 points the default is one tree already
            runs += [("BrovClustering(n_trees=1)", lambda: BrovClustering(n_trees=1).fit(X, y))]
            runs += [("LabelSpreading()", lambda: spreading(X, y)),
                     ("LabelSpreading (kNN, k=7)", lambda: label_spreading(X, y)),
                     ("1-NN on the labelled", lambda: one_nn(X, y))]
        for label, run in runs:
            result, seconds, memory = measured(run)
            labels = result if isinstance(result, np.ndarray) else result.labels_
            route = "" if isinstance(result, np.ndarray) else result.tree_method_
            print(f"| {name} | {label} | {seconds:.2f} | {memory:.0f} | "
                  f"{adjusted_rand_score(truth, labels):.3f} | {route} |", flush=True)


def threads(args, rng):
    """One fit of 10^6 uniform points in the plane (times --scale) for each n_jobs."""
    X, truth = uniform(max(200, int(10**6 * args.scale)), 2, rng)
    y = some_labels(truth, args.labelled, rng)
    print(f"| n_jobs | fit s (n={len(X):,}, one tree) | tree s |")
    print("| --- | --- | --- |")
    for jobs in args.threads:
        model, seconds, _ = measured(BrovClustering(n_trees=1, n_jobs=jobs).fit, X, y)
        print(f"| {jobs} | {seconds:.2f} | {model.timings_['tree']:.2f} |", flush=True)


def best_of(runs, function, *args, **kwargs):
    """(result, the shortest wall-clock seconds of `runs` calls)."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        result = function(*args, **kwargs)
        best = min(best, time.perf_counter() - start)
    return result, best


def plane(args, rng):
    """The exact tree of 10^6 uniform points in the plane (times --scale), both cores: this
    project's against SciPy's Delaunay + MST, the best of --plane runs each, and their ratio."""
    X = rng.random((max(200, int(10**6 * args.scale)), 2))
    (_, lengths, used), ours = best_of(args.plane, euclidean_mst, X, n_jobs=2)
    total, scipy_seconds = best_of(args.plane, scipy_delaunay_tree, X)
    print(f"| points | brov ({used}) s | SciPy Delaunay + MST s | brov / SciPy | lengths equal |")
    print("| --- | --- | --- | --- | --- |")
    print(f"| {len(X):,} | {ours:.3f} | {scipy_seconds:.3f} | 1/{scipy_seconds / ours:.1f} | "
          f"{bool(np.isclose(lengths.sum(), total, rtol=1e-9))} |", flush=True)


def plane_jobs(args, rng):
    """The exact tree in the plane alone, with one thread and with two: 10^6 uniform points and
    10^6 points in 200 Gaussian blobs (times --scale), the best of --plane-jobs runs each."""
    n = max(200, int(10**6 * args.scale))
    centers = rng.uniform(-30, 30, size=(200, 2))
    sets = [("uniform", rng.random((n, 2))), ("200 blobs", centers[rng.integers(0, 200, n)] + rng.normal(size=(n, 2)))]
    print("| set | points | n_jobs | route | seconds |")
    print("| --- | --- | --- | --- | --- |")
    for name, X in sets:
        for jobs in (1, 2):
            (_, _, used), seconds = best_of(args.plane_jobs, euclidean_mst, X, n_jobs=jobs)
            print(f"| {name} | {n:,} | {jobs} | {used} | {seconds:.3f} |", flush=True)


def dense(args, rng):
    """The exact tree of 20,000 points in 10 Gaussian blobs in 128 coordinates (times --scale)
    from blocked products, best of --dense runs."""
    from halvek.algorithms.src.brov.trees.dense import DenseTree

    X, _ = separated_blobs(max(200, int(20000 * args.scale)), 128, 10, rng)
    (_, lengths, used), seconds = best_of(args.dense, euclidean_mst, X, method="exact")
    cpu = time.process_time()
    built = DenseTree(X / np.abs(X).max())
    cpu = time.process_time() - cpu
    print(f"| points x coordinates | route | s (best of {args.dense}) | CPU s of one more | passes | tree length |")
    print("| --- | --- | --- | --- | --- | --- |")
    print(f"| {len(X):,} x 128 | {used} | {seconds:.3f} | {cpu:.2f} | {built.passes} | {lengths.sum():.6g} |",
          flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every set's size")
    parser.add_argument("--labelled", type=float, default=0.01, help="fraction of each class labelled")
    parser.add_argument("--skip", nargs="*", default=[], choices=["sklearn", "fast_hdbscan"],
                        help="competitors to leave out even if installed")
    parser.add_argument("--skip-knn", action="store_true", help="leave out the k-NN route")
    parser.add_argument("--skip-kd-tree", action="store_true", help="--crossover without the k-d tree's exact tree")
    parser.add_argument("--crossover", type=int, nargs="+", metavar="D",
                        help="instead: the exact and approximate routes in these dimensions (16 32 64 128 384 784)")
    parser.add_argument("--sizes", type=int, nargs="+", default=[20000], metavar="N",
                        help="points per set for --crossover")
    parser.add_argument("--data", nargs="+", default=["blobs", "uniform"], choices=["blobs", "uniform"],
                        help="sets for --crossover: 10 Gaussian blobs, uniform in the unit cube")
    parser.add_argument("--embeddings", action="store_true",
                        help="instead: 20,000 x 128 and 100,000 x 384 blobs against LabelSpreading and 1-NN")
    parser.add_argument("--threads", type=int, nargs="+", metavar="J",
                        help="instead: one fit of 10^6 points in the plane with each n_jobs")
    parser.add_argument("--plane", type=int, metavar="RUNS",
                        help="instead: 10^6 uniform points in the plane against SciPy, best of RUNS each")
    parser.add_argument("--plane-jobs", type=int, metavar="RUNS",
                        help="instead: the tree of 10^6 uniform and blob points in the plane, n_jobs 1 and 2")
    parser.add_argument("--dense", type=int, metavar="RUNS",
                        help="instead: the exact tree of 20,000 x 128 (10 blobs) from blocked products")
    args = parser.parse_args()
    rng = np.random.default_rng(20261208)
    for chosen, run in ((args.plane, plane), (args.plane_jobs, plane_jobs), (args.dense, dense),
                        (args.embeddings, embeddings), (args.crossover, crossover), (args.threads, threads)):
        if chosen:
            run(args, rng)
            return

    def size(n):
        return max(200, int(n * args.scale))

    sets = [
        ("2-D uniform", lambda: uniform(size(10**6), 2, rng)),
        ("2-D, 3 blobs", lambda: separated_blobs(size(10**5), 2, 3, rng)),
        ("2-D, 10 blobs", lambda: separated_blobs(size(10**6), 2, 10, rng)),
        ("3-D, 5 blobs", lambda: separated_blobs(size(10**5), 3, 5, rng)),
        ("10-D, 10 blobs", lambda: separated_blobs(size(10**5), 10, 10, rng)),
    ]
    if "fast_hdbscan" not in args.skip and installed("fast_hdbscan"):
        # Its first call compiles (numba); time that apart from the table.
        X, truth = separated_blobs(500, 2, 2, rng)
        start = time.perf_counter()
        try:
            fast_hdbscan_semi_supervised(X, some_labels(truth, 0.01, rng))
        except Exception:
            pass  # the table says how it fares
        print(f"fast_hdbscan warm-up (compilation, before the table): {time.perf_counter() - start:.1f} s")
    print("| data | task | route | seconds | peak MiB | result |")
    print("| --- | --- | --- | --- | --- | --- |")
    for name, make in sets:
        X, truth = make()
        run_set(f"{name}, n={len(X):,}", X, truth, args, rng)


if __name__ == "__main__":
    main()
