"""GraphWrapper: construction and capacity, append/pop/contains, pop_max, the NumPy export,
the refusal to be pickled, and subclasses whose overrides the module functions honour."""

import copy
import gc
import math
import pickle
import sys

import numpy as np
import pytest

from halvek.algorithms.src.brov.binaries import brov_core as bc

GW = bc.GraphWrapper
INT64, FLOAT32 = 0, 1
FLT_MAX = float(np.finfo(np.float32).max)


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message


def filled(dtype, lists, max_size=None, lookup_opt=False, cls=GW):
    g = cls(len(lists), dtype, max_size if max_size is not None else max(map(len, lists), default=0) + 1,
            lookup_opt)
    for i, values in enumerate(lists):
        for v in values:
            g.append(i, v)
    return g


def contents(g):
    return [a.tolist() for a in GW.to_numpy_all(g)]


# ---------------------------------------------------------------------------------------------
# Construction

def test_construction_defaults_and_shape():
    g = GW(3, INT64, 2)
    assert contents(g) == [[], [], []]
    assert [a.dtype for a in g.to_numpy_all()] == [np.int64] * 3
    assert [a.dtype for a in GW(2, FLOAT32, 2).to_numpy_all()] == [np.float32] * 2
    # lookup_opt defaults to False: an INT64 container without sets cannot answer membership.
    with pytest.raises(TypeError):
        g.contains(0, 1)


def test_unsupported_data_type_only_when_there_is_a_list():
    raises(ValueError, "Unsupported data type", GW, 3, 2, 5)
    raises(ValueError, "Unsupported data type", GW, 1, 2 ** 32 - 1, 5, True)
    empty = GW(0, 2, 5)
    assert empty.to_numpy_all() == []
    raises(IndexError, "Invalid array index", empty.append, 0, 1)
    raises(ValueError, "All sub-arrays are empty, cannot pop max", empty.pop_max)


def test_empty_container():
    g = GW(0, INT64, 5)
    raises(IndexError, "Invalid array index", g.append, 0, 5)
    raises(IndexError, "List index out of range", g.pop, 0, 0)
    raises(IndexError, "Invalid array index", g.contains, 0, 5)
    raises(IndexError, "Invalid array index", g.to_numpy, 0)
    raises(ValueError, "All sub-arrays are empty, cannot pop max", g.pop_max)
    assert g.to_numpy_all() == []


def test_capacity_is_three_times_max_size():
    g = GW(4, FLOAT32, 2)
    for k in range(6):
        g.append(1, k)
    raises(OverflowError, "Array has reached its maximum size", g.append, 1, 6)
    assert contents(g)[1] == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]
    # The other lists have their own room.
    for k in range(6):
        g.append(3, -k)
    assert contents(g) == [[], [0.0, 1.0, 2.0, 3.0, 4.0, 5.0], [], [-0.0, -1.0, -2.0, -3.0, -4.0, -5.0]]
    # Room freed by pop can be used again.
    g.pop(1, 0)
    g.append(1, 6)
    assert contents(g)[1] == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]


@pytest.mark.parametrize("max_size", [1, 7, 100, 4096])
def test_lists_grow_to_their_full_capacity(max_size):
    # Storage grows on demand; every element must survive the growth steps.
    g = GW(2, INT64, max_size, True)
    values = [(k * 7919) % 100003 - 50000 for k in range(3 * max_size)]
    for v in values:
        g.append(1, v)
    raises(OverflowError, "Array has reached its maximum size", g.append, 1, 0)
    assert g.to_numpy(1).tolist() == values
    assert g.to_numpy(0).tolist() == []
    assert all(g.contains(1, v) for v in values[:: max(1, max_size // 7)])


@pytest.mark.parametrize("dtype", [INT64, FLOAT32])
def test_interleaved_growth_keeps_every_list(dtype):
    # Lists grow in turns, popped now and then, over many storage blocks: each keeps its own values.
    rng = np.random.default_rng(3)
    g = GW(50, dtype, 400)
    expected = [[] for _ in range(50)]
    for step in range(20000):
        i = int(rng.integers(0, 50)) if step % 3 else int(rng.integers(0, 5))
        if expected[i] and rng.random() < 0.2:
            k = int(rng.integers(0, len(expected[i])))
            assert g.pop(i, k) == expected[i].pop(k)
        elif len(expected[i]) < 1200:
            v = int(rng.integers(-1000, 1000))
            g.append(i, v)
            expected[i].append(v)
    assert contents(g) == expected


@pytest.mark.parametrize("max_size", [0, -1, -5, -715827882])
def test_zero_or_negative_max_size_stores_nothing(max_size):
    for dtype in (INT64, FLOAT32):
        g = GW(2, dtype, max_size, True)
        raises(OverflowError, "Array has reached its maximum size", g.append, 0, 1)
        raises(IndexError, "Cannot pop from an empty sublist", g.pop, 0, 0)
        assert contents(g) == [[], []]


def test_max_size_whose_triple_does_not_fit_in_32_bits():
    for bad in (715827883, 2 ** 31 - 1, -715827883, -2 ** 31):
        with pytest.raises(OverflowError):
            GW(1, INT64, bad)
    # The largest allowed capacity is accepted and costs nothing until used.
    big = GW(1000, FLOAT32, 715827882)
    big.append(999, 2.5)
    assert big.to_numpy(999).tolist() == [2.5]
    assert GW(1, INT64, -715827882).to_numpy(0).tolist() == []


def test_large_containers_only_pay_for_what_they_store():
    # 10^5 lists of capacity 3 * 10^5: preallocating would need 240 GB.
    g = GW(10 ** 5, INT64, 10 ** 5, True)
    g.append(10 ** 5 - 1, 42)
    assert g.contains(10 ** 5 - 1, 42)
    assert g.to_numpy(10 ** 5 - 1).tolist() == [42]


def test_huge_count_is_a_memory_error():
    with pytest.raises(MemoryError):
        GW(2 ** 62, INT64, 1)


def test_lookup_opt_on_float32_changes_nothing():
    g = GW(1, FLOAT32, 2, True)
    g.append(0, 1.5)
    raises(TypeError, "Membership check only supported for int64 arrays", g.contains, 0, 1)
    assert contents(g) == [[1.5]]


def test_instances_have_no_attribute_dictionary_and_are_not_tracked():
    g = GW(1, INT64, 1)
    assert not hasattr(g, "__dict__")
    with pytest.raises(AttributeError):
        g.extra = 1
    with pytest.raises(AttributeError):
        g._max_size = 1
    assert not gc.is_tracked(g)


# ---------------------------------------------------------------------------------------------
# append / pop / contains

def test_append_index_checks():
    g = GW(2, INT64, 1)
    raises(IndexError, "Invalid array index", g.append, -1, 5)
    raises(IndexError, "Invalid array index", g.append, 2, 5)
    raises(IndexError, "Invalid array index", g.append, 2 ** 63 - 1, 5)


def test_append_check_order_and_unchanged_on_failure():
    g = GW(2, INT64, 1, True)
    for v in (1, 2, 3):
        g.append(0, v)
    # Index before room, room before the value.
    raises(IndexError, "Invalid array index", g.append, 5, "x")
    raises(OverflowError, "Array has reached its maximum size", g.append, 0, "x")
    raises(TypeError, "an integer is required", g.append, 1, "x")
    with pytest.raises(OverflowError):
        g.append(1, 2 ** 63)
    assert contents(g) == [[1, 2, 3], []]
    assert not g.contains(1, 0)
    # List 1 was untouched by the full list 0.
    g.append(1, 4)
    assert contents(g) == [[1, 2, 3], [4]]


def test_append_value_conversion_int64():
    g = GW(1, INT64, 3)
    g.append(0, 2.9)
    g.append(0, -2.9)
    g.append(0, True)
    g.append(0, np.int16(-7))
    g.append(0, np.float32(8.5))
    assert contents(g) == [[2, -2, 1, -7, 8]]


class FloatLike:
    def __float__(self):
        return 0.25


class IndexLike:
    def __index__(self):
        return 3


def test_append_value_conversion_float32():
    g = GW(1, FLOAT32, 4)
    g.append(0, 3)
    g.append(0, FloatLike())
    g.append(0, IndexLike())
    g.append(0, np.float64(0.5))
    g.append(0, float("nan"))
    assert g.to_numpy(0)[:4].tolist() == [3.0, 0.25, 3.0, 0.5]
    assert math.isnan(g.to_numpy(0)[4])
    with pytest.raises(TypeError):
        g.append(0, "a")
    with pytest.raises(TypeError):
        g.append(0, None)
    with pytest.raises(OverflowError):
        g.append(0, 10 ** 400)
    assert g.to_numpy(0).size == 5


@pytest.mark.parametrize("value", [
    0.1, 1 / 3, 1e-40, 1e-46, -1e-46, 5e-324, FLT_MAX, FLT_MAX + 2.0 ** 102, FLT_MAX + 2.0 ** 103,
    FLT_MAX + 2.0 ** 104, -(FLT_MAX + 2.0 ** 103), 1e39, 1e300, -1e300, float("inf"), float("-inf"), -0.0,
    16777217.0, 2.0 ** 128,
])
def test_float32_rounding_matches_ieee(value):
    g = GW(1, FLOAT32, 1)
    g.append(0, value)
    with np.errstate(over="ignore"):
        expected = np.array([value], dtype=np.float64).astype(np.float32)
    stored = g.to_numpy(0)
    assert stored.tobytes() == expected.tobytes()
    if not math.isnan(value):
        assert g.pop(0, 0) == float(expected[0])


def test_pop_messages_and_check_order():
    g = GW(2, INT64, 2)
    g.append(0, 5)
    raises(IndexError, "List index out of range", g.pop, -1, 0)
    raises(IndexError, "List index out of range", g.pop, 2, 99)
    raises(IndexError, "Cannot pop from an empty sublist", g.pop, 1, 0)
    raises(IndexError, "Cannot pop from an empty sublist", g.pop, 1, -1)
    raises(IndexError, "Element index out of range", g.pop, 0, -1)
    raises(IndexError, "Element index out of range", g.pop, 0, 1)
    assert contents(g) == [[5], []]


def test_pop_keeps_order_and_returns_python_values():
    g = GW(1, INT64, 2)
    for v in (10, 20, 30, 40):
        g.append(0, v)
    assert g.pop(0, 0) == 10
    assert contents(g) == [[20, 30, 40]]
    assert g.pop(0, 1) == 30
    assert contents(g) == [[20, 40]]
    value = g.pop(0, 1)
    assert type(value) is int and value == 40
    w = GW(1, FLOAT32, 2)
    w.append(0, 0.1)
    w.append(0, 2)
    value = w.pop(0, 0)
    assert type(value) is float and value == 0.10000000149011612
    assert w.pop(0, 0) == 2.0
    big = GW(1, INT64, 1)
    big.append(0, -2 ** 63)
    assert big.pop(0, 0) == -2 ** 63


def test_contains_messages_and_check_order():
    raises(IndexError, "Invalid array index", GW(1, FLOAT32, 1).contains, 1, 0)
    raises(IndexError, "Invalid array index", GW(1, INT64, 1).contains, -1, 0)
    raises(TypeError, "Membership check only supported for int64 arrays", GW(1, FLOAT32, 1).contains, 0, 1)
    raises(TypeError, "Membership check needs lookup sets: create the container with lookup_opt=True",
           GW(1, INT64, 1).contains, 0, 1)
    raises(IndexError, "Invalid array index", GW(1, INT64, 1).contains, 1, 1)


def test_lookup_sets_remember_popped_values():
    g = GW(2, INT64, 2, lookup_opt=True)
    g.append(0, 7)
    g.pop(0, 0)
    assert g.contains(0, 7) is True
    assert g.contains(0, 8) is False
    assert g.contains(1, 7) is False
    g.append(1, 7)
    g.append(1, 7)
    g.pop(1, 0)
    assert contents(g) == [[], [7]]
    assert g.contains(1, 7) is True
    g.append(1, -2 ** 63)
    assert g.contains(1, -2 ** 63) and not g.contains(1, 2 ** 63 - 1)


# ---------------------------------------------------------------------------------------------
# pop_max

NAN = float("nan")


@pytest.mark.parametrize("lists, result, after", [
    ([[2.0, 5.0], [5.0], [1.0]], (0, 1), [[2.0], [], [1.0]]),
    ([[3.0, 1.0, 3.0], []], (0, 0), [[1.0], []]),
    ([[4.0], [4.0, 4.0], [4.0]], (0, 1), [[], [], []]),
    ([[-1.0], [-1.0]], (0, 1), [[], []]),
    ([[1.0, 5.0, 2.0, 5.0, 3.0], [0.0]], (0, 0), [[1.0, 2.0, 3.0], [0.0]]),
    ([[0.0], [-0.0], [-0.5]], (0, 1), [[], [], [-0.5]]),
    ([[], [], [9.0, 1.0], [2.0, 9.0]], (2, 3), [[], [], [1.0], [2.0]]),
    ([[float("inf")], [1.0, float("inf")]], (0, 1), [[], [1.0]]),
    ([[-1.0, -3.0], [-3.0, -1.0]], (0, 1), [[-3.0], [-3.0]]),
])
def test_pop_max(lists, result, after):
    g = filled(FLOAT32, lists)
    got = g.pop_max()
    assert got == result
    assert type(got) is tuple and all(type(x) is int for x in got)
    assert contents(g) == after


def test_pop_max_skips_nan_and_values_below_minus_one():
    g = filled(FLOAT32, [[NAN, 2.0], [2.0]])
    assert g.pop_max() == (0, 1)
    remaining = contents(g)
    assert math.isnan(remaining[0][0]) and len(remaining[0]) == 1 and remaining[1] == []
    for lists in ([[-2.0], [-2.0]], [[NAN], [NAN]], [[], []], [[-1.5, NAN]]):
        g = filled(FLOAT32, lists)
        before = g.to_numpy_all()
        raises(ValueError, "All sub-arrays are empty, cannot pop max", g.pop_max)
        assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(before, g.to_numpy_all()))


def test_pop_max_ignores_int64_containers():
    g = filled(INT64, [[5, 9], [9]])
    raises(ValueError, "All sub-arrays are empty, cannot pop max", g.pop_max)
    assert contents(g) == [[5, 9], [9]]


def test_pop_max_with_a_single_maximal_entry_changes_nothing():
    g = filled(FLOAT32, [[5.0], [1.0]])
    raises(ValueError, "Only one entry holds the maximum value, cannot pop max", g.pop_max)
    assert contents(g) == [[5.0], [1.0]]


def test_pop_max_keeps_the_capacity():
    g = GW(2, FLOAT32, 1)
    for v in (1.0, 3.0, 3.0):
        g.append(0, v)
    g.append(1, 3.0)
    assert g.pop_max() == (0, 0)
    assert contents(g) == [[1.0], []]
    g.append(0, 2.0)
    g.append(0, 2.0)
    raises(OverflowError, "Array has reached its maximum size", g.append, 0, 2.0)


def test_pop_max_arguments():
    g = filled(FLOAT32, [[1.0], [1.0]])
    raises(TypeError, "pop_max() takes exactly 0 positional arguments (1 given)", g.pop_max, 1)
    raises(TypeError, "pop_max() got an unexpected keyword argument 'k'", g.pop_max, k=1)
    assert contents(g) == [[1.0], [1.0]]


# ---------------------------------------------------------------------------------------------
# Export to NumPy

def test_to_numpy_dtype_length_and_index_checks():
    g = GW(2, INT64, 100)
    g.append(0, 3)
    a = g.to_numpy(0)
    assert a.dtype == np.int64 and a.ndim == 1 and a.tolist() == [3]
    empty = g.to_numpy(1)
    assert empty.dtype == np.int64 and empty.shape == (0,)
    assert GW(1, FLOAT32, 3).to_numpy(0).dtype == np.float32
    raises(IndexError, "Invalid array index", g.to_numpy, -1)
    raises(IndexError, "Invalid array index", g.to_numpy, 2)


def test_to_numpy_exports_copies():
    g = GW(1, INT64, 3)
    g.append(0, 1)
    g.append(0, 2)
    arr = g.to_numpy(0)
    g.append(0, 5)
    assert arr.tolist() == [1, 2]
    arr[0] = 99
    assert g.to_numpy(0).tolist() == [1, 2, 5]
    g.pop(0, 0)
    assert arr.tolist() == [99, 2]
    assert arr.flags.owndata and arr.flags.writeable
    assert not np.shares_memory(g.to_numpy(0), g.to_numpy(0))


def test_float32_export_is_not_widened():
    g = GW(1, FLOAT32, 1)
    g.append(0, 0.1)
    a = g.to_numpy(0)
    assert a.dtype == np.float32 and a[0] == np.float32(0.1)


def test_to_numpy_all():
    g = filled(FLOAT32, [[1.0], [], [2.0, 3.0]])
    arrays = g.to_numpy_all()
    assert type(arrays) is list and len(arrays) == 3
    assert [a.dtype for a in arrays] == [np.float32] * 3
    assert [a.tolist() for a in arrays] == [[1.0], [], [2.0, 3.0]]
    again = g.to_numpy_all()
    assert again is not arrays and all(a is not b for a, b in zip(arrays, again))
    arrays[0][0] = 7.0
    assert g.to_numpy(0).tolist() == [1.0]


# ---------------------------------------------------------------------------------------------
# Pickling and copying are refused

NO_REDUCE = "no default __reduce__ due to non-trivial __cinit__"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_refused(protocol):
    raises(TypeError, NO_REDUCE, pickle.dumps, GW(1, INT64, 1), protocol)


def test_copy_and_hooks_refused():
    g = GW(1, FLOAT32, 1)
    raises(TypeError, NO_REDUCE, copy.copy, g)
    raises(TypeError, NO_REDUCE, copy.deepcopy, g)
    raises(TypeError, NO_REDUCE, g.__reduce__)
    raises(TypeError, NO_REDUCE, g.__reduce_ex__, 2)
    raises(TypeError, NO_REDUCE, g.__setstate__, None)
    with pytest.raises(TypeError):
        g.__setstate__()
    with pytest.raises(TypeError):
        g.__reduce__(1)


# ---------------------------------------------------------------------------------------------
# Subclasses

class Plain(GW):
    pass


def test_subclass_construction_and_native_methods():
    g = Plain(2, INT64, 1, lookup_opt=True)
    g.append(1, 4)
    assert g.contains(1, 4) and g.to_numpy(1).tolist() == [4]
    g.note = "instances of subclasses get a dictionary"
    assert g.note == "instances of subclasses get a dictionary"
    raises(TypeError, "__cinit__() takes at least 3 positional arguments (1 given)", Plain, 1)
    raises(TypeError, NO_REDUCE, pickle.dumps, g)

    class WithInit(GW):
        def __init__(self, count, dtype, max_size, lookup_opt=False):
            self.shape = (count, dtype, max_size)

    w = WithInit(3, FLOAT32, 2)
    assert w.shape == (3, 1, 2) and len(w.to_numpy_all()) == 3


class Reversed(GW):
    """Neighbour lists read back to front."""

    def __init__(self, *args):
        self.calls = []

    def to_numpy(self, index):
        self.calls.append(index)
        return GW.to_numpy(self, index)[::-1].copy()


def star(cls):
    # 0 (label 0) with neighbours 1 (label 1) and 2 (label 2).
    conn = cls(3, INT64, 2)
    for a, b in ((0, 1), (0, 2), (1, 0), (2, 0)):
        conn.append(a, b)
    return conn


def test_to_numpy_override_used_by_path_search():
    lab = np.array([0, 1, 2], dtype=np.int8)
    assert bc.find_all_paths_with_labels(star(GW), lab, 0) == [[0, 1], [0, 2]]
    conn = star(Reversed)
    assert bc.find_all_paths_with_labels(conn, lab, 0) == [[0, 2], [0, 1]]
    assert conn.calls == [0] and type(conn.calls[0]) is int


def unaligned(array):
    """A copy of `array` whose data starts one byte past an aligned address."""
    raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(array.dtype)
    view[:] = array
    assert array.size == 0 or view.ctypes.data % array.itemsize != 0
    return view


class Unaligned(GW):
    def to_numpy(self, index):
        return unaligned(GW.to_numpy(self, index))


def test_unaligned_exports_are_read_like_aligned_ones():
    lab = np.array([0, 1, 2], dtype=np.int8)
    assert bc.find_all_paths_with_labels(star(Unaligned), lab, 0) == [[0, 1], [0, 2]]
    conn, weights = star(Unaligned), Unaligned(3, FLOAT32, 2)
    for a, w in ((0, 1.5), (0, 2.5), (1, 1.5), (2, 2.5)):
        weights.append(a, w)
    assert bc.clusterize(conn, weights, lab)[2].tolist() == [0, 1, 2]
    assert [a.tolist() for a in conn.to_numpy_all()] == [[], [], []]


def test_to_numpy_all_honours_a_to_numpy_override():
    conn = star(Reversed)
    assert [a.tolist() for a in conn.to_numpy_all()] == [[2, 1], [0], [0]]
    assert conn.calls == [0, 1, 2]


class Recording(GW):
    """Records the container operations that the module functions make by name."""

    log = None

    def append(self, index, value):
        Recording.log.append((self.kind, "append", index, value))
        return GW.append(self, index, value)

    def pop(self, list_index, element_index):
        Recording.log.append((self.kind, "pop", list_index, element_index))
        return GW.pop(self, list_index, element_index)


def recording_pair(n, edges):
    c, w = Recording(n, INT64, n), Recording(n, FLOAT32, n)
    c.kind, w.kind = "c", "w"
    for a, b, weight in edges:
        GW.append(c, a, b)
        GW.append(w, a, weight)
        GW.append(c, b, a)
        GW.append(w, b, weight)
    return c, w


def test_clusterize_calls_pop_and_append_overrides_in_order():
    Recording.log = []
    c, w = recording_pair(5, [(0, 1, 1.0), (1, 2, 3.0), (2, 3, 2.0), (3, 4, 1.0)])
    _, _, new = bc.clusterize(c, w, np.array([0, -1, -1, -1, 1], dtype=np.int8))
    assert new.tolist() == [0, 0, 1, 1, 1]
    assert Recording.log == [("c", "pop", 1, 1), ("c", "pop", 2, 0), ("w", "pop", 1, 1), ("w", "pop", 2, 0)]
    assert all(type(x) is int for entry in Recording.log for x in entry[2:])

    Recording.log = []
    c, w = recording_pair(3, [(0, 1, 1.0), (1, 2, 2.0)])
    _, _, new = bc.clusterize(c, w, np.array([1, -1, 1], dtype=np.int8))
    assert new.tolist() == [1, 1, 1]
    assert Recording.log == [("c", "append", 0, 2), ("c", "append", 2, 0), ("w", "append", 0, 1),
                             ("w", "append", 2, 1)]


class Plain(GW):
    """No overrides: its methods are GraphWrapper's own until an instance shadows them."""


def test_methods_set_on_an_instance_are_honoured_like_overrides():
    log = []
    c, w = Plain(5, INT64, 5), Plain(5, FLOAT32, 5)
    for a, b, weight in [(0, 1, 1.0), (1, 2, 3.0), (2, 3, 2.0), (3, 4, 1.0)]:
        for x, y in ((a, b), (b, a)):
            c.append(x, y)
            w.append(x, weight)
    c.pop = lambda i, j: log.append(("c", "pop", i, j)) or GW.pop(c, i, j)
    w.to_numpy = lambda i: log.append(("w", "to_numpy", i)) or GW.to_numpy(w, i)
    _, _, new = bc.clusterize(c, w, np.array([0, -1, -1, -1, 1], dtype=np.int8))
    assert new.tolist() == [0, 0, 1, 1, 1]
    assert [entry for entry in log if entry[1] == "pop"] == [("c", "pop", 1, 1), ("c", "pop", 2, 0)]
    assert ("w", "to_numpy", 1) in log
    # The unshadowed methods ran natively: the weights lost the same entries as the connections.
    assert [a.tolist() for a in c.to_numpy_all()] == [[1], [0], [3], [2, 4], [3]]
    assert [a.tolist() for a in w.to_numpy_all()] == [[1.0], [1.0], [2.0], [2.0, 1.0], [1.0]]


class ListMax(GW):
    def pop_max(self):
        ListMax.calls += 1
        return [0, 1]


class TupleMax(GW):
    def pop_max(self):
        TupleMax.calls += 1
        return (0, 1)


def subclass_subgraph(weights_cls, edges_left):
    """A stand-in for find_subgraph_with_labels that returns subclass containers holding the edge
    0-1 while `edges_left` allows, and empty ones after."""

    def fake(connections_sparse, weights_sparse, labels):
        sub_c, sub_w = Plain(2, INT64, 2), weights_cls(2, FLOAT32, 2)
        if edges_left:
            edges_left.pop()
            for a, b in ((0, 1), (1, 0)):
                sub_c.append(a, b)
                sub_w.append(a, 1.0)
        return sub_c, sub_w

    return fake


def line_pair():
    c, w = GW(2, INT64, 2), GW(2, FLOAT32, 2)
    for a, b in ((0, 1), (1, 0)):
        c.append(a, b)
        w.append(a, 1.0)
    return c, w


def test_pop_max_override_returning_a_list_is_refused(monkeypatch):
    ListMax.calls = 0
    monkeypatch.setattr(bc, "find_subgraph_with_labels", subclass_subgraph(ListMax, [1]))
    c, w = line_pair()
    raises(TypeError, "Expected tuple, got list", bc.clusterize, c, w, np.array([0, 1], dtype=np.int8))
    assert ListMax.calls == 1
    assert contents(c) == [[1], [0]]


def test_pop_max_override_returning_a_tuple_is_used(monkeypatch):
    TupleMax.calls = 0
    monkeypatch.setattr(bc, "find_subgraph_with_labels", subclass_subgraph(TupleMax, [1]))
    c, w = line_pair()
    _, _, new = bc.clusterize(c, w, np.array([0, 1], dtype=np.int8))
    assert TupleMax.calls == 1
    assert contents(c) == [[], []] and contents(w) == [[], []]
    assert new.tolist() == [0, 1]



def test_rebound_results_are_passed_on_as_one_argument(monkeypatch):
    # The paths of a rebound exploration go to set.update one at a time: a tuple path is not
    # spread into several arguments, and is refused where the subgraph copies it.
    monkeypatch.setattr(bc, "explore_graph_recursive",
                        lambda conn, labels, start: [(start, 1, 2)] if start == 0 else [])
    conn, weights = star(GW), GW(3, FLOAT32, 2)
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        bc.find_subgraph_with_labels(conn, weights, np.array([0, -1, 1], dtype=np.int8))


def test_rebound_search_that_leads_back_nests_up_to_the_recursion_limit(monkeypatch):
    calls = []

    def search(connections, labels, start, bomb_node=-1, path=None):
        calls.append(start)
        return [[start, 5, 6]]

    monkeypatch.setattr(bc, "find_all_paths_with_labels", search)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(300)
    try:
        with pytest.raises(RecursionError, match="recursion limit"):
            bc.explore_graph_recursive(star(GW), np.array([0, 1, 2], dtype=np.int8), 0)
    finally:
        sys.setrecursionlimit(limit)
    assert 200 < len(calls) <= 300


def test_export_goes_through_the_module_numpy_binding(monkeypatch):
    g = filled(INT64, [[1, 2], []])
    calls = []

    class Marked(np.ndarray):
        pass

    class FakeNumpy:
        int64, float32 = np.int64, np.float32

        @staticmethod
        def empty(size, dtype):
            calls.append((size, dtype))
            return np.empty(size, dtype=dtype).view(Marked)

    monkeypatch.setattr(bc, "np", FakeNumpy)
    a = g.to_numpy(0)
    assert type(a) is Marked and a.tolist() == [1, 2]
    assert [type(x) for x in g.to_numpy_all()] == [Marked, Marked]
    assert calls[0] == (2, np.int64)

    # Any writable buffer of enough bytes receives the elements.
    FakeNumpy.empty = staticmethod(lambda size, dtype: bytearray(8 * size))
    assert bytes(g.to_numpy(0)) == np.array([1, 2], dtype=np.int64).tobytes()
    FakeNumpy.empty = staticmethod(lambda size, dtype: bytearray(3))
    raises(ValueError, "np.empty returned an array too small for the list", g.to_numpy, 0)
    FakeNumpy.empty = staticmethod(lambda size, dtype: np.zeros(size, dtype)[::-1])
    raises(ValueError, "ndarray is not C-contiguous", g.to_numpy, 0)
