"""Pure-Python reference model of brov_core.

Every function here follows the native module step by step, in the same
visiting and result orders, so that the native code can be compared with it
on small graphs.  Speed is no concern: containers are Python lists and the
nested calls are plain Python recursion.
"""

import operator
import sys

import numpy as np

INT64 = 0
FLOAT32 = 1

_INT64_MIN = -(2 ** 63)
_INT64_MAX = 2 ** 63 - 1

# Paths and flood fills nest one level per node; test graphs are small, but
# leave room for chains of a few thousand nodes.
if sys.getrecursionlimit() < 20000:
    sys.setrecursionlimit(20000)


def _to_int64(value):
    """Integer conversion of a 64-bit integer argument."""
    if isinstance(value, int):
        result = int(value)
    elif hasattr(type(value), "__int__"):
        result = type(value).__int__(value)
        if not isinstance(result, int):
            raise TypeError(
                "__int__ returned non-int (type %.200s)" % type(result).__name__)
        result = int(result)
    else:
        raise TypeError("an integer is required")
    if not _INT64_MIN <= result <= _INT64_MAX:
        raise OverflowError("Python int too large to convert to C long")
    return result


def _to_int32(value):
    """Narrowing of a 64-bit value to its low 32 bits, as a signed int."""
    return ((int(value) + 2 ** 31) % 2 ** 32) - 2 ** 31


def _to_int8(value):
    """Narrowing to the low 8 bits of the label array's element type."""
    return ((int(value) + 128) % 256) - 128


def _to_float32(value):
    """Conversion of a weight: a Python float as it is, anything else through
    its float conversion, then rounded to the nearest 32-bit float."""
    if isinstance(value, float):
        as_double = value
    elif hasattr(type(value), "__float__"):
        as_double = float(value)
    elif hasattr(type(value), "__index__"):
        as_double = float(operator.index(value))
    else:
        raise TypeError("must be real number, not %.50s" % type(value).__name__)
    with np.errstate(over="ignore"):
        return np.float32(as_double)


class ModelGraphWrapper:
    """A fixed number of bounded lists of int64 or float32 elements."""

    def __init__(self, count, dtype, max_size, lookup_opt=False):
        if count < 0:
            raise OverflowError("can't convert negative value to size_t")
        if count >= 1 and dtype not in (INT64, FLOAT32):
            raise ValueError("Unsupported data type")
        self._count = int(count)
        self._dtype = dtype
        self._max_size = 3 * max_size
        self._lookup = 1 if (lookup_opt is not None and bool(lookup_opt)) else 0
        self._data = [[] for _ in range(self._count)]
        if dtype == INT64 and self._lookup:
            # One set per list; it keeps every value ever appended.
            self._int_sets = [set() for _ in range(self._count)]
        else:
            self._int_sets = None

    def append(self, index, value):
        index = _to_int64(index)
        if index < 0 or index >= self._count:
            raise IndexError("Invalid array index")
        if len(self._data[index]) >= self._max_size:
            raise OverflowError("Array has reached its maximum size")
        if self._dtype == INT64:
            stored = _to_int64(value)
            self._data[index].append(stored)
            if self._int_sets is not None:
                self._int_sets[index].add(stored)
        else:
            self._data[index].append(_to_float32(value))

    def pop(self, list_index, element_index):
        if list_index < 0 or list_index >= self._count:
            raise IndexError("List index out of range")
        items = self._data[list_index]
        if not items:
            raise IndexError("Cannot pop from an empty sublist")
        if element_index < 0 or element_index >= len(items):
            raise IndexError("Element index out of range")
        # The elements after the removed one close the gap in order.
        removed = items.pop(element_index)
        return int(removed) if self._dtype == INT64 else float(removed)

    def contains(self, index, value):
        if index < 0 or index >= self._count:
            raise IndexError("Invalid array index")
        if self._dtype != INT64:
            raise TypeError("Membership check only supported for int64 arrays")
        if self._int_sets is None:
            raise TypeError(
                "Membership check needs lookup sets: "
                "create the container with lookup_opt=True")
        return value in self._int_sets[index]

    def pop_max(self):
        max_value = -1.0
        max_indices = []
        for i in range(self._count):
            if self._dtype != FLOAT32:
                continue
            for j, value in enumerate(self._data[i]):
                value = float(value)
                if value > max_value:
                    max_value = value
                    max_indices = [(i, j)]
                elif value == max_value:
                    max_indices.append((i, j))
        if not max_indices:
            raise ValueError("All sub-arrays are empty, cannot pop max")
        if len(max_indices) == 1:
            # An edge is stored as two entries; a lone maximal entry names
            # no edge, so nothing is removed.
            raise ValueError(
                "Only one entry holds the maximum value, cannot pop max")
        # Backwards, so that earlier positions in the same list stay valid.
        for i, j in reversed(max_indices):
            del self._data[i][j]
        return (max_indices[0][0], max_indices[1][0])

    def to_numpy(self, index):
        if index < 0 or index >= self._count:
            raise IndexError("Invalid array index")
        dtype = np.int64 if self._dtype == INT64 else np.float32
        return np.array(self._data[index], dtype=dtype)

    def to_numpy_all(self):
        return [self.to_numpy(i) for i in range(self._count)]


def find_all_paths_with_labels(connections_sparse, labels, start,
                               bomb_node=-1, path=None):
    """Depth-first enumeration of the paths from the root (the first node of
    the path) to the nearest nodes of other labels."""
    start = int(start)
    bomb_node = int(bomb_node)
    result_paths = []
    current_path = [start] if path is None else path + [start]
    if start == bomb_node and bomb_node != -1:
        return []
    # Any negative value is unlabelled; the root never ends its own search.
    if int(labels[start]) > -1 and start != current_path[0]:
        return [current_path]
    root_label = int(labels[current_path[0]])
    neighbors = connections_sparse.to_numpy(start)
    for i in range(len(neighbors)):
        neighbor = _to_int32(neighbors[i])
        if neighbor in current_path:
            continue
        # The search never enters a node with the root's label.
        if int(labels[neighbor]) == root_label:
            continue
        result_paths.extend(find_all_paths_with_labels(
            connections_sparse=connections_sparse, labels=labels,
            start=neighbor, bomb_node=bomb_node, path=current_path))
    return result_paths


def explore_graph_recursive(connections_sparse, labels, start):
    """The paths found from start, then, depth first, those found from the
    end of each path, fenced off at the node through which it arrived."""
    all_paths = []

    def recursive_explore(current_start, bomb_node, visited_paths, chain):
        paths = find_all_paths_with_labels(
            connections_sparse, labels, current_start, bomb_node=bomb_node)
        visited_paths.extend(paths)
        for path in paths:
            end_node = _to_int32(path[-1])
            if end_node == bomb_node:
                continue
            new_bomb_node = int(path[-2])
            pair = (end_node, new_bomb_node)
            # A level depends only on its (start, bomb) pair: meeting the
            # same pair again down one chain means the chain never ends.
            if pair in chain:
                raise RecursionError(
                    "exploration from node %d with bomb node %d repeats itself"
                    % pair)
            chain.add(pair)
            recursive_explore(end_node, new_bomb_node, visited_paths, chain)
            chain.discard(pair)

    start = int(start)
    recursive_explore(start, -1, all_paths, {(start, -1)})
    return all_paths


def find_subgraph_with_labels(connections_sparse, weights_sparse, labels):
    """The subgraph made of every path that joins differently labelled nodes,
    as a new (adjacency, weights) pair of ModelGraphWrapper containers."""
    all_paths = []
    nodes_visited = set()
    # Exactly -1 is unlabelled here; every other value is a label.
    node_list = [i for i in range(len(labels)) if int(labels[i]) != -1]
    unvisited_labeled_nodes = node_list.copy()
    while unvisited_labeled_nodes:
        start_node = unvisited_labeled_nodes.pop(0)
        new_paths = explore_graph_recursive(connections_sparse, labels,
                                            start_node)
        if len(new_paths) > 0:
            all_paths.extend(new_paths)
            for path in all_paths:
                nodes_visited.update(path)
        else:
            nodes_visited.add(start_node)
        unvisited_labeled_nodes = [
            node for node in node_list if node not in nodes_visited]

    n = len(connections_sparse.to_numpy_all())
    sub_connections_sparse = ModelGraphWrapper(n, INT64, n)
    sub_weights_sparse = ModelGraphWrapper(n, FLOAT32, n)

    def copy_edge(node_a, node_b):
        sub_connections_sparse.append(node_a, node_b)
        # The weight at the first occurrence of node_b in node_a's input list.
        edge_index = list(connections_sparse.to_numpy(node_a)).index(node_b)
        edge_value = float(weights_sparse.to_numpy(node_a)[edge_index])
        sub_weights_sparse.append(node_a, edge_value)

    for path in all_paths:
        for j in range(len(path) - 1):
            node_a = int(path[j])
            node_b = int(path[j + 1])
            if node_b not in sub_connections_sparse.to_numpy(node_a):
                copy_edge(node_a, node_b)
            if node_a not in sub_connections_sparse.to_numpy(node_b):
                copy_edge(node_b, node_a)
    return (sub_connections_sparse, sub_weights_sparse)


def make_labels(connections_sparse, node, label, visited, labels):
    """Depth-first flood of label over the component of node, fenced off by
    the nodes already in visited; writes labels in place."""
    node = int(node)
    label = int(label)
    visited.add(node)
    labels[node] = _to_int8(label)
    neighbor_list = connections_sparse.to_numpy(node)
    for i in range(len(neighbor_list)):
        neighbor = int(neighbor_list[i])
        # Checked when the loop gets here: an earlier walk may have reached it.
        if neighbor in visited:
            continue
        make_labels(connections_sparse, neighbor, label, visited, labels)


def _maximal_weight_edges(sub_connections_sparse, sub_weights_sparse):
    """The distinct edges {a, b} (as (min, max)) of the subgraph whose weight
    entry equals the largest value that pop_max would take."""
    max_value = -1.0
    entries = []
    neighbor_lists = sub_connections_sparse.to_numpy_all()
    for i, weights in enumerate(sub_weights_sparse.to_numpy_all()):
        for k, weight in enumerate(weights):
            weight = float(weight)
            if weight > max_value:
                max_value = weight
                entries = [(i, int(neighbor_lists[i][k]))]
            elif weight == max_value:
                entries.append((i, int(neighbor_lists[i][k])))
    return {(min(a, b), max(a, b)) for a, b in entries}


def _tie_break(connections_sparse, edges):
    """Among several maximal edges: the smallest smaller end node, then the
    other end that comes first in that node's input adjacency list."""
    first = min(a for a, _ in edges)
    others = {b for a, b in edges if a == first}
    for neighbor in list(connections_sparse.to_numpy(first)):
        if int(neighbor) in others:
            return first, int(neighbor)
    raise ValueError("%d is not in list" % min(others))


def clusterize(connections_sparse, weights_sparse, labels):
    """Cut the heaviest edges between labels, join each label's nodes with
    weight-1 edges, then flood each label from its smallest node."""
    n = len(labels)
    labels_dict = {}
    cluster_representative_nodes = []

    while True:
        sub_connections_sparse, sub_weights_sparse = find_subgraph_with_labels(
            connections_sparse, weights_sparse, labels)
        paths = sub_connections_sparse.to_numpy_all()
        break_flg = 1
        for sublist in paths:
            if len(sublist) > 0:
                break_flg = 0
        if break_flg == 1:
            break
        maximal_edges = _maximal_weight_edges(sub_connections_sparse,
                                              sub_weights_sparse)
        first_node_index, snd_node_index = sub_weights_sparse.pop_max()
        if len(maximal_edges) > 1:
            # Several edges share the largest weight: pop_max's pair need not
            # be an edge, so the cut edge is chosen by node order instead.
            first_node_index, snd_node_index = _tie_break(connections_sparse,
                                                          maximal_edges)
        for_first_idx = list(
            connections_sparse.to_numpy(first_node_index)).index(snd_node_index)
        for_snd_idx = list(
            connections_sparse.to_numpy(snd_node_index)).index(first_node_index)
        connections_sparse.pop(first_node_index, for_first_idx)
        connections_sparse.pop(snd_node_index, for_snd_idx)
        weights_sparse.pop(first_node_index, for_first_idx)
        weights_sparse.pop(snd_node_index, for_snd_idx)

    for i in range(n):
        label = int(labels[i])
        if label != -1:
            if label not in labels_dict:
                labels_dict[label] = []
            labels_dict[label].append(i)
    labels_groups = list(labels_dict.values())

    for group in labels_groups:
        if len(group) > 1:
            for k in range(len(group) - 1):
                start_node = group[k]
                end_node = group[k + 1]
                connections_sparse.append(start_node, end_node)
                connections_sparse.append(end_node, start_node)
                weights_sparse.append(start_node, 1)
                weights_sparse.append(end_node, 1)

    for group in labels_groups:
        cluster_representative_nodes.append(group[0])

    new_labels = labels.copy()
    for node in cluster_representative_nodes:
        # The label is read at call time, after the earlier fills.
        make_labels(connections_sparse, node, new_labels[node],
                    visited=set(), labels=new_labels)
    return (connections_sparse, weights_sparse, new_labels)
