"""cluster_graph on k-nearest-neighbour graphs (with cycles) against SciPy's
minimum spanning tree of the same graph, which it computes first.

    python bench/bench_cluster_graph.py [--sizes 10000 100000] [--k 5] [--runs 5]

Prints the median of --runs runs for each size.
"""

import argparse
import statistics
import time

import numpy as np
import scipy.sparse as sp
from scipy.sparse.csgraph import minimum_spanning_tree
from scipy.spatial import cKDTree

from halvek.algorithms.src.brov import cluster_graph
from halvek.algorithms.src.brov.trees.csgraph import for_csgraph


def knn_graph(X, k):
    distance, index = cKDTree(X).query(X, k=k + 1)
    rows = np.repeat(np.arange(len(X)), k)
    graph = sp.csr_array((distance[:, 1:].ravel(), (rows, index[:, 1:].ravel())), shape=(len(X), len(X)))
    return for_csgraph(graph.maximum(graph.T))


def median_seconds(call, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--k", type=int, default=5)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    for n in args.sizes:
        X = rng.normal(size=(n, 2))
        X[n // 2:] += 4
        graph = knn_graph(X, args.k)
        y = np.full(n, -1)
        y[rng.choice(n, 20, replace=False)] = np.arange(20) % 4
        mst = median_seconds(lambda: minimum_spanning_tree(graph), args.runs)
        clustered = median_seconds(lambda: cluster_graph(graph, y), args.runs)
        print("k-NN graph  n=%9d  edges=%9d  minimum_spanning_tree %7.3f s  cluster_graph %7.3f s  ratio %5.2f"
              % (n, graph.nnz // 2, mst, clustered, clustered / mst))


if __name__ == "__main__":
    main()
