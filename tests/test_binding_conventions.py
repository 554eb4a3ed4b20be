"""How every callable of brov_core takes its arguments: matching of positional and keyword
arguments, the integer, size, DataType and flag conversions, the ndarray and set type tests, and
the acquisition of label arrays as one-dimensional int8 buffers."""

import ctypes
import fractions
import warnings

import numpy as np
import pytest

from halvek.algorithms.src.brov.binaries import brov_core as bc

GW = bc.GraphWrapper


class Subclassed(GW):
    """No overrides; the module functions reach it through its methods by name."""


def pair(n, edges, cls=GW):
    conn, weights = cls(n, 0, n), cls(n, 1, n)
    for a, b, w in edges:
        conn.append(a, b)
        weights.append(a, w)
        conn.append(b, a)
        weights.append(b, w)
    return conn, weights


def chain(n, cls=GW):
    return pair(n, [(i, i + 1, 1.0) for i in range(n - 1)], cls)


def labels(*values):
    return np.array(values, dtype=np.int8)


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


# ---------------------------------------------------------------------------------------------
# Argument matching

def _fixtures():
    conn, weights = chain(3)
    return conn, weights, labels(0, -1, 1)


COUNT_CASES = [
    # (callable name, args, kwargs, message)
    ("find_all_paths_with_labels", 2, {}, "find_all_paths_with_labels() takes at least 3 positional arguments (2 given)"),
    ("find_all_paths_with_labels", 6, {}, "find_all_paths_with_labels() takes at most 5 positional arguments (6 given)"),
    ("find_all_paths_with_labels", 0, {}, "find_all_paths_with_labels() takes at least 3 positional arguments (0 given)"),
    ("find_subgraph_with_labels", 2, {}, "find_subgraph_with_labels() takes exactly 3 positional arguments (2 given)"),
    ("find_subgraph_with_labels", 4, {}, "find_subgraph_with_labels() takes exactly 3 positional arguments (4 given)"),
    ("explore_graph_recursive", 0, {}, "explore_graph_recursive() takes exactly 3 positional arguments (0 given)"),
    ("make_labels", 1, {}, "make_labels() takes exactly 5 positional arguments (1 given)"),
    ("clusterize", 2, {}, "clusterize() takes exactly 3 positional arguments (2 given)"),
    # With keywords, a missing required parameter counts the parameters before the first gap.
    ("find_subgraph_with_labels", 1, {"labels": "L"},
     "find_subgraph_with_labels() takes exactly 3 positional arguments (1 given)"),
    ("find_subgraph_with_labels", 0, {"weights_sparse": "W", "labels": "L"},
     "find_subgraph_with_labels() takes exactly 3 positional arguments (0 given)"),
    ("find_all_paths_with_labels", 1, {"start": 0},
     "find_all_paths_with_labels() takes at least 3 positional arguments (1 given)"),
    ("find_all_paths_with_labels", 0, {"connections_sparse": "C", "labels": "L", "bomb_node": 1},
     "find_all_paths_with_labels() takes at least 3 positional arguments (2 given)"),
    ("make_labels", 0, {"connections_sparse": "C", "node": 0, "label": 0, "labels": "L"},
     "make_labels() takes exactly 5 positional arguments (3 given)"),
    # Too many positional arguments are reported before any keyword is looked at.
    ("find_all_paths_with_labels", 6, {"extra": 1},
     "find_all_paths_with_labels() takes at most 5 positional arguments (6 given)"),
]


@pytest.mark.parametrize("name, given, kwargs, message", COUNT_CASES)
def test_count_messages_of_module_functions(name, given, kwargs, message):
    conn, weights, lab = _fixtures()
    pool = [conn, weights, lab, 0, 0, None, 0]
    if name == "find_all_paths_with_labels":
        pool = [conn, lab, 0, -1, None, None]
    kwargs = {k: {"C": conn, "W": weights, "L": lab}.get(v, v) if isinstance(v, str) else v
              for k, v in kwargs.items()}
    raises(TypeError, message, getattr(bc, name), *pool[:given], **kwargs)


def test_count_messages_of_methods_and_construction():
    g = GW(2, 0, 2)
    raises(TypeError, "pop_max() takes exactly 0 positional arguments (1 given)", g.pop_max, 1)
    raises(TypeError, "to_numpy() takes exactly 1 positional argument (0 given)", g.to_numpy)
    raises(TypeError, "to_numpy() takes exactly 1 positional argument (2 given)", g.to_numpy, 0, 1)
    raises(TypeError, "to_numpy_all() takes exactly 0 positional arguments (1 given)", g.to_numpy_all, 0)
    raises(TypeError, "append() takes exactly 2 positional arguments (1 given)", g.append, 0)
    raises(TypeError, "append() takes exactly 2 positional arguments (0 given)", g.append, value=1)
    raises(TypeError, "append() takes exactly 2 positional arguments (1 given)", g.append, 0, **{})
    raises(TypeError, "pop() takes exactly 2 positional arguments (3 given)", g.pop, 0, 0, 0)
    raises(TypeError, "contains() takes exactly 2 positional arguments (1 given)", g.contains, index=0)
    raises(TypeError, "__cinit__() takes at least 3 positional arguments (2 given)", GW, 2, 0)
    raises(TypeError, "__cinit__() takes at most 4 positional arguments (5 given)", GW, 2, 0, 1, True, 0)
    raises(TypeError, "__cinit__() takes at least 3 positional arguments (1 given)", GW, 2, max_size=1)


def test_keyword_errors():
    conn, weights, lab = _fixtures()
    f = bc.find_subgraph_with_labels
    raises(TypeError, "find_subgraph_with_labels() got an unexpected keyword argument 'extra'",
           f, conn, weights, labels=lab, extra=1)
    raises(TypeError, "find_subgraph_with_labels() got multiple values for keyword argument 'labels'",
           f, conn, weights, lab, labels=lab)
    # An unknown keyword is reported before a missing parameter.
    raises(TypeError, "find_subgraph_with_labels() got an unexpected keyword argument 'extra'", f, conn, extra=1)
    # Keywords are examined in the order they were passed.
    raises(TypeError, "find_subgraph_with_labels() got an unexpected keyword argument 'extra'",
           f, conn, weights, lab, extra=1, labels=lab)
    raises(TypeError, "find_subgraph_with_labels() got multiple values for keyword argument 'labels'",
           f, conn, weights, lab, labels=lab, extra=1)
    g = GW(1, 0, 1)
    raises(TypeError, "pop_max() got an unexpected keyword argument 'x'", g.pop_max, x=1)
    raises(TypeError, "to_numpy_all() got an unexpected keyword argument 'index'", g.to_numpy_all, index=0)
    raises(TypeError, "append() got multiple values for keyword argument 'index'", g.append, 0, 1, index=0)
    raises(TypeError, "__cinit__() got an unexpected keyword argument 'size'", GW, 1, 0, 1, size=2)
    raises(TypeError, "__cinit__() got multiple values for keyword argument 'count'", GW, 1, 0, 1, count=2)


def test_non_string_keywords():
    # CPython passes a ** mapping with non-string keys through to the callable unchanged.
    conn, weights, lab = _fixtures()
    raises(TypeError, "find_subgraph_with_labels() keywords must be strings",
           lambda: bc.find_subgraph_with_labels(**{1: 2}))
    raises(TypeError, "make_labels() keywords must be strings", lambda: bc.make_labels(**{1: 2}))
    raises(TypeError, "to_numpy() keywords must be strings", lambda: GW(1, 0, 1).to_numpy(**{0: 0}))
    # Also through the C call interface with positional arguments present.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    raises(TypeError, "find_subgraph_with_labels() keywords must be strings",
           call, bc.find_subgraph_with_labels, (conn, weights), {1: lab})
    raises(TypeError, "append() keywords must be strings", call, GW(1, 0, 1).append, (0,), {b"value": 1})
    raises(TypeError, "__cinit__() keywords must be strings", call, GW, (1, 0, 1), {None: True})


def test_every_parameter_by_keyword():
    conn, weights = pair(4, [(0, 1, 1.0), (1, 2, 3.0), (2, 3, 2.0)])
    lab = labels(0, -1, -1, 1)
    assert bc.find_all_paths_with_labels(path=None, bomb_node=-1, start=0, labels=lab,
                                         connections_sparse=conn) == [[0, 1, 2, 3]]
    assert bc.explore_graph_recursive(start=3, labels=lab, connections_sparse=conn) == [[3, 2, 1, 0]]
    sub_c, sub_w = bc.find_subgraph_with_labels(labels=lab, weights_sparse=weights, connections_sparse=conn)
    assert [a.tolist() for a in sub_c.to_numpy_all()] == [[1], [0, 2], [1, 3], [2]]
    out = labels(-1, -1, -1, -1)
    assert bc.make_labels(labels=out, visited=set(), label=4, node=1, connections_sparse=conn) is None
    assert out.tolist() == [4, 4, 4, 4]
    c, w, new = bc.clusterize(labels=lab, weights_sparse=weights, connections_sparse=conn)
    assert new.tolist() == [0, 0, 1, 1]
    g = GW(lookup_opt=True, max_size=1, dtype=0, count=2)
    g.append(value=7, index=1)
    assert g.contains(value=7, index=1) is True
    assert g.to_numpy(index=1).tolist() == [7]
    assert g.pop(element_index=0, list_index=1) == 7


def test_tree_functions_match_arguments_like_the_other_modules():
    # _tree's functions are called by vectorcall: the same matching and messages, except that
    # CPython itself refuses non-string keywords before the call.
    from halvek.algorithms.src.brov.binaries import _tree

    points, edges = np.array([[0.0, 0.0], [1.0, 0.0], [3.0, 0.0]]), np.array([[0, 1], [1, 2]])
    mst, sides = _tree.euclidean_mst_edges, _tree.smaller_side_sizes
    raises(TypeError, "euclidean_mst_edges() takes at least 1 positional argument (0 given)", mst)
    raises(TypeError, "euclidean_mst_edges() takes at least 1 positional argument (0 given)", mst, progress=None)
    raises(TypeError, "euclidean_mst_edges() takes at most 6 positional arguments (7 given)", mst, points, None, 1,
           False, 1, 1, 1)
    raises(ValueError, "threads must be >= 0", mst, points, threads=-1)
    raises(TypeError, "euclidean_mst_edges() got an unexpected keyword argument 'x'", mst, points, x=1)
    raises(TypeError, "euclidean_mst_edges() got multiple values for keyword argument 'points'",
           mst, points, points=points)
    raises(TypeError, "smaller_side_sizes() takes exactly 2 positional arguments (1 given)", sides, edges)
    raises(TypeError, "smaller_side_sizes() got an unexpected keyword argument 'x'", sides, edges, n=3, x=1)
    raises(TypeError, "keywords must be strings", lambda: sides(edges, **{1: 2}))
    raises(TypeError, "progress must be callable or None", mst, points, progress=3)
    # n is taken as operator.index takes it: no float, no string, no __int__ alone.
    for bad in (2.5, "3", IntLike(3)):
        with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
            sides(edges, bad)
    with pytest.raises(OverflowError):
        sides(edges, 2 ** 70)
    raises(ValueError, "n must be >= 0", sides, edges, -1)
    raises(ValueError, "n must be >= 0", sides, edges, np.int8(-3))
    expected = [1, 1]
    assert sides(edges=edges, n=np.int64(3)).tolist() == expected
    assert sides(n=np.uint8(3), edges=edges).tolist() == expected
    assert mst(progress=None, points=points).tolist() == [[0, 1], [1, 2]]
    seen = []
    assert mst(points, seen.append).shape == (2, 2) and seen and seen[-1] == 1.0
    assert mst.__doc__.startswith("euclidean_mst_edges(points, progress=None, threads=0, int32=False, neighbours=0, "
                                  "kept=0)\n\n")
    raises(ValueError, "neighbours must be at most 64 and kept at most neighbours", mst, points, neighbours=2, kept=3)
    assert sides.__doc__.startswith("smaller_side_sizes(edges, n)\n\n")


# ---------------------------------------------------------------------------------------------
# Integer conversion (32-bit, 64-bit, size, DataType)

class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 1


def test_int32_conversion_truncates_and_accepts_integer_like_objects():
    g = GW(1, 0, 4)
    for v in (10, 11, 12, 13):
        g.append(0, v)
    # pop's indices are 32-bit: 2.9 is position 2.
    assert g.pop(0, 2.9) == 12
    assert g.pop(0, np.int64(1)) == 11
    assert g.pop(0, np.float32(1.5)) == 13
    assert g.pop(False, False) == 10
    g.append(0, 5)
    g.append(0, 6)
    if hasattr(fractions.Fraction, "__int__"):  # from Python 3.11 on
        assert g.pop(0, fractions.Fraction(3, 2)) == 6
    else:
        raises(TypeError, "an integer is required", g.pop, 0, fractions.Fraction(3, 2))
        assert g.pop(0, 1) == 6
    assert g.pop(0, IntLike(0)) == 5
    # 2.9 as the start node of a path search is node 2, not 3.
    conn, _ = chain(4)
    lab = labels(0, -1, -1, 1)
    assert bc.find_all_paths_with_labels(conn, lab, 2.9) == [[2, 3]]
    assert bc.find_all_paths_with_labels(conn, lab, np.float64(3.2)) == [[3, 2, 1, 0]]


def test_int32_range():
    g = GW(1, 0, 1)
    for bad in (2 ** 31, -2 ** 31 - 1, 2 ** 40, -2 ** 40, np.uint32(2 ** 31), 2.0 ** 31):
        raises(OverflowError, "value too large to convert to int", g.pop, 0, bad)
    # The boundary values themselves convert; the container then reports its own range errors.
    raises(IndexError, "List index out of range", g.pop, 2 ** 31 - 1, 0)
    raises(IndexError, "List index out of range", g.pop, -2 ** 31, 0)
    # Beyond 64 bits the interpreter's own conversion error comes through.
    with pytest.raises(OverflowError) as info:
        g.pop(0, 2 ** 64)
    assert str(info.value) != "value too large to convert to int"
    conn, _ = chain(2)
    raises(OverflowError, "value too large to convert to int",
           bc.find_all_paths_with_labels, conn, labels(0, 1), 0, 2 ** 31)
    raises(OverflowError, "value too large to convert to int", bc.make_labels, conn, 0, -2 ** 31 - 1, set(),
           labels(0, 0))


def test_integer_conversion_refusals():
    g = GW(1, 0, 1)
    for bad in ("2", None, [1], b"1", 1j, IndexOnly(), object()):
        raises(TypeError, "an integer is required", g.pop, 0, bad)
        raises(TypeError, "an integer is required", g.to_numpy, bad)
        raises(TypeError, "an integer is required", GW, bad, 0, 1)
    raises(TypeError, "__int__ returned non-int (type str)", g.pop, 0, IntLike("0"))
    raises(TypeError, "__int__ returned non-int (type float)", g.to_numpy, IntLike(0.0))
    raises(TypeError, "__int__ returned non-int (type NoneType)", GW, 1, IntLike(None), 1)
    conn, _ = chain(2)
    raises(TypeError, "an integer is required", bc.find_all_paths_with_labels, conn, labels(0, 1), "0")
    raises(TypeError, "an integer is required", bc.make_labels, conn, 0, "1", set(), labels(0, 0))


def test_int_returned_by_a_subclass_of_int_is_accepted_with_a_deprecation_warning():
    g = GW(1, 0, 1)
    g.append(0, 9)
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type bool\)"):
        assert g.pop(0, IntLike(False)) == 9
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        g.append(0, 9)
        with pytest.raises(DeprecationWarning):
            g.pop(0, IntLike(False))
        assert g.to_numpy(0).tolist() == [9]


def test_int64_conversion():
    g = GW(2, 0, 2)
    g.append(0, 2 ** 63 - 1)
    g.append(0, -2 ** 63)
    g.append(0, 1.9)
    g.append(0, np.uint32(7))
    g.append(1.7, np.int8(-3))
    assert g.to_numpy(0).tolist() == [2 ** 63 - 1, -2 ** 63, 1, 7]
    assert g.to_numpy(1.2).tolist() == [-3]
    for bad in (2 ** 63, -2 ** 63 - 1, np.uint64(2 ** 64 - 1)):
        with pytest.raises(OverflowError):
            g.append(1, bad)
        with pytest.raises(OverflowError):
            g.to_numpy(bad)
    assert g.to_numpy(1).tolist() == [-3]
    # Within 64 bits an index is only a range error.
    raises(IndexError, "Invalid array index", g.to_numpy, 2 ** 40)
    raises(TypeError, "an integer is required", g.append, 0, "1")


def test_size_conversion():
    raises(OverflowError, "can't convert negative value to size_t", GW, -1, 0, 5)
    raises(OverflowError, "can't convert negative value to size_t", GW, -2 ** 70, 0, 5)
    raises(OverflowError, "can't convert negative value to size_t", GW, -1.5, 0, 5)
    raises(OverflowError, "can't convert negative value to size_t", GW, np.int64(-3), 0, 5)
    with pytest.raises(OverflowError) as info:
        GW(2 ** 64, 0, 5)
    assert "negative" not in str(info.value)
    # -0.5 truncates to 0, which is a valid count.
    assert GW(-0.5, 0, 5).to_numpy_all() == []
    assert len(GW(2.7, 0, 5).to_numpy_all()) == 2
    assert len(GW(True, 0, 5).to_numpy_all()) == 1


def test_datatype_conversion():
    assert GW(1, True, 1).to_numpy(0).dtype == np.float32
    assert GW(1, 0.9, 1).to_numpy(0).dtype == np.int64
    assert GW(1, np.uint8(1), 1).to_numpy(0).dtype == np.float32
    for bad in (-1, 2 ** 32, -2 ** 31, 2 ** 63 - 1, -2 ** 63, np.int64(-1)):
        with pytest.raises(OverflowError) as info:
            GW(1, bad, 1)
        message = str(info.value)
        assert message.startswith("value too large to convert to enum ") and message.endswith("DataType")
    # Values the enumeration's range holds pass conversion and fail later, only when a list exists.
    GW(0, 2 ** 32 - 1, 1)
    raises(ValueError, "Unsupported data type", GW, 1, 2 ** 32 - 1, 1)
    with pytest.raises(OverflowError) as info:
        GW(1, 2 ** 64, 1)
    assert "enum" not in str(info.value)
    raises(TypeError, "an integer is required", GW, 1, "0", 1)


# ---------------------------------------------------------------------------------------------
# Flags

class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


def has_sets(g):
    g.append(0, 3)
    try:
        return g.contains(0, 3)
    except TypeError as exc:
        assert "lookup" in str(exc)
        return False


@pytest.mark.parametrize("flag, expected", [
    (True, True), (False, False), (None, False), (1, True), (0, False), ([], False), ([0], True),
    ("", False), ("no", True), (Truth(True), True), (Truth(False), False), (np.bool_(True), True),
    (np.array([0]), False),
])
def test_flag_conversion(flag, expected):
    assert has_sets(GW(1, 0, 1, flag)) is expected
    assert has_sets(GW(1, 0, 1, lookup_opt=flag)) is expected


def test_flag_errors_propagate():
    raises(ZeroDivisionError, "boom", GW, 1, 0, 1, Truth(ZeroDivisionError("boom")))
    with pytest.raises(ValueError, match="truth value of an array"):
        GW(1, 0, 1, np.array([1, 2]))


def test_lookup_flag_is_converted_after_the_other_parameters():
    bad_flag = Truth(ZeroDivisionError("boom"))
    raises(OverflowError, "can't convert negative value to size_t", GW, -1, 0, 1, bad_flag)
    raises(OverflowError, "value too large to convert to int", GW, 1, 0, 2 ** 31, bad_flag)


# ---------------------------------------------------------------------------------------------
# ndarray and set type tests

class LabelArray(np.ndarray):
    pass


class MySet(set):
    pass


def test_ndarray_type_test():
    conn, weights = chain(3)
    for bad, name in (([0, -1, 1], "list"), ((0, -1, 1), "tuple"), ("abc", "str"), (memoryview(b"abc"), "memoryview"),
                      (np.int8(0), "numpy.int8"), (bytearray(3), "bytearray")):
        expected = f"Argument 'labels' has incorrect type (expected numpy.ndarray, got {name})"
        raises(TypeError, expected, bc.find_all_paths_with_labels, conn, bad, 0)
        raises(TypeError, expected, bc.explore_graph_recursive, conn, bad, 0)
        raises(TypeError, expected, bc.find_subgraph_with_labels, conn, weights, bad)
        raises(TypeError, expected, bc.make_labels, conn, 0, 1, set(), bad)
        raises(TypeError, expected, bc.clusterize, conn, weights, bad)
    # A subclass of ndarray passes.
    sub = labels(0, -1, 1).view(LabelArray)
    assert bc.find_all_paths_with_labels(conn, sub, 0) == [[0, 1, 2]]
    bc.make_labels(conn, 0, 7, set(), sub)
    assert sub.tolist() == [7, 7, 7]


def test_labels_none_is_refused_at_entry():
    # An adjacency object without methods would fail with AttributeError once the work started.
    nothing = object()
    visited = set()
    for call in (lambda: bc.find_all_paths_with_labels(nothing, None, 0),
                 lambda: bc.explore_graph_recursive(nothing, None, 0),
                 lambda: bc.make_labels(nothing, 0, 1, visited, None)):
        with pytest.raises(TypeError):
            call()
    assert visited == set()
    conn, weights = chain(3)
    raises(TypeError, "object of type 'NoneType' has no len()", bc.clusterize, conn, weights, None)
    assert conn.to_numpy(1).tolist() == [0, 2]


def test_set_type_test():
    conn, _ = chain(2)
    out = labels(-1, -1)
    for bad, name in ((frozenset(), "frozenset"), (MySet(), "MySet"), ([], "list"), ({}, "dict"),
                      ({1: 2}.keys(), "dict_keys")):
        raises(TypeError, f"Argument 'visited' has incorrect type (expected set, got {name})",
               bc.make_labels, conn, 0, 1, bad, out)
    assert out.tolist() == [-1, -1]
    # None passes the type test and fails when the walk adds its first node.
    raises(AttributeError, "'NoneType' object has no attribute 'add'", bc.make_labels, conn, 0, 1, None, out)
    assert out.tolist() == [-1, -1]


def test_visited_members_that_only_equal_node_indices_still_fence_the_fill():
    # A set holding 2.0 (equal to node 2 but not an int) keeps the fill out of node 2 on exact
    # containers as on a subclass, and the fill adds the nodes it reached.
    for cls in (GW, Subclassed):
        conn, _ = chain(4, cls)
        out = labels(-1, -1, -1, -1)
        visited = {2.0}
        assert bc.make_labels(conn, 0, 5, visited, out) is None
        assert out.tolist() == [5, 5, -1, -1]
        assert visited == {0, 1, 2}


def test_argument_processing_order():
    conn, weights = chain(2)
    # find_all_paths_with_labels: start, bomb_node, then labels.
    raises(TypeError, "an integer is required", bc.find_all_paths_with_labels, conn, [0], "x", 2 ** 31)
    raises(OverflowError, "value too large to convert to int", bc.find_all_paths_with_labels, conn, [0], 0, 2 ** 31)
    # explore_graph_recursive: start, then labels.
    raises(TypeError, "an integer is required", bc.explore_graph_recursive, conn, [0], None)
    # make_labels: node, label, visited, labels.
    raises(TypeError, "an integer is required", bc.make_labels, conn, "x", 2 ** 31, frozenset(), [0])
    raises(OverflowError, "value too large to convert to int", bc.make_labels, conn, 0, 2 ** 31, frozenset(), [0])
    raises(TypeError, "Argument 'visited' has incorrect type (expected set, got frozenset)",
           bc.make_labels, conn, 0, 0, frozenset(), [0])
    # Type test before buffer acquisition, dimensions before element type.
    raises(ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)",
           bc.find_subgraph_with_labels, conn, weights, np.zeros((2, 2), dtype=np.int64))


# ---------------------------------------------------------------------------------------------
# Label buffers

DTYPE_DESCRIPTIONS = [
    (np.int64, "'long'"), (np.uint8, "'unsigned char'"), (np.float32, "'float'"), (np.float64, "'double'"),
    (np.bool_, "'bool'"), (np.int16, "'short'"), (np.uint16, "'unsigned short'"), (np.int32, "'int'"),
    (np.uint32, "'unsigned int'"), (np.uint64, "'unsigned long'"), (np.longdouble, "'long double'"),
    (np.complex64, "'complex float'"), (np.complex128, "'complex double'"),
    (np.clongdouble, "'complex long double'"), (object, "Python object"),
    (np.dtype([("a", np.int8)]), "a struct"), (np.dtype([("a", np.int8), ("b", np.int64)]), "a struct"),
]


@pytest.mark.parametrize("dtype, description", DTYPE_DESCRIPTIONS)
def test_label_dtype_mismatch(dtype, description):
    conn, _ = chain(3)
    bad = np.zeros(3, dtype=dtype)
    raises(ValueError, f"Buffer dtype mismatch, expected 'int8_t' but got {description}",
           bc.find_all_paths_with_labels, conn, bad, 0)


def test_every_function_checks_its_label_buffer():
    conn, weights = chain(3)
    calls = [
        lambda a: bc.find_all_paths_with_labels(conn, a, 0),
        lambda a: bc.explore_graph_recursive(conn, a, 0),
        lambda a: bc.find_subgraph_with_labels(conn, weights, a),
        lambda a: bc.make_labels(conn, 0, 1, set(), a),
        lambda a: bc.clusterize(conn, weights, a),
    ]
    for call in calls:
        raises(ValueError, "Buffer dtype mismatch, expected 'int8_t' but got 'long'", call, np.zeros(3, np.int64))
        raises(ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)", call,
               np.zeros((3, 1), np.int8))
        raises(ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)", call,
               np.array(0, dtype=np.int8))
        raises(ValueError, "Big-endian buffer not supported on little-endian compiler", call,
               np.zeros(3, dtype=">i8"))
    # Nothing was cut, joined or written along the way.
    assert [a.tolist() for a in conn.to_numpy_all()] == [[1], [0, 2], [1]]
    assert [a.tolist() for a in weights.to_numpy_all()] == [[1.0], [1.0, 1.0], [1.0]]


def test_native_and_explicit_little_endian_int8_are_accepted():
    conn, _ = chain(3)
    for dtype in ("i1", "<i1", ">i1", "=i1", np.byte):
        assert bc.find_all_paths_with_labels(conn, np.array([0, -1, 1], dtype=dtype), 0) == [[0, 1, 2]]


@pytest.mark.parametrize("cls", [GW, Subclassed])
def test_strided_labels_are_read_through_the_stride(cls):
    conn, weights = pair(3, [(0, 1, 2.0), (1, 2, 5.0)], cls)
    # Every second element: the elements in between would end the path at node 1.
    base = np.array([0, 9, -1, 9, 1, 9], dtype=np.int8)
    assert bc.find_all_paths_with_labels(conn, base[::2], 0) == [[0, 1, 2]]
    assert bc.explore_graph_recursive(conn, base[::2], 0) == [[0, 1, 2]]
    # Reversed: the buffer starts at the last element and steps backwards.
    rev = np.array([1, -1, 0], dtype=np.int8)[::-1]
    assert bc.find_all_paths_with_labels(conn, rev, 0) == [[0, 1, 2]]
    assert bc.find_all_paths_with_labels(conn, rev, 2) == [[2, 1, 0]]
    sub_c, sub_w = bc.find_subgraph_with_labels(conn, weights, base[::2])
    assert [a.tolist() for a in sub_c.to_numpy_all()] == [[1], [0, 2], [1]]
    c, w, new = bc.clusterize(conn, weights, rev)
    assert new.tolist() == [0, 0, 1]
    assert rev.tolist() == [0, -1, 1]


def test_make_labels_writes_through_the_stride():
    conn, _ = chain(3)
    base = np.full(6, 9, dtype=np.int8)
    bc.make_labels(conn, 1, 5, set(), base[::2])
    assert base.tolist() == [5, 9, 5, 9, 5, 9]
    base = np.array([1, 2, 3, 4], dtype=np.int8)
    view = base[::-1]  # node i is base[3 - i]
    two = GW(4, 0, 1)
    two.append(0, 1)
    two.append(1, 0)
    bc.make_labels(two, 0, -7, set(), view)
    assert base.tolist() == [1, 2, -7, -7]


def test_read_only_labels():
    conn, weights = chain(3)
    ro = labels(0, -1, 1)
    ro.flags.writeable = False
    # Read access is enough for the searches and for clusterize, which writes into a copy.
    assert bc.find_all_paths_with_labels(conn, ro, 0) == [[0, 1, 2]]
    assert bc.explore_graph_recursive(conn, ro, 0) == [[0, 1, 2]]
    bc.find_subgraph_with_labels(conn, weights, ro)
    _, _, new = bc.clusterize(conn, weights, ro)
    assert new.flags.writeable
    # make_labels needs write access and gets NumPy's refusal.
    raises(ValueError, "buffer source array is read-only", bc.make_labels, conn, 0, 1, set(), ro)
    assert ro.tolist() == [0, -1, 1]
