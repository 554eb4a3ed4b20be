"""Graphs deep enough to break any native recursion: a chain of a million nodes.

Each function walks the chain end to end; on the native route (exact containers) and, at a smaller
size, on the generic route (a subclass, reached through its methods), with the same results.
"""

import numpy as np
import pytest

from halvek.algorithms.src.brov.binaries import brov_core as bc

MILLION = 10**6


class Subclassed(bc.GraphWrapper):
    pass


def chain(n, cls=bc.GraphWrapper, seed=0):
    """Path 0 - 1 - ... - n-1 with distinct random weights; returns (connections, weights, w)."""
    rng = np.random.default_rng(seed)
    w = rng.permutation(n - 1).astype(np.float32) + 1
    connections, weights = cls(n, 0, 1), cls(n, 1, 1)
    if cls is bc.GraphWrapper:
        from halvek.algorithms.src.brov.binaries import _bulk

        indptr = np.concatenate([[0], np.cumsum([1] + [2] * (n - 2) + [1])]).astype(np.int64)
        indices = np.empty(2 * (n - 1), np.int64)
        data = np.empty(2 * (n - 1), np.float64)
        indices[0], data[0] = 1, w[0]
        inner = np.arange(1, n - 1)
        indices[1:-1:2], indices[2:-1:2] = inner - 1, inner + 1
        data[1:-1:2], data[2:-1:2] = w[inner - 1], w[inner]
        indices[-1], data[-1] = n - 2, w[-1]
        connections, weights = _bulk.graph_from_csr(indptr, indices, data, n)
    else:
        for i in range(n - 1):
            connections.append(i, i + 1)
            connections.append(i + 1, i)
            weights.append(i, w[i])
            weights.append(i + 1, w[i])
    return connections, weights, w


def end_labels(n):
    labels = np.full(n, -1, dtype=np.int8)
    labels[0], labels[-1] = 0, 1
    return labels


def test_clusterize_on_a_million_node_chain():
    connections, weights, w = chain(MILLION)
    labels = end_labels(MILLION)
    _, _, new_labels = bc.clusterize(connections, weights, labels)
    cut = int(np.argmax(w))  # the heaviest edge, between cut and cut + 1
    assert (new_labels[: cut + 1] == 0).all() and (new_labels[cut + 1 :] == 1).all()
    assert connections.to_numpy(cut).tolist() == ([cut - 1] if cut > 0 else [])
    assert labels[1] == -1  # the caller's array is left alone


@pytest.mark.parametrize("cls", [bc.GraphWrapper, Subclassed])
def test_path_search_exploration_and_subgraph_on_a_deep_chain(cls):
    n = MILLION if cls is bc.GraphWrapper else 200_000
    connections, weights, w = chain(n, cls)
    labels = end_labels(n)
    paths = bc.find_all_paths_with_labels(connections, labels, 0)
    assert paths == [list(range(n))]
    assert bc.explore_graph_recursive(connections, labels, 0) == [list(range(n))]
    sub_c, sub_w = bc.find_subgraph_with_labels(connections, weights, labels)
    assert sub_c.to_numpy(n // 2).tolist() == [n // 2 - 1, n // 2 + 1]
    assert sub_w.to_numpy(n - 1).tolist() == [w[-1]]


@pytest.mark.parametrize("cls", [bc.GraphWrapper, Subclassed])
def test_flood_fill_on_a_deep_chain(cls):
    n = MILLION if cls is bc.GraphWrapper else 200_000
    connections, _, _ = chain(n, cls)
    labels = np.full(n, -1, dtype=np.int8)
    visited = {n - 1}  # a fence at the far end
    bc.make_labels(connections, 0, 7, visited, labels)
    assert (labels[:-1] == 7).all() and labels[-1] == -1
    assert len(visited) == n
