"""Ctrl-C: a long clusterize stops promptly with KeyboardInterrupt, and the interpreter goes on
working normally afterwards.

Each case runs in a child interpreter that builds a graph on which clusterize would run for many
seconds, says when the call starts, and is sent SIGINT from here shortly after, as a terminal does
on Ctrl-C. The child then runs a small clusterize to show that the module still works.
"""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

CHILD = r"""
import json, sys, time
sys.path[:0] = json.loads(sys.argv[2])
import numpy as np
from halvek.algorithms.src.brov.binaries import _bulk, brov_core as bc

GW = bc.GraphWrapper
scenario = sys.argv[1]

class Sub(GW):
    pass

def pair(n, edges, max_size, cls=GW):
    c, w = cls(n, 0, max_size), cls(n, 1, max_size)
    for a, b, weight in edges:
        c.append(a, b); c.append(b, a); w.append(a, weight); w.append(b, weight)
    return c, w

if scenario == "many cuts":
    # A path with labels 0 and 1 alternating on every other node, in containers of a subclass so
    # that clusterize goes through their methods: over a thousand cuts, each after a fresh
    # subgraph of the remaining graph.
    n = 3000
    c, w = pair(n, [(i, i + 1, float((i * 7919) % 1000)) for i in range(n - 1)], 2, Sub)
    labels = np.full(n, -1, dtype=np.int8)
    labels[::4], labels[2::4] = 0, 1
elif scenario == "one long search":
    # A 7 x 7 grid of unlabelled nodes between two labelled corners: the path search alone has
    # hundreds of millions of simple paths to walk.
    k = 7
    edges = [(r * k + s, r * k + s + 1, 1.0) for r in range(k) for s in range(k - 1)]
    edges += [(r * k + s, (r + 1) * k + s, 2.0) for r in range(k - 1) for s in range(k)]
    c, w = pair(k * k, edges, 2)
    labels = np.full(k * k, -1, dtype=np.int8)
    labels[0], labels[-1] = 0, 1
elif scenario == "edge list":
    # The same grid, as an edge list for _bulk.cluster_edges.
    k = 7
    edges = [(r * k + s, r * k + s + 1) for r in range(k) for s in range(k - 1)]
    edges += [(r * k + s, (r + 1) * k + s) for r in range(k - 1) for s in range(k)]
    weights = np.r_[np.ones(k * (k - 1)), np.full(k * (k - 1), 2.0)]
    labels = np.full(k * k, -1, dtype=np.int8)
    labels[0], labels[-1] = 0, 1
elif scenario == "python callback":
    # clusterize calls a rebound module function that sleeps.
    c, w = pair(3, [(0, 1, 1.0), (1, 2, 2.0)], 2)
    labels = np.array([0, -1, 1], dtype=np.int8)
    original = bc.find_subgraph_with_labels
    bc.find_subgraph_with_labels = lambda *args: time.sleep(60)

print("started", flush=True)
started = time.monotonic()
try:
    if scenario == "edge list":
        _bulk.cluster_edges(np.array(edges), weights, labels)
    else:
        bc.clusterize(c, w, labels)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
if scenario == "python callback":
    bc.find_subgraph_with_labels = original

small_c, small_w = pair(5, [(0, 1, 1.0), (1, 2, 3.0), (2, 3, 2.0), (3, 4, 1.0)], 2)
result = bc.clusterize(small_c, small_w, np.array([0, -1, -1, -1, 1], dtype=np.int8))
print("after", json.dumps(result[2].tolist()), flush=True)
"""

SIGNAL_AFTER = 0.5   # seconds into the long call
PROMPT = 3.0         # how soon after the signal the child must have finished everything


def interrupted_child(what, *args):
    """Starts a child interpreter, sends it SIGINT shortly after it says "started" and returns
    (its output, its stderr, seconds from the signal to its end)."""
    child = subprocess.Popen([sys.executable, "-c", *args],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "started", child.stderr.read()
        time.sleep(SIGNAL_AFTER)
        assert child.poll() is None, "the call was over before the signal"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        try:
            out, err = child.communicate(timeout=PROMPT + 10)
        except subprocess.TimeoutExpired:
            pytest.fail(f"{what} still running {PROMPT + 10:.0f} s after SIGINT")
        took = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    return out, err, took


@pytest.mark.parametrize("scenario", ["many cuts", "one long search", "edge list", "python callback"])
def test_ctrl_c_stops_clusterize(scenario):
    out, err, took = interrupted_child(f"clusterize ({scenario})", CHILD, scenario, json.dumps(sys.path))
    assert out.splitlines() == ["interrupted", "after [0, 0, 1, 1, 1]"], (out, err)
    assert took < PROMPT, f"the child needed {took:.1f} s after SIGINT"


TREE_CHILD = r"""
import json, sys
sys.path[:0] = json.loads(sys.argv[1])
import numpy as np
from halvek.algorithms.src.brov import euclidean_mst

X = np.random.default_rng(0).random((30000, 200))  # an exact tree of many seconds
print("started", flush=True)
try:
    euclidean_mst(X, method="exact")
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
print("after", euclidean_mst(np.array([[0.0, 0.0], [3.0, 4.0], [3.0, 0.0]]))[0].tolist(), flush=True)
"""


def test_ctrl_c_stops_the_exact_tree():
    out, err, took = interrupted_child("the exact tree", TREE_CHILD, json.dumps(sys.path))
    assert out.splitlines() == ["interrupted", "after [[0, 2], [1, 2]]"], (out, err)
    assert took < PROMPT, f"the child needed {took:.1f} s after SIGINT"


GAPS_CHILD = r"""
import json, signal, sys, time
sys.path[:0] = json.loads(sys.argv[2])
import numpy as np
from halvek.algorithms.src.brov.binaries import brov_core as bc, _bulk, _tree

n = int(sys.argv[3])
# A path 0 - 1 - ... - n-1 as CSR arrays, each edge with its own weight.
indptr = np.concatenate([[0], np.arange(1, 2 * n - 1, 2), [2 * n - 2]])
indices = np.concatenate([[1], np.column_stack([np.arange(n - 2), np.arange(2, n)]).ravel(), [n - 2]])
rows = np.repeat(np.arange(n), np.diff(indptr))
data = (np.minimum(rows, indices) * 7919 % 100003 + 1).astype(np.float64)

stamps = []
signal.signal(signal.SIGALRM, lambda signum, frame: stamps.append(time.monotonic()))

def longest_gap(call):
    # The longest stretch of the call in which the handler, due every 10 ms, could not run.
    stamps.clear()
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    start = time.monotonic()
    result = call()
    end = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, 0)
    marks = [start] + [t for t in stamps if start <= t <= end] + [end]
    return result, max(b - a for a, b in zip(marks, marks[1:])), end - start

pair, load_gap, load_took = longest_gap(lambda: _bulk.graph_from_csr(indptr, indices, data, n, rank_weights=True))
labels = np.full(n, -1, dtype=np.int8)
labels[::n // 4] = [0, 1, 0, 1, 0][: len(labels[::n // 4])]
_, cluster_gap, cluster_took = longest_gap(lambda: bc.clusterize(pair[0], pair[1], labels))
del pair
points = np.random.default_rng(0).random((n // 2, 2))  # the exact tree of the plane: a second or so
_, tree_gap, tree_took = longest_gap(lambda: _tree.euclidean_mst_edges(points))
print(json.dumps({"load": [load_gap, load_took], "clusterize": [cluster_gap, cluster_took],
                  "exact tree": [tree_gap, tree_took]}))
"""

LONGEST_GAP = 0.5  # seconds: polls come every few milliseconds, this leaves room for a busy machine


def test_every_phase_of_a_long_call_lets_signal_handlers_run():
    # Four million nodes (and two million points): each call runs for seconds, and before every
    # phase polled, each had a stretch of most of a second or more in which Ctrl-C could not act
    # (the exact tree: while it built its k-d tree, before the plane had its grid).
    child = subprocess.run([sys.executable, "-c", GAPS_CHILD, "gaps", json.dumps(sys.path), str(4_000_000)],
                           capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr[-3000:]
    measured = json.loads(child.stdout)
    for call, (gap, took) in measured.items():
        assert gap < LONGEST_GAP, f"{call}: no signal handler ran for {gap:.2f} s of a {took:.2f} s call"


EXIT_CHILD = r"""
import json, sys, threading, time
sys.path[:0] = json.loads(sys.argv[1])
import numpy as np
from halvek.algorithms.src.brov import BrovClustering
from halvek.algorithms.src.brov.binaries import _tree

rng = np.random.default_rng(0)
X, y = rng.normal(size=(400, 2)), np.full(400, -1)
y[:3] = [0, 1, 2]
points = rng.random((3000, 2))
calls = [0]

def work():  # native calls that give the GIL up and take it back, thousands of times a second
    while True:
        _tree.euclidean_mst_edges(points)
        BrovClustering(random_state=0).fit(X, y)
        calls[0] += 1

threading.Thread(target=work, daemon=True).start()
while not calls[0]:
    time.sleep(0.001)
time.sleep(float(sys.argv[2]))
print("exiting", flush=True)
"""


def test_the_interpreter_exits_cleanly_around_a_daemon_thread_in_native_calls():
    # Such a thread is ended by the interpreter as it takes the GIL back during shutdown (a forced
    # unwind through the native frames), which once aborted the process ("terminate called
    # without an active exception") about one exit in three, and on 3.13 crashed it nearly every
    # time (the unwind released objects after the interpreter's memory was gone).
    for delay in (0.0, 0.05, 0.1, 0.15, 0.2, 0.3):
        child = subprocess.run([sys.executable, "-c", EXIT_CHILD, json.dumps(sys.path), str(delay)],
                               capture_output=True, text=True, timeout=120)
        assert (child.returncode, child.stdout) == (0, "exiting\n"), (delay, child.stderr[-3000:])
