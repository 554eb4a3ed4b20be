"""How long clusterize takes when it goes by name: containers that are not exact GraphWrapper
objects, and module functions rebound to Python wrappers, so that every neighbour list, removal
and nested search is a call from the native code into Python objects.

Workload (fixed seed): a random tree of 2,000 nodes, 1% of the nodes labelled from 4 classes.
Cases:
  subclass           a GraphWrapper subclass with no overrides (methods reached by name)
  override           a subclass whose to_numpy, pop and append are Python methods calling the base
  rebound functions  exact containers, with find_all_paths_with_labels and make_labels rebound to
                     pass-through Python functions that call the module's own (nested calls in
                     both directions, positional and by keyword)
Each line gives the median seconds per clusterize call over --runs runs, and the labels' CRC so
that runs of different builds can be compared for the same result.

    python bench/bench_generic_route.py
    python bench/bench_generic_route.py --n 500 --runs 1     # quick
"""

import argparse
import statistics
import time
import zlib

import numpy as np

from halvek.algorithms.src.brov.binaries import brov_core as bc


class Subclassed(bc.GraphWrapper):
    """No overrides: only moves the calls onto the generic route."""


class Overriding(bc.GraphWrapper):
    def to_numpy(self, index):
        return super().to_numpy(index)

    def pop(self, list_index, element_index):
        return super().pop(list_index, element_index)

    def append(self, index, value):
        return super().append(index, value)


def random_tree(n, rng):
    parents = (rng.random(n - 1) * np.arange(1, n)).astype(np.int64)
    return list(zip(parents.tolist(), range(1, n), rng.random(n - 1).tolist()))


def fill(cls, n, edges):
    conn, weights = cls(n, 0, n), cls(n, 1, n)
    for a, b, w in edges:
        for x, y in ((a, b), (b, a)):
            conn.append(x, y)
            weights.append(x, w)
    return conn, weights


def labelled(n, rng):
    labels = np.full(n, -1, dtype=np.int8)
    chosen = rng.choice(n, size=max(2, n // 100), replace=False)
    labels[chosen] = np.arange(len(chosen)) % 4
    return labels


class Rebound:
    """Rebinds two module functions to Python wrappers around the module's own for the duration."""

    def __enter__(self):
        self.find, self.fill = bc.find_all_paths_with_labels, bc.make_labels
        find, fill_component = self.find, self.fill

        def find_wrapper(connections_sparse, labels, start, bomb_node=-1, path=None):
            return find(connections_sparse, labels, start, bomb_node=bomb_node, path=path)

        def fill_wrapper(connections_sparse, node, label, visited, labels):
            return fill_component(connections_sparse, node, label, visited, labels)

        bc.find_all_paths_with_labels, bc.make_labels = find_wrapper, fill_wrapper
        return self

    def __exit__(self, *exc):
        bc.find_all_paths_with_labels, bc.make_labels = self.find, self.fill


def time_case(cls, n, edges, labels, runs, rebound=False):
    seconds, crc = [], None
    for _ in range(runs):
        conn, weights = fill(cls, n, edges)
        started = time.perf_counter()
        if rebound:
            with Rebound():
                _, _, new = bc.clusterize(conn, weights, labels)
        else:
            _, _, new = bc.clusterize(conn, weights, labels)
        seconds.append(time.perf_counter() - started)
        crc = zlib.crc32(new.tobytes())
    return statistics.median(seconds), crc


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=2000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    edges = random_tree(args.n, rng)
    labels = labelled(args.n, rng)
    print(f"random tree n={args.n}, {int((labels >= 0).sum())} labelled nodes, median of {args.runs} runs")
    for name, cls, rebound in (("subclass", Subclassed, False), ("override", Overriding, False),
                               ("rebound functions", bc.GraphWrapper, True)):
        seconds, crc = time_case(cls, args.n, edges, labels, args.runs, rebound)
        print(f"{name:18s} {seconds:9.4f} s per clusterize   labels crc {crc:08x}")


if __name__ == "__main__":
    main()
