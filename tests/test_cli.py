"""The brov command line: demo, cluster, progress, errors and outputs."""

import os
import subprocess
import sys

import numpy as np
import pytest

import halvek.algorithms.src.brov as brov
from halvek.algorithms.src.brov import adjusted_rand_score, cli

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def has_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


needs_matplotlib = pytest.mark.skipif(not has_matplotlib(), reason="the plot extra (matplotlib) is not installed")


@pytest.fixture
def no_matplotlib(monkeypatch):
    for name in list(sys.modules):
        if name == "matplotlib" or name.startswith("matplotlib."):
            monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes `import matplotlib` fail


@pytest.fixture
def points(tmp_path):
    rng = np.random.default_rng(11)
    X = np.concatenate([rng.normal((0, 0, 0), 0.4, (40, 3)), rng.normal((5, 5, 0), 0.4, (40, 3))])
    y = np.full(80, -1)
    y[[0, 40]] = [7, 9]
    path = tmp_path / "points.csv"
    np.savetxt(path, X, delimiter=",", header="a,b,c", comments="")
    labels = tmp_path / "labels.csv"
    np.savetxt(labels, y, fmt="%d")
    return X, y, path, labels


def read_csv(path):
    with open(path) as handle:
        header = handle.readline().strip().split(",")
    return header, np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)


def files_in(folder):
    return sorted(os.listdir(folder))


class TestDemo:
    @needs_matplotlib
    def test_writes_picture_labels_and_summary(self, tmp_path, capsys):
        out = tmp_path / "demo"
        assert cli.main(["demo", "--n", "400", "--out", str(out)]) == 0
        assert files_in(out) == ["clusters.png", "labels.csv"]
        png = (out / "clusters.png").read_bytes()
        assert png.startswith(PNG_SIGNATURE) and len(png) > 20000
        header, table = read_csv(out / "labels.csv")
        assert header == ["x", "y", "blob", "given", "cluster"] and table.shape == (400, 5)
        assert adjusted_rand_score(table[:, 2], table[:, 4]) > 0.95
        given = table[:, 3] != -1
        assert given.sum() == 8 and np.array_equal(table[given, 3], table[given, 4])
        summary = capsys.readouterr()
        assert "points: 400 (2 coordinates), labelled: 8" in summary.out
        assert "clusters: 4" in summary.out and "adjusted Rand index" in summary.out
        for stage in ("tree", "clusterize", "plot"):
            assert " %s " % stage in summary.out
        assert summary.err == ""  # small input: no progress

    def test_without_matplotlib_writes_labels_and_says_how_to_plot(self, tmp_path, capsys, no_matplotlib):
        out = tmp_path / "demo"
        assert cli.main(["demo", "--n", "50", "--out", str(out)]) == 0
        assert files_in(out) == ["labels.csv"]
        assert "pip install 'halvek-brov[plot]'" in capsys.readouterr().out

    def test_progress_for_large_inputs_and_quiet(self, tmp_path, capsys, monkeypatch, no_matplotlib):
        monkeypatch.setattr(cli, "PROGRESS_FROM", 100)
        assert cli.main(["demo", "--n", "150", "--out", str(tmp_path / "a")]) == 0
        err = capsys.readouterr().err
        assert "brov: generated 150 points" in err and "brov: clusterize" in err
        assert cli.main(["demo", "--n", "150", "--out", str(tmp_path / "b"), "-q"]) == 0
        assert capsys.readouterr().err == ""


class TestCluster:
    def test_csv_with_header(self, points, tmp_path, capsys):
        X, y, path, labels = points
        out = tmp_path / "out.csv"
        assert cli.main(["cluster", str(path), "--labels", str(labels), "-o", str(out)]) == 0
        header, table = read_csv(out)
        assert header == ["given", "cluster"]
        assert np.array_equal(table[:, 0], y)
        assert np.array_equal(table[:, 1], np.repeat([7, 9], 40))
        assert "wrote %s" % out in capsys.readouterr().out

    def test_npy_points_and_labels(self, points, tmp_path):
        X, y, _, _ = points
        np.save(tmp_path / "p.npy", X)
        np.save(tmp_path / "l.npy", y)
        out = tmp_path / "out.csv"
        assert cli.main(["cluster", str(tmp_path / "p.npy"), "--labels", str(tmp_path / "l.npy"), "-o", str(out),
                         "--method", "knn", "--n-neighbors", "4"]) == 0
        assert np.array_equal(read_csv(out)[1][:, 1], np.repeat([7, 9], 40))

    @needs_matplotlib
    def test_plot(self, points, tmp_path):
        _, _, path, labels = points
        assert cli.main(["cluster", str(path), "--labels", str(labels), "-o", str(tmp_path / "o.csv"),
                         "--plot", str(tmp_path / "o.png")]) == 0
        assert (tmp_path / "o.png").read_bytes().startswith(PNG_SIGNATURE)

    def test_plot_without_matplotlib_writes_nothing(self, points, tmp_path, capsys, no_matplotlib):
        _, _, path, labels = points
        code = cli.main(["cluster", str(path), "--labels", str(labels), "-o", str(tmp_path / "o.csv"),
                         "--plot", str(tmp_path / "o.png")])
        err = capsys.readouterr().err
        assert code == 1
        assert err.count("\n") == 1 and "pip install 'halvek-brov[plot]'" in err
        assert files_in(tmp_path) == ["labels.csv", "points.csv"]


BAD_FILES = [
    ("nan point", lambda d: (d / "p.csv").write_text("1,2\nnan,3\n4,5\n"), "3", r"NaN or infinite"),
    ("ragged rows", lambda d: (d / "p.csv").write_text("1,2\n3\n4,5\n"), "3", "cannot read points"),
    ("text in points", lambda d: (d / "p.csv").write_text("x,y\n1,2\n3,abc\n5,6\n"), "3", "cannot read points"),
    ("empty points", lambda d: (d / "p.csv").write_text(""), "3", "is empty"),
    ("label count", lambda d: (d / "p.csv").write_text("1,2\n3,4\n5,6\n"), "2", "got 2 labels for 3 points"),
    ("no labelled", lambda d: (d / "p.csv").write_text("1,2\n3,4\n5,6\n"), "none", "no labelled point"),
    ("fractional label", lambda d: (d / "p.csv").write_text("1,2\n3,4\n5,6\n"), "half", "integer class ids"),
]


class TestBadInput:
    @pytest.mark.parametrize("name, make, labels, message", BAD_FILES, ids=[b[0] for b in BAD_FILES])
    def test_one_line_error_and_no_output(self, tmp_path, capsys, name, make, labels, message):
        make(tmp_path)
        label_text = {"3": "0\n-1\n1\n", "2": "0\n1\n", "none": "-1\n-1\n-1\n", "half": "0\n0.5\n1\n"}[labels]
        (tmp_path / "l.csv").write_text(label_text)
        before = files_in(tmp_path)
        code = cli.main(["cluster", str(tmp_path / "p.csv"), "--labels", str(tmp_path / "l.csv"),
                         "-o", str(tmp_path / "out.csv")])
        err = capsys.readouterr().err
        assert code == 1
        assert err.startswith("brov: error: ") and err.count("\n") == 1
        assert message in err
        assert files_in(tmp_path) == before

    @pytest.mark.parametrize("args, message", [
        (["cluster", "missing.csv", "--labels", "l.csv", "-o", "o.csv"], "missing.csv: no such file"),
        (["cluster", "p.txt", "--labels", "l.csv", "-o", "o.csv"], "must be a .csv or .npy file"),
        (["cluster", "p.csv", "--labels", "l.csv", "-o", "nowhere/o.csv"], "does not exist"),
        (["cluster", "p.csv", "--labels", "p.csv", "-o", "o.csv"], "expected one column, got 2"),
    ])
    def test_file_problems(self, tmp_path, capsys, monkeypatch, args, message):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "p.csv").write_text("1,2\n3,4\n")
        (tmp_path / "p.txt").write_text("1,2\n3,4\n")
        (tmp_path / "l.csv").write_text("0\n-1\n")
        assert cli.main(args) == 1
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and message in err
        assert not (tmp_path / "o.csv").exists()

    def test_bad_command_line_exits_2_on_one_line(self, capsys):
        with pytest.raises(SystemExit) as stop:
            cli.main(["cluster", "p.csv"])
        assert stop.value.code == 2
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and "--labels" in err


def test_python_dash_m_runs_the_command_line(tmp_path):
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(brov.__file__)))))
    (tmp_path / "p.csv").write_text("0,0\n0,1\n9,9\n9,8\n")
    (tmp_path / "l.csv").write_text("5\n-1\n-1\n6\n")
    done = subprocess.run([sys.executable, "-m", "halvek.algorithms.src.brov", "cluster", "p.csv", "--labels",
                           "l.csv", "-o", "o.csv", "-q"], capture_output=True, text=True, cwd=tmp_path,
                          env=dict(os.environ, PYTHONPATH=root))
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "o.csv").read_text() == "given,cluster\n5,5\n-1,5\n-1,6\n6,6\n"
    assert done.stderr == ""
