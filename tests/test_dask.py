"""The fit on a Dask cluster gives the one-machine fit's tree and labels."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

from halvek.algorithms.src.brov import BrovClustering  # noqa: E402
from halvek.algorithms.src.brov.on_dask import fit  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def one_machine(X, y):
    return BrovClustering(method="exact", n_trees=1, edge_weight="length", side_discount=0, scale=False).fit(X, y)


def check_same_fit(client, X, y, n_parts, chunks, points=None):
    """``points``: X as a dask array already, else X is cut into row chunks of ``chunks``."""
    points = da.from_array(X, chunks=(chunks, -1)) if points is None else points
    result = fit(points, da.from_array(y, chunks=chunks), client=client, n_parts=n_parts, return_tree=True)
    model = one_machine(X, y)
    edges = result.edges.compute()
    assert len(edges) == len(X) - 1
    assert result.tree_length == pytest.approx(model.edge_lengths_.sum(), rel=1e-12)
    assert result.lengths.compute().sum() == pytest.approx(model.edge_lengths_.sum(), rel=1e-12)
    mine = set(map(tuple, edges.tolist()))
    assert mine == set(map(tuple, np.sort(model.edges_, axis=1).tolist()))
    labels = result.labels.compute()
    assert labels.dtype == model.labels_.dtype
    np.testing.assert_array_equal(labels, model.labels_)
    return result


def few_labels(n, rng, classes=4, count=12):
    y = np.full(n, -1, dtype=np.int64)
    y[rng.choice(n, count, replace=False)] = rng.integers(0, classes, count) * 7 - 3
    return y


@pytest.mark.parametrize("case", ["uniform", "blobs", "far apart", "one part", "more parts than points"])
def test_same_tree_and_labels_as_one_machine(client, case):
    rng = np.random.default_rng(len(case))
    if case == "blobs":  # 3-D, parts cutting through dense blobs
        X = rng.normal(scale=0.05, size=(6000, 3)) + rng.integers(0, 4, size=(6000, 1))
        n_parts = 5
    elif case == "far apart":  # the parts' trees are all certain and the parts are joined by closest pairs
        X = np.concatenate([rng.random((1500, 2)), rng.random((1500, 2)) + [100, 0]])
        X[2500] = [60, 0.5]
        n_parts = 2
    else:
        X = rng.random((3000 if case != "more parts than points" else 7, 2))
        n_parts = {"uniform": 8, "one part": 1, "more parts than points": 16}[case]
    y = few_labels(len(X), rng, count=min(12, len(X)))
    result = check_same_fit(client, X, y, n_parts, chunks=len(X) // 3 + 1)
    if case == "far apart":
        assert [p["uncertain"] for p in result.parts] == [0, 0]


def test_a_million_points_in_eight_parts(client):
    n = 10 ** 6
    points = da.random.default_rng(5).random((n, 2), chunks=(n // 10, 2))
    y = few_labels(n, np.random.default_rng(6), classes=5, count=40).astype(np.int16)
    result = check_same_fit(client, points.compute(), y, 8, chunks=n // 10, points=points)
    assert len(result.parts) == 8
    # What reached the driver: the undecided edges and the paths between labels, not the tree.
    assert sum(p["uncertain"] + p["kept"] for p in result.parts) < n // 4


def test_bad_input_is_refused_before_anything_runs(client):
    X = np.random.default_rng(0).random((2000, 2))
    X[1234, 1] = np.nan
    y = few_labels(len(X), np.random.default_rng(1))
    with pytest.raises(ValueError, match="NaN or infinite"):
        fit(da.from_array(X, chunks=(500, -1)), da.from_array(y, chunks=500), client=client)
    X[1234, 1] = 0.5
    with pytest.raises(ValueError, match="no labelled point"):
        fit(da.from_array(X, chunks=(500, -1)), da.from_array(np.full(2000, -1), chunks=500), client=client)
    with pytest.raises(TypeError, match="integer class ids"):
        fit(da.from_array(X, chunks=(500, -1)), da.from_array(y * 0.5, chunks=500), client=client)


@pytest.mark.parametrize("where", ["worker", "driver"])
def test_a_stopped_fit_cancels_its_tasks(client, monkeypatch, where):
    """An error on a worker, or Ctrl-C in the driver mid-fit, leaves no task of the fit behind."""
    import time

    from halvek.algorithms.src.brov.on_dask import driver, part_work

    def fail(*args):
        raise KeyboardInterrupt() if where == "driver" else RuntimeError("worker failed")

    monkeypatch.setattr(*((driver, "join_fragments", fail) if where == "driver" else (part_work, "finish", fail)))
    rng = np.random.default_rng(2)
    X, y = rng.random((4000, 2)), few_labels(4000, rng)
    before = set(client.cluster.scheduler.tasks)
    with pytest.raises(KeyboardInterrupt if where == "driver" else RuntimeError):
        fit(da.from_array(X, chunks=(1000, -1)), da.from_array(y, chunks=1000), client=client, n_parts=4)
    deadline = time.monotonic() + 10
    while set(client.cluster.scheduler.tasks) - before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not set(client.cluster.scheduler.tasks) - before
