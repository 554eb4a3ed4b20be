"""What a user pays: bulk loading against clusterize on a large tree, clusterize
against the number of labelled nodes, and brov against scikit-learn's
LabelSpreading (kNN kernel) on the demo's blobs.

    python bench/bench_users.py [--nodes 1000000] [--append-nodes 100000] [--seeds 5]
                                [--scaling-nodes 100000] [--scaling-labels 10 100 1000]

Prints its figures; the only check is that the package's adjusted Rand index
agrees with scikit-learn's. The LabelSpreading comparison is
skipped when scikit-learn is not installed (it is not a dependency of the
package).
"""

import argparse
import platform
import time
import warnings

import numpy as np

from halvek.algorithms.src.brov import BrovClustering, adjusted_rand_score, euclidean_mst, graph_pair, graph_to_csr
from halvek.algorithms.src.brov.binaries import brov_core
from halvek.algorithms.src.brov.cli.demo import make_blobs, pick_labelled
from halvek.algorithms.src.brov.trees.csgraph import edge_ranks, symmetric_csr


def timed(function, *args, **kwargs):
    start = time.perf_counter()
    result = function(*args, **kwargs)
    return result, time.perf_counter() - start


def load_by_append(edges, weights, n):
    """The way without the loader: four append calls per edge from Python."""
    degree = np.bincount(edges.reshape(-1), minlength=n)
    max_size = int(degree.max() + 2 + 2) // 3
    connections = brov_core.GraphWrapper(n, 0, max_size)
    weight_lists = brov_core.GraphWrapper(n, 1, max_size)
    for (a, b), w in zip(edges.tolist(), weights.tolist()):
        connections.append(a, b)
        connections.append(b, a)
        weight_lists.append(a, w)
        weight_lists.append(b, w)
    return connections, weight_lists


def large_tree(args):
    n = args.nodes
    rng = np.random.default_rng(0)
    X = rng.random((n, 2))
    (edges, lengths, used), t_tree = timed(euclidean_mst, X, method=args.method)
    ranks = edge_ranks(edges, lengths)
    graph, t_csr = timed(symmetric_csr, edges, ranks, n)
    (connections, weights), t_load = timed(graph_pair, graph)
    labels = np.full(n, -1, dtype=np.int8)
    labelled = rng.choice(n, args.labelled, replace=False)
    labels[labelled] = np.arange(args.labelled) % args.classes
    _, t_cluster = timed(brov_core.clusterize, connections, weights, labels)
    _, t_export = timed(graph_to_csr, connections, weights)

    print("## Large tree: %d uniform random points in the unit square, %d labelled in %d classes"
          % (n, args.labelled, args.classes))
    print()
    print("| stage | seconds |")
    print("| --- | ---: |")
    print("| Euclidean MST (%s) | %.3f |" % (used, t_tree))
    print("| symmetric CSR of the tree (SciPy) | %.3f |" % t_csr)
    print("| bulk load, graph_pair (checks included) | %.3f |" % t_load)
    print("| clusterize | %.3f |" % t_cluster)
    print("| read back, graph_to_csr | %.3f |" % t_export)
    print()
    print("bulk load / clusterize: %.3f" % (t_load / t_cluster))

    m = args.append_nodes
    sub_edges, sub_lengths, _ = euclidean_mst(X[:m], method=args.method)
    sub_ranks = edge_ranks(sub_edges, sub_lengths)
    _, t_append = timed(load_by_append, sub_edges, sub_ranks, m)
    _, t_bulk = timed(lambda: graph_pair(symmetric_csr(sub_edges, sub_ranks, m)))
    print()
    print("Tree of the first %d points (%d edges): append loop %.3f s, CSR + graph_pair %.3f s (%.0fx)"
          % (m, len(sub_edges), t_append, t_bulk, t_append / t_bulk))


def label_scaling(args):
    """clusterize's time on one tree as the number of labelled nodes grows."""
    n = args.scaling_nodes
    rng = np.random.default_rng(1)
    edges, lengths, _ = euclidean_mst(rng.random((n, 2)))
    graph = symmetric_csr(edges, edge_ranks(edges, lengths), n)
    print()
    print("## clusterize against the number of labelled nodes (tree of %d random points, 10 classes)" % n)
    print()
    print("| labelled nodes | clusterize s |")
    print("| ---: | ---: |")
    for count in args.scaling_labels:
        connections, weights = graph_pair(graph)
        labels = np.full(n, -1, dtype=np.int8)
        labels[rng.choice(n, count, replace=False)] = np.arange(count) % 10
        _, t = timed(brov_core.clusterize, connections, weights, labels)
        print("| %d | %.3f |" % (count, t))


def comparison(args):
    try:
        from sklearn.metrics import adjusted_rand_score as sk_ari
        from sklearn.semi_supervised import LabelSpreading
    except ImportError:
        print("\n(scikit-learn is not installed: LabelSpreading comparison skipped)")
        return
    import sklearn

    print()
    print("## Demo data against LabelSpreading (kernel='knn', n_neighbors=7), scikit-learn %s" % sklearn.__version__)
    print()
    print("LabelSpreading with its default alpha=0.2 (max_iter=30), and with alpha=0.99, max_iter=1000,")
    print("which lets the few labels spread over whole blobs.")
    print()
    print("Blobs from `brov demo` (spread 1, centres at least 5 apart), 2 labelled points per blob;")
    print("adjusted Rand index against the true blobs, mean (min) over %d seeds; time per fit, mean." % args.seeds)
    print()
    print("| points | blobs | brov ARI | LS ARI, default | LS ARI, alpha 0.99 | brov s | LS s, default | LS s, alpha 0.99 |")
    print("| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for n, centers in ((1000, 4), (10000, 4), (10000, 10), (100000, 10)):
        ours, theirs, tuned, t_ours, t_theirs, t_tuned = [], [], [], [], [], []
        for seed in range(args.seeds):
            X, truth = make_blobs(n, centers, seed)
            given = pick_labelled(truth, 2, seed)
            labels, t = timed(BrovClustering().fit_predict, X, given)
            ours.append(adjusted_rand_score(truth, labels))
            assert abs(ours[-1] - sk_ari(truth, labels)) < 1e-9  # our ARI agrees with scikit-learn's
            t_ours.append(t)
            model = LabelSpreading(kernel="knn", n_neighbors=7)
            _, t = timed(model.fit, X, given)
            theirs.append(sk_ari(truth, model.transduction_))
            t_theirs.append(t)
            model = LabelSpreading(kernel="knn", n_neighbors=7, alpha=0.99, max_iter=1000)
            _, t = timed(model.fit, X, given)
            tuned.append(sk_ari(truth, model.transduction_))
            t_tuned.append(t)
        print("| %d | %d | %.4f (%.4f) | %.4f (%.4f) | %.4f (%.4f) | %.3f | %.3f | %.3f |"
              % (n, centers, np.mean(ours), np.min(ours), np.mean(theirs), np.min(theirs), np.mean(tuned),
                 np.min(tuned), np.mean(t_ours), np.mean(t_theirs), np.mean(t_tuned)))


def main():
    warnings.simplefilter("ignore")  # LabelSpreading's convergence warnings
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nodes", type=int, default=1000000)
    parser.add_argument("--labelled", type=int, default=20,
                        help="labelled nodes of the large tree (clusterize's time grows with the number of cuts)")
    parser.add_argument("--classes", type=int, default=10)
    parser.add_argument("--method", default="auto", choices=["auto", "knn"],
                        help="tree of the large point set (default auto: the exact tree)")
    parser.add_argument("--append-nodes", type=int, default=100000)
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--scaling-nodes", type=int, default=100000)
    parser.add_argument("--scaling-labels", type=int, nargs="+", default=[10, 100, 1000])
    parser.add_argument("--skip-comparison", action="store_true")
    args = parser.parse_args()
    print("Python %s, NumPy %s, %s" % (platform.python_version(), np.__version__, platform.machine()))
    print()
    large_tree(args)
    label_scaling(args)
    if not args.skip_comparison:
        comparison(args)


if __name__ == "__main__":
    main()
