"""brov label: re-clustering a loaded tree, the page's HTTP interface, the
command's inputs and outputs, and the page itself in a headless Chromium."""

import base64
import contextlib
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import halvek
from halvek.algorithms.src.brov import BrovClustering, cli
from halvek.algorithms.src.brov.cli import common as cli_common
from halvek.algorithms.src.brov.cli import tables
from halvek.algorithms.src.brov.cli.main import build_parser
from halvek.algorithms.src.brov.cli.label import run_label
from halvek.algorithms.src.brov.label_page.session import LabelSession, project_2d
from halvek.algorithms.src.brov.label_page.axes import Axes
from halvek.algorithms.src.brov.label_page.loaded_tree import LoadedTree
from halvek.algorithms.src.brov.label_page.store import load_session

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def blobs(n_per=60, dims=2, seed=3):
    rng = np.random.default_rng(seed)
    centres = [np.zeros(dims), np.full(dims, 6.0), np.r_[6.0, np.zeros(dims - 1)]]
    return np.concatenate([rng.normal(c, 0.5, (n_per, dims)) for c in centres])


def codes(text):
    return np.frombuffer(base64.b64decode(text), dtype="<i2")


def ids_of(state, field):
    table = np.array([c["id"] for c in state["classes"]] + [-1])
    return table[codes(state[field])]  # code -1 picks the trailing -1


def settled(state, *skip):
    """A state without its timing, what follows from the labels later (the voting trees'
    answer) and the ``skip`` fields."""
    later = ("seconds", "message", "answer", "pending", "clusters", "cut", "confidence", "suggested")
    return {k: v for k, v in state.items() if k not in later + skip}


def indices(*values):
    return base64.b64encode(np.array(values, dtype="<i4").tobytes()).decode()


class TestLoadedTree:
    @pytest.mark.parametrize("dims", [1, 2, 3, "latitude and longitude"])
    def test_same_clusters_and_cuts_as_the_estimator(self, dims):
        if dims == "latitude and longitude":  # across the antimeridian
            X = blobs() * 2 + [0.0, 175.0]
            X[:, 1] = np.where(X[:, 1] > 180, X[:, 1] - 360, X[:, 1])
            options = {"metric": "haversine"}
        else:
            X = blobs(dims=dims) * np.geomspace(1, 3000, dims)  # in mixed units above one coordinate
            options = {"scale": [False, "auto", True][dims - 1]}
        tree = LoadedTree(X, **options)
        rng = np.random.default_rng(len(X[0]))
        for _ in range(4):
            y = np.full(len(X), -1)
            chosen = rng.choice(len(X), size=5, replace=False)
            y[chosen] = rng.choice([4, -7, 300], size=5)
            labels, cut = tree.cluster(y)
            model = BrovClustering(n_trees=1, **options).fit(X, y)
            np.testing.assert_array_equal(labels, model.labels_)
            np.testing.assert_array_equal(cut, model.cut_edges_)

    def test_no_label_leaves_everything_unlabelled(self):
        labels, cut = LoadedTree(blobs()).cluster(np.full(180, -1))
        assert (labels == -1).all() and not cut.any()

    def test_projection_is_named_and_keeps_the_main_axis(self):
        X = blobs(dims=5)
        X[:, 3] *= 50  # the axis that dominates the variance
        shown, name = project_2d(X)
        assert shown.shape == (len(X), 2) and "PCA" in name
        assert abs(np.corrcoef(shown[:, 0], X[:, 3])[0, 1]) > 0.99
        assert project_2d(X[:, :2])[1] == "the two coordinates as given"
        axes = Axes(X, list("abcde"))  # the first view is the first two of the axes offered
        assert axes.choices()[:2] == ["principal component 1", "principal component 2"]
        assert axes.choices()[5:] == list("abcde")
        np.testing.assert_allclose(np.column_stack([axes.values(0), axes.values(1)]), shown, rtol=1e-4, atol=1e-3)
        np.testing.assert_array_equal(axes.values(8), X[:, 3])


class TestSession:
    def test_refused_change_changes_nothing(self):
        session = LabelSession(blobs())
        session.apply({"action": "label", "class": 0, "indices": indices(1, 2)})
        before = session.state()
        for bad in [{"action": "label", "class": 0, "indices": indices(0, 180)},
                    {"action": "label", "class": 0, "indices": indices(-1)},
                    {"action": "label", "class": 5, "indices": indices(3)},
                    {"action": "label", "class": 0, "indices": "AAA"},
                    {"action": "label", "class": 0, "indices": "not base64!"},
                    {"action": "label", "class": True, "indices": indices(3)},
                    {"action": "edit_class", "id": 0, "colour": "red"},
                    {"action": "edit_class", "id": 0, "name": "  "},
                    {"action": "add_class", "id": 0},
                    {"action": "shout"}, [1, 2]]:
            with pytest.raises(Exception) as caught:
                session.apply(bad)
            assert type(caught.value).__name__ == "BadRequest", bad
        assert session.state() == before

    def test_latitude_and_longitude_are_drawn_on_the_plane(self):
        lat, lon = np.r_[60.0, 60.0, 61.0], np.r_[179.0, -179.0, 180.0]
        session = LabelSession(np.c_[lat, lon], tree_options={"metric": "haversine"})
        assert "equirectangular" in session.projection
        # Longitude on x, shrunk by the cosine of the mean latitude, and unbroken at the antimeridian.
        np.testing.assert_allclose(session.shown, np.c_[np.r_[-1.0, 1.0, 0.0] * np.cos(np.radians(lat.mean())), lat],
                                   rtol=1e-5, atol=1e-4)
        with pytest.raises(ValueError, match="latitude must lie within"):
            LabelSession(np.c_[lon, lat], tree_options={"metric": "haversine"})

    def test_refuses_more_points_than_the_page_can_show(self):
        with pytest.raises(ValueError, match="shows at most 1000000"):
            LabelSession(np.zeros((1_000_001, 2)))

    def test_classes_are_limited_and_unlabelling_restores(self):
        session = LabelSession(blobs())
        for _ in range(127):
            session.apply({"action": "add_class"})
        with pytest.raises(Exception, match="at most 128"):
            session.apply({"action": "add_class"})
        session.apply({"action": "label", "class": 120, "indices": indices(0, 5)})
        assert (ids_of(session.state(), "clusters") == 120).all()
        session.apply({"action": "label", "class": None, "indices": indices(0, 5)})
        assert (ids_of(session.state(), "clusters") == -1).all()


    def test_the_answer_saved_is_brov_clusters_for_the_names_saved(self, tmp_path):
        """Names sort otherwise than the ids, and the voting trees may break a tie by the order of
        the classes: the page fits them in the order brov cluster reads the labels file in."""
        rng = np.random.default_rng(186)  # ties that the order of the classes decides
        n = int(rng.integers(50, 600))
        X = np.round(rng.normal(size=(n, 2)) * rng.uniform(0.5, 3, size=2), 1)
        y, classes = np.full(n, -1), int(rng.integers(2, 9))
        chosen = rng.choice(n, size=int(rng.integers(2, 40)), replace=False)
        y[chosen] = rng.integers(0, classes, size=len(chosen))
        names = ["c%02d" % k for k in rng.permutation(20)]
        session = LabelSession(X, outputs=(str(tmp_path / "given.csv"), str(tmp_path / "clusters.csv")))
        session.apply({"action": "edit_class", "id": 0, "name": names[0]})
        for k in range(1, y.max() + 1):
            session.apply({"action": "add_class", "id": k, "name": names[k]})
        for k in range(y.max() + 1):
            session.apply({"action": "label", "class": k, "indices": indices(*np.flatnonzero(y == k))})
        session.save()
        session.close()
        np.save(tmp_path / "xy.npy", X)
        assert cli.main(["cluster", str(tmp_path / "xy.npy"), "--labels", str(tmp_path / "given.csv"),
                         "-o", str(tmp_path / "again.csv"), "-q", "--short"]) == 0
        assert (tmp_path / "clusters.csv").read_text() == (tmp_path / "again.csv").read_text()

    @pytest.mark.parametrize("seed", range(6))
    def test_undo_and_redo_retrace_any_work_and_survive_a_restart(self, tmp_path, seed):
        """Random work (lassos that keep or overwrite, new, renamed and deleted
        classes): undoing all of it gives back the start, redoing it the end,
        and a session read back from its file has the same state and history."""
        X, rng = blobs(), np.random.default_rng(seed)
        path = str(tmp_path / "s.json")
        session = LabelSession(X, path=path)
        states = [session.state()]
        for _ in range(12):
            kind, ids = rng.integers(4), [c["id"] for c in session.classes]
            if kind == 0 or len(ids) == 1:
                request = {"action": "add_class"}
            elif kind == 1:
                request = {"action": "delete_class", "id": int(rng.choice(ids))}
            elif kind == 2:
                request = {"action": "edit_class", "id": int(rng.choice(ids)), "name": "n%d" % rng.integers(99)}
            else:
                chosen = rng.choice(len(X), size=int(rng.integers(1, 40)), replace=False)
                request = {"action": "label", "class": int(rng.choice(ids)), "indices": indices(*chosen),
                           "overwrite": bool(rng.integers(2))}
            before = session.given.copy()
            answer = session.apply(request)
            if request["action"] == "label" and not request["overwrite"]:  # only unlabelled points change
                assert ((session.given == before) | (before == -1)).all()
            if answer["version"] != states[-1]["version"]:
                changed = int(np.sum(session.given != before))
                assert request["action"] != "label" or answer["message"].startswith("%d point" % changed)
                states.append(session.state())
        with open(path + ".journal", "ab") as journal:  # what a kill leaves: a line cut short, or torn
            journal.write(b'00000000 {"move":"undo"}\n' if seed % 2 else b'1c291ca3 {"move":"un')
        restored = LabelSession(X, path=path, restored=load_session(path))
        assert settled(restored.state()) == settled(states[-1])
        for expected in reversed(states[:-1]):
            assert restored.apply({"action": "undo"})["version"] > expected["version"]
            history = ("version", "undo", "redo", "saved")
            assert settled(restored.state(), *history) == settled(expected, *history)
        assert restored.apply({"action": "undo"})["message"] == "nothing to undo"
        assert (restored.clusters == -1).all()
        for _ in states[1:]:
            restored.apply({"action": "redo"})
        assert restored.state()["given"] == states[-1]["given"] and restored.classes == session.classes
        assert sorted(os.listdir(tmp_path)) == ["s.json", "s.json.journal"]  # no temporary file left


# ------------------------------------------------------------------------------------------------
# The command and its server, through plain HTTP


@pytest.fixture
def data(tmp_path):
    X = blobs()
    path = tmp_path / "points.csv"
    np.savetxt(path, np.column_stack([X, np.arange(len(X)) % 3]), delimiter=",", header="x,y,blob", comments="")
    return X, str(path)


@contextlib.contextmanager
def serving(argv):
    """``brov label ARGV`` serving on a free port in a thread, until the block ends."""
    args = build_parser().parse_args(["label", *argv, "--port", "0", "-q"])
    server = run_label(args, cli_common.Progress(False), serve=False)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)


@pytest.fixture
def served(data, tmp_path):
    X, path = data
    with serving([path, "--columns", "x,y", "--save-labels", str(tmp_path / "given.csv"),
                  "-o", str(tmp_path / "clusters.csv")]) as server:
        yield server, X


def request(server, method, path, body=None, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", server.server_address[1], timeout=10)
    sent = {"Content-Type": "application/json"} if body is not None else {}
    sent["X-Brov-Token"] = server.token
    sent.update(headers or {})
    connection.request(method, path, body=body, headers=sent)
    response = connection.getresponse()
    content = response.read()
    connection.close()
    return response.status, content


def change(server, value):
    status, content = request(server, "POST", "/api/change", json.dumps(value).encode())
    return status, json.loads(content)


class TestServer:
    def test_page_points_and_edges(self, served):
        server, X = served
        for page in ("/", "/label.js", "/picture.js", "/label.css"):
            assert request(server, "GET", page)[0] == 200
        status, raw = request(server, "GET", "/api/points")
        np.testing.assert_allclose(np.frombuffer(raw, "<f4").reshape(-1, 2), X, rtol=1e-6)
        status, raw = request(server, "GET", "/api/edges")
        assert np.frombuffer(raw, "<i4").reshape(-1, 2).shape == (len(X) - 1, 2)
        status, raw = request(server, "GET", "/api/points?x=1&y=0")  # the axes the user picked
        np.testing.assert_allclose(np.frombuffer(raw, "<f4").reshape(-1, 2), X[:, ::-1], rtol=1e-6)
        assert request(server, "GET", "/api/points?x=2&y=0")[0] == 400
        row = json.loads(request(server, "GET", "/api/row?i=5")[1])
        assert row == {"row": 5, "values": [["x", X[5, 0]], ["y", X[5, 1]]]}
        assert request(server, "GET", "/api/row?i=180")[0] == 400

    def test_change_reclusters_like_the_estimator(self, served):
        server, X = served
        assert change(server, {"action": "add_class", "name": "second", "colour": "#00aa00"})[0] == 200
        change(server, {"action": "label", "class": 0, "indices": indices(0)})
        status, state = change(server, {"action": "label", "class": 1, "indices": indices(60, 61)})
        assert status == 200 and state["version"] == 3
        y = np.full(len(X), -1)
        y[0], y[[60, 61]] = 0, 1
        np.testing.assert_array_equal(ids_of(state, "clusters"), BrovClustering(n_trees=1).fit(X, y).labels_)
        np.testing.assert_array_equal(ids_of(state, "given"), y)
        assert len(np.frombuffer(base64.b64decode(state["cut"]), "<i4")) >= 1

    @pytest.mark.parametrize("body, headers, expected", [
        (b"{not json", {}, 400),
        (b"\xff\xfe", {}, 400),
        (b"null", {}, 400),
        (b"[" * 30000 + b"]" * 30000, {}, 400),
        (b'{"action": ["label"]}', {}, 400),
        (b'{"action": {"a": 1}}', {}, 400),
        (b'{"action": "label", "class": "0", "indices": "AAAAAA=="}', {}, 400),
        (b'{"action": "label", "class": 0, "indices": [0]}', {}, 400),
        (b'{"action": "label", "class": 0, "indices": "AAAAAA==", "overwrite": 1}', {}, 400),
        (b'{"action": "add_class", "id": 4611686018427387904}', {}, 400),
        (b'{"action": "add_class", "name": ["x"]}', {}, 400),
        (b'{"action": "edit_class", "id": 0, "colour": "#+12345"}', {}, 400),
        (b'{"action": "edit_class", "id": 0, "colour": "#1_2345"}', {}, 400),
        (b'{"action": "edit_class", "id": 0, "colour": "#12345\\n"}', {}, 400),
        (b'{"action": "delete_class", "id": 0}', {}, 409),
        (json.dumps({"action": "label", "class": 0, "indices": indices(180)}).encode(), {}, 400),
        (b'{"action": "label", "class": 0, "indices": "AAAAAA=="}', {"Content-Type": "text/plain"}, 415),
        (b"{}", {"Host": "evil.example:80"}, 403),
        (b'{"action": "label", "class": 0, "indices": "AAAAAA=="}', {"X-Brov-Token": ""}, 403),
        (b'{"action": "label", "class": 0, "indices": "AAAAAA=="}', {"X-Brov-Token": "x" * 32}, 403),
        (b"x" * (65536 + 6 * 180 + 1), {}, 413),
    ], ids=lambda value: repr(value)[:40] if isinstance(value, bytes) else None)
    def test_bad_requests_get_4xx_and_change_nothing(self, served, capfd, body, headers, expected):
        server, _ = served
        before = request(server, "GET", "/api/state")[1]
        status, answer = request(server, "POST", "/api/change", body, headers)
        assert status == expected
        reason = json.loads(answer)["error"]
        assert reason and "\n" not in reason
        assert request(server, "GET", "/api/state")[1] == before
        assert capfd.readouterr().err == ""  # no traceback on the user's terminal

    def test_missing_length_and_unknown_paths(self, served):
        server, _ = served
        connection = http.client.HTTPConnection("127.0.0.1", server.server_address[1], timeout=10)
        connection.putrequest("POST", "/api/change")
        connection.putheader("Content-Type", "application/json")
        connection.putheader("X-Brov-Token", server.token)
        connection.endheaders()
        assert connection.getresponse().status == 411
        connection.close()
        assert request(server, "GET", "/api/nothing")[0] == 404
        assert request(server, "POST", "/api/nothing", b"{}")[0] == 404

    def test_idle_connections_do_not_keep_a_fresh_client_out(self, served):
        server, _ = served
        idle = [socket.create_connection(("127.0.0.1", server.server_address[1]), timeout=5) for _ in range(200)]
        try:
            idle[-1].sendall(b"GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\n")  # and never ends it
            start = time.perf_counter()
            assert request(server, "GET", "/api/state")[0] == 200
            assert time.perf_counter() - start < 3
            assert len(server._open) <= server.max_connections
        finally:
            for connection in idle:
                connection.close()

    def test_the_command_lines_answer_follows_with_confidence_and_suggestions(self, served):
        server, X = served
        y = np.full(len(X), -1)
        y[[0, 1]] = [0, 1]  # two classes in one blob: the trees disagree on the border
        change(server, {"action": "add_class", "id": 1})
        change(server, {"action": "label", "class": 0, "indices": indices(0)})
        status, state = change(server, {"action": "label", "class": 1, "indices": indices(1)})
        assert state["pending"] and state["answer"] == "one tree"
        np.testing.assert_array_equal(ids_of(state, "clusters"), BrovClustering(n_trees=1).fit(X, y).labels_)
        deadline = time.monotonic() + 20
        while state["pending"] and time.monotonic() < deadline:
            time.sleep(0.05)
            state = json.loads(request(server, "GET", "/api/state")[1])
        model = BrovClustering(random_state=0).fit(X, y)
        assert state["answer"] == "the command line's default (voting trees)"
        np.testing.assert_array_equal(ids_of(state, "clusters"), model.labels_)
        cut = np.frombuffer(base64.b64decode(state["cut"]), "<i4").reshape(-1, 2)
        np.testing.assert_array_equal(cut, model.edges_[model.cut_edges_])
        confidence = np.frombuffer(base64.b64decode(state["confidence"]), "u1") / 255
        np.testing.assert_allclose(confidence, model.confidence_, atol=0.5 / 255)
        suggested = state["suggested"]
        assert 2 <= len(suggested) <= 5 and (y[suggested] == -1).all()
        assert confidence[suggested[0]] == confidence[y == -1].min()
        assert list(confidence[suggested]) == sorted(confidence[suggested])
        shown = project_2d(X)[0]
        gaps = [np.hypot(*(shown[a] - shown[b])) for a in suggested for b in suggested if a < b]
        assert min(gaps, default=np.inf) >= 0.1 * np.ptp(shown, axis=0).max()

    def test_save_writes_what_brov_cluster_reads_and_writes(self, served, tmp_path):
        """The labels file names the classes as the page does, or holds their ids where a name would
        not read back as itself; brov cluster names its clusters alike and writes the clusters
        file again byte for byte, and brov label --labels starts from the names."""
        server, X = served
        np.save(tmp_path / "xy.npy", X)
        change(server, {"action": "add_class", "id": 42})
        change(server, {"action": "label", "class": 0, "indices": indices(3)})
        change(server, {"action": "label", "class": 42, "indices": indices(100)})
        for name, saved, note in [('north, "hill"', {0: "südwest", 42: 'north, "hill"'}, None),
                                  ("2.5", {0: 0, 42: 42}, "class 2.5 is named like a number"),
                                  ("südwest", {0: 0, 42: 42}, "two classes are named südwest")]:
            change(server, {"action": "edit_class", "id": 0, "name": "südwest"})
            change(server, {"action": "edit_class", "id": 42, "name": name})
            status, answer = request(server, "POST", "/api/save", b"{}")
            answer = json.loads(answer)
            assert status == 200 and answer["state"]["saved"]
            assert (answer["note"] or "").endswith(note or "")
            given = cli_common.read_labels(str(tmp_path / "given.csv"))
            assert given[3] == saved[0] and given[100] == saved[42]
            assert all(v in (None, -1) for v in np.delete(given, [3, 100]).tolist())
            assert cli.main(["cluster", str(tmp_path / "xy.npy"), "--labels", str(tmp_path / "given.csv"),
                             "-o", str(tmp_path / "again.csv"), "-q", "--short"]) == 0
            assert (tmp_path / "clusters.csv").read_text() == (tmp_path / "again.csv").read_text()
            assert set(read_pair(tmp_path, "given.csv", "clusters.csv")[2].tolist()) == set(saved.values())
        change(server, {"action": "edit_class", "id": 42, "name": 'north, "hill"'})
        request(server, "POST", "/api/save", b"{}")
        with serving([str(tmp_path / "xy.npy"), "--labels", str(tmp_path / "given.csv")]) as again:
            state = json.loads(request(again, "GET", "/api/state")[1])
        assert [c["name"] for c in state["classes"]] == ['north, "hill"', "südwest"]
        assert ids_of(state, "given")[[3, 100]].tolist() == [1, 0]

    def test_refused_output_is_reported_and_nothing_written(self, data, tmp_path):
        _, path = data
        target = tmp_path / "gone"
        target.mkdir()
        with serving([path, "--columns", "0,1", "--save-labels", str(target / "g.csv"),
                      "-o", str(target / "c.csv")]) as server:
            shutil.rmtree(target)
            status, answer = request(server, "POST", "/api/save", b"{}")
            assert status == 409 and "does not exist" in json.loads(answer)["error"]
            assert not target.exists()
            target.mkdir()
            change(server, {"action": "label", "class": 0, "indices": indices(1)})
            assert request(server, "POST", "/api/save", b"{}")[0] == 200
            saved = (target / "g.csv").read_bytes()
            change(server, {"action": "label", "class": 0, "indices": indices(2)})
            (target / ".c.csv.brov-tmp").mkdir()  # the clusters file cannot be written: neither file changes
            status, answer = request(server, "POST", "/api/save", b"{}")
            assert status == 500 and "cannot write" in json.loads(answer)["error"]
            assert (target / "g.csv").read_bytes() == saved
            assert sorted(os.listdir(target)) == [".c.csv.brov-tmp", "c.csv", "g.csv"]


#: ``python -c`` this, a path and the command's arguments: the command, dead (exit status 9) at the
#: moment it would rename a file over that path, as a kill then leaves it.
DIE_REPLACING = """
import os, runpy, sys
target, replace = os.path.realpath(sys.argv.pop(1)), os.replace
def replace_or_die(source, destination, *rest, **options):
    if os.path.realpath(destination) == target:
        os._exit(9)
    return replace(source, destination, *rest, **options)
os.replace = replace_or_die
runpy.run_module("halvek.algorithms.src.brov", run_name="__main__", alter_sys=True)
"""


def spawn(argv, die_replacing=None):
    """``brov label ARGV`` in a process of its own, once it serves: (process, server address, token);
    with ``die_replacing``, see DIE_REPLACING."""
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(halvek.__file__)))
    env = dict(os.environ, PYTHONPATH=package_root)
    # -m and -c put the working directory first on the path: run from the package's own root, so a
    # checkout without built binaries never shadows the installed package
    command = ["-m", "halvek.algorithms.src.brov"] if die_replacing is None else ["-c", DIE_REPLACING, die_replacing]
    process = subprocess.Popen([sys.executable, *command, "label", *argv, "--port", "0", "-q"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True, cwd=package_root)
    line = process.stdout.readline()
    found = re.search(r"http://127\.0\.0\.1:(\d+)/\?token=(\S+)", line)
    if not found:
        process.kill()
        raise AssertionError("brov label did not start: %r %r" % (line, process.stderr.read()))
    return process, Address(int(found[1]), found[2])


class Address:
    """What ``request`` needs of a server running in another process."""

    def __init__(self, port, token):
        self.server_address, self.token = ("127.0.0.1", port), token
        self.url = "http://127.0.0.1:%d/?token=%s" % (port, token)


def read_pair(folder, labels="points-given.csv", clusters="points-clusters.csv"):
    """What a reader of the saved files in ``folder`` sees: (the labels of the labels file, the
    given column of the clusters file, its cluster column), as brov cluster reads labels."""
    table = tables.read_table(str(folder / clusters))
    assert table.names == ["given", "cluster"]
    given, cluster = (tables.labels_of(table, column, clusters) for column in table.columns)
    return cli_common.read_labels(str(folder / labels)), given, cluster


def saved_pair(folder, labels="points-given.csv", clusters="points-clusters.csv"):
    """(labels, clusters) as saved in ``folder``, checking that both files come from one
    version and that no temporary file is left."""
    assert not [f for f in os.listdir(folder) if f.endswith(".brov-tmp")]
    labelled, given, cluster = read_pair(folder, labels, clusters)
    np.testing.assert_array_equal(given, labelled)
    return labelled, cluster


class TestStopped:
    """The command killed at any moment, and many changes and saves at once."""

    def test_a_kill_during_save_leaves_one_whole_version(self, tmp_path):
        X = np.random.default_rng(0).normal(size=(30000, 2))
        np.save(tmp_path / "points.npy", X)
        argv = [str(tmp_path / "points.npy")]
        process, server = spawn(argv)
        rng = np.random.default_rng(1)

        def relabel():
            """Labels 500 random points with the one class "class 0"; returns what Save then writes."""
            chosen = rng.choice(len(X), size=500, replace=False)
            state = change(server, {"action": "label", "class": 0, "indices": indices(*chosen), "overwrite": True})[1]
            return ids_of(state, "given"), np.where(ids_of(state, "given") == -1, None, "class 0").astype(object)

        try:
            change(server, {"action": "label", "class": 0, "indices": indices(0)})
            start = time.perf_counter()
            assert request(server, "POST", "/api/save", b"{}")[0] == 200
            duration = time.perf_counter() - start
            saved = saved_pair(tmp_path)[0]
            outcomes = set()
            for fraction in np.linspace(0.0, 2.0, 8):
                current, written = relabel()
                connection = http.client.HTTPConnection("127.0.0.1", server.server_address[1], timeout=10)
                connection.request("POST", "/api/save", b"{}", {"Content-Type": "application/json",
                                                                "X-Brov-Token": server.token})
                time.sleep(fraction * duration)
                process.kill()
                process.wait()
                connection.close()
                process, server = spawn(argv)
                restored = ids_of(json.loads(request(server, "GET", "/api/state")[1]), "given")
                np.testing.assert_array_equal(restored, current)  # every acknowledged change is back
                now, clusters = saved_pair(tmp_path)
                assert np.array_equal(now, saved) or np.array_equal(now, written)
                outcomes.add(np.array_equal(now, written))
                saved = now
            assert outcomes == {False, True}  # the kills came before, during and after saves

            # Killed between the two replacements: a reader sees the new labels file beside the last
            # whole clusters file, and tells them apart by its given column; the next start finishes.
            process.kill()
            process.wait()
            process, server = spawn(argv, die_replacing=str(tmp_path / "points-clusters.csv"))
            written = relabel()[1]
            with pytest.raises((ConnectionError, http.client.HTTPException)):
                request(server, "POST", "/api/save", b"{}")
            assert process.wait(10) == 9
            labelled, given, cluster = read_pair(tmp_path)
            np.testing.assert_array_equal(labelled, written)
            np.testing.assert_array_equal(given, saved)
            np.testing.assert_array_equal(cluster, clusters)
            assert not np.array_equal(given, labelled)
            process, server = spawn(argv)
            np.testing.assert_array_equal(saved_pair(tmp_path)[0], written)
            change(server, {"action": "label", "class": 0, "indices": indices(7)})
            process.send_signal(signal.SIGINT)  # Ctrl-C keeps every change too
            status, said = process.wait(10), process.stderr.read()
            assert status == 130 and "every change is kept" in said, said[-3000:]
            process, server = spawn(argv)
            assert ids_of(json.loads(request(server, "GET", "/api/state")[1]), "given")[7] == 0
        finally:
            process.kill()
            process.wait()

    def test_racing_changes_and_saves_lose_nothing(self, served, tmp_path):
        server, X = served
        change(server, {"action": "add_class", "id": 1})
        errors = []

        def labeller(k):
            for i in range(k, len(X), 6):
                status, answer = change(server, {"action": "label", "class": k % 2, "indices": indices(i)})
                if status != 200:
                    errors.append(answer)

        def saver():
            for _ in range(10):
                status, answer = request(server, "POST", "/api/save", b"{}")
                if status != 200:
                    errors.append(answer)

        threads = [threading.Thread(target=labeller, args=(k,)) for k in range(6)] + \
            [threading.Thread(target=saver) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert not errors
        given, clusters = saved_pair(tmp_path, "given.csv", "clusters.csv")
        if (given != -1).any():  # the clusters are those of the labels saved with them
            np.testing.assert_array_equal(clusters, BrovClustering(random_state=0).fit(X, given).labels_)
        expected = (np.arange(len(X)) % 6) % 2
        state = json.loads(request(server, "GET", "/api/state")[1])
        np.testing.assert_array_equal(ids_of(state, "given"), expected)  # no update lost
        assert state["version"] == len(X) + 1


class TestCommand:
    def run(self, argv, capsys):
        status = cli.main(["label", *argv, "--port", "0", "-q"])
        return status, capsys.readouterr().err

    def test_session_continues_and_never_writes_over_an_input(self, data, tmp_path):
        X, path = data
        y = np.full(len(X), -1)
        y[[5, 70]] = [3, 8]
        np.savetxt(tmp_path / "y.csv", y, fmt="%d", header="label", comments="")
        with serving([path, "--columns", "x,y", "--labels", str(tmp_path / "y.csv")]) as server:
            change(server, {"action": "label", "class": 3, "indices": indices(6)})
            state = change(server, {"action": "edit_class", "id": 8, "name": "eight", "colour": "#00AA00"})[1]
        y[6] = 3
        np.testing.assert_array_equal(ids_of(state, "given"), y)
        # The page shows one tree at once and the voting trees once they are done.
        voted = state["answer"] == "the command line's default (voting trees)"
        shown = BrovClustering(random_state=0) if voted else BrovClustering(n_trees=1)
        np.testing.assert_array_equal(ids_of(state, "clusters"), shown.fit(X, y).labels_)
        assert state["outputs"]["labels"] == str(tmp_path / "points-given.csv")  # never the input y.csv
        (tmp_path / "points-given.csv").write_text("someone else's\n")
        with serving([path, "--columns", "x,y"]) as server:  # continues the session
            again = json.loads(request(server, "GET", "/api/state")[1])
            status, answer = request(server, "POST", "/api/save", b"{}")
            assert status == 409 and "not written by this session" in json.loads(answer)["error"]
            assert (tmp_path / "points-given.csv").read_text() == "someone else's\n"
            assert request(server, "POST", "/api/save", b'{"overwrite": true}')[0] == 200
        assert {k: again[k] for k in ("classes", "given", "undo")} == {k: state[k] for k in ("classes", "given", "undo")}
        assert again["classes"][1] == {"id": 8, "name": "eight", "colour": "#00aa00"}
        named = np.array([{3: "class 3", 8: "eight"}.get(v) for v in y], dtype=object)
        np.testing.assert_array_equal(cli_common.read_labels(str(tmp_path / "points-given.csv")), named)
        for argv, message in [(["--labels", str(tmp_path / "y.csv")], "holds earlier work"),
                              (["--labels", str(tmp_path / "y.csv"), "--fresh", "--save-labels",
                                str(tmp_path / "y.csv")], "write over the input")]:
            args = build_parser().parse_args(["label", path, "--columns", "x,y", "--port", "0", *argv])
            with pytest.raises(cli_common.CliError, match=message):
                run_label(args, cli_common.Progress(False), serve=False)
        with serving([path, "--columns", "x,y", "--fresh"]) as server:
            assert (ids_of(json.loads(request(server, "GET", "/api/state")[1]), "given") == -1).all()
        assert (tmp_path / "points-session.json.previous").exists()

    @pytest.mark.parametrize("extra, message", [
        (["--columns", "x,z"], "has no column 'z' (it has x, y, blob)"),
        (["--columns", "x,y", "--labels", "LABELS"], "holds 3 labels for 180 points"),
        (["--columns", "x,y", "-o", "POINTS"], "four different files"),
        (["--columns", "x,y", "--port", "70000"], "--port must lie in 0..65535"),
    ])
    def test_refusals(self, data, tmp_path, capsys, extra, message):
        _, path = data
        np.savetxt(tmp_path / "short.csv", [1, -1, -1], fmt="%d")
        extra = [{"LABELS": str(tmp_path / "short.csv"), "POINTS": path}.get(a, a) for a in extra]
        status, err = cli.main(["label", path, *extra, "-q"]), capsys.readouterr().err
        assert status == 1 and message in err

    def test_busy_port_is_reported(self, served, data, capsys):
        server, _ = served
        _, path = data
        status = cli.main(["label", path, "--columns", "x,y", "--port", str(server.server_address[1]), "-q"])
        assert status == 1 and "try another --port" in capsys.readouterr().err


# ------------------------------------------------------------------------------------------------
# The page in a real browser


def chromium_driver():
    """A headless Chromium driven through Selenium, or a skip saying what is missing."""
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.path.exists(p)]
    if missing:
        pytest.skip("Chromium is not installed (%s missing; scripts/install_browser.sh installs it)"
                    % ", ".join(missing))
    webdriver = pytest.importorskip("selenium.webdriver", reason="the browser extra (selenium) is not installed")
    from selenium.webdriver.chrome.service import Service

    os.environ["SE_OFFLINE"] = "true"  # never let Selenium fetch a browser or driver
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1100,760",
                 "--force-device-scale-factor=1"):
        options.add_argument(flag)
    # The browser is not under test: keep a sanitizer runtime preloaded into Python out of it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER, env=env), options=options)


def wait_for(driver, script, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for: %s" % script)


def test_label_in_the_browser_then_save(tmp_path):
    """The demo's data: add a class, click one point of each of two blobs,
    check the page and the files against the estimator; lasso, undo, redo,
    delete a class and rename one; kill the server and start it again: every
    change is back."""
    assert cli.main(["demo", "--n", "600", "--centers", "3", "--out", str(tmp_path / "demo"), "-q"]) == 0
    demo = str(tmp_path / "demo" / "labels.csv")
    table = np.loadtxt(demo, delimiter=",", skiprows=1)
    X, blob = table[:, :2], table[:, 2].astype(int)
    driver = chromium_driver()
    from selenium.webdriver.common.by import By

    try:
        process, server = spawn([demo, "--columns", "x,y", "--save-labels", str(tmp_path / "given.csv"),
                                 "-o", str(tmp_path / "clusters.csv")])
        try:
            drive_the_page(driver, server, X, blob, tmp_path)
            before = driver.execute_script("return [brov.givenIds(), brov.state.classes, brov.state.version]")
            process.kill()  # SIGKILL: nothing of the server's own runs
            process.wait()
            driver.execute_script("brov.change({action: 'undo'})")
            wait_for(driver, "return document.getElementById('status').textContent.includes('server is gone')")
            process, server = spawn([demo, "--columns", "x,y"])
            driver.get(server.url)
            wait_for(driver, "return window.brov && brov.state.version >= 0 && brov.state.n > 0")
            after = driver.execute_script("return [brov.givenIds(), brov.state.classes, brov.state.version]")
            assert after == before
            assert driver.find_element(By.ID, "undo").get_attribute("title") == "undo renamed class 2 to 3rd"
            assert request(server, "GET", "/api/state", headers={"X-Brov-Token": ""})[0] == 403
            assert request(server, "GET", "/")[0] == 200
        finally:
            process.kill()
            process.wait()
    finally:
        driver.quit()


def drive_the_page(driver, server, X, blob, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    driver.get(server.url)
    wait_for(driver, "return window.brov && brov.state.version >= 0 && brov.state.n > 0")
    driver.find_element(By.ID, "add-class").click()
    wait_for(driver, "return brov.state.classes.length == 2 && brov.idle()")
    canvas = driver.find_element(By.ID, "plot")
    width, height = canvas.size["width"], canvas.size["height"]

    def gesture(tool, member, path):
        """Pick a tool, then press at ``member`` + path[0] and move by the rest of ``path``."""
        driver.find_element(By.CSS_SELECTOR, tool).click()
        x, y = driver.execute_script("return brov.screenOf(arguments[0])", int(member))
        version = driver.execute_script("return brov.state.version")
        actions = ActionChains(driver).move_to_element_with_offset(
            canvas, int(round(x - width / 2 + path[0][0])), int(round(y - height / 2 + path[0][1])))
        actions.click_and_hold()
        for dx, dy in path[1:]:
            actions.move_by_offset(dx, dy)
        actions.release().perform()
        wait_for(driver, "return brov.state.version > %d && brov.idle()" % version)

    radio = "#classes li:nth-child(%d) input[type=radio]"
    picked = [int(np.flatnonzero(blob == 0)[0]), int(np.flatnonzero(blob == 1)[0])]
    for code, member in enumerate(picked):
        gesture(radio % (code + 1), member, [(0, 0)])

    # A lasso with the Unlabel tool around the second point takes its label away ...
    gesture("#tool-unlabel", picked[1], [(-15, -15), (30, 0), (0, 30), (-30, 0)])
    assert sorted(set(driver.execute_script("return brov.givenIds()"))) == [-1, 0]
    assert set(driver.execute_script("return brov.clusterIds()")) == {0}
    # ... and a click gives it back.
    gesture(radio % 2, picked[1], [(0, 0)])

    # The page shows the command line's answer once the voting trees are done.
    wait_for(driver, "return brov.state.pending === false && brov.idle()")
    given = np.array(driver.execute_script("return brov.givenIds()"))
    page_clusters = np.array(driver.execute_script("return brov.clusterIds()"))
    # A click picks the point drawn nearest to it, which may be a close neighbour.
    labelled = np.flatnonzero(given != -1)
    assert len(labelled) == 2 and sorted(given[labelled]) == [0, 1]
    assert np.all(np.linalg.norm(X[labelled] - X[picked], axis=1) < 0.5)
    model = BrovClustering(random_state=0).fit(X, given)
    expected = model.labels_
    np.testing.assert_array_equal(page_clusters, expected)
    assert set(expected) == {0, 1}
    state = json.loads(request(server, "GET", "/api/state")[1])
    np.testing.assert_array_equal(ids_of(state, "clusters"), expected)

    # The canvas shows the clusters' colours around an unlabelled point of each cluster
    # (one that every tree puts there: doubtful points are drawn faded).
    for cluster_id in (0, 1):
        member = np.flatnonzero((expected == cluster_id) & (given == -1) & (model.confidence_ == 1))[0]
        colour = driver.execute_script(
            "const [x, y] = brov.screenOf(arguments[0]);"
            "return Array.from(document.getElementById('plot').getContext('2d')"
            ".getImageData(Math.round(x), Math.round(y), 1, 1).data.slice(0, 3));", int(member))
        hex_colour = state["classes"][cluster_id]["colour"]
        assert colour == [int(hex_colour[i:i + 2], 16) for i in (1, 3, 5)]

    lasso_undo_redo_and_delete(driver, server, gesture, picked, radio)

    # Renaming a class reaches the server and survives the page's next update.
    field = driver.find_elements(By.CSS_SELECTOR, "#classes input[type=text]")[1]
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys("second blob\n")
    wait_for(driver, "return brov.state.classes[1].name == 'second blob' && brov.idle()")
    assert json.loads(request(server, "GET", "/api/state")[1])["classes"][1]["name"] == "second blob"
    assert field.get_attribute("value") == "second blob"

    driver.find_element(By.ID, "save").click()
    wait_for(driver, "return document.getElementById('status').textContent.startsWith('saved')")
    driver.save_screenshot(str(tmp_path / "label-page.png"))
    shots = os.environ.get("BROV_SCREENSHOTS")
    if shots:
        os.makedirs(shots, exist_ok=True)
        shutil.copy(tmp_path / "label-page.png", os.path.join(shots, "label-page.png"))
    assert (tmp_path / "label-page.png").stat().st_size > 1000

    named = np.array(["class 0", "second blob", None], dtype=object)  # ids 0 and 1, then -1
    labelled, clusters = saved_pair(tmp_path, "given.csv", "clusters.csv")
    np.testing.assert_array_equal(labelled, named[given])
    np.testing.assert_array_equal(clusters, named[expected])

    # Work after the save: a third class, renamed (the last change before the kill).
    driver.find_element(By.ID, "add-class").click()
    wait_for(driver, "return brov.state.classes.length == 3 && brov.idle()")
    field = driver.find_elements(By.CSS_SELECTOR, "#classes input[type=text]")[2]
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys("3rd\n")
    wait_for(driver, "return brov.state.classes[2].name == '3rd' && brov.idle()")


def lasso_undo_redo_and_delete(driver, server, gesture, picked, radio):
    """A lasso keeps other classes' labels; Ctrl+Z, Ctrl+Shift+Z, Ctrl+Y and the
    buttons step through the history; deleting a class is undone like any change.
    Ends where it began."""
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    def given():
        return driver.execute_script("return brov.givenIds()")

    def keys(*pressed):
        version = driver.execute_script("return brov.state.version")
        chord = ActionChains(driver).key_down(Keys.CONTROL)
        for key in pressed[:-1]:
            chord = chord.key_down(key)
        chord.send_keys(pressed[-1]).key_up(Keys.CONTROL)
        for key in pressed[:-1]:
            chord = chord.key_up(key)
        chord.perform()
        wait_for(driver, "return brov.state.version > %d && brov.idle()" % version)

    def button(name):
        version = driver.execute_script("return brov.state.version")
        driver.find_element(By.ID, name).click()
        wait_for(driver, "return brov.state.version > %d && brov.idle()" % version)

    start = given()
    gesture(radio % 1, picked[1], [(-40, -40), (80, 0), (0, 80), (-80, 0)])
    lassoed = given()
    status = driver.find_element(By.ID, "status").text
    changed = sum(a != b for a, b in zip(start, lassoed))
    assert changed > 1 and lassoed[picked[1]] == 1  # the other class's point kept its label
    assert status.startswith("%d points labelled class 0; 1 point of other classes kept" % changed), status
    driver.find_element(By.TAG_NAME, "h1").click()
    keys("z")
    assert given() == start
    keys(Keys.SHIFT, "z")
    assert given() == lassoed
    button("undo")
    assert given() == start
    button("redo")
    keys("z")

    driver.find_element(By.ID, "add-class").click()
    wait_for(driver, "return brov.state.classes.length == 3 && brov.idle()")
    gesture(radio % 3, picked[0] + 1, [(0, 0)])
    with_third = given()
    version = driver.execute_script("return brov.state.version")
    driver.find_elements(By.CSS_SELECTOR, "#classes button.delete")[2].click()
    wait_for(driver, "return brov.state.classes.length == 2 && brov.idle()")
    assert 2 not in given() and driver.execute_script("return brov.state.version") > version
    assert "deleted class class 2 (1 point unlabelled)" in driver.find_element(By.ID, "status").text
    keys("z")
    assert given() == with_third and driver.execute_script("return brov.state.classes.length") == 3
    keys("y")
    keys("z")
    keys("z")
    keys("z")  # the label, then the new class
    assert given() == start and driver.execute_script("return brov.state.classes.length") == 2
