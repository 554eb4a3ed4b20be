"""The benchmark scripts keep working: each runs end to end at tiny sizes."""

import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_script(*args):
    env = dict(os.environ)
    binaries = os.path.join(ROOT, "halvek", "algorithms", "src", "brov", "binaries")
    if any(name.startswith("brov_core") for name in os.listdir(binaries)):
        env["PYTHONPATH"] = ROOT + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, *args], cwd=os.path.join(ROOT, "bench"), env=env,
                          capture_output=True, text=True, timeout=300)


def test_clusterize_benchmark_smoke():
    done = run_script("bench_clusterize.py", "--smoke")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert sum(line.startswith(("random tree", "blob EMST")) for line in lines) == 5
    # The three ways of clustering the same tree with the same labels agree.
    assert len({line.split("labels crc")[1] for line in lines if line.startswith("random tree")}) == 1
    assert "same labels: True" in lines[-1]


def test_container_benchmark_smoke():
    done = run_script("bench_container.py", "--n", "2000")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip()


def test_users_benchmark_smoke():
    done = run_script("bench_users.py", "--nodes", "3000", "--labelled", "5", "--append-nodes", "500",
                      "--seeds", "1", "--scaling-nodes", "2000", "--scaling-labels", "5", "20",
                      "--skip-comparison")
    assert done.returncode == 0, done.stderr
    assert "clusterize" in done.stdout


def test_tree_benchmark_smoke():
    done = run_script("bench_tree.py", "--scale", "0.002", "--skip", "sklearn", "fast_hdbscan")
    assert done.returncode == 0, done.stderr
    rows = [line.split("|")[1:-1] for line in done.stdout.splitlines()[2:]]
    assert {r[2].strip() for r in rows} >= {"brov (boruvka)", "SciPy Delaunay + MST", "k-NN route (k=10)",
                                            "BrovClustering"}
    # The exact tree and SciPy's exact 2-D tree have the same length.
    for data in {r[0] for r in rows if "2-D" in r[0]}:
        lengths = [r[5].split(";")[0].strip() for r in rows if r[0] == data and r[1].strip() == "tree"]
        assert lengths[0] == lengths[1]
    # The routes by dimension: the approximation is never shorter than the exact tree.
    done = run_script("bench_tree.py", "--crossover", "8", "40", "--sizes", "300", "--data", "uniform")
    assert done.returncode == 0, done.stderr
    rows = [line.split("|")[1:-1] for line in done.stdout.splitlines()[2:]]
    assert [r[-1].strip() for r in rows] == ["boruvka", "blocked"] and all(float(r[6]) >= 1 - 1e-12 for r in rows)
    done = run_script("bench_tree.py", "--plane-jobs", "1", "--scale", "0.01")
    assert done.returncode == 0, done.stderr
    assert [line.split("|")[3:5] for line in done.stdout.splitlines()[2:]] == [[" 1 ", " boruvka "], [" 2 ", " boruvka "]] * 2
    done = run_script("bench_tree.py", "--embeddings", "--scale", "0.01")
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("| 1.000 |") >= 3 and "LabelSpreading()" in done.stdout


def test_cluster_graph_benchmark_smoke():
    done = run_script("bench_cluster_graph.py", "--sizes", "2000", "--runs", "1")
    assert done.returncode == 0, done.stderr
    assert "k-NN graph  n=     2000" in done.stdout and "cluster_graph" in done.stdout


def test_quality_benchmark_smoke():
    done = run_script("bench_quality.py", "--quick")
    assert done.returncode == 0, done.stderr
    out = done.stdout
    table = [line for line in out.splitlines() if line.startswith("| moons |")]
    assert len(table) == 4 and all(line.count("+-") >= 3 for line in table)
    assert "brov within 0.01 of the best peer" in out
    deciles = [line.split("|") for line in out.splitlines() if line.startswith("| ") and line.count("|") == 7]
    right = [float(row[5]) for row in deciles if row[1].strip().isdigit()]
    assert len(right) == 10 and all(0 <= share <= 1 for share in right)
    assert sum(float(row[6]) for row in deciles if row[1].strip().isdigit()) == pytest.approx(1.0, abs=0.01)
    auroc = [line for line in out.splitlines() if line.startswith("AUROC of 1 - confidence for the errors: ")]
    assert len(auroc) == 1 and 0 <= float(auroc[0].split(": ")[1]) <= 1
    # The embeddings' table (digits alone when quick).
    done = run_script("bench_quality.py", "--embeddings", "--quick")
    assert done.returncode == 0, done.stderr
    rows = [line for line in done.stdout.splitlines() if line.startswith("| digits (64 coordinates) |")]
    assert len(rows) == 2 and all(line.count("+-") == 6 for line in rows)


def test_label_page_benchmark_smoke():
    done = run_script("bench_label_page.py", "--n", "2000", "--changes", "2", "--no-browser")
    assert done.returncode == 0, done.stderr
    assert "one change over HTTP" in done.stdout


def test_generic_route_benchmark_smoke():
    done = run_script("bench_generic_route.py", "--n", "300", "--runs", "1")
    assert done.returncode == 0, done.stderr
    rows = [line for line in done.stdout.splitlines() if "per clusterize" in line]
    assert len(rows) == 3
    # Every way of going by name gives the same labels.
    assert len({row.split("labels crc")[1] for row in rows}) == 1


def test_dask_benchmark_smoke():
    import pytest

    pytest.importorskip("distributed")
    done = run_script("bench_dask.py", "--n", "20000", "--parts", "4", "--chunk-rows", "5000", "--memory-limit", "0")
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("peak resident memory") == 2
    assert "labels equal: True" in done.stdout


def test_scale_benchmark_smoke():
    done = run_script("bench_scale.py", "--sizes", "3000", "6000")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    header = next(line for line in lines if line.startswith("| n |"))
    for stage in ("checks", "scaling", "tree", "weights", "cuts", "labels", "peak RSS MiB", "added bytes/point"):
        assert "| %s |" % stage in header
    rows = [line.split("|")[1:-1] for line in lines if line.startswith(("| 3000 ", "| 6000 "))]
    assert len(rows) == 2 and all(float(r[-3]) > 0 for r in rows)  # each child measured its peak
