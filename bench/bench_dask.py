"""The fit on a Dask LocalCluster against the one-machine fit, with worker memory below the data.

Uniform points in the unit square (or cube) (generated on the workers, chunk by chunk), a few of them
labelled by the quadrant they lie in. The Dask fit (brov.on_dask.fit) runs on a LocalCluster of
worker processes whose memory limit is smaller than the points and labels together (Dask spills
to disk above its thresholds); then the same points, gathered into this process, go through
BrovClustering(method="exact", n_trees=1, edge_weight="length", side_discount=0, scale=False).fit. Printed:
seconds per stage of each, each worker's peak resident memory, what reached the driver, and
whether the tree length and the labels agree.

    python bench/bench_dask.py                        # 10^7 points (several minutes)
    python bench/bench_dask.py --n 200000 --parts 4 --memory-limit 0   # quick, no limit
"""

import argparse
import resource
import time

import numpy as np

from halvek.algorithms.src.brov import BrovClustering


def peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def quadrant_labels(block, fraction, block_info=None):
    """-1 but for about ``fraction`` of the points, labelled 0..3 by their quadrant."""
    rng = np.random.default_rng(block_info[0]["chunk-location"][0])
    chosen = rng.random(len(block)) < fraction
    quadrant = (block[:, 0] > 0.5) * 2 + (block[:, 1] > 0.5)
    return np.where(chosen, quadrant, -1).astype(np.int64)


def points_and_labels(n, dims, chunk_rows, fraction, seed):
    import dask.array as da

    X = da.random.default_rng(seed).random((n, dims), chunks=(chunk_rows, dims))
    return X, X.map_blocks(quadrant_labels, fraction, drop_axis=1, dtype=np.int64)


def in_driver(client, array):
    """A dask array gathered one block at a time into this process (``compute()`` would join the
    blocks on one worker first, beyond its memory limit)."""
    return np.concatenate([client.compute(block).result() for block in array.to_delayed().ravel()])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10 ** 7)
    parser.add_argument("--parts", type=int, default=16)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--chunk-rows", type=int, default=500_000)
    parser.add_argument("--dims", type=int, default=2)
    parser.add_argument("--memory-limit", type=float, default=0.9,
                        help="per worker, as a share of the points' and labels' bytes (0: no limit)")
    parser.add_argument("--labelled", type=float, default=1e-5, help="share of the points labelled")
    parser.add_argument("--skip-one-machine", action="store_true")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    from halvek.algorithms.src.brov.on_dask import fit

    data_bytes = args.n * (args.dims * 8 + 8)
    limit = int(args.memory_limit * data_bytes) if args.memory_limit > 0 else 0
    print("%d points in %d-D, %d parts, %d worker processes of 1 thread, memory limit per worker %s "
          "(points and labels: %.0f MB)" % (args.n, args.dims, args.parts, args.workers,
                                           "%.0f MB" % (limit / 1e6) if limit else "none", data_bytes / 1e6))
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, memory_limit=limit,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        labelled = max(args.labelled, 20 / args.n)  # a few labels at small sizes too
        X, y = points_and_labels(args.n, args.dims, args.chunk_rows, labelled, seed=7)
        started = time.perf_counter()
        result = fit(X, y, client=client, n_parts=args.parts)
        total = time.perf_counter() - started
        labels = in_driver(client, result.labels)
        peaks = client.run(peak_rss_bytes)
        print("\nDask fit: %.1f s in all (labels left on the workers)" % total)
        for stage, seconds in result.timings.items():
            print("  %-12s %8.2f s" % (stage, seconds))
        for worker, peak in sorted(peaks.items()):
            print("  worker %s peak resident memory %.0f MB" % (worker, peak / 1e6))
        print("  edges that reached the driver: %d undecided or between parts, %d on paths between labels "
              "(tree: %d)" % (sum(p["uncertain"] + p["border edges"] for p in result.parts),
                              sum(p["kept"] for p in result.parts), args.n - 1))
        points = None if args.skip_one_machine else in_driver(client, X)
        y_local = None if args.skip_one_machine else in_driver(client, y)
    if points is None:
        return
    started = time.perf_counter()
    model = BrovClustering(method="exact", n_trees=1, edge_weight="length", side_discount=0, scale=False).fit(points, y_local)
    one = time.perf_counter() - started
    print("\nOne-machine fit: %.1f s in all" % one)
    for stage, seconds in model.timings_.items():
        print("  %-12s %8.2f s" % (stage, seconds))
    print("\ntree length: dask %.10g, one machine %.10g; labels equal: %s"
          % (result.tree_length, model.edge_lengths_.sum(), np.array_equal(labels, model.labels_)))


if __name__ == "__main__":
    main()
