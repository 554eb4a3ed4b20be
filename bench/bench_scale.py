"""Time and memory of ``BrovClustering().fit`` on 2-D points as n grows, one fresh process per size.

Workload (fixed seed): n 2-D points from 20 Gaussian blobs, 200 of them labelled with their blob's
class. Every size runs in a child process of its own, so that each peak is that fit's alone: the
child draws X (float64, C-contiguous) and y, notes its resident set, resets the kernel's peak
counter (/proc/self/clear_refs) and fits. Printed per size: each stage of ``timings_``, their sum,
the fit's wall time, the peak resident set of the child, and the memory the fit added beyond
what the child held before it (interpreter, X and y) in bytes per point.

    python bench/bench_scale.py                 # n = 10^6, 4*10^6, 10^7
    python bench/bench_scale.py --huge          # and 10^8 (about 14 GB free needed)
    python bench/bench_scale.py --sizes 100000  # other sizes
    python bench/bench_scale.py --jobs 2        # n_jobs of the fit (default 1, the estimator's own)
    python bench/bench_scale.py --trees 1       # n_trees of the fit (default "auto"; 1: the single tree)
"""

import argparse
import json
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak():
    """Sets the kernel's peak resident set to the current one; False where that is not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


class Sampler(threading.Thread):
    """Samples the resident set every few milliseconds: the peak where clear_refs is refused, and
    with --trace the resident set at each moment of the fit."""

    def __init__(self, period=0.01):
        super().__init__(daemon=True)
        self.period, self.samples, self.running = period, [], True
        self.start_time = time.perf_counter()

    def run(self):
        while self.running:
            self.samples.append((time.perf_counter() - self.start_time, status_kib("VmRSS")))
            time.sleep(self.period)


def blobs(n, seed=0, classes=20, labelled=200):
    import numpy as np

    rng = np.random.default_rng(seed)
    centers = rng.uniform(-100, 100, size=(classes, 2))
    blob = rng.integers(0, classes, n).astype(np.int8)
    X = rng.standard_normal((n, 2))
    X += centers[blob]
    y = np.full(n, -1, dtype=np.int64)
    chosen = rng.choice(n, size=labelled, replace=False)
    y[chosen] = blob[chosen]
    del blob
    return X, y


def child(n, jobs, trace, trees):
    import numpy as np

    from halvek.algorithms.src.brov import BrovClustering

    BrovClustering(n_jobs=jobs, n_trees=trees).fit(*blobs(20000))  # loads the modules outside the measured fit
    X, y = blobs(n)
    before = status_kib("VmRSS")
    exact_peak = reset_peak()
    sampler = Sampler()
    sampler.start()
    start = time.perf_counter()
    model = BrovClustering(n_jobs=jobs, n_trees=trees).fit(X, y)
    wall = time.perf_counter() - start
    sampler.running = False
    sampler.join()
    peak = status_kib("VmHWM") if exact_peak else max(kib for _, kib in sampler.samples)
    result = {"n": n, "trees": model.n_iter_, "wall": wall, "timings": model.timings_, "before_kib": before,
              "peak_kib": peak, "x_bytes": X.nbytes, "y_bytes": y.nbytes, "labels_crc": int(np.bitwise_xor.reduce(
                  np.arange(n, dtype=np.int64) * (model.labels_.astype(np.int64) + 2)))}
    if trace:
        result["trace"] = sampler.samples[::max(1, len(sampler.samples) // 400)]
    print(json.dumps(result))


def run_size(n, jobs, trace, trees):
    # The child imports the package this process would (PYTHONPATH=. for a built checkout), never an
    # unbuilt checkout behind the installed one.
    args = [sys.executable, os.path.abspath(__file__), "--child", str(n), "--jobs", str(jobs), "--trees", str(trees)]
    done = subprocess.run(args + (["--trace"] if trace else []), capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit("n=%d failed (exit %d):\n%s" % (n, done.returncode, done.stderr))
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10**6, 4 * 10**6, 10**7])
    parser.add_argument("--huge", action="store_true", help="add n = 10^8")
    parser.add_argument("--jobs", type=int, default=1, help="n_jobs of the fit")
    parser.add_argument("--trace", action="store_true", help="print the resident set during each fit")
    parser.add_argument("--trees", type=lambda v: v if v == "auto" else int(v), default="auto",
                        help="n_trees of the fit (default 'auto'; 1 gives the single tree's figures)")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        return child(options.child, options.jobs, options.trace, options.trees)
    sizes = options.sizes + ([10**8] if options.huge else [])
    results = []
    for n in sizes:
        results.append(run_size(n, options.jobs, options.trace, options.trees))
        r = results[-1]
        if options.trace:
            print("n=%d resident MiB over the fit: %s" % (n, " ".join(
                "%.1f:%d" % (t, kib // 1024) for t, kib in r["trace"])))
        print("n=%d done: fit %.2f s, peak %.0f MiB" % (n, r["wall"], r["peak_kib"] / 1024), file=sys.stderr)
    stages = []
    for r in results:
        stages += [s for s in r["timings"] if s not in stages]
    print("BrovClustering(n_trees=%r).fit on 2-D blobs (200 labelled), n_jobs=%d, one process per size"
          % (options.trees, options.jobs))
    print("| n | trees | " + " | ".join(stages) + " | sum of stages | fit wall s | peak RSS MiB | X MiB | "
          "added bytes/point |")
    print("| ---: " * (len(stages) + 7) + "|")
    for r in results:
        added = (r["peak_kib"] - r["before_kib"]) * 1024.0 / r["n"]
        print("| %d | %d | " % (r["n"], r["trees"]) + " | ".join("%.2f" % r["timings"][s] if s in r["timings"] else "-" for s in stages)
              + " | %.2f | %.2f | %.0f | %.0f | %.0f |" % (sum(r["timings"].values()), r["wall"],
                                                           r["peak_kib"] / 1024, r["x_bytes"] / 2**20, added))
    base = results[0]
    for r in results[1:]:
        print("fit at n=%d / fit at n=%d: %.1fx (n %.0fx)" % (r["n"], base["n"], r["wall"] / base["wall"],
                                                               r["n"] / base["n"]))
    print("labels crc: " + " ".join("%d:%d" % (r["n"], r["labels_crc"]) for r in results))


if __name__ == "__main__":
    main()
