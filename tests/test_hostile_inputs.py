"""Hostile inputs: whatever a caller passes, every call returns or raises an ordinary Python
exception within a bounded time, never crashes the interpreter or hangs, and leaves alone what it
promises to leave alone.

Graphs are written straight into containers with append, so their lists can hold anything a
GraphWrapper can store: asymmetric and duplicated neighbours, self-loops, indices outside the
label array or negative, values beyond 32 bits, NaN and infinite weights, weight lists of another
length than their adjacency lists, cycles and empty graphs. Label arrays come strided, reversed,
read-only, of other element types or shapes, or not as arrays at all. Containers reach the module
as exact GraphWrapper objects (read in place), as a subclass (reached through their methods), or as
plain Python objects whose to_numpy hands back arrays of any type and layout. The array functions of
_bulk and _tree get numeric arrays in any layout (unaligned, strided, reversed, big-endian) and of
any element type, with NaN, infinite, float32-underflowing or overflowing values and node counts
far beyond the edges.

BROV_HOSTILE_EXAMPLES sets the number of examples per property (default 150); a longer run:
BROV_HOSTILE_EXAMPLES=5000 python -m pytest tests/test_hostile_inputs.py -s  (-s prints the counts).
BROV_HOSTILE_LOG=file writes every call's arguments to file before making it, so that a crash
leaves its input behind.
"""

import collections
import json
import faulthandler
import math
import os
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from halvek.algorithms.src.brov.binaries import brov_core as bc
from halvek.algorithms.src.brov.binaries import _bulk, _tree

GW = bc.GraphWrapper
INT64, FLOAT32 = 0, 1

EXAMPLES = int(os.environ.get("BROV_HOSTILE_EXAMPLES", "150"))
LOG = os.environ.get("BROV_HOSTILE_LOG")
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
CALL_SECONDS = 10.0   # what a single call on these small inputs may take, at most
HANG_SECONDS = 120    # past this, the watchdog dumps every thread's stack and ends the process

MAX_NODES = 8
MAX_DEGREE = 4


# ---------------------------------------------------------------------------------------------
# Calling with a time bound, and counting

STATS = collections.Counter()
LONGEST = {"seconds": 0.0, "call": ""}


@pytest.fixture(scope="module", autouse=True)
def report_counts():
    yield
    outcomes = ", ".join(f"{name} {count}" for name, count in sorted(STATS.items()) if name.startswith("raised "))
    print(f"\nhostile inputs: {STATS['examples']} cases generated, {STATS['calls']} calls made, "
          f"{STATS['returned']} returned; {outcomes}; longest call {LONGEST['seconds']:.3f} s "
          f"({LONGEST['call']})")


def attempt(fn, *args, **kwargs):
    """Calls fn; returns ("ok", result) or ("error", exception). Anything but an ordinary
    exception, or a call that runs too long, fails the test; a hang or a crash ends the process
    with a stack dump instead of leaving it stuck."""
    STATS["calls"] += 1
    if LOG:
        with open(LOG, "a") as log:
            log.write(f"{getattr(fn, '__qualname__', fn)}({', '.join(map(describe, args))})\n")
            log.flush()
            os.fsync(log.fileno())
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    started = time.monotonic()
    try:
        outcome = ("ok", fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - every ordinary exception is an acceptable answer
        outcome = ("error", exc)
    finally:
        faulthandler.cancel_dump_traceback_later()
    elapsed = time.monotonic() - started
    if elapsed > LONGEST["seconds"]:
        LONGEST.update(seconds=elapsed, call=getattr(fn, "__qualname__", str(fn)))
    assert elapsed < CALL_SECONDS, f"{getattr(fn, '__name__', fn)} took {elapsed:.1f} s"
    if outcome[0] == "error":
        exc = outcome[1]
        STATS[f"raised {type(exc).__name__}"] += 1
        # SystemError is how a native module reports its own inconsistency ("error return without
        # exception set", an unexpected C++ exception): never an acceptable answer to bad input.
        assert not isinstance(exc, SystemError), repr(exc)
    else:
        STATS["returned"] += 1
    return outcome


# ---------------------------------------------------------------------------------------------
# Strategies

def hostile_ints(n):
    """Node indices: mostly valid, otherwise negative, past the end or beyond 32 or 64 bits."""
    valid = st.integers(0, max(0, n - 1)) if n else st.just(0)
    return st.one_of(
        valid, valid, valid, valid, valid, valid,
        st.integers(-3, -1),
        st.integers(n, n + 3),
        st.sampled_from([2 ** 31 - 1, 2 ** 31, -2 ** 31, -2 ** 31 - 1, 2 ** 32, 2 ** 32 + 1,
                         2 ** 63 - 1, -2 ** 63]),
    )


hostile_floats = st.one_of(
    st.floats(0.5, 100.0, width=32),
    st.floats(0.5, 100.0, width=32),
    st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, -2.0, 1e39, -1e39, 1e-45,
                     3.4028234663852886e38]),
    st.floats(allow_nan=True, allow_infinity=True),
)


@st.composite
def graphs(draw):
    """(n, adjacency lists, weight lists): a random multigraph stored in both directions, then
    damaged by a few edits."""
    n = draw(st.integers(0, MAX_NODES))
    adjacency = [[] for _ in range(n)]
    weights = [[] for _ in range(n)]
    if n:
        for _ in range(draw(st.integers(0, n * MAX_DEGREE // 2))):
            a, b = draw(st.integers(0, n - 1)), draw(st.integers(0, n - 1))  # self-loops allowed
            if len(adjacency[a]) >= MAX_DEGREE or len(adjacency[b]) >= MAX_DEGREE:
                continue
            w = draw(hostile_floats)
            adjacency[a].append(b)
            weights[a].append(w)
            if a != b:
                adjacency[b].append(a)
                weights[b].append(w)
        for _ in range(draw(st.integers(0, 3))):
            node = draw(st.integers(0, n - 1))
            edit = draw(st.sampled_from(["neighbour", "weight", "drop", "extra", "drop weight"]))
            lst = adjacency[node]
            if edit == "neighbour" and lst:
                lst[draw(st.integers(0, len(lst) - 1))] = draw(hostile_ints(n))
            elif edit == "weight" and weights[node]:
                weights[node][draw(st.integers(0, len(weights[node]) - 1))] = draw(hostile_floats)
            elif edit == "drop" and lst:
                lst.pop(draw(st.integers(0, len(lst) - 1)))
            elif edit == "extra" and len(lst) < MAX_DEGREE + 1:
                lst.append(draw(hostile_ints(n)))
                weights[node].append(draw(hostile_floats))
            elif edit == "drop weight" and weights[node]:
                weights[node].pop()
    return n, adjacency, weights


def laid_out(data, values, tame=False):
    """A numeric array in a layout drawn from `data` (or as a list): the native functions must
    read unaligned buffers by byte copies, and refuse what they do not take. A tame layout is one
    they take."""
    taken = ["plain", "unaligned", "read-only"]
    form = data.draw(st.sampled_from(taken if tame else taken * 2 + ["strided", "reversed", "fortran",
                                                                     "big-endian", "list"]))
    if form == "unaligned" and values.dtype != object:
        raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
        view = raw[1:].view(values.dtype).reshape(values.shape)
        view[...] = values
        return view
    if form == "strided":
        return np.repeat(values, 2, axis=0)[::2]
    if form == "reversed":
        return values[::-1].copy()[::-1]
    if form == "read-only":
        values.flags.writeable = False
        return values
    if form == "fortran":
        return np.asfortranarray(values)
    if form == "big-endian":
        return values.astype(values.dtype.newbyteorder(">"))
    if form == "list":
        return values.tolist()
    return values


def hostile_dtype(preferred, tame=False):
    if tame:
        return st.just(preferred)
    return st.sampled_from([preferred] * 6 + [np.float32, np.float64, np.int32, np.int64, np.uint64, np.uint8,
                                              np.bool_, np.complex128, object])


def cast(values, dtype):
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.asarray(values).astype(dtype)


# Finite, at any magnitude (the tree's property test adds a NaN or an infinity now and then).
coordinates = st.one_of(
    st.floats(-10, 10), st.floats(-10, 10), st.floats(-10, 10), st.floats(allow_nan=False, allow_infinity=False),
    st.sampled_from([0.0, -0.0, 1e300, -1e300, 1.7e308, -1.7e308, 1e160, -1e155, 1e-310, 5e-324]),
)


class LabelArray(np.ndarray):
    """An ndarray subclass: accepted wherever an ndarray is, but indexed through Python."""


@st.composite
def label_values(draw, n):
    length = draw(st.sampled_from([n, n, n, n, max(0, n - 1), n + 1, 0]))
    values = draw(st.lists(st.sampled_from([-1, -1, -1, 0, 0, 1, 1, 2, -2, 127, -128]),
                           min_size=length, max_size=length))
    return values


@st.composite
def label_arrays(draw, n):
    """A label array in any layout, or something that is not one."""
    values = draw(label_values(n))
    base = np.array(values, dtype=np.int8)
    layout = draw(st.sampled_from(["plain"] * 6 + ["strided", "reversed", "read-only", "subclass",
                                                   "int64", "uint8", "bool", "2-d", "0-d", "list",
                                                   "None", "big-endian"]))
    if layout == "strided":
        wide = np.zeros(2 * len(values) + 1, dtype=np.int8)
        wide[1::2] = base
        return wide[1::2]
    if layout == "reversed":
        return base[::-1].copy()[::-1]
    if layout == "read-only":
        base.flags.writeable = False
        return base
    if layout == "subclass":
        return base.view(LabelArray)
    if layout in ("int64", "uint8", "bool"):
        return base.astype(layout)
    if layout == "2-d":
        return base.reshape(1, -1)
    if layout == "0-d":
        return np.array(values[0] if values else -1, dtype=np.int8)
    if layout == "list":
        return values
    if layout == "None":
        return None
    if layout == "big-endian":
        return base.astype(">i2")
    return base


class DuckGraph:
    """A plain Python container whose to_numpy hands back its list in a drawn form."""

    def __init__(self, lists, dtype, form):
        self.lists = [list(values) for values in lists]
        self.dtype = np.int64 if dtype == INT64 else np.float32
        self.form = form

    def to_numpy(self, index):
        with np.errstate(over="ignore"):
            return self._export(self.lists[index])

    def _export(self, values):
        if self.form == "ndarray":
            return np.array(values, dtype=self.dtype)
        if self.form == "reversed view":
            return np.array(values[::-1], dtype=self.dtype)[::-1]
        if self.form == "unaligned":
            aligned = np.array(values, dtype=self.dtype)
            raw = np.zeros(aligned.nbytes + 1, dtype=np.uint8)
            view = raw[1:].view(self.dtype)
            view[:] = aligned
            return view
        if self.form == "int32":
            return np.array(values, dtype=np.int64).astype(np.int32)
        if self.form == "float64":
            return np.array(values, dtype=np.float64)
        if self.form == "2-d":
            return np.array(values, dtype=self.dtype).reshape(1, -1)
        if self.form == "list":
            return list(values)
        return None

    def to_numpy_all(self):
        return [self.to_numpy(i) for i in range(len(self.lists))]

    def pop(self, list_index, element_index):
        return self.lists[list_index].pop(element_index)

    def append(self, index, value):
        self.lists[index].append(value)

    def snapshot(self):
        return [list(values) for values in self.lists]


class Subclassed(GW):
    """No overrides: moves every call onto the route through the methods."""


def build(cls, dtype, lists, max_size):
    """A container of class cls holding lists; max_size is raised as far as they need."""
    longest = max([len(values) for values in lists] + [0])
    g = cls(len(lists), dtype, max(max_size, -(-longest // 3)))
    for i, values in enumerate(lists):
        for v in values:
            g.append(i, v)
    return g


@st.composite
def inputs(draw):
    """(connections, weights, labels, n) with the containers in a drawn kind."""
    n, adjacency, weights = draw(graphs())
    max_size = draw(st.integers(0, 3))
    kind = draw(st.sampled_from(["GraphWrapper"] * 4 + ["subclass", "duck"]))
    if kind == "duck":
        form = draw(st.sampled_from(["ndarray"] * 4 + ["reversed view", "unaligned", "int32", "float64", "2-d",
                                                       "list", "None"]))
        conn, wts = DuckGraph(adjacency, INT64, form), DuckGraph(weights, FLOAT32, "ndarray")
    else:
        cls = GW if kind == "GraphWrapper" else Subclassed
        pairing = draw(st.sampled_from(["matched"] * 8 + ["swapped", "same object", "fewer weight lists",
                                                          "more weight lists"]))
        if pairing == "fewer weight lists":
            weights = weights[:-1]
        elif pairing == "more weight lists":
            weights = weights + [[1.0]]
        conn, wts = build(cls, INT64, adjacency, max_size), build(cls, FLOAT32, weights, max_size)
        if pairing == "swapped":
            conn, wts = wts, conn
        elif pairing == "same object":
            wts = conn
    labels = draw(label_arrays(n))
    STATS["examples"] += 1
    return conn, wts, labels, n


def describe(arg):
    """Enough of an argument to rebuild it."""
    if isinstance(arg, (GW, DuckGraph)):
        kind = f"DuckGraph({arg.form})" if isinstance(arg, DuckGraph) else type(arg).__name__
        return f"{kind}{contents(arg)}"
    if isinstance(arg, np.ndarray):
        return (f"ndarray({arg.tolist()}, dtype={arg.dtype.str}, strides={arg.strides}, "
                f"writeable={arg.flags.writeable}, type={type(arg).__name__})")
    return repr(arg)


def contents(container):
    if isinstance(container, DuckGraph):
        return container.snapshot()
    return [a.tolist() for a in GW.to_numpy_all(container)]


def same(a, b):
    """Equality of nested lists of numbers in which NaN equals NaN."""
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b or (a != a and b != b)


def frozen(labels):
    return np.array(labels, copy=True) if isinstance(labels, np.ndarray) else labels


def unchanged(labels, before):
    if isinstance(labels, np.ndarray):
        return np.array_equal(labels, before) and labels.dtype == before.dtype
    return labels == before


def node_count(labels):
    return len(labels) if isinstance(labels, np.ndarray) and labels.ndim == 1 else None


# ---------------------------------------------------------------------------------------------
# Properties

@SETTINGS
@given(inputs(), st.data())
def test_path_search_and_exploration(case, data):
    conn, weights, labels, n = case
    before_labels, before_conn = frozen(labels), contents(conn)
    start = data.draw(hostile_ints(n))
    bomb = data.draw(st.one_of(st.just(-1), hostile_ints(n)))
    path = data.draw(st.sampled_from([None, None, [], [start], (start,), [0, "x"], [2 ** 40]]))
    length = node_count(labels)

    status, found = attempt(bc.find_all_paths_with_labels, conn, labels, start, bomb, path)
    if status == "ok" and path is None:
        for p in found:
            assert p[0] == start and len(p) >= 2 and len(set(p)) == len(p), p
            assert all(0 <= node < length for node in p), p
            assert bomb == -1 or bomb not in p, p

    status, explored = attempt(bc.explore_graph_recursive, conn, labels, start)
    if status == "ok":
        assert all(len(p) >= 2 and all(0 <= node < length for node in p) for p in explored), explored

    assert unchanged(labels, before_labels)
    assert same(contents(conn), before_conn)


@SETTINGS
@given(inputs())
def test_subgraph_extraction(case):
    conn, weights, labels, n = case
    before = frozen(labels), contents(conn), contents(weights)

    status, result = attempt(bc.find_subgraph_with_labels, conn, weights, labels)
    if status == "ok":
        sub_c, sub_w = result
        adjacency = [a.tolist() for a in sub_c.to_numpy_all()]
        sub_weights = sub_w.to_numpy_all()
        assert len(adjacency) == len(sub_weights) == len(before[1])
        for a, neighbours in enumerate(adjacency):
            assert len(set(neighbours)) == len(neighbours) == len(sub_weights[a])
            for b in neighbours:
                assert 0 <= b < len(adjacency) and a in adjacency[b], adjacency

    assert unchanged(labels, before[0])
    assert same(contents(conn), before[1]) and same(contents(weights), before[2])


@SETTINGS
@given(inputs(), st.data())
def test_flood_fill(case, data):
    conn, _, labels, n = case
    node = data.draw(hostile_ints(n))
    label = data.draw(st.sampled_from([0, 1, -1, 127, -128, 255, 300, -300]))
    visited = data.draw(st.sampled_from([set(), set(), {0}, {"x", 1.5}, {2 ** 40, -1}, frozenset(), None]))
    if isinstance(visited, set):
        visited = set(visited)
    target = np.array(labels, copy=True) if isinstance(labels, np.ndarray) and labels.flags.writeable else labels
    before = frozen(target)
    before_conn = contents(conn)

    status, _ = attempt(bc.make_labels, conn, node, label, visited, target)
    if status == "ok" and isinstance(target, np.ndarray):
        written = np.int8(np.uint8(label % 256))
        changed = np.flatnonzero(target != before)
        assert all(target[i] == written for i in changed)
        assert all(int(i) in visited for i in changed)
    elif status == "error" and isinstance(target, np.ndarray):
        # Only the label being spread can have been written before the failure.
        assert all(target[i] == np.int8(np.uint8(label % 256)) for i in np.flatnonzero(target != before))
    assert same(contents(conn), before_conn)


@SETTINGS
@given(inputs())
def test_clustering(case):
    conn, weights, labels, n = case
    before = frozen(labels)
    status, result = attempt(bc.clusterize, conn, weights, labels)
    if status == "ok":
        out_c, out_w, new_labels = result
        assert out_c is conn and out_w is weights
        assert new_labels is not labels and new_labels.dtype == np.int8 and len(new_labels) == len(labels)
        assert set(new_labels.tolist()) <= set(np.asarray(labels).tolist()), (new_labels, labels)
    assert unchanged(labels, before)
    # Whatever happened, the containers are still usable.
    attempt(contents, conn)
    attempt(contents, weights)


@SETTINGS
@given(inputs(), st.lists(st.tuples(st.sampled_from(["append", "pop", "contains", "pop_max", "to_numpy"]),
                                    st.integers(-2, MAX_NODES + 1), st.integers(-2, 6),
                                    st.one_of(st.integers(-2 ** 63, 2 ** 63 - 1), hostile_floats,
                                              st.sampled_from([2 ** 64, "1", None, 1.5, True])))))
def test_container_operations_fail_cleanly(case, operations):
    """A container operation that fails leaves the container exactly as it was."""
    conn, weights, _, _ = case
    for container in (conn, weights):
        if isinstance(container, DuckGraph):
            continue
        for name, index, position, value in operations:
            before = contents(container)
            if name == "append":
                status, _ = attempt(GW.append, container, index, value)
            elif name == "pop":
                status, _ = attempt(GW.pop, container, index, position)
            elif name == "contains":
                status, _ = attempt(GW.contains, container, index, value)
            elif name == "pop_max":
                status, _ = attempt(GW.pop_max, container)
            else:
                status, _ = attempt(GW.to_numpy, container, index)
            if status == "error" or name in ("contains", "to_numpy"):
                assert same(contents(container), before), (name, index, position, value)


@SETTINGS
@given(inputs(), st.data())
def test_bulk_loading(case, data):
    conn, weights, _, n = case
    if isinstance(conn, GW):
        status, csr = attempt(_bulk.graph_to_csr, conn, weights)
        if status == "ok":
            indptr, indices, values = csr
            assert indptr[0] == 0 and indptr[-1] == len(indices) == len(values)
    # Arbitrary CSR arrays: lengths, pointers and indices need not agree with each other.
    int_type = data.draw(st.sampled_from([np.int32, np.int64, np.float64, np.uint8]))
    indptr = np.array(data.draw(st.lists(st.integers(-2, 12), max_size=n + 2)), dtype=np.int64).astype(int_type)
    indices = np.array(data.draw(st.lists(hostile_ints(n).filter(lambda v: -2 ** 31 <= v < 2 ** 31),
                                          max_size=12)), dtype=np.int64).astype(int_type)
    with np.errstate(over="ignore"):
        values = np.array(data.draw(st.lists(hostile_floats, min_size=len(indices), max_size=len(indices) + 1)),
                          dtype=data.draw(st.sampled_from([np.float32, np.float64])))
    count = data.draw(st.one_of(st.just(n), st.integers(-1, 12), st.just(2 ** 40)))
    indptr, indices, values = laid_out(data, indptr), laid_out(data, indices), laid_out(data, values)
    status, result = attempt(_bulk.graph_from_csr, indptr, indices, values, count,
                             data.draw(st.booleans()))
    if status == "ok":
        attempt(bc.clusterize, result[0], result[1], np.full(count, -1, dtype=np.int8))
        weights = np.concatenate([w for w in result[1].to_numpy_all()] + [np.ones(0, np.float32)])
        assert (weights > 0).all() and np.isfinite(weights).all()
    status, result = attempt(_bulk.edges_from_csr, indptr, indices, values, count)
    if status == "ok":
        edges, weights = result
        assert ((edges >= 0) & (edges < count)).all() and (edges[:, 0] < edges[:, 1]).all()
        assert (weights > 0).all() and np.isfinite(weights).all()


def minimum_tree_length(P):
    """Total length of a minimum spanning tree of the rows of P (Prim, for a few points)."""
    n = len(P)
    if n < 2:
        return 0.0
    best = np.linalg.norm(P - P[0], axis=1)
    inside = np.zeros(n, dtype=bool)
    inside[0] = True
    total = 0.0
    for _ in range(n - 1):
        v = int(np.argmin(np.where(inside, np.inf, best)))
        total += best[v]
        inside[v] = True
        best = np.minimum(best, np.linalg.norm(P - P[v], axis=1))
    return total


def spanning(edges, n):
    """Whether the (n - 1, 2) edges, smaller end first, join n nodes without a cycle."""
    parent = list(range(n))

    def root(x):
        while parent[x] != x:
            x = parent[x]
        return x
    for a, b in edges.tolist():
        if not 0 <= a < b < n or root(a) == root(b):
            return False
        parent[root(a)] = root(b)
    return len(edges) == max(n - 1, 0)


@SETTINGS
@given(st.data())
def test_exact_tree(data):
    n, d = data.draw(st.integers(0, 12)), data.draw(st.sampled_from([0, 1, 2, 2, 3, 4, 7]))
    values = np.array(data.draw(st.lists(coordinates, min_size=n * d, max_size=n * d)), dtype=np.float64)
    if n * d and data.draw(st.integers(0, 5)) == 0:
        values[data.draw(st.integers(0, n * d - 1))] = data.draw(st.sampled_from([math.nan, math.inf, -math.inf]))
    tame = data.draw(st.booleans())
    X = cast(values.reshape(n, d), data.draw(hostile_dtype(np.float64, tame)))
    points = laid_out(data, X, tame)
    STATS["examples"] += 1
    status, edges = attempt(_tree.euclidean_mst_edges, points)
    if status != "ok":
        assert not (tame and np.isfinite(X).all()), edges  # finite points of any magnitude are taken
        return
    assert X.dtype == np.float64 and np.isfinite(X).all(), "took points it must refuse"
    assert edges.dtype == np.int64 and spanning(edges, n), edges
    # Far and tiny coordinates alike: the tree of the points divided by a power of two (exact).
    top = np.abs(X).max() if X.size else 0.0
    P = X / (np.ldexp(1.0, np.frexp(top)[1] - 1) if top > 0 else 1.0)
    length = np.linalg.norm(P[edges[:, 0]] - P[edges[:, 1]], axis=1).sum() if len(edges) else 0.0
    assert math.isclose(length, minimum_tree_length(P), rel_tol=1e-9, abs_tol=1e-300)
    assert np.array_equal(edges, _tree.euclidean_mst_edges(np.array(X, order="C")))


def sides_by_removal(edges, n):
    """The smaller side of each edge within its tree, by removing it (for a few edges)."""
    ids = sorted(set(edges.ravel().tolist()))
    where = {v: k for k, v in enumerate(ids)}

    def reach(start, kept):
        seen, todo = {start}, [start]
        while todo:
            x = todo.pop()
            for a, b in kept:
                for u, v in ((a, b), (b, a)):
                    if u == x and v not in seen:
                        seen.add(v)
                        todo.append(v)
        return len(seen)
    pairs = [(where[a], where[b]) for a, b in edges.tolist()]
    out = []
    for k, (a, b) in enumerate(pairs):
        rest = pairs[:k] + pairs[k + 1:]
        out.append(min(reach(a, rest), reach(b, rest)))
    return out


@SETTINGS
@given(st.data())
def test_side_sizes(data):
    m = data.draw(st.integers(0, 8))
    nodes = data.draw(st.integers(1, 12))
    ends = [[data.draw(hostile_ints(nodes)), data.draw(hostile_ints(nodes))] for _ in range(m)]
    tame = data.draw(st.booleans())
    if tame or data.draw(st.booleans()):  # a forest
        ends = [[data.draw(st.integers(0, v - 1)), v] for v in range(1, min(m, nodes - 1) + 1)]
    # Node counts far beyond the edges are fine: they must cost no memory. (Counts a process could
    # just about have, such as 10 ** 9, are tried in a child with a memory limit, below.)
    n = data.draw(st.sampled_from([nodes, nodes, nodes, 2 ** 40, 2 ** 62, 2 ** 63 - 1] +
                                  ([] if tame else [0, -1, 2 ** 63])))
    E = cast(np.array(ends, dtype=np.int64).reshape(-1, 2), data.draw(hostile_dtype(np.int64, tame)))
    STATS["examples"] += 1
    status, sizes = attempt(_tree.smaller_side_sizes, laid_out(data, E, tame), n)
    assert status == "ok" or not tame, sizes  # a forest, however large n is
    if status == "ok":
        assert E.dtype in (np.int64, np.int32) and 0 <= n < 2 ** 63 and ((E >= 0) & (E < n)).all()
        assert sizes.tolist() == sides_by_removal(E, n)


@SETTINGS
@given(st.data())
def test_edge_list_clustering(data):
    n = data.draw(st.integers(0, MAX_NODES))
    tame = data.draw(st.booleans())  # a forest in arrays of the types taken, positive weights
    if tame:
        ends = [[data.draw(st.integers(0, v - 1)), v] for v in range(1, n)]
        weights = data.draw(st.lists(st.one_of(st.floats(1e-3, 1e3), st.sampled_from([1e-46, 2.0 ** -149, 1e-40])),
                                     min_size=len(ends), max_size=len(ends)))
    else:
        m = data.draw(st.integers(0, 2 * MAX_NODES))
        ends = [[data.draw(hostile_ints(n)), data.draw(hostile_ints(n))] for _ in range(m)]
        weights = data.draw(st.lists(st.one_of(hostile_floats, st.sampled_from([1e-46, 2.0 ** -150, 1e-40])),
                                     min_size=m, max_size=m + data.draw(st.sampled_from([0, 0, 0, 1]))))
    ends = np.array(ends, dtype=object).reshape(-1, 2)
    E = cast(cast(ends.astype(float), np.int64), data.draw(hostile_dtype(np.int64, tame)))
    W = cast(np.array(weights, dtype=np.float64), data.draw(hostile_dtype(np.float64, tame)))
    labels = (np.array(data.draw(st.lists(st.sampled_from([-1, -1, 0, 1, 2]), min_size=n, max_size=n)), dtype=np.int8)
              if tame else data.draw(label_arrays(n)))
    ranked = data.draw(st.booleans())
    STATS["examples"] += 1
    status, result = attempt(_bulk.cluster_edges, laid_out(data, E, tame), laid_out(data, W, tame), labels, ranked)
    if status == "ok":
        new_labels, cut = result
        assert new_labels.dtype == np.int8 and cut.dtype == np.bool_ and len(cut) == len(E)
        w = W.astype(np.float64)
        assert np.isfinite(w).all() and (w >= 0).all()
        if not ranked:  # every weight positive as the planner stores it, in float32
            assert (w.astype(np.float32) > 0).all()


# ---------------------------------------------------------------------------------------------
# Inputs that once took the interpreter down, each replayed in a child interpreter so that a crash
# fails one test instead of ending the run.

CHILD_PRELUDE = """
import json, sys
sys.path[:0] = json.loads(sys.argv[1])
import numpy as np
from halvek.algorithms.src.brov.binaries import brov_core as bc

class Sub(bc.GraphWrapper):
    pass

def build(cls, dtype, lists, max_size=3):
    g = cls(len(lists), dtype, max_size)
    for i, values in enumerate(lists):
        for v in values:
            g.append(i, v)
    return g

def show(fn, *args):
    try:
        print(fn(*args)[2].tolist())
    except Exception as exc:
        print(type(exc).__name__)
"""

REPRODUCERS = [
    pytest.param(
        # The subgraph's heaviest weight is exactly -1.0, on three or more entries, none in list 0.
        "show(bc.clusterize, build(Sub, 0, [[], [2], [1, 3], [2]]), build(Sub, 1, [[], [-1.0], [-1.0, -1.0], [-1.0]]),"
        " np.array([-1, 0, -1, 1], dtype=np.int8))",
        "[-1, 0, 1, 1]",
        id="ties at -1.0 on the route through the methods"),
    pytest.param(
        "show(bc.clusterize, build(bc.GraphWrapper, 0, [[5, 2], [], [5, 0], [], [5], [0, 2, 4]]),"
        " build(bc.GraphWrapper, 1, [[20.5, 20.5], [], [-1.0, 20.5], [], [-1.0], [20.5, -1.0, -1.0]]),"
        " np.array([-1, 0, 2, 2, 2, 0], dtype=np.int8))",
        "[2, 0, 2, 2, 2, 0]",
        id="ties at -1.0 after a cut"),
    pytest.param(
        # A construction that fails leaves no half-built object for a finaliser to read.
        "seen = []\n"
        "class Reader(bc.GraphWrapper):\n"
        "    def __del__(self):\n"
        "        seen.append([a.tolist() for a in self.to_numpy_all()])\n"
        "for args in [(3, 2, 5), (2 ** 40, 0, 1), (3, 0, 1)]:\n"
        "    try:\n"
        "        Reader(*args)\n"
        "    except Exception as exc:\n"
        "        print(type(exc).__name__)\n"
        "print(seen)",
        "ValueError\nMemoryError\n[[[], [], []]]",
        id="finaliser of a subclass whose construction failed"),
    pytest.param(
        # The first C++ exception of a new thread is the out-of-memory one, raised when the small
        # allocations of the loader meet the address-space limit.
        "import re, resource, threading\n"
        "from halvek.algorithms.src.brov.binaries import _bulk\n"
        "n = 1 << 18\n"
        "indptr = np.concatenate([[0], np.arange(1, 2 * n - 1, 2), [2 * n - 2]])\n"
        "indices = np.concatenate([[1], np.column_stack([np.arange(n - 2), np.arange(2, n)]).ravel(), [n - 2]])\n"
        "data = np.ones(len(indices))\n"
        "size = int(re.search(r'VmSize:\\s+(\\d+)', open('/proc/self/status').read()).group(1)) * 1024\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + 200 * 2 ** 20, resource.RLIM_INFINITY))\n"
        "def fill():\n"
        "    kept = []\n"
        "    try:\n"
        "        while True:\n"
        "            kept.append(_bulk.graph_from_csr(indptr, indices, data, n))\n"
        "    except MemoryError:\n"
        "        print('MemoryError', len(kept) > 0)\n"
        "thread = threading.Thread(target=fill)\n"
        "thread.start()\n"
        "thread.join()",
        "MemoryError True",
        # AddressSanitizer's allocator ends the process when memory runs out.
        marks=pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="sanitized build"),
        id="memory runs out in a new thread"),
    pytest.param(
        # Memory by the node count given, not by the edges: 16 GB for one edge.
        "import resource\n"
        "from halvek.algorithms.src.brov.binaries import _tree\n"
        "resource.setrlimit(resource.RLIMIT_AS, (4 * 2 ** 30, resource.RLIM_INFINITY))\n"
        "print(_tree.smaller_side_sizes(np.array([[0, 1]]), 10 ** 9).tolist())",
        "[1]",
        marks=pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="sanitized build"),
        id="a node count far beyond the edges"),
]


@pytest.mark.parametrize("call, expected", REPRODUCERS)
def test_reproducers_in_a_child_interpreter(call, expected):
    # Under AddressSanitizer an allocation beyond its limit must fail as malloc does, not end the run.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1")
    child = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + call, json.dumps(sys.path)],
                           capture_output=True, text=True, timeout=120, env=env)
    assert child.returncode == 0, f"exit status {child.returncode}\n{child.stderr[-2000:]}"
    assert child.stdout.strip() == expected


# ---------------------------------------------------------------------------------------------
# Python code that runs in the middle of a native call (signal handlers at the interrupt polls,
# finalisers started by the calls' own allocations) and changes what the call is reading: resizing
# is refused, writing into an array is not, and the call must use what it checked. Each script
# prints what the intruder met and whether the call's result is what it is without the intruder;
# a crash fails the test through the exit status.

MID_CALL_PRELUDE = CHILD_PRELUDE + """
import gc, signal
from halvek.algorithms.src.brov.binaries import _bulk, _tree

def path_csr(n):
    first = np.arange(n - 1)
    rows, cols = np.concatenate([first, first + 1]), np.concatenate([first + 1, first])
    order = np.lexsort((cols, rows))
    rows, cols = rows[order], cols[order]
    weights = (np.minimum(rows, cols) * 7919 % 1000 + 1).astype(np.float64)
    indptr = np.concatenate([[0], np.cumsum(np.bincount(rows, minlength=n))])
    return indptr, cols, weights, n

def path_pair(n):
    return _bulk.graph_from_csr(*path_csr(n))

def star(n):
    c = bc.GraphWrapper(n, 0, n + 1000)
    for k in range(1, n):
        c.append(0, k)
        c.append(k, 0)
    labels = np.ones(n, dtype=np.int8)
    labels[0] = 0
    return c, labels

met, fired = [], []

def intrude(action, watched, after=0):
    # Runs `action` at the first signal poll (every 2 ms) inside the call that follows, once
    # `after` ticks of the call have passed: the call holds references to `watched` while it runs.
    idle = sys.getrefcount(watched)
    ticks = []
    def handler(signum, frame):
        if fired or sys.getrefcount(watched) <= idle:
            return
        ticks.append(True)
        if len(ticks) <= after:
            return
        fired.append(True)  # before anything else: the timer can fire again inside the handler
        try:
            action()
            met.append("changed")
        except BufferError as exc:
            met.append(str(exc))
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)

def quiet():
    signal.setitimer(signal.ITIMER_REAL, 0)

def report(same):
    # The timer can re-enter the handler before its first line marks it fired (a loaded machine
    # delays that line past the next tick): each entry then meets the same refusal.
    print([m for k, m in enumerate(met) if k == 0 or m != met[k - 1]])
    print("same" if same else "differs")

def same_or_refused(call, expected, refusal):
    # The call's result against `expected`; a ValueError naming `refusal` counts as the same (the
    # intruder wrote before the call had read the array: the call saw the new values).
    try:
        got = call()
    except ValueError as exc:
        quiet()
        return refusal in str(exc)
    quiet()
    return all(np.array_equal(a, b) for a, b in zip(got, expected))

def walk_under_a_finaliser(search):
    # A cycle of garbage whose finaliser appends to the list of the star's centre: the first
    # collection that the search's own allocations start runs it.
    c, star_labels = star(3000)
    class Bomb:
        def __del__(self):
            try:
                for k in range(2000):
                    c.append(0, 1)
                met.append("changed")
            except BufferError as exc:
                met.append(str(exc))
    bomb = Bomb()
    bomb.self = bomb
    del bomb
    gc.set_threshold(50)
    paths = search(c, star_labels, 0)
    gc.set_threshold(700)
    report(paths == [[0, k] for k in range(1, 3000)])

N = 10 ** 6
labels = np.full(N, -1, dtype=np.int8)
labels[0], labels[-1] = 0, 1
"""

REFUSED = "['GraphWrapper is in use by a running call']\nsame"
REWRITTEN = "['changed']\nsame"  # a handler wrote into the caller's array: the call used its own copy

MID_CALL = [
    pytest.param("""
c, w = path_pair(N)
expected = bc.clusterize(*path_pair(N), labels)[2]
def append_both():
    c.append(N - 1, 2 ** 31 - 1)
    w.append(N - 1, 1.0)
intrude(append_both, c)
result = bc.clusterize(c, w, labels)[2]
quiet()
report(np.array_equal(result, expected) and 2 ** 31 - 1 not in c.to_numpy(N - 1))
""", id="clusterize: a handler appends an out-of-range neighbour"),
    pytest.param("""
c, w = path_pair(N)
expected = _bulk.graph_to_csr(*bc.clusterize(*path_pair(N), labels)[:2])
intrude(lambda: w.append(0, 5.0), c)
bc.clusterize(c, w, labels)
quiet()
got = _bulk.graph_to_csr(c, w)
report(all(np.array_equal(a, b) for a, b in zip(got, expected)))
""", id="clusterize: a handler appends to the weights only"),
    pytest.param("""
c, w = path_pair(N)
def relabel():
    labels[:] = 1
    c.append(0, 1)
intrude(relabel, c)
result = bc.clusterize(c, w, labels)[2]
quiet()
report((result == 1).all())
""", id="clusterize: a handler relabels every node while the cuts are planned"),
    pytest.param("walk_under_a_finaliser(bc.find_all_paths_with_labels)",
                 id="path search: a finaliser appends to the list being walked"),
    pytest.param("walk_under_a_finaliser(bc.explore_graph_recursive)",
                 id="exploration: a finaliser appends to the list being walked"),
    pytest.param("""
c, w = path_pair(N)
expected = [g.to_numpy_all() for g in bc.find_subgraph_with_labels(*path_pair(N), labels)]
intrude(lambda: [c.append(k, 0) for k in range(5)], c)
got = [g.to_numpy_all() for g in bc.find_subgraph_with_labels(c, w, labels)]
quiet()
report(all(np.array_equal(a, b) for x, y in zip(got, expected) for a, b in zip(x, y)))
""", id="subgraph of a forest: a handler appends"),
    pytest.param("""
c, w = path_pair(N)
expected = [g.to_numpy_all() for g in bc.find_subgraph_with_labels(*path_pair(N), labels)]
def write_labels():
    labels[:] = -5
    c.append(0, 1)
intrude(write_labels, c)
got = [g.to_numpy_all() for g in bc.find_subgraph_with_labels(c, w, labels)]
quiet()
report(all(np.array_equal(a, b) for x, y in zip(got, expected) for a, b in zip(x, y)))
""", id="subgraph of a forest: a handler writes -5 into the labels"),
    pytest.param("""
c, w = path_pair(N)
intrude(lambda: c.pop(N - 1, 0), c)
filled = np.full(N, -1, dtype=np.int8)
bc.make_labels(c, 0, 3, set(), filled)
quiet()
report((filled == 3).all())
""", id="flood fill: a handler pops from a list being walked"),
    pytest.param("""
c, w = path_pair(N)
expected = _bulk.graph_to_csr(*path_pair(N))
intrude(lambda: c.append(5, 0), c)
got = _bulk.graph_to_csr(c, w)
quiet()
report(all(np.array_equal(a, b) for a, b in zip(got, expected)))
""", id="export to CSR: a handler appends"),
    pytest.param("""
csr = path_csr(4 * N)  # long enough that the 25 ticks pass inside the load, even on a quiet machine
load = lambda: _bulk.graph_to_csr(*_bulk.graph_from_csr(*csr, rank_weights=True))
expected = load()
intrude(lambda: csr[2].fill(-1.0), csr[2], after=25)
report(same_or_refused(load, expected, "negative weight"))
""", id="CSR loading: a handler rewrites the weights after they were checked"),
    pytest.param("""
points = np.random.default_rng(0).random((40000, 7))  # a build of tens of milliseconds
expected = [_tree.euclidean_mst_edges(points)]
intrude(lambda: points.fill(np.nan), points, after=3)
report(same_or_refused(lambda: [_tree.euclidean_mst_edges(points)], expected, "finite"))
""", id="exact tree: a handler rewrites the points while the k-d tree is built"),
]


@pytest.mark.parametrize("script", MID_CALL)
def test_python_code_inside_a_call_cannot_resize_what_it_reads(script):
    child = subprocess.run([sys.executable, "-c", MID_CALL_PRELUDE + script, json.dumps(sys.path)],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, f"exit status {child.returncode}\n{child.stderr[-3000:]}"
    allowed = {REWRITTEN} if "same_or_refused(" in script else {REFUSED}
    if "walk_under_a_finaliser" in script and sys.version_info >= (3, 12):
        # From 3.12 on the collector runs only when bytecode runs next, which a direct walk never
        # does: the finaliser then meets the container after the call, unpinned.
        allowed.add("['changed']\nsame")
    if "csr[2].fill" in script:
        # The load holds the caller's weights only while it copies them: where the copy ends
        # before the handler's ticks have passed, the handler finds nothing to rewrite.
        allowed.add("[]\nsame")
    assert child.stdout.strip() in allowed, child.stderr[-3000:]
