"""What the labelling page costs at many points: loading the tree once, then
one label change over HTTP (re-clustering, the change written to the session journal on disk
and the new clusters as compact arrays), and in headless Chromium (when
/usr/bin/chromium and the browser extra are installed) the first draw, a
change as the page sees it from sending to repainted, and the frame of a pan
or zoom after a lasso has labelled 30,000 points.

    python bench/bench_label_page.py [--sizes 10000,100000,1000000] [--changes 5] [--no-browser]

Prints medians over --changes changes and ten frames.
"""

import argparse
import base64
import http.client
import json
import os
import statistics
import sys
import tempfile
import threading
import time

import numpy as np

from halvek.algorithms.src.brov.cli.demo import make_blobs
from halvek.algorithms.src.brov.label_page.server import LabelServer
from halvek.algorithms.src.brov.label_page.session import LabelSession

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
LASSO = 30000

# A pan and a zoom step in turn, timed frame by frame in the page.
FRAMES = """
const frames = [];
for (let k = 0; k < 10; k++) {
  const v = brov.state.view;
  brov.state.view = k % 2 ? { ...v, ox: v.ox + 7, oy: v.oy - 5 }
                          : { scale: v.scale * 1.05, ox: v.ox * 1.05, oy: v.oy * 1.05 };
  const t = performance.now(); brov.redraw(); frames.push(performance.now() - t);
}
frames.sort((a, b) => a - b);
return frames[5];
"""


def post(server, path, value):
    connection = http.client.HTTPConnection("127.0.0.1", server.server_address[1], timeout=600)
    body = json.dumps(value).encode()
    connection.request("POST", path, body=body,
                       headers={"Content-Type": "application/json", "X-Brov-Token": server.token})
    response = connection.getresponse()
    content = response.read()
    connection.close()
    assert response.status == 200, content[:200]
    return content


def index_b64(*i):
    return base64.b64encode(np.array(i, dtype="<i4").tobytes()).decode()


def chromium():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None, "browser: skipped (the browser extra, selenium, is not installed)"
    if not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)):
        return None, "browser: skipped (no %s or %s)" % (CHROMIUM, CHROMEDRIVER)
    os.environ["SE_OFFLINE"] = "true"
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,800",
                 "--force-device-scale-factor=1"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    driver.set_script_timeout(600)
    return driver, None


def browser_figures(driver, url, truth, changes):
    start = time.perf_counter()
    driver.get(url)
    while not driver.execute_script("return !!(window.brov && brov.state.n > 0 && brov.state.version >= 0)"):
        time.sleep(0.01)
    loaded = time.perf_counter() - start
    rounds = []
    for k in range(changes):
        member = int(np.flatnonzero(truth == k % 2)[k])
        driver.execute_script("brov.state.tool = arguments[0];", k % 2)
        rounds.append(driver.execute_async_script(
            "const done = arguments[arguments.length - 1]; const t = performance.now();"
            "brov.label([arguments[0]]).then(() => done(performance.now() - t));", member))
    frames_before = driver.execute_script(FRAMES)
    lasso = np.flatnonzero(truth >= 2)[:LASSO].tolist()
    driver.execute_script("brov.state.tool = 0;")
    driver.execute_async_script(
        "const done = arguments[arguments.length - 1]; brov.label(arguments[0], true).then(done);", lasso)
    frames_after = driver.execute_script(FRAMES)
    return ("  browser: page loaded and drawn %.2f s; change to repainted %.1f ms; pan/zoom frame %.1f ms, "
            "%.1f ms with %d more labelled points"
            % (loaded, statistics.median(rounds), frames_before, frames_after, len(lasso)))


def one_size(n, changes, driver):
    X, truth = make_blobs(n, 4, seed=0)
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        session = LabelSession(X, path=os.path.join(folder, "session.json"))
        print("%d points: tree %s built and loaded in %.2f s" % (n, session.tree.method, time.perf_counter() - start))
        server = LabelServer(session, 0)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            post(server, "/api/change", {"action": "add_class"})
            times, sizes, server_side = [], [], []
            for k in range(changes):
                member = int(np.flatnonzero(truth == k % 2)[k + changes])
                start = time.perf_counter()
                content = post(server, "/api/change", {"action": "label", "class": k % 2, "indices": index_b64(member)})
                times.append(time.perf_counter() - start)
                sizes.append(len(content))
                server_side.append(json.loads(content)["seconds"])
            print("  one change over HTTP, on disk before the answer: %.1f ms (re-clustering %.1f ms), answer %d bytes "
                  "(%.1f per point)" % (1000 * statistics.median(times), 1000 * statistics.median(server_side),
                                        statistics.median(sizes), statistics.median(sizes) / n))
            if driver is not None:
                print(browser_figures(driver, server.url, truth, changes))
        finally:
            server.shutdown()
            server.server_close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--n", type=int, help="one size only (same as --sizes N)")
    parser.add_argument("--changes", type=int, default=5)
    parser.add_argument("--no-browser", action="store_true")
    args = parser.parse_args()
    sizes = [args.n] if args.n else [int(s) for s in args.sizes.split(",")]
    driver, why = (None, "browser: not asked for") if args.no_browser else chromium()
    if why:
        print(why)
    try:
        for n in sizes:
            one_size(n, args.changes, driver)
    finally:
        if driver is not None:
            driver.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
