"""Hypothesis strategies for graph inputs, as plain Python data.

A drawn graph is a GraphData: node count, adjacency lists, parallel weight
lists and a label list.  Every undirected edge sits in the lists of both its
end nodes with the same weight, and each adjacency list is shuffled (with its
weights).  build_pair turns the data into a container pair of any class with
the GraphWrapper constructor and append, so the same drawn graph can feed the
model and the native module.
"""

from dataclasses import dataclass
from typing import List

import numpy as np
from hypothesis import strategies as st

INT64 = 0
FLOAT32 = 1


@dataclass(frozen=True)
class GraphData:
    n: int
    adjacency: List[List[int]]
    weights: List[List[float]]
    labels: List[int]

    @property
    def max_degree(self):
        return max((len(lst) for lst in self.adjacency), default=0)

    @property
    def max_size(self):
        """Generous per-list capacity parameter: 3 * max_size leaves room for
        every edge plus the joining edges that clusterize appends."""
        labelled = sum(1 for label in self.labels if label != -1)
        return max(1, self.max_degree + 2 * labelled)

    def edges(self):
        """The undirected edges as (a, b, weight) with a < b."""
        found = []
        for a, (neighbors, weights) in enumerate(zip(self.adjacency,
                                                     self.weights)):
            for b, w in zip(neighbors, weights):
                if a < b:
                    found.append((a, b, w))
        return found


def build_pair(data, cls, max_size=None, lookup_opt=False):
    """(adjacency, weights) containers of class cls filled from data, each
    list in the data's order."""
    size = data.max_size if max_size is None else max_size
    conn = cls(data.n, INT64, size, lookup_opt)
    weights = cls(data.n, FLOAT32, size)
    for node in range(data.n):
        for neighbor, weight in zip(data.adjacency[node], data.weights[node]):
            conn.append(node, neighbor)
            weights.append(node, weight)
    return conn, weights


def label_array(data):
    return np.array(data.labels, dtype=np.int8)


def removed_edges(before, after, labels):
    """The edges clusterize removed, as sorted (a, b) pairs with a < b, read off the lists before
    and after: the joining edges sit at the end of each final list, one per chain neighbour."""
    joins = [0] * len(labels)
    for label in set(labels.tolist()) - {-1}:
        members = np.flatnonzero(labels == label)
        for a in members[1:-1]:
            joins[a] += 2
        if len(members) > 1:
            joins[members[0]] += 1
            joins[members[-1]] += 1
    removed = set()
    for a, (old, new) in enumerate(zip(before, after)):
        kept = list(new[:len(new) - joins[a]])
        for b in old:
            if b in kept:
                kept.remove(b)
            elif a < b:
                removed.add((a, b))
    return sorted(removed)


# ---------------------------------------------------------------- structures
# Each structure strategy yields (n, edge list) with node indices 0..n-1.

def _relabel(draw, n, edges):
    """Apply a random permutation to the node indices, so that the shape
    does not follow index order."""
    perm = draw(st.permutations(range(n)))
    return n, [(perm[a], perm[b]) for a, b in edges]


@st.composite
def forests(draw, max_nodes=14):
    """Many trees and isolated nodes: each node either hangs below an
    earlier node or starts a new tree."""
    n = draw(st.integers(1, max_nodes))
    edges = []
    for node in range(1, n):
        if draw(st.integers(0, 3)) > 0:
            edges.append((draw(st.integers(0, node - 1)), node))
    return _relabel(draw, n, edges)


@st.composite
def chains(draw, max_nodes=12):
    n = draw(st.integers(2, max_nodes))
    edges = [(i, i + 1) for i in range(n - 1)]
    if draw(st.booleans()):
        return _relabel(draw, n, edges)
    return n, edges


@st.composite
def stars(draw, max_leaves=8):
    leaves = draw(st.integers(1, max_leaves))
    return _relabel(draw, leaves + 1, [(0, leaf) for leaf in
                                      range(1, leaves + 1)])


@st.composite
def caterpillars(draw, max_spine=6, max_legs=3):
    spine = draw(st.integers(1, max_spine))
    edges = [(i, i + 1) for i in range(spine - 1)]
    n = spine
    for s in range(spine):
        for _ in range(draw(st.integers(0, max_legs))):
            edges.append((s, n))
            n += 1
    return _relabel(draw, n, edges)


@st.composite
def binary_trees(draw, max_nodes=15):
    n = draw(st.integers(1, max_nodes))
    return _relabel(draw, n, [((i - 1) // 2, i) for i in range(1, n)])


@st.composite
def small_cyclic_graphs(draw, max_nodes=6):
    """A tree plus one or two extra edges: tiny graphs with cycles, meant
    for the path search and the exploration."""
    n = draw(st.integers(3, max_nodes))
    edges = [(draw(st.integers(0, i - 1)), i) for i in range(1, n)]
    present = {frozenset(e) for e in edges}
    missing = [(a, b) for a in range(n) for b in range(a + 1, n)
               if frozenset((a, b)) not in present]
    extra = draw(st.lists(st.sampled_from(missing), min_size=1, max_size=2,
                          unique=True)) if missing else []
    return _relabel(draw, n, edges + extra)


def tree_structures():
    return st.one_of(forests(), chains(), stars(), caterpillars(),
                     binary_trees())


# ------------------------------------------------------------------- labels

@st.composite
def label_lists(draw, n):
    """Label patterns: mostly unlabelled with a few classes, one class only,
    no labels at all, every node labelled; -2 turns up now and then."""
    pattern = draw(st.sampled_from(["sparse", "sparse", "single", "none",
                                    "dense"]))
    if pattern == "none":
        return [-1] * n
    if pattern == "single":
        palette = [-1, -1, -1, 0]
    else:
        classes = list(range(draw(st.integers(1, 4))))
        palette = classes if pattern == "dense" else [-1] * 4 + classes
    if draw(st.integers(0, 4)) == 0:
        palette = palette + [-2]
    return draw(st.lists(st.sampled_from(palette), min_size=n, max_size=n))


# ------------------------------------------------------------------ weights

def tied_weights(count):
    """Small integer-valued weights: equal weights are common."""
    return st.lists(st.integers(1, 3).map(float), min_size=count,
                    max_size=count)


def distinct_weights(count):
    """Pairwise distinct weights, exact in float32, so no two edges tie."""
    return st.lists(st.floats(min_value=0.125, max_value=1000.0, width=32),
                    min_size=count, max_size=count, unique=True)


# ------------------------------------------------------------------- graphs

@st.composite
def graphs(draw, structures=None, weights=None, labels=None):
    """A GraphData drawn from a structure strategy, with weights that are
    tied or distinct (or as asked: "tied" / "distinct") and a label pattern
    (or labels drawn from the given strategy factory label(n))."""
    n, edges = draw(tree_structures() if structures is None else structures)
    if weights is None:
        weights = draw(st.sampled_from(["tied", "distinct"]))
    weight_strategy = tied_weights if weights == "tied" else distinct_weights
    edge_weights = draw(weight_strategy(len(edges)))

    adjacency = [[] for _ in range(n)]
    weight_lists = [[] for _ in range(n)]
    for (a, b), w in zip(edges, edge_weights):
        adjacency[a].append(b)
        weight_lists[a].append(w)
        adjacency[b].append(a)
        weight_lists[b].append(w)
    for node in range(n):
        order = draw(st.permutations(range(len(adjacency[node]))))
        adjacency[node] = [adjacency[node][k] for k in order]
        weight_lists[node] = [weight_lists[node][k] for k in order]

    label_list = draw(label_lists(n) if labels is None else labels(n))
    return GraphData(n, adjacency, weight_lists, label_list)


def trees_and_forests(**kwargs):
    """Acyclic graphs of every shape: safe for clusterize."""
    return graphs(structures=tree_structures(), **kwargs)


def cyclic_graphs(**kwargs):
    """Tiny graphs with cycles: for the path search and exploration only."""
    return graphs(structures=small_cyclic_graphs(), **kwargs)
