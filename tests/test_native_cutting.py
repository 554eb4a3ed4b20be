"""The cutting planner (cutting.hpp), compiled on its own with g++ (run.sh also checks the exact
Euclidean tree, emst.cpp, against Prim's algorithm).

Two checks: the native program of tests/native (the sweep against the exact planner, the exact
planner against a literal rerun of the driver, under the address and UB sanitizers), and the
planner's plans against the cutting phase of the Python model's clusterize, on graphs of every
kind: trees and forests, cycles, duplicate and one-sided entries, self-loops, -2 labels, weights
that never count as maximal.
"""

import os
import random
import shutil
import struct
import subprocess

import numpy as np
import pytest

import model

HERE = os.path.dirname(os.path.abspath(__file__))
RUN = os.path.join(HERE, "native", "run.sh")

pytestmark = pytest.mark.skipif(shutil.which("g++") is None, reason="g++ is not installed")

OK, NO_MAX, LONE_MAX, NOT_IN_LIST, RECURSION, NEEDS_FALLBACK, INTERRUPTED = range(7)


@pytest.fixture(scope="module")
def native_run(tmp_path_factory):
    """Builds the program (run.sh also runs its checks) and keeps the binary for --batch."""
    build = tmp_path_factory.mktemp("native")
    proc = subprocess.run(["bash", RUN], env=dict(os.environ, BROV_NATIVE_BUILD=str(build)),
                          capture_output=True, text=True, timeout=600)
    return proc, os.path.join(str(build), "test_cutting")


def test_native_checks_pass(native_run):
    proc, _ = native_run
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    # One summary line per program: the cutting planner's, then the tree's.
    summaries = [line for line in proc.stdout.splitlines() if line.endswith(" failed") and " passed, " in line]
    counts = [tuple(int(part.split()[0]) for part in line.split(",")) for line in summaries]
    assert len(counts) == 2, proc.stdout[-4000:]
    (cutting_passed, cutting_failed), (tree_passed, tree_failed) = counts
    assert cutting_failed == 0 and cutting_passed > 6000, summaries
    assert tree_failed == 0 and tree_passed > 300, summaries


# ------------------------------------------------------------------ graphs

def _graph(rng, n, edges, weight_kind):
    adjacency = [[] for _ in range(n)]
    weights = [[] for _ in range(n)]
    pool = [1.0, 2.0, 2.0, 3.0, 0.0, -0.0, -1.0, -2.0, float("nan")]
    distinct = rng.sample(range(1, 4 * len(edges) + 2), len(edges))
    for k, (a, b) in enumerate(edges):
        if weight_kind == "tied":
            w = float(rng.randint(1, 3))
        elif weight_kind == "distinct":
            w = distinct[k] / 4.0
        else:
            w = rng.choice(pool)
        adjacency[a].append(b)
        weights[a].append(w)
        adjacency[b].append(a)
        weights[b].append(w)
    for node in range(n):
        order = list(range(len(adjacency[node])))
        rng.shuffle(order)
        adjacency[node] = [adjacency[node][k] for k in order]
        weights[node] = [weights[node][k] for k in order]
    return adjacency, weights


def _labels(rng, n, allow_minus_two):
    pattern = rng.choice(["none", "single", "sparse", "sparse", "dense"])
    k = rng.randint(0, 4)
    labels = []
    for _ in range(n):
        if pattern == "none":
            label = -1
        elif pattern == "single":
            label = 0 if rng.random() < 0.3 else -1
        elif pattern == "sparse":
            label = rng.randint(0, k) if rng.random() < 0.4 else -1
        else:
            label = rng.randint(0, k)
        if allow_minus_two and rng.random() < 0.1:
            label = -2
        labels.append(label)
    return labels


def _mutate(rng, adjacency, weights):
    """One change that takes the graph outside the simple forests (or, for an extra edge, maybe not)."""
    n = len(adjacency)
    kind = rng.choice(["self loop", "duplicate", "one-sided", "uneven weight", "extra edge"])
    entries = [(a, p) for a in range(n) for p in range(len(adjacency[a]))]
    if kind == "self loop" or not entries:
        node = rng.randrange(n)
        adjacency[node].insert(rng.randint(0, len(adjacency[node])), node)
        weights[node].insert(len(adjacency[node]) - 1, 2.0)
        return
    a, p = rng.choice(entries)
    b = adjacency[a][p]
    if kind == "duplicate":
        adjacency[a].append(b)
        weights[a].append(rng.choice([weights[a][p], 5.0]))
        if rng.random() < 0.5:
            adjacency[b].append(a)
            weights[b].append(5.0)
    elif kind == "one-sided":
        del adjacency[a][p]
        del weights[a][p]
    elif kind == "uneven weight":
        weights[a][p] = 4.0 if weights[a][p] != 4.0 else 1.0
    else:
        c = rng.randrange(n)
        if c != a and c not in adjacency[a]:
            adjacency[a].append(c)
            weights[a].append(2.0)
            adjacency[c].append(a)
            weights[c].append(2.0)


def _cases(seed, count):
    rng = random.Random(seed)
    for i in range(count):
        n = rng.randint(1, 12)
        shape = rng.choice(["random", "chain", "star", "forest"])
        if shape == "random":
            edges = [(rng.randrange(v), v) for v in range(1, n)]
        elif shape == "chain":
            edges = [(v - 1, v) for v in range(1, n)]
        elif shape == "star":
            edges = [(0, v) for v in range(1, n)]
        else:
            edges = [(rng.randrange(v), v) for v in range(1, n) if rng.random() < 0.7]
        perm = list(range(n))
        rng.shuffle(perm)
        edges = [(perm[a], perm[b]) for a, b in edges]
        adjacency, weights = _graph(rng, n, edges, rng.choice(["tied", "distinct", "special"]))
        odd = i % 2 == 1
        labels = _labels(rng, n, allow_minus_two=odd)
        if odd:
            for _ in range(rng.randint(1, 2)):
                _mutate(rng, adjacency, weights)
        yield adjacency, weights, labels


# ------------------------------------------------------------------ the model's cutting phase

def _f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def _model_cutting(adjacency, weights, labels, monkeypatch):
    """The model's clusterize, stopped where its cutting phase ends: the lists as they stand at
    the last subgraph build (or at the error), and the error, if any."""
    n = len(adjacency)
    size = max(1, max((len(lst) for lst in adjacency), default=0) + n)
    conn = model.ModelGraphWrapper(n, model.INT64, size)
    wts = model.ModelGraphWrapper(n, model.FLOAT32, size)
    for node in range(n):
        for neighbor, weight in zip(adjacency[node], weights[node]):
            conn.append(node, neighbor)
            wts.append(node, weight)
    seen = []
    original = model.find_subgraph_with_labels

    def watched(connections_sparse, weights_sparse, label_array):
        seen.append(([list(map(int, lst)) for lst in connections_sparse._data],
                     [[float(w) for w in lst] for lst in weights_sparse._data]))
        return original(connections_sparse, weights_sparse, label_array)

    class Done(Exception):
        pass

    def stop(*args, **kwargs):
        raise Done

    monkeypatch.setattr(model, "find_subgraph_with_labels", watched)
    monkeypatch.setattr(model, "make_labels", stop)
    error = None
    try:
        model.clusterize(conn, wts, np.array(labels, dtype=np.int8))
    except Done:
        pass
    except (ValueError, RecursionError) as exc:
        error = (type(exc).__name__, str(exc))
    finally:
        monkeypatch.undo()
    return seen[-1], error


def _expected_error(status, a, b):
    return {
        OK: None,
        NO_MAX: ("ValueError", "All sub-arrays are empty, cannot pop max"),
        LONE_MAX: ("ValueError", "Only one entry holds the maximum value, cannot pop max"),
        NOT_IN_LIST: ("ValueError", "%d is not in list" % a),
        RECURSION: ("RecursionError", "exploration from node %d with bomb node %d repeats itself" % (a, b)),
    }[status]


def _bits(values):
    return [struct.pack("<f", v) for v in values]


def test_plans_match_the_model(native_run, monkeypatch):
    proc, binary = native_run
    assert proc.returncode == 0, "the native build or its checks failed"
    cases = list(_cases(seed=7, count=2000))
    text = []
    for adjacency, weights, labels in cases:
        text.append(str(len(adjacency)))
        text.append(" ".join(map(str, labels)))
        for neighbors, ws in zip(adjacency, weights):
            text.append(" ".join([str(len(neighbors))] + ["%d %r" % (v, _f32(w))
                                                          for v, w in zip(neighbors, ws)]))
    out = subprocess.run([binary, "--batch"], input="\n".join(text) + "\n", capture_output=True,
                         text=True, timeout=300, check=True).stdout.splitlines()
    assert len(out) == len(cases)

    kinds = {"swept": 0, "exact": 0, "cuts": 0, "errors": 0}
    for (adjacency, weights, labels), line in zip(cases, out):
        fields = list(map(int, line.split()))
        status, a, b, swept, count = fields[:5]
        cuts = list(zip(fields[5::2], fields[6::2]))
        assert len(cuts) == count
        (want_adj, want_w), want_error = _model_cutting(adjacency, weights, labels, monkeypatch)

        assert status != NEEDS_FALLBACK
        assert _expected_error(status, a, b) == want_error, (adjacency, weights, labels, line)
        got_adj = [list(lst) for lst in adjacency]
        got_w = [[_f32(w) for w in lst] for lst in weights]
        for x, y in cuts:
            px = got_adj[x].index(y)
            py = got_adj[y].index(x)
            del got_adj[x][px], got_w[x][px], got_adj[y][py], got_w[y][py]
        assert got_adj == want_adj, (adjacency, weights, labels, line)
        assert [_bits(lst) for lst in got_w] == [_bits(lst) for lst in want_w]
        kinds["swept" if swept else "exact"] += 1
        kinds["cuts"] += bool(cuts)
        kinds["errors"] += want_error is not None
    # The generated cases reach both planners, cuts and errors.
    assert min(kinds.values()) > 150, kinds
