"""``brov demo``: generated blobs, a few labels per blob, the clusters and a picture."""

import os
import time

import numpy as np

from ..metrics import adjusted_rand_score
from .common import CliError, fit_estimator, save_csv, summary, write_atomically

def make_blobs(n, centers, seed, spread=1.0):
    """n points in `centers` Gaussian blobs in the plane, centres at least
    five spreads apart. Returns (points, blob index of each point)."""
    rng = np.random.default_rng(seed)
    chosen = []
    while len(chosen) < centers:
        candidate = rng.uniform(-4.0 * centers ** 0.5, 4.0 * centers ** 0.5, size=2) * spread * 1.5
        if all(np.hypot(*(candidate - c)) >= 5.0 * spread for c in chosen):
            chosen.append(candidate)
    truth = np.arange(n) % centers
    rng.shuffle(truth)
    points = np.array(chosen)[truth] + rng.normal(scale=spread, size=(n, 2))
    return points, truth


def pick_labelled(truth, per_class, seed):
    """-1 everywhere but `per_class` random points of each class, which keep their class."""
    rng = np.random.default_rng(seed + 1)
    given = np.full(len(truth), -1, dtype=np.int64)
    for c in np.unique(truth):
        members = np.flatnonzero(truth == c)
        chosen = rng.choice(members, size=min(per_class, len(members)), replace=False)
        given[chosen] = c
    return given


def run_demo(args, progress):
    if args.n < 2:
        raise CliError("--n must be at least 2")
    if args.centers < 1 or args.labelled < 1:
        raise CliError("--centers and --labelled must be at least 1")
    try:
        from .plot import require_matplotlib

        require_matplotlib()
        can_plot = True
    except ImportError as error:
        can_plot = False
        plot_note = str(error)
    out = args.out
    if os.path.exists(out) and not os.path.isdir(out):
        raise CliError("--out %s exists and is not a folder" % out)
    os.makedirs(out, exist_ok=True)

    start = time.perf_counter()
    X, truth = make_blobs(args.n, args.centers, args.seed)
    given = pick_labelled(truth, args.labelled, args.seed)
    before = [("data", time.perf_counter() - start)]
    extra = []
    progress("generated %d points in %d blobs" % (args.n, args.centers))
    estimator = fit_estimator(X, given, args, progress, "auto")

    csv_path = os.path.join(out, "labels.csv")
    png_path = os.path.join(out, "clusters.png")
    if can_plot:
        from .plot import plot_clusters

        start = time.perf_counter()
        write_atomically(png_path, lambda target: plot_clusters(
            target, X, estimator.labels_, given, estimator.edges_, estimator.cut_edges_,
            title="brov demo: %d points, %d blobs, %d labelled" % (args.n, args.centers, int(np.sum(given != -1)))))
        extra.append(("plot", time.perf_counter() - start))
    save_csv(csv_path, [X[:, 0], X[:, 1], truth, given, estimator.labels_],
              ["x", "y", "blob", "given", "cluster"], ["%.6f", "%.6f", "%d", "%d", "%d"])

    lines = ["brov demo: %d blobs, %d labelled point(s) per blob" % (args.centers, args.labelled)]
    lines += summary(estimator, X, given, before, extra)
    lines.append("agreement with the true blobs (adjusted Rand index): %.4f"
                 % adjusted_rand_score(truth, estimator.labels_))
    lines.append("wrote %s" % csv_path)
    if can_plot:
        lines.append("wrote %s" % png_path)
    else:
        lines.append("skipped clusters.png: %s" % plot_note)
    print("\n".join(lines))
    return 0


def add_parser(sub, common):
    demo = sub.add_parser("demo", help="cluster generated blobs and draw them",
                          description="Generate Gaussian blobs, label a few points per blob, cluster them, "
                                      "write labels.csv and clusters.png into --out and print a summary.")
    demo.add_argument("--n", type=int, default=1000, help="number of points (default 1000)")
    demo.add_argument("--centers", type=int, default=4, help="number of blobs (default 4)")
    demo.add_argument("--labelled", type=int, default=2, help="labelled points per blob (default 2)")
    demo.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    demo.add_argument("--out", default="brov-demo", help="output folder (default ./brov-demo)")
    common(demo)
    return demo
