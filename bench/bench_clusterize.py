"""How long clusterize takes on large trees, against one SciPy pass over the same tree.

Workloads (fixed seeds): a random tree of 10^6 nodes, and the Euclidean minimum spanning trees of
10^5 and 10^6 2-D points drawn from Gaussian blobs; 1% of the nodes labelled from 10 classes.
For each: clusterize time, scipy.sparse.csgraph.connected_components time on the same tree as
SciPy's own minimum_spanning_tree returns it (one entry per edge, 32-bit indices: the cheapest
form SciPy takes it in) and their ratio (best of three runs on both sides), and the memory clusterize adds (peak resident set during the
call minus the resident set before it) against the memory of the input containers. The random tree
is clustered three ways: in containers bulk-loaded by graph_pair, in containers filled edge by edge
with GraphWrapper.append, and as an edge list by _bulk.cluster_edges (no containers; the time
includes laying out the lists). Then the speed-up over the pure-Python model of the algorithm
(tests/model.py) on a 3,000-node random tree.

    python bench/bench_clusterize.py            # full run (a few minutes)
    python bench/bench_clusterize.py --smoke    # tiny sizes, for CI
"""

import argparse
import os
import sys
import time
import zlib

import numpy as np
import scipy.sparse as sp
from scipy.sparse.csgraph import connected_components, minimum_spanning_tree

from halvek.algorithms.src.brov import euclidean_mst, graph_pair
from halvek.algorithms.src.brov.binaries import _bulk
from halvek.algorithms.src.brov.binaries import brov_core as bc

from bench_users import load_by_append  # containers filled edge by edge with append

HERE = os.path.dirname(os.path.abspath(__file__))


def random_tree(n, rng):
    parents = (rng.random(n - 1) * np.arange(1, n)).astype(np.int64)
    return np.stack([parents, np.arange(1, n)], axis=1), rng.random(n - 1)


def blob_tree(n, rng):
    centers = rng.normal(scale=10.0, size=(10, 2))
    X = centers[rng.integers(0, 10, n)] + rng.normal(size=(n, 2))
    edges, lengths, _ = euclidean_mst(X)
    return edges, lengths


def as_matrix(n, edges, weights):
    rows = np.concatenate([edges[:, 0], edges[:, 1]])
    cols = np.concatenate([edges[:, 1], edges[:, 0]])
    data = np.concatenate([weights, weights]).astype(np.float64)
    matrix = sp.csr_array((data, (rows, cols)), shape=(n, n))
    # 32-bit indices, as SciPy's csgraph works on them (older releases refuse 64-bit ones)
    matrix.indices, matrix.indptr = matrix.indices.astype(np.int32), matrix.indptr.astype(np.int32)
    return matrix


def some_labels(n, rng, fraction=0.01, classes=10):
    labels = np.full(n, -1, dtype=np.int8)
    chosen = rng.choice(n, size=max(2, int(n * fraction)), replace=False)
    labels[chosen] = rng.integers(0, classes, size=len(chosen))
    return labels


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def release_free_memory():
    """Hands freed heap memory back to the system (glibc), so that the resident set before the call
    holds no free room that the call could reuse unseen."""
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def reset_peak():
    """Resets the kernel's peak resident set of this process (Linux)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def container_bytes(connections, weights=None):
    sizes = np.array([len(a) for a in connections.to_numpy_all()], dtype=np.int64)
    entries = int(sizes.sum())
    # element storage of both containers plus their per-list tables (pointer, size, room)
    return entries * (8 + 4) + 2 * len(sizes) * (8 + 4 + 4)


def measure(name, n, edges, weights, rng, repeats, fill="bulk"):
    """Times are the best of `repeats` runs (clusterize on a freshly filled pair each time); the
    memory figure is from the first run. fill: "bulk" (graph_pair), "append" or "edges"."""
    matrix = as_matrix(n, edges, weights)
    tree = minimum_spanning_tree(matrix)  # the tree as SciPy hands it on: one direction, int32
    labels = some_labels(n, rng)
    scipy_times, cluster_times, loads = [], [], []
    extra = footprint = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        connected_components(tree, directed=False)
        scipy_times.append(time.perf_counter() - t0)

        t0 = time.perf_counter()
        if fill == "edges":
            connections = weight_lists = None
        elif fill == "append":
            connections, weight_lists = load_by_append(edges, weights, n)
        else:
            connections, weight_lists = graph_pair(matrix)
        loads.append(time.perf_counter() - t0)
        if footprint is None:
            footprint = container_bytes(*graph_pair(matrix)) if fill == "edges" else container_bytes(connections)

        release_free_memory()
        before = rss_bytes()
        peak_known = reset_peak()
        t0 = time.perf_counter()
        if fill == "edges":
            new_labels, _ = _bulk.cluster_edges(edges, weights, labels)
        else:
            _, _, new_labels = bc.clusterize(connections, weight_lists, labels)
        cluster_times.append(time.perf_counter() - t0)
        if extra is None:
            extra = max(0, peak_bytes() - before) if peak_known else float("nan")
        del connections, weight_lists
    load, scipy_time, cluster_time = (float(np.min(t)) for t in (loads, scipy_times, cluster_times))

    labelled = int((new_labels != -1).sum())
    name = f"{name} ({fill})"
    print(f"{name:<26} n={n:>9,}  load {load:7.3f} s  clusterize {cluster_time:7.3f} s  "
          f"connected_components {scipy_time:7.3f} s  ratio {cluster_time / scipy_time:6.2f}  "
          f"extra memory {extra / 2**20:7.1f} MiB = {extra / footprint:5.2f} x containers "
          f"({footprint / 2**20:.1f} MiB)  labelled after: {labelled:,}  labels crc {zlib.crc32(new_labels.tobytes()):08x}")
    return cluster_time


def model_speedup(n, rng):
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
    import model

    edges, weights = random_tree(n, rng)
    labels = some_labels(n, rng)
    matrix = as_matrix(n, edges, weights.astype(np.float32))
    indptr, indices, data = matrix.indptr, matrix.indices, matrix.data

    mc = model.ModelGraphWrapper(n, 0, n)
    mw = model.ModelGraphWrapper(n, 1, n)
    for i in range(n):
        for k in range(indptr[i], indptr[i + 1]):
            mc.append(i, int(indices[k]))
            mw.append(i, float(data[k]))
    sys.setrecursionlimit(max(10000, 4 * n))
    t0 = time.perf_counter()
    _, _, expected = model.clusterize(mc, mw, labels)
    model_time = time.perf_counter() - t0

    connections, weight_lists = graph_pair(matrix)
    t0 = time.perf_counter()
    _, _, got = bc.clusterize(connections, weight_lists, labels)
    native_time = time.perf_counter() - t0
    same = np.array_equal(got, expected)
    print(f"pure-Python model n={n:,}: {model_time:.3f} s; brov_core: {native_time * 1e3:.3f} ms; "
          f"speed-up {model_time / native_time:,.0f}x; same labels: {same}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="tiny sizes, checks the script runs")
    parser.add_argument("--repeats", type=int, default=3, help="runs per timing; the best is printed")
    args = parser.parse_args()
    big, medium, small = (2000, 500, 300) if args.smoke else (10**6, 10**5, 3000)
    repeats = 1 if args.smoke else args.repeats
    rng = np.random.default_rng(20261207)
    tree = random_tree(big, rng)
    for fill in ("bulk", "append", "edges"):
        measure("random tree", big, *tree, np.random.default_rng(7), repeats, fill)
    measure("blob EMST", medium, *blob_tree(medium, rng), rng, repeats)
    measure("blob EMST", big, *blob_tree(big, rng), rng, repeats)
    model_speedup(small, rng)


if __name__ == "__main__":
    main()
