"""What the labelling page costs at many points: loading the tree once, then
one label change (HTTP round trip with re-clustering and the new clusters as
compact arrays), and in headless Chromium (when /usr/bin/chromium and the
browser extra are installed) the first draw, a full redraw and a change as
the page sees it, from sending to recoloured.

    python bench/bench_label_page.py [--n 100000] [--changes 5] [--no-browser]

Prints medians over --changes changes.
"""

import argparse
import http.client
import json
import os
import statistics
import sys
import threading
import time

import numpy as np

from halvek.algorithms.src.brov.cli.demo import make_blobs
from halvek.algorithms.src.brov.label_page.server import LabelServer
from halvek.algorithms.src.brov.label_page.session import LabelSession

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


def post(server, path, value):
    connection = http.client.HTTPConnection("127.0.0.1", server.server_address[1], timeout=60)
    body = json.dumps(value).encode()
    connection.request("POST", path, body=body,
                       headers={"Content-Type": "application/json", "X-Brov-Token": server.token})
    response = connection.getresponse()
    content = response.read()
    connection.close()
    assert response.status == 200, content[:200]
    return content


def index_b64(i):
    import base64

    return base64.b64encode(np.array([i], dtype="<i4").tobytes()).decode()


def browser_figures(url, truth, changes):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return "browser: skipped (the browser extra, selenium, is not installed)"
    if not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)):
        return "browser: skipped (no %s or %s)" % (CHROMIUM, CHROMEDRIVER)
    os.environ["SE_OFFLINE"] = "true"
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,800"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    try:
        start = time.perf_counter()
        driver.get(url)
        while not driver.execute_script("return !!(window.brov && brov.state.n > 0 && brov.state.version >= 0)"):
            time.sleep(0.01)
        loaded = time.perf_counter() - start
        redraws = [driver.execute_script("const t = performance.now(); brov.redraw(); return performance.now() - t;")
                   for _ in range(changes)]
        rounds = []
        for k in range(changes):
            member = int(np.flatnonzero(truth == k % 2)[k])
            driver.execute_script("brov.state.tool = arguments[0];", k % 2)
            rounds.append(driver.execute_async_script(
                "const done = arguments[arguments.length - 1]; const t = performance.now();"
                "brov.label([arguments[0]]).then(() => done(performance.now() - t));", member))
        return ("browser: page loaded and drawn %.2f s, redraw %.1f ms, change to recoloured %.1f ms (medians)"
                % (loaded, statistics.median(redraws), statistics.median(rounds)))
    finally:
        driver.quit()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100000)
    parser.add_argument("--changes", type=int, default=5)
    parser.add_argument("--no-browser", action="store_true")
    args = parser.parse_args()

    X, truth = make_blobs(args.n, 4, seed=0)
    start = time.perf_counter()
    session = LabelSession(X)
    print("%d points: tree %s built and loaded in %.2f s" % (args.n, session.tree.method, time.perf_counter() - start))
    server = LabelServer(session, 0)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        post(server, "/api/change", {"action": "add_class"})
        times, sizes, server_side = [], [], []
        for k in range(args.changes):
            member = int(np.flatnonzero(truth == k % 2)[k + args.changes])
            start = time.perf_counter()
            content = post(server, "/api/change", {"action": "label", "class": k % 2, "indices": index_b64(member)})
            times.append(time.perf_counter() - start)
            sizes.append(len(content))
            server_side.append(json.loads(content)["seconds"])
        print("one change over HTTP: %.1f ms (re-clustering %.1f ms), answer %d bytes (%.1f per point)"
              % (1000 * statistics.median(times), 1000 * statistics.median(server_side),
                 statistics.median(sizes), statistics.median(sizes) / args.n))
        if not args.no_browser:
            print(browser_figures(server.url, truth, args.changes))
    finally:
        server.shutdown()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
