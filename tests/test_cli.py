"""The brov command line: demo, cluster, progress, errors and outputs."""

import os
import subprocess
import sys

import numpy as np
import pytest

import halvek.algorithms.src.brov as brov
from halvek.algorithms.src.brov import adjusted_rand_score, cli
from halvek.algorithms.src.brov.cli import common as cli_common
from halvek.algorithms.src.brov.cli import writing as cli_writing
from halvek.algorithms.src.brov.progress import StageProgress

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def has_module(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True


needs_matplotlib = pytest.mark.skipif(not has_module("matplotlib"), reason="the plot extra (matplotlib) is not installed")


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
        for stage in ("tree", "cuts", "plot"):
            assert " %s " % stage in summary.out
        assert summary.err == ""  # small input: no progress

    def test_without_matplotlib_writes_labels_and_says_how_to_plot(self, tmp_path, capsys, no_matplotlib):
        out = tmp_path / "demo"
        assert cli.main(["demo", "--n", "50", "--out", str(out)]) == 0
        assert files_in(out) == ["labels.csv"]
        assert "pip install 'halvek-brov[plot]'" in capsys.readouterr().out

    def test_progress_for_large_inputs_and_quiet(self, tmp_path, capsys, monkeypatch, no_matplotlib):
        monkeypatch.setattr(cli_common, "PROGRESS_FROM", 100)
        assert cli.main(["demo", "--n", "150", "--out", str(tmp_path / "a")]) == 0
        err = capsys.readouterr().err
        assert "brov: generated 150 points" in err and "brov: cuts" in err
        assert cli.main(["demo", "--n", "150", "--out", str(tmp_path / "b"), "-q"]) == 0
        assert capsys.readouterr().err == ""


class FakeStream:
    def __init__(self, terminal):
        self.terminal, self.text = terminal, ""

    def isatty(self):
        return self.terminal

    def write(self, text):
        self.text += text

    def flush(self):
        pass


class TestStageProgress:
    def run(self, terminal, times):
        clock = iter(times)
        stream = FakeStream(terminal)
        progress = StageProgress(stream, clock=lambda: next(clock))
        update = progress.track("tree")
        for fraction in (0.0, 0.25, 0.5, 1.0):
            update(fraction)
        progress.done("brov: tree 7.000 s")
        return stream.text

    def test_bar_on_a_terminal_replaced_by_the_closing_line(self):
        text = self.run(True, [0.0, 0.0, 0.5, 1.0, 7.0])
        assert text.startswith("\rbrov: tree       [......................" + "........]   0%")
        assert "[########" in text and " 50%" in text and "100%" in text
        assert text.endswith("\r\033[Kbrov: tree 7.000 s\n")

    def test_plain_lines_only_for_a_long_stage(self):
        assert self.run(False, [0.0, 0.1, 0.2, 0.3, 0.4]) == "brov: tree 7.000 s\n"
        text = self.run(False, [0.0, 0.0, 2.5, 3.0, 7.0])
        assert text == "brov: tree 25% (2 s)\nbrov: tree 7.000 s\n"


    def test_slow_reading_and_writing_are_shown_unless_quiet(self, points, tmp_path, capsys, monkeypatch):
        # A stage starts showing only after its first second: a bar on a terminal from then on.
        clock = iter([0.0, 0.5, 1.5, 2.0])
        stream = FakeStream(True)
        update = StageProgress(stream, clock=lambda: next(clock)).track("reading", after=1.0)
        update(0.2)
        assert stream.text == ""
        update(0.6)
        assert stream.text.startswith("\rbrov: reading    [##################") and " 60%" in stream.text
        monkeypatch.setattr(cli_common, "SLOW_STAGE", 0.0)  # every reading and writing counts as slow
        _, _, path, labels = points
        args = ["cluster", str(path), "--labels", str(labels), "-o", str(tmp_path / "o.csv"), "--columns", "a:c"]
        assert cli.main(args) == 0
        err = capsys.readouterr().err.splitlines()
        assert [line.split()[1] for line in err] == ["reading", "writing"] and err[0].endswith("s (80 points)")
        assert cli.main(args + ["-q"]) == 0 and capsys.readouterr().err == ""

    def test_version_from_pyproject(self, capsys):
        import re

        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        with open(os.path.join(root, "pyproject.toml")) as handle:
            version = re.search(r'^version = "(.+)"', handle.read(), re.M).group(1)
        with pytest.raises(SystemExit) as stop:
            cli.main(["--version"])
        assert stop.value.code == 0 and capsys.readouterr().out == "brov %s\n" % version == "brov %s\n" % brov.__version__


class TestCluster:
    def test_csv_with_header(self, points, tmp_path, capsys):
        X, y, path, labels = points
        out = tmp_path / "out.csv"
        # A third column is used only when asked for.
        assert cli.main(["cluster", str(path), "--labels", str(labels), "-o", str(out)]) == 1
        assert "has 3 columns: say which are coordinates with --columns" in capsys.readouterr().err
        assert cli.main(["cluster", str(path), "--labels", str(labels), "-o", str(out), "--columns", "a,b,c"]) == 0
        header, table = read_csv(out)
        assert header == ["a", "b", "c", "given", "cluster"]
        assert np.allclose(table[:, :3], X) and np.array_equal(table[:, 3], y)
        assert np.array_equal(table[:, 4], np.repeat([7, 9], 40))
        assert "wrote %s" % out in capsys.readouterr().out

    def test_npy_points_and_labels(self, points, tmp_path):
        X, y, _, _ = points
        np.save(tmp_path / "p.npy", X)
        np.save(tmp_path / "l.npy", y)
        out = tmp_path / "out.csv"
        assert cli.main(["cluster", str(tmp_path / "p.npy"), "--labels", str(tmp_path / "l.npy"), "-o", str(out),
                         "--method", "knn", "--n-neighbors", "4"]) == 0
        header, table = read_csv(out)
        assert header == ["x0", "x1", "x2", "given", "cluster"] and np.array_equal(table[:, :3], X)
        assert np.array_equal(table[:, 4], np.repeat([7, 9], 40))
        # Coordinates whose squares overflow, on the default route of ten voting trees.
        np.save(tmp_path / "p.npy", X * 1e160)
        assert cli.main(["cluster", str(tmp_path / "p.npy"), "--labels", str(tmp_path / "l.npy"), "-o", str(out),
                         "--confidence"]) == 0
        header, table = read_csv(out)
        assert np.array_equal(table[:, header.index("cluster")], np.repeat([7, 9], 40))

    @needs_matplotlib
    @pytest.mark.parametrize("name, signature", [("o.png", PNG_SIGNATURE), ("o.JPG", b"\xff\xd8\xff"),
                                                 ("o.svg", b"<?xml"), ("o.pdf", b"%PDF")])
    def test_plot_in_the_format_of_its_extension(self, points, tmp_path, name, signature):
        _, _, path, labels = points
        assert cli.main(["cluster", str(path), "--labels", str(labels), "-o", str(tmp_path / "o.csv"),
                         "--plot", str(tmp_path / name), "--columns", "a,b,c"]) == 0
        assert (tmp_path / name).read_bytes().startswith(signature)

    @needs_matplotlib
    @pytest.mark.parametrize("name", ["o.xyz", "o"])
    def test_plot_with_unknown_extension_is_refused_first(self, points, tmp_path, capsys, name):
        _, _, path, labels = points
        assert cli.main(["cluster", str(path), "--labels", str(labels), "-o", str(tmp_path / "o.csv"),
                         "--plot", str(tmp_path / name), "--columns", "a,b,c"]) == 1
        assert "cannot tell the picture format" in capsys.readouterr().err
        assert files_in(tmp_path) == ["labels.csv", "points.csv"]

    def test_plot_without_matplotlib_writes_nothing(self, points, tmp_path, capsys, no_matplotlib):
        _, _, path, labels = points
        code = cli.main(["cluster", str(path), "--labels", str(labels), "-o", str(tmp_path / "o.csv"),
                         "--plot", str(tmp_path / "o.png")])
        err = capsys.readouterr().err
        assert code == 1
        assert err.count("\n") == 1 and "pip install 'halvek-brov[plot]'" in err
        assert files_in(tmp_path) == ["labels.csv", "points.csv"]


    @pytest.mark.parametrize("points_text, labels_text", [
        ("\ufeff0,0\n0,1\n9,9\n9,8\n", "5\n-1\n-1\n6\n"),                     # byte-order mark, no header
        ('"x","y"\r\n"0","0"\r\n0,"1.0"\r\n\r\n9,9\r\n 9 , 8 \r\n', '"5"\n-1\n\n-1\n6\n'),  # quotes, CRLF, blanks
        ("\ufeffx,y\n0,0\n0,1\n9,9\n9,8\n", "\ufefflabel\n5\n-1\n-1\n6\n"),    # marked headers
    ], ids=["bom", "quoted", "bom-header"])
    def test_csv_dialects(self, tmp_path, points_text, labels_text):
        (tmp_path / "p.csv").write_text(points_text, encoding="utf-8")
        (tmp_path / "l.csv").write_text(labels_text, encoding="utf-8")
        out = tmp_path / "o.csv"
        assert cli.main(["cluster", str(tmp_path / "p.csv"), "--labels", str(tmp_path / "l.csv"), "-o", str(out),
                         "-q", "--short"]) == 0
        assert out.read_text() == "given,cluster\n5,5\n-1,5\n-1,6\n6,6\n"

    def test_large_class_ids_are_kept_exactly(self, tmp_path):
        big = 2 ** 62 + 1  # not representable as a float64
        (tmp_path / "p.csv").write_text("0,0\n0,1\n9,9\n9,8\n")
        for text in ("%d\n-1\n-1\n-5\n" % big, '"%d"\n-1.0\n\n-1\n-5\n' % big):  # quick and careful readers
            (tmp_path / "l.csv").write_text(text)
            assert cli.main(["cluster", str(tmp_path / "p.csv"), "--labels", str(tmp_path / "l.csv"),
                             "-o", str(tmp_path / "o.csv"), "-q", "--short"]) == 0
            assert (tmp_path / "o.csv").read_text() == "given,cluster\n%d,%d\n-1,%d\n-1,-5\n-5,-5\n" % (big, big, big)

    def test_confidence_column_beside_large_class_ids(self, tmp_path, capsys):
        big = 2 ** 62 + 1
        x = np.r_[np.arange(31) * 0.1, 3.3 + np.arange(9) * 0.3, 6 + np.arange(31) * 0.1]
        np.save(tmp_path / "p.npy", np.c_[x, np.zeros(len(x))])
        np.save(tmp_path / "l.npy", np.r_[big, [-1] * 69, 7])
        out = tmp_path / "o.csv"
        args = ["cluster", str(tmp_path / "p.npy"), "--labels", str(tmp_path / "l.npy"), "-o", str(out), "-q",
                "--short"]
        assert cli.main(args + ["--confidence", "8"]) == 0
        lines = out.read_text().splitlines()
        assert lines[0] == "given,cluster,confidence" and lines[1] == "%d,%d,1" % (big, big)
        confidence = np.array([float(line.split(",")[2]) for line in lines[1:]])
        assert set(np.unique(confidence * 8)) <= set(range(1, 9)) and confidence[31:40].min() < 1
        # With the default's trees, the clusters are those of the plain command.
        assert cli.main(args + ["--confidence"]) == 0
        lines = out.read_text().splitlines()
        assert cli.main(args) == 0
        assert [line.rsplit(",", 1)[0] for line in lines] == ["given,cluster"] + out.read_text().splitlines()[1:]
        assert cli.main(args + ["--confidence", "1"]) == 1
        assert "--confidence needs at least 2 trees" in capsys.readouterr().err
        # Most voted classes: every point's confidence is then at least one half.
        assert cli.main(args + ["--consensus", "--edge-weight", "local", "--confidence", "9"]) == 0
        voted = [line.split(",") for line in out.read_text().splitlines()[1:]]
        assert all(float(row[2]) > 0.5 for row in voted) and voted[0][1] == str(big) and voted[-1][1] == "7"

    def test_latitude_and_longitude_by_great_circle(self, tmp_path, capsys):
        # Along the equator: a run of points across the antimeridian, a gap of 26 degrees, another run.
        lon = np.r_[172:186:2, -150:-142:2]
        lon = np.where(lon > 180, lon - 360, lon)
        path = tmp_path / "places.csv"
        np.savetxt(path, np.c_[np.zeros(len(lon)), lon, np.zeros(len(lon)), np.r_[0, [-1] * 9, 1]], delimiter=",",
                   header="lat,lon,height,given", comments="", fmt="%g")
        out = tmp_path / "o.csv"
        args = ["cluster", str(path), "--columns", "lat,lon", "--label-column", "given", "-o", str(out), "-q", "--short"]

        def clusters(*options):
            assert cli.main(args + list(options)) == 0, capsys.readouterr().err
            return [int(line.split(",")[1]) for line in out.read_text().splitlines()[1:]]

        assert clusters("--metric", "haversine") == [0] * 7 + [1] * 4
        assert clusters() == [0] * 5 + [1] * 6  # the plane parts the run at the antimeridian
        if has_module("matplotlib"):
            assert cli.main(args + ["--metric", "haversine", "--plot", str(tmp_path / "map.png")]) == 0
            assert (tmp_path / "map.png").read_bytes().startswith(PNG_SIGNATURE)
        for bad, message in ((["--metric", "haversine", "--scale"], "--scale does not apply to --metric haversine"),
                             (["--metric", "haversine", "--columns", "lon,lat"], "latitude must lie within +-90 degrees"),
                             (["--metric", "haversine", "--columns", "lat,lon,height"], "takes two columns")):
            assert cli.main(args[:2] + args[4:] + bad) == 1
            err = capsys.readouterr().err
            assert err.startswith("brov: error: ") and err.count("\n") == 1 and message in err, err
        with pytest.raises(SystemExit):
            cli.main(args + ["--metric", "cosine"])

    def test_weighting_scaling_and_consensus_options(self, tmp_path, capsys, monkeypatch):
        # An outlying label 1.5 from its blob, the blobs 1.2 apart (as in the estimator's tests).
        blob = np.c_[np.arange(10) * 0.1, np.zeros(10)]
        np.save(tmp_path / "p.npy", np.vstack([[[-1.5, 0.0]], blob, blob + [2.1, 0.0]]))
        np.save(tmp_path / "l.npy", np.r_[0, [-1] * 19, 1])
        out = tmp_path / "o.csv"
        args = ["cluster", str(tmp_path / "p.npy"), "--labels", str(tmp_path / "l.npy"), "-o", str(out), "-q",
                "--short"]

        def clusters(*options):
            assert cli.main(args + list(options)) == 0
            return [int(line.split(",")[1]) for line in out.read_text().splitlines()[1:]]

        truth = [0] * 11 + [1] * 10
        assert clusters() == truth
        assert clusters("--consensus", "none") == truth
        plain = clusters("--side-discount", "0", "--consensus", "none", "--edge-weight", "length")
        assert plain[1:11] == [1] * 10
        for consensus in ("tree", "points"):
            assert clusters("--consensus", consensus, "--edge-weight", "local", "--side-discount", "3") == truth
        # One tree: the plain cut by length when the side discount is off.
        assert clusters("--trees", "1", "--side-discount", "0") == plain
        assert clusters("--trees", "1") == clusters("--trees", "auto") == truth
        for conflicting in (["--trees", "3", "--confidence", "4"], ["--trees", "1", "--confidence"]):
            assert cli.main(args + conflicting) == 1
            assert "--confidence" in capsys.readouterr().err
        assert cli.main(args + ["--trees", "4", "--confidence"]) == 0
        assert set(float(line.split(",")[2]) * 4 for line in out.read_text().splitlines()[1:]) <= {1.0, 2.0, 3.0, 4.0}
        for bad in (["--side-discount", "-1"], ["--side-discount", "nan"], ["--side-discount", "x"],
                    ["--consensus", "majority"], ["--trees", "0"], ["--trees", "many"]):
            with pytest.raises(SystemExit) as stop:
                cli.main(args + bad)
            assert stop.value.code == 2 and "argument %s: " % bad[0] in capsys.readouterr().err
        # Coordinates in unrelated units: --scale puts them on one footing.
        rng = np.random.default_rng(5)
        truth = np.repeat([0, 1], 100)
        np.save(tmp_path / "p.npy", np.c_[truth * 8 + rng.normal(size=200), rng.normal(size=200) * 1000])
        np.save(tmp_path / "l.npy", np.r_[0, [-1] * 198, 1])
        assert adjusted_rand_score(truth, np.array(clusters("--no-scale"))) < 0.5
        assert "brov: warning: the coordinates' spreads differ 226-fold" in capsys.readouterr().err
        assert clusters("--scale") == clusters() == truth.tolist()  # spreads 226-fold apart: scaled by default
        assert capsys.readouterr().err == ""
        if has_module("matplotlib"):  # the plot shows the coordinates that were clustered
            from halvek.algorithms.src.brov.cli import plot

            drawn = []
            monkeypatch.setattr(plot, "plot_clusters", lambda target, X, *rest, **options: drawn.append(X))
            for option in ("--scale", "--no-scale"):
                assert cli.main(args + [option, "--plot", str(tmp_path / "p.png")]) == 0
            assert np.allclose(drawn[0].std(axis=0), 1.0) and drawn[1].std(axis=0)[1] > 500

    @pytest.mark.parametrize("points_text, labels_text, options, expected", [
        # A label column of names, blank and NaN unlabelled; the output keeps every input column.
        ("x,y,species,id\n0,0,cat,a\n0,1,,b\n9,9,NaN,c\n9,8,dog,d\n", None, ["--label-column", "species", "--columns", "^id"],
         "x,y,species,id,cluster\n0,0,cat,a,cat\n0,1,,b,cat\n9,9,NaN,c,dog\n9,8,dog,d,dog\n"),
        # What pandas writes for missing labels: a header, then empty lines.
        ("0,0\n0,1\n9,9\n9,8\n", "label\n5\n\n\n6\n", ["--short"], "given,cluster\n5,5\n-1,5\n-1,6\n6,6\n"),
        ("0,0\n0,1\n9,9\n9,8\n", "cat\n\n-1\ndog\n", ["--short"], "given,cluster\ncat,cat\n,cat\n,dog\ndog,dog\n"),
        # A TSV file by its extension, labels by position, -1 unlabelled, a column of the output's name replaced.
        ("x\ty\tcluster\tk\n0\t0\tq\t5\n0\t1\tq\t-1\n9\t9\tq\t-1\n9\t8\tq\t6\n", None,
         ["--label-column", "3", "--columns", "x:y"], "x\ty\tcluster\tk\n0\t0\t5\t5\n0\t1\t5\t-1\n9\t9\t6\t-1\n9\t8\t6\t6\n"),
        # Errors name the true line, and a separator that does not fit.
        ("0,0\n0,1\n9,9\n9,8\n", "label\n5\ncat\n\n6\n", [], "line 3: 'cat' is not a class id"),
        ("x;y;k\n0;0;5\n0;1;\n9;9;6\n", None, ["--label-column", "k"], "the first line looks ';'-separated: try --sep ';'"),
        ("x,y,k,z\n0,0,5,1\n0,1,,1\n9,9,6,1\n", None, ["--label-column", "k", "--columns", "x,k"],
         "--columns names the label column 'k'"),
    ], ids=["label column", "pandas blanks", "names file", "tsv", "true line", "separator", "label as coordinate"])
    def test_labels_from_a_column_or_with_gaps(self, tmp_path, capsys, points_text, labels_text, options, expected):
        points = tmp_path / ("p.tsv" if "\t" in points_text else "p.csv")
        points.write_text(points_text)
        args = ["cluster", str(points), "-o", str(tmp_path / ("o" + points.suffix)), "-q"] + options
        if labels_text is not None:
            (tmp_path / "l.csv").write_text(labels_text)
            args += ["--labels", str(tmp_path / "l.csv")]
        if "\n" in expected:
            assert cli.main(args) == 0
            assert (tmp_path / ("o" + points.suffix)).read_text() == expected
        else:
            assert cli.main(args) == 1
            err = capsys.readouterr().err
            assert expected in err and err.count("\n") == 1 and not (tmp_path / "o.csv").exists()

    def test_tables_out_and_column_choices(self, tmp_path, capsys, monkeypatch):
        header = ["id", "name"] + ["pixel_%d" % i for i in range(6)] + ["label"]
        rng = np.random.default_rng(3)
        pixels = np.r_[rng.normal(0, 0.1, (20, 6)), rng.normal(5, 0.1, (20, 6))]
        rows = [[str(100 + i), "n%d" % i] + ["%.3f" % v for v in pixels[i]] + [{0: "a", 20: "b"}.get(i, "")]
                for i in range(40)]
        (tmp_path / "p.csv").write_text("\n".join(",".join(r) for r in [header] + rows) + "\n")
        base = ["cluster", str(tmp_path / "p.csv"), "--label-column", "label", "-q"]
        # The hint names only the numeric columns, and every way of naming them gives one result.
        assert cli.main(base + ["-o", str(tmp_path / "o.csv")]) == 1
        assert "(all of them: --columns id,pixel_0,pixel_1,pixel_2,pixel_3,pixel_4,pixel_5)" in capsys.readouterr().err
        expected = "given,cluster\n" + "".join("%s,%s\n" % ({0: "a", 20: "b"}.get(i, ""), "ab"[i >= 20]) for i in range(40))
        for columns in ("pixel_*", "pixel_0:pixel_5", "2:7", "^id,^name", "pixel_0:,^label,^id,^name"):
            assert cli.main(base + ["--short", "-o", str(tmp_path / "o.csv"), "--columns", columns]) == 0, columns
            assert (tmp_path / "o.csv").read_text() == expected, columns
        # Parquet out and back in, or a clear refusal without pyarrow (and no file).
        out = tmp_path / "o.parquet"
        args = base + ["--columns", "pixel_*", "--confidence", "-o", str(out)]
        if has_module("pyarrow"):
            import pyarrow.parquet as pq

            assert cli.main(args) == 0
            table = pq.read_table(out)
            assert table.column_names == header + ["cluster", "confidence"]
            assert table.column("id").to_pylist() == list(range(100, 140))
            assert table.column("cluster").to_pylist() == ["a"] * 20 + ["b"] * 20
            assert cli.main(["cluster", str(out), "--label-column", "label", "--columns", "pixel_*", "-q", "--short",
                             "-o", str(tmp_path / "again.csv")]) == 0
            assert (tmp_path / "again.csv").read_text() == expected
        monkeypatch.setitem(sys.modules, "pyarrow", None)
        out.unlink(missing_ok=True)
        assert cli.main(args) == 1
        assert "needs pyarrow: pip install 'halvek-brov[parquet]'" in capsys.readouterr().err and not out.exists()
        out.write_bytes(b"PAR1")
        assert cli.main(["cluster", str(out), "--label-column", "label", "-o", str(tmp_path / "o.csv")]) == 1
        assert "reading %s needs pyarrow" % out in capsys.readouterr().err

    def test_columns_by_name_or_number(self, tmp_path):
        (tmp_path / "p.csv").write_text("id,x,y\n100,0,0\n101,0,1\n102,9,9\n103,9,8\n")
        (tmp_path / "l.csv").write_text("5\n-1\n-1\n6\n")
        for columns in ("x,y", "1,2", "y,x"):
            assert cli.main(["cluster", str(tmp_path / "p.csv"), "--labels", str(tmp_path / "l.csv"),
                             "-o", str(tmp_path / "o.csv"), "--columns", columns, "-q", "--short"]) == 0
            assert (tmp_path / "o.csv").read_text() == "given,cluster\n5,5\n-1,5\n-1,6\n6,6\n"
        assert cli.main(["cluster", str(tmp_path / "p.csv"), "--labels", str(tmp_path / "l.csv"),
                         "-o", str(tmp_path / "o.csv"), "--columns", "x,z"]) == 1


class TestOutputs:
    """-o and --plot never destroy what the path is, and leave no temporary file behind."""

    @pytest.fixture
    def inputs(self, tmp_path):
        (tmp_path / "p.csv").write_text("0,0\n0,1\n9,9\n9,8\n")
        (tmp_path / "l.csv").write_text("5\n-1\n-1\n6\n")
        return ["cluster", str(tmp_path / "p.csv"), "--labels", str(tmp_path / "l.csv"), "-q", "--short", "-o"]

    EXPECTED = "given,cluster\n5,5\n-1,5\n-1,6\n6,6\n"

    @pytest.mark.parametrize("which", ["p.csv", "l.csv", "link-to-p.csv"])
    def test_output_that_is_an_input_is_refused(self, tmp_path, inputs, capsys, which):
        os.symlink(tmp_path / "p.csv", tmp_path / "link-to-p.csv")
        assert cli.main(inputs + [str(tmp_path / which)]) == 1
        assert "it is the input file" in capsys.readouterr().err
        assert (tmp_path / "p.csv").read_text() == "0,0\n0,1\n9,9\n9,8\n"
        assert (tmp_path / "l.csv").read_text() == "5\n-1\n-1\n6\n"

    def test_existing_file_keeps_its_mode_and_hard_links(self, tmp_path, inputs):
        out, twin = tmp_path / "o.csv", tmp_path / "twin.csv"
        out.write_text("old")
        os.chmod(out, 0o640)
        os.link(out, twin)
        assert cli.main(inputs + [str(out)]) == 0
        assert out.read_text() == twin.read_text() == self.EXPECTED
        assert os.stat(out).st_ino == os.stat(twin).st_ino
        assert os.stat(out).st_mode & 0o777 == 0o640

    def test_symlink_stays_a_link_to_the_written_target(self, tmp_path, inputs):
        (tmp_path / "real").mkdir()
        os.symlink(tmp_path / "real" / "o.csv", tmp_path / "o.csv")  # dangling until written
        assert cli.main(inputs + [str(tmp_path / "o.csv")]) == 0
        assert os.path.islink(tmp_path / "o.csv")
        assert (tmp_path / "real" / "o.csv").read_text() == self.EXPECTED

    def test_devices_and_fifos_are_written_in_place(self, tmp_path, inputs):
        import stat

        assert cli.main(inputs + [os.devnull]) == 0
        assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # the output fits in the pipe's buffer
        try:
            assert cli.main(inputs + [str(fifo)]) == 0
            assert os.read(reader, 4096).decode() == self.EXPECTED
        finally:
            os.close(reader)
        assert stat.S_ISFIFO(os.stat(fifo).st_mode)

    def test_sockets_are_refused(self, tmp_path, inputs, capsys):
        import socket

        with socket.socket(socket.AF_UNIX) as server:
            server.bind(str(tmp_path / "sock"))
            assert cli.main(inputs + [str(tmp_path / "sock")]) == 1
        assert "special file" in capsys.readouterr().err

    @pytest.mark.parametrize("signum", ["SIGTERM", "SIGHUP"])
    def test_termination_removes_the_temporary_file(self, tmp_path, inputs, monkeypatch, capsys, signum):
        import signal

        (tmp_path / "o.csv").write_text("old")

        def write_then_die(target, *args, **kwargs):
            with open(target, "w") as handle:
                handle.write("partial")
            os.kill(os.getpid(), getattr(signal, signum))

        monkeypatch.setattr(cli_writing, "write_table", write_then_die)
        before = files_in(tmp_path)
        handler = signal.getsignal(signal.SIGTERM)
        assert cli.main(inputs + [str(tmp_path / "o.csv")]) == 128 + getattr(signal, signum)
        assert capsys.readouterr().err == "brov: terminated\n"
        assert files_in(tmp_path) == before and (tmp_path / "o.csv").read_text() == "old"
        assert signal.getsignal(signal.SIGTERM) is handler


BAD_FILES = [
    ("nan point", lambda d: (d / "p.csv").write_text("1,2\nnan,3\n4,5\n"), "3", r"NaN or infinite"),
    ("ragged rows", lambda d: (d / "p.csv").write_text("1,2\n3\n4,5\n"), "3",
     "cannot read points in %s, line 2: 1 field(s), expected 2"),
    ("text in points", lambda d: (d / "p.csv").write_text("x,y\n1,2\n3,abc\n5,6\n"), "3",
     "cannot read points in %s, line 3, column 2: 'abc' is not a number"),
    ("header and text", lambda d: (d / "p.csv").write_text("x,1\n1,2\n3,4\n"), "3", "line 1, column 1: 'x'"),
    ("third column", lambda d: (d / "p.csv").write_text("1,2,0\n3,4,1\n5,6,1\n"), "3",
     "has 3 columns: say which are coordinates with --columns (all of them: --columns 0,1,2)"),
    ("word label", lambda d: (d / "p.csv").write_text("1,2\n3,4\n5,6\n"), "word",
     "line 1: 'cat' is not a class id: labels must be integer class ids (-1 = unlabelled)"),
    ("huge label", lambda d: (d / "p.csv").write_text("1,2\n3,4\n5,6\n"), "huge", "'1e30' is not a class id"),
    ("empty points", lambda d: (d / "p.csv").write_text(""), "3", "is empty"),
    ("label count", lambda d: (d / "p.csv").write_text("1,2\n3,4\n5,6\n"), "2", "got 2 labels for 3 points"),
    ("no labelled", lambda d: (d / "p.csv").write_text("1,2\n3,4\n5,6\n"), "none", "no labelled point"),
    ("fractional label", lambda d: (d / "p.csv").write_text("1,2\n3,4\n5,6\n"), "half", "integer class ids"),
]


class TestBadInput:
    @pytest.mark.parametrize("name, make, labels, message", BAD_FILES, ids=[b[0] for b in BAD_FILES])
    def test_one_line_error_and_no_output(self, tmp_path, capsys, name, make, labels, message):
        make(tmp_path)
        label_text = {"3": "0\n-1\n1\n", "2": "0\n1\n", "none": "-1\n-1\n-1\n", "half": "0\n0.5\n1\n",
                      "word": "cat\n0\n1\n", "huge": "1e30\n0\n1\n"}[labels]
        (tmp_path / "l.csv").write_text(label_text)
        before = files_in(tmp_path)
        code = cli.main(["cluster", str(tmp_path / "p.csv"), "--labels", str(tmp_path / "l.csv"),
                         "-o", str(tmp_path / "out.csv")])
        err = capsys.readouterr().err
        assert code == 1
        assert err.startswith("brov: error: ") and err.count("\n") == 1
        assert message.replace("%s", str(tmp_path / "p.csv")) in err
        assert files_in(tmp_path) == before

    @pytest.mark.parametrize("args, message", [
        (["cluster", "missing.csv", "--labels", "l.csv", "-o", "o.csv"], "missing.csv: no such file"),
        (["cluster", "p.txt", "--labels", "l.csv", "-o", "o.csv"], "must be a .csv, .tsv, .parquet or .npy file"),
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

    @pytest.mark.parametrize("labels", [np.int64(3), np.zeros((2, 2), dtype=np.int64)], ids=["0-d", "2-d"])
    def test_labels_npy_of_the_wrong_shape(self, tmp_path, capsys, labels):
        (tmp_path / "p.csv").write_text("1,2\n3,4\n")
        np.save(tmp_path / "l.npy", labels)
        assert cli.main(["cluster", str(tmp_path / "p.csv"), "--labels", str(tmp_path / "l.npy"),
                         "-o", str(tmp_path / "o.csv")]) == 1
        err = capsys.readouterr().err
        assert err.startswith("brov: error: labels in ") and "expected one class id per point" in err

    @pytest.mark.parametrize("args, message", [
        (["cluster", "p.csv"], "-o/--output"),
        (["cluster", "p.csv", "--labels", "l.csv", "-o", "o.csv", "--trees", "100000000000"],
         "argument --trees: must be at most 1000, got '100000000000'"),
    ])
    def test_bad_command_line_exits_2_on_one_line(self, capsys, args, message):
        with pytest.raises(SystemExit) as stop:
            cli.main(args)
        assert stop.value.code == 2
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and message in err


def test_python_dash_m_runs_the_command_line(tmp_path):
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(brov.__file__)))))
    (tmp_path / "p.csv").write_text("0,0\n0,1\n9,9\n9,8\n")
    (tmp_path / "l.csv").write_text("5\n-1\n-1\n6\n")
    done = subprocess.run([sys.executable, "-m", "halvek.algorithms.src.brov", "cluster", "p.csv", "--labels",
                           "l.csv", "-o", "o.csv", "-q", "--short"], capture_output=True, text=True, cwd=tmp_path,
                          env=dict(os.environ, PYTHONPATH=root))
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "o.csv").read_text() == "given,cluster\n5,5\n-1,5\n-1,6\n6,6\n"
    assert done.stderr == ""
