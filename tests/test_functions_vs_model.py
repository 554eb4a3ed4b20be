"""The module functions against the pure-Python model, function by function.

Every comparison runs twice: on exact GraphWrapper containers (the native route, which reads the
containers in place) and on a trivial subclass (the generic route, which goes through the
containers' methods by name). Both must give what the model gives.
"""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import model
from strategies import build_pair, cyclic_graphs, label_array, trees_and_forests

from halvek.algorithms.src.brov.binaries import brov_core as bc


class Subclassed(bc.GraphWrapper):
    """No overrides: only moves the calls onto the generic route."""


ROUTES = [bc.GraphWrapper, Subclassed]
SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def lists(container):
    return [a.tolist() for a in container.to_numpy_all()]


def model_pair(data):
    return build_pair(data, model.ModelGraphWrapper)


def outcome(fn, *args):
    """Result or the exception type and message, so that failures compare too."""
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # noqa: BLE001 - the comparison covers every error
        return ("error", type(exc).__name__, str(exc))


def assert_same_outcome(native, expected):
    same_error_kind(native, expected)
    if native[0] == "ok":
        assert native == expected


def same_error_kind(native, expected):
    assert native[0] == expected[0], (native, expected)
    if native[0] == "error":
        assert native[1] == expected[1], (native, expected)


@pytest.mark.parametrize("cls", ROUTES)
@SETTINGS
@given(data=trees_and_forests(), choice=st.data())
def test_path_search_matches_model(cls, data, choice):
    start = choice.draw(st.integers(0, data.n - 1))
    bomb = choice.draw(st.sampled_from([-1] + list(range(data.n))))
    labels = label_array(data)
    conn, _ = build_pair(data, cls)
    mconn, _ = model_pair(data)
    assert bc.find_all_paths_with_labels(conn, labels, start, bomb) == model.find_all_paths_with_labels(
        mconn, labels, start, bomb
    )


@pytest.mark.parametrize("cls", ROUTES)
@SETTINGS
@given(data=trees_and_forests(), choice=st.data())
def test_path_search_with_given_path_matches_model(cls, data, choice):
    start = choice.draw(st.integers(0, data.n - 1))
    prefix = choice.draw(st.lists(st.integers(0, data.n - 1), min_size=1, max_size=3))
    labels = label_array(data)
    conn, _ = build_pair(data, cls)
    mconn, _ = model_pair(data)
    before = list(prefix)
    got = bc.find_all_paths_with_labels(conn, labels, start, path=prefix)
    assert got == model.find_all_paths_with_labels(mconn, labels, start, path=list(prefix))
    assert prefix == before


@pytest.mark.parametrize("cls", ROUTES)
@SETTINGS
@given(data=trees_and_forests(), choice=st.data())
def test_exploration_matches_model(cls, data, choice):
    start = choice.draw(st.integers(0, data.n - 1))
    labels = label_array(data)
    conn, _ = build_pair(data, cls)
    mconn, _ = model_pair(data)
    assert bc.explore_graph_recursive(conn, labels, start) == model.explore_graph_recursive(mconn, labels, start)


@pytest.mark.parametrize("cls", ROUTES)
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=cyclic_graphs(), choice=st.data())
def test_exploration_on_cycles_matches_model(cls, data, choice):
    start = choice.draw(st.integers(0, data.n - 1))
    labels = label_array(data)
    conn, _ = build_pair(data, cls)
    mconn, _ = model_pair(data)
    native = outcome(bc.explore_graph_recursive, conn, labels, start)
    expected = outcome(model.explore_graph_recursive, mconn, labels, start)
    assert_same_outcome(native, expected)


@pytest.mark.parametrize("cls", ROUTES)
@SETTINGS
@given(data=trees_and_forests())
def test_subgraph_matches_model(cls, data):
    labels = label_array(data)
    conn, weights = build_pair(data, cls)
    mconn, mweights = model_pair(data)
    sub_c, sub_w = bc.find_subgraph_with_labels(conn, weights, labels)
    exp_c, exp_w = model.find_subgraph_with_labels(mconn, mweights, labels)
    assert type(sub_c) is bc.GraphWrapper and type(sub_w) is bc.GraphWrapper
    assert lists(sub_c) == lists(exp_c)
    assert lists(sub_w) == lists(exp_w)


@pytest.mark.parametrize("cls", ROUTES)
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=cyclic_graphs())
def test_subgraph_on_cycles_matches_model(cls, data):
    labels = label_array(data)
    conn, weights = build_pair(data, cls)
    mconn, mweights = model_pair(data)
    native = outcome(lambda: [lists(x) for x in bc.find_subgraph_with_labels(conn, weights, labels)])
    expected = outcome(lambda: [lists(x) for x in model.find_subgraph_with_labels(mconn, mweights, labels)])
    assert_same_outcome(native, expected)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=cyclic_graphs(), choice=st.data())
def test_subgraph_routes_raise_the_same_errors(data, choice):
    # One-sided entries and cycles through labelled nodes make the subgraph build raise; the
    # in-place route (planned over arrays) and the generic route must agree to the message.
    node = st.integers(0, data.n - 1)
    one_sided = choice.draw(st.lists(st.tuples(node, node), max_size=2))
    labels = label_array(data)
    outcomes = []
    for cls in ROUTES:
        conn, weights = build_pair(data, cls, max_size=data.max_size + 2)
        for a, b in one_sided:
            conn.append(a, b)
            weights.append(a, 0.5)
        outcomes.append(outcome(lambda: [lists(x) for x in bc.find_subgraph_with_labels(conn, weights, labels)]))
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("cls", ROUTES)
@SETTINGS
@given(data=trees_and_forests(), choice=st.data())
def test_flood_fill_matches_model(cls, data, choice):
    node = choice.draw(st.integers(0, data.n - 1))
    label = choice.draw(st.integers(-200, 200))
    fence = set(choice.draw(st.lists(st.integers(0, data.n - 1), max_size=3)))
    conn, _ = build_pair(data, cls)
    mconn, _ = model_pair(data)
    got_labels, exp_labels = label_array(data), label_array(data)
    got_visited, exp_visited = set(fence), set(fence)
    assert bc.make_labels(conn, node, label, got_visited, got_labels) is None
    model.make_labels(mconn, node, label, exp_visited, exp_labels)
    assert got_labels.tolist() == exp_labels.tolist()
    assert got_visited == exp_visited


@pytest.mark.parametrize("cls", ROUTES)
@SETTINGS
@given(data=trees_and_forests(weights="tied"))
def test_clusterize_with_ties_matches_model(cls, data):
    check_clusterize(cls, data)


@pytest.mark.parametrize("cls", ROUTES)
@SETTINGS
@given(data=trees_and_forests())
def test_clusterize_matches_model(cls, data):
    check_clusterize(cls, data)


@SETTINGS
@given(data=st.one_of(trees_and_forests(weights="tied"), cyclic_graphs(weights="tied")), choice=st.data())
def test_clusterize_with_one_sided_weights_agrees_on_both_routes(data, choice):
    # A few entries whose weight differs from the other entry of their edge: both routes give the
    # same result or the same error, and leave the same lists, as the model does.
    entries = [(node, k) for node in range(data.n) for k in range(len(data.weights[node]))]
    if entries:
        for node, k in choice.draw(st.lists(st.sampled_from(entries), min_size=1, max_size=3)):
            data.weights[node][k] = choice.draw(st.sampled_from([1.0, 2.0, 3.0, 4.0]))
    outcomes = []
    for cls in ROUTES:
        conn, weights = build_pair(data, cls)
        result = outcome(bc.clusterize, conn, weights, label_array(data))
        labels = result[1][2].tolist() if result[0] == "ok" else result[1:]
        outcomes.append((labels, lists(conn), lists(weights)))
    assert outcomes[0] == outcomes[1]
    check_clusterize(bc.GraphWrapper, data)


def check_clusterize(cls, data):
    labels = label_array(data)
    conn, weights = build_pair(data, cls)
    mconn, mweights = model_pair(data)
    native = outcome(bc.clusterize, conn, weights, labels)
    expected = outcome(model.clusterize, mconn, mweights, labels)
    same_error_kind(native, expected)
    assert lists(conn) == lists(mconn)
    assert lists(weights) == lists(mweights)
    if native[0] == "ok":
        got_c, got_w, got_labels = native[1]
        assert got_c is conn and got_w is weights
        assert got_labels.dtype == np.int8
        assert got_labels.tolist() == expected[1][2].tolist()
        assert labels.tolist() == data.labels


def random_forest_pair(rng, cls):
    """A random forest of up to 300 nodes (random, chain, star or short-jump shapes, a few edges
    dropped), shuffled adjacency, tied or distinct weights, and 1 to 4 labels at some density."""
    n = int(rng.integers(2, 300))
    shape = rng.integers(0, 4)
    if shape == 0:
        parents = (rng.random(n - 1) * np.arange(1, n)).astype(int)
    elif shape == 1:
        parents = np.arange(0, n - 1)
    elif shape == 2:
        parents = np.zeros(n - 1, int)
    else:
        parents = np.maximum(0, np.arange(1, n) - rng.integers(1, 4, n - 1))
    perm = rng.permutation(n)
    edges = [(int(perm[p]), int(perm[i + 1])) for i, p in enumerate(parents) if rng.random() > 0.05]
    weights = rng.integers(1, 5, len(edges)).astype(float) if rng.random() < 0.5 else rng.random(len(edges))
    adjacency = [[] for _ in range(n)]
    for (a, b), w in zip(edges, weights):
        adjacency[a].append((b, w))
        adjacency[b].append((a, w))
    for entries in adjacency:
        rng.shuffle(entries)
    density = rng.choice([0.02, 0.1, 0.3, 0.7])
    classes = int(rng.integers(1, 5))
    labels = np.where(rng.random(n) < density, rng.integers(0, classes, n), -1).astype(np.int8)
    conn, weight_lists = cls(n, 0, n), cls(n, 1, n)
    for node, entries in enumerate(adjacency):
        for neighbor, w in entries:
            conn.append(node, neighbor)
            weight_lists.append(node, w)
    return conn, weight_lists, labels


@pytest.mark.parametrize("seed", range(4))
def test_subgraph_on_larger_forests_matches_generic_route(seed):
    # The native route prunes and skips repeated work on forests; the generic route (checked
    # against the model above) walks everything. Larger forests with many labelled nodes of few
    # labels are where the skipping matters.
    for case in range(60):
        results = []
        for cls in ROUTES:
            rng = np.random.default_rng([seed, case])
            conn, weights, labels = random_forest_pair(rng, cls)
            sub_c, sub_w = bc.find_subgraph_with_labels(conn, weights, labels)
            results.append((lists(sub_c), lists(sub_w)))
        assert results[0] == results[1], (seed, case)


@pytest.mark.parametrize("cls", ROUTES)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=cyclic_graphs(weights="tied"))
def test_clusterize_on_cycles_matches_model(cls, data):
    check_clusterize(cls, data)
