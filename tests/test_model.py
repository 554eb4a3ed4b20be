"""The worked examples of the module's behaviour, run against both the reference
model and the shipped module (each test runs once per implementation, as one
case list serves a C module and its pure-Python twin), plus a few properties
that tie the model and the graph strategies together."""

import math

import numpy as np
import pytest
from hypothesis import given, settings

import model
from halvek.algorithms.src.brov.binaries import brov_core
from model import (
    FLOAT32, INT64, ModelGraphWrapper, clusterize, explore_graph_recursive,
    find_all_paths_with_labels, find_subgraph_with_labels, make_labels)
from strategies import (
    GraphData, build_pair, graphs, label_array,
    trees_and_forests, cyclic_graphs)


IMPLEMENTED = ("clusterize", "explore_graph_recursive", "find_all_paths_with_labels",
               "find_subgraph_with_labels", "make_labels")


@pytest.fixture(autouse=True, params=["model", "shipped"])
def implementation(request, monkeypatch):
    """Binds this file's names of the container and the functions to one implementation."""
    source = model if request.param == "model" else brov_core
    monkeypatch.setitem(globals(), "ModelGraphWrapper",
                        model.ModelGraphWrapper if source is model else brov_core.GraphWrapper)
    for name in IMPLEMENTED:
        monkeypatch.setitem(globals(), name, getattr(source, name))
    return request.param


def pair(adjacency, weights=None, max_size=None):
    """Model container pair from explicit, ordered adjacency lists."""
    if weights is None:
        weights = [[1.0] * len(lst) for lst in adjacency]
    data = GraphData(len(adjacency), adjacency, weights, [-1] * len(adjacency))
    return build_pair(data, ModelGraphWrapper, max_size=max_size)


def lists(container):
    return [arr.tolist() for arr in container.to_numpy_all()]


def float_container(*contents):
    c = ModelGraphWrapper(len(contents), FLOAT32, 10)
    for i, values in enumerate(contents):
        for v in values:
            c.append(i, v)
    return c


def i8(values):
    return np.array(values, dtype=np.int8)


# --------------------------------------------------------------- containers

class TestContainerConstruction:
    def test_empty_container(self):
        c = ModelGraphWrapper(0, INT64, 5)
        assert c.to_numpy_all() == []
        with pytest.raises(IndexError, match="Invalid array index"):
            c.append(0, 1)
        with pytest.raises(IndexError, match="List index out of range"):
            c.pop(0, 0)
        with pytest.raises(IndexError, match="Invalid array index"):
            c.to_numpy(0)

    def test_unsupported_dtype_only_detected_with_lists(self):
        with pytest.raises(ValueError, match="Unsupported data type"):
            ModelGraphWrapper(3, 2, 5)
        assert ModelGraphWrapper(0, 2, 5).to_numpy_all() == []

    def test_negative_count(self):
        with pytest.raises(OverflowError,
                           match="can't convert negative value to size_t"):
            ModelGraphWrapper(-1, INT64, 5)

    def test_capacity_is_three_times_max_size(self):
        c = ModelGraphWrapper(4, FLOAT32, 2)
        for k in range(6):
            c.append(1, k)
        with pytest.raises(OverflowError,
                           match="Array has reached its maximum size"):
            c.append(1, 6.0)
        assert c.to_numpy(1).tolist() == [0, 1, 2, 3, 4, 5]
        c.append(0, 1.0)  # other lists keep their own room

    @pytest.mark.parametrize("max_size", [0, -3])
    def test_no_room_without_positive_max_size(self, max_size):
        c = ModelGraphWrapper(2, INT64, max_size)
        with pytest.raises(OverflowError,
                           match="Array has reached its maximum size"):
            c.append(0, 1)

    def test_lookup_option(self):
        with pytest.raises(TypeError, match="needs lookup sets"):
            ModelGraphWrapper(1, INT64, 1, None).contains(0, 1)
        with pytest.raises(TypeError, match="only supported for int64"):
            ModelGraphWrapper(1, FLOAT32, 1, True).contains(0, 1)
        assert ModelGraphWrapper(1, INT64, 1, True).contains(0, 1) is False


class TestAppendPopContains:
    def test_append_index_checks(self):
        c = ModelGraphWrapper(2, INT64, 1)
        for bad in (-1, 2):
            with pytest.raises(IndexError, match="Invalid array index"):
                c.append(bad, 5)
        assert lists(c) == [[], []]

    def test_fourth_append_overflows_other_list_unaffected(self):
        c = ModelGraphWrapper(2, INT64, 1)
        for v in (1, 2, 3):
            c.append(0, v)
        with pytest.raises(OverflowError):
            c.append(0, 4)
        c.append(1, 9)
        assert lists(c) == [[1, 2, 3], [9]]

    def test_float_conversion(self):
        c = ModelGraphWrapper(1, FLOAT32, 2)
        with pytest.raises(TypeError):
            c.append(0, "a")
        assert c.to_numpy(0).size == 0
        c.append(0, 3)
        c.append(0, 0.1)
        out = c.to_numpy(0)
        assert out.dtype == np.float32
        assert out[0] == 3.0 and out[1] == np.float32(0.1)
        # The stored 32-bit value comes back widened exactly.
        assert c.pop(0, 1) == 0.10000000149011612

    def test_int_conversion_truncates_floats(self):
        c = ModelGraphWrapper(1, INT64, 2)
        c.append(0, 2.9)
        c.append(0, np.int64(-7))
        with pytest.raises(TypeError, match="an integer is required"):
            c.append(0, "2")
        assert lists(c) == [[2, -7]]

    def test_pop_errors_in_check_order(self):
        c = ModelGraphWrapper(2, INT64, 2)
        with pytest.raises(IndexError, match="List index out of range"):
            c.pop(2, 0)
        with pytest.raises(IndexError, match="Cannot pop from an empty sublist"):
            c.pop(0, 5)
        c.append(0, 1)
        for bad in (-1, 1):
            with pytest.raises(IndexError, match="Element index out of range"):
                c.pop(0, bad)
        assert lists(c) == [[1], []]

    def test_pop_closes_gap_in_order(self):
        c = ModelGraphWrapper(1, INT64, 2)
        for v in (10, 20, 30):
            c.append(0, v)
        assert c.pop(0, 0) == 10
        assert c.to_numpy(0).tolist() == [20, 30]
        c.append(0, 40)
        assert c.pop(0, 1) == 30
        assert c.to_numpy(0).tolist() == [20, 40]

    def test_sets_remember_every_appended_value(self):
        c = ModelGraphWrapper(2, INT64, 2, lookup_opt=True)
        c.append(0, 7)
        c.pop(0, 0)
        assert c.contains(0, 7) is True
        assert c.contains(0, 8) is False
        assert c.contains(1, 7) is False
        c.append(0, 7)
        c.append(0, 7)
        c.pop(0, 0)
        assert c.to_numpy(0).tolist() == [7]

    def test_contains_refusals(self):
        with pytest.raises(TypeError, match="only supported for int64 arrays"):
            ModelGraphWrapper(1, FLOAT32, 1).contains(0, 1)
        with pytest.raises(IndexError, match="Invalid array index"):
            ModelGraphWrapper(1, FLOAT32, 1).contains(1, 1)
        with pytest.raises(TypeError, match="create the container with "
                                            "lookup_opt=True"):
            ModelGraphWrapper(1, INT64, 1).contains(0, 1)


class TestPopMax:
    @pytest.mark.parametrize("contents, result, after", [
        ([[2.0, 5.0], [5.0], [1.0]], (0, 1), [[2.0], [], [1.0]]),
        ([[3.0, 1.0, 3.0], []], (0, 0), [[1.0], []]),
        ([[4.0], [4.0, 4.0], [4.0]], (0, 1), [[], [], []]),
        ([[-1.0], [-1.0]], (0, 1), [[], []]),
    ])
    def test_removes_every_maximal_entry(self, contents, result, after):
        c = float_container(*contents)
        assert c.pop_max() == result
        assert lists(c) == after

    def test_nan_never_qualifies(self):
        c = float_container([math.nan, 2.0], [2.0])
        assert c.pop_max() == (0, 1)
        rest = lists(c)
        assert len(rest[0]) == 1 and math.isnan(rest[0][0]) and rest[1] == []

    @pytest.mark.parametrize("container", [
        float_container([-2.0], [-2.0]),
        float_container([], []),
        ModelGraphWrapper(0, FLOAT32, 1),
    ])
    def test_nothing_qualifies(self, container):
        before = lists(container)
        with pytest.raises(ValueError,
                           match="All sub-arrays are empty, cannot pop max"):
            container.pop_max()
        assert lists(container) == before

    def test_int_container_never_qualifies(self):
        c = ModelGraphWrapper(1, INT64, 1)
        c.append(0, 5)
        with pytest.raises(ValueError, match="All sub-arrays are empty"):
            c.pop_max()
        assert lists(c) == [[5]]

    def test_lone_maximal_entry_is_refused_unchanged(self):
        c = float_container([5.0], [1.0])
        with pytest.raises(ValueError, match="Only one entry holds the "
                                             "maximum value, cannot pop max"):
            c.pop_max()
        assert lists(c) == [[5.0], [1.0]]


class TestExport:
    def test_empty_list_keeps_dtype(self):
        assert ModelGraphWrapper(1, INT64, 1).to_numpy(0).dtype == np.int64
        assert ModelGraphWrapper(1, FLOAT32, 1).to_numpy(0).dtype == np.float32

    def test_index_checks(self):
        c = ModelGraphWrapper(2, INT64, 1)
        for bad in (-1, 2):
            with pytest.raises(IndexError, match="Invalid array index"):
                c.to_numpy(bad)

    def test_exports_are_copies(self):
        c = ModelGraphWrapper(1, INT64, 2)
        c.append(0, 1)
        arr = c.to_numpy(0)
        c.append(0, 5)
        assert arr.tolist() == [1]
        arr[0] = 99
        assert c.to_numpy(0).tolist() == [1, 5]


# -------------------------------------------------------------- path search

# r=0, a=1, b=2, c=3, x=4, y=5
RABC = [[1, 2, 3], [0, 4, 5], [0], [0], [1], [1]]
RABC_LABELS = i8([1, -1, 1, 2, 2, 3])


class TestPathSearch:
    def test_worked_example(self):
        conn, _ = pair(RABC)
        assert find_all_paths_with_labels(conn, RABC_LABELS, 0) == [
            [0, 1, 4], [0, 1, 5], [0, 3]]
        assert find_all_paths_with_labels(conn, RABC_LABELS, 0,
                                          bomb_node=1) == [[0, 3]]

    def test_bomb_start_returns_nothing(self):
        conn, _ = pair(RABC)
        assert find_all_paths_with_labels(conn, RABC_LABELS, 3, 3) == []
        assert find_all_paths_with_labels(conn, RABC_LABELS, 3, 3, [0]) == []

    def test_labelled_start_after_given_path_ends_at_once(self):
        # A container with no lists: reading any adjacency list would fail.
        no_lists = ModelGraphWrapper(0, INT64, 1)
        path = [0, 1]
        assert find_all_paths_with_labels(no_lists, RABC_LABELS, 4,
                                          path=path) == [[0, 1, 4]]
        assert path == [0, 1]

    def test_given_path_prefixes_results(self):
        conn, _ = pair(RABC)
        path = [9]
        found = find_all_paths_with_labels(conn, i8([1, -1, 1, 2, 2, 3, 0, 0,
                                                     0, 0]), 1, path=path)
        assert path == [9]
        # Root 9 has label 0: every labelled neighbour of a ends a path.
        assert found == [[9, 1, 0], [9, 1, 4], [9, 1, 5]]

    def test_unlabelled_start_sees_only_labelled_neighbours(self):
        # 0 - 1, 0 - 2, 0 - 3, 1 - 4; only 2 and 4 labelled.
        conn, _ = pair([[1, 2, 3], [0, 4], [0], [0], [1]])
        labels = i8([-1, -1, 5, -1, 6])
        assert find_all_paths_with_labels(conn, labels, 0) == [[0, 2]]
        assert find_all_paths_with_labels(conn, labels, 0, bomb_node=2) == []

    def test_negative_labels_differ_by_value(self):
        conn, _ = pair([[1], [0, 2], [1]])
        # -2 is unlabelled but is not the root's -1, so it is passed through.
        assert find_all_paths_with_labels(conn, i8([-1, -2, 0]), 0) == [
            [0, 1, 2]]
        assert find_all_paths_with_labels(conn, i8([-1, -1, 0]), 0) == []

    def test_labelled_bomb_blocks_what_lies_behind_it(self):
        conn, _ = pair([[1], [0, 2], [1]])
        labels = i8([0, 1, 2])
        assert find_all_paths_with_labels(conn, labels, 0, bomb_node=1) == []
        assert find_all_paths_with_labels(conn, labels, 0) == [[0, 1]]

    def test_cycle_gives_one_path_per_route(self):
        # Square 0-1-2-3-0 with 2 labelled: two routes from 0.
        conn, _ = pair([[1, 3], [0, 2], [1, 3], [2, 0]])
        labels = i8([0, -1, 1, -1])
        assert find_all_paths_with_labels(conn, labels, 0) == [
            [0, 1, 2], [0, 3, 2]]


class TestExploration:
    def test_chain_through_labelled_nodes(self):
        # A(1) - u - B(2) - v - D(1)
        conn, _ = pair([[1], [0, 2], [1, 3], [2, 4], [3]])
        assert explore_graph_recursive(conn, i8([1, -1, 2, -1, 1]), 0) == [
            [0, 1, 2], [2, 3, 4]]

    def test_stops_at_nodes_of_the_search_root_label(self):
        # A(1) - B(2) - E(2) - F(3)
        conn, _ = pair([[1], [0, 2], [1, 3], [2]])
        assert explore_graph_recursive(conn, i8([1, 2, 2, 3]), 0) == [[0, 1]]

    def test_first_level_before_deeper_levels(self):
        # 0(0): [1, 3]; 1 unlabelled to 2(1); 2 to 5(0); 3(1) to 4(2).
        conn, _ = pair([[1, 3], [0, 2], [1, 5], [0, 4], [3], [2]])
        labels = i8([0, -1, 1, 1, 2, 0])
        assert explore_graph_recursive(conn, labels, 0) == [
            [0, 1, 2], [0, 3], [2, 5], [3, 4]]

    def test_nothing_within_reach(self):
        conn, _ = pair([[1], [0], []])
        assert explore_graph_recursive(conn, i8([0, -1, 1]), 0) == []

    def test_labelled_cycle_never_ends(self):
        conn, _ = pair([[1, 2], [0, 2], [1, 0]])
        with pytest.raises(RecursionError):
            explore_graph_recursive(conn, i8([0, 1, 2]), 0)


class TestSubgraph:
    def test_chain(self):
        conn, w = pair([[1], [0, 2], [1]], [[0.5], [0.5, 2.0], [2.0]])
        sub_c, sub_w = find_subgraph_with_labels(conn, w, i8([0, -1, 1]))
        assert lists(sub_c) == [[1], [0, 2], [1]]
        assert lists(sub_w) == [[0.5], [0.5, 2.0], [2.0]]
        # Built as GraphWrapper(n, type, n): room for 3 * n = 9 entries per list, weights as float32.
        assert sub_w.to_numpy(0).dtype == np.float32
        for k in range(8):
            sub_c.append(0, k)
        with pytest.raises(OverflowError, match="Array has reached its maximum size"):
            sub_c.append(0, 8)

    def test_node_off_every_path_and_weight_position(self):
        conn, w = pair([[1], [0, 2, 3], [1], [1]],
                       [[0.5], [0.5, 2.0, 7.0], [2.0], [7.0]])
        sub_c, sub_w = find_subgraph_with_labels(conn, w, i8([0, -1, 1, -1]))
        assert lists(sub_c) == [[1], [0, 2], [1], []]
        assert lists(sub_w) == [[0.5], [0.5, 2.0], [2.0], []]

    def test_repeated_neighbour_takes_first_weight(self):
        conn, w = pair([[1], [0, 2, 2], [1]], [[0.5], [0.5, 2.0, 9.0], [2.0]])
        sub_c, sub_w = find_subgraph_with_labels(conn, w, i8([0, -1, 1]))
        assert lists(sub_c)[1] == [0, 2]
        assert lists(sub_w)[1] == [0.5, 2.0]

    def test_entries_in_order_first_met(self):
        # Unlabelled hub 0 listing its leaves as [3, 1, 2].
        conn, w = pair([[3, 1, 2], [0], [0], [0]],
                       [[3.0, 1.0, 2.0], [1.0], [2.0], [3.0]])
        sub_c, sub_w = find_subgraph_with_labels(conn, w, i8([-1, 0, 1, 2]))
        assert lists(sub_c) == [[1, 3, 2], [0], [0], [0]]
        assert lists(sub_w) == [[1.0, 3.0, 2.0], [1.0], [2.0], [3.0]]

    @pytest.mark.parametrize("labels", [[-1, -1, -1], [4, -1, 4], []])
    def test_no_label_pairs_gives_empty_lists(self, labels):
        conn, w = pair([[1], [0, 2], [1]])
        sub_c, sub_w = find_subgraph_with_labels(conn, w, i8(labels))
        assert lists(sub_c) == [[], [], []] and lists(sub_w) == [[], [], []]

    def test_minus_two_is_a_start_node_here(self):
        conn, w = pair([[1], [0, 2], [1]])
        sub_c, _ = find_subgraph_with_labels(conn, w, i8([-2, -1, 0]))
        assert lists(sub_c) == [[1], [0, 2], [1]]

    def test_one_sided_adjacency(self):
        conn, w = pair([[1], [2], [1]])
        with pytest.raises(ValueError):
            find_subgraph_with_labels(conn, w, i8([0, -1, 1]))


# --------------------------------------------------------------- flood fill

class TestMakeLabels:
    def test_isolated_node(self):
        conn, _ = pair([[], [0]])
        labels, visited = i8([-1, -1]), set()
        make_labels(conn, 0, 3, visited, labels)
        assert labels.tolist() == [3, -1] and visited == {0}

    def test_whole_component_relabelled(self):
        conn, _ = pair([[1], [0, 2], [1], []])
        labels, visited = i8([0, -1, 1, 2]), set()
        make_labels(conn, 1, 5, visited, labels)
        assert labels.tolist() == [5, 5, 5, 2] and visited == {0, 1, 2}

    def test_visited_nodes_fence_off(self):
        conn, _ = pair([[1], [0, 2], [1, 3], [2]])
        labels, visited = i8([-1, 1, -1, -1]), {1, 2}
        make_labels(conn, 2, 4, visited, labels)
        # The start node is relabelled even though it was in visited.
        assert labels.tolist() == [-1, 1, 4, 4] and visited == {1, 2, 3}

    def test_second_call_relabels_only_its_start(self):
        conn, _ = pair([[1], [0, 2], [1]])
        labels, visited = i8([-1, -1, -1]), set()
        make_labels(conn, 0, 1, visited, labels)
        make_labels(conn, 2, 2, visited, labels)
        assert labels.tolist() == [1, 1, 2]

    @pytest.mark.parametrize("label, stored", [(-1, -1), (200, -56), (300, 44)])
    def test_label_narrowed_to_eight_bits(self, label, stored):
        conn, _ = pair([[1], [0]])
        labels = i8([0, 0])
        make_labels(conn, 0, label, set(), labels)
        assert labels.tolist() == [stored, stored]


# --------------------------------------------------------------- clusterize

def path_pair(weights):
    """A path 0-1-...-k with the given edge weights, in index order."""
    n = len(weights) + 1
    adjacency = [[] for _ in range(n)]
    wl = [[] for _ in range(n)]
    for a, w in enumerate(weights):
        adjacency[a].append(a + 1)
        wl[a].append(w)
        adjacency[a + 1].append(a)
        wl[a + 1].append(w)
    return pair(adjacency, wl, max_size=n)


class TestClusterize:
    def test_heaviest_edge_between_labels_is_cut(self):
        conn, w = path_pair([1.0, 3.0, 2.0, 1.0])
        labels = i8([0, -1, -1, -1, 1])
        out_c, out_w, new = clusterize(conn, w, labels)
        assert out_c is conn and out_w is w
        assert new.tolist() == [0, 0, 1, 1, 1] and new.dtype == np.int8
        assert lists(conn) == [[1], [0], [3], [2, 4], [3]]
        assert lists(w) == [[1.0], [1.0], [2.0], [2.0, 1.0], [1.0]]
        assert labels.tolist() == [0, -1, -1, -1, 1]

    def test_same_label_nodes_joined(self):
        conn, w = path_pair([1.0, 2.0])
        _, _, new = clusterize(conn, w, i8([1, -1, 1]))
        assert lists(conn) == [[1, 2], [0, 2], [1, 0]]
        assert lists(w) == [[1.0, 1.0], [1.0, 2.0], [2.0, 1.0]]
        assert new.tolist() == [1, 1, 1]

    def test_all_unlabelled_unchanged(self):
        conn, w = path_pair([1.0, 2.0])
        labels = i8([-1, -1, -1])
        _, _, new = clusterize(conn, w, labels)
        assert new.tolist() == [-1, -1, -1] and new is not labels
        assert lists(conn) == [[1], [0, 2], [1]]

    def test_minus_two_spreads_and_unlabelled_component_stays(self):
        conn, w = pair([[1], [0], [3], [2]])
        _, _, new = clusterize(conn, w, i8([-2, -1, -1, -1]))
        assert new.tolist() == [-2, -2, -1, -1]

    def test_minus_two_is_separated_like_any_label(self):
        # 0(-2) - 1 - 2(0): node 0 starts a search of its own, finds [0, 1, 2]
        # and the heavier edge 1-2 is cut.
        conn, w = path_pair([1.0, 2.0])
        _, _, new = clusterize(conn, w, i8([-2, -1, 0]))
        assert lists(conn) == [[1], [0], []]
        assert new.tolist() == [-2, -2, 0]

    def test_tie_cuts_edge_of_smallest_node(self):
        # Path 1 - 2 - 0 - 3, labels on 1 and 3, both end edges of weight 5.
        # pop_max names lists 0 and 1, which are not joined by an edge.
        conn, w = pair([[2, 3], [2], [1, 0], [0]],
                       [[1.0, 5.0], [5.0], [5.0, 1.0], [5.0]])
        _, _, new = clusterize(conn, w, i8([-1, 0, -1, 1]))
        assert lists(conn) == [[2], [2], [1, 0], []]
        assert new.tolist() == [0, 0, 0, 1]

    def test_tie_follows_input_adjacency_order(self):
        # Unlabelled hub 0 listing its labelled leaves as [3, 1, 2], all
        # weights equal: 0-3 is cut first, then 0-1 (3 is gone).
        conn, w = pair([[3, 1, 2], [0], [0], [0]], [[4.0] * 3] + [[4.0]] * 3)
        _, _, new = clusterize(conn, w, i8([-1, 0, 1, 2]))
        assert lists(conn) == [[2], [], [0], []]
        assert new.tolist() == [1, 0, 1, 2]


# --------------------------------------------------- strategies with model

class TestStrategies:
    @given(graphs(structures=None) | cyclic_graphs())
    @settings(max_examples=60, deadline=None)
    def test_pairs_are_symmetric_and_round_trip(self, data):
        conn, w = build_pair(data, ModelGraphWrapper)
        assert lists(conn) == data.adjacency
        assert lists(w) == [[float(np.float32(x)) for x in ws]
                            for ws in data.weights]
        for a in range(data.n):
            for b, weight in zip(data.adjacency[a], data.weights[a]):
                back = data.adjacency[b].index(a)
                assert data.weights[b][back] == weight
        assert label_array(data).dtype == np.int8
        assert 3 * data.max_size >= data.max_degree + 2


def _components(conn):
    adjacency = lists(conn)
    seen, comps = set(), []
    for s in range(len(adjacency)):
        if s in seen:
            continue
        stack, comp = [s], set()
        while stack:
            v = stack.pop()
            if v not in comp:
                comp.add(v)
                stack.extend(adjacency[v])
        seen |= comp
        comps.append(comp)
    return comps


class TestClusterizeOnForests:
    @given(trees_and_forests())
    @settings(max_examples=80, deadline=None)
    def test_given_labels_kept_and_spread_over_components(self, data):
        conn, w = build_pair(data, ModelGraphWrapper)
        _, _, new = clusterize(conn, w, label_array(data))
        given_labels = data.labels
        for comp in _components(conn):
            present = {given_labels[v] for v in comp} - {-1}
            # The cuts leave no component with two labels in it.
            assert len(present) <= 1
            expected = present.pop() if present else -1
            assert {int(new[v]) for v in comp} == {expected}
        original = {(a, b) for a, b, _ in data.edges()}
        for a, nbrs in enumerate(lists(conn)):
            for b in nbrs:
                edge = (min(a, b), max(a, b))
                assert edge in original or given_labels[a] == given_labels[b] != -1
