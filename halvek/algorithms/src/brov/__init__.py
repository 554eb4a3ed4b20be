"""Label-guided clustering on sparse weighted graphs.

The native module ``binaries.brov_core`` does the clustering on a pair of
GraphWrapper containers. This package adds what a user with points and a few
labels needs around it:

* :class:`BrovClustering`: a scikit-learn-style estimator (``fit(X, y)``,
  ``fit_predict``, ``labels_``) that builds the Euclidean minimum spanning
  tree of the points and clusters it;
* :func:`cluster_graph`: the same on a precomputed symmetric sparse graph;
* :func:`graph_pair` / :func:`graph_to_csr`: bulk conversion between SciPy
  sparse matrices and GraphWrapper pairs;
* :func:`euclidean_mst`: the tree builder on its own.

Layers, lowest first (a module imports only from its own layer or below):
``native`` (the one importer of ``binaries``), ``labels``, ``metrics``,
``progress``; ``trees/`` (spanning trees); ``graphs`` and ``clustering``
(containers in bulk, edge lists and sparse graphs clustered); ``estimator/``;
``label_page/`` (the server and state of ``brov label``); ``cli/``.

Importing the package loads neither the native modules nor matplotlib; they
are imported on first use.
"""

from .clustering import cluster_graph
from .estimator import BrovClustering
from .graphs import graph_pair, graph_to_csr
from .metrics import adjusted_rand_score
from .trees import euclidean_mst

__all__ = [
    "__version__",
    "BrovClustering",
    "adjusted_rand_score",
    "cluster_graph",
    "euclidean_mst",
    "graph_pair",
    "graph_to_csr",
]


def __getattr__(name):
    if name == "__version__":  # computed on first use: importing the package stays light
        from .version import package_version

        return package_version()
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
