"""Reference and memory leaks: every function and method of brov_core (and of the bulk loader),
called many times on success and on every kind of failure, must leave the reference counts of its
arguments and the memory in use where they were.

A failure can start anywhere: in argument checking, in the module's own checks, in a method of a
duck-typed container or of a GraphWrapper subclass, or in a module attribute that a caller has
rebound; the interesting ones happen midway, when the native code holds buffers, partial results
and references of its own. Memory is watched at two levels: the interpreter's allocated blocks
(objects) and the C allocator's bytes in use (the containers' storage and the native work areas).
"""

import ctypes
import gc
import pickle
import sys

import numpy as np
import pytest

from halvek.algorithms.src.brov.binaries import brov_core as bc
from halvek.algorithms.src.brov.binaries import _bulk

GW = bc.GraphWrapper
INT64, FLOAT32 = 0, 1

REPS = 120


class Boom(Exception):
    """Raised on purpose by the test doubles below."""


# ---------------------------------------------------------------------------------------------
# Measuring

class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]
_libc.free.argtypes = [ctypes.c_void_p]
try:
    _mallinfo2 = _libc.mallinfo2
    _mallinfo2.restype = _MallInfo2
except AttributeError:  # not glibc
    _mallinfo2 = None


def _heap_bytes():
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def _heap_is_visible():
    """False where malloc is not glibc's own (a sanitizer's allocator, another libc)."""
    if _mallinfo2 is None:
        return False
    before = _heap_bytes()
    block = _libc.malloc(1 << 16)
    seen = _heap_bytes() - before
    _libc.free(block)
    return seen >= 1 << 16


HEAP_VISIBLE = _heap_is_visible()
# With PYTHONMALLOC=malloc (the sanitizer run) the interpreter counts no blocks.
BLOCKS_VISIBLE = sys.getallocatedblocks() > 0


def malloc_in_use():
    """Bytes handed out by the C allocator (0 where it cannot be asked)."""
    return _heap_bytes() if HEAP_VISIBLE else 0


def measure(call, tracked, reps):
    for _ in range(reps):
        call()
    gc.collect()
    return [sys.getrefcount(obj) for obj in tracked], sys.getallocatedblocks(), malloc_in_use()


def assert_no_leak(call, *tracked, reps=REPS, rounds=5):
    """Runs `call` in rounds of `reps` calls. The reference counts of the tracked objects must not
    move at all. Blocks and bytes wobble with the interpreter's and NumPy's caches, but a leak
    grows them in every round: it takes one round in which neither grew to pass."""
    measure(call, (), max(5, reps // 4))  # warm-up: interned names, caches, specialised code
    base_refs, blocks, heap = measure(call, tracked, 0)
    block_growth, heap_growth = [], []
    for _ in range(rounds):
        refs, blocks_now, heap_now = measure(call, tracked, reps)
        assert refs == base_refs, f"reference counts moved from {base_refs} to {refs}"
        block_growth.append(blocks_now - blocks)
        heap_growth.append(heap_now - heap)
        blocks, heap = blocks_now, heap_now
        # One leaked object per call adds at least `reps` blocks to a round; one leaked 16-byte
        # native allocation per call adds 16 * reps bytes.
        if min(block_growth) < reps // 3 and min(heap_growth) < 12 * reps:
            return
    raise AssertionError(f"per {reps} calls, allocated blocks grew by {block_growth} "
                         f"and the C heap by {heap_growth} bytes")


def expect(exc_type, fn, *args, **kwargs):
    """A call that must raise exc_type (and nothing else)."""
    def call():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn} did not raise {exc_type!r}")
    return call


def succeed(fn, *args, **kwargs):
    def call():
        fn(*args, **kwargs)
    return call


# ---------------------------------------------------------------------------------------------
# Graphs and test doubles

# Path 0-1-2-3-4 with weights 1, 3, 2, 4 and labels 0, 1, 0 on nodes 0, 2, 4: clusterize cuts 3-4
# and then 1-2, joins nodes 0 and 4 and floods two components.
CHAIN_ADJ = [[1], [0, 2], [1, 3], [2, 4], [3]]
CHAIN_W = [[1.0], [1.0, 3.0], [3.0, 2.0], [2.0, 4.0], [4.0]]
CHAIN_LABELS = [0, -1, 1, -1, 0]
CHAIN_RESULT = [0, 0, 1, 1, 0]
# A labelled triangle: the exploration comes back to where it started.
CYCLE_ADJ = [[1, 2], [0, 2], [1, 0]]
CYCLE_W = [[1.0, 2.0], [1.0, 3.0], [3.0, 2.0]]


def labels(values=CHAIN_LABELS):
    return np.array(values, dtype=np.int8)


def container(lists, dtype, cls=GW, max_size=3, lookup_opt=False):
    g = cls(len(lists), dtype, max_size, lookup_opt)
    for i, values in enumerate(lists):
        for v in values:
            g.append(i, v)
    return g


def chain_pair(cls=GW):
    return container(CHAIN_ADJ, INT64, cls), container(CHAIN_W, FLOAT32, cls)


class DuckGraph:
    """A plain Python container with the methods the module calls by name. The `fail_at`-th call
    of a method named in `failing` raises Boom."""

    def __init__(self, lists, dtype, failing=(), fail_at=0):
        self.initial = [list(values) for values in lists]
        self.dtype = np.int64 if dtype == INT64 else np.float32
        self.failing = failing
        self.fail_at = fail_at
        self.reset()

    def reset(self):
        self.lists = [list(values) for values in self.initial]
        self.calls = 0

    def _tick(self, name):
        if name in self.failing:
            self.calls += 1
            if self.calls == self.fail_at:
                raise Boom(f"{name} call {self.calls}")

    def to_numpy(self, index):
        self._tick("to_numpy")
        return np.array(self.lists[index], dtype=self.dtype)

    def to_numpy_all(self):
        self._tick("to_numpy_all")
        return [np.array(values, dtype=self.dtype) for values in self.lists]

    def pop(self, list_index, element_index):
        self._tick("pop")
        return self.lists[list_index].pop(element_index)

    def append(self, index, value):
        self._tick("append")
        self.lists[index].append(value)


def with_reset(call, *ducks):
    def wrapped():
        for duck in ducks:
            duck.reset()
        call()
    return wrapped


# Counters live in plain dicts: assigning a class attribute on every call would churn the
# interpreter's type caches and blur the block counts.
TO_NUMPY_CALLS = {"count": 0}


class RaisingToNumpy(GW):
    """Its to_numpy override fails on the third call after each reset of TO_NUMPY_CALLS."""

    def to_numpy(self, index):
        TO_NUMPY_CALLS["count"] += 1
        if TO_NUMPY_CALLS["count"] == 3:
            raise Boom("to_numpy")
        return GW.to_numpy(self, index)


class PopMaxReturnsList(GW):
    def pop_max(self):
        return [0, 1]


class PopMaxRaises(GW):
    def pop_max(self):
        raise Boom("pop_max")


class AppendRaises(GW):
    def append(self, index, value):
        if (index, value) == (4, 0):  # the joining edge 0-4 that clusterize adds to the chain
            raise Boom("append")
        return GW.append(self, index, value)


class FailingInt:
    def __int__(self):
        raise Boom("__int__")


class FailingFloat:
    def __float__(self):
        raise Boom("__float__")


class FailingBool:
    def __bool__(self):
        raise Boom("__bool__")


class IntReturnsStr:
    def __int__(self):
        return "7"


def failing_after(original, count):
    """A stand-in for a module function that forwards to it and raises Boom on call `count`."""
    state = {"calls": 0}

    def wrapper(*args, **kwargs):
        state["calls"] += 1
        if state["calls"] == count:
            raise Boom(f"call {count}")
        return original(*args, **kwargs)

    wrapper.state = state
    return wrapper


def rebound_call(monkeypatch, name, wrapper, call):
    monkeypatch.setattr(bc, name, wrapper)

    def wrapped():
        wrapper.state["calls"] = 0
        call()
    return wrapped


def test_the_check_sees_leaks():
    kept, obj = [], object()
    with pytest.raises(AssertionError, match="reference counts moved"):
        assert_no_leak(lambda: kept.append(obj), obj, reps=20)
    kept.clear()
    assert_no_leak(lambda: kept.append(obj) or kept.pop(), obj, reps=20)
    if BLOCKS_VISIBLE:
        with pytest.raises(AssertionError, match="allocated blocks grew"):
            assert_no_leak(lambda: kept.append(object()), reps=30)
        kept.clear()
    if HEAP_VISIBLE:
        # 16 bytes per call, never freed, and no Python object kept.
        with pytest.raises(AssertionError, match=r"C heap by \[\d{3,}"):
            assert_no_leak(lambda: _libc.malloc(16), reps=30)


# ---------------------------------------------------------------------------------------------
# GraphWrapper methods

class TestContainerOperations:
    def test_construction_and_destruction(self):
        lookup = FailingBool()
        assert_no_leak(succeed(GW, 50, INT64, 4, True))
        assert_no_leak(succeed(container, [[1, 2], [3]], INT64, lookup_opt=True))
        assert_no_leak(succeed(container, [[1.5], [], [2.5, 3.5]], FLOAT32))
        assert_no_leak(expect(OverflowError, GW, -1, INT64, 3))
        assert_no_leak(expect(ValueError, GW, 4, 2, 3))
        assert_no_leak(expect(OverflowError, GW, 4, -1, 3))
        assert_no_leak(expect(OverflowError, GW, 4, INT64, 2 ** 31))
        assert_no_leak(expect(TypeError, GW, 4, INT64))
        assert_no_leak(expect(TypeError, GW, 4, INT64, 3, bogus=1))
        assert_no_leak(expect(TypeError, GW, "4", INT64, 3))
        assert_no_leak(expect(Boom, GW, 4, INT64, 3, lookup), lookup)

    def test_append_pop_contains(self):
        ints = container([[5, 6, 7], []], INT64, max_size=1, lookup_opt=True)
        floats = container([[0.5], []], FLOAT32)
        bad_int, bad_float, text = FailingInt(), FailingFloat(), "a"
        value = 2 ** 40 + 3

        def append_then_pop():
            ints.append(1, value)
            assert ints.pop(1, 0) == value
            floats.append(1, 2.5)
            floats.pop(1, 0)
        assert_no_leak(append_then_pop, ints, floats, value)
        assert_no_leak(succeed(ints.contains, 0, 6), ints)
        assert_no_leak(expect(OverflowError, ints.append, 0, 1), ints)  # full
        assert_no_leak(expect(IndexError, ints.append, 2, 1), ints)
        assert_no_leak(expect(Boom, ints.append, 1, bad_int), ints, bad_int)
        assert_no_leak(expect(TypeError, ints.append, 1, text), ints, text)
        assert_no_leak(expect(Boom, floats.append, 1, bad_float), floats, bad_float)
        assert_no_leak(expect(TypeError, floats.append, 1, text), floats, text)
        assert_no_leak(expect(IndexError, ints.pop, 1, 0), ints)
        assert_no_leak(expect(IndexError, ints.pop, 0, 3), ints)
        assert_no_leak(expect(IndexError, ints.pop, -1, 0), ints)
        assert_no_leak(expect(TypeError, ints.pop, 0), ints)
        assert_no_leak(expect(TypeError, floats.contains, 0, 1), floats)
        assert_no_leak(expect(IndexError, ints.contains, 5, 1), ints)
        assert_no_leak(expect(TypeError, ints.contains, 0, IntReturnsStr()), ints)
        # Every failure above left the containers as they were.
        assert [a.tolist() for a in ints.to_numpy_all()] == [[5, 6, 7], []]
        assert [a.tolist() for a in floats.to_numpy_all()] == [[0.5], []]

    def test_pop_max_and_export(self):
        weights = container([[2.0, 5.0], [5.0], [1.0]], FLOAT32)
        single = container([[5.0], [1.0]], FLOAT32)
        empty = container([[], []], FLOAT32)

        def pop_max_and_restore():
            assert weights.pop_max() == (0, 1)
            weights.append(0, 5.0)
            weights.append(1, 5.0)
        assert_no_leak(pop_max_and_restore, weights)
        assert_no_leak(expect(ValueError, empty.pop_max), empty)
        assert_no_leak(expect(TypeError, empty.pop_max, 1), empty)
        # A lone maximal entry does not follow the storage convention; whatever the container
        # decides, it must not leak.
        lone = container([[5.0], [1.0]], FLOAT32)

        def lone_maximum():
            try:
                lone.pop_max()
            except ValueError:
                pass
        assert_no_leak(lone_maximum, lone)
        assert_no_leak(succeed(single.to_numpy, 0), single)
        assert_no_leak(succeed(single.to_numpy_all), single)
        assert_no_leak(expect(IndexError, single.to_numpy, 2), single)
        assert_no_leak(expect(IndexError, single.to_numpy, -1), single)
        assert_no_leak(expect(TypeError, single.to_numpy_all, 1), single)

    def test_overrides_that_fail(self):
        raising = container([[1], [0, 2], [1], []], INT64, RaisingToNumpy)

        def export_all():
            TO_NUMPY_CALLS["count"] = 0
            raising.to_numpy_all()
        assert_no_leak(expect(Boom, export_all), raising)

        def export_all_through_the_override():
            TO_NUMPY_CALLS["count"] = 10
            raising.to_numpy_all()
        assert_no_leak(export_all_through_the_override, raising)

    def test_pickling_refused(self):
        g = container([[1]], INT64)
        assert_no_leak(expect(TypeError, pickle.dumps, g), g)
        assert_no_leak(expect(TypeError, g.__setstate__, None), g)


# ---------------------------------------------------------------------------------------------
# Module functions

class TestPathSearch:
    def test_find_all_paths_with_labels(self, monkeypatch):
        conn, _ = chain_pair()
        lab, path, not_a_list = labels([0, -1, 1, -1, 1]), [0], (0,)
        assert bc.find_all_paths_with_labels(conn, lab, 0) == [[0, 1, 2]]
        assert_no_leak(succeed(bc.find_all_paths_with_labels, conn, lab, 0), conn, lab)
        assert_no_leak(succeed(bc.find_all_paths_with_labels, conn, lab, 1, -1, path), conn, lab, path)
        assert_no_leak(succeed(bc.find_all_paths_with_labels, conn, lab, 1, bomb_node=2), conn, lab)
        assert_no_leak(expect(TypeError, bc.find_all_paths_with_labels, conn, lab, 0, -1, not_a_list),
                       conn, lab, not_a_list)
        assert_no_leak(expect(ValueError, bc.find_all_paths_with_labels, conn, lab.astype(np.int64), 0), conn)
        assert_no_leak(expect(TypeError, bc.find_all_paths_with_labels, conn, [0, 1], 0), conn)
        assert_no_leak(expect(IndexError, bc.find_all_paths_with_labels, conn, lab[:2], 0), conn, lab)
        assert_no_leak(expect(IndexError, bc.find_all_paths_with_labels, conn, lab, 9), conn, lab)
        floats = container(CHAIN_W, FLOAT32)
        assert_no_leak(expect(ValueError, bc.find_all_paths_with_labels, floats, lab, 0), floats, lab)

        duck = DuckGraph(CHAIN_ADJ, INT64, failing=("to_numpy",), fail_at=2)
        assert_no_leak(with_reset(expect(Boom, bc.find_all_paths_with_labels, duck, lab, 0), duck), duck, lab)
        nested = failing_after(bc.find_all_paths_with_labels, 2)
        assert_no_leak(rebound_call(monkeypatch, "find_all_paths_with_labels", nested,
                                    expect(Boom, nested, conn, lab, 0)), conn, lab)

    def test_explore_graph_recursive(self, monkeypatch):
        conn, _ = chain_pair()
        lab = labels([0, -1, 1, -1, 0])
        assert bc.explore_graph_recursive(conn, lab, 0) == [[0, 1, 2], [2, 3, 4]]
        assert_no_leak(succeed(bc.explore_graph_recursive, conn, lab, 0), conn, lab)
        cycle = container(CYCLE_ADJ, INT64)
        three = labels([0, 1, 2])
        assert_no_leak(expect(RecursionError, bc.explore_graph_recursive, cycle, three, 0), cycle, three)
        assert_no_leak(expect(OverflowError, bc.explore_graph_recursive, conn, lab, 2 ** 31), conn, lab)

        duck = DuckGraph(CHAIN_ADJ, INT64, failing=("to_numpy",), fail_at=4)
        assert_no_leak(with_reset(expect(Boom, bc.explore_graph_recursive, duck, lab, 0), duck), duck, lab)
        search = failing_after(bc.find_all_paths_with_labels, 2)
        assert_no_leak(rebound_call(monkeypatch, "find_all_paths_with_labels", search,
                                    expect(Boom, bc.explore_graph_recursive, conn, lab, 0)), conn, lab)
        monkeypatch.setattr(bc, "find_all_paths_with_labels", lambda *a, **k: ([0, 1],))
        assert_no_leak(expect(TypeError, bc.explore_graph_recursive, conn, lab, 0), conn, lab)

    def test_find_subgraph_with_labels(self, monkeypatch):
        conn, weights = chain_pair()
        lab = labels()
        sub_c, sub_w = bc.find_subgraph_with_labels(conn, weights, lab)
        assert [a.tolist() for a in sub_c.to_numpy_all()] == [[1], [0, 2], [1, 3], [2, 4], [3]]
        assert_no_leak(succeed(bc.find_subgraph_with_labels, conn, weights, lab), conn, weights, lab)
        assert_no_leak(expect(TypeError, bc.find_subgraph_with_labels, conn, weights, None), conn, weights)
        assert_no_leak(expect(TypeError, bc.find_subgraph_with_labels, conn, weights), conn, weights)
        asymmetric = container([[1], [2], [1, 3], [2, 4], [3]], INT64)
        assert_no_leak(expect(ValueError, bc.find_subgraph_with_labels, asymmetric, weights, lab),
                       asymmetric, weights, lab)
        short = container([[1.0], [1.0], [3.0, 2.0], [2.0, 4.0], [4.0]], FLOAT32)
        assert_no_leak(expect(IndexError, bc.find_subgraph_with_labels, conn, short, lab), conn, short, lab)

        for failing, fail_at in [("to_numpy_all", 1), ("to_numpy", 3), ("to_numpy", 9)]:
            duck_c = DuckGraph(CHAIN_ADJ, INT64, failing=(failing,), fail_at=fail_at)
            duck_w = DuckGraph(CHAIN_W, FLOAT32)
            assert_no_leak(with_reset(expect(Boom, bc.find_subgraph_with_labels, duck_c, duck_w, lab), duck_c),
                           duck_c, duck_w, lab)
        duck_c = DuckGraph(CHAIN_ADJ, INT64)
        duck_w = DuckGraph(CHAIN_W, FLOAT32, failing=("to_numpy",), fail_at=2)
        assert_no_leak(with_reset(expect(Boom, bc.find_subgraph_with_labels, duck_c, duck_w, lab), duck_w),
                       duck_c, duck_w, lab)

        exploration = failing_after(bc.explore_graph_recursive, 1)
        assert_no_leak(rebound_call(monkeypatch, "explore_graph_recursive", exploration,
                                    expect(Boom, bc.find_subgraph_with_labels, conn, weights, lab)),
                       conn, weights, lab)
        monkeypatch.undo()
        search = failing_after(bc.find_all_paths_with_labels, 3)
        assert_no_leak(rebound_call(monkeypatch, "find_all_paths_with_labels", search,
                                    expect(Boom, bc.find_subgraph_with_labels, conn, weights, lab)),
                       conn, weights, lab)


class TestClustering:
    def test_make_labels(self, monkeypatch):
        conn, _ = chain_pair()
        lab = labels()
        visited = set()

        def fill():
            visited.clear()
            bc.make_labels(conn, 0, 5, visited, lab)
        assert_no_leak(fill, conn, lab, visited)
        assert lab.tolist() == [5] * 5
        frozen, read_only = frozenset(), labels()
        read_only.flags.writeable = False
        assert_no_leak(expect(TypeError, bc.make_labels, conn, 0, 1, frozen, lab), conn, frozen, lab)
        assert_no_leak(expect(AttributeError, bc.make_labels, conn, 0, 1, None, lab), conn, lab)
        assert_no_leak(expect(ValueError, bc.make_labels, conn, 0, 1, set(), read_only), conn, read_only)
        short = lab[:3]
        assert_no_leak(expect(IndexError, lambda: bc.make_labels(conn, 0, 1, set(), short)), conn, short)
        odd = {"not a node", 1.5}
        assert_no_leak(succeed(bc.make_labels, conn, 0, 1, odd, lab), conn, odd, lab)

        duck = DuckGraph(CHAIN_ADJ, INT64, failing=("to_numpy",), fail_at=3)
        assert_no_leak(with_reset(expect(Boom, lambda: bc.make_labels(duck, 0, 1, set(), lab)), duck), duck, lab)
        fill_again = failing_after(bc.make_labels, 3)
        assert_no_leak(rebound_call(monkeypatch, "make_labels", fill_again,
                                    expect(Boom, lambda: fill_again(conn, 0, 1, set(), lab))), conn, lab)

    def test_clusterize_on_containers(self):
        lab = labels()

        def cluster():
            conn, weights = chain_pair()
            result = bc.clusterize(conn, weights, lab)
            assert result[2].tolist() == CHAIN_RESULT
        assert_no_leak(cluster, lab)

        def cluster_subclasses():
            conn, weights = chain_pair(RaisingToNumpy)
            TO_NUMPY_CALLS["count"] = -10 ** 6
            bc.clusterize(conn, weights, lab)
        assert_no_leak(cluster_subclasses, lab)

        cycle_c, cycle_w = container(CYCLE_ADJ, INT64), container(CYCLE_W, FLOAT32)
        three = labels([0, 1, 2])
        assert_no_leak(expect(RecursionError, bc.clusterize, cycle_c, cycle_w, three), cycle_c, cycle_w, three)
        conn, weights = chain_pair()
        assert_no_leak(expect(ValueError, bc.clusterize, conn, weights, lab.astype(np.uint8)), conn, weights)
        assert_no_leak(expect(TypeError, bc.clusterize, conn, weights, None), conn, weights)
        assert_no_leak(expect(TypeError, bc.clusterize, conn, weights, lab, 1), conn, weights, lab)

        def failing_input(cls, exc):
            def call():
                TO_NUMPY_CALLS["count"] = 0
                c, w = chain_pair(cls)
                try:
                    bc.clusterize(c, w, lab)
                except exc:
                    return
                raise AssertionError(f"{cls.__name__} did not make clusterize raise")
            return call
        assert_no_leak(failing_input(RaisingToNumpy, Boom), lab)
        assert_no_leak(failing_input(AppendRaises, Boom), lab)

    def test_clusterize_with_failing_subgraph_weights(self, monkeypatch):
        lab = labels()
        conn, weights = chain_pair()
        original = bc.find_subgraph_with_labels
        for cls, exc in [(PopMaxReturnsList, TypeError), (PopMaxRaises, Boom)]:
            def subgraph(c, w, labels, cls=cls):
                sub_c, sub_w = original(c, w, labels)
                replacement = cls(5, FLOAT32, 5)
                for i, values in enumerate(sub_w.to_numpy_all()):
                    for v in values.tolist():
                        replacement.append(i, v)
                return sub_c, replacement
            monkeypatch.setattr(bc, "find_subgraph_with_labels", subgraph)
            assert_no_leak(expect(exc, bc.clusterize, conn, weights, lab), conn, weights, lab)
            monkeypatch.undo()

        for result in [None, (None,), (1, 2), ("a", "b", "c")]:
            monkeypatch.setattr(bc, "find_subgraph_with_labels", lambda c, w, l, r=result: r)
            assert_no_leak(expect((TypeError, ValueError, AttributeError), bc.clusterize, conn, weights, lab),
                           conn, weights, lab)
        monkeypatch.undo()
        # None of the failures above got as far as touching the caller's graph.
        assert [a.tolist() for a in conn.to_numpy_all()] == CHAIN_ADJ

    def test_clusterize_on_duck_typed_containers(self):
        lab = labels()
        for failing, fail_at in [(("to_numpy_all",), 2), (("to_numpy",), 5), (("to_numpy",), 30),
                                 (("pop",), 1), (("pop",), 3), (("append",), 2)]:
            duck_c = DuckGraph(CHAIN_ADJ, INT64, failing=failing, fail_at=fail_at)
            duck_w = DuckGraph(CHAIN_W, FLOAT32, failing=failing, fail_at=fail_at)
            assert_no_leak(with_reset(expect(Boom, bc.clusterize, duck_c, duck_w, lab), duck_c, duck_w),
                           duck_c, duck_w, lab)
        duck_c, duck_w = DuckGraph(CHAIN_ADJ, INT64), DuckGraph(CHAIN_W, FLOAT32)

        def cluster():
            duck_c.reset()
            duck_w.reset()
            assert bc.clusterize(duck_c, duck_w, lab)[2].tolist() == CHAIN_RESULT
        assert_no_leak(cluster, duck_c, duck_w, lab)

    def test_clusterize_with_rebound_functions(self, monkeypatch):
        lab = labels()
        for name, fail_at in [("find_subgraph_with_labels", 2), ("explore_graph_recursive", 3),
                              ("find_all_paths_with_labels", 4), ("make_labels", 2), ("make_labels", 4)]:
            wrapper = failing_after(getattr(bc, name), fail_at)
            monkeypatch.setattr(bc, name, wrapper)

            def cluster():
                wrapper.state["calls"] = 0
                conn, weights = chain_pair()
                try:
                    bc.clusterize(conn, weights, lab)
                except Boom:
                    return
                raise AssertionError(f"rebound {name} was not reached")
            assert_no_leak(cluster, lab, wrapper)
            monkeypatch.undo()
        assert bc.make_labels.__module__ == "halvek.algorithms.src.brov.binaries.brov_core"


# ---------------------------------------------------------------------------------------------
# Bulk loader

class TestBulk:
    def test_round_trip_and_refusals(self):
        indptr = np.array([0, 1, 3, 4], dtype=np.int64)
        indices = np.array([1, 0, 2, 1], dtype=np.int64)
        data = np.array([1.0, 1.0, 2.0, 2.0])
        conn, weights = _bulk.graph_from_csr(indptr, indices, data, 3)
        assert_no_leak(succeed(_bulk.graph_from_csr, indptr, indices, data, 3, True), indptr, indices, data)
        assert_no_leak(succeed(_bulk.graph_to_csr, conn, weights), conn, weights)
        asymmetric = np.array([1, 0, 2, 0], dtype=np.int64)
        assert_no_leak(expect(ValueError, _bulk.graph_from_csr, indptr, asymmetric, data, 3), indptr, asymmetric)
        assert_no_leak(expect(ValueError, _bulk.graph_from_csr, indptr, indices, data, 4), indptr, indices)
        assert_no_leak(expect(TypeError, _bulk.graph_from_csr, indptr, indices.astype(np.float64), data, 3),
                       indptr, data)
        assert_no_leak(expect(TypeError, _bulk.graph_to_csr, weights, conn), conn, weights)

    def test_cluster_edges(self):
        edges = np.array([[0, 1], [1, 2], [2, 3]])
        weights = np.array([1.0, 3.0, 2.0])
        labels = np.array([0, -1, -1, 1], dtype=np.int8)
        assert_no_leak(succeed(_bulk.cluster_edges, edges, weights, labels), edges, weights, labels)
        assert_no_leak(succeed(_bulk.cluster_edges, edges, weights, labels, True), edges, weights, labels)
        loop = np.array([[0, 0]])
        assert_no_leak(expect(ValueError, _bulk.cluster_edges, loop, weights[:1], labels), loop, labels)
        assert_no_leak(expect(TypeError, _bulk.cluster_edges, edges, weights, labels.astype(np.int64)), edges)


# ---------------------------------------------------------------------------------------------
# Memory follows what is stored

@pytest.mark.skipif(not HEAP_VISIBLE, reason="needs glibc's own malloc statistics")
class TestStorageFootprint:
    def grown_by(self, fill):
        gc.collect()
        before = _heap_bytes()
        kept = fill()
        return _heap_bytes() - before, kept

    def test_a_small_container_stays_small(self):
        def fill():
            g = GW(3, INT64, 10 ** 6)
            for i in range(3):
                g.append(i, i)
            return g

        grown, g = self.grown_by(fill)
        assert grown < 2048 and g.to_numpy(2).tolist() == [2]

    def test_many_appended_lists_and_one_long_one(self):
        # 10^5 lists of 3 entries each, then one list grown by append to 10^6 entries: the storage
        # (8 bytes an entry plus 16 bytes of tables per list) may be at most doubled or so by
        # growth steps and slab tails, never multiplied by list count or capacity.
        def fill():
            g = GW(10 ** 5, INT64, 10 ** 6)
            for i in range(3 * 10 ** 5):
                g.append(i % 10 ** 5, i)
            for i in range(10 ** 6):
                g.append(7, i)
            return g

        grown, g = self.grown_by(fill)
        stored = 8 * (3 * 10 ** 5 + 10 ** 6) + 16 * 10 ** 5
        assert grown < 3 * stored
        assert g.to_numpy(7)[3:].tolist() == list(range(10 ** 6))
