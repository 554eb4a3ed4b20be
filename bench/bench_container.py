"""Cost of GraphWrapper storage: time and resident-memory growth of

1. constructing GraphWrapper(n, INT64, n) and GraphWrapper(n, FLOAT32, n), i.e. n lists of
   capacity 3n each (3 * 10^12 elements for n = 10^6 if the room were reserved up front);
2. filling an n-node chain (n - 1 edges, each stored in both directions) into such a pair with
   `append` from Python;
3. reading it back with `to_numpy_all`, and releasing the pair.

Resident and virtual memory are read from /proc/self/statm before and after each step (the
per-list tables are zeroed pages that become resident only when first written).

    python bench/bench_container.py             # n = 10^6
    python bench/bench_container.py --n 100000
"""

import argparse
import gc
import os
import resource
import sys
import time

try:
    from halvek.algorithms.src.brov.binaries import brov_core as bc
except ImportError:  # run from a checkout with the module built into binaries/
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from halvek.algorithms.src.brov.binaries import brov_core as bc

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def vm_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * PAGE


def mib(nbytes):
    return nbytes / 2 ** 20


class Step:
    def __init__(self, label):
        self.label = label

    def __enter__(self):
        gc.collect()
        self.rss = rss_bytes()
        self.vm = vm_bytes()
        self.t = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.t
        self.growth = rss_bytes() - self.rss
        vm_growth = vm_bytes() - self.vm
        print(f"{self.label:<52} {self.seconds:9.3f} s   RSS {mib(self.growth):+9.1f} MiB"
              f"   virtual {mib(vm_growth):+9.1f} MiB")
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10 ** 6)
    n = parser.parse_args().n
    print(f"n = {n}, page size {PAGE} bytes, RSS at start {mib(rss_bytes()):.1f} MiB")

    with Step(f"GraphWrapper({n}, INT64, {n})") as s:
        conn = bc.GraphWrapper(n, 0, n)
    per_list = s.growth / n
    with Step(f"GraphWrapper({n}, FLOAT32, {n})"):
        weights = bc.GraphWrapper(n, 1, n)
    print(f"  construction: {per_list:.1f} bytes per list (capacity {3 * n} elements per list)")

    append_c, append_w = conn.append, weights.append
    with Step(f"fill a {n}-node chain ({4 * (n - 1)} appends)") as s:
        for i in range(n - 1):
            append_c(i, i + 1)
            append_w(i, 1.0)
            append_c(i + 1, i)
            append_w(i + 1, 1.0)
    stored = 2 * (n - 1)
    print(f"  fill: {s.seconds / (4 * (n - 1)) * 1e9:.0f} ns per append, "
          f"{s.growth / stored:.1f} bytes of RSS per stored (neighbour, weight) entry")

    with Step("to_numpy_all on both containers") as s:
        lists_c = conn.to_numpy_all()
        lists_w = weights.to_numpy_all()
    assert sum(len(a) for a in lists_c) == stored and sum(len(a) for a in lists_w) == stored
    del lists_c, lists_w

    with Step("release the pair"):
        del conn, weights, append_c, append_w

    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"peak RSS of the process {mib(peak):.1f} MiB")


if __name__ == "__main__":
    main()
