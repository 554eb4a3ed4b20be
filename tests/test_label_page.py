"""brov label: re-clustering a loaded tree, the page's HTTP interface, the
command's inputs and outputs, and the page itself in a headless Chromium."""

import base64
import contextlib
import http.client
import json
import os
import shutil
import threading
import time

import numpy as np
import pytest

from halvek.algorithms.src.brov import BrovClustering, cli
from halvek.algorithms.src.brov.cli import common as cli_common
from halvek.algorithms.src.brov.cli.main import build_parser
from halvek.algorithms.src.brov.cli.label import run_label
from halvek.algorithms.src.brov.label_page.session import LabelSession, project_2d
from halvek.algorithms.src.brov.label_page.loaded_tree import LoadedTree

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


def indices(*values):
    return base64.b64encode(np.array(values, dtype="<i4").tobytes()).decode()


class TestLoadedTree:
    @pytest.mark.parametrize("dims", [1, 2, 3])
    def test_same_clusters_and_cuts_as_the_estimator(self, dims):
        X = blobs(dims=dims) * np.geomspace(1, 3000, dims)  # in mixed units above one coordinate
        scale = [False, "auto", True][dims - 1]
        tree = LoadedTree(X, scale=scale)
        rng = np.random.default_rng(dims)
        for _ in range(4):
            y = np.full(len(X), -1)
            chosen = rng.choice(len(X), size=5, replace=False)
            y[chosen] = rng.choice([4, -7, 300], size=5)
            labels, cut = tree.cluster(y)
            model = BrovClustering(n_trees=1, scale=scale).fit(X, y)
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
        for page in ("/", "/label.js", "/label.css"):
            assert request(server, "GET", page)[0] == 200
        status, raw = request(server, "GET", "/api/points")
        np.testing.assert_allclose(np.frombuffer(raw, "<f4").reshape(-1, 2), X, rtol=1e-6)
        status, raw = request(server, "GET", "/api/edges")
        assert np.frombuffer(raw, "<i4").reshape(-1, 2).shape == (len(X) - 1, 2)

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
        (json.dumps({"action": "label", "class": 0, "indices": indices(180)}).encode(), {}, 400),
        (b'{"action": "label", "class": 0, "indices": "AAAAAA=="}', {"Content-Type": "text/plain"}, 415),
        (b"{}", {"Host": "evil.example:80"}, 403),
        (b"x" * (65536 + 6 * 180 + 1), {}, 413),
    ])
    def test_bad_requests_get_4xx_and_change_nothing(self, served, body, headers, expected):
        server, _ = served
        before = request(server, "GET", "/api/state")[1]
        assert request(server, "POST", "/api/change", body, headers)[0] == expected
        assert request(server, "GET", "/api/state")[1] == before

    def test_missing_length_and_unknown_paths(self, served):
        server, _ = served
        connection = http.client.HTTPConnection("127.0.0.1", server.server_address[1], timeout=10)
        connection.putrequest("POST", "/api/change")
        connection.putheader("Content-Type", "application/json")
        connection.endheaders()
        assert connection.getresponse().status == 411
        connection.close()
        assert request(server, "GET", "/api/nothing")[0] == 404
        assert request(server, "POST", "/api/nothing", b"{}")[0] == 404

    def test_save_writes_what_brov_cluster_reads_and_writes(self, served, tmp_path):
        server, X = served
        change(server, {"action": "add_class", "id": 42})
        change(server, {"action": "label", "class": 0, "indices": indices(3)})
        change(server, {"action": "label", "class": 42, "indices": indices(100)})
        status, answer = request(server, "POST", "/api/save", b"{}")
        assert status == 200 and json.loads(answer)["state"]["saved"]
        given = cli_common.read_labels(str(tmp_path / "given.csv"))
        assert given[3] == 0 and given[100] == 42 and (np.delete(given, [3, 100]) == -1).all()
        np.save(tmp_path / "xy.npy", X)
        assert cli.main(["cluster", str(tmp_path / "xy.npy"), "--labels", str(tmp_path / "given.csv"),
                         "-o", str(tmp_path / "again.csv"), "--trees", "1", "-q", "--short"]) == 0
        assert (tmp_path / "clusters.csv").read_text() == (tmp_path / "again.csv").read_text()

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


class TestCommand:
    def run(self, argv, capsys):
        status = cli.main(["label", *argv, "--port", "0", "-q"])
        return status, capsys.readouterr().err

    @pytest.mark.filterwarnings("ignore:the coordinates' spreads differ")
    def test_labels_file_restores_earlier_work(self, data, tmp_path):
        X, path = data
        y = np.full(len(X), -1)
        y[[5, 70]] = [3, 8]
        np.savetxt(tmp_path / "y.csv", y, fmt="%d", header="label", comments="")
        with serving([path, "--columns", "x,y", "--labels", str(tmp_path / "y.csv")]) as server:
            state = json.loads(request(server, "GET", "/api/state")[1])
        np.testing.assert_array_equal(ids_of(state, "given"), y)
        np.testing.assert_array_equal(ids_of(state, "clusters"), BrovClustering(n_trees=1).fit(X, y).labels_)
        assert state["outputs"]["labels"] == str(tmp_path / "y.csv")
        X[:, 1] *= 1000
        np.savetxt(path, np.column_stack([X, np.arange(len(X)) % 3]), delimiter=",", header="x,y,blob", comments="")
        for option in ("--scale", "--no-scale"):
            with serving([path, "--columns", "x,y", "--labels", str(tmp_path / "y.csv"), option]) as server:
                state = json.loads(request(server, "GET", "/api/state")[1])
            model = BrovClustering(n_trees=1, scale=option == "--scale").fit(X, y)
            np.testing.assert_array_equal(ids_of(state, "clusters"), model.labels_)

    @pytest.mark.parametrize("extra, message", [
        (["--columns", "x,z"], "has no column 'z' (it has x, y, blob)"),
        (["--columns", "x,y", "--labels", "LABELS"], "holds 3 labels for 180 points"),
        (["--columns", "x,y", "-o", "POINTS"], "three different files"),
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
    check the page and the files against the estimator."""
    assert cli.main(["demo", "--n", "600", "--centers", "3", "--out", str(tmp_path / "demo"), "-q"]) == 0
    demo = str(tmp_path / "demo" / "labels.csv")
    table = np.loadtxt(demo, delimiter=",", skiprows=1)
    X, blob = table[:, :2], table[:, 2].astype(int)
    driver = chromium_driver()
    try:
        with serving([demo, "--columns", "x,y", "--save-labels", str(tmp_path / "given.csv"),
                      "-o", str(tmp_path / "clusters.csv")]) as server:
            drive_the_page(driver, server, X, blob, tmp_path)
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

    given = np.array(driver.execute_script("return brov.givenIds()"))
    page_clusters = np.array(driver.execute_script("return brov.clusterIds()"))
    # A click picks the point drawn nearest to it, which may be a close neighbour.
    labelled = np.flatnonzero(given != -1)
    assert len(labelled) == 2 and sorted(given[labelled]) == [0, 1]
    assert np.all(np.linalg.norm(X[labelled] - X[picked], axis=1) < 0.5)
    expected = BrovClustering(n_trees=1).fit(X, given).labels_
    np.testing.assert_array_equal(page_clusters, expected)
    assert set(expected) == {0, 1}
    state = json.loads(request(server, "GET", "/api/state")[1])
    np.testing.assert_array_equal(ids_of(state, "clusters"), expected)

    # The canvas shows the clusters' colours around an unlabelled point of each cluster.
    for cluster_id in (0, 1):
        member = np.flatnonzero((expected == cluster_id) & (given == -1))[0]
        colour = driver.execute_script(
            "const [x, y] = brov.screenOf(arguments[0]);"
            "return Array.from(document.getElementById('plot').getContext('2d')"
            ".getImageData(Math.round(x), Math.round(y), 1, 1).data.slice(0, 3));", int(member))
        hex_colour = state["classes"][cluster_id]["colour"]
        assert colour == [int(hex_colour[i:i + 2], 16) for i in (1, 3, 5)]

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

    np.testing.assert_array_equal(cli_common.read_labels(str(tmp_path / "given.csv")), given)
    saved = np.loadtxt(tmp_path / "clusters.csv", delimiter=",", skiprows=1, dtype=int)
    np.testing.assert_array_equal(saved, np.column_stack([given, expected]))
