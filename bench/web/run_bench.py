"""The page's figures (scripts/bench --web): the 2 MiB HandController upload
through the page to the simulated device (upload_bench.html), the time from
starting to load index.html?simulate to the page being ready, and the size
of the .wasm as served compressed (gzip -9).

  run_bench.py BUILD_DIR   (the web preset's build folder)"""

import gzip
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "ui", "web"))
import webdriver  # noqa: E402

LOADS = 10
# Uploads, each in a fresh load of the benchmark page: the machine's other
# work moves a single run's figure by several hundredths.
UPLOADS = 3


def main():
    build = sys.argv[1]
    with webdriver.Browser() as browser:
        efficiency = []
        with webdriver.serve(os.path.join(build, "bench")) as url:
            for i in range(UPLOADS):
                browser.get(url + "upload_bench.html?run=%d" % i)
                browser.wait("return document.body.dataset.done", 120, "the upload")
                text = browser.run("return document.getElementById('result').textContent")
                if i == 0:
                    print("\n".join(l for l in text.splitlines() if "=" not in l))
                figures = dict(f.split("=") for f in text.splitlines()[-1].split())
                efficiency.append(float(figures["web_line_efficiency"]))
        print("  line efficiency of %d uploads            %s (median %.3f)"
              % (UPLOADS, ", ".join("%.3f" % e for e in efficiency),
                 statistics.median(efficiency)))
        print()
        with webdriver.serve(os.path.join(build, "page")) as url:
            ready = []
            for i in range(LOADS + 1):
                # A fresh load each time, the browser's cache emptied: the
                # script and the .wasm come from the server again.
                browser.cdp("Network.clearBrowserCache")
                browser.get(url + "index.html?simulate&load=%d" % i)
                ready.append(float(browser.wait("return document.body.dataset.readyMs", 30)))
            ready = ready[1:]  # the first start of the browser's own machinery aside
    wasm = open(os.path.join(build, "page", "vexo3-web.wasm"), "rb").read()
    script = open(os.path.join(build, "page", "vexo3-web.js"), "rb").read()
    wasm_gz = len(gzip.compress(wasm, 9))
    script_gz = len(gzip.compress(script, 9))
    print("The page (index.html?simulate), %d loads with the cache emptied" % LOADS)
    print("  load to ready (ms), median                %.0f" % statistics.median(ready))
    print("  load to ready (ms), slowest               %.0f" % max(ready))
    print("  vexo3-web.wasm (bytes)                    %d" % len(wasm))
    print("  vexo3-web.wasm, gzip -9 (bytes)           %d" % wasm_gz)
    print("  vexo3-web.js, gzip -9 (bytes)             %d" % script_gz)
    print("web_line_efficiency=%.3f web_ready_ms=%.0f web_wasm_gzip_bytes=%d"
          % (statistics.median(efficiency), statistics.median(ready), wasm_gz))


if __name__ == "__main__":
    main()
